#!/usr/bin/env bash
# Linux release wheels for x86-64 and aarch64 that need glibc 2.28 or newer and no C++ runtime
# on the user's machine (manylinux_2_28), each installed into a bare venv of its interpreter and
# tested as shipped.
#
#   scripts/wheels.sh quick                 (make test) the wheel of the development interpreter
#                                           for each architecture, built incrementally from the
#                                           checkout, checked, installed into a bare venv and
#                                           import-checked (aarch64 under qemu, in the arm64
#                                           chroot of scripts/chroot.sh); the x86-64 one also
#                                           runs the out-of-memory tests, which depend on how
#                                           the C++ runtime is linked
#   scripts/wheels.sh matrix <sdist> <dir>  (make dist) the wheels of CPython 3.12 to 3.15 for both
#                                           architectures and of the free-threaded 3.13 (cp313t)
#                                           for x86-64, built from the unpacked sdist into <dir>,
#                                           each checked and run against the Python suite
#   scripts/wheels.sh build|pair|check|retag|run|headers ...   single steps of the above
#
# How a wheel reaches glibc 2.28: Debian's g++ (and its aarch64 cross compiler) compiles against
# glibc 2.28's headers and links against glibc 2.28's libraries, both from the Zig toolchain on
# PyPI, which carries every glibc version's headers and makes link stubs that define only the
# symbols (and symbol versions) of that release. The C++ runtime is linked into the module
# (METRONYX_STATIC_RUNTIME), so the module keeps GNU's C++ runtime and unwinder, which the
# interpreter's forced unwind of a thread relies on.
#
# Interpreters: 3.12 and 3.13 from the host (pyenv or PATH); 3.14 and 3.15, which the host lacks,
# from the amd64 chroot, where the build runs too (the chroot's g++ then builds). aarch64 wheels
# are cross-compiled beside their x86-64 twin with the same interpreter and run in the arm64
# chroot, which has no CPython 3.12: that wheel is built and checked but cannot be run here.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
# shellcheck source=scripts/lib/interpreters.sh
source scripts/lib/interpreters.sh
VENV_BIN=$ROOT/.venv/bin
WORK=$ROOT/build/wheels
GLIBC=2.28

log() { printf '[wheels] %s\n' "$*" >&2; }
die() {
  echo "error: $*" >&2
  exit 1
}

# ---- Toolchain: a compiler wrapper that builds against glibc $GLIBC -------------------------

zig_binary() { # the Zig compiler of .venv (requirements-dev.txt), also reachable from a chroot
  local zig
  zig=$(ls "$ROOT"/.venv/lib/python3*/site-packages/ziglang/zig 2>/dev/null | head -n 1)
  [ -x "$zig" ] || die "the Zig toolchain is missing from .venv (scripts/setup.sh installs it)"
  echo "$zig"
}

