"""AEDAT4 recordings: Aedat4Reader, Aedat4Writer and write_aedat4 against dv-processing, faery,
evlib and files built here byte by byte."""

import datetime
import gc
import os
import re
import struct
import sys

import numpy as np
import pytest

from morvel.io.recordings import Aedat4Reader, Aedat4Writer, write_aedat4
from morvel.io.streaming import EVENT_DTYPE

from conftest import make_events

COMPRESSIONS = ["none", "lz4", "lz4_high", "zstd", "zstd_high"]
lz4_frame = pytest.importorskip("lz4.frame")
zstandard = pytest.importorskip("zstandard")


def concat(chunks):
    return np.concatenate(chunks) if chunks else np.empty(0, EVENT_DTYPE)


# --- oracles ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def dv():
    return pytest.importorskip("dv_processing", reason="dv-processing is not installed")


def dv_compression(dv, name):
    return dv.CompressionType.__members__[name.upper()]


def dv_store(dv, ev):
    store = dv.EventStore()
    for t, x, y, p in zip(ev["t"].tolist(), ev["x"].tolist(), ev["y"].tolist(), ev["p"].tolist()):
        store.push_back(t, x, y, bool(p))
    return store


def from_dv(a):
    ev = np.empty(len(a), EVENT_DTYPE)
    ev["t"], ev["x"], ev["y"], ev["p"] = a["timestamp"], a["x"], a["y"], a["polarity"]
    return ev


def dv_read(dv, path, stream="events"):
    rec = dv.io.MonoCameraRecording(str(path))
    out = []
    while rec.isRunning() and (batch := rec.getNextEventBatch(stream)) is not None:
        out.append(from_dv(batch.numpy()))
    return concat(out), rec.getEventResolution(stream)


@pytest.fixture(scope="module")
def camera_events(dv):
    """2,000,000 events from dv-processing's own generator, as EVENT_DTYPE."""
    store = dv.data.generate.uniformEventsWithinTimeRange(
        1_000_000, datetime.timedelta(seconds=4), (640, 480), 2_000_000, 7)
    return store, from_dv(store.numpy())


# --- files built here byte by byte (layouts unlike dv-processing's and ours) --------------

