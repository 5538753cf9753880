"""Vendor recording files read and written without the vendors' SDKs.

Prophesee DAT, iniVation AEDAT4, AEDAT 2.0 / 3.1, ATIS binary, Event Stream and text files to
EVENT_DTYPE chunks (and back, where there is a writer);
morvel.io.open() chooses the reader from a file's contents.
"""

import os
from typing import Generator, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from typing_extensions import disjoint_base

EVENT_DTYPE: np.dtype
"""The record type of morvel.io.streaming: t <u8, x <u2, y <u2, p u1."""

__test__: dict

# --- Prophesee DAT ----------------------------------------------------------------

@disjoint_base
class DatReader:
    """Reader for Prophesee DAT files ('%' header, type and size bytes, 8-byte CD records)."""

    path: str
    header: dict[str, str]
    sensor_size: Optional[Tuple[int, int]]
    event_type: Optional[int]
    event_size: int
    version: int
    t0: int
    data_offset: int
    @property
    def chunk_size(self) -> int: ...
    def __init__(self, path: Union[str, os.PathLike[str]], *, chunk_size: int = 1000000) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, read in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (large files decoded in pieces on up to ``threads`` threads)."""
    def count_events(self) -> int:
        """Number of events, from the file's size."""

@disjoint_base
class DatWriter:
    """Streaming writer of Prophesee DAT files (version 2, CD events)."""

    path: str
    sensor_size: Optional[Tuple[int, int]]
    @property
    def n_events(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def __init__(
        self, path: Union[str, os.PathLike[str]], *, sensor_size: Optional[Tuple[int, int]] = None
    ) -> None: ...
    def append(self, events: np.ndarray) -> None:
        """Check and write events; nothing of the array is written if one cannot be stored."""
    def close(self) -> None: ...
    def __enter__(self) -> "DatWriter": ...
    def __exit__(self, *exc_info: object) -> bool: ...

def write_dat(
    path: Union[str, os.PathLike[str]], events: np.ndarray, *, sensor_size: Optional[Tuple[int, int]] = None
) -> None:
    """Write a DAT file; every event is checked before a byte is written."""

# --- iniVation AEDAT4 ---------------------------------------------------------

@disjoint_base
class Aedat4Reader:
    """Reader for iniVation AEDAT4 recordings, without dv-processing."""

    path: str
    streams: tuple[dict[str, object], ...]
    """Every stream of the file: id, name, type ('EVTS', 'FRME', ...), sensor_size."""
    sensor_size: Optional[Tuple[int, int]]
    compression: str
    """'none', 'lz4', 'lz4_high', 'zstd' or 'zstd_high'."""
    @property
    def chunk_size(self) -> int: ...
    @property
    def stream(self) -> int:
        """Id of the event stream read."""
    @property
    def has_table(self) -> bool:
        """True when the file has a readable data table."""
    @property
    def time_span(self) -> Optional[Tuple[int, int]]:
        """(first t, last t) of the stream from the data table, or None."""
    @property
    def n_events(self) -> Optional[int]:
        """Events of the stream from the data table, or None."""
    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        *,
        chunk_size: int = 1000000,
        stream: Optional[Union[int, str]] = None,
    ) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, one packet decoded at a time."""
    def read_all(self) -> np.ndarray:
        """Every event of the stream in one array."""
    def read_time_window(self, t_start: int, t_end: int) -> np.ndarray:
        """Events with t_start <= t < t_end, in file order (through the data table when there is one)."""

@disjoint_base
class Aedat4Writer:
    """Streaming writer of AEDAT4 recordings: packets of 10,000 events, a data table at close."""

    path: str
    sensor_size: Optional[Tuple[int, int]]
    compression: str
    @property
    def n_events(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        *,
        sensor_size: Optional[Tuple[int, int]] = None,
        compression: Optional[str] = "lz4",
    ) -> None: ...
    def append(self, events: np.ndarray) -> None:
        """Write events; nothing of the array is taken if one cannot be written."""
    def close(self) -> None: ...
    def __enter__(self) -> "Aedat4Writer": ...
    def __exit__(self, *exc_info: object) -> bool: ...

def write_aedat4(
    path: Union[str, os.PathLike[str]],
    events: np.ndarray,
    *,
    sensor_size: Optional[Tuple[int, int]] = None,
    compression: Optional[str] = "lz4",
) -> None:
    """Write events as an AEDAT4 recording; every event is checked before the file is touched."""

# --- the public datasets' formats -------------------------------------------------

@disjoint_base
class Aedat2Reader:
    """Reader for AEDAT 2.0 files (jAER): big-endian address and timestamp records."""

    path: str
    header: str
    """The '#' header lines, as they are."""
    sensor_size: Optional[Tuple[int, int]]
    """The camera's: (128, 128), (240, 180) or (346, 260)."""
    data_offset: int
    @property
    def chunk_size(self) -> int: ...
    def __init__(
        self, path: Union[str, os.PathLike[str]], *, chunk_size: int = 1000000, camera: Optional[str] = None
    ) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, read in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (large files decoded in pieces on up to ``threads`` threads)."""

@disjoint_base
class Aedat3Reader:
    """Reader for AEDAT 3.1 files (libcaer): the valid events of the polarity packets."""

    path: str
    header: str
    """The '#' header lines to '#!END-HEADER', as they are."""
    sensor_size: None
    data_offset: int
    @property
    def chunk_size(self) -> int: ...
    def __init__(self, path: Union[str, os.PathLike[str]], *, chunk_size: int = 1000000) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, read in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (on one thread; ``threads`` is accepted for a uniform call)."""

