// Pins, properties, pin changes, routine choice, hold and silence, and the
// guards against unset or out-of-range tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine.h"
#include "test_harness.h"

using namespace fm_oscillator;

namespace {

std::unique_ptr<kvhost::Library> LoadOscillator() {
    std::string error;
    auto lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_4op_Fm2_AddRing_Osc"), error);
    EXPECT_TRUE(lib) << error;
    return lib;
}

TEST(OscillatorModule, PropertiesAndAboutText) {
    auto lib = LoadOscillator();
    ASSERT_TRUE(lib);
    const KVModuleProperties& p = lib->Properties();
    EXPECT_STREQ(p.name, "QM_4op_Fm2_AddRing_Osc");
    EXPECT_STREQ(p.id, "Audio_4op_Fm2_AddRing_Osc_QM2006");
    EXPECT_EQ(p.sdkVersion, 2240);
    std::string about = p.about;
    EXPECT_EQ(about.rfind("4 Operator FM(phase) & Additive RingMod Oscillator\nVer:3.00", 0), 0u);
    EXPECT_NE(about.find("\n\nThis Oscillator allows you to create complex FM (Phase Modulation) and Ring Modulation "
                         "waves\n\nAlgorithm: Oscillator Function: '+'=Add, '*'=Ring Additive, '>'=FM\n"),
              std::string::npos);
    EXPECT_NE(about.find("\nActive: Off,On ( When not used, set to Off to save CPU )\n\n"), std::string::npos);
}

TEST(OscillatorModule, PinTable) {
    Harness h;
    struct Row {
        int index;
        const char* name;
        int direction, datatype;
        const char* def;
    } rows[] = {
        {0, "Root Pitch", DR_IN, DT_FSAMPLE, "5.000"},
        {1, "Root Pitch Ref (System B)", DR_IN, DT_FSAMPLE, "5.000"},
        {2, "Analogue Drift Depth", DR_IN, DT_FSAMPLE, "0.0"},
        {3, "Analogue Drift Rate(s)", DR_IN, DT_CHOICE, "10"},
        {4, "Sync", DR_IN, DT_FSAMPLE, "0.0"},
        {5, "Sync Accuracy", DR_IN, DT_CHOICE, "1"},
        {6, "Wave.Out", DR_OUT, DT_FSAMPLE, nullptr},
        {7, "Osc Algorithm", DR_IN, DT_CHOICE, "0"},
        {8, "Waveform A", DR_IN, DT_CHOICE, "0"},
        {11, "Waveform D", DR_IN, DT_CHOICE, "0"},
        {12, "Harmonics A", DR_IN, DT_CHOICE, "7"},
        {15, "Harmonics D", DR_IN, DT_CHOICE, "7"},
        {16, "Level A", DR_IN, DT_FSAMPLE, "10.0"},
        {17, "Level B", DR_IN, DT_FSAMPLE, nullptr},
        {19, "Level D", DR_IN, DT_FSAMPLE, nullptr},
        {20, "Tuning A", DR_IN, DT_FSAMPLE, "1.0"},
        {21, "Tuning B", DR_IN, DT_FSAMPLE, "2.0"},
        {22, "Tuning C", DR_IN, DT_FSAMPLE, "3.0"},
        {23, "Tuning D", DR_IN, DT_FSAMPLE, "4.0"},
        {24, "Freq Limit (Hz)", DR_IN, DT_FSAMPLE, "20000"},
        {25, "Limit Freq System", DR_IN, DT_CHOICE, "1"},
        {26, "Remove Root>Limit? WaveB,C,D", DR_IN, DT_CHOICE, "0"},
        {27, "Pitch Mode", DR_IN, DT_CHOICE, "0"},
        {28, "Pitch/Tuning Mod Accuracy", DR_IN, DT_CHOICE, "1"},
        {29, "HOLD: On/Off", DR_IN, DT_CHOICE, "0"},
        {30, "Active", DR_IN, DT_CHOICE, "0"},
        {31, "", DR_PARAMETER, DT_FSAMPLE, ""},
        {32, "", DR_PARAMETER, DT_FSAMPLE, ""},
        {33, "QM_Osc_Link", DR_IN, DT_IVALUE, nullptr},
    };
    for (const Row& r : rows) {
        KVPinProperties d;
        std::memset(&d, 0, sizeof d);
        ASSERT_TRUE(h.M().DescribePin(r.index, &d)) << r.index;
        EXPECT_STREQ(d.name, r.name) << r.index;
        EXPECT_EQ(d.direction, r.direction) << r.index;
        EXPECT_EQ(d.datatype, r.datatype) << r.index;
        if (r.def == nullptr) {
            EXPECT_EQ(d.default_text, nullptr) << r.index;
        } else {
            EXPECT_STREQ(d.default_text, r.def) << r.index;
        }
        EXPECT_EQ(d.flags, 0) << r.index;
        EXPECT_NE(d.variable, nullptr) << r.index;
    }
    KVPinProperties d;
    std::memset(&d, 0, sizeof d);
    EXPECT_FALSE(h.M().DescribePin(34, &d));

    auto list = [&](int index) {
        KVPinProperties p;
        std::memset(&p, 0, sizeof p);
        h.M().DescribePin(index, &p);
        return std::string(p.list ? p.list : "");
    };
    EXPECT_EQ(list(3), "1/100,1/50,1/25,1/10,1/5,1/3,1/2,1,2,3,4,6,10,20,40");
    EXPECT_EQ(list(5), "Low,High");
    for (int k = 8; k <= 11; ++k)
        EXPECT_EQ(list(k), "Sine,Saw,Ramp,Soft Ramp,Peak Ramp,Square,Triangle,Peak,Octava,Cluster1,Cluster2");
    EXPECT_EQ(list(24), "22050,100,22050,100");
    EXPECT_EQ(list(25), "OFF,A,B");
    EXPECT_EQ(list(26), "OFF,ON");
    EXPECT_EQ(list(27), "Oct,Khz,Hz");
    EXPECT_EQ(list(28), "Low,High");
    EXPECT_EQ(list(29), "OFF,ON");
    EXPECT_EQ(list(30), "OFF,ON");
    std::string harmonics = list(12);
    auto items = kvhost::SplitList(harmonics);
    ASSERT_EQ(items.size(), 256u);
    for (int n = 0; n < 256; ++n) ASSERT_EQ(items[n], std::to_string(n + 1));
    for (int k = 13; k <= 15; ++k) EXPECT_EQ(list(k), harmonics);
    EXPECT_EQ(list(7),
              "A+B+C+D,(A+B+C)*D,(A+B+C)>D,(A+B)>C+D,((A+B)>C)*D,(A+B)>C>D,(A+B)*C+D,(A+B)*C*D,((A+B)*C)>D,(A>B)+C+D,"
              "((A>B)+C)*D,((A>B)+C)>D,(A>B)>C+D,(A>B>C)*D,A>B>C>D,(A>B)*C+D,((A>B)*C)>D,(A>B)*C*D,(A*B)+C+D,((A*B)+C)"
              "*D,((A*B)+C)>D,((A*B)>C)+D,((A*B)>C)*D,(A*B)>C>D,A*B*C+D,(A*B*C)>D,A*B*C*D,(A+B)*(C+D)=50,(A>B)+(C>D),"
              "(A*B)+(C*D),(A*B)+(C>D),(A>B)*(C>D),(A*B)*(C>D),(A>B)+(A>C)+D=80,(A>B)+(A>C)+(A>D),(A>B)+(A*C)+D,(A>B)+"
              "(A*C)+(A>D),(A>B)+(A*C)+(A*D),(A*B)+(A*C)+D,(A*B)+(A*C)+(A*D),(A+B)+(A>C)+D,(A+B)+(A*C)+D,(A+B)+(A>C)+("
              "A>D),(A+B)+(A*C)+(A*D),(A+B)+(A>C)+(A*D),((A+B)>C)+((A+B)+D)=100,((A+B)>C)+((A+B)>D),((A+B)>C)+((A+B)*D"
              "),((A+B)*C)+((A+B)*D),((A>B)>C)+((A>B)+D),((A>B)>C)+((A>B)>D),((A>B)>C)+((A>B)*D),((A>B)*C)+((A>B)*D),(("
              "A*B)>C)+((A*B)+D),((A*B)>C)+((A*B)>D),((A*B)>C)+((A*B)*D),((A*B)*C)+((A*B)*D)");
}

// The list values (with the "=N" suffixes) are the algorithm values.
TEST(OscillatorModule, AlgorithmListValuesMatchTheRoutines) {
    auto items = kvhost::SplitList(kAlgorithmList);
    ASSERT_EQ(items.size(), 57u);
    int value = -1;
    for (size_t i = 0; i < items.size(); ++i) {
        size_t eq = items[i].find('=');
        value = eq == std::string::npos ? value + 1 : std::stoi(items[i].substr(eq + 1));
        EXPECT_EQ(kAlgorithms[i].value, value) << items[i];
        EXPECT_NE(Module::DirectRoutine(value, false), nullptr);
        EXPECT_NE(Module::DirectRoutine(value, true), Module::DirectRoutine(value, false));
    }
    for (int v : {-1, 27, 30, 49, 56, 79, 92, 99, 112, 32767}) EXPECT_EQ(Module::DirectRoutine(v, false), nullptr) << v;
}

TEST(OscillatorModule, WithoutLinkAtOpenEveryPinChangeIsIgnored) {
    Harness h(48000.0f, 64, false);
    EXPECT_FALSE(ModuleAccess::LinkConnected(h.M()));
    h.SetLink(TestDirectory::Shared().LinkValue());
    h.SetChoice(PIN_ACTIVE, 1);
    h.Startup({PIN_ROOT_PITCH, PIN_SYNC});
    h.SetChoice(PIN_HOLD, 1);
    h.Status(PIN_HOLD, PS_STATIC);
    EXPECT_TRUE(h.Installed<&KVModule_base::ProcessIdle>());
    EXPECT_EQ(h.process_changes, 0);
    EXPECT_TRUE(h.statuses.empty());
    for (int i = 0; i < 64; ++i) h.Out()[i] = 7.0f;
    h.Run(2);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(h.Out()[i], 7.0f);  // never written
    EXPECT_EQ(ModuleAccess::Table(h.M(), 0), nullptr);
}

TEST(OscillatorModule, DefaultActiveOffInstallsSilenceAndSleepsAfterOneBlock) {
    Harness h(48000.0f, 64);
    h.SetLink(TestDirectory::Shared().LinkValue());
    h.Startup();
    EXPECT_TRUE(h.Installed<&Module::ProcessSilence>());
    ASSERT_FALSE(h.statuses.empty());
    EXPECT_EQ(h.statuses.back().status, PS_ONE_SHOT);
    for (int i = 0; i < 64; ++i) h.Out()[i] = 3.0f;
    h.Call(0, 40);
    EXPECT_EQ(h.sleeps, 0);
    h.Call(40, 24);  // one block's worth
    EXPECT_EQ(h.sleeps, 1);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(h.Out()[i], 0.0f);
    h.NextBlock();
    h.Call(0, 64);
    EXPECT_EQ(h.sleeps, 2);  // every later call asks again
}

TEST(OscillatorModule, HoldFreezesOutputAndPhasesThenResumes) {
    // The same patch with and without a hold in the middle.
    Harness plain(48000.0f, 64), held(48000.0f, 64);
    plain.StartWithTables();
    held.StartWithTables();
    EXPECT_EQ(held.statuses.back().status, PS_STREAMING);
    std::vector<float> a = plain.Run(3);
    std::vector<float> b = held.Run(2);
    held.Call(0, 10);
    held.SetChoice(PIN_HOLD, 1);
    held.Status(PIN_HOLD, PS_STATIC, 10);
    EXPECT_TRUE(held.Installed<&Module::ProcessHold>());
    EXPECT_EQ(held.statuses.back().status, PS_ONE_SHOT);
    EXPECT_EQ(held.statuses.back().clock, 2 * 64 + 10);
    double phases[4];
    for (int k = 0; k < 4; ++k) phases[k] = ModuleAccess::Phase(held.M(), k);
    const float last = held.Out()[9];
    held.Call(10, 54);
    EXPECT_EQ(held.sleeps, 0);
    for (int i = 10; i < 64; ++i) ASSERT_EQ(held.Out()[i], last);
    held.NextBlock();
    held.Call(0, 10);  // a block's worth since the hold: sleep
    EXPECT_EQ(held.sleeps, 1);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(held.Out()[i], last);  // offset 0 holds the previous block's last sample
    held.Call(10, 54);
    EXPECT_EQ(held.sleeps, 2);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ModuleAccess::Phase(held.M(), k), phases[k]);
    held.NextBlock();

