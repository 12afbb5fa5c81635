// The algorithm engine: 57 algorithms x 2 accuracy kinds, generated from the
// step table, plus the analogue drift and the per-call table choice.
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "algorithm_table.h"
#include "fm_oscillator.h"
#include "pitch.h"

namespace fm_oscillator {

uint32_t g_drift_random = 554284u;

namespace {

constexpr double kTwo32 = 4294967296.0;
constexpr double kTwoMinus23 = 1.0 / 8388608.0;
constexpr double kTwoMinus32 = 1.0 / 4294967296.0;

// A 32-bit fixed-point phase (cycles * 2^32, to nearest, low 32 bits).
// Values no 64-bit integer holds, and NaN, give 0.
inline uint32_t ToFixed(double cycles) {
    double x = std::nearbyint(cycles * kTwo32);
    if (!(x > -9.2e18 && x < 9.2e18)) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x)));
}

// Linear interpolation of a 513-point table at `steps` (512 per cycle). The
// index is masked, so any finite position reads inside the table; a position
// beyond +-2^62 (or NaN) reads entry 0 with a meaningless fraction. The floor
// is exact: truncation, one down for negative non-integers.
inline double Lookup(const float* t, double steps) {
    double c = steps > -4.0e18 ? steps : -4.0e18;
    c = c < 4.0e18 ? c : 4.0e18;
    int64_t n = static_cast<int64_t>(c);
    n -= c < static_cast<double>(n) ? 1 : 0;
    double f = steps - static_cast<double>(n);
    int j = static_cast<int>(n & 511);
    double a = t[j];
    return a + (static_cast<double>(t[j + 1]) - a) * f;
}

template <Comb C>
inline double Combine(double x, double d, double t) {
    if constexpr (C == Comb::Set) return x;
    if constexpr (C == Comb::Add) return d + x;
    if constexpr (C == Comb::Ring) return x + 2.0 * d * x;
    if constexpr (C == Comb::AddT) return x + t;
    if constexpr (C == Comb::AddXT) return d + (x + t);
    if constexpr (C == Comb::TRing) return x + 2.0 * t * x;
    if constexpr (C == Comb::AddTRing) return d + (x + 2.0 * t * x);
    if constexpr (C == Comb::TRingSum) {
        double y = d + x;
        return y + 2.0 * t * y;
    }
    if constexpr (C == Comb::RingAddT) return (x + 2.0 * d * x) + t;
}

#if defined(__SSE2__)
// Two samples side by side in double lanes: the same operations, in the same
// order, as the scalar Combine, so every lane gives the scalar's bits.
template <Comb C>
inline __m128d CombineV(__m128d x, __m128d d, __m128d t) {
    const __m128d two = _mm_set1_pd(2.0);
    if constexpr (C == Comb::Set) return x;
    if constexpr (C == Comb::Add) return _mm_add_pd(d, x);
    if constexpr (C == Comb::Ring) return _mm_add_pd(x, _mm_mul_pd(_mm_mul_pd(two, d), x));
    if constexpr (C == Comb::AddT) return _mm_add_pd(x, t);
    if constexpr (C == Comb::AddXT) return _mm_add_pd(d, _mm_add_pd(x, t));
    if constexpr (C == Comb::TRing) return _mm_add_pd(x, _mm_mul_pd(_mm_mul_pd(two, t), x));
    if constexpr (C == Comb::AddTRing) return _mm_add_pd(d, _mm_add_pd(x, _mm_mul_pd(_mm_mul_pd(two, t), x)));
    if constexpr (C == Comb::TRingSum) {
        __m128d y = _mm_add_pd(d, x);
        return _mm_add_pd(y, _mm_mul_pd(_mm_mul_pd(two, t), y));
    }
    if constexpr (C == Comb::RingAddT) return _mm_add_pd(_mm_add_pd(x, _mm_mul_pd(_mm_mul_pd(two, d), x)), t);
}

