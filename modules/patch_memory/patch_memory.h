// Patch memory with randomise: one value held between a minimum and a maximum,
// kept in step with an animation position (0 to 1) through a contour curve,
// and sent to a random position when a trigger rises.
//
// The GUI-side instance does the work: it keeps value, position and bounds in
// agreement whenever one of its pins changes, and runs the random generator.
// The DSP instance copies the value to "DSP Value" and turns rising trigger
// edges into notices for the GUI side. The plus build (KV_PATCHMEM_PLUS=1)
// adds a reset trigger and a reset value the host stores with the patch.
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPin.h"

#ifndef KV_PATCHMEM_PLUS
#define KV_PATCHMEM_PLUS 0
#endif

namespace patch_memory {

constexpr bool kPlus = KV_PATCHMEM_PLUS != 0;
constexpr int kShift = kPlus ? 1 : 0;  // the plus build inserts the reset trigger at 2

// Description indices. DSP pins keep the same indices: the pure UI pins all
// come after them.
constexpr int PIN_RANDOM_TRIGGER = 0;
constexpr int PIN_DSP_VALUE = 1;
constexpr int PIN_RESET_TRIGGER = 2;  // plus build only
constexpr int PIN_VALUE_IN = 2 + kShift;
constexpr int PIN_POSITION_IN = 3 + kShift;
constexpr int PIN_CONTOUR = 4 + kShift;
constexpr int PIN_NAME_IN = 5 + kShift;
constexpr int PIN_MIN = 6 + kShift;
constexpr int PIN_MAX = 7 + kShift;
constexpr int PIN_VALUE_OUT = 8 + kShift;
constexpr int PIN_RESET_VALUE = 10;  // plus build only
constexpr int PIN_DESCRIPTIONS = kPlus ? 11 : 9;

// Notice values sent with HOST_NOTIFY_GUI.
constexpr int NOTICE_RANDOM = 1;
constexpr int NOTICE_RESET = 2;

// Contour list items of "Contour? (animation)".
enum Contour { CONTOUR_LINEAR = 0, CONTOUR_EXP = 1, CONTOUR_EXP2 = 2, CONTOUR_EXP3 = 3 };

// The random generator, one per loaded library and shared by all GUI
// instances. Seeded once, by the first GuiOpen in the process.
constexpr uint32_t kInitialWordA = 0xAB89EFCDu;
constexpr uint32_t kInitialWordB = 0x45320167u;
extern uint32_t g_random_a;
extern uint32_t g_random_b;
extern int g_generator_seeded;  // 0 until seeded, then -1

// Mixes the millisecond tick count t into the words: the two low bytes of t,
// swapped, are laid over its high half and the result is added to both words.
// A word A of 0 would stall the generator, so it gets its initial value back.
void SeedGenerator(uint32_t tick);
// Seeds from the platform tick count, once per process.
void SeedGeneratorOnce();
// One step; returns the new random position in [0, 1].
float StepGenerator();

// Contour curves. Forward maps a position in [0, 1] to a shaped position,
// inverse maps a normalised value in [0, 1] back to a position. Each is
// computed in double and rounded to float at the end (Exp3 also rounds p^4).
// An unknown contour leaves the number as it is.
float ContourForward(int contour, float p);
float ContourInverse(int contour, float u);

class Module : public KVModule_base {
public:
    Module(HostCallback host, void* hostHandle) : KVModule_base(host, hostHandle) {}

    void Open() override;
    void PinStatusChanged(KVPin* pin) override;
    bool DescribePin(int index, KVPinProperties* out) override;
    void OnGuiMessage(int value, int index, void* ptr) override;

    // Writes nothing and asks the host to sleep on every call: the module
    // produces no stream.
    void ProcessSleep(int bufferOffset, int sampleFrames);

private:
    // Sends the notice on a rising edge of a trigger's IEEE bit pattern.
    void CheckTrigger(KVPin* pin, float& last, int notice);

    float* m_random_trigger = nullptr;  // stream buffer address
    float* m_reset_trigger = nullptr;   // stream buffer address (plus build)
    float m_dsp_value = 0.0f;           // "DSP Value"
    float m_value_in = 0.0f;            // "Value In"
    float m_position_in = 0.0f;         // "Animation Position In", not used here
    KVPin* m_out_pin = nullptr;
    int32_t m_out_connected = 0;
    float m_last_random_trigger = 0.0f;
    float m_last_reset_trigger = 0.0f;  // plus build
};

class GuiModule : public KVGUI_base {
public:
    using KVGUI_base::KVGUI_base;

    void GuiOpen(bool flag) override;
    void OnDspMessage(int value, int index, void* ptr) override;
    void GuiPinChanged(KVGuiPin* pin) override;

private:
    float ReadFloat(int index) { return GetGuiPin(index)->FloatValue(); }
    int ReadInt(int index) { return GetGuiPin(index)->IntValue(); }
    void Write(int index, float v) { GetGuiPin(index)->SetValue(v); }

    // Position from value through the inverse contour, written to
    // "Animation Position In" (without the m_busy bracket and "Value Out").
    void PositionFromValue();
    // The full recompute: position from value with notices dropped, then
    // "Value Out" = value.
    void Recompute();

    int32_t m_busy = 0;
    int32_t m_contour = CONTOUR_LINEAR;
    float m_position = 0.0f;
    float m_value = 0.0f;
    float m_value_out = 0.0f;
    float m_min = 0.0f;
    float m_max = 0.0f;
    float m_reset_value = 0.0f;  // plus build
};

}  // namespace patch_memory
