"""Runs discovery scenarios in a private network namespace with only loopback.

Every scenario gets a namespace of its own (`unshare -n`), made and removed
with the process that runs in it, so mDNS traffic never leaves the machine and
each scenario starts with fresh process-wide state (no daemon, no runtime).

Inside the namespace, this file is the runner: it brings loopback up with
multicast, starts the zeroconf responders (support/mdns_responder.py), runs
the scenario code in a fresh interpreter and stops the responders afterwards.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESPONDER = os.path.join(HERE, "mdns_responder.py")


def namespaces_available():
    """True when this process may make network namespaces."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return False
    probe = subprocess.run(["unshare", "-n", "true"], capture_output=True)
    return probe.returncode == 0


def run_scenario(code, responders=(), peer_responders=(), env=None, timeout=60):
    """Runs `code` in a fresh interpreter inside a new loopback-only namespace.

    `responders`: one argument list for mdns_responder.py per responder, all
    announced before the code starts. `peer_responders` run in a second
    namespace joined to the first by a veth pair ("veth-a" with 10.77.0.1
    here, "veth-b" with 10.77.0.2 there, both with IPv6 link-local
    addresses): IPv6 multicast does not work on loopback. Returns the CompletedProcess of the code.
    """
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    spec = json.dumps({"code": textwrap.dedent(code), "responders": [list(r) for r in responders],
                       "peer_responders": [list(r) for r in peer_responders]})
    return subprocess.run(
        ["unshare", "-n", sys.executable, os.path.abspath(__file__), "--inner"],
        input=spec,
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )


def _bring_up_loopback():
    for cmd in (["ip", "link", "set", "lo", "up"],
                ["ip", "link", "set", "lo", "multicast", "on"],
                ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
        subprocess.run(cmd, check=True)


def _start_peer():
    """A second namespace, held by a sleeping process, joined by a veth pair.

    The pair is made from inside this namespace and ends with the peer
    process; duplicate address detection is off so link-local addresses work
    at once.
    """
    peer = subprocess.Popen(["unshare", "-n", "sleep", "600"])
    time.sleep(0.1)
    enter = ["nsenter", "-t", str(peer.pid), "-n"]
    for cmd in (["ip", "link", "add", "veth-a", "type", "veth", "peer", "name", "veth-b",
                 "netns", str(peer.pid)],
                ["sysctl", "-qw", "net.ipv6.conf.veth-a.accept_dad=0"],
                ["ip", "addr", "add", "10.77.0.1/24", "dev", "veth-a"],
                ["ip", "link", "set", "veth-a", "up"],
                enter + ["sysctl", "-qw", "net.ipv6.conf.veth-b.accept_dad=0"],
                enter + ["ip", "addr", "add", "10.77.0.2/24", "dev", "veth-b"],
                enter + ["ip", "link", "set", "lo", "up"],
                enter + ["ip", "link", "set", "veth-b", "up"]):
        subprocess.run(cmd, check=True)
    for prefix, dev in (([], "veth-a"), (enter, "veth-b")):
        _wait_for_link_local(prefix, dev)
    return peer, enter


def _wait_for_link_local(prefix, dev, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        shown = subprocess.run([*prefix, "ip", "-6", "addr", "show", "dev", dev],
                               capture_output=True, text=True).stdout
        if "fe80::" in shown and "tentative" not in shown:
            return
        time.sleep(0.05)
    raise RuntimeError(f"{dev} got no link-local address")


def _start_responder(args, prefix=()):
    proc = subprocess.Popen([*prefix, sys.executable, RESPONDER, *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if line.strip() != "ready":
        proc.kill()
        proc.wait()
        raise RuntimeError(f"responder {args} did not start")
    return proc


def _stop_responder(proc):
    proc.stdin.close()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _inner():
    spec = json.loads(sys.stdin.read())
    _bring_up_loopback()
    started = []
    peer = None
    try:
        for args in spec["responders"]:
            started.append(_start_responder(args))
        if spec["peer_responders"]:
            peer, enter = _start_peer()
            for args in spec["peer_responders"]:
                started.append(_start_responder(args, enter))
        result = subprocess.run([sys.executable, "-c", spec["code"]], stdin=subprocess.DEVNULL)
        return result.returncode
    finally:
        for proc in started:
            _stop_responder(proc)
        if peer is not None:
            peer.kill()
            peer.wait()


if __name__ == "__main__" and sys.argv[1:] == ["--inner"]:
    sys.exit(_inner())
