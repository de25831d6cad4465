# Entry points for a fresh machine: `make demo` and `make test`.
JOBS ?= $(shell nproc)
.PHONY: deps build debug asan demo test test-asan bench format clean

deps:
	@scripts/deps.sh

build: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

debug: deps
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)

asan: deps
	cmake --preset asan-ubsan
	cmake --build --preset asan-ubsan -j $(JOBS)

demo: build
	@mkdir -p out
	build/release/varnek research examples/quickstart.json
	@echo "report written to out/quickstart-report.json"

test: build
	ctest --preset release -j $(JOBS)

test-asan: asan
	ctest --preset asan-ubsan -j $(JOBS)

bench: build
	build/release/varnek_microbench

format:
	find src tests -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
