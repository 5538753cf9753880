"""Command line of morvel.io: ``python -m morvel.io COMMAND [options]``.

Commands:
    bench     run the throughput benchmark and print its report (the main job)
    info      what a recording holds: kind, events, time span, rate, sensor
    convert   a recording of any readable kind to HDF5, raw records or RAW
    demo      write random events to a raw event file and read them back in chunks
"""

from __future__ import annotations

import argparse
import os
import signal
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


def _gzip_level(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a gzip level from 0 to 9, got {text!r}") from None
    if not 0 <= value <= 9:
        raise argparse.ArgumentTypeError(f"expected a gzip level from 0 to 9, got {value}")
    return value


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


# --- recordings of every kind ------------------------------------------------------
#
# Everything about formats is the registry's (morvel.io.registry); "raw" stands
# for a RAW file whose event format its header (or --format / --out-format) names.

from morvel.io.registry import _RAW_FORMATS as _RAW, _RAW_NAMES as _RAW_LABELS, FORMATS  # noqa: E402

KINDS = (*FORMATS, "raw")
WRITABLE = (*(name for name, f in FORMATS.items() if f.writes), "raw")


class UserError(Exception):
    """A problem with the user's files or options: reported in one line."""


def _label(rec) -> str:
    """What `info` and `convert` call a recording's kind."""
    if rec.format in ("evt2", "evt2.1", "evt3"):
        return f"RAW {_RAW_LABELS[rec.format]}"
    if rec.format == "hdf5":
        from morvel.io.h5 import _detect_layout, _ensure_h5py

        try:
            with _ensure_h5py().File(rec.path, "r") as f:
                return f"HDF5 ({_detect_layout(f, rec._reader.config)} layout)"
        except (ValueError, KeyError, FileNotFoundError, PermissionError):
            raise
        except Exception as exc:  # what h5py raises for a broken file, whatever its kind
            raise UserError(f"{rec.path}: broken HDF5 file: {type(exc).__name__}: {_one_line(exc)}") from exc
    return {"events": "EVENT_DTYPE records", "dat": "DAT", "aedat4": "AEDAT4", "aedat2": "AEDAT 2.0",
            "aedat3": "AEDAT 3.1", "atis": "ATIS binary", "es": "Event Stream", "csv": "text (CSV)",
            "npy": "NumPy .npy", "npz": "NumPy .npz"}.get(rec.format, rec.format)



def open_recording(path: str, kind: str | None, chunk_size: int, raw_format: str | None = None,
                   stream: str | None = None):
    """The input as a registry Recording (kind: a registry name, "raw", or None: detected;
    stream: the camera or stream of HDF5 and AEDAT4 files)."""
    import morvel.io as mio

    if kind == "raw" and raw_format:
        kind = _RAW[raw_format]
    if kind in (None, "raw"):
        try:
            kind = mio.detect_format(path)
        except ValueError as exc:
            if not (raw_format and "names no event format" in str(exc)):
                raise UserError(str(exc)) from None
            kind = _RAW[raw_format]
    if raw_format and kind in _RAW_LABELS:
        kind = _RAW[raw_format]
    if stream is not None:
        if kind not in ("hdf5", "aedat4"):
            raise UserError(f"{path}: --stream applies to HDF5 (M3ED, MVSEC) and AEDAT4 files, not {kind}")
        return mio.open(path, kind, chunk_size=chunk_size, stream=stream)
    return mio.open(path, kind, chunk_size=chunk_size)


def _fmt_t(us: int) -> str:
    return f"{us:,} us"


def _info(args: argparse.Namespace) -> int:
    failed = 0
    for i, path in enumerate(args.files):
        if i:
            print()
        try:
            with open_recording(path, args.kind, args.chunk_size, args.format, args.stream) as rec:
                label = _label(rec)
                span = rec.time_span()
                if span is not None:  # from the file's index, without reading the events
                    n, (first, last) = rec.count_events() or 0, span
                else:
                    n, first, last = 0, None, None
                    for chunk in rec:
                        if len(chunk):
                            if first is None:
                                first = int(chunk["t"][0])
                            last = int(chunk["t"][-1])
                            n += len(chunk)
        except Exception as exc:  # an unreadable file: one line, and on to the next one
            sys.stderr.write(f"{path}: error: {_one_line(exc)}\n")
            failed += 1
            continue
        print(path)
        print(f"  kind:        {label}")
        print(f"  events:      {n:,}")
        if n:
            span_s = (last - first) / 1e6
            print(f"  first t:     {_fmt_t(first)}")
            print(f"  last t:      {_fmt_t(last)}")
            print(f"  duration:    {span_s:,.6f} s")
            print(f"  mean rate:   {n / span_s:,.0f} events/s" if span_s > 0 else "  mean rate:   n/a (one instant)")
        if rec.sensor_size:
            print(f"  sensor:      {rec.sensor_size[0]}x{rec.sensor_size[1]}")
    return 1 if failed else 0


class _Bar:
    """Events done, rate and time left on stderr (terminals only)."""

    def __init__(self, total: int | None) -> None:
        self.total = total
        self.enabled = sys.stderr.isatty()
        self.start = self.shown = time.perf_counter()

    def update(self, done: int, final: bool = False) -> None:
        now = time.perf_counter()
        if not self.enabled or (now - self.shown < 0.2 and not final):
            return
        self.shown = now
        rate = done / max(now - self.start, 1e-9)
        text = f"{done:,} events  {rate:,.0f} events/s"
        if self.total:
            left = (self.total - done) / rate if rate > 0 else 0.0
            text = f"{100 * done / self.total:5.1f}%  " + text + f"  {left:,.0f} s left"
        sys.stderr.write("\r" + text.ljust(70))
        if final:
            sys.stderr.write("\n")
        sys.stderr.flush()


def _writer_options(args: argparse.Namespace, out_kind: str) -> dict:
    if out_kind == "hdf5":
        layout = getattr(args, "h5_layout", "separate")
        options = {"layout": layout} if layout != "separate" else {}
        if layout == "prophesee":  # always ECF
            if args.compression != "none":
                raise UserError("--h5-layout prophesee is always compressed with ECF; drop --compression")
            return options
        if layout == "dsec" and args.compression == "none":  # DSEC's Blosc/Zstandard where hdf5plugin is
            return options
        return {**options, "compression": None if args.compression == "none" else args.compression,
                "compression_opts": args.compression_opts}
    if out_kind == "aedat4" and args.aedat4_compression:
        return {"compression": args.aedat4_compression}
    return {}


def _convert_many(args: argparse.Namespace) -> int:
    """Many recordings (files, folders) into the folder OUT on a Dask cluster."""
    try:
        import distributed

        import morvel.io.dask as mdask
    except ImportError as exc:
        raise UserError(str(exc)) from None
    if args.to_kind is None:
        raise UserError(f"converting several recordings needs --to {{{','.join(WRITABLE)}}}")
    if args.sensor_size:
        raise UserError("--sensor-size applies to one recording")
    if args.stream:
        raise UserError("--stream applies to one recording")
    out_kind = _RAW[args.out_format] if args.to_kind == "raw" else args.to_kind
    from_kind = _RAW[args.format] if args.format else (None if args.from_kind == "raw" else args.from_kind)
    client = cluster = None
    if args.scheduler:
        client = distributed.Client(args.scheduler)
    elif args.workers:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address="127.0.0.1:0")
        client = distributed.Client(cluster)
    try:
        done = mdask.convert(args.input, args.output, to=out_kind, client=client, format=from_kind,
                             chunk_size=args.chunk_size, **_writer_options(args, out_kind))
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    for r in done:
        print(f"{r['path']} -> {r['output']} ({out_kind}): {r['events']:,} events, {r['seconds']:.2f} s")
    print(f"{len(done)} recordings, {sum(r['events'] for r in done):,} events, "
          f"{sum(r['bytes_in'] for r in done):,} bytes in, {sum(r['bytes_out'] for r in done):,} bytes out")
    return 0


