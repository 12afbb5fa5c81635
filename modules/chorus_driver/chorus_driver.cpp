#include "chorus_driver.h"

#include <algorithm>
#include <cmath>

namespace chorus_driver {

Tables g_tables;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kTableMask = kTableSize - 1;
constexpr int kLowStep = kOctaveLow * kFineSteps;             // -30 V in fine steps
constexpr int kHighStep = (kOctaveHigh + 1) * kFineSteps - 1;  // just below 31 V
// Beyond this magnitude every double is a multiple of 1024, so its floor is a
// whole number of cycles: table step 0, fraction 0.
constexpr double kWholeCycles = 4611686018427387904.0;  // 2^62

const char* const kWaveList = "Sine,Tri,Peak,Dip,Hump,Noise";

// 0.5 sin(2 pi i / 512) from the first quarter turn by symmetry, so that every
// C runtime gives the same entries (exact zeros at half and whole turns).
double SineValue(int i) {
    int k = i & kTableMask;
    double sign = k < kTableSize / 2 ? 0.5 : -0.5;
    k &= kTableSize / 2 - 1;                        // within half a turn
    if (k > kTableSize / 4) k = kTableSize / 2 - k;  // within a quarter turn
    return sign * std::sin(2.0 * kPi * k / kTableSize);
}

double TriValue(double x) {
    double y = x + 0.25;
    double h = 2.0 * (y - std::floor(y));
    return h < 1.0 ? h - 0.5 : 1.5 - h;
}

void BuildWaveTables() {
    double values[WAVE_COUNT][kTableSize + 1];
    for (int i = 0; i <= kTableSize; ++i) {
        double x = static_cast<double>(i) / kTableSize;
        double tri = TriValue(x);
        double dip = (2.0 * (x - 0.5)) * (2.0 * (x - 0.5)) - 0.5;
        values[WAVE_SINE][i] = SineValue(i);
        values[WAVE_TRI][i] = tri;
        values[WAVE_PEAK][i] = 2.0 * tri * std::fabs(tri);
        values[WAVE_DIP][i] = dip;
        values[WAVE_HUMP][i] = -dip;
    }
    // Noise: the same 512 values after every build (fixed seed), top 9 bits
    // of a 32-bit linear congruential generator.
    uint32_t s = kNoiseSeed;
    for (int i = 0; i < kTableSize; ++i) {
        s = s * 196314165u + 907633515u;
        values[WAVE_NOISE][i] = static_cast<double>(s >> 23) / 512.0 - 0.5;
    }
    values[WAVE_NOISE][kTableSize] = values[WAVE_NOISE][0];

    for (int w = 0; w < WAVE_COUNT; ++w) {
        Pair* t = g_tables.wave[w];
        for (int i = 0; i <= kTableSize; ++i) t[i].value = static_cast<float>(values[w][i]);
        for (int i = 0; i < kTableSize; ++i) {
            t[i].slope = static_cast<float>(static_cast<double>(t[i + 1].value) - t[i].value);
        }
        t[kTableSize].slope = 0.0f;
        for (int i = 0; i <= kTableSize; ++i) g_tables.wide[w][i] = {t[i].slope, t[i].value};
    }
}

void BuildPitchTables() {
    for (int k = 0; k <= kOctaveHigh; ++k) {
        double power = std::ldexp(1.0, k);
        g_tables.octave[k - kOctaveLow] = static_cast<float>(power);
        if (k >= 1) g_tables.octave[-k - kOctaveLow] = static_cast<float>(1.0 / power);
    }
    double b = g_tables.base;
    for (int i = 0; i <= kFineSteps; ++i) {
        double v0 = b * std::exp2(static_cast<double>(i) / kFineSteps);
        double v1 = b * std::exp2(static_cast<double>(i + 1) / kFineSteps);
        g_tables.fine[i].value = static_cast<float>(v0);
        g_tables.fine[i].slope = static_cast<float>(v1 - v0);
    }
}

// Splits a table position (table steps) into its floor, reduced to the table
// (0 .. 511), and the fraction above it. Huge positions and NaN read step 0.
inline void SplitPosition(double p, int& n, double& f) {
    if (p > -kWholeCycles && p < kWholeCycles) {
        int64_t t = static_cast<int64_t>(p);  // toward zero, then down
        if (static_cast<double>(t) > p) --t;
        n = static_cast<int>(t & kTableMask);
        f = p - static_cast<double>(t);
    } else {
        n = 0;
        f = 0.0;
    }
}

// Keeps a phase in [0, 1) cycles; a phase that is no number restarts at 0.
inline double WrapPhase(double phase) {
    double w = phase - std::floor(phase);
    return (w >= 0.0 && w < 1.0) ? w : 0.0;
}

}  // namespace

