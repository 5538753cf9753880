"""EVT 2.0 / EVT 3.0 decoding (whole buffers and streaming), frames and rasters."""

import ast
import inspect
import pathlib
import struct
import threading

import numpy as np
import pytest

from morvel.io import formats
from morvel.io.formats import (
    EVENT_DTYPE,
    Evt2Decoder,
    Evt3Decoder,
    decode_evt2,
    decode_evt3,
    events_to_frames,
    events_to_raster,
)

from conftest import make_events, run_python

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


# --- plain-Python references --------------------------------------------------


def py_evt2(data: bytes) -> list:
    out, th, wraps = [], 0, 0
    for (w,) in struct.iter_unpack("<I", data):
        kind = w >> 28
        if kind < 2:
            out.append(((wraps << 34) + (th << 6) + (w >> 22 & 63), w >> 11 & 2047, w & 2047, kind))
        elif kind == 8:
            wraps += th - (w & 0xFFFFFFF) >= 1 << 27
            th = w & 0xFFFFFFF
    return out


def py_evt3(data: bytes) -> list:
    out, y, bx, pol, th, tl, loops = [], 0, 0, 0, 0, 0, 0
    for (w,) in struct.iter_unpack("<H", data):
        kind, v = w >> 12, w & 0xFFF
        t = (loops << 24) + (th << 12) + tl
        if kind == 0:
            y = v & 2047
        elif kind == 2:
            out.append((t, v & 2047, y, v >> 11))
        elif kind == 3:
            bx, pol = v & 2047, v >> 11
        elif kind in (4, 5):
            n = 12 if kind == 4 else 8
            out += [(t, (bx + i) & 0xFFFF, y, pol) for i in range(n) if v >> i & 1]
            bx += n
        elif kind == 6:
            tl = v
        elif kind == 8 and v != th:
            loops += th - v >= 2048
            th, tl = v, 0
    return out


# --- word builders --------------------------------------------------------------


def w2(*words: int) -> bytes:
    return struct.pack(f"<{len(words)}I", *words)


def w3(*words: int) -> bytes:
    return struct.pack(f"<{len(words)}H", *words)


def cd2(p, x, y, t_low=0):  # EVT 2.0 CD_OFF / CD_ON
    return p << 28 | t_low << 22 | x << 11 | y


th2 = lambda v: 0x8 << 28 | v  # noqa: E731  EVT 2.0 EVT_TIME_HIGH
y3 = lambda y, master=0: master << 11 | y  # noqa: E731  EVT 3.0 words from here on
x3 = lambda x, p: 0x2000 | p << 11 | x  # noqa: E731
base3 = lambda x, p: 0x3000 | p << 11 | x  # noqa: E731
v12, v8 = (lambda m: 0x4000 | m), (lambda m: 0x5000 | m)
tl3, th3 = (lambda v: 0x6000 | v), (lambda v: 0x8000 | v)


def tuples(events: np.ndarray) -> list:
    assert events.dtype == EVENT_DTYPE and events.ndim == 1
    return [tuple(int(v) for v in e) for e in events.tolist()]


def random_evt2(n: int, seed: int) -> bytes:
    rng = np.random.default_rng(seed)
    words = rng.integers(0, 2**32, n, dtype=np.uint64).astype(np.uint32)
    kinds = rng.choice([0, 1, 8, 0xA, 0xE, 0xF, 3], n, p=[0.35, 0.35, 0.1, 0.05, 0.05, 0.05, 0.05])
    words = (words & 0x0FFFFFFF) | (kinds.astype(np.uint32) << 28)
    return words.astype("<u4").tobytes()


def random_evt3(n: int, seed: int) -> bytes:
    rng = np.random.default_rng(seed)
    words = rng.integers(0, 2**16, n).astype(np.uint16)
    kinds = rng.choice([0, 2, 3, 4, 5, 6, 8, 7, 0xA, 0xE, 0xF, 9], n,
                       p=[0.12, 0.2, 0.1, 0.15, 0.1, 0.12, 0.06, 0.03, 0.03, 0.03, 0.03, 0.03])
    words = (words & 0x0FFF) | (kinds.astype(np.uint16) << 12)
    return words.astype("<u2").tobytes()


