#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp into build/fuzz/<name> (one compile at a time).
# Usage: fuzz/build.sh [NAME...]   (default: all)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out"
CXX="${CXX:-clang++}"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I "$root/src")

if [ "$#" -gt 0 ]; then
    srcs=()
    for name in "$@"; do srcs+=("$root/fuzz/$name.cpp"); done
else
    shopt -s nullglob
    srcs=("$root"/fuzz/fuzz_*.cpp)
fi

# Keep going past a broken harness so one file does not block the others.
failed=()
for src in "${srcs[@]}"; do
    name="$(basename "$src" .cpp)"
    echo "building $name"
    "$CXX" "${flags[@]}" ${CXXFLAGS_EXTRA:-} "$src" -o "$out/$name" || failed+=("$name")
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "failed: ${failed[*]}" >&2
    exit 1
fi
