// Work over events split across the pool by bands of sensor rows: each
// thread reads every event and takes those of its band, so the threads write
// disjoint parts of the output, each cell sees its events in stream order,
// and the result never depends on the thread count. The caller releases the
// GIL.
#pragma once

#include "args.hpp"
#include "pool.hpp"
#include "ref.hpp"
#include "../kernels/representations.hpp"

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
inline constexpr std::size_t kMinEventsPerThread = std::size_t{1} << 18;

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

// fill(rows) over bands of the `height` rows of a sensor, on up to `threads`
// threads (fewer for few events); fill returns the index of an event that
// stops it, or n. The last band takes every row from its first on, so an
// event below the sensor is seen. Returns the smallest stopping index, or n.
template <class Fill>
std::size_t fill_rows(std::uint32_t height, std::size_t n, unsigned threads, Fill&& fill) {
    unsigned t = std::min<std::size_t>({threads, n / kMinEventsPerThread, height});
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
