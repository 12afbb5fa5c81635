// Contract checks: conditions that only a faulty host or module can break.
// A failed check is reported (condition text, source name, line) through one
// function and processing goes on. The array module's framework copy is built
// with KV_SDK_ARRAY and performs no checks at all.
#pragma once

namespace kv {

using ContractHandler = void (*)(const char* condition, const char* source, int line);

// Reports one failed check: to stderr, or to the handler a test installed.
void ContractFailed(const char* condition, const char* source, int line);

// Replaces the reporter (null restores stderr); returns the previous one.
ContractHandler SetContractHandler(ContractHandler handler);

}  // namespace kv

#ifdef KV_SDK_ARRAY
#define KV_CHECK_AS(cond, text, source) ((void)0)
#else
#define KV_CHECK_AS(cond, text, source) ((cond) ? (void)0 : ::kv::ContractFailed(text, source, __LINE__))
#endif
#define KV_CHECK(cond, source) KV_CHECK_AS(cond, #cond, source)

#define KV_SRC_MODULE_BASE "kv_sdk2\\KVModule_base"
#define KV_SRC_PIN "kv_sdk2\\KVPin"
#define KV_SRC_GUI_BASE "kv_sdk2\\KVGUI_base"
