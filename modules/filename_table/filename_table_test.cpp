// The filename table through the host: pin names, selection, trimming and
// what is published when.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "filename_table.h"
#include "library.h"

namespace {

using kvhost::Engine;
using kvhost::Instance;
using kvhost::Library;
using kvhost::TraceKind;

constexpr int kChoicePin = 0;
constexpr int kOutPin = 1;
int NamePin(int number) { return number + 1; }  // "Filename   1" is description 2

std::unique_ptr<Library> LoadTable() {
    std::string error;
    auto lib = Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_Filename_Table_x32_Mid"), error);
    EXPECT_TRUE(lib) << error;
    return lib;
}

// One table in a host, every name set to "n<number>.mid" unless a case sets it.
struct Rig {
    std::unique_ptr<Library> lib = LoadTable();
    std::unique_ptr<Engine> eng = std::make_unique<Engine>(48000.0, 32);
    Instance* inst = nullptr;
    std::string error;

    Rig() {
        eng->tracing = true;
        inst = eng->Add("table", *lib, error);
        EXPECT_TRUE(inst) << error;
        for (int n = 1; n <= 32; ++n) Text(n, "n" + std::to_string(n) + ".mid");
    }
    void Choice(double v) { ASSERT_TRUE(eng->SetValue(*inst, kChoicePin, v, error)) << error; }
    void Text(int number, const std::string& t) { ASSERT_TRUE(eng->SetText(*inst, NamePin(number), t, error)) << error; }
    void Start() { ASSERT_TRUE(eng->Start(error)) << error; }

