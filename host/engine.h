// The host engine: instances of loaded deliverables, their pins and
// connections, one sample clock, and the scheduler that runs them block by
// block with events at their sample. The CLI, the tests and the benchmarks all
// drive modules through this class.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "library.h"

namespace kvhost {

class Engine;

// What happened, for tests and for the .csv trace.
enum class TraceKind {
    StatusIn,        // a status event delivered to an input (pin = DSP index)
    StatusOut,       // a module announced an output status
    TextOut,         // HOST_PUT_PIN_TEXT
    Sleep,           // HOST_SLEEP
    ProcessChanged,  // HOST_PROCESS_CHANGED
    ProcessCall,     // one call of the processing routine (value = sample count)
    NotifyGui,       // HOST_NOTIFY_GUI (status = value argument)
    GuiPut,          // GUIHOST_PUT_PIN_VALUE (pin = description index)
    GuiChanged,      // GUI opcode 7 delivered (pin = description index)
};

struct TraceEntry {
    int64_t clock;
    const class Instance* instance;
    TraceKind kind;
    int pin;
    int status;
    double value;
    std::string text;
};

// A function that fills `n` samples starting at sample clock `start`.
using Generator = std::function<void(int64_t start, float* out, int n)>;

class Instance {
public:
    struct Pin {
        const PinInfo* info = nullptr;  // repeated pins share the last description
        int index = 0;                  // DSP pin index
        float* buffer = nullptr;        // stream pins: the buffer the module sees
        float* own = nullptr;           // this pin's own buffer (low memory)
        double value = 0.0;             // value pins and host-filled streams: current value
        std::string text;               // text pins
        int status = PS_STATIC;         // inputs: last delivered; outputs: last announced
        bool announced = false;         // outputs: announced at least once
        bool dirty = false;             // own buffer must be refilled with `value`
        bool recorded = false;          // the host captures this output
        std::vector<std::pair<Instance*, int>> targets;  // output -> connected inputs
        Instance* source = nullptr;     // input <- output of `source`
        int source_pin = -1;
        Generator generator;            // host-side streaming source
        bool automated = false;         // host-side steps feed this input
    };

    const std::string& Name() const { return m_name; }
    Library& Lib() const { return *m_lib; }
    const std::vector<PinInfo>& Descriptions() const { return m_descs; }
    std::vector<Pin>& Pins() { return m_pins; }
    const Pin* FindDspPin(int descIndex) const;
    Pin* FindDspPin(int descIndex);
    // Description index of the pin called `name`, or -1.
    int FindDescription(const std::string& name) const;
    bool HasGui() const { return m_gui != nullptr; }
    KVPlugStruct* Dsp() const { return m_dsp; }
    KVGuiPlugStruct* Gui() const { return m_gui; }
    bool Sleeping() const { return m_sleeping; }
    Engine& HostEngine() const { return *m_engine; }
    // Time spent in this instance's processing calls while Engine::timing is set.
    int64_t process_ns = 0;
    int64_t process_calls = 0;
    // GUI-side value of a GUI pin (raw 32-bit word) as float or int.
    float GuiFloat(int descIndex) const;
    int GuiInt(int descIndex) const;
    const std::string& GuiText(int descIndex) const;

private:
    friend class Engine;
    struct Event {
        int64_t time;
        int pin;
        int status;
        bool has_payload;
        double value;
        std::string text;
        bool from_gui = false;  // queued by a GUI write: the GUI side already holds the value
    };
    struct GuiPinState {
        uint32_t raw = 0;
        std::string text;
    };

    void QueueEvent(Event e);
    void WriteVariable(Pin& pin);
    void SetHostValue(Pin& pin, double value, int64_t at);

