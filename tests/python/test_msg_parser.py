"""MessageParser.receive_data as Python sees it: the records it logs for each kind of input, to handlers that re-enter it."""
# Frame scanning boundaries are checked in C++ under sanitizers. Each case runs in a fresh
# interpreter: the bridge caches each logger's level once.
import json
import struct

import pytest

from support import frames

PRELUDE = """
import json, logging
records, borrow_errors = [], []
class Capture(logging.Handler):
    def emit(self, record):
        records.append((record.name, record.levelno, record.getMessage(), record.pathname, record.lineno))
        try:  # re-entering the parser that logs
            p.receive_data(b"x")
        except NameError:  # no parser yet
            pass
        except RuntimeError as e:
            borrow_errors.append(str(e))
logging.getLogger().setLevel(logging.DEBUG)
logging.getLogger().addHandler(Capture())
import kx_proto_sdk as kx
"""

PARSER = "kx_proto_sdk.proto.msg_parser"
ENUMS = "kx_proto_sdk.proto.enums"


def pelvor_frame(payload: bytes) -> bytes:
    body = b"QNLR\x01\x01" + struct.pack("<H", len(payload)) + payload
    return body + struct.pack("<H", frames.crc16_modbus(body))


GOOD = frames.MainApp(msg_id=3, config=(111, 111, 15), samples=[frames.EegSample(1, bytes(108))]).frame()
BAD_CRC = GOOD[:-1] + b"\x00"  # the stored CRC shows its leading zeros
BIG_HEAD = frames.frame(bytes(8179))[:8000]
CRC_TEXT = "CRC16 verification failed, expected: {:04X}, calculated: {:04X}".format(
    struct.unpack("<H", BAD_CRC[-2:])[0], frames.crc16_modbus(BAD_CRC[:-2]))
# Direction by (source, destination) module ids.
DIRECTIONS = {"AppDongle": (2, 1), "BleApp": (1, 2), "AppMain": (2, 0), "MainApp": (0, 2)}
# (message, payload, description, path): the type path of each direction and paths of several
# depths; the catalogue of descriptions and paths is checked on the decoder itself.
DECODE_ERRORS = [
    ("MainApp", b"\x0a", "invalid wire type: LengthDelimited (expected Varint)", [("MainApp", "msg_id")]),
    ("AppDongle", b"\x00", "invalid tag value: 0", []),
    ("BleApp", frames.field_bytes(3, frames.field_bytes(1, b"\xff\xfe")),
     "invalid string value: data is not UTF-8 encoded", [("DeviceInfo", "model"), ("BleApp", "device_info")]),
    ("AppMain", bytes([0x1A, 0x02, 0x08, 0x96, 0x01]), "delimited length exceeded", [("AppMain", "eeg")]),
    ("AppDongle", frames.field_bytes(5, frames.field_bytes(2, b"\x0d\x00")),
     "invalid wire type: ThirtyTwoBit (expected Varint)",
     [("OtaData", "offset"), ("OtaConfig", "ota_data"), ("AppDongle", "ota_cfg")]),
]


def decode_error_records():
    for msg, payload, description, path in DECODE_ERRORS:
        stack = ", ".join(f'("{m}", "{f}")' for m, f in path)
        yield (ENUMS, 40, f"Decoding error for type kx_proto_sdk::generated::eeg_cap_proto::{msg}: "
                          f"[{', '.join(map(str, payload))}]")
        yield (PARSER, 40, "Failed to parse message, error: DecodingError(DecodeError { "
                           f'description: "{description}", stack: [{stack}] }})')


