"""transforms: the representations and filters of morvel.io.transforms on a camera-like stream.

The stream: 10 M events (quick: 200k) at 1280x720, time-sorted over 10 s, from moving blobs
of a few pixels' spread (ON ahead of the motion, OFF behind), bursts (a pixel firing again
50-500 us later), 8 % uniform noise and 1 % from 20 hot pixels. Every function is measured
against its plain NumPy formulation (whole-array: np.bincount, np.maximum.at, boolean masks;
a per-event Python loop where NumPy cannot express the rule, on a slice), and against tonic's
and evlib's equivalents where they have one, all in the same run.

tonic gets its own kind of structured array (x, y int16, t int64, p int8) and evlib a Polars
DataFrame (t Duration[us], x, y Int16, polarity Int8 -1/+1), both built once outside the timing.
evlib's representations return long-format DataFrames (one row per non-empty cell), its
filters LazyFrames: the timed call includes the .collect(), not a densify step.

The representations have a row with threads=1, checked against tonic (NumPy, one core), and a
row with threads=2, checked against evlib where it has the representation (Polars uses every
core). tonic's refractory period and denoise filters are per-event Python loops: those rows run
ours and the peers on the first events only (100k; tonic's loop is linear in the events, so
the ratio is the per-event one and holds at 10 M), beside a full-size row against evlib.
"""

from __future__ import annotations

import numpy as np

from common import Case, best_time

WIDTH, HEIGHT = 1280, 720
DURATION_US = 10_000_000

TONIC_DTYPE = np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])


# --- a camera-like stream -------------------------------------------------------------------


def camera_events(n: int, dtype, seed: int = 0) -> np.ndarray:
    """n events, time-sorted over DURATION_US: moving blobs, bursts, noise and hot pixels."""
    rng = np.random.default_rng(seed)
    n_hot, n_noise = n // 100, n * 8 // 100
    n_blob = n - n_hot - n_noise
    n_first = n_blob * 10 // 13  # the rest of the blob events are bursts: a repeat of one of these
    n_burst = n_blob - n_first

    t = rng.integers(0, DURATION_US - 500, n_first, dtype=np.int64)
    k = 300
    cx, cy = rng.uniform(0, WIDTH, k), rng.uniform(0, HEIGHT, k)
    vx, vy = rng.uniform(-150, 150, k), rng.uniform(-100, 100, k)  # px/s
    sigma = rng.uniform(1.5, 8.0, k)
    blob = rng.integers(0, k, n_first)
    dx, dy = rng.standard_normal(n_first) * sigma[blob], rng.standard_normal(n_first) * sigma[blob]
    seconds = t / 1e6
    x = np.mod(np.rint(cx[blob] + vx[blob] * seconds + dx), WIDTH).astype(np.int64)
    y = np.mod(np.rint(cy[blob] + vy[blob] * seconds + dy), HEIGHT).astype(np.int64)
    p = (dx * vx[blob] + dy * vy[blob] > 0).astype(np.int64)  # ON ahead of the motion

    again = rng.integers(0, n_first, n_burst)  # bursts: the same pixel and polarity, soon after
    t = np.concatenate([t, t[again] + rng.integers(50, 500, n_burst)])
    x, y, p = (np.concatenate([a, a[again]]) for a in (x, y, p))

    hot_x, hot_y = rng.integers(0, WIDTH, 20), rng.integers(0, HEIGHT, 20)
    which = rng.integers(0, 20, n_hot)
    t = np.concatenate([t, rng.integers(0, DURATION_US, n_hot + n_noise)])
    x = np.concatenate([x, hot_x[which], rng.integers(0, WIDTH, n_noise)])
    y = np.concatenate([y, hot_y[which], rng.integers(0, HEIGHT, n_noise)])
    p = np.concatenate([p, rng.integers(0, 2, n_hot + n_noise)])

    order = np.argsort(t, kind="stable")
    ev = np.empty(n, dtype)
    ev["t"], ev["x"], ev["y"], ev["p"] = t[order], x[order], y[order], p[order]
    return ev


def as_tonic(ev: np.ndarray) -> np.ndarray:
    out = np.empty(len(ev), TONIC_DTYPE)
    for f in "txyp":
        out[f] = ev[f]
    return out


