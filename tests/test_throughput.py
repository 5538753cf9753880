"""The throughput benchmark, its report, the RGB preview frame and the command line."""

import dataclasses
import subprocess
import sys

import numpy as np
import pytest

from morvel.io import throughput
from morvel.io.streaming import EVENT_DTYPE
from morvel.io.throughput import ThroughputResult, _events_to_rgb_frame, benchmark_throughput

from conftest import make_events, run_python

FIELDS = ["events_per_sec", "rgb_fps", "event_fps", "encoding_fps", "encoding_skipped", "encoding_skip_reason",
          "total_events", "duration_sec", "sensor_size", "accumulation_us"]


def result(**changes):
    base = dict(events_per_sec=1234567.89, rgb_fps=1500.25, event_fps=12000.0, encoding_fps=0.0,
                encoding_skipped=False, encoding_skip_reason=None, total_events=5000000, duration_sec=0.1234,
                sensor_size=(640, 480), accumulation_us=33333)
    base.update(changes)
    return ThroughputResult(**base)


def test_result_is_a_dataclass():
    assert [f.name for f in dataclasses.fields(ThroughputResult)] == FIELDS
    assert ThroughputResult.__doc__.startswith("Throughput measurement results.")
    assert result() == result() and result() != result(rgb_fps=1.0)
    assert ThroughputResult.summary.__doc__.startswith("summary(self)")


REPORT = """\
=======================================================
  MORVEL I/O Throughput Report
=======================================================
  Events processed:    5,000,000
  Wall-clock time:     0.123 s
  Events/sec:          1,234,568
  RGB frames/sec:      1,500.2
  Event frames/sec:    12,000.0
{encoding}-------------------------------------------------------
  Sensor:              640x480
  Accumulation window: 33333 us
======================================================="""


@pytest.mark.parametrize(
    "changes, encoding_line",
    [
        ({}, ""),
        ({"encoding_fps": 2500.55}, "  Encoding FPS:        2,500.6\n"),
        ({"encoding_skipped": True, "encoding_skip_reason": "import failed: boom"},
         "  Encoding FPS:        N/A (skipped: import failed: boom)\n"),
        ({"encoding_skipped": True}, "  Encoding FPS:        N/A (skipped: unknown reason)\n"),
        ({"encoding_skipped": True, "encoding_skip_reason": ""}, "  Encoding FPS:        N/A (skipped: unknown reason)\n"),
        ({"encoding_skipped": True, "encoding_fps": 10.0}, "  Encoding FPS:        N/A (skipped: unknown reason)\n"),
    ],
)
def test_summary_layout(changes, encoding_line):
    text = result(**changes).summary()
    assert text == REPORT.format(encoding=encoding_line)
    assert all(len(line) == 55 for line in text.splitlines() if set(line) <= {"=", "-"})


# --- _events_to_rgb_frame ------------------------------------------------------


def numpy_rgb(events, width, height):
    frame = np.zeros((height, width, 3), np.float32)
    if len(events) == 0:
        return frame.astype(np.uint8)
    x, y, p = events["x"].astype(np.intp), events["y"].astype(np.intp), events["p"]
    keep = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    x, y, p = x[keep], y[keep], p[keep]
    on = p == 1
    np.add.at(frame, (y[on], x[on], 2), 1.0)
    np.add.at(frame, (y[~on], x[~on], 0), 1.0)
    mx = frame.max()
    if mx > 0:
        frame = frame / mx * 255.0
    return frame.astype(np.uint8)


def test_rgb_frame_rules():
    empty = _events_to_rgb_frame(np.empty(0, EVENT_DTYPE), 4, 3)
    assert empty.shape == (3, 4, 3) and empty.dtype == np.uint8 and not empty.any()
    one = np.array([(5, 1, 2, 1)], dtype=EVENT_DTYPE)
    frame = _events_to_rgb_frame(one, 4, 3)
    assert frame[2, 1, 2] == 255 and frame.sum() == 255
    outside = np.array([(0, 4, 0, 1), (0, 0, 3, 0), (0, 3, 2, 0)], dtype=EVENT_DTYPE)
    frame = _events_to_rgb_frame(outside, 4, 3)
    assert frame[2, 3, 0] == 255 and frame.sum() == 255
    assert not frame[..., 1].any()  # green stays empty


@pytest.mark.parametrize("n, size", [(50_000, (64, 48)), (200_000, (640, 480)), (1000, (3, 2))])
def test_rgb_frame_matches_numpy(n, size):
    ev = make_events(n, seed=n, width=size[0] + 2, height=size[1] + 1)  # some outside the sensor
    assert np.array_equal(_events_to_rgb_frame(ev, *size), numpy_rgb(ev, *size))


def test_rgb_frame_other_record_types():
    raw = np.array([(-1, 0, 1), (1, 1, 1), (1, 1, 0), (2, 1, 1), (1, 1, 5)],
                   dtype=[("x", "i8"), ("y", "i4"), ("p", "i2")])  # no t, negative x, p not 0/1
    frame = _events_to_rgb_frame(raw, 3, 2)
    expected = np.zeros((2, 3, 3), np.uint8)
    expected[1, 1, 2] = 127  # one ON of a busiest count of two
    expected[1, 1, 0] = 255  # p 0 and p 5 are both OFF
    expected[1, 2, 2] = 127
    assert np.array_equal(frame, expected)


