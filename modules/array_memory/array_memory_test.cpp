// The array memory through the host: the data-file format, loading and
// saving, index rounding, writes, resizing, Clear, and the safety of the data
// file when sizes, files or saves go wrong.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "array_memory.h"
#include "engine.h"
#include "library.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using kvhost::Engine;
using kvhost::Instance;
using kvhost::Library;
using kvhost::TraceKind;

enum Desc { INPUT = 0, INDEX_IN, WRITE, FILE_NAME, CLEAR, OUTPUT, INDEX_OUT, ARRAY_SIZE, USE_FILE };

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::unique_ptr<Library> LoadArray() {
    std::string error;
    auto lib = Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "ZB_Array"), error);
    EXPECT_TRUE(lib) << error;
    return lib;
}

std::string ReadText(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteText(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary);
    f << text;
}

// A fresh folder for data files, removed afterwards.
class ArrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zb_array_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
};

// Per-sample values for the three stream inputs: each sample is one step.
struct Program {
    std::vector<float> input, index, write;

    // Index In for `slot`: 0.1 per slot.
    static float At(int slot) { return static_cast<float>(slot * 0.1); }
    int Step(float in, float idx, float wr) {
        input.push_back(in);
        index.push_back(idx);
        write.push_back(wr);
        return static_cast<int>(input.size()) - 1;
    }
    // Stores `value` in `slot`: Write at 0, then rising to 1.
    void Store(int slot, float value) {
        Step(0.0f, At(slot), 0.0f);
        Step(value, At(slot), 1.0f);
    }
    // Selects `slot`; returns the sample at which Output shows it.
    int Read(int slot) { return Step(0.0f, At(slot), 0.0f); }
    int Length() const { return static_cast<int>(input.size()); }
};

kvhost::Generator Hold(std::vector<float> values) {
    return [values](int64_t start, float* out, int n) {
        for (int i = 0; i < n; ++i) {
            size_t k = static_cast<size_t>(start + i);
            out[i] = values.empty() ? 0.0f : values[std::min(k, values.size() - 1)];
        }
    };
}

// One array module in a host.
struct Rig {
    std::unique_ptr<Library> lib = LoadArray();
    std::unique_ptr<Engine> eng = std::make_unique<Engine>(48000.0, 16);
    Instance* inst = nullptr;
    int out = -1, index_out = -1;
    std::string error;

    explicit Rig(const fs::path& file, double size = 100, int useFile = 1) {
        eng->tracing = true;
        inst = eng->Add("array", *lib, error);
        EXPECT_TRUE(inst) << error;
        EXPECT_TRUE(eng->SetText(*inst, FILE_NAME, file.string(), error)) << error;
        EXPECT_TRUE(eng->SetValue(*inst, ARRAY_SIZE, size, error)) << error;
        EXPECT_TRUE(eng->SetValue(*inst, USE_FILE, useFile, error)) << error;
        out = eng->Record(*inst, OUTPUT, error);
        index_out = eng->Record(*inst, INDEX_OUT, error);
    }
    void Play(const Program& p) {
        ASSERT_TRUE(eng->SetGenerator(*inst, INPUT, Hold(p.input), error)) << error;
        ASSERT_TRUE(eng->SetGenerator(*inst, INDEX_IN, Hold(p.index), error)) << error;
        ASSERT_TRUE(eng->SetGenerator(*inst, WRITE, Hold(p.write), error)) << error;
    }
    void Step(int desc, int64_t at, double value) { ASSERT_TRUE(eng->AddStep(*inst, desc, at, value, error)) << error; }
    void TextStep(int desc, int64_t at, const fs::path& text) {
        ASSERT_TRUE(eng->AddTextStep(*inst, desc, at, text.string(), error)) << error;
    }
    void Run(int64_t samples) {
        ASSERT_TRUE(eng->Start(error)) << error;
        eng->Run(samples);
    }
    float Out(int sample) const { return eng->Captured(out).at(sample); }
    float IndexOut(int sample) const { return eng->Captured(index_out).at(sample); }
    void Close() { eng->Close(); }
};

// ---- Properties and pins --------------------------------------------------