ELEMENT = np.dtype([("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("on", "u1"), ("pad", "V3")])


def event_payload(ev, ident=b"EVTS"):
    """A size-prefixed event packet: table first, its vtable after it (negative soffset)."""
    el = np.zeros(len(ev), ELEMENT)
    el["t"], el["x"], el["y"], el["on"] = ev["t"], ev["x"], ev["y"], ev["p"]
    body = struct.pack("<I4siI", 8, ident, -8, 12) + struct.pack("<HHH2x", 6, 8, 4) + struct.pack("<I", len(el))
    body += el.tobytes()
    return struct.pack("<I", len(body)) + body


def info_xml(streams):
    nodes = "".join(
        f'<node name="{sid}" path="/outInfo/{sid}/"><attr key="originalOutputName" type="string">{name}</attr>'
        f'<attr key="typeIdentifier" type="string">{kind}</attr><node name="info" path="/outInfo/{sid}/info/">'
        + (f'<attr key="sizeX" type="int">{size[0]}</attr><attr key="sizeY" type="int">{size[1]}</attr>'
           if size else "") + "</node></node>"
        for sid, name, kind, size in streams)
    return f'<?xml version="1.0"?><dv version="2.0"><!-- built by hand --><node name="outInfo">{nodes}</node></dv>'


def io_header(compression, table_at, xml, with_table_field=True):
    text = xml.encode()
    # vtable first, then the table: compression, info offset, (data table position)
    fields = [8, 12, 16] if with_table_field else [8, 12]
    vt = struct.pack("<HH" + "H" * 3, 4 + 2 * 3, 24, fields[0], fields[2] if with_table_field else 0, fields[1])
    head = struct.pack("<I4s", 8 + len(vt) + 2, b"IOHE") + vt + b"\0\0"
    table_pos = len(head)
    string_pos = table_pos + 24
    table = struct.pack("<iiiIq", table_pos - 8, 0, compression, string_pos - (table_pos + 12), table_at)
    body = head + table + struct.pack("<I", len(text)) + text + b"\0"
    return struct.pack("<I", len(body)) + body


def data_table(entries):
    """entries: (payload offset, stream, size, count, first, last); one vtable per entry."""
    n = len(entries)
    # the root table at 8 with its vtable after it, at 16; the vector of entry offsets at 24
    out = bytearray(struct.pack("<I4siI", 8, b"FTAB", -8, 12) + struct.pack("<HHH2x", 6, 8, 4))
    out += struct.pack("<I", n) + b"\0" * (4 * n)
    for i, (offset, stream, size, count, first, last) in enumerate(entries):
        vt = len(out)
        out += struct.pack("<7H2x", 14, 44, 12, 4, 20, 28, 36)
        tpos = len(out)
        out += struct.pack("<iiiqqqq", tpos - vt, stream, size, offset, count, first, last)
        slot = 28 + 4 * i
        out[slot:slot + 4] = struct.pack("<I", tpos - slot)
    return struct.pack("<I", len(out)) + bytes(out)


COMPRESS = {0: lambda b: b, 1: lambda b: lz4_frame.compress(b), 3: lambda b: zstandard.ZstdCompressor().compress(b)}


def build(packets, streams=((0, "events", "EVTS", (640, 480)),), compression=0, table=True, edit=None,
          with_table_field=True):
    """A file of `packets` ((stream id, payload before compression), ...) and the data table of
    their entries (changed by `edit(entries)` when given); table=False: none (position -1)."""
    xml = info_xml(streams)
    pack = COMPRESS[compression]
    start = 14 + len(io_header(compression, 0, xml, with_table_field))
    body, entries, pos = b"", [], start
    for sid, payload in packets:
        data = pack(payload)
        body += struct.pack("<ii", sid, len(data)) + data
        n = (len(payload) - 32) // 16 if payload[8:12] == b"EVTS" else 1
        ts = np.frombuffer(payload[32:32 + 16 * n], ELEMENT)["t"] if payload[8:12] == b"EVTS" else [0]
        entries.append((pos + 8, sid, len(data), n, int(min(ts, default=0)), int(max(ts, default=0))))
        pos += 8 + len(data)
    tail = pack(data_table(edit(entries) if edit else entries)) if table else b""
    return b"#!AER-DAT4.0\r\n" + io_header(compression, pos if table else -1, xml, with_table_field) + body + tail


def packets_of(ev, sizes, sid=0):
    out, at = [], 0
    for n in sizes:
        out.append((sid, event_payload(ev[at:at + n])))
        at += n
    return out


# --- both ways with dv-processing -----------------------------------------------------------


@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_dv_and_we_read_each_others_files(dv, camera_events, tmp_path, compression):
    store, ev = camera_events
    if compression.endswith("_high"):  # slow codecs: a slice
        ev = ev[:150_000]
        store = store.slice(0, len(ev))
    theirs, ours = tmp_path / "dv.aedat4", tmp_path / "ours.aedat4"
    writer = dv.io.MonoCameraWriter(str(theirs), dv.io.MonoCameraWriter.EventOnlyConfig(
        "DVXplorer", (640, 480), dv_compression(dv, compression)))
    writer.writeEvents(store)
    del writer
    write_aedat4(ours, ev, sensor_size=(640, 480), compression=compression)
    for path in (theirs, ours):
        r = Aedat4Reader(path)
        assert (r.compression, r.sensor_size, r.has_table, r.n_events) == (compression, (640, 480), True, len(ev))
        assert r.time_span == (int(ev["t"][0]), int(ev["t"][-1]))
        assert np.array_equal(r.read_all(), ev)
    got, size = dv_read(dv, ours)
    assert size == (640, 480) and np.array_equal(got, ev)


def test_dv_reads_ours_exactly(dv, camera_events, tmp_path):
    _, ev = camera_events
    ev = ev.copy()
    ev["p"][::3] ^= 1  # both polarities everywhere
    for compression in ["none", "lz4", "zstd"]:
        path = tmp_path / f"{compression}.aedat4"
        with Aedat4Writer(path, sensor_size=(640, 480), compression=compression) as w:
            for piece in np.array_split(ev, 7):  # appends that do not fall on packets
                w.append(piece)
        got, size = dv_read(dv, path)
        assert size == (640, 480) and np.array_equal(got, ev)


def test_streams_beside_events_are_skipped(dv, tmp_path):
    """A DAVIS recording: events, frames, IMU samples and triggers interleaved."""
    path = str(tmp_path / "davis.aedat4")
    w = dv.io.MonoCameraWriter(path, dv.io.MonoCameraWriter.DAVISConfig("DAVIS346", (346, 260),
                                                                          dv.CompressionType.LZ4))
    batches = [make_events(n, seed=n, width=346, height=260) for n in (500, 0, 20000, 1)]
    t = 0
    for b in batches:
        b["t"] += t
        t = int(b["t"][-1]) + 1 if len(b) else t
        if len(b):
            w.writeEvents(dv_store(dv, b))
        w.writeFrame(dv.Frame(t, np.full((260, 346), 7, np.uint8)))
        w.writeImu(dv.data.generate.levelImuMeasurement(t))
        w.writeTrigger(dv.Trigger(t, dv.TriggerType.APS_FRAME_START))
    del w
    r = Aedat4Reader(path, chunk_size=999)
    assert [(s["name"], s["type"]) for s in r.streams] == [
        ("events", "EVTS"), ("frames", "FRME"), ("imu", "IMUS"), ("triggers", "TRIG")]
    assert r.sensor_size == (346, 260) and r.streams[1]["sensor_size"] == (346, 260)
    assert r.streams[2]["sensor_size"] is None
    assert np.array_equal(concat(list(r)), concat(batches))
    assert np.array_equal(r.read_all(), dv_read(dv, path)[0])
    with pytest.raises(ValueError, match="stream 'frames' holds FRME packets, not events"):
        Aedat4Reader(path, stream="frames")


def test_two_event_streams(dv, tmp_path):
    path = str(tmp_path / "two.aedat4")
    cfg = dv.io.MonoCameraWriter.EventOnlyConfig("cam", (64, 48), dv.CompressionType.ZSTD)
    cfg.addEventStream((32, 16), "second")
    w = dv.io.MonoCameraWriter(path, cfg)
    first, second = make_events(3000, 1, 64, 48), make_events(5000, 2, 32, 16)
    w.writeEvents(dv_store(dv, first))
    w.writeEvents(dv_store(dv, second), streamName="second")
    del w
    assert np.array_equal(Aedat4Reader(path).read_all(), first)
    for choice in (1, "second"):
        r = Aedat4Reader(path, stream=choice)
        assert (r.stream, r.sensor_size, r.n_events) == (1, (32, 16), 5000)
        assert np.array_equal(r.read_all(), second)
    with pytest.raises(ValueError, match="has no stream 7"):
        Aedat4Reader(path, stream=7)
    with pytest.raises(ValueError, match="has no stream 'third'"):
        Aedat4Reader(path, stream="third")
    with pytest.raises(TypeError, match="Argument 'stream' has incorrect type"):
        Aedat4Reader(path, stream=1.0)


# --- faery and evlib ----------------------------------------------------------------------------


@pytest.mark.parametrize("compression", [None, ("lz4", 1), ("zstd", 3)])
def test_faery_both_ways(tmp_path, compression):
    faery = pytest.importorskip("faery")
    ev = make_events(30_000, 3)
    theirs = np.zeros(len(ev), faery.EVENTS_DTYPE)
    theirs["t"], theirs["x"], theirs["y"], theirs["on"] = ev["t"], ev["x"], ev["y"], ev["p"].astype(bool)
    path = tmp_path / "faery.aedat4"
    faery.events_stream_from_array(theirs, (640, 480)).to_file(str(path), compression=compression)
    r = Aedat4Reader(path)
    assert r.sensor_size == (640, 480) and np.array_equal(r.read_all(), ev)
    ours = tmp_path / "ours.aedat4"
    write_aedat4(ours, theirs, compression=compression[0] if compression else None)  # record array, bool p
    back = np.concatenate(list(faery.events_stream_from_file(str(ours))))
    assert np.array_equal(back, theirs)


@pytest.mark.parametrize("compression", ["none", "lz4"])  # evlib reads no Zstandard packets
def test_evlib_reads_ours(tmp_path, compression):
    evlib = pytest.importorskip("evlib")
    ev = make_events(40_000, 4)
    path = tmp_path / "ours.aedat4"
    write_aedat4(path, ev, sensor_size=(640, 480), compression=compression)
    df = evlib.load_events(str(path), sort=False).collect()
    assert np.array_equal(df["t"].cast(int).to_numpy(), ev["t"].astype(np.int64))
    assert np.array_equal(df["x"].to_numpy(), ev["x"]) and np.array_equal(df["y"].to_numpy(), ev["y"])
    assert np.array_equal(df["polarity"].to_numpy() > 0, ev["p"] == 1)


# --- chunks and windows ---------------------------------------------------------------------------


@pytest.mark.parametrize("chunk", [1, 999, 10_000, 10_001, 25_000, 2**62])
def test_chunks_exact_and_whole(tmp_path, chunk):
    ev = make_events(25_000, 5)
    path = tmp_path / "c.aedat4"
    write_aedat4(path, ev, compression="lz4")
    r = Aedat4Reader(path, chunk_size=chunk)
    chunks = list(r)
    assert all(len(c) == chunk for c in chunks[:-1]) and 0 < len(chunks[-1]) <= chunk
    assert np.array_equal(concat(chunks), ev) and np.array_equal(r.read_all(), ev)
    assert np.array_equal(concat(list(r)), ev)  # every iteration reads the file anew


def first_size_off_by_one(entries):
    return [(o, sid, size - (i == 0), n, a, b) for i, (o, sid, size, n, a, b) in enumerate(entries)]


def wider_ranges(entries):
    return [(o, sid, size, n, a - 1000, b + 1000) for o, sid, size, n, a, b in entries]


@pytest.mark.parametrize("table", ["ours", "none", "damaged", "disagreeing", "wide"])
def test_time_windows_equal_a_mask_of_read_all(tmp_path, table):
    ev = make_events(60_000, 6)
    ev[30_000:32_000]["t"] = ev["t"][29_999]  # a run of equal times across packets
    path = tmp_path / "w.aedat4"
    packets = packets_of(ev, [10_000] * 3 + [0] + [10_000] * 3)
    if table == "ours":
        write_aedat4(path, ev, compression="zstd")
    elif table == "none":
        path.write_bytes(build(packets, table=False))
    elif table == "damaged":
        path.write_bytes(build(packets).replace(b"FTAB", b"FTAX"))
    else:  # entries that disagree with their packet (read sequentially), or claim more time
        path.write_bytes(build(packets, compression=1, edit=first_size_off_by_one if table == "disagreeing"
                               else wider_ranges))
    r = Aedat4Reader(path)
    assert r.has_table == (table not in ("none", "damaged"))
    everything = r.read_all()
    assert np.array_equal(everything, ev)
    rng = np.random.default_rng(0)
    t = everything["t"].astype(np.int64)
    bounds = [(int(a), int(b)) for a, b in rng.integers(-10, t[-1] + 10, (25, 2))]
    bounds += [(int(t[30_000]), int(t[30_000]) + 1), (0, 2**70), (-5, 0), (int(t[-1]), int(t[-1]) + 1), (7, 7)]
    for lo, hi in bounds:
        got = r.read_time_window(lo, hi)
        assert np.array_equal(got, everything[(t >= lo) & (t < hi)]), (lo, hi)


def count_off(k, by):
    return lambda entries: [(o, sid, size, n + by * (i == k), a, b) for i, (o, sid, size, n, a, b) in enumerate(entries)]


# Files whose data table covers every packet are decoded on several threads from the table's counts;
# wherever a packet disagrees with its entry the reader goes on packet by packet from there. Either way
# the chunks are exactly what reading packet by packet gives.
@pytest.mark.parametrize(
    "edit",
    [None, count_off(0, 1), count_off(5, -1), count_off(11, 7), first_size_off_by_one, lambda e: e[:3] + e[4:],
     lambda e: [(o, 9 if i == 2 else sid, size, n, a, b) for i, (o, sid, size, n, a, b) in enumerate(e)]],
    ids=["complete", "count+1 first", "count-1 middle", "count+7 last", "size", "entry missing", "stream"],
)
@pytest.mark.parametrize("compression", [0, 1])
def test_chunks_through_the_table_equal_a_sequential_read(tmp_path, edit, compression):
    sizes = [10_000, 0, 25_000, 1, 9_999] + [13_000] * 7 + [0]
    ev = make_events(sum(sizes), 9)
    path = tmp_path / "t.aedat4"
    path.write_bytes(build(packets_of(ev, sizes), compression=compression, edit=edit))
    assert Aedat4Reader(path).has_table
    assert np.array_equal(Aedat4Reader(path).read_all(), ev)
    for chunk in (1, 4_999, 10_000, 64_000, 10**7):
        if chunk == 1 and edit is not None:
            continue  # slow, and nothing a larger chunk does not reach
        got = list(Aedat4Reader(path, chunk_size=chunk))
        assert all(len(c) == chunk for c in got[:-1]) and 0 < len(got[-1]) <= chunk
        assert np.array_equal(concat(got), ev), chunk


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with the pool's threads alive
def test_decoding_threads_in_a_forked_child_and_beside_other_threads(tmp_path):
    import threading
    ev = make_events(200_000, 11)
    path = tmp_path / "f.aedat4"
    path.write_bytes(build(packets_of(ev, [10_000] * 20), compression=1))
    assert np.array_equal(Aedat4Reader(path).read_all(), ev)  # the pool is running now
    pid = os.fork()
    if pid == 0:  # the child's pool starts anew
        ok = all(np.array_equal(Aedat4Reader(path).read_all(), ev) for _ in range(3))
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    results = []
    threads = [threading.Thread(target=lambda: results.append(np.array_equal(
        concat(list(Aedat4Reader(path, chunk_size=30_000))), ev))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 4


@pytest.mark.parametrize("where", [0, 6, 12])
@pytest.mark.parametrize("damage", ["negative t", "payload"])
def test_damage_with_a_complete_table_ends_where_sequential_reading_does(tmp_path, where, damage):
    ev = make_events(130_000, 10)
    packets = packets_of(ev, [10_000] * 13)
    if damage == "negative t":
        bad = ev[where * 10_000:(where + 1) * 10_000].copy()
        payload = bytearray(event_payload(bad))
        payload[32 + 16 * 123 + 7] = 0x80  # element 123: t < 0
        packets[where] = (0, bytes(payload))
        message = f"event 123 of the packet at byte .* is not an event"
    else:
        packets[where] = (0, event_payload(ev[:10_000])[:200])
        message = "the event packet at byte .* is damaged"
    path = tmp_path / "d.aedat4"
    path.write_bytes(build(packets))
    for chunk in (7_000, 10**6):
        got = []
        with pytest.raises(ValueError, match=message):
            for c in Aedat4Reader(path, chunk_size=chunk):
                got.append(c)
        whole = concat(got)
        expected = where * 10_000 + (123 if damage == "negative t" else 0)
        assert np.array_equal(whole, ev[:len(whole)]) and len(whole) == expected, (chunk, len(whole))
    with pytest.raises(ValueError, match=message):
        Aedat4Reader(path).read_all()


# --- hand-built files ---------------------------------------------------------------------------


def test_hand_built_files_read_as_laid_out(tmp_path):
    ev = make_events(5000, 8)
    streams = ((0, "events", "EVTS", (640, 480)), (3, "imu &amp; co", "IMUS", None), (5, "other", "EVTS", (8, 8)))
    garbage = b"\xff" * 300  # never decompressed: not the stream read
    packets = [(3, garbage)] + packets_of(ev, [0, 1, 2000, 0]) + [(5, event_payload(ev[:3])), (3, garbage)]
    packets += packets_of(ev[2001:], [2999])
    for compression in (0, 1, 3):
        for table in (True, False):
            path = tmp_path / f"h{compression}{table}.aedat4"
            path.write_bytes(build(packets, streams, compression, table=table))
            r = Aedat4Reader(path, chunk_size=1000)
            assert [s["name"] for s in r.streams] == ["events", "imu & co", "other"]
            assert np.array_equal(concat(list(r)), ev)
            assert np.array_equal(Aedat4Reader(path, stream=5).read_all(), ev[:3])
    path.write_bytes(build(packets_of(ev, [5000]), table=False, with_table_field=False))  # no position field
    r = Aedat4Reader(path)
    assert (r.has_table, r.n_events, r.time_span) == (False, None, None)
    assert np.array_equal(r.read_all(), ev)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda d: b"#!AER-DAT3.1\r\n" + d[14:], "is not an AEDAT4 file"),
        (lambda d: d[:16], "ends inside the size of its IO header"),
        (lambda d: d[:14] + struct.pack("<I", 10**9) + d[18:], "IO header at byte 18 says it holds 1000000000"),
        (lambda d: d[:22] + b"XXXX" + d[26:], "IO header is damaged at byte 22: it has another file identifier"),
        (lambda d: d.replace(b'<node name="outInfo">', b'<node name="outInfo>'), "info node of the IO header is not XML"),
        (lambda d: d.replace(b"EVTS</attr>", b"FRME</attr>"), "holds no event stream"),
    ],
)
def test_damaged_headers_are_refused(tmp_path, damage, message):
    path = tmp_path / "bad.aedat4"
    path.write_bytes(damage(build(packets_of(make_events(10), [10]))))
    with pytest.raises(ValueError, match=message):
        Aedat4Reader(path)


def packet_starts(data):
    """Offsets of the packet headers of a file built above (no table)."""
    pos = 18 + struct.unpack_from("<I", data, 14)[0]
    out = []
    while pos < len(data):
        out.append(pos)
        pos += 8 + struct.unpack_from("<i", data, pos + 4)[0]
    return out


def test_truncated_files_give_whole_packets_then_an_error(tmp_path):
    ev = make_events(3000, 9)
    data = build(packets_of(ev, [1000, 1000, 1000]), table=False)
    starts = packet_starts(data)
    path = tmp_path / "cut.aedat4"
    for cut in [starts[0] + 3, starts[1] - 1, starts[1] + 8, starts[2] + 100, len(data) - 1]:
        path.write_bytes(data[:cut])
        whole = sum(1 for s in starts[1:] if s <= cut) * 1000
        got = []
        with pytest.raises(ValueError, match=rf"{re.escape(str(path))}: the (file ends inside the packet header|packet) at byte "):
            for c in Aedat4Reader(path, chunk_size=700):
                got.append(c)
        assert np.array_equal(concat(got), ev[:whole])
        with pytest.raises(ValueError):
            Aedat4Reader(path).read_all()
    # a file of ours cut where its data table starts: every event, then the error
    ours = tmp_path / "ours.aedat4"
    write_aedat4(ours, ev, compression="none")
    full = ours.read_bytes()
    table_at = struct.unpack_from("<q", full, 14 + 32)[0]
    ours.write_bytes(full[:table_at])
    r = Aedat4Reader(ours)
    assert not r.has_table
    with pytest.raises(ValueError, match=rf"ends at byte {table_at}, before its data table"):
        list(r)


@pytest.mark.parametrize(
    "at, value, message",  # at: from the second packet's header
    [
        (4, struct.pack("<i", 2**31 - 1), "packet at byte .* says it holds 2147483647 bytes, past the end"),
        (4, struct.pack("<i", -4), "has a negative size"),
        (8 + 8, b"EVTX", "damaged at byte 8 of its payload: it has another file identifier"),
        (8 + 4, struct.pack("<I", 2**20), "damaged at byte 4 of its payload: an offset points outside"),
        (8 + 12, struct.pack("<i", -2**20), "damaged at byte 12 of its payload: a table or its vtable"),
        (8 + 28, struct.pack("<I", 2**30), "damaged at byte 28 of its payload: a vector runs past"),
        (8 + 32 + 16 * 5, struct.pack("<q", -1), "event 5 of the packet at byte .* negative"),
        (8 + 32 + 16 * 6 + 10, struct.pack("<h", -3), "event 6 of the packet .*y=-3"),
    ],
)
def test_damaged_packets_name_the_byte(tmp_path, at, value, message):
    ev = make_events(2000, 10)
    data = bytearray(build(packets_of(ev, [1000, 1000]), table=False))
    at += packet_starts(bytes(data))[1]
    data[at:at + len(value)] = value
    path = tmp_path / "bad.aedat4"
    path.write_bytes(bytes(data))
    got = []
    with pytest.raises(ValueError, match=message) as info:
        for c in Aedat4Reader(path, chunk_size=64):
            got.append(c)
    assert str(path) in str(info.value)
    whole = concat(got)
    assert np.array_equal(whole, ev[:len(whole)]) and len(whole) >= 1000  # the first packet, and what came before
    with pytest.raises(ValueError, match=message):
        Aedat4Reader(path).read_time_window(0, 2**63)


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"\x04\x22\x4d\x18garbage" * 3, "does not decompress as LZ4"),
        (lz4_frame.compress(event_payload(make_events(100)))[:-9], "LZ4 frame of the packet at byte .* is cut short"),
        (b"\x28\xb5\x2f\xfd\xa0" + struct.pack("<I", 2**31) + b"\0" * 20, "says it decompresses to 2147483648 bytes"),
        (b"\x28\xb5\x2f\xfd\x00\x00garbage", "does not decompress as Zstandard"),
    ],
)
def test_damaged_compressed_packets(tmp_path, payload, message):
    codec = 3 if payload.startswith(b"\x28\xb5") else 1
    ev = make_events(10)
    xml = info_xml(((0, "events", "EVTS", (640, 480)),))
    good = COMPRESS[codec](event_payload(ev))
    data = (b"#!AER-DAT4.0\r\n" + io_header(codec, -1, xml) + struct.pack("<ii", 0, len(good)) + good
            + struct.pack("<ii", 0, len(payload)) + payload)
    path = tmp_path / "bomb.aedat4"
    path.write_bytes(data)
    got = []
    with pytest.raises(ValueError, match=message):
        for c in Aedat4Reader(path):
            got.append(c)
    assert np.array_equal(concat(got), ev)


