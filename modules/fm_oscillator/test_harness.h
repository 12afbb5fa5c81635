// White-box test harness for the oscillator: a minimal host that drives one
// Module object directly (pins, status events, processing calls at chosen
// offsets), and a table directory in the link format built by the test.
#pragma once

#include <cmath>
#include <numbers>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "algorithm_table.h"
#include "fm_oscillator.h"
#include "library.h"
#include "pitch.h"

namespace fm_oscillator {

// Reads the module's private state.
struct ModuleAccess {
    static double& Phase(Module& m, int k) { return m.m_phase[k]; }
    static const float* Table(Module& m, int k) { return m.m_table[k]; }
    static int32_t Harmonics(Module& m, int k) { return m.m_harmonics[k]; }
    static float LimitHz(Module& m) { return m.m_limit_hz; }
    static double Increment(Module& m) { return m.m_increment; }
    static float LinearFactor(Module& m) { return m.m_linear_factor; }
    static float Drift(Module& m) { return m.m_drift; }
    static float DriftTarget(Module& m) { return m.m_drift_target; }
    static int32_t DriftInterval(Module& m) { return m.m_drift_interval; }
    static int32_t DriftBlocks(Module& m) { return m.m_drift_blocks; }
    static float LastSync(Module& m) { return m.m_last_sync; }
    static Module::Routine SubProcess(Module& m) { return m.m_sub_process; }
    static void SetSubProcess(Module& m, Module::Routine r) { m.m_sub_process = r; }
    static void SetSleepCount(Module& m, int n) { m.m_sleep_count = n; }
    static float DriftStepSize(Module& m) { return m.m_drift_step; }
    static bool LinkConnected(Module& m) { return m.m_link_connected; }
    // Table per operator for a call starting at `offset`; null when removed.
    static void Tables(Module& m, int offset, const float* out[4]) {
        Module::CallTables t;
        m.ChooseTables(offset, t);
        for (int k = 0; k < 4; ++k) out[k] = t.removed[k] ? nullptr : t.table[k];
    }
};

// Tables in the link format: a 516-float sine table and ten sets of 256
// tables, table h of set w holding harmonics 1..h of amplitude 1/n (scaled
// so the full table peaks near 0.5), plus the 21-entry directory. Placed
// below 4 GiB so the address fits the 32-bit link value.
class TestDirectory {
public:
    TestDirectory() {
        m_bytes = (21 * sizeof(float*) + (516 + 10 * 256 * 516) * sizeof(float) + 4095) & ~size_t{4095};
        m_mem = kvhost::AllocateLow(m_bytes);
        auto** dir = static_cast<const float**>(m_mem);
        float* sine = reinterpret_cast<float*>(static_cast<char*>(m_mem) + 21 * sizeof(float*));
        for (int j = 0; j <= 512; ++j) sine[j] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * j / 512.0));
        dir[0] = sine;
        float* set = sine + 516;
        for (int w = 1; w <= 10; ++w, set += 256 * 516) {
            dir[w] = set;
            dir[w + 10] = set;
            for (int j = 0; j <= 512; ++j) {
                double c = 0.0;
                for (int n = 1; n <= 256; ++n) {
                    c += 0.3 / n * std::sin(2.0 * std::numbers::pi * n * (j % 512) / 512.0);
                    set[(n - 1) * 516 + j] = static_cast<float>(c);
                }
            }
        }
    }
    ~TestDirectory() { kvhost::FreeLow(m_mem, m_bytes); }
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;

    int32_t LinkValue() const { return static_cast<int32_t>(reinterpret_cast<uintptr_t>(m_mem)); }
    const float* Entry(int w) const { return static_cast<const float* const*>(m_mem)[w]; }
    // Table h (1..256) of set w, or the sine table for w = 0.
    const float* Table(int w, int h) const { return w == 0 ? Entry(0) : Entry(w) + (h - 1) * 516; }
    // Makes set w hold constant tables (every entry `value`), for tests that
    // need a constant operator.
    void MakeConstant(int w, float value) {
        float* set = const_cast<float*>(Entry(w));
        for (int i = 0; i < 256 * 516; ++i) set[i] = (i % 516) <= 512 ? value : 0.0f;
    }

    static const TestDirectory& Shared() {
        static TestDirectory d;
        return d;
    }

private:
    void* m_mem = nullptr;
    size_t m_bytes = 0;
};

// A host for one Module: stream pins get low-memory buffers, defaults come
// from the descriptions, and the test sets values, delivers statuses and calls
// the installed routine.
class Harness {
public:
    struct StatusOut {
        int64_t clock;
        int status;
    };

