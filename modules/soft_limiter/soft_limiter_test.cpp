// The soft limiter through the host: its curve at the named points and
// against a long-double evaluation of t + k * 10e / (1 + 10e), Squash as a
// per-call setting, the output statuses by mode and the sleep requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine.h"
#include "soft_limiter.h"

using namespace kvhost;

namespace {

enum { SIGNAL_IN = 0, THRESHOLD = 1, DRIVE = 2, SQUASH = 3, MODE = 4, OUT = 5 };
enum { OFF = 0, BYPASS = 1, LIMIT = 2 };

Library& LimiterLib() {
    static std::unique_ptr<Library> lib = [] {
        std::string error;
        auto l = Library::Load(DeliverablePath(KV_PLUGIN_DIR, "QM_Soft_Limit_Drive"), error);
        EXPECT_TRUE(l) << error;
        return l;
    }();
    return *lib;
}

// One limiter in an engine; inputs in module units (1.0 is 10 V).
struct Rig {
    explicit Rig(int blockSize = 64) : eng(48000.0, blockSize) {
        eng.tracing = true;
        std::string error;
        lim = eng.Add("lim", LimiterLib(), error);
        EXPECT_TRUE(lim) << error;
        out = eng.Record(*lim, OUT, error);
    }
    void Set(int pin, double v) {
        std::string error;
        EXPECT_TRUE(eng.SetValue(*lim, pin, v, error)) << error;
    }
    // A streaming input that plays `values` one per sample, then holds the last.
    void Stream(int pin, std::vector<float> values) {
        std::string error;
        EXPECT_TRUE(eng.SetGenerator(
            *lim, pin,
            [values](int64_t start, float* buf, int n) {
                for (int i = 0; i < n; ++i)
                    buf[i] = values[static_cast<size_t>(std::min<int64_t>(start + i, values.size() - 1))];
            },
            error))
            << error;
    }
    void Step(int pin, int64_t at, double v) {
        std::string error;
        EXPECT_TRUE(eng.AddStep(*lim, pin, at, v, error)) << error;
    }
    void Start() {
        std::string error;
        EXPECT_TRUE(eng.Start(error)) << error;
    }
    std::vector<float> Output(int64_t samples) {
        Start();
        eng.Run(samples);
        return eng.Captured(out);
    }
    std::vector<TraceEntry> Of(TraceKind kind) const {
        std::vector<TraceEntry> r;
        for (const TraceEntry& t : eng.trace)
            if (t.instance == lim && t.kind == kind) r.push_back(t);
        return r;
    }
    // The last output status announced at `clock`, or -1.
    int StatusAt(int64_t clock) const {
        int s = -1;
        for (const TraceEntry& t : Of(TraceKind::StatusOut))
            if (t.clock == clock) s = t.status;
        return s;
    }
    std::vector<int64_t> Clocks(TraceKind kind) const {
        std::vector<int64_t> r;
        for (const TraceEntry& t : Of(kind)) r.push_back(t.clock);
        return r;
    }
    Engine eng;
    Instance* lim = nullptr;
    int out = -1;
};

// The curve in long double: x the driven input, t the threshold, q the squash
// value; k is q^2 times the float 0.1, rounded to float.
long double Curve(long double x, long double t, float q) {
    long double k = static_cast<float>(static_cast<long double>(q) * q * static_cast<long double>(0.1f));
    long double e = std::fabs(x) - t;
    if (!(e > 0)) return x;
    long double y = t + k * (10 * e) / (1 + 10 * e);
    return x < 0 ? -y : y;
}

TEST(SoftLimiter, PropertiesAndPinTable) {
    Library& lib = LimiterLib();
    EXPECT_STREQ(lib.Properties().name, "QM_Soft_Limit_Drive");
    EXPECT_STREQ(lib.Properties().id, "Soft_Limit_Drive_Squash_QM2009");
    EXPECT_EQ(lib.Properties().sdkVersion, 2240);
    std::string about = lib.Properties().about;
    EXPECT_EQ(about.rfind("Soft Limiter with 'Drive' and 'Squash'\nVer:2.90", 0), 0u) << about;
    EXPECT_NE(about.find("\n\nFeatures:\nModes: Off, Bypass, On\nSquash: (*)Note this is a setting and does not "
                         "respond to realtime modulation\n\n"),
              std::string::npos);

    struct Row {
        const char* name;
        int direction;
        int datatype;
        const char* def;  // null: none
        const char* list;
    };
    const Row rows[] = {
        {"Signal_In", DR_IN, DT_FSAMPLE, nullptr, ""},
        {"Threshold", DR_IN, DT_FSAMPLE, "5.00", "10,0,10,0"},
        {"Drive", DR_IN, DT_FSAMPLE, "10", "100,10,100,10"},
        {"Squash", DR_IN, DT_FSAMPLE, "10.00", "20,0,20,0"},
        {"Mode", DR_IN, DT_CHOICE, "0", "Off,Bypass,Limit"},
        {"Out", DR_OUT, DT_FSAMPLE, nullptr, ""},
    };
    Rig r;
    const auto& d = r.lim->Descriptions();
    ASSERT_EQ(d.size(), 6u);
    for (size_t i = 0; i < d.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(d[i].name, rows[i].name);
        EXPECT_EQ(d[i].dsp_index, static_cast<int>(i));
        EXPECT_EQ(d[i].direction, rows[i].direction);
        EXPECT_EQ(d[i].datatype, rows[i].datatype);
        EXPECT_EQ(d[i].has_default, rows[i].def != nullptr);
        if (rows[i].def) {
            EXPECT_EQ(d[i].default_text, rows[i].def);
        }
        EXPECT_EQ(d[i].list, rows[i].list);
        EXPECT_EQ(d[i].flags, 0);
    }
}

// The named points, one per sample of a streaming input: Drive 1.0,
// Threshold 0.5 (5 V).
TEST(SoftLimiter, NamedPointsOfTheCurve) {
    struct Case {
        float squash;
        float in;
        float expected;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1.0f, 0.4f, 0.4f},     // below the threshold: unchanged
        {1.0f, 0.5f, 0.5f},     // exactly at it: unchanged (the excess must be positive)
        {1.0f, -0.5f, -0.5f},
        {1.0f, 0.6f, 0.55f},    // e = 0.1: 0.5 + 0.1 * 1 / 2
        {1.0f, -0.6f, -0.55f},
        {0.0f, 0.8f, 0.5f},     // Squash 0: a hard clip at +-t
        {0.0f, -3.0f, -0.5f},
        {0.0f, 1e30f, 0.5f},
        {2.0f, 1e6f, 0.9f},     // Squash 2: the ceiling t + k = 0.9
        {2.0f, -1e6f, -0.9f},
        {2.0f, 1e30f, 0.9f},
        {2.0f, inf, 0.9f},      // an infinite input sits on the ceiling, not NaN
        {2.0f, -inf, -0.9f},
        {0.0f, inf, 0.5f},
    };
    for (const Case& c : cases) {
        Rig r;
        r.Set(MODE, LIMIT);
        r.Set(THRESHOLD, 0.5);
        r.Set(DRIVE, 1.0);
        r.Set(SQUASH, c.squash);
        r.Stream(SIGNAL_IN, {c.in});
        std::vector<float> out = r.Output(64);
        EXPECT_EQ(out[0], c.expected) << "squash " << c.squash << " in " << c.in;
        EXPECT_EQ(out[63], c.expected) << "squash " << c.squash << " in " << c.in;
    }
}

