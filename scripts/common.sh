# Shared set-up for the test and benchmark commands: system packages, the
# CPython interpreters to use, and one virtual environment per interpreter.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the Debian packages named (none: nothing to do).
install_packages() {
  [ $# -gt 0 ] || return 0
  echo "installing $*"
  apt-get -o DPkg::Lock::Timeout=600 update -qq && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@" >/dev/null
}

# Installs the Debian packages the build needs when any is missing.
ensure_system_packages() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v g++ >/dev/null || missing+=(g++)
  [ -f /usr/include/xxhash.h ] || missing+=(libxxhash-dev)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  install_packages ${missing[@]+"${missing[@]}"}
}

# Prints one python executable per CPython 3.11+ found (pyenv first).
interpreters() {
  local found=()
  if command -v pyenv >/dev/null; then
    local v
    for v in $(pyenv versions --bare 2>/dev/null); do
      local py="$(pyenv root)/versions/$v/bin/python"
      [ -x "$py" ] && "$py" -c 'import sys; sys.exit(not (sys.version_info >= (3, 11) and sys.implementation.name == "cpython"))' 2>/dev/null \
        && found+=("$py")
    done
  fi
  [ ${#found[@]} -gt 0 ] || found+=("$(command -v python3)")
  printf '%s\n' "${found[@]}"
}

# The interpreters of the Debian unstable root (scripts/roots.sh).
SID_PYTHONS=(python3.14 python3.15)

# Prefix of every virtual environment name: the clone, and with it .venv,
# is shared with the roots, whose interpreters get their own.
VENV_PREFIX=${QUIBEX_VENV_PREFIX:-}

# The Python packages of the test suites.
TEST_PACKAGES=(pytest hypothesis numpy pytz python-dateutil mypy)

# Creates (or reuses) the virtual environment .venv/<VENV_PREFIX><prefix>X.Y
# of interpreter $2 and installs the packages named after it; prints the venv's
# python.
prepare_named_venv() {
  local prefix=$1 py=$2; shift 2
  local venv="$ROOT/.venv/$VENV_PREFIX$prefix$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" >&2
  echo "$venv/bin/python"
}

# The virtual environment of interpreter $1 with the packages named after it.
prepare_test_venv() { prepare_named_venv "" "$@"; }

# The same, with quibex itself installed.
prepare_venv() {
  local vpy
  vpy=$(prepare_test_venv "$@")
  "$vpy" -m pip install -q --disable-pip-version-check "$ROOT" >&2
  echo "$vpy"
}

# Installs the compilers and tools of the sanitizer, valgrind and fuzzing
# runs when any is missing.
ensure_fuzz_packages() {
  local missing=()
  command -v clang++ >/dev/null || missing+=(clang)
  command -v llvm-symbolizer >/dev/null || missing+=(llvm)
  command -v valgrind >/dev/null || missing+=(valgrind)
  [ -f "$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || missing+=(libclang-rt-14-dev)
  install_packages ${missing[@]+"${missing[@]}"}
}

# The virtual environment of the Python fuzzing harness, with atheris;
# prints its python.
prepare_fuzz_venv() { prepare_named_venv fuzz- "$1" atheris; }
