"""One entry point for every recording format: ``open``, ``write``, ``Writer``.

The registry names each format, how it is recognised (the file's first bytes
or header first, its name second), its native reader and writer, and whether
``Recording.read_time_window`` seeks through an index or reads forward::

    import morvel.io as mio
    with mio.open("recording.raw") as rec:       # RAW EVT 2.0 / 2.1 / 3.0, DAT, AEDAT 2/3.1/4, ATIS, HDF5, ...
        for chunk in rec:                         # EVENT_DTYPE chunks, bounded memory
            ...
    mio.write("copy.dat", events, sensor_size=(304, 240))
    mio.FORMATS["aedat4"].seeks                   # True
"""

from __future__ import annotations

import builtins
import dataclasses
import os
import tempfile
import types
from typing import Any, Iterator, Mapping, Optional, Tuple, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["FormatInfo", "FORMATS", "Recording", "Writer", "detect_format", "open", "write"]


@dataclasses.dataclass(frozen=True)
class FormatInfo:
    """What the registry knows of one format."""

    name: str
    """The format's name in the registry ("evt3", "dat", ...)."""
    description: str
    extensions: Tuple[str, ...]
    """File name endings, lower case with the dot; the first is the usual one."""
    reads: bool
    writes: bool
    seeks: bool
    """``read_time_window`` seeks through an index (else it reads forward)."""


_HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"
_EVENT_BYTES = 13

_FORMATS = [
    FormatInfo("evt3", "Prophesee RAW, EVT 3.0 (16-bit words)", (".raw",), True, True, True),
    FormatInfo("evt2", "Prophesee RAW, EVT 2.0 (32-bit words)", (".raw",), True, True, True),
    FormatInfo("evt2.1", "Prophesee RAW, EVT 2.1 (64-bit words)", (".raw",), True, True, True),
    FormatInfo("dat", "Prophesee DAT (8-byte CD events, 32-bit timestamps)", (".dat",), True, True, False),
    FormatInfo("aedat4", "iniVation AEDAT4 (FlatBuffers packets, optionally LZ4 / Zstandard)", (".aedat4",),
               True, True, True),
    FormatInfo("hdf5", "HDF5 event file (separate /events/t, x, y, p datasets or one compound table; "
                       "the DSEC, M3ED, MVSEC and Prophesee ECF layouts)",
               (".h5", ".hdf5", ".hdf"), True, True, True),
    FormatInfo("events", "raw EVENT_DTYPE records (13 bytes each, no header)", (".bin", ".events"), True, True,
               False),
    FormatInfo("aedat2", "AEDAT 2.0 (jAER: big-endian address and timestamp; DVS128, DAVIS240/346)", (".aedat",),
               True, False, False),
    FormatInfo("aedat3", "AEDAT 3.1 (libcaer: packets; polarity events read, the rest skipped)", (".aedat",), True,
               False, False),
    FormatInfo("atis", "ATIS binary of N-MNIST, N-Caltech101, N-CARS (5-byte events, 23-bit timestamps)", (".bin",),
               True, True, False),
    FormatInfo("es", "Event Stream 2.x (faery, neuromorphic-paris): DVS, and ATIS change detections", (".es",), True,
               True, False),
    FormatInfo("csv", "text, one event a line: t,x,y,p by default (columns=, delimiter=, time_unit=)",
               (".csv", ".txt", ".tsv"), True, True, False),
    FormatInfo("npy", "NumPy .npy: a structured array of events (fields by name) or a 2-D array with columns=",
               (".npy",), True, True, False),
    FormatInfo("npz", "NumPy .npz: such an array among others (key=; 'events' by default)", (".npz",), True, True,
               False),
]

FORMATS: Mapping[str, FormatInfo] = types.MappingProxyType({f.name: f for f in _FORMATS})
"""Every format the registry knows: name -> FormatInfo."""

_RAW_NAMES = {"evt2": "EVT2", "evt2.1": "EVT21", "evt3": "EVT3"}  # registry name -> RawReader/RawWriter format
# Formats whose read_all() takes threads= (beyond RAW).
_THREADED_WHOLE = ("dat", "aedat2", "atis", "aedat3", "es", "csv")
_RAW_FORMATS = {v: k for k, v in _RAW_NAMES.items()}


