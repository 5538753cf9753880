"""Event format conversion: camera words to events, events to dense arrays.

EVT 2.0 / EVT 3.0 raw words to EVENT_DTYPE events (whole buffers, or streams
read in pieces), events to frames of shape (n_frames, height, width) and to
binary spike rasters of shape (time_bins, n_neurons).
"""

import os
from collections.abc import Buffer
from typing import Generator, Optional, Tuple, Union

import numpy as np
from typing_extensions import disjoint_base

EVENT_DTYPE: np.dtype
"""The record type of morvel.io.streaming: t <u8, x <u2, y <u2, p u1."""

__test__: dict

def decode_evt2(raw_data: bytes, *, threads: Optional[int] = None) -> np.ndarray:
    """Decode EVT2 (Prophesee 32-bit) raw data to MORVEL events.

    raw_data must be exactly bytes (TypeError otherwise) and a whole number of
    4-byte words (ValueError otherwise). Events come in input order. Large
    buffers are decoded in pieces on up to ``threads`` threads (default: the
    cores this process may use), with the same events.
    """

def decode_evt3(raw_data: bytes, *, threads: Optional[int] = None) -> np.ndarray:
    """Decode EVT3 (Prophesee 16-bit) raw data to MORVEL events.

    raw_data must be exactly bytes (TypeError otherwise) and a whole number of
    2-byte words (ValueError otherwise). Events come in input order. Large
    buffers are decoded in pieces on up to ``threads`` threads, with the same
    events.
    """

def _simd(enabled: Optional[bool] = None) -> bool:
    """Whether the decoders of this module take their AVX-512 paths.

    With ``enabled`` True or False, turns them on (where the CPU has them) or
    off for the whole process and returns whether they were on. Both paths
    give the same events; MORVEL_SIMD=0 in the environment turns the wide
    ones off from the start.
    """

@disjoint_base
class Evt2Decoder:
    """Streaming EVT 2.0 decoder: time high, wraps and a partial word carry over between calls."""

    def __init__(self) -> None: ...
    def decode(self, data: Buffer) -> np.ndarray:
        """Decode the next bytes of the stream (any C-contiguous buffer, any length)."""
    def reset(self) -> None:
        """Forget all state: like a new decoder."""
    @property
    def pending_bytes(self) -> int:
        """Bytes held from the last decode() that do not yet make a whole word (0..3)."""

@disjoint_base
class Evt3Decoder:
    """Streaming EVT 3.0 decoder: y, base x, polarity, time, wraps and an odd byte carry over."""

    def __init__(self) -> None: ...
    def decode(self, data: Buffer) -> np.ndarray:
        """Decode the next bytes of the stream (any C-contiguous buffer, any length; non-bytes are copied)."""
    def reset(self) -> None:
        """Forget all state: like a new decoder."""
    @property
    def pending_bytes(self) -> int:
        """Bytes held from the last decode() that do not yet make a whole word (0 or 1)."""

def events_to_frames(
    events: np.ndarray,
    sensor_size: Tuple[int, int],
    n_frames: int = 1,
    accumulate: bool = True,
    *,
    threads: Optional[int] = None,
) -> np.ndarray:
    """Convert events to dense frame representation.

    float32 array of shape (n_frames, height, width): event counts per time bin
    and pixel (accumulate) or 1.0 where any event fell; events outside the
    sensor are dropped.
    """

def events_to_raster(
    events: np.ndarray, n_neurons: int, time_bins: int = 100, *, threads: Optional[int] = None
) -> np.ndarray:
    """Convert events to spike raster (neuron x time).

    Binary float32 array of shape (time_bins, n_neurons); the neuron of an
    event is (x * height + y) % n_neurons with height = max(y) + 1.
    """

@disjoint_base
class RawReader:
    """Reader for RAW camera recordings (ASCII header, then EVT 2.0 / 2.1 / 3.0 words)."""

    path: str
    header: dict[str, str]
    sensor_size: Optional[Tuple[int, int]]
    data_offset: int
    @property
    def format(self) -> str:
        """"EVT2", "EVT21" or "EVT3"."""
    @property
    def chunk_size(self) -> int: ...
    def __init__(
        self, path: Union[str, os.PathLike[str]], chunk_size: int = 100000, format: Optional[str] = None
    ) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """EVENT_DTYPE chunks of exactly chunk_size events but the last, read in bounded pieces."""
    def read_all(self, *, threads: Optional[int] = None) -> np.ndarray:
        """Every event of the file in one array (decoded in pieces on up to ``threads`` threads)."""
    def count_events(self) -> int:
        """Number of events, counted from the words without decoding them."""
    def read_time_window(self, t_start: int, t_end: int, *, threads: Optional[int] = None) -> np.ndarray:
        """Events with t_start <= t < t_end as read_all() gives them; the first call indexes the file."""
    def read_into(self, out: np.ndarray) -> int:
        """Decode the next events of one pass over the file into ``out``; returns the count (0 at the end)."""
    def rewind(self) -> None:
        """Make the next read_into() start at the first event again."""
    def time_span(self) -> Optional[Tuple[int, int]]:
        """(first t, last t) of the file's events (from the window index), or None for none."""

@disjoint_base
class RawWriter:
    """Streaming writer of RAW recordings."""

    path: str
    sensor_size: Optional[Tuple[int, int]]
    @property
    def n_events(self) -> int: ...
    @property
    def format(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def __init__(
        self, path: Union[str, os.PathLike[str]], format: str = "EVT3", sensor_size: Optional[Tuple[int, int]] = None
    ) -> None: ...
    def write(self, events: np.ndarray) -> None:
        """Encode and write events; nothing of the array is written if one cannot be encoded."""
    def close(self) -> None: ...
    def __enter__(self) -> "RawWriter": ...
    def __exit__(self, *exc_info: object) -> bool: ...

def encode_evt2(events: np.ndarray) -> bytes:
    """EVT 2.0 words of the events (non-decreasing t, x and y below 2048, p 0 or 1)."""

def encode_evt3(events: np.ndarray) -> bytes:
    """EVT 3.0 words of the events, with vector words for runs on one row."""

def write_raw(
    path: Union[str, os.PathLike[str]],
    events: np.ndarray,
    format: str = "EVT3",
    sensor_size: Optional[Tuple[int, int]] = None,
) -> None:
    """Write a RAW recording; every event is checked before a byte is written."""
