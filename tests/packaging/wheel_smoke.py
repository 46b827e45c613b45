"""Smoke check of an installed wheel, run with the interpreter of the venv that holds it.

It needs nothing but the standard library, so it runs in a venv that has no test tools. It checks
that the package came from the venv (not from a checkout), that the wheel carries its stub and
license, and that the module works: a task is called on its grid and prints its stop line.
Exits 0 and prints one line when all holds; otherwise fails with what was wrong.
"""

import importlib.metadata
import subprocess
import sys
import sysconfig
from pathlib import Path

# In a child, because the stop line is written to file descriptor 1 by the worker itself.
CHILD = """
import threading, time, metronyx
called = threading.Event()
count = 0
def tick():
    global count
    count += 1
    if count == 3:
        called.set()
scheduler = metronyx.Scheduler()
task = scheduler.schedule(tick, 0.01)
scheduler.start()
assert called.wait(30), "the task was not called three times within 30 s"
scheduler.cancel(task)
time.sleep(0.2)  # the worker writes its stop line once it notices the cancel
print("done", flush=True)
"""


def main() -> None:
    import metronyx

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    module = Path(metronyx.__file__).resolve()
    assert module.parent == site, f"metronyx was imported from {module}, not from {site}"

    distribution = importlib.metadata.distribution("metronyx")
    installed = {str(path) for path in distribution.files or ()}
    for expected in ("metronyx.pyi", "metronyx-stubs/__init__.pyi", "metronyx-stubs/py.typed"):
        assert expected in installed, f"the wheel does not install {expected}"
    licenses = [path for path in installed if path.endswith("licenses/LICENSE")]
    assert licenses, "the wheel carries no LICENSE"
    assert distribution.metadata["License-Expression"] == "MIT", distribution.metadata["License-Expression"]

    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert sorted(done.stdout.splitlines()) == ["Task id:1 stopped.", "done"], done.stdout
    print(f"wheel smoke check passed: {module.name} from {site}")


if __name__ == "__main__":
    main()
