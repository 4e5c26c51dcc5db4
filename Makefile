# Every target first installs what is missing (scripts/install-deps.sh), then configures.
.PHONY: all deps configure build run test test-asan bench clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake --preset release >/dev/null

build: configure
	@cmake --build --preset release

run: build
	@./build/release/bin/faltrix

test: build
	@ctest --preset release

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	@ctest --preset asan

bench: build
	@bash bench/run-all.sh

clean:
	@rm -rf build
