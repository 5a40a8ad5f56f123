// Outer algorithm: forwarding layer, module entry points and static creation.
#include "alg/kvxd.h"

#include <cstring>
#include <new>

#include "alg/mp4aacdec.h"
#include "dec/downmix.h"
#include "dec/instance.h"

namespace {

KVXD_KELVARIS_Obj* outer(IALG_Handle h) { return reinterpret_cast<KVXD_KELVARIS_Obj*>(h); }
IALG_Handle inner(IALG_Handle h) { return outer(h)->inner; }
MP4AACDEC_QUVA_Obj* decoder(IALG_Handle h) { return reinterpret_cast<MP4AACDEC_QUVA_Obj*>(inner(h)); }
const IKVXD_Fxns& inner_fxns() { return MP4AACDEC_QUVA_IMP4AACDEC; }

// The eight blocks of static storage that hold the whole instance. Block 7
// is handed over as an eighth record that nothing requests or uses.
alignas(8) uint8_t block0[sizeof(KVXD_KELVARIS_Obj)];
alignas(8) uint8_t block1[sizeof(MP4AACDEC_QUVA_Obj)];
alignas(8) uint8_t block2[kSideInfoRecordBytes];
alignas(8) uint8_t block3[kOverlapRecordBytes];
alignas(8) uint8_t block4[kBandRecordBytes];
alignas(8) uint8_t block5[kCoefRecordBytes];
alignas(8) uint8_t block6[kFifoRecordBytes];
alignas(8) uint8_t block7[8192];

}  // namespace

uint8_t* const static_blocks[kStaticBlocks] = {block0, block1, block2, block3,
                                                    block4, block5, block6, block7};
const uint32_t static_block_bytes[kStaticBlocks] = {
    sizeof block0, sizeof block1, sizeof block2, sizeof block3,
    sizeof block4, sizeof block5, sizeof block6, sizeof block7};
const uint32_t expected_record_bytes[kOuterRecords] = {
    sizeof block0, sizeof block1, sizeof block2, sizeof block3,
    sizeof block4, sizeof block5, sizeof block6};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof block0 + sizeof block1 + sizeof block2 + sizeof block3 + sizeof block4 +
                      sizeof block5 + sizeof block6 + sizeof block7 ==
                  34340,
              "static instance memory");
#endif

const IKVXD_Params IKVXD_PARAMS = {16, 0, 0, 1, 0};

// ---- module entry points ----

void KVXD_init(KVXD_ModuleInfo* moduleInfo) {
    static const uint32_t kInfo[5] = {2, 3, 3, 2602, 0};
    std::memcpy(moduleInfo->word, kInfo, sizeof kInfo);
    KVXD_KELVARIS_init();
}

void KVXD_exit(void) { KVXD_KELVARIS_exit(); }

int KVXD_alloc(const IKVXD_Params* params, IALG_MemRec memTab[kStaticBlocks]) {
    std::memset(memTab, 0, kStaticBlocks * sizeof *memTab);
    const int n = KVXD_KELVARIS_IKVXD.ialg.algAlloc(params, nullptr, memTab);
    if (n != kOuterRecords) return n;
    // The concealment store: the spectra of the last good block.
    memTab[kOuterRecords].size = static_cast<uint32_t>(kLastSpectrumBytes);
    memTab[kOuterRecords].alignment = kRecordAlignment;
    memTab[kOuterRecords].space = IALG_EXTERNAL;
    memTab[kOuterRecords].attrs = IALG_PERSIST;
    return kStaticBlocks;
}

