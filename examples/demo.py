"""A short tour: the enum classes, and a parser fed a few frames by hand."""
import logging
import struct

logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")

import kx_proto_sdk as kx  # noqa: E402
from kx_proto_sdk import eeg_cap  # noqa: E402

print("module exports:", kx.__all__)
for cls in (kx.MsgType, eeg_cap.EegSampleRate, eeg_cap.EegSignalGain):
    variants = [v for v in vars(cls).values() if isinstance(v, cls)]
    print(f"{cls.__name__}:", ", ".join(f"{v}={int(v)}" for v in variants))


def crc16_modbus(data: bytes) -> int:
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def orvel_frame(source: int, destination: int, payload: bytes) -> bytes:
    head = b"QNLR\x02\x0b" + struct.pack("<H", len(payload)) + bytes([source, destination, 0])
    body = head + payload
    return body + struct.pack("<H", crc16_modbus(body))


if hasattr(kx, "MessageParser"):
    parser = kx.MessageParser("demo-cap", kx.MsgType.Orvel)
    # A MainApp message (MCU to App) with msg_id 7, then some junk and a frame with a bad CRC.
    good = orvel_frame(0, 2, bytes([0x08, 0x07]))
    bad = bytearray(orvel_frame(0, 2, bytes([0x08, 0x08])))
    bad[-1] ^= 0xFF
    parser.receive_data(good + b"junk" + bytes(bad))
    parser.receive_data(good[:5])  # a frame split over two chunks
    parser.receive_data(good[5:])
    print("parsed two good frames; the junk and the bad CRC were logged and dropped")
