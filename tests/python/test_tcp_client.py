"""PyTcpClient: constructor, message ids, the command methods and the send path,
checked against the loopback device emulator."""
import asyncio
import inspect
import logging

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support import frames
from support.emulator import DeviceEmulator
from support.tcp_helpers import TCP_LOGGER, enable_link_debug_logs, messages, run

enable_link_debug_logs()

SEND_FAILED = "Failed to send command to TCP server: {}"


def test_class_shape():
    assert kx.PyTcpClient.__text_signature__ == "(addr, port)"
    assert kx.PyTcpClient.__module__ == "builtins"
    assert str(inspect.signature(kx.PyTcpClient.set_eeg_config)) == "(self, /, sample_rate, gain, signal)"
    assert str(inspect.signature(kx.PyTcpClient.send_command)) == "(self, /, msg_id, data)"
    assert str(inspect.signature(kx.PyTcpClient.get_eeg_config)) == "(self, /)"
    with pytest.raises(TypeError):
        type("Sub", (kx.PyTcpClient,), {})


@pytest.mark.parametrize("addr, port", [("::1", 1), ("::ffff:192.168.1.10", 80),
                                        ("192.168.1.10", 0), ("255.255.255.255", 65535)])
def test_constructor_accepts_literals(addr, port):
    assert isinstance(kx.PyTcpClient(addr, port), kx.PyTcpClient)
    assert isinstance(kx.PyTcpClient(port=port, addr=addr), kx.PyTcpClient)


@pytest.mark.parametrize("addr", ["localhost", "010.0.0.1", "1.2.3", " 1.2.3.4", "[::1]",
                                  "fe80::1%lo", "1.2.3.4:80", "", "1.2.3.4\x00junk"])
def test_constructor_refuses_non_literal_with_value_error(addr):
    with pytest.raises(ValueError) as info:
        kx.PyTcpClient(addr, 80)
    assert repr(addr) in str(info.value)


@pytest.mark.parametrize("addr", ["127.0.0.1", "localhost"])
@pytest.mark.parametrize("port", [65536, -1])
def test_port_is_converted_before_the_address_is_parsed(addr, port):
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        kx.PyTcpClient(addr, port)


@pytest.mark.parametrize("args, exc, text", [
    ((1, 2), TypeError, "argument 'addr': 'int' object cannot be converted to 'PyString'"),
    (("1.2.3.4", "80"), TypeError, "argument 'port': "),
    (("1.2.3.4",), TypeError, "PyTcpClient.__new__() missing 1 required positional argument: 'port'"),
])
def test_constructor_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        kx.PyTcpClient(*args)
    assert str(info.value).startswith(text)


async def one_command_id(method: str = "get_eeg_config") -> int:
    """Sends one command on a fresh connection and returns the id the device saw."""
    async with DeviceEmulator(auto_reply=False) as dev:
        client = kx.PyTcpClient("127.0.0.1", dev.port)
        await client.connect(kx.MessageParser("dev", kx.MsgType.Orvel))
        conn = await dev.wait_connection()
        await getattr(client, method)()
        return (await conn.wait_commands(1))[0].msg_id


def test_command_without_running_loop_raises_and_uses_an_id():
    first = run(one_command_id())
    client = kx.PyTcpClient("127.0.0.1", 9)
    with pytest.raises(RuntimeError, match="no running event loop"):
        client.start_eeg_stream()
    with pytest.raises(RuntimeError, match="no running event loop"):
        client.send_command(1, b"")  # takes no id
    assert run(one_command_id()) == (first + 2) & 0xFFFFFFFF


# method, arguments, target, cmd, config as the device sees it
COMMANDS = [
    ("set_eeg_config", (111, 111, 15), "eeg", frames.ACQ_CFG_SET, {"freq": 111, "gain": 111, "source": 15}),
    ("get_eeg_config", (), "eeg", frames.ACQ_CFG_GET, None),
    ("start_eeg_stream", (), "eeg", frames.ACQ_ENABLE, None),
    ("stop_eeg_stream", (), "eeg", frames.ACQ_DISABLE, None),
    ("set_imu_config", (2,), "imu", frames.ACQ_CFG_SET, {"freq": 2}),
    ("set_imu_config", (0,), "imu", frames.ACQ_CFG_SET, {"freq": 0}),
    ("get_imu_config", (), "imu", frames.ACQ_CFG_GET, None),
    ("start_imu_stream", (), "imu", frames.ACQ_ENABLE, None),
    ("stop_imu_stream", (), "imu", frames.ACQ_DISABLE, None),
]


