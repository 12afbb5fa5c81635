// Chorus driver: one phase accumulator driven by "Pitch", four outputs that
// each read one of six 512-point waveform tables (Sine, Tri, Peak, Dip, Hump,
// Noise) at their own phase offset, with linear interpolation. "Sync" restarts
// the phase at rising edges with sub-sample accuracy; "Active" OFF writes
// silence and lets the module sleep. Outputs lie within -0.5 .. +0.5 (+/-5 V).
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace chorus_driver {

enum Waveform : short { WAVE_SINE = 0, WAVE_TRI, WAVE_PEAK, WAVE_DIP, WAVE_HUMP, WAVE_NOISE, WAVE_COUNT };
enum VoltMode : short { VOLT_OCT = 0, VOLT_KHZ = 1, VOLT_HZ = 2 };
enum Accuracy : short { ACCURACY_LOW = 0, ACCURACY_HIGH = 1 };

constexpr int kTableSize = 512;        // points per cycle
constexpr int kFineSteps = 256;        // fine-pitch steps per octave
constexpr int kOctaveLow = -30;        // lowest octave of the octave table
constexpr int kOctaveHigh = 30;        // highest octave
constexpr uint32_t kNoiseSeed = 547823760u;

// An interpolated lookup entry: value + fraction * slope.
struct Pair {
    float slope;  // value of the next entry minus this value
    float value;
};

// The same entry widened to double once, so the output loop needs no
// conversion per lookup (the values are exactly those of the float table).
struct WidePair {
    double slope;
    double value;
};

// Library-wide tables, shared by every instance and rebuilt only when an
// instance opens at a sample rate other than the one they were built for.
struct Tables {
    Pair wave[WAVE_COUNT][kTableSize + 1];  // entry i is phase i/512; entry 512 repeats entry 0
    WidePair wide[WAVE_COUNT][kTableSize + 1];  // `wave` in double, read by the output loop
    Pair fine[kFineSteps + 1];              // B * 2^(i/256), B = 13.75 Hz in cycles per sample
    float octave[kOctaveHigh - kOctaveLow + 1];  // 2^k, k = -30 .. 30
    float sample_rate = 0.0f;
    double base = 0.0;         // B: 13.75 / sample rate
    float khz_factor = 0.0f;   // cycles per sample per unit of Pitch (1 V = 1 kHz)
    float hz_factor = 0.0f;    // cycles per sample per unit of Pitch (1 V = 1 Hz)
    float built_rate = 0.0f;   // sample rate of the last build; 0 until the first
};
extern Tables g_tables;

// Sets the scalars from `sampleRate` and rebuilds the tables if they were made
// for another rate.
void PrepareTables(float sampleRate);

// Oct pitch conversion: Pitch value v (1.0 = 10 V) to cycles per sample,
// 13.75 Hz * 2^(10 v). `roundDown` picks floor for the table step (per-sample
// routine), otherwise round to nearest. Pitch outside the octave table
// (-30 V .. 31 V) and NaN give the nearest end of the range.
double OctaveIncrement(float v, bool roundDown);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

    void ProcessPitchLinear(int bufferOffset, int sampleFrames);
    void ProcessPitchOctave(int bufferOffset, int sampleFrames);
    void ProcessPitchBlock(int bufferOffset, int sampleFrames);
    void ProcessSyncOctave(int bufferOffset, int sampleFrames);
    void ProcessSyncLinear(int bufferOffset, int sampleFrames);
    void ProcessSilence(int bufferOffset, int sampleFrames);

    double Phase() const { return m_phase; }

private:
    using Routine = void (Module::*)(int, int);

    // Per-call output set-up: the outputs to write, by their marks, with
    // their phase offsets fixed from the first sample.
    struct Reader {
        const WidePair* table[4];
        float* out[4];
        int offset[4];  // table steps
        int count;      // outputs to write
    };
    void PrepareReader(Reader& r, int bufferOffset) const;
    static void WriteOutputs(const Reader& r, int first, int count, const int* step, const double* frac);
    template <bool Octave>
    void ProcessPitchStream(int bufferOffset, int sampleFrames);
    void ProcessSync(int bufferOffset, int sampleFrames, bool octave);
    double BlockIncrement(float pitch) const;
    void StaticEvaluation(float pitch);
    void ChooseRoutine();

    // Pin variables.
    float* m_pitch = nullptr;
    float* m_sync = nullptr;
    short m_waveform[4] = {0, 0, 0, 0};
    float* m_phase_in[4] = {};
    float* m_out[4] = {};
    short m_accuracy = ACCURACY_HIGH;
    short m_volt_mode = VOLT_OCT;
    short m_active = 1;

    // State.
    double m_phase = 0.0;       // cycles, within [0, 1) between calls
    double m_increment = 0.0;   // cycles per sample, last static evaluation
    float m_linear_factor = 0.0f;
    bool m_pitch_streaming = false;
    bool m_sync_streaming = false;
    float m_last_sync = -1.0f;
    int m_table[4] = {};  // waveform table each output reads (0 .. 5)
    int8_t m_out_mark[4] = {0, 0, 0, 0};  // +1 write, 0 skip, -1 stop
    KVPin* m_out_pin[4] = {};
    Routine m_sub_process = &Module::ProcessPitchBlock;
    int m_block_size = 0;
    int m_sleep_count = 0;
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace chorus_driver
