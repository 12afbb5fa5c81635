// Memory whose address fits in 32 bits, for data whose address travels
// through a 32-bit pin value (the oscillator link).
#pragma once

#include <cstddef>

namespace wavetable_generator {

// A zeroed, writable block of `bytes` whose every address is below 4 GiB, or
// null when none can be had. The block is never given back: it lives until
// the process ends, so that readers in other libraries can rely on it.
void* AllocateLowMemory(size_t bytes);

}  // namespace wavetable_generator
