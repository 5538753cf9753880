"""NumPy files (``.npy``, ``.npz``) of events for the registry: structured
arrays whose fields carry the usual names, in any order and of any integer,
float or bool type, and 2-D (N, k) arrays with ``columns=``. ``.npy`` files
are memory-mapped and read in chunks; every chunk goes through the
conversion core (``morvel.io.recordings.to_events``)."""

from __future__ import annotations

import builtins
import os
import zipfile
from typing import Any, Iterator, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = b"PK\x03\x04"

# The names each field goes by, first match wins.
_NAMES = {
    "t": ("t", "ts", "timestamp", "timestamps", "time", "times"),
    "x": ("x",),
    "y": ("y",),
    "p": ("p", "polarity", "polarities", "pol", "on"),
}

Columns = Union[Sequence[Optional[str]], Mapping[str, str]]


def _event_dtype() -> np.dtype:
    from morvel.io.streaming import EVENT_DTYPE

    return EVENT_DTYPE


def _check_time_unit(time_unit: Any) -> str:
    if time_unit not in ("us", "s"):
        raise ValueError(f"time_unit must be 'us' or 's', got {time_unit!r}")
    return time_unit


def _structured_fields(path: str, names: Tuple[str, ...], columns: Optional[Columns]) -> Tuple[str, str, str, str]:
    """The array's field for t, x, y, p."""
    if columns is not None:
        if not isinstance(columns, Mapping):
            raise TypeError("columns of a structured array is a mapping of 't', 'x', 'y', 'p' to its field names")
        unknown = sorted(set(columns) - set("txyp"))
        if unknown:
            raise ValueError(f"columns keys must be 't', 'x', 'y' or 'p', got {unknown[0]!r}")
    found = []
    for role in "txyp":
        if columns is not None and role in columns:
            name = columns[role]
            if name not in names:
                raise ValueError(f"{path}: the array has no field {name!r} (its fields: {', '.join(names)})")
        else:
            name = next((n for n in names if n.lower() in _NAMES[role]), None)
            if name is None:
                raise ValueError(f"{path}: no field for {role} among {', '.join(names)} (known names: "
                                 f"{', '.join(_NAMES[role])}); pass columns={{'{role}': NAME}}")
        found.append(name)
    return tuple(found)  # type: ignore[return-value]


def _column_indices(path: str, width: int, columns: Optional[Columns]) -> Tuple[int, int, int, int]:
    """The column of a 2-D array for t, x, y, p."""
    if columns is None:
        raise ValueError(f"{path}: a 2-D array of events needs columns= naming its columns, "
                         f"e.g. columns=('x', 'y', 't', 'p')")
    if isinstance(columns, Mapping) or isinstance(columns, str):
        raise TypeError("columns of a 2-D array is a sequence naming each column 't', 'x', 'y', 'p' or None")
    columns = list(columns)
    if len(columns) != width:
        raise ValueError(f"{path}: columns names {len(columns)} columns, the array has {width}")
    index = {}
    for i, c in enumerate(columns):
        if c is None:
            continue
        if c not in ("t", "x", "y", "p") or c in index:
            raise ValueError(f"columns must name 't', 'x', 'y' and 'p' once each (None for others), got {columns}")
        index[c] = i
    missing = [r for r in "txyp" if r not in index]
    if missing:
        raise ValueError(f"columns names no column for {missing[0]!r}")
    return index["t"], index["x"], index["y"], index["p"]


