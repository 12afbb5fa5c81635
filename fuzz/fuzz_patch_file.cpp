// Patch files come from users: any text must give a loaded patch or a
// one-line error, never a crash, a hang or a runaway allocation.
#include <cstddef>
#include <algorithm>
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
#ifdef KV_FUZZ_PLUGIN_DIR
    opt.plugin_dir = KV_FUZZ_PLUGIN_DIR;  // the dB converter is there
#else
    opt.plugin_dir = "/nonexistent-kv-fuzz-plugins";
#endif
    opt.base_dir = "/nonexistent-kv-fuzz-base";
    kvhost::LoadedPatch patch;
    std::string error;
    bool ok = kvhost::LoadPatchText(text, opt, patch, error);
    if (!ok && error.empty()) __builtin_trap();  // a refusal always says why
    // A loaded patch also starts and runs a little (outputs are not written).
    if (ok && patch.engine->BlockSize() <= 4096) {
        if (patch.engine->Start(error)) patch.engine->Run(std::min<int64_t>(patch.length, 300));
    }
    return 0;
}
