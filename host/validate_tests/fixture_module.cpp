#include "fixture_module.h"

namespace kv_fixture {

bool Module::DescribePin(int index, KVPinProperties* out) {
    switch (index) {
        case 0:
            out->variable = &m_in;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "In";
            out->default_text = "0.0";
            return true;
        case 1:
            out->variable = &m_out;
            out->direction = DR_OUT;
            out->datatype = DT_FSAMPLE;
            out->name = "Out";
            return true;
        case 2:
            out->variable = &m_gain;
            out->direction = DR_IN;
            out->datatype = DT_CHOICE;
            out->name = "Gain";
            out->default_text = "0";
            out->list = "Half,Full";
            return true;
        default:
            return false;
    }
}

void Module::Open() {
    KVModule_base::Open();
    m_streaming = false;
    m_value = 0.0f;
    m_sleep_count = BlockSize();
    Choose();
}

// Streaming input: per-sample routine, output announced streaming. Static
// input: one value for every sample, announced once, sleep after a block.
void Module::Choose() {
    if ((KV_FIXTURE_FAULT != 0 && KV_FIXTURE_FAULT != 7) || m_streaming) {
        SetProcessFunction<&Module::ProcessStream>();
    } else {
        SetProcessFunction<&Module::ProcessStatic>();
    }
}

void Module::PinStatusChanged(KVPin* pin) {
    if (pin->Index() == 0) {
        m_streaming = pin->Status() == PS_STREAMING;
        if (!m_streaming) m_value = pin->Value();
    }
    Choose();
    GetPin(1)->SendStatus(SampleClock(), m_streaming ? PS_STREAMING : PS_ONE_SHOT);
    m_sleep_count = BlockSize();
}

void Module::ProcessStream(int bufferOffset, int sampleFrames) {
    const float* in = m_in + bufferOffset;
    float* out = m_out + bufferOffset;
    float g = Gain();
    int n = KV_FIXTURE_FAULT == 1 ? sampleFrames - 1 : sampleFrames;
    for (int k = 0; k < n; ++k) out[k] = in[k] * g;
    if (KV_FIXTURE_FAULT == 2) m_sink = in[sampleFrames + 8];
    if (KV_FIXTURE_FAULT == 3) out[sampleFrames] = 12345.0f;
    if (KV_FIXTURE_FAULT == 4) m_in[bufferOffset] = 0.25f;
    if (KV_FIXTURE_FAULT == 5)
        for (int k = 0; k < sampleFrames; ++k) out[k] = in[k] / in[k] * in[k];
    if (KV_FIXTURE_FAULT == 6) CallHost(HOST_SLEEP);
}

void Module::ProcessStatic(int bufferOffset, int sampleFrames) {
    float* out = m_out + bufferOffset;
    float y = m_value * Gain();
    for (int k = 0; k < sampleFrames; ++k) out[k] = y;
    if (KV_FIXTURE_FAULT == 7) {
        for (int k = 0; k < sampleFrames; ++k) out[k] = y + 0.001f * static_cast<float>(k + 1);
        return;  // and never sleeps
    }
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
}

}  // namespace kv_fixture
