"""The EEG sample buffer: filled by the consumer tasks of start_message_stream,
read by get_eeg_buffer, and the other buffer functions of eeg_cap."""
import asyncio
import weakref

import numpy as np
import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support.eeg_feed import feed, started_parser
from support.frames import EegSample, MainApp, decode_block, row, sample_block

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


def test_fed_frames_come_back_as_exactly_decoded_rows():
    async def scenario():
        parser = await started_parser()
        sent = samples(1000, 4) + samples(2000, 3)
        await feed(parser, [MainApp(config=(2, GAIN_24, 0)), MainApp(samples=sent[:4]), MainApp(samples=sent[4:])])
        return sent, eeg_cap.get_eeg_buffer(100, True)

    sent, rows = run(scenario())
    assert rows == [row(s, GAIN_24) for s in sent]
    assert all(len(r) == 33 and all(type(v) is float for v in r) for r in rows)


@pytest.mark.parametrize("take, clean, returned, left", [
    (2, False, [4, 5], [1, 2, 3]),
    (2, True, [4, 5], []),
    (10, False, [1, 2, 3, 4, 5], []),
    (0, True, [], []),
    (0, False, [], [1, 2, 3, 4, 5]),
])
def test_take_and_clean(take, clean, returned, left):
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(1, 3)), MainApp(samples=samples(4, 2))])
        return eeg_cap.get_eeg_buffer(take, clean), eeg_cap.get_eeg_buffer(100, True)

    got, rest = run(scenario())
    assert [r[0] for r in got] == returned
    assert [r[0] for r in rest] == left


def test_timestamp_is_rounded_to_float32_and_odd_blocks_keep_only_it():
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=[EegSample(16777217, bytes(108)), EegSample(7, b"\x01\x02")])])
        return eeg_cap.get_eeg_buffer(2, True)

    rows = run(scenario())
    assert rows[0][0] == 16777216.0 and rows[0][1:] == [0.0] * 32
    assert rows[1] == [7.0]


def test_two_consumer_tasks_store_every_block_twice():
    async def scenario():
        parser = await started_parser(consumers=2)
        await feed(parser, [MainApp(samples=samples(50, 2))], consumers=2)
        return eeg_cap.get_eeg_buffer(10, True)

    assert sorted(r[0] for r in run(scenario())) == [50.0, 50.0, 51.0, 51.0]


def test_consumer_sees_only_messages_after_its_start():
    async def scenario():
        parser = kx.MessageParser("cap-1", kx.MsgType.Orvel)
        parser.receive_data(MainApp(samples=samples(1, 2)).frame())  # nobody consumes these
        assert await parser.start_message_stream() == ()
        await feed(parser, [MainApp(samples=samples(9, 1))])
        return eeg_cap.get_eeg_buffer(10, True)

    assert [r[0] for r in run(scenario())] == [9.0]


def test_default_length_trims_the_oldest_four_on_message_251():
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(4 * m)) for m in range(251)])
        return eeg_cap.get_eeg_buffer(5000, True)

    rows = run(scenario())
    assert len(rows) == 1000
    assert rows[0][0] == 4.0 and rows[-1][0] == 1003.0


def test_buffer_length_zero_keeps_nothing():
    async def scenario():
        eeg_cap.set_eeg_buffer_cfg(0)
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(1))])
        return eeg_cap.get_eeg_buffer(10, True)

    assert run(scenario()) == []


def test_lowered_length_waits_for_the_next_eeg_data():
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(4 * m)) for m in range(10)])
        eeg_cap.set_eeg_buffer_cfg(10)
        await feed(parser, [MainApp(msg_id=3)])  # no EEG data: nothing trimmed
        return eeg_cap.get_eeg_buffer(100, True)

    assert len(run(scenario())) == 40


def test_lowered_length_trims_even_without_samples():
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(4 * m)) for m in range(10)])
        eeg_cap.set_eeg_buffer_cfg(10)
        await feed(parser, [MainApp(samples=[])])
        return eeg_cap.get_eeg_buffer(100, True)

    assert [r[0] for r in run(scenario())] == [float(t) for t in range(30, 40)]


def test_configuration_change_empties_the_buffer_and_sets_the_gain():
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(config=(1, GAIN_1, 0)), MainApp(samples=samples(1, 2))])
        kept = eeg_cap.get_eeg_buffer(1, False)  # still scaled with GAIN_1
        await feed(parser, [MainApp(config=(1, GAIN_1, 0), samples=samples(3, 1))])  # same config: kept
        await feed(parser, [MainApp(config=(1, GAIN_24, 0), samples=samples(7, 2))])
        return kept, eeg_cap.get_eeg_buffer(10, True)

    kept, rows = run(scenario())
    assert kept == [row(EegSample(2, sample_block(2)), GAIN_1)]
    assert rows == [row(s, GAIN_24) for s in samples(7, 2)]