# toolchain <arch> <compiler>: makes $WORK/toolchain/<arch>-<compiler version>/ with `c++`, a
# wrapper around <compiler> that sees glibc $GLIBC's headers in place of the system's and links
# against its stubs; prints the directory. Runs where <compiler> runs (host or chroot).
toolchain() {
  local arch=$1 compiler=$2 zig dir version
  zig=$(zig_binary)
  version=$("$compiler" -dumpfullversion)
  dir=$WORK/toolchain/$arch-gcc$version-glibc$GLIBC
  [ -x "$dir/cc" ] && { echo "$dir"; return 0; }
  rm -rf "$dir.new"
  mkdir -p "$dir.new/lib"
  local zigarch=$arch libc_dir
  [ "$arch" = x86_64 ] && zigarch=x86
  libc_dir=$(dirname "$zig")/lib/libc/include
  # The link stubs: Zig names them on the linker command line of a small shared library.
  local probe=$dir.new/probe link_line
  echo 'int metronyx_probe(void) { return 0; }' >"$probe.c"
  link_line=$(ZIG_GLOBAL_CACHE_DIR=$WORK/zig-cache "$zig" cc -target "$arch-linux-gnu.$GLIBC" \
    -shared -fPIC "$probe.c" -o "$probe.so" -v 2>&1 | grep -E '^ld\.lld ' || true)
  local stubs nonshared
  stubs=$(grep -oE '[^ ]+/libc\.so\.6' <<<"$link_line" | head -n 1 || true)
  nonshared=$(grep -oE '[^ ]+/libc_nonshared\.a' <<<"$link_line" | head -n 1 || true)
  [ -n "$stubs" ] && [ -n "$nonshared" ] || die "Zig named no glibc $GLIBC stubs for $arch: $link_line"
  cp "$(dirname "$stubs")"/*.so.* "$nonshared" "$dir.new/lib/"
  # What -lc, -lm, -lpthread, -ldl and -lrt find first: glibc's own linker-script form for libc.
  echo 'GROUP ( libc.so.6 libc_nonshared.a AS_NEEDED ( libld.so.2 ) )' >"$dir.new/lib/libc.so"
  for lib in m pthread dl rt; do
    ln -s "$(cd "$dir.new/lib" && ls lib$lib.so.*)" "$dir.new/lib/lib$lib.so"
  done
  # Zig's glibc headers serve every release and fail with #error in a header that a release did
  # not have; the C++ library probes with __has_include (<sys/single_threaded.h>, 2.32), so the
  # copy here leaves out what glibc $GLIBC lacked.
  cp -r "$libc_dir/generic-glibc" "$dir.new/generic-glibc"
  local header minor
  while IFS= read -r header; do
    minor=$(grep -oE 'did not exist before glibc 2\.[0-9]+' "$header" | head -n 1 | cut -d. -f2)
    [ "$minor" -le "${GLIBC#2.}" ] || rm "$header"
  done < <(grep -rlE 'did not exist before glibc 2\.[0-9]+' "$dir.new/generic-glibc")
  local glibc_includes=(-isystem "$libc_dir/$zigarch-linux-gnu" -isystem "$dir/generic-glibc"
    -isystem "$libc_dir/$zigarch-linux-any" -isystem "$libc_dir/any-linux-any")
  # A wrapper per language (C: the interpreter's internal headers for CPython 3.12): the
  # compiler's own C++ and GCC header directories stay, the C library's are replaced.
  local language driver wrapper includes line
  for language in c++ c; do
    driver=$compiler wrapper=$dir.new/c++
    [ "$language" = c ] && driver=${compiler/%g++/gcc} wrapper=$dir.new/cc
    includes=()
    while IFS= read -r line; do
      case $line in
        */c++/* | */gcc/*/include | */gcc-cross/*/include) includes+=(-isystem "$line") ;;
      esac
    done < <("$driver" -E -v -x "$language" /dev/null 2>&1 | sed -n '/<\.\.\.> search starts/,/End of/p' | sed 's/^ *//')
    {
      echo '#!/bin/sh'
      echo "# $driver against glibc $GLIBC (made by scripts/wheels.sh)"
      printf 'exec %s -nostdinc' "$(command -v "$driver")"
      # -pthread: before 2.34, glibc keeps the threads API in libpthread, which CMake's probe
      # (compile-only, see build) cannot tell.
      printf ' %q' "${includes[@]}" "${glibc_includes[@]}" "-D__GLIBC_MINOR__=${GLIBC#2.}" -pthread "-L$dir/lib"
      echo ' "$@"'
    } >"$wrapper"
    chmod +x "$wrapper"
  done
  rm -f "$probe".*
  rm -rf "$dir"
  mv "$dir.new" "$dir"
  echo "$dir"
}

# ---- One wheel --------------------------------------------------------------------------------

