"""The whole road from Python against the embedded server: fetch, the values of
every channel kind compared with what the server synthesises, streams that end
early or on an error, and no references or memory left behind."""

import datetime as dt
import gc
import _thread
import os
import re
import signal
import threading
import time

import numpy as np
import pytest

import daqclient
from conftest import START, event_number_at, window

SPECTRUM = "DIAG/TOROID/T1.SPECT"
IMAGE = "CAMERA/SCREEN/IMAGE"
SLOW = "SLOW/TEMP/T1"
ALL_KINDS = [SPECTRUM, IMAGE, SLOW, "DIAG/ADC/INPUTS", "DIAG/BPM/BPM1", "DIAG/GSPECT/G1",
             "RF/STATUS/NAMES", "VACUUM/UPDATE/PUMPS", "MAGNET/QUAD/Q1.CURRENT",
             "TIMING/TRIGGER/STAMP"]


def wave(count, event_number, scale=1.0):
    """The server's synthetic spectrum: a sine over a slope, phase by pulse."""
    x = np.arange(count, dtype=np.float32)
    phase = np.float32((event_number % 628) * 0.01)
    return np.float32(scale) * (np.sin(x * np.float32(0.05) + phase) + np.float32(0.001) * x)


def image_bytes(width, height, bpp, event_number):
    pixel = np.arange(width * height * bpp) // bpp
    return ((pixel % width + event_number % 256) & 0xFF).astype(np.uint8)


@pytest.mark.parametrize("generation, comm_mode", [("legacy", None), ("2024", None), ("2024", 2)])
def test_fetch_local_returns_every_event_and_slow_block_in_order(generation, comm_mode):
    start, stop = window(3)
    records = daqclient.fetch([SPECTRUM, IMAGE, SLOW], start, stop, local=True,
                              comm_mode=comm_mode, server_options={"generation": generation})
    events = [r for r in records if not r.slow]
    slow = [r for r in records if r.slow]
    assert len(events) == 30 and len(slow) == 3
    first = event_number_at(START)
    assert [r.event_number for r in events] == list(range(first, first + 30))
    assert events[0].datetime == START
    assert events[1].datetime == START + dt.timedelta(milliseconds=100)
    for r in events:
        assert r.names() == [SPECTRUM, IMAGE]
        assert all(c.event_number == r.event_number for c in r.channels)
        assert (r.channels[0].seconds, r.channels[0].microseconds) == (r.seconds, r.microseconds)


def test_values_equal_what_the_server_sent(server):
    start, stop = window(1)
    records = daqclient.fetch(ALL_KINDS, start, stop, servers=server.entry)
    events = [r for r in records if not r.slow]
    assert len(events) == 10
    for r in events:
        ev = r.event_number
        spectrum = r[SPECTRUM]
        assert isinstance(spectrum, daqclient.Spectrum)
        assert spectrum.values.dtype == np.float32 and spectrum.values.shape == (1024,)
        np.testing.assert_allclose(spectrum.values, wave(1024, ev), rtol=1e-5, atol=1e-5)
        assert (spectrum.start, spectrum.inc) == (0.0, 1.0)

        image = r[IMAGE]
        assert image.pixels.dtype == np.uint16 and image.pixels.shape == (120, 160)
        assert (image.width, image.height, image.bpp, image.event) == (160, 120, 2, ev & 0xFFFFFFFF)
        assert image.comment == IMAGE
        np.testing.assert_array_equal(image.pixels.view(np.uint8).ravel(), image_bytes(160, 120, 2, ev))

        multi = r["DIAG/ADC/INPUTS"]
        assert len(multi) == 128  # a channel keeps at most 128 sub-channels
        expected = wave(130 * 64, ev)
        for j, sub in enumerate(multi):
            assert sub.comment == f"DIAG/ADC/INPUTS_IN{j:03d}"
            np.testing.assert_allclose(sub.values, expected[64 * j:64 * (j + 1)], rtol=1e-5, atol=1e-5)
        assert [s.comment.split("_")[-1] for s in r["DIAG/BPM/BPM1"]] == ["X", "Y", "CHARGE", "SUM"]

        groups = r["DIAG/GSPECT/G1"]
        assert len(groups) == 2
        gwave = wave(2 * 4 * 256, ev, 2.0)
        for j, g in enumerate(groups):
            assert g.group and g.values.shape == (4, 256) and (g.groups, g.group_size) == (4, 256)
            part = gwave[1024 * j:1024 * (j + 1)]
            np.testing.assert_allclose(g.values.ravel(), part, rtol=1e-5, atol=1e-5)
            np.testing.assert_allclose(g.statistics[:3], [part.mean(), part.min(), part.max()], rtol=1e-4,
                                       atol=1e-5)
            assert (g.inc, g.group_inc) == (0.5, 10.0)

        names = r["RF/STATUS/NAMES"]
        assert [n[4] for n in names] == [f"RF/STATUS/NAMES:VALUE{i:02d}" for i in range(8)]
        np.testing.assert_allclose([n[1] for n in names], [(ev % 1000) * 0.1 + i for i in range(8)], rtol=1e-6)

        for i in range(6):
            (update,) = r[f"VACUUM/UPDATE/PUMPS.{i}"]
            assert update[4] == f"VACUUM/UPDATE/PUMPS.{i}"
            assert update[1] == pytest.approx(1e-7 * (1 + i + (ev % 1000) * 0.001), rel=1e-5)

        pumps = r.answering("VACUUM/UPDATE/PUMPS")
        assert [c.name for c in pumps] == [f"VACUUM/UPDATE/PUMPS.{i}" for i in range(6)]
        assert [c.name for c in r.answering(SPECTRUM)] == [SPECTRUM]

        obj = r["MAGNET/QUAD/Q1.CURRENT"]
        np.testing.assert_allclose(obj, wave(16, ev, 100.0), rtol=1e-5, atol=1e-4)
        assert r["TIMING/TRIGGER/STAMP"] is None
    (slow,) = [r for r in records if r.slow]
    entries = daqclient.slow_entries(slow[0])
    assert [e[0] for e in entries] == [SLOW]
    assert entries[0][1] == event_number_at(START) and entries[0][5] == pytest.approx(20.0, abs=0.5)


