# Finding a CPython interpreter of a given version, with its development headers, on this machine.
# Sourced (not run) by the scripts that build against one: setup.sh, versions.sh, wheels.sh.

# has_headers <python> <version>: true when <python> is CPython <version> and has Python.h.
has_headers() {
  "$1" -c 'import os, sys, sysconfig
want = tuple(int(part) for part in sys.argv[1].split("."))
ok = sys.version_info[:2] == want and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)' "$2" 2>/dev/null
}

# find_python <version>: prints the first interpreter of <version> that has its headers: on PATH,
# then pyenv's builds (newest first), then /usr/local/bin and /usr/bin. Status 1 when none has.
find_python() {
  local candidate pyenv_builds=""
  if command -v pyenv >/dev/null 2>&1; then
    pyenv_builds=$(ls -d "$(pyenv root)"/versions/"$1"*/bin/"python$1" 2>/dev/null | sort -V -r)
  fi
  for candidate in $(command -v "python$1" 2>/dev/null) $pyenv_builds \
    /usr/local/bin/"python$1" /usr/bin/"python$1"; do
    if [ -x "$candidate" ] && has_headers "$candidate" "$1"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
