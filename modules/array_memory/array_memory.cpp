#include "array_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "KVPlatform.h"

namespace array_memory {

namespace {

bool IsDelimiter(char c) { return c == ',' || c == '\n' || c == '\t' || c == ' ' || c == '\r'; }

// One file value (slot × 10) back into slot units.
float FromFileValue(const char* token) {
    double v = std::strtod(token, nullptr);
    return static_cast<float>(v * static_cast<double>(0.1f));
}

}  // namespace

int ParseSlotText(const ChunkReader& read, float* out, int count) {
    if (count <= 0) return 0;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[65536]);
    if (!chunk) return -1;
    char token[kMaxTokenLength + 1];
    size_t token_len = 0;
    int stored = 0;
    auto finish_token = [&]() {
        if (token_len == 0) return;
        token[token_len] = '\0';
        out[stored++] = FromFileValue(token);
        token_len = 0;
    };
    for (;;) {
        long got = read(chunk.get(), 65536);
        if (got < 0) return -1;
        if (got == 0) break;
        for (long k = 0; k < got; ++k) {
            char c = chunk[k];
            if (c == '\0') {  // the text ends at a zero byte
                finish_token();
                return stored;
            }
            if (IsDelimiter(c)) {
                finish_token();
                if (stored == count) return stored;
            } else if (token_len < kMaxTokenLength) {
                token[token_len++] = c;
            }
        }
    }
    if (stored < count) finish_token();
    return stored;
}

std::string FormatSlotText(const float* slots, int length) {
    std::string text;
    text.reserve(static_cast<size_t>(length) * 12 + 2);
    char number[400];  // "%f" of any float × 10 fits
    for (int i = 0; i < length; ++i) {
        int n = std::snprintf(number, sizeof number, "%f", static_cast<double>(slots[i]) * 10.0);
        text.append(number, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof number) - 1)));
        // Ten values per line; the separator after the last one is replaced below.
        text.append((i % 10 == 9) ? "\r\n" : ", ");
    }
    // The last two characters become the line end: a remainder line loses its
    // trailing ", ", a text of whole lines stays as it is.
    if (text.size() >= 2) text.replace(text.size() - 2, 2, "\r\n");
    return text;
}

Module::~Module() { delete[] m_slots; }

bool Module::DescribePin(int index, KVPinProperties* out) {
    switch (index) {
        case 0:
            out->variable = &m_input;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Input";
            out->default_text = "0";
            out->flags = IO_HOST_0x200;
            return true;
        case 1:
            out->variable = &m_index_in;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Index In";
            out->default_text = "0";
            out->flags = IO_HOST_0x200;
            return true;
        case 2:
            out->variable = &m_write_in;
            out->direction = DR_IN;
            out->datatype = DT_FSAMPLE;
            out->name = "Write";
            out->default_text = "0";
            out->flags = IO_HOST_0x200;
            return true;
        case 3:
            out->variable = &m_file_name_var;
            out->direction = DR_IN;
            out->datatype = DT_STRING;
            out->name = "File Name";
            out->default_text = "ArrayData01.txt";
            out->list = "txt";
            out->flags = IO_FILE_PATH;
            return true;
        case 4:
            out->variable = &m_clear;
            out->direction = DR_IN;
            out->datatype = DT_CHOICE;
            out->name = "Clear";
            out->default_text = "0";
            out->list = "No,Yes";
            return true;
        case 5:
            out->variable = &m_output;
            out->direction = DR_OUT;
            out->datatype = DT_FSAMPLE;
            out->name = "Output";
            return true;
        case 6:
            out->variable = &m_index_out;
            out->direction = DR_OUT;
            out->datatype = DT_FSAMPLE;
            out->name = "Index Out";
            return true;
        case 7:
            out->variable = &m_array_size;
            out->direction = DR_PARAMETER;
            out->datatype = DT_FVALUE;
            out->name = "Array Size";
            out->default_text = "100";
            return true;
        case 8:
            out->variable = &m_use_file;
            out->direction = DR_PARAMETER;
            out->datatype = DT_CHOICE;
            out->name = "Use File?";
            out->default_text = "1";
            out->list = "No,Yes";
            return true;
        default:
            return false;
    }
}

void Module::Open() {
    KVModule_base::Open();
    SetProcessFunction<&Module::ProcessSlots>();
    // A block may come before the first "Array Size": it then works on the
    // default slots rather than on none.
    if (m_slots == nullptr) {
        m_slots = new (std::nothrow) float[kDefaultLength]();
        if (m_slots != nullptr) {
            m_length = kDefaultLength;
            m_kept_length = kDefaultLength;
        }
    }
}

void Module::Close() {
    if (m_slots != nullptr && m_slots_set && m_use_file == 1) Save();
}

bool Module::Resize() {
    float size = m_array_size;
    // NaN, negative and sizes beyond kMaxLength keep the slots as they are.
    if (!(size >= 0.0f) || size > static_cast<float>(kMaxLength)) return false;
    int32_t length = std::max(static_cast<int32_t>(size), int32_t{1});  // toward zero
    float* slots = new (std::nothrow) float[static_cast<size_t>(length)]();
    if (slots == nullptr) return false;  // no memory: keep the slots as they are
    m_kept_length = m_length;
    if (m_slots != nullptr) {
        m_kept_length = std::min(m_kept_length, length);
        std::copy(m_slots, m_slots + m_kept_length, slots);
        delete[] m_slots;
    }
    m_slots = slots;
    m_length = length;
    m_slots_set = true;
    if (m_current_index >= m_length) m_current_index = m_length - 1;
    return true;
}

