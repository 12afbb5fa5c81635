// The validator against fixture modules with known faults, a correct
// fixture, and the dB converter.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <fstream>
#include <sstream>

#include "bench_cmd.h"
#include "library.h"
#include "patch_file.h"
#include "validate.h"

using namespace kvhost;

namespace {

std::string Fixture(const std::string& label) { return DeliverablePath(KV_FIXTURE_DIR, "KV_Fixture_" + label); }

ValidateOptions Quick(uint64_t seed) {
    ValidateOptions opt;
    opt.seed = seed;
    opt.quick = true;
    opt.timeout_seconds = 300;
    return opt;
}

// The failing checks of a report, as "check: reason" lines.
std::vector<std::string> Failures(const DeliverableReport& r) {
    std::vector<std::string> out;
    for (const CheckResult& c : r.checks)
        if (c.status == CheckStatus::Fail) out.push_back(c.check + ": " + c.reason);
    return out;
}

std::string Joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += x + "\n";
    return s;
}

}  // namespace

// Correct modules pass every check, with no warning: the checks raise no
// false alarms on a module that keeps the contract.
TEST(Validate, CorrectModulesPass) {
    ValidateOptions opt = Quick(11);
    auto reports = ValidateDeliverables({Fixture("Good"), DeliverablePath(KV_PLUGIN_DIR, "QM_dB_to_Level(Volts)")}, opt);
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& r : reports) {
        EXPECT_FALSE(r.Failed()) << r.name << "\n" << Joined(Failures(r));
        EXPECT_GT(r.checks.size(), 15u) << r.name;
        for (const auto& c : r.checks) EXPECT_NE(c.status, CheckStatus::Warn) << r.name << ": " << c.check << ": " << c.reason;
    }
    EXPECT_EQ(reports[0].name, "KV_Fixture_Good");
    std::ostringstream out;
    EXPECT_EQ(PrintValidation(reports, opt, out), 0);
    EXPECT_NE(out.str().find("PASS  QM_dB_to_Level(Volts): properties"), std::string::npos) << out.str();
}

// Each broken fixture is caught, with a reason that names the fault, and the
// printed failure names the seed.
TEST(Validate, BrokenModulesAreCaughtWithTheirSeed) {
    struct Case {
        const char* label;
        const char* expected;  // in the first failure's text
    };
    const Case cases[] = {
        {"Unwritten", "unwritten"},
        {"Overread", "signal 11"},
        {"Overwrite", "beyond the samples asked for"},
        {"InputWriter", "changed input buffer 'In'"},
        {"ZeroByZero", "while every input was finite"},
    };
    for (const Case& c : cases) {
        ValidateOptions opt = Quick(4242);
        auto reports = ValidateDeliverables({Fixture(c.label)}, opt);
        ASSERT_EQ(reports.size(), 1u);
        auto fails = Failures(reports[0]);
        ASSERT_FALSE(fails.empty()) << c.label;
        std::string all = Joined(fails);
        // A sanitizer build reports the fault read as its own error instead of the signal.
        bool found = all.find(c.expected) != std::string::npos ||
                     (std::string(c.label) == "Overread" && all.find("SEGV") != std::string::npos);
        EXPECT_TRUE(found) << c.label << ":\n" << all;
        std::ostringstream out;
        EXPECT_EQ(PrintValidation(reports, opt, out), 1);
        EXPECT_NE(out.str().find("FAIL  KV_Fixture_"), std::string::npos);
        EXPECT_NE(out.str().find("(seed 4242)"), std::string::npos) << out.str();
    }
}

// A crash ends only the deliverable that crashed: the next one is still checked.
TEST(Validate, CrashDoesNotEndTheRun) {
    auto reports = ValidateDeliverables({Fixture("Overread"), Fixture("Good")}, Quick(5));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].Failed());
    EXPECT_FALSE(reports[1].Failed()) << Joined(Failures(reports[1]));
}

// The same seed gives the same findings; the JSON form carries them.
TEST(Validate, SeedReproducesAndJsonReports) {
    ValidateOptions opt = Quick(99);
    auto a = ValidateDeliverables({Fixture("Unwritten")}, opt);
    auto b = ValidateDeliverables({Fixture("Unwritten")}, opt);
    EXPECT_EQ(Joined(Failures(a[0])), Joined(Failures(b[0])));

    opt.json = true;
    std::ostringstream out;
    EXPECT_EQ(PrintValidation(a, opt, out), 1);
    auto j = nlohmann::json::parse(out.str());
    EXPECT_EQ(j["seed"], 99u);
    ASSERT_EQ(j["deliverables"].size(), 1u);
    EXPECT_EQ(j["deliverables"][0]["name"], "KV_Fixture_Unwritten");
    EXPECT_FALSE(j["deliverables"][0]["passed"].get<bool>());
    bool sawFail = false;
    for (auto& c : j["deliverables"][0]["checks"])
        if (c["result"] == "fail") sawFail = true;
    EXPECT_TRUE(sawFail);
}

