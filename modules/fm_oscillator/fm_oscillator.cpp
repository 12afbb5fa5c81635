// Pins, instance state, open, pin changes, routine choice, hold and silence.
#include "fm_oscillator.h"

#include <cstring>
#include <string>

#include "pitch.h"

namespace fm_oscillator {

const char kAlgorithmList[] =
    "A+B+C+D,(A+B+C)*D,(A+B+C)>D,(A+B)>C+D,((A+B)>C)*D,(A+B)>C>D,(A+B)*C+D,(A+B)*C*D,((A+B)*C)>D,"
    "(A>B)+C+D,((A>B)+C)*D,((A>B)+C)>D,(A>B)>C+D,(A>B>C)*D,A>B>C>D,(A>B)*C+D,((A>B)*C)>D,(A>B)*C*D,"
    "(A*B)+C+D,((A*B)+C)*D,((A*B)+C)>D,((A*B)>C)+D,((A*B)>C)*D,(A*B)>C>D,A*B*C+D,(A*B*C)>D,A*B*C*D,"
    "(A+B)*(C+D)=50,(A>B)+(C>D),(A*B)+(C*D),(A*B)+(C>D),(A>B)*(C>D),(A*B)*(C>D),"
    "(A>B)+(A>C)+D=80,(A>B)+(A>C)+(A>D),(A>B)+(A*C)+D,(A>B)+(A*C)+(A>D),(A>B)+(A*C)+(A*D),"
    "(A*B)+(A*C)+D,(A*B)+(A*C)+(A*D),(A+B)+(A>C)+D,(A+B)+(A*C)+D,(A+B)+(A>C)+(A>D),"
    "(A+B)+(A*C)+(A*D),(A+B)+(A>C)+(A*D),"
    "((A+B)>C)+((A+B)+D)=100,((A+B)>C)+((A+B)>D),((A+B)>C)+((A+B)*D),((A+B)*C)+((A+B)*D),"
    "((A>B)>C)+((A>B)+D),((A>B)>C)+((A>B)>D),((A>B)>C)+((A>B)*D),((A>B)*C)+((A>B)*D),"
    "((A*B)>C)+((A*B)+D),((A*B)>C)+((A*B)>D),((A*B)>C)+((A*B)*D),((A*B)*C)+((A*B)*D)";

const char* HarmonicsList() {
    static const std::string list = [] {
        std::string s;
        for (int n = 1; n <= kTablesPerSet; ++n) {
            if (n > 1) s += ',';
            s += std::to_string(n);
        }
        return s;
    }();
    return list.c_str();
}

namespace {

const char kWaveformList[] = "Sine,Saw,Ramp,Soft Ramp,Peak Ramp,Square,Triangle,Peak,Octava,Cluster1,Cluster2";
const char kOffOn[] = "OFF,ON";
const char kLowHigh[] = "Low,High";

void Fill(KVPinProperties* out, void* variable, int direction, int datatype, const char* name,
          const char* defaultText, const char* list = nullptr) {
    out->variable = variable;
    out->direction = direction;
    out->datatype = datatype;
    out->name = name;
    out->default_text = defaultText;
    out->list = list;
}

const char* const kWaveformNames[kOperators] = {"Waveform A", "Waveform B", "Waveform C", "Waveform D"};
const char* const kHarmonicsNames[kOperators] = {"Harmonics A", "Harmonics B", "Harmonics C", "Harmonics D"};
const char* const kLevelNames[kOperators] = {"Level A", "Level B", "Level C", "Level D"};
const char* const kLevelDefaults[kOperators] = {"10.0", nullptr, nullptr, nullptr};
const char* const kTuningNames[kOperators] = {"Tuning A", "Tuning B", "Tuning C", "Tuning D"};
const char* const kTuningDefaults[kOperators] = {"1.0", "2.0", "3.0", "4.0"};

}  // namespace

bool Module::DescribePin(int index, KVPinProperties* out) {
    if (index >= PIN_WAVEFORM_A && index < PIN_WAVEFORM_A + kOperators) {
        int k = index - PIN_WAVEFORM_A;
        Fill(out, &m_waveform[k], DR_IN, DT_CHOICE, kWaveformNames[k], "0", kWaveformList);
        return true;
    }
    if (index >= PIN_HARMONICS_A && index < PIN_HARMONICS_A + kOperators) {
        int k = index - PIN_HARMONICS_A;
        Fill(out, &m_harmonics_choice[k], DR_IN, DT_CHOICE, kHarmonicsNames[k], "7", HarmonicsList());
        return true;
    }
    if (index >= PIN_LEVEL_A && index < PIN_LEVEL_A + kOperators) {
        int k = index - PIN_LEVEL_A;
        Fill(out, &m_level[k], DR_IN, DT_FSAMPLE, kLevelNames[k], kLevelDefaults[k]);
        return true;
    }
    if (index >= PIN_TUNING_A && index < PIN_TUNING_A + kOperators) {
        int k = index - PIN_TUNING_A;
        Fill(out, &m_tuning[k], DR_IN, DT_FSAMPLE, kTuningNames[k], kTuningDefaults[k]);
        return true;
    }
    switch (index) {
        case PIN_ROOT_PITCH:
            Fill(out, &m_root_pitch, DR_IN, DT_FSAMPLE, "Root Pitch", "5.000");
            return true;
        case PIN_ROOT_REF:
            Fill(out, &m_root_ref, DR_IN, DT_FSAMPLE, "Root Pitch Ref (System B)", "5.000");
            return true;
        case PIN_DRIFT_DEPTH:
            Fill(out, &m_drift_depth, DR_IN, DT_FSAMPLE, "Analogue Drift Depth", "0.0");
            return true;
        case PIN_DRIFT_RATE:
            Fill(out, &m_drift_rate, DR_IN, DT_CHOICE, "Analogue Drift Rate(s)", "10",
                 "1/100,1/50,1/25,1/10,1/5,1/3,1/2,1,2,3,4,6,10,20,40");
            return true;
        case PIN_SYNC:
            Fill(out, &m_sync, DR_IN, DT_FSAMPLE, "Sync", "0.0");
            return true;
        case PIN_SYNC_ACCURACY:
            Fill(out, &m_sync_accuracy, DR_IN, DT_CHOICE, "Sync Accuracy", "1", kLowHigh);
            return true;
        case PIN_WAVE_OUT:
            Fill(out, &m_out, DR_OUT, DT_FSAMPLE, "Wave.Out", nullptr);
            return true;
        case PIN_ALGORITHM:
            Fill(out, &m_algorithm, DR_IN, DT_CHOICE, "Osc Algorithm", "0", kAlgorithmList);
            return true;
        case PIN_FREQ_LIMIT:
            Fill(out, &m_freq_limit, DR_IN, DT_FSAMPLE, "Freq Limit (Hz)", "20000", "22050,100,22050,100");
            return true;
        case PIN_LIMIT_SYSTEM:
            Fill(out, &m_limit_system, DR_IN, DT_CHOICE, "Limit Freq System", "1", "OFF,A,B");
            return true;
        case PIN_REMOVE_ROOT:
            Fill(out, &m_remove_root, DR_IN, DT_CHOICE, "Remove Root>Limit? WaveB,C,D", "0", kOffOn);
            return true;
        case PIN_PITCH_MODE:
            Fill(out, &m_pitch_mode, DR_IN, DT_CHOICE, "Pitch Mode", "0", "Oct,Khz,Hz");
            return true;
        case PIN_ACCURACY:
            Fill(out, &m_accuracy, DR_IN, DT_CHOICE, "Pitch/Tuning Mod Accuracy", "1", kLowHigh);
            return true;
        case PIN_HOLD:
            Fill(out, &m_hold, DR_IN, DT_CHOICE, "HOLD: On/Off", "0", kOffOn);
            return true;
        case PIN_ACTIVE:
            Fill(out, &m_active_choice, DR_IN, DT_CHOICE, "Active", "0", kOffOn);
            return true;
        case PIN_INC_BUFFER:
            Fill(out, &m_inc_buffer, DR_PARAMETER, DT_FSAMPLE, "", "");
            return true;
        case PIN_TEMP_BUFFER:
            Fill(out, &m_temp_buffer, DR_PARAMETER, DT_FSAMPLE, "", "");
            return true;
        case PIN_LINK:
            Fill(out, &m_link_value, DR_IN, DT_IVALUE, "QM_Osc_Link", nullptr);
            return true;
        default:
            return false;
    }
}

void Module::Open() {
    KVModule_base::Open();
    m_block_size = BlockSize() > 0 ? BlockSize() : 1;
    g_sample_rate = SampleRate();

    m_drift_next = 0;
    m_drift = 1.0f;
    m_drift_target = 1.0f;
    m_drift_step = 0.0f;
    m_drift_interval = static_cast<int32_t>(static_cast<double>(g_sample_rate) * 0.5);
    m_drift_blocks = m_drift_interval / m_block_size;

    g_base_increment = 13.75 / static_cast<double>(g_sample_rate);
    if (g_sample_rate != g_built_rate) BuildPitchTables(g_sample_rate);

    m_last_sync = -1.0f;
    for (double& p : m_phase) p = 0.0;
    m_linear_factor = 0.0f;
    m_pitch_streaming = false;

    g_khz_factor = static_cast<float>(1.0 / (0.0001 * static_cast<double>(g_sample_rate)));
    g_hz_factor = static_cast<float>(1.0 / (0.1 * static_cast<double>(g_sample_rate)));

    m_link = nullptr;
    KVPin* link = GetPin(PIN_LINK);
    m_link_connected = link != nullptr && link->IsConnected();
    if (m_sub_process == nullptr) m_sub_process = DirectRoutine(0, false);
}

// Announces Wave.Out after a HOLD or Active change: constant (PS_ONE_SHOT)
// while a hold or silence routine runs, PS_STREAMING otherwise. Following the
// installed routine keeps the announcement true also when Active turns on
// under HOLD, or when no algorithm routine can be installed.
void Module::AnnounceOutput() {
    const ProcessMember current = CurrentProcessFunction();
    m_output_constant = current == static_cast<ProcessMember>(&Module::ProcessHold) ||
                        current == static_cast<ProcessMember>(&Module::ProcessSilence);
    if (KVPin* out = GetPin(PIN_WAVE_OUT)) {
        out->SendStatus(SampleClock(), m_output_constant ? PS_ONE_SHOT : PS_STREAMING);
    }
}

// Takes each operator's table set from the directory. The directory address
// travels as a 32-bit value; it is read unsigned so that any address below
// 4 GiB comes back whole in 64-bit builds.
void Module::TakeTables() {
    m_link = reinterpret_cast<const float* const*>(static_cast<uintptr_t>(static_cast<uint32_t>(m_link_value)));
    if (m_link == nullptr) return;
    for (int k = 0; k < kOperators; ++k) {
        unsigned w = static_cast<uint16_t>(m_waveform[k]);
        if (w >= static_cast<unsigned>(kWaveforms)) continue;  // not a waveform: keep the table
        m_table[k] = m_link[w];
        m_table_is_sine[k] = w == 0;
    }
}

void Module::StaticPitch(float v, int mode) {
    switch (mode) {
        case PITCH_OCT:
            m_increment = OctIncrementNearest(v);
            break;
        case PITCH_KHZ:
            m_linear_factor = g_khz_factor;
            m_increment = static_cast<double>(v) * m_linear_factor;
            break;
        case PITCH_HZ:
            m_linear_factor = g_hz_factor;
            m_increment = static_cast<double>(v) * m_linear_factor;
            break;
        default:
            break;
    }
}

void Module::PinStatusChanged(KVPin* pin) {
    if (!m_link_connected) return;
    const int index = pin->Index();
    const int status = pin->Status();
    const bool streaming = status == PS_STREAMING;
    bool choose = true;

    if (index >= PIN_WAVEFORM_A && index < PIN_WAVEFORM_A + kOperators) {
        TakeTables();
        return;
    }
    if (index >= PIN_HARMONICS_A && index < PIN_HARMONICS_A + kOperators) {
        int k = index - PIN_HARMONICS_A;
        int h = m_harmonics_choice[k] + 1;
        // The list offers 0 to 255; beyond it the count stays within a set.
        m_harmonics[k] = h < 1 ? 1 : (h > kTablesPerSet ? kTablesPerSet : h);
        return;
    }
    if (index >= PIN_LEVEL_A && index < PIN_LEVEL_A + kOperators) {
        int k = index - PIN_LEVEL_A;
        m_level_static[k] = streaming ? 1.0f : pin->Value();
        return;
    }
    if (index >= PIN_TUNING_A && index < PIN_TUNING_A + kOperators) {
        m_tuning_streaming[index - PIN_TUNING_A] = streaming;
        ChooseRoutine();
        return;
    }

    switch (index) {
        case PIN_ROOT_PITCH:
            m_pitch_streaming = streaming;
            StaticPitch(pin->Value(), m_pitch_mode);
            break;
        case PIN_DRIFT_DEPTH:
            if (streaming) {
                m_drift_gate = 1.0f;
            } else {
                m_drift_gate = pin->Value();
                if (m_drift_gate == 0.0f) m_drift = 1.0f;
            }
            choose = false;
            break;
        case PIN_DRIFT_RATE:
            SetDriftInterval(m_drift_rate);
            choose = false;
            break;
        case PIN_SYNC:
            if (streaming) {
                m_last_sync = -1.0f;
                m_sync_streaming = true;
            } else {
                m_sync_streaming = false;
                float v = pin->Value();
                if (!(m_last_sync > 0.0f) && v > 0.0f) {
                    for (double& p : m_phase) p = 0.0;
                }
                m_last_sync = v;
            }
            break;
        case PIN_FREQ_LIMIT: {
            float limit = 10.0f * pin->Value();
            m_limit_hz = limit > 1.0f ? limit : 1.0f;  // also for NaN
            choose = false;
            break;
        }
        case PIN_PITCH_MODE:
            if (KVPin* root = GetPin(PIN_ROOT_PITCH)) StaticPitch(root->Value(), m_pitch_mode);
            break;
        case PIN_HOLD:
            if (m_hold != 0 || m_active == 0) {
                SetProcessFunction<&Module::ProcessHold>();
                m_sleep_count = m_block_size;
            }
            ChooseRoutine(false);
            AnnounceOutput();
            return;
        case PIN_ACTIVE:
            m_active = m_active_choice;
            if (m_active == 0) {
                for (double& p : m_phase) p = 0.0;
                SetProcessFunction<&Module::ProcessSilence>();
                m_sleep_count = m_block_size;
            }
            ChooseRoutine(false);
            AnnounceOutput();
            return;
        case PIN_LINK:
            TakeTables();
            choose = false;
            break;
        default:
            // Root Pitch Ref, Sync Accuracy, Wave.Out, Osc Algorithm, Limit Freq
            // System, Remove Root, Mod Accuracy and the two buffer pins.
            break;
    }
    if (choose) ChooseRoutine();
}

void Module::ChooseRoutine(bool announce) {
    if (m_hold != 0 || m_active == 0) return;
    bool modulated = m_pitch_streaming;
    for (bool t : m_tuning_streaming) modulated = modulated || t;
    const bool realtime = m_accuracy != 0 && modulated;
    Routine direct = DirectRoutine(m_algorithm, realtime);
    if (m_sync_streaming) {
        if (direct != nullptr) m_sub_process = direct;
        if (m_sync_accuracy == 0) {
            SetProcessFunction<&Module::ProcessSyncReset>();
        } else if (m_pitch_mode != PITCH_OCT) {
            SetProcessFunction<&Module::ProcessSyncLinear>();
        } else {
            SetProcessFunction<&Module::ProcessSyncOctave>();
        }
        if (announce && m_output_constant) AnnounceOutput();
        return;
    }
    InstallDirect(m_algorithm, realtime);
    // A held or silent output that starts running again (Active came on while
    // the algorithm value named no routine) is announced as streaming.
    if (announce && m_output_constant && CurrentProcessFunction() != static_cast<ProcessMember>(&Module::ProcessHold) &&
        CurrentProcessFunction() != static_cast<ProcessMember>(&Module::ProcessSilence)) {
        AnnounceOutput();
    }
}

void Module::ProcessHold(int bufferOffset, int sampleFrames) {
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
    float* out = m_out + bufferOffset;
    const float held = bufferOffset > 0 ? out[-1] : m_out[m_block_size - 1];
    for (int i = 0; i < sampleFrames; ++i) out[i] = held;
}

void Module::ProcessSilence(int bufferOffset, int sampleFrames) {
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
    float* out = m_out + bufferOffset;
    for (int i = 0; i < sampleFrames; ++i) out[i] = 0.0f;
}

}  // namespace fm_oscillator
