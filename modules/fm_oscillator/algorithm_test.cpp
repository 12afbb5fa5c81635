// Every specialised algorithm routine, in both kinds, against a small generic
// reference that reads the algorithm steps as text and interprets them per
// sample in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_harness.h"

using namespace fm_oscillator;

namespace {

// The algorithms as written for the user: "<-" assigns, "(+)" is the
// ring-additive s (+) y = y + 2*s*y, X[O] is operator X phase-modulated by O.
// The last field lists the operators whose step a static level of +0.0
// shortens.
struct AlgorithmText {
    int value;
    const char* steps;
    const char* zero;
};

const AlgorithmText kText[] = {
    {0, "O<-A; O<-O+B; O<-O+C; O<-O+D", "ABCD"},
    {1, "O<-A; O<-O+B; O<-O+C; O<-O(+)D", "ABC"},
    {2, "O<-A; O<-O+B; O<-O+C; O<-D[O]", "ABC"},
    {3, "O<-A; O<-O+B; O<-C[O]; O<-O+D", "ABD"},
    {4, "O<-A; O<-O+B; O<-C[O]; O<-O(+)D", "AB"},
    {5, "O<-A; O<-O+B; O<-C[O]; O<-D[O]", "AB"},
    {6, "O<-A; O<-O+B; O<-O(+)C; O<-O+D", "ABD"},
    {7, "O<-A; O<-O+B; O<-O(+)C; O<-O(+)D", "AB"},
    {8, "O<-A; O<-O+B; O<-O(+)C; O<-D[O]", "AB"},
    {9, "O<-A; O<-B[O]; O<-O+C; O<-O+D", "ACD"},
    {10, "O<-A; O<-B[O]; O<-O+C; O<-O(+)D", "AC"},
    {11, "O<-A; O<-B[O]; O<-O+C; O<-D[O]", "AC"},
    {12, "O<-A; O<-B[O]; O<-C[O]; O<-O+D", "AD"},
    {13, "O<-A; O<-B[O]; O<-C[O]; O<-O(+)D", "A"},
    {14, "O<-A; O<-B[O]; O<-C[O]; O<-D[O]", "A"},
    {15, "O<-A; O<-B[O]; O<-O(+)C; O<-O+D", "AD"},
    {16, "O<-A; O<-B[O]; O<-O(+)C; O<-D[O]", "A"},
    {17, "O<-A; O<-B[O]; O<-O(+)C; O<-O(+)D", "A"},
    {18, "O<-A; O<-O(+)B; O<-O+C; O<-O+D", "ACD"},
    {19, "O<-A; O<-O(+)B; O<-O+C; O<-O(+)D", "AC"},
    {20, "O<-A; O<-O(+)B; O<-O+C; O<-D[O]", "AC"},
    {21, "O<-A; O<-O(+)B; O<-C[O]; O<-O+D", "AD"},
    {22, "O<-A; O<-O(+)B; O<-C[O]; O<-O(+)D", "A"},
    {23, "O<-A; O<-O(+)B; O<-C[O]; O<-D[O]", "A"},
    {24, "O<-A; O<-O(+)B; O<-O(+)C; O<-O+D", "AD"},
    {25, "O<-A; O<-O(+)B; O<-O(+)C; O<-D[O]", "A"},
    {26, "O<-A; O<-O(+)B; O<-O(+)C; O<-O(+)D", "A"},
    {50, "T<-A; T<-T+B; O<-C; O<-T(+)(O+D)", "ABCD"},
    {51, "T<-A; T<-B[T]; O<-C; O<-D[O]+T", "AC"},
    {52, "T<-A; T<-T(+)B; O<-C; O<-(O(+)D)+T", "AC"},
    {53, "T<-A; T<-T(+)B; O<-C; O<-D[O]+T", "AC"},
    {54, "T<-A; T<-B[T]; O<-C; O<-T(+)D[O]", "AC"},
    {55, "T<-A; T<-T(+)B; O<-C; O<-T(+)D[O]", "AC"},
    {80, "T<-A; O<-B[T]; O<-O+C[T]; O<-O+D", "ABCD"},
    {81, "T<-A; O<-B[T]; O<-O+C[T]; O<-O+D[T]", "ABCD"},
    {82, "T<-A; O<-B[T]; O<-O+(T(+)C); O<-O+D", "ABCD"},
    {83, "T<-A; O<-B[T]; O<-O+(T(+)C); O<-O+D[T]", "ABCD"},
    {84, "T<-A; O<-B[T]; O<-O+(T(+)C); O<-O+(T(+)D)", "ABCD"},
    {85, "T<-A; O<-T(+)B; O<-O+(T(+)C); O<-O+D", "ABCD"},
    {86, "T<-A; O<-T(+)B; O<-O+(T(+)C); O<-O+(T(+)D)", "ABCD"},
    {87, "T<-A; O<-B+T; O<-O+C[T]; O<-O+D", "ACD"},
    {88, "T<-A; O<-B+T; O<-O+(T(+)C); O<-O+D", "ACD"},
    {89, "T<-A; O<-B+T; O<-O+C[T]; O<-O+D[T]", "ACD"},
    {90, "T<-A; O<-B+T; O<-O+(T(+)C); O<-O+(T(+)D)", "ACD"},
    {91, "T<-A; O<-B+T; O<-O+C[T]; O<-O+(T(+)D)", "ACD"},
    {100, "T<-A; T<-T+B; O<-C[T]; O<-O+(D+T)", "ABC"},
    {101, "T<-A; T<-T+B; O<-C[T]; O<-O+D[T]", "ABCD"},
    {102, "T<-A; T<-T+B; O<-C[T]; O<-O+(T(+)D)", "ABCD"},
    {103, "T<-A; T<-T+B; O<-T(+)C; O<-O+(T(+)D)", "ABCD"},
    {104, "T<-A; T<-B[T]; O<-C[T]; O<-O+(D+T)", "AC"},
    {105, "T<-A; T<-B[T]; O<-C[T]; O<-O+D[T]", "ACD"},
    {106, "T<-A; T<-B[T]; O<-C[T]; O<-O+(T(+)D)", "ACD"},
    {107, "T<-A; T<-B[T]; O<-T(+)C; O<-O+(T(+)D)", "ACD"},
    {108, "T<-A; T<-T(+)B; O<-C[T]; O<-O+(D+T)", "AC"},
    {109, "T<-A; T<-T(+)B; O<-C[T]; O<-O+D[T]", "ACD"},
    {110, "T<-A; T<-T(+)B; O<-C[T]; O<-O+(T(+)D)", "ACD"},
    {111, "T<-A; T<-T(+)B; O<-T(+)C; O<-O+(T(+)D)", "ACD"},
};

// ---- A tiny parser and interpreter of the step text ------------------------

struct Node {
    enum Kind { Buffer, Operator, Add, Ring } kind;
    char name = 0;  // 'O' / 'T' for Buffer; 'A'..'D' for Operator
    char mod = 0;   // Operator: 0, 'O' or 'T'
    std::unique_ptr<Node> l, r;
};

class Parser {
public:
    explicit Parser(const std::string& s) : m_s(s) {}
    std::unique_ptr<Node> Expr() {
        auto left = Term();
        for (;;) {
            if (Peek("(+)")) {
                m_i += 3;
                left = Bin(Node::Ring, std::move(left), Term());
            } else if (Peek("+")) {
                m_i += 1;
                left = Bin(Node::Add, std::move(left), Term());
            } else {
                return left;
            }
        }
    }

private:
    bool Peek(const char* t) const { return m_s.compare(m_i, std::strlen(t), t) == 0; }
    static std::unique_ptr<Node> Bin(Node::Kind k, std::unique_ptr<Node> l, std::unique_ptr<Node> r) {
        auto n = std::make_unique<Node>();
        n->kind = k;
        n->l = std::move(l);
        n->r = std::move(r);
        return n;
    }
    std::unique_ptr<Node> Term() {
        auto n = std::make_unique<Node>();
        char c = m_s[m_i];
        if (c == '(') {
            ++m_i;
            auto e = Expr();
            ++m_i;  // ')'
            return e;
        }
        ++m_i;
        n->name = c;
        if (c == 'O' || c == 'T') {
            n->kind = Node::Buffer;
        } else {
            n->kind = Node::Operator;
            if (m_i < m_s.size() && m_s[m_i] == '[') {
                n->mod = m_s[m_i + 1];
                m_i += 3;
            }
        }
        return n;
    }
    std::string m_s;
    size_t m_i = 0;
};

struct RefStep {
    char dst;
    char op;  // operator of the step
    std::unique_ptr<Node> expr;
};

char FindOperator(const Node& n) {
    if (n.kind == Node::Operator) return n.name;
    if (n.kind == Node::Buffer) return 0;
    char a = FindOperator(*n.l);
    return a ? a : FindOperator(*n.r);
}

std::vector<RefStep> ParseSteps(const std::string& text) {
    std::vector<RefStep> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string s;
        for (size_t i = start; i < end; ++i)
            if (text[i] != ' ') s += text[i];
        RefStep st;
        st.dst = s[0];
        st.expr = Parser(s.substr(3)).Expr();
        st.op = FindOperator(*st.expr);
        out.push_back(std::move(st));
        start = end + 1;
    }
    return out;
}

