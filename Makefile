# Wraps CMake. `make run` flashes sample images into the virtual ESP32; `make test` runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
WIN_BUILD  ?= build-win
WIN_CMAKE_ARGS ?=
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_JOBS  ?= $(JOBS)
FUZZ_CMAKE_ARGS ?=

# Debian packages the build, the tests and the demo need (the flasher stub's cross compiler and
# the emulator its tests run on among them).
DEPS := cmake g++ ninja-build pkg-config make \
        gcc-xtensa-lx106 binutils-xtensa-lx106 qemu-system-misc \
        libgtest-dev libgmock-dev googletest \
        qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev \
        libudev-dev libmd-dev zlib1g-dev \
        fonts-crosextra-carlito xvfb xauth \
        binutils-xtensa-lx106 gcc-xtensa-lx106

.PHONY: all deps configure build test test-asan run gui bench clean windows-deps windows windows-test \
        fuzz-deps fuzz-build fuzz package-deps install package package-test windows-zip

all: build

deps:
	@missing=$$(for p in $(DEPS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Missing packages. Run as root:"; \
	    echo "  apt-get update && apt-get install -y" $$missing; exit 1; \
	  fi; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLINTMOOR_WERROR=ON $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Writes three sample images into the virtual ESP32 through flintmoor-cli and checks its flash.
run: build
	sh cli/run-demo.sh $(BUILD)

# The core's tests under AddressSanitizer and UndefinedBehaviorSanitizer (no GUI).
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFLINTMOOR_GUI=OFF \
	  -DFLINTMOOR_SANITIZE=ON -DFLINTMOOR_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The window program on the virtual ESP32 (port "SIM", paced in real time), with the log window.
gui: configure
	cmake --build $(BUILD) -j $(JOBS) --target flintmoor
	$(BUILD)/app/flintmoor --simulate -d

# Virtual-time throughput of the update job on the virtual ESP32 (on demand, not a test).
BENCH_IMAGE ?= $(abspath ../shared/bench/app-1m.bin)
BENCH_REALTIME_SECONDS ?= 30
bench: configure
	cmake --build $(BUILD) -j $(JOBS) --target flash_bench flintmoor-cli
	$(BUILD)/bench/flash_bench $(BENCH_IMAGE) 921600
	$(BUILD)/bench/flash_bench $(BENCH_IMAGE) 2000000
	sh bench/boards.sh $(BUILD) $(BENCH_IMAGE) $(BENCH_REALTIME_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Debian packages of the Windows cross build and of running its tests under Wine.
WIN_DEPS := cmake ninja-build make googletest g++-mingw-w64-x86-64-posix libz-mingw-w64-dev \
            gcc-xtensa-lx106 binutils-xtensa-lx106 \
            wine wine64 xvfb fonts-crosextra-carlito

windows-deps:
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_DEPS)"

# Cross-builds for 64-bit Windows with MinGW-w64 into $(WIN_BUILD): the core, the Win32 backends,
# flintmoor.exe (the Win32 window of winapp/) and flintmoor-cli.exe (static, with their version
# resources) and the test programs. The Qt window is Linux's: Debian has no MinGW build of Qt (the
# README describes a native Windows build of it). -O2, not the -O3 of Release:
# GCC 12 reports false -Wrestrict errors in inlined std::string code at -O3.
windows: windows-deps
	cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
	  -DFLINTMOOR_GUI=OFF -DFLINTMOOR_WERROR=ON -DFLINTMOOR_HOST_BUILD=$(abspath $(BUILD)) \
	  $(WIN_CMAKE_ARGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

# Runs the Windows build under Wine: the core's tests, the Win32 tests (the serial backend on a
# pseudo-terminal mapped as COM5, the registry port list, the notification window, the version
# resource), the same jobs through flintmoor-cli.exe and the host's flintmoor-cli, compared, and
# the window driven from outside on an Xvfb display of its own (its settings file compared with
# the host's Qt window's).
# A failed case runs once more: rarely (a few in ten thousand runs) a program under Wine ends
# at start-up without a word; the Linux run of the same tests has no second chance.
windows-test: windows configure
	cmake --build $(BUILD) -j $(JOBS) --target flintmoor-cli flintmoor-samples flintmoor
	cd $(WIN_BUILD) && ctest --output-on-failure -j $(JOBS) --repeat until-pass:2

# Debian packages of the fuzz targets: clang, its libFuzzer runtime, llvm-symbolizer for the traces.
FUZZ_DEPS := cmake ninja-build make pkg-config clang libclang-rt-14-dev llvm libmd-dev zlib1g-dev

fuzz-deps:
	@$(MAKE) --no-print-directory deps DEPS="$(FUZZ_DEPS)"

# The fuzz targets (tests/fuzz/, a CMake project of its own) with clang's libFuzzer, ASan and UBSan.
fuzz-build: fuzz-deps
	cmake -S tests/fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  $(FUZZ_CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Replays each target's kept crash inputs, then fuzzes each for FUZZ_SECONDS, FUZZ_JOBS at a time,
# and prints their execution counts; fails on a crash, a leak or a hang.
fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_JOBS)

# Debian packages of the Debian package and its test.
PKG_DEPS := dpkg-dev desktop-file-utils
PREFIX   ?= /usr/local
VERSION  := $(shell grep -m1 -o 'Flintmoor VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)

package-deps:
	@$(MAKE) --no-print-directory deps DEPS="$(PKG_DEPS)"

# Installs the programs, desktop entry, icons, manual pages and documents under $(PREFIX)
# (DESTDIR for a staging root).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package of $(BUILD): $(BUILD)/flintmoor_$(VERSION)_amd64.deb.
package: package-deps build
	cmake --build $(BUILD) -j $(JOBS) --target package

# Builds the package, unpacks it into a scratch root and runs the programs from there.
package-test: package-deps build
	sh tests/package/package-test.sh $(BUILD)

# flintmoor.exe, the window, and flintmoor-cli.exe (both stripped) with the README:
# $(WIN_BUILD)/flintmoor-cli-$(VERSION)-win64.zip
windows-zip: windows
	rm -rf $(WIN_BUILD)/zip && mkdir -p $(WIN_BUILD)/zip/flintmoor-cli-$(VERSION)
	cp $(WIN_BUILD)/winapp/flintmoor.exe $(WIN_BUILD)/cli/flintmoor-cli.exe README.md \
	  $(WIN_BUILD)/zip/flintmoor-cli-$(VERSION)/
	x86_64-w64-mingw32-strip $(WIN_BUILD)/zip/flintmoor-cli-$(VERSION)/flintmoor.exe \
	  $(WIN_BUILD)/zip/flintmoor-cli-$(VERSION)/flintmoor-cli.exe
	cd $(WIN_BUILD)/zip && cmake -E tar cf ../flintmoor-cli-$(VERSION)-win64.zip --format=zip flintmoor-cli-$(VERSION)
