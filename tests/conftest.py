import subprocess
import sys
import textwrap
import types
import weakref

import numpy as np
import pytest

from morvel.io.streaming import EVENT_DTYPE


def make_events(n: int, seed: int = 0, width: int = 640, height: int = 480, sort: bool = True) -> np.ndarray:
    """Random events built with plain NumPy (independent of the code under test)."""
    rng = np.random.default_rng(seed)
    ev = np.empty(n, dtype=EVENT_DTYPE)
    t = rng.integers(0, max(n, 1) * 10, n, dtype=np.uint64)
    ev["t"] = np.sort(t) if sort else t
    ev["x"] = rng.integers(0, width, n)
    ev["y"] = rng.integers(0, height, n)
    ev["p"] = rng.integers(0, 2, n)
    return ev


@pytest.fixture
def events():
    return make_events


def run_python(code: str) -> subprocess.CompletedProcess:
    """Run a snippet in a fresh interpreter (for import-time behaviour)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


@pytest.fixture
def prophesee(monkeypatch):
    """Stand-in metavision_core whose EventsIterator yields `sdk.batches` (an
    exception in the list is raised, a callable is called for the batch)."""
    sdk = types.SimpleNamespace(batches=[], calls=[], sources=[])

    class EventsIterator:
        def __init__(self, path, delta_t=10000, max_duration=None):
            sdk.calls.append((path, delta_t, max_duration))
            sdk.sources.append(weakref.ref(self))

        def __iter__(self):
            for b in sdk.batches:
                if isinstance(b, BaseException):
                    raise b
                yield b() if callable(b) else b

    pkg = types.ModuleType("metavision_core")
    pkg.event_io = types.ModuleType("metavision_core.event_io")
    pkg.event_io.EventsIterator = EventsIterator
    monkeypatch.setitem(sys.modules, "metavision_core", pkg)
    monkeypatch.setitem(sys.modules, "metavision_core.event_io", pkg.event_io)
    return sdk
