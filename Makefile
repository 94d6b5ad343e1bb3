# The two commands of the project: `make demo` and `make test`.
# Each first installs what is missing from Debian's packages.

BUILD   ?= build
HOST    := $(BUILD)/host
WIN32   := $(BUILD)/win32
JOBS    ?= $(shell nproc)
export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=

.PHONY: all deps build host win32 test demo bench fuzz fuzz-build clean

all: build

deps:
	@sh tools/setup/install-deps.sh

$(HOST)/build.ninja: | deps
	cmake -S . -B $(HOST) -G Ninja -DCMAKE_BUILD_TYPE=Debug

$(WIN32)/build.ninja: | deps
	cmake -S . -B $(WIN32) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake

host: deps $(HOST)/build.ninja
	cmake --build $(HOST) -j $(JOBS)

win32: deps $(WIN32)/build.ninja
	cmake --build $(WIN32) -j $(JOBS)

build: host win32

# The Wine prefix that the win32 tests run in.
$(WIN32)/wineprefix/system.reg: | deps
	WINEARCH=win32 WINEPREFIX=$(abspath $(WIN32))/wineprefix wineboot -i >/dev/null 2>&1 || true
	WINEPREFIX=$(abspath $(WIN32))/wineprefix wineserver -w

test: build fuzz-build $(WIN32)/wineprefix/system.reg
	cd $(HOST) && ctest --output-on-failure -j $(JOBS)
	cd $(FUZZ) && ctest --output-on-failure -R corpus
	cd $(WIN32) && ctest --output-on-failure

# The libFuzzer targets (clang): make test replays their seed corpus, make
# fuzz runs each for FUZZ_SECONDS.
FUZZ := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
$(FUZZ)/build.ninja: | deps
	cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DTESSEL_FUZZ=ON -DTESSEL_TOOLS=OFF

fuzz-build: deps $(FUZZ)/build.ninja
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_archive fuzz_script

fuzz: fuzz-build
	for t in fuzz_archive fuzz_script; do \
	  mkdir -p $(FUZZ)/corpus/$$t && \
	  TESSEL_MACHINE=$(abspath $(FUZZ))/fuzz-machine $(FUZZ)/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) \
	    $(FUZZ)/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

demo: build $(WIN32)/wineprefix/system.reg
	python3 examples/demo.py --host $(HOST) --win32 $(WIN32) --source .

# The removal benchmark: an optimised host build without sanitizers, and the
# win32 build under Wine, on this machine in one run.
bench: win32 $(WIN32)/wineprefix/system.reg
	cmake -S . -B $(BUILD)/bench-host -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_SANITIZE=OFF
	cmake --build $(BUILD)/bench-host -j $(JOBS) --target removal_bench
	sh bench/run.sh $(BUILD)/bench-host $(WIN32)

clean:
	rm -rf $(BUILD)
