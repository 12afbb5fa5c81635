// The chorus engine through the host: delay-line lengths, tap delays measured
// with an impulse, feedback loops, gate clearing, activity, unconnected taps,
// and inputs that must never reach outside the delay line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "chorus_engine.h"
#include "engine.h"
#include "library.h"
#include "module_rig.h"
#include "patch_file.h"

namespace {

enum Pin {
    AUDIO_IN = 0,
    PRE1 = 1,
    MOD1 = 5,
    DEPTH = 9,
    FBK = 10,
    OUT1 = 11,
    MAX_PRE = 15,
    FBK_MODE = 16,
    ACTIVE = 17,
    PRE_MODE = 18,
    MONO_MODE = 19,
    GATE = 20,
};

std::function<float(int64_t)> Impulse(int64_t at = 0) {
    return [at](int64_t t) { return t == at ? 1.0f : 0.0f; };
}

// One engine instance in a host engine; every call's failure fails the test.
struct Rig : kvhost::ModuleRig {
    Rig(double sampleRate, int blockSize, const std::string& dir = KV_PLUGIN_DIR,
        const std::string& name = "QM_4V_Chorus2")
        : ModuleRig(dir, name, "cho", sampleRate, blockSize) {
        EXPECT_TRUE(ok) << error;
        engine->tracing = true;
    }
    ~Rig() { EXPECT_TRUE(ok) << error; }
    const chorus_engine::Module& Dsp() const { return ModuleObject<chorus_engine::Module>(); }
    // Pre_Dly value (Time(ms)) that truncates to `samples` whole samples.
    double PreDelay(double samples) const { return (samples + 0.5) / (engine->SampleRate() * 0.01); }
    int64_t FirstSleep(int64_t from = 0) const {
        for (const auto& e : engine->trace)
            if (e.kind == kvhost::TraceKind::Sleep && e.clock >= from) return e.clock;
        return -1;
    }
};

// Indices of the non-zero samples.
std::vector<int> NonZero(const std::vector<float>& s) {
    std::vector<int> idx;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] != 0.0f) idx.push_back(static_cast<int>(i));
    return idx;
}

// ---- properties and pins -------------------------------------------------------

TEST(ChorusEngine, PropertiesAndPins) {
    Rig rig(48000.0, 64);
    const KVModuleProperties& p = rig.lib->Properties();
    EXPECT_STREQ(p.name, "QM_4V_Chorus2");
    EXPECT_STREQ(p.id, "4V_Chorus_QM2003_Pro");
    EXPECT_EQ(p.sdkVersion, 2240);
    std::string about = p.about;
    EXPECT_EQ(about.rfind("4 Voice Chorus Engine\nVer:3.00", 0), 0u);
    EXPECT_NE(about.find("\n   PreDly: Feeds back to Pre_Delay1 allows chorused multi-tap delay Fx\n"), std::string::npos);
    EXPECT_NE(about.find("\nSupport to 384Khz\nAdaptive Processing\nGate(Poly Reset): Link if used in a Polyphonic chain"),
              std::string::npos);

    const auto& d = rig.inst->Descriptions();
    ASSERT_EQ(d.size(), 21u);
    struct Expect {
        int index;
        const char* name;
        int direction, datatype;
        const char* def;
        const char* list;
        int flags;
    };
    const Expect pins[] = {
        {0, "Audio_In", DR_IN, DT_FSAMPLE, "0", "", 512},
        {1, "Pre_Dly1", DR_IN, DT_FSAMPLE, "0.010", "", 0},
        {4, "Pre_Dly4", DR_IN, DT_FSAMPLE, "0.040", "", 0},
        {5, "Mod_1 +/-5", DR_IN, DT_FSAMPLE, "-5.0", "5,-5,5,-5", 0},
        {8, "Mod_4", DR_IN, DT_FSAMPLE, "-5.0", "5,-5,5,-5", 0},
        {9, "Mod Depth(ms:100)", DR_IN, DT_FSAMPLE, "4", "100,0,100,0", 0},
        {10, "FBK (Cho1) +/-10", DR_IN, DT_FSAMPLE, "0", "10,-10,10,-10", 0},
        {14, "Cho_Out4", DR_OUT, DT_FSAMPLE, "", "", 0},
        {15, "Max Pre Delay(s)", DR_PARAMETER, DT_CHOICE, "4", "10.800=0,5.300,2.600,1.200,0.500,0.200,0.050", 0},
        {16, "FBK Mode", DR_IN, DT_CHOICE, "1", "PreDly,Chorus", 0},
        {17, "Active", DR_IN, DT_CHOICE, "1", "OFF,ON", 0},
        {18, "Pre_Dly Mode", DR_IN, DT_CHOICE, "0", "Time(s),Time(ms)", 0},
        {19, "Midi_to_CV:Mono Mode(Poly Reset)", DR_IN, DT_CHOICE, "0", "On=1,Off=0", 0},
        {20, "Midi_to_CV:Gate(Poly Reset)", DR_IN, DT_FSAMPLE, "0", "", 0},
    };
    for (const Expect& e : pins) {
        const auto& pin = d[e.index];
        EXPECT_EQ(pin.name, e.name);
        EXPECT_EQ(pin.direction, e.direction) << e.name;
        EXPECT_EQ(pin.datatype, e.datatype) << e.name;
        EXPECT_EQ(pin.default_text, e.def) << e.name;
        EXPECT_EQ(pin.list, e.list) << e.name;
        EXPECT_EQ(pin.flags, e.flags) << e.name;
    }
}

