#!/usr/bin/env bash
# Builds quibex for ARM64 and runs its C++ units and Python suite there,
# under qemu-user in the Debian arm64 root (scripts/roots.sh). The build is
# a cross build on the host against the root's headers and libraries; only
# the tests run emulated, without the exhaustive sweeps and the suites that
# mostly start interpreters (command line, typing, packaging), and without
# the address-space limit test (qemu-user maps the guest's memory itself, so
# RLIMIT_AS does not bound the guest's allocations). Prints one line and
# succeeds when this machine cannot run ARM64 programs.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/roots.sh"

ensure_root arm64 || exit 0
command -v aarch64-linux-gnu-g++ >/dev/null || install_packages g++-aarch64-linux-gnu >/dev/null \
  || { echo "arm64: cannot install g++-aarch64-linux-gnu; skipped"; exit 0; }
root="$QUIBEX_ROOTS/arm64"
build="$ROOT/build/arm64"
emulate=(qemu-aarch64-static -L "$root")

# The root's CPython through the emulator, for CMake to read its configuration.
mkdir -p "$build"
printf '#!/bin/sh\nexec %s %s %s %s/usr/bin/python3 "$@"\n' "${emulate[@]}" "$root" >"$build/python"
chmod +x "$build/python"
cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
  -DQUIBEX_SYSROOT="$root" -DQUIBEX_TESTS=ON -DPython_EXECUTABLE="$build/python" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

status=0
echo "== C++ unit tests on ARM64 (qemu-user)"
slow="IntText.EveryEightDigitGroup:IntText.RandomValuesMatchToChars:NumberParse.Random*:FloatText.RandomBitPatternsMatchOracle"
"${emulate[@]}" "$build/quibex_unit" --gtest_brief=1 --gtest_filter="-$slow" || status=1

echo "== Python tests on ARM64 (qemu-user, the root's $(in_root arm64 python3 --version))"
vpy=$(in_root arm64 bash -c "cd '$ROOT' && source scripts/common.sh && prepare_named_venv arm64- python3 ${TEST_PACKAGES[*]}")
in_root arm64 env PYTHONPATH="$build" sh -c "cd '$ROOT' && '$vpy' -m pytest -q -p no:cacheprovider tests/python \
  --ignore=tests/python/test_cli.py --ignore=tests/python/test_typing.py --ignore=tests/python/test_packaging.py \
  -k 'not 100_mb and not debug_allocator and not output_growth_failure'" || status=1
exit $status
