"""Timing shared by the benchmark scripts."""

from __future__ import annotations

import gc
import time
from typing import Callable


def best(fn: Callable[[], object], repeat: int) -> float:
    """The shortest of `repeat` runs of `fn`, in seconds; garbage collection off while timing."""
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return min(times)
