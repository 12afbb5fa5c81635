// Hard sync: edges, stretches, the phase at an edge.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "test_harness.h"

using namespace fm_oscillator;

namespace {

constexpr int kBlock = 64;

// A streaming Sync with the given accuracy and pitch mode. With `probe`, the
// stretch routine is ProcessHold with its sleep count used up, so each
// stretch call shows as one sleep request and leaves the phases alone.
struct SyncRig {
    Harness h{48000.0f, kBlock};
    SyncRig(int accuracy, int mode, float root, bool probe) {
        h.SetChoice(PIN_SYNC_ACCURACY, accuracy);
        h.SetChoice(PIN_PITCH_MODE, mode);
        h.SetStream(PIN_ROOT_PITCH, root);
        h.StartWithTables({PIN_SYNC});
        if (probe) {
            ModuleAccess::SetSubProcess(h.M(), &Module::ProcessHold);
            ModuleAccess::SetSleepCount(h.M(), 0);
        }
    }
    void SetPhases(double p) {
        for (int k = 0; k < 4; ++k) ModuleAccess::Phase(h.M(), k) = p;
    }
    void Sync(std::vector<float> values) {
        values.resize(kBlock, values.back());
        std::copy(values.begin(), values.end(), h.Buffer(PIN_SYNC));
    }
    void ExpectPhases(double p, const char* what) {
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(ModuleAccess::Phase(h.M(), k), p, 1e-12) << what << " operator " << k;
    }
};

TEST(Sync, LinearEdgePhaseIsTheFractionOfTheRootIncrement) {
    const float r = 44.0f;  // Hz mode: 440 Hz
    SyncRig s(1, PITCH_HZ, r, true);
    ASSERT_TRUE(s.h.Installed<&Module::ProcessSyncLinear>());
    s.SetPhases(0.3);
    std::vector<float> sync(20, -1.0f);
    sync.push_back(3.0f);  // edge at sample 20: fraction 3 / (3 - -1) = 0.75
    s.Sync(sync);
    s.h.Call(0, kBlock);
    EXPECT_EQ(s.h.sleeps, 2);  // the stretch before the edge and the one from it
    const double g = static_cast<float>(1.0 / (0.1 * 48000.0));  // the float Hz factor
    s.ExpectPhases(0.75 * r * g, "-1 to 3");
    EXPECT_NEAR(0.75 * r * g, 0.75 * 440.0 / 48000.0, 1e-9);
    EXPECT_EQ(ModuleAccess::LastSync(s.h.M()), 3.0f);
}

TEST(Sync, OctaveEdgeFromZeroIsOneWholeIncrement) {
    SyncRig s(1, PITCH_OCT, 0.5f, true);
    ASSERT_TRUE(s.h.Installed<&Module::ProcessSyncOctave>());
    std::vector<float> sync(10, -0.2f);
    sync.push_back(0.0f);
    sync.push_back(0.5f);  // 0.0 to 0.5: fraction 1
    s.Sync(sync);
    s.h.Call(0, kBlock);
    s.ExpectPhases(OctIncrementNearest(0.5f), "0 to 0.5");
    EXPECT_NEAR(ModuleAccess::Phase(s.h.M(), 0), 440.0 / 48000.0, 1e-9);
}

TEST(Sync, StretchesAtEdges) {
    struct Case {
        const char* what;
        std::vector<float> sync;
        int calls;
    } cases[] = {
        {"edge at the first sample", {0.5f}, 1},  // Sync starts streaming from -1
        {"two edges", {-0.5f, -0.5f, 0.5f, 0.5f, -0.5f, 0.0f, 0.2f, -0.1f}, 3},
        {"edge at the last sample", std::vector<float>(kBlock - 1, -0.5f), 2},
    };
    cases[2].sync.push_back(0.5f);
    for (const Case& c : cases) {
        SyncRig s(0, PITCH_OCT, 0.5f, true);
        ASSERT_TRUE(s.h.Installed<&Module::ProcessSyncReset>());
        s.SetPhases(0.3);
        s.Sync(c.sync);
        s.h.Call(0, kBlock);
        EXPECT_EQ(s.h.sleeps, c.calls) << c.what;
        s.ExpectPhases(0.0, c.what);
    }
}

TEST(Sync, AHighSyncGivesNoFurtherEdge) {
    SyncRig s(0, PITCH_OCT, 0.5f, true);
    s.Sync({0.5f});
    s.h.Call(0, kBlock);
    s.h.NextBlock();
    EXPECT_EQ(s.h.sleeps, 1);
    s.SetPhases(0.3);
    s.h.Call(0, 30);
    s.h.Call(30, kBlock - 30);
    EXPECT_EQ(s.h.sleeps, 3);  // one stretch per call
    s.ExpectPhases(0.3, "no edge");
}

TEST(Sync, LowAccuracyRestartsEveryStretchFromZero) {
    SyncRig s(0, PITCH_OCT, 0.5f, false);
    std::vector<float> out;
    for (int b = 0; b < 10; ++b) {
        for (int i = 0; i < kBlock; ++i) s.h.Buffer(PIN_SYNC)[i] = ((b * kBlock + i) % 100 == 0) ? 0.5f : -0.5f;
        s.h.Call(0, kBlock);
        out.insert(out.end(), s.h.Out(), s.h.Out() + kBlock);
        s.h.NextBlock();
    }
    EXPECT_GT(*std::max_element(out.begin(), out.begin() + 100), 0.49f);
    for (size_t i = 100; i < out.size(); ++i) ASSERT_EQ(out[i], out[i % 100]) << i;
}

TEST(Sync, HighAccuracyEdgesMatchTheSubSamplePhase) {
    // A sync square at 137 Hz against a 440 Hz sine: after each edge the
    // sine restarts from the interpolated zero crossing.
    SyncRig s(1, PITCH_OCT, 0.5f, false);
    const double inc = 440.0 / 48000.0;
    double sync_phase = 0.0;
    std::vector<float> out, syncs;
    for (int b = 0; b < 20; ++b) {
        for (int i = 0; i < kBlock; ++i) {
            syncs.push_back(std::sin(2.0 * std::numbers::pi * sync_phase) >= 0.0 ? 0.25f + 0.1f * (i % 3) : -0.3f);
            s.h.Buffer(PIN_SYNC)[i] = syncs.back();
            sync_phase += 137.0 / 48000.0;
        }
        s.h.Call(0, kBlock);
        out.insert(out.end(), s.h.Out(), s.h.Out() + kBlock);
        s.h.NextBlock();
    }
    // Expected: phase = inc * fraction at each edge, advanced by inc per sample.
    double phase = 0.0;
    float prev = -1.0f;
    int edges = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (!(prev > 0.0f) && syncs[i] > 0.0f) {
            phase = inc * syncs[i] / (syncs[i] - static_cast<double>(prev));
            ++edges;
        }
        prev = syncs[i];
        ASSERT_NEAR(out[i], 0.5 * std::sin(2.0 * std::numbers::pi * phase), 1e-4) << i;
        phase += inc;
    }
    EXPECT_GE(edges, 3);
}

