// What a stream parser is: a stateful reader of one format's event bytes,
// fed piece by piece (pieces of a file of any size, cut anywhere), for the
// formats whose event count is not known before the bytes are read (records
// mixed with markers, packets of other kinds, lines of text).
//
//   std::size_t max_events(std::size_t n) const noexcept;
//       an upper bound of the events parse() writes for the next n bytes
//       (what it holds from earlier pieces counted); the caller gives that
//       much room;
//   std::size_t parse(const unsigned char* data, std::size_t n, Event* out) noexcept;
//       takes all n bytes (an incomplete record or line is kept for the next
//       call) and writes the events they complete, in order; after an error
//       it writes the events before it, and every later call returns 0;
//   std::size_t finish(Event* out) noexcept;
//       the end of the input: what is held either completes (a last line
//       without its newline: at most max_events(0) events) or is an error
//       (a file that ends inside a record);
//   bool failed() const noexcept;
//   std::string error_message() const;  // what and where (byte offset or line)
//
// Parsers never allocate per event and never read past the bytes given.
// The readers of morvel.io.recordings drive them through kit::Parsed
// (kit/chunks.hpp).
#pragma once

#include "event.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace morvel::kernels {

// "<what> at byte <offset>" messages for the binary parsers.
inline std::string at_byte(const char* what, unsigned long long offset) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " (at byte %llu)", offset);
    return std::string(what) + buf;
}

// The message of a file that ends inside a record.
inline std::string cut_record(std::size_t trailing, unsigned long long offset) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "the file ends inside an event record (%zu trailing bytes from byte offset %llu)",
                  trailing, offset);
    return buf;
}

// The bytes of a format of fixed-size records, fed in pieces cut anywhere:
// a record cut between two pieces is kept and completed by the next.
// `consumed` counts the bytes taken (set it to where the records start for
// messages with file offsets).
template <std::size_t N>
struct Records {
    std::uint64_t consumed = 0;
    std::size_t held = 0;  // bytes of a record kept in tail
    unsigned char tail[N] = {};

    std::size_t max_records(std::size_t n) const noexcept { return (held + n) / N; }

    // Every record completed by the n bytes, in order, through
    // step(record, out) -> events written (0 or 1).
    template <class Step>
    MORVEL_INLINE std::size_t parse(const unsigned char* data, std::size_t n, Event* out, Step&& step) noexcept {
        std::size_t k = 0;
        consumed += n;
        if (held) {
            const std::size_t take = n < N - held ? n : N - held;
            std::memcpy(tail + held, data, take);
            held += take;
            data += take;
            n -= take;
            if (held < N) return 0;
            held = 0;
            k += step(tail, out + k);
        }
        const std::size_t records = n / N;
        for (std::size_t i = 0; i < records; ++i) k += step(data + N * i, out + k);
        held = n - records * N;
        if (held) std::memcpy(tail, data + records * N, held);
        return k;
    }

    // At the end: the message for a record cut short, if one is held.
    void finish(std::string& error) const {
        if (held && error.empty()) error = cut_record(held, consumed - held);
    }
};

}  // namespace morvel::kernels
