// Cutting a stream of events into chunks of a fixed size, whatever the sizes
// of the blocks the events come in: "decode a block into the chunk being
// filled, carry the rest".
//
// A source hands events to the chunk being filled through three calls:
//   need  = src.plan(room);     // events fill() will write (<= room), or a
//                               // bound of them, and the carry it needs
//                               // (src.carry_needed())
//   k     = src.fill(out, room, carry);   // <= need; `out` has room for need
//   src.empty()                 // nothing left of what was fed
// plan() may be called with the GIL held (the caller allocates what it says),
// fill() runs without it and never allocates.
//
// Two sources: BlockCarry over a stateful block decoder (bytes in, events
// out), and RowSource over a table of columns read through the conversion
// core.
#pragma once

#include "cast.hpp"
#include "event.hpp"

#include <cstddef>
#include <cstring>

namespace morvel::kernels {

// Capacity in records for a chunk of at most `chunk_size` records that holds
// `fill` and must take `need` more: the whole chunk at once when it is of a
// usual size (filled in place, never moved), otherwise room grown by
// doubling from a small start, so that a very large chunk_size costs memory
// only as events arrive.
inline std::size_t chunk_capacity(std::size_t chunk_size, std::size_t capacity, std::size_t fill,
                                  std::size_t need) noexcept {
    constexpr std::size_t kWholeChunk = std::size_t{1} << 22;  // records (54 MB)
    constexpr std::size_t kFirstGrowth = std::size_t{1} << 16;
    const std::size_t want = fill + need;  // callers keep fill + need <= chunk_size
    if (want <= capacity) return capacity;
    if (chunk_size <= kWholeChunk) return chunk_size;
    std::size_t cap = capacity < kFirstGrowth ? kFirstGrowth : capacity;
    while (cap < want) cap = cap > chunk_size / 2 ? chunk_size : cap * 2;
    return cap < chunk_size ? cap : chunk_size;
}

// A block decoder fed block by block. Decoder: `count_events(data, n)` (the
// exact count decode() will give for the same bytes), optionally
// `max_events(n)` (a bound of it, without reading the bytes), `decode(data,
// n, out)` and
// `pending_bytes()`. A block whose events fit the room left in the chunk is
// decoded straight into it (when its bound fits, without counting them
// first: plan() gives the bound); a larger one is decoded into the carry and
// handed out from there, chunk after chunk. The bytes fed must not change
// until the block is used up.
template <class Decoder>
class BlockCarry {
public:
    Decoder decoder{};

    // The next block (the previous one must be used up: empty()).
    void feed(const unsigned char* data, std::size_t n) noexcept {
        data_ = data;
        size_ = n;
        counted_ = false;
    }

    bool empty() const noexcept { return size_ == 0 && carry_left_ == 0; }

    std::size_t plan(std::size_t room) noexcept {
        if (carry_left_) return carry_left_ < room ? carry_left_ : room;
        if (size_ == 0) return 0;
        if (!counted_) {
            if constexpr (requires { decoder.max_events(size_); }) {
                if (const std::size_t bound = decoder.max_events(size_); bound <= room) {
                    count_ = bound;  // fits as it is
                    counted_ = true;
                    return bound;
                }
            }
            count_ = decoder.count_events(data_, size_);
            counted_ = true;
        }
        return count_ < room ? count_ : room;
    }

    // Carry the next fill() needs, in events (the caller provides at least
    // that much memory; it may be reused across calls).
    std::size_t carry_needed(std::size_t room) const noexcept {
        return carry_left_ == 0 && size_ != 0 && counted_ && count_ > room ? count_ : 0;
    }

    // Writes what plan(room) announced (its bound: at most that) to out;
    // `carry` holds carry_needed(room).
    std::size_t fill(Event* out, std::size_t room, Event* carry) noexcept {
        if (carry_left_ == 0 && size_ != 0) {
            if (!counted_) plan(room);
            if (count_ <= room) {
                const std::size_t k = decoder.decode(data_, size_, out);
                size_ = 0;
                return k;
            }
            carry_ = carry;
            carry_left_ = decoder.decode(data_, size_, carry);
            carry_at_ = 0;
            size_ = 0;
        }
        const std::size_t k = carry_left_ < room ? carry_left_ : room;
        if (k) std::memcpy(out, carry_ + carry_at_, k * sizeof(Event));
        carry_at_ += k;
        carry_left_ -= k;
        return k;
    }

    std::size_t pending_bytes() const noexcept { return decoder.pending_bytes(); }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;    // bytes of the block not yet decoded
    std::size_t count_ = 0;   // events in them, or a bound that fit (once counted)
    bool counted_ = false;
    const Event* carry_ = nullptr;
    std::size_t carry_at_ = 0, carry_left_ = 0;
};

// Rows of a table of columns (a vendor's batch), converted into the chunk
// being filled as room allows.
class RowSource {
public:
    RowSource() noexcept = default;
    RowSource(const EventColumns& columns, std::size_t rows) noexcept : cols_(columns), left_(rows) {}

    bool empty() const noexcept { return left_ == 0; }
    std::size_t plan(std::size_t room) const noexcept { return left_ < room ? left_ : room; }
    std::size_t carry_needed(std::size_t) const noexcept { return 0; }

    std::size_t fill(Event* out, std::size_t room, Event*) noexcept {
        const std::size_t k = plan(room);
        interleave(cols_.from(at_), k, out);
        at_ += k;
        left_ -= k;
        return k;
    }

private:
    EventColumns cols_{};
    std::size_t at_ = 0, left_ = 0;
};

}  // namespace morvel::kernels
