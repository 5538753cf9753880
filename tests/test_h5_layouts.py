"""The HDF5 layouts datasets ship in (DSEC, M3ED, MVSEC, Prophesee ECF), built
with h5py (and hdf5plugin) as those datasets lay them out; ECF chunks against
evlib's decoder; the writers of the new layouts; index-backed time windows."""

import subprocess
import sys

import numpy as np
import pytest

from conftest import make_events
from morvel.io import h5
from morvel.io.h5 import H5EventReader, H5EventWriter, read_h5, write_h5
from morvel.io.streaming import EVENT_DTYPE

h5py = pytest.importorskip("h5py")
hdf5plugin = pytest.importorskip("hdf5plugin")


def window(ev, a, b):
    return ev[(ev["t"] >= a) & (ev["t"] < b)]


def ms_index(t, step=1000, origin=0):
    """Entry k: the first event with t >= origin + k * step (plain NumPy)."""
    last = (int(t[-1]) - origin) // step if len(t) else -1
    return np.searchsorted(t, origin + np.arange(last + 1) * step).astype(np.uint64)


def dsec_file(path, ev, t_offset=1_000_000_000, blosc=True, index=True):
    t = (ev["t"] - t_offset).astype(np.uint32) if t_offset else ev["t"].astype(np.uint32)
    comp = hdf5plugin.Blosc(cname="zstd", clevel=1, shuffle=hdf5plugin.Blosc.SHUFFLE) if blosc else {}
    with h5py.File(path, "w") as f:
        g = f.create_group("events")
        for k, v in (("p", ev["p"]), ("t", t), ("x", ev["x"]), ("y", ev["y"])):
            g.create_dataset(k, data=v, chunks=(4096,), **comp)
        if index:
            f["ms_to_idx"] = ms_index(t)
        f["t_offset"] = np.int64(t_offset)
    return path


@pytest.fixture
def sorted_events():
    ev = make_events(60_000, seed=3)
    ev["t"] += 1_000_000_000
    return ev


# --- reading the layouts --------------------------------------------------------------


def test_dsec_reads_with_its_offset_chunked_and_windowed(tmp_path, sorted_events):
    ev = sorted_events
    path = dsec_file(str(tmp_path / "dsec.h5"), ev)
    assert np.array_equal(read_h5(path), ev)
    r = H5EventReader(path, chunk_size=7000)
    assert r.layout == "dsec" and r.n_events == len(ev)
    assert np.array_equal(np.concatenate(list(r)), ev)
    t0, t1 = int(ev["t"][0]), int(ev["t"][-1])
    rng = np.random.default_rng(0)
    bounds = [(0, 10**19), (0, t0), (t0, t0 + 1), (t0 + 1000, t0 + 2000), (t1, t1 + 1), (t1 + 1, t1 + 5000),
              (t0 + 999, t0 + 1001), (t0 - 5, t0 + 3000)]
    bounds += [tuple(sorted(rng.integers(t0 - 2000, t1 + 2000, 2).tolist())) for _ in range(30)]
    for a, b in bounds:
        assert np.array_equal(r.read_time_window(a, b), window(ev, a, b)), (a, b)


def test_dsec_without_index_falls_back_to_the_search(tmp_path, sorted_events):
    ev = sorted_events
    path = dsec_file(str(tmp_path / "dsec.h5"), ev, index=False, blosc=False)
    r = H5EventReader(path)
    a = int(ev["t"][100])
    assert np.array_equal(r.read_time_window(a, a + 1500), window(ev, a, a + 1500))


@pytest.mark.parametrize("damage, message", [
    (lambda idx: idx.__setitem__(5, idx[5] + 3), "does not match the events"),
    (lambda idx: idx.__setitem__(5, 10**9), "there are"),
    (lambda idx: idx.__setitem__(6, 0), "decrease"),
])
def test_index_tables_that_do_not_match_are_reported(tmp_path, sorted_events, damage, message):
    ev = sorted_events
    path = dsec_file(str(tmp_path / "dsec.h5"), ev, blosc=False)
    with h5py.File(path, "a") as f:
        damage(f["ms_to_idx"])
    t0 = int(ev["t"][0])
    with pytest.raises(ValueError, match=message):
        H5EventReader(path).read_time_window(t0 + 5000, t0 + 5500)
    assert np.array_equal(read_h5(path), ev)  # a full read does not use the index


