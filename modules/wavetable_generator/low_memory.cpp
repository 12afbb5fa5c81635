#include "low_memory.h"

#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace wavetable_generator {

namespace {

// True when the whole block [p, p + bytes) lies below 4 GiB.
[[maybe_unused]] bool FitsIn32Bits(const void* p, size_t bytes) {
    uint64_t start = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
    return start != 0 && start + bytes <= uint64_t{0x100000000};
}

}  // namespace

void* AllocateLowMemory(size_t bytes) {
    if (bytes == 0) return nullptr;
#if UINTPTR_MAX == 0xFFFFFFFFu
    // Every address of a 32-bit process fits.
    return std::calloc(1, bytes);
#elif defined(_WIN32)
    // Ask for the block at fixed bases in the low 2 GiB, 16 MiB apart, until
    // one of them is free (VirtualAlloc memory is zeroed).
    for (uintptr_t base = 0x01000000; base + bytes <= 0x80000000u; base += 0x01000000) {
        void* p = VirtualAlloc(reinterpret_cast<void*>(base), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (p == nullptr) continue;
        if (FitsIn32Bits(p, bytes)) return p;
        VirtualFree(p, 0, MEM_RELEASE);
    }
    return nullptr;
#else
    // Anonymous mappings are zeroed.
#if defined(MAP_32BIT)
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p != MAP_FAILED) {
        if (FitsIn32Bits(p, bytes)) return p;
        munmap(p, bytes);
    }
#endif
    // Without MAP_32BIT: offer low addresses as hints and keep a block only if
    // the kernel placed it where asked.
    for (uintptr_t base = 0x10000000; base + bytes <= 0x80000000u; base += 0x01000000) {
        void* q = mmap(reinterpret_cast<void*>(base), bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (q == MAP_FAILED) continue;
        if (FitsIn32Bits(q, bytes)) return q;
        munmap(q, bytes);
    }
    return nullptr;
#endif
}

}  // namespace wavetable_generator
