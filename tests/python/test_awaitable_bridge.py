"""The awaitable bridge as seen through start_message_stream (and a pending
PyTcpStream step): futures of the running loop, cancellation, closed loops."""
import asyncio
import gc
import weakref

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

from support.emulator import DeviceEmulator
from support.frames import EegSample, MainApp
from support.tcp_helpers import attach


def parser():
    return kx.MessageParser("cap-1", kx.MsgType.Orvel)


def test_call_without_running_loop_raises_and_starts_nothing():
    p = parser()
    with pytest.raises(RuntimeError, match="no running event loop"):
        p.start_message_stream()

    async def scenario():
        eeg_cap.clear_eeg_buffer()
        p.receive_data(MainApp(samples=[EegSample(1, bytes(108))]).frame())
        await asyncio.sleep(0.1)
        return eeg_cap.get_eeg_buffer(10, True)

    assert asyncio.run(scenario()) == []  # no consumer was subscribed


def test_future_belongs_to_the_running_loop_resolves_to_empty_tuple_and_is_released():
    async def scenario():
        p = parser()
        fut = p.start_message_stream()
        p.receive_data(b"\x00")  # the parser's borrow was released before the call returned
        assert isinstance(fut, asyncio.Future)
        assert fut.get_loop() is asyncio.get_running_loop()
        futures = [fut] + [p.start_message_stream() for _ in range(200)]
        results = await asyncio.gather(*futures)
        watches = [weakref.ref(f) for f in futures]
        del fut, futures
        await asyncio.sleep(0.05)
        return results, watches

    results, watches = asyncio.run(scenario())
    gc.collect()
    assert results == [()] * 201
    assert all(w() is None for w in watches)


def test_cancelled_future_stays_cancelled_without_errors():
    async def scenario():
        loop = asyncio.get_running_loop()
        problems = []
        loop.set_exception_handler(lambda _loop, ctx: problems.append(ctx))
        p = parser()
        futures = [p.start_message_stream() for _ in range(50)]
        for f in futures:
            f.cancel()
        await asyncio.sleep(0.2)
        return futures, problems

    futures, problems = asyncio.run(scenario())
    assert all(f.cancelled() for f in futures)
    assert problems == []


def test_result_for_a_closed_loop_is_printed_and_dropped(fresh_python):
    r = fresh_python("""
        import asyncio, time
        import kx_proto_sdk as kx
        p = kx.MessageParser("cap", kx.MsgType.Orvel)
        loop = asyncio.new_event_loop()
        async def start():
            return [p.start_message_stream() for _ in range(100)]
        futures = loop.run_until_complete(start())
        loop.close()
        time.sleep(0.5)
        print("pending", sum(not f.done() for f in futures))
    """)
    assert r.returncode == 0, r.stderr
    assert "RuntimeError: Event loop is closed" in r.stderr
    assert "pending 100" in r.stdout


def test_message_stream_cannot_be_created():
    with pytest.raises(TypeError, match="No constructor defined for MessageStream"):
        kx.MessageStream()


def test_cancelled_step_is_released_consumes_nothing_and_frees_the_stream_lock():
    async def scenario():
        async with DeviceEmulator() as dev:
            client, conn = await attach(dev, stream_messages=False)
            stream = await client.get_data_stream()
            pending = stream.__anext__()
            await asyncio.sleep(0.05)
            pending.cancel()
            cancelled, watch = pending.cancelled(), weakref.ref(pending)
            del pending
            await asyncio.sleep(0.05)
            await conn.send(b"after")
            nxt = await asyncio.wait_for(stream.__anext__(), 5)  # the lock was released
            return cancelled, watch, nxt

    cancelled, watch, nxt = asyncio.run(scenario())
    gc.collect()
    assert cancelled and watch() is None  # the cancelled step's future was released
    assert nxt == b"after"


@pytest.mark.parametrize("setting, expected", [("3", "3"), ("0", "cpus"), ("many", "cpus"), ("", "cpus")])
def test_runtime_is_built_by_the_first_awaitable_with_the_configured_workers(fresh_python, setting, expected):
    r = fresh_python("""
        import asyncio, os
        import kx_proto_sdk as kx

        def workers():
            names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
            return sum(n.startswith("kx-worker-") for n in names)

        before = workers()
        async def main():
            await kx.MessageParser("c", kx.MsgType.Orvel).start_message_stream()
        asyncio.run(main())
        print(before, workers(), os.cpu_count())
    """, env={"KX_PROTO_SDK_WORKER_THREADS": setting})
    assert r.returncode == 0, r.stderr
    before, after, cpus = r.stdout.split()
    assert before == "0"
    assert after == (cpus if expected == "cpus" else expected)
