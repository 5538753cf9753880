// Plain-text event files (CSV, TSV, space separated): a streaming parser of
// their lines (the interface of stream_parser.hpp) and the encoder that
// writes them.
//
// One event per line, ending with \n or \r\n. The columns are t, x, y, p by
// default; a CsvConfig gives any order, with columns to skip in between (up
// to 32), and columns after the last one used are ignored whatever they hold.
// The delimiter is a comma, a tab or a run of whitespace; unless the config
// fixes it, it is taken from the first event line (a comma if it has one,
// else a tab if it has one, else whitespace). Around a comma or a tab, spaces
// are allowed. A UTF-8 byte order mark before the first line is dropped.
//
// Lines skipped anywhere: blank lines and comments (a '#' after optional
// whitespace). Before the first event line, a line with fewer columns than
// the ones used or a used column that is not a number is a header (such as
// "t,x,y,p", "timestamp x y polarity" or the "width height" line of some
// writers): up to 64 of them are skipped. After the first event line, such a
// line is an error.
//
// The values:
//   t  integer microseconds (below 2^63; digits are read exactly, a number
//      with a fraction or an exponent is read as the nearest double and
//      rounded, halves away from 0), or with `seconds` a decimal number of
//      seconds: llround(seconds * 1e6) of the nearest double, which the
//      usual shapes ("12.345678", "0.000123456") get from integer
//      arithmetic (decimal_seconds says when that is certain to agree);
//      t must not be negative (before rounding);
//   x, y  plain non-negative integers up to 65535;
//   p  1 gives 1; 0 and -1 give 0; anything else is an error.
//
// The first bad line stops the parser with an error naming the line (1-based)
// and quoting it (its first 80 bytes); the events before it are all written.
// A line may not be longer than 65536 bytes (its newline not counted): a
// longer one is an error as soon as its first 65537 bytes are in, so the
// incomplete line held between calls never needs more than that.
//
// The encoder writes "t,x,y,p\n" lines (integer microseconds) with a given
// delimiter; p is written as its value, so only p of 0 and 1 reads back, and
// t only below 2^63.
#pragma once

#include "event.hpp"
#include "stream_parser.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

