// Work over events split across the pool, three ways, each giving what one
// thread gives, bit for bit:
//   - runs: time-sorted events cut where a key of t (a time bin) changes, so
//     that the runs fill disjoint parts of the output;
//   - copies: runs of events filling zeroed copies that are merged after,
//     for accumulators whose merge is exact (integer sums, a minimum) and
//     small next to the events;
//   - bands of sensor rows: each thread reads every event and takes those of
//     its band, so each cell sees its events in stream order on one thread.
// The caller releases the GIL.
#pragma once

#include "pool.hpp"
#include "threads.hpp"
#include "ref.hpp"
#include "../kernels/representations.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace kit {

// Fewer events than this per thread are not worth a thread.
inline constexpr std::size_t kMinEventsPerThread = std::size_t{1} << 18;

// Threads for n events, at least kMinEventsPerThread each.
inline unsigned event_threads(unsigned threads, std::size_t n) {
    const std::size_t t = std::min<std::size_t>(threads, n / kMinEventsPerThread);
    return t ? static_cast<unsigned>(t) : 1u;
}

// Zeroed memory for `count` elements of T (calloc: large blocks come zeroed
// from the system, first touched by the thread that fills them).
template <class T>
std::unique_ptr<T[], FreeDeleter> zeroed(std::size_t count) {
    void* p = std::calloc(count ? count : 1, sizeof(T));
    if (!p) throw std::bad_alloc();
    return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(p));
}

// fill(rows) over bands of the `height` rows of a sensor, on up to `threads`
// threads (fewer for few events); fill returns the index of an event that
// stops it, or n. The last band takes every row from its first on, so an
// event below the sensor is seen. Returns the smallest stopping index, or n.
template <class Fill>
std::size_t fill_rows(std::uint32_t height, std::size_t n, unsigned threads, Fill&& fill) {
    const unsigned t = std::min(event_threads(threads, n), height);
    if (t <= 1) return fill(morvel::kernels::Rows{});
    std::vector<std::size_t> stop(t, n);
    parallel_for(t, t, [&](std::size_t i) {
        const morvel::kernels::Rows rows{static_cast<std::uint32_t>(std::uint64_t{height} * i / t),
                                         i + 1 == t ? UINT32_MAX
                                                    : static_cast<std::uint32_t>(std::uint64_t{height} * (i + 1) / t)};
        stop[i] = fill(rows);
    });
    return *std::min_element(stop.begin(), stop.end());
}

// Whether t never decreases, checked in blocks on up to `threads` threads.
inline bool t_sorted(const morvel::kernels::Event* ev, std::size_t n, unsigned threads) {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    const std::size_t blocks = n / kBlock + 1;
    std::vector<char> ok(blocks);
    parallel_for(blocks, n >= 4 * kBlock ? threads : 1, [&](std::size_t b) {
        const std::size_t first = b * kBlock, end = std::min(n, first + kBlock + 1);  // and the next block's first
        ok[b] = first >= end || morvel::kernels::t_sorted(ev + first, end - first);
    });
    return std::all_of(ok.begin(), ok.end(), [](char v) { return v != 0; });
}

// Time-sorted events [0, n) cut into up to `threads` runs where key(t)
// changes: the bounds 0 = c0 < c1 < ... = n.
template <class Key>
std::vector<std::size_t> run_cuts(const morvel::kernels::Event* ev, std::size_t n, unsigned threads, Key&& key) {
    const unsigned t = event_threads(threads, n);
    std::vector<std::size_t> cuts{0};
    for (unsigned k = 1; k < t; ++k) {
        std::size_t lo = std::max(cuts.back(), n * k / t);
        if (lo == 0 || lo >= n) continue;
        // The first event from lo on whose key differs from lo - 1's.
        const auto before = key(ev[lo - 1].t);
        std::size_t hi = n;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (key(ev[mid].t) == before) lo = mid + 1;
            else hi = mid;
        }
        if (lo < n && lo > cuts.back()) cuts.push_back(lo);
    }
    cuts.push_back(n);
    return cuts;
}

// fill(i, begin, end) over the runs of `cuts` on the pool, returning the
// index of an event that stops it, or end. Returns the smallest stop, or n.
template <class Fill>
std::size_t fill_runs(const std::vector<std::size_t>& cuts, Fill&& fill) {
    const std::size_t runs = cuts.size() - 1, n = cuts.back();
    std::vector<std::size_t> stop(runs, n);
    parallel_for(runs, static_cast<unsigned>(runs), [&](std::size_t i) {
        const std::size_t s = fill(i, cuts[i], cuts[i + 1]);
        if (s != cuts[i + 1]) stop[i] = s;
    });
    return *std::min_element(stop.begin(), stop.end());
}

// Whether copies of `acc_bytes` for each thread but one stay small next to
// n events.
inline bool copies_pay(unsigned threads, std::size_t n, std::size_t acc_bytes) {
    const unsigned t = event_threads(threads, n);
    return t > 1 && acc_bytes * (t - 1) * 4 <= n * sizeof(morvel::kernels::Event);
}

// Events [0, n) cut into runs on up to `threads` threads: the first run
// fills `acc` (count elements), the others copies that start as `start`,
// merged into acc after with merge(into, from, len). fill(begin, end, into)
// returns the index of an event that stops it, or end. Returns the
// smallest stop, or n (acc is merged only then).
template <class T, class Fill, class Merge>
std::size_t fill_copies(T* acc, std::size_t count, std::size_t n, unsigned threads, T start, Fill&& fill,
                        Merge&& merge) {
    const unsigned t = event_threads(threads, n);
    std::vector<std::unique_ptr<T[], FreeDeleter>> copies;
    for (unsigned i = 1; i < t; ++i) copies.push_back(zeroed<T>(count));
    std::vector<std::size_t> stop(t, n);
    parallel_for(t, t, [&](std::size_t i) {
        const std::size_t begin = n * i / t, end = n * (i + 1) / t;
        T* into = i ? copies[i - 1].get() : acc;
        if (i && start != T{}) std::fill(into, into + count, start);
        const std::size_t s = fill(begin, end, into);
        if (s != end) stop[i] = s;
    });
    const std::size_t first = *std::min_element(stop.begin(), stop.end());
    if (first != n) return first;
    constexpr std::size_t kBlock = std::size_t{1} << 14;
    parallel_for((count + kBlock - 1) / kBlock, t, [&](std::size_t b) {
        const std::size_t begin = b * kBlock, len = std::min(kBlock, count - begin);
        for (const auto& c : copies) merge(acc + begin, c.get() + begin, len);
    });
    return n;
}

// fn(begin, end) over [0, count) in blocks on up to `threads` threads.
template <class F>
void for_blocks(std::size_t count, unsigned threads, F&& fn) {
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    const std::size_t blocks = (count + kBlock - 1) / kBlock;
    if (count < 4 * kBlock) threads = 1;
    parallel_for(blocks, threads, [&](std::size_t b) {
        const std::size_t begin = b * kBlock;
        fn(begin, std::min(count, begin + kBlock));
    });
}

}  // namespace kit
