// Parametric stereo processing, slot by slot (see ps.h).
#include "ps/ps.h"

#include <cstring>

#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/ps_kernels.h"
#include "dsp/words.h"
#include "ps/ps_data.h"
#include "tables/ps_tables.h"

namespace {

constexpr int kSlots = 32;
constexpr uint32_t kTickPeriod = 420;  // a multiple of every ring length (2, 3, 4, 5, 14)
constexpr int kHybridTaps = 13;
constexpr int32_t kOneQ30 = 1 << 30;
// Subband samples entering the energy sums are limited to this magnitude
// (far above any decoded signal) so that a band's sum of squares stays
// below 2^63.
constexpr int32_t kEnergyLimit = 1 << 28;

const PsConfigTables& config(bool is34) { return is34 ? ps_config_34 : ps_config_20; }

// The resolution (10, 20 or 34 bands) of n coded values, and whether it is
// the working configuration's.
int coded_bands(int n) { return n <= 10 ? 10 : (n <= 20 ? 20 : 34); }
bool at_working_resolution(int n, bool is34) { return coded_bands(n) == (is34 ? 34 : 20); }

// A parameter of band b of the working configuration from the coded
// values (n of them): copied at the same resolution, else through the
// index map (C division of the weighted sum). Sources past n count as 0.
// (Phase parameters come in 5, 11 or 17 of the 10, 20 or 34 bands.)
int mapped(const uint8_t* v, PsField f, int n, bool is34, int b) {
    const int from = coded_bands(n);
    if (at_working_resolution(n, is34)) return ps_get(v[b], f);
    const int8_t* m = from == 10 ? (is34 ? ps_map_10_34[b] : ps_map_10_20[b]) : (from == 20 ? ps_map_20_34[b] : ps_map_34_20[b]);
    int sum = 0;
    for (int j = 0; j < 4; ++j) {
        const int src = m[2 * j];
        if (m[2 * j + 1] && src < n) sum += m[2 * j + 1] * ps_get(v[src], f);
    }
    return sum / m[8];
}

// The mixing matrix of envelope e for every parameter band: the step from
// the current matrix to it over `width` slots (width 0: the matrix now).
void enter_envelope(PsState* ps, int e, int width) {
    const PsParams& p = ps->par;
    const bool is34 = p.is34 != 0;
    const PsConfigTables& cfg = config(is34);
    const int nr_iid = ps_nr_iid_icc_par[p.iid_mode];
    const int nr_icc = ps_nr_iid_icc_par[p.icc_mode];
    const int nr_pd = ps_nr_ipdopd_par[p.iid_mode];
    const bool fine = p.iid_mode > 2;
    const int32_t(*const mix)[8][4] = ps_mix[p.icc_mode > 2 ? 1 : 0];
    // Every band's steps divide by the width: one reciprocal for them all.
    const uint32_t w = static_cast<uint32_t>(width > 1 ? width : 2);
    const uint32_t recip = fx::recip32(w);
    uint32_t phase_moving = 0;
    // Values coded at the working resolution are read as they are (mapped's
    // first case, without the call).
    const bool iid_as_coded = at_working_resolution(nr_iid, is34), icc_as_coded = at_working_resolution(nr_icc, is34);
    for (int b = 0; b < cfg.num_par; ++b) {
        const int iid = !p.enable_iid ? 0
                        : iid_as_coded ? ps_get(p.level[e][b], kPsIid)
                                       : mapped(p.level[e], kPsIid, nr_iid, is34, b);
        const int icc = !p.enable_icc ? 0
                        : icc_as_coded ? ps_get(p.level[e][b], kPsIcc)
                                       : mapped(p.level[e], kPsIcc, nr_icc, is34, b);
        // The table holds the indices from 0 up (ps_tables.h); an index out
        // of the grid (never, the parse keeps them in) plays as 0.
        const int a = iid < 0 ? -iid : iid;
        const int row = fine ? (a < kPsMixFineRows ? a : 0) : (a < kPsMixFineRows / 2 ? ps_mix_row_normal[a] : 0);
        const int32_t* hm = mix[row][icc >= 0 && icc <= 7 ? icc : 0];
        int32_t target[4] = {hm[0], hm[1], hm[2], hm[3]};
        if (iid < 0) {
            target[0] = hm[1];
            target[1] = hm[0];
            target[2] = fx::neg_wrap(hm[3]);
            target[3] = fx::neg_wrap(hm[2]);
        }
        int32_t target_i[4] = {0, 0, 0, 0};
        if (p.enable_ipdopd && b < cfg.num_ipdopd) {
            const int opd = mapped(p.phase[e], kPsOpd, nr_pd, is34, b) & 7;
            const int ipd = mapped(p.phase[e], kPsIpd, nr_pd, is34, b) & 7;
            const int oi = (ps->opd_hist[b] & 63) * 8 + opd;
            const int ii = (ps->ipd_hist[b] & 63) * 8 + ipd;
            ps->opd_hist[b] = static_cast<uint8_t>(oi & 63);
            ps->ipd_hist[b] = static_cast<uint8_t>(ii & 63);
            const int32_t o_re = ps_phase_smooth[oi][0], o_im = ps_phase_smooth[oi][1];
            const int32_t i_re = ps_phase_smooth[ii][0], i_im = ps_phase_smooth[ii][1];
            // The right channel turns by OPD - IPD: opd * conj(ipd).
            const int32_t a_re = fx::rshr64(fx::mac64(fx::mac64(0, o_re, i_re), o_im, i_im), 30);
            const int32_t a_im = fx::rshr64(fx::mac64(fx::mac64(0, o_im, i_re), fx::neg_wrap(o_re), i_im), 30);
            const int32_t ph_re[4] = {o_re, a_re, o_re, a_re};
            const int32_t ph_im[4] = {o_im, a_im, o_im, a_im};
            for (int j = 0; j < 4; ++j) {
                target_i[j] = fx::rshr64(fx::mac64(0, target[j], ph_im[j]), 30);
                target[j] = fx::rshr64(fx::mac64(0, target[j], ph_re[j]), 30);
            }
        }
        // Over one slot (or none) the matrix is the target at once: the
        // first slot's step is then 0. A value already at its target (no
        // phase now or to come, parameters that stay) steps by 0 too,
        // without the division.
        for (int j = 0; j < 4; ++j) {
            if (target[j] == ps->h[j][b]) {
                ps->h_step[j][b] = 0;
            } else if (width <= 1) {
                ps->h[j][b] = target[j];
                ps->h_step[j][b] = 0;
            } else {
                ps->h_step[j][b] = fx::div_round_recip(static_cast<int64_t>(target[j]) - ps->h[j][b], w, recip);
            }
            if (b < kPsMaxPhaseBands) {
                if (target_i[j] == ps->hi[j][b]) {
                    ps->hi_step[j][b] = 0;
                } else if (width <= 1) {
                    ps->hi[j][b] = target_i[j];
                    ps->hi_step[j][b] = 0;
                } else {
                    ps->hi_step[j][b] = fx::div_round_recip(static_cast<int64_t>(target_i[j]) - ps->hi[j][b], w, recip);
                    phase_moving |= static_cast<uint32_t>(ps->hi_step[j][b]);
                }
            }
        }
    }
    ps->phase_moving = phase_moving != 0 ? 1 : 0;
}

// Switching between 20 and 34 bands: the matrices move to the other band
// layout (averaged where bands merge), the decorrelator and the transient
// detector start again.
void switch_config(PsState* ps, bool is34) {
    int32_t moved[4][kPsMaxParBands];
    const int n = is34 ? 34 : 20;
    const int8_t(*m)[9] = is34 ? ps_map_20_34 : ps_map_34_20;
    for (int j = 0; j < 4; ++j) {
        for (int b = 0; b < n; ++b) {
            int64_t sum = 0;
            for (int i = 0; i < 4; ++i) sum = fx::mac64(sum, m[b][2 * i + 1], ps->h[j][m[b][2 * i]]);
            moved[j][b] = fx::div_round(sum, m[b][8]);
        }
    }
    std::memcpy(ps->h, moved, sizeof moved);
    std::memset(ps->hi, 0, sizeof ps->hi);
    std::memset(ps->peak, 0, sizeof ps->peak);
    std::memset(ps->smooth, 0, sizeof ps->smooth);
    std::memset(ps->peak_diff, 0, sizeof ps->peak_diff);
    std::memset(&ps->lines, 0, sizeof ps->lines);
    std::memset(ps->lent, 0, sizeof *ps->lent);
    ps->was34 = is34;
}

// Empties the delay lines of the bands from QMF band top up.
void clear_above(PsState* ps, const PsConfigTables& cfg, int top) {
    PsDelayLines& z = ps->lines;
    PsLentLines& y = *ps->lent;
    const int first = top - cfg.num_hybrid_qmf + cfg.num_hybrid;
    for (int k = first > cfg.num_hybrid ? first : cfg.num_hybrid; k < cfg.num_bands; ++k) {
        for (int c = 0; c < 2; ++c) {
            if (k < cfg.allpass_bands) {
                for (auto& row : z.pre) row[c][k] = 0;
                for (auto& row : z.link0) row[c][k] = 0;
                for (auto& row : y.link1) row[c][k] = 0;
                for (auto& row : y.link2) row[c][k] = 0;
            } else if (k < cfg.long_delay_end) {
                for (auto& row : z.long_delay) row[c][k - cfg.allpass_bands] = 0;
            } else {
                y.short_delay[c][k - cfg.long_delay_end] = 0;
            }
        }
    }
}

// The hybrid bands of slot l into out_re/out_im[0 .. num_hybrid - 1]: the
// window of rows l - 4 .. l + 8 (rows below 0 are in hist).
void hybrid_analysis(const PsState* ps, const PsConfigTables& cfg, int l, const int32_t (*low_re)[kPsMaxHybridQmf],
                     const int32_t (*low_im)[kPsMaxHybridQmf], int32_t* out_re, int32_t* out_im) {
    const int32_t* rows_re[kHybridTaps];
    const int32_t* rows_im[kHybridTaps];
    // From slot kPsHybridLag - 2 on the whole window is in X_low.
    const int first = l + 2 - kPsHybridLag;
    if (first >= 0) {
        for (int j = 0; j < kHybridTaps; ++j) {
            rows_re[j] = low_re[first + j];
            rows_im[j] = low_im[first + j];
        }
    } else {
        for (int j = 0; j < kHybridTaps; ++j) {
            const int r = first + j;
            rows_re[j] = r >= 0 ? low_re[r] : ps->hist_re[r + kPsHybridLag - 2];
            rows_im[j] = r >= 0 ? low_im[r] : ps->hist_im[r + kPsHybridLag - 2];
        }
    }
    kernels.ps_hybrid(cfg.hybrid_coef, cfg.hybrid_qmf, cfg.num_hybrid, rows_re, rows_im, out_re, out_im);
}

}  // namespace

