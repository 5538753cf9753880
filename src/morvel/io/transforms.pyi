"""Representations and filters for learning pipelines, in native code.

Representations return NumPy arrays ready for torch.from_numpy or DLPack, the
same bit for bit whatever the thread count. Filters return the kept events in
their order (a new EVENT_DTYPE array), or a boolean mask with mask=True.
Every function takes EVENT_DTYPE arrays, or any structured array with fields
t, x, y, p (cast as astype casts; a signed p column is read as p > 0).
"""

from typing import Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike
from typing_extensions import disjoint_base

EVENT_DTYPE: np.dtype
"""The record type of morvel.io.streaming: t <u8, x <u2, y <u2, p u1."""

def voxel_grid(
    events: np.ndarray,
    sensor_size: Tuple[int, int],
    n_bins: int,
    *,
    t_range: Optional[Tuple[int, int]] = None,
    threads: Optional[int] = None,
) -> np.ndarray:
    """float32 (n_bins, height, width): polarity (+1/-1) spread bilinearly in time over t_range (default: min and max t)."""

def time_surface(
    events: np.ndarray,
    sensor_size: Tuple[int, int],
    tau_us: float,
    *,
    t_ref: Optional[int] = None,
    per_polarity: bool = True,
    threads: Optional[int] = None,
) -> np.ndarray:
    """float32 (2 or 1, height, width): exp(-(t_ref - t_last) / tau_us) per pixel, 0 where none fired."""

def stacked_histogram(
    events: np.ndarray,
    sensor_size: Tuple[int, int],
    n_bins: int,
    window_us: int,
    *,
    t_end: Optional[int] = None,
    count_cutoff: int = 255,
    threads: Optional[int] = None,
) -> np.ndarray:
    """uint8 (2 * n_bins, height, width): per-polarity counts in n_bins slices of (t_end - window_us, t_end]."""

def event_frames(
    events: np.ndarray,
    sensor_size: Tuple[int, int],
    *,
    t_edges: Optional[ArrayLike] = None,
    n_bins: Optional[int] = None,
    t_range: Optional[Tuple[int, int]] = None,
    per_polarity: bool = True,
    threads: Optional[int] = None,
) -> np.ndarray:
    """int32 (n_frames, 2, height, width) or (n_frames, height, width): counts per bin t_edges[k] <= t < t_edges[k + 1]."""

def count_image(
    events: np.ndarray, sensor_size: Tuple[int, int], *, per_polarity: bool = True, threads: Optional[int] = None
) -> np.ndarray:
    """int32 (2, height, width) or (height, width): events per pixel (and polarity)."""

def crop(
    events: np.ndarray, x0: int, y0: int, width: int, height: int, *, shift: bool = True, mask: bool = False
) -> np.ndarray:
    """The events with x0 <= x < x0 + width and y0 <= y < y0 + height (shifted to the window with shift)."""

def time_slice(events: np.ndarray, t_start: int, t_end: int, *, mask: bool = False) -> np.ndarray:
    """The events with t_start <= t < t_end; for time-sorted EVENT_DTYPE arrays a view."""

def refractory(events: np.ndarray, sensor_size: Tuple[int, int], period_us: int, *, mask: bool = False) -> np.ndarray:
    """Drop events that follow the last kept event of their pixel by less than period_us."""

def denoise(events: np.ndarray, sensor_size: Tuple[int, int], window_us: int, *, mask: bool = False) -> np.ndarray:
    """Keep events one of whose 8 neighbours fired within window_us before them."""

def hot_pixels(events: np.ndarray, sensor_size: Tuple[int, int], *, threshold: float = 10.0) -> np.ndarray:
    """int64 (k, 2) of (x, y): pixels counting more than threshold times the median of active pixels."""

def drop_pixels(events: np.ndarray, pixels: ArrayLike, *, mask: bool = False) -> np.ndarray:
    """The events at none of the (x, y) pixels given."""

def polarity(events: np.ndarray, p: int, *, mask: bool = False) -> np.ndarray:
    """The events of polarity p (0 or 1)."""

def downsample(events: np.ndarray, factor: int) -> np.ndarray:
    """Every event with x // factor, y // factor."""

def flip(events: np.ndarray, sensor_size: Tuple[int, int], axis: str) -> np.ndarray:
    """Every event mirrored along axis 'x' (x = width - 1 - x) or 'y' (y = height - 1 - y)."""

@disjoint_base
class Refractory:
    """refractory() for a stream read in chunks: chunk by chunk gives what the whole gives."""

    def __init__(self, sensor_size: Tuple[int, int], period_us: int) -> None: ...
    def __call__(self, events: np.ndarray, *, mask: bool = False) -> np.ndarray:
        """Filter the next chunk of the stream."""
    def reset(self) -> None:
        """Forget every pixel's past."""
    @property
    def sensor_size(self) -> Tuple[int, int]:
        """(width, height) of the sensor."""
    @property
    def period_us(self) -> int:
        """The refractory period in microseconds."""

@disjoint_base
class Denoise:
    """denoise() for a stream read in chunks: chunk by chunk gives what the whole gives."""

    def __init__(self, sensor_size: Tuple[int, int], window_us: int) -> None: ...
    def __call__(self, events: np.ndarray, *, mask: bool = False) -> np.ndarray:
        """Filter the next chunk of the stream."""
    def reset(self) -> None:
        """Forget every pixel's past."""
    @property
    def sensor_size(self) -> Tuple[int, int]:
        """(width, height) of the sensor."""
    @property
    def window_us(self) -> int:
        """The window in microseconds."""
