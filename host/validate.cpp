#include "validate.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "library.h"

namespace kvhost {

namespace {

// ---- Numbers and randomness --------------------------------------------------

// Output buffers are pre-filled with this NaN before every call: a sample
// still holding it afterwards was not written. Guard words around every
// buffer hold a second NaN pattern that only a stray write changes.
constexpr uint32_t kSentinelBits = 0x7FC0DEADu;
constexpr uint32_t kGuardBits = 0x7FC0BEEFu;
constexpr int kGuardWords = 16;

float FromBits(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

uint32_t Bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// splitmix64: small, fast and the same on every platform.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t Next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int n) { return n <= 0 ? 0 : static_cast<int>(Next() % static_cast<uint64_t>(n)); }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    bool Chance(double p) { return Unit() < p; }
};

uint64_t HashText(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

uint64_t Derive(uint64_t seed, const std::string& what) {
    Rng r(seed ^ HashText(what));
    return r.Next();
}

struct Hash {
    uint64_t h = 1469598103934665603ull;
    void Add(uint64_t v) {
        for (int k = 0; k < 8; ++k) h = (h ^ ((v >> (8 * k)) & 0xFF)) * 1099511628211ull;
    }
    void Add(const std::string& s) {
        Add(HashText(s));
    }
};

std::string Num(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

// What values the random sources draw from in one session.
enum class Domain {
    Ordinary,  // zero, -0, denormals and values up to 10 (100 V): every output must be finite
    Huge,      // adds +-1e30 and +-FLT_MAX: overflow may be legitimate, NaN and crashes are not checked apart
    Wild       // adds NaN and infinities: only memory, writes and crashes are checked
};

const char* DomainName(Domain d) {
    switch (d) {
        case Domain::Ordinary: return "ordinary values";
        case Domain::Huge: return "huge values";
        default: return "NaN and infinities";
    }
}

float Denormal(Rng& r) {
    float f = FromBits(1u + static_cast<uint32_t>(r.Below(0x7FFFFF)));
    return r.Chance(0.5) ? f : -f;
}

// One value for a stream or float pin.
float DrawValue(Rng& r, Domain d) {
    switch (r.Below(14)) {
        case 0: return 0.0f;
        case 1: return -0.0f;
        case 2: return Denormal(r);
        case 3: return 1.0f;
        case 4: return -1.0f;
        case 5: return r.Chance(0.5) ? 10.0f : -10.0f;
        case 6:
            if (d == Domain::Ordinary) return 0.5f;
            return r.Chance(0.5) ? 1e30f : -1e30f;
        case 7:
            if (d == Domain::Ordinary) return -0.5f;
            if (d == Domain::Huge) return r.Chance(0.5) ? FLT_MAX : -FLT_MAX;
            return std::numeric_limits<float>::quiet_NaN();
        case 8:
            if (d != Domain::Wild) return 2.0f;
            return r.Chance(0.5) ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        default: return static_cast<float>(r.Unit() * 4.0 - 2.0);
    }
}

// Texts for text inputs: empty, ordinary, spaced, long, and bytes outside
// ASCII. Never a path separator, so a module that opens files by the name
// stays in the validator's scratch folder.
std::string DrawText(Rng& r) {
    switch (r.Below(7)) {
        case 0: return "";
        case 1: return "ArrayData01.txt";
        case 2: return "  spaced name .txt  ";
        case 3: return std::string(600, 'x');
        case 4: return "\xC3\xA9t\xC3\xA9\t\x7F.txt";
        case 5: return " ";
        default: {
            std::string s;
            int n = 1 + r.Below(40);
            for (int k = 0; k < n; ++k) s += static_cast<char>('a' + r.Below(26));
            return s + ".txt";
        }
    }
}

// ---- Guarded low buffers -------------------------------------------------------

// A block-sized float buffer whose address fits in 32 bits (the host hands it
// out through an int), with guard words in front, guard words behind it for
// outputs, and an inaccessible page right after, so a read past the end of an
// input faults at once.
struct GuardedBuffer {
    void* map = nullptr;
    size_t bytes = 0;
    float* data = nullptr;
    int n = 0;
    int trail = 0;

    bool Allocate(int samples, bool output) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        n = samples;
        trail = output ? kGuardWords : 0;
        size_t used = static_cast<size_t>(kGuardWords + n + trail) * sizeof(float) + 16;
        size_t body = (used + page - 1) / page * page;
        bytes = body + page;
        map = AllocateLow(bytes);
        if (!map) return false;
        char* guardPage = static_cast<char*>(map) + body;
        if (mprotect(guardPage, page, PROT_NONE) != 0) return false;
        uintptr_t end = reinterpret_cast<uintptr_t>(guardPage) - static_cast<uintptr_t>(n + trail) * sizeof(float);
        data = reinterpret_cast<float*>(end & ~static_cast<uintptr_t>(15));
        for (int k = 0; k < kGuardWords; ++k) data[-1 - k] = FromBits(kGuardBits);
        for (int k = 0; k < trail; ++k) data[n + k] = FromBits(kGuardBits);
        std::fill(data, data + n, 0.0f);
        return true;
    }
    void Free() {
        if (map) FreeLow(map, bytes);
        map = nullptr;
    }
    // Index of the first damaged guard word (negative: before the buffer), or 0.
    int DamagedGuard() const {
        for (int k = 0; k < kGuardWords; ++k)
            if (Bits(data[-1 - k]) != kGuardBits) return -1 - k;
        for (int k = 0; k < trail; ++k)
            if (Bits(data[n + k]) != kGuardBits) return n + k;
        return 0;
    }
    void RepairGuards() {
        for (int k = 0; k < kGuardWords; ++k) data[-1 - k] = FromBits(kGuardBits);
        for (int k = 0; k < trail; ++k) data[n + k] = FromBits(kGuardBits);
    }
};

// ---- Findings of one check -------------------------------------------------------

// Collects the failures and warnings of one check; keeps the first few texts.
struct Findings {
    std::string context;  // prefixed to every text, e.g. "48000 Hz, block 64"
    std::vector<std::string> fails, warns;
    int fail_count = 0, warn_count = 0;
    void Fail(const std::string& what) {
        ++fail_count;
        if (fails.size() < 3) fails.push_back(context.empty() ? what : context + ": " + what);
    }
    void Warn(const std::string& what) {
        ++warn_count;
        if (warns.size() < 3 && std::find(warns.begin(), warns.end(), what) == warns.end())
            warns.push_back(context.empty() ? what : context + ": " + what);
    }
    void Merge(const Findings& o) {
        for (auto& f : o.fails)
            if (fails.size() < 3) fails.push_back(f);
        for (auto& w : o.warns)
            if (warns.size() < 3) warns.push_back(w);
        fail_count += o.fail_count;
        warn_count += o.warn_count;
    }
};

// ---- What is known about particular modules --------------------------------------

// The oscillator owns these two stream pins as scratch space: it writes them,
// nothing feeds them, and their content means nothing to anyone else.
bool IsScratchPin(const std::string& deliverable, const PinInfo& d) {
    return deliverable == "QM_4op_Fm2_AddRing_Osc" && d.direction == DR_PARAMETER && d.datatype == DT_FSAMPLE &&
           d.name.empty();
}

// The oscillator's hold routine holds the last sample of the previous block,
// which it reads back from its own output buffer at offset 0.
bool ReadsOwnLastSample(const std::string& deliverable) { return deliverable == "QM_4op_Fm2_AddRing_Osc"; }

// The link pin carries the address of a table directory: never a random value.
bool IsLinkPin(const PinInfo& d) { return d.name == "QM_Osc_Link" && d.datatype == DT_IVALUE; }

// Inputs whose ordinary values legitimately make the output non-finite: in
// sessions that check for finite output they are kept within `limit`.
struct Exemption {
    const char* deliverable;
    const char* pin;
    double limit;
    const char* reason;
};
const Exemption kExemptions[] = {
    {"QM_4V_Chorus2", "FBK (Cho1) +/-10", 0.9, "a feedback gain above 1 grows without bound"},
};

const Exemption* FindExemption(const std::string& deliverable, const std::string& pin) {
    for (const Exemption& e : kExemptions)
        if (deliverable == e.deliverable && pin == e.pin) return &e;
    return nullptr;
}

// ---- The rig: one instance driven directly through its records ----------------------

int RigCallback(void* rec, int opcode, int index, int value, void* ptr, float opt);

// Processing calls and samples made in this process, and where the child
// reports which session it is in (so a crash can name it).
int64_t g_calls = 0, g_samples = 0;
int g_progress_fd = -1;
// KV_VALIDATE_TRACE=<file>: every event, call, announcement and sleep request
// written there, for finding out what a failing session did.
FILE* g_trace = nullptr;
void WriteAll(int fd, const std::string& s);

void Progress(const std::string& session) {
    if (g_trace) std::fprintf(g_trace, "session %s\n", session.c_str());
    if (g_progress_fd >= 0) WriteAll(g_progress_fd, "S\t" + session + "\n");
}

struct SessionSpec {
    double rate = 48000.0;
    int block = 64;
    int blocks = 8;
    Domain domain = Domain::Ordinary;
    uint64_t seed = 1;
    int inputs = 0;            // 0: each stream input static or streaming at random; 1: all static; 2: all streaming
    bool events = true;        // random status events during the run
    int max_events = 3;        // per block
    bool mixed_calls = false;  // extra random split points: calls of every size
    bool random_connect = false;  // outputs reported connected at random
    bool extra_events = false;    // also data events, unknown event types and resets
    std::string Describe() const {
        std::string s = Num(rate) + " Hz, block " + std::to_string(block) + (mixed_calls ? " (mixed calls)" : "") +
                        ", " + DomainName(domain);
        if (inputs == 1) s += ", inputs static";
        if (inputs == 2) s += ", inputs streaming";
        return s;
    }
};

class Rig {
public:
    struct Pin {
        const PinInfo* info = nullptr;
        int index = 0;
        bool input = true;
        bool stream = false;
        bool scratch = false;
        bool link = false;
        bool repeated = false;
        bool connected = true;
        GuardedBuffer buf;
        std::vector<float> saved, snap;
        int status = PS_STATIC;  // inputs: current; outputs: last announced
        bool announced = false;
        float value = 0.0f;      // static stream value
        float walk = 0.0f;       // streaming source state
        double limit = 0.0;      // > 0: values kept within +-limit in finite sessions
        std::string text;
        // Output announced static or one-shot: watched for later changes.
        bool watch = false;
        int64_t watch_from = 0;
        bool have_ref = false;
        uint32_t ref = 0;
        bool warned_change = false, warned_sleep = false;
        bool slept_since = false;  // the module asked to sleep since it last wrote this output
    };

    Rig(Library& lib, const std::string& deliverable, const SessionSpec& plan, Findings& f)
        : m_lib(lib), m_name(deliverable), m_spec(plan), m_f(f), m_rng(plan.seed) {}
    ~Rig() { Destroy(); }

    bool Create();
    void Open();
    void Startup();
    void RunBlock();
    void Close();
    void SetLinkValue(int32_t v) { m_link_value = v; m_has_link = true; }
    int32_t ReadOutputInt(const std::string& pin) const;
    uint64_t Result() const { return m_hash.h; }
    int Callback(bool gui, int opcode, int index, int value, void* ptr, float opt);
    Rng& Random() { return m_rng; }

private:
    void Destroy();
    Pin* ValidPin(int index, const char* what);
    void Fill(Pin& p, int from);
    void WriteVariable(Pin& p, double v);
    void Deliver(Pin& p, int status, int pos);
    void RandomEvent(int pos);
    void CallProcess(int pos, int count);
    void CheckProcessWord(const char* when);
    void RunGui();
    void RandomGuiChange();

    Library& m_lib;
    std::string m_name;
    SessionSpec m_spec;
    Findings& m_f;
    Rng m_rng;
    Hash m_hash;
    KVPlugStruct* m_rec = nullptr;
    KVGuiPlugStruct* m_gui = nullptr;
    std::vector<PinInfo> m_descs;
    std::vector<Pin> m_pins;
    std::vector<uint32_t> m_gui_values;
    std::deque<std::pair<int, int>> m_gui_work;  // (GUI opcode, index)
    KVProcessFn m_process = nullptr;
    bool m_notified = false;
    bool m_open = false;
    bool m_sleeping = false;
    bool m_slept_in_call = false;
    bool m_in_process = false;
    int64_t m_clock = 0, m_block_start = 0;
    int32_t m_link_value = 0;
    bool m_has_link = false;
    bool m_keeps_last = false;
};

int RigCallback(void* rec, int opcode, int index, int value, void* ptr, float opt) {
    if (rec == nullptr) return 0;
    uint32_t magic;
    std::memcpy(&magic, rec, sizeof magic);
    bool gui = magic == KV_GUI_MAGIC;
    void* handle = gui ? static_cast<KVGuiPlugStruct*>(rec)->hostHandle : static_cast<KVPlugStruct*>(rec)->hostHandle;
    if (handle == nullptr) return 0;
    return static_cast<Rig*>(handle)->Callback(gui, opcode, index, value, ptr, opt);
}

double DefaultOf(const PinInfo& d) {
    if (!d.has_default || d.default_text.empty()) return 0.0;
    double v = std::strtod(d.default_text.c_str(), nullptr);
    return d.IsStream() ? v / 10.0 : v;
}

bool Rig::Create() {
    m_rec = static_cast<KVPlugStruct*>(m_lib.Make()(0, 1, &RigCallback, this));
    if (!m_rec || m_rec->magic != KV_PLUG_MAGIC) {
        m_f.Fail("makeModule(0, 1) did not give a DSP record");
        m_rec = nullptr;
        return false;
    }
    m_rec->dispatch(m_rec, DSP_PUT_SAMPLE_RATE, 0, 0, nullptr, static_cast<float>(m_spec.rate));
    m_rec->dispatch(m_rec, DSP_PUT_BLOCK_SIZE, 0, m_spec.block, nullptr, 0.0f);
    m_descs = DescribePins(m_rec);
    m_keeps_last = ReadsOwnLastSample(m_name);
    int extra = (!m_descs.empty() && (m_descs.back().flags & IO_REPEAT_LAST) && m_descs.back().IsDsp()) ? 2 : 0;
    for (const PinInfo& d : m_descs) {
        if (!d.IsDsp()) continue;
        Pin p;
        p.info = &d;
        p.index = d.dsp_index;
        m_pins.push_back(std::move(p));
    }
    for (int k = 0; k < extra; ++k) {
        Pin p;
        p.info = &m_descs.back();
        p.index = static_cast<int>(m_pins.size());
        p.repeated = true;
        m_pins.push_back(std::move(p));
    }
    for (Pin& p : m_pins) {
        const PinInfo& d = *p.info;
        p.input = d.IsInput();
        p.stream = d.IsStream();
        p.scratch = IsScratchPin(m_name, d);
        p.link = IsLinkPin(d);
        if (const Exemption* e = FindExemption(m_name, d.name)) p.limit = e->limit;
        if (m_spec.random_connect && !p.input) p.connected = m_rng.Chance(0.5);
        if (p.stream) {
            if (!p.buf.Allocate(m_spec.block, !p.input || p.scratch)) {
                m_f.Fail("cannot allocate guarded pin buffers below 4 GiB");
                return false;
            }
            p.saved.resize(m_spec.block);
            p.snap.resize(m_spec.block);
            if (d.variable && !p.repeated) std::memcpy(d.variable, &p.buf.data, sizeof(float*));
        }
        if (p.input) {
            p.value = static_cast<float>(DefaultOf(d));
            if (p.stream) std::fill(p.buf.data, p.buf.data + m_spec.block, p.value);
            else if (d.datatype != DT_STRING && !p.link) WriteVariable(p, DefaultOf(d));
            if (d.datatype == DT_STRING) p.text = d.default_text;
        }
    }
    m_gui_values.assign(m_descs.size(), 0);
    for (const PinInfo& d : m_descs) {
        double v = DefaultOf(d);
        if (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE) m_gui_values[d.desc_index] = Bits(static_cast<float>(v));
        else m_gui_values[d.desc_index] = static_cast<uint32_t>(static_cast<int32_t>(v));
    }
    m_gui = static_cast<KVGuiPlugStruct*>(m_lib.Make()(0, 2, &RigCallback, this));
    if (m_gui && m_gui->magic != KV_GUI_MAGIC) {
        m_f.Fail("makeModule(0, 2) gave a record without the GUI magic word");
        m_gui = nullptr;
    }
    m_process = m_rec->process;
    return true;
}

void Rig::WriteVariable(Pin& p, double v) {
    void* var = p.info->variable;
    if (!var || p.repeated) return;
    auto toInt = [](double x) -> int32_t {
        if (std::isnan(x)) return 0;
        if (x >= 2147483647.0) return INT32_MAX;
        if (x <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(x);
    };
    switch (p.info->datatype) {
        case DT_CHOICE: {
            int16_t s = static_cast<int16_t>(std::clamp(toInt(v), -32768, 32767));
            std::memcpy(var, &s, sizeof s);
            break;
        }
        case DT_BVALUE: {
            uint8_t b = static_cast<uint8_t>(toInt(v));
            std::memcpy(var, &b, sizeof b);
            break;
        }
        case DT_FVALUE: {
            float f = static_cast<float>(v);
            std::memcpy(var, &f, sizeof f);
            break;
        }
        case DT_IVALUE: {
            int32_t i = toInt(v);
            std::memcpy(var, &i, sizeof i);
            break;
        }
        default:
            break;
    }
}

void Rig::CheckProcessWord(const char* when) {
    if (!m_rec) return;
    if (m_rec->process != m_process) {
        if (!m_notified) m_f.Fail(std::string("changed its processing routine during ") + when +
                                  " without HOST_PROCESS_CHANGED");
        m_process = m_rec->process;
    }
    m_notified = false;
}

void Rig::Open() {
    if (!m_rec) return;
    m_clock = 0;
    m_block_start = 0;
    m_rec->dispatch(m_rec, DSP_OPEN, 0, 0, nullptr, 0.0f);
    m_open = true;
    // The process word may change during open; a host reads it afterwards.
    m_process = m_rec->process;
    m_notified = false;
    if (m_gui) m_gui->dispatch(m_gui, GUI_OPEN, 1, 0, nullptr, 0.0f);
}

// Refills an input buffer from sample `from` to the block end: its static
// value, or fresh samples when it streams.
void Rig::Fill(Pin& p, int from) {
    int n = m_spec.block;
    if (p.status != PS_STREAMING) {
        std::fill(p.buf.data + from, p.buf.data + n, p.value);
        return;
    }
    bool finite = m_spec.domain == Domain::Ordinary;
    for (int k = from; k < n; ++k) {
        float v;
        if (m_rng.Chance(1.0 / 16.0)) {
            v = DrawValue(m_rng, m_spec.domain);
        } else {
            p.walk += static_cast<float>(m_rng.Unit() * 0.2 - 0.1);
            p.walk = std::clamp(p.walk, -1.5f, 1.5f);
            v = p.walk;
        }
        if (finite && p.limit > 0.0) v = static_cast<float>(std::clamp<double>(v, -p.limit, p.limit));
        p.buf.data[k] = v;
    }
}

// Announces `status` on input `p` at block position `pos`, its value already in place.
void Rig::Deliver(Pin& p, int status, int pos) {
    m_clock = m_block_start + pos;
    KVEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.time_stamp = static_cast<int32_t>(m_clock);
    ev.type = EV_PIN_STATUS;
    ev.value = status;
    ev.target = p.index;
    m_sleeping = false;
    p.status = status == PS_ONE_SHOT ? PS_STATIC : status;
    if (p.stream) Fill(p, pos);
    m_hash.Add(0xE0000000ull + static_cast<uint64_t>(p.index) * 4 + static_cast<uint64_t>(status));
    if (g_trace) {
        double v = p.value;
        if (p.info->variable && !p.repeated && p.info->datatype == DT_CHOICE) {
            int16_t c;
            std::memcpy(&c, p.info->variable, sizeof c);
            v = c;
        }
        std::fprintf(g_trace, "%lld event pin %d status %d value %g\n", static_cast<long long>(m_clock), p.index, status, v);
    }
    m_rec->event(m_rec->instance, &ev);
    CheckProcessWord("a status event");
}

void Rig::Startup() {
    if (!m_rec) return;
    for (Pin& p : m_pins) {
        if (!p.input) continue;
        int status = PS_STATIC;
        if (p.stream && !p.scratch) {
            bool streaming = m_spec.inputs == 2 || (m_spec.inputs == 0 && m_rng.Chance(0.5));
            if (streaming) status = PS_STREAMING;
        }
        if (p.link && m_has_link) {
            WriteVariable(p, m_link_value);
            status = PS_ONE_SHOT;
        }
        Deliver(p, status, 0);
    }
    RunGui();
}

void Rig::RandomEvent(int pos) {
    // Now and then something other than a status change: a data event, an
    // event of a type no module knows (both to be taken or ignored), or a
    // reset through the dispatcher.
    if (m_spec.extra_events && m_rng.Chance(0.05)) {
        m_clock = m_block_start + pos;
        int kind = m_rng.Below(3);
        if (kind == 2) {
            int index = m_rng.Chance(0.5) ? 0 : m_rng.Below(40);
            m_rec->dispatch(m_rec, DSP_RESET, index, 0, nullptr, 0.0f);
            CheckProcessWord("DSP_RESET");
        } else {
            KVEvent ev;
            std::memset(&ev, 0, sizeof ev);
            ev.time_stamp = static_cast<int32_t>(m_clock);
            ev.type = kind == 0 ? EV_DATA : 7;
            ev.value = static_cast<int32_t>(m_rng.Next());
            ev.extra = static_cast<int16_t>(m_rng.Next());
            ev.target = kind == 0 ? 0 : static_cast<int32_t>(m_rng.Next());
            m_sleeping = false;
            m_rec->event(m_rec->instance, &ev);
            CheckProcessWord("a data event");
        }
        if (g_trace) std::fprintf(g_trace, "%lld extra event %d\n", static_cast<long long>(m_clock), kind);
        return;
    }
    // An input other than the scratch pins and the link.
    std::vector<Pin*> inputs;
    for (Pin& p : m_pins)
        if (p.input && !p.scratch && !p.link) inputs.push_back(&p);
    if (inputs.empty()) return;
    Pin& p = *inputs[m_rng.Below(static_cast<int>(inputs.size()))];
    const PinInfo& d = *p.info;
    bool finite = m_spec.domain == Domain::Ordinary;
    int status = m_rng.Chance(0.5) ? PS_ONE_SHOT : PS_STATIC;
    if (p.stream) {
        if (m_spec.inputs == 2 || (m_spec.inputs == 0 && m_rng.Chance(0.4))) status = PS_STREAMING;
        float v = DrawValue(m_rng, m_spec.domain);
        if (finite && p.limit > 0.0) v = static_cast<float>(std::clamp<double>(v, -p.limit, p.limit));
        p.value = v;
    } else if (d.datatype == DT_STRING) {
        p.text = DrawText(m_rng);
        status = PS_ONE_SHOT;
    } else if (d.datatype == DT_CHOICE) {
        int n = std::max<int>(1, static_cast<int>(d.items.size()));
        const int wild[] = {-1, n, n + 5, 32767, -32768};
        WriteVariable(p, m_rng.Chance(0.8) ? m_rng.Below(n) : wild[m_rng.Below(5)]);
    } else if (d.datatype == DT_BVALUE) {
        WriteVariable(p, m_rng.Below(256));
    } else if (d.datatype == DT_IVALUE) {
        const double wild[] = {0, 1, -1, 2147483647.0, -2147483648.0, 100, 65536};
        WriteVariable(p, wild[m_rng.Below(7)]);
    } else if (d.datatype == DT_FVALUE) {
        double v = DrawValue(m_rng, m_spec.domain);
        if (finite && p.limit > 0.0) v = std::clamp<double>(v, -p.limit, p.limit);
        WriteVariable(p, v);
    }
    Deliver(p, status, pos);
}

void Rig::CallProcess(int pos, int count) {
    const int n = m_spec.block;
    m_clock = m_block_start + pos;
    // The call's range of every output gets the sentinel; the rest of the
    // block keeps what is there (a hold routine may read its own last sample).
    // A module that reads the last sample of the previous block at offset 0
    // keeps that sample too, at the cost of not checking it.
    int fillEnd = pos + count;
    if (m_keeps_last && pos == 0 && fillEnd == n) --fillEnd;
    for (Pin& p : m_pins) {
        if (!p.stream) continue;
        if (!p.input) {
            std::copy(p.buf.data + pos, p.buf.data + n, p.saved.begin() + pos);
            std::fill(p.buf.data + pos, p.buf.data + fillEnd, FromBits(kSentinelBits));
        } else if (!p.scratch) {
            std::copy(p.buf.data, p.buf.data + n, p.snap.begin());
        }
    }
    m_slept_in_call = false;
    ++g_calls;
    g_samples += count;
    m_in_process = true;
    if (g_trace) std::fprintf(g_trace, "%lld process %d %d\n", static_cast<long long>(m_clock), pos, count);
    m_process(m_rec->instance, pos, count);
    m_in_process = false;
    if (g_trace) {
        for (Pin& p : m_pins)
            if (p.stream && !p.input) std::fprintf(g_trace, "    out %d [%d] = %g\n", p.index, pos, p.buf.data[pos]);
    }
    CheckProcessWord("processing");

    const std::string at = " (call at offset " + std::to_string(pos) + ", " + std::to_string(count) + " samples)";
    for (Pin& p : m_pins) {
        if (!p.stream) continue;
        const std::string& pname = p.info->name;
        if (int g = p.buf.DamagedGuard()) {
            m_f.Fail(std::string(g < 0 ? "wrote before the start of" : "wrote past the end of") + " the buffer of pin '" +
                     pname + "' (word " + std::to_string(g) + ")" + at);
            p.buf.RepairGuards();
        }
        if (p.input) {
            if (p.scratch) continue;
            for (int k = 0; k < n; ++k) {
                if (Bits(p.buf.data[k]) != Bits(p.snap[k])) {
                    m_f.Fail("changed input buffer '" + pname + "' at sample " + std::to_string(k) + at);
                    std::copy(p.snap.begin(), p.snap.end(), p.buf.data);
                    break;
                }
            }
            continue;
        }
        // Output: nothing beyond the call, everything within it.
        for (int k = pos + count; k < n; ++k) {
            if (Bits(p.buf.data[k]) != Bits(p.saved[k])) {
                m_f.Fail("wrote output '" + pname + "' at sample " + std::to_string(k) + ", beyond the samples asked for" + at);
                break;
            }
        }
        std::copy(p.saved.begin() + pos + count, p.saved.begin() + n, p.buf.data + pos + count);
        int unwritten = 0;
        for (int k = pos; k < pos + count; ++k)
            if (Bits(p.buf.data[k]) == kSentinelBits) ++unwritten;
        if (unwritten > 0) {
            // Exempt: a routine that asks to sleep, outputs reported
            // unconnected, and a static output left alone by a module that
            // has asked to sleep since it last wrote it (its buffer still
            // holds that constant).
            bool resting = unwritten == count && p.announced && p.status != PS_STREAMING && p.slept_since;
            if (!m_slept_in_call && p.connected && !resting)
                m_f.Fail("left " + std::to_string(unwritten) + " of " + std::to_string(count) + " samples of output '" +
                         pname + "' unwritten" + at + ", output " +
                         (p.announced ? std::string("announced ") + StatusName(p.status) : std::string("never announced")) +
                         (p.slept_since ? ", asked to sleep since its last write" : ""));
            for (int k = pos; k < pos + count; ++k)
                if (Bits(p.buf.data[k]) == kSentinelBits) p.buf.data[k] = p.saved[k];
            if (unwritten == count) continue;
        }
        p.slept_since = m_slept_in_call;
        for (int k = pos; k < pos + count; ++k) {
            float v = p.buf.data[k];
            m_hash.Add(Bits(v));
            if (m_spec.domain == Domain::Ordinary && !std::isfinite(v)) {
                m_f.Fail("output '" + pname + "' gave " + Num(v) + " at sample " + std::to_string(k) +
                         " while every input was finite" + at);
                break;
            }
        }
        if (p.watch && !p.warned_change) {
            for (int k = pos; k < pos + count; ++k) {
                if (m_block_start + k < p.watch_from) continue;
                uint32_t b = Bits(p.buf.data[k]);
                bool nan = std::isnan(p.buf.data[k]);
                if (!p.have_ref) {
                    p.ref = b;
                    p.have_ref = true;
                } else if (b != p.ref && !(nan && std::isnan(FromBits(p.ref)))) {
                    m_f.Warn("output '" + pname + "' changed after it was announced " +
                             (p.status == PS_STATIC ? "static" : "one-shot") + " at sample clock " +
                             std::to_string(p.watch_from));
                    p.warned_change = true;
                    break;
                }
            }
        }
    }
}

void Rig::RunBlock() {
    if (!m_rec) return;
    const int n = m_spec.block;
    m_clock = m_block_start;
    // Block start: static inputs hold their value, streaming inputs get new samples.
    for (Pin& p : m_pins)
        if (p.input && p.stream && !p.scratch) Fill(p, 0);
    if (m_spec.extra_events && m_gui && m_rng.Chance(0.25)) RandomGuiChange();

    std::vector<int> events, cuts;
    if (m_spec.events) {
        int k = m_rng.Below(m_spec.max_events + 1);
        for (int i = 0; i < k; ++i) events.push_back(m_rng.Below(n));
    }
    if (m_spec.mixed_calls) {
        int k = m_rng.Below(4);
        for (int i = 0; i < k; ++i) cuts.push_back(m_rng.Below(n));
    }
    std::sort(events.begin(), events.end());
    std::vector<int> points = events;
    points.insert(points.end(), cuts.begin(), cuts.end());
    points.push_back(n);
    std::sort(points.begin(), points.end());

    size_t e = 0;
    int pos = 0;
    while (pos < n) {
        while (e < events.size() && events[e] <= pos) {
            RandomEvent(pos);
            ++e;
        }
        int next = n;
        for (int p : points)
            if (p > pos) {
                next = p;
                break;
            }
        if (!m_sleeping) CallProcess(pos, next - pos);
        pos = next;
    }
    m_block_start += n;
    m_clock = m_block_start;
    RunGui();
}

// A user change of a GUI pin, as the host's GUI would make it: the value is
// stored, the GUI side is told, and a pin shared with the DSP side gets the
// value and a status event there too.
void Rig::RandomGuiChange() {
    std::vector<const PinInfo*> gui;
    for (const PinInfo& d : m_descs)
        if (d.IsGui() && d.IsInput() && d.datatype != DT_STRING) gui.push_back(&d);
    if (gui.empty()) return;
    const PinInfo& d = *gui[m_rng.Below(static_cast<int>(gui.size()))];
    double v;
    if (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE) {
        v = DrawValue(m_rng, m_spec.domain);
        m_gui_values[d.desc_index] = Bits(static_cast<float>(v));
    } else {
        int n = std::max<int>(2, static_cast<int>(d.items.size()));
        v = m_rng.Chance(0.8) ? m_rng.Below(n) : (m_rng.Chance(0.5) ? -1 : n + 3);
        m_gui_values[d.desc_index] = static_cast<uint32_t>(static_cast<int32_t>(v));
    }
    if (g_trace) std::fprintf(g_trace, "%lld gui change %d to %g\n", static_cast<long long>(m_clock), d.desc_index, v);
    m_gui_work.push_back({GUI_PIN_CHANGED, d.desc_index});
    RunGui();
    if ((d.flags & IO_UI_AND_DSP) && d.dsp_index >= 0 && d.dsp_index < static_cast<int>(m_pins.size())) {
        Pin& p = m_pins[d.dsp_index];
        if (p.stream) {
            p.value = static_cast<float>(v);
        } else {
            WriteVariable(p, v);
        }
        Deliver(p, PS_ONE_SHOT, 0);
    }
}

void Rig::RunGui() {
    if (!m_gui) {
        m_gui_work.clear();
        return;
    }
    for (int guard = 0; guard < 10000 && !m_gui_work.empty(); ++guard) {
        auto w = m_gui_work.front();
        m_gui_work.pop_front();
        m_gui->dispatch(m_gui, w.first, w.second, 0, nullptr, 0.0f);
    }
    m_gui_work.clear();
}

int32_t Rig::ReadOutputInt(const std::string& pin) const {
    for (const Pin& p : m_pins) {
        if (p.input || p.info->name != pin || !p.info->variable || p.info->datatype != DT_IVALUE) continue;
        int32_t v;
        std::memcpy(&v, p.info->variable, sizeof v);
        return v;
    }
    return 0;
}

void Rig::Close() {
    if (!m_rec) return;
    if (m_gui) {
        int r = m_gui->dispatch(m_gui, GUI_CLOSE, 0, 0, nullptr, 0.0f);
        if (r != 1) m_f.Fail("GUI close returned " + std::to_string(r) + ", not 1");
        m_gui = nullptr;
    }
    int r = m_rec->dispatch(m_rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
    if (r != 1) m_f.Fail("DSP_CLOSE returned " + std::to_string(r) + ", not 1");
    m_rec = nullptr;
    m_open = false;
}

void Rig::Destroy() {
    Close();
    for (Pin& p : m_pins) p.buf.Free();
    m_pins.clear();
}

Rig::Pin* Rig::ValidPin(int index, const char* what) {
    if (index < 0 || index >= static_cast<int>(m_pins.size())) {
        m_f.Fail(std::string(what) + " on pin " + std::to_string(index) + ", but the host reported " +
                 std::to_string(m_pins.size()) + " pins");
        return nullptr;
    }
    return &m_pins[index];
}

int Rig::Callback(bool gui, int opcode, int index, int value, void* ptr, float opt) {
    if (gui) {
        if (index < 0 || index >= static_cast<int>(m_gui_values.size())) {
            m_f.Fail("GUI host call " + std::to_string(opcode) + " on GUI pin " + std::to_string(index) +
                     " beyond the descriptions");
            return 0;
        }
        if (opcode == GUIHOST_GET_PIN_VALUE) {
            if (ptr) std::memcpy(ptr, &m_gui_values[index], 4);
            return 1;
        }
        if (opcode == GUIHOST_PUT_PIN_VALUE) {
            const PinInfo& d = m_descs[index];
            m_gui_values[index] = (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE)
                                      ? Bits(opt)
                                      : static_cast<uint32_t>(std::isfinite(opt) ? static_cast<int32_t>(opt) : 0);
            if (m_gui_work.size() < 10000) m_gui_work.push_back({GUI_PIN_CHANGED, index});
            return 1;
        }
        return 0;
    }
    switch (opcode) {
        case HOST_PUT_PIN_STATUS: {
            Pin* p = ValidPin(index, "HOST_PUT_PIN_STATUS");
            if (!p) return 0;
            if (p->input) {
                m_f.Fail("announced a status on input '" + p->info->name + "'");
                return 0;
            }
            if (value != PS_STATIC && value != PS_ONE_SHOT && value != PS_STREAMING) {
                m_f.Fail("announced status " + std::to_string(value) + " on '" + p->info->name + "'");
                return 0;
            }
            int64_t clock = static_cast<int64_t>(reinterpret_cast<intptr_t>(ptr));
            // The announcement takes effect at its clock: one outside the block
            // being worked on cannot be delivered where the module meant it.
            if (m_open && (clock < m_block_start || clock > m_block_start + m_spec.block))
                m_f.Warn("announced a status on '" + p->info->name + "' at sample clock " + std::to_string(clock) +
                         ", outside the current block " + std::to_string(m_block_start) + " to " +
                         std::to_string(m_block_start + m_spec.block));
            if (g_trace) std::fprintf(g_trace, "%lld announce pin %d status %d at %lld\n", static_cast<long long>(m_clock), index, value, static_cast<long long>(clock));
            p->status = value;
            p->announced = true;
            p->watch = value != PS_STREAMING;
            p->watch_from = clock;
            p->have_ref = false;
            p->warned_change = false;
            m_hash.Add(0xA0000000ull + static_cast<uint64_t>(index) * 4 + static_cast<uint64_t>(value));
            m_hash.Add(static_cast<uint64_t>(clock));
            return 0;
        }
        case HOST_IS_PIN_CONNECTED: {
            Pin* p = ValidPin(index, "HOST_IS_PIN_CONNECTED");
            return p && p->connected ? 1 : 0;
        }
        case HOST_GET_SAMPLE_CLOCK:
            return static_cast<int>(m_clock);
        case HOST_GET_PIN_BUFFER: {
            Pin* p = ValidPin(index, "HOST_GET_PIN_BUFFER");
            if (!p) return 0;
            if (!p->stream) {
                m_f.Fail("asked for the buffer of pin '" + p->info->name + "', which is not a stream");
                return 0;
            }
            return static_cast<int>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p->buf.data)));
        }
        case HOST_GET_BLOCK_START_CLOCK:
            ValidPin(index, "HOST_GET_BLOCK_START_CLOCK");
            return static_cast<int>(m_block_start);
        case HOST_SLEEP:
            if (g_trace) std::fprintf(g_trace, "%lld sleep\n", static_cast<long long>(m_clock));
            m_sleeping = true;
            if (m_in_process) m_slept_in_call = true;
            for (Pin& p : m_pins) {
                if (!p.input) p.slept_since = true;
                if (!p.input && p.announced && p.status == PS_STREAMING && !p.warned_sleep) {
                    m_f.Warn("asked to sleep while output '" + p.info->name + "' is announced streaming");
                    p.warned_sleep = true;
                }
            }
            m_hash.Add(0xB0000000ull);
            return 0;
        case HOST_GET_PIN_COUNT:
            return static_cast<int>(m_pins.size());
        case HOST_GET_PIN_TEXT: {
            Pin* p = ValidPin(index, "HOST_GET_PIN_TEXT");
            if (!p) return 0;
            if (p->info->datatype != DT_STRING) {
                m_f.Fail("asked for the text of pin '" + p->info->name + "', which is not a text pin");
                return 0;
            }
            if (!ptr || value <= 0) {
                m_f.Fail("asked for the text of '" + p->info->name + "' without a buffer");
                return 0;
            }
            size_t len = std::min(p->text.size(), static_cast<size_t>(value - 1));
            std::memcpy(ptr, p->text.data(), len);
            static_cast<char*>(ptr)[len] = '\0';
            return 1;
        }
        case HOST_NOTIFY_GUI:
            if (m_gui && m_gui_work.size() < 10000) m_gui_work.push_back({GUI_DSP_MESSAGE, index});
            return 0;
        case HOST_PUT_PIN_TEXT: {
            Pin* p = ValidPin(index, "HOST_PUT_PIN_TEXT");
            if (!p) return 0;
            if (p->input || p->info->datatype != DT_STRING) {
                m_f.Fail("put a text on pin '" + p->info->name + "', which is not a text output");
                return 0;
            }
            std::string text = ptr ? static_cast<const char*>(ptr) : "";
            m_hash.Add(text);
            return 0;
        }
        case HOST_PROCESS_CHANGED:
            m_notified = true;
            m_process = m_rec ? m_rec->process : m_process;
            m_hash.Add(0xC0000000ull);
            return 0;
        default:
            m_f.Warn("used host opcode " + std::to_string(opcode) + ", which no module needs");
            return 0;
    }
}

// ---- Sessions ----------------------------------------------------------------------

// What a child process knows about the deliverable under test.
struct Subject {
    std::string path;
    std::string name;
    std::unique_ptr<Library> lib;
    std::unique_ptr<Library> link_lib;  // a deliverable that publishes "QM_Osc_Link", if this one reads it
    bool reads_link = false;
};

// Runs one instance through a whole session; returns the hash of everything
// it produced.
uint64_t RunSession(Subject& s, const SessionSpec& plan, Findings& f) {
    Progress(f.context.empty() ? plan.Describe() : f.context);
    // Each session starts with an empty folder: a data file saved by an
    // earlier session (perhaps holding NaN from a session that fed NaN) must
    // not reach this one.
    static int sessions = 0;
    std::string home = std::filesystem::current_path().string();
    std::string dir = "session" + std::to_string(++sessions);
    std::filesystem::create_directory(dir);
    if (chdir(dir.c_str()) != 0) {
        f.Fail("cannot enter a scratch folder");
        return 0;
    }
    struct Back {
        std::string home, dir;
        ~Back() {
            if (chdir(home.c_str()) == 0) {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            }
        }
    } back{home, dir};
    Findings quiet;
    std::unique_ptr<Rig> source;
    int32_t link = 0;
    if (s.reads_link && s.link_lib) {
        SessionSpec gs = plan;
        gs.events = false;
        gs.inputs = 1;
        gs.domain = Domain::Ordinary;
        source = std::make_unique<Rig>(*s.link_lib, s.link_lib->Name(), gs, quiet);
        if (source->Create()) {
            source->Open();
            source->Startup();
            source->RunBlock();
            link = source->ReadOutputInt("QM_Osc_Link");
        }
    }
    uint64_t result = 0;
    {
        Rig rig(*s.lib, s.name, plan, f);
        if (source) rig.SetLinkValue(link);
        if (rig.Create()) {
            rig.Open();
            rig.Startup();
            for (int b = 0; b < plan.blocks; ++b) rig.RunBlock();
            rig.Close();
        }
        result = rig.Result();
    }
    return result;
}

// ---- Checks --------------------------------------------------------------------------

using Emit = std::function<void(const CheckResult&)>;

CheckResult FromFindings(const std::string& check, const Findings& f) {
    CheckResult r;
    r.check = check;
    if (f.fail_count > 0) {
        r.status = CheckStatus::Fail;
        r.reason = f.fails.front();
        if (f.fail_count > 1) r.reason += " (and " + std::to_string(f.fail_count - 1) + " more)";
    } else if (f.warn_count > 0) {
        r.status = CheckStatus::Warn;
        r.reason = f.warns.front();
        if (f.warns.size() > 1) r.reason += "; " + f.warns[1];
    }
    return r;
}

void CheckProperties(Subject& s, Findings& f) {
    KVGetModulePropertiesFn get = s.lib->GetProperties();
    KVModuleProperties p;
    std::memset(&p, 0xA5, sizeof p);
    int r = get(0, &p);
    if (r != 1) f.Fail("getModuleProperties(0) returned " + std::to_string(r) + ", not 1");
    if (!p.name || !p.id || !p.about) f.Fail("getModuleProperties(0) left name, id or about empty");
    if (p.sdkVersion != KV_SDK_VERSION && p.sdkVersion != KV_SDK_VERSION_ARRAY)
        f.Fail("SDK version " + std::to_string(p.sdkVersion) + ", not 2240 or 2230");
    if (static_cast<uint32_t>(p.host_word3) != 0xA5A5A5A5u || static_cast<uint32_t>(p.host_word4) != 0xA5A5A5A5u)
        f.Fail("getModuleProperties wrote the host's words 3 and 4");
    std::string stem = std::filesystem::path(s.path).stem().string();
    if (p.name && stem != p.name) f.Fail("module name \"" + std::string(p.name) + "\" differs from the file name \"" + stem + "\"");
    for (int index : {1, -1, 7}) {
        KVModuleProperties q;
        std::memset(&q, 0xA5, sizeof q);
        int r1 = get(index, &q);
        if (r1 != 0) f.Fail("getModuleProperties(" + std::to_string(index) + ") returned " + std::to_string(r1) + ", not 0");
        KVModuleProperties untouched;
        std::memset(&untouched, 0xA5, sizeof untouched);
        if (p.sdkVersion == KV_SDK_VERSION_ARRAY) untouched.sdkVersion = KV_SDK_VERSION_ARRAY;  // written before the index test
        if (std::memcmp(&q, &untouched, sizeof q) != 0)
            f.Fail("getModuleProperties(" + std::to_string(index) + ") changed the record");
    }
}

void CheckRecords(Subject& s, Findings& f) {
    KVMakeModuleFn make = s.lib->Make();
    int handle = 0;
    for (auto [index, type] : {std::pair{1, 1}, std::pair{-1, 1}, std::pair{0, 3}, std::pair{0, 0}, std::pair{1, 2}}) {
        if (void* p = make(index, type, &RigCallback, nullptr)) {
            f.Fail("makeModule(" + std::to_string(index) + ", " + std::to_string(type) + ") returned a record, not null");
            (void)p;  // its kind is unknown: leaked rather than closed the wrong way
        }
    }
    auto* rec = static_cast<KVPlugStruct*>(make(0, 1, nullptr, &handle));
    if (!rec) {
        f.Fail("makeModule(0, 1) returned null");
        return;
    }
    if (rec->magic != KV_PLUG_MAGIC) f.Fail("DSP record magic word is not 0x4B56507B");
    if (rec->version != 1) f.Fail("DSP record version " + std::to_string(rec->version) + ", not 1");
    if (rec->hostHandle != &handle) f.Fail("DSP record does not hold the host handle");
    if (!rec->instance || !rec->dispatch || !rec->process || !rec->event) f.Fail("DSP record lacks instance, dispatch, process or event");
    if (rec->reserved4 != 0 || rec->reserved8[0] || rec->reserved8[1] || rec->reserved8[2] || rec->reserved8[3])
        f.Fail("DSP record's reserved words are not zero");
    if (rec->dispatch) {
        auto* pp = reinterpret_cast<KVProcessPointerRecord*>(
            static_cast<intptr_t>(rec->dispatch(rec, DSP_GET_PROCESS_POINTER, 0, 0, nullptr, 0.0f)));
        (void)pp;  // the address travels through an int: it cannot be followed in a 64-bit host
        for (int op : {4, 5, 9, 11}) {
            if (int r = rec->dispatch(rec, op, 0, 0, nullptr, 0.0f)) f.Fail("DSP opcode " + std::to_string(op) + " returned " + std::to_string(r) + ", not 0");
        }
        int r = rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
        if (r != 1) f.Fail("DSP_CLOSE returned " + std::to_string(r) + ", not 1");
    }
    // Two instances have distinct records.
    auto* a = static_cast<KVPlugStruct*>(make(0, 1, nullptr, nullptr));
    auto* b = static_cast<KVPlugStruct*>(make(0, 1, nullptr, nullptr));
    if (a && b && (a == b || a->instance == b->instance)) f.Fail("two instances share a record");
    if (a) a->dispatch(a, DSP_CLOSE, 0, 0, nullptr, 0.0f);
    if (b) b->dispatch(b, DSP_CLOSE, 0, 0, nullptr, 0.0f);

    auto* gui = static_cast<KVGuiPlugStruct*>(make(0, 2, nullptr, &handle));
    if (gui) {
        if (gui->magic != KV_GUI_MAGIC) {
            f.Fail("GUI record magic word is not 0x4B56504D");
            return;
        }
        if (gui->version != 1) f.Fail("GUI record version " + std::to_string(gui->version) + ", not 1");
        if (gui->hostHandle != &handle || !gui->instance || !gui->dispatch) f.Fail("GUI record lacks handle, instance or dispatch");
        int r = gui->dispatch(gui, GUI_CLOSE, 0, 0, nullptr, 0.0f);
        if (r != 1) f.Fail("GUI close returned " + std::to_string(r) + ", not 1");
    }
}

void CheckDescriptions(Subject& s, Findings& f) {
    auto* rec = static_cast<KVPlugStruct*>(s.lib->Make()(0, 1, nullptr, nullptr));
    if (!rec) {
        f.Fail("makeModule(0, 1) returned null");
        return;
    }
    std::vector<PinInfo> pins = DescribePins(rec);
    if (pins.empty()) f.Fail("describes no pin");
    if (pins.size() >= 4096) f.Fail("never refuses a description index");
    KVPinProperties neg;
    std::memset(&neg, 0, sizeof neg);
    if (rec->dispatch(rec, DSP_GET_PIN_PROPERTIES, -1, 0, &neg, 0.0f) != 0) f.Fail("describes pin index -1");
    const int known = IO_REPEAT_LAST | IO_FILE_PATH | IO_PRIVATE | IO_HOST_0x200 | IO_UI_COMMUNICATION | IO_HOST_0x4000 |
                      IO_UI_AND_DSP | IO_PATCH_STORE;
    for (const PinInfo& d : pins) {
        std::string who = "pin " + std::to_string(d.desc_index) + " '" + d.name + "'";
        if (d.direction != DR_IN && d.direction != DR_OUT && d.direction != DR_PARAMETER)
            f.Fail(who + " has direction " + std::to_string(d.direction));
        const int types[] = {DT_CHOICE, DT_STRING, DT_BVALUE, DT_FSAMPLE, DT_FVALUE, DT_IVALUE};
        if (std::find(std::begin(types), std::end(types), d.datatype) == std::end(types))
            f.Fail(who + " has datatype " + std::to_string(d.datatype));
        if (d.flags & ~known) f.Fail(who + " has unknown flag bits 0x" + [&] {
            char b[16];
            std::snprintf(b, sizeof b, "%x", d.flags & ~known);
            return std::string(b);
        }());
        if ((d.flags & IO_REPEAT_LAST) && d.desc_index + 1 != static_cast<int>(pins.size()))
            f.Fail(who + " repeats but is not the last description");
        if ((d.flags & IO_UI_AND_DSP) && !(d.flags & IO_UI_COMMUNICATION)) f.Warn(who + " has IO_UI_AND_DSP without IO_UI_COMMUNICATION");
        if (d.IsInput() && (d.flags & IO_PATCH_STORE) && !(d.flags & (IO_PRIVATE | IO_UI_COMMUNICATION)))
            f.Fail(who + " is a stored input without IO_PRIVATE or IO_UI_COMMUNICATION");
        if (d.datatype == DT_CHOICE && d.items.empty()) f.Fail(who + " is a choice without a list");
        if ((d.flags & IO_FILE_PATH) && d.datatype != DT_STRING) f.Fail(who + " is a file path but not a text pin");
        if (d.has_default && !d.default_text.empty() && d.datatype != DT_STRING) {
            char* end = nullptr;
            std::strtod(d.default_text.c_str(), &end);
            if (end == d.default_text.c_str() || *end != '\0') f.Fail(who + " has default \"" + d.default_text + "\", not a number");
        }
    }
    // The same answers before and after open, and on a second asking.
    std::vector<PinInfo> again = DescribePins(rec);
    auto same = [](const std::vector<PinInfo>& a, const std::vector<PinInfo>& b) {
        if (a.size() != b.size()) return false;
        for (size_t k = 0; k < a.size(); ++k)
            if (a[k].name != b[k].name || a[k].direction != b[k].direction || a[k].datatype != b[k].datatype ||
                a[k].flags != b[k].flags || a[k].default_text != b[k].default_text || a[k].list != b[k].list ||
                a[k].variable != b[k].variable)
                return false;
        return true;
    };
    if (!same(pins, again)) f.Fail("describes its pins differently when asked twice");
    rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
}

const double kRates[] = {8000.0, 11025.0, 22050.0, 44100.0, 44123.45, 48000.0, 96000.0, 192000.0, 384000.0};
const int kBlocks[] = {1, 2, 3, 31, 64, 256, 1024, 4096};

int BlocksFor(int block, bool quick) {
    int blocks = std::clamp(16384 / block, 4, 512);
    return quick ? std::max(3, blocks / 8) : blocks;
}

void CheckOpenClose(Subject& s, uint64_t seed, bool quick, Findings& f) {
    Rng r(seed);
    int cycles = quick ? 10 : 40;
    for (int i = 0; i < cycles; ++i) {
        SessionSpec plan;
        plan.rate = kRates[r.Below(9)];
        plan.block = kBlocks[r.Below(6)];
        plan.blocks = r.Below(3);
        plan.events = false;
        plan.seed = r.Next();
        f.context = "cycle " + std::to_string(i + 1) + ", " + plan.Describe();
        RunSession(s, plan, f);
    }
    // Made and closed without ever opening.
    for (int i = 0; i < 10; ++i) {
        auto* rec = static_cast<KVPlugStruct*>(s.lib->Make()(0, 1, &RigCallback, nullptr));
        if (!rec) continue;
        rec->dispatch(rec, DSP_PUT_SAMPLE_RATE, 0, 0, nullptr, 96000.0f);
        if (rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f) != 1) f.Fail("DSP_CLOSE before open did not return 1");
    }
    f.context.clear();
}

void CheckRate(Subject& s, double rate, uint64_t seed, bool quick, Findings& f) {
    Rng r(seed);
    int session = 0;
    std::vector<int> blocks(std::begin(kBlocks), std::end(kBlocks));
    for (size_t i = 0; i <= blocks.size(); ++i) {
        SessionSpec plan;
        plan.rate = rate;
        bool mixed = i == blocks.size();
        plan.block = mixed ? 512 : blocks[i];
        plan.mixed_calls = mixed;
        plan.blocks = BlocksFor(plan.block, quick);
        plan.domain = static_cast<Domain>(session++ % 3);
        plan.seed = r.Next();
        f.context = plan.Describe();
        RunSession(s, plan, f);
    }
    f.context.clear();
}

void CheckInputs(Subject& s, int inputs, uint64_t seed, bool quick, Findings& f) {
    Rng r(seed);
    for (Domain d : {Domain::Ordinary, Domain::Huge, Domain::Wild}) {
        SessionSpec plan;
        plan.rate = 48000.0;
        plan.block = 256;
        plan.blocks = quick ? 8 : 64;
        plan.inputs = inputs;
        plan.domain = d;
        plan.seed = r.Next();
        f.context = plan.Describe();
        RunSession(s, plan, f);
    }
    f.context.clear();
}

void CheckDenseEvents(Subject& s, uint64_t seed, bool quick, Findings& f) {
    Rng r(seed);
    for (Domain d : {Domain::Ordinary, Domain::Huge, Domain::Wild}) {
        for (int block : {1, 64, 1024}) {
            SessionSpec plan;
            plan.rate = 44100.0;
            plan.block = block;
            plan.blocks = BlocksFor(block, quick);
            plan.max_events = block == 1 ? 1 : 12;
            plan.mixed_calls = true;
            plan.random_connect = true;
            plan.extra_events = true;
            plan.domain = d;
            plan.seed = r.Next();
            f.context = plan.Describe() + ", outputs connected at random";
            RunSession(s, plan, f);
        }
    }
    f.context.clear();
}

// Runs `plan` alone in a fresh process with a freshly loaded library, in a
// folder of its own; the hash of its output comes back in `h`.
bool FreshRun(const Subject& s, const SessionSpec& plan, int timeout, uint64_t& h, std::string& why);

// Modules whose instances share a random generator: the output of one
// instance depends on what the others did, by design.
bool SharesRandomState(const std::string& deliverable) {
    return deliverable == "QM_4op_Fm2_AddRing_Osc" || deliverable == "QM_PatchMem_Random_Contour" ||
           deliverable == "QM_PatchMem_Random_Contour_Plus";
}

// Several instances open at once, each at its own rate and block size. Each
// is opened while the earlier ones stay open and runs alone at first: its
// output must equal the same session run alone in a fresh process, so
// module-wide tables were rebuilt for its rate. Then all run block by block
// in turn.
void CheckSeveral(Subject& s, uint64_t seed, bool quick, int timeout, Findings& f) {
    Rng r(seed);
    struct Setup {
        double rate;
        int block;
    };
    const Setup setups[] = {{8000.0, 64}, {44123.45, 31}, {384000.0, 256}, {48000.0, 1}, {8000.0, 64}};
    // Data files start from nothing here, as in the fresh runs compared with.
    std::string home = std::filesystem::current_path().string();
    std::filesystem::create_directory("several");
    if (chdir("several") != 0) return;
    Findings quiet;
    std::vector<std::unique_ptr<Rig>> rigs;
    std::unique_ptr<Rig> source;
    if (s.reads_link && s.link_lib) {
        SessionSpec gs;
        gs.events = false;
        gs.inputs = 1;
        source = std::make_unique<Rig>(*s.link_lib, s.link_lib->Name(), gs, quiet);
        if (source->Create()) {
            source->Open();
            source->Startup();
            source->RunBlock();
        }
    }
    const int alone = quick ? 4 : 16;
    bool compare = !SharesRandomState(s.name);
    for (const Setup& st : setups) {
        SessionSpec plan;
        plan.rate = st.rate;
        plan.block = st.block;
        plan.blocks = alone;
        plan.domain = Domain::Ordinary;
        plan.seed = r.Next();
        f.context = "instance at " + Num(st.rate) + " Hz opened after " + std::to_string(rigs.size()) + " others";
        Progress(f.context);
        auto rig = std::make_unique<Rig>(*s.lib, s.name, plan, f);
        if (source) rig->SetLinkValue(source->ReadOutputInt("QM_Osc_Link"));
        if (!rig->Create()) break;
        rig->Open();
        rig->Startup();
        for (int b = 0; b < alone; ++b) rig->RunBlock();
        if (compare) {
            uint64_t h = 0;
            std::string why;
            if (!FreshRun(s, plan, timeout, h, why)) {
                f.Fail("the same session alone: " + why);
            } else if (h != rig->Result()) {
                f.Fail("output differs from the same session alone in a fresh process (tables not rebuilt for this rate?)");
            }
        }
        rigs.push_back(std::move(rig));
    }
    f.context = "instances at 8000, 44123.45, 384000, 48000 and 8000 Hz, in turn";
    Progress(f.context);
    int rounds = quick ? 8 : 64;
    for (int i = 0; i < rounds; ++i)
        for (auto& rig : rigs) rig->RunBlock();
    // Close in an order other than the opening one.
    if (!rigs.empty()) std::swap(rigs.front(), rigs.back());
    for (auto& rig : rigs) rig->Close();
    rigs.clear();
    source.reset();
    f.context.clear();
    if (chdir(home.c_str()) != 0) f.Fail("cannot return to the scratch folder");
}

// ---- Child processes --------------------------------------------------------------------

// Everything written to fd until EOF.
std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            s.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return s;
}

void WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string Escape(const std::string& s) {
    std::string o;
    for (char c : s) o += (c == '\n' || c == '\t') ? ' ' : c;
    return o;
}

std::string SignalName(int sig) {
    const char* n = strsignal(sig);
    return "signal " + std::to_string(sig) + (n ? std::string(" (") + n + ")" : std::string());
}

// Runs `body` in a forked process with a time limit; its return value (a
// 64-bit hash) comes back through a pipe. False when the child did not end
// normally; `why` then says how it ended.
bool InChild(const std::function<uint64_t()>& body, int timeout, uint64_t& result, std::string& why) {
    int fds[2];
    if (pipe(fds) != 0) {
        why = "cannot make a pipe";
        return false;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        why = "cannot fork";
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        alarm(static_cast<unsigned>(timeout));
        uint64_t v = body();
        WriteAll(fds[1], std::to_string(v) + "\n");
        close(fds[1]);
        std::fflush(nullptr);
        _exit(0);
    }
    close(fds[1]);
    std::string out = ReadAll(fds[0]);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFSIGNALED(status)) {
        why = WTERMSIG(status) == SIGALRM ? "timed out" : "crashed with " + SignalName(WTERMSIG(status));
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) {
        why = "exited with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return false;
    }
    result = std::strtoull(out.c_str(), nullptr, 10);
    return true;
}

