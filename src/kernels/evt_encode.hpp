// Encoders from Event records to EVT 2.0 (32-bit words), EVT 2.1 (64-bit
// words) and EVT 3.0 (16-bit words), the inverse of Evt2Decoder /
// Evt21Decoder / Evt3Decoder in evt.hpp: decoding what
// these write gives back the same events in the same order.
//
// Accepted events: x < 2048, y < 2048, p of 0 or 1, t non-decreasing, and
// every step in time (from 0 to the first event, then from each event to the
// next) crossing at most kEvtMaxPeriodsPerStep periods of the format's time
// counter (EVT 2.0 and 2.1: 2^34 us, EVT 3.0: 2^24 us; the check is on
// t >> 34 or t >> 24). Anything else is reported with the index of the first offending
// event: by encoded_size() before a single byte is written, by encode() when
// it reaches that event's block.
//
// Time and counter wraps. Both formats carry only the low bits of t: EVT 2.0
// a 28-bit time high (t bits 33..6), EVT 3.0 a 12-bit time high (t bits
// 23..12) and a 12-bit time low. A decoder counts a wrap of the counter when
// the time high drops by at least half its range. The encoders keep every
// drop strictly above half the range and every other change a rise, so
// decoders that take any drop, or a drop of at least half, as a wrap read the
// same times. A step that moves the time high by up to half its range (the
// common case) costs one time-high word. Larger steps get filler time-high
// words: at most 2k + 1 for a step crossing k periods (rise to the top, wrap
// to 0, once per period, then the target). The limit of 2^16 periods per step
// (about 35.7 years of EVT 2.0 time, 12.7 days of EVT 3.0 time) keeps that
// filler below 2^17 words and refuses absolute (Unix epoch) timestamps, which
// would need tens of millions of filler words in EVT 3.0; such events need
// t - t[0] first.
//
// Words written:
//   EVT 2.0: EVT_TIME_HIGH first and whenever t >> 6 changes, then one
//            CD_OFF / CD_ON word per event.
//   EVT 2.1: as EVT 2.0, with one EVT_NEG / EVT_POS word for the events
//            that follow one another with the same t, y and p and rising x
//            within one 32-column group (x base = x & ~31).
//   EVT 3.0: EVT_TIME_HIGH, EVT_TIME_LOW and EVT_ADDR_Y first; after that
//            EVT_TIME_HIGH when t >> 12 changes, EVT_TIME_LOW whenever t
//            changes (also right after a time-high change, even to 0, for
//            decoders that do not clear the low part), EVT_ADDR_Y when y
//            changes. Events that share t, y and p with strictly increasing x
//            become VECT_BASE_X + VECT_12 words (VECT_8 for a last word whose
//            bits fit in 8) when that takes fewer words than EVT_ADDR_X per
//            event; the vector base is not reused across runs.
//
// Streaming: an encoder is a small value type (last time, last y); encoding a
// long array in consecutive pieces decodes to the same events as encoding it
// at once (the EVT 3.0 grouping may differ where a piece ends). A failed call
// leaves the state as it was.
//
// Usage:
//   r = enc.encoded_size(ev, n);               // exact bytes, or the error
//   ... allocate r.bytes ...
//   r = enc.encode(ev, n, out, r.bytes);       // r.bytes written
// or allocate max_bytes(n, ev[n - 1].t) (O(1), no pass over the events) and
// keep the first r.bytes. encode() never writes past cap; when cap is short it
// reports output_too_small with the bytes needed in r.bytes (out then holds a
// partial prefix) and keeps its state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "event.hpp"

