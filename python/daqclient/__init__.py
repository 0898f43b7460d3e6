"""Python access to the DAQ service: requests, data receivers and records.

The classes wrap the C++ objects of libtarnvik: Connection (EqDAQconnect),
Reply (the server's answer), Receiver (EqDAQdata / EqDAQdata2024) and
LocalServer (the embeddable DAQ data server). fetch() runs the whole road in
one call.

What a fetch hands out:
  Record      -- event_number, seconds, microseconds, timestamp, datetime (UTC),
                 channels (a list of Channel), slow; record[name] / record[i] give
                 a channel's value; entries: the values of a slow-data record
  Channel     -- name, dtype, devtype, value, seconds, microseconds, datetime,
                 event_number, slow; entries: the values of a slow-data block
  SlowEntry   -- one slow-data value: name, event_number, seconds, microseconds,
                 status, value, timestamp, datetime (a named tuple)
  NameValue   -- one item of a name/value or update channel: number, value,
                 status, time, name (a named tuple)
  Spectrum, Image -- spectra and images with their arrays and headers
"""

import datetime as _dt
import math
import numbers

from ._errors import ConnectError, DaqError, ReceiverError, RequestError
from ._records import NameValue, SlowEntry
from ._daqclient import (
    HAS_LOCAL_SERVER,
    Channel,
    Connection,
    Image,
    Record,
    Receiver,
    Reply,
    Spectrum,
    slow_entries,
    utc_datetime,
)
from . import _daqclient, _times

if HAS_LOCAL_SERVER:
    from ._daqclient import LocalServer

__all__ = [
    "Channel", "Connection", "ConnectError", "DaqError", "Image", "LocalServer", "NameValue",
    "Receiver", "ReceiverError", "Record", "RecordStream", "Records", "Reply", "RequestError",
    "SlowEntry", "Spectrum", "fetch", "slow_entries", "utc_datetime",
]

# End-data statuses that mean the stream ended as it should: the server's end
# mark, or no status at all (the receiver was stopped by the application).
_NORMAL_END = (0, -3)


class _Ending:
    """How a fetch's stream ended: the receiver's end-data status and its text
    (both None until the stream is over), and ended_normally, True only when
    the stream ended as it should (the status text of the server's end mark,
    "... (End of data)", reads like a failure but is not one)."""

    end_data_status = None
    end_data_status_text = None

    @property
    def ended_normally(self):
        return self.end_data_status in _NORMAL_END


class Records(list, _Ending):
    """The records of fetch(), earliest first, with how the stream ended."""


class RecordStream(_Ending):
    """The records of fetch(..., stream=True), one by one; how the stream ended
    is known once the iteration is over. close() stops the receiver (and a local
    server) early."""

    _records = None  # the generator, set by fetch()

    def __iter__(self):
        return self

    def __next__(self):
        return next(self._records)

    def close(self):
        self._records.close()


def _type_name(value):
    return type(value).__name__


def _refuse_type(name, wanted, value):
    raise TypeError(f"fetch(): {name} must be {wanted}, got {_type_name(value)}")


def _is_number(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _check_names(name, value, optional):
    wanted = "a str or a list of str" + (" or None" if optional else "")
    if value is None and optional or isinstance(value, str):
        return
    if not isinstance(value, (list, tuple)):
        _refuse_type(name, wanted, value)
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"fetch(): {name} must be {wanted}, got {_type_name(item)} in the list")


def _check_arguments(channels, start, stop, servers, facility, experiment, comm_mode,
                     request_type, depth, increment, connect_timeout, record_timeout,
                     server_options):
    # Checked here so that a wrong type names the argument instead of surfacing as
    # the extension's cast error.
    _check_names("channels", channels, False)
    for name, value in (("start", start), ("stop", stop)):
        if not (isinstance(value, (str, _dt.datetime)) or _is_number(value)):
            _refuse_type(name, "a datetime, seconds since 1970 or a time text", value)
    _check_names("servers", servers, True)
    for name, value in (("facility", facility), ("experiment", experiment)):
        if value is not None and not isinstance(value, str):
            _refuse_type(name, "a str or None", value)
    for name, value in (("comm_mode", comm_mode), ("request_type", request_type)):
        if value is not None and not (isinstance(value, numbers.Integral) and _is_number(value)):
            _refuse_type(name, "an int or None", value)
    for name, value in (("depth", depth), ("increment", increment)):
        if not (isinstance(value, numbers.Integral) and _is_number(value)):
            _refuse_type(name, "an int", value)
    for name, value in (("connect_timeout", connect_timeout), ("record_timeout", record_timeout)):
        if value is not None and not _is_number(value):
            _refuse_type(name, "a number of seconds or None", value)
    if server_options is not None and not isinstance(server_options, dict):
        _refuse_type("server_options", "a dict or None", server_options)