_ALIASES = {"evt21": "evt2.1", "evt 2.1": "evt2.1", "aedat2.0": "aedat2", "aedat3.1": "aedat3", "n-mnist": "atis",
            "nmnist": "atis"}


def _known() -> str:
    return ", ".join(repr(n) for n in FORMATS)


def _check_format(format: Optional[str], *, writing: bool = False) -> Optional[str]:
    if format is None:
        return None
    if not isinstance(format, str):
        raise TypeError(f"format must be a str or None, got {type(format).__name__}")
    name = format.lower()
    name = _ALIASES.get(name, name)
    info = FORMATS.get(name)
    if info is None:
        raise ValueError(f"unknown format {format!r}; known formats: {_known()}")
    if writing and not info.writes:
        raise ValueError(f"format {name!r} cannot be written; formats with a writer: "
                         + ", ".join(repr(f.name) for f in _FORMATS if f.writes))
    return name


def _fspath(path: Any) -> str:
    if isinstance(path, bytes):
        return os.fsdecode(path)
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"Argument 'path' has incorrect type (expected str, bytes or os.PathLike, "
                        f"got {type(path).__name__})")
    return os.fspath(path)


def format_from_name(path: PathLike) -> Optional[str]:
    """format_from_name(path) -> Optional[str]

    The format a file name's ending stands for (".raw" is EVT 3.0, the RAW
    writers' default), or None.
    """
    lower = _fspath(path).lower()
    for info in _FORMATS:
        if any(lower.endswith(ext) for ext in info.extensions):
            return info.name
    return None


def _header_keys(head: bytes) -> dict[str, str]:
    """The '% key value' lines at the start of head (lower-case keys)."""
    keys: dict[str, str] = {}
    pos = 0
    while head.startswith(b"% ", pos):
        end = head.find(b"\n", pos)
        line = head[pos + 2:end if end >= 0 else len(head)].decode("latin-1").strip()
        key, _, value = line.partition(" ")
        if key:
            keys.setdefault(key.lower(), value.strip())
        if end < 0 or key.lower() == "end":
            break
        pos = end + 1
    return keys


def _raw_name(keys: dict[str, str]) -> Optional[str]:
    if "format" in keys:
        name = keys["format"].split(";")[0].strip().upper()
        return _RAW_FORMATS.get("EVT21" if name == "EVT2.1" else name, "?")
    if "evt" in keys:
        return {"2.0": "evt2", "2": "evt2", "3.0": "evt3", "3": "evt3", "2.1": "evt2.1"}.get(keys["evt"], "?")
    return None


_ATIS_BYTES = 5


def _looks_like_records(head: bytes) -> bool:
    """Whether the first bytes of a file read as EVENT_DTYPE records: every
    polarity byte 0 or 1 (in ATIS events those bytes are any timestamp bits)."""
    whole = len(head) - len(head) % _EVENT_BYTES
    return all(b in (0, 1) for b in head[12:whole:_EVENT_BYTES])


