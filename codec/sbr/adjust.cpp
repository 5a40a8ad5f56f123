#include "sbr/adjust.h"

#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/words.h"
#include "tables/sbr_tables.h"

static_assert(sizeof(SbrAdjustState) == 784, "adjuster state size as documented");

namespace {

constexpr int kFrac = 24;                     // log2 values are Q24
constexpr int32_t kOne = INT32_C(1) << kFrac;
constexpr int32_t kLogEps = 8 * kOne;         // log2(EPS): 1 in the standard's units, 256 here
constexpr int32_t kLogEps0 = -534574734;      // log2(EPS0): 1e-12 in the standard's units, x 256
constexpr int kSumBits = adjuster::kSumBits;  // terms of a sum of energies: Q56, each <= 1

using Lin = SbrLin;

using adjuster::exp2_q24;
using adjuster::log2_u64;

using adjuster::term_q56;

uint64_t term_q56(int32_t d) { return d <= -kSumBits * kOne ? 0 : term_q56(d, exp2_q24(d)); }

// Gains g for samples 2^scale times their value: g itself for scale 0,
// else into `out`.
[[gnu::noinline]] const Lin* scaled_gains(const Lin* g, int n, int scale, Lin* out) {
    if (!scale) return g;
    for (int m = 0; m < n; ++m) out[m] = {g[m].m, g[m].e - scale};
    return out;
}

// A weighted sum of up to three values, weights Q31 (their sum <= 2^31).
Lin weighted(const Lin* v, const int64_t* w, int n) {
    int32_t emax = INT32_MIN;
    for (int i = 0; i < n; ++i)
        if (w[i] && v[i].e > emax) emax = v[i].e;
    if (emax == INT32_MIN) return Lin{INT32_C(1) << 30, -200};
    uint64_t sum = 0;
    for (int i = 0; i < n; ++i) {
        if (!w[i]) continue;
        const int d = emax - v[i].e;
        const uint64_t p = static_cast<uint64_t>(fx::mac64(0, v[i].m, static_cast<int32_t>(w[i])));
        if (d < 64) sum += fx::lsr64(p, d);
    }
    if (sum == 0) return Lin{INT32_C(1) << 30, -200};
    const int bits = 64 - fx::clz64(sum);
    // sum * 2^(emax - 61) = m 2^(e - 30).
    return Lin{static_cast<int32_t>(fx::lsr64(sum, bits - 31)), emax + bits - 62};
}

// A level from its squared value's log2: sqrt, then mantissa and exponent.
Lin amplitude(int32_t log_energy) { return exp2_q24(fx::rshr(log_energy, 1)); }

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }
int32_t max32(int32_t a, int32_t b) { return a > b ? a : b; }

bool valid(const SbrFreqTables& t, const SbrGrid& g) {
    if (t.kx < 0 || t.m < 1 || t.m > kSbrMaxSubbands || t.kx + t.m > 64) return false;
    if (t.n_high < 1 || t.n_high > kSbrMaxMasterBands || t.n_low < 1 || t.n_low > kSbrMaxLowBands) return false;
    if (t.n_q < 1 || t.n_q > kSbrMaxNoiseBands || t.n_lim < 1 || t.n_lim > kSbrMaxLimiterBands) return false;
    if (g.num_env < 1 || g.num_env > kSbrMaxEnvelopes || g.num_noise < 1 || g.num_noise > kSbrMaxNoiseEnvelopes)
        return false;
    for (int l = 0; l < g.num_env; ++l)
        if (g.t_env[l] >= g.t_env[l + 1]) return false;
    // Limiter bands in order, none overlapping: every band's sums are taken
    // before any band's gains change.
    for (int k = 0; k < t.n_lim; ++k)
        if (t.f_lim[k] > t.f_lim[k + 1]) return false;
    return kSbrRate * g.t_env[g.num_env] + kSbrHfAdjSlots <= kSbrAdjRows;
}