TEST(ArrayMemory, PropertiesAndFrameworkFlavour) {
    auto lib = LoadArray();
    KVModuleProperties p;
    std::memset(&p, 0, sizeof p);
    EXPECT_EQ(lib->GetProperties()(1, &p), 0);
    EXPECT_EQ(p.sdkVersion, 2230);  // written before the index is looked at
    EXPECT_EQ(p.name, nullptr);
    ASSERT_EQ(lib->GetProperties()(0, &p), 1);
    EXPECT_STREQ(p.name, "ZB_Array");
    EXPECT_STREQ(p.id, "ZB_Array 2.3+");
    EXPECT_EQ(std::string(p.about).rfind("ZB_Array v2.3\n", 0), 0u);
    EXPECT_NE(std::string(p.about).find("\n\n\tIndex In: Selects a slot using values from 0\n"
                                        "\t\tto the Array Size - 1. Index input is rounded\n"
                                        "\t\tto the nearest integer.\n"),
              std::string::npos);
    EXPECT_EQ(lib->Make()(0, 2, nullptr, nullptr), nullptr);  // no GUI side
    EXPECT_EQ(lib->Make()(0, 3, nullptr, nullptr), nullptr);
    auto* rec = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->magic, KV_PLUG_MAGIC);
    EXPECT_EQ(rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST(ArrayMemory, PinTable) {
    auto lib = LoadArray();
    Engine eng(48000.0, 16);
    std::string error;
    Instance* inst = eng.Add("array", *lib, error);
    ASSERT_TRUE(inst) << error;
    struct Row {
        const char* name;
        int direction, datatype;
        const char* def;  // null: none
        const char* list;
        int flags;
    };
    const Row rows[] = {
        {"Input", DR_IN, DT_FSAMPLE, "0", "", 0x200},
        {"Index In", DR_IN, DT_FSAMPLE, "0", "", 0x200},
        {"Write", DR_IN, DT_FSAMPLE, "0", "", 0x200},
        {"File Name", DR_IN, DT_STRING, "ArrayData01.txt", "txt", IO_FILE_PATH},
        {"Clear", DR_IN, DT_CHOICE, "0", "No,Yes", 0},
        {"Output", DR_OUT, DT_FSAMPLE, nullptr, "", 0},
        {"Index Out", DR_OUT, DT_FSAMPLE, nullptr, "", 0},
        {"Array Size", DR_PARAMETER, DT_FVALUE, "100", "", 0},
        {"Use File?", DR_PARAMETER, DT_CHOICE, "1", "No,Yes", 0},
    };
    const auto& d = inst->Descriptions();
    ASSERT_EQ(d.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(d[i].name, rows[i].name);
        EXPECT_EQ(d[i].direction, rows[i].direction);
        EXPECT_EQ(d[i].datatype, rows[i].datatype);
        EXPECT_EQ(d[i].has_default, rows[i].def != nullptr);
        if (rows[i].def) {
            EXPECT_EQ(d[i].default_text, rows[i].def);
        }
        EXPECT_EQ(d[i].list, rows[i].list);
        EXPECT_EQ(d[i].flags, rows[i].flags);
        EXPECT_EQ(d[i].dsp_index, i);
    }
}

// ---- The data file ----------------------------------------------------------

struct SaveCase {
    std::vector<float> slots;
    std::string text;
};

TEST_F(ArrayTest, SaveWritesTenValuesPerLineTimesTen) {
    const std::vector<SaveCase> cases = {
        {{0.1f, 0.2f, 0.3f}, "1.000000, 2.000000, 3.000000\r\n"},
        {{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f, -2.5f, 0.0123456f},
         "1.000000, 2.000000, 3.000000, 4.000000, 5.000000, 6.000000, 7.000000, 8.000000, 9.000000, 10.000000\r\n"
         "-25.000000, 0.123456\r\n"},
        {{0.5f, 0, 0, 0, 0, 0, 0, 0, 0, 1.25f},
         "5.000000, 0.000000, 0.000000, 0.000000, 0.000000, 0.000000, 0.000000, 0.000000, 0.000000, 12.500000\r\n"},
        {{-0.75f}, "-7.500000\r\n"},
    };
    for (const SaveCase& c : cases) {
        SCOPED_TRACE(c.text);
        fs::path file = dir / "save.txt";
        fs::remove(file);
        Rig rig(file, static_cast<double>(c.slots.size()));
        Program p;
        for (size_t i = 0; i < c.slots.size(); ++i) p.Store(static_cast<int>(i), c.slots[i]);
        rig.Play(p);
        rig.Run(p.Length() + 1);
        EXPECT_FALSE(fs::exists(file));  // written on close only
        rig.Close();
        EXPECT_EQ(ReadText(file), c.text);
        EXPECT_FALSE(fs::exists(dir / "save.txt.tmp"));
    }
}

struct LoadCase {
    std::string text;
    int size;
    std::vector<float> expected;  // slots 0 .. n-1 after the load
};

// The start-up load fills the slots from the file; the rest stay zero.
TEST_F(ArrayTest, LoadSplitsAtAnyDelimiterRun) {
    const std::vector<LoadCase> cases = {
        {"1 2\t3\r\n4,5", 100, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.0f, 0.0f}},
        {"1, 2, 3, 4, 5\r\n", 3, {0.1f, 0.2f, 0.3f}},                      // more values than slots
        {",,\r\n\t 7 ,, ,\n-3e1", 4, {0.7f, -3.0f, 0.0f, 0.0f}},           // runs of delimiters
        {"abc, 12abc, 0x10, +4, .5, nan", 8, {0.0f, 1.2f, 1.6f, 0.4f, 0.05f, kNaN, 0.0f}},
        {"1, 2\0 3, 4"s, 5, {0.1f, 0.2f, 0.0f, 0.0f}},                     // the text ends at a zero byte
        {"", 3, {0.0f, 0.0f, 0.0f}},
        {"25.000000, -7.500000\r\n", 2, {2.5f, -0.75f}},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.text);
        fs::path file = dir / "load.txt";
        WriteText(file, c.text);
        Rig rig(file, c.size);
        Program p;
        std::vector<int> at;
        for (size_t i = 0; i < c.expected.size(); ++i) at.push_back(p.Read(static_cast<int>(i)));
        rig.Play(p);
        rig.Run(p.Length());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            if (std::isnan(c.expected[i]))
                EXPECT_TRUE(std::isnan(rig.Out(at[i]))) << "slot " << i;
            else
                EXPECT_EQ(rig.Out(at[i]), c.expected[i]) << "slot " << i;
        }
    }
}