bool FreshRun(const Subject& s, const SessionSpec& plan, int timeout, uint64_t& h, std::string& why) {
    return InChild(
        [&]() {
            char name[] = "fresh-XXXXXX";
            if (!mkdtemp(name) || chdir(name) != 0) return uint64_t{0};
            Subject fresh;
            fresh.path = s.path;
            std::string e;
            fresh.lib = Library::Load(s.path, e);
            if (!fresh.lib) return uint64_t{0};
            fresh.name = fresh.lib->Name();
            fresh.reads_link = s.reads_link;
            if (s.link_lib) fresh.link_lib = Library::Load(s.link_lib->Path(), e);
            Findings ignored;
            return RunSession(fresh, plan, ignored);
        },
        timeout, h, why);
}

// Contract-check reports the deliverable printed on stderr since `from`.
std::string ContractReports(int fd, off_t& from) {
    off_t end = lseek(fd, 0, SEEK_END);
    std::string found;
    if (end > from) {
        std::string text(static_cast<size_t>(end - from), '\0');
        ssize_t n = pread(fd, text.data(), text.size(), from);
        if (n > 0) {
            text.resize(static_cast<size_t>(n));
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line))
                if (line.find("contract check failed") != std::string::npos && found.empty()) found = line;
        }
    }
    from = end;
    return found;
}

