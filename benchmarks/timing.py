"""Timing shared by the benchmark scripts."""

from __future__ import annotations

import time
from typing import Callable


def best(fn: Callable[[], object], repeat: int) -> float:
    """The shortest of `repeat` runs of `fn`, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)
