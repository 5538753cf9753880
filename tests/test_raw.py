"""RAW recordings: header parsing, RawReader, encoders, RawWriter and write_raw."""

import os

import numpy as np
import pytest

from morvel.io.formats import (RawReader, RawWriter, decode_evt2, decode_evt3, encode_evt2, encode_evt3,
                               write_raw)
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events

ENCODE = {"EVT2": encode_evt2, "EVT3": encode_evt3}
DECODE = {"EVT2": decode_evt2, "EVT3": decode_evt3}


def camera_events(n, seed=0, width=1280, height=720, span=None, rows=False):
    """Events as a camera gives them: sorted t, bursts on rows (for vectors)."""
    rng = np.random.default_rng(seed)
    ev = np.empty(n, EVENT_DTYPE)
    ev["t"] = np.sort(rng.integers(0, span or n * 3, n))
    ev["x"] = rng.integers(0, width, n)
    ev["y"] = rng.integers(0, height, n)
    ev["p"] = rng.integers(0, 2, n)
    if rows:  # runs of increasing x on one row, at one time and polarity
        k = n // 16
        ev["t"][: k * 16] = np.repeat(np.sort(rng.integers(0, n, k)), 16)
        ev["y"][: k * 16] = np.repeat(rng.integers(0, height, k), 16)
        ev["p"][: k * 16] = np.repeat(rng.integers(0, 2, k), 16)
        ev["x"][: k * 16] = (np.repeat(rng.integers(0, width - 40, k), 16) + np.tile(np.arange(16) * 2, k))
        ev = ev[np.argsort(ev["t"], kind="stable")]
    return ev


def raw_file(tmp_path, header: bytes, body: bytes, name="r.raw"):
    path = tmp_path / name
    path.write_bytes(header + body)
    return str(path)


# --- encoders ------------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
@pytest.mark.parametrize(
    "make",
    [
        lambda: camera_events(200_000, 1),
        lambda: camera_events(200_000, 2, rows=True),
        lambda: camera_events(50_000, 3, span=2**40),  # many counter wraps
        lambda: camera_events(1000, 4, width=2048, height=2048),
        lambda: np.empty(0, EVENT_DTYPE),
    ],
)
def test_encode_decode_round_trip(fmt, make):
    ev = make()
    assert np.array_equal(DECODE[fmt](ENCODE[fmt](ev)), ev)


def test_evt3_uses_vectors_on_rows():
    ev = camera_events(160_000, 5, rows=True)
    assert len(encode_evt3(ev)) < 2 * len(ev)  # far below one EVT_ADDR_X word (2 bytes) per event
    assert len(encode_evt2(ev)) >= 4 * len(ev)


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
@pytest.mark.parametrize(
    "change, index, message",
    [
        (lambda ev: ev["x"].__setitem__(7, 2048), 7, "x must be below 2048"),
        (lambda ev: ev["y"].__setitem__(3, 5000), 3, "y must be below 2048"),
        (lambda ev: ev["p"].__setitem__(9, 2), 9, "p must be 0 or 1"),
        (lambda ev: ev["t"].__setitem__(5, 0), 5, "t must not decrease"),
    ],
)
def test_encode_refuses_with_the_first_bad_event(fmt, change, index, message):
    ev = camera_events(20, 6)
    ev["t"] += 10
    change(ev)
    with pytest.raises(ValueError, match=f"cannot encode event {index} .*{message}"):
        ENCODE[fmt](ev)


def test_encode_other_record_types_by_name():
    ev = camera_events(500, 7)
    other = np.empty(500, [("p", "i1"), ("y", "i4"), ("x", "i8"), ("t", "i8")])
    for f in "txyp":
        other[f] = ev[f]
    assert np.array_equal(decode_evt3(encode_evt3(other)), ev)
    other["x"][4] = -1  # would wrap into range with a plain cast
    with pytest.raises(ValueError, match="cannot encode event 4: x must be in"):
        encode_evt3(other)
    with pytest.raises(ValueError, match="no field of name p"):
        encode_evt2(ev[["t", "x", "y"]])
    with pytest.raises(TypeError, match="events must be np.ndarray, got list"):
        encode_evt2([1, 2])


# --- header and reader ------------------------------------------------------------

EVT3_BODY = encode_evt3(camera_events(3000, 8))
EVT2_BODY = encode_evt2(camera_events(3000, 8))


