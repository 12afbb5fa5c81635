// The framework's contract: entry points, records, dispatcher, pins, events,
// routine switching and the GUI base, checked on a fixture module with a
// scripted host, and through the built fixture deliverables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KVContract.h"
#include "KVPin.h"
#include "fixture_module.h"
#include "library.h"

namespace {

// A scripted host: answers the DSP opcodes from these fields and logs calls.
struct FakeHost {
    int pin_count = 0;
    int clock = 0;
    int block_start = 0;
    std::vector<float*> buffers;
    std::vector<int> opcodes;
    std::vector<std::string> contracts;
    struct GuiCall {
        int opcode, index;
        float opt;
    };
    std::vector<GuiCall> gui_calls;
    uint32_t gui_value = 0;
};
FakeHost* g_host = nullptr;

int FakeCallback(void* rec, int opcode, int index, int, void* ptr, float opt) {
    FakeHost& h = *g_host;
    uint32_t magic;
    std::memcpy(&magic, rec, 4);
    if (magic == KV_GUI_MAGIC) {
        h.gui_calls.push_back({opcode, index, opt});
        if (opcode == GUIHOST_GET_PIN_VALUE) std::memcpy(ptr, &h.gui_value, 4);
        return 0;
    }
    h.opcodes.push_back(opcode);
    switch (opcode) {
        case HOST_GET_PIN_COUNT: return h.pin_count;
        case HOST_GET_SAMPLE_CLOCK: return h.clock;
        case HOST_GET_BLOCK_START_CLOCK: return h.block_start;
        case HOST_GET_PIN_BUFFER:
            return index < static_cast<int>(h.buffers.size())
                       ? static_cast<int>(reinterpret_cast<uintptr_t>(h.buffers[index]))
                       : 0;
        default: return 0;
    }
}

void RecordContract(const char* condition, const char* source, int) {
    g_host->contracts.push_back(std::string(source) + ": " + condition);
}

class Framework : public ::testing::Test {
protected:
    void SetUp() override {
        g_host = &host;
        kv::SetContractHandler(&RecordContract);
    }
    void TearDown() override {
        kv::SetContractHandler(nullptr);
        g_host = nullptr;
    }
    int Count(int opcode) const {
        int n = 0;
        for (int op : host.opcodes) n += op == opcode;
        return n;
    }
    FakeHost host;
};

// Logs which descriptions Open asks for.
class LoggingModule : public fixture::Module {
public:
    using fixture::Module::Module;
    bool DescribePin(int index, KVPinProperties* out) override {
        asked.push_back(index);
        return fixture::Module::DescribePin(index, out);
    }
    void Reset() override { calls.push_back("Reset"); }
    void ResetIndexed(int index) override { calls.push_back("ResetIndexed " + std::to_string(index)); }
    void PinStatusChanged(KVPin* pin) override { seen_status.push_back(pin->Status()); }
    std::vector<int> asked;
    std::vector<std::string> calls;
    std::vector<int> seen_status;
};

// The host's opcode-6 record is one it zeroed; the module writes only its fields.
KVPinProperties Describe(KVModule_base& m, int index, int* result) {
    KVPinProperties p;
    std::memset(&p, 0, sizeof p);
    *result = m.Record()->dispatch(m.Record(), DSP_GET_PIN_PROPERTIES, index, 0, &p, 0.0f);
    return p;
}

TEST_F(Framework, RecordsCarryMagicVersionAndPointBackToTheirObjects) {
    auto* m = new LoggingModule(&FakeCallback, reinterpret_cast<void*>(0x1234));
    KVPlugStruct* rec = m->Record();
    EXPECT_EQ(rec->magic, 0x4B56507Bu);
    EXPECT_EQ(rec->version, 1);
    EXPECT_EQ(rec->hostHandle, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(rec->instance, static_cast<KVModule_base*>(m));
    EXPECT_EQ(rec->reserved4, 0);
    for (int w : rec->reserved8) EXPECT_EQ(w, 0);
    EXPECT_NE(rec->process, nullptr);
    EXPECT_EQ(m->SampleRate(), 44100.0f);
    EXPECT_EQ(m->BlockSize(), 1024);

    auto* g = new fixture::GuiModule(&FakeCallback, reinterpret_cast<void*>(0x99));
    EXPECT_EQ(g->Record()->magic, 0x4B56504Du);
    EXPECT_EQ(g->Record()->version, 1);
    EXPECT_EQ(g->Record()->hostHandle, reinterpret_cast<void*>(0x99));
    EXPECT_EQ(g->Record()->instance, static_cast<KVGUI_base*>(g));

    EXPECT_EQ(rec->dispatch(rec, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(g->Record()->dispatch(g->Record(), GUI_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST_F(Framework, OpenSkipsPureUiPinsAndStopsAtTheHostCount) {
    // Descriptions: In, Out, Panel (UI only), Gain, Shared, Extra. Host count 3.
    host.pin_count = 3;
    LoggingModule m(&FakeCallback, nullptr);
    m.Record()->dispatch(m.Record(), DSP_OPEN, 0, 0, nullptr, 0.0f);
    ASSERT_EQ(m.PinCount(), 3);
    EXPECT_EQ(m.GetPin(0)->Datatype(), DT_FSAMPLE);  // In
    EXPECT_EQ(m.GetPin(1)->Datatype(), DT_FSAMPLE);  // Out
    EXPECT_EQ(m.GetPin(2)->Datatype(), DT_FVALUE);   // Gain, after the skipped Panel
    EXPECT_EQ(m.GetPin(2)->Index(), 2);
    int described;
    KVPinProperties panel = Describe(m, 2, &described);
    EXPECT_EQ(described, 1);
    EXPECT_STREQ(panel.name, "Panel");  // opcode 6 still counts every description
    EXPECT_EQ(Describe(m, 6, &described).name, nullptr);
    EXPECT_EQ(described, 0);
}

TEST_F(Framework, RepeatedLastDescriptionFillsTheExtraPinsWithoutAVariable) {
    host.pin_count = 5 + 3;  // five visible descriptions, three more pins
    LoggingModule m(&FakeCallback, nullptr);
    m.Open();
    ASSERT_EQ(m.PinCount(), 8);
    void* extra_var = m.GetPin(4)->Variable();
    for (int p = 5; p < 8; ++p) {
        EXPECT_EQ(m.GetPin(p)->Datatype(), DT_FVALUE);
        EXPECT_NE(m.GetPin(p)->Variable(), extra_var) << "pin " << p << " must use its own storage";
        EXPECT_EQ(*static_cast<float*>(m.GetPin(p)->Variable()), 0.0f);
        EXPECT_EQ(m.GetPin(p)->Index(), p);
    }
}

TEST_F(Framework, HostCountZeroMakesNoPinsAndRedescribesMinusOne) {
    host.pin_count = 0;
    LoggingModule m(&FakeCallback, nullptr);
    m.Open();
    EXPECT_EQ(m.PinCount(), 0);
    EXPECT_EQ(m.asked, (std::vector<int>{0, -1}));
}

TEST_F(Framework, WithoutHostEveryQuestionAnswersZero) {
    LoggingModule m(nullptr, nullptr);
    m.Open();
    EXPECT_EQ(m.PinCount(), 0);
    EXPECT_EQ(m.SampleClock(), 0);
    EXPECT_EQ(m.CallHost(HOST_GET_PIN_COUNT), 0);
}

TEST_F(Framework, SetProcessFunctionTellsTheHostOncePerChange) {
    host.pin_count = 5;
    fixture::Module m(&FakeCallback, nullptr);
    m.Open();  // installs ProcessStatic: one change
    EXPECT_EQ(Count(HOST_PROCESS_CHANGED), 1);
    KVProcessFn before = m.Record()->process;
    m.SetProcessFunction<&fixture::Module::ProcessStatic>();
    EXPECT_EQ(Count(HOST_PROCESS_CHANGED), 1);
    m.SetProcessFunction<&fixture::Module::ProcessStream>();
    EXPECT_EQ(Count(HOST_PROCESS_CHANGED), 2);
    EXPECT_NE(m.Record()->process, before);
    m.SetProcessFunction<&fixture::Module::ProcessStream>();
    EXPECT_EQ(Count(HOST_PROCESS_CHANGED), 2);
}

TEST_F(Framework, ResetOpcodeCallsResetThenResetIndexedForPositiveIndex) {
    LoggingModule m(&FakeCallback, nullptr);
    m.Dispatch(DSP_RESET, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(m.calls, (std::vector<std::string>{"Reset"}));
    m.calls.clear();
    m.Dispatch(DSP_RESET, 5, 0, nullptr, 0.0f);
    EXPECT_EQ(m.calls, (std::vector<std::string>{"Reset", "ResetIndexed 5"}));
}

TEST_F(Framework, ProcessPointerRecordIsSharedAndNamesTheCaller) {
    LoggingModule a(&FakeCallback, nullptr), b(&FakeCallback, nullptr);
    int ra = a.Dispatch(DSP_GET_PROCESS_POINTER, 0, 0, nullptr, 0.0f);
    const KVProcessPointerRecord* rec = KVModule_base::ProcessPointerRecord();
    EXPECT_EQ(static_cast<uint32_t>(ra), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(rec)));
    EXPECT_EQ(rec->one, 1);
    EXPECT_EQ(rec->member_size, 12);
    EXPECT_EQ(rec->zero, 0);
    void* named_a = rec->process_member;
    int rb = b.Dispatch(DSP_GET_PROCESS_POINTER, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(ra, rb);
    EXPECT_NE(rec->process_member, named_a);
    EXPECT_EQ(static_cast<char*>(rec->process_member) - reinterpret_cast<char*>(&b),
              static_cast<char*>(named_a) - reinterpret_cast<char*>(&a));
}

TEST_F(Framework, ContractChecksReportConditionSourceAndLine) {
    host.pin_count = 5;
    LoggingModule m(&FakeCallback, nullptr);
    m.Open();
    host.clock = 10;
    KVEvent e{};
    e.time_stamp = 9;  // not the current clock
    e.type = EV_PIN_STATUS;
    e.target = 0;
    m.Record()->event(m.Record()->instance, &e);
    m.Dispatch(DSP_RESERVED_7, 0, 0, nullptr, 0.0f);
    m.Dispatch(DSP_RESERVED_10, 0, 0, nullptr, 0.0f);
    m.GetPin(2)->Value();  // Gain is not a stream
    ASSERT_EQ(host.contracts.size(), 4u);
    EXPECT_EQ(host.contracts[0], "kv_sdk2\\KVModule_base: e->time_stamp == SampleClock()");
    EXPECT_EQ(host.contracts[1], "kv_sdk2\\KVModule_base: false");
    EXPECT_EQ(host.contracts[2], "kv_sdk2\\KVModule_base: false");
    EXPECT_EQ(host.contracts[3], "kv_sdk2\\KVPin: m_datatype == DT_FSAMPLE");
}

// A module that marks an ordinary input for patch storage breaks the contract.
class PatchStoreModule : public KVModule_base {
public:
    using KVModule_base::KVModule_base;
    int flags = IO_PATCH_STORE;
    int direction = DR_IN;
    bool DescribePin(int index, KVPinProperties* out) override {
        if (index != 0) return false;
        out->direction = direction;
        out->datatype = DT_FVALUE;
        out->name = "Stored";
        out->flags = flags;
        return true;
    }
};

TEST_F(Framework, DescriptionCheckAllowsPatchStoreOnlyWithPrivateUiOrOutput) {
    struct Case {
        int flags, direction;
        bool breaks;
    } cases[] = {
        {IO_PATCH_STORE, DR_IN, true},
        {IO_PATCH_STORE, DR_PARAMETER, true},
        {IO_PATCH_STORE | IO_PRIVATE, DR_IN, false},
        {IO_PATCH_STORE | IO_UI_COMMUNICATION, DR_IN, false},
        {IO_PATCH_STORE, DR_OUT, false},
        {0, DR_IN, false},
    };
    for (const Case& c : cases) {
        host.contracts.clear();
        PatchStoreModule m(&FakeCallback, nullptr);
        m.flags = c.flags;
        m.direction = c.direction;
        int described;
        Describe(m, 0, &described);
        EXPECT_EQ(described, 1);
        ASSERT_EQ(host.contracts.size(), c.breaks ? 1u : 0u) << "flags " << c.flags << " direction " << c.direction;
        if (c.breaks) {
            EXPECT_EQ(host.contracts[0],
                      "kv_sdk2\\KVModule_base: (((KVPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
                      "(((KVPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || ((KVPinProperties*)ptr)->direction == DR_OUT || "
                      "( ( (KVPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0");
        }
    }
}

TEST_F(Framework, PinStatusOneShotIsVisibleOnlyDuringTheNotice) {
    host.pin_count = 5;
    LoggingModule m(&FakeCallback, nullptr);
    m.Open();
    KVPin* pin = m.GetPin(2);
    pin->SetStatus(PS_ONE_SHOT);
    EXPECT_EQ(m.seen_status.back(), PS_ONE_SHOT);
    EXPECT_EQ(pin->Status(), PS_STATIC);
    pin->SetStatus(PS_STREAMING);
    EXPECT_EQ(pin->Status(), PS_STREAMING);
}

TEST_F(Framework, EventsReachPinsAndValueReadsTheSampleAtTheClock) {
    float in[8] = {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f};
    host.pin_count = 5;
    LoggingModule m(&FakeCallback, nullptr);
    m.Open();
    // The module's In variable would normally hold the buffer; here the pin reads it.
    float* buffer = in;
    std::memcpy(m.GetPin(0)->Variable(), &buffer, sizeof buffer);
    host.block_start = 100;
    host.clock = 100;
    EXPECT_EQ(m.GetPin(0)->Value(), 0.5f);
    host.clock = 103;
    EXPECT_EQ(m.GetPin(0)->Value(), 3.5f);
    KVEvent e{};
    e.time_stamp = 103;
    e.type = EV_PIN_STATUS;
    e.value = PS_STREAMING;
    e.target = 0;
    m.Record()->event(m.Record()->instance, &e);
    EXPECT_EQ(m.seen_status, (std::vector<int>{PS_STREAMING}));
    EXPECT_TRUE(host.contracts.empty());
}

TEST_F(Framework, PinWithoutVariableUsesOwnStorage) {
    float buffer[4] = {};
    host.buffers = {nullptr, nullptr, nullptr};
    // Only meaningful where the buffer address fits the host's 32-bit answer.
    if (reinterpret_cast<uintptr_t>(buffer) <= 0xFFFFFFFFu) host.buffers[2] = buffer;
    fixture::Module m(&FakeCallback, nullptr);
    KVPin stream, text;
    stream.Init(nullptr, &m, 2, DT_FSAMPLE);
    text.Init(nullptr, &m, 1, DT_STRING);
    ASSERT_NE(stream.Variable(), nullptr);
    EXPECT_EQ(*static_cast<float**>(stream.Variable()), host.buffers[2]);
    EXPECT_EQ(text.Variable(), nullptr);
    EXPECT_EQ(stream.Status(), PS_STATIC);
}

TEST_F(Framework, GuiDispatchAndPinHandles) {
    struct Probe : fixture::GuiModule {
        using fixture::GuiModule::GuiModule;
        std::vector<int> opened;
        std::vector<std::vector<int>> messages;
        void GuiOpen(bool flag) override { opened.push_back(flag); }
        void OnDspMessage(int value, int index, void* ptr) override {
            messages.push_back({value, index, ptr == nullptr});
        }
    };
    auto* g = new Probe(&FakeCallback, nullptr);
    KVGuiPlugStruct* rec = g->Record();
    rec->dispatch(rec, GUI_OPEN, 1, 0, nullptr, 0.0f);
    rec->dispatch(rec, GUI_OPEN, 0, 0, nullptr, 0.0f);
    rec->dispatch(rec, GUI_OPEN, 2, 0, nullptr, 0.0f);
    EXPECT_EQ(g->opened, (std::vector<int>{1, 0, 0}));
    rec->dispatch(rec, GUI_DSP_MESSAGE, 0, 1, nullptr, 0.0f);
    EXPECT_EQ(g->messages, (std::vector<std::vector<int>>{{1, 0, 1}}));
    EXPECT_EQ(rec->dispatch(rec, 10, 0, 0, nullptr, 0.0f), 0);

    KVGuiPin* first = g->GetGuiPin(3);
    KVGuiPin* second = g->GetGuiPin(7);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->index, 7);

    float f = 2.5f;
    std::memcpy(&host.gui_value, &f, 4);
    EXPECT_EQ(second->FloatValue(), 2.5f);
    host.gui_value = 42;
    EXPECT_EQ(g->GetGuiPin(4)->IntValue(), 42);
    g->GetGuiPin(4)->SetValue(0.75f);
    ASSERT_FALSE(host.gui_calls.empty());
    EXPECT_EQ(host.gui_calls.back().opcode, GUIHOST_PUT_PIN_VALUE);
    EXPECT_EQ(host.gui_calls.back().index, 4);
    EXPECT_EQ(host.gui_calls.back().opt, 0.75f);
    EXPECT_EQ(rec->dispatch(rec, GUI_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

// ---- Through the built deliverables --------------------------------------

std::unique_ptr<kvhost::Library> LoadFixture(const char* name) {
    std::string error;
    auto lib = kvhost::Library::Load(kvhost::DeliverablePath(KV_TEST_PLUGIN_DIR, name), error);
    EXPECT_TRUE(lib) << error;
    return lib;
}

TEST(Deliverable, EntryPointsAnswerIndexZeroAndTypesOneAndTwo) {
    auto lib = LoadFixture("KV_Test_Fixture");
    ASSERT_TRUE(lib);
    KVModuleProperties p;
    std::memset(&p, 0x5A, sizeof p);
    KVModuleProperties untouched = p;
    EXPECT_EQ(lib->GetProperties()(1, &p), 0);
    EXPECT_EQ(std::memcmp(&p, &untouched, sizeof p), 0);
    EXPECT_EQ(lib->GetProperties()(0, &p), 1);
    EXPECT_STREQ(p.name, "KV_Test_Fixture");
    EXPECT_EQ(p.sdkVersion, 2240);
    EXPECT_EQ(p.host_word3, untouched.host_word3);  // words 3 and 4 are the host's

    EXPECT_EQ(lib->Make()(0, 3, nullptr, nullptr), nullptr);
    EXPECT_EQ(lib->Make()(1, 1, nullptr, nullptr), nullptr);
    auto* dsp = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr));
    auto* dsp2 = static_cast<KVPlugStruct*>(lib->Make()(0, 1, nullptr, nullptr));
    auto* gui = static_cast<KVGuiPlugStruct*>(lib->Make()(0, 2, nullptr, nullptr));
    ASSERT_TRUE(dsp && dsp2 && gui);
    EXPECT_NE(dsp, dsp2);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(dsp)[0], 0x4B56507Bu);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(dsp)[1], 1u);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(gui)[0], 0x4B56504Du);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(gui)[1], 1u);
    EXPECT_EQ(dsp->dispatch(dsp, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(dsp2->dispatch(dsp2, DSP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(gui->dispatch(gui, GUI_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST(Deliverable, ArrayFlavourWritesTheVersionFirstAndHasNoGuiSide) {
    auto lib = LoadFixture("KV_Test_Fixture_Array");
    ASSERT_TRUE(lib);
    KVModuleProperties p;
    std::memset(&p, 0, sizeof p);
    EXPECT_EQ(lib->GetProperties()(1, &p), 0);
    EXPECT_EQ(p.sdkVersion, 2230);
    EXPECT_EQ(p.name, nullptr);
    EXPECT_EQ(lib->Make()(0, 2, nullptr, nullptr), nullptr);
}

}  // namespace
