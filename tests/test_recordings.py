"""Recordings of every format: Prophesee DAT and EVT 2.1 against the peer
tools that read and write them, and the registry (open, write, Writer,
detect_format) over all formats."""

import itertools
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import morvel.io as mio
from morvel.io.formats import RawReader, write_raw
from morvel.io.recordings import DatReader, DatWriter, write_dat
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events


def camera_events(n, seed=0, width=1280, height=720, span=None):
    """Sorted events; with `span`, t spread over that many microseconds."""
    ev = make_events(n, seed=seed, width=width, height=height)
    if span is not None:
        rng = np.random.default_rng(seed)
        ev["t"] = np.sort(rng.integers(0, span, n, dtype=np.uint64))
    return ev


def dat_bytes(records, header=b"% Version 2\n% Width 64\n% Height 32\n", ev_type=0x0C, ev_size=8, extra=b""):
    body = b"".join(struct.pack("<II", t, w) + extra for t, w in records)
    return header + bytes([ev_type, ev_size]) + body


def word(x, y, p):
    return x | (y << 14) | (p << 28)


# --- DAT -------------------------------------------------------------------------------------


def test_dat_hand_built_records_wraps_and_t0(tmp_path):
    path = tmp_path / "a.dat"
    recs = [(10, word(1, 2, 1)), (2**32 - 5, word(16383, 16383, 0)), (3, word(5, 6, 1)),  # wrap
            (1, word(0, 0, 0)),  # back by 2: not a wrap
            (2**31 + 10, word(7, 7, 1))]
    path.write_bytes(dat_bytes(recs, header=b"% Date 2019-01-01 00:00:00\n% Version 2\n% Width 64\n% Height 32\n"
                                          b"% T0 100\n"))
    r = DatReader(path)
    assert (r.sensor_size, r.version, r.event_type, r.event_size, r.t0) == ((64, 32), 2, 12, 8, 100)
    got = r.read_all()
    assert got["t"].tolist() == [110, 2**32 - 5 + 100, 2**32 + 103, 2**32 + 101, 2**32 + 2**31 + 110]
    assert got["x"].tolist() == [1, 16383, 5, 0, 7] and got["y"].tolist() == [2, 16383, 6, 0, 7]
    assert got["p"].tolist() == [1, 0, 1, 0, 1]
    assert r.count_events() == 5


@pytest.mark.parametrize("case, expected", [
    ("version 1 layout", [(1, 511, 0, 0), (2, 1, 255, 0), (3, 0, 1, 1)]),
    ("type 0x00, 16-byte records", [(5, 3, 4, 1)]),
    ("other event type", []),
    ("header only", []),
    ("polarity bits above 1", [(7, 1, 1, 1)]),
])
def test_dat_variants(tmp_path, case, expected):
    if case == "version 1 layout":
        data = dat_bytes([(1, 0x1FF), (2, 0x1FE01), (3, 0x20200)], header=b"% Version 1\n")
    elif case == "type 0x00, 16-byte records":
        data = dat_bytes([(5, word(3, 4, 1))], ev_type=0x00, ev_size=16, extra=b"\xff" * 8)
    elif case == "other event type":
        data = dat_bytes([(5, word(3, 4, 1))] * 3, ev_type=0x28, ev_size=8)
    elif case == "header only":
        data = b"% Version 2\n"
    else:
        data = dat_bytes([(7, word(1, 1, 0) | (0x5 << 28))])
    path = tmp_path / "v.dat"
    path.write_bytes(data)
    got = DatReader(path).read_all()
    assert [tuple(int(v) for v in e) for e in got] == expected
    assert DatReader(path).count_events() == len(expected)


@pytest.mark.parametrize("cut, whole", [(1, 2), (7, 2), (9, 1)])
def test_dat_truncated_yields_whole_events_then_raises(tmp_path, cut, whole):
    data = dat_bytes([(1, word(1, 1, 1)), (2, word(2, 2, 0)), (3, word(3, 3, 1))])
    path = tmp_path / "cut.dat"
    path.write_bytes(data[:-cut])
    got = []
    with pytest.raises(ValueError, match=r"cut.dat: the file ends inside an event record .* byte offset \d+"):
        for chunk in DatReader(path, chunk_size=1):
            got.append(chunk)
    assert len(got) == whole
    with pytest.raises(ValueError, match="ends inside an event record"):
        DatReader(path).read_all()