def detect_format(path: PathLike) -> str:
    """detect_format(path) -> str

    The registry name of an existing recording's format: from its contents
    first (the HDF5 signature, the AEDAT 4 / 3.1 / 2.0 magic lines, the RAW
    header's ``format`` / ``evt`` lines, a DAT header), then from its name
    (a ``.bin`` file is EVENT_DTYPE records, or ATIS events when its size is
    a whole number of 5-byte events and not of records, or its first
    records' polarity bytes are not all 0 or 1). Raises
    ValueError naming the known formats when neither tells, and the
    interpreter's OSError when the file cannot be read.
    """
    path = _fspath(path)
    with builtins.open(path, "rb") as f:
        head = f.read(1 << 16)
    size = os.path.getsize(path)
    for at in (0, 512, 1024, 2048, 4096, 8192, 16384, 32768):  # HDF5 may follow a user block
        if head.startswith(_HDF5_MAGIC, at):
            return "hdf5"
    named = format_from_name(path)
    if head.startswith(b"#!AER-DAT4"):
        return "aedat4"
    if head.startswith(b"Event Stream"):
        return "es"
    if head.startswith(b"\x93NUMPY"):
        return "npy"
    if head.startswith(b"PK\x03\x04") and (named == "npz" or b".npy" in head[:256]):
        return "npz"
    if head.startswith(b"#!AER-DAT2"):
        return "aedat2"
    if head.startswith(b"#!AER-DAT3"):
        return "aedat3"
    if head.startswith(b"% "):
        keys = _header_keys(head)
        raw = _raw_name(keys)
        if raw == "?":
            raise ValueError(f"{path}: RAW header names an unsupported event format "
                             f"({keys.get('format') or keys.get('evt')!r}); pass format='evt2', 'evt2.1' or 'evt3'")
        if raw:
            return raw
        if named == "dat" or "version" in keys or ("width" in keys and "height" in keys):
            return "dat"
        if named in _RAW_NAMES:
            raise ValueError(f"{path}: the RAW header names no event format; pass format='evt2', 'evt2.1' or "
                             f"'evt3'")
    if named == "dat" or named in ("hdf5", "aedat4", "csv"):
        return named
    if named == "events" and size % _EVENT_BYTES and size % _ATIS_BYTES == 0:
        return "atis"  # N-MNIST and its kin name their files .bin too
    if named == "events" and size % _EVENT_BYTES == 0 and size % _ATIS_BYTES == 0 and not _looks_like_records(head):
        return "atis"
    if named == "events" or (named is None and size % _EVENT_BYTES == 0 and size > 0):
        if size % _EVENT_BYTES:
            raise ValueError(f"{path}: {size} bytes is no whole number of {_EVENT_BYTES}-byte event records "
                             f"(nor of {_ATIS_BYTES}-byte ATIS events); pass format=")
        return "events"
    raise ValueError(f"{path}: not a recording of a known format (known formats: {_known()}); pass format=")


# --- reading ------------------------------------------------------------------------


def _forward_window(chunks: Iterator[np.ndarray], t_start: int, t_end: int) -> np.ndarray:
    """Events with t_start <= t < t_end, reading forward; stops at the first
    event at or past t_end while the events so far are in time order."""
    from morvel.io.streaming import EVENT_DTYPE

    parts = []
    in_order, last = True, None
    for chunk in chunks:
        t = chunk["t"]
        if not len(t):
            continue
        if in_order:
            in_order = (last is None or t[0] >= last) and bool(np.all(t[1:] >= t[:-1]))
            last = t[-1]
        if in_order:
            lo, hi = np.searchsorted(t, [t_start, t_end], side="left")
            if hi > lo:
                parts.append(np.array(chunk[lo:hi]))
            if hi < len(t):
                break
        else:
            keep = (t >= t_start) & (t < t_end)
            if keep.any():
                parts.append(chunk[keep])
    if not parts:
        return np.empty(0, EVENT_DTYPE)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _check_window(t_start: Any, t_end: Any) -> Tuple[int, int]:
    for name, v in (("t_start", t_start), ("t_end", t_end)):
        if isinstance(v, bool) or not isinstance(v, (int, np.integer)):
            raise TypeError(f"{name} must be an int, got {type(v).__name__}")
    return max(int(t_start), 0), max(int(t_end), 0)


