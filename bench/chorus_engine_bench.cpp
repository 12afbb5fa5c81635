// Chorus engine: its processing routines with all four taps connected and
// modulated, in ns per sample, beside a plain reference loop that computes
// the same four taps and feedback (a vector for the line, std::trunc, the
// index wrapped with %). 48 kHz, blocks of 64 and 1024, Max Pre Delay 0.500.
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

enum Variant { NO_FEEDBACK, FEEDBACK_PREDLY, FEEDBACK_CHORUS, DEPTH_STREAM, TAP1_ONLY };

// Pin indices of the engine.
enum { AUDIO_IN = 0, PRE1 = 1, MOD1 = 5, DEPTH = 9, FBK = 10, OUT1 = 11, FBK_MODE = 16 };

kvhost::Generator Sine(double hz, float amplitude, float offset = 0.0f) {
    return [hz, amplitude, offset](int64_t start, float* out, int n) {
        for (int i = 0; i < n; ++i)
            out[i] = offset + amplitude * static_cast<float>(std::sin(2.0 * kPi * hz * (start + i) / kRate));
    };
}

void BM_Routine(benchmark::State& state, Variant variant) {
    const int block = static_cast<int>(state.range(0));
    std::string error;
    auto lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_4V_Chorus2"), error);
    if (!lib) {
        state.SkipWithError(error.c_str());
        return;
    }
    kvhost::Engine eng(kRate, block);
    kvhost::Instance* cho = eng.Add("cho", *lib, error);
    eng.SetGenerator(*cho, AUDIO_IN, Sine(220.0, 0.4f), error);
    for (int n = 0; n < 4; ++n) {
        eng.SetGenerator(*cho, MOD1 + n, Sine(0.5 + 0.1 * n, 0.5f), error);
        if (variant != TAP1_ONLY || n == 0) eng.Record(*cho, OUT1 + n, error);
    }
    if (variant != NO_FEEDBACK) eng.SetValue(*cho, FBK, 0.05, error);  // 0.5 V: a gain of 0.05
    eng.SetValue(*cho, FBK_MODE, variant == FEEDBACK_PREDLY ? 0 : 1, error);  // Chorus otherwise
    if (variant == DEPTH_STREAM) eng.SetGenerator(*cho, DEPTH, Sine(0.2, 0.1f, 0.4f), error);
    if (!eng.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    eng.Run(block);
    KVPlugStruct* rec = cho->Dsp();
    for (auto _ : state) {
        rec->process(rec->instance, 0, block);
        benchmark::ClobberMemory();
    }
    SetCounters(state, block);
}

// The plain reference: the same four taps and Chorus feedback, written
// straightforwardly.
void BM_ReferencePlain(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const int length = 32768;
    std::vector<float> line(length, 0.0f), in(n), mod[4], out[4], fbk(n, 0.05f);
    for (int i = 0; i < n; ++i) in[i] = 0.4f * static_cast<float>(std::sin(2.0 * kPi * 220.0 * i / kRate));
    for (int k = 0; k < 4; ++k) {
        mod[k].resize(n);
        out[k].assign(n, 0.0f);
        for (int i = 0; i < n; ++i) mod[k][i] = 0.5f * static_cast<float>(std::sin(0.0001 * (k + 1) * i));
    }
    const double pre[4] = {480.0, 960.0, 1440.0, 1920.0};
    const double depth = 0.4 * kRate * 0.01;
    long write = 0;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            long w = ((write % length) + length) % length;
            line[w] = in[i];
            for (int k = 0; k < 4; ++k) {
                double x = (mod[k][i] + 0.5) * depth;
                double whole = std::trunc(x);
                long j = ((w + static_cast<long>(pre[k]) + (k == 0 ? 1 : 0) + static_cast<long>(whole)) % length + length) % length;
                double a = line[j], b = line[(j + 1) % length];
                out[k][i] = static_cast<float>(a + (x - whole) * (b - a));
                if (k == 0) {
                    double e = out[0][i] * static_cast<double>(fbk[i]);
                    long p = (w + static_cast<long>(pre[0])) % length;
                    line[p] = static_cast<float>(line[p] + ((e - 0.0001) + 0.0001));
                }
            }
            --write;
        }
        benchmark::DoNotOptimize(out[3].data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Routine, no_feedback, NO_FEEDBACK)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_Routine, feedback_predly, FEEDBACK_PREDLY)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_Routine, feedback_chorus, FEEDBACK_CHORUS)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_Routine, depth_stream, DEPTH_STREAM)->Arg(64)->Arg(1024);
// Chorus feedback with taps 2 to 4 unconnected: the cost of one tap.
BENCHMARK_CAPTURE(BM_Routine, tap1_only_chorus, TAP1_ONLY)->Arg(64)->Arg(1024);
BENCHMARK(BM_ReferencePlain)->Arg(64)->Arg(1024);

BENCHMARK_MAIN();
