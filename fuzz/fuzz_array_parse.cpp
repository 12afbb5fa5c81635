// The array module's data files are plain text anyone can edit: the parser
// must store at most the slots asked for, whatever the text and however it
// arrives in chunks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "array_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // First byte: slot count (0 .. 255); second: chunk size (1 .. 256).
    int count = data[0];
    size_t chunk = static_cast<size_t>(data[1]) + 1;
    data += 2;
    size -= 2;
    size_t pos = 0;
    array_memory::ChunkReader read = [&](char* buffer, size_t want) -> long {
        size_t n = std::min({want, chunk, size - pos});
        std::memcpy(buffer, data + pos, n);
        pos += n;
        return static_cast<long>(n);
    };
    // Exactly `count` floats, so a store past them is a heap overflow.
    std::vector<float> slots(static_cast<size_t>(count) + (count == 0 ? 1 : 0));
    int stored = array_memory::ParseSlotText(read, count ? slots.data() : nullptr, count);
    if (stored < -1 || stored > count) __builtin_trap();
    return 0;
}