def test_an_index_of_another_kind_is_reported_by_windows_only(tmp_path, sorted_events):
    ev = sorted_events
    path = dsec_file(str(tmp_path / "dsec.h5"), ev, blosc=False)
    with h5py.File(path, "a") as f:
        del f["ms_to_idx"]
        f["ms_to_idx"] = np.zeros(10, np.float32)
    assert np.array_equal(read_h5(path), ev)
    with pytest.raises(ValueError, match="must hold integers"):
        H5EventReader(path).read_time_window(0, 10**12)


def test_m3ed_cameras_and_their_index(tmp_path):
    left, right = make_events(20_000, seed=1), make_events(5_000, seed=2)
    path = str(tmp_path / "m3ed.h5")
    with h5py.File(path, "w") as f:
        for cam, ev in (("left", left), ("right", right)):
            g = f.create_group(f"prophesee/{cam}")
            g["x"], g["y"] = ev["x"], ev["y"]
            g["t"], g["p"] = ev["t"].astype(np.int64), ev["p"].astype(np.int8)
            g["ms_map_idx"] = ms_index(ev["t"])
    assert np.array_equal(read_h5(path), left)
    assert np.array_equal(read_h5(path, stream="right"), right)
    r = H5EventReader(path, stream="right")
    assert r.stream == "right" and r.layout == "m3ed"
    assert np.array_equal(r.read_time_window(3000, 9000), window(right, 3000, 9000))
    with pytest.raises(ValueError, match=r"no stream 'middle'.*left, right"):
        read_h5(path, stream="middle")
    with pytest.raises(TypeError):
        read_h5(path, stream=1)


def test_mvsec_rows_seconds_and_polarity(tmp_path):
    ev = make_events(10_000, seed=4)
    rows = np.stack([ev["x"], ev["y"], ev["t"] / 1e6, np.where(ev["p"] > 0, 1.0, -1.0)], axis=1)
    path = str(tmp_path / "mvsec.h5")
    with h5py.File(path, "w") as f:
        f.create_dataset("davis/right/events", data=rows, chunks=(1000, 4))
        f.create_dataset("davis/left/events", data=rows[:3])
    assert np.array_equal(read_h5(path, stream="right"), ev)
    assert len(read_h5(path)) == 3  # left comes first
    r = H5EventReader(path, stream="right", chunk_size=999)
    assert np.array_equal(np.concatenate(list(r)), ev)
    assert np.array_equal(r.read_time_window(20_000, 40_000), window(ev, 20_000, 40_000))


@pytest.mark.parametrize("row, fault", [
    ((1.5, 2, 0.1, 1), "x is not a pixel"), ((-1, 2, 0.1, 1), "x is not a pixel"),
    ((1, 70000, 0.1, 1), "y is not a pixel"), ((1, 2, np.nan, 1), "t is not a time"),
    ((1, 2, -0.5, 1), "t is not a time"), ((1, 2, 0.1, 0.5), "p is not -1 or"),
])
def test_mvsec_rows_that_are_no_events(tmp_path, row, fault):
    rows = np.array([(0, 0, 0.0, -1), row, (3, 3, 1.0, 1)], dtype=np.float64)
    path = str(tmp_path / "mvsec.h5")
    with h5py.File(path, "w") as f:
        f["davis/left/events"] = rows
    with pytest.raises(ValueError, match=rf"row 1 .*{fault}"):
        read_h5(path)


def test_mvsec_rounds_to_the_nearest_microsecond(tmp_path):
    rows = np.array([(0, 0, 1.0000004, -1), (0, 0, 1.0000006, 1), (0, 0, 2.5e-6, 1)])
    path = str(tmp_path / "mvsec.h5")
    with h5py.File(path, "w") as f:
        f["davis/left/events"] = rows
    assert read_h5(path)["t"].tolist() == [1_000_000, 1_000_001, 3]
    assert read_h5(path)["p"].tolist() == [0, 1, 1]


def test_a_missing_filter_names_itself_and_the_pip_command(tmp_path):
    path = str(tmp_path / "f.h5")
    with h5py.File(path, "w") as f:
        ds = f.create_dataset("events/t", shape=(4,), chunks=(4,), dtype="<u8", compression=32099,
                              allow_unknown_filter=True)
        ds.id.write_direct_chunk((0,), np.arange(4, dtype="<u8").tobytes())
        for k in "xyp":
            f[f"events/{k}"] = np.zeros(4, np.uint16)
    with pytest.raises(ImportError, match=r"filter 32099.*pip install hdf5plugin"):
        read_h5(path)


