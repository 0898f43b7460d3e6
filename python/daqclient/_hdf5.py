"""Reading a fetch's HDF5 file (docs/hdf5-layout.md) back into Frames.

Each channel may span sibling groups (a value of another layout starts one);
their rows are joined, padded as the records would be, and put in time order,
so a file gives the same objects as the fetch that wrote it. A file still being
written (single-writer/multiple-reader mode) or left by a killed writer is read
up to its last flush: every per-row dataset is cut to the rows of
`event_number`, the dataset the writer extends first.
"""

import errno
import time

import numpy as np

from . import _frames
from ._errors import DaqError

# Root attributes -> the names of the fetch's counters().
_COUNTERS = {
    "received_events": "events_received", "received_bytes": "bytes_received",
    "received_dropped_events": "dropped_events",
    "received_dropped_sub_blocks": "dropped_sub_blocks",
    "received_records_evicted": "records_evicted", "received_pause_requests": "pause_requests",
    "received_holds_sent": "holds_sent", "received_resumes_sent": "resumes_sent",
    "received_paused_us": "paused_us", "received_max_depth": "max_depth",
    "fetch_records_delivered": "records_delivered",
    "fetch_duplicates_skipped": "duplicates_skipped", "fetch_reconnects": "reconnects",
    "fetch_last_event": "last_event", "fetch_last_seconds": "last_seconds",
    "fetch_last_micros": "last_micros", "fetch_elapsed_s": "elapsed_s",
    "records_written": "records_written",
}

_FORMAT = "daq-fetch-hdf5"


def _open(path, patience_s=2.0):
    import h5py
    # A file in single-writer/multiple-reader mode (being written, or its writer
    # killed) opens only as such a reader; any other file opens plainly. A writer
    # leaves that mode for a moment to add a channel, locking the file meanwhile:
    # that lock is waited out.
    deadline = time.monotonic() + patience_s
    while True:
        try:
            return h5py.File(path, "r", libver="latest", swmr=True)
        except OSError:
            try:
                return h5py.File(path, "r")
            except OSError as error:
                if error.errno != errno.EAGAIN or time.monotonic() >= deadline:
                    raise
        time.sleep(0.05)


def _text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def _texts(values):
    values = np.asarray(values)
    return np.array([_text(v) for v in values.reshape(-1)], dtype=object).reshape(values.shape)


class _Rows:
    """The common datasets of one group, cut to the rows flushed so far."""

    def __init__(self, group):
        self.group = group
        # Items and lists of texts keep their datasets flat, one row per item.
        per_row = ("event_number", "time_us") if "item_event" in group else list(group)
        self.n = min(len(group[name]) for name in per_row)
        self.events = group["event_number"][:self.n]
        self.micros = group["time_us"][:self.n]

    def read(self, name):
        return self.group[name][:self.n]


def _flat(rows, names):
    """Datasets of one row per item (items, lists of texts), cut to what is
    complete and to the items of the rows read."""
    count = min(len(rows.group[name]) for name in ("item_event",) + names)
    owner = rows.group["item_event"][:count]
    keep = owner < rows.n
    return owner[keep].astype(np.int64), [rows.group[name][:count][keep] for name in names]


def _text_lists(rows):
    """The texts of each row of a group of text lists."""
    owner, (values,) = _flat(rows, ("value",))
    per_row = [[] for _ in range(rows.n)]
    for row, text in zip(owner, _texts(values)):
        per_row[row].append(text)
    return per_row


def _spectra(rows):
    """(values, names) of a spectrum group; names None for one spectrum a row."""
    values = rows.read("value").astype(np.float32, copy=False)
    names = None
    if values.ndim == 3:
        names = list(_texts(rows.read("name"))[0])
    if rows.group.attrs.get("group", 0) == 1 and "groups" in rows.group and rows.n:
        groups, size = rows.read("groups"), rows.read("group_size")
        g, k = int(groups.flat[0]), int(size.flat[0])
        if (g > 0 and k > 0 and g * k == values.shape[-1] and np.all(groups == g)
                and np.all(size == k)):
            values = values.reshape(values.shape[:-1] + (g, k))
    return values, names


# Pixel types by bytes per pixel, as a record's Image gives them.
_PIXELS = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}


def _pixels(header, data):
    """One stored frame as a record's Image shows it: the area of interest or
    the full frame, whichever the byte count fits, else the bytes as one row."""
    data = np.asarray(data, dtype=np.uint8)
    bpp = int(header["bpp"])
    for w, h in ((header["aoi_width"], header["aoi_height"]), (header["width"], header["height"])):
        w, h = int(w), int(h)
        if w > 0 and h > 0 and w * h * bpp == data.size:
            if bpp in _PIXELS:
                return data.view(_PIXELS[bpp]).reshape(h, w)
            return data.reshape(h, w * bpp)
    return data[np.newaxis]


def _image(rows):
    if "image" in rows.group:
        return rows.read("image")
    # Frames of a depth or size the image layout does not take, kept as bytes.
    return _frames.join_rows([_pixels(header, data)[np.newaxis]
                              for header, data in zip(rows.read("header"), rows.read("data"))], 0)


