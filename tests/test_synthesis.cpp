// The whole synthesis filter bank, block after block, against a double-
// precision one built from first principles (the standard's inverse MDCT,
// sine and Kaiser-Bessel-derived windows, overlap-add): every window
// sequence and both shapes, with shape changes. Bounds per arithmetic: a
// wrong sign, index, window or scale misses them by orders of magnitude.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "dec/bands.h"
#include "dec/tools.h"
#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "test_util.h"

namespace {

double bessel_i0(double x) {
    double total = 1, term = 1;
    for (int k = 1; term > 1e-20 * total; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        total += term;
    }
    return total;
}

// Rising half (N/2 values) of the window of length N and shape 0 (sine) or 1 (KBD).
std::vector<double> rising(int N, int shape) {
    std::vector<double> w(static_cast<size_t>(N / 2));
    if (shape == 0) {
        for (int n = 0; n < N / 2; ++n) w[static_cast<size_t>(n)] = std::sin(M_PI * (n + 0.5) / N);
        return w;
    }
    const double alpha = N == 2048 ? 4 : 6;
    std::vector<double> k(static_cast<size_t>(N / 2 + 1));
    double total = 0;
    for (int j = 0; j <= N / 2; ++j) {
        const double r = (j - N / 4.0) / (N / 4.0);
        total += k[static_cast<size_t>(j)] = bessel_i0(M_PI * alpha * std::sqrt(1 - r * r));
    }
    double acc = 0;
    for (int n = 0; n < N / 2; ++n) w[static_cast<size_t>(n)] = std::sqrt((acc += k[static_cast<size_t>(n)]) / total);
    return w;
}

// One block of the reference bank: 1024 PCM values (unrounded); ov holds
// the 1024 overlap samples.
std::vector<double> reference_block(int seq, int shape, int prev, const std::vector<double>& X, std::vector<double>& ov) {
    std::vector<double> y(2048, 0.0);
    const std::vector<double> ls = rising(256, shape), lp = rising(256, prev);
    if (seq == EIGHT_SHORT_SEQUENCE) {
        for (int w = 0; w < 8; ++w) {
            const std::vector<double> x = imdct(&X[static_cast<size_t>(128 * w)], 256);
            const std::vector<double>& r = w == 0 ? lp : ls;
            for (int n = 0; n < 128; ++n) {
                y[static_cast<size_t>(448 + 128 * w + n)] += x[static_cast<size_t>(n)] * r[static_cast<size_t>(n)];
                y[static_cast<size_t>(448 + 128 * w + 128 + n)] += x[static_cast<size_t>(128 + n)] * ls[static_cast<size_t>(127 - n)];
            }
        }
    } else {
        const std::vector<double> x = imdct(X.data(), 2048);
        const std::vector<double> Lp = rising(2048, prev), Ls = rising(2048, shape);
        for (int n = 0; n < 1024; ++n) {
            double r = Lp[static_cast<size_t>(n)], f = Ls[static_cast<size_t>(1023 - n)];
            if (seq == LONG_STOP_SEQUENCE) r = n < 448 ? 0 : (n < 576 ? lp[static_cast<size_t>(n - 448)] : 1);
            if (seq == LONG_START_SEQUENCE) f = n < 448 ? 1 : (n < 576 ? ls[static_cast<size_t>(575 - n)] : 0);
            y[static_cast<size_t>(n)] = x[static_cast<size_t>(n)] * r;
            y[static_cast<size_t>(1024 + n)] = x[static_cast<size_t>(1024 + n)] * f;
        }
    }
    std::vector<double> pcm(1024);
    for (int n = 0; n < 1024; ++n) {
        pcm[static_cast<size_t>(n)] = ov[static_cast<size_t>(n)] + y[static_cast<size_t>(n)];
        ov[static_cast<size_t>(n)] = y[static_cast<size_t>(1024 + n)];
    }
    return pcm;
}

TEST(Synthesis, EverySequenceAndShapeAgainstDoublePrecision) {
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false);
    obj->firstBlock = 0;  // windows at their standard place from the start
    std::vector<OverlapSample> overlap(4096 / sizeof(OverlapSample), 0);
    std::vector<double> ref_ov(1024, 0.0);
    std::mt19937 rng(7);
    struct Step {
        int seq, shape;
    } steps[] = {{ONLY_LONG_SEQUENCE, 0},   {ONLY_LONG_SEQUENCE, 1},  {LONG_START_SEQUENCE, 1},
                 {EIGHT_SHORT_SEQUENCE, 0}, {EIGHT_SHORT_SEQUENCE, 1}, {LONG_STOP_SEQUENCE, 0},
                 {LONG_START_SEQUENCE, 0},  {LONG_STOP_SEQUENCE, 1},  {ONLY_LONG_SEQUENCE, 0},
                 {ONLY_LONG_SEQUENCE, 0}};
    uint16_t shape[2] = {0, 0};
    double err2 = 0, max_err = 0;
    int count = 0;
    for (const Step& s : steps) {
        // Spectra with a falling envelope as in real signals, loud enough to
        // reach a few thousand PCM steps; the standard's values are coef / 32.
        std::vector<int32_t> coef(1024);
        std::vector<double> X(1024);
        const bool is_short = s.seq == EIGHT_SHORT_SEQUENCE;
        for (int k = 0; k < 1024; ++k) {
            const int line = is_short ? k % 128 : k;
            const double amp = (is_short ? 4.0e6 : 3.2e7) / (1 + line / (is_short ? 2.0 : 16.0));
            coef[static_cast<size_t>(k)] = static_cast<int32_t>(std::normal_distribution<double>(0, amp)(rng));
            X[static_cast<size_t>(k)] = coef[static_cast<size_t>(k)] / 32.0;
        }
        shape[0] = static_cast<uint16_t>(s.shape);
        const int prev = shape[1];
        std::vector<int16_t> frames(2048), pcm(1024);
        kvxdec_aacFilterBank(obj, static_cast<uint8_t>(s.seq), shape, coef.data(), overlap.data(), PcmOut{frames.data(), 2, false});
        for (int k = 0; k < 1024; ++k) pcm[static_cast<size_t>(k)] = frames[static_cast<size_t>(2 * k)];
        EXPECT_EQ(shape[1], s.shape);
        const std::vector<double> want = reference_block(s.seq, s.shape, prev, X, ref_ov);
        for (int n = 0; n < 1024; ++n) {
            const double e = pcm[static_cast<size_t>(n)] - want[static_cast<size_t>(n)];
            err2 += e * e;
            max_err = std::max(max_err, std::fabs(e));
            ++count;
        }
    }
    const double rms = std::sqrt(err2 / count);
    RecordProperty("rms_milli_lsb", static_cast<int>(1000 * rms));
    // Exact: the rounding of the output alone (RMS 0.29, max 0.5) and a
    // little; compact: its 16-bit time path (a few steps).
    EXPECT_LE(rms, kExactArithmetic ? 0.30 : 4.0);
    EXPECT_LE(max_err, kExactArithmetic ? 0.6 : 16.0);
}

