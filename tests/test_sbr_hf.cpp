// SBR dequantization and HF generation against long-double formulas: every
// quantized value (coupled too); the LPC on noise, tones, resonances and
// silence from quiet to beyond full scale; the chirp factors over random
// bs_invf_mode sequences; X_high for every patch layout of a few headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <utility>
#include <vector>

#include "dsp/fixed.h"
#include "sbr/dequant.h"
#include "sbr/hfgen.h"
#include "sbr/split_mul.h"
#include "tables/sbr_tables.h"

namespace {

using R = long double;
using C = std::complex<R>;

// ---- dequantization ----

TEST(SbrDequant, Log2OnePlusExp2) {
    for (int h = -400; h <= 400; ++h)
        EXPECT_NEAR(sbr_log2_1p_exp2_half(h), 65536 * std::log2(1 + std::exp2(R(h) / 2)), 0.5) << h;
}

TEST(SbrDequant, EveryValue) {
    SbrFreqTables t{};
    t.n_high = 1, t.n_low = 1, t.n_q = 1;
    SbrChannelFrame lv{}, bal{};
    lv.grid.num_env = 1, lv.grid.num_noise = 1, lv.grid.freq_res[0] = 1;
    SbrDequant out{};
    for (int amp_res = 0; amp_res < 2; ++amp_res) {
        lv.amp_res = static_cast<uint8_t>(amp_res);
        const R a = amp_res ? 1 : 2, pan = amp_res ? 12 : 24;
        for (int v1 = -128; v1 < 128; ++v1) {
            lv.env[0][0] = static_cast<int8_t>(v1);
            lv.noise[0][0] = static_cast<int8_t>(v1);
            sbr_dequantize(lv, nullptr, 0, t, &out);
            // E_orig = 64 2^(E/a), times 256 for our sample scale; Q_orig = 2^(6 - Q).
            ASSERT_EQ(out.env_log2[0][0], std::lround(65536 * (std::log2(R(64 * 256)) + v1 / a)));
            ASSERT_EQ(out.noise_log2[0][0], (6 - v1) * 65536);
            for (int v2 = -128; v2 < 128; ++v2) {
                bal.env[0][0] = static_cast<int8_t>(v2);
                bal.noise[0][0] = static_cast<int8_t>(v2);
                for (int which = 0; which < 2; ++which) {
                    sbr_dequantize(lv, &bal, which, t, &out);
                    const R s = which ? -1 : 1;
                    const R e = 64 * 256 * std::exp2(v1 / a + 1) / (1 + std::exp2(s * (pan - v2) / a));
                    const R q = std::exp2(R(6 - v1 + 1)) / (1 + std::exp2(s * (12 - v2)));
                    const R de = out.env_log2[0][0] - 65536 * std::log2(e);
                    const R dq = out.noise_log2[0][0] - 65536 * std::log2(q);
                    ASSERT_LE(std::fabs(de), 0.5001) << amp_res << ' ' << v1 << ' ' << v2 << ' ' << which;
                    ASSERT_LE(std::fabs(dq), 0.5001) << amp_res << ' ' << v1 << ' ' << v2 << ' ' << which;
                }
            }
        }
    }
}

// ---- HF generator ----

// The 128-bit primitives the LPC is built on, against the compiler's.
TEST(SbrHfGen, WidePrimitives) {
#ifndef __SIZEOF_INT128__
    GTEST_SKIP() << "no 128-bit integers to check against on this target";
#else
    std::mt19937_64 rng(5);
    auto i128 = [](fx::Wide w) { return static_cast<__int128>(static_cast<unsigned __int128>(w.hi) << 64 | w.lo); };
    for (int i = 0; i < 100000; ++i) {
        int64_t a = static_cast<int64_t>(rng()) >> (rng() % 64), b = static_cast<int64_t>(rng()) >> (rng() % 64);
        if (i < 16) a = i & 1 ? INT64_MIN : INT64_MAX, b = i & 2 ? INT64_MIN : (i & 4 ? -1 : INT64_MAX);
        const fx::Wide p = fx::mul64_wide(a, b), q = fx::mul64_wide(b >> 2, a >> 2);
        ASSERT_EQ(i128(p), static_cast<__int128>(a) * b);
        ASSERT_EQ(i128(fx::mul64_wide_halves(a, b)), static_cast<__int128>(a) * b);  // the 32-bit targets' product
        const int32_t b32 = static_cast<int32_t>(b >> 32);
        ASSERT_EQ(i128(fx::mul64x32_wide_halves(a, b32)), static_cast<__int128>(a) * b32);
        ASSERT_EQ(i128(fx::mul64x32_wide(a, b32)), static_cast<__int128>(a) * b32);
        const int sl = 1 + int(rng() % 63);
        ASSERT_EQ(i128(fx::shl_wide(a, sl)), static_cast<__int128>(a) * (static_cast<__int128>(1) << sl));
        ASSERT_EQ(i128(fx::add_wide(p, q)), i128(p) + i128(q));
        ASSERT_EQ(i128(fx::sub_wide(p, q)), i128(p) - i128(q));
        const int s = int(rng() % 128);
        ASSERT_EQ(i128(fx::asr_wide(p, s)), i128(p) >> s);
        const __int128 v = i128(p), m = v < 0 ? ~v : v;
        int bits = 0;
        while (bits < 127 && (m >> bits) != 0) ++bits;
        ASSERT_EQ(fx::bitlen_wide(p), bits);
        if (b != 0) {
            const int64_t num = a >> 33, den = b < 0 ? -(b >> 1) : b;
            const long double q_ref = std::round(static_cast<long double>(num) / den);
            if (std::fabs(q_ref) < 2147483647.0L) ASSERT_EQ(fx::div_round(num, den), static_cast<int32_t>(q_ref));
            if (num >= 0 && q_ref < 2147483647.0L)
                ASSERT_EQ(fx::udiv_round(static_cast<uint64_t>(num), static_cast<uint64_t>(den)), fx::div_round(num, den));
        }
        // Parametric stereo's peak decay: a 64-bit value below 2^63 times a
        // Q31 factor in 64 bits.
        const uint64_t e = static_cast<uint64_t>(a) >> (1 + rng() % 63);
        const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(b) >> (1 + rng() % 31));
        ASSERT_EQ(fx::mul_u64_q31(e, f), static_cast<uint64_t>((static_cast<unsigned __int128>(e) * static_cast<uint32_t>(f)) >> 31));
    }
    // ARM's division by a reciprocal, here on every target: random
    // divisors below 2^31 and dividends below divisor x 2^31, those limits
    // and the divisors' extremes.
    std::mt19937_64 drng(7);
    for (int i = 0; i < 300000; ++i) {
        const uint32_t b = std::max<uint32_t>(1, static_cast<uint32_t>(drng()) >> (1 + drng() % 31));
        const uint64_t lim = static_cast<uint64_t>(b) << 31;
        const uint64_t a = (drng() >> (drng() % 64)) % lim;
        for (const uint64_t n : {a, lim - 1, UINT64_C(0)}) ASSERT_EQ(fx::udiv_round_recip(n, b), fx::udiv_round(n, b)) << n << " " << b;
    }
    for (const uint32_t b : {1u, 2u, 3u, 0x40000000u, 0x40000001u, 0x55555555u, 0x7fffffffu}) {
        const uint64_t lim = static_cast<uint64_t>(b) << 31;
        for (uint64_t a = 0; a < 1000; ++a) {
            ASSERT_EQ(fx::udiv_round_recip(a, b), fx::udiv_round(a, b)) << a << " " << b;
            ASSERT_EQ(fx::udiv_round_recip(lim - 1 - a, b), fx::udiv_round(lim - 1 - a, b)) << lim - 1 - a << " " << b;
        }
    }
    // Parametric stereo's steps: a division by 2 .. 32 slots (and larger
    // divisors) through one reciprocal, dividends of magnitude below 2^32,
    // halves away from zero.
    auto rounded = [](int64_t a, int64_t b) {
        const int64_t m = a < 0 ? -a : a, q = (m + b / 2) / b;
        return static_cast<int32_t>(a < 0 ? -q : q);
    };
    for (int i = 0; i < 300000; ++i) {
        const uint32_t b = i < 200000 ? 2 + static_cast<uint32_t>(drng() % 31) : 2 + static_cast<uint32_t>(drng() % 65534);
        const int64_t lim = INT64_C(1) << 32;
        const int64_t a = static_cast<int64_t>(drng() >> (drng() % 64)) % lim;
        for (const int64_t n : {a, -a, lim - 1, 1 - lim, static_cast<int64_t>(b / 2), -static_cast<int64_t>(b / 2)})
            ASSERT_EQ(fx::div_round_recip(n, b, fx::recip32(b)), rounded(n, b)) << n << " " << b;
    }
    const uint64_t top = (UINT64_C(1) << 63) - 1;
    ASSERT_EQ(fx::mul_u64_q31(top, INT32_MAX), static_cast<uint64_t>((static_cast<unsigned __int128>(top) * INT32_MAX) >> 31));
#endif
}

