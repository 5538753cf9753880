"""HDF5 event files: layouts, whole-file read and write, H5EventReader and
H5EventWriter, on real h5py files in temporary folders."""

import dataclasses
import gc
import inspect
import os
import pathlib
import re
import warnings

import h5py
import numpy as np
import pytest

from morvel.io import h5
from morvel.io.h5 import (
    COMPACT_H5_CONFIG,
    DEFAULT_H5_CONFIG,
    H5Config,
    H5EventReader,
    H5EventWriter,
    read_h5,
    write_h5,
)
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events, run_python

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
FIELD_TYPES = {"t": np.uint64, "x": np.uint16, "y": np.uint16, "p": np.uint8}


def as_events(columns) -> np.ndarray:
    """What NumPy's astype makes of four columns (the reference for every cast)."""
    ev = np.empty(len(columns["t"]), dtype=EVENT_DTYPE)
    with warnings.catch_warnings(), np.errstate(invalid="ignore"):
        warnings.simplefilter("ignore")
        for f, ty in FIELD_TYPES.items():
            ev[f] = np.asarray(columns[f]).astype(ty)
    return ev


def write_separate(path, columns, group="events", **extra):
    with h5py.File(path, "w") as f:
        g = f.require_group(group) if group else f
        for name, data in {**columns, **extra}.items():
            g.create_dataset(name, data=data)
    return str(path)


def write_compound(path, records, name="events", group=""):
    with h5py.File(path, "w") as f:
        (f.require_group(group) if group else f).create_dataset(name, data=records)
    return str(path)


def fds() -> int:
    return len(os.listdir("/proc/self/fd"))


# --- configuration and layout detection -------------------------------------------


def test_config_is_a_frozen_dataclass():
    assert [(f.name, f.default) for f in dataclasses.fields(H5Config)] == [
        ("events_group", "events"), ("timestamp_key", "t"), ("x_key", "x"), ("y_key", "y"),
        ("polarity_key", "p"), ("compound_key", None),
    ]
    assert DEFAULT_H5_CONFIG == H5Config() and hash(DEFAULT_H5_CONFIG) == hash(H5Config())
    assert COMPACT_H5_CONFIG == H5Config("", "t", "x", "y", "p", "events")
    assert H5Config(x_key="col") != DEFAULT_H5_CONFIG
    with pytest.raises(dataclasses.FrozenInstanceError):
        DEFAULT_H5_CONFIG.x_key = "u"
    assert repr(DEFAULT_H5_CONFIG).startswith("H5Config(events_group='events'")
    assert H5Config.__doc__.startswith("H5Config(events_group: str = 'events'")
    assert "Configuration for H5 event file format." in H5Config.__doc__


STRUCT = np.zeros(3, dtype=EVENT_DTYPE)


@pytest.mark.parametrize(
    "layout, config, expected",
    [
        ({"events/t": [1], "events/events": STRUCT}, DEFAULT_H5_CONFIG, "separate"),
        ({"events": STRUCT}, COMPACT_H5_CONFIG, "compound"),
        ({"events/events": STRUCT}, DEFAULT_H5_CONFIG, "compound_fallback"),
        ({"g/ev": STRUCT, "g/t": [1]}, H5Config(events_group="g", compound_key="ev"), "compound"),
        ({"events/ev": [1, 2], "events/t": [1]}, H5Config(compound_key="ev"), "separate"),  # plain: skipped
        ({"events/ev/a": [1], "events/t": [1]}, H5Config(compound_key="ev"), "separate"),  # a group: skipped
        ({"t": [1], "x": [1]}, H5Config(events_group=""), "separate"),
        ({"events/t/a": [1]}, DEFAULT_H5_CONFIG, "separate"),  # only the name is looked at
    ],
)
def test_detect_layout(tmp_path, layout, config, expected):
    with h5py.File(tmp_path / "f.h5", "w") as f:
        for name, data in layout.items():
            f.create_dataset(name, data=data)
        assert h5._detect_layout(f, config) == expected


@pytest.mark.parametrize(
    "layout, config, message",
    [
        ({"events/events": [1, 2]}, DEFAULT_H5_CONFIG,
         "Cannot detect H5 event layout. Expected either separate datasets (t, x, ...) "
         "or a compound dataset in group 'events'"),
        ({"x": [1]}, H5Config(events_group="", timestamp_key="ts", x_key="xs"),
         "Cannot detect H5 event layout. Expected either separate datasets (ts, xs, ...) "
         "or a compound dataset in group ''"),
        ({"events/x": [1]}, COMPACT_H5_CONFIG,  # "events" is a group, not a compound dataset
         "Cannot detect H5 event layout. Expected either separate datasets (t, x, ...) "
         "or a compound dataset in group ''"),
    ],
)
def test_detect_layout_failure(tmp_path, layout, config, message):
    path = tmp_path / "f.h5"
    with h5py.File(path, "w") as f:
        for name, data in layout.items():
            f.create_dataset(name, data=data)
        with pytest.raises(ValueError) as exc:
            h5._detect_layout(f, config)
        assert str(exc.value) == message
    with pytest.raises(ValueError, match="^Cannot detect H5 event layout"):
        read_h5(path, config)
    with pytest.raises(ValueError, match="^Cannot detect H5 event layout"):
        next(iter(H5EventReader(path, config=config)))


