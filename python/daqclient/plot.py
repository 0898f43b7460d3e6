"""Pictures of DAQ data, drawn with matplotlib and no display.

    python3 -m daqclient.plot CHANNEL... --local --start T --stop T -o out.png
    python3 -m daqclient.plot CHANNEL... --servers ENTRY... --start T --stop T -o out.svg
    python3 -m daqclient.plot [CHANNEL...] --hdf5 FILE [--start T --stop T] -o out.pdf

Kinds of picture:
  timeseries -- the values of numbers, name/value, update and slow channels over time
  waterfall  -- a spectrum channel: time along x, the spectrum's index along y,
                colour for the value (with a colour bar)
  image      -- one camera image: the last of the range, or the one of --event N
  slow       -- the channels of a slow-data block over time, one panel each,
                entries whose status is not 0 marked

The kind follows from the channel's data unless --kind says. Times on the x
axes are UTC. Importable: load() gives the Frames to draw, plot() (or
timeseries(), waterfall(), image(), slow()) a matplotlib Figure of them; the
figure is built without pyplot, so no backend is selected and nothing global
changes.
"""

import argparse
import datetime as _dt
import os
import sys

import numpy as np

KINDS = ("timeseries", "waterfall", "image", "slow")
FORMATS = (".png", ".svg", ".pdf")
DEFAULT_SIZE = (1000, 600)
DEFAULT_DPI = 100

# More lines than this in one panel get no legend: it would cover the data.
_MAX_LEGEND = 10


class PlotError(ValueError):
    """What was asked cannot be drawn from the data: an unknown channel, an empty
    range, a kind that does not fit the channel. The text is one line."""


def _is_array(obj):
    # DataArrays have dims; DataFrames have columns and no dims.
    return hasattr(obj, "dims") and not hasattr(obj, "columns")


def _value_columns(frame):
    return [c for c in frame.columns if (c == "value" or c.startswith("value_"))
            and np.issubdtype(frame[c].dtype, np.number)]


def natural_kind(obj):
    """The kind a channel's object draws as, or None when nothing of it can be drawn."""
    if _is_array(obj):
        if "y" in obj.dims and "x" in obj.dims:
            return "image"
        return "waterfall" if "index" in obj.dims else None
    columns = set(obj.columns)
    if "name" in columns and "value" in columns:
        return "timeseries"
    if {"value", "status"} <= columns:
        return "slow"
    return "timeseries" if _value_columns(obj) else None


def _described(obj):
    kind = natural_kind(obj)
    if kind == "image":
        return "an image channel"
    if kind == "waterfall":
        return "a spectrum channel"
    if kind == "slow":
        return "a slow channel"
    if kind == "timeseries":
        return "a name/value channel" if "name" in obj.columns else "a channel of numbers"
    if any(c == "text" or c.startswith("text_") for c in obj.columns):
        return "a text channel"
    return "a channel without values (time stamps only)"


def _fits(kind, obj):
    natural = natural_kind(obj)
    # A slow channel is a time series too; the slow kind marks its status besides.
    return kind == natural or (kind == "timeseries" and natural == "slow")


def _short_list(names, most=8):
    names = list(names)
    shown = ", ".join(names[:most])
    return shown + (f", ... ({len(names)} in all)" if len(names) > most else "")


def select(frames, channels=None):
    """The objects of `channels` in `frames` (all of them for None), by name.

    A name may carry sampling parameters (NAME@...). An update channel arrives
    as NAME.0, NAME.1, ...: its name selects them as one frame of all their
    items. PlotError for a name the data do not hold, or for no data at all."""
    if not frames:
        raise PlotError("no data to draw: the range holds no records")
    if not channels:
        return dict(frames)
    if isinstance(channels, str):
        channels = [channels]
    chosen = {}
    for name in channels:
        base = name.split("@", 1)[0]
        if base in frames:
            chosen[base] = frames[base]
            continue
        parts = [k for k in frames if k.startswith(base + ".") and k[len(base) + 1:].isdigit()]
        if not parts:
            raise PlotError(f"unknown channel: {name} (the data hold {_short_list(frames)})")
        if len(parts) == 1 or any(natural_kind(frames[k]) != "timeseries" or
                                  "name" not in frames[k].columns for k in parts):
            chosen.update((k, frames[k]) for k in parts)
            continue
        import pandas as pd
        chosen[base] = pd.concat([frames[k] for k in parts]).sort_index(kind="stable")
    return chosen


