// The decoder instance record and its control entry points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dec/fifo.h"
#include "dec/headers.h"
#include "dec/mcinfo.h"
#include "dec/status.h"
#include "dec/syntax.h"
#include "dsp/arithmetic.h"
#include "dsp/tools.h"
#include "sbr/sbr_decoder.h"

// The function table of the algorithm object the instance belongs to.
struct IKVXD_Fxns;

struct TnsInfo {
    int32_t n_windows;
    TnsWindow win[8];
    // Each channel's record occupies 2084 bytes of its buffer; the tail is unused.
    uint8_t reserved[96];
};

// Per-channel buffer sizes in bytes, carved out of the memory records.
constexpr size_t kMsMaskBytes = 128;
constexpr size_t kChanAuxBytes = 24;
constexpr size_t kTnsDataBytes = 2084;
constexpr size_t kOverlapBytes = 4096;
// Persistent decoder context, after the overlap buffers in their record.
constexpr size_t kContextBytes = 1024;
constexpr size_t kWindowGroupsBytes = 8;
constexpr size_t kSectCodebookBytes = 128;
constexpr size_t kScaleFactorsBytes = 256;
constexpr size_t kCoefBytes = 4096;
constexpr uint16_t kFifoWords = 892;

// Sizes of inner records 1..5 (two channels each; the FIFO once).
constexpr size_t kSideInfoRecordBytes = 2 * (kMsMaskBytes + kChanAuxBytes + kTnsDataBytes);
constexpr size_t kOverlapRecordBytes = 2 * kOverlapBytes + kContextBytes;
constexpr size_t kBandRecordBytes = 2 * (kWindowGroupsBytes + kSectCodebookBytes + kScaleFactorsBytes);
constexpr size_t kCoefRecordBytes = 2 * kCoefBytes;
constexpr size_t kFifoRecordBytes = kFifoWords * sizeof(uint16_t);

static_assert(sizeof(TnsInfo) == kTnsDataBytes, "TnsInfo fills its buffer");
static_assert(kSideInfoRecordBytes == 4472 && kOverlapRecordBytes == 9216 &&
              kBandRecordBytes == 784 && kCoefRecordBytes == 8192 && kFifoRecordBytes == 1784,
              "record sizes");

