"""formats: EVT 2.0 / EVT 3.0 decoding, events to frames and rasters."""

from __future__ import annotations

import atexit
import mmap
import os
import shutil
import tempfile

import numpy as np

from common import Case


# --- synthetic camera streams ---------------------------------------------------------


def evt2_stream(n_words: int, seed: int = 0) -> bytes:
    """CD_ON / CD_OFF words with a time high every 32 words and a few others."""
    rng = np.random.default_rng(seed)
    w = np.empty(n_words, np.uint32)
    kind = rng.choice(np.array([0, 1, 0xA, 0xE], np.uint32), n_words, p=[0.49, 0.49, 0.01, 0.01])
    w[:] = kind << 28 | (np.arange(n_words, dtype=np.uint32) % 32 * 2) << 22  # monotonic times
    w |= rng.integers(0, 1280, n_words, dtype=np.uint32) << 11 | rng.integers(0, 720, n_words, dtype=np.uint32)
    highs = np.arange(0, n_words, 32)
    w[highs] = 0x8 << 28 | np.arange(len(highs), dtype=np.uint32)
    return w.astype("<u4").tobytes()


def evt3_stream(n_words: int, seed: int = 0) -> bytes:
    """Rows as a camera writes them: time low, y, then single x words or a base x with 12/8-bit vectors."""
    rng = np.random.default_rng(seed)
    pattern = np.array([0x6, 0x0, 0x2, 0x2, 0x2, 0x3, 0x4, 0x4, 0x5, 0x0, 0x2, 0x3, 0x4, 0x5, 0x0, 0x2], np.uint16)
    kind = np.resize(pattern, n_words)
    payload = rng.integers(0, 4096, n_words, dtype=np.uint16)
    sparse = rng.integers(0, 4096, n_words, dtype=np.uint16) & rng.integers(0, 4096, n_words, dtype=np.uint16)
    payload = np.where((kind == 4) | (kind == 5), sparse, payload)  # ~3 events per vector word
    payload = np.where(kind == 0, payload % 720, payload)
    w = kind << 12 | payload
    highs = np.arange(0, n_words, 64)
    w[highs] = 0x8000 | (np.arange(len(highs)) % 4096).astype(np.uint16)  # steadily rising, wrapping
    return w.astype("<u2").tobytes()


# --- plain NumPy formulations ---------------------------------------------------------------


def numpy_evt2(raw: bytes, dtype) -> np.ndarray:
    w = np.frombuffer(raw, "<u4")
    kind = w >> 28
    is_high = kind == 8
    high = (w[is_high] & 0x0FFFFFFF).astype(np.uint64)
    prev = np.concatenate([np.zeros(1, np.uint64), high[:-1]])
    wraps = np.cumsum(prev >= high + 2**27, dtype=np.uint64)
    base = np.concatenate([np.zeros(1, np.uint64), (wraps << np.uint64(34)) + (high << np.uint64(6))])
    cd = np.flatnonzero(kind < 2)
    words = w[cd]
    ev = np.empty(len(cd), dtype)
    ev["t"] = base[np.cumsum(is_high)[cd]] | (words >> 22 & 63)
    ev["x"] = words >> 11 & 2047
    ev["y"] = words & 2047
    ev["p"] = kind[cd]
    return ev


