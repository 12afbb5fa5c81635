// KVModule_base: the base of every DSP module object.
//
// It embeds the instance record the host talks to, turns host calls into
// virtual operations, builds the pins from the module's descriptions, delivers
// events at their sample and switches the processing routine while telling the
// host. A module overrides a few operations and supplies ProcessXxx routines of
// the shape void (int bufferOffset, int sampleFrames).
#pragma once

#include <type_traits>

#include "KVContract.h"
#include "kv_sdk2.h"

class KVPin;

class KVModule_base {
public:
    // A processing routine as a member of the base; derived routines are cast
    // to this type (they are only ever called on their own class).
    using ProcessMember = void (KVModule_base::*)(int bufferOffset, int sampleFrames);

    KVModule_base(HostCallback host, void* hostHandle);
    virtual ~KVModule_base();

    virtual void PinStatusChanged(KVPin* pin);
    virtual void DeliverEvent(KVEvent* e);
    virtual int Dispatch(int opcode, int index, int value, void* ptr, float opt);
    virtual void Open();
    virtual void Close();
    virtual void SetSampleRate(float rate);
    virtual void SetBlockSize(int size);
    virtual float SampleRate();
    virtual int BlockSize();
    virtual bool DescribePin(int index, KVPinProperties* out);
    virtual void Reset();
    virtual void ResetIndexed(int index);
    virtual void OnDataEvent(int timeStamp, int value, short extra);
    virtual void OnGuiMessage(int value, int index, void* ptr);

    // Absolute number of the sample being processed; asks the host every time.
    int SampleClock();
    // Forwards to the host with this instance's record; 0 without a host.
    int CallHost(int opcode, int index = 0, int value = 0, void* ptr = nullptr, float opt = 0.0f);
    // Pin `index` of the pin array (indices count DSP-visible pins only).
    KVPin* GetPin(int index);
    // Number of pins made by Open (the host's pin count).
    int PinCount() const { return m_pin_count; }

    // Installs routine F (a member `void F(int, int)` of the module class).
    // Does nothing if F is already current; otherwise updates the record's
    // process word and tells the host with HOST_PROCESS_CHANGED.
    template <auto F>
    void SetProcessFunction() {
        using M = typename MemberOwner<decltype(F)>::type;
        SetProcessFunction(static_cast<ProcessMember>(F), &ProcessTrampoline<M, F>);
    }

    // The empty routine every instance starts with.
    void ProcessIdle(int bufferOffset, int sampleFrames);

    KVPlugStruct* Record() { return &m_record; }
    // The record DSP_GET_PROCESS_POINTER answers with (its int result cannot
    // carry this address in 64-bit builds).
    static const KVProcessPointerRecord* ProcessPointerRecord();
    ProcessMember CurrentProcessFunction() const { return m_process; }

protected:
    HostCallback m_host;
    KVPlugStruct m_record;
    float m_sample_rate = 44100.0f;
    int m_block_size = 1024;
    KVPin* m_pins = nullptr;
    int m_pin_count = 0;
    ProcessMember m_process;

private:
    template <class T>
    struct MemberOwner;
    template <class C>
    struct MemberOwner<void (C::*)(int, int)> {
        using type = C;
    };

    template <class M, auto F>
    static void ProcessTrampoline(void* instance, int bufferOffset, int sampleFrames) {
        M* module = static_cast<M*>(static_cast<KVModule_base*>(instance));
        (module->*F)(bufferOffset, sampleFrames);
    }

    void SetProcessFunction(ProcessMember member, KVProcessFn code);
    void InitPin(int pinIndex, const KVPinProperties& desc, bool withVariable);

    static int DispatchEntry(KVPlugStruct* rec, int opcode, int index, int value, void* ptr, float opt);
    static void EventEntry(void* instance, KVEvent* e);
};
