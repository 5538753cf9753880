"""morvel.io.dask on a local cluster of two worker processes, and Arrow."""

import contextlib
import io
import os
import signal
import threading
import time

import numpy as np
import pytest

import morvel.io as mio
from conftest import run_python
from test_raw import camera_events

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")
mdask = pytest.importorskip("morvel.io.dask")

FORMATS = ["evt3", "evt2", "hdf5", "aedat4", "dat"]
EXT = {"evt3": ".raw", "evt2": ".raw", "hdf5": ".h5", "aedat4": ".aedat4", "dat": ".dat"}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    d = tmp_path_factory.mktemp("dask")
    out = {}
    for k, fmt in enumerate(FORMATS):
        ev = camera_events(300_000, 80 + k, span=2**26 if fmt == "evt3" else None)  # EVT 3.0: time wraps
        path = str(d / f"rec-{fmt}{EXT[fmt]}")
        mio.write(path, ev, format=fmt, sensor_size=(1280, 720))
        out[fmt] = path
    return out


@pytest.mark.parametrize("fmt", FORMATS)
def test_read_events_equals_read_all(client, recordings, fmt):
    path = recordings[fmt]
    expect = mio.open(path).read_all()
    df = mdask.read_events(path, events_per_partition=40_000)
    if mio.open(path).time_span() is not None:
        assert df.npartitions > 1 and df.known_divisions
    got = df.compute()
    assert list(got.columns) == ["t", "x", "y", "p"]
    assert [str(got[c].dtype) for c in "txyp"] == ["uint64", "uint16", "uint16", "uint8"]
    for c in "txyp":
        assert np.array_equal(got[c].to_numpy(), expect[c]), c
    assert df.t.max().compute() == expect["t"].max()
    assert np.array_equal(df[["y"]].compute()["y"].to_numpy(), expect["y"])  # a projection reads one field


def test_read_events_of_several_recordings(client, recordings):
    paths = [recordings["evt3"], recordings["hdf5"], recordings["dat"]]
    df = mdask.read_events(paths, window_us=200_000)
    got = df.compute()
    assert list(got["recording"].cat.categories) == paths
    for path in paths:
        part = got[got["recording"] == path]
        ev = mio.open(path).read_all()
        assert np.array_equal(part["t"].to_numpy(), ev["t"]) and np.array_equal(part["x"].to_numpy(), ev["x"])


def test_windows_cover_the_recording(recordings):
    path = recordings["evt3"]
    t0, t1 = mio.open(path).time_span()
    ws = mdask.windows(path, window_us=123_457)
    assert ws[0].t_start == t0 and ws[-1].t_end == t1 + 1
    assert all(a.t_end == b.t_start for a, b in zip(ws, ws[1:]))
    with pytest.raises(ValueError, match="window_us"):
        mdask.windows(path, window_us=0)
    with pytest.raises(ValueError, match="no recordings"):
        mdask.read_events([])


def test_map_windows_against_a_loop(client, recordings):
    path = recordings["evt2"]

    def summary(events, window):
        return window.t_start, len(events), int(events["x"].astype(np.int64).sum())

    got = mdask.map_windows(path, summary, 250_000).compute()
    rec = mio.open(path)
    expect = [(w.t_start, len(e), int(e["x"].astype(np.int64).sum()))
              for w in mdask.windows(path, window_us=250_000) for e in [rec.read_time_window(w.t_start, w.t_end)]]
    assert got == expect and sum(n for _, n, _ in got) == rec.count_events()


