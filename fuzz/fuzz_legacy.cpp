// Fuzzer of the AEDAT 2.0 / 3.1 and ATIS binary parsers
// (kernels/aedat_legacy.hpp, kernels/atis_bin.hpp). The first byte picks
// the parser (and the AEDAT 2.0 camera); the rest is a whole file: the
// header is parsed (AEDAT), then the events parsed whole and in random
// pieces must agree, events and verdict, and never pass max_events. For
// ATIS, the bytes also drive events for the encoder: what it accepts must
// read back exactly, and what it refuses must be the first event a plain
// replay of the reader's rules cannot store.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common.hpp"
#include "kernels/aedat_legacy.hpp"
#include "kernels/atis_bin.hpp"

using namespace morvel::kernels;

namespace {

struct Outcome {
    std::vector<Event> events;
    bool failed = false;
    std::string message;
};

bool same(const Outcome& a, const Outcome& b) {
    return a.failed == b.failed && a.message == b.message && a.events.size() == b.events.size() &&
           (a.events.empty() ||
            std::memcmp(a.events.data(), b.events.data(), a.events.size() * sizeof(Event)) == 0);
}

template <class P>
Outcome run(P parser, const std::uint8_t* d, std::size_t n, std::uint64_t seed) {
    Outcome o;
    fuzz::Rng rng{seed};
    std::size_t at = 0;
    while (at < n) {
        std::size_t k = seed ? 1 + rng.next() % 97 : n - at;
        if (k > n - at) k = n - at;
        std::vector<unsigned char> piece(d + at, d + at + k);  // exactly the bytes given
        const std::size_t bound = parser.max_events(k);
        std::vector<Event> out(bound + 1);
        const std::size_t got = parser.parse(piece.data(), k, out.data());
        CHECK(got <= bound);
        o.events.insert(o.events.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
        at += k;
    }
    std::vector<Event> out(parser.max_events(0) + 1);
    const std::size_t got = parser.finish(out.data());
    CHECK(got <= parser.max_events(0));
    o.events.insert(o.events.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
    o.failed = parser.failed();
    if (o.failed) o.message = parser.error_message();
    return o;
}

template <class P>
void both_ways(const P& proto, const std::uint8_t* d, std::size_t n) {
    const Outcome whole = run(proto, d, n, 0);
    const Outcome pieces = run(proto, d, n, n * 2654435761u + 1);
    CHECK(same(whole, pieces));
}

// ATIS: the reader's rules replayed on the encoder's input.
void atis_encoder(const std::uint8_t* d, std::size_t n) {
    std::vector<Event> ev;
    std::uint64_t t = 0;
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const std::uint32_t step = std::uint32_t{d[i]} | std::uint32_t{d[i + 1]} << 8;
        switch (d[i + 2] & 3) {
            case 0: t += step; break;
            case 1: t += std::uint64_t{step} << 10; break;           // across spans
            case 2: t = t > step ? t - step : 0; break;               // back a little
            default: t = t > (std::uint64_t{step} << 8) ? t - (std::uint64_t{step} << 8) : 0; break;  // back more
        }
        ev.push_back({t, static_cast<std::uint16_t>(d[i + 3] % 37 == 0 ? 300 : d[i + 3]),
                      static_cast<std::uint16_t>(d[i + 2] >> 2 == 60 ? 240 : d[i + 3] ^ d[i + 2]),
                      static_cast<std::uint8_t>(d[i + 1] % 5 == 0 ? 2 : d[i + 1] & 1)});
    }
    AtisEncoder enc;
    const AtisEncodeResult r = enc.check(ev.data(), ev.size());
    // Replay: the first event the reader would not give back.
    std::size_t first_bad = ev.size();
    {
        std::uint64_t span = 0;
        std::uint32_t prev = 0;
        for (std::size_t i = 0; i < ev.size(); ++i) {
            const Event e = ev[i];
            if (e.x > 255 || e.y > 255 || e.y == 240 || e.p > 1) { first_bad = i; break; }
            const std::uint64_t s = e.t >> 23;
            if (s < span || s - span > kAtisMaxMarkers) { first_bad = i; break; }
            if (s > span) { span = s; prev = 0; }
            const auto ts = static_cast<std::uint32_t>(e.t & (kAtisSpan - 1));
            if (prev > ts && prev - ts > kAtisBack) { first_bad = i; break; }
            prev = ts;
        }
    }
    CHECK(r.index == first_bad);
    std::vector<unsigned char> bytes(AtisEncoder::bytes_for(r.index, enc.markers));
    CHECK(enc.encode(ev.data(), r.index, bytes.data()) == bytes.size());
    AtisParser p;
    std::vector<Event> back(p.max_events(bytes.size()) + 1);
    const std::size_t got = p.parse(bytes.data(), bytes.size(), back.data());
    CHECK(got == r.index && !p.failed());
    CHECK(got == 0 || std::memcmp(back.data(), ev.data(), got * sizeof(Event)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned mode = data[0];
    const std::uint8_t* d = data + 1;
    const std::size_t n = size - 1;
    switch (mode % 5) {
        case 0:
        case 1: {  // AEDAT 2.0 / 3.1 files, header first
            std::vector<unsigned char> copy(d, d + n);
            copy.reserve(1);
            const AedatHeader h = parse_aedat_header(copy.data(), copy.size(), true);
            CHECK(h.status != AedatHeader::Status::need_more);
            if (h.status != AedatHeader::Status::ok) break;
            CHECK(h.data_offset <= n);
            // the header is found the same way from fewer bytes
            for (std::size_t k = 0; k < n && k < 64; k += 7) {
                const AedatHeader part = parse_aedat_header(copy.data(), k, false);
                CHECK(part.status == AedatHeader::Status::need_more || part.status == AedatHeader::Status::not_aedat ||
                      (part.status == AedatHeader::Status::ok && part.data_offset == h.data_offset));
            }
            if (h.version == AedatVersion::v2) {
                Aedat2Parser p;
                p.camera = static_cast<Aedat2Camera>((mode >> 3) % 3);
                both_ways(p, d + h.data_offset, n - h.data_offset);
            } else {
                both_ways(Aedat3Parser{}, d + h.data_offset, n - h.data_offset);
            }
            break;
        }
        case 2: both_ways(Aedat3Parser{}, d, n); break;  // packets without a header to get in the way
        case 3: {
            Aedat2Parser p;
            p.camera = static_cast<Aedat2Camera>((mode >> 3) % 3);
            both_ways(p, d, n);
            break;
        }
        default:
            both_ways(AtisParser{}, d, n);
            atis_encoder(d, n);
            break;
    }
    return 0;
}
