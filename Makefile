# Drives CMake and Ninja; everything is built into $(BUILD).
BUILD ?= build
CMAKE_ARGS ?=
# As many build steps and tests at once as the machine has cores.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
LINT_BUILD ?= build-lint
PREFIX ?= /usr/local
DESTDIR ?=
INSTALL_RECORD ?= $(BUILD)/installed_files.txt

.PHONY: all build test bench run demo fuzz lint install uninstall package clean

all: build

# The five programs and their manual pages; not the tests or benchmarks.
build:
	@tools/ensure-packages build
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS); fi
	cmake --build $(BUILD) -j$(JOBS)

# The programs, then every test program, then every test.
test:
	@tools/ensure-packages test
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target all tests
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench:
	@tools/ensure-packages bench
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target benchmarks
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

# Each fuzz target (or those named in FUZZ_TARGETS) for FUZZ_SECONDS, after
# its kept regression inputs.
fuzz:
	@tools/ensure-packages fuzz
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARIM_FUZZ=ON -DZARIM_TESTS=OFF -DZARIM_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers
	tools/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# clang-tidy and cppcheck over the sources; fails on any finding.
lint:
	@tools/ensure-packages lint
	tools/static-checks $(LINT_BUILD)

# The programs (stripped), their manual pages and the README under
# $(PREFIX), staged under $(DESTDIR) when given. Builds only what is
# installed.
install:
	@tools/ensure-packages build
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS); fi
	cmake --build $(BUILD) -j$(JOBS) --target installables
	@folder="$(DESTDIR)$(PREFIX)"; \
	  { while [ "$$folder" != / ] && [ "$$folder" != . ]; do \
	      if [ -d "$$folder" ]; then echo "$$folder"; fi; folder=$$(dirname "$$folder"); done; \
	    find "$(DESTDIR)$(PREFIX)" -maxdepth 4 -type d 2>/dev/null || true; } > $(BUILD)/folders_before_install.txt
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --component zarim
	@cmake -DMANIFEST=$(BUILD)/install_manifest_zarim.txt -DFOLDERS_BEFORE=$(BUILD)/folders_before_install.txt \
	  "-DDESTDIR=$(DESTDIR)" "-DRECORD=$(INSTALL_RECORD)" -P cmake/RecordInstall.cmake
	@rm -f $(BUILD)/folders_before_install.txt
	@echo "Recorded in $(INSTALL_RECORD) for make uninstall"

# Removes what the last make install from $(BUILD) put down.
uninstall:
	cmake "-DMANIFEST=$(INSTALL_RECORD)" -P cmake/Uninstall.cmake

# The Debian package, built from the programs already in $(BUILD).
package:
	@tools/ensure-packages package
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS); fi
	cmake --build $(BUILD) -j$(JOBS) --target installables
	cd $(BUILD) && cpack
	@ls $(BUILD)/zarim_*.deb

run: build
	$(BUILD)/zarim

demo: build
	tools/demo $(BUILD)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(LINT_BUILD)
