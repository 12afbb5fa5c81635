#include "KVEntry.h"
#include "filename_table.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_Filename_Table_x32_Mid",
    "128x_Filename_Table_x32_Mid_QM2010",
    "Filename Table x32 (Mid)\n"
    "Ver:2.92 (Korvane build)\n"
    "\n"
    "Features:-\n"
    "Choice/Index/Sample# selects filename sent to output\n"
    "\n"
    "Free to use and to share, with or without changes.\n"
    "Provided as is, without warranty of any kind.",
};
}  // namespace

KV_MODULE_ENTRY(filename_table::Module, filename_table::GuiModule, kInfo)
