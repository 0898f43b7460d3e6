"""Fetches spread over a LocalCluster of two worker processes against embedded
servers: the gathered parts equal one fetch of the whole range, the HDF5 parts
read back equal it too, a busy server still delivers every part, and a failing
part is named."""

import datetime as dt
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import daqclient

distributed = pytest.importorskip("distributed")
import daqclient.dask as dd  # noqa: E402

from conftest import START, event_number_at  # noqa: E402

CHANNELS = ["DIAG/BPM/BPM1", "DIAG/TOROID/T1.SPECT", "VACUUM/UPDATE/PUMPS", "SLOW/TEMP/T1",
            "TIMING/TRIGGER/STAMP"]
SECONDS = 5

# The cluster's event loop is made the old way by this distributed release.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def cluster():
    """Two default servers, one that takes a single request and refuses the
    first as busy, and a client of two worker processes that reach them by name."""
    servers = [daqclient.LocalServer().start(), daqclient.LocalServer().start(),
               daqclient.LocalServer(max_requests=1, busy_times=1).start()]
    # Workers are other processes: they find the servers through the name table.
    names = ";".join(f"{s.entry.rsplit('/', 2)[0]}=127.0.0.1:{s.control_port}" for s in servers)
    local = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None, env={"VELMOR_NAMES": names})
    client = distributed.Client(local)
    yield client, servers
    client.close()
    local.close()
    for s in servers:
        s.stop()


@pytest.fixture(scope="module")
def whole(cluster):
    return daqclient.fetch(CHANNELS, START, START + dt.timedelta(seconds=SECONDS),
                           servers=cluster[1][0].entry, as_frame=True)


def assert_same(gathered, whole):
    assert sorted(gathered) == sorted(whole)
    for name, obj in whole.items():
        if hasattr(obj, "dims"):
            assert obj.identical(gathered[name]), name
        else:
            assert obj.equals(gathered[name]), name
    events = gathered["TIMING/TRIGGER/STAMP"]["event_number"].to_numpy()
    first = event_number_at(START)
    np.testing.assert_array_equal(events, np.arange(first, first + SECONDS * 10))


def test_gathered_parts_equal_one_fetch(cluster, whole):
    client, servers = cluster
    # Uneven parts (1, 2, 2 seconds) over two servers.
    gathered = dd.fetch_partitioned(CHANNELS, START, START + dt.timedelta(seconds=SECONDS),
                                    parts=3, servers=[servers[0].entry, servers[1].entry],
                                    client=client)
    assert_same(gathered, whole)
    assert gathered.counters["parts"] == 3
    assert gathered.counters["records_delivered"] == whole.counters["records_delivered"]


def test_part_files_read_back_equal_one_fetch(cluster, whole, tmp_path):
    client, servers = cluster
    files = dd.fetch_partitioned(CHANNELS, START, START + dt.timedelta(seconds=SECONDS),
                                 parts=2, servers=[servers[0].entry, servers[1].entry],
                                 client=client, out_dir=tmp_path)
    assert [os.path.basename(f) for f in files] == [
        "part0000_20250301T090000Z_20250301T090002Z.h5",
        "part0001_20250301T090002Z_20250301T090005Z.h5"]
    assert sorted(os.listdir(tmp_path)) == [os.path.basename(f) for f in files]
    assert_same(files.gather(), whole)


def test_busy_server_still_delivers_every_part(cluster, whole):
    client, servers = cluster
    # Two parts at once against a server that takes one request: one of them
    # is refused as busy at least once (and the first request in any case).
    gathered = dd.fetch_partitioned(CHANNELS, START, START + dt.timedelta(seconds=SECONDS),
                                    parts=4, servers=servers[2].entry, per_server=2,
                                    busy_backoff=0.2, connect_timeout=1, client=client)
    assert_same(gathered, whole)
    assert gathered.counters["busy_retries"] >= 1


def test_failing_part_is_named(cluster):
    client, servers = cluster
    with pytest.raises(dd.PartError) as caught:
        dd.fetch_partitioned(["NO/SUCH/CHANNEL"], START, START + dt.timedelta(seconds=2),
                             parts=2, servers=servers[0].entry, client=client)
    error = caught.value
    assert isinstance(error, daqclient.DaqError)
    assert (error.kind, error.code, error.server) == ("ConnectError", 4, servers[0].entry)
    assert str(error).startswith(f"part {error.part} [2025-03-01T09:00:0")
    assert "none of the requested channels is known" in str(error)


def test_parts_without_data_are_left_out(cluster):
    client, servers = cluster
    now = int(time.time())
    # The last two parts lie wholly after the servers' "now".
    gathered = dd.fetch_partitioned(["TIMING/TRIGGER/STAMP"], now - 3, now + 57, parts=3,
                                    servers=[servers[0].entry, servers[1].entry], client=client)
    events = gathered["TIMING/TRIGGER/STAMP"]["event_number"].to_numpy()
    assert len(events) >= 20 and np.all(np.diff(events.astype(np.int64)) == 1)
    with pytest.raises(dd.PartError, match="no data in the requested time range"):
        dd.fetch_partitioned(["TIMING/TRIGGER/STAMP"], now + 60, now + 70, parts=2,
                             servers=servers[0].entry, client=client)


def test_plain_import_loads_no_dask():
    code = "import sys, daqclient; sys.exit('distributed' in sys.modules or 'dask' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0