def _kind_for(chosen, kind):
    naturals = {name: natural_kind(obj) for name, obj in chosen.items()}
    for name, natural in naturals.items():
        if natural is None:
            raise PlotError(f"{name} is {_described(chosen[name])}: nothing to draw")
    if kind is not None:
        if kind not in KINDS:
            raise PlotError(f"unknown kind {kind!r}: one of {', '.join(KINDS)}")
        for name, obj in chosen.items():
            if not _fits(kind, obj):
                raise PlotError(f"kind {kind} does not fit {name}, {_described(obj)} "
                                f"(drawn as {naturals[name]})")
        return kind
    found = set(naturals.values())
    if found == {"timeseries", "slow"}:
        return "timeseries"
    if len(found) > 1:
        listed = _short_list(f"{n}: {k}" for n, k in naturals.items())
        raise PlotError(f"the channels draw as different kinds ({listed}): draw them one "
                        "kind at a time or choose one with --kind")
    return found.pop()


# -- time ------------------------------------------------------------------

def _date_numbers(times):
    """matplotlib's date numbers of time stamps: a DatetimeIndex (any zone) or
    naive datetime64 values meaning UTC."""
    from matplotlib import dates
    if getattr(times, "tz", None) is not None:
        times = times.tz_convert(None)
    return dates.date2num(np.asarray(times, dtype="datetime64[us]"))


def _utc_time_axis(ax):
    from matplotlib import dates
    locator = dates.AutoDateLocator(tz=_dt.timezone.utc)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator, tz=_dt.timezone.utc))


def _instant(value, what):
    from . import _times
    return _times.request_instant(value, what)


def _in_range(obj, start, stop):
    """The rows of obj whose time lies in [start, stop) (UTC seconds; None: open)."""
    if start is None and stop is None:
        return obj
    lo = np.datetime64(-2**62 if start is None else int(start) * 10**6, "us")
    hi = np.datetime64(2**62 if stop is None else int(stop) * 10**6, "us")
    if _is_array(obj):
        times = obj["time"].values.astype("datetime64[us]")
        return obj.isel(time=np.nonzero((times >= lo) & (times < hi))[0])
    times = obj.index.tz_convert(None) if obj.index.tz is not None else obj.index
    times = np.asarray(times, dtype="datetime64[us]")
    return obj[(times >= lo) & (times < hi)]


# -- loading ---------------------------------------------------------------

def load(channels=None, start=None, stop=None, *, hdf5=None, servers=None, local=False,
         **fetch_options):
    """The Frames to draw: read from the HDF5 file `hdf5` (daqclient.read_hdf5),
    cut to [start, stop) when either is given, or fetched (daqclient.fetch) from
    `servers` or the embedded server (local=True), start and stop required.

    start, stop -- as fetch() takes them (datetime, seconds, time text)
    PlotError for an empty range, an unknown channel or a range without data;
    the fetch's own errors (ConnectError, ...) otherwise."""
    import daqclient
    lo = None if start is None else _instant(start, "start")
    hi = None if stop is None else _instant(stop, "stop")
    if lo is not None and hi is not None and lo >= hi:
        raise PlotError(f"empty range: the start {start} is not before the stop {stop}")
    if hdf5 is not None:
        frames = daqclient.read_hdf5(hdf5)
        if lo is None and hi is None:
            return frames
        cut = daqclient.Frames()
        cut.counters = getattr(frames, "counters", {})
        for name, obj in frames.items():
            part = _in_range(obj, lo, hi)
            if len(part):
                cut[name] = part
        if not cut:
            raise PlotError(f"no data in {hdf5} between {start} and {stop}")
        return cut
    if isinstance(channels, str):
        channels = [channels]
    if not channels:
        raise PlotError("name the channels to fetch")
    if start is None or stop is None:
        raise PlotError("a fetch needs a start and a stop")
    try:
        return daqclient.fetch(channels, start, stop, servers, local, as_frame=True,
                               **fetch_options)
    except daqclient.ConnectError as error:
        # The server's refusals that say what was asked is wrong, told as such.
        if "requested channels is known" in error.reason:
            raise PlotError(f"unknown channel: {_short_list(channels)}") from None
        if "no data in the requested time range" in error.reason:
            raise PlotError(f"no data between {start} and {stop}") from None
        raise


# -- drawing ---------------------------------------------------------------

