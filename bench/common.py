"""Shared pieces of the benchmarks: a case, timing, and the table."""

from __future__ import annotations

import dataclasses
import gc
import time
from typing import Callable

# What a module's cases hold running beside them (a sending process, a
# cluster's workers): stopped once its cases have run, so that no later
# module is measured with a core taken by them.
_running: list[Callable[[], object]] = []


def while_cases_run(stop: Callable[[], object]) -> None:
    """Have run.py call stop() when the module's cases are done."""
    _running.append(stop)


def stop_running() -> None:
    while _running:
        try:
            _running.pop()()
        except Exception:  # a stopped process, a closed cluster
            pass


@dataclasses.dataclass
class Case:
    """One benchmark: our implementation against reference formulations.

    ``ours`` and every entry of ``refs`` are argument-less callables doing the
    same work. ``target`` is the speed-up over ``refs[target_ref]`` the case
    is meant to show (None: none stated). ``setup`` runs before every timed
    call (not timed), ``ref_setup`` instead of it before the references' when
    given, ``units`` = (count, label) turns the time into a rate.
    """

    group: str
    name: str
    ours: Callable[[], object]
    refs: dict[str, Callable[[], object]] = dataclasses.field(default_factory=dict)
    target: float | None = None
    target_ref: str | None = None
    setup: Callable[[], object] | None = None
    ref_setup: Callable[[], object] | None = None
    units: tuple[float, str] | None = None
    repeat: int = 5
    note: str = ""


def best_time(fn: Callable[[], object], setup: Callable[[], object] | None, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        if setup is not None:
            setup()
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - t0)
        finally:
            gc.enable()
    return best


def fmt_time(s: float) -> str:
    if s >= 1:
        return f"{s:7.3f} s "
    if s >= 1e-3:
        return f"{s * 1e3:7.2f} ms"
    return f"{s * 1e6:7.1f} us"


def fmt_rate(count: float, label: str, seconds: float) -> str:
    r = count / max(seconds, 1e-12)
    for div, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if r >= div:
            return f"{r / div:7.1f} {suffix}{label}/s"
    return f"{r:7.1f} {label}/s"


def peak_rss_during(fn) -> int:
    """Peak resident memory (bytes) of this process while fn runs."""
    with open("/proc/self/clear_refs", "w") as f:  # resets the peak (VmHWM) to the current size
        f.write("5")
    fn()
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0
