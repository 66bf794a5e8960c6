#!/usr/bin/env python3
"""Decodes the EEG in a recorded byte capture of a cap's TCP stream, without a device:
finds the complete frames in it (their CRC holds), feeds them to a MessageParser in batches, lets
its consumer store each batch before the next, and prints a summary of the rows (optionally saves
them). Every complete sample block is kept, whatever the size of the capture; a cut or damaged
capture ends with one line on stderr about what was skipped.

    .venv/bin/python examples/offline_parse.py examples/data/eeg_capture.bin --out rows.npy
"""
from __future__ import annotations

import argparse
import asyncio
import logging
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from eeg_rows import ROW_LENGTH, rms_line, rows_to_samples
from kx_proto_sdk import MessageParser, MsgType, eeg_cap

CONSUMER_LOGGER = "kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap"
PARSER_LOGGER = "kx_proto_sdk.proto.msg_parser"
# A frame of the cap: these six start bytes, the payload's length n (2 bytes, little-endian), three
# more header bytes, the n payload bytes, and the CRC-16/MODBUS of all the bytes before it (2 bytes,
# little-endian). The start bytes can also occur inside a payload: only a CRC tells a frame.
FRAME_START = b"QNLR\x02\x0b"
HEADER_BYTES, CRC_BYTES = 11, 2
MAX_FRAME_BYTES = 8192  # the parser holds at most 8192 bytes: it drops a longer frame
# The consumer's channel holds 128 unread messages; past that it loses the oldest. A batch of 50
# frames publishes at most 101: each frame, the flush fed after it, and the end marker.
FRAMES_PER_BATCH = 50
BLOCKS_PER_BATCH = 4 * FRAMES_PER_BATCH  # a message carries at most four sample blocks
MARKER_TIMEOUT = 30.0  # seconds; the marker comes within milliseconds unless INFO is off
# End marker: an app-to-cap frame holding AppMain {msg_id: 2129461249}. The consumer does not
# store it but logs "Received message: App2Mcu(AppMain { msg_id: 2129461249, ..." once it has
# stored every message fed before it. The id must not occur in the capture.
MARKER_ID = 0x7EED_0001
END_MARKER = bytes.fromhex("514e4c52020b0600020000088180b4f70701f1")
# Flush, fed after each frame: a cap-to-app frame of exactly 8192 bytes, a MainApp holding only
# 8175 zero bytes in field 99, which decoding skips and the consumer ignores. An idle parser takes
# it whole. A frame whose CRC holds but that the parser cannot decode leaves it searching that
# frame's payload for start bytes; if it finds some, it waits for the rest of a frame that is not
# there, has no room for the flush and drops both, so the end marker is never taken for that rest.
FLUSH = bytes.fromhex("514e4c52020bf31f0002009a06ef3f") + bytes(8175) + bytes.fromhex("baa4")
UNDECODABLE = "Failed to parse message"  # the parser's record of a frame it cannot decode


def _crc16_of_byte(value: int) -> int:
    """Eight steps of the CRC over one byte value: an entry of the table below."""
    for _ in range(8):
        value = value >> 1 ^ 0xA001 if value & 1 else value >> 1
    return value


CRC16_TABLE = [_crc16_of_byte(value) for value in range(256)]


def crc16_modbus(data: bytes) -> int:
    """The CRC of a frame: CRC-16/MODBUS (polynomial 0x8005 reflected as 0xA001, starting at 0xFFFF)."""
    crc = 0xFFFF
    for byte in data:
        crc = crc >> 8 ^ CRC16_TABLE[(crc ^ byte) & 0xFF]
    return crc


def frame_end(capture: bytes, start: int) -> int:
    """Where a frame that begins at `start` ends by its length field; past the capture's end if it
    is cut (also when the capture ends before the length field)."""
    return start + HEADER_BYTES + int.from_bytes(capture[start + 6:start + 8], "little") + CRC_BYTES


def is_frame(capture: bytes, start: int, end: int) -> bool:
    """Whether capture[start:end] is a whole frame that the parser can take: its CRC holds."""
    return (end <= len(capture) and end - start <= MAX_FRAME_BYTES
            and crc16_modbus(capture[start:end - CRC_BYTES]) == int.from_bytes(capture[end - CRC_BYTES:end], "little"))


def find_frames(capture: bytes) -> tuple[list[tuple[int, int]], Skipped]:
    """(start, end) of each whole frame of the capture, in order, and what lies between them."""
    frames: list[tuple[int, int]] = []
    skipped, after_last = Skipped(), 0
    start = capture.find(FRAME_START)
    while start >= 0:
        end = frame_end(capture, start)
        if not is_frame(capture, start, end):
            start = capture.find(FRAME_START, start + 1)
            continue
        skipped.add(capture, after_last, start)
        frames.append((start, end))
        after_last, start = end, capture.find(FRAME_START, end)  # start bytes in its payload are data
    skipped.add(capture, after_last, len(capture))
    return frames, skipped


