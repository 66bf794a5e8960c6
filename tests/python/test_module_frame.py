import importlib
import inspect

import pytest

import kx_proto_sdk
from kx_proto_sdk import eeg_cap

MEMBERS = [(module, getattr(module, name)) for module in (kx_proto_sdk, eeg_cap) for name in module.__all__]
CLASSES = [obj for _, obj in MEMBERS if isinstance(obj, type)]
FUNCTIONS = [(module, obj) for module, obj in MEMBERS if callable(obj) and not isinstance(obj, type)]
SIGNATURES = {"MessageParser": "(device_id, msg_type)", "PyTcpClient": "(addr, port)", "EegSignalGain": "(value)"}


def test_module_attributes():
    # __all__ of both modules, in registration order, is checked against the type stubs.
    assert (len(CLASSES), len(FUNCTIONS)) == (12, 15) and (kx_proto_sdk.__doc__, eeg_cap.__doc__) == ("", None)
    for name in ("__version__", "PanicException"):
        assert not hasattr(kx_proto_sdk, name) and not hasattr(eeg_cap, name)
    assert {n for n in vars(eeg_cap) if not n.startswith("__")} == set(eeg_cap.__all__)  # no private helpers
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("kx_proto_sdk.eeg_cap")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_shape(cls):
    name = cls.__name__
    assert (cls.__module__, cls.__qualname__) == ("builtins", name)
    sig = SIGNATURES.get(name)
    assert (cls.__text_signature__, cls.__doc__) == ((sig, "") if sig else (None, None))
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if sig is None:
        with pytest.raises(TypeError) as e:
            cls()
        assert str(e.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("module, fn", FUNCTIONS, ids=lambda x: x.__name__)
def test_functions_belong_to_their_module(module, fn):
    assert (fn.__module__, fn.__self__, fn.__doc__) == (module.__name__, module, None)
    inspect.signature(fn)  # every function has a text signature


def test_imports_failed_repeated_and_from_a_subinterpreter(fresh_python):
    # A failed import is retried whole; a repeated one gives the same module and logs the version once.
    r = fresh_python("""
        import sys
        sys.modules["logging"] = None
        try:
            import kx_proto_sdk
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), str(e).startswith("Failed to initialize python logging"))
        del sys.modules["logging"]
        import logging
        logging.basicConfig(level=logging.INFO, format="%(name)s|%(levelno)s|%(message)s")
        import kx_proto_sdk
        first = kx_proto_sdk
        del sys.modules["kx_proto_sdk"]
        import kx_proto_sdk, _testcapi
        print(first is kx_proto_sdk, kx_proto_sdk.get_bytes(), flush=True)
        _testcapi.run_in_subinterp("try:\\n import kx_proto_sdk\\nexcept ImportError:\\n print('refused')\\n")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["PanicException False True", "True hello_python", "refused"]
    assert "Failed to initialize python logging" in r.stderr  # the fault is also written to stderr
    assert r.stderr.count("kx_proto_sdk version: 0.1.6") == 1
    assert "kx_proto_sdk.python.py_mod|20|kx_proto_sdk version: 0.1.6" in r.stderr
