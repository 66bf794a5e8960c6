"""get_data_stream() and PyTcpStream; chunk sizes and order for several receivers are checked in C++."""
import asyncio
import gc
import logging
import re
import sys
import time

import pytest

import kx_proto_sdk as kx

from support.emulator import DeviceEmulator
from support.tcp_helpers import PY_TCP_LOGGER, attach, enable_link_debug_logs, eventually, messages, parser, run

enable_link_debug_logs()

ENDED = "Stream ended unexpectedly"


def test_reads_take_turns_and_lagging_readers_report_the_loss_and_go_on(caplog):
    # Two reads created at once get consecutive chunks. A stream not read, and the receive task
    # stalled by a slow logging filter (its parser copy logs each junk chunk), fall over 128
    # chunks behind. Chunks are paced so each read returns one of them.
    chunks = [bytes([0x20 + i % 64, 0x20 + i // 64]) * 12 for i in range(300)]
    parser_logger = logging.getLogger("kx_proto_sdk.proto.msg_parser")
    stall = lambda record: time.sleep(0.005) or True  # noqa: E731

    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev)
            refs = sys.getrefcount(client)
            stream, pace = await client.get_data_stream(), await client.get_data_stream()
            first, second = stream.__anext__(), stream.__anext__()  # the borrow was released by the first call
            for chunk in chunks:
                await conn.send(chunk)
                assert await pace.__anext__() == chunk
            assert sorted([await first, await second]) == chunks[:2]
            lag, after = await stream.__anext__(), await stream.__anext__()
            assert isinstance(lag, RuntimeError) and str(lag) == ENDED and after == chunks[300 - 128]
            assert sys.getrefcount(client) == refs
            await eventually(lambda: messages(caplog, PY_TCP_LOGGER, logging.ERROR), 20)

    parser_logger.addFilter(stall)
    try:
        run(scenario(), timeout=60)
    finally:
        parser_logger.removeFilter(stall)
    lags = messages(caplog, PY_TCP_LOGGER, logging.ERROR)
    assert lags and all(re.fullmatch(r"Error receiving tcp data: Lagged\(\d+\)", m) for m in lags)


def test_stream_from_before_connect_until_the_client_is_gone(caplog):
    # A read pending across the peer's close waits while the client lives.
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
                assert chunk == b"after" == await early.__anext__()
                break
            pending = asyncio.ensure_future(early.__anext__())
            await conn.close()
            await asyncio.sleep(0.3)  # the read loop sees the close and ends
            assert not pending.done()
            del client
            gc.collect()
            return early, [await asyncio.wait_for(pending, 5), await asyncio.wait_for(late.__anext__(), 5)]

    early, ends = run(scenario())
    assert all(isinstance(item, RuntimeError) and str(item) == ENDED for item in ends)
    assert "Received data: [1, 2, 255]" in messages(caplog, PY_TCP_LOGGER, logging.DEBUG)
    assert {(r.pathname, r.lineno) for r in caplog.records
            if r.name == PY_TCP_LOGGER and r.getMessage().startswith("Received data: ")} == {("src/python/py_tcp_client", 180)}
    with pytest.raises(RuntimeError, match="no running event loop"):
        early.__anext__()