// The split sums of the predictor on 32-bit ARM, bit for bit against the
// wide product: values at the ends of the range (below 2^59 in magnitude),
// low parts of 2^30 - 1 and zero, negated splits (negative low parts),
// sums of up to three products as the determinant and numerators take them,
// and the products with a 32-bit factor of alpha0's numerators.
struct SplitTerm {
    int64_t a, b;
    bool minus;
};
fx::Wide split_sum(const std::vector<SplitTerm>& terms) {
    sbr_split::Sums s;
    for (const SplitTerm& t : terms) {
        const sbr_split::Split b = sbr_split::split(t.b);
        sbr_split::mul_add(&s, sbr_split::split(t.a), t.minus ? sbr_split::neg(b) : b);
    }
    return sbr_split::value(s);
}
fx::Wide wide_sum(const std::vector<SplitTerm>& terms) {
    fx::Wide acc = fx::wide(0);
    for (const SplitTerm& t : terms)
        acc = t.minus ? fx::sub_wide(acc, fx::mul64_wide(t.a, t.b)) : fx::add_wide(acc, fx::mul64_wide(t.a, t.b));
    return acc;
}
std::pair<int64_t, uint64_t> words(fx::Wide a) { return {a.hi, a.lo}; }
#define EXPECT_WIDE_EQ(x, y) EXPECT_EQ(words(x), words(y))

