// The array module's framework flavour: no contract checks and a 16-byte
// member-pointer size in the opcode-13 record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KVContract.h"
#include "fixture_module.h"

namespace {

std::vector<std::string> g_reports;
void Record(const char* condition, const char*, int) { g_reports.push_back(condition); }

TEST(ArrayFlavour, ProcessPointerRecordSaysSixteenBytes) {
    fixture::Module m(nullptr, nullptr);
    m.Dispatch(DSP_GET_PROCESS_POINTER, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(KVModule_base::ProcessPointerRecord()->member_size, 16);
    EXPECT_EQ(KVModule_base::ProcessPointerRecord()->one, 1);
}

TEST(ArrayFlavour, PerformsNoContractChecks) {
    kv::SetContractHandler(&Record);
    fixture::Module m(nullptr, nullptr);
    m.Dispatch(DSP_RESERVED_7, 0, 0, nullptr, 0.0f);
    KVEvent e{};
    e.time_stamp = 5;  // the clock is 0 without a host
    e.type = EV_DATA;
    m.DeliverEvent(&e);
    kv::SetContractHandler(nullptr);
    EXPECT_TRUE(g_reports.empty());
}

}  // namespace
