"""Awaitables cancelled in a storm while a device streams: the worker threads settle, build and release
without pause while four event loops in four threads hold the interpreter lock in turn."""
LOOPS, CALLS = 4, 4000


def test_every_call_of_a_cancel_storm_ends_cancelled_or_with_its_result(fresh_python):
    r = fresh_python(f"""
        import sys
        from support import cancel_storm
        sys.argv = ["cancel_storm", "--loops", "{LOOPS}", "--calls", "{CALLS}", "--log-chunks"]
        sys.exit(cancel_storm.main())
    """, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr[-3000:]  # 1: a wrong outcome or a loop's problem, printed
    counts = dict(line.split(": ") for line in r.stdout.splitlines())
    assert set(counts) <= {"cancelled", "done"} and sum(map(int, counts.values())) == LOOPS * CALLS
    assert "faulted" not in r.stderr and "Traceback" not in r.stderr, r.stderr[-3000:]

