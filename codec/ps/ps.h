// Parametric stereo (ISO/IEC 14496-3, the PS tool of HE-AAC v2): a stereo
// pair made from the mono SBR signal, one 64-band QMF slot at a time.
//
// Per frame, the PS data of the SBR payload's extension gives up to four
// envelopes of stereo parameters per parameter band: the inter-channel
// intensity difference (IID), the coherence (ICC) and optionally the phase
// differences (IPD, OPD). Per slot:
// - the hybrid analysis splits the lowest QMF bands (3 or 5) into
//   sub-subbands (10 or 32 hybrid bands) with 13-tap complex filters
//   centred on the slot, so it reads the low band six slots ahead;
// - the decorrelator makes a second signal d from the mono one s: in the
//   lower bands an all-pass chain (a 2-slot delay, a fractional delay and
//   three all-pass links), above that a 14-slot and then a 1-slot delay,
//   scaled down where the energy of a parameter band falls after a peak
//   (transients would smear otherwise);
// - the mixing gives left = h11 s + h21 d, right = h12 s + h22 d, with the
//   matrix of the envelope interpolated linearly from the previous
//   envelope's over the slots up to the envelope's border (procedure A:
//   ICC and IID as rotations; procedure B: the principal-axis mixing), and
//   with phase differences complex matrices;
// - the hybrid synthesis sums the hybrid bands back into their QMF bands.
//
// Formats: subband samples as the QMF banks' (dsp/qmf.h); mixing matrices
// Q30; gains Q30; signal energies 64-bit sums of squared subband samples.
//
// A frame whose PS data is missing or damaged holds the last matrices (the
// previous frame's parameters) for the whole frame; time-differential data
// after it is not decoded until frequency-differential data comes.
#pragma once

#include <cstdint>

#include "sbr/freq.h"

constexpr int kPsMaxEnvelopes = 5;  // four coded and one appended up to the frame's end
constexpr int kPsMaxParBands = 34;
constexpr int kPsMaxPhaseBands = 17;
constexpr int kPsMaxHybridQmf = 5;  // QMF bands split by the hybrid filters
constexpr int kPsHybridLag = 6;     // slots the hybrid filters reach ahead and back
constexpr int kPsMaxBands = 91;     // hybrid and QMF bands of the 34-band configuration

// What the PS data reader keeps between frames, and the frame it read.
struct PsParams {
    uint8_t have_header;
    uint8_t enable_iid, iid_mode, enable_icc, icc_mode, enable_ext, enable_ipdopd;
    uint8_t ref_ok;   // the last envelope's values can be the base of time-differential data
    uint8_t is34;     // 34 stereo bands (else 20)
    uint8_t num_env;  // envelopes of the last frame read, the appended one included
    int8_t border[kPsMaxEnvelopes + 1];  // envelope e: slots border[e] + 1 .. border[e + 1]
    uint8_t pad[2];
    // Per envelope and band at the coded resolution, two indices a byte
    // (PsField): IID and ICC, IPD and OPD.
    uint8_t level[kPsMaxEnvelopes][kPsMaxParBands];
    uint8_t phase[kPsMaxEnvelopes][kPsMaxPhaseBands];
};

// Where an index lies in its byte: (byte >> shift) & mask, less offset.
struct PsField {
    uint8_t shift, mask, offset;
};
constexpr PsField kPsIid{0, 31, 15};  // -15..15
constexpr PsField kPsIcc{5, 7, 0};    // 0..7
constexpr PsField kPsIpd{0, 7, 0};    // 0..7
constexpr PsField kPsOpd{3, 7, 0};    // 0..7

inline int ps_get(uint8_t v, PsField f) { return ((v >> f.shift) & f.mask) - f.offset; }
inline uint8_t ps_put(uint8_t v, PsField f, int x) {
    return static_cast<uint8_t>((v & ~(f.mask << f.shift)) | (((x + f.offset) & f.mask) << f.shift));
}

