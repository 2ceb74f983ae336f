# Debian roots for what the host lacks, made once per machine outside the
# clone and reused by every later run:
#   sid        Debian unstable on this architecture: CPython 3.14 and 3.15
#   arm64      Debian 12 for ARM64, run under qemu-user emulation
#   sid-arm64  Debian unstable for ARM64, likewise: CPython 3.13, 3.14 and
#              3.15, for the release wheels only (their modules are built
#              against the arm64 root, whose glibc is older)
# Sourced after common.sh. `ensure_root NAME` makes or repairs a root and
# fails with one line saying why when the machine cannot; `in_root NAME CMD`
# runs CMD inside it, with the clone at the same path as on the host.

QUIBEX_ROOTS=${QUIBEX_ROOTS:-/var/cache/quibex/roots}

# Suite, architecture and packages of each root.
root_suite() { case $1 in sid | sid-arm64) echo sid ;; arm64) echo bookworm ;; esac; }
root_arch() { case $1 in sid) dpkg --print-architecture ;; arm64 | sid-arm64) echo arm64 ;; esac; }
root_packages() {
  local common="ca-certificates cmake g++ ninja-build libxxhash-dev libgtest-dev"
  case $1 in
    sid) echo "$common python3.14-dev python3.14-venv python3.15-dev python3.15-venv" ;;
    arm64) echo "$common python3 python3-dev python3-venv" ;;
    # Interpreters and headers alone: nothing is compiled in this root.
    sid-arm64) echo "ca-certificates python3.13-dev python3.13-venv python3.14-dev python3.14-venv python3.15-dev python3.15-venv" ;;
  esac
}

# The Debian mirror the host's apt sources name.
host_mirror() {
  local uri
  uri=$(grep -h -o -E 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
        /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1 | tr -d ' ')
  echo "${uri:-http://deb.debian.org/debian}"
}

# Lets the host run ARM64 programs: qemu-user with its binfmt entry. The
# entry is gone after a reboot, so this runs before every use.
ensure_emulation() {
  [ "$(dpkg --print-architecture)" != arm64 ] || return 0
  command -v update-binfmts >/dev/null && [ -e /usr/libexec/qemu-binfmt/aarch64-binfmt-P ] \
    || install_packages qemu-user-static binfmt-support || return 1
  [ -e /proc/sys/fs/binfmt_misc/register ] \
    || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || return 1
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || return 1
}

# Runs CMD as root inside root NAME: /proc mounted, the host's /dev, the
# clone bound at its own path, and the host's local package directories
# bound read-only (pip's configuration names them). The mounts live in a
# private mount namespace and vanish with it. The environment is a fresh one
# with HOME, PATH and LANG; pass more with `env VAR=value CMD`.
in_root() {
  local dir="$QUIBEX_ROOTS/$1"; shift
  unshare --mount --propagation private -- bash -euc '
    dir=$1 src=$2; shift 2
    # A fresh proc, or where the kernel refuses one (inside another
    # namespace or chroot, say) the one of the host.
    mount -t proc proc "$dir/proc" 2>/dev/null || mount --rbind /proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    mkdir -p "$dir$src" && mount --bind "$src" "$dir$src"
    for d in /opt/wheels /opt/pypi /opt/pypi-more; do
      [ -d "$d" ] && mkdir -p "$dir$d" && mount --bind -o ro "$d" "$dir$d"
    done
    exec chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
  ' _ "$dir" "$ROOT" "$@"
}

# Copies the host's name service, CA bundle and pip configuration into the
# root, so pip inside reaches the same package indexes as on the host (the
# bundle may hold a local authority that the root's own bundle lacks).
copy_host_config() {
  local dir=$1 f
  for f in /etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt /etc/pip.conf \
           /etc/xdg/pip/pip.conf /etc/xdg/pip/constraints.txt /root/.config/pip/pip.conf /root/.pip/pip.conf; do
    [ -f "$f" ] && mkdir -p "$dir$(dirname "$f")" && cp -L "$f" "$dir$f"
  done
  return 0
}

# Makes root NAME when missing or broken, and installs its packages when the
# list changed since the last run. Prints one line and fails when the machine
# cannot (no debootstrap package, no network, no emulation).
ensure_root() {
  local name=$1 dir="$QUIBEX_ROOTS/$1"
  local packages; packages=$(root_packages "$name")
  mkdir -p "$QUIBEX_ROOTS"
  (
    flock 9
    if [ "$(root_arch "$name")" != "$(dpkg --print-architecture)" ]; then
      ensure_emulation || { echo "root $name: this machine cannot run $(root_arch "$name") programs (qemu-user, binfmt_misc)"; exit 1; }
    fi
    if [ -f "$dir/.quibex-packages" ] && in_root "$name" true 2>/dev/null \
        && [ "$(cat "$dir/.quibex-packages")" = "$packages" ]; then
      copy_host_config "$dir"
      exit 0
    fi
    if ! in_root "$name" true 2>/dev/null; then
      command -v debootstrap >/dev/null || install_packages debootstrap >/dev/null 2>&1 \
        || { echo "root $name: cannot install debootstrap"; exit 1; }
      echo "making the $name root in $dir (once per machine)"
      rm -rf "$dir" "$dir.new"
      # An emulated root gets its packages from debootstrap: installing them
      # afterwards under emulation is several times slower.
      local include=""
      [ "$(root_arch "$name")" != "$(dpkg --print-architecture)" ] && include="--include=$(echo "$packages" | tr ' ' ,)"
      debootstrap --variant=minbase --arch="$(root_arch "$name")" $include \
          "$(root_suite "$name")" "$dir.new" "$(host_mirror)" >"$QUIBEX_ROOTS/$name.log" 2>&1 \
        || { echo "root $name: debootstrap failed (see $QUIBEX_ROOTS/$name.log)"; rm -rf "$dir.new"; exit 1; }
      mv "$dir.new" "$dir"
    fi
    # The unstable suite of the mirror is a fixed snapshot whose Release file
    # has expired: skip that check.
    in_root "$name" env DEBIAN_FRONTEND=noninteractive sh -c \
        "apt-get -qq -o Acquire::Check-Valid-Until=false update && apt-get install -y -qq --no-install-recommends $packages" \
        >>"$QUIBEX_ROOTS/$name.log" 2>&1 \
      || { echo "root $name: installing packages failed (see $QUIBEX_ROOTS/$name.log)"; exit 1; }
    copy_host_config "$dir"  # after ca-certificates, which writes its own bundle
    echo "$packages" >"$dir/.quibex-packages"
  ) 9>"$QUIBEX_ROOTS/.$name.lock"
}