void ps_hybrid_analysis(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands, const int32_t* const* rows_re,
                        const int32_t* const* rows_im, int32_t* out_re, int32_t* out_im) {
    for (int k = 0; k < bands; ++k) {
        const int q = qmf[k];
        const int32_t(*const c)[2] = coef[k];
        int64_t acc_re = fx::round_bias64(31), acc_im = fx::round_bias64(31);
        for (int n = 0; n < kHybridTaps; ++n) {
            const int32_t x_re = rows_re[kHybridTaps - 1 - n][q], x_im = rows_im[kHybridTaps - 1 - n][q];
            acc_re = fx::mac64(fx::mac64(acc_re, c[n][0], x_re), fx::neg_wrap(c[n][1]), x_im);
            acc_im = fx::mac64(fx::mac64(acc_im, c[n][0], x_im), c[n][1], x_re);
        }
        out_re[k] = fx::sat32(acc_re >> 31);
        out_im[k] = fx::sat32(acc_im >> 31);
    }
}

namespace {

inline int32_t limit(int32_t v) { return v > kEnergyLimit ? kEnergyLimit : (v < -kEnergyLimit ? -kEnergyLimit : v); }

inline uint64_t square(int32_t v) { return static_cast<uint64_t>(fx::mac64(0, v, v)); }

inline uint64_t energy(int32_t re, int32_t im) {
    const int32_t a = limit(re), b = limit(im);
    return static_cast<uint64_t>(fx::mac64(fx::mac64(0, a, a), b, b));
}

// (a_re + j a_im) (b_re + j b_im), b in Q31, into *re, *im.
inline void cmul_q31(int32_t a_re, int32_t a_im, int32_t b_re, int32_t b_im, int32_t* re, int32_t* im) {
    *re = fx::rshr64_sat(fx::mac64(fx::mac64(0, a_re, b_re), fx::neg_wrap(a_im), b_im), 31);
    *im = fx::rshr64_sat(fx::mac64(fx::mac64(0, a_re, b_im), a_im, b_re), 31);
}

}  // namespace