TEST(SoftLimiter, NanPassesThrough) {
    Rig r;
    r.Set(MODE, LIMIT);
    r.Stream(SIGNAL_IN, {std::numeric_limits<float>::quiet_NaN()});
    EXPECT_TRUE(std::isnan(r.Output(64)[0]));
}

// A sweep of inputs through the curve for several squash values, with a static
// and with a streaming threshold, against the long-double curve; plus the
// shape: monotone, symmetric, below t + k, slope q^2 just above t.
TEST(SoftLimiter, SweepFollowsTheCurve) {
    std::vector<float> in;
    for (int i = -3000; i <= 3000; ++i) in.push_back(static_cast<float>(i) / 1000.0f);
    const int n = static_cast<int>(in.size());
    for (float q : {0.0f, 0.25f, 1.0f, 1.5f, 2.0f}) {
        for (bool streamingThreshold : {false, true}) {
            SCOPED_TRACE("squash " + std::to_string(q) + (streamingThreshold ? " streaming" : " static"));
            Rig r;
            r.Set(MODE, LIMIT);
            r.Set(SQUASH, q);
            r.Set(DRIVE, 1.0);
            if (streamingThreshold) {
                r.Stream(THRESHOLD, {0.5f});
            } else {
                r.Set(THRESHOLD, 0.5);
            }
            r.Stream(SIGNAL_IN, in);
            std::vector<float> out = r.Output(n);
            const long double ceiling = Curve(1e300L, 0.5L, q);
            for (int i = 0; i < n; ++i) {
                long double ref = Curve(in[i], 0.5L, q);
                ASSERT_LE(std::fabs(out[i] - ref), std::ldexp(std::fabs(ref), -23)) << "in " << in[i];
                ASSERT_LE(std::fabs(out[i]), ceiling) << "in " << in[i];
                ASSERT_EQ(out[i], -out[n - 1 - i]) << "in " << in[i];  // odd symmetry
                if (i > 0) {
                    ASSERT_GE(out[i], out[i - 1]) << "in " << in[i];
                }
            }
            // Just above the threshold the slope is q^2: 0.5 + d gives 0.5 + q^2 d.
            int at = 3000 + 501;  // in = 0.501
            double slope = (out[at] - 0.5) / (static_cast<double>(in[at]) - 0.5);
            EXPECT_NEAR(slope, q * q, 0.02 * q * q + 1e-4);
        }
    }
}