@pytest.mark.parametrize("data, message", [
    (b"% Version 2\n\x0c", "ends inside the event type and size bytes"),
    (b"% Version 2\n\x0c\x04", "event size 4 at byte offset 13 is too small for CD events"),
    (b"% Version 2\n\x28\x00", "event size 0"),
])
def test_dat_bad_type_bytes(tmp_path, data, message):
    path = tmp_path / "b.dat"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=message):
        DatReader(path)


def test_dat_round_trip_in_chunks_with_wraps_and_absolute_times(tmp_path):
    ev = camera_events(300_000, seed=1, span=5 * 2**32)  # about six hours: several wraps
    ev["t"] += 2**40  # absolute times: written with a T0 line
    path = tmp_path / "w.dat"
    with DatWriter(path, sensor_size=(1280, 720)) as w:
        for part in np.array_split(ev, 7):
            w.append(part)
        assert w.n_events == len(ev)
    r = DatReader(path, chunk_size=40_000)
    assert r.t0 == 2**40
    chunks = list(r)
    assert {len(c) for c in chunks[:-1]} == {40_000}
    assert np.array_equal(np.concatenate(chunks), ev)


@pytest.mark.parametrize("change, message", [
    (lambda e: e["x"].__setitem__(3, 16384), "event 3 .*x must be below 16384"),
    (lambda e: e["p"].__setitem__(4, 2), "event 4 .*p must be 0 or 1"),
    (lambda e: e["t"].__setitem__(slice(5, None), e["t"][5:] + 2**32), "event 5 .*would not read back"),
    (lambda e: e["t"].__setitem__(6, 0), "event 6 .*would not read back"),  # back below the first t
])
def test_dat_writer_refuses_what_would_not_read_back(tmp_path, change, message):
    ev = camera_events(10, seed=2, width=64, height=64)
    ev["t"] += 2**33
    change(ev)
    path = tmp_path / "keep.dat"
    path.write_bytes(b"precious")
    with pytest.raises(ValueError, match=message):
        write_dat(path, ev)
    assert path.read_bytes() == b"precious"
    with pytest.raises(ValueError, match="outside the 10x10 sensor"):
        write_dat(path, camera_events(10, width=64, height=64), sensor_size=(10, 10))


def test_dat_against_faery_and_expelliarmus(tmp_path):
    faery = pytest.importorskip("faery")
    ev = camera_events(1_000_000, seed=4, span=3 * 2**32)
    ours = tmp_path / "ours.dat"
    write_dat(ours, ev, sensor_size=(1280, 720))
    back = np.concatenate(list(faery.events_stream_from_file(str(ours))))
    assert np.array_equal(back["t"], ev["t"]) and np.array_equal(back["x"], ev["x"])
    assert np.array_equal(back["y"], ev["y"]) and np.array_equal(back["on"], ev["p"] == 1)

    theirs = tmp_path / "theirs.dat"
    fe = np.zeros(len(ev), faery.EVENTS_DTYPE)
    for f in "txy":
        fe[f] = ev[f]
    fe["on"] = ev["p"] == 1
    for zero_t0 in (False, True):  # with zero_t0 faery writes a "% T0" line
        faery.events_stream_from_array(fe, dimensions=(1280, 720)).to_file(str(theirs), zero_t0=zero_t0)
        r = DatReader(theirs)
        assert r.sensor_size == (1280, 720)
        assert np.array_equal(r.read_all(), ev)

    expelliarmus = pytest.importorskip("expelliarmus")
    wiz = expelliarmus.Wizard(encoding="dat", fpath=str(ours))
    got = wiz.read()
    assert np.array_equal(got["t"], ev["t"].astype(np.int64)) and np.array_equal(got["p"], ev["p"])
    exp = tmp_path / "exp.dat"
    wiz.save(str(exp), got)  # a header without sizes, event type 0x00
    r = DatReader(exp)
    assert (r.sensor_size, r.event_type) == (None, 0)
    assert np.array_equal(r.read_all(), ev)


# --- EVT 2.1 ---------------------------------------------------------------------------------


def evt21_words(*words):
    return struct.pack(f"<{len(words)}Q", *words)


def ev21(p, t_low, x_base, y, mask):
    return (p << 60) | (t_low << 54) | (x_base << 43) | (y << 32) | mask


def time_high(v):
    return (0x8 << 60) | (v << 32)


def raw21(tmp_path, body, name="h.raw"):
    path = tmp_path / name
    path.write_bytes(b"% evt 2.1\n% format EVT21;height=720;width=1280\n% end\n" + body)
    return path


