# Cancel storm: event loops, each in a thread of its own, call the module's awaitable operations and
# cancel every call a random 0-2 ms after it was made, while a device streams EEG messages to a
# connected client. Worker threads then take and give back the interpreter lock all the time
# (results built, futures settled, cancelled calls released) while the loops' threads hold it.
# Every future must end cancelled or with a result of its operation's kind.
#
#     python -m support.cancel_storm [--loops 4] [--calls 2000] [--in-flight 8] [--rate 30000] [--log-chunks]
#
# Prints the outcome counts; exit status 1 when an outcome was wrong or a loop reported a problem.
# Built with sanitizers, the module reports races between those threads (run it under ASan).
from __future__ import annotations

import argparse
import asyncio
import collections
import logging
import random
import subprocess
import sys
import threading

import kx_proto_sdk as kx

OPERATIONS = ("next_chunk", "start_message_stream", "send_command", "get_data_stream")


def start(op: str, client, stream, msg_id: int):
    if op == "next_chunk":
        return stream.__anext__()
    if op == "start_message_stream":
        return kx.MessageParser("storm", kx.MsgType.Orvel).start_message_stream()
    if op == "send_command":
        return client.send_command(msg_id, b"\x00" * 8)
    return client.get_data_stream()


def outcome(op: str, fut) -> str:
    # "cancelled", "done", or a text beginning with "wrong" for an outcome the operation cannot have.
    if fut.cancelled():
        return "cancelled"
    if (exc := fut.exception()) is not None:
        return f"wrong: {op} raised {exc!r}"
    value = fut.result()
    right = {"next_chunk": isinstance(value, (bytes, RuntimeError)),  # a RuntimeError object when lagging
             "start_message_stream": value == (),
             "send_command": value == (),
             "get_data_stream": isinstance(value, kx.PyTcpStream)}[op]
    return "done" if right else f"wrong: {op} resolved to {value!r}"


async def storm_loop(client, calls: int, in_flight: int, seed: int) -> tuple[collections.Counter, list]:
    loop = asyncio.get_running_loop()
    problems = []
    loop.set_exception_handler(lambda _loop, context: problems.append(context.get("message")))
    rng = random.Random(seed)
    outcomes = collections.Counter()
    stream = await client.get_data_stream()
    for first in range(0, calls, in_flight):
        batch = []
        for i in range(first, min(first + in_flight, calls)):
            op = rng.choice(OPERATIONS)
            fut = start(op, client, stream, i)
            loop.call_later(rng.uniform(0, 0.002), fut.cancel)
            batch.append((op, fut))
        await asyncio.wait([fut for _, fut in batch])
        outcomes.update(outcome(op, fut) for op, fut in batch)
    return outcomes, problems


class StreamingDevice:
    """The device process of support.stream_device; ends when the context ends."""

    def __init__(self, rate: int):
        self.rate = rate

    def __enter__(self) -> "StreamingDevice":
        self.process = subprocess.Popen([sys.executable, "-m", "support.stream_device", "--rate", str(self.rate)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())
        return self

    def __exit__(self, *exc) -> None:
        self.process.stdin.close()  # the device stops sending and closes the connection
        self.process.wait(30)


def run_storm(port: int, loops: int, calls: int, in_flight: int) -> tuple[collections.Counter, list]:
    async def connected():
        p = kx.MessageParser("cap", kx.MsgType.Orvel)
        await p.start_message_stream()  # the streamed samples go to the EEG buffer meanwhile
        client = kx.PyTcpClient("127.0.0.1", port)
        await client.connect(p)
        stream = await client.get_data_stream()
        await stream.__anext__()  # streaming has begun
        return client, stream

    client, stream = asyncio.run(connected())
    results = [None] * loops

    def in_thread(index: int) -> None:
        results[index] = asyncio.run(storm_loop(client, calls, in_flight, seed=index))

    threads = [threading.Thread(target=in_thread, args=(i,)) for i in range(loops)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    async def still_streaming():
        return await stream.__anext__()

    outcomes, problems = collections.Counter(), []
    for o, p in results:
        outcomes += o
        problems += p
    after = asyncio.run(still_streaming())
    if not isinstance(after, (bytes, RuntimeError)):
        problems.append(f"after the storm the stream gave {after!r}")
    return outcomes, problems


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--loops", type=int, default=4, help="event loops, one thread each")
    ap.add_argument("--calls", type=int, default=2000, help="calls per loop")
    ap.add_argument("--in-flight", type=int, default=8, help="calls pending at once per loop")
    ap.add_argument("--rate", type=int, default=30000, help="messages per second the device streams")
    ap.add_argument("--log-chunks", action="store_true", help="forward the read loop's DEBUG records to Python")
    args = ap.parse_args()
    if args.log_chunks:
        tcp_log = logging.getLogger("kx_proto_sdk.utils.tcp_client")
        tcp_log.setLevel(logging.DEBUG)
        tcp_log.addFilter(lambda record: False)
    with StreamingDevice(args.rate) as device:
        outcomes, problems = run_storm(device.port, args.loops, args.calls, args.in_flight)
    for key in sorted(outcomes):
        print(f"{key}: {outcomes[key]}")
    for problem in problems:
        print(f"problem: {problem}")
    wrong = sum(n for key, n in outcomes.items() if key.startswith("wrong"))
    return 1 if wrong or problems else 0


if __name__ == "__main__":
    sys.exit(main())
