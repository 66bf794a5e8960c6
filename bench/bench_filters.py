"""Timing of the eeg_cap signal functions, with SciPy on the same data as yardstick.

Goals: order-4 band-pass on 100,000 float64 samples at most 0.7x scipy.signal.sosfiltfilt;
a median over a bump-shaped window within 5x of the same values shuffled.

Run: .venv/bin/python bench/bench_filters.py
"""

import statistics
import time

import numpy as np
from scipy import signal

from kx_proto_sdk import DownsamplingOperations as Op
from kx_proto_sdk import NoiseTypes, eeg_cap


def timed(fn, repeats=15):
    """Median and best wall time of `fn()` in seconds."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times), min(times)


def bench_band_pass(rng, fs=250.0, n=100_000):
    t = np.arange(n) / fs
    x = rng.standard_normal(n) + np.sin(2 * np.pi * 10 * t) + 0.5 * np.sin(2 * np.pi * 50 * t)
    sos = signal.butter(4, [1.0, 40.0], btype="bandpass", fs=fs, output="sos")
    ours, scipy = [], []
    for _ in range(5):  # interleaved, so both see the same machine load
        ours.append(timed(lambda: eeg_cap.apply_band_pass_filter(x, 4, 1.0, 40.0, fs), 5))
        scipy.append(timed(lambda: signal.sosfiltfilt(sos, x), 5))
    ours_med = statistics.median(m for m, _ in ours)
    scipy_med = statistics.median(m for m, _ in scipy)
    ours_best = min(b for _, b in ours)
    scipy_best = min(b for _, b in scipy)
    print(f"band-pass order 4, 1-40 Hz at {fs:g} Hz, {n} float64 samples")
    print(f"  apply_band_pass_filter: median {ours_med * 1e3:7.2f} ms  best {ours_best * 1e3:7.2f} ms")
    print(f"  scipy sosfiltfilt:      median {scipy_med * 1e3:7.2f} ms  best {scipy_best * 1e3:7.2f} ms")
    print(f"  ratio ours/scipy:       median {ours_med / scipy_med:7.2f}     best {ours_best / scipy_best:7.2f}")
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, fs)
    both, _ = timed(lambda: eeg_cap.remove_env_noise(x))
    print(f"remove_env_noise FIFTY_AND_SIXTY, {n} samples: median {both * 1e3:.2f} ms")


def bench_downsampling(rng, m=1_000_000):
    y = rng.standard_normal(m).astype(np.float32)
    for window in (10, 1000):
        mean, _ = timed(lambda: eeg_cap.apply_downsampling(y, window, Op.Mean), 7)
        for op in (Op.Mean, Op.Max, Op.Min, Op.Extremes, Op.Median):
            med, _ = timed(lambda: eeg_cap.apply_downsampling(y, window, op), 7)
            print(f"apply_downsampling {str(op).split('.')[-1]:>8}, {m} float32 values, window {window:4}: "
                  f"median {med * 1e3:7.2f} ms = {med / mean:5.2f}x Mean")


def bench_median_shape(rng, n=30_000):
    bump = np.sin(np.pi * (np.arange(n) + 0.5) / n)  # a half-sine: rises, then falls
    shuffled = rng.permutation(bump)
    bump_med, _ = timed(lambda: eeg_cap.apply_downsampling(bump, n, Op.Median), 5)
    shuffled_med, _ = timed(lambda: eeg_cap.apply_downsampling(shuffled, n, Op.Median), 5)
    print(f"Median of one {n}-value window: half-sine bump {bump_med * 1e3:.3f} ms, "
          f"shuffled {shuffled_med * 1e3:.3f} ms, ratio {bump_med / shuffled_med:.2f}")


def main():
    rng = np.random.default_rng(0)
    bench_band_pass(rng)
    bench_downsampling(rng)
    bench_median_shape(rng)
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, 250.0)


if __name__ == "__main__":
    main()
