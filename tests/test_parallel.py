"""Decoding and binning split over threads: the same events as one thread for
every split, seekable RAW windows, and reading into a caller's buffer."""

import signal
import threading

import numpy as np
import pytest

import morvel.io as mio
from morvel.io.aedat4 import unpack_frames
from morvel.io import formats
from morvel.io.formats import (Evt2Decoder, Evt3Decoder, RawReader, decode_evt2, decode_evt3, encode_evt2,
                               encode_evt3, events_to_frames, events_to_raster, write_raw)
from morvel.io.streaming import EVENT_DTYPE

from test_raw import camera_events

MIB = 1 << 20
DECODERS = {"EVT2": (decode_evt2, encode_evt2, 4), "EVT3": (decode_evt3, encode_evt3, 2)}


def evt3_vocabulary(n_words, seed, high_step=(0, 1, 1, 1, 1800, 2100, 3000)):
    """EVT 3.0 words drawn from every state-changing type, with time highs that
    repeat, step, wrap and go back: pieces cut anywhere start in every kind of
    state (time low set before or after a high, highs equal to the last one)."""
    rng = np.random.default_rng(seed)
    kinds = rng.choice(8, n_words, p=[0.2, 0.25, 0.05, 0.08, 0.07, 0.2, 0.1, 0.05])
    payload = rng.integers(0, 1 << 12, n_words)
    types = np.array([0x0, 0x2, 0x3, 0x4, 0x5, 0x6, 0x8, 0xA])[kinds]
    words = (types << 12) | payload
    highs = kinds == 6
    steps = rng.choice(high_step, highs.sum())
    words[highs] = 0x8000 | (np.cumsum(steps) & 0xFFF)
    return words.astype("<u2").tobytes()


def evt2_vocabulary(n_words, seed):
    """EVT 2.0 words: events, other types, and time highs that repeat, step,
    wrap (a drop of 2**27 or more) and go back."""
    rng = np.random.default_rng(seed)
    words = rng.integers(0, 1 << 32, n_words, dtype=np.uint64)
    highs = rng.random(n_words) < 0.1
    steps = rng.choice([0, 1, 1, 1 << 26, 3 << 26, (1 << 28) - 5], highs.sum())
    words[highs] = (0x8 << 28) | (np.cumsum(steps) & 0x0FFFFFFF)
    return words.astype("<u4").tobytes()


