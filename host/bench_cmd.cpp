#include "bench_cmd.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <vector>

#include "patch_file.h"

namespace kvhost {

namespace {

struct ModuleTime {
    std::string name;
    std::string deliverable;
    int64_t ns = 0;
    int64_t calls = 0;
};

struct BenchRun {
    double wall_seconds = 0.0;
    int64_t samples = 0;
    std::vector<ModuleTime> modules;
};

// Runs the patch up to sample `to`, applying the user's GUI changes of the
// patch at their samples as a render does.
void RunTo(LoadedPatch& patch, int64_t to, size_t& step) {
    Engine& eng = *patch.engine;
    while (eng.Clock() < to) {
        for (; step < patch.gui_steps.size() && patch.gui_steps[step].time <= eng.Clock(); ++step) {
            const GuiStep& g = patch.gui_steps[step];
            eng.GuiPut(*g.inst, g.desc, g.value);
        }
        int64_t n = to - eng.Clock();
        if (step < patch.gui_steps.size()) n = std::min(n, patch.gui_steps[step].time - eng.Clock());
        eng.Run(n);
    }
}

}  // namespace

int RunBench(const std::string& patchPath, const BenchOptions& opt, std::ostream& out) {
    PatchOptions popt;
    popt.plugin_dir = opt.plugin_dir;
    popt.base_dir = std::filesystem::path(patchPath).parent_path().string();
    std::string error;
    BenchRun best;
    double rate = 0.0;
    int block = 0;
    for (int rep = 0; rep < std::max(1, opt.repeat); ++rep) {
        // A fresh patch each time, so every repetition starts from the same state.
        LoadedPatch patch;
        if (!LoadPatchFile(patchPath, popt, patch, error)) {
            std::fprintf(stderr, "kvhost: %s\n", error.c_str());
            return 1;
        }
        Engine& engine = *patch.engine;
        engine.tracing = false;  // a .csv output would otherwise keep a trace of every call
        rate = engine.SampleRate();
        block = engine.BlockSize();
        double seconds = opt.seconds > 0.0 ? opt.seconds : std::max(10.0, static_cast<double>(patch.length) / rate);
        int64_t samples = static_cast<int64_t>(seconds * rate);
        if (!engine.Start(error)) {
            std::fprintf(stderr, "kvhost: %s\n", error.c_str());
            return 1;
        }
        // A short warm-up (tables, caches, first announcements) is not counted.
        size_t step = 0;
        int64_t warm = std::min<int64_t>(samples / 10, static_cast<int64_t>(rate / 4));
        RunTo(patch, warm, step);
        for (auto& inst : engine.Instances()) {
            inst->process_ns = 0;
            inst->process_calls = 0;
        }
        engine.timing = true;
        auto t0 = std::chrono::steady_clock::now();
        RunTo(patch, warm + samples, step);
        auto t1 = std::chrono::steady_clock::now();
        BenchRun run;
        run.wall_seconds = std::chrono::duration<double>(t1 - t0).count();
        run.samples = samples;
        for (auto& inst : engine.Instances())
            run.modules.push_back({inst->Name(), inst->Lib().Name(), inst->process_ns, inst->process_calls});
        if (rep == 0 || run.wall_seconds < best.wall_seconds) best = std::move(run);
    }

    double audio = static_cast<double>(best.samples) / rate;
    double total_ns = best.wall_seconds * 1e9;
    char line[512];
    std::snprintf(line, sizeof line, "patch %s: %.0f Hz, block %d, %.1f s of audio in %.3f s: realtime factor %.1f\n",
                  patchPath.c_str(), rate, block, audio, best.wall_seconds, audio / std::max(best.wall_seconds, 1e-12));
    out << line;
    std::snprintf(line, sizeof line, "%-16s %-34s %12s %12s %8s\n", "module", "deliverable", "ns/sample", "calls", "share");
    out << line;
    int64_t modules_ns = 0;
    for (const ModuleTime& m : best.modules) {
        modules_ns += m.ns;
        double per = static_cast<double>(m.ns) / static_cast<double>(best.samples);
        std::snprintf(line, sizeof line, "%-16s %-34s %12.3f %12lld %7.1f%%\n", m.name.c_str(),
                      m.deliverable.c_str(), per, static_cast<long long>(m.calls),
                      100.0 * static_cast<double>(m.ns) / std::max(total_ns, 1.0));
        out << line;
    }
    std::snprintf(line, sizeof line, "%-16s %-34s %12.3f %12s %7.1f%%\n", "(host)", "scheduling, sources, events",
                  (total_ns - static_cast<double>(modules_ns)) / static_cast<double>(best.samples), "",
                  100.0 * (total_ns - static_cast<double>(modules_ns)) / std::max(total_ns, 1.0));
    out << line;
    return 0;
}

}  // namespace kvhost
