# Shared pieces of the device-link tests.
from __future__ import annotations

import asyncio
import logging

import kx_proto_sdk as kx

TCP_LOGGER = "kx_proto_sdk.utils.tcp_client"
PY_TCP_LOGGER = "kx_proto_sdk.python.py_tcp_client"


def enable_link_debug_logs() -> None:
    # Before anything of the link logs: the bridge caches levels then.
    for name in (TCP_LOGGER, PY_TCP_LOGGER):
        logging.getLogger(name).setLevel(logging.DEBUG)


def run(coro, timeout: float = 20.0):
    return asyncio.run(asyncio.wait_for(coro, timeout))


async def eventually(predicate, timeout: float = 5.0, interval: float = 0.01):
    # Polls `predicate` on the event loop until it is truthy; returns its value.
    deadline = asyncio.get_running_loop().time() + timeout
    while not (value := predicate()):
        assert asyncio.get_running_loop().time() < deadline, "condition not reached in time"
        await asyncio.sleep(interval)
    return value


def messages(caplog, logger: str, level: int | None = None) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == logger and level in (None, r.levelno)]


def parser(device_id: str = "cap-1"):
    return kx.MessageParser(device_id, kx.MsgType.Orvel)


async def attach(dev, *parsers, host: str = "127.0.0.1", stream_messages: bool = True):
    # A client of the emulator `dev`, connected once per parser (default: one new parser), each distinct
    # parser feeding the EEG buffer unless `stream_messages` is false. Returns (client, emulator's connection).
    parsers = parsers or (parser(),)
    client = kx.PyTcpClient(host, dev.port)
    for p in parsers:
        assert await client.connect(p) == ()
    if stream_messages:
        for p in {id(p): p for p in parsers}.values():  # one consumer per parser
            assert await p.start_message_stream() == ()
    return client, await dev.wait_connection()
