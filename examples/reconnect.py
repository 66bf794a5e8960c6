#!/usr/bin/env python3
"""Streams EEG from a cap at --address/--port and reconnects whenever the cap drops the
connection: notices the drop from the module's log record, connects a new client with the
same parser, configures the cap again (250 Hz / gain 24 / normal input) and restarts the
stream. Prints the running count of sample blocks received; connects and drops go to stderr.

    .venv/bin/python examples/reconnect.py --address 192.168.1.50 --port 5000 --seconds 60
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import sys

from kx_proto_sdk import MessageParser, MsgType, PyTcpClient, eeg_cap

TCP_LOGGER = "kx_proto_sdk.utils.tcp_client"
MDNS_LOGGER = "kx_proto_sdk.utils.mdns"
# The INFO records of the read loop when the cap closes or resets the connection.
DROP_RECORDS = ("Connection closed by peer.", "Failed to read: ")
RETRY_AFTER = 1.0  # seconds between connect attempts while the cap is away
SETTINGS = (int(eeg_cap.EegSampleRate.SR_250Hz), int(eeg_cap.EegSignalGain.GAIN_24),
            int(eeg_cap.EegSignalSource.NORMAL))
BUFFER_BLOCKS = 1000  # the buffer's default capacity


class DropSignal(logging.Handler):
    """Sets `dropped` when the read loop reports that the connection ended (from a worker thread)."""

    def __init__(self, loop: asyncio.AbstractEventLoop, dropped: asyncio.Event) -> None:
        super().__init__(logging.INFO)
        self._loop, self._dropped = loop, dropped

    def emit(self, record: logging.LogRecord) -> None:
        if record.getMessage().startswith(DROP_RECORDS):
            try:
                self._loop.call_soon_threadsafe(self._dropped.set)
            except RuntimeError:  # the loop has closed: nobody waits any more
                pass


async def stream_with_reconnect(address: str, port: int, parser: MessageParser) -> None:
    """Keeps the cap streaming into the buffer through `parser`'s consumers; runs until cancelled."""
    dropped = asyncio.Event()
    tcp_log = logging.getLogger(TCP_LOGGER)
    tcp_log.setLevel(logging.INFO)  # before its first record: the module caches the level then
    signal = DropSignal(asyncio.get_running_loop(), dropped)
    tcp_log.addHandler(signal)
    try:
        while True:
            dropped.clear()
            client = PyTcpClient(address, port)  # a client never connects again once its connection ended
            try:
                await client.connect(parser)  # the same parser: its consumers go on storing
            except RuntimeError as error:  # "Failed to connect to TCP server: ...": not back yet
                print(f"{error}; again in {RETRY_AFTER} s", file=sys.stderr)
                await asyncio.sleep(RETRY_AFTER)
                continue
            try:
                await client.set_eeg_config(*SETTINGS)
                await client.start_eeg_stream()
                print(f"connected to {address} port {port}", file=sys.stderr)
            except RuntimeError as error:  # dropped again at once; the read loop reports that too
                print(error, file=sys.stderr)
            await dropped.wait()
            print("connection lost; reconnecting", file=sys.stderr)
    finally:
        tcp_log.removeHandler(signal)


async def count_blocks(blocks_wanted: int | None) -> int:
    """Empties the buffer every 100 ms and prints the running count whenever it grew."""
    total = 0
    while blocks_wanted is None or total < blocks_wanted:
        await asyncio.sleep(0.1)
        new = len(eeg_cap.get_eeg_buffer(BUFFER_BLOCKS, True))
        if new:
            total += new
            print(f"{total} blocks received", flush=True)
    return total


async def main() -> None:
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--address", required=True, help="IPv4 or IPv6 literal of the cap")
    args.add_argument("--port", type=int, required=True, help="TCP port of the cap")
    args.add_argument("--seconds", type=float, default=60.0, help="run time limit (default 60)")
    args.add_argument("--blocks", type=int, help="stop after this many sample blocks")
    opts = args.parse_args()
    # Every connect after the first warns twice that discovery has already shut down.
    logging.getLogger(MDNS_LOGGER).setLevel(logging.ERROR)
    parser = MessageParser("cap-1", MsgType.Orvel)
    await parser.start_message_stream()  # once: every client's copy of the parser feeds this consumer
    link = asyncio.ensure_future(stream_with_reconnect(opts.address, opts.port, parser))
    try:
        await asyncio.wait_for(count_blocks(opts.blocks), opts.seconds)
    except asyncio.TimeoutError:
        pass
    finally:
        link.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await link
    # There is no close: the last connection ends with the process.


if __name__ == "__main__":
    asyncio.run(main())
