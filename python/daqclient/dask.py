"""Fetches spread over a dask.distributed cluster: one time range cut into parts
at whole seconds, each part fetched by a task from one server, gathered back in
time order.

A fetch of [a, b) delivers the events stamped from a up to but not including b
(and the slow-data blocks of those seconds), so parts that meet at a whole
second neither lose nor repeat a record.

Each server takes at most `per_server` parts at once: the call hands the
cluster no more parts of a server than that (the next part, longest first, goes
to the server whose part ended), and every task holds a lease of a cluster-wide
semaphore named by its server, so concurrent calls on one cluster share the
bound. A server past its own request limit answers "BUSY"; such a part waits
with a growing, jittered backoff and tries again. Any other failure ends the
call with the part named (PartError).

Imported on its own (`import daqclient.dask`); `import daqclient` never loads
dask.
"""

import datetime as _dt
import os
import random
import time

from ._errors import ConnectError, DaqError, RequestError
from . import _times

__all__ = ["PartError", "PartFiles", "fetch_partitioned", "gather_files", "gather_frames"]

# Counters of the parts that are not added up when parts are gathered.
_LAST_COUNTERS = ("last_event", "last_seconds", "last_micros", "last_event_received",
                  "last_seconds_received", "last_micros_received")
_MAX_COUNTERS = ("max_depth",)

# Longest wait between two attempts of a part a server keeps refusing as busy.
_LONGEST_BACKOFF_S = 30.0


class PartError(DaqError):
    """A part of fetch_partitioned failed: part (its index), start and stop (UTC
    seconds), server, kind (the class name of the part's error), busy_retries,
    and the code, text and reason of that error."""

    def __init__(self, part, start, stop, server, kind, code, text, reason="", busy_retries=0):
        Exception.__init__(self, f"part {part} [{_utc_text(start)} .. {_utc_text(stop)}) from "
                                 f"{server or 'the default servers'}: {kind}: {text} (code {code})"
                                 + (f": {reason}" if reason else ""))
        self.part, self.start, self.stop, self.server = part, start, stop, server
        self.kind, self.code, self.text, self.reason = kind, code, text, reason
        self.busy_retries = busy_retries

    def __reduce__(self):
        # Crosses process boundaries from the worker to the client.
        return (type(self), (self.part, self.start, self.stop, self.server, self.kind, self.code,
                             self.text, self.reason, self.busy_retries))


class PartFiles(list):
    """The HDF5 files of fetch_partitioned(out_dir=...), in time order;
    counters: the parts' counters gathered (see fetch_partitioned)."""

    counters = None

    def gather(self):
        """The files read back and gathered into one Frames."""
        return gather_files(self)