def lz4_file(path, payloads, ev):
    xml = info_xml(((0, "events", "EVTS", (640, 480)),))
    data = b"#!AER-DAT4.0\r\n" + io_header(1, -1, xml)
    for p in payloads:
        data += struct.pack("<ii", 0, len(p)) + p
    path.write_bytes(data)


SKIP = struct.pack("<II", 0x184D2A53, 5) + b"hello"


# Every frame option the lz4 tool and LZ4F write, and frames one after another.
@pytest.mark.parametrize(
    "options",
    [
        {},
        {"block_linked": False},
        {"store_size": False, "content_checksum": True},
        {"block_checksum": True, "block_size": lz4_frame.BLOCKSIZE_MAX64KB},
        {"compression_level": 12, "block_size": lz4_frame.BLOCKSIZE_MAX4MB},
        {"compression_level": -5, "block_linked": False, "store_size": False},
        "concatenated",
    ],
)
def test_lz4_frames_decoded_natively(tmp_path, options):
    ev = make_events(30000)
    ev["t"] //= 1000  # repetitive enough for long matches
    raw = [event_payload(ev[:12000]), event_payload(ev[12000:])]
    if options == "concatenated":
        payloads = [SKIP + lz4_frame.compress(r[:5000]) + SKIP + lz4_frame.compress(r[5000:], content_checksum=True)
                    for r in raw]
    else:
        payloads = [lz4_frame.compress(r, **options) for r in raw]
    path = tmp_path / "f.aedat4"
    lz4_file(path, payloads, ev)
    assert np.array_equal(Aedat4Reader(path).read_all(), ev)