// The reference oscillator: the same inputs as the module, everything in
// double precision, phases in cycles.
struct Reference {
    int value = 0;
    std::vector<RefStep> steps;
    std::string zero;
    double phase[4] = {};
    std::vector<double> o, t;

    Reference(const AlgorithmText& a, int n) : value(a.value), steps(ParseSteps(a.steps)), zero(a.zero), o(n), t(n) {}

    struct Inputs {
        const float* table[4];           // null: operator removed for the call
        const float* level[4];           // per sample
        bool level_static_zero[4];       // static level of exactly +0.0
        std::vector<double> inc[4];      // cycles per sample of each operator
    };

    static double Lookup(const float* tab, double cycles) {
        double p = cycles * 512.0;
        double fl = std::floor(p);
        int j = static_cast<int>(static_cast<int64_t>(fl) & 511);
        return tab[j] + (static_cast<double>(tab[j + 1]) - tab[j]) * (p - fl);
    }

    double Eval(const Node& n, int i, double x) const {
        switch (n.kind) {
            case Node::Buffer:
                return n.name == 'O' ? o[i] : t[i];
            case Node::Operator:
                return x;
            case Node::Add:
                return Eval(*n.l, i, x) + Eval(*n.r, i, x);
            case Node::Ring: {
                double s = Eval(*n.l, i, x), y = Eval(*n.r, i, x);
                return y + 2.0 * s * y;
            }
        }
        return 0.0;
    }
    static const Node* FindOp(const Node& n) {
        if (n.kind == Node::Operator) return &n;
        if (n.kind == Node::Buffer) return nullptr;
        const Node* a = FindOp(*n.l);
        return a ? a : FindOp(*n.r);
    }

