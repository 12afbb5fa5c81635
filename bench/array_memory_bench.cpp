// Array memory: the per-sample routines ProcessSlots and ProcessSlotsIdle in
// ns per sample, beside a plain reference loop of the same select, write and
// read. 48 kHz, blocks of 64 and 1024, 1024 slots, the index sweeping all
// slots and "Write" rising every eight samples.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "array_memory.h"

namespace {

constexpr int kSlots = 1024;

struct Buffers {
    explicit Buffers(int n) : input(n), index(n), write(n), output(n), index_out(n) {
        for (int i = 0; i < n; ++i) {
            input[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 110.0 * i / 48000.0));
            index[i] = static_cast<float>((i * 7 % kSlots) * 0.1);  // 0.1 per slot
            write[i] = (i / 4) % 2 == 0 ? 0.0f : 1.0f;
        }
    }
    std::vector<float> input, index, write, output, index_out;
};

// Just enough host for one module outside an engine: nine pins, clock 0.
int BenchHost(void*, int opcode, int, int, void*, float) { return opcode == HOST_GET_PIN_COUNT ? 9 : 0; }

// A module opened on `b`, sized to kSlots without a data file.
struct Rig {
    array_memory::Module module{&BenchHost, nullptr};
    explicit Rig(Buffers& b) {
        float* streams[] = {b.input.data(), b.index.data(), b.write.data(), nullptr, nullptr,
                            b.output.data(), b.index_out.data()};
        for (int p : {0, 1, 2, 5, 6}) {
            KVPinProperties d{};
            module.DescribePin(p, &d);
            std::memcpy(d.variable, &streams[p], sizeof(float*));
        }
        KVPinProperties size{}, use{};
        module.DescribePin(7, &size);
        module.DescribePin(8, &use);
        *static_cast<float*>(size.variable) = kSlots;
        *static_cast<int16_t*>(use.variable) = 0;  // "Use File?" No
        module.Dispatch(DSP_OPEN, 0, 0, nullptr, 0.0f);
        KVEvent e{};
        e.type = EV_PIN_STATUS;
        e.value = PS_STATIC;
        e.target = 7;
        module.DeliverEvent(&e);  // resize to kSlots
    }
};

// "per_sample": seconds per sample, printed with its SI prefix (1.2n is 1.2 ns).
void SetCounters(benchmark::State& state, int n) {
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ProcessSlots(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Buffers b(n);
    Rig rig(b);
    for (auto _ : state) {
        rig.module.ProcessSlots(0, n);
        benchmark::DoNotOptimize(b.output.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

void BM_ProcessSlotsIdle(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Buffers b(n);
    Rig rig(b);
    for (auto _ : state) {
        rig.module.ProcessSlotsIdle(0, n);  // the bench host ignores the sleep request
        benchmark::DoNotOptimize(b.output.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// The reference: the same computation written plainly over a vector.
void BM_ReferencePlainLoop(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Buffers b(n);
    std::vector<float> slots(kSlots, 0.0f);
    int current = 0;
    float prev = 0.0f;
    for (auto _ : state) {
        for (int k = 0; k < n; ++k) {
            double t = static_cast<double>(static_cast<float>(b.index[k] * 10.0)) + 0.5;
            if (t > -1.0 && t < kSlots) current = static_cast<int>(t);
            if (b.write[k] > 0.0f && prev == 0.0f) slots[current] = b.input[k];
            b.output[k] = slots[current];
            b.index_out[k] = static_cast<float>(current * 0.1);
            prev = b.write[k];
        }
        benchmark::DoNotOptimize(b.output.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

BENCHMARK(BM_ProcessSlots)->Arg(64)->Arg(1024);
BENCHMARK(BM_ProcessSlotsIdle)->Arg(64)->Arg(1024);
BENCHMARK(BM_ReferencePlainLoop)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