namespace morvel::kernels {

// Events per block of encode(); the fuzzer makes it small to cross blocks.
#ifndef MORVEL_EVT_ENCODE_BLOCK
#define MORVEL_EVT_ENCODE_BLOCK 256
#endif

inline constexpr std::uint32_t kEvtMaxCoordinate = 2047;
inline constexpr std::uint64_t kEvtMaxPeriodsPerStep = std::uint64_t{1} << 16;

enum class EvtEncodeError : std::uint8_t {
    none,
    x_too_large,       // x >= 2048
    y_too_large,       // y >= 2048
    bad_polarity,      // p is not 0 or 1
    t_decreasing,      // t below the previous event's t (or the previous piece's last t)
    gap_too_large,     // a step crossing more than kEvtMaxPeriodsPerStep counter periods
    output_too_small,  // cap below the size needed, which is in bytes
    input_changed,     // checked events changed into ones that cannot be encoded while they were encoded
};

struct EvtEncodeResult {
    EvtEncodeError error;
    std::size_t index;  // the offending event for event errors; else n
    std::size_t bytes;  // written (none), needed (output_too_small), else 0
};

inline const char* evt_encode_error_message(EvtEncodeError e) noexcept {
    switch (e) {
        case EvtEncodeError::none: return "no error";
        case EvtEncodeError::x_too_large: return "x must be below 2048";
        case EvtEncodeError::y_too_large: return "y must be below 2048";
        case EvtEncodeError::bad_polarity: return "p must be 0 or 1";
        case EvtEncodeError::t_decreasing: return "t must not decrease";
        case EvtEncodeError::gap_too_large: return "time step too large for the format's counter";
        case EvtEncodeError::output_too_small: return "output buffer too small";
        case EvtEncodeError::input_changed: return "the events changed while they were being encoded";
    }
    return "unknown error";
}

namespace evt_encode_detail {

// First event that cannot be encoded after an event at time prev, one rule
// at a time. kPeriodBits: 34 (EVT 2.0) or 24 (EVT 3.0).
template <unsigned kPeriodBits>
inline EvtEncodeResult find_error(const Event* ev, std::size_t n, std::uint64_t prev) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const Event& e = ev[i];
        EvtEncodeError err = EvtEncodeError::none;
        if (e.x > kEvtMaxCoordinate) err = EvtEncodeError::x_too_large;
        else if (e.y > kEvtMaxCoordinate) err = EvtEncodeError::y_too_large;
        else if (e.p > 1) err = EvtEncodeError::bad_polarity;
        else if (e.t < prev) err = EvtEncodeError::t_decreasing;
        else if ((e.t >> kPeriodBits) - (prev >> kPeriodBits) > kEvtMaxPeriodsPerStep)
            err = EvtEncodeError::gap_too_large;
        if (err != EvtEncodeError::none) return {err, i, 0};
        prev = e.t;
    }
    return {EvtEncodeError::none, n, 0};
}

// The same answer, faster: a block is passed with one flag computed by
// cheap tests that no valid event fails (a step t - last below
// kEvtMaxPeriodsPerStep periods crosses at most that many; a decrease makes
// it huge); a flagged block is looked at again rule by rule. With `copy`,
// every event is also stored there as it was read, and the answer is about
// those copies (the source may be changing meanwhile).
template <unsigned kPeriodBits>
inline EvtEncodeResult check(const Event* ev, std::size_t n, std::uint64_t prev, Event* copy = nullptr) noexcept {
    constexpr std::size_t kBlock = 256;
    constexpr std::uint64_t kSafeStep = kEvtMaxPeriodsPerStep << kPeriodBits;
    for (std::size_t i = 0; i < n;) {
        const std::size_t end = n - i > kBlock ? i + kBlock : n;
        std::uint64_t last = prev;
        std::uint32_t high_bits = 0;  // bits that no valid x, y (11 bits) or p (1 bit) has
        bool far = false;
        for (std::size_t k = i; k < end; ++k) {
            unsigned char b[sizeof(Event)];
            std::memcpy(b, ev + k, sizeof(Event));
            if (copy) std::memcpy(copy + k, b, sizeof(Event));
            const std::uint64_t t = load_u64(b);
            high_bits |= (load_u32(b + offsetof(Event, x)) & 0xF800F800u) | (b[offsetof(Event, p)] & 0xFEu);
            far |= t - last >= kSafeStep;
            last = t;
        }
        if (far || high_bits != 0) {
            EvtEncodeResult r = find_error<kPeriodBits>((copy ? copy : ev) + i, end - i, prev);
            if (r.error != EvtEncodeError::none) {
                r.index += i;
                return r;
            }
        }
        prev = last;
        i = end;
    }
    return {EvtEncodeError::none, n, 0};
}

// Where the words go. All three take put(w) (always kept) and put_if(w, c)
// (kept when c); only the byte count of the words kept matters to callers.
//   CountSink   counts, writes nothing;
//   BufferSink  writes while the words fit in cap, counts all;
//   FastSink    writes with no check: the caller has made room, including
//               one spare word, as put_if stores before it decides.
template <class Word>
struct CountSink {
    std::size_t pos = 0;
    MORVEL_INLINE void put(Word) noexcept { pos += sizeof(Word); }
    MORVEL_INLINE void put_if(Word, bool c) noexcept { pos += c ? sizeof(Word) : 0; }
};

