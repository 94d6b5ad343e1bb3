# The two commands of the project: `make demo` and `make test`.
# Each first installs what is missing from Debian's packages.

BUILD   ?= build
HOST    := $(BUILD)/host
WIN32   := $(BUILD)/win32
WIN64   := $(BUILD)/win64
JOBS    ?= $(shell nproc)
export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=

# The Wine route, decided once: 32 where this machine runs 32-bit programs,
# 64 where its kernel does not (no IA32 emulation). WINE=32 or WINE=64
# forces one. On route 64 the Windows suites, scenarios, demo and benchmark
# run on the x86_64 build under Wine's 64-bit loader; the shipped i686
# program is still built and its format checked.
# The route is read after the packages are in: whether Wine's 32-bit side
# could be installed decides it as much as the kernel does.
ifneq ($(filter-out route format format-check clean,$(or $(MAKECMDGOALS),all)),)
  DEPS_DONE := $(shell WINE='$(WINE)' sh tools/setup/install-deps.sh $(filter screenshots,$(MAKECMDGOALS)) >&2 && echo ok)
  ifneq ($(DEPS_DONE),ok)
    $(error tools/setup/install-deps.sh could not install what the build needs)
  endif
endif
ROUTE_LINE := $(shell WINE='$(WINE)' sh tools/setup/wine-route.sh)
ROUTE      := $(firstword $(ROUTE_LINE))
ROUTE_WHY  := $(wordlist 2,999,$(ROUTE_LINE))
unexport WINE
ifeq ($(ROUTE),64)
  WINTREE   := $(WIN64)
  WINLOADER := /usr/lib/wine/wine64
  WINARCH   := win64
  WOW64     := OFF
  ROUTE_ALSO := build/win32 is built and its format checked, but not run
else ifeq ($(ROUTE),32)
  WINTREE   := $(WIN32)
  WINLOADER := wine
  WINARCH   := win32
  # With Wine's 64-bit loader too, the uninstall scenarios also run the
  # 32-bit program in a 64-bit prefix.
  WOW64     := $(if $(wildcard /usr/lib/wine/wine64),ON,OFF)
  ROUTE_ALSO := $(if $(filter ON,$(WOW64)),the uninstall scenarios also in a win64 prefix,no /usr/lib/wine/wine64: no runs in a win64 prefix)
else
  $(error tools/setup/wine-route.sh: $(ROUTE_LINE))
endif

.PHONY: all route deps build host win32 win64 windows prefix test demo bench fuzz fuzz-build screenshots format format-check clean mutants

all: build

route:
	@echo "Wine route $(ROUTE) ($(ROUTE_WHY)): $(WINTREE) under $(WINLOADER) in a $(WINARCH) prefix; $(ROUTE_ALSO)"

deps:
	@WINE='$(WINE)' sh tools/setup/install-deps.sh

$(HOST)/build.ninja: | deps
	cmake -S . -B $(HOST) -G Ninja -DCMAKE_BUILD_TYPE=Debug

host: deps $(HOST)/build.ninja
	cmake --build $(HOST) -j $(JOBS)

# The shipped program, on both routes. Configured on every run, so that the
# 64-bit prefix runs follow this machine's Wine.
win32: deps
	@cmake -S . -B $(WIN32) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DTESSEL_WOW64=$(WOW64) >/dev/null
	cmake --build $(WIN32) -j $(JOBS)

$(WIN64)/build.ninja: | deps
	cmake -S . -B $(WIN64) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake

win64: deps $(WIN64)/build.ninja
	cmake --build $(WIN64) -j $(JOBS)

# The Windows tree that runs on this route.
windows: win32 $(if $(filter 64,$(ROUTE)),win64)

build: host windows

# The Wine prefixes that the tree's tests run in.
prefix: windows
	python3 tests/e2e/wineprefix.py $(WINTREE)

# The Windows tree's tests run side by side, each in a copy of the prepared
# prefix: most of a scenario's time is Wine waiting (a window, a server's
# end), so more of them than cores keep the cores busy.
WINE_JOBS ?= $(shell echo $$(( $(JOBS) * 4 )))
test: route format-check build fuzz-build prefix
	cd $(HOST) && ctest --output-on-failure -j $(JOBS)
	cd $(FUZZ) && ctest --output-on-failure -R corpus
ifeq ($(ROUTE),64)
	cd $(WIN32) && ctest --output-on-failure -R '^format$$'
endif
	cd $(WINTREE) && ctest --output-on-failure -j $(WINE_JOBS)

# One-line faults in the safety and security checks, each put into a
# scratch copy of the tree to see that a test fails (tests/mutants/). Not
# part of make test: a whole run takes hours. MUTANTS=REGEX picks faults by
# unit/name.
mutants: route host
	python3 tests/mutants/mutants.py --route $(ROUTE) $(if $(MUTANTS),--only '$(MUTANTS)')

# One house style for every C++ file (.clang-format), with one pinned
# clang-format: make format rewrites, make test refuses what is not so.
CLANG_FORMAT := clang-format-14
FORMAT_FILES = $(shell find app TESSEL tools server tests bench examples -name '*.cpp' -o -name '*.h' | sort)
format: deps
	@$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check: deps
	@$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES) || \
	  { echo "Not in the house style: run make format"; exit 1; }

# The libFuzzer targets (clang): make test replays their seed corpus, make
# fuzz runs each for FUZZ_SECONDS.
FUZZ := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= fuzz_archive fuzz_script fuzz_removal fuzz_update fuzz_regbody
$(FUZZ)/build.ninja: | deps
	cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DTESSEL_FUZZ=ON -DTESSEL_TOOLS=OFF

fuzz-build: deps $(FUZZ)/build.ninja
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_archive fuzz_script fuzz_removal fuzz_update fuzz_regbody

fuzz: fuzz-build
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(abspath $(FUZZ))/corpus/$$t $(abspath $(FUZZ))/findings/$$t && \
	  TESSEL_MACHINE=$(abspath $(FUZZ))/fuzz-machine $(abspath $(FUZZ))/tests/fuzz/$$t \
	    -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(abspath $(FUZZ))/findings/$$t/ -dict=$(abspath tests/fuzz/removal.dict) \
	    $(abspath $(FUZZ))/corpus/$$t $(abspath tests/fuzz/corpus)/$$t || exit 1; \
	done

# The sample product installed, its uninstaller built by ffsbuild and signed
# with osslsigncode (a certificate made for the run), then uninstalled.
demo: route build prefix
	python3 examples/demo.py --host $(HOST) --win32 $(WINTREE) --source .

# The removal benchmark: an optimised host build without sanitizers, and the
# route's Windows build under Wine, on this machine in one run.
bench: route windows prefix
	cmake -S . -B $(BUILD)/bench-host -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_SANITIZE=OFF
	cmake --build $(BUILD)/bench-host -j $(JOBS) --target removal_bench net_bench net_update_bench ffsbuild receiver_bench regserver
	sh bench/run.sh $(BUILD)/bench-host $(WINTREE)

# PNG screenshots of the program's windows under Wine on Xvfb into
# docs/images/, for the README; xwd, xwininfo and ImageMagick are installed
# on demand.
screenshots: route host windows
	@WINE='$(WINE)' sh tools/setup/install-deps.sh screenshots
	python3 tools/screenshots.py --build $(WINTREE) --source . --out docs/images

clean:
	rm -rf $(BUILD)
