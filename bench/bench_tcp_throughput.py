"""Streams EEG messages from an emulated device at ten times the cap's top rate
and counts what reaches the EEG buffer.

    PYTHONPATH=<build dir>:tests/python python bench/bench_tcp_throughput.py [seconds] [rate]

Each MainApp message carries four sample blocks; the default is 10000 messages
per second for 10 s. The device runs in a child process (like a real cap, it
does not share this interpreter), paced in 10 ms batches. Prints the rate
reached and whether any message was lost, reordered or decoded wrongly.
"""
import asyncio
import collections
import logging
import multiprocessing
import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import kx_proto_sdk as kx  # noqa: E402
from kx_proto_sdk import eeg_cap  # noqa: E402

from support import frames  # noqa: E402
from support.tcp_helpers import parser  # noqa: E402

BLOCKS = [frames.sample_block(seed) for seed in range(64)]
TICK = 0.01


def message_frame(index: int) -> bytes:
    samples = [frames.EegSample(4 * index + k, BLOCKS[(4 * index + k) % len(BLOCKS)]) for k in range(4)]
    return frames.MainApp(msg_id=index, samples=samples).frame()


def device(listener: socket.socket, total: int, rate: int, ready) -> None:
    per_tick = max(1, int(rate * TICK))
    batches = [b"".join(message_frame(i) for i in range(start, min(start + per_tick, total)))
               for start in range(0, total, per_tick)]
    ready.set()
    conn, _ = listener.accept()
    start = time.perf_counter()
    for n, batch in enumerate(batches, 1):
        conn.sendall(batch)
        delay = start + n * TICK - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    print(f"device: sent {total} messages in {time.perf_counter() - start:.2f} s", flush=True)
    conn.close()


class RowCheck:
    """Counts rows and checks them as they come, without keeping them."""

    def __init__(self):
        self.count = 0
        self.in_order = True
        self.decoded_ok = True

    def take(self, rows) -> None:
        for row in rows:
            ts = self.count
            if int(row[0]) != ts:
                self.in_order = False
            elif ts % 997 == 0 and row != frames.row(frames.EegSample(ts, BLOCKS[ts % len(BLOCKS)]), 0):
                self.decoded_ok = False
            self.count += 1


class RecordCounter(logging.Handler):
    """Counts the module's warnings and errors per logger (lag reports among them)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.counts = collections.Counter()

    def emit(self, record):
        self.counts[record.name] += 1


async def main(seconds: float, rate: int) -> int:
    total = int(seconds * rate)
    records = RecordCounter()
    logging.getLogger().addHandler(records)
    listener = socket.create_server(("127.0.0.1", 0))
    ready = multiprocessing.Event()
    child = multiprocessing.Process(target=device, args=(listener, total, rate, ready))
    child.start()
    ready.wait()
    eeg_cap.set_eeg_buffer_cfg(4 * total + 16)
    eeg_cap.clear_eeg_buffer()

    p = parser("bench")
    client = kx.PyTcpClient("127.0.0.1", listener.getsockname()[1])
    await client.connect(p)
    await p.start_message_stream()
    check = RowCheck()
    start = last_row = time.perf_counter()
    # Until everything arrived, or nothing more came for a second after the device finished.
    while check.count < 4 * total and (child.is_alive() or time.perf_counter() - last_row < 1.0):
        await asyncio.sleep(TICK)
        rows = eeg_cap.get_eeg_buffer(10 ** 9, True)
        if rows:
            last_row = time.perf_counter()
            check.take(rows)
    elapsed = last_row - start
    child.join()

    received = check.count // 4
    print(f"received {received} of {total} messages ({check.count} sample rows) in {elapsed:.2f} s: "
          f"{received / elapsed:.0f} msg/s end to end")
    print(f"lost: {total - received}; in order: {check.in_order}; spot-checked rows decode equal: {check.decoded_ok}")
    print(f"warnings and errors per logger (lag reports among them): {dict(records.counts) or 'none'}")
    return 0 if received == total and check.in_order and check.decoded_ok else 1


if __name__ == "__main__":
    secs = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    msg_rate = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    sys.exit(asyncio.run(main(secs, msg_rate)))
