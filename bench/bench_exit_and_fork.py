"""How fast a program ends or answers where it used to wait for ever: signals while exit waits for
a log handler, and calls in a child forked after the module's workers started.

    PYTHONPATH=<build dir>:tests/python python bench/bench_exit_and_fork.py [--runs 20] [--fork-runs 50]

Scenarios (each in fresh interpreters, inside a private network namespace with only loopback):
  sigint         exit waits for a handler blocked on a lock the main thread holds; Ctrl-C (SIGINT)
                 is sent once exit began. Goal: killed by SIGINT within 1 s of the signal.
  sigterm        the same with a Python SIGTERM handler that releases the lock. Goal: the program's
                 own status (7) within 1 s of the signal, the handler's line printed.
  pending-step   a handler waits, through a loop in a daemon thread, for a step pending at exit.
                 Goal: the program's status (5), the handler told the step was abandoned.
  fork, pool     a child made by os.fork / a multiprocessing fork pool connects to a closed port.
                 Goal: the child's answer (the refusal) within 1 s.
A run that has not ended 10 s after it should have counts as hung. Exit status 0 when every run met
its goal.
"""
import argparse
import ast
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from conftest import NAMESPACE_SETUP, python_command  # noqa: E402
from test_fork import PRELUDE as FORK_PRELUDE, REFUSED  # noqa: E402
from test_interpreter_exit import PRELUDE, SCENARIOS, SIGNAL_CASES, SIGNALLED_IN_EXIT_WAIT  # noqa: E402

HANG = 10.0


def signal_run(case):
    install_handler, signum, status, printed, _ = SIGNAL_CASES[case]
    args, env = python_command(PRELUDE + SIGNALLED_IN_EXIT_WAIT.format(install_handler=install_handler))
    with subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        first = proc.stdout.readline()
        sent = time.monotonic()
        proc.send_signal(signum)
        try:
            out, _ = proc.communicate(timeout=HANG)
        except subprocess.TimeoutExpired:
            proc.kill()
            return None
        took = time.monotonic() - sent
    return took if (proc.returncode, first + out) == (status, printed) else None


def pending_step_run():
    code, status, printed = SCENARIOS["handler-waits-for-a-step-pending-at-exit"]
    args, env = python_command(PRELUDE + code)
    start = time.monotonic()
    try:
        r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=HANG)
    except subprocess.TimeoutExpired:
        return None
    return time.monotonic() - start if (r.returncode, r.stdout) == (status, printed) else None


CHILD = FORK_PRELUDE + """
import time
def answer(_=None):
    start = time.monotonic()
    return outcome(connect_closed_port), time.monotonic() - start
outcome(connect_closed_port)
if sys.argv[1] == "fork":
    in_child(lambda: print(repr(answer())))
else:
    with multiprocessing.get_context("fork").Pool(1) as pool:
        print(repr(pool.apply(answer)))
"""


def fork_run(how):
    args, env = python_command(CHILD)
    try:
        r = subprocess.run(args + [how], env=env, capture_output=True, text=True, timeout=HANG)
    except subprocess.TimeoutExpired:
        return None
    try:
        text, took = ast.literal_eval(r.stdout.strip().splitlines()[-1])
    except (IndexError, SyntaxError, ValueError):
        return None
    return took if text == REFUSED else None


def report(name, times, goal):
    met = [t for t in times if t is not None and t <= goal]
    worst = max((t for t in times if t is not None), default=float("nan"))
    print(f"{name:13s} {len(met):3d}/{len(times)} within {goal:g} s; slowest {worst:.3f} s; "
          f"{times.count(None)} hung or wrong")
    return len(met) == len(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=20)
    ap.add_argument("--fork-runs", type=int, default=50)
    opts = ap.parse_args()
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        os.execvp("unshare", ["unshare", "-n", "sh", "-c", NAMESPACE_SETUP + ' && exec "$0" "$@"',
                              sys.executable, *sys.argv])
    ok = report("sigint", [signal_run("ctrl-c-ends-it-as-interrupted") for _ in range(opts.runs)], 1.0)
    ok &= report("sigterm", [signal_run("handler-frees-the-lock-and-exit-goes-on") for _ in range(opts.runs)], 1.0)
    ok &= report("pending-step", [pending_step_run() for _ in range(opts.runs)], HANG)
    ok &= report("fork", [fork_run("fork") for _ in range(opts.fork_runs)], 1.0)
    ok &= report("pool", [fork_run("pool") for _ in range(opts.fork_runs)], 1.0)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
