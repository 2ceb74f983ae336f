#!/usr/bin/env bash
# Runs every test: the C++ units through ctest, then the Python tests on
# every CPython 3.11+ present, then the sanitizer and memcheck runs. Fails
# if any test fails anywhere.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages

status=0
first_py=$(interpreters | sed -n 1p)
echo "== C++ unit tests ($("$first_py" --version))"
cmake -S "$ROOT" -B "$ROOT/build/unit" -DQUIBEX_TESTS=ON -DPython_EXECUTABLE="$first_py" >/dev/null
cmake --build "$ROOT/build/unit" -j "$(nproc)" >/dev/null
(cd "$ROOT/build/unit" && ctest --output-on-failure -j "$(nproc)") || status=1

for py in $(interpreters); do
  echo "== Python tests on $("$py" --version)"
  vpy=$(prepare_venv "$py" "${TEST_PACKAGES[@]}")
  (cd "$ROOT" && "$vpy" -m pytest -q -p no:cacheprovider tests/python) || status=1
  (cd "$ROOT" && QUIBEX_LEAKCHECK=20 "$vpy" -m pytest -q -p no:cacheprovider tests/leak) || status=1  # short leak check
done
for check in sanitize valgrind; do bash "$ROOT/scripts/$check.sh" || status=1; done
bash "$ROOT/scripts/arm64.sh" || status=1
exit $status
