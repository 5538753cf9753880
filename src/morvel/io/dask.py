"""Recordings as Dask collections: events as a ``dask.dataframe`` of time
windows, a function mapped over windows, conversions of many recordings on a
``distributed`` cluster, and Parquet output.

Everything runs on Dask's own schedulers. Partitions are time windows of one
recording read through ``morvel.io.open(...).read_time_window``: RAW files
bisect their index, AEDAT4 files their data table, HDF5 files their time
column, so partitions are independent and cheap to schedule. Building a
graph opens each recording for its metadata only (its time span and event
count); events are decoded when a partition is computed, on the worker.

Needs the ``dask`` extra: ``pip install "morvel-io[dask]"`` (dask[dataframe],
distributed, pyarrow).

    import morvel.io.dask as mdask
    df = mdask.read_events("recording.raw", window_us=1_000_000)
    df.t.max().compute()
    mdask.convert(["a.raw", "b.raw"], "out/", to="hdf5")

The same code runs on a cluster of many machines: start a scheduler and
workers there (``dask scheduler``, ``dask worker ADDRESS``), pass
``client=distributed.Client(ADDRESS)`` (or ``--scheduler ADDRESS`` on the
command line), and keep the recordings on storage every worker sees under
the same paths (NFS, a parallel file system).
"""

from __future__ import annotations

import dataclasses
import glob
import math
import os
import sys
import time
from typing import Any, Callable, Iterable, Optional, Sequence, Tuple, Union

try:
    import dask
    import dask.bag as db
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - exercised in a fresh interpreter
    raise ImportError(
        "morvel.io.dask needs the 'dask' extra: pip install \"morvel-io[dask]\" "
        f"(dask[dataframe], distributed, pyarrow); {exc}") from exc

import numpy as np

__all__ = ["Window", "read_events", "map_windows", "convert", "to_parquet", "windows"]

PathLike = Union[str, "os.PathLike[str]"]
_DEFAULT_EVENTS_PER_PARTITION = 5_000_000


@dataclasses.dataclass(frozen=True)
class Window:
    """One partition: events of ``path`` with t_start <= t < t_end (both None:
    the whole recording, for formats that cannot tell their time span)."""

    path: str
    t_start: Optional[int]
    t_end: Optional[int]
    format: Optional[str] = None
    index: int = 0


# --- recordings and their windows ----------------------------------------------------


