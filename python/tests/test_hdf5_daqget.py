"""daqget -f hdf5 against -f jsonl for the same request: every value of every
channel the same; and a file followed while daqget writes it, then left by a
killed daqget."""

import base64
import json
import math
import os
import signal
import subprocess
import time

import numpy as np
import pytest

import daqclient

h5py = pytest.importorskip("h5py")

# Three seconds of the embedded server's built-in catalog: every kind it has.
REQUEST = ["--local", "--start", "2025-01-01T00:00:00Z", "--stop", "2025-01-01T00:00:03Z"]


def run_daqget(daqget_path, args, env=None):
    done = subprocess.run([daqget_path, *args], capture_output=True, text=True, timeout=120,
                          env=env)
    assert done.returncode == 0, done.stderr
    return done


class Group(dict):
    """A channel group read whole: its datasets as arrays, its attributes."""

    def __init__(self, group):
        super().__init__((name, ds[()]) for name, ds in group.items())
        self.attrs = dict(group.attrs)


def groups_by_channel(f):
    """Channel name -> {(event, time_us): (group, row)} over its sibling groups."""
    rows = {}
    for group in map(Group, f.values()):
        channel = text(group.attrs["channel"])
        events = group["event_number"]
        times = group["time_us"]
        for row, (event, stamp) in enumerate(zip(events, times)):
            key = (int(event), int(stamp))
            assert key not in rows.setdefault(channel, {}), (channel, key)
            rows[channel][key] = (group, row)
    return rows


def text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def same_float(stored, written):
    if written is None:
        return math.isnan(stored)
    return np.float32(stored) == np.float32(written)


def check_spectra(group, row, spectra):
    values = group["value"][row]
    values = values.reshape(1, -1) if values.ndim == 1 else values
    assert len(spectra) == values.shape[0]
    per = ["start", "inc", "status", "name", "id", "groups", "group_size", "group_inc",
           "stat_mask", "statistics"]
    for s, spectrum in enumerate(spectra):
        n = len(spectrum["values"])
        if "length" in group:
            assert group["length"][row].reshape(-1)[s] == n
        assert all(same_float(v, w) for v, w in zip(values[s][:n], spectrum["values"]))
        assert np.isnan(values[s][n:]).all()
        for key in per:
            if key not in spectrum:
                continue
            stored = group[key][row]
            stored = stored.reshape(len(spectra), -1)[s] if key == "statistics" else \
                stored.reshape(-1)[s]
            if key == "name":
                assert text(stored) == spectrum[key]
            elif key == "statistics":
                assert all(same_float(v, w) for v, w in zip(stored, spectrum[key]))
            else:
                assert same_float(stored, spectrum[key]), key


def check_image(group, row, image):
    header = group["header"][row]
    for key in ["width", "height", "bpp", "frame", "length"]:
        assert header[key] == image[key], key
    assert text(group["comment"][row]) == image["comment"]
    stored = group["image"][row]
    assert stored.shape == (image["height"], image["width"])
    assert stored.astype(stored.dtype.newbyteorder("<")).tobytes() == \
        base64.b64decode(image["data_base64"])


def check_items(group, row, items):
    mine = np.nonzero(group["item_event"] == row)[0]
    assert len(mine) == len(items)
    for i, item in zip(mine, items):
        assert text(group["name"][i]) == item["name"]
        assert same_float(group["value"][i], item["value"])
        assert same_float(group["status"][i], item["status"])
        assert group["number"][i] == item["number"]
        assert group["time"][i] == item["time"]


def check_value(group, row, line):
    kind = text(group.attrs["kind"])
    value = line["value"]
    if kind == "slow":
        assert same_float(group["value"][row], value["value"])
        assert group["status"][row] == value["status"]
    elif kind == "spectrum":
        check_spectra(group, row, value["spectra"])
    elif kind == "image":
        check_image(group, row, value)
    elif kind == "items":
        check_items(group, row, value["items"])
    elif kind == "number":
        stored = np.atleast_1d(group["value"][row])
        assert len(stored) == len(value["values"])
        assert all(same_float(v, w) if isinstance(w, float) or w is None else v == w
                   for v, w in zip(stored, value["values"]))
    elif kind == "text":
        if "item_event" in group:
            mine = np.nonzero(group["item_event"] == row)[0]
            assert [text(group["value"][i]) for i in mine] == value["texts"]
        else:
            assert [text(group["value"][row])] == value["texts"]
    elif kind == "none":
        assert value is None
    else:
        pytest.fail(f"{line['channel']} stored as {kind}")
    return kind


def test_hdf5_holds_every_value_the_json_lines_show(daqget_path, tmp_path):
    lines = [json.loads(line) for line in
             run_daqget(daqget_path, REQUEST + ["-f", "jsonl"]).stdout.splitlines()]
    path = tmp_path / "run.h5"
    run_daqget(daqget_path, REQUEST + ["-f", "hdf5", "-o", str(path), "--compress", "1"])
    kinds = {}
    with h5py.File(path, "r") as f:
        assert f.attrs["complete"] == 1
        assert f.attrs["records_written"] == 33  # 30 events, 3 slow-data blocks
        rows = groups_by_channel(f)
        assert sum(len(r) for r in rows.values()) == len(lines)
        for line in lines:
            key = (line["event"], line["time_sec"] * 1000000 + line["time_usec"])
            group, row = rows[line["channel"]][key]
            kind = check_value(group, row, line)
            kinds[kind] = kinds.get(kind, 0) + 1
    assert set(kinds) >= {"slow", "spectrum", "image", "items", "number", "none"}, kinds


def rows_of(path, channel_group):
    """Rows a reader following the file sees now (0 before the group is there)."""
    with h5py.File(path, "r", libver="latest", swmr=True) as f:
        if channel_group not in f:
            return 0
        return f[channel_group]["event_number"].shape[0]


def test_a_growing_file_is_followed_and_a_killed_run_leaves_it_readable(daqget_path, tmp_path):
    with daqclient.LocalServer(real_time=True) as server:
        device = server.entry.split("/")[1]
        env = dict(os.environ, VELMOR_NAMES=f"LUMAR.DAQ/{device}=127.0.0.1:{server.control_port}")
        path = tmp_path / "growing.h5"
        args = ["--servers", server.entry, "--start", "2025-01-01T00:00:00Z",
                "--stop", "2025-01-01T00:01:00Z", "-c", "DIAG/TOROID/T1.SPECT",
                "-f", "hdf5", "-o", str(path)]
        proc = subprocess.Popen([daqget_path, *args], env=env, stderr=subprocess.PIPE)
        try:
            seen = []
            deadline = time.monotonic() + 30
            while len(set(seen)) < 3 and time.monotonic() < deadline:
                try:
                    seen.append(rows_of(path, "DIAG%2FTOROID%2FT1.SPECT"))
                except (OSError, KeyError):
                    pass  # not yet created, or not yet open to readers
                time.sleep(0.2)
            assert proc.poll() is None, "daqget ended before the file was followed"
            grown = sorted(set(seen) - {0})
            assert len(grown) >= 2, seen  # read at least twice, growing, while written
        finally:
            proc.send_signal(signal.SIGKILL)
            proc.communicate(timeout=30)
    # The writer's open mark stays in a killed run's file: readers open it as followers.
    with h5py.File(path, "r", libver="latest", swmr=True) as f:
        assert f.attrs["complete"] == 0
        events = f["DIAG%2FTOROID%2FT1.SPECT"]["event_number"][()]
        assert len(events) >= grown[-1]
        assert (np.diff(events) == 1).all()