uint64_t ps_band_energies(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies) {
    uint64_t seen = 0;
    for (int k = 0; k < n; ++k) {
        const uint64_t a = square(re[k]), b = square(im[k]);
        seen |= a | b;
        energies[par[k]] += a + b;
    }
    return seen;
}

void ps_step_matrices(int32_t* h, const int32_t* step, int n) {
    // Four words a step (one vector addition where the baseline has them).
    int i = 0;
    for (; i + 4 <= n; i += 4)
        for (int j = 0; j < 4; ++j) h[i + j] = fx::add_wrap(h[i + j], step[i + j]);
    for (; i < n; ++i) h[i] = fx::add_wrap(h[i], step[i]);
}

// (Energies, and so peaks, are below 2^63: the peak's decay is exact in 64
// bits.)
void ps_transient_gains(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies, int n,
                        int32_t* gains) {
    for (int b = 0; b < n; ++b) {
        const uint64_t e = energies[b];
        const uint64_t decayed = fx::mul_u64_q31(peak[b], ps_peak_decay_q31);
        const uint64_t p = decayed > e ? decayed : e;
        peak[b] = p;
        // Smoothing by a quarter of the difference each slot.
        smooth[b] = smooth[b] - fx::lsr64(smooth[b], 2) + fx::lsr64(e, 2);
        peak_diff[b] = peak_diff[b] - fx::lsr64(peak_diff[b], 2) + fx::lsr64(p - e, 2);
        gains[b] = ps_transient_gain(smooth[b], peak_diff[b]);
    }
}

