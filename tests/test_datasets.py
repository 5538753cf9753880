"""The public datasets' formats: AEDAT 2.0 and 3.1, the 5-byte ATIS binary
format, against files built here from their layouts and against tonic's
readers of the same files."""

import os
import struct
import warnings

import numpy as np
import pytest

from morvel.io.recordings import Aedat2Reader, Aedat3Reader, AtisReader, AtisWriter, write_atis
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events



@pytest.fixture
def tonic_io():
    return pytest.importorskip("tonic.io")


def events_of(rows):
    ev = np.zeros(len(rows), EVENT_DTYPE)
    for i, (t, x, y, p) in enumerate(rows):
        ev[i] = (t, x, y, p)
    return ev


def read_both_ways(reader_cls, path, **kw):
    """read_all, and iteration in small chunks, must agree."""
    whole = reader_cls(path, **kw).read_all()
    chunks = list(reader_cls(path, chunk_size=333, **kw))
    assert all(len(c) == 333 for c in chunks[:-1])
    joined = np.concatenate(chunks) if chunks else np.empty(0, EVENT_DTYPE)
    assert np.array_equal(whole, joined)
    return whole


def tonic_quiet(fn, *args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kw)


@pytest.fixture
def tonic_aedat(monkeypatch, tonic_io):
    """tonic.io with the header helper its AEDAT 2 / 3.1 readers expect: in
    tonic 1.7 it gives three values where read_dvs_ibm and read_dvs_128
    unpack two, so they fail on every file."""
    helper = tonic_io.read_aedat_header_from_file
    monkeypatch.setattr(tonic_io, "read_aedat_header_from_file", lambda f: tuple(helper(f))[:2])
    return tonic_io


# --- ATIS binary --------------------------------------------------------------------------

def atis_bytes(rows):
    return b"".join(bytes([x, y, (p << 7) | (ts >> 16), (ts >> 8) & 255, ts & 255]) for x, y, p, ts in rows)


TONIC_ATIS = np.dtype([("x", np.int64), ("y", np.int64), ("t", np.int64), ("p", np.int64)])


def test_atis_against_tonic(tmp_path, tonic_io):
    ev = make_events(60000, width=34, height=34)
    ev["t"] = np.sort(np.random.default_rng(3).integers(0, 2**23, len(ev)))
    path = tmp_path / "n.bin"
    write_atis(path, ev)
    assert path.stat().st_size == 5 * len(ev)  # no marker: one span
    got = read_both_ways(AtisReader, path)
    assert np.array_equal(got, ev)
    t = tonic_quiet(tonic_io.read_mnist_file, str(path), dtype=TONIC_ATIS)
    for name in "txyp":
        assert np.array_equal(t[name], ev[name].astype(np.int64)), name


@pytest.mark.parametrize(
    "rows, want",
    [
        # a marker adds 2**23 and is no event; the timestamps start again after it
        ([(1, 2, 1, 8000000), (0, 240, 0, 0), (3, 4, 0, 5)], [(8000000, 1, 2, 1), (2**23 + 5, 3, 4, 0)]),
        # a wrap without its marker: back by more than 2**22
        ([(1, 2, 1, 8000000), (3, 4, 0, 5)], [(8000000, 1, 2, 1), (2**23 + 5, 3, 4, 0)]),
        # small steps back are kept as they are
        ([(1, 2, 1, 5000), (3, 4, 0, 4990), (5, 6, 1, 5001)], [(5000, 1, 2, 1), (4990, 3, 4, 0), (5001, 5, 6, 1)]),
        # two markers in a row, then an event
        ([(0, 240, 0, 0), (0, 240, 0, 0), (9, 9, 1, 1)], [(2**24 + 1, 9, 9, 1)]),
    ],
)
def test_atis_wraps(tmp_path, rows, want):
    path = tmp_path / "w.bin"
    path.write_bytes(atis_bytes(rows))
    assert np.array_equal(AtisReader(path).read_all(), events_of(want))


def test_atis_round_trip_across_spans_and_streaming(tmp_path):
    ev = make_events(20000, width=256, height=200)
    ev["t"] = np.sort(np.random.default_rng(1).integers(0, 2**26, len(ev)))
    ev["t"][5000:] += 3 * 2**23  # a long gap: markers one after the other
    whole = tmp_path / "w.bin"
    write_atis(whole, ev)
    streamed = tmp_path / "s.bin"
    with AtisWriter(streamed) as w:
        for part in np.array_split(ev, 7):
            w.append(part)
        assert w.n_events == len(ev)
    assert streamed.read_bytes() == whole.read_bytes()
    assert np.array_equal(read_both_ways(AtisReader, whole), ev)


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("x", 256, "x must be below 256"),
        ("y", 240, "y 240 marks a timestamp wrap"),
        ("p", 2, "p must be 0 or 1"),
        ("t", 0, "23-bit timestamps"),  # back into an earlier span
    ],
)
def test_atis_writer_refuses_what_would_not_read_back(tmp_path, field, value, message):
    ev = make_events(10, width=200, height=200)
    ev["t"] = np.arange(10) * 2**22 + 7
    ev[field][6] = value
    path = tmp_path / "r.bin"
    with pytest.raises(ValueError, match=f"event 6 .*{message}"):
        write_atis(path, ev)
    assert not path.exists()
    with AtisWriter(path) as w:
        w.append(ev[:6])
        with pytest.raises(ValueError, match=message):
            w.append(ev[6:])  # nothing of this array is written
    assert np.array_equal(AtisReader(path).read_all(), ev[:6])


