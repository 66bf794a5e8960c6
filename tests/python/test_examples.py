# The examples run end to end (against the device emulator, found by mDNS or given by address;
# on a capture made by the test encoder; on NumPy arrays) and must each recover the 10 Hz rhythm
# of 20, 40, ... 160 µV fed on channels 1 to 8. They type-check strictly against the installed stubs.
# The offline example keeps every complete block of captures of any size, cut or damaged ones too,
# and of those whose payloads hold the frame-start bytes: at least every block that a MessageParser
# alone decodes. Its closing line says only what is true. The README's recipes are its code and
# work on an empty buffer.
from __future__ import annotations

import asyncio
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kx_proto_sdk import eeg_cap
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


def run_script(name: str, *args: str) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done


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


async def read_until(stream: asyncio.StreamReader, lines: list[str], done) -> str:
    # Keeps each line in `lines` until one satisfies `done`; the timeout only guards against a hang.
    while not lines or not done(lines[-1]):
        line = await asyncio.wait_for(stream.readline(), 30)
        assert line, f"the example ended early: {lines}"
        lines.append(line.decode().rstrip("\n"))
    return lines[-1]


def blocks(line: str) -> int:
    return int(line.removesuffix(" blocks received"))


async def started_with_the_settings(conn) -> None:
    # Each connection gets the configuration and then the start, and nothing else.
    await conn.wait_for(lambda c: any(cmd.cmd == frames.ACQ_ENABLE for cmd in c.commands), timeout=30)
    first = conn.commands[0].msg_id
    assert conn.received == (frames.command(first, frames.EEG, frames.ACQ_CFG_SET, (111, 111, 15))
                             + frames.command(first + 1, frames.EEG, frames.ACQ_ENABLE))


