# Entry points only; the work is done by the scripts in tools/, which cache
# the free-threaded interpreter, the Debian unstable root and the venvs in
# ${DITHERING_CACHE:-~/.cache/dithering}.
.PHONY: test sanitize fuzz-core demo bench bench-quality bench-sizes wheels docs clean

# C++ core tests and an sdist check, then a wheel built and tests/ run against
# it under free-threaded CPython, CPython 3.14 (Debian unstable root), CPython
# 3.14 on 64-bit ARM (arm64 root under emulation, cross-built), python3.
test:
	@bash tools/test.sh

# The whole pytest suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the multi-threaded tests built with
# ThreadSanitizer on a TSan-built interpreter, all on free-threaded CPython;
# fails on any report. SANITIZERS=asan or SANITIZERS=tsan runs one stage.
sanitize:
	@bash tools/sanitize.sh

# Differential fuzzing of the C++ core with libFuzzer (clang, ASan, UBSan):
# every form of each pass against its plain form, the four harnesses of
# tests/fuzz one after the other. FUZZ_SECONDS is the whole run's time,
# shared evenly (default 3600); the corpora grow in build/fuzz/corpus
# (FUZZ_CORPUS), the logs go to build/fuzz/logs (FUZZ_LOGS).
fuzz-core:
	@bash tools/fuzz-core.sh

# Release files in dist/: the sdist and manylinux2014 wheels built with zig
# for CPython 3.11, free-threaded 3.13 and 3.14 on x86-64 and 3.14 on
# aarch64, each checked with auditwheel and tested where it runs here.
wheels:
	@bash tools/wheels.sh

# Run examples/demo.py with the free-threaded interpreter, after installing
# the package of its sample photo (bench/requirements.txt) into the venv.
demo:
	@bash tools/ft-run.sh sh -c 'python -m pip install -q --only-binary=:all: \
	   -r bench/requirements.txt && python examples/demo.py'

# Throughput beside Pillow and NumPy (bench/bench.py), after installing the
# sample photos' package into the free-threaded venv. BENCH_ARGS=--quick etc.
bench:
	@bash tools/ft-run.sh sh -c 'python -m pip install -q --only-binary=:all: \
	   -r bench/requirements.txt && python bench/bench.py $(BENCH_ARGS)'

# PNG sizes beside Pillow's and pngquant's (bench/bench_sizes.py), after
# installing pngquant (a Debian package; without it its column stays empty)
# and the sample photos' package into the free-threaded venv.
# BENCH_ARGS=--quick etc.
bench-sizes:
	@bash -c 'source tools/common.sh && apt_install pngquant' || \
	  echo "pngquant could not be installed: its column stays empty" >&2
	@bash tools/ft-run.sh sh -c 'python -m pip install -q --only-binary=:all: \
	   -r bench/requirements.txt && python bench/bench_sizes.py $(BENCH_ARGS)'

# Quality beside Pillow and libimagequant, each making its own palette
# (bench/quality.py), crops to out/quality. In the ordinary CPython venv
# (tools/venv.sh with python3, or GIL_PYTHON), as the gil lane makes it:
# imagequant has no free-threaded wheel. BENCH_ARGS=--quick etc.
bench-quality:
	@venv=$$(bash tools/venv.sh "$${GIL_PYTHON:-python3}") && \
	  bash tools/install-ext.sh "$${venv##*/venv-}" "$$venv/bin/python" && \
	  "$$venv/bin/python" -m pip install -q --only-binary=:all: \
	    -r bench/requirements-quality.txt && \
	  "$$venv/bin/python" bench/quality.py $(BENCH_ARGS)

# The documentation site (docs/, Sphinx) into build/docs/html, warnings as
# errors, against the package built and installed into the ordinary CPython
# venv.
docs:
	@bash tools/docs.sh

# Removes this checkout's build trees; the shared cache is left alone.
clean:
	rm -rf build/cp* build/sid-* build/arm64-* build/wheels build/sdist build/sdist.log build/sanitize build/release build/fuzz build/clang build/*.log out dist