class Recording:
    """A recording opened by ``morvel.io.open``: EVENT_DTYPE chunks, and what
    the file says of itself. A context manager.

    Attributes:
        path: the file.
        format: the registry name of its format (see ``FORMATS``).
        sensor_size: (width, height) where the file says, else None.
        chunk_size: events per chunk of iteration.
    """

    path: str
    format: str
    sensor_size: Optional[Tuple[int, int]]
    chunk_size: int

    def __init__(self, path: str, format: str, reader: Any, sensor_size: Optional[Tuple[int, int]],
                 chunk_size: int, seeks: bool) -> None:
        self.path, self.format, self.chunk_size = path, format, chunk_size
        self.sensor_size = sensor_size
        self._reader = reader
        self._seeks = seeks
        self._closed = False
        self._pass: Optional[Iterator[np.ndarray]] = None  # read_into's pass over the chunks
        self._left: Optional[np.ndarray] = None

    def __repr__(self) -> str:
        return f"<Recording {self.format} {self.path!r}>"

    def _live(self) -> Any:
        if self._closed:
            raise ValueError("I/O operation on closed Recording")
        return self._reader

    def __iter__(self) -> Iterator[np.ndarray]:
        """Iterate over EVENT_DTYPE chunks of chunk_size events (the last may be
        shorter), in the file's order; each iteration reads the file anew."""
        return iter(self._live())

    def _threads(self, threads: Optional[int]) -> dict:
        """threads= for the readers that split their work over threads (RAW,
        and DAT, AEDAT 2.0 and ATIS for whole reads); the other readers of
        morvel.io.recordings accept it and read on one."""
        if threads is None:
            return {}
        if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
            raise ValueError(f"threads must be an int >= 1, got {threads!r}")
        return {"threads": int(threads)}

    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """read_all(*, threads=None) -> np.ndarray

        Every event of the recording in one EVENT_DTYPE array. RAW, DAT,
        AEDAT 2.0 and ATIS files decode on up to ``threads`` threads
        (default: the cores this process may use); other formats read on
        one."""
        from morvel.io.streaming import EVENT_DTYPE

        reader = self._live()
        kw = self._threads(threads) if self.format in (*_RAW_NAMES, *_THREADED_WHOLE) else {}
        out = reader.read_all(**kw)
        return out if out.dtype == EVENT_DTYPE else _as_events(out)

    def read_time_window(self, t_start: int, t_end: int, *, threads: Optional[int] = None) -> np.ndarray:
        """read_time_window(t_start, t_end, *, threads=None) -> np.ndarray

        Events with t_start <= t < t_end, exactly as a full read gives them (in
        file order). RAW files (indexed on the first call, see
        ``RawReader.read_time_window``), AEDAT4 files with a data table and
        HDF5 files in the separate layout seek through their index
        (``FORMATS[name].seeks``);
        the other formats read forward from the start and stop at the first
        event at or past t_end, as long as the events read so far are in time
        order (a file whose times go back is read to its end). RAW files
        decode on up to ``threads`` threads.
        """
        t_start, t_end = _check_window(t_start, t_end)
        kw = self._threads(threads) if self.format in _RAW_NAMES else {}
        reader = self._live()
        if t_end <= t_start:
            return _as_events(np.empty(0, _event_dtype()))
        if self._seeks:
            try:
                return _as_events(reader.read_time_window(t_start, t_end, **kw))
            except KeyError:  # an HDF5 layout without a seekable time column
                pass
        return _forward_window(iter(reader), t_start, t_end)

    def read_into(self, out: np.ndarray) -> int:
        """read_into(out) -> int

        Decode the next events of one pass over the recording into ``out`` (a
        writable 1-d EVENT_DTYPE array) and return how many were written:
        len(out) but at the end, 0 there. RAW files decode straight into
        ``out``; other formats copy from their chunks. ``rewind()`` starts
        over."""
        reader = self._live()
        native = getattr(reader, "read_into", None)
        if native is not None:
            return int(native(out))
        from morvel.io.streaming import EVENT_DTYPE

        if not isinstance(out, np.ndarray) or out.dtype != EVENT_DTYPE:
            raise TypeError(f"out must be an EVENT_DTYPE array, got {type(out).__name__}")
        if out.ndim != 1 or not out.flags.c_contiguous or not out.flags.writeable:
            raise ValueError("out must be a writable, C-contiguous, 1-d array")
        if self._pass is None:
            self._pass, self._left = iter(reader), None
        k = 0
        while k < len(out):
            if self._left is None or not len(self._left):
                nxt = next(self._pass, None)
                if nxt is None:
                    break
                self._left = nxt if nxt.dtype == EVENT_DTYPE else _as_events(nxt)
            take = min(len(out) - k, len(self._left))
            out[k:k + take] = self._left[:take]
            self._left = self._left[take:]
            k += take
        return k

    def rewind(self) -> None:
        """rewind() -> None

        Make the next ``read_into`` start at the first event again."""
        reader = self._live()
        native = getattr(reader, "rewind", None)
        if native is not None:
            native()
        self._pass, self._left = None, None

    def count_events(self) -> Optional[int]:
        """count_events() -> Optional[int]

        Events in the recording when the file says or a fast pass over it
        can tell (RAW, DAT, HDF5, records, AEDAT4 with a data table); None
        otherwise."""
        reader = self._live()
        for name in ("count_events", "n_events"):
            v = getattr(reader, name, None)
            if v is not None:
                return int(v()) if callable(v) else int(v)
        return None

    def time_span(self) -> Optional[Tuple[int, int]]:
        """time_span() -> Optional[Tuple[int, int]]

        (first t, last t) when the file's index says without reading all the
        events (AEDAT4 with a data table; RAW files, through the index of their
        time windows), else None."""
        span = getattr(self._live(), "time_span", None)
        if callable(span):  # RawReader: worked out on demand
            span = span()
        return None if span is None else (int(span[0]), int(span[1]))

    def close(self) -> None:
        """close() -> None

        Release the reader (idempotent)."""
        if not self._closed:
            self._closed = True
            close = getattr(self._reader, "close", None)
            if close is not None:
                close()

    def __enter__(self) -> "Recording":
        self._live()
        return self

    def __exit__(self, *exc_info: object) -> bool:
        self.close()
        return False


