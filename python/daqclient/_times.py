"""Request times: the request carries its start and stop as texts that the
validation reads in the zone named by ORXA_EXP_TIMEZONE (default "CET"; set but
empty means UTC), so a datetime or a number of seconds is written as such a text
in that zone, and a text with its own zone (Z, +hh:mm, -hh:mm) is honoured.

A text without a zone is a local time of that zone: an hour a clock change
repeats means its first occurrence, a time the change skips is read with the
offset before the change (as the C++ library reads it). A zone name that is
neither in the zone database nor a TZ rule is refused: the C library would read
it as UTC without a word and fetch another hour.

The protocol normalises fields out of range (month 13 becomes January of the
next year) and carries seconds as a signed 32-bit number, so texts and instants
it would misread are refused here, before anything is sent."""

import calendar
import datetime as _dt
import functools
import io
import math
import os
import re
import struct

from ._errors import RequestError

try:
    import zoneinfo as _zoneinfo
except ImportError:  # pragma: no cover - Python before 3.9
    _zoneinfo = None

# The last second the protocol can carry: 2038-01-19T03:14:07Z.
LAST_SECOND = 2**31 - 1

_TEXT = re.compile(r"(\d{1,9})-(\d{1,9})-(\d{1,9})T(\d{1,9}):(\d{1,9}):(\d{1,9})"
                   r"(?:([Zz])|([+-])(\d{2})(?::?(\d{2}))?)?", re.ASCII)
# The C library's rules for a TZ rule that names a summer zone without dates.
_DEFAULT_RULES = ",M3.2.0,M11.1.0"


def _rule_zone(rule):
    """A zone of a POSIX TZ rule: a zone file without transitions whose footer is the rule."""
    def block():
        return (b"TZif2" + bytes(15) + struct.pack(">6l", 0, 0, 0, 0, 1, 4)
                + struct.pack(">lbB", 0, 0, 0) + b"UTC\0")
    if re.fullmatch(r"(?:<[^>]*>|[A-Za-z]+)[-+]?[\d:]+(?:<[^>]*>|[A-Za-z]+)", rule):
        rule += _DEFAULT_RULES
    data = block() + block() + b"\n" + rule.encode("ascii", "replace") + b"\n"
    return _zoneinfo.ZoneInfo.from_file(io.BytesIO(data), key=rule)


@functools.lru_cache(maxsize=16)
def _zone_named(name):
    if name == "":
        return _dt.timezone.utc
    if _zoneinfo is not None:
        path = name[1:] if name.startswith(":") else name
        base = os.environ.get("TZDIR") or "/usr/share/zoneinfo"
        # Only names below the database's folder, or a file named by its full path.
        files = ([path] if path.startswith("/")
                 else [] if ".." in path.split("/") else [os.path.join(base, path)])
        for file in files:
            try:
                with open(file, "rb") as f:
                    if f.read(4) == b"TZif":
                        f.seek(0)
                        return _zoneinfo.ZoneInfo.from_file(f, key=name)
            except (OSError, ValueError):
                pass
        try:
            return _zoneinfo.ZoneInfo(path)
        except (_zoneinfo.ZoneInfoNotFoundError, ValueError, OSError):
            pass
        if not name.startswith(":"):
            try:
                return _rule_zone(name)
            except ValueError:
                pass
    return None


def _request_zone(what="time", value=None):
    name = os.environ.get("ORXA_EXP_TIMEZONE")
    zone = _zone_named("CET" if name is None else name)
    if zone is None:
        _refuse(what, value, f"ORXA_EXP_TIMEZONE: time zone {name!r} is unknown "
                             f"(neither in the zone database nor a TZ rule)")
    return zone


def _refuse(what, value, why):
    # The validation's codes for an unreadable start (-7) and stop (-8).
    raise RequestError(-8 if what == "stop" else -7, f"{what} {value!r}: {why}")


def _check_instant(what, value, seconds):
    if seconds > LAST_SECOND:
        _refuse(what, value, "after 2038-01-19T03:14:07Z, beyond the protocol's 32-bit seconds")
    if not seconds >= 1:  # NaN too
        _refuse(what, value, "before 1970-01-01T00:00:01Z")


def _text_instant(text, what):
    """(UTC seconds, whether the text named no zone) of a time text."""
    match = _TEXT.fullmatch(text)
    if match is None:
        _refuse(what, text, "not year-month-dayThour:minute:second, then Z, +hh:mm, -hh:mm "
                            "or nothing")
    year, month, day, hour, minute, second = (int(f) for f in match.groups()[:6])
    utc, sign, off_hours, off_minutes = match.groups()[6:]
    if (not 1 <= month <= 12 or not 1 <= day <= calendar.monthrange(min(max(year, 1), 9999), month)[1]
            or hour > 23 or minute > 59 or second > 59
            or (sign and (int(off_hours) > 23 or int(off_minutes or 0) > 59))):
        _refuse(what, text, "no such date or time")
    if year > 2038:
        _check_instant(what, text, LAST_SECOND + 1)
    if year < 1:
        _check_instant(what, text, 0)
    if utc:
        zone = _dt.timezone.utc
    elif sign:
        offset = _dt.timedelta(hours=int(off_hours), minutes=int(off_minutes or 0))
        zone = _dt.timezone(-offset if sign == "-" else offset)
    else:
        zone = _request_zone(what, text)
    seconds = _dt.datetime(year, month, day, hour, minute, second, tzinfo=zone).timestamp()
    _check_instant(what, text, seconds)
    return int(seconds), not (utc or sign)


def request_instant(value, what="time"):
    """UTC seconds since 1970 of a request time: a text as checked_time_text reads it,
    a datetime (naive means UTC) or seconds since 1970. RequestError for what the
    protocol cannot carry and, for a text without a zone, for an unknown zone."""
    if isinstance(value, str):
        return _text_instant(value, what)[0]
    if isinstance(value, _dt.datetime):
        moment = value if value.tzinfo is not None else value.replace(tzinfo=_dt.timezone.utc)
        seconds = moment.timestamp()
    else:
        seconds = float(value)
    _check_instant(what, value, seconds)
    return math.floor(seconds)


def request_time_text(value, what="time"):
    """A datetime (naive means UTC) or seconds since 1970 as the request's time text."""
    seconds = request_instant(value, what)
    local = _dt.datetime.fromtimestamp(seconds, _dt.timezone.utc).astimezone(
        _request_zone(what, value))
    return local.strftime("%Y-%m-%dT%H:%M:%S")


def checked_time_text(text, what="time"):
    """A time text as the request carries it: year-month-dayThour:minute:second in
    the request zone, or with Z (UTC) or +hh:mm / -hh:mm (that offset), rewritten
    in the request zone. RequestError for any other text, a date or time that does
    not exist, an instant the protocol cannot carry, or an unknown request zone."""
    seconds, naive = _text_instant(text, what)
    return text if naive else request_time_text(seconds, what)
