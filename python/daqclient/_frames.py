"""Records as analysis objects: one pandas DataFrame or xarray DataArray per channel.

The records are walked once, each channel's values gathered into plain lists by
kind; every object is then built in one go from NumPy arrays, never grown a row
at a time. pandas and xarray are imported here only, so `import daqclient`
stays light.
"""

import numpy as np

from ._daqclient import Image, Spectrum

# The value kinds a channel can carry, told apart by the Python type of its value.
_SCALAR, _TEXT, _ARRAY, _TEXTS, _NONE, _SPECTRA, _IMAGE, _ITEMS = range(8)


class Frames(dict):
    """Channel name -> DataFrame or DataArray (see daqclient's docstring);
    counters: the fetch's counters (or a file's), possibly {}."""

    def __init__(self, *args, counters=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.counters = dict(counters or {})

    def __repr__(self):
        kinds = ", ".join(f"{name}: {type(obj).__name__}{tuple(getattr(obj, 'shape', ()))}"
                          for name, obj in self.items())
        return f"Frames({{{kinds}}})"


def _kind(value):
    if value is None:
        return _NONE
    if isinstance(value, (bool, int, float, np.integer, np.floating)):
        return _SCALAR
    if isinstance(value, str):
        return _TEXT
    if isinstance(value, np.ndarray):
        return _ARRAY
    if isinstance(value, Spectrum):
        return _SPECTRA
    if isinstance(value, Image):
        return _IMAGE
    if isinstance(value, list) and value:
        if isinstance(value[0], Spectrum):
            return _SPECTRA
        if isinstance(value[0], str):
            return _TEXTS
        return _ITEMS
    return _NONE


class _Column:
    """What one channel gathered: the record stamps and values of one kind."""

    def __init__(self, kind):
        self.kind = kind
        self.micros = []
        self.events = []
        self.values = []


def time_index(micros):
    """A UTC DatetimeIndex named "time" from microseconds since 1970."""
    import pandas as pd
    return pd.DatetimeIndex(pd.to_datetime(np.asarray(micros, dtype=np.int64), unit="us",
                                           utc=True), name="time")


def time_coord(micros):
    """Time stamps for xarray, which keeps no zone: naive datetime64 meaning UTC."""
    return np.asarray(micros, dtype=np.int64).astype("datetime64[us]").astype("datetime64[ns]")


def ordered(micros, *columns):
    """The columns in time order (stable, so equal stamps keep arrival order)."""
    micros = np.asarray(micros, dtype=np.int64)
    if micros.size < 2 or np.all(micros[1:] >= micros[:-1]):
        return (micros,) + columns
    order = np.argsort(micros, kind="stable")
    return (micros[order],) + tuple(np.asarray(c)[order] if not isinstance(c, list)
                                    else [c[i] for i in order] for c in columns)


def frame(micros, columns):
    """A DataFrame indexed by time from microseconds and a dict of column arrays."""
    import pandas as pd
    return pd.DataFrame(columns, index=time_index(micros))


def join_rows(blocks, fill):
    """Blocks of rows (arrays whose first axis is the row) as one array; where a
    block's rows are smaller than the largest, they are padded with `fill` (NaN
    turns integers into floats, None makes an object array)."""
    shapes = {b.shape[1:] for b in blocks}
    if len(shapes) == 1:
        return np.concatenate(blocks) if len(blocks) > 1 else blocks[0]
    inner = tuple(max(s[i] for s in shapes) for i in range(max(len(s) for s in shapes)))
    if fill is None:
        dtype = object
    elif isinstance(fill, float) and np.isnan(fill):
        dtype = np.result_type(np.float32, *blocks)
    else:
        dtype = np.result_type(*blocks)
    out = np.full((sum(len(b) for b in blocks),) + inner, fill, dtype=dtype)
    row = 0
    for b in blocks:
        b = b.reshape(b.shape + (1,) * (len(inner) + 1 - b.ndim))
        out[(slice(row, row + len(b)),) + tuple(slice(0, n) for n in b.shape[1:])] = b
        row += len(b)
    return out


def _stack(arrays, fill):
    """Arrays of one channel as one array, one row each, padded where smaller."""
    return join_rows([np.asarray(a)[np.newaxis] for a in arrays], fill)


def events_array(events):
    return np.asarray(events, dtype=np.uint64)


def values_frame(micros, events, name, table=None):
    """One value per row as column `name`, rows of several as `name`_0 .. (none:
    the event numbers alone)."""
    columns = {"event_number": events_array(events)}
    if table is not None and table.ndim == 1:
        columns[name] = table
    elif table is not None:
        columns.update((f"{name}_{i}", table[:, i]) for i in range(table.shape[1]))
    return frame(micros, columns)


def _number_frame(col):
    if col.kind == _NONE:
        return values_frame(col.micros, col.events, "value")
    if col.kind == _SCALAR:
        return values_frame(col.micros, col.events, "value", np.asarray(col.values))
    if col.kind == _TEXT:
        return values_frame(col.micros, col.events, "text", np.asarray(col.values, dtype=object))
    if col.kind == _TEXTS:
        table = _stack([np.asarray(v, dtype=object) for v in col.values], None)
        return values_frame(col.micros, col.events, "text", table)
    table = _stack([np.atleast_1d(v) for v in col.values], np.nan)
    return values_frame(col.micros, col.events, "value", table.reshape(len(table), -1))


def items_frame(micros, events, names, values, status, number, item_time):
    """The frame of a name/value or update channel: one row per item."""
    return frame(micros, {
        "event_number": events_array(events), "name": np.asarray(names, dtype=object),
        "value": np.asarray(values, dtype=np.float64), "status": np.asarray(status, np.float64),
        "number": np.asarray(number, dtype=np.int64),
        "item_time": np.asarray(item_time, dtype=np.int64)})


def _items_frame(col):
    micros, events, fields = [], [], []
    for us, ev, items in zip(col.micros, col.events, col.values):
        micros.extend([us] * len(items))
        events.extend([ev] * len(items))
        fields.extend(items)
    number, value, status, item_time, name = (zip(*fields) if fields else ([],) * 5)
    return items_frame(micros, events, name, value, status, number, item_time)


def spectra_array(micros, events, values, names=None, name=""):
    """A DataArray of spectra: values (time, [spectrum,] [group,] index)."""
    import xarray as xr
    values = np.asarray(values)
    dims = ["time"]
    coords = {"time": time_coord(micros), "event_number": ("time", events_array(events))}
    if names is not None:
        dims.append("spectrum")
        coords["spectrum"] = np.asarray(names, dtype=object)
    if values.ndim == len(dims) + 2:
        dims.append("group")
    dims.append("index")
    coords["index"] = np.arange(values.shape[-1])
    return xr.DataArray(values, dims=dims, coords=coords, name=name)


def _spectra_array(col, name):
    rows, names = [], None
    for value in col.values:
        spectra = value if isinstance(value, list) else [value]
        if isinstance(value, list) and names is None:
            names = [s.comment for s in spectra]
        rows.append(_stack([s.values for s in spectra], np.nan))
    values = _stack(rows, np.nan)
    if names is None:
        values = values[:, 0]
    else:
        names += [""] * (values.shape[1] - len(names))
    return spectra_array(col.micros, col.events, values, names, name)


def image_array(micros, events, pixels, name=""):
    """A DataArray of images: pixels (time, y, x)."""
    import xarray as xr
    return xr.DataArray(pixels, dims=("time", "y", "x"), name=name, coords={
        "time": time_coord(micros), "event_number": ("time", events_array(events))})


def _image_array(col, name):
    # A frame whose byte count fits no header shape comes as one flat row.
    pixels = _stack([np.atleast_2d(image.pixels) for image in col.values], 0)
    return image_array(col.micros, col.events, pixels, name)


def slow_frame(micros, events, values, status):
    """The frame of one slow channel: one row per entry."""
    return frame(micros, {"event_number": events_array(events),
                          "value": np.asarray(values, dtype=np.float64),
                          "status": np.asarray(status, dtype=np.int64)})


def _gather(records):
    columns, slow = {}, {}
    for record in records:
        us = record.seconds * 1000000 + record.microseconds
        for channel in record.channels:
            if channel.slow:
                for e in channel.entries:
                    slow.setdefault(e.name, []).append(
                        (e.seconds * 1000000 + e.microseconds, e.event_number, e.value, e.status))
                continue
            value = channel.value
            kind = _kind(value)
            col = columns.get(channel.name)
            if col is None:
                col = columns[channel.name] = _Column(kind)
            elif col.kind == _NONE:
                col.kind = kind  # a channel whose first records had no value
            col.micros.append(us)
            col.events.append(record.event_number)
            col.values.append(value)
    return columns, slow


def to_frames(records, counters=None):
    """The records (of fetch(), a RecordStream or any iterable of Record) as Frames."""
    columns, slow = _gather(records)
    out = Frames(counters=counters)
    for name, col in columns.items():
        if col.kind != _NONE:
            # Records where the channel had no value (or another kind) have no row.
            keep = [i for i, v in enumerate(col.values) if _kind(v) == col.kind]
            if len(keep) != len(col.values):
                col.micros = [col.micros[i] for i in keep]
                col.events = [col.events[i] for i in keep]
                col.values = [col.values[i] for i in keep]
        col.micros, col.events, col.values = ordered(col.micros, col.events, col.values)
        if col.kind == _SPECTRA:
            out[name] = _spectra_array(col, name)
        elif col.kind == _IMAGE:
            out[name] = _image_array(col, name)
        elif col.kind == _ITEMS:
            out[name] = _items_frame(col)
        else:
            out[name] = _number_frame(col)
    for name, entries in slow.items():
        micros, events, values, status = zip(*entries)
        micros, events, values, status = ordered(micros, events, values, status)
        out[name] = slow_frame(micros, events, values, status)
    return out
