// Pitch conversion of the oscillator: the module-wide pitch tables, the three
// pitch modes and the harmonic choice from a frequency limit.
#pragma once

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

// Oct mode increment (cycles per sample) of a Root Pitch value v (1.0 = 10 V):
// 13.75 Hz at 0 V, one octave per volt. The table index is rounded to nearest
// or down; values outside -3.0 .. 3.1 clamp to the ends of the tables.
double OctIncrementNearest(float v);
double OctIncrementDown(float v);

// Hz table entry for the reference pitch u in Oct mode (index u*1200 + 3600,
// to nearest, clamped to the table).
float HzTableLookup(float u);

// Harmonic count h from the limit and the operator frequency (Hz), given the
// operator's harmonic setting; the quotient is truncated and read unsigned.
int32_t HarmonicsForLimit(float limitHz, double operatorHz, int32_t harmonics);

}  // namespace fm_oscillator