def _convert(args: argparse.Namespace) -> int:
    import morvel.io as mio
    from morvel.io.registry import format_from_name

    if len(args.input) > 1 or os.path.isdir(args.input[0]) or args.workers or args.scheduler:
        return _convert_many(args)
    src, dst = args.input[0], args.output
    out_kind = args.to_kind or format_from_name(dst)
    if out_kind is None:
        raise UserError(f"{dst}: cannot tell the output kind from the name; use --to {{{','.join(WRITABLE)}}}")
    if out_kind == "raw" or (args.to_kind is None and out_kind in _RAW_LABELS):
        out_kind = _RAW[args.out_format]
    if os.path.abspath(src) == os.path.abspath(dst):
        raise UserError("the output would replace the input")
    rec = open_recording(src, args.from_kind, args.chunk_size, args.format, args.stream)
    label = _label(rec)
    sensor = args.sensor_size or rec.sensor_size
    bar = _Bar(rec.count_events() if sys.stderr.isatty() else None)
    options = _writer_options(args, out_kind)
    done = 0
    writer = mio.Writer(dst, out_kind, sensor_size=sensor, **options)
    try:
        # Ctrl-C is taken between chunks: raised inside a library's callback it
        # could be swallowed, and the conversion would end as if complete.
        interrupted: list[int] = []
        previous = signal.signal(signal.SIGINT, lambda signum, frame: interrupted.append(signum))
        try:
            for chunk in rec:
                writer.append(chunk)
                done += len(chunk)
                bar.update(done)
                if interrupted:
                    raise KeyboardInterrupt
        finally:
            signal.signal(signal.SIGINT, previous)
        if interrupted:
            raise KeyboardInterrupt
        writer.close()
    except BaseException:
        writer.discard()
        raise
    finally:
        rec.close()
    bar.update(done, final=True)
    print(f"{src} ({label}) -> {dst} ({out_kind}): {done:,} events")
    return 0