def test_missing_group_is_a_key_error(tmp_path):
    path = write_separate(tmp_path / "f.h5", {"t": [1]}, group="other")
    with pytest.raises(KeyError):
        read_h5(path)
    with pytest.raises(KeyError):
        H5EventReader(path).n_events


# --- h5py loaded lazily -------------------------------------------------------------


def test_without_h5py():
    proc = run_python(
        """
        import sys
        sys.modules["h5py"] = None
        from morvel.io import h5
        assert h5._h5py is None
        calls = [h5._ensure_h5py, lambda: h5.read_h5("f.h5"), lambda: h5.write_h5("f.h5", h5.np.zeros(0, h5.EVENT_DTYPE)),
                 lambda: next(iter(h5.H5EventReader("f.h5"))), lambda: h5.H5EventReader("f.h5").n_events,
                 lambda: h5.H5EventReader("f.h5").read_time_window(0, 1), lambda: h5.H5EventWriter("f.h5")]
        for call in calls:
            try:
                call()
            except ImportError as exc:
                print(type(exc).__name__, exc)
        import os
        print(os.path.exists("f.h5"))
        """
    )
    lines = proc.stdout.splitlines()
    assert lines[:-1] == ["ImportError h5py is required for H5 event I/O. Install it with: pip install h5py"] * 7, proc.stderr
    assert lines[-1] == "False"


