#!/usr/bin/env python3
"""Cleans an 8-channel EEG array with the module's signal functions, one channel at a time:
removes 50 Hz mains noise, band-passes 1-40 Hz and halves the sample rate by window means.
No device needed: the input is a .npy array (channels x samples at --fs Hz) or, without one,
a synthetic recording of a 10 Hz rhythm plus mains noise and drift.

    .venv/bin/python examples/filter_array.py
    .venv/bin/python examples/filter_array.py recording.npy --fs 500 --out clean.npy
"""
from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import numpy.typing as npt

from eeg_rows import CHANNELS, rms_line
from kx_proto_sdk import DownsamplingOperations, NoiseTypes, eeg_cap


def synthetic_recording(fs: float, seconds: float = 8.0) -> npt.NDArray[np.float32]:
    """channels x samples in µV: a 10 Hz rhythm of 20, 40, ... 160 µV, 30 µV of 50 Hz, a slow drift."""
    t = np.arange(int(fs * seconds)) / fs
    amplitudes = 20.0 * np.arange(1, CHANNELS + 1)[:, None]
    rhythm = amplitudes * np.sin(2 * np.pi * 10.0 * t)
    noise = 30.0 * np.sin(2 * np.pi * 50.0 * t) + 200.0 * np.sin(2 * np.pi * 0.05 * t)
    recording: npt.NDArray[np.float32] = (rhythm + noise).astype(np.float32)
    return recording


def clean_channel(samples: npt.NDArray[np.float32], fs: float, factor: int) -> npt.NDArray[np.float32]:
    without_mains = eeg_cap.remove_env_noise(samples)
    band = eeg_cap.apply_band_pass_filter(without_mains, 4, 1.0, 40.0, fs)
    return np.asarray(eeg_cap.apply_downsampling(band, factor, DownsamplingOperations.Mean), dtype=np.float32)


def main() -> None:
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("input", type=Path, nargs="?", help=".npy array, channels x samples (default: synthetic)")
    args.add_argument("--fs", type=float, default=250.0, help="sample rate in Hz, above 122 (default 250)")
    args.add_argument("--factor", type=int, default=2, help="downsampling window (default 2)")
    args.add_argument("--out", type=Path, help="save the cleaned array as .npy")
    opts = args.parse_args()
    data = synthetic_recording(opts.fs) if opts.input is None else np.load(opts.input).astype(np.float32)

    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY, opts.fs)  # designs the notch for this rate
    cleaned = np.stack([clean_channel(channel, opts.fs, opts.factor) for channel in data])
    print(f"{data.shape[0]} channels, {data.shape[1]} samples at {opts.fs:g} Hz -> "
          f"{cleaned.shape[1]} samples at {opts.fs / opts.factor:g} Hz")
    print(rms_line("raw RMS µV", data.T))
    print(rms_line("clean RMS µV", cleaned.T))
    if opts.out is not None:
        np.save(opts.out, cleaned)


if __name__ == "__main__":
    main()