# --- module -----------------------------------------------------------------------


def test_module_names_in_order():
    names = [n for n in vars(formats) if not n.startswith("__") or n == "__test__"]
    assert names == ["Tuple", "np", "EVENT_DTYPE", "decode_evt2", "decode_evt3", "_simd", "Evt2Decoder", "Evt3Decoder",
                     "events_to_frames", "events_to_raster", "RawReader", "RawWriter", "encode_evt2", "encode_evt3",
                     "write_raw", "__test__"]
    from morvel.io import streaming
    assert formats.EVENT_DTYPE is streaming.EVENT_DTYPE
    assert formats.__test__ == {}


def test_importing_fails_without_streaming():
    proc = run_python(
        """
        import sys
        sys.modules["morvel.io.streaming"] = None
        try:
            import morvel.io.formats
        except ImportError:
            print("ImportError")
        """
    )
    assert proc.stdout.strip() == "ImportError", proc.stderr


@pytest.mark.parametrize(
    "obj, first_line, params",
    [
        (decode_evt2, "decode_evt2(bytes raw_data: bytes, *, threads: Optional[int] = None) -> np.ndarray",
         ["raw_data", "threads"]),
        (decode_evt3, "decode_evt3(bytes raw_data: bytes, *, threads: Optional[int] = None) -> np.ndarray",
         ["raw_data", "threads"]),
        (events_to_frames, "events_to_frames(events: np.ndarray, sensor_size: Tuple[int, int], n_frames: int = 1, "
                           "accumulate: bool = True, *, threads: Optional[int] = None) -> np.ndarray",
         ["events", "sensor_size", "n_frames", "accumulate", "threads"]),
        (events_to_raster, "events_to_raster(events: np.ndarray, n_neurons: int, time_bins: int = 100, *, "
                           "threads: Optional[int] = None) -> np.ndarray", ["events", "n_neurons", "time_bins", "threads"]),
        (Evt2Decoder, "Evt2Decoder()", []),
        (Evt3Decoder, "Evt3Decoder()", []),
        (Evt2Decoder.decode, "decode(self, data: Buffer) -> np.ndarray", ["self", "data"]),
        (Evt3Decoder.reset, "reset(self) -> None", ["self"]),
    ],
)
def test_docstrings_start_with_signature(obj, first_line, params):
    assert obj.__doc__.split("\n")[0] == first_line
    assert list(inspect.signature(obj).parameters) == params


def test_stub_matches_module():
    stub = ast.parse((pathlib.Path(__file__).parents[1] / "src/morvel/io/formats.pyi").read_text())
    defs = {n.name: n for n in stub.body
            if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and not n.name.startswith("_")}  # private: test_stubs
    public = {n for n in vars(formats) if not n.startswith("_") and n not in ("np", "Tuple", "EVENT_DTYPE")}
    assert set(defs) == public
    for name, node in defs.items():
        obj = getattr(formats, name)
        if isinstance(node, ast.ClassDef):
            members = {n.name for n in node.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("__")}
            members |= {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
            assert members == {m for m in vars(obj) if not m.startswith("_")}
        else:
            args = [a.arg for a in node.args.args + node.args.kwonlyargs]
            assert args == list(inspect.signature(obj).parameters)


# --- EVT 2.0 ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "words, expected",
    [
        ([0x00000803], [(0, 1, 3, 0)]),  # CD_OFF: x bits 21-11, y bits 10-0
        ([cd2(1, 2047, 2047, 63)], [(63, 2047, 2047, 1)]),
        ([cd2(0, 5, 6, 1), th2(1), cd2(1, 7, 8, 2)], [(1, 5, 6, 0), (66, 7, 8, 1)]),  # kept before first time high
        ([th2(0x0FFFFFFF), cd2(1, 0, 0, 63)], [(2**34 - 1, 0, 0, 1)]),
        # every other type gives no event, order of the rest kept
        ([cd2(1, 1, 1), *(k << 28 | 0x0ABCDEF for k in (2, 3, 4, 5, 6, 7, 9, 0xA, 0xB, 0xC, 0xD, 0xE, 0xF)),
          cd2(0, 2, 2)], [(0, 1, 1, 1), (0, 2, 2, 0)]),
    ],
)
def test_evt2_words(words, expected):
    data = w2(*words)
    assert tuples(decode_evt2(data)) == expected == py_evt2(data)


