// Pitch tables, the three pitch modes and the harmonic choice.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_harness.h"

using namespace fm_oscillator;

namespace {

constexpr float kRate = 48000.0f;

// Increment set by the static pitch evaluation of Root Pitch v in `mode`.
double StaticIncrement(float v, int mode) {
    Harness h(kRate, 64);
    h.SetChoice(PIN_PITCH_MODE, mode);
    h.SetStream(PIN_ROOT_PITCH, v);
    h.Status(PIN_ROOT_PITCH, PS_STATIC);
    return ModuleAccess::Increment(h.M());
}

TEST(Pitch, StaticIncrementsInTheThreeModes) {
    struct Case {
        int mode;
        float v;
        double hz;
    } cases[] = {
        {PITCH_OCT, 0.5f, 440.0}, {PITCH_OCT, 0.0f, 13.75}, {PITCH_OCT, -0.1f, 6.875},
        {PITCH_KHZ, 0.1f, 1000.0}, {PITCH_HZ, 0.1f, 1.0},
    };
    for (const Case& c : cases) {
        double expected = c.hz / kRate;
        EXPECT_NEAR(StaticIncrement(c.v, c.mode), expected, expected * 2e-7) << "mode " << c.mode << " v " << c.v;
    }
}

TEST(Pitch, PitchModeChangeReevaluatesRootPitchAndKeepsTheLinearFactor) {
    Harness h(kRate, 64);
    h.SetStream(PIN_ROOT_PITCH, 0.2f);
    h.Status(PIN_ROOT_PITCH, PS_STATIC);
    EXPECT_EQ(ModuleAccess::LinearFactor(h.M()), 0.0f);  // no linear evaluation yet
    h.SetChoice(PIN_PITCH_MODE, PITCH_KHZ);
    h.Status(PIN_PITCH_MODE, PS_STATIC);
    EXPECT_NEAR(ModuleAccess::Increment(h.M()), 2000.0 / kRate, 1e-9);
    h.SetChoice(PIN_PITCH_MODE, PITCH_OCT);
    h.Status(PIN_PITCH_MODE, PS_STATIC);
    EXPECT_NEAR(ModuleAccess::Increment(h.M()), 13.75 * 4.0 / kRate, 1e-9);
    EXPECT_FLOAT_EQ(ModuleAccess::LinearFactor(h.M()), 1.0f / (0.0001f * kRate));  // Khz factor stays
}

TEST(Pitch, OctConversionFollowsPowersOfTwoInBothRoundings) {
    Harness h(kRate, 64);  // builds the tables for kRate
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-2.95f, 3.05f);
    for (int n = 0; n < 20000; ++n) {
        float v = dist(rng);
        double exact = 13.75 * std::exp2(10.0 * static_cast<double>(v)) / kRate;
        // With d = ln2/256 per step, interpolation within a step errs by at
        // most d^2/8 (9.2e-7); the nearest rounding also extends a step half a
        // step backwards, which errs by up to 3d^2/8 (2.75e-6).
        EXPECT_NEAR(OctIncrementNearest(v), exact, exact * 2.9e-6) << v;
        EXPECT_NEAR(OctIncrementDown(v), exact, exact * 1.05e-6) << v;
    }
}

TEST(Pitch, OutOfRangeValuesClampToTheTables) {
    Harness h(kRate, 64);
    // The top of the tables: step 7935 of 256 per octave.
    const double top = 13.75 * std::exp2(7935.0 / 256.0) / kRate;
    for (float v : {3.2f, 50.0f, 1e30f, INFINITY}) {
        EXPECT_NEAR(OctIncrementNearest(v), top, top * 1e-6) << v;
        EXPECT_NEAR(OctIncrementDown(v), top, top * 1e-6) << v;
    }
    const double bottom = 13.75 * std::exp2(-30.0) / kRate;
    for (float v : {-3.1f, -50.0f, -INFINITY, NAN}) {
        EXPECT_NEAR(OctIncrementNearest(v), bottom, bottom * 1e-6) << v;
        EXPECT_TRUE(std::isfinite(OctIncrementDown(v))) << v;
    }
    EXPECT_EQ(HzTableLookup(5.0f), g_pitch.hz[7199]);
    EXPECT_EQ(HzTableLookup(-5.0f), g_pitch.hz[0]);
    EXPECT_EQ(HzTableLookup(NAN), g_pitch.hz[0]);
}