class _Source:
    """An array of events and how to read its fields."""

    def __init__(self, path: str, array: np.ndarray, columns: Optional[Columns], time_unit: str) -> None:
        self.path, self.array, self.time_unit = path, array, time_unit
        if array.dtype.names:
            if array.ndim != 1:
                array = array.reshape(-1)
                self.array = array
            self.fields = _structured_fields(path, array.dtype.names, columns)
            self.kinds = [array.dtype[f].kind for f in self.fields]
            self.indices = None
        elif array.ndim == 2:
            self.indices = _column_indices(path, array.shape[1], columns)
            self.fields = ("t", "x", "y", "p")
            self.kinds = [array.dtype.kind] * 4
        else:
            raise ValueError(f"{path}: the array is neither structured nor 2-D (dtype {array.dtype}, "
                             f"shape {array.shape})")
        for f, k in zip(self.fields, self.kinds):
            if k not in "biuf":
                raise ValueError(f"{path}: field {f!r} is not a number (dtype kind {k!r})")

    def __len__(self) -> int:
        return len(self.array)

    def convert(self, start: int, stop: int) -> np.ndarray:
        """Events [start, stop) as EVENT_DTYPE."""
        from morvel.io.recordings import to_events

        part = self.array[start:stop]
        if self.indices is not None:
            table: Any = {r: part[:, i] for r, i in zip("txyp", self.indices)}
            names = ("t", "x", "y", "p")
        else:
            table, names = part, self.fields
        columns = None
        t_kind, p_kind = self.kinds[0], self.kinds[3]
        if self.time_unit == "s" or p_kind in "if":
            columns = {r: (table[n] if isinstance(table, dict) else part[n]) for r, n in zip("txyp", names)}
            if self.time_unit == "s":
                columns["t"] = self._seconds(columns["t"], start)
            if p_kind in "if":
                columns["p"] = np.greater(columns["p"], 0)  # -1 / +1, 0 / 1
            table, names = columns, ("t", "x", "y", "p")
        return to_events(table, fields=names)

    def _seconds(self, t: np.ndarray, start: int) -> np.ndarray:
        us = np.rint(np.asarray(t, dtype=np.float64) * 1e6)
        bad = ~(np.isfinite(us) & (us >= 0) & (us < 2.0**63))
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(f"{self.path}: event {start + i}: t = {t[i]!r} s is not a time (finite, >= 0)")
        return us.astype(np.uint64)


def _open_npy(path: str) -> Tuple[np.ndarray, Optional[str]]:
    """The .npy file memory-mapped; a file cut inside its records maps the
    whole ones and says what is missing."""
    with builtins.open(path, "rb") as f:
        try:
            version = np.lib.format.read_magic(f)
            read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                           else np.lib.format.read_array_header_2_0)
            shape, fortran, dtype = read_header(f)
        except ValueError as exc:
            raise ValueError(f"{path}: not a readable .npy file: {exc}") from None
        offset = f.tell()
    if dtype.hasobject:
        raise ValueError(f"{path}: the array holds Python objects, not events")
    if fortran and len(shape) > 1:
        order = "F"
    else:
        order = "C"
    n = int(np.prod(shape)) if shape else 1
    size = os.path.getsize(path)
    whole = (size - offset) // dtype.itemsize if dtype.itemsize else 0
    cut = None
    if whole < n:
        cut = (f"{path}: the file ends inside the array ({whole} of {n} records, "
               f"{size - offset - whole * dtype.itemsize} trailing bytes)")
        if len(shape) > 1:
            rest = int(np.prod(shape[1:])) if order == "C" else int(np.prod(shape[:-1]))
            if order == "F":
                raise ValueError(cut)  # whole rows are not a prefix of the file
            shape = (whole // rest, *shape[1:])
        else:
            shape = (whole,)
    if int(np.prod(shape)) == 0:
        return np.empty(shape, dtype), cut
    return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=shape, order=order), cut


