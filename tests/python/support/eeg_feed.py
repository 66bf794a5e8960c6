# Feeding EEG messages through a MessageParser and waiting for the consumer tasks (on worker
# threads): a sentinel App2Mcu frame after each batch makes them log "Received message:
# App2Mcu(AppMain { msg_id: N, ...", which the handler installed here records, so every message
# before it has been stored.
from __future__ import annotations

import itertools
import logging

from support.frames import MODULE_APP, MODULE_MCU, MainApp, field_varint, frame
from support.tcp_helpers import eventually, parser


class _Collector(logging.Handler):
    messages: list[str] = []  # appended under the handler's own lock

    def emit(self, record):
        self.messages.append(record.getMessage())

    def count(self, needle: str) -> int:
        return sum(needle in m for m in list(self.messages))


# Installed at import, before any consumer writes a record: the module caches
# each logger's level on the first record of its target.
collector = _Collector(logging.INFO)
logging.getLogger("kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap").setLevel(logging.INFO)
logging.getLogger("kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap").addHandler(collector)
_sentinel_ids = itertools.count(0x7000_0000)


async def wait_logged(needle: str, times: int = 1, timeout: float = 10.0) -> None:
    await eventually(lambda: collector.count(needle) >= times, timeout, interval=0.002)


async def feed(parser, messages: list[MainApp], consumers: int = 1, batch: int = 64) -> None:
    # One frame per call; waits until every consumer stored them.
    for start in range(0, max(len(messages), 1), batch):
        for msg in messages[start:start + batch]:
            parser.receive_data(msg.frame())
        sentinel = next(_sentinel_ids)
        parser.receive_data(frame(field_varint(1, sentinel), MODULE_APP, MODULE_MCU))
        await wait_logged(f"msg_id: {sentinel},", consumers)


async def started_parser(consumers: int = 1):
    p = parser()
    for _ in range(consumers):
        assert await p.start_message_stream() == ()
    return p