// The decorrelator's delay lines, laid out for runs of bands: each slot's
// entries of a line are a row over its bands, real parts, then imaginary
// parts. The all-pass bands (k from 0) have the 2-slot input delay and the
// three links (3, 4 and 5 slots); then come the 14-slot delay bands and the
// 1-slot delay bands (k from the first of each). The state keeps the input
// delay, the first link and the 14-slot delay; the other two links and the
// 1-slot delay lie in room the host lends (PsLentLines): the core decoder's
// second overlap buffer, idle while a mono stream plays PS
// (sbr/sbr_decoder.h). That room holds samples alone: where a row lies
// comes from the state (tick), never from the room.
struct PsDelayLines {
    int32_t pre[2][2][50];  // [slot][re, im][band]
    int32_t link0[3][2][50];
    int32_t long_delay[14][2][12];  // [slot][re, im][band]
};
struct PsLentLines {
    int32_t link1[4][2][50];  // [slot][re, im][band]
    int32_t link2[5][2][50];
    int32_t short_delay[2][29];  // [re, im][band]: the one slot
};
static_assert(sizeof(PsDelayLines) + sizeof(PsLentLines) == 7176, "the delay lines' size as documented");
static_assert(sizeof(PsLentLines) == 3832, "the lent part of the delay lines");

// The persistent record (all zero: the start state, lines and lent lines
// alike). The mixing matrices start at zero, so a stream's first envelope
// fades in from silence.
struct PsState {
    PsParams par;
    uint8_t frame_new;   // 1: this frame's envelopes are in par (else the matrices hold)
    uint8_t next_env;    // next envelope to enter
    uint8_t was34;       // configuration of the delay lines and matrices
    uint8_t top;         // QMF bands from this one up are empty this frame, their delay lines too
    uint32_t tick;       // slot counter modulo 420 (positions in the delay rings)
    uint8_t ipd_hist[kPsMaxPhaseBands];  // the last two IPD indices per band (3 bits each)
    uint8_t opd_hist[kPsMaxPhaseBands];
    uint8_t phase_moving;  // some step of the imaginary parts is not 0
    // 1 once a frame's PS data has been read since the reset: until then
    // the mono signal plays in both channels (the matrices are zero).
    uint8_t heard;
    // Mixing matrices per parameter band: h11, h12, h21, h22 now and their
    // step per slot; the imaginary parts (phase) for the phase bands.
    int32_t h[4][kPsMaxParBands];
    int32_t h_step[4][kPsMaxParBands];
    int32_t hi[4][kPsMaxPhaseBands];
    int32_t hi_step[4][kPsMaxPhaseBands];
    // Transient detector per parameter band.
    uint64_t peak[kPsMaxParBands];
    uint64_t smooth[kPsMaxParBands];
    uint64_t peak_diff[kPsMaxParBands];
    // The low QMF bands' last rows before the current frame's X_low (the
    // hybrid filters reach back kPsHybridLag slots from slot 0, which is
    // X_low row 2).
    int32_t hist_re[kPsHybridLag - 2][kPsMaxHybridQmf];
    int32_t hist_im[kPsHybridLag - 2][kPsMaxHybridQmf];
    PsDelayLines lines;
    PsLentLines* lent;  // the rest of the delay lines, in the host's room
};

// A new stream: the state, and the delay lines in `lent` (the host's room,
// PS's until the host takes it back), to zero.
void ps_reset(PsState* ps, PsLentLines* lent);

// The frame's PS data: bit_count bits of `data` from bit bit_offset (the
// SBR payload's PS extension). With data null (no PS data this frame, or an
// SBR payload that failed) the matrices hold. top: QMF bands from this one
// up are empty this frame (the SBR range's end).
void ps_begin_frame(PsState* ps, const uint8_t* data, uint32_t bit_offset, uint32_t bit_count, int top);

// Output slot l (0..31) of the frame. re/im: the mono slot (64 bands),
// replaced by the left channel's; out_re/out_im receive the right channel's
// (64 bands). low_re/low_im: the frame's X_low rows in the subbands the
// hybrid filters split (40, row l + 2 is the slot's; the hybrid filters read
// rows l - 4 .. l + 8). d_re/d_im: working room for the decorrelated
// signal (kPsMaxBands each; off the stack, which it would deepen by 728
// bytes).
void ps_slot(PsState* ps, int l, const int32_t (*low_re)[kPsMaxHybridQmf], const int32_t (*low_im)[kPsMaxHybridQmf],
             int32_t* re, int32_t* im, int32_t* out_re, int32_t* out_im, int32_t* d_re, int32_t* d_im);
