# make demo   — set up .venv, build and install telvaran, run the tour
# make test   — the same with the test extras, then the whole test suite
# make bench  — run the benchmarks (tables, CSV and two plots under benchmarks/results);
#               BENCH_ARGS="--quick --only sum,sort" passes options to benchmarks/run.py,
#               BENCH_ARGS=--check judges the speed goals
# make clean  — remove build outputs
#
# PYTHON=/path/to/python3.13 chooses the interpreter; VENV and BUILD_DIR move
# the environment and the CMake build tree.

VENV ?= .venv
BUILD_DIR ?= build/cp313-abi3
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.map' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \)) CMakeLists.txt pyproject.toml

.PHONY: demo test bench clean install

demo: $(VENV)/.installed
	$(PY) -m telvaran

test: $(VENV)/.installed $(VENV)/.test-deps
	$(PY) -m pytest -q

bench: $(VENV)/.installed $(VENV)/.bench-deps
	$(PY) benchmarks/run.py --csv benchmarks/results/results.csv --plot benchmarks/results/results.png $(BENCH_ARGS)

install: $(VENV)/.installed

$(VENV)/.created:
	@interpreter=$$(scripts/find-python) && echo "using $$interpreter" && "$$interpreter" -m venv $(VENV)
	$(PIP) install "scikit-build-core>=0.10" "cmake>=3.26" ninja
	@touch $@

$(VENV)/.test-deps: $(VENV)/.created
	$(PIP) install pytest hypothesis numpy pyarrow abi3audit
	@touch $@

$(VENV)/.bench-deps: $(VENV)/.created
	$(PIP) install numpy matplotlib bottleneck pyarrow
	@touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PIP) install --no-build-isolation --no-deps \
		-C build-dir=$(BUILD_DIR) -C cmake.define.TELVARAN_WERROR=$(if $(CI),ON,OFF) .
	@touch $@

clean:
	rm -rf build benchmarks/results $(VENV)/.installed
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
