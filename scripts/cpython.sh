#!/usr/bin/env bash
# The free-threaded CPython 3.13 that no package provides: built from the upstream tarball of
# Debian trixie's python3.13 source package (3.13.5), inside the amd64 chroot of scripts/chroot.sh,
# and installed there under /opt/metronyx-cpython/<flavour>. Built once and reused; rebuilt only
# when it is missing or the recipe below changes (a stamp in the installation holds the recipe).
#
#   scripts/cpython.sh ensure <flavour>   builds it unless it is there; prints its python's path
#                                         (a path inside the chroot)
#   scripts/cpython.sh path <flavour>     prints that path, built or not
#   scripts/cpython.sh tarball            downloads the source tarball unless it is cached; prints
#                                         its path (on the host)
#
# <flavour> is free-threaded (./configure --disable-gil), free-threaded-tsan (the same with
# --with-thread-sanitizer, for scripts/reliability.sh tsan-ft) or with-lock (the same source with
# the interpreter lock, so that bench/parallel.py compares two builds that differ in nothing
# else). None uses PGO or LTO: a build takes 5-15 minutes on two cores, depending on the load; the
# TSan flavour about twice that.
set -euo pipefail
cd "$(dirname "$0")/.."
VERSION=3.13.5
TARBALL=python3.13_$VERSION.orig.tar.xz
# From the Checksums-Sha256 of python3.13_3.13.5-2+deb13u5.dsc in trixie; the upstream tarball's
# name and contents stay the same across Debian's revisions of the package.
TARBALL_SHA256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
CHROOT_ROOT=${METRONYX_CHROOT_ROOT:-/var/cache/metronyx}

log() { printf '[cpython] %s\n' "$*" >&2; }

configure_options() {
  case $1 in
    free-threaded) echo "--disable-gil" ;;
    free-threaded-tsan) echo "--disable-gil --with-thread-sanitizer" ;;
    with-lock) echo "" ;;
    *)
      echo "unknown flavour: $1 (free-threaded, free-threaded-tsan, with-lock)" >&2
      exit 2
      ;;
  esac
}

prefix() { echo "/opt/metronyx-cpython/$VERSION-$1"; }

python_of() { # the interpreter's path in the installation of flavour $1
  case $1 in
    with-lock) echo "$(prefix "$1")/bin/python3.13" ;;
    *) echo "$(prefix "$1")/bin/python3.13t" ;;
  esac
}

# Everything that decides what gets built; a change to any of it rebuilds.
recipe() {
  local prefix
  prefix=$(prefix "$1")
  printf '%s\n' "$TARBALL_SHA256" "$(configure_options "$1")" \
    "--prefix=$prefix --enable-shared LDFLAGS=-Wl,-rpath,$prefix/lib" "recipe 1"
}

fetch_tarball() { # into the cache beside the chroots, checked against the sum above
  local file=$CHROOT_ROOT/sources/$TARBALL url
  if [ -f "$file" ] && echo "$TARBALL_SHA256  $file" | sha256sum -c --status; then
    echo "$file"
    return 0
  fi
  mkdir -p "$CHROOT_ROOT/sources"
  url=$(scripts/chroot.sh mirror)/pool/main/p/python3.13/$TARBALL
  log "downloading $url"
  curl -fsSL --retry 3 -o "$file.part" "$url"
  echo "$TARBALL_SHA256  $file.part" | sha256sum -c --status ||
    { echo "error: $TARBALL does not have the expected sha256" >&2; exit 1; }
  mv "$file.part" "$file"
  echo "$file"
}

ensure() {
  local flavour=$1 prefix dir
  prefix=$(prefix "$flavour")
  dir=$(scripts/chroot.sh ensure amd64)
  if [ -f "$dir$prefix/.metronyx-recipe" ] && [ "$(cat "$dir$prefix/.metronyx-recipe")" = "$(recipe "$flavour")" ]; then
    python_of "$flavour"
    return 0
  fi
  local tarball work=/var/tmp/metronyx-cpython-$flavour
  tarball=$(fetch_tarball)
  log "building CPython $VERSION ($flavour) in the amd64 chroot; log: $dir$work.log"
  rm -rf "$dir$work" "$dir$prefix"
  mkdir -p "$dir$work"
  tar -xJf "$tarball" -C "$dir$work" --strip-components=1
  # TSan would fail the build's own runs of the new interpreter (ensurepip, the compileall of
  # the standard library) on races the interpreter knows about: its suppressions, and no exit
  # status of its own.
  local tsan="suppressions=$work/Tools/tsan/suppressions_free_threading.txt:exitcode=0:report_bugs=0"
  # shellcheck disable=SC2046
  if ! scripts/chroot.sh run amd64 /usr/bin/env TSAN_OPTIONS="$tsan" /bin/sh -c '
      set -e
      cd "$1"
      shift
      ./configure "$@"
      nice -n 10 make -j2
      make install' metronyx-cpython "$work" $(configure_options "$flavour") --prefix="$prefix" \
    --enable-shared "LDFLAGS=-Wl,-rpath,$prefix/lib" >"$dir$work.log" 2>&1; then
    tail -n 40 "$dir$work.log" >&2
    echo "error: the build of CPython $VERSION ($flavour) failed (log: $dir$work.log)" >&2
    exit 1
  fi
  rm -rf "$dir$work"
  recipe "$flavour" >"$dir$prefix/.metronyx-recipe"
  log "CPython $VERSION ($flavour) installed in $prefix (in the chroot)"
  python_of "$flavour"
}

if [ "${1:-}" = tarball ] && [ $# -eq 1 ]; then
  fetch_tarball
  exit
fi
[ $# -eq 2 ] || {
  awk 'NR > 1 && /^#/ { print; next } NR > 1 { exit }' "$0" >&2
  exit 2
}
case $1 in
  ensure) ensure "$2" ;;
  path)
    configure_options "$2" >/dev/null
    python_of "$2"
    ;;
  *)
    echo "unknown command: $1 (ensure, path)" >&2
    exit 2
    ;;
esac
