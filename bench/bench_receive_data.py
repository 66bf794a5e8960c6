"""Throughput of MessageParser.receive_data on a stream of MainApp EEG frames
(configuration and four 108-byte samples each), fed in 4096-byte chunks on one
core, with Python logging at WARNING.

    PYTHONPATH=build-<name> .venv/bin/python bench/bench_receive_data.py [megabytes]

Goal: at least 100 MB/s.
"""

import logging
import os
import sys
import time

# numpy (used to build the frames) must not keep BLAS threads spinning on other cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from support import frames  # noqa: E402

import kx_proto_sdk as kx  # noqa: E402

CHUNK = 4096
GOAL_MB_S = 100.0


def eeg_stream(count: int) -> bytes:
    script = frames.EegStreamScript()
    out = bytearray()
    for _ in range(count):
        message = script.message(keep=False)
        message.config = (111, 111, 15)
        out += message.frame()
    return bytes(out)


def main() -> int:
    logging.basicConfig(level=logging.WARNING)
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 200.0
    base = eeg_stream(2000)
    frame_len = len(base) // 2000
    repeats = max(1, int(megabytes * 1e6 // len(base)))
    stream = base * repeats
    chunks = [stream[i:i + CHUNK] for i in range(0, len(stream), CHUNK)]
    frame_count = 2000 * repeats

    parser = kx.MessageParser("bench", kx.MsgType.Orvel)
    parser.receive_data(chunks[0])  # warm-up: first records, caches
    parser = kx.MessageParser("bench", kx.MsgType.Orvel)

    start = time.perf_counter()
    for chunk in chunks:
        parser.receive_data(chunk)
    elapsed = time.perf_counter() - start

    mb_s = len(stream) / elapsed / 1e6
    print(f"frame length {frame_len} bytes, {frame_count} frames, {len(stream) / 1e6:.1f} MB in {elapsed:.3f} s")
    print(f"receive_data: {mb_s:.1f} MB/s, {frame_count / elapsed:.0f} frames/s (goal {GOAL_MB_S:.0f} MB/s)")
    return 0 if mb_s >= GOAL_MB_S else 1


if __name__ == "__main__":
    sys.exit(main())
