"""Keeps the C allocator from handing image-sized blocks back to the system
after every image, for the `dither` process.

glibc serves large blocks (a decoded image, an array) straight from the
system and returns them on release, and trims its heaps as soon as their
free top passes a threshold, so every image of a batch faults its memory
in again, page by page, and page faults of the threads of one process take
turns on its memory map. Keeping freed blocks for reuse took a quarter of
the page faults and a third of the system time off a batch of 4-megapixel
PNGs. The cost: the process keeps its peak memory until it exits, which
for a batch is bounded by the images in flight anyway.
"""

import ctypes
import sys

# mallopt parameters, from glibc's <malloc.h>.
_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3
# The largest mmap threshold glibc accepts on 64-bit systems (half its
# per-thread heap size); larger blocks are still mapped and unmapped.
_MMAP_THRESHOLD = 32 << 20
_TRIM_THRESHOLD = 1 << 30


def keep_freed_memory() -> bool:
    """Sets the thresholds process-wide; returns whether it could (glibc only).
    For the command's own process: a library must not change its host's
    allocator."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # not glibc (musl has no mallopt)
        return False
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    return bool(mallopt(_M_MMAP_THRESHOLD, _MMAP_THRESHOLD)) and bool(
        mallopt(_M_TRIM_THRESHOLD, _TRIM_THRESHOLD))