platforms() { # platforms <arch>: pip's --platform options for a glibc 2.28 system of <arch>
  local minor
  for minor in 28 27 26 24 17; do printf -- '--platform manylinux_2_%s_%s ' "$minor" "$1"; done
  printf -- '--platform manylinux2014_%s' "$1"
}

# tools_venv <where> <python>: a venv of <python> (host, or the amd64 chroot's) holding the build
# backend, `build`, CMake and Ninja, made once; prints its interpreter. The host's pip installs
# them for the venv's version: a chroot may not reach the package index itself.
tools_venv() {
  local where=$1 python=$2 runner=() version venv site
  [ "$where" = host ] || runner=("$ROOT/scripts/chroot.sh" run "$where")
  # 3.13t for the free-threaded 3.13: a venv of its own, though the tools are the same.
  version=$("${runner[@]}" "$python" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))')
  venv=$WORK/tools-$version-$where
  if [ ! -f "$venv/.ready" ]; then
    log "build tools for Python $version ($where)"
    rm -rf "$venv"
    "${runner[@]}" "$python" -m venv --without-pip "$venv"
    site=$(ls -d "$venv"/lib/python3*/site-packages)
    "$VENV_BIN/python" -m pip install -q --disable-pip-version-check --target "$site" \
      $(platforms "$(uname -m)") --python-version "${version%t}" --implementation cp \
      --only-binary :all: "scikit-build-core>=0.11.1" "cmake>=3.24" ninja build >&2 ||
      die "could not install the build tools for Python $version ($where)"
    touch "$venv/.ready"
  fi
  echo "$venv/bin/python"
}

# build <tools python> <arch> <include dir> <source> <out dir>: builds the wheel of that
# interpreter's version for <arch> from <source> into <out dir>, incrementally in
# $WORK/build-<version>-<arch>, with the target's headers (target_headers). <tools python> is
# made by tools_venv; this runs where that interpreter runs.
# <include dir> is the target's Python headers for a cross build (- for the interpreter's own).
build() {
  local tools=$1 arch=$2 include=$3 source=$4 out=$5
  local compiler=g++ cross=() version dir
  if [ "$arch" != "$(uname -m)" ]; then
    compiler=$arch-linux-gnu-g++
    command -v "$compiler" >/dev/null || die "$compiler is missing (Debian: g++-$arch-linux-gnu)"
    local suffix
    suffix=$("$tools" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    # The target's names: the module's suffix and the wheel's platform tag, which the build
    # would otherwise take from the interpreter that runs it.
    export SETUPTOOLS_EXT_SUFFIX=${suffix/$(uname -m)/$arch}
    export _PYTHON_HOST_PLATFORM=linux-$arch
    cross=(-Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
      -Ccmake.define.CMAKE_STRIP="$(command -v "$arch-linux-gnu-strip")")
  fi
  dir=$(toolchain "$arch" "$compiler")
  version=$("$tools" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))')
  mkdir -p "$out"
  local log_file=$WORK/build-$version-$arch.log
  # Release (the project's default for wheels), stripped by the install step; warnings are
  # errors, as in every build of the project's own. CMake's probes compile without linking a
  # program: a program's start files are the system's, newer than the stubs (the module, a
  # shared object, needs none of them).
  if ! flock "$WORK/.lock-$version-$arch" "$tools" -m build --wheel --no-isolation \
    --skip-dependency-check --outdir "$out" "$source" \
    -Cbuild-dir="$WORK/build-$version-$arch" -Ccmake.build-type=Release -Cinstall.strip=true \
    -Ccmake.define.CMAKE_CXX_COMPILER="$dir/c++" -Ccmake.define.CMAKE_C_COMPILER="$dir/cc" \
    -Ccmake.define.Python_INCLUDE_DIR="$include" -Ccmake.define.METRONYX_WERROR=ON \
    -Ccmake.define.METRONYX_STATIC_RUNTIME=ON -Ccmake.define.CMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
    "${cross[@]}" >"$log_file" 2>&1; then
    tail -n 60 "$log_file" >&2
    die "the $version $arch wheel did not build (log: $log_file)"
  fi
}