def test_every_spelling_of_the_same_instants_fetches_the_same_records(server, monkeypatch):
    monkeypatch.setenv("ORXA_EXP_TIMEZONE", "Europe/Berlin")
    start, stop = window(1)
    spellings = [(start, stop), (start.timestamp(), stop.timestamp()),
                 ("2025-03-01T09:00:00Z", "2025-03-01T09:00:01Z"),
                 ("2025-03-01T07:00:00-02:00", "2025-03-01T07:00:01-02:00"),
                 ("2025-03-01T10:00:00", "2025-03-01T10:00:01")]
    first = event_number_at(START)
    for begin, end in spellings:
        records = daqclient.fetch([SPECTRUM], begin, end, servers=server.entry)
        assert [r.event_number for r in records] == list(range(first, first + 10)), begin


def test_request_types_the_fetch_takes_and_refuses(server):
    start, stop = window(1)
    passed_on = daqclient.fetch([SPECTRUM], start, stop, servers=server.entry, request_type=3)
    assert len(passed_on) == 10 and passed_on.ended_normally
    for kind, text in ((2, "the channel list"), (7, "request type 7: value refused")):
        with pytest.raises(daqclient.RequestError, match=text):
            daqclient.fetch([SPECTRUM], start, stop, servers=server.entry, request_type=kind)


def test_records_read_by_field_and_a_normal_end_reads_as_normal(server):
    start, stop = window(1)
    records = daqclient.fetch([SLOW, "RF/STATUS/NAMES"], start, stop, servers=server.entry)
    assert records.ended_normally and records.end_data_status == -3
    assert records.end_data_status_text.endswith("(End of data)")
    event = next(r for r in records if not r.slow)
    item = event["RF/STATUS/NAMES"][3]
    assert isinstance(item, daqclient.NameValue)
    assert item.name == item[4] == "RF/STATUS/NAMES:VALUE03" and item.value == item[1]
    slow = next(r for r in records if r.slow)
    (entry,) = slow.entries
    assert entry == slow.channels[0].entries[0] == daqclient.slow_entries(slow[0])[0]
    name, number, _, _, _, value = entry  # still unpacks as before
    assert (entry.name, entry.event_number, entry.value) == (name, number, value)
    assert (name, number) == (SLOW, event_number_at(START))
    assert entry.datetime == START and entry.timestamp == START.timestamp()
    assert event.entries == [] and event.channels[0].entries == []


