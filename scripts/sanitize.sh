#!/usr/bin/env bash
# Builds quibex with AddressSanitizer and UndefinedBehaviorSanitizer (clang)
# and its own invariant checks (QUIBEX_ASSERT), and runs the C++ units and
# the whole Python suite under them, on every CPython 3.11+ found (or the
# interpreters given as arguments). Any sanitizer report or failed assertion
# fails the run.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages
ensure_fuzz_packages

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# The interpreter is not built with ASan: the runtime is preloaded, and
# PYTHONMALLOC=malloc routes its allocations through ASan's allocator. It
# also leaks by design at exit, so leak checks are for the C++ units only.
asan_rt=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

pythons=("$@")
[ ${#pythons[@]} -gt 0 ] || mapfile -t pythons < <(interpreters)
status=0
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  out="$ROOT/build/sanitize-$tag"
  echo "== sanitizer build ($("$py" --version))"
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$out" -DQUIBEX_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUIBEX_ASSERTIONS=ON -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" -DPython_EXECUTABLE="$py" >/dev/null
  cmake --build "$out" -j "$(nproc)" >/dev/null

  echo "== C++ unit tests under ASan and UBSan"
  (cd "$out" && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions="$ROOT/scripts/lsan.supp" ctest --output-on-failure -j "$(nproc)") || status=1

  # Tests marked release_build hold for the release build only (see tests/python/conftest.py).
  echo "== Python tests under ASan and UBSan"
  vpy=$(prepare_test_venv "$py" "${TEST_PACKAGES[@]}")
  (cd "$ROOT" && export PYTHONPATH="$out" PYTHONMALLOC=malloc LD_PRELOAD="$asan_rt" ASAN_OPTIONS=detect_leaks=0 &&
     "$vpy" -c 'import os, sys, quibex; sys.exit(not quibex.__file__.startswith(os.environ["PYTHONPATH"]))' &&
     "$vpy" -m pytest -q -p no:cacheprovider tests/python -m "not release_build") || status=1
done
exit $status
