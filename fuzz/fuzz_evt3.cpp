// EVT 3.0 decoder fuzzer: whole-buffer decode vs. the same bytes fed in
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
using morvel::kernels::Evt3Decoder;

namespace {

// Deliberately naive: one word at a time, wide integers, explicit bit tests.
std::vector<Event> reference(const std::uint8_t* d, std::size_t n) {
    std::vector<Event> out;
    std::uint64_t loops = 0, th = 0, tl = 0, base_x = 0;
    unsigned y = 0, pol = 0;
    auto emit = [&](std::uint64_t x, unsigned p) {
        Event e;
        e.t = loops * (std::uint64_t{1} << 24) + th * 4096 + tl;
        e.x = static_cast<std::uint16_t>(x & 0xFFFF);
        e.y = static_cast<std::uint16_t>(y);
        e.p = static_cast<std::uint8_t>(p);
        out.push_back(e);
    };
    for (std::size_t i = 0; i + 2 <= n; i += 2) {
        const unsigned w = unsigned{d[i]} | unsigned{d[i + 1]} << 8;
        switch (w >> 12) {
            case 0x0: y = w & 2047; break;
            case 0x2: emit(w & 2047, (w >> 11) & 1); break;
            case 0x3: base_x = w & 2047; pol = (w >> 11) & 1; break;
            case 0x4:
                for (unsigned b = 0; b < 12; ++b)
                    if (w & (1u << b)) emit(base_x + b, pol);
                base_x += 12;
                break;
            case 0x5:
                for (unsigned b = 0; b < 8; ++b)
                    if (w & (1u << b)) emit(base_x + b, pol);
                base_x += 8;
                break;
            case 0x6: tl = w & 4095; break;
            case 0x8: {
                const std::uint64_t h = w & 4095;
                if (h != th) {
                    if (h < th && th - h >= 2048) ++loops;
                    th = h;
                    tl = 0;
                }
                break;
            }
            default: break;
        }
    }
    return out;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Whole buffer, one call, on the plain path and on the wide one (where
    // the CPU has it); the pieces below take the wide one.
    std::vector<Event> plain;
    const Evt3Decoder plain_dec = fuzz::feed_plain<Evt3Decoder>(data, size, plain);
    Evt3Decoder whole;
    std::vector<Event> a;
    fuzz::feed(whole, data, size, a);
    CHECK(a.size() <= (size / 2) * 12);
    CHECK(whole.pending_bytes() == size % 2);
    for (const Event& e : a) CHECK(e.y < 2048 && e.p <= 1);

    CHECK(fuzz::same(a, reference(data, size)));

    CHECK(fuzz::same(a, plain));
    CHECK(plain_dec.loops == whole.loops && plain_dec.time_high == whole.time_high &&
          plain_dec.time_low == whole.time_low && plain_dec.y == whole.y && plain_dec.base_x == whole.base_x &&
          plain_dec.polarity == whole.polarity);

    // Same bytes in pieces.
    Evt3Decoder s;
    std::vector<Event> b;
    fuzz::feed_in_pieces(s, data, size, 2, b);
    CHECK(fuzz::same(a, b));
    CHECK(s.pending_bytes() == whole.pending_bytes());
    CHECK(s.loops == whole.loops && s.time_high == whole.time_high && s.time_low == whole.time_low);
    CHECK(s.y == whole.y && s.base_x == whole.base_x && s.polarity == whole.polarity);
    CHECK(s.pending == 0 || s.tail == whole.tail);

    // A reset decoder behaves like a fresh one.
    s.reset();
    std::vector<Event> c;
    fuzz::feed(s, data, size, c);
    CHECK(fuzz::same(a, c));
    return 0;
}
