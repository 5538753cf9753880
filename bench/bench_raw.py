"""RAW recordings: RawReader over a large EVT 3.0 file, and convert RAW -> HDF5."""

from __future__ import annotations

import atexit
import contextlib
import io
import os
import shutil
import tempfile

import numpy as np

from common import Case, peak_rss_during, rss


def cases(quick: bool) -> list[Case]:
    from morvel.io.__main__ import main as cli
    from morvel.io.formats import RawReader, RawWriter
    from morvel.io.h5 import H5EventWriter
    from morvel.io.streaming import generate_random_events

    tmp = tempfile.mkdtemp(prefix="morvel-bench-raw-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    path = os.path.join(tmp, "big.raw")
    pieces, per_piece = (2, 2_000_000) if quick else (8, 5_000_000)
    np.random.seed(0)
    with RawWriter(path, "EVT3", (1280, 720)) as w:
        for k in range(pieces):
            ev = generate_random_events(per_piece, (1280, 720), 5_000_000)
            ev["t"] += k * 5_000_000
            w.write(ev)
    n = pieces * per_piece
    mb = os.path.getsize(path) / 1e6
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass

    chunk = 1_000_000

    def ours():
        total = 0
        for c in RawReader(path, chunk_size=chunk):
            total += len(c)
        assert total == n

    try:
        from expelliarmus import Wizard

        def peer():
            assert len(Wizard(encoding="evt3").read(path)) == n
    except ImportError:
        peer = None

    try:
        import faery

        def faery_peer():  # streams the file in chunks, as RawReader does
            assert sum(len(c) for c in faery.events_stream_from_file(path)) == n
    except ImportError:
        faery_peer = None

    base = rss()
    ours_peak = peak_rss_during(ours) - base
    note = f"peak memory above the start: ours {ours_peak / 1e6:.0f} MB (chunks of {chunk:,} events = " \
           f"{chunk * 13 / 1e6:.0f} MB)"
    if peer:
        note += f", expelliarmus {(peak_rss_during(peer) - base) / 1e6:.0f} MB (whole file in memory)"
    if faery_peer:
        note += f", faery {(peak_rss_during(faery_peer) - base) / 1e6:.0f} MB"

    out = [Case("raw", f"RawReader EVT3 {mb:.0f} MB, {n / 1e6:.0f} M events", ours,
                {"expelliarmus": peer, "faery": faery_peer}, target=2, target_ref="expelliarmus",
                units=(n, "ev"), repeat=3, note=note)]

    h5_out = os.path.join(tmp, "out.h5")

    def convert():
        with contextlib.redirect_stdout(io.StringIO()):  # its one-line summary
            assert cli(["convert", path, h5_out, "--chunk-size", str(chunk)]) == 0

    def reader_plus_writer():
        with H5EventWriter(h5_out, sensor_size=(1280, 720), compression=None) as w:
            for c in RawReader(path, chunk_size=chunk):
                w.append(c)

    out.append(Case("raw", f"convert RAW -> HDF5 uncompressed, {mb:.0f} MB", convert,
                    {"RawReader + H5EventWriter": reader_plus_writer}, target=1 / 1.5, units=(n, "ev"), repeat=3))
    return out