TEST(Pitch, TablesHoldTheirEntries) {
    Harness h(kRate, 64);
    EXPECT_EQ(g_pitch.hz[3600], 13.75f);
    EXPECT_EQ(g_pitch.hz[4200], 440.0f);
    EXPECT_EQ(g_pitch.hz[3480], 6.875f);
    for (int i = 0; i < 7200; ++i) {
        double exact = 13.75 * std::exp2((i - 3600) / 120.0);
        ASSERT_NEAR(g_pitch.hz[i], exact, exact * 2.5e-6) << i;  // exponent rounded to float first
    }
    for (int k = -30; k <= 30; ++k) EXPECT_EQ(g_pitch.octave[k + 30], std::ldexp(1.0f, k));
    const double b = 13.75 / kRate;
    for (int i = 0; i <= 256; ++i) {
        EXPECT_FLOAT_EQ(g_pitch.fine[i].value, static_cast<float>(b * std::exp2(i / 256.0)));
        EXPECT_NEAR(g_pitch.fine[i].slope, b * (std::exp2((i + 1) / 256.0) - std::exp2(i / 256.0)), b * 1e-9);
    }
}

TEST(Pitch, TablesAreRebuiltOnlyForANewSampleRate) {
    {
        Harness h(48000.0f, 64);
    }
    g_pitch.hz[0] = -1.0f;  // a mark a rebuild would overwrite
    {
        Harness h(48000.0f, 64);
        EXPECT_EQ(g_pitch.hz[0], -1.0f);
    }
    {
        Harness h(44100.0f, 64);
        EXPECT_NE(g_pitch.hz[0], -1.0f);
        EXPECT_EQ(g_built_rate, 44100.0f);
        EXPECT_NEAR(OctIncrementNearest(0.5f), 440.0 / 44100.0, 1e-9);
    }
}

// ---- Harmonic choice ---------------------------------------------------------

struct Choice {
    Harness h{kRate, 64};
    const TestDirectory& dir = TestDirectory::Shared();
    const float* tables[4] = {};

    explicit Choice(int waveform = 1) {
        for (int k = 0; k < 4; ++k) {
            h.SetChoice(PIN_WAVEFORM_A + k, waveform);
            h.SetChoice(PIN_HARMONICS_A + k, 255);
        }
    }
    void Start() {
        h.StartWithTables();
        ModuleAccess::Tables(h.M(), 0, tables);
    }
    int TableNumber(int k) const {
        if (tables[k] == nullptr) return -1;
        return static_cast<int>((tables[k] - dir.Entry(1)) / 516) + 1;
    }
};

TEST(HarmonicChoice, TwentyKilohertzLimitAtFourHundredForty) {
    Choice c;
    c.Start();  // Oct, Root 0.5, Tuning A 0.1, B 0.2, limit 20000 (defaults)
    EXPECT_EQ(ModuleAccess::LimitHz(c.h.M()), 20000.0f);
    EXPECT_EQ(c.TableNumber(0), 45);
    EXPECT_EQ(c.TableNumber(1), 22);
    EXPECT_EQ(c.TableNumber(2), 15);  // 20000 / 1320
    EXPECT_EQ(c.TableNumber(3), 11);  // 20000 / 1760
}

