# A device that streams EEG messages as fast as a real cap would, in a process of its own (it must not
# share the interpreter lock of the process under test). Prints its port, accepts one connection, sends
# MainApp messages of four sample blocks at --rate messages/s in bursts, and reads and drops what the
# client sends, until the client goes, stdin closes or --seconds pass.
#
#     python -m support.stream_device --rate 30000 --seconds 60
from __future__ import annotations

import argparse
import socket
import sys
import threading
import time

from support import frames

BURST_SECONDS = 0.005


def burst(first_id: int, count: int) -> bytes:
    block = frames.sample_block(first_id)
    samples = [frames.EegSample(first_id + k, block) for k in range(4)]
    return b"".join(frames.MainApp(msg_id=first_id + i, samples=samples).frame() for i in range(count))


def drain(conn: socket.socket) -> None:
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rate", type=int, default=30000, help="messages per second")
    ap.add_argument("--seconds", type=float, default=60.0)
    args = ap.parse_args()
    per_burst = max(1, round(args.rate * BURST_SECONDS))
    data = burst(1, per_burst)  # the same burst each time: the cost is in the client
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    threading.Thread(target=drain, args=(conn,), daemon=True).start()
    threading.Thread(target=lambda: (sys.stdin.read(), conn.shutdown(socket.SHUT_RDWR)), daemon=True).start()
    start = time.perf_counter()
    n = 0
    try:
        while time.perf_counter() - start < args.seconds:
            conn.sendall(data)
            n += 1
            delay = start + n * BURST_SECONDS - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
    except OSError:
        pass
    conn.close()


if __name__ == "__main__":
    main()
