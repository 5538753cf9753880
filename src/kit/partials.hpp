// Accumulations over events split across the pool: each thread fills its own
// zeroed copy of the accumulator from its run of events, the copies are then
// merged into the first. Used for accumulators whose merge is exact (integer
// sums, saturating counts, maxima), so the result never depends on the
// thread count. The caller releases the GIL.
#pragma once

#include "args.hpp"
#include "pool.hpp"
#include "ref.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace kit {

// `threads=` as every call takes it: None for the cores this process may
// use, else an int >= 1.
inline unsigned arg_threads(PyObject* o, const char* param = "threads") {
    if (!o || o == Py_None) return usable_cores();
    Ref v = arg_int_object(o, param);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) raise();
    if (overflow < 0 || (!overflow && n < 1)) raise(PyExc_ValueError, "%s must be >= 1, got %S", param, v.get());
    return overflow || n > 1024 ? 1024u : static_cast<unsigned>(n);
}

// Fewer events than this per thread are not worth a thread.
inline constexpr std::size_t kMinEventsPerThread = std::size_t{1} << 16;

// How many threads to use for n events of `event_bytes` each into an
// accumulator of `acc_bytes`: a copy per extra thread must be small next to
// the events it takes.
inline unsigned partial_threads(unsigned threads, std::size_t n, std::size_t event_bytes, std::size_t acc_bytes) {
    unsigned t = threads;
    if (t > n / kMinEventsPerThread) t = static_cast<unsigned>(n / kMinEventsPerThread);
    while (t > 1 && acc_bytes * (t - 1) > n * event_bytes / 2) --t;
    return t ? t : 1;
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Zeroed memory for `count` elements of T (calloc: large blocks come zeroed
// from the system, first touched by the thread that fills them).
template <class T>
std::unique_ptr<T[], FreeDeleter> zeroed(std::size_t count) {
    void* p = std::calloc(count ? count : 1, sizeof(T));
    if (!p) throw std::bad_alloc();
    return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(p));
}

// Fills `acc` (count elements, zeroed) from events [0, n): fill(first, len,
// into) -> index in [0, len) of an event that stops the fill, or len; merge
// (into, from, len) merges an accumulator range. Returns the first stopping
// event's index, or n. The partial copies are allocated here, so call this
// with the GIL released only if a failed allocation may throw bad_alloc
// (kit::guard turns it into MemoryError).
template <class T, class Event, class Fill, class Merge>
std::size_t fill_split(T* acc, std::size_t count, const Event* ev, std::size_t n, unsigned threads, Fill&& fill,
                       Merge&& merge) {
    const unsigned t = partial_threads(threads, n, sizeof(Event), count * sizeof(T));
    if (t <= 1) return fill(ev, n, acc);
    std::vector<std::unique_ptr<T[], FreeDeleter>> copies;
    for (unsigned i = 1; i < t; ++i) copies.push_back(zeroed<T>(count));
    std::vector<std::size_t> stop(t);
    parallel_for(t, t, [&](std::size_t i) {
        const std::size_t begin = n * i / t, end = n * (i + 1) / t;
        stop[i] = begin + fill(ev + begin, end - begin, i ? copies[i - 1].get() : acc);
        if (stop[i] == end) stop[i] = n;
    });
    for (std::size_t s : stop)
        if (s != n) return s;
    // Merge in blocks, all copies of a block at once, blocks spread over the threads.
    constexpr std::size_t kBlock = std::size_t{1} << 14;
    const std::size_t blocks = (count + kBlock - 1) / kBlock;
    parallel_for(blocks, t, [&](std::size_t b) {
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