    // HOLD OFF: the algorithm resumes from the frozen phases.
    held.SetChoice(PIN_HOLD, 0);
    held.Status(PIN_HOLD, PS_STATIC);
    EXPECT_EQ(held.statuses.back().status, PS_STREAMING);
    EXPECT_TRUE(held.InstalledRoutine(Module::DirectRoutine(0, false)));
    held.Call(0, 54);
    // The plain run's samples from where the hold began (block 2, sample 10).
    for (int i = 0; i < 54; ++i) ASSERT_EQ(held.Out()[i], a[2 * 64 + 10 + i]) << i;
}

TEST(OscillatorModule, HoldOffWhileInactiveHoldsTheSilence) {
    Harness h(48000.0f, 64);
    h.SetLink(TestDirectory::Shared().LinkValue());
    h.Startup();
    h.Run(1);
    h.Status(PIN_HOLD, PS_STATIC);  // HOLD stays OFF, Active is OFF
    EXPECT_TRUE(h.Installed<&Module::ProcessHold>());
    EXPECT_EQ(h.statuses.back().status, PS_ONE_SHOT);
    h.Call(0, 64);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(h.Out()[i], 0.0f);
}

// The announcement follows what Wave.Out does: held or silent output is
// one-shot even when Active turns on, and becomes streaming when a routine
// choice later starts it.
TEST(OscillatorModule, AnnouncementsFollowTheInstalledRoutine) {
    {
        Harness h(48000.0f, 64);
        h.SetChoice(PIN_HOLD, 1);
        h.StartWithTables();  // HOLD ON arrives before Active ON
        EXPECT_TRUE(h.Installed<&Module::ProcessHold>());
        EXPECT_EQ(h.statuses.back().status, PS_ONE_SHOT);
        const size_t sent = h.statuses.size();
        h.SetChoice(PIN_HOLD, 0);
        h.Status(PIN_HOLD, PS_STATIC, 3);
        ASSERT_EQ(h.statuses.size(), sent + 1);  // one announcement per change
        EXPECT_EQ(h.statuses.back().status, PS_STREAMING);
    }
    {
        Harness h(48000.0f, 64);
        h.SetChoice(PIN_ALGORITHM, 30);  // names no algorithm
        h.StartWithTables();
        EXPECT_TRUE(h.Installed<&Module::ProcessHold>());  // from HOLD OFF while inactive
        EXPECT_EQ(h.statuses.back().status, PS_ONE_SHOT);
        const size_t sent = h.statuses.size();
        h.SetChoice(PIN_ALGORITHM, 14);
        h.Status(PIN_ALGORITHM, PS_STATIC, 5);
        EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(14, false)));
        ASSERT_EQ(h.statuses.size(), sent + 1);
        EXPECT_EQ(h.statuses.back().status, PS_STREAMING);
        EXPECT_EQ(h.statuses.back().clock, 5);
        h.SetChoice(PIN_ALGORITHM, 13);
        h.Status(PIN_ALGORITHM, PS_STATIC, 6);
        EXPECT_EQ(h.statuses.size(), sent + 1);  // a running output is not announced again
    }
}

