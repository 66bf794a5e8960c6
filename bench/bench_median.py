"""Timing of the Median downsampling over one whole-data window, by window shape.

A half-sine bump puts the largest value in the middle of every sub-list the middle-pivot
selection looks at, which makes that selection quadratic; the same values shuffled do not.
Each shape is timed plain, with one +0.0, with one -0.0, with both signed zeros (median not
zero), and with both signed zeros at the median's ranks (where the selection's choice of zero
shows, so its rounds are played), against the same values shuffled.

Goal: at 100,000 values, the bump in every zero-bearing variant within 2x of its shuffled twin.

Run: .venv/bin/python bench/bench_median.py
"""

import statistics
import time

import numpy as np

from kx_proto_sdk import DownsamplingOperations as Op
from kx_proto_sdk import eeg_cap


def timed(fn, repeats):
    """Median wall time of `fn()` in seconds."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def variants(n):
    """(label, float32 values) of the bump and its zero-bearing variants."""
    bump = np.sin(np.pi * (np.arange(n) + 0.5) / n).astype(np.float32)
    out = [("bump", bump)]
    for label, zeros in (("one +0.0", [0.0]), ("one -0.0", [-0.0]), ("both zeros", [0.0, -0.0])):
        v = bump.copy()
        v[: len(zeros)] = zeros  # the rising edge's smallest values become zeros
        out.append((label, v))
    # Shifted so that the two middle ranks are -0.0 and +0.0.
    order = np.argsort(bump, kind="stable")
    v = bump - bump[order[n // 2]]
    v[order[n // 2 - 1]] = -0.0
    out.append(("zeros at median", v))
    return out


def main():
    rng = np.random.default_rng(0)
    worst = 0.0
    for n in (30_000, 100_000):
        for label, v in variants(n):
            shuffled = rng.permutation(v)
            as_bump = v.astype(np.float64)
            as_shuffled = shuffled.astype(np.float64)
            # A quadratic run at 100,000 values takes seconds: time it fewer times.
            first = timed(lambda: eeg_cap.apply_downsampling(as_bump, n, Op.Median), 1)
            repeats = 3 if first > 0.2 else 15
            bump_t = timed(lambda: eeg_cap.apply_downsampling(as_bump, n, Op.Median), repeats)
            shuffled_t = timed(lambda: eeg_cap.apply_downsampling(as_shuffled, n, Op.Median), repeats)
            ratio = bump_t / shuffled_t
            if n == 100_000 and label != "bump":
                worst = max(worst, ratio)
            print(f"n {n:7}  {label:16} bump {bump_t * 1e3:9.3f} ms  shuffled {shuffled_t * 1e3:7.3f} ms  "
                  f"ratio {ratio:7.2f}")
    print(f"goal: bump with signed zeros within 2x of shuffled at 100,000: worst {worst:.2f}, "
          f"{'met' if worst <= 2.0 else 'NOT met'}")


if __name__ == "__main__":
    main()
