// EVT 2.1 decoder fuzzer: whole-buffer decode vs. the same bytes fed in
// random pieces vs. a plain word-by-word, bit-by-bit reference. Any
// difference, or an event count above the advertised bound, aborts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/evt.hpp"

using morvel::kernels::Event;
using morvel::kernels::Evt21Decoder;

namespace {

std::vector<Event> reference(const std::uint8_t* d, std::size_t n) {
    std::vector<Event> out;
    std::uint64_t time_high = 0, wraps = 0;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::uint64_t w = 0;
        for (int b = 7; b >= 0; --b) w = w << 8 | d[i + static_cast<std::size_t>(b)];
        const unsigned type = static_cast<unsigned>(w >> 60);
        if (type == 0 || type == 1) {
            for (unsigned k = 0; k < 32; ++k) {
                if (!(w >> k & 1)) continue;
                Event e;
                e.t = wraps * (std::uint64_t{1} << 34) + ((time_high << 6) | ((w >> 54) & 63));
                e.x = static_cast<std::uint16_t>(((w >> 43) & 2047) + k);
                e.y = static_cast<std::uint16_t>((w >> 32) & 2047);
                e.p = static_cast<std::uint8_t>(type);
                out.push_back(e);
            }
        } else if (type == 8) {
            const std::uint64_t th = (w >> 32) & 0x0FFFFFFF;
            if (th < time_high && time_high - th >= (std::uint64_t{1} << 27)) ++wraps;
            time_high = th;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Evt21Decoder whole;
    std::vector<Event> a;
    fuzz::feed(whole, data, size, a);
    CHECK(a.size() <= size / 8 * 32);
    CHECK(whole.pending_bytes() == size % 8);
    for (const Event& e : a) CHECK(e.x < 2048 + 32 && e.y < 2048 && e.p <= 1);
    CHECK(fuzz::same(a, reference(data, size)));

    Evt21Decoder s;
    std::vector<Event> b;
    fuzz::feed_in_pieces(s, data, size, 9, b);
    CHECK(fuzz::same(a, b));
    CHECK(s.pending_bytes() == whole.pending_bytes());
    CHECK(s.time_high == whole.time_high && s.offset == whole.offset);
    CHECK(std::memcmp(s.tail, whole.tail, s.pending_bytes()) == 0);

    s.reset();
    std::vector<Event> c;
    fuzz::feed(s, data, size, c);
    CHECK(fuzz::same(a, c));
    return 0;
}
