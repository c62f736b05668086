# Q-Parlin: the two commands a user needs are `make run` and `make test` (see README.md).

BUILD_TYPE ?= RelWithDebInfo
WERROR     ?= OFF
JOBS       ?= $(shell nproc)
ARGS       ?=
CMAKE_COMMON = -G Ninja -DQPARLIN_WERROR=$(WERROR)

.PHONY: all deps build run test test-asan test-tsan bench soak fuzz-build fuzz fuzz-smoke package format clean

all: build

deps:
	scripts/install-deps --runtime --test --package

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

# Rewrites every C++ source as .clang-format says; CI fails on any that is not (scripts/check-format).
format:
	scripts/check-format --fix

# Sanitizers slow the process below real time, so the timing and audio-quality tests stay out.
test-asan:
	scripts/install-deps --runtime --test
	cmake -S . -B build-asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DQPARLIN_SANITIZE=address,undefined -DQPARLIN_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure --no-tests=error -j $(JOBS) -LE realtime

# ThreadSanitizer over the unit tests of the threaded subsystems only (building everything would double the
# time); any report fails its test. tests/tsan.supp names the uninstrumented libraries whose races are theirs.
TSAN_UNITS = unit_base unit_platform unit_audio unit_link unit_web unit_reach
test-tsan:
	scripts/install-deps --runtime --test
	cmake -S . -B build-tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DQPARLIN_SANITIZE=thread -DQPARLIN_GUI=OFF -DQPARLIN_BENCH=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_UNITS)
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build-tsan --output-on-failure --no-tests=error -j $(JOBS) \
	        -L unit -R '^(base|platform|audio|link|web|reach)\.'

# libFuzzer targets (tests/fuzz), built with clang in a directory of their own, everything instrumented.
FUZZ_SECONDS    ?= 60
FUZZ_SMOKE_TIME ?= 180
FUZZ_TARGETS    ?=
fuzz-build:
	scripts/install-deps --runtime --test
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPARLIN_WERROR=OFF \
	      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQPARLIN_FUZZ=ON \
	      -DQPARLIN_GUI=OFF -DQPARLIN_TESTS=OFF -DQPARLIN_BENCH=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets

# Every target (or those in FUZZ_TARGETS, e.g. "codec http") for FUZZ_SECONDS each.
fuzz: fuzz-build
	scripts/run-fuzz build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Every target, sharing FUZZ_SMOKE_TIME seconds; a tenth is left for start-up and corpus loading.
fuzz-smoke: fuzz-build
	@n=$$(ls build-fuzz/tests/fuzz/fuzz_* | wc -l); \
	 scripts/run-fuzz build-fuzz $$(( $(FUZZ_SMOKE_TIME) * 9 / 10 / n ))

bench:
	scripts/install-deps --runtime --test
	$(MAKE) --no-print-directory build
	@set -e; for b in build/bench/*_bench; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done
	@echo "== bench/measure_call.sh"; bench/measure_call.sh build 30 g711_8khz

# Long calls (SOAK_MINUTES each, straight and through a lossy relay, side by side); not part of CI.
SOAK_MINUTES ?= 30
soak:
	scripts/install-deps --runtime --test
	$(MAKE) --no-print-directory build
	tests/soak/soak.sh build $(SOAK_MINUTES)

# The Debian package, from the plain build: only the programs and manual pages are built for it (no tests),
# then CPack lays out `cmake --install` and asks dpkg-shlibdeps for the dependencies.
package:
	scripts/install-deps --runtime --package
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build build -j $(JOBS) --target qparlin qparlin-codec manpages
	cd build && cpack -G DEB
	@ls build/qparlin_*.deb

clean:
	rm -rf build build-asan build-tsan build-fuzz