TEST(OscillatorModule, ActiveOffResetsPhasesAndActiveOnResumesTheAlgorithm) {
    Harness h(48000.0f, 64);
    h.StartWithTables();
    h.Run(2);
    EXPECT_NE(ModuleAccess::Phase(h.M(), 0), 0.0);
    h.SetChoice(PIN_ACTIVE, 0);
    h.Status(PIN_ACTIVE, PS_STATIC);
    EXPECT_TRUE(h.Installed<&Module::ProcessSilence>());
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ModuleAccess::Phase(h.M(), k), 0.0);
    h.SetChoice(PIN_ACTIVE, 1);
    h.Status(PIN_ACTIVE, PS_STATIC);
    EXPECT_EQ(h.statuses.back().status, PS_STREAMING);
    EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(0, false)));
}

TEST(OscillatorModule, StaticSyncResetsPhasesOnlyOnARisingStep) {
    Harness h(48000.0f, 64);
    h.SetStream(PIN_SYNC, -0.1f);
    h.StartWithTables();
    h.Run(1);
    h.SetStream(PIN_SYNC, 0.05f);  // -1 V to 0.5 V
    h.Status(PIN_SYNC, PS_ONE_SHOT);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ModuleAccess::Phase(h.M(), k), 0.0);
    h.Run(1);
    h.SetStream(PIN_SYNC, 0.1f);  // 0.5 V to 1 V: no edge
    h.Status(PIN_SYNC, PS_ONE_SHOT);
    EXPECT_NE(ModuleAccess::Phase(h.M(), 0), 0.0);
    EXPECT_EQ(ModuleAccess::LastSync(h.M()), 0.1f);
}

