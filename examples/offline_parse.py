#!/usr/bin/env python3
"""Decodes the EEG in a recorded byte capture of a cap's TCP stream, without a device:
feeds the bytes to a MessageParser in batches, lets its consumer store each batch before the
next, and prints a summary of the rows (optionally saves them). Every complete sample block is
kept, whatever the size of the capture; a cut or damaged capture ends with one line on stderr
about what was skipped.

    .venv/bin/python examples/offline_parse.py examples/data/eeg_capture.bin --out rows.npy
"""
from __future__ import annotations

import argparse
import asyncio
import logging
import re
import sys
from pathlib import Path

import numpy as np

from eeg_rows import ROW_LENGTH, rms_line, rows_to_samples
from kx_proto_sdk import MessageParser, MsgType, eeg_cap

CONSUMER_LOGGER = "kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap"
PARSER_LOGGER = "kx_proto_sdk.proto.msg_parser"
FRAME_START = b"QNLR\x02\x0b"  # every frame of the cap begins with these six bytes
# The consumer's channel holds 128 unread messages; past that it loses the oldest. A batch of 50
# frames publishes at most 101: each frame, the flush fed after it, and the end marker.
FRAMES_PER_BATCH = 50
BLOCKS_PER_BATCH = 4 * FRAMES_PER_BATCH  # a message carries at most four sample blocks
CALL_BYTES = 8192  # receive_data drops a call that would take its buffer past 8192 bytes
MARKER_TIMEOUT = 30.0  # seconds; the marker comes within milliseconds unless INFO is off
# End marker: an app-to-cap frame holding AppMain {msg_id: 2129461249}. The consumer does not
# store it but logs "Received message: App2Mcu(AppMain { msg_id: 2129461249, ..." once it has
# stored every message fed before it. The id must not occur in the capture.
MARKER_ID = 0x7EED_0001
END_MARKER = bytes.fromhex("514e4c52020b0600020000088180b4f70701f1")
# Flush, fed after each frame: a cap-to-app frame of exactly 8192 bytes, a MainApp holding only
# 8175 zero bytes in field 99, which decoding skips and the consumer ignores. An idle parser takes
# it whole. A parser still inside a frame (its length field damaged, or the capture cut) has no
# room for it and drops that frame's start with it, so the frames after it are read, and the end
# marker is never taken for the rest of a frame.
FLUSH = bytes.fromhex("514e4c52020bf31f0002009a06ef3f") + bytes(8175) + bytes.fromhex("baa4")
# The parser's records of bytes it dropped (the flush's overflow among them); the
# other records are follow-up lines.
DAMAGED = ("CRC verification failed", "Failed to parse message", "Failed to calculate expected length")
STRAY = ("Found header at index", "Proto header is mismatch", "Buffer is out of space")


class _MarkerSeen(logging.Handler):
    """Puts an item on `seen` each time the consumer logs the end marker (from a worker thread)."""

    def __init__(self, loop: asyncio.AbstractEventLoop, seen: asyncio.Queue[None]) -> None:
        super().__init__(logging.INFO)
        self._loop, self._seen = loop, seen

    def emit(self, record: logging.LogRecord) -> None:
        if f"msg_id: {MARKER_ID}," in record.getMessage():
            self._loop.call_soon_threadsafe(self._seen.put_nowait, None)


class _ParserDrops(logging.Filter):
    """Counts the parser's records of bytes it dropped and keeps them (byte dumps) off the output."""

    def __init__(self) -> None:
        super().__init__()
        self.damaged = self.stray = 0

    def filter(self, record: logging.LogRecord) -> bool:
        text = record.getMessage()
        if text.startswith(DAMAGED):
            self.damaged += 1
        elif text.startswith(STRAY):
            self.stray += 1
        return False

    def summary(self, ends_cut: bool) -> str | None:
        """One line about what was skipped, or None."""
        skipped = [f"{self.damaged} damaged frame{'s' * (self.damaged > 1)}"] if self.damaged else []
        if self.stray:
            skipped.append(f"{self.stray} stretch{'es' * (self.stray > 1)} of bytes not in a complete frame")
        end = "; the capture ends inside a frame" if ends_cut else ""
        return "skipped " + " and ".join(skipped) + end if skipped else None


def frame_pieces(capture: bytes) -> list[tuple[int, int]]:
    """(start, end) of the capture cut before every frame start."""
    starts = [m.start() for m in re.finditer(re.escape(FRAME_START), capture)]
    cuts = [0, *starts, len(capture)]
    return [(a, b) for a, b in zip(cuts, cuts[1:]) if b > a]


async def parse_capture(capture: bytes) -> tuple[list[list[float]], str | None]:
    """Every EEG row of the capture, oldest first, and a line about what was skipped (or None)."""
    seen: asyncio.Queue[None] = asyncio.Queue()
    consumer, parser_log = logging.getLogger(CONSUMER_LOGGER), logging.getLogger(PARSER_LOGGER)
    consumer.setLevel(logging.INFO)  # the module caches a logger's level at its first record
    marker_seen, drops = _MarkerSeen(asyncio.get_running_loop(), seen), _ParserDrops()
    consumer.addHandler(marker_seen)
    parser_log.addFilter(drops)
    try:
        eeg_cap.clear_eeg_buffer()
        eeg_cap.set_eeg_buffer_cfg(BLOCKS_PER_BATCH)
        parser = MessageParser("capture", MsgType.Orvel)
        await parser.start_message_stream()
        rows: list[list[float]] = []
        pieces, ends_cut = frame_pieces(capture), False
        for first in range(0, len(pieces), FRAMES_PER_BATCH):
            for a, b in pieces[first:first + FRAMES_PER_BATCH]:
                for start in range(a, b, CALL_BYTES):
                    parser.receive_data(capture[start:min(b, start + CALL_BYTES)])
                dropped = drops.stray
                parser.receive_data(FLUSH)  # logs only when it drops the start of a frame
                ends_cut = drops.stray > dropped
            parser.receive_data(END_MARKER)
            # The parser runs here, the consumer on worker threads: let it store this batch.
            try:
                await asyncio.wait_for(seen.get(), MARKER_TIMEOUT)
            except asyncio.TimeoutError:
                raise RuntimeError(f"no end marker: is INFO of {CONSUMER_LOGGER} off?") from None
            rows += eeg_cap.get_eeg_buffer(BLOCKS_PER_BATCH, True)
        return rows, drops.summary(ends_cut)
    finally:
        consumer.removeHandler(marker_seen)
        parser_log.removeFilter(drops)


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