def test_evt21_hand_built_words(tmp_path):
    body = evt21_words(time_high(5), ev21(1, 3, 64, 9, 0b1011),
                       (0xA << 60) | 0xFFFF,  # trigger: no event
                       (0xE << 60) | 0xFFFFFFFF,  # others
                       ev21(0, 63, 2016, 2047, 1 << 31),
                       time_high(2**28 - 1), ev21(1, 0, 0, 0, 1),
                       time_high(2), ev21(0, 1, 32, 1, 0b1))  # wrap of the 34-bit time
    r = RawReader(raw21(tmp_path, body))
    assert (r.format, r.sensor_size, r.count_events()) == ("EVT21", (1280, 720), 6)
    got = [tuple(int(v) for v in e) for e in r.read_all()]
    t = 5 << 6
    assert got == [(t | 3, 64, 9, 1), (t | 3, 65, 9, 1), (t | 3, 67, 9, 1), (t | 63, 2047, 2047, 0),
                   ((2**28 - 1) << 6, 0, 0, 1), (2**34 + (2 << 6) + 1, 32, 1, 0)]


def test_evt21_truncated_and_pieces(tmp_path):
    body = evt21_words(time_high(1), *[ev21(i % 2, i % 64, 32 * (i % 60), i % 700, 0xF0F0F0F0) for i in range(9000)])
    path = raw21(tmp_path, body[:-3], "cut.raw")
    chunks = []
    with pytest.raises(ValueError, match="ends inside a EVT21 word"):
        for c in RawReader(path, chunk_size=7001):
            chunks.append(c)
    whole = RawReader(raw21(tmp_path, body[:-8], "whole.raw")).read_all()
    assert len(whole) == 8999 * 16
    assert np.array_equal(np.concatenate(chunks), whole)


def test_evt21_writer_groups_and_round_trips(tmp_path):
    ev = camera_events(200_000, seed=5, span=2**35)
    # runs on one row at one time: one word for up to 32 columns
    run = np.zeros(64, EVENT_DTYPE)
    run["t"], run["y"], run["p"], run["x"] = ev["t"][-1] + 1, 3, 1, np.arange(64) + 16
    ev = np.concatenate([ev, run])
    path = tmp_path / "w.raw"
    write_raw(path, ev, "EVT21", (1280, 720))
    r = RawReader(path)
    assert r.format == "EVT21" and np.array_equal(r.read_all(), ev)
    small = tmp_path / "run.raw"
    run["t"] = 100
    write_raw(small, run, "EVT21")
    words = (os.path.getsize(small) - RawReader(small).data_offset) // 8
    assert words == 1 + 3  # a time high, then columns 16..31, 32..63, 64..79


def test_evt21_against_evlib(tmp_path):
    evlib = pytest.importorskip("evlib")
    ev = camera_events(500_000, seed=6)
    path = tmp_path / "e.raw"
    write_raw(path, ev, "EVT21", (1280, 720))
    df = evlib.load_events(str(path), sort=False)
    df = df.collect() if hasattr(df, "collect") else df
    t = df["t"].dt.total_microseconds().to_numpy() if df["t"].dtype != df["x"].dtype else df["t"].to_numpy()
    assert np.array_equal(t.astype(np.uint64), ev["t"])
    assert np.array_equal(df["x"].to_numpy(), ev["x"]) and np.array_equal(df["y"].to_numpy(), ev["y"])
    assert np.array_equal(df["polarity"].to_numpy() > 0, ev["p"] == 1)


# --- the registry ----------------------------------------------------------------------------

WRITABLE = [name for name, f in mio.FORMATS.items() if f.writes]
EXT = {"evt2": ".raw", "evt3": ".raw", "evt2.1": ".raw", "dat": ".dat", "aedat4": ".aedat4", "hdf5": ".h5",
       "events": ".bin", "atis": ".bin", "npy": ".npy", "npz": ".npz", "es": ".es",
       "csv": ".csv"}
NO_SENSOR_SIZE = {"events", "atis", "npy", "csv"}  # formats that keep none
SMALL_SENSOR = {"atis": (200, 200)}  # formats whose coordinates are small


def sample(names, small):
    """Events and a sensor size every format of `names` can store."""
    sizes = [SMALL_SENSOR[n] for n in names if n in SMALL_SENSOR]
    if not sizes:
        return small, (1280, 720)
    w, h = min(s[0] for s in sizes), min(s[1] for s in sizes)
    ev = small.copy()
    ev["x"] %= w
    ev["y"] %= h
    return ev, (w, h)


def needs(name):
    if name == "hdf5":
        pytest.importorskip("h5py")
    if name == "aedat4":
        pytest.importorskip("lz4")


@pytest.fixture(scope="module")
def small():
    return camera_events(5000, seed=7, span=10**7)


