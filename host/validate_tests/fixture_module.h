// Small test modules for the validator: a correct gain module and copies of
// it with one deliberate fault each, chosen at build time by KV_FIXTURE_FAULT:
//   0  none: passes every check
//   1  leaves the last sample of every call unwritten
//   2  reads eight samples past the end of its input block
//   3  writes one sample past the samples it was asked for
//   4  writes into its input buffer
//   5  gives NaN for a zero input (0 / 0)
//   6  asks to sleep while its output is announced streaming
//   7  lets its output drift after announcing it one-shot
#pragma once

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

#ifndef KV_FIXTURE_FAULT
#define KV_FIXTURE_FAULT 0
#endif

namespace kv_fixture {

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

    void ProcessStream(int bufferOffset, int sampleFrames);
    void ProcessStatic(int bufferOffset, int sampleFrames);

private:
    float Gain() const { return m_gain == 1 ? 1.0f : 0.5f; }  // out-of-range choices count as "Half"
    void Choose();

    float* m_in = nullptr;
    float* m_out = nullptr;
    short m_gain = 0;
    float m_value = 0.0f;  // input captured at its last static change
    bool m_streaming = false;
    int m_sleep_count = 0;
    volatile float m_sink = 0.0f;
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace kv_fixture
