"""The interpreter exits without hanging or crashing while background work runs."""
import os
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import run_python

# A few runs per scenario keep the suite quick; set KX_EXIT_TEST_REPEATS=200 for a soak.
REPEATS = int(os.environ.get("KX_EXIT_TEST_REPEATS", "6"))

PRELUDE = """
import asyncio, atexit, collections, logging, sys, threading, time
atexit.register(lambda: globals().get("earlier_exit_handler", lambda: None)())  # runs after the module's hook
import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap
from support.frames import EegSample, MainApp

def eeg_frames(n):
    return [MainApp(msg_id=i, samples=[EegSample(i, bytes(108))] * 4).frame() for i in range(n)]

async def pending_steps(count):
    client = kx.PyTcpClient("127.0.0.1", 9)  # never connected: every step waits
    stream = await client.get_data_stream()
    return client, stream, [asyncio.ensure_future(stream.__anext__()) for _ in range(count)]

async def consumers(count):
    p = kx.MessageParser("cap", kx.MsgType.Orvel)
    for _ in range(count):
        await p.start_message_stream()
    return p

def in_daemon_threads(forever):
    for _ in range(6):
        threading.Thread(target=forever, daemon=True).start()
"""

# name: (code, exit status, standard output)
SCENARIOS = {
    # sys.exit from inside a coroutine with steps pending and consumers storing samples.
    "sys-exit-in-coroutine": ("""
async def main():
    keep = await pending_steps(10)
    p = await consumers(4)
    for f in eeg_frames(100):
        p.receive_data(f)
    sys.exit(3)
asyncio.run(main())
""", 3, ""),
    # Daemon threads inside calls that log (to logging.lastResort) when the interpreter goes.
    "daemon-threads-logging": ("""
def parse_junk():
    p = kx.MessageParser("d", kx.MsgType.Orvel)
    while True:
        p.receive_data(b"junk-no-prefix" * 3)
in_daemon_threads(parse_junk)
time.sleep(0.1)
""", 0, ""),
    # Daemon threads inside filters that read a sequence through Python code, while consumer
    # tasks store samples and workers forward their records slowly to Python logging.
    "daemon-threads-filtering-while-stream-runs": ("""
log = logging.getLogger("kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap")
log.setLevel(logging.INFO)
log.addFilter(lambda record: time.sleep(0.0005))  # takes each record slowly, then drops it
def filter_samples():
    while True:
        eeg_cap.apply_band_pass_filter(collections.UserList(range(2000)), 4, 1.0, 40.0, 250.0)
in_daemon_threads(filter_samples)
async def main():
    p = await consumers(4)
    for f in eeg_frames(200):
        p.receive_data(f)
    await asyncio.sleep(0.05)
asyncio.run(main())
""", 0, ""),
    # A handler registered before the import runs after the module's own hook: its awaits
    # must end, either done or failed at once, never left pending.
    "awaitable-in-earlier-exit-handler": ("""
def earlier_exit_handler():
    async def main():
        try:
            await kx.MessageParser("c", kx.MsgType.Orvel).start_message_stream()
        except RuntimeError as e:
            print(e)
        print(*[str(e) for e in await asyncio.gather(*steps, return_exceptions=True)], sep="\\n")
    loop.run_until_complete(main())
loop = asyncio.new_event_loop()
steps = loop.run_until_complete(pending_steps(2))[2]
""", 0, "Cannot start the operation: the interpreter is shutting down\n"
        + "The operation was abandoned: the interpreter is shutting down\n" * 2),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_exit_is_clean(scenario):
    code, status, printed = SCENARIOS[scenario]
    with ThreadPoolExecutor(max_workers=3) as pool:  # a hang fails the test by its timeout
        results = list(pool.map(lambda _: run_python(PRELUDE + code, timeout=30), range(REPEATS)))
    for r in results:  # an abort or a crash shows in the exit status
        assert r.returncode == status, f"{scenario}: rc={r.returncode}\n{r.stderr[-2000:]}"
        assert r.stdout == printed
