"""Fixtures: embedded DAQ data servers on loopback and the request window the
tests ask for (2025-03-01 09:00:00 UTC, well inside the servers' data)."""

import datetime as dt
import os
from pathlib import Path

import pytest

import daqclient

START = dt.datetime(2025, 3, 1, 9, 0, 0, tzinfo=dt.timezone.utc)
ORIGIN = 1735689600  # the servers' event number 0
RATE = 10


def window(seconds):
    return START, START + dt.timedelta(seconds=seconds)


def event_number_at(moment):
    return int((moment.timestamp() - ORIGIN) * RATE)


@pytest.fixture
def daqget_path():
    """The daqget program: $DAQGET, else the one built beside the package."""
    path = os.environ.get("DAQGET") or str(
        Path(daqclient.__file__).resolve().parents[2] / "tools/daqget/daqget")
    if not os.access(path, os.X_OK):
        pytest.skip(f"no daqget program at {path} (set DAQGET)")
    return path


@pytest.fixture(params=["legacy", "2024"])
def generation(request):
    return request.param


@pytest.fixture
def server(generation):
    with daqclient.LocalServer(generation=generation) as s:
        yield s


def connect(server, channels, seconds=1, **setters):
    """A Connection for a window of `seconds`, handshaken with `server`."""
    c = daqclient.Connection()
    start, stop = window(seconds)
    c.set_start_time(start).set_stop_time(stop)
    for name in channels:
        c.add_channel(name)
    for setter, value in setters.items():
        getattr(c, setter)(value)
    return c, c.connect(server.entry)