def flip(b, i):
    b = bytearray(b)
    b[i] ^= 0x40
    return bytes(b)


def test_lz4_frames_claiming_more_than_their_blocks_hold(tmp_path):
    # 100 MB claimed by a frame of one literal: refused, and nothing that size is allocated
    descriptor = bytes([0x68, 0x70]) + struct.pack("<Q", 100 << 20)
    frame = struct.pack("<I", 0x184D2204) + descriptor + bytes([(xxhash32(descriptor) >> 8) & 0xFF])
    frame += struct.pack("<I", 2) + b"\x10A" + struct.pack("<I", 0)
    path = tmp_path / "c.aedat4"
    lz4_file(path, [frame], None)
    with pytest.raises(ValueError, match="does not decompress as LZ4: it is not the size its frame says"):
        Aedat4Reader(path).read_all()


def xxhash32(data, seed=0):
    p1, p2, p3, p4, p5, m = 2654435761, 2246822519, 3266489917, 668265263, 374761393, 0xFFFFFFFF
    def rotl(v, r):
        return ((v << r) | (v >> (32 - r))) & m
    n, i = len(data), 0
    if n >= 16:
        v = [(seed + p1 + p2) & m, (seed + p2) & m, seed, (seed - p1) & m]
        while n - i >= 16:
            for k in range(4):
                v[k] = rotl((v[k] + int.from_bytes(data[i + 4 * k:i + 4 * k + 4], "little") * p2) & m, 13) * p1 & m
            i += 16
        h = (rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18)) & m
    else:
        h = (seed + p5) & m
    h = (h + n) & m
    while n - i >= 4:
        h = rotl((h + int.from_bytes(data[i:i + 4], "little") * p3) & m, 17) * p4 & m
        i += 4
    while i < n:
        h = rotl((h + data[i] * p5) & m, 11) * p1 & m
        i += 1
    h ^= h >> 15
    h = h * p2 & m
    h ^= h >> 13
    h = h * p3 & m
    return h ^ (h >> 16)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda f: flip(f, 6), "does not decompress as LZ4: its frame header checksum disagrees"),
        (lambda f: flip(f, len(f) - 2), "does not decompress as LZ4: its content checksum disagrees"),
        (lambda f: flip(f, 40), "does not decompress as LZ4: a block checksum disagrees"),
        (lambda f: f + b"\0\0\0", "does not decompress as LZ4: no LZ4 frame starts there"),
        (lambda f: f[:7] + struct.pack("<I", 0x7FFFFFFF) + f[11:], "its block maximum or a block's size is not valid"),
    ],
)
def test_damaged_lz4_frames(tmp_path, damage, message):
    ev = make_events(2000)
    frame = lz4_frame.compress(event_payload(ev), content_checksum=True, block_checksum=True, store_size=False)
    path = tmp_path / "d.aedat4"
    lz4_file(path, [damage(frame)], ev)
    with pytest.raises(ValueError, match=message):
        Aedat4Reader(path).read_all()