// The body of the child that checks one deliverable. Writes "B\t<check>"
// before and "R\t<status>\t<check>\t<reason>" after each check to `out`.
void CheckDeliverable(const std::string& path, const std::vector<std::string>& all, const ValidateOptions& opt, int out,
                      int errFd) {
    off_t errPos = lseek(errFd, 0, SEEK_END);
    g_progress_fd = out;
    if (const char* t = std::getenv("KV_VALIDATE_TRACE")) g_trace = std::fopen(t, "a");
    Subject s;
    s.path = path;
    auto report = [&](const CheckResult& r) {
        const char* st = r.status == CheckStatus::Pass ? "pass" : r.status == CheckStatus::Fail ? "fail" : "warn";
        WriteAll(out, std::string("R\t") + st + "\t" + Escape(r.check) + "\t" + Escape(r.reason) + "\n");
    };
    auto run = [&](const std::string& check, const std::function<void(Findings&)>& body) {
        WriteAll(out, "B\t" + Escape(check) + "\n");
        Findings f;
        body(f);
        std::string contract = ContractReports(errFd, errPos);
        if (!contract.empty()) f.Fail("reported: " + contract);
        report(FromFindings(check, f));
    };

    std::string error;
    WriteAll(out, "B\tload\n");
    s.lib = Library::Load(path, error);
    if (!s.lib) {
        report({"load", CheckStatus::Fail, error});
        return;
    }
    s.name = s.lib->Name();
    WriteAll(out, "N\t" + Escape(s.name) + "\n");
    report({"load", CheckStatus::Pass, ""});

    // Does it read the oscillator link? Then find a deliverable that publishes it.
    if (auto* rec = static_cast<KVPlugStruct*>(s.lib->Make()(0, 1, nullptr, nullptr))) {
        for (const PinInfo& d : DescribePins(rec))
            if (d.IsInput() && IsLinkPin(d)) s.reads_link = true;
        rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
    }
    if (s.reads_link) {
        std::vector<std::string> candidates;
        for (const std::string& p : all)
            if (p != path) candidates.push_back(p);
        candidates.push_back(DeliverablePath(std::filesystem::path(path).parent_path().string(), "QM_Replacement_OscWT"));
        for (const std::string& c : candidates) {
            if (!std::filesystem::exists(c)) continue;
            std::string e;
            auto lib = Library::Load(c, e);
            if (!lib) continue;
            bool publishes = false;
            if (auto* rec = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr))) {
                for (const PinInfo& d : DescribePins(rec))
                    if (!d.IsInput() && IsLinkPin(d)) publishes = true;
                rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f);
            }
            if (publishes) {
                s.link_lib = std::move(lib);
                break;
            }
        }
        CheckResult note{"link pin 'QM_Osc_Link'", CheckStatus::Pass, ""};
        if (!s.link_lib) {
            note.status = CheckStatus::Warn;
            note.reason = "no deliverable that publishes the link was found: the link stays unconnected";
        }
        WriteAll(out, "B\t" + note.check + "\n");
        report(note);
    }

    // Where ordinary inputs may legitimately give non-finite output, say how
    // the finite-output check was narrowed.
    for (const Exemption& e : kExemptions) {
        if (s.name != e.deliverable) continue;
        CheckResult note{std::string("finite output with '") + e.pin + "' kept within +-" + Num(e.limit), CheckStatus::Pass,
                         e.reason};
        WriteAll(out, "B\t" + note.check + "\n");
        report(note);
    }

    uint64_t seed = Derive(opt.seed, s.name);
    run("properties", [&](Findings& f) { CheckProperties(s, f); });
    run("records", [&](Findings& f) { CheckRecords(s, f); });
    run("pin descriptions", [&](Findings& f) { CheckDescriptions(s, f); });
    run("open and close repeatedly", [&](Findings& f) { CheckOpenClose(s, Derive(seed, "open"), opt.quick, f); });
    for (double rate : kRates) {
        run("sample rate " + Num(rate) + " Hz, block sizes 1 to 4096 and mixed calls",
            [&](Findings& f) { CheckRate(s, rate, Derive(seed, "rate" + Num(rate)), opt.quick, f); });
    }
    run("every input static", [&](Findings& f) { CheckInputs(s, 1, Derive(seed, "static"), opt.quick, f); });
    run("every input streaming", [&](Findings& f) { CheckInputs(s, 2, Derive(seed, "streaming"), opt.quick, f); });
    run("dense status events with special values, data events and resets", [&](Findings& f) { CheckDenseEvents(s, Derive(seed, "dense"), opt.quick, f); });
    run("several instances at different sample rates", [&](Findings& f) {
        CheckSeveral(s, Derive(seed, "several"), opt.quick, opt.timeout_seconds, f);
    });

    // The same patch twice, each run in a fresh process (module-wide state
    // such as random generators starts the same way in both).
    run("same patch twice gives identical output", [&](Findings& f) {
        for (Domain d : {Domain::Ordinary, Domain::Wild}) {
            SessionSpec plan;
            plan.rate = 44123.45;
            plan.block = 31;
            plan.blocks = opt.quick ? 16 : 128;
            plan.mixed_calls = true;
            plan.domain = d;
            plan.seed = Derive(seed, std::string("twice") + DomainName(d));
            uint64_t h[2] = {0, 0};
            for (int k = 0; k < 2; ++k) {
                std::string why;
                bool ok = FreshRun(s, plan, opt.timeout_seconds, h[k], why);
                if (!ok) {
                    f.Fail(plan.Describe() + ": run " + std::to_string(k + 1) + " " + why);
                    return;
                }
            }
            if (h[0] != h[1]) f.Fail(plan.Describe() + ": two runs of the same session gave different output");
        }
    });
    WriteAll(out, "C\t" + std::to_string(g_calls) + "\t" + std::to_string(g_samples) + "\n");
}

}  // namespace

