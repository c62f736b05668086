# Q-Parlin: the two commands a user needs are `make run` and `make test` (see README.md).

BUILD_TYPE ?= RelWithDebInfo
WERROR     ?= OFF
JOBS       ?= $(shell nproc)
ARGS       ?=
CMAKE_COMMON = -G Ninja -DQPARLIN_WERROR=$(WERROR)

.PHONY: all deps build run test test-asan bench clean

all: build

deps:
	scripts/install-deps --runtime --test

build:
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build build -j $(JOBS)

run:
	scripts/install-deps --runtime
	$(MAKE) --no-print-directory build
	build/qparlin $(ARGS)

test:
	scripts/install-deps --runtime --test
	$(MAKE) --no-print-directory build
	ctest --test-dir build --output-on-failure --no-tests=error -j $(JOBS)

# Sanitizers slow the process below real time, so the timing and audio-quality tests stay out.
test-asan:
	scripts/install-deps --runtime --test
	cmake -S . -B build-asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DQPARLIN_SANITIZE=address,undefined -DQPARLIN_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure --no-tests=error -j $(JOBS) -LE realtime

bench:
	scripts/install-deps --runtime --test
	$(MAKE) --no-print-directory build
	@set -e; for b in build/bench/*_bench; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done
	@echo "== bench/measure_call.sh"; bench/measure_call.sh build 30 g711_8khz

clean:
	rm -rf build build-asan
