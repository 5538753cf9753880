#!/usr/bin/env bash
# Runs one fuzzer for SECONDS on its seed corpus; new inputs go to
# build/fuzz/corpus/NAME so the committed seeds stay small.
# Usage: fuzz/run.sh NAME SECONDS (NAME as fuzz_evt2 or evt2) [extra libFuzzer flags...]
# The compiler is the one fuzz/build.sh finds; `./dev fuzz` installs clang first
# where there is none.
set -euo pipefail
if [ "$#" -lt 2 ]; then
    echo "usage: $0 NAME SECONDS [libFuzzer flags...]" >&2
    exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
name="$1"
name="fuzz_${name#fuzz_}"  # accept "evt2" or "fuzz_evt2"
secs="$2"
shift 2
bin="$root/build/fuzz/$name"
"$root/fuzz/build.sh" "$name"  # always rebuild: headers may have changed
work="$root/build/fuzz/corpus/$name"
seeds="$root/fuzz/corpus/$name"
mkdir -p "$work" "$seeds"
cd "$root/build/fuzz"
exec "$bin" -max_total_time="$secs" -print_final_stats=1 "$@" "$work" "$seeds"
