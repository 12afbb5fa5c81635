// The oscillator's 57 algorithms as data: four steps each, one per operator
// in the order A, B, C, D. The routines of algorithms.cpp are generated from
// this table at compile time, so every combination is fixed in its routine.
//
// A step writes buffer `dst` (O = Wave.Out, T = pin 32's buffer) for every
// sample of the call from the operator's sample x, read with its phase
// modulated by `mod` (none, O or T: 1.0 shifts the phase by one cycle).
// With d the old value of dst and t the value of T at the same sample, and
// s (+) y = y + 2*s*y the ring-additive combination:
#pragma once

#include <cstdint>

namespace fm_oscillator {

enum class Buf : uint8_t { O, T };
enum class Mod : uint8_t { None, O, T };
enum class Comb : uint8_t {
    Set,        // d = x
    Add,        // d = d + x
    Ring,       // d = d (+) x
    AddT,       // d = x + t
    AddXT,      // d = d + (x + t)
    TRing,      // d = t (+) x
    AddTRing,   // d = d + (t (+) x)
    TRingSum,   // d = t (+) (d + x)
    RingAddT,   // d = (d (+) x) + t
};

struct Step {
    Buf dst;
    Mod mod;
    Comb comb;
};

struct Algorithm {
    short value;       // list value of "Osc Algorithm"
    Step step[4];      // operators A, B, C, D
    uint8_t zero_mask; // operators (bit 0 = A) whose step a static level of +0.0 shortens
};

namespace steps {
constexpr Step SetO{Buf::O, Mod::None, Comb::Set};     // O <- X
constexpr Step AddO{Buf::O, Mod::None, Comb::Add};     // O <- O + X
constexpr Step RingO{Buf::O, Mod::None, Comb::Ring};   // O <- O (+) X
constexpr Step PmO{Buf::O, Mod::O, Comb::Set};         // O <- X[O]
constexpr Step SetT{Buf::T, Mod::None, Comb::Set};     // T <- X
constexpr Step AddT{Buf::T, Mod::None, Comb::Add};     // T <- T + X
constexpr Step RingT{Buf::T, Mod::None, Comb::Ring};   // T <- T (+) X
constexpr Step PmT{Buf::T, Mod::T, Comb::Set};         // T <- X[T]
constexpr Step OFromT{Buf::O, Mod::T, Comb::Set};      // O <- X[T]
constexpr Step AddOFromT{Buf::O, Mod::T, Comb::Add};   // O <- O + X[T]
constexpr Step OTRing{Buf::O, Mod::None, Comb::TRing}; // O <- T (+) X
constexpr Step OAddTRing{Buf::O, Mod::None, Comb::AddTRing};  // O <- O + (T (+) X)
constexpr Step OPlusT{Buf::O, Mod::None, Comb::AddT};  // O <- X + T
constexpr Step OAddXT{Buf::O, Mod::None, Comb::AddXT}; // O <- O + (X + T)
constexpr Step OTRingSum{Buf::O, Mod::None, Comb::TRingSum};  // O <- T (+) (O + X)
constexpr Step PmOPlusT{Buf::O, Mod::O, Comb::AddT};   // O <- X[O] + T
constexpr Step ORingAddT{Buf::O, Mod::None, Comb::RingAddT};  // O <- (O (+) X) + T
constexpr Step TRingPmO{Buf::O, Mod::O, Comb::TRing};  // O <- T (+) X[O]
}  // namespace steps

constexpr uint8_t A = 1, B = 2, C = 4, D = 8;

// clang-format off
inline constexpr Algorithm kAlgorithms[] = {
    {0,   {steps::SetO, steps::AddO, steps::AddO, steps::AddO},   A | B | C | D},  // A+B+C+D
    {1,   {steps::SetO, steps::AddO, steps::AddO, steps::RingO},  A | B | C},      // (A+B+C)*D
    {2,   {steps::SetO, steps::AddO, steps::AddO, steps::PmO},    A | B | C},      // (A+B+C)>D
    {3,   {steps::SetO, steps::AddO, steps::PmO,  steps::AddO},   A | B | D},      // (A+B)>C+D
    {4,   {steps::SetO, steps::AddO, steps::PmO,  steps::RingO},  A | B},          // ((A+B)>C)*D
    {5,   {steps::SetO, steps::AddO, steps::PmO,  steps::PmO},    A | B},          // (A+B)>C>D
    {6,   {steps::SetO, steps::AddO, steps::RingO, steps::AddO},  A | B | D},      // (A+B)*C+D
    {7,   {steps::SetO, steps::AddO, steps::RingO, steps::RingO}, A | B},          // (A+B)*C*D
    {8,   {steps::SetO, steps::AddO, steps::RingO, steps::PmO},   A | B},          // ((A+B)*C)>D
    {9,   {steps::SetO, steps::PmO,  steps::AddO, steps::AddO},   A | C | D},      // (A>B)+C+D
    {10,  {steps::SetO, steps::PmO,  steps::AddO, steps::RingO},  A | C},          // ((A>B)+C)*D
    {11,  {steps::SetO, steps::PmO,  steps::AddO, steps::PmO},    A | C},          // ((A>B)+C)>D
    {12,  {steps::SetO, steps::PmO,  steps::PmO,  steps::AddO},   A | D},          // (A>B)>C+D
    {13,  {steps::SetO, steps::PmO,  steps::PmO,  steps::RingO},  A},              // (A>B>C)*D
    {14,  {steps::SetO, steps::PmO,  steps::PmO,  steps::PmO},    A},              // A>B>C>D
    {15,  {steps::SetO, steps::PmO,  steps::RingO, steps::AddO},  A | D},          // (A>B)*C+D
    {16,  {steps::SetO, steps::PmO,  steps::RingO, steps::PmO},   A},              // ((A>B)*C)>D
    {17,  {steps::SetO, steps::PmO,  steps::RingO, steps::RingO}, A},              // (A>B)*C*D
    {18,  {steps::SetO, steps::RingO, steps::AddO, steps::AddO},  A | C | D},      // (A*B)+C+D
    {19,  {steps::SetO, steps::RingO, steps::AddO, steps::RingO}, A | C},          // ((A*B)+C)*D
    {20,  {steps::SetO, steps::RingO, steps::AddO, steps::PmO},   A | C},          // ((A*B)+C)>D
    {21,  {steps::SetO, steps::RingO, steps::PmO,  steps::AddO},  A | D},          // ((A*B)>C)+D
    {22,  {steps::SetO, steps::RingO, steps::PmO,  steps::RingO}, A},              // ((A*B)>C)*D
    {23,  {steps::SetO, steps::RingO, steps::PmO,  steps::PmO},   A},              // (A*B)>C>D
    {24,  {steps::SetO, steps::RingO, steps::RingO, steps::AddO}, A | D},          // A*B*C+D
    {25,  {steps::SetO, steps::RingO, steps::RingO, steps::PmO},  A},              // (A*B*C)>D
    {26,  {steps::SetO, steps::RingO, steps::RingO, steps::RingO}, A},             // A*B*C*D
    {50,  {steps::SetT, steps::AddT,  steps::SetO, steps::OTRingSum}, A | B | C | D},  // (A+B)*(C+D)
    {51,  {steps::SetT, steps::PmT,   steps::SetO, steps::PmOPlusT},  A | C},          // (A>B)+(C>D)
    {52,  {steps::SetT, steps::RingT, steps::SetO, steps::ORingAddT}, A | C},          // (A*B)+(C*D)
    {53,  {steps::SetT, steps::RingT, steps::SetO, steps::PmOPlusT},  A | C},          // (A*B)+(C>D)
    {54,  {steps::SetT, steps::PmT,   steps::SetO, steps::TRingPmO},  A | C},          // (A>B)*(C>D)
    {55,  {steps::SetT, steps::RingT, steps::SetO, steps::TRingPmO},  A | C},          // (A*B)*(C>D)
    {80,  {steps::SetT, steps::OFromT, steps::AddOFromT, steps::AddO},      A | B | C | D},  // (A>B)+(A>C)+D
    {81,  {steps::SetT, steps::OFromT, steps::AddOFromT, steps::AddOFromT}, A | B | C | D},  // (A>B)+(A>C)+(A>D)
    {82,  {steps::SetT, steps::OFromT, steps::OAddTRing, steps::AddO},      A | B | C | D},  // (A>B)+(A*C)+D
    {83,  {steps::SetT, steps::OFromT, steps::OAddTRing, steps::AddOFromT}, A | B | C | D},  // (A>B)+(A*C)+(A>D)
    {84,  {steps::SetT, steps::OFromT, steps::OAddTRing, steps::OAddTRing}, A | B | C | D},  // (A>B)+(A*C)+(A*D)
    {85,  {steps::SetT, steps::OTRing, steps::OAddTRing, steps::AddO},      A | B | C | D},  // (A*B)+(A*C)+D
    {86,  {steps::SetT, steps::OTRing, steps::OAddTRing, steps::OAddTRing}, A | B | C | D},  // (A*B)+(A*C)+(A*D)
    {87,  {steps::SetT, steps::OPlusT, steps::AddOFromT, steps::AddO},      A | C | D},      // (A+B)+(A>C)+D
    {88,  {steps::SetT, steps::OPlusT, steps::OAddTRing, steps::AddO},      A | C | D},      // (A+B)+(A*C)+D
    {89,  {steps::SetT, steps::OPlusT, steps::AddOFromT, steps::AddOFromT}, A | C | D},      // (A+B)+(A>C)+(A>D)
    {90,  {steps::SetT, steps::OPlusT, steps::OAddTRing, steps::OAddTRing}, A | C | D},      // (A+B)+(A*C)+(A*D)
    {91,  {steps::SetT, steps::OPlusT, steps::AddOFromT, steps::OAddTRing}, A | C | D},      // (A+B)+(A>C)+(A*D)
    {100, {steps::SetT, steps::AddT,  steps::OFromT, steps::OAddXT},     A | B | C},      // ((A+B)>C)+((A+B)+D)
    {101, {steps::SetT, steps::AddT,  steps::OFromT, steps::AddOFromT},  A | B | C | D},  // ((A+B)>C)+((A+B)>D)
    {102, {steps::SetT, steps::AddT,  steps::OFromT, steps::OAddTRing},  A | B | C | D},  // ((A+B)>C)+((A+B)*D)
    {103, {steps::SetT, steps::AddT,  steps::OTRing, steps::OAddTRing},  A | B | C | D},  // ((A+B)*C)+((A+B)*D)
    {104, {steps::SetT, steps::PmT,   steps::OFromT, steps::OAddXT},     A | C},          // ((A>B)>C)+((A>B)+D)
    {105, {steps::SetT, steps::PmT,   steps::OFromT, steps::AddOFromT},  A | C | D},      // ((A>B)>C)+((A>B)>D)
    {106, {steps::SetT, steps::PmT,   steps::OFromT, steps::OAddTRing},  A | C | D},      // ((A>B)>C)+((A>B)*D)
    {107, {steps::SetT, steps::PmT,   steps::OTRing, steps::OAddTRing},  A | C | D},      // ((A>B)*C)+((A>B)*D)
    {108, {steps::SetT, steps::RingT, steps::OFromT, steps::OAddXT},     A | C},          // ((A*B)>C)+((A*B)+D)
    {109, {steps::SetT, steps::RingT, steps::OFromT, steps::AddOFromT},  A | C | D},      // ((A*B)>C)+((A*B)>D)
    {110, {steps::SetT, steps::RingT, steps::OFromT, steps::OAddTRing},  A | C | D},      // ((A*B)>C)+((A*B)*D)
    {111, {steps::SetT, steps::RingT, steps::OTRing, steps::OAddTRing},  A | C | D},      // ((A*B)*C)+((A*B)*D)
};
// clang-format on

inline constexpr int kAlgorithmCount = sizeof(kAlgorithms) / sizeof(kAlgorithms[0]);
static_assert(kAlgorithmCount == 57, "57 algorithms");

// What a step does instead of running its operator, for the call.
enum class Alt : uint8_t {
    Run,       // the operator runs
    Nothing,   // dst keeps its value
    Zero,      // dst is filled with 0.0
    TRingO,    // O <- T (+) O
    AddTO,     // O <- O + T
};

// True when no earlier step of the algorithm writes the step's buffer.
constexpr bool FirstWrite(int index, int s) {
    for (int e = 0; e < s; ++e)
        if (kAlgorithms[index].step[e].dst == kAlgorithms[index].step[s].dst) return false;
    return true;
}

// Replacement of a step whose operator has a static level of exactly +0.0;
// Run for an operator the algorithm does not shorten.
constexpr Alt ZeroLevelAlt(int index, int s) {
    if ((kAlgorithms[index].zero_mask & (1u << s)) == 0) return Alt::Run;
    if (FirstWrite(index, s)) return Alt::Zero;
    if (kAlgorithms[index].value == 50 && s == 3) return Alt::TRingO;
    return Alt::Nothing;
}

// Replacement of a step whose operator (B, C or D) lies above the frequency
// limit with root removal on. The final steps of 50 to 55 keep their
// combination with T in the realtime kind only.
constexpr Alt RemovedAlt(int index, int s, bool realtime) {
    if (FirstWrite(index, s)) return Alt::Zero;
    if (realtime) {
        switch (kAlgorithms[index].step[s].comb) {
            case Comb::TRing:
            case Comb::TRingSum:
                return Alt::TRingO;
            case Comb::AddT:
            case Comb::RingAddT:
                return Alt::AddTO;
            default:
                break;
        }
    }
    return Alt::Nothing;
}

// Position of list value `value` in kAlgorithms, or -1.
constexpr int AlgorithmIndex(int value) {
    for (int i = 0; i < kAlgorithmCount; ++i)
        if (kAlgorithms[i].value == value) return i;
    return -1;
}

}  // namespace fm_oscillator
