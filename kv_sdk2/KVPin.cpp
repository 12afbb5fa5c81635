#include "KVPin.h"

#include <cstdint>
#include <cstring>

#include "KVContract.h"
#include "KVModule_base.h"

void KVPin::Init(void* variable, KVModule_base* module, int index, int datatype) {
    m_variable = variable;
    m_module = module;
    m_index = index;
    m_datatype = datatype;
    m_status = PS_STATIC;
    std::memset(m_own, 0, sizeof m_own);
    if (variable != nullptr) return;
    switch (datatype) {
        case DT_STRING:
            break;  // texts live in the host
        case DT_FSAMPLE: {
            // The host answers with a 32-bit word: buffers live below 4 GiB.
            auto address = static_cast<uint32_t>(module->CallHost(HOST_GET_PIN_BUFFER, index));
            float* buffer = reinterpret_cast<float*>(static_cast<uintptr_t>(address));
            std::memcpy(m_own, &buffer, sizeof buffer);
            m_variable = m_own;
            break;
        }
        default:
            m_variable = m_own;
            break;
    }
}

void KVPin::SetStatus(int status) {
    m_status = status;
    m_module->PinStatusChanged(this);
    if (status == PS_ONE_SHOT) m_status = PS_STATIC;
}

void KVPin::SendStatus(int sampleClock, int status) {
    m_module->CallHost(HOST_PUT_PIN_STATUS, m_index, status,
                       reinterpret_cast<void*>(static_cast<intptr_t>(sampleClock)));
}

bool KVPin::IsConnected() { return m_module->CallHost(HOST_IS_PIN_CONNECTED, m_index) != 0; }

float KVPin::Value() {
    KV_CHECK(m_datatype == DT_FSAMPLE, KV_SRC_PIN);
    if (m_datatype != DT_FSAMPLE || m_variable == nullptr) return 0.0f;
    float* buffer = *static_cast<float**>(m_variable);
    if (buffer == nullptr) return 0.0f;
    int offset = m_module->SampleClock() - m_module->CallHost(HOST_GET_BLOCK_START_CLOCK, m_index);
    return buffer[offset];
}
