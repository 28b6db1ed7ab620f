# The two commands of the README, and a few helpers around them.
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)
RUN_ARGS ?= --file-camera app/assets/astronaut.png

.PHONY: run test build setup package bench asan tsan fuzz format clean

# With a display the window; without one a short headless demonstration that leaves pictures.
run: build
	@if [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
		./$(BUILD_DIR)/app/velvix $(RUN_ARGS); \
	else \
		scripts/headless-demo $(BUILD_DIR); \
	fi

test: build
	ctest --preset $(PRESET) -j $(JOBS)

build: setup
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) -j $(JOBS)

setup:
	@scripts/setup

# The Debian package, in build/$(PRESET)/package/.
package: build
	cmake --build --preset $(PRESET) --target package

bench: build
	@for program in $(BUILD_DIR)/bench/velvix-bench-*; do echo "== $$program"; $$program; done

asan:
	$(MAKE) test PRESET=asan

tsan:
	$(MAKE) test PRESET=tsan

# Runs each fuzz target for FUZZ_SECONDS (default 60) with clang's libFuzzer.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/setup fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target velvix-fuzz-model-loader
	mkdir -p build/fuzz/corpus
	./build/fuzz/tests/velvix-fuzz-model-loader -max_total_time=$(FUZZ_SECONDS) build/fuzz/corpus

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
