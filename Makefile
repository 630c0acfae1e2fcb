# Quillfern: the two commands a newcomer needs are `make run` and `make test`.
# Every target first runs the setup script, which installs what is missing.

JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
SOURCES := $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

PREFIX ?= /usr/local

.PHONY: all setup build run install deb test test-deb test-plain test-asan test-tsan test-bluetooth-vm bench bench-bluetooth bench-smoke soak soak-smoke fuzz fuzz-smoke format format-check clean

# The builds that the tests make treat warnings as errors; a plain `make` or
# `make run` does not, so a newer compiler's new warning never stops a user.
STRICT := -DQUILLFERN_WERROR=ON

all: build

setup:
	@bash scripts/setup.sh

build/build.ninja: | setup
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup build/build.ninja
	cmake --build build -j $(JOBS)

run: build
	@bash scripts/run.sh

# The program, its menu entry, icon and user unit below PREFIX (DESTDIR for
# a staged install).
install: setup build/build.ninja
	cmake -S . -B build -DCMAKE_INSTALL_PREFIX=$(PREFIX) > /dev/null
	cmake --build build -j $(JOBS) --target quillfern
	cmake --install build

# The Debian package, built with Debian's own tools from the files git tracks, into
# build-deb/: quillfern_VERSION_ARCH.deb.
deb: setup
	JOBS=$(JOBS) bash scripts/deb.sh build-deb

# The package checked as Debian checks packages (lintian, appstreamcli, desktop-file-validate),
# and, as root where CI is set (or QUILLFERN_DEB_INSTALL=1), installed, run and purged.
test-deb: deb
	bash tests/deb/check.sh build-deb

build-asan/build.ninja: | setup
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILLFERN_SANITIZE=address $(STRICT)

build-tsan/build.ninja: | setup
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILLFERN_SANITIZE=thread $(STRICT)

test-plain: setup build/build.ninja
	cmake -S . -B build $(STRICT) > /dev/null
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: setup build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan: setup build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L 'platform|obex|server|tcp|bluetooth|app|faults'

# The Bluetooth services end to end on the real Linux stack, in a virtual
# machine whose root is this computer's /, so it runs this very build.
test-bluetooth-vm: setup build/build.ninja
	cmake --build build -j $(JOBS) --target quillfern
	bash tests/vm/run.sh build/quillfern build-vm

test: format-check test-plain test-deb test-bluetooth-vm test-asan test-tsan bench-smoke soak-smoke fuzz-smoke
	@echo "All test runs passed (plain, Debian package, Bluetooth in a virtual machine, ASan+UBSan, TSan, benchmark smoke run, soak smoke run, fuzz smoke run)."

# The libFuzzer targets under fuzz/, built with clang into build-fuzz/. `make fuzz`
# runs each for FUZZ_SECONDS; `make fuzz-smoke` runs each briefly, so that none rots.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 12

build-fuzz/build.ninja: | setup
	cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_CXX_COMPILER=clang++ -DQUILLFERN_FUZZ=ON $(STRICT)

fuzz: setup build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS)
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-smoke: setup build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS)
	@bash scripts/fuzz.sh $(FUZZ_SMOKE_SECONDS)

build-release/build.ninja: | setup
	cmake -S . -B build-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON

bench: setup build-release/build.ninja
	cmake --build build-release -j $(JOBS) --target obex_bench
	./build-release/bench/obex_bench $(BENCH_ARGS)

# Bluetooth side by side, in the virtual machine of test-bluetooth-vm: 5 MiB
# pushed and fetched by obexftp and by obexd's client, Quillfern against BlueZ
# obexd as the server, alternated rounds (obexd's client also against Quillfern over
# RFCOMM alone), then the plain L2CAP and RFCOMM links.
# Takes long (about a minute per transfer under emulation); not part of `make test`.
bench-bluetooth: setup build-release/build.ninja
	cmake --build build-release -j $(JOBS) --target quillfern
	QF_VM_MODE=bench bash tests/vm/run.sh build-release/quillfern build-vm

# The benchmark, built as `make bench` builds it, runs once at small sizes
# with every client, so that it cannot rot unnoticed.
bench-smoke: setup build-release/build.ninja
	cmake -S . -B build-release $(STRICT) > /dev/null
	cmake --build build-release -j $(JOBS) --target obex_bench
	./build-release/bench/obex_bench --quick

# The soak: the program, built as `make bench` builds it, under twelve clients at once
# (four each on TCP, Object Push and Folder Browsing over the loopback Bluetooth stack)
# for SOAK_SECONDS, then the checks on disk, memory, descriptors, threads, slots and log.
# `make soak-smoke` is a one-minute run, part of `make test`.
SOAK_SECONDS ?= 600
SOAK_SMOKE_SECONDS ?= 60

soak: setup build-release/build.ninja
	cmake -S . -B build-release $(STRICT) > /dev/null
	cmake --build build-release -j $(JOBS) --target quillfern_soak
	./build-release/soak/quillfern_soak --seconds $(SOAK_SECONDS) $(SOAK_ARGS)

soak-smoke: setup build-release/build.ninja
	cmake -S . -B build-release $(STRICT) > /dev/null
	cmake --build build-release -j $(JOBS) --target quillfern_soak
	./build-release/soak/quillfern_soak --seconds $(SOAK_SMOKE_SECONDS)

format: setup
	clang-format -i $(SOURCES)

format-check: setup
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf build build-asan build-tsan build-release build-vm build-fuzz build-deb