TEST(SbrHfGen, SplitProductsMatchTheWideProduct) {
    const int64_t top = (INT64_C(1) << 59) - 1, low = (INT64_C(1) << 30) - 1;
    std::vector<int64_t> ends = {0,   1,    -1,        top,       -top,       low,        -low,
                                 low + 1, -(low + 1), top - low, -(top - low), (INT64_C(5) << 30) | low,
                                 -((INT64_C(5) << 30) | low), INT64_C(1) << 58, -(INT64_C(1) << 58)};
    std::mt19937_64 rng(59);
    std::uniform_int_distribution<int64_t> any(-top, top);
    for (int i = 0; i < 24; ++i) ends.push_back(any(rng));
    for (int64_t a : ends)
        for (int64_t b : ends)
            for (bool minus : {false, true}) {
                const std::vector<SplitTerm> one = {{a, b, minus}};
                EXPECT_WIDE_EQ(split_sum(one), wide_sum(one)) << a << " " << b << " " << minus;
                // a 32-bit factor below 2^30 (alpha's parts), the sums
                // starting from a 2^28
                const int32_t b32 = static_cast<int32_t>(b >> 29);
                const sbr_split::Split sa = sbr_split::split(a);
                sbr_split::Sums s{0, fx::mac64(0, sa.h, 1 << 28), fx::mac64(0, sa.l, 1 << 28)};
                sbr_split::mul_add(&s, sbr_split::split(b), minus ? fx::neg_wrap(b32) : b32);
                const fx::Wide t = fx::add_wide(fx::shl_wide(a, 28), fx::mul64x32_wide(b, minus ? fx::neg_wrap(b32) : b32));
                EXPECT_WIDE_EQ(sbr_split::value(s), t) << a << " " << b << " " << b32;
            }
    // Sums of three products, every sign, and the determinant's form: a sum
    // of two negated, then a product added.
    for (int i = 0; i < 20000; ++i) {
        auto pick = [&] { return rng() % 2 ? ends[rng() % ends.size()] : any(rng); };
        std::vector<SplitTerm> terms;
        for (int j = 0; j < 3; ++j) terms.push_back({pick(), pick(), rng() % 2 == 1});
        EXPECT_WIDE_EQ(split_sum(terms), wide_sum(terms)) << i;
        const std::vector<SplitTerm> two = {terms[0], terms[1]};
        EXPECT_WIDE_EQ(split_sum(two), wide_sum(two)) << i;
        // the determinant: -(p12r^2 + p12i^2) + r11 r22
        const std::vector<SplitTerm> det = {{terms[0].a, terms[0].a, false}, {terms[1].a, terms[1].a, false}};
        sbr_split::Sums e;
        for (const SplitTerm& t : det) sbr_split::mul_add(&e, sbr_split::split(t.a), sbr_split::split(t.b));
        EXPECT_WIDE_EQ(sbr_split::value(e), wide_sum(det)) << i;
        sbr_split::Sums d{-e.h, -e.m, -e.l};
        sbr_split::mul_add(&d, sbr_split::split(terms[2].a), sbr_split::split(terms[2].b));
        const fx::Wide want = fx::sub_wide(fx::mul64_wide(terms[2].a, terms[2].b), wide_sum(det));
        EXPECT_WIDE_EQ(sbr_split::value(d), want) << i;
    }
    // All at the ends at once: three products of 2^59 - 1, each sign.
    for (int signs = 0; signs < 8; ++signs) {
        std::vector<SplitTerm> terms;
        for (int j = 0; j < 3; ++j) terms.push_back({top, (signs >> j) & 1 ? -top : top, j == 1});
        EXPECT_WIDE_EQ(split_sum(terms), wide_sum(terms)) << signs;
    }
}

