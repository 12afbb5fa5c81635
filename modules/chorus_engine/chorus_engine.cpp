#include "chorus_engine.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace chorus_engine {

Scales g_scales;

namespace {

// Line lengths up to 48 kHz: the smallest power of two holding the maximum
// pre-delay plus 100 ms of chorus depth at 48 kHz.
constexpr int kLengths[kMaxPreDelayChoices] = {524288, 262144, 131072, 65536, 32768, 16384, 8192};

// A multiple of every line length (at most 2^22): reducing a delay by it
// keeps its position on any line.
constexpr double kAllLengths = 4194304.0;  // 2^22
// Below this magnitude a delay converts to a 64-bit integer directly.
constexpr double kBigDelay = 4611686018427387904.0;  // 2^62
// Chorus offsets below this magnitude take the fast path in the sample loop.
constexpr double kTapLimit = 1073741824.0;  // 2^30

// Whole samples of a delay, truncated toward zero. Huge delays keep their
// position on the line; NaN and infinities read as no delay.
int64_t DelaySteps(double x) {
    if (x > -kBigDelay && x < kBigDelay) return static_cast<int64_t>(x);
    if (std::isfinite(x)) return static_cast<int64_t>(std::fmod(x, kAllLengths));  // already whole
    return 0;
}

// Splits a chorus offset (samples) into whole samples, truncated toward
// zero, and the fraction beyond them.
inline void SplitOffset(double x, int& n, double& f) {
    if (x > -kTapLimit && x < kTapLimit) {
        n = static_cast<int>(x);
        f = x - n;
    } else if (std::isfinite(x)) {
        double t = std::trunc(x);
        n = static_cast<int>(std::fmod(t, kAllLengths));
        f = x - t;
    } else {
        n = 0;
        f = 0.0;
    }
}

float* AllocateLine(int length) {
#ifdef CHORUS_ENGINE_ALLOC_LIMIT
    // Test fixture build: a longer line fails as an exhausted allocator would.
    if (length > CHORUS_ENGINE_ALLOC_LIMIT) return nullptr;
#endif
    return new (std::nothrow) float[length]();
}

}  // namespace

int DelayLineLength(int maxPreDelay, float sampleRate) {
    int length = kLengths[std::clamp(maxPreDelay, 0, kMaxPreDelayChoices - 1)];
    if (sampleRate > 48000.0f) length *= 2;
    if (sampleRate > 96000.0f) length *= 2;
    if (sampleRate > 192000.0f) length *= 2;
    return length;
}

// ---- pins ------------------------------------------------------------------

bool Module::DescribePin(int index, KVPinProperties* out) {
    auto stream = [out](float** var, int dir, const char* name, const char* def, const char* range) {
        out->variable = var;
        out->direction = dir;
        out->datatype = DT_FSAMPLE;
        out->name = name;
        out->default_text = def;
        out->list = range;
    };
    auto choice = [out](short* var, int dir, const char* name, const char* def, const char* list) {
        out->variable = var;
        out->direction = dir;
        out->datatype = DT_CHOICE;
        out->name = name;
        out->default_text = def;
        out->list = list;
    };
    static const char* const kPreNames[4] = {"Pre_Dly1", "Pre_Dly2", "Pre_Dly3", "Pre_Dly4"};
    static const char* const kPreDefaults[4] = {"0.010", "0.020", "0.030", "0.040"};
    static const char* const kModNames[4] = {"Mod_1 +/-5", "Mod_2", "Mod_3", "Mod_4"};
    static const char* const kOutNames[4] = {"Cho_Out1", "Cho_Out2", "Cho_Out3", "Cho_Out4"};
    if (index == 0) {
        stream(&m_audio_in, DR_IN, "Audio_In", "0", nullptr);
        out->flags = 512;
    } else if (index >= 1 && index <= 4) {
        stream(&m_pre[index - 1], DR_IN, kPreNames[index - 1], kPreDefaults[index - 1], nullptr);
    } else if (index >= 5 && index <= 8) {
        stream(&m_mod[index - 5], DR_IN, kModNames[index - 5], "-5.0", "5,-5,5,-5");
    } else if (index == 9) {
        stream(&m_depth, DR_IN, "Mod Depth(ms:100)", "4", "100,0,100,0");
    } else if (index == 10) {
        stream(&m_fbk, DR_IN, "FBK (Cho1) +/-10", "0", "10,-10,10,-10");
    } else if (index >= 11 && index <= 14) {
        stream(&m_out[index - 11], DR_OUT, kOutNames[index - 11], nullptr, nullptr);
    } else if (index == 15) {
        choice(&m_max_pre, DR_PARAMETER, "Max Pre Delay(s)", "4", "10.800=0,5.300,2.600,1.200,0.500,0.200,0.050");
    } else if (index == 16) {
        choice(&m_fbk_mode, DR_IN, "FBK Mode", "1", "PreDly,Chorus");
    } else if (index == 17) {
        choice(&m_active, DR_IN, "Active", "1", "OFF,ON");
    } else if (index == 18) {
        choice(&m_pre_mode, DR_IN, "Pre_Dly Mode", "0", "Time(s),Time(ms)");
    } else if (index == 19) {
        choice(&m_mono_mode, DR_IN, "Midi_to_CV:Mono Mode(Poly Reset)", "0", "On=1,Off=0");
    } else if (index == 20) {
        stream(&m_gate, DR_IN, "Midi_to_CV:Gate(Poly Reset)", "0", nullptr);
    } else {
        return false;
    }
    return true;
}

