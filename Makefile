# The two commands of the README, and a few helpers around them.
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)
RUN_ARGS ?= --file-camera app/assets/astronaut.png

.PHONY: run test build setup package bench bench-cpu asan tsan fuzz format clean windows test-windows \
	package-windows

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

# The Debian packages velvix and velvix-landmarks, in build/$(PRESET)/package/.
package: build
	cmake --build --preset $(PRESET) --target package

# The Windows program, cross-built with mingw-w64; its libraries come from scripts/windows-libs,
# which builds them once per machine into a cache outside the clone.
windows:
	@scripts/setup windows
	cmake --preset windows -DVELVIX_WINDOWS_PREFIXES="$$(scripts/windows-libs)" >/dev/null
	cmake --build --preset windows -j $(JOBS)

# Its tests, through wine under a virtual display.
test-windows: windows
	scripts/wine-tests

# The Windows installer (NSIS, through CPack): build/windows/package/velvix-VERSION-setup.exe.
package-windows: windows
	cmake --build --preset windows --target package

bench: build
	@for program in $(BUILD_DIR)/bench/velvix-bench-*; do echo "== $$program"; $$program; done

# The whole program's processor time per frame, frames per second and worst frame time.
bench-cpu: build
	./$(BUILD_DIR)/bench/velvix-bench-cpu

asan:
	$(MAKE) test PRESET=asan

tsan:
	$(MAKE) test PRESET=tsan

# Runs each fuzz target for FUZZ_SECONDS (default 60) with clang's libFuzzer, each with a
# corpus of its own that later runs go on from; a finding stops the run and leaves its input
# in build/fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := model-loader web-message y4m-reader ring-reader ring-file mjpg-decoder
fuzz:
	@scripts/setup fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) $(addprefix --target velvix-fuzz-,$(FUZZ_TARGETS))
	@for target in $(FUZZ_TARGETS); do \
		echo "== velvix-fuzz-$$target"; \
		mkdir -p build/fuzz/corpus/$$target; \
		./build/fuzz/tests/velvix-fuzz-$$target -max_total_time=$(FUZZ_SECONDS) \
			-close_fd_mask=3 -artifact_prefix=build/fuzz/$$target- \
			build/fuzz/corpus/$$target || exit 1; \
	done

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
