#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace kvhost {

namespace {

// The host callback every instance gets: the record's handle is the Instance.
int HostCallbackEntry(void* rec, int opcode, int index, int value, void* ptr, float opt) {
    if (rec == nullptr) return 0;
    uint32_t magic;
    std::memcpy(&magic, rec, sizeof magic);
    bool gui = magic == KV_GUI_MAGIC;
    void* handle = gui ? static_cast<KVGuiPlugStruct*>(rec)->hostHandle : static_cast<KVPlugStruct*>(rec)->hostHandle;
    auto* inst = static_cast<Instance*>(handle);
    if (inst == nullptr) return 0;
    return inst->HostEngine().HostCall(*inst, gui, opcode, index, value, ptr, opt);
}

// Numeric value of a description's default text (volts for stream pins).
double DefaultValue(const PinInfo& info) {
    if (!info.has_default || info.default_text.empty()) return 0.0;
    double v = std::strtod(info.default_text.c_str(), nullptr);
    return info.IsStream() ? v / 10.0 : v;
}

bool IsValueType(int datatype) {
    return datatype == DT_CHOICE || datatype == DT_BVALUE || datatype == DT_FVALUE || datatype == DT_IVALUE;
}

// Reads a value variable of the given datatype.
double ReadVariable(const void* variable, int datatype) {
    if (variable == nullptr) return 0.0;
    switch (datatype) {
        case DT_CHOICE: {
            int16_t v;
            std::memcpy(&v, variable, sizeof v);
            return v;
        }
        case DT_BVALUE: {
            uint8_t v;
            std::memcpy(&v, variable, sizeof v);
            return v;
        }
        case DT_FVALUE: {
            float v;
            std::memcpy(&v, variable, sizeof v);
            return v;
        }
        case DT_IVALUE: {
            int32_t v;
            std::memcpy(&v, variable, sizeof v);
            return v;
        }
        default:
            return 0.0;
    }
}

int32_t ToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace

// ---- Instance --------------------------------------------------------------

const Instance::Pin* Instance::FindDspPin(int descIndex) const {
    if (descIndex < 0 || descIndex >= static_cast<int>(m_descs.size())) return nullptr;
    int p = m_descs[descIndex].dsp_index;
    if (p < 0 || p >= static_cast<int>(m_pins.size())) return nullptr;
    return &m_pins[p];
}

Instance::Pin* Instance::FindDspPin(int descIndex) {
    return const_cast<Pin*>(static_cast<const Instance*>(this)->FindDspPin(descIndex));
}

int Instance::FindDescription(const std::string& name) const {
    for (const PinInfo& d : m_descs)
        if (d.name == name) return d.desc_index;
    return -1;
}

float Instance::GuiFloat(int descIndex) const {
    float f = 0.0f;
    if (descIndex >= 0 && descIndex < static_cast<int>(m_gui_pins.size()))
        std::memcpy(&f, &m_gui_pins[descIndex].raw, sizeof f);
    return f;
}

int Instance::GuiInt(int descIndex) const {
    if (descIndex < 0 || descIndex >= static_cast<int>(m_gui_pins.size())) return 0;
    return static_cast<int32_t>(m_gui_pins[descIndex].raw);
}

const std::string& Instance::GuiText(int descIndex) const {
    static const std::string empty;
    if (descIndex < 0 || descIndex >= static_cast<int>(m_gui_pins.size())) return empty;
    return m_gui_pins[descIndex].text;
}

void Instance::QueueEvent(Event e) {
    auto it = m_events.end();
    while (it != m_events.begin() && std::prev(it)->time > e.time) --it;
    m_events.insert(it, std::move(e));
}

// Writes the host's value of a value pin into the module's variable.
void Instance::WriteVariable(Pin& pin) {
    void* var = pin.info->variable;
    if (var == nullptr || pin.index != pin.info->dsp_index) return;  // repeated pins have none
    switch (pin.info->datatype) {
        case DT_CHOICE: {
            int16_t v = static_cast<int16_t>(std::clamp(ToInt(pin.value), -32768, 32767));
            std::memcpy(var, &v, sizeof v);
            break;
        }
        case DT_BVALUE: {
            uint8_t v = static_cast<uint8_t>(ToInt(pin.value));
            std::memcpy(var, &v, sizeof v);
            break;
        }
        case DT_FVALUE: {
            float v = static_cast<float>(pin.value);
            std::memcpy(var, &v, sizeof v);
            break;
        }
        case DT_IVALUE: {
            int32_t v = ToInt(pin.value);
            std::memcpy(var, &v, sizeof v);
            break;
        }
        default:
            break;
    }
}

// A host-held value changes at clock `at`: value pins get their variable,
// host-filled stream inputs get their buffer from `at` on.
void Instance::SetHostValue(Pin& pin, double value, int64_t at) {
    pin.value = value;
    if (pin.info->IsStream()) {
        if (pin.own == nullptr) return;
        int bs = m_engine->BlockSize();
        int64_t from = std::clamp<int64_t>(at - m_engine->BlockStart(), 0, bs);
        std::fill(pin.own + from, pin.own + bs, static_cast<float>(value));
        pin.dirty = from > 0;
    } else if (IsValueType(pin.info->datatype)) {
        WriteVariable(pin);
    }
}

// ---- Engine ----------------------------------------------------------------

Engine::Engine(double sampleRate, int blockSize) : m_sample_rate(sampleRate), m_block_size(std::max(1, blockSize)) {}

Engine::~Engine() { Close(); }

void Engine::Close() {
    // Downstream first, so no module outlives a table it reads.
    for (auto it = m_instances.rbegin(); it != m_instances.rend(); ++it) {
        Instance& inst = **it;
        if (inst.m_gui) {
            inst.m_gui->dispatch(inst.m_gui, GUI_CLOSE, 0, 0, nullptr, 0.0f);
            inst.m_gui = nullptr;
        }
        if (inst.m_dsp) {
            inst.m_dsp->dispatch(inst.m_dsp, DSP_CLOSE, 0, 0, nullptr, 0.0f);
            inst.m_dsp = nullptr;
        }
        FreeLow(inst.m_buffer_block, inst.m_buffer_bytes);
        inst.m_buffer_block = nullptr;
    }
    m_gui_work.clear();
}

void Engine::Trace(const Instance& inst, TraceKind kind, int pin, int status, double value, const std::string& text) {
    if (tracing) trace.push_back({m_now, &inst, kind, pin, status, value, text});
}

Instance* Engine::Add(const std::string& name, Library& lib, std::string& error, int extraPins) {
    if (m_started) {
        error = "cannot add a module after start";
        return nullptr;
    }
    if (Find(name)) {
        error = "module name '" + name + "' is used twice";
        return nullptr;
    }
    auto inst = std::make_unique<Instance>();
    Instance& in = *inst;
    in.m_engine = this;
    in.m_lib = &lib;
    in.m_name = name;
    in.m_order = static_cast<int>(m_instances.size());
    in.m_dsp = static_cast<KVPlugStruct*>(lib.Make()(0, 1, &HostCallbackEntry, &in));
    if (in.m_dsp == nullptr || in.m_dsp->magic != KV_PLUG_MAGIC) {
        error = lib.Name() + ": makeModule did not create a DSP instance";
        in.m_dsp = nullptr;
        return nullptr;
    }
    in.m_dsp->dispatch(in.m_dsp, DSP_PUT_SAMPLE_RATE, 0, 0, nullptr, static_cast<float>(m_sample_rate));
    in.m_dsp->dispatch(in.m_dsp, DSP_PUT_BLOCK_SIZE, 0, m_block_size, nullptr, 0.0f);
    in.m_descs = DescribePins(in.m_dsp);
    in.m_process = in.m_dsp->process;

    // DSP pins: the visible descriptions, then repeats of the last one.
    for (const PinInfo& d : in.m_descs) {
        if (!d.IsDsp()) continue;
        Instance::Pin p;
        p.info = &d;
        p.index = d.dsp_index;
        in.m_pins.push_back(std::move(p));
    }
    if (extraPins > 0 && !in.m_descs.empty() && (in.m_descs.back().flags & IO_REPEAT_LAST) && in.m_descs.back().IsDsp()) {
        for (int k = 0; k < extraPins; ++k) {
            Instance::Pin p;
            p.info = &in.m_descs.back();
            p.index = static_cast<int>(in.m_pins.size());
            in.m_pins.push_back(std::move(p));
        }
    }

    // One low-memory block for every stream buffer of the instance.
    size_t streams = 0;
    for (auto& p : in.m_pins)
        if (p.info->IsStream()) ++streams;
    if (streams > 0) {
        in.m_buffer_bytes = streams * static_cast<size_t>(m_block_size) * sizeof(float);
        in.m_buffer_block = AllocateLow(in.m_buffer_bytes);
        if (!in.m_buffer_block) {
            error = "cannot allocate pin buffers below 4 GiB";
            in.m_dsp->dispatch(in.m_dsp, DSP_CLOSE, 0, 0, nullptr, 0.0f);
            in.m_dsp = nullptr;
            return nullptr;
        }
        float* next = static_cast<float*>(in.m_buffer_block);
        for (auto& p : in.m_pins) {
            if (!p.info->IsStream()) continue;
            p.own = next;
            p.buffer = next;
            next += m_block_size;
        }
    }
    for (auto& p : in.m_pins) {
        if (p.info->IsInput() && p.index == p.info->dsp_index) {
            in.SetHostValue(p, DefaultValue(*p.info), 0);
        }
        if (p.info->datatype == DT_STRING && p.info->IsInput()) p.text = p.info->default_text;
    }

    // GUI side, where the deliverable offers one.
    in.m_gui_pins.resize(in.m_descs.size());
    for (const PinInfo& d : in.m_descs) {
        Instance::GuiPinState& g = in.m_gui_pins[d.desc_index];
        double v = DefaultValue(d);
        if (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE) {
            float f = static_cast<float>(v);
            std::memcpy(&g.raw, &f, sizeof f);
        } else {
            g.raw = static_cast<uint32_t>(ToInt(v));
        }
        if (d.datatype == DT_STRING) g.text = d.default_text;
    }
    in.m_gui = static_cast<KVGuiPlugStruct*>(lib.Make()(0, 2, &HostCallbackEntry, &in));
    if (in.m_gui != nullptr && in.m_gui->magic != KV_GUI_MAGIC) in.m_gui = nullptr;

    m_instances.push_back(std::move(inst));
    return &in;
}

Instance* Engine::Find(const std::string& name) const {
    for (auto& i : m_instances)
        if (i->m_name == name) return i.get();
    return nullptr;
}

bool Engine::Connect(Instance& from, int fromDesc, Instance& to, int toDesc, std::string& error) {
    Instance::Pin* out = from.FindDspPin(fromDesc);
    Instance::Pin* in = to.FindDspPin(toDesc);
    if (!out || out->info->IsInput()) {
        error = from.m_name + ": pin " + std::to_string(fromDesc) + " is not a DSP output";
        return false;
    }
    if (!in || !in->info->IsInput()) {
        error = to.m_name + ": pin " + std::to_string(toDesc) + " is not a DSP input";
        return false;
    }
    if (in->source || in->generator || in->automated) {
        error = to.m_name + "." + in->info->name + " already has a source";
        return false;
    }
    int a = out->info->datatype, b = in->info->datatype;
    bool ok = a == b || (IsValueType(a) && IsValueType(b)) || (IsValueType(a) && b == DT_FSAMPLE);
    if (!ok) {
        error = "cannot connect " + from.m_name + "." + out->info->name + " (" + DatatypeName(a) + ") to " +
                to.m_name + "." + in->info->name + " (" + DatatypeName(b) + ")";
        return false;
    }
    in->source = &from;
    in->source_pin = out->index;
    if (a == DT_FSAMPLE) in->buffer = out->buffer;  // the input reads the upstream buffer
    out->targets.emplace_back(&to, in->index);
    return true;
}

bool Engine::SetValue(Instance& inst, int descIndex, double value, std::string& error) {
    const PinInfo& d = inst.m_descs.at(descIndex);
    if (!d.IsInput()) {
        error = inst.m_name + "." + d.name + " is an output";
        return false;
    }
    if (d.datatype == DT_STRING) {
        error = inst.m_name + "." + d.name + " takes a text";
        return false;
    }
    if (d.IsGui()) {
        Instance::GuiPinState& g = inst.m_gui_pins[descIndex];
        if (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE) {
            float f = static_cast<float>(value);
            std::memcpy(&g.raw, &f, sizeof f);
        } else {
            g.raw = static_cast<uint32_t>(ToInt(value));
        }
    }
    if (Instance::Pin* p = inst.FindDspPin(descIndex)) inst.SetHostValue(*p, value, 0);
    return true;
}

bool Engine::SetText(Instance& inst, int descIndex, const std::string& text, std::string& error) {
    const PinInfo& d = inst.m_descs.at(descIndex);
    if (!d.IsInput() || d.datatype != DT_STRING) {
        error = inst.m_name + "." + d.name + " is not a text input";
        return false;
    }
    inst.m_gui_pins[descIndex].text = text;
    if (Instance::Pin* p = inst.FindDspPin(descIndex)) p->text = text;
    return true;
}

bool Engine::SetGenerator(Instance& inst, int descIndex, Generator gen, std::string& error) {
    Instance::Pin* p = inst.FindDspPin(descIndex);
    if (!p || !p->info->IsInput() || !p->info->IsStream()) {
        error = inst.m_name + ": a generator needs a stream input";
        return false;
    }
    if (p->source || p->automated) {
        error = inst.m_name + "." + p->info->name + " already has a source";
        return false;
    }
    p->generator = std::move(gen);
    return true;
}

bool Engine::AddStep(Instance& inst, int descIndex, int64_t time, double value, std::string& error) {
    Instance::Pin* p = inst.FindDspPin(descIndex);
    if (!p || !p->info->IsInput() || p->info->datatype == DT_STRING) {
        error = inst.m_name + ": automation needs a DSP value or stream input";
        return false;
    }
    if (p->source || p->generator) {
        error = inst.m_name + "." + p->info->name + " already has a source";
        return false;
    }
    p->automated = true;
    inst.QueueEvent({time, p->index, PS_ONE_SHOT, true, value, std::string()});
    return true;
}

bool Engine::AddTextStep(Instance& inst, int descIndex, int64_t time, const std::string& text, std::string& error) {
    Instance::Pin* p = inst.FindDspPin(descIndex);
    if (!p || !p->info->IsInput() || p->info->datatype != DT_STRING) {
        error = inst.m_name + ": text automation needs a text input";
        return false;
    }
    p->automated = true;
    inst.QueueEvent({time, p->index, PS_ONE_SHOT, true, 0.0, text});
    return true;
}

int Engine::Record(Instance& inst, int descIndex, std::string& error) {
    Instance::Pin* p = inst.FindDspPin(descIndex);
    if (!p || !p->info->IsStream()) {
        error = inst.m_name + ": only stream pins can be captured";
        return -1;
    }
    if (!p->info->IsInput()) p->recorded = true;
    m_captures.push_back({&inst, p->index, {}});
    return static_cast<int>(m_captures.size()) - 1;
}

void Engine::ComputeOrder() {
    // Upstream first; patch order among equals; cycles fall back to patch order.
    size_t n = m_instances.size();
    std::vector<int> indeg(n, 0);
    for (auto& inst : m_instances)
        for (auto& p : inst->m_pins)
            if (p.source && p.source != inst.get()) ++indeg[inst->m_order];
    std::vector<bool> done(n, false);
    m_order.clear();
    while (m_order.size() < n) {
        int pick = -1;
        for (size_t i = 0; i < n && pick < 0; ++i)
            if (!done[i] && indeg[i] == 0) pick = static_cast<int>(i);
        if (pick < 0) {
            for (size_t i = 0; i < n && pick < 0; ++i)
                if (!done[i]) pick = static_cast<int>(i);
        }
        done[pick] = true;
        Instance* inst = m_instances[pick].get();
        m_order.push_back(inst);
        for (auto& p : inst->m_pins)
            for (auto& t : p.targets)
                if (t.first != inst) --indeg[t.first->m_order];
    }
}

bool Engine::Start(std::string& error) {
    if (m_started) {
        error = "already started";
        return false;
    }
    m_started = true;
    ComputeOrder();
    m_now = 0;
    m_block_start = 0;
    for (Instance* inst : m_order) {
        // Buffer addresses are in place before open and before any process call.
        for (auto& p : inst->m_pins) {
            if (p.info->IsStream() && p.info->variable && p.index == p.info->dsp_index) {
                std::memcpy(p.info->variable, &p.buffer, sizeof p.buffer);
            }
        }
        inst->m_dsp->dispatch(inst->m_dsp, DSP_OPEN, 0, 0, nullptr, 0.0f);
        inst->m_opened = true;
        inst->m_process = inst->m_dsp->process;
        inst->m_process_changed = false;
    }
    for (Instance* inst : m_order)
        if (inst->m_gui) inst->m_gui->dispatch(inst->m_gui, GUI_OPEN, 1, 0, nullptr, 0.0f);

    // Start-up status of every input at clock 0, in pin order.
    for (Instance* inst : m_order) {
        std::vector<Instance::Event> startup;
        for (auto& p : inst->m_pins) {
            if (!p.info->IsInput()) continue;
            Instance::Event e{0, p.index, PS_STATIC, false, 0.0, std::string()};
            if (p.generator) {
                e.status = PS_STREAMING;
            } else if (p.source) {
                Instance::Pin& out = p.source->m_pins[p.source_pin];
                int status = out.announced ? out.status : (out.info->IsStream() ? PS_STREAMING : PS_STATIC);
                e = PayloadFor(*p.source, p.source_pin, *inst, p.index, status, 0);
            }
            startup.push_back(std::move(e));
        }
        // Start-up events go before anything queued for later.
        inst->m_events.insert(inst->m_events.begin(), startup.begin(), startup.end());
    }
    RunGuiWork();
    return true;
}

Instance::Event Engine::PayloadFor(Instance& from, int outPin, Instance& to, int inPin, int status, int64_t clock) {
    Instance::Pin& out = from.m_pins[outPin];
    Instance::Pin& in = to.m_pins[inPin];
    Instance::Event e{clock, inPin, status, false, 0.0, std::string()};
    int a = out.info->datatype, b = in.info->datatype;
    if (a == DT_STRING) {
        e.has_payload = true;
        e.text = out.text;
    } else if (IsValueType(a)) {
        double v = ReadVariable(out.info->variable, a);
        e.has_payload = true;
        e.value = b == DT_FSAMPLE ? v / 10.0 : v;  // a plain number drives a stream as volts
    }
    return e;
}

void Engine::Run(int64_t samples) {
    while (samples > 0) {
        int len = static_cast<int>(std::min<int64_t>(samples, m_block_size));
        m_block_start = m_now;
        RunGuiWork();
        for (Instance* inst : m_order) {
            for (auto& p : inst->m_pins) {
                if (p.generator && p.own) {
                    p.generator(m_block_start, p.own, len);
                } else if (p.dirty && p.own) {
                    std::fill(p.own, p.own + m_block_size, static_cast<float>(p.value));
                    p.dirty = false;
                }
            }
        }
        for (Instance* inst : m_order) RunInstance(*inst, m_block_start, len);
        for (Capture& c : m_captures) {
            const float* buf = c.inst->m_pins[c.pin].buffer;
            if (buf) c.samples.insert(c.samples.end(), buf, buf + len);
            else c.samples.insert(c.samples.end(), len, 0.0f);
        }
        m_now = m_block_start + len;
        samples -= len;
    }
}

void Engine::RunInstance(Instance& inst, int64_t start, int len) {
    int64_t end = start + len;
    int64_t pos = start;
    for (;;) {
        while (!inst.m_events.empty() && inst.m_events.front().time <= pos) {
            Instance::Event e = std::move(inst.m_events.front());
            inst.m_events.pop_front();
            e.time = pos;  // a late event takes effect at the first sample still to come
            Deliver(inst, e);
        }
        if (pos >= end) break;
        int64_t next = end;
        if (!inst.m_events.empty()) next = std::min(next, inst.m_events.front().time);
        if (!inst.m_sleeping) {
            m_now = pos;
            int count = static_cast<int>(next - pos);
            Trace(inst, TraceKind::ProcessCall, -1, 0, count);
            if (timing) {
                auto t0 = std::chrono::steady_clock::now();
                inst.m_process(inst.m_dsp->instance, static_cast<int>(pos - start), count);
                auto t1 = std::chrono::steady_clock::now();
                inst.process_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
                ++inst.process_calls;
            } else {
                inst.m_process(inst.m_dsp->instance, static_cast<int>(pos - start), count);
            }
            if (inst.m_process_changed) {
                inst.m_process = inst.m_dsp->process;
                inst.m_process_changed = false;
            }
        }
        pos = next;
    }
}

void Engine::Deliver(Instance& inst, Instance::Event& e) {
    m_now = e.time;
    Instance::Pin& pin = inst.m_pins[e.pin];
    if (e.has_payload) {
        if (pin.info->datatype == DT_STRING) {
            pin.text = e.text;
        } else {
            inst.SetHostValue(pin, e.value, e.time);
        }
        // A pin shared with the GUI side shows the change there too, unless
        // the change came from there.
        if (pin.info->IsGui() && pin.index == pin.info->dsp_index && inst.m_gui && !e.from_gui) {
            GuiStore(inst, pin.info->desc_index, static_cast<float>(e.value), true);
        }
    } else if (IsValueType(pin.info->datatype)) {
        // The host's value is in the variable before every status event, even
        // when the module reset its own variable in open.
        inst.WriteVariable(pin);
    }
    pin.status = e.status;
    Trace(inst, TraceKind::StatusIn, e.pin, e.status, pin.info->datatype == DT_STRING ? 0.0 : pin.value, pin.text);
    KVEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.time_stamp = static_cast<int32_t>(e.time);
    ev.type = EV_PIN_STATUS;
    ev.value = e.status;
    ev.target = e.pin;
    inst.m_sleeping = false;
    inst.m_dsp->event(inst.m_dsp->instance, &ev);
    if (inst.m_process_changed) {
        inst.m_process = inst.m_dsp->process;
        inst.m_process_changed = false;
    }
}

void Engine::Announce(Instance& inst, int pinIndex, int status, int64_t clock) {
    if (pinIndex < 0 || pinIndex >= static_cast<int>(inst.m_pins.size())) return;
    Instance::Pin& out = inst.m_pins[pinIndex];
    out.status = status;
    out.announced = true;
    double v = IsValueType(out.info->datatype) ? ReadVariable(out.info->variable, out.info->datatype) : 0.0;
    Trace(inst, TraceKind::StatusOut, pinIndex, status, v, out.text);
    if (!inst.m_opened) return;  // announcements made during open reach inputs at start-up
    for (auto& t : out.targets) {
        t.first->QueueEvent(PayloadFor(inst, pinIndex, *t.first, t.second, status, clock));
    }
}

void Engine::PutText(Instance& inst, int pinIndex, const char* text) {
    if (pinIndex < 0 || pinIndex >= static_cast<int>(inst.m_pins.size())) return;
    Instance::Pin& out = inst.m_pins[pinIndex];
    if (out.info->datatype != DT_STRING) return;
    out.text = text ? text : "";
    Trace(inst, TraceKind::TextOut, pinIndex, PS_ONE_SHOT, 0.0, out.text);
    if (!inst.m_opened) return;
    for (auto& t : out.targets) {
        t.first->QueueEvent(PayloadFor(inst, pinIndex, *t.first, t.second, PS_ONE_SHOT, m_now));
    }
}

// Stores a GUI pin value and queues the GUI's change notice. A pin shared with
// the DSP side also updates the DSP variable and sends the DSP a status event,
// unless the change came from the DSP side. A `nested` change (the GUI
// instance's own write) is reported to the GUI before the write returns, so a
// module can drop the notices of its own writes with a busy flag; past
// kMaxGuiDepth nested notices they are queued instead.
void Engine::GuiStore(Instance& inst, int descIndex, float value, bool fromDsp, bool nested) {
    constexpr int kMaxGuiDepth = 32;
    const PinInfo& d = inst.m_descs[descIndex];
    Instance::GuiPinState& g = inst.m_gui_pins[descIndex];
    if (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE) {
        std::memcpy(&g.raw, &value, sizeof value);
    } else {
        g.raw = static_cast<uint32_t>(ToInt(value));
    }
    bool now = nested && inst.m_gui && m_gui_depth < kMaxGuiDepth;
    if (!now) m_gui_work.push_back({&inst, GUI_PIN_CHANGED, descIndex, 0, nullptr});
    if (!fromDsp && (d.flags & IO_UI_AND_DSP) && d.IsInput()) {
        if (Instance::Pin* p = inst.FindDspPin(descIndex)) {
            inst.QueueEvent({m_now, p->index, PS_ONE_SHOT, true, static_cast<double>(value), std::string(), true});
        }
    }
    if (now) {
        ++m_gui_depth;
        Trace(inst, TraceKind::GuiChanged, descIndex, 0, inst.GuiFloat(descIndex));
        inst.m_gui->dispatch(inst.m_gui, GUI_PIN_CHANGED, descIndex, 0, nullptr, 0.0f);
        --m_gui_depth;
    }
}

void Engine::GuiPut(Instance& inst, int descIndex, float value) {
    if (descIndex < 0 || descIndex >= static_cast<int>(inst.m_descs.size())) return;
    Trace(inst, TraceKind::GuiPut, descIndex, 0, value);
    GuiStore(inst, descIndex, value, false);
}

void Engine::RunGuiWork() {
    // Bounded, so two GUI pins that keep rewriting each other cannot hang the host.
    for (int guard = 0; guard < 100000 && !m_gui_work.empty(); ++guard) {
        GuiWork w = m_gui_work.front();
        m_gui_work.pop_front();
        if (!w.inst->m_gui) continue;
        if (w.opcode == GUI_PIN_CHANGED) Trace(*w.inst, TraceKind::GuiChanged, w.index, 0, w.inst->GuiFloat(w.index));
        w.inst->m_gui->dispatch(w.inst->m_gui, w.opcode, w.index, w.value, w.ptr, 0.0f);
    }
}

int Engine::HostCall(Instance& inst, bool gui, int opcode, int index, int value, void* ptr, float opt) {
    if (gui) {
        if (index < 0 || index >= static_cast<int>(inst.m_descs.size())) return 0;
        switch (opcode) {
            case GUIHOST_GET_PIN_VALUE:
                if (ptr) std::memcpy(ptr, &inst.m_gui_pins[index].raw, 4);
                return 1;
            case GUIHOST_PUT_PIN_VALUE:
                Trace(inst, TraceKind::GuiPut, index, 0, opt);
                GuiStore(inst, index, opt, false, true);
                return 1;
            default:
                return 0;
        }
    }
    int pins = static_cast<int>(inst.m_pins.size());
    bool validPin = index >= 0 && index < pins;
    switch (opcode) {
        case HOST_PUT_PIN_STATUS:
            Announce(inst, index, value, static_cast<int64_t>(reinterpret_cast<intptr_t>(ptr)));
            return 0;
        case HOST_IS_PIN_CONNECTED: {
            if (!validPin) return 0;
            const Instance::Pin& p = inst.m_pins[index];
            return (p.source || p.generator || p.automated || p.recorded || !p.targets.empty()) ? 1 : 0;
        }
        case HOST_GET_SAMPLE_CLOCK:
            return static_cast<int>(m_now);
        case HOST_GET_PIN_BUFFER: {
            if (!validPin || !inst.m_pins[index].buffer) return 0;
            return static_cast<int>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(inst.m_pins[index].buffer)));
        }
        case HOST_GET_BLOCK_START_CLOCK:
            return static_cast<int>(m_block_start);
        case HOST_SLEEP:
            Trace(inst, TraceKind::Sleep, -1, 0);
            inst.m_sleeping = true;
            return 0;
        case HOST_GET_PIN_COUNT:
            return pins;
        case HOST_GET_PIN_TEXT: {
            if (!validPin || ptr == nullptr || value <= 0) return 0;
            const std::string& t = inst.m_pins[index].text;
            size_t n = std::min(t.size(), static_cast<size_t>(value - 1));
            std::memcpy(ptr, t.data(), n);
            static_cast<char*>(ptr)[n] = '\0';
            return 1;
        }
        case HOST_NOTIFY_GUI:
            Trace(inst, TraceKind::NotifyGui, index, value);
            if (inst.m_gui) m_gui_work.push_back({&inst, GUI_DSP_MESSAGE, index, value, ptr});
            return 0;
        case HOST_PUT_PIN_TEXT:
            PutText(inst, index, static_cast<const char*>(ptr));
            return 0;
        case HOST_PROCESS_CHANGED:
            Trace(inst, TraceKind::ProcessChanged, -1, 0);
            inst.m_process_changed = true;
            return 0;
        default:
            return 0;
    }
}

}  // namespace kvhost
