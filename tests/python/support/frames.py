# Independent encoder of the EEG cap's wire format, written from the protocol description and not
# from the module's code: CRC-16/MODBUS, header-version-2 frames, the AppMain commands the module
# sends, the MainApp messages the device sends, and the rows the EEG buffer gives for them.
from __future__ import annotations

import collections
import struct
from dataclasses import dataclass, field

import numpy as np

MODULE_MCU, MODULE_APP = 0, 2
ACQ_CFG_SET, ACQ_CFG_GET, ACQ_ENABLE, ACQ_DISABLE = 1, 2, 3, 4
EEG, IMU = 3, 4  # AppMain fields of the two acquisition requests


def _crc16_bits(crc: int) -> int:
    # Eight steps of the reflected CRC-16/MODBUS polynomial.
    for _ in range(8):
        crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


_CRC16_TABLE = [_crc16_bits(byte) for byte in range(256)]  # byte-wise: multi-megabyte captures stay quick


def crc16_modbus(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc = (crc >> 8) ^ _CRC16_TABLE[(crc ^ byte) & 0xFF]
    return crc


def varint(value: int) -> bytes:
    value &= (1 << 64) - 1  # negative enums travel as 10-byte two's complement
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def field_varint(tag: int, value: int) -> bytes:
    return b"" if value == 0 else varint(tag << 3) + varint(value)


def field_bytes(tag: int, payload: bytes) -> bytes:
    return varint((tag << 3) | 2) + varint(len(payload)) + payload


def varint_fields(values) -> bytes:
    return b"".join(field_varint(i + 1, v) for i, v in enumerate(values))


def frame(payload: bytes, src: int = MODULE_MCU, dst: int = MODULE_APP) -> bytes:
    body = b"QNLR\x02\x0b" + struct.pack("<H", len(payload)) + bytes([src, dst, 0]) + payload
    return body + struct.pack("<H", crc16_modbus(body))


def split_frames(buf: bytearray) -> list[bytes]:
    # Cuts the complete frames off the front of `buf`; returns their payloads.
    payloads = []
    while (start := buf.find(b"QNLR\x02\x0b")) >= 0 and len(buf) >= start + 8:
        end = start + 13 + int.from_bytes(buf[start + 6:start + 8], "little")
        if len(buf) < end:
            break
        payloads.append(bytes(buf[start + 11:end - 2]))
        del buf[:end]
    return payloads


def read_varint(buf: bytes, pos: int) -> tuple[int, int]:
    size = next(i for i, byte in enumerate(buf[pos:]) if byte < 0x80) + 1
    return sum((byte & 0x7F) << 7 * i for i, byte in enumerate(buf[pos:pos + size])), pos + size


def decode_fields(buf: bytes) -> dict[int, int | bytes]:
    # The last value of each field: varints as ints, length-delimited fields as bytes.
    fields, pos = {}, 0
    while pos < len(buf):
        key, pos = read_varint(buf, pos)
        fields[key >> 3], pos = read_varint(buf, pos)
        if key & 7 == 2:
            fields[key >> 3], pos = buf[pos:pos + fields[key >> 3]], pos + fields[key >> 3]
    return fields


Command = collections.namedtuple("Command", "msg_id target cmd")  # target: EEG, IMU or None


def decode_command(payload: bytes) -> Command:
    top = decode_fields(payload)
    target = next((t for t in (EEG, IMU) if t in top), None)
    return Command(top.get(1, 0), target, target and decode_fields(top[target]).get(1, 0))


def command(msg_id: int, target: int, cmd: int, config: tuple[int, ...] | None = None) -> bytes:
    # `target` EEG or IMU; `config` its values in field order.
    request = field_varint(1, cmd) + (b"" if config is None else field_bytes(2, varint_fields(config)))
    return frame(field_varint(1, msg_id) + field_bytes(target, request), MODULE_APP, MODULE_MCU)


EegSample = collections.namedtuple("EegSample", "timestamp data")  # one sample block of an EegData message


@dataclass
class MainApp:
    msg_id: int = 0
    config: tuple[int, int, int] | None = None  # freq, gain, source
    samples: list[EegSample] | None = None  # up to four; None = no EegData

    def encode(self) -> bytes:
        eeg = b"" if self.config is None else field_bytes(1, varint_fields(self.config))
        if self.samples is not None:
            eeg += field_bytes(2, b"".join(field_bytes(i + 1, field_varint(1, s.timestamp) + field_bytes(2, s.data))
                                           for i, s in enumerate(self.samples)))
        has_eeg = self.config is not None or self.samples is not None
        return field_varint(1, self.msg_id) + (field_bytes(3, eeg) if has_eeg else b"")

    def frame(self) -> bytes:
        return frame(self.encode())


_GAIN_FACTORS = {15: 1, 31: 2, 47: 4, 63: 6, 79: 8, 95: 12, 111: 24}


def decode_block(block: bytes, gain_code: int) -> list[float]:
    # The 32 channel values of a 108-byte block: frame-major, status words skipped.
    raw = np.frombuffer(block, np.uint8).reshape(4, 9, 3)[:, 1:].astype(np.int32)
    counts = (raw[..., 0] << 16 | raw[..., 1] << 8 | raw[..., 2]).ravel()
    counts -= (counts >= 1 << 23) << 24
    step = np.float32(np.float32(9.0) / np.float32(_GAIN_FACTORS.get(gain_code, 6))) * np.float32(2.0 ** -24)
    return [float(v) for v in counts.astype(np.float32) * step * np.float32(1e6)]


def row(sample: EegSample, gain_code: int) -> list[float]:
    return [float(np.float32(sample.timestamp))] + decode_block(sample.data, gain_code)


def sample_block(seed: int) -> bytes:
    return np.random.default_rng(seed).integers(0, 256, size=108, dtype=np.uint8).tobytes()


@dataclass
class EegStreamScript:
    # Consecutive MainApp EEG messages of four sample blocks each; `sent` holds the kept samples.
    next_timestamp: int = 1000
    sent: list[EegSample] = field(default_factory=list)

    def message(self, keep: bool = True) -> MainApp:
        samples = [EegSample(t, sample_block(t)) for t in range(self.next_timestamp, self.next_timestamp + 4)]
        self.sent += samples if keep else []
        self.next_timestamp += 4
        return MainApp(samples=samples)
