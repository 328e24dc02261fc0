# SPDX-License-Identifier: GPL-3.0-or-later
# Thin front end over CMake. `make run` builds and opens the window on the shipped
# example data; `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test package-test test-sanitize fuzz bench clean windows windows-sdk windows-test windows32 windows-package

all: build

deps:
	@sh scripts/setup-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The window starts in a working directory outside the source tree, holding a copy of the
# example data as counts.txt; the output files land there.
RUN_DIR ?= $(HOME)/valdmora-work

run: build
	@mkdir -p "$(RUN_DIR)"
	@[ -f "$(RUN_DIR)/counts.txt" ] || cp examples/counts.txt "$(RUN_DIR)/counts.txt"
	@echo "valdmora: working directory $(RUN_DIR) (data file counts.txt; outputs are written here)"
	@cd "$(RUN_DIR)" && "$(CURDIR)/$(BUILD)/bin/valdmora"

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Debian package made from $(BUILD) (into $(BUILD)/packages), installed with apt-get,
# its files and programs checked, the installed window opened under Xvfb (screenshot in
# $(BUILD)/artifacts), and the package removed. Needs root: otherwise skipped.
package-test: build
	@bash tests/package/package_test.sh $(BUILD); rc=$$?; \
	  if [ $$rc -eq 77 ]; then echo "package-test: skipped"; else exit $$rc; fi

# The engine, the form, the batch (with its report) and their tests again, built with
# AddressSanitizer and UndefinedBehaviorSanitizer, at -O1 with line tables only. The window's
# own tests run in the plain build, under Xvfb and under Wine: Qt's widget code built with the
# sanitizers would take CI past its half hour. Full stacks for leak reports: Qt is built
# without frame pointers, so the fast unwinder stops at its first frame.
SANITIZE_TARGETS = valdmora valdmora_batch modellib_tests modellib_memory_tests cycle_tests charts_tests estimation_tests form_tests \
  batch_tests comma_locale_tests spatial_tests
