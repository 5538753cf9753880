// CSV / text event fuzzer. The first byte picks a config (the columns, t in
// microseconds or seconds, the delimiter, and now and then lines stretched
// to the 64 KiB bound); the rest is the text. It is parsed whole and in
// random pieces, each from an exactly sized heap copy into an output of
// exactly max_events() records, and both must agree with a plain reference
// reader written from the format's rules (strings, strtod, strtoull): the
// same events, and the same error on the same line with the same message.
// Then events, those read and others made from the input's bytes, are
// written by encode_csv and must read back exactly.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.hpp"
#include "kernels/csv.hpp"

using namespace morvel::kernels;

namespace {

// The reference and the checks are not instrumented for coverage: the
// fuzzer steers by the parser's branches, and runs faster.
#if defined(__clang__)
#define PLAIN __attribute__((no_sanitize("coverage")))
#else
#define PLAIN
#endif

// ---------------------------------------------------------------------------
// The reference reader
// ---------------------------------------------------------------------------
struct Outcome {
    std::vector<Event> events;
    CsvError error = CsvError::none;
    std::uint64_t line = 0;
};

PLAIN bool ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

PLAIN std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && ws(s[b])) ++b;
    while (e > b && ws(s[e - 1])) --e;
    return s.substr(b, e - b);
}

