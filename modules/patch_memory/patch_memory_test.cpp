// The patch memory through the host, DSP and GUI sides running together:
// pin tables, contour mapping both ways, clamping, bounds at open, trigger
// edges, the random generator and the plus build's reset. A few white-box
// checks cover the generator words and the contour rounding, which no pin
// shows directly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "engine.h"
#include "patch_file.h"
#include "patch_memory.h"

using namespace kvhost;

namespace {

const char* const kBase = "QM_PatchMem_Random_Contour";
const char* const kPlus = "QM_PatchMem_Random_Contour_Plus";

// Description indices of each build.
struct Pins {
    int random, dsp_value, reset, value_in, position, contour, name, min, max, value_out, reset_value;
};
constexpr Pins kBasePins{0, 1, -1, 2, 3, 4, 5, 6, 7, 8, -1};
constexpr Pins kPlusPins{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

enum { LINEAR = 0, EXP = 1, EXP2 = 2, EXP3 = 3 };

// r from a generator word A, computed apart from the module: A as a signed
// 32-bit number over 2^32, plus one half.
float RandomFromWord(uint32_t a) {
    int64_t s = a >= 0x80000000u ? static_cast<int64_t>(a) - (int64_t{1} << 32) : static_cast<int64_t>(a);
    return static_cast<float>(static_cast<long double>(s) / 4294967296.0L + 0.5L);
}

// One patch memory (and, when asked, a dB converter on "DSP Value") in an
// engine. The tick count is fixed before the GUI side opens.
struct Rig {
    explicit Rig(const char* deliverable, uint32_t tick = 0, bool connectOut = false) : eng(48000.0, 64) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%u", tick);
        setenv("KV_TICK_COUNT", buf, 1);
        std::string error;
        lib = Library::Load(DeliverablePath(KV_PLUGIN_DIR, deliverable), error);
        EXPECT_TRUE(lib) << error;
        p = std::strcmp(deliverable, kPlus) == 0 ? kPlusPins : kBasePins;
        pm = eng.Add("pm", *lib, error);
        EXPECT_TRUE(pm) << error;
        if (connectOut) {
            db_lib = Library::Load(DeliverablePath(KV_PLUGIN_DIR, "QM_dB_to_Level(Volts)"), error);
            EXPECT_TRUE(db_lib) << error;
            Instance* db = eng.Add("db", *db_lib, error);
            EXPECT_TRUE(db && eng.Connect(*pm, p.dsp_value, *db, 0, error)) << error;
        }
        eng.tracing = true;
    }
    void Set(int desc, double v) {
        std::string error;
        EXPECT_TRUE(eng.SetValue(*pm, desc, v, error)) << error;
    }
    void Start() {
        std::string error;
        ASSERT_TRUE(eng.Start(error)) << error;
        eng.Run(64);
    }
    // A user change on the GUI side, with everything that follows from it.
    void Put(int desc, float v) {
        eng.GuiPut(*pm, desc, v);
        Settle();
    }
    void Settle() {
        eng.RunGuiWork();
        eng.Run(64);
        eng.RunGuiWork();
    }
    // A trigger step (volts) at the current clock, then settle.
    void Trigger(int desc, double volts) {
        std::string error;
        EXPECT_TRUE(eng.AddStep(*pm, desc, eng.Clock(), volts / 10.0, error)) << error;
        eng.Run(64);
        Settle();
    }
    float Gui(int desc) const { return pm->GuiFloat(desc); }
    std::vector<TraceEntry> Of(TraceKind kind, int pin = -2) const {
        std::vector<TraceEntry> v;
        for (const TraceEntry& t : eng.trace)
            if (t.instance == pm && t.kind == kind && (pin == -2 || t.pin == pin)) v.push_back(t);
        return v;
    }
    // Values announced on "DSP Value".
    std::vector<double> DspValues() const {
        std::vector<double> v;
        for (const TraceEntry& t : Of(TraceKind::StatusOut, p.dsp_value)) v.push_back(t.value);
        return v;
    }

    std::unique_ptr<Library> lib;
    std::unique_ptr<Library> db_lib;
    Engine eng;  // closed before the libraries unload
    Instance* pm = nullptr;
    Pins p{};
};

// ---- Pin tables and properties ----------------------------------------------

TEST(PatchMemory, PinTablesOfBothBuilds) {
    struct Row {
        const char* name;
        int dir, type, flags, dsp;
        const char* def;
        const char* list;
    };
    const int UI = IO_UI_COMMUNICATION, UID = IO_UI_COMMUNICATION | IO_UI_AND_DSP;
    const std::vector<Row> base = {
        {"Random Trigger (button)", DR_IN, DT_FSAMPLE, 0, 0, "0", ""},
        {"DSP Value", DR_OUT, DT_FVALUE, 0, 1, nullptr, ""},
        {"Value In", DR_IN, DT_FVALUE, UID, 2, nullptr, ""},
        {"Animation Position In", DR_IN, DT_FVALUE, UID, 3, nullptr, ""},
        {"Contour? (animation)", DR_IN, DT_CHOICE, UI, -1, nullptr, "Linear,Exp,Exp2,Exp3"},
        {"Name In", DR_IN, DT_STRING, UI, -1, nullptr, ""},
        {"Min Value In", DR_IN, DT_FVALUE, UI, -1, nullptr, ""},
        {"Max Value In", DR_IN, DT_FVALUE, UI, -1, nullptr, ""},
        {"Value Out", DR_OUT, DT_FVALUE, UI, -1, nullptr, ""},
    };
    const std::vector<Row> plus = {
        {"Random Trigger (button)", DR_IN, DT_FSAMPLE, 0, 0, "0", ""},
        {"DSP Value", DR_OUT, DT_FVALUE, 0, 1, nullptr, ""},
        {"Reset Trigger (button)", DR_IN, DT_FSAMPLE, 0, 2, "0", ""},
        {"Value In", DR_IN, DT_FVALUE, UID, 3, nullptr, ""},
        {"Animation Position In", DR_IN, DT_FVALUE, UID, 4, nullptr, ""},
        {"Contour? (animation)", DR_IN, DT_CHOICE, UI, -1, nullptr, "Linear,Exp,Exp2,Exp3"},
        {"Name In", DR_IN, DT_STRING, UI, -1, nullptr, ""},
        {"Min Value In", DR_IN, DT_FVALUE, UI, -1, nullptr, ""},
        {"Max Value In", DR_IN, DT_FVALUE, UI, -1, nullptr, ""},
        {"Value Out", DR_OUT, DT_FVALUE, UI, -1, nullptr, ""},
        {"Reset Value", DR_IN, DT_FVALUE, UI | IO_PATCH_STORE, -1, nullptr, ""},
    };
    struct Build {
        const char* deliverable;
        const char* id;
        const std::vector<Row>* rows;
        int dsp_pins;
    } builds[] = {
        {kBase, "PatchMem_Float_Random_Contour_QM2010", &base, 4},
        {kPlus, "PatchMem_Float_Random_Contour_Plus_QM2010", &plus, 5},
    };
    for (const Build& b : builds) {
        SCOPED_TRACE(b.deliverable);
        Rig r(b.deliverable);
        const KVModuleProperties& props = r.lib->Properties();
        EXPECT_STREQ(props.name, b.deliverable);
        EXPECT_STREQ(props.id, b.id);
        EXPECT_EQ(props.sdkVersion, 2240);
        EXPECT_EQ(std::string(props.about).rfind("Patch Mem with Randomise option\nVer:2.91", 0), 0u) << props.about;
        ASSERT_TRUE(r.pm->HasGui());

        const std::vector<PinInfo>& d = r.pm->Descriptions();
        ASSERT_EQ(d.size(), b.rows->size());
        for (size_t i = 0; i < d.size(); ++i) {
            const Row& row = (*b.rows)[i];
            EXPECT_EQ(d[i].name, row.name) << i;
            EXPECT_EQ(d[i].direction, row.dir) << row.name;
            EXPECT_EQ(d[i].datatype, row.type) << row.name;
            EXPECT_EQ(d[i].flags, row.flags) << row.name;
            EXPECT_EQ(d[i].dsp_index, row.dsp) << row.name;
            EXPECT_EQ(d[i].has_default, row.def != nullptr) << row.name;
            if (row.def) {
                EXPECT_EQ(d[i].default_text, row.def) << row.name;
            }
            EXPECT_EQ(d[i].list, row.list) << row.name;
        }
        EXPECT_EQ(r.pm->Pins().size(), static_cast<size_t>(b.dsp_pins));
    }
}

// ---- Contours -----------------------------------------------------------------

TEST(PatchMemory, PositionToValueAndBackThroughEachContour) {
    struct Case {
        int contour;
        float min, max, position, value, back;
    } cases[] = {
        {LINEAR, 0.0f, 10.0f, 0.25f, 2.5f, 0.25f},
        {EXP, 0.0f, 1.0f, 0.5f, 0.25f, 0.5f},          // back as sqrt(0.25)
        {EXP2, 0.0f, 1.0f, 0.5f, 0.0625f, 0.5f},
        {EXP3, 0.0f, 1.0f, 0.5f, 0.00390625f, 0.5f},
        {EXP2, 0.0f, 10.0f, 0.5f, 0.625f, 0.5f},       // 0.0625 of the range
        {EXP3, -2.0f, 6.0f, 0.5f, -1.96875f, 0.5f},    // 0.00390625 of 8, from -2
        {LINEAR, 3.0f, 3.0f, 0.7f, 3.0f, 0.0f},        // equal bounds
        {EXP, 3.0f, 3.0f, 0.2f, 3.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "contour " << c.contour << " position " << c.position << " range "
                                        << c.min << ".." << c.max);
        Rig r(kBase, 0, true);
        r.Set(r.p.contour, c.contour);
        r.Set(r.p.min, c.min);
        r.Set(r.p.max, c.max);
        r.Start();
        size_t puts_before = r.Of(TraceKind::GuiPut).size();
        r.Put(r.p.position, c.position);
        EXPECT_EQ(r.Gui(r.p.value_in), c.value);
        EXPECT_EQ(r.Gui(r.p.value_out), c.value);
        EXPECT_EQ(r.Gui(r.p.position), c.back);
        ASSERT_FALSE(r.DspValues().empty());
        EXPECT_EQ(r.DspValues().back(), c.value);

        // The module writes "Value In", then (once its change is reported)
        // the position back and "Value Out", in that order.
        auto puts = r.Of(TraceKind::GuiPut);
        ASSERT_GE(puts.size(), puts_before + 4);
        EXPECT_EQ(puts[puts_before + 1].pin, r.p.value_in);
        EXPECT_EQ(puts[puts_before + 1].value, c.value);
        EXPECT_EQ(puts[puts_before + 2].pin, r.p.position);
        EXPECT_EQ(puts[puts_before + 2].value, c.back);
        EXPECT_EQ(puts[puts_before + 3].pin, r.p.value_out);
        EXPECT_EQ(puts[puts_before + 3].value, c.value);
    }
}

TEST(PatchMemory, ValueToPositionFollowsTheInverseCurves) {
    // Against pow in long double: the inverse of p^2, p^4 and p^8.
    const float values[] = {0.0f, 0.001f, 0.0625f, 0.25f, 0.3f, 0.5f, 0.77f, 1.0f};
    const long double roots[] = {1.0L, 2.0L, 4.0L, 8.0L};
    for (int contour = LINEAR; contour <= EXP3; ++contour) {
        Rig r(kBase);
        r.Set(r.p.contour, contour);
        r.Set(r.p.max, 1.0);
        r.Start();
        for (float v : values) {
            r.Put(r.p.value_in, v);
            float expected = static_cast<float>(std::pow(static_cast<long double>(v), 1.0L / roots[contour]));
            EXPECT_FLOAT_EQ(r.Gui(r.p.position), expected) << "contour " << contour << " value " << v;
            EXPECT_EQ(r.Gui(r.p.value_in), v);  // the value a user types stays as typed
            EXPECT_EQ(r.Gui(r.p.value_out), v);
        }
    }
}

TEST(PatchMemory, ContourChangeRewritesThePositionOnly) {
    Rig r(kBase);
    r.Set(r.p.max, 1.0);
    r.Set(r.p.value_in, 0.25);
    r.Start();
    r.Put(r.p.contour, EXP);
    EXPECT_EQ(r.Gui(r.p.position), 0.5f);
    EXPECT_EQ(r.Gui(r.p.value_in), 0.25f);
    EXPECT_EQ(r.Gui(r.p.value_out), 0.25f);
    r.Put(r.p.contour, EXP3);
    EXPECT_EQ(r.Gui(r.p.position), static_cast<float>(std::pow(0.25L, 0.125L)));
    // An unknown contour maps straight through.
    r.Put(r.p.contour, 7);
    EXPECT_EQ(r.Gui(r.p.position), 0.25f);
    r.Put(r.p.position, 0.5f);
    EXPECT_EQ(r.Gui(r.p.value_in), 0.5f);
}

// Exp3 squares p^4 after rounding it to float. Over a sweep the module
// matches that exactly, and some positions tell it apart from p^8 rounded
// once.
TEST(PatchMemory, Exp3RoundsTheFourthPowerFirst) {
    int differs = 0;
    for (int i = 0; i <= 4096; ++i) {
        float p = static_cast<float>(i) / 4096.0f;
        long double x = p;
        float p4 = static_cast<float>(x * x * x * x);
        long double y = p4;
        float twice = static_cast<float>(y * y);
        float once = static_cast<float>(x * x * x * x * x * x * x * x);
        EXPECT_EQ(patch_memory::ContourForward(EXP3, p), twice) << p;
        if (twice != once) ++differs;
    }
    EXPECT_GT(differs, 0);
}

// ---- Clamping and bounds --------------------------------------------------------

TEST(PatchMemory, ValuesPositionsAndBoundsAreClamped) {
    struct Case {
        const char* what;
        int pin;  // 0 value, 1 position, 2 min, 3 max, 4 value out
        float put;
        float value, position, min, max;
    } cases[] = {
        {"value above max", 0, 12.0f, 10.0f, 1.0f, 0.0f, 10.0f},
        {"value below min", 0, -3.0f, 0.0f, 0.0f, 0.0f, 10.0f},
        {"position above 1", 1, 1.5f, 10.0f, 1.0f, 0.0f, 10.0f},
        {"position below 0", 1, -0.5f, 0.0f, 0.0f, 0.0f, 10.0f},
        {"min above max", 2, 20.0f, 10.0f, 0.0f, 10.0f, 10.0f},
        {"min above value", 2, 6.0f, 6.0f, 0.0f, 6.0f, 10.0f},
        {"max below min", 3, -5.0f, 0.0f, 0.0f, 0.0f, 0.0f},
        {"max below value", 3, 2.0f, 2.0f, 1.0f, 0.0f, 2.0f},
        {"value out above max", 4, 11.0f, 10.0f, 1.0f, 0.0f, 10.0f},
        {"value out inside", 4, 4.0f, 4.0f, 0.4f, 0.0f, 10.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r(kBase);
        r.Set(r.p.max, 10.0);
        r.Set(r.p.value_in, 5.0);
        r.Set(r.p.position, 0.5);
        r.Start();
        const int pins[] = {r.p.value_in, r.p.position, r.p.min, r.p.max, r.p.value_out};
        r.Put(pins[c.pin], c.put);
        EXPECT_EQ(r.Gui(r.p.value_in), c.value);
        EXPECT_EQ(r.Gui(r.p.value_out), c.value);
        EXPECT_EQ(r.Gui(r.p.min), c.min);
        EXPECT_EQ(r.Gui(r.p.max), c.max);
        EXPECT_EQ(r.Gui(r.p.position), c.position);
    }
}

TEST(PatchMemory, BothBoundsZeroAtOpenGiveMaxTen) {
    Rig r(kBase);
    r.Set(r.p.value_in, 4.0);
    r.Set(r.p.position, 0.9);
    r.Start();
    EXPECT_EQ(r.Gui(r.p.max), 10.0f);
    EXPECT_EQ(r.Gui(r.p.min), 0.0f);
    // Open writes nothing else: value and position stay as they were set.
    auto puts = r.Of(TraceKind::GuiPut);
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].pin, r.p.max);
    EXPECT_EQ(r.Gui(r.p.value_in), 4.0f);
    EXPECT_EQ(r.Gui(r.p.position), 0.9f);
    // The new maximum is in use: position 1 gives 10.
    r.Put(r.p.position, 1.0f);
    EXPECT_EQ(r.Gui(r.p.value_in), 10.0f);