SANITIZE_FLAGS = -O1 -g1 -DNDEBUG
test-sanitize: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALDMORA_SANITIZE=ON -DVALDMORA_BUILD_BENCH=OFF \
	  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$(SANITIZE_FLAGS)" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(SANITIZE_FLAGS)" >/dev/null
	@cmake --build build-asan -j $(JOBS) --target $(SANITIZE_TARGETS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -E '^(window_tests|desktop_tests.*|window_e2e|install_tree)$$'

# Each fuzz target for FUZZ_SECONDS, from the seed corpora; a crash fails. The batch target
# runs the whole program on generated options and files in a scratch folder under /tmp.
FUZZ_SECONDS ?= 60
fuzz: deps
	@cmake -S . -B build-fuzz -DVALDMORA_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@for t in count_file modellib batch boundaries; do \
	  mkdir -p build-fuzz/corpus-$$t && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	  build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/build-fuzz/crash-$$t- build-fuzz/corpus-$$t fuzz/corpus/$$t 2>build-fuzz/fuzz-$$t.log \
	    || { tail -40 build-fuzz/fuzz-$$t.log; exit 1; }; \
	  grep -E "^(stat::number_of_executed_units|#[0-9]+ +DONE)" build-fuzz/fuzz-$$t.log; \
	done

bench: build
	@$(BUILD)/bench/modellib_bench
	@$(BUILD)/bench/click_bench

# Windows, cross-built with Debian's mingw-w64 against the Qt and NLopt SDK (unpacked once
# into the build tree), and run under Wine. The SDK comes from ../shared/toolchains or from
# scripts/build-mingw-sdk.sh, which makes it from Debian's source packages.
WIN_BUILD ?= build-windows
WIN_SDK_ARCHIVE ?= $(firstword $(wildcard ../shared/toolchains/qt6-mingw-sdk.tar.xz scripts/qt6-mingw-sdk.tar.xz))
WIN_SDK = $(WIN_BUILD)/sdk/qt6-mingw
WIN_JOBS ?= 2
export WINEPREFIX ?= $(CURDIR)/$(WIN_BUILD)/wine
# the DLLs the tests outside bin/ load, from this build's bin/ (scripts/wine-run.sh)
export VALDMORA_WINDOWS_BIN ?= $(CURDIR)/$(WIN_BUILD)/bin

windows-sdk:
	@if [ ! -f $(WIN_SDK)/.unpacked ]; then \
	  if [ -z "$(WIN_SDK_ARCHIVE)" ]; then \
	    echo "The Windows SDK (Qt and NLopt for mingw-w64) is missing. Make it from Debian's sources with" >&2; \
	    echo "  bash scripts/build-mingw-sdk.sh     (about an hour; writes scripts/qt6-mingw-sdk.tar.xz)" >&2; \
	    echo "and run make windows again." >&2; exit 1; \
	  fi; \
	  rm -rf $(WIN_BUILD)/sdk && mkdir -p $(WIN_BUILD)/sdk && tar -C $(WIN_BUILD)/sdk -xJf $(WIN_SDK_ARCHIVE) && \
	  touch $(WIN_SDK)/.unpacked; \
	fi

# valdmora.exe, valdmora-batch.exe, valdmora.dll and the report plugin, and the folder they run from:
# $(WIN_BUILD)/dist
windows: deps windows-sdk
	@cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVALDMORA_BUILD_BENCH=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/$(WIN_SDK)/lib/cmake/Qt6/qt.toolchain.cmake \
	  -DCMAKE_CROSSCOMPILING_EMULATOR=$(CURDIR)/scripts/wine-run.sh >/dev/null
	@cmake --build $(WIN_BUILD) -j $(WIN_JOBS) --target valdmora_exe valdmora_batch valdmora valdmora_report_plugin \
	  windows_runtime
	@rm -rf $(WIN_BUILD)/dist && cmake --install $(WIN_BUILD) --prefix $(WIN_BUILD)/dist >/dev/null
	@echo "windows: $(WIN_BUILD)/dist holds valdmora.exe, valdmora-batch.exe, valdmora.dll and valdmora_report.dll"

# The engine, cycle, model-library and batch tests under Wine; the batch's outputs and the
# 32-bit library's answers compared with the Linux build's; the window end to end.
# The 32-bit model library alone (static NLopt from the SDK's i686 folder) and its C caller.
WIN32_BUILD ?= build-windows32
# the 32-bit Wine prefix of tests/windows/stdcall32.sh, in that build
export WINEPREFIX32 ?= $(CURDIR)/$(WIN32_BUILD)/wine
windows32: deps windows-sdk
	@cmake -S . -B $(WIN32_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVALDMORA_MODELLIB_ONLY=ON \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/$(WIN_SDK)/i686-w64-mingw32/toolchain-i686.cmake \
	  -DNLopt_DIR=$(CURDIR)/$(WIN_SDK)/i686-w64-mingw32/lib/cmake/nlopt >/dev/null
	@cmake --build $(WIN32_BUILD) -j $(WIN_JOBS)
	@echo "windows32: $(WIN32_BUILD)/bin/valdmora.dll"

windows-test: windows windows32 build
	@cmake --build $(WIN_BUILD) -j $(WIN_JOBS)
	@# on a virtual display for the window's tests; Wine's own services start once, outside
	@# CTest, whose output pipes they would hold open
	@xvfb-run -a -s "-screen 0 1280x800x24" sh -c 'wineserver -p; sh scripts/wine-run.sh cmd /c exit >/dev/null 2>&1 </dev/null; \
	  cd $(WIN_BUILD) && ctest --output-on-failure; rc=$$?; wineserver -k; exit $$rc'
	@bash tests/windows/dist_licences.sh $(WIN_BUILD)/dist LICENSE
	@bash tests/windows/same_outputs.sh $(BUILD)/bin/valdmora-batch $(WIN_BUILD)/dist/valdmora-batch.exe examples/counts.txt
	@bash tests/windows/exports.sh $(WIN_BUILD)/bin/valdmora.dll $(WIN32_BUILD)/bin/valdmora.dll
	@bash tests/windows/stdcall32.sh $(BUILD)/bin $(WIN32_BUILD)/bin examples/counts.txt
	@bash tests/windows/window_e2e.sh $(WIN_BUILD)/dist/valdmora.exe $(BUILD)/bin/valdmora-batch examples/counts.txt \
	  $(WIN_BUILD)/artifacts; rc=$$?; [ $$rc -eq 77 ] || exit $$rc

# The installer (Start-menu entry, uninstaller, licence page: valdmora's GPL and the index of
# the licences in the licences folder) and the portable zip, into
# $(WIN_BUILD)/packages.
VERSION := $(shell grep -m1 -o 'valdmora VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
windows-package: windows
	@rm -rf $(WIN_BUILD)/packages && mkdir -p $(WIN_BUILD)/packages/valdmora-$(VERSION)
	@{ cat $(WIN_BUILD)/dist/licences/README.txt; echo; echo "==== LICENSE.valdmora.txt"; echo; \
	   cat $(WIN_BUILD)/dist/licences/LICENSE.valdmora.txt; } > $(WIN_BUILD)/packages/licences.txt
	@makensis -V2 -DVERSION=$(VERSION) -DDIST=$(CURDIR)/$(WIN_BUILD)/dist -DLICENCE=$(CURDIR)/$(WIN_BUILD)/packages/licences.txt \
	  -DOUTFILE=$(CURDIR)/$(WIN_BUILD)/packages/valdmora-$(VERSION)-setup.exe packaging/windows/valdmora.nsi
	@cp -r $(WIN_BUILD)/dist/. $(WIN_BUILD)/packages/valdmora-$(VERSION)/
	@cd $(WIN_BUILD)/packages && rm -f valdmora-$(VERSION)-windows-portable.zip && \
	  zip -qr -X valdmora-$(VERSION)-windows-portable.zip valdmora-$(VERSION) && rm -rf valdmora-$(VERSION)
	@ls -l $(WIN_BUILD)/packages/*.exe $(WIN_BUILD)/packages/*.zip
	@bash tests/windows/installer_test.sh $(WIN_BUILD)/packages/valdmora-$(VERSION)-setup.exe examples/counts.txt; \
	  rc=$$?; [ $$rc -eq 77 ] || exit $$rc

clean:
	@rm -rf $(BUILD)