@pytest.mark.parametrize(
    "highs, expected_offsets",
    [
        ([0x0FFFFFFF, 0], [0, 2**34]),  # wrap
        ([0x0FFFFFFF, 0, 0x0FFFFFFF, 5], [0, 2**34, 2**34, 2 * 2**34]),  # two wraps
        ([2**27, 0], [0, 2**34]),  # a drop of exactly half the range is a wrap
        ([2**27 - 1, 0], [0, 0]),  # a smaller drop is taken as it is
        ([100, 50, 100], [0, 0, 0]),
    ],
)
def test_evt2_time_high_wraps(highs, expected_offsets):
    words = []
    for h in highs:
        words += [th2(h), cd2(1, 3, 4, 9)]
    got = decode_evt2(w2(*words))["t"].tolist()
    assert got == [off + (h << 6) + 9 for h, off in zip(highs, expected_offsets)]


# --- EVT 3.0 ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "words, expected",
    [
        # y: bits 10-0 only (bit 11 is the master/slave flag); x and p from ADDR_X
        ([y3(2047, master=1), x3(2047, 1), x3(0, 0)], [(0, 2047, 2047, 1), (0, 0, 2047, 0)]),
        # events before any time or y word: t = 0, y = 0
        ([x3(5, 1)], [(0, 5, 0, 1)]),
        # vectors, full masks: 12 then 8 events from the base
        ([y3(7), base3(100, 1), v12(0xFFF), v8(0xFF)],
         [(0, 100 + i, 7, 1) for i in range(20)]),
        # sparse masks; an empty mask still moves the base
        ([y3(1), base3(10, 0), v12(0b100000000001), v12(0), v8(0b10000001)],
         [(0, 10, 1, 0), (0, 21, 1, 0), (0, 34, 1, 0), (0, 41, 1, 0)]),
        # partial groups: VECT_8 alone, VECT_12 after a new base, vectors without a base word
        ([v8(0b10), base3(50, 1), v12(1), base3(60, 0), v8(1), v8(1)],
         [(0, 1, 0, 0), (0, 50, 0, 1), (0, 60, 0, 0), (0, 68, 0, 0)]),
        # vector polarity stays with the vectors; ADDR_X keeps its own
        ([base3(10, 1), x3(3, 0), v8(1)], [(0, 3, 0, 0), (0, 10, 0, 1)]),
        # no event, no error: CONTINUED_4, EXT_TRIGGER, OTHERS, CONTINUED_12, padding, unused types
        ([0x7123, 0xA0FF, 0xE001, 0xFFFF, 0x9999, 0x1FFF, 0xBFFF, 0xCFFF, 0xDFFF, x3(1, 1)], [(0, 1, 0, 1)]),
    ],
)
def test_evt3_words(words, expected):
    data = w3(*words)
    assert tuples(decode_evt3(data)) == expected == py_evt3(data)


@pytest.mark.parametrize(
    "time_words, expected_t",
    [
        ([th3(5), tl3(7)], 5 * 4096 + 7),
        ([tl3(7), th3(5)], 5 * 4096),  # a new time high resets time low
        ([th3(5), tl3(7), th3(5)], 5 * 4096 + 7),  # the same time high does not
        ([tl3(7), th3(0)], 7),  # nor does a first time high equal to the initial 0
        ([th3(4095), tl3(1), th3(0), tl3(2)], 2**24 + 2),  # wrap of the 24-bit counter
        ([th3(4095), th3(0), th3(4095), th3(10)], 2 * 2**24 + 10 * 4096),  # two wraps
        ([th3(2048), th3(0)], 2**24),  # a drop of exactly 2048 is a wrap
        ([th3(2047), th3(0)], 0),  # a smaller drop is taken as it is
        ([th3(100), tl3(9), th3(50), tl3(3)], 50 * 4096 + 3),
    ],
)
def test_evt3_time(time_words, expected_t):
    data = w3(*time_words, y3(1), x3(2, 1), base3(0, 0), v8(1))
    assert tuples(decode_evt3(data)) == [(expected_t, 2, 1, 1), (expected_t, 0, 1, 0)] == py_evt3(data)


