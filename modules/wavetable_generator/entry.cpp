#include "KVEntry.h"
#include "wavetable_generator.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_Replacement_OscWT",
    "OscWaveTable_Replacement_QM2010",
    "QM_Osc WaveTable Generator\n"
    "Ver:2.90 (Korvane build)\n"
    "\n"
    "Creates 'Replacement' wavetables which remove the 'ringing' sound in low frequencies <40hz\n"
    "\n"
    "Free to use in any patch, personal or commercial.\n"
    "Provided as is, without warranty of any kind.",
};
}  // namespace

KV_MODULE_ENTRY(wavetable_generator::Module, wavetable_generator::GuiModule, kInfo)