TEST(SbrHfGen, SharedDivisor) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t b = std::max<uint32_t>(1, static_cast<uint32_t>(rng()) >> (1 + rng() % 31));
        const fx::Divisor31 d = fx::divisor31(b);
        const int64_t lim = static_cast<int64_t>(b) << 31;
        const int64_t a = static_cast<int64_t>(rng() >> (1 + rng() % 63)) % (lim - b);
        for (const int64_t n : {a, -a, lim - 1 - b, 1 - lim, INT64_C(0), static_cast<int64_t>(b / 2)})
            ASSERT_EQ(fx::div_round_by(n, d), fx::div_round(n, b)) << n << " " << b;
    }
}

// The predictor's divisions (sbr_split::divide_q28), both forms on every
// target, against the form ARM used before them (kept here as it was: the
// shift by s through an array of words and bit lengths of the pair) and,
// where the compiler has 128-bit integers, against the maths of the stated
// rounding: the same "false" and the same quotients for divisors of every
// bit length (s = 0 .. 96, 0, 31, 32, 33, 63, 64 and beyond among them),
// numerators of either sign from zero to the ends of 128 bits, and
// numerators at, just below and just beyond magnitude 4.
namespace old_lpc {
uint64_t bits_from(fx::Wide a, int s) {
    const uint32_t sign = static_cast<uint32_t>(a.hi >> 63);
    const uint32_t w[6] = {static_cast<uint32_t>(a.lo), static_cast<uint32_t>(a.lo >> 32),
                           static_cast<uint32_t>(a.hi), static_cast<uint32_t>(static_cast<uint64_t>(a.hi) >> 32),
                           sign, sign};
    const int q = s >> 5, r = s & 31;
    const uint32_t lo = (w[q] >> r) | ((w[q + 1] << 1) << (31 - r));
    const uint32_t hi = (w[q + 1] >> r) | ((w[q + 2] << 1) << (31 - r));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}
template <int up>
bool divide(fx::Wide num_re, fx::Wide num_im, fx::Wide den, int32_t* q_re, int32_t* q_im) {
    const int s = fx::bitlen_wide(den) > 31 ? fx::bitlen_wide(den) - 31 : 0;
    const int64_t d = static_cast<int64_t>(static_cast<uint32_t>(bits_from(den, s)));
    const fx::Wide num[2] = {num_re, num_im};
    int64_t n[2];
    uint64_t mag[2];
    for (int i = 0; i < 2; ++i) {
        if (fx::bitlen_wide(num[i]) - s > 62) return false;
        n[i] = static_cast<int64_t>(bits_from(num[i], s));
        mag[i] = fx::magnitude64(n[i]);
        if ((mag[i] >> (2 + kSbrLpcQ - up)) >= static_cast<uint64_t>(d)) return false;
    }
    const int rs = fx::clz32(static_cast<uint32_t>(d)) - 1;
    const uint32_t bn = static_cast<uint32_t>(d) << rs, v = fx::recip_q30(bn);
    auto quotient = [&](uint64_t a) {
        const uint64_t m = (a << rs) + (bn >> 1);
        const uint32_t mh = static_cast<uint32_t>(m >> 29);
        uint32_t q = static_cast<uint32_t>((mh + ((static_cast<uint64_t>(mh) * v) >> 32)) >> 2);
        uint64_t rem = m - static_cast<uint64_t>(q) * bn;
        while (rem >= bn) ++q, rem -= bn;
        return q;
    };
    *q_re = fx::with_sign_of(n[0], quotient(mag[0] << up));
    *q_im = fx::with_sign_of(n[1], quotient(mag[1] << up));
    return true;
}
}  // namespace old_lpc