@pytest.mark.parametrize("arguments, named", [
    (dict(channels=5), "channels must be a str or a list of str, got int"),
    (dict(channels=[SPECTRUM, b"X"]), "channels must be a str or a list of str, got bytes in"),
    (dict(start=[1]), "start must be a datetime, seconds since 1970 or a time text, got list"),
    (dict(stop=None), "stop must be"),
    (dict(servers=7), "servers must be a str or a list of str or None, got int"),
    (dict(depth="5"), "depth must be an int, got str"),
    (dict(comm_mode=True), "comm_mode must be an int or None, got bool"),
    (dict(record_timeout="1"), "record_timeout must be a number of seconds or None, got str"),
    (dict(retries=1.0), "retries must be an int or None, got float"),
    (dict(accept_period_mismatch=1), "accept_period_mismatch must be a bool, got int"),
    (dict(server_options=[("rate_hz", 5)]), "server_options must be a dict or None, got list"),
])
def test_wrong_argument_types_raise_type_error_naming_the_argument(arguments, named):
    start, stop = window(1)
    call = dict(channels=[SPECTRUM], start=start, stop=stop, local=True)
    call.update(arguments)
    with pytest.raises(TypeError, match="^" + re.escape("fetch(): " + named)):
        daqclient.fetch(call.pop("channels"), call.pop("start"), call.pop("stop"), **call)


def test_arrays_outlive_their_record(server):
    start, stop = window(1)
    records = daqclient.fetch([IMAGE], start, stop, servers=server.entry)
    pixels = records[0][IMAGE].pixels
    expected = image_bytes(160, 120, 2, records[0].event_number)
    del records
    gc.collect()
    np.testing.assert_array_equal(pixels.view(np.uint8).ravel(), expected)


def test_stream_yields_records_and_stops_the_server_when_closed():
    start, stop = window(100)
    records = daqclient.fetch([SPECTRUM], start, stop, local=True, stream=True, depth=5)
    taken = [next(records) for _ in range(3)]
    assert [r.event_number for r in taken] == [taken[0].event_number + i for i in range(3)]
    records.close()  # stops the receiver and the embedded server


def test_stream_dropped_by_the_server_raises_with_the_status_without_retries():
    start, stop = window(5)
    with pytest.raises(daqclient.ReceiverError) as failure:
        daqclient.fetch([SPECTRUM], start, stop, local=True, retries=0,
                        server_options={"drop_after": 10})
    assert failure.value.code not in (0, -3)
    assert failure.value.text
    stream = daqclient.fetch([SPECTRUM], start, stop, local=True, stream=True, retries=0,
                             server_options={"drop_after": 10})
    with pytest.raises(daqclient.ReceiverError) as failure:
        for _ in stream:
            assert stream.end_data_status is None and not stream.ended_normally
    assert stream.end_data_status == failure.value.code and not stream.ended_normally


def test_silent_link_ends_after_record_timeout_keeping_what_arrived():
    start, stop = window(5)
    began = time.monotonic()
    with pytest.raises(daqclient.ReceiverError) as failure:
        daqclient.fetch([SPECTRUM], start, stop, local=True, record_timeout=1, retries=0,
                        server_options={"stall_after": 10, "stall_ms": 30000})
    assert time.monotonic() - began < 15
    assert failure.value.code > 0 and failure.value.text
    assert [r.event_number for r in failure.value.records] == [
        event_number_at(START) + i for i in range(10)]


def test_broken_stream_resumes_delivering_every_event_once_and_counts_it():
    start, stop = window(5)
    records = daqclient.fetch([SPECTRUM], start, stop, local=True, retries=3,
                              server_options={"drop_after": 20})
    first = event_number_at(START)
    assert [r.event_number for r in records] == list(range(first, first + 50))
    assert records.ended_normally
    counters = records.counters()
    assert counters["reconnects"] >= 2 and counters["records_delivered"] == 50
    with pytest.raises(daqclient.RequestError, match="retries must be 0 to 2147483647, got -1"):
        daqclient.fetch([SPECTRUM], start, stop, local=True, retries=-1)


def test_server_gone_for_good_ends_after_the_retries_keeping_what_arrived():
    server = daqclient.LocalServer(real_time=True)
    server.start()
    threading.Timer(1.0, server.stop).start()
    start, stop = window(600)
    with pytest.raises(daqclient.DaqError) as failure:
        daqclient.fetch([SPECTRUM], start, stop, servers=server.entry, retries=2)
    assert "2 reconnects" in str(failure.value)
    got = [r.event_number for r in failure.value.records]
    assert got and got == list(range(event_number_at(START), event_number_at(START) + len(got)))
    assert failure.value.records.counters()["reconnects"] == 2