def test_dataset_layouts_only_with_the_default_configuration(tmp_path, sorted_events):
    path = dsec_file(str(tmp_path / "dsec.h5"), sorted_events, blosc=False)
    plain = read_h5(path, config=h5.H5Config(events_group="events"))  # equal to the default: DSEC
    assert np.array_equal(plain, sorted_events)
    own = read_h5(path, config=h5.H5Config(events_group="events", timestamp_key="t", x_key="y", y_key="x"))
    assert np.array_equal(own["t"], sorted_events["t"] - 1_000_000_000)  # as configured, no offset
    with pytest.raises(ValueError, match="stream="):
        read_h5(path, stream="left")


# --- ECF chunks -----------------------------------------------------------------------


def chunk_events(n, seed=0, dt=3, width=1280, height=720):
    ev = make_events(n, seed=seed, width=width, height=height, sort=False)
    rng = np.random.default_rng(seed)
    ev["t"] = np.cumsum(rng.integers(0, dt, n)).astype(np.uint64) + 17
    return ev


def ecf_cases():
    ev = chunk_events(2000)
    runs = np.zeros(800, EVENT_DTYPE)  # runs of equal t, y and p of the lengths the codes switch at
    k = 0
    for length in (14, 15, 16, 30, 31, 32, 126, 127, 128, 200):
        runs[k:k + length]["t"] = k
        runs[k:k + length]["y"] = length
        runs[k:k + length]["p"] = length % 2
        runs[k:k + length]["x"] = np.arange(length) % 2047
        k += length
    runs = runs[:k]
    jumps = np.zeros(17, EVENT_DTYPE)  # jumps of every nibble length
    jumps["t"] = np.cumsum([0] + [16 ** j + j for j in range(16)]).astype(np.uint64) % 2**63
    jumps["t"] = np.maximum.accumulate(jumps["t"])
    neighbours = np.zeros(64, EVENT_DTYPE)  # x, x+1 .. x+5 at one t and y: folded into x codes
    neighbours["x"] = [100 + j for j in range(6)] * 10 + [1, 3, 7, 9]
    neighbours["t"] = np.repeat(np.arange(11), 6)[:64]
    wide = chunk_events(9, seed=5, height=4096)
    wide["y"][4] = 4095
    return {"random": ev, "runs": runs, "jumps": jumps, "neighbours": neighbours, "one": ev[:1],
            "partial_group": ev[:7], "empty": ev[:0], "wide_y": wide, "full": chunk_events(65535, seed=6)}


@pytest.mark.parametrize("name, ev", list(ecf_cases().items()))
@pytest.mark.parametrize("mode", [None, "yxp", "xp", "codes"])
def test_ecf_chunks_round_trip_in_every_mode(name, ev, mode):
    if mode in ("xp", "codes") and len(ev) and ev["y"].max() >= 2048:
        with pytest.raises(ValueError, match="y must be below"):
            h5._ecf_encode(ev, mode)
        return
    data = h5._ecf_encode(ev, mode)
    assert np.array_equal(h5._ecf_decode(data), ev)
    if mode is None:  # the smallest of the modes that hold the events
        sizes = [len(h5._ecf_encode(ev, m)) for m in ("yxp", "xp", "codes") if m == "yxp" or not len(ev)
                 or ev["y"].max() < 2048]
        assert len(data) == min(sizes)


@pytest.mark.parametrize("name, ev", [(k, v) for k, v in ecf_cases().items() if k not in ("empty", "wide_y")])
@pytest.mark.parametrize("mode", ["yxp", "xp", "codes"])
def test_evlib_decodes_our_chunks(name, ev, mode):
    evlib = pytest.importorskip("evlib")
    got = evlib.formats.test_prophesee_ecf_decode(h5._ecf_encode(ev, mode), False)
    x, y, p, t = (np.array(c) for c in zip(*got))
    assert np.array_equal(t, ev["t"]) and np.array_equal(x, ev["x"]) and np.array_equal(y, ev["y"])
    assert np.array_equal(p > 0, ev["p"] > 0)


def hand_chunk(n, flags, t0, body):
    return (n << 2 | flags).to_bytes(4, "little") + t0.to_bytes(8, "little") + bytes(body)


