# Front door. `make` builds everything, `make check` runs every test, `make demo` packs the example
# application into a launcher and starts it under Wine, `make install PREFIX=DIR` installs the
# packer and its launcher stubs, `make package` builds a Debian package and a .tar.gz of that layout.
# `make packer` and `make install-packer PREFIX=DIR` build and install only the packer and the runtime
# jar, without the Windows trees. `make fuzz` runs every fuzz target for FUZZ_SECONDS each (by hand; new
# inputs and crashes land under build/fuzz/runs/). scripts/install-deps installs what these need.

PREFIX ?= /usr/local
JOBS ?= 2
PRESETS := windows-x64 windows-x86 host
FUZZ_SECONDS ?= 180
FUZZ_TARGETS = $(notdir $(wildcard tests/fuzz/corpus/*))

.PHONY: all build check demo install package packer install-packer clean fuzz fuzz-build $(PRESETS)

all: build

build: $(PRESETS)

# The host tree's scenario tests pack the x64 launcher stub and lay out the runtime doubles of both
# Windows trees, so the Windows trees come first.
host: windows-x64 windows-x86
$(PRESETS):
	cmake --preset $@ >/dev/null
	cmake --build build/$@ -j $(JOBS)

# The fuzz tree (clang, sanitizers) is apart from `make build`: only the checks and `make fuzz` need it.
fuzz-build:
	cmake --preset fuzz >/dev/null
	cmake --build build/fuzz -j $(JOBS)

check: build fuzz-build
	scripts/with-display ctest --test-dir build/windows-x64 -j $(JOBS) --output-on-failure
	scripts/with-display ctest --test-dir build/host -j $(JOBS) --output-on-failure
	ctest --test-dir build/fuzz --output-on-failure

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	    echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	    tests/fuzz/run-fuzz-target build/fuzz/tests/fuzz/fuzz_$$t tests/fuzz/corpus/$$t build/fuzz/runs/$$t $(FUZZ_SECONDS) || exit 1; \
	done

demo: build
	scripts/demo

install: build
	cmake --install build/host --prefix "$(PREFIX)" --strip
	cmake --install build/windows-x64 --prefix "$(PREFIX)"
	cmake --install build/windows-x86 --prefix "$(PREFIX)"

# The host tree installs the stubs of both Windows trees, so its package holds the whole layout.
package: build
	cd build/host && cpack

# The packer alone: no MinGW, Wine or test tree needed.
packer:
	cmake -S . -B build/packer -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRO_RUN_TESTS=OFF >/dev/null
	cmake --build build/packer -j $(JOBS)

install-packer: packer
	cmake --install build/packer --prefix "$(PREFIX)" --strip

clean:
	rm -rf build
