#include "KVEntry.h"
#include "array_memory.h"

namespace {
const kv::ModuleInfo kInfo = {
    "ZB_Array",
    "ZB_Array 2.3+",
    "ZB_Array v2.3\n"
    "Korvane build of the array memory module.\n"
    "Questions and reports: through the project's issue tracker.\n"
    "\n"
    "Summary:  A block of memory slots each of which can be accessed directly by\n"
    "\tindex. Values can optionally be saved in a text file when the module closes, and\n"
    "\treloaded when it is initialized. A text file with numeric values separated by commas,\n"
    "\tspaces, tabs, or newlines can be used to preload an array.\n"
    "\n"
    "\tInput: Value to be stored\n"
    "\n"
    "\tIndex In: Selects a slot using values from 0\n"
    "\t\tto the Array Size - 1. Index input is rounded\n"
    "\t\tto the nearest integer.\n"
    "\n"
    "\tWrite: Writes the Input value to the currently indexed\n"
    "\t\tslot when set positive.\n"
    "\n"
    "\tFile Name: Should be used to give the module's data file\n"
    "\t\ta unique name.\n"
    "\n"
    "\tClear: Deletes the saved file and resets all slots to 0.\n"
    "\n"
    "\tOutput: Provides the value of the currently indexed slot.\n"
    "\n"
    "\tIndex Out: Provides the integer value of the current index.\n"
    "\n"
    "\tArray Size parameter: Sets the number of slots. Note that the index\n"
    "\t\tnumbers start at 0, so the highest index will be 1 less than the\n"
    "\t\tArray Size.\n"
    "\n"
    "\tUse File? parameter: Selects whether or not values will be saved to and\n"
    "\t\tloaded from a text file.",
};
}  // namespace

// No GUI side: makeModule type 2 answers null.
KV_MODULE_ENTRY(array_memory::Module, void, kInfo)
