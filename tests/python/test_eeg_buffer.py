# The EEG sample buffer: filled by the consumer tasks of start_message_stream,
# read by get_eeg_buffer, and the other buffer functions of eeg_cap.
import asyncio
import weakref

import numpy as np
import pytest

from kx_proto_sdk import eeg_cap

from support.eeg_feed import collector, feed, started_parser, wait_logged
from support.frames import EegSample, MainApp, decode_block, field_varint, frame, row, sample_block

GAIN_24, GAIN_1 = 111, 15


@pytest.fixture(autouse=True)
def fresh_buffer():
    eeg_cap.set_eeg_buffer_cfg(1000)
    eeg_cap.clear_eeg_buffer()
    yield
    eeg_cap.set_eeg_buffer_cfg(1000)
    eeg_cap.clear_eeg_buffer()


def samples(first_ts: int, count: int = 4) -> list[EegSample]:
    return [EegSample(ts, sample_block(ts)) for ts in range(first_ts, first_ts + count)]


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


def stored(*steps, consumers=1, take=5000):
    # Feeds each list of messages in turn (calling each callable step), then
    # takes and cleans up to `take` rows of the buffer.
    async def scenario():
        parser = await started_parser(consumers=consumers)
        for step in steps:
            step() if callable(step) else await feed(parser, step, consumers=consumers)
        return eeg_cap.get_eeg_buffer(take, True)

    return run(scenario())


def stamps(rows):
    return [r[0] for r in rows]


def test_fed_frames_come_back_as_exactly_decoded_rows_once_per_consumer():
    sent = samples(1000, 4) + samples(2000, 3)
    odd = [EegSample(16777217, bytes(108)), EegSample(7, b"\x01\x02")]
    rows = stored([MainApp(config=(2, GAIN_24, 0)), MainApp(samples=sent[:4]), MainApp(samples=sent[4:] + odd[:1]),
                   MainApp(samples=odd[1:])], consumers=2)
    expected = [row(s, GAIN_24) for s in sent] + [[16777216.0] + [0.0] * 32, [7.0]]  # timestamp rounded to float32;
    assert sorted(rows) == sorted(expected * 2)  # a block of another length keeps only it
    assert all(type(v) is float for r in rows for v in r)


# Which records a read takes and drops is tested on the EEG state (test_eeg_buffer.cpp).


@pytest.mark.parametrize("length, fed, then, kept", [
    (1000, 251, [], range(4, 1004)),  # the default length: message 251 trims the oldest four
    (0, 1, [MainApp(samples=samples(100))], []),  # length 0 keeps nothing
    (10, 10, [MainApp(msg_id=3)], range(0, 40)),  # a lowered length waits for EEG data ...
    (10, 10, [MainApp(samples=[])], range(30, 40)),  # ... which trims even without samples
])
def test_buffer_length_applies_at_the_next_eeg_data(length, fed, then, kept):
    rows = stored([MainApp(samples=samples(4 * m)) for m in range(fed)], lambda: eeg_cap.set_eeg_buffer_cfg(length), then)
    assert stamps(rows) == [float(t) for t in kept]


def test_configuration_change_empties_the_buffer_and_clear_keeps_the_gain():
    kept, cleared = [], []
    rows = stored([MainApp(config=(1, GAIN_1, 0)), MainApp(samples=samples(1, 2))],
                  lambda: kept.extend(eeg_cap.get_eeg_buffer(1, False)),  # still scaled with GAIN_1
                  [MainApp(config=(1, GAIN_1, 0), samples=samples(3, 1))],  # same config: kept
                  [MainApp(config=(1, GAIN_24, 0), samples=samples(7, 2))],
                  lambda: (eeg_cap.clear_eeg_buffer(), cleared.extend(eeg_cap.get_eeg_buffer(10, False))),
                  [MainApp(samples=samples(9, 1))])
    assert kept == [row(EegSample(2, sample_block(2)), GAIN_1)]
    assert cleared == []
    assert rows == [row(s, GAIN_24) for s in samples(9, 1)]


# The argument errors of get_eeg_buffer and parse_eeg_data are in test_arguments.py.
@pytest.mark.parametrize("value, exc", [(-1, OverflowError), (2 ** 64, OverflowError), ("10", TypeError)])
def test_buffer_length_argument_errors(value, exc):
    with pytest.raises(exc):
        eeg_cap.set_eeg_buffer_cfg(value)
    assert eeg_cap.get_eeg_buffer(take=np.uint8(3), clean=np.bool_(True)) == []  # index objects by keyword


def test_parse_eeg_data():
    block = sample_block(3)
    assert eeg_cap.parse_eeg_data(block, eeg_cap.EegSignalGain.GAIN_24) == decode_block(block, GAIN_24)
    assert eeg_cap.parse_eeg_data(data=block, gain=eeg_cap.EegSignalGain(15)) == decode_block(block, GAIN_1)
    assert eeg_cap.parse_eeg_data(b"", eeg_cap.EegSignalGain.GAIN_24) == []


@pytest.mark.parametrize("setter", [eeg_cap.set_eeg_data_callback, eeg_cap.ecap_set_imu_data_callback])
def test_callback_slots_keep_the_object_until_replaced(setter):
    first = type("Callback", (), {})()
    watch = weakref.ref(first)
    assert setter(first) is None
    del first
    assert watch() is not None  # the slot holds it
    assert setter(func=None) is None
    assert watch() is None  # released when replaced
    setter(42)  # anything is accepted


@pytest.mark.parametrize("src, dst, shown", [
    (2, 0, "App2Mcu(AppMain { msg_id: 77, "),
    (2, 1, "App2Ble(AppDongle { msg_id: 77, "),
    (1, 2, "Ble2App(BleApp { msg_id: 77, "),
])
def test_other_directions_log_their_debug_text_and_store_nothing(src, dst, shown):
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(1, 1))])
        parser.receive_data(frame(field_varint(1, 77), src, dst))
        await wait_logged("Received message: " + shown)
        await feed(parser, [])
        return eeg_cap.get_eeg_buffer(10, True)

    assert stamps(run(scenario())) == [1.0]
    assert collector.count("Received message: " + shown) == 1
