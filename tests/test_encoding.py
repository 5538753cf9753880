"""Spike encoders: shapes, exact deterministic codes, rate statistics, validation."""

import numpy as np
import pytest

from morvel.io import encoding
from morvel.io.encoding import delta_encode, latency_encode, rate_encode, temporal_encode

ENCODERS = [rate_encode, latency_encode, temporal_encode, delta_encode]


@pytest.mark.parametrize("encoder", ENCODERS)
@pytest.mark.parametrize(
    "data",
    [
        np.random.default_rng(0).random((4, 5)),
        np.random.default_rng(1).random((2, 3, 4)).astype(np.float32),
        np.array([0, 1, 1, 0], dtype=np.uint8),
        np.array([True, False]),
        [0.25, 0.5],
        0.5,
        np.zeros((0, 3)),
        np.random.default_rng(2).random((6, 8))[:, ::2],  # non-contiguous
        np.random.default_rng(3).random(5).astype(">f8"),  # byte-swapped
    ],
)
def test_shape_and_dtype(encoder, data):
    out = encoder(data, n_steps=7)
    assert out.dtype == np.float32
    assert out.shape == (7, *np.shape(data))


@pytest.mark.parametrize("encoder", ENCODERS)
@pytest.mark.parametrize("bad", [np.array([0.5, 1.5]), np.array([-0.01]), np.array([0.2, np.nan]), np.array([np.inf]),
                                 [2]])
def test_values_outside_unit_range_are_refused(encoder, bad):
    with pytest.raises(ValueError, match=r"values must be in \[0, 1\]"):
        encoder(bad)


@pytest.mark.parametrize("encoder", ENCODERS)
@pytest.mark.parametrize("steps", [0, -3])
def test_n_steps_below_one(encoder, steps):
    with pytest.raises(ValueError, match=f"n_steps must be >= 1, got {steps}"):
        encoder(np.array([0.5]), steps)


@pytest.mark.parametrize("encoder", ENCODERS)
def test_argument_types(encoder):
    with pytest.raises(TypeError, match=r"Argument 'n_steps' has incorrect type \(expected int, got str\)"):
        encoder(np.array([0.5]), "10")
    assert encoder(np.array([0.5]), 3.9).shape == (3, 1)  # floats truncate
    with pytest.raises(TypeError):
        encoder(np.array([0.5 + 1j]))  # complex does not convert to float safely


def test_rate_statistics():
    np.random.seed(0)
    values = np.repeat(np.array([0.0, 0.1, 0.5, 0.9, 1.0]), 20000)
    out = rate_encode(values, n_steps=20)
    freq = out.reshape(20, 5, 20000).mean(axis=(0, 2))
    assert freq[0] == 0.0 and freq[-1] == 1.0
    np.testing.assert_allclose(freq[1:4], [0.1, 0.5, 0.9], atol=0.005)
    # steps are independent: no correlation between consecutive steps
    mid = out[:, 2 * 20000:3 * 20000]
    assert abs(np.corrcoef(mid[:-1].ravel(), mid[1:].ravel())[0, 1]) < 0.01
    assert set(np.unique(out)) <= {0.0, 1.0}


def test_rate_gain():
    np.random.seed(1)
    out = rate_encode(np.full(100000, 0.2), n_steps=5, gain=2.5)
    assert abs(out.mean() - 0.5) < 0.01
    assert rate_encode(np.full(1000, 0.6), n_steps=3, gain=2.0).all()  # min(1, gain * value)
    assert not rate_encode(np.full(1000, 0.6), n_steps=3, gain=0.0).any()
    with pytest.raises(ValueError, match="gain must be >= 0"):
        rate_encode(np.full(3, 0.5), gain=-1.0)
    with pytest.raises(ValueError, match="gain must be >= 0"):
        rate_encode(np.full(3, 0.5), gain=float("nan"))


def test_rate_reproducible_under_global_seed():
    data = np.random.default_rng(4).random((30, 40))
    np.random.seed(7)
    a = rate_encode(data)
    np.random.seed(7)
    b = rate_encode(data)
    c = rate_encode(data)
    assert np.array_equal(a, b) and not np.array_equal(b, c)


def test_latency_exact():
    values = np.array([1.0, 0.5, 0.0, 0.01, 0.75, 0.875])
    out = latency_encode(values, n_steps=5)
    expected = np.zeros((5, 6), np.float32)
    for i, v in enumerate(values):
        if v > 0:
            expected[int(np.round((1 - v) * 4)), i] = 1.0
    assert np.array_equal(out, expected)
    assert out[:, 2].sum() == 0  # zero never fires
    assert out[0, 0] == 1.0 and out[4, 3] == 1.0  # strongest first, weakest last
    assert latency_encode(np.array([0.3]), n_steps=1)[0, 0] == 1.0


def test_temporal_counts_and_spread():
    rng = np.random.default_rng(5)
    values = np.concatenate([rng.random(5000), [0.0, 1.0, 0.5, 0.1, 0.3]])
    for steps in (1, 7, 10, 64):
        out = temporal_encode(values, n_steps=steps)
        assert np.array_equal(out.sum(axis=0), np.floor(values * steps))
        # Reference: the integrate-and-fire definition, in exact rationals
        k = np.arange(1, steps + 1)[:, None]
        assert np.array_equal(out, (np.floor(k * values) > np.floor((k - 1) * values)).astype(np.float32))
    half = temporal_encode(np.array([0.5]), n_steps=10)[:, 0]
    assert half.tolist() == [0, 1] * 5  # evenly spread


def test_delta_signs_and_counts():
    rng = np.random.default_rng(6)
    data, prev = rng.random(4000), rng.random(4000)
    for steps, thr in ((10, 0.1), (3, 0.05), (1, 0.25), (50, 0.3)):
        out = delta_encode(data, n_steps=steps, threshold=thr, previous=prev)
        net = np.floor(data / thr) - np.floor(prev / thr)
        assert np.array_equal(out.sum(axis=0), net)
        assert np.array_equal(np.abs(out).sum(axis=0), np.abs(net))  # monotone ramp: never both signs
        assert np.all(np.sign(out) * np.sign(net) >= 0)
    # Without previous the ramp starts at 0.
    out = delta_encode(np.array([0.35]), n_steps=4)
    assert out[:, 0].tolist() == [0.0, 1.0, 1.0, 1.0]
    assert delta_encode(np.array([0.2]), previous=np.array([0.2])).sum() == 0  # no change, no events


def test_delta_bad_arguments():
    with pytest.raises(ValueError, match="threshold must be"):
        delta_encode(np.array([0.5]), threshold=0)
    with pytest.raises(ValueError, match="threshold must be"):
        delta_encode(np.array([0.5]), threshold=float("inf"))
    with pytest.raises(ValueError, match="previous must have the shape of data"):
        delta_encode(np.array([0.5, 0.2]), previous=np.array([0.5]))
    with pytest.raises(ValueError, match=r"previous values must be in \[0, 1\]"):
        delta_encode(np.array([0.5]), previous=np.array([1.5]))


def test_module_surface():
    assert encoding.__doc__.startswith("Spike encoding")
    for f in ENCODERS:
        assert f.__doc__.startswith(f.__name__ + "(data")
