/*
 * kv_sdk2.h - the binary contract between a Korvane host and a plug-in module.
 *
 * Plain C, shared by both sides of the boundary: the modules include it and so
 * does our host. Every record here crosses the boundary, so its layout is fixed;
 * the 32-bit sizes are pinned by static assertions that fire in 32-bit builds.
 * All integers are 32-bit. Nothing is ever thrown across this boundary: refusals
 * are 0 or null results.
 */
#ifndef KV_SDK2_H
#define KV_SDK2_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Magic words and versions ------------------------------------------ */

#define KV_PLUG_MAGIC 0x4B56507Bu  /* first word of every KVPlugStruct */
#define KV_GUI_MAGIC 0x4B56504Du   /* first word of every KVGuiPlugStruct */
#define KV_RECORD_VERSION 1
#define KV_SDK_VERSION 2240        /* modules with a GUI side */
#define KV_SDK_VERSION_ARRAY 2230  /* the array module */

/*
 * The host's function. `rec` is the caller's own instance record (a
 * KVPlugStruct from a DSP object, a KVGuiPlugStruct from a GUI object); the
 * opcode says which of the HOST_ / GUIHOST_ sets below applies. Called only
 * from the thread that is calling the module.
 */
typedef int (*HostCallback)(void* rec, int opcode, int index, int value, void* ptr, float opt);

/* ---- Module properties (getModuleProperties) -------------------------- */

/* Filled by the module for index 0. The strings are static constants of the
 * library; the host never frees them. Words 3 and 4 belong to the host. */
typedef struct KVModuleProperties {
    const char* name;   /* module name, equal to the deliverable's name */
    const char* id;     /* unique identifier */
    const char* about;  /* multi-line about text, lines separated by "\n" */
    int32_t host_word3; /* never written by a module */
    int32_t host_word4; /* never written by a module */
    int32_t sdkVersion; /* 2240, or 2230 in the array module */
} KVModuleProperties;

/* ---- Events ------------------------------------------------------------ */

enum {
    EV_PIN_STATUS = 0, /* value = new status, target = DSP pin index */
    EV_DATA = 2,       /* value and extra = data, delivered to OnDataEvent */
    EV_CALL = 21       /* call_target(module object) */
};

typedef void (*KVCallFn)(void* module);

/* Passed by the host to the event entry, exactly at its sample and between
 * process calls. The module keeps no pointer to it. */
typedef struct KVEvent {
    int32_t time_stamp; /* sample clock at which the event takes effect */
    int32_t type;       /* EV_ value */
    int32_t value;      /* new pin status (EV_PIN_STATUS) or data value (EV_DATA) */
    int16_t extra;      /* second data value (EV_DATA) */
    int16_t unused;     /* never read */
    union {
        int32_t target;       /* pin index (EV_PIN_STATUS) */
        KVCallFn call_target; /* function to call (EV_CALL) */
    };
} KVEvent;

/* ---- Instance records --------------------------------------------------- */

typedef struct KVPlugStruct KVPlugStruct;
typedef struct KVGuiPlugStruct KVGuiPlugStruct;

/* DSP dispatch entry: forwards to the object's Dispatch. */
typedef int (*KVDispatchFn)(KVPlugStruct* rec, int opcode, int index, int value, void* ptr, float opt);
/* Processing: (rec->instance, first sample within the pin buffers, sample count >= 1). */
typedef void (*KVProcessFn)(void* instance, int bufferOffset, int sampleFrames);
/* Event entry: (rec->instance, event); the event pointer is valid for the call only. */
typedef void (*KVEventFn)(void* instance, KVEvent* e);
/* GUI dispatch entry: forwards to the GUI object's Dispatch. */
typedef int (*KVGuiDispatchFn)(KVGuiPlugStruct* rec, int opcode, int index, int value, void* ptr, float opt);

/* The DSP instance record: lives inside the module object from makeModule
 * until DSP_CLOSE returns. The host re-reads `process` after
 * HOST_PROCESS_CHANGED. */