namespace {

// Zeroes the granted blocks and builds both levels in them.
IALG_Handle build(const IKVXD_Params* params, const IALG_MemRec* request, void* const* bases) {
    IALG_MemRec granted[kStaticBlocks];
    for (int i = 0; i < kStaticBlocks; ++i) {
        granted[i] = request[i];
        granted[i].base = bases[i];
        if (bases[i]) std::memset(bases[i], 0, request[i].size);
    }
    const IKVXD_Fxns* const fxns = &KVXD_KELVARIS_IKVXD;
    std::memcpy(bases[0], &fxns, sizeof fxns);
    IALG_Handle h = static_cast<IALG_Handle>(bases[0]);
    if (fxns->ialg.algInit(h, granted, nullptr, params) != 0) return nullptr;
    // The eighth block, which no algorithm record requests, keeps the
    // spectra of the last good block for concealment.
    static_cast<MP4AACDEC_QUVA_Obj*>(bases[1])->lastSpectrum = static_cast<int32_t*>(bases[kOuterRecords]);
    return h;
}

bool misaligned(const IALG_MemRec& request, const void* base) {
    return request.alignment > 1 &&
           reinterpret_cast<uintptr_t>(base) % static_cast<uint32_t>(request.alignment) != 0;
}

void report(KVXD_CreateStatus* status, KVXD_CreateCode code, int index, uint32_t value1, uint32_t value2) {
    status->code = code;
    status->index = static_cast<uint16_t>(index);
    status->value1 = static_cast<uint16_t>(value1);
    status->value2 = static_cast<uint16_t>(value2);
}

}  // namespace

IALG_Handle KVXD_create(const IKVXD_Params* params, const IALG_MemRec memTab[kStaticBlocks],
                        KVXD_CreateStatus* status) {
    KVXD_CreateStatus ignored;
    if (!status) status = &ignored;
    report(status, KVXD_CREATE_OK, 0, 0, 0);
    IALG_MemRec request[kStaticBlocks];
    if (KVXD_alloc(params, request) != kStaticBlocks) {
        report(status, KVXD_CREATE_RECORD_COUNT, 0, 0, 0);
        return nullptr;
    }
    // Every record must be there, at least as large as requested and aligned
    // as requested; the concealment store alone may be missing (a failed
    // block is then concealed with silence).
    void* bases[kStaticBlocks];
    for (int i = 0; i < kStaticBlocks; ++i) {
        bases[i] = memTab[i].base;
        if (!bases[i] && i == kOuterRecords) continue;
        if (!bases[i] || memTab[i].size < request[i].size) {
            report(status, KVXD_CREATE_SIZE_MISMATCH, i, request[i].size, bases[i] ? memTab[i].size : 0);
            return nullptr;
        }
        if (misaligned(request[i], bases[i])) {
            report(status, KVXD_CREATE_MISALIGNED, i, static_cast<uint32_t>(request[i].alignment - 1),
                   static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bases[i]) & 0xFFFFu));
            return nullptr;
        }
    }
    // A FIFO record larger than asked for is used: up to kLongFifoWords
    // words, it takes longer ADTS frames.
    request[kFifoRecord].size = memTab[kFifoRecord].size < kLongFifoBytes ? memTab[kFifoRecord].size : kLongFifoBytes;
    IALG_Handle h = build(params, request, bases);
    if (!h) report(status, KVXD_CREATE_INIT_FAILED, 0, 0, 0);
    return h;
}

// The one static instance in the eight static blocks. With a status record
// the records requested must be the blocks' sizes exactly; without one the
// layout of the blocks is trusted.
IALG_Handle KVXD_createStatic(const IKVXD_Params* params, KVXD_CreateStatus* status) {
    static_assert(sizeof block7 == kLastSpectrumBytes, "concealment store");
    IALG_MemRec request[kStaticBlocks];
    const int n = KVXD_alloc(params, request);
    if (status) {
        report(status, KVXD_CREATE_OK, 0, 0, 0);
        if (n != kStaticBlocks) {
            report(status, KVXD_CREATE_RECORD_COUNT, 0, 0, 0);
            return nullptr;
        }
        for (int i = 1; i < kOuterRecords; ++i) {  // record 0 is the outer object itself
            if (request[i].size != expected_record_bytes[i]) {
                report(status, KVXD_CREATE_SIZE_MISMATCH, i, request[i].size, expected_record_bytes[i]);
                return nullptr;
            }
            if (misaligned(request[i], static_blocks[i])) {
                report(status, KVXD_CREATE_MISALIGNED, i, static_cast<uint32_t>(request[i].alignment - 1),
                       static_cast<uint32_t>(reinterpret_cast<uintptr_t>(static_blocks[i]) & 0xFFFFu));
                return nullptr;
            }
        }
    }
    void* bases[kStaticBlocks];
    for (int k = 0; k < kStaticBlocks; ++k) {
        bases[k] = static_blocks[k];
        // The blocks' own sizes bound what is cleared.
        request[k].size = static_block_bytes[k];
    }
    IALG_Handle h = build(params, request, bases);
    if (!h && status) report(status, KVXD_CREATE_INIT_FAILED, 0, 0, 0);
    return h;
}