def test_a_frame_that_fails_leaves_nothing_behind(tmp_path):
    # a frame with a content size fails inside its blocks; the next frames, without one, still decode
    ev = make_events(3000)
    sized = lz4_frame.compress(event_payload(ev), block_checksum=True, store_size=True)
    lz4_file(tmp_path / "bad.aedat4", [flip(sized, 30)], ev)
    lz4_file(tmp_path / "good.aedat4", [lz4_frame.compress(event_payload(ev), store_size=False)], ev)
    for _ in range(3):
        with pytest.raises(ValueError, match="a block checksum disagrees"):
            Aedat4Reader(tmp_path / "bad.aedat4").read_all()
        assert np.array_equal(Aedat4Reader(tmp_path / "good.aedat4").read_all(), ev)


def test_missing_file_and_missing_codecs(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError):
        Aedat4Reader(tmp_path / "nothing.aedat4")
    path = tmp_path / "z.aedat4"
    write_aedat4(path, make_events(10), compression="zstd")
    for name in ("lz4", "lz4.frame", "zstandard"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match="needs the zstandard package: pip install zstandard"):
        Aedat4Reader(path)  # the data table is decompressed at once
    ev = make_events(10)
    path.write_bytes(build(packets_of(ev, [10]), compression=1, table=False))
    assert np.array_equal(Aedat4Reader(path).read_all(), ev)  # LZ4 needs no package either way
    write_aedat4(tmp_path / "l.aedat4", ev, compression="lz4_high")
    assert np.array_equal(Aedat4Reader(tmp_path / "l.aedat4").read_all(), ev)
    target = tmp_path / "never-zstd.aedat4"
    with pytest.raises(ImportError, match="pip install zstandard"):
        Aedat4Writer(target, compression="zstd")
    assert not target.exists()


