#include "KVEntry.h"
#include "fixture_module.h"

namespace {
const kv::ModuleInfo kInfo = {KV_FIXTURE_NAME, KV_FIXTURE_NAME "_id", "Validator test module\nNot a deliverable."};
}  // namespace

KV_MODULE_ENTRY(kv_fixture::Module, kv_fixture::GuiModule, kInfo)
