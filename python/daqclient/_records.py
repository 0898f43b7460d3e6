"""Small value records that the extension hands out. They are named tuples, so
code that unpacks them by position keeps working while new code reads fields."""

import collections
import datetime as _dt


def _utc(seconds, microseconds):
    return _dt.datetime.fromtimestamp(seconds, _dt.timezone.utc).replace(microsecond=microseconds)


class NameValue(collections.namedtuple("NameValue", "number value status time name")):
    """One item of a name/value or update channel.

    number -- the item's integer field
    value  -- the item's value (float)
    status -- the item's second float, its status
    time   -- the item's time stamp as the channel carries it (int)
    name   -- the item's name
    """

    __slots__ = ()


class SlowEntry(collections.namedtuple(
        "SlowEntry", "name event_number seconds microseconds status value")):
    """One value of a slow-data block.

    name         -- the slow channel's name
    event_number -- the event number the value belongs to
    seconds, microseconds -- its time stamp (UTC, seconds since 1970)
    status       -- the value's status word
    value        -- the value (float)
    timestamp    -- seconds and microseconds as one float
    datetime     -- the time stamp as an aware datetime in UTC
    """

    __slots__ = ()

    @property
    def timestamp(self):
        return self.seconds + self.microseconds * 1e-6

    @property
    def datetime(self):
        return _utc(self.seconds, self.microseconds)
