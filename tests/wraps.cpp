#include "wraps.h"

Wraps g_wraps;

extern "C" {
uint16_t __real_KVXD_process(IALG_Handle h, const uint16_t* words, uint32_t count);
int __real_MP4AACDEC_QUVA_alloc(const IALG_Params* params, IALG_Fxns** parent, IALG_MemRec* memTab);

uint16_t __wrap_KVXD_process(IALG_Handle h, const uint16_t* words, uint32_t count) {
    ProcessCall c{count, {}};
    if (words) c.words.assign(words, words + count);
    g_wraps.calls.push_back(c);
    if (g_wraps.fake_process) return g_wraps.fake_process(h, words, count);
    return __real_KVXD_process(h, words, count);
}

int __wrap_MP4AACDEC_QUVA_alloc(const IALG_Params* params, IALG_Fxns** parent, IALG_MemRec* memTab) {
    int n = __real_MP4AACDEC_QUVA_alloc(params, parent, memTab);
    memTab[1].size += g_wraps.extra_record1_bytes;
    return n;
}
}
