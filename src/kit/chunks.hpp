// Event chunks of a fixed size, filled from any source of the re-chunking
// kernel (kernels/rechunk.hpp): a block decoder fed with pieces of a file, or
// the rows of a vendor's batches. One loop for every reader:
//
//   kit::ChunkBuilder chunks(chunk_size);
//   kit::Decoded<kn::Evt3Decoder> src;
//   for (auto piece : pieces) {                    // bytes read from the file
//       src.feed(piece.data(), piece.size());
//       while (Ref full = kit::next_chunk(chunks, src)) co_yield std::move(full);
//   }
//   if (Ref last = chunks.finish()) co_yield std::move(last);
#pragma once

#include "numpy.hpp"
#include "../kernels/rechunk.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace kit {

// The chunk being filled: a new EVENT_DTYPE array for every chunk, grown as
// events arrive (kn::chunk_capacity: by doubling, into a new array, so that
// the old and the new one are held at once while the events move) unless
// its whole size is allocated at once (`whole`, for a chunk whose size is
// known to be filled).
class ChunkBuilder {
public:
    explicit ChunkBuilder(std::size_t size, bool whole = false) noexcept : size_(size), whole_(whole) {}

    std::size_t room() const noexcept { return size_ - fill_; }
    bool full() const noexcept { return fill_ == size_; }

    // Memory for `k` (<= room()) more events at the fill position.
    morvel::kernels::Event* reserve(std::size_t k) {
        const std::size_t cap = whole_ ? size_ : morvel::kernels::chunk_capacity(size_, capacity_, fill_, k);
        if (cap != capacity_ || !chunk_) {
            // A grown chunk is a new array with the events so far copied in:
            // numpy's resize would zero-fill what it adds (a pass over it)
            // into memory that gets no huge pages.
            Ref grown = np::empty(static_cast<npy_intp>(cap));
            if (chunk_ && fill_) {
                const std::size_t bytes = fill_ * sizeof(morvel::kernels::Event);
                MaybeNoGil nogil(bytes >= kReleaseGilBytes);
                std::memcpy(static_cast<void*>(np::events_data(grown)), np::events_data(chunk_), bytes);
            }
            chunk_ = std::move(grown);
            capacity_ = cap;
        }
        return np::events_data(chunk_) + fill_;
    }

    void added(std::size_t k) noexcept { fill_ += k; }

    // The full chunk; the next one starts empty.
    Ref take() noexcept {
        fill_ = 0;
        capacity_ = 0;
        return std::move(chunk_);
    }

    // The last chunk, cut to what it holds (null when it holds nothing).
    Ref finish() {
        if (fill_ == 0) return {};
        np::shrink(chunk_, static_cast<npy_intp>(fill_));
        return take();
    }

private:
    std::size_t size_;
    bool whole_;
    Ref chunk_;
    std::size_t capacity_ = 0;  // records allocated in chunk_
    std::size_t fill_ = 0;      // records written into chunk_
};

// A block decoder with the memory for its carry.
template <class Decoder>
class Decoded {
public:
    void feed(const unsigned char* data, std::size_t n) noexcept { blocks_.feed(data, n); }
    bool empty() const noexcept { return blocks_.empty(); }
    std::size_t pending_bytes() const noexcept { return blocks_.pending_bytes(); }
    Decoder& decoder() noexcept { return blocks_.decoder; }

    std::size_t plan(std::size_t room) {
        const std::size_t k = blocks_.plan(room);
        const std::size_t need = blocks_.carry_needed(room);
        if (need > carry_.size()) carry_.resize(need);
        return k;
    }
    std::size_t fill(morvel::kernels::Event* out, std::size_t room) noexcept {
        return blocks_.fill(out, room, carry_.data());
    }
    // Pieces of files are large enough to decode without the GIL.
    bool heavy(std::size_t) const noexcept { return true; }

private:
    morvel::kernels::BlockCarry<Decoder> blocks_;
    std::vector<morvel::kernels::Event> carry_;
};

// A stream parser (kernels/stream_parser.hpp) fed with pieces of a file. A
// piece whose events surely fit the room left in the chunk is parsed
// straight into it; a larger one is parsed whole into a buffer kept from
// piece to piece, and handed out from there. Parsing runs without the GIL.
template <class Parser>
class Parsed {
public:
    Parser& parser() noexcept { return parser_; }

    // The next piece (the previous one must be used up: empty()); the bytes
    // must not change until it is.
    void feed(const unsigned char* data, std::size_t n) noexcept {
        data_ = data;
        size_ = n;
        fed_ = true;
        count_ = at_ = 0;
    }
    // The end of the input (what the parser holds completes, or fails).
    void finish() {
        grow(parser_.max_events(0));
        count_ = parser_.finish(buf_.data());
        at_ = 0;
        fed_ = false;
    }
    bool empty() const noexcept { return !fed_ && at_ == count_; }

