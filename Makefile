# The two commands a newcomer needs: `make demo` and `make test`. Each sets itself up first.
.PHONY: demo test bench setup clean

demo:
	scripts/demo.sh

test:
	scripts/test.sh

bench:
	scripts/bench.sh

setup:
	scripts/setup.sh

clean:
	rm -rf build .venv