# The debug record of each parser's construction.
DIALECTS = {
    "Orvel": "ParserType: Orvel, Project ID: 0xb, Header version: 2, header_prefix: [81, 78, 76, 82, 2, 11]",
    "Pelvor": "ParserType: Pelvor, Project ID: 0x1, Header version: 1, header_prefix: [81, 78, 76, 82, 1, 1]",
    "Varnet": "ParserType: Varnet, Project ID: 0x0, Header version: 0, header_prefix: [81, 78, 76, 82, 0, 0]",
    "Merrow": "ParserType: Merrow, Project ID: 0xa, Header version: 0, header_prefix: [81, 110, 76, 86]",
}
# (name, parser family, chunks, expected (logger, level, message) records after construction)
CASES = [
    ("construction only", "Merrow", [], []),
    ("empty chunk keeps the buffer", "Orvel", [GOOD[:20], b"", GOOD[20:]], [(PARSER, 40, "Data should not be empty")]),
    ("bytearray refused, buffer kept", "Orvel", [GOOD[:30], bytearray(b"QNLR"), GOOD[30:]], []),
    ("junk only, losing a prefix that straddles the next chunk", "Orvel", [b"z" * 12 + GOOD[:3], GOOD[3:]],
     [(PARSER, 30, "Proto header is mismatch, drop the message, buffer: [" + ", ".join(map(str, b"z" * 12 + GOOD[:3])) + "]"),
      (PARSER, 30, "header_prefix: [81, 78, 76, 82, 2, 11]"),
      (PARSER, 30, "Proto header is mismatch, drop the message, buffer: [" + ", ".join(map(str, GOOD[3:])) + "]"),
      (PARSER, 30, "header_prefix: [81, 78, 76, 82, 2, 11]")]),
    ("crc error then valid frame", "Orvel", [BAD_CRC + GOOD],
     [(PARSER, 40, CRC_TEXT), (PARSER, 40, "CRC verification failed")]),
    ("invalid module pair", "Orvel", [frames.frame(b"", 0, 1)],
     [(PARSER, 40, "Failed to parse message, error: InvalidModule(Orvel, 0, 1)")]),
    ("other family frame", "Pelvor", [pelvor_frame(b"\x01\x02\x03")],
     [(PARSER, 40, "Failed to parse message, error: UnknownProtoType(Pelvor)")]),
    ("varnet prefixes, each dropped alone", "Varnet", [b"QNLR\x00\x00" * 2 + b"\x00\x04abcd"],
     [(PARSER, 40, "Failed to parse message, error: UnknownProtoType(Varnet)")] * 2),
    ("overflow", "Orvel", [BIG_HEAD, bytes(500)], [(PARSER, 40, "Buffer is out of space. (BUFFER_MAX_SIZE = 8192)")]),
    ("header one byte short after junk", "Orvel", [b"\x00" * 5 + GOOD[:10], GOOD[10:]],
     [(PARSER, 30, "Found header at index: 5, unexpected_data: [0, 0, 0, 0, 0]"),
      (PARSER, 40, "Failed to calculate expected length, buffer: [" + ", ".join(map(str, GOOD[:10])) + "]"),
      (PARSER, 30, "Proto header is mismatch, drop the message, buffer: [" + ", ".join(map(str, GOOD[10:])) + "]"),
      (PARSER, 30, "header_prefix: [81, 78, 76, 82, 2, 11]")]),
    ("decoding errors", "Orvel", [frames.frame(payload, *DIRECTIONS[msg]) for msg, payload, _, _ in DECODE_ERRORS],
     list(decode_error_records())),
]


@pytest.mark.parametrize("name,family,chunks,expected", CASES, ids=[c[0] for c in CASES])
def test_records_of_receive_data(fresh_python, name, family, chunks, expected):
    r = fresh_python(PRELUDE + f"""
del records[:]  # the import's own record
p = kx.MessageParser("cap-1", kx.MsgType.{family})
results = []
for c in {chunks!r}:
    try:
        results.append(p.receive_data(c))
    except TypeError as e:
        results.append(str(e))
print(json.dumps([records, results, borrow_errors]))
""")
    assert r.returncode == 0, r.stderr
    records, results, borrow_errors = json.loads(r.stdout)
    assert [tuple(x[:3]) for x in records] == [(PARSER, 10, DIALECTS[family])] + expected
    assert borrow_errors == ["Already borrowed"] * len(expected)
    assert results == [None if isinstance(c, bytes) else
                                   "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'" for c in chunks]
    # The dispatch's record carries a fixed source position.
    assert all(tuple(x[3:]) == ("src/proto/enums", 115) for x in records if x[0] == ENUMS)
