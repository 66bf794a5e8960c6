#!/usr/bin/env python3
"""Streams EEG from a cap: find it by mDNS (or take --address/--port), connect, configure
250 Hz / gain 24 / normal input, start the stream, read the sample buffer every 100 ms,
band-pass the last second of each channel and print its RMS in µV.

    .venv/bin/python examples/stream_eeg.py --seconds 10
    .venv/bin/python examples/stream_eeg.py --address 192.168.1.50 --port 5000
"""
from __future__ import annotations

import argparse
import asyncio

import numpy as np
import numpy.typing as npt

from eeg_rows import CHANNELS, rms_line, rows_to_samples
from kx_proto_sdk import MessageParser, MsgType, PyTcpClient, eeg_cap

FS = 250.0
BUFFER_BLOCKS = 1000  # the buffer's default capacity, in blocks of 4 samples per channel
WINDOW = int(FS)  # samples per channel that are filtered: the last second
MIN_SAMPLES = 28  # a 4th-order band-pass needs more than 27 samples


async def find_cap(timeout: float) -> tuple[str, int]:
    # mdns_scan has no timeout of its own; it must run before any connect of the process.
    address, port = await asyncio.wait_for(eeg_cap.mdns_scan(), timeout)
    print(f"found a cap at {address} port {port}")
    return address, port


async def stream(address: str, port: int, seconds: float, samples_wanted: int | None) -> None:
    parser = MessageParser("cap-1", MsgType.Orvel)
    # Start the consumer before connecting: it sees only messages that arrive after it.
    await parser.start_message_stream()
    client = PyTcpClient(address, port)
    await client.connect(parser)
    await client.set_eeg_config(int(eeg_cap.EegSampleRate.SR_250Hz), int(eeg_cap.EegSignalGain.GAIN_24),
                                int(eeg_cap.EegSignalSource.NORMAL))
    await client.start_eeg_stream()

    window: npt.NDArray[np.float32] = np.empty((0, CHANNELS), dtype=np.float32)
    received = 0
    loop = asyncio.get_running_loop()
    deadline = loop.time() + seconds
    while loop.time() < deadline and (samples_wanted is None or received < samples_wanted):
        await asyncio.sleep(0.1)
        _, samples = rows_to_samples(eeg_cap.get_eeg_buffer(BUFFER_BLOCKS, True))
        if len(samples) == 0:
            continue
        received += len(samples)
        window = np.concatenate([window, samples])[-WINDOW:]
        if len(window) >= MIN_SAMPLES:
            filtered = np.array([eeg_cap.apply_band_pass_filter(window[:, ch], 4, 1.0, 40.0, FS)
                                 for ch in range(CHANNELS)], dtype=np.float32).T
            print(f"{received} samples per channel; " + rms_line("band-pass RMS µV", filtered), flush=True)
    await client.stop_eeg_stream()
    # There is no close: the connection ends with the process.


async def main() -> None:
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("--address", help="IPv4 or IPv6 literal of the cap (default: find it by mDNS)")
    args.add_argument("--port", type=int, help="TCP port of the cap (with --address)")
    args.add_argument("--seconds", type=float, default=10.0, help="run time limit (default 10)")
    args.add_argument("--scan-timeout", type=float, default=10.0, help="mDNS time limit (default 10)")
    args.add_argument("--samples", type=int, help="stop after this many samples per channel")
    opts = args.parse_args()
    if opts.address is None:
        address, port = await find_cap(opts.scan_timeout)
    elif opts.port is None:
        args.error("--address needs --port")
    else:
        address, port = opts.address, opts.port
    await stream(address, port, opts.seconds, opts.samples)


if __name__ == "__main__":
    asyncio.run(main())