    // Runs samples [from, from + n) of the buffers; `realtime` picks the
    // replacement rules of a removed operator's step.
    void Run(const Inputs& in, int from, int n, bool realtime) {
        bool written[2] = {false, false};
        for (size_t s = 0; s < steps.size(); ++s) {
            const RefStep& st = steps[s];
            int k = st.op - 'A';
            std::vector<double>& dst = st.dst == 'O' ? o : t;
            bool first = !written[st.dst == 'O'];
            written[st.dst == 'O'] = true;
            bool listed = zero.find(st.op) != std::string::npos;
            enum { Run, Nothing, Zero, TRingO, AddTO } what = Run;
            if (listed && in.level_static_zero[k]) {
                what = first ? Zero : (value == 50 && s == 3 ? TRingO : Nothing);
            } else if (in.table[k] == nullptr) {
                if (first) {
                    what = Zero;
                } else if (s == 3 && value >= 50 && value <= 55 && realtime) {
                    what = (value == 50 || value == 54 || value == 55) ? TRingO : AddTO;
                } else {
                    what = Nothing;
                }
            }
            for (int i = from; i < from + n; ++i) {
                switch (what) {
                    case Run: {
                        const Node* op = FindOp(*st.expr);
                        double m = op->mod == 'O' ? o[i] : (op->mod == 'T' ? t[i] : 0.0);
                        double x = Lookup(in.table[k], phase[k] + m) * in.level[k][i - from];
                        phase[k] += in.inc[k][i - from];
                        dst[i] = Eval(*st.expr, i, x);
                        break;
                    }
                    case Nothing:
                        break;
                    case Zero:
                        dst[i] = 0.0;
                        break;
                    case TRingO:
                        o[i] = o[i] + 2.0 * t[i] * o[i];
                        break;
                    case AddTO:
                        o[i] = o[i] + t[i];
                        break;
                }
            }
        }
    }
};

