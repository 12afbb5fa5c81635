// Patch files come from users: any text must give a loaded patch or a
// one-line error, never a crash, a hang or a runaway allocation.
#include <cstddef>
#include <cstdint>
#include <string>

#include "patch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // Deliverable names are file names inside the plug-in folder; a name that
    // climbs out of it would load whatever library it names, which is the
    // user's to choose and not the loader's to survive.
    if (text.find("..") != std::string::npos) return 0;
    kvhost::PatchOptions opt;
    opt.plugin_dir = "/nonexistent-kv-fuzz-plugins";
    opt.base_dir = "/nonexistent-kv-fuzz-base";
    kvhost::LoadedPatch patch;
    std::string error;
    bool ok = kvhost::LoadPatchText(text, opt, patch, error);
    if (!ok && error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
}
