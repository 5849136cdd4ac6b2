# Drives CMake and Ninja; everything is built into $(BUILD).
BUILD ?= build
CMAKE_ARGS ?=
JOBS ?= 2

.PHONY: all build test bench run demo fuzz clean

all: build

build:
	@tools/ensure-packages build
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS); fi
	cmake --build $(BUILD)

test:
	@tools/ensure-packages test
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench:
	@tools/ensure-packages bench
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) --target benchmarks
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

run: build
	$(BUILD)/zarim

demo: build
	tools/demo $(BUILD)

clean:
	rm -rf $(BUILD)