@pytest.mark.parametrize(
    "header, body, fmt, size",
    [
        (b"% evt 3.0\n% format EVT3;height=720;width=1280\n% geometry 1280x720\n% end\n", EVT3_BODY, "EVT3",
         (1280, 720)),
        (b"% evt 2.0\n% geometry 640x480\n", EVT2_BODY, "EVT2", (640, 480)),  # old header, no % end
        (b"% format EVT3;height=480;width=640\r\n% date 2023-01-01 12:00:00\r\n% end\r\n", EVT3_BODY, "EVT3",
         (640, 480)),
        (b"% evt 3.0\n", b"%" + EVT3_BODY[1:], "EVT3", None),  # first data byte is '%'
        (b"% format EVT2\n% end\n", b"", "EVT2", None),  # empty body
    ],
)
def test_header_variants(tmp_path, header, body, fmt, size):
    path = raw_file(tmp_path, header, body)
    r = RawReader(path)
    assert r.format == fmt and r.sensor_size == size and r.data_offset == len(header)
    expected = DECODE[fmt](body)
    assert np.array_equal(r.read_all(), expected)
    chunks = list(RawReader(path, chunk_size=700))
    assert np.array_equal(np.concatenate(chunks) if chunks else np.empty(0, EVENT_DTYPE), expected)
    assert r.count_events() == len(expected)


def test_header_dict_and_informational_keys(tmp_path):
    header = (b"% camera_integrator_name Prophesee\n% date 2023-05-01 10:20:30\n% serial_number 00ca0009\n"
              b"% system_ID 49\n% format EVT3;height=720;width=1280\n% end\n")
    r = RawReader(raw_file(tmp_path, header, EVT3_BODY))
    assert r.header == {"camera_integrator_name": "Prophesee", "date": "2023-05-01 10:20:30",
                        "serial_number": "00ca0009", "system_ID": "49", "format": "EVT3;height=720;width=1280"}


def test_format_argument_and_missing_format(tmp_path):
    path = raw_file(tmp_path, b"% date today\n% end\n", EVT2_BODY)
    with pytest.raises(ValueError, match="names no event format.*pass format="):
        RawReader(path)
    assert RawReader(path, format="evt2").format == "EVT2"
    with pytest.raises(ValueError, match="format must be 'EVT2', 'EVT21' or 'EVT3', got 'EVT4'"):
        RawReader(path, format="EVT4")
    unknown = raw_file(tmp_path, b"% format EVT4;height=1;width=1\n% end\n", b"", "u.raw")
    with pytest.raises(ValueError, match="unsupported event format 'EVT4'"):
        RawReader(unknown)
    # the argument overrides what the header says
    wrong = raw_file(tmp_path, b"% evt 3.0\n% end\n", EVT2_BODY, "w.raw")
    assert np.array_equal(RawReader(wrong, format="EVT2").read_all(), decode_evt2(EVT2_BODY))


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
@pytest.mark.parametrize("chunk", [65_536, 5_000_001, 2**62])  # the last two grow as events arrive
def test_chunks_exact_and_bounded(tmp_path, fmt, chunk):
    ev = camera_events(300_000, 9, rows=fmt == "EVT3")
    path = str(tmp_path / "c.raw")
    write_raw(path, ev, fmt, (1280, 720))
    chunks = list(RawReader(path, chunk_size=chunk))
    sizes = [len(c) for c in chunks]
    assert sizes[:-1] == [chunk] * (len(sizes) - 1) and sum(sizes) == len(ev)
    assert sizes[-1] == len(ev) - chunk * (len(sizes) - 1)
    assert np.array_equal(np.concatenate(chunks), ev)


@pytest.mark.parametrize("fmt, cut", [("EVT2", 3), ("EVT3", 1)])
def test_truncated_trailing_word_is_reported(tmp_path, fmt, cut):
    body = ENCODE[fmt](camera_events(5000, 10))
    path = raw_file(tmp_path, f"% evt {fmt[-1]}.0\n% end\n".encode(), body[:-cut])
    whole = DECODE[fmt](body[: len(body) - (4 if fmt == "EVT2" else 2)])
    got = []
    with pytest.raises(ValueError, match="ends inside a .* word"):
        for c in RawReader(path, chunk_size=1000):
            got.append(c)
    assert np.array_equal(np.concatenate(got), whole)  # every whole event came first
    with pytest.raises(ValueError, match="ends inside"):
        RawReader(path).read_all()


@pytest.mark.parametrize("body", [b"", (0x8 << 28 | 5).to_bytes(4, "little") * 3, None],
                         ids=["empty", "time-highs only", "camera"])
def test_evt2_whole_read_in_one_pass(tmp_path, body):
    """EVT 2.0 whole reads fill one array for a bound of an event a word, cut to what it holds."""
    body = encode_evt2(camera_events(70_000, 11)) if body is None else body
    path = raw_file(tmp_path, b"% evt 2.0\n% end\n", body)
    got = RawReader(path).read_all(threads=1)
    assert got.dtype == EVENT_DTYPE and got.flags.owndata
    assert np.array_equal(got, decode_evt2(body))


