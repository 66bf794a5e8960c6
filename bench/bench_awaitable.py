"""Awaitable round trip: `await parser.start_message_stream()` 10,000 times,
against `await loop.run_in_executor(None, noop)` in the same run.

Run: PYTHONPATH=<build dir> python bench/bench_awaitable.py
Goal: ratio at most 1.
"""

import asyncio
import statistics
import time

import kx_proto_sdk as kx

CALLS = 10_000
ROUNDS = 5


def noop():
    pass


async def timed(make):
    start = time.perf_counter()
    for _ in range(CALLS):
        await make()
    return time.perf_counter() - start


async def main():
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, noop)  # start the executor's thread
    ours, theirs = [], []
    for _ in range(ROUNDS):
        # A fresh parser per round: each call leaves one more consumer task on its channel.
        parser = kx.MessageParser("bench", kx.MsgType.Orvel)
        ours.append(await timed(parser.start_message_stream))
        theirs.append(await timed(lambda: loop.run_in_executor(None, noop)))
        del parser
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"start_message_stream:      {a / CALLS * 1e6:.1f} us per await (median of {ROUNDS} x {CALLS})")
    print(f"run_in_executor(None, noop): {b / CALLS * 1e6:.1f} us per await")
    print(f"ratio: {a / b:.2f} (goal <= 1)")


asyncio.run(main())
