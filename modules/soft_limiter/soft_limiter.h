// Soft limiter: the input times "Drive", limited softly above "Threshold".
// Below the threshold t the driven input x passes unchanged; above it the
// excess e = |x| - t is bent by t + k * 10e / (1 + 10e), k = 0.1 * Squash^2,
// so the output rises with slope Squash^2 at the threshold and never passes
// t + k (an infinite input gives t + k itself). "Mode" chooses silence (Off),
// a plain copy (Bypass) or the limiter; a value outside the list keeps the
// routine in force and the status rule of that routine.
// Stream values: 1.0 is 10 V.
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace soft_limiter {

enum Mode : short { MODE_OFF = 0, MODE_BYPASS = 1, MODE_LIMIT = 2 };

// Pins by index.
enum : int { PIN_SIGNAL_IN = 0, PIN_THRESHOLD = 1, PIN_DRIVE = 2, PIN_SQUASH = 3, PIN_MODE = 4, PIN_OUT = 5 };

// The curve's height above the threshold for squash value q (1.0 is 10 V):
// q * q * 0.1 with the float 0.1, rounded to float.
float SquashCoefficient(float q);

// The limiter for `n` samples. `threshold` null: every sample uses
// `staticThreshold`; otherwise the threshold is read per sample.
void LimitBlock(const float* in, const float* drive, const float* threshold, float staticThreshold, float k,
                float* out, int n);
// The same, one sample at a time with branches: what LimitBlock runs on
// processors without AVX, and the definition it reproduces bit for bit.
void LimitBlockPlain(const float* in, const float* drive, const float* threshold, float staticThreshold, float k,
                     float* out, int n);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}
    ~Module() override;

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

    void ProcessOff(int bufferOffset, int sampleFrames);
    void ProcessBypass(int bufferOffset, int sampleFrames);
    void ProcessLimit(int bufferOffset, int sampleFrames);

private:
    // Announces the output status that the mode and the inputs imply and
    // reloads the sleep countdown.
    void DecideOutputStatus();
    // The mode whose routine runs: "Mode" when it names one, else the mode
    // of the routine kept in force (Off when none was chosen yet).
    short EffectiveMode() const;
    // With static output, counts `sampleFrames` down and asks to sleep at 0.
    void SleepCountdown(int sampleFrames);

    // Pin variables.
    float* m_in_buffer = nullptr;
    float* m_threshold_buffer = nullptr;
    float* m_drive_buffer = nullptr;
    float* m_squash_buffer = nullptr;
    float* m_out_buffer = nullptr;
    short m_mode = MODE_OFF;
    short m_routine_mode = -1;       // mode of the routine last chosen, -1 before the first

    float m_input_level = 0.0f;      // 1.0 while "Signal_In" streams, else its value
    int32_t m_input_streaming = 0;
    float m_threshold_level = 0.0f;  // the threshold while "Threshold" is static
    int32_t m_threshold_streaming = 0;
    int32_t m_output_static = 0;     // 1 after PS_ONE_SHOT was sent, 0 after PS_STREAMING
    int32_t m_sleep_count = 0;       // samples left before a sleep request
    int32_t m_block_size = 0;        // reload value of m_sleep_count
    KVPin* m_out_pin = nullptr;
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace soft_limiter