# --- both formats: whole buffers ----------------------------------------------------

DECODERS = [
    pytest.param(decode_evt2, Evt2Decoder, py_evt2, random_evt2, 4, id="evt2"),
    pytest.param(decode_evt3, Evt3Decoder, py_evt3, random_evt3, 2, id="evt3"),
]


@pytest.mark.parametrize("decode, cls, ref, make, word", DECODERS)
@pytest.mark.parametrize("seed", range(3))
def test_random_words_match_plain_python(decode, cls, ref, make, word, seed):
    data = make(20000, seed)
    got = decode(data)
    assert got.flags.owndata and got.flags.writeable and got.flags.c_contiguous
    assert tuples(got) == ref(data)


@pytest.mark.parametrize("decode, cls, ref, make, word", DECODERS)
def test_whole_buffer_argument_rules(decode, cls, ref, make, word):
    empty = decode(b"")
    assert empty.dtype == EVENT_DTYPE and empty.shape == (0,)
    assert decode(raw_data=b"\x00" * word).dtype == EVENT_DTYPE

    class Bytes(bytes):
        pass

    for bad, name in [(bytearray(word), "bytearray"), (memoryview(b"\0" * word), "memoryview"), (None, "NoneType"),
                      (Bytes(word), "Bytes"), (np.zeros(4, np.uint8), "numpy.ndarray")]:
        with pytest.raises(TypeError) as exc:
            decode(bad)
        assert str(exc.value) == TYPE_MSG.format("raw_data", "bytes", name)
    for n in range(1, word):
        with pytest.raises(ValueError, match="multiple of element size"):
            decode(b"\x01" * (word * 5 + n))


def test_large_buffers_release_the_gil_and_stay_exact():
    data2, data3 = random_evt2(400_000, 7), random_evt3(800_000, 8)  # above the GIL threshold
    expected = {2: decode_evt2(data2), 3: decode_evt3(data3)}
    results = {}

    def run(key, fn, data):
        results[key] = fn(data)

    threads = [threading.Thread(target=run, args=(2, decode_evt2, data2)),
               threading.Thread(target=run, args=(3, decode_evt3, data3))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert np.array_equal(results[2], expected[2]) and np.array_equal(results[3], expected[3])
    for wrap in (bytearray, memoryview, lambda b: memoryview(bytearray(b))):  # decoded from copies or in place
        assert np.array_equal(Evt3Decoder().decode(wrap(data3)), expected[3])
        assert np.array_equal(Evt2Decoder().decode(wrap(data2)), expected[2])
    assert tuples(expected[3][:5000]) == py_evt3(data3)[:5000]


# --- streaming decoders ---------------------------------------------------------------


def pieces(data: bytes, rng, max_piece: int):
    pos = 0
    while pos < len(data):
        k = int(rng.integers(0, max_piece + 1))
        yield data[pos:pos + k]
        pos += k


@pytest.mark.parametrize("decode, cls, ref, make, word", DECODERS)
@pytest.mark.parametrize("max_piece", [1, 3, 7, 100, 5000])
@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8)])
def test_pieces_decode_like_the_whole(decode, cls, ref, make, word, max_piece, wrap):
    data = make(3001, max_piece) + b"\x05"  # ends in a partial word
    whole = decode(data[:-1])
    rng = np.random.default_rng(max_piece)
    dec = cls()
    out = []
    fed = 0
    for piece in pieces(data, rng, max_piece):
        out.append(dec.decode(wrap(piece)))
        fed += len(piece)
        assert dec.pending_bytes == fed % word
    got = np.concatenate(out)
    assert got.dtype == EVENT_DTYPE and np.array_equal(got, whole)
    assert dec.pending_bytes == 1


