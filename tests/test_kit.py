"""Behaviour of the native layer shared by every module, seen from Python:
argument parsing, typed arguments, generators, module initialisation."""

import gc
import inspect

import numpy as np
import pytest

from morvel.io import streaming
from morvel.io.streaming import BufferedEventReader, EventBuffer, generate_random_events

from conftest import run_python

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: generate_random_events(), "generate_random_events() takes at least 1 positional argument (0 given)"),
        (
            lambda: generate_random_events(1, (2, 2), 3, 4),
            "generate_random_events() takes at most 3 positional arguments (4 given)",
        ),
        (lambda: EventBuffer(1, 2), "__init__() takes at most 1 positional argument (2 given)"),
        (lambda: EventBuffer().append(), "append() takes exactly 1 positional argument (0 given)"),
        (lambda: EventBuffer().append(1, 2), "append() takes exactly 1 positional argument (2 given)"),
        (lambda: generate_random_events(1, bogus=2), "generate_random_events() got an unexpected keyword argument 'bogus'"),
        (
            lambda: generate_random_events(1, n_events=2),
            "generate_random_events() got multiple values for keyword argument 'n_events'",
        ),
        (lambda: EventBuffer(capacity=1, size=2), "__init__() got an unexpected keyword argument 'size'"),
        (lambda: EventBuffer(**{"capacity": 1, "x": 0}), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: BufferedEventReader(), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda: BufferedEventReader(chunk_size=3), "__init__() takes at least 1 positional argument (0 given)"),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match=r"keywords must be strings"):
        EventBuffer(**{1: 2})


@pytest.mark.parametrize(
    "call, param, expected, got",
    [
        (lambda: EventBuffer("10"), "capacity", "int", "str"),
        (lambda: EventBuffer(None), "capacity", "int", "NoneType"),
        (lambda: generate_random_events([3]), "n_events", "int", "list"),
        (lambda: generate_random_events(3, [640, 480]), "sensor_size", "tuple", "list"),
        (lambda: generate_random_events(3, None), "sensor_size", "tuple", "NoneType"),
        (lambda: generate_random_events(3, duration_us="x"), "duration_us", "int", "str"),
        (lambda: BufferedEventReader(b"events.bin"), "path", "str", "bytes"),
        (lambda: BufferedEventReader(None), "path", "str", "NoneType"),
        (lambda: BufferedEventReader("f", chunk_size="10"), "chunk_size", "int", "str"),
    ],
)
def test_typed_argument_errors(call, param, expected, got):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == TYPE_MSG.format(param, expected, got)


def test_exact_types_refuse_subclasses(tmp_path):
    class Tup(tuple):
        pass

    class Str(str):
        pass

    with pytest.raises(TypeError, match=TYPE_MSG.format("sensor_size", "tuple", "Tup").replace("(", r"\(").replace(")", r"\)")):
        generate_random_events(3, Tup((4, 4)))
    with pytest.raises(TypeError, match="expected str, got Str"):
        BufferedEventReader(Str(tmp_path / "f"))
    with pytest.raises(TypeError, match="expected str, got PosixPath"):
        BufferedEventReader(tmp_path / "f")


@pytest.mark.parametrize("value, expected", [(10.7, 10), (True, 1), (np.int16(7), 7), (np.float32(3.9), 3)])
def test_int_parameters_take_any_number(value, expected):
    assert EventBuffer(value)._capacity == expected


def test_docstrings_start_with_signature():
    for obj, name in [
        (generate_random_events, "generate_random_events("),
        (EventBuffer, "EventBuffer("),
        (EventBuffer.append, "append(self, events"),
        (EventBuffer.flush, "flush(self)"),
        (BufferedEventReader, "BufferedEventReader("),
        (BufferedEventReader.read_all, "read_all(self)"),
    ]:
        assert obj.__doc__.startswith(name), obj.__doc__[:80]
    assert str(inspect.signature(generate_random_events)) == "(n_events, sensor_size=(640, 480), duration_us=1000000)"
    assert list(inspect.signature(BufferedEventReader).parameters) == ["path", "chunk_size", "dtype"]
    assert inspect.signature(BufferedEventReader).parameters["dtype"].default is streaming.EVENT_DTYPE