template <class Word>
struct BufferSink {
    unsigned char* out;
    std::size_t cap;
    std::size_t pos;
    MORVEL_INLINE void put(Word w) noexcept {
        if (pos <= cap && cap - pos >= sizeof(Word)) std::memcpy(out + pos, &w, sizeof(Word));
        pos += sizeof(Word);
    }
    MORVEL_INLINE void put_if(Word w, bool c) noexcept {
        if (c) put(w);
    }
};

template <class Word>
struct FastSink {
    unsigned char* p;
    MORVEL_INLINE void put(Word w) noexcept {
        std::memcpy(p, &w, sizeof(Word));
        p += sizeof(Word);
    }
    MORVEL_INLINE void put_if(Word w, bool c) noexcept {
        std::memcpy(p, &w, sizeof(Word));
        p += c ? sizeof(Word) : 0;
    }
};

// Moves the decoder's time high from `from` to `to` (both t >> kLowBits, so
// the counter period is the top part), putting time-high words through
// put(value). The target must not be below the start. Every drop is by more
// than half the range (a wrap for any decoder), every other word a rise; a
// step crossing k periods puts at most 2k + 1 words (none when from == to).
template <unsigned kHighBits, class Put>
inline void advance_time_high(std::uint64_t from, std::uint64_t to, Put&& put) noexcept {
    constexpr std::uint64_t kTop = (std::uint64_t{1} << kHighBits) - 1;
    constexpr std::uint64_t kHalf = std::uint64_t{1} << (kHighBits - 1);
    std::uint64_t epoch = from >> kHighBits, high = from & kTop;
    const std::uint64_t to_epoch = to >> kHighBits, to_high = to & kTop;
    if (epoch == to_epoch) {
        if (high != to_high) put(to_high);
        return;
    }
    while (epoch + 1 < to_epoch) {  // whole periods: to the top (unless high enough), wrap to 0
        if (high <= kHalf) put(kTop);
        put(0);
        ++epoch;
        high = 0;
    }
    if (high > to_high + kHalf) {  // one wrap straight to the target
        put(to_high);
    } else if (to_high + kHalf < kTop) {  // rise to the top, wrap to the target
        put(kTop);
        put(to_high);
    } else {  // the target is in the upper half: wrap to 0, rise to it
        if (high <= kHalf) put(kTop);
        put(0);
        put(to_high);  // to_high >= kHalf - 1 > 0
    }
}

// Words for n events from time `from` to time `to`: `per_event` each, two
// per counter period crossed, one more at the start. SIZE_MAX past size_t.
inline std::size_t word_bound(std::size_t n, std::uint64_t from, std::uint64_t to, unsigned period_bits,
                              std::uint64_t per_event) noexcept {
    if (n == 0) return 0;
    const std::uint64_t a = from >> period_bits, b = to >> period_bits;
    const std::uint64_t periods = b > a ? b - a : 0;  // < 2^40
    const std::uint64_t fixed = 2 * periods + 1;
    if (static_cast<std::uint64_t>(n) > (UINT64_MAX - fixed) / per_event) return SIZE_MAX;
    const std::uint64_t words = static_cast<std::uint64_t>(n) * per_event + fixed;
    return words > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(words);
}

inline std::size_t bytes_of(std::size_t words, std::size_t word_bytes) noexcept {
    return words > SIZE_MAX / word_bytes ? SIZE_MAX : words * word_bytes;
}

// Whether b may go on a run of vector words that a reaches: the same time, row
// and polarity, and a larger x (a superset of what EVT 3.0 puts in one run).
inline bool continues_run(const Event& a, const Event& b) noexcept {
    const Event x = a, y = b;  // one read of each
    return x.t == y.t && x.y == y.y && x.p == y.p && y.x > x.x;
}