    // Equal bounds other than zero stay as they are.
    Rig s(kBase);
    s.Set(s.p.min, 3.0);
    s.Set(s.p.max, 3.0);
    s.Start();
    EXPECT_EQ(s.Gui(s.p.max), 3.0f);
    s.Put(s.p.value_in, 3.0f);
    EXPECT_EQ(s.Gui(s.p.position), 0.0f);
}

TEST(PatchMemory, NotANumberOnValueOutSettles) {
    Rig r(kBase);
    r.Start();
    size_t before = r.Of(TraceKind::GuiPut).size();
    r.Put(r.p.value_out, std::numeric_limits<float>::quiet_NaN());
    EXPECT_LT(r.Of(TraceKind::GuiPut).size() - before, 10u);
    // A later ordinary change brings everything back into agreement.
    r.Put(r.p.value_in, 2.0f);
    EXPECT_EQ(r.Gui(r.p.value_out), 2.0f);
    EXPECT_EQ(r.Gui(r.p.position), 0.2f);
}

// ---- DSP side ---------------------------------------------------------------------

TEST(PatchMemory, RisingTriggerEdgesSendOneNoticeEach) {
    struct Case {
        const char* what;
        std::vector<double> volts;  // successive static values of the trigger
        int notices;
    } cases[] = {
        {"0 to 10", {10.0}, 1},
        {"10 then 10 again", {10.0, 10.0}, 1},
        {"10, 0, 10", {10.0, 0.0, 10.0}, 2},
        {"-1 to 0", {-1.0, 0.0}, 0},
        {"-1 to 5", {-1.0, 5.0}, 1},
        {"-0 to a tiny positive", {-0.0, 1e-30}, 1},
        {"positive to positive", {3.0, 7.0, 0.5}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r(kBase);
        r.Start();
        for (double v : c.volts) r.Trigger(r.p.random, v);
        EXPECT_EQ(r.Of(TraceKind::NotifyGui).size(), static_cast<size_t>(c.notices));
        for (const TraceEntry& t : r.Of(TraceKind::NotifyGui)) {
            EXPECT_EQ(t.status, 1);  // value 1: randomise
            EXPECT_EQ(t.pin, 0);     // index 0
        }
    }
    // The DSP side produces no stream: it sleeps on every process call, so
    // after the start-up block nothing calls it until an input changes.
    Rig r(kBase);
    r.Start();
    r.eng.Run(640);
    EXPECT_EQ(r.Of(TraceKind::ProcessCall).size(), 1u);
    EXPECT_EQ(r.Of(TraceKind::Sleep).size(), 1u);
    r.Trigger(r.p.random, 10.0);
    EXPECT_EQ(r.Of(TraceKind::ProcessCall).size(), r.Of(TraceKind::Sleep).size());
}

TEST(PatchMemory, DspValueCopiesValueInOnlyWhenConnected) {
    Rig open(kBase);
    open.Start();
    open.Put(open.p.value_in, 4.0f);
    open.Put(open.p.position, 0.75f);
    EXPECT_EQ(open.Gui(open.p.value_out), 7.5f);
    EXPECT_TRUE(open.DspValues().empty());

    Rig wired(kBase, 0, true);
    wired.Set(wired.p.value_in, 1.5);
    wired.Start();
    wired.Put(wired.p.value_in, 4.0f);
    auto values = wired.DspValues();
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values.front(), 1.5);  // the start-up value
    EXPECT_EQ(values.back(), 4.0);
    for (const TraceEntry& t : wired.Of(TraceKind::StatusOut, wired.p.dsp_value)) EXPECT_EQ(t.status, PS_ONE_SHOT);
}

