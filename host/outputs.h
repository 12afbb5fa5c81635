// Output files of a render: float WAV, raw float32, and a .csv trace.
#pragma once

#include <string>

#include "engine.h"

namespace kvhost {

struct PatchOutput;

// "wav", "f32", "csv", or empty for an unknown extension.
std::string OutputFormat(const std::string& file);

// Writes one output after a render of `length` samples.
bool WriteOutput(const Engine& eng, const PatchOutput& out, int64_t length, std::string& error);

// Formats a float32 so that reading it back gives the same bits.
std::string FormatFloat(double v);

}  // namespace kvhost