// x = input * Drive; the threshold read per sample while it streams.
TEST(SoftLimiter, DriveMultipliesAndAStreamingThresholdIsReadPerSample) {
    Rig r;
    r.Set(MODE, LIMIT);
    r.Set(SQUASH, 1.0);
    r.Stream(SIGNAL_IN, {0.3f, 0.3f, -0.3f, 0.3f});
    r.Stream(DRIVE, {2.0f, 1.0f, 2.0f, 2.0f});
    r.Stream(THRESHOLD, {0.5f, 0.5f, 0.5f, 0.7f});
    std::vector<float> out = r.Output(4);
    EXPECT_EQ(out[0], 0.55f);   // 0.3 * 2 = 0.6 over 0.5
    EXPECT_EQ(out[1], 0.3f);    // 0.3 * 1 below 0.5
    EXPECT_EQ(out[2], -0.55f);
    EXPECT_FLOAT_EQ(out[3], 0.6f);  // 0.6 below the threshold 0.7: unchanged
}

// Squash is read at the first sample of each call: changes inside a call do
// not reach the curve until the next call.
TEST(SoftLimiter, SquashIsTakenOncePerCall) {
    Rig r(64);
    r.Set(MODE, LIMIT);
    r.Stream(SIGNAL_IN, {3.0f});
    std::vector<float> squash(256, 0.0f);
    for (int i = 0; i < 256; ++i) squash[i] = (i % 64) < 32 ? 0.0f : 2.0f;  // 0 at each block start
    squash.resize(64 * 4);
    r.Stream(SQUASH, squash);
    std::vector<float> out = r.Output(256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(out[i], 0.5f) << i;  // hard clip throughout
}

// Output statuses and sleep requests as the mode and the input statuses decide.
TEST(SoftLimiter, OutputStatusByModeAndInputs) {
    struct Case {
        const char* what;
        int mode;
        bool inputStreams;
        float input;  // static value, or the streamed value
        bool thresholdStreams;
        bool driveStreams;
        bool squashStreams;
        int status;
    };
    const Case cases[] = {
        {"limit, all static", LIMIT, false, 0.4f, false, false, false, PS_ONE_SHOT},
        {"limit, input streams", LIMIT, true, 0.4f, false, false, false, PS_STREAMING},
        {"limit, threshold streams", LIMIT, false, 0.4f, true, false, false, PS_STREAMING},
        {"limit, zero input, threshold streams", LIMIT, false, 0.0f, true, false, false, PS_ONE_SHOT},
        {"limit, drive streams", LIMIT, false, 0.4f, false, true, false, PS_ONE_SHOT},
        {"limit, squash streams", LIMIT, false, 0.4f, false, false, true, PS_ONE_SHOT},
        {"unknown mode before any routine: silence", 7, true, 0.4f, true, false, false, PS_ONE_SHOT},
        {"bypass, input streams", BYPASS, true, 0.4f, false, false, false, PS_STREAMING},
        {"bypass, static input", BYPASS, false, 0.4f, true, false, false, PS_ONE_SHOT},
        {"off, everything streams", OFF, true, 0.4f, true, true, true, PS_ONE_SHOT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r(64);
        r.Set(MODE, c.mode);
        if (c.inputStreams) {
            r.Stream(SIGNAL_IN, {c.input});
        } else {
            r.Set(SIGNAL_IN, c.input);
        }
        if (c.thresholdStreams) r.Stream(THRESHOLD, {0.5f});
        if (c.driveStreams) r.Stream(DRIVE, {1.0f, 2.0f, 1.0f});
        if (c.squashStreams) r.Stream(SQUASH, {1.0f, 0.0f, 2.0f});
        r.Output(64 * 4);
        EXPECT_EQ(r.StatusAt(0), c.status);
        std::vector<int64_t> sleeps = r.Clocks(TraceKind::Sleep);
        if (c.status == PS_ONE_SHOT) {
            // One block counted down, then a request; no call after it.
            ASSERT_EQ(sleeps.size(), 1u);
            EXPECT_EQ(sleeps[0], 0);
            EXPECT_EQ(r.Of(TraceKind::ProcessCall).size(), 1u);
        } else {
            EXPECT_TRUE(sleeps.empty());
            EXPECT_EQ(r.Of(TraceKind::ProcessCall).size(), 4u);
        }
    }
}

// The limiter's output while it sleeps is the block it computed last: a static
// input gives one value throughout.
TEST(SoftLimiter, StaticLimitGivesOneBlockThenSleeps) {
    Rig r(64);
    r.Set(MODE, LIMIT);
    r.Set(SIGNAL_IN, 0.4);
    r.Set(THRESHOLD, 0.5);
    r.Set(DRIVE, 1.0);
    std::vector<float> out = r.Output(64 * 3);
    EXPECT_EQ(r.StatusAt(0), PS_ONE_SHOT);
    for (float v : out) ASSERT_EQ(v, 0.4f);
}

// Threshold changes send a status only in Limit; a sleeping module wakes on
// them and counts one more block down before asking again.
TEST(SoftLimiter, ThresholdChangesAnnounceOnlyInLimit) {
    for (int mode : {OFF, BYPASS, LIMIT}) {
        SCOPED_TRACE(mode);
        Rig r(64);
        r.Set(MODE, mode);
        r.Set(SIGNAL_IN, 0.8);
        r.Step(THRESHOLD, 100, 0.6);
        r.Output(64 * 4);
        EXPECT_EQ(r.StatusAt(100), mode == LIMIT ? PS_ONE_SHOT : -1);
    }
    Rig r(64);
    r.Set(MODE, LIMIT);
    r.Set(SQUASH, 0.0);
    r.Set(SIGNAL_IN, 0.8);
    r.Step(THRESHOLD, 100, 0.6);
    std::vector<float> out = r.Output(64 * 4);
    EXPECT_EQ(out[99], 0.5f);
    EXPECT_EQ(out[100], 0.6f);
    EXPECT_EQ(out[255], 0.6f);
    // Sleep at the end of the first block; woken at 100, the count of 64 runs
    // out in the call that starts at 128 (36 + 64 samples).
    EXPECT_EQ(r.Clocks(TraceKind::Sleep), (std::vector<int64_t>{0, 128}));
}

// Off: zeros for one block, one sleep request, ProcessIdle installed; nothing
// is written until Mode changes, and Bypass then copies the input again.
TEST(SoftLimiter, OffSleepsOnceThenIdlesUntilModeChanges) {
    Rig r(64);
    r.Set(MODE, OFF);
    std::vector<float> ramp(64 * 6);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.001f * static_cast<float>(i + 1);
    r.Stream(SIGNAL_IN, ramp);
    r.Step(MODE, 200, BYPASS);
    std::vector<float> out = r.Output(64 * 6);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(out[i], 0.0f) << i;
    for (int i = 200; i < 64 * 6; ++i) ASSERT_EQ(out[i], ramp[i]) << i;  // bit for bit
    EXPECT_EQ(r.Clocks(TraceKind::Sleep), (std::vector<int64_t>{0}));
    // Calls: the Off block, then none until the Mode step wakes it at 200.
    std::vector<int64_t> calls = r.Clocks(TraceKind::ProcessCall);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], 0);
    EXPECT_EQ(calls[1], 200);
    // Routine changes: Off at start-up, Idle after the sleep, Bypass at 200.
    EXPECT_EQ(r.Clocks(TraceKind::ProcessChanged), (std::vector<int64_t>{0, 0, 200}));
    EXPECT_EQ(r.StatusAt(0), PS_ONE_SHOT);
    EXPECT_EQ(r.StatusAt(200), PS_STREAMING);
}

