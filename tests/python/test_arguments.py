"""Argument binding and conversion texts, checked on whichever functions take each kind."""
import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap


def need(obj, name):
    if not hasattr(obj, name):
        pytest.skip(f"{name} not registered")
    return getattr(obj, name)


def raises(exc, text, fn, *args, **kwargs):
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    assert type(e.value) is exc
    assert str(e.value) == text
    return e.value


@pytest.mark.parametrize("name,args,kwargs,text", [
    ("get_eeg_buffer", (1,), {}, "get_eeg_buffer() missing 1 required positional argument: 'clean'"),
    ("get_eeg_buffer", (), {}, "get_eeg_buffer() missing 2 required positional arguments: 'take' and 'clean'"),
    ("apply_band_pass_filter", (), {},
     "apply_band_pass_filter() missing 5 required positional arguments: 'data', 'order', 'low_cut', "
     "'high_cut', and 'fs'"),
    ("apply_downsampling", ([1.0],), {},
     "apply_downsampling() missing 2 required positional arguments: 'window_size' and 'operation'"),
    ("get_eeg_buffer", (1, True, 3), {}, "get_eeg_buffer() takes 2 positional arguments but 3 were given"),
    ("get_eeg_buffer", (1, True), {"take": 1}, "get_eeg_buffer() got multiple values for argument 'take'"),
    ("get_eeg_buffer", (1, True), {"nope": 1}, "get_eeg_buffer() got an unexpected keyword argument 'nope'"),
    ("get_eeg_buffer", (1,), {"clean": 1}, "argument 'clean': 'int' object cannot be converted to 'PyBool'"),
    ("remove_env_noise", ("abc",), {}, "argument 'data': Can't extract `str` to `Vec`"),
    ("remove_env_noise", (5,), {}, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ("remove_env_noise", ([1.0, "x"],), {}, "argument 'data': must be real number, not str"),
    ("parse_eeg_data", (bytearray(108), eeg_cap.EegSignalGain.GAIN_1), {},
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("parse_eeg_data", (bytes(108), 15), {},
     "argument 'gain': 'int' object cannot be converted to 'EegSignalGain'"),
    ("apply_downsampling", ([1.0], 1, kx.NoiseTypes.FIFTY), {},
     "argument 'operation': 'NoiseTypes' object cannot be converted to 'DownsamplingOperations'"),
])
def test_eeg_cap_argument_errors(name, args, kwargs, text):
    raises(TypeError, text, need(eeg_cap, name), *args, **kwargs)


def test_keywords_bind_by_name():
    fn = need(eeg_cap, "apply_downsampling")
    assert fn(operation=kx.DownsamplingOperations.Sum, window_size=2, data=[1.0, 2.0, 3.0, 4.0]) == [3.0, 7.0]


@pytest.mark.parametrize("take,exc", [(-1, OverflowError), ("1", TypeError), (1.0, TypeError)])
def test_unsigned_size_conversion(take, exc):
    fn = need(eeg_cap, "get_eeg_buffer")
    with pytest.raises(exc) as e:
        fn(take, True)
    if exc is TypeError:
        assert str(e.value).startswith("argument 'take': ")
    else:
        assert not str(e.value).startswith("argument")


def test_numpy_bool_is_a_bool():
    np = pytest.importorskip("numpy")
    fn = need(eeg_cap, "get_eeg_buffer")
    assert isinstance(fn(0, np.bool_(False)), list)


def test_message_parser_arguments():
    cls = need(kx, "MessageParser")
    raises(TypeError, "MessageParser.__new__() takes 2 positional arguments but 3 were given",
           cls, "a", kx.MsgType.Orvel, 3)
    raises(TypeError, "MessageParser.__new__() missing 2 required positional arguments: 'device_id' and 'msg_type'",
           cls)
    raises(TypeError, "argument 'device_id': 'bytes' object cannot be converted to 'PyString'",
           cls, b"a", kx.MsgType.Orvel)
    raises(TypeError, "argument 'msg_type': 'int' object cannot be converted to 'MsgType'", cls, "a", 11)
    with pytest.raises(UnicodeEncodeError):
        cls("\udcff", kx.MsgType.Orvel)
    assert cls.__text_signature__ == "(device_id, msg_type)"
    assert cls.__doc__ == ""
    p = cls(msg_type=kx.MsgType.Orvel, device_id="dev")
    raises(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'",
           p.receive_data, bytearray(b"x"))
    assert p.receive_data.__text_signature__ == "($self, data)"


def test_connect_requires_a_parser():
    cls = need(kx, "PyTcpClient")
    client = cls("127.0.0.1", 9)
    raises(TypeError, "argument 'py_parser': 'str' object cannot be converted to 'MessageParser'",
           client.connect, "parser")
