"""The interpreter exits without hanging or crashing while background work runs."""
import os
import signal
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import python_command, run_python

# A few runs per scenario keep the suite quick; set KX_EXIT_TEST_REPEATS=200 for a soak.
REPEATS = int(os.environ.get("KX_EXIT_TEST_REPEATS", "6"))

PRELUDE = """
import asyncio, atexit, collections, logging, os, signal, sys, threading, time, types
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
    # A daemon thread that outlives finalization can crash CPython 3.10 itself at exit (about one
    # run in thirty with plain Python code and no module): a finalizer that sleeps lets
    # finalization end them all first, inside the module's calls, which is the case under test.
    for _ in range(6):
        threading.Thread(target=forever, daemon=True).start()
    sleep_in_finalization(0.2, "")

def sleep_in_finalization(seconds, text):
    # Freed while modules are torn down; sleeping there lets other threads take the lock. Held by
    # a module of its own: a frame still running on a worker keeps __main__'s globals alive.
    class SleepsWhenFreed:
        def __del__(self, sleep=time.sleep, write=os.write):
            sleep(seconds)
            write(1, text.encode())
    holder = sys.modules.setdefault("exit_test_holder", types.ModuleType("exit_test_holder"))
    holder.__dict__.setdefault("keepers", []).append(SleepsWhenFreed())

def hold_connect_record(handle):
    # `handle(record)` runs on the worker that forwards connect's first record; returns once it runs.
    entered = threading.Event()
    def held(record):
        entered.set()
        handle(record)
        return False
    tcp_log = logging.getLogger("kx_proto_sdk.utils.tcp_client")
    tcp_log.setLevel(logging.INFO)
    tcp_log.addFilter(held)
    async def start():
        kx.PyTcpClient("127.0.0.1", 9).connect(kx.MessageParser("c", kx.MsgType.Orvel))
        await asyncio.get_running_loop().run_in_executor(None, entered.wait)
    asyncio.run(start())
"""

# A worker forwards a record whose handling is still running when exit begins: the main thread lets
# it go only then, and the handler goes on in Python (re-entering the module, which logs) for `hold` s;
# a finalizer then sleeps `rest` s.
HANDLER_AT_EXIT = """
released = threading.Event()
def handle(record):
    released.wait()
    time.sleep({hold})
    kx.MessageParser("h", kx.MsgType.Orvel).receive_data(b"junk")
    print("handler done", flush=True)
hold_connect_record(handle)
sleep_in_finalization({rest}, "finalizer done\\n")
atexit.register(released.set)  # runs just before the module's own hook
sys.exit(4)
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
    # Finalization waits for the handler; it is never ended inside Python under a coroutine frame.
    "handler-running-when-exit-begins": (HANDLER_AT_EXIT.format(hold=0.05, rest=0.2), 4, "handler done\nfinalizer done\n"),
    # Workers admitted while the main thread holds the lock in a long call at exit get through
    # before finalization, which lets other threads run.
    "workers-queued-for-the-lock-at-exit": ("""
logging.getLogger("kx_proto_sdk.utils.tcp_client").setLevel(logging.INFO)
logging.getLogger("kx_proto_sdk.utils.tcp_client").addFilter(lambda record: False)
sleep_in_finalization(0.1, "")
def hold_the_lock():
    eeg_cap.apply_band_pass_filter(list(range(200000)), 4, 1.0, 40.0, 250.0)
async def main():
    p = kx.MessageParser("c", kx.MsgType.Orvel)
    calls = [p.start_message_stream() for _ in range(50)]
    calls += [kx.PyTcpClient("127.0.0.1", 9).connect(p) for _ in range(10)]
    atexit.register(hold_the_lock)
    sys.exit(2)
asyncio.run(main())
""", 2, ""),
    # A handler admitted before exit waits, through a loop in a daemon thread, for a step pending
    # since before exit: exit fails the step before it waits for the handler, so the handler ends.
    "handler-waits-for-a-step-pending-at-exit": ("""
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
step_started = threading.Event()
async def step():
    client, stream, steps = await pending_steps(1)
    step_started.set()
    return await steps[0]
step_result = asyncio.run_coroutine_threadsafe(step(), loop)
step_started.wait()
released = threading.Event()
def handle(record):
    released.wait()
    try:
        print("handler got", step_result.result())
    except RuntimeError as e:
        print("handler got", e)
