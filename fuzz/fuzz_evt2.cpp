// EVT 2.0 decoder fuzzer: whole-buffer decode vs. the same bytes fed in
// random pieces vs. a plain word-by-word reference. Any difference, or an
// event count above the advertised bound, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/evt.hpp"

using morvel::kernels::Event;
using morvel::kernels::Evt2Decoder;

#define CHECK(c)                                                        \
    do {                                                                \
        if (!(c)) {                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, \
                         __LINE__, #c);                                 \
            std::abort();                                               \
        }                                                               \
    } while (0)

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

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

bool same(const std::vector<Event>& a, const std::vector<Event>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Event)) == 0);
}

// Decodes one piece from an exactly sized heap copy, so reading past it trips ASan.
void feed(Evt2Decoder& dec, const std::uint8_t* d, std::size_t n, std::vector<Event>& all) {
    std::uint8_t* buf = n ? new std::uint8_t[n] : nullptr;
    if (n) std::memcpy(buf, d, n);
    const std::size_t bound = dec.max_events(n);
    const std::size_t count = dec.count_events(buf, n);
    CHECK(count <= bound);
    std::vector<Event> out(count);  // exact size: any overrun is caught
    const std::size_t pending_before = dec.pending_bytes();
    const std::size_t got = dec.decode(buf, n, out.data());
    CHECK(got == count);
    CHECK(dec.pending_bytes() == (pending_before + n) % Evt2Decoder::kWordBytes);
    all.insert(all.end(), out.begin(), out.end());
    delete[] buf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Whole buffer, one call.
    Evt2Decoder whole;
    std::vector<Event> a;
    feed(whole, data, size, a);
    CHECK(a.size() <= size / 4);
    CHECK(whole.pending_bytes() == size % 4);
    for (const Event& e : a) CHECK(e.x < 2048 && e.y < 2048 && e.p <= 1);

    CHECK(same(a, reference(data, size)));

    // Same bytes in pieces; sizes come from a PRNG seeded by the data.
    std::uint64_t seed = size;
    for (std::size_t i = 0; i < size && i < 8; ++i) seed = seed * 131 + data[i];
    Rng rng{seed};
    Evt2Decoder s;
    std::vector<Event> b;
    for (std::size_t pos = 0; pos < size;) {
        const std::uint64_t r = rng.next();
        std::size_t len;
        switch (r & 3) {
            case 0: len = (r >> 8) % 4; break;
            case 1: len = (r >> 8) % 17; break;
            case 2: len = (r >> 8) % 300; break;
            default: len = (r >> 8) % (size + 1); break;
        }
        if (len > size - pos) len = size - pos;
        feed(s, data + pos, len, b);
        pos += len;
    }
    CHECK(same(a, b));
    CHECK(s.pending_bytes() == whole.pending_bytes());
    CHECK(s.time_high == whole.time_high && s.offset == whole.offset);
    CHECK(std::memcmp(s.tail, whole.tail, s.pending_bytes()) == 0);

    // A reset decoder behaves like a fresh one.
    s.reset();
    std::vector<Event> c;
    feed(s, data, size, c);
    CHECK(same(a, c));
    return 0;
}
