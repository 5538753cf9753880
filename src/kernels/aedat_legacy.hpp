// The AEDAT files before version 4: 2.0 (jAER) and 3.1 (libcaer), as DVS128
// Gesture, CIFAR10-DVS and the DAVIS recordings of their time ship them.
//
// Both start with text lines beginning with '#'; the first is
// "#!AER-DAT2.0" or "#!AER-DAT3.1".
//
// 2.0: the header is every line that begins with '#' (jAER ends it with
// "#End Of ASCII Header"). Then big-endian records of a u32 address and a
// u32 timestamp (us, wrapping after 2^32: a timestamp lower than the
// previous one by more than 2^31 adds 2^32 from then on). The address
// depends on the camera:
//   DVS128:        p bit 0, x bits 7..1, y bits 14..8; bit 15 set: an
//                  external event, skipped;
//   DAVIS240/346:  p bit 11, x bits 21..12, y bits 30..22; bit 31 set: an
//                  APS or IMU sample, skipped; bit 10 set: an external
//                  event, skipped. x and y outside the sensor are skipped.
//
// 3.1: the header ends with the line "#!END-HEADER". Then packets: a 28-byte
// header (u16 event type, u16 source, u32 event size, u32 timestamp offset,
// u32 timestamp overflow, u32 capacity, u32 number, u32 valid; little
// endian) and capacity * size bytes of events. Polarity events (type 1) are
// a u32 word (bit 0 valid, bit 1 polarity, y bits 16..2, x bits 31..17) and
// a u32 timestamp at the packet's timestamp offset; t is overflow << 31 |
// timestamp. Of a polarity packet the first `number` events are read and
// the valid ones kept; packets of every other type are skipped.
#pragma once

#include "event.hpp"
#include "stream_parser.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace morvel::kernels {

// ---------------------------------------------------------------------------
// Headers
// ---------------------------------------------------------------------------
enum class AedatVersion : std::uint8_t { unknown, v2, v3 };

struct AedatHeader {
    enum class Status : std::uint8_t { ok, need_more, not_aedat, no_end };
    Status status = Status::need_more;
    AedatVersion version = AedatVersion::unknown;
    std::size_t data_offset = 0;  // first byte after the header
};

namespace aedat_detail {

inline bool starts_with(const unsigned char* p, std::size_t n, std::string_view s) noexcept {
    return n >= s.size() && std::memcmp(p, s.data(), s.size()) == 0;
}

// The line starting at p (without its \r\n): its length, and where the next
// begins (npos when the bytes end first).
inline std::size_t line_end(const unsigned char* p, std::size_t n) noexcept {
    const void* nl = std::memchr(p, '\n', n);
    return nl ? static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - p) : std::string_view::npos;
}

inline std::string_view trimmed_line(const unsigned char* p, std::size_t len) noexcept {
    std::string_view s(reinterpret_cast<const char*>(p), len);
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

inline bool iequals_squeezed(std::string_view line, std::string_view want) noexcept {
    // compares ignoring case and spaces: "# End Of ASCII Header" == "#endofasciiheader"
    std::size_t j = 0;
    for (char c : line) {
        if (c == ' ' || c == '\t') continue;
        if (j >= want.size()) return false;
        const char a = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (a != want[j++]) return false;
    }
    return j == want.size();
}

}  // namespace aedat_detail

