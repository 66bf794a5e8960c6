"""connect(): the parser copy, its receive task, and the whole road from the
device's bytes to rows of the EEG buffer."""
import asyncio
import logging
import re
import socket
import time

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support import frames
from support.emulator import DeviceEmulator
from support.tcp_helpers import (PY_TCP_LOGGER, TCP_LOGGER, attach, enable_link_debug_logs, eventually,
                                 messages, parser, run)

enable_link_debug_logs()

SR_250 = int(eeg_cap.EegSampleRate.SR_250Hz)
GAIN_24 = int(eeg_cap.EegSignalGain.GAIN_24)
NORMAL = int(eeg_cap.EegSignalSource.NORMAL)
KNOWN_CONFIG = (SR_250, GAIN_24, NORMAL)


def expected_rows(script, copies=1):
    return sorted([frames.row(s, GAIN_24) for s in script.sent] * copies)


async def prime_eeg_state():
    """Makes the process-wide last EEG configuration KNOWN_CONFIG (rows then
    decode with GAIN_24) through a parser of its own, and empties the buffer."""
    primer = parser("primer")
    await primer.start_message_stream()
    block = frames.EegSample(1, frames.sample_block(1))
    primer.receive_data(frames.MainApp(config=KNOWN_CONFIG, samples=[block]).frame())
    await eventually(lambda: eeg_cap.get_eeg_buffer(1, True))


@pytest.fixture
def eeg_buffer():
    """An empty process-wide EEG buffer that keeps everything during the test,
    with a known gain."""
    eeg_cap.set_eeg_buffer_cfg(1_000_000)
    run(prime_eeg_state())
    eeg_cap.clear_eeg_buffer()
    yield
    eeg_cap.set_eeg_buffer_cfg(1000)
    eeg_cap.clear_eeg_buffer()


async def collect_rows(count, timeout=10.0):
    """Drains the EEG buffer until `count` rows have come; oldest first."""
    rows = []
    await eventually(lambda: rows.extend(eeg_cap.get_eeg_buffer(10_000_000, True)) or len(rows) >= count, timeout)
    await asyncio.sleep(0.05)  # and no more than that
    return rows + eeg_cap.get_eeg_buffer(10_000_000, True)


def test_connect_argument_errors():
    client = kx.PyTcpClient("127.0.0.1", 9)
    with pytest.raises(TypeError) as info:
        client.connect("not a parser")
    assert str(info.value) == "argument 'py_parser': 'str' object cannot be converted to 'MessageParser'"
    with pytest.raises(RuntimeError, match="no running event loop"):
        client.connect(parser())
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'py_parser'"):
        client.connect()


@pytest.mark.parametrize("host", ["127.0.0.1", "::1"])
def test_whole_road_from_config_to_decoded_rows(eeg_buffer, caplog, host):
    """Split frames, junk before a frame, a bad CRC and a burst of many
    frames in one write all come out as the right rows."""
    caplog.set_level(logging.DEBUG, logger=TCP_LOGGER)
    script = frames.EegStreamScript()

    async def scenario():
        async with DeviceEmulator(host) as dev:
            client, conn = await attach(dev, host=host)
            assert await client.set_eeg_config(SR_250, GAIN_24, NORMAL) == ()
            await client.start_eeg_stream()
            commands = await conn.wait_commands(2)
            await asyncio.sleep(0.1)  # the config reply has been consumed
            eeg_cap.clear_eeg_buffer()
            one = script.message().frame()
            for piece in (one[:3], one[3:12], one[12:13], one[13:33], one[33:]):
                await conn.send(piece)
                await asyncio.sleep(0.01)
            await conn.send(b"garbage!" * 5 + script.message().frame())
            bad = bytearray(script.message(keep=False).frame())
            bad[-1] ^= 0xFF
            await conn.send(bytes(bad) + script.message().frame())
            await conn.send(b"".join(script.message().frame() for _ in range(40)))
            return dev.port, commands, await collect_rows(len(script.sent))

    port, commands, rows = run(scenario())
    assert commands[0].config == {"freq": SR_250, "gain": GAIN_24, "source": NORMAL}
    assert commands[1].cmd == frames.ACQ_ENABLE
    assert rows == [frames.row(s, GAIN_24) for s in script.sent]  # in order
    assert all(len(r) == 33 for r in rows)
    log = messages(caplog, TCP_LOGGER)
    assert f"Connecting to {host}:{port}" in log
    assert "tcp enable_listening" in log


