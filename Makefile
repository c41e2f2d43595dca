# Tolvane: the two commands for a fresh Debian machine are `make run` and `make test`.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
CMAKE_GEN := -G Ninja

NATIVE := $(BUILD)/native
WIN64 := $(BUILD)/win64
WIN32 := $(BUILD)/win32
ASAN := $(BUILD)/asan
TSAN := $(BUILD)/tsan
BENCH := $(BUILD)/bench
FUZZ := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(patsubst fuzz/%_fuzz.cpp,%,$(wildcard fuzz/*_fuzz.cpp))

.PHONY: all setup native win64 win32 build run test test-unit test-win sanitize bench fuzz clean

all: build

setup:
	@scripts/setup

$(NATIVE)/build.ninja:
	cmake -S . -B $(NATIVE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_THREAD_CHECKS=ON

$(WIN64)/build.ninja:
	cmake -S . -B $(WIN64) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake

$(WIN32)/build.ninja:
	cmake -S . -B $(WIN32) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake -DTOLVANE_TESTS=OFF

native: setup $(NATIVE)/build.ninja
	cmake --build $(NATIVE) -j $(JOBS)

win64: setup $(WIN64)/build.ninja
	cmake --build $(WIN64) -j $(JOBS)

# The 32-bit Windows tree is only compiled, to keep the code portable to it.
win32: setup $(WIN32)/build.ninja
	cmake --build $(WIN32) -j $(JOBS)

build: native win64 win32

# Until the launcher window exists, this runs the command-line front end natively and under Wine.
run: native win64
	$(NATIVE)/cli/tolvane-cli --version
	WINEPREFIX=$(CURDIR)/$(WIN64)/wineprefix scripts/wine-run $(WIN64)/cli/tolvane-cli.exe --version

test-unit: native
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS) -L unit

test-win: win64
	ctest --test-dir $(WIN64) --output-on-failure -L win

test: build
	@rc=0; \
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS) || rc=1; \
	ctest --test-dir $(WIN64) --output-on-failure -L win || rc=1; \
	exit $$rc

# The unit tier under AddressSanitizer + UndefinedBehaviorSanitizer, then under ThreadSanitizer.
sanitize: setup
	cmake -S . -B $(ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=address
	cmake --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS) -L unit
	cmake -S . -B $(TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=thread
	cmake --build $(TSAN) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --test-dir $(TSAN) --output-on-failure -j $(JOBS) -L unit

# Builds the benchmarks (native, optimised) and runs every benchmark program, then the membership benchmark
# across network lab hosts (needs root; skipped with a notice without it).
bench: setup
	cmake -S . -B $(BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BENCH=ON -DTOLVANE_TESTS=OFF
	cmake --build $(BENCH) -j $(JOBS)
	@rc=0; for b in $(BENCH)/bench/bin/*; do echo "== $$b"; "$$b" || rc=1; done; \
	echo "== bench/lab_bench.py"; \
	wine=""; if [ -f $(WIN64)/cli/tolvane-cli.exe ] && [ -f $(WIN64)/wineprefix/system.reg ]; then \
		wine="--wine-exe $(WIN64)/cli/tolvane-cli.exe --wine-prefix $(WIN64)/wineprefix"; fi; \
	TOLVANE_WINE_RUN=$(CURDIR)/scripts/wine-run python3 bench/lab_bench.py --cli $(BENCH)/cli/tolvane-cli $$wine; \
	lab=$$?; if [ $$lab -ne 0 ] && [ $$lab -ne 77 ]; then rc=1; fi; exit $$rc

# Builds every fuzz target (clang: libFuzzer, ASan, UBSan) and runs each for FUZZ_SECONDS on its corpus.
# New inputs are kept in build/fuzz/corpus/<target>; the seeds in fuzz/corpus/<target> are only read.
# Only this target installs the fuzzing toolchain.
fuzz:
	@scripts/setup fuzz
	cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
		-DCMAKE_CXX_COMPILER=clang++ -DTOLVANE_FUZZ=ON -DTOLVANE_TESTS=OFF
	cmake --build $(FUZZ) -j $(JOBS)
	@rc=0; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ)/corpus/$$t $(FUZZ)/artifacts; \
		echo "== fuzz_$$t, $(FUZZ_SECONDS) s"; \
		$(FUZZ)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
			-artifact_prefix=$(FUZZ)/artifacts/$$t- $(FUZZ)/corpus/$$t fuzz/corpus/$$t || rc=1; \
	done; exit $$rc

clean:
	rm -rf $(BUILD)