void PrepareTables(float sampleRate) {
    if (!(sampleRate > 0.0f)) sampleRate = 44100.0f;
    g_tables.sample_rate = sampleRate;
    g_tables.base = 13.75 / static_cast<double>(sampleRate);
    g_tables.khz_factor = static_cast<float>(1.0 / (0.0001 * static_cast<double>(sampleRate)));
    g_tables.hz_factor = static_cast<float>(1.0 / (0.1 * static_cast<double>(sampleRate)));
    if (sampleRate != g_tables.built_rate) {
        g_tables.built_rate = sampleRate;
        BuildWaveTables();
        BuildPitchTables();
    }
}

double OctaveIncrement(float v, bool roundDown) {
    double h = static_cast<double>(v) * 2560.0;  // fine steps: 256 per volt
    int n;
    double f;
    if (!(h >= kLowStep)) {  // below -30 V, or NaN: the bottom of the table
        n = kLowStep;
        f = 0.0;
    } else if (h >= kHighStep + 1.0) {  // 31 V and above: the top of the table
        n = kHighStep;
        f = 1.0;
    } else {
        // h lies within +/-7937 here, so the integer conversions are exact.
        n = static_cast<int>(h);  // toward zero
        if (n > h) --n;           // floor
        f = h - n;
        if (!roundDown && (f > 0.5 || (f == 0.5 && (n & 1) != 0))) {  // to nearest, ties to even
            ++n;
            f -= 1.0;
        }
        if (n > kHighStep) {  // rounded up to 31 V: stay on the last segment
            n = kHighStep;
            f = h - kHighStep;
        }
    }
    const Pair& e = g_tables.fine[n & (kFineSteps - 1)];
    double octave = g_tables.octave[(n >> 8) - kOctaveLow];
    return (f * e.slope + e.value) * octave;
}

// ---- pins ------------------------------------------------------------------

bool Module::DescribePin(int index, KVPinProperties* out) {
    auto stream = [out](float** var, int dir, const char* name, const char* def) {
        out->variable = var;
        out->direction = dir;
        out->datatype = DT_FSAMPLE;
        out->name = name;
        out->default_text = def;
    };
    auto choice = [out](short* var, const char* name, const char* def, const char* list) {
        out->variable = var;
        out->direction = DR_IN;
        out->datatype = DT_CHOICE;
        out->name = name;
        out->default_text = def;
        out->list = list;
    };
    static const char* const kWaveNames[4] = {"Waveform1", "Waveform2", "Waveform3", "Waveform4"};
    static const char* const kPhaseNames[4] = {"Phase1: +/-10*", "Phase2: +/-10*", "Phase3: +/-10*",
                                               "Phase4: +/-10*"};
    static const char* const kOutNames[4] = {"Out 1", "Out 2", "Out 3", "Out 4"};
    if (index == 0) {
        stream(&m_pitch, DR_IN, "Pitch", "5.000");
    } else if (index == 1) {
        stream(&m_sync, DR_IN, "Sync", "0.0");
    } else if (index >= 2 && index <= 5) {
        choice(&m_waveform[index - 2], kWaveNames[index - 2], "0", kWaveList);
    } else if (index >= 6 && index <= 9) {
        stream(&m_phase_in[index - 6], DR_IN, kPhaseNames[index - 6], "0.0");
    } else if (index >= 10 && index <= 13) {
        stream(&m_out[index - 10], DR_OUT, kOutNames[index - 10], nullptr);
    } else if (index == 14) {
        choice(&m_accuracy, "PitchMod Accuracy", "1", "Low,High");
    } else if (index == 15) {
        choice(&m_volt_mode, "Pitch Volt Mode", "0", "Oct,Khz,Hz");
    } else if (index == 16) {
        choice(&m_active, "Active", "1", "OFF,ON");
    } else {
        return false;
    }
    return true;
}

// ---- life cycle --------------------------------------------------------------