void Module::FetchFileName() {
    CallHost(HOST_GET_PIN_TEXT, 3, kFileNameSize, m_file_name);
    m_file_name[kFileNameSize - 1] = '\0';
}

void Module::Load() {
    if (!m_slots_set) Resize();
    if (m_slots == nullptr || m_file_name[0] == '\0') return;
    std::FILE* f = std::fopen(m_file_name, "rb");
    if (f == nullptr) return;  // no file: the slots stay as they are
    m_slots_set = true;
    // Parse into a scratch copy, so a read that fails halfway changes nothing.
    std::vector<float> values;
    try {
        values.resize(static_cast<size_t>(m_length));
    } catch (const std::bad_alloc&) {
        std::fclose(f);
        return;
    }
    int got = ParseSlotText(
        [f](char* buffer, size_t size) -> long {
            size_t n = std::fread(buffer, 1, size, f);
            if (n == 0 && std::ferror(f)) return -1;
            return static_cast<long>(n);
        },
        values.data(), m_length);
    std::fclose(f);
    if (got > 0) std::copy(values.begin(), values.begin() + got, m_slots);
}

void Module::Save() {
    if (m_file_name[0] == '\0') return;
    std::string text;
    try {
        text = FormatSlotText(m_slots, m_length);
    } catch (const std::bad_alloc&) {
        return;  // no memory for the text: the old file stays
    }
    // A temporary file renamed over the old one: an interrupted or failed
    // save leaves the previous file intact.
    kv::platform::WriteFileAtomic(m_file_name, text);
}

void Module::PinStatusChanged(KVPin* pin) {
    switch (pin->Index()) {
        case 3:  // "File Name": the first event is the start-up one, loaded with "Array Size"
            if (++m_file_name_events > 1 && m_use_file == 1) {
                FetchFileName();
                Load();
            }
            break;
        case 4:  // "Clear"
            if (m_clear > 0) {
                if (m_file_name[0] != '\0') kv::platform::DeleteFile(m_file_name);
                if (m_slots != nullptr) std::fill(m_slots, m_slots + m_length, 0.0f);
            }
            break;
        case 7:  // "Array Size"
            if (m_use_file != 1) ++m_array_size_events;
            if (Resize() && m_use_file == 1) {
                FetchFileName();
                Load();
            }
            break;
        default:
            break;
    }

    // A host that reported fewer pins than described gets no access beyond them.
    const int pins = PinCount();
    bool streaming = false;
    for (int p = 0; p <= 4 && p < pins; ++p) streaming = streaming || GetPin(p)->Status() == PS_STREAMING;
    int status = streaming ? PS_STREAMING : PS_ONE_SHOT;
    int clock = SampleClock();
    if (pins > 5) GetPin(5)->SendStatus(clock, status);
    if (pins > 6) GetPin(6)->SendStatus(clock, status);
    if (status == PS_ONE_SHOT) {
        m_sleep_count = BlockSize();
        SetProcessFunction<&Module::ProcessSlotsIdle>();
    } else {
        SetProcessFunction<&Module::ProcessSlots>();
    }
}

void Module::ProcessSlots(int bufferOffset, int sampleFrames) {
    if (m_input == nullptr || m_index_in == nullptr || m_write_in == nullptr || m_output == nullptr ||
        m_index_out == nullptr) {
        return;  // buffers the host never handed over
    }
    const float* input = m_input + bufferOffset;
    const float* index_in = m_index_in + bufferOffset;
    const float* write = m_write_in + bufferOffset;
    float* output = m_output + bufferOffset;
    float* index_out = m_index_out + bufferOffset;
    if (m_slots == nullptr) {  // only when even the default slots could not be had
        for (int k = 0; k < sampleFrames; ++k) output[k] = index_out[k] = 0.0f;
        return;
    }
    // Locals, so the loop keeps them in registers rather than in the object.
    const double length = m_length;
    float* slots = m_slots;
    int32_t current = m_current_index;
    float prev_write = m_prev_write;
    for (int k = 0; k < sampleFrames; ++k) {
        // Nearest slot: float32(in × 10) + 0.5 truncated toward zero. Out of
        // range (NaN too) keeps the previous slot.
        double t = static_cast<double>(static_cast<float>(static_cast<double>(index_in[k]) * 10.0)) + 0.5;
        if (t > -1.0 && t < length) current = static_cast<int32_t>(t);
        float w = write[k];
        if (w > 0.0f && prev_write == 0.0f) slots[current] = input[k];
        output[k] = slots[current];
        index_out[k] = static_cast<float>(current * 0.1);
        prev_write = w;
    }
    m_current_index = current;
    m_prev_write = prev_write;
}

void Module::ProcessSlotsIdle(int bufferOffset, int sampleFrames) {
    ProcessSlots(bufferOffset, sampleFrames);
    m_sleep_count -= sampleFrames;
    if (m_sleep_count <= 0) CallHost(HOST_SLEEP);
}

}  // namespace array_memory
