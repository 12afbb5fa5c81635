// KVGUI_base: the base of every GUI-side object (class GuiModule).
//
// The host drives it through the GUI dispatch entry of its embedded record;
// the object answers through the host callback kept as kvaudioMaster. GUI pins
// are the descriptions marked IO_UI_COMMUNICATION, addressed by description
// index.
#pragma once

#include <cstdint>

#include "kv_sdk2.h"

class KVGUI_base;

// {index, value} passed as one 8-byte argument to opcodes 3, 4 and 5.
struct KVIndexValue {
    int32_t index;
    int32_t value;
};

// Handle on one GUI pin. GetGuiPin hands out one library-wide handle, valid
// until the next GetGuiPin call: use it at once.
struct KVGuiPin {
    int32_t index;
    KVGUI_base* owner;

    int IntValue();           // GUIHOST_GET_PIN_VALUE, result as int32
    float FloatValue();       // GUIHOST_GET_PIN_VALUE, result as float32
    void SetValue(float v);   // GUIHOST_PUT_PIN_VALUE with opt = v
};

class KVGUI_base {
public:
    KVGUI_base(HostCallback host, void* hostHandle);
    virtual ~KVGUI_base();

    virtual int Dispatch(int opcode, int index, int value, void* ptr, float opt);
    virtual void GuiOpen(bool flag);
    virtual void GuiClose();
    virtual void OnGuiOpcode2(int index, void* ptr);
    virtual void OnGuiOpcode3(void* ptr, float opt, KVIndexValue iv);
    virtual void OnGuiOpcode4(void* ptr, float opt, KVIndexValue iv);
    virtual void OnGuiOpcode5(void* ptr, float opt, KVIndexValue iv);
    virtual void OnGuiOpcode8(void* ptr);
    virtual void OnGuiOpcode9(void* ptr);
    virtual bool OnGuiOpcode10();
    virtual void OnGuiOpcode11(int index);
    virtual void OnGuiOpcode12(int index);
    virtual void OnDspMessage(int value, int index, void* ptr);
    virtual void GuiPinChanged(KVGuiPin* pin);

    KVGuiPin* GetGuiPin(int index);
    int CallHost(int opcode, int index = 0, int value = 0, void* ptr = nullptr, float opt = 0.0f);

    KVGuiPlugStruct* Record() { return &m_record; }

protected:
    HostCallback kvaudioMaster;
    KVGuiPlugStruct m_record;

private:
    static int DispatchEntry(KVGuiPlugStruct* rec, int opcode, int index, int value, void* ptr, float opt);
};
