#include "patch_file.h"

namespace kvhost {

// The embedded demo: a level sweep through the dB converter in two modes.
// One volt on the converter's input is one decibel.
const char* DemoPatch() {
    return R"json({
  "sample_rate": 48000,
  "block_size": 64,
  "length": 2.0,
  "modules": [
    {"name": "sweep", "plugin": "QM_dB_to_Level(Volts)", "pins": {"Mode": "Realtime"}},
    {"name": "steps", "plugin": "QM_dB_to_Level(Volts)", "pins": {"Mode": "Step", "Decibel (dB)": 0.0}}
  ],
  "sources": {
    "sweep.Decibel (dB)": {"type": "sine", "frequency": 1.0, "amplitude": 12.0}
  },
  "automation": {
    "steps.Decibel (dB)": [[0.5, -6.0], [1.0, 6.0], [1.5, 12.0]]
  },
  "outputs": [
    {"file": "demo.wav", "pins": ["sweep.To Volume/Level Adj", "steps.To Volume/Level Adj"]},
    {"file": "demo.csv", "pins": ["steps.Decibel (dB)", "steps.To Volume/Level Adj"]}
  ]
})json";
}

}  // namespace kvhost
