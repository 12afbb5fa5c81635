// Loading a deliverable and reading its descriptions.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kv_sdk2.h"

namespace kvhost {

// One pin description as the module gave it (opcode 6), with the index the
// DSP side knows it by (-1 for a pure UI pin).
struct PinInfo {
    int desc_index = 0;
    int dsp_index = -1;
    int direction = DR_IN;
    int datatype = DT_FSAMPLE;
    int flags = 0;
    void* variable = nullptr;  // member address in the describing instance
    std::string name;
    std::string default_text;
    bool has_default = false;
    std::string list;
    std::vector<std::string> items;  // DT_CHOICE list items

    bool IsInput() const { return direction != DR_OUT; }
    bool IsStream() const { return datatype == DT_FSAMPLE; }
    bool IsGui() const { return (flags & IO_UI_COMMUNICATION) != 0; }
    bool IsPureUi() const { return IsGui() && (flags & IO_UI_AND_DSP) == 0; }
    bool IsDsp() const { return !IsPureUi(); }
};

const char* DatatypeName(int datatype);
const char* DirectionName(int direction);
const char* StatusName(int status);

// A loaded deliverable. Unloaded when destroyed, so it must outlive every
// instance made from it.
class Library {
public:
    // Loads `path`; null with `error` set when it is not a deliverable.
    static std::unique_ptr<Library> Load(const std::string& path, std::string& error);
    ~Library();

    const std::string& Path() const { return m_path; }
    const KVModuleProperties& Properties() const { return m_props; }
    std::string Name() const { return m_props.name ? m_props.name : ""; }
    KVGetModulePropertiesFn GetProperties() const { return m_get_props; }
    KVMakeModuleFn Make() const { return m_make; }

private:
    Library() = default;
    void* m_handle = nullptr;
    std::string m_path;
    KVModuleProperties m_props{};
    KVGetModulePropertiesFn m_get_props = nullptr;
    KVMakeModuleFn m_make = nullptr;
};

// Asks a DSP instance for every description (opcode 6 from 0 until it
// refuses) and numbers the DSP-visible ones.
std::vector<PinInfo> DescribePins(KVPlugStruct* rec);

// Splits a list text "A,B,C" into its items.
std::vector<std::string> SplitList(const std::string& list);

// File name of deliverable `name` in folder `dir`.
std::string DeliverablePath(const std::string& dir, const std::string& name);

// A zeroed block of memory whose address fits in 32 bits, so that it can
// travel through the host's 32-bit answers (pin buffers). Null on failure.
void* AllocateLow(size_t bytes);
void FreeLow(void* p, size_t bytes);

}  // namespace kvhost
