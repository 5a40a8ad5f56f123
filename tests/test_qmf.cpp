// The SBR QMF banks against double-precision banks (shifted delay lines,
// the window read from the data file), slot after slot, on noise, full-scale, impulse, sine and
// silent input; errors in 16-bit PCM steps. Then the pairs: analysis and
// 32-band synthesis give back the input 289 samples later, the 64-band
// synthesis the input at twice the rate, and the 32-band bank the 64-band
// bank's even samples.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dsp/qmf.h"
#include "sbr_test_util.h"

namespace {

using cd = std::complex<double>;
using Vec = std::vector<double>;
constexpr double kStep = 4096;  // Q12 per PCM step
constexpr double kSub = 16;     // subband values per unit

const Vec& window() {
    static const Vec c = [] {
        Vec w;
        for (const auto& r : sbr_data("qmf_window.tsv")) w.push_back(std::stod(r[1]));
        return w;
    }();
    return c;
}

// The standard's analysis: 32 samples (PCM steps) in, 32 subband values out.
struct RefAnalysis {
    Vec x = Vec(320, 0.0);
    std::vector<cd> slot(const double* in) {
        for (int n = 319; n >= 32; --n) x[n] = x[n - 32];
        for (int n = 0; n < 32; ++n) x[n] = in[31 - n];
        double u[64] = {};
        for (int n = 0; n < 320; ++n) u[n % 64] += x[n] * window()[2 * n];
        std::vector<cd> X(32);
        for (int k = 0; k < 32; ++k)
            for (int n = 0; n < 64; ++n) X[k] += u[n] * 2.0 * std::polar(1.0, M_PI * (k + 0.5) * (2 * n - 0.5) / 64);
        return X;
    }
};

// The standard's synthesis of M = 64 or 32 bands (offset 255 or 127.5).
struct RefSynthesis {
    int M;
    Vec v = Vec(20 * M, 0.0);
    Vec slot(const std::vector<cd>& X) {
        for (int n = 20 * M - 1; n >= 2 * M; --n) v[n] = v[n - 2 * M];
        const double o = M == 64 ? 255 : 127.5;
        for (int n = 0; n < 2 * M; ++n) {
            double s = 0;
            for (int k = 0; k < M; ++k) s += (X[k] * std::polar(1.0, M_PI * (k + 0.5) * (2 * n - o) / (2 * M))).real();
            v[n] = s / 64;
        }
        Vec out(M, 0.0);
        for (int n = 0; n < 5; ++n)
            for (int k = 0; k < M; ++k) {
                out[k] += v[4 * M * n + k] * window()[(64 / M) * (2 * M * n + k)];
                out[k] += v[4 * M * n + 3 * M + k] * window()[(64 / M) * (2 * M * n + M + k)];
            }
        return out;
    }
};

struct Error {
    double max = 0, sq = 0;
    int n = 0;
    void add(double e) {
        max = std::fmax(max, std::fabs(e));
        sq += e * e;
        ++n;
    }
    double rms() const { return n ? std::sqrt(sq / n) : 0; }
};

// Signals of `slots` x 32 Q12 samples.
using Signal = std::function<int32_t(int)>;
std::vector<std::pair<const char*, Signal>> signals() {
    auto noise = [](int i) { return static_cast<int32_t>(std::mt19937(static_cast<unsigned>(i))() >> 4) - (1 << 27); };
    return {{"noise", noise},
            {"full-scale square", [](int i) { return (i / 37) % 2 ? 32767 * 4096 : -32768 * 4096; }},
            {"impulse", [](int i) { return i == 100 ? 32767 * 4096 : 0; }},
            {"sine", [](int i) { return static_cast<int32_t>(std::lround(32767 * 4096 * std::sin(0.0731 * i))); }},
            {"16x noise", [noise](int i) { return noise(i) * 16 + (i & 1); }},
            {"silence", [](int) { return 0; }}};
}

constexpr int kSlots = 48;
// The analysis gives its subband samples 2^kQmfAnalysisGain times their
// value; at_value rounds one back, as SBR does before the synthesis.
constexpr double kGain = 1 << kQmfAnalysisGain;
int32_t at_value(int32_t v) {
    return static_cast<int32_t>((static_cast<int64_t>(v) + (1 << (kQmfAnalysisGain - 1))) >> kQmfAnalysisGain);
}
constexpr double kLimit = 524000;  // below the Q12 output's saturation

TEST(Qmf, AnalysisAndSynthesisMatchDoublePrecision) {
    ASSERT_EQ(window().size(), 640u);
    for (const auto& [name, sig] : signals()) {
        // Errors grow with the level: 16 x full scale takes 16 x the bounds.
        const double f = name == std::string("16x noise") ? 16 : 1;
        QmfAnalysisState an{};
        QmfSynthesis64State s64{};
        QmfSynthesis32State s32{};
        RefAnalysis ra;
        RefSynthesis r64{64}, r32{32};
        Error ea, e64, e32;
        for (int l = 0; l < kSlots; ++l) {
            int32_t in[32], re[64] = {}, im[64] = {}, out64[64], out32[32];
            double din[32];
            for (int n = 0; n < 32; ++n) din[n] = (in[n] = sig(32 * l + n)) / kStep;
            qmf_analysis32(&an, in, re, im);
            std::vector<cd> X = ra.slot(din);
            // The analysis's output, at its value (rounded), goes on through
            // both synthesis banks and their references; the upper bands hold
            // the lower ones' mirror (but at 16 x full scale, where it would
            // leave the range).
            for (int k = 0; k < 32; ++k) {
                ea.add(re[k] / (kSub * kGain) - X[k].real());
                ea.add(im[k] / (kSub * kGain) - X[k].imag());
                re[k] = at_value(re[k]), im[k] = at_value(im[k]);
                if (f == 1) re[63 - k] = re[k] / 2, im[63 - k] = -im[k] / 2;
            }
            std::vector<cd> Xf(64);
            for (int k = 0; k < 64; ++k) Xf[k] = cd(re[k], im[k]) / kSub;
            qmf_synthesis64(&s64, re, im, out64);
            qmf_synthesis32(&s32, re, im, out32);
            const Vec y64 = r64.slot(Xf), y32 = r32.slot(Xf);
            for (int k = 0; k < 64; ++k)
                if (std::fabs(y64[k]) < kLimit) e64.add(out64[k] / kStep - y64[k]);
            for (int k = 0; k < 32; ++k)
                if (std::fabs(y32[k]) < kLimit) e32.add(out32[k] / kStep - y32[k]);
        }
        // The analysis's output is rounded to 1/128 (to 1/16, its rms
        // error was 0.02): what is left is its transform's 24 bits.
        EXPECT_LT(ea.rms(), 0.01 * f) << name;
        EXPECT_LT(ea.max, 0.04 * f) << name;
        EXPECT_LT(e64.rms(), 0.012 * f) << name;
        EXPECT_LT(e64.max, 0.05 * f) << name;
        EXPECT_LT(e32.rms(), 0.005 * f) << name;
        EXPECT_LT(e32.max, 0.02 * f) << name;
        if (name == std::string("silence")) EXPECT_EQ(e64.max + e32.max + ea.max, 0.0);
    }
}

TEST(Qmf, AnalysisThenSynthesisReconstructs) {
    for (const auto& [name, sig] : signals()) {
        const double f = name == std::string("16x noise") ? 16 : 1;
        QmfAnalysisState an{};
        QmfSynthesis64State s64{};
        QmfSynthesis32State s32{};
        std::vector<int32_t> y32, y64;
        for (int l = 0; l < kSlots; ++l) {
            int32_t in[32], re[64] = {}, im[64] = {}, out[64];
            for (int n = 0; n < 32; ++n) in[n] = sig(32 * l + n);
            qmf_analysis32(&an, in, re, im);
            for (int k = 0; k < 32; ++k) re[k] = at_value(re[k]), im[k] = at_value(im[k]);
            qmf_synthesis32(&s32, re, im, out);
            y32.insert(y32.end(), out, out + 32);
            qmf_synthesis64(&s64, re, im, out);
            y64.insert(y64.end(), out, out + 64);
        }
        // The 32-band bank is the 64-band one at the core's rate.
        Error even;
        for (size_t i = 0; i < y32.size(); ++i) even.add((y32[i] - y64[2 * i]) / kStep);
        EXPECT_LT(even.max, 0.05 * f) << name;
        // Near-perfect reconstruction: the window's aliasing leaves -58 to
        // -64 dB of the signal.
        Error rec;
        double power = 0;
        for (int i = 289 + 320; i < 32 * kSlots; ++i) {
            rec.add((y32[i] - sig(i - 289)) / kStep);
            power += std::pow(sig(i - 289) / kStep, 2);
        }
        EXPECT_LE(rec.rms(), 2e-3 * std::sqrt(power / rec.n) + 0.01) << name;
    }
    // A low sine through the 64-band bank: the same sine at twice the rate,
    // 578 samples later.
    QmfAnalysisState an{};
    QmfSynthesis64State s64{};
    Error e;
    for (int l = 0; l < kSlots; ++l) {
        int32_t in[32], re[64] = {}, im[64] = {}, out[64];
        for (int n = 0; n < 32; ++n) in[n] = static_cast<int32_t>(std::lround(30000 * kStep * std::sin(0.1 * (32 * l + n))));
        qmf_analysis32(&an, in, re, im);
        for (int k = 0; k < 32; ++k) re[k] = at_value(re[k]), im[k] = at_value(im[k]);
        qmf_synthesis64(&s64, re, im, out);
        for (int n = 0; n < 64; ++n)
            if (64 * l + n >= 1200) e.add(out[n] / kStep - 30000 * std::sin(0.1 * (64 * l + n - 578) / 2));
    }
    EXPECT_LT(e.rms(), 30000 * 1e-3);
}

}  // namespace
