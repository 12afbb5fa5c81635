// The oscillator as a sound source: frequency, amplitude and spectrum of the
// output through the host with the wavetable generator, and the analogue
// drift.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <complex>
#include <map>
#include <string>

#include "engine.h"
#include "sources.h"
#include "test_harness.h"

using namespace fm_oscillator;

namespace {

constexpr double kRate = 48000.0;

// Amplitude of the component at `hz` over x (a whole number of its cycles).
double Amplitude(const std::vector<float>& x, size_t from, size_t n, double hz) {
    std::complex<double> s = 0.0;
    for (size_t i = 0; i < n; ++i) s += static_cast<double>(x[from + i]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * i / kRate);
    return 2.0 * std::abs(s) / static_cast<double>(n);
}

// A generator and an oscillator wired by their link, the oscillator's pins set
// by name (volts for stream pins), Wave.Out recorded.
struct HostPatch {
    std::unique_ptr<kvhost::Library> wt_lib, osc_lib;
    std::unique_ptr<kvhost::Engine> engine;
    kvhost::Instance* osc = nullptr;
    int capture = -1;

    explicit HostPatch(const std::map<std::string, double>& pins, const std::vector<std::string>& streamingConst = {}) {
        std::string error;
        wt_lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_Replacement_OscWT"), error);
        osc_lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_4op_Fm2_AddRing_Osc"), error);
        EXPECT_TRUE(wt_lib && osc_lib) << error;
        if (!wt_lib || !osc_lib) return;
        engine = std::make_unique<kvhost::Engine>(kRate, 64);
        kvhost::Instance* wt = engine->Add("wt", *wt_lib, error);
        osc = engine->Add("osc", *osc_lib, error);
        EXPECT_TRUE(engine->Connect(*wt, 0, *osc, PIN_LINK, error)) << error;
        for (const auto& [name, value] : pins) {
            int d = osc->FindDescription(name);
            EXPECT_GE(d, 0) << name;
            bool stream = osc->Descriptions()[d].IsStream();
            bool streams = std::find(streamingConst.begin(), streamingConst.end(), name) != streamingConst.end();
            if (streams) {
                // A streaming input that holds the value.
                kvhost::GeneratorSpec plan;
                plan.type = "sine";
                plan.amplitude = 0.0;
                plan.offset = value / 10.0;
                EXPECT_TRUE(engine->SetGenerator(*osc, d, kvhost::MakeGenerator(plan, kRate, error), error));
            } else {
                EXPECT_TRUE(engine->SetValue(*osc, d, stream ? value / 10.0 : value, error)) << error;
            }
        }
        capture = engine->Record(*osc, PIN_WAVE_OUT, error);
        EXPECT_TRUE(engine->Start(error)) << error;
    }
    const std::vector<float>& Run(int samples) {
        engine->Run(samples);
        return engine->Captured(capture);
    }
};

TEST(OscillatorSignal, DefaultPatchIsA440HzSineOfHalfAmplitude) {
    HostPatch p({{"Active", 1}});
    ASSERT_TRUE(p.engine);
    const std::vector<float>& x = p.Run(4800);
    // 1200 samples hold 11 whole cycles of 440 Hz.
    EXPECT_NEAR(Amplitude(x, 1200, 1200, 440.0), 0.5, 1e-4);
    double residual = 0.0, phase0 = 0.0;
    {
        std::complex<double> s = 0.0;
        for (int i = 0; i < 1200; ++i) s += static_cast<double>(x[1200 + i]) * std::polar(1.0, -2.0 * std::numbers::pi * 440.0 * i / kRate);
        phase0 = std::arg(s) + std::numbers::pi / 2;
    }
    for (int i = 0; i < 1200; ++i) {
        double fit = 0.5 * std::sin(2.0 * std::numbers::pi * 440.0 * i / kRate + phase0);
        residual = std::max(residual, std::fabs(x[1200 + i] - fit));
    }
    EXPECT_LT(residual, 1e-4);
    // It starts at phase 0 at the first sample.
    EXPECT_EQ(x[0], 0.0f);
    EXPECT_NEAR(x[1], 0.5 * std::sin(2.0 * std::numbers::pi * 440.0 / kRate), 1e-5);
}

TEST(OscillatorSignal, SilentOperatorsDoNotMove) {
    Harness h(48000.0f, 64);
    h.StartWithTables();
    h.Run(10);
    EXPECT_NE(ModuleAccess::Phase(h.M(), 0), 0.0);
    for (int k = 1; k < 4; ++k) EXPECT_EQ(ModuleAccess::Phase(h.M(), k), 0.0) << k;

    // Only a static +0.0 skips an operator: a Level streaming at 0.0, or a
    // static -0.0, runs it (silently) and its phase advances.
    Harness g(48000.0f, 64);
    g.SetStream(PIN_LEVEL_A + 2, -0.0f);
    g.StartWithTables({PIN_LEVEL_A + 1});
    g.Run(10);
    EXPECT_NE(ModuleAccess::Phase(g.M(), 1), 0.0);
    EXPECT_NE(ModuleAccess::Phase(g.M(), 2), 0.0);
    EXPECT_EQ(ModuleAccess::Phase(g.M(), 3), 0.0);
}

// "(A+B+C)>D" with B and C silent: a sine at 4400 Hz phase-modulated by a
// sine at 440 Hz. A level a gives a modulation of a/2 cycles, index pi*a.
TEST(OscillatorSignal, PhaseModulationSidebandsFollowBessel) {
    for (bool realtime : {false, true}) {
        for (double levelA : {3.0, 5.0, 8.0}) {  // volts
            std::vector<std::string> streaming;
            if (realtime) streaming.push_back("Tuning A");
            HostPatch p({{"Active", 1}, {"Osc Algorithm", 2}, {"Level A", levelA}, {"Level D", 10.0},
                         {"Tuning D", 10.0}, {"Tuning A", 1.0}},
                        streaming);
            ASSERT_TRUE(p.engine);
            const std::vector<float>& x = p.Run(3600);
            const double beta = std::numbers::pi * levelA / 10.0;
            for (int n = -5; n <= 5; ++n) {
                double expected = 0.5 * std::fabs(std::cyl_bessel_j(std::abs(n), beta));
                EXPECT_NEAR(Amplitude(x, 1200, 2400, 4400.0 + 440.0 * n), expected, 1e-3)
                    << (realtime ? "realtime" : "block") << " level " << levelA << " sideband " << n;
            }
        }
    }
}

// "(A*B)+C+D" with C and D silent: B amplitude-modulated at 100 % by A; A
// itself is not heard.
TEST(OscillatorSignal, RingAdditiveIsFullDepthAmplitudeModulation) {
    HostPatch p({{"Active", 1}, {"Osc Algorithm", 18}, {"Level B", 10.0}, {"Tuning B", 10.0}});
    ASSERT_TRUE(p.engine);
    const std::vector<float>& x = p.Run(3600);
    EXPECT_NEAR(Amplitude(x, 1200, 2400, 4400.0), 0.5, 1e-3);
    EXPECT_NEAR(Amplitude(x, 1200, 2400, 3960.0), 0.25, 1e-3);
    EXPECT_NEAR(Amplitude(x, 1200, 2400, 4840.0), 0.25, 1e-3);
    EXPECT_LT(Amplitude(x, 1200, 2400, 440.0), 1e-4);
}

// Operators A made constant by a directory whose set 1 holds constant tables.
struct ConstantA {
    TestDirectory dir;
    Harness h{48000.0f, 256};
    ConstantA(int algorithm, float constant) {
        dir.MakeConstant(1, 0.5f);
        h.SetChoice(PIN_WAVEFORM_A, 1);
        h.SetStream(PIN_LEVEL_A, constant / 0.5f);
        h.SetStream(PIN_LEVEL_A + 1, 1.0f);
        h.SetChoice(PIN_ALGORITHM, algorithm);
        h.StartWithTables({}, dir);
    }
};

TEST(OscillatorSignal, RingAdditiveOnHalfDoublesTheOperator) {
    ConstantA ring(18, 0.5f);  // O <- A; O <- O (+) B
    ConstantA plain(0, 0.0f);  // A at level 0: O <- B alone
    std::vector<float> r = ring.h.Run(2), b = plain.h.Run(2);
    EXPECT_GT(*std::max_element(b.begin(), b.end()), 0.49f);
    for (size_t i = 0; i < r.size(); ++i) ASSERT_EQ(r[i], 2.0f * b[i]) << i;
}

TEST(OscillatorSignal, ConstantPhaseModulationShiftsTheOperator) {
    const double inc = 880.0 / 48000.0;  // B at ratio 2 of 440 Hz
    for (float shift : {1.0f, 0.25f, -0.5f}) {
        ConstantA pm(9, shift);  // O <- A; O <- B[O]
        std::vector<float> x = pm.h.Run(2);
        for (size_t i = 0; i < x.size(); ++i) {
            double expected = 0.5 * std::sin(2.0 * std::numbers::pi * (static_cast<double>(i) * inc + shift));
            ASSERT_NEAR(x[i], expected, 1e-4) << "shift " << shift << " sample " << i;
        }
    }
}

// ---- Analogue drift --------------------------------------------------------------------

TEST(AnalogueDrift, IntervalFromTheRateChoice) {
    struct Case {
        float rate;
        int block, choice;
        int interval, blocks;
    } cases[] = {
        {44100.0f, 1024, 0, 1024, 1},     // 441 samples, raised to one block
        {48000.0f, 64, 6, 24000, 375},    // 1/2 s
        {48000.0f, 64, 5, 16000, 250},    // 1/3 s
        {44100.0f, 100, 14, 1764000, 17640},
    };
    for (const Case& c : cases) {
        Harness h(c.rate, c.block);
        EXPECT_EQ(ModuleAccess::DriftInterval(h.M()), static_cast<int>(c.rate * 0.5f));  // at open
        h.SetChoice(PIN_ACTIVE, 1);
        h.SetChoice(PIN_DRIFT_RATE, c.choice);
        h.SetLink(TestDirectory::Shared().LinkValue());
        h.Startup();
        EXPECT_EQ(ModuleAccess::DriftInterval(h.M()), c.interval) << c.choice;
        EXPECT_EQ(ModuleAccess::DriftBlocks(h.M()), c.blocks) << c.choice;
        h.SetChoice(PIN_DRIFT_RATE, 15);  // not in the list: interval kept
        h.Status(PIN_DRIFT_RATE, PS_STATIC);
        EXPECT_EQ(ModuleAccess::DriftInterval(h.M()), c.interval);
    }
}

TEST(AnalogueDrift, GlidesToRandomTargetsWithinTheDepth) {
    Harness h(48000.0f, 256);
    h.SetStream(PIN_DRIFT_DEPTH, 0.5f);  // 5 V: within +-0.75 %
    h.SetChoice(PIN_DRIFT_RATE, 7);      // 1 s: 187 blocks of 256
    h.StartWithTables();
    ASSERT_EQ(ModuleAccess::DriftBlocks(h.M()), 187);
    g_drift_random = 554284u;
    auto block = [&] {
        h.Call(0, 256);
        h.NextBlock();
        return ModuleAccess::Drift(h.M());
    };
    // The generator's draws, computed independently; a draw at clock 0 and
    // one at the first call at or after 48000 (block 188, clock 48128).
    uint64_t s = 554284u;
    float start = 1.0f;
    for (int draw = 0; draw < 2; ++draw) {
        s = (s * 196314165u + 907633515u) % 4294967296u;
        double r = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(s))) * 0.015 / 2147483648.0;
        double target = 1.0 + 0.5 * r;
        float d = block();
        EXPECT_NEAR(ModuleAccess::DriftTarget(h.M()), target, 1e-7) << draw;
        EXPECT_NEAR(d, start + (target - start) / 187.0, 1e-7) << draw;
        for (int b = 2; b <= 187; ++b) {
            d = block();
            ASSERT_LE(std::fabs(d - 1.0f), 0.0075f);
            // The factor is a float: 187 float additions may drift by 1.2e-5.
            if (b == 94) {
                EXPECT_NEAR(d, start + (target - start) * 94.0 / 187.0, 1.2e-5);
            }
        }
        EXPECT_NEAR(d, target, 1.2e-5) << draw;
        EXPECT_EQ(block(), ModuleAccess::DriftTarget(h.M())) << draw;  // clock 47872: no new draw yet
        start = ModuleAccess::DriftTarget(h.M());
    }
}

