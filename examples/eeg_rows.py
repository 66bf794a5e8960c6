"""Turns rows of `eeg_cap.get_eeg_buffer` into NumPy arrays; shared by the examples.

A row is [timestamp, then 4 frames x 8 channels in µV, frame by frame]; a block that was
not 108 bytes long gives a row with the timestamp alone.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

CHANNELS = 8
FRAMES_PER_BLOCK = 4
ROW_LENGTH = 1 + FRAMES_PER_BLOCK * CHANNELS


def rows_to_samples(rows: list[list[float]]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]:
    """(timestamps, one per block; samples in µV, shape (4 * blocks, 8)) of the complete rows."""
    complete = [row for row in rows if len(row) == ROW_LENGTH]
    table = np.asarray(complete, dtype=np.float64).reshape(len(complete), ROW_LENGTH)
    return table[:, 0], table[:, 1:].reshape(-1, CHANNELS).astype(np.float32)


def rms(samples: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Root mean square of each column."""
    squares: npt.NDArray[np.float64] = np.square(samples, dtype=np.float64)
    means: npt.NDArray[np.float64] = squares.mean(axis=0)
    return np.sqrt(means)


def rms_line(label: str, samples: npt.NDArray[np.float32]) -> str:
    return f"{label}: " + " ".join(f"{value:.2f}" for value in rms(samples))
