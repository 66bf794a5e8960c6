"""Feeding EEG messages through a MessageParser and waiting for the consumer tasks.

The consumer tasks run on worker threads; a sentinel App2Mcu frame after each
batch makes them log "Received message: App2Mcu(AppMain { msg_id: N, ..." and
the handler installed here reports it, so a test knows every message before
the sentinel has been stored.
"""
from __future__ import annotations

import asyncio
import itertools
import logging
import threading

import kx_proto_sdk as kx

from support.frames import MODULE_APP, MODULE_MCU, MainApp, field_varint, frame

CONSUMER_LOGGER = "kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap"


class _Collector(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self._guard = threading.Lock()
        self.messages: list[str] = []

    def emit(self, record):
        with self._guard:
            self.messages.append(record.getMessage())

    def count(self, needle: str) -> int:
        with self._guard:
            return sum(needle in m for m in self.messages)


# Installed at import, before any consumer writes a record: the module caches
# each logger's level on the first record of its target.
collector = _Collector()
_logger = logging.getLogger(CONSUMER_LOGGER)
_logger.setLevel(logging.INFO)
_logger.addHandler(collector)

_sentinel_ids = itertools.count(0x7000_0000)


def app_to_mcu_frame(msg_id: int) -> bytes:
    return frame(field_varint(1, msg_id), MODULE_APP, MODULE_MCU)


async def wait_logged(needle: str, times: int = 1, timeout: float = 10.0) -> None:
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while collector.count(needle) < times:
        if loop.time() > deadline:
            raise AssertionError(f"consumer did not log {needle!r} {times} time(s)")
        await asyncio.sleep(0.002)


async def feed(parser: kx.MessageParser, messages: list[MainApp], consumers: int = 1, batch: int = 64) -> None:
    """Feeds the messages (one frame per call) and waits until every consumer stored them."""
    for start in range(0, max(len(messages), 1), batch):
        for msg in messages[start:start + batch]:
            parser.receive_data(msg.frame())
        sentinel = next(_sentinel_ids)
        parser.receive_data(app_to_mcu_frame(sentinel))
        await wait_logged(f"msg_id: {sentinel},", consumers)


async def started_parser(consumers: int = 1) -> kx.MessageParser:
    parser = kx.MessageParser("cap-1", kx.MsgType.Orvel)
    for _ in range(consumers):
        assert await parser.start_message_stream() == ()
    return parser