def _kind(group):
    kind = _text(group.attrs.get("kind", ""))
    if kind == "raw":
        return "image" if "header" in group else "none"
    if kind == "text" and "item_event" in group:
        return "texts"
    return kind


def _channel(kind, name, parts):
    """One channel's object from the _Rows of its groups of one kind."""
    micros = np.concatenate([p.micros for p in parts])
    events = np.concatenate([p.events for p in parts])
    if kind == "items":
        fields = ("name", "value", "status", "number", "time")
        read = [_flat(p, fields) for p in parts]
        item_micros = np.concatenate([p.micros[owner] for p, (owner, _) in zip(parts, read)])
        item_events = np.concatenate([p.events[owner] for p, (owner, _) in zip(parts, read)])
        columns = [np.concatenate([values[i] for _, values in read]) for i in range(len(fields))]
        columns[0] = _texts(columns[0])
        return _frames.items_frame(*_frames.ordered(item_micros, item_events, *columns))
    if kind == "texts":
        rows = [row for p in parts for row in _text_lists(p)]
        keep = np.array([len(r) > 0 for r in rows], dtype=bool)  # as from records
        table = _frames.join_rows([np.asarray(r, dtype=object)[np.newaxis]
                                   for r, k in zip(rows, keep) if k], None)
        micros, events, table = _frames.ordered(micros[keep], events[keep], table)
        return _frames.values_frame(micros, events, "text", table)
    if kind == "spectrum":
        read = [_spectra(p) for p in parts]
        values = _frames.join_rows([v for v, _ in read], np.nan)
        names = read[0][1]
        if names is not None:
            names += [""] * (values.shape[1] - len(names))
        micros, events, values = _frames.ordered(micros, events, values)
        return _frames.spectra_array(micros, events, values, names, name)
    if kind == "image":
        pixels = _frames.join_rows([_image(p) for p in parts], 0)
        micros, events, pixels = _frames.ordered(micros, events, pixels)
        return _frames.image_array(micros, events, pixels, name)
    if kind == "slow":
        values = np.concatenate([p.read("value") for p in parts]).astype(np.float64)
        status = np.concatenate([p.read("status") for p in parts])
        return _frames.slow_frame(*_frames.ordered(micros, events, values, status))
    if kind == "number":
        blocks = [p.read("value") for p in parts]
        scalar = all(b.ndim == 1 for b in blocks)
        # A float scalar comes to Python as a float (double); arrays keep their type.
        blocks = [b.astype(np.float64) if scalar and b.dtype == np.float32 else b
                  for b in blocks]
        values = _frames.join_rows([b if scalar else b.reshape(len(b), -1) for b in blocks],
                                   np.nan)
        micros, events, values = _frames.ordered(micros, events, values)
        return _frames.values_frame(micros, events, "value", values)
    if kind == "text":
        values = np.concatenate([_texts(p.read("value")) for p in parts])
        micros, events, values = _frames.ordered(micros, events, values)
        return _frames.values_frame(micros, events, "text", values)
    micros, events = _frames.ordered(micros, events)
    return _frames.values_frame(micros, events, "value")


def read_hdf5(path):
    """The HDF5 file of a fetch (daqget -f hdf5, fetch_hdf5) as Frames: the
    same objects fetch(..., as_frame=True) gives for the same request, and the
    fetch's counters from the file's attributes (records_written too; only what
    the file holds: a file not closed has none of the fetch's). A file still
    being written is read up to its writer's last flush. DaqError for a file
    that is not a fetch's (OSError when it cannot be opened at all)."""
    with _open(path) as f:
        if _text(f.attrs.get("format", "")) != _FORMAT:
            raise DaqError(-1, f"{path}: not a fetch's HDF5 file (format "
                               f"{_text(f.attrs.get('format', 'missing'))!r})")
        counters = {_COUNTERS[k]: v.item() for k, v in f.attrs.items()
                    if k in _COUNTERS and hasattr(v, "item")}
        channels = {}
        try:
            for key in sorted(f, key=_group_order):
                group = f[key]
                rows = _Rows(group)
                if rows.n > 0:
                    name = _text(group.attrs.get("channel", key))
                    channels.setdefault(name, {}).setdefault(_kind(group), []).append(rows)
            out = _frames.Frames(counters=counters)
            for name, kinds in channels.items():
                # As from records: a channel whose values came without data in some
                # records has rows only for those with data.
                kind = next((k for k in kinds if k != "none"), "none")
                out[name] = _channel(kind, name, kinds[kind])
        except (KeyError, ValueError, IndexError, TypeError) as error:
            raise DaqError(-1, f"{path}: not in the fetch's HDF5 layout ({error})") from None
    return out


def _group_order(key):
    """Sibling groups in the order they appeared: NAME, NAME#2, NAME#3, ..."""
    base, _, number = key.rpartition("#")
    return (base, int(number)) if base and number.isdigit() else (key, 1)