# target_headers <arch> <include dir> <version>: the interpreter headers of <include dir> with the
# real pyconfig.h of <arch> in place (Debian's own pyconfig.h only includes the one of the
# machine that compiles, from a directory that the wrapper's header path leaves out); prints the
# directory. The C API's headers are the same on both architectures; only pyconfig.h describes
# the build machine. For aarch64 it comes from the arm64 chroot's interpreter of the same version;
# where there is none (3.12), the x86-64 pyconfig.h serves without its two x86 assembly switches,
# which only the interpreter's internal headers read.
target_headers() {
  local arch=$1 base=$2 version=$3 dir x86 arm64
  dir=$WORK/headers/$arch/python$version
  x86=$base/pyconfig.h
  [ -f "$(dirname "$base")/x86_64-linux-gnu/python$version/pyconfig.h" ] &&
    x86=$(dirname "$base")/x86_64-linux-gnu/python$version/pyconfig.h
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  cp -rL "$base" "$dir"
  rm -f "$dir/pyconfig.h"
  if [ "$arch" = x86_64 ]; then
    cp "$x86" "$dir/pyconfig.h"
  else
    arm64=$("$ROOT/scripts/chroot.sh" path arm64)/usr/include/aarch64-linux-gnu/python$version/pyconfig.h
    if [ -f "$arm64" ]; then
      cp "$arm64" "$dir/pyconfig.h"
    else
      grep -vE '#define HAVE_GCC_ASM_FOR_(X64|X87)' "$x86" >"$dir/pyconfig.h"
    fi
  fi
  echo "$dir"
}

# ---- Checks of a built wheel ------------------------------------------------------------------

