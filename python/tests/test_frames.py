"""Records as DataFrames and DataArrays: every channel kind of the embedded
server's catalog, each value equal to the record it came from; the same objects
read back from the HDF5 file of the same fetch, also while it grows."""

import _thread
import os
import pickle
import signal
import subprocess
import sys
import threading
import time

import h5py
import numpy as np
import pandas as pd
import pytest
import xarray as xr

import daqclient
from conftest import START, window

SPECTRUM = "DIAG/TOROID/T1.SPECT"
IMAGE = "CAMERA/SCREEN/IMAGE"
MULTI = "DIAG/ADC/INPUTS"
GROUPS = "DIAG/GSPECT/G1"
NAMES = "RF/STATUS/NAMES"
OBJECT = "MAGNET/QUAD/Q1.CURRENT"
STAMP = "TIMING/TRIGGER/STAMP"
SLOW = ["SLOW/TEMP/T1", "SLOW/PRESSURE/P1"]
ALL_KINDS = [SPECTRUM, IMAGE, MULTI, "DIAG/BPM/BPM1", GROUPS, NAMES, "VACUUM/UPDATE/PUMPS",
             OBJECT, STAMP] + SLOW


@pytest.fixture(scope="module")
def fetched():
    start, stop = window(2)
    records = daqclient.fetch(ALL_KINDS, start, stop, local=True)
    return records, records.to_pandas()


def stamps(records):
    return pd.to_datetime([r.seconds * 1000000 + r.microseconds for r in records], unit="us",
                          utc=True)


def test_every_kind_becomes_its_object_with_the_records_values(fetched):
    records, frames = fetched
    events = [r for r in records if not r.slow]
    numbers = np.array([r.event_number for r in events], dtype=np.uint64)
    assert sorted(frames) == sorted([SPECTRUM, IMAGE, MULTI, "DIAG/BPM/BPM1", GROUPS, NAMES,
                                     OBJECT, STAMP] + [f"VACUUM/UPDATE/PUMPS.{i}"
                                                       for i in range(6)] + SLOW)
    assert frames.counters["records_delivered"] == len(records)

    spectrum = frames[SPECTRUM]
    assert spectrum.dims == ("time", "index") and spectrum.shape == (20, 1024)
    np.testing.assert_array_equal(spectrum.event_number, numbers)
    assert (spectrum.time.values == stamps(events).tz_localize(None).values).all()
    np.testing.assert_array_equal(spectrum.values, [r[SPECTRUM].values for r in events])

    multi = frames[MULTI]
    assert multi.dims == ("time", "spectrum", "index") and multi.shape == (20, 128, 64)
    assert list(multi.spectrum.values) == [s.comment for s in events[0][MULTI]]
    np.testing.assert_array_equal(multi.values[7, 5], events[7][MULTI][5].values)

    groups = frames[GROUPS]
    assert groups.dims == ("time", "spectrum", "group", "index")
    assert groups.shape == (20, 2, 4, 256)
    np.testing.assert_array_equal(groups.values[3, 1], events[3][GROUPS][1].values)

    image = frames[IMAGE]
    assert image.dims == ("time", "y", "x") and image.dtype == np.uint16
    assert image.shape == (20, 120, 160)
    np.testing.assert_array_equal(image.values[11], events[11][IMAGE].pixels)
    np.testing.assert_array_equal(image.event_number, numbers)

    obj = frames[OBJECT]
    assert list(obj.columns) == ["event_number"] + [f"value_{i}" for i in range(16)]
    assert obj.index.name == "time" and str(obj.index.tz) == "UTC"
    assert (obj.index == stamps(events)).all() and obj.event_number.dtype == np.uint64
    np.testing.assert_array_equal(obj.iloc[4, 1:].to_numpy(np.float32), events[4][OBJECT])

    stamp = frames[STAMP]
    assert list(stamp.columns) == ["event_number"]
    np.testing.assert_array_equal(stamp.event_number, numbers)


def test_items_and_slow_entries_become_one_row_each(fetched):
    records, frames = fetched
    events = [r for r in records if not r.slow]
    names = frames[NAMES]
    assert list(names.columns) == ["event_number", "name", "value", "status", "number",
                                   "item_time"]
    assert len(names) == 8 * len(events)
    items = [(r.event_number, item.name, item.value, item.status, item.number, item.time)
             for r in events for item in r[NAMES]]
    assert [tuple(row) for row in names.itertuples(index=False)] == items
    assert (names.index[:8] == stamps(events[:1])[0]).all()

    pump = frames["VACUUM/UPDATE/PUMPS.3"]
    assert list(pump.value) == [r["VACUUM/UPDATE/PUMPS.3"][0].value for r in events]

    entries = [e for r in records if r.slow for e in r.entries]
    assert entries
    for name in SLOW:
        mine = [e for e in entries if e.name == name]
        slow = frames[name]
        assert list(slow.columns) == ["event_number", "value", "status"]
        assert list(slow.value) == [e.value for e in mine]
        assert list(slow.event_number) == [e.event_number for e in mine]
        assert list(slow.index) == [pd.Timestamp(e.datetime) for e in mine]


