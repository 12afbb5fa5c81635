// The dB-to-level converter through the host: its values, its accuracy
// against 2^(5x/3), and what each mode announces and when it sleeps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine.h"

using namespace kvhost;

namespace {

enum { IN = 0, OUT = 1, MODE = 2 };
enum { STEP = 0, REALTIME = 1, BLOCK_STATUS = 2, BLOCK_STREAM = 3 };

struct Rig {
    explicit Rig(int mode, int blockSize = 64) : eng(48000.0, blockSize) {
        std::string error;
        lib = Library::Load(DeliverablePath(KV_PLUGIN_DIR, "QM_dB_to_Level(Volts)"), error);
        EXPECT_TRUE(lib) << error;
        db = eng.Add("db", *lib, error);
        EXPECT_TRUE(db) << error;
        eng.SetValue(*db, MODE, mode, error);
        eng.tracing = true;
        out = eng.Record(*db, OUT, error);
    }
    void Start() {
        std::string error;
        ASSERT_TRUE(eng.Start(error)) << error;
    }
    std::vector<TraceEntry> Of(TraceKind kind) const {
        std::vector<TraceEntry> v;
        for (const TraceEntry& t : eng.trace)
            if (t.kind == kind) v.push_back(t);
        return v;
    }
    const std::vector<float>& Out() const { return eng.Captured(out); }
    std::unique_ptr<Library> lib;
    Engine eng;
    Instance* db = nullptr;
    int out = -1;
};

// A static input of `x` (module units) converted once.
float Convert(float x) {
    Rig r(BLOCK_STATUS, 8);
    std::string error;
    r.eng.SetValue(*r.db, IN, x, error);
    r.Start();
    r.eng.Run(8);
    return r.Out()[0];
}

TEST(DbToLevel, ListedValuesExactly) {
    struct Case {
        float in, out;
    } cases[] = {
        {0.0f, 1.0f},         {0.6f, 2.0f},      {-0.6f, 0.49999997f},        {1.0f, 3.1748025f},
        {-6.0f, 0.0009765625f}, {18.0f, 1073741824.0f}, {-18.0f, 9.313226e-10f},
    };
    for (const Case& c : cases) EXPECT_EQ(Convert(c.in), c.out) << "input " << c.in;
}

TEST(DbToLevel, FollowsTwoToTheFiveThirdsPowerAcrossTheRange) {
    // Streaming sweep from -18 to 18.5 in Realtime mode, against double
    // precision exp2. Linear interpolation over 1/512 octave steps is good to
    // (ln 2 / 512)^2 / 8 = 2.3e-7 relative; table and output rounding add
    // about 1.2e-7.
    const int n = 36500;
    Rig r(REALTIME, 256);
    std::string error;
    ASSERT_TRUE(r.eng.SetGenerator(*r.db, IN, [](int64_t start, float* out, int count) {
        for (int k = 0; k < count; ++k) out[k] = static_cast<float>(-18.0 + 0.001 * static_cast<double>(start + k));
    }, error));
    r.Start();
    r.eng.Run(n);
    double worst = 0.0;
    for (int i = 0; i < n; ++i) {
        double x = static_cast<float>(-18.0 + 0.001 * i);
        double expected = std::exp2(5.0 * x / 3.0);
        worst = std::max(worst, std::abs(r.Out()[i] / expected - 1.0));
    }
    EXPECT_LT(worst, 4e-7);
    EXPECT_GT(worst, 1e-8);  // it is a table, not a library call
}

TEST(DbToLevel, OutsideTheTableTheNearestEndHolds) {
    EXPECT_EQ(Convert(-18.5f), std::ldexp(1.0f, -30));
    EXPECT_EQ(Convert(-1e30f), std::ldexp(1.0f, -30));
    EXPECT_EQ(Convert(std::numeric_limits<float>::quiet_NaN()), std::ldexp(1.0f, -30));
    EXPECT_EQ(Convert(18.6f), std::ldexp(1.0f, 31));
    EXPECT_EQ(Convert(std::numeric_limits<float>::infinity()), std::ldexp(1.0f, 31));
}

TEST(DbToLevel, StepModeHoldsTheValueCapturedAtTheLastStatusChange) {
    Rig r(STEP, 32);
    std::string error;
    r.eng.AddStep(*r.db, IN, 40, 0.6, error);
    r.Start();
    r.eng.Run(96);
    EXPECT_EQ(r.Out()[0], 1.0f);  // 0 dB before any change
    EXPECT_EQ(r.Out()[39], 1.0f);
    EXPECT_EQ(r.Out()[40], 2.0f);
    auto sent = r.Of(TraceKind::StatusOut);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].clock, 0);
    EXPECT_EQ(sent[0].status, PS_ONE_SHOT);
    EXPECT_EQ(sent[1].clock, 40);
    EXPECT_EQ(sent[1].status, PS_ONE_SHOT);
}

