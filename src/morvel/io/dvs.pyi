"""Readers of vendor event-camera recordings.

iniVation AEDAT4 files through dv-processing, Prophesee RAW files through
metavision_core. Each SDK is optional and imported only when a reader starts;
both readers yield EVENT_DTYPE chunks of a fixed number of events.
"""

from typing import Generator

import numpy as np

__all__ = ["EVENT_DTYPE", "read_iniVation", "read_prophesee"]

EVENT_DTYPE: np.dtype
"""The event record type of morvel.io.streaming."""

def read_iniVation(path: str, chunk_size: int = 10000) -> Generator[np.ndarray, None, None]:
    """Read events from an iniVation AEDAT4 file.

    Requires dv-processing to be installed. Yields NumPy structured arrays of
    MORVEL events: chunks of exactly ``chunk_size`` events (the last may be
    shorter), each a new array owning its memory.
    """

def read_prophesee(path: str, chunk_size: int = 10000) -> Generator[np.ndarray, None, None]:
    """Read events from a Prophesee RAW file using Metavision SDK.

    Requires metavision_core to be installed. Yields chunks as
    :func:`read_iniVation` does.
    """