// ---- life cycle --------------------------------------------------------------

Module::~Module() { FreeDelayLine(); }

void Module::Open() {
    KVModule_base::Open();
    // Max Pre Delay and Mono Mode keep the values the host has already placed
    // in their variables (their defaults until then, from construction), so
    // that a patch's settings survive the open.
    FreeDelayLine();
    m_alloc_choice = -1;
    for (int n = 0; n < 4; ++n) {
        m_out_pin[n] = GetPin(11 + n);
        if (n > 0) m_out_connected[n] = m_out_pin[n] != nullptr && m_out_pin[n]->IsConnected();
    }
    float rate = SampleRate();
    if (!(rate > 0.0f)) rate = 44100.0f;
    g_scales.sample_rate = rate;
    g_scales.seconds = rate * 10.0f;
    g_scales.milliseconds = rate * 0.01f;
    m_block_size = BlockSize();
    m_reset_armed = false;
    // Until their pins report: seconds, no feedback, depth not streaming.
    m_pre_scale = g_scales.seconds;
    m_fbk_static = 0.0f;
    m_depth_streaming = false;
    m_sleep_count = m_block_size;
}

void Module::Reset() {
    KVModule_base::Reset();
    if (m_mono_mode != 0) m_reset_armed = true;
}

bool Module::MakeDelayLine() {
    FreeDelayLine();
    m_alloc_choice = static_cast<short>(std::clamp<int>(m_max_pre, 0, kMaxPreDelayChoices - 1));
    int length = DelayLineLength(m_alloc_choice, SampleRate());
    m_buffer = AllocateLine(length);
    if (m_buffer == nullptr) return false;
    m_length = length;
    m_mask = length - 1;
    m_write = 0;
    return true;
}

void Module::FreeDelayLine() {
    delete[] m_buffer;
    m_buffer = nullptr;
    m_length = 0;
    m_mask = 0;
}

void Module::SendStatusAll(int status) {
    int clock = SampleClock();
    for (KVPin* pin : m_out_pin)
        if (pin != nullptr) pin->SendStatus(clock, status);
}

// Inactive, or without a delay line: zeros, one-shot status, then sleep.
void Module::EnterSilence() {
    SetProcessFunction<&Module::ProcessSilence>();
    m_sleep_count = m_block_size;
    SendStatusAll(PS_ONE_SHOT);
}

void Module::PinStatusChanged(KVPin* pin) {
    bool streaming = pin->Status() == PS_STREAMING;
    switch (pin->Index()) {
        case 9:  // Mod Depth
            m_depth_streaming = streaming;
            break;
        case 10:  // FBK
            m_fbk_static = streaming ? 1.0f : pin->Value();
            break;
        case 15: {  // Max Pre Delay: a new line, the old contents are lost
            int choice = std::clamp<int>(m_max_pre, 0, kMaxPreDelayChoices - 1);
            if (m_active != 0 && choice != m_alloc_choice) {
                bool wasSilent = m_buffer == nullptr;
                if (!MakeDelayLine()) {
                    EnterSilence();
                } else if (wasSilent && m_process == static_cast<ProcessMember>(&Module::ProcessSilence)) {
                    SendStatusAll(PS_STREAMING);  // back from a failed allocation
                }
            }
            break;
        }
        case 17:  // Active
            if (m_active == 0) {
                FreeDelayLine();
                EnterSilence();
            } else if (m_buffer == nullptr && !MakeDelayLine()) {
                EnterSilence();
            } else {
                SendStatusAll(PS_STREAMING);
            }
            break;
        case 18:  // Pre_Dly Mode
            m_pre_scale = m_pre_mode == PRE_MILLISECONDS ? g_scales.milliseconds : g_scales.seconds;
            break;
        case 20:  // Gate: clears the line for a new note; no routine choice
            if (m_mono_mode == 0 || m_reset_armed) {
                if (pin->Value() > 0.0f) {
                    m_reset_armed = false;
                    if (m_active != 0 && m_buffer != nullptr) std::fill(m_buffer, m_buffer + m_length, 0.0f);
                }
            }
            return;
        default:
            break;
    }
    ChooseRoutine();
}