def _legend(ax, lines):
    # Beside the panel, where it hides no data; constrained layout makes room.
    if 1 < lines <= _MAX_LEGEND:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")


def _marker(points):
    # Dots show the records where they can be told apart.
    return "." if points <= 300 else None


def _draw_timeseries(fig, ax, name, obj, options):
    del fig, options
    x = _date_numbers(obj.index)
    lines = 0
    if "name" in obj.columns:
        names = obj["name"].to_numpy()
        for item in dict.fromkeys(names):
            rows = names == item
            # Items are named CHANNEL:ITEM or CHANNEL.N: the panel's title says CHANNEL.
            cut = len(name) + 1
            label = item[cut:] if item[:cut] in (name + ":", name + ".") else item
            ax.plot(x[rows], obj["value"].to_numpy()[rows], marker=_marker(rows.sum()),
                    label=label)
            lines += 1
    else:
        steps = "steps-post" if natural_kind(obj) == "slow" else "default"
        for column in _value_columns(obj):
            ax.plot(x, obj[column].to_numpy(), marker=_marker(len(x)), drawstyle=steps,
                    label=column)
            lines += 1
    _legend(ax, lines)
    ax.set_ylabel("value")
    ax.set_title(name if lines <= _MAX_LEGEND else f"{name} ({lines} values)")
    return True


def _draw_slow(fig, ax, name, obj, options):
    del fig, options
    x = _date_numbers(obj.index)
    values = obj["value"].to_numpy()
    # A slow value holds until the next entry.
    ax.plot(x, values, drawstyle="steps-post", marker=_marker(len(x)), label="value")
    bad = obj["status"].to_numpy() != 0
    if bad.any():
        ax.plot(x[bad], values[bad], "x", color="red", label="status not 0")
        _legend(ax, 2)
    ax.set_ylabel("value")
    ax.set_title(name)
    return True


def _one_spectrum(name, obj, spectrum):
    """The (time, index) array of a channel and its title; `spectrum` (a name or
    a position) picks one of several spectra per record, the first by default."""
    if "spectrum" not in obj.dims:
        if spectrum is not None:
            raise PlotError(f"{name} has one spectrum per record; --spectrum does not apply")
        return obj, name
    names = [str(s) for s in obj["spectrum"].values]
    wanted = str(spectrum)
    # Spectra are named CHANNEL_SUFFIX: the suffix alone names one too.
    named = [i for i, n in enumerate(names)
             if n == wanted or n.endswith("_" + wanted) or n.endswith("/" + wanted)]
    if spectrum is None:
        at = 0
    elif len(named) == 1:
        at = named[0]
    elif wanted.isdigit() and int(wanted) < len(names):
        at = int(wanted)
    else:
        raise PlotError(f"{name} has no spectrum {spectrum} (0 to {len(names) - 1}: "
                        f"{_short_list(names)})")
    # Spectra of a group share the channel's name: their position tells them apart.
    label = names[at] if names[at] and names.count(names[at]) == 1 else str(at)
    if label.startswith(name) and len(label) > len(name) + 1:
        label = label[len(name) + 1:]
    return obj.isel(spectrum=at), f"{name} [{label}]"


def _edges(centres, half_step):
    """Cell edges around sorted centres; a single centre gets half_step each side."""
    if len(centres) == 1:
        return np.array([centres[0] - half_step, centres[0] + half_step])
    middles = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - middles[0]], middles,
                           [2 * centres[-1] - middles[-1]]])


def _draw_waterfall(fig, ax, name, obj, options):
    obj, title = _one_spectrum(name, obj, options.get("spectrum"))
    if obj.size == 0:
        raise PlotError(f"{title} has spectra without samples: nothing to draw")
    values = np.asarray(obj.values, dtype=np.float64).reshape(obj.sizes["time"], -1)
    x = _edges(_date_numbers(obj["time"].values), 0.05 / 86400)
    y = np.arange(values.shape[1] + 1) - 0.5
    mesh = ax.pcolormesh(x, y, np.ma.masked_invalid(values.T), shading="flat",
                         cmap="viridis", rasterized=True)
    fig.colorbar(mesh, ax=ax, label="value")
    ax.set_ylabel("index")
    ax.set_title(title)
    return True


