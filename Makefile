# Developer entry points. Each target installs what it needs first
# (scripts/install-deps), so a fresh Debian 12 machine needs nothing else.

BUILD      ?= build
JOBS       ?= $(shell nproc)
GENERATOR  := -G Ninja
FUZZ_TIME  ?= 600
SMOKE_TIME ?= 30
# The smoke run's whole budget, split across the targets (scripts/run-fuzzers).
SMOKE_TOTAL ?= 420

.PHONY: all deps run build-release test bench fuzz fuzz-smoke package clean

all: build-release

deps:
	@scripts/install-deps

build-release: deps
	cmake -S . -B $(BUILD)/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

run: build-release
	$(BUILD)/release/src/app/velmora

test: deps
	cmake -S . -B $(BUILD)/test $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD)/bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_BENCH=ON -DVELMORA_BUILD_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS)
	scripts/run-benchmarks $(BUILD)/bench

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_BUILD_FUZZERS=ON -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_APP=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(BUILD)/fuzz -j $(JOBS)

fuzz: fuzz-build
	scripts/run-fuzzers $(BUILD)/fuzz $(FUZZ_TIME)

fuzz-smoke: fuzz-build
	scripts/run-fuzzers $(BUILD)/fuzz $(SMOKE_TIME) $(SMOKE_TOTAL)

package: build-release
	cd $(BUILD)/release && cpack -G DEB

clean:
	rm -rf $(BUILD)