#ifdef __SIZEOF_INT128__
__int128 as_i128(fx::Wide w) { return static_cast<__int128>(static_cast<unsigned __int128>(w.hi) << 64 | w.lo); }
// n = num >> s, d = den >> s, false where |n| 2^up >= 2^30 d, else n 2^up / d
// rounded, halves away from zero.
template <int up>
bool divide_maths(fx::Wide num_re, fx::Wide num_im, fx::Wide den, int32_t* q_re, int32_t* q_im) {
    const __int128 dd = as_i128(den);
    int len = 0;
    while (len < 127 && (dd >> len) != 0) ++len;
    const int s = len > 31 ? len - 31 : 0;
    const __int128 d = dd >> s, lim = d << (30 - up);
    const __int128 n[2] = {as_i128(num_re) >> s, as_i128(num_im) >> s};
    int32_t q[2];
    for (int i = 0; i < 2; ++i) {
        if (n[i] >= lim || n[i] <= -lim) return false;
        const __int128 m = (n[i] < 0 ? -n[i] : n[i]) << up, r = (m + d / 2) / d;
        q[i] = static_cast<int32_t>(n[i] < 0 ? -r : r);
    }
    *q_re = q[0], *q_im = q[1];
    return true;
}
#endif

// a 2^s + low (low below 2^s), where it fits 128 bits.
fx::Wide shifted_up(int64_t a, int s, fx::Wide low) {
    fx::Wide w = s == 0  ? fx::wide(a)
                 : s < 64 ? fx::shl_wide(a, s)
                          : fx::Wide{0, static_cast<int64_t>(static_cast<uint64_t>(a) << (s - 64))};
    if (s < 64) low = {s ? low.lo & (~UINT64_C(0) >> (64 - s)) : 0, 0};
    else low.hi = s > 64 ? static_cast<int64_t>(static_cast<uint64_t>(low.hi) & (~UINT64_C(0) >> (128 - s))) : 0;
    return fx::add_wide(w, low);
}

template <int up>
void check_division(fx::Wide nr, fx::Wide ni, fx::Wide den) {
    int32_t want_re = 0, want_im = 0;
    const bool want = old_lpc::divide<up>(nr, ni, den, &want_re, &want_im);
    const auto show = [&] {
        return ::testing::Message() << "up " << up << " num " << nr.hi << ":" << nr.lo << ", " << ni.hi << ":" << ni.lo
                                    << " den " << den.hi << ":" << den.lo;
    };
#ifdef __SIZEOF_INT128__
    int32_t m_re = 0, m_im = 0;
    ASSERT_EQ(divide_maths<up>(nr, ni, den, &m_re, &m_im), want) << show();
    if (want) ASSERT_EQ(std::make_pair(m_re, m_im), std::make_pair(want_re, want_im)) << show();
#endif
    int32_t re = 0, im = 0;
    ASSERT_EQ(sbr_split::divide_q28_recip<up>(nr, ni, den, &re, &im), want) << "words " << show();
    if (want) ASSERT_EQ(std::make_pair(re, im), std::make_pair(want_re, want_im)) << "words " << show();
    ASSERT_EQ(sbr_split::divide_q28_div<up>(nr, ni, den, &re, &im), want) << "halves " << show();
    if (want) ASSERT_EQ(std::make_pair(re, im), std::make_pair(want_re, want_im)) << "halves " << show();
}

