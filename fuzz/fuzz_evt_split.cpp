// State summaries of stateful decoders: the input is cut at random word
// boundaries; the summaries of the pieces, composed in order, must reach
// the state one decoder reaches over the whole input, and every piece
// decoded from its composed start state must give the events of the whole
// decode at its offset. The whole decode and the pieces take the plain or
// the wide (AVX-512) paths at random. The first byte picks the decoder: EVT 2.0, 2.1,
// 3.0, DAT, and the fixed records of AEDAT 2.0 (each camera) and ATIS.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/evt_split.hpp"
#include "kernels/record_split.hpp"
#include "kernels/simd.hpp"

namespace {

using morvel::kernels::Event;
using morvel::kernels::Scan;

template <class D>
bool same_state(const D& a, const D& b);

template <>
bool same_state(const morvel::kernels::Evt2Decoder& a, const morvel::kernels::Evt2Decoder& b) {
    return a.time_high == b.time_high && a.offset == b.offset;
}
template <>
bool same_state(const morvel::kernels::Evt21Decoder& a, const morvel::kernels::Evt21Decoder& b) {
    return a.time_high == b.time_high && a.offset == b.offset;
}
template <>
bool same_state(const morvel::kernels::Evt3Decoder& a, const morvel::kernels::Evt3Decoder& b) {
    return a.loops == b.loops && a.time_high == b.time_high && a.time_low == b.time_low && a.y == b.y &&
           a.base_x == b.base_x && a.polarity == b.polarity;
}
// DAT, AEDAT 2.0, ATIS: the last stamp and the wraps.
template <class D>
    requires requires(const D& d) { d.prev + d.offset; }
bool same_state(const D& a, const D& b) {
    return a.prev == b.prev && a.offset == b.offset;
}

template <class D>
void check(D shape, const std::uint8_t* data, std::size_t n, fuzz::Rng& rng, std::size_t word) {
    namespace simd = morvel::kernels::simd;
    n -= n % word;
    const std::size_t words = n / word;
    // The whole decode and the state it ends in, and then the summaries and
    // the pieces, each on the plain or the wide path (where the CPU has it).
    simd::set_avx512(rng.next() & 1);
    D whole = shape;
    std::vector<Event> all(whole.count_events(data, n) + 1);
    const std::size_t total = whole.decode(data, n, all.data());
    all.resize(total);

    std::vector<std::size_t> cuts{0};
    const std::size_t pieces = 1 + rng.next() % 6;
    for (std::size_t i = 1; i < pieces; ++i) cuts.push_back(words ? rng.next() % (words + 1) * word : 0);
    cuts.push_back(n);
    std::sort(cuts.begin(), cuts.end());

    simd::set_avx512(rng.next() & 1);
    D state = shape;
    std::size_t offset = 0;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        const std::uint8_t* p = data + cuts[i];
        const std::size_t len = cuts[i + 1] - cuts[i];
        const auto sum = Scan<D>::summarize(shape, p, len);
        D piece = state;
        std::vector<Event> got(sum.events + 1);
        const std::size_t k = piece.decode(p, len, got.data());
        CHECK(k == sum.events);
        CHECK(offset + k <= total);
        CHECK(k == 0 || std::memcmp(got.data(), all.data() + offset, k * sizeof(Event)) == 0);
        Scan<D>::apply(state, sum);
        CHECK(same_state(state, piece));
        offset += k;
    }
    CHECK(offset == total);
    CHECK(same_state(state, whole));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    fuzz::Rng rng{std::uint64_t{data[0]} * 0x9E3779B97F4A7C15ull + size};
    const std::uint8_t which = data[0] % 6;
    const std::uint8_t option = static_cast<std::uint8_t>(data[0] / 6);
    data += 1;
    size -= 1;
    switch (which) {
        case 0: check(morvel::kernels::Evt2Decoder{}, data, size, rng, 4); break;
        case 1: check(morvel::kernels::Evt21Decoder{}, data, size, rng, 8); break;
        case 2: check(morvel::kernels::Evt3Decoder{}, data, size, rng, 2); break;
        case 3: {
            morvel::kernels::Aedat2Parser p;
            p.camera = static_cast<morvel::kernels::Aedat2Camera>(option % 3);
            check(p, data, size, rng, morvel::kernels::Aedat2Parser::kRecord);
            break;
        }
        case 4: check(morvel::kernels::AtisParser{}, data, size, rng, morvel::kernels::kAtisRecord); break;
        default: {
            morvel::kernels::DatDecoder dat;
            dat.record = 8 + (data[0] & 7);
            check(dat, data + 1, size - 1, rng, dat.record);
        }
    }
    return 0;
}
