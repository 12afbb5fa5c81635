// The chorus driver through the host: pitch in the three volt modes, phase
// offsets, sync, the waveform tables, silence and sleep, and hostile inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "chorus_driver.h"
#include "engine.h"
#include "library.h"
#include "module_rig.h"

namespace {

enum Pin {
    PITCH = 0,
    SYNC = 1,
    WAVE1 = 2,
    PHASE1 = 6,
    OUT1 = 10,
    ACCURACY = 14,
    VOLT_MODE = 15,
    ACTIVE = 16,
};

constexpr double kPi = 3.14159265358979323846;

// One driver instance in a host engine; every call's failure fails the test.
struct Rig : kvhost::ModuleRig {
    Rig(double sampleRate, int blockSize)
        : ModuleRig(KV_PLUGIN_DIR, "QM_Chorus_Driver4", "drv", sampleRate, blockSize) {
        EXPECT_TRUE(ok) << error;
    }
    ~Rig() { EXPECT_TRUE(ok) << error; }
    const chorus_driver::Module& Dsp() const { return ModuleObject<chorus_driver::Module>(); }
};

// Frequency from the rising zero crossings, each placed between its samples.
double MeasureFrequency(const std::vector<float>& s, double sampleRate) {
    double first = -1.0, last = -1.0;
    int cycles = -1;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0.0f && s[i] >= 0.0f) {
            double t = (i - 1) + s[i - 1] / (static_cast<double>(s[i - 1]) - s[i]);
            if (first < 0.0) first = t;
            last = t;
            ++cycles;
        }
    }
    if (cycles < 1) return 0.0;
    return cycles * sampleRate / (last - first);
}

// ---- properties and pins ------------------------------------------------------

TEST(ChorusDriver, PropertiesAndPins) {
    Rig rig(48000.0, 64);
    const KVModuleProperties& p = rig.lib->Properties();
    EXPECT_STREQ(p.name, "QM_Chorus_Driver4");
    EXPECT_STREQ(p.id, "Chorus_Driver4a_QM2004");
    EXPECT_EQ(p.sdkVersion, 2240);
    std::string about = p.about;
    EXPECT_EQ(about.rfind("Chorus Driver: Up to 4 different Waveforms\nVer:2.90", 0), 0u);
    EXPECT_NE(about.find("\n   *Note: Does Not support Realtime Phase Modulation\n"), std::string::npos);
    EXPECT_EQ(about.substr(about.size() - 20), "\nAdaptive Processing");

    const auto& d = rig.inst->Descriptions();
    ASSERT_EQ(d.size(), 17u);
    struct Expect {
        int index;
        const char* name;
        int direction, datatype;
        const char* def;
        const char* list;
    };
    const Expect pins[] = {
        {0, "Pitch", DR_IN, DT_FSAMPLE, "5.000", ""},
        {1, "Sync", DR_IN, DT_FSAMPLE, "0.0", ""},
        {5, "Waveform4", DR_IN, DT_CHOICE, "0", "Sine,Tri,Peak,Dip,Hump,Noise"},
        {6, "Phase1: +/-10*", DR_IN, DT_FSAMPLE, "0.0", ""},
        {13, "Out 4", DR_OUT, DT_FSAMPLE, "", ""},
        {14, "PitchMod Accuracy", DR_IN, DT_CHOICE, "1", "Low,High"},
        {15, "Pitch Volt Mode", DR_IN, DT_CHOICE, "0", "Oct,Khz,Hz"},
        {16, "Active", DR_IN, DT_CHOICE, "1", "OFF,ON"},
    };
    for (const Expect& e : pins) {
        const auto& pin = d[e.index];
        EXPECT_EQ(pin.name, e.name);
        EXPECT_EQ(pin.direction, e.direction) << e.name;
        EXPECT_EQ(pin.datatype, e.datatype) << e.name;
        EXPECT_EQ(pin.default_text, e.def) << e.name;
        EXPECT_EQ(pin.list, e.list) << e.name;
        EXPECT_EQ(pin.flags, 0) << e.name;
    }
}

// ---- pitch -------------------------------------------------------------------

struct PitchCase {
    int mode;       // 0 Oct, 1 Khz, 2 Hz
    double volts;
    double hz;      // expected frequency
    double seconds; // render length
};

class DriverPitch : public ::testing::TestWithParam<PitchCase> {};

