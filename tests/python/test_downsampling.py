"""Window downsampling of eeg_cap: the eight operations and their edge cases."""

import math
import random
import struct

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


# The median's selection rule written plainly, on Python floats that hold float32 values;
# only bits tell which zero or which NaN it picks.
def rank_by_rule(values, k):
    while len(values) > 1:
        pivot = values[len(values) // 2]
        lows = [v for v in values if v < pivot]
        highs = [v for v in values if v > pivot]
        not_high = len(values) - len(highs)
        if k < len(lows):
            values = lows
        elif k < not_high:
            return pivot
        else:
            values, k = highs, k - not_high
    return values[0]


def median_by_rule(values):
    n = len(values)
    if n % 2:
        return rank_by_rule(values, n // 2)
    lower, upper = rank_by_rule(values, n // 2 - 1), rank_by_rule(values, n // 2)
    with np.errstate(invalid="ignore"):  # inf + -inf
        return float((np.float32(lower) + np.float32(upper)) * np.float32(0.5))


def f32_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def bits_of(values):
    return [struct.pack("<d", v).hex() for v in values]


# Quarter steps give many equal values; NaN of several payloads and both signs.
MEDIAN_POOL = [q / 4 for q in range(-12, 13)] + [-0.0, 0.0, -0.0, 0.0, math.inf, -math.inf]
NANS = [f32_bits(b) for b in (0x7FC00000, 0xFFC00000, 0x7FC00001, 0xFFC12345, 0x7FE00007)]


def median_case(rng, shape, size, nan_share):
    values = [rng.choice(MEDIAN_POOL) for _ in range(size)]
    if shape == "rising":
        values.sort()
    elif shape == "bump":  # even ranks rising, then odd ranks falling: the middle is the top
        values.sort()
        values = values[0::2] + values[1::2][::-1]
    return [rng.choice(NANS) if rng.random() < nan_share else v for v in values]


@pytest.mark.parametrize("nan_share", [0.0, 0.03])
@pytest.mark.parametrize("shape", ["shuffled", "rising", "bump"])
@pytest.mark.parametrize("window", [1, 2, 3, 4, 7, 10, 31, 64, 257])
def test_median_picks_the_selection_rules_bits(window, shape, nan_share):
    rng = random.Random(f"{window}-{shape}-{nan_share}")
    windows = [median_case(rng, shape, window, nan_share) for _ in range(max(4, 400 // window))]
    want = [median_by_rule(w) for w in windows]
    got = down([v for w in windows for v in w], window, Op.Median)
    assert bits_of(got) == bits_of(want)
    if nan_share == 0.0 and window > 2:  # the choice of zero shows in some of these windows
        assert any(v == 0.0 and math.copysign(1.0, v) < 0 for v in want)


def half_sine(n):
    return [float(np.float32(math.sin(math.pi * (i + 0.5) / n))) for i in range(n)]


def with_zeros_at_median(values):
    """Shifted so that its two middle ranks are +0.0 (odd count: the middle one) and -0.0."""
    ranked = sorted(values)
    mid, below = ranked[len(values) // 2], ranked[len(values) // 2 - 1]
    return [-0.0 if v == below else float(np.float32(v) - np.float32(mid)) for v in values]


# The shapes that made the middle-pivot rule quadratic: its middle value is always the top.
@pytest.mark.parametrize("n", [1000, 1001])
@pytest.mark.parametrize(
    "shape",
    [
        lambda v: [0.0] + v[1:],
        lambda v: [-0.0] + v[1:],
        lambda v: [0.0, -0.0] + v[2:],
        with_zeros_at_median,
        lambda v: [-x for x in with_zeros_at_median(v)],
        lambda v: [NANS[3]] + with_zeros_at_median(v)[1:],
    ],
    ids=["plus-zero", "minus-zero", "both-zeros", "zeros-at-median", "negated", "nan"],
)
def test_median_of_a_bump_with_zeros(n, shape):
    values = shape(half_sine(n))
    assert bits_of(down(values, n, Op.Median)) == bits_of([median_by_rule(values)])


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
