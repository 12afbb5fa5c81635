// White-box: where the tables live. The low memory allocator's blocks, and a
// generator that cannot get low memory publishing a null link (the
// oscillator then stays silent) instead of an address that does not fit.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "low_memory.h"
#include "wavetable_generator.h"

namespace wavetable_generator {
namespace {

// A host with one pin that records the statuses announced on it.
std::vector<std::pair<int, int>> g_announced;  // (pin, status)

int FakeHost(void*, int opcode, int index, int value, void*, float) {
    switch (opcode) {
        case HOST_GET_PIN_COUNT:
            return 1;
        case HOST_PUT_PIN_STATUS:
            g_announced.emplace_back(index, value);
            return 0;
        default:
            return 0;
    }
}

// Opens a generator and returns its link value; closes it again.
int32_t OpenAndReadLink() {
    auto* m = new Module(&FakeHost, nullptr);
    KVPinProperties d{};
    EXPECT_TRUE(m->DescribePin(0, &d));
    m->Record()->dispatch(m->Record(), DSP_OPEN, 0, 0, nullptr, 0.0f);
    int32_t link = *static_cast<int32_t*>(d.variable);
    m->Record()->dispatch(m->Record(), DSP_CLOSE, 0, 0, nullptr, 0.0f);
    return link;
}

TEST(LowMemory, BlocksAreZeroedAndLieBelow4GiB) {
    const size_t bytes = size_t{6} << 20;
    auto* p = static_cast<unsigned char*>(AllocateLowMemory(bytes));
    ASSERT_NE(p, nullptr);
    EXPECT_LE(uint64_t(reinterpret_cast<uintptr_t>(p)) + bytes, uint64_t{1} << 32);
    size_t nonzero = 0;
    for (size_t i = 0; i < bytes; ++i) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    p[bytes - 1] = 1;  // writable to the end
    EXPECT_EQ(AllocateLowMemory(0), nullptr);
    if constexpr (sizeof(size_t) > 4) {
        EXPECT_EQ(AllocateLowMemory(size_t{5} << 30), nullptr);  // can never fit below 4 GiB
    }
}

TEST(TableStorage, WithoutLowMemoryTheLinkIsNullUntilMemoryCanBeHad) {
    ASSERT_EQ(g_storage, nullptr);  // this program's own copy of the module
    g_allocate_low = [](size_t) -> void* { return nullptr; };
    g_announced.clear();
    EXPECT_EQ(OpenAndReadLink(), 0);
    EXPECT_EQ(g_announced, (std::vector<std::pair<int, int>>{{0, PS_ONE_SHOT}}));  // still announced
    EXPECT_EQ(g_tables_built, 0);  // nothing built, nothing written
    EXPECT_EQ(g_storage, nullptr);

    // A later open that gets the memory publishes it and builds the tables.
    g_allocate_low = &AllocateLowMemory;
    int32_t link = OpenAndReadLink();
    ASSERT_NE(link, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&g_storage->directory), static_cast<uint32_t>(link));
    EXPECT_EQ(g_tables_built, -1);
    EXPECT_EQ(g_storage->sine[128], 0.5f);
    EXPECT_EQ(OpenAndReadLink(), link);
}

}  // namespace
}  // namespace wavetable_generator
