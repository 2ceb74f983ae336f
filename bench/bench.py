"""Benchmark of quibex against its peers (placeholder: stdlib json only)."""
import json
import pathlib
import sys
import time

import quibex

CORPUS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


def best_of(fn, arg, rounds=5):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    for name in ("twitter", "citm_catalog", "canada"):
        path = CORPUS / f"{name}.json"
        if not path.exists():
            continue
        data = path.read_bytes()
        obj = json.loads(data)
        qd = best_of(quibex.dumps, obj)
        jd = best_of(lambda o: json.dumps(o, ensure_ascii=False, separators=(",", ":")).encode(), obj)
        ql = best_of(quibex.loads, data)
        jl = best_of(json.loads, data)
        print(f"{name:14} dumps quibex {qd*1e3:8.2f} ms json {jd*1e3:8.2f} ms | "
              f"loads quibex {ql*1e3:8.2f} ms json {jl*1e3:8.2f} ms")


if __name__ == "__main__":
    sys.exit(main())