def _event_dtype() -> np.dtype:
    from morvel.io.streaming import EVENT_DTYPE

    return EVENT_DTYPE


def _as_events(a: np.ndarray) -> np.ndarray:
    """Records of any event table as EVENT_DTYPE (fields by name)."""
    dtype = _event_dtype()
    if a.dtype == dtype:
        return a
    out = np.empty(len(a), dtype)
    for name in ("t", "x", "y", "p"):
        out[name] = a[name]
    return out


class _Records:
    """Raw EVENT_DTYPE records through BufferedEventReader."""

    def __init__(self, path: str, chunk_size: int) -> None:
        from morvel.io.streaming import BufferedEventReader

        size = os.path.getsize(path)
        if size % _EVENT_BYTES:
            raise ValueError(f"{path}: {size} bytes is no whole number of {_EVENT_BYTES}-byte event records")
        self.path, self.n_events = path, size // _EVENT_BYTES
        self._reader = BufferedEventReader(path, chunk_size=chunk_size)

    def __iter__(self) -> Iterator[np.ndarray]:
        return iter(self._reader)

    def read_all(self) -> np.ndarray:
        return self._reader.read_all()


def _h5_sensor_size(path: str, reader: Any) -> Optional[Tuple[int, int]]:
    from morvel.io.h5 import _ensure_h5py

    h5py = _ensure_h5py()
    with h5py.File(path, "r") as f:
        config = reader.config
        for name in (config.events_group, "CD", ""):
            if name and name not in f:
                continue
            attrs = (f[name] if name else f).attrs
            if "sensor_width" in attrs and "sensor_height" in attrs:
                return int(attrs["sensor_width"]), int(attrs["sensor_height"])
        geometry = f.attrs.get("geometry")  # Prophesee's "WIDTHxHEIGHT"
        if isinstance(geometry, bytes):
            geometry = geometry.decode("ascii", "replace")
        if isinstance(geometry, str) and "x" in geometry:
            w, _, h = geometry.partition("x")
            if w.strip().isdigit() and h.strip().isdigit():
                return int(w), int(h)
    return None


def _no_options(name: str, options: dict) -> None:
    if options:
        raise TypeError(f"format {name!r} takes no option {sorted(options)[0]!r}")


