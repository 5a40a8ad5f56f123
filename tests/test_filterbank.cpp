// Inverse MDCT, FFT, windows and overlap-add against first-principles maths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dec/bands.h"
#include "dec/tools.h"
#include "dsp/filterbank.h"
#include "dsp/imdct_compact.h"
#include "tables/filterbank_tables.h"
#include "test_util.h"

namespace {

// The standard's inverse MDCT of spectral values X (N/2 of them), halved.
std::vector<double> imdct_half(const std::vector<double>& X, int N) {
    std::vector<double> x = imdct(X.data(), N);
    for (double& v : x) v /= 2;
    return x;
}

int peak(const std::vector<int16_t>& v) {
    int p = 0;
    for (int16_t x : v) p = std::max(p, std::abs(static_cast<int>(x)));
    return p;
}

// Runs one transform of block type `type` with both window shapes 0 (sine)
// on coefficients `coef` (32 x the standard's values).
std::vector<int16_t> transform(std::vector<int32_t> coef, int16_t type) {
    uint16_t shape[2] = {0, 0};
    coef.resize(1024, 0);
    kvxdec_ITransformBlock(coef.data(), reinterpret_cast<int16_t*>(coef.data()), type, shape);
    const int16_t* t = reinterpret_cast<const int16_t*>(coef.data());
    return std::vector<int16_t>(t, t + (type == BLOCK_SHORT ? 256 : 2048));
}

// Unwindowed transform output of N = 2048 or 256.
std::vector<int16_t> raw_transform(std::vector<int32_t> buf, int N) {
    buf.resize(1024, 0);
    if (N == 2048) {
        aacdec_pre_twiddle_arm_opt(buf.data(), buf.data(), kvxdec_cs2048, N);
        kvxdec_cfft(buf.data(), 512, -1, 0);
        aacdec_post_twiddle_arm_opt(buf.data(), N, kvxdec_cs2048);
    } else {
        aacdec_pre_twiddle_arm_opt(buf.data(), buf.data(), kvxdec_cs256, N);
        kvxdec_cfft(buf.data(), 64, -1, 0);
        aacdec_post_twiddle_arm_opt_short(buf.data(), N, kvxdec_cs256);
    }
    const int16_t* y = reinterpret_cast<const int16_t*>(buf.data());
    return std::vector<int16_t>(y, y + N);
}

TEST(Transform, SilenceAndSymmetry) {
    const std::vector<int16_t> zero = transform(std::vector<int32_t>(1024, 0), BLOCK_LONG);
    for (int16_t v : zero) ASSERT_EQ(v, 0);
    // A single coefficient gives a cosine whose samples are exactly odd about
    // N/4 and even about 3N/4 (before windowing).
    for (int k : {0, 10, 511}) {
        std::vector<int32_t> buf(1024, 0);
        buf[static_cast<size_t>(k)] = 1 << 20;
        const std::vector<int16_t> y = raw_transform(buf, 2048);
        bool nonzero = false;
        for (int m = 0; m < 512; ++m) {
            ASSERT_EQ(y[511 - m], static_cast<int16_t>(-y[512 + m])) << k << " " << m;
            ASSERT_EQ(y[1536 + m], y[1535 - m]) << k << " " << m;
            nonzero |= y[512 + m] != 0;
        }
        EXPECT_TRUE(nonzero);
    }
}

TEST(Transform, LongAndShortReachTheSameScale) {
    // One cosine at the same standard amplitude in a long and a short
    // transform peaks at the same level.
    std::vector<int32_t> l(1024, 0), s(1024, 0);
    l[80] = 20000 * 32;
    s[10] = 20000 * 32;
    // 2 * 20000 / N, halved: 9.8 long, 78 short (eight times fewer lines).
    EXPECT_NEAR(peak(transform(l, BLOCK_LONG)), 20000.0 / 2048, 2);
    EXPECT_NEAR(peak(transform(s, BLOCK_SHORT)), 20000.0 / 256, 2);
}

TEST(Transform, ShortWrapsWhereLongSaturates) {
    // Beyond full scale (half-scale samples past 32767) the long transform
    // saturates and the short one keeps the low 16 bits.
    // The largest coefficient peaks at 32768 half-scale: the long transform
    // holds 32767 there and follows the cosine everywhere else.
    std::vector<int32_t> l(512, 0);
    std::vector<double> X(1024, 0);
    l[3] = 0x7FFFFFFF;
    X[3] = 0x7FFFFFFF / 32.0;
    const std::vector<int16_t> lt = raw_transform(l, 2048);
    const std::vector<double> lref = imdct_half(X, 2048);
    for (size_t n = 0; n < 2048; ++n)  // truncated 15-bit twiddles: a few units here
        EXPECT_NEAR(lt[n], std::min(32767.0, std::max(-32768.0, lref[n])), 2 + 4e-4 * std::fabs(lref[n])) << n;
    // Post-twiddle of the largest values: the long doubling saturates, the
    // short one's low 16 bits wrap.
    std::vector<int32_t> big(1024, 0x7FFFFFFF);
    aacdec_post_twiddle_arm_opt(big.data(), 2048, kvxdec_cs2048);
    const int16_t* y = reinterpret_cast<const int16_t*>(big.data());
    int saturated = 0;
    for (int n = 512; n < 1536; ++n) saturated += y[n] == 32767 || y[n] == -32768 || y[n] == -32767;
    EXPECT_GE(saturated, 500);  // the P halves; the Q halves nearly cancel
    std::vector<int32_t> bigs(128, 0x7FFFFFFF);
    aacdec_post_twiddle_arm_opt_short(bigs.data(), 256, kvxdec_cs256);
    const int16_t* ys = reinterpret_cast<const int16_t*>(bigs.data());
    int small = 0;
    for (int n = 64; n < 192; ++n) small += std::abs(static_cast<int>(ys[n])) < 16384;
    EXPECT_GT(small, 32);

    std::vector<int32_t> s(128, 0);
    std::vector<double> Xs(128, 0);
    s[1] = 330000000;
    Xs[1] = s[1] / 32.0;
    const std::vector<int16_t> st = raw_transform(s, 256);
    const std::vector<double> sref = imdct_half(Xs, 256);
    int wrapped = 0;
    for (size_t n = 0; n < 256; ++n) {
        const double tol = 2 + 4e-4 * std::fabs(sref[n]);
        if (std::fabs(sref[n]) < 32000) EXPECT_NEAR(st[n], sref[n], tol) << n;
        if (sref[n] > 33500) {
            EXPECT_NEAR(st[n], sref[n] - 65536, tol) << n;
            ++wrapped;
        }
    }
    EXPECT_GT(wrapped, 10);
}

TEST(Fft, ForwardOnlyAndAgainstTheDft) {
    std::mt19937 rng(9);
    for (int n : {64, 512}) {
        std::vector<int32_t> data(static_cast<size_t>(2 * n));
        for (auto& v : data) v = static_cast<int32_t>(rng() % 20001) - 10000;
        const std::vector<int32_t> in = data;
        kvxdec_cfft(data.data(), static_cast<int16_t>(n), 1, 0);
        EXPECT_EQ(data, in);  // only the forward direction runs
        kvxdec_cfft(data.data(), static_cast<int16_t>(n), -1, 0);
        double sig = 0, err = 0;
        for (int m = 0; m < n; ++m) {
            double re = 0, im = 0;
            for (int k = 0; k < n; ++k) {
                const double a = -2 * M_PI * k * m / n;
                re += in[static_cast<size_t>(2 * k)] * std::cos(a) - in[static_cast<size_t>(2 * k + 1)] * std::sin(a);
                im += in[static_cast<size_t>(2 * k)] * std::sin(a) + in[static_cast<size_t>(2 * k + 1)] * std::cos(a);
            }
            sig += re * re + im * im;
            err += std::pow(data[static_cast<size_t>(2 * m)] - re, 2) + std::pow(data[static_cast<size_t>(2 * m + 1)] - im, 2);
        }
        EXPECT_GT(10 * std::log10(sig / err), 70) << n;
    }
}

class Bank : public ::testing::Test {
protected:
    void SetUp() override {
        obj = make_decoder(false);
        coef.assign(1024, 0);
        overlap.assign(2048, 0);
    }
    // One block of channel 0 (the left slots of stereo frames); returns
    // its 1024 PCM samples.
    std::vector<int16_t> block(uint8_t seq) {
        pcm_stage.assign(2048, 0);
        kvxdec_aacFilterBank(obj, seq, shape, coef.data(), overlap.data(), PcmOut{pcm_stage.data(), 2, false});
        std::vector<int16_t> pcm(1024);
        for (int k = 0; k < 1024; ++k) pcm[static_cast<size_t>(k)] = pcm_stage[static_cast<size_t>(2 * k)];
        return pcm;
    }
    MP4AACDEC_QUVA_Obj* obj = nullptr;
    std::vector<int32_t> coef;
    std::vector<int16_t> overlap, pcm_stage;
    uint16_t shape[2] = {0, 0};
};

TEST_F(Bank, SilenceAndTheScaleOfOneCoefficient) {
    EXPECT_EQ(peak(block(ONLY_LONG_SEQUENCE)), 0);
    coef[10] = 1 << 20;  // the standard's value 32768
    const int rising = peak(block(ONLY_LONG_SEQUENCE));
    EXPECT_TRUE(rising >= 8 && rising <= 32) << rising;  // rising half of a windowed cosine of amplitude 32
    // The next silent block outputs the windowed second half.
    coef.assign(1024, 0);
    const std::vector<int16_t> tail = block(ONLY_LONG_SEQUENCE);
    EXPECT_TRUE(peak(tail) >= 8 && peak(tail) <= 32) << peak(tail);
    EXPECT_LE(std::abs(static_cast<int>(tail[1023])), 1);  // the window's end
}

TEST_F(Bank, CombiningSaturatesOrWrapsAsStated) {
    const int16_t a[4] = {10000, 20000, -20000, 100}, b[4] = {10000, 20000, -20000, -300};
    int16_t out[4];
    // 40000 saturated; the 16-bit sum 40000 wraps to -25536 first.
    kvxdec_add_func_aacFB(a, b, out, 4);
    EXPECT_EQ(vals(out[0], out[1], out[2], out[3]), vals(32767, -32768, 32767, -400));
    kvxdec_add_func2_aacFB(a, b, out, 4);
    EXPECT_EQ(vals(out[1], out[2]), vals(32767, -32768));
    const int16_t c[4] = {20000, -20000, 5, -5};
    kvxdec_shift1_func_aacFB(out, c, 4);
    EXPECT_EQ(vals(out[0], out[1], out[2]), vals(32767, -32768, 10));
}

TEST_F(Bank, LongStopIgnoresTheOverlapAfterSample575) {
    for (auto& v : overlap) v = 1000;
    const std::vector<int16_t> pcm = block(LONG_STOP_SEQUENCE);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(pcm[static_cast<size_t>(i)], i < 576 ? 2000 : 0) << i;
    EXPECT_EQ(obj->firstBlock, 1);  // unchanged by a LONG_STOP block
}

TEST_F(Bank, ShortWindowPlacementFollowsTheFirstBlockFlag) {
    // Silent short windows: the output is the old overlap, doubled, up to
    // where the first window starts, then nothing.
    for (int flag : {1, 0}) {
        obj->firstBlock = static_cast<uint16_t>(flag);
        overlap.assign(2048, 0);
        for (int i = 0; i < 1024; ++i) overlap[static_cast<size_t>(i)] = 100;
        coef.assign(1024, 0);
        const std::vector<int16_t> pcm = block(EIGHT_SHORT_SEQUENCE);
        const int start = flag ? 512 : 448;
        for (int i = 0; i < 1024; ++i)
            ASSERT_EQ(pcm[static_cast<size_t>(i)], i < start + 128 ? 200 : 0) << flag << " " << i;
    }
    // A LONG_START block clears the flag.
    obj->firstBlock = 1;
    coef.assign(1024, 0);
    block(LONG_START_SEQUENCE);
    EXPECT_EQ(obj->firstBlock, 0);
}

TEST_F(Bank, PreviousShapeIsUsedOnceThenFollowsTheBlock) {
    // Sine then KBD: the first half of the first transform uses the old shape.
    coef[40] = 1 << 22;
    std::vector<int32_t> a = coef, b = coef;
    uint16_t s1[2] = {1, 0}, s2[2] = {1, 1};
    kvxdec_ITransformBlock(a.data(), reinterpret_cast<int16_t*>(a.data()), BLOCK_LONG, s1);
    EXPECT_EQ(s1[1], 1);
    kvxdec_ITransformBlock(b.data(), reinterpret_cast<int16_t*>(b.data()), BLOCK_LONG, s2);
    const int16_t* ya = reinterpret_cast<const int16_t*>(a.data());
    const int16_t* yb = reinterpret_cast<const int16_t*>(b.data());
    int differ_first = 0, differ_second = 0;
    for (int i = 0; i < 2048; ++i) (i < 1024 ? differ_first : differ_second) += ya[i] != yb[i];
    EXPECT_GT(differ_first, 500);
    EXPECT_EQ(differ_second, 0);
}

}  // namespace
