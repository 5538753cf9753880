"""Vendor recording readers: real AEDAT4 files written by dv-processing, and a
stand-in Prophesee SDK (metavision_core cannot be installed here)."""

import ast
import gc
import inspect
import pathlib
import sys
import types

import numpy as np
import pytest

from morvel.io import dvs
from morvel.io.dvs import read_iniVation, read_prophesee
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
DV_MISSING = "dv-processing is required for iniVation files. Install via: pip install dv-processing"
MV_MISSING = "metavision_core is required for Prophesee files. Install via: pip install metavision_core"
# Prophesee's event record: other field order and types, padded to 16 bytes.
EVENT_CD = np.dtype({"names": ["x", "y", "p", "t"], "formats": ["<u2", "<u2", "<i2", "<i8"],
                     "offsets": [0, 2, 4, 8], "itemsize": 16})


def converted(batches):
    """Plain NumPy: every batch cast field by field into event records."""
    out = [np.empty(len(b), dtype=EVENT_DTYPE) for b in batches]
    for ev, b in zip(out, batches):
        for f in "txyp":
            ev[f] = b[f]
    return np.concatenate([np.empty(0, EVENT_DTYPE), *out])


def vendor_batches(sizes, dtype=EVENT_CD, names="txyp", seed=0):
    ev = make_events(sum(sizes), seed=seed)
    ev["t"] += 1_700_000_000_000_000  # wall-clock microseconds
    out, start = [], 0
    for n in sizes:
        b = np.zeros(n, dtype=dtype)
        for f, name in zip("txyp", names):
            b[name] = ev[f][start:start + n]
        out.append(b)
        start += n
    return out, ev


