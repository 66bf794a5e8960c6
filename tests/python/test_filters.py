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
MID_BAND = {"lowpass": (30,), "highpass": (30,), "bandpass": (3, 75), "bandstop": (3, 75)}  # at 250 Hz, int arguments


def f32(values):
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def make_signal(fs, n, seed=0):  # noise, a slow and a fast sine and an offset, on the float32 grid
    rng = np.random.default_rng(seed)
    t = np.arange(n) / fs
    return f32(rng.standard_normal(n) + 3.0 * np.sin(2 * np.pi * 3.0 * t) + 2.0 * np.sin(2 * np.pi * 0.3 * fs * t) + 5.0)


@pytest.fixture(autouse=True)
def initial_mains_setting():  # every test leaves the initial setting (no other module changes it)
    yield
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, 250.0)


def random_case(rng):  # order 1-10, fs 125-16000 Hz, normalised cut-offs from 1e-4 to 1 - 1e-3, all float32
    kind, order = str(rng.choice(sorted(FILTERS))), int(rng.integers(1, 11))
    fs = float(np.float32(10 ** rng.uniform(np.log10(125), np.log10(16000))))
    while True:
        wn = sorted(10 ** rng.uniform(-4, 0) if rng.random() < 0.5 else 1 - 10 ** rng.uniform(-3, 0)
                    for _ in range(1 if kind in ("lowpass", "highpass") else 2))
        cuts = [float(np.float32(w * fs / 2)) for w in wn]
        if len(cuts) == 1 or cuts[0] < cuts[1]:
            return kind, order, cuts, fs


# Largest difference from SciPy's float64 result and how far a 1e-15 relative change of its
# sections moves that result (its conditioning), both relative to its peak.
def compare_with_scipy(kind, order, cuts, fs, x):
    sos = signal.butter(order, cuts if len(cuts) == 2 else cuts[0], btype=kind, fs=fs, output="sos")
    want = signal.sosfiltfilt(sos, x)
    peak = np.max(np.abs(want))
    jitter = 1 + 1e-15 * np.random.default_rng(1).choice([-1.0, 1.0], sos.shape)
    jitter[:, 3] = 1
    moved = np.max(np.abs(signal.sosfiltfilt(sos * jitter, x) - want)) / peak
    got = np.array(FILTERS[kind](x, order, *cuts, fs))
    assert np.all(np.isfinite(got)) and np.any(got)  # never silent NaN or zeros
    return np.max(np.abs(got - want)) / peak, moved


@pytest.mark.parametrize("kind, order, cuts, fs", [random_case(np.random.default_rng(seed)) for seed in range(300)])
def test_matches_scipy_wherever_its_result_is_well_conditioned(kind, order, cuts, fs):
    difference, moved = compare_with_scipy(kind, order, cuts, fs, make_signal(fs, 3000, seed=order))
    assert difference <= 1e-4 or not moved < 1e-7


@pytest.mark.parametrize("fs", [250.0, 500.0, 1000.0, 4000.0, 16000.0])
@pytest.mark.parametrize("kind, cuts", [("highpass", [0.1]), ("highpass", [0.5]), ("highpass", [1.0]),
                                        ("bandpass", [0.5, 40.0]), ("bandpass", [1.0, 45.0]),
                                        ("bandstop", [45.0, 55.0]), ("bandstop", [55.0, 65.0])])
def test_usual_eeg_settings_match_scipy_closely(kind, cuts, fs):
    x = make_signal(fs, int(10 * fs))
    for order in range(1, 11):
        assert compare_with_scipy(kind, order, cuts, fs, x)[0] <= 1e-5, order


@pytest.mark.parametrize("kind, order, pad", [
    ("lowpass", 4, 15), ("highpass", 3, 12), ("bandpass", 4, 27), ("bandstop", 1, 9), ("lowpass", 0, 6),
    ("mains", 4, 27),
    # Orders whose section count would overflow are refused, with their real pad length, before any allocation.
    ("lowpass", 2**64 - 1, 3 * 2**64), ("highpass", 2**64 - 2, 3 * (2**64 - 1)), ("bandpass", 2**64 - 1, 3 * (2**65 - 1)),
])
def test_input_must_be_longer_than_the_pad(kind, order, pad):
    def call(n):
        return eeg_cap.remove_env_noise([1.0] * n) if kind == "mains" else FILTERS[kind]([1.0] * n, order, *MID_BAND[kind], 250.0)

    refused = min(pad, 20)
    if refused == pad:
        assert len(call(pad + 1)) == pad + 1
    with pytest.raises(ValueError) as info:
        call(refused)
    assert str(info.value) == (
        f"the input must be longer than the pad length of the filter: {refused} values given, pad length {pad}")


