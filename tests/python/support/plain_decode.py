# The reference for the offline example: what one MessageParser alone decodes from a capture fed in
# calls of 4,096 bytes, as a connected client's reads give it. Run in a fresh interpreter (the EEG
# buffer is process-wide): `python -m support.plain_decode CAPTURE ROWS.npy`, from tests/python.
# Between calls it lets the consumer catch up, and it fails if the consumer lost messages anyway.
from __future__ import annotations

import asyncio
import sys
from pathlib import Path

import numpy as np

from kx_proto_sdk import eeg_cap
from support import eeg_feed, frames

CALL_BYTES = 4096
# After the capture: a frame of 8,192 bytes, which an idle parser takes and one still inside a frame
# has no room for (it drops that unfinished frame, which it could never decode), so the sentinel
# behind it is read and not taken for the rest of that frame.
FLUSH = frames.frame(frames.field_bytes(99, bytes(8175)))
SENTINEL_ID = 0x7EED_0002


async def decode(capture: bytes) -> list[list[float]]:
    eeg_cap.clear_eeg_buffer()
    eeg_cap.set_eeg_buffer_cfg(1_000_000)
    parser = await eeg_feed.started_parser()
    for start in range(0, len(capture), CALL_BYTES):
        parser.receive_data(capture[start:start + CALL_BYTES])
        await asyncio.sleep(0.005)  # at most nine EEG messages per call: the consumer keeps up
    parser.receive_data(FLUSH)
    parser.receive_data(frames.frame(frames.field_varint(1, SENTINEL_ID), frames.MODULE_APP, frames.MODULE_MCU))
    await eeg_feed.wait_logged(f"msg_id: {SENTINEL_ID},", timeout=30)
    assert not eeg_feed.collector.count("fell behind"), "the consumer lost messages: the reference is not plain"
    return eeg_cap.get_eeg_buffer(1_000_000, True)


def main() -> None:
    capture, out = Path(sys.argv[1]).read_bytes(), Path(sys.argv[2])
    rows = [row for row in asyncio.run(decode(capture)) if len(row) == 33]
    np.save(out, np.asarray(rows, np.float32).reshape(-1, 33))


if __name__ == "__main__":
    main()