// ---- Random generator ---------------------------------------------------------------

TEST(PatchMemory, GeneratorWordsAndSeeding) {
    using namespace patch_memory;
    g_random_a = kInitialWordA;
    g_random_b = kInitialWordB;
    float r = StepGenerator();
    EXPECT_EQ(g_random_b, 0xEEBBEEAAu);
    EXPECT_EQ(g_random_a, 0x9A45DE77u);
    EXPECT_EQ(r, RandomFromWord(0x9A45DE77u));
    EXPECT_NEAR(r, 0.1026, 5e-5);

    // t = 0x67661033 adds m = 0x54761033, which takes A to 0: A starts over.
    g_random_a = kInitialWordA;
    g_random_b = kInitialWordB;
    SeedGenerator(0x67661033u);
    EXPECT_EQ(g_random_a, kInitialWordA);
    EXPECT_EQ(g_random_b, kInitialWordB + 0x54761033u);

    // The low two bytes, swapped, over the high half: t = 0x00001234 gives
    // m = 0x34121234.
    g_random_a = 0;
    g_random_b = 0;
    SeedGenerator(0x00001234u);
    EXPECT_EQ(g_random_b, 0x34121234u);

    // The largest word, 2^31 - 1, rounds to exactly 1.0.
    g_random_a = 0;
    g_random_b = 0x7FFFFFFFu;
    EXPECT_EQ(StepGenerator(), 1.0f);
    EXPECT_EQ(g_random_a, 0x7FFFFFFFu);
}