def test_failed_connect_leaves_its_receive_task_for_the_next_connection(eeg_buffer, caplog):
    caplog.set_level(logging.DEBUG, logger=PY_TCP_LOGGER)
    script = frames.EegStreamScript()

    async def scenario():
        probe = socket.create_server(("127.0.0.1", 0))  # a free port, refused once
        port = probe.getsockname()[1]
        probe.close()
        p = parser()
        client = kx.PyTcpClient("127.0.0.1", port)
        await p.start_message_stream()
        with pytest.raises(RuntimeError) as info:
            await client.connect(p)
        async with DeviceEmulator(port=port) as dev:
            assert await client.connect(p) == ()
            await (await dev.wait_connection()).send(script.message().frame())
            return str(info.value), await collect_rows(8)

    error, rows = run(scenario())
    assert error == "Failed to connect to TCP server: Connection refused (os error 111)"
    assert sorted(rows) == expected_rows(script, 2)
    assert messages(caplog, PY_TCP_LOGGER, logging.DEBUG).count("Starting receive tcp data") == 2


@pytest.mark.parametrize("make_parsers", [
    lambda: (parser(),) * 2,              # the same parser connected twice
    lambda: (parser("a"), parser("b")),   # two parsers on one byte stream
], ids=["same-parser-twice", "two-parsers"])
def test_second_connect_warns_and_every_copy_parses_the_stream(eeg_buffer, caplog, make_parsers):
    caplog.set_level(logging.DEBUG, logger=TCP_LOGGER)
    script = frames.EegStreamScript()

    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev, *make_parsers())
            await conn.send(script.message().frame())
            rows = await collect_rows(8)
            return rows, len(dev.connections)

    rows, connections = run(scenario())
    assert connections == 1
    assert sorted(rows) == expected_rows(script, 2)
    assert messages(caplog, TCP_LOGGER, logging.WARNING) == ["Connection already exists."]


def test_half_frames_at_connect_and_at_peer_close(eeg_buffer, caplog):
    """A head given before connect is completed by the copy (and still by the
    object itself); a peer closing mid-frame is survived without a reconnect."""
    caplog.set_level(logging.DEBUG, logger=TCP_LOGGER)
    script = frames.EegStreamScript()
    frame = script.message().frame()
    head, tail = frame[:20], frame[20:]

    async def scenario():
        async with DeviceEmulator() as dev:
            p = parser()
            p.receive_data(head)
            client, conn = await attach(dev, p)
            await conn.send(tail)
            first = await collect_rows(4)
            p.receive_data(tail)  # the object's own state still holds the head
            second = await collect_rows(4)
            await conn.send(script.message(keep=False).frame()[:30])
            await conn.close()
            await eventually(lambda: "Connection closed by peer." in messages(caplog, TCP_LOGGER))
            assert await client.connect(p) == ()  # the stream stays in the slot
            return first, second, eeg_cap.get_eeg_buffer(100, True)

    assert run(scenario()) == (expected_rows(script), expected_rows(script), [])
    assert messages(caplog, TCP_LOGGER, logging.WARNING) == ["Connection already exists."]


