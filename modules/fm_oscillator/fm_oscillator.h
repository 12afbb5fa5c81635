// Four-operator oscillator: operators A to D read band-limited tables from the
// wavetable generator's directory (link pin) and are combined by one of 57
// algorithms of adding, ring-additive modulation and phase modulation.
//
// Files: fm_oscillator.cpp (pins, state, open, pin changes, routine choice,
// hold and silence), pitch.h/.cpp (pitch tables, pitch modes, harmonic
// choice), algorithm_table.h and algorithms.cpp (the step table and the 114
// routines it generates, analogue drift), sync.cpp (hard sync).
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace fm_oscillator {

// Pin indices.
enum : int {
    PIN_ROOT_PITCH = 0,
    PIN_ROOT_REF = 1,
    PIN_DRIFT_DEPTH = 2,
    PIN_DRIFT_RATE = 3,
    PIN_SYNC = 4,
    PIN_SYNC_ACCURACY = 5,
    PIN_WAVE_OUT = 6,
    PIN_ALGORITHM = 7,
    PIN_WAVEFORM_A = 8,   // .. 11
    PIN_HARMONICS_A = 12, // .. 15
    PIN_LEVEL_A = 16,     // .. 19
    PIN_TUNING_A = 20,    // .. 23
    PIN_FREQ_LIMIT = 24,
    PIN_LIMIT_SYSTEM = 25,
    PIN_REMOVE_ROOT = 26,
    PIN_PITCH_MODE = 27,
    PIN_ACCURACY = 28,
    PIN_HOLD = 29,
    PIN_ACTIVE = 30,
    PIN_INC_BUFFER = 31,
    PIN_TEMP_BUFFER = 32,
    PIN_LINK = 33,
    PIN_COUNT = 34
};

enum : short { PITCH_OCT = 0, PITCH_KHZ = 1, PITCH_HZ = 2 };
enum : short { LIMIT_OFF = 0, LIMIT_A = 1, LIMIT_B = 2 };

constexpr int kOperators = 4;
constexpr int kWaveforms = 11;         // directory entries the oscillator reads
constexpr int kTableStride = 516;      // floats from one table of a set to the next
constexpr int kTablesPerSet = 256;

// The list text of "Osc Algorithm" (57 items, values 0-26, 50-55, 80-91, 100-111).
extern const char kAlgorithmList[];
// Drift random generator state, shared by all instances and never reseeded.
extern uint32_t g_drift_random;

// "1,2,...,256" for the Harmonics pins.
const char* HarmonicsList();

class Module : public KVModule_base {
public:
    using Routine = void (Module::*)(int bufferOffset, int sampleFrames);

    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}
    ~Module() override = default;

    void Open() override;
    bool DescribePin(int index, KVPinProperties* out) override;
    void PinStatusChanged(KVPin* pin) override;

    // Static routines: output frozen at its last sample, or zeros.
    void ProcessHold(int bufferOffset, int sampleFrames);
    void ProcessSilence(int bufferOffset, int sampleFrames);

    // The 114 algorithm routines; the parameter is the position of the
    // algorithm in the step table (0 to 56), not its list value.
    template <int Index>
    void ProcessAlgorithmBlock(int bufferOffset, int sampleFrames);
    template <int Index>
    void ProcessAlgorithmRealtime(int bufferOffset, int sampleFrames);

    // Hard sync: cut the call at rising Sync edges and run m_sub_process on
    // each stretch.
    void ProcessSyncReset(int bufferOffset, int sampleFrames);
    void ProcessSyncOctave(int bufferOffset, int sampleFrames);
    void ProcessSyncLinear(int bufferOffset, int sampleFrames);

    // The direct routine of algorithm list value `value` in one accuracy
    // kind, or null when the value names no algorithm.
    static Routine DirectRoutine(int value, bool realtime);

private:
    friend struct ModuleAccess;  // white-box tests

    // Operator table for one call: null when the operator is removed.
    struct CallTables {
        const float* table[kOperators];
        bool removed[kOperators];
    };

    // Installs the routine the settings call for; with `announce`, a held or
    // silent output that starts running is announced as streaming.
    void ChooseRoutine(bool announce = true);
    bool InstallDirect(int value, bool realtime);
    void TakeTables();
    void StaticPitch(float v, int mode);
    void SetDriftInterval(int choice);
    // Drift step at the start of a call; returns the factor of the call.
    float DriftStep(int bufferOffset);
    bool TablesReady() const;
    void ChooseTables(int bufferOffset, CallTables& out);
    template <int Index, bool Realtime>
    void RunAlgorithm(int bufferOffset, int sampleFrames);
    template <int Index, int Step, bool Realtime>
    void RunStep(const CallTables& tables, double rootInc, int bufferOffset, int sampleFrames);
    enum : int { SYNC_RESET, SYNC_OCTAVE, SYNC_LINEAR };
    template <int Kind>
    void SyncScan(int bufferOffset, int sampleFrames);
    void AnnounceOutput();

    // ---- Pin variables ------------------------------------------------------
    float* m_root_pitch = nullptr;     // 1.0 is 10 V
    float* m_root_ref = nullptr;
    float* m_drift_depth = nullptr;
    short m_drift_rate = 10;
    float* m_sync = nullptr;
    short m_sync_accuracy = 1;
    float* m_out = nullptr;            // Wave.Out
    short m_algorithm = 0;
    short m_waveform[kOperators] = {};
    short m_harmonics_choice[kOperators] = {};
    float* m_level[kOperators] = {};
    float* m_tuning[kOperators] = {};  // 0.1 is the ratio 1
    float* m_freq_limit = nullptr;
    short m_limit_system = LIMIT_A;
    short m_remove_root = 0;
    short m_pitch_mode = PITCH_OCT;
    short m_accuracy = 1;
    short m_hold = 0;
    short m_active_choice = 0;
    float* m_inc_buffer = nullptr;     // pin 31: table steps per sample (realtime)
    float* m_temp_buffer = nullptr;    // pin 32: T, parenthesised sub-results
    int32_t m_link_value = 0;          // pin 33: address of the table directory

    // ---- Instance state -----------------------------------------------------
    const float* m_table[kOperators] = {};   // base of each operator's table set
    bool m_table_is_sine[kOperators] = {};   // m_table[k] is the single sine table
    int32_t m_harmonics[kOperators] = {8, 8, 8, 8};  // 1 to 256
    float m_level_static[kOperators] = {1.0f, 1.0f, 1.0f, 1.0f};
    bool m_tuning_streaming[kOperators] = {};
    bool m_pitch_streaming = false;
    bool m_sync_streaming = false;
    float m_last_sync = -1.0f;
    float m_limit_hz = 20000.0f;       // Hz, at least 1.0
    double m_increment = 0.0;          // cycles per sample at the root pitch
    float m_linear_factor = 0.0f;      // cycles per sample per unit of Root Pitch
    double m_phase[kOperators] = {};   // cycles
    int32_t m_block_size = 1;
    int32_t m_sleep_count = 0;
    float m_drift = 1.0f;
    float m_drift_target = 1.0f;
    float m_drift_gate = 0.0f;
    float m_drift_step = 0.0f;
    uint32_t m_drift_next = 0;         // sample clock of the next drift target
    int32_t m_drift_interval = 1;      // samples
    int32_t m_drift_blocks = 1;        // whole blocks per interval
    const float* const* m_link = nullptr;
    bool m_link_connected = false;
    Routine m_sub_process = nullptr;
    short m_active = 0;
    bool m_output_constant = false;  // Wave.Out last announced PS_ONE_SHOT
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace fm_oscillator
