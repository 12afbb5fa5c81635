// File names reach the filename table as texts from other modules and from
// users: trimming must stay inside the buffer and always leave a terminated text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "filename_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    // A buffer of exactly the text's size, without a terminator of its own.
    std::unique_ptr<char[]> text(new char[size]);
    std::memcpy(text.get(), data, size);
    filename_table::TrimFilename(text.get(), static_cast<int>(size));
    if (std::memchr(text.get(), '\0', size) == nullptr) __builtin_trap();
    return 0;
}