// Every routine that can run for a pitch gives the frequency of the mode:
// static pitch (block routine), streaming with High (per-sample) and with Low
// accuracy (block routine).
TEST_P(DriverPitch, FrequencyInEveryRoutine) {
    const PitchCase c = GetParam();
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        Rig rig(48000.0, 64);
        rig.Set(VOLT_MODE, c.mode);
        float value = static_cast<float>(c.volts / 10.0);
        if (variant == 0) {
            rig.Set(PITCH, value);
        } else {
            rig.Stream(PITCH, [value](int64_t) { return value; });
            rig.Set(ACCURACY, variant == 1 ? 1 : 0);
        }
        int out = rig.Record(OUT1);
        rig.Start();
        rig.Run(static_cast<int64_t>(c.seconds * 48000.0));
        EXPECT_NEAR(MeasureFrequency(rig.Out(out), 48000.0), c.hz, c.hz * 2e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DriverPitch,
                         ::testing::Values(PitchCase{0, 5.0, 440.0, 0.2}, PitchCase{0, 0.0, 13.75, 1.5},
                                           PitchCase{0, -1.0, 6.875, 2.5}, PitchCase{0, 3.3, 13.75 * std::exp2(3.3), 0.5},
                                           PitchCase{1, 1.0, 1000.0, 0.1}, PitchCase{1, 0.25, 250.0, 0.2},
                                           PitchCase{2, 1.0, 1.0, 3.2}, PitchCase{2, 7.5, 7.5, 1.0}));

// In Low accuracy a streaming pitch counts once per call: the phase steps by
// one increment for the whole call. Tri rises by 2 per cycle from phase 0 to
// 0.25, so its sample differences show the increment.
TEST(ChorusDriver, LowAccuracySamplesPitchOncePerCall) {
    Rig rig(48000.0, 32);
    rig.Set(VOLT_MODE, 1);  // Khz
    rig.Set(ACCURACY, 0);
    rig.Set(WAVE1, 1);      // Tri
    rig.Stream(PITCH, [](int64_t t) { return static_cast<float>(0.002 + 0.00001 * t); });
    int out = rig.Record(OUT1);
    rig.Start();
    rig.Run(128);
    const auto& s = rig.Out(out);
    for (int call = 0; call < 4; ++call) {
        double inc = static_cast<float>(0.002 + 0.00001 * 32 * call) / 4.8;  // cycles per sample
        for (int i = call * 32; i < call * 32 + 31; ++i) {
            EXPECT_NEAR(s[i + 1] - s[i], 2.0 * inc, 1e-6) << i;
        }
    }
}

// ---- phase offsets -----------------------------------------------------------

// Offsets in table steps: 10 V (1.0) is 512, the same as 0; -2.5 V is -128,
// read as 384 (three quarters of a cycle).
TEST(ChorusDriver, PhaseOffsets) {
    Rig rig(48000.0, 64);
    rig.Set(VOLT_MODE, 2);  // Hz
    rig.Set(PITCH, 100.0 / 10.0);
    rig.Set(PHASE1 + 1, 1.0);
    rig.Set(PHASE1 + 2, -0.25);
    rig.Set(PHASE1 + 3, 0.5);
    int out[4];
    for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
    rig.Start();
    rig.Run(2000);
    for (int t = 0; t < 2000; ++t) {
        double x = 100.0 * t / 48000.0;  // cycles
        ASSERT_EQ(rig.Out(out[1])[t], rig.Out(out[0])[t]) << t;
        ASSERT_NEAR(rig.Out(out[0])[t], 0.5 * std::sin(2 * kPi * x), 2e-5) << t;
        ASSERT_NEAR(rig.Out(out[2])[t], 0.5 * std::sin(2 * kPi * (x + 0.75)), 2e-5) << t;
        ASSERT_NEAR(rig.Out(out[3])[t], -0.5 * std::sin(2 * kPi * x), 2e-5) << t;
    }
}

// A phase input is read at the first sample of each call and held for it.
TEST(ChorusDriver, PhaseChangeWaitsForNextCall) {
    Rig rig(48000.0, 64);
    rig.Set(PITCH, 0.3);
    rig.Stream(PHASE1 + 1, [](int64_t t) { return t >= 100 ? 0.25f : 0.0f; });
    int a = rig.Record(OUT1), b = rig.Record(OUT1 + 1);
    rig.Start();
    rig.Run(256);
    for (int t = 0; t < 128; ++t) ASSERT_EQ(rig.Out(a)[t], rig.Out(b)[t]) << t;
    for (int t = 128; t < 256; ++t) ASSERT_NE(rig.Out(a)[t], rig.Out(b)[t]) << t;
}

// ---- sync ----------------------------------------------------------------------

// Sync stepping from -1 to +3 crosses zero a quarter sample before the +3
// sample, so that sample reads phase 0.75 increment. Checked in both sync
// routines and with both sub-routines.
TEST(ChorusDriver, SyncPlacesPhaseAtCrossing) {
    struct Case {
        int mode;
        float pitch;
        int accuracy;
        bool streamPitch;
    };
    const Case cases[] = {{1, 0.48f, 1, true}, {1, 0.48f, 0, false}, {0, 0.5f, 1, true}, {0, 0.5f, 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode * 10 + c.accuracy);
        Rig rig(48000.0, 64);
        rig.Set(VOLT_MODE, c.mode);
        rig.Set(ACCURACY, c.accuracy);
        rig.Set(WAVE1, 1);  // Tri: 2 * phase for phase up to 0.25
        if (c.streamPitch) {
            float p = c.pitch;
            rig.Stream(PITCH, [p](int64_t) { return p; });
        } else {
            rig.Set(PITCH, c.pitch);
        }
        rig.Stream(SYNC, [](int64_t t) { return (t == 300 || t == 1000) ? 3.0f : -1.0f; });
        int out = rig.Record(OUT1);
        rig.Start();
        rig.Run(1100);
        double inc = c.mode == 1 ? c.pitch * 10.0 * 1000.0 / 48000.0 : 440.0 / 48000.0;
        const auto& s = rig.Out(out);
        for (int edge : {300, 1000}) {
            EXPECT_NEAR(s[edge], 2.0 * 0.75 * inc, 2e-6) << edge;
            EXPECT_NEAR(s[edge + 1], 2.0 * 1.75 * inc, 2e-6) << edge;
        }
    }
}

// A static Sync restarts the phase when it steps from <= 0 to > 0, and only
// then: a second step between positive values leaves the waveform as it was.
TEST(ChorusDriver, StaticSyncStep) {
    std::vector<float> runs[2];
    for (int steps = 1; steps <= 2; ++steps) {
        Rig rig(48000.0, 64);
        rig.Set(WAVE1, 1);
        rig.Set(PITCH, 0.3);
        rig.Step(SYNC, 1000, 0.5);
        if (steps == 2) rig.Step(SYNC, 2000, 0.7);
        int out = rig.Record(OUT1);
        rig.Start();
        rig.Run(3000);
        runs[steps - 1] = rig.Out(out);
    }
    const auto& s = runs[1];
    EXPECT_EQ(s[1000], 0.0f);
    EXPECT_GT(std::fabs(s[999]), 0.01f);
    for (int t = 0; t < 3000; ++t) ASSERT_NEAR(s[t], runs[0][t], 1e-6) << t;
}

// ---- tables --------------------------------------------------------------------

// Reads every table entry through the module: pitch 0 and block size 1, the
// phase input naming entry t at sample t.
std::vector<std::vector<float>> ReadTables(const int waves[4], double sampleRate) {
    Rig rig(sampleRate, 1);
    rig.Set(VOLT_MODE, 2);
    rig.Set(PITCH, 0.0);
    int out[4];
    for (int n = 0; n < 4; ++n) {
        rig.Set(WAVE1 + n, waves[n]);
        rig.Stream(PHASE1 + n, [](int64_t t) { return static_cast<float>((t + 0.5) / 512.0); });
        out[n] = rig.Record(OUT1 + n);
    }
    rig.Start();
    rig.Run(512);
    std::vector<std::vector<float>> tables;
    for (int n = 0; n < 4; ++n) tables.push_back(rig.Out(out[n]));
    return tables;
}

TEST(ChorusDriver, TableShapes) {
    const int first[4] = {0, 1, 2, 3}, second[4] = {4, 5, 0, 0};
    auto a = ReadTables(first, 48000.0);
    auto b = ReadTables(second, 48000.0);
    const auto &sine = a[0], &tri = a[1], &peak = a[2], &dip = a[3], &hump = b[0], &noise = b[1];
    for (int i = 0; i < 512; ++i) {
        double x = i / 512.0;
        double t = x < 0.25 ? 2 * x : (x < 0.75 ? 1 - 2 * x : 2 * x - 2);
        EXPECT_NEAR(sine[i], 0.5 * std::sin(2 * kPi * x), 3e-8) << i;
        EXPECT_FLOAT_EQ(tri[i], t) << i;
        EXPECT_NEAR(peak[i], 2 * t * std::fabs(t), 3e-8) << i;
        EXPECT_NEAR(dip[i], 4 * (x - 0.5) * (x - 0.5) - 0.5, 3e-8) << i;
        EXPECT_EQ(hump[i], -dip[i]) << i;
        for (const auto* w : {&sine, &tri, &peak, &dip, &hump, &noise}) {
            EXPECT_LE(std::fabs((*w)[i]), 0.5f) << i;
        }
    }
    // Landmarks: Sine and Tri start at 0 and rise; Dip +0.5 at the start and
    // -0.5 at half a cycle; Peak shares Tri's zeros and extremes.
    EXPECT_EQ(sine[0], 0.0f);
    EXPECT_GT(sine[1], 0.0f);
    EXPECT_EQ(sine[128], 0.5f);
    EXPECT_EQ(sine[256], 0.0f);
    EXPECT_EQ(sine[384], -0.5f);
    for (int i = 1; i < 256; ++i) EXPECT_EQ(sine[512 - i], -sine[i]) << i;
    EXPECT_EQ(tri[128], 0.5f);
    EXPECT_EQ(tri[384], -0.5f);
    EXPECT_EQ(dip[0], 0.5f);
    EXPECT_EQ(dip[256], -0.5f);
    EXPECT_EQ(hump[256], 0.5f);
    EXPECT_EQ(peak[0], 0.0f);
    EXPECT_EQ(peak[256], 0.0f);
    EXPECT_EQ(peak[128], 0.5f);
    EXPECT_EQ(peak[384], -0.5f);

    // Noise: top 9 bits of the LCG from seed 0x20A72090, advanced first.
    uint32_t s = 0x20A72090u;
    for (int i = 0; i < 512; ++i) {
        s = s * 196314165u + 907633515u;
        EXPECT_EQ(noise[i], static_cast<float>((s >> 23) / 512.0 - 0.5)) << i;
    }
    // The same after a rebuild at other rates.
    EXPECT_EQ(ReadTables(second, 44100.0)[1], noise);
    EXPECT_EQ(ReadTables(second, 96000.0)[1], noise);
}

// Between entries the output interpolates linearly; across the end of the
// cycle the last entry leads back to the first.
TEST(ChorusDriver, InterpolatesAcrossCycleEnd) {
    Rig rig(51200.0, 64);   // 10 Hz: a tenth of a table step per sample
    rig.Set(VOLT_MODE, 2);
    rig.Set(PITCH, 1.0);    // 10 V: 10 Hz
    rig.Set(WAVE1, 3);      // Dip
    rig.Set(PHASE1, 511.0 / 512.0);
    int out = rig.Record(OUT1);
    rig.Start();
    rig.Run(10);
    double last = 4 * (511.0 / 512 - 0.5) * (511.0 / 512 - 0.5) - 0.5;
    for (int t = 0; t < 10; ++t) {
        double f = t / 10.0;
        EXPECT_NEAR(rig.Out(out)[t], last + f * (0.5 - last), 1e-6) << t;
    }
}

// ---- outputs, silence, sleep ---------------------------------------------------

// Unconnected outputs are never written; the phase runs on without any output.
TEST(ChorusDriver, UnconnectedOutputsNotWritten) {
    for (bool anyConnected : {false, true}) {
        Rig rig(48000.0, 64);
        rig.Set(VOLT_MODE, 2);
        rig.Set(PITCH, 0.1);  // 1 Hz
        int out1 = anyConnected ? rig.Record(OUT1) : -1;
        int out3 = anyConnected ? rig.Record(OUT1 + 2) : -1;
        rig.Start();
        const float sentinel = 123.0f;
        for (int n : {0, 1, 2, 3}) {
            if (anyConnected && (n == 0 || n == 2)) continue;
            std::fill(rig.HostBuffer(OUT1 + n), rig.HostBuffer(OUT1 + n) + 64, sentinel);
        }
        rig.Run(4800);
        for (int n : {0, 1, 2, 3}) {
            if (anyConnected && (n == 0 || n == 2)) continue;
            for (int i = 0; i < 64; ++i) ASSERT_EQ(rig.HostBuffer(OUT1 + n)[i], sentinel) << n;
        }
        EXPECT_NEAR(rig.Dsp().Phase(), 0.1, 1e-6);
        if (anyConnected) {
            EXPECT_NEAR(rig.Out(out1)[1200], 0.5 * std::sin(2 * kPi * 0.025), 2e-5);
            EXPECT_EQ(rig.Out(out3)[1200], rig.Out(out1)[1200]);
        }
    }
}

// Active OFF: zeros on all four outputs, a one-shot status on the connected
// ones, and a sleep request once a block's worth of samples has passed.
// Active ON again: streaming status, the routine is back and the waveform
// resumes from the phase where it stopped.
TEST(ChorusDriver, ActiveOffSilenceAndSleep) {
    Rig rig(48000.0, 64);
    rig.engine->tracing = true;
    rig.Set(PITCH, 0.3);
    rig.Step(ACTIVE, 1000, 0);
    rig.Step(ACTIVE, 5000, 1);
    int out[4];
    for (int n = 0; n < 3; ++n) out[n] = rig.Record(OUT1 + n);
    rig.Start();
    float* unconnected = rig.HostBuffer(OUT1 + 3);
    std::fill(unconnected, unconnected + 64, 7.0f);
    rig.Run(6000);
    for (int n = 0; n < 3; ++n) {
        EXPECT_NE(rig.Out(out[n])[999], 0.0f);
        for (int t = 1000; t < 5000; ++t) ASSERT_EQ(rig.Out(out[n])[t], 0.0f) << t;
    }
    EXPECT_EQ(unconnected[0], 0.0f);  // silence writes every output
    EXPECT_NEAR(rig.Out(out[0])[5000], rig.Out(out[0])[1000 - 1] + (rig.Out(out[0])[999] - rig.Out(out[0])[998]),
                1e-3);

    int64_t firstSleep = -1, lastCall = -1, oneShots = 0, streams = 0;
    for (const auto& e : rig.engine->trace) {
        if (e.kind == kvhost::TraceKind::Sleep && firstSleep < 0) firstSleep = e.clock;
        if (e.kind == kvhost::TraceKind::ProcessCall && e.clock >= 1000 && e.clock < 5000) lastCall = e.clock;
        if (e.kind == kvhost::TraceKind::StatusOut && e.status == PS_ONE_SHOT) {
            EXPECT_EQ(e.clock, 1000);
            ++oneShots;
        }
        if (e.kind == kvhost::TraceKind::StatusOut && e.status == PS_STREAMING && e.clock == 5000) ++streams;
    }
    EXPECT_EQ(firstSleep, 1024);  // 24 + 64 samples >= one block
    EXPECT_EQ(lastCall, 1024);
    EXPECT_EQ(oneShots, 3);
    EXPECT_EQ(streams, 3);
}

// ---- hostile inputs ----------------------------------------------------------------

// NaN, infinities and huge values on every stream input, and waveform choices
// outside the list, in every routine: outputs stay on the tables.
TEST(ChorusDriver, HostileInputsStayOnTables) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {nan, inf, -inf, 1e30f, -1e30f, 3.5f, -4.0f, 3.0999f, -2.9999f, 0.0f, -0.0f};
    for (int mode = 0; mode < 3; ++mode) {
        for (int accuracy = 0; accuracy < 2; ++accuracy) {
            for (bool sync : {false, true}) {
                SCOPED_TRACE(mode * 100 + accuracy * 10 + sync);
                Rig rig(48000.0, 7);
                rig.Set(VOLT_MODE, mode);
                rig.Set(ACCURACY, accuracy);
                rig.Stream(PITCH, [values](int64_t t) { return values[t % values.size()]; });
                rig.Stream(PHASE1, [values](int64_t t) { return values[(t / 3) % values.size()]; });
                if (sync) rig.Stream(SYNC, [values](int64_t t) { return values[(t / 2) % values.size()]; });
                rig.Set(WAVE1 + 1, 9);
                rig.Set(WAVE1 + 2, -3);
                int out[4];
                for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
                rig.Start();
                rig.Run(700);
                for (int n = 0; n < 4; ++n)
                    for (float v : rig.Out(out[n])) ASSERT_TRUE(std::fabs(v) <= 0.5f) << n << " " << v;
                double phase = rig.Dsp().Phase();
                EXPECT_TRUE(phase >= 0.0 && phase < 1.0) << phase;
            }
        }
    }
}