@pytest.mark.parametrize(
    "cls, first, second, expected",
    [
        # time high, then its events in the next call; a wrap across calls
        (Evt2Decoder, w2(th2(0x0FFFFFFF)), w2(th2(1), cd2(1, 2, 3, 4)), [(2**34 + 64 + 4, 2, 3, 1)]),
        # y, base x, polarity and time high / low carried over
        (Evt3Decoder, w3(th3(3), tl3(5), y3(9), base3(20, 1), v12(1)), w3(v8(0b11)),
         [(3 * 4096 + 5, 32, 9, 1), (3 * 4096 + 5, 33, 9, 1)]),
        (Evt3Decoder, w3(th3(4095)), w3(th3(0), x3(1, 0)), [(2**24, 1, 0, 0)]),
    ],
)
def test_state_carries_over_and_reset_clears_it(cls, first, second, expected):
    dec = cls()
    dec.decode(first)
    assert tuples(dec.decode(second)) == expected
    dec.decode(b"\x01")
    dec.reset()
    assert dec.pending_bytes == 0
    assert np.array_equal(dec.decode(second), cls().decode(second))


@pytest.mark.parametrize("cls", [Evt2Decoder, Evt3Decoder])
def test_decoder_argument_errors(cls):
    dec = cls()
    dec.decode(b"\x01")
    with pytest.raises(TypeError, match="bytes-like object is required, not 'str'"):
        dec.decode("abcd")
    with pytest.raises(BufferError, match="not C-contiguous"):
        dec.decode(memoryview(bytearray(16))[::2])
    with pytest.raises(ValueError, match="not C-contiguous"):  # NumPy's own wording
        dec.decode(np.zeros(16, np.uint8)[::2])
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        cls(1)
    with pytest.raises(AttributeError):
        dec.pending_bytes = 0
    assert dec.pending_bytes == 1  # failed calls leave the state alone


def test_decoders_can_be_subclassed():
    class Reader(Evt2Decoder):
        pass

    r = Reader()
    r.note = "a reader keeps its own attributes"
    assert tuples(r.decode(w2(cd2(1, 1, 2)))) == [(0, 1, 2, 1)]