def test_clear_keeps_the_configuration():
    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(config=(1, GAIN_1, 0), samples=samples(1, 2))])
        eeg_cap.clear_eeg_buffer()
        cleared = eeg_cap.get_eeg_buffer(10, False)
        await feed(parser, [MainApp(samples=samples(5, 1))])
        return cleared, eeg_cap.get_eeg_buffer(10, True)

    cleared, rows = run(scenario())
    assert cleared == []
    assert rows == [row(EegSample(5, sample_block(5)), GAIN_1)]


def test_rows_are_never_scaled_with_a_stale_gain():
    # Even timestamps are recorded under GAIN_24, odd ones under GAIN_1, while
    # the reader runs concurrently with the consumer thread.
    async def scenario():
        parser = await started_parser()
        msgs = []
        for m in range(300):
            gain = GAIN_24 if m % 2 == 0 else GAIN_1
            msgs.append(MainApp(config=(1, gain, 0), samples=[EegSample(m, sample_block(m))]))
        reads = []
        done = asyncio.Event()

        async def reader():
            while not done.is_set():
                reads.extend(eeg_cap.get_eeg_buffer(3, False))
                await asyncio.sleep(0)

        task = asyncio.ensure_future(reader())
        await feed(parser, msgs, batch=8)
        done.set()
        await task
        return reads + eeg_cap.get_eeg_buffer(10, True)

    rows = run(scenario())
    assert rows
    for r in rows:
        ts = int(r[0])
        assert r == row(EegSample(ts, sample_block(ts)), GAIN_24 if ts % 2 == 0 else GAIN_1)


@pytest.mark.parametrize("args, exc, text", [
    ((1, 1), TypeError, "argument 'clean': 'int' object cannot be converted to 'PyBool'"),
    ((-1, False), OverflowError, None),
    ((1.5, False), TypeError, "argument 'take': "),
    ((1,), TypeError, "get_eeg_buffer() missing 1 required positional argument: 'clean'"),
])
def test_get_eeg_buffer_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        eeg_cap.get_eeg_buffer(*args)
    if text:
        assert str(info.value).startswith(text)


def test_get_eeg_buffer_accepts_numpy_bool_and_keywords():
    assert eeg_cap.get_eeg_buffer(take=np.uint8(3), clean=np.bool_(True)) == []


def test_set_eeg_buffer_cfg_argument_errors():
    with pytest.raises(OverflowError):
        eeg_cap.set_eeg_buffer_cfg(-1)
    with pytest.raises(OverflowError):
        eeg_cap.set_eeg_buffer_cfg(2 ** 64)
    with pytest.raises(TypeError, match="^argument 'eeg_buffer_len': "):
        eeg_cap.set_eeg_buffer_cfg("10")


def test_parse_eeg_data():
    block = sample_block(3)
    assert eeg_cap.parse_eeg_data(block, eeg_cap.EegSignalGain.GAIN_24) == decode_block(block, GAIN_24)
    assert eeg_cap.parse_eeg_data(data=block, gain=eeg_cap.EegSignalGain(15)) == decode_block(block, GAIN_1)
    assert eeg_cap.parse_eeg_data(b"", eeg_cap.EegSignalGain.GAIN_24) == []
    with pytest.raises(TypeError, match="^argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"):
        eeg_cap.parse_eeg_data(bytearray(108), eeg_cap.EegSignalGain.GAIN_24)
    with pytest.raises(TypeError, match="^argument 'gain': "):
        eeg_cap.parse_eeg_data(bytes(108), 111)


@pytest.mark.parametrize("setter", [eeg_cap.set_eeg_data_callback, eeg_cap.ecap_set_imu_data_callback])
def test_callback_slots_keep_the_object_until_replaced(setter):
    class Callback:
        pass

    first = Callback()
    watch = weakref.ref(first)
    assert setter(first) is None
    del first
    assert watch() is not None  # the slot holds it
    assert setter(func=None) is None
    assert watch() is None  # released when replaced
    setter(42)  # anything is accepted
    with pytest.raises(TypeError):
        setter()


@pytest.mark.parametrize("src, dst, shown", [
    (2, 0, "App2Mcu(AppMain { msg_id: 77, "),
    (2, 1, "App2Ble(AppDongle { msg_id: 77, "),
    (1, 2, "Ble2App(BleApp { msg_id: 77, "),
])
def test_other_directions_log_their_debug_text_and_store_nothing(src, dst, shown):
    from support.eeg_feed import collector, wait_logged
    from support.frames import field_varint, frame

    async def scenario():
        parser = await started_parser()
        await feed(parser, [MainApp(samples=samples(1, 1))])
        parser.receive_data(frame(field_varint(1, 77), src, dst))
        await wait_logged("Received message: " + shown)
        await feed(parser, [])
        return eeg_cap.get_eeg_buffer(10, True)

    assert [r[0] for r in run(scenario())] == [1.0]
    assert collector.count("Received message: " + shown) == 1
