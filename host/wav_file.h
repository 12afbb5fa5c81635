// A small WAV reader and float-WAV writer, used where libsndfile is not
// available (the Windows and 32-bit cross builds).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

// Writes `frames` interleaved frames of `channels` 32-bit float samples as a
// WAVE_FORMAT_IEEE_FLOAT file. False with `error` set on failure.
bool WriteFloatWav(const std::string& path, int sampleRate, int channels, const float* data, int64_t frames,
                   std::string& error);

struct WavData {
    int sample_rate = 0;
    int channels = 0;
    int64_t frames = 0;
    std::vector<float> samples;  // interleaved; PCM scaled to [-1, 1)
};

// Reads PCM (8, 16, 24, 32 bits) and float (32, 64 bits) WAV files, plain
// or WAVE_FORMAT_EXTENSIBLE. False with `error` set when the file cannot be
// read or is not such a file.
bool ReadWav(const std::string& path, WavData& out, std::string& error);

}  // namespace kvhost
