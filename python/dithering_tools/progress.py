"""A one-line progress bar for a terminal: files done, rate, time left."""

from __future__ import annotations

import time

# For type checkers only: the command's start does not need `typing`.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO


def human_bytes(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(count) < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return f"{count:.1f} GiB"


def human_seconds(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class ProgressBar:
    """Redrawn in place on `stream` (a terminal) at most ten times a second.
    Other lines go through `print_above`, so they never tear the bar."""

    WIDTH = 24

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.stream = total, stream
        self.done = self.failed = 0
        self.start = time.monotonic()
        self.last_draw = 0.0
        self.drawn = False

    def advance(self, failed: bool = False) -> None:
        """Counts a file; draws if the last drawing is a tenth of a second old."""
        self.done += 1
        self.failed += failed
        now = time.monotonic()
        if now - self.last_draw >= 0.1 or self.done == self.total:
            self._draw(now)

    def _draw(self, now: float) -> None:
        self.last_draw = now
        elapsed = max(now - self.start, 1e-9)
        rate = self.done / elapsed
        filled = self.WIDTH * self.done // max(1, self.total)
        line = (f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total}"
                f"  {rate:.1f} files/s")
        if self.done < self.total and self.done:
            line += f"  ETA {human_seconds((self.total - self.done) / rate)}"
        if self.failed:
            line += f"  {self.failed} failed"
        self.stream.write("\r\033[K" + line)
        self.stream.flush()
        self.drawn = True

    def print_above(self, text: str, stream: TextIO) -> None:
        if self.drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
        print(text, file=stream, flush=True)
        if self.drawn:
            self._draw(time.monotonic())

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
