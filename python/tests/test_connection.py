"""The request builder and the handshake: reply fields, failover, refusals with
the system's codes and texts, and cancellation from another thread."""

import datetime as dt
import threading
import time

import pytest

import daqclient
from conftest import connect, window

SPECTRUM = "DIAG/TOROID/T1.SPECT"


def test_reply_fields_and_not_found_channels(server, generation):
    _, reply = connect(server, [SPECTRUM, "NO/SUCH/CHANNEL"], seconds=2)
    assert reply.host == "127.0.0.1" and reply.port > 0
    assert reply.evid64bitmode == (generation == "2024")
    assert reply.events == 20
    assert reply.not_found_channels == ["NO/SUCH/CHANNEL"]
    assert reply.reason.startswith("OK")
    assert [c[0] for c in reply.request["channels"]] == [SPECTRUM, "NO/SUCH/CHANNEL"]


def test_channel_parameters_in_both_forms():
    c = daqclient.Connection()
    c.add_channel("A@10@2@3@7").add_channel("B", 100, 5).add_channel("C", 1.5, 0.25, 0.5, 2)
    a, b, cc = c.request["channels"]
    assert a[:5] == ("A", 10, 3, 2, 7)  # name, start, inc, length, func
    assert b[:4] == ("B", 5, -1, 100)
    assert cc[0] == "C" and cc[4:] == (2, 0.25, 0.5, 1.5)


def test_refused_values_raise_request_errors():
    c = daqclient.Connection()
    with pytest.raises(daqclient.RequestError) as failure:
        c.add_channel("")
    assert failure.value.code == -1
    with pytest.raises(daqclient.RequestError):
        c.add_channel("X", start=3)
    with pytest.raises(ValueError):
        c.set_start_time("x" * 100)


def test_unknown_channels_raise_with_the_server_reason(server):
    with pytest.raises(daqclient.ConnectError) as failure:
        connect(server, ["NO/SUCH/CHANNEL"])
    assert failure.value.code == 4
    assert failure.value.text == "Cannot proceed with the request due to BAD reply"
    assert "none of the requested channels is known" in failure.value.reason


def test_validation_failure_carries_its_code():
    c = daqclient.Connection()
    start, stop = window(1)
    c.set_start_time(stop).set_stop_time(start).add_channel(SPECTRUM)
    with pytest.raises(daqclient.ConnectError) as failure:
        c.connect("NOWHERE.DAQ/NONE/DAQ.DATA.SVR/")
    assert failure.value.code == -10


def test_failover_passes_a_busy_server():
    with daqclient.LocalServer(busy_times=100) as busy, daqclient.LocalServer() as good:
        c = daqclient.Connection()
        start, stop = window(1)
        c.set_start_time(start).set_stop_time(stop).add_channel(SPECTRUM)
        reply = c.connect([busy.entry, good.entry])
        assert reply.port > 0
        assert good.requests_accepted == 1 and busy.requests_accepted == 0


def test_cancel_from_another_thread_ends_connect():
    with daqclient.LocalServer(prepare_ms=60000) as slow:
        c = daqclient.Connection()
        start, stop = window(1)
        c.set_start_time(start).set_stop_time(stop).add_channel(SPECTRUM)
        threading.Timer(0.3, c.cancel).start()
        began = time.monotonic()
        with pytest.raises(daqclient.ConnectError) as failure:
            c.connect(slow.entry)
        assert failure.value.code == 14 and failure.value.text == "Connection canceled"
        assert time.monotonic() - began < 10
        assert c.cancelled


def test_server_gone_from_the_name_table_fails_at_once():
    with daqclient.LocalServer() as s:
        entry = s.entry
    c = daqclient.Connection()
    start, stop = window(1)
    c.set_start_time(start).set_stop_time(stop).add_channel(SPECTRUM).set_connect_timeout(20)
    assert c.connect_timeout == 20
    with pytest.raises(daqclient.RequestError):
        c.set_connect_timeout(0)
    began = time.monotonic()
    with pytest.raises(daqclient.ConnectError) as failure:
        c.connect(entry)
    assert failure.value.code == 1
    assert failure.value.text.startswith("Failed to send request")
    assert time.monotonic() - began < 5


def test_fetch_connect_timeout_bounds_a_server_stuck_in_processing():
    start, stop = window(1)
    began = time.monotonic()
    with pytest.raises(daqclient.ConnectError) as failure:
        daqclient.fetch([SPECTRUM], start, stop, local=True, connect_timeout=0.5,
                        server_options={"processing_times": 100000})
    assert failure.value.code == 9
    assert time.monotonic() - began < 5


def test_unknown_facility_is_refused_before_anything_is_sent():
    assert daqclient.Connection.known_facility("NOVIK")
    assert not daqclient.Connection.known_facility("novik")
    with pytest.raises(daqclient.RequestError) as failure:
        daqclient.Connection("novik")
    assert "unknown facility 'novik'" in str(failure.value)
    start, stop = window(1)
    with pytest.raises(daqclient.RequestError):
        daqclient.fetch([SPECTRUM], start, stop, facility="MOON")