def _draw_image(fig, ax, name, obj, options):
    events = obj["event_number"].values
    event = options.get("event")
    if event is None:
        at = len(events) - 1
    else:
        # Event numbers are unsigned 64-bit; one outside cannot match (nor be cast).
        in_range = isinstance(event, (int, np.integer)) and 0 <= event < 2**64
        found = np.nonzero(events == np.uint64(event))[0] if in_range else ()
        if not len(found):
            raise PlotError(f"event {event} is not among the {len(events)} images of {name} "
                            f"(events {events[0]} to {events[-1]})")
        at = found[0]
    picture = obj.isel(time=at)
    if picture.size == 0:
        raise PlotError(f"the image of event {events[at]} of {name} has no pixels")
    shown = ax.imshow(picture.values, cmap="gray", interpolation="nearest", origin="upper")
    fig.colorbar(shown, ax=ax, label="pixel value")
    when = np.datetime_as_string(np.datetime64(obj["time"].values[at], "us"), unit="ms")
    ax.set_title(f"{name}, event {events[at]}, {when.replace('T', ' ')} UTC")
    ax.set_xlabel("x (pixel)")
    ax.set_ylabel("y (pixel)")
    return False


_DRAW = {"timeseries": _draw_timeseries, "waterfall": _draw_waterfall, "image": _draw_image,
         "slow": _draw_slow}


def plot(frames, channels=None, kind=None, *, event=None, spectrum=None, size=DEFAULT_SIZE,
         dpi=DEFAULT_DPI, title=None):
    """A matplotlib Figure of `channels` of `frames`, one panel each (for None:
    every channel that can be drawn, as `kind` when given).

    kind     -- one of KINDS; None: the one the channels' data draw as
    event    -- the image's event number (images only; default the last)
    spectrum -- which spectrum of a channel with several per record (name or
                position; default the first)
    size     -- (width, height) in pixels at `dpi`
    PlotError when the channels are unknown, hold no data or do not fit the kind."""
    chosen = select(frames, channels)
    if not channels:
        # Of all channels, those that can be drawn (as `kind`, when given).
        chosen = {n: o for n, o in chosen.items() if natural_kind(o) is not None and
                  (kind is None or kind not in KINDS or _fits(kind, o))}
        if not chosen:
            raise PlotError(f"no channel of the data draws as {kind or 'a picture'}")
    kind = _kind_for(chosen, kind)
    if event is not None and kind != "image":
        raise PlotError(f"--event chooses an image; a {kind} picture draws every event")
    for name, obj in chosen.items():
        if not len(obj):
            raise PlotError(f"no data of {name} to draw")
    width, height = size
    if width < 50 or height < 50 or dpi <= 0:
        raise PlotError(f"a picture of {width}x{height} pixels at {dpi} dpi is too small")
    from matplotlib.figure import Figure
    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained")
    axes = fig.subplots(len(chosen), 1, squeeze=False, sharex=kind != "image")[:, 0]
    options = {"event": event, "spectrum": spectrum}
    dated = False
    for ax, (name, obj) in zip(axes, chosen.items()):
        dated = _DRAW[kind](fig, ax, name, obj, options)
        if dated:
            _utc_time_axis(ax)
    if dated:
        axes[-1].set_xlabel("time (UTC)")
    if title:
        fig.suptitle(title)
    return fig


def timeseries(frames, channels=None, **options):
    """plot() of numbers, name/value, update or slow channels over time."""
    return plot(frames, channels, "timeseries", **options)


def waterfall(frames, channels=None, **options):
    """plot() of spectrum channels: time along x, index along y, colour for the value."""
    return plot(frames, channels, "waterfall", **options)


def image(frames, channels=None, **options):
    """plot() of one camera image per channel: the last, or that of event=N."""
    return plot(frames, channels, "image", **options)


def slow(frames, channels=None, **options):
    """plot() of slow channels, one panel each, entries of a status not 0 marked."""
    return plot(frames, channels, "slow", **options)


def _format(path):
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise PlotError(f"cannot write {path}: the name must end in {', '.join(FORMATS)}")
    return extension[1:]


# No version or date in the files, so the same data give the same bytes.
_NO_STAMPS = {"png": {"Software": None}, "svg": {"Date": None, "Creator": None},
              "pdf": {"CreationDate": None, "Creator": None, "Producer": None}}


def save(fig, path):
    """Writes the figure to path, its format by the extension (.png, .svg, .pdf)."""
    import matplotlib
    kind = _format(path)
    # SVG ids are hashed with a random salt unless one is given.
    with matplotlib.rc_context({"svg.hashsalt": "daqclient.plot"}):
        fig.savefig(path, format=kind, dpi=fig.dpi, metadata=_NO_STAMPS[kind])


