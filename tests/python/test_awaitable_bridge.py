"""The awaitable bridge as seen through start_message_stream and a pending PyTcpStream step."""
import asyncio
import gc
import weakref

import kx_proto_sdk as kx

from support.emulator import DeviceEmulator
from support.tcp_helpers import attach


def test_futures_of_the_running_loop_resolve_to_empty_tuple_or_stay_cancelled():
    async def scenario():
        loop = asyncio.get_running_loop()
        problems = []
        loop.set_exception_handler(lambda _loop, ctx: problems.append(ctx))
        p = kx.MessageParser("cap-1", kx.MsgType.Orvel)
        futures = [p.start_message_stream() for _ in range(200)]
        p.receive_data(b"\x00")  # the parser's borrow was released before each call returned
        assert all(isinstance(f, asyncio.Future) and f.get_loop() is loop for f in futures)
        for f in futures[::2]:
            f.cancel()
        results = await asyncio.gather(*futures[1::2])
        await asyncio.sleep(0.2)  # lets late results of the cancelled calls arrive, if any did
        return results, [f.cancelled() for f in futures[::2]], problems, [weakref.ref(f) for f in futures[1::2]]

    results, cancelled, problems, resolved = asyncio.run(scenario())
    gc.collect()
    assert results == [()] * 100 and all(cancelled) and problems == []
    assert all(w() is None for w in resolved)  # the bridge keeps no reference to a settled future


def test_result_for_a_closed_loop_is_printed_and_dropped(fresh_python):
    r = fresh_python("""
        import asyncio, threading
        import kx_proto_sdk as kx
        closed, attempts = threading.Event(), threading.Semaphore(0)
        class GatedLoop(asyncio.SelectorEventLoop):
            # Completions wait here until the loop is closed: none can reach it before.
            def call_soon_threadsafe(self, *args, **kwargs):
                closed.wait()
                try:
                    return super().call_soon_threadsafe(*args, **kwargs)
                finally:
                    attempts.release()
        loop = GatedLoop()
        async def start():
            return [kx.MessageParser("cap", kx.MsgType.Orvel).start_message_stream() for _ in range(100)]
        futures = loop.run_until_complete(start())
        loop.close()
        closed.set()
        for _ in futures:
            attempts.acquire()
        print("pending", sum(not f.done() for f in futures))
    """)
    assert r.returncode == 0, r.stderr
    assert "RuntimeError: Event loop is closed" in r.stderr  # printed lines may interleave
    assert r.stdout == "pending 100\n"


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


# The table of settings is checked on the parser in C++; here a setting reaches the runtime.
def test_runtime_is_built_by_the_first_awaitable_with_the_configured_workers(fresh_python):
    r = fresh_python("""
        import asyncio, os
        import kx_proto_sdk as kx
        def workers():
            return sum(open(f"/proc/self/task/{t}/comm").read().startswith("kx-worker-") for t in os.listdir("/proc/self/task"))
        before = workers()
        async def main():
            await kx.MessageParser("c", kx.MsgType.Orvel).start_message_stream()
        asyncio.run(main())
        print(before, workers())
    """, env={"KX_PROTO_SDK_WORKER_THREADS": "3"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["0", "3"]