// After Off has slept, another input's change wakes the module into
// ProcessIdle: the output stays silent and nothing is written.
TEST(SoftLimiter, IdleAfterOffWritesNothing) {
    Rig r(64);
    r.Set(MODE, OFF);
    r.Set(SIGNAL_IN, 0.3);
    r.Step(DRIVE, 100, 2.0);
    std::vector<float> out = r.Output(64 * 3);
    for (float v : out) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(r.Clocks(TraceKind::Sleep), (std::vector<int64_t>{0}));
    EXPECT_EQ(r.StatusAt(100), PS_ONE_SHOT);
}

// A Mode value outside the list keeps the routine that runs, and the output
// status follows that routine: a copy still streams, a limiter still answers
// threshold changes, silence stays static (the module sleeps through it).
TEST(SoftLimiter, UnknownModeKeepsTheRoutineAndItsStatus) {
    {
        Rig r(64);
        r.Set(MODE, BYPASS);
        r.Stream(SIGNAL_IN, {0.9f});
        r.Step(MODE, 64, 5);
        std::vector<float> out = r.Output(128);
        EXPECT_EQ(out[127], 0.9f);  // still a copy, not limited
        EXPECT_EQ(r.Clocks(TraceKind::ProcessChanged), (std::vector<int64_t>{0}));
        EXPECT_EQ(r.StatusAt(64), PS_STREAMING);
    }
    {
        Rig r(64);
        r.Set(MODE, LIMIT);
        r.Set(SQUASH, 0.0);
        r.Set(SIGNAL_IN, 0.8);
        r.Step(MODE, 64, -1);
        r.Step(THRESHOLD, 100, 0.6);
        std::vector<float> out = r.Output(256);
        EXPECT_EQ(out[99], 0.5f);
        EXPECT_EQ(out[100], 0.6f);  // the limiter runs on
        EXPECT_EQ(r.StatusAt(100), PS_ONE_SHOT);  // and its change is announced
    }
    {
        Rig r(64);
        r.Set(MODE, OFF);
        r.Stream(SIGNAL_IN, {0.9f});
        r.Stream(THRESHOLD, {0.5f});
        r.Step(MODE, 100, 32767);
        std::vector<float> out = r.Output(256);
        for (float v : out) ASSERT_EQ(v, 0.0f);
        EXPECT_EQ(r.StatusAt(100), PS_ONE_SHOT);  // silent, not streaming
        EXPECT_EQ(r.Clocks(TraceKind::ProcessChanged), (std::vector<int64_t>{0, 0}));  // Off, then Idle
    }
}

