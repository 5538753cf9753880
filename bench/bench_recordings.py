"""Recordings through morvel.io.open: Prophesee DAT and RAW EVT 2.1 read to
EVENT_DTYPE, against the peers that read them (DAT: faery, expelliarmus;
EVT 2.1: evlib)."""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile

import numpy as np

from common import Case, peak_rss_during, rss


def _warm(path: str) -> None:
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass


def _evlib():
    try:
        import evlib
    except ImportError:
        return None
    return evlib


def cases(quick: bool) -> list[Case]:
    import morvel.io as mio
    from morvel.io.streaming import generate_random_events

    tmp = tempfile.mkdtemp(prefix="morvel-bench-rec-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    n = 2_000_000 if quick else 20_000_000
    np.random.seed(0)
    events = generate_random_events(n, (1280, 720), n // 2)
    chunk = 1_000_000
    out = []

    def ours_for(path):
        def ours():
            total = 0
            with mio.open(path, chunk_size=chunk) as rec:
                for c in rec:
                    total += len(c)
            assert total == n
        return ours

    evlib = _evlib()

    def evlib_for(path):
        if evlib is None:
            return None

        def peer():  # its own reader, whole file into a DataFrame
            df = evlib.load_events(path, sort=False)
            df = df.collect() if hasattr(df, "collect") else df
            assert len(df) == n
        return peer

    def memory_note(ours, peers):
        base = rss()
        note = f"peak memory above the start: ours {(peak_rss_during(ours) - base) / 1e6:.0f} MB (chunks of " \
               f"{chunk:,} events = {chunk * 13 / 1e6:.0f} MB)"
        for name, fn in peers.items():
            if fn is not None:
                note += f", {name} {(peak_rss_during(fn) - base) / 1e6:.0f} MB"
        return note

    # --- DAT
    dat = os.path.join(tmp, "big.dat")
    mio.write(dat, events, sensor_size=(1280, 720))
    _warm(dat)
    mb = os.path.getsize(dat) / 1e6
    peers = {}
    try:
        import faery

        def faery_peer():  # streams the file in chunks
            assert sum(len(c) for c in faery.events_stream_from_file(dat)) == n

        peers["faery"] = faery_peer
    except ImportError:
        peers["faery"] = None
    try:
        from expelliarmus import Wizard

        def expelliarmus_peer():  # the whole file into one array
            assert len(Wizard(encoding="dat").read(dat)) == n

        peers["expelliarmus"] = expelliarmus_peer
    except ImportError:
        peers["expelliarmus"] = None
    # evlib takes .dat files for text (its detection goes by the name), so it is no peer here.
    ours = ours_for(dat)
    out.append(Case("recordings", f"open() DAT {mb:.0f} MB, {n / 1e6:.0f} M events", ours, peers, target=2,
                    units=(n, "ev"), repeat=3, note=memory_note(ours, peers)))

    # --- EVT 2.1
    raw = os.path.join(tmp, "big21.raw")
    mio.write(raw, events, "evt2.1", sensor_size=(1280, 720))
    _warm(raw)
    mb = os.path.getsize(raw) / 1e6
    peers = {"evlib": evlib_for(raw)}
    ours = ours_for(raw)
    out.append(Case("recordings", f"open() RAW EVT 2.1 {mb:.0f} MB, {n / 1e6:.0f} M events", ours, peers,
                    target=2, units=(n, "ev"), repeat=3, note=memory_note(ours, peers)))

    # --- writing DAT: ours against the plain NumPy packing of the same records
    def write_ours():
        mio.write(os.path.join(tmp, "w.dat"), events, sensor_size=(1280, 720))

    def write_numpy():
        rec = np.empty(n, [("t", "<u4"), ("w", "<u4")])
        rec["t"] = events["t"]
        rec["w"] = events["x"].astype(np.uint32) | (events["y"].astype(np.uint32) << 14) | \
            (events["p"].astype(np.uint32) << 28)
        with open(os.path.join(tmp, "np.dat"), "wb") as f:
            f.write(b"% Version 2\n% Width 1280\n% Height 720\n\x0c\x08")
            rec.tofile(f)

    out.append(Case("recordings", f"write() DAT, {n / 1e6:.0f} M events (checked)", write_ours,
                    {"numpy (unchecked)": write_numpy}, units=(n, "ev"), repeat=3))
    return out