// ---- delay-line length ---------------------------------------------------------

struct LengthCase {
    double rate;
    int choice;
    int length;
};

class EngineLength : public ::testing::TestWithParam<LengthCase> {};

// The line length, seen on the pins: an impulse on a tap delayed length - 1
// samples arrives there, one delayed length + 7 wraps round to 7, one delayed
// exactly the length reads the sample just written.
TEST_P(EngineLength, LineLengthByRateAndChoice) {
    const LengthCase c = GetParam();
    Rig rig(c.rate, 256);
    rig.Set(MAX_PRE, c.choice);
    rig.Set(PRE_MODE, 1);  // ms
    rig.Stream(AUDIO_IN, Impulse());
    const int L = c.length;
    rig.Set(PRE1 + 1, rig.PreDelay(L - 1));
    rig.Set(PRE1 + 2, rig.PreDelay(L + 7));
    rig.Set(PRE1 + 3, rig.PreDelay(L));
    int out2 = rig.Record(OUT1 + 1), out3 = rig.Record(OUT1 + 2), out4 = rig.Record(OUT1 + 3);
    rig.Start();
    rig.Run(L + 16);
    EXPECT_EQ(rig.Dsp().Length(), L);
    EXPECT_EQ(NonZero(rig.Out(out2)), std::vector<int>{L - 1});
    EXPECT_EQ(NonZero(rig.Out(out3)), std::vector<int>{7});
    EXPECT_EQ(NonZero(rig.Out(out4)), std::vector<int>{0});
}

// Max Pre Delay 0.500 at every rate, each doubling rule on its boundary; the
// ends of the table; values outside 0 to 6 take the nearest entry.
INSTANTIATE_TEST_SUITE_P(Rates, EngineLength,
                         ::testing::Values(LengthCase{44100, 4, 32768}, LengthCase{48000, 4, 32768},
                                           LengthCase{96000, 4, 65536}, LengthCase{100000, 4, 131072},
                                           LengthCase{192000, 4, 131072}, LengthCase{384000, 4, 262144},
                                           LengthCase{48000, 0, 524288}, LengthCase{48000, 6, 8192},
                                           LengthCase{384000, 0, 4194304}, LengthCase{48000, 9, 8192},
                                           LengthCase{48000, -2, 524288}, LengthCase{48000, 32767, 8192}));