# check_module <wheel>: the module inside is stripped, for the wheel's architecture, and needs
# nothing from the system beyond glibc $GLIBC and GCC's unwinder (libgcc_s): no versioned symbol
# of a newer glibc, no C++ runtime version, no other library (auditwheel judges libgcc_s), and no unversioned symbol other than the
# interpreter's (a function the stubs lack would otherwise bind to whatever the system has).
check_module() {
  local wheel=$1 unpacked module machine
  unpacked=$(mktemp -d)
  "$VENV_BIN/python" -m zipfile -e "$wheel" "$unpacked"
  module=$(ls "$unpacked"/metronyx*.so)
  case $(basename "$wheel") in
    *aarch64*) machine=AArch64 ;;
    *) machine=X86-64 ;;
  esac
  local symbols needed problems=()
  readelf -h "$module" | grep -qE "Machine: .*$machine\$" || problems+=("not built for $machine")
  readelf -S "$module" | grep -q '\.debug_' && problems+=("keeps its debug information")
  symbols=$(readelf --dyn-syms -W "$module")
  local newest
  newest=$(grep -oE '@GLIBC_2\.[0-9]+' <<<"$symbols" | sort -t. -k2 -n -u | tail -n 1 | cut -d_ -f2)
  [ -z "$newest" ] || [ "$(printf '%s\n' "$newest" "$GLIBC" | sort -V | tail -n 1)" = "$GLIBC" ] ||
    problems+=("needs glibc $newest")
  grep -qE '@(GLIBCXX|CXXABI)_' <<<"$symbols" && problems+=("needs a C++ runtime version")
  local unversioned
  unversioned=$(awk '$7 == "UND" && $8 != "" && $8 !~ /@/ && $8 !~ /^_?Py/ && $5 != "WEAK" { print $8 }' <<<"$symbols")
  [ -z "$unversioned" ] || problems+=("has unversioned undefined symbols: $(echo $unversioned)")
  needed=$(readelf -d "$module" | grep -oE 'Shared library: \[[^]]+\]' | grep -vE '\[(libc|libm|libpthread|libdl|librt|libgcc_s)\.so\.[0-9]+|ld-linux-[-a-z0-9_]+\.so\.[0-9]+\]' || true)
  [ -z "$needed" ] || problems+=("needs $needed")
  rm -rf "$unpacked"
  [ ${#problems[@]} -eq 0 ] || die "$(basename "$wheel"): $(printf '%s; ' "${problems[@]}")"
}

# retag <raw wheel> <dir>: the wheel as manylinux_<glibc>_<arch>, once `auditwheel show` finds
# it consistent with that tag or an older one; prints the new wheel. Nothing needs grafting (the
# module needs only glibc and libgcc_s), and auditwheel's repair offers only the host's
# architecture, so the tag is set with `wheel tags`.
retag() {
  local raw=$1 dir=$2 arch plat shown oldest
  arch=$(basename "$raw" .whl | sed 's/.*-linux_//')
  plat=manylinux_${GLIBC/./_}_$arch
  shown=$("$VENV_BIN/auditwheel" show "$raw" 2>&1) || { echo "$shown" >&2; die "auditwheel show failed on $(basename "$raw")"; }
  oldest=$(tr -s ' \n' '  ' <<<"$shown" | grep -oE 'consistent with the following platform tag: "manylinux_2_[0-9]+_' |
    grep -oE '2_[0-9]+' | cut -d_ -f2)
  [ -n "$oldest" ] && [ "$oldest" -le "${GLIBC#2.}" ] || { echo "$shown" >&2; die "$(basename "$raw") is not manylinux_${GLIBC/./_}"; }
  mkdir -p "$dir"
  cp "$raw" "$dir/"
  "$VENV_BIN/python" -m wheel tags --remove --platform-tag "$plat" "$dir/$(basename "$raw")" >/dev/null
  # This wheel's new name only: the directory holds the other versions' wheels too.
  local retagged
  retagged=$dir/$(basename "$raw" | sed "s/-linux_$arch\.whl\$/-$plat.whl/")
  [ -f "$retagged" ] || die "retagging $(basename "$raw") did not give $(basename "$retagged")"
  echo "$retagged"
}

# ---- Running a wheel --------------------------------------------------------------------------

# run_wheel <where> <python> <wheel> <venv> import|memory|suite [<pytest arguments>]: makes a venv
# of <python> without pip, installs the wheel alone into it (no index, binaries only), checks that
# no build tool is importable there, then runs the smoke check and, for `suite`, the Python test
# suite (for `memory`, its out-of-memory tests) from outside the checkout with nothing but the
# venv on PATH. <where> is host, or amd64 or
# arm64 for a chroot of scripts/chroot.sh, whose <python> it is. The host's pip installs, for the
# venv's platform and version, so that nothing is installed at emulated speed.
run_wheel() {
  local where=$1 python=$2 wheel=$3 venv=$4 what=$5 runner=()
  shift 5
  [ "$where" = host ] || runner=("$ROOT/scripts/chroot.sh" run "$where")
  rm -rf "$venv"
  "${runner[@]}" "$python" -m venv --without-pip "$venv"
  local version abi plat site
  version=$(basename "$wheel" | cut -d- -f3)                   # cp313
  abi=$(basename "$wheel" | cut -d- -f4)
  plat=$(basename "$wheel" .whl | cut -d- -f5)
  site=$(ls -d "$venv"/lib/python3*/site-packages)
  local pip=("$VENV_BIN/python" -m pip install -q --disable-pip-version-check --target "$site"
    $(platforms "${plat#manylinux_2_28_}") --python-version "${version#cp}" --implementation cp --abi "$abi" --abi none
    --only-binary :all:)
  "${pip[@]}" --no-index --no-deps "$wheel"
  "${runner[@]}" "$venv/bin/python" -c '
import importlib.util, sys
found = [name for name in ("scikit_build_core", "cmake", "ninja", "setuptools", "pip") if importlib.util.find_spec(name)]
sys.exit(f"build tools in the check venv: {found}" if found else 0)'
  "${runner[@]}" /usr/bin/env -i HOME=/root PATH="$venv/bin" LANG=C.UTF-8 /bin/sh -c \
    'cd /tmp && exec "$0" "$1"' "$venv/bin/python" "$ROOT/tests/packaging/wheel_smoke.py"
  local tests=("$ROOT/tests/python" --ignore="$ROOT/tests/python/test_bench_quick.py")
  case $what in
    import) return 0 ;;
    memory)
      # pytest alone (and its timeout plugin, which the project's settings name) is all these need.
      "${pip[@]}" $(grep -E '^pytest(-timeout)?[<>=]' "$ROOT/requirements-test.txt") >/dev/null
      tests=("$ROOT/tests/python/test_hard_conditions.py" -k out_of_memory)
      ;;
    *) "${pip[@]}" -r "$ROOT/requirements-test.txt" >/dev/null ;;
  esac
  "${runner[@]}" /usr/bin/env -i HOME=/root PATH="$venv/bin" LANG=C.UTF-8 /bin/sh -c \
    'cd /tmp && exec "$@"' run-suite "$venv/bin/python" -m pytest -p no:cacheprovider -q \
    "${tests[@]}" "$@"
}

