// ECF chunk fuzzer. The input is first read as a chunk: decoded from an
// exactly sized copy into exactly the header's count of records against a
// plain byte-by-byte reader (same events, same error at the same offset),
// and into less room, which must be refused with nothing written. Then its
// bytes drive a list of events for the encoder: its refusals must match the
// plain rules with the same index, each layout that holds the events must
// write the bytes of a plain writer in the size announced and read back
// exactly, and ecf_encode must pick the smallest layout (ties in the order
// yxp, xp, codes).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "kernels/ecf.hpp"

using namespace morvel::kernels;

// The plain reader and writer below steer nothing: left out of the coverage
// (and its comparison hooks), they cost far less per event.
#if defined(__clang__) && __clang_major__ >= 13
#define PLAIN __attribute__((no_sanitize("coverage")))
#else
#define PLAIN
#endif

#if defined(__SANITIZE_ADDRESS__)
#define ECF_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ECF_FUZZ_ASAN 1
#endif
#endif
#ifdef ECF_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#endif

namespace {

// Outputs of any size up to a full chunk without a fresh mapping each run:
// exactly n elements at the end of a global array, with the 64 bytes before
// them poisoned, so that ASan catches an access past them (the global's
// redzone) or just before them (to the 8-byte granule) as it would around
// a heap block. The arrays stand alone, of 1-byte aligned types: nothing
// pads them before the redzone.
constexpr std::size_t kMostBytes = kEcfHeaderBytes + 22 * kEcfMaxEvents;  // ecf_max_encoded_size(65535)
Event g_event_items[kEcfMaxEvents];
unsigned char g_byte_items[kMostBytes];

template <class T, std::size_t N>
struct Arena {
    static constexpr std::size_t kGuard = 64;
    T (&items)[N];
    unsigned char* guard = nullptr;  // the poisoned bytes
    std::size_t guard_bytes = 0;