// Patch files name the choices by their labels: "10.800=0" is "10.800" with
// the value 0, "On=1,Off=0" gives On 1 and Off 0.
TEST(ChorusEngine, PatchChoicesByLabel) {
    for (const char* mono : {"On", "Off"}) {
        std::string text = std::string(R"J({"sample_rate": 48000, "block_size": 64, "length": 0.01,
            "modules": [{"name": "cho", "plugin": "QM_4V_Chorus2",
                         "pins": {"Max Pre Delay(s)": "10.800", "Pre_Dly Mode": "Time(ms)",
                                  "Midi_to_CV:Mono Mode(Poly Reset)": ")J") + mono + R"J("}}]})J";
        kvhost::PatchOptions opt;
        opt.plugin_dir = KV_PLUGIN_DIR;
        kvhost::LoadedPatch patch;
        std::string error;
        ASSERT_TRUE(kvhost::LoadPatchText(text, opt, patch, error)) << error;
        kvhost::Instance* cho = patch.engine->Find("cho");
        EXPECT_EQ(cho->FindDspPin(MAX_PRE)->value, 0.0);
        EXPECT_EQ(cho->FindDspPin(PRE_MODE)->value, 1.0);
        EXPECT_EQ(cho->FindDspPin(MONO_MODE)->value, std::string(mono) == "On" ? 1.0 : 0.0);
        ASSERT_TRUE(patch.engine->Start(error)) << error;
        patch.engine->Run(64);
        EXPECT_EQ(static_cast<const chorus_engine::Module*>(static_cast<KVModule_base*>(cho->Dsp()->instance))->Length(),
                  524288);
    }
}

// ---- tap delays ------------------------------------------------------------------

// The delays of the edge-case list, in every routine: Time(s), 48 kHz,
// Pre_Dly1 0.010 gives 480 samples and tap 1 reads 481 back at Mod -5 V;
// Pre_Dly2 0.020 reads 960 back; Mod Depth 4 is 192 samples, so Mod 0 V adds
// 96 and +5 V adds 192. A fractional chorus delay splits the impulse between
// two samples.
TEST(ChorusEngine, TapDelaysInEveryRoutine) {
    enum { NO_FEEDBACK, PREDLY, CHORUS, DEPTH_STREAM };
    for (int routine : {NO_FEEDBACK, PREDLY, CHORUS, DEPTH_STREAM}) {
        SCOPED_TRACE(routine);
        for (int variant = 0; variant < 2; ++variant) {
            Rig rig(48000.0, 64);
            rig.Stream(AUDIO_IN, Impulse());
            if (routine == PREDLY || routine == CHORUS) {
                rig.Set(FBK, 0.5);
                rig.Set(FBK_MODE, routine == PREDLY ? 0 : 1);
            }
            if (routine == DEPTH_STREAM) rig.Stream(DEPTH, [](int64_t) { return 0.4f; });
            if (variant == 1) {
                rig.Set(MOD1, 0.0);   // +96
                rig.Set(MOD1 + 1, 0.5);  // +192
                rig.Set(MOD1 + 2, 96.25 / 192.0 - 0.5);
                rig.Set(MOD1 + 3, -0.5625);  // 12 samples newer than the pre-delay
            }
            int out[4];
            for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
            rig.Start();
            rig.Run(2600);
            auto first = [&](int n) { return NonZero(rig.Out(out[n])).at(0); };
            if (variant == 0) {
                EXPECT_EQ(first(0), 481);
                EXPECT_EQ(rig.Out(out[0])[481], 1.0f);
                EXPECT_EQ(first(1), 960);
                EXPECT_EQ(first(2), 1440);
                EXPECT_EQ(first(3), 1920);
            } else {
                EXPECT_EQ(first(0), 481 + 96);
                EXPECT_EQ(first(1), 960 + 192);
                EXPECT_EQ(first(2), 1440 + 96);
                EXPECT_NEAR(rig.Out(out[2])[1536], 0.75f, 1e-4);
                EXPECT_NEAR(rig.Out(out[2])[1537], 0.25f, 1e-4);
                EXPECT_EQ(first(3), 1920 - 12);
            }
        }
    }
}

