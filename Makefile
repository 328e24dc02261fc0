# Thin front end over CMake. `make run` builds and opens the window on the shipped
# example data; `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test bench clean

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

bench: build
	@$(BUILD)/bench/modellib_bench

clean:
	@rm -rf $(BUILD)
