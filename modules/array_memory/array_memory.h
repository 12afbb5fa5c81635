// Array memory: a block of slots reachable by index. Every sample selects a
// slot from "Index In" (0.1 per slot, rounded to the nearest slot), stores
// "Input" there when "Write" rises from exactly zero to a positive value, and
// outputs the slot's content and the selected index. With "Use File?" = Yes
// the slots are kept in a text file between runs: read at start, when the
// file name changes and when the array is resized; written on close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "KVModule_base.h"
#include "KVPin.h"

namespace array_memory {

constexpr int kDefaultLength = 100;  // slots before any "Array Size" arrives
// Largest slot count. "Array Size" is a float32, which names every whole
// number only up to 2^24, and an index of 0.1 per slot stops resolving single
// slots there too; larger sizes (and NaN, negative sizes) are refused.
constexpr int kMaxLength = 1 << 24;
constexpr int kFileNameSize = 300;  // bytes of the file name, terminator included
constexpr size_t kMaxTokenLength = 4096;  // longer numbers in a data file are cut here

// Supplies up to `size` bytes of a data file at `buffer`: the count read,
// 0 at the end, negative on a read error.
using ChunkReader = std::function<long(char* buffer, size_t size)>;

// Parses data-file text as it streams in: tokens split at any run of comma,
// LF, TAB, space and CR, each read as a double (0.0 when it is no number),
// times 0.1, stored as float32 into out[0], out[1], ... Stops after `count`
// values, at the end of the text or at a zero byte, so it holds no more than
// one chunk and one token however large the file. Returns the number of
// values stored, or -1 after a read error.
int ParseSlotText(const ChunkReader& read, float* out, int count);

// The data-file text of `length` slots: each slot times 10 with "%f", ten per
// line, CR LF line ends, no comma after the last value.
std::string FormatSlotText(const float* slots, int length);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}
    ~Module() override;

    void Open() override;
    void Close() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

    // Per sample: select, write on a rising "Write", output.
    void ProcessSlots(int bufferOffset, int sampleFrames);
    // ProcessSlots, then asks to sleep once a block has passed without change.
    void ProcessSlotsIdle(int bufferOffset, int sampleFrames);

private:
    bool Resize();
    void FetchFileName();
    void Load();
    void Save();

    float* m_input = nullptr;     // "Input" buffer
    float* m_index_in = nullptr;  // "Index In" buffer, 0.1 per slot
    float* m_write_in = nullptr;  // "Write" buffer
    float m_prev_write = 0.0f;    // "Write" at the previous sample
    float* m_output = nullptr;    // "Output" buffer
    float* m_index_out = nullptr; // "Index Out" buffer, 0.1 per slot
    float m_array_size = 100.0f;  // "Array Size", slots
    int16_t m_use_file = 1;       // "Use File?": 1 = Yes
    int32_t m_file_name_events = 0;
    int32_t m_array_size_events = 0;  // "Array Size" events while "Use File?" is not Yes
    int32_t m_length = kDefaultLength;
    int32_t m_kept_length = kDefaultLength;
    int32_t m_current_index = 0;
    int16_t m_clear = 0;          // "Clear": 1 = Yes
    int16_t m_clear_high = 0;     // rest of the zeroed word the host sees
    struct {
        void* host_word = nullptr;  // the host's part of the "File Name" variable
        char text[kFileNameSize] = {};
    } m_file_name_var;
    char* const m_file_name = m_file_name_var.text;
    float* m_slots = nullptr;     // m_length values, owned
    // The slots hold the user's data: set by the first resize or load.
    // Until then they are the default zeros and are not saved over a file
    // that was never read.
    bool m_slots_set = false;
    int32_t m_sleep_count = 0;
};

}  // namespace array_memory
