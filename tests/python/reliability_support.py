"""Helpers for the reliability checks (leaks, properties, stress, fault injection).

Every check has a quick form, which the main test command runs, and a full form, selected with
METRONYX_RELIABILITY=full (scripts/reliability.sh sets it). `scaled(quick, full)` picks the
number that goes with the current form.

Workers write their stop lines and error lines straight to file descriptors 1 and 2, so the
checks that read those lines redirect the descriptors themselves (`FdCapture`) instead of
relying on sys.stdout and sys.stderr.
"""

from __future__ import annotations

import collections
import ctypes
import gc
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass
from typing import Callable

import metronyx
from conftest import enter_module, refcount, wait_refcount, wait_until  # noqa: F401 (re-exported)

FULL = os.environ.get("METRONYX_RELIABILITY", "quick") == "full"

STOP_LINE = re.compile(r"^Task id:(-?\d+) stopped\.$")


def scaled(quick: int, full: int) -> int:
    """The quick or the full figure, as METRONYX_RELIABILITY asks."""
    return full if FULL else quick


def wrap_id(value: int) -> int:
    """Signed 8-bit two's-complement wrap, as the task-id counter does it."""
    return (value + 128) % 256 - 128








# ---- Reading what workers write to the process's descriptors ----


class FdCapture:
    """Redirects one file descriptor (1 or 2) to a temporary file for the duration of a `with`
    block. Inside the block, `text()` reads everything written so far; `mark()` and `since(mark)`
    read what came after a point."""

    def __init__(self, fd: int):
        self.fd = fd
        descriptor, self._path = tempfile.mkstemp(prefix="metronyx-capture-")
        self._file = os.fdopen(descriptor, "w+b")
        # Its own open file, so that reading moves no offset that the writers share (Windows has no
        # pread, and seeking the shared file would make the next write land at the wrong place).
        self._reader = open(self._path, "rb", buffering=0)
        self._saved = -1

    def __enter__(self) -> "FdCapture":
        sys.stdout.flush()
        sys.stderr.flush()
        self._saved = os.dup(self.fd)
        os.dup2(self._file.fileno(), self.fd)
        return self

    def __exit__(self, *exc: object) -> None:
        os.dup2(self._saved, self.fd)
        os.close(self._saved)
        self._file.close()
        self._reader.close()
        os.unlink(self._path)

    def _read(self, offset: int, size: int) -> str:
        self._reader.seek(offset)
        return self._reader.read(size).decode("utf-8", "backslashreplace")

    def text(self) -> str:
        return self._read(0, 1 << 30)

    def mark(self) -> int:
        return os.fstat(self._file.fileno()).st_size

    def since(self, mark: int) -> str:
        size = os.fstat(self._file.fileno()).st_size
        return self._read(mark, size - mark)


def stop_ids(text: str) -> collections.Counter[int]:
    """The task ids of the whole stop lines in `text`, counted; any other line is an error. A line
    still being written when `text` was read (a write that crosses a page of the capture file
    lands in two steps) is left for the next read."""
    ids: collections.Counter[int] = collections.Counter()
    for line in text[: text.rfind("\n") + 1].splitlines():
        match = STOP_LINE.match(line)
        assert match, f"unexpected line on standard output: {line!r}"
        ids[int(match.group(1))] += 1
    return ids


# ---- Measuring what the process holds ----


def sanitizer_runtime() -> str | None:
    """'asan' or 'tsan' when a sanitizer runtime is loaded into this process, else None. Their
    allocators keep freed memory in quarantine, so resident memory says nothing about leaks
    there (and the interpreter's own allocator is usually switched off under them)."""
    if sys.platform == "win32":
        return None  # the sanitizer builds are Linux builds
    with open("/proc/self/maps") as maps:
        text = maps.read()
    if "libasan" in text:
        return "asan"
    if "libtsan" in text:
        return "tsan"
    return None