    Engine* m_engine = nullptr;
    Library* m_lib = nullptr;
    std::string m_name;
    KVPlugStruct* m_dsp = nullptr;
    KVGuiPlugStruct* m_gui = nullptr;
    std::vector<PinInfo> m_descs;
    std::vector<Pin> m_pins;
    std::vector<GuiPinState> m_gui_pins;  // by description index
    std::deque<Event> m_events;           // sorted by time, stable
    KVProcessFn m_process = nullptr;
    bool m_opened = false;
    bool m_sleeping = false;
    bool m_process_changed = false;
    size_t m_buffer_bytes = 0;
    void* m_buffer_block = nullptr;
    int m_order = 0;
};

class Engine {
public:
    Engine(double sampleRate, int blockSize);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    double SampleRate() const { return m_sample_rate; }
    int BlockSize() const { return m_block_size; }
    int64_t Clock() const { return m_now; }
    int64_t BlockStart() const { return m_block_start; }

    // Creates DSP (and GUI, where offered) instances of `lib`, named `name`.
    // `extraPins` adds pins beyond the visible descriptions (repeat-last).
    Instance* Add(const std::string& name, Library& lib, std::string& error, int extraPins = 0);
    Instance* Find(const std::string& name) const;
    const std::vector<std::unique_ptr<Instance>>& Instances() const { return m_instances; }

    // Wires output description `fromDesc` of `from` to input `toDesc` of `to`.
    bool Connect(Instance& from, int fromDesc, Instance& to, int toDesc, std::string& error);

    // Host-side settings of an input, before Start. Stream values are in
    // module units (volts / 10).
    bool SetValue(Instance& inst, int descIndex, double value, std::string& error);
    bool SetText(Instance& inst, int descIndex, const std::string& text, std::string& error);
    bool SetGenerator(Instance& inst, int descIndex, Generator gen, std::string& error);
    // A new value at sample `time`, announced to the module as a one-shot change.
    bool AddStep(Instance& inst, int descIndex, int64_t time, double value, std::string& error);
    bool AddTextStep(Instance& inst, int descIndex, int64_t time, const std::string& text, std::string& error);
    // Captures every sample of an output (or input) stream pin; returns the
    // capture's number for Captured().
    int Record(Instance& inst, int descIndex, std::string& error);
    const std::vector<float>& Captured(int capture) const { return m_captures[capture].samples; }

    // Opens every instance (upstream first), opens the GUI sides and queues
    // the start-up status of every input at clock 0.
    bool Start(std::string& error);
    // Runs `samples` more samples.
    void Run(int64_t samples);
    // Closes every instance (also done by the destructor).
    void Close();

    // A user change of a GUI pin, as GUIHOST_PUT_PIN_VALUE would make it.
    void GuiPut(Instance& inst, int descIndex, float value);
    // Runs the queued GUI work now (also done before every block).
    void RunGuiWork();

    // The trace of everything that crossed the boundary, when enabled.
    bool tracing = false;
    std::vector<TraceEntry> trace;
    // Times every processing call into Instance::process_ns (kvhost bench).
    bool timing = false;

    // Called by the host callback; public for the C entry.
    int HostCall(Instance& inst, bool gui, int opcode, int index, int value, void* ptr, float opt);

private:
    struct Capture {
        Instance* inst;
        int pin;
        std::vector<float> samples;
    };
    struct GuiWork {
        Instance* inst;
        int opcode;
        int index;
        int value;
        void* ptr;
    };

    void Trace(const Instance& inst, TraceKind kind, int pin, int status, double value = 0.0,
               const std::string& text = std::string());
    void ComputeOrder();
    void RunInstance(Instance& inst, int64_t start, int len);
    void Deliver(Instance& inst, Instance::Event& e);
    void Announce(Instance& inst, int pin, int status, int64_t clock);
    void PutText(Instance& inst, int pin, const char* text);
    void GuiStore(Instance& inst, int descIndex, float value, bool fromDsp, bool nested = false);
    Instance::Event PayloadFor(Instance& from, int outPin, Instance& to, int inPin, int status, int64_t clock);

    double m_sample_rate;
    int m_block_size;
    int64_t m_now = 0;
    int64_t m_block_start = 0;
    bool m_started = false;
    std::vector<std::unique_ptr<Instance>> m_instances;
    std::vector<Instance*> m_order;
    std::vector<Capture> m_captures;
    std::deque<GuiWork> m_gui_work;
    int m_gui_depth = 0;  // GUI change notices being delivered inside a GUI write
};

}  // namespace kvhost
