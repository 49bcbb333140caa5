"""Shows what the installed module offers."""

import sys

import dithering


def main():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dithering {dithering.__version__} on Python {sys.version.split()[0]}"
          f" ({'GIL enabled' if gil else 'free-threaded, GIL disabled'})")
    print("methods: ", ", ".join(dithering.available_methods()))
    print("matrices:", ", ".join(dithering.available_matrices()))


if __name__ == "__main__":
    main()