def test_commands_reach_the_device_with_consecutive_ids():
    async def scenario():
        async with DeviceEmulator(auto_reply=False) as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            other = kx.PyTcpClient("127.0.0.1", dev.port)
            parser = kx.MessageParser("dev", kx.MsgType.Orvel)
            assert await client.connect(parser) == ()
            assert await other.connect(parser) == ()
            conn = await dev.wait_connection(0)
            conn_other = await dev.wait_connection(1)
            results = []
            for name, args, *_ in COMMANDS:
                results.append(await getattr(client, name)(*args))
            assert await other.get_eeg_config() == ()
            got = await conn.wait_commands(len(COMMANDS))
            got_other = await conn_other.wait_commands(1)
            return results, got, got_other[0]

    results, got, via_other = run(scenario())
    assert results == [()] * len(COMMANDS)
    for (name, _, target, cmd, config), command in zip(COMMANDS, got):
        assert (command.target, command.cmd, command.config) == (target, cmd, config), name
    ids = [c.msg_id for c in got] + [via_other.msg_id]
    assert ids == [(ids[0] + i) & 0xFFFFFFFF for i in range(len(ids))]


def test_first_command_of_the_process_carries_id_one(fresh_python):
    r = fresh_python("""
        import asyncio
        import kx_proto_sdk as kx
        from support.emulator import DeviceEmulator

        async def main():
            async with DeviceEmulator(auto_reply=False) as dev:
                a = kx.PyTcpClient("127.0.0.1", dev.port)
                b = kx.PyTcpClient("127.0.0.1", dev.port)
                parser = kx.MessageParser("dev", kx.MsgType.Orvel)
                await a.connect(parser)
                await b.connect(parser)
                await a.start_eeg_stream()
                await b.stop_eeg_stream()
                first = (await (await dev.wait_connection(0)).wait_commands(1))[0]
                second = (await (await dev.wait_connection(1)).wait_commands(1))[0]
                print(first.msg_id, second.msg_id)

        asyncio.run(main())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["1", "2"]


@pytest.mark.parametrize("args, exc, text", [
    ((111, 7, 15), ValueError, "gain"),
    ((111, 111, 47), ValueError, "signal"),
    ((-1, 111, 15), ValueError, "sample_rate"),
    ((2147483648, 111, 15), OverflowError, "out of range integral type conversion attempted"),
    ((7, 111, 2147483648), OverflowError, "out of range integral type conversion attempted"),
    ((111, eeg_cap.EegSignalGain.GAIN_24, 15), TypeError, "argument 'gain': "),
    ((111, 111), TypeError, "missing 1 required positional argument: 'signal'"),
])
def test_bad_eeg_settings_take_no_id_and_send_nothing(args, exc, text):
    async def scenario():
        async with DeviceEmulator(auto_reply=False) as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            await client.connect(kx.MessageParser("dev", kx.MsgType.Orvel))
            conn = await dev.wait_connection()
            await client.get_eeg_config()
            with pytest.raises(exc) as info:
                client.set_eeg_config(*args)
            await client.get_eeg_config()
            got = await conn.wait_commands(2)
            await asyncio.sleep(0.05)
            return info.value, got, len(conn.commands)

    error, got, count = run(scenario())
    assert text in str(error)
    assert count == 2
    assert got[1].msg_id == (got[0].msg_id + 1) & 0xFFFFFFFF


def test_bad_setting_error_names_the_allowed_codes():
    client = kx.PyTcpClient("127.0.0.1", 9)
    with pytest.raises(ValueError) as info:
        client.set_imu_config(3)
    text = str(info.value)
    assert "sample_rate" in text and "0, 1, 2" in text
    with pytest.raises(ValueError) as info:
        client.set_eeg_config(111, 111, 79)
    assert "0, 15, 31, 63, 95" in str(info.value)


def test_command_on_never_connected_client_fails_on_await():
    async def scenario():
        client = kx.PyTcpClient("127.0.0.1", 9)
        pending = client.start_eeg_stream()  # returned normally
        with pytest.raises(RuntimeError) as info:
            await pending
        with pytest.raises(RuntimeError) as raw_info:
            await client.send_command(5, b"")
        return str(info.value), str(raw_info.value)

    assert run(scenario()) == (SEND_FAILED.format("No active connection"),) * 2


def test_send_command_writes_bytes_as_given():
    payload = bytes(range(256)) * 40

    async def scenario():
        async with DeviceEmulator(auto_reply=False) as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            await client.connect(kx.MessageParser("dev", kx.MsgType.Orvel))
            conn = await dev.wait_connection()
            empty = await client.send_command(5, b"")
            full = await client.send_command(4294967295, payload)
            got = await conn.wait_bytes(len(payload))
            await asyncio.sleep(0.05)
            return empty, full, got, bytes(conn.received)

    empty, full, got, everything = run(scenario())
    assert empty == () and full == ()
    assert got == payload and everything == payload


@pytest.mark.parametrize("msg_id, data, exc, text", [
    (-1, b"", OverflowError, "out of range integral type conversion attempted"),
    (4294967296, b"", OverflowError, "out of range integral type conversion attempted"),
    (1, bytearray(b"x"), TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (1, memoryview(b"x"), TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("1", b"", TypeError, "argument 'msg_id': "),
])
def test_send_command_argument_errors(msg_id, data, exc, text):
    client = kx.PyTcpClient("127.0.0.1", 9)
    with pytest.raises(exc) as info:
        client.send_command(msg_id, data)
    assert str(info.value).startswith(text)


def test_send_to_peer_that_reset_reports_system_error(caplog):
    caplog.set_level(logging.DEBUG, logger=TCP_LOGGER)

    async def scenario():
        async with DeviceEmulator(auto_reply=False) as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            await client.connect(kx.MessageParser("dev", kx.MsgType.Orvel))
            conn = await dev.wait_connection()
            conn.abort()
            await asyncio.sleep(0.1)
            for _ in range(20):
                try:
                    await client.send_command(1, b"x" * 1024)
                except RuntimeError as e:
                    return str(e)
                await asyncio.sleep(0.02)
            return None

    text = run(scenario())
    assert text in (SEND_FAILED.format("Connection reset by peer (os error 104)"),
                    SEND_FAILED.format("Broken pipe (os error 32)"))


def test_peer_that_never_reads_holds_the_send_until_it_goes():
    """A send to a peer that stops reading waits for writability with both
    locks held; when the peer goes away the send reports the system error and
    the client stays usable (no crash, no hang)."""
    big = b"\x55" * (32 * 1024 * 1024)

    async def scenario():
        async with DeviceEmulator(read=False) as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            await client.connect(kx.MessageParser("dev", kx.MsgType.Orvel))
            conn = await dev.wait_connection()
            send = asyncio.ensure_future(client.send_command(1, big))
            await asyncio.sleep(0.3)
            assert not send.done()
            # The client lock is held by the send, so this waits too.
            stream = asyncio.ensure_future(client.get_data_stream())
            await asyncio.sleep(0.1)
            assert not stream.done()
            conn.abort()
            with pytest.raises(RuntimeError) as info:
                await asyncio.wait_for(send, 5)
            await asyncio.wait_for(stream, 5)
            return str(info.value)

    text = run(scenario())
    assert text.startswith("Failed to send command to TCP server: ")
    assert "(os error " in text


def test_cancelled_send_releases_the_locks():
    big = b"\x55" * (32 * 1024 * 1024)

    async def scenario():
        async with DeviceEmulator(read=False) as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            await client.connect(kx.MessageParser("dev", kx.MsgType.Orvel))
            await dev.wait_connection()
            send = asyncio.ensure_future(client.send_command(1, big))
            await asyncio.sleep(0.2)
            send.cancel()
            # The locks are free again: a stream is handed out at once.
            stream = await asyncio.wait_for(client.get_data_stream(), 2)
            return send.cancelled(), stream

    cancelled, stream = run(scenario())
    assert cancelled
    assert isinstance(stream, kx.PyTcpStream)
