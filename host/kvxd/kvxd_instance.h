// An algorithm instance in streaming mode in memory of the host's own (not
// the plug-in's static one), as aacdec's stream and pull modes make it and
// the fuzz target's pull mode tries it. One instance at a time: its memory
// is static, made afresh (zeroed) by each call.
#pragma once

#include <cstddef>
#include <vector>

#include "alg/kvxd.h"
#include "dec/fifo.h"
#include "dec/instance.h"

struct KvxdHostInstance {
    bool long_fifo = true;     // a FIFO that takes ADTS frames of any legal length (else up to 1536 bytes)
    bool sbr = false;          // SBR records attached
    bool downsampled = false;  // ... for downsampled SBR
    int signalled = 0;         // what the stream's configuration says of SBR (KVXD_attachSbr)
    bool stereo_host = false;  // every stream comes out in two channels (KVXD_setSbrStereoHost)
    // HE-AAC layouts of up to eight channels play with their SBR: each
    // channel's core overlap, channels 2.. in the concealment store.
    bool sbr_mix = false;
    // The small SBR scratch record (KVXD_setSbrSmallScratch; not with sbr_mix).
    bool small_scratch = false;
};

// Null when the instance cannot be made.
inline IALG_Handle kvxd_host_instance(const KvxdHostInstance& o) {
    IKVXD_Params params = IKVXD_PARAMS;
    params.frameMode = 0;
    KVXD_ModuleInfo module;
    KVXD_init(&module);
    IALG_MemRec rec[kStaticBlocks];
    KVXD_alloc(&params, rec);
    if (o.long_fifo) rec[kFifoRecord].size = kLongFifoBytes;
    if (o.sbr_mix && rec[kOuterRecords].size < KVXD_sbrMixStoreBytes(8)) rec[kOuterRecords].size = KVXD_sbrMixStoreBytes(8);
    const auto place = [](std::vector<std::max_align_t>& v, size_t bytes) {
        v.assign(bytes / sizeof(std::max_align_t) + 1, std::max_align_t{});
        return static_cast<void*>(v.data());
    };
    static std::vector<std::max_align_t> memory[kStaticBlocks];
    for (int i = 0; i < kStaticBlocks; ++i) rec[i].base = place(memory[i], rec[i].size);
    IALG_Handle h = KVXD_create(&params, rec, nullptr);
    if (!h) return nullptr;
    if (o.sbr) {
        static std::vector<std::max_align_t> sbr_memory[2];
        const int down = o.downsampled ? 1 : 0;
        const int scratch = o.small_scratch ? 2 : 1;
        KVXD_attachSbr(h, place(sbr_memory[0], KVXD_sbrBytes(0, down)),
                       place(sbr_memory[1], KVXD_sbrBytes(scratch, down)), o.signalled, down);
        KVXD_setSbrStereoHost(h, o.stereo_host ? 1 : 0);
        if (o.small_scratch) KVXD_setSbrSmallScratch(h, 1);
    }
    if (o.sbr_mix) {
        static std::vector<std::max_align_t> mix_memory[2];
        KVXD_attachSbrMix(h, place(mix_memory[0], KVXD_sbrMixBytes(0, 8)), place(mix_memory[1], KVXD_sbrMixBytes(1, 8)), 8);
    }
    return h;
}
