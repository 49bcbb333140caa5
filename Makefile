# Entry points only; the work is done by the scripts in tools/, which cache
# the free-threaded interpreter and the venvs in ${DITHERING_CACHE:-~/.cache/dithering}.
.PHONY: test demo bench clean

# Build the extension and run tests/ under free-threaded CPython and python3.
test:
	@bash tools/test.sh

# Run examples/demo.py with the free-threaded interpreter.
demo:
	@bash tools/ft-run.sh python examples/demo.py

bench:
	@if [ -f bench/bench.py ]; then bash tools/ft-run.sh python bench/bench.py; \
	 else echo "bench/bench.py does not exist yet"; fi

# Removes this checkout's build trees; the shared cache is left alone.
clean:
	rm -rf build/cp* out dist
