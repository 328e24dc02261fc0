# Thin front end over CMake. `make run` builds and opens the window on the shipped
# example data; `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test package-test test-sanitize fuzz bench clean

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

# Every test again in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# Full stacks for leak reports: Qt is built without frame pointers, so the fast unwinder
# stops at its first frame.
test-sanitize: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALDMORA_SANITIZE=ON -DVALDMORA_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS, from the seed corpora; a crash fails. The batch target
# runs the whole program on generated options and files in a scratch folder under /tmp.
FUZZ_SECONDS ?= 60
fuzz: deps
	@cmake -S . -B build-fuzz -DVALDMORA_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@for t in count_file modellib batch; do \
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

clean:
	@rm -rf $(BUILD)
