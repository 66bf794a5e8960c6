import inspect
import sys

import pytest

import kx_proto_sdk
from kx_proto_sdk import eeg_cap

TOP_ALL = ["MsgType", "NoiseTypes", "DownsamplingOperations", "MessageParser", "MessageStream",
           "PyTcpClient", "PyTcpStream", "get_bytes", "eeg_cap"]
EEG_CAP_ALL = ["EegSampleRate", "EegSignalGain", "EegSignalSource", "ImuSampleRate", "WiFiSecurity",
               "mdns_scan", "set_eeg_buffer_cfg", "clear_eeg_buffer", "get_eeg_buffer", "parse_eeg_data",
               "apply_high_pass_filter", "apply_low_pass_filter", "apply_band_pass_filter",
               "apply_band_stop_filter", "apply_downsampling", "set_env_noise_filter_cfg", "remove_env_noise",
               "set_eeg_data_callback", "ecap_set_imu_data_callback"]


def registered(names, module):
    """The names of `names` that the module registers, in the expected order."""
    return [n for n in names if hasattr(module, n)]


def test_all_lists_registered_names_in_order():
    assert kx_proto_sdk.__all__ == registered(TOP_ALL, kx_proto_sdk)
    assert eeg_cap.__all__ == registered(EEG_CAP_ALL, eeg_cap)
    assert set(TOP_ALL[:3]) <= set(kx_proto_sdk.__all__)
    assert eeg_cap.__all__[:5] == EEG_CAP_ALL[:5]


def test_module_attributes():
    assert kx_proto_sdk.__doc__ == ""
    assert eeg_cap.__doc__ is None
    assert not hasattr(kx_proto_sdk, "__version__")
    assert not hasattr(eeg_cap, "__version__")
    assert not hasattr(kx_proto_sdk, "PanicException")
    assert "kx_proto_sdk.eeg_cap" not in sys.modules


def test_import_of_submodule_path_fails(fresh_python):
    r = fresh_python("""
        try:
            import kx_proto_sdk.eeg_cap
        except ModuleNotFoundError:
            print("refused")
        from kx_proto_sdk import eeg_cap
        print(eeg_cap.__name__)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["refused", "eeg_cap"]


def test_second_import_returns_same_module_and_logs_once(fresh_python):
    r = fresh_python("""
        import logging, sys
        logging.basicConfig(level=logging.INFO, format="%(name)s|%(levelno)s|%(message)s")
        import kx_proto_sdk
        first = kx_proto_sdk
        del sys.modules["kx_proto_sdk"]
        import kx_proto_sdk
        print("same" if first is kx_proto_sdk else "different")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "same"
    assert r.stderr.count("kx_proto_sdk version: 0.1.6") == 1
    assert "kx_proto_sdk.python.py_mod|20|kx_proto_sdk version: 0.1.6" in r.stderr


def all_classes():
    names = [n for n in TOP_ALL if isinstance(getattr(kx_proto_sdk, n, None), type)]
    return [getattr(kx_proto_sdk, n) for n in names] + [getattr(eeg_cap, n) for n in EEG_CAP_ALL[:5]]


@pytest.mark.parametrize("cls", all_classes(), ids=lambda c: c.__name__)
def test_class_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [c for c in all_classes() if c.__name__ not in
                                 ("MessageParser", "PyTcpClient", "EegSignalGain")],
                         ids=lambda c: c.__name__)
def test_no_constructor(cls):
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"No constructor defined for {cls.__name__}"


def test_instances_have_no_dict_or_weakref():
    import weakref
    v = kx_proto_sdk.MsgType.Orvel
    with pytest.raises(AttributeError):
        v.extra = 1
    assert not hasattr(v, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(v)


def test_class_docs_and_signatures():
    gain = eeg_cap.EegSignalGain
    assert gain.__text_signature__ == "(value)"
    assert gain.__doc__ == ""
    assert str(inspect.signature(gain)) == "(value)"
    assert kx_proto_sdk.MsgType.__doc__ is None


def test_get_bytes():
    fn = kx_proto_sdk.get_bytes
    assert fn() == "hello_python"
    assert fn.__module__ == "kx_proto_sdk"
    assert fn.__self__ is kx_proto_sdk
    assert fn.__doc__ is None
    assert str(inspect.signature(fn)) == "()"
    with pytest.raises(TypeError):
        fn(1)


def test_eeg_cap_functions_module_and_self():
    fns = [getattr(eeg_cap, n) for n in eeg_cap.__all__[5:]]
    for fn in fns:
        assert fn.__module__ == "eeg_cap"
        assert fn.__self__ is eeg_cap
        inspect.signature(fn)  # every function has a text signature


def test_failed_logging_import_raises_panic_and_next_import_runs_body_again(fresh_python):
    r = fresh_python("""
        import sys
        sys.modules["logging"] = None
        try:
            import kx_proto_sdk
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), str(e).startswith("Failed to initialize python logging"))
        del sys.modules["logging"]
        import kx_proto_sdk
        print(kx_proto_sdk.get_bytes())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[:2] == ["PanicException False True", "hello_python"]
    assert "Failed to initialize python logging" in r.stderr  # the fault is also written to stderr


def test_subinterpreter_import_is_refused(fresh_python):
    r = fresh_python("""
        import kx_proto_sdk, _testcapi
        code = "try:\\n import kx_proto_sdk\\nexcept ImportError:\\n print('refused', flush=True)\\n"
        _testcapi.run_in_subinterp(code)
    """)
    if "No module named '_testcapi'" in r.stderr:
        pytest.skip("no _testcapi")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "refused"