// What a stream leaves behind from block to block besides the per-channel
// buffers: the band layouts of the current rate, the block number since the
// last synchronisation, the program selected, the noise generator. It lives
// in the instance's persistent memory (carved from the overlap record after
// the two overlap buffers), so decoders share nothing they write.
struct DecoderContext {
    BandInfo longBands;        // the layout of the long window sequences
    BandInfo shortBands;       // the layout of eight short windows
    int16_t sfbWidth128[16];   // short band widths
    PulseInfo pulse;           // pulse data of the channel stream being decoded
    uint32_t bno;              // blocks decoded since the last synchronisation
    int8_t currentProgram;     // tag (0..15) of the selected program; -1 until one is
    uint8_t cpeSeen;           // a channel pair was mapped implicitly
    // Streams without frame lengths: 1 from the first byte stepped over to
    // the next good block; a block tried meanwhile is junk as soon as it
    // shows (dec/block.h). ADTS: nonzero while the search runs from where
    // the stream's next header should have stood (a header destroyed, the
    // frame behind it lost); skippedBytes counts what it steps over, and a
    // frame found missing is concealed where the stream turns up again
    // (dec/process.cpp, search_lost).
    uint8_t steppingOver;
    // 1: a block was lost and, concealment off, gave nothing (process()
    // goes on with what it holds).
    uint8_t blockDropped;
    // A program of channels not played that came after the stream's first
    // program, in a stream that had played blocks, taken for damage: the
    // blocks lost in a row then, plus 1 (at most 255; dec/mcinfo.cpp).
    // Another such program once more have been lost since, with no good
    // block between, is believed. 0: none (a good block clears it).
    uint8_t programDoubted;
    // Blocks of the stream's last ADTS frame decoded whole (1..4; 0: none
    // yet, or another stream since): a lost frame whose header claims more
    // is concealed for this many (the claim is as likely damaged as the rest).
    uint8_t frameBlocks;
    // ADTS: the first byte of the stream's last good frame (its first
    // element's id and tag), its last bit set; 0: none yet. A lost frame's
    // bytes hold it where its block began (see steppingOver).
    uint8_t blockLead;
    uint32_t pnsSeed;          // noise generator
    int32_t bandsRate;         // Hz the band layouts were built for
    // Streams without frame lengths (ADIF, raw blocks): the average bytes of
    // a good block (0 before the first) and the bytes stepped over since the
    // last block given out; a concealed block stands for every average
    // block's worth of them. ADTS: the average bytes of a good frame, and
    // the bytes the search stepped over (see steppingOver).
    uint32_t blockBytes;
    uint32_t skippedBytes;
    // Bits the block being decoded may take: the rest of its ADTS frame
    // (0: no bound, streams without frame lengths).
    uint16_t blockLimitBits;  // (an ADTS frame's at most 8 x 8191)
    // The length of the frame whose block is being decoded, when it is in
    // doubt (dec/process.cpp, longer_length); 0: not in doubt.
    uint16_t doubtedLength;
    uint8_t defaultConfig;     // 1: channels mapped implicitly, block by block
    uint8_t rawWrite;          // 1 once an ADTS header was read since a search
    // 1: the block being decoded is one the frame's header does not count,
    // tried because its frame holds room for one (a damaged block count).
    uint8_t uncountedBlock;
    // 1: a layout of more than two front channels plays as a stereo
    // downmix (dec/downmix.h); set by the host, kept by every reset.
    uint8_t downmix;
    // Spectral band replication: its records when attached (null: the
    // instance plays the core alone); kept by every reset.
    // (Its scratch record is sbr->work.)
    SbrDecoder* sbr;
    // Layouts of more than two channels mixed with SBR on each element
    // (dec/downmix.h): their persistent record when attached (null: such
    // layouts play their AAC-LC core), which also points to their scratch
    // record; kept by every reset.
    struct SbrMixRecord* sbrMix;
};
static_assert(sizeof(DecoderContext) <= kContextBytes, "decoder context fits its place");

// The SBR scratch record (null without SBR).
inline SbrScratch* sbr_scratch_of(const DecoderContext* ctx) { return ctx->sbr ? ctx->sbr->work : nullptr; }

// What SBR borrows of the core's scratch records (SbrLent): the sections
// and scale factors, the side information and channel 1's spectrum, none
// of which the core reads again in a block once the spectral tools have run
// on all its channels and each channel's time samples are made.
static_assert(sizeof(SbrLentFrame) <= kBandRecordBytes && sizeof(SbrLentLevels) <= kSideInfoRecordBytes &&
              sizeof(SbrLentLow) <= kCoefBytes, "SBR's working room fits the core's scratch");
static_assert(alignof(SbrLentFrame) <= 8 && alignof(SbrLentLevels) <= 8 && alignof(SbrLentLow) <= 8 &&
              kCoefBytes % 8 == 0, "8-byte aligned in records whose 8-byte alignment KVXD_attachSbr checks");
// And channel 1's overlap buffer, which parametric stereo keeps part of its
// delay lines in while a mono stream plays it (SbrLentOverlap): sample
// values alone, handed back zeroed (sbr_take_second_channel) before the
// core uses the buffer again.
static_assert(sizeof(SbrLentOverlap) == kOverlapBytes && alignof(SbrLentOverlap) <= 8 && kOverlapBytes % 8 == 0,
              "parametric stereo's lent lines fill channel 1's overlap buffer, 8-byte aligned in its record");

// Decoder state machine.
enum : uint32_t { STATE_ADIF = 0, STATE_FRAMES = 1, STATE_SEARCH = 3 };