// The words A and B after `steps` steps from (a, b), apart from the module.
void Steps(uint32_t& a, uint32_t& b, int steps) {
    for (int i = 0; i < steps; ++i) {
        b ^= a;
        a += b;
    }
}

TEST(PatchMemory, TriggerRandomisesFromTheInitialWords) {
    // Tick count 0 leaves the initial words; each fresh load starts over.
    for (int load = 0; load < 2; ++load) {
        SCOPED_TRACE(load);
        Rig r(kBase, 0, true);
        r.Set(r.p.max, 1.0);
        r.Start();
        r.Trigger(r.p.random, 10.0);
        float r1 = r.Gui(r.p.position);
        EXPECT_EQ(r1, RandomFromWord(0x9A45DE77u));
        EXPECT_NEAR(r1, 0.1026, 5e-5);
        EXPECT_EQ(r.Gui(r.p.value_in), r1);
        EXPECT_EQ(r.Gui(r.p.value_out), r1);
        ASSERT_FALSE(r.DspValues().empty());
        EXPECT_EQ(r.DspValues().back(), r1);

        r.Trigger(r.p.random, 0.0);
        r.Trigger(r.p.random, 10.0);
        uint32_t a = 0x9A45DE77u, b = 0xEEBBEEAAu;
        Steps(a, b, 1);
        EXPECT_EQ(r.Gui(r.p.position), RandomFromWord(a));
    }
}