def _open_reader(path: str, name: str, chunk_size: int, options: dict) -> Tuple[Any, Optional[Tuple[int, int]], bool]:
    if name in _RAW_NAMES:
        _no_options(name, options)
        from morvel.io.formats import RawReader

        r = RawReader(path, chunk_size=chunk_size, format=_RAW_NAMES[name])
        return r, r.sensor_size, True
    if name == "dat":
        _no_options(name, options)
        from morvel.io.recordings import DatReader

        r = DatReader(path, chunk_size=chunk_size)
        return r, r.sensor_size, False
    if name == "aedat4":
        stream = options.pop("stream", None)
        _no_options(name, options)
        from morvel.io.recordings import Aedat4Reader

        r = Aedat4Reader(path, chunk_size=chunk_size, stream=stream)
        return r, r.sensor_size, bool(r.has_table)
    if name == "aedat2":
        camera = options.pop("camera", None)
        _no_options(name, options)
        from morvel.io.recordings import Aedat2Reader

        r = Aedat2Reader(path, chunk_size=chunk_size, camera=camera)
        return r, r.sensor_size, False
    if name in ("aedat3", "atis"):
        _no_options(name, options)
        from morvel.io import recordings

        r = (recordings.Aedat3Reader if name == "aedat3" else recordings.AtisReader)(path, chunk_size=chunk_size)
        return r, r.sensor_size, False
    if name == "es":
        _no_options(name, options)
        from morvel.io.recordings import EsReader

        r = EsReader(path, chunk_size=chunk_size)
        return r, r.sensor_size, False
    if name == "csv":
        columns = options.pop("columns", None)
        delimiter = options.pop("delimiter", None)
        time_unit = options.pop("time_unit", "us")
        _no_options(name, options)
        from morvel.io.recordings import CsvReader

        if isinstance(columns, Mapping):
            columns = _csv_columns_by_name(path, columns, delimiter)
        r = CsvReader(path, chunk_size=chunk_size, columns=columns, delimiter=delimiter, time_unit=time_unit)
        return r, None, False
    if name in ("npy", "npz"):
        key = options.pop("key", None)
        columns = options.pop("columns", None)
        time_unit = options.pop("time_unit", "us")
        _no_options(name, options)
        from morvel.io._tables import NumpyReader

        r = NumpyReader(path, chunk_size, key=key, columns=columns, time_unit=time_unit)
        return r, r.sensor_size, False
    if name == "hdf5":
        config = options.pop("config", None)
        stream = options.pop("stream", None)
        _no_options(name, options)
        from morvel.io.h5 import H5EventReader

        r = H5EventReader(path, chunk_size=chunk_size, config=config, stream=stream)
        r.n_events  # finds what is wrong with the layout or the file first
        return r, _h5_sensor_size(path, r), True
    _no_options(name, options)
    return _Records(path, chunk_size), None, False


def _csv_columns_by_name(path: str, columns: Mapping[str, str], delimiter: Optional[str]) -> list:
    """The roles of a text file's columns from its header line's names
    (columns maps 't', 'x', 'y', 'p' to them)."""
    unknown = sorted(set(columns) - set("txyp"))
    if unknown:
        raise ValueError(f"columns keys must be 't', 'x', 'y' or 'p', got {unknown[0]!r}")
    with builtins.open(path, "rb") as f:
        head = f.read(1 << 16).decode("utf-8", "replace").lstrip("\ufeff")
    line = next((ln for ln in head.splitlines() if ln.strip() and not ln.lstrip().startswith("#")), "")
    if delimiter in (None, "whitespace"):
        delimiter = "," if "," in line else "\t" if "\t" in line else None
    names = [n.strip() for n in (line.split(delimiter) if delimiter not in (None, " ") else line.split())]
    roles: list = [None] * len(names)
    for role, name in columns.items():
        if name not in names:
            raise ValueError(f"{path}: no column {name!r} in the header line {line[:80]!r}")
        roles[names.index(name)] = role
    for role in "txyp":
        if role not in columns:
            if role not in names:
                raise ValueError(f"{path}: no column for {role!r}: columns names none and the header line has none")
            roles[names.index(role)] = role
    while len(roles) < 4:
        roles.append(None)
    return roles


