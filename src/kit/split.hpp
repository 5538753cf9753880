// Stateful decoders over the pool, in two phases (kernels/evt_split.hpp):
//   1. each piece of the words, in parallel: its event count and what it
//      does to the decoder's state;
//   2. the summaries composed in order give each piece its start state and
//      the offset of its events in one output, into which every piece then
//      decodes in parallel.
// The events are those of one decoder over the whole buffer, byte for byte,
// however it is cut. No Python here (kit/split_array.hpp runs the phases
// for a call, without the GIL, around the allocation of its output).
#pragma once

#include "pool.hpp"
#include "../kernels/evt_split.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kit {

// Fewer bytes than this per piece are not worth a thread.
inline constexpr std::size_t kMinSplitBytes = std::size_t{1} << 20;

template <class Decoder>
struct SplitPlan {
    using Scan = morvel::kernels::Scan<Decoder>;
    std::vector<std::size_t> cuts;     // byte offsets: 0 = c0 < c1 < ... = n
    std::vector<std::size_t> offsets;  // events before each piece; the last is the total
    std::vector<Decoder> starts;       // state at each piece's start; the last is the end state
    unsigned threads = 1;

    std::size_t pieces() const noexcept { return cuts.size() - 1; }
    std::size_t events() const noexcept { return offsets.back(); }
    const Decoder& end_state() const noexcept { return starts.back(); }
};

// The pieces for `threads` threads over n bytes of `word`-byte words: one
// per thread, none below kMinSplitBytes (one piece for small inputs).
inline std::vector<std::size_t> split_cuts(std::size_t n, std::size_t word, unsigned threads) {
    const std::size_t words = n / word;
    std::size_t pieces = std::min<std::size_t>(threads, n / kMinSplitBytes);
    if (pieces < 1) pieces = 1;
    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 1; i < pieces; ++i) cuts.push_back(words * i / pieces * word);
    cuts.push_back(n);
    return cuts;
}

// The prefix: the pieces' summaries composed in order from `start` give
// each piece its start state and its output offset. With `monotone`,
// whether no piece's time goes back (other than by a wrap), for decoders
// that can tell.
template <class Decoder, class Summary>
void compose(SplitPlan<Decoder>& plan, const Decoder& start, const std::vector<Summary>& sums,
             bool* monotone = nullptr) {
    using Scan = morvel::kernels::Scan<Decoder>;
    const std::size_t pieces = sums.size();
    plan.offsets.assign(pieces + 1, 0);
    plan.starts.assign(pieces + 1, start);
    if (monotone) *monotone = true;
    for (std::size_t i = 0; i < pieces; ++i) {
        plan.offsets[i + 1] = plan.offsets[i] + sums[i].events;
        if constexpr (requires { Scan::goes_back(plan.starts[i], sums[i]); })
            if (monotone && Scan::goes_back(plan.starts[i], sums[i])) *monotone = false;
        plan.starts[i + 1] = plan.starts[i];
        Scan::apply(plan.starts[i + 1], sums[i]);
    }
}

// Phase 1 over given cuts (word boundaries), from state `start`.
template <class Decoder>
SplitPlan<Decoder> plan_split(const Decoder& start, const unsigned char* data, std::vector<std::size_t> cuts,
                              unsigned threads) {
    using Scan = morvel::kernels::Scan<Decoder>;
    SplitPlan<Decoder> plan;
    plan.cuts = std::move(cuts);
    plan.threads = threads;
    const std::size_t pieces = plan.pieces();
    std::vector<typename Scan::Summary> sums(pieces);
    parallel_for(pieces, threads, [&](std::size_t i) {
        sums[i] = Scan::summarize(start, data + plan.cuts[i], plan.cuts[i + 1] - plan.cuts[i]);
    });
    compose(plan, start, sums);
    return plan;
}

// Phase 1 over n bytes cut for `threads` threads.
template <class Decoder>
SplitPlan<Decoder> plan_split(const Decoder& start, const unsigned char* data, std::size_t n, unsigned threads) {
    return plan_split(start, data, split_cuts(n, Decoder::kWordBytes, threads), threads);
}

// Phase 2: every piece into out (room for plan.events()). Returns the events
// written, which is plan.events() unless the bytes changed since phase 1.
template <class Decoder>
std::size_t decode_split(const SplitPlan<Decoder>& plan, const unsigned char* data,
                         morvel::kernels::Event* out) {
    const std::size_t pieces = plan.pieces();
    std::vector<std::size_t> got(pieces);
    parallel_for(pieces, plan.threads, [&](std::size_t i) {
        Decoder d = plan.starts[i];
        got[i] = d.decode(data + plan.cuts[i], plan.cuts[i + 1] - plan.cuts[i], out + plan.offsets[i]);
    });
    std::size_t total = 0;
    for (std::size_t g : got) total += g;
    return total;
}

}  // namespace kit
