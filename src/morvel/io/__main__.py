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

KINDS = ("raw", "hdf5", "events", "aedat4")
_SUFFIXES = {".raw": "raw", ".h5": "hdf5", ".hdf5": "hdf5", ".hdf": "hdf5", ".bin": "events", ".dat": "events",
             ".events": "events", ".aedat4": "aedat4"}
_HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"


class UserError(Exception):
    """A problem with the user's files or options: reported in one line."""


def kind_from_name(path: str) -> str | None:
    return _SUFFIXES.get(os.path.splitext(path)[1].lower())


def detect_kind(path: str) -> str:
    """The kind of an existing recording, from its first bytes (then its name)."""
    with open(path, "rb") as f:
        head = f.read(16)
    if head.startswith(_HDF5_MAGIC):
        return "hdf5"
    if head.startswith(b"#!AER-DAT4"):
        return "aedat4"
    if head.startswith(b"% "):
        return "raw"
    named = kind_from_name(path)
    if named in ("hdf5", "raw", "aedat4"):  # an HDF5 user block, a header-less RAW file, ...
        return named
    size = os.path.getsize(path)
    if size % 13 == 0:
        return "events"
    raise UserError(f"{path}: not a recognised recording (RAW, HDF5, AEDAT4, or EVENT_DTYPE records; "
                    f"{size} bytes is no whole number of 13-byte records)")


class Recording:
    """What the commands need of an input: chunks, and what is known up front."""

    def __init__(self, path: str, kind: str, chunk_size: int, raw_format: str | None = None) -> None:
        self.path, self.kind, self.chunk_size = path, kind, chunk_size
        self.sensor_size: tuple[int, int] | None = None
        self.label = kind
        self.total: int | None = None  # events, when known without reading them
        if kind == "raw":
            from morvel.io.formats import RawReader

            self._reader = RawReader(path, chunk_size=chunk_size, format=raw_format)
            self.sensor_size = self._reader.sensor_size
            self.label = f"RAW {self._reader.format}"
        elif kind == "hdf5":
            from morvel.io.h5 import H5EventReader, _detect_layout, _ensure_h5py

            h5py = _ensure_h5py()
            self._reader = H5EventReader(path, chunk_size=chunk_size)
            self.total = self._reader.n_events  # finds what is wrong with the layout or the file first
            try:
                with h5py.File(path, "r") as f:
                    config = self._reader.config
                    layout = _detect_layout(f, config)
                    group = f[config.events_group] if config.events_group else f
                    attrs = group.attrs
                    if "sensor_width" in attrs and "sensor_height" in attrs:
                        self.sensor_size = (int(attrs["sensor_width"]), int(attrs["sensor_height"]))
            except (ValueError, KeyError, FileNotFoundError, PermissionError):
                raise
            except Exception as exc:  # what h5py raises for a broken file, whatever its kind
                raise UserError(f"{path}: broken HDF5 file: {type(exc).__name__}: {_one_line(exc)}") from exc
            self.label = f"HDF5 ({layout} layout)"
        elif kind == "events":
            from morvel.io.streaming import EVENT_DTYPE, BufferedEventReader

            size = os.path.getsize(path)
            if size % EVENT_DTYPE.itemsize:
                raise UserError(f"{path}: {size} bytes is no whole number of 13-byte event records")
            self._reader = BufferedEventReader(path, chunk_size=chunk_size)
            self.label = "EVENT_DTYPE records"
            self.total = size // EVENT_DTYPE.itemsize
        elif kind == "aedat4":
            from morvel.io.dvs import read_iniVation

            self._reader = None
            self._chunks = lambda: read_iniVation(path, chunk_size)
            self.label = "AEDAT4"
            try:
                import dv_processing as dv

                resolution = dv.io.MonoCameraRecording(path).getEventResolution()
                if resolution is not None:
                    self.sensor_size = (int(resolution[0]), int(resolution[1]))
            except ImportError:
                raise UserError(f"{path}: reading AEDAT4 needs dv-processing (pip install dv-processing)") from None
        else:
            raise UserError(f"unknown kind {kind!r}; kinds: {', '.join(KINDS)}")

    def chunks(self):
        return iter(self._reader) if self._reader is not None else self._chunks()

    def count(self) -> int | None:
        """Events in the recording when that costs a quick pass at most."""
        if self.total is None and self.kind == "raw":
            self.total = self._reader.count_events()
        return self.total


def _fmt_t(us: int) -> str:
    return f"{us:,} us"


