#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp into build/fuzz/<name> (one compile at a time).
# Usage: fuzz/build.sh [NAME...]   (default: all)
#        fuzz/build.sh --cxx       print the compiler it would use, or fail
# The compiler is $CXX, else clang++ on PATH, else the newest clang++-NN on
# PATH. `./dev fuzz` installs clang where none is found.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz"

find_cxx() {
    local cxx="${CXX:-}"
    if [ -z "$cxx" ] && command -v clang++ >/dev/null 2>&1; then cxx=clang++; fi
    if [ -z "$cxx" ]; then
        cxx="$(compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -V | tail -n 1)" || true
    fi
    if [ -z "$cxx" ]; then
        echo "error: clang++ not found: install clang (Debian/Ubuntu: apt-get install clang), set CXX, or run ./dev fuzz" >&2
        return 1
    fi
    echo "$cxx"
}

if [ "${1:-}" = "--cxx" ]; then
    find_cxx
    exit
fi
CXX="$(find_cxx)"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I "$root/src")
mkdir -p "$out"

# The LZ4 library the modules compile in, built once as C with the same
# sanitizers and linked into every harness. It is fuzzed where it comes
# from; without coverage of its insides the harnesses steer by ours.
CC="${CC:-${CXX/clang++/clang}}"
lz4_out="$out/lz4"
mkdir -p "$lz4_out"
lz4_objs=()
for c in "$root"/third_party/lz4/*.c; do
    obj="$lz4_out/$(basename "$c" .c).o"
    if [ ! -f "$obj" ] || [ "$c" -nt "$obj" ]; then
        "$CC" -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined \
            -DXXH_NAMESPACE=MORVEL_LZ4_ -c "$c" -o "$obj"
    fi
    lz4_objs+=("$obj")
done
flags+=(-DXXH_NAMESPACE=MORVEL_LZ4_ -isystem "$root/third_party/lz4")

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
    echo "building $name with $CXX"
    "$CXX" "${flags[@]}" ${CXXFLAGS_EXTRA:-} "$src" "${lz4_objs[@]}" -o "$out/$name" || failed+=("$name")
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "failed: ${failed[*]}" >&2
    exit 1
fi
