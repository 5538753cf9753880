"""The info and convert commands on small recordings of every kind."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from morvel.io.formats import RawReader, write_raw
from morvel.io.h5 import read_h5, write_h5
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events


def cli(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "morvel.io", *args], capture_output=True, text=True,
                          timeout=timeout)


@pytest.fixture
def events():
    ev = make_events(20_000, seed=3, width=1280, height=720)
    ev["t"] += 1000
    return ev


@pytest.fixture
def recordings(tmp_path, events):
    paths = {}
    for fmt in ("EVT2", "EVT3"):
        paths[fmt] = str(tmp_path / f"rec_{fmt}.raw")
        write_raw(paths[fmt], events, fmt, (1280, 720))
    paths["hdf5"] = str(tmp_path / "rec.h5")
    write_h5(paths["hdf5"], events, sensor_size=(1280, 720))
    paths["events"] = str(tmp_path / "rec.bin")
    events.tofile(paths["events"])
    return paths


@pytest.mark.parametrize("name, label, sensor", [("EVT2", "RAW EVT2", True), ("EVT3", "RAW EVT3", True),
                                                  ("hdf5", "HDF5 (separate layout)", True),
                                                  ("events", "EVENT_DTYPE records", False)])
def test_info(recordings, events, name, label, sensor):
    proc = cli("info", recordings[name])
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    first, last = int(events["t"][0]), int(events["t"][-1])
    assert lines[0] == recordings[name]
    assert f"  kind:        {label}" in lines
    assert "  events:      20,000" in lines
    assert f"  first t:     {first:,} us" in lines and f"  last t:      {last:,} us" in lines
    assert f"  mean rate:   {20_000 / ((last - first) / 1e6):,.0f} events/s" in lines
    assert ("  sensor:      1280x720" in lines) == sensor


def test_info_several_files_and_failures(recordings, tmp_path):
    junk = tmp_path / "junk.xyz"
    junk.write_bytes(b"hello world")
    proc = cli("info", recordings["EVT3"], str(junk), str(tmp_path / "missing.raw"), recordings["hdf5"])
    assert proc.returncode == 1
    assert proc.stdout.count("  events:      20,000") == 2
    errors = proc.stderr.strip().splitlines()
    assert len(errors) == 2 and "not a recording of a known format" in errors[0] and "No such file" in errors[1]
    assert "Traceback" not in proc.stderr


@pytest.mark.parametrize("target, kind_flag", [("out.h5", []), ("out.raw", []), ("out.bin", []),
                                                ("out.data", ["--to", "raw"])])
@pytest.mark.parametrize("source", ["EVT2", "EVT3", "hdf5", "events"])
def test_convert_round_trips(recordings, events, tmp_path, source, target, kind_flag):
    out = str(tmp_path / target)
    proc = cli("convert", recordings[source], out, "--chunk-size", "3000", *kind_flag)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().endswith("20,000 events")
    if out.endswith(".h5"):
        back = read_h5(out)
    elif out.endswith(".bin"):
        back = np.fromfile(out, dtype=EVENT_DTYPE)
    else:
        reader = RawReader(out)
        assert reader.format == "EVT3"
        if source != "events":
            assert reader.sensor_size == (1280, 720)
        back = reader.read_all()
    assert np.array_equal(back, events)
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(p) for p in recordings.values()] + [target])


def test_convert_raw_options(recordings, events, tmp_path):
    out = str(tmp_path / "o.raw")
    assert cli("convert", recordings["hdf5"], out, "--out-format", "EVT2", "--sensor-size", "2048x1000").returncode == 0
    r = RawReader(out)
    assert (r.format, r.sensor_size) == ("EVT2", (2048, 1000))
    assert np.array_equal(r.read_all(), events)
    gz = str(tmp_path / "o.h5")
    assert cli("convert", out, gz, "--compression", "gzip", "--compression-opts", "1").returncode == 0
    assert np.array_equal(read_h5(gz), events)


def assert_no_partial_files(folder, keep):
    assert sorted(os.listdir(folder)) == sorted(keep)


@pytest.mark.parametrize("case", ["corrupt input", "missing folder", "bad events for raw", "unknown output kind"])
def test_convert_failures_leave_no_file(recordings, events, tmp_path, case):
    if case == "corrupt input":
        src = str(tmp_path / "cut.raw")
        data = open(recordings["EVT2"], "rb").read()
        open(src, "wb").write(data[:-2])  # ends inside a word
        out = str(tmp_path / "out.h5")
    elif case == "missing folder":
        src, out = recordings["EVT3"], str(tmp_path / "nope" / "out.h5")
    elif case == "bad events for raw":
        bad = events.copy()
        bad["x"][100] = 4000
        src = str(tmp_path / "bad.bin")
        bad.tofile(src)
        out = str(tmp_path / "out.raw")
    else:
        src, out = recordings["EVT3"], str(tmp_path / "out.xyz")
    before = sorted(os.listdir(tmp_path))
    proc = cli("convert", src, out)
    assert proc.returncode != 0
    assert len(proc.stderr.strip().splitlines()) == 1 and "Traceback" not in proc.stderr
    assert sorted(os.listdir(tmp_path)) == before  # neither OUT nor a temporary file


def test_convert_interrupted_leaves_no_file(tmp_path):
    big = make_events(6_000_000, seed=1, width=1280, height=720)
    src = str(tmp_path / "big.bin")
    big.tofile(src)
    out = str(tmp_path / "big.h5")
    proc = subprocess.Popen([sys.executable, "-m", "morvel.io", "convert", src, out, "--chunk-size", "20000",
                             "--compression", "gzip"], stderr=subprocess.PIPE, text=True)
    time.sleep(1.0)
    if proc.poll() is not None:
        pytest.skip("the conversion finished before it could be interrupted")
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert sorted(os.listdir(tmp_path)) == ["big.bin"]


def test_convert_refuses_to_overwrite_its_input(recordings):
    proc = cli("convert", recordings["EVT3"], recordings["EVT3"])
    assert proc.returncode != 0 and "replace the input" in proc.stderr


def test_info_and_convert_aedat4(tmp_path, events):
    dv = pytest.importorskip("dv_processing", reason="dv-processing is not installed")
    path = str(tmp_path / "rec.aedat4")
    writer = dv.io.MonoCameraWriter(path, dv.io.MonoCameraWriter.EventOnlyConfig("DVXplorer_test", (1280, 720)))
    store = dv.EventStore()
    for t, x, y, p in zip(*(events[f][:3000].tolist() for f in "txyp")):
        store.push_back(t, x, y, bool(p))
    writer.writeEvents(store)
    del writer
    proc = cli("info", path)
    assert proc.returncode == 0, proc.stderr
    assert "  kind:        AEDAT4" in proc.stdout and "  events:      3,000" in proc.stdout
    assert "  sensor:      1280x720" in proc.stdout
    out = str(tmp_path / "rec.h5")
    assert cli("convert", path, out).returncode == 0
    assert np.array_equal(read_h5(out), events[:3000])


def test_info_reports_a_broken_hdf5_file_and_goes_on(tmp_path, recordings):
    import h5py

    bad = str(tmp_path / "c.h5")
    with h5py.File(bad, "w") as f:  # a group where a dataset is expected
        f.create_group("events/t")
        for k in "xyp":
            f["events"][k] = np.zeros(3)
    garbage = str(tmp_path / "g.h5")
    with open(recordings["hdf5"], "rb") as f:
        data = bytearray(f.read())
    data[600:4000] = os.urandom(3400)  # metadata trampled
    with open(garbage, "wb") as f:
        f.write(data)
    r = cli("info", bad, garbage, recordings["events"])
    assert r.returncode == 1 and "Traceback" not in r.stderr
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 2 and lines[0].startswith(f"{bad}: error:") and lines[1].startswith(f"{garbage}: error:")
    assert recordings["events"] in r.stdout


def test_convert_refuses_a_gzip_level_out_of_range(tmp_path, recordings):
    r = cli("convert", recordings["events"], str(tmp_path / "o.h5"), "--compression", "gzip",
            "--compression-opts", "99")
    assert r.returncode == 2 and "gzip level from 0 to 9" in r.stderr


def test_converted_files_get_the_usual_mode(tmp_path, recordings):
    out = str(tmp_path / "o.raw")
    old = os.umask(0o022)
    try:
        assert cli("convert", recordings["events"], out).returncode == 0
    finally:
        os.umask(old)
    assert os.stat(out).st_mode & 0o777 == 0o644
