"""A program written the way users write them: NumPy scalars and `__index__` objects for integer,
float and bool parameters, every awaitable kept as an asyncio.Future and cancelled or given a done
callback. It must pass `mypy --strict` against the installed stubs and run (no device: the client
is refused, and discovery fails after that connect)."""
from __future__ import annotations

import asyncio

import numpy as np

from kx_proto_sdk import DownsamplingOperations, MessageParser, MsgType, NoiseTypes, PyTcpClient, PyTcpStream, eeg_cap


class Four:
    def __index__(self) -> int:
        return 4


async def device_calls() -> None:
    parser = MessageParser("typed", MsgType.Orvel)
    started: asyncio.Future[tuple[()]] = parser.start_message_stream()
    assert await started == ()
    client = PyTcpClient("127.0.0.1", np.uint16(9))  # nothing listens on port 9 here
    stream_future: asyncio.Future[PyTcpStream] = client.get_data_stream()
    stream = await stream_future
    next_chunk: asyncio.Future[bytes | RuntimeError] = stream.__anext__()
    assert next_chunk.cancel()
    connected: asyncio.Future[tuple[()]] = client.connect(parser)
    callbacks: list[str] = []
    connected.add_done_callback(lambda future: callbacks.append(str(future.exception())))
    commands: list[asyncio.Future[tuple[()]]] = [
        client.send_command(np.uint32(7), b"\x00"),
        client.set_eeg_config(np.int64(111), np.int32(111), np.uint8(15)),
        client.set_imu_config(np.int8(1)),
        client.start_eeg_stream(), client.stop_eeg_stream(), client.start_imu_stream(),
        client.stop_imu_stream(), client.get_eeg_config(), client.get_imu_config(),
    ]
    outcomes = await asyncio.gather(connected, *commands, return_exceptions=True)
    assert all(isinstance(outcome, RuntimeError) for outcome in outcomes), outcomes
    assert callbacks == [str(outcomes[0])]
    scan: asyncio.Future[tuple[str, int]] = eeg_cap.mdns_scan()
    assert isinstance((await asyncio.gather(scan, return_exceptions=True))[0], RuntimeError)


def signal_calls() -> None:
    eeg_cap.set_eeg_buffer_cfg(np.uint64(1000))
    assert eeg_cap.get_eeg_buffer(np.int64(10), np.bool_(True)) == []
    assert eeg_cap.EegSignalGain(np.int64(271)) == eeg_cap.EegSignalGain.GAIN_1
    data = np.sin(np.arange(64, dtype=np.float32))
    filtered = [
        eeg_cap.apply_high_pass_filter(data, Four(), np.float32(1.0), 250),
        eeg_cap.apply_low_pass_filter(data, np.int16(4), np.float64(40.0), np.float32(250.0)),
        eeg_cap.apply_band_pass_filter(data, np.uint8(2), Four(), np.float32(12.0), np.float32(250.0)),
        eeg_cap.apply_band_stop_filter(data, np.int64(2), 49, np.float32(51.0), np.float32(250.0)),
    ]
    assert all(len(values) == len(data) for values in filtered)
    assert len(eeg_cap.apply_downsampling(data, np.int16(4), DownsamplingOperations.Mean)) == 16
    eeg_cap.set_env_noise_filter_cfg(NoiseTypes.FIFTY, np.float32(250.0))


if __name__ == "__main__":
    signal_calls()
    asyncio.run(device_calls())
    print("ok")
