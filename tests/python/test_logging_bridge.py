"""Records reach Python logging; each case runs in a fresh interpreter because the
per-target logger cache is process-wide and never refreshed."""
import pytest

PRELUDE = """
import logging, logging.handlers
capture = logging.handlers.BufferingHandler(10 ** 6)
records = capture.buffer
root, lg = logging.getLogger(), logging.getLogger("kx_proto_sdk.python.py_mod")
"""

CASES = {
    # The Info record of get_bytes is dropped at ERROR though Info is cached: isEnabledFor decides.
    "configured-before-import": ("""
root.setLevel(logging.INFO)
root.addHandler(capture)
import kx_proto_sdk
kx_proto_sdk.get_bytes()
lg.setLevel(logging.ERROR)
kx_proto_sdk.get_bytes()
for rec in records:
    print(rec.name, rec.levelno, rec.pathname, rec.lineno, rec.getMessage(), rec.args, rec.funcName, sep="|")
""", "kx_proto_sdk.python.py_mod|20|src/python/py_mod|22|kx_proto_sdk version: 0.1.6|()|None\n"
     "kx_proto_sdk.python.py_mod|20|src/python/py_mod|85|data len: 108|()|None", ("Traceback", 0)),
    # Root at WARNING during import caches Warn: a later INFO setting does not reopen the target.
    "unconfigured-at-import-caches-warn": ("""
root.addHandler(capture)
import kx_proto_sdk
root.setLevel(logging.INFO)
kx_proto_sdk.get_bytes()
print(len(records))
""", "0", ("Traceback", 0)),
    # A logger disabled at its first record caches Off: Python is never asked again. Debug
    # records reach a DEBUG logger with level number 10.
    "disabled-logger-caches-off-debug-reaches-debug": ("""
root.setLevel(logging.DEBUG)
root.addHandler(capture)
lg.setLevel(logging.CRITICAL + 1)
import kx_proto_sdk
kx_proto_sdk.MessageParser("dev", kx_proto_sdk.MsgType.Orvel)
lg.setLevel(logging.DEBUG)
lg.isEnabledFor = None  # a call would print a TypeError
kx_proto_sdk.get_bytes()
print(sorted({(r.name, r.levelno) for r in records}))
""", "[('kx_proto_sdk.proto.msg_parser', 10)]", ("Traceback", 0)),
    # A failing record is dropped whole: one traceback each, and no cache probe after it.
    "raising-handle-is-printed-once-per-record": ("""
root.setLevel(logging.INFO)
def bad_handle(record):
    raise ValueError("handle failed")
lg.handle = bad_handle
import kx_proto_sdk
print(kx_proto_sdk.get_bytes())
""", "hello_python", ("ValueError: handle failed", 2)),
    "raising-isEnabledFor-is-printed-once-per-record": ("""
calls = []
def bad_is_enabled_for(level):
    calls.append(level)
    raise ValueError("isEnabledFor failed")
lg.isEnabledFor = bad_is_enabled_for
import kx_proto_sdk
print(kx_proto_sdk.get_bytes(), calls)
""", "hello_python [20, 20]", ("ValueError: isEnabledFor failed", 2)),
}


@pytest.mark.parametrize("case", CASES)
def test_records_reach_python_logging(fresh_python, case):
    code, stdout, printed = CASES[case]
    r = fresh_python(PRELUDE + code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == stdout
    assert r.stderr.count(printed[0]) == printed[1], r.stderr  # (text, times printed to standard error)
