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


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter (same sys.path) and returns the CompletedProcess."""
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **(env or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=full_env)


@pytest.fixture
def fresh_python():
    return run_python
