"""EEG cap settings, discovery, the process-wide EEG sample buffer and signal processing."""
from asyncio import Future
from collections.abc import Sequence
from typing import ClassVar, Protocol, SupportsFloat, SupportsIndex, final

import numpy
from typing_extensions import Buffer, TypeAlias

from . import DownsamplingOperations, NoiseTypes, _Code

__all__ = ["EegSampleRate", "EegSignalGain", "EegSignalSource", "ImuSampleRate", "WiFiSecurity",
           "mdns_scan", "set_eeg_buffer_cfg", "clear_eeg_buffer", "get_eeg_buffer", "parse_eeg_data",
           "apply_high_pass_filter", "apply_low_pass_filter", "apply_band_pass_filter",
           "apply_band_stop_filter", "apply_downsampling", "set_env_noise_filter_cfg", "remove_env_noise",
           "set_eeg_data_callback", "ecap_set_imu_data_callback"]

class _NumberArray(Protocol):
    """A 1-D indexable array of numbers such as a NumPy array or array.array."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> SupportsFloat: ...

# Any sequence of numbers but str; every item is rounded to a 32-bit float.
_Samples: TypeAlias = Sequence[float] | Buffer | _NumberArray
# A number read as a double: a float, or anything with __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class EegSampleRate(_Code):
    """EEG sample rate codes (int(x) for set_eeg_config). Not constructible."""
    SR_None: ClassVar[EegSampleRate]
    SR_250Hz: ClassVar[EegSampleRate]
    SR_500Hz: ClassVar[EegSampleRate]
    SR_1000Hz: ClassVar[EegSampleRate]
    SR_2000Hz: ClassVar[EegSampleRate]
    SR_4000Hz: ClassVar[EegSampleRate]
    SR_8000Hz: ClassVar[EegSampleRate]
    SR_16000Hz: ClassVar[EegSampleRate]

@final
class EegSignalGain(_Code):
    """EEG amplifier gain codes (int(x) for set_eeg_config)."""
    GAIN_NONE: ClassVar[EegSignalGain]
    GAIN_1: ClassVar[EegSignalGain]
    GAIN_2: ClassVar[EegSignalGain]
    GAIN_4: ClassVar[EegSignalGain]
    GAIN_6: ClassVar[EegSignalGain]
    GAIN_8: ClassVar[EegSignalGain]
    GAIN_12: ClassVar[EegSignalGain]
    GAIN_24: ClassVar[EegSignalGain]
    def __init__(self, value: SupportsIndex) -> None:
        """The gain whose code is value % 256, or GAIN_NONE for any other value; value from
        -2**31 to 2**31 - 1 (OverflowError outside)."""

@final
class EegSignalSource(_Code):
    """EEG signal source codes (int(x) for set_eeg_config). Not constructible."""
    SIGNAL_NONE: ClassVar[EegSignalSource]
    NORMAL: ClassVar[EegSignalSource]
    SHORTED: ClassVar[EegSignalSource]
    MVDD: ClassVar[EegSignalSource]
    TEST_SIGNAL: ClassVar[EegSignalSource]

@final
class ImuSampleRate(_Code):
    """IMU sample rate codes (int(x) for set_imu_config). Not constructible."""
    SR_NONE: ClassVar[ImuSampleRate]
    SR_50Hz: ClassVar[ImuSampleRate]
    SR_100Hz: ClassVar[ImuSampleRate]

@final
class WiFiSecurity(_Code):
    """Wi-Fi security codes; no operation takes them. Not constructible."""
    SECURITY_NONE: ClassVar[WiFiSecurity]
    SECURITY_OPEN: ClassVar[WiFiSecurity]
    SECURITY_WPA2_AES_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA2_TKIP_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA2_MIXED_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA_WPA2_TKIP_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA_WPA2_AES_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA_WPA2_MIXED_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA3_AES_PSK: ClassVar[WiFiSecurity]
    SECURITY_WPA2_WPA3_MIXED: ClassVar[WiFiSecurity]

def mdns_scan() -> Future[tuple[str, int]]:
    """(address, port) of the first cap that resolves; no timeout; RuntimeError after any connect."""
def set_eeg_buffer_cfg(eeg_buffer_len: SupportsIndex) -> None:
    """Sets the buffer's capacity in sample blocks (default 1000), applied when samples next arrive."""
def clear_eeg_buffer() -> None:
    """Empties the EEG sample buffer; the last configuration stays."""
def get_eeg_buffer(take: SupportsIndex, clean: bool | numpy.bool_) -> list[list[float]]:
    """Newest `take` blocks, oldest first, as [timestamp, 32 values in µV]; removes them (clean: all)."""
def parse_eeg_data(data: bytes, gain: EegSignalGain) -> list[float]:
    """Decodes one 108-byte block into 32 values in µV; [] for another length."""
def apply_high_pass_filter(data: _Samples, order: SupportsIndex, high_cut: _Float,
                           fs: _Float) -> list[float]:
    """Zero-phase Butterworth high-pass at `high_cut` Hz."""
def apply_low_pass_filter(data: _Samples, order: SupportsIndex, low_cut: _Float,
                          fs: _Float) -> list[float]:
    """Zero-phase Butterworth low-pass at `low_cut` Hz."""
def apply_band_pass_filter(data: _Samples, order: SupportsIndex, low_cut: _Float, high_cut: _Float,
                           fs: _Float) -> list[float]:
    """Zero-phase Butterworth band-pass from `low_cut` to `high_cut` Hz."""
def apply_band_stop_filter(data: _Samples, order: SupportsIndex, low_cut: _Float, high_cut: _Float,
                           fs: _Float) -> list[float]:
    """Zero-phase Butterworth band-stop from `low_cut` to `high_cut` Hz."""
def apply_downsampling(data: _Samples, window_size: SupportsIndex,
                       operation: DownsamplingOperations) -> list[float]:
    """One value per whole window (two for Extremes); a trailing partial window is dropped."""
def set_env_noise_filter_cfg(noise_type: NoiseTypes, fs: _Float) -> None:
    """Chooses the mains frequencies and redesigns both notch filters for `fs` Hz (> 122)."""
def remove_env_noise(data: _Samples) -> list[float]:
    """Removes mains noise as last configured (default: 50 and 60 Hz at 250 Hz); needs 28+ values."""
def set_eeg_data_callback(func: object) -> None:
    """Stores `func`; nothing calls it."""
def ecap_set_imu_data_callback(func: object) -> None:
    """Stores `func`; nothing calls it."""