def test_fetch_as_frame_equals_to_pandas_and_refuses_a_stream():
    start, stop = window(1)
    frames = daqclient.fetch([SPECTRUM, OBJECT], start, stop, local=True, as_frame=True)
    assert isinstance(frames, daqclient.Frames) and set(frames) == {SPECTRUM, OBJECT}
    assert frames[OBJECT].index[0] == pd.Timestamp(START)
    assert frames.counters["records_delivered"] == 10
    copy = pickle.loads(pickle.dumps(frames))  # as a cluster's workers hand them back
    assert copy.counters == frames.counters and copy[OBJECT].equals(frames[OBJECT])
    with pytest.raises(TypeError, match="stream"):
        daqclient.fetch([SPECTRUM], start, stop, local=True, as_frame=True, stream=True)


def test_out_of_order_records_come_out_sorted_and_empty_input_gives_no_objects():
    start, stop = window(1)
    records = daqclient.fetch([OBJECT], start, stop, local=True)
    frames = daqclient.to_frames(list(reversed(records)))
    assert frames[OBJECT].index.is_monotonic_increasing
    assert list(frames[OBJECT].event_number) == [r.event_number for r in records]
    assert daqclient.to_frames([]) == {} and daqclient.to_frames([]).counters == {}


def assert_same_frames(got, expected):
    assert sorted(got) == sorted(expected)
    for name, obj in expected.items():
        if isinstance(obj, pd.DataFrame):
            pd.testing.assert_frame_equal(got[name], obj, check_exact=True, obj=name)
        else:
            xr.testing.assert_identical(got[name], obj)


@pytest.mark.parametrize("compress", [0, 1])
def test_fetch_hdf5_reads_back_as_the_fetch_gives_it(tmp_path, compress):
    start, stop = window(2)
    path = tmp_path / "run.h5"
    counters = daqclient.fetch_hdf5(path, ALL_KINDS, start, stop, local=True, compress=compress)
    expected = daqclient.fetch(ALL_KINDS, start, stop, local=True, as_frame=True)
    got = daqclient.read_hdf5(path)
    assert_same_frames(got, expected)
    assert counters["records_delivered"] == expected.counters["records_delivered"]
    for key in ("records_delivered", "events_received", "dropped_events", "last_event"):
        assert got.counters[key] == counters[key], key


def test_images_of_every_depth_read_back_as_fetched(tmp_path):
    catalog = tmp_path / "catalog.txt"
    catalog.write_text("".join(f"CAM/D{bpp}/IMAGE image width=12 height=5 bpp={bpp}\n"
                               for bpp in (1, 3, 4, 8)))
    start, stop = window(1)
    options = {"server_options": {"catalog_file": str(catalog)}, "local": True}
    names = [f"CAM/D{bpp}/IMAGE" for bpp in (1, 3, 4, 8)]
    daqclient.fetch_hdf5(tmp_path / "depths.h5", names, start, stop, **options)
    expected = daqclient.fetch(names, start, stop, as_frame=True, **options)
    assert_same_frames(daqclient.read_hdf5(tmp_path / "depths.h5"), expected)
    assert [expected[n].shape[1:] for n in names] == [(5, 12), (5, 36), (5, 12), (5, 12)]
    assert expected[names[2]].dtype == np.uint32


def test_fetch_hdf5_fails_as_fetch_does_keeping_what_arrived(tmp_path):
    start, stop = window(5)
    path = tmp_path / "broken.h5"
    with pytest.raises(daqclient.ReceiverError) as failure:
        daqclient.fetch_hdf5(path, [SPECTRUM], start, stop, local=True, retries=0,
                             server_options={"drop_after": 10})
    with pytest.raises(daqclient.ReceiverError) as same:
        daqclient.fetch([SPECTRUM], start, stop, local=True, retries=0,
                        server_options={"drop_after": 10})
    assert (failure.value.code, failure.value.text) == (same.value.code, same.value.text)
    kept = daqclient.read_hdf5(path)[SPECTRUM]
    assert list(kept.event_number.values) == [r.event_number for r in same.value.records]
    with h5py.File(path, "r") as f:
        assert f.attrs["complete"] == 1 and f.attrs["fetch_result"] != 0
    with pytest.raises(daqclient.RequestError, match="compress must be 0"):
        daqclient.fetch_hdf5(path, [SPECTRUM], start, stop, local=True, compress=10)
    with pytest.raises(daqclient.DaqError, match="not a fetch's HDF5 file"):
        h5py.File(tmp_path / "other.h5", "w").close()
        daqclient.read_hdf5(tmp_path / "other.h5")