// The header of the first `n` bytes of a file (`eof`: they are the whole
// file). need_more: give more bytes.
inline AedatHeader parse_aedat_header(const unsigned char* p, std::size_t n, bool eof) noexcept {
    using namespace aedat_detail;
    AedatHeader h;
    if (n < 12 && !eof) return h;
    if (starts_with(p, n, "#!AER-DAT2.")) h.version = AedatVersion::v2;
    else if (starts_with(p, n, "#!AER-DAT3.")) h.version = AedatVersion::v3;
    else {
        h.status = AedatHeader::Status::not_aedat;
        return h;
    }
    std::size_t pos = 0;
    while (pos < n && p[pos] == '#') {
        const std::size_t len = line_end(p + pos, n - pos);
        if (len == std::string_view::npos) {
            h.status = eof ? (h.version == AedatVersion::v3 ? AedatHeader::Status::no_end : AedatHeader::Status::ok)
                           : AedatHeader::Status::need_more;
            h.data_offset = n;
            return h;
        }
        const std::string_view line = trimmed_line(p + pos, len);
        pos += len + 1;
        if (h.version == AedatVersion::v3 && line == "#!END-HEADER") {
            h.status = AedatHeader::Status::ok;
            h.data_offset = pos;
            return h;
        }
        if (h.version == AedatVersion::v2 && iequals_squeezed(line, "#endofasciiheader")) {
            h.status = AedatHeader::Status::ok;
            h.data_offset = pos;
            return h;
        }
    }
    if (pos >= n && !eof) return h;  // the next line may be header too
    if (h.version == AedatVersion::v3) {
        h.status = AedatHeader::Status::no_end;
        return h;
    }
    h.status = AedatHeader::Status::ok;
    h.data_offset = pos;
    return h;
}

// ---------------------------------------------------------------------------
// 2.0 records
// ---------------------------------------------------------------------------
enum class Aedat2Camera : std::uint8_t { dvs128, davis240, davis346 };

struct Aedat2Parser {
    static constexpr std::size_t kRecord = 8;

    Aedat2Camera camera = Aedat2Camera::dvs128;  // set before the first call

    std::uint32_t prev = 0;
    std::uint64_t offset = 0;  // wraps * 2^32
    Records<kRecord> records;
    std::string error;

    static void sensor(Aedat2Camera c, std::uint32_t& w, std::uint32_t& h) noexcept {
        switch (c) {
            case Aedat2Camera::dvs128: w = h = 128; return;
            case Aedat2Camera::davis240: w = 240; h = 180; return;
            case Aedat2Camera::davis346: w = 346; h = 260; return;
        }
    }

    std::size_t max_events(std::size_t n) const noexcept { return records.max_records(n); }
    bool failed() const noexcept { return !error.empty(); }
    std::string error_message() const { return error; }

    std::size_t parse(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (camera == Aedat2Camera::dvs128)
            return records.parse(data, n, out, [this](const unsigned char* r, Event* e) { return step_dvs128(r, e); });
        std::uint32_t w = 0, h = 0;
        sensor(camera, w, h);
        return records.parse(data, n, out,
                             [this, w, h](const unsigned char* r, Event* e) { return step_davis(r, e, w, h); });
    }

    std::size_t finish(Event*) {
        records.finish(error);
        return 0;
    }

    // The decoder interface of pieces of whole records (kit/split.hpp):
    // the events decode() gives for them, and decode() itself.
    static constexpr std::size_t kWordBytes = kRecord;
    static constexpr std::size_t kCountBlock = std::size_t{1} << 24;
    // (Without branches, with signed compares of the 10- and 9-bit fields
    // and 32-bit counts: the loops vectorise.)
    std::size_t count_events(const unsigned char* data, std::size_t n) const noexcept {
        const std::size_t records = n / kRecord;
        std::size_t k = 0;
        // The address's fields from its bytes as loaded (no byte swap,
        // which SSE2 lacks): its bits 31, 15 and 10 are bits 7, 23 and 18
        // here, x = its bits 21..12, y = its bits 30..22.
        const bool dvs128 = camera == Aedat2Camera::dvs128;
        std::uint32_t w = 0, h = 0;
        sensor(camera, w, h);
        const auto sw = static_cast<std::int32_t>(w), sh = static_cast<std::int32_t>(h);
        for (std::size_t at = 0; at < records; at += kCountBlock) {
            const std::size_t end = records - at < kCountBlock ? records : at + kCountBlock;
            std::uint32_t block = 0;  // 32-bit lanes
            if (dvs128) {
                for (std::size_t i = at; i < end; ++i) block += (load_u32(data + kRecord * i) & 0x800000u) == 0;
            } else {
                for (std::size_t i = at; i < end; ++i) {
                    const std::uint32_t r = load_u32(data + kRecord * i);
                    const auto x = static_cast<std::int32_t>(((r >> 8) & 0x3Fu) << 4 | ((r >> 20) & 0xFu));
                    const auto y = static_cast<std::int32_t>((r & 0x7Fu) << 2 | ((r >> 14) & 0x3u));
                    block += static_cast<std::uint32_t>(((r & 0x40080u) == 0) & (x < sw) & (y < sh));
                }
            }
            k += block;
        }
        return k;
    }
    std::size_t decode(const unsigned char* data, std::size_t n, Event* out) noexcept { return parse(data, n, out); }

