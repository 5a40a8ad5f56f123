#include "sbr/hfgen.h"

#include <algorithm>

#include "dsp/fixed.h"
#include "dsp/hf_filter.h"
#include "dsp/kernels.h"
#include "sbr/split_mul.h"
#include "tables/sbr_tables.h"

namespace {

constexpr int kCovBits = 26;  // covariance input bound: 38 sums of two 2^52 products stay within 2^59
constexpr int kHfBits = 30;   // X_high input bound: four 2^60 products and 2^58 stay within 2^63
// round(2^60 * (1 - 1 / (1 + 10^-6))): the determinant's regularisation,
// phi(1,1) phi(2,2) - |phi(1,2)|^2 / (1 + 10^-6), as the part of
// |phi(1,2)|^2 added back.
constexpr int64_t kDetReg = INT64_C(1152920351686);

int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

constexpr int kRow = 64;  // words a row of X_low

// The magnitudes of subbands k .. k + n - 1 over rows [from, to), ORed into
// any[0 .. n - 1].
void magnitudes(const int32_t (*re)[64], const int32_t (*im)[64], int k, int n, int from, int to, uint32_t* any) {
    kernels.sbr_hf_magnitudes(&re[from][k], &im[from][k], kRow, to - from, n, any);
}

// The bit length of the largest magnitude ORed into `any`.
int bits_of(uint32_t any) { return 32 - fx::clz32(any); }

#if defined(__arm__)
using sbr_split::mul_add;
using sbr_split::neg;
using sbr_split::split;
using sbr_split::Split;
using sbr_split::Sums;
using sbr_split::value;
#else
fx::Wide mul_add(fx::Wide acc, int64_t a, int64_t b) { return fx::add_wide(acc, fx::mul64_wide(a, b)); }
fx::Wide mul_sub(fx::Wide acc, int64_t a, int64_t b) { return fx::sub_wide(acc, fx::mul64_wide(a, b)); }
#endif

using sbr_split::divide_q28;

}  // namespace

void sbr_hf_reset(SbrHfGenState* state) { *state = SbrHfGenState{}; }

void sbr_hf_chirp(SbrHfGenState* state, const uint8_t invf[kSbrMaxNoiseBands], int n_q) {
    const int nq = clampi(n_q, 0, kSbrMaxNoiseBands);
    for (int i = 0; i < nq; ++i) {
        const int mode = invf[i] & 3, prev = state->invf[i] & 3;
        const int32_t target = sbr_new_bw[4 * mode + prev];
        const int32_t old = state->bw[i];
        const int32_t* w = target < old ? sbr_bw_smooth_down : sbr_bw_smooth_up;
        int32_t bw = fx::add_sat(fx::mul_q31(target, w[0]), fx::mul_q31(old, w[1]));
        if (bw < sbr_bw_zero_below) bw = 0;
        if (bw > sbr_bw_max) bw = sbr_bw_max;
        state->bw[i] = bw;
        state->invf[i] = static_cast<uint8_t>(mode);
    }
}