def test_ecf_hand_built_codes():
    # time: +0 two events, jump of 0x123 (three nibbles) then +1 one event, +2 with a u16 count of 17 (l = 15)
    times = [0x02, 0xF3, 0xF2, 0xF1, 0x11, 0x2F, 17, 0]
    # y codes: y=5 count 3, then y=9 count 31 -> u16 follows: 17
    ys = (5 << 5 | 3).to_bytes(2, "little") + (9 << 5 | 31).to_bytes(2, "little") + (17).to_bytes(2, "little")
    # x codes: x=10 with bits for +1 and +3 (j = 0, 2 -> bits 4, 2), then 17 single ones
    xs = (10 << 5 | 0b10100).to_bytes(2, "little") + b"".join((20 + i << 5).to_bytes(2, "little") for i in range(17))
    ps = bytes([1 << 7 | 5, 0 << 7 | 127]) + (15).to_bytes(2, "little")
    ev = h5._ecf_decode(hand_chunk(20, 0, 1000, times + list(ys + xs + ps)))
    t0 = 1000
    assert ev["t"].tolist() == [t0, t0] + [t0 + 0x123 + 1] + [t0 + 0x123 + 3] * 17
    assert ev["y"].tolist() == [5] * 3 + [9] * 17
    assert ev["x"].tolist() == [10, 11, 13] + [20 + i for i in range(17)]
    assert ev["p"].tolist() == [1] * 5 + [0] * 15


@pytest.mark.parametrize("cut", [0, 5, 11, 12, 13, 20])
def test_ecf_corrupt_chunks_are_refused(cut):
    data = h5._ecf_encode(chunk_events(100), "codes")
    with pytest.raises(ValueError, match="ECF"):
        h5._ecf_decode(data[:cut])
    with pytest.raises(ValueError, match="more events|at most"):
        h5._ecf_decode(hand_chunk(65536, 0, 0, []))
    with pytest.raises(ValueError, match="more events than"):  # a time code past n
        h5._ecf_decode(hand_chunk(1, 0, 0, [0x03]))


# --- the writers ----------------------------------------------------------------------


