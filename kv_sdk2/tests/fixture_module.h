// A small adaptive module for the framework and host tests.
//   0 "In"      stream in
//   1 "Out"     stream out: In x Gain
//   2 "Panel"   GUI-only float (no DSP pin)
//   3 "Gain"    float in, default 1
//   4 "Shared"  float in, shared by GUI and DSP
//   5 "Extra"   float in, repeats for further host pins
// While In streams it multiplies per sample; otherwise it writes In[0] x Gain
// and sleeps after one block. Its GUI side counts what reaches it and copies
// "Shared" changes to "Panel".
#pragma once

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace fixture {

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}
    bool DescribePin(int index, KVPinProperties* out) override;
    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    void ProcessStream(int offset, int count);
    void ProcessStatic(int offset, int count);

private:
    float* m_in = nullptr;
    float* m_out = nullptr;
    float m_gain = 1.0f;
    float m_shared = 0.0f;
    float m_extra = 0.0f;
    float m_value = 0.0f;
    int m_sleep_count = 0;
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
    void OnDspMessage(int value, int index, void* ptr) override;
    void GuiPinChanged(KVGuiPin* pin) override;
};

}  // namespace fixture