namespace {

// The block shift of a subband for its covariances, from the bit length
// of its largest magnitude over rows 0..39 (not 0): the largest brought to
// 2^25..2^26, up exactly, or down with rounding beyond 2^26. Alpha does not
// depend on the scale, and scaled up the covariances are large enough that
// the regularisation term's rounding to an integer is of no account. The
// kernel takes the shift down (cov_down); a shift up (by cov_up) is exact
// and is that of the products, so the sums are shifted up instead (by
// twice the count), the same values, and most subbands' samples go into
// the kernel as they are.
// (32-bit ARM scales up in the kernel, VQSHL, rather than shift the sums'
// 64-bit halves.)
#if defined(__arm__)
constexpr bool kSumsShifted = false;
#else
constexpr bool kSumsShifted = true;
#endif
int cov_shift(int bits) { return clampi(bits - kCovBits, -31, 31); }
int8_t cov_down(int bits) {
    return static_cast<int8_t>(bits == 0 ? 0 : kSumsShifted ? std::max(cov_shift(bits), 0) : cov_shift(bits));
}
int cov_up(int bits) { return bits && kSumsShifted ? std::max(-cov_shift(bits), 0) : 0; }

// alpha0, alpha1 from a subband's covariances phi (sbr_hf_covariances:
// phi(i, j) = sum over n = 0..37 of X(n + 2 - i) X*(n + 2 - j), with
// m = n + 2 - j its sums, exact), of its samples scaled up by 2^up.
SbrLpc lpc(const int64_t (&unscaled)[8], int up) {
    const SbrLpc zero{};
    int64_t phi[8];
    for (int i = 0; i < 8; ++i) phi[i] = up ? fx::narrow64(fx::shl_wide(unscaled[i], 2 * up)) : unscaled[i];
    const int64_t r11 = phi[0], r22 = phi[1], p12r = phi[2], p12i = phi[3];
    const int64_t p01r = phi[4], p01i = phi[5], p02r = phi[6], p02i = phi[7];
    // d = phi11 phi22 - |phi12|^2 / (1 + 1e-6), exact but for the small
    // regularisation term (relative precision 2^-40).
#if defined(__arm__)
    const Split s11 = split(r11), s12r = split(p12r), s12i = split(p12i), s01r = split(p01r), s01i = split(p01i);
    Sums es2;
    mul_add(&es2, s12r, s12r);
    mul_add(&es2, s12i, s12i);
    const fx::Wide e = value(es2);
#else
    const fx::Wide e = mul_add(fx::mul64_wide(p12r, p12r), p12i, p12i);
#endif
    const int es = fx::bitlen_wide(e) > 62 ? fx::bitlen_wide(e) - 62 : 0;
#if defined(__arm__)
    // The product by kDetReg by 32-bit words (UMULL, UMLAL): both factors
    // are non-negative, e's bits below 2^62 and the constant below 2^41, so
    // the middle sum stays below 2^63 and no sign correction is needed.
    const uint64_t en = static_cast<uint64_t>(fx::narrow64(fx::asr_wide(e, es)));
    constexpr uint64_t kRegLo = static_cast<uint32_t>(kDetReg), kRegHi = static_cast<uint64_t>(kDetReg) >> 32;
    const uint64_t p0 = (en & 0xffffffffu) * kRegLo;
    const uint64_t p1 = (en >> 32) * kRegLo + (en & 0xffffffffu) * kRegHi + (p0 >> 32);
    const fx::Wide product{(p1 << 32) | (p0 & 0xffffffffu), static_cast<int64_t>((en >> 32) * kRegHi + (p1 >> 32))};
    const fx::Wide reg = fx::asr_wide(product, 60 - es);
#else
    const fx::Wide reg = fx::asr_wide(fx::mul64_wide(fx::narrow64(fx::asr_wide(e, es)), kDetReg), 60 - es);
#endif
#if defined(__arm__)
    Sums ds{-es2.h, -es2.m, -es2.l};
    mul_add(&ds, s11, split(r22));
    const fx::Wide d = fx::add_wide(value(ds), reg);
#else
    const fx::Wide d = fx::add_wide(fx::sub_wide(fx::mul64_wide(r11, r22), e), reg);
#endif
    SbrLpc c{};
    if (!fx::is_zero(d)) {
        // alpha1 = (phi01 phi12 - phi02 phi11) / d
#if defined(__arm__)
        const Split n11 = neg(s11);
        Sums nrs, nis;
        mul_add(&nrs, s01r, s12r);
        mul_add(&nrs, neg(s01i), s12i);
        mul_add(&nrs, split(p02r), n11);
        mul_add(&nis, s01r, s12i);
        mul_add(&nis, s01i, s12r);
        mul_add(&nis, split(p02i), n11);
        const fx::Wide nr = value(nrs), ni = value(nis);
#else
        const fx::Wide nr = mul_sub(mul_sub(fx::mul64_wide(p01r, p12r), p01i, p12i), p02r, r11);
        const fx::Wide ni = mul_sub(mul_add(fx::mul64_wide(p01r, p12i), p01i, p12r), p02i, r11);
#endif
        if (!divide_q28<kSbrLpcQ>(nr, ni, d, &c.a1_re, &c.a1_im)) return zero;
    }
    if (r11 != 0) {
        // alpha0 = -(phi01 + alpha1 phi12*) / phi11
#if defined(__arm__)
        // (alpha1's parts are 32-bit: phi01 2^28 and the products with the
        // halves of phi12 in the three sums, below 2^63.)
        Sums trs{0, fx::mac64(0, s01r.h, 1 << kSbrLpcQ), fx::mac64(0, s01r.l, 1 << kSbrLpcQ)};
        Sums tis{0, fx::mac64(0, s01i.h, 1 << kSbrLpcQ), fx::mac64(0, s01i.l, 1 << kSbrLpcQ)};
        mul_add(&trs, s12r, c.a1_re);
        mul_add(&trs, s12i, c.a1_im);
        mul_add(&tis, s12r, c.a1_im);
        mul_add(&tis, s12i, fx::neg_wrap(c.a1_re));
        const fx::Wide tr = value(trs), ti = value(tis);
#else
        const fx::Wide tr = fx::add_wide(fx::add_wide(fx::shl_wide(p01r, kSbrLpcQ), fx::mul64x32_wide(p12r, c.a1_re)),
                                         fx::mul64x32_wide(p12i, c.a1_im));
        const fx::Wide ti = fx::sub_wide(fx::add_wide(fx::shl_wide(p01i, kSbrLpcQ), fx::mul64x32_wide(p12r, c.a1_im)),
                                         fx::mul64x32_wide(p12i, c.a1_re));
#endif
        if (!divide_q28<0>(tr, ti, fx::wide(r11), &c.a0_re, &c.a0_im)) return zero;
        c.a0_re = fx::neg_wrap(c.a0_re);
        c.a0_im = fx::neg_wrap(c.a0_im);
    }
    // Both zero where either reaches 4 in magnitude: |alpha|^2 >= 16 in Q56.
    const int64_t lim = INT64_C(16) << (2 * kSbrLpcQ);
    if (fx::mac64(fx::mac64(0, c.a0_re, c.a0_re), c.a0_im, c.a0_im) >= lim ||
        fx::mac64(fx::mac64(0, c.a1_re, c.a1_re), c.a1_im, c.a1_im) >= lim)
        return zero;
    return c;
}

// The subbands of patch i (its targets from k) the generator takes: it
// stops at the first source at or above kx or target at 64 (a patch that
// falls short of its count ends the walk).
int taken(const SbrFreqTables& t, int i, int k) {
    return std::min({int(t.patch_num_subbands[i]), kSbrMaxKx - t.patch_start_subband[i],
                     t.kx - t.patch_start_subband[i], 64 - k});
}

// The noise floor band of target q, from band g on (targets in order).
int noise_band(const SbrFreqTables& t, int nq, int q, int g) {
    while (g + 1 < nq && q >= t.f_noise[g + 1]) ++g;
    return g;
}

// Each patch the generator takes, in order: f(its first source, its first
// target, the subbands taken); the walk ends after a patch that falls
// short of its count.
template <class F>
void for_each_patch(const SbrFreqTables& t, F f) {
    const int patches = clampi(t.num_patches, 0, kSbrMaxPatches);
    for (int i = 0, k = clampi(t.kx, 0, 64); i < patches; ++i) {
        const int n = t.patch_num_subbands[i], m = taken(t, i, k);
        f(static_cast<int>(t.patch_start_subband[i]), k, m);
        if (n > 0 && m < n) return;
        k += n;
    }
}

}  // namespace

