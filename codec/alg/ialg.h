// XDAIS-style algorithm interface shared by both algorithm levels: memory
// records, creation parameters and the 17-slot function table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dec/status.h"

enum IALG_MemSpace : int32_t { IALG_EXTERNAL = 17 };
enum IALG_MemAttrs : int32_t { IALG_SCRATCH = 0, IALG_PERSIST = 1 };

// One memory request / grant (20 bytes on the 32-bit target).
struct IALG_MemRec {
    uint32_t size;       // bytes requested
    int32_t alignment;   // required alignment in bytes, 0 = none
    IALG_MemSpace space;
    IALG_MemAttrs attrs;
    void* base;          // block granted
};

// The alignment every record asks for: 4 bytes on the 32-bit target, a
// pointer's on hosts with wider pointers, since the objects' records (and
// the decoder context) hold pointers.
constexpr int32_t kRecordAlignment = alignof(void*) > 4 ? static_cast<int32_t>(alignof(void*)) : 4;

struct IKVXD_Fxns;

// Every algorithm object begins with a pointer to its function table.
struct IALG_Obj {
    const IKVXD_Fxns* fxns;
};
typedef IALG_Obj* IALG_Handle;

// Overlay callbacks are accepted and ignored.
typedef void (*KVXD_OverlayCallback)(void);

struct IALG_Fxns {
    const void* implementationId;
    void (*algActivate)(IALG_Handle);
    int (*algAlloc)(const IALG_Params*, IALG_Fxns** parentFxns, IALG_MemRec* memTab);
    int (*algControl)(IALG_Handle, int16_t cmd, KVXD_Status* status);
    void (*algDeactivate)(IALG_Handle);
    int (*algFree)(IALG_Handle, IALG_MemRec* memTab);
    int (*algInit)(IALG_Handle, const IALG_MemRec* memTab, IALG_Handle parent, const IALG_Params*);
    void (*algMoved)(IALG_Handle, const IALG_MemRec*, IALG_Handle, const IALG_Params*);
    int (*algNumAlloc)(void);
};

// The extended table used by both levels (slots 9 to 16 follow IALG_Fxns).
struct IKVXD_Fxns {
    IALG_Fxns ialg;
    uint16_t (*process)(IALG_Handle, const uint16_t* words, uint16_t count);
    int16_t* (*getSamples)(IALG_Handle, uint16_t* count);
    void (*flush)(IALG_Handle);
    void (*setOutputBuffer)(IALG_Handle, int16_t* buffer);
    void (*setConstOverlayCallback)(IALG_Handle, KVXD_OverlayCallback);
    void (*setTextOverlayCallback)(IALG_Handle, KVXD_OverlayCallback);
    void (*setGetBitsCallback)(IALG_Handle, KVXD_GetBitsCallback);
    void (*flushFifo)(IALG_Handle);
};
typedef IKVXD_Fxns IMP4AACDEC_Fxns;

// The function table of any algorithm object, read from its first word.
inline const IKVXD_Fxns* alg_fxns(const void* handle) {
    const IKVXD_Fxns* fxns;
    std::memcpy(&fxns, handle, sizeof fxns);
    return fxns;
}

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(IALG_MemRec) == 20, "memory record layout");
#endif
static_assert(sizeof(IKVXD_Fxns) == 17 * sizeof(void*), "function table has 17 slots");
