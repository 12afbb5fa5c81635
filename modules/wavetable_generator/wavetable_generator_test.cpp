// The wavetable generator through the host: the link announcement, the
// directory it points at, and the tables compared with a double-precision
// computation of the waveforms (harmonic amplitudes, taper of harmonics 225 to
// 256, normalisation to sum |a_n| / n = 1, sine of amplitude 0.5).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"

using namespace kvhost;

namespace {

// The link format, as the oscillator reads it.
constexpr int kTable = 516;   // floats per table
constexpr int kTables = 256;  // tables per set
constexpr int kEntries = 21;  // directory entries

// sin of the double nearest to k * pi: what the angle's own rounding leaves.
// Runtime libraries that reduce with a short pi get these wrong, so they are
// written out here.
constexpr double kSinPi = 1.2246467991473532e-16;
constexpr double kSinTwoPi = -2.4492935982947064e-16;

// The library stays loaded for the whole test program, as it would in a host:
// its tables are built once per process.
Library& GeneratorLib() {
    static std::unique_ptr<Library> lib = [] {
        std::string error;
        auto l = Library::Load(DeliverablePath(KV_PLUGIN_DIR, "QM_Replacement_OscWT"), error);
        EXPECT_TRUE(l) << error;
        return l;
    }();
    return *lib;
}

// Opens `count` generators in a fresh engine and returns their link
// announcements (StatusOut entries) in order.
struct Rig {
    explicit Rig(int count) : eng(48000.0, 64) {
        eng.tracing = true;
        std::string error;
        for (int k = 0; k < count; ++k) {
            Instance* i = eng.Add("gen" + std::to_string(k), GeneratorLib(), error);
            EXPECT_TRUE(i) << error;
            gens.push_back(i);
        }
        EXPECT_TRUE(eng.Start(error)) << error;
    }
    std::vector<TraceEntry> Announcements(const Instance* inst) const {
        std::vector<TraceEntry> out;
        for (const TraceEntry& t : eng.trace)
            if (t.instance == inst && t.kind == TraceKind::StatusOut) out.push_back(t);
        return out;
    }
    Engine eng;
    std::vector<Instance*> gens;
};

// The directory a link value points at (the value is a 32-bit address).
const float* const* Directory(double linkValue) {
    auto word = static_cast<uint32_t>(static_cast<int32_t>(linkValue));
    return reinterpret_cast<const float* const*>(static_cast<uintptr_t>(word));
}

const float* const* OpenDirectory() {
    Rig r(1);
    auto a = r.Announcements(r.gens[0]);
    EXPECT_EQ(a.size(), 1u);
    return a.empty() ? nullptr : Directory(a[0].value);
}

// ---- The reference: amplitudes and tables in double precision ------------

// Amplitudes a_1 .. a_256 of waveform `set` (1 Saw .. 10 Cluster2), tapered
// and normalised, in double.
std::vector<double> ReferenceAmplitudes(int set) {
    std::vector<double> a(kTables + 1, 0.0);  // a[n], n = 1 .. 256
    float peakRamp = 1.0f;
    int oddCount = 0;
    for (int n = 1; n <= kTables; ++n) {
        bool odd = n % 2 == 1;
        bool powerOfTwo = std::exp2(std::round(std::log2(n))) == n;
        switch (set) {
            case 1: a[n] = -1.0 / n; break;
            case 2: a[n] = 1.0 / n; break;
            case 3: a[n] = std::pow(0.5, n - 1); break;
            case 4:
                a[n] = peakRamp;
                peakRamp = peakRamp * 0.8f;  // the float 0.8, float steps
                break;
            case 5: a[n] = odd ? 1.0 / n : 0.0; break;
            case 6: a[n] = odd ? (oddCount % 2 == 0 ? 1.0 : -1.0) / (double(n) * n) : 0.0; break;
            case 7: {
                double p = 1.0 + 0.75 * oddCount;
                a[n] = odd ? (oddCount % 2 == 0 ? 1.0 : -1.0) / (p * p) : 0.0;
                break;
            }
            case 8: a[n] = powerOfTwo ? 1.0 / n : 0.0; break;
            case 9: a[n] = ((n - 1) % 4 <= 1) ? 1.0 / n : 0.0; break;
            case 10: a[n] = ((n - 1) % 4 == 0 || (n - 1) % 4 == 3) ? 1.0 / n : 0.0; break;
        }
        if (odd) ++oddCount;
    }
    for (int n = 225; n <= 256; ++n) a[n] *= (256.0 - n + 1.0) / 32.0;  // 225: 1, 256: 1/32
    long double s = 0.0L;
    for (int n = kTables; n >= 1; --n) s += std::fabs(static_cast<long double>(a[n])) / n;
    for (int n = 1; n <= kTables; ++n) a[n] = static_cast<double>(a[n] / s);
    return a;
}

double HalfSine(int k) {
    k %= 512;
    return k == 256 ? 0.5 * kSinPi : 0.5 * std::sin(2.0 * M_PI * k / 512.0);
}

// ---- Tests ----------------------------------------------------------------

TEST(WavetableGenerator, PropertiesAndTheOneLinkPin) {
    Library& lib = GeneratorLib();
    EXPECT_STREQ(lib.Properties().name, "QM_Replacement_OscWT");
    EXPECT_STREQ(lib.Properties().id, "OscWaveTable_Replacement_QM2010");
    EXPECT_EQ(lib.Properties().sdkVersion, 2240);
    std::string about = lib.Properties().about;
    EXPECT_EQ(about.rfind("QM_Osc WaveTable Generator\nVer:2.90", 0), 0u) << about;
    EXPECT_NE(about.find("\n\nCreates 'Replacement' wavetables which remove the 'ringing' sound in low "
                         "frequencies <40hz\n\n"),
              std::string::npos);

    Rig r(1);
    const auto& d = r.gens[0]->Descriptions();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].name, "QM_Osc_Link");
    EXPECT_EQ(d[0].direction, DR_OUT);
    EXPECT_EQ(d[0].datatype, DT_IVALUE);
    EXPECT_EQ(d[0].flags, 0);
    EXPECT_FALSE(d[0].has_default);
}

