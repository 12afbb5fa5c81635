// Four-voice chorus engine: "Audio_In" is written into one circular delay line
// (a power of two long); four taps read it, each at its own pre-delay plus a
// modulated chorus delay, interpolating linearly between samples. Tap 1 can be
// fed back at the write position (PreDly: multi-tap echoes) or at the end of
// its pre-delay (Chorus: flanging). A gate clears the line when a new note
// starts, so the module can sit in a polyphonic voice.
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace chorus_engine {

enum FeedbackMode : short { FBK_PREDLY = 0, FBK_CHORUS = 1 };
enum PreDelayMode : short { PRE_SECONDS = 0, PRE_MILLISECONDS = 1 };

constexpr int kMaxPreDelayChoices = 7;  // "10.800" .. "0.050"
constexpr int kDefaultMaxPreDelay = 4;  // 0.500 s

// Module-wide scales, rewritten by every open.
struct Scales {
    float sample_rate = 44100.0f;
    float seconds = 441000.0f;    // samples per Pre_Dly unit in Time(s): 1.0 is 10 s
    float milliseconds = 441.0f;  // samples per unit in Time(ms) and of Mod Depth: 1.0 is 10 ms
};
extern Scales g_scales;

// Entries of the delay line for a Max Pre Delay value at a sample rate: the
// table length up to 48 kHz, doubled above 48, 96 and 192 kHz. Values
// outside 0 to 6 take the nearest table entry.
int DelayLineLength(int maxPreDelay, float sampleRate);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}
    ~Module() override;

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;
    void Reset() override;

    void ProcessDepthStream(int bufferOffset, int sampleFrames);
    void ProcessNoFeedback(int bufferOffset, int sampleFrames);
    void ProcessFeedbackPreDly(int bufferOffset, int sampleFrames);
    void ProcessFeedbackChorus(int bufferOffset, int sampleFrames);
    void ProcessSilence(int bufferOffset, int sampleFrames);

    // Read-only views for tests and tools.
    int Length() const { return m_length; }
    const float* Buffer() const { return m_buffer; }

private:
    enum Kind { KIND_DEPTH_STREAM, KIND_NO_FEEDBACK, KIND_FEEDBACK_PREDLY, KIND_FEEDBACK_CHORUS };
    template <int K>
    void ProcessTaps(int bufferOffset, int sampleFrames);
    bool MakeDelayLine();
    void FreeDelayLine();
    void EnterSilence();
    void SendStatusAll(int status);
    void ChooseRoutine();

    // Pin variables.
    float* m_audio_in = nullptr;
    float* m_pre[4] = {};
    float* m_mod[4] = {};
    float* m_depth = nullptr;
    float* m_fbk = nullptr;
    float* m_out[4] = {};
    short m_max_pre = kDefaultMaxPreDelay;
    short m_fbk_mode = FBK_CHORUS;
    short m_active = 1;
    short m_pre_mode = PRE_SECONDS;
    short m_mono_mode = 0;  // 1 On, 0 Off
    float* m_gate = nullptr;

    // State.
    float* m_buffer = nullptr;  // the delay line; null while inactive
    int m_length = 0;           // entries, a power of two
    int m_mask = 0;             // length - 1
    int m_write = 0;            // newest sample; d samples older is at (m_write + d) & m_mask
    short m_alloc_choice = -1;  // Max Pre Delay value the line was made for
    float m_pre_scale = 0.0f;   // samples per unit of Pre_Dly
    float m_fbk_static = 0.0f;  // FBK at its last static change; 1.0 while FBK streams
    bool m_depth_streaming = false;
    bool m_out_connected[4] = {true, false, false, false};  // Cho_Out1 is always written
    KVPin* m_out_pin[4] = {};
    bool m_reset_armed = false;
    int m_block_size = 0;
    int m_sleep_count = 0;
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace chorus_engine
