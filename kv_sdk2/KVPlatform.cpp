#include "KVPlatform.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
// windows.h maps DeleteFile to DeleteFileA; the name here is our own.
#undef DeleteFile
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kv::platform {

#if defined(_WIN32)

bool ReadFile(const char* path, std::string& out, size_t maxBytes) {
    HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD high = 0;
    DWORD size = GetFileSize(h, &high);
    if (size == INVALID_FILE_SIZE || high != 0 || size > maxBytes) {
        CloseHandle(h);
        return false;
    }
    std::string data(size, '\0');
    DWORD got = 0;
    BOOL ok = size == 0 || ::ReadFile(h, data.data(), size, &got, nullptr);
    CloseHandle(h);
    if (!ok || got != size) return false;
    out.swap(data);
    return true;
}

bool WriteFileAtomic(const char* path, const std::string& data) {
    std::string tmp = std::string(path) + ".tmp";
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = data.empty() || WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    ok = ok && written == data.size() && FlushFileBuffers(h);
    CloseHandle(h);
    if (!ok || !MoveFileExA(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(tmp.c_str());
        return false;
    }
    return true;
}

bool DeleteFile(const char* path) { return DeleteFileA(path) != 0; }

static uint32_t SystemTicks() { return GetTickCount(); }

#else

bool ReadFile(const char* path, std::string& out, size_t maxBytes) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done != data.size()) return false;
    out.swap(data);
    return true;
}

bool WriteFileAtomic(const char* path, const std::string& data) {
    std::string tmp = std::string(path) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == data.size() && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool DeleteFile(const char* path) { return ::unlink(path) == 0; }

static uint32_t SystemTicks() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

#endif

uint32_t TickCount() {
    if (const char* fixed = std::getenv("KV_TICK_COUNT")) {
        return static_cast<uint32_t>(std::strtoul(fixed, nullptr, 0));
    }
    return SystemTicks();
}

}  // namespace kv::platform