    static std::uint32_t load_be32(const unsigned char* p) noexcept {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_bswap32(v);
    }

private:
    MORVEL_INLINE std::uint64_t unwrap(std::uint32_t ts) noexcept {
        if (prev > ts && prev - ts > (std::uint32_t{1} << 31)) offset += std::uint64_t{1} << 32;
        prev = ts;
        return offset + ts;
    }

    // Timestamps of skipped records count for the unwrapping too: they
    // come from the same clock.
    MORVEL_INLINE std::size_t step_dvs128(const unsigned char* r, Event* out) noexcept {
        const std::uint32_t a = load_be32(r);
        const std::uint64_t t = unwrap(load_be32(r + 4));
        if (a & 0x8000u) return 0;
        out->t = t;
        out->x = static_cast<std::uint16_t>((a >> 1) & 0x7Fu);
        out->y = static_cast<std::uint16_t>((a >> 8) & 0x7Fu);
        out->p = static_cast<std::uint8_t>(a & 1u);
        return 1;
    }

    MORVEL_INLINE std::size_t step_davis(const unsigned char* r, Event* out, std::uint32_t w,
                                         std::uint32_t h) noexcept {
        const std::uint32_t a = load_be32(r);
        const std::uint64_t t = unwrap(load_be32(r + 4));
        if (a & 0x80000400u) return 0;
        const std::uint32_t x = (a >> 12) & 0x3FFu, y = (a >> 22) & 0x1FFu;
        if (x >= w || y >= h) return 0;
        out->t = t;
        out->x = static_cast<std::uint16_t>(x);
        out->y = static_cast<std::uint16_t>(y);
        out->p = static_cast<std::uint8_t>((a >> 11) & 1u);
        return 1;
    }
};

// ---------------------------------------------------------------------------
// 3.1 packets
// ---------------------------------------------------------------------------
inline constexpr std::size_t kAedat3PacketHeader = 28;
inline constexpr std::uint16_t kAedat3Polarity = 1;
inline constexpr std::uint32_t kAedat3MaxEventSize = 1u << 10;  // for polarity events, which are 8 bytes

struct Aedat3Parser {
    std::uint64_t consumed = 0;  // bytes taken so far
    std::string error;

    // The packet being read.
    unsigned char head[kAedat3PacketHeader] = {};
    std::size_t head_have = 0;       // bytes of its header seen
    std::uint64_t packet_at = 0;     // where it starts
    std::uint64_t payload_left = 0;  // bytes of its events still to come
    std::uint64_t index = 0;         // its next event
    bool polarity = false;
    std::uint32_t size = 0, ts_offset = 0, number = 0;
    std::uint64_t overflow = 0;
    // An event cut between two pieces.
    unsigned char tail[kAedat3MaxEventSize] = {};
    std::size_t held = 0;

    std::size_t max_events(std::size_t n) const noexcept { return (held + n) / 8 + 1; }
    bool failed() const noexcept { return !error.empty(); }
    std::string error_message() const { return error; }

