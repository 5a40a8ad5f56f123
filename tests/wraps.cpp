#include "wraps.h"

Wraps g_wraps;

// The linker sends calls of the wrapped entries to the "__wrap_" symbols and
// the "__real_" symbols to the entries themselves (names from CMakeLists.txt).
uint16_t real_kvxd_process(IALG_Handle h, const uint16_t* words, uint32_t count) __asm__("__real_" AAC_WRAP_PROCESS);
int real_inner_alloc(const IALG_Params* params, IALG_Fxns** parent, IALG_MemRec* memTab) __asm__("__real_" AAC_WRAP_ALLOC);
uint16_t wrap_kvxd_process(IALG_Handle h, const uint16_t* words, uint32_t count) __asm__("__wrap_" AAC_WRAP_PROCESS);
int wrap_inner_alloc(const IALG_Params* params, IALG_Fxns** parent, IALG_MemRec* memTab) __asm__("__wrap_" AAC_WRAP_ALLOC);

uint16_t wrap_kvxd_process(IALG_Handle h, const uint16_t* words, uint32_t count) {
    ProcessCall c{count, {}};
    if (words) c.words.assign(words, words + count);
    g_wraps.calls.push_back(c);
    if (g_wraps.fake_process) return g_wraps.fake_process(h, words, count);
    return real_kvxd_process(h, words, count);
}

int wrap_inner_alloc(const IALG_Params* params, IALG_Fxns** parent, IALG_MemRec* memTab) {
    int n = real_inner_alloc(params, parent, memTab);
    memTab[1].size += g_wraps.extra_record1_bytes;
    return n;
}
