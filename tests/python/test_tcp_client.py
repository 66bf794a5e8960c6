"""PyTcpClient: constructor, message ids, the command methods and the send path,
checked against the loopback device emulator."""
import asyncio
import inspect

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support import frames
from support.emulator import DeviceEmulator
from support.tcp_helpers import attach, enable_link_debug_logs, run

enable_link_debug_logs()

SEND_FAILED = "Failed to send command to TCP server: {}"
RANGE = "out of range integral type conversion attempted"


def test_class_shape():
    assert kx.PyTcpClient.__text_signature__ == "(addr, port)"
    assert kx.PyTcpClient.__module__ == "builtins"
    assert str(inspect.signature(kx.PyTcpClient.set_eeg_config)) == "(self, /, sample_rate, gain, signal)"
    assert str(inspect.signature(kx.PyTcpClient.send_command)) == "(self, /, msg_id, data)"
    assert str(inspect.signature(kx.PyTcpClient.get_eeg_config)) == "(self, /)"
    with pytest.raises(TypeError):
        type("Sub", (kx.PyTcpClient,), {})
    assert isinstance(kx.PyTcpClient(port=65535, addr="::ffff:192.168.1.10"), kx.PyTcpClient)


# The literal table itself is checked in C++; here the text reaching Python.
@pytest.mark.parametrize("addr", ["localhost", "", "1.2.3.4\x00junk"])
def test_constructor_refuses_non_literal_with_value_error(addr):
    with pytest.raises(ValueError) as info:
        kx.PyTcpClient(addr, 80)
    assert repr(addr) in str(info.value)


@pytest.mark.parametrize("args, exc, text", [
    ((1, 2), TypeError, "argument 'addr': 'int' object cannot be converted to 'PyString'"),
    (("1.2.3.4", "80"), TypeError, "argument 'port': "),
    (("1.2.3.4",), TypeError, "PyTcpClient.__new__() missing 1 required positional argument: 'port'"),
    # the port is converted before the address is parsed
    (("127.0.0.1", 65536), OverflowError, RANGE), (("localhost", -1), OverflowError, RANGE),
])
def test_constructor_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        kx.PyTcpClient(*args)
    assert str(info.value).startswith(text)


async def one_command_id() -> int:
    """Sends one command on a fresh connection and returns the id the device saw."""
    async with DeviceEmulator(auto_reply=False) as dev:
        client, conn = await attach(dev, stream_messages=False)
        await client.get_eeg_config()
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
            p = kx.MessageParser("dev", kx.MsgType.Orvel)
            client, conn = await attach(dev, p, stream_messages=False)
            other, _ = await attach(dev, p, stream_messages=False)
            conn_other = await dev.wait_connection(1)
            results = [await getattr(client, name)(*args) for name, args, *_ in COMMANDS]
            assert await other.get_eeg_config() == ()
            return results, await conn.wait_commands(len(COMMANDS)), (await conn_other.wait_commands(1))[0]

    results, got, via_other = run(scenario())
    assert results == [()] * len(COMMANDS)
    for (name, _, target, cmd, config), command in zip(COMMANDS, got):
        assert (command.target, command.cmd, command.config) == (target, cmd, config), name
    ids = [c.msg_id for c in got] + [via_other.msg_id]
    assert ids == [(ids[0] + i) & 0xFFFFFFFF for i in range(len(ids))]


