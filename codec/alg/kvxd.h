// Outer algorithm KVXD (implementation KELVARIS): created in static memory,
// owns the inner AAC decoder and forwards every decoding call to it.
#pragma once

#include "alg/ialg.h"

constexpr int kOuterRecords = 7;
constexpr int kStaticBlocks = 8;
constexpr int kFifoRecord = 6;  // the bit FIFO's record

struct KVXD_KELVARIS_Obj {
    const IKVXD_Fxns* fxns;
    IALG_MemRec memTab[kOuterRecords];  // the records granted at init
    IALG_Handle inner;
};

// Optional out-record of KVXD_createStatic.
enum KVXD_CreateCode : uint32_t {
    KVXD_CREATE_OK = 0,
    KVXD_CREATE_RECORD_COUNT = 1,
    KVXD_CREATE_SIZE_MISMATCH = 2,
    KVXD_CREATE_MISALIGNED = 3,
    KVXD_CREATE_INIT_FAILED = 4
};
struct KVXD_CreateStatus {
    uint32_t code;
    uint16_t index;   // record concerned
    uint16_t value1;  // code 2: requested size; code 3: alignment - 1
    uint16_t value2;  // code 2: expected size; code 3: low 16 bits of the block address
};

// Filled by KVXD_init.
struct KVXD_ModuleInfo {
    uint32_t word[5];
};

extern const IKVXD_Fxns KVXD_KELVARIS_IKVXD;
extern const uint8_t KVXD_KELVARIS_IALG[36];
extern const IKVXD_Params IKVXD_PARAMS;

// Static memory of the one instance: block k is the base of record k.
extern uint8_t* const static_blocks[kStaticBlocks];
extern const uint32_t static_block_bytes[kStaticBlocks];
// Sizes records 0..6 must request.
extern const uint32_t expected_record_bytes[kOuterRecords];

void KVXD_init(KVXD_ModuleInfo* moduleInfo);
void KVXD_exit(void);
// The records an instance needs: the seven algorithm records (the outer
// object, then the inner decoder's six) and an eighth, the concealment store
// (persistent, 8192 bytes). Returns kStaticBlocks.
int KVXD_alloc(const IKVXD_Params* params, IALG_MemRec memTab[kStaticBlocks]);
// Builds an instance in the blocks the caller gives (the bases of memTab,
// each at least the size and alignment KVXD_alloc asked for; the eighth may
// be null, concealment then being silence). A FIFO record (kFifoRecord) of
// kLongFifoWords words or more takes ADTS frames of every legal length;
// the size KVXD_alloc asks for takes frames up to 1536 bytes. Records KVXD_alloc marks as
// scratch may be shared with other instances that never decode at the same
// time: nothing is kept in them between calls. Null on failure, with the
// reason in status when one is given.
IALG_Handle KVXD_create(const IKVXD_Params* params, const IALG_MemRec memTab[kStaticBlocks],
                        KVXD_CreateStatus* status);
