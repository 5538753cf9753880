"""Vendor recording files read and written without the vendors' SDKs.

Prophesee DAT and iniVation AEDAT4 files to EVENT_DTYPE chunks and back;
morvel.io.open() chooses the reader from a file's contents.
"""

import os
from typing import Generator, Optional, Tuple, Union

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
    def read_all(self) -> np.ndarray:
        """Every event of the file in one array."""
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
