#!/usr/bin/env bash
# Runs every test: the C++ units through ctest, then the Python tests on
# every CPython 3.11+ present and on 3.14 and 3.15 in the Debian unstable
# root, then the sanitizer and memcheck runs. Fails if any test fails
# anywhere; a machine that cannot make the root says so and goes on.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/roots.sh"
ensure_system_packages

status=0
first_py=$(interpreters | sed -n 1p)
echo "== C++ unit tests ($("$first_py" --version))"
cmake -S "$ROOT" -B "$ROOT/build/unit" -DQUIBEX_TESTS=ON -DPython_EXECUTABLE="$first_py" >/dev/null
cmake --build "$ROOT/build/unit" -j "$(nproc)" >/dev/null
(cd "$ROOT/build/unit" && ctest --output-on-failure -j "$(nproc)") || status=1

bash "$ROOT/scripts/python_tests.sh" $(interpreters) || status=1
# CPython 3.14 and 3.15 from the Debian unstable root (made on the first run).
if ensure_root sid; then
  in_root sid env QUIBEX_VENV_PREFIX=sid- bash "$ROOT/scripts/python_tests.sh" "${SID_PYTHONS[@]}" || status=1
fi
for check in sanitize valgrind; do bash "$ROOT/scripts/$check.sh" || status=1; done
bash "$ROOT/scripts/arm64.sh" || status=1
exit $status
