#!/usr/bin/env bash
# The main job: builds quibex and benchmarks it against its peers.
# `--python X.Y` picks the interpreter: a host CPython 3.11+, or 3.14 and 3.15
# from the Debian unstable root (scripts/roots.sh), where the benchmark then
# runs; the default is the first host interpreter. Every other argument is
# passed to bench/bench.py (try --help, --quick, --only twitter).
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/roots.sh"

want="" args=()
while [ $# -gt 0 ]; do
  case $1 in
    --python) want=$2; shift 2 ;;
    --python=*) want=${1#*=}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

py=""
if [ -n "$want" ] && [ -x "$want" ]; then
  py=$want  # a path: the root's own call below
else
  for candidate in $(interpreters); do
    v=$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if [ -z "$want" ] || [ "$v" = "$want" ]; then py=$candidate; break; fi
  done
fi
if [ -z "$py" ]; then
  if [[ " ${SID_PYTHONS[*]} " == *" python$want "* ]]; then
    ensure_root sid || exit 1
    # Relative paths in the arguments mean the same inside: the clone is at
    # its own path there.
    dir=$PWD
    [[ $dir == "$ROOT"* ]] || dir=$ROOT
    in_root sid env QUIBEX_VENV_PREFIX=sid- bash -c 'cd "$0" && exec bash "$@"' "$dir" \
      "$ROOT/scripts/bench.sh" --python "/usr/bin/python$want" ${args[@]+"${args[@]}"}
    exit
  fi
  echo "no CPython $want here: the host has $(interpreters | xargs), the unstable root ${SID_PYTHONS[*]}" >&2
  exit 2
fi
ensure_system_packages
vpy=$(prepare_venv "$py" msgspec ujson python-rapidjson simplejson jiter numpy matplotlib)
exec "$vpy" "$ROOT/bench/bench.py" ${args[@]+"${args[@]}"}
