// The in-memory event record shared by every kernel: 13 bytes, packed,
// little-endian (t u64, x u16, y u16, p u8). Kernels read and write records
// through this struct; it matches the NumPy record type byte for byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// For the few small helpers that must be inlined into hot loops.
#if defined(__GNUC__) || defined(__clang__)
#define MORVEL_INLINE inline __attribute__((always_inline))
#else
#define MORVEL_INLINE inline
#endif

namespace morvel::kernels {

static_assert(std::endian::native == std::endian::little,
              "event records are little-endian; a big-endian host needs byte swaps");

#pragma pack(push, 1)
struct Event {
    std::uint64_t t;
    std::uint16_t x;
    std::uint16_t y;
    std::uint8_t p;
};
#pragma pack(pop)

static_assert(sizeof(Event) == 13, "event record must be 13 bytes");
static_assert(offsetof(Event, x) == 8 && offsetof(Event, y) == 10 && offsetof(Event, p) == 12);

inline constexpr std::size_t kEventSize = sizeof(Event);

// Unaligned little-endian loads for parsers working on raw byte buffers.
inline std::uint16_t load_u16(const unsigned char* p) noexcept {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline std::uint32_t load_u32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline std::uint64_t load_u64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace morvel::kernels
