# The two entry points of the README, and what they stand on.
.PHONY: run test setup release test-build tsan fuzz fuzz-smoke clean

RELEASE_DIR := build/release
TEST_DIR := build/test
TSAN_DIR := build/tsan
FUZZ_DIR := build/fuzz
CTEST_ARGS ?=
SCAN_ARGS ?=
# Warnings as errors: on for the test builds, and for the release build when CI asks
# (make release VT_WERROR=ON); a user's build never fails on a compiler's new warning.
VT_WERROR ?= OFF

# The conventional release build (-O3). VT_BENCH is left as the build folder has it: off on
# a fresh machine, on once `make release` (which bench/run uses) has built the benchmarks.
configure-release = cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_TESTS=OFF \
	-DVT_WERROR=$(VT_WERROR) $(1) > /dev/null

# Only what the main job needs: the program, without benchmarks or test support.
run:
	@scripts/setup
	@$(call configure-release)
	@cmake --build $(RELEASE_DIR) --target vantreel
	$(RELEASE_DIR)/vantreel --accept-terms scan $(SCAN_ARGS)

test: test-build
	ctest --test-dir $(TEST_DIR) --output-on-failure -j2 $(CTEST_ARGS)

setup:
	@scripts/setup

# The program and the benchmarks.
release:
	@scripts/setup --tests
	@$(call configure-release,-DVT_BENCH=ON)
	@cmake --build $(RELEASE_DIR)

test-build:
	@scripts/setup --tests
	@cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DVT_SANITIZE=ON -DVT_WERROR=ON -DVT_TEST_TOOLS=ON > /dev/null
	@cmake --build $(TEST_DIR)

# The concurrency tests again, under ThreadSanitizer.
tsan:
	@scripts/setup --tests
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DVT_TSAN=ON -DVT_WERROR=ON -DVT_TEST_TOOLS=ON > /dev/null
	@cmake --build $(TSAN_DIR)
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j2 -L tsan $(CTEST_ARGS)

# The libFuzzer targets and nothing else, with Debian's clang 14; -O1 with line tables, as the
# sanitizers advise, and half the build time of -O2 with full debug information.
fuzz:
	@scripts/setup --fuzz
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1 -DNDEBUG" \
	  -DCMAKE_CXX_COMPILER=clang++-14 -DVT_FUZZ=ON -DVT_TESTS=OFF -DVT_BENCH=OFF > /dev/null
	@cmake --build $(FUZZ_DIR) --target fuzz-targets

# Every fuzz target for FUZZ_SECONDS (10) each; fuzz/run runs longer or chosen ones.
FUZZ_SECONDS ?= 10
fuzz-smoke: fuzz
	fuzz/run -t $(FUZZ_SECONDS)

clean:
	rm -rf build