void Module::ChooseRoutine() {
    if (m_active == 0 || m_buffer == nullptr) return;
    if (m_depth_streaming) {
        SetProcessFunction<&Module::ProcessDepthStream>();
    } else if (m_fbk_static == 0.0f) {
        SetProcessFunction<&Module::ProcessNoFeedback>();
    } else if (m_fbk_mode == FBK_PREDLY) {
        SetProcessFunction<&Module::ProcessFeedbackPreDly>();
    } else {
        SetProcessFunction<&Module::ProcessFeedbackChorus>();
    }
}

// ---- processing ----------------------------------------------------------------

template <int K>
void Module::ProcessTaps(int bufferOffset, int sampleFrames) {
    if (m_buffer == nullptr) {  // never installed without a line; kept safe regardless
        ProcessSilence(bufferOffset, sampleFrames);
        return;
    }
    const int mask = m_mask;
    float* const line = m_buffer;

    // Whole-sample pre-delays, fixed for the call. Tap 1 reads one sample
    // further back than its pre-delay.
    int64_t d[4];
    for (int n = 0; n < 4; ++n) {
        d[n] = DelaySteps(static_cast<double>(m_pre[n][bufferOffset]) * m_pre_scale);
    }
    int fixed[4];
    if constexpr (K == KIND_NO_FEEDBACK) {
        fixed[0] = static_cast<int>(
            DelaySteps(static_cast<double>(m_pre[0][bufferOffset]) * m_pre_scale + 1.0) & mask);
    } else {
        fixed[0] = static_cast<int>((d[0] + 1) & mask);
    }
    for (int n = 1; n < 4; ++n) fixed[n] = static_cast<int>(d[n] & mask);
    const int feedbackAt = static_cast<int>(d[0] & mask);  // end of pre-delay 1
    const bool chorusFeedback = K == KIND_FEEDBACK_CHORUS || (K == KIND_DEPTH_STREAM && m_fbk_mode != FBK_PREDLY);

    // Chorus depth in samples.
    const float ms = g_scales.milliseconds;
    float depth = static_cast<float>(static_cast<double>(m_depth[bufferOffset]) * ms);

    // Taps 2 to 4 that were connected at open.
    int taps[3];
    int tapCount = 0;
    for (int n = 1; n < 4; ++n)
        if (m_out_connected[n]) taps[tapCount++] = n;

    const float* in = m_audio_in + bufferOffset;
    const float* fbk = m_fbk + bufferOffset;
    const float* depthIn = m_depth + bufferOffset;
    const float* mod[4];
    float* out[4];
    for (int n = 0; n < 4; ++n) {
        mod[n] = m_mod[n] + bufferOffset;
        out[n] = m_out[n] + bufferOffset;
    }

    auto tap = [&](int n, int w, int i) {
        // -0.5 (-5 V) is no chorus delay, +0.5 (+5 V) the full depth.
        double x = (static_cast<double>(mod[n][i]) + 0.5) * depth;
        int whole;
        double frac;
        SplitOffset(x, whole, frac);
        int j = (w + fixed[n] + whole) & mask;
        double a = line[j];
        double b = line[(j + 1) & mask];  // one sample older
        return static_cast<float>(a + frac * (b - a));
    };

    int w = m_write;
    for (int i = 0; i < sampleFrames; ++i) {
        if constexpr (K == KIND_DEPTH_STREAM) depth = static_cast<float>(static_cast<double>(depthIn[i]) * ms);
        w &= mask;
        line[w] = in[i];
        float y = tap(0, w, i);
        out[0][i] = y;
        if constexpr (K != KIND_NO_FEEDBACK) {
            double e = static_cast<double>(y) * fbk[i];
            e = (e - 0.0001) + 0.0001;  // magnitudes far below 0.0001 become 0: no denormals in the loop
            int p = chorusFeedback ? ((w + feedbackAt) & mask) : w;
            line[p] = static_cast<float>(line[p] + e);
        }
        for (int k = 0; k < tapCount; ++k) {
            int n = taps[k];
            out[n][i] = tap(n, w, i);
        }
        --w;
    }
    m_write = w;
}

void Module::ProcessDepthStream(int bufferOffset, int sampleFrames) {
    ProcessTaps<KIND_DEPTH_STREAM>(bufferOffset, sampleFrames);
}

void Module::ProcessNoFeedback(int bufferOffset, int sampleFrames) {
    ProcessTaps<KIND_NO_FEEDBACK>(bufferOffset, sampleFrames);
}

void Module::ProcessFeedbackPreDly(int bufferOffset, int sampleFrames) {
    ProcessTaps<KIND_FEEDBACK_PREDLY>(bufferOffset, sampleFrames);
}

void Module::ProcessFeedbackChorus(int bufferOffset, int sampleFrames) {
    ProcessTaps<KIND_FEEDBACK_CHORUS>(bufferOffset, sampleFrames);
}

void Module::ProcessSilence(int bufferOffset, int sampleFrames) {
    for (float* o : m_out)
        if (o != nullptr) std::fill(o + bufferOffset, o + bufferOffset + sampleFrames, 0.0f);
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
}

}  // namespace chorus_engine