# ---- Where each interpreter is ----------------------------------------------------------------

ensure_cross_compiler() { # ensure_cross_compiler host|amd64: Debian's aarch64 g++ there
  local runner=()
  [ "$1" = host ] || runner=("$ROOT/scripts/chroot.sh" run "$1")
  "${runner[@]}" /bin/sh -c 'command -v aarch64-linux-gnu-g++ >/dev/null' && return 0
  log "installing g++-aarch64-linux-gnu ($1)"
  "${runner[@]}" /bin/sh -c 'apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 g++-aarch64-linux-gnu >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 g++-aarch64-linux-gnu >/dev/null; }'
}

now() { date +%s; }
TIMES=()
stage_time() { # stage_time <start> <what>: records how long a stage took
  TIMES+=("$(printf '%5ss  %s' "$(($(now) - $1))" "$2")")
}

# build_pair <version> <source> <raw dir>: the x86-64 and aarch64 wheels of <version>, built on
# the host if it has that interpreter, else in the amd64 chroot; prints where they ran. 3.13t,
# the free-threaded 3.13 of scripts/cpython.sh, has only its x86-64 wheel built here (no aarch64
# free-threaded interpreter is at hand to take its pyconfig.h from, nor to run the wheel).
build_pair() {
  local version=$1 source=$2 raw=$3 python where=host base start arches=(x86_64 aarch64)
  python=
  [ "$version" = 3.13t ] || python=$(find_python "$version" || true)
  if [ "$version" = 3.13t ]; then
    where=amd64
    python=$("$ROOT/scripts/cpython.sh" ensure free-threaded)
    base=$("$ROOT/scripts/chroot.sh" path amd64)$(dirname "$(dirname "$python")")/include/python3.13t
    arches=(x86_64)
  elif [ -z "$python" ]; then
    where=amd64
    python=/usr/bin/python$version
    "$ROOT/scripts/chroot.sh" ensure amd64 >/dev/null
    base=$("$ROOT/scripts/chroot.sh" path amd64)/usr/include/python$version
    [ -f "$base/Python.h" ] || die "no CPython $version on the host or in the amd64 chroot"
  else
    base=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  fi
  ensure_cross_compiler "$where" >&2
  local runner=() tools
  [ "$where" = host ] || runner=("$ROOT/scripts/chroot.sh" run amd64)
  tools=$(tools_venv "$where" "$python")
  local arch headers
  for arch in "${arches[@]}"; do
    start=$(now)
    log "building the $version $arch wheel ($where)"
    headers=$(target_headers "$arch" "$base" "$version")
    "${runner[@]}" "$ROOT/scripts/wheels.sh" build "$tools" "$arch" "$headers" "$source" "$raw" >&2
    stage_time "$start" "build $version $arch ($where)"
  done
  echo "$where"
}