struct KVPlugStruct {
    uint32_t magic;       /* KV_PLUG_MAGIC */
    int32_t version;      /* 1 */
    void* hostHandle;     /* makeModule's fourth argument, never interpreted */
    void* instance;       /* the owning module object */
    int32_t reserved4;
    KVDispatchFn dispatch;
    KVProcessFn process;  /* current processing routine */
    KVEventFn event;
    int32_t reserved8[4];
};

/* The GUI instance record: lives inside the GUI object until GUI opcode 1. */
struct KVGuiPlugStruct {
    uint32_t magic;       /* KV_GUI_MAGIC */
    int32_t version;      /* 1 */
    KVGuiDispatchFn dispatch;
    void* hostHandle;     /* makeModule's fourth argument */
    void* instance;       /* the owning GUI object */
    int32_t reserved5[5];
};

/* ---- Pin descriptions ---------------------------------------------------- */

enum { DR_IN = 0, DR_OUT = 1, DR_PARAMETER = 3 };

enum {
    DT_CHOICE = 0,  /* int16 list index */
    DT_STRING = 1,  /* text, held by the host (HOST_GET/PUT_PIN_TEXT) */
    DT_BVALUE = 4,  /* one byte */
    DT_FSAMPLE = 5, /* address of a float32 sample buffer */
    DT_FVALUE = 6,  /* float32 */
    DT_IVALUE = 8   /* int32 */
};

enum {
    IO_REPEAT_LAST = 0x8,          /* last description repeats for further host pins */
    IO_FILE_PATH = 0x10,           /* string pin holding a file name; list = extension */
    IO_PRIVATE = 0x100,            /* host-defined */
    IO_HOST_0x200 = 0x200,         /* host-defined, no module behaviour */
    IO_UI_COMMUNICATION = 0x400,   /* served by the GUI side; alone: no DSP pin */
    IO_HOST_0x4000 = 0x4000,       /* host-defined, no module behaviour */
    IO_UI_AND_DSP = 0x8000,        /* with IO_UI_COMMUNICATION: also a DSP pin */
    IO_PATCH_STORE = 0x10000       /* stored with the patch by the host */
};

enum {
    PS_STATIC = 0,    /* constant */
    PS_ONE_SHOT = 1,  /* changed once, constant again */
    PS_STREAMING = 2  /* may change every sample */
};

/* One description, handed out by DSP opcode 6. The record is all zero before
 * the module fills it; the module writes only the fields it uses. `variable`
 * is the address of the module member that holds the pin's value (for
 * DT_FSAMPLE: the member that holds the buffer address). */
typedef struct KVPinProperties {
    void* variable;
    int32_t direction;
    int32_t datatype;
    const char* name;         /* label shown by the host */
    const char* default_text; /* default as text (volts for stream pins), or null */
    const char* list;         /* DT_CHOICE: "A,B,C"; IO_FILE_PATH: extension */
    int32_t flags;
    int32_t reserved;
} KVPinProperties;

/* ---- DSP dispatcher opcodes (host -> module) ----------------------------- */

enum {
    DSP_OPEN = 0,
    DSP_CLOSE = 1,               /* the object deletes itself; returns 1 */
    DSP_PUT_SAMPLE_RATE = 2,     /* opt = sample rate */
    DSP_PUT_BLOCK_SIZE = 3,      /* value = block size */
    DSP_GET_PIN_PROPERTIES = 6,  /* index = description index, ptr = KVPinProperties* */
    DSP_RESERVED_7 = 7,          /* must never arrive */
    DSP_RESET = 8,
    DSP_RESERVED_10 = 10,        /* must never arrive */
    DSP_GUI_MESSAGE = 12,
    DSP_GET_PROCESS_POINTER = 13 /* returns the address of a KVProcessPointerRecord */
};

/* Answer to DSP_GET_PROCESS_POINTER: one static record per library,
 * overwritten by every call. */
