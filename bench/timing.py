"""Timing shared by the benchmark scripts."""
import time


def best_of(repeats, call, clock=time.perf_counter):
    """The shortest of `repeats` timed calls by `clock`, and the last call's
    result. On a shared machine time.process_time says more about the code
    than wall time does."""
    best, value = float("inf"), None
    for _ in range(repeats):
        start = clock()
        value = call()
        best = min(best, clock() - start)
    return best, value
