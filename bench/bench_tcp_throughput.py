"""Streams EEG messages from an emulated device and counts what reaches the
EEG buffer, with the CPU the module's threads spend on it.

    PYTHONPATH=<build dir>:tests/python python bench/bench_tcp_throughput.py \
        [--rate 10000] [--seconds 10] [--burst-ms 10] [--drain-ms 10] [--load N] [--runs 1]

Each MainApp message carries four sample blocks. The device runs in a child
process (like a real cap, it does not share this interpreter) and sends one
burst every --burst-ms. Python drains the buffer every --drain-ms. --load N
keeps N extra processes spinning (N = number of cores keeps every core busy).
Per run it prints the messages lost, order and decoding checks, warnings and
errors per logger (lag reports among them), the idle CPU while connected, and
the CPU per 1,000 messages of the module's threads and of the whole process.
Exit status 0 when every run lost nothing.
"""
import argparse
import asyncio
import collections
import logging
import multiprocessing
import os
import resource
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import kx_proto_sdk as kx  # noqa: E402
from kx_proto_sdk import eeg_cap  # noqa: E402

from support import frames  # noqa: E402
from support.tcp_helpers import parser  # noqa: E402

BLOCKS = [frames.sample_block(seed) for seed in range(64)]
IDLE_SECONDS = 1.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def message_frame(index: int) -> bytes:
    samples = [frames.EegSample(4 * index + k, BLOCKS[(4 * index + k) % len(BLOCKS)]) for k in range(4)]
    return frames.MainApp(msg_id=index, samples=samples).frame()


def bursts(total: int, per_burst: int) -> list[bytes]:
    """Built once per process (the device processes are forked with them)."""
    frames_ = bursts.cache.get(total)
    if frames_ is None:
        frames_ = bursts.cache[total] = [message_frame(i) for i in range(total)]
    return [b"".join(frames_[start:start + per_burst]) for start in range(0, total, per_burst)]


bursts.cache = {}


def device(listener: socket.socket, total: int, rate: int, burst: float, ready, go) -> None:
    per_burst = max(1, round(rate * burst))
    batches = bursts(total, per_burst)
    ready.set()
    conn, _ = listener.accept()
    go.wait()
    start = time.perf_counter()
    for n, batch in enumerate(batches, 1):
        conn.sendall(batch)
        delay = start + n * per_burst / rate - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    conn.close()


async def connect_device(target, args: tuple, buffer_rows: int):
    """Forks the emulated device `target(listener, *args, ready, go)`, makes the EEG
    buffer hold `buffer_rows` and empties it, and connects a parser whose consumer
    fills it. Returns the device process, the event that makes it start sending,
    and the (client, parser) pair to keep while the run lasts."""
    listener = socket.create_server(("127.0.0.1", 0))
    ready, go = multiprocessing.Event(), multiprocessing.Event()
    child = multiprocessing.Process(target=target, args=(listener, *args, ready, go))
    child.start()
    ready.wait()
    eeg_cap.set_eeg_buffer_cfg(buffer_rows)
    eeg_cap.clear_eeg_buffer()

    p = parser("bench")
    # The consumer subscribes before the connection exists, so it sees the first message.
    await p.start_message_stream()
    client = kx.PyTcpClient("127.0.0.1", listener.getsockname()[1])
    await client.connect(p)
    return child, go, (client, p)


def spin() -> None:
    while True:
        pass


def module_thread_seconds(kernel_only: bool = False) -> float:
    """CPU of the runtime's worker threads (they run the read loop and the tasks)."""
    total = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if not f.read().startswith("kx-worker"):
                    continue
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        total += (0 if kernel_only else int(fields[11])) + int(fields[12])  # utime, stime
    return total / CLOCK_TICKS


def process_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


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


async def one_run(args) -> bool:
    total = int(args.seconds * args.rate)
    bursts(total, 1)  # frames built before the device process is forked
    records = RecordCounter()
    logging.getLogger().addHandler(records)
    child, go, link = await connect_device(device, (total, args.rate, args.burst_ms / 1000), 4 * total + 16)
    await asyncio.sleep(0.2)  # let start-up settle
    idle = (module_thread_seconds(), process_seconds(), time.perf_counter())
    await asyncio.sleep(IDLE_SECONDS)
    idle_module = module_thread_seconds() - idle[0]
    idle_process = process_seconds() - idle[1]
    idle_wall = time.perf_counter() - idle[2]

    check = RowCheck()
    busy = (module_thread_seconds(), process_seconds(), time.thread_time(), module_thread_seconds(True))
    go.set()
    start = last_row = time.perf_counter()
    # Until everything arrived, or nothing more came for a second after the device finished.
    while check.count < 4 * total and (child.is_alive() or time.perf_counter() - last_row < 1.0):
        await asyncio.sleep(args.drain_ms / 1000)
        rows = eeg_cap.get_eeg_buffer(10 ** 9, True)
        if rows:
            last_row = time.perf_counter()
            check.take(rows)
    module_cpu = module_thread_seconds() - busy[0]
    module_kernel = module_thread_seconds(True) - busy[3]
    process_cpu = process_seconds() - busy[1]
    python_cpu = time.thread_time() - busy[2]
    elapsed = last_row - start
    child.join()
    logging.getLogger().removeHandler(records)
    del link

    received = check.count // 4
    per_k = 1000 / max(received, 1) * 1000  # ms per 1,000 messages from seconds
    print(f"  received {received} of {total} messages in {elapsed:.2f} s ({received / elapsed:.0f} msg/s); "
          f"lost {total - received}; in order {check.in_order}; spot checks equal {check.decoded_ok}")
    print(f"  CPU per 1,000 messages: module threads {module_cpu * per_k:.2f} ms (kernel {module_kernel * per_k:.2f}), whole process "
          f"{process_cpu * per_k:.2f} ms (Python thread {python_cpu * per_k:.2f} ms); idle connected: "
          f"module threads {idle_module * 1000 / idle_wall:.1f} ms/s, process {idle_process * 1000 / idle_wall:.1f} ms/s")
    print(f"  warnings and errors per logger: {dict(records.counts) or 'none'}")
    return received == total and check.in_order and check.decoded_ok


async def main(args) -> int:
    spinners = [multiprocessing.Process(target=spin, daemon=True) for _ in range(args.load)]
    for s in spinners:
        s.start()
    clean = 0
    try:
        for n in range(1, args.runs + 1):
            print(f"run {n}: {args.rate} msg/s for {args.seconds} s in {args.burst_ms} ms bursts, "
                  f"drain every {args.drain_ms} ms, {args.load} spinning processes", flush=True)
            clean += await one_run(args)
    finally:
        for s in spinners:
            s.terminate()
    print(f"zero loss in {clean} of {args.runs} runs")
    return 0 if clean == args.runs else 1


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rate", type=int, default=10000, help="messages per second")
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--burst-ms", type=float, default=10.0, help="the device sends one burst this often")
    ap.add_argument("--drain-ms", type=float, default=10.0, help="Python drains the buffer this often")
    ap.add_argument("--load", type=int, default=0, help="spinning processes kept running meanwhile")
    ap.add_argument("--runs", type=int, default=1)
    sys.exit(asyncio.run(main(ap.parse_args())))