def test_atis_cut_record(tmp_path):
    ev = make_events(100, width=30, height=30)
    path = tmp_path / "c.bin"
    write_atis(path, ev)
    path.write_bytes(path.read_bytes()[:-3])
    got = []
    with pytest.raises(ValueError, match="ends inside an event record \\(2 trailing bytes from byte offset 495\\)"):
        for c in AtisReader(path, chunk_size=40):
            got.append(c)
    assert np.array_equal(np.concatenate(got), ev[:99])


# --- AEDAT 3.1 --------------------------------------------------------------------------------

HEADER3 = b"#!AER-DAT3.1\r\n#Format: RAW\r\n#Source 1: DVS128\r\n#Start-Time: 2017\r\n#!END-HEADER\r\n"


def packet3(kind, events=(), size=8, ts_offset=4, overflow=0, capacity=None, number=None, payload=None, source=1):
    if payload is None:
        payload = b"".join(struct.pack("<II", (x << 17) | (y << 2) | (p << 1) | v, t) + b"\0" * (size - 8)
                           for x, y, p, v, t in events)
    count = len(events) if payload is not None and events else len(payload) // max(size, 1)
    capacity = count if capacity is None else capacity
    number = count if number is None else number
    valid = sum(1 for e in events if e[3])
    return struct.pack("<HHIIIIII", kind, source, size, ts_offset, overflow, capacity, number, valid) + payload


def random_polarity(n, seed):
    rng = np.random.default_rng(seed)
    return [(int(x), int(y), int(p), int(v), int(t)) for x, y, p, v, t in
            zip(rng.integers(0, 128, n), rng.integers(0, 128, n), rng.integers(0, 2, n),
                rng.random(n) < 0.9, np.sort(rng.integers(0, 2**31, n)))]