# --- whole buffers -------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
@pytest.mark.parametrize(
    "make",
    [
        lambda: camera_events(1_500_000, 1),
        lambda: camera_events(4_500_000, 2, rows=True),
        lambda: camera_events(900_000, 3, span=2**40),  # wraps of both counters
    ],
    ids=["camera", "vectors", "wraps"],
)
def test_decoders_split_give_one_decoders_events(fmt, make):
    decode, encode, word = DECODERS[fmt]
    raw = encode(make())
    assert len(raw) >= 3 * MIB  # pieces of at least 1 MiB: room for three
    one = decode(raw, threads=1)
    rng = np.random.default_rng(0)
    # Cut short at random words as well, so that the pieces start anywhere.
    for cut in [len(raw)] + [int(c) * word for c in rng.integers(2 * MIB // word, len(raw) // word, 3)]:
        part = raw[:cut]
        ref = one if cut == len(raw) else decode(part, threads=1)
        for threads in range(2, 9):
            assert np.array_equal(decode(part, threads=threads), ref), (cut, threads)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
def test_split_composes_every_state_change(fmt, seed):
    """Words chosen to start pieces in every state: the summaries composed
    across pieces must reach the state one decoder reaches."""
    decode, _, word = DECODERS[fmt]
    rng = np.random.default_rng(seed)
    n_words = int(rng.integers(2 * MIB, 5 * MIB)) // word
    raw = evt3_vocabulary(n_words, seed) if fmt == "EVT3" else evt2_vocabulary(n_words, seed)
    one = decode(raw, threads=1)
    for threads in (2, 3, 5, 8):
        assert np.array_equal(decode(raw, threads=threads), one), threads


@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
def test_random_bytes_split(fmt):
    decode, _, word = DECODERS[fmt]
    rng = np.random.default_rng(7)
    for _ in range(4):
        raw = rng.integers(0, 256, int(rng.integers(2, 5)) * MIB + word * int(rng.integers(0, 999)),
                           dtype=np.uint8).tobytes()
        one = decode(raw, threads=1)
        for threads in (2, 4, 7):
            assert np.array_equal(decode(raw, threads=threads), one)


@pytest.mark.parametrize("bad, error", [(0, ValueError), (-3, ValueError), ("2", TypeError), ([2], TypeError)])
def test_threads_argument_refused(bad, error):
    raw = encode_evt3(camera_events(10, 0))
    ev = camera_events(10, 0)
    for call in (lambda: decode_evt3(raw, threads=bad), lambda: decode_evt2(b"", threads=bad),
                 lambda: events_to_frames(ev, (1280, 720), threads=bad),
                 lambda: events_to_raster(ev, 10, threads=bad), lambda: unpack_frames(b"\0" * 8, 4, 4, threads=bad)):
        with pytest.raises(error, match="threads"):
            call()


def test_python_threads_share_inputs():
    """Many Python threads decoding one buffer on the pool at once (and the
    pool taken by another caller: those run their pieces themselves)."""
    raw = encode_evt3(camera_events(600_000, 4, rows=True)) * 3
    one = decode_evt3(raw, threads=1)
    errors = []

    def work():
        try:
            for _ in range(3):
                if not np.array_equal(decode_evt3(raw, threads=2), one):
                    errors.append("mismatch")
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    ts = [threading.Thread(target=work) for _ in range(8)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert not errors


def test_keyboard_interrupt_during_parallel_decode():
    raw = encode_evt3(camera_events(2_000_000, 5)) * 8
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
        with pytest.raises(KeyboardInterrupt):
            for _ in range(50):
                decode_evt3(raw, threads=2)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.signal(signal.SIGINT, previous)
    assert len(decode_evt3(raw[: 4 * MIB], threads=2)) == len(decode_evt3(raw[: 4 * MIB], threads=1))


# --- the wide (AVX-512) paths against the plain ones ----------------------------------

WIDE = formats._simd()  # this CPU has them, and they are on
needs_wide = pytest.mark.skipif(not WIDE, reason="no AVX-512 paths on this CPU")


def plain_and_wide(fn):
    """fn() with the wide paths off, then on."""
    was = formats._simd(False)
    try:
        plain = fn()
    finally:
        formats._simd(was)
    return plain, fn()


def evt2_time_highs(n_words, seed):
    """EVT 2.0 events with a time high every 1-3 words (most blocks end early)."""
    rng = np.random.default_rng(seed)
    words = rng.integers(0, 1 << 29, n_words, dtype=np.uint64) & ~np.uint64(0xE << 28)
    highs = rng.random(n_words) < 0.4
    words[highs] = (0x8 << 28) | (np.cumsum(rng.choice([0, 1, 1 << 27], highs.sum())) & 0x0FFFFFFF)
    return words.astype("<u4").tobytes()


WORDS = {
    "EVT2": {
        "camera": lambda: encode_evt2(camera_events(300_000, 21)),
        "wraps": lambda: encode_evt2(camera_events(200_000, 22, span=2**40)),
        "every state": lambda: evt2_vocabulary(400_000, 23),
        "time highs": lambda: evt2_time_highs(300_000, 24),
        "random": lambda: np.random.default_rng(25).integers(0, 256, 1_200_003, dtype=np.uint8).tobytes()[:1_200_000],
    },
    "EVT3": {
        "camera": lambda: encode_evt3(camera_events(300_000, 21)),
        "vectors": lambda: encode_evt3(camera_events(400_000, 22, rows=True)),
        "wraps": lambda: encode_evt3(camera_events(200_000, 23, span=2**40)),
        "every state": lambda: evt3_vocabulary(600_000, 24),
        "random": lambda: np.random.default_rng(25).integers(0, 256, 1_200_000, dtype=np.uint8).tobytes(),
    },
}


@needs_wide
@pytest.mark.parametrize("fmt, kind", [(f, k) for f in WORDS for k in WORDS[f]])
def test_wide_paths_give_the_plain_events(fmt, kind):
    decode, _, word = DECODERS[fmt]
    raw = WORDS[fmt][kind]()
    plain, wide = plain_and_wide(lambda: decode(raw, threads=1))
    assert len(plain) > 0 and np.array_equal(wide, plain)
    plain2, wide2 = plain_and_wide(lambda: decode(raw, threads=3))  # the state scans too
    assert np.array_equal(plain2, plain) and np.array_equal(wide2, plain)
    # Short buffers: the last events of a call go word by word, and every
    # length of that tail ends somewhere.
    rng = np.random.default_rng(len(raw))
    for start in rng.integers(0, len(raw) // word - 400, 8):
        for n in list(range(0, 80)) + list(range(80, 400, 13)):
            part = raw[int(start) * word: (int(start) + n) * word]
            p, w = plain_and_wide(lambda: decode(part, threads=1))
            assert np.array_equal(w, p), (start, n)


@needs_wide
@pytest.mark.parametrize("fmt, kind", [("EVT2", "time highs"), ("EVT2", "every state"), ("EVT3", "vectors"),
                                       ("EVT3", "every state")])
def test_wide_paths_in_pieces(fmt, kind):
    """A streaming decoder fed pieces of every size: the state carried from
    piece to piece (a partial word included) is the plain path's."""
    raw = WORDS[fmt][kind]()[:300_001]
    make = Evt2Decoder if fmt == "EVT2" else Evt3Decoder
    sizes = np.random.default_rng(3).choice([1, 3, 17, 64, 65, 129, 1000, 40_001], 2000)

    def in_pieces():
        d, out, at = make(), [], 0
        for size in sizes:
            out.append(d.decode(raw[at:at + int(size)]))
            at += int(size)
        out.append(d.decode(raw[at:]))
        return np.concatenate(out), d.pending_bytes

    (plain, plain_pending), (wide, wide_pending) = plain_and_wide(in_pieces)
    assert np.array_equal(wide, plain) and wide_pending == plain_pending
    assert np.array_equal(plain, DECODERS[fmt][0](raw[:len(raw) - len(raw) % DECODERS[fmt][2]], threads=1))


@needs_wide
@pytest.mark.parametrize("fmt", ["EVT2", "EVT3"])
def test_wide_paths_read_files(tmp_path, fmt):
    ev = camera_events(700_000, 26, rows=fmt == "EVT3", span=2**36)
    path = str(tmp_path / "w.raw")
    write_raw(path, ev, format=fmt, sensor_size=(1280, 720))
    t = ev["t"].astype(np.int64)
    for threads in (1, 2):
        plain, wide = plain_and_wide(lambda: RawReader(path).read_all(threads=threads))
        assert np.array_equal(plain, ev) and np.array_equal(wide, ev)
        t0, t1 = int(t[len(t) // 3]), int(t[len(t) // 3]) + 50_000
        plain, wide = plain_and_wide(lambda: RawReader(path).read_time_window(t0, t1, threads=threads))
        assert np.array_equal(wide, plain) and np.array_equal(plain, ev[(t >= t0) & (t < t1)])
    plain, wide = plain_and_wide(lambda: RawReader(path).count_events())
    assert plain == wide == len(ev)


def test_simd_switch():
    was = formats._simd()
    try:
        assert formats._simd(False) == was
        assert formats._simd() is False
        assert formats._simd(True) is False
        assert formats._simd() == WIDE  # on only where the CPU has them
    finally:
        formats._simd(was)


# --- RAW files -----------------------------------------------------------------


@pytest.fixture(scope="module")
def raw_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("parallel")
    out = {}
    for name, ev in {"camera": camera_events(1_500_000, 11), "vectors": camera_events(1_000_000, 12, rows=True),
                     "wraps": camera_events(600_000, 13, span=2**36)}.items():
        for fmt in ("EVT2", "EVT21", "EVT3"):
            path = d / f"{name}-{fmt}.raw"
            write_raw(str(path), ev, format=fmt, sensor_size=(1280, 720))
            out[name, fmt] = (str(path), ev)
    return out


@pytest.mark.parametrize("name", ["camera", "vectors", "wraps"])
@pytest.mark.parametrize("fmt", ["EVT2", "EVT21", "EVT3"])
def test_raw_read_all_and_windows(raw_files, name, fmt):
    path, ev = raw_files[name, fmt]
    r = RawReader(path)
    for threads in (1, 2, 3):
        assert np.array_equal(r.read_all(threads=threads), ev)
    t = ev["t"].astype(np.int64)
    rng = np.random.default_rng(1)
    windows = [(0, 2**64 - 1), (-5, 3), (int(t[-1]), int(t[-1]) + 1), (int(t[-1]) + 1, 2**70), (10, 10), (9, 2)]
    windows += [tuple(int(v) for v in np.sort(rng.integers(0, int(t[-1]) + 2, 2))) for _ in range(20)]
    windows += [(int(a), int(a) + 10_000) for a in rng.choice(t, 5)]  # short windows, as a user takes them
    for t0, t1 in windows:
        got = r.read_time_window(t0, t1, threads=2)
        expect = ev[(t >= max(t0, 0)) & (t < min(t1, 2**63))]
        assert np.array_equal(got, expect), (t0, t1)


def test_window_of_a_file_going_back_in_time(tmp_path):
    """Time highs that go back: windows cannot bisect, yet stay exact."""
    a, b = camera_events(400_000, 20), camera_events(400_000, 21)
    ev = np.concatenate([a, b])  # the second half starts again at t = 0
    path = str(tmp_path / "back.raw")
    with open(path, "wb") as f:
        f.write(b"% format EVT3;height=720;width=1280\n% end\n" + encode_evt3(a) + encode_evt3(b))
    r = RawReader(path)
    t = ev["t"]
    for t0, t1 in [(0, 1000), (5000, 90_000), (int(t.max()) - 10, 2**64)]:
        assert np.array_equal(r.read_time_window(t0, t1), ev[(t >= t0) & (t < t1)])


def test_window_index_follows_the_file(tmp_path):
    path = str(tmp_path / "r.raw")
    first = camera_events(300_000, 30)
    write_raw(path, first, format="EVT3", sensor_size=(1280, 720))
    r = RawReader(path)
    assert np.array_equal(r.read_time_window(0, 50_000), first[first["t"] < 50_000])
    second = camera_events(500_000, 31)
    write_raw(path, second, format="EVT3", sensor_size=(1280, 720))
    assert np.array_equal(r.read_time_window(0, 50_000), second[second["t"] < 50_000])


def test_partial_word_refused_by_every_path(tmp_path):
    path = str(tmp_path / "cut.raw")
    ev = camera_events(400_000, 40)
    with open(path, "wb") as f:
        f.write(b"% format EVT2;height=720;width=1280\n% end\n" + encode_evt2(ev) + b"\x01\x02")
    r = RawReader(path)
    for call in (lambda: r.read_all(threads=2), lambda: r.read_time_window(0, 100)):
        with pytest.raises(ValueError, match="ends inside a EVT2 word"):
            call()
    for size in (100_000, 7_777):  # 400,000 events: the last call ends on a full buffer or short of one
        out, got = np.empty(size, EVENT_DTYPE), []
        r.rewind()
        with pytest.raises(ValueError, match="ends inside"):
            while k := r.read_into(out):
                got.append(out[:k].copy())
        assert np.array_equal(np.concatenate(got), ev)  # every whole event first


@pytest.mark.parametrize("fmt", ["EVT2", "EVT21", "EVT3"])
@pytest.mark.parametrize("size", [1, 4099, 250_000, 3_000_000])
def test_read_into_gives_the_file_once(raw_files, fmt, size):
    path, ev = raw_files["vectors", fmt]
    r = RawReader(path)
    out = np.empty(size, EVENT_DTYPE)
    parts = []
    while k := r.read_into(out):
        assert k == size or not r.read_into(out)  # short only at the end
        parts.append(out[:k].copy())
        if k < size:
            break
    assert np.array_equal(np.concatenate(parts), ev)
    assert r.read_into(out) == 0
    r.rewind()
    assert r.read_into(out) == min(size, len(ev))
    assert np.array_equal(out[: min(size, len(ev))], ev[:size])


@pytest.mark.parametrize(
    "out, error",
    [
        (np.empty(4, np.uint8), TypeError),
        ([1, 2], TypeError),
        (np.empty((2, 2), EVENT_DTYPE), ValueError),
        (np.empty(8, EVENT_DTYPE)[::2], ValueError),
        (np.empty(8, EVENT_DTYPE).view(), ValueError),  # made read-only below
    ],
)
def test_read_into_refuses_bad_buffers(raw_files, out, error):
    if isinstance(out, np.ndarray) and out.ndim == 1 and out.flags.c_contiguous and out.dtype == EVENT_DTYPE:
        out.flags.writeable = False
    r = RawReader(raw_files["camera", "EVT3"][0])
    with pytest.raises(error):
        r.read_into(out)


@pytest.mark.parametrize("fmt", ["evt3", "csv"])
def test_recording_read_into(tmp_path, fmt):
    ev = camera_events(50_000, 50)
    path = str(tmp_path / ("r.raw" if fmt == "evt3" else "r.csv"))
    mio.write(path, ev, format=fmt, sensor_size=(1280, 720))
    with mio.open(path, chunk_size=7_000) as rec:
        out, parts = np.empty(3_001, EVENT_DTYPE), []
        while k := rec.read_into(out):
            parts.append(out[:k].copy())
        assert np.array_equal(np.concatenate(parts), ev)
        rec.rewind()
        assert rec.read_into(out) == 3_001 and np.array_equal(out, ev[:3_001])
        assert np.array_equal(rec.read_time_window(1000, 90_000), ev[(ev["t"] >= 1000) & (ev["t"] < 90_000)])


# --- frames, rasters, packed frames --------------------------------------------


@pytest.fixture(scope="module")
def many_events():
    ev = camera_events(1_200_000, 60)
    shuffled = ev.copy()
    np.random.default_rng(0).shuffle(shuffled)
    return {"sorted": ev, "shuffled": shuffled}


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
@pytest.mark.parametrize("n_frames, accumulate", [(1, True), (1, False), (7, True), (300, False), (300, True)])
def test_frames_the_same_on_every_thread_count(many_events, order, n_frames, accumulate):
    ev = many_events[order]
    one = events_to_frames(ev, (1280, 720), n_frames, accumulate, threads=1)
    for threads in (2, 3, 4):
        assert np.array_equal(events_to_frames(ev, (1280, 720), n_frames, accumulate, threads=threads), one)


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
@pytest.mark.parametrize("n_neurons, time_bins", [(1000, 100), (1280 * 720, 3), (7, 50_000)])
def test_raster_the_same_on_every_thread_count(many_events, order, n_neurons, time_bins):
    ev = many_events[order]
    one = events_to_raster(ev, n_neurons, time_bins, threads=1)
    for threads in (2, 4):
        assert np.array_equal(events_to_raster(ev, n_neurons, time_bins, threads=threads), one)


def test_frame_counts_past_float_precision():
    """One thread's float count stops at 2**24; partial counts merge to it."""
    ev = np.zeros(2**24 + 600_000, EVENT_DTYPE)
    one = events_to_frames(ev, (2, 2), 1, threads=1)
    assert one[0, 0, 0] == 2**24
    assert np.array_equal(events_to_frames(ev, (2, 2), 1, threads=3), one)


def test_unpack_frames_the_same_on_every_thread_count():
    rng = np.random.default_rng(3)
    codes = rng.choice([0, 0, 0, 0, 0, 1, 2, 3], size=(37, 640 * 480)).astype(np.uint8).reshape(37, -1, 4)
    packed = ((codes[..., 0] << 6) | (codes[..., 1] << 4) | (codes[..., 2] << 2) | codes[..., 3]).astype(np.uint8)
    data = packed.tobytes() + b"\x55" * 100  # and a partial frame, ignored
    one = unpack_frames(data, 640, 480, 250, 2**60, threads=1)
    for threads in (2, 3, 8):
        assert np.array_equal(unpack_frames(data, 640, 480, 250, 2**60, threads=threads), one)


@pytest.mark.parametrize("span", [None, 2**35], ids=["camera", "wraps"])  # 2**35: the 32-bit stamps wrap
def test_dat_read_all_split(tmp_path, span):
    ev = camera_events(600_000, 70, span=span)
    path = str(tmp_path / "r.dat")
    mio.write(path, ev, format="dat", sensor_size=(1280, 720))
    r = mio.recordings.DatReader(path)
    one = r.read_all(threads=1)
    assert np.array_equal(one, ev)
    for threads in (2, 3, 8):
        assert np.array_equal(r.read_all(threads=threads), one)


@pytest.mark.parametrize("fmt", ["EVT2", "EVT21", "EVT3"])
def test_raw_time_span(raw_files, tmp_path, fmt):
    path, ev = raw_files["wraps", fmt]
    assert RawReader(path).time_span() == (int(ev["t"][0]), int(ev["t"][-1]))
    assert mio.open(path).time_span() == (int(ev["t"][0]), int(ev["t"][-1]))
    empty = str(tmp_path / "empty.raw")
    write_raw(empty, np.empty(0, EVENT_DTYPE), format=fmt, sensor_size=(1280, 720))
    assert RawReader(empty).time_span() is None


def test_recording_takes_threads(raw_files, tmp_path):
    path, ev = raw_files["camera", "EVT3"]
    with mio.open(path) as rec:
        assert np.array_equal(rec.read_all(threads=2), ev)
        assert np.array_equal(rec.read_time_window(0, 10**6, threads=1), ev[ev["t"] < 10**6])
        for bad in (0, True, "2"):
            with pytest.raises(ValueError, match="threads"):
                rec.read_all(threads=bad)
    csv = str(tmp_path / "r.csv")
    mio.write(csv, ev[:1000], format="csv")
    with mio.open(csv) as rec:  # a reader without threads takes the keyword and reads on one
        assert np.array_equal(rec.read_all(threads=4), ev[:1000])
