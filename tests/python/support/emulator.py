"""A stand-in for the EEG cap on loopback: an asyncio TCP server, on the test's
own event loop, that records the bytes the module sends and sends what the
test gives it. Usage: ``async with DeviceEmulator() as dev: ... dev.port ...``."""
from __future__ import annotations

import asyncio
import socket


class Connection:
    def __init__(self, dev: "DeviceEmulator", writer: asyncio.StreamWriter):
        self.dev, self.writer, self.received = dev, writer, bytearray()

    async def wait_received(self, count: int) -> bytes:
        """Waits until at least `count` bytes have come; returns all received so far."""
        await self.dev.until(lambda: len(self.received) >= count)
        return bytes(self.received)

    async def send(self, data: bytes) -> None:
        self.writer.write(data)
        await self.writer.drain()

    async def close(self) -> None:
        self.writer.close()
        await self.writer.wait_closed()

    def abort(self) -> None:
        """Closes with a reset instead of an orderly shutdown."""
        self.writer.transport.abort()


class DeviceEmulator:
    """With `read` false the device never reads, so the client's writes pile up."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, read: bool = True):
        self.host, self.port, self.read = host, port, read
        self.connections: list[Connection] = []
        self._condition = asyncio.Condition()

    async def __aenter__(self) -> "DeviceEmulator":
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self._server = await asyncio.start_server(self._on_client, self.host, self.port, family=family)
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
                await self._notify()
                if not self.read or not (data := await reader.read(65536)):
                    return
                conn.received += data
        except ConnectionError:
            pass

    async def _notify(self) -> None:
        async with self._condition:
            self._condition.notify_all()

    async def until(self, predicate, timeout: float = 5.0) -> None:
        """Waits until `predicate()` holds, checked after each connection or data that came."""
        async with self._condition:
            await asyncio.wait_for(self._condition.wait_for(predicate), timeout)

    async def wait_connection(self, index: int = 0) -> Connection:
        await self.until(lambda: len(self.connections) > index)
        return self.connections[index]