uint32_t KVXD_sbrBytes(int scratch, int downsampled) {
    return static_cast<uint32_t>(scratch == 2 ? kSbrSmallScratchBytes
                                 : scratch  ? sizeof(SbrScratch)
                                            : sbr_record_bytes(downsampled != 0));
}

int KVXD_attachSbr(IALG_Handle h, void* persistent, void* scratch, int signalled, int downsampled) {
    if (!h || !persistent || !scratch) return -1;
    if (reinterpret_cast<uintptr_t>(persistent) % 8 || reinterpret_cast<uintptr_t>(scratch) % 8) return -1;
    if (signalled < 0 || (signalled & 3) == 3 || signalled > static_cast<int>(2 | SBR_SIGNALLED_PS)) return -1;
    // (A build without SBR never attaches it: the instance plays the core.)
    if constexpr (kSbrBuilt) {
        auto* obj = decoder(h);
        // SBR works in the core's spent scratch too, and parametric stereo
        // in channel 1's overlap buffer (64-bit sums, and NEON loads and
        // stores that expect 8-byte alignment): the core's
        // records need only 4, so a host that gave less than 8 is refused
        // here rather than faulting in the first HE-AAC block.
        const SbrLent lent = kvxdec_sbr_lent(obj);
        if (reinterpret_cast<uintptr_t>(lent.frame) % 8 || reinterpret_cast<uintptr_t>(lent.levels) % 8 ||
            reinterpret_cast<uintptr_t>(lent.low) % 8 || reinterpret_cast<uintptr_t>(lent.overlap) % 8)
            return -1;
        // (The spectra one record, channel 0's first: sbr_lent_mono.)
        if (sbr_lent_mono(lent) != obj->coef[0]) return -1;
        obj->ctx->sbr = sbr_init(persistent, static_cast<SbrScratch*>(scratch), lent,
                                 downsampled ? SBR_MODE_DOWNSAMPLED : SBR_MODE_FULL, static_cast<uint32_t>(signalled));
        return 0;
    }
    return -1;
}

int KVXD_setSbrSmallScratch(IALG_Handle h, int on) {
    if (!kSbrBuilt || !h) return -1;
    auto* obj = decoder(h);
    if (!obj->ctx->sbr || obj->ctx->sbrMix) return -1;
    sbr_set_small(obj->ctx->sbr, on != 0);
    return 0;
}

int KVXD_setSbrStereoHost(IALG_Handle h, int on) {
    if (!kSbrBuilt || !h) return -1;
    auto* obj = decoder(h);
    if (!obj->ctx->sbr) return -1;
    sbr_set_stereo_host(obj->ctx->sbr, on != 0);
    return 0;
}

uint32_t KVXD_sbrMixBytes(int scratch, int channels) {
    if (channels < 3 || channels > kMixMaxChannels) return 0;
    return static_cast<uint32_t>(scratch ? sizeof(SbrMixScratch) : downmix_sbr_bytes(channels));
}

uint32_t KVXD_sbrMixStoreBytes(int channels) { return static_cast<uint32_t>(downmix_sbr_store_bytes(channels)); }

int KVXD_attachSbrMix(IALG_Handle h, void* persistent, void* scratch, int channels) {
    if (!kSbrBuilt || !h) return -1;
    auto* obj = decoder(h);
    // (The layouts' elements are mixed from the whole matrix.)
    if (obj->ctx->sbr && obj->ctx->sbr->small) return -1;
    return downmix_sbr_attach(obj, persistent, static_cast<SbrMixScratch*>(scratch), channels) ? 0 : -1;
}

int KVXD_setDownmix(IALG_Handle h, int mode) {
    if (!h || mode < 0 || mode > 2) return -1;
    auto* obj = decoder(h);
    if (mode && (!kExactArithmetic || !obj->lastSpectrum)) return -1;
    if (mode == LAYOUT_NATIVE && !obj->libraryOutput) return -1;
    obj->ctx->downmix = static_cast<uint8_t>(mode);
    return 0;
}

