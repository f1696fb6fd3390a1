# Wraps CMake. `make run` flashes sample images into the virtual ESP32; `make test` runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

# Debian packages the build, the tests and the demo need.
DEPS := cmake g++ ninja-build pkg-config make \
        libgtest-dev libgmock-dev googletest \
        qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev \
        libudev-dev libmd-dev \
        fonts-crosextra-carlito xvfb xauth

.PHONY: all deps configure build test test-asan run gui clean

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

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
