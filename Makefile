# Front door over CMake. `make test` and `make demo` do all set-up on a fresh Debian machine.
BUILD      ?= build
JOBS       ?= 2
CMAKE_ARGS ?=
PREFIX     ?= /usr/local

.PHONY: all deps configure build test demo test-asan test-tsan bench fuzz install package clean \
        format format-check lint coverage

all: build

deps:
	scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

configure: $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	scripts/demo $(BUILD)

# Unit tests with AddressSanitizer and UndefinedBehaviorSanitizer, in their own build directory.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=address,undefined -DUPDATER_BENCH=OFF $(CMAKE_ARGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS) -L unit
	scripts/run-fuzz build-fuzz

# The concurrent parts of the device library under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=thread -DUPDATER_BENCH=OFF $(CMAKE_ARGS)
	cmake --build build-tsan -j $(JOBS) --target tsan_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L tsan

bench: deps
	$(MAKE) build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	scripts/run-bench $(BUILD)

# Each fuzz target until a million executions (or 15 minutes); report in build-fuzz/report.txt.
fuzz: deps
	scripts/run-fuzz --deep build-fuzz

# `make install PREFIX=/usr DESTDIR=/tmp/stage` stages instead of installing.
install: deps
	$(MAKE) build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian packages updater and updater-lab, written into $(BUILD).
package: deps
	$(MAKE) build
	cd $(BUILD) && cpack -G DEB

# Every C and C++ file of the tree in the style of .clang-format: `format` rewrites them,
# `format-check` names each file out of format and fails.
FORMAT_FILES = git ls-files -z '*.c' '*.cpp' '*.h' '*.hpp'
# Twice: a table with trailing comments settles only on the second pass.
format: deps
	$(FORMAT_FILES) | xargs -0 clang-format-14 -i
	$(FORMAT_FILES) | xargs -0 clang-format-14 -i
format-check: deps
	$(FORMAT_FILES) | xargs -0 clang-format-14 --dry-run --Werror

# clang-tidy (.clang-tidy) over the product's sources as the build compiles them.
lint: deps
	$(MAKE) configure
	scripts/lint $(BUILD)

# The tests on a build with gcov instrumentation; HTML report and per-folder summary
# in build-coverage/.
coverage: deps
	scripts/coverage build-coverage

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-coverage
