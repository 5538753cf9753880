"""Spike encoding: arrays of values in [0, 1] to spike trains of shape (n_steps, *data.shape), float32."""

from typing import Optional

import numpy as np
from numpy.typing import ArrayLike

def rate_encode(data: ArrayLike, n_steps: int = 10, gain: float = 1.0) -> np.ndarray:
    """Bernoulli spikes with probability min(1, gain * value) at every step (np.random.seed reproduces)."""

def latency_encode(data: ArrayLike, n_steps: int = 10) -> np.ndarray:
    """One spike per value > 0 at step round((1 - value) * (n_steps - 1)); 0 never fires."""

def temporal_encode(data: ArrayLike, n_steps: int = 10) -> np.ndarray:
    """Integrate-and-fire: floor(value * n_steps) spikes, evenly spread."""

def delta_encode(
    data: ArrayLike, n_steps: int = 10, threshold: float = 0.1, previous: Optional[ArrayLike] = None
) -> np.ndarray:
    """Signed threshold crossings of a linear ramp from previous (zeros) to data."""