// Two adjacent floats as two doubles.
inline __m128d LoadTwo(const float* p) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
inline void StoreTwo(float* p, __m128d v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

// Lookup at two positions (table steps), with the scalar Lookup's bits. For
// |steps| < 2^51, adding 1.5 * 2^52 rounds to an integer held in the low
// mantissa bits; one less where that rounded up gives the floor exactly.
// Other positions (and NaN) take the scalar path.
inline __m128d LookupTwo(const float* t, __m128d steps) {
    const __m128d magic = _mm_set1_pd(6755399441055744.0);  // 1.5 * 2^52
    const __m128d limit = _mm_set1_pd(2251799813685248.0);  // 2^51
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    if (_mm_movemask_pd(_mm_cmplt_pd(_mm_and_pd(steps, abs_mask), limit)) != 3) {
        double s[2];
        _mm_storeu_pd(s, steps);
        return _mm_set_pd(Lookup(t, s[1]), Lookup(t, s[0]));
    }
    __m128d biased = _mm_add_pd(steps, magic);
    __m128d rounded = _mm_sub_pd(biased, magic);
    __m128d up = _mm_cmpgt_pd(rounded, steps);  // all ones where rounding went up
    __m128d fl = _mm_sub_pd(rounded, _mm_and_pd(up, _mm_set1_pd(1.0)));
    __m128d f = _mm_sub_pd(steps, fl);
    __m128i n = _mm_add_epi64(_mm_castpd_si128(biased), _mm_castpd_si128(up));  // minus one where up
    const int j0 = _mm_cvtsi128_si32(n) & 511;
    const int j1 = _mm_cvtsi128_si32(_mm_unpackhi_epi64(n, n)) & 511;
    __m128d pair0 = LoadTwo(t + j0);
    __m128d pair1 = LoadTwo(t + j1);
    __m128d a = _mm_unpacklo_pd(pair0, pair1);
    __m128d b = _mm_unpackhi_pd(pair0, pair1);
    return _mm_add_pd(a, _mm_mul_pd(_mm_sub_pd(b, a), f));
}
#endif

// One operator in the block kind, unmodulated: 32-bit fixed-point phase, top
// 9 bits the table index, low 23 bits the fraction.
template <Comb C>
void RunBlockFixed(const float* t, double& phase, double inc, const float* level, float* dst,
                   const float* tbuf, int n) {
    uint32_t p = ToFixed(phase);
    const uint32_t step = ToFixed(inc);
    int i = 0;
#if defined(__SSE2__)
    // Samples are independent here (the phase is i * step), so two run at once.
    const __m128d scale = _mm_set1_pd(kTwoMinus23);
    for (; i + 1 < n; i += 2) {
        const uint32_t p0 = p, p1 = p + step;
        p = p1 + step;
        __m128d pair0 = LoadTwo(t + (p0 >> 23));  // t[j0], t[j0 + 1]
        __m128d pair1 = LoadTwo(t + (p1 >> 23));
        __m128d a = _mm_unpacklo_pd(pair0, pair1);
        __m128d b = _mm_unpackhi_pd(pair0, pair1);
        __m128i frac = _mm_set_epi32(0, 0, static_cast<int>(p1 & 0x7FFFFFu), static_cast<int>(p0 & 0x7FFFFFu));
        __m128d f = _mm_mul_pd(_mm_cvtepi32_pd(frac), scale);
        __m128d x = _mm_mul_pd(_mm_add_pd(a, _mm_mul_pd(_mm_sub_pd(b, a), f)), LoadTwo(level + i));
        StoreTwo(dst + i, CombineV<C>(x, LoadTwo(dst + i), LoadTwo(tbuf + i)));
    }
#endif
    for (; i < n; ++i) {
        uint32_t j = p >> 23;
        double f = static_cast<double>(p & 0x7FFFFFu) * kTwoMinus23;
        double a = t[j];
        double x = (a + (static_cast<double>(t[j + 1]) - a) * f) * level[i];
        dst[i] = static_cast<float>(Combine<C>(x, dst[i], tbuf[i]));
        p += step;
    }
    phase = static_cast<double>(static_cast<int32_t>(p)) * kTwoMinus32;
}

// One operator in the block kind, phase-modulated by `mod` (cycles).
template <Comb C>
void RunBlockModulated(const float* t, double& phase, double inc, const float* level, const float* mod,
                       float* dst, const float* tbuf, int n) {
    double phi = phase;
    int i = 0;
#if defined(__SSE2__)
    // The phase chain stays serial; the lookups of two samples run together.
    const __m128d steps = _mm_set1_pd(512.0);
    for (; i + 1 < n; i += 2) {
        const double phi0 = phi, phi1 = phi0 + inc;
        phi = phi1 + inc;
        __m128d pos = _mm_mul_pd(_mm_add_pd(_mm_set_pd(phi1, phi0), LoadTwo(mod + i)), steps);
        __m128d x = _mm_mul_pd(LookupTwo(t, pos), LoadTwo(level + i));
        StoreTwo(dst + i, CombineV<C>(x, LoadTwo(dst + i), LoadTwo(tbuf + i)));
    }
#endif
    for (; i < n; ++i) {
        double x = Lookup(t, (phi + mod[i]) * 512.0) * level[i];
        dst[i] = static_cast<float>(Combine<C>(x, dst[i], tbuf[i]));
        phi += inc;
    }
    phase = phi - std::floor(phi);
}

// One operator in the realtime kind: phase in table steps, advanced per
// sample by I[i] * Tuning[i]; `mod` is null for an unmodulated operator.
template <Comb C, bool Modulated>
void RunRealtime(const float* t, double& phase, const float* incs, const float* tuning, const float* level,
                 const float* mod, float* dst, const float* tbuf, int n) {
    double p = phase * 512.0;
    int i = 0;
#if defined(__SSE2__)
    // The phase chain stays serial; the lookups of two samples run together.
    const __m128d steps = _mm_set1_pd(512.0);
    for (; i + 1 < n; i += 2) {
        const double p0 = p;
        const double p1 = p0 + static_cast<double>(incs[i]) * tuning[i];
        p = p1 + static_cast<double>(incs[i + 1]) * tuning[i + 1];
        __m128d pos = _mm_set_pd(p1, p0);
        if constexpr (Modulated) pos = _mm_add_pd(pos, _mm_mul_pd(LoadTwo(mod + i), steps));
        __m128d x = _mm_mul_pd(LookupTwo(t, pos), LoadTwo(level + i));
        StoreTwo(dst + i, CombineV<C>(x, LoadTwo(dst + i), LoadTwo(tbuf + i)));
    }
#endif
    for (; i < n; ++i) {
        double pos = p;
        if constexpr (Modulated) pos += static_cast<double>(mod[i]) * 512.0;
        double x = Lookup(t, pos) * level[i];
        dst[i] = static_cast<float>(Combine<C>(x, dst[i], tbuf[i]));
        p += static_cast<double>(incs[i]) * tuning[i];
    }
    double cycles = p / 512.0;
    phase = cycles - std::floor(cycles);
}

inline bool IsPositiveZero(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits == 0;
}

// A phase that is no longer a finite number restarts at 0, so one bad input
// sample does not silence the operator for good.
inline void KeepFinite(double& phase) {
    if (!std::isfinite(phase)) phase = 0.0;
}

}  // namespace

