"""Memory of a program that polls for a cap that is not there: malloc's in-use
bytes over cancelled `asyncio.wait_for(eeg_cap.mdns_scan(), 0.002)` calls.

Runs in a private network namespace with only loopback and no responder, so
every scan is cancelled by its time-out. Prints in-use bytes (mallinfo2) at
tenths of the run and the growth per scan after the first tenth.

    .venv/bin/python bench/bench_mdns_cancelled.py [scans]

Goal: flat, under 8 bytes per scan over 20,000 scans.
"""

import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from support import mdns_ns  # noqa: E402

RUN = r"""
import asyncio, ctypes, gc, json
from kx_proto_sdk import eeg_cap

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                     "fsmblks", "uordblks", "fordblks", "keepcost")]
mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
mallinfo2.restype = MallInfo2

async def main(scans):
    marks = []
    for i in range(scans + 1):
        if i % (scans // 10) == 0:
            await asyncio.sleep(0.05)  # let the last cancellation finish
            gc.collect()
            marks.append([i, mallinfo2().uordblks])
        try:
            await asyncio.wait_for(eeg_cap.mdns_scan(), 0.002)
        except asyncio.TimeoutError:
            pass
    print("MARKS " + json.dumps(marks), flush=True)
asyncio.run(main(SCANS))
"""


def main():
    scans = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    if not mdns_ns.namespaces_available():
        sys.exit("needs `unshare -n` (root) for a private network namespace")
    done = mdns_ns.run_scenario(RUN.replace("SCANS", str(scans)), timeout=3600)
    lines = [l for l in done.stdout.splitlines() if l.startswith("MARKS ")]
    if done.returncode != 0 or not lines:
        sys.exit(f"benchmark failed:\n{done.stdout}\n{done.stderr}")
    marks = json.loads(lines[0][len("MARKS "):])
    for i, in_use in marks:
        print(f"{i:7d} cancelled scans: {in_use / 1e6:8.3f} MB in use")
    (i0, b0), (i1, b1) = marks[1], marks[-1]
    per_scan = (b1 - b0) / (i1 - i0)
    print(f"growth after the first {i0} scans: {per_scan:.1f} bytes per scan")
    print(f"goal: under 8 bytes per scan: {'met' if per_scan < 8 else 'NOT met'}")


if __name__ == "__main__":
    main()
