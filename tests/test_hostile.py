"""Hostile inputs and racing callers: arrays changed by another thread while
native code works on them without the GIL, and the like. Each case runs
where a crash cannot take the test run down with it."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import h5py
import numpy as np
import pytest

from morvel.io import h5
from morvel.io.encoding import delta_encode, rate_encode, temporal_encode
from morvel.io.ethernet import pack_events_udp
from morvel.io.formats import RawReader, events_to_frames, write_raw
from morvel.io.h5 import H5Config, H5EventReader, H5EventWriter, read_h5, write_h5
from morvel.io.streaming import EVENT_DTYPE, BufferedEventReader, EventBuffer, generate_random_events

from conftest import make_events, run_python


@pytest.mark.parametrize("call", ["encode_evt3(ev)", "encode_evt2(ev)", "write_raw(path, ev)",
                                  "RawWriter(path).write(ev)"])
def test_encoders_with_the_events_changing_under_them(call, tmp_path):
    """t of the second half flips between two valid values with a counter
    wrap between them, so the words needed change under the encoder: it must
    never write past what it measured, and say so when the events changed."""
    code = f"""
        import threading, time
        import numpy as np
        from morvel.io.formats import RawReader, RawWriter, decode_evt2, decode_evt3, encode_evt2, encode_evt3, write_raw
        from morvel.io.streaming import EVENT_DTYPE
        n = 4_000_000
        ev = np.zeros(n, EVENT_DTYPE)
        ev["t"] = np.arange(n) // 64
        ev["x"] = np.arange(n) % 2048
        ev["y"] = 5
        ev["p"] = 1
        t = ev["t"]
        lo = t[n // 2:].copy()
        hi = lo + (1 << 39)
        stop = False
        def flip():
            while not stop:
                t[n // 2:] = hi
                t[n // 2:] = lo
        threading.Thread(target=flip, daemon=True).start()
        path = {str(tmp_path / "r.raw")!r}
        outcomes = set()
        end = time.monotonic() + 3
        while time.monotonic() < end:
            try:
                out = {call}
            except RuntimeError as e:
                assert str(e) == "the events changed while they were being encoded", e
                outcomes.add("changed")
                continue
            except ValueError as e:
                assert "t must not decrease" in str(e), e
                outcomes.add("refused")
                continue
            if isinstance(out, bytes):
                back = (decode_evt3 if "3" in {call!r} else decode_evt2)(out)
            else:
                back = RawReader(path).read_all()
            assert len(back) == n and (np.diff(back["t"].astype(np.int64)) >= 0).all()
            assert (back["x"] == ev["x"]).all() and (back["y"] == 5).all()
            outcomes.add("encoded")
        stop = True
        print(sorted(outcomes))
    """
    r = run_python(code)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip().startswith("[")


# --- resources and signals -------------------------------------------------------------

def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("open_it", [lambda d: RawReader(d), lambda d: BufferedEventReader(d).read_all(),
                                     lambda d: write_raw(d, make_events(3))])
def test_no_descriptor_leaks_when_a_directory_is_opened(tmp_path, open_it):
    before = open_descriptors()
    for _ in range(100):
        with pytest.raises(IsADirectoryError):
            open_it(str(tmp_path))
    assert open_descriptors() == before


@pytest.mark.parametrize(
    "source, call",
    [
        ("fifo", "RawReader(path)"),  # opening waits for a writer
        ("fifo", "list(BufferedEventReader(path))"),  # opens, then the read waits
        ("/dev/zero", "list(RawReader(path, format='EVT3'))"),  # endless words without events
        ("/dev/zero", "RawReader(path, format='EVT2').count_events()"),  # endless events
    ],
)
def test_ctrl_c_stops_reads_that_would_not_end(tmp_path, source, call):
    path = str(tmp_path / "fifo")
    if source == "fifo":
        os.mkfifo(path)
        if "Buffered" in call:  # a writer that keeps the FIFO open and never writes
            keep = os.open(path, os.O_RDWR)
    else:
        path = source
    code = textwrap.dedent(f"""
        from morvel.io.formats import RawReader
        from morvel.io.streaming import BufferedEventReader
        path = {path!r}
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=10)
    finally:
        p.kill()
        if source == "fifo" and "Buffered" in call:
            os.close(keep)
    assert out.strip() == "interrupted"


# --- HDF5 ----------------------------------------------------------------------------------


def test_compound_file_written_by_h5py_reads_with_the_default_config(tmp_path):
    ev = make_events(200_000)
    with h5py.File(tmp_path / "c.h5", "w") as f:
        f.create_dataset("events", data=ev)
    assert np.array_equal(read_h5(tmp_path / "c.h5"), ev)
    reader = H5EventReader(tmp_path / "c.h5", chunk_size=70_000)
    assert reader.n_events == len(ev) and np.array_equal(np.concatenate(list(reader)), ev)
    with h5py.File(tmp_path / "c.h5") as f:
        start = time.perf_counter()
        assert h5._detect_layout(f, h5.DEFAULT_H5_CONFIG) == "compound_fallback"
        assert time.perf_counter() - start < 0.5  # names and types only, no rows compared
    with pytest.raises(KeyError, match="separate layout"):
        reader.read_time_window(0, 10)  # not by loading whole columns


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        (dict(config=H5Config(x_key="t")), ValueError, "both name the dataset 't'"),
        (dict(config=H5Config(events_group=5)), ValueError, "events_group must be a str"),
        (dict(config=H5Config(timestamp_key="")), ValueError, "timestamp_key must be a non-empty str"),
        (dict(config=H5Config(polarity_key=None)), ValueError, "polarity_key must be a non-empty str"),
        (dict(config="events"), TypeError, "expected H5Config, got str"),
        (dict(sensor_size=(None, None)), TypeError, "sensor_size"),
        (dict(sensor_size=(-5, 10**30)), ValueError, "sensor_size holds a size out of range"),
        (dict(sensor_size=(-5, 10)), ValueError, "sensor_size must be within 1..65536"),
        (dict(sensor_size=(5,)), ValueError, "sensor_size must be"),
    ],
)
@pytest.mark.parametrize("writer", ["write_h5", "H5EventWriter"])
def test_writers_check_everything_before_the_file(tmp_path, kwargs, exc, match, writer):
    path = tmp_path / "keep.h5"
    path.write_bytes(b"precious")
    with pytest.raises(exc, match=match):
        if writer == "write_h5":
            write_h5(path, make_events(10), **kwargs)
        else:
            H5EventWriter(path, **kwargs)
    assert path.read_bytes() == b"precious"


