#!/usr/bin/env bash
# Debian unstable chroots for the interpreters and architectures the host does not have, made once
# with debootstrap and reused. The host's own packages are never touched: everything is installed
# inside the chroot.
#
#   scripts/chroot.sh path <arch>            prints the chroot's directory (made or not)
#   scripts/chroot.sh ensure <arch>          makes the chroot if it is missing or its package list
#                                            changed; prints its directory
#   scripts/chroot.sh run <arch> <cmd...>    runs <cmd> inside it as root, with the checkout
#                                            mounted at the same path as on the host, /proc,
#                                            /dev and the host's name service files
#   scripts/chroot.sh mirror                 prints the Debian mirror the chroots come from
#
# <arch> is amd64 or arm64 (arm64 runs under qemu user-mode emulation, registered with binfmt_misc
# on the host). The chroots live in $METRONYX_CHROOT_ROOT (default /var/cache/metronyx), outside
# any checkout, so every clone on the machine shares them; each is remade only when the package
# list below changes.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CHROOT_ROOT=${METRONYX_CHROOT_ROOT:-/var/cache/metronyx}

log() { printf '[chroot] %s\n' "$*" >&2; }

# Every interpreter the tests run that the host lacks, with headers and venv, a C++ compiler for
# building the module inside, and for amd64 the debug interpreter and the aarch64 cross compiler
# (the aarch64 wheels of the versions that only the chroot has are cross-built there), what
# scripts/cpython.sh needs to build the free-threaded interpreter there, and GoogleTest for the C++
# tests against that interpreter.
packages_for() {
  local common=(ca-certificates g++ make
    python3.13 python3.13-dev python3.13-venv
    python3.14 python3.14-dev python3.14-venv
    python3.15 python3.15-dev python3.15-venv)
  case $1 in
    amd64) echo "${common[@]} python3.13-dbg g++-aarch64-linux-gnu $(cpython_build_packages)" ;;
    arm64) echo "${common[@]}" ;;
    *)
      echo "unknown architecture: $1 (amd64, arm64)" >&2
      exit 2
      ;;
  esac
}

cpython_build_packages() {
  echo "pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev" \
    "libreadline-dev libncurses-dev libexpat1-dev libgdbm-dev uuid-dev libgtest-dev"
}

chroot_dir() { echo "$CHROOT_ROOT/sid-$1"; }

apt_host_install() { # installs host tools (never interpreters) that the chroots need
  local missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]} on the host"
  local apt=(apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}")
  "${apt[@]}" >/dev/null 2>&1 || { apt-get update >/dev/null && "${apt[@]}" >/dev/null; }
}

# The Debian mirror the host's apt already uses, so the chroot comes from the same place.
host_mirror() {
  local uri
  uri=$(grep -hE '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
    grep -v -- '-security' | grep -oE 'https?://[^ ]+/debian/?' | head -n 1 || true)
  echo "${uri%/}"
}

enable_qemu() { # registers the aarch64 emulator with binfmt_misc, if it is not yet
  apt_host_install qemu-user-static binfmt-support
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    echo "error: could not register qemu-aarch64 with binfmt_misc" >&2
    exit 1
  fi
}

ensure() {
  local arch=$1 dir stamp wanted
  dir=$(chroot_dir "$arch")
  wanted=$(packages_for "$arch")
  stamp=$dir/.metronyx-packages
  [ "$arch" = arm64 ] && enable_qemu
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    echo "$dir"
    return 0
  fi
  apt_host_install debootstrap
  local mirror
  mirror=$(host_mirror)
  log "making the Debian unstable $arch chroot in $dir (about a minute, ~1 GB)"
  rm -rf "$dir.new"
  mkdir -p "$CHROOT_ROOT"
  if ! debootstrap --arch="$arch" --variant=minbase --include="${wanted// /,}" sid "$dir.new" \
    ${mirror:+"$mirror"} >"$CHROOT_ROOT/debootstrap-$arch.log" 2>&1; then
    tail -n 30 "$CHROOT_ROOT/debootstrap-$arch.log" >&2
    echo "error: debootstrap of the $arch chroot failed (log: $CHROOT_ROOT/debootstrap-$arch.log)" >&2
    exit 1
  fi
  rm -rf "$dir"
  mv "$dir.new" "$dir"
  echo "$wanted" >"$stamp"
  echo "$dir"
}

# Runs a command in the chroot inside a private mount namespace: the mounts vanish with it, so
# nothing is left mounted on the host whatever happens.
run() {
  local arch=$1 dir
  shift
  dir=$(ensure "$arch")
  mkdir -p "$dir$ROOT"
  # The host's way to the package index goes along: its name service, its certificate authorities
  # (a proxy on the way may sign with its own) and its pip settings.
  cp /etc/resolv.conf /etc/hosts "$dir/etc/" 2>/dev/null || true
  [ -f /etc/pip.conf ] && cp /etc/pip.conf "$dir/etc/pip.conf"
  local passed=() name
  for name in PIP_CERT PIP_DEFAULT_TIMEOUT PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_TRUSTED_HOST \
    SSL_CERT_FILE REQUESTS_CA_BUNDLE http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY \
    NO_PROXY CI TERM; do
    [ -n "${!name:-}" ] && passed+=("$name=${!name}")
  done
  # And the project's own settings (METRONYX_RELIABILITY and the like).
  while IFS= read -r name; do passed+=("$name=${!name}"); done < <(compgen -e | grep '^METRONYX_' || true)
  unshare --mount --propagation private -- /bin/sh -c '
    dir=$1 root=$2
    shift 2
    mount --rbind /dev "$dir/dev" &&
      mount -t proc proc "$dir/proc" &&
      mount --bind "$root" "$dir$root" &&
      mount --bind -o ro /etc/ssl/certs "$dir/etc/ssl/certs" &&
      exec chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin "$@"
  ' metronyx-chroot "$dir" "$ROOT" "${passed[@]}" "$@"
}

if [ "${1:-}" = mirror ]; then
  host_mirror
  exit
fi
[ $# -ge 2 ] || {
  awk 'NR > 1 && /^#/ { print; next } NR > 1 { exit }' "$0" >&2
  exit 2
}
command=$1
shift
case $command in
  path) chroot_dir "$1" ;;
  ensure) ensure "$1" ;;
  run) run "$@" ;;
  *)
    echo "unknown command: $command (path, ensure, run, mirror)" >&2
    exit 2
    ;;
esac