// A later file name loads over the slots: values beyond the file's last one stay.
TEST_F(ArrayTest, PartialFileLeavesTheRestOfTheSlots) {
    WriteText(dir / "a.txt", "1, 2, 3\r\n");
    WriteText(dir / "b.txt", "5, 7\n");
    Rig rig(dir / "a.txt", 3);
    Program p;
    int before = p.Read(2);
    while (p.Length() < 100) p.Read(2);
    int r0 = p.Read(0), r1 = p.Read(1), r2 = p.Read(2);
    rig.TextStep(FILE_NAME, 50, dir / "b.txt");
    rig.Play(p);
    rig.Run(p.Length());
    EXPECT_EQ(rig.Out(before), 0.3f);
    EXPECT_EQ(rig.Out(r0), 0.5f);
    EXPECT_EQ(rig.Out(r1), 0.7f);
    EXPECT_EQ(rig.Out(r2), 0.3f);
}

TEST_F(ArrayTest, RoundTripThroughPinsCloseAndANewInstance) {
    fs::path file = dir / "round.txt";
    const std::vector<float> values = {0.25f, -0.5f, 0.3f, 1.0f, -1.7f, 0.0f, 12.5f, 0.125f, -0.0625f, 0.9f, 0.1f, -3.2f};
    {
        Rig rig(file, 12);
        Program p;
        for (size_t i = 0; i < values.size(); ++i) p.Store(static_cast<int>(i), values[i]);
        rig.Play(p);
        rig.Run(p.Length() + 1);
        rig.Close();
    }
    Rig rig(file, 12);
    Program p;
    std::vector<int> at;
    for (size_t i = 0; i < values.size(); ++i) at.push_back(p.Read(static_cast<int>(i)));
    rig.Play(p);
    rig.Run(p.Length());
    // The file keeps six decimals of value x 10 and reads back through the
    // float constant 0.1: equal to within the last bits of a float.
    for (size_t i = 0; i < values.size(); ++i) EXPECT_FLOAT_EQ(rig.Out(at[i]), values[i]) << "slot " << i;
}

// ---- Per-sample behaviour -------------------------------------------------

