"""Python access to the DAQ service: requests, data receivers and records.

The classes wrap the C++ objects of libtarnvik: Connection (EqDAQconnect),
Reply (the server's answer), Receiver (EqDAQdata / EqDAQdata2024) and
LocalServer (the embeddable DAQ data server). fetch() runs the whole road in
one call, through the library's fetch (Fetch).

What a fetch hands out:
  Record      -- event_number, seconds, microseconds, timestamp, datetime (UTC),
                 channels (a list of Channel), slow; record[name] / record[i] give
                 a channel's value; entries: the values of a slow-data record
  Channel     -- name, dtype, devtype, value, seconds, microseconds, datetime,
                 event_number, slow; entries: the values of a slow-data block;
                 requested: the requested channel the value answers
  SlowEntry   -- one slow-data value: name, event_number, seconds, microseconds,
                 status, value, timestamp, datetime (a named tuple)
  NameValue   -- one item of a name/value or update channel: number, value,
                 status, time, name (a named tuple)
  Spectrum, Image -- spectra and images with their arrays and headers

For analysis (pandas, xarray and h5py are imported only when used; see
docs/python-analysis.md):
  fetch(..., as_frame=True), Records.to_pandas(), to_frames(records)
              -- Frames: a dict of channel name -> pandas DataFrame (numbers,
                 texts, name/value items, slow channels; index "time", UTC) or
                 xarray DataArray (spectra: time x [spectrum x] [group x] index;
                 images: time x y x x), with the fetch's counters
  fetch_hdf5(path, channels, start, stop, ..., compress=0)
              -- the same fetch written into an HDF5 file as it arrives (the
                 records never become Python objects); returns the counters
  read_hdf5(path) -- such a file (also one still being written) as Frames
"""

import datetime as _dt
import math
import numbers
import os

from ._errors import ConnectError, DaqError, ReceiverError, RequestError
from ._frames import Frames, to_frames
from ._hdf5 import read_hdf5
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
    "Channel", "Connection", "ConnectError", "DaqError", "Frames", "Image", "LocalServer",
    "NameValue", "Receiver", "ReceiverError", "Record", "RecordStream", "Records", "Reply",
    "RequestError", "SlowEntry", "Spectrum", "fetch", "fetch_hdf5", "read_hdf5", "slow_entries",
    "to_frames", "utc_datetime",
]

# End-data statuses that mean the stream ended as it should: the server's end
# mark, or no status at all (the receiver was stopped by the application).
_NORMAL_END = (0, -3)


class _Ending:
    """How a fetch's stream ended: the receiver's end-data status and its text
    (both None until the stream is over), and ended_normally, True only when
    the stream ended as it should (the status text of the server's end mark,
    "... (End of data)", reads like a failure but is not one); and counters(),
    what the fetch has done so far."""

    end_data_status = None
    end_data_status_text = None
    _run = None  # the _daqclient.Fetch, set by fetch()

    @property
    def ended_normally(self):
        return self.end_data_status in _NORMAL_END

    def counters(self):
        """A dict of what the fetch has done so far, readable while it runs and
        after: the receivers' events_received, bytes_received, dropped_events,
        dropped_sub_blocks, records_evicted, pause_requests, holds_sent,
        resumes_sent, paused_us, max_depth and last_event_received,
        last_seconds_received, last_micros_received (summed over every stream
        the fetch opened), and the fetch's records_delivered,
        duplicates_skipped, reconnects, last_event, last_seconds, last_micros
        (of the last record delivered) and elapsed_s."""
        return self._run.counters()


class Records(list, _Ending):
    """The records of fetch(), earliest first, with how the stream ended."""

    def to_pandas(self):
        """The records as Frames (one DataFrame or DataArray per channel), with
        the fetch's counters."""
        return to_frames(self, self.counters() if self._run is not None else None)


class RecordStream(_Ending):
    """The records of fetch(..., stream=True), one by one; how the stream ended
    is known once the iteration is over. close(), the end of a `with` block or
    the stream's last reference going stops the fetch (and a local server)
    early; a `for` loop over fetch(...) itself stops it when left by break."""

    def __init__(self, run, server):
        self._run = run
        self._server = server
        self._over = False

    def __iter__(self):
        return self

    def __next__(self):
        if self._over:
            raise StopIteration
        try:
            record = self._run.next()
        except BaseException:
            self.close()
            raise
        if record is not None:
            return record
        self.close()
        run = self._run
        if run.result != _daqclient.FETCH_STOPPED:
            self.end_data_status = run.end_data_status
            self.end_data_status_text = run.end_data_status_text
        if run.result not in (_daqclient.FETCH_OK, _daqclient.FETCH_STOPPED):
            raise _failure(run)
        raise StopIteration

    def close(self):
        if self._over:
            return
        self._over = True
        self._run.stop()
        if self._server is not None:
            self._server.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    def __del__(self):
        self.close()


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


