#!/usr/bin/env bash
# Runs the string and loads tests under valgrind's memcheck. Valgrind's
# virtual processor has no AVX-512, so the routine selectors pick the
# portable escaper and str builder, which run end to end here (the AVX-512
# ones run in every other test run on this machine). Any memcheck error
# fails the run.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages
ensure_fuzz_packages

# The newest interpreter: 3.11's int.from_bytes reads a digit it has not
# written yet, which memcheck reports at every later use of the result.
py=$(interpreters | tail -n 1)
out="$ROOT/build/valgrind-$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
echo "== memcheck build ($("$py" --version))"
cmake -S "$ROOT" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$out" -j "$(nproc)" >/dev/null
vpy=$(prepare_test_venv "$py" "${TEST_PACKAGES[@]}")

echo "== string and loads tests under memcheck"
# PYTHONMALLOC=malloc: every allocation goes through the allocator memcheck
# tracks, and the interpreter's own pools raise no false reports.
cd "$ROOT"
PYTHONPATH="$out" PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=1 --leak-check=no \
  --quiet --suppressions="$ROOT/scripts/valgrind.supp" \
  "$vpy" -m pytest -q -p no:cacheprovider tests/python/test_str.py tests/python/test_loads.py
