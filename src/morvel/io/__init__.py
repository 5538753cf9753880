"""morvel.io: the input/output layer of the morvel event-camera toolkit.

Every module works on one in-memory representation, a NumPy structured array
of ``EVENT_DTYPE`` records (``t`` u8 microseconds, ``x`` u2, ``y`` u2, ``p`` u1),
defined in :mod:`morvel.io.streaming`. Modules are native extensions imported on
first use: ``from morvel.io import streaming``.
"""

import importlib as _importlib

__all__ = ["streaming", "formats", "h5", "encoding", "aedat4", "ethernet", "dvs", "throughput", "recordings"]


def __getattr__(name: str):
    if name in __all__:
        return _importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
