#include "KVEntry.h"
#include "chorus_driver.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_Chorus_Driver4",
    "Chorus_Driver4a_QM2004",
    "Chorus Driver: Up to 4 different Waveforms\n"
    "Ver:2.90 (Korvane build)\n"
    "\n"
    "Generates Non-Bandlimited waveforms\n"
    "(That means - not suitable for Direct Audio)\n"
    "\n"
    "Features:\n"
    "Pitch Mod Accuracy:\n"
    "   High: Realtime Modulation (Recommended)\n"
    "   Low: Block Accurate (ok for Slow modulation)\n"
    "Sync: Realtime Intra-Sample accurate\n"
    "Independant Waveforms (faster CPU if all same type)\n"
    "Independent Phase:-\n"
    "   *Note: Does Not support Realtime Phase Modulation\n"
    "Active: Off,On ( When not used, set to Off to save CPU )\n"
    "Adaptive Processing",
};
}  // namespace

KV_MODULE_ENTRY(chorus_driver::Module, chorus_driver::GuiModule, kInfo)