struct MP4AACDEC_QUVA_Obj {
    const IKVXD_Fxns* fxns;
    uint32_t state;             // STATE_SEARCH / STATE_FRAMES / STATE_ADIF
    uint16_t concealOff;        // nonzero: a failed block yields nothing (control command 4)
    // Frame mode: the fixed fields of the last frame whose header was taken
    // for a damaged one of the stream (nearly the stream's: another rate or
    // channel count a bit or two away), bit 15 set; 0: none. (In the padding
    // before bitsNeeded: the layout stays as asserted below.)
    uint16_t nearHeader;
    uint32_t bitsNeeded;        // buffered bits required before a decode is tried
    uint16_t concealPending;    // blocks of a failed frame still to be concealed
    uint16_t numSamples;        // samples of the last decoded block (2048)
    uint16_t headerPending;     // 1: an ADTS header comes before the next block
    uint16_t blockCount;
    uint16_t savedHeaderPending;
    uint16_t savedBlockCount;
    AdifHeader adif;
    AdtsHeader adts;
    int32_t* coef[2];
    OverlapSample* overlap[2];
    uint8_t msMaskPresent[2];
    // 1: outputBuffer holds 32-bit samples with the bits below the 16-bit
    // LSB, which libraryOutput synthesises (exact arithmetic; set by the
    // library interface before decoding, kvxdec_set_library_output). (In
    // the padding before msMask: the layout stays as asserted below.)
    uint8_t wideOutput;
    uint8_t* msMask[2];
    uint8_t* windowGroups[2];
    uint8_t windowSequence[2];
    uint8_t maxSfb[2];
    uint8_t* sectCodebook[2];
    TnsInfo* tnsData[2];
    DecoderContext* ctx;  // in the overlap record
    // The synthesis of the outputs only the library interface asks for,
    // 32-bit samples and native layouts' frames of any number of channels
    // (synthesise_channel_any; exact arithmetic). Set by that interface
    // alone (kvxdec_set_library_output), so the plug-in links none; null:
    // 16-bit stereo output only (KVXD_setDownmix refuses native layouts).
    ChannelSynthesis libraryOutput;
    int32_t* chanAux[2];
    int16_t* scaleFactors[2];
    MC_Info mcInfo;
    uint16_t windowShapeState[2][2];  // [ch][0] this block's shape, [ch][1] the filter bank's
    ProgConfig progConfig;
    uint16_t pceCount;
    uint16_t savedPceCount;
    uint16_t currentChannel;
    uint16_t errorCount;
    uint16_t* fifoBuffer;
    uint16_t fifoWords;
    DecFifo fifo;
    DecFifo savedFifo;
    int16_t* outputBuffer;
    uint32_t rawStream;
    uint32_t defaultBitsNeeded;  // 128 streaming, 72 frame mode
    uint16_t firstBlock;         // filter-bank first-block flag
    uint32_t lastError;
    int16_t frameMode;
    // Concealment: the spectra of the last good block (8192 bytes, the
    // eighth static block; null when the instance was made another way,
    // which conceals with silence only), how that block was windowed, how
    // many blocks were concealed and how many failed in a row.
    int32_t* lastSpectrum;
    uint16_t concealedCount;
    uint16_t concealRun;
    uint16_t blockOffset;  // bytes from the frame's first byte to the current block
    uint8_t goodChannels;  // channels of the last good block, 0 before the first
    uint8_t goodSequence[2];
    uint8_t goodShape[2];
    // 1: the frame being decoded was found by search without the next
    // header behind it; its block must parse cleanly for it to count.
    uint8_t unconfirmed;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DecFifo) == 28, "DecFifo layout");
static_assert(sizeof(MP4AACDEC_QUVA_Obj) == 1552, "instance layout");
static_assert(offsetof(MP4AACDEC_QUVA_Obj, lastSpectrum) == 1536, "instance layout");
static_assert(offsetof(MP4AACDEC_QUVA_Obj, bitsNeeded) == 12, "instance layout");
#endif

