"""Monitor queries on a receiver that has taken a whole short stream: first,
last, this, next and previous by event number and by time, one channel or all,
seen marks and removal, and the status and end-of-data texts."""

import pytest

import daqclient
from conftest import START, connect, event_number_at

SPECTRUM = "DIAG/TOROID/T1.SPECT"
IMAGE = "CAMERA/SCREEN/IMAGE"


@pytest.fixture
def filled(server):
    """A receiver whose thread has run to the end of a one-second stream."""
    _, reply = connect(server, [SPECTRUM, IMAGE], seconds=1)
    receiver = daqclient.Receiver(reply, depth=100)
    receiver.start(block=True)
    yield receiver
    receiver.stop()


def test_generation_follows_the_reply(filled, generation):
    assert filled.generation == generation


def test_end_of_stream_status_and_text(filled):
    assert filled.thread_is_over and filled.done
    assert filled.end_data_status == -3 and filled.ended_normally
    assert filled.end_data_status_text == "Time period out of one in the processed file (End of data)"
    bits, count = filled.status()
    assert count == 10
    assert bits == daqclient._daqclient.MON_DATA | daqclient._daqclient.MON_NO_THREAD | daqclient._daqclient.MON_DONE


def test_bounds_by_time_and_event(filled):
    first = event_number_at(START)
    assert filled.first_event() == first and filled.last_event() == first + 9
    assert filled.first_time() == (int(START.timestamp()), 0)
    assert filled.last_time() == (int(START.timestamp()), 900000)


def test_directions_by_event_number_and_time(filled):
    first = event_number_at(START)
    assert filled.first(by="event").event_number == first
    assert filled.last(by="time").event_number == first + 9
    assert filled.this(event=first + 4).event_number == first + 4
    assert filled.next(event=first + 4).event_number == first + 5
    assert filled.previous(event=first + 4).event_number == first + 3
    t = int(START.timestamp())
    # "this" by time takes the first record in cache order within 101 ms.
    assert filled.this(time=(t, 300000)).event_number == first + 2
    assert filled.next(time=t + 0.3).event_number == first + 4
    assert filled.previous(time=(t, 300000)).event_number == first + 2
    assert filled.this(event=first + 1000) is None
    assert filled.last_result & daqclient._daqclient.MON_NOT_FOUND


def test_one_channel_or_all(filled):
    first = event_number_at(START)
    one = filled.this(event=first + 2, channel=IMAGE)
    assert one.names() == [IMAGE] and one[IMAGE].pixels.shape == (120, 160)
    assert filled.this(event=first + 2).names() == [SPECTRUM, IMAGE]
    assert filled.this(event=first + 2, channel="NO/SUCH") is None
    with pytest.raises(daqclient.RequestError):
        filled.this(event=first + 2, channel="X" * 300)


def test_unseen_queries_deliver_each_record_once(filled):
    got = []
    while (r := filled.first(by="event", unseen=True)) is not None:
        got.append(r.event_number)
    first = event_number_at(START)
    assert got == list(range(first, first + 10))
    assert filled.entries == 10  # seen marks keep the records
    assert filled.last_result & daqclient._daqclient.MON_NO_MORE


def test_removal_and_take_drain_the_cache(filled):
    first = event_number_at(START)
    assert filled.last(by="event", remove=True).event_number == first + 9
    assert filled.entries == 9
    taken = [filled.take(timeout=1).event_number for _ in range(9)]
    assert taken == list(range(first, first + 9))
    assert filled.take(timeout=1) is None
    assert filled.first() is None


def test_raw_query_mirrors_get_monitor(filled):
    m = daqclient._daqclient
    bits, record = filled.query(m.GET_FIRST)  # no order bit: finds nothing
    assert record is None and bits & m.MON_NOT_FOUND
    bits, record = filled.query(m.GET_FIRST | m.FIND_TIME, remove=True)
    assert record.event_number == event_number_at(START) and bits & m.MON_DATA
    with pytest.raises(daqclient.RequestError):
        filled.query(m.GET_NEXT)