hold_connect_record(handle)
atexit.register(released.set)
sys.exit(5)
""", 5, "handler got The operation was abandoned: the interpreter is shutting down\n"),
    # A daemon thread inside a parse whose log handler lets the lock go is ended by finalization:
    # the end of the thread unwinds through the call's boundary, which must let it pass.
    "daemon-thread-ended-inside-a-call": ("""
inside = threading.Event()
def slow(record):
    inside.set()
    time.sleep(0.05)
    return False
logging.getLogger("kx_proto_sdk.proto.msg_parser").addFilter(slow)
def parse_junk():
    p = kx.MessageParser("d", kx.MsgType.Orvel)
    while True:
        p.receive_data(b"junk-no-prefix" * 3)
in_daemon_threads(parse_junk)
inside.wait()
sleep_in_finalization(0.3, "finalizer done\\n")
""", 0, "finalizer done\n"),
    # A child forked while a worker is inside Python has no such worker: its exit does not wait.
    "fork-while-a-worker-is-in-python": ("""
released = threading.Event()
hold_connect_record(lambda record: released.wait())
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # a hang in the child's exit ends it (status -14), not the test's run
    sys.exit(6)
status = os.waitpid(pid, 0)[1]
released.set()
print("child", os.waitstatus_to_exitcode(status))
""", 0, "child 6\n"),
}


def run_repeatedly(scenario, code, status, printed, repeats):
    with ThreadPoolExecutor(max_workers=3) as pool:  # a hang fails the test by its timeout
        results = list(pool.map(lambda _: run_python(PRELUDE + code, timeout=30), range(repeats)))
    for r in results:  # an abort or a crash shows in the exit status
        assert r.returncode == status, f"{scenario}: rc={r.returncode}\n{r.stderr[-2000:]}"
        assert r.stdout == printed


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_exit_is_clean(scenario):
    run_repeatedly(scenario, *SCENARIOS[scenario], REPEATS)


# Longer than any time limit an exit could put on the wait, with a finalizer asleep when the handler
# would wake if finalization had not waited (once; every run in a soak).
def test_exit_waits_for_a_handler_however_long_it_runs():
    run_repeatedly("handler-outlasting-a-time-limit", HANDLER_AT_EXIT.format(hold=6, rest=1.5), 4,
                   "handler done\nfinalizer done\n", REPEATS if "KX_EXIT_TEST_REPEATS" in os.environ else 1)


# A log handler admitted before exit waits for a lock the main thread took before sys.exit, so the
# exit hook waits for it. A daemon thread prints once exit began (new calls are refused from then).
SIGNALLED_IN_EXIT_WAIT = """
signal.alarm(30)  # a hang before the line below ends the process, so the test's read returns
lock = threading.Lock()
lock.acquire()
hold_connect_record(lambda record: lock.acquire())
{install_handler}
def say_when_exit_began():
    async def until_refused():
        while True:
            try:
                await kx.PyTcpClient("127.0.0.1", 9).get_data_stream()
            except RuntimeError:
                return
            await asyncio.sleep(0.01)
    asyncio.run(until_refused())
    print("in exit wait", flush=True)
threading.Thread(target=say_when_exit_began, daemon=True).start()
sys.exit(7)
"""

# name: (Python signal handler installed, signal sent, exit status, standard output, text in standard error)
SIGNAL_CASES = {
    "ctrl-c-ends-it-as-interrupted": ("", signal.SIGINT, -signal.SIGINT, "in exit wait\n", "KeyboardInterrupt"),
    "handler-frees-the-lock-and-exit-goes-on": (
        "signal.signal(signal.SIGTERM, lambda *_: (print('SIGTERM handler', flush=True), lock.release()))",
        signal.SIGTERM, 7, "in exit wait\nSIGTERM handler\n", ""),
    "handler-exits-with-its-own-status": (
        "signal.signal(signal.SIGTERM, lambda *_: sys.exit(9))", signal.SIGTERM, 9, "in exit wait\n", ""),
}


@pytest.mark.parametrize("case", SIGNAL_CASES)
def test_signals_reach_python_while_exit_waits_for_a_handler(case):
    install_handler, signum, status, printed, in_stderr = SIGNAL_CASES[case]
    args, env = python_command(PRELUDE + SIGNALLED_IN_EXIT_WAIT.format(install_handler=install_handler))
    for _ in range(REPEATS):
        with subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
            try:
                first = proc.stdout.readline()
                if first == "in exit wait\n":
                    proc.send_signal(signum)
                out, err = proc.communicate(timeout=30)  # a hang fails here
            finally:
                proc.kill()
        assert (proc.returncode, first + out) == (status, printed), err[-2000:]
        assert in_stderr in err