    // Texts published on "Filename Out", with their clocks.
    std::vector<std::pair<int64_t, std::string>> Published() const {
        std::vector<std::pair<int64_t, std::string>> out;
        for (const auto& t : eng->trace)
            if (t.kind == TraceKind::TextOut) {
                EXPECT_EQ(t.pin, kOutPin);
                out.emplace_back(t.clock, t.text);
            }
        return out;
    }
};

// "Filename" and the number right-aligned in three places, built by hand.
std::string ExpectedName(int number) {
    std::string digits = std::to_string(number);
    return "Filename " + std::string(3 - digits.size(), ' ') + digits;
}

TEST(FilenameTable, PinTable) {
    Rig rig;
    const auto& d = rig.inst->Descriptions();
    ASSERT_EQ(d.size(), 34u);
    EXPECT_EQ(d[0].name, "Choice, Index, Sample#");
    EXPECT_EQ(d[0].datatype, DT_CHOICE);
    EXPECT_EQ(d[0].flags, 0x4000);
    EXPECT_EQ(d[0].items.size(), 32u);
    EXPECT_EQ(d[0].items.front(), "1");
    EXPECT_EQ(d[0].items.back(), "32");
    EXPECT_FALSE(d[0].has_default);
    EXPECT_EQ(d[1].name, "Filename Out");
    EXPECT_EQ(d[1].direction, DR_OUT);
    EXPECT_EQ(d[1].datatype, DT_STRING);
    EXPECT_EQ(d[2].name, "Filename   1");
    EXPECT_EQ(d[10].name, "Filename   9");
    EXPECT_EQ(d[11].name, "Filename  10");
    EXPECT_EQ(d[33].name, "Filename  32");
    for (int i = 2; i < 34; ++i) {
        EXPECT_EQ(d[i].name, ExpectedName(i - 1));
        EXPECT_EQ(d[i].direction, DR_IN);
        EXPECT_EQ(d[i].datatype, DT_STRING);
        EXPECT_EQ(d[i].list, "mid");
        EXPECT_EQ(d[i].flags, IO_FILE_PATH);
        EXPECT_FALSE(d[i].has_default);
        EXPECT_EQ(d[i].dsp_index, i);  // no GUI-only pins
    }
}

// A host may keep the name pointers it was given; a later description call
// must not change the text behind an earlier one.
TEST(FilenameTable, NamePointersStayValid) {
    auto lib = LoadTable();
    auto* rec = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr));
    ASSERT_NE(rec, nullptr);
    std::vector<const char*> names;
    for (int i = 0;; ++i) {
        KVPinProperties p;
        std::memset(&p, 0, sizeof p);
        if (rec->dispatch(rec, DSP_GET_PIN_PROPERTIES, i, 0, &p, 0.0f) == 0) break;
        names.push_back(p.name);
    }
    ASSERT_EQ(names.size(), 34u);
    for (int i = 2; i < 34; ++i) EXPECT_STREQ(names[i], ExpectedName(i - 1).c_str());
    // Still the same after a second instance has described its pins.
    auto* other = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr));
    KVPinProperties p;
    std::memset(&p, 0, sizeof p);
    other->dispatch(other, DSP_GET_PIN_PROPERTIES, 33, 0, &p, 0.0f);
    EXPECT_STREQ(names[2], "Filename   1");
    EXPECT_EQ(other->dispatch(other, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

struct TrimCase {
    int choice;       // list index
    std::string text; // of the selected name
    std::string expected;
};

TEST(FilenameTable, SelectedNameIsTrimmedAndPublished) {
    const std::vector<TrimCase> cases = {
        {0, "C:\\midi\\song.mid", "C:\\midi\\song.mid"},
        {3, "C:\\midi\\a.mid;comment", "C:\\midi\\a.mid"},
        {0, ";song.mid", ""},
        {0, "C:\\midi\\.hidden\\x.mid", ""},
        {0, "x.mid", "x.mid"},
        {0, ".mid", ".mid"},                 // a dot at the start has no backslash before it
        {0, "\\.mid", ""},                   // backslash-dot at positions 0 and 1
        {0, "a.mid;b\\.c", "a.mid"},         // the semicolon comes first
        {0, "a\\.b;c", ""},                  // the backslash-dot comes first
        {0, "C:\\midi dir\\x y.mid", "C:\\midi dir\\x y.mid"},
        {0, "", ""},
        {31, "last.mid", "last.mid"},
        {9, std::string(600, 'a'), std::string(511, 'a')},  // the host hands over 511 bytes
    };
    for (const TrimCase& c : cases) {
        SCOPED_TRACE("choice " + std::to_string(c.choice) + ", text \"" + c.text.substr(0, 40) + "\"");
        Rig rig;
        rig.Choice(c.choice);
        rig.Text(c.choice + 1, c.text);
        rig.Start();
        rig.eng->Run(64);
        auto texts = rig.Published();
        // The choice and the selected name each announce themselves at start-up.
        ASSERT_EQ(texts.size(), 2u);
        for (const auto& [clock, text] : texts) {
            EXPECT_EQ(clock, 0);
            EXPECT_EQ(text, c.expected);
        }
    }
}

TEST(FilenameTable, ChoiceOutsideTheListPublishesEmptyThenLetsNameOneThrough) {
    for (double choice : {40.0, 32.0, -1.0, 32767.0}) {
        SCOPED_TRACE(choice);
        Rig rig;
        rig.Choice(choice);
        ASSERT_TRUE(rig.eng->AddTextStep(*rig.inst, NamePin(1), 100, "first.mid;x", rig.error));
        ASSERT_TRUE(rig.eng->AddTextStep(*rig.inst, NamePin(2), 200, "second.mid", rig.error));
        rig.Start();
        rig.eng->Run(300);
        auto texts = rig.Published();
        // Start-up: the choice gives "", then name 1 is now the selected one.
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[0], std::make_pair(int64_t{0}, std::string()));
        EXPECT_EQ(texts[1], std::make_pair(int64_t{0}, std::string("n1.mid")));
        EXPECT_EQ(texts[2], std::make_pair(int64_t{100}, std::string("first.mid")));
    }
}

TEST(FilenameTable, OnlyTheSelectedNameOrTheChoicePublishes) {
    Rig rig;
    rig.Choice(5);  // "Filename   6"
    ASSERT_TRUE(rig.eng->AddTextStep(*rig.inst, NamePin(2), 100, "two.mid", rig.error));
    ASSERT_TRUE(rig.eng->AddTextStep(*rig.inst, NamePin(6), 200, "six.mid;old", rig.error));
    ASSERT_TRUE(rig.eng->AddStep(*rig.inst, kChoicePin, 300, 1, rig.error));
    ASSERT_TRUE(rig.eng->AddStep(*rig.inst, kChoicePin, 400, 31, rig.error));
    rig.Start();
    rig.eng->Run(500);
    std::vector<std::pair<int64_t, std::string>> expected = {
        {0, "n6.mid"}, {0, "n6.mid"}, {200, "six.mid"}, {300, "two.mid"}, {400, "n32.mid"}};
    EXPECT_EQ(rig.Published(), expected);
}

TEST(FilenameTable, NeverProcessesAndNeverAnnouncesAStatus) {
    Rig rig;
    rig.Choice(2);
    rig.Start();
    rig.eng->Run(32 * 4);
    int calls = 0, sleeps = 0, firstStatusIn = -1, firstText = -1;
    for (size_t i = 0; i < rig.eng->trace.size(); ++i) {
        const auto& t = rig.eng->trace[i];
        if (t.kind == TraceKind::ProcessCall) ++calls;
        if (t.kind == TraceKind::Sleep) ++sleeps;
        if (t.kind == TraceKind::StatusIn && firstStatusIn < 0) firstStatusIn = static_cast<int>(i);
        if (t.kind == TraceKind::TextOut && firstText < 0) firstText = static_cast<int>(i);
        EXPECT_NE(t.kind, TraceKind::StatusOut);
    }
    EXPECT_EQ(calls, 1);  // asked to sleep on its first call, never woken again
    EXPECT_EQ(sleeps, 1);
    EXPECT_GT(firstText, firstStatusIn);  // nothing published at open
}

TEST(FilenameTable, TrimNeverReadsPastTheBuffer) {
    char text[filename_table::kTextSize];
    std::memset(text, 'a', sizeof text);  // no terminator anywhere
    filename_table::TrimFilename(text, sizeof text);
    EXPECT_EQ(std::strlen(text), sizeof text - 1);
    EXPECT_EQ(filename_table::FilenamePinName(0), nullptr);
    EXPECT_EQ(filename_table::FilenamePinName(33), nullptr);
}

}  // namespace
