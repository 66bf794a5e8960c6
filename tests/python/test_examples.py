# The examples run end to end (against the device emulator, found by mDNS or given by address;
# on a capture made by the test encoder; on NumPy arrays) and must each recover the 10 Hz rhythm
# of 20, 40, ... 160 µV fed on channels 1 to 8. They type-check strictly against the installed stubs.
from __future__ import annotations

import asyncio
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from support import frames, mdns_ns
from support.emulator import DeviceEmulator
from support.tcp_helpers import run

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
CAPTURE = EXAMPLES / "data" / "eeg_capture.bin"
EXPECTED_RMS = 20.0 * np.arange(1, 9) / np.sqrt(2)
MICROVOLTS_PER_COUNT = 9 / 24 * 2.0 ** -24 * 1e6  # at gain 24
SCAN_PORT = 47001  # the emulator's port in the discovery namespace, announced by the responder


def capture_bytes(blocks: int = 100) -> bytes:
    # A cap at 250 Hz, gain 24, normal input: its configuration, then frames of sin(10 Hz) x 20 µV x channel.
    n = np.arange(4 * blocks)
    microvolts = np.outer(np.sin(2 * np.pi * 10 * n / 250), 20.0 * np.arange(1, 9))
    counts = np.hstack([np.zeros((len(n), 1)), np.round(microvolts / MICROVOLTS_PER_COUNT)]).astype(np.int64) & 0xFFFFFF
    raw = np.stack([counts >> 16, (counts >> 8) & 255, counts & 255], axis=-1).astype(np.uint8)
    messages = [frames.MainApp(msg_id=1, config=(111, 111, 15))] + [
        frames.MainApp(msg_id=2 + m, samples=[frames.EegSample(1000 + b, raw[4 * b:4 * b + 4].tobytes())
                                              for b in range(4 * m, 4 * m + 4)])
        for m in range(blocks // 4)]
    return b"".join(m.frame() for m in messages)


def run_script(name: str, *args: str) -> str:
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


async def run_stream_example(port: int = 0, discover: bool = False) -> str:
    # The emulator sends the capture once the example has started the stream.
    async with DeviceEmulator(port=port) as dev:
        where = [] if discover else ["--address", "127.0.0.1", "--port", str(dev.port)]
        proc = await asyncio.create_subprocess_exec(
            sys.executable, str(EXAMPLES / "stream_eeg.py"), *where, "--samples", "400", "--seconds", "30",
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
        conn = await dev.wait_connection(timeout=30)
        await conn.wait_for(lambda c: any(cmd.cmd == frames.ACQ_ENABLE for cmd in c.commands), timeout=30)
        await conn.send(capture_bytes())
        out, err = await asyncio.wait_for(proc.communicate(), 40)
    assert proc.returncode == 0, err.decode()
    return out.decode()


def stream_with_discovery() -> str:
    code = f"import asyncio, test_examples\nprint(asyncio.run(test_examples.run_stream_example({SCAN_PORT}, True)))"
    done = mdns_ns.run_scenario(code, responders=[["--service", f"cap:{SCAN_PORT}:127.0.0.1"]], timeout=90)
    assert done.returncode == 0 and f"found a cap at 127.0.0.1 port {SCAN_PORT}" in done.stdout, done.stderr
    return done.stdout


@pytest.mark.parametrize("produce, label", [
    (lambda: run_script("filter_array.py"), "clean RMS µV"),
    (lambda: run_script("offline_parse.py", str(CAPTURE)), "RMS µV"),
    (lambda: run(run_stream_example(), timeout=60), "band-pass RMS µV"),
    (stream_with_discovery, "band-pass RMS µV"),
], ids=["filter_array", "offline_parse", "stream_eeg-address", "stream_eeg-mdns"])
def test_example_recovers_each_channels_rhythm(produce, label):
    last = [line for line in produce().splitlines() if f"{label}:" in line][-1]
    assert np.allclose([float(v) for v in last.split(":")[-1].split()], EXPECTED_RMS, rtol=0.05), last


def test_shipped_capture_is_the_encoders():
    assert CAPTURE.read_bytes() == capture_bytes()


def test_examples_type_check_strictly_against_the_installed_stubs():
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                           *map(str, sorted(EXAMPLES.glob("*.py")))], capture_output=True, text=True, cwd=EXAMPLES)
    assert done.returncode == 0, done.stdout + done.stderr