// The encode() driver shared by both formats: events in blocks; a block with
// room for its worst case (plus slack) is written unchecked, else checked.
// Enc provides kWordBytes, Word, kSlackBytes, kLookahead (how far past its
// block a run may read), block_words(ev, i, end) and run_block(ev, i, end, n,
// sink) -> next i (>= end).
//
// The events may change while they are encoded (another thread writing the
// caller's array while the GIL is released). Each block is therefore checked
// and encoded from a private copy made in one pass: words are only ever
// written for checked events and within the room measured from that same
// copy, so nothing the input does can make the encoder write past `cap`. An
// event that cannot be encoded ends the call with its error (for a caller
// that checked the events before, that means they changed), a size that
// grew with output_too_small.
template <class Enc>
inline EvtEncodeResult encode_blocks(Enc& enc, const Event* ev, std::size_t n, unsigned char* out,
                                     std::size_t cap) noexcept {
    using Word = typename Enc::Word;
    constexpr std::size_t kBlock = MORVEL_EVT_ENCODE_BLOCK;
    Event copy[kBlock + Enc::kLookahead];
    Enc next = enc;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n;) {
        const std::size_t end = n - i > kBlock ? i + kBlock : n;
        // The events a run of vector words crossing the block's end reads.
        std::size_t stop = end;
        while (stop < n && stop - end < Enc::kLookahead && continues_run(ev[stop - 1], ev[stop])) ++stop;
        const EvtEncodeResult c = next.check(ev + i, stop - i, copy);
        if (c.error != EvtEncodeError::none) return {c.error, i + c.index, 0};
        const std::size_t need = bytes_of(next.block_words(copy, 0, end - i), Enc::kWordBytes);
        std::size_t done;
        if (pos <= cap && need <= cap - pos && Enc::kSlackBytes <= cap - pos - need) {
            FastSink<Word> sink{out + pos};
            done = next.run_block(copy, 0, end - i, stop - i, sink);
            pos = static_cast<std::size_t>(sink.p - out);
        } else {
            BufferSink<Word> sink{out, cap, pos};
            done = next.run_block(copy, 0, end - i, stop - i, sink);
            pos = sink.pos;
        }
        i += done;
    }
    if (pos > cap) return {EvtEncodeError::output_too_small, n, pos};
    enc = next;
    return {EvtEncodeError::none, n, pos};
}

// What both encoders offer over their own run_block. Enc provides Word,
// kWordBytes, kPeriodBits, kSlackBytes, kWordsPerEvent (worst case), last_t
// and run_block(ev, i, end, n, sink) -> next i (>= end).
template <class Enc>
struct EncoderOps {
    void reset() noexcept { self() = Enc{}; }

    // First event that cannot follow the events encoded so far (with `copy`:
    // of the events as copied there).
    EvtEncodeResult check(const Event* ev, std::size_t n, Event* copy = nullptr) const noexcept {
        return evt_encode_detail::check<Enc::kPeriodBits>(ev, n, self().last_t, copy);
    }

    // Bytes for n accepted events whose last t is t_last: kWordsPerEvent per
    // event, two time highs per counter period crossed, one at the start.
    // SIZE_MAX if that does not fit.
    std::size_t max_bytes(std::size_t n, std::uint64_t t_last) const noexcept {
        return bytes_of(word_bound(n, self().last_t, t_last, Enc::kPeriodBits, Enc::kWordsPerEvent), Enc::kWordBytes);
    }

    // Exact bytes encode() would write, or the first invalid event.
    EvtEncodeResult encoded_size(const Event* ev, std::size_t n) const noexcept {
        const EvtEncodeResult c = check(ev, n);
        if (c.error != EvtEncodeError::none) return c;
        Enc copy = self();
        CountSink<typename Enc::Word> sink;
        copy.run_block(ev, 0, n, n, sink);
        return {EvtEncodeError::none, n, sink.pos};
    }

    // Writes the words of the events to out[0, cap), checking each block as
    // it goes. Returns the bytes written; on any error the state is kept and
    // out holds a partial prefix (see the file comment).
    EvtEncodeResult encode(const Event* ev, std::size_t n, unsigned char* out, std::size_t cap) noexcept {
        return encode_blocks(self(), ev, n, out, cap);
    }

    // For the block driver: worst-case words of events [i, end).
    std::size_t block_words(const Event* ev, std::size_t i, std::size_t end) const noexcept {
        return word_bound(end - i, self().last_t, ev[end - 1].t, Enc::kPeriodBits, Enc::kWordsPerEvent);
    }

private:
    Enc& self() noexcept { return static_cast<Enc&>(*this); }
    const Enc& self() const noexcept { return static_cast<const Enc&>(*this); }
};

}  // namespace evt_encode_detail

