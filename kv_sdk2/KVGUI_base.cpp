#include "KVGUI_base.h"

#include <cstring>

#include "KVContract.h"

namespace {
KVGuiPin g_gui_pin;  // the one handle GetGuiPin hands out
}

int KVGuiPin::IntValue() {
    int32_t result = 0;
    owner->CallHost(GUIHOST_GET_PIN_VALUE, index, 0, &result);
    return result;
}

float KVGuiPin::FloatValue() {
    float result = 0.0f;
    owner->CallHost(GUIHOST_GET_PIN_VALUE, index, 0, &result);
    return result;
}

void KVGuiPin::SetValue(float v) { owner->CallHost(GUIHOST_PUT_PIN_VALUE, index, 0, nullptr, v); }

KVGUI_base::KVGUI_base(HostCallback host, void* hostHandle) : kvaudioMaster(host) {
    std::memset(&m_record, 0, sizeof m_record);
    m_record.magic = KV_GUI_MAGIC;
    m_record.version = KV_RECORD_VERSION;
    m_record.dispatch = &DispatchEntry;
    m_record.hostHandle = hostHandle;
    m_record.instance = this;
}

KVGUI_base::~KVGUI_base() = default;

int KVGUI_base::Dispatch(int opcode, int index, int value, void* ptr, float opt) {
    KVIndexValue iv{index, value};
    switch (opcode) {
        case GUI_OPEN:
            GuiOpen(index == 1);
            return 0;
        case GUI_CLOSE:
            GuiClose();
            delete this;
            return 1;
        case 2:
            OnGuiOpcode2(index, ptr);
            return 0;
        case 3:
            OnGuiOpcode3(ptr, opt, iv);
            return 0;
        case 4:
            OnGuiOpcode4(ptr, opt, iv);
            return 0;
        case 5:
            OnGuiOpcode5(ptr, opt, iv);
            return 0;
        case GUI_DSP_MESSAGE:
            OnDspMessage(value, index, ptr);
            return 0;
        case GUI_PIN_CHANGED: {
            KVGuiPin handle{index, this};
            GuiPinChanged(&handle);
            return 0;
        }
        case 8:
            OnGuiOpcode8(ptr);
            return 0;
        case 9:
            OnGuiOpcode9(ptr);
            return 0;
        case 10:
            return OnGuiOpcode10() ? 1 : 0;
        case 11:
            OnGuiOpcode11(index);
            return 0;
        case 12:
            OnGuiOpcode12(index);
            return 0;
        default:
            return 0;
    }
}

void KVGUI_base::GuiOpen(bool) {}
void KVGUI_base::GuiClose() {}
void KVGUI_base::OnGuiOpcode2(int, void*) {}
void KVGUI_base::OnGuiOpcode3(void*, float, KVIndexValue) {}
void KVGUI_base::OnGuiOpcode4(void*, float, KVIndexValue) {}
void KVGUI_base::OnGuiOpcode5(void*, float, KVIndexValue) {}
void KVGUI_base::OnGuiOpcode8(void*) {}
void KVGUI_base::OnGuiOpcode9(void*) {}
bool KVGUI_base::OnGuiOpcode10() { return false; }
void KVGUI_base::OnGuiOpcode11(int) {}
void KVGUI_base::OnGuiOpcode12(int) {}
void KVGUI_base::OnDspMessage(int, int, void*) {}
void KVGUI_base::GuiPinChanged(KVGuiPin*) {}

KVGuiPin* KVGUI_base::GetGuiPin(int index) {
    g_gui_pin.index = index;
    g_gui_pin.owner = this;
    return &g_gui_pin;
}

int KVGUI_base::CallHost(int opcode, int index, int value, void* ptr, float opt) {
    KV_CHECK(kvaudioMaster, KV_SRC_GUI_BASE);
    if (!kvaudioMaster) return 0;
    return kvaudioMaster(&m_record, opcode, index, value, ptr, opt);
}

int KVGUI_base::DispatchEntry(KVGuiPlugStruct* rec, int opcode, int index, int value, void* ptr, float opt) {
    return static_cast<KVGUI_base*>(rec->instance)->Dispatch(opcode, index, value, ptr, opt);
}
