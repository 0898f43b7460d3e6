"""Request times: the request carries its start and stop as texts that the
validation reads in the zone named by ORXA_EXP_TIMEZONE (default "CET"), so a
datetime or a number of seconds is written as such a text in that zone.

The protocol normalises fields out of range (month 13 becomes January of the
next year) and carries seconds as a signed 32-bit number, so texts and instants
it would misread are refused here, before anything is sent."""

import calendar
import datetime as _dt
import os
import re

from ._errors import RequestError

try:
    import zoneinfo as _zoneinfo
except ImportError:  # pragma: no cover - Python before 3.9
    _zoneinfo = None

# The last second the protocol can carry: 2038-01-19T03:14:07Z.
LAST_SECOND = 2**31 - 1

_TEXT = re.compile(r"(\d{1,9})-(\d{1,9})-(\d{1,9})T(\d{1,9}):(\d{1,9}):(\d{1,9})([Zz]?)", re.ASCII)


def _request_zone():
    name = os.environ.get("ORXA_EXP_TIMEZONE") or "CET"
    if _zoneinfo is not None:
        try:
            return _zoneinfo.ZoneInfo(name)
        except (_zoneinfo.ZoneInfoNotFoundError, ValueError):
            pass
    # The C library reads a zone it cannot find as UTC; so do we.
    return _dt.timezone.utc


def _refuse(what, value, why):
    # The validation's codes for an unreadable start (-7) and stop (-8).
    raise RequestError(-8 if what == "stop" else -7, f"{what} {value!r}: {why}")


def _check_instant(what, value, seconds):
    if seconds > LAST_SECOND:
        _refuse(what, value, "after 2038-01-19T03:14:07Z, beyond the protocol's 32-bit seconds")
    if not seconds >= 1:  # NaN too
        _refuse(what, value, "before 1970-01-01T00:00:01Z")


def request_time_text(value, what="time"):
    """A datetime (naive means UTC) or seconds since 1970 as the request's time text."""
    if isinstance(value, _dt.datetime):
        moment = value if value.tzinfo is not None else value.replace(tzinfo=_dt.timezone.utc)
    else:
        seconds = float(value)
        _check_instant(what, value, seconds)
        moment = _dt.datetime.fromtimestamp(seconds, _dt.timezone.utc)
    _check_instant(what, value, moment.timestamp())
    local = moment.astimezone(_request_zone())
    return local.strftime("%Y-%m-%dT%H:%M:%S")


def checked_time_text(text, what="time"):
    """A time text as the request carries it: year-month-dayThour:minute:second in
    the request zone, or with a trailing Z in UTC (rewritten in the request zone).
    RequestError for any other text, a date or time that does not exist, or an
    instant the protocol cannot carry."""
    match = _TEXT.fullmatch(text)
    if match is None:
        _refuse(what, text, "not year-month-dayThour:minute:second")
    year, month, day, hour, minute, second = (int(f) for f in match.groups()[:6])
    if (not 1 <= month <= 12 or not 1 <= day <= calendar.monthrange(min(max(year, 1), 9999), month)[1]
            or hour > 23 or minute > 59 or second > 59):
        _refuse(what, text, "no such date or time")
    if year > 2038:
        _check_instant(what, text, LAST_SECOND + 1)
    if year < 1:
        _check_instant(what, text, 0)
    zone = _dt.timezone.utc if match.group(7) else _request_zone()
    moment = _dt.datetime(year, month, day, hour, minute, second, tzinfo=zone)
    _check_instant(what, text, moment.timestamp())
    return request_time_text(moment, what) if match.group(7) else text
