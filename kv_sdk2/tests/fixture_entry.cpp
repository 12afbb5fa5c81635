#include "KVEntry.h"
#include "fixture_module.h"

namespace {
const kv::ModuleInfo kInfo = {"KV_Test_Fixture", "KV_Test_Fixture_id", "Test fixture\nline two"};
}

// The array flavour of the fixture, like the array module, has no GUI side.
#ifdef KV_SDK_ARRAY
KV_MODULE_ENTRY(fixture::Module, void, kInfo)
#else
KV_MODULE_ENTRY(fixture::Module, fixture::GuiModule, kInfo)
#endif
