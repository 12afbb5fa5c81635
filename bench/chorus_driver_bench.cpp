// Chorus driver: its processing routines with all four outputs connected, in
// ns per sample, beside plain reference loops that compute the same outputs
// (phase accumulator, floor, linear interpolation in a 512-point table; the
// octave pitch through std::exp2). 48 kHz, blocks of 64 and 1024.
//
// The routines run inside the deliverable: a host engine opens it, delivers
// the start-up statuses and fills the input buffers for one block, then the
// benchmark calls the installed routine on those buffers again and again.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "library.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kPi = 3.14159265358979323846;

// "per_sample": seconds per sample, printed with its SI prefix (1.2n is 1.2 ns).
void SetCounters(benchmark::State& state, int n) {
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

enum Variant { BLOCK_STATIC, OCTAVE_STREAM, LINEAR_STREAM, SYNC_OCTAVE };

// Pin indices of the driver.
enum { PITCH = 0, SYNC = 1, WAVE1 = 2, PHASE1 = 6, OUT1 = 10, ACCURACY = 14, VOLT_MODE = 15 };

void BM_Routine(benchmark::State& state, Variant variant) {
    const int block = static_cast<int>(state.range(0));
    std::string error;
    auto lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_Chorus_Driver4"), error);
    if (!lib) {
        state.SkipWithError(error.c_str());
        return;
    }
    kvhost::Engine eng(kRate, block);
    kvhost::Instance* drv = eng.Add("drv", *lib, error);
    const int waves[4] = {0, 1, 2, 5};
    for (int n = 0; n < 4; ++n) {
        eng.SetValue(*drv, WAVE1 + n, waves[n], error);
        eng.SetValue(*drv, PHASE1 + n, 0.25 * n, error);
        eng.Record(*drv, OUT1 + n, error);
    }
    auto wobble = [](float centre) {
        return [centre](int64_t start, float* out, int n) {
            for (int i = 0; i < n; ++i) out[i] = centre + 0.01f * static_cast<float>(std::sin(0.001 * (start + i)));
        };
    };
    switch (variant) {
        case BLOCK_STATIC:
            eng.SetValue(*drv, PITCH, 0.5, error);
            break;
        case OCTAVE_STREAM:
            eng.SetGenerator(*drv, PITCH, wobble(0.5f), error);
            break;
        case LINEAR_STREAM:
            eng.SetValue(*drv, VOLT_MODE, 2, error);
            eng.SetGenerator(*drv, PITCH, wobble(0.5f), error);
            break;
        case SYNC_OCTAVE:
            eng.SetGenerator(*drv, PITCH, wobble(0.5f), error);
            // One rising edge per 48 samples.
            eng.SetGenerator(*drv, SYNC, [](int64_t start, float* out, int n) {
                for (int i = 0; i < n; ++i) out[i] = ((start + i) % 48) < 24 ? 0.5f : -0.5f;
            }, error);
            break;
    }
    if (!eng.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    eng.Run(block);
    KVPlugStruct* rec = drv->Dsp();
    for (auto _ : state) {
        rec->process(rec->instance, 0, block);
        benchmark::ClobberMemory();
    }
    SetCounters(state, block);
}

// ---- plain references ------------------------------------------------------

struct Reference {
    float table[4][513];
    std::vector<float> pitch, out[4];
    explicit Reference(int n) : pitch(n) {
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i <= 512; ++i)
                table[w][i] = static_cast<float>(0.5 * std::sin(2 * kPi * (i / 512.0 + 0.1 * w)));
        for (int i = 0; i < n; ++i) pitch[i] = 0.5f + 0.01f * static_cast<float>(std::sin(0.001 * i));
        for (auto& o : out) o.assign(n, 0.0f);
    }
    // Four outputs at one phase (cycles), each at a quarter-cycle offset.
    void Write(int i, double phase) {
        for (int w = 0; w < 4; ++w) {
            double p = (phase + 0.25 * w) * 512.0;
            double fl = std::floor(p);
            int j = static_cast<int>(static_cast<int64_t>(fl) % 512);
            double f = p - fl;
            out[w][i] = static_cast<float>(table[w][j] + f * (table[w][j + 1] - table[w][j]));
        }
    }
};

// Constant increment: what the block routine computes.
void BM_ReferenceStatic(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Reference r(n);
    double phase = 0.0;
    const double inc = 440.0 / kRate;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            r.Write(i, phase);
            phase += inc;
        }
        phase -= std::floor(phase);
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// Octave pitch per sample through std::exp2: what the per-sample Oct routine computes.
void BM_ReferenceOctave(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Reference r(n);
    double phase = 0.0;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            r.Write(i, phase);
            phase += 13.75 * std::exp2(10.0 * r.pitch[i]) / kRate;
        }
        phase -= std::floor(phase);
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Routine, block_static, BLOCK_STATIC)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_Routine, octave_stream, OCTAVE_STREAM)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_Routine, linear_stream, LINEAR_STREAM)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_Routine, sync_octave, SYNC_OCTAVE)->Arg(64)->Arg(1024);
BENCHMARK(BM_ReferenceStatic)->Arg(64)->Arg(1024);
BENCHMARK(BM_ReferenceOctave)->Arg(64)->Arg(1024);

BENCHMARK_MAIN();