    T* room_at_end(std::size_t n) {
        CHECK(n <= N);
        if (guard_bytes) ASAN_UNPOISON_MEMORY_REGION(guard, guard_bytes);
        unsigned char* const start = reinterpret_cast<unsigned char*>(items + (N - n));
        const std::size_t before = static_cast<std::size_t>(start - reinterpret_cast<unsigned char*>(items));
        guard_bytes = before < kGuard ? before : kGuard;
        guard = start - guard_bytes;
        if (guard_bytes) ASAN_POISON_MEMORY_REGION(guard, guard_bytes);
        return items + (N - n);
    }
};

static_assert(alignof(Event) == 1);
Arena<Event, kEcfMaxEvents> g_events{g_event_items};
Arena<unsigned char, kMostBytes> g_bytes{g_byte_items};

PLAIN unsigned get16(const std::uint8_t* d) { return d[0] | unsigned{d[1]} << 8; }
PLAIN std::uint32_t get32(const std::uint8_t* d) { return get16(d) | std::uint32_t{get16(d + 2)} << 16; }

struct Expected {
    EcfError error = EcfError::none;
    std::size_t at = 0;
    std::vector<Event> events;
};

PLAIN // The format as written down, one code at a time, into one list per field
// (kept from run to run, with their room).
PLAIN const Expected& reference(const std::uint8_t* d, std::size_t size, std::size_t capacity) {
    static Expected r;
    static std::vector<std::uint64_t> ts;
    static std::vector<unsigned> ys, xs, ps;
    r.events.clear();
    ts.clear();
    ys.clear();
    xs.clear();
    ps.clear();
    const auto failed = [&](EcfError e, std::size_t at) -> const Expected& {
        r.error = e;
        r.at = at;
        return r;
    };
    if (size < 12) return failed(EcfError::short_header, 0);
    const std::uint32_t word = get32(d);
    const std::size_t n = word >> 2;
    const bool yxp = (word & 2) != 0;
    const bool xp = !yxp && (word & 1) != 0;
    std::uint64_t t = 0;
    for (int k = 7; k >= 0; --k) t = t << 8 | d[4 + k];
    if (n > 65535 || n > capacity) return failed(EcfError::too_many_events, 0);
    std::size_t pos = 12;

    while (ts.size() < n) {
        if (pos >= size) return failed(EcfError::cut_time_codes, pos);
        if (d[pos] >> 4 == 15) {
            std::uint64_t dt = 0;
            unsigned nibbles = 0;
            while (pos < size && d[pos] >> 4 == 15) {
                if (nibbles == 16) return failed(EcfError::jump_too_long, pos);
                dt += std::uint64_t{d[pos] & 15u} << (4 * nibbles);
                ++nibbles;
                ++pos;
            }
            t += dt;
            continue;  // the byte that ends the jump is an ordinary code
        }
        const std::size_t code_at = pos;
        const unsigned b = d[pos++];
        t += b >> 4;
        std::size_t count = b & 15;
        if (count == 15) {
            if (pos + 2 > size) return failed(EcfError::cut_time_codes, code_at);
            count = get16(d + pos);
            pos += 2;
        }
        if (ts.size() + count > n) return failed(EcfError::time_overrun, code_at);
        for (std::size_t k = 0; k < count; ++k) ts.push_back(t);
    }

    if (yxp) {
        for (std::size_t g = 0; 4 * g < n; ++g) {
            if (pos + 12 > size) return failed(EcfError::cut_packed, pos);
            const std::uint32_t w0 = get32(d + pos), w1 = get32(d + pos + 4), w2 = get32(d + pos + 8);
            const std::uint32_t v[4] = {w0 >> 8, (w1 >> 16) << 8 | (w0 & 0xFF), (w2 >> 24) << 16 | (w1 & 0xFFFF),
                                        w2 & 0xFFFFFF};
            for (std::size_t k = 0; k < 4 && 4 * g + k < n; ++k) {
                ys.push_back(v[k] >> 12);
                xs.push_back((v[k] >> 1) & 0x7FF);
                ps.push_back(v[k] & 1);
            }
            pos += 12;
        }
    } else {
        while (ys.size() < n) {
            if (pos + 2 > size) return failed(EcfError::cut_y_codes, pos);
            const unsigned code = get16(d + pos);
            std::size_t count = code & 31;
            std::size_t len = 2;
            if (count == 31) {
                if (pos + 4 > size) return failed(EcfError::cut_y_codes, pos);
                count = get16(d + pos + 2);
                len = 4;
            }
            if (ys.size() + count > n) return failed(EcfError::y_overrun, pos);
            for (std::size_t k = 0; k < count; ++k) ys.push_back(code >> 5);
            pos += len;
        }
        if (xp) {
            for (std::size_t g = 0; 4 * g < n; ++g) {
                if (pos + 6 > size) return failed(EcfError::cut_packed, pos);
                const unsigned h0 = get16(d + pos), h1 = get16(d + pos + 2), h2 = get16(d + pos + 4);
                const unsigned v[4] = {h0 >> 4, (h1 >> 8) << 4 | (h0 & 0xF), (h2 >> 12) << 8 | (h1 & 0xFF), h2 & 0xFFF};
                for (std::size_t k = 0; k < 4 && 4 * g + k < n; ++k) {
                    xs.push_back(v[k] >> 1);
                    ps.push_back(v[k] & 1);
                }
                pos += 6;
            }
        } else {
            while (xs.size() < n) {
                if (pos + 2 > size) return failed(EcfError::cut_x_codes, pos);
                const unsigned code = get16(d + pos);
                std::vector<unsigned> these{code >> 5};
                for (unsigned j = 0; j < 5; ++j) {
                    if (code & (1u << (4 - j))) these.push_back((code >> 5) + j + 1);
                }
                if (xs.size() + these.size() > n) return failed(EcfError::x_overrun, pos);
                xs.insert(xs.end(), these.begin(), these.end());
                pos += 2;
            }
            while (ps.size() < n) {
                if (pos >= size) return failed(EcfError::cut_p_codes, pos);
                const unsigned code = d[pos];
                std::size_t count = code & 127;
                std::size_t len = 1;
                if (count == 127) {
                    if (pos + 3 > size) return failed(EcfError::cut_p_codes, pos);
                    count = get16(d + pos + 1);
                    len = 3;
                }
                if (ps.size() + count > n) return failed(EcfError::p_overrun, pos);
                for (std::size_t k = 0; k < count; ++k) ps.push_back(code >> 7);
                pos += len;
            }
        }
    }

    r.error = EcfError::none;
    r.at = pos;
    for (std::size_t i = 0; i < n; ++i) {
        r.events.push_back(Event{ts[i], static_cast<std::uint16_t>(xs[i]), static_cast<std::uint16_t>(ys[i]),
                                 static_cast<std::uint8_t>(ps[i])});
    }
    return r;
}

// One decode from buf (exactly size bytes) into exactly capacity records.
void decode_into(const std::uint8_t* buf, std::size_t size, std::size_t capacity) {
    Event* const out = g_events.room_at_end(capacity);
    // Marked where nothing may be written.
    const bool refused = size < kEcfHeaderBytes || (get32(buf) >> 2) > capacity;
    if (refused && capacity) std::memset(static_cast<void*>(out), 0xA5, capacity * sizeof(Event));
    const EcfDecoded got = ecf_decode(buf, size, out, capacity);
    const Expected& want = reference(buf, size, capacity);
    CHECK(got.error == want.error && got.at == want.at);
    CHECK(ecf_error_text(got.error)[0] != '\0');
    if (got.error == EcfError::none) {
        CHECK(got.n == want.events.size() && got.n <= capacity);
        CHECK(got.n == 0 || std::memcmp(out, want.events.data(), got.n * sizeof(Event)) == 0);
    } else {
        CHECK(got.n == 0);
    }
    if (refused) {
        CHECK(got.error == EcfError::too_many_events || got.error == EcfError::short_header);
        for (std::size_t i = 0; i < capacity * sizeof(Event); ++i)
            CHECK(reinterpret_cast<const unsigned char*>(out)[i] == 0xA5);
    }
}

void decode_chunk(const std::uint8_t* data, std::size_t size) {
    std::uint8_t* buf = size ? new std::uint8_t[size] : nullptr;
    if (size) std::memcpy(buf, data, size);
    EcfHeader h;
    h.n = 7;
    const bool got = ecf_read_header(buf, size, h);
    CHECK(got == (size >= kEcfHeaderBytes));
    if (!got) {
        CHECK(h.n == 7);  // untouched
        decode_into(buf, size, size % 3);
        delete[] buf;
        return;
    }
    const std::uint32_t word = get32(buf);
    std::uint64_t t0 = 0;
    for (int k = 7; k >= 0; --k) t0 = t0 << 8 | buf[4 + k];
    CHECK(h.n == word >> 2 && h.t0 == t0);
    CHECK(h.yxp_packed == ((word & 2) != 0) && h.xp_packed == ((word & 3) == 1));
    CHECK(ecf_mode(h) == ((word & 2) ? EcfMode::yxp_packed : (word & 1) ? EcfMode::xp_packed : EcfMode::codes));

    const std::size_t n = h.n;
    if (n <= kEcfMaxEvents) {
        decode_into(buf, size, n);
        // Less room than the count: refused.
        if (n > 0) decode_into(buf, size, (n - 1) % (1 + buf[size - 1]));
    } else {
        decode_into(buf, size, buf[size - 1]);
        // The same chunk with a count it may hold, keeping the layout bits.
        std::uint32_t w = (word & ~3u) % (4u << 12) | (word & 3u);
        std::memcpy(buf, &w, sizeof w);
        decode_into(buf, size, w >> 2);
    }
    delete[] buf;
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

// The format's writer as described, byte by byte.
PLAIN std::vector<std::uint8_t> reference_encode(const Event* ev, std::size_t n, EcfMode mode) {
    std::vector<std::uint8_t> o;
    const auto put8 = [&](std::uint64_t v) { o.push_back(static_cast<std::uint8_t>(v & 0xFF)); };
    const auto put16 = [&](std::uint64_t v) {
        put8(v);
        put8(v >> 8);
    };
    const auto put32 = [&](std::uint64_t v) {
        put16(v);
        put16(v >> 16);
    };
    const unsigned flags = mode == EcfMode::yxp_packed ? 2 : mode == EcfMode::xp_packed ? 1 : 0;
    put32(std::uint64_t{n} << 2 | flags);
    const std::uint64_t t0 = n ? ev[0].t : 0;
    put32(t0);
    put32(t0 >> 32);

    // One code per distinct time; a step of 15 or more: the jump of fewest
    // nibbles, then the code with the smallest h that leaves such a jump.
    std::uint64_t time = t0;
    for (std::size_t i = 0; i < n;) {
        std::size_t count = 1;
        while (i + count < n && ev[i + count].t == ev[i].t) ++count;
        std::uint64_t step = ev[i].t - time;
        time = ev[i].t;
        if (step >= 15) {
            unsigned best_h = 0, best_len = 100;
            for (unsigned h = 0; h <= 14; ++h) {
                unsigned len = 0;
                for (std::uint64_t j = step - h; j != 0; j >>= 4) ++len;
                if (len < best_len) {
                    best_len = len;
                    best_h = h;
                }
            }
            const std::uint64_t jump = step - best_h;
            for (unsigned k = 0; k < best_len; ++k) put8(0xF0 | ((jump >> (4 * k)) & 15));
            step = best_h;
        }
        put8(step << 4 | (count < 15 ? count : 15));
        if (count >= 15) put16(count);
        i += count;
    }

    if (mode == EcfMode::yxp_packed) {
        for (std::size_t g = 0; 4 * g < n; ++g) {
            std::uint32_t v[4] = {};
            for (std::size_t k = 0; k < 4 && 4 * g + k < n; ++k) {
                const Event& e = ev[4 * g + k];
                v[k] = std::uint32_t{e.y} << 12 | std::uint32_t{e.x} << 1 | e.p;
            }
            put32(v[0] << 8 | (v[1] & 0xFF));
            put32((v[1] >> 8) << 16 | (v[2] & 0xFFFF));
            put32((v[2] >> 16) << 24 | (v[3] & 0xFFFFFF));
        }
        return o;
    }
    for (std::size_t i = 0; i < n;) {
        std::size_t count = 1;
        while (i + count < n && ev[i + count].y == ev[i].y) ++count;
        put16(std::uint64_t{ev[i].y} << 5 | (count < 31 ? count : 31));
        if (count >= 31) put16(count);
        i += count;
    }
    if (mode == EcfMode::xp_packed) {
        for (std::size_t g = 0; 4 * g < n; ++g) {
            std::uint32_t v[4] = {};
            for (std::size_t k = 0; k < 4 && 4 * g + k < n; ++k) {
                const Event& e = ev[4 * g + k];
                v[k] = std::uint32_t{e.x} << 1 | e.p;
            }
            put16(v[0] << 4 | (v[1] & 0xF));
            put16((v[1] >> 4) << 8 | (v[2] & 0xFF));
            put16((v[2] >> 8) << 12 | (v[3] & 0xFFF));
        }
        return o;
    }
    for (std::size_t i = 0; i < n;) {
        const unsigned x = ev[i].x;
        unsigned mask = 0, lowest_j = 0;
        std::size_t k = i + 1;
        while (k < n && ev[k].t == ev[i].t && ev[k].y == ev[i].y && ev[k].x > x) {
            const unsigned j = ev[k].x - x - 1;
            if (j < lowest_j || j > 4) break;
            mask |= 1u << (4 - j);
            lowest_j = j + 1;
            ++k;
        }
        put16(std::uint64_t{x} << 5 | mask);
        i = k;
    }
    for (std::size_t i = 0; i < n;) {
        std::size_t count = 1;
        while (i + count < n && ev[i + count].p == ev[i].p) ++count;
        put8(std::uint64_t{ev[i].p} << 7 | (count < 127 ? count : 127));
        if (count >= 127) put16(count);
        i += count;
    }
    return o;
}

// Events from the bytes, four per step: a time step (none, small, around 15,
// around powers of 16, up to 2^60 and more, now and then back), x (a near
// neighbour, the same, anywhere, the edges and past them), y (the same,
// small, anywhere, 2047 / 2048 / 4095 / 4096) and p (the same, flipped, now
// and then 2 or 3), repeated up to 127 times with x, p or nothing changing.
// Up to 1024 events, but 8-byte inputs starting EC F5 repeat their one step
// up to a full chunk: long, slow lists, kept few by the size.
constexpr std::size_t kMostEvents = 1024;

bool is_full(const std::uint8_t* d, std::size_t size) { return size == 8 && d[0] == 0xEC && d[1] == 0xF5; }

PLAIN void make_events(const std::uint8_t* d, std::size_t size, std::vector<Event>& ev) {
    ev.clear();
    if (size < 4) return;
    const bool full = is_full(d, size);
    const std::size_t limit = full ? kEcfMaxEvents - (d[2] & 1) : kMostEvents;
    static constexpr unsigned kRepeats[16] = {1, 1, 1, 1, 1, 1, 2, 3, 5, 14, 15, 16, 30, 31, 32, 127};
    std::uint64_t t = std::uint64_t{d[2]} << (d[3] % 64);
    unsigned x = 0, y = 0, p = 0;
    const std::size_t steps = (size - 4) / 4;
    if (steps == 0) return;
    for (std::size_t s = 0; ev.size() < limit; ++s) {
        if (s == steps && !full) break;
        const std::uint8_t* q = d + 4 + 4 * (s % steps);
        const unsigned a = q[0], b = q[1], c = q[2], e = q[3];
        std::uint64_t step = 0;
        switch (a & 7) {
            case 2: step = 1 + b % 14; break;
            case 3: step = 13 + b % 6; break;
            case 4:
                if (c & 0x10) step = (~std::uint64_t{0} - t) >> (b % 8);
                else step = (std::uint64_t{1} << (4 * (1 + c % 15))) + b % 32 - 16;
                break;
            case 5: step = std::uint64_t{b | c << 8} << (e % 45); break;
            case 6: step = b; break;
            case 7:
                if ((e & 0xF0) == 0xF0 && t > 0) t -= 1 + (t - 1 < b % 4 ? t - 1 : b % 4);  // back: refused
                break;
            default: break;
        }
        t = step > ~std::uint64_t{0} - t ? t : t + step;
        switch ((a >> 3) & 3) {
            case 0: x = x + 1 + c % 5 < 2048 ? x + 1 + c % 5 : c % 5; break;
            case 1: break;
            case 2: x = (b << 3 | c) & 0x7FF; break;
            default:
                switch (e & 3) {
                    case 0: x = 0; break;
                    case 1: x = 2047; break;
                    case 2: x = 2047 - c % 5; break;
                    default: x = (e & 0x0C) == 0x0C ? 2048 + c : 2047; break;
                }
                break;
        }
        if ((a >> 5) & 1) {
            switch (e >> 6) {
                case 0: y = c % 8; break;
                case 1: y = (b * 8 + e % 8) & 2047; break;
                case 2: {
                    static constexpr unsigned kEdges[4] = {0, 2047, 2048, 4095};
                    y = kEdges[e & 3];
                    break;
                }
                default: y = (e & 4) ? 4096 + b : 2048 + b * 7; break;
            }
        }
        switch (a >> 6) {
            case 0: break;
            case 1: p ^= 1; break;
            case 2: p = b & 1; break;
            default: p = (b & 0x7E) == 0x7E ? 2 + (b & 1) : p ^ 1; break;
        }
        const unsigned repeats = kRepeats[(b >> 4) & 15];
        const unsigned vary = (c >> 5) & 3;  // 0: copies, 1: x + 1 each, 2: p flips, 3: x + 1..3 each
        for (unsigned r = 0; r < repeats && ev.size() < limit; ++r) {
            if (r > 0) {
                if (vary == 1) x = (x + 1) & 2047;
                else if (vary == 2) p ^= 1;
                else if (vary == 3) x = (x + 1 + (r * e) % 3) & 2047;
            }
            ev.push_back(Event{t, static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                               static_cast<std::uint8_t>(p)});
        }
    }
}

constexpr EcfMode kModes[3] = {EcfMode::yxp_packed, EcfMode::xp_packed, EcfMode::codes};

std::uint32_t y_limit(EcfMode m) { return m == EcfMode::yxp_packed ? 4096 : 2048; }

// The first event the rules refuse (t, then x, y, p), or n.
PLAIN std::size_t first_refused(const std::vector<Event>& ev, std::size_t n, std::uint32_t ylim, EcfEncodeError& why) {
    if (n > 65535) {
        why = EcfEncodeError::too_many_events;
        return 65535;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Event& e = ev[i];
        why = i > 0 && e.t < ev[i - 1].t ? EcfEncodeError::decreasing_time
              : e.x >= 2048              ? EcfEncodeError::x_range
              : e.y >= ylim              ? EcfEncodeError::y_range
              : e.p > 1                  ? EcfEncodeError::polarity
                                         : EcfEncodeError::none;
        if (why != EcfEncodeError::none) return i;
    }
    why = EcfEncodeError::none;
    return n;
}

// The longest prefix the rules take.
PLAIN std::size_t valid_prefix(const std::vector<Event>& ev, std::uint32_t ylim) {
    EcfEncodeError why;
    std::size_t n = ev.size();
    for (;;) {
        const std::size_t k = first_refused(ev, n, ylim, why);
        if (why == EcfEncodeError::none) return n;
        n = k;
    }
}

// The refusal of ev whole, with nothing written.
void check_refusal(const std::vector<Event>& ev, bool chosen, EcfMode mode) {
    EcfEncodeError why;
    const std::size_t bad = first_refused(ev, ev.size(), chosen ? 4096 : y_limit(mode), why);
    if (why == EcfEncodeError::none) return;
    const std::size_t room = 64;
    unsigned char* out = new unsigned char[room];
    std::memset(out, 0x5A, room);
    const EcfEncoded r =
        chosen ? ecf_encode(ev.data(), ev.size(), out) : ecf_encode_mode(ev.data(), ev.size(), mode, out);
    CHECK(r.error == why && r.at == bad && r.size == 0);
    CHECK(chosen || r.mode == mode);
    CHECK(ecf_encode_error_text(r.error)[0] != '\0');
    for (std::size_t i = 0; i < room; ++i) CHECK(out[i] == 0x5A);
    delete[] out;
}

// Reads bytes (exactly sized) back to ev[0, n).
void read_back(const std::uint8_t* bytes, std::size_t size, const Event* ev, std::size_t n, EcfMode mode) {
    EcfHeader h;
    CHECK(ecf_read_header(bytes, size, h));
    CHECK(h.n == n && ecf_mode(h) == mode && h.t0 == (n ? ev[0].t : 0));
    Event* const out = g_events.room_at_end(n);
    const EcfDecoded d = ecf_decode(bytes, size, out, n);
    CHECK(d.error == EcfError::none && d.n == n && d.at == size);
    CHECK(n == 0 || std::memcmp(out, ev, n * sizeof(Event)) == 0);
    // The plain reader agrees (it is slow: only on small chunks; the
    // decoder meets it on all the others above).
    if (n <= 64) {
        const Expected& e = reference(bytes, size, n);
        CHECK(e.error == EcfError::none && e.at == size && e.events.size() == n);
        CHECK(n == 0 || std::memcmp(e.events.data(), ev, n * sizeof(Event)) == 0);
    }
}

void encode_events(const std::uint8_t* data, std::size_t size) {
    static std::vector<Event> ev;
    make_events(data, size, ev);

    // One event more than a chunk holds is refused before any is read (the
    // list given is one event long).
    Event one{1, 2, 3, 0};
    unsigned char none[1] = {0x5A};
    for (const EcfMode mode : kModes) {
        const EcfEncoded r = ecf_encode_mode(&one, kEcfMaxEvents + 1, mode, none);
        CHECK(r.error == EcfEncodeError::too_many_events && r.at == kEcfMaxEvents && r.size == 0 && none[0] == 0x5A);
    }
    const EcfEncoded over = ecf_encode(&one, kEcfMaxEvents + 1 + size, none);
    CHECK(over.error == EcfEncodeError::too_many_events && over.at == kEcfMaxEvents && none[0] == 0x5A);

    // Each layout on the prefix it takes, exactly in the room announced.
    // Full chunks (65535 events, or 65534 when the third byte is odd) are
    // slow: they try one layout each and the plain writer only up to
    // kMostEvents; the choice of layout does not depend on the count.
    const bool full = is_full(data, size);
    static std::vector<std::uint8_t> kept[3];
    bool ran[3] = {};
    std::size_t prefix[3] = {};
    for (int m = 0; m < 3; ++m) {
        if (full && m != (data[2] >> 1) % 3) continue;
        const EcfMode mode = kModes[m];
        check_refusal(ev, false, mode);
        const std::size_t n = valid_prefix(ev, y_limit(mode));
        const std::size_t announced = ecf_encoded_size(ev.data(), n, mode);
        CHECK(announced <= ecf_max_encoded_size(n) && ecf_max_encoded_size(n) <= kMostBytes);
        std::uint8_t* const out = g_bytes.room_at_end(announced);
        const EcfEncoded r = ecf_encode_mode(ev.data(), n, mode, out);
        CHECK(r.error == EcfEncodeError::none && r.size == announced && r.at == n && r.mode == mode);
        if (n <= kMostEvents) {
            const std::vector<std::uint8_t> want = reference_encode(ev.data(), n, mode);
            CHECK(announced == want.size() && std::memcmp(out, want.data(), announced) == 0);
        }
        read_back(out, announced, ev.data(), n, mode);
        kept[m].assign(out, out + announced);
        ran[m] = true;
        prefix[m] = n;
    }

    // The chosen layout, on the prefix any layout may take: the smallest of
    // those that hold its y's.
    if (full) return;
    check_refusal(ev, true, EcfMode::yxp_packed);
    const std::size_t n = valid_prefix(ev, 4096);
    bool narrow = true;
    for (std::size_t i = 0; i < n; ++i) narrow = narrow && ev[i].y < 2048;
    std::size_t sizes[3] = {};
    std::size_t best = 0;
    for (int m = 0; m < 3; ++m) {
        if (m != 0 && !narrow) continue;
        sizes[m] = ecf_encoded_size(ev.data(), n, kModes[m]);
        if (sizes[m] < sizes[best]) best = static_cast<std::size_t>(m);
    }
    const std::size_t room = ecf_max_encoded_size(n);
    std::uint8_t* const out = g_bytes.room_at_end(room);
    const EcfEncoded r = ecf_encode(ev.data(), n, out);
    CHECK(r.error == EcfEncodeError::none && r.at == n);
    CHECK(r.mode == kModes[best] && r.size == sizes[best]);
    // The same bytes as that layout's above (read back there): the prefixes
    // agree, as every layout refuses narrow y's alike.
    CHECK(ran[best] && prefix[best] == n && kept[best].size() == r.size);
    CHECK(std::memcmp(out, kept[best].data(), r.size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decode_chunk(data, size);
    encode_events(data, size);
    return 0;
}
