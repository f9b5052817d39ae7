# Front door of the project. `make test` and `make demo` are the commands a
# newcomer runs; each first makes sure the Debian packages it needs, and
# only those, are here.

BUILD_DIR    ?= build
ASAN_DIR     ?= build-asan
TSAN_DIR     ?= build-tsan
TSA_DIR      ?= build-tsa
BUILD_TYPE   ?= RelWithDebInfo
JOBS         ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS  ?=

FUZZ_DIR     ?= build-fuzz
FUZZ_TIME    ?= 30
FUZZ_TARGETS := overlay topology galaxy net_time room_key registry log_config

# Debian packages, by what needs them; every target installs (or names)
# only the ones it needs. GoogleTest builds the test binaries. iproute2
# and nftables make the network namespaces, links and packet loss of the
# fault tests. clang and libclang-rt-dev (libFuzzer and the sanitizer
# runtimes of the default clang) build the fuzz targets; clang alone
# checks the lock annotations (tsa). The benchmark
# links the test support and writes its results with nlohmann-json.
# libsodium seals the traffic of a room that has a key.
BUILD_PACKAGES := cmake g++ make pkg-config libenet-dev libinih-dev libsodium-dev
GTEST_PACKAGES := libgtest-dev libgmock-dev
FAULT_PACKAGES := iproute2 nftables
FUZZ_PACKAGES  := clang libclang-rt-dev
BENCH_PACKAGES := nlohmann-json3-dev
COVER_PACKAGES := gcovr

CONFIGURE = cmake -S . -B $(BUILD_DIR) --log-level=NOTICE -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

# Only what the tools print, not make's "Entering directory" lines.
MAKEFLAGS += --no-print-directory

.PHONY: all deps deps-lib deps-build deps-test deps-tsa deps-fuzz deps-bench build test demo consume bench \
        tsa asan tsan fuzz fuzz-build coverage deps-cover clean

all: build

# Each deps target installs the missing packages of its list with apt-get
# when run as root; otherwise it prints the line that would install them
# and stops. deps-lib is enough for the library, the tools and the
# examples (demo, consume); deps-build adds GoogleTest for the test
# binaries (build); deps-test the fault tests' tools (test, asan, tsan).
# deps installs every list.
deps:       PACKAGES = $(BUILD_PACKAGES) $(GTEST_PACKAGES) $(FAULT_PACKAGES) $(FUZZ_PACKAGES) $(BENCH_PACKAGES)
deps-lib:   PACKAGES = $(BUILD_PACKAGES)
deps-build: PACKAGES = $(BUILD_PACKAGES) $(GTEST_PACKAGES)
deps-test:  PACKAGES = $(BUILD_PACKAGES) $(GTEST_PACKAGES) $(FAULT_PACKAGES)
deps-tsa:   PACKAGES = $(BUILD_PACKAGES) clang
deps-fuzz:  PACKAGES = $(BUILD_PACKAGES) $(FUZZ_PACKAGES)
deps-bench: PACKAGES = $(BUILD_PACKAGES) $(GTEST_PACKAGES) $(BENCH_PACKAGES)
deps-cover: PACKAGES = $(BUILD_PACKAGES) $(GTEST_PACKAGES) $(COVER_PACKAGES)
deps deps-lib deps-build deps-test deps-tsa deps-fuzz deps-bench deps-cover:
	@missing=""; \
	for p in $(PACKAGES); do \
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

$(BUILD_DIR)/CMakeCache.txt: | deps-lib
	$(CONFIGURE)

# Everything in build/, the tests included. Configures every time, so that
# a GoogleTest installed since the last run is found.
build: deps-build
	$(CONFIGURE)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps-test build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The room demo: nine peer processes on this machine, one in each city of
# tools/data/city-rtt.csv (the latency shim holds their datagrams back by
# the distances between the cities), three seconds of traffic, then the
# report (README, "Demo"). Builds only what it runs.
demo: deps-lib $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tessel-room tessel-galaxyd tessel_netshim
	$(BUILD_DIR)/tools/tessel-room --peers 9 --latency tools/data/city-rtt.csv --duration 3 --mode 7