void Module::SetDriftInterval(int choice) {
    // Seconds of each choice as a fraction num/den.
    static const int kSeconds[15][2] = {{1, 100}, {1, 50}, {1, 25}, {1, 10}, {1, 5}, {1, 3}, {1, 2}, {1, 1},
                                        {2, 1},   {3, 1},  {4, 1},  {6, 1},  {10, 1}, {20, 1}, {40, 1}};
    if (choice >= 0 && choice < 15) {
        double samples = static_cast<double>(SampleRate()) * kSeconds[choice][0] / kSeconds[choice][1];
        m_drift_interval = samples < 2147483647.0 ? static_cast<int32_t>(samples) : 2147483647;
    }
    if (m_drift_interval < m_block_size) m_drift_interval = m_block_size;
    m_drift_blocks = m_drift_interval / m_block_size;
    m_drift_next = static_cast<uint32_t>(SampleClock());
}

float Module::DriftStep(int bufferOffset) {
    if (m_drift_gate == 0.0f) return 1.0f;
    const uint32_t now = static_cast<uint32_t>(SampleClock());
    if (now >= m_drift_next) {
        m_drift_next = now + static_cast<uint32_t>(m_drift_interval);
        g_drift_random = g_drift_random * 196314165u + 907633515u;
        float r = static_cast<float>(static_cast<double>(static_cast<int32_t>(g_drift_random)) *
                                     static_cast<double>(6.984919e-12f));
        m_drift_target = static_cast<float>(static_cast<double>(r) * m_drift_depth[bufferOffset] + 1.0);
        // At least one block per glide (an interval shorter than a block at open).
        int32_t blocks = m_drift_blocks > 0 ? m_drift_blocks : 1;
        m_drift_step = std::fabs(m_drift_target - m_drift) / static_cast<float>(blocks);
    }
    if (m_drift < m_drift_target) {
        m_drift += m_drift_step;
        if (m_drift > m_drift_target) m_drift = m_drift_target;
    } else {
        m_drift -= m_drift_step;
        if (m_drift < m_drift_target) m_drift = m_drift_target;
    }
    return m_drift;
}

