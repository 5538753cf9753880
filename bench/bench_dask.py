"""morvel.io.dask on a local cluster: conversions on 2 worker processes against 1, a reduction over
the windows of a 200 MB RAW file against a serial read, and the cost of building graphs."""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile
import time

import numpy as np

from bench_parallel import repeated_raw
from bench_transforms import camera_events
from common import Case, while_cases_run


def _cluster(workers: int):
    import distributed

    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0")
    client = distributed.Client(cluster)
    while_cases_run(cluster.close)
    while_cases_run(client.close)
    return client


def _worker_cpu(client) -> float:
    """CPU seconds the client's workers have used so far."""
    def cpu():
        t = os.times()
        return t.user + t.system

    return sum(client.run(cpu).values())


def cases(quick: bool) -> list[Case]:
    import morvel.io.dask as mdask
    from morvel.io.formats import RawReader, write_raw
    from morvel.io.streaming import EVENT_DTYPE

    tmp = tempfile.mkdtemp(prefix="morvel-bench-dask-")
    atexit.register(shutil.rmtree, tmp, ignore_errors=True)
    one, two = _cluster(1), _cluster(2)
    out: list[Case] = []

    # convert: 8 recordings to HDF5.
    src = os.path.join(tmp, "in")
    os.makedirs(src)
    n = 200_000 if quick else 2_000_000
    ev = camera_events(n, EVENT_DTYPE)
    for k in range(8):
        write_raw(os.path.join(src, f"r{k}.raw"), ev, format="EVT3", sensor_size=(1280, 720))
    cpu = {}

    def convert(client, name):
        def run():
            shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)
            before = _worker_cpu(client)
            t0 = time.perf_counter()
            mdask.convert(src, os.path.join(tmp, name), to="hdf5", client=client, compression=None)
            cpu[name] = (_worker_cpu(client) - before) / (time.perf_counter() - t0)
        return run

    convert(two, "two")()  # once each beforehand: the workers' CPU use for the note
    convert(one, "one")()
    out.append(Case("dask", f"convert 8 RAW -> HDF5 ({8 * n / 1e6:g} M ev), 2 workers vs 1",
                    convert(two, "two"), {"1 worker": convert(one, "one")}, target=1.5, units=(8 * n, "ev"),
                    repeat=3, note=f"workers' CPU use (CPU seconds a second): 2 workers {cpu['two']:.2f}, "
                                   f"1 worker {cpu['one']:.2f}"))

    # A reduction over the windows of a 200 MB RAW file (quick: 10 MB).
    big = repeated_raw(os.path.join(tmp, "big.raw"), ev, 1 if quick else 20)
    mb = os.path.getsize(big) / 1e6
    expect = RawReader(big).read_all(threads=1)["t"].max()

    def reduce_two():
        assert mdask.read_events(big, events_per_partition=2_000_000).t.max().compute(scheduler=two) == expect

    out.append(Case("dask", f"read_events(RAW {mb:.0f} MB).t.max() on 2 workers", reduce_two,
                    {"serial read_all, one thread": lambda: RawReader(big).read_all(threads=1)["t"].max(),
                     "serial read_all, all cores": lambda: RawReader(big).read_all()["t"].max()},
                    target=1.4, target_ref="serial read_all, one thread", repeat=3,
                    note="each worker indexes the file once for its windows (within the call); only the "
                         "partitions' maxima reach the client"))

    # The same with the expression fused first: compute() runs a partition's read, column
    # selection, string conversion and the reduction's chunk as four tasks, .optimize() as one.
    def reduce_fused():
        frame = mdask.read_events(big, events_per_partition=2_000_000)
        assert frame.t.max().optimize().compute(scheduler=two) == expect

    out.append(Case("dask", f"read_events(RAW {mb:.0f} MB).t.max().optimize() on 2 workers", reduce_fused,
                    {"serial read_all, one thread": lambda: RawReader(big).read_all(threads=1)["t"].max()},
                    repeat=3, note="one task a partition instead of four: Dask's compute() does not fuse them"))

    # Graphs: 1,000 small recordings, metadata only.
    many = os.path.join(tmp, "many")
    os.makedirs(many)
    small = ev[:2000]
    count = 100 if quick else 1000
    for k in range(count):
        write_raw(os.path.join(many, f"m{k:04d}.raw"), small, format="EVT3", sensor_size=(1280, 720))
    out.append(Case("dask", f"read_events graph of {count:,} recordings (metadata only)",
                    lambda: mdask.read_events(many, window_us=1_000_000), repeat=3,
                    note="target: under 1 s per 1,000 recordings"))
    return out
