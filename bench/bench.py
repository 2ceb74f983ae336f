"""Benchmark of quibex against its peers: json, msgspec, ujson, python-rapidjson,
simplejson, jiter (loads only), and marshal as the floor.

    python bench/bench.py                 # every case, a few minutes
    python bench/bench.py --quick         # three corpora and the extra cases, under a minute
    python bench/bench.py --only twitter --only 'numpy-*'
    python bench/bench.py --only loads --libs quibex,json,msgspec

Cases are subject/mode: each corpus in the modes dumps, loads, indent and
sort, and the extra cases records/native-types, twitter-int-keys/non-str-keys,
loads-gc (loads of citm_catalog and canada with the garbage collector enabled)
and numpy-*/numpy (see --list). On CPython 3.14+ the run ends with loads and
dumps spread over 1, 2 and all cores in an interpreter pool (bench/pool.py, a
few seconds). Every contender is validated against the
stdlib json module before it is timed. Results go to bench/results/: the
table is printed, results.json holds every sample, ratios.png the chart.
"""
import argparse
import datetime
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import cases
import memory as measure_memory
import peers
import pool
import report
import timing

HERE = Path(__file__).resolve().parent


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="3 rounds, corpora twitter, citm_catalog and canada, numpy arrays of 10^5 items")
    p.add_argument("--only", action="append", default=[], metavar="PATTERN",
                   help="select cases by subject, mode or glob over subject/mode (repeatable, or"
                        " comma-separated); overrides the corpus choice of --quick")
    p.add_argument("--libs", default=",".join(peers.LIBRARIES),
                   help="comma-separated libraries to run (default: all)")
    p.add_argument("--rounds", type=int, help="rounds per case (default 7, quick 3)")
    p.add_argument("--target-ms", type=float, help="length of one measurement (default 10, quick 3)")
    p.add_argument("--no-memory", action="store_true",
                   help="skip the loads memory measurement (bench/memory.py: documents of 100 MB, quick 20 MB)")
    p.add_argument("--no-pool", action="store_true",
                   help="skip the interpreter-pool scaling case (bench/pool.py, CPython 3.14+)")
    p.add_argument("--no-plot", action="store_true", help="do not draw ratios.png")
    p.add_argument("--out", type=Path, default=HERE / "results", help="results directory")
    p.add_argument("--list", action="store_true", help="list the case ids and exit")
    args = p.parse_args(argv)
    args.only = [x for item in args.only for x in item.split(",") if x]
    args.libs = [x for x in args.libs.split(",") if x]
    unknown = [x for x in args.libs if x not in peers.LIBRARIES]
    if unknown:
        p.error(f"unknown libraries {unknown}; choose from {', '.join(peers.LIBRARIES)}")
    args.rounds = args.rounds or (3 if args.quick else 7)
    args.target_ms = args.target_ms or (3.0 if args.quick else 10.0)
    return args


def planned_cases(args):
    plan = []
    for subject, mode in cases.all_case_ids():
        if args.only:
            if cases.selected(subject, mode, args.only):
                plan.append((subject, mode))
        elif not args.quick or mode not in cases.CORPUS_MODES or subject in cases.QUICK_CORPORA:
            plan.append((subject, mode))
    return plan


def metadata(args):
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except OSError:
        commit = ""
    cpu = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {
        "when": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "platform": platform.platform(), "cpu": cpu, "cpus": os.cpu_count(),
        "commit": commit, "versions": peers.versions(), "quick": args.quick,
        "rounds": args.rounds, "target_ms": args.target_ms, "only": args.only,
        "load_average_start": os.getloadavg()[0],
    }


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.list:
        for subject, mode in cases.all_case_ids():
            print(f"{subject}/{mode}")
        return 0
    plan = planned_cases(args)
    if not plan:
        print(f"no case matches {args.only}; see --list", file=sys.stderr)
        return 2
    meta = metadata(args)
    err = sys.stderr
    started = time.perf_counter()

    print(f"validating {len(plan)} cases", file=err, flush=True)
    built = []
    for subject, mode in plan:
        case = cases.build_case(subject, mode, args.libs, args.quick)
        bad = [f"{c.library} {c.status}" for c in case.contenders if c.status not in ("ok", "skipped")]
        print(f"  {case.id}" + (f": {', '.join(bad)}" if bad else ""), file=err, flush=True)
        built.append(case)

    print(f"  validated in {time.perf_counter() - started:.0f} s", file=err, flush=True)
    memory = None
    if not args.no_memory:
        print("measuring loads peak memory", file=err, flush=True)
        memory = measure_memory.measure(args.libs, 20_000_000 if args.quick else 100_000_000)

    print(f"timing: {args.rounds} rounds of ~{args.target_ms:g} ms measurements", file=err, flush=True)
    timing.calibrate(built, args.target_ms / 1e3, args.rounds)
    timing.run_rounds(built, args.rounds, err)
    if not args.no_pool and pool.available():
        print("timing loads and dumps in interpreter and thread pools", file=err, flush=True)
        meta["pool_mb_per_s"] = pool.measure(args.libs)
    meta["load_average_end"] = os.getloadavg()[0]
    meta["seconds"] = round(time.perf_counter() - started, 1)

    report.print_table(built, memory, meta, sys.stdout)
    if "pool_mb_per_s" in meta:
        pool.print_report(meta["pool_mb_per_s"], sys.stdout)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.json").write_text(report.results_json(built, memory, meta))
    written = [args.out / "results.json"]
    if not args.no_plot:
        title = f"quibex vs peers, {meta['python']}{' (quick)' if args.quick else ''}, {meta['when']}"
        if report.plot(built, args.out / "ratios.png", title):
            written.append(args.out / "ratios.png")
    problems = [(case.id, c) for case in built for c in case.contenders if c.status in ("mismatch", "error")]
    if problems:
        print(f"\n{len(problems)} contender(s) not timed because of errors or mismatches:")
        for case_id, c in problems:
            print(f"  {case_id} {c.library}: {c.status}: {c.reason}")
    print(f"\nwrote {', '.join(str(p) for p in written)} in {meta['seconds']:.0f} s "
          f"(load average {meta['load_average_start']:.1f} -> {meta['load_average_end']:.1f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