def test_counters_while_the_stream_runs_and_after():
    start, stop = window(3)
    stream = daqclient.fetch([SPECTRUM, SLOW], start, stop, local=True, stream=True)
    taken = [next(stream) for _ in range(5)]
    running = stream.counters()
    taken += list(stream)
    after = stream.counters()
    assert set(after) == set(running) == {
        "events_received", "bytes_received", "dropped_events", "dropped_sub_blocks",
        "records_evicted", "pause_requests", "holds_sent", "resumes_sent", "paused_us",
        "max_depth", "last_event_received", "last_seconds_received", "last_micros_received",
        "records_delivered", "duplicates_skipped", "reconnects", "last_event", "last_seconds",
        "last_micros", "elapsed_s"}
    # The fetch counts a record once handed over, which may be just after Python has it.
    assert 4 <= running["records_delivered"] <= after["records_delivered"] == len(taken) == 33
    assert after["events_received"] >= 30 and after["bytes_received"] > 30 * 4096
    assert after["reconnects"] == after["duplicates_skipped"] == after["dropped_events"] == 0
    last = taken[-1]
    assert (after["last_event"], after["last_seconds"]) == (last.event_number, last.seconds)


def test_leaving_a_stream_early_stops_the_fetch_promptly():
    with daqclient.LocalServer(real_time=True) as server:
        start, stop = window(600)
        began = time.monotonic()
        for record in daqclient.fetch([SPECTRUM], start, stop, servers=server.entry, stream=True):
            break
        with daqclient.fetch([SPECTRUM], start, stop, servers=server.entry, stream=True) as stream:
            next(stream)
        # A suite run in the background inherits SIGINT ignored: bring Python's handler.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            threading.Timer(0.5, _thread.interrupt_main).start()
            with pytest.raises(KeyboardInterrupt):
                daqclient.fetch([SPECTRUM], start, stop, servers=server.entry)
        finally:
            signal.signal(signal.SIGINT, previous)
        # Every stream was released by the server, long before its 600 s.
        assert server.wait_released(3, 5000)
        assert time.monotonic() - began < 5
        assert stream.end_data_status is None and stream.counters()["records_delivered"] == 1


def test_dropped_data_raise_with_the_counts_and_the_rest_of_the_records():
    start, stop = window(5)
    with pytest.raises(daqclient.ReceiverError) as failure:
        daqclient.fetch([SPECTRUM], start, stop, local=True, server_options={"malformed_after": 5})
    assert failure.value.dropped_events + failure.value.dropped_sub_blocks >= 1
    assert "data were dropped" in failure.value.text
    assert len(failure.value.records) >= 49


def test_receiver_stopped_from_another_thread_ends_the_iteration():
    with daqclient.LocalServer(real_time=True) as server:
        connection = daqclient.Connection()
        start, stop = window(600)
        connection.set_start_time(start).set_stop_time(stop).add_channel(SPECTRUM)
        receiver = daqclient.Receiver(connection.connect(server.entry), depth=20)
        seen = []
        with receiver:
            stopper = threading.Timer(0.5, receiver.stop)
            stopper.start()
            for record in receiver:  # ends once the thread has stopped and the cache is drained
                seen.append(record)
            stopper.join()
        assert 0 < len(seen) < 6000
        assert receiver.thread_is_over


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_many_fetches_leave_no_references_or_memory_behind():
    start, stop = window(2)

    def one(server):
        records = daqclient.fetch([IMAGE, SPECTRUM, SLOW], start, stop, servers=server.entry)
        assert len(records) == 22

    # Requests are released only after their streams end, so allow many at once.
    with daqclient.LocalServer(max_requests=64) as server:
        for _ in range(3):
            one(server)
        gc.collect()
        objects, memory = len(gc.get_objects()), rss_bytes()
        for _ in range(30):
            one(server)
        gc.collect()
    # 30 fetches of 20 images (38 KB each) would leak about 23 MB.
        assert len(gc.get_objects()) - objects < 200
        assert rss_bytes() - memory < 8 * 1024 * 1024


def test_errors_cross_process_boundaries_whole():
    import pickle

    error = daqclient.ConnectError(9, "connect timeout", "BUSY")
    error.part = 3
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is daqclient.ConnectError
    assert (back.code, back.text, back.reason, back.part) == (9, "connect timeout", "BUSY", 3)
    assert str(back) == str(error)