def test_aedat3_against_tonic(tmp_path, tonic_aedat):
    rows = random_polarity(5000, 1)
    polarity = b"".join(packet3(1, rows[k:k + 700], overflow=k // 1400) for k in range(0, len(rows), 700))
    path = tmp_path / "g.aedat"
    path.write_bytes(HEADER3 + polarity)
    got = read_both_ways(Aedat3Reader, path)
    want = [(((k // 700) // 2) << 31 | t, x, y, p) for k, (x, y, p, v, t) in enumerate(rows) if v]
    assert np.array_equal(got, events_of(want))
    # tonic keeps the events whose valid bit is clear, and drops the overflow from t
    out = tonic_quiet(tonic_aedat.read_dvs_ibm, str(path))
    tev = out[-1] if isinstance(out, tuple) else out
    valid = np.array([r[3] for r in rows], bool)
    assert np.array_equal(np.asarray(tev["t"])[valid].astype(np.int64), (got["t"] & (2**31 - 1)).astype(np.int64))
    for name in "xyp":
        assert np.array_equal(np.asarray(tev[name])[valid].astype(np.int64), got[name].astype(np.int64)), name
    # packets of other kinds between them are skipped (tonic decodes them as polarity events too)
    others = packet3(2, payload=b"\x07" * 64, size=16) + packet3(0, payload=struct.pack("<II", 0x5, 99) * 3)
    mixed = b"".join(packet3(1, rows[k:k + 700], overflow=k // 1400) + others for k in range(0, len(rows), 700))
    path.write_bytes(HEADER3 + others + mixed)
    assert np.array_equal(read_both_ways(Aedat3Reader, path), got)


@pytest.mark.parametrize(
    "packets, want",
    [
        # events past `number` are not read; invalid ones are dropped
        ([packet3(1, [(1, 2, 1, 1, 10), (3, 4, 0, 0, 11), (5, 6, 1, 1, 12)], number=2)], [(10, 1, 2, 1)]),
        # a larger event size and a timestamp offset other than 4
        ([struct.pack("<HHIIIIII", 1, 0, 12, 8, 1, 1, 1, 1) + struct.pack("<III", (9 << 17) | (8 << 2) | 3, 0, 77)],
         [(2**31 | 77, 9, 8, 1)]),
        # an empty packet, then IMU and polarity
        ([packet3(1, []), packet3(3, payload=b"\1" * 36, size=36), packet3(1, [(0, 0, 0, 1, 5)])], [(5, 0, 0, 0)]),
    ],
)
def test_aedat3_packet_kinds(tmp_path, packets, want):
    path = tmp_path / "k.aedat"
    path.write_bytes(HEADER3 + b"".join(packets))
    assert np.array_equal(read_both_ways(Aedat3Reader, path), events_of(want))


@pytest.mark.parametrize(
    "tail, message",
    [
        (lambda p: p[:-5], "ends inside the events of the packet \\(at byte 124\\)"),
        (lambda p: p + p[:10], "ends inside a packet header \\(at byte 192\\)"),
        (lambda p: p + struct.pack("<HHIIIIII", 1, 0, 8, 4, 0, 2, 3, 0), "more events than it has room for"),
        (lambda p: p + struct.pack("<HHIIIIII", 1, 0, 4, 0, 0, 2, 2, 0), "event size or timestamp offset"),
        (lambda p: p + struct.pack("<HHIIIIII", 2, 0, 0, 0, 0, 2, 2, 0), "event size is 0"),
    ],
)
def test_aedat3_damage_after_whole_events(tmp_path, tail, message):
    rows = [(i, i, i % 2, 1, 100 + i) for i in range(5)]
    first = packet3(1, rows)
    path = tmp_path / "d.aedat"
    path.write_bytes(HEADER3 + packet3(1, rows[:2]) + tail(first))
    got = []
    with pytest.raises(ValueError, match=message):
        for c in Aedat3Reader(path, chunk_size=1):
            got.append(c)
    full = 2 + (5 if "packet \\(at byte 124" not in message else 4)
    assert len(got) >= 2 and np.array_equal(np.concatenate(got)[:2], events_of([(100, 0, 0, 0), (101, 1, 1, 1)]))
    assert len(got) <= full


@pytest.mark.parametrize(
    "data, message",
    [
        (b"#!AER-DAT2.0\r\n", "not an AEDAT 3.1 file"),
        (b"#!AER-DAT3.1\r\n#no end\r\n", "no \"#!END-HEADER\" line"),
        (b"hello", "not an AEDAT 3.1 file"),
    ],
)
def test_aedat3_headers_refused(tmp_path, data, message):
    path = tmp_path / "h.aedat"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=message):
        Aedat3Reader(path)


# --- AEDAT 2.0 -------------------------------------------------------------------------------

def aedat2(path, records, chip="DVS128"):
    head = b"#!AER-DAT2.0\r\n# This is a raw AE data file\r\n"
    if chip:
        head += f"# AEChip: ch.unizh.ini.jaer.chip.retina.{chip}\r\n".encode()
    head += b"#End Of ASCII Header\r\n"
    path.write_bytes(head + b"".join(struct.pack(">II", a, t) for a, t in records))


def davis_address(x, y, p):
    return (y << 22) | (x << 12) | (p << 11)


def test_aedat2_davis346_against_tonic(tmp_path, tonic_io):
    rng = np.random.default_rng(5)
    n = 4000
    x, y, p = rng.integers(0, 346, n), rng.integers(0, 260, n), rng.integers(0, 2, n)
    t = np.sort(rng.integers(0, 2**31, n))
    records = [(davis_address(*v), int(ts)) for *v, ts in zip(x, y, p, t)]
    path = tmp_path / "d.aedat"
    aedat2(path, records, chip="DAVIS346B")
    r = Aedat2Reader(path)
    assert r.sensor_size == (346, 260)
    got = read_both_ways(Aedat2Reader, path)
    assert np.array_equal(got, events_of(list(zip(t, x, y, p))))
    # tonic gives the same events with both axes flipped
    shape, _, tev = tonic_quiet(tonic_io.read_davis_346, str(path))
    assert np.array_equal(345 - np.asarray(tev["x"]), got["x"]) and np.array_equal(259 - np.asarray(tev["y"]), got["y"])
    assert np.array_equal(np.asarray(tev["t"]), got["t"]) and np.array_equal(np.asarray(tev["p"]), got["p"])


def test_aedat2_skips_what_is_no_dvs_event_and_unwraps(tmp_path):
    path = tmp_path / "s.aedat"
    records = [
        (davis_address(3, 4, 1), 10),
        (0x80000000 | davis_address(3, 4, 1), 11),  # APS / IMU sample
        (davis_address(3, 4, 1) | 0x400, 12),        # external event
        (davis_address(400, 4, 1), 13),              # outside the sensor
        (davis_address(5, 6, 0), 2**32 - 5),
        (davis_address(7, 8, 1), 3),                 # wrapped: + 2**32
    ]
    aedat2(path, records, chip="DAVIS240C")
    assert Aedat2Reader(path).sensor_size == (240, 180)
    assert np.array_equal(Aedat2Reader(path).read_all(),
                          events_of([(10, 3, 4, 1), (2**32 - 5, 5, 6, 0), (2**32 + 3, 7, 8, 1)]))


def test_aedat2_dvs128_layout_and_camera_choice(tmp_path):
    path = tmp_path / "c.aedat"
    records = [((9 << 8) | (5 << 1) | 1, 1), (0x8000 | (1 << 1), 2), ((127 << 8) | (127 << 1), 3)]
    aedat2(path, records, chip="DVS128")
    want = events_of([(1, 5, 9, 1), (3, 127, 127, 0)])
    assert np.array_equal(Aedat2Reader(path).read_all(), want)
    # tonic's read_dvs_128 names bits 7..1 y and bits 14..8 x
    aedat2(path, records, chip=None)
    with pytest.raises(ValueError, match="names no camera .*camera='dvs128'"):
        Aedat2Reader(path)
    assert np.array_equal(Aedat2Reader(path, camera="dvs128").read_all(), want)
    with pytest.raises(ValueError, match="camera must be"):
        Aedat2Reader(path, camera="atis")
    # camera= wins over the header
    aedat2(path, [(davis_address(3, 4, 1), 5)], chip="DVS128")
    assert np.array_equal(Aedat2Reader(path, camera="davis346").read_all(), events_of([(5, 3, 4, 1)]))


def test_aedat2_header_without_end_line_and_cut_record(tmp_path):
    path = tmp_path / "e.aedat"
    body = b"".join(struct.pack(">II", (i << 1), 100 + i) for i in range(10))
    path.write_bytes(b"#!AER-DAT2.0\r\n# DVS128\r\n" + body + b"\0\0\0")
    r = Aedat2Reader(path)
    assert r.data_offset == 24
    got = []
    with pytest.raises(ValueError, match="ends inside an event record \\(3 trailing bytes"):
        for c in r:
            got.append(c)
    assert np.array_equal(np.concatenate(got)["x"], np.arange(10))


# --- NumPy files ---------------------------------------------------------------------------

import morvel.io as mio  # noqa: E402


def expected(t, x, y, p):
    ev = np.zeros(len(t), EVENT_DTYPE)
    ev["t"], ev["x"], ev["y"], ev["p"] = t, x, y, p
    return ev


@pytest.mark.parametrize(
    "fields",
    [
        [("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")],
        [("timestamp", "<i8"), ("polarity", "?"), ("y", "<i4"), ("x", ">u2")],  # any order, other names and types
        [("ts", "<f8"), ("x", "<f4"), ("y", "<i2"), ("on", "i1")],  # on as -1 / +1
        [("x", "u1"), ("y", "u1"), ("p", "<f4"), ("t", "<u4"), ("label", "<i8")],  # a field more
    ],
)
@pytest.mark.parametrize("ext", [".npy", ".npz"])
def test_numpy_structured_arrays(tmp_path, fields, ext):
    ev = make_events(3000, width=200, height=200)
    a = np.zeros(len(ev), fields)
    names = a.dtype.names
    tname = next(n for n in names if n in ("t", "ts", "timestamp"))
    pname = next(n for n in names if n in ("p", "polarity", "on"))
    a[tname], a["x"], a["y"] = ev["t"], ev["x"], ev["y"]
    a[pname] = np.where(ev["p"] == 1, 1, -1 if a.dtype[pname].kind in "if" else 0)
    path = tmp_path / f"e{ext}"
    if ext == ".npy":
        np.save(path, a)
    else:
        np.savez(path, other=np.arange(3), events=a)
    assert mio.detect_format(path) == ext[1:]
    with mio.open(path, chunk_size=700) as rec:
        chunks = list(rec)
        assert [len(c) for c in chunks[:-1]] == [700] * (len(chunks) - 1)
        assert np.array_equal(np.concatenate(chunks), ev) and np.array_equal(rec.read_all(), ev)
        assert rec.count_events() == len(ev)


@pytest.mark.parametrize("order", ["C", "F"])
def test_numpy_2d_with_columns_and_seconds(tmp_path, order):
    ev = make_events(2000, width=300, height=200)
    m = np.stack([ev["x"], ev["y"], ev["t"] / 1e6, np.where(ev["p"] == 1, 1.0, -1.0)], axis=1)  # MVSEC-like
    m = np.asfortranarray(m) if order == "F" else np.ascontiguousarray(m)
    path = tmp_path / "m.npy"
    np.save(path, m)
    with pytest.raises(ValueError, match="needs columns="):
        mio.open(path)
    got = mio.open(path, columns=("x", "y", "t", "p"), time_unit="s", chunk_size=333).read_all()
    assert np.array_equal(got, ev)
    assert np.array_equal(np.concatenate(list(mio.open(path, columns=("x", "y", "t", "p"), time_unit="s",
                                                        chunk_size=333))), ev)


@pytest.mark.parametrize(
    "array, options, error, message",
    [
        (np.zeros(3, [("a", "u8"), ("x", "u2"), ("y", "u2"), ("p", "u1")]), {}, ValueError, "no field for t"),
        (np.zeros(3, [("a", "u8"), ("x", "u2"), ("y", "u2"), ("p", "u1")]), {"columns": {"t": "b"}}, ValueError,
         "no field 'b'"),
        (np.zeros((3, 4)), {"columns": ("t", "x", "y")}, ValueError, "names 3 columns, the array has 4"),
        (np.zeros((3, 4)), {"columns": ("t", "x", "x", "p")}, ValueError, "once each"),
        (np.zeros(3), {}, ValueError, "neither structured nor 2-D"),
        (np.zeros(3, [("t", "U4"), ("x", "u2"), ("y", "u2"), ("p", "u1")]), {}, ValueError, "'t' is not a number"),
        (np.array([(-1.0, 0, 0, 0)], [("t", "f8"), ("x", "u2"), ("y", "u2"), ("p", "u1")]), {"time_unit": "s"},
         ValueError, "event 0: t = .* s is not a time"),
        (np.zeros(3, [("t", "u8"), ("x", "u2"), ("y", "u2"), ("p", "u1")]), {"time_unit": "ms"}, ValueError,
         "time_unit must be"),
    ],
)
def test_numpy_arrays_refused(tmp_path, array, options, error, message):
    path = tmp_path / "bad.npy"
    np.save(path, array)
    with pytest.raises(error, match=message):
        mio.open(path, **options).read_all()


def test_numpy_cut_file_yields_whole_records_then_raises(tmp_path):
    ev = make_events(1000)
    path = tmp_path / "c.npy"
    np.save(path, ev)
    path.write_bytes(path.read_bytes()[:-20])
    got = []
    with pytest.raises(ValueError, match="ends inside the array \\(998 of 1000 records, 6 trailing bytes\\)"):
        for c in mio.open(path, chunk_size=100):
            got.append(c)
    assert np.array_equal(np.concatenate(got), ev[:998])


@pytest.mark.parametrize("ext", [".npy", ".npz"])
def test_numpy_writer_streams_what_numpy_reads(tmp_path, ext):
    ev = make_events(50000)
    path = tmp_path / f"w{ext}"
    with mio.Writer(path, sensor_size=(640, 480)) as w:
        for part in np.array_split(ev, 9):
            w.append(part)
    if ext == ".npy":
        assert np.array_equal(np.load(path), ev)
    else:
        with np.load(path) as z:
            assert np.array_equal(z["events"], ev) and tuple(z["sensor_size"]) == (640, 480)
        assert mio.open(path).sensor_size == (640, 480)
    assert np.array_equal(mio.open(path).read_all(), ev)
    assert sorted(os.listdir(tmp_path)) == [path.name]


def test_to_events_through_the_core():
    from morvel.io.recordings import to_events

    a = np.zeros(4, [("ts", "<f8"), ("x", "<i4"), ("y", "u1"), ("pol", "?")])
    a["ts"], a["x"], a["pol"] = [1.5, 2, 3, 1e30], [1, 2, 3, -1], [1, 0, 1, 0]
    want = np.zeros(4, EVENT_DTYPE)
    with np.errstate(invalid="ignore"):  # 1e30 as u8: astype's own answer
        for r, n in zip("txyp", a.dtype.names):
            want[r] = a[n].astype(EVENT_DTYPE[r])
    assert np.array_equal(to_events(a, fields=("ts", "x", "y", "pol")), want)
    assert np.array_equal(to_events({"t": a["ts"], "x": a["x"], "y": a["y"], "p": a["pol"]}), want)
    with pytest.raises(ValueError, match="name the table's fields"):
        to_events(a, fields=("ts", "x"))
    with pytest.raises(TypeError, match="ndarray or a dict"):
        to_events([1, 2])


@pytest.mark.parametrize("n", [1, 13, 26])  # 13 and 26 ATIS events are also 5 and 10 whole records
def test_bin_files_told_apart(tmp_path, n):
    ev = make_events(n, width=200, height=200)
    ev["t"] = np.arange(n) * 1000 + 0x12345  # timestamp bytes that are no polarity byte
    atis, records = tmp_path / "a.bin", tmp_path / "r.bin"
    write_atis(atis, ev)
    mio.write(records, make_events(n * 5 // 13 or 1), "events")
    assert mio.detect_format(atis) == "atis" and mio.detect_format(records) == "events"
    assert np.array_equal(mio.open(atis).read_all(), ev)


# --- Event Stream -------------------------------------------------------------------------

from morvel.io.recordings import CsvReader, CsvWriter, EsReader, EsWriter, write_csv, write_es  # noqa: E402

FAERY_DTYPE = np.dtype([("t", "<u8"), ("x", "<u2"), ("y", "<u2"), (("p", "on"), "?")])


def gapped_events(n, seed, width=640, height=480):
    """Sorted events whose gaps take every path of the time encoding: none, short, exactly 126 and 127,
    multiples of 127 and long ones."""
    rng = np.random.default_rng(seed)
    gaps = rng.choice([0, 1, 126, 127, 128, 254, 1000, 127 * 50 + 1, 10**6], n)
    ev = make_events(n, seed=seed, width=width, height=height)
    ev["t"] = 5 + np.cumsum(gaps)
    return ev


@pytest.fixture
def faery():
    return pytest.importorskip("faery")


def as_faery(ev):
    f = np.zeros(len(ev), FAERY_DTYPE)
    f["t"], f["x"], f["y"], f["on"] = ev["t"], ev["x"], ev["y"], ev["p"]
    return f


def test_es_against_faery_both_ways(tmp_path, faery):
    ev = gapped_events(20000, 1)
    theirs = tmp_path / "faery.es"
    faery.events_stream_from_array(as_faery(ev), (640, 480)).to_file(theirs, zero_t0=False)
    r = EsReader(theirs)
    assert r.sensor_size == (640, 480) and r.header == {"type": "dvs", "version": (2, 0, 0)}
    assert np.array_equal(read_both_ways(EsReader, theirs), ev)
    ours = tmp_path / "ours.es"
    with EsWriter(ours, sensor_size=(640, 480)) as w:
        for part in np.array_split(ev, 5):
            w.append(part)
    assert ours.read_bytes() == theirs.read_bytes()  # byte for byte what faery writes
    back = np.concatenate(list(faery.events_stream_from_file(ours)))
    assert np.array_equal(back["t"], ev["t"]) and np.array_equal(back["y"], ev["y"])
    assert np.array_equal(back["on"], ev["p"].astype(bool))


def test_es_atis_change_detections(tmp_path, faery):
    rng = np.random.default_rng(2)
    n = 3000
    a = np.zeros(n, [("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("exposure", "?"), ("polarity", "?")])
    a["t"] = np.cumsum(rng.choice([0, 5, 62, 63, 200, 5000], n))
    a["x"], a["y"] = rng.integers(0, 304, n), rng.integers(0, 240, n)
    a["exposure"], a["polarity"] = rng.random(n) < 0.3, rng.random(n) < 0.5
    path = tmp_path / "atis.es"
    e = faery.es.Encoder(str(path), "atis", False, (304, 240))
    e.write(a)
    del e
    want = np.concatenate(list(faery.events_stream_from_file(path)))
    got = read_both_ways(EsReader, path)
    assert len(got) == int((~a["exposure"]).sum()) == len(want)
    assert np.array_equal(got["t"], want["t"]) and np.array_equal(got["y"], want["y"])
    assert np.array_equal(got["x"], a["x"][~a["exposure"]]) and np.array_equal(got["p"], a["polarity"][~a["exposure"]])


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda b: b[:-2], "ends inside an event record"),
        (lambda b: b[:22] + b"\x00\x80\x02\x00\x00" + b[22:], "outside the width 640"),
    ],
)
def test_es_damage_after_whole_events(tmp_path, damage, message):
    ev = gapped_events(100, 3)
    path = tmp_path / "d.es"
    write_es(path, ev, sensor_size=(640, 480))
    path.write_bytes(damage(path.read_bytes()))
    got = []
    with pytest.raises(ValueError, match=message):
        for c in EsReader(path, chunk_size=10):
            got.append(c)
    got = np.concatenate(got) if got else np.empty(0, EVENT_DTYPE)
    assert np.array_equal(got, ev[:len(got)])


@pytest.mark.parametrize(
    "data, message",
    [
        (b"Event Stream\x01\x00\x00", "version"),
        (b"Event Stream\x02\x00\x00\x03", "type"),
        (b"Event Stream\x02\x00", "cut short"),
        (b"Event Strean\x02\x00\x00\x01\x10\x00\x10\x00", "Event Stream"),
    ],
)
def test_es_headers_refused(tmp_path, data, message):
    path = tmp_path / "h.es"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=message):
        EsReader(path)


@pytest.mark.parametrize(
    "field, value, message",
    [("x", 640, "x"), ("y", 480, "y"), ("p", 2, "p"), ("t", 0, "")],
)
def test_es_writer_refuses(tmp_path, field, value, message):
    ev = gapped_events(10, 4)
    ev[field][6] = value
    path = tmp_path / "r.es"
    with pytest.raises(ValueError, match=f"event 6 .*{message}"):
        write_es(path, ev, sensor_size=(640, 480))
    assert not path.exists()
    with pytest.raises(TypeError, match="need sensor_size"):
        EsWriter(path, sensor_size=None)


# --- text ----------------------------------------------------------------------------------

def test_csv_round_trip_against_numpy_and_faery(tmp_path, faery):
    ev = make_events(30000)
    path = tmp_path / "e.csv"
    write_csv(path, ev)
    got = read_both_ways(CsvReader, path)
    assert np.array_equal(got, ev)
    loaded = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.int64)
    for i, name in enumerate("txyp"):
        assert np.array_equal(loaded[:, i], ev[name].astype(np.int64))
    theirs = np.concatenate(list(faery.events_stream_from_file(path, dimensions_fallback=(640, 480))))
    assert np.array_equal(theirs["t"], ev["t"]) and np.array_equal(theirs["on"], ev["p"].astype(bool))
    # and what faery writes, we read
    out = tmp_path / "faery.csv"
    faery.events_stream_from_array(as_faery(ev), (640, 480)).to_file(out)
    assert np.array_equal(mio.open(out).read_all(), ev)


@pytest.mark.parametrize(
    "text, options, want",
    [
        # ECD sequences: t in seconds, spaces
        ("0.000000 33 39 1\n0.000011 158 145 1\n0.000050 88 143 0\n", {"time_unit": "s"},
         [(0, 33, 39, 1), (11, 158, 145, 1), (50, 88, 143, 0)]),
        # x,y,p,t order, a header and comments, -1 polarity, tabs, CRLF
        ("# exported\r\nx\ty\tp\tt\r\n1\t2\t-1\t10\r\n\r\n3\t4\t1\t20\r\n", {"columns": ("x", "y", "p", "t")},
         [(10, 1, 2, 0), (20, 3, 4, 1)]),
        # columns by the header line's names, a column skipped, the last line without its newline
        ("timestamp,label,px,py,polarity\n5,9,1,2,1\n6,9,3,4,0",
         {"columns": {"t": "timestamp", "x": "px", "y": "py", "p": "polarity"}}, [(5, 1, 2, 1), (6, 3, 4, 0)]),
    ],
)
def test_csv_shapes(tmp_path, text, options, want):
    path = tmp_path / "s.txt"
    path.write_text(text)
    assert np.array_equal(mio.open(path, **options).read_all(), events_of(want))


@pytest.mark.parametrize(
    "line, message",
    [
        ("7,abc,3,1", "line 4: 'x' is not a number in .*7,abc,3,1"),
        ("7,1,2,3", "line 4: 'p' must be 1, 0 or -1"),
        ("7,1,2", "line 4: 3 columns where 4 are needed"),
        ("-7,1,2,1", "line 4: 't' is negative"),
    ],
)
def test_csv_bad_line_after_every_event_before_it(tmp_path, line, message):
    path = tmp_path / "b.csv"
    path.write_text("t,x,y,p\n1,1,1,1\n2,2,2,0\n" + line + "\n9,9,9,1\n")
    got = []
    with pytest.raises(ValueError, match=message):
        for c in CsvReader(path, chunk_size=1):
            got.append(c)
    assert np.array_equal(np.concatenate(got), events_of([(1, 1, 1, 1), (2, 2, 2, 0)]))


def test_csv_writer_options_and_refusals(tmp_path):
    ev = make_events(1000)
    path = tmp_path / "w.tsv"
    with CsvWriter(path, delimiter="\t", header=False) as w:
        for part in np.array_split(ev, 3):
            w.append(part)
    assert path.read_text().splitlines()[0].count("\t") == 3
    assert np.array_equal(CsvReader(path).read_all(), ev)
    bad = ev.copy()
    bad["p"][5] = 2
    with pytest.raises(ValueError, match="event 5 .*p must be 0 or 1"):
        write_csv(tmp_path / "x.csv", bad)
    assert not (tmp_path / "x.csv").exists()
    for kw, message in [({"columns": ("t", "x", "y")}, "4 to 32"), ({"columns": ("t", "x", "x", "p")}, "once each"),
                        ({"delimiter": ";"}, "delimiter must be"), ({"time_unit": "ms"}, "time_unit")]:
        with pytest.raises(ValueError, match=message):
            CsvReader(path, **kw)


@pytest.mark.parametrize(
    "name, ext, label",
    [("atis", ".bin", "ATIS binary"), ("es", ".es", "Event Stream"), ("csv", ".csv", "text (CSV)"),
     ("npy", ".npy", "NumPy .npy"), ("npz", ".npz", "NumPy .npz")],
)
def test_info_names_every_dataset_format(tmp_path, name, ext, label):
    import subprocess
    import sys

    ev = make_events(500, width=200, height=200)
    path = tmp_path / f"r{ext}"
    mio.write(path, ev, name, sensor_size=(200, 200))
    proc = subprocess.run([sys.executable, "-m", "morvel.io", "info", str(path)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert f"kind:        {label}" in proc.stdout and "events:      500" in proc.stdout


def test_registry_refusals_leave_nothing(tmp_path):
    ev = make_events(10)
    with pytest.raises(ValueError, match="need sensor_size"):
        mio.write(tmp_path / "a.es", ev)
    with pytest.raises(ValueError, match="x and y below 256"):
        mio.write(tmp_path / "a.bin", ev, "atis", sensor_size=(640, 480))
    path = tmp_path / "h.csv"
    path.write_text("time,px,py,pol\n1,2,3,1\n")
    with pytest.raises(ValueError, match="no column 'stamp'"):
        mio.open(path, columns={"t": "stamp"})
    assert np.array_equal(mio.open(path, columns={"t": "time", "x": "px", "y": "py", "p": "pol"}).read_all(),
                          events_of([(1, 2, 3, 1)]))
    assert sorted(os.listdir(tmp_path)) == ["h.csv"]


# --- whole reads in pieces (AEDAT 2.0, ATIS) ------------------------------------------------
# read_all(threads=k) cuts the records every 1 MiB (131072 AEDAT 2.0 records, 209715 ATIS
# records) and unwraps each piece from the state the pieces before it leave: wraps, markers
# and skipped records are put on both sides of every cut.

SPLIT_RECORDS = {"aedat2": 131072, "atis": 209715}


def segment_starts(n, cut, rng, extra=40):
    """Record indices starting a new 2**32 / 2**23 span: just before, at or just after every
    cut, and at random, at least 4 records apart."""
    near = [c + (-1, 0, 1)[j % 3] for j, c in enumerate(range(cut, n, cut))]
    cand = np.unique(np.concatenate([near, rng.integers(4, n - 4, extra)]))
    starts = [cand[0]]
    for c in cand[1:]:
        if c - starts[-1] >= 4:
            starts.append(c)
    return np.asarray(starts)


def rising(n, starts, high, rng):
    """Raw stamps that rise with small steps (and a few small steps back) from a low value at
    every segment start to above `high` before the next, so each start is a drop of more than
    the wrap threshold, and the rise of `high` within a segment is none."""
    steps = rng.integers(0, 7, n).astype(np.int64)
    steps[rng.integers(1, n, n // 500)] = -2
    seg = np.searchsorted(starts, np.arange(n), side="right")
    first = np.concatenate([[0], starts])
    ts = np.cumsum(steps)
    ts = ts - ts[first[seg]] + 10
    ends = np.concatenate([starts, [n]])
    lift = np.zeros(n, np.int64)
    for a, b in zip(first, ends):
        lift[a + max(1, (b - a) // 2):b] = high
    return ts + lift, seg


def aedat2_split_file(path, n, rng, camera="davis346"):
    starts = segment_starts(n, SPLIT_RECORDS["aedat2"], rng)
    ts, seg = rising(n, starts, 3 << 30, rng)
    skip = rng.random(n) < 0.05
    cut = SPLIT_RECORDS["aedat2"]
    skip[3 * cut - 50:4 * cut + 50] = True  # a whole piece of APS samples, wraps inside
    skip[starts[::3]] = True                # wraps on skipped records count too
    kind = rng.integers(0, 3, n)
    if camera == "dvs128":  # p bit 0, x bits 7..1, y bits 14..8; bit 15: an external event
        x, y, p = rng.integers(0, 128, n), rng.integers(0, 128, n), rng.integers(0, 2, n)
        addr = (y << 8) | (x << 1) | p
        addr = np.where(skip, addr | 0x8000, addr)
    else:  # bit 31: APS or IMU, bit 10: external, or outside the sensor
        x, y, p = rng.integers(0, 346, n), rng.integers(0, 260, n), rng.integers(0, 2, n)
        addr = (y << 22) | (x << 12) | (p << 11)
        addr = np.where(skip & (kind == 0), addr | 0x80000000, addr)
        addr = np.where(skip & (kind == 1), addr | 0x400, addr)
        addr = np.where(skip & (kind == 2), (addr & ~(0x3FF << 12)) | (400 << 12), addr)
    rec = np.empty(n, [("a", ">u4"), ("t", ">u4")])
    rec["a"], rec["t"] = addr, ts
    chip = b"DVS128" if camera == "dvs128" else b"DAVIS346B"
    path.write_bytes(b"#!AER-DAT2.0\r\n# AEChip: " + chip + b"\r\n#End Of ASCII Header\r\n" + rec.tobytes())
    keep = ~skip
    want = np.zeros(keep.sum(), EVENT_DTYPE)
    want["t"] = (seg[keep].astype(np.uint64) << np.uint64(32)) + ts[keep].astype(np.uint64)
    want["x"], want["y"], want["p"] = x[keep], y[keep], p[keep]
    return want


def atis_split_file(path, n, rng):
    """Half the spans start after a marker record (then the wrap rule compares with 0), the
    others with an unmarked wrap; more markers sit alone just before cuts far from any start."""
    cut = SPLIT_RECORDS["atis"]
    starts = segment_starts(n, cut, rng)
    ts, _ = rising(n, starts, 6 << 20, rng)
    x, y, p = rng.integers(0, 256, n), rng.integers(0, 240, n), rng.integers(0, 2, n)
    marker = np.zeros(n, bool)
    marker[starts[::2] - 1] = True
    unmarked = np.zeros(n, bool)
    unmarked[starts[1::2]] = True
    for c in range(2 * cut, n, 2 * cut):
        if np.min(np.abs(starts - c)) > 4:
            marker[c - 1] = True
    y = np.where(marker, 240, y)
    spans = np.cumsum(marker) + np.cumsum(unmarked)
    rec = np.empty((n, 5), np.uint8)
    rec[:, 0], rec[:, 1] = x, y
    rec[:, 2] = (p << 7) | (ts >> 16)
    rec[:, 3], rec[:, 4] = (ts >> 8) & 255, ts & 255
    path.write_bytes(rec.tobytes())
    keep = ~marker
    want = np.zeros(keep.sum(), EVENT_DTYPE)
    want["t"] = (spans[keep].astype(np.uint64) << np.uint64(23)) + ts[keep].astype(np.uint64)
    want["x"], want["y"], want["p"] = x[keep], y[keep], p[keep]
    return want


SPLIT_FILES = {"aedat2": (aedat2_split_file, Aedat2Reader, ".aedat"), "atis": (atis_split_file, AtisReader, ".bin")}


@pytest.mark.parametrize("fmt, options", [("aedat2", {}), ("aedat2", {"camera": "dvs128"}), ("atis", {})])
def test_whole_reads_in_pieces_match_the_format(tmp_path, fmt, options):
    make, reader, ext = SPLIT_FILES[fmt]
    path = tmp_path / f"f{ext}"
    want = make(path, 5 * SPLIT_RECORDS[fmt] + 12345, np.random.default_rng(len(fmt)), **options)
    r = reader(path)
    for threads in (1, 2, 3, 4):
        got = r.read_all(threads=threads)
        assert np.array_equal(got, want), threads
    assert np.array_equal(np.concatenate(list(reader(path, chunk_size=99_999))), want)
    assert np.array_equal(mio.open(path, format=fmt).read_all(threads=2), want)


@pytest.mark.parametrize("fmt", sorted(SPLIT_FILES))
def test_whole_reads_in_pieces_refuse_a_cut_record_as_iteration_does(tmp_path, fmt):
    make, reader, ext = SPLIT_FILES[fmt]
    path = tmp_path / f"f{ext}"
    make(path, 3 * SPLIT_RECORDS[fmt], np.random.default_rng(1))
    with open(path, "ab") as f:
        f.write(b"\1\2\3")
    with pytest.raises(ValueError) as it:
        for _ in reader(path):
            pass
    for threads in (1, 2):
        with pytest.raises(ValueError) as whole:
            reader(path).read_all(threads=threads)
        assert str(whole.value) == str(it.value)
        assert "ends inside an event record (3 trailing bytes" in str(whole.value)


@pytest.mark.parametrize("bad", [0, -1, "2"])
def test_whole_reads_refuse_bad_threads(tmp_path, bad):
    path = tmp_path / "a.bin"
    write_atis(path, make_events(10, width=30, height=30))
    with pytest.raises((ValueError, TypeError)):
        AtisReader(path).read_all(threads=bad)


@pytest.mark.parametrize("fmt", ["atis", "es", "csv", "dat", "evt3", "aedat4"])
def test_a_chunk_larger_than_the_file_grows_to_hold_it(tmp_path, fmt):
    """chunk_size past 4 M events is not allocated at once: the chunk grows by doubling from
    64 Ki events, each time into a new array with the events so far moved over."""
    ev = make_events(300_000, width=200, height=200)
    path = tmp_path / f"g.{fmt}"
    mio.write(path, ev, format=fmt, sensor_size=(200, 200))
    chunks = list(mio.open(path, format=fmt, chunk_size=10**8))
    assert len(chunks) == 1
    assert np.array_equal(chunks[0], mio.open(path, format=fmt).read_all())
    assert np.array_equal(chunks[0][["x", "y", "p"]], ev[["x", "y", "p"]])
