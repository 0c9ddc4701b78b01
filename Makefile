# Two commands for a fresh machine: `make demo` and `make test` (see README.md).
.PHONY: deps build demo test bench clean

deps:
	scripts/install-deps.sh

build: deps
	scripts/build.sh

demo: build
	scripts/demo.sh

test: build
	scripts/test.sh

bench: build
	scripts/bench.sh

clean:
	scripts/wine-machine.sh stop build/wineprefix
	rm -rf build