TEST(OscillatorModule, ValuePinsTakeTheirSettings) {
    Harness h(48000.0f, 64);
    h.StartWithTables();
    EXPECT_EQ(ModuleAccess::Harmonics(h.M(), 0), 8);  // choice "7"
    struct {
        float volts;
        float limit;
    } limits[] = {{0.5f, 1.0f}, {0.2f, 1.0f}, {-3.0f, 1.0f}, {NAN, 1.0f}, {1000.0f, 1000.0f}};
    for (auto& l : limits) {
        h.SetStream(PIN_FREQ_LIMIT, l.volts / 10.0f);
        h.Status(PIN_FREQ_LIMIT, PS_STATIC);
        EXPECT_EQ(ModuleAccess::LimitHz(h.M()), l.limit) << l.volts;
    }
    for (auto [choice, harmonics] : {std::pair{-5, 1}, {0, 1}, {255, 256}, {300, 256}, {32767, 256}}) {
        h.SetChoice(PIN_HARMONICS_A + 2, choice);
        h.Status(PIN_HARMONICS_A + 2, PS_STATIC);
        EXPECT_EQ(ModuleAccess::Harmonics(h.M(), 2), harmonics) << choice;
    }
}

TEST(OscillatorModule, WaveformChoicesOutsideTheListKeepTheTable) {
    Harness h(48000.0f, 64);
    const TestDirectory& dir = TestDirectory::Shared();
    h.SetChoice(PIN_WAVEFORM_A + 1, 10);
    h.StartWithTables();
    EXPECT_EQ(ModuleAccess::Table(h.M(), 1), dir.Entry(10));
    for (int w : {11, 20, 21, -1, 32767}) {
        h.SetChoice(PIN_WAVEFORM_A + 1, w);
        h.Status(PIN_WAVEFORM_A + 1, PS_STATIC);
        EXPECT_EQ(ModuleAccess::Table(h.M(), 1), dir.Entry(10)) << w;
    }
    h.Run(2);  // a set read with the set's own rule (no sine mix-up)
}

