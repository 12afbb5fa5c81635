#include "KVContract.h"

#include <cstdio>

namespace kv {
namespace {
ContractHandler g_handler = nullptr;
}

void ContractFailed(const char* condition, const char* source, int line) {
    if (g_handler) {
        g_handler(condition, source, line);
        return;
    }
    std::fprintf(stderr, "contract check failed: %s (%s, line %d)\n", condition, source, line);
}

ContractHandler SetContractHandler(ContractHandler handler) {
    ContractHandler previous = g_handler;
    g_handler = handler;
    return previous;
}

}  // namespace kv