void ps_allpass_bands(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                      const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    // Link by link over the run (few pointers live at a time), d holding
    // each band's signal between links.
    const int32_t* phi_re = coef + kPsPhiRe * stride;
    const int32_t* phi_im = coef + kPsPhiIm * stride;
    int32_t* pre_re = rows.pre[0];
    int32_t* pre_im = rows.pre[1];
    for (int k = 0; k < n; ++k) {
        cmul_q31(pre_re[k], pre_im[k], phi_re[k], phi_im[k], &d_re[k], &d_im[k]);
        pre_re[k] = s_re[k];
        pre_im[k] = s_im[k];
    }
    for (int m = 0; m < 3; ++m) {
        int32_t* z_re = rows.link[m][0];
        int32_t* z_im = rows.link[m][1];
        const int32_t* q_re = coef + (kPsLinkRe0 + 2 * m) * stride;
        const int32_t* q_im = q_re + stride;
        const int32_t* ag = coef + (kPsLinkAg0 + m) * stride;
        for (int k = 0; k < n; ++k) {
            const int32_t in_re = d_re[k], in_im = d_im[k], a = ag[k];
            int32_t o_re, o_im;
            cmul_q31(z_re[k], z_im[k], q_re[k], q_im[k], &o_re, &o_im);
            o_re = fx::sub_sat(o_re, fx::rshr64_sat(fx::mac64(0, a, in_re), 31));
            o_im = fx::sub_sat(o_im, fx::rshr64_sat(fx::mac64(0, a, in_im), 31));
            z_re[k] = fx::add_sat(in_re, fx::rshr64_sat(fx::mac64(0, a, o_re), 31));
            z_im[k] = fx::add_sat(in_im, fx::rshr64_sat(fx::mac64(0, a, o_im), 31));
            d_re[k] = o_re;
            d_im[k] = o_im;
        }
    }
}