TEST(HarmonicChoice, LimitBelowTheRootKeepsTheFundamentalOrRemoves) {
    for (int remove : {0, 1}) {
        Choice c;
        c.h.SetStream(PIN_FREQ_LIMIT, 10.0f);  // 100 Hz
        c.h.SetChoice(PIN_REMOVE_ROOT, remove);
        c.Start();
        EXPECT_EQ(c.TableNumber(0), 1);  // A always keeps its first harmonic
        for (int k = 1; k < 4; ++k) EXPECT_EQ(c.TableNumber(k), remove ? -1 : 1) << k;
    }
}

TEST(HarmonicChoice, LimitOffUsesTheHarmonicsSetting) {
    Choice c;
    c.h.SetChoice(PIN_LIMIT_SYSTEM, LIMIT_OFF);
    c.h.SetChoice(PIN_HARMONICS_A + 1, 99);
    c.h.SetStream(PIN_FREQ_LIMIT, 1.0f);
    c.h.SetChoice(PIN_REMOVE_ROOT, 1);
    c.Start();
    EXPECT_EQ(c.TableNumber(0), 256);
    EXPECT_EQ(c.TableNumber(1), 100);
}

TEST(HarmonicChoice, NegativeOrZeroTuningGivesTheFullSettingAndIsNeverRemoved) {
    Choice c;
    c.h.SetChoice(PIN_REMOVE_ROOT, 1);
    c.h.SetChoice(PIN_HARMONICS_A + 1, 30);
    c.h.SetStream(PIN_TUNING_A + 1, -0.2f);
    c.h.SetStream(PIN_TUNING_A + 2, 0.0f);
    c.Start();
    EXPECT_EQ(c.TableNumber(1), 31);
    EXPECT_EQ(c.TableNumber(2), 256);
}

TEST(HarmonicChoice, SineIgnoresHarmonicsAndLimit) {
    Choice c(0);
    c.h.SetStream(PIN_FREQ_LIMIT, 10.0f);
    c.Start();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(c.tables[k], c.dir.Entry(0)) << k;
}

TEST(HarmonicChoice, ReferencePitchBySystemAndMode) {
    struct Case {
        int system, mode;
        float root, ref;
        int table_a;
    } cases[] = {
        {LIMIT_B, PITCH_OCT, 0.5f, 0.4f, 90},     // ref 220 Hz
        {LIMIT_A, PITCH_KHZ, 0.44f, 0.1f, 4},     // 4400 Hz
        {LIMIT_A, PITCH_HZ, 44.0f, 0.1f, 45},     // 440 Hz
        {LIMIT_B, PITCH_HZ, 0.1f, 70.0f, 28},     // ref 700 Hz
    };
    for (const Case& k : cases) {
        Choice c;
        c.h.SetChoice(PIN_LIMIT_SYSTEM, k.system);
        c.h.SetChoice(PIN_PITCH_MODE, k.mode);
        c.h.SetStream(PIN_ROOT_PITCH, k.root);
        c.h.SetStream(PIN_ROOT_REF, k.ref);
        c.Start();
        EXPECT_EQ(c.TableNumber(0), k.table_a) << "system " << k.system << " mode " << k.mode;
    }
}

TEST(HarmonicChoice, QuotientIsTruncatedAndReadUnsigned) {
    EXPECT_EQ(HarmonicsForLimit(20000.0f, 440.0, 256), 45);
    EXPECT_EQ(HarmonicsForLimit(20000.0f, 440.0, 30), 30);
    EXPECT_EQ(HarmonicsForLimit(100.0f, 440.0, 256), 1);     // quotient 0
    EXPECT_EQ(HarmonicsForLimit(100.0f, -44.0, 17), 17);     // -2: negative, read unsigned
    EXPECT_EQ(HarmonicsForLimit(100.0f, 0.0, 17), 17);       // infinite
    EXPECT_EQ(HarmonicsForLimit(100.0f, NAN, 17), 17);
    EXPECT_EQ(HarmonicsForLimit(100.0f, -200.0, 17), 1);     // -0.5 truncates to 0
}

}  // namespace