def _check_values(connect_timeout, record_timeout, retries, accept_period_mismatch):
    if not isinstance(accept_period_mismatch, bool):
        _refuse_type("accept_period_mismatch", "a bool", accept_period_mismatch)
    if retries is not None and not (isinstance(retries, numbers.Integral) and _is_number(retries)):
        _refuse_type("retries", "an int or None", retries)
    if retries is not None and not 0 <= retries <= _LONGEST_S:
        raise RequestError(-1, f"fetch(): retries must be 0 to {_LONGEST_S}, got {retries}")
    if connect_timeout is not None and not 1 <= math.ceil(connect_timeout) <= _LONGEST_S:
        raise RequestError(-1, f"fetch(): connect_timeout must be above 0 and at most "
                               f"{_LONGEST_S} seconds, got {connect_timeout}")
    if record_timeout is not None and not 0 <= record_timeout <= 2000000:
        raise RequestError(-1, "idle timeout must be 0 (no bound) to 2000000 seconds")


# The largest count the fetch takes: retries, seconds of the handshake budget.
_LONGEST_S = 2**31 - 1

# The communication modes of the request, as the fetch names them.
_COMM_MODES = {None: False, 1: False, 2: True}


def _fetch_request(channels, start, stop, facility, experiment, comm_mode, request_type, depth,
                   increment, connect_timeout, record_timeout, retries, accept_period_mismatch):
    """The keywords of a _daqclient.Fetch but its servers; refuses what it cannot ask."""
    if comm_mode not in _COMM_MODES:
        raise RequestError(-1, f"set_comm_mode rejected the value {comm_mode} (1: push, "
                               f"2: handshake)")
    if request_type == 2:
        raise RequestError(-1, "fetch(): request_type 2 asks for the channel list, no data; "
                               "send it with Connection")
    return dict(
        channels=[channels] if isinstance(channels, str) else list(channels),
        start_sec=_times.request_instant(start, "start"),
        stop_sec=_times.request_instant(stop, "stop"),
        facility=facility or "", experiment=experiment or "", handshake=_COMM_MODES[comm_mode],
        depth=depth, increment=increment,
        connect_timeout_s=0 if connect_timeout is None else math.ceil(connect_timeout),
        idle_timeout_ms=-1 if record_timeout is None else int(record_timeout * 1000 + 0.5),
        retries=_daqclient.FETCH_DEFAULT_RETRIES if retries is None else retries,
        request_type=request_type or 0, accept_period_mismatch=accept_period_mismatch)


def _failure(run):
    """The exception for a fetch that ended without its end mark or with drops."""
    result, line = run.result, run.error
    code = run.connect_code
    if result == _daqclient.FETCH_HANDSHAKE_FAILED or (
            result == _daqclient.FETCH_BAD_REQUEST and code != 0):
        # The connection's text of the code, then the server's reason after it.
        text = Connection().error_text(code)
        if text == "Unknown" or not line.startswith(text):
            text = line.removesuffix(f" (code {code})")
        reason = line[len(text) + 2:] if line.startswith(text + ": ") else ""
        return ConnectError(code, text, reason)
    if result == _daqclient.FETCH_BAD_REQUEST:
        return RequestError(-1, line)
    if result in (_daqclient.FETCH_NO_STREAM, _daqclient.FETCH_LINK_FAILED):
        return ReceiverError(1, line)
    error = ReceiverError(run.end_data_status, line)
    if result == _daqclient.FETCH_DROPPED:
        error.dropped_events, error.dropped_sub_blocks = run.dropped_events, run.dropped_sub_blocks
    return error


def _open_fetch(channels, start, stop, servers, local, facility, experiment, comm_mode,
                request_type, depth, increment, connect_timeout, record_timeout, server_options,
                retries, accept_period_mismatch):
    """A _daqclient.Fetch not yet started, and the local server it fetches from (or None)."""
    _check_arguments(channels, start, stop, servers, facility, experiment, comm_mode,
                     request_type, depth, increment, connect_timeout, record_timeout,
                     server_options)
    _check_values(connect_timeout, record_timeout, retries, accept_period_mismatch)
    if local and not HAS_LOCAL_SERVER:
        raise DaqError(-1, "this build has no embedded DAQ data server")
    request = _fetch_request(channels, start, stop, facility, experiment, comm_mode, request_type,
                             depth, increment, connect_timeout, record_timeout, retries,
                             accept_period_mismatch)
    server = None
    if local:
        server = LocalServer(**(server_options or {}))
        server.start()
        servers = server.entry
    try:
        return _daqclient.Fetch(servers=servers, **request), server
    except BaseException:
        if server is not None:
            server.stop()
        raise