TEST(WavetableGenerator, AnnouncesTheDirectoryOnceAtOpenAsOneShot) {
    Rig r(1);
    r.eng.Run(64 * 4);
    auto a = r.Announcements(r.gens[0]);
    ASSERT_EQ(a.size(), 1u);  // at open, never again
    EXPECT_EQ(a[0].clock, 0);
    EXPECT_EQ(a[0].pin, 0);
    EXPECT_EQ(a[0].status, PS_ONE_SHOT);
    EXPECT_NE(a[0].value, 0.0);
    const Instance::Pin* link = r.gens[0]->FindDspPin(0);
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->announced);
    EXPECT_EQ(link->status, PS_ONE_SHOT);
    // Nothing after open: no sleep request, no other status, no routine change.
    for (const TraceEntry& t : r.eng.trace) {
        EXPECT_NE(t.kind, TraceKind::ProcessChanged);
        EXPECT_NE(t.kind, TraceKind::TextOut);
    }
}

TEST(WavetableGenerator, DirectoryAndTablesLieBelow4GiB) {
    const float* const* dir = OpenDirectory();
    ASSERT_NE(dir, nullptr);
    auto end = [](const void* p, size_t bytes) { return uint64_t(reinterpret_cast<uintptr_t>(p)) + bytes; };
    EXPECT_LE(end(dir, kEntries * sizeof(void*)), uint64_t{1} << 32);
    ASSERT_NE(dir[0], nullptr);
    EXPECT_LE(end(dir[0], kTable * sizeof(float)), uint64_t{1} << 32);
    for (int w = 1; w <= 10; ++w) {
        ASSERT_NE(dir[w], nullptr);
        EXPECT_LE(end(dir[w], kTables * kTable * sizeof(float)), uint64_t{1} << 32);
        EXPECT_EQ(dir[10 + w], dir[w]) << "entry " << 10 + w;  // 11 to 20 repeat 1 to 10
        for (int v = 1; v < w; ++v) {
            // Sets do not overlap.
            bool apart = dir[w] + kTables * kTable <= dir[v] || dir[v] + kTables * kTable <= dir[w];
            EXPECT_TRUE(apart) << w << " " << v;
        }
    }
}