# run_where <version> <arch>: where the wheel runs (host, amd64 or arm64) and with which
# interpreter, or nothing where no interpreter of <version> is at hand.
run_where() {
  local version=$1 arch=$2 python
  if [ "$version" = 3.13t ]; then
    [ "$arch" = x86_64 ] && echo "amd64 $("$ROOT/scripts/cpython.sh" path free-threaded)"
    return 0
  fi
  if [ "$arch" = x86_64 ]; then
    python=$(find_python "$version" || true)
    [ -n "$python" ] && { echo "host $python"; return 0; }
    echo "amd64 /usr/bin/python$version"
    return 0
  fi
  [ -x "$("$ROOT/scripts/chroot.sh" path arm64)/usr/bin/python$version" ] && echo "arm64 /usr/bin/python$version"
  return 0
}

size_of() { # size_of <file>: its size in KiB
  echo "$(($(stat -c %s "$1") / 1024)) KiB"
}

# finish <raw wheel> <dir>: checks the module, tags the wheel into <dir>; prints it.
finish() {
  check_module "$1"
  retag "$1" "$2"
}

quick() {
  local python version start wheel raw=$WORK/quick/raw out=$WORK/quick/wheelhouse
  python=$("$VENV_BIN/python" -c 'import sys; print(sys._base_executable)')
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  rm -rf "$raw" "$out"
  log "making sure the arm64 chroot exists (the first time: several minutes under emulation)"
  "$ROOT/scripts/chroot.sh" ensure arm64 >/dev/null
  build_pair "$version" "$ROOT" "$raw" >/dev/null
  local arch where runner_python
  for arch in x86_64 aarch64; do
    wheel=$(finish "$raw"/metronyx-*-linux_"$arch".whl "$out")
    read -r where runner_python <<<"$(run_where "$version" "$arch")"
    [ -n "$where" ] || die "no CPython $version to run the $arch wheel with"
    start=$(now)
    # The x86-64 wheel also runs the tests that a linked-in C++ runtime decides; under emulation
    # the address-space cap they need is not enforced.
    local check=import
    [ "$arch" = x86_64 ] && check=memory
    log "installing $(basename "$wheel") into a bare venv ($where) and running its $check check"
    run_wheel "$where" "$runner_python" "$wheel" "$WORK/quick/venv-$arch" "$check"
    stage_time "$start" "$check check $version $arch ($where)"
    echo "$(basename "$wheel"): $(size_of "$wheel")"
  done
  printf '%s\n' "${TIMES[@]}"
}