# --- generators ---------------------------------------------------------------


@pytest.fixture
def event_file(tmp_path, events):
    def write(n, name="events.bin"):
        ev = events(n)
        path = tmp_path / name
        ev.tofile(path)
        return str(path), ev

    return write


def test_generator_runs_nothing_before_first_next(tmp_path):
    gen = iter(BufferedEventReader(str(tmp_path / "missing.bin")))
    assert type(gen).__name__ == "generator"
    assert iter(gen) is gen
    assert not gen.gi_running
    with pytest.raises(FileNotFoundError):
        next(gen)
    with pytest.raises(StopIteration):  # finished after the error
        next(gen)


def test_generator_send(event_file):
    path, ev = event_file(30)
    gen = iter(BufferedEventReader(path, chunk_size=10))
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        gen.send(1)
    first = gen.send(None)
    second = gen.send("ignored")
    assert np.array_equal(first, ev[:10]) and np.array_equal(second, ev[10:20])
    next(gen)
    with pytest.raises(StopIteration):
        gen.send(None)


def test_generator_throw_and_close(event_file):
    path, ev = event_file(30)
    gen = iter(BufferedEventReader(path, chunk_size=10))
    next(gen)
    with pytest.raises(KeyError, match="boom"):
        gen.throw(KeyError("boom"))
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(ValueError, match="late"):  # thrown into a finished generator: raised as is
        gen.throw(ValueError, "late")

    gen = iter(BufferedEventReader(path, chunk_size=10))
    with pytest.raises(RuntimeError):  # thrown before the start: nothing runs, generator finished
        gen.throw(RuntimeError)
    with pytest.raises(StopIteration):
        next(gen)

    gen = iter(BufferedEventReader(path, chunk_size=10))
    next(gen)
    assert gen.close() is None
    assert gen.close() is None
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException"):
        iter(BufferedEventReader(path)).throw(3)


def test_generators_release_their_files(event_file):
    import os

    path, _ = event_file(100)
    fd_dir = "/proc/self/fd"
    before = len(os.listdir(fd_dir))
    gens = []
    for _ in range(50):
        g = iter(BufferedEventReader(path, chunk_size=10))
        next(g)
        gens.append(g)
    assert len(os.listdir(fd_dir)) >= before + 50
    for g in gens[:25]:
        g.close()
    del gens[:25]
    del gens
    gc.collect()
    assert len(os.listdir(fd_dir)) == before


# --- module initialisation ----------------------------------------------------


def test_module_cannot_be_initialised_twice():
    proc = run_python(
        """
        import sys, importlib
        import morvel.io.streaming as s
        del sys.modules["morvel.io.streaming"]
        try:
            importlib.import_module("morvel.io.streaming")
        except RuntimeError as exc:
            print(exc)
        """
    )
    assert proc.stdout.strip() == (
        "Module 'streaming' has already been imported. Re-initialisation is not supported."
    ), proc.stderr


def test_module_refuses_second_interpreter():
    proc = run_python(
        """
        import morvel.io.streaming
        import _interpreters
        interp = _interpreters.create()
        err = _interpreters.exec(interp, "import morvel.io.streaming")
        print(err.type.__name__ if err else None)
        print(err.msg if err else None)
        """
    )
    out = proc.stdout.splitlines()
    assert out[0] == "ImportError", proc.stderr
    assert out[1] == "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_cycles_through_a_generator_are_collected(event_file):
    """reader -> generator -> reader: the collector frees both and the file is closed."""
    import os
    import weakref

    path, _ = event_file(100)
    fds = len(os.listdir("/proc/self/fd"))

    class Reader(BufferedEventReader):
        pass

    r = Reader(path, chunk_size=10)
    r.gen = iter(r)
    next(r.gen)  # the file is open now
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None
    assert len(os.listdir("/proc/self/fd")) == fds
