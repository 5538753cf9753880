"""Throughput measurement for event I/O pipelines."""

from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np

EVENT_DTYPE: np.dtype

@dataclass
class ThroughputResult:
    """Throughput measurement results."""

    events_per_sec: float
    rgb_fps: float
    event_fps: float
    encoding_fps: float
    encoding_skipped: bool
    encoding_skip_reason: Optional[str]
    total_events: int
    duration_sec: float
    sensor_size: Tuple[int, int]
    accumulation_us: int

    def summary(self) -> str:
        """Human-readable throughput summary."""

def benchmark_throughput(
    n_events: int = 5000000,
    sensor_size: Tuple[int, int] = (640, 480),
    accumulation_us: int = 33333,
    include_encoding: bool = False,
    chunk_size: int = 100000,
) -> ThroughputResult:
    """Benchmark event I/O throughput."""

def _events_to_rgb_frame(events: np.ndarray, width: int, height: int) -> np.ndarray:
    """Accumulate events into an 8-bit RGB frame (ON blue, OFF red; busiest pixel-channel 255)."""

def generate_random_events(
    n_events: int, sensor_size: Tuple[int, int] = (640, 480), duration_us: int = 1000000
) -> np.ndarray: ...
