// Decibel-to-level converter: output = 2^(input * 5/3), one input unit being
// 10 dB, from two lookup tables. "Mode" chooses per-sample conversion or one
// value per status change or per block.
#pragma once

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace db_to_level {

enum Mode : short { MODE_STEP = 0, MODE_REALTIME = 1, MODE_BLOCK_STATUS = 2, MODE_BLOCK_STREAM = 3 };

// Library-wide tables, built by the first instance that opens.
struct LevelTables {
    float octave[61];  // 2^(j - 30), j = 0 .. 60
    struct Pair {
        float slope;   // value[i + 1] - value[i]
        float value;   // 2^(i / 512)
    } fine[513];
};
extern LevelTables g_tables;
extern bool g_tables_built;
void BuildLevelTables();

// 2^(5x/3) by table lookup. Inputs outside -18 .. 18.6 (and NaN) give the
// value at the nearest end of the table range.
float DbToLevel(float x);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

    void ProcessConvert(int bufferOffset, int sampleFrames);

private:
    float* m_in_buffer = nullptr;
    float* m_out_buffer = nullptr;
    float m_last_sent = -10000.0f;  // outside the valid input range
    float m_step_value = 0.0f;
    KVPin* m_in_pin = nullptr;
    KVPin* m_out_pin = nullptr;
    int m_input_streaming = 0;
    int m_realtime = 0;
    int m_block_size = 0;
    int m_sleep_count = 0;
    int m_sleep_enabled = 1;
    int m_input_status = 1;  // 1 static, 2 streaming
    short m_mode = MODE_REALTIME;
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace db_to_level
