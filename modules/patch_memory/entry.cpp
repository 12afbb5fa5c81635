#include "KVEntry.h"
#include "patch_memory.h"

namespace {

#if KV_PATCHMEM_PLUS
#define KV_PATCHMEM_NAME "QM_PatchMem_Random_Contour_Plus"
#define KV_PATCHMEM_ID "PatchMem_Float_Random_Contour_Plus_QM2010"
#else
#define KV_PATCHMEM_NAME "QM_PatchMem_Random_Contour"
#define KV_PATCHMEM_ID "PatchMem_Float_Random_Contour_QM2010"
#endif

const kv::ModuleInfo kInfo = {
    KV_PATCHMEM_NAME,
    KV_PATCHMEM_ID,
    "Patch Mem with Randomise option\n"
    "Ver:2.91 (Korvane build)\n"
    "\n"
    "Free to use in any patch, commercial or not.\n"
    "Provided as is, without warranty of any kind.",
};

}  // namespace

KV_MODULE_ENTRY(patch_memory::Module, patch_memory::GuiModule, kInfo)
