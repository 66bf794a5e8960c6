import os
import shutil
import socket
import subprocess
import sys
import textwrap

import pytest

# The suite opens mDNS sockets (even `connect` creates the discovery daemon): it must run
# in a private network namespace that has only loopback, so nothing reaches another interface.
NAMESPACE_SETUP = "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo"


def pytest_configure(config):
    if [name for _, name in socket.if_nameindex()] == ["lo"]:  # inside the namespace already
        return
    if os.environ.get("KX_TEST_NETNS") or os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.exit("the tests need a private network namespace with only loopback: run scripts/test.sh", 2)
    env = dict(os.environ, KX_TEST_NETNS="1")
    args = ["unshare", "-n", "sh", "-c", NAMESPACE_SETUP + ' && exec "$0" "$@"',
            sys.executable, "-m", "pytest", *config.invocation_params.args]
    sys.stdout.flush()
    os.chdir(config.invocation_params.dir)
    os.execvpe("unshare", args, env)


# Cases that cannot run with the sanitizer runtime loaded (scripts/test.sh's ASan+UBSan stage), with the reason.
UNSANITIZABLE = {
    ("test_mdns.py", "test_daemon_creation_at_every_headroom_works_or_fails_every_call_and_never_aborts"):
        "it leaves exact descriptor counts free, and UBSan's vptr check opens a pipe to probe memory: "
        "with no descriptor left it reports every polymorphic object as invalid",
}


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "/libasan.so" in maps.read()


def pytest_collection_modifyitems(config, items):
    if not sanitizer_loaded():
        return
    for item in items:
        reason = UNSANITIZABLE.get((item.path.name, getattr(item, "originalname", item.name)))
        if reason:
            item.add_marker(pytest.mark.skip(reason="under ASan+UBSan: " + reason))


def python_command(code, env=None):
    """Arguments and environment that run `code` in a fresh interpreter with the same sys.path."""
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **(env or {}))
    return [sys.executable, "-c", textwrap.dedent(code)], full_env


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter (same sys.path) and returns the CompletedProcess."""
    args, full_env = python_command(code, env)
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=full_env)


@pytest.fixture
def fresh_python():
    return run_python