# matrix <sdist> <dir>: every version's wheels for both architectures from the sdist, into <dir>.
# METRONYX_WHEEL_VERSIONS narrows it, e.g. to 3.13t, while working on one.
read -r -a VERSIONS <<<"${METRONYX_WHEEL_VERSIONS:-3.12 3.13 3.14 3.15 3.13t}"
# Under qemu the suite runs 30 times slower (13 minutes for 3.13), and these tests measure what
# emulation changes, not the module: a count of loop turns in a fixed time; hypothesis runs that
# exceed the per-test timeout; resident memory, which qemu's code cache grows; and thread limits,
# where qemu's own thread takes one slot.
# Tests are named with -k: run from outside the checkout, pytest's node ids are relative paths
# that a --deselect of the absolute path would not match.
EMULATED_PYTEST_ARGS=(
  --ignore "$ROOT/tests/python/test_reliability_properties.py"
  --ignore "$ROOT/tests/python/test_reliability_leaks.py"
  -k "$(printf '%s' "not test_a_task_that_never_sleeps_does_not_take_the_main_thread_over" \
    " and not test_refused_thread_keeps_the_task_pending_for_the_next_start" \
    " and not test_panic_exception_and_exits_raised_by_callables_stay_contained")"
)
matrix() {
  local sdist=$1 out=$2 source=$WORK/sdist-source raw=$WORK/matrix-raw version arch start
  rm -rf "$source" "$raw"
  mkdir -p "$source" "$out"
  tar -xzf "$sdist" -C "$source" --strip-components=1
  log "making sure the chroots exist"
  "$ROOT/scripts/chroot.sh" ensure amd64 >/dev/null
  # Only 3.13t has no aarch64 wheel (see build_pair).
  [ "${VERSIONS[*]}" = 3.13t ] || "$ROOT/scripts/chroot.sh" ensure arm64 >/dev/null
  for version in "${VERSIONS[@]}"; do
    build_pair "$version" "$source" "$raw" >/dev/null
  done
  local wheels=() wheel where runner_python results=() not_run=()
  for wheel in "$raw"/*.whl; do
    wheels+=("$(finish "$wheel" "$out")")
  done
  for wheel in "${wheels[@]}"; do
    version=$(basename "$wheel" | cut -d- -f3 | sed 's/^cp3/3./')
    # The free-threaded ABI (cp313t) shares its python tag (cp313) with the build with the lock.
    case $(basename "$wheel" | cut -d- -f4) in *t) version=${version}t ;; esac
    case $wheel in *aarch64*) arch=aarch64 ;; *) arch=x86_64 ;; esac
    where=
    read -r where runner_python <<<"$(run_where "$version" "$arch")"
    if [ -z "$where" ]; then
      not_run+=("$(basename "$wheel"): built and checked, not run (no CPython $version for $arch here)")
      continue
    fi
    start=$(now)
    log "the Python suite against $(basename "$wheel") in a bare venv ($where)"
    local output status=0 extra=()
    [ "$arch" = aarch64 ] && extra=("${EMULATED_PYTEST_ARGS[@]}")
    output=$(run_wheel "$where" "$runner_python" "$wheel" "$WORK/venv-$version-$arch" suite \
      "${extra[@]}" 2>&1) || status=$?
    # The whole account when it failed: the install and smoke check come before the suite.
    echo "$output" | grep -vE '^WARNING: Location' | tail -n "$([ "$status" = 0 ] && echo 5 || echo 120)"
    [ "$status" = 0 ] || die "the suite failed against $(basename "$wheel")"
    stage_time "$start" "suite $version $arch ($where)"
    results+=("$(basename "$wheel"): $(echo "$output" | grep -E '^[0-9]+ passed' | tail -n 1)")
  done
  echo
  echo "== wheels"
  for wheel in "${wheels[@]}"; do
    printf '  %-62s %s\n' "$(basename "$wheel")" "$(size_of "$wheel")"
  done
  echo "== auditwheel show"
  for wheel in "${wheels[@]}"; do
    printf '  %-62s %s\n' "$(basename "$wheel")" "$("$VENV_BIN/auditwheel" show "$wheel" 2>&1 | tr -s ' \n' '  ' | grep -oE 'consistent with the following platform tag: "[^"]+"' | cut -d'"' -f2)"
  done
  echo "== tests as shipped"
  printf '  %s\n' "${results[@]}" "${not_run[@]}"
  echo "== time per stage"
  printf '  %s\n' "${TIMES[@]}"
}

[ $# -ge 1 ] || {
  awk 'NR > 1 && /^#/ { print; next } NR > 1 { exit }' "$0" >&2
  exit 2
}
command=$1
shift
case $command in
  quick) quick ;;
  matrix) matrix "$@" ;;
  build) build "$@" ;;
  pair) build_pair "$@" ;;
  toolchain) toolchain "$@" ;;
  check) check_module "$@" ;;
  retag) retag "$@" ;;
  run) run_wheel "$@" ;;
  headers) target_headers "$@" ;;
  *)
    echo "unknown command: $command" >&2
    exit 2
    ;;
esac