def test_rgb_frame_argument_types():
    ev = np.empty(0, EVENT_DTYPE)
    with pytest.raises(TypeError, match=r"Argument 'width' has incorrect type \(expected int, got float\)"):
        _events_to_rgb_frame(ev, 4.0, 3)
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        _events_to_rgb_frame(ev, 4)


# --- benchmark_throughput ------------------------------------------------------


def test_benchmark_runs_and_reports():
    r = benchmark_throughput(n_events=200_000, sensor_size=(64, 48), accumulation_us=10_000, chunk_size=30_000)
    assert isinstance(r, ThroughputResult)
    assert r.total_events == 200_000 and r.sensor_size == (64, 48) and r.accumulation_us == 10_000
    assert r.events_per_sec > 0 and r.rgb_fps > 0 and r.event_fps > 0
    assert r.encoding_fps == 0.0 and r.encoding_skipped is False and r.encoding_skip_reason is None
    assert "Encoding FPS" not in r.summary()


def test_benchmark_with_encoding():
    r = benchmark_throughput(50_000, (32, 24), 5000, True, 10_000)
    assert r.encoding_fps > 0 and not r.encoding_skipped
    assert "  Encoding FPS:        " in r.summary()


def test_benchmark_encoding_import_failure_is_reported():
    proc = run_python(
        """
        import sys
        sys.modules["morvel.io.encoding"] = None   # the import now fails
        from morvel.io.throughput import benchmark_throughput
        r = benchmark_throughput(20_000, (16, 16), 1000, True, 5000)
        print(r.encoding_skipped, r.encoding_fps)
        print(r.encoding_skip_reason)
        """
    )
    lines = proc.stdout.splitlines()
    assert lines[0] == "True 0.0", proc.stderr
    assert lines[1].startswith("import failed: ")


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"n_events": 10.0}, TypeError, "Argument 'n_events' has incorrect type (expected int, got float)"),
        ({"n_events": True}, TypeError, "Argument 'n_events' has incorrect type (expected int, got bool)"),
        ({"sensor_size": [640, 480]}, TypeError, "Argument 'sensor_size' has incorrect type (expected tuple, got list)"),
        ({"sensor_size": None}, TypeError, "Argument 'sensor_size' has incorrect type (expected tuple, got NoneType)"),
        ({"accumulation_us": "1"}, TypeError, "Argument 'accumulation_us' has incorrect type (expected int, got str)"),
        ({"chunk_size": None}, TypeError, "Argument 'chunk_size' has incorrect type (expected int, got NoneType)"),
        ({"sensor_size": (640,)}, ValueError, "need more than 1 value to unpack"),
        ({"sensor_size": ()}, ValueError, "need more than 0 values to unpack"),
        ({"sensor_size": (1, 2, 3)}, ValueError, "too many values to unpack (expected 2)"),
        ({"chunk_size": 0}, ValueError, "chunk_size must be >= 1, got 0"),
        ({"chunk_size": -5}, ValueError, "chunk_size must be >= 1, got -5"),
        ({"accumulation_us": 0}, ValueError, "accumulation_us must be >= 1, got 0"),
        ({"n_events": 0}, ValueError, "n_events must be >= 1, got 0"),
    ],
)
def test_benchmark_argument_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        benchmark_throughput(**kwargs)
    assert str(info.value) == message


def test_module_surface():
    assert throughput.__doc__.startswith("Throughput measurement for event I/O pipelines.")
    assert benchmark_throughput.__doc__.startswith("benchmark_throughput(n_events: int = 5000000")
    assert throughput.EVENT_DTYPE == EVENT_DTYPE


# --- command line ----------------------------------------------------------------


def cli(*args):
    return subprocess.run([sys.executable, "-m", "morvel.io", *args], capture_output=True, text=True, timeout=120)


def test_cli_bench_prints_report():
    proc = cli("bench", "--events", "100000", "--sensor-size", "64x48", "--accumulation-us", "5000", "--encoding")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[1] == "  MORVEL I/O Throughput Report"
    assert lines[3] == "  Events processed:    100,000"
    assert any(line.startswith("  Encoding FPS:        ") for line in lines)
    assert "  Sensor:              64x48" in lines


@pytest.mark.parametrize(
    "args",
    [["bench", "--events", "0"], ["bench", "--sensor-size", "640"], ["bench", "--sensor-size", "0x480"],
     ["bench", "--chunk-size", "x"], ["bench", "--bogus"], ["nope"]],
)
def test_cli_argument_errors_are_one_line(args):
    proc = cli(*args)
    assert proc.returncode == 2
    assert len(proc.stderr.strip().splitlines()) == 1 and "Traceback" not in proc.stderr
    assert "error:" in proc.stderr


def test_cli_help_lists_commands():
    proc = cli("--help")
    assert proc.returncode == 0 and "bench" in proc.stdout and "demo" in proc.stdout


def test_cli_demo():
    proc = cli("demo", "--events", "50000", "--chunk-size", "7000")
    assert proc.returncode == 0, proc.stderr
    assert "round trip  identical" in proc.stdout
