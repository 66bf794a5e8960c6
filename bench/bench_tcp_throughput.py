"""Streams EEG messages from the loopback device emulator at ten times the
cap's top rate and counts what reaches the EEG buffer.

    PYTHONPATH=<build dir>:tests/python python bench/bench_tcp_throughput.py [seconds] [rate]

Each MainApp message carries four sample blocks; the default is 10000 messages
per second for 10 s. Prints the rate reached and whether any message was lost.
"""
import asyncio
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import kx_proto_sdk as kx  # noqa: E402
from kx_proto_sdk import eeg_cap  # noqa: E402

from support import frames  # noqa: E402
from support.emulator import DeviceEmulator  # noqa: E402
from support.tcp_helpers import attach  # noqa: E402

BLOCKS = [frames.sample_block(seed) for seed in range(64)]


def message_frame(index: int) -> bytes:
    samples = [frames.EegSample(4 * index + k, BLOCKS[(4 * index + k) % len(BLOCKS)]) for k in range(4)]
    return frames.MainApp(msg_id=index, samples=samples).frame()


async def main(seconds: float, rate: int) -> int:
    total = int(seconds * rate)
    print(f"encoding {total} messages ...", flush=True)
    encoded = [message_frame(i) for i in range(total)]
    eeg_cap.set_eeg_buffer_cfg(4 * total + 16)
    eeg_cap.clear_eeg_buffer()
    rows = []

    async with DeviceEmulator(auto_reply=False) as dev:
        client, conn = await attach(dev)

        tick = 0.01
        per_tick = max(1, int(rate * tick))
        start = time.perf_counter()
        sent = 0
        while sent < total:
            batch = encoded[sent:sent + per_tick]
            conn.writer.write(b"".join(batch))
            await conn.writer.drain()
            sent += len(batch)
            rows += eeg_cap.get_eeg_buffer(10 ** 9, True)
            delay = start + (sent / rate) - time.perf_counter()
            if delay > 0:
                await asyncio.sleep(delay)
        send_time = time.perf_counter() - start

        deadline = time.perf_counter() + 10
        while len(rows) < 4 * total and time.perf_counter() < deadline:
            await asyncio.sleep(0.02)
            rows += eeg_cap.get_eeg_buffer(10 ** 9, True)
        done_time = time.perf_counter() - start

    received = len(rows) // 4
    timestamps = [int(r[0]) for r in rows]
    in_order = timestamps == list(range(len(timestamps)))
    spot = all(rows[i] == frames.row(frames.EegSample(i, BLOCKS[i % len(BLOCKS)]), 0)
               for i in range(0, len(rows), max(1, len(rows) // 200)))
    print(f"sent {total} messages in {send_time:.2f} s ({total / send_time:.0f} msg/s offered)")
    print(f"received {received} messages ({len(rows)} sample rows) within {done_time:.2f} s: "
          f"{received / done_time:.0f} msg/s end to end")
    print(f"lost: {total - received}; in order: {in_order}; spot-checked rows decode equal: {spot}")
    return 0 if received == total and in_order and spot else 1


if __name__ == "__main__":
    secs = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    msg_rate = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    sys.exit(asyncio.run(main(secs, msg_rate)))
