# Quillfern: the two commands a newcomer needs are `make run` and `make test`.
# Every target first runs the setup script, which installs what is missing.

JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
SOURCES := $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

.PHONY: all setup build run test test-plain test-asan test-tsan bench format format-check clean

all: build

setup:
	@bash scripts/setup.sh

build/build.ninja: | setup
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup build/build.ninja
	cmake --build build -j $(JOBS)

run: build
	@bash scripts/run.sh

build-asan/build.ninja: | setup
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILLFERN_SANITIZE=address

build-tsan/build.ninja: | setup
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILLFERN_SANITIZE=thread

test-plain: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: setup build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan: setup build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L 'platform|obex|server|tcp|app'

test: format-check test-plain test-asan test-tsan
	@echo "All test runs passed (plain, ASan+UBSan, TSan)."

bench: setup
	cmake -S . -B build-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
	cmake --build build-release -j $(JOBS) --target obex_bench
	./build-release/bench/obex_bench $(BENCH_ARGS)

format: setup
	clang-format -i $(SOURCES)

format-check: setup
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf build build-asan build-tsan build-release