def numpy_evt3(raw: bytes, dtype) -> np.ndarray:
    w = np.frombuffer(raw, "<u2").astype(np.int64)
    kind, v = w >> 12, w & 0xFFF
    idx = np.arange(len(w))

    def last(mask):  # index of the last word with mask at or before each word, -1 if none
        at = np.where(mask, idx, -1)
        return np.maximum.accumulate(at)

    def fill(mask, values):
        at = last(mask)
        return np.where(at >= 0, values[np.maximum(at, 0)], 0)

    y = fill(kind == 0, v & 2047)
    # time: a changed time high resets time low; a drop of 2048 or more is a wrap
    is_high = kind == 8
    high = v[is_high]
    prev = np.concatenate([[0], high[:-1]])
    changed = np.zeros(len(w), bool)
    changed[is_high] = high != prev
    loops = np.cumsum(prev >= high + 2048)
    high_t = np.zeros(len(w), np.int64)
    high_t[is_high] = (loops << 24) + (high << 12)
    t = fill(is_high, high_t) + fill((kind == 6) | changed, np.where(kind == 6, v, 0))
    # vectors: base x from the last VECT_BASE_X, plus 12 / 8 for each vector word since
    step = np.where(kind == 4, 12, np.where(kind == 5, 8, 0))
    before = np.cumsum(step) - step
    base_at = last(kind == 3)
    safe = np.maximum(base_at, 0)
    base_x = np.where(base_at >= 0, (v[safe] & 2047) - before[safe], 0) + before
    polarity = fill(kind == 3, v >> 11)
    # one mask of up to 12 bits per event word (ADDR_X: a single bit at its own x)
    words = np.flatnonzero((kind == 2) | (kind == 4) | (kind == 5))
    k = kind[words]
    mask = np.where(k == 2, 1, np.where(k == 4, v[words], v[words] & 0xFF))
    x0 = np.where(k == 2, v[words] & 2047, base_x[words])
    p = np.where(k == 2, v[words] >> 11, polarity[words])
    row, bit = np.nonzero((mask.astype(np.uint16)[:, None] >> np.arange(12, dtype=np.uint16)) & 1)
    ev = np.empty(len(row), dtype)
    at = words[row]
    ev["t"] = t[at]
    ev["x"] = (x0[row] + bit) & 0xFFFF
    ev["y"] = y[at]
    ev["p"] = p[row]
    return ev


