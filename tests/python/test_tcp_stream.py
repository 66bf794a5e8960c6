"""The raw byte stream: get_data_stream() and PyTcpStream. Chunk sizes and
order for several receivers are checked in C++."""
import asyncio
import gc
import logging
import sys

import pytest

import kx_proto_sdk as kx

from support.emulator import DeviceEmulator
from support.tcp_helpers import PY_TCP_LOGGER, attach, enable_link_debug_logs, messages, parser, run

enable_link_debug_logs()

ENDED = "Stream ended unexpectedly"


def test_stream_sees_only_later_chunks_also_when_taken_before_connect(caplog):
    async def scenario():
        async with DeviceEmulator() as dev:
            client = kx.PyTcpClient("127.0.0.1", dev.port)
            early = await client.get_data_stream()
            await client.connect(parser())
            conn = await dev.wait_connection()
            await conn.send(b"\x01\x02\xff")
            assert await early.__anext__() == b"\x01\x02\xff"  # a paced write is one chunk
            late = await client.get_data_stream()
            assert late.__aiter__() is late
            await conn.send(b"after")
            async for chunk in late:
                return early, chunk, await early.__anext__()

    early, *chunks = run(scenario())
    assert chunks == [b"after", b"after"]
    assert "Received data: [1, 2, 255]" in messages(caplog, PY_TCP_LOGGER, logging.DEBUG)
    with pytest.raises(RuntimeError, match="no running event loop"):
        early.__anext__()


def test_reads_take_turns_and_a_lagging_stream_resumes_at_the_oldest_held_chunk():
    """Two reads created at once get consecutive chunks (the stream lock orders
    them); then the stream falls behind: one RuntimeError, then the oldest
    chunk still held. Chunks are paced so each read returns one of them; no
    call keeps a reference to the client."""
    chunks = [bytes([i]) * 3 for i in range(140)]

    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev, stream_messages=False)
            refs = sys.getrefcount(client)
            stream, pace = await client.get_data_stream(), await client.get_data_stream()
            first, second = stream.__anext__(), stream.__anext__()  # the borrow was released by the first call
            for chunk in chunks:
                await conn.send(chunk)
                assert await pace.__anext__() == chunk
            result = sorted([await first, await second]), await stream.__anext__(), await stream.__anext__()
            assert sys.getrefcount(client) == refs
            return result

    both, lag, after = run(scenario())
    assert both == chunks[:2]
    assert isinstance(lag, RuntimeError) and str(lag) == ENDED
    assert after == chunks[140 - 128]


def test_stream_ends_when_client_released():
    """A read pending across the peer's close waits while the client lives;
    once the client and its read loop are gone every read ends the stream."""
    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev, stream_messages=False)
            stream = await client.get_data_stream()
            await conn.send(b"last")
            assert await stream.__anext__() == b"last"
            pending = asyncio.ensure_future(stream.__anext__())
            await conn.close()
            await asyncio.sleep(0.3)  # the read loop sees the close and ends
            assert not pending.done()
            del client
            gc.collect()
            return [await asyncio.wait_for(pending, 5), await asyncio.wait_for(stream.__anext__(), 5)]

    for item in run(scenario()):
        assert isinstance(item, RuntimeError) and str(item) == ENDED
