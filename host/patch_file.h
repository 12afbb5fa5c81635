// Patch files (JSON): modules by instance and deliverable name, pin settings,
// connections, host-side sources and automation, and outputs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine.h"

namespace kvhost {

struct PatchOptions {
    std::string plugin_dir;     // where deliverables are found
    std::string base_dir;       // relative WAV sources are found here
    std::string out_dir;        // relative output files are written here
    double sample_rate = 0.0;   // overrides when > 0
    int block_size = 0;         // overrides when > 0
    double length = -1.0;       // seconds; overrides when >= 0
    bool trace = false;         // keep the engine trace even without a .csv output
};

// A pin of the patch: instance and description index.
struct PatchPin {
    Instance* inst = nullptr;
    int desc = -1;
    std::string label;  // "instance.Pin Name"
    int capture = -1;   // stream pins: engine capture number
};

struct PatchOutput {
    std::string file;
    std::vector<PatchPin> pins;
};

// A user change of a GUI-only pin at a sample (automation of a pin without a
// DSP pin), applied between blocks with Engine::GuiPut.
struct GuiStep {
    int64_t time = 0;
    Instance* inst = nullptr;
    int desc = -1;
    float value = 0.0f;
};

struct LoadedPatch {
    std::vector<std::unique_ptr<Library>> libraries;  // outlive the engine
    std::unique_ptr<Engine> engine;
    int64_t length = 0;  // samples
    std::vector<PatchOutput> outputs;
    std::vector<GuiStep> gui_steps;  // by time
    std::string text;                // the patch as loaded, for SavePatch
};

// Builds the patch (instances created, not yet started). False with a one-line
// `error` naming what is wrong.
bool LoadPatchText(const std::string& text, const PatchOptions& opt, LoadedPatch& out, std::string& error);
bool LoadPatchFile(const std::string& path, PatchOptions opt, LoadedPatch& out, std::string& error);

// Starts, runs the whole length and writes the outputs. `progress` (may be
// null) is called with the fraction done.
bool RenderPatch(LoadedPatch& patch, const PatchOptions& opt, std::string& error,
                 void (*progress)(double) = nullptr);

// Writes the patch as loaded, with the current value of every pin marked
// IO_PATCH_STORE put into its module's "pins", so that a later render starts
// from the values this one ended with. Relative file names stay as they were.
bool SavePatch(const LoadedPatch& patch, const std::string& path, std::string& error);

// The patch that `kvhost render` plays when given none.
const char* DemoPatch();

}  // namespace kvhost