def _info(args: argparse.Namespace) -> int:
    failed = 0
    for i, path in enumerate(args.files):
        if i:
            print()
        try:
            kind = args.kind or detect_kind(path)
            rec = Recording(path, kind, args.chunk_size, args.format)
            n, first, last = 0, None, None
            for chunk in rec.chunks():
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
        print(f"  kind:        {rec.label}")
        print(f"  events:      {n:,}")
        if n:
            span = (last - first) / 1e6
            print(f"  first t:     {_fmt_t(first)}")
            print(f"  last t:      {_fmt_t(last)}")
            print(f"  duration:    {span:,.6f} s")
            print(f"  mean rate:   {n / span:,.0f} events/s" if span > 0 else "  mean rate:   n/a (one instant)")
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


def _convert(args: argparse.Namespace) -> int:
    src, dst = args.input, args.output
    in_kind = args.from_kind or detect_kind(src)
    out_kind = args.to_kind or kind_from_name(dst)
    if out_kind is None:
        raise UserError(f"{dst}: cannot tell the output kind from the name; use --to {{hdf5,events,raw}}")
    if out_kind == "aedat4":
        raise UserError("writing AEDAT4 is not supported; --to hdf5, events or raw")
    if os.path.abspath(src) == os.path.abspath(dst):
        raise UserError("the output would replace the input")
    rec = Recording(src, in_kind, args.chunk_size, args.format if in_kind == "raw" else None)
    sensor = args.sensor_size or rec.sensor_size
    bar = _Bar(rec.count() if sys.stderr.isatty() else None)

    folder = os.path.dirname(os.path.abspath(dst))
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(dst)}.", suffix=".part", dir=folder)
    os.close(fd)
    done = 0
    try:
        if out_kind == "hdf5":
            from morvel.io.h5 import H5EventWriter

            compression = None if args.compression == "none" else args.compression
            writer = H5EventWriter(tmp, sensor_size=sensor, compression=compression,
                                   compression_opts=args.compression_opts)
            write, close = writer.append, writer.close
        elif out_kind == "raw":
            from morvel.io.formats import RawWriter

            writer = RawWriter(tmp, args.out_format, sensor)
            write, close = writer.write, writer.close
        else:
            handle = open(tmp, "wb")
            write, close = (lambda chunk: chunk.tofile(handle)), handle.close
        # Ctrl-C is taken between chunks: raised inside a library's callback it
        # could be swallowed, and the conversion would end as if complete.
        interrupted: list[int] = []
        previous = signal.signal(signal.SIGINT, lambda signum, frame: interrupted.append(signum))
        try:
            for chunk in rec.chunks():
                write(chunk)
                done += len(chunk)
                bar.update(done)
                if interrupted:
                    raise KeyboardInterrupt
        finally:
            signal.signal(signal.SIGINT, previous)
            close()
        if interrupted:
            raise KeyboardInterrupt
        # The temporary file was made private (0600); the output gets the
        # mode any new file gets here.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, dst)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    bar.update(done, final=True)
    print(f"{src} ({rec.label}) -> {dst} ({out_kind}): {done:,} events")
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
    info.add_argument("--format", choices=("EVT2", "EVT3"), help="event format of RAW files without one in the header")
    info.add_argument("--chunk-size", type=_positive, default=1_000_000, help=argparse.SUPPRESS)
    info.set_defaults(func=_info)

    convert = sub.add_parser(
        "convert", help="convert a recording (RAW, HDF5, AEDAT4, records) to HDF5, records or RAW",
        description="Convert IN to OUT, streaming. Kinds come from the contents of IN and the name of OUT "
                    "(.h5/.hdf5, .bin/.dat/.events, .raw) unless --from/--to say otherwise. OUT is written "
                    "under a temporary name and renamed at the end, so a failed or interrupted conversion "
                    "never leaves a partial file under its name.")
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.add_argument("--from", dest="from_kind", choices=KINDS, help="kind of IN")
    convert.add_argument("--to", dest="to_kind", choices=("hdf5", "events", "raw"), help="kind of OUT")
    convert.add_argument("--chunk-size", type=_positive, default=1_000_000, help="events per step (default 1,000,000)")
    convert.add_argument("--compression", choices=("none", "gzip", "lzf"), default="none",
                         help="HDF5 compression (default none)")
    convert.add_argument("--compression-opts", type=_gzip_level, default=4, metavar="LEVEL",
                         help="gzip level, 0 to 9 (default 4)")
    convert.add_argument("--format", choices=("EVT2", "EVT3"), help="event format of a RAW IN without one in its header")
    convert.add_argument("--out-format", choices=("EVT2", "EVT3"), default="EVT3", help="event format of a RAW OUT")
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