TEST_F(ArrayTest, IndexRoundsToTheNearestSlotAndOutOfRangeKeepsIt) {
    struct Case {
        float index;  // module units, 0.1 per slot
        int slot;     // -1: keeps the previous slot (7)
    };
    const Case cases[] = {
        {0.05f, 1}, {-0.1f, 0}, {-0.16f, -1}, {-0.149f, 0}, {0.0f, 0}, {-0.0f, 0},
        {0.549f, 5}, {0.55f, 6}, {0.5f, 5}, {9.9f, 99}, {9.94f, 99}, {9.95f, -1},
        {10.0f, -1}, {-5.0f, -1}, {kNaN, -1}, {kInf, -1}, {-kInf, -1}, {1e30f, -1}, {-1e30f, -1},
    };
    // Every slot holds its own number / 100, so Output names the slot as well.
    std::string text;
    for (int i = 0; i < 100; ++i) text += std::to_string(i) + " ";
    WriteText(dir / "slots.txt", text);
    Rig rig(dir / "slots.txt", 100);
    Program p;
    std::vector<int> at;
    for (const Case& c : cases) {
        p.Read(7);
        at.push_back(p.Step(0.0f, c.index, 0.0f));
    }
    rig.Play(p);
    rig.Run(p.Length());
    for (size_t k = 0; k < std::size(cases); ++k) {
        int slot = cases[k].slot < 0 ? 7 : cases[k].slot;
        SCOPED_TRACE("Index In " + std::to_string(cases[k].index));
        EXPECT_FLOAT_EQ(rig.IndexOut(at[k]), slot / 10.0f);
        EXPECT_FLOAT_EQ(rig.Out(at[k]), slot / 10.0f);
    }
    EXPECT_EQ(rig.IndexOut(at[0] - 1), 0.7f);
    EXPECT_EQ(rig.IndexOut(at[6]), 0.5f);  // slot 5
}

TEST_F(ArrayTest, WriteStoresOnlyWhenRisingFromExactlyZero) {
    struct Case {
        float from, to;
        bool stores;
    };
    const Case cases[] = {
        {0.0f, 0.7f, true},   {-1.0f, 0.7f, false}, {0.3f, 0.7f, false}, {-0.0f, 0.7f, true},
        {0.0f, 1e-30f, true}, {0.0f, 0.0f, false},  {0.0f, -0.5f, false}, {0.0f, kNaN, false},
        {kNaN, 1.0f, false},  {1e-30f, 1.0f, false}, {0.0f, kInf, true},
    };
    Program p;
    std::vector<int> at;
    for (size_t k = 0; k < std::size(cases); ++k) {
        int slot = static_cast<int>(k) + 1;
        float value = 0.01f * slot;
        p.Step(9.0f, Program::At(slot), -5.0f);           // "Write" away from zero
        p.Step(9.0f, Program::At(slot), cases[k].from);   // the edge's start: never stores
        at.push_back(p.Step(value, Program::At(slot), cases[k].to));
    }
    Rig rig(dir / "unused.txt", 100, 0);
    rig.Play(p);
    rig.Run(p.Length());
    for (size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(std::to_string(cases[k].from) + " -> " + std::to_string(cases[k].to));
        float value = 0.01f * (static_cast<int>(k) + 1);
        EXPECT_EQ(rig.Out(at[k]), cases[k].stores ? value : 0.0f);  // on Output at the same sample
        EXPECT_NE(rig.Out(at[k] - 1), 9.0f);
    }
    EXPECT_FALSE(fs::exists(dir / "unused.txt"));  // "Use File?" No: nothing saved
}

TEST_F(ArrayTest, ResizeKeepsTheFirstSlotsAndMovesTheIndexDown) {
    Rig rig(dir / "unused.txt", 100, 0);
    Program p;
    p.Store(0, 0.5f);
    p.Store(1, 0.25f);
    p.Store(57, 0.75f);
    int on57 = p.Read(57);
    while (p.Length() < 100) p.Step(0.0f, Program::At(57), 0.0f);  // 5.7: slot 57 while it exists
    int after = p.Step(0.0f, Program::At(57), 0.0f);               // Array Size 2.9 at 100
    while (p.Length() < 200) p.Step(0.0f, Program::At(57), 0.0f);
    int grown57 = p.Read(57);                                      // Array Size 100 at 200
    int grown0 = p.Read(0);
    int grown1 = p.Read(1);
    int grown2 = p.Read(2);
    rig.Step(ARRAY_SIZE, 100, 2.9);
    rig.Step(ARRAY_SIZE, 200, 100.0);
    rig.Play(p);
    rig.Run(p.Length());
    EXPECT_EQ(rig.Out(on57), 0.75f);
    EXPECT_EQ(rig.IndexOut(after), 0.1f);  // index 57 became 1, the last of two slots
    EXPECT_EQ(rig.Out(after), 0.25f);
    EXPECT_EQ(rig.Out(grown57), 0.0f);  // lost with the shrink
    EXPECT_EQ(rig.Out(grown0), 0.5f);
    EXPECT_EQ(rig.Out(grown1), 0.25f);
    EXPECT_EQ(rig.Out(grown2), 0.0f);
}