TEST(PatchMemory, SeedingFromTheTickCountOncePerProcess) {
    struct Case {
        uint32_t tick, a, b;  // words after seeding
    } cases[] = {
        {0x67661033u, 0xAB89EFCDu, 0x45320167u + 0x54761033u},  // A would be 0
        {0x00000001u, 0xAB89EFCDu + 0x01000001u, 0x45320167u + 0x01000001u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tick);
        // Two instances of one library share the generator; the second
        // GuiOpen does not seed again.
        Rig r(kBase, c.tick);
        std::string error;
        Instance* second = r.eng.Add("pm2", *r.lib, error);
        ASSERT_TRUE(second) << error;
        r.Set(r.p.max, 1.0);
        ASSERT_TRUE(r.eng.SetValue(*second, r.p.max, 1.0, error));
        r.Start();
        r.Trigger(r.p.random, 10.0);
        uint32_t a = c.a, b = c.b;
        Steps(a, b, 1);
        EXPECT_EQ(r.Gui(r.p.position), RandomFromWord(a));
        ASSERT_TRUE(r.eng.AddStep(*second, r.p.random, r.eng.Clock(), 1.0, error));
        r.eng.Run(64);
        r.Settle();
        Steps(a, b, 1);
        EXPECT_EQ(second->GuiFloat(r.p.position), RandomFromWord(a));
    }
}

