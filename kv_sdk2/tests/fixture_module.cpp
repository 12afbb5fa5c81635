#include "fixture_module.h"


namespace fixture {

bool Module::DescribePin(int index, KVPinProperties* out) {
    switch (index) {
        case 0:
            *out = {&m_in, DR_IN, DT_FSAMPLE, "In", "0", nullptr, 0, 0};
            return true;
        case 1:
            *out = {&m_out, DR_OUT, DT_FSAMPLE, "Out", nullptr, nullptr, 0, 0};
            return true;
        case 2:
            *out = {nullptr, DR_IN, DT_FVALUE, "Panel", nullptr, nullptr, IO_UI_COMMUNICATION, 0};
            return true;
        case 3:
            *out = {&m_gain, DR_IN, DT_FVALUE, "Gain", "1", nullptr, 0, 0};
            return true;
        case 4:
            *out = {&m_shared, DR_IN, DT_FVALUE, "Shared", nullptr, nullptr, IO_UI_COMMUNICATION | IO_UI_AND_DSP, 0};
            return true;
        case 5:
            *out = {&m_extra, DR_IN, DT_FVALUE, "Extra", nullptr, nullptr, IO_REPEAT_LAST, 0};
            return true;
        default:
            return false;
    }
}

void Module::Open() {
    KVModule_base::Open();
    SetProcessFunction<&Module::ProcessStatic>();
    m_sleep_count = BlockSize();
}

void Module::PinStatusChanged(KVPin* pin) {
    if (pin->Index() == 3) {  // "Shared" tells the GUI side
        CallHost(HOST_NOTIFY_GUI, 0, 1, nullptr);
    }
    KVPin* in = GetPin(0);
    if (in->Status() == PS_STREAMING) {
        SetProcessFunction<&Module::ProcessStream>();
        GetPin(1)->SendStatus(SampleClock(), PS_STREAMING);
    } else {
        m_value = in->Value() * m_gain;
        SetProcessFunction<&Module::ProcessStatic>();
        GetPin(1)->SendStatus(SampleClock(), PS_ONE_SHOT);
        m_sleep_count = BlockSize();
    }
}

void Module::ProcessStream(int offset, int count) {
    for (int k = 0; k < count; ++k) m_out[offset + k] = m_in[offset + k] * m_gain;
}

void Module::ProcessStatic(int offset, int count) {
    for (int k = 0; k < count; ++k) m_out[offset + k] = m_value;
    m_sleep_count -= count;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
}

void GuiModule::OnDspMessage(int value, int, void*) {
    // Panel counts the notices it got.
    GetGuiPin(2)->SetValue(GetGuiPin(2)->FloatValue() + static_cast<float>(value));
}

void GuiModule::GuiPinChanged(KVGuiPin*) {}

}  // namespace fixture