constexpr uint32_t kDefaultBitsNeededStream = 128;
constexpr uint32_t kDefaultBitsNeededFrame = 72;
constexpr uint16_t kSamplesPerBlock = 2048;

// The band layout of a window sequence: the long one for every sequence but
// eight short windows.
inline const BandInfo* kvxdec_winmap(const MP4AACDEC_QUVA_Obj* dec, uint8_t window_sequence) {
    return (window_sequence & 3) == EIGHT_SHORT_SEQUENCE ? &dec->ctx->shortBands : &dec->ctx->longBands;
}

// record5, the FIFO, has fifo_bytes (at least kFifoRecordBytes; what lies
// beyond kLongFifoWords words is not used).
int aacdecode_init(MP4AACDEC_QUVA_Obj* obj, void* record1, void* record2, void* record3,
                   void* record4, void* record5, uint32_t fifo_bytes, const IMP4AACDEC_Params* params);
void aacdecode_flush(MP4AACDEC_QUVA_Obj* obj);
// The room SBR borrows (see SbrLent above), from the records the instance
// was given.
SbrLent kvxdec_sbr_lent(const MP4AACDEC_QUVA_Obj* obj);
void aacdecode_flushFifo(MP4AACDEC_QUVA_Obj* obj);
// Drops the input held and searches again from the next bytes written;
// what the stream left (overlap, rate, program, SBR) stays: a byte stream
// whose end was pushed through with padding goes on after all.
void aacdecode_search_again(MP4AACDEC_QUVA_Obj* obj);
// Resets the context every stream starts from: block number, channel
// configuration, program tag, pair flag, header flag, noise seed and pulse
// record. Every reset of the instance calls it.
void reset_process_state(MP4AACDEC_QUVA_Obj* obj);
// The SBR state, its header and the decision whether the stream plays SBR
// and parametric stereo: taken again from the next block on.
void reset_sbr(MP4AACDEC_QUVA_Obj* obj);
// Empties the FIFO onto its storage; keeps the get-bits callback.
void fifo_reset(MP4AACDEC_QUVA_Obj* obj);
void kvxdec_context_save(MP4AACDEC_QUVA_Obj* obj);
void kvxdec_context_restore(MP4AACDEC_QUVA_Obj* obj);
int aacdecode_control(MP4AACDEC_QUVA_Obj* obj, int16_t cmd, KVXD_Status* status);
void aacdecode_setOutputBuffer(MP4AACDEC_QUVA_Obj* obj, int16_t* buffer);
int16_t* aacdecode_getSamples(MP4AACDEC_QUVA_Obj* obj, uint16_t* count);
// Reads up to 16 bits from the instance's FIFO.
uint16_t aacdec_getbits(MP4AACDEC_QUVA_Obj* dec, uint16_t n);
// Skips n bits, as reads of them would (a fill payload, a data stream element's bytes).
void aacdec_skipbits(MP4AACDEC_QUVA_Obj* dec, uint32_t n);
uint16_t aacdecode_process(MP4AACDEC_QUVA_Obj* obj, const uint16_t* words, uint16_t count);
// The spectra of the last good block are kept in 1024 coefficients per channel.
constexpr size_t kLastSpectrumBytes = 2 * kCoefBytes;
// Keeps the spectrum channel c is about to synthesise, and how it is windowed.
// (A block of a stream that plays SBR may be kept at its scale, dec/core_scale.h.)
void keep_spectrum(MP4AACDEC_QUVA_Obj* obj, int c, uint8_t sequence, uint8_t shape);
// Writes a block of 1024 stereo frames for a block that failed: the last good
// spectra at half amplitude for the first failure in a row, silence after.
void conceal_block(MP4AACDEC_QUVA_Obj* obj);
// A block for one the host knows lost (dec/process.cpp): concealed as a
// failed block is, its samples; 0 with concealment off, with no rate to
// play it at yet, or with no good block since the stream's start or a
// reset to conceal from (the layout not yet known).
uint16_t conceal_lost_block(MP4AACDEC_QUVA_Obj* obj);