# --- writer -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "field, index, value, message",
    [
        ("t", 4, 2**63, "t must be below 2\\*\\*63"),
        ("x", 5, 40000, "x must be below 32768"),
        ("y", 6, 32768, "y must be below 32768"),
        ("p", 7, 2, "p must be 0 or 1"),
        ("x", 8, 640, "outside the 640x480 sensor"),
    ],
)
def test_writers_refuse_bad_events_before_writing(tmp_path, field, index, value, message):
    ev = make_events(20, 11)
    ev[field][index] = value
    path = tmp_path / "never.aedat4"
    with pytest.raises(ValueError, match=f"cannot encode event {index} .*{message}"):
        write_aedat4(path, ev, sensor_size=(640, 480))
    assert not path.exists()
    good = make_events(12_000, 12)
    with Aedat4Writer(tmp_path / "w.aedat4", sensor_size=(640, 480)) as w:
        w.append(good)
        before = os.path.getsize(w.path)
        with pytest.raises(ValueError, match=f"cannot encode event {12_000 + index} .*{message}"):
            w.append(ev)
        assert w.n_events == 12_000 and os.path.getsize(w.path) == before
    assert np.array_equal(Aedat4Reader(tmp_path / "w.aedat4").read_all(), good)


def test_writer_takes_other_record_types_by_name(tmp_path):
    ev = make_events(3000, 13)
    other = np.empty(3000, [("p", "?"), ("y", "i4"), ("x", "f8"), ("t", "i8")])
    for f in "txyp":
        other[f] = ev[f]
    path = tmp_path / "o.aedat4"
    write_aedat4(path, other.view(np.recarray), compression="none")
    assert np.array_equal(Aedat4Reader(path).read_all(), ev)
    other["x"][9] = -1  # would wrap into range with a plain cast
    with pytest.raises(ValueError, match="cannot encode event 9: x must be in \\[0, 32768\\)"):
        write_aedat4(path, other)