TEST(OscillatorModule, SilenceUntilTheDirectoryArrives) {
    Harness h(48000.0f, 64);
    h.SetChoice(PIN_ACTIVE, 1);
    h.Startup();  // link value still null
    EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(0, false)));
    for (int i = 0; i < 64; ++i) h.Out()[i] = 5.0f;
    std::vector<float> out = h.Run(2);
    for (float v : out) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(ModuleAccess::Phase(h.M(), 0), 0.0);
    h.SetLink(TestDirectory::Shared().LinkValue());
    h.Status(PIN_LINK, PS_ONE_SHOT);
    out = h.Run(1);
    EXPECT_GT(*std::max_element(out.begin(), out.end()), 0.4f);
}

// ---- Routine choice -----------------------------------------------------------------

TEST(RoutineChoice, AccuracyAndStreamingPickTheKind) {
    struct Case {
        std::vector<int> streaming;
        int accuracy;
        bool realtime;
    } cases[] = {
        {{PIN_TUNING_A}, 1, true},
        {{PIN_TUNING_A}, 0, false},
        {{PIN_ROOT_PITCH}, 1, true},
        {{PIN_LEVEL_A, PIN_LEVEL_A + 3}, 1, false},
        {{}, 1, false},
    };
    for (const Case& c : cases) {
        Harness h(48000.0f, 64);
        h.SetChoice(PIN_ACCURACY, c.accuracy);
        h.SetChoice(PIN_ALGORITHM, 86);
        h.StartWithTables(c.streaming);
        EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(86, c.realtime))) << c.accuracy;
    }
}

TEST(RoutineChoice, SyncRoutineWrapsTheDirectRoutineOfEveryAlgorithm) {
    for (const Algorithm& a : kAlgorithms) {
        Harness h(48000.0f, 64);
        h.SetChoice(PIN_ALGORITHM, a.value);
        h.SetChoice(PIN_PITCH_MODE, PITCH_HZ);
        h.StartWithTables({PIN_SYNC});
        EXPECT_TRUE(h.Installed<&Module::ProcessSyncLinear>()) << a.value;
        EXPECT_EQ(ModuleAccess::SubProcess(h.M()), Module::DirectRoutine(a.value, false)) << a.value;
    }
    struct Case {
        int accuracy, mode;
        Module::Routine routine;
    } cases[] = {
        {0, PITCH_OCT, &Module::ProcessSyncReset},
        {0, PITCH_HZ, &Module::ProcessSyncReset},
        {1, PITCH_OCT, &Module::ProcessSyncOctave},
        {1, PITCH_KHZ, &Module::ProcessSyncLinear},
    };
    for (const Case& c : cases) {
        Harness h(48000.0f, 64);
        h.SetChoice(PIN_SYNC_ACCURACY, c.accuracy);
        h.SetChoice(PIN_PITCH_MODE, c.mode);
        h.StartWithTables({PIN_SYNC, PIN_TUNING_A + 2});
        EXPECT_TRUE(h.InstalledRoutine(c.routine)) << c.accuracy << " " << c.mode;
        EXPECT_EQ(ModuleAccess::SubProcess(h.M()), Module::DirectRoutine(0, true));
        h.Status(PIN_SYNC, PS_STATIC);  // Sync stops streaming: the direct routine again
        EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(0, true)));
    }
}

