# The commands a newcomer needs: `make demo` and `make test`, and `make dist` for a release.
# Each sets itself up first.
.PHONY: demo test dist bench setup clean

demo:
	scripts/demo.sh

test:
	scripts/test.sh

dist:
	scripts/dist.sh

# `make bench PYTHON=3.14` runs the lateness section on another supported version.
bench:
	scripts/bench.sh $(if $(PYTHON),--python $(PYTHON))

setup:
	scripts/setup.sh

clean:
	rm -rf build dist .venv