def test_slow_parser_copy_lags_and_goes_on(caplog):
    """A logging handler that stalls the receive task (it parses junk, which
    logs) lets the raw channel run more than 128 chunks ahead of it."""
    caplog.set_level(logging.DEBUG, logger=PY_TCP_LOGGER)
    parser_logger = logging.getLogger("kx_proto_sdk.proto.msg_parser")

    class Stall(logging.Handler):
        def emit(self, record):
            time.sleep(0.005)

    stall = Stall(logging.WARNING)
    parser_logger.addHandler(stall)
    junk = [bytes([0x20 + i % 64]) * 24 for i in range(300)]

    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev)
            pace = await client.get_data_stream()
            for chunk in junk:
                await conn.send(chunk)
                assert await pace.__anext__() == chunk
            await eventually(lambda: any(m.startswith("Error receiving tcp data: Lagged(")
                                         for m in messages(caplog, PY_TCP_LOGGER, logging.ERROR)), 20)

    try:
        run(scenario(), timeout=60)
    finally:
        parser_logger.removeHandler(stall)
    lags = messages(caplog, PY_TCP_LOGGER, logging.ERROR)
    assert lags and all(re.fullmatch(r"Error receiving tcp data: Lagged\(\d+\)", m) for m in lags)


def test_interpreter_exits_cleanly_while_data_flows(fresh_python):
    """Read loop, receive task, consumer task and a pending stream read are all
    busy when the interpreter exits: no hang, no crash."""
    r = fresh_python("""
        import asyncio, socket, threading, time
        import kx_proto_sdk as kx
        from support import frames

        server = socket.create_server(("127.0.0.1", 0))
        port = server.getsockname()[1]
        script = frames.EegStreamScript()
        payload = b"".join(script.message(keep=False).frame() for _ in range(50))

        def device():
            conn, _ = server.accept()
            try:
                while True:
                    conn.sendall(payload)
                    time.sleep(0.001)
            except OSError:
                pass

        threading.Thread(target=device, daemon=True).start()

        async def main():
            parser = kx.MessageParser("cap", kx.MsgType.Orvel)
            client = kx.PyTcpClient("127.0.0.1", port)
            await client.connect(parser)
            await parser.start_message_stream()
            stream = await client.get_data_stream()
            await stream.__anext__()
            asyncio.ensure_future(stream.__anext__())
            await asyncio.sleep(0.3)
            print("leaving")

        asyncio.run(main())
    """, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "leaving"


def test_connect_stops_discovery_first(fresh_python):
    """A refused call starts nothing; a real connect ends a pending scan
    (what follows for later scans is checked with the mDNS tests)."""
    r = fresh_python("""
        import asyncio
        import kx_proto_sdk as kx
        from kx_proto_sdk import eeg_cap
        from support.emulator import DeviceEmulator

        async def main():
            async with DeviceEmulator() as dev:
                client = kx.PyTcpClient("127.0.0.1", dev.port)
                try:
                    client.connect("not a parser")
                except TypeError:
                    pass
                scan = asyncio.ensure_future(eeg_cap.mdns_scan())
                await asyncio.sleep(0.5)
                print("pending" if not scan.done() else "done")
                await client.connect(kx.MessageParser("cap", kx.MsgType.Orvel))
                try:
                    await asyncio.wait_for(scan, 5)
                except RuntimeError as e:
                    print(str(e).startswith("Failed to scan for mDNS service: "))

        asyncio.run(main())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["pending", "True"]


def test_cancelled_connect_leaves_the_slot_empty_and_frees_the_client():
    """A listener whose accept queue is full drops SYNs, so the TCP connect
    waits; cancelling the awaitable abandons it."""
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    port = listener.getsockname()[1]
    fillers = []
    for _ in range(4):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        fillers.append(s)

    async def scenario():
        client = kx.PyTcpClient("127.0.0.1", port)
        pending = asyncio.ensure_future(client.connect(parser()))
        await asyncio.sleep(0.5)
        still_connecting = not pending.done()
        pending.cancel()
        stream = await asyncio.wait_for(client.get_data_stream(), 2)  # client lock is free
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(client.send_command(1, b"x"), 2)
        return still_connecting, pending.cancelled(), stream, str(info.value)

    try:
        still_connecting, cancelled, stream, error = run(scenario())
    finally:
        for s in fillers:
            s.close()
        listener.close()
    assert still_connecting and cancelled
    assert isinstance(stream, kx.PyTcpStream)
    assert error == "Failed to send command to TCP server: No active connection"