def check_chunks(chunks, chunk_size, expected_events, sources=()):
    n = len(expected_events)
    assert [len(c) for c in chunks] == [chunk_size] * (n // chunk_size) + [n % chunk_size] * (n % chunk_size > 0)
    for c in chunks:
        assert c.dtype == EVENT_DTYPE and c.flags.writeable and c.flags.owndata
    assert np.array_equal(np.concatenate(chunks) if chunks else expected_events[:0], expected_events)
    for i, c in enumerate(chunks):  # chunks the consumer may keep: nothing shared
        assert not any(np.shares_memory(c, d) for d in chunks[i + 1:])
        assert not any(np.shares_memory(c, s) for s in sources)


# --- iniVation: real AEDAT4 files ------------------------------------------------------


@pytest.fixture
def aedat4(tmp_path):
    dv = pytest.importorskip(
        "dv_processing", reason="dv-processing is not installed (it has no wheel for some interpreters and platforms)")

    def write(sizes, name="rec.aedat4"):
        batches, ev = vendor_batches(sizes)
        path = str(tmp_path / name)
        writer = dv.io.MonoCameraWriter(path, dv.io.MonoCameraWriter.EventOnlyConfig("DVXplorer_test", (640, 480)))
        for b in batches:
            store = dv.EventStore()
            for t, x, y, p in zip(b["t"].tolist(), b["x"].tolist(), b["y"].tolist(), b["p"].tolist()):
                store.push_back(t, x, y, bool(p))
            writer.writeEvents(store)
        del writer  # closes the file
        rec = dv.io.MonoCameraRecording(path)  # the file holds the batches as written
        read = []
        while rec.isRunning() and (batch := rec.getNextEventBatch()) is not None:
            read.append(len(batch.numpy()))
        assert read == [n for n in sizes if n]
        return path, ev

    return write


@pytest.mark.parametrize(
    "sizes, chunk",
    [
        ([3, 701, 1, 250, 46], 100),
        ([40], 100),  # fewer than chunk_size: one chunk
        ([100, 200], 100),  # k x chunk_size: no empty tail
        ([2, 3], 1),
        ([120, 30], 2**80),
        ([], 10),  # empty recording
    ],
)
def test_inivation_real_recordings(aedat4, sizes, chunk):
    path, ev = aedat4(sizes)
    check_chunks(list(read_iniVation(path, chunk)), chunk, ev)


@pytest.mark.parametrize("content", [None, b"not an aedat4 file" * 50])
def test_inivation_sdk_errors_propagate(aedat4, tmp_path, content):
    path = tmp_path / "bad.aedat4"
    if content is not None:
        path.write_bytes(content)
    gen = read_iniVation(str(path))  # nothing opened yet
    with pytest.raises(RuntimeError):
        next(gen)
    assert list(gen) == []


@pytest.fixture
def fake_dv(monkeypatch):
    """Stand-in dv_processing, for what real files cannot show: a None batch before
    the end, batches of zero events, isRunning() turning false."""
    sdk = types.SimpleNamespace(batches=[], running_for=None, reads=0)

    def next_batch():
        b = sdk.batches[sdk.reads]
        sdk.reads += 1
        return None if b is None else types.SimpleNamespace(numpy=lambda: b)

    recording = types.SimpleNamespace(getNextEventBatch=next_batch,
                                      isRunning=lambda: sdk.running_for is None or sdk.reads < sdk.running_for)
    module = types.ModuleType("dv_processing")
    module.io = types.SimpleNamespace(MonoCameraRecording=lambda path: recording)
    monkeypatch.setitem(sys.modules, "dv_processing", module)
    return sdk


DV_RECORD = [("timestamp", "<i8"), ("x", "<i2"), ("y", "<i2"), ("polarity", "i1")]


@pytest.mark.parametrize("stop", ["none", "not running"])
def test_inivation_end_of_reading_flushes_tail(fake_dv, stop):
    (a, empty, b, c), ev = vendor_batches([7, 0, 4, 5], DV_RECORD, ("timestamp", "x", "y", "polarity"))
    if stop == "none":
        fake_dv.batches = [a, empty, b, None, c]
    else:
        fake_dv.batches, fake_dv.running_for = [a, empty, b, c], 3
    check_chunks(list(read_iniVation("rec.aedat4", 5)), 5, ev[:11])
    assert fake_dv.reads == (4 if stop == "none" else 3)  # c is never read


# --- Prophesee: stand-in SDK --------------------------------------------------------------


@pytest.mark.parametrize(
    "sizes, chunk",
    [
        ([0, 1000, 0, 3, 1, 2500, 0], 1000),
        ([7] * 30, 10),
        ([10_000], 3),  # one batch, thousands of chunks
        ([1] * 50, 7),
        ([0, 0], 5),
        ([5, 5], 2**63),
        ([70_000, 1, 50_000, 100_000], 1_000_000),
        ([70_000, 1, 50_000, 100_000], 5_000_000),  # a chunk that grows as events arrive
        ([300_000, 10], 100_000),  # chunks big enough to convert without the GIL
    ],
)
def test_prophesee_rechunks_like_numpy(prophesee, sizes, chunk):
    prophesee.batches, ev = vendor_batches(sizes)
    check_chunks(list(read_prophesee("rec.raw", chunk_size=chunk)), chunk, ev, prophesee.batches)
    assert prophesee.calls == [("rec.raw", 0, None)]


@pytest.mark.parametrize(
    "make",
    [
        lambda b: b.astype([("t", ">u8"), ("x", ">i4"), ("y", ">u2"), ("p", ">i2")]),
        lambda b: b.astype([("p", "?"), ("y", "<f4"), ("t", "<f8"), ("x", "<i8")]),
        lambda b: b.astype([("t", "<f2"), ("x", "O"), ("y", "<u1"), ("p", "<u4")]),
        lambda b: b[::2],
        lambda b: b[::-1],
        lambda b: b.view(np.recarray),
        lambda b: np.rec.fromarrays([-b["t"], b["x"] - 700, b["y"].astype(np.int64) - 2**40, b["p"] - 3], names="t,x,y,p"),
        lambda b: np.rec.fromarrays([b["t"].astype(np.uint64) + 2**63, b["x"], b["y"], b["p"]], names="t,x,y,p"),
    ],
    ids=["big-endian", "bool-float", "half-object", "strided", "reversed", "recarray", "negative", "t>2^63"],
)
def test_prophesee_field_types_cast_like_numpy(prophesee, make):
    batches, _ = vendor_batches([33, 0, 18])
    prophesee.batches = [make(b) for b in batches]
    if prophesee.batches[0].dtype["t"] == np.float16:
        for b in prophesee.batches:
            b["t"] %= 2048  # exact in half precision
    check_chunks(list(read_prophesee("rec.raw", 10)), 10, converted(prophesee.batches))


def test_prophesee_floats_without_integer_counterpart(prophesee):
    # NaN, infinities and values beyond each target's range get what astype gives.
    batch = np.zeros(8, dtype=[("t", "<f8"), ("x", "<f4"), ("y", "<f8"), ("p", "<f8")])
    batch["t"] = [np.nan, np.inf, -np.inf, 1e30, -1.0, 2.0**63 + 2048, 3.99, -2.0**63]
    batch["x"] = [-1.0, 70000.5, np.nan, 65535.9, -0.5, 1e20, 2.0**32 + 512, 0]
    batch["y"] = [2.0**64, -2.0**63 - 4096, 1, 2, 3, 4, 5, 6]
    batch["p"] = [-1, 256, 1.5, np.nan, 0, 1, 0.99, 255]
    prophesee.batches = [batch]
    (chunk,) = read_prophesee("rec.raw")
    with np.errstate(invalid="ignore"):
        assert np.array_equal(chunk, converted([batch]))
    assert chunk["t"][:3].tolist() == [2**63, 0, 2**63]  # this platform's NaN, +inf, -inf


@pytest.mark.parametrize(
    "batch, exc, match",
    [
        (np.zeros(3, dtype=[("t", "<u8"), ("x", "<u2"), ("y", "<u2")]), ValueError, "no field of name p"),
        (np.zeros((2, 3), dtype=EVENT_CD), ValueError, "events must be one-dimensional, got 2 dimensions"),
        (42, TypeError, "has no len"),
    ],
)
def test_prophesee_unusable_batch(prophesee, batch, exc, match):
    prophesee.batches = [vendor_batches([4])[0][0], batch]
    gen = read_prophesee("rec.raw", 10)
    with pytest.raises(exc, match=match):
        next(gen)
    assert list(gen) == []


@pytest.mark.parametrize("before", [0, 1, 2])
def test_prophesee_sdk_error_propagates_unchanged(prophesee, before):
    batches, ev = vendor_batches([15, 15])
    error = OSError("corrupt RAW file")
    prophesee.batches = batches[:before] + [error] + batches[before:]
    gen = read_prophesee("rec.raw", 10)
    got = [next(gen) for _ in range(15 * before // 10)]  # the full chunks before the error
    with pytest.raises(OSError) as exc:
        next(gen)
    assert exc.value is error and list(gen) == []
    assert np.array_equal(np.concatenate([ev[:0], *got]), ev[:len(got) * 10])


@pytest.mark.parametrize(
    "reader, modules, message",
    [
        (read_iniVation, {"dv_processing": None}, DV_MISSING),
        (read_prophesee, {"metavision_core": None}, MV_MISSING),
        (read_prophesee, {"metavision_core.event_io": types.ModuleType("metavision_core.event_io")}, MV_MISSING),
    ],
)
def test_missing_sdk_raises_on_first_next(monkeypatch, reader, modules, message):
    for name, module in modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    gen = reader("rec")  # the call succeeds
    with pytest.raises(ImportError) as exc:
        next(gen)
    assert str(exc.value) == message
    assert list(gen) == []


def test_generator_protocol(prophesee):
    prophesee.batches, ev = vendor_batches([25])
    gen = read_prophesee("rec.raw", 10)
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        gen.send(1)
    assert prophesee.calls == []  # nothing read before the first step
    assert np.array_equal(gen.send(None), ev[:10])
    assert np.array_equal(next(gen), ev[10:20])


def test_reentering_a_running_reader(prophesee):
    def reenter():
        seen.append(gen.gi_running)
        return next(gen)

    seen = []
    prophesee.batches = [reenter]
    gen = read_prophesee("rec.raw", 10)
    with pytest.raises(ValueError, match="^generator already executing$"):
        next(gen)
    assert seen == [True]
    assert list(gen) == []


@pytest.mark.parametrize("drop", ["close", "del"])
def test_dropped_reader_releases_the_sdk_iterator(prophesee, drop):
    prophesee.batches, _ = vendor_batches([30])
    gen = read_prophesee("rec.raw", 10)
    next(gen)
    source = prophesee.sources[0]
    if drop == "close":
        gen.close()
    else:
        del gen
    gc.collect()
    assert source() is None


# --- arguments, documentation, stub ------------------------------------------------------


@pytest.mark.parametrize("reader", [read_iniVation, read_prophesee])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((b"rec",), {}, TYPE_MSG.format("path", "str", "bytes")),
        ((None,), {}, TYPE_MSG.format("path", "str", "NoneType")),
        (("rec", 10.0), {}, TYPE_MSG.format("chunk_size", "int", "float")),
        (("rec",), {"chunk_size": None}, TYPE_MSG.format("chunk_size", "int", "NoneType")),
        (("rec", True), {}, TYPE_MSG.format("chunk_size", "int", "bool")),
        (("rec", np.int64(5)), {}, TYPE_MSG.format("chunk_size", "int", "numpy.int64")),
    ],
)
def test_argument_type_errors_at_the_call(reader, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        reader(*args, **kwargs)
    assert str(exc.value) == message


@pytest.mark.parametrize("reader", [read_iniVation, read_prophesee])
@pytest.mark.parametrize("size", [0, -1, -(2**80)])
def test_chunk_size_below_one_refused_at_the_call(reader, size):
    with pytest.raises(ValueError, match=f"^chunk_size must be >= 1, got {size}$"):
        reader("rec", size)


def test_docstrings_and_stub_match_the_module():
    stub = ast.parse((pathlib.Path(__file__).parents[1] / "src/morvel/io/dvs.pyi").read_text())
    functions = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)}
    assert set(functions) == {"read_iniVation", "read_prophesee"}
    for name, f in functions.items():
        obj = getattr(dvs, name)
        sig = inspect.signature(obj)
        assert [a.arg for a in f.args.args] == list(sig.parameters)
        assert [ast.literal_eval(d) for d in f.args.defaults] == [10000] == [sig.parameters["chunk_size"].default]
        assert obj.__doc__.startswith(f"{name}(path: str, chunk_size: int = 10000) -> Generator[np.ndarray, None, None]\n\n")
        assert obj.__doc__.splitlines()[2] == ast.get_docstring(f).splitlines()[0]
    assert dvs.EVENT_DTYPE is EVENT_DTYPE