template <int up>
void check_divisions(std::mt19937_64& rng, int cases) {
    auto random_wide = [&] { return fx::Wide{rng(), static_cast<int64_t>(rng())}; };
    // den > 0 with its top bit at len - 1
    auto divisor = [&](int len) {
        const fx::Wide w = random_wide();
        if (len <= 64) return fx::Wide{(w.lo >> (64 - len)) | (UINT64_C(1) << (len - 1)), 0};
        return fx::Wide{w.lo,
                        static_cast<int64_t>((static_cast<uint64_t>(w.hi) >> (128 - len)) | (UINT64_C(1) << (len - 65)))};
    };
    const int edges[] = {1, 2, 30, 31, 32, 33, 62, 63, 64, 65, 94, 95, 96, 97, 126, 127};
    for (int i = 0; i < cases; ++i) {
        const int len = i < 16 * 64 ? edges[i % 16] : 1 + static_cast<int>(rng() % 127);
        fx::Wide den = divisor(len);
        if (i % 7 == 0) den = len > 64 ? fx::Wide{0, INT64_C(1) << (len - 65)} : fx::Wide{UINT64_C(1) << (len - 1), 0};
        if (i % 11 == 0) den = len > 64 ? fx::Wide{~UINT64_C(0), static_cast<int64_t>(~UINT64_C(0) >> (128 - len))}
                                        : fx::Wide{~UINT64_C(0) >> (64 - len), 0};
        const int s = len > 31 ? len - 31 : 0;
        const int64_t d = static_cast<int64_t>(fx::asr_wide(den, s).lo), lim = d << (30 - up);
        // numerators of about the quotient's magnitude limit, anything in
        // 128 bits, and at the limit
        auto numerator = [&]() -> fx::Wide {
            switch (rng() % 4) {
                case 0: {
                    const int bits = std::clamp(len + 30 - up + static_cast<int>(rng() % 9) - 6, 0, 127);
                    return fx::asr_wide(random_wide(), 127 - bits);
                }
                case 1: return fx::asr_wide(random_wide(), static_cast<int>(rng() % 128));
                default: {
                    if (s + 62 > 126) return fx::wide(static_cast<int64_t>(rng()) >> 40);
                    const int64_t off[] = {0, 0, 1, -1, 2, -2};
                    const int64_t n = (rng() % 2 ? lim : -lim) + off[rng() % 6];
                    return shifted_up(n, s, random_wide());
                }
            }
        };
        const fx::Wide a = numerator(), b = numerator();
        check_division<up>(a, b, den);
        check_division<up>(b, a, den);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // the ends of 128 bits
    const fx::Wide ends[] = {{0, 0}, {~UINT64_C(0), -1}, {~UINT64_C(0), INT64_MAX}, {0, INT64_MIN}, {1, 0}};
    for (const fx::Wide a : ends)
        for (const fx::Wide b : ends)
            for (const fx::Wide den :
                 {fx::Wide{1, 0}, fx::Wide{~UINT64_C(0), INT64_MAX}, fx::Wide{0, 1}, fx::Wide{0x7fffffff, 0}}) {
                check_division<up>(a, b, den);
                if (::testing::Test::HasFatalFailure()) return;
            }
}

TEST(SbrHfGen, LpcDivisions) {
    std::mt19937_64 rng(29);
    check_divisions<kSbrLpcQ>(rng, 60000);
    check_divisions<0>(rng, 60000);
}

// Parametric stereo's transient gain, a Q30 ratio of at most 1 without a
// division (on every target) against the 64-bit division: random divisors
// at every scale, every divisor at and beside the ends of its reciprocal
// seed's intervals (and those shifted down), every dividend of the small
// divisors; dividends 0, b, just below b, b / 2 and random.
TEST(SbrHfGen, RatioQ30) {
    auto ref = [](uint32_t a, uint32_t b) { return static_cast<uint32_t>(((static_cast<uint64_t>(a) << 30) + b / 2) / b); };
    auto check = [&](uint32_t a, uint32_t b) {
        ASSERT_EQ(fx::udiv_round_q30_recip(a, b), ref(a, b)) << a << " / " << b;
        ASSERT_EQ(fx::udiv_round_q30(a, b), ref(a, b)) << a << " / " << b;
    };
    std::mt19937_64 rng(13);
    auto dividends = [&](uint32_t b) {
        const uint32_t r = static_cast<uint32_t>(rng() % (UINT64_C(1) + b));
        for (const uint32_t a : {0u, b, b - 1, b / 2, b / 2 + 1, r, b - r / 64}) check(a, b);
    };
    for (int i = 0; i < 1000000; ++i) {
        const uint32_t b = std::max<uint32_t>(1, static_cast<uint32_t>(rng()) >> (1 + rng() % 31));
        check(static_cast<uint32_t>(rng() % (UINT64_C(1) + b)), b);
        if (i % 8 == 0) dividends(b);
    }
    for (uint32_t i = 0; i <= 256; ++i)
        for (const int32_t off : {-2, -1, 0, 1, 2}) {
            const uint32_t edge = (UINT32_C(1) << 30) + (i << 22) + static_cast<uint32_t>(off);
            if (edge < (UINT32_C(1) << 30) || edge >= (UINT32_C(1) << 31)) continue;
            for (int k = 0; k < 31; ++k)
                if ((edge >> k) > 0) dividends(edge >> k);
        }
    for (uint32_t b = 1; b < 600; ++b)
        for (uint32_t a = 0; a <= b; ++a) check(a, b);
    static_assert(fx::udiv_round_q30_recip(0x7fffffff, 0x7fffffff) == UINT32_C(1) << 30);
    static_assert(fx::udiv_round_q30_recip(1, 3) == ((UINT64_C(1) << 30) + 1) / 3);
}

struct XLow {
    int32_t re[kSbrXLowSlots][64] = {}, im[kSbrXLowSlots][64] = {};
};

// Signals of one subband, by kind, at amplitude `level`.
enum Kind { NOISE, TONE, REAL_TONE, RESONANCE, DECAY, IMPULSE, SILENCE, KINDS };

void fill_band(XLow& x, int k, Kind kind, R level, std::mt19937& rng) {
    std::normal_distribution<double> n01;
    std::uniform_real_distribution<double> u(0, 2 * M_PI);
    const R w = u(rng), ph = u(rng);
    C s1{}, s2{};
    for (int l = 0; l < kSbrXLowSlots; ++l) {
        C v;
        switch (kind) {
            case NOISE: v = C(n01(rng), n01(rng)) * R(0.5); break;
            case TONE: v = std::polar(R(1), w * l + ph); break;
            case REAL_TONE: v = std::cos(w * l + ph) * std::polar(R(1), ph); break;
            case RESONANCE: {  // AR(2) with poles near the unit circle
                const C e = C(n01(rng), n01(rng)) * R(0.05), p = std::polar(R(0.97), w);
                v = e + R(2) * p.real() * s1 - std::norm(p) * s2;
                s2 = s1, s1 = v;
                break;
            }
            case DECAY: v = std::polar(std::pow(R(0.7), l), w * l); break;
            case IMPULSE: v = l == 20 ? C(1, -0.5) : C(0); break;
            default: v = 0;
        }
        v *= level;
        auto q = [](R r) { return int32_t(std::max<R>(-2147483648.0L, std::min<R>(2147483647.0L, std::round(r)))); };
        x.re[l][k] = q(v.real());
        x.im[l][k] = q(v.imag());
    }
}

struct RefLpc { C a0, a1; };

RefLpc ref_lpc(const XLow& x, int k) {
    auto X = [&](int l) { return C(x.re[l][k], x.im[l][k]); };
    auto phi = [&](int i, int j) {
        C s = 0;
        for (int n = 0; n < kSbrXLowSlots - 2; ++n) s += X(n + 2 - i) * std::conj(X(n + 2 - j));
        return s;
    };
    const C p01 = phi(0, 1), p02 = phi(0, 2), p12 = phi(1, 2);
    const R p11 = phi(1, 1).real(), p22 = phi(2, 2).real();
    const R d = p11 * p22 - std::norm(p12) / (1 + R(1e-6));
    RefLpc r{};
    if (d != 0) r.a1 = (p01 * p12 - p02 * p11) / d;
    if (p11 != 0) r.a0 = -(p01 + r.a1 * std::conj(p12)) / p11;
    if (std::abs(r.a0) >= 4 || std::abs(r.a1) >= 4) r = {};
    return r;
}

TEST(SbrHfGen, Lpc) {
    std::mt19937 rng(7);
    const int levels[] = {0, 2, 6, 10, 14, 18, 22, 24, 25, 26, 28, 30};
    const R q = 1 << kSbrLpcQ;
    for (int kind = 0; kind < KINDS; ++kind)
        for (int lv : levels)
            for (int rep = 0; rep < 20; ++rep) {
                XLow x;
                fill_band(x, 3, Kind(kind), std::exp2(R(lv)), rng);
                const SbrLpc c = sbr_hf_lpc(x.re, x.im, 3);
                const RefLpc r = ref_lpc(x, 3);
                const R e = std::max(std::abs(C(c.a0_re, c.a0_im) / q - r.a0), std::abs(C(c.a1_re, c.a1_im) / q - r.a1));
                // Beyond 2^26 the covariance input is scaled: noise only (well conditioned).
                if (lv < 26 || kind == NOISE)
                    EXPECT_LE(e, lv >= 26 ? 1e-5 : std::exp2(-26.0)) << "kind " << kind << " level 2^" << lv;
            }
}

TEST(SbrHfGen, ChirpAcrossFrames) {
    std::mt19937 rng(3);
    SbrHfGenState st;
    sbr_hf_reset(&st);
    R bw[5] = {};
    int prev[5] = {};
    const R target[4][4] = {{0, 0.6, 0, 0}, {0.6, 0.75, 0.75, 0.75}, {0.9, 0.9, 0.9, 0.9}, {0.98, 0.98, 0.98, 0.98}};
    for (int frame = 0; frame < 2000; ++frame) {
        uint8_t invf[5];
        // Runs of one mode now and then, so that the smoothing settles.
        for (int i = 0; i < 5; ++i) invf[i] = static_cast<uint8_t>(frame % 50 < 25 ? rng() % 4 : (frame / 50) % 4);
        sbr_hf_chirp(&st, invf, 5);
        for (int i = 0; i < 5; ++i) {
            const R t = target[invf[i]][prev[i]];
            R b = t < bw[i] ? R(0.75) * t + R(0.25) * bw[i] : R(0.90625) * t + R(0.09375) * bw[i];
            if (b < 0.015625) b = 0;
            if (b >= 0.99609375) b = 0.99609375;
            bw[i] = b, prev[i] = invf[i];
            ASSERT_NEAR(st.bw[i] / R(2147483648.0), b, 1e-8) << frame << ' ' << i;
        }
    }
}

// X_high for every patch layout of a few headers, several frames, against
// the reference formulas with the reference LPC and chirp factors.
TEST(SbrHfGen, PatchesAgainstReference) {
    const struct {
        int fs;
        SbrFreqHeader h;
    } cases[] = {
        {44100, {5, 9, 2, 1, 0, 2, 2}},  {48000, {7, 8, 2, 1, 0, 2, 2}}, {32000, {3, 11, 1, 0, 0, 3, 2}},
        {44100, {13, 14, 2, 1, 0, 1, 2}}, {22050, {0, 7, 0, 0, 0, 2, 2}}, {24000, {10, 12, 3, 1, 0, 0, 2}},
        {88200, {2, 14, 2, 1, 0, 2, 2}},
    };
    std::mt19937 rng(11);
    int layouts = 0;
    for (const auto& cs : cases) {
        for (int xover = 0; xover < 8; ++xover) {
            SbrFreqHeader h = cs.h;
            h.xover_band = static_cast<uint8_t>(xover);
            SbrFreqTables t{};
            if (sbr_derive_freq_tables(h, cs.fs, &t) != SBR_FREQ_OK) continue;
            ++layouts;
            SbrHfGenState st;
            sbr_hf_reset(&st);
            R bw[5] = {};
            for (int frame = 0; frame < 6; ++frame) {
                XLow x;
                R peak[kSbrMaxKx];
                for (int k = 0; k < kSbrMaxKx; ++k) {
                    const int lv = int(rng() % 26);
                    fill_band(x, k, Kind(rng() % KINDS), std::exp2(R(lv)), rng);
                    peak[k] = std::exp2(R(lv)) * 4;
                }
                uint8_t invf[5];
                for (int i = 0; i < 5; ++i) invf[i] = static_cast<uint8_t>(rng() % 4);
                sbr_hf_chirp(&st, invf, t.n_q);
                for (int i = 0; i < t.n_q; ++i) bw[i] = st.bw[i] / R(2147483648.0);  // chirp checked above
                const int r0 = 2 + 2 * int(rng() % 4), r1 = 2 + 2 * (16 + int(rng() % 4));
                static int32_t hr[kSbrXLowSlots][64], hi[kSbrXLowSlots][64];
                static SbrHfWork work;
                sbr_hf_generate(st, t, r0, r1, x.re, x.im, hr, hi, &work);
                int k = t.kx;
                for (int i = 0; i < t.num_patches; ++i) {
                    for (int j = 0; j < t.patch_num_subbands[i]; ++j, ++k) {
                        const int p = t.patch_start_subband[i] + j;
                        int g = 0;
                        while (g + 1 < t.n_q && k >= t.f_noise[g + 1]) ++g;
                        const RefLpc a = ref_lpc(x, p);
                        for (int l = r0; l < r1; ++l) {
                            auto X = [&](int m) { return C(x.re[m][p], x.im[m][p]); };
                            const C ref = X(l) + bw[g] * a.a0 * X(l - 1) + bw[g] * bw[g] * a.a1 * X(l - 2);
                            const R e = std::abs(C(hr[l][k], hi[l][k]) - ref);
                            ASSERT_LE(e, 1 + peak[p] * std::exp2(R(-24)))
                                << cs.fs << " xover " << xover << " k " << k << " p " << p << " l " << l;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GE(layouts, 30);
}

}  // namespace