// ---------------------------------------------------------------------------
// EVT 2.0
// ---------------------------------------------------------------------------
struct Evt2Encoder : evt_encode_detail::EncoderOps<Evt2Encoder> {
    using Word = std::uint32_t;
    static constexpr std::size_t kWordBytes = 4;
    static constexpr unsigned kPeriodBits = 34;
    static constexpr std::size_t kSlackBytes = 0;
    static constexpr std::size_t kLookahead = 0;        // a block is encoded on its own
    static constexpr std::uint64_t kWordsPerEvent = 2;  // an event word and a time high

    std::uint64_t last_t = 0;  // t of the last event encoded (0 before any)
    bool started = false;      // words have been written (a time high is set)

    // Encodes events [i, end) (checked beforehand); returns end.
    template <class Sink>
    std::size_t run_block(const Event* ev, std::size_t i, std::size_t end, std::size_t, Sink& sink) noexcept {
        if (i >= end) return end;
        auto put_high = [&sink](std::uint64_t h) { sink.put((Word{0x8} << 28) | static_cast<Word>(h)); };
        if (!started) {
            const std::uint64_t to = ev[i].t >> 6;
            if (to == 0) put_high(0);
            else evt_encode_detail::advance_time_high<28>(0, to, put_high);
            last_t = ev[i].t;
            started = true;
        }
        std::uint64_t hi = last_t >> 6;  // the decoder's time high with its wraps
        for (; i < end; ++i) {
            const Event& e = ev[i];
            const std::uint64_t t = e.t;
            if ((t >> 6) != hi) [[unlikely]] {
                evt_encode_detail::advance_time_high<28>(hi, t >> 6, put_high);
                hi = t >> 6;
            }
            sink.put((Word{e.p} << 28) | (static_cast<Word>(t & 63u) << 22) | (Word{e.x} << 11) | Word{e.y});
        }
        last_t = ev[end - 1].t;
        return end;
    }
};

// ---------------------------------------------------------------------------
// EVT 2.1
// ---------------------------------------------------------------------------
struct Evt21Encoder : evt_encode_detail::EncoderOps<Evt21Encoder> {
    using Word = std::uint64_t;
    static constexpr std::size_t kWordBytes = 8;
    static constexpr unsigned kPeriodBits = 34;
    static constexpr std::size_t kSlackBytes = 0;
    // A group holds events of strictly rising x within 32 columns: it ends
    // fewer than 32 events past the block it starts in.
    static constexpr std::size_t kLookahead = 32;
    static constexpr std::uint64_t kWordsPerEvent = 2;  // an event word and a time high

    std::uint64_t last_t = 0;  // t of the last event encoded (0 before any)
    bool started = false;      // words have been written (a time high is set)

    // Encodes events from i until reaching end (a group may take the
    // position past end, up to n); returns the position reached.
    template <class Sink>
    std::size_t run_block(const Event* ev, std::size_t i, std::size_t end, std::size_t n, Sink& sink) noexcept {
        if (i >= end) return i;
        auto put_high = [&sink](std::uint64_t h) { sink.put((Word{0x8} << 60) | (static_cast<Word>(h) << 32)); };
        if (!started) {
            const std::uint64_t to = ev[i].t >> 6;
            if (to == 0) put_high(0);
            else evt_encode_detail::advance_time_high<28>(0, to, put_high);
            last_t = ev[i].t;
            started = true;
        }
        std::uint64_t hi = last_t >> 6;
        while (i < end) {
            const Event& e = ev[i];
            const std::uint64_t t = e.t;
            if ((t >> 6) != hi) [[unlikely]] {
                evt_encode_detail::advance_time_high<28>(hi, t >> 6, put_high);
                hi = t >> 6;
            }
            const std::uint32_t base = e.x & ~31u;
            std::uint32_t last = e.x, mask = 1u << (e.x - base);
            std::size_t j = i + 1;
            while (j < n && ev[j].t == t && ev[j].y == e.y && ev[j].p == e.p && ev[j].x > last &&
                   (ev[j].x & ~31u) == base) {
                last = ev[j].x;
                mask |= 1u << (last - base);
                ++j;
            }
            sink.put((Word{e.p} << 60) | (static_cast<Word>(t & 63u) << 54) | (Word{base} << 43) |
                     (Word{e.y} << 32) | Word{mask});
            last_t = t;
            i = j;
        }
        return i;
    }
};