@dataclass
class Skipped:
    """What a capture holds besides whole frames."""

    damaged: int = 0  # frames whose length field holds but not their CRC, or that the parser cannot decode
    stray: int = 0  # other stretches of bytes not in a complete frame
    ends_cut: bool = False  # the last stretch holds the beginning of a frame that the capture's end cuts

    def add(self, capture: bytes, start: int, end: int) -> None:
        """Counts capture[start:end], the bytes between two whole frames (none if start == end)."""
        # Damaged frames if their start bytes and length fields lead from `start` exactly to `end`.
        at, frames = start, 0
        while at < end and capture.startswith(FRAME_START, at):
            at, frames = frame_end(capture, at), frames + 1
        if at == end:
            self.damaged += frames
        else:
            self.stray += 1
            if end == len(capture):
                self.ends_cut = ends_inside_a_frame(capture, start)

    def line(self) -> str | None:
        """One line about what was skipped, or None."""
        skipped = [f"{self.damaged} damaged frame{'s' * (self.damaged > 1)}"] if self.damaged else []
        if self.stray:
            skipped.append(f"{self.stray} stretch{'es' * (self.stray > 1)} of bytes not in a complete frame")
        end = "; the capture ends inside a frame" if self.ends_cut else ""
        return "skipped " + " and ".join(skipped) + end if skipped else None


def ends_inside_a_frame(capture: bytes, start: int) -> bool:
    """Whether capture[start:] holds the beginning of a frame that the capture's end cuts: start
    bytes whose length field reaches past the end, or the first of the start bytes at the very end."""
    if any(FRAME_START.startswith(capture[at:]) for at in range(max(start, len(capture) - 5), len(capture))):
        return True
    at = capture.find(FRAME_START, start)
    while at >= 0 and frame_end(capture, at) <= len(capture):
        at = capture.find(FRAME_START, at + 1)
    return at >= 0


class _MarkerSeen(logging.Handler):
    """Puts an item on `seen` each time the consumer logs the end marker (from a worker thread)."""

    def __init__(self, loop: asyncio.AbstractEventLoop, seen: asyncio.Queue[None]) -> None:
        super().__init__(logging.INFO)
        self._loop, self._seen = loop, seen

    def emit(self, record: logging.LogRecord) -> None:
        if f"msg_id: {MARKER_ID}," in record.getMessage():
            self._loop.call_soon_threadsafe(self._seen.put_nowait, None)


class _Undecodable(logging.Filter):
    """Counts the frames the parser cannot decode and keeps its records (byte dumps) off the output."""

    def __init__(self) -> None:
        super().__init__()
        self.frames = 0

    def filter(self, record: logging.LogRecord) -> bool:
        if record.getMessage().startswith(UNDECODABLE):
            self.frames += 1
        return False


async def parse_capture(capture: bytes) -> tuple[list[list[float]], str | None]:
    """Every EEG row of the capture, oldest first, and a line about what was skipped (or None)."""
    seen: asyncio.Queue[None] = asyncio.Queue()
    consumer, parser_log = logging.getLogger(CONSUMER_LOGGER), logging.getLogger(PARSER_LOGGER)
    consumer.setLevel(logging.INFO)  # the module caches a logger's level at its first record
    marker_seen, undecodable = _MarkerSeen(asyncio.get_running_loop(), seen), _Undecodable()
    consumer.addHandler(marker_seen)
    parser_log.addFilter(undecodable)
    try:
        eeg_cap.clear_eeg_buffer()
        eeg_cap.set_eeg_buffer_cfg(BLOCKS_PER_BATCH)
        parser = MessageParser("capture", MsgType.Orvel)
        await parser.start_message_stream()
        rows: list[list[float]] = []
        frames, skipped = find_frames(capture)
        for first in range(0, len(frames), FRAMES_PER_BATCH):
            for start, end in frames[first:first + FRAMES_PER_BATCH]:
                parser.receive_data(capture[start:end])  # a whole frame, at most 8192 bytes: one call
                parser.receive_data(FLUSH)  # leaves the parser idle, whatever it made of the frame
            parser.receive_data(END_MARKER)
            # The parser runs here, the consumer on worker threads: let it store this batch.
            try:
                await asyncio.wait_for(seen.get(), MARKER_TIMEOUT)
            except asyncio.TimeoutError:
                raise RuntimeError(f"no end marker: is INFO of {CONSUMER_LOGGER} off?") from None
            rows += eeg_cap.get_eeg_buffer(BLOCKS_PER_BATCH, True)
        skipped.damaged += undecodable.frames
        return rows, skipped.line()
    finally:
        consumer.removeHandler(marker_seen)
        parser_log.removeFilter(undecodable)


async def main() -> int:
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("capture", type=Path, help="bytes as received from the cap")
    args.add_argument("--out", type=Path, help="save the complete rows as a .npy array (blocks x 33)")
    opts = args.parse_args()
    try:
        rows, skipped = await parse_capture(opts.capture.read_bytes())
    except (OSError, RuntimeError) as error:
        print(f"{args.prog}: {error}", file=sys.stderr)
        return 1
    timestamps, samples = rows_to_samples(rows)
    print(f"{len(rows)} blocks, {len(samples)} samples per channel", end="")
    print(f", timestamps {timestamps[0]:.0f} to {timestamps[-1]:.0f}" if len(timestamps) else "")
    if len(samples):
        print(rms_line("RMS µV", samples))
    if opts.out is not None:
        complete = [row for row in rows if len(row) == ROW_LENGTH]
        np.save(opts.out, np.asarray(complete, dtype=np.float32).reshape(-1, ROW_LENGTH))
    if skipped is not None:
        print(f"{args.prog}: {skipped}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
