"""Records reach Python logging; each case runs in a fresh interpreter because the
per-target logger cache is process-wide and never refreshed."""
import pytest

CAPTURE = """
import logging
records = []
class Capture(logging.Handler):
    def emit(self, record):
        records.append(record)
"""


def run(fresh_python, code):
    r = fresh_python(CAPTURE + code)
    assert r.returncode == 0, r.stderr
    return r


def test_configured_before_import_delivers_info_records(fresh_python):
    r = run(fresh_python, """
logging.getLogger().setLevel(logging.INFO)
logging.getLogger().addHandler(Capture())
import kx_proto_sdk
kx_proto_sdk.get_bytes()
for rec in records:
    print(rec.name, rec.levelno, rec.pathname, rec.lineno, rec.getMessage(), rec.args, rec.funcName, sep="|")
""")
    assert r.stdout.splitlines() == [
        "kx_proto_sdk.python.py_mod|20|src/python/py_mod|22|kx_proto_sdk version: 0.1.6|()|None",
        "kx_proto_sdk.python.py_mod|20|src/python/py_mod|85|data len: 108|()|None",
    ]


def test_unconfigured_at_import_caches_warn(fresh_python):
    r = run(fresh_python, """
logging.getLogger().addHandler(Capture())
import kx_proto_sdk
logging.getLogger().setLevel(logging.INFO)
kx_proto_sdk.get_bytes()
print(len(records))
""")
    assert r.stdout.strip() == "0"


def test_disabled_logger_caches_off_and_is_never_called_again(fresh_python):
    r = run(fresh_python, """
logging.getLogger().setLevel(logging.DEBUG)
logging.getLogger().addHandler(Capture())
lg = logging.getLogger("kx_proto_sdk.python.py_mod")
lg.setLevel(logging.CRITICAL + 1)
import kx_proto_sdk
lg.setLevel(logging.DEBUG)
calls = []
orig = lg.isEnabledFor
lg.isEnabledFor = lambda level: calls.append(level) or orig(level)
kx_proto_sdk.get_bytes()
print(len(records), len(calls))
""")
    assert r.stdout.strip() == "0 0"


def test_cached_level_still_consults_is_enabled_for(fresh_python):
    r = run(fresh_python, """
logging.getLogger().setLevel(logging.INFO)
logging.getLogger().addHandler(Capture())
import kx_proto_sdk
lg = logging.getLogger("kx_proto_sdk.python.py_mod")
lg.setLevel(logging.ERROR)
kx_proto_sdk.get_bytes()
print(len(records))
lg.setLevel(logging.INFO)
kx_proto_sdk.get_bytes()
print(len(records))
""")
    assert r.stdout.split() == ["1", "2"]


def test_raising_handler_is_printed_and_call_goes_on(fresh_python):
    r = run(fresh_python, """
class Boom(logging.Handler):
    def emit(self, record):
        raise RuntimeError("handler exploded")
logging.getLogger().setLevel(logging.INFO)
logging.getLogger().addHandler(Boom())
logging.raiseExceptions = True
import kx_proto_sdk
print(kx_proto_sdk.get_bytes())
""")
    assert r.stdout.strip() == "hello_python"


def test_handler_raising_from_handle_is_printed(fresh_python):
    r = run(fresh_python, """
logging.getLogger().setLevel(logging.INFO)
lg = logging.getLogger("kx_proto_sdk.python.py_mod")
def bad_handle(record):
    raise ValueError("handle failed")
lg.handle = bad_handle
import kx_proto_sdk
print(kx_proto_sdk.get_bytes())
""")
    assert r.stdout.strip() == "hello_python"
    assert "ValueError: handle failed" in r.stderr


@pytest.mark.parametrize("level,expected", [("DEBUG", "10"), ("INFO", "")])
def test_debug_records_reach_debug_loggers(fresh_python, level, expected):
    r = run(fresh_python, f"""
logging.getLogger().setLevel(logging.{level})
logging.getLogger().addHandler(Capture())
import kx_proto_sdk
if not hasattr(kx_proto_sdk, "MessageParser"):
    print("skip")
else:
    kx_proto_sdk.MessageParser("dev", kx_proto_sdk.MsgType.Orvel)
    print(" ".join(str(r.levelno) for r in records if r.name == "kx_proto_sdk.proto.msg_parser"))
    assert all(r.levelno != 5 for r in records)
""")
    if r.stdout.strip() == "skip":
        pytest.skip("MessageParser not registered")
    assert r.stdout.strip() == expected