    Harness(float sampleRate = 48000.0f, int blockSize = 256, bool linkConnected = true)
        : m_block_size(blockSize), m_link_connected(linkConnected) {
        m_module = new Module(&Callback, this);
        m_rec = m_module->Record();
        m_rec->dispatch(m_rec, DSP_PUT_SAMPLE_RATE, 0, 0, nullptr, sampleRate);
        m_rec->dispatch(m_rec, DSP_PUT_BLOCK_SIZE, 0, blockSize, nullptr, 0.0f);
        m_buffer_bytes = (PIN_COUNT * blockSize * sizeof(float) + 4095) & ~size_t{4095};
        m_buffers = static_cast<float*>(kvhost::AllocateLow(m_buffer_bytes));
        for (int p = 0; p < PIN_COUNT; ++p) {
            KVPinProperties d;
            std::memset(&d, 0, sizeof d);
            m_module->DescribePin(p, &d);
            m_desc[p] = d;
            if (d.datatype == DT_FSAMPLE) {
                float* buf = Buffer(p);
                std::memcpy(d.variable, &buf, sizeof buf);
                double v = d.default_text && *d.default_text ? std::strtod(d.default_text, nullptr) / 10.0 : 0.0;
                for (int i = 0; i < blockSize; ++i) buf[i] = static_cast<float>(v);
            } else if (d.datatype == DT_CHOICE) {
                SetChoice(p, d.default_text ? std::atoi(d.default_text) : 0);
            }
        }
        m_rec->dispatch(m_rec, DSP_OPEN, 0, 0, nullptr, 0.0f);
    }
    ~Harness() {
        m_rec->dispatch(m_rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
        kvhost::FreeLow(m_buffers, m_buffer_bytes);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    Module& M() { return *m_module; }
    float* Buffer(int pin) { return m_buffers + static_cast<size_t>(pin) * m_block_size; }
    float* Out() { return Buffer(PIN_WAVE_OUT); }
    int BlockSize() const { return m_block_size; }

    void SetStream(int pin, float v) {
        for (int i = 0; i < m_block_size; ++i) Buffer(pin)[i] = v;
    }
    void SetChoice(int pin, int v) {
        short s = static_cast<short>(v);
        std::memcpy(m_desc[pin].variable, &s, sizeof s);
    }
    void SetLink(int32_t v) { std::memcpy(m_desc[PIN_LINK].variable, &v, sizeof v); }

    // A status event at sample `offset` of the current block.
    void Status(int pin, int status, int offset = 0) {
        m_clock = m_block_start + offset;
        KVEvent e;
        std::memset(&e, 0, sizeof e);
        e.time_stamp = static_cast<int32_t>(m_clock);
        e.type = EV_PIN_STATUS;
        e.value = status;
        e.target = pin;
        m_rec->event(m_rec->instance, &e);
    }
    // The start-up statuses: every input in pin order, streaming where listed.
    void Startup(const std::vector<int>& streaming = {}) {
        for (int p = 0; p < PIN_COUNT; ++p) {
            if (m_desc[p].direction == DR_OUT) continue;
            bool s = false;
            for (int q : streaming) s = s || q == p;
            Status(p, s ? PS_STREAMING : PS_STATIC);
        }
    }
    // Links the shared test directory and switches Active on.
    void StartWithTables(const std::vector<int>& streaming = {}, const TestDirectory& dir = TestDirectory::Shared()) {
        SetLink(dir.LinkValue());
        SetChoice(PIN_ACTIVE, 1);
        Startup(streaming);
    }
    // One call of the installed routine at `offset` of the current block.
    void Call(int offset, int count) {
        m_clock = m_block_start + offset;
        m_rec->process(m_rec->instance, offset, count);
    }
    // Starts the next block (the sample clock moves on by one block).
    void NextBlock() {
        m_block_start += m_block_size;
        m_clock = m_block_start;
    }
    // Whole blocks; returns all output samples.
    std::vector<float> Run(int blocks) {
        std::vector<float> out;
        for (int b = 0; b < blocks; ++b) {
            Call(0, m_block_size);
            out.insert(out.end(), Out(), Out() + m_block_size);
            NextBlock();
        }
        return out;
    }
    template <auto F>
    bool Installed() {
        return m_module->CurrentProcessFunction() == static_cast<KVModule_base::ProcessMember>(F);
    }
    bool InstalledRoutine(Module::Routine r) {
        return m_module->CurrentProcessFunction() == static_cast<KVModule_base::ProcessMember>(r);
    }

    int sleeps = 0;
    int process_changes = 0;
    std::vector<StatusOut> statuses;

private:
    static int Callback(void* rec, int opcode, int index, int value, void* ptr, float) {
        auto* h = static_cast<Harness*>(static_cast<KVPlugStruct*>(rec)->hostHandle);
        switch (opcode) {
            case HOST_PUT_PIN_STATUS:
                if (index == PIN_WAVE_OUT)
                    h->statuses.push_back({static_cast<int64_t>(reinterpret_cast<intptr_t>(ptr)), value});
                return 0;
            case HOST_IS_PIN_CONNECTED:
                return index == PIN_LINK ? (h->m_link_connected ? 1 : 0) : 1;
            case HOST_GET_SAMPLE_CLOCK:
                return static_cast<int>(h->m_clock);
            case HOST_GET_PIN_BUFFER:
                return static_cast<int>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h->Buffer(index))));
            case HOST_GET_BLOCK_START_CLOCK:
                return static_cast<int>(h->m_block_start);
            case HOST_SLEEP:
                ++h->sleeps;
                return 0;
            case HOST_GET_PIN_COUNT:
                return PIN_COUNT;
            case HOST_PROCESS_CHANGED:
                ++h->process_changes;
                return 0;
            default:
                return 0;
        }
    }

    Module* m_module = nullptr;
    KVPlugStruct* m_rec = nullptr;
    KVPinProperties m_desc[PIN_COUNT];
    float* m_buffers = nullptr;
    size_t m_buffer_bytes = 0;
    int m_block_size;
    bool m_link_connected;
    int64_t m_clock = 0;
    int64_t m_block_start = 0;
};

}  // namespace fm_oscillator
