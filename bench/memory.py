"""Memory of one loads call, per library.

    python bench/memory.py                      # 100 MB documents, every library
    python bench/memory.py --mb 20 --libs quibex,msgspec

Two measures:

- Peak resident-set growth of one call, in a fresh child process per library
  and document: the child makes the document, resets the kernel's peak RSS
  mark (/proc/self/clear_refs), calls loads once and reports its peak RSS
  minus its RSS before the call. This sees every allocation, the library's
  own malloc memory included. The documents are generated: a list of
  records (small dicts of ints, floats, strings, a bool and a short list)
  and a list of small integers (one digit each, the worst case of memory per
  byte of text).
- The tracemalloc peak of one call on the largest corpus (gsoc-2018), beside
  the size of the result: the Python allocators only.

bench/bench.py runs both unless --no-memory is given.
"""
import argparse
import gc
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

DOCUMENTS = ("records", "small-ints")


def make_document(kind, size):
    """About `size` bytes of compact JSON of the given kind."""
    if kind == "small-ints":
        unit = b"1,2,3,4,5,6,7,8,9,0,"
        body = unit * (size // len(unit))
        return b"[" + body[:-1] + b"]"
    parts = []
    total = 0
    i = 0
    while total < size:
        part = (f'{{"id":{i},"name":"user {i}","email":"user{i}@example.com","active":{"true" if i % 3 else "false"},'
                f'"score":{i % 1000 / 8},"tags":["a","b{i % 7}"]}}')
        parts.append(part)
        total += len(part) + 1
        i += 1
    return ("[" + ",".join(parts) + "]").encode()


def _status_kb(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def child(lib, kind, size):
    """In the child process: the peak RSS growth of one loads call, in bytes."""
    sys.path.insert(0, str(HERE))
    import peers

    loads = peers.PEERS[lib].loads[0]
    data = make_document(kind, size)
    gc.collect()
    gc.disable()
    Path("/proc/self/clear_refs").write_text("5")  # the peak RSS mark starts again from the current RSS
    before = _status_kb("VmRSS")
    result = loads(data)
    peak = _status_kb("VmHWM")
    del result
    return {"size": len(data), "growth": (peak - before) * 1024}


def rss_growth(libraries, size):
    """{document: {library: {"size", "growth"} or {"error"}}}, one child per pair."""
    found = {}
    for kind in DOCUMENTS:
        found[kind] = {}
        for lib in libraries:
            if lib == "marshal":
                continue
            run = subprocess.run([sys.executable, __file__, "--child", lib, kind, str(size)],
                                 capture_output=True, text=True, env=os.environ)
            if run.returncode == 0:
                found[kind][lib] = json.loads(run.stdout)
            else:
                last = (run.stderr.strip().splitlines() or ["exit status %d" % run.returncode])[-1]
                found[kind][lib] = {"error": last}
    return found


def traced_peak(libraries, corpus_name="gsoc-2018"):
    """tracemalloc peak and result size of one call on a corpus."""
    import cases
    import peers
    import timing

    data, obj = cases.corpus(corpus_name)
    found = {}
    for lib in libraries:
        peer = peers.PEERS[lib]
        arg = peer.loads_input(data, obj) if peer.loads_input else data
        try:
            peak, retained = timing.loads_peak(peer.loads[0], arg)
            found[lib] = {"peak": peak, "retained": retained}
        except Exception as exc:  # noqa: BLE001 - reported in the table
            found[lib] = {"error": f"{type(exc).__name__}: {exc}"}
    return {"corpus": corpus_name, "size": len(data), "libraries": found}


def measure(libraries, size=100_000_000):
    """Both measures, as recorded in results.json."""
    return {"traced": traced_peak(libraries), "rss_size": size, "rss": rss_growth(libraries, size)}


def _mb(n):
    return f"{n / 1e6:8.1f} MB"


def print_report(memory, out):
    w = out.write
    traced = memory["traced"]
    w(f"\nloads peak memory on {traced['corpus']} ({traced['size'] / 1e6:.1f} MB), traced by tracemalloc"
      " (Python allocators only; memory a library takes from malloc directly is not seen)\n")
    base = traced["libraries"].get("quibex", {}).get("peak")
    for lib, m in traced["libraries"].items():
        if "error" in m:
            w(f"  {lib:<14} {m['error']}\n")
            continue
        rel = f"{m['peak'] / base:6.2f}x quibex" if base else ""
        w(f"  {lib:<14} peak {_mb(m['peak'])}   result {_mb(m['retained'])}  {rel}\n")
    w(f"\nloads peak RSS growth of one call, in a child process per library, on generated documents"
      f" of about {memory['rss_size'] / 1e6:.0f} MB\n")
    for kind, libs in memory["rss"].items():
        base = libs.get("msgspec", {}).get("growth")
        for lib, m in libs.items():
            label = f"  {kind:<12} {lib:<14}"
            if "error" in m:
                w(f"{label} {m['error']}\n")
                continue
            rel = f"{m['growth'] / base:6.2f}x msgspec" if base else ""
            w(f"{label} growth {_mb(m['growth'])}  {rel}\n")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--mb", type=float, default=100, help="size of the generated documents (default 100)")
    p.add_argument("--libs", default="quibex,json,msgspec,ujson,rapidjson,simplejson")
    p.add_argument("--child", nargs=3, metavar=("LIB", "KIND", "SIZE"), help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        lib, kind, size = args.child
        print(json.dumps(child(lib, kind, int(size))))
        return 0
    sys.path.insert(0, str(HERE))
    libraries = [x for x in args.libs.split(",") if x]
    print_report(measure(libraries, int(args.mb * 1e6)), sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
