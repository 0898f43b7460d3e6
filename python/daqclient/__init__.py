"""Python access to the DAQ service: requests, data receivers and records.

The classes wrap the C++ objects of libtarnvik: Connection (EqDAQconnect),
Reply (the server's answer), Receiver (EqDAQdata / EqDAQdata2024) and
LocalServer (the embeddable DAQ data server). fetch() runs the whole road in
one call.
"""

import math

from ._errors import ConnectError, DaqError, ReceiverError, RequestError
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
    "Channel", "Connection", "ConnectError", "DaqError", "Image", "LocalServer",
    "Receiver", "ReceiverError", "Record", "Reply", "RequestError", "Spectrum",
    "fetch", "slow_entries", "utc_datetime",
]

# End-data statuses that mean the stream ended as it should: the server's end
# mark, or no status at all (the receiver was stopped by the application).
_NORMAL_END = (0, -3)


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


def _records(connection, servers, depth, increment, connect_timeout, record_timeout, server):
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
    stream   -- yield the records one by one instead of returning a list

    connect_timeout -- seconds the whole handshake may take (whole seconds, at
                least 1; default 180); past it ConnectError with code 9
    record_timeout -- seconds the data link may stay silent (the receiver's idle
                bound; default 60, 0: no bound); past it the stream ends

    Records come earliest first and are taken out of the receiver's cache as they
    are handed over. RequestError for a value the request cannot carry (an
    unknown facility, a time the protocol would misread), ConnectError when no
    server accepts the request, ReceiverError when the stream ends on an error
    (the data link's text of it) or data were dropped on the way; without
    stream=True the error's `records` holds every record received before it.
    """
    connection = _request(channels, start, stop, facility, experiment, comm_mode, request_type)
    server = None
    if local:
        if not HAS_LOCAL_SERVER:
            raise DaqError(-1, "this build has no embedded DAQ data server")
        server = LocalServer(**(server_options or {}))
        server.start()
        servers = server.entry
    records = _records(connection, servers, depth, increment, connect_timeout, record_timeout, server)
    if stream:
        return records
    received = []
    try:
        for record in records:
            received.append(record)
    except ReceiverError as error:
        error.records = received
        raise
    return received