bool Module::TablesReady() const {
    for (const float* t : m_table)
        if (t == nullptr) return false;
    return true;
}

// Table of each operator for the call, from the reference frequency at the
// call's first sample.
void Module::ChooseTables(int bufferOffset, CallTables& out) {
    float tenF = 0.0f;  // 10 x reference frequency (Hz)
    if (m_limit_system != LIMIT_OFF) {
        float u = (m_limit_system == LIMIT_B ? m_root_ref : m_root_pitch)[bufferOffset];
        double hz;
        switch (m_pitch_mode) {
            case PITCH_OCT:
                hz = HzTableLookup(u);
                break;
            case PITCH_KHZ:
                hz = static_cast<double>(u) * 10000.0;
                break;
            default:
                hz = static_cast<double>(u) * 10.0;
                break;
        }
        tenF = static_cast<float>(10.0 * hz);
    }
    for (int k = 0; k < kOperators; ++k) {
        int32_t h = m_harmonics[k];
        out.removed[k] = false;
        if (m_limit_system != LIMIT_OFF) {
            double fk = static_cast<double>(tenF) * m_tuning[k][bufferOffset];
            if (k > 0 && m_remove_root != 0 && fk >= m_limit_hz) {
                out.removed[k] = true;
                out.table[k] = nullptr;
                continue;
            }
            h = HarmonicsForLimit(m_limit_hz, fk, h);
        }
        out.table[k] = m_table_is_sine[k] ? m_table[k] : m_table[k] + static_cast<size_t>(h - 1) * kTableStride;
    }
}

template <int Index, int S, bool Realtime>
void Module::RunStep(const CallTables& tables, double rootInc, int offset, int n) {
    constexpr Step st = kAlgorithms[Index].step[S];
    constexpr Alt zeroAlt = ZeroLevelAlt(Index, S);
    constexpr Alt removedAlt = RemovedAlt(Index, S, Realtime);

    float* const o = m_out + offset;
    float* const t = m_temp_buffer + offset;
    float* const dst = st.dst == Buf::O ? o : t;

    Alt alt = Alt::Run;
    if (zeroAlt != Alt::Run && IsPositiveZero(m_level_static[S])) {
        alt = zeroAlt;
    } else if (S > 0 && tables.removed[S]) {
        alt = removedAlt;
    }
    switch (alt) {
        case Alt::Run:
            break;
        case Alt::Nothing:
            return;
        case Alt::Zero:
            for (int i = 0; i < n; ++i) dst[i] = 0.0f;
            return;
        case Alt::TRingO:
            for (int i = 0; i < n; ++i) {
                double y = o[i];
                o[i] = static_cast<float>(y + 2.0 * static_cast<double>(t[i]) * y);
            }
            return;
        case Alt::AddTO:
            for (int i = 0; i < n; ++i) o[i] = static_cast<float>(static_cast<double>(o[i]) + t[i]);
            return;
    }

    const float* table = tables.table[S];
    const float* level = m_level[S] + offset;
    const float* mod = st.mod == Mod::O ? o : (st.mod == Mod::T ? t : nullptr);
    if constexpr (Realtime) {
        const float* incs = m_inc_buffer + offset;
        const float* tuning = m_tuning[S] + offset;
        if constexpr (st.mod == Mod::None) {
            RunRealtime<st.comb, false>(table, m_phase[S], incs, tuning, level, nullptr, dst, t, n);
        } else {
            RunRealtime<st.comb, true>(table, m_phase[S], incs, tuning, level, mod, dst, t, n);
        }
    } else {
        double inc = rootInc * m_tuning[S][offset];
        if constexpr (st.mod == Mod::None) {
            RunBlockFixed<st.comb>(table, m_phase[S], inc, level, dst, t, n);
        } else {
            RunBlockModulated<st.comb>(table, m_phase[S], inc, level, mod, dst, t, n);
        }
    }
    KeepFinite(m_phase[S]);
}