TEST(AnalogueDrift, DriftMovesThePitch) {
    Harness still(48000.0f, 256), drifting(48000.0f, 256);
    drifting.SetStream(PIN_DRIFT_DEPTH, 1.0f);
    drifting.SetChoice(PIN_DRIFT_RATE, 0);  // a new target every block
    still.StartWithTables();
    drifting.StartWithTables();
    g_drift_random = 554284u;
    still.Run(8);
    drifting.Run(8);
    EXPECT_NE(ModuleAccess::Phase(still.M(), 0), ModuleAccess::Phase(drifting.M(), 0));
    EXPECT_NE(ModuleAccess::Drift(drifting.M()), 1.0f);
    // Depth back to 0: factor exactly 1 again, the same increments as without drift.
    drifting.SetStream(PIN_DRIFT_DEPTH, 0.0f);
    drifting.Status(PIN_DRIFT_DEPTH, PS_STATIC);
    EXPECT_EQ(ModuleAccess::Drift(drifting.M()), 1.0f);
    double a0 = ModuleAccess::Phase(still.M(), 0), b0 = ModuleAccess::Phase(drifting.M(), 0);
    still.Run(1);
    drifting.Run(1);
    double da = ModuleAccess::Phase(still.M(), 0) - a0, db = ModuleAccess::Phase(drifting.M(), 0) - b0;
    EXPECT_NEAR(std::remainder(da - db, 1.0), 0.0, 1e-9);
}

}  // namespace