// Something that is not a deliverable fails to load, and is reported as such.
TEST(Validate, NotADeliverable) {
    auto reports = ValidateDeliverables({"/nonexistent/KV_Nothing.so"}, Quick(1));
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(reports[0].checks.size(), 1u);
    EXPECT_EQ(reports[0].checks[0].check, "load");
    EXPECT_EQ(reports[0].checks[0].status, CheckStatus::Fail);
}

// kvhost bench runs a patch and prints one row per module; the figures
// themselves are measurements and are not checked.
TEST(Bench, PrintsOneRowPerModule) {
    std::string dir = ::testing::TempDir();
    std::string path = dir + "/bench_patch.json";
    {
        std::ofstream f(path);
        f << R"json({"sample_rate": 48000, "block_size": 64, "length": 0.1,
                "modules": [{"name": "live", "plugin": "QM_dB_to_Level(Volts)"},
                            {"name": "still", "plugin": "QM_dB_to_Level(Volts)", "pins": {"Mode": "Step"}}],
                "sources": {"live.Decibel (dB)": {"type": "sine", "frequency": 5.0, "amplitude": 6.0}},
                "outputs": [{"file": "x.csv", "pins": ["live.To Volume/Level Adj"]}]})json";
    }
    BenchOptions opt;
    opt.plugin_dir = KV_PLUGIN_DIR;
    opt.seconds = 0.2;
    opt.repeat = 1;
    std::ostringstream out;
    ASSERT_EQ(RunBench(path, opt, out), 0) << out.str();
    std::string text = out.str();
    EXPECT_NE(text.find("realtime factor"), std::string::npos) << text;
    EXPECT_NE(text.find("\nlive "), std::string::npos) << text;
    EXPECT_NE(text.find("\nstill "), std::string::npos) << text;
    EXPECT_NE(text.find("(host)"), std::string::npos) << text;

    opt.plugin_dir = dir;  // no deliverables there
    std::ostringstream none;
    EXPECT_EQ(RunBench(path, opt, none), 1);
}

// Found by the patch-file fuzz target: a number too large for a double made
// the JSON parser throw an exception the loader did not catch, and a block
// size or length too large for an int was converted before it was checked
// (undefined behaviour, caught by the sanitizer build).
TEST(PatchFileFuzz, NumberTooLargeIsAnError) {
    for (const char* text : {"\n8888e88888", R"({"sample_rate": 1e400, "modules": []})",
                             R"({"block_size": 64444454444111111111111, "modules": []})",
                             R"({"block_size": -1e300, "modules": []})", R"({"samples": 1e30, "modules": []})",
                             R"({"samples": -1e30, "modules": []})", R"({"length": 1e300, "modules": []})"}) {
        PatchOptions opt;
        LoadedPatch patch;
        std::string error;
        EXPECT_FALSE(LoadPatchText(text, opt, patch, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

// Breaches of the status contract are warnings that name the module and the
// pin; they do not fail the run.
TEST(Validate, StatusContractBreachesAreWarnings) {
    const std::pair<const char*, const char*> cases[] = {
        {"SleepsStreaming", "asked to sleep while output 'Out' is announced streaming"},
        {"Drifts", "output 'Out' changed after it was announced one-shot"},
    };
    for (const auto& [label, expected] : cases) {
        ValidateOptions opt = Quick(31);
        auto reports = ValidateDeliverables({Fixture(label)}, opt);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_FALSE(reports[0].Failed()) << label << "\n" << Joined(Failures(reports[0]));
        bool warned = false;
        for (const CheckResult& c : reports[0].checks)
            if (c.status == CheckStatus::Warn && c.reason.find(expected) != std::string::npos) warned = true;
        EXPECT_TRUE(warned) << label;
        std::ostringstream out;
        EXPECT_EQ(PrintValidation(reports, opt, out), 0);
        EXPECT_NE(out.str().find(std::string("WARN  KV_Fixture_") + label), std::string::npos);
    }
}