class _ProcessMemoryCounters(ctypes.Structure):
    _fields_ = [("cb", ctypes.c_uint32), ("PageFaultCount", ctypes.c_uint32)] + [
        (name, ctypes.c_size_t)
        for name in (
            "PeakWorkingSetSize",
            "WorkingSetSize",
            "QuotaPeakPagedPoolUsage",
            "QuotaPagedPoolUsage",
            "QuotaPeakNonPagedPoolUsage",
            "QuotaNonPagedPoolUsage",
            "PagefileUsage",
            "PeakPagefileUsage",
        )
    ]


def resident_bytes() -> int:
    if sys.platform == "win32":
        # The working set is Windows' resident memory.
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetCurrentProcess.restype = ctypes.c_void_p
        counters = _ProcessMemoryCounters(cb=ctypes.sizeof(_ProcessMemoryCounters))
        if not kernel32.K32GetProcessMemoryInfo(
            ctypes.c_void_p(kernel32.GetCurrentProcess()), ctypes.byref(counters), counters.cb
        ):
            raise ctypes.WinError()
        return int(counters.WorkingSetSize)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def _native_heap_reader() -> Callable[[], int] | None:
    if sys.platform == "win32":
        return None  # mallinfo2 is the C library's of Linux; there the other figures must do
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    # A sanitizer's allocator answers with zeros.
    return in_use if in_use() > 0 else None


_native_in_use = _native_heap_reader()


@dataclass
class Snapshot:
    blocks: int  # sys.getallocatedblocks(): 0 when the interpreter's allocator is off
    native: int | None  # bytes the C allocator has handed out and not had back
    resident: int
    refcounts: list[int]


def snapshot(*objects: object) -> Snapshot:
    gc.collect()
    return Snapshot(
        blocks=sys.getallocatedblocks(),
        native=_native_in_use() if _native_in_use else None,
        resident=resident_bytes(),
        # Less the references of this call: the tuple and getrefcount's argument.
        refcounts=[sys.getrefcount(obj) - 2 for obj in objects],
    )


@dataclass
class Tolerance:
    blocks: int
    native: int
    resident: int


def leak_problems(before: Snapshot, after: Snapshot, rounds: int, tolerance: Tolerance) -> list[str]:
    """What grew beyond its tolerance between two snapshots. A leak of one object or one native
    allocation per round shows up as growth of at least `rounds` blocks or bytes."""
    problems = []
    if after.refcounts != before.refcounts:
        problems.append(f"reference counts {before.refcounts} -> {after.refcounts}")
    if before.blocks and after.blocks - before.blocks > tolerance.blocks:
        problems.append(f"{after.blocks - before.blocks} more allocated blocks after {rounds} rounds")
    if before.native is not None and after.native is not None and after.native - before.native > tolerance.native:
        problems.append(f"{after.native - before.native} more bytes in use in the C heap after {rounds} rounds")
    if sanitizer_runtime() is None and after.resident - before.resident > tolerance.resident:
        problems.append(f"resident memory grew by {after.resident - before.resident} bytes after {rounds} rounds")
    return problems


# ---- Subprocesses ----


@dataclass
class Completed:
    returncode: int
    stdout: str
    stderr: str
    path: str  # the script's path, as its tracebacks name it


def run_program(code: str, *args: str, timeout: float = 60.0) -> Completed:
    """Runs `code` as a script file in a fresh interpreter (the one running the tests, with the
    same environment, so a sanitizer or debug run covers the child too). A file rather than -c,
    so that tracebacks show the source lines."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "program.py")
        with open(path, "w") as program:
            program.write(textwrap.dedent(code))
        proc = subprocess.run(
            [sys.executable, path, *args],
            capture_output=True,
            text=True,
            errors="backslashreplace",
            cwd=directory,
            timeout=timeout,
        )
    return Completed(proc.returncode, proc.stdout, proc.stderr, path)
