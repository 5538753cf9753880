"""AEDAT4 recordings: Aedat4Reader over files dv-processing writes (uncompressed and LZ4),
against dv-processing's own reading into NumPy, faery and evlib; write_aedat4 against
dv-processing's writer. The files are closed recordings (with a data table), so our reader
decodes them on every core the process may use; the peers use one."""

from __future__ import annotations

import atexit
import datetime
import os
import shutil
import tempfile

import numpy as np

from bench_raw import peak_rss_during, rss
from common import Case


def cases(quick: bool) -> list[Case]:
    from morvel.io.recordings import Aedat4Reader, write_aedat4
    from morvel.io.streaming import EVENT_DTYPE

    try:
        import dv_processing as dv
    except ImportError:
        return []  # the files are dv-processing's
    try:
        import faery
    except ImportError:
        faery = None
    try:
        import evlib
    except ImportError:
        evlib = None

    tmp = tempfile.mkdtemp(prefix="morvel-bench-aedat4-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    n = 2_000_000 if quick else 10_000_000
    store = dv.data.generate.uniformEventsWithinTimeRange(0, datetime.timedelta(seconds=10), (640, 480), n, 1)
    chunk = 1_000_000
    out: list[Case] = []
    for compression in ("NONE", "LZ4"):
        path = os.path.join(tmp, f"{compression}.aedat4")
        writer = dv.io.MonoCameraWriter(path, dv.io.MonoCameraWriter.EventOnlyConfig(
            "DVXplorer", (640, 480), dv.CompressionType.__members__[compression]))
        writer.writeEvents(store)
        del writer
        mb = os.path.getsize(path) / 1e6
        with open(path, "rb") as f:  # into the page cache
            while f.read(1 << 24):
                pass

        def ours(path=path):
            assert sum(len(c) for c in Aedat4Reader(path, chunk_size=chunk)) == n

        def ours_all(path=path):
            assert len(Aedat4Reader(path).read_all()) == n

        def dv_numpy(path=path):  # its batches, each converted to EVENT_DTYPE
            rec = dv.io.MonoCameraRecording(path)
            total = 0
            while rec.isRunning() and (batch := rec.getNextEventBatch()) is not None:
                a = batch.numpy()
                ev = np.empty(len(a), EVENT_DTYPE)
                ev["t"], ev["x"], ev["y"], ev["p"] = a["timestamp"], a["x"], a["y"], a["polarity"]
                total += len(ev)
            assert total == n

        faery_read = None if faery is None else (
            lambda path=path: sum(len(c) for c in faery.events_stream_from_file(path)) == n or None)
        evlib_read = None if evlib is None else (
            lambda path=path: evlib.load_events(path, sort=False).collect().height == n or None)

        def above(fn):  # MB, from the resident size just before the call
            base = rss()
            return (peak_rss_during(fn) - base) / 1e6

        note = (f"peak memory above the start: ours {above(ours):.0f} MB (chunks of {chunk:,} events = "
                f"{chunk * 13 / 1e6:.0f} MB, and per thread a run of packets read at once), "
                f"dv-processing {above(dv_numpy):.0f} MB")
        if faery_read:
            note += f", faery {above(faery_read):.0f} MB"
        if evlib_read:
            note += f", evlib {above(evlib_read):.0f} MB (whole file)"
        label = f"{compression.lower()} {mb:.0f} MB, {n / 1e6:.0f} M events"
        out.append(Case("aedat4 file", f"Aedat4Reader chunks, {label}", ours,
                        {"dv-processing": dv_numpy, "faery": faery_read, "evlib": evlib_read},
                        target=3, target_ref="dv-processing", units=(n, "ev"), repeat=3, note=note))
        out.append(Case("aedat4 file", f"Aedat4Reader.read_all, {label}", ours_all,
                        {"faery": faery_read, "evlib": evlib_read}, target=2, target_ref="faery",
                        units=(n, "ev"), repeat=3))

    ev = np.empty(n, EVENT_DTYPE)
    a = store.numpy()
    ev["t"], ev["x"], ev["y"], ev["p"] = a["timestamp"], a["x"], a["y"], a["polarity"]
    target = os.path.join(tmp, "written.aedat4")

    def dv_write():
        writer = dv.io.MonoCameraWriter(target, dv.io.MonoCameraWriter.EventOnlyConfig("DVXplorer", (640, 480)))
        writer.writeEvents(store)
        del writer

    out.append(Case("aedat4 file", f"write_aedat4 lz4, {n / 1e6:.0f} M events",
                    lambda: write_aedat4(target, ev, sensor_size=(640, 480)), {"dv-processing": dv_write},
                    units=(n, "ev"), repeat=3))
    return out