// FBK exactly 0 (or -0) selects the routine without feedback, any other
// static value or a streaming FBK a feedback routine, a streaming depth always
// the one that applies feedback. The routines show apart on a pre-delay of
// -0.5 samples: without feedback tap 1 takes (pre + 1) truncated, 0 samples;
// with feedback the truncated pre-delay plus 1, 1 sample.
TEST(ChorusEngine, RoutineChoiceByFeedbackAndDepth) {
    struct Case {
        const char* what;
        double fbk;
        bool fbkStreams;
        bool depthStreams;
        int arrival;
    };
    const Case cases[] = {
        {"fbk 0", 0.0, false, false, 0},         {"fbk -0", -0.0, false, false, 0},
        {"fbk 1e-30", 1e-30, false, false, 1},   {"fbk -0.3", -0.3, false, false, 1},
        {"fbk streams 0", 0.0, true, false, 1},  {"depth streams", 0.0, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(48000.0, 64);
        rig.Set(PRE_MODE, 1);
        rig.Set(PRE1, -0.5 / 480.0);
        rig.Stream(AUDIO_IN, Impulse(10));
        float fbk = static_cast<float>(c.fbk);
        if (c.fbkStreams) rig.Stream(FBK, [fbk](int64_t) { return fbk; });
        else rig.Set(FBK, c.fbk);
        if (c.depthStreams) rig.Stream(DEPTH, [](int64_t) { return 0.4f; });
        int out = rig.Record(OUT1);
        rig.Start();
        rig.Run(64);
        EXPECT_EQ(NonZero(rig.Out(out)).at(0), 10 + c.arrival);
    }
}

// ---- feedback ------------------------------------------------------------------------

// PreDly feedback enters with the input and comes round after the whole tap-1
// delay; Chorus feedback enters at the end of pre-delay 1 and comes round after
// 1 + the chorus delay. Each pass multiplies by the gain.
TEST(ChorusEngine, FeedbackLoopLengths) {
    struct Case {
        int mode;
        double mod;
        int first;
        int loop;
    };
    const Case cases[] = {{0, -0.5, 481, 481}, {0, 0.0, 577, 577}, {1, -0.5, 481, 1}, {1, 0.0, 577, 97}, {1, 0.5, 673, 193}};
    for (const Case& c : cases) {
        for (double gain : {0.5, -0.8}) {
            SCOPED_TRACE(c.mode * 1000 + c.loop);
            Rig rig(48000.0, 64);
            rig.Stream(AUDIO_IN, Impulse());
            rig.Set(FBK_MODE, c.mode);
            rig.Set(FBK, gain);
            rig.Set(MOD1, c.mod);
            int out = rig.Record(OUT1);
            rig.Start();
            rig.Run(c.first + 5 * c.loop + 1);
            std::vector<int> expect;
            for (int k = 0; k <= 5; ++k) expect.push_back(c.first + k * c.loop);
            const auto& s = rig.Out(out);
            EXPECT_EQ(NonZero(s), expect);
            for (int k = 0; k <= 5; ++k) EXPECT_NEAR(s[expect[k]], std::pow(gain, k), 1e-6) << k;
        }
    }
}

// A decaying loop stops at the flush quantum (2^-66 beside 0.0001) instead of
// running down into denormals.
TEST(ChorusEngine, FeedbackFlushesTinyValues) {
    Rig rig(48000.0, 64);
    rig.Stream(AUDIO_IN, Impulse());
    rig.Set(FBK_MODE, 1);
    rig.Set(FBK, 0.5);
    int out = rig.Record(OUT1);
    rig.Start();
    rig.Run(1000);
    const auto& s = rig.Out(out);
    for (float v : s) ASSERT_TRUE(v == 0.0f || std::fabs(v) >= 0x1p-67f) << v;
    EXPECT_EQ(s[481 + 60], 0x1p-60f);  // still exact
    for (int t = 481 + 70; t < 1000; ++t) ASSERT_LE(std::fabs(s[t]), 0x1p-66f) << t;
}

// ---- gate, activity, line changes ------------------------------------------------

// Input of 1.0 from `from` to `to`, zero elsewhere.
std::function<float(int64_t)> Burst(int64_t from, int64_t to) {
    return [from, to](int64_t t) { return (t >= from && t < to) ? 1.0f : 0.0f; };
}

// Whether tap 1 (481 samples) still shows a burst after `at`: a cleared line
// gives zeros where the burst would have come out.
bool ClearedAt(const std::vector<float>& s, int at) {
    for (int t = at; t < at + 50; ++t)
        if (s[t] != 0.0f) return false;
    return true;
}

// Mono Mode Off: every gate above zero clears the line. Mono Mode On: a gate
// clears only after a Reset, once.
TEST(ChorusEngine, GateClearsLine) {
    for (int mono : {0, 1}) {
        SCOPED_TRACE(mono);
        Rig rig(48000.0, 64);
        rig.Set(MONO_MODE, mono);
        rig.Stream(AUDIO_IN, [](int64_t t) { return (t % 1000) < 400 ? 1.0f : 0.0f; });
        rig.Step(GATE, 600, 1.0);   // burst 0..399 comes out at 481..880
        rig.Step(GATE, 900, 0.0);
        rig.Step(GATE, 1600, 0.7);  // burst 1000..1399 comes out at 1481..1880
        rig.Step(GATE, 1700, 0.0);
        rig.Step(GATE, 2700, -1.0);  // not above zero: never clears
        rig.Step(GATE, 2800, 1.0);  // burst 2000..2399 comes out at 2481..2880
        int out = rig.Record(OUT1);
        rig.Start();
        rig.Run(1500);
        if (mono) rig.Reset();  // arms the next gate
        rig.Run(1500);
        const auto& s = rig.Out(out);
        EXPECT_EQ(s[599], 1.0f);
        EXPECT_EQ(ClearedAt(s, 600), mono == 0);
        EXPECT_TRUE(ClearedAt(s, 1600));  // Off: every gate; On: the armed one
        EXPECT_FALSE(ClearedAt(s, 2700));
        EXPECT_EQ(s[2799], 1.0f);
        EXPECT_EQ(ClearedAt(s, 2800), mono == 0);
    }
}

// Active OFF frees the line, writes zeros to all four outputs, announces a
// one-shot status on all four and sleeps once a block's worth has passed;
// ON makes an empty line. Changing Max Pre Delay while ON also empties it.
TEST(ChorusEngine, ActiveAndMaxPreDelayEmptyTheLine) {
    Rig rig(48000.0, 64);
    rig.Stream(AUDIO_IN, Burst(0, 100));  // comes out at 481..580
    rig.Step(ACTIVE, 200, 0);
    rig.Step(ACTIVE, 300, 1);
    rig.Set(PRE1 + 1, 0.001);             // tap 2 at 480
    int out1 = rig.Record(OUT1), out2 = rig.Record(OUT1 + 1);
    rig.Start();
    float* unconnected = rig.HostBuffer(OUT1 + 3);
    std::fill(unconnected, unconnected + 64, 5.0f);
    rig.Run(250);
    EXPECT_EQ(rig.Dsp().Buffer(), nullptr);
    rig.Run(1000 - 250);
    EXPECT_NE(rig.Dsp().Buffer(), nullptr);
    EXPECT_EQ(unconnected[0], 0.0f);
    const auto& s = rig.Out(out1);
    for (int t = 200; t < 1000; ++t) ASSERT_EQ(s[t], 0.0f) << t;
    EXPECT_TRUE(NonZero(rig.Out(out2)).empty());
    EXPECT_EQ(rig.FirstSleep(), 250);  // 50 + 50 samples (the runs split the block) >= one block
    int oneShots = 0, streams = 0;
    for (const auto& e : rig.engine->trace) {
        if (e.kind == kvhost::TraceKind::StatusOut && e.status == PS_ONE_SHOT && e.clock == 200) ++oneShots;
        if (e.kind == kvhost::TraceKind::StatusOut && e.status == PS_STREAMING && e.clock == 300) ++streams;
        if (e.kind == kvhost::TraceKind::ProcessCall && e.clock > 256 && e.clock < 300) ADD_FAILURE() << e.clock;
    }
    EXPECT_EQ(oneShots, 4);
    EXPECT_EQ(streams, 4);

    Rig change(48000.0, 64);
    change.Stream(AUDIO_IN, Burst(0, 100));
    change.Step(MAX_PRE, 200, 2);
    int out = change.Record(OUT1);
    change.Start();
    change.Run(1000);
    EXPECT_EQ(change.Dsp().Length(), 131072);
    EXPECT_TRUE(NonZero(change.Out(out)).empty());
    // The same value again keeps the line.
    Rig same(48000.0, 64);
    same.Stream(AUDIO_IN, Burst(0, 100));
    same.Step(MAX_PRE, 200, 4);
    int kept = same.Record(OUT1);
    same.Start();
    same.Run(1000);
    EXPECT_EQ(NonZero(same.Out(kept)).size(), 100u);
}

// Taps 2 to 4 unconnected at open are never written; tap 1 always is.
TEST(ChorusEngine, UnconnectedTapsNeverWritten) {
    Rig rig(48000.0, 32);
    rig.Stream(AUDIO_IN, [](int64_t t) { return static_cast<float>(std::sin(0.01 * t)); });
    rig.Set(FBK, 0.3);
    rig.Set(PRE1, 0.0001);
    rig.Start();
    for (int n = 1; n < 4; ++n) std::fill(rig.HostBuffer(OUT1 + n), rig.HostBuffer(OUT1 + n) + 32, 9.0f);
    rig.Run(2000);
    for (int n = 1; n < 4; ++n)
        for (int i = 0; i < 32; ++i) ASSERT_EQ(rig.HostBuffer(OUT1 + n)[i], 9.0f) << n;
    EXPECT_NE(rig.HostBuffer(OUT1)[31], 0.0f);
}

// With static pre-delays and depth nothing depends on where the calls begin:
// every block size gives the same samples, also when taps read positions that
// later samples of the same call write (pre-delays of either sign around
// tap 1's, modulation past both ends) and with feedback in either place.
TEST(ChorusEngine, SameSamplesForEveryBlockSize) {
    struct Setting {
        double pre[4];  // samples (Time(ms) at 48 kHz)
        int fbkMode;
        double fbk;
    };
    const Setting settings[] = {
        {{100, 100, 130, 2000}, 1, 0.6},
        {{100, 60, 101, -20}, 1, -0.7},
        {{50, 49, 0, 32760}, 0, 0.5},
        {{300, 250, 350, 299}, 0, 0.0},
    };
    for (const Setting& st : settings) {
        std::vector<std::vector<float>> runs;
        for (int block : {1, 7, 64, 1000}) {
            SCOPED_TRACE(block);
            Rig rig(48000.0, block);
            rig.Set(PRE_MODE, 1);
            for (int n = 0; n < 4; ++n) {
                rig.Set(PRE1 + n, st.pre[n] / 480.0);
                rig.Stream(MOD1 + n, [n](int64_t t) { return static_cast<float>(0.9 * std::sin(0.003 * (n + 1) * t + n)); });
            }
            rig.Set(DEPTH, 1.0);  // 10 ms: 480 samples
            rig.Set(FBK_MODE, st.fbkMode);
            rig.Set(FBK, st.fbk);
            rig.Stream(AUDIO_IN, [](int64_t t) { return static_cast<float>(std::sin(0.05 * t) * (t % 500 < 250 ? 1 : 0)); });
            int out[4];
            for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
            rig.Start();
            rig.Run(6000);
            std::vector<float> all;
            for (int n = 0; n < 4; ++n) all.insert(all.end(), rig.Out(out[n]).begin(), rig.Out(out[n]).end());
            runs.push_back(all);
        }
        for (size_t r = 1; r < runs.size(); ++r) {
            for (size_t i = 0; i < runs[0].size(); ++i) ASSERT_EQ(runs[r][i], runs[0][i]) << r << " " << i;
        }
    }
}

// ---- failures and hostile inputs ---------------------------------------------------

// When the line cannot be allocated the module is silent and asleep, and it
// comes back once a line can be made.
TEST(ChorusEngine, FailedAllocationLeavesModuleSilent) {
    Rig rig(48000.0, 64, KV_TEST_PLUGIN_DIR, "QM_4V_Chorus2_alloc_limit");
    rig.Set(MAX_PRE, 0);  // 524288 entries: refused by the fixture
    rig.Stream(AUDIO_IN, [](int64_t t) { return t % 100 == 0 ? 1.0f : 0.0f; });
    rig.Set(PRE1, 0.0001);  // 0.0001f * 480000 is 47.99...: 47 samples, 48 for tap 1
    rig.Step(MAX_PRE, 1000, 4);
    int out[4];
    for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
    rig.Start();
    rig.Run(2000);
    EXPECT_EQ(rig.Dsp().Length(), 32768);
    for (int n = 0; n < 4; ++n)
        for (int t = 0; t < 1000; ++t) ASSERT_EQ(rig.Out(out[n])[t], 0.0f) << t;
    EXPECT_EQ(rig.FirstSleep(), 0);  // the first call completes a block
    EXPECT_EQ(rig.Out(out[0])[1048], 1.0f);  // the impulse at 1000, 48 samples on
    int streams = 0;
    for (const auto& e : rig.engine->trace)
        if (e.kind == kvhost::TraceKind::StatusOut && e.status == PS_STREAMING && e.clock == 1000) ++streams;
    EXPECT_EQ(streams, 4);
}

// NaN, infinities and huge values on every stream input, in every routine, on
// short and long lines: every read and write stays on the line (the sanitizer
// build checks the addresses), and finite inputs give finite taps.
TEST(ChorusEngine, HostileInputsStayOnTheLine) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {nan,   inf,     -inf,     1e30f, -1e30f, 3e9f, -3e9f,
                                       1e6f,  -1e6f,   2.1e5f,   -0.5f, 0.5f,   0.0f, -0.0f, 1e-40f};
    auto pick = [values](int stride, int shift) {
        return [values, stride, shift](int64_t t) { return values[(t / stride + shift) % values.size()]; };
    };
    for (int routine = 0; routine < 4; ++routine) {
        for (int choice : {0, 6}) {
            for (int preMode : {0, 1}) {
                SCOPED_TRACE(routine * 100 + choice * 10 + preMode);
                Rig rig(96000.0, 13);
                rig.Set(MAX_PRE, choice);
                rig.Set(PRE_MODE, preMode);
                rig.Stream(AUDIO_IN, [](int64_t t) { return t % 7 == 0 ? 0.5f : -0.25f; });
                for (int n = 0; n < 4; ++n) {
                    rig.Stream(PRE1 + n, pick(5 + n, n));
                    rig.Stream(MOD1 + n, pick(3, 2 * n));
                }
                rig.Set(FBK_MODE, routine == 1 ? 0 : 1);
                if (routine == 0) rig.Set(FBK, 0.0);
                if (routine >= 1) rig.Set(FBK, 0.5);
                if (routine == 3) rig.Stream(DEPTH, pick(11, 1));
                else rig.Set(DEPTH, 1e30);
                rig.Stream(GATE, pick(17, 0));
                int out[4];
                for (int n = 0; n < 4; ++n) out[n] = rig.Record(OUT1 + n);
                rig.Start();
                rig.Run(1500);
                for (int n = 0; n < 4; ++n) EXPECT_EQ(rig.Out(out[n]).size(), 1500u);
            }
        }
    }
    // Finite pre-delays and modulation far outside the line, no feedback: the
    // taps stay finite.
    Rig rig(48000.0, 64);
    rig.Set(MAX_PRE, 6);
    rig.Stream(AUDIO_IN, [](int64_t t) { return static_cast<float>(std::sin(0.1 * t)); });
    rig.Stream(PRE1, [](int64_t t) { return static_cast<float>(-1e7 + 3e5 * t); });
    rig.Stream(MOD1, [](int64_t t) { return static_cast<float>(std::sin(0.37 * t) * 1e4); });
    rig.Set(DEPTH, 100.0);
    int out = rig.Record(OUT1);
    rig.Start();
    rig.Run(3000);
    for (float v : rig.Out(out)) ASSERT_TRUE(std::isfinite(v)) << v;
}

