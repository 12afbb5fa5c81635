#include "filename_table.h"

#include <cstdio>

namespace filename_table {

namespace {

constexpr int kLabelSize = 24;

struct NameTable {
    char names[kNameCount][kLabelSize];
    NameTable() {
        for (int i = 0; i < kNameCount; ++i) {
            // "Filename", a space and the number right-aligned in three places.
            std::snprintf(names[i], kLabelSize, "Filename %3.0f", static_cast<double>(i + 1));
        }
    }
};

const NameTable& Names() {
    static const NameTable table;  // built once, kept for the life of the library
    return table;
}

}  // namespace

const char* FilenamePinName(int number) {
    if (number < 1 || number > kNameCount) return nullptr;
    return Names().names[number - 1];
}

void TrimFilename(char* text, int size) {
    if (size <= 0) return;
    text[size - 1] = '\0';
    for (int i = 0; i < size; ++i) {
        char c = text[i];
        if (c == '\0') return;
        if (c == ';') {  // everything from the first semicolon on is a comment
            text[i] = '\0';
            return;
        }
        if (c == '.' && i >= 1 && text[i - 1] == '\\') {  // "\." names nothing usable
            text[0] = '\0';
            return;
        }
    }
}

bool Module::DescribePin(int index, KVPinProperties* out) {
    if (index == 0) {
        out->variable = &m_choice;
        out->direction = DR_IN;
        out->datatype = DT_CHOICE;
        out->name = "Choice, Index, Sample#";
        out->list = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32";
        out->flags = IO_HOST_0x4000;
        return true;
    }
    if (index == 1) {
        out->variable = m_output_text;
        out->direction = DR_OUT;
        out->datatype = DT_STRING;
        out->name = "Filename Out";
        return true;
    }
    if (index >= kFirstNamePin && index < kFirstNamePin + kNameCount) {
        out->variable = &m_filename[index - kFirstNamePin];
        out->direction = DR_IN;
        out->datatype = DT_STRING;
        out->name = FilenamePinName(index - 1);
        out->list = "mid";
        out->flags = IO_FILE_PATH;
        return true;
    }
    return false;
}

void Module::Open() {
    KVModule_base::Open();
    SetProcessFunction<&Module::ProcessSleep>();
    m_out_pin_index = 1;
    m_choice = -1;
    m_output_text[0] = '\0';
}

void Module::Publish() { CallHost(HOST_PUT_PIN_TEXT, m_out_pin_index, 0, m_output_text); }

void Module::PinStatusChanged(KVPin* pin) {
    int index = pin->Index();
    if (index == 0) {
        if (m_choice < 0 || m_choice >= kNameCount) {
            // Outside the list: publish nothing, and let a later change of
            // "Filename   1" through.
            m_choice = 0;
            m_output_text[0] = '\0';
            Publish();
            return;
        }
    } else if (index < kFirstNamePin || index - kFirstNamePin != m_choice) {
        return;  // the output, or a name that is not selected
    }
    CallHost(HOST_GET_PIN_TEXT, m_choice + kFirstNamePin, kTextSize, m_output_text);
    TrimFilename(m_output_text, kTextSize);
    Publish();
}

void Module::ProcessSleep(int, int) { CallHost(HOST_SLEEP); }

}  // namespace filename_table
