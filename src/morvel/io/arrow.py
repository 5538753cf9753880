"""Events and Apache Arrow: ``to_arrow`` gives a ``pyarrow.RecordBatch`` of
the four columns, ``from_arrow`` the EVENT_DTYPE array back (needs pyarrow).

EVENT_DTYPE records are packed (13 bytes each: t, x, y, p side by side), and
Arrow columns are contiguous, so each direction moves every value once:
to_arrow splits the records into four new columns, which the batch then
holds without a further copy; from_arrow reads the batch's columns in place
(no nulls) and writes the records once.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["to_arrow", "from_arrow"]

_FIELDS = (("t", np.uint64), ("x", np.uint16), ("y", np.uint16), ("p", np.uint8))


def _pyarrow():
    try:
        import pyarrow
    except ImportError as exc:
        raise ImportError("to_arrow / from_arrow need pyarrow: pip install pyarrow "
                          "(or the 'dask' extra)") from exc
    return pyarrow


def to_arrow(events: np.ndarray) -> Any:
    """to_arrow(events) -> pyarrow.RecordBatch

    Columns t (uint64), x, y (uint16) and p (uint8) of an EVENT_DTYPE array
    (or any array with those fields), each split out of the records once."""
    pa = _pyarrow()
    if not isinstance(events, np.ndarray) or events.dtype.names is None:
        raise TypeError(f"events must be a structured array of events, got {type(events).__name__}")
    missing = [f for f, _ in _FIELDS if f not in events.dtype.names]
    if missing:
        raise ValueError(f"events have no field {missing[0]!r}")
    events = events.reshape(-1)
    cols = [pa.array(np.ascontiguousarray(events[f], dtype=dt)) for f, dt in _FIELDS]
    return pa.RecordBatch.from_arrays(cols, names=[f for f, _ in _FIELDS])


def from_arrow(data: Any) -> np.ndarray:
    """from_arrow(data) -> np.ndarray

    An EVENT_DTYPE array from a pyarrow RecordBatch or Table with columns t,
    x, y, p (other columns ignored). Columns must be integers without nulls,
    and their values must fit the fields (ValueError otherwise)."""
    pa = _pyarrow()
    from morvel.io.streaming import EVENT_DTYPE

    if not isinstance(data, (pa.RecordBatch, pa.Table)):
        raise TypeError(f"data must be a pyarrow RecordBatch or Table, got {type(data).__name__}")
    names = data.schema.names
    out = np.empty(data.num_rows, EVENT_DTYPE)
    for f, dt in _FIELDS:
        if f not in names:
            raise ValueError(f"data has no column {f!r}")
        col = data.column(f)
        if col.null_count:
            raise ValueError(f"column {f!r} holds nulls")
        values = col.to_numpy() if isinstance(col, pa.ChunkedArray) else col.to_numpy(zero_copy_only=False)
        if values.dtype.kind not in "iub":
            raise ValueError(f"column {f!r} must hold integers, got {values.dtype}")
        if len(values) and (values.min() < 0 or values.max() > np.iinfo(dt).max):
            raise ValueError(f"column {f!r} holds values outside {np.dtype(dt).name}")
        out[f] = values
    return out