// ---------------------------------------------------------------------------
// EVT 3.0
// ---------------------------------------------------------------------------
struct Evt3Encoder : evt_encode_detail::EncoderOps<Evt3Encoder> {
    using Word = std::uint16_t;
    static constexpr std::size_t kWordBytes = 2;
    static constexpr unsigned kPeriodBits = 24;
    // A run of vector words may go on past the block it starts in: at most
    // one VECT_BASE_X and 171 vector words (x < 2048), plus put_if's spare word.
    static constexpr std::size_t kSlackBytes = 2 * (172 + 1);
    // A run holds events of strictly rising x < 2048: it ends fewer than
    // 2048 events past the block it starts in.
    static constexpr std::size_t kLookahead = 2048;
    // A time high, a time low, a y and an x (vectors take fewer).
    static constexpr std::uint64_t kWordsPerEvent = 4;

    std::uint64_t last_t = 0;  // the decoder's time after the last event (0 before any)
    std::uint16_t y = 0;       // the decoder's y
    bool started = false;      // time and y have been written

    // Encodes events from i until reaching end (a vector run may take the
    // position past end, up to n); returns the position reached.
    template <class Sink>
    std::size_t run_block(const Event* ev, std::size_t i, std::size_t end, std::size_t n, Sink& sink) noexcept {
        if (i >= end) return i;
        auto put_high = [&sink](std::uint64_t h) { sink.put(static_cast<Word>(kTimeHigh | h)); };
        if (!started) {
            const std::uint64_t t = ev[i].t;
            if ((t >> 12) == 0) put_high(0);
            else evt_encode_detail::advance_time_high<12>(0, t >> 12, put_high);
            sink.put(static_cast<Word>(kTimeLow | (t & 0xFFFu)));
            sink.put(static_cast<Word>(kAddrY | ev[i].y));
            last_t = t;
            y = ev[i].y;
            started = true;
        }

        std::uint64_t t_cur = last_t;
        std::uint32_t y_cur = y;
        while (i < end) {
            const Event& e = ev[i];
            const std::uint64_t t = e.t;
            const std::uint32_t ey = e.y;
            const std::uint32_t p = e.p;
            const std::uint32_t x0 = e.x;
            if ((t ^ t_cur) >> 12) [[unlikely]]
                evt_encode_detail::advance_time_high<12>(t_cur >> 12, t >> 12, put_high);
            sink.put_if(static_cast<Word>(kTimeLow | (t & 0xFFFu)), t != t_cur);
            sink.put_if(static_cast<Word>(kAddrY | ey), ey != y_cur);
            t_cur = t;
            y_cur = ey;

            // Events following in the same run: same t, y and p, x rising.
            auto in_run = [&](std::size_t j, std::uint32_t last, std::uint32_t below) {
                const Event& f = ev[j];
                return (f.t == t) & (f.y == ey) & (f.p == p) & (f.x > last) & (f.x < below);
            };
            // A vector pays when the first 12 columns from x0 hold two events or more.
            if (i + 1 >= n || !in_run(i + 1, x0, x0 + 12)) {
                sink.put(static_cast<Word>(kAddrX | (p << 11) | x0));
                ++i;
                continue;
            }
            sink.put(static_cast<Word>(kBaseX | (p << 11) | x0));
            std::uint32_t base = x0, last = x0, mask = 1;
            std::size_t j = i + 1;
            for (;;) {
                while (j < n && in_run(j, last, base + 12)) {
                    last = ev[j].x;
                    mask |= 1u << (last - base);
                    ++j;
                }
                // The run goes on when the next event falls in the next 12 columns.
                const bool more = j < n && in_run(j, last, base + 24);
                sink.put(static_cast<Word>((!more && mask < 0x100u ? kVect8 : kVect12) | mask));
                if (!more) break;
                base += 12;
                mask = 0;
            }
            i = j;
        }
        last_t = t_cur;
        y = static_cast<std::uint16_t>(y_cur);
        return i;
    }

private:
    static constexpr std::uint32_t kAddrY = 0x0000, kAddrX = 0x2000, kBaseX = 0x3000, kVect12 = 0x4000,
                                   kVect8 = 0x5000, kTimeLow = 0x6000, kTimeHigh = 0x8000;
};

}  // namespace morvel::kernels
