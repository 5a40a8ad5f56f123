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
#include "sbr/built.h"
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
    uint8_t index;     // the place of that element among the block's channel elements (1: the first)
    uint8_t slot;      // the channel slot (0, 1) of that element, a single channel's
    uint8_t pad;
};

// Rows of Y past a frame's 32 output slots (rows 34..39), which the next
// frame's first output slots take (its rows 2..7).
constexpr int kSbrCarryRows = kSbrHfGenSlots - kSbrHfAdjSlots;

// What a channel keeps from frame to frame.
struct SbrChannel {
    QmfAnalysisState analysis;
    SbrHfGenState hfgen;
    SbrAdjustState adjust;
    // The last kSbrHfGenSlots analysis slots: X_low rows 0..7 of the next
    // frame.
    int32_t low_re[kSbrHfGenSlots][kSbrMaxKx];
    int32_t low_im[kSbrHfGenSlots][kSbrMaxKx];
    // The carried rows of Y: only subbands carry_kx .. carry_kx + M - 1 of
    // them can hold anything (M <= kSbrMaxSubbands), the rest is zero.
    int32_t high_re[kSbrCarryRows][kSbrMaxSubbands];
    int32_t high_im[kSbrCarryRows][kSbrMaxSubbands];
    int16_t carry_kx;
    // The scale of the analysis state and of the rows kept in low_re,
    // low_im: the core's time samples they came from were 2^scale times
    // their value (see SbrCoreScale); the rows, the analysis' output, are
    // 2^(scale + kQmfAnalysisGain) times theirs.
    int16_t scale;
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

// While a stream of one or two channels plays SBR, the core's time samples
// of a block are made 2^s times their value, s the block's scale (0 ..
// kSbrMaxCoreScale): quiet blocks keep that many more bits below the
// 16-bit LSB. The SBR band is rebuilt from them and lifted by the
// envelope, often by 60 dB and more over core subbands of an LSB or less,
// where the core's last bits would otherwise decide the high band. The
// low band goes to the synthesis at its value. The core's side of it
// (dec/core_scale.h) keeps here, per channel:
struct SbrCoreScale {
    int8_t scale[2];  // the scale of the channel's overlap buffer
    int8_t block[2];  // the scale chosen for the block being read
    int8_t peak[2];   // bit length of the last block's largest time sample or overlap value, at its value (Q12)
    int8_t kept[2];   // the scale of the spectrum kept for concealment
};
constexpr int kSbrMaxCoreScale = 16;
// n values (n even) from one scale to another d higher: up exactly (saturated,
// which the scales chosen never reach), or down with rounding (kernel
// sbr_scale).
void sbr_rescale(int32_t* v, int n, int d);

// The synthesis banks' delay lines: the 64-band ones, or for downsampled
// SBR the 32-band ones, which take the first half of the room.
union SbrSynthesis {
    QmfSynthesis64State full[2];
    QmfSynthesis32State down[2];
};

// What concealment keeps of the last good frame, per channel: its last
// envelope and noise floor, and where its grid ended.
struct SbrHeldChannel {
    int8_t env[kSbrMaxMasterBands];
    int8_t noise[kSbrMaxNoiseBands];
    uint8_t invf[kSbrMaxNoiseBands];
    uint8_t amp_res;
    uint8_t freq_res;
    uint8_t start;  // SBR time slot the held envelope starts at (where the last grid ended, less 16)
};
struct SbrHeld {
    SbrHeldChannel ch[2];
    uint8_t num_channels;
    uint8_t coupling;
};

// Working room SBR borrows from the core decoder's scratch, in three pieces
// that hold nothing the core still needs from the moment the block's SBR
// data is read (after the spectral tools of all its channels) to the end of
// its last channel's SBR: the block's frame data in the sections and scale
// factors, the dequantized levels and the adjuster's arrays (before them
// the HF generator's) in the side information, the adjuster's history and
// parametric stereo's copy of the lowest subbands in the second channel's
// spectrum. (Each channel's core
// time samples are made before any channel's SBR runs: the second channel's
// wait in the first channel's spent spectrum, dec/block.cpp.)
struct SbrLentFrame {
    SbrFrameData frame;   // the block's SBR data, read by sbr_begin_block
};
struct SbrLentLevels {
    // The adjuster's arrays, and before it runs the HF generator's: the
    // levels are made before the generator and read by the adjuster.
    union {
        SbrAdjustWork adjust;
        SbrHfWork hfgen;
    };
    SbrDequant levels;
};
struct SbrLentLow {
    SbrAdjustHistory history;
    // Parametric stereo's copy of the mono X_low in the subbands its hybrid
    // filters split (the matrix's rows become the left channel's as they
    // are played).
    int32_t ps_low_re[kSbrXLowSlots][kPsMaxHybridQmf];
    int32_t ps_low_im[kSbrXLowSlots][kPsMaxHybridQmf];
    // Parametric stereo's decorrelated signal of a slot (ps_slot).
    int32_t ps_d_re[kPsMaxBands];
    int32_t ps_d_im[kPsMaxBands];
};
// And one piece of the core's persistent memory: the second channel's
// overlap buffer, which a mono stream never uses. While a mono stream
// plays parametric stereo (SbrDecoder::stereo_ps) it holds the part of
// PS's delay lines the state has no room for, samples alone; PS owns it
// from ps_reset until sbr_take_second_channel gives it back, all of it
// zeroed, as a second channel's start state. The core touches it only
// after that call (a block of two channels, a mixed layout's block, the
// concealment of a pair).
constexpr size_t kSbrLentOverlapBytes = 4096;
union SbrLentOverlap {
    PsLentLines ps;
    uint8_t bytes[kSbrLentOverlapBytes];
};
struct SbrLent {
    SbrLentFrame* frame;
    SbrLentLevels* levels;
    SbrLentLow* low;
    SbrLentOverlap* overlap;
};
// The first channel's spectrum (1024 words), just before the second's
// (`low`: KVXD_attachSbr checks it), which a mono core has spent once its
// time samples are made (they wait in the scratch record): the small
// scratch record's parametric stereo puts a slot's right channel and the
// rows it makes there.
inline int32_t* sbr_lent_mono(const SbrLent& l) { return reinterpret_cast<int32_t*>(l.low) - 1024; }

// The persistent record. The synthesis states come last: a record for a
// decoder that only plays downsampled SBR ends after down[] (sbr_record_bytes).
struct SbrScratch;
struct SbrDecoder {
    SbrChannel ch0;
    // A pair's second channel, or a mono stream's parametric stereo (the
    // rest of whose delay lines lie in lent.overlap).
    union {
        SbrChannel ch1;
        PsState ps;
    };
    SbrScratch* work;     // the scratch record: the block's payload lives there
    SbrLent lent;         // the room borrowed from the core decoder
    SbrParseState parse;
    SbrHeld held;         // the last good frame, for concealment
    int32_t frameOk;      // 1: frame holds this block's data (else the high band is left empty)
    uint8_t heldOk;       // 1: held has a frame to conceal with
    // 1: the host plays every stream in two channels (a mono core in both),
    // so parametric stereo may start later than a mono stream's first good
    // frame without the channel count changing under it (sbr_set_stereo_host).
    uint8_t stereo_host;
    // 1: the scratch record is the small one (kSbrSmallScratchBytes): X_low
    // alone is a matrix, X_high and Y are made a few rows at a time.
    uint8_t small;
    uint8_t pad;
    uint32_t concealRun;  // blocks in a row played from held
    uint8_t mode;         // SbrMode the host asked for (DOWNSAMPLED: the record may be the short one)
    uint8_t signalled;    // SbrSignalled: with SBR signalled the stream plays SBR from its first block
    uint8_t decided;      // 1 once the stream's first block said whether it plays SBR
    uint8_t active;       // 1: this stream plays SBR
    uint8_t downsampled;  // 1: it plays downsampled (1024 samples a channel per block, else 2048)
    uint8_t stereo_ps;    // 1: a mono stream that plays parametric stereo
    uint8_t ps_open;      // SbrPsOpen: whether and when PS may still start in a mono stream
    // 1: a mono core that comes out in two channels: parametric stereo, or
    // a stream entered between two SBR headers, whose first block could not
    // say whether PS comes (two channels from its start, PS or not, so the
    // channel count never changes under a host that asked for native ones).
    uint8_t stereo_out;
    SbrCoreScale core;
    SbrSynthesis synthesis;
};

// Whether parametric stereo may still start in a mono stream that plays
// SBR without it (SbrDecoder::ps_open). The first good frame decides, as it
// does for SBR itself; under a host that plays two channels whatever the
// stream has (stereo_host), or in a stream that already comes out in two,
// PS found in two good frames in a row starts later too: the PS data of a
// first frame that a flipped bit spoiled, or a stream spliced on whose
// headers the transport does not tell from the last one's. (Two in a row,
// so that damage that happens to read as PS data does not put a mono
// stream's sound on a stereo image it never had.)
enum SbrPsOpen : uint8_t {
    SBR_PS_CLOSED = 0,     // no: a stereo core, PS playing, or a mono stream decided under a native host
    SBR_PS_FIRST = 1,      // the stream's first good frame decides
    SBR_PS_LATE = 2,       // later: the last good frame had no PS data
    SBR_PS_LATE_SEEN = 3,  // later: the last good frame had PS data
};

// A mono core that comes out in two channels (stereo_out); before the
// first block, what the configuration signals.
inline bool sbr_stereo_from_mono(const SbrDecoder* s) {
    if (!s || s->mode == SBR_MODE_OFF) return false;
    return s->decided ? s->active && s->stereo_out : (s->signalled & SBR_SIGNALLED_PS) != 0;
}

// Bytes of the persistent record: the whole one, or (downsampled) the one
// that ends after the 32-band synthesis states, rounded to 8 bytes.
constexpr size_t sbr_record_bytes(bool downsampled) {
    return downsampled ? (offsetof(SbrDecoder, synthesis) + sizeof(QmfSynthesis32State[2]) + 7) / 8 * 8
                       : sizeof(SbrDecoder);
}

// The scratch record, live within one block's decoding: the block's SBR
// payload (kept while the block is read), then per channel the QMF matrix
// (the first channel's core time samples in its last rows until the
// analysis has taken them). One matrix holds X_low and X_high/Y:
// subbands below kx are X_low, those from kx up X_high and then Y (the HF
// generator reads only subbands below kx and writes only those from kx
// up). The rest of SBR's working room is borrowed (SbrLent).
// A block of two single channel elements with a payload each (dual mono)
// plays as an uncoupled pair: the second element's payload, and the frame
// read from it, wait in the matrix's real part from the block's start
// until its SBR data is read, above the rows where the core keeps a
// spectrum or an overlap buffer meanwhile (dec/core_scale.cpp).
struct SbrDual {
    SbrPayload payload;
    SbrFrameData frame;
};
constexpr int kSbrCoreRows = 16;  // the core's: 1024 values
struct SbrScratch {
    SbrPayload payload;
    union {
        int32_t re[kSbrXLowSlots][64];
        struct {
            int32_t core[kSbrCoreRows][64];
            SbrDual dual;
        } held;
    };
    int32_t im[kSbrXLowSlots][64];
};
static_assert(sizeof(SbrDual) <= sizeof(int32_t[kSbrXLowSlots - kSbrCoreRows][64]));

// Where the core puts the first channel's 1024 time samples (Q12) for SBR
// (a pair's second channel's wait where the caller keeps them): the last
// 16 rows of the matrix's imaginary part. The analysis of slot l reads
// samples 32 l .. 32 l + 31 (row 24 + l / 2) and writes subbands 0..31 of
// row 8 + l, which holds only samples of slots before l (2 l - 32 < l), so
// it runs in place; what is left of the samples lies above subband 31 and
// is cleared with the rest of the high band.
static_assert(16 * 64 == 1024 && kSbrXLowSlots - 16 == 24 && kSbrHfGenSlots == 8, "time samples in rows 24..39");
//
// The small scratch record (SbrDecoder::small) ends after the frame's HF
// filter at `im` (sbr_small_kept): X_low alone, its real and imaginary parts
// side by side in each row of `re` (subbands 0..31, then 0..31), the first
// channel's time samples in its rows 24..39 in the same way (the analysis
// of slot l reads the 32 samples that row 8 + l's second half holds when l
// is 31, and reads them before it writes). X_high and Y are made a few
// rows at a time in room the block has spent (parametric stereo's copy of
// the low subbands, or with parametric stereo the mono core's spectrum,
// which also takes a slot's right channel: sbr_lent_mono): once for an
// envelope's energies (twice where they need a shift) and once for Y,
// where the large record makes them once; the same output, bit for bit.
static_assert(sizeof(SbrHfKept) <= sizeof(SbrScratch::im), "the small record's filter within the large one's rows");
constexpr size_t kSbrSmallScratchBytes = offsetof(SbrScratch, im) + sizeof(SbrHfKept);
inline SbrHfKept* sbr_small_kept(SbrScratch* x) { return reinterpret_cast<SbrHfKept*>(x->im); }
inline int32_t* sbr_time_samples(const SbrDecoder* s) {
    return s->small ? s->work->re[kSbrXLowSlots - 16] : s->work->im[kSbrXLowSlots - 16];
}
// The scratch record the decoder has been given is the small one (before
// any stream; not with layouts of more than two channels mixed with SBR,
// whose elements' subband samples are mixed from the whole matrix).
inline void sbr_set_small(SbrDecoder* s, bool on) { s->small = on ? 1 : 0; }

// Sets up a persistent record of sbr_record_bytes(mode == DOWNSAMPLED)
// bytes at `memory` (nothing of it is read), with the scratch record
// `scratch` and the borrowed room `lent`: no stream yet.
SbrDecoder* sbr_init(void* memory, SbrScratch* scratch, const SbrLent& lent, uint32_t mode, uint32_t signalled);

// The host plays every stream in two channels (see SbrPsOpen); kept
// across streams.
inline void sbr_set_stereo_host(SbrDecoder* s, bool on) { s->stereo_host = on ? 1 : 0; }

// A new stream: the SBR decision is taken again at its first block.
// Parametric stereo ends and hands the core's second overlap buffer back
// zeroed (sbr_take_second_channel): a stream of two channels spliced on
// after it starts that channel from silence.
void sbr_reset(SbrDecoder* s);

// What SBR delays the core's signal by, in core-rate samples: the banks'
// own delay and the 6 QMF slots by which a frame's output follows its
// analysis (the HF generator reads 8 slots back, the envelopes start 2
// slots in). Measured as the lag of the downsampled output's low band
// behind the core's output.
constexpr uint32_t kSbrDelayCoreSamples = 481;

// Before the stream's first block has decided: its configuration says it
// plays SBR at twice its core rate (the rate of a block lost before then).
inline bool sbr_signalled_full(const SbrDecoder* s) {
    return s && !s->decided && s->mode == SBR_MODE_FULL && (s->signalled & 3) == SBR_SIGNALLED;
}

// 1: the stream plays SBR downsampled (output at the core rate).
inline bool sbr_downsampled(const SbrDecoder* s) { return s->active && s->downsampled; }

// The delay SBR adds, in output samples (0 when the stream does not play SBR).
inline uint32_t sbr_delay(const SbrDecoder* s) {
    return !s || !s->active ? 0 : s->downsampled ? kSbrDelayCoreSamples : 2 * kSbrDelayCoreSamples;
}

// A block that uses the second channel (its SBR state, and the core's
// overlap buffer of channel 1) in a stream that plays parametric stereo:
// PS ends for the stream, the channel starts from its start state and the
// lent overlap buffer goes back to the core zeroed. Nothing when PS does
// not play. The core calls it before it touches that overlap buffer.
void sbr_take_second_channel(SbrDecoder* s);

// A block the core conceals: its SBR data is the held frame's (see above).
void sbr_conceal_block(SbrDecoder* s, int channels);

// Decides at a stream's first block whether it plays SBR; reads the block's
// SBR data. 1: this block is
// decoded with SBR. core_rate: Hz of the core; channels: of the element.
int sbr_begin_block(SbrDecoder* s, int32_t core_rate, int channels);

// Channel c's 1024 core time samples (Q12) at `time` (sbr_time_samples, or
// any room apart from the SBR records), to 2048 PCM
// samples (downsampled: 1024) at `out` (every `step`-th slot; with `pair` into the slot after
// each as well): 16-bit samples, or with `wide` 32-bit ones (the 16-bit
// sample times 65536 and the bits below it, limited to the 16-bit range).
// The time samples are 2^scale times their value (SbrCoreScale).
void sbr_channel(SbrDecoder* s, SbrScratch* scratch, int c, const int32_t* time, int scale, void* out, bool wide,
                 int step, bool pair);

// Layouts of more than two channels played as a stereo downmix with SBR on
// each of their elements (dec/downmix.h): the record holds one element's
// state (its payload reader, its held frame) and the first two channels of
// the layout; the other elements' states are loaded into it and saved
// from it in turn, the other channels are given by the caller, and each
// channel's subband samples are mixed by the caller before the record's
// two synthesis banks.
struct SbrElementState {
    SbrParseState parse;
    SbrHeld held;
    int32_t frameOk;
    int32_t heldOk;
    uint32_t concealRun;
};
void sbr_element_load(SbrDecoder* s, const SbrElementState* e);
void sbr_element_save(const SbrDecoder* s, SbrElementState* e);
// The start state of an element (no header read yet).
void sbr_element_reset(SbrElementState* e);
// Decides at a mixed stream's first block whether it plays SBR (`payload`:
// the block carries SBR data); 1 when it does. Parametric stereo never
// plays in a mixed layout.
int sbr_decide_mixed(SbrDecoder* s, bool payload);
// Decides that an undecided stream plays its core alone, at the core rate
// (a layout mixed or played native with no SBR room for its channels).
inline void sbr_decide_core(SbrDecoder* s) {
    if (s->decided) return;
    s->decided = 1;
    s->active = 0;
    s->downsampled = 0;
}
// The element loaded: reads the SBR payload the scratch record holds (its
// `channels` channels' states at ch[0], ch[1]), or, without a usable one,
// conceals from the held frame.
void sbr_begin_element(SbrDecoder* s, int32_t core_rate, int channels, SbrChannel* const ch[2]);
// Channel c of the loaded element, state *ch, from its 1024 core time
// samples at sbr_time_samples: the frame's subband samples in the scratch
// matrix, output slot l in row l + kSbrHfAdjSlots (subbands 0..63; only
// 0..31 are heard downsampled).
void sbr_channel_subbands(SbrDecoder* s, SbrScratch* x, SbrChannel* ch, int c);
// A frame's 32 slots of subband samples through synthesis bank c (0 or 1)
// to PCM at `out`, every `step`-th sample.
void sbr_synthesise(SbrDecoder* s, int c, const int32_t (*re)[64], const int32_t (*im)[64], void* out, bool wide,
                    int step);

// The parametric stereo state takes the room of the second channel's, the
// rest of its delay lines the core's idle overlap buffer.
static_assert(sizeof(PsState) <= sizeof(SbrChannel), "parametric stereo state within the second channel's room");
