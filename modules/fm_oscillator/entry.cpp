#include "KVEntry.h"
#include "fm_oscillator.h"

namespace {
const kv::ModuleInfo kInfo = {
    "QM_4op_Fm2_AddRing_Osc",
    "Audio_4op_Fm2_AddRing_Osc_QM2006",
    "4 Operator FM(phase) & Additive RingMod Oscillator\n"
    "Ver:3.00 (Korvane build)\n"
    "\n"
    "This Oscillator allows you to create complex FM (Phase Modulation) and Ring Modulation waves\n"
    "\n"
    "Algorithm: Oscillator Function: '+'=Add, '*'=Ring Additive, '>'=FM\n"
    "Root Pitch: Reference Pitch\n"
    "Tuning: Relative Pitch Scaling (ratio) for each Wave\n"
    "   1.0= Root : 0.5= -1 Octave: 2.0= +1 Octave/Harmonic: 3.0= +2 Harmonics etc\n"
    "Level: Wave/Voice level : Realtime Mod Accuracy\n"
    "Analogue Drift: Depth + Rate: Controls the depth and rate of Pitch drift\n"
    "   Pitch Drift is the slight detuning caused by component/heat variation in Analogue synths\n"
    "Sync Accuracy: High: (Recommended)\n"
    "Freq Limit: Defines the Frequency (Hz) above which the Wavetable harmonics are removed\n"
    "   *Note: WaveA Root Harmonic always sounds\n"
    "Limit Freq System: OFF/A/B:\n"
    "   OFF: Frequencies can go beyond Nyquist causing foldback frequencies/wierd FX etc\n"
    "Pitch/Tuning Mod Accuracy: High: Realtime Modulation  Low: Block Accurate\n"
    "HOLD: When ON the output of the oscillator freezes - can be useful for LFO use etc\n"
    "Active: Off,On ( When not used, set to Off to save CPU )\n"
    "\n"
    "Licence: free to use in any patch, commercial or not; redistribute only unmodified and with this text.\n"
    "Provided as is, without warranty of any kind.",
};
}  // namespace

KV_MODULE_ENTRY(fm_oscillator::Module, fm_oscillator::GuiModule, kInfo)