def _request(channels, start, stop, facility, experiment, comm_mode, request_type):
    if isinstance(channels, str):
        channels = [channels]
    connection = Connection(facility)
    connection.set_start_time(start)
    connection.set_stop_time(stop)
    if experiment is not None:
        connection.set_experiment(experiment)
    if comm_mode is not None:
        connection.set_comm_mode(comm_mode)
    if request_type is not None:
        connection.set_request_type(request_type)
    for name in channels:
        connection.add_channel(name)
    return connection


def _connect(connection, servers, connect_timeout):
    if connect_timeout is not None:
        # The connection bounds itself in whole seconds, every server and retry included.
        connection.set_connect_timeout(math.ceil(connect_timeout))
    return connection.connect(servers)


def _records(connection, servers, depth, increment, connect_timeout, record_timeout, server,
             ending):
    try:
        reply = _connect(connection, servers, connect_timeout)
        receiver = Receiver(reply, depth, increment)
        if record_timeout is not None:
            receiver.set_idle_timeout(record_timeout)
        with receiver:
            while True:
                record = receiver.take()
                if record is None:
                    break
                yield record
            status = receiver.end_data_status
            ending.end_data_status = status
            ending.end_data_status_text = receiver.end_data_status_text
            if status not in _NORMAL_END:
                raise ReceiverError(status, receiver.link_failure_text)
            events, blocks = receiver.dropped_events, receiver.dropped_sub_blocks
            if events or blocks:
                error = ReceiverError(
                    status, f"data were dropped: {events} events and {blocks} channel sub-blocks")
                error.dropped_events, error.dropped_sub_blocks = events, blocks
                raise error
    finally:
        if server is not None:
            server.stop()


def fetch(channels, start, stop, servers=None, local=False, *, stream=False, facility=None,
          experiment=None, comm_mode=None, request_type=None, depth=0, increment=0,
          connect_timeout=None, record_timeout=None, server_options=None):
    """Fetches the records of `channels` between `start` and `stop`.

    channels -- a channel name or a list of them; "NAME@p1@p2@p3@p4" carries
                sampling parameters
    start, stop -- datetime (naive means UTC), seconds since 1970, or a time text
                year-month-dayThour:minute:second in the zone of ORXA_EXP_TIMEZONE
    servers  -- a server entry "FACILITY/DEVICE/LOCATION/" or a list of them
                (tried in order); None: the facility's list or ORXA_DAQ_SERVERS
    local    -- start the embedded DAQ data server and fetch from it
                (server_options: its keyword options)
    stream   -- hand the records out one by one (a RecordStream) instead of
                returning them all (a Records list)

    connect_timeout -- seconds the whole handshake may take (whole seconds, at
                least 1; default 180); past it ConnectError with code 9
    record_timeout -- seconds the data link may stay silent (the receiver's idle
                bound; default 60, 0: no bound); past it the stream ends

    Records come earliest first and are taken out of the receiver's cache as they
    are handed over (fields: see the package's docstring). The result tells how
    the stream ended: end_data_status, end_data_status_text (the system's text)
    and ended_normally (True when it ended with the server's end mark).
    TypeError for an argument of the wrong type, naming it; RequestError for a
    value the request cannot carry (an unknown facility, a time the protocol
    would misread), ConnectError when no
    server accepts the request, ReceiverError when the stream ends on an error
    (the data link's text of it) or data were dropped on the way; without
    stream=True the error's `records` holds every record received before it.
    """
    _check_arguments(channels, start, stop, servers, facility, experiment, comm_mode,
                     request_type, depth, increment, connect_timeout, record_timeout,
                     server_options)
    connection = _request(channels, start, stop, facility, experiment, comm_mode, request_type)
    server = None
    if local:
        if not HAS_LOCAL_SERVER:
            raise DaqError(-1, "this build has no embedded DAQ data server")
        server = LocalServer(**(server_options or {}))
        server.start()
        servers = server.entry
    road = (connection, servers, depth, increment, connect_timeout, record_timeout, server)
    if stream:
        result = RecordStream()
        result._records = _records(*road, result)
        return result
    result = Records()
    try:
        for record in _records(*road, result):
            result.append(record)
    except ReceiverError as error:
        error.records = result
        raise
    return result
