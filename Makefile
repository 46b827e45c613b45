# The commands a newcomer needs: `make demo` and `make test`, and `make dist` for a release.
# Each sets itself up first.
.PHONY: demo test dist bench setup clean check-windows

demo:
	scripts/demo.sh

test:
	scripts/test.sh

dist:
	scripts/dist.sh

# `make bench PYTHON=3.14` runs the lateness section on another supported version.
bench:
	scripts/bench.sh $(if $(PYTHON),--python $(PYTHON))

# The Windows x86-64 wheel in the official CPython 3.12 and 3.13 under wine, with the whole Python
# suite (installs MinGW-w64 and wine first).
check-windows:
	scripts/check_windows.sh

setup:
	scripts/setup.sh

clean:
	rm -rf build dist .venv
