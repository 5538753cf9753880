"""Command line of morvel.io: ``python -m morvel.io COMMAND [options]``.

Commands:
    bench   run the throughput benchmark and print its report (the main job)
    demo    write random events to a raw event file and read them back in chunks
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time


class _Parser(argparse.ArgumentParser):
    """Argument errors are one line on stderr and exit status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        sys.stderr.write(f"{self.prog}: error: {message}\n")
        sys.exit(2)


class _Progress:
    """A spinner with the elapsed time on stderr while a long call runs (terminals only)."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.enabled = sys.stderr.isatty()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        start = time.perf_counter()
        frames = "|/-\\"
        k = 0
        while not self._stop.wait(0.1):
            sys.stderr.write(f"\r{frames[k % 4]} {self.label} {time.perf_counter() - start:6.1f} s")
            sys.stderr.flush()
            k += 1

    def __enter__(self) -> "_Progress":
        if self.enabled:
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.enabled:
            self._stop.set()
            self._thread.join()
            sys.stderr.write("\r" + " " * (len(self.label) + 12) + "\r")
            sys.stderr.flush()


def _sensor_size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT, got {text!r}") from None
    if not (1 <= w <= 65536 and 1 <= h <= 65536):
        raise argparse.ArgumentTypeError(f"width and height must be between 1 and 65536, got {text!r}")
    return w, h


def _positive(text: str) -> int:
    try:
        value = int(text.replace("_", "").replace(",", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def _bench(args: argparse.Namespace) -> int:
    from morvel.io.throughput import benchmark_throughput

    with _Progress(f"benchmarking {args.events:,} events"):
        result = benchmark_throughput(
            n_events=args.events,
            sensor_size=args.sensor_size,
            accumulation_us=args.accumulation_us,
            include_encoding=args.encoding,
            chunk_size=args.chunk_size,
        )
    print(result.summary())
    return 0


def _demo(args: argparse.Namespace) -> int:
    import numpy as np

    from morvel.io.streaming import EVENT_DTYPE, BufferedEventReader, EventBuffer, generate_random_events

    n = args.events
    t0 = time.perf_counter()
    events = generate_random_events(n, sensor_size=(640, 480), duration_us=max(n, 1))
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

    def rate(seconds: float) -> float:
        return n / max(seconds, 1e-9)

    print(f"generated   {n:>12,} events in {t_gen:8.3f} s  ({rate(t_gen):>14,.0f} events/s)")
    print(f"wrote       {size_mb:>12,.1f} MB     in {t_write:8.3f} s  ({rate(t_write):>14,.0f} events/s)")
    print(f"read back   {len(back):>12,} events in {t_read:8.3f} s  ({rate(t_read):>14,.0f} events/s), "
          f"{chunks:,} chunks of {args.chunk_size:,}")
    print(f"round trip  {'identical' if ok else 'MISMATCH'}")
    return 0 if ok else 1


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python -m morvel.io", description="morvel.io command line.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    bench = sub.add_parser("bench", help="run the throughput benchmark and print its report")
    bench.add_argument("--events", type=_positive, default=5_000_000, help="number of events (default 5,000,000)")
    bench.add_argument("--sensor-size", type=_sensor_size, default=(640, 480), metavar="WxH",
                       help="sensor width x height (default 640x480)")
    bench.add_argument("--accumulation-us", type=_positive, default=33333, metavar="US",
                       help="frame accumulation window in microseconds (default 33333)")
    bench.add_argument("--chunk-size", type=_positive, default=100_000, help="ingestion chunk (default 100,000)")
    bench.add_argument("--encoding", action="store_true", help="include the spike-encoding phase")
    bench.set_defaults(func=_bench)

    demo = sub.add_parser("demo", help="write random events to a raw event file and read them back in chunks")
    demo.add_argument("--events", type=_positive, default=5_000_000, help="number of events (default 5,000,000)")
    demo.add_argument("--chunk-size", type=_positive, default=100_000, help="events per chunk (default 100,000)")
    demo.set_defaults(func=_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "func", None):
        parser.print_help()
        return 2
    try:
        return args.func(args)
    except (ValueError, TypeError, OSError) as exc:  # bad values reach us as these: one line, no traceback
        sys.stderr.write(f"{parser.prog} {args.command}: error: {exc}\n")
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
