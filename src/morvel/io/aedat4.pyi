"""AEDAT4 format: unpack 2-bit packed FPGA frames to event streams.

A frame holds width x height pixels, four a byte (bit pairs 7-6, 5-4, 3-2, 1-0
are pixels 4k .. 4k+3), row-major, no header, no padding between frames.
Codes: 00 no event, 01 positive (p=1), 10 negative (p=0), 11 unused.
"""

from dataclasses import dataclass as dataclass
from typing import Optional as Optional

import numpy as np


EVENT_DTYPE: np.dtype
__test__: dict

@dataclass
class FrameConfig:
    """Configuration for 2-bit packed frame format."""

    width: int
    height: int
    frame_interval_us: int = 1000
    @property
    def frame_size_bytes(self) -> int:
        """Bytes per frame: (width * height) // 4."""

DEFAULT_CONFIG: FrameConfig
"""FrameConfig(width=1280, height=720, frame_interval_us=1000)."""

def unpack_frame(data: bytes, width: int, height: int, timestamp: int) -> np.ndarray:
    """Unpack a single 2-bit packed frame to events, all at ``timestamp`` (modulo 2**64).

    Raises ValueError when data is shorter than (width * height) // 4 bytes or a
    dimension is outside 0 to 65536.
    """

def unpack_frames(
    data: bytes,
    width: int,
    height: int,
    frame_interval_us: int = 1000,
    start_frame: int = 0,
    *,
    threads: Optional[int] = None,
) -> np.ndarray:
    """Unpack multiple consecutive 2-bit packed frames, sorted by timestamp.

    Frame f gets t = (start_frame + f) * frame_interval_us modulo 2**64; a
    trailing partial frame is ignored. Raises ValueError for a dimension outside
    0 to 65536 or width * height below 4.
    """
