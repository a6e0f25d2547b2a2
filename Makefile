# Single entry point: `make test` and `make demo` work on a fresh machine.
PYTHON ?= python3
JOBS ?= $(shell nproc)
APT_PKGS = g++ libtbb-dev libmpfr-dev libgmp-dev libpng-dev zlib1g-dev libfreetype-dev libgtest-dev
PY_PKGS = pytest scikit-build-core cmake ninja
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps build cpp-test asan-test install py-test test demo bench clean

all: build

deps:
	@missing=""; for p in $(APT_PKGS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y $$missing; \
	fi
	@$(PYTHON) -c "import pytest, scikit_build_core" 2>/dev/null || $(PYTHON) -m pip install $(PY_PKGS)
	@command -v cmake >/dev/null 2>&1 || $(PYTHON) -m pip install cmake ninja

build: deps
	cmake -S . -B build/cpp $(GEN) -DCMAKE_BUILD_TYPE=Release -DTARVELO_BUILD_TESTS=ON -DTARVELO_BUILD_MODULE=OFF -DTARVELO_BUILD_BENCH=ON
	cmake --build build/cpp -j $(JOBS)

cpp-test: build
	ctest --test-dir build/cpp -j $(JOBS) --output-on-failure

asan-test: deps
	cmake -S . -B build/asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTARVELO_SANITIZE=ON -DTARVELO_BUILD_TESTS=ON -DTARVELO_BUILD_MODULE=OFF
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=0 TARVELO_SANITIZER_BUILD=1 ctest --test-dir build/asan -j $(JOBS) --output-on-failure

install: deps
	mkdir -p build; $(PYTHON) -m pip install --no-build-isolation -v . > build/pip-install.log 2>&1 || (mkdir -p build; tail -50 build/pip-install.log; exit 1)

py-test: install
	$(PYTHON) -m pytest -q tests/python; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]

test: cpp-test asan-test py-test

demo: install
	$(PYTHON) examples/demo.py

bench: build
	@for b in build/cpp/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf build
