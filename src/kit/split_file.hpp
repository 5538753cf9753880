// The two phases of kit/split.hpp over a file's data, read in pieces: each
// thread takes a run of neighbouring pieces through one buffer of a piece's
// size (so the bytes stay in cache between the read and their use), once to
// summarise them and once to decode them. The plan of a file (the state and
// the events before every piece) can be kept and reused: readers keep one
// as an index for their time windows.
#pragma once

#include "file.hpp"
#include "split_array.hpp"

#include <algorithm>
#include <vector>

namespace kit {

// Cuts every `stride` bytes (a multiple of the record size) over n bytes.
inline std::vector<std::size_t> stride_cuts(std::size_t n, std::size_t stride) {
    std::vector<std::size_t> cuts{0};
    for (std::size_t at = stride; at < n; at += stride) cuts.push_back(at);
    if (n > 0) cuts.push_back(n);
    else cuts.push_back(0);
    return cuts;
}

// fn(i, bytes, len) for the pieces [first, last) of `cuts` (byte offsets
// from data_offset), read on up to `threads` threads, without Python.
// Returns 0, or the errno (-1: the file ended early) of a failed read.
template <class Fn>
int over_pieces(int fd, long long data_offset, const std::vector<std::size_t>& cuts, std::size_t first,
                std::size_t last, unsigned threads, Fn&& fn) {
    const std::size_t pieces = last - first;
    const std::size_t runs = std::max<std::size_t>(1, std::min<std::size_t>(threads, pieces));
    std::vector<int> errs(runs, 0);
    parallel_for(runs, static_cast<unsigned>(runs), [&](std::size_t r) {
        const std::size_t begin = first + pieces * r / runs, end = first + pieces * (r + 1) / runs;
        std::size_t largest = 0;
        for (std::size_t i = begin; i < end; ++i) largest = std::max(largest, cuts[i + 1] - cuts[i]);
        Bytes buf = uninitialised_bytes(largest);
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t len = cuts[i + 1] - cuts[i];
            int err = 0;
            if (pread_full(fd, buf.get(), len, data_offset + static_cast<long long>(cuts[i]), err) != len) {
                errs[r] = err ? err : -1;
                return;
            }
            fn(i, buf.get(), len);
        }
    });
    for (int e : errs)
        if (e) return e;
    return 0;
}

// OSError for what over_pieces returned, if anything.
inline void check_read(File& file, int err) {
    if (err == 0) return;
    if (err > 0) {
        errno = err;
        file.raise_errno();
    }
    raise(PyExc_OSError, "%S: the file changed while it was read", file.path());
}

// Phase 1 over the file's pieces `cuts`, from `start` (a decoder set up for
// the data); `monotone` as compose() gives it.
template <class Decoder>
SplitPlan<Decoder> plan_file(File& file, long long data_offset, const Decoder& start, std::vector<std::size_t> cuts,
                             unsigned threads, bool* monotone = nullptr) {
    using Scan = morvel::kernels::Scan<Decoder>;
    SplitPlan<Decoder> plan;
    plan.cuts = std::move(cuts);
    plan.threads = threads;
    const std::size_t pieces = plan.pieces();
    std::vector<typename Scan::Summary> sums(pieces);
    int err;
    {
        NoGil nogil;
        err = over_pieces(file.descriptor(), data_offset, plan.cuts, 0, pieces, threads,
                          [&](std::size_t i, const unsigned char* data, std::size_t len) {
                              sums[i] = Scan::summarize(start, data, len);
                          });
    }
    check_read(file, err);
    check_signals();
    compose(plan, start, sums, monotone);
    return plan;
}

// Phase 2 for the plan's pieces [first, last): each decoded from its start
// state into its slice of `ev` (room for their events). Bytes that changed
// since the plan was made could hold more events than their slice: each
// piece is counted first, and a changed one raises OSError.
template <class Decoder>
void decode_file_into(File& file, long long data_offset, const SplitPlan<Decoder>& plan, std::size_t first,
                      std::size_t last, unsigned threads, morvel::kernels::Event* ev) {
    const std::size_t base = plan.offsets[first];
    std::vector<char> changed(plan.pieces(), 0);
    int err;
    {
        NoGil nogil;
        err = over_pieces(file.descriptor(), data_offset, plan.cuts, first, last, threads,
                          [&](std::size_t i, const unsigned char* data, std::size_t len) {
                              Decoder d = plan.starts[i];
                              if (d.count_events(data, len) != plan.offsets[i + 1] - plan.offsets[i]) {
                                  changed[i] = 1;
                                  return;
                              }
                              d.decode(data, len, ev + (plan.offsets[i] - base));
                          });
    }
    check_read(file, err);
    check_signals();
    if (std::find(changed.begin(), changed.end(), 1) != changed.end())
        raise(PyExc_OSError, "%S: the file changed while it was read", file.path());
}

// The same into one new EVENT_DTYPE array.
template <class Decoder>
Ref decode_file(File& file, long long data_offset, const SplitPlan<Decoder>& plan, std::size_t first,
                std::size_t last, unsigned threads) {
    Ref out = np::empty(static_cast<npy_intp>(plan.offsets[last] - plan.offsets[first]));
    decode_file_into(file, data_offset, plan, first, last, threads, np::events_data(out));
    return out;
}

}  // namespace kit
