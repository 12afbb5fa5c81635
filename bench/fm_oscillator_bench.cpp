// Four-operator oscillator: algorithm routines of both kinds at 48 kHz in
// blocks of 64 and 1024, beside a plain reference (std::sin per operator and
// sample) measured in the same run. Figures are ns per operator-sample.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "test_harness.h"

using namespace fm_oscillator;

namespace {

// One oscillator with all four operators sounding (saw tables, 16
// harmonics), `algorithm` in the block kind, or in the realtime kind with a
// streaming Tuning A.
void RunAlgorithm(benchmark::State& state, int algorithm, bool realtime) {
    const int block = static_cast<int>(state.range(0));
    Harness h(48000.0f, block);
    h.SetChoice(PIN_ALGORITHM, algorithm);
    for (int k = 0; k < 4; ++k) {
        h.SetChoice(PIN_WAVEFORM_A + k, 1);
        h.SetChoice(PIN_HARMONICS_A + k, 15);
        h.SetStream(PIN_LEVEL_A + k, 0.8f);
    }
    h.StartWithTables(realtime ? std::vector<int>{PIN_TUNING_A} : std::vector<int>{});
    for (auto _ : state) {
        h.Call(0, block);
        benchmark::DoNotOptimize(h.Out()[block - 1]);
        h.NextBlock();
    }
    state.counters["ns/op-sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * block * 4,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The plain reference: four std::sin operators added, one per sample each.
void Reference(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    std::vector<float> out(block);
    double phase[4] = {};
    const double inc[4] = {440.0 / 48000, 880.0 / 48000, 1320.0 / 48000, 1760.0 / 48000};
    for (auto _ : state) {
        for (int i = 0; i < block; ++i) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) {
                s += 0.5 * std::sin(2.0 * std::numbers::pi * phase[k]);
                phase[k] += inc[k];
                phase[k] -= std::floor(phase[k]);
            }
            out[i] = static_cast<float>(s);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns/op-sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * block * 4,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BlockAdd(benchmark::State& s) { RunAlgorithm(s, 0, false); }           // A+B+C+D, no modulation
void BlockRing(benchmark::State& s) { RunAlgorithm(s, 26, false); }         // A*B*C*D
void BlockChain(benchmark::State& s) { RunAlgorithm(s, 14, false); }        // A>B>C>D
void BlockFanOut(benchmark::State& s) { RunAlgorithm(s, 81, false); }       // (A>B)+(A>C)+(A>D)
void RealtimeAdd(benchmark::State& s) { RunAlgorithm(s, 0, true); }
void RealtimeChain(benchmark::State& s) { RunAlgorithm(s, 14, true); }
void RealtimeFanOut(benchmark::State& s) { RunAlgorithm(s, 81, true); }

}  // namespace

BENCHMARK(Reference)->Arg(64)->Arg(1024);
BENCHMARK(BlockAdd)->Arg(64)->Arg(1024);
BENCHMARK(BlockRing)->Arg(64)->Arg(1024);
BENCHMARK(BlockChain)->Arg(64)->Arg(1024);
BENCHMARK(BlockFanOut)->Arg(64)->Arg(1024);
BENCHMARK(RealtimeAdd)->Arg(64)->Arg(1024);
BENCHMARK(RealtimeChain)->Arg(64)->Arg(1024);
BENCHMARK(RealtimeFanOut)->Arg(64)->Arg(1024);

BENCHMARK_MAIN();
