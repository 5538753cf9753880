"""dvs: re-chunking vendor batches into EVENT_DTYPE chunks.

The Prophesee reader runs over a stand-in metavision_core (injected into
sys.modules, bench only) whose EventsIterator yields prebuilt batches of
Prophesee's own record type, so the time is the conversion and re-chunking
alone. The reference is the plain NumPy formulation: convert each batch field
by field, then concatenate the pending events and slice off a chunk, again and
again. Where dv-processing is installed, a real AEDAT4 file is read too.
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
import types

import numpy as np

from common import Case

# Prophesee's event record: fields in another order and of other types.
EVENT_CD = np.dtype({"names": ["x", "y", "p", "t"], "formats": ["<u2", "<u2", "<i2", "<i8"],
                     "offsets": [0, 2, 4, 8], "itemsize": 16})


def numpy_rechunk(batches, chunk_size, event_dtype, names=("t", "x", "y", "p")):
    """The plain NumPy algorithm: convert, append, concatenate the pending list per chunk."""
    pending, pending_len = [], 0
    for batch in batches:
        ev = np.empty(len(batch), dtype=event_dtype)
        ev["t"] = batch[names[0]].astype(np.uint64)
        ev["x"] = batch[names[1]].astype(np.uint16)
        ev["y"] = batch[names[2]].astype(np.uint16)
        ev["p"] = batch[names[3]].astype(np.uint8)
        pending.append(ev)
        pending_len += len(ev)
        while pending_len >= chunk_size:
            buffer = np.concatenate(pending)
            yield buffer[:chunk_size]
            remainder = buffer[chunk_size:]
            pending = [remainder] if len(remainder) else []
            pending_len = len(remainder)
    if pending_len:
        yield np.concatenate(pending)


def numpy_rechunk_linear(batches, chunk_size, event_dtype):
    """NumPy without the repeated concatenation (one batch only): convert once, copy slices."""
    (batch,) = batches
    ev = np.empty(len(batch), dtype=event_dtype)
    for f in "txyp":
        ev[f] = batch[f]
    for start in range(0, len(ev), chunk_size):
        yield ev[start:start + chunk_size].copy()


def install_stand_in(state: dict) -> None:
    class EventsIterator:
        def __init__(self, path, delta_t=0, max_duration=None):
            pass

        def __iter__(self):
            return iter(state["batches"])

    pkg = types.ModuleType("metavision_core")
    pkg.event_io = types.ModuleType("metavision_core.event_io")
    pkg.event_io.EventsIterator = EventsIterator
    sys.modules["metavision_core"] = pkg
    sys.modules["metavision_core.event_io"] = pkg.event_io


def consume(chunks, expected: int) -> None:
    total = 0
    for c in chunks:
        total += len(c)
    assert total == expected, (total, expected)


def cases(quick: bool) -> list[Case]:
    from morvel.io.dvs import read_iniVation, read_prophesee
    from morvel.io.streaming import EVENT_DTYPE, generate_random_events

    out: list[Case] = []
    state: dict = {}
    install_stand_in(state)

    n = 1_000_000 if quick else 10_000_000
    chunk = 10_000
    events = generate_random_events(n, duration_us=n)
    source = np.empty(n, dtype=EVENT_CD)
    for f in "txyp":
        source[f] = events[f]

    def batches_of(size):
        return [source[i:i + size] for i in range(0, n, size)]

    for size, target, repeat in ((1_000, 2.0, 5), (n, None, 1)):
        batches = batches_of(size)

        def setup(batches=batches):
            state["batches"] = batches

        refs = {"numpy concatenate": lambda b=batches: consume(numpy_rechunk(b, chunk, EVENT_DTYPE), n)}
        note = ""
        if len(batches) == 1:
            refs["numpy convert once, copy slices"] = lambda b=batches: consume(
                numpy_rechunk_linear(b, chunk, EVENT_DTYPE), n)
            note = "the concatenate reference copies the pending events again for every chunk (quadratic)"
        out.append(Case("dvs", f"read_prophesee {n / 1e6:g}M ev, batches {size:,} -> {chunk:,}",
                        lambda: consume(read_prophesee("bench.raw", chunk), n), refs, target=target,
                        target_ref="numpy concatenate", setup=setup, units=(n, "ev"), repeat=repeat, note=note))

    # --- a real AEDAT4 file through dv-processing -----------------------------------
    try:
        import dv_processing as dv
    except ImportError:
        return out
    tmp = tempfile.mkdtemp(prefix="morvel-bench-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    path = os.path.join(tmp, "events.aedat4")
    n_file, per_store = (200_000, 2_000) if quick else (2_000_000, 2_000)
    writer = dv.io.MonoCameraWriter(path, dv.io.MonoCameraWriter.EventOnlyConfig("bench", (640, 480)))
    for k in range(n_file // per_store):
        writer.writeEvents(dv.data.generate.uniformlyDistributedEvents(1000 * (k + 1), (640, 480), per_store, k))
    del writer

    def numpy_inivation():
        rec = dv.io.MonoCameraRecording(path)

        def batches():
            while rec.isRunning():
                batch = rec.getNextEventBatch()
                if batch is None:
                    break
                yield batch.numpy()

        consume(numpy_rechunk(batches(), chunk, EVENT_DTYPE, ("timestamp", "x", "y", "polarity")), n_file)

    out.append(Case("dvs", f"read_iniVation AEDAT4 {n_file / 1e6:g}M ev -> {chunk:,}",
                    lambda: consume(read_iniVation(path, chunk), n_file), {"numpy concatenate": numpy_inivation},
                    units=(n_file, "ev"), note="mostly dv-processing's own decoding"))
    return out
