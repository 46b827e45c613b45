"""Reads a pytest report (run with -rfEs) and says whether the suite passed under wine.

Passed means: pytest's closing summary is there (no crash or watchdog exit ended the run early),
nothing failed or errored, and every skip names a reason this platform owns: a POSIX facility
Windows lacks, or one of wine's own limits. Prints the counts on one line.

    python suite_outcome.py REPORT LABEL
"""

from __future__ import annotations

import re
import sys

# "=== 3 passed, 1 skipped in 2.01s ===", or without the rules under -q.
SUMMARY = re.compile(r"^(?:=+ )?(?P<counts>\d+ \w+.*) in [0-9.]+s(?: \([0-9:]+\))?(?: =+)?$")
COUNT = re.compile(r"(\d+) (passed|failed|errors?|skipped|xfailed|xpassed|deselected|warnings?)")
SKIPPED = re.compile(r"^SKIPPED \[\d+\] (?P<where>[^:]+(?::\d+)?): (?P<reason>.*)$")
OWNED_REASONS = (re.compile(r"^needs POSIX \("), re.compile(r"^wine's limit: "))


def outcome(report: str) -> tuple[dict[str, int], list[str]]:
    """The summary's counts and what is wrong with the run (nothing when it passed)."""
    lines = report.splitlines()
    summaries = [match for line in lines if (match := SUMMARY.match(line.strip()))]
    if not summaries:
        return {}, ["the run ended without pytest's summary (a crash, or the watchdog ended it)"]
    counts: dict[str, int] = {}
    for number, kind in COUNT.findall(summaries[-1].group("counts")):
        counts[kind.rstrip("s") if kind in ("errors", "warnings") else kind] = int(number)
    problems = []
    if counts.get("failed", 0) or counts.get("error", 0):
        problems.append(f"{counts.get('failed', 0)} failed, {counts.get('error', 0)} errors")
    if not counts.get("passed", 0):
        problems.append("no test passed")
    for line in lines:
        skipped = SKIPPED.match(line)
        if skipped and not any(owned.match(skipped.group("reason")) for owned in OWNED_REASONS):
            problems.append(f"a skip without a Windows or wine reason: {line}")
    return counts, problems


def main() -> int:
    path, label = sys.argv[1:]
    with open(path, encoding="utf-8", errors="backslashreplace") as file:
        counts, problems = outcome(file.read())
    shown = ", ".join(f"{number} {kind}" for kind, number in counts.items()) or "no summary"
    print(f"{label} under wine, the whole Python suite: {shown}")
    for problem in problems:
        print(f"  {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