@pytest.mark.parametrize("kind, n, args, text", [
    ("bandpass", 100, (4, 30.0, 20.0, 250.0), "Wn[0] must be less than Wn[1]"),
    ("highpass", 100, (4, 130.0, 250.0), "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=250 -> fs/2=125)"),
    ("lowpass", 100, (4, 0.0, 250.0), "filter critical frequencies must be greater than 0"),
    ("bandstop", 100, (2, 10.0, 20.0, -250.0), "filter critical frequencies must be greater than 0"),
    ("lowpass", 100, (2, 10.0, 0.0), "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=0 -> fs/2=0)"),
    ("lowpass", 100, (2, 10.0, 12.5), "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=12.5 -> fs/2=6.25)"),
    ("lowpass", 100, (2, 1e30, 1e20),
     "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=100000000000000000000 -> fs/2=50000000000000000000)"),
    ("lowpass", 0, (4, 0.0, 250.0), "filter critical frequencies must be greater than 0"),  # cut-offs checked first
    # A double design whose poles merge with z = 1.
    ("highpass", 100, (2, 1e-30, 250.0), "the filter design for these cut-offs is not usable: a pole lies on or outside the unit circle"),
    # Only part of these texts is fixed.
    ("bandpass", 0, (2, 1.0, 10.0, 100.0), "...pad length"),
    ("bandpass", 100, (2, math.nan, 40.0, 250.0), "...NaN"),
    ("bandpass", 100, (2, 10.0, 40.0, math.nan), "...NaN"),
    ("bandpass", 100, (4, "1", 10.0, 250.0), "...argument 'low_cut': "),
    ("lowpass", 100, (4.0, 10.0, 250.0), "...argument 'order': "),
])
def test_bad_arguments_are_refused(kind, n, args, text):
    with pytest.raises(TypeError if "argument '" in text else ValueError) as info:
        FILTERS[kind]([0.0] * n, *args)
    assert text[3:] in str(info.value) if text.startswith("...") else str(info.value) == text


# Data too long to hold is refused at once, as list() refuses it: MemoryError without text, not the fault exception.
@pytest.mark.parametrize("call", [
    *(lambda data, f=f, kind=kind: f(data, 4, *MID_BAND[kind], 250.0) for kind, f in FILTERS.items()),
    eeg_cap.remove_env_noise,
], ids=[*FILTERS, "mains"])
def test_data_too_long_to_hold_raises_memory_error(call):
    with pytest.raises(MemoryError) as info:
        call(range(10**13))
    assert str(info.value) == ""


INPUT_FORMS = {
    "list": lambda x: x.tolist(), "tuple": lambda x: tuple(x.tolist()), "f64": lambda x: x,
    "f32": lambda x: x.astype(np.float32), "strided": lambda x: np.repeat(x, 2)[::2], "big-endian": lambda x: x.astype(">f8"),
    "numpy-scalars": lambda x: [np.float64(v) for v in x], "memoryview": lambda x: memoryview(x.astype(np.float32)),
    "array-d": lambda x: array.array("d", x), "array-f": lambda x: array.array("f", x),
    "deque": lambda x: collections.deque(x.tolist()), "masked": np.ma.masked_array,
}


@pytest.mark.parametrize("make", INPUT_FORMS.values(), ids=INPUT_FORMS.keys())
def test_order_zero_returns_every_input_form_rounded_to_float32(make):
    # Values that round differently if they were truncated instead of rounded.
    x = np.array([1.0 + 2.0**-24 + 2.0**-30, 0.1, 1e-40, 3.4e38, -1e-46, 2.0**-149 * 0.75, -0.0, 12345.678] * 5)
    assert eeg_cap.apply_band_stop_filter(make(x), 0, 10.0, 20.0, 250.0) == f32(x).tolist()


def sine(freq, fs=250.0, n=2500, amp=1.0):
    return amp * np.sin(2 * np.pi * freq * np.arange(n) / fs)


def mains_reference(data, fs, bands):
    y = np.asarray(data, dtype=np.float64)
    for low, high in bands:
        y = signal.sosfiltfilt(signal.butter(4, [low, high], btype="bandstop", fs=fs, output="sos"), y)
    return y


# A refused setting (of another kind) keeps the previous one whole.
@pytest.mark.parametrize("setting, fs, bands, bad_fs, text", [
    (NoiseTypes.FIFTY, 250.0, [(49.0, 51.0)], 122.0, "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=122 -> fs/2=61)"),
    (NoiseTypes.SIXTY, 500.0, [(59.0, 61.0)], math.nan, "NaN"),
])
def test_mains_setting_applies_its_band_stops_until_a_valid_one(setting, fs, bands, bad_fs, text):
    eeg_cap.set_env_noise_filter_cfg(setting, fs)
    noise = 0.1 * np.random.default_rng(5).standard_normal(2500)
    x = f32(sine(50.0, fs) + sine(60.0, fs) + sine(10.0, fs) + noise)
    got = eeg_cap.remove_env_noise(x)
    np.testing.assert_allclose(got, mains_reference(x, fs, bands), rtol=0, atol=1e-5 * np.max(np.abs(x)))
    with pytest.raises(ValueError) as info:
        eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY_AND_SIXTY, bad_fs)
    assert text in str(info.value)
    assert eeg_cap.remove_env_noise(x) == got


def test_fresh_process_starts_with_both_mains_filters_at_250(fresh_python):
    # A refused setting before any accepted one leaves the initial filters.
    result = fresh_python("""
        import contextlib
        from kx_proto_sdk import NoiseTypes, eeg_cap
        from test_filters import f32, mains_reference, sine
        x = f32(sine(50.0, n=1500) + sine(60.0, n=1500) + sine(7.0, n=1500))
        with contextlib.suppress(ValueError):
            eeg_cap.set_env_noise_filter_cfg(NoiseTypes.SIXTY, 100.0)
        print(abs(eeg_cap.remove_env_noise(x) - mains_reference(x, 250.0, [(49.0, 51.0), (59.0, 61.0)])).max())
        """)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 2e-5

