#!/usr/bin/env bash
# The main job: builds quibex and benchmarks it against its peers.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_system_packages
py=$(interpreters | head -n 1)
vpy=$(prepare_venv "$py" msgspec ujson python-rapidjson simplejson)
exec "$vpy" "$ROOT/bench/bench.py" "$@"
