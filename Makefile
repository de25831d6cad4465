# Entry points for a fresh machine: `make demo` and `make test`.
JOBS ?= $(shell nproc)
# Seconds each fuzz target runs for in `make fuzz`.
FUZZ_SECONDS ?= 60
.PHONY: deps build debug asan demo test test-asan bench nullbench fuzz format clean

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

# Only the varnek executable: the tests and micro-benchmarks are not needed to run it.
demo: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target varnek
	@mkdir -p out
	build/release/varnek research examples/quickstart.json
	@echo "report written to out/quickstart-report.json, its page to out/quickstart-report.html"

# `deps.sh --test`: what only the tests need (Chromium, for the report page's check).
test: build
	@scripts/deps.sh --test
	ctest --preset release -j $(JOBS)

test-asan: asan
	@scripts/deps.sh --test
	ctest --preset asan-ubsan -j $(JOBS)

bench: build
	build/release/varnek_microbench

# Research runs on series without an edge and with a planted one (several minutes).
NULLBENCH_RUNS ?= 20
nullbench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target varnek_nullbench
	build/release/varnek_nullbench --runs $(NULLBENCH_RUNS)

# The libFuzzer targets, built with clang (installed for this target only).
fuzz:
	@scripts/deps.sh --fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz.sh $(FUZZ_SECONDS)

format:
	find src tests -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