TEST(PatchMemory, RandomPositionGoesThroughTheContour) {
    Rig r(kBase);
    r.Set(r.p.contour, EXP);
    r.Set(r.p.min, 100.0);
    r.Set(r.p.max, 200.0);
    r.Start();
    r.Trigger(r.p.random, 10.0);
    long double pos = RandomFromWord(0x9A45DE77u);
    float expected = static_cast<float>(static_cast<float>(pos * pos) * 100.0L + 100.0L);
    EXPECT_EQ(r.Gui(r.p.value_in), expected);
    EXPECT_NEAR(r.Gui(r.p.value_in), 101.0533, 1e-3);
}

// ---- Plus build: reset ------------------------------------------------------------

TEST(PatchMemory, PlusResetSetsTheStoredValueAsAValueInChange) {
    Rig r(kPlus, 0, true);
    r.Set(r.p.reset_value, 7.0);
    r.Set(r.p.value_in, 2.0);
    r.Start();
    r.Trigger(r.p.reset, 10.0);
    EXPECT_EQ(r.Gui(r.p.value_in), 7.0f);
    EXPECT_EQ(r.Gui(r.p.value_out), 7.0f);
    EXPECT_EQ(r.Gui(r.p.position), 0.7f);
    EXPECT_EQ(r.DspValues().back(), 7.0);
    auto notices = r.Of(TraceKind::NotifyGui);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].status, 2);  // value 2: reset

    // A new reset value, set by the user, is the one the next reset uses;
    // one beyond the maximum is clamped like any "Value In" change.
    r.Put(r.p.reset_value, 15.0f);
    EXPECT_EQ(r.Gui(r.p.value_in), 7.0f);  // nothing else happens
    r.Trigger(r.p.reset, 0.0);
    r.Trigger(r.p.reset, 10.0);
    EXPECT_EQ(r.Gui(r.p.value_in), 10.0f);
    EXPECT_EQ(r.Gui(r.p.position), 1.0f);

    // The random trigger still works in the plus build: r times the range.
    r.Trigger(r.p.random, 10.0);
    float value = static_cast<float>(static_cast<long double>(RandomFromWord(0x9A45DE77u)) * 10.0L);
    EXPECT_EQ(r.Gui(r.p.value_in), value);
    EXPECT_EQ(r.Gui(r.p.position), static_cast<float>(static_cast<long double>(value) / 10.0L));
}

