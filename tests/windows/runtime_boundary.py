"""Checks that a MinGW-built .pyd shares no C runtime state with the interpreter.

The official interpreter links the Universal CRT; Debian's MinGW-w64 links msvcrt. Two runtimes in
one process are sound as long as nothing crosses between them: each has its own heap, its own
FILE objects and its own table of file descriptors. So the module must

- import from one C runtime only (msvcrt), never also from the interpreter's (ucrtbase and its
  api-ms-win-crt-* forwarders), so that what one allocates the other never frees;
- call none of the interpreter's functions that take or return a FILE* or a C file descriptor,
  which mean something only in the runtime that made them;
- write its lines with WriteFile on the process's standard handles, which both runtimes share.

Reads `objdump -p` of the module on standard input; the module's path is the argument.
"""

from __future__ import annotations

import re
import sys

INTERPRETER = re.compile(r"^python3\d+\.dll$", re.IGNORECASE)
UNIVERSAL_CRT = re.compile(r"^(ucrtbase|api-ms-win-crt-.*)\.dll$", re.IGNORECASE)
# The C API's functions that take or return a FILE* or a C runtime descriptor.
CROSSING_FUNCTIONS = re.compile(
    r"^(PyRun_(AnyFile|SimpleFile|File|Interactive)\w*|PyObject_Print|PyMarshal_\w+File|"
    r"Py_FdIsInteractive|Py_UniversalNewlineFgets|PyOS_Readline|_?Py_fopen\w*|Py_fclose|"
    r"PyFile_FromFd|PyObject_AsFileDescriptor|_Py_open\w*|_Py_read|_Py_write\w*|_Py_dup)$"
)


def imports(listing: str) -> dict[str, set[str]]:
    """DLL name -> the names imported from it, from objdump's import tables."""
    tables: dict[str, set[str]] = {}
    current: set[str] | None = None
    for line in listing.splitlines():
        dll = re.match(r"^\s*DLL Name: (\S+)$", line)
        if dll:
            current = tables.setdefault(dll.group(1).lower(), set())
            continue
        entry = re.match(r"^\s*[0-9a-f]{4,}\s+\d+\s+(\S+)$", line)
        if entry and current is not None:
            current.add(entry.group(1))
    return tables


def problems(tables: dict[str, set[str]]) -> list[str]:
    found = []
    runtimes = sorted(dll for dll in tables if dll == "msvcrt.dll" or UNIVERSAL_CRT.match(dll))
    if runtimes != ["msvcrt.dll"]:
        found.append(f"the module must import from msvcrt.dll alone among the C runtimes, not {runtimes}")
    interpreter = [dll for dll in tables if INTERPRETER.match(dll)]
    if len(interpreter) != 1:
        found.append(f"the module must import from one interpreter DLL, not {interpreter}")
    for dll in interpreter:
        crossing = sorted(name for name in tables[dll] if CROSSING_FUNCTIONS.match(name))
        if crossing:
            found.append(f"{dll} functions that hand a FILE* or a descriptor across runtimes: {crossing}")
    kernel = tables.get("kernel32.dll", set())
    if not {"WriteFile", "GetStdHandle"} <= kernel:
        found.append("the module does not write through WriteFile on the standard handles")
    return found


def main() -> int:
    (module,) = sys.argv[1:]
    tables = imports(sys.stdin.read())
    found = problems(tables)
    for problem in found:
        print(f"error: {module}: {problem}", file=sys.stderr)
    if not found:
        print(
            f"C runtime boundary: msvcrt.dll only, {sum(len(v) for k, v in tables.items() if INTERPRETER.match(k))} "
            "interpreter functions, none with a FILE* or a descriptor; output by WriteFile"
        )
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
