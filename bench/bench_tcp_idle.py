"""CPU time of the process while a client is connected and the link is idle.

    PYTHONPATH=<build dir>:tests/python python bench/bench_tcp_idle.py [seconds]

The read loop waits for readability in the reactor, so an idle connection
should cost next to nothing; a polling loop would show up here at once.
"""
import asyncio
import os
import resource
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import kx_proto_sdk as kx  # noqa: E402

from support.emulator import DeviceEmulator  # noqa: E402
from support.tcp_helpers import attach  # noqa: E402


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process
    return usage.ru_utime + usage.ru_stime


async def main(seconds: float) -> int:
    async with DeviceEmulator() as dev:
        client, conn = await attach(dev)
        stream = await client.get_data_stream()
        pending = asyncio.ensure_future(stream.__anext__())
        await asyncio.sleep(0.5)  # let start-up settle

        cpu0, wall0 = cpu_seconds(), time.perf_counter()
        await asyncio.sleep(seconds)
        cpu, wall = cpu_seconds() - cpu0, time.perf_counter() - wall0
        pending.cancel()
    print(f"idle for {wall:.2f} s with a connection, a read loop, a receive task, "
          f"a consumer task and a pending stream read: CPU {cpu * 1000:.1f} ms "
          f"({100 * cpu / wall:.3f} % of one core)")
    return 0 if cpu < 0.05 * wall else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main(float(sys.argv[1]) if len(sys.argv) > 1 else 5.0)))
