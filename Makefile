# The commands a newcomer needs: `make demo` and `make test`, and `make dist` for a release.
# Each sets itself up first.
.PHONY: demo test dist bench setup clean

demo:
	scripts/demo.sh

test:
	scripts/test.sh

dist:
	scripts/dist.sh

bench:
	scripts/bench.sh

setup:
	scripts/setup.sh

clean:
	rm -rf build dist .venv