// Bands of a table clipped to the SBR range: band i covers subbands
// lo(i) .. hi(i) - 1 relative to kx, inside 0 .. M (borders taken once a
// frame by clip_borders).
struct Bands {
    const uint8_t* b;
    int n;
    int lo(int i) const { return b[i]; }
    int hi(int i) const { return b[i + 1]; }
};

// The n + 1 borders of a table relative to kx, held to 0 .. M (n within
// the room, as valid() has checked).
template <int kRoom>
Bands clip_borders(const uint8_t* f, int n, int kx, int m, uint8_t (&out)[kRoom]) {
    for (int i = 0; i <= n && i < kRoom; ++i) out[i] = static_cast<uint8_t>(min32(max32(f[i] - kx, 0), m));
    return Bands{out, n};
}

// Bit m of a subband mask (most masks are 0: tested first, as a 64-bit
// shift by a variable count is several instructions on 32-bit ARM); the
// lowest bit set of a mask not 0.
bool bit(uint64_t mask, int m) { return mask && ((mask >> m) & 1); }
int lowest_bit(uint64_t mask) { return 63 - fx::clz64(mask & (~mask + 1)); }

// log2(2^a + 2^b).
[[gnu::always_inline]] inline int32_t log_add(int32_t a, int32_t b) {
    const int32_t hi = max32(a, b);
    const uint64_t sum = term_q56(0) + term_q56(fx::sub_sat(min32(a, b), hi));
    return fx::add_sat(hi, log2_u64(sum) - kSumBits * kOne);
}

// Sums of energies in the log2 domain, one per limiter band: out[k] = log2
// of the sum of 2^v over the values `values(lo, hi, add)` adds for the
// band's subbands lo .. hi - 1, and EPS0. Each value goes in as its
// difference from the band's largest, runs of equal differences once with
// their count (the subbands of an envelope band share its level: values
// that may be equal are best added one after the other; the sums are the
// same in any order), those below 2^-56 not at all; the differences'
// powers of 2 are taken by the kernel a batch of 48 at a time, and the
// logarithms of all the bands' sums in one call. Room: d and t for 48
// values, sums for the bands.
template <class Values>
void band_log_sums(const Bands& lim, int32_t* d, Lin* t, uint64_t* sums, int32_t* out, Values values) {
    constexpr int kBatch = kSbrMaxSubbands;
    uint8_t count[kBatch], owner[kBatch];  // (at most 97 values a band)
    int n = 0;
    int32_t last = 1;  // the difference last listed, or 1 (none: differences are <= 0)
    const auto flush = [&] {
        kernels.sbr_exp2(d, n, t);
        kernels.sbr_add_terms(t, count, owner, n, sums);
        n = 0;
        last = 1;
    };
    for (int k = 0; k < lim.n; ++k) {
        const int lo = lim.lo(k), hi = lim.hi(k);
        int32_t top = kLogEps0;
        values(lo, hi, [&](int32_t v) { top = max32(top, v); });
        out[k] = top;
        sums[k] = 0;
        last = 1;
        const auto add = [&](int32_t v) {
            const int32_t dv = fx::sub_sat(v, top);
            if (dv == last) {
                ++count[n - 1];
                return;
            }
            if (dv <= -kSumBits * kOne) return;
            if (n == kBatch) flush();
            d[n] = dv, count[n] = 1, owner[n++] = static_cast<uint8_t>(k);
            last = dv;
        };
        add(kLogEps0);
        values(lo, hi, add);
    }
    if (n) flush();
    int32_t* const logs = d;  // (spent)
    kernels.sbr_log2(sums, lim.n, logs);
    for (int k = 0; k < lim.n; ++k) out[k] = fx::add_sat(out[k], logs[k] - kSumBits * kOne);
}

}  // namespace

void sbr_adjust_reset(SbrAdjustState* state) { *state = SbrAdjustState{}; }

bool sbr_adjust_valid(const SbrFreqTables& tables, const SbrGrid& grid) { return valid(tables, grid); }

