"""Event streaming infrastructure.

Provides buffered, zero-copy event reading from files and generators.
All operations use NumPy structured arrays for vectorised processing.
"""

from typing import Generator, Optional, Tuple

import numpy as np

__all__ = ["EVENT_DTYPE", "BufferedEventReader", "EventBuffer", "generate_random_events"]

EVENT_DTYPE: np.dtype
"""[('t', '<u8'), ('x', '<u2'), ('y', '<u2'), ('p', 'u1')]: 13 bytes, packed, little-endian."""

__test__: dict

class BufferedEventReader:
    """Buffered reader for event streams from binary files."""

    path: str
    dtype: np.dtype
    chunk_size: int
    """Records per chunk (>= 1); may be changed between steps of an iteration."""
    _event_size: int

    def __init__(self, path: str, chunk_size: int = 10000, dtype: np.dtype = ...) -> None: ...
    def __iter__(self) -> Generator[np.ndarray, None, None]:
        """Yield read-only event chunks of ``chunk_size`` records (the last may be shorter)."""
    def read_all(self) -> np.ndarray:
        """Read entire file into one writable array."""

class EventBuffer:
    """In-memory event buffer with append/flush semantics."""

    _buffer: np.ndarray
    _size: int
    _capacity: int

    def __init__(self, capacity: int = 50000) -> None: ...
    def append(self, events: np.ndarray) -> None:
        """Append events to the buffer (doubling growth)."""
    def flush(self) -> np.ndarray:
        """Flush and return all buffered events, resetting the buffer."""
    def __len__(self) -> int: ...
    @property
    def events(self) -> np.ndarray:
        """Current buffered events (view, not copy)."""

def generate_random_events(
    n_events: int, sensor_size: Tuple[int, int] = (640, 480), duration_us: int = 1000000
) -> np.ndarray:
    """Generate random events for testing, sorted by timestamp."""