TEST(WavetableGenerator, SineTableIsHalfAmplitudeSineRoundedToFloat) {
    const float* sine = OpenDirectory()[0];
    for (int i = 0; i <= 512; ++i) {
        double ref = i == 256 ? 0.5 * kSinPi : i == 512 ? 0.5 * kSinTwoPi : 0.5 * std::sin(2.0 * M_PI * i / 512.0);
        float t = sine[i];
        double halfUlp = 0.5 * (std::nextafter(std::fabs(t), 1.0f) - std::fabs(t));
        EXPECT_LE(std::fabs(t - ref), halfUlp * 1.000001 + 1e-30) << "entry " << i;
    }
    EXPECT_EQ(sine[0], 0.0f);
    EXPECT_EQ(sine[128], 0.5f);
    EXPECT_EQ(sine[384], -0.5f);
    // The half and the full turn: the float nearest to half the sine of the
    // double angle, in every build.
    EXPECT_EQ(sine[256], static_cast<float>(0.5 * kSinPi));
    EXPECT_EQ(sine[512], static_cast<float>(0.5 * kSinTwoPi));
    EXPECT_LT(std::fabs(sine[512] - sine[0]), 1e-15);  // closes the cycle up to rounding
    for (int i = 513; i < kTable; ++i) EXPECT_EQ(sine[i], 0.0f) << i;
}

TEST(WavetableGenerator, EveryTableStartsAndEndsAtZeroWithZeroPadding) {
    const float* const* dir = OpenDirectory();
    for (int w = 1; w <= 10; ++w) {
        for (int h = 1; h <= kTables; ++h) {
            const float* t = dir[w] + (h - 1) * kTable;
            ASSERT_EQ(t[0], 0.0f) << "set " << w << " table " << h;
            ASSERT_EQ(t[512], 0.0f) << "set " << w << " table " << h;
            for (int i = 513; i < kTable; ++i) ASSERT_EQ(t[i], 0.0f) << "set " << w << " table " << h;
        }
    }
}

// Table h repeats table h - 1 exactly when harmonic h is absent (even
// harmonics of Square, Triangle and Peak; all but powers of two in Octava;
// the gaps of the clusters) and differs where it is present.
TEST(WavetableGenerator, TablesOfAbsentHarmonicsRepeatTheirNeighbour) {
    const float* const* dir = OpenDirectory();
    for (int w = 1; w <= 10; ++w) {
        std::vector<double> a = ReferenceAmplitudes(w);
        for (int h = 2; h <= kTables; ++h) {
            const float* prev = dir[w] + (h - 2) * kTable;
            const float* cur = dir[w] + (h - 1) * kTable;
            bool same = std::memcmp(prev, cur, kTable * sizeof(float)) == 0;
            if (a[h] == 0.0) {
                EXPECT_TRUE(same) << "set " << w << " table " << h;
            } else if (w != 3 && w != 4 && h != 256) {
                // Soft Ramp and Peak Ramp fall below float resolution long
                // before harmonic 256, and harmonic 256 is sampled only at
                // its zero crossings; every other present harmonic shows.
                EXPECT_FALSE(same) << "set " << w << " table " << h;
            }
        }
    }
    // The named cases: Square 2 = 1, Octava 2 = 3 and 4 .. 7 equal.
    auto table = [&](int w, int h) { return dir[w] + (h - 1) * kTable; };
    EXPECT_EQ(std::memcmp(table(5, 2), table(5, 1), kTable * 4), 0);
    EXPECT_EQ(std::memcmp(table(8, 3), table(8, 2), kTable * 4), 0);
    for (int h = 5; h <= 7; ++h) EXPECT_EQ(std::memcmp(table(8, h), table(8, 4), kTable * 4), 0) << h;
    EXPECT_NE(std::memcmp(table(8, 4), table(8, 3), kTable * 4), 0);
}