def _one_line(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


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

    info = sub.add_parser("info", help="what recordings hold: kind, events, time span, rate, sensor")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--kind", choices=KINDS, help="the files' kind (default: from their content and names)")
    info.add_argument("--format", choices=tuple(_RAW), help="event format of RAW files without one in the header")
    info.add_argument("--chunk-size", type=_positive, default=1_000_000, help=argparse.SUPPRESS)
    info.add_argument("--stream", help="the camera of M3ED and MVSEC files ('left' or 'right') or the stream of "
                      "AEDAT4 files (default: the first)")
    info.set_defaults(func=_info)

    convert = sub.add_parser(
        "convert", help="convert a recording of any kind (RAW, DAT, AEDAT4, HDF5, records) to any other",
        description="Convert IN to OUT, streaming. Kinds come from the contents of IN and the name of OUT "
                    "(.raw, .dat, .aedat4, .h5/.hdf5, .bin/.events) unless --from/--to say otherwise. OUT is written "
                    "under a temporary name and renamed at the end, so a failed or interrupted conversion "
                    "never leaves a partial file under its name. Several INs (or a folder) are converted into "
                    "the folder OUT in parallel on a Dask cluster (the 'dask' extra): local worker processes "
                    "(--workers, default one per core) or a running scheduler (--scheduler).")
    convert.add_argument("input", metavar="IN", nargs="+")
    convert.add_argument("output", metavar="OUT")
    where = convert.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive, metavar="N", help="local Dask worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    convert.add_argument("--from", dest="from_kind", choices=KINDS, help="kind of IN")
    convert.add_argument("--to", dest="to_kind", choices=WRITABLE, help="kind of OUT")
    convert.add_argument("--chunk-size", type=_positive, default=1_000_000, help="events per step (default 1,000,000)")
    convert.add_argument("--compression", choices=("none", "gzip", "lzf"), default="none",
                         help="HDF5 compression (default none)")
    convert.add_argument("--compression-opts", type=_gzip_level, default=4, metavar="LEVEL",
                         help="gzip level, 0 to 9 (default 4)")
    convert.add_argument("--h5-layout", choices=("separate", "compound", "dsec", "prophesee"), default="separate",
                         help="layout of an HDF5 OUT (default separate; dsec uses Blosc/Zstandard unless "
                              "--compression says otherwise, prophesee is ECF)")
    convert.add_argument("--stream", help="the camera of an M3ED or MVSEC IN ('left' or 'right') or the stream "
                         "of an AEDAT4 IN (default: the first)")
    convert.add_argument("--format", choices=tuple(_RAW), help="event format of a RAW IN without one in its header")
    convert.add_argument("--out-format", choices=tuple(_RAW), default="EVT3", help="event format of a RAW OUT")
    convert.add_argument("--aedat4-compression", choices=("none", "lz4", "lz4_high", "zstd", "zstd_high"),
                         help="compression of an AEDAT4 OUT (default lz4)")
    convert.add_argument("--sensor-size", type=_sensor_size, metavar="WxH", help="sensor size written to OUT "
                         "(default: the one IN records)")
    convert.set_defaults(func=_convert)

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
    except (UserError, ValueError, TypeError, OSError, ImportError, KeyError) as exc:
        # bad values and unreadable files reach us as these: one line, no traceback
        sys.stderr.write(f"{parser.prog} {args.command}: error: {_one_line(exc)}\n")
        return 2 if isinstance(exc, (TypeError,)) or args.command == "bench" else 1
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
