"""Butterworth filters and mains-noise removal of eeg_cap, checked against SciPy."""

import array
import collections
import math

import numpy as np
import pytest
from scipy import signal

from kx_proto_sdk import NoiseTypes, eeg_cap

FILTERS = {
    "lowpass": eeg_cap.apply_low_pass_filter,
    "highpass": eeg_cap.apply_high_pass_filter,
    "bandpass": eeg_cap.apply_band_pass_filter,
    "bandstop": eeg_cap.apply_band_stop_filter,
}


def f32(values):
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def make_signal(fs, seconds=6.0, seed=0):
    """Noise plus slow and fast sines and an offset, already on the float32 grid."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(fs * seconds)) / fs
    x = (rng.standard_normal(t.size) + 3.0 * np.sin(2 * np.pi * 3.0 * t)
         + 2.0 * np.sin(2 * np.pi * 0.3 * fs * t) + 5.0)
    return f32(x)


def cut_offs(kind, fs):
    """(args after order, Wn for scipy) for a kind at a sampling rate."""
    if kind in ("lowpass", "highpass"):
        cut = round(0.12 * fs, 3)
        return (cut,), cut
    low, high = round(0.01 * fs, 3), round(0.3 * fs, 3)
    return (low, high), [low, high]


def run(kind, data, order, fs):
    args, _ = cut_offs(kind, fs)
    return FILTERS[kind](data, order, *args, fs)


@pytest.fixture(autouse=True)
def initial_mains_setting():
    """Every test sees (and leaves) the initial mains-noise setting."""
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, 250.0)
    yield
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, 250.0)


@pytest.mark.parametrize("fs", [100.0, 250.0, 512.0, 1000.0])
@pytest.mark.parametrize("order", range(0, 9))
@pytest.mark.parametrize("kind", sorted(FILTERS))
def test_design_and_filter_match_scipy(kind, order, fs):
    args, wn = cut_offs(kind, fs)
    sos = signal.butter(order, wn, btype=kind, fs=fs, output="sos")
    got = np.array(eeg_cap._butterworth_sos(kind, order, args[0], args[-1], fs))
    assert got.shape == sos.shape
    np.testing.assert_allclose(got, sos, rtol=0, atol=2e-6 * np.maximum(1.0, np.abs(sos)).max())
    x = make_signal(fs)
    filtered = FILTERS[kind](x.tolist(), order, *args, fs)
    assert isinstance(filtered, list) and len(filtered) == len(x)
    want = signal.sosfiltfilt(sos, x) if order else f32(x)
    np.testing.assert_allclose(filtered, want, rtol=0, atol=2e-5 * np.max(np.abs(x)))


@pytest.mark.parametrize(
    "call, accepted, refused",
    [
        (lambda n: eeg_cap.apply_low_pass_filter([1.0] * n, 4, 10.0, 250.0), 16, 15),
        (lambda n: eeg_cap.apply_high_pass_filter([1.0] * n, 3, 10.0, 250.0), 13, 12),
        (lambda n: eeg_cap.apply_band_pass_filter([1.0] * n, 4, 10.0, 20.0, 250.0), 28, 27),
        (lambda n: eeg_cap.apply_band_stop_filter([1.0] * n, 1, 10.0, 20.0, 250.0), 10, 9),
        (lambda n: eeg_cap.apply_low_pass_filter([1.0] * n, 0, 10.0, 250.0), 7, 6),
        (lambda n: eeg_cap.remove_env_noise([1.0] * n), 28, 27),
    ],
    ids=["lowpass4", "highpass3", "bandpass4", "bandstop1", "order0", "mains"],
)
def test_minimum_input_length(call, accepted, refused):
    assert len(call(accepted)) == accepted
    with pytest.raises(ValueError) as info:
        call(refused)
    assert "longer than the pad length" in str(info.value)
    assert f"{refused} values given, pad length {refused}" in str(info.value)


@pytest.mark.parametrize("kind,passes_dc", [("lowpass", True), ("bandstop", True),
                                             ("highpass", False), ("bandpass", False)])
def test_constant_input(kind, passes_dc):
    # Steady-state start values: a constant passes unchanged (or is removed) from the first sample on.
    out = np.array(run(kind, [7.25] * 100, 4, 250.0))
    assert np.allclose(out, 7.25 if passes_dc else 0.0, rtol=0, atol=1e-4)


@pytest.mark.parametrize("kind", sorted(FILTERS))
def test_order_zero_returns_input_rounded_to_float32(kind):
    # Values that round differently if they were truncated instead of rounded;
    # a float64 buffer and float items must give the same.
    x = np.array([1.0 + 2.0**-24 + 2.0**-30, 0.1, 1e-40, 3.4e38, -1e-46, 2.0**-149 * 0.75, -0.0, 12345.678] * 5)
    assert run(kind, x, 0, 250.0) == run(kind, [float(v) for v in x], 0, 250.0) == f32(x).tolist()


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: eeg_cap.apply_band_pass_filter([0.0] * 100, 4, 30.0, 20.0, 250.0),
         "Wn[0] must be less than Wn[1]"),
        (lambda: eeg_cap.apply_high_pass_filter([0.0] * 100, 4, 130.0, 250.0),
         "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=250 -> fs/2=125)"),
        (lambda: eeg_cap.apply_low_pass_filter([0.0] * 100, 4, 0.0, 250.0),
         "filter critical frequencies must be greater than 0"),
        (lambda: eeg_cap.apply_band_stop_filter([0.0] * 100, 2, 10.0, 20.0, -250.0),
         "filter critical frequencies must be greater than 0"),
        (lambda: eeg_cap.apply_low_pass_filter([0.0] * 100, 2, 10.0, 0.0),
         "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=0 -> fs/2=0)"),
        (lambda: eeg_cap.apply_low_pass_filter([0.0] * 100, 2, 10.0, 12.5),
         "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=12.5 -> fs/2=6.25)"),
        (lambda: eeg_cap.apply_low_pass_filter([0.0] * 100, 2, 1e30, 1e20),
         "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=100000000000000000000 -> "
         "fs/2=50000000000000000000)"),
        # Only part of these texts is fixed.
        (lambda: eeg_cap.apply_band_pass_filter([], 2, 1.0, 10.0, 100.0), "...pad length"),  # empty data
        (lambda: eeg_cap.apply_band_pass_filter([0.0] * 100, 2, math.nan, 40.0, 250.0), "...NaN"),
        (lambda: eeg_cap.apply_band_pass_filter([0.0] * 100, 2, 10.0, 40.0, math.nan), "...NaN"),
        # The cut-offs are checked before the length.
        (lambda: eeg_cap.apply_low_pass_filter([], 4, 0.0, 250.0),
         "filter critical frequencies must be greater than 0"),
    ],
)
def test_bad_cut_offs_raise_value_error(call, text):
    with pytest.raises(ValueError) as info:
        call()
    if text.startswith("..."):
        assert text[3:] in str(info.value)
    else:
        assert str(info.value) == text


@pytest.mark.parametrize(
    "make",
    [
        lambda x: x.tolist(),
        lambda x: tuple(x.tolist()),
        lambda x: x,
        lambda x: x.astype(np.float32),
        lambda x: np.repeat(x, 2)[::2],  # strided: read item by item
        lambda x: x.astype(">f8"),  # foreign byte order: read item by item
        lambda x: [np.float64(v) for v in x],
        lambda x: memoryview(x.astype(np.float32)),
        lambda x: array.array("d", x),
        lambda x: array.array("f", x),
        lambda x: collections.deque(x.tolist()),
    ],
    ids=["list", "tuple", "f64", "f32", "strided", "big-endian", "numpy-scalars", "memoryview",
         "array-d", "array-f", "deque"],
)
def test_every_input_form_gives_the_same_values(make):
    x = make_signal(250.0, seconds=1.0, seed=3)
    want = eeg_cap.apply_band_pass_filter(x.tolist(), 3, 1.0, 40.0, 250.0)
    assert eeg_cap.apply_band_pass_filter(make(x), 3, 1.0, 40.0, 250.0) == want


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: eeg_cap.apply_low_pass_filter("abc", 4, 10.0, 250.0), TypeError,
         "argument 'data': Can't extract `str` to `Vec`"),
        (lambda: eeg_cap.apply_low_pass_filter(5, 4, 10.0, 250.0), TypeError,
         "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        (lambda: eeg_cap.apply_low_pass_filter([1.0, "x"], 4, 10.0, 250.0), TypeError, "argument 'data': "),
        (lambda: eeg_cap.apply_low_pass_filter([1.0] * 20, -1, 10.0, 250.0), OverflowError, None),
        (lambda: eeg_cap.apply_low_pass_filter([1.0] * 20, 4.0, 10.0, 250.0), TypeError, "argument 'order': "),
        (lambda: eeg_cap.apply_band_pass_filter([1.0] * 20, 4, "1", 10.0, 250.0), TypeError, "argument 'low_cut': "),
        (lambda: eeg_cap.apply_band_pass_filter(), TypeError,
         "apply_band_pass_filter() missing 5 required positional arguments: "
         "'data', 'order', 'low_cut', 'high_cut', and 'fs'"),
        (lambda: eeg_cap.set_env_noise_filter_cfg(0, 250.0), TypeError,
         "argument 'noise_type': 'int' object cannot be converted to 'NoiseTypes'"),
        (lambda: eeg_cap.remove_env_noise("x" * 40), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ],
)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    if text is not None:
        assert str(info.value).startswith(text)


def test_keywords_and_int_arguments():
    x = make_signal(250.0, seconds=1.0)
    by_position = eeg_cap.apply_band_stop_filter(x, 2, 45, 55, 250)
    by_keyword = eeg_cap.apply_band_stop_filter(fs=250.0, high_cut=55.0, low_cut=45.0, order=2, data=x.tolist())
    assert by_position == by_keyword


def sine(freq, fs=250.0, n=2500, amp=1.0):
    return amp * np.sin(2 * np.pi * freq * np.arange(n) / fs)


def mains_reference(data, fs, bands):
    y = np.asarray(data, dtype=np.float64)
    for low, high in bands:
        y = signal.sosfiltfilt(signal.butter(4, [low, high], btype="bandstop", fs=fs, output="sos"), y)
    return y


@pytest.mark.parametrize("setting, fs, bands", [
    (None, 250.0, [(49.0, 51.0), (59.0, 61.0)]),  # the initial setting
    (NoiseTypes.FIFTY, 250.0, [(49.0, 51.0)]),
    (NoiseTypes.SIXTY, 500.0, [(59.0, 61.0)]),
])
def test_mains_setting_applies_its_band_stops(setting, fs, bands):
    if setting is not None:
        eeg_cap.set_env_noise_filter_cfg(setting, fs)
    noise = 0.1 * np.random.default_rng(5).standard_normal(2500)
    x = f32(sine(50.0, fs) + sine(60.0, fs) + sine(10.0, fs) + noise)
    got = eeg_cap.remove_env_noise(x)
    np.testing.assert_allclose(got, mains_reference(x, fs, bands), rtol=0, atol=2e-5 * np.max(np.abs(x)))


@pytest.mark.parametrize("fs, text", [
    (122.0, "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=122 -> fs/2=61)"),
    (-250.0, "filter critical frequencies must be greater than 0"),
    (math.nan, "NaN"),
])
def test_failed_mains_setting_keeps_the_previous_one(fs, text):
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.SIXTY, 500.0)
    x = f32(sine(50.0, fs=500.0, n=600) + sine(60.0, fs=500.0, n=600))
    before = eeg_cap.remove_env_noise(x)
    with pytest.raises(ValueError) as info:
        eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY, fs)
    assert text in str(info.value)
    assert eeg_cap.remove_env_noise(x) == before


def test_fresh_process_starts_with_both_mains_filters_at_250(fresh_python):
    result = fresh_python(
        """
        import numpy as np
        from kx_proto_sdk import NoiseTypes, eeg_cap
        from test_filters import mains_reference

        t = np.arange(1500) / 250.0
        x = np.sin(2 * np.pi * 50 * t) + np.sin(2 * np.pi * 60 * t) + np.sin(2 * np.pi * 7 * t)
        x = x.astype(np.float32).astype(np.float64)
        # A refused setting before any accepted one leaves the initial filters.
        try:
            eeg_cap.set_env_noise_filter_cfg(NoiseTypes.SIXTY, 100.0)
        except ValueError:
            pass
        got = np.array(eeg_cap.remove_env_noise(x.tolist()))
        print(float(np.max(np.abs(got - mains_reference(x, 250.0, [(49.0, 51.0), (59.0, 61.0)])))))
        """
    )
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 5e-5


@pytest.mark.parametrize(
    "args, text",
    [
        (("lowpass", 1001, 10.0, 10.0, 250.0), "order must be at most 1000"),
        (("notch", 2, 10.0, 20.0, 250.0), "kind must be lowpass, highpass, bandpass or bandstop"),
        (("bandpass", 2, 20.0, 10.0, 250.0), "Wn[0] must be less than Wn[1]"),
    ],
)
def test_design_probe_refuses_bad_arguments_and_is_not_public(args, text):
    with pytest.raises(ValueError) as info:
        eeg_cap._butterworth_sos(*args)
    assert str(info.value) == text
    assert "_butterworth_sos" not in eeg_cap.__all__