int KVXD_control(IALG_Handle h, int cmd, KVXD_Status* status) {
    return alg_fxns(h)->ialg.algControl(h, static_cast<int16_t>(cmd), status);
}

uint16_t KVXD_process(IALG_Handle h, const uint16_t* words, uint32_t count) {
    return alg_fxns(h)->process(h, words, static_cast<uint16_t>(count));
}

int16_t* KVXD_getSamples(IALG_Handle h, uint16_t* count) {
    return alg_fxns(h)->getSamples(h, count);
}

void KVXD_setOutputBuffer(IALG_Handle h, int16_t* buffer) {
    alg_fxns(h)->setOutputBuffer(h, buffer);
}

// ---- forwarding layer ----

void KVXD_KELVARIS_init(void) {}
void KVXD_KELVARIS_exit(void) {}
void KVXD_KELVARIS_activate(IALG_Handle) {}
void KVXD_KELVARIS_deactivate(IALG_Handle) {}
void KVXD_KELVARIS_setConstOverlayCallback(IALG_Handle, KVXD_OverlayCallback) {}

int KVXD_KELVARIS_numAlloc(void) { return kOuterRecords; }

int KVXD_KELVARIS_alloc(const IALG_Params* params, IALG_Fxns** parentFxns, IALG_MemRec* memTab) {
    if (!params) params = &IKVXD_PARAMS;
    memTab[0].size = sizeof(KVXD_KELVARIS_Obj);
    memTab[0].alignment = kRecordAlignment;
    memTab[0].space = IALG_EXTERNAL;
    memTab[0].attrs = IALG_PERSIST;
    return inner_fxns().ialg.algAlloc(params, parentFxns, memTab + 1) + 1;
}

int KVXD_KELVARIS_initObj(IALG_Handle h, const IALG_MemRec* memTab, IALG_Handle parent,
                          const IALG_Params* params) {
    KVXD_KELVARIS_Obj* obj = outer(h);
    std::memcpy(obj->memTab, memTab, sizeof obj->memTab);
    IALG_Handle in = static_cast<IALG_Handle>(memTab[1].base);
    (void)inner_fxns().ialg.algInit(in, memTab + 1, parent, params ? params : &IKVXD_PARAMS);
    // The inner object's table is set here, after its own init has run.
    const IKVXD_Fxns* const fxns = &inner_fxns();
    std::memcpy(in, &fxns, sizeof fxns);
    obj->inner = in;
    return 0;
}

int KVXD_KELVARIS_free(IALG_Handle h, IALG_MemRec* memTab) {
    std::memcpy(memTab, outer(h)->memTab, sizeof outer(h)->memTab);
    return kOuterRecords;
}

int KVXD_KELVARIS_control(IALG_Handle h, int16_t cmd, KVXD_Status* status) {
    // Cut to 16 bits and widened again, so -1 stays -1.
    return static_cast<int16_t>(alg_fxns(inner(h))->ialg.algControl(inner(h), cmd, status));
}

uint16_t KVXD_KELVARIS_process(IALG_Handle h, const uint16_t* words, uint16_t count) {
    return alg_fxns(inner(h))->process(inner(h), words, count);
}

int16_t* KVXD_KELVARIS_getSamples(IALG_Handle h, uint16_t* count) {
    return alg_fxns(inner(h))->getSamples(inner(h), count);
}

void KVXD_KELVARIS_flush(IALG_Handle h) { alg_fxns(inner(h))->flush(inner(h)); }

void KVXD_KELVARIS_setOutputBuffer(IALG_Handle h, int16_t* buffer) {
    alg_fxns(inner(h))->setOutputBuffer(inner(h), buffer);
}

void KVXD_KELVARIS_setTextOverlayCallback(IALG_Handle h, KVXD_OverlayCallback cb) {
    alg_fxns(inner(h))->setTextOverlayCallback(inner(h), cb);
}

void KVXD_KELVARIS_setGetBitsCallback(IALG_Handle h, KVXD_GetBitsCallback cb) {
    alg_fxns(inner(h))->setGetBitsCallback(inner(h), cb);
}
