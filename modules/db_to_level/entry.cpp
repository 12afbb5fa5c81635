#include "KVEntry.h"
#include "db_to_level.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_dB_to_Level(Volts)",
    "dB_to_Volume/Level_Volts_QM2005",
    "dB to Volume/Level_Adjust Voltage Conversion\n"
    "Ver:2.90 (Korvane build)\n"
    "\n"
    "Useful for converting Decibel (dB) signals to Volume/Level_Adjust voltage signals\n"
    "Input valid for range +/-180 dB\n"
    "\n"
    "Modes:-\n"
    "   REALTIME: Realtime input conversion **Recommended**\n"
    "   STEP: Updates Only when input STATUS Changes\n"
    "     i.e Only at Start & End of an Audio/Mod signal/Gate *Specialists only*\n"
    "   BLOCK/STATUS: Updates at Block Rate and generates STATUS signals, requires higher internal CPU\n"
    "     Less Cpu used on *downstream* modules (osc/filters) but could cause noise with Deep/Fast Mod\n"
    "   BLOCK/STREAM: Updates at Block Rate: Only some modules respond to this mode\n"
    "     You must check to see if this mode has any benefit on downstream modules\n"
    "\n"
    "Inputs below -18 V give 2^-30; inputs from 18.6 V up give 2^31.",
};
}  // namespace

KV_MODULE_ENTRY(db_to_level::Module, db_to_level::GuiModule, kInfo)
