"""throughput: the RGB and event-count frame phases against their NumPy formulation (np.add.at)."""

from __future__ import annotations

import numpy as np

from common import Case


def numpy_rgb(window, width, height):
    frame = np.zeros((height, width, 3), np.float32)
    if len(window) == 0:
        return frame.astype(np.uint8)
    x, y, p = window["x"].astype(np.intp), window["y"].astype(np.intp), window["p"]
    keep = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    x, y, p = x[keep], y[keep], p[keep]
    on = p == 1
    np.add.at(frame, (y[on], x[on], 2), 1.0)
    np.add.at(frame, (y[~on], x[~on], 0), 1.0)
    mx = frame.max()
    if mx > 0:
        frame = frame / mx * 255.0
    return frame.astype(np.uint8)


def numpy_count(window, width, height):
    frame = np.zeros((height, width), np.int32)
    x, y = window["x"].astype(np.intp), window["y"].astype(np.intp)
    keep = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    np.add.at(frame, (y[keep], x[keep]), 1)
    return frame


def cases(quick: bool) -> list[Case]:
    from morvel.io.streaming import generate_random_events
    from morvel.io.throughput import _events_to_rgb_frame, benchmark_throughput

    n = 500_000 if quick else 5_000_000
    width, height, acc = 640, 480, 33333
    np.random.seed(0)
    events = generate_random_events(n, sensor_size=(width, height), duration_us=n)
    t = events["t"]
    bounds = np.searchsorted(t, np.arange(int(t[0]), int(t[-1]) + acc, acc), side="left")
    windows = [events[a:b] for a, b in zip(bounds[:-1], bounds[1:])]

    out = [Case("throughput", f"RGB frames, {len(windows)} windows of {acc} us",
                lambda: [_events_to_rgb_frame(w, width, height) for w in windows],
                {"numpy np.add.at": lambda: [numpy_rgb(w, width, height) for w in windows]},
                target=5, units=(len(windows), "frm"), repeat=3)]
    try:
        from morvel.io.formats import events_to_frames
    except ImportError:
        events_to_frames = None
    if events_to_frames is not None:
        out.append(Case("throughput", f"event-count frames, {len(windows)} windows",
                        lambda: [events_to_frames(w, (width, height), 1) for w in windows],
                        {"numpy np.add.at": lambda: [numpy_count(w, width, height) for w in windows]},
                        target=5, units=(len(windows), "frm"), repeat=3))
    result = benchmark_throughput(n_events=n)
    out.append(Case("throughput", f"benchmark_throughput({n:,}) whole run",
                    lambda: benchmark_throughput(n_events=n), {}, repeat=1,
                    note=f"reported: {result.events_per_sec:,.0f} events/s, {result.rgb_fps:,.1f} RGB frames/s, "
                         f"{result.event_fps:,.1f} event frames/s"))
    return out
