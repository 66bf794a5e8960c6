# A stand-in for the EEG cap on loopback: an asyncio TCP server on the test's own event loop that
# records the bytes and commands the module sends and sends what the test gives it.
from __future__ import annotations

import asyncio
import socket

from . import frames


class Connection:
    def __init__(self, dev: "DeviceEmulator", writer: asyncio.StreamWriter):
        self.dev, self.writer, self.received, self.commands = dev, writer, bytearray(), []
        self._unsplit = bytearray()

    async def wait_for(self, predicate, timeout: float = 5.0) -> None:
        await self.dev.until(lambda: predicate(self), timeout)

    async def send(self, data: bytes) -> None:
        self.writer.write(data)
        await self.writer.drain()

    async def close(self) -> None:
        self.writer.close()
        await self.writer.wait_closed()

    def abort(self) -> None:
        # A reset instead of an orderly shutdown.
        self.writer.transport.abort()


class DeviceEmulator:
    # With `read` false the device never reads, so the client's writes pile up.

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, read: bool = True):
        self.host, self.port, self.read = host, port, read
        self.connections: list[Connection] = []
        self._condition = asyncio.Condition()

    async def __aenter__(self) -> "DeviceEmulator":
        self._server = await asyncio.start_server(self._on_client, self.host, self.port)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc) -> None:
        self._server.close()
        for conn in self.connections:
            conn.abort()
        await self._server.wait_closed()

    async def _on_client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        conn = Connection(self, writer)
        if not self.read:
            writer.transport.pause_reading()
            writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.connections.append(conn)
        try:
            while True:
                async with self._condition:
                    self._condition.notify_all()
                if not self.read or not (data := await reader.read(65536)):
                    return
                conn.received += data
                conn._unsplit += data
                conn.commands += map(frames.decode_command, frames.split_frames(conn._unsplit))
        except ConnectionError:
            pass

    async def until(self, predicate, timeout: float = 5.0) -> None:
        # `predicate` is checked after each connection or data that came.
        async with self._condition:
            await asyncio.wait_for(self._condition.wait_for(predicate), timeout)

    async def wait_connection(self, index: int = 0, timeout: float = 5.0) -> Connection:
        await self.until(lambda: len(self.connections) > index, timeout)
        return self.connections[index]
