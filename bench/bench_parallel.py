"""Decoding on every core: RAW files read whole against expelliarmus and faery, two threads
against one, time windows against decoding the file, the EVT 3.0 kernel's AVX-512 path against
its plain one, and the floor beside each row (a fresh array of the same output written once).

The input is a camera-like recording (the transforms bench's stream: moving blobs, bursts,
noise, hot pixels) of 20 M events at 1280x720 (quick: 1 M), written by our own write_raw, and
for the kernel rows also moving edges, which EVT 3.0 sends as vector words.
"""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile
import threading

import numpy as np

from bench_transforms import camera_events
from common import Case, best_time


def _floor_ms(n_bytes: int, repeat: int = 3) -> float:
    """A fresh array of n_bytes written once (first-touch page faults included)."""
    return best_time(lambda: np.empty(n_bytes, np.uint8).fill(1), None, repeat) * 1e3


def _copy_scaling(n_bytes: int) -> float:
    """What two threads gain on a fresh copy of n_bytes: the memory system's own limit."""
    src = np.ones(n_bytes, np.uint8)

    def one():
        np.copyto(np.empty(n_bytes, np.uint8), src)

    def two():
        dst = np.empty(n_bytes, np.uint8)
        half = n_bytes // 2
        t = threading.Thread(target=np.copyto, args=(dst[:half], src[:half]))
        t.start()
        np.copyto(dst[half:], src[half:])
        t.join()

    return best_time(one, None, 3) / best_time(two, None, 3)


def _floor_two_ms(n_bytes: int, repeat: int = 3) -> float:
    """A fresh array of n_bytes written once by two threads, a half each."""
    def two():
        dst = np.empty(n_bytes, np.uint8)
        half = n_bytes // 2
        t = threading.Thread(target=dst[:half].fill, args=(1,))
        t.start()
        dst[half:].fill(1)
        t.join()

    return best_time(two, None, repeat) * 1e3


