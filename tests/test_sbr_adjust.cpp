// The SBR envelope adjuster against a double-precision one written from the
// HF adjustment equations: random X_high and random
// frames (every grid class, transients, noise floors, sinusoids, limiter
// settings, interpolation and smoothing on and off) over consecutive frames
// with the state carried, and resets. Errors are in our QMF units (16 per
// unit of the standard's X in 16-bit PCM steps).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "sbr/adjust.h"
#include "tables/sbr_tables.h"

namespace {

// The double-precision adjuster: G_temp and Q_temp of the last 4 slots kept
// as they are (newest first).
struct RefState {
    double g[4][64] = {}, q[4][64] = {};
    bool have = false, l_a_prev_zero = false;
    int noise_index = 0, sine_index = 0;
    bool sine_prev[64] = {};
};

constexpr double kEps = 256, kEps0 = 256e-12;
constexpr double kHSmooth[5] = {0.33333333333333, 0.30150283239582, 0.21816949906249, 0.11516383427084,
                                0.03183050093751};
constexpr double kLimGain[4] = {0.70795, 1.0, 1.41254, 1e10};

void ref_adjust(RefState& st, const SbrHeader& h, const SbrFreqTables& t, const SbrChannelFrame& f,
                const SbrDequant& d, double (*re)[64], double (*im)[64], bool reset) {
    const SbrGrid& g = f.grid;
    const int kx = t.kx, M = t.m, le = g.num_env, l_a = g.l_a, l_a_prev = st.l_a_prev_zero ? 0 : -1;
    if (reset) {
        st.have = false;
        for (bool& b : st.sine_prev) b = false;
    }
    bool sine_last[64] = {};
    for (int l = 0; l < le; ++l) {
        const uint8_t* F = g.freq_res[l] ? t.f_high : t.f_low;
        const int n = g.freq_res[l] ? t.n_high : t.n_low;
        const int r0 = 2 * g.t_env[l] + 2, r1 = 2 * g.t_env[l + 1] + 2;
        const bool delta0 = l == l_a || l == l_a_prev;
        const int qe = g.num_noise > 1 && g.t_env[l] >= g.t_noise[1] ? 1 : 0;
        double eo[64] = {}, ec[64] = {}, qo[64] = {}, G[64], Q[64], S[64] = {};
        bool si[64] = {}, sm[64] = {};
        for (int i = 0; i < n; ++i) {
            double band = 0;
            bool any = false;
            for (int k = F[i]; k < F[i + 1]; ++k) {
                double e = 0;
                for (int r = r0; r < r1; ++r) e += re[r][k] * re[r][k] + im[r][k] * im[r][k];
                ec[k] = e / (r1 - r0);
                band += e;
                eo[k] = std::exp2(d.env_log2[l][i] / 65536.0);
            }
            for (int k = F[i]; k < F[i + 1]; ++k) {
                if (!h.interpol_freq) ec[k] = band / ((r1 - r0) * (F[i + 1] - F[i]));
                for (int j = 0; j < t.n_high; ++j)
                    if (f.add_harmonic[j] && k == (t.f_high[j] + t.f_high[j + 1]) / 2)
                        si[k] = l >= l_a || st.sine_prev[k];
                any = any || si[k];
            }
            for (int k = F[i]; k < F[i + 1]; ++k) sm[k] = any;
        }
        for (int i = 0; i < t.n_q; ++i)
            for (int k = t.f_noise[i]; k < t.f_noise[i + 1]; ++k) qo[k] = std::exp2(d.noise_log2[qe][i] / 65536.0);
        for (int k = kx; k < kx + M; ++k) {
            Q[k] = std::sqrt(eo[k] * qo[k] / (1 + qo[k]));
            S[k] = si[k] ? std::sqrt(eo[k] / (1 + qo[k])) : 0;
            G[k] = sm[k] ? std::sqrt(eo[k] / (kEps + ec[k]) * qo[k] / (1 + qo[k]))
                         : std::sqrt(eo[k] / ((kEps + ec[k]) * (1 + (delta0 ? 0 : qo[k]))));
            if (l == le - 1) sine_last[k] = si[k];
        }
        for (int b = 0; b < t.n_lim; ++b) {
            double so = kEps0, sc = kEps0;
            for (int k = t.f_lim[b]; k < t.f_lim[b + 1]; ++k) so += eo[k], sc += ec[k];
            const double gmax = std::min(std::sqrt(so / sc) * kLimGain[h.limiter_gains], 1e5);
            double den = kEps0;
            for (int k = t.f_lim[b]; k < t.f_lim[b + 1]; ++k) {
                Q[k] = std::min(Q[k], Q[k] * gmax / G[k]);
                G[k] = std::min(G[k], gmax);
                den += ec[k] * G[k] * G[k] + S[k] * S[k] + (S[k] == 0 && !delta0 ? Q[k] * Q[k] : 0);
            }
            const double boost = std::min(std::sqrt(so / den), 1.584893192);
            for (int k = t.f_lim[b]; k < t.f_lim[b + 1]; ++k) G[k] *= boost, Q[k] *= boost, S[k] *= boost;
        }
        if (!st.have)
            for (int j = 0; j < 4; ++j)
                for (int k = kx; k < kx + M; ++k) st.g[j][k] = G[k], st.q[j][k] = Q[k];
        st.have = true;
        for (int r = r0; r < r1; ++r) {
            const int sine_index = st.sine_index;  // this slot's phase; the next slot's follows
            st.sine_index = (st.sine_index + 1) & 3;
            for (int k = kx; k < kx + M; ++k) {
                double gf = G[k], qf = Q[k];
                if (!h.smoothing_mode && !delta0) {
                    gf = kHSmooth[0] * G[k], qf = kHSmooth[0] * Q[k];
                    for (int j = 1; j <= 4; ++j) gf += kHSmooth[j] * st.g[j - 1][k], qf += kHSmooth[j] * st.q[j - 1][k];
                }
                st.noise_index = (st.noise_index + 1) & 511;
                re[r][k] *= gf;
                im[r][k] *= gf;
                if (S[k] != 0) {
                    re[r][k] += S[k] * sbr_phi_re[sine_index];
                    im[r][k] += S[k] * ((k & 1) ? -1 : 1) * sbr_phi_im[sine_index];
                } else if (!delta0) {
                    re[r][k] += qf * sbr_noise_v[st.noise_index][0] / 2147483648.0;
                    im[r][k] += qf * sbr_noise_v[st.noise_index][1] / 2147483648.0;
                }
            }
            for (int k = kx; k < kx + M; ++k) {
                for (int j = 3; j > 0; --j) st.g[j][k] = st.g[j - 1][k], st.q[j][k] = st.q[j - 1][k];
                st.g[0][k] = G[k], st.q[0][k] = Q[k];
            }
        }
    }
    for (int k = 0; k < 64; ++k) st.sine_prev[k] = sine_last[k];
    st.l_a_prev_zero = l_a == le;
}

// A random frame continuing one that ended at SBR slot 16 + start.
SbrChannelFrame random_frame(std::mt19937& rng, const SbrFreqTables& t, int cls, int start) {
    auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    SbrChannelFrame f{};
    SbrGrid& g = f.grid;
    g.frame_class = static_cast<uint8_t>(cls);
    const int end = (cls == SBR_FIXVAR || cls == SBR_VARVAR) ? 16 + rnd(0, 3) : 16;
    if (cls == SBR_FIXFIX) {
        const int n[3] = {1, 2, 4};
        g.num_env = static_cast<uint8_t>(n[rnd(0, 2)]);
        for (int l = 0; l <= g.num_env; ++l) g.t_env[l] = static_cast<uint8_t>(start + l * (16 - start) / g.num_env);
        g.t_env[g.num_env] = 16;
        g.l_a = -1;
    } else {
        g.num_env = static_cast<uint8_t>(rnd(1, std::min(5, end - start)));
        std::vector<int> b;
        for (int v = start + 1; v < end; ++v) b.push_back(v);
        std::shuffle(b.begin(), b.end(), rng);
        b.resize(static_cast<size_t>(g.num_env - 1));
        std::sort(b.begin(), b.end());
        g.t_env[0] = static_cast<uint8_t>(start);
        for (int l = 1; l < g.num_env; ++l) g.t_env[l] = static_cast<uint8_t>(b[static_cast<size_t>(l - 1)]);
        g.t_env[g.num_env] = static_cast<uint8_t>(end);
        g.l_a = static_cast<int8_t>(rnd(-1, g.num_env));
    }
    g.num_noise = g.num_env > 1 ? 2 : 1;
    g.t_noise[0] = g.t_env[0];
    g.t_noise[1] = g.t_env[g.num_noise == 2 ? rnd(1, g.num_env - 1) : 1];
    g.t_noise[g.num_noise] = g.t_env[g.num_env];
    for (int l = 0; l < g.num_env; ++l) g.freq_res[l] = static_cast<uint8_t>(rnd(0, 1));
    for (int i = 0; i < t.n_high; ++i) f.add_harmonic[i] = rnd(0, 4) == 0;
    return f;
}

struct Case {
    int fs;
    SbrFreqHeader fh;
    uint8_t limiter_gains, interpol, smoothing;
};

TEST(SbrAdjust, MatchesDoublePrecision) {
    const Case cases[] = {
        {44100, {5, 9, 2, 1, 0, 2, 2}, 2, 1, 1}, {44100, {5, 9, 2, 1, 0, 2, 2}, 1, 0, 0},
        {16000, {5, 12, 1, 1, 1, 1, 3}, 0, 1, 0}, {32000, {8, 14, 3, 1, 2, 1, 3}, 3, 0, 1},
        {22050, {0, 8, 0, 0, 0, 0, 0}, 3, 1, 0},   {24000, {10, 13, 2, 1, 3, 2, 2}, 2, 0, 0},
    };
    std::mt19937 rng(7);
    double sum_err2 = 0, sum_sig2 = 0;
    for (const Case& c : cases) {
        SbrFreqTables t{};
        ASSERT_EQ(sbr_derive_freq_tables(c.fh, c.fs, &t), SBR_FREQ_OK);
        SbrHeader h{};
        h.limiter_gains = c.limiter_gains, h.interpol_freq = c.interpol, h.smoothing_mode = c.smoothing;
        SbrAdjustState st;
        static SbrAdjustWork work;
        static SbrAdjustHistory history;
        sbr_adjust_reset(&st);
        RefState ref;
        int start = 0;
        std::uniform_real_distribution<double> u(-1, 1);
        double base[64];
        for (double& b : base) b = std::exp2(4 + 17 * (u(rng) + 1) / 2);
        for (int frame = 0; frame < 24; ++frame) {
            const bool reset = frame == 12;
            const SbrChannelFrame f = random_frame(rng, t, frame % 4, start);
            // X_high: per-subband levels from 2^4 to 2^21, varying +-3 dB from
            // frame to frame, some silent;
            // E_orig about that level +-24 dB (at most 2^46, a full-scale sine's
            // energy in one band), Q_orig from 2^-20 to 2^6.
            int32_t xr[kSbrAdjRows][64], xi[kSbrAdjRows][64];
            double yr[kSbrAdjRows][64], yi[kSbrAdjRows][64], level[64];
            for (int k = 0; k < 64; ++k) level[k] = k % 11 == 5 && frame % 3 == 0 ? 0 : base[k] * std::exp2(u(rng) / 2);
            for (int r = 0; r < kSbrAdjRows; ++r)
                for (int k = 0; k < 64; ++k) {
                    yr[r][k] = xr[r][k] = static_cast<int32_t>(std::lround(level[k] * u(rng)));
                    yi[r][k] = xi[r][k] = static_cast<int32_t>(std::lround(level[k] * u(rng)));
                }
            SbrDequant d{};
            for (int l = 0; l < f.grid.num_env; ++l)
                for (int i = 0; i < kSbrMaxMasterBands; ++i)
                    d.env_log2[l][i] = static_cast<int32_t>(std::lround(65536 * std::min(46.0, 2 * std::log2(level[(t.kx + i) & 63] + 1) - 2 + 8 * u(rng))));
            for (auto& row : d.noise_log2)
                for (int32_t& v : row) v = static_cast<int32_t>(std::lround(65536 * (-7 + 13 * u(rng))));
            ASSERT_TRUE(sbr_adjust(&st, h, t, f, d, xr, xi, reset, &work, &history));
            ref_adjust(ref, h, t, f, d, yr, yi, reset);
            double frame_err = 0, frame_max = 0;
            for (int r = 0; r < kSbrAdjRows; ++r)
                for (int k = 0; k < 64; ++k) {
                    const double er = xr[r][k] - yr[r][k], ei = xi[r][k] - yi[r][k];
                    frame_err = std::max({frame_err, std::fabs(er), std::fabs(ei)});
                    frame_max = std::max({frame_max, std::fabs(yr[r][k]), std::fabs(yi[r][k])});
                    sum_err2 += er * er + ei * ei;
                    sum_sig2 += yr[r][k] * yr[r][k] + yi[r][k] * yi[r][k];
                }
            // Three roundings of at most 1/2 and the gains' relative error.
            EXPECT_LT(frame_err, 1.5 + 1e-7 * frame_max) << "fs " << c.fs << " frame " << frame;
            start = f.grid.t_env[f.grid.num_env] - 16;
        }
    }
    EXPECT_LT(std::sqrt(sum_err2 / sum_sig2), 1e-6);
}

TEST(SbrAdjust, RefusesBadGrids) {
    SbrFreqTables t{};
    ASSERT_EQ(sbr_derive_freq_tables(SbrFreqHeader{5, 9, 2, 1, 0, 2, 2}, 44100, &t), SBR_FREQ_OK);
    SbrAdjustState st;
    sbr_adjust_reset(&st);
    int32_t re[kSbrAdjRows][64] = {}, im[kSbrAdjRows][64] = {};
    SbrAdjustWork work;
    SbrAdjustHistory history;
    SbrChannelFrame f{};
    f.grid.num_noise = 1;
    const uint8_t bad[][3] = {{1, 4, 4}, {1, 0, 20}, {1, 5, 3}, {6, 0, 16}};  // envelopes, first two borders
    for (const auto& b : bad) {
        f.grid.num_env = b[0], f.grid.t_env[0] = b[1], f.grid.t_env[1] = b[2];
        EXPECT_FALSE(sbr_adjust(&st, SbrHeader{}, t, f, SbrDequant{}, re, im, false, &work, &history)) << int(b[0]) << int(b[2]);
    }
}

}  // namespace
