// Dequantization of a frame's envelope and noise floor (ISO/IEC 14496-3,
// SBR tool): the quantized values of SbrChannelFrame to the base-2
// logarithms of E_orig and Q_orig in SbrDequant (Q16), coupling resolved.
//
//   E_orig = 64 * 2^(E / a)                      a = 2 (1.5 dB steps) or 1 (3 dB)
//   Q_orig = 2^(6 - Q)                           NOISE_FLOOR_OFFSET = 6
// and, for a coupled pair (E1, Q1 of the first channel's frame, E2, Q2 the
// balance values of the second's; P = 24 for 1.5 dB steps, 12 for 3 dB):
//   E_orig = 64 * 2^(E1 / a + 1) / (1 + 2^(+-(P - E2) / a))   + first, - second channel
//   Q_orig = 2^(6 - Q1 + 1) / (1 + 2^(+-(12 - Q2)))
//
// env_log2 holds log2 E_orig + 8: our subband samples are 16 times the
// standard's (dsp/qmf.h), their energies 256 times. Without coupling every
// value is exact. With it, log2(1 + 2^x) is taken from a table of its values
// at the half-integers x can only take (E and a are integers, a is 1 or 2),
// rounded to Q16: the results are within 0.5 of the exact Q16 value.
#pragma once

#include "sbr/frame.h"
#include "sbr/freq.h"

// env_log2 of E = 0 without coupling: log2 64, and log2 256 for our
// samples' scale.
constexpr int kSbrEnvLog2Base = 6 + 8;

// log2(1 + 2^(h / 2)) in Q16 for any integer h, within 0.5 of the exact
// value (beyond |h| = 35 the correction term rounds to 0).
int32_t sbr_log2_1p_exp2_half(int32_t h);

// The envelope and noise floor of one channel's frame into *out: of
// `level`, the channel's own frame or, for a coupled pair, the first
// channel's (its values are the levels); `balance` null, or for a coupled
// pair the second channel's frame (its values are the balances), `which`
// then choosing the first (0) or second (1) channel's values. The band
// counts follow the tables (N_high or N_low per envelope's resolution, N_Q)
// and the grid of `level`; entries beyond them are set to 0.
void sbr_dequantize(const SbrChannelFrame& level, const SbrChannelFrame* balance, int which,
                    const SbrFreqTables& t, SbrDequant* out);
