// Soft limiter: the limiting loop (static and streaming threshold) and the
// whole module under the host, in ns per sample, beside the plain loop of the
// same curve (what processors without AVX run). 48 kHz, blocks of 64 and 1024, a sine of 8 V
// through a 5 V threshold (about two thirds of the samples above it).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "soft_limiter.h"

namespace {

struct Buffers {
    explicit Buffers(int n) : in(n), drive(n, 1.0f), threshold(n, 0.5f), out(n) {
        for (int i = 0; i < n; ++i) in[i] = 0.8f * static_cast<float>(std::sin(2.0 * M_PI * 110.0 * i / 48000.0));
    }
    std::vector<float> in, drive, threshold, out;
};

// "per_sample": seconds per sample, printed with its SI prefix (1.2n is 1.2 ns).
// 110 Hz at 48 kHz from one precomputed second, so that the source costs
// little beside the module.
kvhost::Generator SineSource() {
    auto second = std::make_shared<Buffers>(48000);
    return [second](int64_t start, float* out, int n) {
        for (int i = 0; i < n; ++i) out[i] = second->in[static_cast<size_t>((start + i) % 48000)];
    };
}

void SetCounters(benchmark::State& state, int n) {
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LimitStaticThreshold(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Buffers b(n);
    const float k = soft_limiter::SquashCoefficient(1.0f);
    for (auto _ : state) {
        soft_limiter::LimitBlock(b.in.data(), b.drive.data(), nullptr, 0.5f, k, b.out.data(), n);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

void BM_LimitStreamingThreshold(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Buffers b(n);
    const float k = soft_limiter::SquashCoefficient(1.0f);
    for (auto _ : state) {
        soft_limiter::LimitBlock(b.in.data(), b.drive.data(), b.threshold.data(), 0.0f, k, b.out.data(), n);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// The reference: the same curve one sample at a time with branches.
void BM_ReferencePlainLoop(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Buffers b(n);
    const float k = soft_limiter::SquashCoefficient(1.0f);
    for (auto _ : state) {
        soft_limiter::LimitBlockPlain(b.in.data(), b.drive.data(), nullptr, 0.5f, k, b.out.data(), n);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// The deliverable in the host in `mode` with a streaming input: one second
// per iteration, host scheduling and the input generator included.
void RunInHost(benchmark::State& state, int mode) {
    const int block = static_cast<int>(state.range(0));
    std::string error;
    auto lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_PLUGIN_DIR, "QM_Soft_Limit_Drive"), error);
    if (!lib) {
        state.SkipWithError(error.c_str());
        return;
    }
    kvhost::Engine eng(48000.0, block);
    kvhost::Instance* lim = eng.Add("lim", *lib, error);
    eng.SetValue(*lim, soft_limiter::PIN_MODE, mode, error);
    eng.SetGenerator(*lim, soft_limiter::PIN_SIGNAL_IN, SineSource(), error);
    eng.Start(error);
    for (auto _ : state) eng.Run(48000);
    SetCounters(state, 48000);
}

// Limit mode: the module's work plus the host's.
void BM_ModuleInHost(benchmark::State& state) { RunInHost(state, soft_limiter::MODE_LIMIT); }

// The host with the same generator and no module work beyond a copy
// (Bypass): what the host and the generator cost on their own.
void BM_HostBypassFloor(benchmark::State& state) { RunInHost(state, soft_limiter::MODE_BYPASS); }

}  // namespace

BENCHMARK(BM_LimitStaticThreshold)->Arg(64)->Arg(1024);
BENCHMARK(BM_LimitStreamingThreshold)->Arg(64)->Arg(1024);
BENCHMARK(BM_ReferencePlainLoop)->Arg(64)->Arg(1024);
BENCHMARK(BM_ModuleInHost)->Arg(64)->Arg(1024);
BENCHMARK(BM_HostBypassFloor)->Arg(64)->Arg(1024);

BENCHMARK_MAIN();