# -- command line ----------------------------------------------------------

def _size(text):
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT") from None
    if not (50 <= width <= 20000 and 50 <= height <= 20000):
        raise argparse.ArgumentTypeError(f"{text!r}: each side 50 to 20000 pixels")
    return width, height


def _event(text):
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an event number") from None
    if not 0 <= number < 2**64:
        raise argparse.ArgumentTypeError(f"{text!r} is not an event number")
    return number


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m daqclient.plot",
        description="Draws DAQ data as a picture (PNG, SVG or PDF): fetched from DAQ data "
                    "servers or the embedded one, or read from an HDF5 file. Times on the x "
                    "axes are UTC.",
        epilog="Kinds: timeseries (numbers, name/value, update and slow channels over time), "
               "waterfall (a spectrum channel: time against index, colour for the value), "
               "image (the last camera image of the range, or that of --event), slow (the "
               "channels of a slow-data block over time). Exit status: 0 drawn, 2 a request "
               "that cannot be drawn (unknown channel, empty range, a kind that does not "
               "fit), 1 a fetch or file that failed.")
    p.add_argument("channels", nargs="*", metavar="CHANNEL",
                   help="channel names (an update channel's name selects all its items); "
                        "with --hdf5 optional: every channel of the file that can be drawn "
                        "(as --kind, when given)")
    source = p.add_mutually_exclusive_group(required=True)
    source.add_argument("--local", action="store_true",
                        help="fetch from the embedded DAQ data server")
    source.add_argument("--servers", nargs="+", metavar="ENTRY",
                        help="fetch from these servers (FACILITY/DEVICE/LOCATION/), in order")
    source.add_argument("--hdf5", metavar="FILE", help="read a file written by daqget -f hdf5")
    p.add_argument("--start", metavar="TIME",
                   help="start, year-month-dayThour:minute:second with Z, +hh:mm, -hh:mm or "
                        "nothing (the experiment's zone); required for a fetch")
    p.add_argument("--stop", metavar="TIME", help="stop (not included), as --start")
    p.add_argument("--facility", help="the facility whose servers to ask (fetch only)")
    p.add_argument("--kind", choices=KINDS, help="the kind of picture (default: from the data)")
    p.add_argument("--event", type=_event, metavar="N",
                   help="the event number of the image to draw (default: the last)")
    p.add_argument("--spectrum", metavar="NAME|N",
                   help="which spectrum of a channel with several per record: its name, the "
                        "name's last part (Y of DIAG/BPM/BPM1_Y) or its position (default 0)")
    p.add_argument("-o", "--output", required=True, metavar="FILE",
                   help="the picture to write: .png, .svg or .pdf")
    p.add_argument("--size", type=_size, default=DEFAULT_SIZE, metavar="WxH",
                   help=f"picture size in pixels (default {DEFAULT_SIZE[0]}x{DEFAULT_SIZE[1]})")
    p.add_argument("--dpi", type=int, default=DEFAULT_DPI,
                   help=f"dots per inch of the picture (default {DEFAULT_DPI})")
    p.add_argument("--title", help="a title above the panels")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    prog = "daqclient.plot"
    from . import DaqError
    try:
        if not args.hdf5 and not args.channels:
            raise PlotError("name the channels to fetch")
        if not args.hdf5 and (args.start is None or args.stop is None):
            raise PlotError("a fetch needs --start and --stop")
        if args.dpi <= 0:
            raise PlotError(f"--dpi {args.dpi}: must be above 0")
        _format(args.output)  # before a fetch that may take long
        options = {"facility": args.facility} if args.facility and not args.hdf5 else {}
        frames = load(args.channels, args.start, args.stop, hdf5=args.hdf5,
                      servers=args.servers, local=args.local, **options)
        fig = plot(frames, args.channels or None, args.kind, event=args.event,
                   spectrum=args.spectrum, size=args.size, dpi=args.dpi, title=args.title)
        save(fig, args.output)
    except (PlotError, DaqError) as error:
        # A request time the protocol cannot carry is as much the caller's as a bad name.
        bad_request = isinstance(error, (PlotError, ValueError))
        print(f"{prog}: {error}", file=sys.stderr)
        return 2 if bad_request else 1
    except OSError as error:
        where = error.filename or args.hdf5 or args.output
        print(f"{prog}: {where}: {error.strerror or error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
