"""get_eeg_buffer(10000, True) on 10,000 full records, against building the
same list of lists of floats in pure Python in the same run.

Run: python bench/bench_eeg_buffer.py (with the module installed or on PYTHONPATH)
Goal: ratio at most 2.
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

RECORDS = 10_000
REPEATS = 7


async def fill(parser, messages):
    eeg_cap.clear_eeg_buffer()
    await feed(parser, messages, batch=100)


async def main():
    eeg_cap.set_eeg_buffer_cfg(RECORDS)
    parser = kx.MessageParser("bench", kx.MsgType.Orvel)
    await parser.start_message_stream()
    messages = [MainApp(config=(1, 111, 0) if m == 0 else None,
                        samples=[EegSample(4 * m + i, sample_block(4 * m + i)) for i in range(4)])
                for m in range(RECORDS // 4)]
    module_times, python_times = [], []
    for _ in range(REPEATS):
        await fill(parser, messages)
        start = time.perf_counter()
        rows = eeg_cap.get_eeg_buffer(RECORDS, True)
        module_times.append(time.perf_counter() - start)
        assert len(rows) == RECORDS and len(rows[0]) == 33

        source = [tuple(r) for r in rows]
        start = time.perf_counter()
        built = [[float(v) for v in r] for r in source]
        python_times.append(time.perf_counter() - start)
        assert built == rows
    module, python = statistics.median(module_times), statistics.median(python_times)
    print(f"get_eeg_buffer({RECORDS}, True): median {module * 1e3:.2f} ms (best {min(module_times) * 1e3:.2f} ms)")
    print(f"pure Python list of lists:      median {python * 1e3:.2f} ms (best {min(python_times) * 1e3:.2f} ms)")
    print(f"ratio: {module / python:.2f} (goal <= 2)")


asyncio.run(main())
