"""The interpreter exits without hanging or crashing while background work runs:
pending awaitables, waiting streams, consumer tasks, workers that log."""
import os
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import run_python

# The issue asks for 100 clean exits in a row per scenario; set
# KX_EXIT_TEST_REPEATS=100 to check that, the suite keeps it quick.
REPEATS = int(os.environ.get("KX_EXIT_TEST_REPEATS", "6"))

PRELUDE = """
import asyncio, logging, sys, time
import kx_proto_sdk as kx
from support.frames import EegSample, MainApp, MODULE_APP, MODULE_MCU, field_varint, frame

def eeg_frames(n):
    return [MainApp(msg_id=i, samples=[EegSample(i, bytes(108))] * 4).frame() for i in range(n)]

def app_to_mcu_frames(n):
    return [frame(field_varint(1, i + 1), MODULE_APP, MODULE_MCU) for i in range(n)]

async def pending_steps(count):
    client = kx.PyTcpClient("127.0.0.1", 9)  # never connected: every step waits
    stream = await client.get_data_stream()
    return client, stream, [asyncio.ensure_future(stream.__anext__()) for _ in range(count)]

async def consumers(count):
    p = kx.MessageParser("cap", kx.MsgType.Orvel)
    for _ in range(count):
        await p.start_message_stream()
    return p
"""

SCENARIOS = {
    # asyncio.run cancels the tasks that wait on stream steps, then the process ends.
    "pending-awaitables-cancelled": """
async def main():
    keep = await pending_steps(20)
    futures = [kx.MessageParser("c", kx.MsgType.Orvel).start_message_stream() for _ in range(50)]
    await asyncio.sleep(0.01)
asyncio.run(main())
""",
    # The loop is left open with steps pending and results still arriving.
    "abandoned-loop": """
loop = asyncio.new_event_loop()
async def main():
    global keep
    keep = await pending_steps(20)
    keep += tuple(kx.MessageParser("c", kx.MsgType.Orvel).start_message_stream() for _ in range(50))
loop.run_until_complete(main())
""",
    # Results arrive for a loop that is closed already.
    "closed-loop": """
loop = asyncio.new_event_loop()
async def main():
    return [kx.MessageParser("c", kx.MsgType.Orvel).start_message_stream() for _ in range(100)]
futures = loop.run_until_complete(main())
loop.close()
""",
    # Consumer tasks are still storing samples when the interpreter goes.
    "consumers-running": """
async def main():
    global p
    p = await consumers(8)
    for f in eeg_frames(400):
        p.receive_data(f)
asyncio.run(main())
""",
    # Workers are busy forwarding log records (slowly) to Python logging.
    "workers-logging": """
class Slow(logging.Handler):
    def emit(self, record):
        time.sleep(0.0005)
log = logging.getLogger("kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap")
log.setLevel(logging.INFO)
log.addHandler(Slow())
log.propagate = False
async def main():
    global p
    p = await consumers(8)
    for f in app_to_mcu_frames(300):
        p.receive_data(f)
    await asyncio.sleep(0.02)
asyncio.run(main())
""",
    # sys.exit from inside a coroutine while everything above is going on.
    "sys-exit-in-coroutine": """
async def main():
    keep = await pending_steps(10)
    p = await consumers(4)
    for f in eeg_frames(100) + app_to_mcu_frames(100):
        p.receive_data(f)
    sys.exit(3)
asyncio.run(main())
""",
}


def run_once(code):
    try:
        return run_python(PRELUDE + code, timeout=30)
    except Exception as e:  # a hang shows up as a timeout
        return e


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_exit_is_clean(scenario):
    expected_rc = 3 if scenario == "sys-exit-in-coroutine" else 0
    with ThreadPoolExecutor(max_workers=3) as pool:
        results = list(pool.map(run_once, [SCENARIOS[scenario]] * REPEATS))
    for r in results:
        assert not isinstance(r, Exception), f"{scenario}: {r!r}"
        assert r.returncode == expected_rc, f"{scenario}: rc={r.returncode}\n{r.stderr[-2000:]}"
        for crash in ("Fatal Python error", "Segmentation fault", "terminate called"):
            assert crash not in r.stderr, f"{scenario}: {r.stderr[-2000:]}"
