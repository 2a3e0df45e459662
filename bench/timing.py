"""Timing helper shared by the benchmarks."""
import math
import time


def best_of(fn, repeats):
    """Shortest wall time of `repeats` calls of fn, with the last call's result."""
    best, result = math.inf, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result
