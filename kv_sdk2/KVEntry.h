// The two exported entry points of a deliverable. Each module's entry.cpp
// names its classes and properties once with KV_MODULE_ENTRY; the array
// module's framework copy (KV_SDK_ARRAY) has no GUI side and writes the SDK
// version before it looks at the index.
#pragma once

#include <new>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "kv_sdk2.h"

#if defined(_WIN32)
#define KV_EXPORT extern "C" __declspec(dllexport)
#else
#define KV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace kv {

struct ModuleInfo {
    const char* name;
    const char* id;
    const char* about;
};

inline int GetModuleProperties(const ModuleInfo& info, int index, KVModuleProperties* out) {
#ifdef KV_SDK_ARRAY
    out->sdkVersion = KV_SDK_VERSION_ARRAY;
    if (index != 0) return 0;
#else
    if (index != 0) return 0;
    out->sdkVersion = KV_SDK_VERSION;
#endif
    out->name = info.name;
    out->id = info.id;
    out->about = info.about;
    return 1;
}

template <class DspModule, class GuiModule>
void* MakeModule(int index, int type, HostCallback callback, void* hostHandle) {
    if (index != 0) return nullptr;
    if (type == 1) {
        DspModule* m = new (std::nothrow) DspModule(callback, hostHandle);
        return m != nullptr ? static_cast<void*>(m->Record()) : nullptr;
    }
    if constexpr (!std::is_void_v<GuiModule>) {
        if (type == 2) {
            GuiModule* g = new (std::nothrow) GuiModule(callback, hostHandle);
            return g != nullptr ? static_cast<void*>(g->Record()) : nullptr;
        }
    }
    return nullptr;
}

}  // namespace kv

// Defines getModuleProperties and makeModule for one module. GuiClass may be
// void (no GUI side).
#define KV_MODULE_ENTRY(DspClass, GuiClass, INFO)                                                 \
    KV_EXPORT int getModuleProperties(int index, KVModuleProperties* out) {                     \
        return ::kv::GetModuleProperties(INFO, index, out);                                     \
    }                                                                                           \
    KV_EXPORT void* makeModule(int index, int type, HostCallback callback, void* hostHandle) {  \
        return ::kv::MakeModule<DspClass, GuiClass>(index, type, callback, hostHandle);         \
    }