SbrLpc sbr_hf_lpc(const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64], int k) {
    k = clampi(k, 0, kSbrMaxKx - 1);
    uint32_t any = 0;
    magnitudes(xlow_re, xlow_im, k, 1, 0, kSbrXLowSlots, &any);
    if (any == 0) return SbrLpc{};
    const int8_t cs = cov_down(bits_of(any));
    int64_t phi[1][8];
    kernels.sbr_hf_covariances(&xlow_re[0][k], &xlow_im[0][k], kRow, kSbrXLowSlots, 1, &cs, phi);
    return lpc(phi[0], cov_up(bits_of(any)));
}

namespace {

// sbr_hf_generate, or with `kept` sbr_hf_keep.
void generate(const SbrHfGenState& state, const SbrFreqTables& t, int first_row, int end_row,
              const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64], int32_t (*xhigh_re)[64],
              int32_t (*xhigh_im)[64], SbrHfWork* work, SbrHfKept* kept) {
    if (kept) kept->filled = 0;
    const int r0 = clampi(first_row, kSbrHfAdjSlots, kSbrXLowSlots);
    const int r1 = clampi(end_row, r0, kSbrXLowSlots);
    if (r0 >= r1) return;
    const int nq = clampi(t.n_q, 1, kSbrMaxNoiseBands);
    SbrLpc* const lpcs = work->lpc;
    // The block exponents of the source subbands (all below kx: the rows
    // read stay as they are while the targets, kx and above, are written),
    // all at once, row by row: the magnitudes over the filter's rows
    // r0 - 2 .. r1 - 1 (`near`), and over all 40 rows for the prediction.
    // The sources predicted: those of a target whose chirp factor is not 0.
    const int kx = clampi(t.kx, 0, 64);
    int lo = kSbrMaxKx, hi = 0;
    uint32_t predicted = 0;  // bit p: source p is predicted
    static_assert(kSbrMaxKx <= 32, "a bit for each source");
    for_each_patch(t, [&](int p, int k, int m) {
        if (m > 0) lo = std::min(lo, p), hi = std::max(hi, p + m);
        for (int x = 0, g = 0; x < m; ++x) {
            g = noise_band(t, nq, k + x, g);
            if (state.bw[g] != 0) predicted |= UINT32_C(1) << (p + x);
        }
    });
#if defined(__arm__)
    // (32-bit ARM keeps this function's other arrays on its stack: there
    // they cost it fewer instructions, and its deepest stack is elsewhere.)
    uint32_t near[kSbrMaxKx], all[kSbrMaxKx];
#else
    uint32_t *const near = work->near, *const all = work->all;
#endif
    if (lo < hi) {
        for (int p = lo; p < hi; ++p) near[p] = 0;
        magnitudes(xlow_re, xlow_im, lo, hi - lo, r0 - 2, r1, near + lo);
        for (int p = lo; p < hi; ++p) all[p] = near[p];
        magnitudes(xlow_re, xlow_im, lo, hi - lo, 0, r0 - 2, all + lo);
        magnitudes(xlow_re, xlow_im, lo, hi - lo, r1, kSbrXLowSlots, all + lo);
    }
    // The predictions, their covariances a run of consecutive sources a
    // call (up to kSbrLpcRun).
    for (int c = 0; c < kSbrMaxKx;) {
        if (!((predicted >> c) & 1)) {
            ++c;
            continue;
        }
        int n = 1;
        while (n < kSbrLpcRun && c + n < kSbrMaxKx && ((predicted >> (c + n)) & 1)) ++n;
#if defined(__arm__)
        int8_t cs[kSbrLpcRun];
        int64_t phi[kSbrLpcRun][8];
#else
        int8_t* const cs = work->cov_shift;
        int64_t (*const phi)[8] = work->phi;
#endif
        for (int i = 0; i < n; ++i) cs[i] = cov_down(bits_of(all[c + i]));
        kernels.sbr_hf_covariances(&xlow_re[0][c], &xlow_im[0][c], kRow, kSbrXLowSlots, n, cs, phi);
        for (int i = 0; i < n; ++i)
            lpcs[c + i] = all[c + i] ? lpc(phi[i], cov_up(bits_of(all[c + i]))) : SbrLpc{};
        c += n;
    }
    // Each patch's subbands filtered together, each with its own
    // coefficients and shift (by the subband's place in the patch; a
    // patch's sources lie below kSbrMaxKx).
    static_assert(kHfCoefRow >= kSbrMaxKx, "a row of coefficients for each subband of a patch");
    for_each_patch(t, [&](int start, int k, int m) {
#if defined(__arm__)
        int32_t coef_room[4][kHfCoefRow];
        uint8_t shift_room[kHfCoefRow];
#else
        int32_t (*const coef_room)[kHfCoefRow] = work->coef;
        uint8_t* const shift_room = work->shift;
#endif
        // (Kept: each target in its own column, k - kx on.)
        int32_t* const coef = kept ? &kept->coef[0][k - kx] : coef_room[0];
        uint8_t* const shift = kept ? &kept->shift[k - kx] : shift_room;
        for (int x = 0, g = 0; x < m; ++x) {
            const int p = start + x;
            g = noise_band(t, nq, k + x, g);  // as above: bw != 0 where p is predicted
            const int32_t bw = state.bw[g];
            SbrLpc a{};
            if (bw != 0) {
                const int32_t bw2 = fx::mul_q31(bw, bw);
                a = {fx::mul_q31(bw, lpcs[p].a0_re), fx::mul_q31(bw, lpcs[p].a0_im),
                     fx::mul_q31(bw2, lpcs[p].a1_re), fx::mul_q31(bw2, lpcs[p].a1_im)};
            }
            coef[x] = a.a0_re, coef[x + kHfCoefRow] = a.a0_im;
            coef[x + 2 * kHfCoefRow] = a.a1_re, coef[x + 3 * kHfCoefRow] = a.a1_im;
            shift[x] = static_cast<uint8_t>(clampi(bits_of(near[p]) - kHfBits, 0, 31));
        }
        if (kept && m > 0) kept->filled = k + m - kx;
        else if (m > 0)
            kernels.sbr_hf_filter(&xlow_re[r0][start], &xlow_im[r0][start], &xhigh_re[r0][k], &xhigh_im[r0][k], kRow,
                                  r1 - r0, m, coef, shift);
    });
}

}  // namespace