// A channel dropped (step 0: no output buffer, or a second channel of a
// block played as mono) leaves the same overlap, block after block, as one
// played into a stereo slot or into both slots of a mono frame: every
// window sequence, both shapes and shape changes; the played ones give the
// same samples in both slots.
TEST(Synthesis, DroppedAndMonoChannelsKeepThePlayedOverlap) {
    const int seqs[] = {ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE,  EIGHT_SHORT_SEQUENCE, EIGHT_SHORT_SEQUENCE,
                        LONG_STOP_SEQUENCE, LONG_START_SEQUENCE,  EIGHT_SHORT_SEQUENCE, LONG_STOP_SEQUENCE,
                        ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE};
    const int shapes[] = {0, 1, 1, 0, 0, 1, 0, 1, 1, 0};
    std::mt19937 rng(5);
    // 0: a stereo slot, 1: both slots of a mono frame, 2: dropped.
    std::vector<OverlapSample> overlap[3];
    uint16_t shape[3][2] = {};
    uint16_t first[3] = {1, 1, 1};
    for (auto& o : overlap) o.assign(2048, 0);
    for (size_t b = 0; b < std::size(seqs); ++b) {
        const uint8_t seq = static_cast<uint8_t>(seqs[b]);
        std::vector<int32_t> coef(1024);
        for (int k = 0; k < 1024; ++k) {
            const int line = seq == EIGHT_SHORT_SEQUENCE ? k % 128 : k;
            const double amp = (seq == EIGHT_SHORT_SEQUENCE ? 4.0e6 : 3.2e7) / (1 + line / 8.0);
            coef[static_cast<size_t>(k)] = static_cast<int32_t>(std::normal_distribution<double>(0, amp)(rng));
        }
        std::vector<int16_t> frames[2] = {std::vector<int16_t>(2048, 0x5555), std::vector<int16_t>(2048, 0x5555)};
        int16_t drop = 0;
        const PcmOut outs[3] = {{frames[0].data(), 2, false}, {frames[1].data(), 2, true}, {&drop, 0, false}};
        for (int v = 0; v < 3; ++v) {
            std::vector<int32_t> copy = coef;
            shape[v][0] = static_cast<uint16_t>(shapes[b]);
            synthesise_channel(&first[v], seq, shape[v], copy.data(), overlap[v].data(), outs[v]);
        }
        EXPECT_EQ(overlap[2], overlap[0]) << "block " << b;
        EXPECT_EQ(overlap[1], overlap[0]) << "block " << b;
        for (int k = 0; k < 1024; ++k) {
            const size_t l = static_cast<size_t>(2 * k);
            ASSERT_EQ(frames[1][l], frames[0][l]) << "block " << b << " sample " << k;
            ASSERT_EQ(frames[1][l + 1], frames[0][l]) << "block " << b << " sample " << k;
            ASSERT_EQ(frames[0][l + 1], 0x5555) << "block " << b << " sample " << k;  // the other slot untouched
        }
    }
}

