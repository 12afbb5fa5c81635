#include "soft_limiter.h"

#include <cmath>
#include <cstring>

namespace soft_limiter {

float SquashCoefficient(float q) {
    const double q2 = static_cast<double>(q) * static_cast<double>(q);
    return static_cast<float>(q2 * static_cast<double>(0.1f));
}

namespace {

// One sample: x is the driven input, t the threshold, k the squash
// coefficient. Above the threshold the excess e is bent towards k; an
// infinite excess gives the curve's limit t + k instead of inf / inf.
inline float LimitSample(double x, double t, double k) {
    const double e = std::fabs(x) - t;
    if (!(e > 0.0)) return static_cast<float>(x);  // at or below the threshold, and NaN
    const double r = 10.0 * e;
    const double y = std::isinf(r) ? t + k : t + k * r / (1.0 + r);
    return static_cast<float>(std::signbit(x) ? -y : y);
}

}  // namespace

// The plain form: one sample at a time, with one loop for a streaming and
// one for a static threshold.
void LimitBlockPlain(const float* in, const float* drive, const float* threshold, float staticThreshold, float k,
                     float* out, int n) {
    const double kd = k;
    if (threshold != nullptr) {
        for (int i = 0; i < n; ++i)
            out[i] = LimitSample(static_cast<double>(in[i]) * drive[i], threshold[i], kd);
    } else {
        const double t = staticThreshold;
        for (int i = 0; i < n; ++i) out[i] = LimitSample(static_cast<double>(in[i]) * drive[i], t, kd);
    }
}

// Four samples at a time in double lanes where the processor has AVX (chosen
// at run time): the same IEEE operations in the same order as LimitSample, no
// fused multiply-add, so the same bits, with the branches turned into masks.
// Not on Windows: there GCC does not keep the stack aligned for 32-byte spills.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define KV_LIMIT_AVX 1

// The helpers are always inlined into the AVX routine, so the vectors never
// cross a call in code built without AVX: the ABI note GCC gives for them
// (-Wpsabi, issued at the end of the file) does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

typedef double V4d __attribute__((vector_size(32)));
typedef float V4f __attribute__((vector_size(16)));
typedef long long V4i __attribute__((vector_size(32)));

__attribute__((always_inline)) inline V4d Select(V4i mask, V4d a, V4d b) {
    return reinterpret_cast<V4d>((mask & reinterpret_cast<V4i>(a)) | (~mask & reinterpret_cast<V4i>(b)));
}

__attribute__((always_inline)) inline V4d Load(const float* p) {
    V4f v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, V4d);
}

__attribute__((always_inline)) inline void LimitLanes(const float* in, const float* drive, V4d t, V4d k, float* out) {
    const V4i sign = V4i{} | static_cast<long long>(0x8000000000000000ull);
    const V4d inf = V4d{} + HUGE_VAL;
    const V4d x = Load(in) * Load(drive);
    const V4i xSign = reinterpret_cast<V4i>(x) & sign;
    const V4d e = reinterpret_cast<V4d>(reinterpret_cast<V4i>(x) & ~sign) - t;  // |x| - t
    const V4d r = 10.0 * e;
    V4d y = t + k * r / (1.0 + r);
    y = Select(reinterpret_cast<V4i>(r == inf), t + k, y);
    const V4d bent = reinterpret_cast<V4d>(reinterpret_cast<V4i>(y) ^ xSign);  // -y where x is negative
    const V4f result = __builtin_convertvector(Select(reinterpret_cast<V4i>(e > 0.0), bent, x), V4f);
    std::memcpy(out, &result, sizeof result);
}

__attribute__((target("avx"))) void LimitBlockAvx(const float* in, const float* drive, const float* threshold,
                                                  float staticThreshold, float k, float* out, int n) {
    const double kd = k;
    const V4d kv = V4d{} + kd;
    int i = 0;
    if (threshold != nullptr) {
        for (; i + 4 <= n; i += 4) LimitLanes(in + i, drive + i, Load(threshold + i), kv, out + i);
        for (; i < n; ++i) out[i] = LimitSample(static_cast<double>(in[i]) * drive[i], threshold[i], kd);
    } else {
        const double ts = staticThreshold;
        const V4d t = V4d{} + ts;
        for (; i + 4 <= n; i += 4) LimitLanes(in + i, drive + i, t, kv, out + i);
        for (; i < n; ++i) out[i] = LimitSample(static_cast<double>(in[i]) * drive[i], ts, kd);
    }
}

// Asked while the library loads; the processor data is set up first, since
// the order of load-time initialisers is not guaranteed.
bool HasAvx() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}
const bool g_has_avx = HasAvx();

}  // namespace
#endif

void LimitBlock(const float* in, const float* drive, const float* threshold, float staticThreshold, float k,
                float* out, int n) {
#if defined(KV_LIMIT_AVX)
    if (g_has_avx) {
        LimitBlockAvx(in, drive, threshold, staticThreshold, k, out, n);
        return;
    }
#endif
    LimitBlockPlain(in, drive, threshold, staticThreshold, k, out, n);
}

Module::~Module() = default;

