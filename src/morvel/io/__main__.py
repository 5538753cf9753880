"""Command line of morvel.io: ``python -m morvel.io COMMAND``."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time


def _demo(args: argparse.Namespace) -> int:
    import numpy as np

    from morvel.io.streaming import EVENT_DTYPE, BufferedEventReader, EventBuffer, generate_random_events

    n = args.events
    t0 = time.perf_counter()
    events = generate_random_events(n, sensor_size=(640, 480), duration_us=n)
    t_gen = time.perf_counter() - t0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "events.bin")
        t0 = time.perf_counter()
        events.tofile(path)
        t_write = time.perf_counter() - t0
        size_mb = os.path.getsize(path) / 1e6

        t0 = time.perf_counter()
        buffer = EventBuffer()
        chunks = 0
        for chunk in BufferedEventReader(path, chunk_size=args.chunk_size):
            buffer.append(chunk)
            chunks += 1
        back = buffer.flush()
        t_read = time.perf_counter() - t0

    ok = back.dtype == EVENT_DTYPE and np.array_equal(back, events)
    rate = lambda seconds: n / max(seconds, 1e-9)  # noqa: E731
    print(f"generated   {n:>12,} events in {t_gen:8.3f} s  ({rate(t_gen):>14,.0f} events/s)")
    print(f"wrote       {size_mb:>12,.1f} MB     in {t_write:8.3f} s  ({rate(t_write):>14,.0f} events/s)")
    print(f"read back   {len(back):>12,} events in {t_read:8.3f} s  ({rate(t_read):>14,.0f} events/s), "
          f"{chunks:,} chunks of {args.chunk_size:,}")
    print(f"round trip  {'identical' if ok else 'MISMATCH'}")
    return 0 if ok else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m morvel.io", description="morvel.io command line.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    demo = sub.add_parser("demo", help="write random events to a raw event file and read them back in chunks")
    demo.add_argument("--events", type=int, default=5_000_000, help="number of events (default 5,000,000)")
    demo.add_argument("--chunk-size", type=int, default=100_000, help="events per chunk (default 100,000)")
    demo.set_defaults(func=_demo)
    args = parser.parse_args(argv)
    if not getattr(args, "func", None):
        parser.print_help()
        return 2
    if getattr(args, "events", 1) < 0 or getattr(args, "chunk_size", 1) < 1:
        parser.error("--events must be >= 0 and --chunk-size >= 1")
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
