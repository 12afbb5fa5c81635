#include "KVEntry.h"
#include "soft_limiter.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_Soft_Limit_Drive",
    "Soft_Limit_Drive_Squash_QM2009",
    "Soft Limiter with 'Drive' and 'Squash'\n"
    "Ver:2.90 (Korvane build)\n"
    "\n"
    "Features:\n"
    "Modes: Off, Bypass, On\n"
    "Squash: (*)Note this is a setting and does not respond to realtime modulation\n"
    "\n"
    "Free to use in any patch, personal or commercial.\n"
    "Provided as is, without warranty of any kind.",
};
}  // namespace

KV_MODULE_ENTRY(soft_limiter::Module, soft_limiter::GuiModule, kInfo)