// The block loop that the module runs gives the bits of the one-sample
// definition for any input: ordinary, at the threshold, zeros of both signs,
// denormals, huge, infinite and NaN values, odd lengths, both threshold kinds.
TEST(SoftLimiter, BlockLoopMatchesTheSampleDefinitionBitForBit) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> wide(-4.0f, 4.0f);
    const float inf = std::numeric_limits<float>::infinity();
    const float special[] = {0.0f, -0.0f, 0.5f, -0.5f, 1e-40f, -1e-40f, 3e38f, -3e38f, inf, -inf,
                             std::numeric_limits<float>::quiet_NaN()};
    const int n = 1001;
    std::vector<float> in(n), drive(n), threshold(n), fast(n), plain(n);
    for (int i = 0; i < n; ++i) {
        in[i] = i % 7 == 0 ? special[(i / 7) % 11] : wide(rng);
        drive[i] = i % 13 == 0 ? special[(i / 13) % 11] : wide(rng) * 2.0f;
        threshold[i] = i % 17 == 0 ? special[(i / 17) % 11] : wide(rng);
    }
    for (float q : {0.0f, 1.0f, 1.9f}) {
        const float k = soft_limiter::SquashCoefficient(q);
        for (int len : {n, n - 1, 1}) {
            for (const float* t : {static_cast<const float*>(nullptr), static_cast<const float*>(threshold.data())}) {
                soft_limiter::LimitBlock(in.data(), drive.data(), t, 0.5f, k, fast.data(), len);
                soft_limiter::LimitBlockPlain(in.data(), drive.data(), t, 0.5f, k, plain.data(), len);
                ASSERT_EQ(std::memcmp(fast.data(), plain.data(), len * sizeof(float)), 0)
                    << "squash " << q << " length " << len << (t ? " streaming" : " static");
            }
        }
    }
    // k is q^2 times the float 0.1, rounded to float.
    EXPECT_EQ(soft_limiter::SquashCoefficient(1.0f), 0.1f);
    EXPECT_EQ(soft_limiter::SquashCoefficient(2.0f), static_cast<float>(4.0 * static_cast<double>(0.1f)));
    EXPECT_EQ(soft_limiter::SquashCoefficient(0.0f), 0.0f);
}

}  // namespace
