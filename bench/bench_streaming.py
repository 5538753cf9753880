"""streaming: file reading, random events, the event buffer."""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile

import numpy as np

from common import Case


def cases(quick: bool) -> list[Case]:
    from morvel.io.streaming import EVENT_DTYPE, BufferedEventReader, EventBuffer, generate_random_events

    out: list[Case] = []

    # --- BufferedEventReader over a file in the page cache ------------------
    n_file = 1_000_000 if quick else 8_000_000  # 8 M events = 104 MB
    tmp = tempfile.mkdtemp(prefix="morvel-bench-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    path = os.path.join(tmp, "events.bin")
    generate_random_events(n_file, duration_us=n_file).tofile(path)
    with open(path, "rb") as f:  # warm the page cache
        while f.read(1 << 24):
            pass
    chunk = 100_000
    nbytes = chunk * EVENT_DTYPE.itemsize

    def ours_read():
        total = 0
        for c in BufferedEventReader(path, chunk_size=chunk):
            total += len(c)
        assert total == n_file

    def bare_read():
        total = 0
        with open(path, "rb") as f:
            while data := f.read(nbytes):
                total += len(data)
        assert total == n_file * EVENT_DTYPE.itemsize

    def numpy_read():
        total = 0
        with open(path, "rb") as f:
            while data := f.read(nbytes):
                total += len(np.frombuffer(data, dtype=EVENT_DTYPE))
        assert total == n_file

    mb = os.path.getsize(path) / 1e6
    out.append(Case("streaming", f"BufferedEventReader {mb:.0f} MB, chunks of 100k", ours_read,
                    {"f.read loop": bare_read, "f.read+frombuffer": numpy_read},
                    target=1 / 1.2, target_ref="f.read loop", units=(mb, "MB")))

    # --- generate_random_events ---------------------------------------------
    n = 500_000 if quick else 5_000_000

    def numpy_generate():
        ev = np.empty(n, dtype=EVENT_DTYPE)
        ev["t"] = np.sort(np.random.randint(0, 1_000_000, n, dtype=np.uint64))
        ev["x"] = np.random.randint(0, 640, n, dtype=np.uint16)
        ev["y"] = np.random.randint(0, 480, n, dtype=np.uint16)
        ev["p"] = np.random.randint(0, 2, n, dtype=np.uint8)
        return ev

    out.append(Case("streaming", f"generate_random_events({n:,})", lambda: generate_random_events(n),
                    {"numpy randint+sort": numpy_generate}, target=3, units=(n, "ev")))
    long_span = 2**40
    out.append(Case("streaming", f"generate_random_events({n:,}, duration 2^40)",
                    lambda: generate_random_events(n, duration_us=long_span),
                    {"numpy randint+sort": lambda: np.sort(np.random.randint(0, long_span, n, dtype=np.uint64))},
                    units=(n, "ev"), note="reference draws and sorts t only"))

    # --- EventBuffer ----------------------------------------------------------
    total = 500_000 if quick else 5_000_000
    piece = generate_random_events(10_000)
    steps = total // len(piece)

    def ours_buffer():
        buf = EventBuffer(10_000)
        for _ in range(steps):
            buf.append(piece)
        return buf.flush()

    def numpy_buffer():
        storage = np.empty(10_000, dtype=EVENT_DTYPE)
        size = 0
        for _ in range(steps):
            k = len(piece)
            if size + k > len(storage):
                cap = len(storage)
                while size + k > cap:
                    cap *= 2
                grown = np.empty(cap, dtype=EVENT_DTYPE)
                grown[:size] = storage[:size]
                storage = grown
            storage[size:size + k] = piece
            size += k
        return storage[:size].copy()

    out.append(Case("streaming", f"EventBuffer append 10k x {steps}, flush", ours_buffer,
                    {"numpy doubling array": numpy_buffer}, target=1.0, units=(total, "ev")))
    return out
