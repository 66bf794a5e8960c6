"""Timing of the eeg_cap signal functions, with SciPy on the same data as yardstick.

Run: PYTHONPATH=<build dir> python bench/bench_filters.py
"""

import statistics
import time

import numpy as np
from scipy import signal

from kx_proto_sdk import DownsamplingOperations, NoiseTypes, eeg_cap


def best_of(fn, repeats=15):
    """Median and best wall time of `fn()` in seconds."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times), min(times)


def main():
    rng = np.random.default_rng(0)
    fs = 250.0
    n = 250_000
    t = np.arange(n) / fs
    x = rng.standard_normal(n) + np.sin(2 * np.pi * 10 * t) + 0.5 * np.sin(2 * np.pi * 50 * t)
    as_list = x.tolist()
    sos = signal.butter(4, [1.0, 40.0], btype="bandpass", fs=fs, output="sos")

    ours_med, ours_best = best_of(lambda: eeg_cap.apply_band_pass_filter(x, 4, 1.0, 40.0, fs))
    scipy_med, scipy_best = best_of(lambda: signal.sosfiltfilt(sos, x))
    list_med, list_best = best_of(lambda: eeg_cap.apply_band_pass_filter(as_list, 4, 1.0, 40.0, fs))
    tolist_med, _ = best_of(lambda: x.tolist())
    print(f"band-pass order 4, 1-40 Hz at 250 Hz, {n} samples")
    print(f"  apply_band_pass_filter(float64 ndarray): median {ours_med * 1e3:7.2f} ms  best {ours_best * 1e3:7.2f} ms")
    print(f"  scipy.signal.sosfiltfilt(ndarray):        median {scipy_med * 1e3:7.2f} ms  best {scipy_best * 1e3:7.2f} ms")
    print(f"  ratio ours/scipy:                         median {ours_med / scipy_med:7.2f}     best {ours_best / scipy_best:7.2f}")
    print(f"  apply_band_pass_filter(list):             median {list_med * 1e3:7.2f} ms  best {list_best * 1e3:7.2f} ms")
    print(f"  (ndarray.tolist() alone, the cost of a list result: {tolist_med * 1e3:.2f} ms)")

    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, fs)
    both_med, _ = best_of(lambda: eeg_cap.remove_env_noise(x))
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY, fs)
    one_med, _ = best_of(lambda: eeg_cap.remove_env_noise(x))
    print(f"remove_env_noise, {n} samples: FIFTY_AND_SIXTY median {both_med * 1e3:.2f} ms, FIFTY median {one_med * 1e3:.2f} ms")

    m = 1_000_000
    y = rng.standard_normal(m)
    for op in (DownsamplingOperations.Median, DownsamplingOperations.Mean):
        med, _ = best_of(lambda: eeg_cap.apply_downsampling(y, 10, op), repeats=7)
        print(f"apply_downsampling {op}, {m} values, window 10: median {med * 1e3:.2f} ms "
              f"= {m / med / 1e6:.1f} M values/s")
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, 250.0)


if __name__ == "__main__":
    main()