    std::size_t plan(std::size_t room) {
        if (fed_) {
            const std::size_t bound = parser_.max_events(size_);
            if (bound <= room) return bound;  // fill() parses into the chunk
            grow(bound);
            MaybeNoGil nogil(size_ >= kReleaseGilBytes);
            count_ = parser_.parse(data_, size_, buf_.data());
            at_ = 0;
            fed_ = false;
        }
        return std::min(count_ - at_, room);
    }
    std::size_t fill(morvel::kernels::Event* out, std::size_t room) noexcept {
        if (fed_) {
            fed_ = false;
            return parser_.parse(data_, size_, out);
        }
        const std::size_t k = std::min(count_ - at_, room);
        std::memcpy(static_cast<void*>(out), buf_.data() + at_, k * sizeof(morvel::kernels::Event));
        at_ += k;
        return k;
    }
    bool heavy(std::size_t k) const noexcept {
        return (fed_ ? size_ : k * sizeof(morvel::kernels::Event)) >= kReleaseGilBytes;
    }

private:
    void grow(std::size_t n) {
        if (buf_.size() < n) buf_.resize(n);
        if (buf_.empty()) buf_.resize(1);  // a pointer to write through
    }

    Parser parser_{};
    std::vector<morvel::kernels::Event> buf_;
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    bool fed_ = false;  // a piece waits to be parsed
    std::size_t count_ = 0, at_ = 0;
};

// The rows of one table of columns.
class Rows {
public:
    Rows(const morvel::kernels::EventColumns& columns, std::size_t rows) noexcept : rows_(columns, rows) {}
    bool empty() const noexcept { return rows_.empty(); }
    std::size_t plan(std::size_t room) const noexcept { return rows_.plan(room); }
    std::size_t fill(morvel::kernels::Event* out, std::size_t room) noexcept { return rows_.fill(out, room, nullptr); }
    bool heavy(std::size_t k) const noexcept { return k * sizeof(morvel::kernels::Event) >= kReleaseGilBytes; }

private:
    morvel::kernels::RowSource rows_;
};

// Moves events from `src` into the chunk being filled until it is full
// (returned) or `src` has nothing more (null). Work on large pieces runs
// without the GIL.
template <class Source>
Ref next_chunk(ChunkBuilder& chunks, Source& src) {
    while (!src.empty()) {
        const std::size_t room = chunks.room();
        const std::size_t k = src.plan(room);
        morvel::kernels::Event* out = chunks.reserve(k);
        std::size_t got;
        {
            MaybeNoGil nogil(src.heavy(k));
            got = src.fill(out, room);
        }
        chunks.added(got);
        if (chunks.full()) return chunks.take();
    }
    return {};
}

// The one chunk of a read whose event count was taken first (`total`):
// `chunks` (an iterator over chunks of exactly `total` events) must give one
// chunk of them, or none for an empty file, and then end; errors after the
// last event (a file ending inside a record) come through. Anything else
// means the file changed between the count and the read (OSError).
inline Ref counted_chunk(PyObject* chunks, PyObject* path, std::size_t total) {
    Ref out = Ref::steal_or_null(PyIter_Next(chunks));
    if (!out && PyErr_Occurred()) raise();
    if (out && total == 0) raise(PyExc_OSError, "%S: the file changed while it was read", path);
    Ref more = Ref::steal_or_null(PyIter_Next(chunks));  // the end: errors after the last event
    if (more) raise(PyExc_OSError, "%S: the file changed while it was read", path);
    if (PyErr_Occurred()) raise();
    return out ? std::move(out) : np::empty(0);
}

// Every chunk of `gen` as one array: the one chunk it yields, or their
// concatenation (a file that grew past the bound its chunk was made for).
inline Ref joined_chunks(PyObject* gen) {
    Ref out = Ref::steal_or_null(PyIter_Next(gen));
    if (!out && PyErr_Occurred()) raise();
    Ref more = Ref::steal_or_null(PyIter_Next(gen));
    if (!more && PyErr_Occurred()) raise();
    if (!more) return out ? std::move(out) : np::empty(0);
    Ref parts = check(PyList_New(0));
    for (Ref* part : {&out, &more})
        if (PyList_Append(parts.get(), part->get()) < 0) raise();
    while (Ref next = Ref::steal_or_null(PyIter_Next(gen)))
        if (PyList_Append(parts.get(), next.get()) < 0) raise();
    if (PyErr_Occurred()) raise();
    return check(PyArray_Concatenate(parts.get(), 0));
}

// The most events a whole read allocates for at once from a bound (half
// the machine's memory); above it the array grows as events come.
inline std::size_t whole_read_limit() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::size_t{1} << 26;
    return static_cast<std::size_t>(pages) / 2 * static_cast<std::size_t>(page) / sizeof(morvel::kernels::Event);
}

}  // namespace kit
