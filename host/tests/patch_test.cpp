// Patch files: a render reproduces module values bit for bit, and every kind
// of mistake in a patch gets a one-line error naming it, never a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "patch_file.h"

using namespace kvhost;

namespace {

PatchOptions Options() {
    PatchOptions o;
    o.plugin_dir = KV_PLUGIN_DIR;
    o.out_dir = ::testing::TempDir();
    return o;
}

std::string ErrorOf(const std::string& text) {
    LoadedPatch p;
    std::string error;
    EXPECT_FALSE(LoadPatchText(text, Options(), p, error)) << text;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    return error;
}

TEST(PatchFile, MistakesAreNamedInOneLine) {
    const std::string mod = R"j({"name": "db", "plugin": "QM_dB_to_Level(Volts)")j";
    struct Case {
        std::string patch, mentions;
    } cases[] = {
        {"{\"modules\": [", "malformed JSON"},
        {"[]", "JSON object"},
        {R"j({"modules": [{"name": "x", "plugin": "No_Such_Module"}]})j", "No_Such_Module"},
        {R"j({"modules": [)j" + mod + R"j(, "pins": {"Volume": 1}}]})j", "unknown pin 'Volume'"},
        {R"j({"modules": [)j" + mod + R"j(, "pins": {"Mode": "Loud"}}]})j", "unknown list item 'Loud'"},
        {R"j({"modules": [)j" + mod + R"j(, "pins": {"Mode": "x"}}], "connections": [["db.To Volume/Level Adj", "nope.In"]]})j",
         "unknown list item"},
        {R"j({"modules": [)j" + mod + R"j(}], "connections": [["db.To Volume/Level Adj", "nope.In"]]})j",
         "unknown module instance 'nope'"},
        {R"j({"modules": [)j" + mod + R"j(}], "outputs": [{"file": "x.mp3", "pins": ["db.To Volume/Level Adj"]}]})j",
         ".wav, .f32 or .csv"},
        {R"j({"modules": [)j" + mod + R"j(}], "sources": {"db.Decibel (dB)": {"type": "chirp"}}})j", "unknown source type"},
        {R"j({"modules": [)j" + mod + R"j(}, )j" + mod + R"j(}]})j", "used twice"},
        {R"j({"modules": [)j" + mod + R"j(, "pins": {"Mode": [1]}}]})j", "needs a number"},
        {R"j({"modules": [)j" + mod + R"j(}], "automation": {"db.Mode": [[-1, 0]]}})j", "before the start"},
        {R"j({"modules": [)j" + mod + R"j(}], "connections": [["db.Decibel (dB)", "db.Mode"]]})j", "not a DSP output"},
    };
    for (const Case& c : cases) {
        std::string error = ErrorOf(c.patch);
        EXPECT_NE(error.find(c.mentions), std::string::npos) << "error: " << error << "\npatch: " << c.patch;
    }
}

TEST(PatchFile, RenderWritesWavF32AndCsv) {
    std::string dir = ::testing::TempDir();
    const char* text = R"j({
      "sample_rate": 1000, "block_size": 16, "samples": 100,
      "modules": [{"name": "db", "plugin": "QM_dB_to_Level(Volts)", "pins": {"Mode": "Step", "Decibel (dB)": 6.0}}],
      "automation": {"db.Decibel (dB)": [{"sample": 50, "value": -6.0}]},
      "outputs": [{"file": "t.wav", "pins": ["db.To Volume/Level Adj"]},
                  {"file": "t.f32", "pins": ["db.To Volume/Level Adj", "db.Decibel (dB)"]},
                  {"file": "t.csv", "pins": ["db.To Volume/Level Adj"]}]
    })j";
    LoadedPatch p;
    std::string error;
    ASSERT_TRUE(LoadPatchText(text, Options(), p, error)) << error;
    ASSERT_TRUE(RenderPatch(p, Options(), error)) << error;
    std::ifstream f32(dir + "/t.f32", std::ios::binary);
    std::vector<float> data(200);
    f32.read(reinterpret_cast<char*>(data.data()), 800);
    ASSERT_TRUE(f32);
    EXPECT_EQ(data[0], 2.0f);     // 6 V is 6 dB: twice the level
    EXPECT_EQ(data[1], 0.6f);     // the input in module units
    EXPECT_EQ(data[2 * 50], 0.49999997f);
    EXPECT_EQ(data[2 * 99 + 1], -0.6f);
    std::ifstream csv(dir + "/t.csv");
    std::stringstream ss;
    ss << csv.rdbuf();
    EXPECT_NE(ss.str().find("0,\"db.To Volume/Level Adj\",ONE_SHOT,2\n"), std::string::npos) << ss.str();
    EXPECT_NE(ss.str().find("50,\"db.To Volume/Level Adj\",ONE_SHOT,0.49999997\n"), std::string::npos) << ss.str();
    EXPECT_TRUE(std::filesystem::file_size(dir + "/t.wav") > 400);
}

TEST(PatchFile, CommandLineReportsErrorsWithNonZeroExit) {
    std::string bad = ::testing::TempDir() + "/bad.json";
    std::ofstream(bad) << "{ \"modules\": ";
    std::string cmd = std::string(KVHOST_LAUNCHER) + "\"" + KVHOST_EXE + "\" render " + bad + " --plugins " KV_PLUGIN_DIR " 2>&1";
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_TRUE(pipe);
    char line[512] = {};
    std::string out;
    while (fgets(line, sizeof line, pipe)) out += line;
    int status = pclose(pipe);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("malformed JSON"), std::string::npos) << out;
}

}  // namespace
