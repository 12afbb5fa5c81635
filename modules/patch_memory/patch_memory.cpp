#include "patch_memory.h"

#include <cmath>
#include <cstring>

#include "KVPlatform.h"

namespace patch_memory {

uint32_t g_random_a = kInitialWordA;
uint32_t g_random_b = kInitialWordB;
int g_generator_seeded = 0;

// ---- Random generator --------------------------------------------------------

void SeedGenerator(uint32_t t) {
    uint32_t m = t ^ (((t & 0xFFu) << 24) | (((t >> 8) & 0xFFu) << 16));
    g_random_a += m;  // modulo 2^32
    g_random_b += m;
    if (g_random_a == 0) g_random_a = kInitialWordA;
}

void SeedGeneratorOnce() {
    if (g_generator_seeded != 0) return;
    g_generator_seeded = -1;
    SeedGenerator(kv::platform::TickCount());
}

float StepGenerator() {
    g_random_b ^= g_random_a;
    g_random_a += g_random_b;
    int32_t signed_a = static_cast<int32_t>(g_random_a);
    // -2^31 .. 2^31-1 scaled to -0.5 .. 0.5, then shifted to 0 .. 1. The
    // rounding to float gives exactly 1.0 for the largest words.
    return static_cast<float>(static_cast<double>(signed_a) * 0x1p-32 + 0.5);
}

// ---- Contour curves ----------------------------------------------------------

float ContourForward(int contour, float p) {
    double x = p;
    switch (contour) {
        case CONTOUR_LINEAR:
            return p;
        case CONTOUR_EXP:
            return static_cast<float>(x * x);
        case CONTOUR_EXP2: {
            double x2 = x * x;
            return static_cast<float>(x2 * x2);
        }
        case CONTOUR_EXP3: {
            double x2 = x * x;
            double x4 = static_cast<float>(x2 * x2);  // p^4 rounded to float first
            return static_cast<float>(x4 * x4);
        }
        default:
            return p;
    }
}

float ContourInverse(int contour, float u) {
    double x = u;
    switch (contour) {
        case CONTOUR_LINEAR:
            return u;
        case CONTOUR_EXP:
            return static_cast<float>(std::sqrt(x));
        case CONTOUR_EXP2:
            return static_cast<float>(std::sqrt(std::sqrt(x)));
        case CONTOUR_EXP3:
            return static_cast<float>(std::sqrt(std::sqrt(std::sqrt(x))));
        default:
            return u;
    }
}

// ---- DSP instance ------------------------------------------------------------

bool Module::DescribePin(int index, KVPinProperties* out) {
    // Pins served by the GUI side; UI+DSP pins also exist on the DSP side.
    constexpr int kUi = IO_UI_COMMUNICATION;
    constexpr int kUiDsp = IO_UI_COMMUNICATION | IO_UI_AND_DSP;
    if (index == PIN_RANDOM_TRIGGER) {
        out->variable = &m_random_trigger;
        out->direction = DR_IN;
        out->datatype = DT_FSAMPLE;
        out->name = "Random Trigger (button)";
        out->default_text = "0";
        return true;
    }
    if (index == PIN_DSP_VALUE) {
        out->variable = &m_dsp_value;
        out->direction = DR_OUT;
        out->datatype = DT_FVALUE;
        out->name = "DSP Value";
        return true;
    }
    if (kPlus && index == PIN_RESET_TRIGGER) {
        out->variable = &m_reset_trigger;
        out->direction = DR_IN;
        out->datatype = DT_FSAMPLE;
        out->name = "Reset Trigger (button)";
        out->default_text = "0";
        return true;
    }
    if (index == PIN_VALUE_IN) {
        out->variable = &m_value_in;
        out->direction = DR_IN;
        out->datatype = DT_FVALUE;
        out->name = "Value In";
        out->flags = kUiDsp;
        return true;
    }
    if (index == PIN_POSITION_IN) {
        out->variable = &m_position_in;
        out->direction = DR_IN;
        out->datatype = DT_FVALUE;
        out->name = "Animation Position In";
        out->flags = kUiDsp;
        return true;
    }
    if (index == PIN_CONTOUR) {
        out->direction = DR_IN;
        out->datatype = DT_CHOICE;
        out->name = "Contour? (animation)";
        out->list = "Linear,Exp,Exp2,Exp3";
        out->flags = kUi;
        return true;
    }
    if (index == PIN_NAME_IN) {
        out->direction = DR_IN;
        out->datatype = DT_STRING;
        out->name = "Name In";
        out->flags = kUi;
        return true;
    }
    if (index == PIN_MIN || index == PIN_MAX) {
        out->direction = DR_IN;
        out->datatype = DT_FVALUE;
        out->name = index == PIN_MIN ? "Min Value In" : "Max Value In";
        out->flags = kUi;
        return true;
    }
    if (index == PIN_VALUE_OUT) {
        out->direction = DR_OUT;
        out->datatype = DT_FVALUE;
        out->name = "Value Out";
        out->flags = kUi;
        return true;
    }
    if (kPlus && index == PIN_RESET_VALUE) {
        out->direction = DR_IN;
        out->datatype = DT_FVALUE;
        out->name = "Reset Value";
        out->flags = kUi | IO_PATCH_STORE;
        return true;
    }
    return false;
}

void Module::Open() {
    KVModule_base::Open();
    m_out_pin = GetPin(PIN_DSP_VALUE);
    m_out_connected = (m_out_pin != nullptr && m_out_pin->IsConnected()) ? 1 : 0;
    SetProcessFunction<&Module::ProcessSleep>();
    m_last_random_trigger = 0.0f;
    m_last_reset_trigger = 0.0f;
}

void Module::ProcessSleep(int, int) { CallHost(HOST_SLEEP); }

void Module::CheckTrigger(KVPin* pin, float& last, int notice) {
    float x = pin->Value();
    int32_t last_bits, x_bits;
    std::memcpy(&last_bits, &last, sizeof last_bits);
    std::memcpy(&x_bits, &x, sizeof x_bits);
    // +0.0 and every negative value (-0.0 included) count as low; any
    // positive non-zero pattern as high.
    if (last_bits <= 0 && x_bits > 0) CallHost(HOST_NOTIFY_GUI, 0, notice, nullptr);
    last = x;
}

void Module::PinStatusChanged(KVPin* pin) {
    int index = pin->Index();
    if (index == PIN_RANDOM_TRIGGER) {
        CheckTrigger(pin, m_last_random_trigger, NOTICE_RANDOM);
    } else if (kPlus && index == PIN_RESET_TRIGGER) {
        CheckTrigger(pin, m_last_reset_trigger, NOTICE_RESET);
    } else if (index == PIN_VALUE_IN) {
        if (m_out_connected == 1) {
            m_dsp_value = m_value_in;
            m_out_pin->SendStatus(SampleClock(), PS_ONE_SHOT);
        }
    }
}

void Module::OnGuiMessage(int, int, void*) {}

// ---- GUI instance ------------------------------------------------------------

void GuiModule::GuiOpen(bool flag) {
    KVGUI_base::GuiOpen(flag);
    SeedGeneratorOnce();
    m_busy = 1;
    if (kPlus) m_reset_value = ReadFloat(PIN_RESET_VALUE);
    m_contour = ReadInt(PIN_CONTOUR);
    m_min = ReadFloat(PIN_MIN);
    m_max = ReadFloat(PIN_MAX);
    if (m_min == m_max && m_max == 0.0f) {
        m_max = 10.0f;  // a fresh module gets the range 0 .. 10
        Write(PIN_MAX, 10.0f);
    }
    m_value = ReadFloat(PIN_VALUE_IN);
    m_position = ReadFloat(PIN_POSITION_IN);
    m_busy = 0;
}

void GuiModule::OnDspMessage(int value, int, void*) {
    if (value == NOTICE_RANDOM) {
        // The host reports this write; its notice maps r to a value.
        Write(PIN_POSITION_IN, StepGenerator());
    } else if (kPlus && value == NOTICE_RESET) {
        Write(PIN_VALUE_IN, m_reset_value);
    }
}

void GuiModule::PositionFromValue() {
    float range = static_cast<float>(static_cast<double>(m_max) - static_cast<double>(m_min));
    if (range > 0.0f) {
        m_position = static_cast<float>((static_cast<double>(m_value) - m_min) / range);
    } else {
        m_position = 0.0f;  // an empty range maps every value to position 0
    }
    m_position = ContourInverse(m_contour, m_position);
    Write(PIN_POSITION_IN, m_position);
}

void GuiModule::Recompute() {
    m_busy = 1;
    PositionFromValue();
    m_busy = 0;
    Write(PIN_VALUE_OUT, m_value);
}

void GuiModule::GuiPinChanged(KVGuiPin* pin) {
    if (m_busy == 1) return;  // our own writes while busy
    const int index = pin->index;
    if (index == PIN_VALUE_IN) {
        m_value = ReadFloat(PIN_VALUE_IN);
        // A clamped write comes back as a new change and recomputes then.
        if (m_value < m_min) {
            Write(PIN_VALUE_IN, m_min);
        } else if (m_value > m_max) {
            Write(PIN_VALUE_IN, m_max);
        } else {
            Recompute();
        }
    } else if (index == PIN_POSITION_IN) {
        float p = ReadFloat(PIN_POSITION_IN);
        if (p < 0.0f) p = 0.0f;
        if (p > 1.0f) p = 1.0f;
        m_position = ContourForward(m_contour, p);
        float range = static_cast<float>(static_cast<double>(m_max) - static_cast<double>(m_min));
        m_value = static_cast<float>(static_cast<double>(m_position) * range + m_min);
        // m_busy stays 0: the notice of this write recomputes the position
        // and sets "Value Out".
        Write(PIN_VALUE_IN, m_value);
    } else if (index == PIN_CONTOUR) {
        m_contour = ReadInt(PIN_CONTOUR);
        Recompute();
    } else if (index == PIN_MIN) {
        m_min = ReadFloat(PIN_MIN);
        if (m_min > m_max) {
            m_min = m_max;  // bounds never cross
            Write(PIN_MIN, m_max);
        } else if (m_value < m_min) {
            Write(PIN_VALUE_IN, m_min);
        }
    } else if (index == PIN_MAX) {
        m_max = ReadFloat(PIN_MAX);
        if (m_max < m_min) {
            m_max = m_min;
            Write(PIN_MAX, m_min);
        } else if (m_value > m_max) {
            Write(PIN_VALUE_IN, m_max);
        }
    } else if (index == PIN_VALUE_OUT) {
        m_value_out = ReadFloat(PIN_VALUE_OUT);
        m_busy = 1;
        if (m_value_out < m_min) {
            m_value_out = m_min;
            Write(PIN_VALUE_OUT, m_min);
        }
        if (m_value_out > m_max) {
            m_value_out = m_max;
            Write(PIN_VALUE_OUT, m_max);
        }
        m_value = m_value_out;
        Write(PIN_VALUE_IN, m_value);
        PositionFromValue();
        m_busy = 0;
        m_value = ReadFloat(PIN_VALUE_IN);
        // Two NaNs count as equal here: rewriting NaN would notify "Value
        // Out" again and again without end.
        bool same = m_value == m_value_out || (std::isnan(m_value) && std::isnan(m_value_out));
        if (!same) {
            Write(PIN_VALUE_OUT, m_value);
            Write(PIN_VALUE_IN, m_value);
        }
    } else if (kPlus && index == PIN_RESET_VALUE) {
        m_reset_value = ReadFloat(PIN_RESET_VALUE);
    }
    // "Name In", the trigger pins and "DSP Value": nothing to do.
}

}  // namespace patch_memory