def test_h5py_imported_once_and_other_errors_pass(tmp_path):
    proc = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        open({str(tmp_path / "h5py.py")!r}, "w").write("raise RuntimeError('broken install')")
        from morvel.io import h5
        try:
            h5._ensure_h5py()
        except RuntimeError as exc:
            print("RuntimeError", exc)
        sys.path.pop(0); sys.modules.pop("h5py", None)
        import h5py
        assert h5._ensure_h5py() is h5py and h5._h5py is h5py
        sys.modules["h5py"] = None  # no import is attempted again
        assert h5._ensure_h5py() is h5py
        print("ok")
        """
    )
    assert proc.stdout.splitlines() == ["RuntimeError broken install", "ok"], proc.stderr


# --- write_h5 and read_h5 -------------------------------------------------------------


@pytest.mark.parametrize("config", [DEFAULT_H5_CONFIG, COMPACT_H5_CONFIG,
                                    H5Config("a/b", "time", "col", "row", "pol")])
@pytest.mark.parametrize("compression", [None, "gzip", "lzf", ""])
@pytest.mark.parametrize("n", [0, 1, 250_000])
def test_round_trip(tmp_path, config, compression, n):
    ev = make_events(n, sort=False)
    path = tmp_path / "f.h5"
    write_h5(path, ev, config=config, compression=compression)
    back = read_h5(path, config)
    assert back.dtype == EVENT_DTYPE and np.array_equal(back, ev)
    assert np.array_equal(H5EventReader(path, 100_000, config).read_all(), ev)
    with h5py.File(path) as f:
        g = f[config.events_group] if config.events_group else f
        keys = [config.timestamp_key, config.x_key, config.y_key, config.polarity_key]
        assert [g[k].dtype for k in keys] == [np.uint64, np.uint16, np.uint16, np.uint8]
        for k in keys:
            assert g[k].maxshape == (n,)
            assert g[k].chunks == ((min(n, 100_000),) if n else None)
            assert g[k].compression == ((compression or None) if n else None)
            assert g[k].compression_opts == (4 if compression == "gzip" and n else None)


def test_write_attributes(tmp_path):
    ev = make_events(1000, sort=False)
    write_h5(tmp_path / "a.h5", ev, sensor_size=(346, 260.5))  # sizes taken with int()
    write_h5(tmp_path / "b.h5", ev[:0], config=H5Config(events_group=""))
    with h5py.File(tmp_path / "a.h5") as f:
        attrs = dict(f["events"].attrs)
    assert attrs == {"n_events": 1000, "format": "z1a_events_v1", "sensor_width": 346, "sensor_height": 260,
                     "t_start": ev["t"].min(), "t_end": ev["t"].max()}
    assert attrs["t_start"] != ev["t"][0]  # smallest, not first
    with h5py.File(tmp_path / "b.h5") as f:
        assert dict(f.attrs) == {"n_events": 0, "format": "z1a_events_v1"}
        assert f["t"].shape == (0,)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(sensor_size=[640, 480]), TypeError, TYPE_MSG.format("sensor_size", "tuple", "list")),
        (dict(compression=b"gzip"), TypeError, TYPE_MSG.format("compression", "str", "bytes")),
        (dict(compression_opts=None), TypeError, TYPE_MSG.format("compression_opts", "int", "NoneType")),
        (dict(sensor_size=(640,)), ValueError, "sensor_size must be (width, height) tuple, got (640,)"),
        (dict(compression="szip"), ValueError, "compression must be None, 'gzip' or 'lzf', got 'szip'"),
        (dict(compression_opts=10), ValueError, "compression_opts must be a gzip level from 0 to 9, got 10"),
    ],
)
def test_write_refuses_bad_arguments_before_touching_the_file(tmp_path, kwargs, exc, message):
    path = tmp_path / "f.h5"
    old = make_events(10)
    write_h5(path, old)
    with pytest.raises(exc) as err:
        write_h5(path, make_events(5), **kwargs)
    assert str(err.value) == message
    assert np.array_equal(read_h5(path), old)


@pytest.mark.parametrize(
    "events, match",
    [
        (np.zeros(4), "structured array"),
        (np.zeros(4, dtype=[("t", "u8"), ("x", "u2"), ("y", "u2")]), "no field 'p'"),
        (np.zeros((2, 2), dtype=EVENT_DTYPE), "one-dimensional"),
        (np.zeros(3, dtype=[("t", "u8", 2), ("x", "u2"), ("y", "u2"), ("p", "u1")]), "field 't'"),
        ({"t": [1, 2], "x": [1, 2], "y": [1, 2], "p": [1, 2]}, "must hold 4 values"),  # len(dict) is 4
    ],
)
def test_write_refuses_bad_events_before_touching_the_file(tmp_path, events, match):
    path = tmp_path / "f.h5"
    write_h5(path, make_events(3))
    with pytest.raises(ValueError, match=match):
        write_h5(path, events)
    assert len(read_h5(path)) == 3


def test_write_accepts_any_record_layout(tmp_path):
    ev = make_events(1000)
    other = np.empty(1000, dtype=[("p", "f8"), ("junk", "S3"), ("y", ">i4"), ("x", "i8"), ("t", "f8")])
    for f in "txyp":
        other[f] = ev[f]
    for src in (other, other[::-1], ev[::3], ev.view(np.recarray)):
        write_h5(tmp_path / "f.h5", src, compression=None)
        assert np.array_equal(read_h5(tmp_path / "f.h5"), as_events(src))


@pytest.mark.parametrize("path_type", [str, pathlib.Path, lambda p: os.fsencode(str(p))])
def test_path_types(tmp_path, path_type):
    ev = make_events(10)
    path = path_type(tmp_path / "f.h5")
    write_h5(path, ev)
    assert os.listdir(tmp_path) == ["f.h5"]
    assert np.array_equal(read_h5(path), ev)
    assert H5EventReader(path).path == str(tmp_path / "f.h5")


def test_read_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_h5(tmp_path / "nope.h5")
    reader = H5EventReader(tmp_path / "nope.h5")  # not opened yet
    with pytest.raises(FileNotFoundError):
        next(iter(reader))


# --- casting of other column types -----------------------------------------------------

SPECIAL = [0.0, 3.99, -0.5, 255.9, 256.0, 65535.5, 65536.0, 70000.7, -1.0, -70000.0, 2.0**40, 2.0**63, 2.0**64 - 4096]


@pytest.mark.parametrize(
    "types",
    [
        dict(t="<i4", x="<i8", y="<u4", p="<i2"),
        dict(t="<i8", x="<u2", y="<u2", p="?"),
        dict(t=">u8", x=">i2", y="<f4", p="<f8"),
        dict(t="<f8", x="<f4", y="<f8", p="<u8"),
        dict(t="<f2", x="<f2", y="<i1", p="<u1"),  # half floats go through NumPy's own cast
    ],
)
def test_read_casts_like_numpy(tmp_path, types):
    rng = np.random.default_rng(7)
    n = 3000
    cols = {}
    for f, ty in types.items():
        dt = np.dtype(ty)
        if dt.kind == "f":
            vals = rng.uniform(-3e5, 3e5, n) if dt.itemsize > 2 else rng.uniform(-6e4, 6e4, n)
            if dt.itemsize > 2:
                vals[: len(SPECIAL)] = SPECIAL
        elif dt.kind == "b":
            vals = rng.integers(0, 2, n)
        else:
            info = np.iinfo(dt)
            vals = rng.integers(info.min, info.max, n, dtype=np.int64 if info.min < 0 else np.uint64, endpoint=True)
        with np.errstate(over="ignore", invalid="ignore"):
            cols[f] = vals.astype(dt)
    ref = {f: c for f, c in cols.items()}
    # Floats out of the target's range are cast through int64 (x86 NumPy does the same for
    # these magnitudes); keep the reference to values where that holds.
    path = write_separate(tmp_path / "f.h5", cols, index=np.arange(n))
    assert np.array_equal(read_h5(path), as_events(ref))
    assert np.array_equal(np.concatenate(list(H5EventReader(path, chunk_size=777))), as_events(ref))
    # and the same columns as fields of one compound dataset
    rec = np.empty(n, dtype=[(f, types[f]) for f in "txyp"])
    for f in "txyp":
        rec[f] = cols[f]
    path = write_compound(tmp_path / "c.h5", rec)
    assert np.array_equal(read_h5(path, COMPACT_H5_CONFIG), as_events(ref))


def test_float_casts_outside_the_target_range():
    # NaN, infinities and magnitudes beyond the target's range: what astype gives.
    values = np.array([np.nan, np.inf, -np.inf, 1e30, -1e30, -1.0, -2.5, 70000.7, 2.0**63 + 2.0**12, 3e9])
    rec = np.empty(len(values), dtype=[("t", "f8"), ("x", "f8"), ("y", "f4"), ("p", "f8")])
    for f in "txyp":
        rec[f] = values
    out = h5._read_compound(rec)  # the readers take array-likes as well as datasets
    with np.errstate(invalid="ignore"):
        assert np.array_equal(out, as_events({f: rec[f] for f in "txyp"}))


# --- separate and compound files from elsewhere ------------------------------------------


@pytest.mark.parametrize("t_type", ["<i4", "<i8"])
def test_dataset_style_file_with_extra_datasets(tmp_path, t_type):
    ev = make_events(5000)
    cols = {f: ev[f] for f in "xyp"} | {"t": ev["t"].astype(t_type)}
    path = write_separate(tmp_path / "f.h5", cols, ms_to_idx=np.arange(0, 5000, 7), t_offset=np.array([5]))
    assert np.array_equal(read_h5(path), ev)
    assert H5EventReader(path).n_events == 5000


@pytest.mark.parametrize(
    "columns, exc, match",
    [
        (dict(t=[1, 2, 3], x=[1, 2], y=[1, 2, 3], p=[1, 2, 3]), ValueError, "has 2 elements but the timestamp"),
        (dict(t=[1, 2, 3], x=[1, 2, 3, 4], y=[1, 2, 3], p=[1, 2, 3]), ValueError, "has 4 elements"),
        (dict(t=[1], x=[1], y=[[1]], p=[1]), ValueError, "one-dimensional"),
        (dict(t=[1], x=[1], y=[1]), KeyError, "p"),
    ],
)
def test_separate_layout_errors(tmp_path, columns, exc, match):
    path = write_separate(tmp_path / "f.h5", columns)
    with pytest.raises(exc, match=match):
        read_h5(path)
    with pytest.raises(exc, match=match):
        list(H5EventReader(path))


def compound_reference(rec):
    names = rec.dtype.names
    pick = lambda first, second, i: first if first in names else second if second in names else names[i]  # noqa: E731
    src = [pick("t", "timestamp", 0), pick("x", "x", 1), pick("y", "y", 2), pick("p", "polarity", 3)]
    return as_events(dict(zip("txyp", (rec[s] for s in src))))


@pytest.mark.parametrize(
    "dtype",
    [
        EVENT_DTYPE,
        [("timestamp", "<u8"), ("x", "<u2"), ("y", "<u2"), ("polarity", "u1")],
        [("a", "<i8"), ("b", "<f4"), ("c", "<i2"), ("d", "?")],
        [("y", "<u2"), ("t", "<u8"), ("extra", "f8"), ("p", "u1"), ("x", "<u2")],
        np.dtype({"names": list("txyp"), "formats": [">u8", "<u2", ">u2", "u1"], "offsets": [0, 8, 10, 12],
                  "itemsize": 16}),
        [("a", "<u8"), ("b", "<u2"), ("c", "<u2"), ("x", "<u1")],  # "x" feeds x and, by position, p
        [("timestamp", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "<i1")],
    ],
)
def test_compound_layouts(tmp_path, dtype):
    rng = np.random.default_rng(3)
    rec = np.zeros(1200, dtype=dtype)
    for name in rec.dtype.names:
        rec[name] = rng.integers(0, 300, len(rec))
    expected = compound_reference(rec)
    path = write_compound(tmp_path / "f.h5", rec)
    assert np.array_equal(read_h5(path, COMPACT_H5_CONFIG), expected)
    reader = H5EventReader(path, chunk_size=500, config=COMPACT_H5_CONFIG)
    chunks = list(reader)
    assert [len(c) for c in chunks] == [500, 500, 200] and reader.n_events == 1200
    assert np.array_equal(np.concatenate(chunks), expected)
    with h5py.File(path) as f:
        assert np.array_equal(h5._read_compound_slice(f["events"], 100, 350), expected[100:350])
        assert np.array_equal(h5._read_compound(f["events"]), expected)


@pytest.mark.parametrize("compound", [False, True])
@pytest.mark.parametrize("record", [EVENT_DTYPE, [("t", "<i8"), ("x", "<u2"), ("y", "<f4"), ("p", "<u1")]])
def test_files_chunked_by_others(tmp_path, compound, record):
    ev = make_events(333_333)
    src = np.empty(len(ev), dtype=record)
    for f in "txyp":
        src[f] = ev[f]
    path = tmp_path / "f.h5"
    with h5py.File(path, "w") as f:
        g = f.create_group("events")
        if compound:
            g.create_dataset("events", data=src, chunks=(70_000,), compression="gzip", compression_opts=1)
        else:
            for name, chunks in (("t", (100_000,)), ("x", (30_000,)), ("y", None), ("p", (7,))):
                g.create_dataset(name, data=src[name], chunks=chunks, compression="gzip" if chunks else None)
    for chunk in (50_000, 333_333, 10**6):
        reader = H5EventReader(path, chunk_size=chunk)
        assert np.array_equal(np.concatenate(list(reader)), ev)
    assert np.array_equal(read_h5(path), ev)
    if not compound:
        lo, hi = int(ev["t"][1000]), int(ev["t"][300_000])
        assert np.array_equal(reader.read_time_window(lo, hi), ev[(ev["t"] >= lo) & (ev["t"] < hi)])


def test_compound_errors(tmp_path):
    path = write_compound(tmp_path / "f.h5", np.zeros(5, dtype=[("t", "<u8"), ("x", "<u2"), ("y", "<u2")]))
    with pytest.raises(IndexError):
        read_h5(path, COMPACT_H5_CONFIG)
    path = write_compound(tmp_path / "g.h5", np.zeros(5, dtype=EVENT_DTYPE))
    with h5py.File(path) as f:
        ds = f["events"]
        for start, end in [(-1, 3), (2, 6), (4, 3)]:
            with pytest.raises(ValueError, match="not within the dataset's 5 records"):
                h5._read_compound_slice(ds, start, end)
        with pytest.raises(TypeError, match=re.escape(TYPE_MSG.format("start", "int", "str"))):
            h5._read_compound_slice(ds, "0", 3)
        assert h5._read_compound_slice(ds, 5, 5).shape == (0,)
        assert len(h5._read_compound_slice(ds, 1.9, 4)) == 3


def test_compound_fallback_reads_events_whatever_the_compound_key(tmp_path):
    ev = make_events(100)
    path = write_compound(tmp_path / "f.h5", ev, group="events")
    for config in (DEFAULT_H5_CONFIG, H5Config(compound_key="missing")):
        reader = H5EventReader(path, chunk_size=30, config=config)
        assert reader.n_events == 100
        assert np.array_equal(np.concatenate(list(reader)), ev)
        assert np.array_equal(read_h5(path, config), ev)
        with pytest.raises(KeyError):
            reader.read_time_window(0, 10)


# --- H5EventReader ---------------------------------------------------------------------


@pytest.fixture
def event_file(tmp_path):
    def make(n, **kwargs):
        ev = make_events(n)
        path = tmp_path / f"events{n}.h5"
        write_h5(path, ev, **kwargs)
        return path, ev

    return make


@pytest.mark.parametrize("n, chunk, sizes", [(120_000, 50_000, [50_000, 50_000, 20_000]), (10, 10, [10]),
                                             (7, 1, [1] * 7), (5, 2**62, [5]), (0, 3, []),
                                             (450_000, 70_000, [70_000] * 6 + [30_000])])
def test_reader_chunks(event_file, n, chunk, sizes):
    path, ev = event_file(n, compression="lzf")
    reader = H5EventReader(path, chunk_size=chunk)
    chunks = list(reader)
    assert [len(c) for c in chunks] == sizes and all(c.dtype == EVENT_DTYPE for c in chunks)
    assert np.array_equal(np.concatenate(chunks) if chunks else ev, ev)
    assert not any(np.shares_memory(a, b) for a, b in zip(chunks, chunks[1:]))
    assert reader.n_events == n
    assert np.array_equal(reader.read_time_window(0, 2**64), ev) and np.array_equal(reader.read_all(), ev)
    if n > 10:
        lo, hi = int(ev["t"][n // 10]), int(ev["t"][-n // 10])
        assert np.array_equal(reader.read_time_window(lo, hi), ev[(ev["t"] >= lo) & (ev["t"] < hi)])


def test_reader_attributes_and_arguments(tmp_path):
    reader = H5EventReader(tmp_path / "f.h5")
    assert (reader.chunk_size, reader.config, reader._n_events) == (50000, DEFAULT_H5_CONFIG, None)
    assert H5EventReader("f.h5", 7.9, COMPACT_H5_CONFIG).chunk_size == 7
    assert H5EventReader("f.h5", config=COMPACT_H5_CONFIG).config is COMPACT_H5_CONFIG
    for bad in (0, -1):
        with pytest.raises(ValueError, match=f"chunk_size must be >= 1, got {bad}"):
            H5EventReader("f.h5", chunk_size=bad)
        with pytest.raises(ValueError):
            reader.chunk_size = bad
    with pytest.raises(TypeError, match=re.escape(TYPE_MSG.format("chunk_size", "int", "str"))):
        H5EventReader("f.h5", "10")
    with pytest.raises(TypeError, match=r"takes at least 1 positional argument \(0 given\)"):
        H5EventReader()


def test_reader_count_is_cached(event_file):
    path, _ = event_file(100)
    reader = H5EventReader(path)
    assert reader.n_events == 100 and reader._n_events == 100
    with h5py.File(path, "a") as f:
        del f["events/t"]
        f["events/t"] = np.arange(150, dtype=np.uint64)
    assert reader.n_events == 100
    assert H5EventReader(path).n_events == 150


@pytest.mark.parametrize(
    "window, expected",
    [((20, 30), [20, 20]), ((10, 20), [10]), ((0, 100), [10, 20, 20, 30]), ((20, 20), []), ((30, 20), []),
     ((0, 10), []), ((31, 100), []), ((30, 31), [30]), ((-5, 2**70), [10, 20, 20, 30]), ((19.9, 21), [20, 20])],
)
def test_time_window_bounds(tmp_path, window, expected):
    ev = np.zeros(4, dtype=EVENT_DTYPE)
    ev["t"] = [10, 20, 20, 30]
    ev["x"] = [1, 2, 3, 4]
    path = tmp_path / "f.h5"
    write_h5(path, ev)
    got = H5EventReader(path).read_time_window(*window)
    assert got.dtype == EVENT_DTYPE and got["t"].tolist() == expected
    assert np.array_equal(got, ev[np.isin(ev["x"], got["x"])])


def test_time_windows_match_searchsorted(tmp_path, monkeypatch):
    rng = np.random.default_rng(11)
    n = 20_000
    ev = make_events(n)
    ev["t"] = np.sort(rng.integers(0, 3000, n))  # many duplicates
    path = tmp_path / "f.h5"
    write_h5(path, ev, compression=None)
    reader = H5EventReader(path)
    probes = []
    original = h5py.Dataset.__getitem__

    def counting(self, key):
        if isinstance(key, int):
            probes.append(key)
        return original(self, key)

    monkeypatch.setattr(h5py.Dataset, "__getitem__", counting)
    for lo, hi in rng.integers(-10, 3100, (40, 2)):
        probes.clear()
        a, b = np.searchsorted(ev["t"], lo), np.searchsorted(ev["t"], hi)
        assert np.array_equal(reader.read_time_window(int(lo), int(hi)), ev[a:max(a, b)])
        assert len(probes) <= 2 * int(np.ceil(np.log2(n + 1)))


def test_time_window_arguments(event_file):
    path, ev = event_file(10)
    reader = H5EventReader(path)
    with pytest.raises(TypeError, match=re.escape(TYPE_MSG.format("t_end", "int", "NoneType"))):
        reader.read_time_window(0, None)
    with pytest.raises(TypeError, match=r"read_time_window\(\) takes exactly 2 positional arguments \(1 given\)"):
        reader.read_time_window(0)
    assert np.array_equal(reader.read_time_window(t_start=0, t_end=2**64), ev)


def test_reader_generators_hold_the_file_only_while_running(event_file):
    path, ev = event_file(1000)
    reader = H5EventReader(path, chunk_size=100)
    before = fds()
    gens = [iter(reader) for _ in range(10)]
    assert fds() == before  # nothing opened before the first step
    firsts = [next(g) for g in gens]
    assert fds() > before
    assert all(np.array_equal(f, ev[:100]) for f in firsts)
    # interleaved iterations each go their own way
    assert np.array_equal(next(gens[0]), ev[100:200]) and np.array_equal(next(gens[1]), ev[100:200])
    gens[0].close()
    with pytest.raises(KeyError):
        gens[1].throw(KeyError("stop"))
    assert len(list(gens[2])) == 9  # exhausted
    del gens, firsts
    gc.collect()
    assert fds() == before


def test_reader_generator_error_releases_the_file(tmp_path):
    path = write_separate(tmp_path / "f.h5", dict(t=[1, 2], x=[1], y=[1, 2], p=[1, 2]))
    before = fds()
    gen = iter(H5EventReader(path))
    with pytest.raises(ValueError):
        next(gen)
    assert fds() == before
    with pytest.raises(StopIteration):
        next(gen)


# --- H5EventWriter -----------------------------------------------------------------------


@pytest.mark.parametrize("chunk_size", [1, 7, 1000, 300_000])
@pytest.mark.parametrize("compression", [None, "gzip"])
def test_writer_flush_close_reopen(tmp_path, chunk_size, compression):
    path = tmp_path / "rec.h5"
    sizes = [0, 5, 1, 12_345, 3, 70_000, 2_000, 0, 999] if chunk_size > 1 else [0, 5, 1, 300, 3, 0, 9]
    pieces = [make_events(n, seed=i, sort=False) for i, n in enumerate(sizes)]
    w = H5EventWriter(path, sensor_size=(640, 480), compression=compression, chunk_size=chunk_size)
    assert read_h5(path).shape == (0,)  # a valid, empty file from the start
    appended = []
    for i, piece in enumerate(pieces):
        w.append(piece)
        appended.append(piece)
        if i % 3 == 1:
            w.flush()
            everything = np.concatenate(appended)
            assert w.n_events == len(everything)
            assert np.array_equal(read_h5(path), everything)
            assert np.array_equal(np.concatenate(list(H5EventReader(path, chunk_size=4000))), everything)
    w.close()
    everything = np.concatenate(appended)
    assert np.array_equal(read_h5(path), everything)
    with h5py.File(path) as f:
        g = f["events"]
        assert dict(g.attrs) == {"n_events": len(everything), "format": "z1a_events_v1", "sensor_width": 640,
                                 "sensor_height": 480, "t_start": everything["t"].min(),
                                 "t_end": everything["t"].max()}
        for k, ty in FIELD_TYPES.items():
            assert (g[k].dtype, g[k].chunks, g[k].maxshape, g[k].compression) == \
                (ty, (chunk_size,), (None,), compression)


def test_writer_large_appends(tmp_path):
    path = tmp_path / "rec.h5"
    pieces = [make_events(n, seed=n) for n in (600_001, 1, 261_999, 3, 524_000)]
    with H5EventWriter(path, compression=None, chunk_size=1000) as w:
        for i, piece in enumerate(pieces):
            w.append(piece)
            if i == 1:
                w.flush()
                assert np.array_equal(read_h5(path), np.concatenate(pieces[:2]))
    assert np.array_equal(read_h5(path), np.concatenate(pieces))


def test_writer_lifecycle(tmp_path):
    path = tmp_path / "rec.h5"
    ev = make_events(50)
    with H5EventWriter(str(path), config=H5Config(events_group="", timestamp_key="ts")) as w:
        assert w.n_events == 0 and not w.closed and w.chunk_size == 100_000 and w.sensor_size is None
        w.append(ev)
        assert w.n_events == 50
    assert w.closed and w.n_events == 50
    assert np.array_equal(read_h5(path, H5Config(events_group="", timestamp_key="ts")), ev)
    with h5py.File(path) as f:
        assert dict(f.attrs) == {"n_events": 50, "format": "z1a_events_v1", "t_start": ev["t"].min(),
                                 "t_end": ev["t"].max()}
    w.close()  # a second close does nothing
    for call in (lambda: w.append(ev), w.flush, w.__enter__):
        with pytest.raises(ValueError, match="^I/O operation on closed H5EventWriter$"):
            call()


def test_writer_keeps_events_on_errors(tmp_path):
    path = tmp_path / "rec.h5"
    ev = make_events(30)
    with pytest.raises(ZeroDivisionError):
        with H5EventWriter(path) as w:
            w.append(ev)
            1 / 0
    assert np.array_equal(read_h5(path), ev)
    w = H5EventWriter(path, chunk_size=4)
    w.append(ev[:10])
    with pytest.raises(ValueError, match="no field 'p'"):
        w.append(np.zeros(3, dtype=[("t", "u8"), ("x", "u2"), ("y", "u2")]))
    assert w.n_events == 10
    w.append(ev[10:].astype([("t", "f8"), ("x", "i4"), ("y", "i4"), ("p", "i8")]))
    del w  # collected while open: flushed and closed
    gc.collect()
    assert np.array_equal(read_h5(path), ev)


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        (dict(chunk_size=0), ValueError, "chunk_size must be between 1 and"),
        (dict(chunk_size=2**40), ValueError, "chunk_size must be between 1 and"),
        (dict(sensor_size=(1,)), ValueError, r"sensor_size must be \(width, height\) tuple"),
        (dict(sensor_size=[1, 2]), TypeError, "expected tuple, got list"),
        (dict(compression="zstd"), ValueError, "compression must be None"),
        (dict(compression_opts=-1), ValueError, "gzip level from 0 to 9"),
    ],
)
def test_writer_refuses_bad_arguments_before_touching_the_file(tmp_path, kwargs, exc, match):
    path = tmp_path / "rec.h5"
    old = make_events(10)
    write_h5(path, old)
    with pytest.raises(exc, match=match):
        H5EventWriter(path, **kwargs)
    assert np.array_equal(read_h5(path), old)


def test_writer_refuses_reentrant_use(tmp_path):
    w = H5EventWriter(tmp_path / "rec.h5")
    ev = make_events(5)

    class Sneaky:
        def __len__(self):
            return 5

        def __getitem__(self, name):
            w.flush()
            return ev[name]

    with pytest.raises(RuntimeError, match="already in use"):
        w.append(Sneaky())
    w.append(ev)
    w.close()
    assert np.array_equal(read_h5(tmp_path / "rec.h5"), ev)


def test_uninitialised_objects():
    for cls, call in [(H5EventWriter, lambda o: o.append(np.zeros(0, EVENT_DTYPE))),
                      (H5EventReader, lambda o: o.read_all())]:
        obj = cls.__new__(cls)
        with pytest.raises(RuntimeError, match=r"__init__\(\) was not called"):
            call(obj)


def test_threads(tmp_path):
    # Kernels release the GIL on large inputs; h5py serialises its own calls.
    from concurrent.futures import ThreadPoolExecutor

    ev = make_events(400_000)
    write_h5(tmp_path / "src.h5", ev, compression=None)

    def job(i):
        if i % 2:
            return np.array_equal(read_h5(tmp_path / "src.h5"), ev)
        with H5EventWriter(tmp_path / f"w{i}.h5", compression=None) as w:
            for s in range(0, len(ev), 150_000):
                w.append(ev[s:s + 150_000])
        return np.array_equal(read_h5(tmp_path / f"w{i}.h5"), ev)

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(job, range(8)))


# --- references -------------------------------------------------------------------


def test_no_object_leaks(tmp_path):
    import sys

    ev = make_events(3000)
    good, bad = tmp_path / "a.h5", tmp_path / "b.h5"
    write_h5(good, ev)
    write_separate(bad, dict(t=[1, 2], x=[1], y=[1, 2], p=[1, 2]))
    reader = H5EventReader(good, chunk_size=700)

    def expect(exc, fn):
        with pytest.raises(exc):
            fn()

    def dropped():
        gen = iter(reader)
        next(gen)
        del gen

    def writer():
        w = H5EventWriter(tmp_path / "w.h5", chunk_size=500)
        w.append(ev[:1200])
        expect(ValueError, lambda: w.append(np.zeros(2)))
        w.flush()
        w.append(ev[:5])  # left for the finaliser

    ops = [
        dropped,
        lambda: list(reader),
        lambda: reader.read_time_window(100, 9000),
        lambda: expect(ValueError, lambda: list(H5EventReader(bad))),
        lambda: expect(FileNotFoundError, lambda: read_h5(tmp_path / "missing.h5")),
        lambda: expect(ValueError, lambda: write_h5(tmp_path / "c.h5", ev, sensor_size=(1,))),
        lambda: write_h5(tmp_path / "c.h5", ev[:100], sensor_size=(2, 2)),
        writer,
    ]
    # Each operation's first few hundred calls grow the interpreter's and
    # h5py's caches, by fits and starts, up to a bound (about two thousand
    # blocks in all). A leak shows as at least one block per call in every
    # round: an operation passes with one round clearly below that.
    rounds = 150

    def growth(op):
        gc.collect()
        blocks = sys.getallocatedblocks()
        for _ in range(rounds):
            op()
        gc.collect()
        return sys.getallocatedblocks() - blocks

    for op in ops:
        assert any(growth(op) < rounds * 3 // 4 for _ in range(8)), op


# --- documentation -------------------------------------------------------------------


def test_docstrings_and_signatures():
    assert h5.__doc__.startswith("H5 event file I/O and streaming for neuromorphic cameras.")
    assert "1. Separate datasets: /events/t, /events/x, /events/y, /events/p" in h5.__doc__
    for obj, start in [
        (h5._ensure_h5py, "_ensure_h5py() -> Any\n\nLazy-import h5py, raising a clear error if unavailable."),
        (h5._detect_layout, "_detect_layout(h5file: Any, config: H5Config) -> str"),
        (h5._read_separate, "_read_separate(grp: Any, config: H5Config)"),
        (h5._read_compound, "_read_compound(ds: Any)"),
        (h5._read_compound_slice, "_read_compound_slice(ds: Any, start: int, end: int)"),
        (read_h5, "read_h5(path: Union[str, Path], config: Optional[H5Config] = None, *, stream: Optional[str] = None) -> np.ndarray"),
        (write_h5, "write_h5(path: Union[str, Path], events: np.ndarray"),
        (H5EventReader, "H5EventReader(path: Union[str, Path], chunk_size: int = 50000"),
        (H5EventReader.read_all, "read_all(self) -> np.ndarray\n\nRead entire file into one array."),
        (H5EventReader.__iter__, "__iter__(self) -> Generator[np.ndarray, None, None]\n\nYield event chunks"),
        (H5EventReader.read_time_window, "read_time_window(self, t_start: int, t_end: int) -> np.ndarray"),
        (H5EventWriter, "H5EventWriter(path: Union[str, Path], config: Optional[H5Config] = None"),
        (H5EventWriter.append, "append(self, events: np.ndarray) -> None"),
    ]:
        assert obj.__doc__.startswith(start), obj.__doc__[:100]
    assert "Chunked streaming reader for H5 event files." in H5EventReader.__doc__
    assert H5EventReader.n_events.__doc__.endswith("Total number of events in the file. Cached after first access.")
    assert str(inspect.signature(write_h5)) == (
        "(path, events, config=None, sensor_size=None, compression='gzip', compression_opts=4, *, layout='separate')")
    assert str(inspect.signature(H5EventReader)) == "(path, chunk_size=50000, config=None, *, stream=None)"
    assert str(inspect.signature(H5EventWriter)) == (
        "(path, config=None, sensor_size=None, compression='gzip', compression_opts=4, chunk_size=100000, *, "
        "layout='separate')")


def test_stub_matches_the_module():
    import ast

    stub = ast.parse((pathlib.Path(__file__).parents[1] / "src/morvel/io/h5.pyi").read_text())

    def params(fn):
        args = fn.args.args[1:] if fn.args.args and fn.args.args[0].arg == "self" else fn.args.args
        return [a.arg for a in args + fn.args.kwonlyargs]

    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            assert params(node) == list(inspect.signature(getattr(h5, node.name)).parameters), node.name
        elif isinstance(node, ast.ClassDef):
            cls = getattr(h5, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "__init__":
                    assert params(item) == list(inspect.signature(cls).parameters), node.name
                elif isinstance(item, ast.FunctionDef):
                    assert hasattr(cls, item.name), (node.name, item.name)
                    if item.name not in ("__eq__", "__hash__", "__iter__", "__exit__") and callable(getattr(cls, item.name)):
                        sig = inspect.signature(getattr(cls, item.name))
                        assert params(item) == [p for p in sig.parameters if p != "self"], (node.name, item.name)
                elif isinstance(item, ast.AnnAssign):
                    assert hasattr(cls, item.target.id), (node.name, item.target.id)


@pytest.mark.parametrize("make", [lambda p: h5.H5EventReader(p), lambda p: h5.H5EventWriter(p)])
def test_weak_references_die_with_the_object(make, tmp_path):
    import weakref

    obj = make(str(tmp_path / "w.h5"))
    called = []
    ref = weakref.ref(obj, called.append)
    del obj
    gc.collect()
    assert ref() is None and called == [ref]
