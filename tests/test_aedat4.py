"""2-bit packed frames: FrameConfig, unpack_frame and unpack_frames."""

import dataclasses

import numpy as np
import pytest

from morvel.io import aedat4
from morvel.io.aedat4 import DEFAULT_CONFIG, FrameConfig, unpack_frame, unpack_frames
from morvel.io.streaming import EVENT_DTYPE


def reference_unpack(data, width, height, interval=1000, start=0):
    """The unpacking written out in plain NumPy, pixel by pixel."""
    frame = width * height // 4
    n = len(data) // frame
    raw = np.frombuffer(data, dtype=np.uint8, count=n * frame).reshape(n, frame)
    pixels = np.empty((n, 4 * frame), dtype=np.uint8)
    for j, shift in enumerate((6, 4, 2, 0)):
        pixels[:, j::4] = (raw >> shift) & 3
    f, i = np.nonzero((pixels == 1) | (pixels == 2))
    ev = np.empty(len(f), dtype=EVENT_DTYPE)
    ev["x"], ev["y"], ev["p"] = i % width, i // width, pixels[f, i] == 1
    ev["t"] = (np.uint64(start % 2**64) + f.astype(np.uint64)) * np.uint64(interval % 2**64)
    return ev


def random_frames(n_frames, width, height, activity, seed=0):
    """About `activity` of the pixels 01 or 10, the rest 00 or the unused 11."""
    rng = np.random.default_rng(seed)
    n = n_frames * (width * height // 4) * 4
    codes = np.where(rng.random(n) < activity, rng.integers(1, 3, n), rng.choice([0, 0, 0, 3], n))
    c = codes.astype(np.uint8).reshape(-1, 4)
    return ((c[:, 0] << 6) | (c[:, 1] << 4) | (c[:, 2] << 2) | c[:, 3]).astype(np.uint8).tobytes()


def as_tuples(ev):
    return [tuple(int(v) for v in r) for r in ev]


def test_module_and_frame_config():
    names = [n for n in vars(aedat4) if not n.startswith("__") or n == "__test__"]
    assert names == ["dataclass", "Optional", "np", "EVENT_DTYPE", "FrameConfig", "DEFAULT_CONFIG",
                     "unpack_frame", "unpack_frames", "__test__"]
    assert aedat4.__doc__.startswith("AEDAT4 format: unpack 2-bit packed FPGA frames to event streams.")
    assert unpack_frame.__doc__.startswith("unpack_frame(bytes data: bytes, int width: int, int height: int, "
                                           "int timestamp: int) -> np.ndarray\n\nUnpack a single 2-bit packed")
    assert unpack_frames.__doc__.startswith("unpack_frames(bytes data: bytes, int width: int, int height: int, "
                                            "int frame_interval_us: int = 1000, int start_frame: int = 0, *, threads: Optional[int] = None)")
    fields = dataclasses.fields(FrameConfig)
    assert [(f.name, f.type, f.default) for f in fields] == [
        ("width", int, dataclasses.MISSING), ("height", int, dataclasses.MISSING), ("frame_interval_us", int, 1000)]
    assert DEFAULT_CONFIG == FrameConfig(1280, 720) and DEFAULT_CONFIG.frame_size_bytes == 230400
    assert FrameConfig(3, 3).frame_size_bytes == 2 and FrameConfig(-4, 3).frame_size_bytes == -3
    with pytest.raises(AttributeError):
        DEFAULT_CONFIG.frame_size_bytes = 1


def test_documented_example():
    assert as_tuples(unpack_frame(bytes([0x6C]), 4, 1, 7)) == [(7, 0, 0, 1), (7, 1, 0, 0)]  # 01 10 11 00


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("code, polarity", [(0, None), (1, 1), (2, 0), (3, None)])
def test_each_code_at_each_position(position, code, polarity):
    ev = unpack_frame(bytes([0, code << (6 - 2 * position)]), 4, 2, 5)
    assert as_tuples(ev) == ([] if polarity is None else [(5, position, 1, polarity)])


@pytest.mark.parametrize("width, height", [(1, 9), (2, 3), (3, 3), (5, 7), (13, 1), (1281, 3), (640, 480)])
def test_unpack_frame_against_numpy(width, height):
    data = random_frames(1, 4 * width, height, 0.5)  # more than a frame: the rest is ignored
    ev = unpack_frame(data, width, height, 1)
    assert np.array_equal(ev, reference_unpack(data[:width * height // 4], width, height, 1, 1))
    assert np.all(ev["x"] < width) and np.all(ev["y"] < height)


@pytest.mark.parametrize(
    "n_frames, width, height, activity, interval, start",
    [
        (6, 1280, 720, 0.01, 1000, 0),  # 1.4 MB: unpacked without the GIL
        (2, 1280, 720, 0.10, 1000, 7),
        (40, 64, 48, 0.5, 33, 0),
        (10, 346, 260, 1.0, 1, 2**40),
        (7, 17, 11, 0.3, 0, 5),
        (5, 640, 480, 0.0, 1000, 0),
        (25, 5, 5, 0.9, -1, 3),  # a negative interval wraps as NumPy's cast to uint64 does
        (4, 8, 8, 0.5, 2**62, 2**10),  # products wrap modulo 2**64
    ],
)
def test_unpack_frames_against_numpy(n_frames, width, height, activity, interval, start):
    data = random_frames(n_frames, width, height, activity, seed=n_frames)
    tail = random_frames(1, width, height, 0.5)[: width * height // 8]  # a partial frame, ignored
    ev = unpack_frames(data + tail, width, height, interval, start)
    assert ev.dtype == EVENT_DTYPE and ev.flags.owndata and ev.flags.writeable
    assert np.array_equal(ev, reference_unpack(data, width, height, interval, start))


@pytest.mark.parametrize("data", [b"", b"\x55", b"\x55" * 230399])
def test_unpack_frames_with_less_than_a_frame_is_empty(data):
    assert unpack_frames(data, 1280, 720).shape == (0,)


def test_unpack_frame_too_short():
    with pytest.raises(ValueError) as exc:
        unpack_frame(b"\0" * 230399, 1280, 720, 0)
    assert str(exc.value) == (
        "Frame data too short: expected 230400 bytes for 1280x720 frame, got 230399.  "
        "Possible causes: truncated read, wrong dimensions, or corrupt data.")


@pytest.mark.parametrize("timestamp, t", [(-1, 2**64 - 1), (2**64 + 5, 5), (-(2**63), 2**63), (12.9, 12)])
def test_timestamps_wrap_to_uint64(timestamp, t):
    assert unpack_frame(b"\x40", 2, 2, timestamp)["t"].tolist() == [t]
    assert unpack_frames(b"\x40", 2, 2, frame_interval_us=1, start_frame=timestamp)["t"].tolist() == [t]


def test_largest_frames_keep_their_coordinates():
    assert as_tuples(unpack_frame(bytes(16383) + b"\x01", 65536, 1, 0)) == [(0, 65535, 0, 1)]
    assert as_tuples(unpack_frames(bytes(16383) + b"\x02", 1, 65536)) == [(0, 0, 65535, 0)]
    assert as_tuples(unpack_frames(b"\x00\x01" + bytes(65534), 4, 65536)) == [(0, 3, 1, 1)]


@pytest.mark.parametrize("width, height", [(-4, 1), (4, -1), (65537, 1), (1, 65537), (2**70, 1), (True, -1)])
@pytest.mark.parametrize("fn", [unpack_frame, unpack_frames])
def test_dimensions_out_of_range(fn, width, height):
    with pytest.raises(ValueError, match=r"^Frame dimensions out of range: got -?\d+x-?\d+; width and height"):
        fn(b"\x55" * 64, width, height, 0)


@pytest.mark.parametrize("width, height", [(0, 0), (0, 100), (1, 3), (100, 0)])
def test_frames_of_no_bytes(width, height):
    assert unpack_frame(b"\x55", width, height, 0).shape == (0,)  # one frame of no pixels: nothing
    with pytest.raises(ValueError, match="holds no whole byte"):  # but no way to split data into frames
        unpack_frames(b"\x55" * 10, width, height)
