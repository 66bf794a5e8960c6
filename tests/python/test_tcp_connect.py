"""connect(): the parser copy, its receive task, and the road from device bytes to EEG buffer rows."""
import asyncio
import logging
import socket

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support import frames
from support.eeg_feed import feed, started_parser
from support.emulator import DeviceEmulator
from support.tcp_helpers import (PY_TCP_LOGGER, TCP_LOGGER, attach, enable_link_debug_logs, eventually,
                                 messages, parser, run)

enable_link_debug_logs()

GAIN_24 = int(eeg_cap.EegSignalGain.GAIN_24)


@pytest.fixture
def eeg_buffer():
    # Empty, keeps everything; rows decode with GAIN_24 (a primed configuration).
    async def prime():
        await feed(await started_parser(), [frames.MainApp(config=(111, GAIN_24, 15))])

    eeg_cap.set_eeg_buffer_cfg(1_000_000)
    run(prime())
    eeg_cap.clear_eeg_buffer()
    yield
    eeg_cap.set_eeg_buffer_cfg(1000)
    eeg_cap.clear_eeg_buffer()


async def collect_rows(count, timeout=10.0):
    rows = []
    await eventually(lambda: rows.extend(eeg_cap.get_eeg_buffer(10_000_000, True)) or len(rows) >= count, timeout)
    await asyncio.sleep(0.05)  # and no more than that
    return rows + eeg_cap.get_eeg_buffer(10_000_000, True)


@pytest.mark.parametrize("host", ["127.0.0.1", "::1"])
def test_whole_road_from_device_bytes_to_decoded_rows(eeg_buffer, caplog, host):
    script = frames.EegStreamScript()

    async def scenario():
        async with DeviceEmulator(host) as dev:
            client, conn = await attach(dev, host=host)
            one = script.message().frame()
            for piece in (one[:3], one[3:12], one[12:13], one[13:33], one[33:]):
                await conn.send(piece)
                await asyncio.sleep(0.01)
            await conn.send(b"".join(script.message().frame() for _ in range(40)))
            return dev.port, await collect_rows(len(script.sent))

    port, rows = run(scenario())
    assert rows == [frames.row(s, GAIN_24) for s in script.sent]
    assert f"Connecting to {host}:{port}" in messages(caplog, TCP_LOGGER, logging.INFO)
    assert "tcp enable_listening" in messages(caplog, TCP_LOGGER, logging.DEBUG)


def test_every_connect_adds_a_receive_task_with_a_copy_of_the_parser(eeg_buffer, caplog):
    # A refused connect's task parses the next connection's bytes; each copy completes the head its
    # parser held at connect (the object itself still holds it); a peer closing mid-frame ends the
    # read loop and a later connect keeps the old stream.
    script = frames.EegStreamScript()
    split = script.message().frame()
    rows = [frames.row(s, GAIN_24) for s in script.sent]

    async def scenario():
        with socket.create_server(("127.0.0.1", 0)) as probe:  # a free port, refused once
            port = probe.getsockname()[1]
        p, q = parser("a"), parser("b")
        p.receive_data(split[:20])
        client = kx.PyTcpClient("127.0.0.1", port)
        with pytest.raises(RuntimeError) as info:
            await client.connect(p)
        async with DeviceEmulator(port=port) as dev:
            for x in (p, q):
                assert await client.connect(x) == ()
                await x.start_message_stream()
            conn = await dev.wait_connection()
            await conn.send(split[20:] + script.message().frame())  # q's copy sees only the second whole
            copies = sorted(await collect_rows(2 * 4 + 3 * 4))
            p.receive_data(split[20:])
            own = await collect_rows(4)
            await conn.send(script.message(keep=False).frame()[:30])
            await conn.close()
            await eventually(lambda: "Connection closed by peer." in messages(caplog, TCP_LOGGER, logging.INFO))
            assert await client.connect(p) == ()
            return str(info.value), copies, own, len(dev.connections)

    assert run(scenario()) == ("Failed to connect to TCP server: Connection refused (os error 111)",
                               sorted(rows * 2 + [frames.row(s, GAIN_24) for s in script.sent[4:]] * 3), rows, 1)
    assert messages(caplog, PY_TCP_LOGGER, logging.DEBUG).count("Starting receive tcp data") == 4
    assert messages(caplog, TCP_LOGGER, logging.WARNING) == ["Connection already exists."] * 2


def test_fresh_process_first_id_discovery_and_exit_while_data_flows(fresh_python):
    # A refused connect leaves discovery running; the interpreter exits cleanly while the read loop,
    # receive and consumer tasks and a stream read run.
    r = fresh_python("""
        import asyncio, contextlib, socket, threading
        import kx_proto_sdk as kx
        from kx_proto_sdk import eeg_cap
        from support import frames

        server = socket.create_server(("127.0.0.1", 0))
        payload = frames.EegStreamScript().message().frame() * 50
        first = frames.command(1, frames.EEG, frames.ACQ_ENABLE)

        def device():
            conn = server.accept()[0]
            print(conn.recv(len(first), socket.MSG_WAITALL) == first, flush=True)
            while True:
                conn.sendall(payload)

        async def main():
            parser = kx.MessageParser("cap", kx.MsgType.Orvel)
            client = kx.PyTcpClient("127.0.0.1", server.getsockname()[1])
            with contextlib.suppress(TypeError):
                client.connect("not a parser")
            scan = asyncio.ensure_future(eeg_cap.mdns_scan())
            await asyncio.sleep(0.5)
            print("pending" if not scan.done() else scan.exception(), flush=True)
            scan.cancel()
            threading.Thread(target=device, daemon=True).start()
            await client.connect(parser)
            await parser.start_message_stream()
            await client.start_eeg_stream()
            stream = await client.get_data_stream()
            await stream.__anext__()
            asyncio.ensure_future(stream.__anext__())
            await asyncio.sleep(0.3)
            print("leaving")

        asyncio.run(main())
    """, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["pending", "True", "leaving"]


def test_cancelled_connect_leaves_the_slot_empty_and_frees_the_client():
    # A listener with a full accept queue drops SYNs, so connect waits.
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    fillers = [socket.socket() for _ in range(4)]
    for s in fillers:
        s.setblocking(False)
        s.connect_ex(listener.getsockname())

    async def scenario():
        client = kx.PyTcpClient("127.0.0.1", listener.getsockname()[1])
        pending = asyncio.ensure_future(client.connect(parser()))
        await asyncio.sleep(0.5)
        assert not pending.done()
        pending.cancel()
        assert isinstance(await asyncio.wait_for(client.get_data_stream(), 2), kx.PyTcpStream)  # lock is free
        assert pending.cancelled()
        for awaitable in (client.start_eeg_stream(), client.send_command(5, b"")):
            with pytest.raises(RuntimeError, match="^Failed to send command to TCP server: No active connection$"):
                await asyncio.wait_for(awaitable, 2)

    try:
        run(scenario())
    finally:
        for s in fillers + [listener]:
            s.close()