bool DeliverableReport::Failed() const {
    for (const CheckResult& c : checks)
        if (c.status == CheckStatus::Fail) return true;
    return false;
}

uint64_t FreshSeed() {
    auto t = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    Rng r(static_cast<uint64_t>(t) ^ (static_cast<uint64_t>(getpid()) << 32));
    return r.Next() % 1000000000ull;
}

std::vector<DeliverableReport> ValidateDeliverables(const std::vector<std::string>& paths, const ValidateOptions& opt) {
    std::vector<DeliverableReport> reports;
    // Modules that seed from the tick count get the same one in every run.
    setenv("KV_TICK_COUNT", "123456", 0);
    // The trace file is named from here, as the children work in scratch
    // folders; each child appends its deliverable's trace.
    if (const char* t = std::getenv("KV_VALIDATE_TRACE")) {
        std::string trace = std::filesystem::absolute(t).string();
        setenv("KV_VALIDATE_TRACE", trace.c_str(), 1);
        if (FILE* f = std::fopen(trace.c_str(), "w")) std::fclose(f);
    }
    for (const std::string& path : paths) {
        DeliverableReport rep;
        rep.path = std::filesystem::absolute(path).string();
        rep.name = std::filesystem::path(path).stem().string();
        // Results through a pipe; stderr (contract reports, sanitizer
        // reports) into an unnamed file the parent reads after a crash.
        int fds[2];
        char tmpl[] = "/tmp/kvhost-validate-XXXXXX";
        int errFd = mkstemp(tmpl);
        if (errFd >= 0) unlink(tmpl);
        std::string scratch = std::filesystem::temp_directory_path().string() + "/kvhost-validate-dir-XXXXXX";
        std::vector<char> dirName(scratch.begin(), scratch.end());
        dirName.push_back('\0');
        char* dir = mkdtemp(dirName.data());
        if (pipe(fds) != 0 || errFd < 0 || !dir) {
            rep.checks.push_back({"load", CheckStatus::Fail, "cannot set up a child process"});
            reports.push_back(std::move(rep));
            continue;
        }
        std::vector<std::string> all;
        for (const std::string& p : paths) all.push_back(std::filesystem::absolute(p).string());
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            dup2(errFd, STDERR_FILENO);
            // Files a module writes (data files) land in a scratch folder.
            if (chdir(dir) != 0) _exit(3);
            alarm(static_cast<unsigned>(opt.timeout_seconds));
            CheckDeliverable(rep.path, all, opt, fds[1], STDERR_FILENO);
            close(fds[1]);
            std::fflush(nullptr);
            // exit, not _exit: the leak checker of a sanitizer build runs now.
            std::exit(0);
        }
        close(fds[1]);
        std::string text = pid > 0 ? ReadAll(fds[0]) : std::string();
        close(fds[0]);
        int status = 0;
        if (pid > 0) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        }
        std::string current, session;
        bool open = false;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            size_t start = 0;
            for (;;) {
                size_t tab = line.find('\t', start);
                f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
                if (tab == std::string::npos) break;
                start = tab + 1;
            }
            if (f[0] == "B" && f.size() >= 2) {
                current = f[1];
                session.clear();
                open = true;
            } else if (f[0] == "S" && f.size() >= 2) {
                session = f[1];
            } else if (f[0] == "C" && f.size() >= 3) {
                rep.calls = std::strtoll(f[1].c_str(), nullptr, 10);
                rep.samples = std::strtoll(f[2].c_str(), nullptr, 10);
            } else if (f[0] == "N" && f.size() >= 2) {
                rep.name = f[1];
            } else if (f[0] == "R" && f.size() >= 4) {
                CheckStatus st = f[1] == "pass" ? CheckStatus::Pass : f[1] == "fail" ? CheckStatus::Fail : CheckStatus::Warn;
                rep.checks.push_back({f[2], st, f[3]});
                open = false;
            }
        }
        bool normal = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!normal) {
            std::string why;
            if (pid <= 0) why = "cannot fork";
            else if (WIFSIGNALED(status))
                why = WTERMSIG(status) == SIGALRM ? "timed out after " + std::to_string(opt.timeout_seconds) + " s"
                                                  : "crashed with " + SignalName(WTERMSIG(status));
            else why = "exited with status " + std::to_string(WEXITSTATUS(status));
            if (open && !session.empty()) why += " during " + session;
            // The last lines the child printed (a sanitizer report ends with its summary).
            off_t end = lseek(errFd, 0, SEEK_END);
            std::string err(static_cast<size_t>(std::max<off_t>(0, end)), '\0');
            if (end > 0) err.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(errFd, err.data(), err.size(), 0))));
            std::vector<std::string> lines;
            std::istringstream el(err);
            while (std::getline(el, line)) {
                if (line.find("SUMMARY") != std::string::npos || line.find("ERROR:") != std::string::npos ||
                    line.find("runtime error") != std::string::npos || line.find("contract check failed") != std::string::npos)
                    lines.push_back(line);
            }
            if (lines.size() > 3) lines.erase(lines.begin() + 1, lines.end() - 2);
            for (const std::string& l : lines) why += "; " + l;
            rep.checks.push_back({open ? current : "leak and exit checks", CheckStatus::Fail, why});
        }
        close(errFd);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        reports.push_back(std::move(rep));
    }
    return reports;
}

