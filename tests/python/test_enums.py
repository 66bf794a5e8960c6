import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

ENUMS = {
    kx.MsgType: [("Varnet", 0), ("Pelvor", 1), ("Strenn", 3), ("StrennV1_5", 4), ("Quibbet", 5),
                 ("QuibbetV2", 6), ("Dornal", 2), ("Kessa", 7), ("VOK", 8), ("Tindle", 9), ("Merrow", 10),
                 ("Orvel", 11), ("Pim", 12), ("Lusk", 13), ("Brannel", 15), ("Zeph", 16)],
    kx.NoiseTypes: [("FIFTY", 0), ("SIXTY", 1), ("FIFTY_AND_SIXTY", 2)],
    kx.DownsamplingOperations: [("Mean", 0), ("Median", 1), ("Max", 2), ("Min", 3), ("Sum", 4), ("First", 5),
                                ("Last", 6), ("Extremes", 7)],
    eeg_cap.EegSampleRate: [("SR_None", 0), ("SR_250Hz", 111), ("SR_500Hz", 95), ("SR_1000Hz", 79),
                            ("SR_2000Hz", 63), ("SR_4000Hz", 47), ("SR_8000Hz", 31), ("SR_16000Hz", 15)],
    eeg_cap.EegSignalGain: [("GAIN_NONE", 0), ("GAIN_1", 15), ("GAIN_2", 31), ("GAIN_4", 47), ("GAIN_6", 63),
                            ("GAIN_8", 79), ("GAIN_12", 95), ("GAIN_24", 111)],
    eeg_cap.EegSignalSource: [("SIGNAL_NONE", 0), ("NORMAL", 15), ("SHORTED", 31), ("MVDD", 63),
                              ("TEST_SIGNAL", 95)],
    eeg_cap.ImuSampleRate: [("SR_NONE", 0), ("SR_50Hz", 1), ("SR_100Hz", 2)],
    eeg_cap.WiFiSecurity: [("SECURITY_NONE", 0), ("SECURITY_OPEN", 1), ("SECURITY_WPA2_AES_PSK", 2),
                           ("SECURITY_WPA2_TKIP_PSK", 3), ("SECURITY_WPA2_MIXED_PSK", 4),
                           ("SECURITY_WPA_WPA2_TKIP_PSK", 5), ("SECURITY_WPA_WPA2_AES_PSK", 6),
                           ("SECURITY_WPA_WPA2_MIXED_PSK", 7), ("SECURITY_WPA3_AES_PSK", 8),
                           ("SECURITY_WPA2_WPA3_MIXED", 9)],
}
CASES = [(cls, name, code) for cls, variants in ENUMS.items() for name, code in variants]


@pytest.mark.parametrize("cls", ENUMS, ids=lambda c: c.__name__)
def test_variants_in_declaration_order(cls):
    declared = [k for k, v in vars(cls).items() if isinstance(v, cls)]
    assert declared == [name for name, _ in ENUMS[cls]]


@pytest.mark.parametrize("cls,name,code", CASES, ids=lambda x: getattr(x, "__name__", str(x)))
def test_variant_text_int_and_identity(cls, name, code):
    v = getattr(cls, name)
    assert v is getattr(cls, name)
    assert int(v) == code
    assert repr(v) == str(v) == f"{cls.__name__}.{name}" == f"{v}" == format(v)
    assert v == code and code == v and not (v != code)
    assert bool(v) is True


def test_equality_rules():
    sr, gain = eeg_cap.EegSampleRate, eeg_cap.EegSignalGain
    assert sr.SR_250Hz == sr.SR_250Hz and not (sr.SR_250Hz != sr.SR_250Hz)
    assert sr.SR_250Hz != sr.SR_500Hz
    assert not (sr.SR_250Hz == gain.GAIN_24)  # same code, other class
    assert sr.SR_250Hz != gain.GAIN_24
    assert not (sr.SR_250Hz == 111.0)
    assert gain.GAIN_1 != 271 and not (gain.GAIN_1 == 271)  # no reduction modulo 256
    assert eeg_cap.ImuSampleRate.SR_50Hz == True  # noqa: E712
    assert kx.MsgType.Orvel == 11 and 11 == kx.MsgType.Orvel
    assert kx.MsgType.Varnet != -256 and kx.MsgType.Varnet != "0" and kx.MsgType.Varnet != None  # noqa: E711

    class Index:
        def __index__(self):
            return 11

    class Bad:
        def __index__(self):
            raise ValueError("not an index")

    assert kx.MsgType.Orvel == Index()
    assert kx.MsgType.Orvel != Bad()  # the conversion error is discarded


def test_no_code_14():
    assert all(int(v) != 14 for k, v in vars(kx.MsgType).items() if isinstance(v, kx.MsgType))


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_raises(op):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": eeg_cap.EegSampleRate.SR_16000Hz, "b": eeg_cap.EegSampleRate.SR_250Hz})


def test_unhashable_and_no_extras():
    with pytest.raises(TypeError):
        hash(kx.NoiseTypes.FIFTY)
    with pytest.raises(TypeError):
        {kx.NoiseTypes.FIFTY}
    v = kx.NoiseTypes.FIFTY
    for attr in ("name", "value", "__index__", "__bool__", "__hash__"):
        assert getattr(v, attr, None) is None
    with pytest.raises(TypeError):
        list(kx.NoiseTypes)
    with pytest.raises(TypeError):
        [1, 2][kx.NoiseTypes.SIXTY]


@pytest.mark.parametrize("value,code", [(271, 15), (-241, 15), (16, 0), (15, 15), (111, 111), (0, 0),
                                        (-1, 0), (2147483647, 0), (-2147483648, 0), (True, 0), (367, 111)])
def test_signal_gain_constructor(value, code):
    g = eeg_cap.EegSignalGain(value)
    assert int(g) == code
    assert g == eeg_cap.EegSignalGain(value=value)
    assert g is not eeg_cap.EegSignalGain.GAIN_1


@pytest.mark.parametrize("args,kwargs,exc,text", [
    ((2147483648,), {}, OverflowError, "out of range integral type conversion attempted"),
    ((-2147483649,), {}, OverflowError, "out of range integral type conversion attempted"),
    (("1",), {}, TypeError, "argument 'value': "),
    ((1.5,), {}, TypeError, "argument 'value': "),
    ((), {}, TypeError, "EegSignalGain.__new__() missing 1 required positional argument: 'value'"),
    ((1, 2), {}, TypeError, "EegSignalGain.__new__() takes 1 positional arguments but 2 were given"),
    ((1,), {"value": 1}, TypeError, "EegSignalGain.__new__() got multiple values for argument 'value'"),
    ((), {"val": 1}, TypeError, "EegSignalGain.__new__() got an unexpected keyword argument 'val'"),
])
def test_signal_gain_constructor_errors(args, kwargs, exc, text):
    with pytest.raises(exc) as e:
        eeg_cap.EegSignalGain(*args, **kwargs)
    assert type(e.value) is exc
    assert str(e.value).startswith(text)


def test_signal_gain_huge_int_is_interpreter_overflow():
    with pytest.raises(OverflowError):
        eeg_cap.EegSignalGain(1 << 70)