def test_evt3_mutable_input_is_decoded_from_a_snapshot():
    data = random_evt3(1_500_000, 3)  # large enough to be decoded without the GIL
    buf = bytearray(data)
    stop = threading.Event()
    full = np.full(len(data) // 2, 0x4FFF, "<u2").tobytes()  # full VECT_12 words: 12 events each

    def scribble():  # flips the words while decoding runs
        while not stop.is_set():
            buf[:] = full
            buf[:] = data

    t = threading.Thread(target=scribble)
    t.start()
    try:
        for _ in range(5):
            try:
                out = Evt3Decoder().decode(buf)  # must never write past its output
            except RuntimeError as exc:
                assert str(exc) == "the data changed while it was being decoded"
            else:
                assert out.dtype == EVENT_DTYPE
    finally:
        stop.set()
        t.join()


# --- faery as an independent encoder ----------------------------------------------------


@pytest.fixture(scope="module")
def faery():
    return pytest.importorskip("faery", reason="faery (an independent EVT encoder) is not installed")


def faery_encode(faery, tmp_path, events, version):
    arr = np.zeros(len(events), faery.EVENTS_DTYPE)
    arr["t"], arr["x"], arr["y"], arr["on"] = events["t"], events["x"], events["y"], events["p"].astype(bool)
    path = tmp_path / f"events_{version}.raw"
    faery.events_stream_from_array(arr, dimensions=(1280, 720)).to_file(str(path), version=version, zero_t0=False)
    data = path.read_bytes()
    start = 0
    while data[start:start + 1] == b"%":  # header lines
        start = data.index(b"\n", start) + 1
    return data[start:]


def faery_events(kind: str) -> np.ndarray:
    rng = np.random.default_rng(11)
    if kind == "random":
        return make_events(20000, seed=5, width=1280, height=720)
    if kind == "dense rows":  # same t and y along runs of x: vector words in EVT 3.0
        n = 30000
        ev = np.zeros(n, EVENT_DTYPE)
        ev["t"] = np.repeat(np.arange(n // 300) * 37, 300)
        ev["y"] = np.repeat(rng.integers(0, 720, n // 20), 20)
        ev["x"] = (np.tile(np.arange(20), n // 20) * rng.integers(1, 3, n) + rng.integers(0, 1200, n // 20).repeat(20)) % 1280
        ev["p"] = rng.integers(0, 2, n // 20).repeat(20)
        return ev
    # long recording: both counters wrap (gaps below half the 24-bit range)
    n = 5000
    ev = make_events(n, seed=6, width=1280, height=720)
    ev["t"] = np.cumsum(rng.integers(0, 2**22, n)).astype(np.uint64) + (2**34 - 2**30)
    return ev


@pytest.mark.parametrize("version, decode", [("evt2", decode_evt2), ("evt3", decode_evt3)])
@pytest.mark.parametrize("kind", ["random", "dense rows", "long"])
def test_faery_round_trip(faery, tmp_path, version, decode, kind):
    events = faery_events(kind)
    data = faery_encode(faery, tmp_path, events, version)
    got = decode(data)  # faery steps the time high up from 0, so even long recordings decode to absolute times
    order = ["t", "y", "x", "p"]  # an encoder may reorder events of one timestamp
    assert np.array_equal(np.sort(got, order=order), np.sort(events, order=order))
    dec = (Evt2Decoder if version == "evt2" else Evt3Decoder)()
    streamed = np.concatenate([dec.decode(data[i:i + 4097]) for i in range(0, len(data), 4097)])
    assert np.array_equal(streamed, decode(data))


# --- frames -----------------------------------------------------------------------------


def ref_frames(ev, width, height, n, accumulate=True):
    """The plain NumPy formulation (unsigned 64-bit binning, np.add.at)."""
    frames = np.zeros((n, height, width), np.float32)
    if len(ev) == 0:
        return frames
    t = ev["t"]
    t_min = t.min()
    t_range = max(t.max() - t_min, 1)
    b = ((t - t_min) * np.uint64(n) // np.uint64(t_range)).astype(np.int64).clip(0, n - 1)
    x, y = ev["x"].astype(np.int64), ev["y"].astype(np.int64)
    valid = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    np.add.at(frames, (b[valid], y[valid], x[valid]), 1.0)
    return frames if accumulate else (frames > 0).astype(np.float32)


def ref_raster(ev, n_neurons, bins):
    raster = np.zeros((bins, n_neurons), np.float32)
    if len(ev) == 0:
        return raster
    t = ev["t"]
    t_min = t.min()
    b = ((t - t_min) * np.uint64(bins) // np.uint64(max(t.max() - t_min, 1))).astype(np.int64).clip(0, bins - 1)
    y, x = ev["y"].astype(np.int64), ev["x"].astype(np.int64)
    ids = (x * (y.max() + 1) + y) % n_neurons
    np.add.at(raster, (b, ids), 1.0)
    return (raster > 0).astype(np.float32)


def events_of(rows):
    return np.array(rows, dtype=EVENT_DTYPE)


def test_frames_small_cases():
    ev = events_of([(0, 1, 1, 1), (50, 2, 0, 0), (100, 3, 2, 1)])
    f = events_to_frames(ev, (4, 3), 4)
    assert f.dtype == np.float32 and f.shape == (4, 3, 4) and f.flags.c_contiguous
    assert [tuple(map(int, i)) for i in np.argwhere(f)] == [(0, 1, 1), (2, 0, 2), (3, 2, 3)]
    same_t = events_of([(7, 0, 0, 1), (7, 1, 1, 0), (7, 0, 0, 0)])
    f = events_to_frames(same_t, (2, 2), n_frames=3)
    assert f[0].tolist() == [[2.0, 0.0], [0.0, 1.0]] and not f[1:].any()
    assert events_to_frames(same_t, (2, 2), 3, accumulate=False)[0, 0, 0] == 1.0
    assert events_to_frames(same_t, (2, 2), 3, [])[0, 0, 0] == 1.0  # truth value of anything
    # outside the sensor: dropped, no error
    edge = events_of([(0, 4, 0, 1), (1, 0, 3, 1), (2, 3, 2, 1)])
    assert events_to_frames(edge, (4, 3)).sum() == 1.0
    assert events_to_frames(events_of([]), (5, 4), 2).tolist() == np.zeros((2, 4, 5)).tolist()
    assert events_to_frames(np.zeros((0, 3)), (2, 2)).shape == (1, 2, 2)  # empty: fields never read
    assert events_to_frames(ev, (4.9, 3.2), 2.7).shape == (2, 3, 4)  # int conversion truncates


@pytest.mark.parametrize("n_frames, accumulate", [(1, True), (10, True), (7, False), (1000, True)])
def test_frames_match_numpy_on_millions(n_frames, accumulate):
    ev = make_events(2_000_000, seed=n_frames, width=700, height=500, sort=False)
    got = events_to_frames(ev, (640, 480), n_frames, accumulate)
    assert np.array_equal(got, ref_frames(ev, 640, 480, n_frames, accumulate))


def test_frames_exact_binning_over_huge_spans():
    # (t - t_min) * n_frames exceeds 2**64: bins still follow exact integer arithmetic
    t = [0, 2**63, 2**64 - 2, 2**64 - 1, 2**62 + 12345, 3 * 2**62]
    ev = events_of([(v, i, 0, 1) for i, v in enumerate(t)])
    n, span = 1000, 2**64 - 1
    f = events_to_frames(ev, (len(t), 1), n)
    got = [int(np.nonzero(f[:, 0, i])[0][0]) for i in range(len(t))]
    assert got == [min(v * n // span, n - 1) for v in t]
    r = events_to_raster(ev, 64, n)
    assert [int(np.nonzero(r[:, i])[0][0]) for i in range(len(t))] == got


@pytest.mark.parametrize(
    "convert",
    [
        lambda ev: ev[::3],  # not contiguous
        lambda ev: ev.reshape(50, -1),  # 2-d
        lambda ev: ev.astype(EVENT_DTYPE.newbyteorder(">")),
        lambda ev: ev.astype([("p", "u1"), ("y", "<i4"), ("x", "<f8"), ("t", "<i8")]),  # read by name
        lambda ev: ev.astype(np.dtype([("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")], align=True)),
        lambda ev: ev.view(np.recarray),
    ],
)
def test_other_layouts_read_by_field_name(convert):
    ev = make_events(5000, seed=3, width=80, height=60)
    src = convert(ev)
    flat = np.ascontiguousarray(src).reshape(-1)
    expected = np.zeros(len(flat), EVENT_DTYPE)
    for name in "txyp":
        expected[name] = flat[name]
    assert np.array_equal(events_to_frames(src, (64, 48), 5), ref_frames(expected, 64, 48, 5))
    assert np.array_equal(events_to_raster(src, 97, 13), ref_raster(expected, 97, 13))


def test_signed_fields_outside_the_sensor_are_dropped():
    ev = np.array([(0, -1, 0), (1, 0, -1), (2, 70000, 0), (3, 1, 1), (3, -65535, 1)],
                  dtype=[("t", "<i8"), ("x", "<i4"), ("y", "<i4")])
    f = events_to_frames(ev, (2, 2), 1)
    assert f.tolist() == [[[0.0, 0.0], [0.0, 1.0]]]  # a cast to uint16 would have kept -65535 as x = 1
    # raster: NumPy's int64 arithmetic with a floor modulo
    r = events_to_raster(ev, 5, 1)
    ids = (ev["x"].astype(np.int64) * 2 + ev["y"]) % 5
    assert np.nonzero(r[0])[0].tolist() == sorted(set(ids.tolist()))


@pytest.mark.parametrize(
    "events, fn, exc, message",
    [
        (np.zeros(3, [("x", "<u2"), ("y", "<u2")]), "frames", ValueError, "no field of name t"),
        (np.zeros(3, [("t", "<u8"), ("y", "<u2")]), "frames", ValueError, "no field of name x"),
        (np.zeros(3, [("t", "<u8"), ("x", "<u2")]), "raster", ValueError, "no field of name y"),
        (np.zeros(3, [("a", "<u8"), ("b", "<u2"), ("c", "<u2"), ("d", "u1")]), "frames", ValueError,
         "no field of name t"),  # same layout, other names: never converted by position
        (np.zeros(3), "raster", ValueError, "events must be a structured array with fields t, y, x, got dtype"),
    ],
)
def test_missing_fields_fail_with_numpys_error(events, fn, exc, message):
    with pytest.raises(exc, match=message):
        if fn == "frames":
            events_to_frames(events, (4, 4))
        else:
            events_to_raster(events, 4)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda ev: events_to_frames([1, 2], (4, 4)), TypeError, "events must be np.ndarray, got list"),
        (lambda ev: events_to_frames(None, [4, 4]), TypeError, TYPE_MSG.format("sensor_size", "tuple", "list")),
        (lambda ev: events_to_frames(ev, (4, 4), "2"), TypeError, TYPE_MSG.format("n_frames", "int", "str")),
        (lambda ev: events_to_frames(ev, (4, 4, 2)), ValueError,
         "sensor_size must be (width, height) tuple, got (4, 4, 2)"),
        (lambda ev: events_to_frames(ev, (4, 4), -3), ValueError, "n_frames must be >= 1, got -3"),
        # checks in order: the events type first, then the size, then n_frames
        (lambda ev: events_to_frames((), (4,), 0), TypeError, "events must be np.ndarray, got tuple"),
        (lambda ev: events_to_frames(ev, (4,), 0), ValueError, "sensor_size must be (width, height) tuple, got (4,)"),
        (lambda ev: events_to_frames(ev, (4, "a")), TypeError, TYPE_MSG.format("sensor_size", "int", "str")),
        (lambda ev: events_to_frames(ev, (-4, 4)), ValueError, "sensor_size must hold sizes >= 0, got (-4, 4)"),
        (lambda ev: events_to_raster(ev.tolist(), 0, 0), TypeError, "events must be np.ndarray, got list"),
        (lambda ev: events_to_raster(ev, 0, 0), ValueError, "n_neurons must be >= 1, got 0"),
        (lambda ev: events_to_raster(ev, 4, 0), ValueError, "time_bins must be >= 1, got 0"),
        (lambda ev: events_to_raster(ev, None), TypeError, TYPE_MSG.format("n_neurons", "int", "NoneType")),
    ],
)
def test_argument_checks(call, exc, message):
    with pytest.raises(exc) as info:
        call(make_events(5))
    assert message in str(info.value)


# --- rasters ----------------------------------------------------------------------------


def test_raster_small_cases():
    ev = events_of([(0, 1, 2, 1), (50, 0, 1, 0), (100, 1, 2, 0), (100, 1, 2, 1)])
    r = events_to_raster(ev, 10, 4)
    assert r.dtype == np.float32 and r.shape == (4, 10)
    # height = max(y) + 1 = 3: ids x * 3 + y
    assert [tuple(map(int, i)) for i in np.argwhere(r)] == [(0, 5), (2, 1), (3, 5)]
    assert set(np.unique(r)) == {0.0, 1.0}
    one = events_to_raster(ev, 1, 2)
    assert one.tolist() == [[1.0], [1.0]]
    assert events_to_raster(events_of([]), 3).shape == (100, 3) and not events_to_raster(events_of([]), 3).any()
    assert events_to_raster(ev, 3.9, time_bins=2.5).shape == (2, 3)


@pytest.mark.parametrize("n_neurons, bins", [(1024, 100), (7, 1), (1, 50), (300_000, 3)])
def test_raster_matches_numpy_on_millions(n_neurons, bins):
    ev = make_events(2_000_000, seed=bins, width=1280, height=720, sort=False)
    assert np.array_equal(events_to_raster(ev, n_neurons, bins), ref_raster(ev, n_neurons, bins))
