// kvhost: runs Korvane modules without Korvane.
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "engine.h"
#include "library.h"
#include "patch_file.h"
#include "validate.h"
#include "bench_cmd.h"

using namespace kvhost;

namespace {

// Deliverables sit in ../plugins beside the bin folder of this program,
// unless KV_PLUGIN_PATH or --plugins says otherwise.
std::string DefaultPluginDir(const char* argv0) {
    if (const char* env = std::getenv("KV_PLUGIN_PATH")) return env;
    std::error_code ec;
#if defined(_WIN32)
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::filesystem::path exe = n > 0 && n < sizeof buf ? std::filesystem::path(std::string(buf, n))
                                                        : std::filesystem::absolute(argv0, ec);
#else
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) exe = std::filesystem::absolute(argv0, ec);
#endif
    return (exe.parent_path().parent_path() / "plugins").string();
}

// A deliverable given by path, or by name in the plug-in folder.
std::string FindDeliverable(const std::string& arg, const std::string& dir) {
    if (std::filesystem::exists(arg)) return arg;
    return DeliverablePath(dir, arg);
}

int Info(const std::string& arg, const std::string& dir) {
    std::string error;
    auto lib = Library::Load(FindDeliverable(arg, dir), error);
    if (!lib) {
        std::fprintf(stderr, "kvhost: %s\n", error.c_str());
        return 1;
    }
    const KVModuleProperties& p = lib->Properties();
    std::printf("name:        %s\n", p.name ? p.name : "");
    std::printf("id:          %s\n", p.id ? p.id : "");
    std::printf("sdk version: %d\n", p.sdkVersion);
    void* gui = lib->Make()(0, 2, nullptr, nullptr);
    std::printf("gui side:    %s\n", gui ? "yes" : "no");
    if (gui) {
        auto* g = static_cast<KVGuiPlugStruct*>(gui);
        g->dispatch(g, GUI_CLOSE, 0, 0, nullptr, 0.0f);
    }
    std::printf("about:\n");
    std::string about = p.about ? p.about : "";
    size_t start = 0;
    for (;;) {
        size_t nl = about.find('\n', start);
        std::printf("  | %s\n", about.substr(start, nl == std::string::npos ? std::string::npos : nl - start).c_str());
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    auto* rec = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr));
    if (!rec) {
        std::fprintf(stderr, "kvhost: makeModule refused a DSP instance\n");
        return 1;
    }
    std::vector<PinInfo> pins = DescribePins(rec);
    rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
    std::printf("pins:\n");
    std::printf("  %3s %3s  %-5s %-6s %-28s %-10s %-8s %s\n", "#", "dsp", "dir", "type", "name", "default", "flags", "list");
    for (const PinInfo& d : pins) {
        std::string dsp = d.dsp_index >= 0 ? std::to_string(d.dsp_index) : "-";
        std::string def = d.has_default ? "\"" + d.default_text + "\"" : "-";
        std::printf("  %3d %3s  %-5s %-6s %-28s %-10s 0x%-6x %s\n", d.desc_index, dsp.c_str(), DirectionName(d.direction),
                    DatatypeName(d.datatype), ("\"" + d.name + "\"").c_str(), def.c_str(), d.flags, d.list.c_str());
    }
    return 0;
}

void ShowProgress(double fraction) {
    std::fprintf(stderr, "\rrendering %3d%%", static_cast<int>(fraction * 100.0));
    if (fraction >= 1.0) std::fprintf(stderr, "\n");
}