@pytest.mark.parametrize("bad", [None, 123, 4.5, ["a.h5"]])
@pytest.mark.parametrize("call", [lambda p: write_h5(p, make_events(3)), lambda p: H5EventWriter(p),
                                  lambda p: read_h5(p), lambda p: H5EventReader(p), lambda p: RawReader(p)])
def test_paths_are_paths(tmp_path, bad, call, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        call(bad)
    assert os.listdir(tmp_path) == []


def test_broken_hdf5_files_raise_one_documented_error(tmp_path):
    path = tmp_path / "g.h5"
    with h5py.File(path, "w") as f:
        f.create_group("events/t")  # a group where a dataset is expected
        for k in "xyp":
            f["events"][k] = np.zeros(3)
    with pytest.raises(ValueError, match="is not a dataset"):
        read_h5(path)


# --- arguments that make no sense ------------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: rate_encode(np.zeros(4), 5, gain=float("inf")), ValueError, "gain must be >= 0 and finite"),
        (lambda: delta_encode(np.array([1.0]), 4, 5e-324), ValueError, "threshold must be a finite number"),
        (lambda: temporal_encode(None), TypeError, "Argument 'data' has incorrect type"),
        (lambda: pack_events_udp(np.zeros((3, 2), EVENT_DTYPE), 2), ValueError, "one-dimensional"),
        (lambda: pack_events_udp(np.zeros(4), 2), TypeError, "event records"),
        (lambda: pack_events_udp(make_events(4)["t"], 2), TypeError, "event records"),
        (lambda: pack_events_udp([(1, 2, 3, 1)]), TypeError, "tobytes"),
        (lambda: generate_random_events(3, (5, 5, 5)), ValueError, "sensor_size must be"),
        (lambda: generate_random_events(3, (5,)), ValueError, "sensor_size must be"),
        (lambda: generate_random_events(-3), ValueError, "n_events must be >= 0"),
        (lambda: EventBuffer(-2), ValueError, "capacity must be >= 0"),
        (lambda: events_to_frames(make_events(3), (-2, 4)), ValueError, "sensor_size must hold sizes >= 0"),
        (lambda: events_to_frames(np.zeros(10, np.uint8), (4, 4)), ValueError, "structured array"),
        (lambda: write_h5("x.h5", make_events(3), "events"), TypeError, "expected H5Config"),
    ],
)
def test_senseless_arguments_get_clear_errors(call, exc, match, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc, match=match):
        call()


def test_delta_encode_takes_previous_of_another_float_type():
    data = np.array([0.5, 1.0], np.float32)
    out = delta_encode(data, 4, 0.25, previous=np.array([0.0, 0.25]))  # float64 previous
    assert out.sum(axis=0).tolist() == [2.0, 3.0]


def test_count_events_refuses_a_cut_file_as_reading_does(tmp_path):
    path = str(tmp_path / "cut.raw")
    write_raw(path, make_events(100), "EVT2")
    with open(path, "ab") as f:
        f.write(b"\x01")
    with pytest.raises(ValueError, match="ends inside"):
        RawReader(path).count_events()