int PrintValidation(const std::vector<DeliverableReport>& reports, const ValidateOptions& opt, std::ostream& out) {
    int checks = 0, failed = 0, warned = 0;
    for (const auto& r : reports)
        for (const auto& c : r.checks) {
            ++checks;
            if (c.status == CheckStatus::Fail) ++failed;
            if (c.status == CheckStatus::Warn) ++warned;
        }
    if (opt.json) {
        nlohmann::json j;
        j["seed"] = opt.seed;
        j["checks"] = checks;
        j["failed"] = failed;
        j["warnings"] = warned;
        j["deliverables"] = nlohmann::json::array();
        for (const auto& r : reports) {
            nlohmann::json d;
            d["path"] = r.path;
            d["name"] = r.name;
            d["passed"] = !r.Failed();
            d["process_calls"] = r.calls;
            d["samples"] = r.samples;
            d["checks"] = nlohmann::json::array();
            for (const auto& c : r.checks) {
                nlohmann::json cj;
                cj["check"] = c.check;
                cj["result"] = c.status == CheckStatus::Pass ? "pass" : c.status == CheckStatus::Fail ? "fail" : "warn";
                if (!c.reason.empty()) cj["reason"] = c.reason;
                d["checks"].push_back(cj);
            }
            j["deliverables"].push_back(d);
        }
        out << j.dump(2) << "\n";
    } else {
        for (const auto& r : reports) {
            for (const auto& c : r.checks) {
                const char* tag = c.status == CheckStatus::Pass ? "PASS" : c.status == CheckStatus::Fail ? "FAIL" : "WARN";
                out << tag << "  " << r.name << ": " << c.check;
                if (!c.reason.empty()) out << ": " << c.reason;
                if (c.status == CheckStatus::Fail) out << " (seed " << opt.seed << ")";
                out << "\n";
            }
            if (r.calls > 0) out << "      " << r.name << ": " << r.calls << " processing calls, " << r.samples << " samples\n";
        }
        out << checks << " checks, " << failed << " failed, " << warned << " warnings (seed " << opt.seed << ")\n";
        if (failed > 0) out << "reproduce with: kvhost validate --seed " << opt.seed << " <deliverable>\n";
    }
    return failed > 0 ? 1 : 0;
}

}  // namespace kvhost
