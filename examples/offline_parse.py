"""Decodes the EEG in a recorded byte capture of a cap's TCP stream, without a device:
feeds the bytes to a MessageParser, waits until its consumer has stored every block,
reads the rows from the EEG sample buffer and prints a summary (optionally saves them).

    .venv/bin/python examples/offline_parse.py examples/data/eeg_capture.bin --out rows.npy
"""
from __future__ import annotations

import argparse
import asyncio
import logging
from pathlib import Path

import numpy as np

from eeg_rows import ROW_LENGTH, rms_line, rows_to_samples
from kx_proto_sdk import MessageParser, MsgType, eeg_cap

CONSUMER_LOGGER = "kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap"
BLOCK_BYTES = 108
# An app-to-cap frame holding AppMain {msg_id: 2129461249}: the consumer does not store it but
# logs "Received message: App2Mcu(AppMain { msg_id: 2129461249, ...", after every message fed
# before it. The id must not occur in the capture.
MARKER_ID = 0x7EED_0001
END_MARKER = bytes.fromhex("514e4c52020b0600020000088180b4f70701f1")


class _MarkerSeen(logging.Handler):
    """Completes a future when the consumer logs the end marker (it logs from a worker thread)."""

    def __init__(self, done: asyncio.Future[None]) -> None:
        super().__init__(logging.INFO)
        self._done = done
        self._loop = done.get_loop()

    def emit(self, record: logging.LogRecord) -> None:
        if f"msg_id: {MARKER_ID}," in record.getMessage():
            self._loop.call_soon_threadsafe(self._finish)

    def _finish(self) -> None:
        if not self._done.done():
            self._done.set_result(None)


async def parse_capture(capture: bytes, chunk: int = 4096) -> list[list[float]]:
    """Every EEG row of the capture, oldest first."""
    done: asyncio.Future[None] = asyncio.get_running_loop().create_future()
    logger = logging.getLogger(CONSUMER_LOGGER)
    # The module caches a logger's level at its first record: enable INFO before any.
    logger.setLevel(logging.INFO)
    handler = _MarkerSeen(done)
    logger.addHandler(handler)
    try:
        eeg_cap.clear_eeg_buffer()
        eeg_cap.set_eeg_buffer_cfg(len(capture) // BLOCK_BYTES + 1)  # more blocks than can be in it
        parser = MessageParser("capture", MsgType.Orvel)
        await parser.start_message_stream()
        for start in range(0, len(capture), chunk):
            parser.receive_data(capture[start:start + chunk])
        parser.receive_data(END_MARKER)
        await asyncio.wait_for(done, 30)
        return eeg_cap.get_eeg_buffer(len(capture), True)
    finally:
        logger.removeHandler(handler)


async def main() -> None:
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("capture", type=Path, help="bytes as received from the cap")
    args.add_argument("--out", type=Path, help="save the complete rows as a .npy array (blocks x 33)")
    opts = args.parse_args()
    rows = await parse_capture(opts.capture.read_bytes())
    timestamps, samples = rows_to_samples(rows)
    print(f"{len(rows)} blocks, {len(samples)} samples per channel", end="")
    print(f", timestamps {timestamps[0]:.0f} to {timestamps[-1]:.0f}" if len(timestamps) else "")
    print(rms_line("RMS µV", samples))
    if opts.out is not None:
        np.save(opts.out, np.asarray([row for row in rows if len(row) == ROW_LENGTH], dtype=np.float32))


if __name__ == "__main__":
    asyncio.run(main())
