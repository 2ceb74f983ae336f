#!/usr/bin/env bash
# Builds the fuzzing harnesses (clang, libFuzzer, ASan and UBSan) and runs
# each for SECONDS (default 60), one after another:
#   bash scripts/fuzz.sh [SECONDS] [HARNESS...]
# Harnesses: reader utf8 escape float build_str (C++, libFuzzer) and
# loads_dumps (Python, atheris: loads and dumps against the json module).
# Working corpora stay in build/fuzz/corpus/, inputs that fail a check are
# written to build/fuzz/findings/. Fails if any harness reports a finding.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages
ensure_fuzz_packages

seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(reader utf8 escape float build_str loads_dumps)

py=$(interpreters | sed -n 1p)
out="$ROOT/build/fuzz"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$out" -DQUIBEX_FUZZ=ON -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$out" -j 2 >/dev/null
[ -d "$out/seeds" ] || "$py" "$ROOT/tests/fuzz/make_seeds.py" "$out/seeds"
mkdir -p "$out/findings"

# The interpreter leaks by design at exit: only the checks and the
# sanitizers' error reports end a run.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for h in "${harnesses[@]}"; do
  corpus="$out/corpus/$h"
  mkdir -p "$corpus"
  log="$out/fuzz_$h.log"
  echo "== $h for ${seconds}s"
  if [ "$h" = loads_dumps ]; then
    vpy=$(prepare_fuzz_venv "$py")
    # The module of the fuzz build carries ASan and libFuzzer's coverage
    # hooks: libFuzzer, preloaded ahead of ASan, receives its coverage and
    # atheris drives it.
    rt=$(dirname "$(clang -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)")
    clang++ -shared -o "$out/libfuzzer_rt.so" -Wl,--whole-archive "$rt/libclang_rt.fuzzer_no_main-x86_64.a" \
      -Wl,--no-whole-archive -lpthread -ldl -lm
    run=(env PYTHONPATH="$out" PYTHONMALLOC=malloc ASAN_OPTIONS="$ASAN_OPTIONS:verify_asan_link_order=0"
         LD_PRELOAD="$out/libfuzzer_rt.so $(clang -print-file-name=libclang_rt.asan-x86_64.so)"
         "$vpy" "$ROOT/tests/fuzz/fuzz_loads_dumps.py")
  else
    run=("$out/fuzz_$h")
  fi
  if nice -n 10 "${run[@]}" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=4096 \
       -artifact_prefix="$out/findings/$h-" -print_final_stats=1 "$corpus" "$out/seeds/$h" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "   ok: $runs executions, corpus $(ls "$corpus" | wc -l) inputs"
  else
    status=1
    echo "   FINDING (see $log and $out/findings/)"
    grep -m 5 -E "fuzz check failed|ERROR:|runtime error|Traceback|Error" "$log" || true
  fi
done
exit $status