namespace {

// ps_mix_bands with or without phase: each output computed and stored on
// its own.
template <bool Phase>
void mix_bands(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
               const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
               int32_t* r_re, int32_t* r_im) {
    for (int k = 0; k < n; ++k) {
        const int b = par[k];
        const int32_t sr = s_re[k], si = s_im[k];
        const int32_t dr = fx::rshr64_sat(fx::mac64(0, d_re[k], m.gain[b]), 30);
        const int32_t di = fx::rshr64_sat(fx::mac64(0, d_im[k], m.gain[b]), 30);
        for (int c = 0; c < 2; ++c) {  // left (h11, h21), right (h12, h22)
            const int32_t hs = m.h[c][b], hd = m.h[c + 2][b];
            int64_t re = fx::mac64(fx::mac64(fx::round_bias64(30), hs, sr), hd, dr);
            int64_t im = fx::mac64(fx::mac64(fx::round_bias64(30), hs, si), hd, di);
            if constexpr (Phase) {
                // The imaginary parts, negated for bands of negative centre
                // frequency (they turn the other way).
                const bool flip = neg[k] != 0;
                const int32_t gs = flip ? fx::neg_wrap(m.hi[c][b]) : m.hi[c][b];
                const int32_t gd = flip ? fx::neg_wrap(m.hi[c + 2][b]) : m.hi[c + 2][b];
                re = fx::mac64(fx::mac64(re, fx::neg_wrap(gs), si), fx::neg_wrap(gd), di);
                im = fx::mac64(fx::mac64(im, gs, sr), gd, dr);
            }
            (c ? r_re : l_re)[k] = fx::sat32(re >> 30);
            (c ? r_im : l_im)[k] = fx::sat32(im >> 30);
        }
    }
}

}  // namespace