// The example patches load and play: the driver's four outputs sweep the four
// taps of the chorus; the flanger's Chorus feedback stays bounded.
TEST(ChorusEngine, ExamplePatchesPlay) {
    for (const char* name : {"chorus.json", "flanger.json"}) {
        SCOPED_TRACE(name);
        kvhost::PatchOptions opt;
        opt.plugin_dir = KV_PLUGIN_DIR;
        opt.base_dir = CHORUS_EXAMPLES_DIR;
        kvhost::LoadedPatch patch;
        std::string error;
        ASSERT_TRUE(kvhost::LoadPatchFile(std::string(CHORUS_EXAMPLES_DIR) + "/" + name, opt, patch, error)) << error;
        ASSERT_TRUE(patch.engine->Start(error)) << error;
        patch.engine->Run(48000);
        const auto& pins = patch.outputs.at(0).pins;
        EXPECT_EQ(pins.size(), std::string(name) == "chorus.json" ? 4u : 1u);
        for (const auto& pin : pins) {
            const auto& s = patch.engine->Captured(pin.capture);
            double peak = 0.0;
            for (float v : s) peak = std::max(peak, std::fabs(static_cast<double>(v)));
            EXPECT_GT(peak, 0.1) << pin.label;
            EXPECT_LT(peak, 1.0) << pin.label;
        }
    }
}

}  // namespace
