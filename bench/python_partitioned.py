#!/usr/bin/env python3
"""fetch_partitioned on a cluster of two workers against one fetch of the same
range, both from servers that pace their streams at the pulse rate, as a
facility's servers do (the servers, not the client, are the bottleneck).

Two embedded servers (real_time=True) serve SECONDS of data of a spectrum
channel and a slow channel. Alternating, one fetch asks the whole range of the
first server, and fetch_partitioned asks it in PARTS parts spread over both
servers, one part per server at a time, on a LocalCluster of two worker
processes. The cluster is started (and the workers' imports warmed) before any
timing. Reports the medians and the ratio single time / partitioned time
(goal >= 1.6). Run with the built package on PYTHONPATH:

    PYTHONPATH=build/python/python /usr/bin/python3 bench/python_partitioned.py [REPETITIONS] [PARTS]
"""

import datetime as dt
import statistics
import sys
import time

import distributed

import daqclient
import daqclient.dask

CHANNELS = ["DIAG/TOROID/T1.SPECT", "SLOW/TEMP/T1"]
SECONDS = 10
RATE = 10


def warm():
    import daqclient.dask  # noqa: F401 - pandas, xarray and the extension loaded
    import pandas  # noqa: F401
    import xarray  # noqa: F401


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    parts = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    start = dt.datetime(2025, 3, 1, 9, tzinfo=dt.timezone.utc)
    stop = start + dt.timedelta(seconds=SECONDS)
    servers = [daqclient.LocalServer(real_time=True, rate_hz=RATE).start() for _ in range(2)]
    names = ";".join(f"{s.entry.rsplit('/', 2)[0]}=127.0.0.1:{s.control_port}" for s in servers)
    began = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, env={"VELMOR_NAMES": names})
    client = distributed.Client(cluster)
    client.run(warm)
    startup = time.perf_counter() - began
    single, split = [], []
    try:
        for _ in range(repetitions):
            began = time.perf_counter()
            whole = daqclient.fetch(CHANNELS, start, stop, servers=servers[0].entry,
                                    as_frame=True)
            single.append(time.perf_counter() - began)
            began = time.perf_counter()
            gathered = daqclient.dask.fetch_partitioned(
                CHANNELS, start, stop, parts=parts, servers=[s.entry for s in servers],
                client=client)
            split.append(time.perf_counter() - began)
            a, b = whole[CHANNELS[0]], gathered[CHANNELS[0]]
            if not a.identical(b) or not whole[CHANNELS[1]].equals(gathered[CHANNELS[1]]):
                sys.exit("the partitioned fetch differs from the single one")
    finally:
        client.close()
        cluster.close()
        for s in servers:
            s.stop()
    s, p = statistics.median(single), statistics.median(split)
    events = SECONDS * RATE
    print(f"{SECONDS} s of data at {RATE} Hz in real time ({events} events), {parts} parts on "
          f"2 servers, 2 worker processes, {repetitions} runs; cluster start-up {startup:.2f} s "
          f"(not timed)")
    print(f"one fetch          median {s:.3f} s  runs {', '.join(f'{t:.3f}' for t in single)}")
    print(f"fetch_partitioned  median {p:.3f} s  runs {', '.join(f'{t:.3f}' for t in split)}")
    print(f"ratio (one fetch time / partitioned time) {s / p:.2f}  (goal >= 1.6)")


if __name__ == "__main__":
    main()
