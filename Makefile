# Front door of the project. `make test` and `make demo` are the commands a
# newcomer runs; each first makes sure the Debian packages it needs are here.

BUILD_DIR    ?= build
ASAN_DIR     ?= build-asan
TSAN_DIR     ?= build-tsan
BUILD_TYPE   ?= RelWithDebInfo
JOBS         ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS  ?=

DEB_PACKAGES := cmake g++ make pkg-config libenet-dev libinih-dev libgtest-dev libgmock-dev

.PHONY: all deps build test demo bench asan tsan clean

all: build

# Installs missing packages with apt-get when run as root; otherwise prints
# the line that would install them and stops.
deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = "0" ]; then \
	    echo "Installing:$$missing"; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing >/dev/null || \
	      { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing >/dev/null; } || exit 1; \
	  else \
	    echo "Missing packages. Install them with:"; \
	    echo "  sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The room demo: eight peer processes on this machine, five seconds of
# traffic, then the report (README, "Demo"). Builds only what it runs.
demo: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tessel-room tessel-galaxyd
	$(BUILD_DIR)/tools/tessel-room --peers 8 --duration 5

# Performance figures, measured on this machine in one run.
bench: deps
	cmake -S . -B $(BUILD_DIR)-bench -DCMAKE_BUILD_TYPE=Release -DTESSEL_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-bench -j $(JOBS) --target bench_send_latency
	$(BUILD_DIR)-bench/bench/bench_send_latency

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, halting
# on the first error.
asan: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=address,undefined -DTESSEL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=thread -DTESSEL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-bench $(ASAN_DIR) $(TSAN_DIR)
