#include "db_to_level.h"

#include <cmath>
#include <cstdint>

namespace db_to_level {

LevelTables g_tables;
bool g_tables_built = false;

void BuildLevelTables() {
    g_tables_built = true;
    for (int k = 0; k <= 30; ++k) {
        float power = static_cast<float>(int64_t{1} << k);
        g_tables.octave[30 + k] = power;
        if (k >= 1) g_tables.octave[30 - k] = 1.0f / power;
    }
    for (int i = 0; i <= 512; ++i) {
        long double v0 = std::exp2l(static_cast<long double>(i) / 512.0L);
        long double v1 = std::exp2l(static_cast<long double>(i + 1) / 512.0L);
        g_tables.fine[i].value = static_cast<float>(v0);
        g_tables.fine[i].slope = static_cast<float>(v1 - v0);
    }
}

float DbToLevel(float x) {
    double t = (static_cast<double>(x) + 18.0) * 853.3333333333334;
    int32_t n;
    double frac;
    if (t >= 0.0 && t < 31232.0) {
        n = static_cast<int32_t>(t);  // truncation toward zero
        frac = t - n;
    } else if (t >= 31232.0) {
        n = 31231;  // top of the table: 2^31
        frac = 1.0;
    } else {
        n = 0;      // below -18.0, and NaN: 2^-30
        frac = 0.0;
    }
    const LevelTables::Pair& p = g_tables.fine[n & 511];
    double y = (frac * p.slope + p.value) * g_tables.octave[static_cast<uint32_t>(n) >> 9];
    return static_cast<float>(y);
}

bool Module::DescribePin(int index, KVPinProperties* out) {
    switch (index) {
        case 0:
            out->variable = &m_in_buffer;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Decibel (dB)";
            return true;
        case 1:
            out->variable = &m_out_buffer;
            out->direction = DR_OUT;
            out->datatype = DT_FSAMPLE;
            out->name = "To Volume/Level Adj";
            return true;
        case 2:
            out->variable = &m_mode;
            out->direction = DR_IN;
            out->datatype = DT_CHOICE;
            out->name = "Mode";
            out->default_text = "1";
            out->list = "Step,Realtime,Block/Status,Block/Stream";
            return true;
        default:
            return false;
    }
}

void Module::Open() {
    KVModule_base::Open();
    m_block_size = BlockSize();
    m_realtime = 0;
    if (!g_tables_built) BuildLevelTables();
    m_in_pin = GetPin(0);
    m_out_pin = GetPin(1);
    SetProcessFunction<&Module::ProcessConvert>();
    m_step_value = 0.0f;
    m_last_sent = -10000.0f;
    m_input_status = 1;
    m_input_streaming = 0;
    m_sleep_enabled = 1;
    m_sleep_count = m_block_size;
}

void Module::PinStatusChanged(KVPin* pin) {
    if (pin == m_in_pin) {
        if (pin->Status() == PS_STREAMING) {
            m_input_streaming = 1;
            m_input_status = 2;
        } else {
            m_input_streaming = 0;
            m_input_status = 1;
        }
        m_last_sent = -10000.0f;
        m_step_value = m_in_pin->Value();
    } else if (pin->Index() == 2) {
        m_last_sent = -10000.0f;
    }
    m_realtime = 0;
    if (m_mode == MODE_BLOCK_STREAM && m_input_streaming) {
        m_out_pin->SendStatus(SampleClock(), PS_STREAMING);
    }
    if (m_mode == MODE_REALTIME && m_input_streaming) {
        m_realtime = 1;
        m_out_pin->SendStatus(SampleClock(), PS_STREAMING);
    }
    m_sleep_enabled = m_input_status == 2 ? 0 : 1;
    m_sleep_count = m_block_size;
}

void Module::ProcessConvert(int bufferOffset, int sampleFrames) {
    const float* in = m_in_buffer + bufferOffset;
    float* out = m_out_buffer + bufferOffset;
    if (m_realtime) {
        for (int k = 0; k < sampleFrames; ++k) out[k] = DbToLevel(in[k]);
    } else {
        float v;
        if (m_mode == MODE_BLOCK_STREAM && m_input_status == 2) {
            v = in[0];
        } else {
            v = m_mode == MODE_STEP ? m_step_value : in[0];
            if (v != m_last_sent) {
                m_last_sent = v;
                m_out_pin->SendStatus(SampleClock(), PS_ONE_SHOT);
            }
        }
        float y = DbToLevel(v);
        for (int k = 0; k < sampleFrames; ++k) out[k] = y;
    }
    if (m_sleep_enabled) {
        m_sleep_count -= sampleFrames;
        if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
    }
}

}  // namespace db_to_level
