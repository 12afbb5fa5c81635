// The engine's scheduling: start-up statuses, events at their sample with
// blocks split there, sleep and wake, process changes, status propagation
// along connections, and the GUI side.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine.h"

using namespace kvhost;

namespace {

// Fixture pins by description index.
enum { IN = 0, OUT = 1, PANEL = 2, GAIN = 3, SHARED = 4 };

struct Rig {
    Rig(int blockSize = 64) : eng(48000.0, blockSize) {
        std::string error;
        lib = Library::Load(DeliverablePath(KV_TEST_PLUGIN_DIR, "KV_Test_Fixture"), error);
        EXPECT_TRUE(lib) << error;
        eng.tracing = true;
    }
    Instance& Add(const char* name) {
        std::string error;
        Instance* i = eng.Add(name, *lib, error);
        EXPECT_TRUE(i) << error;
        return *i;
    }
    std::vector<TraceEntry> Of(const Instance& inst, TraceKind kind) const {
        std::vector<TraceEntry> out;
        for (const TraceEntry& t : eng.trace)
            if (t.instance == &inst && t.kind == kind) out.push_back(t);
        return out;
    }
    std::unique_ptr<Library> lib;
    Engine eng;
};

TEST(Engine, StartUpStatusesArriveAtClockZeroInPinOrder) {
    Rig r;
    Instance& a = r.Add("a");
    std::string error;
    ASSERT_TRUE(r.eng.SetGenerator(a, IN, [](int64_t, float* out, int n) { std::fill(out, out + n, 0.25f); }, error));
    ASSERT_TRUE(r.eng.Start(error)) << error;
    r.eng.Run(1);
    auto in = r.Of(a, TraceKind::StatusIn);
    ASSERT_EQ(in.size(), 4u);  // In, Gain, Shared, Extra
    EXPECT_EQ(in[0].pin, 0);
    EXPECT_EQ(in[0].status, PS_STREAMING);
    for (size_t k = 1; k < in.size(); ++k) {
        EXPECT_EQ(in[k].clock, 0);
        EXPECT_EQ(in[k].status, PS_STATIC);
        EXPECT_EQ(in[k].pin, static_cast<int>(k + 1));
    }
}

TEST(Engine, StepsSplitTheBlockAtTheirSampleAndWakeASleepingModule) {
    Rig r(64);
    Instance& a = r.Add("a");
    std::string error;
    ASSERT_TRUE(r.eng.AddStep(a, IN, 200, 0.5, error)) << error;  // in module units
    int cap = r.eng.Record(a, OUT, error);
    ASSERT_TRUE(r.eng.Start(error));
    r.eng.Run(320);
    std::vector<std::pair<int64_t, double>> calls;
    for (const TraceEntry& t : r.Of(a, TraceKind::ProcessCall)) calls.emplace_back(t.clock, t.value);
    // One block of constant output, sleep; the step at 200 wakes it for one
    // more block length (56 + 64 samples, the countdown reaching 0 in the second call).
    std::vector<std::pair<int64_t, double>> expected = {{0, 64}, {200, 56}, {256, 64}};
    EXPECT_EQ(calls, expected);
    auto sleeps = r.Of(a, TraceKind::Sleep);
    ASSERT_EQ(sleeps.size(), 2u);
    EXPECT_EQ(sleeps[0].clock, 0);
    EXPECT_EQ(sleeps[1].clock, 256);
    const std::vector<float>& out = r.eng.Captured(cap);
    EXPECT_EQ(out[199], 0.0f);
    EXPECT_EQ(out[200], 0.5f);
    EXPECT_EQ(out[319], 0.5f);  // held while asleep
    auto status = r.Of(a, TraceKind::StatusOut);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back().clock, 200);
    EXPECT_EQ(status.back().status, PS_ONE_SHOT);
}

TEST(Engine, ProcessChangeTakesEffectAtTheEventAndStatusFlowsDownstream) {
    Rig r(32);
    Instance& a = r.Add("a");
    Instance& b = r.Add("b");
    std::string error;
    // b first in the patch, fed by a: the engine still runs a before b.
    ASSERT_TRUE(r.eng.Connect(a, OUT, b, IN, error)) << error;
    ASSERT_TRUE(r.eng.SetValue(b, GAIN, 2.0, error));
    ASSERT_TRUE(r.eng.AddStep(a, IN, 40, 0.25, error));
    int cap = r.eng.Record(b, OUT, error);
    ASSERT_TRUE(r.eng.Start(error));
    r.eng.Run(96);
    const std::vector<float>& out = r.eng.Captured(cap);
    EXPECT_EQ(out[39], 0.0f);
    EXPECT_EQ(out[40], 0.5f);  // a's one-shot at 40 reaches b at 40
    auto b_in = r.Of(b, TraceKind::StatusIn);
    auto it = std::find_if(b_in.begin(), b_in.end(), [](const TraceEntry& t) { return t.clock == 40; });
    ASSERT_NE(it, b_in.end());
    EXPECT_EQ(it->status, PS_ONE_SHOT);
    EXPECT_EQ(it->pin, 0);
    // a's output was announced streaming-or-not at start-up: b got its status at 0.
    EXPECT_EQ(b_in.front().clock, 0);
}

TEST(Engine, StreamingInputRunsPerSampleWithoutSleeping) {
    Rig r(16);
    Instance& a = r.Add("a");
    std::string error;
    ASSERT_TRUE(r.eng.SetGenerator(a, IN, [](int64_t start, float* out, int n) {
        for (int k = 0; k < n; ++k) out[k] = static_cast<float>(start + k);
    }, error));
    ASSERT_TRUE(r.eng.SetValue(a, GAIN, 0.5, error));
    int cap = r.eng.Record(a, OUT, error);
    ASSERT_TRUE(r.eng.Start(error));
    r.eng.Run(50);  // the last block is shorter
    const std::vector<float>& out = r.eng.Captured(cap);
    ASSERT_EQ(out.size(), 50u);
    for (int k = 0; k < 50; ++k) EXPECT_EQ(out[k], 0.5f * k);
    EXPECT_TRUE(r.Of(a, TraceKind::Sleep).empty());
    EXPECT_EQ(r.Of(a, TraceKind::ProcessCall).back().value, 2);
}

TEST(Engine, GuiPinsNoticesAndSharedPins) {
    Rig r;
    Instance& a = r.Add("a");
    ASSERT_TRUE(a.HasGui());
    std::string error;
    ASSERT_TRUE(r.eng.Start(error));
    r.eng.Run(64);
    // A user change of the shared pin reaches the DSP side as a status event;
    // the module's notice reaches the GUI side, which counts it on Panel.
    r.eng.GuiPut(a, SHARED, 3.0f);
    r.eng.Run(64);
    EXPECT_EQ(a.GuiFloat(SHARED), 3.0f);
    auto notices = r.Of(a, TraceKind::NotifyGui);
    ASSERT_EQ(notices.size(), 2u);  // start-up status and the change
    EXPECT_EQ(notices[1].clock, 64);
    r.eng.RunGuiWork();
    EXPECT_EQ(a.GuiFloat(PANEL), 2.0f);
    auto changed = r.Of(a, TraceKind::GuiChanged);
    EXPECT_FALSE(changed.empty());
}

}  // namespace
