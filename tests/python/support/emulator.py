"""A stand-in for the EEG cap on loopback: an asyncio TCP server that records
what the module sends, decodes the command frames and answers with MainApp
frames. Runs on the test's own event loop."""
from __future__ import annotations

import asyncio
import socket

from . import frames


class Connection:
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.reader = reader
        self.writer = writer
        self.received = bytearray()
        self.commands: list[frames.Command] = []
        self.closed_by_client = False
        self._pending = bytearray()
        self._changed = asyncio.Condition()

    async def _pump(self, emulator: "DeviceEmulator") -> None:
        try:
            while True:
                data = await self.reader.read(65536)
                if not data:
                    self.closed_by_client = True
                    break
                self.received += data
                self._pending += data
                for payload in frames.split_frames(self._pending):
                    command = frames.decode_app_main(payload)
                    self.commands.append(command)
                    await emulator._on_command(self, command)
                async with self._changed:
                    self._changed.notify_all()
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            async with self._changed:
                self._changed.notify_all()

    async def wait_for(self, predicate, timeout: float = 5.0) -> None:
        async def wait():
            async with self._changed:
                await self._changed.wait_for(lambda: predicate(self) or self.closed_by_client)
        await asyncio.wait_for(wait(), timeout)
        if not predicate(self):
            raise AssertionError("client closed before the expected data arrived")

    async def wait_commands(self, count: int, timeout: float = 5.0) -> list[frames.Command]:
        await self.wait_for(lambda c: len(c.commands) >= count, timeout)
        return self.commands[:count]

    async def send(self, data: bytes) -> None:
        self.writer.write(data)
        await self.writer.drain()

    async def close(self) -> None:
        self.writer.close()
        try:
            await self.writer.wait_closed()
        except ConnectionError:
            pass

    def abort(self) -> None:
        """Closes with a reset instead of an orderly shutdown."""
        self.writer.transport.abort()


class DeviceEmulator:
    """Usage: ``async with DeviceEmulator() as dev: ... dev.port ...``."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, auto_reply: bool = True, read: bool = True):
        self.host = host
        self.auto_reply = auto_reply
        self.read = read
        self.port = port
        self.connections: list[Connection] = []
        self._server: asyncio.AbstractServer | None = None
        self._tasks: set[asyncio.Task] = set()
        self._accepted = asyncio.Condition()
        self.eeg_config = (0, 0, 0)

    async def __aenter__(self) -> "DeviceEmulator":
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self._server = await asyncio.start_server(self._on_client, self.host, self.port, family=family)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc) -> None:
        self._server.close()
        for conn in self.connections:
            conn.abort()
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        await self._server.wait_closed()

    async def _on_client(self, reader, writer) -> None:
        conn = Connection(reader, writer)
        if not self.read:
            # A peer that never reads: the client's writes pile up in the kernel.
            writer.transport.pause_reading()
            writer.transport.get_extra_info("socket").setsockopt(
                socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.connections.append(conn)
        async with self._accepted:
            self._accepted.notify_all()
        if self.read:
            task = asyncio.current_task()
            self._tasks.add(task)
            try:
                await conn._pump(self)
            finally:
                self._tasks.discard(task)

    async def wait_connection(self, index: int = 0, timeout: float = 5.0) -> Connection:
        async def wait():
            async with self._accepted:
                await self._accepted.wait_for(lambda: len(self.connections) > index)
        await asyncio.wait_for(wait(), timeout)
        return self.connections[index]

    async def _on_command(self, conn: Connection, command: frames.Command) -> None:
        """Answers configuration commands the way the cap does."""
        if not self.auto_reply or command.target != "eeg":
            return
        if command.cmd == frames.ACQ_CFG_SET and command.config is not None:
            cfg = command.config
            self.eeg_config = (cfg["freq"], cfg["gain"], cfg["source"])
        if command.cmd in (frames.ACQ_CFG_SET, frames.ACQ_CFG_GET):
            reply = frames.MainApp(msg_id=command.msg_id, config=self.eeg_config)
            await conn.send(reply.frame())