TEST(DbToLevel, ModeChangeAloneReannouncesTheValue) {
    Rig r(BLOCK_STATUS, 32);
    std::string error;
    r.eng.AddStep(*r.db, MODE, 100, STEP, error);
    r.Start();
    r.eng.Run(160);
    auto sent = r.Of(TraceKind::StatusOut);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].clock, 100);
    EXPECT_EQ(sent[1].status, PS_ONE_SHOT);
}

TEST(DbToLevel, StaticInputSleepsAfterOneBlockLengthStreamingNever) {
    {
        Rig r(REALTIME, 64);
        std::string error;
        r.eng.AddStep(*r.db, IN, 200, 0.3, error);
        r.Start();
        r.eng.Run(512);
        auto sleeps = r.Of(TraceKind::Sleep);
        ASSERT_EQ(sleeps.size(), 2u);
        EXPECT_EQ(sleeps[0].clock, 0);    // the call that completes 64 samples after start-up
        EXPECT_EQ(sleeps[1].clock, 256);  // 56 + 64 samples after the change at 200
        auto calls = r.Of(TraceKind::ProcessCall);
        EXPECT_EQ(calls.size(), 3u);      // [0, 64), [200, 256), [256, 320), then asleep
        EXPECT_EQ(calls.back().clock, 256);
    }
    {
        Rig r(REALTIME, 64);
        std::string error;
        r.eng.SetGenerator(*r.db, IN, [](int64_t, float* out, int n) { std::fill(out, out + n, 0.1f); }, error);
        r.Start();
        r.eng.Run(256);
        EXPECT_TRUE(r.Of(TraceKind::Sleep).empty());
        auto sent = r.Of(TraceKind::StatusOut);  // at each start-up status
        ASSERT_FALSE(sent.empty());
        for (const TraceEntry& t : sent) EXPECT_EQ(t.status, PS_STREAMING);
    }
}

TEST(DbToLevel, BlockStreamHoldsTheFirstSampleOfEachBlockAndStaysStreaming) {
    Rig r(BLOCK_STREAM, 16);
    std::string error;
    r.eng.SetGenerator(*r.db, IN, [](int64_t start, float* out, int n) {
        for (int k = 0; k < n; ++k) out[k] = 0.01f * static_cast<float>(start + k);
    }, error);
    r.Start();
    r.eng.Run(64);
    for (int b = 0; b < 4; ++b) {
        float first = Convert(0.01f * static_cast<float>(16 * b));
        for (int k = 0; k < 16; ++k) EXPECT_EQ(r.Out()[16 * b + k], first) << "sample " << 16 * b + k;
    }
    auto sent = r.Of(TraceKind::StatusOut);
    ASSERT_FALSE(sent.empty());
    for (const TraceEntry& t : sent) EXPECT_EQ(t.status, PS_STREAMING);
    EXPECT_TRUE(r.Of(TraceKind::Sleep).empty());
}

TEST(DbToLevel, RealtimeStreamingConvertsEverySample) {
    Rig r(REALTIME, 16);
    std::string error;
    r.eng.SetGenerator(*r.db, IN, [](int64_t start, float* out, int n) {
        for (int k = 0; k < n; ++k) out[k] = (start + k) % 2 ? 0.6f : 0.0f;
    }, error);
    r.Start();
    r.eng.Run(32);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(r.Out()[i], i % 2 ? 2.0f : 1.0f);
}

}  // namespace
