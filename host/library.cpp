#include "library.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#endif

namespace kvhost {

const char* DatatypeName(int datatype) {
    switch (datatype) {
        case DT_CHOICE: return "choice";
        case DT_STRING: return "text";
        case DT_BVALUE: return "byte";
        case DT_FSAMPLE: return "stream";
        case DT_FVALUE: return "float";
        case DT_IVALUE: return "int";
        default: return "?";
    }
}

const char* DirectionName(int direction) {
    switch (direction) {
        case DR_IN: return "in";
        case DR_OUT: return "out";
        case DR_PARAMETER: return "param";
        default: return "?";
    }
}

const char* StatusName(int status) {
    switch (status) {
        case PS_STATIC: return "STATIC";
        case PS_ONE_SHOT: return "ONE_SHOT";
        case PS_STREAMING: return "STREAMING";
        default: return "?";
    }
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> items;
    if (list.empty()) return items;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        items.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

std::string DeliverablePath(const std::string& dir, const std::string& name) {
#if defined(_WIN32)
    const char* ext = ".dll";
#else
    const char* ext = ".so";
#endif
    if (dir.empty()) return name + ext;
    return dir + "/" + name + ext;
}

#if defined(_WIN32)
static void* OpenLibrary(const std::string& path, std::string& error) {
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) error = "cannot load " + path;
    return reinterpret_cast<void*>(h);
}
static void* Symbol(void* h, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(h), name));
}
static void CloseLibrary(void* h) { FreeLibrary(static_cast<HMODULE>(h)); }
#else
static void* OpenLibrary(const std::string& path, std::string& error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        error = "cannot load " + path + (e ? std::string(": ") + e : std::string());
    }
    return h;
}
static void* Symbol(void* h, const char* name) { return dlsym(h, name); }
static void CloseLibrary(void* h) { dlclose(h); }
#endif

std::unique_ptr<Library> Library::Load(const std::string& path, std::string& error) {
    void* h = OpenLibrary(path, error);
    if (!h) return nullptr;
    std::unique_ptr<Library> lib(new Library());
    lib->m_handle = h;
    lib->m_path = path;
    lib->m_get_props = reinterpret_cast<KVGetModulePropertiesFn>(Symbol(h, "getModuleProperties"));
    lib->m_make = reinterpret_cast<KVMakeModuleFn>(Symbol(h, "makeModule"));
    if (!lib->m_get_props || !lib->m_make) {
        error = path + " does not export getModuleProperties and makeModule";
        return nullptr;
    }
    if (lib->m_get_props(0, &lib->m_props) != 1 || lib->m_props.name == nullptr) {
        error = path + ": getModuleProperties(0) refused";
        return nullptr;
    }
    return lib;
}

Library::~Library() {
    if (m_handle) CloseLibrary(m_handle);
}

std::vector<PinInfo> DescribePins(KVPlugStruct* rec) {
    std::vector<PinInfo> pins;
    int dsp = 0;
    for (int d = 0; d < 4096; ++d) {
        KVPinProperties p;
        std::memset(&p, 0, sizeof p);
        if (rec->dispatch(rec, DSP_GET_PIN_PROPERTIES, d, 0, &p, 0.0f) == 0) break;
        PinInfo info;
        info.desc_index = d;
        info.direction = p.direction;
        info.datatype = p.datatype;
        info.flags = p.flags;
        info.variable = p.variable;
        info.name = p.name ? p.name : "";
        info.has_default = p.default_text != nullptr;
        info.default_text = p.default_text ? p.default_text : "";
        info.list = p.list ? p.list : "";
        if (info.datatype == DT_CHOICE) info.items = SplitList(info.list);
        if (info.IsDsp()) info.dsp_index = dsp++;
        pins.push_back(std::move(info));
    }
    return pins;
}

#if defined(_WIN32)
void* AllocateLow(size_t bytes) {
    // Bottom-up allocation: try addresses below 4 GiB first.
    for (uintptr_t hint = 0x10000000; hint < 0xF0000000u; hint += 0x01000000) {
        void* p = VirtualAlloc(reinterpret_cast<void*>(hint), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (p) return p;
    }
    void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p && reinterpret_cast<uintptr_t>(p) + bytes > 0xFFFFFFFFu) {
        VirtualFree(p, 0, MEM_RELEASE);
        return nullptr;
    }
    return p;
}
void FreeLow(void* p, size_t) {
    if (p) VirtualFree(p, 0, MEM_RELEASE);
}
#else
void* AllocateLow(size_t bytes) {
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_32BIT
    flags |= MAP_32BIT;
#endif
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (reinterpret_cast<uintptr_t>(p) + bytes - 1 > 0xFFFFFFFFu) {
        munmap(p, bytes);
        return nullptr;
    }
    return p;
}
void FreeLow(void* p, size_t bytes) {
    if (p) munmap(p, bytes);
}
#endif

}  // namespace kvhost