template <int Index, bool Realtime>
void Module::RunAlgorithm(int offset, int n) {
    if (!TablesReady()) {
        // No table directory yet: silence, phases and drift untouched.
        for (int i = 0; i < n; ++i) m_out[offset + i] = 0.0f;
        return;
    }
    const float drift = DriftStep(offset);
    const bool drifting = m_drift_gate != 0.0f;
    double rootInc = 0.0;
    if constexpr (!Realtime) {
        double inc = m_increment;
        if (m_pitch_streaming) {
            float v = m_root_pitch[offset];
            inc = m_pitch_mode == PITCH_OCT ? OctIncrementNearest(v)
                                            : static_cast<double>(v) * m_linear_factor;
        }
        if (drifting) inc *= drift;
        rootInc = inc * 10.0;
    }
    CallTables tables;
    ChooseTables(offset, tables);
    if constexpr (Realtime) {
        const double m = drifting ? 5120.0 * m_drift : 5120.0;
        const float* v = m_root_pitch + offset;
        float* incs = m_inc_buffer + offset;
        if (m_pitch_mode == PITCH_OCT) {
            for (int i = 0; i < n; ++i) incs[i] = static_cast<float>(OctIncrementDown(v[i]) * m);
        } else {
            const double g = m_linear_factor;
            for (int i = 0; i < n; ++i) incs[i] = static_cast<float>(static_cast<double>(v[i]) * g * m);
        }
    }
    RunStep<Index, 0, Realtime>(tables, rootInc, offset, n);
    RunStep<Index, 1, Realtime>(tables, rootInc, offset, n);
    RunStep<Index, 2, Realtime>(tables, rootInc, offset, n);
    RunStep<Index, 3, Realtime>(tables, rootInc, offset, n);
}

template <int Index>
void Module::ProcessAlgorithmBlock(int bufferOffset, int sampleFrames) {
    RunAlgorithm<Index, false>(bufferOffset, sampleFrames);
}

template <int Index>
void Module::ProcessAlgorithmRealtime(int bufferOffset, int sampleFrames) {
    RunAlgorithm<Index, true>(bufferOffset, sampleFrames);
}

namespace {

using Install = void (*)(Module&);

struct RoutineEntry {
    Module::Routine block;
    Module::Routine realtime;
    Install install_block;
    Install install_realtime;
};

template <int I>
constexpr RoutineEntry MakeEntry() {
    return {&Module::ProcessAlgorithmBlock<I>, &Module::ProcessAlgorithmRealtime<I>,
            [](Module& m) { m.SetProcessFunction<&Module::ProcessAlgorithmBlock<I>>(); },
            [](Module& m) { m.SetProcessFunction<&Module::ProcessAlgorithmRealtime<I>>(); }};
}

template <int... I>
constexpr auto MakeRoutineTable(std::integer_sequence<int, I...>) {
    return std::array<RoutineEntry, sizeof...(I)>{MakeEntry<I>()...};
}

const auto kRoutines = MakeRoutineTable(std::make_integer_sequence<int, kAlgorithmCount>{});
}  // namespace

Module::Routine Module::DirectRoutine(int value, bool realtime) {
    int index = AlgorithmIndex(value);
    if (index < 0) return nullptr;
    return realtime ? kRoutines[index].realtime : kRoutines[index].block;
}

bool Module::InstallDirect(int value, bool realtime) {
    int index = AlgorithmIndex(value);
    if (index < 0) return false;
    (realtime ? kRoutines[index].install_realtime : kRoutines[index].install_block)(*this);
    return true;
}

}  // namespace fm_oscillator