// ---- The comparison ------------------------------------------------------------

enum class Scenario { Static, Streaming, ZeroLevel, Removed };

struct CaseSetup {
    Scenario scenario;
    int special;  // operator at zero level, or removed
};

constexpr int kBlock = 256;
constexpr float kRate = 48000.0f;

// Inputs of one block, per sample (Hz pitch mode: 1.0 is 10 Hz).
struct Block {
    std::vector<float> root, tuning[4], level[4];
};

Block MakeBlock(const CaseSetup& c, int blockIndex) {
    Block b;
    const float levels[4] = {0.8f, 0.6f, 0.7f, 0.9f};
    const float tunings[4] = {0.1f, 0.2f, 0.15f, 0.3f};
    b.root.resize(kBlock);
    for (int k = 0; k < 4; ++k) {
        b.tuning[k].assign(kBlock, tunings[k]);
        b.level[k].assign(kBlock, levels[k]);
    }
    for (int i = 0; i < kBlock; ++i) {
        double s = blockIndex * kBlock + i;
        b.root[i] = c.scenario == Scenario::Streaming ? static_cast<float>(30.0 + 10.0 * std::sin(s * 0.01)) : 35.0f;
        if (c.scenario == Scenario::Streaming) {
            b.tuning[1][i] = static_cast<float>(0.2 + 0.05 * std::sin(s * 0.023));
            b.level[2][i] = static_cast<float>(0.7 + 0.3 * std::cos(s * 0.031));
        }
    }
    if (c.scenario == Scenario::ZeroLevel) b.level[c.special].assign(kBlock, 0.0f);
    if (c.scenario == Scenario::Removed) b.tuning[c.special].assign(kBlock, 8.0f);  // 28 kHz, above the limit
    return b;
}

