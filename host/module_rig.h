// One module instance in a host engine, for tests and benchmarks: loads the
// deliverable, adds the instance, and wraps the engine calls a test makes
// with failures reported through GoogleTest-free `error`/`ok` state, so the
// caller decides how to assert.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KVModule_base.h"
#include "engine.h"
#include "library.h"

namespace kvhost {

class ModuleRig {
public:
    // `dir`/`name`: where the deliverable is and its name; `instance`: the
    // instance name in the engine.
    ModuleRig(const std::string& dir, const std::string& name, const std::string& instance, double sampleRate,
              int blockSize) {
        lib = Library::Load(DeliverablePath(dir, name), error);
        ok = lib != nullptr;
        engine = std::make_unique<Engine>(sampleRate, blockSize);
        if (ok) inst = engine->Add(instance, *lib, error);
        ok = ok && inst != nullptr;
    }

    bool Set(int pin, double v) { return Check(engine->SetValue(*inst, pin, v, error)); }
    // A streaming input whose sample at clock t is f(t).
    bool Stream(int pin, std::function<float(int64_t)> f) {
        return Check(engine->SetGenerator(
            *inst, pin, [f](int64_t start, float* out, int n) {
                for (int i = 0; i < n; ++i) out[i] = f(start + i);
            },
            error));
    }
    bool Step(int pin, int64_t at, double v) { return Check(engine->AddStep(*inst, pin, at, v, error)); }
    int Record(int pin) { return engine->Record(*inst, pin, error); }
    bool Start() { return Check(engine->Start(error)); }
    void Run(int64_t n) { engine->Run(n); }
    void Reset() { inst->Dsp()->dispatch(inst->Dsp(), DSP_RESET, 0, 0, nullptr, 0.0f); }
    const std::vector<float>& Out(int capture) const { return engine->Captured(capture); }
    float* HostBuffer(int pin) { return inst->FindDspPin(pin)->buffer; }
    // The module object behind the instance record (white-box checks).
    template <class M>
    const M& ModuleObject() const {
        return *static_cast<const M*>(static_cast<KVModule_base*>(inst->Dsp()->instance));
    }

    std::unique_ptr<Library> lib;
    std::unique_ptr<Engine> engine;
    Instance* inst = nullptr;
    std::string error;
    bool ok = false;  // false once any call failed; `error` says why

private:
    bool Check(bool result) {
        ok = ok && result;
        return result;
    }
};

}  // namespace kvhost
