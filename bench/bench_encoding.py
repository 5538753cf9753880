"""encoding: the four spike encoders on a 640 x 480 image, 10 steps."""

from __future__ import annotations

import numpy as np

from common import Case


def cases(quick: bool) -> list[Case]:
    from morvel.io.encoding import delta_encode, latency_encode, rate_encode, temporal_encode

    h, w = (120, 160) if quick else (480, 640)
    steps = 10
    image = np.random.default_rng(0).random((h, w)).astype(np.float32)
    previous = np.random.default_rng(1).random((h, w)).astype(np.float32)
    n = h * w * steps

    def np_rate():
        return (np.random.rand(steps, h, w) < image).astype(np.float32)

    def np_latency():
        out = np.zeros((steps, h, w), np.float32)
        step = np.round((1 - image.astype(np.float64)) * (steps - 1)).astype(np.intp)
        yy, xx = np.nonzero(image > 0)
        out[step[yy, xx], yy, xx] = 1.0
        return out

    def np_latency_plain():  # the formula directly: each step index compared with the firing step
        step = np.round((1 - image.astype(np.float64)) * (steps - 1))
        k = np.arange(steps)[:, None, None]
        return ((k == step) & (image > 0)).astype(np.float32)

    def np_temporal():
        k = np.arange(1, steps + 1, dtype=np.float64)[:, None, None]
        v = image.astype(np.float64)
        return (np.floor(k * v) > np.floor((k - 1) * v)).astype(np.float32)

    def np_delta():
        s = np.arange(0, steps + 1, dtype=np.float64)[:, None, None] / steps
        p, d = previous.astype(np.float64), image.astype(np.float64)
        ramp = p + (d - p) * s
        ramp[-1] = d
        return np.diff(np.floor(ramp / 0.1), axis=0).astype(np.float32)

    label = f"{w}x{h}, {steps} steps"
    return [
        Case("encoding", f"rate_encode {label}", lambda: rate_encode(image, steps), {"numpy rand<data": np_rate},
             target=3, units=(n, "spk")),
        Case("encoding", f"latency_encode {label}", lambda: latency_encode(image, steps),
             {"numpy step == round": np_latency_plain, "numpy round+scatter": np_latency}, target=5,
             target_ref="numpy step == round", units=(n, "spk"),
             note="output-bound: a fresh 12 MB float32 array costs ~1.5 ms to fill here"),
        Case("encoding", f"temporal_encode {label}", lambda: temporal_encode(image, steps),
             {"numpy floor diff": np_temporal}, target=5, units=(n, "spk")),
        Case("encoding", f"delta_encode {label}", lambda: delta_encode(image, steps, 0.1, previous),
             {"numpy ramp floor diff": np_delta}, target=5, units=(n, "spk")),
    ]