def edge_events(n: int, dtype, seed: int = 1) -> np.ndarray:
    """n events of moving edges: runs of 2-19 neighbouring pixels of one row
    firing at one time and polarity, most of them (80%) present. What EVT 3.0
    cameras send as vector words."""
    rng = np.random.default_rng(seed)
    runs = n // 8
    t = np.sort(rng.integers(0, n // 2, runs))
    length = rng.integers(2, 20, runs)
    x0, y, p = rng.integers(0, 1260, runs), rng.integers(0, 720, runs), rng.integers(0, 2, runs)
    which = np.repeat(np.arange(runs), length)
    step = np.arange(len(which)) - np.repeat(np.cumsum(length) - length, length)
    keep = rng.random(len(which)) < 0.8
    which, step = which[keep][:n], step[keep][:n]
    ev = np.empty(len(which), dtype)
    ev["t"], ev["x"], ev["y"], ev["p"] = t[which], np.minimum(x0[which] + step, 1279), y[which], p[which]
    return ev


def repeated_raw(path: str, ev: np.ndarray, times: int) -> str:
    """An EVT 3.0 file of the time-sorted stream `times` times over, each time
    after the last: a long recording from a short stream."""
    from morvel.io.formats import RawWriter

    span = int(ev["t"][-1]) + 1
    with RawWriter(path, "EVT3", (1280, 720)) as w:
        for k in range(times):
            shifted = ev.copy()
            shifted["t"] += k * span
            w.write(shifted)
    return path


def cases(quick: bool) -> list[Case]:
    import faery
    from expelliarmus import Wizard

    from morvel.io import formats
    from morvel.io.formats import RawReader, decode_evt2, decode_evt3, encode_evt3, events_to_frames, write_raw
    from morvel.io.streaming import EVENT_DTYPE

    n = 1_000_000 if quick else 20_000_000
    ev = camera_events(n, EVENT_DTYPE)
    tmp = tempfile.mkdtemp(prefix="morvel-bench-parallel-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    out_bytes = n * EVENT_DTYPE.itemsize
    floor = _floor_ms(out_bytes)
    floor_two = _floor_two_ms(out_bytes)
    scaling = _copy_scaling(out_bytes)
    floor_note = f"floor (a fresh {out_bytes / 1e6:.0f} MB array written once): {floor:.1f} ms"
    two_note = (f"a fresh {out_bytes / 1e6:.0f} MB copy scales {scaling:.2f}x on 2 threads here; the array "
                f"written once takes {floor:.1f} ms on 1 thread, {floor_two:.1f} ms on 2")
    units = (n, "ev")
    out: list[Case] = []

    for fmt in ("EVT2", "EVT3"):
        path = os.path.join(tmp, f"{fmt}.raw")
        write_raw(path, ev, format=fmt, sensor_size=(1280, 720))
        mb = os.path.getsize(path) / 1e6
        with open(path, "rb") as f:  # into the page cache
            f.read()

        def ours(path=path):  # a new reader each time: its index is built within the call
            RawReader(path).read_all()

        one_ms = best_time(lambda path=path: RawReader(path).read_all(threads=1), None, 3) * 1e3
        wizard = Wizard(encoding=fmt.lower())
        out.append(Case(
            "parallel", f"RawReader.read_all {fmt} {mb:.0f} MB, all cores", ours,
            {"expelliarmus": lambda path=path, wizard=wizard: wizard.read(path),
             "faery": lambda path=path: np.concatenate(list(faery.events_stream_from_file(path)))},
            target=2, target_ref="expelliarmus", units=units, repeat=3,
            note=f"{floor_note}; one thread {one_ms:.1f} ms = {one_ms / floor:.2f}x the floor"))

    for fmt, decode in (("EVT2", decode_evt2), ("EVT3", decode_evt3)):
        raw = open(os.path.join(tmp, f"{fmt}.raw"), "rb").read()
        raw = raw[raw.index(b"% end\n") + 6:]
        if fmt == "EVT3" and not quick:
            raw = raw + raw[: (100_000_000 - len(raw)) // 2 * 2] if len(raw) < 100_000_000 else raw
        target = 1.6 if fmt == "EVT3" else scaling
        out.append(Case(
            "parallel", f"decode_evt{fmt[-1]} {len(raw) / 1e6:.0f} MB: 2 threads vs 1",
            lambda raw=raw, decode=decode: decode(raw, threads=2),
            {"threads=1": lambda raw=raw, decode=decode: decode(raw, threads=1)}, target=target, repeat=5,
            note=two_note))

    out.append(Case(
        "parallel", f"events_to_frames {n / 1e6:g} M ev, 10 frames: 2 threads vs 1",
        lambda: events_to_frames(ev, (1280, 720), 10, threads=2),
        {"threads=1": lambda: events_to_frames(ev, (1280, 720), 10, threads=1)}, target=scaling, repeat=5,
        note=two_note))

    # One thread: the EVT 3.0 kernel's wide (AVX-512) path against its plain
    # one, on the camera stream above and on moving edges (vector words).
    if formats._simd():
        def plain(fn):
            def run():
                was = formats._simd(False)
                try:
                    fn()
                finally:
                    formats._simd(was)
            return run

        edges = encode_evt3(edge_events(n, EVENT_DTYPE))
        camera = open(os.path.join(tmp, "EVT3.raw"), "rb").read()
        camera = camera[camera.index(b"% end\n") + 6:]
        for what, raw in (("camera stream", camera), ("moving edges (vector words)", edges)):
            events = len(decode_evt3(raw))
            decode = lambda raw=raw: decode_evt3(raw, threads=1)  # noqa: E731
            out.append(Case(
                "parallel", f"decode_evt3 one thread, {what}: AVX-512 path vs plain", decode,
                {"plain path": plain(decode)}, target=2, units=(events, "ev"), repeat=3,
                note=f"{len(raw) / 1e6:.0f} MB; {floor_note}"))

    # A 200 MB file (quick: 10 MB): the stream twice, the second time 10 s later.
    big = repeated_raw(os.path.join(tmp, "big.raw"), ev, 1 if quick else 2)
    mb = os.path.getsize(big) / 1e6
    with open(big, "rb") as f:
        f.read()
    reader = RawReader(big)
    middle = (int(ev["t"][-1]) + 1) // 2  # inside the first copy of the stream
    reader.read_time_window(middle, middle + 10_000)  # the index, kept by the reader
    out.append(Case(
        "parallel", f"read_time_window 10 ms in a {mb:.0f} MB EVT3 file", lambda: reader.read_time_window(middle, middle + 10_000),
        {"decoding the file (read_all)": lambda: RawReader(big).read_all()}, target=50, repeat=5,
        note="the reader's index built by its first call (next row)"))
    out.append(Case(
        "parallel", "  the same, first call of a new reader (indexes the file)",
        lambda: RawReader(big).read_time_window(middle, middle + 10_000),
        {"decoding the file (read_all)": lambda: RawReader(big).read_all()}, repeat=3))

    chunk = 100_000 if quick else 1_000_000
    buf = np.empty(chunk, EVENT_DTYPE)

    def into():
        r = RawReader(big)
        while r.read_into(buf):
            pass

    def chunks():
        for _ in RawReader(big, chunk_size=chunk):
            pass

    out.append(Case("parallel", f"read_into a reused {chunk:,}-event buffer", into,
                    {"iterating chunks of as many": chunks}, repeat=3))
    return out
