// What a piece of whole records does to the state of the fixed-record
// dataset formats (the Scan interface of evt_split.hpp), so that their
// files decode piece by piece on any thread:
//   AEDAT 2.0: the last 32-bit timestamp and the wraps, counted over every
//              record (skipped ones come from the same clock);
//   ATIS:      wrap markers and unmarked wraps; a marker sets the last
//              timestamp to 0, so only a piece's events before its first
//              marker depend on the incoming state, and of those only the
//              first one's step back.
#pragma once

#include "aedat_legacy.hpp"
#include "atis_bin.hpp"
#include "evt_split.hpp"

#include <cstddef>
#include <cstdint>

namespace morvel::kernels {

template <>
struct Scan<Aedat2Parser> {
    struct Summary {
        std::size_t events = 0;
        HighRun high;
    };

    static Summary summarize(const Aedat2Parser& shape, const unsigned char* data, std::size_t n) noexcept {
        Summary s;
        constexpr std::size_t R = Aedat2Parser::kRecord;
        const std::size_t records = n / R;
        s.events = shape.count_events(data, n);
        if (records == 0) return s;
        // The wraps as unwrap() counts them, in one branch-free pass.
        std::uint64_t wraps = 0;
        std::uint64_t prev = Aedat2Parser::load_be32(data + 4);
        for (std::size_t i = 1; i < records; ++i) {
            const std::uint64_t ts = Aedat2Parser::load_be32(data + R * i + 4);
            wraps += prev > ts + (std::uint64_t{1} << 31);
            prev = ts;
        }
        s.high.seen = true;
        s.high.first = Aedat2Parser::load_be32(data + 4);
        s.high.last = prev;
        s.high.wraps = wraps;
        return s;
    }

    static void apply(Aedat2Parser& d, const Summary& s) noexcept { apply_stamp_wraps(d, s.high); }
};

template <>
struct Scan<AtisParser> {
    struct Summary {
        std::size_t events = 0;
        bool any = false;         // the piece holds a record
        bool leading = false;     // its first record is an event (compared with the incoming timestamp)
        std::uint32_t first = 0;  // that event's timestamp
        std::uint64_t spans = 0;  // 2^23 spans the piece adds by itself (markers, unmarked wraps after its first record)
        std::uint32_t last = 0;   // the last timestamp it leaves
    };

    static Summary summarize(const AtisParser&, const unsigned char* data, std::size_t n) noexcept {
        Summary s;
        const std::size_t records = n / kAtisRecord;
        if (records == 0) return s;
        s.any = true;
        s.leading = data[1] != kAtisMarkerY;
        s.first = AtisParser::timestamp(data);
        std::uint32_t prev = s.leading ? s.first : 0;
        for (std::size_t i = 0; i < records; ++i) {
            const unsigned char* r = data + kAtisRecord * i;
            if (r[1] == kAtisMarkerY) {
                ++s.spans;
                prev = 0;
                continue;
            }
            const std::uint32_t ts = AtisParser::timestamp(r);
            if (prev > ts && prev - ts > kAtisBack) ++s.spans;
            prev = ts;
            ++s.events;
        }
        s.last = prev;
        return s;
    }

    static void apply(AtisParser& d, const Summary& s) noexcept {
        if (!s.any) return;
        const bool wrap = s.leading && d.prev > s.first && d.prev - s.first > kAtisBack;
        d.offset += (s.spans + (wrap ? 1 : 0)) * kAtisSpan;
        d.prev = s.last;
    }
};

}  // namespace morvel::kernels
