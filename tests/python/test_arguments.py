"""Argument binding and conversion texts, checked on whichever functions take each kind."""
import numpy as np
import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

Parser = kx.MessageParser
Orvel = kx.MsgType.Orvel


@pytest.mark.parametrize("fn,args,kwargs,exc,text", [
    (eeg_cap.get_eeg_buffer, (), {}, TypeError,
     "get_eeg_buffer() missing 2 required positional arguments: 'take' and 'clean'"),
    (eeg_cap.apply_band_pass_filter, (), {}, TypeError,
     "apply_band_pass_filter() missing 5 required positional arguments: 'data', 'order', 'low_cut', "
     "'high_cut', and 'fs'"),
    (eeg_cap.get_eeg_buffer, (1, True, 3), {}, TypeError,
     "get_eeg_buffer() takes 2 positional arguments but 3 were given"),
    (Parser, ("a", Orvel, 3), {}, TypeError, "MessageParser.__new__() takes 2 positional arguments but 3 were given"),
    (eeg_cap.get_eeg_buffer, (1, True), {"take": 1}, TypeError,
     "get_eeg_buffer() got multiple values for argument 'take'"),
    # The whole keyword name counts, not the part before an embedded NUL.
    (eeg_cap.get_eeg_buffer, (0,), {"clean\x00junk": False}, TypeError,
     "get_eeg_buffer() got an unexpected keyword argument 'clean\x00junk'"),
    (eeg_cap.get_eeg_buffer, (1,), {"clean": 1}, TypeError,
     "argument 'clean': 'int' object cannot be converted to 'PyBool'"),
    (eeg_cap.get_eeg_buffer, ("1", True), {}, TypeError,
     "argument 'take': 'str' object cannot be interpreted as an integer"),
    (eeg_cap.remove_env_noise, ("abc",), {}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (eeg_cap.remove_env_noise, (5,), {}, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    (eeg_cap.remove_env_noise, ([1.0, "x"],), {}, TypeError, "argument 'data': must be real number, not str"),
    # One channel only: a 2-D array or a list of rows is refused, never flattened.
    (eeg_cap.apply_band_pass_filter, (np.zeros((100, 8)), 4, 8.0, 12.0, 250.0), {}, TypeError,
     "argument 'data': only length-1 arrays can be converted to Python scalars"),
    (eeg_cap.apply_downsampling, ([[1.0, 2.0]] * 4, 2, kx.DownsamplingOperations.Mean), {}, TypeError,
     "argument 'data': must be real number, not list"),
    (eeg_cap.apply_downsampling, ([1.0], 1, kx.NoiseTypes.FIFTY), {}, TypeError,
     "argument 'operation': 'NoiseTypes' object cannot be converted to 'DownsamplingOperations'"),
    (Parser, (b"a", Orvel), {}, TypeError, "argument 'device_id': 'bytes' object cannot be converted to 'PyString'"),
    (Parser, ("a", 11), {}, TypeError, "argument 'msg_type': 'int' object cannot be converted to 'MsgType'"),
    (Parser, ("\udcff", Orvel), {}, UnicodeEncodeError, None),  # raised unchanged, not prefixed
])
def test_argument_errors(fn, args, kwargs, exc, text):
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    assert type(e.value) is exc
    assert text is None or str(e.value) == text


def test_keywords_bind_by_name():
    assert eeg_cap.apply_downsampling(operation=kx.DownsamplingOperations.Sum, window_size=2,
                                      data=[1.0, 2.0, 3.0, 4.0]) == [3.0, 7.0]
    assert Parser(msg_type=Orvel, device_id="dev").receive_data.__text_signature__ == "($self, data)"
