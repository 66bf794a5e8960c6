"""PyTcpClient: refused calls, message ids, command frames and the send path."""
import asyncio
import gc
import sys

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support import frames
from support.emulator import DeviceEmulator
from support.frames import ACQ_CFG_GET, ACQ_CFG_SET, ACQ_DISABLE, ACQ_ENABLE, EEG, IMU
from support.tcp_helpers import attach, enable_link_debug_logs, parser, run

enable_link_debug_logs()

RANGE = "out of range integral type conversion attempted"
NO_LOOP = "no running event loop"

# Calls refused before anything starts: method (None: the constructor), arguments, exception, start of its text.
REFUSED = [
    (None, ("localhost", 80), ValueError, "invalid IP address literal: 'localhost'"),
    (None, ("1.2.3.4\x00junk", 80), ValueError, "invalid IP address literal: '1.2.3.4\\x00junk'"),
    (None, (1, 2), TypeError, "argument 'addr': 'int' object cannot be converted to 'PyString'"),
    (None, ("1.2.3.4", "80"), TypeError, "argument 'port': "),
    # the port is converted before the address is parsed
    (None, ("127.0.0.1", 65536), OverflowError, RANGE), (None, ("localhost", -1), OverflowError, RANGE),
    ("set_eeg_config", (111, 271, 15), ValueError, "argument 'gain': 271 is not a code of EegSignalGain"),
    ("set_eeg_config", (111, 111, 47), ValueError, "argument 'signal': 47 is not a code of EegSignalSource"),
    ("set_eeg_config", (-241, 111, 15), ValueError, "argument 'sample_rate': -241 is not a code of EegSampleRate"),
    ("set_imu_config", (3,), ValueError, "argument 'sample_rate': 3 is not a code of ImuSampleRate (allowed: 0, 1, 2)"),
    ("set_eeg_config", (7, 111, 2147483648), OverflowError, RANGE),  # every setting converted before any check
    ("set_eeg_config", (111, eeg_cap.EegSignalGain.GAIN_24, 15), TypeError, "argument 'gain': "),
    ("send_command", (-1, b""), OverflowError, RANGE), ("send_command", (4294967296, b""), OverflowError, RANGE),
    ("send_command", ("1", b""), TypeError, "argument 'msg_id': "),
    ("send_command", (1, bytearray(b"x")), TypeError, "argument 'data': 'bytearray' object cannot be converted"),
    ("connect", ("not a parser",), TypeError,
     "argument 'py_parser': 'str' object cannot be converted to 'MessageParser'"),
    ("connect", (parser(),), RuntimeError, NO_LOOP), ("get_data_stream", (), RuntimeError, NO_LOOP),
]


@pytest.mark.parametrize("method, args, exc, text", REFUSED)
def test_refused_calls(method, args, exc, text):
    with pytest.raises(exc) as info:
        (kx.PyTcpClient if method is None else getattr(kx.PyTcpClient("127.0.0.1", 9), method))(*args)
    assert type(info.value) is exc and str(info.value).startswith(text)


def test_constructor_takes_keywords_the_highest_port_and_a_mapped_ipv4_address():
    assert isinstance(kx.PyTcpClient(port=65535, addr="::ffff:192.168.1.10"), kx.PyTcpClient)


# method, arguments, request field, cmd and config values as the device receives them
COMMANDS = [
    ("set_eeg_config", (111, 111, 15), EEG, ACQ_CFG_SET, (111, 111, 15)),
    ("get_eeg_config", (), EEG, ACQ_CFG_GET, None),
    ("start_eeg_stream", (), EEG, ACQ_ENABLE, None),
    ("stop_eeg_stream", (), EEG, ACQ_DISABLE, None),
    ("set_imu_config", (2,), IMU, ACQ_CFG_SET, (2,)),
    ("set_imu_config", (0,), IMU, ACQ_CFG_SET, (0,)),  # an empty config is still sent
    ("get_imu_config", (), IMU, ACQ_CFG_GET, None),
    ("start_imu_stream", (), IMU, ACQ_ENABLE, None),
    ("stop_imu_stream", (), IMU, ACQ_DISABLE, None),
]


def test_commands_reach_the_device_framed_with_ids_of_one_counter():
    # Refused calls and send_command take no id; a command called where no loop runs uses one.
    payload = bytes(range(256)) * 40

    async def scenario():
        async with DeviceEmulator() as dev:
            p = parser()
            client, conn = await attach(dev, p, stream_messages=False)
            other, _ = await attach(dev, p, stream_messages=False)
            refs = sys.getrefcount(client), sys.getrefcount(p)
            assert await client.connect(p) == ()  # a second connect: a warning and one more receive task
            for name, args, *_ in COMMANDS:
                assert await getattr(client, name)(*args) == ()
            for method, args, exc, _ in REFUSED:
                if method and exc is not RuntimeError:
                    with pytest.raises(exc):
                        getattr(client, method)(*args)
            for call in (client.start_eeg_stream, lambda: client.send_command(1, b"")):
                with pytest.raises(RuntimeError, match=NO_LOOP):
                    await asyncio.to_thread(call)
            assert [await client.send_command(5, b""), await client.send_command(4294967295, payload),
                    await other.get_eeg_config()] == [()] * 3
            await conn.wait_for(lambda c: c.commands)
            first = conn.commands[0].msg_id
            expected = b"".join(frames.command(first + i, *c[2:]) for i, c in enumerate(COMMANDS)) + payload
            await conn.wait_for(lambda c: len(c.received) >= len(expected))
            assert conn.received == expected
            via_other = frames.command(first + len(COMMANDS) + 1, EEG, ACQ_CFG_GET)
            await (conn_other := await dev.wait_connection(1)).wait_for(lambda c: len(c.received) >= len(via_other))
            assert conn_other.received == via_other
            gc.collect()
            assert (sys.getrefcount(client), sys.getrefcount(p)) == refs

    run(scenario())


def test_send_to_peer_that_never_reads_holds_the_locks_until_cancelled_or_reset():

    big = b"\x55" * (32 * 1024 * 1024)

    async def blocked_send(client):
        send = asyncio.ensure_future(client.send_command(1, big))
        await asyncio.sleep(0.3)
        stream = asyncio.ensure_future(client.get_data_stream())  # waits for the client lock
        await asyncio.sleep(0.1)
        assert not send.done() and not stream.done()
        return send, stream

    async def scenario():
        async with DeviceEmulator(read=False) as dev:
            client, conn = await attach(dev, stream_messages=False)
            send, stream = await blocked_send(client)
            send.cancel()
            assert isinstance(await asyncio.wait_for(stream, 2), kx.PyTcpStream) and send.cancelled()
            send, stream = await blocked_send(client)
            conn.abort()
            with pytest.raises(RuntimeError) as info:
                await asyncio.wait_for(send, 5)
            await asyncio.wait_for(stream, 5)
            return str(info.value)

    assert run(scenario()) in ("Failed to send command to TCP server: Connection reset by peer (os error 104)",
                               "Failed to send command to TCP server: Broken pipe (os error 32)")
