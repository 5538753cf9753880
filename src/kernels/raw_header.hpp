// The ASCII header of a RAW camera recording, and what it says about the
// event data that follows.
//
// A RAW file starts with header lines
//     % key value\n          (or \r\n)
// and a line "% end" closes the header. Older files have no "% end": the data
// then begins at the first line that does not start with the two bytes "% ".
// Both bytes are checked because the first data byte may well be '%' (0x25).
//
// Line rules:
//   - "% key value": the key runs to the first space or tab after "% " (spaces
//     and tabs before it are skipped); the value is the rest of the line after
//     the separating spaces/tabs, with trailing spaces, tabs and '\r' removed.
//     The value may contain spaces ("% date 2023-01-01 12:00:00").
//   - "% key" with no value keeps the key with an empty value.
//   - "% " followed only by blanks (no key) is a header line without an entry.
//   - "% end" (key "end", empty value) closes the header; it is not an entry.
//   - A line of just "%" does not start with "% ", so it is data, like any
//     other line without that prefix: two bytes 0x25 0x0A are a plausible
//     first event word.
//   - Keys and values are bytes as found (binary garbage included); turning
//     them into text is the caller's choice.
//   - An unterminated "% ..." line at the end of the file is a header line;
//     the body is then empty.
//
// Parsing works on the first bytes of the file as read so far. With
// at_eof == false the parser answers need_more when those bytes cannot decide
// the header yet (a line not finished, or fewer than two bytes at the start of
// a line); the caller reads more and calls again from the start. need_more is
// only returned while n <= max_bytes + 1, so reading max_bytes + 2 bytes (or
// up to the end of the file) always gets an answer. A header longer than
// max_bytes (1 MiB by default) is too_large. A decided answer never changes
// when more bytes are appended, and equals the answer for the whole file.
//
// No allocation: entries go to a caller array. The result counts every entry
// even beyond the capacity, so a caller can size an array and parse again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvel::kernels {

inline constexpr std::size_t kRawHeaderMaxBytes = std::size_t{1} << 20;

enum class RawHeaderStatus : std::uint8_t {
    ok,         // data_offset and entries are final
    need_more,  // read more bytes (or say at_eof) and parse again
    too_large,  // the header would end beyond max_bytes
};

// One "% key value" line, as offsets into the parsed buffer.
struct RawHeaderEntry {
    std::size_t key_offset;
    std::size_t key_size;    // >= 1
    std::size_t value_offset;
    std::size_t value_size;  // may be 0
};

struct RawHeader {
    RawHeaderStatus status;
    std::size_t data_offset;  // ok: first byte of event data (== n for an empty body)
    std::size_t n_entries;    // ok: entries found; only min(n_entries, capacity) are written
    bool has_end;             // ok: the header was closed by "% end"
};

namespace raw_header_detail {

inline bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\t'; }

// Splits a header line [b, e) (after "% ", without '\n') into key and value.
// Returns false when the line has no key.
inline bool split_line(const unsigned char* data, std::size_t b, std::size_t e,
                       RawHeaderEntry& out) noexcept {
    while (e > b && (is_blank(data[e - 1]) || data[e - 1] == '\r')) --e;
    while (b < e && is_blank(data[b])) ++b;
    if (b == e) return false;
    std::size_t k = b;
    while (k < e && !is_blank(data[k])) ++k;
    std::size_t v = k;
    while (v < e && is_blank(data[v])) ++v;
    out = RawHeaderEntry{b, k - b, v, e - v};
    return true;
}

inline bool is_end(const unsigned char* data, const RawHeaderEntry& en) noexcept {
    return en.key_size == 3 && en.value_size == 0 && std::memcmp(data + en.key_offset, "end", 3) == 0;
}

}  // namespace raw_header_detail

