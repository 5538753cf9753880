// EVT 2.0 decoder fuzzer: whole-buffer decode vs. the same bytes fed in
// random pieces vs. a plain word-by-word reference. Any difference, or an
// event count above the advertised bound, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/evt.hpp"

using morvel::kernels::Event;
using morvel::kernels::Evt2Decoder;

namespace {

// Deliberately naive: one word at a time, unbounded wrap count.
std::vector<Event> reference(const std::uint8_t* d, std::size_t n) {
    std::vector<Event> out;
    std::uint64_t time_high = 0, wraps = 0;
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const std::uint32_t w = std::uint32_t{d[i]} | std::uint32_t{d[i + 1]} << 8 |
                                std::uint32_t{d[i + 2]} << 16 | std::uint32_t{d[i + 3]} << 24;
        const unsigned type = w >> 28;
        if (type == 0 || type == 1) {
            Event e;
            e.t = wraps * (std::uint64_t{1} << 34) + ((time_high << 6) | ((w >> 22) & 63));
            e.x = static_cast<std::uint16_t>((w >> 11) & 2047);
            e.y = static_cast<std::uint16_t>(w & 2047);
            e.p = static_cast<std::uint8_t>(type);
            out.push_back(e);
        } else if (type == 8) {
            const std::uint64_t th = w & 0x0FFFFFFF;
            if (th < time_high && time_high - th >= (std::uint64_t{1} << 27)) ++wraps;
            time_high = th;
        }
    }
    return out;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Whole buffer, one call, on the plain path and on the wide one (where
    // the CPU has it); the pieces below take the wide one.
    std::vector<Event> plain;
    const Evt2Decoder plain_dec = fuzz::feed_plain<Evt2Decoder>(data, size, plain);
    Evt2Decoder whole;
    std::vector<Event> a;
    fuzz::feed(whole, data, size, a);
    CHECK(a.size() <= size / 4);
    CHECK(whole.pending_bytes() == size % 4);
    for (const Event& e : a) CHECK(e.x < 2048 && e.y < 2048 && e.p <= 1);

    CHECK(fuzz::same(a, reference(data, size)));

    CHECK(fuzz::same(a, plain));
    CHECK(plain_dec.time_high == whole.time_high && plain_dec.offset == whole.offset);

    // Same bytes in pieces.
    Evt2Decoder s;
    std::vector<Event> b;
    fuzz::feed_in_pieces(s, data, size, 3, b);
    CHECK(fuzz::same(a, b));
    CHECK(s.pending_bytes() == whole.pending_bytes());
    CHECK(s.time_high == whole.time_high && s.offset == whole.offset);
    CHECK(std::memcmp(s.tail, whole.tail, s.pending_bytes()) == 0);

    // A reset decoder behaves like a fresh one.
    s.reset();
    std::vector<Event> c;
    fuzz::feed(s, data, size, c);
    CHECK(fuzz::same(a, c));
    return 0;
}