def test_read_hdf5_reads_rows_complete_in_every_dataset_and_refuses_a_broken_layout(tmp_path):
    path = tmp_path / "cut.h5"
    with h5py.File(path, "w") as f:
        f.attrs["format"] = "daq-fetch-hdf5"
        group = f.create_group("A")
        group.attrs.update(channel="X/Y", kind="number")
        group["event_number"] = np.arange(5, dtype=np.uint64)
        group["time_us"] = np.arange(4, dtype=np.int64)
        group["value"] = np.arange(3, dtype=np.int64)
        items = f.create_group("B")
        items.attrs.update(channel="X/ITEMS", kind="items")
        items["event_number"], items["time_us"] = np.arange(1, dtype=np.uint64), [7]
        for name, value in (("item_event", [0, 1, 2**63]), ("name", [b"a", b"b", b"c"]),
                            ("value", [1.0] * 3), ("status", [0.0] * 3), ("number", [1] * 3),
                            ("time", [9] * 3)):
            items[name] = value
    frames = daqclient.read_hdf5(path)
    assert list(frames["X/Y"].value) == [0, 1, 2]
    assert list(frames["X/ITEMS"].name) == ["a"]  # items of rows not in the file are left out
    with h5py.File(path, "a") as f:
        del f["A/time_us"]
    with pytest.raises(daqclient.DaqError, match="not in the fetch's HDF5 layout"):
        daqclient.read_hdf5(path)


def test_read_hdf5_follows_a_growing_file_and_reads_a_killed_writers(tmp_path):
    path = tmp_path / "growing.h5"
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(path)],
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        rows, slow, opened = 0, 0, False
        deadline = time.monotonic() + 20
        while (rows < 25 or not slow) and time.monotonic() < deadline:
            try:
                frames = daqclient.read_hdf5(path)
            except (OSError, daqclient.DaqError):
                if opened:  # a channel added later must not keep the reader out
                    raise
                time.sleep(0.2)  # not created, or not flushed once yet
                continue
            opened = True
            rows, slow = len(frames.get(OBJECT, ())), len(frames.get(SLOW[0], ()))
            time.sleep(0.1)
        assert rows >= 25 and slow and writer.poll() is None
    finally:
        writer.kill()
        writer.wait()
    frames = daqclient.read_hdf5(path)
    numbers = [int(n) for n in frames[OBJECT].event_number]
    assert len(numbers) >= rows
    assert numbers == list(range(numbers[0], numbers[0] + len(numbers)))


def test_read_hdf5_waits_out_a_writer_that_locks_the_file_a_moment(tmp_path):
    path = tmp_path / "locked.h5"
    start, stop = window(1)
    daqclient.fetch_hdf5(path, [OBJECT], start, stop, local=True)
    holder = subprocess.Popen([sys.executable, "-c", LOCKER, str(path)], stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"open\n"
        assert len(daqclient.read_hdf5(path)[OBJECT]) == 10
    finally:
        holder.kill()
        holder.wait()


# As the writer does while it adds a channel to a growing file.
LOCKER = """
import sys, time, h5py
f = h5py.File(sys.argv[1], "a")
print("open", flush=True)
time.sleep(0.5)
f.close()
"""


# A real-time fetch of ten minutes, killed by the test once it has read enough.
WRITER = f"""
import sys, daqclient
from conftest import window
start, stop = window(600)
daqclient.fetch_hdf5(sys.argv[1], [{OBJECT!r}, {SLOW[0]!r}], start, stop, local=True,
                     server_options={{"real_time": True}})
"""


def test_ctrl_c_stops_fetch_hdf5_and_leaves_a_closed_file(tmp_path):
    path = tmp_path / "stopped.h5"
    start, stop = window(600)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        threading.Timer(1.5, _thread.interrupt_main).start()
        began = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            daqclient.fetch_hdf5(path, [OBJECT], start, stop, local=True,
                                 server_options={"real_time": True})
        assert time.monotonic() - began < 5
    finally:
        signal.signal(signal.SIGINT, previous)
    with h5py.File(path, "r") as f:
        assert f.attrs["complete"] == 1
    assert len(daqclient.read_hdf5(path)[OBJECT]) >= 5
