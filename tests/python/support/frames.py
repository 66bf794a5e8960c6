"""Independent encoder/decoder of the EEG cap's wire format for the tests.

Written from the protocol description, not from the module's C++ code, so
tests can check the module against a second implementation: CRC-16/MODBUS,
header-version-2 frames of the cap's family and the few protobuf fields of
AppMain / MainApp that the device link uses.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass, field

import numpy as np

PREFIX = b"QNLR\x02\x0b"
HEADER_LEN = 11
MODULE_MCU, MODULE_BLE, MODULE_APP = 0, 1, 2

ACQ_CFG_SET, ACQ_CFG_GET, ACQ_ENABLE, ACQ_DISABLE = 1, 2, 3, 4


def crc16_modbus(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


# --- protobuf wire primitives -------------------------------------------------

def varint(value: int) -> bytes:
    value &= (1 << 64) - 1  # negative enums travel as 10-byte two's complement
    out = bytearray()
    while True:
        low = value & 0x7F
        value >>= 7
        if value:
            out.append(low | 0x80)
        else:
            out.append(low)
            return bytes(out)


def field_varint(tag: int, value: int) -> bytes:
    return b"" if value == 0 else varint(tag << 3) + varint(value)


def field_bytes(tag: int, payload: bytes) -> bytes:
    return varint((tag << 3) | 2) + varint(len(payload)) + payload


def read_varint(buf: bytes, pos: int) -> tuple[int, int]:
    shift = value = 0
    while True:
        byte = buf[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def decode_fields(buf: bytes) -> dict[int, list]:
    """Generic decode: tag -> list of raw values (ints or bytes)."""
    fields: dict[int, list] = {}
    pos = 0
    while pos < len(buf):
        key, pos = read_varint(buf, pos)
        tag, wire = key >> 3, key & 7
        if wire == 0:
            value, pos = read_varint(buf, pos)
        elif wire == 2:
            length, pos = read_varint(buf, pos)
            value = bytes(buf[pos:pos + length])
            pos += length
        else:  # the module sends no fixed-width fields
            raise ValueError(f"unsupported wire type {wire}")
        fields.setdefault(tag, []).append(value)
    return fields


def _signed32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


# --- frames -------------------------------------------------------------------

def frame(payload: bytes, src: int = MODULE_MCU, dst: int = MODULE_APP) -> bytes:
    head = PREFIX + struct.pack("<H", len(payload)) + bytes([src, dst, 0])
    body = head + payload
    return body + struct.pack("<H", crc16_modbus(body))


def split_frames(buf: bytearray) -> list[bytes]:
    """Cuts complete frames off the front of buf (in place), checks each CRC
    and returns their payloads."""
    frames = []
    while True:
        start = buf.find(PREFIX)
        if start < 0 or len(buf) - start < HEADER_LEN:
            return frames
        (length,) = struct.unpack_from("<H", buf, start + 6)
        end = start + HEADER_LEN + length + 2
        if len(buf) < end:
            return frames
        raw = bytes(buf[start:end])
        del buf[:end]
        (crc,) = struct.unpack_from("<H", raw, len(raw) - 2)
        if crc != crc16_modbus(raw[:-2]):
            raise ValueError(f"bad CRC in frame {raw.hex()}")
        frames.append(raw[HEADER_LEN:-2])


# --- AppMain (commands the module sends) -------------------------------------

@dataclass
class Command:
    msg_id: int
    target: str | None  # "eeg", "imu" or None
    cmd: int = 0
    config: dict[str, int] | None = None


def decode_app_main(payload: bytes) -> Command:
    top = decode_fields(payload)
    msg_id = top.get(1, [0])[-1]
    for tag, target, names in ((3, "eeg", ("freq", "gain", "source")), (4, "imu", ("freq",))):
        if tag not in top:
            continue
        req = decode_fields(top[tag][-1])
        config = None
        if 2 in req:
            raw = decode_fields(req[2][-1])
            config = {name: _signed32(raw.get(i + 1, [0])[-1]) for i, name in enumerate(names)}
        return Command(msg_id, target, req.get(1, [0])[-1], config)
    return Command(msg_id, None)


# --- MainApp (what the device sends) -------------------------------------------

@dataclass
class EegSample:
    timestamp: int
    data: bytes


@dataclass
class MainApp:
    msg_id: int = 0
    config: tuple[int, int, int] | None = None  # freq, gain, source
    samples: list[EegSample] | None = None  # up to four; None = no EegData
    extra: bytes = b""  # appended raw, for odd cases

    def encode(self) -> bytes:
        eeg = b""
        if self.config is not None:
            freq, gain, source = self.config
            cfg = field_varint(1, freq) + field_varint(2, gain) + field_varint(3, source)
            eeg += field_bytes(1, cfg)
        if self.samples is not None:
            data = b"".join(
                field_bytes(i + 1, field_varint(1, s.timestamp) + field_bytes(2, s.data))
                for i, s in enumerate(self.samples)
            )
            eeg += field_bytes(2, data)
        out = field_varint(1, self.msg_id)
        if self.config is not None or self.samples is not None:
            out += field_bytes(3, eeg)
        return out + self.extra

    def frame(self) -> bytes:
        return frame(self.encode(), MODULE_MCU, MODULE_APP)


# --- EEG block decoding (reference for get_eeg_buffer rows) -------------------

_GAIN_FACTORS = {15: 1, 31: 2, 47: 4, 63: 6, 79: 8, 95: 12, 111: 24}


def decode_block(block: bytes, gain_code: int) -> list[float]:
    if len(block) != 108:
        return []
    factor = np.float32(_GAIN_FACTORS.get(gain_code, 6))
    step = np.float32(np.float32(9.0) / factor) * np.float32(2.0 ** -24)
    values = []
    for frame_index in range(4):
        for channel in range(1, 9):
            group = 9 * frame_index + channel
            b0, b1, b2 = block[3 * group:3 * group + 3]
            count = (b0 << 16) | (b1 << 8) | b2
            if b0 >= 128:
                count -= 1 << 24
            value = np.float32(np.float32(count) * step) * np.float32(1e6)
            values.append(float(np.float32(value)))
    return values


def row(sample: EegSample, gain_code: int) -> list[float]:
    return [float(np.float32(sample.timestamp))] + decode_block(sample.data, gain_code)


def sample_block(seed: int) -> bytes:
    """A deterministic 108-byte block that differs per seed in every channel."""
    rng = np.random.default_rng(seed)
    return bytes(rng.integers(0, 256, size=108, dtype=np.uint8))


@dataclass
class EegStreamScript:
    """Generates consecutive MainApp EEG messages with four sample blocks each."""
    next_msg_id: int = 1
    next_timestamp: int = 1000
    sent: list[EegSample] = field(default_factory=list)

    def message(self, keep: bool = True) -> MainApp:
        samples = []
        for _ in range(4):
            samples.append(EegSample(self.next_timestamp, sample_block(self.next_timestamp)))
            self.next_timestamp += 1
        if keep:
            self.sent.extend(samples)
        msg = MainApp(msg_id=self.next_msg_id, samples=samples)
        self.next_msg_id += 1
        return msg
