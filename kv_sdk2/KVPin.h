// KVPin: one DSP pin of a module, made by KVModule_base::Open from a
// description. It knows where the pin's value lives, keeps the input status,
// reads a stream input at the current sample and sends output statuses.
#pragma once

#include <cstdint>

#include "kv_sdk2.h"

class KVModule_base;

class KVPin {
public:
    KVPin() = default;
    virtual ~KVPin() = default;
    KVPin(const KVPin&) = delete;
    KVPin& operator=(const KVPin&) = delete;

    // Stores the values and sets the status to PS_STATIC. Without a variable
    // the pin uses its own storage: zeroed for value pins, the host's buffer
    // address for DT_FSAMPLE, nothing (null variable) for DT_STRING.
    void Init(void* variable, KVModule_base* module, int index, int datatype);

    // Stores the status and notifies the module; PS_ONE_SHOT reverts to
    // PS_STATIC once the notification returns.
    void SetStatus(int status);
    int Status() const { return m_status; }

    // Announces an output status to the host at `sampleClock`.
    void SendStatus(int sampleClock, int status);
    bool IsConnected();

    // A DT_FSAMPLE input's sample at the current clock.
    float Value();

    int Index() const { return m_index; }
    int Datatype() const { return m_datatype; }
    void* Variable() const { return m_variable; }

private:
    void* m_variable = nullptr;
    KVModule_base* m_module = nullptr;
    int32_t m_index = 0;
    int32_t m_status = PS_STATIC;
    int32_t m_datatype = 0;
    // Own storage: one word (a buffer address for DT_FSAMPLE).
    alignas(void*) unsigned char m_own[sizeof(void*)] = {};
};
