# The two entry points of the README, and what they stand on.
.PHONY: run test setup release test-build tsan fuzz clean

RELEASE_DIR := build/release
TEST_DIR := build/test
TSAN_DIR := build/tsan
FUZZ_DIR := build/fuzz
CTEST_ARGS ?=

run: release
	$(RELEASE_DIR)/vantreel --accept-terms scan

test: test-build
	ctest --test-dir $(TEST_DIR) --output-on-failure -j2 $(CTEST_ARGS)

setup:
	@scripts/setup

release: setup
	@cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DVT_TESTS=OFF -DVT_BENCH=ON > /dev/null
	@cmake --build $(RELEASE_DIR)

test-build: setup
	@cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DVT_SANITIZE=ON > /dev/null
	@cmake --build $(TEST_DIR)

# The concurrency tests again, under ThreadSanitizer.
tsan: setup
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DVT_TSAN=ON > /dev/null
	@cmake --build $(TSAN_DIR)
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j2 -L tsan $(CTEST_ARGS)

fuzz:
	@scripts/setup --fuzz
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-14 -DVT_FUZZ=ON -DVT_TESTS=OFF > /dev/null
	@cmake --build $(FUZZ_DIR)

clean:
	rm -rf build
