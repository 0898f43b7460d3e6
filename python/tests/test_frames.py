"""Records as DataFrames and DataArrays: every channel kind of the embedded
server's catalog, each value equal to the record it came from."""

import numpy as np
import pandas as pd
import pytest

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
    with pytest.raises(TypeError, match="stream"):
        daqclient.fetch([SPECTRUM], start, stop, local=True, as_frame=True, stream=True)


def test_out_of_order_records_come_out_sorted_and_empty_input_gives_no_objects():
    start, stop = window(1)
    records = daqclient.fetch([OBJECT], start, stop, local=True)
    frames = daqclient.to_frames(list(reversed(records)))
    assert frames[OBJECT].index.is_monotonic_increasing
    assert list(frames[OBJECT].event_number) == [r.event_number for r in records]
    assert daqclient.to_frames([]) == {} and daqclient.to_frames([]).counters == {}