def test_reader_argument_errors(tmp_path):
    path = raw_file(tmp_path, b"% evt 3.0\n% end\n", b"")
    with pytest.raises(ValueError, match="chunk_size must be >= 1, got 0"):
        RawReader(path, chunk_size=0)
    with pytest.raises(FileNotFoundError):
        RawReader(str(tmp_path / "none.raw"))
    with pytest.raises(TypeError, match="expected str, got int"):
        RawReader(path, format=3)
    assert RawReader(tmp_path / "r.raw").path == path  # os.PathLike accepted


def test_reader_reports_a_file_cut_under_it(tmp_path):
    path = str(tmp_path / "cut.raw")
    write_raw(path, camera_events(400_000, 11), "EVT2")
    gen = iter(RawReader(path, chunk_size=10_000))
    next(gen)
    os.truncate(path, 1_000_000)
    with pytest.raises(OSError, match="shrank"):
        list(gen)


# --- writers -------------------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
def test_write_raw_header_and_round_trip(tmp_path, fmt):
    ev = camera_events(100_000, 12, rows=True)
    path = tmp_path / "w.raw"
    write_raw(path, ev, format=fmt, sensor_size=(1280, 720))
    v = fmt[-1]
    assert path.read_bytes().startswith(
        f"% evt {v}.0\n% format {fmt};height=720;width=1280\n% geometry 1280x720\n% end\n".encode())
    r = RawReader(path)
    assert (r.format, r.sensor_size) == (fmt, (1280, 720))
    assert np.array_equal(r.read_all(), ev)
    write_raw(path, ev[:10], fmt)  # without a sensor size: no geometry
    assert path.read_bytes().startswith(f"% evt {v}.0\n% format {fmt}\n% end\n".encode())


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"sensor_size": (100, 100)}, "outside the 100x100 sensor"),
        ({"sensor_size": (4096, 10)}, "sensor_size must be within 1..2048"),
        ({"sensor_size": (10,)}, "sensor_size must be \\(width, height\\) tuple"),
        ({"format": "EVT4"}, "format must be 'EVT2', 'EVT21' or 'EVT3'"),
    ],
)
def test_write_raw_refuses_before_touching_the_file(tmp_path, kwargs, message):
    path = tmp_path / "keep.raw"
    path.write_bytes(b"precious")
    with pytest.raises(ValueError, match=message):
        write_raw(path, camera_events(1000, 13, width=640, height=480), **kwargs)
    bad = camera_events(1000, 13)
    bad["t"][500] = 0
    with pytest.raises(ValueError, match="cannot encode event 500"):
        write_raw(path, bad)
    assert path.read_bytes() == b"precious"


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
def test_raw_writer_streams_and_refuses_bad_chunks(tmp_path, fmt):
    ev = camera_events(120_000, 14, span=2**36, rows=True)
    path = tmp_path / "s.raw"
    with RawWriter(path, fmt, (1280, 720)) as w:
        for piece in np.array_split(ev, 7):
            w.write(piece)
        bad = ev[:5].copy()  # goes back in time: refused, nothing written
        with pytest.raises(ValueError, match="cannot encode event 120000 .*t must not decrease"):
            w.write(bad)
        assert w.n_events == len(ev)
    assert w.closed
    with pytest.raises(ValueError, match="closed RawWriter"):
        w.write(ev[:1])
    w.close()
    assert np.array_equal(RawReader(path).read_all(), ev)


# --- files of the independent faery package ------------------------------------------------


@pytest.fixture(scope="module")
def faery():
    return pytest.importorskip("faery", reason="faery (an independent event-file library) is not installed")


@pytest.mark.parametrize("version", ["evt2", "evt3"])
def test_faery_files_read_and_ours_read_by_faery(faery, tmp_path, version):
    ev = camera_events(50_000, 15, rows=version == "evt3")
    arr = np.zeros(len(ev), faery.EVENTS_DTYPE)
    arr["t"], arr["x"], arr["y"], arr["on"] = ev["t"], ev["x"], ev["y"], ev["p"].astype(bool)
    theirs = tmp_path / f"faery_{version}.raw"
    faery.events_stream_from_array(arr, dimensions=(1280, 720)).to_file(str(theirs), version=version, zero_t0=False)
    r = RawReader(theirs)  # their header: no '% end', width before height
    assert (r.format, r.sensor_size) == (version.upper(), (1280, 720))
    order = ["t", "y", "x", "p"]  # an encoder may reorder events of one timestamp
    assert np.array_equal(np.sort(r.read_all(), order=order), np.sort(ev, order=order))

    ours = tmp_path / f"ours_{version}.raw"
    write_raw(ours, ev, version.upper(), (1280, 720))
    stream = faery.events_stream_from_file(str(ours))
    assert tuple(stream.dimensions()) == (1280, 720)
    back = np.concatenate(list(stream))
    assert np.array_equal(back["t"], ev["t"]) and np.array_equal(back["x"], ev["x"])
    assert np.array_equal(back["y"], ev["y"]) and np.array_equal(back["on"], ev["p"].astype(bool))
