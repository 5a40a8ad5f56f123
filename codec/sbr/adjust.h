// The SBR envelope adjuster (ISO/IEC 14496-3, SBR tool, HF adjustment) for
// one channel and one frame: from the HF generator's X_high and the frame's
// dequantized envelope and noise floor, the gains, noise and sinusoid levels
// (limited, boosted, smoothed in time), and Y = X_high G + noise + sinusoid,
// in place.
//
// Integer arithmetic throughout. Energies are 64-bit sums of squares; every
// level is then carried as a base-2 logarithm in Q24 (log2 of an energy or
// of a squared gain), where products and quotients are sums and
// differences, sums of energies are taken through a common exponent
// (2^-56 relative), and sqrt is a halving. The levels meet the samples as
// mantissa/exponent pairs (30-bit mantissa). Gains come out within about
// 1e-7 of their real values; Y is then rounded to the sample grid.
//
// Units: X_high and Y are QMF subband samples of dsp/qmf.h (16 x the
// standard's X for a signal in 16-bit PCM steps), so the standard's
// EPS = 1 added to an energy is 256 here, and EPS0 = 1e-12 is 2.56e-10.
#pragma once

#include <cstdint>

#include "dsp/sbr_adjust.h"
#include "sbr/frame.h"
#include "sbr/freq.h"

// Rows of the X_high / Y arrays a frame may touch: the standard's QMF slot
// index of the frame, 0 .. RATE * t_E(L_E) + t_HFAdj - 1, with t_E(L_E) up
// to 16 + 3.
constexpr int kSbrAdjRows = kSbrRate * (kSbrTimeSlots + 3) + kSbrHfAdjSlots;  // 40
constexpr int kSbrMaxSubbands = kSbrMaxMasterBands;                            // M <= 48

// What one channel's adjuster keeps from frame to frame: 784 bytes.
//
// Smoothing: the gains and noise levels of the last 4 QMF slots of the
// previous frame. An envelope spans an even number of slots, 2 or more, so
// those 4 slots hold at most two values per subband: the newest (b), in the
// last newest_slots slots (2 or 4), and the one before (a) in the others.
// Kept as log2 of the amplitudes in Q24, per subband m - kx.
struct SbrAdjustState {
    int32_t g_a[kSbrMaxSubbands], g_b[kSbrMaxSubbands];
    int32_t q_a[kSbrMaxSubbands], q_b[kSbrMaxSubbands];
    uint64_t sine_prev;     // bit k: S_IndexMapped of subband k in the previous frame's last envelope
    uint16_t noise_index;   // f_IndexNoise of the last sample written (0..511)
    uint8_t sine_index;     // f_IndexSine of the last slot written (0..3)
    uint8_t newest_slots;   // 2 or 4; 0: no history (start, reset)
    uint8_t l_a_prev_zero;  // the previous frame's l_A was its L_E: envelope 0 is transient here
    uint8_t pad[3];
};

// The smoothing history in the linear domain (the older and newer gain and
// noise level per subband), taken from SbrAdjustState when first needed in
// a frame: 1.5 KB of working room, apart from SbrAdjustWork so that the two
// may lie in different places.
struct SbrAdjustHistory {
    SbrLin ga[kSbrMaxSubbands], gb[kSbrMaxSubbands], qa[kSbrMaxSubbands], qb[kSbrMaxSubbands];
};

// The adjuster's per-envelope working arrays, per subband m - kx: kept in
// working room rather than on the stack (3.2 KB). The arrays the levels are
// computed in are dead once the amplitudes are taken, and share their room
// with those of the slots.
struct SbrAdjustWork {
    SbrLin g[kSbrMaxSubbands], q[kSbrMaxSubbands], s[kSbrMaxSubbands];
    int32_t g_log[kSbrMaxSubbands], q_log[kSbrMaxSubbands];
    // The frequency tables' band borders relative to kx, held to 0 .. M:
    // band i covers subbands border[i] .. border[i + 1] - 1.
    uint8_t border_high[kSbrMaxMasterBands + 1], border_low[kSbrMaxLowBands + 1];
    uint8_t border_noise[kSbrMaxNoiseBands + 1], border_lim[kSbrMaxLimiterBands + 1];
    struct Levels {
        uint64_t energy[kSbrMaxSubbands];  // then the sums of log_add
        int32_t e_curr[kSbrMaxSubbands], e_orig[kSbrMaxSubbands], q_orig[kSbrMaxSubbands];
        int32_t g2[kSbrMaxSubbands], q2[kSbrMaxSubbands], s2[kSbrMaxSubbands];
    };
    struct Slots {
        SbrLin g[kSbrMaxSubbands], q[kSbrMaxSubbands];  // a smoothed slot's
        SbrLin q_plain[kSbrMaxSubbands];                // the noise levels, silent where a sinusoid is
        SbrLin g_applied[kSbrMaxSubbands];              // the gains as applied (X_high's scale)
    };
    union {
        Levels level;
        Slots slot;
    };
};

// The start state (silence before, no history).
void sbr_adjust_reset(SbrAdjustState* state);

// Adjusts one frame of one channel in place. Row r of x_re / x_im is the
// standard's QMF slot r of X_high (and of Y): envelope l covers rows
// RATE * t_E(l) + t_HFAdj .. RATE * t_E(l + 1) + t_HFAdj - 1; subbands kx ..
// kx + M - 1 of those rows are replaced by Y, all else is left alone.
// reset: the first frame after an SBR reset (new frequency tables): no
// smoothing across the frame start, no sinusoid carried over.
// Returns false, touching nothing, for a grid or tables outside the bounds
// above (which a valid stream never gives).
// `work`, `history`: room for the working arrays (nothing of it is read).
// x_scale: X_high is 2^x_scale times its value (the analysis bank's gain
// and the core's block scale); Y comes out at its value.
bool sbr_adjust(SbrAdjustState* state, const SbrHeader& header, const SbrFreqTables& tables,
                const SbrChannelFrame& frame, const SbrDequant& levels, int32_t (*x_re)[64],
                int32_t (*x_im)[64], bool reset, SbrAdjustWork* work, SbrAdjustHistory* history, int x_scale = 0);

// Whether sbr_adjust takes a frame of these tables and grid.
bool sbr_adjust_valid(const SbrFreqTables& tables, const SbrGrid& grid);

// The same adjustment where X_high is made a few rows at a time and each
// row of Y goes on as it is done (the small scratch record,
// sbr_decoder.h): make puts rows r .. r + n - 1 of X_high (n at most
// `batch`) into subbands kx .. kx + M - 1 of rows 0 .. n - 1 of re, im
// (64 words apart); done takes them there as Y. The rows come in order,
// each envelope's made once for its energies (twice where they need a
// shift) and once more for Y. Y and the state come out as sbr_adjust's,
// bit for bit.
struct SbrAdjustRows {
    void (*make)(void* ctx, int r, int n);
    void (*done)(void* ctx, int r, int n);
    void* ctx;
    int32_t* re;
    int32_t* im;
    int batch;
};
bool sbr_adjust_rows(SbrAdjustState* state, const SbrHeader& header, const SbrFreqTables& tables,
                     const SbrChannelFrame& frame, const SbrDequant& levels, const SbrAdjustRows& rows, bool reset,
                     SbrAdjustWork* work, SbrAdjustHistory* history, int x_scale);
