// Replacement wavetable generator: builds the four-operator oscillator's
// band-limited waveform tables once per process and publishes the address of
// their directory on the output "QM_Osc_Link".
//
// The link format, read by the oscillator:
//   - the link value (a 32-bit DT_IVALUE) is the address of a TableDirectory,
//     zero-extended to a pointer (the directory lives below 4 GiB); 0 when the
//     tables could not be placed there, and then the oscillator stays silent;
//   - directory entry 0 is the sine table, entries 1 to 10 the table sets in
//     the order of the oscillator's Waveform list (Saw, Ramp, Soft Ramp, Peak
//     Ramp, Square, Triangle, Peak, Octava, Cluster1, Cluster2), entries 11 to
//     20 repeat entries 1 to 10;
//   - a table is 516 floats: entry j (0 .. 511) is the phase j/512 of one cycle,
//     entry 512 closes the cycle, entries 513 .. 515 are 0;
//   - a table set is 256 tables back to back: table h (1 .. 256, harmonics 1 to
//     h) starts at float (h - 1) * 516.
// The tables never change and are never freed once built.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace wavetable_generator {

constexpr int kTableLength = 516;     // floats per table
constexpr int kCyclePoints = 512;     // entries 0 .. 511 cover one cycle
constexpr int kHarmonics = 256;       // tables per set, harmonics 1 .. 256
constexpr int kSetCount = 10;         // table sets (Saw .. Cluster2)
constexpr int kDirectoryEntries = 21; // sine, ten sets, the ten sets again
constexpr int kTaperStart = 225;      // first harmonic of the linear taper
constexpr int kSetLength = kHarmonics * kTableLength;

// The table directory: the data the link value points at.
struct TableDirectory {
    const float* entry[kDirectoryEntries];
};

// Everything the link reaches, in one block of low memory.
struct TableStorage {
    TableDirectory directory;
    float sine[kTableLength];            // 0.5 * sin(2 pi i / 512), i = 0 .. 512
    float sets[kSetCount][kSetLength];   // set s + 1, table h at (h - 1) * 516
};

// Module-wide: the storage (null until the first open places it) and the
// built flag (0 until the tables are built, then -1).
extern TableStorage* g_storage;
extern int32_t g_tables_built;

// The storage, placed below 4 GiB on first use by g_allocate_low (the low
// memory allocator; replaceable so that its failure can be shown); null when
// that cannot be had.
TableStorage* Storage();
extern void* (*g_allocate_low)(size_t bytes);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}
    ~Module() override;

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

private:
    // Fills m_amplitudes with waveform `set` (1 .. 10), before taper.
    void FillAmplitudes(int set);
    // Tapers and normalises m_amplitudes, then writes the 256 running partial
    // sums of its harmonics into `tables`.
    void BuildTableSet(float* tables, const float* sine);
    void BuildTables(TableStorage& storage);

    float m_amplitudes[kHarmonics] = {};  // harmonics 1 .. 256 in positions 0 .. 255
    int32_t m_link = 0;                   // the link value: the directory's address
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace wavetable_generator