class NumpyReader:
    """Events of a .npy or .npz file for morvel.io.open()."""

    def __init__(self, path: str, chunk_size: int, key: Optional[str] = None, columns: Optional[Columns] = None,
                 time_unit: str = "us") -> None:
        self.path, self.chunk_size = path, chunk_size
        time_unit = _check_time_unit(time_unit)
        with builtins.open(path, "rb") as f:
            magic = f.read(6)
        self._cut = None
        self.sensor_size: Optional[Tuple[int, int]] = None
        if magic.startswith(NPY_MAGIC):
            if key is not None:
                raise TypeError("key= is for .npz files")
            array, self._cut = _open_npy(path)
        elif magic.startswith(ZIP_MAGIC):
            array = self._npz_member(path, key)
        else:
            raise ValueError(f"{path}: neither a .npy nor a .npz file")
        self._source = _Source(path, array, columns, time_unit)
        self.n_events = len(self._source)

    def _npz_member(self, path: str, key: Optional[str]) -> np.ndarray:
        try:
            with np.load(path, allow_pickle=False) as z:
                names = list(z.keys())
                if key is None:
                    key = "events" if "events" in names else next(
                        (k for k in names if z[k].dtype.names or z[k].ndim == 2), None)
                    if key is None:
                        raise ValueError(f"{path}: no array of events among {', '.join(names) or 'nothing'}; "
                                         f"pass key=")
                elif key not in names:
                    raise ValueError(f"{path}: no array {key!r} (its arrays: {', '.join(names)})")
                if "sensor_size" in names:
                    s = z["sensor_size"]
                    if s.shape == (2,) and s.dtype.kind in "iu":
                        self.sensor_size = (int(s[0]), int(s[1]))
                return z[key]
        except zipfile.BadZipFile as exc:
            raise ValueError(f"{path}: not a readable .npz file: {exc}") from None

    def __iter__(self) -> Iterator[np.ndarray]:
        n, step = len(self._source), self.chunk_size
        for start in range(0, n, step):
            yield self._source.convert(start, min(n, start + step))
        if self._cut:
            raise ValueError(self._cut)

    def read_all(self) -> np.ndarray:
        if self._cut:
            raise ValueError(self._cut)
        return self._source.convert(0, len(self._source))

    def count_events(self) -> int:
        return self.n_events


# --- writing ------------------------------------------------------------------------

_HEADER_ROOM = 128  # bytes of the .npy header, enough for any count


def _npy_header(n: int) -> bytes:
    d = {"descr": np.lib.format.dtype_to_descr(_event_dtype()), "fortran_order": False, "shape": (n,)}
    text = repr(d).encode("latin-1")
    room = _HEADER_ROOM - 10 - 1  # magic (6), version (2), length (2), the newline
    if len(text) > room:
        raise AssertionError("npy header too long")
    text = text + b" " * (room - len(text)) + b"\n"
    return NPY_MAGIC + bytes([1, 0]) + len(text).to_bytes(2, "little") + text


class NumpyWriter:
    """EVENT_DTYPE records into a .npy file (the count written in its header at
    close), or into an uncompressed .npz file with one array "events" (and
    "sensor_size" when given), as numpy.savez writes it; memory stays
    bounded either way."""

    def __init__(self, path: str, npz: bool, sensor_size: Optional[Tuple[int, int]]) -> None:
        self.path, self.npz, self.sensor_size = path, npz, sensor_size
        self._npy = path + ".npy.part" if npz else path
        self._file = builtins.open(self._npy, "wb")
        self._file.write(_npy_header(0))
        self.n_events = 0

    def append(self, events: np.ndarray) -> None:
        from morvel.io.recordings import to_events

        if not isinstance(events, np.ndarray):
            raise TypeError(f"events must be np.ndarray, got {type(events).__name__}")
        records = events if events.dtype == _event_dtype() and events.flags.c_contiguous else to_events(events)
        records.reshape(-1).tofile(self._file)
        self.n_events += records.size

    def close(self) -> None:
        if self._file.closed:
            return
        try:
            self._file.seek(0)
            self._file.write(_npy_header(self.n_events))
        finally:
            self._file.close()
        if self.npz:
            try:
                with zipfile.ZipFile(self.path, "w", zipfile.ZIP_STORED, allowZip64=True) as z:
                    z.write(self._npy, "events.npy")
                    if self.sensor_size is not None:
                        with z.open("sensor_size.npy", "w") as f:
                            np.lib.format.write_array(f, np.asarray(self.sensor_size, dtype=np.int64))
            finally:
                os.unlink(self._npy)