void Module::Open() {
    KVModule_base::Open();
    m_block_size = BlockSize();
    PrepareTables(SampleRate());
    m_linear_factor = 0.0f;
    m_last_sync = -1.0f;
    m_phase = 0.0;
    for (int n = 0; n < 4; ++n) {
        m_out_pin[n] = GetPin(10 + n);
        m_out_mark[n] = (m_out_pin[n] != nullptr && m_out_pin[n]->IsConnected()) ? 1 : 0;
    }
    // Unconnected outputs at the end of the order stop the output loop early.
    for (int n = 3; n >= 0 && m_out_mark[n] == 0; --n) m_out_mark[n] = -1;

    // Until their pins report: Sine everywhere, the Pitch default (5 V,
    // 440 Hz), nothing streaming.
    for (int n = 0; n < 4; ++n) m_table[n] = WAVE_SINE;
    m_increment = OctaveIncrement(0.5f, false);
    m_pitch_streaming = false;
    m_sync_streaming = false;
    m_sub_process = &Module::ProcessPitchBlock;
    m_sleep_count = m_block_size;
}

void Module::StaticEvaluation(float pitch) {
    if (m_volt_mode == VOLT_KHZ || m_volt_mode == VOLT_HZ) {
        m_linear_factor = m_volt_mode == VOLT_KHZ ? g_tables.khz_factor : g_tables.hz_factor;
        m_increment = static_cast<double>(pitch) * m_linear_factor;
    } else {
        m_increment = OctaveIncrement(pitch, false);
    }
}

void Module::PinStatusChanged(KVPin* pin) {
    int index = pin->Index();
    bool streaming = pin->Status() == PS_STREAMING;
    switch (index) {
        case 0:  // Pitch
            m_pitch_streaming = streaming;
            if (!streaming) StaticEvaluation(pin->Value());
            break;
        case 1:  // Sync: a static step from <= 0 to > 0 restarts the phase
            m_sync_streaming = streaming;
            if (!streaming) {
                float v = pin->Value();
                if (!(m_last_sync > 0.0f) && v > 0.0f) m_phase = 0.0;
                m_last_sync = v;
            }
            break;
        case 2:
        case 3:
        case 4:
        case 5: {  // Waveform N: choices outside the list take the nearest table
            m_table[index - 2] = std::clamp<int>(m_waveform[index - 2], 0, WAVE_COUNT - 1);
            break;
        }
        case 15:  // Pitch Volt Mode
            StaticEvaluation(GetPin(0)->Value());
            break;
        case 16: {  // Active
            int status = PS_STREAMING;
            if (m_active == 0) {
                SetProcessFunction<&Module::ProcessSilence>();
                m_sleep_count = m_block_size;
                status = PS_ONE_SHOT;
            }
            int clock = SampleClock();
            for (int n = 0; n < 4; ++n)
                if (m_out_mark[n] == 1) m_out_pin[n]->SendStatus(clock, status);
            break;
        }
        default:
            break;
    }
    ChooseRoutine();
}

void Module::ChooseRoutine() {
    if (m_active == 0) return;
    bool octave = m_volt_mode != VOLT_KHZ && m_volt_mode != VOLT_HZ;
    Routine direct = &Module::ProcessPitchBlock;
    if (m_accuracy == ACCURACY_HIGH && m_pitch_streaming) {
        direct = octave ? &Module::ProcessPitchOctave : &Module::ProcessPitchLinear;
    }
    if (m_sync_streaming) {
        m_sub_process = direct;
        if (octave) {
            SetProcessFunction<&Module::ProcessSyncOctave>();
        } else {
            SetProcessFunction<&Module::ProcessSyncLinear>();
        }
    } else if (direct == &Module::ProcessPitchOctave) {
        SetProcessFunction<&Module::ProcessPitchOctave>();
    } else if (direct == &Module::ProcessPitchLinear) {
        SetProcessFunction<&Module::ProcessPitchLinear>();
    } else {
        SetProcessFunction<&Module::ProcessPitchBlock>();
    }
}

// ---- processing ----------------------------------------------------------------

void Module::PrepareReader(Reader& r, int bufferOffset) const {
    r.count = 0;
    for (int n = 0; n < 4; ++n) {
        if (m_out_mark[n] < 0) break;  // no connected output after this one
        if (m_out_mark[n] == 0) continue;
        int k = r.count++;
        r.table[k] = g_tables.wide[m_table[n]];
        r.out[k] = m_out[n] + bufferOffset;
        // 10 V (1.0) is one cycle; the offset is fixed for the whole call.
        int steps;
        double f;
        SplitPosition(std::floor(static_cast<double>(m_phase_in[n][bufferOffset]) * kTableSize), steps, f);
        r.offset[k] = steps;
    }
}

