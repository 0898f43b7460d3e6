"""Request times: the request carries its start and stop as texts that the
validation reads in the zone named by ORXA_EXP_TIMEZONE (default "CET"), so a
datetime or a number of seconds is written as such a text in that zone."""

import datetime as _dt
import os

try:
    import zoneinfo as _zoneinfo
except ImportError:  # pragma: no cover - Python before 3.9
    _zoneinfo = None


def _request_zone():
    name = os.environ.get("ORXA_EXP_TIMEZONE") or "CET"
    if _zoneinfo is not None:
        try:
            return _zoneinfo.ZoneInfo(name)
        except (_zoneinfo.ZoneInfoNotFoundError, ValueError):
            pass
    # The C library reads a zone it cannot find as UTC; so do we.
    return _dt.timezone.utc


def request_time_text(value):
    """A datetime (naive means UTC) or seconds since 1970 as the request's time text."""
    if isinstance(value, _dt.datetime):
        moment = value if value.tzinfo is not None else value.replace(tzinfo=_dt.timezone.utc)
    else:
        moment = _dt.datetime.fromtimestamp(float(value), _dt.timezone.utc)
    local = moment.astimezone(_request_zone())
    return local.strftime("%Y-%m-%dT%H:%M:%S")