@pytest.mark.parametrize("layout", ["separate", "compound", "dsec", "prophesee"])
@pytest.mark.parametrize("n", [0, 1, 16384, 16385, 70_001])
def test_every_layout_round_trips(tmp_path, layout, n):
    ev = make_events(n, seed=n, width=1280, height=720)
    path = str(tmp_path / f"{layout}.h5")
    write_h5(path, ev, layout=layout, sensor_size=(1280, 720))
    assert np.array_equal(read_h5(path), ev)
    r = H5EventReader(path, chunk_size=10_000)
    assert r.n_events == n
    if n:
        assert np.array_equal(np.concatenate(list(r)), ev)
    # streamed in odd pieces, flushed on the way: the same events
    spath = str(tmp_path / f"s_{layout}.h5")
    with H5EventWriter(spath, layout=layout, sensor_size=(1280, 720)) as w:
        for piece in np.array_split(ev, 7):
            w.append(piece)
            w.flush()
            assert np.array_equal(read_h5(spath), ev[:w.n_events])
    assert np.array_equal(read_h5(spath), ev)
    if n and layout != "compound":
        a = int(ev["t"][n // 3])
        assert np.array_equal(r.read_time_window(a, a + 777), window(ev, a, a + 777))


def test_dsec_writer_lays_out_as_dsec(tmp_path):
    ev = make_events(30_000, seed=9)
    ev["t"] += 5_000_000
    path = str(tmp_path / "dsec.h5")
    write_h5(path, ev, layout="dsec")
    with h5py.File(path, "r") as f:
        assert list(f["events"]) == ["p", "t", "x", "y"]
        assert f["events/t"].dtype == np.uint32 and f["t_offset"][()] == ev["t"][0]
        assert "32001" in f["events/t"]._filters  # Blosc
        assert np.array_equal(f["ms_to_idx"][:], ms_index(ev["t"] - ev["t"][0]))


def test_prophesee_writer_lays_out_as_the_vendor(tmp_path):
    ev = make_events(40_000, seed=10, width=1280, height=720)
    path = str(tmp_path / "cd.h5")
    write_h5(path, ev, layout="prophesee", sensor_size=(1280, 720))
    with h5py.File(path, "r") as f:
        ds = f["CD/events"]
        assert ds.dtype.names == ("x", "y", "p", "t") and ds.dtype.itemsize == 16 and ds.chunks == (16384,)
        assert ds.id.get_create_plist().get_filter(0)[0] == 0x8ECF
        idx = f["CD/indexes"][:]
        assert np.array_equal(idx["ts"], np.arange(len(idx)) * 2000)
        assert np.array_equal(idx["id"], np.searchsorted(ev["t"], idx["ts"]))
        assert f.attrs["geometry"] == "1280x720"
    import morvel.io as mio

    with mio.open(path) as rec:
        assert rec.sensor_size == (1280, 720)


def test_evlib_reads_what_we_write(tmp_path):
    # A recording evlib's file loader reads whole (see the chunk test below).
    evlib = pytest.importorskip("evlib")
    rng = np.random.default_rng(0)
    ev = np.zeros(100_000, EVENT_DTYPE)
    ev["t"] = np.sort(rng.integers(0, 3_000_000, len(ev)))
    ev["x"], ev["y"], ev["p"] = rng.integers(0, 1280, len(ev)), rng.integers(0, 720, len(ev)), rng.integers(0, 2, len(ev))
    for layout in ("prophesee", "dsec"):
        path = str(tmp_path / f"{layout}.h5")
        write_h5(path, ev, layout=layout)
        df = evlib.load_events(path, sort=False).collect()
        t = df["t"].dt.total_microseconds().to_numpy()
        if layout == "dsec":
            t = t + int(ev["t"][0])  # evlib leaves out /t_offset
        assert np.array_equal(t, ev["t"])
        assert np.array_equal(df["x"].to_numpy(), ev["x"]) and np.array_equal(df["y"].to_numpy(), ev["y"])
        assert np.array_equal(df["polarity"].to_numpy() > 0, ev["p"] > 0)


def test_evlib_decodes_every_chunk_of_our_files(tmp_path):
    # evlib's file loader looks for each chunk's header with a heuristic of its
    # own that misreads some chunks; its chunk decoder follows the codec.
    evlib = pytest.importorskip("evlib")
    ev = make_events(50_000, seed=11, width=1280, height=720)
    path = str(tmp_path / "cd.h5")
    write_h5(path, ev, layout="prophesee")
    with h5py.File(path, "r") as f:
        ds = f["CD/events"]
        for c in range(ds.id.get_num_chunks()):
            _, data = ds.id.read_direct_chunk((c * 16384,))
            x, y, p, t = (np.array(v) for v in zip(*evlib.formats.test_prophesee_ecf_decode(data, False)))
            part = ev[c * 16384:(c + 1) * 16384]
            assert np.array_equal(t, part["t"]) and np.array_equal(x, part["x"]) and np.array_equal(y, part["y"])
            assert np.array_equal(p > 0, part["p"] > 0)


@pytest.mark.parametrize("layout, change, message", [
    ("dsec", lambda e: e["t"].__setitem__(50, 0), "time order"),
    ("dsec", lambda e: e["t"].__setitem__(slice(60, None), 2**32 + 10**6), "2\\*\\*32"),
    ("prophesee", lambda e: e["t"].__setitem__(50, 0), "time order"),
    ("prophesee", lambda e: e["x"].__setitem__(70, 2048), "x = 2048"),
    ("prophesee", lambda e: e["y"].__setitem__(70, 4096), "y = 4096"),
    ("prophesee", lambda e: e["p"].__setitem__(70, 2), "p = 2"),
])
def test_writers_refuse_what_a_layout_cannot_hold(tmp_path, layout, change, message):
    ev = make_events(100, seed=12)
    ev["t"] += 1000
    bad = ev.copy()
    change(bad)
    path = str(tmp_path / "w.h5")
    with H5EventWriter(path, layout=layout) as w:
        w.append(ev[:40])
        with pytest.raises(ValueError, match=message):
            w.append(bad[40:])
        assert w.n_events == 40  # nothing of the refused append was taken
    assert np.array_equal(read_h5(path), ev[:40])
    write_h5(path, ev, layout=layout)
    with pytest.raises(ValueError, match=message):
        write_h5(path, bad, layout=layout)
    assert np.array_equal(read_h5(path), ev)  # the file before stays as it was


@pytest.mark.parametrize("kwargs, message", [
    ({"layout": "dsec5"}, "layout must be"),
    ({"layout": "prophesee", "compression": "gzip"}, "always compressed with ECF"),
    ({"layout": "prophesee", "chunk_size": 70000}, "chunk_size must be between 1 and 65535"),
    ({"layout": "dsec", "config": h5.COMPACT_H5_CONFIG}, "fixed dataset names"),
])
def test_writer_arguments(tmp_path, kwargs, message):
    with pytest.raises(ValueError, match=message):
        H5EventWriter(str(tmp_path / "w.h5"), **kwargs)


def test_corrupt_and_raw_ecf_chunks_in_a_file(tmp_path):
    ev = make_events(40_000, seed=13, width=1280, height=720)
    path = str(tmp_path / "cd.h5")
    write_h5(path, ev, layout="prophesee")
    with h5py.File(path, "a") as f:  # chunk 1 stored with the filter skipped: plain records
        rec = np.zeros(16384, dtype=f["CD/events"].dtype)
        part = ev[16384:32768]
        rec["x"], rec["y"], rec["p"], rec["t"] = part["x"], part["y"], part["p"], part["t"]
        f["CD/events"].id.write_direct_chunk((16384,), rec.tobytes(), filter_mask=1)
    assert np.array_equal(read_h5(path), ev)
    with h5py.File(path, "a") as f:
        f["CD/events"].id.write_direct_chunk((32768,), b"\x01\x00\x01\x00" + bytes(8) + b"\xff" * 3)
    with pytest.raises(ValueError, match="ECF chunk 2 .* corrupt"):
        read_h5(path)


def test_ecf_with_other_filters_is_refused(tmp_path):
    path = str(tmp_path / "cd.h5")
    with h5py.File(path, "w") as f:
        dt = np.dtype({"names": ["x", "y", "p", "t"], "formats": ["<u2", "<u2", "<i2", "<i8"],
                       "offsets": [0, 2, 4, 8], "itemsize": 16})
        f.create_dataset("CD/events", shape=(10,), dtype=dt, chunks=(10,), shuffle=True, compression=0x8ECF,
                         allow_unknown_filter=True)
    with pytest.raises(ValueError, match="filters besides ECF"):
        read_h5(path)


def test_convert_through_every_layout(tmp_path):
    ev = make_events(20_000, seed=14, width=1280, height=720)
    src = str(tmp_path / "in.bin")
    ev.tofile(src)
    prev = src
    for layout in ("dsec", "prophesee", "compound", "separate"):
        out = str(tmp_path / f"{layout}.h5")
        proc = subprocess.run([sys.executable, "-m", "morvel.io", "convert", prev, out, "--h5-layout", layout],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert np.array_equal(read_h5(out), ev), layout
        info = subprocess.run([sys.executable, "-m", "morvel.io", "info", out], capture_output=True, text=True,
                              timeout=60)
        assert ("compound" if layout == "compound" else f"{layout} layout") in info.stdout
        prev = out
    back = str(tmp_path / "back.raw")
    proc = subprocess.run([sys.executable, "-m", "morvel.io", "convert", prev, back], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr


# --- edges of the layouts ---------------------------------------------------------------


def test_prophesee_index_past_camera_times(tmp_path):
    ev = make_events(30_000, seed=15, width=1280, height=720)
    ev["t"] += 2**40 + 777  # past 2**32 us: the table starts at the first event's 2 ms
    path = str(tmp_path / "cd.h5")
    write_h5(path, ev, layout="prophesee")
    with h5py.File(path, "r") as f:
        ts = f["CD/indexes"]["ts"]
        assert ts[0] == int(ev["t"][0]) // 2000 * 2000 and len(ts) < 200
    r = H5EventReader(path)
    for a, b in [(0, 2**40), (int(ev["t"][0]), int(ev["t"][0]) + 1), (int(ev["t"][5000]), int(ev["t"][9000])),
                 (int(ev["t"][-1]), 2**63)]:
        assert np.array_equal(r.read_time_window(a, b), window(ev, a, b)), (a, b)


def test_dsec_reach_is_exactly_2_to_32(tmp_path):
    ev = np.zeros(3, EVENT_DTYPE)
    ev["t"] = [10, 10 + 2**32 - 1, 10 + 2**32]
    path = str(tmp_path / "d.h5")
    with H5EventWriter(path, layout="dsec") as w:
        w.append(ev[:2])
        with pytest.raises(ValueError, match="2\\*\\*32"):
            w.append(ev[2:])
    assert np.array_equal(read_h5(path), ev[:2])


@pytest.mark.parametrize("header_events, message", [(16384 + 5, None), (100, "holds 100 events")])
def test_ecf_chunks_whose_header_disagrees_with_the_dataset(tmp_path, header_events, message):
    ev = chunk_events(16384 + 5, seed=16)
    path = str(tmp_path / "cd.h5")
    write_h5(path, ev[:16384], layout="prophesee")
    with h5py.File(path, "a") as f:  # a chunk that says more than the dataset holds there: the first are taken
        f["CD/events"].id.write_direct_chunk((0,), h5._ecf_encode(ev[:header_events]))
    if message:
        with pytest.raises(ValueError, match=message):
            read_h5(path)
    else:
        assert np.array_equal(read_h5(path), ev[:16384])
        assert np.array_equal(H5EventReader(path).read_time_window(0, 2**40), ev[:16384])


def test_m3ed_without_index_and_float32_mvsec(tmp_path):
    ev = make_events(8000, seed=17)
    path = str(tmp_path / "m3ed.h5")
    with h5py.File(path, "w") as f:
        for k in "xytp":
            f[f"prophesee/left/{k}"] = ev[k]
    r = H5EventReader(path)
    assert r.layout == "m3ed" and np.array_equal(r.read_time_window(5000, 9000), window(ev, 5000, 9000))
    path = str(tmp_path / "mvsec.h5")
    small = ev[ev["t"] < 2**20]  # float32 holds these seconds to the microsecond
    with h5py.File(path, "w") as f:
        rows = np.stack([small["x"], small["y"], small["t"] / 1e6, small["p"] * 2.0 - 1], axis=1)
        f["davis/left/events"] = rows.astype(np.float32)
    assert np.array_equal(read_h5(path), small)


def test_stream_on_a_file_with_one_camera(tmp_path):
    path = str(tmp_path / "plain.h5")
    write_h5(path, make_events(10))
    with pytest.raises(ValueError, match="stream= picks the camera"):
        read_h5(path, stream="left")
    with pytest.raises(ValueError, match="stream= picks the camera"):
        H5EventReader(path, stream="right").n_events


def test_registry_and_dask_windows_on_dsec(tmp_path, sorted_events):
    import morvel.io as mio

    ev = sorted_events
    path = dsec_file(str(tmp_path / "dsec.h5"), ev)
    with mio.open(path) as rec:
        assert rec.format == "hdf5" and rec.count_events() == len(ev)
        a = int(ev["t"][1000])
        assert np.array_equal(rec.read_time_window(a, a + 3000), window(ev, a, a + 3000))
        assert np.array_equal(np.concatenate(list(rec)), ev)
    dd = pytest.importorskip("dask.dataframe")
    import morvel.io.dask as mdask

    df = mdask.read_events(path, events_per_partition=10_000).compute(scheduler="sync")
    assert np.array_equal(df.index.to_numpy(), ev["t"]) and np.array_equal(df["x"].to_numpy(), ev["x"])
    assert dd is not None


def test_convert_reads_the_cameras_of_m3ed_and_mvsec(tmp_path):
    left, right = make_events(3000, seed=18), make_events(2000, seed=19)
    m3ed, mvsec = str(tmp_path / "m3ed.h5"), str(tmp_path / "mvsec.h5")
    with h5py.File(m3ed, "w") as f, h5py.File(mvsec, "w") as g:
        for cam, ev in (("left", left), ("right", right)):
            for k in "xytp":
                f[f"prophesee/{cam}/{k}"] = ev[k]
            g[f"davis/{cam}/events"] = np.stack([ev["x"], ev["y"], ev["t"] / 1e6, ev["p"] * 2.0 - 1], axis=1)
    for src in (m3ed, mvsec):
        out = str(tmp_path / "out.bin")
        proc = subprocess.run([sys.executable, "-m", "morvel.io", "convert", src, out, "--stream", "right"],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert np.array_equal(np.fromfile(out, EVENT_DTYPE), right)
        info = subprocess.run([sys.executable, "-m", "morvel.io", "info", src, "--stream", "left"],
                              capture_output=True, text=True, timeout=60)
        assert "3,000" in info.stdout, info.stdout + info.stderr
