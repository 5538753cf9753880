// Pieces shared by the fuzz harnesses: a check that reports and aborts, a
// small seeded generator for piece sizes, and the piecewise decoder feeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/event.hpp"
#include "kernels/simd.hpp"

#define CHECK(c)                                                        \
    do {                                                                \
        if (!(c)) {                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, \
                         __LINE__, #c);                                 \
            std::abort();                                               \
        }                                                               \
    } while (0)

namespace fuzz {

using morvel::kernels::Event;

// splitmix64
struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

inline bool same(const std::vector<Event>& a, const std::vector<Event>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Event)) == 0);
}

// Decodes one piece from an exactly sized heap copy (reading past it trips
// ASan) into an exactly counted output followed by guard bytes that must
// stay as they are (stores past the count that stay within the block, as
// wide vector stores would, are not ASan's to see; past the guard they
// are), checking the decoder's count, bound and carried bytes.
template <class Decoder>
void feed(Decoder& dec, const std::uint8_t* d, std::size_t n, std::vector<Event>& all) {
    constexpr std::size_t kGuard = 320;  // bytes
    constexpr unsigned char kMark = 0xA5;
    std::uint8_t* buf = n ? new std::uint8_t[n] : nullptr;
    if (n) std::memcpy(buf, d, n);
    const std::size_t bound = dec.max_events(n);
    const std::size_t count = dec.count_events(buf, n);
    CHECK(count <= bound);
    std::vector<unsigned char> out(count * sizeof(Event) + kGuard, kMark);
    const std::size_t pending_before = dec.pending_bytes();
    const std::size_t got = dec.decode(buf, n, reinterpret_cast<Event*>(out.data()));
    CHECK(got == count);
    for (std::size_t i = count * sizeof(Event); i < out.size(); ++i) CHECK(out[i] == kMark);
    CHECK(dec.pending_bytes() == (pending_before + n) % Decoder::kWordBytes);
    const Event* events = reinterpret_cast<const Event*>(out.data());
    all.insert(all.end(), events, events + count);
    delete[] buf;
}

// A fresh decoder fed the whole buffer on the plain path, its events in
// `all`; the wide paths (where the CPU has them) are on again after.
template <class Decoder>
Decoder feed_plain(const std::uint8_t* d, std::size_t n, std::vector<Event>& all) {
    morvel::kernels::simd::set_avx512(false);
    Decoder dec;
    feed(dec, d, n, all);
    morvel::kernels::simd::set_avx512(true);
    return dec;
}

// Feeds data[0, size) to dec in pieces whose sizes come from a generator
// seeded by the data: up to max_tiny bytes, a few words, a few hundred bytes,
// or anything up to the whole buffer.
template <class Decoder>
void feed_in_pieces(Decoder& dec, const std::uint8_t* data, std::size_t size, std::size_t max_tiny,
                    std::vector<Event>& all) {
    std::uint64_t seed = size;
    for (std::size_t i = 0; i < size && i < 8; ++i) seed = seed * 131 + data[i];
    Rng rng{seed};
    for (std::size_t pos = 0; pos < size;) {
        const std::uint64_t r = rng.next();
        std::size_t len;
        switch (r & 3) {
            case 0: len = (r >> 8) % (max_tiny + 1); break;
            case 1: len = (r >> 8) % 17; break;
            case 2: len = (r >> 8) % 300; break;
            default: len = (r >> 8) % (size + 1); break;
        }
        if (len > size - pos) len = size - pos;
        feed(dec, data + pos, len, all);
        pos += len;
    }
}

}  // namespace fuzz