def numpy_frames(ev, width, height, n):
    frames = np.zeros((n, height, width), np.float32)
    t = ev["t"]
    t_min = t.min()
    b = ((t - t_min) * np.uint64(n) // np.uint64(max(t.max() - t_min, 1))).astype(np.int64).clip(0, n - 1)
    x, y = ev["x"].astype(np.int64), ev["y"].astype(np.int64)
    valid = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    np.add.at(frames, (b[valid], y[valid], x[valid]), 1.0)
    return frames


def numpy_raster(ev, n_neurons, bins):
    raster = np.zeros((bins, n_neurons), np.float32)
    t = ev["t"]
    t_min = t.min()
    b = ((t - t_min) * np.uint64(bins) // np.uint64(max(t.max() - t_min, 1))).astype(np.int64).clip(0, bins - 1)
    y, x = ev["y"].astype(np.int64), ev["x"].astype(np.int64)
    np.add.at(raster, (b, (x * (y.max() + 1) + y) % n_neurons), 1.0)
    return (raster > 0).astype(np.float32)


# --- peers --------------------------------------------------------------------------


def expelliarmus_reader(encoding: str):
    try:
        from expelliarmus import Wizard
    except ImportError:
        return None
    return lambda path: Wizard(encoding=encoding).read(path)


def tonic_frames(sensor_size, n_time_bins):
    try:
        import tonic.transforms
    except ImportError:
        return None
    return tonic.transforms.ToFrame(sensor_size=(*sensor_size, 2), n_time_bins=n_time_bins)


def decode_raw_file(path: str, decoder_class) -> np.ndarray:
    """A RAW file's events, as a reader would decode it: the file mapped, the words after its '%' header lines."""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        start = 0
        while mm[start:start + 1] == b"%":
            start = mm.find(b"\n", start) + 1
        with memoryview(mm) as whole, whole[start:] as words:
            return decoder_class().decode(words)


def cases(quick: bool) -> list[Case]:
    from morvel.io.formats import (EVENT_DTYPE, Evt2Decoder, Evt3Decoder, decode_evt2, decode_evt3, events_to_frames,
                                   events_to_raster)
    from morvel.io.streaming import generate_random_events

    out: list[Case] = []
    tmp = tempfile.mkdtemp(prefix="morvel-bench-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)

    # --- decoding -------------------------------------------------------------------
    n_words = 2_000_000 if quick else 20_000_000
    for name, make, decode, decoder_class, numpy_decode, header in [
        ("evt2", evt2_stream, decode_evt2, Evt2Decoder, numpy_evt2, b"% evt 2.0\n% format EVT2;width=1280;height=720\n"),
        ("evt3", evt3_stream, decode_evt3, Evt3Decoder, numpy_evt3, b"% evt 3.0\n% format EVT3;width=1280;height=720\n"),
    ]:
        raw = make(n_words)
        events = decode(raw)
        reference = numpy_decode(raw, EVENT_DTYPE)
        assert np.array_equal(events, reference), f"{name}: the NumPy formulation disagrees"
        mb = len(raw) / 1e6
        rate = f"{len(events) / 1e6:.1f} M events from {n_words / 1e6:.0f} M words ({mb:.0f} MB)"
        out.append(Case("formats", f"decode_{name} {n_words / 1e6:.0f} M words", lambda d=decode, r=raw: d(r),
                        {"numpy vectorised": lambda f=numpy_decode, r=raw: f(r, EVENT_DTYPE)},
                        target=20, units=(len(events), "ev"), repeat=3,
                        note=f"{rate}: {mb:.0f} MB in; input rate = events/s x {mb / len(events) * 1e6:.2f} B/ev"))

        path = os.path.join(tmp, f"stream_{name}.raw")
        with open(path, "wb") as f:
            f.write(header + raw)
        with open(path, "rb") as f:  # warm the page cache
            f.read()
        peer = expelliarmus_reader(name)
        note = ""
        if peer is not None:
            theirs = peer(path)
            if len(theirs) != len(events):
                note = f"; the peer gives {len(theirs)} events, ours {len(events)}"
            else:
                differ = {f: int(np.count_nonzero(theirs[f] != events[f])) for f in "txyp"}
                note = "; same events" if not any(differ.values()) else "; same count, the peer differs in " + ", ".join(
                    f"{v} {f}" for f, v in differ.items() if v)
        assert np.array_equal(decode_raw_file(path, decoder_class), events)
        out.append(Case("formats", f"RAW file -> {decoder_class.__name__} {mb:.0f} MB",
                        lambda c=decoder_class, p=path: decode_raw_file(p, c),
                        {"expelliarmus": (lambda p=path, r=peer: r(p)) if peer else None},
                        target=2, units=(mb, "MB"), repeat=3,
                        note=f"ours: mmap + {decoder_class.__name__}.decode, both from the page cache{note}" if peer else ""))

    # --- frames and rasters ---------------------------------------------------------------
    n_events = 1_000_000 if quick else 10_000_000
    ev = generate_random_events(n_events, (640, 480), 1_000_000)
    out.append(Case("formats", f"events_to_frames {n_events / 1e6:.0f} M ev, 640x480, 10 frames",
                    lambda: events_to_frames(ev, (640, 480), 10),
                    {"numpy np.add.at": lambda: numpy_frames(ev, 640, 480, 10)},
                    target=10, units=(n_events, "ev"), repeat=3))
    assert np.array_equal(events_to_frames(ev, (640, 480), 10), numpy_frames(ev, 640, 480, 10))

    tonic = tonic_frames((640, 480), 10)
    if tonic is not None:
        tonic_ev = np.empty(n_events, [("x", "<i8"), ("y", "<i8"), ("t", "<i8"), ("p", "<i8")])
        for f in "txyp":
            tonic_ev[f] = ev[f]
        tonic_case = lambda: tonic(tonic_ev)  # noqa: E731
    else:
        tonic_case = None
    out.append(Case("formats", f"events_to_frames {n_events / 1e6:.0f} M ev vs tonic ToFrame",
                    lambda: events_to_frames(ev, (640, 480), 10), {"tonic": tonic_case},
                    target=1, units=(n_events, "ev"), repeat=3,
                    note="tonic builds (10, 2, 480, 640) int16 frames, one channel per polarity" if tonic else ""))

    out.append(Case("formats", f"events_to_raster {n_events / 1e6:.0f} M ev, 1024 neurons, 100 bins",
                    lambda: events_to_raster(ev, 1024, 100),
                    {"numpy np.add.at": lambda: numpy_raster(ev, 1024, 100)},
                    target=10, units=(n_events, "ev"), repeat=3))
    assert np.array_equal(events_to_raster(ev, 1024, 100), numpy_raster(ev, 1024, 100))
    return out