PLAIN bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (const char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

PLAIN std::string strip_zeros(const std::string& s) {
    std::size_t i = 0;
    while (i + 1 < s.size() && s[i] == '0') ++i;
    return s.substr(i);
}

// What strtod reads whole, from the characters of decimal numbers only and
// without a leading '+'.
PLAIN bool number(const std::string& s) {
    if (s.empty() || s[0] == '+') return false;
    for (const char c : s)
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

PLAIN CsvError time_of(const std::string& s, bool seconds, std::uint64_t& t) {
    if (!seconds && all_digits(s)) {
        const std::string z = strip_zeros(s);
        if (z.size() > 19) return CsvError::t_too_large;
        const unsigned long long v = std::strtoull(z.c_str(), nullptr, 10);
        if (v > 0x7FFFFFFFFFFFFFFFull) return CsvError::t_too_large;
        t = v;
        return CsvError::none;
    }
    errno = 0;
    const double v = std::strtod(s.c_str(), nullptr) * (seconds ? 1e6 : 1.0);
    if (!(v >= 0)) return CsvError::t_negative;
    if (!(v < 9223372036854775808.0)) return CsvError::t_too_large;
    t = static_cast<std::uint64_t>(std::llround(v));
    return CsvError::none;
}

PLAIN bool coordinate_of(const std::string& s, std::uint16_t& v) {
    if (!all_digits(s)) return false;
    const std::string z = strip_zeros(s);
    if (z.size() > 5) return false;
    const unsigned long x = std::strtoul(z.c_str(), nullptr, 10);
    if (x > 65535) return false;
    v = static_cast<std::uint16_t>(x);
    return true;
}

PLAIN bool polarity_of(const std::string& s, std::uint8_t& p) {
    const bool neg = !s.empty() && s[0] == '-';
    const std::string d = neg ? s.substr(1) : s;
    if (!all_digits(d)) return false;
    const std::string z = strip_zeros(d);
    if (z != "0" && z != "1") return false;
    p = neg ? 0 : static_cast<std::uint8_t>(z == "1");
    return true;
}

PLAIN Outcome reference(const std::uint8_t* data, std::size_t size, const CsvConfig& c) {
    Outcome o;
    std::size_t need = 0;
    for (std::size_t i = 0; i < c.n_columns; ++i)
        if (c.columns[i] != CsvColumn::skip) need = i + 1;
    CsvDelimiter delim = c.delimiter;
    bool started = false;
    std::size_t headers = 0;
    std::uint64_t number_of_line = 0;
    const auto fail = [&](CsvError e) {
        o.error = e;
        o.line = number_of_line;
    };
    for (std::size_t pos = 0; pos < size;) {
        const void* nl = std::memchr(data + pos, '\n', size - pos);
        const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - data) : size;
        std::string line(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end + 1;
        ++number_of_line;
        if (line.size() > kCsvMaxLine) return fail(CsvError::too_long), o;
        if (number_of_line == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string tl = trim(line);
        if (tl.empty() || tl[0] == '#') continue;

        CsvDelimiter d = delim;
        if (d == CsvDelimiter::detect)
            d = line.find(',') != std::string::npos    ? CsvDelimiter::comma
                : line.find('\t') != std::string::npos ? CsvDelimiter::tab
                                                       : CsvDelimiter::whitespace;
        std::vector<std::string> fields;
        if (d == CsvDelimiter::whitespace) {
            std::size_t i = 0;
            while (true) {
                while (i < line.size() && ws(line[i])) ++i;
                if (i == line.size()) break;
                const std::size_t s = i;
                while (i < line.size() && !ws(line[i])) ++i;
                fields.push_back(line.substr(s, i - s));
            }
        } else {
            const char sep = d == CsvDelimiter::comma ? ',' : '\t';
            std::size_t s = 0;
            while (true) {
                const std::size_t h = line.find(sep, s);
                fields.push_back(trim(line.substr(s, h == std::string::npos ? std::string::npos : h - s)));
                if (h == std::string::npos) break;
                s = h + 1;
            }
        }
        bool numbers = fields.size() >= need;
        for (std::size_t i = 0; i < need && i < fields.size(); ++i)
            if (c.columns[i] != CsvColumn::skip && !number(fields[i])) numbers = false;
        if (!numbers) {
            if (!started) {
                if (++headers > kCsvMaxHeaderLines) return fail(CsvError::too_many_headers), o;
                continue;
            }
            if (fields.size() < need) return fail(CsvError::too_few_columns), o;
            for (std::size_t i = 0; i < need; ++i)
                if (c.columns[i] != CsvColumn::skip && !number(fields[i]))
                    return fail(fields[i].empty() ? CsvError::empty_field : CsvError::not_a_number), o;
        }
        Event ev{};
        for (std::size_t i = 0; i < need; ++i) {
            CsvError err = CsvError::none;
            switch (c.columns[i]) {
                case CsvColumn::skip: break;
                case CsvColumn::t: {
                    std::uint64_t t = 0;
                    err = time_of(fields[i], c.seconds, t);
                    ev.t = t;
                    break;
                }
                case CsvColumn::x:
                    if (!coordinate_of(fields[i], ev.x)) err = CsvError::bad_coordinate;
                    break;
                case CsvColumn::y:
                    if (!coordinate_of(fields[i], ev.y)) err = CsvError::bad_coordinate;
                    break;
                case CsvColumn::p:
                    if (!polarity_of(fields[i], ev.p)) err = CsvError::bad_polarity;
                    break;
            }
            if (err != CsvError::none) return fail(err), o;
        }
        if (!started) {
            started = true;
            delim = d;
        }
        o.events.push_back(ev);
    }
    return o;
}

// ---------------------------------------------------------------------------
// The parser, whole and in pieces
// ---------------------------------------------------------------------------
struct Run {
    std::vector<Event> events;
    bool failed = false;
    CsvError error = CsvError::none;
    std::uint64_t line = 0;
    std::string message;
};

// One piece from an exact heap copy into exactly max_events(n) records.
void feed(CsvParser& p, const std::uint8_t* d, std::size_t n, std::vector<Event>& all) {
    std::uint8_t* buf = n ? new std::uint8_t[n] : nullptr;
    if (n) std::memcpy(buf, d, n);
    const std::size_t held = p.pending_bytes();
    const std::size_t bound = p.max_events(n);
    CHECK(bound == (p.failed() ? 0 : n ? (held + n) / 8 : held >= 7));
    Event* out = bound ? new Event[bound] : nullptr;
    const std::size_t got = p.parse(buf, n, out);
    CHECK(got <= bound);
    CHECK(p.pending_bytes() <= kCsvMaxLine);
    all.insert(all.end(), out, out + got);
    delete[] out;
    delete[] buf;
}

Run finish(CsvParser& p, std::vector<Event>& all) {
    const std::size_t bound = p.max_events(0);
    CHECK(bound <= 1);
    Event* out = bound ? new Event[bound] : nullptr;
    const std::size_t got = p.finish(out);
    CHECK(got <= bound);
    all.insert(all.end(), out, out + got);
    delete[] out;
    CHECK(p.pending_bytes() == 0 || p.failed());
    Run r;
    r.events = std::move(all);
    r.failed = p.failed();
    r.error = p.error();
    r.line = p.error_line();
    r.message = p.error_message();
    CHECK(r.failed == !r.message.empty());
    for (const char ch : r.message) CHECK(ch >= 0x20 && ch < 0x7F);  // plain ASCII, printable
    return r;
}

// Parsers are reused (configure starts a new input and keeps the 64 KiB
// line buffer): allocating that buffer for every run costs more than the
// runs. Now and then a fresh one checks that the reuse changes nothing.
CsvParser& parser_for(const CsvConfig& c, int which) {
    static CsvParser kept[2];
    kept[which].configure(c);
    return kept[which];
}

Run whole(CsvParser& p, const std::uint8_t* d, std::size_t n) {
    std::vector<Event> all;
    feed(p, d, n, all);
    return finish(p, all);
}

Run whole(const CsvConfig& c, const std::uint8_t* d, std::size_t n, bool fresh = false) {
    if (!fresh) return whole(parser_for(c, 0), d, n);
    CsvParser own(c);
    return whole(own, d, n);
}

Run pieces(const CsvConfig& c, const std::uint8_t* d, std::size_t n, std::uint64_t seed) {
    CsvParser& p = parser_for(c, 1);
    std::vector<Event> all;
    fuzz::Rng rng{seed};
    bool checked = false;
    for (std::size_t pos = 0; pos < n;) {
        const std::uint64_t r = rng.next();
        std::size_t len;
        switch (r & 3) {
            case 0: len = (r >> 8) % 4; break;
            case 1: len = (r >> 8) % 40; break;
            case 2: len = (r >> 8) % 300; break;
            default: len = (r >> 8) % (n + 1); break;
        }
        if (len > n - pos) len = n - pos;
        feed(p, d + pos, len, all);
        pos += len;
        // A parser that failed takes nothing more.
        if (p.failed() && !checked) {
            std::vector<Event> none;
            feed(p, d, n, none);
            CHECK(none.empty());
            checked = true;
        }
    }
    return finish(p, all);
}

PLAIN bool same_run(const Run& a, const Run& b) {
    return fuzz::same(a.events, b.events) && a.failed == b.failed && a.error == b.error && a.line == b.line &&
           a.message == b.message;
}

CsvConfig config_of(std::uint8_t sel) {
    CsvConfig c;
    using C = CsvColumn;
    switch (sel & 3) {
        case 0: break;  // t, x, y, p
        case 1: {       // skipped columns between, p first, t last
            const C cols[] = {C::skip, C::p, C::skip, C::y, C::x, C::skip, C::t};
            c.n_columns = sizeof cols / sizeof cols[0];
            for (std::size_t i = 0; i < c.n_columns; ++i) c.columns[i] = cols[i];
            break;
        }
        case 2:  // t, x, y, p and two more described as skipped
            c.n_columns = 6;
            break;
        default: {
            const C cols[] = {C::y, C::x, C::p, C::t};
            for (std::size_t i = 0; i < 4; ++i) c.columns[i] = cols[i];
            break;
        }
    }
    c.seconds = (sel >> 2) & 1;
    c.delimiter = static_cast<CsvDelimiter>((sel >> 3) & 3);
    return c;
}

// The text, or (1 in 32) the text with a run of one byte in its middle that
// makes a line of about kCsvMaxLine bytes.
std::vector<std::uint8_t> text_of(std::uint8_t sel, const std::uint8_t* d, std::size_t n) {
    if ((sel >> 5) != 7 || n == 0 || (d[0] & 3) != 0) return std::vector<std::uint8_t>(d, d + n);
    static constexpr char kFill[4] = {' ', '0', 'a', ','};
    const std::size_t half = n / 2;
    const std::size_t run = kCsvMaxLine - 8 + (d[0] >> 2) % 16;
    std::vector<std::uint8_t> t;
    t.reserve(n + run);
    t.insert(t.end(), d, d + half);
    t.insert(t.end(), run, static_cast<std::uint8_t>(kFill[d[n - 1] & 3]));
    t.insert(t.end(), d + half, d + n);
    return t;
}

void parse_text(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::uint8_t sel = data[0];
    const CsvConfig c = config_of(sel);
    CHECK(csv_config_error(c) == nullptr);
    const std::vector<std::uint8_t> text = text_of(sel, data + 1, size - 1);
    const std::uint8_t* d = text.data();
    const std::size_t n = text.size();

    const Run a = whole(c, d, n);
    const Outcome ref = reference(d, n, c);
    CHECK(fuzz::same(a.events, ref.events));
    CHECK(a.error == ref.error);
    CHECK(a.line == ref.line);
    if (a.failed) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "line %llu: ", static_cast<unsigned long long>(a.line));
        CHECK(a.message.rfind(prefix, 0) == 0);
    }

    std::uint64_t seed = size;
    for (std::size_t i = 0; i < size && i < 16; ++i) seed = seed * 131 + data[i];
    CHECK(same_run(a, pieces(c, d, n, seed)));
    if ((seed & 15) == 0) CHECK(same_run(a, whole(c, d, n, true)));

    // What was read writes and reads back.
    if (!a.events.empty()) {
        static constexpr char kDelims[3] = {',', '\t', ' '};
        const char delim = kDelims[sel % 3];
        std::vector<char> out(csv_encode_bound(a.events.size()));
        const std::size_t w = encode_csv(a.events.data(), a.events.size(), delim, out.data());
        CHECK(w <= out.size());
        const Run back = whole(CsvConfig{}, reinterpret_cast<const std::uint8_t*>(out.data()), w);
        CHECK(!back.failed && fuzz::same(back.events, a.events));
    }
}

// ---------------------------------------------------------------------------
// Encoding: events of every size from the input's bytes
// ---------------------------------------------------------------------------
void encode_events(const std::uint8_t* data, std::size_t size) {
    std::vector<Event> ev;
    for (std::size_t i = 0; i + 8 <= size && i < 8 * 24; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, data + i, 8);
        Event e;
        switch (data[i] & 3) {
            case 0: e.t = v >> 1; break;                      // anything below 2^63
            case 1: e.t = (std::uint64_t{1} << 63) - 1 - (v & 0xFF); break;
            case 2: e.t = v >> (v & 63) >> 1; break;         // every number of digits
            default: e.t = v % 1000; break;
        }
        e.x = static_cast<std::uint16_t>(v >> 8);
        e.y = static_cast<std::uint16_t>((data[i] & 4) ? 65535 - (v >> 24) % 3 : (v >> 40) % (1u + (v >> 56) * 257));
        e.p = static_cast<std::uint8_t>((v >> 7) & 1);
        ev.push_back(e);
    }
    if (ev.empty()) return;
    static constexpr char kDelims[3] = {',', '\t', ' '};
    const char delim = kDelims[data[0] % 3];
    const std::size_t bound = csv_encode_bound(ev.size());
    char* out = new char[bound];
    const std::size_t w = encode_csv(ev.data(), ev.size(), delim, out);
    CHECK(w <= bound);
    CsvConfig c;
    if (data[0] & 8) c.delimiter = delim == ',' ? CsvDelimiter::comma : delim == '\t' ? CsvDelimiter::tab
                                                                                      : CsvDelimiter::whitespace;
    const Run back = whole(c, reinterpret_cast<const std::uint8_t*>(out), w);
    CHECK(!back.failed && fuzz::same(back.events, ev));
    // In pieces too, through the held line (now and then: parse_text cuts
    // the text in pieces already).
    if ((data[0] & 0x30) == 0) CHECK(same_run(back, pieces(c, reinterpret_cast<const std::uint8_t*>(out), w, size)));
    // Each line is the plain decimal text of its event (the first ones:
    // snprintf is slow).
    std::size_t at = 0;
    for (std::size_t i = 0; i < ev.size() && i < 16; ++i) {
        const Event& e = ev[i];
        char line[64];
        const int len = std::snprintf(line, sizeof line, "%llu%c%u%c%u%c%u\n", static_cast<unsigned long long>(e.t),
                                      delim, unsigned{e.x}, delim, unsigned{e.y}, delim, unsigned{e.p});
        CHECK(len > 0 && static_cast<std::size_t>(len) <= csv_max_line);
        CHECK(at + static_cast<std::size_t>(len) <= w && std::memcmp(out + at, line, static_cast<std::size_t>(len)) == 0);
        at += static_cast<std::size_t>(len);
    }
    CHECK(ev.size() > 16 || at == w);
    delete[] out;
}

