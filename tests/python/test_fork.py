"""A child forked after the module started its workers answers at once: its calls fail with the
cause and the remedy instead of waiting for workers that stayed in the parent."""
import os

import pytest

from conftest import run_python

REPEATS = int(os.environ.get("KX_EXIT_TEST_REPEATS", "3"))  # 50 for a soak

PRELUDE = """
import asyncio, multiprocessing, os, signal, sys
import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap
signal.alarm(20)  # a hang ends the process (status -14) rather than the test's run

def outcome(make_call):
    async def run():
        try:
            return repr(await asyncio.wait_for(make_call(), 5))
        except Exception as e:
            return f"{type(e).__name__}: {e}"
    return asyncio.run(run())

def connect_closed_port():
    return kx.PyTcpClient("127.0.0.1", 9).connect(kx.MessageParser("c", kx.MsgType.Orvel))

def in_child(report):
    pid = os.fork()
    if pid == 0:
        report()
        sys.stdout.flush()
        os._exit(0)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
"""

REFUSED = ("RuntimeError: Cannot start the operation: this process was forked after the module started its "
           "worker threads, which stay in the parent; start child processes with the 'spawn' or 'forkserver' "
           "method, or fork before the first awaitable call")
ABANDONED = ("RuntimeError: The operation was abandoned: this process was forked while it ran, and its work "
             "stays in the parent; start child processes with the 'spawn' or 'forkserver' method")
REFUSED_CONNECT = "RuntimeError: Failed to connect to TCP server: Connection refused (os error 111)"

# name: (code, standard output)
SCENARIOS = {
    # New objects and those made in the parent (a client, its stream, a parser, the discovery
    # daemon) fail at once in the child; the parent goes on working.
    "calls-in-a-child-fail-at-once": ("""
print(outcome(connect_closed_port))
parser = kx.MessageParser("p", kx.MsgType.Orvel)
client = kx.PyTcpClient("127.0.0.1", 9)
async def open_stream():
    return await client.get_data_stream()
stream = asyncio.run(open_stream())
in_child(lambda: print(*[outcome(call) for call in (
    connect_closed_port, eeg_cap.mdns_scan, parser.start_message_stream, client.get_data_stream,
    client.start_eeg_stream, stream.__anext__)], sep="\\n"))
print(outcome(connect_closed_port))
""", "\n".join([REFUSED_CONNECT] + [REFUSED] * 6 + [REFUSED_CONNECT]) + "\n"),
    # A step the parent awaited when it forked fails in the child, whose loop goes on.
    "a-step-pending-at-the-fork-fails-in-the-child": ("""
async def main():
    client = kx.PyTcpClient("127.0.0.1", 9)  # kept: the stream ends once the client is gone
    stream = await client.get_data_stream()
    step = asyncio.ensure_future(stream.__anext__())
    if os.fork() == 0:
        try:
            await step
        except RuntimeError as e:
            print(e, flush=True)
        os._exit(0)
    os.wait()
    print("parent's step pending:", not step.done())
asyncio.run(main())
""", ABANDONED.removeprefix("RuntimeError: ") + "\nparent's step pending: True\n"),
    # multiprocessing's default start method on Linux forks.
    "fork-pool": ("""
print(outcome(connect_closed_port))
with multiprocessing.get_context("fork").Pool(2) as pool:
    print(*pool.map(outcome, [connect_closed_port] * 4), sep="\\n")
""", "\n".join([REFUSED_CONNECT] + [REFUSED] * 4) + "\n"),
    # Before the first awaitable call there are no workers to lose: the child builds its own.
    "a-child-forked-before-any-awaitable-has-its-own-workers": ("""
in_child(lambda: print(outcome(connect_closed_port)))
print(outcome(connect_closed_port))
""", REFUSED_CONNECT + "\n" + REFUSED_CONNECT + "\n"),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_forked_child_answers_at_once(scenario):
    code, printed = SCENARIOS[scenario]
    for _ in range(REPEATS):
        r = run_python(PRELUDE + code, timeout=60)
        assert (r.returncode, r.stdout) == (0, printed), r.stderr[-2000:]
