"""The event record, EventBuffer, BufferedEventReader and generate_random_events."""

import os

import numpy as np
import pytest

from morvel.io import streaming
from morvel.io.streaming import EVENT_DTYPE, BufferedEventReader, EventBuffer, generate_random_events

from conftest import make_events, run_python


def test_event_record_layout():
    assert EVENT_DTYPE.names == ("t", "x", "y", "p")
    assert EVENT_DTYPE.itemsize == 13
    assert [EVENT_DTYPE.fields[f][1] for f in EVENT_DTYPE.names] == [0, 8, 10, 12]
    assert [EVENT_DTYPE.fields[f][0].str for f in EVENT_DTYPE.names] == ["<u8", "<u2", "<u2", "|u1"]
    rec = np.frombuffer(bytes.fromhex("01000000000000000200030001"), dtype=EVENT_DTYPE)[0]
    assert (rec["t"], rec["x"], rec["y"], rec["p"]) == (1, 2, 3, 1)


def test_module_names_in_order():
    names = [n for n in vars(streaming) if not n.startswith("__") or n == "__test__"]
    assert names == [
        "Generator", "Optional", "Tuple", "np", "EVENT_DTYPE",
        "BufferedEventReader", "EventBuffer", "generate_random_events", "__test__",
    ]
    assert streaming.__test__ == {}
    assert streaming.__doc__.startswith("Event streaming infrastructure.")
    assert "t: timestamp in microseconds (uint64)" in streaming.__doc__


