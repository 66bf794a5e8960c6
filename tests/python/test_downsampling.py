"""Window downsampling of eeg_cap: the eight operations and their edge cases."""

import math

import numpy as np
import pytest

from kx_proto_sdk import DownsamplingOperations as Op
from kx_proto_sdk import eeg_cap

down = eeg_cap.apply_downsampling


def over_claiming(claim):  # a list whose __len__ claims far more items than it yields
    return type("OverClaims", (list,), {"__len__": lambda self: claim})([0.0, 1.0, 2.0])


@pytest.mark.parametrize(
    "data, window, op, want",
    [
        ([1, 2, 3], 5, Op.Sum, []),
        ([], 4, Op.Extremes, []),
        ([-0.0, 1.0, 0.0, -1.0, 2.0], 5, Op.Median, [0.0]),  # the middle-pivot rule picks which zero
        # Data read as its items give it: the length hint only sizes a first reservation, a
        # masked value reads as NaN whatever the dtype.
        (over_claiming(2**40), 1, Op.First, [0.0, 1.0, 2.0]),
        (over_claiming(2**62), 1, Op.First, [0.0, 1.0, 2.0]),
        (np.ma.masked_array([1.0, 2.0, 3.0], mask=[0, 1, 0]), 1, Op.First, [1.0, math.nan, 3.0]),
        (np.ma.masked_array([1, 2, 3], mask=[0, 1, 0]), 1, Op.First, [1.0, math.nan, 3.0]),
        ([-0.0, -0.0], 2, Op.Sum, [-0.0]),
        ([-0.0, -0.0], 2, Op.Mean, [0.0]),
        # Ties: Max keeps the later of equal values, Min the earlier.
        ([0.0, -0.0], 2, Op.Max, [-0.0]),
        ([-0.0, 0.0], 2, Op.Min, [-0.0]),
        ([0.0, -0.0], 2, Op.Extremes, [0.0, -0.0]),
        # Float32 arithmetic in window order.
        ([16777216.0, 1.0, 1.0], 3, Op.Sum, [16777216.0]),
        ([0.1, 0.2, 0.3], 3, Op.Mean, [float((np.float32(0.1) + np.float32(0.2) + np.float32(0.3)) / np.float32(3))]),
        # NaN: Mean and Median go on; a lone NaN in a window is returned.
        ([1.0, math.nan], 2, Op.Mean, [math.nan]),
        ([math.nan, 1.0, 2.0], 3, Op.Median, [1.0]),
        ([1.0, math.nan, 2.0], 3, Op.Median, [math.nan]),
        ([math.nan, 2.0], 1, Op.Max, [math.nan, 2.0]),
        ([math.nan], 1, Op.Extremes, [math.nan, math.nan]),
        ([math.inf, -math.inf, 1.0], 3, Op.Extremes, [-math.inf, math.inf]),
    ],
)
@pytest.mark.filterwarnings("ignore:Warning. converting a masked element to nan")
def test_operation(data, window, op, want):
    # repr tells -0.0 from 0.0 and takes NaN as equal to NaN.
    assert list(map(repr, down(data, window, op))) == list(map(repr, want))


@pytest.mark.parametrize("op", [Op.Max, Op.Min, Op.Extremes])
@pytest.mark.parametrize("window", [[math.nan, 1.0], [1.0, math.nan], [2.0, 1.0, math.nan]])
def test_nan_under_ordering_operations_is_refused(op, window):
    with pytest.raises(ValueError, match="NaN"):
        down([0.0] * len(window) + window, len(window), op)


# (operation, the same in numpy with float32 arithmetic); enum objects are not hashable.
# Data of every form goes through the converter checked in test_filters.py.
NUMPY_F32 = [
    (Op.Mean, lambda w: np.float32(np.add.accumulate(w, dtype=np.float32)[-1] / np.float32(len(w)))),
    (Op.Sum, lambda w: np.add.accumulate(w, dtype=np.float32)[-1]),
    (Op.Max, np.max),
    (Op.Min, np.min),
    (Op.First, lambda w: w[0]),
    (Op.Last, lambda w: w[-1]),
    (Op.Median, lambda w: np.float32(np.median(w))),
    (Op.Extremes, lambda w: (np.min(w), np.max(w))),
]


@pytest.mark.parametrize("window", [1, 2, 3, 10, 64, 1000])
@pytest.mark.parametrize("op, reference", NUMPY_F32, ids=lambda v: repr(v) if isinstance(v, Op) else "")
def test_random_windows_match_numpy(op, reference, window):
    rng = np.random.default_rng(window)
    x = rng.integers(-50, 50, size=5 * window + window // 2).astype(np.float32) / np.float32(8)
    windows = x[: len(x) // window * window].reshape(-1, window)
    want = [float(v) for w in windows for v in np.atleast_1d(reference(w))]
    got = down(x.astype(np.float64), window, op)
    # Values are multiples of 1/8, so numpy's float64 median of the two middle ones is exact too.
    assert got == want


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: down([1.0], -1, Op.Mean), OverflowError, None),
        (lambda: down([], 0, Op.Mean), ValueError, "window_size must be positive"),
        (lambda: down([1.0, 2.0], 0, Op.Median), ValueError, "window_size must be positive"),
        (lambda: down(range(10**13), 1, Op.First), MemoryError, ""),  # too long to hold, as list() finds
    ],
)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    if text is not None:
        assert str(info.value) == text


def test_list_shrunk_by_an_item_conversion_is_read_safely():
    data = [1.0] * 10

    class Shrinks:
        def __float__(self):
            data.clear()
            for i in range(200):  # reuse the freed item storage
                [float(i)] * 100
            return 2.0

    data[1] = Shrinks()
    data.extend([3.0] * 10_000)
    # Like iteration: the values read before the list shrank, then it ends.
    assert down(data, 1, Op.First) == [1.0, 2.0]
