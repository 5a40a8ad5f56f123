// Spectral band replication on the core decoder's output: the SBR payloads
// of a block's fill elements, and per channel the 32-band analysis of the
// core's 1024 time samples, the high band rebuilt from the low one, and
// the 64-band synthesis to 2048 samples at twice the core rate, or
// (downsampled SBR) the 32-band synthesis of subbands 0..31 to 1024 samples
// at the core rate: the SBR band cut at the core's Nyquist frequency.
//
// An instance plays SBR only with an SbrDecoder attached (its persistent
// record) and a scratch record; which streams it plays it for is decided at
// a stream's first block: a stream whose first block carries SBR data (or
// whose configuration says so) is decoded at twice its core rate to its
// end, one whose first block carries none at its core rate (SBR data that
// appears later is ignored). A stream plays downsampled when the
// host asks for it, or when its configuration says the SBR output rate is
// the core rate.
//
// A block without usable SBR data (a payload that fails to parse, none at
// all, or a block the core conceals) in a stream that plays SBR repeats the
// last good frame's data, held as one envelope and one noise floor over the
// whole frame, 3 dB down per block in a row, so that the high band fades out
// over about 20 blocks instead of stopping dead; the next good frame takes
// over as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/qmf.h"
#include "ps/ps.h"
#include "sbr/adjust.h"
#include "sbr/bitstream.h"
#include "sbr/frame.h"
#include "sbr/hfgen.h"

// A fill element's SBR extension payload: at most 269 bytes (a count of
// 15 + 255 bytes less the extension type's half byte).
constexpr int kSbrMaxPayloadBytes = 270;
constexpr uint8_t kSbrPairElement = 1;  // the element id of a channel pair

struct SbrPayload {
    uint8_t bytes[kSbrMaxPayloadBytes];
    uint16_t bits;     // payload bits after the extension type
    uint8_t crc;       // 1: EXT_SBR_DATA_CRC
    uint8_t element;   // ID_SCE or ID_CPE it follows
    uint8_t present;   // 1: a payload came in this block
    uint8_t pad[3];
};

// What a channel keeps from frame to frame.
struct SbrChannel {
    QmfAnalysisState analysis;
    SbrHfGenState hfgen;
    SbrAdjustState adjust;
    // The last kSbrHfGenSlots analysis slots (X_low rows 0..7 of the next
    // frame) and the rows of Y beyond the frame's 32 slots, which the next
    // frame's first output slots take (rows 34..39, its rows 2..7).
    int32_t low_re[kSbrHfGenSlots][kSbrMaxKx];
    int32_t low_im[kSbrHfGenSlots][kSbrMaxKx];
    int32_t high_re[kSbrHfGenSlots - kSbrHfAdjSlots][64];
    int32_t high_im[kSbrHfGenSlots - kSbrHfAdjSlots][64];
};

enum SbrMode : uint32_t { SBR_MODE_OFF = 0, SBR_MODE_FULL = 1, SBR_MODE_DOWNSAMPLED = 2 };

// What the stream's configuration says (SbrDecoder::signalled).
// SBR_SIGNALLED_PS may be or-ed to either of the others: parametric
// stereo signalled (object type 29 or its sync extension).
enum SbrSignalled : uint32_t {
    SBR_SIGNALLED_NONE = 0,
    SBR_SIGNALLED = 1,
    SBR_SIGNALLED_DOWNSAMPLED = 2,
    SBR_SIGNALLED_PS = 4
};

// Each concealed block in a row takes the held envelope this many dB down
// (in quantized steps: 2 of 1.5 dB or 1 of 3 dB).
constexpr int kSbrConcealDecayDb = 3;

// The synthesis banks' delay lines: the 64-band ones, or for downsampled
// SBR the 32-band ones, which take the first half of the room.
union SbrSynthesis {
    QmfSynthesis64State full[2];
    QmfSynthesis32State down[2];
};

// The persistent record. The synthesis states come last: a record for a
// decoder that only plays downsampled SBR ends after down[] (sbr_record_bytes).
struct SbrDecoder {
    SbrChannel ch0;
    // A pair's second channel, or a mono stream's parametric stereo.
    union {
        SbrChannel ch1;
        PsState ps;
    };
    SbrPayload payload;
    SbrParseState parse;
    SbrFrameData frame;   // the block's SBR data, read by sbr_begin_block
    SbrFrameData held;    // the last good frame, for concealment (one envelope once concealing)
    int32_t frameOk;      // 1: frame holds this block's data (else the high band is left empty)
    int32_t heldOk;       // 1: held has a frame to conceal with
    uint32_t concealRun;  // blocks in a row played from held
    uint32_t mode;        // SbrMode the host asked for (DOWNSAMPLED: the record may be the short one)
    uint32_t signalled;   // SbrSignalled: with SBR signalled the stream plays SBR from its first block
    uint32_t decided;     // 1 once the stream's first block said whether it plays SBR
    uint32_t active;      // 1: this stream plays SBR
    uint32_t downsampled; // 1: it plays downsampled (1024 samples a channel per block, else 2048)
    uint32_t stereo_ps;   // 1: a mono stream that plays parametric stereo (decided with active)
    SbrSynthesis synthesis;
};

// Bytes of the persistent record: the whole one, or (downsampled) the one
// that ends after the 32-band synthesis states, rounded to 8 bytes.
constexpr size_t sbr_record_bytes(bool downsampled) {
    return downsampled ? (offsetof(SbrDecoder, synthesis) + sizeof(QmfSynthesis32State[2]) + 7) / 8 * 8
                       : sizeof(SbrDecoder);
}

// The scratch record: one channel's core time samples, X_low and X_high/Y.
struct SbrScratch {
    int32_t time[1024];
    int32_t low_re[kSbrXLowSlots][kSbrMaxKx];
    int32_t low_im[kSbrXLowSlots][kSbrMaxKx];
    int32_t re[kSbrXLowSlots][64];
    int32_t im[kSbrXLowSlots][64];
    SbrDequant levels;
};

// Sets up a persistent record of sbr_record_bytes(mode == DOWNSAMPLED)
// bytes at `memory` (nothing of it is read): no stream yet.
SbrDecoder* sbr_init(void* memory, uint32_t mode, uint32_t signalled);

// A new stream: the SBR decision is taken again at its first block.
void sbr_reset(SbrDecoder* s);

// 1: the stream plays SBR downsampled (output at the core rate).
inline bool sbr_downsampled(const SbrDecoder* s) { return s->active && s->downsampled; }

// A block the core conceals: its SBR data is the held frame's (see above).
void sbr_conceal_block(SbrDecoder* s, int channels);

// Decides at a stream's first block whether it plays SBR; reads the block's
// SBR data. 1: this block is
// decoded with SBR. core_rate: Hz of the core; channels: of the element.
int sbr_begin_block(SbrDecoder* s, int32_t core_rate, int channels);

// Channel c's 1024 core time samples (Q12) in scratch->time, to 2048 PCM
// samples (downsampled: 1024) at `out` (every `step`-th slot; with `pair` into the slot after
// each as well): 16-bit samples, or with `wide` 32-bit ones (the 16-bit
// sample times 65536 and the bits below it, limited to the 16-bit range).
void sbr_channel(SbrDecoder* s, SbrScratch* scratch, int c, void* out, bool wide, int step, bool pair);

// The parametric stereo state takes the room of the second channel's.
static_assert(sizeof(PsState) <= 10240, "parametric stereo state above 10 KB");