// Ramp, table 1: the fundamental alone, 0.5 sin scaled by 1/S, where S is the
// sum of |a_n| / n over the tapered ramp amplitudes 1/n.
TEST(WavetableGenerator, RampFundamentalIsScaledByTheTaperedSum) {
    long double s = 0.0L;
    for (int n = 256; n >= 1; --n) {
        long double taper = n < 225 ? 1.0L : 1.0L - (n - 225) / 32.0L;
        s += taper / (static_cast<long double>(n) * n);
    }
    const float* ramp1 = OpenDirectory()[2];
    for (int j = 1; j < 512; ++j) {
        if (j == 256) continue;  // a zero crossing: checked below
        long double ref = 0.5L * std::sin(2.0L * M_PI * j / 512.0L) / s;
        // Three float roundings, each within 2^-24 relative: the sine point,
        // the amplitude 1/S, the entry.
        EXPECT_LE(std::fabs(ramp1[j] - ref), 3.0L * std::ldexp(std::fabs(ref), -24)) << "entry " << j;
    }
    EXPECT_LT(std::fabs(ramp1[256]), 1e-15);
    EXPECT_NEAR(ramp1[128], 0.5 / static_cast<double>(s), 1e-7);
}

// Every table of every set against the double-precision sum of its harmonics.
// The bound covers the float sine points (half an ulp of values up to 0.5:
// 2^-26 per term), the float amplitudes (two roundings, taper and scaling:
// 2^-23 relative per term) and the rounding of the entry itself.
TEST(WavetableGenerator, EveryTableHoldsItsPartialSumOfHarmonics) {
    const float* const* dir = OpenDirectory();
    std::vector<double> sine(512);
    for (int k = 0; k < 512; ++k) sine[k] = HalfSine(k);
    for (int w = 1; w <= 10; ++w) {
        std::vector<double> a = ReferenceAmplitudes(w);
        for (int j = 0; j <= 512; ++j) {
            double sum = 0.0;
            double bound = 1e-12;
            for (int h = 1; h <= kTables; ++h) {
                sum += a[h] * sine[(h * j) % 512];
                bound += std::fabs(a[h]) * (std::ldexp(1.0, -26) + std::ldexp(0.5, -23));
                float got = dir[w][(h - 1) * kTable + j];
                double tol = bound + std::ldexp(std::fabs(sum), -24);
                if (std::fabs(got - sum) > tol) {
                    ADD_FAILURE() << "set " << w << " table " << h << " entry " << j << ": " << got << " vs " << sum;
                    return;
                }
            }
        }
    }
}

// Single harmonics come out as exact sines of amplitude 0.5 after the
// normalisation: set tables whose partial sum holds only the fundamental.
TEST(WavetableGenerator, LevelOfALoneFundamentalFollowsTheNormalisation) {
    const float* const* dir = OpenDirectory();
    for (int w = 1; w <= 10; ++w) {
        std::vector<double> a = ReferenceAmplitudes(w);
        double peak = 0.0;
        for (int j = 0; j < 512; ++j) peak = std::max(peak, std::fabs(double(dir[w][j])));
        EXPECT_NEAR(peak, 0.5 * std::fabs(a[1]), 1e-7) << "set " << w;
    }
}

TEST(WavetableGenerator, LaterInstancesPublishTheSameAddressAndBuildNothing) {
    const float* const* dir = OpenDirectory();
    ASSERT_NE(dir, nullptr);
    // Mark two entries that a rebuild would overwrite.
    float* sine = const_cast<float*>(dir[0]);
    float* saw = const_cast<float*>(dir[1]);
    const float keepSine = sine[1], keepSaw = saw[kTable + 7];
    sine[1] = 123.0f;
    saw[kTable + 7] = -321.0f;

    Rig r(2);  // a fresh engine, two more instances
    for (Instance* g : r.gens) {
        auto a = r.Announcements(g);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0].status, PS_ONE_SHOT);
        EXPECT_EQ(Directory(a[0].value), dir);
    }
    EXPECT_EQ(sine[1], 123.0f);
    EXPECT_EQ(saw[kTable + 7], -321.0f);
    sine[1] = keepSine;
    saw[kTable + 7] = keepSaw;
}

}  // namespace
