# `make test` and `make demo` work on a fresh Debian machine. Missing system
# packages come from apt; the Python tools, pinned in tools/requirements.txt,
# go into a virtual environment under build/ made with $(PYTHON). Nothing is
# installed into $(PYTHON) itself.
PYTHON ?= python3
JOBS ?= $(shell nproc)
# Compiler warnings fail every build made here (TARVELO_WERROR).
WERROR ?= ON

VENV := build/venv
VPY := $(VENV)/bin/python
REQUIREMENTS := tools/requirements.txt
# cmake, ctest and ninja come from the virtual environment.
TOOLS := PATH="$(CURDIR)/$(VENV)/bin:$$PATH"
APT_PKGS := g++ libtbb-dev libmpfr-dev libgmp-dev libpng-dev zlib1g-dev libfreetype-dev \
	libgtest-dev python3-dev python3-venv python3-pip
CMAKE_FLAGS := -G Ninja -DTARVELO_BUILD_TESTS=ON -DTARVELO_BUILD_MODULE=OFF -DTARVELO_WERROR=$(WERROR)

.PHONY: all apt venv layout-check build cpp-test asan-test module py-test test demo bench clean

all: build

apt:
	@if ! command -v dpkg-query >/dev/null 2>&1; then \
	  echo "no dpkg: make sure these (Debian names) are installed: $(APT_PKGS)"; exit 0; fi; \
	missing=""; for p in $(APT_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "apt-get install:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get -o DPkg::Lock::Timeout=600 update && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y $$missing; \
	fi

# The environment is made again when the interpreter or the requirements change.
venv: apt
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info < (3, 11))' || \
	  { echo "$(PYTHON) is older than Python 3.11, which tarvelopy needs"; exit 1; }
	@want="$$($(PYTHON) -c 'import sys; print(sys.executable, sys.version.split()[0])') $$(cksum < $(REQUIREMENTS))"; \
	if [ "$$(cat $(VENV)/tarvelo-stamp 2>/dev/null)" != "$$want" ]; then \
	  echo "creating $(VENV) from $(PYTHON) with $(REQUIREMENTS) (log: build/venv.log)"; \
	  rm -rf $(VENV); mkdir -p build; \
	  if ! { $(PYTHON) -m venv $(VENV) && $(VPY) -m pip install --no-input -r $(REQUIREMENTS); } \
	      > build/venv.log 2>&1; then tail -30 build/venv.log; exit 1; fi; \
	  echo "$$want" > $(VENV)/tarvelo-stamp; \
	fi

build: venv
	$(TOOLS) cmake -S . -B build/cpp $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DTARVELO_BUILD_BENCH=OFF
	$(TOOLS) cmake --build build/cpp -j $(JOBS)

cpp-test: build
	$(TOOLS) ctest --test-dir build/cpp -j $(JOBS) --output-on-failure

asan-test: venv
	$(TOOLS) cmake -S . -B build/asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTARVELO_SANITIZE=ON -DTARVELO_BUILD_BENCH=OFF
	$(TOOLS) cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=0 TARVELO_SANITIZER_BUILD=1 $(TOOLS) ctest --test-dir build/asan -j $(JOBS) --output-on-failure

# The module, built and installed into the virtual environment only.
module: venv
	@echo "building tarvelopy into $(VENV) (log: build/module.log)"
	@$(TOOLS) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install --no-build-isolation --no-deps \
	  --config-settings=build-dir=$(VENV)/module-build \
	  --config-settings=cmake.define.TARVELO_WERROR=$(WERROR) -v . > build/module.log 2>&1 || \
	  { tail -50 build/module.log; exit 1; }

py-test: module
	$(VPY) -m pytest -q tests/python

# Includes point from base up to the module only, and never in a cycle.
layout-check:
	$(PYTHON) tools/check_layout.py

test: layout-check cpp-test asan-test py-test

demo: module
	$(VPY) examples/demo.py

bench: venv
	$(TOOLS) cmake -S . -B build/cpp $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DTARVELO_BUILD_BENCH=ON
	$(TOOLS) cmake --build build/cpp -j $(JOBS)
	@for b in build/cpp/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf build
