"""get_eeg_buffer(n, True) on n full records for n = 1e3, 1e4, 1e5: time per
row, which should not grow with n (the cyclic collector must not walk the new
rows over and over), and at 1e4 against building the same list of lists of
floats in pure Python in the same run.

Run: python bench/bench_eeg_buffer.py (with the module installed or on PYTHONPATH)
Goals: per-row cost at 1e5 within 1.5x of that at 1e3; ratio to pure Python at most 2.
"""

import asyncio
import os
import statistics
import sys
import time

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from support.eeg_feed import feed  # noqa: E402
from support.frames import EegSample, MainApp, sample_block  # noqa: E402

SIZES = (1_000, 10_000, 100_000)
REPEATS = 5
MESSAGES = [MainApp(config=(1, 111, 0) if m == 0 else None,
                    samples=[EegSample(4 * m + i, sample_block((4 * m + i) % 512)) for i in range(4)])
            for m in range(max(SIZES) // 4)]


async def timed_reads(parser, records):
    eeg_cap.set_eeg_buffer_cfg(records)
    module_times, python_times = [], []
    for _ in range(REPEATS):
        eeg_cap.clear_eeg_buffer()
        await feed(parser, MESSAGES[:records // 4], batch=100)
        start = time.perf_counter()
        rows = eeg_cap.get_eeg_buffer(records, True)
        module_times.append(time.perf_counter() - start)
        assert len(rows) == records and len(rows[0]) == 33, (len(rows), len(rows[0]) if rows else None)

        source = [tuple(r) for r in rows]
        start = time.perf_counter()
        built = [[float(v) for v in r] for r in source]
        python_times.append(time.perf_counter() - start)
        assert built == rows
        del rows, source, built
    return statistics.median(module_times), statistics.median(python_times)


async def main():
    parser = kx.MessageParser("bench", kx.MsgType.Orvel)
    await parser.start_message_stream()
    per_row = {}
    for records in SIZES:
        module, python = await timed_reads(parser, records)
        per_row[records] = module / records
        print(f"get_eeg_buffer({records}, True): median {module * 1e3:.2f} ms, {module / records * 1e9:.0f} ns per row; "
              f"pure Python list of lists {python / records * 1e9:.0f} ns per row (ratio {module / python:.2f})")
    print(f"per-row cost 1e5 / 1e3: {per_row[SIZES[-1]] / per_row[SIZES[0]]:.2f} (goal <= 1.5)")


asyncio.run(main())
