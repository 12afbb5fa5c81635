#include "pitch.h"

#include <cmath>

#include "fm_oscillator.h"

namespace fm_oscillator {

PitchTables g_pitch;
float g_sample_rate = 0.0f;
float g_built_rate = 0.0f;
double g_base_increment = 0.0;
float g_khz_factor = 0.0f;
float g_hz_factor = 0.0f;

void BuildPitchTables(float sampleRate) {
    g_built_rate = sampleRate;
    for (int i = 0; i < 7200; ++i) {
        float x = static_cast<float>(static_cast<double>(i - 3600) * (1.0 / 120.0));
        g_pitch.hz[i] = static_cast<float>(13.75 * std::exp2(static_cast<double>(x)));
    }
    for (int k = 0; k <= 30; ++k) {
        double power = static_cast<double>(int64_t{1} << k);
        g_pitch.octave[30 + k] = static_cast<float>(power);
        if (k >= 1) g_pitch.octave[30 - k] = static_cast<float>(1.0 / power);
    }
    const double b = g_base_increment;
    for (int i = 0; i <= 256; ++i) {
        double v0 = b * std::exp2(static_cast<double>(i) / 256.0);
        double v1 = b * std::exp2(static_cast<double>(i + 1) / 256.0);
        g_pitch.fine[i].value = static_cast<float>(v0);
        g_pitch.fine[i].slope = static_cast<float>(v1 - v0);
    }
}

float HzTableLookup(float u) {
    double x = static_cast<double>(u) * 1200.0 + 3600.0;
    x = x > 0.0 ? x : 0.0;  // NaN gives entry 0
    x = x < 7199.0 ? x : 7199.0;
    return g_pitch.hz[static_cast<int>(std::nearbyint(x))];
}

int32_t HarmonicsForLimit(float limitHz, double operatorHz, int32_t harmonics) {
    double q = static_cast<double>(limitHz) / operatorHz;
    // Truncation toward zero; a quotient no 32-bit integer holds (also NaN and
    // the infinity of a zero frequency) reads as 0x80000000.
    int32_t qi = (q > -2147483649.0 && q < 2147483648.0) ? static_cast<int32_t>(q) : INT32_MIN;
    if (qi == 0) return 1;
    return static_cast<uint32_t>(qi) < static_cast<uint32_t>(harmonics) ? qi : harmonics;
}

}  // namespace fm_oscillator