def as_evlib(ev: np.ndarray):
    import polars as pl

    return pl.DataFrame({
        "t": pl.Series("t", ev["t"].astype(np.int64).astype("timedelta64[us]")),
        "x": pl.Series("x", ev["x"].astype(np.int16)),
        "y": pl.Series("y", ev["y"].astype(np.int16)),
        "polarity": pl.Series("polarity", np.where(ev["p"] > 0, 1, -1).astype(np.int8)),
    })


# --- plain NumPy formulations ------------------------------------------------------------


def pixel_index(ev, width):
    return ev["y"].astype(np.int64) * width + ev["x"]


def numpy_voxel_grid(ev, width, height, n_bins):
    t = ev["t"].astype(np.int64)
    t0, t1 = int(t.min()), int(t.max())
    tau = (n_bins - 1) * (t - t0) / max(t1 - t0, 1) if t1 > t0 else np.zeros(len(t))
    b = np.floor(tau).astype(np.int64)
    frac = tau - b
    v = np.where(ev["p"] > 0, 1.0, -1.0)
    cell = b * (width * height) + pixel_index(ev, width)
    size = n_bins * width * height
    grid = np.bincount(cell, v * (1 - frac), minlength=size)
    right = b + 1 < n_bins
    grid += np.bincount(cell[right] + width * height, (v * frac)[right], minlength=size)
    return grid.astype(np.float32).reshape(n_bins, height, width)


def numpy_time_surface(ev, width, height, tau_us, t_ref):
    keep = ev["t"] <= t_ref
    e = ev[keep]
    cell = (e["p"] > 0).astype(np.int64) * (width * height) + pixel_index(e, width)
    last = np.full(2 * width * height, -1, np.int64)
    np.maximum.at(last, cell, e["t"].astype(np.int64))
    seen = last >= 0
    out = np.zeros(2 * width * height, np.float32)
    out[seen] = np.exp(-(t_ref - last[seen]) / tau_us)
    return out.reshape(2, height, width)


def numpy_stacked_histogram(ev, width, height, n_bins, window_us, t_end, cutoff=255):
    t = ev["t"].astype(np.int64)
    keep = (t > t_end - window_us) & (t <= t_end)
    e, age = ev[keep], t_end - t[keep]
    b = n_bins - 1 - age * n_bins // window_us
    channel = (e["p"] > 0).astype(np.int64) * n_bins + b
    counts = np.bincount(channel * (width * height) + pixel_index(e, width), minlength=2 * n_bins * width * height)
    return np.minimum(counts, cutoff).astype(np.uint8).reshape(2 * n_bins, height, width)


def numpy_event_frames(ev, width, height, n_bins, t0, t1):
    t = ev["t"].astype(np.int64)
    keep = (t >= t0) & (t < t1)
    e = ev[keep]
    b = (t[keep] - t0) * n_bins // (t1 - t0)
    cell = (b * 2 + (e["p"] > 0)) * (width * height) + pixel_index(e, width)
    counts = np.bincount(cell, minlength=n_bins * 2 * width * height)
    return counts.astype(np.int32).reshape(n_bins, 2, height, width)


def numpy_count_image(ev, width, height):
    cell = (ev["p"] > 0).astype(np.int64) * (width * height) + pixel_index(ev, width)
    return np.bincount(cell, minlength=2 * width * height).astype(np.int32).reshape(2, height, width)


def numpy_crop(ev, x0, y0, w, h):
    x, y = ev["x"], ev["y"]
    out = ev[(x >= x0) & (x < x0 + w) & (y >= y0) & (y < y0 + h)]
    out["x"] -= x0
    out["y"] -= y0
    return out


