// The example patches render through the patch-file host and sound as named.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <numbers>
#include <string>

#include "patch_file.h"

namespace {

constexpr double kRate = 48000.0;

double Amplitude(const std::vector<float>& x, size_t from, size_t n, double hz) {
    std::complex<double> s = 0.0;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<double>(x[from + i]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * i / kRate);
    return 2.0 * std::abs(s) / static_cast<double>(n);
}

double Rms(const std::vector<float>& x, size_t from, size_t n) {
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) s += static_cast<double>(x[from + i]) * x[from + i];
    return std::sqrt(s / static_cast<double>(n));
}

// Renders examples/<name>.json and returns its first output pin's samples.
std::vector<float> Render(const std::string& name) {
    kvhost::PatchOptions opt;
    opt.plugin_dir = KV_PLUGIN_DIR;
    opt.base_dir = KV_EXAMPLES_DIR;
    opt.out_dir = (std::filesystem::temp_directory_path() / "fm_oscillator_examples").string();
    std::filesystem::create_directories(opt.out_dir);
    kvhost::LoadedPatch patch;
    std::string error;
    EXPECT_TRUE(kvhost::LoadPatchFile(std::string(KV_EXAMPLES_DIR) + "/" + name + ".json", opt, patch, error))
        << error;
    if (!patch.engine) return {};
    EXPECT_TRUE(kvhost::RenderPatch(patch, opt, error)) << error;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(opt.out_dir) / (name + ".wav")));
    return patch.engine->Captured(patch.outputs.at(0).pins.at(0).capture);
}

TEST(OscillatorExamples, FmBellHasSidebandsThatFade) {
    std::vector<float> x = Render("fm_bell");
    ASSERT_EQ(x.size(), 4u * 48000u);
    const double f = 13.75 * std::exp2(5.5);  // Root Pitch 5.5 V
    // Modulator at 3.5 f: sidebands at |1 - 3.5| f and 4.5 f beside the carrier.
    const size_t n = 9600;
    EXPECT_GT(Amplitude(x, 4800, n, 2.5 * f), 0.1);
    EXPECT_GT(Amplitude(x, 4800, n, 4.5 * f), 0.1);
    EXPECT_LT(Amplitude(x, 3 * 48000, n, 2.5 * f), 0.03);  // index fallen
    EXPECT_LT(Rms(x, 3 * 48000, n), 0.3 * Rms(x, 4800, n));
}

TEST(OscillatorExamples, RingToneSounds) {
    std::vector<float> x = Render("ring_tone");
    ASSERT_EQ(x.size(), 3u * 48000u);
    EXPECT_GT(Rms(x, 48000, 48000), 0.2);
    for (float v : x) ASSERT_TRUE(std::isfinite(v));
}

TEST(OscillatorExamples, SyncedSweepRepeatsAtTheSyncRate) {
    std::vector<float> x = Render("synced_sweep");
    ASSERT_EQ(x.size(), 4u * 48000u);
    // The sweep changes the timbre; the period stays that of the 110 Hz sync.
    for (double t : {0.5, 2.0, 3.5}) {
        size_t from = static_cast<size_t>(t * kRate);
        double on = 0.0, off = 0.0;
        for (int k = 1; k <= 8; ++k) {
            on += Amplitude(x, from, 4800, 110.0 * k);
            off += Amplitude(x, from, 4800, 110.0 * k + 55.0);
        }
        EXPECT_GT(on, 4.0 * off) << t;
    }
}

}  // namespace