namespace {

// The weights of the current value, the history's b and its a in slot j
// of an envelope's first 4, smoothed (lags up to `newest` take b, those
// beyond a); true where they mix the current value with the history's.
bool slot_weights(int j, int newest, int64_t (&w)[3]) {
    w[0] = w[1] = w[2] = 0;
    for (int lag = 0; lag <= 4; ++lag) w[lag <= j ? 0 : lag - j <= newest ? 1 : 2] += sbr_h_smooth[lag];
    return w[0] != 0 && (w[1] != 0 || w[2] != 0);
}

// Such a slot's gains (scaled as applied to X_high at 2^x_scale times its
// value) and noise levels (silent where a sinusoid is) into sl.g, sl.q.
void slot_mix(const int64_t (&w)[3], int m_sbr, uint64_t s_index, int x_scale, const Lin* g, const Lin* gb,
              const Lin* ga, const Lin* q, const Lin* qb, const Lin* qa, SbrAdjustWork::Slots& sl) {
    for (int m = 0; m < m_sbr; ++m) {
        const Lin gv[3] = {g[m], gb[m], ga[m]}, qv[3] = {q[m], qb[m], qa[m]};
        const Lin gm = weighted(gv, w, 3);
        sl.g[m] = {gm.m, gm.e - x_scale};
        sl.q[m] = bit(s_index, m) ? adjuster::kSilentNoise : weighted(qv, w, 3);
    }
}

// The sinusoids of a row (subbands from kx on at yr, yi): the slot's phase,
// then the next slot's.
void add_sines(int32_t* yr, int32_t* yi, SbrAdjustState* st, const int* sines, int num_sines, const Lin* s, int kx) {
    const int32_t phi_re = sbr_phi_re[st->sine_index], phi_im = sbr_phi_im[st->sine_index];
    st->sine_index = static_cast<uint8_t>((st->sine_index + 1) & 3);
    for (int i = 0; i < num_sines; ++i) {
        const int m = sines[i];
        const int32_t sign = ((kx + m) & 1) ? -1 : 1;
        yr[m] = fx::add_sat(yr[m], fx::mul_shift_sat(s[m].m, phi_re, 30 - s[m].e));
        yi[m] = fx::add_sat(yi[m], fx::mul_shift_sat(s[m].m, sign * phi_im, 30 - s[m].e));
    }
}

// The sums of squares of subbands kx .. kx + count - 1 over rows [row0,
// row1) made a batch at a time, each value shifted down by `shift` first.
void row_squares(const SbrAdjustRows& rows, int row0, int row1, int kx, int count, int shift, uint64_t* energy) {
    for (int i = 0; i < count; ++i) energy[i] = 0;
    for (int r = row0; r < row1; r += rows.batch) {
        const int n = row1 - r < rows.batch ? row1 - r : rows.batch;
        rows.make(rows.ctx, r, n);
        for (int k = 0; k < n; ++k) {
            const int32_t* const re = rows.re + 64 * k + kx;
            const int32_t* const im = rows.im + 64 * k + kx;
            for (int i = 0; i < count; ++i) {
                const int32_t a = fx::asr(re[i], shift), b = fx::asr(im[i], shift);
                energy[i] = static_cast<uint64_t>(fx::mac64(fx::mac64(static_cast<int64_t>(energy[i]), a, a), b, b));
            }
        }
    }
}

// The energies of the rows made, as kernels.sbr_energies gives them from a
// matrix: the sums of squares as they are, or, where the rows' largest
// magnitude calls for a shift, the rows made again and the sums of the
// shifted values. The kernel takes each batch: where none calls for a shift
// (most envelopes), the batches' sums are the sums, and the shift is the
// largest a batch's called for (the shift follows the largest magnitude).
[[gnu::noinline]] int row_energies(const SbrAdjustRows& rows, int row0, int row1, int kx, int count,
                                   uint64_t* energy) {
    uint64_t batch[kSbrMaxSubbands];
    int shift = 0;
    for (int r = row0; r < row1; r += rows.batch) {
        const int n = row1 - r < rows.batch ? row1 - r : rows.batch;
        rows.make(rows.ctx, r, n);
        const bool first = r == row0;
        const int s = kernels.sbr_energies(rows.re + kx, rows.im + kx, n, count, first ? energy : batch);
        if (s > shift) shift = s;
        if (!first)
            for (int i = 0; i < count; ++i) energy[i] += batch[i];
    }
    if (shift) row_squares(rows, row0, row1, kx, count, shift, energy);
    return shift;
}

// (One body for both, the rows' way taken at two places an envelope: the
// adjuster is the largest function of the decoder.)
[[gnu::noinline]] bool adjust(SbrAdjustState* st, const SbrHeader& header, const SbrFreqTables& t,
                              const SbrChannelFrame& frame, const SbrDequant& levels, int32_t (*x_re)[64],
                              int32_t (*x_im)[64], const SbrAdjustRows* rows, bool reset, SbrAdjustWork* work,
                              SbrAdjustHistory* history, int x_scale) {
    const SbrGrid& grid = frame.grid;
    if (!valid(t, grid)) return false;
    const int kx = t.kx, m_sbr = t.m, num_env = grid.num_env;
    const int l_a = grid.l_a;
    const int l_a_prev = st->l_a_prev_zero ? 0 : -1;
    const int h_sl = sbr_h_sl[header.smoothing_mode & 1];
    const int32_t lim_gain = sbr_lim_gain_log2[header.limiter_gains & 3];
    const Bands high = clip_borders(t.f_high, t.n_high, kx, m_sbr, work->border_high);
    const Bands low = clip_borders(t.f_low, t.n_low, kx, m_sbr, work->border_low);
    const Bands noise = clip_borders(t.f_noise, t.n_q, kx, m_sbr, work->border_noise);
    const Bands lim = clip_borders(t.f_lim, t.n_lim, kx, m_sbr, work->border_lim);
    // The sinusoids' subbands (m - kx) flagged in the frame's f_high bands:
    // the middle subband of each.
    uint64_t harmonics = 0;
    for (int i = 0; i < t.n_high; ++i) {
        if (!frame.add_harmonic[i]) continue;
        const int k = (t.f_high[i] + t.f_high[i + 1]) >> 1;
        if (k >= kx && k < kx + m_sbr) harmonics |= UINT64_C(1) << (k - kx);
    }
    if (reset) st->sine_prev = 0;

    // Smoothing history, linear: the older (a) and newer (b) value per subband.
    Lin *const ga = history->ga, *const gb = history->gb, *const qa = history->qa, *const qb = history->qb;
    // The previous frame's history is taken to the linear domain when first
    // read (a smoothed slot, or the copy of b to a after a short first
    // envelope), which many frames never do; from the first envelope's end
    // on, it holds that envelope's values.
    int newest = reset ? 0 : st->newest_slots;
    bool linear = newest == 0;
    const auto history_linear = [&] {
        if (linear) return;
        kernels.sbr_exp2(st->g_a, m_sbr, ga);
        kernels.sbr_exp2(st->g_b, m_sbr, gb);
        kernels.sbr_exp2(st->q_a, m_sbr, qa);
        kernels.sbr_exp2(st->q_b, m_sbr, qb);
        linear = true;
    };
    uint64_t sine_last = 0;

    for (int l = 0; l < num_env; ++l) {
        const Bands& res = grid.freq_res[l] ? high : low;
        const int env_band_count = grid.freq_res[l] ? t.n_high : t.n_low;
        const int row0 = kSbrRate * grid.t_env[l] + kSbrHfAdjSlots;
        const int row1 = kSbrRate * grid.t_env[l + 1] + kSbrHfAdjSlots;
        const bool transient = l == l_a || l == l_a_prev;  // delta(l) = 0

        // Current energies: 64-bit sums of squares of the samples shifted
        // to 24 bits or fewer.
        SbrAdjustWork::Levels& lv = work->level;
        uint64_t* const energy = lv.energy;
        const int shift = rows ? row_energies(*rows, row0, row1, kx, m_sbr, energy)
                               : kernels.sbr_energies(&x_re[row0][kx], &x_im[row0][kx], row1 - row0, m_sbr, energy);
        // log2 E_curr per subband (of its band when not interpolating), and
        // whether it is 0 (bit m of e_zero).
        int32_t* const e_curr = lv.e_curr;
        uint64_t e_zero = 0;
        // (E_curr at its value: X_high is 2^x_scale times it.)
        const int32_t log_scale = fx::shl_wrap(2 * (shift - x_scale), kFrac);
        const int32_t log_slots = log2_u64(static_cast<uint64_t>(row1 - row0));
        words::zero_words(e_curr, m_sbr);
        if (header.interpol_freq) {
            // (e_orig, filled below, holds the logarithms meanwhile.)
            int32_t* const log_energy = lv.e_orig;
            kernels.sbr_log2(energy, m_sbr, log_energy);
            for (int i = 0; i < env_band_count; ++i)
                for (int m = res.lo(i), hi = res.hi(i); m < hi; ++m) {
                    if (energy[m] == 0) e_zero |= UINT64_C(1) << m;
                    e_curr[m] = energy[m] == 0 ? 0 : log_energy[m] + log_scale - log_slots;
                }
        } else {
            for (int i = 0; i < env_band_count; ++i) {
                const int lo = res.lo(i), hi = res.hi(i);
                if (hi <= lo) continue;
                uint64_t sum = 0;
                for (int m = lo; m < hi; ++m) sum += energy[m];
                const int32_t e = sum ? log2_u64(sum) + log_scale -
                                            log2_u64(static_cast<uint64_t>((row1 - row0) * (hi - lo)))
                                      : 0;
                for (int m = lo; m < hi; ++m) e_curr[m] = e;
                if (sum == 0) e_zero |= ((UINT64_C(1) << (hi - lo)) - 1) << lo;
            }
        }

        // E_orig, Q_orig mapped to subbands; the noise floor whose time
        // segment holds the envelope.
        const int qe = grid.num_noise > 1 && grid.t_env[l] >= grid.t_noise[1] ? 1 : 0;
        int32_t *const e_orig = lv.e_orig, *const q_orig = lv.q_orig;
        words::zero_words(e_orig, m_sbr);
        words::zero_words(q_orig, m_sbr);
        // (Each band's bounds and level taken once: the stores could alias
        // the tables for all the compiler knows.)
        for (int i = 0; i < env_band_count; ++i) {
            const int32_t e = fx::shl_sat(levels.env_log2[l][i], 8);
            for (int m = res.lo(i), hi = res.hi(i); m < hi; ++m) e_orig[m] = e;
        }
        for (int i = 0; i < t.n_q; ++i) {
            const int32_t q = fx::shl_sat(levels.noise_log2[qe][i], 8);
            for (int m = noise.lo(i), hi = noise.hi(i); m < hi; ++m) q_orig[m] = q;
        }

        // Sinusoids (bit m of s_index): in the middle subband of each f_high
        // band flagged, from l_A on, or from the start when the previous
        // frame ended with it; s_mapped: the subbands of the envelope's
        // bands that hold one.
        const uint64_t s_index = l >= l_a ? harmonics : harmonics & (st->sine_prev >> kx);
        uint64_t s_mapped = 0;
        if (s_index)
            for (int i = 0; i < env_band_count; ++i) {
                const int lo = res.lo(i), hi = res.hi(i);
                if (hi <= lo) continue;
                const uint64_t band = ((UINT64_C(1) << (hi - lo)) - 1) << lo;
                if (s_index & band) s_mapped |= band;
            }
        if (l == num_env - 1) sine_last = s_index << kx;

        // log2(EPS + E_curr) for each run of subbands that share E_curr,
        // as log_add takes it: the sum of 2^56 and the smaller term's
        // 2^(56 - difference), whose logarithms are taken together.
        // (The arrays filled with the amplitudes below hold them meanwhile.)
        uint64_t* const sums = energy;  // (spent)
        int32_t *const sum_log = work->g_log, *const diff = work->q_log;
        Lin* const diff_exp = work->g;
        int runs = 0;
        {
            int32_t e_last = 0;
            for (int m = 0; m < m_sbr; ++m) {
                if (bit(e_zero, m) || (runs && e_curr[m] == e_last)) continue;
                e_last = e_curr[m];
                diff[runs++] = fx::sub_sat(min32(kLogEps, e_last), max32(kLogEps, e_last));
            }
            kernels.sbr_exp2(diff, runs, diff_exp);
            for (int k = 0; k < runs; ++k) sums[k] = (UINT64_C(1) << kSumBits) + term_q56(diff[k], diff_exp[k]);
            kernels.sbr_log2(sums, runs, sum_log);
        }

        // Gains, noise and sinusoid levels, squared, log2 Q24.
        int32_t *const g2 = lv.g2, *const q2 = lv.q2, *const s2 = lv.s2;
        // (Neighbouring subbands mostly share their levels: each sum is
        // taken again only when its operand changes.)
        int32_t q_last = 0, q1 = log_add(0, 0), e_last = 0, e1_last = 0;
        for (int m = 0, run = 0; m < m_sbr; ++m) {
            if (q_orig[m] != q_last) q_last = q_orig[m], q1 = log_add(0, q_last);  // 1 + Q
            const bool zero = bit(e_zero, m);
            if (!zero && (run == 0 || e_curr[m] != e_last)) {
                e_last = e_curr[m];
                e1_last = fx::add_sat(max32(kLogEps, e_last), sum_log[run++] - kSumBits * kOne);
            }
            const int32_t e1 = zero ? kLogEps : e1_last;
            const int32_t base = fx::sub_sat(e_orig[m], e1);
            if (bit(s_mapped, m))
                g2[m] = fx::add_sat(base, q_orig[m] - q1);
            else
                g2[m] = transient ? base : fx::sub_sat(base, q1);
            q2[m] = fx::add_sat(e_orig[m], q_orig[m] - q1);
            s2[m] = fx::sub_sat(e_orig[m], q1);
        }

        // Limiter and compensation, per limiter band: the sums of the
        // original and current energies, the gains limited, then the sum of
        // the output's energies and the boost. (Room: the arrays filled with
        // the amplitudes below.)
        int32_t *const sum_orig = work->g_log, *const d_room = work->q_log;
        int32_t sum_band[kSbrMaxLimiterBands];  // E_curr's, then the output's
        Lin* const t_room = work->g;
        band_log_sums(lim, d_room, t_room, sums, sum_orig, [&](int lo, int hi, auto add) {
            for (int m = lo; m < hi; ++m) add(e_orig[m]);
        });
        band_log_sums(lim, d_room, t_room, sums, sum_band, [&](int lo, int hi, auto add) {
            for (int m = lo; m < hi; ++m)
                if (!bit(e_zero, m)) add(e_curr[m]);
        });
        for (int k = 0; k < t.n_lim; ++k) {
            const int32_t g_max = min32(fx::add_sat(fx::sub_sat(sum_orig[k], sum_band[k]), lim_gain),
                                        sbr_gain_max_limit_log2);
            for (int m = lim.lo(k), hi = lim.hi(k); m < hi; ++m)
                if (g2[m] > g_max) {
                    q2[m] = fx::add_sat(q2[m], g_max - g2[m]);
                    g2[m] = g_max;
                }
        }
        // (The noise levels, mostly shared by neighbouring subbands, after
        // the gains' energies.)
        band_log_sums(lim, d_room, t_room, sums, sum_band, [&](int lo, int hi, auto add) {
            for (int m = lo; m < hi; ++m)
                if (!bit(e_zero, m)) add(fx::add_sat(e_curr[m], g2[m]));
            for (int m = lo; m < hi; ++m)
                if (bit(s_index, m))
                    add(s2[m]);
                else if (!transient)
                    add(q2[m]);
        });
        for (int k = 0; k < t.n_lim; ++k) {
            const int32_t boost = min32(fx::sub_sat(sum_orig[k], sum_band[k]), sbr_gain_boost_max_log2);
            for (int m = lim.lo(k), hi = lim.hi(k); m < hi; ++m) {
                g2[m] = fx::add_sat(g2[m], boost);
                q2[m] = fx::add_sat(q2[m], boost);
                s2[m] = fx::add_sat(s2[m], boost);
            }
        }

        // Amplitudes; the history starts from them after a reset.
        Lin *const g = work->g, *const q = work->q, *const s = work->s;
        int32_t *const g_log = work->g_log, *const q_log = work->q_log;
        for (int m = 0; m < m_sbr; ++m) {
            g_log[m] = fx::rshr(g2[m], 1);
            q_log[m] = fx::rshr(q2[m], 1);
        }
        // The subbands with a sinusoid, listed once, and their amplitudes
        // (read only there).
        int sines[kSbrMaxSubbands];
        int num_sines = 0;
        for (uint64_t left = s_index; left; left &= left - 1) {
            const int m = lowest_bit(left);
            s[m] = amplitude(s2[m]);
            sines[num_sines++] = m;
        }
        kernels.sbr_exp2(g_log, m_sbr, g);
        kernels.sbr_exp2(q_log, m_sbr, q);
        if (!newest) {
            for (int m = 0; m < m_sbr; ++m) {
                ga[m] = gb[m] = g[m];
                qa[m] = qb[m] = q[m];
                st->g_a[m] = st->g_b[m] = g_log[m];
                st->q_a[m] = st->q_b[m] = q_log[m];
            }
            newest = 4;
        }

        // Y, slot by slot. In the first 4 slots of an envelope the smoothed
        // values mix the current one with the history's b (lags up to
        // `newest`) and a (lags beyond); the other slots take the current
        // ones, all in one run. Subbands with a sinusoid take no noise: their
        // noise level is silenced (a shift beyond 62), and the sinusoid is
        // added afterwards. A transient envelope (this frame's l_A, or the
        // first one when the previous frame's l_A was its last) takes its
        // own gains and noise levels unsmoothed.
        const bool smooth = h_sl != 0 && !transient;
        SbrAdjustWork::Slots& sl = work->slot;  // (the levels' arrays are spent)
        const Lin* q_plain = q;
        if (s_index && !transient) {
            for (int m = 0; m < m_sbr; ++m) sl.q_plain[m] = q[m];
            for (int i = 0; i < num_sines; ++i) sl.q_plain[sines[i]] = adjuster::kSilentNoise;
            q_plain = sl.q_plain;
        }
        // The gains as applied, to X_high at 2^x_scale times its value (the
        // smoothed slots' scaled as they are weighted).
        const Lin* const g_at = scaled_gains(g, m_sbr, x_scale, sl.g_applied);
        int noise_index = st->noise_index;
        if (rows) {
            // A batch of rows made at a time; the smoothed slots' gains and
            // noise one slot at a time, the others' a call.
            for (int r = row0; r < row1;) {
                const int n = row1 - r < rows->batch ? row1 - r : rows->batch;
                rows->make(rows->ctx, r, n);
                int k = 0;
                for (; k < n && smooth && r + k - row0 < 4; ++k) {
                    const Lin *gf = g_at, *qf = q_plain;
                    int64_t w[3];
                    if (slot_weights(r + k - row0, newest, w)) {
                        history_linear();
                        slot_mix(w, m_sbr, s_index, x_scale, g, gb, ga, q, qb, qa, sl);
                        gf = sl.g, qf = sl.q;
                    }
                    kernels.sbr_apply(rows->re + 64 * k + kx, rows->im + 64 * k + kx, 1, m_sbr, gf,
                                      transient ? nullptr : qf, noise_index);
                    noise_index = (noise_index + m_sbr) & 511;
                }
                if (k < n) {
                    kernels.sbr_apply(rows->re + 64 * k + kx, rows->im + 64 * k + kx, n - k, m_sbr, g_at,
                                      transient ? nullptr : q_plain, noise_index);
                    noise_index = (noise_index + (n - k) * m_sbr) & 511;
                }
                for (k = 0; k < n && num_sines; ++k)
                    add_sines(rows->re + 64 * k + kx, rows->im + 64 * k + kx, st, sines, num_sines, s, kx);
                rows->done(rows->ctx, r, n);
                r += n;
            }
        } else {
            int r = row0;
            for (; r < row1 && smooth && r - row0 < 4; ++r) {
                const Lin *gf = g_at, *qf = q_plain;
                int64_t w[3];
                if (slot_weights(r - row0, newest, w)) {
                    history_linear();
                    slot_mix(w, m_sbr, s_index, x_scale, g, gb, ga, q, qb, qa, sl);
                    gf = sl.g, qf = sl.q;
                }
                kernels.sbr_apply(&x_re[r][kx], &x_im[r][kx], 1, m_sbr, gf, transient ? nullptr : qf, noise_index);
                noise_index = (noise_index + m_sbr) & 511;
            }
            if (r < row1) {
                kernels.sbr_apply(&x_re[r][kx], &x_im[r][kx], row1 - r, m_sbr, g_at, transient ? nullptr : q_plain,
                                  noise_index);
                noise_index = (noise_index + (row1 - r) * m_sbr) & 511;
            }
            for (r = row0; r < row1 && num_sines; ++r)
                add_sines(&x_re[r][kx], &x_im[r][kx], st, sines, num_sines, s, kx);
        }
        if (!num_sines) st->sine_index = static_cast<uint8_t>((st->sine_index + row1 - row0) & 3);
        st->noise_index = static_cast<uint16_t>(noise_index);

        // History for what follows: this envelope is the newest value; the
        // previous newest stays as the older one when this envelope is
        // shorter than 4 slots.
        const int slots = row1 - row0;
        if (slots < 4) history_linear();
        linear = true;
        for (int m = 0; m < m_sbr; ++m) {
            if (slots < 4) {
                ga[m] = gb[m];
                qa[m] = qb[m];
                st->g_a[m] = st->g_b[m];
                st->q_a[m] = st->q_b[m];
            }
            gb[m] = g[m];
            qb[m] = q[m];
            st->g_b[m] = g_log[m];
            st->q_b[m] = q_log[m];
        }
        newest = slots < 4 ? slots : 4;
    }
    st->newest_slots = static_cast<uint8_t>(newest);
    st->sine_prev = sine_last;
    st->l_a_prev_zero = l_a == num_env ? 1 : 0;
    return true;
}

}  // namespace

bool sbr_adjust(SbrAdjustState* st, const SbrHeader& header, const SbrFreqTables& t, const SbrChannelFrame& frame,
                const SbrDequant& levels, int32_t (*x_re)[64], int32_t (*x_im)[64], bool reset,
                SbrAdjustWork* work, SbrAdjustHistory* history, int x_scale) {
    return adjust(st, header, t, frame, levels, x_re, x_im, nullptr, reset, work, history, x_scale);
}

bool sbr_adjust_rows(SbrAdjustState* st, const SbrHeader& header, const SbrFreqTables& t,
                     const SbrChannelFrame& frame, const SbrDequant& levels, const SbrAdjustRows& rows, bool reset,
                     SbrAdjustWork* work, SbrAdjustHistory* history, int x_scale) {
    return adjust(st, header, t, frame, levels, nullptr, nullptr, &rows, reset, work, history, x_scale);
}
