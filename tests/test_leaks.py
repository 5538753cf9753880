"""Reference and memory leaks: every operation, on its happy path, its error
paths and (for generators) dropped half-way, repeated until a leak would show.

A leak of a Python object shows as a steady rise of sys.getallocatedblocks();
a leak of native memory (an array, a scratch buffer) as a rise of the process
RSS. Each operation runs a warm-up round first, so caches and free lists are
full before the counts are taken.
"""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest

from conftest import make_events

ROUNDS = 400
PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory sits in a quarantine, so the RSS says
# nothing there; the object count still does.
CHECK_RSS = not os.environ.get("MORVEL_SANITIZED")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn} did not raise {exc_type}")


def drop_half_way(gen, steps=1):
    for _ in range(steps):
        next(gen)
    del gen


def assert_no_leak(op, rounds=ROUNDS):
    for _ in range(rounds // 4):
        op()
    # Two measured rounds: caches and registries of the interpreter and of
    # libraries may still grow once, a leak grows in every round.
    grown = []
    for _ in range(2):
        gc.collect()
        blocks, mem = sys.getallocatedblocks(), rss()
        for _ in range(rounds):
            op()
        gc.collect()
        grown.append((sys.getallocatedblocks() - blocks, rss() - mem))
    # A leak of one object per call shows as >= `rounds` blocks a round.
    assert min(g[0] for g in grown) < rounds // 2, f"{grown[-1][0]} blocks more after {rounds} calls"
    assert not CHECK_RSS or min(g[1] for g in grown) < 8 << 20, f"RSS grew by {grown[-1][1] >> 10} KiB"


# --- operations per module --------------------------------------------------------


def streaming_ops(tmp):
    from morvel.io.streaming import BufferedEventReader, EventBuffer, generate_random_events

    ev = make_events(5000)
    good = os.path.join(tmp, "good.bin")
    ev.tofile(good)
    ragged = os.path.join(tmp, "ragged.bin")
    with open(ragged, "wb") as f:
        f.write(ev[:30].tobytes() + b"xyz")
    missing = os.path.join(tmp, "missing.bin")

    def buffer_ops():
        b = EventBuffer(16)
        b.append(ev[:1000])
        b.append(ev[1000:1500])
        b.events
        b._buffer
        b.flush()
        expect(TypeError, b.append, np.zeros(3, [("a", "u1")]))
        expect(TypeError, b.append, 3)
        b.append([tuple(r) for r in ev[:3]])

    def ragged_file():
        g = iter(BufferedEventReader(ragged, chunk_size=7))
        for _ in range(5):  # 4 x 7 + 2 whole records, then the partial one
            next(g)
        expect(ValueError, next, g)
        expect(ValueError, BufferedEventReader(ragged).read_all)

    def thrown():
        g = iter(BufferedEventReader(good, chunk_size=100))
        next(g)
        expect(KeyError, g.throw, KeyError("x"))
        g = iter(BufferedEventReader(good, chunk_size=100))
        expect(TypeError, g.send, 1)
        next(g)
        g.close()

    return {
        "reader full": lambda: list(BufferedEventReader(good, chunk_size=700)),
        "reader dropped": lambda: drop_half_way(iter(BufferedEventReader(good, chunk_size=100)), 3),
        "reader read_all": lambda: BufferedEventReader(good).read_all(),
        "reader missing": lambda: expect(FileNotFoundError, next, iter(BufferedEventReader(missing))),
        "reader ragged": ragged_file,
        "reader throw/send/close": thrown,
        "reader bad args": lambda: (expect(TypeError, BufferedEventReader, None),
                                    expect(ValueError, BufferedEventReader, good, 0),
                                    expect(TypeError, BufferedEventReader, good, chunk_size="x")),
        "buffer": buffer_ops,
        "generate": lambda: generate_random_events(3000, (64, 48), 10**9),
        "generate bad": lambda: (expect(ValueError, generate_random_events, 10, (0, 3)),
                                 expect(ValueError, generate_random_events, 10, (3,)),
                                 expect(TypeError, generate_random_events, 10, [3, 3])),
    }


def encoding_ops(tmp):
    from morvel.io import encoding

    data = np.random.default_rng(0).random((30, 40)).astype(np.float32)
    bad = data.copy()
    bad[3, 3] = 2.0
    ops = {}
    for name in ("rate_encode", "latency_encode", "temporal_encode", "delta_encode"):
        fn = getattr(encoding, name)
        ops[name] = lambda fn=fn: fn(data, 5)
        ops[name + " bad"] = lambda fn=fn: (expect(ValueError, fn, bad), expect(ValueError, fn, data, 0),
                                            expect(TypeError, fn, data, "x"))
    ops["delta previous"] = lambda: (encoding.delta_encode(data, 4, 0.2, data[::-1].copy()),
                                     expect(ValueError, encoding.delta_encode, data, previous=data[:2]))
    return ops


def throughput_ops(tmp):
    from morvel.io.throughput import ThroughputResult, _events_to_rgb_frame, benchmark_throughput

    ev = make_events(2000, width=70, height=50)
    return {
        "rgb": lambda: (_events_to_rgb_frame(ev, 64, 48), _events_to_rgb_frame(ev[["x", "y", "p"]], 64, 48)),
        "benchmark": lambda: benchmark_throughput(5000, (32, 32), 500, True, 1000).summary(),
        "benchmark bad": lambda: (expect(ValueError, benchmark_throughput, 10, (3,)),
                                  expect(TypeError, benchmark_throughput, 1.0)),
        "result": lambda: ThroughputResult(1.0, 2.0, 3.0, 0.0, True, None, 1, 0.5, (2, 2), 3).summary(),
    }


def formats_ops(tmp):
    from morvel.io import formats

    words2 = np.random.default_rng(1).integers(0, 2**32, 4000, dtype=np.uint32).tobytes()
    words3 = np.random.default_rng(2).integers(0, 2**16, 8000, dtype=np.uint16).tobytes()
    ev = make_events(3000)

    def streaming_decoders():
        for cls, data in ((formats.Evt2Decoder, words2), (formats.Evt3Decoder, words3)):
            d = cls()
            d.decode(data[:1001])
            d.decode(bytearray(data[1001:]))
            d.decode(memoryview(data))
            d.reset()
            expect(TypeError, d.decode, 5)

    raw = os.path.join(tmp, "r.raw")
    cut = os.path.join(tmp, "cut.raw")
    ev_raw = make_events(3000, width=1280, height=720)
    formats.write_raw(raw, ev_raw, "EVT3", (1280, 720))
    with open(raw, "rb") as f:
        data = f.read()
    with open(cut, "wb") as f:
        f.write(data[:-1])

    def raw_ops():
        r = formats.RawReader(raw, 1000)
        list(r)
        drop_half_way(iter(r), 1)
        r.read_all()
        r.count_events()
        expect(ValueError, list, formats.RawReader(cut, 1000))
        expect(FileNotFoundError, formats.RawReader, raw + ".missing")
        expect(ValueError, formats.RawReader, raw, 0)
        with formats.RawWriter(os.path.join(tmp, "w.raw"), "EVT2") as w:
            w.write(ev_raw[:1000])
            expect(ValueError, w.write, ev_raw[:10])  # goes back in time
        expect(ValueError, formats.write_raw, os.path.join(tmp, "x.raw"), ev_raw, sensor_size=(10, 10))
        formats.encode_evt2(ev_raw)
        formats.encode_evt3(ev_raw[["t", "x", "y", "p"]])

    return {
        "raw": raw_ops,
        "decode": lambda: (formats.decode_evt2(words2), formats.decode_evt3(words3)),
        "decode bad": lambda: (expect(ValueError, formats.decode_evt2, words2[:-1]),
                               expect(ValueError, formats.decode_evt3, words3[:-1]),
                               expect(TypeError, formats.decode_evt2, bytearray(words2))),
        "decoders": streaming_decoders,
        "frames": lambda: (formats.events_to_frames(ev, (640, 480), 3),
                           formats.events_to_frames(ev[::2], (64, 48), 2, False),
                           formats.events_to_raster(ev, 100, 10),
                           formats.events_to_raster(ev[["t", "x", "y"]], 7, 3)),
        "frames bad": lambda: (expect(TypeError, formats.events_to_frames, [1], (2, 2)),
                               expect(ValueError, formats.events_to_frames, ev, (2,)),
                               expect(ValueError, formats.events_to_raster, ev, 0),
                               expect(ValueError, formats.events_to_frames, ev[["x", "y"]], (2, 2))),
    }


def aedat4_ops(tmp):
    from morvel.io import aedat4

    frames = np.random.default_rng(3).integers(0, 256, 3 * 64 * 48 // 4, dtype=np.uint8).tobytes()
    return {
        "unpack": lambda: (aedat4.unpack_frame(frames, 64, 48, 7), aedat4.unpack_frames(frames + b"x", 64, 48, 10, 3)),
        "unpack bad": lambda: (expect(ValueError, aedat4.unpack_frame, frames[:10], 64, 48, 0),
                               expect(TypeError, aedat4.unpack_frames, bytearray(frames), 64, 48),
                               expect(TypeError, aedat4.unpack_frame, frames, "64", 48, 0)),
        "config": lambda: aedat4.FrameConfig(64, 48).frame_size_bytes,
    }


def ethernet_ops(tmp):
    import socket
    import threading

    from morvel.io import ethernet

    ev = make_events(2500)
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    packet = ethernet.pack_events_udp(ev, 1000)[0]
    stop = threading.Event()

    def send_forever():  # the receiver binds on its first next(): keep a datagram coming
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
            while not stop.wait(0.002):
                tx.sendto(packet, ("127.0.0.1", port))

    sender = threading.Thread(target=send_forever, daemon=True)
    sender.start()

    def receive():
        rx = ethernet.udp_event_receiver("127.0.0.1", port, 65536, 1.0)
        assert len(next(rx)) == 1000
        rx.close()

    def dropped():
        rx = ethernet.udp_event_receiver("127.0.0.1", port, 65536, 1.0)
        next(rx)
        del rx

    return {
        "pack": lambda: (ethernet.pack_events_udp(ev), ethernet.pack_events_udp(ev[::3], 7)),
        "pack bad": lambda: (expect(ValueError, ethernet.pack_events_udp, ev, 0),
                             expect(TypeError, ethernet.pack_events_udp, ev, "x")),
        "receiver bad": lambda: (expect(TypeError, ethernet.udp_event_receiver, None),
                                 expect(ValueError, ethernet.udp_event_receiver, "127.0.0.1", port, 5)),
        "receive": receive,
        "receiver dropped": dropped,
        "stop sender": stop.set,
    }


def dvs_ops(tmp):
    import types

    from morvel.io import dvs

    batches = [make_events(n, seed=n)[["t", "x", "y", "p"]] for n in (700, 0, 2500, 1300)]

    class EventsIterator:  # the vendor SDK's reader, as the readers call it
        def __init__(self, path, delta_t=0, max_duration=None):
            if path.endswith("broken.raw"):
                raise OSError("corrupt file")
            self.path = path

        def __iter__(self):
            return iter(batches)

    sdk = types.ModuleType("metavision_core")
    sdk.event_io = types.ModuleType("metavision_core.event_io")
    sdk.event_io.EventsIterator = EventsIterator
    saved = {k: sys.modules.get(k) for k in ("metavision_core", "metavision_core.event_io")}
    sys.modules.update({"metavision_core": sdk, "metavision_core.event_io": sdk.event_io})

    def restore():
        for k, v in saved.items():
            if v is None:
                sys.modules.pop(k, None)
            else:
                sys.modules[k] = v

    return {
        "read": lambda: list(dvs.read_prophesee("a.raw", 1000)),
        "dropped": lambda: drop_half_way(dvs.read_prophesee("a.raw", 1000), 2),
        "sdk error": lambda: expect(OSError, next, dvs.read_prophesee("broken.raw", 1000)),
        "bad args": lambda: (expect(ValueError, dvs.read_prophesee, "a.raw", 0),
                             expect(TypeError, dvs.read_iniVation, None)),
        "restore sdk": restore,
    }


def aedat4_file_ops(tmp):
    from morvel.io.recordings import Aedat4Reader, Aedat4Writer, write_aedat4

    ev = make_events(25_000)
    good, cut, damaged = (os.path.join(tmp, f"{n}.aedat4") for n in ("good", "cut", "damaged"))
    write_aedat4(good, ev, sensor_size=(640, 480), compression="lz4")
    data = open(good, "rb").read()
    with open(cut, "wb") as f:
        f.write(data[:len(data) // 2])
    start = 14 + 4 + int.from_bytes(data[14:18], "little")
    with open(damaged, "wb") as f:  # the first packet's LZ4 data garbled: a ValueError with a context
        f.write(data[:start + 8] + b"\x04\x22\x4d\x18" + b"\xff" * 64 + data[start + 8 + 68:])

    def write_refused():
        bad = ev[:10].copy()
        bad["p"][3] = 5
        expect(ValueError, write_aedat4, os.path.join(tmp, "never.aedat4"), bad)
        with Aedat4Writer(os.path.join(tmp, "w.aedat4"), compression="none") as w:
            w.append(ev[:100])
            expect(ValueError, w.append, bad)

    return {
        "read": lambda: (list(Aedat4Reader(good, chunk_size=7000)), Aedat4Reader(good).read_all(),
                         Aedat4Reader(good).read_time_window(1000, 90_000)),
        "dropped": lambda: drop_half_way(iter(Aedat4Reader(good, chunk_size=7000)), 2),
        "cut": lambda: expect(ValueError, list, Aedat4Reader(cut, chunk_size=7000)),
        "damaged": lambda: expect(ValueError, Aedat4Reader(damaged).read_all),
        "bad args": lambda: (expect(ValueError, Aedat4Reader, good, stream=9),
                             expect(TypeError, Aedat4Reader, good, stream=1.5),
                             expect(FileNotFoundError, Aedat4Reader, os.path.join(tmp, "none.aedat4"))),
        "write": lambda: write_aedat4(os.path.join(tmp, "out.aedat4"), ev[:5000], compression="zstd"),
        "write refused": write_refused,
    }


def transforms_ops(tmp):
    from morvel.io import transforms as tr
    ev = make_events(20_000, width=64, height=48)
    other = np.zeros(len(ev), [("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    for f in "txyp":
        other[f] = ev[f]
    outside = ev.copy()
    outside["x"][-1] = 64
    size = (64, 48)
    stream = tr.Denoise(size, 1000)
    return {
        "representations": lambda: (tr.voxel_grid(ev, size, 3), tr.time_surface(ev, size, 1e3),
                                    tr.stacked_histogram(ev, size, 2, 10_000), tr.count_image(other, size),
                                    tr.event_frames(ev, size, t_edges=[0, 10, 10**9])),
        "filters": lambda: (tr.crop(ev, 1, 1, 9, 9), tr.time_slice(other, 10, 10**6), tr.time_slice(ev, 10, 10**6),
                            tr.refractory(ev, size, 50, mask=True), tr.drop_pixels(ev, tr.hot_pixels(ev, size)),
                            tr.flip(other, size, "y"), tr.downsample(ev, 2), stream(ev), tr.Refractory(size, 9)(ev)),
        "refused": lambda: (expect(ValueError, tr.voxel_grid, outside, size, 3),
                            expect(ValueError, tr.denoise, outside, size, 10),
                            expect(ValueError, tr.event_frames, ev, size, t_edges=[5, 1]),
                            expect(TypeError, tr.crop, [1, 2], 0, 0, 1, 1)),
    }


def parallel_ops(tmp):
    from morvel.io.aedat4 import unpack_frames
    from morvel.io.formats import RawReader, decode_evt2, decode_evt3, encode_evt2, encode_evt3, events_to_frames
    from morvel.io.recordings import AtisReader, DatReader, EsReader
    from morvel.io.streaming import EVENT_DTYPE

    import morvel.io as mio

    ev = make_events(600_000, width=64, height=48)  # past 2 MiB of words: split over the pool
    raw2, raw3 = encode_evt2(ev), encode_evt3(ev)
    path = os.path.join(tmp, "r.raw")
    with open(path, "wb") as f:
        f.write(b"% format EVT2;height=48;width=64\n% end\n" + raw2)
    cut = os.path.join(tmp, "cut.raw")
    with open(cut, "wb") as f:
        f.write(b"% format EVT2;height=48;width=64\n% end\n" + raw2 + b"\x01")
    dat = os.path.join(tmp, "r.dat")
    mio.write(dat, ev, format="dat", sensor_size=(64, 48))
    kept = RawReader(path)
    out = np.empty(100_000, EVENT_DTYPE)
    frames = b"\x15" * (3 << 20)
    atis = os.path.join(tmp, "r.bin")
    mio.write(atis, make_events(600_000, width=64, height=48), format="atis")
    atis_cut = os.path.join(tmp, "cut.bin")
    with open(atis_cut, "wb") as f:
        f.write(open(atis, "rb").read() + b"\x01")
    es = os.path.join(tmp, "r.es")
    mio.write(es, ev[:50_000], format="es", sensor_size=(64, 48))

    def read_into():
        kept.rewind()
        while kept.read_into(out) == len(out):
            pass

    return {
        "split decoders": lambda: (decode_evt2(raw2, threads=2), decode_evt3(raw3, threads=2)),
        "raw files": lambda: (RawReader(path).read_all(threads=2), RawReader(path).read_time_window(100, 9000),
                              kept.read_time_window(1000, 90_000), DatReader(dat).read_all(threads=2)),
        "stream readers": lambda: (AtisReader(atis).read_all(threads=2), EsReader(es).read_all(),
                                   expect(ValueError, AtisReader(atis_cut).read_all, threads=2)),
        "read_into": read_into,
        "frames": lambda: (events_to_frames(ev, (64, 48), 5, threads=2), unpack_frames(frames, 64, 48, threads=2)),
        "refused": lambda: (expect(ValueError, RawReader(cut).read_all, threads=2),
                            expect(ValueError, kept.read_into, out[::2]), expect(ValueError, decode_evt3, raw3,
                                                                                  threads=0)),
    }


def h5_layout_ops(tmp):
    import h5py

    from morvel.io import h5

    ev = make_events(20_000, width=1280, height=720)
    paths = {}
    for layout in ("dsec", "prophesee"):
        paths[layout] = os.path.join(tmp, f"{layout}.h5")
        h5.write_h5(paths[layout], ev, layout=layout)
    mvsec = os.path.join(tmp, "mvsec.h5")
    with h5py.File(mvsec, "w") as f:
        f["davis/left/events"] = np.stack([ev["x"], ev["y"], ev["t"] / 1e6, ev["p"] * 2.0 - 1], axis=1)
    bad = os.path.join(tmp, "bad.h5")
    h5.write_h5(bad, ev, layout="prophesee")
    with h5py.File(bad, "a") as f:
        f["CD/events"].id.write_direct_chunk((16384,), bytes(12) + b"\xff" * 8)
        f["CD/events"].id.write_direct_chunk((0,), (5 << 2).to_bytes(4, "little") + bytes(8) + b"\x0f")
    unsorted = ev.copy()
    unsorted["t"][100] = 0
    chunk = h5._ecf_encode(ev[:5000])
    dsec, cd = paths["dsec"], paths["prophesee"]

    def write_all():
        for layout in ("dsec", "prophesee"):
            with h5.H5EventWriter(os.path.join(tmp, f"w_{layout}.h5"), layout=layout) as w:
                w.append(ev[:7000])
                w.append(ev[7000:])

    def refused():
        with h5.H5EventWriter(os.path.join(tmp, "r.h5"), layout="prophesee") as w:
            expect(ValueError, w.append, unsorted)
        expect(ValueError, h5.write_h5, os.path.join(tmp, "r2.h5"), unsorted, layout="dsec")
        expect(ValueError, h5.read_h5, bad)
        expect(ValueError, h5._ecf_decode, chunk[:40])

    return {
        "read": lambda: (h5.read_h5(dsec), h5.read_h5(mvsec), list(h5.H5EventReader(cd, chunk_size=9000))),
        "windows": lambda: [h5.H5EventReader(p).read_time_window(1000, 90_000) for p in (dsec, cd)],
        "ecf chunks": lambda: h5._ecf_decode(h5._ecf_encode(ev[:5000])),
        "write": write_all,
        "refused": refused,
    }


MODULES = {"streaming": streaming_ops, "encoding": encoding_ops, "throughput": throughput_ops,
           "formats": formats_ops, "aedat4": aedat4_ops, "ethernet": ethernet_ops, "dvs": dvs_ops,
           "recordings.aedat4": aedat4_file_ops, "transforms": transforms_ops,
           "formats.parallel": parallel_ops, "h5.layouts": h5_layout_ops}


@pytest.mark.parametrize("module", list(MODULES))
def test_no_leaks(module, tmp_path):
    pytest.importorskip(f"morvel.io.{module.split('.')[0]}")
    if module == "h5.layouts" and not CHECK_RSS:
        # Object counts come out the same in the sanitized build, and these
        # rounds are mostly h5py's own work there (about 50 s); the memory
        # errors ASan looks for are covered by tests/test_h5_layouts.py.
        pytest.skip("counted in the plain build")
    ops = MODULES[module](str(tmp_path))
    failures = []
    rounds = ROUNDS // 4 if module == "formats.parallel" else ROUNDS  # megabytes a call: fewer rounds show a leak
    for name, op in ops.items():
        try:
            assert_no_leak(op, rounds)
        except AssertionError as exc:
            failures.append(f"{name}: {exc}")
    assert not failures, "\n".join(failures)