// ---- Reset value stored with the patch ------------------------------------------------

TEST(PatchMemory, ResetValueSurvivesASavedPatch) {
    namespace fs = std::filesystem;
    const std::string dir = ::testing::TempDir();
    const std::string saved = dir + "/patch_memory_saved.json";
    setenv("KV_TICK_COUNT", "0", 1);
    PatchOptions opt;
    opt.plugin_dir = KV_PLUGIN_DIR;
    opt.out_dir = dir;
    // First render: the user sets "Reset Value" to 6.5 at 0.1 s.
    const std::string first = R"j({
      "sample_rate": 48000, "block_size": 64, "length": 0.2,
      "modules": [{"name": "mem", "plugin": "QM_PatchMem_Random_Contour_Plus",
                   "pins": {"Min Value In": 0, "Max Value In": 10, "Value In": 1, "Reset Value": 2}}],
      "automation": {"mem.Reset Value": [[0.1, 6.5]]}
    })j";
    {
        LoadedPatch p;
        std::string error;
        ASSERT_TRUE(LoadPatchText(first, opt, p, error)) << error;
        ASSERT_TRUE(RenderPatch(p, opt, error)) << error;
        EXPECT_EQ(p.engine->Find("mem")->GuiFloat(kPlusPins.reset_value), 6.5f);
        ASSERT_TRUE(SavePatch(p, saved, error)) << error;
    }
    std::ifstream in(saved);
    std::stringstream text;
    text << in.rdbuf();
    auto j = nlohmann::json::parse(text.str());
    EXPECT_EQ(j["modules"][0]["pins"]["Reset Value"].get<double>(), 6.5);
    EXPECT_EQ(j["modules"][0]["pins"]["Value In"].get<double>(), 1.0);  // settings stay

    // Second render from the saved patch, without the automation: a reset at
    // 0.05 s installs the stored 6.5.
    j["automation"] = nlohmann::json::object();
    j["automation"]["mem.Reset Trigger (button)"] = nlohmann::json::array({nlohmann::json::array({0.05, 10.0})});
    nlohmann::json output = nlohmann::json::object();
    output["file"] = "patch_memory_reset.csv";
    output["pins"] = nlohmann::json::array({"mem.DSP Value", "mem.Value Out"});
    j["outputs"] = nlohmann::json::array({output});
    {
        LoadedPatch p;
        std::string error;
        ASSERT_TRUE(LoadPatchText(j.dump(), opt, p, error)) << error;
        ASSERT_TRUE(RenderPatch(p, opt, error)) << error;
        Instance* mem = p.engine->Find("mem");
        EXPECT_EQ(mem->GuiFloat(kPlusPins.value_in), 6.5f);
        EXPECT_EQ(mem->GuiFloat(kPlusPins.value_out), 6.5f);
    }
    std::ifstream csv(dir + "/patch_memory_reset.csv");
    std::stringstream rows;
    rows << csv.rdbuf();
    EXPECT_NE(rows.str().find("\"mem.Value Out\",gui,6.5"), std::string::npos) << rows.str();

    // The base build has nothing to store: its settings come back unchanged.
    const std::string base = R"j({"length": 0.01, "modules": [{"name": "m", "plugin": "QM_PatchMem_Random_Contour",
                                  "pins": {"Max Value In": 5}}]})j";
    LoadedPatch p;
    std::string error;
    ASSERT_TRUE(LoadPatchText(base, opt, p, error)) << error;
    ASSERT_TRUE(RenderPatch(p, opt, error)) << error;
    ASSERT_TRUE(SavePatch(p, saved, error)) << error;
    std::ifstream again(saved);
    auto k = nlohmann::json::parse(again);
    EXPECT_EQ(k, nlohmann::json::parse(base));
    fs::remove(saved);
}

}  // namespace

