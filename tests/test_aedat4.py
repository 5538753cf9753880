"""2-bit packed frames: FrameConfig, unpack_frame and unpack_frames."""

import dataclasses
import inspect

import numpy as np
import pytest

from morvel.io import aedat4
from morvel.io.aedat4 import DEFAULT_CONFIG, FrameConfig, unpack_frame, unpack_frames
from morvel.io.streaming import EVENT_DTYPE

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


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
    ev["x"] = i % width
    ev["y"] = i // width
    ev["p"] = pixels[f, i] == 1
    ev["t"] = (np.uint64(start % 2**64) + f.astype(np.uint64)) * np.uint64(interval % 2**64)
    return ev


def random_frames(n_frames, width, height, activity, seed=0):
    """Packed frames where about `activity` of the pixels carry an event (codes 01/10),
    the rest 00 or the unused 11."""
    rng = np.random.default_rng(seed)
    n_pix = n_frames * (width * height // 4) * 4
    codes = np.where(rng.random(n_pix) < activity, rng.integers(1, 3, n_pix), rng.choice([0, 0, 0, 3], n_pix))
    c = codes.astype(np.uint8).reshape(-1, 4)
    return ((c[:, 0] << 6) | (c[:, 1] << 4) | (c[:, 2] << 2) | c[:, 3]).astype(np.uint8).tobytes()


def as_tuples(ev):
    return [tuple(int(v) for v in r) for r in ev]


def test_module_names_and_doc():
    names = [n for n in vars(aedat4) if not n.startswith("__") or n == "__test__"]
    assert names == [
        "dataclass", "Optional", "np", "EVENT_DTYPE", "FrameConfig", "DEFAULT_CONFIG",
        "unpack_frame", "unpack_frames", "__test__",
    ]
    assert aedat4.__doc__.startswith("AEDAT4 format: unpack 2-bit packed FPGA frames to event streams.")
    assert aedat4.EVENT_DTYPE is EVENT_DTYPE and aedat4.dataclass is dataclasses.dataclass
    assert aedat4.__test__ == {}


def test_docstrings_and_signatures():
    assert unpack_frame.__doc__.startswith(
        "unpack_frame(bytes data: bytes, int width: int, int height: int, int timestamp: int) -> np.ndarray\n\n"
        "Unpack a single 2-bit packed frame to events (fully vectorized NumPy)."
    )
    assert unpack_frames.__doc__.startswith(
        "unpack_frames(bytes data: bytes, int width: int, int height: int, int frame_interval_us: int = 1000, "
        "int start_frame: int = 0) -> np.ndarray\n\nUnpack multiple consecutive 2-bit packed frames (fully vectorized)."
    )
    assert str(inspect.signature(unpack_frame)) == "(data, width, height, timestamp)"
    assert str(inspect.signature(unpack_frames)) == "(data, width, height, frame_interval_us=1000, start_frame=0)"


# --- FrameConfig ----------------------------------------------------------------


def test_frame_config_is_a_dataclass():
    assert dataclasses.is_dataclass(FrameConfig)
    fields = dataclasses.fields(FrameConfig)
    assert [(f.name, f.type) for f in fields] == [("width", int), ("height", int), ("frame_interval_us", int)]
    assert fields[2].default == 1000 and fields[0].default is dataclasses.MISSING
    assert "Configuration for 2-bit packed frame format." in FrameConfig.__doc__
    c = FrameConfig(1280, 720)
    assert c == DEFAULT_CONFIG and c.frame_interval_us == 1000 and c.frame_size_bytes == 230400
    assert repr(c) == "FrameConfig(width=1280, height=720, frame_interval_us=1000)"
    c.width = 3  # not frozen
    assert c.frame_size_bytes == 540
    with pytest.raises(AttributeError):
        c.frame_size_bytes = 1
    with pytest.raises(TypeError):
        FrameConfig(1)
    assert FrameConfig.frame_size_bytes.__doc__ == "Bytes per frame: (width * height) // 4."


@pytest.mark.parametrize("width, height, size", [(4, 1, 1), (3, 3, 2), (1, 3, 0), (-4, 3, -3), (10**20, 4, 10**20), (2.5, 4, 2.0)])
def test_frame_size_bytes_is_python_arithmetic(width, height, size):
    got = FrameConfig(width, height).frame_size_bytes
    assert got == size and type(got) is type(size)


# --- bit layout -----------------------------------------------------------------


def test_documented_example():
    ev = unpack_frame(bytes([0x6C]), 4, 1, 7)  # 01 10 11 00
    assert ev.dtype == EVENT_DTYPE
    assert as_tuples(ev) == [(7, 0, 0, 1), (7, 1, 0, 0)]


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("code, polarity", [(0, None), (1, 1), (2, 0), (3, None)])
def test_each_code_at_each_position(position, code, polarity):
    byte = code << (6 - 2 * position)
    ev = unpack_frame(bytes([0, byte]), 4, 2, 5)
    expected = [] if polarity is None else [(5, position, 1, polarity)]
    assert as_tuples(ev) == expected


def test_pixel_order_is_row_major():
    # Width 3: a byte spans rows; every pixel positive.
    ev = unpack_frame(bytes([0x55] * 3), 3, 4, 0)
    assert [(r[1], r[2]) for r in as_tuples(ev)] == [(i % 3, i // 3) for i in range(12)]


@pytest.mark.parametrize("width, height", [(1, 9), (2, 3), (3, 3), (5, 7), (7, 5), (13, 1), (1281, 3), (640, 480)])
def test_widths_not_divisible_by_four_drop_the_last_pixels(width, height):
    data = random_frames(1, 4 * width, height, 0.5)  # more bytes than one frame holds
    frame = width * height // 4
    ev = unpack_frame(data, width, height, 1)
    assert np.array_equal(ev, reference_unpack(data[:frame], width, height, 1, 1))
    assert np.all(ev["x"] < width) and np.all(ev["y"] < height)
    assert np.all(ev["y"].astype(np.int64) * width + ev["x"] < 4 * frame)


# --- against plain NumPy --------------------------------------------------------


@pytest.mark.parametrize(
    "n_frames, width, height, activity, interval, start",
    [
        (1, 1280, 720, 0.01, 1000, 0),
        (3, 1280, 720, 0.10, 1000, 7),
        (40, 64, 48, 0.5, 33, 0),
        (10, 346, 260, 1.0, 1, 2**40),
        (7, 17, 11, 0.3, 0, 5),
        (5, 640, 480, 0.0, 1000, 0),
        (25, 5, 5, 0.9, -1, 3),  # negative interval wraps like NumPy's cast to uint64
        (4, 8, 8, 0.5, 2**62, 2**10),  # products wrap modulo 2**64
    ],
)
def test_unpack_frames_matches_numpy(n_frames, width, height, activity, interval, start):
    data = random_frames(n_frames, width, height, activity, seed=n_frames)
    ev = unpack_frames(data, width, height, interval, start)
    assert ev.dtype == EVENT_DTYPE and ev.flags.owndata and ev.flags.writeable
    assert np.array_equal(ev, reference_unpack(data, width, height, interval, start))


def test_large_input_with_the_gil_released_is_exact():
    data = random_frames(30, 1280, 720, 0.05, seed=9)
    assert len(data) > 1 << 20
    assert np.array_equal(unpack_frames(data, 1280, 720), reference_unpack(data, 1280, 720))
    frame = data[:230400]
    assert np.array_equal(unpack_frame(frame, 1280, 720, 99), reference_unpack(frame, 1280, 720, 1, 99))


def test_multi_frame_timestamps():
    frame = bytes([0x40]) + bytes(3)  # one event at pixel 0 of a 4x4 frame
    ev = unpack_frames(frame * 3 + frame[:2], 4, 4, frame_interval_us=1000, start_frame=10)
    assert as_tuples(ev) == [(10000, 0, 0, 1), (11000, 0, 0, 1), (12000, 0, 0, 1)]
    assert np.all(np.diff(ev["t"].astype(np.int64)) >= 0)


@pytest.mark.parametrize("extra", [0, 1, 115200, 230399])
def test_unpack_frames_ignores_a_trailing_partial_frame(extra):
    data = random_frames(2, 1280, 720, 0.02)
    tail = random_frames(1, 1280, 720, 0.5, seed=3)[:extra]
    ev = unpack_frames(data + tail, 1280, 720)
    assert np.array_equal(ev, reference_unpack(data, 1280, 720))


@pytest.mark.parametrize("data", [b"", b"\x55", b"\x55" * 230399])
def test_unpack_frames_with_less_than_a_frame_is_empty(data):
    ev = unpack_frames(data, 1280, 720)
    assert ev.dtype == EVENT_DTYPE and ev.shape == (0,)


# --- unpack_frame specifics -----------------------------------------------------


def test_unpack_frame_too_short():
    with pytest.raises(ValueError) as exc:
        unpack_frame(b"\0" * 230399, 1280, 720, 0)
    assert str(exc.value) == (
        "Frame data too short: expected 230400 bytes for 1280x720 frame, got 230399.  "
        "Possible causes: truncated read, wrong dimensions, or corrupt data."
    )
    with pytest.raises(ValueError, match="expected 1 bytes for 4x1 frame, got 0"):
        unpack_frame(b"", 4, 1, 0)


def test_unpack_frame_ignores_bytes_beyond_the_frame():
    ev = unpack_frame(bytes([0x40, 0x55, 0x55]), 2, 2, 3)
    assert as_tuples(ev) == [(3, 0, 0, 1)]


@pytest.mark.parametrize("width, height, data", [(0, 10, b"\x55"), (10, 0, b""), (1, 3, b""), (3, 1, b"\x55")])
def test_unpack_frame_without_whole_bytes_is_empty(width, height, data):
    assert unpack_frame(data, width, height, 0).shape == (0,)


@pytest.mark.parametrize(
    "timestamp, t", [(-1, 2**64 - 1), (2**64 - 1, 2**64 - 1), (2**64 + 5, 5), (-(2**63), 2**63), (12.9, 12)]
)
def test_timestamps_wrap_to_uint64(timestamp, t):
    assert unpack_frame(b"\x40", 2, 2, timestamp)["t"].tolist() == [t]
    assert unpack_frames(b"\x40", 2, 2, frame_interval_us=1, start_frame=timestamp)["t"].tolist() == [t]


# --- dimensions and arguments ---------------------------------------------------


@pytest.mark.parametrize("width, height", [(-4, 1), (4, -1), (-4, -1), (65537, 1), (1, 65537), (2**70, 1), (-(2**70), 4)])
@pytest.mark.parametrize("fn", [unpack_frame, unpack_frames])
def test_dimensions_out_of_range(fn, width, height):
    with pytest.raises(ValueError, match=r"^Frame dimensions out of range: got -?\d+x-?\d+; width and height"):
        fn(b"\x55" * 64, width, height, 0)


def test_largest_dimensions_keep_their_coordinates():
    data = bytes(16383) + b"\x01"  # last pixel of row 0 of a 65536-wide frame
    ev = unpack_frame(data, 65536, 1, 0)
    assert as_tuples(ev) == [(0, 65535, 0, 1)]
    ev = unpack_frames(b"\x00\x01" + bytes(65534), 4, 65536)  # pixel 7: row 1, column 3
    assert as_tuples(ev) == [(0, 3, 1, 1)]
    data = bytes(16383) + b"\x02"  # last pixel of a 1 x 65536 frame
    assert as_tuples(unpack_frames(data, 1, 65536)) == [(0, 0, 65535, 0)]


@pytest.mark.parametrize("width, height", [(0, 0), (0, 100), (1, 3), (3, 1), (100, 0)])
def test_unpack_frames_refuses_frames_of_no_bytes(width, height):
    with pytest.raises(ValueError, match="holds no whole byte"):
        unpack_frames(b"\x55" * 10, width, height)


@pytest.mark.parametrize(
    "call, param, expected, got",
    [
        (lambda: unpack_frame(bytearray(1), 4, 1, 0), "data", "bytes", "bytearray"),
        (lambda: unpack_frame(memoryview(b"a"), 4, 1, 0), "data", "bytes", "memoryview"),
        (lambda: unpack_frame(None, 4, 1, 0), "data", "bytes", "NoneType"),
        (lambda: unpack_frames(type("B", (bytes,), {})(b"a"), 4, 1), "data", "bytes", "B"),
        (lambda: unpack_frame(b"a", "4", 1, 0), "width", "int", "str"),
        (lambda: unpack_frame(b"a", 4, None, 0), "height", "int", "NoneType"),
        (lambda: unpack_frame(b"a", 4, 1, "0"), "timestamp", "int", "str"),
        (lambda: unpack_frames(b"a", 4, 1, frame_interval_us=[1]), "frame_interval_us", "int", "list"),
        (lambda: unpack_frames(b"a", 4, 1, start_frame=None), "start_frame", "int", "NoneType"),
    ],
)
def test_argument_types(call, param, expected, got):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == TYPE_MSG.format(param, expected, got)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: unpack_frame(b"a", 4, 1), "unpack_frame() takes exactly 4 positional arguments (3 given)"),
        (lambda: unpack_frames(b"a", 4), "unpack_frames() takes at least 3 positional arguments (2 given)"),
        (lambda: unpack_frames(b"a", 4, 1, 1, 1, 1), "unpack_frames() takes at most 5 positional arguments (6 given)"),
        (lambda: unpack_frames(b"a", 4, 1, interval=1), "unpack_frames() got an unexpected keyword argument 'interval'"),
    ],
)
def test_argument_counts(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_numbers_convert_with_int():
    ev = unpack_frames(bytes([0x40, 0, 0, 0]) * 2, 4.9, np.int16(4), frame_interval_us=2.5, start_frame=True)
    assert as_tuples(ev) == [(2, 0, 0, 1), (4, 0, 0, 1)]
    kw = unpack_frame(data=b"\x40", width=2, height=2, timestamp=1)
    assert as_tuples(kw) == [(1, 0, 0, 1)]
