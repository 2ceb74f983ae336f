#!/usr/bin/env bash
# Leak-check mode: runs the input sets of tests/leak (every type, option and
# error path of dumps and loads) QUIBEX_LEAKCHECK times each (default 1000)
# on every CPython 3.11+ present, and fails if memory (tracemalloc or RSS) or
# any watched reference count grows. Prints the growth figures per input set.
# Usage: bash scripts/leakcheck.sh [python ...]   (default: every interpreter)
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages

export QUIBEX_LEAKCHECK=${QUIBEX_LEAKCHECK:-1000}
status=0
for py in ${@:-$(interpreters)}; do
  echo "== Leak check on $("$py" --version), $QUIBEX_LEAKCHECK passes per input set"
  vpy=$(prepare_venv "$py" "${TEST_PACKAGES[@]}")
  (cd "$ROOT" && "$vpy" -m pytest -q -p no:cacheprovider tests/leak) || status=1
done
exit $status