// Waveform choices outside 0 to 5 take the nearest table.
TEST(ChorusDriver, WaveformChoiceClamps) {
    Rig rig(48000.0, 64);
    rig.Set(WAVE1, 9);
    rig.Set(WAVE1 + 1, 5);
    rig.Set(WAVE1 + 2, -3);
    rig.Set(WAVE1 + 3, 0);
    int out[4];
    for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
    rig.Start();
    rig.Run(512);
    EXPECT_EQ(rig.Out(out[0]), rig.Out(out[1]));
    EXPECT_EQ(rig.Out(out[2]), rig.Out(out[3]));
}

// The Oct conversion clamps to its table: -30 V gives B * 2^-30 and
// everything below; 31 V gives B * 2^31 and everything above.
TEST(ChorusDriver, OctaveConversionClampsToTable) {
    chorus_driver::PrepareTables(48000.0f);
    const double b = 13.75 / 48000.0;
    for (bool down : {false, true}) {
        EXPECT_NEAR(chorus_driver::OctaveIncrement(-3.0f, down), b * std::exp2(-30.0), b * 1e-6 * std::exp2(-30.0));
        EXPECT_EQ(chorus_driver::OctaveIncrement(-5.0f, down), chorus_driver::OctaveIncrement(-3.0f, down));
        EXPECT_EQ(chorus_driver::OctaveIncrement(std::numeric_limits<float>::quiet_NaN(), down),
                  chorus_driver::OctaveIncrement(-3.0f, down));
        EXPECT_NEAR(chorus_driver::OctaveIncrement(3.1f, down), b * std::exp2(31.0), b * 2e-6 * std::exp2(31.0));
        EXPECT_NEAR(chorus_driver::OctaveIncrement(3.2f, down), b * std::exp2(31.0), b * 1e-6 * std::exp2(31.0));
        EXPECT_EQ(chorus_driver::OctaveIncrement(1e30f, down), chorus_driver::OctaveIncrement(3.2f, down));
        EXPECT_EQ(chorus_driver::OctaveIncrement(std::numeric_limits<float>::infinity(), down),
                  chorus_driver::OctaveIncrement(3.2f, down));
        // Just inside the range follows the curve.
        EXPECT_NEAR(chorus_driver::OctaveIncrement(3.09f, down), b * std::exp2(30.9), b * 1e-5 * std::exp2(30.9));
        EXPECT_NEAR(chorus_driver::OctaveIncrement(-2.99f, down), b * std::exp2(-29.9), b * 1e-5 * std::exp2(-29.9));
    }
}

