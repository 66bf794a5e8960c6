"""A program's slow handler on the consumer's logger holds up that consumer only: the read loop
and the receive task go on, and the consumer's warning counts exactly the messages it lost."""
import logging
import re
import threading

from kx_proto_sdk import eeg_cap

from support.eeg_feed import wait_logged
from support.emulator import DeviceEmulator
from support.frames import MODULE_APP, MODULE_MCU, EegSample, MainApp, field_varint, frame, sample_block
from support.tcp_helpers import attach, eventually, messages, run

CONSUMER_LOGGER = "kx_proto_sdk.python.eeg_cap.py_mod_eeg_cap"
PARSER_LOGGER = "kx_proto_sdk.proto.msg_parser"
HELD_ID, SENTINEL_ID = 0x6100_0001, 0x6100_0002
EEG_MESSAGES = 200  # more than the 128 a receiver may fall behind, and more raw chunks than that too
LAG = re.compile(r"Message consumer fell behind and lost (\d+) messages")


def app_to_mcu(msg_id: int) -> bytes:
    return frame(field_varint(1, msg_id), MODULE_APP, MODULE_MCU)


class HoldFirstRecord(logging.Handler):
    """Blocks the thread writing the record of the App2Mcu message HELD_ID until released."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.entered, self.released = threading.Event(), threading.Event()

    def emit(self, record):
        if f"msg_id: {HELD_ID}," in record.getMessage():
            self.entered.set()
            self.released.wait(60)


def test_held_consumer_record_stalls_no_other_reader_and_its_loss_is_reported(caplog):
    hold = HoldFirstRecord()
    eeg = [MainApp(msg_id=i, samples=[EegSample(4 * i + k, sample_block(k)) for k in range(4)]).frame()
           for i in range(EEG_MESSAGES)]

    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev)
            raw = await client.get_data_stream()

            async def send_as_own_chunks(data: bytes) -> None:
                # Sent after the previous bytes were read, so every read holds one frame at most.
                await conn.send(data)
                got = b""
                while len(got) < len(data):
                    got += await raw.__anext__()
                assert got == data

            await send_as_own_chunks(app_to_mcu(HELD_ID))
            await eventually(hold.entered.is_set)
            for data in eeg + [app_to_mcu(SENTINEL_ID)]:
                await send_as_own_chunks(data)
            # Junk without a frame prefix: the receive task's parser copy warns about it once it
            # has parsed every frame before it, all while the consumer is held.
            await send_as_own_chunks(b"\x00junk, no frame prefix here")
            await eventually(lambda: "header_prefix: [81, 78, 76, 82, 2, 11]" in messages(caplog, PARSER_LOGGER))
            assert not hold.released.is_set()
            hold.released.set()
            await wait_logged(f"msg_id: {SENTINEL_ID},")

    eeg_cap.set_eeg_buffer_cfg(4 * EEG_MESSAGES)
    eeg_cap.clear_eeg_buffer()
    logging.getLogger(CONSUMER_LOGGER).addHandler(hold)
    try:
        run(scenario(), timeout=60)
    finally:
        hold.released.set()
        logging.getLogger(CONSUMER_LOGGER).removeHandler(hold)
        rows = eeg_cap.get_eeg_buffer(10 ** 9, True)
        eeg_cap.set_eeg_buffer_cfg(1000)

    assert [r for r in caplog.records if r.levelno >= logging.ERROR] == []
    # Held after taking HELD_ID, the consumer finds only the newest 128 messages in the channel:
    # 127 EEG messages and the sentinel.
    stored = len(rows) // 4
    assert stored == 127
    assert [int(r[0]) for r in rows] == list(range(4 * (EEG_MESSAGES - stored), 4 * EEG_MESSAGES))
    lags = [int(m.group(1)) for m in map(LAG.fullmatch, messages(caplog, CONSUMER_LOGGER, logging.WARNING)) if m]
    assert sum(lags) == EEG_MESSAGES - stored
