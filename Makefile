# Front door: `make test` and `make run` set everything up themselves.
#   .venv          Python 3.13, pinned build and test dependencies, pandas 3.x
#   .venv-pandas2  the same package and tests against pandas 2.2
# The package is built once into dist/ (incrementally, in build/) and
# installed into both environments.

SHELL := /bin/bash
.DEFAULT_GOAL := test

PYTHON313 := $(shell \
  if [ -f .python-version ] && command -v pyenv >/dev/null 2>&1 && pyenv which python >/dev/null 2>&1 \
     && [ "$$(pyenv exec python -c 'import sys; print(sys.version_info[:2] == (3, 13))' 2>/dev/null)" = True ]; then \
    pyenv which python; \
  elif command -v python3.13 >/dev/null 2>&1; then command -v python3.13; fi)

VENV := .venv
VENV2 := .venv-pandas2
PY := $(VENV)/bin/python
PY2 := $(VENV2)/bin/python
PIP_QUIET := --quiet --disable-pip-version-check
WHEEL_STAMP := dist/.built
SOURCES := $(shell find src python cmake examples/data -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: test sanitize run bench build stubs clean python-check

python-check:
	@if [ -z "$(PYTHON313)" ]; then \
	  echo "error: Python 3.13 not found. Install it (for example 'pyenv install 3.13'," >&2; \
	  echo "or your system's python3.13 with its venv and dev packages) and retry." >&2; \
	  exit 1; fi

$(VENV)/.ready: requirements/constraints.txt requirements/build.txt requirements/test.txt | python-check
	[ -x $(PY) ] || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) -r requirements/build.txt -r requirements/test.txt \
	  -c requirements/constraints.txt
	touch $@

$(VENV2)/.ready: requirements/constraints-pandas2.txt requirements/test.txt | python-check
	[ -x $(PY2) ] || $(PYTHON313) -m venv $(VENV2)
	$(PY2) -m pip install $(PIP_QUIET) -r requirements/test.txt -c requirements/constraints-pandas2.txt
	touch $@

$(WHEEL_STAMP): $(VENV)/.ready $(SOURCES)
	rm -f dist/py_narvo_pop-*.whl
	$(PY) -m pip wheel $(PIP_QUIET) --no-build-isolation --no-deps -w dist .
	$(PY) -m pip install $(PIP_QUIET) --no-deps --force-reinstall dist/py_narvo_pop-*.whl
	touch $@

$(VENV2)/.installed: $(WHEEL_STAMP) $(VENV2)/.ready
	$(PY2) -m pip install $(PIP_QUIET) --no-deps --force-reinstall dist/py_narvo_pop-*.whl
	touch $@

build: $(WHEEL_STAMP)

test: $(WHEEL_STAMP) $(VENV2)/.installed
	@echo "== tests, pandas $$($(PY) -c 'import pandas; print(pandas.__version__)')"
	$(PY) -m pytest
	@echo "== tests, pandas $$($(PY2) -c 'import pandas; print(pandas.__version__)')"
	$(PY2) -m pytest -p no:cacheprovider

# The whole test suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (own build directory, build/sanitize); fails on
# any sanitizer report.
sanitize: $(VENV)/.ready
	tools/sanitize build/sanitize

$(VENV)/.plot: $(VENV)/.ready requirements/plot.txt
	$(PY) -m pip install $(PIP_QUIET) -r requirements/plot.txt -c requirements/constraints.txt
	touch $@

# The example farm: weekly summary on stdout, the plot in results.png.
run: $(WHEEL_STAMP) $(VENV)/.plot
	$(PY) -m py_narvo_pop simulate --out results.csv --plot results.png

bench: $(WHEEL_STAMP)
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# Regenerate the .pyi stubs from the built modules (a test checks they match).
stubs: $(WHEEL_STAMP)
	$(PY) tools/gen_stubs.py

clean:
	rm -rf build dist