// Parses the header at the start of data[0, n). at_eof says that nothing
// follows these n bytes. Entries are written to entries[0, capacity)
// (entries may be null when capacity is 0).
inline RawHeader parse_raw_header(const unsigned char* data, std::size_t n, bool at_eof,
                                  RawHeaderEntry* entries, std::size_t capacity,
                                  std::size_t max_bytes = kRawHeaderMaxBytes) noexcept {
    using namespace raw_header_detail;
    std::size_t count = 0;
    std::size_t pos = 0;  // start of the current line; always <= max_bytes
    auto done = [&](std::size_t offset, bool end) { return RawHeader{RawHeaderStatus::ok, offset, count, end}; };
    auto need_more = [&] { return RawHeader{RawHeaderStatus::need_more, 0, 0, false}; };
    auto too_large = [&] { return RawHeader{RawHeaderStatus::too_large, 0, 0, false}; };

    for (;;) {
        const std::size_t left = n - pos;
        if (left == 0) return at_eof ? done(pos, false) : need_more();
        if (data[pos] != '%') return done(pos, false);
        if (left == 1) return at_eof ? done(pos, false) : need_more();
        if (data[pos + 1] != ' ') return done(pos, false);

        // A header line: it must end (its '\n' included) within max_bytes.
        const std::size_t limit = n < max_bytes ? n : max_bytes;
        const void* nl = std::memchr(data + pos, '\n', limit - pos);
        std::size_t line_end, next;
        if (nl != nullptr) {
            line_end = static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - data);
            next = line_end + 1;
        } else if (n > max_bytes) {
            return too_large();  // no '\n' before max_bytes, and the line goes on past it
        } else if (!at_eof) {
            return need_more();
        } else {
            line_end = n;  // last line of the file, unterminated
            next = n;
        }

        RawHeaderEntry en;
        if (split_line(data, pos + 2, line_end, en)) {
            if (is_end(data, en)) return done(next, true);
            if (count < capacity) entries[count] = en;
            ++count;
        }
        pos = next;
    }
}

// ---------------------------------------------------------------------------
// Interpreting the entries
// ---------------------------------------------------------------------------

inline std::string_view raw_entry_key(const unsigned char* data, const RawHeaderEntry& e) noexcept {
    return {reinterpret_cast<const char*>(data) + e.key_offset, e.key_size};
}
inline std::string_view raw_entry_value(const unsigned char* data, const RawHeaderEntry& e) noexcept {
    return {reinterpret_cast<const char*>(data) + e.value_offset, e.value_size};
}

namespace raw_header_detail {

inline std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

inline bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace raw_header_detail

// A sensor dimension: plain decimal digits (surrounding blanks allowed, no
// sign), 1 <= value <= 65536 (coordinates are 16-bit). Overflow-safe.
inline constexpr std::uint32_t kRawMaxDimension = 65536;

inline bool parse_raw_dimension(std::string_view s, std::uint32_t& out) noexcept {
    s = raw_header_detail::trim(s);
    if (s.empty()) return false;
    std::uint32_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint32_t>(c - '0');
        if (v > kRawMaxDimension) return false;  // v stays small, so no wrap
    }
    if (v == 0) return false;
    out = v;
    return true;
}

// "1280x720" (blanks around each number allowed) -> width 1280, height 720.
inline bool parse_raw_geometry(std::string_view s, std::uint32_t& width, std::uint32_t& height) noexcept {
    const std::size_t x = s.find('x');
    if (x == std::string_view::npos) return false;
    std::uint32_t w, h;
    if (!parse_raw_dimension(s.substr(0, x), w) || !parse_raw_dimension(s.substr(x + 1), h)) return false;
    width = w;
    height = h;
    return true;
}

// The value of a "format" key: "EVT3;height=720;width=1280" -> name "EVT3"
// (trimmed), options "height=720;width=1280".
struct RawFormatField {
    std::string_view name;
    std::string_view options;
};

inline RawFormatField split_raw_format(std::string_view value) noexcept {
    const std::size_t semi = value.find(';');
    if (semi == std::string_view::npos) return {raw_header_detail::trim(value), {}};
    return {raw_header_detail::trim(value.substr(0, semi)), value.substr(semi + 1)};
}

// Takes the next "key=value" option off the front of rest (options are
// separated by ';'); key and value are trimmed, an option without '=' has an
// empty value, empty options are skipped. Returns false when none is left.
inline bool next_raw_format_option(std::string_view& rest, std::string_view& key,
                                   std::string_view& value) noexcept {
    while (!rest.empty()) {
        const std::size_t semi = rest.find(';');
        std::string_view opt = rest.substr(0, semi);
        rest = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1);
        opt = raw_header_detail::trim(opt);
        if (opt.empty()) continue;
        const std::size_t eq = opt.find('=');
        if (eq == std::string_view::npos) {
            key = opt;
            value = {};
        } else {
            key = raw_header_detail::trim(opt.substr(0, eq));
            value = raw_header_detail::trim(opt.substr(eq + 1));
        }
        return true;
    }
    return false;
}