def test_convert_a_folder_with_a_worker_killed(client, tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    for k in range(6):
        mio.write(str(src / f"r{k}.raw"), camera_events(1_500_000, 90 + k), format="evt3", sensor_size=(1280, 720))
    out = tmp_path / "out"
    pids = list(client.run(os.getpid).values())
    result, errors = [], []

    def run():
        try:
            result.extend(mdask.convert(str(src), str(out), to="hdf5", client=client, compression=None))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    job = threading.Thread(target=run)
    job.start()
    deadline = time.monotonic() + 60
    def writing():
        return out.exists() and any(f.name.startswith(".morvel-part-") for f in out.iterdir())

    while time.monotonic() < deadline and not writing():
        time.sleep(0.005)
    killed = writing()
    os.kill(pids[0], signal.SIGKILL)  # a worker dies mid-job; its tasks run again elsewhere
    job.join(180)
    assert not errors, errors
    assert killed
    assert [r["path"] for r in result] == sorted(str(p) for p in src.iterdir())
    assert sorted(os.listdir(out)) == [f"r{k}.h5" for k in range(6)]  # no temporary file left
    for r in result:
        expect = mio.open(r["path"]).read_all()
        assert r["events"] == len(expect) and r["bytes_out"] == os.path.getsize(r["output"])
        assert np.array_equal(mio.open(r["output"]).read_all(), expect)


def test_convert_refusals(client, recordings, tmp_path):
    with pytest.raises(ValueError):
        mdask.convert([recordings["evt3"]], str(tmp_path), to="aedat2", client=client)  # no writer
    with pytest.raises(ValueError, match="same output name"):
        mdask.convert([recordings["evt3"], recordings["evt3"]], str(tmp_path), to="hdf5", client=client)


def test_convert_on_the_command_line(recordings, tmp_path):
    from morvel.io.__main__ import main

    out = tmp_path / "cli"
    with contextlib.redirect_stdout(io.StringIO()) as text:
        assert main(["convert", recordings["dat"], recordings["aedat4"], str(out), "--to", "evt2", "--workers",
                     "2"]) == 0
    assert "2 recordings" in text.getvalue()
    for fmt in ("dat", "aedat4"):
        back = mio.open(str(out / f"rec-{fmt}.raw")).read_all()
        assert np.array_equal(back, mio.open(recordings[fmt]).read_all())
    with contextlib.redirect_stderr(io.StringIO()):
        assert main(["convert", recordings["dat"], recordings["evt2"], str(out)]) == 1  # needs --to


def test_to_parquet(client, recordings, tmp_path):
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    paths = [recordings["evt3"], recordings["aedat4"]]
    written = mdask.to_parquet(paths, str(tmp_path / "pq"), window_us=500_000)
    assert all(os.path.exists(w["output"]) for w in written)
    table = ds.dataset(str(tmp_path / "pq"), format="parquet", partitioning="hive").to_table()
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0]
        part = table.filter(ds.field("recording") == stem).sort_by("t")
        ev = mio.open(path).read_all()
        order = np.argsort(ev["t"], kind="stable")
        assert np.array_equal(part.column("t").to_numpy(), ev["t"][order])
    meta = pq.read_schema(written[0]["output"]).metadata
    assert meta[b"morvel.sensor_size"] == b"1280x720" and meta[b"morvel.format"] == b"evt3"
    polars = pytest.importorskip("polars")
    df = polars.scan_parquet(str(tmp_path / "pq"), hive_partitioning=True).collect()
    assert df.height == sum(mio.open(p).count_events() for p in paths)


def test_arrow_round_trip():
    ev = camera_events(10_000, 5)
    batch = mio.to_arrow(ev)
    assert batch.schema.names == ["t", "x", "y", "p"]
    assert [str(f.type) for f in batch.schema] == ["uint64", "uint16", "uint16", "uint8"]
    assert np.array_equal(mio.from_arrow(batch), ev)
    assert np.array_equal(mio.from_arrow(pa.Table.from_batches([batch, batch])), np.concatenate([ev, ev]))


@pytest.mark.parametrize(
    "data, error",
    [
        ({"t": [1], "x": [2], "y": [3]}, "no column 'p'"),
        ({"t": [1], "x": [70_000], "y": [3], "p": [1]}, "outside uint16"),
        ({"t": [1], "x": [-1], "y": [3], "p": [1]}, "outside uint16"),
        ({"t": [1.5], "x": [1], "y": [3], "p": [1]}, "integers"),
        ({"t": [None], "x": [1], "y": [3], "p": [1]}, "nulls"),
    ],
)
def test_from_arrow_refusals(data, error):
    with pytest.raises(ValueError, match=error):
        mio.from_arrow(pa.table(data))
    with pytest.raises(TypeError):
        mio.to_arrow(np.zeros(3))


def test_import_without_dask_names_the_extra():
    proc = run_python(
        """
        import sys
        sys.modules["dask"] = None
        try:
            import morvel.io.dask
        except ImportError as exc:
            print("extra" if "'dask' extra" in str(exc) else exc)
        """
    )
    assert proc.stdout.strip() == "extra", proc.stderr
