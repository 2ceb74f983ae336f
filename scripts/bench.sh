#!/usr/bin/env bash
# The main job: builds quibex and benchmarks it against its peers.
# Arguments are passed to bench/bench.py (try --help, --quick, --only twitter).
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages
py=$(interpreters | sed -n 1p)  # sed reads all input: head could end the writer with SIGPIPE under pipefail
vpy=$(prepare_venv "$py" msgspec ujson python-rapidjson simplejson numpy matplotlib)
exec "$vpy" "$ROOT/bench/bench.py" "$@"
