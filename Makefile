# Front end of the CMake build. `make run` and `make test` install what is missing first.
JOBS ?= $(shell nproc)
BUILD_DIR ?= build/release
# Where `make install` and `make run` put pelmora and pelmora-service: /usr/local/bin as
# root, ~/.local/bin otherwise (PREFIX=... or BIN_DIR=... choose another place).
PREFIX ?= $(if $(filter 0,$(shell id -u)),/usr/local,$(HOME)/.local)
BIN_DIR ?= $(PREFIX)/bin
# More options for the watch that `make run` starts, such as --threshold 50.
WATCH_ARGS ?=

.PHONY: all setup build run test test-release test-asan debug bench fuzz clean install

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

run: install
	"$(DESTDIR)$(BIN_DIR)/pelmora" watch --local $(WATCH_ARGS)

test: test-release test-asan

test-release: build
	ctest --preset release

test-asan: setup
	cmake --preset asan-ubsan >/dev/null
	cmake --build --preset asan-ubsan -j $(JOBS)
	ctest --preset asan-ubsan

debug: setup
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)

bench: build
	@for b in build/release/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

fuzz: setup
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

clean:
	rm -rf build

# Puts the built command (and pelmora-service, which `pelmora serve` runs) on PATH, so that
# the commands the agent prints work as shown.
install: build
	@scripts/install.sh "$(BUILD_DIR)" "$(BIN_DIR)"