def open(path: PathLike, format: Optional[str] = None, *, chunk_size: int = 1_000_000, **options: Any) -> Recording:
    """open(path, format=None, *, chunk_size=1_000_000, **options) -> Recording

    Open a recording of any format the registry knows (``FORMATS``): the
    format from the file's contents, then its name (``detect_format``),
    unless ``format`` names it. Options go to the format's reader:
    ``stream=`` (an AEDAT4 stream id or name, the first event stream by
    default; for M3ED and MVSEC HDF5 files "left" or "right", the first
    present by default), ``camera=`` (AEDAT 2.0: "dvs128", "davis240" or "davis346"
    where the header names none), ``key=``, ``columns=`` and ``time_unit=``
    (NumPy files: the .npz member, the fields as {"t": NAME, ...} or the
    columns of a 2-D array as ("x", "y", "t", "p"), "us" or "s"; text files:
    ``columns=`` as a sequence of roles per column or {"t": NAME, ...} of
    the header line's names, ``delimiter=``, ``time_unit=``), ``config=``
    (an HDF5 ``H5Config``).

    Raises ValueError for an unknown format (listing the known ones), a
    chunk_size below 1 or a damaged file; TypeError for an option the format
    does not take; ImportError with the pip command when an optional engine
    (h5py, zstandard) is missing; the interpreter's OSError when the file
    cannot be read.
    """
    path = _fspath(path)
    name = _check_format(format) or detect_format(path)
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer)):
        raise TypeError(f"chunk_size must be an int, got {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be >= 1, got {chunk_size}")
    reader, sensor_size, seeks = _open_reader(path, name, int(chunk_size), dict(options))
    return Recording(path, name, reader, sensor_size, int(chunk_size), seeks)


# --- writing ------------------------------------------------------------------------


class _RecordsWriter:
    def __init__(self, path: str) -> None:
        self._file = builtins.open(path, "wb")

    def append(self, events: np.ndarray) -> None:
        _as_events(_checked_table(events)).tofile(self._file)

    def close(self) -> None:
        self._file.close()


def _checked_table(events: Any) -> np.ndarray:
    if not isinstance(events, np.ndarray):
        raise TypeError(f"events must be np.ndarray, got {type(events).__name__}")
    names = events.dtype.names or ()
    missing = [n for n in ("t", "x", "y", "p") if n not in names]
    if missing:
        raise ValueError(f"events must be a structured array with fields t, x, y, p, got dtype {events.dtype}")
    return events.reshape(-1)


def _native_writer(path: str, name: str, sensor_size: Optional[Tuple[int, int]], options: dict) -> Tuple[Any, Any]:
    """(writer, append) for a new file of format `name` at `path`."""
    if name in _RAW_NAMES:
        _no_options(name, options)
        from morvel.io.formats import RawWriter

        w = RawWriter(path, _RAW_NAMES[name], sensor_size)
        return w, w.write
    if name == "dat":
        _no_options(name, options)
        from morvel.io.recordings import DatWriter

        w = DatWriter(path, sensor_size=sensor_size)
        return w, w.append
    if name == "aedat4":
        from morvel.io.recordings import Aedat4Writer

        w = Aedat4Writer(path, sensor_size=sensor_size, **options)
        return w, w.append
    if name == "es":
        _no_options(name, options)
        from morvel.io.recordings import EsWriter

        if sensor_size is None:
            raise ValueError("Event Stream files need sensor_size")
        w = EsWriter(path, sensor_size=sensor_size)
        return w, w.append
    if name == "csv":
        from morvel.io.recordings import CsvWriter

        w = CsvWriter(path, **options)
        return w, w.append
    if name in ("npy", "npz"):
        _no_options(name, options)
        from morvel.io._tables import NumpyWriter

        w = NumpyWriter(path, name == "npz", sensor_size)
        return w, w.append
    if name == "atis":
        _no_options(name, options)
        if sensor_size is not None and (sensor_size[0] > 256 or sensor_size[1] > 256):
            raise ValueError(f"ATIS events keep x and y below 256; sensor_size {tuple(sensor_size)} is larger")
        from morvel.io.recordings import AtisWriter

        w = AtisWriter(path)
        return w, w.append
    if name == "hdf5":
        from morvel.io.h5 import H5EventWriter

        if options.get("layout", "separate") in ("separate", "compound"):
            options.setdefault("compression", None)  # DSEC picks its own, Prophesee is ECF
        w = H5EventWriter(path, sensor_size=sensor_size, **options)
        return w, w.append
    _no_options(name, options)
    w = _RecordsWriter(path)
    return w, w.append