def fetch(channels, start, stop, servers=None, local=False, *, stream=False, facility=None,
          experiment=None, comm_mode=None, request_type=None, depth=0, increment=0,
          connect_timeout=None, record_timeout=None, server_options=None, retries=None,
          accept_period_mismatch=False, as_frame=False):
    """Fetches the records of `channels` between `start` and `stop`.

    channels -- a channel name or a list of them; "NAME@p1@p2@p3@p4" carries
                sampling parameters
    start, stop -- datetime (naive means UTC), seconds since 1970, or a time text
                year-month-dayThour:minute:second with Z or +hh:mm / -hh:mm, or
                without either in the experiment's zone (ORXA_EXP_TIMEZONE,
                default CET; an unknown zone is a RequestError)
    servers  -- a server entry "FACILITY/DEVICE/LOCATION/" or a list of them
                (tried in order); None: the facility's list or ORXA_DAQ_SERVERS
    local    -- start the embedded DAQ data server and fetch from it
                (server_options: its keyword options)
    stream   -- hand the records out one by one (a RecordStream) instead of
                returning them all (a Records list)
    as_frame -- return the records as Frames, one DataFrame or DataArray per
                channel (the same as fetch(...).to_pandas()); not with stream

    connect_timeout -- seconds the whole handshake may take (whole seconds, at
                least 1; default 180); past it ConnectError with code 9
    record_timeout -- seconds the data link may stay silent (the receiver's idle
                bound; default 60, 0: no bound); past it the stream breaks
    retries  -- how often in a row a broken stream (link lost, silent past
                record_timeout, ended without the end mark) is asked again from
                the last delivered record without a record coming (None: the
                fetch's default, FETCH_DEFAULT_RETRIES; 0: never). Records
                already delivered are never delivered again.
    accept_period_mismatch -- take the period the server's reply reports when
                it reaches outside the one asked (a server reading the times in
                another zone) instead of failing, and every record it sends

    Records come earliest first and are taken out of the receiver's cache as they
    are handed over (fields: see the package's docstring); the fetch runs on a
    thread of its own, without the GIL. The result tells how the stream ended:
    end_data_status, end_data_status_text (the system's text) and ended_normally
    (True when it ended with the server's end mark); counters() gives what the
    fetch has done (a dict; also while a stream runs). Leaving a stream early
    (close(), a break out of the loop, Ctrl-C) stops the fetch.
    TypeError for an argument of the wrong type, naming it; RequestError for a
    value the request cannot carry (an unknown facility, a time the protocol
    would misread, retries below 0), ConnectError when no server accepts the
    request, ReceiverError when the stream ends on an error after its retries
    (the fetch's line of it) or data were dropped on the way; without
    stream=True the error's `records` holds every record received before it
    (also when a resume's handshake failed).
    """
    if as_frame and stream:
        raise TypeError("fetch(): as_frame=True returns every record at once; it takes no "
                        "stream=True")
    run, server = _open_fetch(channels, start, stop, servers, local, facility, experiment,
                              comm_mode, request_type, depth, increment, connect_timeout,
                              record_timeout, server_options, retries, accept_period_mismatch)
    records = RecordStream(run, server)
    if stream:
        return records
    result = Records()
    result._run = run
    try:
        for record in records:
            result.append(record)
    except DaqError as error:  # a resume's handshake may fail too
        error.records = result
        raise
    finally:
        result.end_data_status = records.end_data_status
        result.end_data_status_text = records.end_data_status_text
    return result.to_pandas() if as_frame else result


def fetch_hdf5(path, channels, start, stop, servers=None, local=False, *, compress=0,
               facility=None, experiment=None, comm_mode=None, request_type=None, depth=0,
               increment=0, connect_timeout=None, record_timeout=None, server_options=None,
               retries=None, accept_period_mismatch=False):
    """Fetches as fetch() does, the records written into the HDF5 file `path`
    (created or truncated; layout: docs/hdf5-layout.md) while they arrive,
    never becoming Python objects. compress: gzip level 1..9, 0 none.

    Returns the fetch's counters() dict. Raises what fetch() raises, after the
    file was closed with everything received (and the fetch's result and error
    as attributes), and DaqError when the file cannot be written. Ctrl-C stops
    the fetch and leaves a closed file. read_hdf5(path) reads it back.
    """
    if not (isinstance(compress, numbers.Integral) and _is_number(compress)):
        raise TypeError(f"fetch_hdf5(): compress must be an int, got {_type_name(compress)}")
    run, server = _open_fetch(channels, start, stop, servers, local, facility, experiment,
                              comm_mode, request_type, depth, increment, connect_timeout,
                              record_timeout, server_options, retries, accept_period_mismatch)
    try:
        failure = _daqclient.fetch_hdf5(run, os.fspath(path), compress)
    finally:
        run.stop()
        if server is not None:
            server.stop()
    if failure:
        raise DaqError(-1, failure)
    if run.result != _daqclient.FETCH_OK:
        raise _failure(run)
    return run.counters()
