// NumPy's global legacy generator (np.random.seed seeds it), used through its
// C-level bit generator so that heavy draws run natively.
#pragma once

#include "ref.hpp"

#include <numpy/random/bitgen.h>

#include <cstdint>

namespace kit {

// The global generator's bit generator, locked for the lifetime of the object
// (draws may then run without the GIL).
class GlobalBitGenerator {
public:
    GlobalBitGenerator() {
        Ref mtrand = kit::import("numpy.random.mtrand");
        Ref rand = kit::getattr(mtrand.get(), "_rand");
        bit_generator_ = kit::getattr(rand.get(), "_bit_generator");
        Ref capsule = kit::getattr(bit_generator_.get(), "capsule");
        state_ = static_cast<bitgen_t*>(PyCapsule_GetPointer(capsule.get(), "BitGenerator"));
        if (!state_) kit::raise();
        lock_ = kit::getattr(bit_generator_.get(), "lock");
        kit::call_method(lock_.get(), "acquire");
    }
    ~GlobalBitGenerator() { kit::call_method_quietly(lock_.get(), "release"); }
    GlobalBitGenerator(const GlobalBitGenerator&) = delete;
    GlobalBitGenerator& operator=(const GlobalBitGenerator&) = delete;

    bitgen_t* state() const noexcept { return state_; }
    std::uint32_t next32() noexcept { return state_->next_uint32(state_->state); }
    std::uint64_t next64() noexcept { return state_->next_uint64(state_->state); }

private:
    Ref bit_generator_;  // keeps the state alive while we draw
    Ref lock_;
    bitgen_t* state_ = nullptr;
};

}  // namespace kit