#if AAC_ARITHMETIC_EXACT && AAC_SBR_BUILT
// (The channels' own Q12 time samples are an output for SBR alone: a build
// without it has none, and there Api.NativeChannelsMixedAreTheDownmix
// checks the downmix against its channels' 32-bit output instead.)
// Three channels in different window sequences and shapes in the same
// blocks, mixed to stereo before their overlap-add (the downmix's sums),
// against each channel decoded through its own overlap and then mixed in
// double precision: the same to a few Q12 units (4096 to the LSB), and the
// same 16-bit PCM but for the rounding of values within those units of a
// half step.
TEST(Synthesis, MixBeforeOverlapAddIsTheMixOfTheChannelsDecodes) {
    constexpr int kChannels = 3;
    const int seqs[kChannels][8] = {
        {ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE, EIGHT_SHORT_SEQUENCE, LONG_STOP_SEQUENCE,
         ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE},
        {EIGHT_SHORT_SEQUENCE, LONG_STOP_SEQUENCE, ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE,
         LONG_STOP_SEQUENCE, LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE},
        {ONLY_LONG_SEQUENCE, ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE, LONG_STOP_SEQUENCE, ONLY_LONG_SEQUENCE,
         LONG_START_SEQUENCE, EIGHT_SHORT_SEQUENCE, LONG_STOP_SEQUENCE}};
    const int shapes[kChannels][8] = {{0, 1, 1, 0, 0, 1, 0, 0}, {1, 1, 0, 0, 1, 0, 1, 1}, {0, 0, 1, 1, 1, 0, 0, 1}};
    // Left and right gains (Q30) of a centre-like, a left and a negated channel.
    const int32_t gains[kChannels][2] = {{303700050, 303700050}, {429496730, 0}, {-214748365, 322122547}};
    std::vector<int32_t> head(2048, 0), tail(2048, 0), overlap(kChannels * 1024, 0);
    uint16_t own_shape[kChannels][2] = {}, mix_shape[kChannels][2] = {};
    std::mt19937 rng(11);
    int64_t worst_q12 = 0;
    int pcm_differ = 0;
    for (int b = 0; b < 8; ++b) {
        std::vector<double> want(2048, 0.0);
        for (int c = 0; c < kChannels; ++c) {
            const uint8_t seq = static_cast<uint8_t>(seqs[c][b]);
            std::vector<int32_t> coef(1024);
            for (int k = 0; k < 1024; ++k) {
                const int line = seq == EIGHT_SHORT_SEQUENCE ? k % 128 : k;
                const double amp = (seq == EIGHT_SHORT_SEQUENCE ? 4.0e6 : 3.2e7) / (1 + line / 8.0);
                coef[static_cast<size_t>(k)] = static_cast<int32_t>(std::normal_distribution<double>(0, amp)(rng));
            }
            std::vector<int32_t> copy = coef, time(1024);
            own_shape[c][0] = mix_shape[c][0] = static_cast<uint16_t>(shapes[c][b]);
            uint16_t first = 0;
            PcmOut out{nullptr, 0, false};
            out.time = time.data();
            synthesise_channel(&first, seq, own_shape[c], coef.data(), &overlap[static_cast<size_t>(1024 * c)], out);
            for (int n = 0; n < 1024; ++n)
                for (int s = 0; s < 2; ++s)
                    want[static_cast<size_t>(2 * n + s)] += time[static_cast<size_t>(n)] * (gains[c][s] / 1073741824.0);
            const MixOut mix{{head.data(), head.data() + 1024}, {tail.data(), tail.data() + 1024}, {gains[c][0], gains[c][1]}};
            synthesise_channel_mix(seq, mix_shape[c], copy.data(), mix);
            EXPECT_EQ(mix_shape[c][1], shapes[c][b]);
        }
        for (int n = 0; n < 1024; ++n) {
            for (int s = 0; s < 2; ++s) {
                const int32_t got = head[static_cast<size_t>(1024 * s + n)];
                const double w = want[static_cast<size_t>(2 * n + s)];
                worst_q12 = std::max<int64_t>(worst_q12, std::llabs(got - std::llround(w)));
                if (q12_to_pcm16(got) != std::lround(std::min(32767.0, std::max(-32768.0, w / 4096.0)))) ++pcm_differ;
            }
        }
        // The tails become the next block's heads.
        head = tail;
        std::fill(tail.begin(), tail.end(), 0);
    }
    EXPECT_LE(worst_q12, 2 * kChannels);
    EXPECT_LE(pcm_differ, 8) << "of " << 8 * 2048 << " samples";
}
#endif  // the compact arithmetic does not mix

}  // namespace
