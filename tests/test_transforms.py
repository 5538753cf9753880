"""Event representations and filters of morvel.io.transforms, checked against plain NumPy
formulations written here and, where their definitions agree, against tonic and evlib."""

import math

import numpy as np
import pytest

from morvel.io import transforms as tr
from morvel.io.streaming import EVENT_DTYPE

SMALL = (64, 48)  # for the Python-loop formulations
LARGE = (1280, 720)
TOP = 2**64 - 1
SENSORED = {"voxel_grid", "time_surface", "stacked_histogram", "event_frames", "count_image",
            "refractory", "denoise", "hot_pixels", "flip", "Refractory", "Denoise"}
REPS = ("voxel_grid", "time_surface", "stacked_histogram", "event_frames", "count_image")


def pack(t, x, y, p):
    ev = np.empty(len(t), EVENT_DTYPE)
    ev["t"], ev["x"], ev["y"], ev["p"] = t, x, y, p
    return ev


def make(kind, n, sensor, seed=0, n_clusters=50, spread=3.0, span=10**6):
    """random: uniform and unsorted; camera: clustered around a few centres, time-sorted with
    ties; mid / top: camera events spanning 2**63 / ending at 2**64 - 1."""
    rng = np.random.default_rng(seed)
    W, H = sensor
    if kind == "empty":
        return pack([], [], [], [])
    if kind == "single":
        return pack([123], [W - 1], [H - 1], [1])
    if kind in ("random", "same_t"):
        t = np.full(n, 5000, np.uint64) if kind == "same_t" else rng.integers(0, span, n, np.uint64)
        return pack(t, rng.integers(0, W, n), rng.integers(0, H, n), rng.integers(0, 2, n))
    c = rng.integers(0, n_clusters, n)
    cx, cy = rng.integers(0, W, n_clusters), rng.integers(0, H, n_clusters)
    x = np.clip(np.rint(cx[c] + rng.normal(0, spread, n)), 0, W - 1)
    y = np.clip(np.rint(cy[c] + rng.normal(0, spread, n)), 0, H - 1)
    cum = np.cumsum(rng.exponential(span / n, n).astype(np.uint64))
    t = {"camera": cum, "mid": np.uint64(2**63) - cum[n // 2] + cum,
         "top": np.uint64(TOP) - (cum[-1] - cum)}[kind]
    return pack(t, x, y, rng.integers(0, 2, n))


def _pix(ev):
    return ev["x"].astype(np.int64), ev["y"].astype(np.int64), (ev["p"] != 0).astype(np.int64)


def _out(ev, keep, mask):
    return keep if mask else ev[keep]


class Ref:
    """The expected results, straight from the definitions (Python ints for time arithmetic)."""

    @staticmethod
    def voxel_grid(ev, sensor, n_bins, t_range=None):
        W, H = sensor
        out = np.zeros(n_bins * H * W)
        if len(ev):
            t = ev["t"].astype(object)
            t0, t1 = t_range if t_range is not None else (t.min(), t.max())
            keep = (t >= t0) & (t <= t1)
            x, y, p = _pix(ev[keep])
            d, span = (t[keep] - t0) * (n_bins - 1), t1 - t0
            lo = (d // span if span else d * 0).astype(np.int64)
            frac = (d % span / span if span else d * 0).astype(float)
            v, cell = np.where(p == 1, 1.0, -1.0), y * W + x
            np.add.at(out, lo * H * W + cell, v * (1 - frac))
            hi = lo + 1 < n_bins
            np.add.at(out, (lo[hi] + 1) * H * W + cell[hi], (v * frac)[hi])
        return out.reshape(n_bins, H, W).astype(np.float32)

    @staticmethod
    def time_surface(ev, sensor, tau_us, t_ref=None, per_polarity=True):
        W, H = sensor
        C = 2 if per_polarity else 1
        last, seen = np.zeros(C * H * W, np.uint64), np.zeros(C * H * W, bool)
        if len(ev):
            t_ref = int(ev["t"].max()) if t_ref is None else t_ref
            keep = ev["t"] <= t_ref
            x, y, p = _pix(ev[keep])
            idx = ((p if per_polarity else 0 * p) * H + y) * W + x
            np.maximum.at(last, idx, ev["t"][keep])
            seen[idx] = True
            dt = np.where(seen, np.uint64(t_ref) - last, 0).astype(float)
        out = np.where(seen, np.exp(-dt / tau_us), 0.0) if len(ev) else np.zeros(C * H * W)
        return out.reshape(C, H, W).astype(np.float32)

    @staticmethod
    def stacked_histogram(ev, sensor, n_bins, window_us, t_end=None, count_cutoff=255):
        W, H = sensor
        out = np.zeros(2 * n_bins * H * W, np.int64)
        if len(ev):
            t = ev["t"].astype(object)
            d = (t.max() if t_end is None else t_end) - t
            keep = (d >= 0) & (d < window_us)
            x, y, p = _pix(ev[keep])
            b = (n_bins - 1 - d[keep] * n_bins // window_us).astype(np.int64)
            np.add.at(out, ((p * n_bins + b) * H + y) * W + x, 1)
        return np.minimum(out, count_cutoff).astype(np.uint8).reshape(2 * n_bins, H, W)

    @staticmethod
    def event_frames(ev, sensor, t_edges=None, n_bins=None, t_range=None, per_polarity=True):
        W, H = sensor
        t = ev["t"].astype(object)
        if t_edges is not None:
            E = np.array([max(math.ceil(e), 0) for e in t_edges], np.uint64)
            K = len(E) - 1
            k = np.searchsorted(E, ev["t"], side="right") - 1
            valid = (k >= 0) & (k < K)
        else:
            t0, t1 = t_range if t_range is not None else (t.min(), t.max() + 1)
            K, k = n_bins, np.zeros(len(ev), np.int64)
            valid = (t >= t0) & (t < t1)
            k[valid] = ((t[valid] - t0) * n_bins // (t1 - t0)).astype(np.int64)
        x, y, p = _pix(ev[valid])
        C = 2 if per_polarity else 1
        out = np.zeros(K * C * H * W, np.int32)
        np.add.at(out, ((k[valid] * C + (p if per_polarity else 0)) * H + y) * W + x, 1)
        return out.reshape((K, C, H, W) if per_polarity else (K, H, W))

    @staticmethod
    def count_image(ev, sensor, per_polarity=True):
        W, H = sensor
        x, y, p = _pix(ev)
        out = np.zeros((2 if per_polarity else 1) * H * W, np.int32)
        np.add.at(out, ((p if per_polarity else 0) * H + y) * W + x, 1)
        return out.reshape((2, H, W) if per_polarity else (H, W))

    @staticmethod
    def hot_pixels(ev, sensor, threshold=10.0):
        W, H = sensor
        counts = np.bincount(ev["y"].astype(np.int64) * W + ev["x"], minlength=W * H)
        if not counts.any():
            return np.zeros((0, 2), np.int64)
        y, x = np.nonzero((counts > threshold * np.median(counts[counts > 0])).reshape(H, W))
        return np.stack([x, y], axis=1).astype(np.int64)

    @staticmethod
    def crop(ev, x0, y0, width, height, shift=True, mask=False):
        x, y, _ = _pix(ev)
        keep = (x >= x0) & (x < x0 + width) & (y >= y0) & (y < y0 + height)
        if mask:
            return keep
        res = ev[keep]
        if shift:
            res["x"] -= x0
            res["y"] -= y0
        return res

    @staticmethod
    def time_slice(ev, t_start, t_end, mask=False):
        return _out(ev, (ev["t"] >= max(t_start, 0)) & (ev["t"] < max(t_end, 0)), mask)

    @staticmethod
    def refractory(ev, sensor, period_us, mask=False):
        kept, keep = {}, np.zeros(len(ev), bool)
        for i, (t, x, y) in enumerate(zip(ev["t"].tolist(), ev["x"].tolist(), ev["y"].tolist())):
            if (x, y) not in kept or t >= kept[x, y] + period_us:
                keep[i], kept[x, y] = True, t
        return _out(ev, keep, mask)

    @staticmethod
    def denoise(ev, sensor, window_us, mask=False):
        last, keep = {}, np.zeros(len(ev), bool)
        near = [(dx, dy) for dx in (-1, 0, 1) for dy in (-1, 0, 1) if dx or dy]
        for i, (t, x, y) in enumerate(zip(ev["t"].tolist(), ev["x"].tolist(), ev["y"].tolist())):
            tn = [last.get((x + dx, y + dy)) for dx, dy in near]
            keep[i] = any(u is not None and u <= t < u + window_us for u in tn)
            last[x, y] = t
        return _out(ev, keep, mask)

    @staticmethod
    def drop_pixels(ev, pixels, mask=False):
        pix = np.asarray(pixels, np.int64).reshape(-1, 2)
        keep = ~np.isin(ev["x"].astype(np.int64) * 65536 + ev["y"], pix[:, 0] * 65536 + pix[:, 1])
        return _out(ev, keep, mask)

    @staticmethod
    def polarity(ev, p, mask=False):
        return _out(ev, (ev["p"] != 0) == bool(p), mask)

    @staticmethod
    def downsample(ev, factor):
        res = ev.copy()
        res["x"] //= factor
        res["y"] //= factor
        return res

    @staticmethod
    def flip(ev, sensor, axis):
        res = ev.copy()
        f, size = {"x": ("x", sensor[0]), "y": ("y", sensor[1])}[axis]
        res[f] = size - 1 - res[f].astype(np.int64)
        return res

    Refractory = staticmethod(lambda sensor, period: lambda ev, mask=False: Ref.refractory(ev, sensor, period, mask))
    Denoise = staticmethod(lambda sensor, window: lambda ev, mask=False: Ref.denoise(ev, sensor, window, mask))


def call(mod, name, ev, sensor, args=(), kw={}):
    if name in ("Refractory", "Denoise"):
        return getattr(mod, name)(sensor, *args)(ev, **kw)
    return getattr(mod, name)(ev, *((sensor,) if name in SENSORED else ()), *args, **kw)


def check_array(got, exp):
    assert type(got) is np.ndarray and got.dtype == exp.dtype and got.shape == exp.shape
    assert got.flags.c_contiguous and got.flags.writeable and got.dtype.isnative
    if exp.dtype.kind == "f":  # voxel sums are float32 in stream order: a few ulps per event added
        np.testing.assert_allclose(got, exp, rtol=1e-4, atol=1e-5)
    else:
        np.testing.assert_array_equal(got, exp)


def check_events(got, exp):
    assert type(got) is np.ndarray and got.dtype == EVENT_DTYPE and got.shape == exp.shape
    for f in "txyp":
        np.testing.assert_array_equal(got[f], exp[f], err_msg=f)


def cases(*rows):
    return [pytest.param(name, args, kw, id=f"{name}-{i}") for i, (name, args, kw) in enumerate(rows)]


REP_CASES = cases(
    ("voxel_grid", (5,), {}), ("voxel_grid", (1,), {}), ("voxel_grid", (16,), {"t_range": (200_000, 700_000)}),
    ("voxel_grid", (3,), {"t_range": (300_000, 300_000)}), ("voxel_grid", (4,), {"t_range": (0, 3_000_000)}),
    ("time_surface", (1e3,), {}), ("time_surface", (5e4,), {"per_polarity": False}),
    ("time_surface", (2e4,), {"t_ref": 500_000}), ("time_surface", (1e4,), {"t_ref": 3_000_000}),
    ("stacked_histogram", (4, 100_000), {}), ("stacked_histogram", (1, 1), {}),
    ("stacked_histogram", (6, 2_000_000), {}),
    ("stacked_histogram", (3, 50_000), {"t_end": 600_000, "count_cutoff": 2}),
    ("stacked_histogram", (7, 333_333), {"t_end": 999_999, "count_cutoff": 0}),
    ("event_frames", (), {"t_edges": [0, 250_000, 500_000, 1_000_000]}),
    ("event_frames", (), {"t_edges": [-5.5, 1e5 + 0.5, 1e5 + 0.5, 7.7e5]}),
    ("event_frames", (), {"t_edges": np.arange(0, 1_000_001, 100_000, dtype=np.uint64), "per_polarity": False}),
    ("event_frames", (), {"n_bins": 7, "t_range": (100_000, 900_000)}),
    ("event_frames", (), {"n_bins": 3}), ("event_frames", (), {"n_bins": 1, "per_polarity": False}),
    ("count_image", (), {}), ("count_image", (), {"per_polarity": False}),
    ("hot_pixels", (), {}), ("hot_pixels", (), {"threshold": 1.0}), ("hot_pixels", (), {"threshold": 3.0}),
)
KINDS = ["random", "camera", "mid", "top", "empty", "single", "same_t"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name, args, kw", REP_CASES)
def test_representations_match_reference(name, args, kw, kind):
    ev = make(kind, 20_000, LARGE, seed=len(args) + len(kw))
    if kind == "empty" and name == "event_frames" and "t_range" not in kw and "t_edges" not in kw:
        pytest.skip("the bin range of n_bins alone comes from the data")
    check_array(call(tr, name, ev, LARGE, args, kw), call(Ref, name, ev, LARGE, args, kw))


FILTER_CASES = cases(
    ("crop", (10, 5, 30, 20), {}), ("crop", (0, 0, 64, 48), {"shift": False}),
    ("crop", (60, 40, 100, 100), {}), ("crop", (5, 5, 0, 10), {}),
    ("time_slice", (200_000, 600_000), {}), ("time_slice", (-5, 300_000), {}),
    ("time_slice", (600_000, 200_000), {}), ("time_slice", (-10, -1), {}),
    ("time_slice", (2**63, TOP), {}), ("time_slice", (TOP - 100_000, TOP), {}),
    ("polarity", (0,), {}), ("polarity", (1,), {}),
    ("drop_pixels", (np.array([[0, 0], [63, 47], [10, 10]]),), {}),
    ("drop_pixels", (np.zeros((0, 2), np.int64),), {}), ("drop_pixels", ([[5, 5], [5, 5], [70, 1]],), {}),
    ("downsample", (1,), {}), ("downsample", (2,), {}), ("downsample", (7,), {}), ("downsample", (100,), {}),
    ("flip", ("x",), {}), ("flip", ("y",), {}),
    *[("refractory", (p,), {}) for p in (0, 1, 1000, 10_000, 2**62)],
    *[("denoise", (w,), {}) for w in (1, 1000, 10_000, 2**62)],
)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name, args, kw", FILTER_CASES)
def test_filters_match_reference(name, args, kw, kind):
    ev = make(kind, 3000, SMALL, seed=3, n_clusters=10, spread=2.0)
    got, exp = call(tr, name, ev, SMALL, args, kw), call(Ref, name, ev, SMALL, args, kw)
    check_events(got, exp)
    if name == "time_slice" and kind != "random" and len(got):
        assert np.shares_memory(got, ev)  # sorted input: a view
    elif len(ev):
        assert not np.shares_memory(got, ev)
    if name not in ("downsample", "flip"):
        m = call(tr, name, ev, SMALL, args, {**kw, "mask": True})
        check_array(m, call(Ref, name, ev, SMALL, args, {**kw, "mask": True}))
        assert m.dtype == np.bool_ and m.shape == (len(ev),)


@pytest.mark.parametrize("name, t, args, kw", [
    ("time_surface", [TOP - 1000, TOP], (100.0,), {}), ("time_surface", [TOP], (100.0,), {"t_ref": TOP}),
    ("voxel_grid", [TOP - 1000, TOP], (3,), {}), ("stacked_histogram", [TOP - 1000, TOP], (2, 1001), {}),
    ("event_frames", [TOP - 1000, TOP], (), {"n_bins": 2}), ("time_slice", [TOP - 1, TOP], (0, TOP), {}),
    ("refractory", [TOP - 10, TOP], (11,), {}), ("refractory", [TOP - 11, TOP], (11,), {}),
    ("refractory", [1, TOP], (TOP,), {}),
    ("Refractory", [TOP - 10, TOP], (11,), {}), ("denoise", [TOP - 5, TOP], (100,), {}),
])
def test_last_representable_time(name, t, args, kw):
    ev = pack(t, [3, 4][: len(t)], [3, 3][: len(t)], [0, 1][: len(t)])
    if name in ("refractory", "Refractory"):
        ev["x"] = 3
    got, exp = call(tr, name, ev, SMALL, args, kw), call(Ref, name, ev, SMALL, args, kw)
    (check_events if exp.dtype == EVENT_DTYPE else check_array)(got, exp)


def split(ev, rng, k=10):
    """Random chunking, always with an empty first chunk and some 1-event chunks."""
    n = len(ev)
    cuts = np.sort(np.concatenate([rng.integers(0, n + 1, k), [0, 0, 1, n // 2, n // 2 + 1, n, n]]))
    return [ev[a:b] for a, b in zip(cuts[:-1], cuts[1:])]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("name, arg, attr", [("Refractory", 1000, "period_us"), ("Denoise", 1000, "window_us")])
def test_streaming_filters_across_chunks(name, arg, attr, seed):
    rng = np.random.default_rng(seed)
    ev = make("camera" if seed % 2 else "top", 3000, SMALL, seed, n_clusters=10, spread=2.0)
    whole = call(Ref, name.lower(), ev, SMALL, (arg,), {"mask": True})
    f = getattr(tr, name)(SMALL, arg)
    assert f.sensor_size == SMALL and getattr(f, attr) == arg
    chunks = split(ev, rng)
    pieces = [f(c) for c in chunks]
    assert all(p.dtype == EVENT_DTYPE for p in pieces)
    check_events(np.concatenate(pieces), ev[whole])
    f.reset()
    chunks = split(ev, rng)
    masks = [f(c, mask=True) for c in chunks]
    assert all(m.dtype == np.bool_ and len(m) == len(c) for m, c in zip(masks, chunks))
    np.testing.assert_array_equal(np.concatenate(masks), whole)
    f.reset()
    np.testing.assert_array_equal(f(ev, mask=True), whole)
    np.testing.assert_array_equal(f(ev[:0], mask=True), np.zeros(0, bool))


def test_streaming_state_is_per_instance_and_reset_forgets_it():
    ev = pack([100, 150, 1200], [3, 3, 3], [4, 4, 4], [1, 0, 1])
    a, b = tr.Refractory(SMALL, 1000), tr.Refractory(SMALL, 1000)
    np.testing.assert_array_equal(a(ev[:1], mask=True), [True])
    np.testing.assert_array_equal(b(ev[1:2], mask=True), [True])  # b has no state from a
    np.testing.assert_array_equal(a(ev[1:], mask=True), [False, True])
    a.reset()
    np.testing.assert_array_equal(a(ev[1:2], mask=True), [True])
    d = tr.Denoise(SMALL, 100)
    nb = pack([10, 50], [5, 6], [5, 6], [0, 1])
    np.testing.assert_array_equal(d(nb[:1], mask=True), [False])
    d.reset()
    np.testing.assert_array_equal(d(nb[1:], mask=True), [False])


def test_hot_pixels_finds_planted_pixels():
    rng = np.random.default_rng(7)
    hot = [(5, 40), (63, 0), (0, 47), (20, 40)]
    bg = make("random", 20_000, SMALL, seed=7)
    planted = pack(rng.integers(0, 10**6, 800), [x for x, _ in hot] * 200, [y for _, y in hot] * 200,
                   rng.integers(0, 2, 800))
    ev = np.concatenate([bg, planted])[rng.permutation(len(bg) + 800)]
    got = tr.hot_pixels(ev, SMALL)
    check_array(got, np.array(sorted(hot, key=lambda p: (p[1], p[0])), np.int64))
    keep = ~np.isin(ev["y"].astype(np.int64) * 64 + ev["x"], [y * 64 + x for x, y in hot])
    check_events(tr.drop_pixels(ev, got), ev[keep])
    check_array(tr.hot_pixels(bg, SMALL), np.zeros((0, 2), np.int64))


@pytest.mark.parametrize("bad", [(64, 37), (23, 48), (65535, 0)])
@pytest.mark.parametrize("name, args", [
    ("voxel_grid", (5,)), ("time_surface", (1e3,)), ("stacked_histogram", (4, 100_000)), ("event_frames", ()),
    ("count_image", ()), ("hot_pixels", ()), ("refractory", (10,)), ("denoise", (10,)), ("flip", ("x",)),
    ("flip", ("y",)), ("Refractory", (10,)), ("Denoise", (10,))])
def test_sensor_edge_and_one_past(name, args, bad):
    rng = np.random.default_rng(1)
    ev = pack(np.sort(rng.integers(0, 1000, 40)), rng.integers(0, 64, 40), rng.integers(0, 48, 40), 1)
    ev["x"][[0, 5]], ev["y"][[0, 9]] = 63, 47
    kw = {"t_edges": [0, 1000]} if name == "event_frames" else {}
    got, exp = call(tr, name, ev, SMALL, args, kw), call(Ref, name, ev, SMALL, args, kw)
    (check_events if exp.dtype == EVENT_DTYPE else check_array)(got, exp)
    ev["x"][13], ev["y"][13] = bad
    with pytest.raises(ValueError) as ei:
        call(tr, name, ev, SMALL, args, kw)
    assert all(str(v) in str(ei.value) for v in (13, *bad)), str(ei.value)


def foreign(ev, variant):
    """The same events in another record layout, with the same meaning."""
    dtypes = {"signed_p": [("p", "i1"), ("y", "f8"), ("t", "i8"), ("x", "i4")],
              "float_p": [("x", "f4"), ("p", "f8"), ("t", "u8"), ("y", "i2")],
              "bool_p": [("t", "i8"), ("x", "u2"), ("y", "u2"), ("p", "?")],
              "aligned": np.dtype([("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")], align=True),
              "big_endian": [("t", ">u8"), ("x", ">u2"), ("y", ">i4"), ("p", "u1")]}
    if variant == "strided":
        return np.repeat(ev, 2)[::2]
    if variant == "recarray":
        return ev.view(np.recarray)
    out = np.empty(len(ev), dtypes[variant])
    for f in "txy":
        out[f] = ev[f]
    out["p"] = np.where(ev["p"] != 0, 1, -1) if variant in ("signed_p", "float_p") else ev["p"]
    return out


ONE_EACH = [c for i, c in enumerate(REP_CASES) if i in (0, 5, 9, 18, 20, 22)] + [
    c for i, c in enumerate(FILTER_CASES) if i in (0, 4, 5, 10, 11, 12, 16, 19, 23, 27)]


@pytest.mark.parametrize("variant", ["signed_p", "float_p", "bool_p", "aligned", "big_endian", "strided", "recarray"])
@pytest.mark.parametrize("name, args, kw", ONE_EACH)
def test_foreign_records_read_like_event_records(name, args, kw, variant):
    ev = make("camera", 3000, SMALL, seed=11, n_clusters=10)
    ev["t"] += np.uint64(10**9)
    f = foreign(ev, variant)
    got, exp = call(tr, name, f, SMALL, args, kw), call(tr, name, ev, SMALL, args, kw)
    assert got.dtype == exp.dtype and got.shape == exp.shape and got.tobytes() == exp.tobytes()


@pytest.mark.parametrize("name, args, kw", [c for c in ONE_EACH if c.values[0] in REPS or c.values[0] == "polarity"])
def test_any_nonzero_polarity_is_on(name, args, kw):
    ev = make("camera", 3000, SMALL, seed=12, n_clusters=10)
    odd = ev.copy()
    odd["p"] = np.where(ev["p"] != 0, np.random.default_rng(0).choice([1, 2, 7, 255], len(ev)), 0)
    kw = {**kw, "mask": True} if name == "polarity" else kw
    np.testing.assert_array_equal(call(tr, name, odd, SMALL, args, kw), call(tr, name, ev, SMALL, args, kw))


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
@pytest.mark.parametrize("name, args, kw", [c for c in REP_CASES if c.values[0] in REPS][::2])
def test_threads_give_identical_results(name, args, kw, order):
    # Enough events for 4 threads: time-sorted ones are cut into runs of whole
    # bins, others into per-thread copies or bands of rows.
    ev = make("camera", 1_100_000, LARGE, seed=5)
    if order == "shuffled":
        ev = ev[np.random.default_rng(1).permutation(len(ev))]
    base = call(tr, name, ev, LARGE, args, {**kw, "threads": 1})
    check_array(base, call(Ref, name, ev, LARGE, args, kw))
    for threads in (2, 3, 4, None):
        assert np.array_equal(call(tr, name, ev, LARGE, args, {**kw, "threads": threads}), base), threads


S = SMALL
BAD_ARGS = [
    ("n_bins", lambda e: tr.voxel_grid(e, S, 0)), ("t_range", lambda e: tr.voxel_grid(e, S, 3, t_range=(10, 5))),
    ("threads", lambda e: tr.voxel_grid(e, S, 3, threads=0)), ("threads", lambda e: tr.count_image(e, S, threads=-1)),
    ("threads", lambda e: tr.time_surface(e, S, 1.0, threads=0)),
    ("threads", lambda e: tr.stacked_histogram(e, S, 2, 10, threads=0)),
    ("threads", lambda e: tr.event_frames(e, S, n_bins=2, threads=0)),
    ("sensor_size", lambda e: tr.count_image(e, (0, 5))), ("sensor_size", lambda e: tr.voxel_grid(e, (64,), 2)),
    ("sensor_size", lambda e: tr.refractory(e, (64, 48, 2), 10)), ("sensor_size", lambda e: tr.Denoise((64, -1), 10)),
    ("sensor_size", lambda e: tr.hot_pixels(e, (5, 0))), ("sensor_size", lambda e: tr.flip(e, (0, 48), "x")),
    ("tau_us", lambda e: tr.time_surface(e, S, 0)), ("tau_us", lambda e: tr.time_surface(e, S, -1.0)),
    ("n_bins", lambda e: tr.stacked_histogram(e, S, 0, 10)), ("window_us", lambda e: tr.stacked_histogram(e, S, 2, 0)),
    ("count_cutoff", lambda e: tr.stacked_histogram(e, S, 2, 10, count_cutoff=256)),
    ("count_cutoff", lambda e: tr.stacked_histogram(e, S, 2, 10, count_cutoff=-1)),
    ("t_edges|n_bins", lambda e: tr.event_frames(e, S, t_edges=[0, 10], n_bins=2)),
    ("t_edges|n_bins", lambda e: tr.event_frames(e, S)),
    ("t_range", lambda e: tr.event_frames(e, S, t_edges=[0, 10], t_range=(0, 10))),
    ("t_edges", lambda e: tr.event_frames(e, S, t_edges=[0, 10, 5])),
    ("t_edges", lambda e: tr.event_frames(e, S, t_edges=[3])),
    ("t_range", lambda e: tr.event_frames(e, S, n_bins=2, t_range=(5, 5))),
    ("n_bins", lambda e: tr.event_frames(e, S, n_bins=0, t_range=(0, 5))),
    ("x0", lambda e: tr.crop(e, -1, 0, 5, 5)), ("y0", lambda e: tr.crop(e, 0, -1, 5, 5)),
    ("width", lambda e: tr.crop(e, 0, 0, -1, 5)), ("height", lambda e: tr.crop(e, 0, 0, 5, -1)),
    ("period_us", lambda e: tr.refractory(e, S, -1)), ("period_us", lambda e: tr.Refractory(S, -1)),
    ("window_us", lambda e: tr.denoise(e, S, 0)), ("window_us", lambda e: tr.Denoise(S, 0)),
    ("threshold", lambda e: tr.hot_pixels(e, S, threshold=0)),
    ("threshold", lambda e: tr.hot_pixels(e, S, threshold=-2.0)),
    ("pixels", lambda e: tr.drop_pixels(e, np.array([1, 2, 3]))), ("pixels", lambda e: tr.drop_pixels(e, [[-1, 0]])),
    ("pixels", lambda e: tr.drop_pixels(e, [[0, 65536]])),
    (r"\bp\b", lambda e: tr.polarity(e, 2)), (r"\bp\b", lambda e: tr.polarity(e, -1)),
    ("factor", lambda e: tr.downsample(e, 0)), ("axis", lambda e: tr.flip(e, S, "z")),
    ("axis", lambda e: tr.flip(e, S, "")),
]


@pytest.mark.parametrize("n", [0, 50])
@pytest.mark.parametrize("name, bad", BAD_ARGS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(BAD_ARGS)])
def test_bad_arguments_raise_value_error_naming_them(name, bad, n):
    with pytest.raises(ValueError, match=name):
        bad(make("random", n, S))


@pytest.mark.parametrize("bad", [
    lambda e: tr.count_image([(1, 2, 3, 1)], S), lambda e: tr.voxel_grid(None, S, 2),
    lambda e: tr.crop(list(e), 0, 0, 5, 5), lambda e: tr.count_image(e, [64, 48]),
    lambda e: tr.refractory(e, [64, 48], 10), lambda e: tr.Denoise([64, 48], 10),
])
def test_type_errors(bad):
    with pytest.raises(TypeError):
        bad(make("random", 10, S))


def test_module_dtype_and_known_values():
    assert tr.EVENT_DTYPE == EVENT_DTYPE
    ev = pack([0, 50, 100], [1, 1, 2], [0, 0, 0], [1, 0, 1])
    # tau = 0, 1, 2 over 3 bins: +1 in bin 0, -1 in bin 1 at x=1; +1 in bin 2 at x=2
    vg = tr.voxel_grid(ev, (3, 1), 3)
    np.testing.assert_allclose(vg[:, 0], [[0, 1, 0], [0, -1, 0], [0, 0, 1]], atol=1e-6)
    np.testing.assert_allclose(tr.voxel_grid(ev[:2], (3, 1), 2, t_range=(0, 200))[:, 0, 1], [0.25, -0.25], atol=1e-6)
    # window (0, 100]: t=50 OFF -> bin 0 of OFF, t=100 ON -> last bin of ON; t=0 is out
    np.testing.assert_array_equal(tr.stacked_histogram(ev, (3, 1), 2, 100)[:, 0],
                                  [[0, 1, 0], [0, 0, 0], [0, 0, 0], [0, 0, 1]])
    np.testing.assert_array_equal(tr.event_frames(ev, (3, 1), n_bins=2)[:, :, 0].sum(axis=1), [[0, 2, 0], [0, 0, 1]])


def to_tonic(ev):
    out = np.empty(len(ev), [("x", "<i8"), ("y", "<i8"), ("t", "<i8"), ("p", "<i8")])
    for f in "txyp":
        out[f] = ev[f]
    return out


@pytest.mark.parametrize("n_bins", [1, 3, 10])
def test_voxel_grid_against_tonic(n_bins):
    tonic = pytest.importorskip("tonic")
    ev = make("camera", 20_000, LARGE, seed=n_bins)
    # tonic scales by n_bins, not n_bins - 1, and drops what falls past its last bin, so its
    # n_bins grid is the first n_bins of ours with one bin more.
    exp = tonic.transforms.ToVoxelGrid(sensor_size=(*LARGE, 2), n_time_bins=n_bins)(to_tonic(ev))[:, 0]
    got = tr.voxel_grid(ev, LARGE, n_bins + 1, t_range=(int(ev["t"][0]), int(ev["t"][-1])))
    np.testing.assert_allclose(got[:n_bins], exp, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("how", [{"n_time_bins": 5}, {"n_time_bins": 13}, {"time_window": 70_000}])
def test_event_frames_against_tonic(how):
    tonic = pytest.importorskip("tonic")
    ev = make("camera", 20_000, LARGE, seed=2)
    exp = tonic.transforms.ToFrame(sensor_size=(*LARGE, 2), **how)(to_tonic(ev)).astype(np.int32)
    # tonic's bins are [t0 + k w, t0 + (k + 1) w) from the first event with w = span // n_time_bins,
    # or w = time_window and only complete windows.
    t0, span = int(ev["t"][0]), int(ev["t"][-1]) - int(ev["t"][0])
    w = how.get("time_window") or span // how["n_time_bins"]
    edges = t0 + w * np.arange(len(exp) + 1)
    check_array(tr.event_frames(ev, LARGE, t_edges=edges), exp)
    check_array(tr.event_frames(ev, LARGE, n_bins=len(exp), t_range=(t0, int(edges[-1]))), exp)


def test_time_slice_against_tonic_crop_time():
    tonic = pytest.importorskip("tonic")
    ev = make("random", 20_000, LARGE, seed=4)
    exp = tonic.transforms.CropTime(min=250_000, max=640_000)(to_tonic(ev))  # inclusive max
    got = tr.time_slice(ev, 250_000, 640_001)
    for f in "txyp":
        np.testing.assert_array_equal(got[f], exp[f])


def test_refractory_against_tonic_where_definitions_agree():
    tonic = pytest.importorskip("tonic")
    # With at most two events per pixel and t > 0, tonic's "t - t_last > delta" and ours
    # "t >= t_kept + period" with period = delta + 1 decide the same.
    rng = np.random.default_rng(8)
    pix = rng.choice(64 * 48, 800, replace=False)
    t1 = rng.integers(1, 10**5, 800)
    t = np.concatenate([t1, t1 + rng.integers(995, 1006, 800)])
    ev = pack(t, np.tile(pix % 64, 2), np.tile(pix // 64, 2), rng.integers(0, 2, 1600))[np.argsort(t, kind="stable")]
    exp = tonic.transforms.RefractoryPeriod(delta=1000)(to_tonic(ev))
    got = tr.refractory(ev, SMALL, 1001)
    assert 800 < len(got) < 1600
    np.testing.assert_array_equal(got["t"], exp["t"])
    np.testing.assert_array_equal(got["x"], exp["x"])


@pytest.mark.parametrize("sensor", [(300, 1), (1, 300)])
def test_denoise_against_tonic_on_one_line(sensor):
    tonic = pytest.importorskip("tonic")
    # On a one-pixel-wide sensor the 8 and the 4 neighbours are the same two pixels, and with
    # every t >= window tonic's start value (t = 0) never lets an event through.
    ev = make("camera", 3000, sensor, seed=9, n_clusters=5, spread=4.0)
    ev["t"] += np.uint64(5000)
    exp = tonic.transforms.Denoise(filter_time=5000)(to_tonic(ev))
    got = tr.denoise(ev, sensor, 5000)
    assert 0 < len(got) < len(ev)
    for f in "txy":
        np.testing.assert_array_equal(got[f], exp[f])


def to_polars(ev):
    pl = pytest.importorskip("polars")
    return pl.DataFrame({"t": ev["t"].astype(np.int64), "x": ev["x"].astype(np.int16),
                         "y": ev["y"].astype(np.int16), "polarity": ev["p"].astype(np.int8)})


def densify(df, value, shape):
    out = np.zeros(shape)
    idx = tuple(df[c].to_numpy().astype(np.int64) for c in ("polarity", "y", "x"))
    out[idx] = df[value].to_numpy()
    return out


@pytest.mark.parametrize("kind", ["random", "camera"])
def test_against_evlib(kind):
    rep = pytest.importorskip("evlib.representations")
    ev = make(kind, 20_000, LARGE, seed=6)
    W, H = LARGE
    df = to_polars(ev)
    # voxel grid: tonic's definition (scaled by n_bins), see test_voxel_grid_against_tonic
    exp = rep.densify_voxel_grid(rep.create_voxel_grid(df, H, W, n_time_bins=4), 4, H, W)[:, 0]
    np.testing.assert_allclose(tr.voxel_grid(ev, LARGE, 5)[:4], exp, rtol=1e-5, atol=1e-6)
    # time surface: per polarity, decayed from the latest t of all events
    exp = densify(rep.time_surface(df, H, W, tau=20_000.0), "surface_value", (2, H, W))
    np.testing.assert_allclose(tr.time_surface(ev, LARGE, 20_000.0), exp, rtol=1e-5, atol=1e-6)
    check_array(tr.count_image(ev, LARGE), densify(rep.event_histogram(df, H, W), "count", (2, H, W)).astype(np.int32))
    # evlib bins forward from the first event in windows of w; ours backward from t_end, which
    # agree for window = n * w and t_end = first t + n * w - 1.
    n, w, t0 = 6, 40_000, int(ev["t"].min())
    sh = rep.create_stacked_histogram(df, H, W, bins=n, window_duration_ms=w / 1000)
    exp = np.zeros((2 * n, H, W))
    col = {c: sh[c].to_numpy().astype(np.int64) for c in sh.columns}
    exp[col["polarity"] * n + col["time_bin"], col["y"], col["x"]] = col["count"]
    got = tr.stacked_histogram(ev, LARGE, n, n * w, t_end=t0 + n * w - 1)
    check_array(got, np.minimum(exp, 255).astype(np.uint8))