def test_keyboard_interrupt_cancels_connect_and_clears_the_flag():
    import _thread
    import signal

    # A suite run in the background inherits SIGINT ignored, and an ignored
    # signal raises nothing: the test brings Python's own handler.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with daqclient.LocalServer(prepare_ms=60000) as slow:
            c = daqclient.Connection()
            start, stop = window(1)
            c.set_start_time(start).set_stop_time(stop).add_channel(SPECTRUM)
            threading.Timer(0.3, _thread.interrupt_main).start()
            with pytest.raises(KeyboardInterrupt):
                c.connect(slow.entry)
            assert not c.cancelled
    finally:
        signal.signal(signal.SIGINT, previous)


def test_times_are_written_in_the_request_zone(monkeypatch):
    from daqclient import _times

    moment = window(0)[0]
    monkeypatch.setenv("ORXA_EXP_TIMEZONE", "UTC")
    assert _times.request_time_text(moment) == "2025-03-01T09:00:00"
    assert _times.request_time_text(moment.timestamp()) == "2025-03-01T09:00:00"
    monkeypatch.setenv("ORXA_EXP_TIMEZONE", "CET")
    assert _times.request_time_text(moment.replace(tzinfo=None)) == "2025-03-01T10:00:00"
    c = daqclient.Connection().set_start_time("2025-03-01T09:00:00Z").set_stop_time("2025-3-1T10:0:5")
    assert (c.request["t_start"], c.request["t_stop"]) == ("2025-03-01T10:00:00", "2025-3-1T10:0:5")


@pytest.mark.parametrize("seconds, spellings", [
    (1736942400, ["2025-01-15T12:00:00Z", "2025-01-15T07:00:00-05:00", "2025-01-15T13:00:00"]),
    (1752580800, ["2025-07-15T12:00:00z", "2025-07-15T17:30:00+0530", "2025-07-15T14:00:00"]),
    # Across the spring change, and the repeated autumn hour (a local text: its first occurrence).
    (1743296400, ["2025-03-30T01:00:00Z", "2025-03-30T03:00:00+02", "2025-03-30T03:00:00"]),
    (1761438600, ["2025-10-26T00:30:00Z", "2025-10-26T02:30:00+02:00", "2025-10-26T02:30:00"]),
    (1761442200, ["2025-10-26T01:30:00Z", "2025-10-26T02:30:00+01:00"])])
def test_every_spelling_of_a_time_is_the_same_instant(monkeypatch, seconds, spellings):
    from daqclient import _times

    monkeypatch.setenv("ORXA_EXP_TIMEZONE", "Europe/Berlin")
    moment = dt.datetime.fromtimestamp(seconds, dt.timezone.utc)
    for value in spellings + [seconds, float(seconds), moment, moment.replace(tzinfo=None)]:
        assert _times.request_instant(value, "start") == seconds, value
    # Texts with a zone are rewritten in the experiment's zone, as the C++ library writes them.
    assert _times.checked_time_text(spellings[1]) == _times.request_time_text(seconds)


def test_unknown_zone_is_an_error_not_utc(monkeypatch):
    from daqclient import _times

    monkeypatch.setenv("ORXA_EXP_TIMEZONE", "Europe/Berln")
    with pytest.raises(daqclient.RequestError, match="Europe/Berln") as failure:
        _times.request_instant("2025-01-15T13:00:00", "stop")
    assert failure.value.code == -8
    assert _times.request_instant("2025-01-15T12:00:00Z") == 1736942400
    monkeypatch.setenv("ORXA_EXP_TIMEZONE", "CET-1CEST,M3.5.0,M10.5.0/3")  # a TZ rule
    assert _times.request_instant("2025-07-15T14:00:00") == 1752580800


@pytest.mark.parametrize("value", [
    "2025-13-01T00:00:00", "2025-02-29T00:00:00", "2024-02-31T00:00:00", "2025-01-01T25:61:61",
    "2025-01-01T10:00:00junk", "2025-01-01 10:00:00", "2038-01-19T03:14:08Z", 2**31, -5,
    dt.datetime(2038, 1, 19, 3, 14, 8, tzinfo=dt.timezone.utc)])
def test_times_the_protocol_would_misread_are_refused(value):
    c = daqclient.Connection()
    with pytest.raises(daqclient.RequestError) as failure:
        c.set_stop_time(value)
    assert failure.value.code == -8
    assert c.request["t_stop"] == ""


def test_channel_list_request_gives_descriptions_and_no_stream(server):
    c, reply = connect(server, [SPECTRUM, "CAMERA/SCREEN/IMAGE"], set_request_type=2)
    assert reply.port == 0
    described = {d["daq_name"]: d for d in c.channel_descriptions}
    assert set(described) == {SPECTRUM, "CAMERA/SCREEN/IMAGE"}
    assert described[SPECTRUM]["units"] == "mA" and described[SPECTRUM]["dtype"] == 4
    assert described[SPECTRUM]["prop_desc"] == "toroid current"
