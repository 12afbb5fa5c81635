#include "KVModule_base.h"

#include <cstring>
#include <new>

#include "KVPin.h"

namespace {

// The opcode-13 answer: one record per library, overwritten by every call.
KVProcessPointerRecord g_process_pointer_record;

#ifdef KV_SDK_ARRAY
constexpr int32_t kMemberPointerSize = 16;
#else
constexpr int32_t kMemberPointerSize = 12;
#endif

bool IsPureUiPin(const KVPinProperties& d) {
    return (d.flags & IO_UI_COMMUNICATION) != 0 && (d.flags & IO_UI_AND_DSP) == 0;
}

}  // namespace

KVModule_base::KVModule_base(HostCallback host, void* hostHandle) : m_host(host) {
    std::memset(&m_record, 0, sizeof m_record);
    m_record.magic = KV_PLUG_MAGIC;
    m_record.version = KV_RECORD_VERSION;
    m_record.hostHandle = hostHandle;
    m_record.instance = this;
    m_record.dispatch = &DispatchEntry;
    m_record.event = &EventEntry;
    m_process = &KVModule_base::ProcessIdle;
    m_record.process = &ProcessTrampoline<KVModule_base, &KVModule_base::ProcessIdle>;
}

KVModule_base::~KVModule_base() { delete[] m_pins; }

void KVModule_base::PinStatusChanged(KVPin*) {}

void KVModule_base::DeliverEvent(KVEvent* e) {
    KV_CHECK(e->time_stamp == SampleClock(), KV_SRC_MODULE_BASE);
    switch (e->type) {
        case EV_PIN_STATUS:
            // A target outside the pin array is a host fault; ignore it rather than
            // write through a wild pointer.
            if (m_pins != nullptr && e->target >= 0 && e->target < m_pin_count) {
                GetPin(e->target)->SetStatus(e->value);
            }
            break;
        case EV_DATA:
            OnDataEvent(e->time_stamp, e->value, e->extra);
            break;
        case EV_CALL:
            if (e->call_target) e->call_target(this);
            break;
        default:
            break;
    }
}

int KVModule_base::Dispatch(int opcode, int index, int value, void* ptr, float opt) {
    switch (opcode) {
        case DSP_OPEN:
            Open();
            return 0;
        case DSP_CLOSE:
            Close();
            delete this;
            return 1;
        case DSP_PUT_SAMPLE_RATE:
            SetSampleRate(opt);
            return 0;
        case DSP_PUT_BLOCK_SIZE:
            SetBlockSize(value);
            return 0;
        case DSP_GET_PIN_PROPERTIES: {
            bool described = DescribePin(index, static_cast<KVPinProperties*>(ptr));
            KV_CHECK_AS((((KVPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 ||
                            (((KVPinProperties*)ptr)->flags & IO_PRIVATE) != 0 ||
                            ((KVPinProperties*)ptr)->direction == DR_OUT ||
                            (((KVPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0,
                        "(((KVPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
                        "(((KVPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || "
                        "((KVPinProperties*)ptr)->direction == DR_OUT || "
                        "( ( (KVPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0",
                        KV_SRC_MODULE_BASE);
            return described ? 1 : 0;
        }
        case DSP_RESERVED_7:
        case DSP_RESERVED_10:
            KV_CHECK_AS(false, "false", KV_SRC_MODULE_BASE);
            return 0;
        case DSP_RESET:
            Reset();
            if (index > 0) ResetIndexed(index);
            return 0;
        case DSP_GUI_MESSAGE:
            OnGuiMessage(value, index, ptr);
            return 0;
        case DSP_GET_PROCESS_POINTER:
            g_process_pointer_record.one = 1;
            g_process_pointer_record.member_size = kMemberPointerSize;
            g_process_pointer_record.process_member = &m_process;
            g_process_pointer_record.zero = 0;
            return static_cast<int>(reinterpret_cast<intptr_t>(&g_process_pointer_record));
        default:
            return 0;
    }
}

void KVModule_base::InitPin(int pinIndex, const KVPinProperties& desc, bool withVariable) {
    m_pins[pinIndex].Init(withVariable ? desc.variable : nullptr, this, pinIndex, desc.datatype);
}

void KVModule_base::Open() {
    delete[] m_pins;  // a second open starts from fresh pins
    m_pins = nullptr;
    int count = CallHost(HOST_GET_PIN_COUNT);
    if (count > 0) {
        m_pins = new (std::nothrow) KVPin[count];
        if (m_pins == nullptr) count = 0;
    }
    m_pin_count = count > 0 ? count : 0;

    KVPinProperties desc;
    int d = 0;
    int p = 0;
    for (;; ++d) {
        std::memset(&desc, 0, sizeof desc);
        if (!DescribePin(d, &desc) || p >= m_pin_count) break;
        if (!IsPureUiPin(desc)) InitPin(p++, desc, true);
    }

    // Repeat the last description for the pins the host reported beyond it.
    std::memset(&desc, 0, sizeof desc);
    DescribePin(d - 1, &desc);
    if (!IsPureUiPin(desc) && (desc.flags & IO_REPEAT_LAST) != 0) {
        for (; p < m_pin_count; ++p) InitPin(p, desc, false);
    }
}

void KVModule_base::Close() {}
void KVModule_base::SetSampleRate(float rate) { m_sample_rate = rate; }
void KVModule_base::SetBlockSize(int size) { m_block_size = size; }
float KVModule_base::SampleRate() { return m_sample_rate; }
int KVModule_base::BlockSize() { return m_block_size; }
bool KVModule_base::DescribePin(int, KVPinProperties*) { return false; }
void KVModule_base::Reset() {}
void KVModule_base::ResetIndexed(int) {}
void KVModule_base::OnDataEvent(int, int, short) {}
void KVModule_base::OnGuiMessage(int, int, void*) {}

int KVModule_base::SampleClock() { return CallHost(HOST_GET_SAMPLE_CLOCK); }

int KVModule_base::CallHost(int opcode, int index, int value, void* ptr, float opt) {
    if (m_host == nullptr) return 0;
    return m_host(&m_record, opcode, index, value, ptr, opt);
}

KVPin* KVModule_base::GetPin(int index) {
    KV_CHECK(m_pins != 0, KV_SRC_MODULE_BASE);
    return m_pins != nullptr ? &m_pins[index] : nullptr;
}

void KVModule_base::SetProcessFunction(ProcessMember member, KVProcessFn code) {
    if (member == m_process) return;
    m_process = member;
    m_record.process = code;
    CallHost(HOST_PROCESS_CHANGED);
}

void KVModule_base::ProcessIdle(int, int) {}

const KVProcessPointerRecord* KVModule_base::ProcessPointerRecord() { return &g_process_pointer_record; }

int KVModule_base::DispatchEntry(KVPlugStruct* rec, int opcode, int index, int value, void* ptr, float opt) {
    return static_cast<KVModule_base*>(rec->instance)->Dispatch(opcode, index, value, ptr, opt);
}

void KVModule_base::EventEntry(void* instance, KVEvent* e) {
    static_cast<KVModule_base*>(instance)->DeliverEvent(e);
}