@disjoint_base
class AtisReader:
    """Reader for the 5-byte ATIS binary files of N-MNIST, N-Caltech101 and N-CARS."""

    path: str
    header: None
    sensor_size: None
    data_offset: int
    @property
    def chunk_size(self) -> int: ...
    def __init__(self, path: Union[str, os.PathLike[str]], *, chunk_size: int = 1000000) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, read in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (large files decoded in pieces on up to ``threads`` threads)."""

@disjoint_base
class AtisWriter:
    """Streaming writer of 5-byte ATIS binary files, with wrap markers where t needs them."""

    path: str
    sensor_size: None
    @property
    def n_events(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def __init__(self, path: Union[str, os.PathLike[str]]) -> None: ...
    def append(self, events: np.ndarray) -> None:
        """Check and write events; nothing of the array is written if one cannot be stored."""
    def close(self) -> None: ...
    def __enter__(self) -> "AtisWriter": ...
    def __exit__(self, *exc_info: object) -> bool: ...

def write_atis(path: Union[str, os.PathLike[str]], events: np.ndarray) -> None:
    """Write a 5-byte ATIS binary file; every event is checked before the file is created."""

@disjoint_base
class EsReader:
    """Reader of Event Stream 2.x files: DVS events, and the change detections of ATIS streams."""

    path: str
    header: dict[str, object]
    """{'type': 'dvs' or 'atis', 'version': (major, minor, patch)}."""
    sensor_size: Tuple[int, int]
    data_offset: int
    @property
    def chunk_size(self) -> int: ...
    def __init__(self, path: Union[str, os.PathLike[str]], *, chunk_size: int = 1000000) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, read in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (on one thread; ``threads`` is accepted for a uniform call)."""

@disjoint_base
class EsWriter:
    """Streaming writer of DVS Event Stream 2.0.0 files, as faery writes them."""

    path: str
    sensor_size: Tuple[int, int]
    @property
    def n_events(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def __init__(self, path: Union[str, os.PathLike[str]], *, sensor_size: Tuple[int, int]) -> None: ...
    def append(self, events: np.ndarray) -> None:
        """Check and write events (in time order, inside sensor_size); nothing of a refused array is written."""
    def close(self) -> None: ...
    def __enter__(self) -> "EsWriter": ...
    def __exit__(self, *exc_info: object) -> bool: ...

def write_es(path: Union[str, os.PathLike[str]], events: np.ndarray, *, sensor_size: Tuple[int, int]) -> None:
    """Write a DVS Event Stream file; every event is checked before the file is created."""

@disjoint_base
class CsvReader:
    """Reader of text files of one event a line (CSV, tab or whitespace separated)."""

    path: str
    header: None
    sensor_size: None
    data_offset: int
    @property
    def chunk_size(self) -> int: ...
    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        *,
        chunk_size: int = 1000000,
        columns: Optional[Sequence[Optional[str]]] = None,
        delimiter: Optional[str] = None,
        time_unit: str = "us",
    ) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, parsed in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (on one thread; ``threads`` is accepted for a uniform call)."""

@disjoint_base
class CsvWriter:
    """Streaming writer of "t,x,y,p" text files."""

    path: str
    sensor_size: None
    @property
    def n_events(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def __init__(self, path: Union[str, os.PathLike[str]], *, delimiter: str = ",", header: bool = True) -> None: ...
    def append(self, events: np.ndarray) -> None:
        """Check and write events; nothing of a refused array is written."""
    def close(self) -> None: ...
    def __enter__(self) -> "CsvWriter": ...
    def __exit__(self, *exc_info: object) -> bool: ...

def write_csv(
    path: Union[str, os.PathLike[str]], events: np.ndarray, *, delimiter: str = ",", header: bool = True
) -> None:
    """Write a text file of events; every event is checked before the file is created."""

def to_events(
    table: Union[np.ndarray, Mapping[str, np.ndarray]], *, fields: Optional[Tuple[str, str, str, str]] = None
) -> np.ndarray:
    """A table of events (structured array or dict of columns) as EVENT_DTYPE, through the conversion core."""
