#include "KVEntry.h"
#include "chorus_engine.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_4V_Chorus2",
    "4V_Chorus_QM2003_Pro",
    "4 Voice Chorus Engine\n"
    "Ver:3.00 (Korvane build)\n"
    "\n"
    "Feedback to Pre_Delay allows use as multi-tap delay\n"
    "\n"
    "Features:\n"
    "Pre Delay time in (s) or (ms)\n"
    "External Mod inputs allows complex independant chorusing\n"
    "Mod Depth allows easy adjustment of whole Chorus Effect\n"
    "ON/OFF activity switch\n"
    "Two Chorus-1 output Feedback modes:-\n"
    "   Chorus: Feeds back to Chorus1 allows Flanging Type Fx\n"
    "   PreDly: Feeds back to Pre_Delay1 allows chorused multi-tap delay Fx\n"
    "Variable Max Pre Delay Time\n"
    "Support to 384Khz\n"
    "Adaptive Processing\n"
    "Gate(Poly Reset): Link if used in a Polyphonic chain",
};
}  // namespace

KV_MODULE_ENTRY(chorus_engine::Module, chorus_engine::GuiModule, kInfo)
