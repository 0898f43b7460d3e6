#!/usr/bin/env python3
"""Python fetch against the C++ road, in one process against one server.

Fetches 1000 events of one 1 MB image channel over loopback through
daqclient.fetch and through the C++ API (EqDAQconnect, EqDAQdata, get_monitor),
alternating, and reports the medians and the ratio C++ time / Python time
(1.0: the binding costs nothing). Run with the built package on PYTHONPATH:

    PYTHONPATH=build/python/python /usr/bin/python3 bench/python_fetch.py
"""

import datetime as dt
import os
import statistics
import sys
import tempfile
import time

import daqclient
import _daqclient_bench

CHANNEL = "CAMERA/BENCH/IMAGE"
WIDTH, HEIGHT, BPP = 1024, 512, 2  # 1 MB per image
EVENTS = 1000
RATE = 10
DEPTH = 50


def python_fetch(server, start, stop):
    records = 0
    total = 0
    checksum = 0
    for record in daqclient.fetch([CHANNEL], start, stop, servers=server.entry, stream=True, depth=DEPTH):
        pixels = record[CHANNEL].pixels
        raw = pixels.view("u1").ravel()
        records += 1
        total += raw.nbytes
        checksum += int(raw[0]) + int(raw[-1])
    return records, total, checksum


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.NamedTemporaryFile("w", suffix=".catalog", delete=False) as catalog:
        catalog.write(f"{CHANNEL} image width={WIDTH} height={HEIGHT} bpp={BPP}\n")
    try:
        with daqclient.LocalServer(catalog_file=catalog.name, rate_hz=RATE, max_requests=8) as server:
            start = dt.datetime(2025, 3, 1, 9, tzinfo=dt.timezone.utc)
            stop = start + dt.timedelta(seconds=EVENTS / RATE)
            start_text = daqclient._times.request_time_text(start)
            stop_text = daqclient._times.request_time_text(stop)
            cxx, py, cxx_cpu, py_cpu = [], [], [], []
            for _ in range(repetitions):
                began, began_cpu = time.perf_counter(), time.process_time()
                c_records, c_bytes, _ = _daqclient_bench.fetch(server.entry, [CHANNEL], start_text, stop_text, DEPTH)
                cxx.append(time.perf_counter() - began)
                cxx_cpu.append(time.process_time() - began_cpu)
                began, began_cpu = time.perf_counter(), time.process_time()
                p_records, p_bytes, _ = python_fetch(server, start, stop)
                py.append(time.perf_counter() - began)
                py_cpu.append(time.process_time() - began_cpu)
                if (c_records, c_bytes) != (p_records, p_bytes) or p_records != EVENTS:
                    sys.exit(f"the two roads differ: C++ {c_records} records {c_bytes} bytes, "
                             f"Python {p_records} records {p_bytes} bytes")
    finally:
        os.unlink(catalog.name)
    c, p = statistics.median(cxx), statistics.median(py)
    mb = EVENTS * WIDTH * HEIGHT * BPP / 1e6
    print(f"events {EVENTS}, image {WIDTH}x{HEIGHT}x{BPP} ({mb:.0f} MB), depth {DEPTH}, {repetitions} runs")
    print(f"C++ API      median {c:.3f} s ({mb / c:.0f} MB/s)  runs {', '.join(f'{t:.3f}' for t in cxx)}")
    print(f"Python fetch median {p:.3f} s ({mb / p:.0f} MB/s)  runs {', '.join(f'{t:.3f}' for t in py)}")
    print(f"ratio (C++ time / Python time) {c / p:.2f}  (goal >= 0.8)")
    # Process CPU time (server, receiver and application threads together) is
    # less disturbed by other load on the machine than wall time.
    cc, pc = statistics.median(cxx_cpu), statistics.median(py_cpu)
    print(f"CPU time     C++ {cc:.3f} s, Python {pc:.3f} s, ratio {cc / pc:.2f}")


if __name__ == "__main__":
    main()
