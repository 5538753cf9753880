// Which wide-vector paths the kernels may take on this machine.
//
// The modules are built for plain x86-64; a kernel with an AVX-512 path
// compiles it with MORVEL_TARGET_AVX512 and takes it when avx512() says so:
// the CPU has the extensions (F, BW, VL, VBMI, VBMI2, BITALG; the OS keeps
// their registers) and they are not turned off. Every such path gives the
// same bytes as the plain one.
//
// MORVEL_SIMD=0 in the environment turns them off for the process (read on
// first use), as does set_avx512(false) (tests compare both paths).
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define MORVEL_HAVE_AVX512 1
#define MORVEL_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,avx512bitalg,bmi,bmi2,popcnt,lzcnt")))
#else
#define MORVEL_HAVE_AVX512 0
#define MORVEL_TARGET_AVX512
#endif

namespace morvel::kernels::simd {

// Whether the CPU and the OS allow the AVX-512 paths.
inline bool avx512_supported() noexcept {
#if MORVEL_HAVE_AVX512
    static const bool ok = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
               __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512bitalg") &&
               __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    }();
    return ok;
#else
    return false;
#endif
}

namespace detail {
// -1: not decided yet, 0: off, 1: on.
inline std::atomic<int> avx512_state{-1};
}  // namespace detail

// Whether kernels take their AVX-512 paths now.
inline bool avx512() noexcept {
    int s = detail::avx512_state.load(std::memory_order_relaxed);
    if (s < 0) [[unlikely]] {
        const char* env = std::getenv("MORVEL_SIMD");
        const bool off = env && (std::strcmp(env, "0") == 0 || std::strcmp(env, "off") == 0);
        s = avx512_supported() && !off ? 1 : 0;
        detail::avx512_state.store(s, std::memory_order_relaxed);
    }
    return s == 1;
}

// Turns the AVX-512 paths on (where supported) or off; returns whether they
// were on.
inline bool set_avx512(bool on) noexcept {
    const bool was = avx512();
    detail::avx512_state.store(on && avx512_supported() ? 1 : 0, std::memory_order_relaxed);
    return was;
}

}  // namespace morvel::kernels::simd
