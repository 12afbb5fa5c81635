// Filename table: 32 file-name text inputs and a selector. Whenever the
// selector or the selected name changes, the selected name, trimmed, is sent
// to the text output "Filename Out". No samples are processed.
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

namespace filename_table {

constexpr int kNameCount = 32;    // file-name inputs "Filename   1" .. "Filename  32"
constexpr int kFirstNamePin = 2;  // pin index of "Filename   1"
constexpr int kTextSize = 512;    // bytes of the output text, terminator included

// Label of file-name input `number` (1 .. 32), e.g. "Filename   7". The labels
// live in a library-wide table built on first use, so every pointer handed to
// the host stays valid for the life of the library. Null outside 1 .. 32.
const char* FilenamePinName(int number);

// Cuts `text` (at most `size` bytes) at the first ';' and empties it when a
// '\' is directly followed by a '.'. The last byte is always made a
// terminator, so the result is a proper text whatever was in the buffer.
void TrimFilename(char* text, int size);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;

    // The only routine: nothing to write, ask the host to stop calling.
    void ProcessSleep(int bufferOffset, int sampleFrames);

private:
    void Publish();

    int16_t m_choice = -1;             // list index 0 .. 31; -1 until the first choice
    void* m_filename[kNameCount] = {}; // variables of the file-name pins (the host's)
    char m_output_text[kTextSize] = {};
    int m_out_pin_index = 1;           // "Filename Out"
};

// The GUI side exists but has no behaviour of its own.
class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;
};

}  // namespace filename_table