IALG_Handle KVXD_createStatic(const IKVXD_Params* params, KVXD_CreateStatus* status);
// Spectral band replication (builds with SBR, sbr/built.h): with a
// persistent record of KVXD_sbrBytes(0, downsampled) bytes and a scratch
// record of KVXD_sbrBytes(1, downsampled) (8-byte aligned; the instance's
// side information, band and spectra records too, or it is refused) attached, a
// stream whose first block carries SBR data (or, with `signalled`, every
// stream) is decoded at twice its core rate, 4096 samples per block (2048 a
// channel).
// With `downsampled` (whose persistent record is smaller), or when
// `signalled` is 2 (the stream's configuration gives the SBR output rate as
// the core rate), the SBR band is cut at the core's Nyquist frequency and
// the stream comes out at its core rate, 2048 samples per block. signalled:
// 0 not signalled, 1 SBR, 2 downsampled SBR, plus 4 for parametric stereo
// signalled (a mono core then plays stereo from its first block, as it
// does when its first block carries PS data). 0 on success, -1 for a
// missing or misaligned record or a build without SBR.
// KVXD_sbrBytes(2, downsampled) is the small scratch record, for
// KVXD_setSbrSmallScratch.
uint32_t KVXD_sbrBytes(int scratch, int downsampled);
int KVXD_attachSbr(IALG_Handle h, void* persistent, void* scratch, int signalled, int downsampled);
// The scratch record attached is the small one (KVXD_sbrBytes(2, ...)):
// X_high is made a few rows at a time, twice or three times where the
// large record makes it once (about 12 to 27 % more instructions for
// HE-AAC), for the same output. Set before the first block; not with
// KVXD_attachSbrMix, which needs the large record. 0 on success, -1
// without SBR attached or with the layouts' SBR attached.
int KVXD_setSbrSmallScratch(IALG_Handle h, int on);
// The host plays every stream in two channels (a mono one in both, as the
// plug-in does), whatever channel count the status reports: parametric
// stereo may then start in a mono SBR stream after its first frame (in
// place of a first frame's PS data lost to damage). Without this call a
// mono stream's first good frame decides, so that the channel count a host
// of native channels sees never changes within a stream. 0 on success, -1
// without SBR attached.
int KVXD_setSbrStereoHost(IALG_Handle h, int on);
// HE-AAC layouts of more than two channels as a stereo downmix at the SBR
// rate, SBR on each element (a build with SBR, SBR attached, the downmix
// mixed, not native): a persistent record of KVXD_sbrMixBytes(0, channels)
// bytes and a scratch one of KVXD_sbrMixBytes(1, channels) (8-byte aligned)
// for layouts of up to `channels` (3..8), and a buffer of the last good
// spectra (record 8) of KVXD_sbrMixStoreBytes(channels). Without them such
// a stream plays its AAC-LC core mixed, at the core rate
// (KVXD_NOTE_SBR_CHANNELS). 0 on success, -1 otherwise.
uint32_t KVXD_sbrMixBytes(int scratch, int channels);
uint32_t KVXD_sbrMixStoreBytes(int channels);
int KVXD_attachSbrMix(IALG_Handle h, void* persistent, void* scratch, int channels);
// Multichannel layouts (more than two front channels: channel configurations
// 3..7, program config elements) as a stereo downmix (exact arithmetic, an
// instance with the buffer of the last good spectra, which the downmix uses
// for its sums). Without it they are refused (KVXD_ERR_CHANNELS). mode 0:
// refused, 1: mixed, 2: native, every channel in the standard's order of
// elements, 1024 frames of that many channels a block, in an output buffer
// that large: the concealment store must then hold kNativeStoreBytes (the
// overlaps of channels 2..7). 0 on success, -1 when the instance cannot
// (the compact arithmetic).
int KVXD_setDownmix(IALG_Handle h, int mode);
int KVXD_control(IALG_Handle h, int cmd, KVXD_Status* status);
uint16_t KVXD_process(IALG_Handle h, const uint16_t* words, uint32_t count);
int16_t* KVXD_getSamples(IALG_Handle h, uint16_t* count);
void KVXD_setOutputBuffer(IALG_Handle h, int16_t* buffer);

void KVXD_KELVARIS_init(void);
void KVXD_KELVARIS_exit(void);
void KVXD_KELVARIS_activate(IALG_Handle h);
void KVXD_KELVARIS_deactivate(IALG_Handle h);
int KVXD_KELVARIS_alloc(const IALG_Params* params, IALG_Fxns** parentFxns, IALG_MemRec* memTab);
int KVXD_KELVARIS_free(IALG_Handle h, IALG_MemRec* memTab);
int KVXD_KELVARIS_initObj(IALG_Handle h, const IALG_MemRec* memTab, IALG_Handle parent,
                          const IALG_Params* params);
int KVXD_KELVARIS_numAlloc(void);
int KVXD_KELVARIS_control(IALG_Handle h, int16_t cmd, KVXD_Status* status);
uint16_t KVXD_KELVARIS_process(IALG_Handle h, const uint16_t* words, uint16_t count);
int16_t* KVXD_KELVARIS_getSamples(IALG_Handle h, uint16_t* count);
void KVXD_KELVARIS_flush(IALG_Handle h);
void KVXD_KELVARIS_setOutputBuffer(IALG_Handle h, int16_t* buffer);
void KVXD_KELVARIS_setConstOverlayCallback(IALG_Handle h, KVXD_OverlayCallback cb);
void KVXD_KELVARIS_setTextOverlayCallback(IALG_Handle h, KVXD_OverlayCallback cb);
void KVXD_KELVARIS_setGetBitsCallback(IALG_Handle h, KVXD_GetBitsCallback cb);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KVXD_KELVARIS_Obj) == 148, "outer object layout");
#endif
