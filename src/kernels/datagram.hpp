// UDP event datagrams.
//
// A datagram carries 13-byte event records in one of two layouts:
//   - counted: a little-endian u32 record count n, then n records
//     (4 + 13n bytes); this is what pack_packet() writes;
//   - bare: records from byte 0; 0-12 trailing bytes are ignored.
// A datagram is taken as counted when its length is 4 more than a multiple
// of 13 and its first four bytes equal that multiple; anything else is bare.
// The two can collide: a bare datagram of 13k + 4 bytes whose first record
// starts with the u32 value k reads as counted (losing one record from the
// bare view). Senders that want an exact reading use the counted layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "event.hpp"

namespace morvel::kernels {

inline constexpr std::size_t kDatagramHeaderSize = 4;

struct DatagramView {
    std::size_t offset;     // byte offset of the first record
    std::size_t n_records;  // records at offset; 0 means nothing to read
};

// Locates the records in data[0, len). Always offset + 13 * n_records <= len.
inline DatagramView parse_datagram(const unsigned char* data, std::size_t len) noexcept {
    if (len >= kDatagramHeaderSize && len % kEventSize == kDatagramHeaderSize) {
        const std::size_t n = (len - kDatagramHeaderSize) / kEventSize;
        if (static_cast<std::uint64_t>(load_u32(data)) == static_cast<std::uint64_t>(n))
            return {kDatagramHeaderSize, n};
    }
    return {0, len / kEventSize};
}

// Number of counted datagrams needed for n_events with at most
// max_per_packet records each: ceil(n_events / max_per_packet). Zero events
// need no datagram; max_per_packet == 0 is invalid and yields 0.
inline std::size_t packet_count(std::size_t n_events, std::size_t max_per_packet) noexcept {
    if (max_per_packet == 0) return 0;
    return n_events / max_per_packet + (n_events % max_per_packet != 0 ? 1 : 0);
}

// Bytes of a counted datagram of n records of itemsize bytes. Returns false
// on size_t overflow.
inline bool packet_size(std::size_t n, std::size_t itemsize, std::size_t& size) noexcept {
    if (itemsize != 0 && n > (SIZE_MAX - kDatagramHeaderSize) / itemsize) return false;
    size = kDatagramHeaderSize + n * itemsize;
    return true;
}

// Writes a counted datagram: u32 LE n, then the n * itemsize bytes at
// records. out must hold 4 + n * itemsize bytes; n must fit in u32 (the
// caller bounds max_per_packet by 2^32 - 1).
inline void pack_packet(const unsigned char* records, std::size_t n, std::size_t itemsize,
                        unsigned char* out) noexcept {
    const auto count = static_cast<std::uint32_t>(n);
    out[0] = static_cast<unsigned char>(count);
    out[1] = static_cast<unsigned char>(count >> 8);
    out[2] = static_cast<unsigned char>(count >> 16);
    out[3] = static_cast<unsigned char>(count >> 24);
    const std::size_t body = n * itemsize;
    if (body != 0) std::memcpy(out + kDatagramHeaderSize, records, body);
}

}  // namespace morvel::kernels