// The shared tables are rebuilt when an instance opens at another sample rate
// and only then; the pitch scalars follow every open.
TEST(ChorusDriver, TablesRebuiltOnlyForNewRate) {
    using chorus_driver::g_tables;
    chorus_driver::PrepareTables(48000.0f);
    const float fine0 = g_tables.fine[0].value;
    g_tables.wave[0][3].value = 42.0f;  // a mark that a rebuild would overwrite
    chorus_driver::PrepareTables(48000.0f);
    EXPECT_EQ(g_tables.wave[0][3].value, 42.0f);
    EXPECT_EQ(g_tables.fine[0].value, fine0);
    chorus_driver::PrepareTables(96000.0f);
    EXPECT_NEAR(g_tables.wave[0][3].value, 0.5 * std::sin(2 * kPi * 3 / 512.0), 1e-7);
    EXPECT_FLOAT_EQ(g_tables.fine[0].value, static_cast<float>(13.75 / 96000.0));
    EXPECT_FLOAT_EQ(g_tables.khz_factor, 1.0f / 9.6f);
    EXPECT_FLOAT_EQ(g_tables.hz_factor, 1.0f / 9600.0f);
    EXPECT_EQ(g_tables.octave[0], std::ldexp(1.0f, -30));
    EXPECT_EQ(g_tables.octave[60], std::ldexp(1.0f, 30));
}

}  // namespace