async def run_reconnect_example() -> tuple[list[str], list[str], int]:
    # The cap streams 100 blocks, goes away (stops listening, closes the connection), refuses at least one
    # connect, comes back on the same port and streams 100 more; the example stops at 200.
    out: list[str] = []
    err: list[str] = []
    proc = None
    try:
        async with DeviceEmulator() as dev:
            port = dev.port
            proc = await asyncio.create_subprocess_exec(
                sys.executable, str(EXAMPLES / "reconnect.py"), "--address", "127.0.0.1", "--port", str(port),
                "--blocks", "200", "--seconds", "60", stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
            conn = await dev.wait_connection(timeout=30)
            await started_with_the_settings(conn)
            await conn.send(capture_bytes())
            await read_until(proc.stdout, out, lambda line: blocks(line) >= 100)
        await read_until(proc.stderr, err, lambda line: line.startswith("Failed to connect to TCP server: "))
        async with DeviceEmulator(port=port) as dev:
            conn = await dev.wait_connection(timeout=30)
            await started_with_the_settings(conn)
            await conn.send(capture_bytes())
            rest, rest_err = await asyncio.wait_for(proc.communicate(), 30)
    finally:
        if proc is not None and proc.returncode is None:
            proc.kill()
            await proc.wait()
    assert proc.returncode == 0, rest_err.decode()
    return out + rest.decode().splitlines(), err + rest_err.decode().splitlines(), port


def test_reconnect_example_streams_again_after_the_cap_drops_and_comes_back():
    out, err, port = run(run_reconnect_example(), timeout=120)
    before_drop = next(line for line in out if blocks(line) >= 100)
    assert (before_drop, out[-1]) == ("100 blocks received", "200 blocks received")
    connected = f"connected to 127.0.0.1 port {port}"
    refused = [line for line in err if line.startswith("Failed to connect to TCP server: ")]
    assert err == [connected, "connection lost; reconnecting", *refused, connected], err
    assert refused and all(line.endswith("Connection refused (os error 111); again in 1.0 s") for line in refused)


def stream_with_discovery() -> str:
    code = f"import asyncio, test_examples\nprint(asyncio.run(test_examples.run_stream_example({SCAN_PORT}, True)))"
    done = mdns_ns.run_scenario(code, responders=[["--service", f"cap:{SCAN_PORT}:127.0.0.1"]], timeout=90)
    assert done.returncode == 0 and f"found a cap at 127.0.0.1 port {SCAN_PORT}" in done.stdout, done.stderr
    return done.stdout


@pytest.mark.parametrize("produce, label", [
    (lambda: run_script("filter_array.py").stdout, "clean RMS µV"),
    (lambda: run_script("offline_parse.py", str(CAPTURE)).stdout, "RMS µV"),
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


def recording(messages: int, blocks_per_message: int) -> list[frames.MainApp]:
    # The cap's configuration (250 Hz, gain 24, normal input), then EEG messages of distinct blocks.
    script = [frames.MainApp(msg_id=1, config=(111, 111, 15))]
    for m in range(messages):
        first = 1000 + m * blocks_per_message
        blocks = [frames.EegSample(t, frames.sample_block(t)) for t in range(first, first + blocks_per_message)]
        script.append(frames.MainApp(msg_id=2 + m, samples=blocks))
    return script


def rows_of(messages: list[frames.MainApp]) -> np.ndarray:
    return np.asarray([frames.row(s, 111) for m in messages for s in m.samples or []], np.float32).reshape(-1, 33)


def parse_offline(tmp_path: Path, capture: bytes) -> tuple[np.ndarray, str]:
    (tmp_path / "capture.bin").write_bytes(capture)
    done = run_script("offline_parse.py", str(tmp_path / "capture.bin"), "--out", str(tmp_path / "rows.npy"))
    return np.load(tmp_path / "rows.npy"), done.stderr


@pytest.mark.parametrize("messages, blocks_per_message", [(1000, 1), (250, 4), (10_000, 4)],
                         ids=["1000x1-block", "250x4-blocks", "40000-blocks"])
def test_offline_example_keeps_every_block_of_a_capture(tmp_path, messages, blocks_per_message):
    script = recording(messages, blocks_per_message)
    rows, stderr = parse_offline(tmp_path, b"".join(m.frame() for m in script))
    np.testing.assert_array_equal(rows, rows_of(script))
    assert stderr == ""  # neither the consumer's loss warning nor a parser record


def _damage(frame_bytes: list[bytes], index: int, offset: int, value: bytes) -> bytes:
    damaged = bytearray(frame_bytes[index])
    damaged[offset:offset + len(value)] = value
    return b"".join(frame_bytes[:index] + [bytes(damaged)] + frame_bytes[index + 1:])


CUT = "skipped 1 stretch of bytes not in a complete frame; the capture ends inside a frame"
STRAY = "skipped 1 stretch of bytes not in a complete frame"
# On 251 frames (configuration + 250 messages), fed 50 frames per batch: frame 49 ends a batch.
DAMAGES = {
    "cut-inside-last-frame": (lambda f: b"".join(f)[:-100], {250}, CUT),
    "cut-inside-a-frame-start": (lambda f: b"".join(f) + f[1][:3], set(), CUT),
    "cut-inside-a-header": (lambda f: b"".join(f) + f[1][:9], set(), CUT),
    "bad-crc": (lambda f: _damage(f, 120, 40, b"\xff\xff"), {120}, "skipped 1 damaged frame"),
    "huge-length-before-batch-end": (lambda f: _damage(f, 49, 6, (60000).to_bytes(2, "little")), {49}, STRAY),
    "long-length-mid-batch": (lambda f: _damage(f, 120, 6, (3000).to_bytes(2, "little")), {120}, STRAY),
    "stray-bytes": (lambda f: b"".join(f[:120] + [b"junk"] + f[120:]), set(), STRAY),
}


@pytest.mark.parametrize("damage, lost, line", DAMAGES.values(), ids=DAMAGES.keys())
def test_offline_example_keeps_every_complete_block_of_a_cut_or_damaged_capture(tmp_path, damage, lost, line):
    script = recording(250, 4)
    rows, stderr = parse_offline(tmp_path, damage([m.frame() for m in script]))
    np.testing.assert_array_equal(rows, rows_of([m for i, m in enumerate(script) if i not in lost]))
    assert stderr == f"offline_parse.py: {line}\n"


FRAME_START = b"QNLR\x02\x0b"  # the first six bytes of every frame; they also occur in payloads here
TESTS = Path(__file__).resolve().parent


def holding_start_bytes(message: frames.MainApp, block: int, at: int, length: int) -> frames.MainApp:
    # The message with the frame-start bytes and a length field at byte `at` of block `block`'s samples.
    samples = list(message.samples or [])
    data = samples[block].data[:at] + FRAME_START + length.to_bytes(2, "little") + samples[block].data[at + 8:]
    samples[block] = frames.EegSample(samples[block].timestamp, data)
    return frames.MainApp(msg_id=message.msg_id, samples=samples)


def marked(script: list[frames.MainApp], index: int, length: int) -> list[frames.MainApp]:
    return script[:index] + [holding_start_bytes(script[index], 2, 40, length)] + script[index + 1:]


def start_bytes_in_every_frame(messages: int) -> list[frames.MainApp]:
    # Each followed by a length that ends inside the frame, in a later frame, or past 8192 bytes.
    script = recording(messages, 4)
    return script[:1] + [holding_start_bytes(m, i % 4, 17 * i % 100, (0, 100, 470, 2000, 60000)[i % 5])
                         for i, m in enumerate(script[1:])]


def bad_crc(frame: bytes) -> bytes:
    return frame[:-1] + bytes([frame[-1] ^ 0xFF])


def undecodable(message: frames.MainApp) -> bytes:
    # A frame whose CRC holds but whose module bytes (MCU to BLE) the parser refuses.
    return frames.frame(message.encode(), frames.MODULE_MCU, 1)


def plain_decode(tmp_path: Path, capture: bytes) -> np.ndarray:
    # The rows that one MessageParser alone decodes from the capture fed in 4,096-byte calls.
    (tmp_path / "plain.bin").write_bytes(capture)
    done = subprocess.run([sys.executable, "-m", "support.plain_decode", str(tmp_path / "plain.bin"),
                           str(tmp_path / "plain.npy")], capture_output=True, text=True, timeout=60, cwd=TESTS)
    assert done.returncode == 0, done.stderr
    return np.load(tmp_path / "plain.npy")


SCRIPT = recording(20, 4)  # the configuration and 20 messages of four blocks: 80 blocks
GARBAGE = bytes(range(100, 150))  # 50 bytes, none of them the first of the frame-start bytes
# name: (messages, capture of their frames, indices of the messages whose blocks it loses, closing line).
PAYLOAD_CAPTURES = {
    "start-bytes-in-one-block": (marked(SCRIPT, 8, 300), b"".join, set(), None),
    "start-bytes-in-every-frame": (start_bytes_in_every_frame(60), b"".join, set(), None),
    "start-bytes-in-every-frame-of-5-batches": (start_bytes_in_every_frame(250), b"".join, set(), None),
    "start-bytes-in-the-complete-last-frame": (marked(SCRIPT, 20, 3000), b"".join, set(), None),
    "garbage-after-the-last-frame": (SCRIPT, lambda f: b"".join(f) + GARBAGE, set(), STRAY),
    "garbage-then-a-complete-last-frame": (SCRIPT, lambda f: b"".join(f[:10] + [GARBAGE] + f[10:]), set(), STRAY),
    "cut-inside-a-frame-holding-start-bytes": (marked(SCRIPT, 20, 300), lambda f: b"".join(f)[:-30], {20}, CUT),
    "garbage-after-a-frame-cut-short": (SCRIPT, lambda f: b"".join(f)[:-100] + GARBAGE, {20}, CUT),
    "damaged-frame-holding-start-bytes": (marked(SCRIPT, 8, 60000), lambda f: _damage(f, 8, 200, b"\0\0"), {8},
                                          "skipped 1 damaged frame"),
    "two-damaged-frames-in-a-row": (SCRIPT, lambda f: b"".join(f[:8] + [bad_crc(f[8]), bad_crc(f[9])] + f[10:]),
                                    {8, 9}, "skipped 2 damaged frames"),
    "undecodable-frame-holding-start-bytes": (
        SCRIPT, lambda f: b"".join(f[:10] + [undecodable(holding_start_bytes(SCRIPT[10], 2, 40, 60000))] + f[10:]),
        set(), "skipped 1 damaged frame"),
}


@pytest.mark.parametrize("script, capture, lost, line", PAYLOAD_CAPTURES.values(), ids=PAYLOAD_CAPTURES.keys())
def test_offline_example_keeps_what_a_plain_parser_decodes_and_its_closing_line_is_true(
        tmp_path, script, capture, lost, line):
    data = capture([m.frame() for m in script])
    rows, stderr = parse_offline(tmp_path, data)
    np.testing.assert_array_equal(rows, rows_of([m for i, m in enumerate(script) if i not in lost]))
    assert {tuple(r) for r in plain_decode(tmp_path, data)} <= {tuple(r) for r in rows}
    assert stderr == ("" if line is None else f"offline_parse.py: {line}\n")


def readme_python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", (EXAMPLES.parent / "README.md").read_text(), re.S)


@pytest.mark.parametrize("start, example", [("async def parse_capture", "offline_parse.py"),
                                            ("class DropSignal", "reconnect.py")], ids=["offline", "reconnect"])
def test_readme_recipes_are_the_examples_code(start, example):
    recipe = next(block for block in readme_python_blocks() if start in block)
    assert recipe in (EXAMPLES / example).read_text()


def test_readme_numpy_recipe_works_on_an_empty_buffer():
    recipe = next(block for block in readme_python_blocks() if block.startswith("rows = eeg_cap.get_eeg_buffer"))
    eeg_cap.clear_eeg_buffer()
    names: dict[str, object] = {"eeg_cap": eeg_cap, "np": np}
    exec(recipe, names)
    assert names["timestamps"].shape == (0,) and names["samples"].shape == (0, 8)
