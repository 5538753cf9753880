"""h5: whole-file read and write, chunked reading, the streaming writer and
time windows, against h5py alone and the plain NumPy formulations."""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile

import numpy as np

from common import Case


def cases(quick: bool) -> list[Case]:
    import h5py

    from morvel.io.h5 import H5EventReader, H5EventWriter, read_h5, write_h5
    from morvel.io.streaming import EVENT_DTYPE, generate_random_events

    out: list[Case] = []
    n = 1_000_000 if quick else 10_000_000
    label = f"{n / 1e6:g}M"
    # The file read lies in the page cache; files written go to memory (tmpfs)
    # where there is one, so the disk's write-back does not blur the
    # comparison of the libraries' own costs.
    tmp = tempfile.mkdtemp(prefix="morvel-bench-h5-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    out_dir = tempfile.mkdtemp(prefix="morvel-bench-h5-", dir=shm) if shm else tmp
    atexit.register(shutil.rmtree, out_dir, ignore_errors=True)
    events = generate_random_events(n, duration_us=n * 10)
    columns = {f: np.ascontiguousarray(events[f]) for f in "txyp"}
    types = {"t": np.uint64, "x": np.uint16, "y": np.uint16, "p": np.uint8}

    # A file in the page cache, uncompressed, as write_h5 lays it out.
    src = os.path.join(tmp, "events.h5")
    write_h5(src, events, compression=None)
    with open(src, "rb") as f:
        while f.read(1 << 24):
            pass
    mb = os.path.getsize(src) / 1e6

    # --- reading ---------------------------------------------------------------
    def h5py_columns():
        with h5py.File(src, "r") as f:
            g = f["events"]
            return [g[k][:] for k in "txyp"]

    def numpy_read():
        with h5py.File(src, "r") as f:
            g = f["events"]
            t = g["t"][:]
            ev = np.empty(len(t), dtype=EVENT_DTYPE)
            ev["t"] = t.astype(np.uint64)
            ev["x"] = g["x"][:].astype(np.uint16)
            ev["y"] = g["y"][:].astype(np.uint16)
            ev["p"] = g["p"][:].astype(np.uint8)
            return ev

    def numpy_chunks(chunk):
        with h5py.File(src, "r") as f:
            g = f["events"]
            t, x, y, p = (g[k] for k in "txyp")
            total = 0
            for s in range(0, len(t), chunk):
                e = min(s + chunk, len(t))
                ev = np.empty(e - s, dtype=EVENT_DTYPE)
                ev["t"] = t[s:e].astype(np.uint64)
                ev["x"] = x[s:e].astype(np.uint16)
                ev["y"] = y[s:e].astype(np.uint16)
                ev["p"] = p[s:e].astype(np.uint8)
                total += len(ev)
            return total

    def ours_iterate():
        total = 0
        for c in H5EventReader(src):
            total += len(c)
        assert total == n

    assert np.array_equal(read_h5(src), events)
    refs = {"h5py 4 columns": h5py_columns, "numpy fields": numpy_read}
    out.append(Case("h5", f"read_h5 {label} ({mb:.0f} MB)", lambda: read_h5(src), refs,
                    target=1 / 1.3, target_ref="h5py 4 columns", units=(n, "ev")))
    out.append(Case("h5", f"read_h5 {label} vs numpy", lambda: read_h5(src), {"numpy fields": numpy_read},
                    target=1.3, units=(n, "ev")))
    refs = {"h5py 4 columns": h5py_columns, "numpy fields, chunks of 50k": lambda: numpy_chunks(50_000)}
    out.append(Case("h5", f"H5EventReader {label}, chunks of 50k", ours_iterate, refs,
                    target=1 / 1.3, target_ref="h5py 4 columns", units=(n, "ev")))
    out.append(Case("h5", f"H5EventReader {label} vs numpy", ours_iterate,
                    {"numpy fields, chunks of 50k": lambda: numpy_chunks(50_000)}, target=1.3, units=(n, "ev")))

    # --- writing ---------------------------------------------------------------
    dst = os.path.join(out_dir, "out.h5")

    def h5py_write():
        with h5py.File(dst, "w") as f:
            g = f.create_group("events")
            for k in "txyp":
                g.create_dataset(k, data=columns[k], chunks=(min(n, 100_000),))

    def numpy_write():
        with h5py.File(dst, "w") as f:
            g = f.create_group("events")
            for k in "txyp":
                g.create_dataset(k, data=events[k].astype(types[k]), chunks=(min(n, 100_000),))
            g.attrs["n_events"] = n
            g.attrs["t_start"] = int(events["t"].min())
            g.attrs["t_end"] = int(events["t"].max())

    def ours_write():
        write_h5(dst, events, compression=None)

    out.append(Case("h5", f"write_h5 {label}, uncompressed", ours_write,
                    {"h5py 4 columns": h5py_write, "numpy astype": numpy_write},
                    target=1 / 1.3, target_ref="h5py 4 columns", units=(n, "ev")))
    out.append(Case("h5", f"write_h5 {label} vs numpy", ours_write, {"numpy astype": numpy_write},
                    target=1.3, units=(n, "ev")))

    piece = 100_000

    def ours_stream():
        with H5EventWriter(dst, compression=None) as w:
            for s in range(0, n, piece):
                w.append(events[s:s + piece])

    def numpy_stream():
        with h5py.File(dst, "w") as f:
            g = f.create_group("events")
            ds = {k: g.create_dataset(k, shape=(0,), maxshape=(None,), dtype=types[k], chunks=(100_000,))
                  for k in "txyp"}
            size = 0
            for s in range(0, n, piece):
                chunk = events[s:s + piece]
                for k in "txyp":
                    ds[k].resize((size + len(chunk),))
                    ds[k][size:] = chunk[k].astype(types[k])
                size += len(chunk)
            g.attrs["n_events"] = size

    out.append(Case("h5", f"H5EventWriter {label} in appends of 100k", ours_stream,
                    {"h5py 4 columns": h5py_write, "numpy resize+astype": numpy_stream},
                    target=1 / 1.3, target_ref="h5py 4 columns", units=(n, "ev")))
    out.append(Case("h5", f"H5EventWriter {label} vs numpy", ours_stream, {"numpy resize+astype": numpy_stream},
                    target=1.3, units=(n, "ev")))

    # --- time window -------------------------------------------------------------
    reader = H5EventReader(src)
    t = columns["t"]
    lo, hi = int(t[n // 3]), int(t[n // 3 + 1000])
    expected = int(np.searchsorted(t, hi) - np.searchsorted(t, lo))

    def count_single_reads() -> int:
        original = h5py.Dataset.__getitem__
        probes = 0

        def counting(self, key, *args, **kwargs):
            nonlocal probes
            if isinstance(key, (int, np.integer)):
                probes += 1
            return original(self, key, *args, **kwargs)

        h5py.Dataset.__getitem__ = counting
        try:
            got = reader.read_time_window(lo, hi)
        finally:
            h5py.Dataset.__getitem__ = original
        assert len(got) == expected
        return probes

    def numpy_window():
        with h5py.File(src, "r") as f:
            g = f["events"]
            ts = g["t"][:]
            a, b = np.searchsorted(ts, lo), np.searchsorted(ts, hi)
            ev = np.empty(b - a, dtype=EVENT_DTYPE)
            for k in "txyp":
                ev[k] = g[k][a:b]
            return ev

    probes = count_single_reads()
    bound = 2 * int(np.ceil(np.log2(n + 1)))
    out.append(Case("h5", f"read_time_window, {expected} of {label} events", lambda: reader.read_time_window(lo, hi),
                    {"h5py full t + searchsorted": numpy_window}, units=(expected, "ev"),
                    note=f"{probes} single-element reads (bound 2*ceil(log2(N+1)) = {bound})"))
    return out
