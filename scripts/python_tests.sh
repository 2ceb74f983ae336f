#!/usr/bin/env bash
# Runs the Python suite and the short leak check on each interpreter named,
# in its own virtual environment with quibex installed. Fails if any test
# fails on any of them.
set -euo pipefail
source "$(dirname "$0")/common.sh"

status=0
for py in "$@"; do
  echo "== Python tests on $("$py" --version)"
  vpy=$(prepare_venv "$py" "${TEST_PACKAGES[@]}")
  (cd "$ROOT" && "$vpy" -m pytest -q -p no:cacheprovider tests/python) || status=1
  (cd "$ROOT" && QUIBEX_LEAKCHECK=20 "$vpy" -m pytest -q -p no:cacheprovider tests/leak) || status=1  # short leak check
done
exit $status