void ps_mix_bands(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
                  const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                  int32_t* r_re, int32_t* r_im) {
    if (m.hi[0]) mix_bands<true>(m, par, neg, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
    else mix_bands<false>(m, par, neg, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}

namespace {

// Advances the matrices to slot l: enters the envelopes that start there.
void advance_matrices(PsState* ps, int l) {
    const PsParams& p = ps->par;
    if (ps->frame_new) {
        while (ps->next_env < p.num_env && l > p.border[ps->next_env]) {
            const int e = ps->next_env++;
            enter_envelope(ps, e, p.border[e + 1] - p.border[e]);
        }
    }
    // Whole rows: the steps of bands from num_par up are 0 (ps_begin_frame);
    // the imaginary parts only while some step of theirs is not.
    kernels.ps_step(&ps->h[0][0], &ps->h_step[0][0], 4 * kPsMaxParBands);
    if (ps->phase_moving) kernels.ps_step(&ps->hi[0][0], &ps->hi_step[0][0], 4 * kPsMaxPhaseBands);
}

}  // namespace

void ps_reset(PsState* ps, PsLentLines* lent) {
    std::memset(ps, 0, sizeof *ps);
    std::memset(lent, 0, sizeof *lent);
    ps->lent = lent;
    // Every parameter zero: the base of a first frame coded in time.
    std::memset(ps->par.level, kPsIid.offset, sizeof ps->par.level);
    ps->par.ref_ok = 1;
}

void ps_begin_frame(PsState* ps, const uint8_t* data, uint32_t bit_offset, uint32_t bit_count, int top) {
    ps->frame_new = data && ps_read_data(&ps->par, data, bit_offset, bit_count) ? 1 : 0;
    ps->heard |= ps->frame_new;
    ps->next_env = 0;
    words::zero_words(&ps->h_step[0][0], 4 * kPsMaxParBands);
    words::zero_words(&ps->hi_step[0][0], 4 * kPsMaxPhaseBands);
    ps->phase_moving = 0;
    const bool is34 = ps->par.is34 != 0;
    if (is34 != (ps->was34 != 0)) switch_config(ps, is34);
    ps->top = static_cast<uint8_t>(top < 0 ? 0 : (top > 64 ? 64 : top));
    clear_above(ps, config(is34), ps->top);
}

void ps_slot(PsState* ps, int l, const int32_t (*low_re)[kPsMaxHybridQmf], const int32_t (*low_im)[kPsMaxHybridQmf],
             int32_t* re, int32_t* im, int32_t* out_re, int32_t* out_im, int32_t* d_re, int32_t* d_im) {
    const PsConfigTables& cfg = config(ps->was34 != 0);
    advance_matrices(ps, l);

    // The hybrid bands go into out_re/out_im while the QMF bands above
    // them are still the mono signal in re/im.
    hybrid_analysis(ps, cfg, l, low_re, low_im, out_re, out_im);
    // The bands from QMF band top up are empty and so are their delay lines
    // (ps_begin_frame): their energy, decorrelated signal and mix are zero,
    // and they stay so without being run.
    const int nh = cfg.num_hybrid, nq = cfg.num_hybrid_qmf;
    const int top = ps->top > nq ? ps->top : nq;
    const int end = top - nq + nh < cfg.num_bands ? top - nq + nh : cfg.num_bands;
    // The QMF bands nq .. top - 1, bands nh .. end - 1, at j = k - nh in
    // s (the mono samples), d + nh, l (in place of s) and r: all-pass,
    // 14-slot and 1-slot delay bands.
    int32_t* s_re = re + nq;
    int32_t* s_im = im + nq;
    const int n = end - nh;
    const int ap_end = (n < cfg.allpass_bands - nh ? n : cfg.allpass_bands - nh);
    // The all-pass bands' samples in one run: the hybrid bands' in
    // out_re/out_im, the QMF bands' copied after them (out_re/out_im hold
    // the right channel's QMF bands only after the all-pass has read them).
    words::copy_words(out_re + nh, s_re, ap_end);
    words::copy_words(out_im + nh, s_im, ap_end);
    int32_t gains[kPsMaxParBands];
    {
        // The squares as they come (each below 2^63 with its pair), their
        // bits gathered: with none at 2^56 or above no sample reaches the
        // limit and the sums are the limited samples' (a sum may wrap
        // otherwise; they are made again from the limited samples).
        // The sums of the configuration's parameter bands start at zero
        // (20 or 34 of 8 bytes: whole blocks of 16 bytes).
        uint64_t energies[kPsMaxParBands];
        words::zero(energies, static_cast<size_t>(cfg.num_par) * sizeof energies[0]);
        uint64_t seen = kernels.ps_energies(out_re, out_im, cfg.par_band, nh + ap_end, energies);
        seen |= kernels.ps_energies(s_re + ap_end, s_im + ap_end, cfg.par_band + nh + ap_end, n - ap_end, energies);
        if (fx::lsr64(seen, 56) != 0) {
            words::zero(energies, static_cast<size_t>(cfg.num_par) * sizeof energies[0]);
            for (int k = 0; k < nh; ++k) energies[cfg.par_band[k]] += energy(out_re[k], out_im[k]);
            for (int k = nh; k < end; ++k) energies[cfg.par_band[k]] += energy(re[k - nh + nq], im[k - nh + nq]);
        }
        kernels.ps_transient(ps->peak, ps->smooth, ps->peak_diff, energies, cfg.num_par, gains);
    }

    // This slot's rows of the delay lines (the oldest entries, replaced by
    // the newest).
    const uint32_t t = ps->tick;
    PsDelayLines& z = ps->lines;
    PsLentLines& y = *ps->lent;
    int32_t(&pre)[2][50] = z.pre[t % 2];
    int32_t(&link0)[2][50] = z.link0[t % 3];
    int32_t(&link1)[2][50] = y.link1[t % 4];
    int32_t(&link2)[2][50] = y.link2[t % 5];
    int32_t(&long_row)[2][12] = z.long_delay[t % 14];
    // All-pass rows from band k.
    auto rows_from = [&](int k) {
        return PsAllpassRows{{pre[0] + k, pre[1] + k},
                             {{link0[0] + k, link0[1] + k}, {link1[0] + k, link1[1] + k}, {link2[0] + k, link2[1] + k}}};
    };
    PsMixParams mix{gains, {ps->h[0], ps->h[1], ps->h[2], ps->h[3]}, {}};
    PsMixParams mix_phase = mix;
    if (ps->par.enable_ipdopd)
        for (int j = 0; j < 4; ++j) mix_phase.hi[j] = ps->hi[j];
    // The decorrelated signal of every band (before its gain) into d: the
    // hybrid bands, then the QMF bands from nq at nh.
    kernels.ps_allpass(rows_from(0), cfg.allpass, cfg.allpass_bands, nh + ap_end, out_re, out_im, d_re, d_im);

    // The hybrid bands (all in the all-pass range and the phase bands): the
    // left channel in place, the right one aside, then summed back into
    // their QMF bands.
    {
        int32_t r_re[32], r_im[32];
        kernels.ps_mix(mix_phase, cfg.par_band, cfg.neg_phase, nh, out_re, out_im, d_re, d_im, out_re, out_im, r_re,
                       r_im);
        // The hybrid bands come in their QMF bands' order: each QMF band's
        // sums are complete before out_re/out_im[q] (q <= k) is written.
        // (Every QMF band below nq has hybrid bands: its sums start from
        // its first one's values.)
        int k = 0;
        for (int q = 0; q < nq; ++q) {
            int32_t sum0 = out_re[k], sum1 = out_im[k], sum2 = r_re[k], sum3 = r_im[k];
            for (++k; k < nh && cfg.hybrid_qmf[k] == q; ++k) {
                sum0 = fx::add_sat(sum0, out_re[k]);
                sum1 = fx::add_sat(sum1, out_im[k]);
                sum2 = fx::add_sat(sum2, r_re[k]);
                sum3 = fx::add_sat(sum3, r_im[k]);
            }
            re[q] = sum0;
            im[q] = sum1;
            out_re[q] = sum2;
            out_im[q] = sum3;
        }
    }

    const int long_begin = cfg.allpass_bands - nh, long_end = n < cfg.long_delay_end - nh ? n : cfg.long_delay_end - nh;
    const int short_begin = cfg.long_delay_end - nh;
    int32_t* const dq_re = d_re + nh;
    int32_t* const dq_im = d_im + nh;
    // A delay band's output is its row's entry, which its input replaces.
    auto delay_run = [&](int32_t* row_re, int32_t* row_im, int from, int to) {
        if (to <= from) return;
        words::copy_words(dq_re + from, row_re, to - from);
        words::copy_words(dq_im + from, row_im, to - from);
        words::copy_words(row_re, s_re + from, to - from);
        words::copy_words(row_im, s_im + from, to - from);
    };
    delay_run(long_row[0], long_row[1], long_begin, long_end);
    delay_run(y.short_delay[0], y.short_delay[1], short_begin, n);
    // The bands with phase (parameter bands below num_ipdopd) come first;
    // without phase the bands are one run.
    const uint8_t* par = cfg.par_band + nh;
    const uint8_t* neg = cfg.neg_phase + nh;
    int np = 0;
    if (mix_phase.hi[0]) {
        while (np < n && par[np] < cfg.num_ipdopd) ++np;
        kernels.ps_mix(mix_phase, par, neg, np, s_re, s_im, dq_re, dq_im, s_re, s_im, out_re + nq, out_im + nq);
    }
    kernels.ps_mix(mix, par + np, neg + np, n - np, s_re + np, s_im + np, dq_re + np, dq_im + np, s_re + np, s_im + np,
                   out_re + nq + np, out_im + nq + np);
    words::zero_words(re + top, 64 - top);
    words::zero_words(im + top, 64 - top);
    words::zero_words(out_re + top, 64 - top);
    words::zero_words(out_im + top, 64 - top);

    // The rows the next frame's first slots reach back to.
    if (l == kSlots - 1) {
        for (int r = 0; r < kPsHybridLag - 2; ++r) {
            for (int q = 0; q < kPsMaxHybridQmf; ++q) {
                ps->hist_re[r][q] = low_re[kSlots - (kPsHybridLag - 2) + r][q];
                ps->hist_im[r][q] = low_im[kSlots - (kPsHybridLag - 2) + r][q];
            }
        }
    }
    ps->tick = ps->tick + 1 == kTickPeriod ? 0 : ps->tick + 1;
}