// Runs one algorithm in one kind through the module and the reference over
// three blocks cut into calls of uneven size; returns the largest difference.
double Compare(const AlgorithmText& a, bool realtime, const CaseSetup& c, std::string& where) {
    Harness h(kRate, kBlock);
    const TestDirectory& dir = TestDirectory::Shared();
    const int waveform[4] = {0, 1, 0, 5};
    const int harmonics[4] = {0, 3, 0, 5};  // choices: 4 and 6 harmonics
    h.SetChoice(PIN_ALGORITHM, a.value);
    h.SetChoice(PIN_PITCH_MODE, PITCH_HZ);
    h.SetChoice(PIN_ACCURACY, realtime ? 1 : 0);
    h.SetChoice(PIN_LIMIT_SYSTEM, c.scenario == Scenario::Removed ? LIMIT_A : LIMIT_OFF);
    h.SetChoice(PIN_REMOVE_ROOT, c.scenario == Scenario::Removed ? 1 : 0);
    for (int k = 0; k < 4; ++k) {
        h.SetChoice(PIN_WAVEFORM_A + k, waveform[k]);
        h.SetChoice(PIN_HARMONICS_A + k, harmonics[k]);
    }
    Block b0 = MakeBlock(c, 0);
    auto load = [&](const Block& b) {
        std::copy(b.root.begin(), b.root.end(), h.Buffer(PIN_ROOT_PITCH));
        std::copy(b.root.begin(), b.root.end(), h.Buffer(PIN_ROOT_REF));
        for (int k = 0; k < 4; ++k) {
            std::copy(b.tuning[k].begin(), b.tuning[k].end(), h.Buffer(PIN_TUNING_A + k));
            std::copy(b.level[k].begin(), b.level[k].end(), h.Buffer(PIN_LEVEL_A + k));
        }
    };
    load(b0);
    // Realtime routines run only while pitch or tuning streams.
    std::vector<int> streaming = {PIN_ROOT_PITCH, PIN_TUNING_A + 1, PIN_LEVEL_A + 2};
    if (c.scenario != Scenario::Streaming) streaming = realtime ? std::vector<int>{PIN_TUNING_A} : std::vector<int>{};
    h.StartWithTables(streaming);
    if (!h.InstalledRoutine(Module::DirectRoutine(a.value, realtime))) {
        where = "routine not installed";
        return 1e9;
    }

    Reference ref(a, 3 * kBlock);
    const double g = static_cast<double>(g_hz_factor);
    std::vector<double> module;
    const int cuts[] = {0, 100, 137, kBlock};
    for (int blk = 0; blk < 3; ++blk) {
        Block b = blk == 0 ? b0 : MakeBlock(c, blk);
        load(b);
        for (int ci = 0; ci + 1 < 4; ++ci) {
            int off = cuts[ci], n = cuts[ci + 1] - cuts[ci];
            h.Call(off, n);
            Reference::Inputs in;
            const float* tables[4];
            for (int k = 0; k < 4; ++k) {
                bool removed = c.scenario == Scenario::Removed && k == c.special;
                tables[k] = removed ? nullptr : dir.Table(waveform[k], harmonics[k] + 1);
                in.table[k] = tables[k];
                in.level[k] = b.level[k].data() + off;
                in.level_static_zero[k] = c.scenario == Scenario::ZeroLevel && k == c.special;
                in.inc[k].resize(n);
                for (int i = 0; i < n; ++i) {
                    // Block kind: pitch and tuning of the call's first sample.
                    int at = realtime ? off + i : off;
                    in.inc[k][i] = 10.0 * (b.root[at] * g) * b.tuning[k][at];
                }
            }
            ref.Run(in, blk * kBlock + off, n, realtime);
        }
        module.insert(module.end(), h.Out(), h.Out() + kBlock);
        h.NextBlock();
    }
    double worst = 0.0;
    for (size_t i = 0; i < module.size(); ++i) {
        double d = std::fabs(module[i] - ref.o[i]);
        if (!(d <= worst)) {
            worst = d;
            where = "sample " + std::to_string(i) + ": module " + std::to_string(module[i]) + ", reference " +
                    std::to_string(ref.o[i]);
        }
    }
    return worst;
}

// Float storage of O and T and the fixed-point phase differ from the double
// reference by far less than this; a wrong combination, buffer or phase
// differs by tenths.
constexpr double kTolerance = 2e-4;

TEST(AlgorithmEngine, StepTextMatchesEveryAlgorithmValue) {
    ASSERT_EQ(std::size(kText), static_cast<size_t>(kAlgorithmCount));
    for (int i = 0; i < kAlgorithmCount; ++i) EXPECT_EQ(kText[i].value, kAlgorithms[i].value);
}

TEST(AlgorithmEngine, EveryRoutineMatchesReference) {
    std::vector<CaseSetup> cases = {{Scenario::Static, 0}, {Scenario::Streaming, 0}};
    for (int k = 0; k < 4; ++k) cases.push_back({Scenario::ZeroLevel, k});
    for (int k = 1; k < 4; ++k) cases.push_back({Scenario::Removed, k});
    const char* names[] = {"static", "streaming", "zero level", "removed"};
    for (const AlgorithmText& a : kText) {
        for (bool realtime : {false, true}) {
            for (const CaseSetup& c : cases) {
                std::string where;
                double d = Compare(a, realtime, c, where);
                EXPECT_LT(d, kTolerance) << "algorithm " << a.value << (realtime ? " realtime" : " block") << ", "
                                         << names[static_cast<int>(c.scenario)] << " operator "
                                         << static_cast<char>('A' + c.special) << ": " << where;
            }
        }
    }
}

}  // namespace
