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
#include <cstdio>
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

}  // namespace morvel::kernels
