"""H5 event file I/O and streaming for neuromorphic cameras.

Supports two layouts:
    1. Separate datasets: /events/t, /events/x, /events/y, /events/p
    2. Compound dataset: /events (structured with t, x, y, p fields)

and reads the layouts of DSEC, M3ED, MVSEC and Prophesee (ECF) files.
"""

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Generator, Literal, Optional, Tuple, Union

import numpy as np

__all__ = [
    "H5Config",
    "DEFAULT_H5_CONFIG",
    "COMPACT_H5_CONFIG",
    "read_h5",
    "write_h5",
    "H5EventReader",
    "H5EventWriter",
]

EVENT_DTYPE: np.dtype
"""The event record of morvel.io.streaming."""

_h5py: Any
"""The h5py module once loaded; None before."""

@dataclass(frozen=True)
class H5Config:
    """Configuration for H5 event file format."""

    events_group: str = "events"
    """HDF5 group path containing event data ('' for the root group)."""
    timestamp_key: str = "t"
    """Dataset name for timestamps within the group."""
    x_key: str = "x"
    """Dataset name for x coordinates."""
    y_key: str = "y"
    """Dataset name for y coordinates."""
    polarity_key: str = "p"
    """Dataset name for polarity values."""
    compound_key: Optional[str] = None
    """Name of a single compound dataset to read instead; None for separate datasets."""

DEFAULT_H5_CONFIG: H5Config
"""H5Config(): group "events", datasets t, x, y, p."""
COMPACT_H5_CONFIG: H5Config
"""One compound dataset "events" in the root group."""

def _ensure_h5py() -> Any:
    """Lazy-import h5py, raising a clear error if unavailable."""

def _detect_layout(
    h5file: Any, config: H5Config
) -> Literal["compound", "separate", "compound_fallback", "dsec", "m3ed", "mvsec", "prophesee"]:
    """Detect whether the file uses 'separate' or 'compound' layout. O(1).

    With the default configuration the dataset layouts come first.
    """

def _read_separate(grp: Any, config: H5Config) -> np.ndarray:
    """Read events from separate datasets. Single vectorized pass."""

def _read_compound(ds: Any) -> np.ndarray:
    """Read events from a compound dataset. Single vectorized pass."""

def _read_compound_slice(ds: Any, start: int, end: int) -> np.ndarray:
    """Read a slice from a compound dataset. O(end - start)."""

def read_h5(path: Union[str, Path], config: Optional[H5Config] = None, *, stream: Optional[str] = None) -> np.ndarray:
    """Read all events from an H5 file (O(N) memory; see H5EventReader for large files).

    ``stream`` picks the camera ("left" or "right") of M3ED and MVSEC files.
    """

def write_h5(
    path: Union[str, Path],
    events: np.ndarray,
    config: Optional[H5Config] = None,
    sensor_size: Optional[Tuple[int, int]] = None,
    compression: Optional[str] = "gzip",
    compression_opts: int = 4,
    *,
    layout: str = "separate",
) -> None:
    """Write events to an H5 file using separate datasets (standard layout).

    ``layout`` "compound", "dsec" or "prophesee" writes as H5EventWriter does.

    ``compression`` is None (or ''), 'gzip' or 'lzf'; ``compression_opts`` is the
    gzip level (0 to 9). Arguments and events are checked before the file is
    created, so a bad call leaves an existing file untouched.
    """

class H5EventReader:
    """Chunked streaming reader for H5 event files.

    Every operation opens the file read-only and closes it again.
    """

    path: str
    config: H5Config
    chunk_size: int
    """Events per chunk (>= 1), taken when an iteration starts."""
    _n_events: Optional[int]

    def __init__(
        self,
        path: Union[str, Path],
        chunk_size: int = 50000,
        config: Optional[H5Config] = None,
        *,
        stream: Optional[str] = None,
    ) -> None: ...
    @property
    def layout(self) -> str:
        """The file's layout ("separate", "dsec", "prophesee", ...)."""
    @property
    def stream(self) -> Optional[str]:
        """The camera asked for (M3ED, MVSEC), or None for the first."""
    @property
    def n_events(self) -> int:
        """Total number of events in the file. Cached after first access."""
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """Yield event chunks via h5py dataset slicing (the file is open while the generator runs)."""
    def read_all(self) -> np.ndarray:
        """Read entire file into one array."""
    def read_time_window(self, t_start: int, t_end: int) -> np.ndarray:
        """Read events within a time window using binary search. O(log N + K).

        Events with t_start <= t < t_end, through the file's time index where it
        has one (DSEC, M3ED, Prophesee); every layout but the compound ones
        (KeyError for those).
        """

class H5EventWriter:
    """Buffered streaming writer for H5 event files.

    The constructor creates the file (replacing any existing one) with four
    empty, chunked, unlimited datasets t, x, y, p in ``events_group``, or in
    ``layout`` "compound" (one record dataset), "dsec" (/events/{p,t,x,y},
    /t_offset, /ms_to_idx) or "prophesee" (ECF /CD/events, /CD/indexes). Appended
    events are buffered and written in whole chunks. After ``flush()`` or
    ``close()`` every event appended so far is in the file, with the attributes
    "n_events", "format", "sensor_width"/"sensor_height" and "t_start"/"t_end".
    Appending to a closed writer raises ValueError. A context manager; a writer
    collected while open is flushed and closed.
    """

    path: str
    config: H5Config
    chunk_size: int

    def __init__(
        self,
        path: Union[str, Path],
        config: Optional[H5Config] = None,
        sensor_size: Optional[Tuple[int, int]] = None,
        compression: Optional[str] = "gzip",
        compression_opts: int = 4,
        chunk_size: int = 100000,
        *,
        layout: str = "separate",
    ) -> None: ...
    @property
    def n_events(self) -> int:
        """Number of events appended so far (written or buffered)."""
    @property
    def closed(self) -> bool: ...
    @property
    def sensor_size(self) -> Optional[Tuple[int, int]]: ...
    def append(self, events: np.ndarray) -> None:
        """Append any structured array with fields t, x, y, p (copied; cast like astype)."""
    def flush(self) -> None:
        """Write every buffered event, update the attributes and flush the file."""
    def close(self) -> None:
        """Flush and close the file; closing a closed writer does nothing."""
    def __enter__(self) -> "H5EventWriter": ...
    def __exit__(self, *exc_info: object) -> bool:
        """Close the writer (flushing it); exceptions are not suppressed."""

def _ecf_encode(events: np.ndarray, mode: Optional[str] = None) -> bytes:
    """Encode events (at most 65535, in time order) as one ECF chunk.

    ``mode`` "yxp", "xp" or "codes"; None picks the one of fewest bytes.
    """

def _ecf_decode(data: bytes) -> np.ndarray:
    """Decode one ECF chunk into an EVENT_DTYPE array (ValueError when corrupt)."""
