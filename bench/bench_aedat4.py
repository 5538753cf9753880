"""aedat4: unpacking 2-bit packed frames."""

from __future__ import annotations

import numpy as np

from common import Case

WIDTH, HEIGHT = 1280, 720


def packed_frames(n_frames: int, activity: float, seed: int = 0) -> bytes:
    """n_frames of WIDTH x HEIGHT where `activity` of the pixels carry an event
    (01 or 10), the rest 00. Ten distinct frames, repeated."""
    rng = np.random.default_rng(seed)
    distinct = min(n_frames, 10)
    n_pix = distinct * WIDTH * HEIGHT
    codes = np.where(rng.random(n_pix) < activity, rng.integers(1, 3, n_pix, dtype=np.uint8), 0).astype(np.uint8)
    c = codes.reshape(-1, 4)
    block = ((c[:, 0] << 6) | (c[:, 1] << 4) | (c[:, 2] << 2) | c[:, 3]).astype(np.uint8).tobytes()
    frame = WIDTH * HEIGHT // 4
    return (block * (n_frames // distinct + 1))[: n_frames * frame]


def numpy_unpack_frames(data: bytes, width: int, height: int, frame_interval_us: int = 1000, start_frame: int = 0):
    """The same algorithm in plain NumPy, whole frames at once."""
    from morvel.io.streaming import EVENT_DTYPE

    frame_size = width * height // 4
    n_frames = len(data) // frame_size
    raw = np.frombuffer(data, dtype=np.uint8, count=n_frames * frame_size).reshape(n_frames, frame_size)
    pixels = np.empty((n_frames, frame_size * 4), dtype=np.uint8)
    pixels[:, 0::4] = (raw >> 6) & 3
    pixels[:, 1::4] = (raw >> 4) & 3
    pixels[:, 2::4] = (raw >> 2) & 3
    pixels[:, 3::4] = raw & 3
    mask = (pixels == 1) | (pixels == 2)
    frame_indices, pixel_indices = np.nonzero(mask)
    events = np.empty(len(frame_indices), dtype=EVENT_DTYPE)
    events["x"] = (pixel_indices % width).astype(np.uint16)
    events["y"] = (pixel_indices // width).astype(np.uint16)
    events["p"] = (pixels[frame_indices, pixel_indices] == 1).astype(np.uint8)
    events["t"] = ((start_frame + frame_indices) * frame_interval_us).astype(np.uint64)
    return events


def cases(quick: bool) -> list[Case]:
    from morvel.io.aedat4 import unpack_frames

    out: list[Case] = []
    n_frames = 100 if quick else 1000
    for activity in (0.01, 0.10):
        data = packed_frames(n_frames, activity)
        assert np.array_equal(unpack_frames(data[: 10 * 230400], WIDTH, HEIGHT),
                              numpy_unpack_frames(data[: 10 * 230400], WIDTH, HEIGHT))
        out.append(Case(
            "aedat4", f"unpack_frames {n_frames} x 1280x720, {activity:.0%} active",
            lambda data=data: unpack_frames(data, WIDTH, HEIGHT),
            {"numpy": lambda data=data: numpy_unpack_frames(data, WIDTH, HEIGHT)},
            target=5, units=(len(data), "B"), repeat=3,
            note=f"input {len(data) / 1e6:.0f} MB; rate is of input bytes",
        ))
    return out