TEST(Sync, DriftAdvancesOncePerStretch) {
    SyncRig plain(0, PITCH_OCT, 0.5f, false), edged(0, PITCH_OCT, 0.5f, false);
    for (SyncRig* s : {&plain, &edged}) {
        s->h.SetStream(PIN_DRIFT_DEPTH, 1.0f);
        s->h.Status(PIN_DRIFT_DEPTH, PS_STATIC);
        s->h.SetChoice(PIN_DRIFT_RATE, 0);  // 480 samples: a glide of 7 calls
        s->h.Status(PIN_DRIFT_RATE, PS_STATIC);
    }
    plain.Sync({-0.5f});
    std::vector<float> sync(kBlock, -0.5f);
    sync[10] = sync[30] = sync[50] = 0.5f;  // three edges: four stretches
    edged.Sync(sync);
    g_drift_random = 554284u;
    plain.h.Call(0, kBlock);
    g_drift_random = 554284u;
    edged.h.Call(0, kBlock);
    const float step = ModuleAccess::DriftStepSize(plain.h.M());
    ASSERT_GT(step, 0.0f);
    EXPECT_EQ(ModuleAccess::DriftStepSize(edged.h.M()), step);
    EXPECT_NEAR(std::fabs(ModuleAccess::Drift(plain.h.M()) - 1.0f), step, step * 1e-3);
    EXPECT_NEAR(std::fabs(ModuleAccess::Drift(edged.h.M()) - 1.0f), 4.0f * step, step * 1e-2);
}

}  // namespace
