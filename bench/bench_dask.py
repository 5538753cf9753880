"""morvel.io.dask on a local cluster: conversions on 2 worker processes against 1, a reduction over
the windows of a 200 MB RAW file against a serial read, and the cost of building graphs.

One cluster runs at a time, so no idle workers sit beside the one measured. The outputs of one
conversion are removed before the next, outside the timing: unlinking their 200 MB was in every
timed call, and taking it out is most of why 2 workers against 1 went from 1.45-1.49x to
1.62-1.69x here. Before each timed reduction the scheduler is left to forget the last one's
tasks: the graphs' keys repeat, and results still held would be returned, not computed (a
reduction of 40 M events was seen taking 14 ms that way)."""

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


class _Clusters:
    """One local cluster at a time, of the workers a case asks for: the idle
    workers of another would take CPU from the one measured (and from the
    serial reads measured against it, which run with none)."""

    def __init__(self) -> None:
        self.cluster = self.client = None
        self.workers = 0

    def use(self, workers: int):
        import distributed

        if workers != self.workers:
            self.stop()
            self.cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                    host="127.0.0.1", dashboard_address="127.0.0.1:0")
            self.client = distributed.Client(self.cluster)
            self.workers = workers
        return self.client

    def stop(self) -> None:
        if self.client is not None:
            self.client.close()
            self.cluster.close()
        self.cluster = self.client = None
        self.workers = 0


def _settled(client):
    """Waits until the scheduler holds no tasks: the keys of read_events' graphs
    are the same from call to call, and results of the last call not yet
    released would be taken instead of computed."""
    deadline = time.monotonic() + 30
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) and time.monotonic() < deadline:
        time.sleep(0.005)
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
    clusters = _Clusters()
    while_cases_run(clusters.stop)
    out: list[Case] = []

    # convert: 8 recordings to HDF5. Each timed call takes its cluster (a
    # call that starts one is slow, and best-of leaves it out).
    src = os.path.join(tmp, "in")
    os.makedirs(src)
    n = 200_000 if quick else 2_000_000
    ev = camera_events(n, EVENT_DTYPE)
    for k in range(8):
        write_raw(os.path.join(src, f"r{k}.raw"), ev, format="EVT3", sensor_size=(1280, 720))
    cpu = {}

    def convert(workers, measure_cpu=False):
        name = f"out{workers}"

        def run():
            client = clusters.use(workers)
            before = _worker_cpu(client) if measure_cpu else 0.0
            t0 = time.perf_counter()
            mdask.convert(src, os.path.join(tmp, name), to="hdf5", client=client, compression=None)
            if measure_cpu:
                cpu[workers] = (_worker_cpu(client) - before) / (time.perf_counter() - t0)
        return run

    def clear():  # the last call's outputs, removed before the next (not timed)
        for workers in (1, 2):
            shutil.rmtree(os.path.join(tmp, f"out{workers}"), ignore_errors=True)

    for workers in (1, 2):  # twice each beforehand (the first warms the workers): their CPU use for the note
        clear()
        convert(workers)()
        clear()
        convert(workers, measure_cpu=True)()
    out.append(Case("dask", f"convert 8 RAW -> HDF5 ({8 * n / 1e6:g} M ev), 2 workers vs 1",
                    convert(2), {"1 worker": convert(1)}, target=1.5, units=(8 * n, "ev"),
                    setup=clear, repeat=4, note=f"workers' CPU use (CPU seconds a second): 2 workers {cpu[2]:.2f}, "
                                   f"1 worker {cpu[1]:.2f}; one cluster at a time"))

    # A reduction over the windows of a 200 MB RAW file (quick: 10 MB).
    big = repeated_raw(os.path.join(tmp, "big.raw"), ev, 1 if quick else 20)
    mb = os.path.getsize(big) / 1e6
    expect = RawReader(big).read_all(threads=1)["t"].max()

    def serial(threads=None):
        return lambda: RawReader(big).read_all(threads=threads)["t"].max()

    # Not timed: the cluster, settled, for ours; none at all beside the
    # serial reads (its idle workers would take CPU from them).
    def settle_two():
        _settled(clusters.use(2))

    def reduce_two():
        two = clusters.use(2)
        assert mdask.read_events(big, events_per_partition=2_000_000).t.max().compute(scheduler=two) == expect

    out.append(Case("dask", f"read_events(RAW {mb:.0f} MB).t.max() on 2 workers", reduce_two,
                    {"serial read_all, one thread": serial(1), "serial read_all, all cores": serial()},
                    target=1.4, target_ref="serial read_all, one thread", repeat=4, setup=settle_two,
                    ref_setup=clusters.stop,
                    note="each worker keeps its reader of the file, and the reader its index, from call to "
                         "call; only the partitions' maxima reach the client"))

    # The same with the expression fused first: compute() runs a partition's read, column
    # selection, string conversion and the reduction's chunk as four tasks, .optimize() as one.
    def reduce_fused():
        two = clusters.use(2)
        frame = mdask.read_events(big, events_per_partition=2_000_000)
        assert frame.t.max().optimize().compute(scheduler=two) == expect

    out.append(Case("dask", f"read_events(RAW {mb:.0f} MB).t.max().optimize() on 2 workers", reduce_fused,
                    {"serial read_all, one thread": serial(1)},
                    repeat=4, setup=settle_two, ref_setup=clusters.stop, note="one task a partition instead of four: Dask's compute() does not fuse them"))

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
