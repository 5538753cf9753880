// The two phases of kit/split.hpp for a call from Python: the GIL released
// around each, the output allocated between them, and a Ctrl-C that came
// meanwhile raised once the pieces are done.
#pragma once

#include "numpy.hpp"
#include "split.hpp"

#include <vector>

namespace kit {

// Waits for Ctrl-C and other signals noticed while the GIL was released.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) raise();
}

// The events of n bytes of words decoded from state `start` on up to
// `threads` threads, as a new EVENT_DTYPE array. The bytes must not change
// meanwhile (a bytes object, a private buffer). A signal that arrives
// meanwhile is raised once the pieces are done.
template <class Decoder>
Ref decode_parallel(const Decoder& start, const unsigned char* data, std::size_t n, unsigned threads,
                    Decoder* end_state = nullptr) {
    std::vector<std::size_t> cuts = split_cuts(n, Decoder::kWordBytes, threads);
    SplitPlan<Decoder> plan;
    {
        NoGil nogil;
        plan = plan_split(start, data, std::move(cuts), threads);
    }
    check_signals();
    Ref out = np::empty(static_cast<npy_intp>(plan.events()));
    {
        NoGil nogil;
        decode_split(plan, data, np::events_data(out));
    }
    check_signals();
    if (end_state) *end_state = plan.end_state();
    return out;
}

}  // namespace kit
