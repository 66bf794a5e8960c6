import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter (same sys.path) and returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )


@pytest.fixture
def fresh_python():
    return run_python