class Writer:
    """Writer(path, format=None, *, sensor_size=None, **options)

    A streaming writer of any format with a writer in ``FORMATS`` (the format
    from the file name when None). The file is written under a temporary name
    beside it and renamed at ``close()``: until then, and after a failure,
    nothing is under its name. Used as a context manager, an exception in the
    block discards the file. Options go to the format's writer:
    ``compression=`` for AEDAT4 ("none", "lz4", "lz4_high", "zstd",
    "zstd_high") and HDF5 (None, "gzip", "lzf"; with ``compression_opts``),
    ``layout=`` for HDF5 ("separate", "compound", "dsec", "prophesee"; see
    ``H5EventWriter``).
    Events that a format cannot store are refused by ``append`` with
    ValueError before any of them is written.
    """

    path: str
    format: str
    sensor_size: Optional[Tuple[int, int]]

    def __init__(self, path: PathLike, format: Optional[str] = None, *,
                 sensor_size: Optional[Tuple[int, int]] = None, **options: Any) -> None:
        path = _fspath(path)
        name = _check_format(format, writing=True) or format_from_name(path)
        if name is None:
            raise ValueError(f"{path}: cannot tell the format from the name; pass format= (one of {_known()})")
        self.path, self.format, self.sensor_size = path, name, sensor_size
        self.n_events = 0
        folder = os.path.dirname(os.path.abspath(path))
        fd, self._tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".part", dir=folder)
        os.close(fd)
        try:
            self._writer, self._append = _native_writer(self._tmp, name, sensor_size, dict(options))
        except BaseException:
            os.unlink(self._tmp)
            raise
        self._done = False

    def append(self, events: np.ndarray) -> None:
        """append(events) -> None

        Write events (EVENT_DTYPE, or any structured array with fields t, x,
        y, p); refused with ValueError, and nothing of them written, when the
        format cannot store one of them."""
        if self._done:
            raise ValueError("I/O operation on closed Writer")
        self._append(events)
        self.n_events += len(events)

    def close(self) -> None:
        """close() -> None

        Finish the file and give it its name (idempotent)."""
        if self._done:
            return
        self._done = True
        try:
            self._writer.close()
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self._tmp, 0o666 & ~umask)
            os.replace(self._tmp, self.path)
        except BaseException:
            _unlink(self._tmp)
            raise

    def discard(self) -> None:
        """discard() -> None

        Close without keeping the file (idempotent; nothing after close())."""
        if self._done:
            return
        self._done = True
        try:
            self._writer.close()
        except Exception:
            pass
        _unlink(self._tmp)

    @property
    def closed(self) -> bool:
        return self._done

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, exc_type: object, *rest: object) -> bool:
        if exc_type is None:
            self.close()
        else:
            self.discard()
        return False

    def __del__(self) -> None:
        # Dropped without close(): finished, as a file object is flushed.
        if not getattr(self, "_done", True):
            try:
                self.close()
            except Exception:
                pass


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def write(path: PathLike, events: np.ndarray, format: Optional[str] = None, *,
          sensor_size: Optional[Tuple[int, int]] = None, **options: Any) -> None:
    """write(path, events, format=None, *, sensor_size=None, **options) -> None

    Write a whole array of events as a recording of any format with a writer
    (the format from the file name when None; options as for ``Writer``).
    The events are checked before the file appears: on any error nothing is
    left under ``path`` and a file already there is kept.
    """
    w = Writer(path, format, sensor_size=sensor_size, **options)
    try:
        w.append(events)
    except BaseException:
        w.discard()
        raise
    w.close()