// Seconds of every shape the exact reading takes (up to 12 digits before
// the point, 19 in all, some ending in 5, 49999... or 50000... after the
// microseconds), against the nearest double times 1e6 rounded.
PLAIN void exact_seconds(const std::uint8_t* data, std::size_t size) {
    fuzz::Rng rng{size};
    for (std::size_t i = 0; i + 4 <= size && i < 4 * 32; i += 4) {
        rng.s ^= std::uint64_t{data[i]} | std::uint64_t{data[i + 1]} << 8 | std::uint64_t{data[i + 2]} << 16;
        const unsigned whole = 1 + data[i] % 12;
        const unsigned decimals = data[i + 3] % (20 - whole);
        char s[32];
        std::size_t len = 0;
        for (unsigned k = 0; k < whole; ++k) s[len++] = static_cast<char>('0' + rng.next() % 10);
        if (decimals || (data[i + 1] & 1)) s[len++] = '.';
        for (unsigned k = 0; k < decimals; ++k) {
            char c = static_cast<char>('0' + rng.next() % 10);
            if (k >= 6) {
                switch (data[i + 2] & 3) {
                    case 0: c = k == 6 ? '5' : '0'; break;
                    case 1: c = k == 6 ? '4' : '9'; break;
                    case 2: c = k == 6 ? '5' : (k + 1 == decimals ? '1' : '0'); break;
                    default: break;
                }
            }
            s[len++] = c;
        }
        s[len] = 0;
        const auto* b = reinterpret_cast<const unsigned char*>(s);
        const double v = std::strtod(s, nullptr) * 1e6;
        CHECK(v >= 0 && v < 9223372036854775808.0);
        const auto want = static_cast<std::uint64_t>(std::llround(v));
        std::uint64_t got = 0;
        if (csv_detail::exact_seconds(b, b + len, got)) CHECK(got == want);
        std::uint64_t rounded = 0;
        CHECK(csv_detail::rounded_time(b, b + len, 1e6, rounded) == CsvError::none);
        CHECK(rounded == want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    parse_text(data, size);
    encode_events(data, size);
    exact_seconds(data, size);
    return 0;
}