def _utc_text(seconds):
    return _dt.datetime.fromtimestamp(seconds, _dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _is_busy(error):
    # The connection reports a server's "BUSY" as code 13 after its passes, or
    # as its budget running out (9) with the server's reason "BUSY".
    return isinstance(error, ConnectError) and (error.code == 13 or error.reason == "BUSY")


def _is_empty(error):
    # A part wholly outside the server's data (after its "now", say) is refused;
    # the whole range may still hold data, as one fetch of it would deliver.
    return isinstance(error, ConnectError) and error.code == 4 and \
        error.reason == "ERROR: no data in the requested time range"


def split_range(start, stop, parts):
    """[start, stop) in UTC seconds cut into at most `parts` ranges of whole
    seconds that meet exactly; each is a (start, stop) pair."""
    seconds = stop - start
    parts = max(1, min(parts, seconds))
    edges = [start + seconds * k // parts for k in range(parts + 1)]
    return list(zip(edges[:-1], edges[1:]))


class _Lease:
    """A lease of the cluster-wide semaphore of one server, taken in a task."""

    def __init__(self, server, per_server):
        from distributed import Semaphore
        self._semaphore = Semaphore(max_leases=per_server,
                                    name=f"daqclient-server:{server or '(default)'}")
        self._held = False

    def __enter__(self):
        self._held = self._semaphore.acquire()
        return self

    def __exit__(self, *exception):
        if self._held:
            self._semaphore.release()
        # The semaphore's lease refresher holds it on the worker's loop; stop it,
        # or every task would leave one running.
        callback = getattr(self._semaphore, "refresh_callback", None)
        if callback is not None:
            callback.stop()
        return False


def _fetch_once(job, path):
    import daqclient
    if path is None:
        return daqclient.fetch(job["channels"], job["start"], job["stop"],
                               servers=job["server"], as_frame=True, **job["fetch"])
    partial = path + ".partial"
    try:
        counters = daqclient.fetch_hdf5(partial, job["channels"], job["start"], job["stop"],
                                        servers=job["server"], **job["fetch"])
        os.replace(partial, path)  # a file under its final name is always complete
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return counters


def _part_error(job, error, busy):
    return PartError(job["part"], job["start"], job["stop"], job["server"],
                     type(error).__name__, error.code, error.text, error.reason, busy)


def _run_part(job):
    """One part, run by a task: (Frames or file path, counters, busy retries,
    None), or (None, {}, busy retries, PartError) for a part the server has no
    data for."""
    busy, delay = 0, job["busy_backoff"]
    while True:
        try:
            with _Lease(job["server"], job["per_server"]):
                result = _fetch_once(job, job["path"])
        except DaqError as error:
            if _is_empty(error):
                return None, {}, busy, _part_error(job, error, busy)
            if not _is_busy(error) or busy >= job["busy_retries"]:
                raise _part_error(job, error, busy) from None
        except Exception as error:  # a file that cannot be written, say
            raise PartError(job["part"], job["start"], job["stop"], job["server"],
                            type(error).__name__, -1, str(error), "", busy) from None
        else:
            if job["path"] is None:
                return result, dict(result.counters), busy, None
            return job["path"], dict(result), busy, None
        busy += 1
        # Jittered, so parts refused together do not come back together.
        time.sleep(delay * random.uniform(0.5, 1.0))
        delay = min(delay * 2, _LONGEST_BACKOFF_S)


def _gathered_counters(parts):
    out = {}
    for counters in parts:
        for key, value in counters.items():
            if key in _LAST_COUNTERS:
                if value:
                    out[key] = value
                else:
                    out.setdefault(key, value)
            elif key in _MAX_COUNTERS:
                out[key] = max(out.get(key, value), value)
            elif isinstance(value, (int, float)) and not isinstance(value, bool):
                out[key] = out.get(key, 0) + value
    return out


def _concat(objects):
    if len(objects) == 1:
        return objects[0]
    first = objects[0]
    if hasattr(first, "dims"):
        import xarray as xr
        return xr.concat(objects, dim="time")
    import pandas as pd
    return pd.concat(objects)


def gather_frames(parts, counters=None):
    """Frames of consecutive parts (earliest first) as one Frames: each channel's
    objects concatenated along time."""
    from ._frames import Frames
    names = {}
    for frames in parts:
        for name, obj in frames.items():
            names.setdefault(name, []).append(obj)
    if counters is None:
        counters = _gathered_counters([getattr(f, "counters", None) or {} for f in parts])
    return Frames(((name, _concat(objs)) for name, objs in names.items()), counters=counters)


def gather_files(paths):
    """The HDF5 files of consecutive parts (earliest first) read back as one Frames."""
    import daqclient
    return gather_frames([daqclient.read_hdf5(p) for p in paths])


def _servers_of(servers):
    if servers is None or isinstance(servers, str):
        return [servers]
    servers = list(servers)
    if not servers or not all(isinstance(s, str) for s in servers):
        raise TypeError("fetch_partitioned(): servers must be a str, a non-empty list of str "
                        "or None")
    return servers


def _check(parts, per_server, busy_retries, busy_backoff):
    for name, value, least in (("parts", parts, 1), ("per_server", per_server, 1),
                               ("busy_retries", busy_retries, 0)):
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"fetch_partitioned(): {name} must be an int")
        if value < least:
            raise RequestError(-1, f"fetch_partitioned(): {name} must be at least {least}, "
                                   f"got {value}")
    if not busy_backoff > 0:
        raise RequestError(-1, "fetch_partitioned(): busy_backoff must be above 0 seconds")


def _check_keywords(fetch_options):
    """Refuses here, before any task runs, a keyword the fetch does not take."""
    import inspect
    import daqclient
    options = {k: v for k, v in fetch_options.items() if k != "compress"}
    try:
        inspect.signature(daqclient.fetch).bind(None, None, None, **options)
    except TypeError as error:
        raise TypeError(f"fetch_partitioned(): {error}") from None


def _part_name(part, start, stop):
    compact = "%Y%m%dT%H%M%SZ"
    utc = _dt.timezone.utc
    return (f"part{part:04d}_{_dt.datetime.fromtimestamp(start, utc).strftime(compact)}_"
            f"{_dt.datetime.fromtimestamp(stop, utc).strftime(compact)}.h5")


def _run_all(client, jobs, servers, per_server):
    """Runs the parts, each on the next server with a free slot (per_server of
    them each), longest parts first so that no server is left with the long
    tail; the first failure cancels the rest and is raised. The outcomes of
    _run_part, in the order of the parts."""
    from distributed import as_completed
    waiting = sorted(jobs, key=lambda job: (job["start"] - job["stop"], job["part"]))
    running = as_completed()
    submitted = {}  # future -> its job

    def submit(server):
        job = dict(waiting.pop(0), server=server)
        future = client.submit(_run_part, job, pure=False)
        submitted[future] = job
        running.add(future)

    for _ in range(per_server):
        for server in servers:
            if waiting:
                submit(server)
    results = [None] * len(jobs)
    try:
        for future in running:
            job = submitted[future]
            results[job["part"]] = future.result()
            if waiting:
                submit(job["server"])
    except BaseException:
        client.cancel(list(submitted))
        raise
    return results


def fetch_partitioned(channels, start, stop, parts=None, servers=None, *, client=None,
                      scheduler=None, out_dir=None, per_server=1, busy_retries=8,
                      busy_backoff=1.0, compress=0, **fetch_options):
    """Fetches `channels` between `start` and `stop` as `parts` tasks of a
    dask.distributed cluster and gathers them in time order.

    start, stop -- as for daqclient.fetch (a naive text is read in this
                process's ORXA_EXP_TIMEZONE); the range is cut at whole seconds
                into `parts` (default: servers x per_server; at most one part a
                second)
    servers  -- a server entry or a list of them (alternatives holding the same
                data); each part is fetched from one of them, the next with a
                free slot (None: every part through the fetch's default list,
                as one server)
    client   -- a distributed.Client to run on (left open); else `scheduler`,
                a scheduler address a client is opened to for the call; else a
                LocalCluster of threads in this process, made for the call and
                closed after
    out_dir  -- each part written to its own HDF5 file there through
                daqclient.fetch_hdf5 (`compress`: its gzip level) named
                partNNNN_START_STOP.h5; the result is then a PartFiles (the
                paths in time order; gather() reads them back as one Frames).
                A file appears under its name only once complete. The
                directory must be reachable by every worker under this path.
                None: each part returned as Frames; the result is one Frames,
                each channel concatenated in time order
    per_server -- parts one server serves at once (across every call on the
                cluster)
    busy_retries, busy_backoff -- how often a part a server refuses as busy is
                tried again, and the first wait in seconds (doubling to 30 s,
                jittered)
    fetch_options -- keywords of daqclient.fetch for every part (facility,
                comm_mode, connect_timeout, record_timeout, retries, ...); a
                short connect_timeout hands a busy server to the backoff sooner

    The result's counters: the parts' counters added up (max_depth the
    largest, the last_* of the last part with records), elapsed_s of the whole
    call, parts, busy_retries. A part the server has no data for (wholly after
    its "now", say) is left out, as one fetch of the range would leave it; when
    no part has data that part's PartError is raised. A part that fails
    otherwise raises PartError naming it; the parts still running are
    cancelled.
    """
    if "local" in fetch_options or "stream" in fetch_options or "as_frame" in fetch_options:
        raise TypeError("fetch_partitioned(): local, stream and as_frame are not taken")
    _check_keywords(fetch_options)
    pools = _servers_of(servers)
    if parts is None:
        parts = len(pools) * per_server if isinstance(per_server, int) else 1
    _check(parts, per_server, busy_retries, busy_backoff)
    first = _times.request_instant(start, "start")
    last = _times.request_instant(stop, "stop")
    if last <= first:
        raise RequestError(-1, "fetch_partitioned(): the stop is not after the start")
    if out_dir is not None:
        out_dir = os.path.abspath(out_dir)
        os.makedirs(out_dir, exist_ok=True)
        fetch_options = dict(fetch_options, compress=compress)
    channels = [channels] if isinstance(channels, str) else list(channels)
    jobs = []
    for part, (a, b) in enumerate(split_range(first, last, parts)):
        jobs.append(dict(part=part, start=a, stop=b,
                          channels=channels, fetch=fetch_options, per_server=per_server,
                          busy_retries=busy_retries, busy_backoff=busy_backoff,
                          path=None if out_dir is None else
                          os.path.join(out_dir, _part_name(part, a, b))))

    began = time.monotonic()
    owned = []
    try:
        if client is None:
            from distributed import Client, LocalCluster
            if scheduler is None:
                threads = min(len(jobs), len(pools) * per_server)
                owned.append(LocalCluster(n_workers=1, threads_per_worker=threads,
                                          processes=False, dashboard_address=None))
                scheduler = owned[-1]
            owned.append(Client(scheduler))
            client = owned[-1]
        results = _run_all(client, jobs, pools, per_server)
    finally:
        for thing in reversed(owned):
            thing.close()
    delivered = [r for r in results if r[3] is None]
    if not delivered:
        raise results[0][3]
    counters = _gathered_counters([r[1] for r in delivered])
    counters.update(elapsed_s=time.monotonic() - began, parts=len(results),
                    busy_retries=sum(r[2] for r in results))
    if out_dir is not None:
        files = PartFiles(r[0] for r in delivered)
        files.counters = counters
        return files
    return gather_frames([r[0] for r in delivered], counters)