def test_writer_life(tmp_path):
    ev = make_events(25_000, 14)
    path = tmp_path / "gc.aedat4"
    w = Aedat4Writer(path, compression=None)
    w.append(ev[:10])
    w.append(ev[10:])
    del w
    gc.collect()  # never closed: the finalizer finishes the file
    r = Aedat4Reader(path)
    assert (r.has_table, r.n_events, r.sensor_size) == (True, 25_000, (int(ev["x"].max()) + 1, int(ev["y"].max()) + 1))
    assert np.array_equal(r.read_all(), ev)
    w = Aedat4Writer(path, sensor_size=(640, 480), compression="lz4")
    assert (w.compression, w.sensor_size, w.closed) == ("lz4", (640, 480), False)
    w.close()
    w.close()
    assert w.closed
    with pytest.raises(ValueError, match="I/O operation on closed Aedat4Writer"):
        w.append(ev)
    r = Aedat4Reader(path)
    assert (r.n_events, r.time_span, len(r.read_all()), list(r)) == (0, None, 0, [])


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"compression": "gzip"}, ValueError, "compression must be 'none', 'lz4'"),
        ({"compression": 1}, TypeError, "Argument 'compression' has incorrect type"),
        ({"sensor_size": (0, 10)}, ValueError, "sensor_size must be within 1..32768"),
        ({"sensor_size": (40000, 10)}, ValueError, "sensor_size must be within 1..32768"),
        ({"sensor_size": [640, 480]}, TypeError, "Argument 'sensor_size' has incorrect type"),
    ],
)
def test_writer_arguments_refused_before_the_file(tmp_path, kwargs, error, message):
    path = tmp_path / "never.aedat4"
    for make in (lambda: Aedat4Writer(path, **kwargs), lambda: write_aedat4(path, make_events(3), **kwargs)):
        with pytest.raises(error, match=message):
            make()
        assert not path.exists()
    with pytest.raises(ValueError, match="chunk_size must be >= 1"):
        Aedat4Reader(path, chunk_size=0)


def test_writer_refuses_a_second_call_while_it_writes(tmp_path):
    import threading

    big, small = make_events(600_000, 15), make_events(10, 16)
    path = tmp_path / "threads.aedat4"
    w = Aedat4Writer(path, compression="zstd")  # the codec releases the GIL while it works
    worker = threading.Thread(target=w.append, args=(big,))
    worker.start()
    outcomes = []
    while worker.is_alive():
        try:
            w.append(small)
            outcomes.append("written")
        except RuntimeError as e:
            assert "already in use by another call" in str(e)
            outcomes.append("refused")
    worker.join()
    w.close()
    got = Aedat4Reader(path).read_all()
    # whole arrays in some order, never interleaved
    k = outcomes.count("written")
    assert len(got) == len(big) + k * len(small)
    at = 0
    while at < len(got):
        piece = big if np.array_equal(got[at:at + len(big)], big) else small
        assert np.array_equal(got[at:at + len(piece)], piece)
        at += len(piece)