def _paths(paths: Union[PathLike, Iterable[PathLike]]) -> list:
    """Paths as given: a file, a folder (its files, sorted), a glob pattern, or
    a sequence of any of those."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    out = []
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            out.extend(sorted(os.path.join(p, f) for f in os.listdir(p)
                              if os.path.isfile(os.path.join(p, f)) and not f.startswith(".")))
        elif any(c in p for c in "*?["):
            out.extend(sorted(glob.glob(p)))
        else:
            out.append(p)
    if not out:
        raise ValueError("no recordings given")
    return out


# Readers kept per worker process, so that the windows of one recording that
# a worker computes share the reader's index (a RAW file is indexed once).
_OPEN: dict = {}
_OPEN_LIMIT = 16


def _recording(path: str, format: Optional[str], options: dict) -> Any:
    from morvel.io import open as open_recording

    try:
        st = os.stat(path)
        stamp = (st.st_size, st.st_mtime_ns)
    except OSError:
        stamp = None
    key = (path, format, tuple(sorted(options.items())))
    held = _OPEN.get(key)
    if held is not None and held[0] == stamp:
        return held[1]
    rec = open_recording(path, format, **options)
    if len(_OPEN) >= _OPEN_LIMIT:
        _OPEN.pop(next(iter(_OPEN)))[1].close()
    _OPEN[key] = (stamp, rec)
    return rec


def windows(path: PathLike, *, window_us: Optional[int] = None, events_per_partition: Optional[int] = None,
            format: Optional[str] = None, **open_options: Any) -> list:
    """windows(path, *, window_us=None, events_per_partition=None, format=None, **open_options) -> list[Window]

    The partitions of one recording: windows of ``window_us`` microseconds, or
    of about ``events_per_partition`` events (default 5,000,000) from its
    event count and time span, covering [first t, last t]. A recording that
    cannot tell its time span without reading it is one window."""
    path = os.fspath(path)
    if window_us is not None and (isinstance(window_us, bool) or int(window_us) < 1):
        raise ValueError(f"window_us must be >= 1, got {window_us!r}")
    if events_per_partition is not None and int(events_per_partition) < 1:
        raise ValueError(f"events_per_partition must be >= 1, got {events_per_partition!r}")
    rec = _recording(path, format, open_options)
    span = rec.time_span()
    if span is None:
        return [Window(path, None, None, format, 0)]
    t0, t1 = span
    if t1 < t0:  # time goes back: one window of everything
        return [Window(path, None, None, format, 0)]
    if window_us is None:
        n = rec.count_events() or 0
        per = int(events_per_partition or _DEFAULT_EVENTS_PER_PARTITION)
        window_us = max(1, math.ceil((t1 - t0 + 1) * per / n)) if n > per else t1 - t0 + 1
    window_us = int(window_us)
    count = (t1 - t0) // window_us + 1
    return [Window(path, t0 + k * window_us, min(t0 + (k + 1) * window_us, t1 + 1), format, k) for k in range(count)]


def _events(window: Window, options: dict) -> np.ndarray:
    # One thread a task: Dask's workers are the parallelism, and a pool in
    # each would only contend for the same cores.
    rec = _recording(window.path, window.format, options)
    if window.t_start is None:
        return rec.read_all(threads=1)
    return rec.read_time_window(window.t_start, window.t_end, threads=1)


# --- read_events ---------------------------------------------------------------------


def _meta(with_recording: bool, categories: Sequence[str]) -> pd.DataFrame:
    cols = {"t": np.empty(0, np.uint64), "x": np.empty(0, np.uint16), "y": np.empty(0, np.uint16),
            "p": np.empty(0, np.uint8)}
    df = pd.DataFrame(cols, index=pd.Index(np.empty(0, np.uint64)))
    if with_recording:
        df["recording"] = pd.Categorical([], categories=list(categories))
    return df


def _frame(window: Window, options: dict, with_recording: bool, categories: Tuple[str, ...],
           columns: Optional[Sequence[str]] = None) -> pd.DataFrame:
    """A window's events as a pandas DataFrame: read_events' partitions.
    ``columns`` is Dask's column projection, so ``df.t.max()`` splits only t
    out of the records."""
    every = ["t", "x", "y", "p"] + (["recording"] if with_recording else [])
    columns = every if columns is None else [c for c in every if c in columns]
    ev = _events(window, options)
    t = np.ascontiguousarray(ev["t"])
    # The fields split out of the records once; the frame and its index hold
    # those columns as they are.
    data = {c: t if c == "t" else np.ascontiguousarray(ev[c]) for c in columns if c != "recording"}
    df = pd.DataFrame(data, index=pd.Index(t, copy=False), copy=False)
    if "recording" in columns:
        df["recording"] = pd.Categorical.from_codes(np.full(len(t), categories.index(window.path), np.int32),
                                                    categories=list(categories))
    return df


def read_events(paths: Union[PathLike, Iterable[PathLike]], *, window_us: Optional[int] = None,
                events_per_partition: Optional[int] = None, format: Optional[str] = None,
                **open_options: Any) -> dd.DataFrame:
    """read_events(paths, *, window_us=None, events_per_partition=None, format=None, **open_options) -> dask.dataframe.DataFrame

    The events of one or more recordings as a Dask DataFrame with columns t
    (uint64), x, y (uint16), p (uint8), indexed by t; several recordings add
    a categorical ``recording`` column (the path). Each partition is one time
    window of one recording (see ``windows``), read on the worker through the
    registry's ``read_time_window``; building the graph reads only metadata.
    With one recording the divisions are the window bounds, and computing the
    whole frame gives exactly ``open(path).read_all()`` for time-sorted
    recordings (windows are in time order; a file whose time goes back is one
    partition).

    Args:
        paths: A file, a folder (its files), a glob pattern, or a sequence of those.
        window_us: Partition length in microseconds.
        events_per_partition: About this many events a partition (default
            5,000,000), when window_us is not given.
        format: The registry name, for every recording (default: detected).
        **open_options: What ``morvel.io.open`` takes for the format.
    """
    files = _paths(paths)
    many = len(files) > 1
    parts = []
    for path in files:
        parts.extend(windows(path, window_us=window_us, events_per_partition=events_per_partition, format=format,
                             **open_options))
    categories = tuple(files)
    divisions = None
    if not many and all(w.t_start is not None for w in parts):
        divisions = tuple(w.t_start for w in parts) + (parts[-1].t_end - 1,)
    return dd.from_map(_frame, parts, args=(dict(open_options), many, categories), meta=_meta(many, categories),
                       divisions=divisions, label="morvel-read-events", enforce_metadata=False)


# --- map_windows ---------------------------------------------------------------------


def _apply(window: Window, fn: Callable, options: dict) -> Any:
    return fn(_events(window, options), window)


def map_windows(paths: Union[PathLike, Iterable[PathLike]], fn: Callable[[np.ndarray, Window], Any], window_us: int,
                *, format: Optional[str] = None, **open_options: Any) -> db.Bag:
    """map_windows(paths, fn, window_us, *, format=None, **open_options) -> dask.bag.Bag

    ``fn(events, window)`` for every window of ``window_us`` microseconds of
    every recording, as a Dask bag in recording and time order: the events
    are read on the worker that runs ``fn``, and only windows and results
    travel (for example frames for training)."""
    parts = []
    for path in _paths(paths):
        parts.extend(windows(path, window_us=window_us, format=format, **open_options))
    return db.from_sequence(parts, npartitions=max(1, len(parts))).map(_apply, fn, dict(open_options))


# --- convert -------------------------------------------------------------------------


def _output_name(path: str, out_dir: str, to: str) -> str:
    from morvel.io import FORMATS

    stem = os.path.splitext(os.path.basename(path))[0]
    return os.path.join(out_dir, stem + FORMATS[to].extensions[0])


def _convert_one(path: str, out: str, to: str, format: Optional[str], chunk_size: int,
                 writer_options: dict) -> dict:
    """One recording into `out`, through a folder of its own beside it: a
    failed or killed attempt leaves only that folder, which the next attempt
    clears and takes over, and the target appears whole or not at all."""
    import shutil

    from morvel.io import Writer, open as open_recording

    start = time.perf_counter()
    work = os.path.join(os.path.dirname(out), ".morvel-part-" + os.path.basename(out))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    part = os.path.join(work, os.path.basename(out))
    events = 0
    try:
        with open_recording(path, format, chunk_size=chunk_size) as rec:
            with Writer(part, to, sensor_size=rec.sensor_size, **writer_options) as w:
                for chunk in rec:
                    w.append(chunk)
                    events += len(chunk)
        os.replace(part, out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return {"path": path, "output": out, "events": events, "bytes_in": os.path.getsize(path),
            "bytes_out": os.path.getsize(out), "seconds": time.perf_counter() - start}


def convert(paths: Union[PathLike, Iterable[PathLike]], out_dir: PathLike, *, to: str, client: Any = None,
            format: Optional[str] = None, chunk_size: int = 1_000_000, retries: int = 3,
            **writer_options: Any) -> list:
    """convert(paths, out_dir, *, to, client=None, format=None, chunk_size=1_000_000, retries=3, **writer_options) -> list[dict]

    Every recording converted to format ``to`` in ``out_dir`` (same stem, the
    format's usual extension), in parallel on a ``distributed.Client``: the
    one given, or a local cluster of one worker process per core, started
    and closed here. Dask's progress bar shows on a terminal. Each output is
    written under a temporary name and renamed when complete, so a failed
    task or a dead worker leaves no partial file under a target name, and
    Dask retries (``retries``) complete the job.

    Returns:
        One dict per recording, in the order given: path, output, events,
        bytes_in, bytes_out, seconds.
    """
    from morvel.io import FORMATS
    from morvel.io.registry import _check_format

    import distributed

    to = _check_format(to, writing=True)
    if not FORMATS[to].writes:
        raise ValueError(f"{to} has no writer")
    files = _paths(paths)
    out_dir = os.fspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    outs = [_output_name(p, out_dir, to) for p in files]
    if len(set(outs)) != len(outs):
        raise ValueError("two recordings would be converted to the same output name")
    own = client is None
    cluster = None
    if own:
        cluster = distributed.LocalCluster(n_workers=max(1, len(os.sched_getaffinity(0))), threads_per_worker=1,
                                           processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0")
        client = distributed.Client(cluster)
    try:
        futures = [client.submit(_convert_one, p, o, to, format, chunk_size, dict(writer_options), retries=retries,
                                 key=f"morvel-convert-{i}-{dask.base.tokenize(p, o, to)}", pure=False)
                   for i, (p, o) in enumerate(zip(files, outs))]
        if sys.stdout.isatty():
            distributed.progress(futures)
        return client.gather(futures)
    finally:
        if own:
            client.close()
            cluster.close()


# --- Parquet -------------------------------------------------------------------------


def _write_part(window: Window, out_dir: str, options: dict, recording: str) -> dict:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from morvel.io import to_arrow

    ev = _events(window, options)
    rec = _recording(window.path, window.format, options)
    batch = to_arrow(ev)
    meta = {b"morvel.source": window.path.encode(), b"morvel.format": rec.format.encode(),
            b"morvel.sensor_size": (b"" if rec.sensor_size is None else ("%dx%d" % tuple(rec.sensor_size)).encode()),
            b"morvel.t_start": str(window.t_start).encode(), b"morvel.t_end": str(window.t_end).encode()}
    table = pa.Table.from_batches([batch]).replace_schema_metadata(meta)
    folder = os.path.join(out_dir, f"recording={recording}")
    os.makedirs(folder, exist_ok=True)
    out = os.path.join(folder, f"part-{window.index:06d}.parquet")
    part = out + ".part"
    pq.write_table(table, part)
    os.replace(part, out)
    return {"path": window.path, "output": out, "events": len(ev)}


def to_parquet(paths: Union[PathLike, Iterable[PathLike]], out_dir: PathLike, *, window_us: Optional[int] = None,
               events_per_partition: Optional[int] = None, format: Optional[str] = None,
               **open_options: Any) -> list:
    """to_parquet(paths, out_dir, *, window_us=None, events_per_partition=None, format=None, **open_options) -> list[dict]

    The events as Parquet files, one per time window, in
    ``out_dir/recording=STEM/part-NNNNNN.parquet`` (Hive partitioning:
    ``pyarrow.dataset``, Polars, DuckDB and Spark read the recording name
    back as a column). Each file holds columns t, x, y, p and, in its schema
    metadata, morvel.source, morvel.format, morvel.sensor_size ("WxH") and
    its window. Runs on Dask's current scheduler (a ``distributed.Client`` if
    one is active); returns one dict per file written."""
    files = _paths(paths)
    out_dir = os.fspath(out_dir)
    stems = [os.path.splitext(os.path.basename(p))[0] for p in files]
    if len(set(stems)) != len(stems):
        raise ValueError("two recordings have the same name")
    tasks = []
    for path, stem in zip(files, stems):
        for w in windows(path, window_us=window_us, events_per_partition=events_per_partition, format=format,
                         **open_options):
            tasks.append(dask.delayed(_write_part)(w, out_dir, dict(open_options), stem))
    return list(dask.compute(*tasks))