void sbr_hf_generate(const SbrHfGenState& state, const SbrFreqTables& t, int first_row, int end_row,
                     const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64],
                     int32_t (*xhigh_re)[64], int32_t (*xhigh_im)[64], SbrHfWork* work) {
    generate(state, t, first_row, end_row, xlow_re, xlow_im, xhigh_re, xhigh_im, work, nullptr);
}

void sbr_hf_keep(const SbrHfGenState& state, const SbrFreqTables& t, int first_row, int end_row,
                 const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64], SbrHfWork* work, SbrHfKept* kept) {
    generate(state, t, first_row, end_row, xlow_re, xlow_im, nullptr, nullptr, work, kept);
}

void sbr_hf_rows(const SbrHfKept& kept, const SbrFreqTables& t, int r, int rows, const int32_t (*xlow_re)[64],
                 const int32_t (*xlow_im)[64], int32_t* y_re, int32_t* y_im) {
    const int kx = clampi(t.kx, 0, 64);
    for_each_patch(t, [&](int start, int k, int m) {
        if (m > 0)
            kernels.sbr_hf_filter(&xlow_re[r][start], &xlow_im[r][start], y_re + k, y_im + k, kRow, rows, m,
                                  &kept.coef[0][k - kx], &kept.shift[k - kx]);
    });
}
