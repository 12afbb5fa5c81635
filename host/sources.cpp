#include "sources.h"

#if KV_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include <cmath>
#include <numbers>

#include "wav_file.h"

namespace kvhost {

namespace {

// Cycle position of sample `n`, computed from the sample number so that long
// renders do not drift.
double Cycles(const GeneratorSpec& s, double sampleRate, int64_t n) {
    double c = s.phase + s.frequency * static_cast<double>(n) / sampleRate;
    return c - std::floor(c);
}

}  // namespace

Generator MakeGenerator(const GeneratorSpec& plan, double sampleRate, std::string& error) {
    GeneratorSpec s = plan;
    if (s.type == "sine") {
        return [s, sampleRate](int64_t start, float* out, int n) {
            for (int k = 0; k < n; ++k)
                out[k] = static_cast<float>(s.offset + s.amplitude * std::sin(2.0 * std::numbers::pi * Cycles(s, sampleRate, start + k)));
        };
    }
    if (s.type == "saw") {
        return [s, sampleRate](int64_t start, float* out, int n) {
            for (int k = 0; k < n; ++k)
                out[k] = static_cast<float>(s.offset + s.amplitude * (2.0 * Cycles(s, sampleRate, start + k) - 1.0));
        };
    }
    if (s.type == "square") {
        return [s, sampleRate](int64_t start, float* out, int n) {
            for (int k = 0; k < n; ++k)
                out[k] = static_cast<float>(s.offset + (Cycles(s, sampleRate, start + k) < 0.5 ? s.amplitude : -s.amplitude));
        };
    }
    if (s.type == "ramp") {
        double length = std::max(1.0, s.duration * sampleRate);
        return [s, length](int64_t start, float* out, int n) {
            for (int k = 0; k < n; ++k) {
                double x = std::min(1.0, static_cast<double>(start + k) / length);
                out[k] = static_cast<float>(s.from + (s.to - s.from) * x);
            }
        };
    }
    if (s.type == "noise") {
        // xorshift32 from the seed; the state follows the sample clock, so a
        // render is the same whatever the block size.
        auto state = std::make_shared<uint32_t>(s.seed ? s.seed : 1u);
        return [s, state](int64_t, float* out, int n) {
            for (int k = 0; k < n; ++k) {
                uint32_t x = *state;
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                *state = x;
                out[k] = static_cast<float>(s.offset + s.amplitude * (static_cast<double>(x) / 2147483647.5 - 1.0));
            }
        };
    }
    if (s.type == "wav") {
#if KV_HAVE_SNDFILE
        SF_INFO info{};
        SNDFILE* f = sf_open(s.file.c_str(), SFM_READ, &info);
        if (!f) {
            error = "cannot read WAV file '" + s.file + "'";
            return nullptr;
        }
        if (s.channel < 0 || s.channel >= info.channels) {
            sf_close(f);
            error = "WAV file '" + s.file + "' has no channel " + std::to_string(s.channel);
            return nullptr;
        }
        auto data = std::make_shared<std::vector<float>>(static_cast<size_t>(info.frames) * info.channels);
        sf_readf_float(f, data->data(), info.frames);
        sf_close(f);
        int channels = info.channels;
        int64_t frames = info.frames;
#else
        WavData wav;
        std::string why;
        if (!ReadWav(s.file, wav, why)) {
            error = "cannot read WAV file '" + s.file + "'";
            return nullptr;
        }
        if (s.channel < 0 || s.channel >= wav.channels) {
            error = "WAV file '" + s.file + "' has no channel " + std::to_string(s.channel);
            return nullptr;
        }
        auto data = std::make_shared<std::vector<float>>(std::move(wav.samples));
        int channels = wav.channels;
        int64_t frames = wav.frames;
#endif
        return [s, data, channels, frames](int64_t start, float* out, int n) {
            for (int k = 0; k < n; ++k) {
                int64_t i = start + k;
                if (s.loop && frames > 0) i %= frames;
                float v = i < frames ? (*data)[static_cast<size_t>(i * channels + s.channel)] : 0.0f;
                out[k] = static_cast<float>(s.offset + s.amplitude * v);
            }
        };
    }
    error = "unknown source type '" + s.type + "' (sine, saw, square, ramp, noise, wav)";
    return nullptr;
}

}  // namespace kvhost
