// The few operating-system services a module uses: whole files by name and a
// millisecond tick count. POSIX here, Win32 in the Windows builds.
#pragma once

#include <cstdint>
#include <string>

namespace kv::platform {

// Reads the whole file. False (and `out` untouched) when it cannot be opened
// or read, or when it is larger than `maxBytes`.
bool ReadFile(const char* path, std::string& out, size_t maxBytes);

// Writes `data` to a temporary file beside `path`, then renames it over
// `path`, so the old file stays intact until the new one is complete.
bool WriteFileAtomic(const char* path, const std::string& data);

// Deletes the file; false if it could not be deleted.
bool DeleteFile(const char* path);

// Milliseconds since an arbitrary start, wrapping at 2^32. The environment
// variable KV_TICK_COUNT, when set, fixes the answer (for reproducible runs).
uint32_t TickCount();

}  // namespace kv::platform
