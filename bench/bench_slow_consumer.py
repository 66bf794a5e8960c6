"""What a slow consumer costs: streams EEG messages plus one App2Mcu message
a second from an emulated device while the consumer's log records are slow to
be written, and counts what is lost, what reports the loss, and the Errors.

    PYTHONPATH=<build dir>:tests/python python bench/bench_slow_consumer.py \
        [--scenario NAME ...] [--runs 1]

Scenarios (default: all of them):
  stall-1s  1,000 EEG messages/s for 8 s; a handler on the consumer's logger
            sleeps 1 s on the first "Received message" record.
  stall-3s  the same with a 3-s sleep.
  gil-2s    10,000 EEG messages/s for 8 s; after 3 s Python holds the
            interpreter lock for 2 s (a C call that does not release it).

The consumer's logger is at INFO, so each App2Mcu message makes the consumer
write a record through the logging bridge. A message is lost when its samples
(EEG) or its Info record (App2Mcu) never arrive. Goal per run: no Error record
of any logger, and the lost messages equal the sum of n over the consumer's
warnings "Message consumer fell behind and lost n messages". Exit status 0
when every run met it.
"""
import argparse
import asyncio
import ctypes
import logging
import multiprocessing
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from kx_proto_sdk import eeg_cap  # noqa: E402

from bench_tcp_throughput import connect_device, message_frame, spin  # noqa: E402
from support.frames import MODULE_APP, MODULE_MCU, field_varint, frame  # noqa: E402

CONSUMER_LOGGER = "kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap"
LAG_WARNING = re.compile(r"Message consumer fell behind and lost (\d+) messages")
OTHER_ID_BASE = 0x7000_0000
BURST_S = 0.01

SCENARIOS = {
    "stall-1s": dict(rate=1000, seconds=8.0, stall=1.0, hold_gil=0.0),
    "stall-3s": dict(rate=1000, seconds=8.0, stall=3.0, hold_gil=0.0),
    "gil-2s": dict(rate=10000, seconds=8.0, stall=0.0, hold_gil=2.0),
}
HOLD_AT_S = 3.0


def schedule(rate: int, seconds: float) -> tuple[list[tuple[float, bytes]], int]:
    """[(send time, bytes)] of EEG bursts every 10 ms with an App2Mcu frame
    before the first burst of each second, and the number of App2Mcu frames."""
    total = int(rate * seconds)
    per_burst = max(1, round(rate * BURST_S))
    plan, others = [], 0
    for start in range(0, total, per_burst):
        data = b"".join(message_frame(i) for i in range(start, min(total, start + per_burst)))
        if start % rate < per_burst:
            data = frame(field_varint(1, OTHER_ID_BASE + others), MODULE_APP, MODULE_MCU) + data
            others += 1
        plan.append((start / rate, data))
    return plan, others


def device(listener: socket.socket, plan, ready, go) -> None:
    ready.set()
    conn, _ = listener.accept()
    go.wait()
    start = time.perf_counter()
    for at, data in plan:
        delay = start + at - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        conn.sendall(data)
    conn.close()


class ConsumerRecords(logging.Handler):
    """On the consumer's logger: counts its Info records and sums its lag reports;
    the first Info record of a run sleeps `stall` seconds (once)."""

    def __init__(self, stall: float):
        super().__init__(logging.INFO)
        self.stall, self.received, self.lag_sum, self.lag_reports = stall, 0, 0, 0
        self.stalled = threading.Event()

    def emit(self, record):
        text = record.getMessage()
        if text.startswith("Received message: "):
            self.received += 1
            if self.stall and not self.stalled.is_set():
                self.stalled.set()
                time.sleep(self.stall)
        elif m := LAG_WARNING.fullmatch(text):
            self.lag_sum += int(m.group(1))
            self.lag_reports += 1


class ErrorRecords(logging.Handler):
    def __init__(self):
        super().__init__(logging.ERROR)
        self.texts = []

    def emit(self, record):
        self.texts.append(f"{record.name}: {record.getMessage()[:80]}")


def hold_interpreter_lock(seconds: float) -> None:
    # A PyDLL call keeps the interpreter lock for its whole length.
    ctypes.PyDLL(None).usleep(ctypes.c_uint(int(seconds * 1e6)))


async def one_run(name: str, rate: int, seconds: float, stall: float, hold_gil: float) -> bool:
    plan, others = schedule(rate, seconds)
    total = int(rate * seconds)
    consumer = ConsumerRecords(stall)
    errors = ErrorRecords()
    logging.getLogger(CONSUMER_LOGGER).addHandler(consumer)
    logging.getLogger().addHandler(errors)
    child, go, link = await connect_device(device, (plan,), 4 * total + 16)
    await asyncio.sleep(0.2)

    rows = 0
    go.set()
    start = last_row = time.perf_counter()
    held = hold_gil == 0
    # Until the device finished and nothing more came for a second.
    while child.is_alive() or time.perf_counter() - last_row < 1.0:
        await asyncio.sleep(0.05)
        if not held and time.perf_counter() - start >= HOLD_AT_S:
            hold_interpreter_lock(hold_gil)
            held = True
        got = len(eeg_cap.get_eeg_buffer(10 ** 9, True))
        if got:
            rows += got
            last_row = time.perf_counter()
    child.join()
    await asyncio.sleep(0.5)  # a lag report still on its way
    logging.getLogger(CONSUMER_LOGGER).removeHandler(consumer)
    logging.getLogger().removeHandler(errors)
    del link

    lost = (total - rows // 4) + (others - consumer.received)
    ok = not errors.texts and lost == consumer.lag_sum
    print(f"  {name}: {rate} msg/s for {seconds:g} s + {others} App2Mcu; stall {stall:g} s, interpreter lock "
          f"held {hold_gil:g} s: lost {lost} (EEG {total - rows // 4}, App2Mcu {others - consumer.received}); "
          f"consumer warnings {consumer.lag_reports} with n summing to {consumer.lag_sum}; "
          f"Error records {len(errors.texts)}{' ' + str(errors.texts[:3]) if errors.texts else ''} -> "
          f"{'ok' if ok else 'FAIL'}", flush=True)
    return ok


async def main(args) -> int:
    logging.getLogger(CONSUMER_LOGGER).setLevel(logging.INFO)  # before the consumer's first record
    spinners = [multiprocessing.Process(target=spin, daemon=True) for _ in range(args.load)]
    for s in spinners:
        s.start()
    good = runs = 0
    try:
        for _ in range(args.runs):
            for name in args.scenario or list(SCENARIOS):
                runs += 1
                good += await one_run(name, **SCENARIOS[name])
    finally:
        for s in spinners:
            s.terminate()
    print(f"goal met in {good} of {runs} runs (load: {os.getloadavg()[0]:.1f}, {args.load} spinning processes)")
    return 0 if good == runs else 1


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scenario", action="append", choices=list(SCENARIOS))
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--load", type=int, default=0, help="spinning processes kept running meanwhile")
    sys.exit(asyncio.run(main(ap.parse_args())))