# The library as someone who installed it uses it (examples/consume.sh):
# installed to a temporary prefix and moved, its tools started, the
# examples built against it through find_package(tessel) and the README's
# hello through pkg-config, and run.
consume: deps-lib $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tessel tessel-galaxyd tessel-topology tessel-room
	examples/consume.sh $(BUILD_DIR)

# Performance figures next to raw ENet, measured on this machine in one run:
# prints one table and writes it as JSON under bench/results/, named after
# the date and the commit (with -dirty when the tree has changes). Not part
# of `make test`. BENCH_FLAGS=--quick makes a smoke run with few samples.
bench: deps-bench
	cmake -S . -B $(BUILD_DIR)-bench -DCMAKE_BUILD_TYPE=Release -DTESSEL_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-bench -j $(JOBS) --target bench_tessel
	@mkdir -p bench/results
	@commit=$$(git rev-parse --short HEAD 2>/dev/null || echo unknown); \
	if [ "$$commit" != unknown ] && ! git diff --quiet HEAD -- 2>/dev/null; then commit="$$commit-dirty"; fi; \
	$(BUILD_DIR)-bench/bench/bench_tessel --out bench/results --commit $$commit $(BENCH_FLAGS)

# The library alone, built with clang's thread safety analysis: a guarded
# field used without its lock, or locks taken against their declared order,
# fails the build (tessel/toolkit/kiv_thread_annotations.h).
tsa: deps-tsa
	cmake -S . -B $(TSA_DIR) --log-level=NOTICE -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTESSEL_BUILD_TESTS=OFF -DTESSEL_BUILD_TOOLS=OFF -DTESSEL_BUILD_EXAMPLES=OFF \
	  -DTESSEL_THREAD_SAFETY=ON -DTESSEL_WERROR=ON
	cmake --build $(TSA_DIR) -j $(JOBS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, halting
# on the first error.
asan: deps-test
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=address,undefined -DTESSEL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer.
tsan: deps-test
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=thread -DTESSEL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

# The libFuzzer targets (clang, ASan + UBSan), each run for FUZZ_TIME
# seconds from its seed corpus in fuzz/corpus/<target>. New inputs go to
# $(FUZZ_DIR)/corpus, findings to $(FUZZ_DIR)/artifacts; any finding fails.
fuzz-build: deps-fuzz
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTESSEL_BUILD_FUZZ=ON -DTESSEL_BUILD_TESTS=OFF -DTESSEL_BUILD_TOOLS=OFF -DTESSEL_BUILD_EXAMPLES=OFF \
	  -DTESSEL_WERROR=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target tessel_fuzzers

fuzz: fuzz-build
	@passed=0; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/artifacts/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_TIME) s"; \
	  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(FUZZ_DIR)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_TIME) -timeout=10 -max_len=4096 \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/$$t/ \
	    $(FUZZ_DIR)/corpus/$$t fuzz/corpus/$$t 2>$(FUZZ_DIR)/fuzz_$$t.log || \
	    { tail -n 60 $(FUZZ_DIR)/fuzz_$$t.log; echo "fuzz: $$passed passed, 1 failed"; exit 1; }; \
	  grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done )' $(FUZZ_DIR)/fuzz_$$t.log || true; \
	  passed=$$((passed + 1)); \
	done; echo "fuzz: $$passed passed, 0 failed"

# Line coverage of the library by the suite without the fault tests (they
# need root and take minutes): a Debug build with --coverage, the tests,
# then gcovr's summary of tessel/.
COVER_DIR ?= build-coverage
coverage: deps-cover
	cmake -S . -B $(COVER_DIR) --log-level=NOTICE -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" $(CMAKE_FLAGS)
	cmake --build $(COVER_DIR) -j $(JOBS)
	find $(COVER_DIR) -name '*.gcda' -delete
	ctest --test-dir $(COVER_DIR) -j $(JOBS) -LE faults
	gcovr -r . --filter tessel/ --gcov-ignore-parse-errors --print-summary $(COVER_DIR) | tail -n 3

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-bench $(COVER_DIR) $(TSA_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
