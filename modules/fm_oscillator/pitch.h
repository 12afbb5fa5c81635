// Pitch conversion of the oscillator: the module-wide pitch tables, the three
// pitch modes and the harmonic choice from a frequency limit.
#pragma once

#include <cmath>
#include <cstdint>

namespace fm_oscillator {

// Module-wide tables, shared by every instance of the library; rebuilt by
// Open when the sample rate changes.
struct PitchTables {
    struct Pair {
        float slope;  // value[i + 1] - value[i]
        float value;  // B * 2^(i/256), cycles per sample
    } fine[257];
    float octave[61];  // 2^(k - 30), k = 0 .. 60
    float hz[7200];    // 13.75 * 2^((i - 3600)/120), Hz
};

extern PitchTables g_pitch;
extern float g_sample_rate;        // sample rate read at the last open
extern float g_built_rate;         // sample rate the tables were built for, 0 before
extern double g_base_increment;    // B = 13.75 / sample rate
extern float g_khz_factor;         // cycles per sample per unit in Khz mode (1 V = 1 kHz)
extern float g_hz_factor;          // cycles per sample per unit in Hz mode (1 V = 1 Hz)

// Sets B, then builds the Hz, octave and fine-pitch tables for `sampleRate`.
void BuildPitchTables(float sampleRate);

namespace detail {

// Table steps (256 per octave) of Root Pitch v, limited so that any input,
// NaN included, stays a finite number near the table range.
inline double PitchSteps(float v) {
    double h = static_cast<double>(v) * 2560.0;
    h = h > -1.0e6 ? h : -1.0e6;
    h = h < 1.0e6 ? h : 1.0e6;
    return h;
}

// (f*slope + value) of fine entry n & 255 times the octave of n >> 8, with n
// held to the octave table (-30 .. +30 octaves).
inline double OctFromStep(double h, double n) {
    double f = h - n;
    if (n < -7680.0) {
        n = -7680.0;
        f = 0.0;
    } else if (n > 7935.0) {
        n = 7935.0;
        f = 0.0;
    }
    int32_t ni = static_cast<int32_t>(n);
    const PitchTables::Pair& p = g_pitch.fine[ni & 255];
    return (f * p.slope + p.value) * g_pitch.octave[(ni >> 8) + 30];
}

}  // namespace detail

// Oct mode increment (cycles per sample) of a Root Pitch value v (1.0 = 10 V):
// 13.75 Hz at 0 V, one octave per volt. The table index is rounded to nearest
// or down; values outside -3.0 .. 3.1 clamp to the ends of the tables.
inline double OctIncrementNearest(float v) {
    double h = detail::PitchSteps(v);
    return detail::OctFromStep(h, std::nearbyint(h));
}

inline double OctIncrementDown(float v) {
    double h = detail::PitchSteps(v);
    // Exact floor of |h| <= 1e6: truncation, one down for negative non-integers.
    double n = static_cast<double>(static_cast<int32_t>(h));
    n -= h < n ? 1.0 : 0.0;
    return detail::OctFromStep(h, n);
}

// Hz table entry for the reference pitch u in Oct mode (index u*1200 + 3600,
// to nearest, clamped to the table).
float HzTableLookup(float u);

// Harmonic count h from the limit and the operator frequency (Hz), given the
// operator's harmonic setting; the quotient is truncated and read unsigned.
int32_t HarmonicsForLimit(float limitHz, double operatorHz, int32_t harmonics);

}  // namespace fm_oscillator
