"""One conversion policy everywhere: columns of any numeric type become the
event fields (and the signed 64-bit columns that frames, RGB previews and the
EVT encoders read) exactly as NumPy's astype makes them on this platform, NaN,
infinities and out-of-range values included."""

import warnings

import h5py
import numpy as np
import pytest

from morvel.io import h5
from morvel.io.dvs import read_prophesee
from morvel.io.formats import encode_evt2, encode_evt3, events_to_frames
from morvel.io.h5 import H5Config, H5EventWriter, write_h5
from morvel.io.streaming import EVENT_DTYPE
from morvel.io.throughput import _events_to_rgb_frame

# NumPy's own casts (of types the core hands to it) warn about NaN as astype does.
pytestmark = pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")

# Every type the core reads in place, and some that NumPy converts first.
SOURCE_TYPES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f4", "f8", "f2", ">f8", ">i4", ">u2"]
TARGETS = {"t": np.uint64, "x": np.uint16, "y": np.uint16, "p": np.uint8}
SPECIAL = [np.nan, np.inf, -np.inf, -0.0, 0.5, -0.5, -1.5, 255.9, 256.0, 65535.5, 65536.0, 70000.5, -70000.5,
           2.0**31, -2.0**31, 2.0**31 - 1, 2.0**32, 3e9, -3e9, 2.0**63, -2.0**63, 2.0**64, 2.0**64 - 2048, 1e30, -1e30]


def quiet_astype(a, dtype):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return np.asarray(a).astype(dtype)


def generated(dtype, n, rng, small=False):
    """Values of `dtype`: its whole range, its extremes and, for floats, the
    specials; with `small`, mostly values near a small sensor."""
    dt = np.dtype(dtype)
    if dt.kind == "b":
        return rng.integers(0, 256, n, dtype=np.uint8).view(np.bool_)  # every byte, not just 0 and 1
    if dt.kind == "f":
        mags = 10.0 ** rng.uniform(-1, 2 if small else 21, n) * rng.choice([-1, 1], n)
        v = np.concatenate([SPECIAL, mags, np.trunc(mags), rng.uniform(-3, 50, n)])
    else:
        info = np.iinfo(dt)
        lo, hi = (max(info.min, -3), min(info.max, 50)) if small else (info.min, info.max)
        v = np.concatenate([[info.min, info.max, 0], rng.integers(lo, hi, n, endpoint=True, dtype=np.int64
                                                                  if info.min < 0 else np.uint64)])
    return quiet_astype(rng.permutation(v)[:n], dt)


def table(types, n=3000, seed=0, small=False):
    """A structured array with fields t, x, y, p of the given types."""
    if isinstance(types, str):
        types = [types] * 4
    rng = np.random.default_rng(seed)
    rec = np.empty(n, dtype=[(f, t) for f, t in zip("txyp", types)])
    for f, t in zip("txyp", types):
        rec[f] = generated(t, n, rng, small)
    return rec


def astype_events(rec):
    ev = np.empty(len(rec), EVENT_DTYPE)
    for f, ty in TARGETS.items():
        ev[f] = quiet_astype(rec[f], ty)
    return ev


def as_int64(rec, fields="txyp"):
    """The same records with each field cast to int64 by NumPy (t to uint64)."""
    out = np.empty(len(rec), dtype=[(f, "<u8" if f == "t" else "<i8") for f in fields])
    for f in fields:
        out[f] = quiet_astype(rec[f], out.dtype[f])
    return out


def via_h5_writer(rec, tmp_path):
    write_h5(tmp_path / "w.h5", rec, compression=None)
    with h5py.File(tmp_path / "w.h5") as f:
        return np.rec.fromarrays([f["events"][k][:] for k in "txyp"], dtype=EVENT_DTYPE)


def via_stream_writer(rec, tmp_path):
    with H5EventWriter(tmp_path / "s.h5", chunk_size=700, compression=None) as w:
        for part in np.array_split(rec, 4):
            w.append(part)
    return h5.read_h5(tmp_path / "s.h5")


def via_prophesee(rec, sdk):
    sdk.batches = list(np.array_split(rec, 3))
    return np.concatenate(list(read_prophesee("rec.raw", 1000)))


CONSUMERS = {
    "h5 compound": lambda rec, tmp, sdk: h5._read_compound(rec),
    "h5 separate": lambda rec, tmp, sdk: h5._read_separate({f: rec[f] for f in "txyp"}, H5Config(events_group="")),
    "h5 writer": lambda rec, tmp, sdk: via_h5_writer(rec, tmp),
    "h5 stream writer": lambda rec, tmp, sdk: via_stream_writer(rec, tmp),
    "dvs": lambda rec, tmp, sdk: via_prophesee(rec, sdk),
}

# Mixed tables, among them the layouts the one-pass loops take.
MIXED = [["i8", "i2", "i2", "?"], ["u8", "u2", "u2", "i1"], ["i8", "u2", "u2", "u2"], ["f8", "f4", "i1", "?"],
         ["u4", "i8", "f2", "f8"], ["i8", "i2", "i4", "u1"]]


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("types", SOURCE_TYPES + MIXED, ids=str)
def test_event_fields_as_astype_gives_them(consumer, types, tmp_path, prophesee):
    rec = table(types)
    assert np.array_equal(CONSUMERS[consumer](rec, tmp_path, prophesee), astype_events(rec))


@pytest.mark.parametrize("types", SOURCE_TYPES + MIXED, ids=str)
def test_strided_and_reversed_columns(types):
    rec = table(types, n=4000, seed=1)
    for view in (rec[::3], rec[::-2]):
        assert np.array_equal(h5._read_compound(view), astype_events(view))


@pytest.mark.parametrize("types", SOURCE_TYPES + MIXED[:3], ids=str)
def test_frames_and_rgb_read_signed_columns_as_astype(types):
    # Small values, so that what a cast makes of x and y lands inside the sensor.
    rec = table(types, n=2000, seed=2, small=True)
    ref = as_int64(rec)
    assert np.array_equal(events_to_frames(rec, (48, 48), n_frames=3), events_to_frames(ref, (48, 48), n_frames=3))
    assert np.array_equal(_events_to_rgb_frame(rec[["x", "y", "p"]], 48, 48),
                          _events_to_rgb_frame(as_int64(rec, "xyp"), 48, 48))


@pytest.mark.parametrize("encode", [encode_evt2, encode_evt3])
@pytest.mark.parametrize("types", ["i2", "i4", "i8", "u4", "f4", "f8", "f2", ">i4", ["f8", "i2", "u2", "?"]], ids=str)
def test_encoders_take_values_as_astype_gives_them(encode, types):
    rng = np.random.default_rng(3)
    n = 500
    types = [types] * 4 if isinstance(types, str) else types
    rec = np.empty(n, dtype=[(f, t) for f, t in zip("txyp", types)])
    rec["t"] = np.sort(rng.integers(0, 2000, n))
    rec["x"], rec["y"], rec["p"] = rng.integers(0, 200, n), rng.integers(0, 100, n), rng.integers(0, 2, n)
    assert encode(rec) == encode(astype_events(rec))
    if np.dtype(types[1]).kind == "f":  # a value with no integer counterpart: refused, never wrapped into range
        rec["x"][123] = np.nan
        with pytest.raises(ValueError, match="cannot encode event 123"):
            encode(rec)
