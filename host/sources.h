// Streams the host itself can put on an input: periodic generators, noise,
// a ramp, and the channels of a WAV file. Values are in module units
// (volts / 10).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine.h"

namespace kvhost {

struct GeneratorSpec {
    std::string type;         // "sine", "saw", "square", "ramp", "noise", "wav"
    double frequency = 1.0;   // Hz (periodic kinds)
    double amplitude = 0.5;   // peak, module units
    double offset = 0.0;      // added, module units
    double phase = 0.0;       // start phase in cycles (periodic kinds)
    double from = 0.0;        // ramp: value at its start, module units
    double to = 1.0;          // ramp: value at its end
    double duration = 1.0;    // ramp: seconds from start to end, then held
    uint32_t seed = 1;        // noise
    std::string file;         // wav
    int channel = 0;          // wav
    bool loop = false;        // wav: repeat instead of falling silent
};

// Null with `error` set when the parameters cannot be served.
Generator MakeGenerator(const GeneratorSpec& plan, double sampleRate, std::string& error);

}  // namespace kvhost