namespace morvel::kernels {

inline constexpr std::size_t kCsvMaxColumns = 32;
inline constexpr std::size_t kCsvMaxLine = 65536;      // bytes of a line without its newline
inline constexpr std::size_t kCsvMaxHeaderLines = 64;  // non-number lines skipped before the first event
inline constexpr std::size_t kCsvQuoted = 80;          // bytes of the bad line quoted in a message

enum class CsvColumn : std::uint8_t { skip, t, x, y, p };
enum class CsvDelimiter : std::uint8_t { detect, comma, tab, whitespace };

struct CsvConfig {
    // What each column holds, columns[0] first; t, x, y and p once each
    // among the first n_columns, and the columns after them ignored.
    CsvColumn columns[kCsvMaxColumns] = {CsvColumn::t, CsvColumn::x, CsvColumn::y, CsvColumn::p};
    std::size_t n_columns = 4;
    CsvDelimiter delimiter = CsvDelimiter::detect;
    bool seconds = false;  // t is a decimal number of seconds (else integer microseconds)
};

// Why a config cannot be used, or nullptr.
inline const char* csv_config_error(const CsvConfig& c) noexcept {
    if (c.n_columns > kCsvMaxColumns) return "at most 32 columns can be described";
    if (static_cast<unsigned>(c.delimiter) > static_cast<unsigned>(CsvDelimiter::whitespace))
        return "the delimiter must be a comma, a tab or whitespace";
    unsigned seen[5] = {};
    for (std::size_t i = 0; i < c.n_columns; ++i) {
        const auto r = static_cast<unsigned>(c.columns[i]);
        if (r > 4) return "a column must be t, x, y, p or skipped";
        ++seen[r];
    }
    if (seen[1] != 1 || seen[2] != 1 || seen[3] != 1 || seen[4] != 1)
        return "the columns must name t, x, y and p once each";
    return nullptr;
}

enum class CsvError : std::uint8_t {
    none,
    bad_config,      // the config was refused (csv_config_error)
    too_long,        // a line over kCsvMaxLine bytes
    too_few_columns, // after the first event line
    empty_field,     // a used column is empty (comma or tab)
    not_a_number,
    bad_coordinate,  // x or y a number but not an integer in 0..65535
    bad_polarity,
    t_negative,
    t_too_large,     // 2^63 us or more
    too_many_headers,
};

namespace csv_detail {

MORVEL_INLINE bool is_space(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
MORVEL_INLINE unsigned digit(unsigned char c) noexcept { return static_cast<unsigned>(c) - '0'; }

inline constexpr double kTwoTo63 = 9223372036854775808.0;
inline constexpr std::uint64_t kMaxT = (std::uint64_t{1} << 63) - 1;
inline constexpr std::uint64_t kExactSecondsLimit = std::uint64_t{1} << 51;  // us

// A number as std::from_chars reads one (without "inf", "nan" or hex):
// an optional '-', digits with an optional '.' (at least one digit), an
// optional exponent.
inline bool is_number(const unsigned char* b, const unsigned char* e) noexcept {
    if (b < e && *b == '-') ++b;
    std::size_t digits = 0;
    while (b < e && digit(*b) <= 9) ++b, ++digits;
    if (b < e && *b == '.') {
        ++b;
        while (b < e && digit(*b) <= 9) ++b, ++digits;
    }
    if (digits == 0) return false;
    if (b < e && (*b == 'e' || *b == 'E')) {
        ++b;
        if (b < e && (*b == '+' || *b == '-')) ++b;
        if (b == e || digit(*b) > 9) return false;
        while (b < e && digit(*b) <= 9) ++b;
    }
    return b == e;
}

// Whether a number (is_number) that std::from_chars finds out of range is
// too large (else it is too small, and reads as 0): the power of ten of its
// first significant digit is positive.
inline bool out_of_range_is_large(const unsigned char* b, const unsigned char* e) noexcept {
    if (b < e && *b == '-') ++b;
    long long place = 0;  // power of ten of the first significant digit, plus one
    bool found = false, point = false;
    for (; b < e && *b != 'e' && *b != 'E'; ++b) {
        if (*b == '.') {
            point = true;
        } else if (!found) {
            if (*b != '0') {
                found = true;
                if (!point) ++place;
            } else if (point) {
                --place;
            }
        } else if (!point) {
            ++place;
        }
    }
    long long ex = 0;
    bool neg = false;
    if (b < e) {
        ++b;
        if (*b == '+' || *b == '-') neg = *b++ == '-';
        for (; b < e; ++b)
            if (ex < 1000000000) ex = ex * 10 + digit(*b);
    }
    return (neg ? place - ex : place + ex) > 0;
}

// Seconds written as n / 10^decimals (digits only, at most 12 before the
// point and 19 in all): the microseconds that rounding the nearest double
// times 1e6 gives, computed exactly where that is certain, else false.
// The two roundings of the double (reading, then the product) are together
// off by less than 2^-52 of the value V in microseconds. With 6 decimals or
// fewer V is an integer, and below 2^51 that error is under half a
// microsecond. With more, V = q + r / D (D = 10^(decimals - 6)) rounds to
// q or q + 1 unless it is within that error of q + 1/2: r / D must be
// farther than (q + 1) * 2^-51 from 1/2 (with a margin of 2 here).
MORVEL_INLINE bool decimal_seconds(std::uint64_t n, unsigned decimals, std::uint64_t& us) noexcept {
    static constexpr std::uint64_t kPow10[19] = {1,
                                                 10,
                                                 100,
                                                 1000,
                                                 10000,
                                                 100000,
                                                 1000000,
                                                 10000000,
                                                 100000000,
                                                 1000000000,
                                                 10000000000,
                                                 100000000000,
                                                 1000000000000,
                                                 10000000000000,
                                                 100000000000000,
                                                 1000000000000000,
                                                 10000000000000000,
                                                 100000000000000000,
                                                 1000000000000000000};
    if (decimals <= 6) {
        us = n * kPow10[6 - decimals];  // below 10^18: at most 12 digits before the point
        return us < kExactSecondsLimit;
    }
    if (decimals > 18) return false;
    const std::uint64_t d = kPow10[decimals - 6];
    const std::uint64_t q = n / d, r = n % d;
    const std::uint64_t gap = 2 * r > d ? 2 * r - d : d - 2 * r;  // |2r - D|, below 2^41
    if (!(static_cast<double>(gap) > static_cast<double>(d) * static_cast<double>(q + 1) * 0x1p-49)) return false;
    us = q + (2 * r > d);
    return true;
}

inline bool exact_seconds(const unsigned char* b, const unsigned char* e, std::uint64_t& us) noexcept {
    if (b == e || e - b > 20) return false;
    std::uint64_t n = 0;
    const unsigned char* s = b;
    while (b < e && digit(*b) <= 9) n = n * 10 + digit(*b++);
    const auto whole = static_cast<std::size_t>(b - s);
    if (whole == 0 || whole > 12) return false;
    std::size_t decimals = 0;
    if (b < e) {
        if (*b++ != '.') return false;
        s = b;
        while (b < e && digit(*b) <= 9) n = n * 10 + digit(*b++);
        decimals = static_cast<std::size_t>(b - s);
        if (b != e || whole + decimals > 19) return false;
    }
    return decimal_seconds(n, static_cast<unsigned>(decimals), us);
}

// Digits only, up to 2^63 - 1.
inline CsvError integer_time(const unsigned char* b, const unsigned char* e, std::uint64_t& t) noexcept {
    while (e - b > 1 && *b == '0') ++b;
    if (e - b > 19) return CsvError::t_too_large;
    std::uint64_t v = 0;
    for (; b < e; ++b) v = v * 10 + digit(*b);  // below 10^19 < 2^64
    if (v > kMaxT) return CsvError::t_too_large;
    t = v;
    return CsvError::none;
}

// The microseconds of a number (is_number) read as a double, times `scale`.
inline CsvError rounded_time(const unsigned char* b, const unsigned char* e, double scale, std::uint64_t& t) noexcept {
    double d = 0;
    const char* cb = reinterpret_cast<const char*>(b);
    const char* ce = reinterpret_cast<const char*>(e);
    const std::from_chars_result r = std::from_chars(cb, ce, d);
    if (r.ec == std::errc::result_out_of_range) {
        const bool neg = *b == '-';
        if (out_of_range_is_large(b, e)) return neg ? CsvError::t_negative : CsvError::t_too_large;
        d = 0;  // too small: 0 (or -0)
    } else if (r.ec != std::errc() || r.ptr != ce) {
        return CsvError::not_a_number;  // not expected after is_number
    }
    const double v = d * scale;
    if (!(v >= 0)) return CsvError::t_negative;
    if (!(v < kTwoTo63)) return CsvError::t_too_large;
    t = static_cast<std::uint64_t>(std::llround(v));
    return CsvError::none;
}

// x or y: digits only, up to 65535.
inline bool coordinate(const unsigned char* b, const unsigned char* e, std::uint16_t& out) noexcept {
    if (b == e) return false;
    std::uint32_t v = 0;
    for (; b < e; ++b) {
        const unsigned d = digit(*b);
        if (d > 9) return false;
        v = v * 10 + d;
        if (v > 65535) return false;
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

// 1, 0 or -1 (as integers: "01" and "-0" too).
inline bool polarity(const unsigned char* b, const unsigned char* e, std::uint8_t& out) noexcept {
    const bool neg = b < e && *b == '-';
    if (neg) ++b;
    if (b == e) return false;
    unsigned v = 0;
    for (; b < e; ++b) {
        const unsigned d = digit(*b);
        if (d > 9) return false;
        v = v * 10 + d;
        if (v > 1) return false;
    }
    out = static_cast<std::uint8_t>(neg ? 0 : v);
    return true;
}

struct Field {
    const unsigned char* b;
    const unsigned char* e;
};

// Two digits per entry, "00" to "99".
inline constexpr char kPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes v in decimal at out, returns the end.
MORVEL_INLINE char* write_u64(std::uint64_t v, char* out) noexcept {
    unsigned n = 1;
    for (std::uint64_t x = v; x >= 10 && n < 20; x /= 10) ++n;
    char* const end = out + n;
    char* q = end;
    while (v >= 100) {
        const auto r = static_cast<unsigned>(v % 100);
        v /= 100;
        q -= 2;
        std::memcpy(q, kPairs + 2 * r, 2);
    }
    if (v >= 10) {
        q -= 2;
        std::memcpy(q, kPairs + 2 * v, 2);
    } else {
        *--q = static_cast<char>('0' + v);
    }
    return end;
}

MORVEL_INLINE char* write_u16(unsigned v, char* out) noexcept {
    if (v < 10) {
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    if (v < 100) {
        std::memcpy(out, kPairs + 2 * v, 2);
        return out + 2;
    }
    if (v < 1000) {
        *out = static_cast<char>('0' + v / 100);
        std::memcpy(out + 1, kPairs + 2 * (v % 100), 2);
        return out + 3;
    }
    if (v < 10000) {
        std::memcpy(out, kPairs + 2 * (v / 100), 2);
        std::memcpy(out + 2, kPairs + 2 * (v % 100), 2);
        return out + 4;
    }
    *out = static_cast<char>('0' + v / 10000);
    v %= 10000;
    std::memcpy(out + 1, kPairs + 2 * (v / 100), 2);
    std::memcpy(out + 3, kPairs + 2 * (v % 100), 2);
    return out + 5;
}

}  // namespace csv_detail

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------
class CsvParser {
public:
    CsvParser() { configure(CsvConfig{}); }
    explicit CsvParser(const CsvConfig& c) { configure(c); }

    // Starts a new input read with c (the buffer of the held line is kept).
    // A config csv_config_error refuses fails the parser, with that message.
    void configure(const CsvConfig& c) {
        if (!held_) held_.reset(new unsigned char[kCsvMaxLine]);
        started_ = false;
        headers_ = 0;
        lines_ = 0;
        held_n_ = 0;
        error_ = CsvError::none;
        error_role_ = CsvColumn::skip;
        error_line_ = 0;
        error_value_ = 0;
        config_error_ = "";
        quote_n_ = 0;
        quote_cut_ = false;
        if (const char* why = csv_config_error(c)) {
            config_error_ = why;
            error_ = CsvError::bad_config;
            return;
        }
        need_ = 0;
        for (std::size_t i = 0; i < kCsvMaxColumns; ++i) {
            roles_[i] = i < c.n_columns ? c.columns[i] : CsvColumn::skip;
            if (roles_[i] != CsvColumn::skip) need_ = i + 1;
        }
        delimiter_ = c.delimiter;
        seconds_ = c.seconds;
        fast_columns_ = roles_[0] == CsvColumn::t && roles_[1] == CsvColumn::x && roles_[2] == CsvColumn::y &&
                        roles_[3] == CsvColumn::p;
        set_separator();
    }

    bool failed() const noexcept { return error_ != CsvError::none; }
    CsvError error() const noexcept { return error_; }
    std::uint64_t error_line() const noexcept { return error_line_; }
    // The configured delimiter, or the one found in the first event line
    // (detect until then).
    CsvDelimiter delimiter() const noexcept { return delimiter_; }
    std::size_t pending_bytes() const noexcept { return held_n_; }
    std::uint64_t lines() const noexcept { return lines_; }  // complete lines taken

    // An event line takes at least 8 bytes ("0,0,0,0\n"), held ones
    // counted; finish() (n = 0) gives at most the last line, of 7 or more.
    std::size_t max_events(std::size_t n) const noexcept {
        if (failed()) return 0;
        if (n == 0) return held_n_ >= 7 ? 1 : 0;
        return (n >> 3) + ((held_n_ + (n & 7)) >> 3);
    }

    std::size_t parse(const unsigned char* data, std::size_t n, Event* out) noexcept {
        if (failed() || n == 0) return 0;
        const unsigned char* p = data;
        const unsigned char* const end = data + n;
        std::size_t k = 0;
        if (held_n_ != 0) {
            const std::size_t room = kCsvMaxLine - held_n_;
            const std::size_t look = n < room + 1 ? n : room + 1;
            const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', look));
            if (nl == nullptr) {
                if (n > room) {
                    too_long(held_.get(), held_n_, p, n);
                    return 0;
                }
                std::memcpy(held_.get() + held_n_, p, n);
                held_n_ += n;
                return 0;
            }
            const auto len = static_cast<std::size_t>(nl - p);
            std::memcpy(held_.get() + held_n_, p, len);
            const std::size_t line_bytes = held_n_ + len;
            held_n_ = 0;
            k += line(held_.get(), held_.get() + line_bytes, out);
            if (failed()) return k;
            p = nl + 1;
        }
        while (p < end && !failed()) {
            if (started_ && fast_columns_) {
                k += seconds_ ? run<true, true>(p, end, out + k) : run<true, false>(p, end, out + k);
            } else {
                k += run<false, false>(p, end, out + k);
            }
        }
        return k;
    }

    // What is held is a last line without its newline.
    std::size_t finish(Event* out) noexcept {
        if (failed() || held_n_ == 0) return 0;
        const std::size_t len = held_n_;
        held_n_ = 0;
        return line(held_.get(), held_.get() + len, out);
    }

    std::string error_message() const {
        const char* what = "";
        char buf[160];
        switch (error_) {
            case CsvError::none: return {};
            case CsvError::bad_config: return config_error_;
            case CsvError::too_long:
                std::snprintf(buf, sizeof buf, "line %llu: longer than %zu bytes:", line_number(), kCsvMaxLine);
                return buf + quoted();
            case CsvError::too_few_columns:
                std::snprintf(buf, sizeof buf, "line %llu: %zu column%s where %zu are needed in", line_number(),
                              error_value_, error_value_ == 1 ? "" : "s", need_);
                return buf + quoted();
            case CsvError::too_many_headers:
                std::snprintf(buf, sizeof buf,
                              "line %llu: still no event line after %zu header lines (lines whose columns are not "
                              "all numbers: are the delimiter and the columns right?), as",
                              line_number(), kCsvMaxHeaderLines);
                return buf + quoted();
            case CsvError::empty_field: what = "is empty"; break;
            case CsvError::not_a_number: what = "is not a number"; break;
            case CsvError::bad_coordinate: what = "must be an integer from 0 to 65535"; break;
            case CsvError::bad_polarity: what = "must be 1, 0 or -1"; break;
            case CsvError::t_negative: what = "is negative"; break;
            case CsvError::t_too_large: what = "is too large (2**63 us or more)"; break;
        }
        static constexpr const char* kNames[5] = {"?", "t", "x", "y", "p"};
        std::snprintf(buf, sizeof buf, "line %llu: '%s' %s in", line_number(),
                      kNames[static_cast<unsigned>(error_role_)], what);
        return buf + quoted();
    }

private:
    // The common lines, "<t><sep><x><sep><y><sep><p>" with single
    // separators and plain digits, are read here without bounds checks: at
    // least kFastMargin bytes must follow (a line taken here has at most 48,
    // and nothing past its newline is read). Anything else (or more digits
    // than kept here) returns nullptr and goes through line().
    static constexpr std::ptrdiff_t kFastMargin = 80;

    template <bool Seconds>
    MORVEL_INLINE const unsigned char* fast_line(const unsigned char* q, unsigned char sep, Event& ev) const noexcept {
        using csv_detail::digit;
        std::uint64_t t;
        unsigned d = digit(*q);
        if (d > 9) return nullptr;
        t = d;
        ++q;
        if constexpr (Seconds) {
            const unsigned char* const first = q - 1;
            const unsigned char* lim = first + 12;  // 12 digits before the point
            while ((d = digit(*q)) <= 9) {
                if (q == lim) return nullptr;
                t = t * 10 + d;
                ++q;
            }
            unsigned decimals = 0;
            if (*q == '.') {
                const unsigned char* const s = ++q;
                lim = s + (19 - (s - 1 - first));  // 19 digits in all
                while ((d = digit(*q)) <= 9) {
                    if (q == lim) return nullptr;
                    t = t * 10 + d;
                    ++q;
                }
                decimals = static_cast<unsigned>(q - s);
            }
            if (!csv_detail::decimal_seconds(t, decimals, t)) return nullptr;
        } else {
            const unsigned char* lim = q + 17;  // 18 digits: below 2^63
            while ((d = digit(*q)) <= 9) {
                if (q == lim) return nullptr;
                t = t * 10 + d;
                ++q;
            }
        }
        if (*q != sep) return nullptr;
        ++q;
        std::uint32_t c[2];
        for (int i = 0; i < 2; ++i) {
            std::uint32_t v = digit(*q);
            if (v > 9) return nullptr;
            ++q;
            if ((d = digit(*q)) <= 9) {
                v = v * 10 + d;
                ++q;
                if ((d = digit(*q)) <= 9) {
                    v = v * 10 + d;
                    ++q;
                    if ((d = digit(*q)) <= 9) {
                        v = v * 10 + d;
                        ++q;
                        if ((d = digit(*q)) <= 9) {
                            v = v * 10 + d;
                            ++q;
                            if (v > 65535) return nullptr;
                        }
                    }
                }
            }
            if (*q != sep) return nullptr;
            ++q;
            c[i] = v;
        }
        std::uint8_t pol;
        if (*q == '1') {
            pol = 1;
        } else if (*q == '0') {
            pol = 0;
        } else if (*q == '-' && q[1] == '1') {
            pol = 0;
            ++q;
        } else {
            return nullptr;
        }
        ++q;
        if (*q == '\r') ++q;
        if (*q != '\n') return nullptr;
        ev.t = t;
        ev.x = static_cast<std::uint16_t>(c[0]);
        ev.y = static_cast<std::uint16_t>(c[1]);
        ev.p = pol;
        return q + 1;
    }

    // Lines from p until the end, an error or (without Fast) the first event
    // line, which makes the fast loop usable.
    template <bool Fast, bool Seconds>
    std::size_t run(const unsigned char*& p, const unsigned char* end, Event* out) noexcept {
        std::size_t k = 0;
        const unsigned char sep = sep_;
        while (p < end) {
            if constexpr (Fast) {
                while (end - p >= kFastMargin) {
                    Event ev;
                    const unsigned char* q = fast_line<Seconds>(p, sep, ev);
                    if (q == nullptr) break;
                    out[k++] = ev;
                    p = q;
                    ++lines_;
                }
                if (p == end) break;
            }
            const auto rest = static_cast<std::size_t>(end - p);
            const auto* nl =
                static_cast<const unsigned char*>(std::memchr(p, '\n', rest < kCsvMaxLine + 1 ? rest : kCsvMaxLine + 1));
            if (nl == nullptr) {
                if (rest > kCsvMaxLine) {
                    too_long(p, rest, nullptr, 0);
                } else {
                    std::memcpy(held_.get(), p, rest);
                    held_n_ = rest;
                }
                p = end;
                break;
            }
            const bool was_started = started_;
            k += line(p, nl, out + k);
            p = nl + 1;
            if (failed()) break;
            if constexpr (!Fast) {
                if (!was_started && started_ && fast_columns_) break;
            }
        }
        return k;
    }

    // One whole line without its newline: writes its event, or nothing for
    // a line skipped (or an error).
    std::size_t line(const unsigned char* b, const unsigned char* e, Event* out) noexcept {
        using namespace csv_detail;
        ++lines_;
        if (lines_ == 1 && e - b >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) b += 3;
        if (e > b && e[-1] == '\r') --e;
        const unsigned char* const line_b = b;
        {
            const unsigned char* s = b;
            while (s < e && is_space(*s)) ++s;
            if (s == e || *s == '#') return 0;
        }

        CsvDelimiter d = delimiter_;
        if (d == CsvDelimiter::detect) {
            const auto n = static_cast<std::size_t>(e - b);
            d = std::memchr(b, ',', n)    ? CsvDelimiter::comma
                : std::memchr(b, '\t', n) ? CsvDelimiter::tab
                                          : CsvDelimiter::whitespace;
        }
        Field f[kCsvMaxColumns];
        std::size_t nf = 0;
        if (d == CsvDelimiter::whitespace) {
            while (nf < need_) {
                while (b < e && is_space(*b)) ++b;
                if (b == e) break;
                const unsigned char* s = b;
                while (b < e && !is_space(*b)) ++b;
                f[nf++] = {s, b};
            }
        } else {
            const unsigned char c = d == CsvDelimiter::comma ? ',' : '\t';
            while (nf < need_) {
                const auto* hit = static_cast<const unsigned char*>(std::memchr(b, c, static_cast<std::size_t>(e - b)));
                const unsigned char* fe = hit ? hit : e;
                const unsigned char* s = b;
                while (s < fe && is_space(*s)) ++s;
                const unsigned char* z = fe;
                while (z > s && is_space(z[-1])) --z;
                f[nf++] = {s, z};
                if (hit == nullptr) break;
                b = hit + 1;
            }
        }

        // A header, before the first event line: too few columns, or a used
        // one that is not a number.
        bool numbers = nf == need_;
        for (std::size_t i = 0; i < nf && numbers; ++i)
            if (roles_[i] != CsvColumn::skip && !is_number(f[i].b, f[i].e)) numbers = false;
        if (!numbers) {
            if (!started_) {
                if (++headers_ > kCsvMaxHeaderLines) fail(CsvError::too_many_headers, CsvColumn::skip, line_b, e);
                return 0;
            }
            if (nf < need_) {
                error_value_ = nf;
                fail(CsvError::too_few_columns, CsvColumn::skip, line_b, e);
                return 0;
            }
            for (std::size_t i = 0; i < nf; ++i) {
                if (roles_[i] != CsvColumn::skip && !is_number(f[i].b, f[i].e)) {
                    fail(f[i].b == f[i].e ? CsvError::empty_field : CsvError::not_a_number, roles_[i], line_b, e);
                    return 0;
                }
            }
        }

        Event ev{};
        for (std::size_t i = 0; i < nf; ++i) {
            const Field& fi = f[i];
            CsvError err = CsvError::none;
            switch (roles_[i]) {
                case CsvColumn::skip: break;
                case CsvColumn::t: {
                    std::uint64_t t = 0;
                    if (seconds_) {
                        if (!exact_seconds(fi.b, fi.e, t)) err = rounded_time(fi.b, fi.e, 1e6, t);
                    } else {
                        bool digits_only = true;
                        for (const unsigned char* q = fi.b; q < fi.e && digits_only; ++q) digits_only = digit(*q) <= 9;
                        err = digits_only ? integer_time(fi.b, fi.e, t) : rounded_time(fi.b, fi.e, 1.0, t);
                    }
                    ev.t = t;
                    break;
                }
                case CsvColumn::x:
                    if (!coordinate(fi.b, fi.e, ev.x)) err = CsvError::bad_coordinate;
                    break;
                case CsvColumn::y:
                    if (!coordinate(fi.b, fi.e, ev.y)) err = CsvError::bad_coordinate;
                    break;
                case CsvColumn::p:
                    if (!polarity(fi.b, fi.e, ev.p)) err = CsvError::bad_polarity;
                    break;
            }
            if (err != CsvError::none) {
                fail(err, roles_[i], line_b, e);
                return 0;
            }
        }
        if (!started_) {
            started_ = true;
            delimiter_ = d;
            set_separator();
        }
        *out = ev;
        return 1;
    }

    void set_separator() noexcept {
        sep_ = delimiter_ == CsvDelimiter::comma ? ',' : delimiter_ == CsvDelimiter::tab ? '\t' : ' ';
    }

    void fail(CsvError what, CsvColumn role, const unsigned char* b, const unsigned char* e) noexcept {
        error_ = what;
        error_role_ = role;
        error_line_ = lines_;
        keep_quote(b, static_cast<std::size_t>(e - b), nullptr, 0);
    }

    // The line being gathered (a then b, no newline yet) is over the bound.
    void too_long(const unsigned char* a, std::size_t na, const unsigned char* b, std::size_t nb) noexcept {
        error_ = CsvError::too_long;
        error_role_ = CsvColumn::skip;
        error_line_ = lines_ + 1;
        if (lines_ == 0 && na + nb >= 3) {  // the byte order mark is not quoted
            unsigned char first[3];
            for (std::size_t i = 0; i < 3; ++i) first[i] = i < na ? a[i] : b[i - na];
            if (first[0] == 0xEF && first[1] == 0xBB && first[2] == 0xBF) {
                const std::size_t from_a = na < 3 ? na : 3;
                a += from_a;
                na -= from_a;
                b += 3 - from_a;
                nb -= 3 - from_a;
            }
        }
        keep_quote(a, na, b, nb);
    }

    void keep_quote(const unsigned char* a, std::size_t na, const unsigned char* b, std::size_t nb) noexcept {
        const std::size_t from_a = na < kCsvQuoted ? na : kCsvQuoted;
        if (from_a) std::memcpy(quote_, a, from_a);
        const std::size_t from_b = nb < kCsvQuoted - from_a ? nb : kCsvQuoted - from_a;
        if (from_b) std::memcpy(quote_ + from_a, b, from_b);
        quote_n_ = from_a + from_b;
        quote_cut_ = na + nb > quote_n_;
    }

    unsigned long long line_number() const noexcept { return static_cast<unsigned long long>(error_line_); }

    // ` "<the line>"`, printable ASCII kept and other bytes escaped.
    std::string quoted() const {
        std::string s = " \"";
        for (std::size_t i = 0; i < quote_n_; ++i) {
            const unsigned char c = quote_[i];
            if (c == '"' || c == '\\') {
                s += '\\';
                s += static_cast<char>(c);
            } else if (c == '\t') {
                s += "\\t";
            } else if (c == '\r') {
                s += "\\r";
            } else if (c >= 0x20 && c < 0x7F) {
                s += static_cast<char>(c);
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", unsigned{c});
                s += hex;
            }
        }
        if (quote_cut_) s += "...";
        s += '"';
        return s;
    }

    // The config.
    CsvColumn roles_[kCsvMaxColumns] = {};
    std::size_t need_ = 4;  // columns a line must have: up to the last used one
    CsvDelimiter delimiter_ = CsvDelimiter::detect;
    unsigned char sep_ = ',';
    bool seconds_ = false;
    bool fast_columns_ = true;  // t, x, y, p first

    // Carried between calls.
    bool started_ = false;      // an event line was read
    std::size_t headers_ = 0;   // header lines skipped
    std::uint64_t lines_ = 0;   // complete lines taken
    std::size_t held_n_ = 0;    // bytes of an incomplete line in held_
    std::unique_ptr<unsigned char[]> held_;  // kCsvMaxLine bytes

    // Set by the first error.
    CsvError error_ = CsvError::none;
    CsvColumn error_role_ = CsvColumn::skip;
    std::uint64_t error_line_ = 0;
    std::size_t error_value_ = 0;  // columns found
    const char* config_error_ = "";
    unsigned char quote_[kCsvQuoted] = {};
    std::size_t quote_n_ = 0;
    bool quote_cut_ = false;
};

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

// Bytes of the longest line: t of 20 digits, x and y of 5, p of 3, three
// delimiters and the newline.
inline constexpr std::size_t csv_max_line = 20 + 5 + 5 + 3 + 3 + 1;

// Room for the lines of n events (saturating).
inline std::size_t csv_encode_bound(std::size_t n) noexcept {
    return n > SIZE_MAX / csv_max_line ? SIZE_MAX : n * csv_max_line;
}

// Writes one "t<d>x<d>y<d>p\n" line per event at out (csv_encode_bound(n)
// bytes are enough) and returns the bytes written.
inline std::size_t encode_csv(const Event* ev, std::size_t n, char delimiter, char* out) noexcept {
    char* q = out;
    for (std::size_t i = 0; i < n; ++i) {
        const Event e = ev[i];
        q = csv_detail::write_u64(e.t, q);
        *q++ = delimiter;
        q = csv_detail::write_u16(e.x, q);
        *q++ = delimiter;
        q = csv_detail::write_u16(e.y, q);
        *q++ = delimiter;
        if (e.p < 10) {
            *q++ = static_cast<char>('0' + e.p);
        } else {
            q = csv_detail::write_u16(e.p, q);
        }
        *q++ = '\n';
    }
    return static_cast<std::size_t>(q - out);
}

}  // namespace morvel::kernels
