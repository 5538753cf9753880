"""Run the benchmarks and print one table of times and ratios.

    python bench/run.py [--quick] [--only SUBSTRING ...]

Each bench_*.py beside this file defines ``cases(quick)`` returning a list of
``common.Case``; what a module starts beside its cases (a sending process,
a cluster) is stopped when they are done (``common.while_cases_run``), so it
takes no core from the next module's cases, which are built and run only
after. For every case the table shows our best time, the best time
of each reference formulation measured in the same run, and the ratio
reference / ours (above 1: we are faster), checked against the case's target.
"""

from __future__ import annotations

import argparse
import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from common import best_time, fmt_rate, fmt_time, stop_running  # noqa: E402


def run_module(module, stem, args, missing) -> None:
    """One module's cases (those --only selects), timed and printed."""
    try:
        cases = module.cases(args.quick)
    except ImportError as exc:  # a module under test not built yet
        missing.append(f"{stem}: {exc}")
        return
    for case in cases:
        label = f"{case.group}: {case.name}"
        if args.only and not any(s in label for s in args.only):
            continue
        ours = best_time(case.ours, case.setup, case.repeat)
        rate = fmt_rate(case.units[0], case.units[1], ours) if case.units else ""
        cells = []
        for ref_name, ref in case.refs.items():
            if ref is None:
                cells.append(f"{ref_name}: not installed")
                continue
            t = best_time(ref, case.ref_setup or case.setup, case.repeat)
            ratio = t / ours
            mark = ""
            if case.target is not None and ref_name == (case.target_ref or ref_name):
                mark = f" (>= {case.target:g}x {'ok' if ratio >= case.target else 'MISSED'})"
            cells.append(f"{ref_name} {fmt_time(t).strip()}, {ratio:.2f}x{mark}")
        print(f"{label:<52} {fmt_time(ours):>10} {rate:>16}   " + "; ".join(cells))
        if case.note:
            print(f"{'':<52} {case.note}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--only", nargs="*", default=[], help="run cases whose group or name contains one of these")
    args = parser.parse_args()

    here = pathlib.Path(__file__).parent
    missing = []
    print(f"{'case':<52} {'ours':>10} {'rate':>16}   reference: time, ratio (target)")
    print("-" * 118)
    for path in sorted(here.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        try:
            run_module(module, path.stem, args, missing)
        finally:
            stop_running()
    for m in missing:
        print(f"skipped {m}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