def test_importing_fails_without_numpy():
    proc = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        try:
            import morvel.io.streaming
        except ImportError as exc:
            print("ImportError")
        """
    )
    assert proc.stdout.strip() == "ImportError", proc.stderr


# --- EventBuffer ----------------------------------------------------------------


def test_buffer_defaults_and_empty_flush():
    buf = EventBuffer()
    assert buf._capacity == 50000 and len(buf) == 0 and buf._size == 0
    assert len(buf._buffer) == 50000 and buf._buffer.dtype == EVENT_DTYPE
    out = buf.flush()
    assert out.dtype == EVENT_DTYPE and out.shape == (0,)


@pytest.mark.parametrize(
    "capacity, sizes, final_capacity",
    [
        (4, [3, 2], 8),
        (4, [20], 32),
        (4, [4], 4),  # exactly full: no growth
        (4, [2, 2], 4),
        (0, [5], 8),  # capacity 0 doubles from 1 until the events fit
        (0, [5, 4], 16),
        (1, [0], 1),
        (3, [1000], 1536),
    ],
)
def test_buffer_growth(capacity, sizes, final_capacity):
    buf = EventBuffer(capacity)
    chunks = [make_events(n, seed=i) for i, n in enumerate(sizes)]
    for c in chunks:
        buf.append(c)
    assert buf._capacity == final_capacity == len(buf._buffer)
    assert len(buf) == sum(sizes)
    assert np.array_equal(buf.flush(), np.concatenate(chunks))
    assert len(buf) == 0 and buf._capacity == final_capacity


def test_buffer_events_view_and_flush_copy():
    buf = EventBuffer(8)
    a, b = make_events(3, seed=1), make_events(2, seed=2)
    buf.append(a)
    buf.append(b)
    view = buf.events
    assert np.array_equal(view, np.concatenate([a, b]))
    assert np.shares_memory(view, buf._buffer)
    view["x"][0] = 999
    assert buf._buffer["x"][0] == 999
    out = buf.flush()
    assert not np.shares_memory(out, buf._buffer)
    out["x"][1] = 7
    assert buf._buffer["x"][1] == a["x"][1]
    # After a flush, later appends overwrite the old records.
    buf.append(b)
    assert np.array_equal(buf.events, b)


@pytest.mark.parametrize(
    "make_input",
    [
        lambda ev: ev[::2],  # non-contiguous
        lambda ev: ev.astype([("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")], copy=True).view(np.recarray),
        lambda ev: ev.astype([("a", "<i8"), ("b", "<i4"), ("c", "<i4"), ("d", "<i2")]),  # by position
        lambda ev: [tuple(r) for r in ev],
        lambda ev: ev.astype(EVENT_DTYPE.newbyteorder(">")),
    ],
)
def test_buffer_append_converts_like_numpy(make_input):
    ev = make_events(10)
    src = make_input(ev)
    expected = np.empty(len(src), dtype=EVENT_DTYPE)
    expected[:] = src
    buf = EventBuffer(2)
    buf.append(src)
    assert np.array_equal(buf.flush(), expected)


def test_buffer_failed_append_keeps_events():
    buf = EventBuffer(2)
    ev = make_events(2)
    buf.append(ev)
    bad = np.zeros(5, dtype=[("a", "u1"), ("b", "u1")])  # wrong number of fields
    with pytest.raises((ValueError, TypeError)):
        buf.append(bad)
    assert len(buf) == 2 and buf._capacity == 8  # growth stays, events unchanged
    assert np.array_equal(buf.flush(), ev)
    with pytest.raises(TypeError):
        buf.append(5)  # no length


def test_buffer_negative_capacity():
    with pytest.raises(ValueError, match="capacity must be >= 0, got -1"):
        EventBuffer(-1)


def test_buffer_private_attributes_are_read_only():
    buf = EventBuffer(4)
    for name in ("_size", "_capacity", "_buffer"):
        with pytest.raises(AttributeError):
            setattr(buf, name, 1000)


def test_buffer_many_appends_match_concatenate():
    chunks = [make_events(n, seed=n) for n in np.random.default_rng(5).integers(0, 3000, 200)]
    buf = EventBuffer(1)
    for c in chunks:
        buf.append(c)
    assert np.array_equal(buf.flush(), np.concatenate(chunks))


# --- BufferedEventReader --------------------------------------------------------


@pytest.fixture
def write_file(tmp_path):
    def write(data, name="events.bin"):
        path = tmp_path / name
        path.write_bytes(data if isinstance(data, bytes) else data.tobytes())
        return str(path)

    return write


@pytest.mark.parametrize("n, chunk, sizes", [(25000, 10000, [10000, 10000, 5000]), (0, 10, []), (10, 10, [10]),
                                             (1, 1000, [1]), (7, 1, [1] * 7)])
def test_reader_chunks(write_file, n, chunk, sizes):
    ev = make_events(n)
    reader = BufferedEventReader(write_file(ev), chunk_size=chunk)
    chunks = list(reader)
    assert [len(c) for c in chunks] == sizes
    assert all(c.dtype == EVENT_DTYPE and not c.flags.writeable for c in chunks)
    whole = reader.read_all()
    assert whole.dtype == EVENT_DTYPE and whole.flags.writeable and whole.flags.owndata
    assert np.array_equal(whole, ev)
    if chunks:
        assert np.array_equal(np.concatenate(chunks), ev)
        # each chunk has its own memory
        assert not any(np.shares_memory(a, b) for a, b in zip(chunks, chunks[1:]))


def test_reader_attributes(write_file):
    reader = BufferedEventReader(write_file(b""), 5)
    assert reader.chunk_size == 5 and reader.dtype is EVENT_DTYPE and reader._event_size == 13
    assert reader.path.endswith("events.bin")
    assert BufferedEventReader("x", 7.9).chunk_size == 7


def test_reader_partial_record(write_file):
    ev = make_events(10)
    path = write_file(ev.tobytes() + b"\x01\x02\x03\x04\x05")
    gen = iter(BufferedEventReader(path, chunk_size=4))
    got = [next(gen), next(gen), next(gen)]
    assert [len(c) for c in got] == [4, 4, 2]
    assert np.array_equal(np.concatenate(got), ev)
    with pytest.raises(ValueError, match="multiple of element size"):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(ValueError, match="multiple of element size"):
        BufferedEventReader(path).read_all()
    # A file shorter than one record.
    with pytest.raises(ValueError):
        next(iter(BufferedEventReader(write_file(b"abc", "short.bin"))))


@pytest.mark.parametrize("bad", [0, -1, -100])
def test_reader_refuses_chunk_size_below_one(bad):
    with pytest.raises(ValueError, match="chunk_size must be >= 1"):
        BufferedEventReader("events.bin", chunk_size=bad)
    reader = BufferedEventReader("events.bin")
    with pytest.raises(ValueError, match="chunk_size must be >= 1"):
        reader.chunk_size = bad


def test_reader_chunk_size_change_applies_to_later_chunks(write_file):
    ev = make_events(100)
    reader = BufferedEventReader(write_file(ev), chunk_size=10)
    gen = iter(reader)
    assert len(next(gen)) == 10
    reader.chunk_size = 30
    assert [len(c) for c in gen] == [30, 30, 30]


def test_reader_concurrent_generators(write_file):
    ev = make_events(50)
    reader = BufferedEventReader(write_file(ev), chunk_size=20)
    g1, g2 = iter(reader), iter(reader)
    a1, b1, a2 = next(g1), next(g2), next(g1)
    assert np.array_equal(a1, b1) and np.array_equal(a2, ev[20:40])


def test_reader_custom_record_type(write_file):
    data = np.arange(10, dtype="<u4")
    reader = BufferedEventReader(write_file(data), chunk_size=4, dtype=np.dtype("<u4"))
    assert reader._event_size == 4
    chunks = list(reader)
    assert [c.tolist() for c in chunks] == [[0, 1, 2, 3], [4, 5, 6, 7], [8, 9]]
    assert chunks[0].dtype == np.dtype("<u4")


def test_reader_bad_dtypes(write_file):
    for bad in (object(), None, "no such type"):
        with pytest.raises(TypeError):
            BufferedEventReader("x", dtype=bad)
    reader = BufferedEventReader("x", dtype="<u4")  # anything np.dtype() takes
    assert reader.dtype == np.dtype("<u4") and reader._event_size == 4
    path = write_file(b"\0" * 16)
    reader = BufferedEventReader(path, dtype=np.dtype(object))
    with pytest.raises(ValueError, match="OBJECT"):
        next(iter(reader))
    with pytest.raises(ValueError, match="OBJECT"):
        reader.read_all()


def test_reader_missing_file(tmp_path):
    reader = BufferedEventReader(str(tmp_path / "nope.bin"))  # construction succeeds
    with pytest.raises(FileNotFoundError) as exc:
        next(iter(reader))
    assert exc.value.filename.endswith("nope.bin")
    with pytest.raises(FileNotFoundError):
        reader.read_all()
    with pytest.raises(IsADirectoryError):
        BufferedEventReader(str(tmp_path)).read_all()


def test_reader_sees_a_growing_file(write_file):
    ev = make_events(30)
    path = write_file(ev[:10])
    gen = iter(BufferedEventReader(path, chunk_size=10))
    assert np.array_equal(next(gen), ev[:10])
    with open(path, "ab") as f:
        f.write(ev[10:].tobytes())
    assert np.array_equal(np.concatenate(list(gen)), ev[10:])


def test_reader_dropped_half_way_leaks_nothing(write_file):
    path = write_file(make_events(1000))
    reader = BufferedEventReader(path, chunk_size=10)
    fds = len(os.listdir("/proc/self/fd"))
    for _ in range(2000):
        gen = iter(reader)
        next(gen)
        del gen
    assert len(os.listdir("/proc/self/fd")) == fds


# --- generate_random_events -----------------------------------------------------


@pytest.mark.parametrize(
    "n, size, duration",
    [(10000, (640, 480), 1000000), (5000, (1, 1), 1), (3000, (65536, 3), 10), (2000, (7, 65536), 2**40),
     (4000, (2, 2), 2**32), (1000, (5, 5), 2**63 - 1), (100000, (346, 260), 50)],
)
def test_random_events_ranges(n, size, duration):
    ev = generate_random_events(n, sensor_size=size, duration_us=duration)
    assert ev.dtype == EVENT_DTYPE and len(ev) == n
    t = ev["t"]
    assert np.all(t[1:] >= t[:-1]) and t.max() < duration
    assert ev["x"].max() < size[0] and ev["y"].max() < size[1]
    assert set(np.unique(ev["p"])) <= {0, 1}


def test_random_events_are_uniform():
    np.random.seed(3)
    n = 400_000
    ev = generate_random_events(n, sensor_size=(10, 4), duration_us=100)
    for field, k in (("x", 10), ("y", 4), ("p", 2)):
        counts = np.bincount(ev[field], minlength=k)
        assert np.all(np.abs(counts - n / k) < 6 * np.sqrt(n / k)), (field, counts)
    counts = np.bincount(ev["t"].astype(np.int64), minlength=100)
    assert np.all(np.abs(counts - n / 100) < 6 * np.sqrt(n / 100))
    # fields are independent of each other: x and p show no correlation
    assert abs(np.corrcoef(ev["x"], ev["p"])[0, 1]) < 0.02


def test_random_events_reproducible_under_global_seed():
    np.random.seed(42)
    a = generate_random_events(5000)
    np.random.seed(42)
    b = generate_random_events(5000)
    c = generate_random_events(5000)
    assert np.array_equal(a, b) and not np.array_equal(b, c)


def test_random_events_edge_cases():
    assert generate_random_events(0).shape == (0,)
    ev = generate_random_events(100, (1, 1), 1)
    assert not ev["x"].any() and not ev["y"].any() and not ev["t"].any()
    assert len(generate_random_events(2.9)) == 2


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        (dict(n_events=-1), ValueError, "n_events must be >= 0, got -1"),
        (dict(n_events=5, duration_us=0), ValueError, "high <= 0"),
        (dict(n_events=5, duration_us=-3), ValueError, "high <= 0"),
        (dict(n_events=5, sensor_size=(0, 5)), ValueError, "high <= 0"),
        (dict(n_events=5, sensor_size=(5, -1)), ValueError, "high <= 0"),
        (dict(n_events=5, sensor_size=(65537, 5)), ValueError, "out of bounds for uint16"),
        (dict(n_events=5, sensor_size=(5, 70000)), ValueError, "out of bounds for uint16"),
        (dict(n_events=5, sensor_size=(5,)), ValueError, r"sensor_size must be \(width, height\) tuple"),
        (dict(n_events=5, sensor_size=()), ValueError, r"sensor_size must be \(width, height\) tuple"),
        (dict(n_events=5, sensor_size=(5, 5, 5)), ValueError, r"sensor_size must be \(width, height\) tuple"),
    ],
)
def test_random_events_bad_ranges(kwargs, exc, match):
    with pytest.raises(exc, match=match):
        generate_random_events(**kwargs)


def test_reader_reports_a_file_cut_under_it(write_file):
    ev = make_events(100)
    path = write_file(ev)
    gen = iter(BufferedEventReader(path, chunk_size=10))
    assert np.array_equal(next(gen), ev[:10])
    with open(path, "r+b") as f:
        f.truncate(13 * 50)  # cut on a record boundary: a quiet end would look like success
    chunks = []
    with pytest.raises(OSError, match="shrank from 1300 to 650 bytes"):
        for c in gen:
            chunks.append(c)
    assert sum(map(len, chunks)) <= 40  # only what was still there was yielded


def test_reader_keeps_reading_an_unlinked_file(write_file):
    ev = make_events(100)
    path = write_file(ev)
    gen = iter(BufferedEventReader(path, chunk_size=10))
    first = next(gen)
    os.unlink(path)  # the open file stays readable
    assert np.array_equal(np.concatenate([first, *gen]), ev)


@pytest.mark.parametrize("make", [lambda p: EventBuffer(4), lambda p: BufferedEventReader(p)])
def test_weak_references_die_with_the_object(make, write_file):
    import gc
    import weakref

    obj = make(write_file(b""))
    called = []
    ref = weakref.ref(obj, lambda r: called.append(r))
    del obj
    gc.collect()
    assert ref() is None and called == [ref]
