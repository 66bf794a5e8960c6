import weakref

import numpy as np
import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

RANGE = "out of range integral type conversion attempted"
# Variants in declaration order, as name=code.
ENUMS = {
    kx.MsgType: "Varnet=0 Pelvor=1 Strenn=3 StrennV1_5=4 Quibbet=5 QuibbetV2=6 Dornal=2 Kessa=7 VOK=8 Tindle=9 "
                "Merrow=10 Orvel=11 Pim=12 Lusk=13 Brannel=15 Zeph=16",
    kx.NoiseTypes: "FIFTY=0 SIXTY=1 FIFTY_AND_SIXTY=2",
    kx.DownsamplingOperations: "Mean=0 Median=1 Max=2 Min=3 Sum=4 First=5 Last=6 Extremes=7",
    eeg_cap.EegSampleRate: "SR_None=0 SR_250Hz=111 SR_500Hz=95 SR_1000Hz=79 SR_2000Hz=63 SR_4000Hz=47 SR_8000Hz=31 "
                           "SR_16000Hz=15",
    eeg_cap.EegSignalGain: "GAIN_NONE=0 GAIN_1=15 GAIN_2=31 GAIN_4=47 GAIN_6=63 GAIN_8=79 GAIN_12=95 GAIN_24=111",
    eeg_cap.EegSignalSource: "SIGNAL_NONE=0 NORMAL=15 SHORTED=31 MVDD=63 TEST_SIGNAL=95",
    eeg_cap.ImuSampleRate: "SR_NONE=0 SR_50Hz=1 SR_100Hz=2",
    eeg_cap.WiFiSecurity: "SECURITY_NONE=0 SECURITY_OPEN=1 SECURITY_WPA2_AES_PSK=2 SECURITY_WPA2_TKIP_PSK=3 "
                          "SECURITY_WPA2_MIXED_PSK=4 SECURITY_WPA_WPA2_TKIP_PSK=5 SECURITY_WPA_WPA2_AES_PSK=6 "
                          "SECURITY_WPA_WPA2_MIXED_PSK=7 SECURITY_WPA3_AES_PSK=8 SECURITY_WPA2_WPA3_MIXED=9",
}


@pytest.mark.parametrize("cls", ENUMS, ids=lambda c: c.__name__)
def test_variants_in_declaration_order_with_text_code_and_equality(cls):
    declared = [(name, v) for name, v in vars(cls).items() if isinstance(v, cls)]
    assert [f"{name}={int(v)}" for name, v in declared] == ENUMS[cls].split()
    for name, v in declared:
        assert repr(v) == str(v) == format(v) == f"{v}" == f"{cls.__name__}.{name}"
        assert getattr(cls, name) is getattr(cls, name) and bool(v) is True
        assert v == int(v) and int(v) == v and not (v != int(v))
    with pytest.raises(AttributeError):  # no instance dict or weak references
        v.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(v)


def test_equality_rules():
    sr, gain = eeg_cap.EegSampleRate, eeg_cap.EegSignalGain
    assert sr.SR_250Hz == sr.SR_250Hz and not (sr.SR_250Hz != sr.SR_250Hz) and sr.SR_250Hz != sr.SR_500Hz
    assert not (sr.SR_250Hz == gain.GAIN_24) and sr.SR_250Hz != gain.GAIN_24  # same code, other class
    assert not (sr.SR_250Hz == 111.0)
    assert gain.GAIN_1 != 271 and not (gain.GAIN_1 == 271)  # no reduction modulo 256
    assert eeg_cap.ImuSampleRate.SR_50Hz == True  # noqa: E712
    assert kx.MsgType.Varnet != -256 and kx.MsgType.Varnet != "0" and kx.MsgType.Varnet != None  # noqa: E711
    assert kx.MsgType.Orvel == np.uint8(11)  # read through __index__


def test_no_ordering_hash_or_extras():
    a, b = eeg_cap.EegSampleRate.SR_16000Hz, eeg_cap.EegSampleRate.SR_250Hz
    for call in (lambda: a < b, lambda: a <= b, lambda: a > b, lambda: a >= b, lambda: hash(a), lambda: {a},
                 lambda: list(kx.NoiseTypes), lambda: [1, 2][kx.NoiseTypes.SIXTY]):
        with pytest.raises(TypeError):
            call()
    assert not hasattr(a, "name") and not hasattr(a, "value")


@pytest.mark.parametrize("value,code", [(271, 15), (-241, 15), (16, 0), (15, 15), (111, 111), (0, 0),
                                        (-1, 0), (2147483647, 0), (-2147483648, 0), (True, 0), (367, 111)])
def test_signal_gain_constructor_keeps_known_low_bytes(value, code):
    g = eeg_cap.EegSignalGain(value)
    assert int(g) == code and g == eeg_cap.EegSignalGain(value=value) and g is not eeg_cap.EegSignalGain.GAIN_1


@pytest.mark.parametrize("args,exc,text", [
    ((2147483648,), OverflowError, RANGE), ((-2147483649,), OverflowError, RANGE),
    ((1 << 70,), OverflowError, ""),  # the interpreter's own text
    (("1",), TypeError, "argument 'value': "),
    ((), TypeError, "EegSignalGain.__new__() missing 1 required positional argument: 'value'"),
])
def test_signal_gain_constructor_errors(args, exc, text):
    with pytest.raises(exc) as e:
        eeg_cap.EegSignalGain(*args)
    assert type(e.value) is exc and str(e.value).startswith(text)
