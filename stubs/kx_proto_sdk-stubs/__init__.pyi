"""Find, configure and read a Quenlor EEG cap from asyncio Python."""
from asyncio import Future
from typing import ClassVar, SupportsIndex, final

# The submodule is an attribute only: `import kx_proto_sdk.eeg_cap` fails at run time,
# so its stub has a private file name and is reached as `from kx_proto_sdk import eeg_cap`.
from . import _eeg_cap as eeg_cap

__all__ = ["MsgType", "NoiseTypes", "DownsamplingOperations", "MessageParser", "MessageStream",
           "PyTcpClient", "PyTcpStream", "get_bytes", "eeg_cap"]

class _Code:
    """Shared behaviour of the enum classes (at run time each derives from object only)."""
    def __int__(self) -> int:
        """The variant's code."""
    def __eq__(self, other: object) -> bool:
        """Equal to the same variant or to an int holding its code."""
    def __ne__(self, other: object) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class MsgType(_Code):
    """Device family of a parser and its frames; `Orvel` is the EEG cap. Not constructible."""
    Varnet: ClassVar[MsgType]
    Pelvor: ClassVar[MsgType]
    Strenn: ClassVar[MsgType]
    StrennV1_5: ClassVar[MsgType]
    Quibbet: ClassVar[MsgType]
    QuibbetV2: ClassVar[MsgType]
    Dornal: ClassVar[MsgType]
    Kessa: ClassVar[MsgType]
    VOK: ClassVar[MsgType]
    Tindle: ClassVar[MsgType]
    Merrow: ClassVar[MsgType]
    Orvel: ClassVar[MsgType]
    Pim: ClassVar[MsgType]
    Lusk: ClassVar[MsgType]
    Brannel: ClassVar[MsgType]
    Zeph: ClassVar[MsgType]

@final
class NoiseTypes(_Code):
    """Mains frequencies that `eeg_cap.remove_env_noise` removes. Not constructible."""
    FIFTY: ClassVar[NoiseTypes]
    SIXTY: ClassVar[NoiseTypes]
    FIFTY_AND_SIXTY: ClassVar[NoiseTypes]

@final
class DownsamplingOperations(_Code):
    """Reduction that `eeg_cap.apply_downsampling` applies per window. Not constructible."""
    Mean: ClassVar[DownsamplingOperations]
    Median: ClassVar[DownsamplingOperations]
    Max: ClassVar[DownsamplingOperations]
    Min: ClassVar[DownsamplingOperations]
    Sum: ClassVar[DownsamplingOperations]
    First: ClassVar[DownsamplingOperations]
    Last: ClassVar[DownsamplingOperations]
    Extremes: ClassVar[DownsamplingOperations]

@final
class MessageParser:
    """Stream parser for one device family; its consumer tasks fill the EEG sample buffer."""
    def __init__(self, device_id: str, msg_type: MsgType) -> None:
        """A parser tagging its messages with `device_id`; use `MsgType.Orvel` for the EEG cap."""
    def receive_data(self, data: bytes) -> None:
        """Parses bytes on the calling thread; protocol errors are only logged."""
    def start_message_stream(self) -> Future[tuple[()]]:
        """Starts a consumer task that stores the EEG samples of later messages in the buffer."""

@final
class MessageStream:
    """Async iterator over messages as JSON bytes; no operation creates one."""
    def __aiter__(self) -> MessageStream:
        """The stream itself."""
    def __anext__(self) -> Future[bytes | RuntimeError]:
        """Next message as JSON, or a RuntimeError object (returned, not raised) at the end."""

@final
class PyTcpClient:
    """TCP link to one cap; every method returns an asyncio.Future of the running event loop."""
    def __init__(self, addr: str, port: SupportsIndex) -> None:
        """An unconnected client for an IPv4 or IPv6 literal and a TCP port; no I/O."""
    def send_command(self, msg_id: SupportsIndex, data: bytes) -> Future[tuple[()]]:
        """Writes `data` unframed; RuntimeError "Failed to send command to TCP server: ..." on failure."""
    def connect(self, py_parser: MessageParser) -> Future[tuple[()]]:
        """Stops discovery for the process and connects; RuntimeError "Failed to connect to TCP server: ..."."""
    def get_data_stream(self) -> Future[PyTcpStream]:
        """A stream of the raw chunks received from now on."""
    def start_eeg_stream(self) -> Future[tuple[()]]:
        """Sends the EEG Enable command."""
    def stop_eeg_stream(self) -> Future[tuple[()]]:
        """Sends the EEG Disable command."""
    def start_imu_stream(self) -> Future[tuple[()]]:
        """Sends the IMU Enable command."""
    def stop_imu_stream(self) -> Future[tuple[()]]:
        """Sends the IMU Disable command."""
    def get_eeg_config(self) -> Future[tuple[()]]:
        """Asks the cap for its EEG configuration; the answer feeds the buffer's gain."""
    def get_imu_config(self) -> Future[tuple[()]]:
        """Asks the cap for its IMU configuration."""
    def set_eeg_config(self, sample_rate: SupportsIndex, gain: SupportsIndex,
                       signal: SupportsIndex) -> Future[tuple[()]]:
        """Sets the EEG configuration from int codes of EegSampleRate, EegSignalGain, EegSignalSource."""
    def set_imu_config(self, sample_rate: SupportsIndex) -> Future[tuple[()]]:
        """Sets the IMU sample rate from an int code of ImuSampleRate."""

@final
class PyTcpStream:
    """Async iterator over the raw received chunks (not frames)."""
    def __aiter__(self) -> PyTcpStream:
        """The stream itself."""
    def __anext__(self) -> Future[bytes | RuntimeError]:
        """Next chunk, or a RuntimeError object (returned, not raised): once after the reader fell
        more than 128 chunks behind (the stream goes on), and on every call once the channel has
        closed, which needs the client released; a peer's close alone does not end the stream."""

def get_bytes() -> str:
    """Returns "hello_python" and logs "data len: 108"."""