TEST(RoutineChoice, AnAlgorithmValueOutsideTheListKeepsTheRoutine) {
    Harness h(48000.0f, 64);
    h.SetChoice(PIN_ALGORITHM, 14);
    h.StartWithTables();
    const int changes = h.process_changes;
    for (int v : {30, -1, 56}) {
        h.SetChoice(PIN_ALGORITHM, v);
        h.Status(PIN_ALGORITHM, PS_STATIC);
        EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(14, false))) << v;
    }
    EXPECT_EQ(h.process_changes, changes);
    h.SetChoice(PIN_ALGORITHM, 111);
    h.Status(PIN_ALGORITHM, PS_STATIC);
    EXPECT_TRUE(h.InstalledRoutine(Module::DirectRoutine(111, false)));
    EXPECT_EQ(h.process_changes, changes + 1);
}

TEST(RoutineChoice, HoldOrInactiveKeepsTheStaticRoutine) {
    Harness h(48000.0f, 64);
    h.StartWithTables();
    h.SetChoice(PIN_HOLD, 1);
    h.Status(PIN_HOLD, PS_STATIC);
    h.SetChoice(PIN_ALGORITHM, 5);
    h.Status(PIN_ALGORITHM, PS_STATIC);
    h.Status(PIN_TUNING_A, PS_STREAMING);
    EXPECT_TRUE(h.Installed<&Module::ProcessHold>());
}

// ---- Through the host with the wavetable generator ------------------------------------

TEST(OscillatorHost, LinkFromTheGeneratorAndStatusesOnWaveOut) {
    std::string error;
    auto osc = LoadOscillator();
    auto wt = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_Replacement_OscWT"), error);
    ASSERT_TRUE(osc && wt) << error;
    kvhost::Engine e(48000.0, 64);
    e.tracing = true;
    kvhost::Instance* g = e.Add("wt", *wt, error);
    kvhost::Instance* o = e.Add("osc", *osc, error);
    ASSERT_TRUE(g && o) << error;
    ASSERT_TRUE(e.Connect(*g, 0, *o, PIN_LINK, error)) << error;
    ASSERT_TRUE(e.AddStep(*o, PIN_ACTIVE, 0, 1, error));
    ASSERT_TRUE(e.AddStep(*o, PIN_HOLD, 640, 1, error));
    ASSERT_TRUE(e.AddStep(*o, PIN_ACTIVE, 1280, 0, error));
    int cap = e.Record(*o, PIN_WAVE_OUT, error);
    ASSERT_TRUE(e.Start(error)) << error;
    e.Run(2048);
    std::vector<std::pair<int64_t, int>> statuses;
    std::vector<int64_t> sleeps;
    for (const auto& t : e.trace) {
        if (t.instance != o) continue;
        if (t.kind == kvhost::TraceKind::StatusOut && t.pin == PIN_WAVE_OUT) statuses.push_back({t.clock, t.status});
        if (t.kind == kvhost::TraceKind::Sleep) sleeps.push_back(t.clock);
    }
    // Start-up: HOLD OFF while inactive, Active OFF (defaults), then the steps.
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[statuses.size() - 3], (std::pair<int64_t, int>{0, PS_STREAMING}));
    EXPECT_EQ(statuses[statuses.size() - 2], (std::pair<int64_t, int>{640, PS_ONE_SHOT}));
    EXPECT_EQ(statuses.back(), (std::pair<int64_t, int>{1280, PS_ONE_SHOT}));
    const std::vector<float>& out = e.Captured(cap);
    EXPECT_GT(*std::max_element(out.begin(), out.begin() + 640), 0.49f);
    for (int i = 640; i < 1280; ++i) ASSERT_EQ(out[i], out[639]);
    for (int i = 1280; i < 1344; ++i) ASSERT_EQ(out[i], 0.0f);
    // Sleep requests one block after each change to a constant output.
    EXPECT_EQ(sleeps, (std::vector<int64_t>{640, 1280}));
}

}  // namespace