// ---- The example patches ------------------------------------------------------------

namespace {

bool RenderExample(const char* file, LoadedPatch& p) {
    PatchOptions opt;
    opt.plugin_dir = KV_PLUGIN_DIR;
    opt.out_dir = ::testing::TempDir();
    std::string error;
    if (!LoadPatchFile(std::string(KV_EXAMPLES_DIR) + "/" + file, opt, p, error) || !RenderPatch(p, opt, error)) {
        ADD_FAILURE() << error;
        return false;
    }
    return true;
}

TEST(PatchMemoryExamples, ContourCasesRenderTheirNumbers) {
    setenv("KV_TICK_COUNT", "0", 1);
    LoadedPatch p;
    ASSERT_TRUE(RenderExample("patch_memory_contours.json", p));
    Engine& e = *p.engine;
    const Pins& b = kBasePins;
    EXPECT_EQ(e.Find("lin")->GuiFloat(b.value_out), 10.0f);  // 2.5, then 12 clamped to 10
    EXPECT_EQ(e.Find("lin")->GuiFloat(b.min), 10.0f);        // 20 written back as the maximum
    EXPECT_EQ(e.Find("exp")->GuiFloat(b.value_out), 0.25f);
    EXPECT_EQ(e.Find("exp")->GuiFloat(b.position), 0.5f);
    EXPECT_EQ(e.Find("exp2")->GuiFloat(b.value_out), 0.0625f);
    EXPECT_EQ(e.Find("exp3")->GuiFloat(b.value_out), 0.00390625f);
    EXPECT_EQ(e.Find("equal")->GuiFloat(b.value_out), 3.0f);
    EXPECT_EQ(e.Find("equal")->GuiFloat(b.position), 0.0f);
    EXPECT_EQ(e.Find("fresh")->GuiFloat(b.max), 10.0f);
    // "Value In" of lin went 2.5 and then 10 on the GUI side.
    std::vector<double> lin_values;
    for (const TraceEntry& t : e.trace)
        if (t.instance == e.Find("lin") && t.kind == TraceKind::GuiPut && t.pin == b.value_in) lin_values.push_back(t.value);
    ASSERT_FALSE(lin_values.empty());
    EXPECT_EQ(lin_values.front(), 2.5);
    EXPECT_EQ(lin_values.back(), 10.0);
}

// Every randomised level reaches the dB converter: its output is
// 2^(dB / 6) for each value "DSP Value" announced.
TEST(PatchMemoryExamples, RandomValuesDriveTheConverter) {
    setenv("KV_TICK_COUNT", "0", 1);
    LoadedPatch p;
    ASSERT_TRUE(RenderExample("patch_memory.json", p));
    Engine& e = *p.engine;
    Instance* mem = e.Find("mem");
    Instance* level = e.Find("level");
    ASSERT_TRUE(mem && level);
    std::vector<std::pair<int64_t, double>> announced;
    for (const TraceEntry& t : e.trace)
        if (t.instance == mem && t.kind == TraceKind::StatusOut && t.pin == kBasePins.dsp_value)
            announced.emplace_back(t.clock, t.value);
    // The start-up value and one new value for each of the four triggers.
    std::vector<double> distinct;
    for (auto& a : announced)
        if (distinct.empty() || distinct.back() != a.second) distinct.push_back(a.second);
    ASSERT_EQ(distinct.size(), 5u);
    EXPECT_EQ(distinct[0], -12.0);
    int capture = -1;
    for (const PatchOutput& o : p.outputs)
        for (const PatchPin& pp : o.pins)
            if (pp.inst == level) capture = pp.capture;
    ASSERT_GE(capture, 0);
    const std::vector<float>& out = e.Captured(capture);
    for (auto& [clock, db] : announced) {
        EXPECT_GE(db, -24.0);
        EXPECT_LE(db, 0.0);
        ASSERT_LT(clock, static_cast<int64_t>(out.size()));
        EXPECT_NEAR(out[clock], std::exp2(db / 6.0), 1e-6 * std::exp2(db / 6.0)) << "at sample " << clock;
    }
}

}  // namespace
