#include "wavetable_generator.h"

#include <cmath>

#include "low_memory.h"

namespace wavetable_generator {

TableStorage* g_storage = nullptr;
int32_t g_tables_built = 0;
void* (*g_allocate_low)(size_t bytes) = &AllocateLowMemory;

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

// sin(i * 2^-9 * 2 pi) for i = 0 .. 512, in double, with the same result in
// every build. The angle is reduced by the nearest quarter turn k, with pi/2
// in three parts (the first two of 33 bits, so k times them is exact), so
// that the runtime library only ever sees |r| <= pi/4: some libraries are
// inexact for sin near multiples of pi (sin(pi) off in its fifth digit), none
// is for small arguments.
double CycleSine(int i) {
    constexpr double kHalfPi1 = 1.57079632673412561417e+00;   // first 33 bits of pi/2
    constexpr double kHalfPi2 = 6.07710050630396597660e-11;   // next 33 bits
    constexpr double kHalfPi2t = 2.02226624879595063154e-21;  // pi/2 - kHalfPi1 - kHalfPi2
    const double x = static_cast<double>(i) * 0x1p-9 * kTwoPi;
    const int k = (i + 64) / 128;  // 0 .. 4 quarter turns
    const double r = ((x - k * kHalfPi1) - k * kHalfPi2) - k * kHalfPi2t;
    switch (k & 3) {
        case 0: return std::sin(r);
        case 1: return std::cos(r);
        case 2: return -std::sin(r);
        default: return -std::cos(r);
    }
}

}  // namespace

TableStorage* Storage() {
    if (g_storage == nullptr) g_storage = static_cast<TableStorage*>(g_allocate_low(sizeof(TableStorage)));
    return g_storage;
}

Module::~Module() = default;

bool Module::DescribePin(int index, KVPinProperties* out) {
    if (index != 0) return false;
    out->variable = &m_link;
    out->direction = DR_OUT;
    out->datatype = DT_IVALUE;
    out->name = "QM_Osc_Link";
    return true;
}

// No input: nothing changes after open.
void Module::PinStatusChanged(KVPin*) {}

void Module::Open() {
    KVModule_base::Open();

    // The directory is rewritten at every open with the same addresses, so
    // every instance publishes the same value.
    TableStorage* storage = Storage();
    if (storage != nullptr) {
        TableDirectory& dir = storage->directory;
        dir.entry[0] = storage->sine;
        for (int s = 0; s < kSetCount; ++s) {
            dir.entry[1 + s] = storage->sets[s];
            dir.entry[1 + kSetCount + s] = storage->sets[s];
        }
        // Below 4 GiB: the address survives the 32-bit pin value.
        m_link = static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&dir)));
    } else {
        m_link = 0;  // no low memory: the oscillator reads null and stays silent
    }

    if (PinCount() > 0) GetPin(0)->SendStatus(SampleClock(), PS_ONE_SHOT);

    if (storage != nullptr && g_tables_built == 0) {
        g_tables_built = -1;
        BuildTables(*storage);
    }
}

void Module::BuildTables(TableStorage& storage) {
    // Sine points of one cycle, amplitude 0.5 (5 V); entries 513 .. 515 stay 0.
    for (int i = 0; i <= kCyclePoints; ++i) storage.sine[i] = static_cast<float>(0.5 * CycleSine(i));
    for (int s = 1; s <= kSetCount; ++s) {
        FillAmplitudes(s);
        BuildTableSet(storage.sets[s - 1], storage.sine);
    }
}

void Module::FillAmplitudes(int set) {
    float* a = m_amplitudes;
    float power = 1.0f;     // Peak Ramp: 0.8^(n - 1), float steps
    double sign = 1.0;      // Triangle, Peak: alternates per odd harmonic
    double p = 1.0;         // Peak: 1, 1.75, 2.5, ... per odd harmonic
    for (int n = 1; n <= kHarmonics; ++n) {
        const double dn = n;
        const bool odd = (n & 1) != 0;
        double v = 0.0;
        switch (set) {
            case 1:  // Saw
                v = -1.0 / dn;
                break;
            case 2:  // Ramp
                v = 1.0 / dn;
                break;
            case 3:  // Soft Ramp: halves per harmonic (0 in float from harmonic 151 on)
                v = std::ldexp(1.0, -(n - 1));
                break;
            case 4:  // Peak Ramp: each step rounded to float
                v = power;
                power = static_cast<float>(static_cast<double>(power) * static_cast<double>(0.8f));
                break;
            case 5:  // Square
                v = odd ? 1.0 / dn : 0.0;
                break;
            case 6:  // Triangle
                if (odd) {
                    v = sign / (dn * dn);
                    sign = -sign;
                }
                break;
            case 7:  // Peak
                if (odd) {
                    v = sign / (p * p);
                    sign = -sign;
                    p += 0.75;
                }
                break;
            case 8:  // Octava: powers of two only
                v = (n & (n - 1)) == 0 ? 1.0 / dn : 0.0;
                break;
            case 9: {  // Cluster1: n = 1, 2, 5, 6, 9, 10, ...
                int r = (n - 1) % 4;
                v = (r == 0 || r == 1) ? 1.0 / dn : 0.0;
                break;
            }
            case 10: {  // Cluster2: n = 1, 4, 5, 8, 9, 12, ...
                int r = (n - 1) % 4;
                v = (r == 0 || r == 3) ? 1.0 / dn : 0.0;
                break;
            }
            default:
                break;
        }
        a[n - 1] = static_cast<float>(v);
    }
}

void Module::BuildTableSet(float* tables, const float* sine) {
    float* a = m_amplitudes;

    // Linear taper of the top 32 harmonics: 225 keeps its amplitude, 256 keeps 1/32.
    for (int n = kTaperStart; n <= kHarmonics; ++n) {
        double gain = 1.0 - static_cast<double>(n - kTaperStart) / 32.0;
        a[n - 1] = static_cast<float>(static_cast<double>(a[n - 1]) * gain);
    }

    // Normalise so that sum |a_n| / n is 1: a lone fundamental is a sine of 0.5.
    double sum = 0.0;
    for (int n = 1; n <= kHarmonics; ++n) sum += std::fabs(static_cast<double>(a[n - 1])) / n;
    const double scale = 1.0 / sum;
    for (int n = 1; n <= kHarmonics; ++n) a[n - 1] = static_cast<float>(static_cast<double>(a[n - 1]) * scale);

    // Table h holds the running sum of harmonics 1 .. h; harmonic n at point j
    // reads sine point (n * j) mod 512, so entries 0 and 512 are exactly 0.
    for (int j = 0; j <= kCyclePoints; ++j) {
        double c = 0.0;
        for (int n = 1; n <= kHarmonics; ++n) {
            double term = static_cast<double>(a[n - 1]) * static_cast<double>(sine[(n * j) % kCyclePoints]);
            c = n == 1 ? term : c + term;
            tables[(n - 1) * kTableLength + j] = static_cast<float>(c);
        }
    }
}

}  // namespace wavetable_generator
