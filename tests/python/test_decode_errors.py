"""Decoding errors of Orvel payloads as Python's logging sees them: the type path
and payload record of the dispatch, then the parser's record with the error's
debug text (description and path of (message, field) pairs, innermost first)."""
import json
import os

from support import frames

ENUMS = "kx_proto_sdk.proto.enums"
PARSER = "kx_proto_sdk.proto.msg_parser"
TYPE_PATH = "kx_proto_sdk::generated::eeg_cap_proto::"

# Direction by (source, destination) module ids.
DIRECTIONS = {"AppDongle": (2, 1), "BleApp": (1, 2), "AppMain": (2, 0), "MainApp": (0, 2)}


def ld(tag: int, body: bytes) -> bytes:
    return frames.field_bytes(tag, body)


# (message, payload, description, path)
CASES = [
    ("MainApp", b"\x0a", "invalid wire type: LengthDelimited (expected Varint)", [("MainApp", "msg_id")]),
    ("AppDongle", b"\x00", "invalid tag value: 0", []),
    ("BleApp", b"\x0f", "invalid wire type value: 7", []),
    ("AppMain", b"\x7c", "unexpected end group tag", []),
    ("MainApp", b"\x80\x80\x80\x80\x10", "invalid key value: 4294967296", []),
    ("MainApp", b"\x08", "invalid varint", [("MainApp", "msg_id")]),
    ("BleApp", ld(3, ld(1, b"\xff\xfe")), "invalid string value: data is not UTF-8 encoded",
     [("DeviceInfo", "model"), ("BleApp", "device_info")]),
    ("MainApp", bytes([0x22, 0x05, 0x12, 0x03, 0x0A, 0x01, 0x15, 0xAA, 0xBB, 0xCC]), "buffer underflow",
     [("ImuValue", "cord_x"), ("ImuData", "accel"), ("ImuAcqResponse", "data"), ("MainApp", "imu")]),
    ("AppMain", bytes([0x1A, 0x02, 0x08, 0x96, 0x01]), "delimited length exceeded", [("AppMain", "eeg")]),
    ("AppDongle", bytes([0x9B, 0x06]) * 101, "recursion limit reached", []),
    ("AppDongle", ld(5, ld(2, b"\x0d\x00")), "invalid wire type: ThirtyTwoBit (expected Varint)",
     [("OtaData", "offset"), ("OtaConfig", "ota_data"), ("AppDongle", "ota_cfg")]),
]


def debug_text(description, path):
    stack = ", ".join(f'("{m}", "{f}")' for m, f in path)
    return f'DecodingError(DecodeError {{ description: "{description}", stack: [{stack}] }})'


def test_each_undecodable_payload_logs_type_path_and_decode_error(fresh_python):
    chunks = [frames.frame(payload, *DIRECTIONS[msg]) for msg, payload, _, _ in CASES]
    support = os.path.dirname(os.path.abspath(__file__))
    r = fresh_python(f"""
import json, logging, sys
sys.path.insert(0, {support!r})
records = []
class Capture(logging.Handler):
    def emit(self, record):
        records.append((record.name, record.levelno, record.getMessage()))
logging.getLogger().setLevel(logging.DEBUG)
logging.getLogger().addHandler(Capture())
import kx_proto_sdk as kx
p = kx.MessageParser("cap-1", kx.MsgType.Orvel)
del records[:]
for c in {chunks!r}:
    p.receive_data(c)
print(json.dumps(records))
""")
    assert r.returncode == 0, r.stderr
    records = [tuple(x) for x in json.loads(r.stdout)]
    expected = []
    for msg, payload, description, path in CASES:
        expected.append((ENUMS, 40, f"Decoding error for type {TYPE_PATH}{msg}: [{', '.join(map(str, payload))}]"))
        expected.append((PARSER, 40, "Failed to parse message, error: " + debug_text(description, path)))
    assert records == expected