// Last value of option `name` in the options of a format field.
inline bool find_raw_format_option(std::string_view options, std::string_view name,
                                   std::string_view& value) noexcept {
    bool found = false;
    std::string_view k, v;
    while (next_raw_format_option(options, k, v)) {
        if (k == name) {
            value = v;
            found = true;
        }
    }
    return found;
}

enum class RawFormat : std::uint8_t { unknown, evt2, evt21, evt3 };

// Format names are compared without regard to case: "EVT2", "EVT21" (also
// "EVT2.1"), "EVT3".
inline RawFormat raw_format_from_name(std::string_view name) noexcept {
    name = raw_header_detail::trim(name);
    if (raw_header_detail::iequals(name, "EVT2")) return RawFormat::evt2;
    if (raw_header_detail::iequals(name, "EVT3")) return RawFormat::evt3;
    if (raw_header_detail::iequals(name, "EVT21") || raw_header_detail::iequals(name, "EVT2.1"))
        return RawFormat::evt21;
    return RawFormat::unknown;
}

// The older "evt" key: "2.0" / "2.1" / "3.0" (also "2" / "3").
inline RawFormat raw_format_from_evt_version(std::string_view v) noexcept {
    v = raw_header_detail::trim(v);
    if (v == "2.0" || v == "2") return RawFormat::evt2;
    if (v == "3.0" || v == "3") return RawFormat::evt3;
    if (v == "2.1") return RawFormat::evt21;
    return RawFormat::unknown;
}

// Where the format came from, so a caller can say what is missing or wrong.
enum class RawFormatSource : std::uint8_t {
    none,    // neither a "format" name nor an "evt" key
    format,  // the name of the "format" key (format_text); may be unsupported
    evt,     // the "evt" key (format_text); may be unsupported
};

enum class RawSizeSource : std::uint8_t { none, format, geometry };

struct RawHeaderInfo {
    RawFormat format = RawFormat::unknown;
    RawFormatSource format_source = RawFormatSource::none;
    std::string_view format_text;  // the name or evt value that decided (points into the buffer)
    RawSizeSource size_source = RawSizeSource::none;
    std::uint32_t width = 0;  // valid when size_source != none
    std::uint32_t height = 0;
};

// Decides the event format and sensor size from parsed entries. When a key
// appears more than once the last one counts (as in a dict built in order).
//   format: the name of "format" when not empty (even when unsupported: a
//           header that names an unknown format is not overridden by "evt"),
//           else the "evt" key, else none.
//   size:   "width" and "height" options of "format" when both are valid,
//           else "geometry" when valid, else none.
inline RawHeaderInfo describe_raw_header(const unsigned char* data, const RawHeaderEntry* entries,
                                         std::size_t n_entries) noexcept {
    const RawHeaderEntry* format = nullptr;
    const RawHeaderEntry* evt = nullptr;
    const RawHeaderEntry* geometry = nullptr;
    for (std::size_t i = 0; i < n_entries; ++i) {
        const std::string_view key = raw_entry_key(data, entries[i]);
        if (key == "format") format = &entries[i];
        else if (key == "evt") evt = &entries[i];
        else if (key == "geometry") geometry = &entries[i];
    }

    RawHeaderInfo info;
    RawFormatField field{};
    if (format != nullptr) field = split_raw_format(raw_entry_value(data, *format));
    if (!field.name.empty()) {
        info.format_source = RawFormatSource::format;
        info.format_text = field.name;
        info.format = raw_format_from_name(field.name);
    } else if (evt != nullptr) {
        info.format_source = RawFormatSource::evt;
        info.format_text = raw_header_detail::trim(raw_entry_value(data, *evt));
        info.format = raw_format_from_evt_version(info.format_text);
    }

    std::string_view ws, hs;
    std::uint32_t w, h;
    if (format != nullptr && find_raw_format_option(field.options, "width", ws) &&
        find_raw_format_option(field.options, "height", hs) && parse_raw_dimension(ws, w) &&
        parse_raw_dimension(hs, h)) {
        info.size_source = RawSizeSource::format;
        info.width = w;
        info.height = h;
    } else if (geometry != nullptr && parse_raw_geometry(raw_entry_value(data, *geometry), w, h)) {
        info.size_source = RawSizeSource::geometry;
        info.width = w;
        info.height = h;
    }
    return info;
}

}  // namespace morvel::kernels