// Writes the outputs for `count` samples from their table positions: the
// whole step (0 .. 511) and the fraction above it.
void Module::WriteOutputs(const Reader& r, int first, int count, const int* step, const double* frac) {
    for (int k = 0; k < r.count; ++k) {
        const WidePair* table = r.table[k];
        const int offset = r.offset[k];
        float* out = r.out[k] + first;
        for (int i = 0; i < count; ++i) {
            const WidePair& e = table[(offset + step[i]) & kTableMask];
            out[i] = static_cast<float>(frac[i] * e.slope + e.value);
        }
    }
}

// Samples are handled in chunks: first the phase of every sample, then each
// output over the whole chunk.
constexpr int kChunk = 128;

template <bool Octave>
void Module::ProcessPitchStream(int bufferOffset, int sampleFrames) {
    Reader r;
    PrepareReader(r, bufferOffset);
    const float* pitch = m_pitch + bufferOffset;
    double phase = m_phase;
    int step[kChunk];
    double frac[kChunk];
    for (int first = 0; first < sampleFrames; first += kChunk) {
        const int count = std::min(kChunk, sampleFrames - first);
        for (int i = 0; i < count; ++i) {
            SplitPosition(phase * kTableSize, step[i], frac[i]);  // the phase before this sample's increment
            if constexpr (Octave) {
                phase += OctaveIncrement(pitch[first + i], true);
            } else {
                phase += static_cast<double>(pitch[first + i]) * m_linear_factor;
            }
        }
        WriteOutputs(r, first, count, step, frac);
    }
    m_phase = WrapPhase(phase);
}

void Module::ProcessPitchLinear(int bufferOffset, int sampleFrames) {
    ProcessPitchStream<false>(bufferOffset, sampleFrames);
}

void Module::ProcessPitchOctave(int bufferOffset, int sampleFrames) {
    ProcessPitchStream<true>(bufferOffset, sampleFrames);
}

double Module::BlockIncrement(float pitch) const {
    if (m_volt_mode == VOLT_KHZ) return static_cast<double>(pitch) * g_tables.khz_factor;
    if (m_volt_mode == VOLT_HZ) return static_cast<double>(pitch) * g_tables.hz_factor;
    return OctaveIncrement(pitch, false);
}

void Module::ProcessPitchBlock(int bufferOffset, int sampleFrames) {
    Reader r;
    PrepareReader(r, bufferOffset);
    double increment = m_pitch_streaming ? BlockIncrement(m_pitch[bufferOffset]) : m_increment;
    double advance = increment * kTableSize;  // table steps per sample
    double p = m_phase * kTableSize;
    int step[kChunk];
    double frac[kChunk];
    for (int first = 0; first < sampleFrames; first += kChunk) {
        const int count = std::min(kChunk, sampleFrames - first);
        for (int i = 0; i < count; ++i) {
            SplitPosition(p, step[i], frac[i]);
            p += advance;
        }
        WriteOutputs(r, first, count, step, frac);
    }
    m_phase = WrapPhase(p / kTableSize);
}

void Module::ProcessSync(int bufferOffset, int sampleFrames, bool octave) {
    const float* sync = m_sync + bufferOffset;
    float prev = m_last_sync;
    int s0 = 0;
    for (int i = 0; i < sampleFrames; ++i) {
        float cur = sync[i];
        if (!(prev > 0.0f) && cur > 0.0f) {  // rising edge between samples i-1 and i
            if (i > s0) (this->*m_sub_process)(bufferOffset + s0, i - s0);
            float pitch = m_pitch[bufferOffset + i];
            double inc = octave ? OctaveIncrement(pitch, false) : static_cast<double>(pitch) * m_linear_factor;
            // The zero crossing lies cur / (cur - prev) of a sample before
            // sample i: the phase has run that far into the new cycle.
            m_phase = static_cast<float>(inc * cur / (static_cast<double>(cur) - static_cast<double>(prev)));
            s0 = i;
        }
        prev = cur;
    }
    m_last_sync = prev;
    if (sampleFrames > s0) (this->*m_sub_process)(bufferOffset + s0, sampleFrames - s0);
}

void Module::ProcessSyncOctave(int bufferOffset, int sampleFrames) { ProcessSync(bufferOffset, sampleFrames, true); }

void Module::ProcessSyncLinear(int bufferOffset, int sampleFrames) { ProcessSync(bufferOffset, sampleFrames, false); }

void Module::ProcessSilence(int bufferOffset, int sampleFrames) {
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
    for (int n = 0; n < 4; ++n) {
        if (m_out[n] != nullptr) std::fill(m_out[n] + bufferOffset, m_out[n] + bufferOffset + sampleFrames, 0.0f);
    }
}

}  // namespace chorus_driver