// Sizes below 1 give one slot; NaN, negative and absurd sizes keep the slots.
TEST_F(ArrayTest, BadArraySizesKeepTheSlots) {
    struct Case {
        double size;
        int length;  // slots afterwards
    };
    const Case cases[] = {{0.0, 1}, {0.5, 1}, {-0.0, 1}, {3.99, 3}, {-1.0, 4}, {-5e9, 4}, {kNaN, 4},
                          {kInf, 4}, {-kInf, 4}, {1e30, 4}, {3e7, 4}, {16777217.0 * 2, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE("Array Size " + std::to_string(c.size));
        fs::path file = dir / "size.txt";
        WriteText(file, "1 2 3 4");
        Rig rig(file, 4);
        Program p;
        while (p.Length() < 50) p.Read(3);
        int reads[4];
        for (int i = 0; i < 4; ++i) reads[i] = p.Read(i);
        int last = p.Read(3);
        rig.Step(ARRAY_SIZE, 20, c.size);
        rig.Play(p);
        rig.Run(p.Length());
        EXPECT_EQ(rig.Out(10), 0.4f);
        for (int i = 0; i < 4; ++i) {
            float expected = i < c.length ? 0.1f * (i + 1) : 0.1f * c.length;  // beyond: index kept
            EXPECT_FLOAT_EQ(rig.Out(reads[i]), expected) << "slot " << i;
        }
        EXPECT_FLOAT_EQ(rig.IndexOut(last), 0.1f * (c.length - 1));
        rig.Close();
        if (c.length == 4) {
            EXPECT_EQ(ReadText(file), "1.000000, 2.000000, 3.000000, 4.000000\r\n");
        }
    }
}

TEST_F(ArrayTest, ClearDeletesTheFileAndZeroesTheSlotsAtEachYes) {
    fs::path file = dir / "clear.txt";
    WriteText(file, "1 2 3");
    Rig rig(file, 3);
    Program p;
    int before = p.Read(1);
    while (p.Length() < 40) p.Read(1);
    int cleared = p.Read(1);      // Clear Yes at 40
    p.Store(1, 0.9f);
    int stored = p.Read(1);
    while (p.Length() < 80) p.Read(1);
    int again = p.Read(1);        // Clear Yes again at 80
    rig.Step(CLEAR, 40, 1);
    rig.Step(CLEAR, 80, 1);
    rig.Play(p);
    ASSERT_TRUE(rig.eng->Start(rig.error));
    rig.eng->Run(60);
    EXPECT_FALSE(fs::exists(file));
    WriteText(file, "5 5 5");
    rig.eng->Run(p.Length() - 60);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(rig.Out(before), 0.2f);
    EXPECT_EQ(rig.Out(cleared), 0.0f);
    EXPECT_EQ(rig.Out(stored), 0.9f);
    EXPECT_EQ(rig.Out(again), 0.0f);
}

// Inputs that do not stream: one-shot announcements and a sleep after a block.
TEST_F(ArrayTest, StaticInputsAnnounceOneShotAndSleep) {
    Rig rig(dir / "unused.txt", 100, 0);
    ASSERT_TRUE(rig.eng->SetValue(*rig.inst, INDEX_IN, 0.3, rig.error));
    rig.Step(WRITE, 40, 0.5);
    ASSERT_TRUE(rig.eng->SetValue(*rig.inst, INPUT, 0.25, rig.error));
    rig.Run(100);
    int sleeps = 0;
    std::vector<int64_t> sleepClocks;
    for (const auto& t : rig.eng->trace) {
        if (t.kind == TraceKind::StatusOut) {
            EXPECT_EQ(t.status, PS_ONE_SHOT);
            EXPECT_TRUE(t.pin == 5 || t.pin == 6);
        }
        if (t.kind == TraceKind::Sleep) sleepClocks.push_back(t.clock), ++sleeps;
    }
    ASSERT_EQ(sleeps, 2);
    EXPECT_EQ(sleepClocks[0], 0);   // the start-up block of 16, then asleep
    EXPECT_EQ(sleepClocks[1], 48);  // woken at 40: 16 samples later, at the end of the block
    EXPECT_EQ(rig.Out(40), 0.25f);  // the write at the wake-up sample
    EXPECT_EQ(rig.IndexOut(40), 0.3f);
}

TEST_F(ArrayTest, StreamingInputsAnnounceStreamingAndNeverSleep) {
    Rig rig(dir / "unused.txt", 100, 0);
    Program p;
    p.Read(3);
    rig.Play(p);
    rig.Run(100);
    for (const auto& t : rig.eng->trace) {
        EXPECT_NE(t.kind, TraceKind::Sleep);
        if (t.kind == TraceKind::StatusOut) {
            EXPECT_EQ(t.status, PS_STREAMING);
        }
    }
}

// "Use File?" No: resizes and name changes never read the file, and closing
// never writes it.
TEST_F(ArrayTest, UseFileNoLeavesTheFileAlone) {
    fs::path file = dir / "other.txt";
    WriteText(file, "1 2 3");
    Rig rig(file, 3, 0);
    Program p;
    while (p.Length() < 80) p.Read(0);
    int r0 = p.Read(0), r2 = p.Read(2);
    rig.Step(ARRAY_SIZE, 20, 5);
    rig.Step(ARRAY_SIZE, 40, 3);
    rig.TextStep(FILE_NAME, 60, file);
    rig.Play(p);
    rig.Run(p.Length());
    EXPECT_EQ(rig.Out(r0), 0.0f);
    EXPECT_EQ(rig.Out(r2), 0.0f);
    rig.Close();
    EXPECT_EQ(ReadText(file), "1 2 3");
}

// ---- The data file is never lost ------------------------------------------

TEST_F(ArrayTest, FailedSaveLeavesThePreviousFile) {
    fs::path file = dir / "keep.txt";
    WriteText(file, "1 2 3");
    fs::create_directory(dir / "keep.txt.tmp");  // the temporary file cannot be made
    Rig rig(file, 3);
    Program p;
    p.Store(0, 0.9f);
    rig.Play(p);
    rig.Run(p.Length());
    rig.Close();
    EXPECT_EQ(ReadText(file), "1 2 3");
}

// A save cut off part way (here by a file-size limit that kills the process
// while it writes) leaves the previous file whole, and the next run reads it.
TEST_F(ArrayTest, SaveKilledHalfwayLeavesThePreviousFile) {
    fs::path file = dir / "big.txt";
    WriteText(file, "1 2 3");
    EXPECT_EXIT(
        {
            Rig rig(file, 1000);  // about 10 kB of text
            Program p;
            p.Store(0, 0.9f);
            rig.Play(p);
            if (!rig.eng->Start(rig.error)) std::exit(2);
            rig.eng->Run(p.Length());
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = 4096;
            setrlimit(RLIMIT_FSIZE, &lim);
            rig.Close();
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGXFSZ), "");
    EXPECT_EQ(ReadText(file), "1 2 3");
    ASSERT_TRUE(fs::exists(dir / "big.txt.tmp"));  // what the cut-off save got to write
    EXPECT_LE(fs::file_size(dir / "big.txt.tmp"), 4096u);
    Rig rig(file, 3);
    Program p;
    int r = p.Read(2);
    rig.Play(p);
    rig.Run(p.Length());
    EXPECT_EQ(rig.Out(r), 0.3f);
}

TEST_F(ArrayTest, LeftoverOfAnInterruptedSaveIsIgnoredAndReplaced) {
    fs::path file = dir / "keep.txt";
    WriteText(file, "1 2 3");
    WriteText(dir / "keep.txt.tmp", "9.0, 9.");  // half a save, cut short
    Rig rig(file, 3);
    Program p;
    int r = p.Read(0);
    rig.Play(p);
    rig.Run(p.Length());
    EXPECT_EQ(rig.Out(r), 0.1f);
    rig.Close();
    EXPECT_EQ(ReadText(file), "1.000000, 2.000000, 3.000000\r\n");
    EXPECT_FALSE(fs::exists(dir / "keep.txt.tmp"));
}

TEST_F(ArrayTest, SaveIntoAMissingFolderWritesNothing) {
    fs::path file = dir / "no" / "such" / "folder.txt";
    Rig rig(file, 3);
    Program p;
    p.Store(0, 0.9f);
    rig.Play(p);
    rig.Run(p.Length());
    rig.Close();
    EXPECT_FALSE(fs::exists(dir / "no"));
}

// A name that cannot be read as a file leaves the slots as they are.
TEST_F(ArrayTest, UnreadableFileLeavesTheSlots) {
    WriteText(dir / "a.txt", "1, 2, 3\r\n");
    fs::create_directory(dir / "folder");
    // A sparse file of 1 GiB of zero bytes: the text ends at once.
    {
        std::ofstream f(dir / "zeros.bin", std::ios::binary);
    }
    fs::resize_file(dir / "zeros.bin", std::uintmax_t{1} << 30);
    const fs::path bad[] = {dir / "folder", dir / "missing.txt", dir / "zeros.bin", dir / "a.txt" / "x"};
    for (const fs::path& name : bad) {
        SCOPED_TRACE(name.string());
        Rig rig(dir / "a.txt", 3);
        Program p;
        while (p.Length() < 60) p.Read(0);
        int r0 = p.Read(0), r1 = p.Read(1), r2 = p.Read(2);
        rig.TextStep(FILE_NAME, 30, name);
        rig.Play(p);
        rig.Run(p.Length());
        EXPECT_EQ(rig.Out(r0), 0.1f);
        EXPECT_EQ(rig.Out(r1), 0.2f);
        EXPECT_EQ(rig.Out(r2), 0.3f);
    }
}

TEST_F(ArrayTest, FileFarLargerThanTheArrayLoadsItsFirstValues) {
    fs::path file = dir / "large.txt";
    {
        std::ofstream f(file, std::ios::binary);
        for (int i = 0; i < 500000; ++i) f << (i % 97) << ".000000, ";  // about 5 MB
    }
    Rig rig(file, 10);
    Program p;
    std::vector<int> at;
    for (int i = 0; i < 10; ++i) at.push_back(p.Read(i));
    rig.Play(p);
    rig.Run(p.Length());
    for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(rig.Out(at[i]), 0.1f * i);
}

// The parser takes from the file only what the slots need, so an endless
// text is read a bounded amount.
TEST(ArrayParser, StopsReadingOnceTheSlotsAreFull) {
    size_t bytes = 0;
    const std::string piece = "12.5, ";
    auto endless = [&](char* buffer, size_t size) -> long {
        for (size_t i = 0; i < size; ++i) buffer[i] = piece[(bytes + i) % piece.size()];
        bytes += size;
        return static_cast<long>(size);
    };
    std::vector<float> out(1000, -1.0f);
    EXPECT_EQ(array_memory::ParseSlotText(endless, out.data(), 1000), 1000);
    EXPECT_LE(bytes, 1000 * piece.size() + 65536);
    for (float v : out) ASSERT_EQ(v, 1.25f);

    // A token that never ends is cut, not grown; a read error is reported.
    bytes = 0;
    auto digits = [&](char* buffer, size_t size) -> long {
        if (bytes > (size_t{16} << 20)) return 0;  // 16 MB of one number, then the end
        std::memset(buffer, '1', size);
        bytes += size;
        return static_cast<long>(size);
    };
    EXPECT_EQ(array_memory::ParseSlotText(digits, out.data(), 3), 1);
    auto failing = [](char*, size_t) -> long { return -1; };
    EXPECT_EQ(array_memory::ParseSlotText(failing, out.data(), 3), -1);
}

// An allocation that fails (here: a tight address-space limit in a child
// process) keeps the slots, and the module goes on working.
#if !defined(__SANITIZE_ADDRESS__)
TEST_F(ArrayTest, SizeThatCannotBeAllocatedKeepsTheSlots) {
    fs::path file = dir / "alloc.txt";
    WriteText(file, "1 2 3");
    EXPECT_EXIT(
        {
            Rig rig(file, 3);
            Program p;
            while (p.Length() < 40) p.Read(2);
            int r = p.Read(2);
            int beyond = p.Read(5);
            rig.Step(ARRAY_SIZE, 20, 16777216.0);  // 64 MB of slots
            rig.Play(p);
            if (!rig.eng->Start(rig.error)) std::exit(2);
            rig.eng->Run(10);
            struct rlimit lim;
            getrlimit(RLIMIT_AS, &lim);
            std::ifstream statm("/proc/self/statm");
            size_t pages = 0;
            statm >> pages;
            lim.rlim_cur = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + (16u << 20);
            setrlimit(RLIMIT_AS, &lim);
            if (void* probe = std::malloc(size_t{64} << 20)) {
                std::free(probe);
                std::exit(0);  // the limit is not enforced here (an emulator): nothing to show
            }
            rig.eng->Run(p.Length() - 10);
            bool kept = rig.Out(r) == 0.3f && rig.IndexOut(beyond) == 0.2f;
            rig.Close();
            std::exit(kept && ReadText(file) == "1.000000, 2.000000, 3.000000\r\n" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

// A block before any "Array Size" event works on the default 100 slots, and
// closing then writes nothing over a file that was never read.
TEST_F(ArrayTest, BlockBeforeAnyArraySizeUsesTheDefaultSlots) {
    fs::path file = dir / "early.txt";
    WriteText(file, "1 2 3");
    auto lib = LoadArray();
    struct Host {
        std::string name;
        static int Call(void* rec, int opcode, int index, int value, void* ptr, float) {
            Host* h = static_cast<Host*>(static_cast<KVPlugStruct*>(rec)->hostHandle);
            if (opcode == HOST_GET_PIN_COUNT) return 9;
            if (opcode == HOST_GET_PIN_TEXT && index == 3 && value > 0) {
                std::snprintf(static_cast<char*>(ptr), static_cast<size_t>(value), "%s", h->name.c_str());
                return 1;
            }
            return 0;
        }
    } host{file.string()};
    auto* rec = static_cast<KVPlugStruct*>(lib->Make()(0, 1, &Host::Call, &host));
    ASSERT_NE(rec, nullptr);
    auto descs = kvhost::DescribePins(rec);
    float buffers[5][8] = {};
    const int streams[5] = {INPUT, INDEX_IN, WRITE, OUTPUT, INDEX_OUT};
    for (int s = 0; s < 5; ++s) {
        float* b = buffers[s];
        std::memcpy(descs[streams[s]].variable, &b, sizeof b);
    }
    rec->dispatch(rec, DSP_OPEN, 0, 0, nullptr, 0.0f);
    for (int k = 0; k < 8; ++k) {
        buffers[0][k] = 0.6f;           // Input
        buffers[1][k] = 9.9f;           // Index In: slot 99, the last default slot
        buffers[2][k] = k >= 4 ? 1 : 0; // Write rises at 4
    }
    rec->process(rec->instance, 0, 8);
    EXPECT_EQ(buffers[3][3], 0.0f);
    EXPECT_EQ(buffers[3][4], 0.6f);
    EXPECT_FLOAT_EQ(buffers[4][4], 9.9f);
    EXPECT_EQ(rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(ReadText(file), "1 2 3");
}

// A host that reports fewer pins than the nine described: events on the
// pins it has work, and nothing reaches beyond them.
TEST(ArrayMemory, FewerHostPinsThanDescribed) {
    auto lib = LoadArray();
    static int pins;
    auto host = [](void*, int opcode, int, int, void*, float) -> int {
        return opcode == HOST_GET_PIN_COUNT ? pins : 0;
    };
    for (pins = 0; pins < 9; ++pins) {
        auto* rec = static_cast<KVPlugStruct*>(lib->Make()(0, 1, host, nullptr));
        ASSERT_NE(rec, nullptr);
        rec->dispatch(rec, DSP_OPEN, 0, 0, nullptr, 0.0f);
        for (int p = 0; p < 9; ++p) {
            KVEvent e{};
            e.type = EV_PIN_STATUS;
            e.value = PS_STREAMING;
            e.target = p;
            rec->event(rec->instance, &e);
        }
        rec->process(rec->instance, 0, 16);  // no buffers: writes nothing
        EXPECT_EQ(rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    }
}

}  // namespace