bool Module::DescribePin(int index, KVPinProperties* out) {
    switch (index) {
        case PIN_SIGNAL_IN:
            out->variable = &m_in_buffer;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Signal_In";
            return true;
        case PIN_THRESHOLD:
            out->variable = &m_threshold_buffer;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Threshold";
            out->default_text = "5.00";
            out->list = "10,0,10,0";
            return true;
        case PIN_DRIVE:
            out->variable = &m_drive_buffer;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Drive";
            out->default_text = "10";
            out->list = "100,10,100,10";
            return true;
        case PIN_SQUASH:
            out->variable = &m_squash_buffer;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Squash";
            out->default_text = "10.00";
            out->list = "20,0,20,0";
            return true;
        case PIN_MODE:
            out->variable = &m_mode;
            out->direction = DR_IN;
            out->datatype = DT_CHOICE;
            out->name = "Mode";
            out->default_text = "0";
            out->list = "Off,Bypass,Limit";
            return true;
        case PIN_OUT:
            out->variable = &m_out_buffer;
            out->direction = DR_OUT;
            out->datatype = DT_FSAMPLE;
            out->name = "Out";
            return true;
        default:
            return false;
    }
}

// No routine yet: ProcessIdle stays until "Mode" first arrives.
void Module::Open() {
    KVModule_base::Open();
    m_out_pin = PinCount() > PIN_OUT ? GetPin(PIN_OUT) : nullptr;  // a host that made fewer pins gets no status
    m_block_size = BlockSize();
}

void Module::PinStatusChanged(KVPin* pin) {
    switch (pin->Index()) {
        case PIN_SIGNAL_IN:
            if (pin->Status() == PS_STREAMING) {
                m_input_level = 1.0f;
                m_input_streaming = 1;
            } else {
                m_input_level = pin->Value();
                m_input_streaming = 0;
            }
            DecideOutputStatus();
            break;
        case PIN_THRESHOLD:
            if (pin->Status() == PS_STREAMING) {
                m_threshold_level = 1.0f;
                m_threshold_streaming = 1;
            } else {
                m_threshold_level = pin->Value();
                m_threshold_streaming = 0;
            }
            // Off and Bypass do not depend on the threshold.
            if (EffectiveMode() == MODE_LIMIT) DecideOutputStatus();
            break;
        case PIN_MODE:
            switch (m_mode) {
                case MODE_OFF: SetProcessFunction<&Module::ProcessOff>(); break;
                case MODE_BYPASS: SetProcessFunction<&Module::ProcessBypass>(); break;
                case MODE_LIMIT: SetProcessFunction<&Module::ProcessLimit>(); break;
                default:
                    // Unknown mode: the current routine stays; with none chosen
                    // yet, silence (a routine that writes nothing would leave
                    // the output unwritten for ever).
                    if (m_routine_mode < 0) SetProcessFunction<&Module::ProcessOff>();
                    break;
            }
            m_routine_mode = EffectiveMode();
            DecideOutputStatus();
            break;
        default:  // Drive and Squash never make the output stream
            DecideOutputStatus();
            break;
    }
}

short Module::EffectiveMode() const {
    if (m_mode >= MODE_OFF && m_mode <= MODE_LIMIT) return m_mode;
    return m_routine_mode >= 0 ? m_routine_mode : static_cast<short>(MODE_OFF);
}

void Module::DecideOutputStatus() {
    bool streaming;
    switch (EffectiveMode()) {
        case MODE_OFF:
            streaming = false;
            break;
        case MODE_BYPASS:
            streaming = m_input_streaming != 0;
            break;
        default:  // Limit
            streaming = m_input_level != 0.0f && (m_input_streaming + m_threshold_streaming) != 0;
            break;
    }
    if (m_out_pin != nullptr) {
        m_output_static = streaming ? 0 : 1;
        m_out_pin->SendStatus(SampleClock(), streaming ? PS_STREAMING : PS_ONE_SHOT);
    }
    m_sleep_count = m_block_size;
}

void Module::SleepCountdown(int sampleFrames) {
    if (!m_output_static) return;
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);  // not reloaded: asks again on every later call
}

void Module::ProcessOff(int bufferOffset, int sampleFrames) {
    std::memset(m_out_buffer + bufferOffset, 0, static_cast<size_t>(sampleFrames) * sizeof(float));
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) {
        CallHost(HOST_SLEEP);
        SetProcessFunction<&KVModule_base::ProcessIdle>();  // the zeros stay in the buffer
    }
}

void Module::ProcessBypass(int bufferOffset, int sampleFrames) {
    std::memcpy(m_out_buffer + bufferOffset, m_in_buffer + bufferOffset,
                static_cast<size_t>(sampleFrames) * sizeof(float));
    SleepCountdown(sampleFrames);
}

void Module::ProcessLimit(int bufferOffset, int sampleFrames) {
    // Squash is a setting: read once per call, not per sample.
    const float k = SquashCoefficient(m_squash_buffer[bufferOffset]);
    const float* in = m_in_buffer + bufferOffset;
    const float* drive = m_drive_buffer + bufferOffset;
    const float* threshold = m_threshold_streaming ? m_threshold_buffer + bufferOffset : nullptr;
    LimitBlock(in, drive, threshold, m_threshold_level, k, m_out_buffer + bufferOffset, sampleFrames);
    SleepCountdown(sampleFrames);
}

}  // namespace soft_limiter