typedef struct KVProcessPointerRecord {
    int32_t one;               /* 1 */
    int32_t member_size;       /* size of a member-function pointer: 12, or 16 (array module) */
    void* process_member;      /* address of the object's current-process-function member */
    int32_t zero;              /* 0 */
} KVProcessPointerRecord;

/* ---- GUI dispatcher opcodes (host -> GUI object) ------------------------- */

enum {
    GUI_OPEN = 0,        /* GuiOpen(index == 1) */
    GUI_CLOSE = 1,       /* the object deletes itself; returns 1 */
    GUI_DSP_MESSAGE = 6, /* OnDspMessage(value, index, ptr) from HOST_NOTIFY_GUI */
    GUI_PIN_CHANGED = 7  /* GuiPinChanged(GUI pin index) */
};

/* ---- Host callback opcodes, DSP side (module -> host) -------------------- */

enum {
    HOST_PUT_PIN_STATUS = 0,         /* index = pin, value = status, ptr = (intptr) sample clock */
    HOST_IS_PIN_CONNECTED = 1,       /* index = pin */
    HOST_GET_SAMPLE_CLOCK = 3,
    HOST_GET_PIN_BUFFER = 7,         /* index = pin; returns the buffer address */
    HOST_GET_BLOCK_START_CLOCK = 8,  /* index = pin */
    HOST_SLEEP = 10,
    HOST_GET_PIN_COUNT = 14,
    HOST_GET_PIN_TEXT = 16,          /* index = pin, value = buffer size, ptr = char buffer */
    HOST_NOTIFY_GUI = 17,            /* index, value, ptr relayed as GUI opcode 6 */
    HOST_PUT_PIN_TEXT = 21,          /* index = output pin, ptr = zero-terminated text */
    HOST_PROCESS_CHANGED = 22
};

/* ---- Host callback opcodes, GUI side ------------------------------------- */

enum {
    GUIHOST_GET_PIN_VALUE = 14, /* index = GUI pin, ptr = 4-byte result */
    GUIHOST_PUT_PIN_VALUE = 15  /* index = GUI pin, opt = new value */
};

/* ---- Exports ------------------------------------------------------------- */

typedef int (*KVGetModulePropertiesFn)(int index, KVModuleProperties* out);
typedef void* (*KVMakeModuleFn)(int index, int type, HostCallback callback, void* hostHandle);

/* ---- Layout pinned for the 32-bit deliverables --------------------------- */

#ifdef __cplusplus
#define KV_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KV_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
KV_STATIC_ASSERT(sizeof(KVModuleProperties) == 24, "KVModuleProperties is six words");
KV_STATIC_ASSERT(sizeof(KVPlugStruct) == 48, "KVPlugStruct is 48 bytes");
KV_STATIC_ASSERT(offsetof(KVPlugStruct, process) == 24, "process is word 6");
KV_STATIC_ASSERT(sizeof(KVGuiPlugStruct) == 40, "KVGuiPlugStruct is 40 bytes");
KV_STATIC_ASSERT(sizeof(KVPinProperties) == 32, "KVPinProperties is eight words");
KV_STATIC_ASSERT(sizeof(KVProcessPointerRecord) == 16, "process-pointer record is four words");
#endif
KV_STATIC_ASSERT(offsetof(KVEvent, time_stamp) == 0, "KVEvent.time_stamp at 0");
KV_STATIC_ASSERT(offsetof(KVEvent, type) == 4, "KVEvent.type at 4");
KV_STATIC_ASSERT(offsetof(KVEvent, value) == 8, "KVEvent.value at 8");
KV_STATIC_ASSERT(offsetof(KVEvent, extra) == 12, "KVEvent.extra at 12");
KV_STATIC_ASSERT(offsetof(KVEvent, target) == 16, "KVEvent.target at 16");

#ifdef __cplusplus
}
#endif

#endif /* KV_SDK2_H */
