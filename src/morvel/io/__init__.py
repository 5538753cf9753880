"""morvel.io: the input/output layer of the morvel event-camera toolkit.

Every module works on one in-memory representation, a NumPy structured array
of ``EVENT_DTYPE`` records (``t`` u8 microseconds, ``x`` u2, ``y`` u2, ``p`` u1),
defined in :mod:`morvel.io.streaming`. Modules are native extensions imported on
first use: ``from morvel.io import streaming``.

Recordings of every format the package reads go through one entry point
(:mod:`morvel.io.registry`): ``morvel.io.open(path)``, ``morvel.io.write``,
``morvel.io.Writer``, ``morvel.io.detect_format`` and ``morvel.io.FORMATS``.
``morvel.io.to_arrow`` / ``from_arrow`` exchange events with Apache Arrow;
``morvel.io.dask`` (the ``dask`` extra) reads and converts recordings on Dask.
"""

import importlib as _importlib

__all__ = [
    "streaming", "formats", "h5", "encoding", "aedat4", "ethernet", "dvs", "throughput", "recordings", "transforms", "registry",
]


_REGISTRY = ("open", "write", "Writer", "Recording", "detect_format", "FORMATS", "FormatInfo")
_ARROW = ("to_arrow", "from_arrow")


def __getattr__(name: str):
    if name in __all__:
        return _importlib.import_module(f"{__name__}.{name}")
    if name in _REGISTRY:
        return getattr(_importlib.import_module(f"{__name__}.registry"), name)
    if name in _ARROW:
        return getattr(_importlib.import_module(f"{__name__}.arrow"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