def test_first_command_of_the_process_carries_id_one(fresh_python):
    r = fresh_python("""
        import asyncio
        from support.emulator import DeviceEmulator
        from support.tcp_helpers import attach

        async def main():
            async with DeviceEmulator(auto_reply=False) as dev:
                client, conn = await attach(dev, stream_messages=False)
                await client.start_eeg_stream()
                print((await conn.wait_commands(1))[0].msg_id)

        asyncio.run(main())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["1"]


@pytest.mark.parametrize("method, args, exc, texts", [
    ("set_eeg_config", (111, 7, 15), ValueError, ["gain"]),
    ("set_eeg_config", (111, 111, 47), ValueError, ["signal"]),
    ("set_eeg_config", (111, 111, 79), ValueError, ["0, 15, 31, 63, 95"]),
    ("set_eeg_config", (-1, 111, 15), ValueError, ["sample_rate"]),
    ("set_imu_config", (3,), ValueError, ["sample_rate", "0, 1, 2"]),
    ("set_eeg_config", (2147483648, 111, 15), OverflowError, [RANGE]),
    ("set_eeg_config", (7, 111, 2147483648), OverflowError, [RANGE]),
    ("set_eeg_config", (111, eeg_cap.EegSignalGain.GAIN_24, 15), TypeError, ["argument 'gain': "]),
    ("set_eeg_config", (111, 111), TypeError, ["missing 1 required positional argument: 'signal'"]),
])
def test_bad_settings_take_no_id_and_send_nothing(method, args, exc, texts):
    async def scenario():
        async with DeviceEmulator(auto_reply=False) as dev:
            client, conn = await attach(dev, stream_messages=False)
            await client.get_eeg_config()
            with pytest.raises(exc) as info:
                getattr(client, method)(*args)
            await client.get_eeg_config()
            got = await conn.wait_commands(2)
            await asyncio.sleep(0.05)
            return str(info.value), got, len(conn.commands)

    error, got, count = run(scenario())
    assert all(t in error for t in texts), error
    assert count == 2
    assert got[1].msg_id == (got[0].msg_id + 1) & 0xFFFFFFFF


def test_command_on_never_connected_client_fails_on_await():
    async def scenario():
        client = kx.PyTcpClient("127.0.0.1", 9)
        pending = client.start_eeg_stream()  # returned normally
        errors = []
        for awaitable in (pending, client.send_command(5, b"")):
            with pytest.raises(RuntimeError) as info:
                await awaitable
            errors.append(str(info.value))
        return errors

    assert run(scenario()) == [SEND_FAILED.format("No active connection")] * 2


def test_send_command_writes_bytes_as_given():
    payload = bytes(range(256)) * 40

    async def scenario():
        async with DeviceEmulator(auto_reply=False) as dev:
            client, conn = await attach(dev, stream_messages=False)
            results = (await client.send_command(5, b""), await client.send_command(4294967295, payload))
            await conn.wait_for(lambda c: len(c.received) >= len(payload))
            await asyncio.sleep(0.05)
            return results, bytes(conn.received)

    assert run(scenario()) == (((), ()), payload)


@pytest.mark.parametrize("msg_id, data, exc, text", [
    (-1, b"", OverflowError, RANGE),
    (4294967296, b"", OverflowError, RANGE),
    (1, bytearray(b"x"), TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (1, memoryview(b"x"), TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("1", b"", TypeError, "argument 'msg_id': "),
])
def test_send_command_argument_errors(msg_id, data, exc, text):
    with pytest.raises(exc) as info:
        kx.PyTcpClient("127.0.0.1", 9).send_command(msg_id, data)
    assert str(info.value).startswith(text)


@pytest.mark.parametrize("ending", ["peer-resets", "cancelled"])
def test_send_to_peer_that_never_reads_holds_the_locks_until_it_ends(ending):
    """A send to a peer that stops reading waits for writability with both
    locks held. A reset peer makes it report the system error; cancelling it
    frees the locks. Either way the client stays usable."""
    big = b"\x55" * (32 * 1024 * 1024)

    async def scenario():
        async with DeviceEmulator(read=False) as dev:
            client, conn = await attach(dev, stream_messages=False)
            send = asyncio.ensure_future(client.send_command(1, big))
            await asyncio.sleep(0.3)
            assert not send.done()
            stream = asyncio.ensure_future(client.get_data_stream())  # waits for the client lock
            await asyncio.sleep(0.1)
            assert not stream.done()
            if ending == "cancelled":
                send.cancel()
                assert isinstance(await asyncio.wait_for(stream, 2), kx.PyTcpStream)
                return send.cancelled()
            conn.abort()
            with pytest.raises(RuntimeError) as info:
                await asyncio.wait_for(send, 5)
            await asyncio.wait_for(stream, 5)
            return str(info.value)

    result = run(scenario())
    if ending == "cancelled":
        assert result is True
    else:
        assert result in (SEND_FAILED.format("Connection reset by peer (os error 104)"),
                          SEND_FAILED.format("Broken pipe (os error 32)"))