@pytest.mark.parametrize("name", WRITABLE)
def test_write_open_detect_and_time_windows(tmp_path, small, name):
    needs(name)
    small, size = sample([name], small)
    path = tmp_path / f"rec{EXT[name]}"
    mio.write(path, small, name, sensor_size=size)
    assert mio.detect_format(path) == name
    with mio.open(path, chunk_size=1234) as rec:
        assert rec.format == name
        assert rec.sensor_size == (None if name in NO_SENSOR_SIZE else size)
        chunks = list(rec)
        assert [len(c) for c in chunks[:-1]] == [1234] * (len(chunks) - 1)
        assert np.array_equal(np.concatenate(chunks), small) and np.array_equal(rec.read_all(), small)
        assert rec.count_events() in (None, len(small))
        rng = np.random.default_rng(0)
        for a, b in [(0, 1), (0, 2**63), (int(small["t"][100]), int(small["t"][100])),
                     *rng.integers(0, 10**7, (5, 2)).tolist()]:
            want = small[(small["t"] >= a) & (small["t"] < b)]
            assert np.array_equal(rec.read_time_window(a, b), want), (a, b)
    with pytest.raises(ValueError, match="closed"):
        iter(rec)


def test_forward_window_reads_an_unsorted_file_to_its_end(tmp_path):
    ev = camera_events(3000, seed=8)
    ev["t"][2500:] = np.sort(ev["t"][2500:] // 4)  # time goes back near the end,
    ev["t"][[10, 11]] = ev["t"][[11, 10]] + 1  # and once early on
    path = tmp_path / "u.bin"
    ev.tofile(path)
    with mio.open(path, chunk_size=100) as rec:
        t_end = int(ev["t"][1000])
        assert np.array_equal(rec.read_time_window(0, t_end), ev[ev["t"] < t_end])


def test_detection_prefers_contents_to_names(tmp_path, small):
    dat_named_raw = tmp_path / "really_dat.raw"
    write_dat(dat_named_raw, small, sensor_size=(1280, 720))
    raw_named_dat = tmp_path / "really_raw.dat"
    write_raw(raw_named_dat, small, "EVT2")
    assert mio.detect_format(dat_named_raw) == "dat" and mio.detect_format(raw_named_dat) == "evt2"
    junk = tmp_path / "junk.xyz"
    junk.write_bytes(b"hello")
    with pytest.raises(ValueError, match="known formats: 'evt3', 'evt2', 'evt2.1', 'dat'"):
        mio.open(junk)
    with pytest.raises(ValueError, match="unknown format 'evt4'; known formats"):
        mio.open(raw_named_dat, "evt4")
    with pytest.raises(TypeError, match="takes no option 'stream'"):
        mio.open(raw_named_dat, stream=1)
    with pytest.raises(FileNotFoundError):
        mio.open(tmp_path / "missing.raw")


@pytest.mark.parametrize("how", ["bad events", "exception in the block", "unknown name"])
def test_writers_leave_nothing_behind(tmp_path, small, how):
    target = tmp_path / "out.dat"
    target.write_bytes(b"precious")
    bad = small.copy()
    bad["x"][10] = 20000
    if how == "bad events":
        with pytest.raises(ValueError, match="event 10 .*x must be below 16384"):
            mio.write(target, bad)
    elif how == "exception in the block":
        with pytest.raises(RuntimeError):
            with mio.Writer(target) as w:
                w.append(small)
                raise RuntimeError("stop")
    else:
        with pytest.raises(ValueError, match="cannot tell the format from the name"):
            mio.write(tmp_path / "out.xyz", small)
    assert os.listdir(tmp_path) == ["out.dat"] and target.read_bytes() == b"precious"


@pytest.mark.parametrize("src, dst", list(itertools.product(WRITABLE, WRITABLE)))
def test_convert_between_every_pair(tmp_path, small, src, dst):
    needs(src)
    needs(dst)
    small, size = sample([src, dst], small)
    a = tmp_path / f"a{EXT[src]}"
    b = tmp_path / f"b{EXT[dst]}"
    mio.write(a, small, src, sensor_size=size)
    size_arg = ["--sensor-size", f"{size[0]}x{size[1]}"] if src in NO_SENSOR_SIZE and dst == "es" else []
    proc = subprocess.run([sys.executable, "-m", "morvel.io", "convert", str(a), str(b), "--to", dst] + size_arg,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    with mio.open(b) as rec:
        assert rec.format == dst and np.array_equal(rec.read_all(), small)
        if src not in NO_SENSOR_SIZE and dst not in NO_SENSOR_SIZE:
            assert rec.sensor_size == size