    std::size_t parse(const unsigned char* data, std::size_t n, Event* out) noexcept {
        std::size_t k = 0;
        while (n && error.empty()) {
            if (payload_left == 0) {  // a packet header
                const std::size_t take = n < kAedat3PacketHeader - head_have ? n : kAedat3PacketHeader - head_have;
                if (head_have == 0) packet_at = consumed;
                std::memcpy(head + head_have, data, take);
                head_have += take;
                advance(data, n, take);
                if (head_have == kAedat3PacketHeader) start_packet();
                continue;
            }
            if (!polarity) {
                const std::uint64_t skip = payload_left < n ? payload_left : n;
                advance(data, n, static_cast<std::size_t>(skip));
                payload_left -= skip;
                if (payload_left == 0) end_packet();
                continue;
            }
            if (held) {
                const std::size_t take = n < size - held ? n : size - held;
                std::memcpy(tail + held, data, take);
                held += take;
                advance(data, n, take);
                if (held < size) continue;
                held = 0;
                k += event(tail, out + k);
                payload_left -= size;
                if (payload_left == 0) end_packet();
                continue;
            }
            // Whole events in place, then what is left of one.
            std::uint64_t whole = (payload_left < n ? payload_left : n) / size;
            const unsigned char* p = data;
            for (std::uint64_t i = 0; i < whole; ++i, p += size) k += event(p, out + k);
            const std::size_t used = static_cast<std::size_t>(whole * size);
            advance(data, n, used);
            payload_left -= used;
            if (payload_left == 0) {
                end_packet();
                continue;
            }
            if (n && n < size) {  // part of the next event
                std::memcpy(tail, data, n);
                held = n;
                advance(data, n, n);
            }
        }
        return k;
    }

    std::size_t finish(Event*) {
        if (!error.empty()) return 0;
        if (head_have && payload_left == 0)
            error = at_byte("the file ends inside a packet header", packet_at);
        else if (payload_left)
            error = at_byte("the file ends inside the events of the packet", packet_at);
        return 0;
    }

private:
    void advance(const unsigned char*& data, std::size_t& n, std::size_t k) noexcept {
        data += k;
        n -= k;
        consumed += k;
    }

    void start_packet() noexcept {
        const std::uint16_t type = static_cast<std::uint16_t>(head[0] | head[1] << 8);
        size = load_u32(head + 4);
        ts_offset = load_u32(head + 8);
        overflow = load_u32(head + 12);
        const std::uint32_t capacity = load_u32(head + 16);
        number = load_u32(head + 20);
        payload_left = std::uint64_t{capacity} * size;
        index = 0;
        polarity = type == kAedat3Polarity;
        if (number > capacity) {
            error = at_byte("the packet says it holds more events than it has room for", packet_at);
            return;
        }
        if (polarity && capacity && (size < 8 || size > kAedat3MaxEventSize || ts_offset > size - 4)) {
            error = at_byte("the polarity packet's event size or timestamp offset is not valid", packet_at);
            return;
        }
        if (capacity && size == 0) {
            error = at_byte("the packet's event size is 0", packet_at);
            return;
        }
        if (payload_left == 0) end_packet();
    }

    void end_packet() noexcept { head_have = 0; }

    MORVEL_INLINE std::size_t event(const unsigned char* e, Event* out) noexcept {
        const std::uint64_t i = index++;
        const std::uint32_t w = load_u32(e);
        if (i >= number || !(w & 1u)) return 0;
        out->t = overflow << 31 | load_u32(e + ts_offset);
        out->x = static_cast<std::uint16_t>(w >> 17);
        out->y = static_cast<std::uint16_t>((w >> 2) & 0x7FFFu);
        out->p = static_cast<std::uint8_t>((w >> 1) & 1u);
        return 1;
    }
};

}  // namespace morvel::kernels
