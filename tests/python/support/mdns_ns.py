# Runs each discovery scenario in a fresh interpreter in a loopback-only namespace of its own (`unshare -n`)
# next to mdns_responder.py responders; inside the namespace this file is the runner.

import json
import os
import shutil
import subprocess
import sys
import textwrap

RESPONDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mdns_responder.py")


def namespaces_available():
    return shutil.which("unshare") is not None and subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode == 0


def run_scenario(code, responders=(), peer_responders=(), timeout=60):
    # `responders`: argument lists for mdns_responder.py. `peer_responders` run in a second namespace joined by a
    # veth pair ("veth-a" 10.77.0.1 here, "veth-b" 10.77.0.2 there): IPv6 multicast does not work on loopback.
    full_env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    spec = json.dumps({"code": textwrap.dedent(code), "responders": [list(r) for r in responders],
                       "peer_responders": [list(r) for r in peer_responders]})
    return subprocess.run(["unshare", "-n", sys.executable, os.path.abspath(__file__), "--inner"],
                          input=spec, capture_output=True, text=True, timeout=timeout, env=full_env)


def _run_all(*cmds):
    for cmd in cmds:
        subprocess.run(cmd, check=True)


def _start_peer():
    # A second namespace, held by a sleeping process, joined by a veth pair made from here that ends with
    # the peer; duplicate address detection is off so link-local addresses work at once.
    peer = subprocess.Popen(["unshare", "-n", "sh", "-c", "echo; exec sleep 600"], stdout=subprocess.PIPE)
    peer.stdout.readline()  # in its namespace now
    enter = ["nsenter", "-t", str(peer.pid), "-n"]
    _run_all(["ip", "link", "add", "veth-a", "type", "veth", "peer", "name", "veth-b", "netns", str(peer.pid)],
             ["sysctl", "-qw", "net.ipv6.conf.veth-a.accept_dad=0"],
             ["ip", "addr", "add", "10.77.0.1/24", "dev", "veth-a"],
             ["ip", "link", "set", "veth-a", "up"],
             enter + ["sysctl", "-qw", "net.ipv6.conf.veth-b.accept_dad=0"],
             enter + ["ip", "addr", "add", "10.77.0.2/24", "dev", "veth-b"],
             enter + ["ip", "link", "set", "lo", "up"],
             enter + ["ip", "link", "set", "veth-b", "up"])
    for prefix, dev in (([], "veth-a"), (enter, "veth-b")):  # link-local address ready
        subprocess.run([*prefix, "timeout", "5", "sh", "-c", f"until ip -6 addr show dev {dev} | grep -q fe80:: && "
                        f"! ip -6 addr show dev {dev} | grep -q tentative; do sleep 0.05; done"], check=True)
    return peer, enter


def _start_responder(args, prefix=()):
    proc = subprocess.Popen([*prefix, sys.executable, RESPONDER, *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    if not proc.stdout.readline().startswith("ready "):
        proc.kill()
        proc.wait()
        raise RuntimeError(f"responder {args} did not start")
    return proc


def _stop(proc):
    proc.stdin.close()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _inner():
    spec = json.loads(sys.stdin.read())
    _run_all(["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
             ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"])
    started = []
    peer = None
    try:
        started += [_start_responder(args) for args in spec["responders"]]
        if spec["peer_responders"]:
            peer, enter = _start_peer()
            started += [_start_responder(args, enter) for args in spec["peer_responders"]]
        return subprocess.run([sys.executable, "-c", spec["code"]], stdin=subprocess.DEVNULL).returncode
    finally:
        for proc in started:
            _stop(proc)
        if peer is not None:
            peer.kill()
            peer.wait()


if __name__ == "__main__" and sys.argv[1:] == ["--inner"]:
    sys.exit(_inner())