def numpy_hot_pixels(ev, width, height, threshold):
    counts = np.bincount(pixel_index(ev, width), minlength=width * height)
    median = np.median(counts[counts > 0])
    hot = np.flatnonzero(counts > threshold * median)
    return np.stack([hot % width, hot // width], axis=1).astype(np.int64)


def numpy_drop_pixels(ev, pixels, width, height):
    bad = np.zeros((height, width), bool)
    bad[pixels[:, 1], pixels[:, 0]] = True
    return ev[~bad[ev["y"], ev["x"]]]


def numpy_downsample(ev, factor):
    out = ev.copy()
    out["x"] //= factor
    out["y"] //= factor
    return out


def numpy_flip(ev, size, axis):
    out = ev.copy()
    out[axis] = size - 1 - out[axis]
    return out


def python_refractory(ev, width, height, period_us):
    """The rule event by event: keep an event iff its pixel's last kept event is period_us or more before it."""
    last = [-1] * (width * height)
    keep = np.zeros(len(ev), bool)
    for i, (t, cell) in enumerate(zip(ev["t"].tolist(), pixel_index(ev, width).tolist())):
        kept = last[cell]
        if kept < 0 or t >= kept + period_us:
            keep[i] = True
            last[cell] = t
    return keep


def python_denoise(ev, width, height, window_us):
    """The rule event by event: keep an event iff one of its 8 neighbours' last event is less than window_us before it."""
    never = -(1 << 62)
    stride = width + 2  # a border of pixels that never fire stands for the neighbours outside the sensor
    last = [never] * (stride * (height + 2))
    around = (-stride - 1, -stride, -stride + 1, -1, 1, stride - 1, stride, stride + 1)
    keep = np.zeros(len(ev), bool)
    cells = ((ev["y"].astype(np.int64) + 1) * stride + ev["x"] + 1).tolist()
    for i, (t, cell) in enumerate(zip(ev["t"].tolist(), cells)):
        for d in around:
            tn = last[cell + d]
            if tn <= t < tn + window_us:
                keep[i] = True
                break
        last[cell] = t
    return keep


# --- peers ---------------------------------------------------------------------------------


def _tonic():
    try:
        import tonic.functional
        import tonic.transforms
    except ImportError:
        return None
    return tonic


def _evlib():
    try:
        import evlib.filtering
        import evlib.representations
        import polars  # noqa: F401
    except ImportError:
        return None
    return evlib


def _if(peer, fn):
    """fn when the peer is installed, else None (the table says "not installed")."""
    return fn if peer is not None else None


def _differs(ours, ref, what: str = "the NumPy formulation", tol: float | None = None) -> str:
    """'' when ours matches ref (exactly, or within tol), else a short account for the note."""
    ours, ref = np.asarray(ours), np.asarray(ref)
    if ours.shape != ref.shape:
        return f"DIFFERS from {what}: shape {ours.shape}, {what} {ref.shape}"
    if ref.dtype.names:
        names = ref.dtype.names
        if ours.dtype.names != names:
            return f"DIFFERS from {what}: fields {ours.dtype.names}"
        bad = {f: int(np.count_nonzero(ours[f] != ref[f])) for f in names}
        bad = {f: k for f, k in bad.items() if k}
        return f"DIFFERS from {what} in " + ", ".join(f"{k} {f}" for f, k in bad.items()) if bad else ""
    note = "" if ours.dtype == ref.dtype else f"dtype {ours.dtype} (expected {ref.dtype}); "
    if tol is None:
        bad = int(np.count_nonzero(ours != ref))
    else:
        bad = int(np.count_nonzero(~np.isclose(ours.astype(np.float64), ref, rtol=tol, atol=tol)))
    if bad:
        return f"{note}DIFFERS from {what} in {bad} of {ref.size} values"
    return note.rstrip("; ")


def _note(*parts: str) -> str:
    return "; ".join(p for p in parts if p)


def cases(quick: bool) -> list[Case]:
    from morvel.io.streaming import EVENT_DTYPE
    from morvel.io.transforms import (Denoise, Refractory, count_image, crop, denoise, downsample, drop_pixels,
                                      event_frames, flip, hot_pixels, polarity, refractory, stacked_histogram,
                                      time_slice, time_surface, voxel_grid)

    n = 200_000 if quick else 10_000_000
    n_slice = 20_000 if quick else 100_000  # for the per-event Python loops
    chunk = 10_000 if quick else 100_000  # the streaming filters' pieces
    size, s3 = (WIDTH, HEIGHT), (WIDTH, HEIGHT, 2)
    ev = camera_events(n, EVENT_DTYPE)
    tev = as_tonic(ev)  # tonic's kind of array, also the input of the "other dtype" time_slice row
    tonic, evlib = _tonic(), _evlib()
    df = as_evlib(ev) if evlib else None
    t_first, t_last = int(ev["t"][0]), int(ev["t"][-1])
    label = f"{n / 1e6:g} M ev"
    units = (n, "ev")
    mb = ev.nbytes / 1e6
    copy_ms = best_time(ev.copy, None, 3) * 1e3
    copy_note = f"copying the {mb:.0f} MB input takes {copy_ms:.1f} ms here"
    out: list[Case] = []

    # --- representations: a row at 1 thread (target: tonic) and one at 2 (target: evlib) ------------------------

    def representation(name, ours, refs, tonic_ref, evlib_ref, check, note="", tol=None):
        """ours(threads) -> array; check: the NumPy formulation's array (the first ref's result)."""
        agree = _differs(ours(2), check, tol=tol)
        if not np.array_equal(ours(1), ours(2)):
            agree = _note(agree, "threads=1 and threads=2 DIFFER")
        for threads in (1, 2):
            if threads == 1:
                ref, target = (tonic_ref, 10) if tonic_ref else (evlib_ref, 2)
            else:
                ref, target = (evlib_ref, 2) if evlib_ref else (tonic_ref, 10)
            out.append(Case("transforms", f"{name}, threads={threads}", lambda th=threads: ours(th), refs,
                            target=target, target_ref=ref, units=units, repeat=3,
                            note=_note(agree, note) if threads == 1 else
                            ("Polars runs on both cores" if evlib_ref and refs.get(evlib_ref) else "")))

    n_bins = 10
    representation(
        f"voxel_grid {label}, {n_bins} bins",
        lambda th: voxel_grid(ev, size, n_bins, threads=th),
        {"numpy bincount": lambda: numpy_voxel_grid(ev, WIDTH, HEIGHT, n_bins),
         "tonic ToVoxelGrid": _if(tonic, lambda: tonic.transforms.ToVoxelGrid(s3, n_bins)(tev)),
         "evlib": _if(evlib, lambda: evlib.representations.create_voxel_grid(df, HEIGHT, WIDTH, n_bins))},
        "tonic ToVoxelGrid", "evlib", numpy_voxel_grid(ev, WIDTH, HEIGHT, n_bins), tol=1e-5,
        note="tonic: float64 (bins, 1, H, W) and t scaled by bins, not bins - 1 (its grid is ours with a bin more, "
             "less the last); evlib: create_voxel_grid, long format (x, y, time_bin, contribution)")

    tau_us, t_ref = 50_000.0, t_last + 1  # tonic's one surface: dt = the span + 1, at the first t + dt
    dfi = df.with_columns(df["t"].dt.total_microseconds().alias("t")) if evlib else None  # see the note
    representation(
        f"time_surface {label}, tau 50 ms",
        lambda th: time_surface(ev, size, tau_us, t_ref=t_ref, threads=th),
        {"numpy maximum.at": lambda: numpy_time_surface(ev, WIDTH, HEIGHT, tau_us, t_ref),
         "tonic ToTimesurface": _if(tonic, lambda: tonic.transforms.ToTimesurface(s3, dt=t_ref - t_first,
                                                                                 tau=tau_us)(tev)),
         "evlib": _if(evlib, lambda: evlib.representations.time_surface(dfi, HEIGHT, WIDTH, tau=tau_us))},
        "tonic ToTimesurface", "evlib", numpy_time_surface(ev, WIDTH, HEIGHT, tau_us, t_ref), tol=1e-5,
        note="tonic: ToTimesurface with dt = the span + 1 (one float64 surface, at t_ref = max t + 1); evlib: "
             "time_surface (t_ref = max t, long format; it fails on a Duration t, so it gets an Int64 t column)")

    window = DURATION_US  # every event counts: 10 bins of 1 s
    t64, x64, y64, p64 = (ev[f].astype(np.int64) for f in "txyp")
    rows, cols = np.arange(HEIGHT, dtype=np.int64), np.arange(WIDTH, dtype=np.int64)
    grid = np.array([t_last], np.int64)
    representation(
        f"stacked_histogram {label}, {n_bins} bins over 10 s",
        lambda th: stacked_histogram(ev, size, n_bins, window, threads=th),
        {"numpy bincount": lambda: numpy_stacked_histogram(ev, WIDTH, HEIGHT, n_bins, window, t_last),
         "evlib (Rust)": _if(evlib, lambda: evlib.representations_rs.stacked_histogram_dense(
             t64, x64, y64, p64, grid, window, n_bins, 255, rows, cols, HEIGHT, WIDTH)),
         "evlib Polars": _if(evlib, lambda: evlib.representations.create_stacked_histogram(
             df, HEIGHT, WIDTH, bins=n_bins, window_duration_ms=window / 1000))},
        None, "evlib (Rust)", numpy_stacked_histogram(ev, WIDTH, HEIGHT, n_bins, window, t_last),
        note="no tonic equivalent; evlib (Rust): representations_rs.stacked_histogram_dense (RVT's, dense uint8, "
             "one thread, int64 columns); evlib Polars: create_stacked_histogram, long format, no cutoff")

    frame_us = DURATION_US // n_bins
    representation(
        f"event_frames {label}, {n_bins} bins of 1 s",
        lambda th: event_frames(ev, size, n_bins=n_bins, t_range=(0, DURATION_US), threads=th),
        {"numpy bincount": lambda: numpy_event_frames(ev, WIDTH, HEIGHT, n_bins, 0, DURATION_US),
         "tonic ToFrame": _if(tonic, lambda: tonic.transforms.ToFrame(s3, time_window=frame_us, start_time=0,
                                                                      end_time=DURATION_US)(tev)),
         "evlib": _if(evlib, lambda: evlib.representations.create_event_frame(df, HEIGHT, WIDTH, n_time_bins=n_bins))},
        "tonic ToFrame", "evlib", numpy_event_frames(ev, WIDTH, HEIGHT, n_bins, 0, DURATION_US),
        note="tonic: ToFrame(time_window=1 s, start_time=0, end_time=10 s), the same counts in int16; evlib: "
             "create_event_frame, bins of (max t - min t) // 10 from min t, long format")

    representation(
        f"count_image {label}",
        lambda th: count_image(ev, size, threads=th),
        {"numpy bincount": lambda: numpy_count_image(ev, WIDTH, HEIGHT),
         "tonic ToFrame": _if(tonic, lambda: tonic.transforms.ToFrame(s3, n_event_bins=1)(tev)),
         "evlib": _if(evlib, lambda: evlib.representations.event_histogram(df, HEIGHT, WIDTH))},
        "tonic ToFrame", "evlib", numpy_count_image(ev, WIDTH, HEIGHT),
        note="tonic: ToFrame(n_event_bins=1), the same counts in int16 (1, 2, H, W); evlib: event_histogram, "
             "long format (x, y, polarity, count, t sum)")


    # --- filters: one row against tonic, one against evlib ----------------------------------------------------

    def two_rows(name, ours, numpy_ref, tonic_ref, evlib_ref, check=None, tonic_note="", evlib_note="",
                 note="", row_units=units):
        """tonic_ref / evlib_ref: (name, callable or None) or None where the peer has no equivalent."""
        agree = "" if check is None else _differs(ours(), check)
        refs = dict(numpy_ref)
        if tonic_ref:
            refs[tonic_ref[0]] = tonic_ref[1]
            out.append(Case("transforms", name, ours, refs, target=10, target_ref=tonic_ref[0], units=row_units,
                            repeat=3, note=_note(agree, tonic_note, note)))
        if evlib_ref:
            out.append(Case("transforms", f"{name} vs evlib" if tonic_ref else name, ours,
                            {evlib_ref[0]: evlib_ref[1]} if tonic_ref else {**refs, evlib_ref[0]: evlib_ref[1]},
                            target=2, target_ref=evlib_ref[0], units=row_units, repeat=3,
                            note=_note(evlib_note, "" if tonic_ref else _note(agree, note))))

    x0, y0, w, h = (WIDTH - 640) // 2, (HEIGHT - 360) // 2, 640, 360  # tonic's CenterCrop box
    two_rows(f"crop {label} to the central 640x360", lambda: crop(ev, x0, y0, w, h),
             {"numpy mask": lambda: numpy_crop(ev, x0, y0, w, h)},
             ("tonic CenterCrop", _if(tonic, lambda: tonic.transforms.CenterCrop(s3, (w, h))(tev))),
             ("evlib filter_by_roi", _if(evlib, lambda: evlib.filtering.filter_by_roi(
                 df, x0, x0 + w - 1, y0, y0 + h - 1).collect())),
             check=numpy_crop(ev, x0, y0, w, h), note=copy_note,
             evlib_note="evlib: filter_by_roi, collected; x, y not shifted")

    a, b = DURATION_US * 2 // 10, DURATION_US * 7 // 10

    def numpy_searchsorted(events=ev):
        lo, hi = np.searchsorted(events["t"], (a, b))
        return events[lo:hi]

    view = time_slice(ev, a, b)
    two_rows(f"time_slice {label}, 2 s to 7 s (sorted: a view)", lambda: time_slice(ev, a, b),
             {"numpy searchsorted": numpy_searchsorted, "numpy mask": lambda: ev[(ev["t"] >= a) & (ev["t"] < b)]},
             ("tonic CropTime", _if(tonic, lambda: tonic.transforms.CropTime(min=a, max=b - 1)(tev))),
             ("evlib filter_by_time", _if(evlib, lambda: evlib.filtering.filter_by_time(
                 df, a / 1e6, (b - 1) / 1e6).collect())),
             check=numpy_searchsorted(), row_units=None,
             note="" if np.shares_memory(view, ev) else "NOT a view of the input",
             tonic_note="tonic: CropTime(min, max - 1), a boolean mask", evlib_note="evlib: filter_by_time, collected")

    def numpy_slice_convert():
        e = numpy_searchsorted(tev)
        c = np.empty(len(e), EVENT_DTYPE)
        for f in "txyp":
            c[f] = e[f]
        return c

    two_rows(f"time_slice {label}, 2 s to 7 s, from tonic's dtype", lambda: time_slice(tev, a, b),
             {"numpy searchsorted+astype": numpy_slice_convert},
             ("tonic CropTime", _if(tonic, lambda: tonic.transforms.CropTime(min=a, max=b - 1)(tev))), None,
             check=numpy_slice_convert(),
             tonic_note="input x, y int16, t int64, p int8 (sorted); ours returns EVENT_DTYPE, tonic its own dtype")

    period = 1000
    two_rows(f"refractory {label}, 1 ms", lambda: refractory(ev, size, period), {}, None,
             ("evlib filter_noise", _if(evlib, lambda: evlib.filtering.filter_noise(
                 df, refractory_period_us=period).collect())),
             evlib_note="evlib: filter_noise (Polars shift over x, y: compares with the last event, kept or not, "
                        "strict >, as tonic); per-event peers in the next row")
    part, tpart = ev[:n_slice], tev[:n_slice]
    slice_note = (f"all on the first {n_slice // 1000}k events: tonic's loop and the Python one cost the same per "
                  "event at any length, so the ratio holds at full size")
    keep = python_refractory(part, WIDTH, HEIGHT, period)
    two_rows(f"refractory first {n_slice // 1000}k ev, 1 ms", lambda: refractory(part, size, period),
             {"python loop": lambda: part[python_refractory(part, WIDTH, HEIGHT, period)]},
             ("tonic RefractoryPeriod", _if(tonic, lambda: tonic.transforms.RefractoryPeriod(delta=period)(tpart))),
             None, row_units=(n_slice, "ev"),
             note=_note(_differs(refractory(part, size, period, mask=True), keep, "the Python loop"), slice_note,
                        "tonic compares with the last event, kept or not, and uses a strict >"))

    pieces = [ev[i:i + chunk] for i in range(0, n, chunk)]

    def stream_case(stream, whole, name, param):
        """The streaming filter over the pieces, against one call of `whole` on all events."""
        def run():
            stream.reset()
            return [stream(c) for c in pieces]

        one = lambda: whole(ev, size, param)
        out.append(Case("transforms", f"{type(stream).__name__} {label} in {chunk // 1000}k-event pieces", run,
                        {f"{name}() one call": one}, units=units, repeat=3,
                        note=_differs(np.concatenate(run()), one(), f"{name}() in one call")))

    stream_case(Refractory(size, period), refractory, "refractory", period)

    window_us = 10_000
    out.append(Case("transforms", f"denoise {label}, 10 ms", lambda: denoise(ev, size, window_us), {},
                    units=units, repeat=3,
                    note="no full-size peer: tonic's Denoise is a per-event loop (next row), evlib has none"))
    keep = python_denoise(part, WIDTH, HEIGHT, window_us)
    two_rows(f"denoise first {n_slice // 1000}k ev, 10 ms", lambda: denoise(part, size, window_us),
             {"python loop": lambda: part[python_denoise(part, WIDTH, HEIGHT, window_us)]},
             ("tonic Denoise", _if(tonic, lambda: tonic.transforms.Denoise(filter_time=window_us)(tpart))), None,
             row_units=(n_slice, "ev"),
             note=_note(_differs(denoise(part, size, window_us, mask=True), keep, "the Python loop"), slice_note,
                        "tonic looks at 4 neighbours (ours 8) and starts every pixel at t = 0"))

    stream_case(Denoise(size, window_us), denoise, "denoise", window_us)

    threshold = 10.0
    hot = numpy_hot_pixels(ev, WIDTH, HEIGHT, threshold)
    counts = np.bincount(pixel_index(ev, WIDTH), minlength=WIDTH * HEIGHT)
    hz = threshold * np.median(counts[counts > 0]) / ((t_last - t_first) * 1e-6)  # tonic's threshold, per second
    two_rows(f"hot_pixels {label}", lambda: hot_pixels(ev, size, threshold=threshold),
             {"numpy bincount+median": lambda: numpy_hot_pixels(ev, WIDTH, HEIGHT, threshold)},
             ("tonic identify_hot_pixel", _if(tonic, lambda: tonic.functional.identify_hot_pixel(tev, hz))), None,
             check=hot, tonic_note=f"{len(hot)} pixels; tonic: histogram2d and a rate, {hz:.1f} Hz "
                                   "= 10 x the median count over the span")
    two_rows(f"hot_pixels + drop_pixels {label}", lambda: drop_pixels(ev, hot_pixels(ev, size, threshold=threshold)),
             {"numpy": lambda: numpy_drop_pixels(ev, numpy_hot_pixels(ev, WIDTH, HEIGHT, threshold), WIDTH, HEIGHT)},
             ("tonic DropPixel(hot_pixel_frequency)",
              _if(tonic, lambda: tonic.transforms.DropPixel(hot_pixel_frequency=hz)(tev))),
             ("evlib filter_hot_pixels", _if(evlib, lambda: evlib.filtering.filter_hot_pixels(df, 99.9).collect())),
             check=numpy_drop_pixels(ev, hot, WIDTH, HEIGHT),
             evlib_note="evlib: drops the pixels above the 99.9th percentile of the counts (a thousandth of the "
                        "pixels, not those above 10 x the median), collected")
    two_rows(f"drop_pixels {label}, {len(hot)} pixels", lambda: drop_pixels(ev, hot),
             {"numpy lookup table": lambda: numpy_drop_pixels(ev, hot, WIDTH, HEIGHT)},
             ("tonic DropPixel(coordinates)", _if(tonic, lambda: tonic.transforms.DropPixel(
                 coordinates=[(int(x), int(y)) for x, y in hot])(tev))), None,
             check=numpy_drop_pixels(ev, hot, WIDTH, HEIGHT), note=copy_note,
             tonic_note="tonic: one mask pass per pixel")

    two_rows(f"polarity {label}, ON", lambda: polarity(ev, 1), {"numpy mask": lambda: ev[ev["p"] != 0]}, None,
             ("evlib filter_by_polarity", _if(evlib, lambda: evlib.filtering.filter_by_polarity(df, 1).collect())),
             check=ev[ev["p"] != 0], note=copy_note, evlib_note="no tonic equivalent; evlib: collected")
    two_rows(f"downsample {label}, factor 2", lambda: downsample(ev, 2),
             {"numpy copy+floordiv": lambda: numpy_downsample(ev, 2)},
             ("tonic Downsample", _if(tonic, lambda: tonic.transforms.Downsample(spatial_factor=0.5)(tev))), None,
             check=numpy_downsample(ev, 2), note=copy_note,
             tonic_note="tonic: Downsample(spatial_factor=0.5), x, y times 0.5 and t through its time skew")
    for axis, size_axis, peer in (("x", WIDTH, "RandomFlipLR"), ("y", HEIGHT, "RandomFlipUD")):
        two_rows(f"flip {label}, axis {axis}", lambda axis=axis: flip(ev, size, axis),
                 {"numpy copy+subtract": lambda axis=axis, s=size_axis: numpy_flip(ev, s, axis)},
                 (f"tonic {peer}", _if(tonic, lambda peer=peer: getattr(tonic.transforms, peer)(s3, p=1.0)(tev))),
                 None, check=numpy_flip(ev, size_axis, axis), note=copy_note,
                 tonic_note=f"tonic: {peer}(p=1), a copy and one subtraction")
    return out
