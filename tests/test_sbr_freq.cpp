// The integer SBR frequency tables against the real-number formulas for
// every header and SBR output rate; the generated tables against their data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "sbr/freq.h"
#include "sbr_test_util.h"
#include "tables/sbr_tables.h"

namespace {

using Vec = std::vector<int>;

int nint(double x) { return static_cast<int>(std::floor(x + 0.5)); }

// The reference: the formulas in double precision, with the same checks.
struct Ref {
    int status = SBR_FREQ_OK;
    int k0 = 0, k2 = 0, kx = 0, m = 0, nq = 0;
    Vec master, high, low, noise, lim, patch_num, patch_start;
};

Vec dk_vec(int n, int a, int b) {
    Vec dk(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k)
        dk[static_cast<size_t>(k)] = nint(a * std::pow(double(b) / a, double(k + 1) / n)) -
                                     nint(a * std::pow(double(b) / a, double(k) / n));
    std::sort(dk.begin(), dk.end());
    return dk;
}

bool ref_master(int fs, const SbrFreqHeader& h, Ref& r) {
    const double x = fs < 32000 ? 3000 : fs < 64000 ? 4000 : 5000;
    const int start_min = nint(x * 128 / fs), stop_min = nint(2 * x * 128 / fs);
    const int cls = fs == 16000 ? 0 : fs == 22050 ? 1 : fs == 24000 ? 2 : fs == 32000 ? 3 : fs <= 64000 ? 4 : 5;
    r.k0 = start_min + sbr_start_offsets[cls][h.start_freq];
    if (h.stop_freq < 14) {
        const Vec d = dk_vec(13, stop_min, 64);
        r.k2 = stop_min;
        for (int p = 0; p < h.stop_freq; ++p) r.k2 += d[size_t(p)];
    } else {
        r.k2 = (h.stop_freq == 14 ? 2 : 3) * r.k0;
    }
    r.k2 = std::min(64, r.k2);
    const int limit = fs <= 32000 ? 48 : fs == 44100 ? 35 : 32;
    if (r.k2 <= r.k0 || r.k2 - r.k0 > limit) return r.status = SBR_FREQ_BAD_RANGE, false;
    const int k0 = r.k0, k2 = r.k2;
    Vec dk;
    if (h.freq_scale == 0) {
        const int d = h.alter_scale ? 2 : 1;
        const int n = h.alter_scale ? 2 * nint((k2 - k0) / 4.0) : 2 * ((k2 - k0) / 2);
        if (n < 1) return r.status = SBR_FREQ_BAD_MASTER, false;
        dk.assign(size_t(n), d);
        int diff = k2 - (k0 + n * d);
        const int incr = diff < 0 ? 1 : -1;
        for (int k = diff < 0 ? 0 : n - 1; diff != 0; k += incr, diff += incr) dk[size_t(k)] -= incr;
    } else {
        const double bands = (h.freq_scale == 1 ? 12 : h.freq_scale == 2 ? 10 : 8);
        const double warp = h.alter_scale ? 1.3 : 1.0;
        const bool two = double(k2) / k0 > 2.2449;
        const int k1 = two ? 2 * k0 : k2;
        const int n0 = 2 * nint(bands * std::log(double(k1) / k0) / (2 * std::log(2.0)));
        if (n0 < 1) return r.status = SBR_FREQ_BAD_MASTER, false;
        dk = dk_vec(n0, k0, k1);
        if (two) {
            const int n1 = 2 * nint(bands * std::log(double(k2) / k1) / (2 * std::log(2.0) * warp));
            if (n1 < 1) return r.status = SBR_FREQ_BAD_MASTER, false;
            Vec dk1 = dk_vec(n1, k1, k2);
            if (dk1[0] < dk.back()) {
                const int change = std::min(dk.back() - dk1[0], (dk1.back() - dk1[0]) / 2);
                dk1[0] += change;
                dk1.back() -= change;
                std::sort(dk1.begin(), dk1.end());
            }
            dk.insert(dk.end(), dk1.begin(), dk1.end());
        }
    }
    r.master = {k0};
    for (int d : dk) {
        if (d < 1) return r.status = SBR_FREQ_BAD_MASTER, false;
        r.master.push_back(r.master.back() + d);
    }
    return true;
}

bool in(const Vec& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

void ref_bands(int fs, const SbrFreqHeader& h, Ref& r) {
    const int n_master = int(r.master.size()) - 1;
    if (h.xover_band >= n_master) return void(r.status = SBR_FREQ_BAD_XOVER);
    r.high.assign(r.master.begin() + h.xover_band, r.master.end());
    const int n_high = n_master - h.xover_band, n_low = n_high / 2 + n_high % 2;
    r.kx = r.high[0];
    r.m = r.high.back() - r.kx;
    if (r.kx > 32) return void(r.status = SBR_FREQ_BAD_XOVER);
    r.low = {r.high[0]};
    for (int k = 1; k <= n_low; ++k) r.low.push_back(r.high[size_t(2 * k - n_high % 2)]);
    r.nq = std::max(1, nint(h.noise_bands * std::log(double(r.k2) / r.kx) / std::log(2.0)));
    if (r.nq > 5) return void(r.status = SBR_FREQ_BAD_NOISE);
    r.noise = {r.low[0]};
    for (int k = 1, i = 0; k <= r.nq; ++k) {
        i += (n_low - i) / (r.nq + 1 - k);
        r.noise.push_back(r.low[size_t(i)]);
    }
    // Patches.
    const int k0 = r.k0, kx = r.kx, goal = nint(2.048e6 / fs);
    int msb = k0, usb = kx, k = n_master, sb = 0;
    if (goal < kx + r.m) {
        k = 0;
        for (size_t i = 0; r.master[i] < goal; ++i) k = int(i) + 1;
    }
    for (int round = 0; sb != kx + r.m; ++round) {
        if (round > 20) return void(r.status = SBR_FREQ_BAD_PATCH);
        int j = k + 1, odd;
        do {
            sb = r.master[size_t(--j)];
            odd = (sb - 2 + k0) % 2;
        } while (sb > k0 - 1 + msb - odd);
        const int num = std::max(sb - usb, 0);
        if (num > 0) {
            r.patch_num.push_back(num);
            r.patch_start.push_back(k0 - odd - num);
            usb = msb = sb;
        } else {
            msb = kx;
        }
        if (r.master[size_t(k)] - sb < 3) k = n_master;
    }
    if (r.patch_num.size() > 1 && r.patch_num.back() < 3) r.patch_num.pop_back(), r.patch_start.pop_back();
    if (r.patch_num.size() > 5) return void(r.status = SBR_FREQ_BAD_PATCH);
    // Limiter bands.
    if (h.limiter_bands == 0) {
        r.lim = {r.low[0], r.low.back()};
        return;
    }
    Vec borders = {kx};
    for (int n : r.patch_num) borders.push_back(borders.back() + n);
    r.lim = r.low;
    r.lim.insert(r.lim.end(), borders.begin() + 1, borders.end() - 1);
    std::sort(r.lim.begin(), r.lim.end());
    const double per_octave = h.limiter_bands == 1 ? 1.2 : h.limiter_bands == 2 ? 2 : 3;
    for (size_t i = 1; i < r.lim.size();) {
        const double octaves = std::log(double(r.lim[i]) / r.lim[i - 1]) / std::log(2.0);
        if (octaves * per_octave >= 0.49) {
            ++i;
        } else if (r.lim[i] != r.lim[i - 1] && in(borders, r.lim[i])) {
            if (in(borders, r.lim[i - 1]))
                ++i;
            else
                r.lim.erase(r.lim.begin() + long(i) - 1);
        } else {
            r.lim.erase(r.lim.begin() + long(i));
        }
    }
}

Vec vec(const uint8_t* p, int n) { return Vec(p, p + n); }

const int kRates[] = {16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000};

// Every header of every rate: status and every table.
TEST(SbrFreq, EveryHeaderMatchesRealNumberFormulas) {
    for (int fs : kRates) {
        int valid = 0;
        SbrFreqHeader h{};
        for (int code = 0; code < 16 * 16 * 4 * 2; ++code) {
            h.start_freq = uint8_t(code & 15), h.stop_freq = uint8_t(code >> 4 & 15);
            h.freq_scale = uint8_t(code >> 8 & 3), h.alter_scale = uint8_t(code >> 10 & 1);
            Ref rm;
            const bool ok = ref_master(fs, h, rm);
            SbrFreqTables t;
            const SbrFreqStatus s = sbr_derive_master(h, fs, &t);
            SCOPED_TRACE(testing::Message() << fs << " Hz, header " << code);
            ASSERT_EQ(s, rm.status);
            ASSERT_EQ(t.k0, rm.k0);
            ASSERT_EQ(t.k2, rm.k2);
            if (!ok) continue;
            ASSERT_EQ(vec(t.f_master, t.n_master + 1), rm.master);
            for (int rest = 0; rest < 8 * 4 * 4; ++rest) {
                h.xover_band = uint8_t(rest & 7), h.noise_bands = uint8_t(rest >> 3 & 3);
                h.limiter_bands = uint8_t(rest >> 5 & 3);
                Ref r = rm;
                ref_bands(fs, h, r);
                SbrFreqTables u = t;
                ASSERT_EQ(sbr_derive_band_tables(h, fs, &u), r.status) << "rest " << rest;
                if (r.status != SBR_FREQ_OK) continue;
                ++valid;
                ASSERT_EQ(u.kx, r.kx);
                ASSERT_EQ(u.m, r.m);
                ASSERT_EQ(vec(u.f_high, u.n_high + 1), r.high);
                ASSERT_EQ(vec(u.f_low, u.n_low + 1), r.low);
                ASSERT_EQ(vec(u.f_noise, u.n_q + 1), r.noise);
                ASSERT_EQ(vec(u.patch_num_subbands, u.num_patches), r.patch_num);
                ASSERT_EQ(vec(u.patch_start_subband, u.num_patches), r.patch_start);
                ASSERT_EQ(vec(u.f_lim, u.n_lim + 1), r.lim) << "rest " << rest;
                if (code % 97 == 0 && rest % 13 == 0) {  // the one-call form agrees
                    SbrFreqTables w;
                    ASSERT_EQ(sbr_derive_freq_tables(h, fs, &w), SBR_FREQ_OK);
                    ASSERT_EQ(vec(w.f_lim, w.n_lim + 1), r.lim);
                }
            }
        }
        EXPECT_GT(valid, 10000) << fs;
    }
}

TEST(SbrFreq, RejectsFieldsAndRates) {
    SbrFreqTables t;
    const SbrFreqHeader good{5, 9, 2, 1, 0, 2, 2};
    EXPECT_EQ(sbr_derive_freq_tables(good, 44100, &t), SBR_FREQ_OK);
    for (int fs : {0, 8000, 11025, 12000, 44000, 128000, 192000})
        EXPECT_EQ(sbr_derive_freq_tables(good, fs, &t), SBR_FREQ_BAD_RATE) << fs;
    for (auto field : {&SbrFreqHeader::start_freq, &SbrFreqHeader::stop_freq, &SbrFreqHeader::freq_scale,
                       &SbrFreqHeader::alter_scale, &SbrFreqHeader::xover_band, &SbrFreqHeader::noise_bands,
                       &SbrFreqHeader::limiter_bands}) {
        SbrFreqHeader h = good;
        h.*field = 255;
        EXPECT_EQ(sbr_derive_freq_tables(h, 44100, &t), SBR_FREQ_BAD_FIELD);
    }
}

TEST(SbrFreq, Log2IsWithinItsBound) {
    for (uint32_t n = 1; n <= 70000; n += (n < 1024 ? 1 : 997)) {
        const double want = std::log2(double(n)) * (1 << 24);
        EXPECT_LE(std::fabs(sbr_log2_q24(n) - want), 4.0) << n;
    }
}

// Every codeword walks its tree to its value in exactly its bits; every
// node is reached, every inner index stays in the tree.
TEST(SbrTables, HuffmanTreesDecodeEveryCodeword) {
    const char* names[SBR_HUFF_COUNT] = {"t_huffman_env_1_5dB", "f_huffman_env_1_5dB", "t_huffman_env_bal_1_5dB",
                                         "f_huffman_env_bal_1_5dB", "t_huffman_env_3_0dB", "f_huffman_env_3_0dB",
                                         "t_huffman_env_bal_3_0dB", "f_huffman_env_bal_3_0dB",
                                         "t_huffman_noise_3_0dB", "t_huffman_noise_bal_3_0dB"};
    const auto rows = sbr_data("huffman.tsv");
    ASSERT_EQ(rows.size(), 604u);
    for (int id = 0; id < SBR_HUFF_COUNT; ++id) {
        const SbrHuffTable& ht = sbr_huff[id];
        int count = 0, longest = 0;
        std::vector<int> seen(size_t(ht.nodes), 0);
        for (const auto& r : rows) {
            if (r[0] != names[id]) continue;
            ++count;
            const std::string& bits = r[5];
            longest = std::max(longest, int(bits.size()));
            int node = 0;
            size_t used = 0;
            for (;;) {
                ASSERT_LT(used, bits.size()) << r[0] << " " << bits;
                const int at = node + (bits[used++] - '0');
                ASSERT_TRUE(at >= 0 && at < ht.nodes);
                seen[size_t(at)] = 1;
                const int v = ht.tree[at];
                if (v < 0) {
                    EXPECT_EQ(v + kSbrHuffLeafBias, std::stoi(r[2])) << bits;
                    break;
                }
                ASSERT_TRUE(v % 2 == 0 && v > at && v < ht.nodes);
                node = v;
            }
            EXPECT_EQ(used, bits.size()) << bits;
        }
        EXPECT_EQ(ht.nodes, 2 * (count - 1)) << names[id];  // a complete code
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), ht.nodes) << names[id];
        EXPECT_EQ(ht.max_len, longest);
        EXPECT_EQ(ht.lav, (count - 1) / 2);
    }
}

TEST(SbrTables, NoiseRatesAndConstantsMatchTheirData) {
    const auto v = sbr_data("noise_table.tsv");
    ASSERT_EQ(v.size(), 512u);
    for (size_t i = 0; i < 512; ++i)
        for (int c = 0; c < 2; ++c)
            EXPECT_NEAR(sbr_noise_v[i][c], std::stod(v[i][size_t(c) + 1]) * 2147483648.0, 0.5) << i;
    for (int i = 0; i < kSbrRateCount; ++i) {
        const SbrRateParams& p = sbr_rate_params[i];
        EXPECT_EQ(sbr_rate_index(p.fs), i);
        EXPECT_EQ(p.goal_sb, nint(2.048e6 / p.fs));
    }
    double sum = 0;
    for (int32_t x : sbr_h_smooth) sum += x;
    EXPECT_NEAR(sum, 2147483648.0, 2);
    const double lim_gain[4] = {0.70795, 1.0, 1.41254, 1e10};  // amplitudes
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(sbr_lim_gain_log2[i], std::log2(lim_gain[i] * lim_gain[i]) * (1 << 24), 0.5);
}

}  // namespace