int Render(const std::string& patchPath, PatchOptions opt, const std::string& savePath) {
    LoadedPatch patch;
    std::string error;
    if (!opt.out_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(opt.out_dir, ec);  // a new folder for the outputs is fine
        if (ec) {
            std::fprintf(stderr, "kvhost: cannot make the output folder '%s': %s\n", opt.out_dir.c_str(), ec.message().c_str());
            return 1;
        }
    }
    bool ok = patchPath.empty() ? LoadPatchText(DemoPatch(), opt, patch, error)
                                : LoadPatchFile(patchPath, opt, patch, error);
    if (!ok) {
        std::fprintf(stderr, "kvhost: %s\n", error.c_str());
        return 1;
    }
#if defined(_WIN32)
    bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    bool terminal = isatty(STDERR_FILENO) != 0;
#endif
    bool progress = terminal && patch.length > 10 * static_cast<int64_t>(patch.engine->SampleRate());
    if (!RenderPatch(patch, opt, error, progress ? &ShowProgress : nullptr)) {
        std::fprintf(stderr, "kvhost: %s\n", error.c_str());
        return 1;
    }
    for (const PatchOutput& o : patch.outputs) std::printf("wrote %s\n", o.file.c_str());
    if (!savePath.empty()) {
        if (!SavePatch(patch, savePath, error)) {
            std::fprintf(stderr, "kvhost: %s\n", error.c_str());
            return 1;
        }
        std::printf("wrote %s\n", savePath.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kvhost: loads Korvane modules, renders patches offline"};
    app.require_subcommand(1);
    std::string plugin_dir = DefaultPluginDir(argv[0]);
    app.add_option("--plugins", plugin_dir, "folder of the deliverables");

    std::string info_arg;
    auto* info = app.add_subcommand("info", "properties, about text and pin table of a deliverable");
    info->add_option("deliverable", info_arg, "path or deliverable name")->required();

    std::string patch_path;
    PatchOptions opt;
    auto* render = app.add_subcommand("render", "run a patch offline and write its outputs (no patch: the demo)");
    render->add_option("patch", patch_path, "patch file (JSON)");
    render->add_option("--sample-rate", opt.sample_rate, "override the sample rate");
    render->add_option("--block-size", opt.block_size, "override the block size");
    render->add_option("--length", opt.length, "override the length in seconds");
    render->add_option("--out-dir", opt.out_dir, "folder for relative output files");
    render->add_option("--plugins", plugin_dir, "folder of the deliverables");
    std::string save_path;
    render->add_option("--save-patch", save_path,
                       "after the render, write the patch with the final values of its patch-stored pins");

    std::vector<std::string> validate_args;
    ValidateOptions vopt;
    bool seed_given = false;
    auto* validate = app.add_subcommand("validate", "stress deliverables; one line per check, non-zero exit on failure");
    validate->add_option("deliverables", validate_args, "paths or deliverable names")->required();
    validate->add_option_function<uint64_t>("--seed", [&](const uint64_t& v) { vopt.seed = v; seed_given = true; },
                                            "seed of every random choice (printed with each failure)");
    validate->add_flag("--json", vopt.json, "print the results as JSON");
    validate->add_flag("--quick", vopt.quick, "shorter sessions");
    validate->add_option("--timeout", vopt.timeout_seconds, "seconds allowed per deliverable");
    validate->add_option("--plugins", plugin_dir, "folder of the deliverables");

    std::string bench_patch;
    BenchOptions bopt;
    auto* bench = app.add_subcommand("bench", "realtime factor of a patch and ns per sample of each module");
    bench->add_option("patch", bench_patch, "patch file (JSON)")->required();
    bench->add_option("--seconds", bopt.seconds, "audio seconds to run per repetition (default: the patch length, at least 10)");
    bench->add_option("--repeat", bopt.repeat, "repetitions; the fastest counts");
    bench->add_option("--plugins", plugin_dir, "folder of the deliverables");

    CLI11_PARSE(app, argc, argv);
    if (*validate) {
#if defined(_WIN32)
        std::fprintf(stderr, "kvhost: validate needs child processes and guard pages; use a Linux build\n");
        return 2;
#else
        if (!seed_given) vopt.seed = FreshSeed();
        std::vector<std::string> paths;
        for (const std::string& a : validate_args) paths.push_back(FindDeliverable(a, plugin_dir));
        return PrintValidation(ValidateDeliverables(paths, vopt), vopt, std::cout);
#endif
    }
    if (*bench) {
        bopt.plugin_dir = plugin_dir;
        return RunBench(bench_patch, bopt, std::cout);
    }
    if (*info) return Info(info_arg, plugin_dir);
    if (*render) {
        opt.plugin_dir = plugin_dir;
        return Render(patch_path, opt, save_path);
    }
    return 1;
}
