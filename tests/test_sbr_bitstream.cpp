// The SBR payload reader against frames written here with the data file's
// Huffman codes (not the decoder's trees) and a model of the delta coding:
// every frame class, both amplitude resolutions, mono, coupled and
// independent pairs, time and frequency deltas across frames and resolution
// changes, CRC, extended data; then errors, and random and damaged payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bitstream_util.h"
#include "sbr/bitstream.h"
#include "sbr/sbr_decoder.h"
#include "sbr_test_util.h"
#include "tables/sbr_tables.h"

namespace {

constexpr int32_t kFs = 44100;

void put_code(BitWriter& w, const std::string& table, int value) {
    static const auto codes = [] {
        std::map<std::string, std::map<int, std::string>> m;
        for (const auto& r : sbr_data("huffman.tsv")) m[r[0]][std::stoi(r[2])] = r[5];
        return m;
    }();
    for (char ch : codes.at(table).at(value)) w.put(ch == '1', 1);
}

struct Hdr {
    int amp_res = 0, start = 5, stop = 9, xover = 0, extra1 = 0, extra2 = 0;
    int freq_scale = 2, alter_scale = 1, noise_bands = 2, lim_bands = 2, lim_gains = 2, interpol = 1, smoothing = 1;
};

void write_header(BitWriter& w, const Hdr& h) {
    w.put(h.amp_res, 1).put(h.start, 4).put(h.stop, 4).put(h.xover, 3).put(0, 2).put(h.extra1, 1).put(h.extra2, 1);
    if (h.extra1) w.put(h.freq_scale, 2).put(h.alter_scale, 1).put(h.noise_bands, 2);
    if (h.extra2) w.put(h.lim_bands, 2).put(h.lim_gains, 2).put(h.interpol, 1).put(h.smoothing, 1);
}

// Hand-worked grids: as coded (relative borders as lengths) and the borders they give.
struct GridCase {
    int cls, var0, var1;
    std::vector<int> rel0, rel1;
    int ptr;
    std::vector<int> fr, t_env, t_noise;
    int l_a;
};

const std::vector<GridCase> kGrids = {
    {SBR_FIXFIX, 0, 0, {}, {}, 0, {1}, {0, 16}, {0, 16}, -1},
    {SBR_FIXFIX, 0, 0, {}, {}, 0, {0}, {0, 16}, {0, 16}, -1},
    {SBR_FIXFIX, 0, 0, {}, {}, 0, {0, 0}, {0, 8, 16}, {0, 8, 16}, -1},
    {SBR_FIXFIX, 0, 0, {}, {}, 0, {1, 1, 1, 1}, {0, 4, 8, 12, 16}, {0, 8, 16}, -1},
    {SBR_FIXVAR, 0, 2, {}, {4, 2}, 2, {1, 0, 1}, {0, 12, 14, 18}, {0, 14, 18}, 2},
    {SBR_FIXVAR, 0, 1, {}, {}, 1, {0}, {0, 17}, {0, 17}, 1},
    {SBR_FIXVAR, 0, 3, {}, {8}, 0, {0, 1}, {0, 11, 19}, {0, 11, 19}, -1},
    {SBR_VARFIX, 1, 0, {4, 2}, {}, 3, {0, 1, 1}, {1, 5, 7, 16}, {1, 7, 16}, 2},
    {SBR_VARFIX, 1, 0, {4, 2}, {}, 0, {1, 1, 0}, {1, 5, 7, 16}, {1, 5, 16}, -1},
    {SBR_VARFIX, 3, 0, {2, 2}, {}, 1, {1, 0, 0}, {3, 5, 7, 16}, {3, 7, 16}, -1},
    {SBR_VARVAR, 2, 1, {2}, {4, 6}, 1, {1, 0, 1, 0}, {2, 4, 7, 13, 17}, {2, 13, 17}, 4},
    {SBR_VARVAR, 0, 3, {2, 4}, {2, 8}, 5, {0, 1, 0, 1, 1}, {0, 2, 6, 9, 17, 19}, {0, 2, 19}, 1},
    {SBR_VARVAR, 3, 0, {}, {}, 0, {1}, {3, 16}, {3, 16}, -1},
};

void write_grid(BitWriter& w, const GridCase& g) {
    const int n = int(g.fr.size());
    w.put(g.cls, 2);
    auto rels = [&](const std::vector<int>& r) { for (int v : r) w.put(unsigned(v - 2) / 2, 2); };
    auto vr = [&](int var, const std::vector<int>& r) { w.put(var, 2).put(unsigned(r.size()), 2), rels(r); };
    switch (g.cls) {
    case SBR_FIXFIX: w.put(n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3, 2).put(g.fr[0], 1); return;
    case SBR_FIXVAR: vr(g.var1, g.rel1); break;
    case SBR_VARFIX: vr(g.var0, g.rel0); break;
    default: w.put(g.var0, 2).put(g.var1, 2).put(unsigned(g.rel0.size()), 2).put(unsigned(g.rel1.size()), 2);
             rels(g.rel0), rels(g.rel1);
    }
    w.put(g.ptr, sbr_pointer_bits[n]);
    for (int l = 0; l < n; ++l) w.put(g.fr[size_t(g.cls == SBR_FIXVAR ? n - 1 - l : l)], 1);
}

struct ChanPlan {
    GridCase grid;
    std::vector<int> df_env, df_noise;
    bool harmonics = false;
};

ChanPlan plan(const GridCase& g, int df_env, int df_noise) {
    return {g, std::vector<int>(g.fr.size(), df_env), std::vector<int>(g.fr.size() > 1 ? 2 : 1, df_noise)};
}

// The values time-direction coding refers to, per channel, as the model sees them.
struct Model {
    SbrFreqTables t{};
    std::vector<int> env[2] = {std::vector<int>(kSbrMaxMasterBands), std::vector<int>(kSbrMaxMasterBands)};
    std::vector<int> noise[2] = {std::vector<int>(kSbrMaxNoiseBands), std::vector<int>(kSbrMaxNoiseBands)};
    int res[2] = {}, amp_res = 0;  // the last envelope's frequency resolution; the header's
    std::mt19937 rng{1};
    int rnd(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    int delta(int prev, int step) {  // small, keeping prev + step * delta in 0..127
        const int d = rnd(-3, 3);
        return prev + step * d < 0 || prev + step * d > 127 ? -d : d;
    }
    int prev_band(int k, int r, int prev_r) const {
        if (r == prev_r) return k;
        int i = 0;
        if (r) while (i + 1 < t.n_low && t.f_low[i + 1] <= t.f_high[k]) ++i;
        else while (t.f_high[i] != t.f_low[k]) ++i;
        return i;
    }
};

// Writes one channel's envelopes or noise floors; exp gets the values the reader must give.
void write_values(BitWriter& w, Model& m, int ch, bool noise, bool bal, int amp_res, const ChanPlan& c,
                  SbrChannelFrame& exp) {
    const int step = bal ? 2 : 1;
    const std::string kind = std::string(noise ? "noise_" : "env_") + (bal ? "bal_" : "") +
                             (noise || amp_res ? "3_0dB" : "1_5dB");
    const std::string f_tab = "f_huffman_env_" + kind.substr(noise ? 6 : 4), t_tab = "t_huffman_" + kind;
    const int start_bits = noise ? 5 : sbr_env_start_bits[2 * amp_res + bal];
    const std::vector<int>& df = noise ? c.df_noise : c.df_env;
    std::vector<int> prev = noise ? m.noise[ch] : m.env[ch];
    int prev_res = m.res[ch];
    for (size_t l = 0; l < df.size(); ++l) {
        const int res = noise ? 0 : c.grid.fr[l], n = noise ? m.t.n_q : res ? m.t.n_high : m.t.n_low;
        std::vector<int> v(size_t(n), 0);
        for (int k = 0; k < n; ++k) {
            const int p = df[l] ? prev[size_t(noise ? k : m.prev_band(k, res, prev_res))]
                          : k ? v[size_t(k - 1)] : 0;
            if (!df[l] && !k) {
                const int s = m.rnd(0, std::min((1 << start_bits) - 1, noise ? 15 : 50));
                w.put(s, start_bits), v[0] = step * s;
                continue;
            }
            const int d = m.delta(p, step);
            put_code(w, df[l] ? t_tab : f_tab, d), v[size_t(k)] = p + step * d;
        }
        for (int k = 0; k < n; ++k) (noise ? exp.noise[l][k] : exp.env[l][k]) = int8_t(v[size_t(k)]);
        prev = v, prev_res = res;
    }
    (noise ? m.noise[ch] : m.env[ch]) = prev;
    if (!noise) m.res[ch] = prev_res;
}

struct Frame {
    bool crc = false, extra = false, coupling = false;
    const Hdr* hdr = nullptr;
    ChanPlan ch[2];
    int ext_id = -1, ext_bytes = 0;  // extended data
};

// Writes a frame for nch channels; exp gets what the reader must return.
std::vector<uint8_t> build(const Frame& f, int nch, Model& m, SbrFrameData& exp, uint32_t* bits) {
    BitWriter w;
    exp = SbrFrameData{};
    if (f.crc) w.put(0x2A5, 10);
    w.put(f.hdr != nullptr, 1);
    if (f.hdr) write_header(w, *f.hdr), m.amp_res = f.hdr->amp_res;
    w.put(f.extra, 1);
    if (f.extra) w.put(0xAB, nch == 1 ? 4 : 8);
    const bool coupled = nch == 2 && f.coupling;
    if (nch == 2) w.put(coupled, 1);
    const int grids = coupled ? 1 : nch;
    ChanPlan cs[2] = {f.ch[0], f.ch[1]};
    if (coupled)  // the first channel's grid
        cs[1].grid = cs[0].grid, cs[1].df_env.resize(cs[0].df_env.size()), cs[1].df_noise.resize(cs[0].df_noise.size());
    for (int c = 0; c < nch; ++c) {
        const GridCase& g = cs[c].grid;
        SbrChannelFrame& e = exp.ch[c];
        e.grid.frame_class = uint8_t(g.cls);
        e.grid.num_env = uint8_t(g.fr.size());
        e.grid.num_noise = uint8_t(g.fr.size() > 1 ? 2 : 1);
        for (size_t i = 0; i < g.t_env.size(); ++i) e.grid.t_env[i] = uint8_t(g.t_env[i]);
        for (size_t i = 0; i < g.t_noise.size(); ++i) e.grid.t_noise[i] = uint8_t(g.t_noise[i]);
        for (size_t i = 0; i < g.fr.size(); ++i) e.grid.freq_res[i] = uint8_t(g.fr[i]);
        e.grid.l_a = int8_t(g.l_a);
        e.amp_res = uint8_t(g.cls == SBR_FIXFIX && g.fr.size() == 1 ? 0 : m.amp_res);
        if (c < grids) write_grid(w, g);
    }
    for (int c = 0; c < nch; ++c)
        for (const auto* df : {&cs[c].df_env, &cs[c].df_noise})
            for (int d : *df) w.put(d, 1);
    for (int c = 0; c < nch; ++c)
        for (int k = 0; k < m.t.n_q; ++k) {
            if (c < grids) w.put((k + c + 1) % 4, 2);
            exp.ch[c].invf[k] = uint8_t((k + (c < grids ? c : 0) + 1) % 4);
        }
    auto env = [&](int c) { write_values(w, m, c, false, coupled && c == 1, exp.ch[c].amp_res, cs[c], exp.ch[c]); };
    auto noise = [&](int c) { write_values(w, m, c, true, coupled && c == 1, 0, cs[c], exp.ch[c]); };
    if (coupled) env(0), noise(0), env(1), noise(1);
    else if (nch == 2) env(0), env(1), noise(0), noise(1);
    else env(0), noise(0);
    for (int c = 0; c < nch; ++c) {
        w.put(cs[c].harmonics, 1);
        for (int k = 0; cs[c].harmonics && k < m.t.n_high; ++k)
            w.put(k % 3 == c, 1), exp.ch[c].add_harmonic[k] = uint8_t(k % 3 == c);
    }
    w.put(f.ext_id >= 0, 1);
    if (f.ext_id >= 0) {
        if (f.ext_bytes >= 15) w.put(15, 4).put(f.ext_bytes - 15, 8);
        else w.put(f.ext_bytes, 4);
        w.put(f.ext_id, 2);
        if (f.ext_id == 2) exp.ps = {1, uint32_t(w.bits()), uint32_t(f.ext_bytes * 8 - 2)};
        for (int i = 0; i < f.ext_bytes * 8 - 2; ++i) w.put(m.rnd(0, 1), 1);
    }
    w.align();
    *bits = uint32_t(w.bits());
    exp.num_channels = uint8_t(nch), exp.coupling = uint8_t(coupled), exp.header_present = f.hdr != nullptr;
    return w.data();
}

// What the reader gives, channel by channel, flattened for comparison as a whole.
std::vector<int> fields(const SbrFrameData& d, const SbrFreqTables& t, int nch) {
    std::vector<int> v = {d.coupling, d.ps.present, int(d.ps.bit_offset), int(d.ps.bit_count)};
    for (int c = 0; c < nch; ++c) {
        const SbrChannelFrame& a = d.ch[c];
        const SbrGrid& g = a.grid;
        v.insert(v.end(), {-100 - c, g.frame_class, g.num_env, g.num_noise, g.l_a, a.amp_res, -200});
        v.insert(v.end(), g.t_env, g.t_env + g.num_env + 1);
        v.insert(v.end(), g.t_noise, g.t_noise + g.num_noise + 1);
        for (int l = 0; l < g.num_env; ++l)
            v.push_back(-300 - g.freq_res[l]),
                v.insert(v.end(), a.env[l], a.env[l] + (g.freq_res[l] ? t.n_high : t.n_low));
        for (int l = 0; l < g.num_noise; ++l) v.push_back(-400), v.insert(v.end(), a.noise[l], a.noise[l] + t.n_q);
        v.push_back(-500), v.insert(v.end(), a.invf, a.invf + t.n_q);
        v.push_back(-600), v.insert(v.end(), a.add_harmonic, a.add_harmonic + t.n_high);
    }
    return v;
}

bool tables_of(const Hdr& h, SbrFreqTables* t) {
    const SbrFreqHeader fh{uint8_t(h.start), uint8_t(h.stop), uint8_t(h.freq_scale), uint8_t(h.alter_scale),
                           uint8_t(h.xover), uint8_t(h.noise_bands), uint8_t(h.lim_bands)};
    return sbr_derive_freq_tables(fh, kFs, t) == SBR_FREQ_OK;
}

struct Fixture {
    SbrParseState st;
    Model m;
    SbrFrameData got;
    Fixture() { sbr_parse_init(&st); }
    // Builds, parses and checks one frame.
    void run(const Frame& f, int nch, const std::string& what, SbrParseStatus want = SBR_PARSE_OK) {
        SCOPED_TRACE(what);
        if (f.hdr) {
            ASSERT_TRUE(tables_of(*f.hdr, &m.t));
        }
        SbrFrameData exp;
        uint32_t bits = 0;
        const std::vector<uint8_t> p = build(f, nch, m, exp, &bits);
        ASSERT_EQ(sbr_parse_frame(&st, p.data(), bits, f.crc, nch, kFs, &got), want);
        if (want == SBR_PARSE_OK) {
            EXPECT_EQ(fields(got, st.tables, nch), fields(exp, st.tables, nch));
        }
    }
};

TEST(SbrBitstream, StateIsSmall) { EXPECT_LE(sizeof(SbrParseState), 352u); }

// Every grid, both amplitude resolutions: frequency deltas, then time deltas
// from the previous frame (every resolution change), then mixed.
TEST(SbrBitstream, GridsAndDeltasMono) {
    for (int amp : {0, 1})
        for (size_t gi = 0; gi < kGrids.size(); ++gi)
            for (size_t gj = 0; gj < kGrids.size(); gj += 3) {
                Fixture fx;
                const Hdr h{.amp_res = amp};
                const std::string what = "amp " + std::to_string(amp) + " grid " + std::to_string(gi) + "/" +
                                         std::to_string(gj);
                fx.run({.hdr = &h, .ch = {plan(kGrids[gi], 0, 0)}}, 1, what + " freq");
                fx.run({.ch = {plan(kGrids[gj], 1, 1)}}, 1, what + " time");
                Frame f{.ch = {plan(kGrids[gi], 1, 0)}};
                f.ch[0].df_env[0] = 0;
                fx.run(f, 1, what + " mixed");
            }
}

// Random sequences: mono, coupled and independent pairs, switching coupling,
// headers repeated and changed, CRC, extra bits, harmonics, extended data.
TEST(SbrBitstream, RandomSequences) {
    const Hdr headers[3] = {{}, {.amp_res = 1, .extra1 = 1, .extra2 = 1, .lim_bands = 3},
                            {.start = 7, .extra1 = 1, .freq_scale = 1, .noise_bands = 3}};
    for (int seed = 0; seed < 60; ++seed) {
        Fixture fx;
        fx.m.rng.seed(unsigned(seed));
        const int nch = seed % 3 == 0 ? 1 : 2;
        int hi = 0;
        for (int frame = 0; frame < 24; ++frame) {
            Frame f;
            bool fresh = frame == 0;
            if (frame == 0 || fx.m.rnd(0, 5) == 0) {
                const int prev_hi = hi;
                hi = frame == 0 ? 0 : fx.m.rnd(0, 2);
                fresh = fresh || headers[hi].start != headers[prev_hi].start;
                f.hdr = &headers[hi];
            }
            f.crc = fx.m.rnd(0, 1), f.extra = fx.m.rnd(0, 1);
            f.coupling = seed % 3 == 1 || (seed % 3 == 2 && fx.m.rnd(0, 1));
            for (auto& c : f.ch) {
                c = plan(kGrids[size_t(fx.m.rnd(0, int(kGrids.size()) - 1))], 0, 0);
                for (auto* df : {&c.df_env, &c.df_noise})
                    for (auto& d : *df) d = fx.m.rnd(0, 1);
                if (fresh) c.df_env[0] = c.df_noise[0] = 0;
                c.harmonics = fx.m.rnd(0, 1);
            }
            if (fx.m.rnd(0, 2) == 0) f.ext_id = fx.m.rnd(0, 3), f.ext_bytes = fx.m.rnd(1, 40);
            fx.run(f, nch, "seed " + std::to_string(seed) + " frame " + std::to_string(frame));
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(SbrBitstream, HeaderFieldsAndReset) {
    Fixture fx;
    const Hdr h{.extra2 = 1, .lim_bands = 1, .lim_gains = 3, .interpol = 0, .smoothing = 0}, plain, other{.start = 7};
    fx.run({.hdr = &h, .ch = {plan(kGrids[0], 0, 0)}}, 1, "first");
    const SbrHeader& s = fx.st.header;
    const int got[] = {s.freq_scale, s.alter_scale, s.noise_bands, s.limiter_bands, s.limiter_gains, s.interpol_freq,
                       s.smoothing_mode, fx.got.reset};
    EXPECT_EQ(std::vector<int>(got, got + 8), (std::vector<int>{2, 1, 2, 1, 3, 0, 0, 1}));
    // Repeated, or with other limiter bands only: no reset, time deltas go on.
    for (const Hdr* hdr : {&h, &plain}) {
        fx.run({.hdr = hdr, .ch = {plan(kGrids[3], 1, 1)}}, 1, "repeat");
        EXPECT_EQ(fx.got.reset, 0);
    }
    // A new start frequency resets: time deltas have nothing to refer to.
    fx.run({.hdr = &other, .ch = {plan(kGrids[2], 1, 0)}}, 1, "reset", SBR_PARSE_ERR_NO_PREV);
    fx.run({.hdr = &other, .ch = {plan(kGrids[2], 0, 0)}}, 1, "after reset");
    EXPECT_EQ(fx.got.reset, 1);  // the failed frame's reset comes with the first good one
    fx.run({.ch = {plan(kGrids[2], 0, 0)}}, 1, "later");
    EXPECT_EQ(fx.got.reset, 0);
}

TEST(SbrBitstream, Errors) {
    SbrParseState st;
    sbr_parse_init(&st);
    SbrFrameData out;
    const uint8_t none[1] = {0x00};
    EXPECT_EQ(sbr_parse_frame(&st, none, 8, false, 1, kFs, &out), SBR_PARSE_NO_HEADER);
    EXPECT_EQ(sbr_parse_frame(&st, none, 0, false, 1, kFs, &out), SBR_PARSE_ERR_OVERRUN);
    EXPECT_EQ(sbr_parse_frame(&st, none, 8, false, 3, kFs, &out), SBR_PARSE_ERR_ARGS);
    EXPECT_EQ(sbr_parse_frame(nullptr, none, 8, false, 1, kFs, &out), SBR_PARSE_ERR_ARGS);
    // A header whose tables do not exist (start above stop).
    BitWriter w;
    write_header(w.put(1, 1), {.start = 15, .stop = 0});
    EXPECT_EQ(sbr_parse_frame(&st, w.data().data(), uint32_t(w.bits()), false, 1, kFs, &out), SBR_PARSE_ERR_TABLES);
    EXPECT_EQ(st.have_header, 0);
    // Time deltas in the first frame; truncation at every length.
    Fixture fx;
    const Hdr h;
    fx.run({.hdr = &h, .ch = {plan(kGrids[4], 1, 0)}}, 1, "time first", SBR_PARSE_ERR_NO_PREV);
    const Frame f{.hdr = &h, .ch = {plan(kGrids[4], 0, 0)}, .ext_id = 2, .ext_bytes = 3};
    SbrFrameData exp;
    uint32_t bits = 0;
    const auto p = build(f, 1, fx.m, exp, &bits);
    for (uint32_t n = 1; n < bits - 7; ++n) {
        sbr_parse_init(&fx.st);
        const SbrParseStatus s = sbr_parse_frame(&fx.st, p.data(), n, false, 1, kFs, &out);
        EXPECT_TRUE(s == SBR_PARSE_ERR_OVERRUN || s == SBR_PARSE_NO_HEADER) << n << " bits: " << s;
    }
    // Grids out of range: 8 envelopes, 7 envelopes, a pointer past L_E,
    // borders that do not increase.
    const std::vector<std::vector<std::pair<uint32_t, int>>> bad = {
        {{0, 2}, {3, 2}, {0, 1}},
        {{3, 2}, {0, 2}, {0, 2}, {3, 2}, {3, 2}},
        {{2, 2}, {0, 2}, {1, 2}, {0, 2}, {3, 2}},
        {{1, 2}, {0, 2}, {3, 2}, {2, 2}, {2, 2}, {2, 2}, {0, 3}},
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        BitWriter b;
        write_header(b.put(1, 1), h);
        b.put(0, 1);
        for (auto [v, n] : bad[i]) b.put(v, n);
        b.put(0, 32);
        sbr_parse_init(&st);
        EXPECT_EQ(sbr_parse_frame(&st, b.data().data(), uint32_t(b.bits()), false, 1, kFs, &out), SBR_PARSE_ERR_RANGE)
            << i;
    }
}

// Random and damaged payloads: any status, but a clean run, and an OK frame
// that keeps to its ranges.
TEST(SbrBitstream, RobustnessSweep) {
    std::mt19937 rng(7);
    Fixture fx;
    std::vector<std::vector<uint8_t>> valid;
    std::vector<uint32_t> valid_bits;
    const Hdr h;
    ASSERT_TRUE(tables_of(h, &fx.m.t));
    for (size_t g = 0; g < kGrids.size(); ++g) {
        const ChanPlan c = plan(kGrids[g], int(g % 2), 0);
        const Frame f{.coupling = g % 3 == 0, .hdr = g % 2 ? &h : nullptr, .ch = {c, c}, .ext_id = int(g % 4),
                      .ext_bytes = int(g * 2 + 1)};
        SbrFrameData exp;
        valid_bits.push_back(0);
        valid.push_back(build(f, 2, fx.m, exp, &valid_bits.back()));
    }
    SbrParseState st[2];
    sbr_parse_init(&st[0]), sbr_parse_init(&st[1]);
    int ok = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> p;
        uint32_t bits;
        if (i % 2) {
            p.resize(size_t(rng() % 64));
            for (auto& b : p) b = uint8_t(rng());
            if (!p.empty()) p[0] |= 0x80;  // mostly with a header
            bits = uint32_t(p.size() * 8 - (p.empty() ? 0 : rng() % 8));
        } else {
            const size_t v = rng() % valid.size();
            p = valid[v], bits = valid_bits[v];
            for (int k = int(rng() % 4); k >= 0; --k) p[rng() % p.size()] ^= uint8_t(1u << (rng() % 8));
            if (rng() % 4 == 0) bits = uint32_t(rng() % (bits + 1));
        }
        const int nch = int(rng() % 2) + 1;
        SbrFrameData out;
        const SbrParseStatus s = sbr_parse_frame(&st[nch - 1], p.data(), bits, rng() % 2, nch, kFs, &out);
        ASSERT_TRUE(s >= SBR_PARSE_ERR_TABLES && s <= SBR_PARSE_NO_HEADER);
        if (s != SBR_PARSE_OK) continue;
        ++ok;
        for (int c = 0; c < nch; ++c) {
            const SbrGrid& g = out.ch[c].grid;
            ASSERT_TRUE(g.num_env >= 1 && g.num_env <= kSbrMaxEnvelopes);
            for (int l = 0; l < g.num_env; ++l) ASSERT_LT(g.t_env[l], g.t_env[l + 1]);
            ASSERT_LE(g.t_env[g.num_env], 19);
            for (int l = 0; l < g.num_env; ++l)
                for (int k = 0; k < kSbrMaxMasterBands; ++k) ASSERT_TRUE(out.ch[c].env[l][k] >= 0);
        }
    }
    EXPECT_GT(ok, 100);
}

// The records of an SBR decoder of its own (static: large).
struct SbrRecords {
    alignas(8) uint8_t memory[sizeof(SbrDecoder)];
    alignas(8) SbrScratch scratch;
    SbrLentFrame frame;
    SbrLentLevels levels;
    SbrLentLow low;
    alignas(8) SbrLentOverlap overlap;
    SbrDecoder* init(uint32_t signalled) {
        return sbr_init(memory, &scratch, SbrLent{&frame, &levels, &low, &overlap}, SBR_MODE_FULL, signalled);
    }
};

// A header whose frequency tables do not exist spoils the tables in force:
// the blocks after it are not concealed from the last good frame, which was
// read with the old ones, and play no high band until a good header comes.
TEST(SbrDecoder, AHeaderWithoutTablesEndsConcealment) {
    static SbrRecords r;
    SbrScratch& scratch = r.scratch;
    SbrDecoder* s = r.init(SBR_SIGNALLED);
    const auto give = [&](const std::vector<uint8_t>& bytes, uint32_t bits) {
        SbrPayload& p = scratch.payload;
        p = SbrPayload{};
        std::memcpy(p.bytes, bytes.data(), bytes.size());
        p.bits = static_cast<uint16_t>(bits);
        p.present = 1;
        ASSERT_EQ(sbr_begin_block(s, kFs / 2, 1), 1);
    };
    Model m;
    const Hdr good;
    ASSERT_TRUE(tables_of(good, &m.t));
    SbrFrameData exp;
    uint32_t bits = 0;
    const std::vector<uint8_t> first = build({.hdr = &good, .ch = {plan(kGrids[0], 0, 0)}}, 1, m, exp, &bits);
    give(first, bits);
    EXPECT_EQ(s->frameOk, 1);
    // A frame lost: concealed from the held one.
    scratch.payload.present = 0;
    ASSERT_EQ(sbr_begin_block(s, kFs / 2, 1), 1);
    EXPECT_EQ(s->frameOk, 1);
    EXPECT_EQ(s->concealRun, 1u);
    // A header of start above stop, then frames without one.
    BitWriter w;
    write_header(w.put(1, 1), {.start = 15, .stop = 0});
    w.put(0, 32);
    give(w.data(), uint32_t(w.bits()));
    EXPECT_EQ(s->frameOk, 0);
    scratch.payload.present = 0;
    ASSERT_EQ(sbr_begin_block(s, kFs / 2, 1), 1);
    EXPECT_EQ(s->frameOk, 0);
    // A good header again plays.
    give(first, bits);
    EXPECT_EQ(s->frameOk, 1);
}

// Parametric stereo keeps its state in the second channel's room and the
// rest of its delay lines in the core's channel 1 overlap buffer: a block
// of a channel pair later in the stream takes both back (the channel from
// its start state, the overlap buffer zeroed, the stream without PS from
// then on), so neither decodes from the other's state. (A fuzzed stream
// read PS phase history that a pair's SBR channel had written.) PS starts
// from zeroed lines whatever the core left in the buffer.
TEST(SbrDecoder, APairTakesTheSecondChannelBackFromParametricStereo) {
    static SbrRecords r;
    SbrLentOverlap& overlap = r.overlap;
    auto zero = [](const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
    };
    std::memset(&overlap, 0x33, sizeof overlap);  // a stereo stream's samples
    SbrDecoder* s = r.init(SBR_SIGNALLED | SBR_SIGNALLED_PS);
    ASSERT_EQ(sbr_begin_block(s, 22050, 1), 1);
    EXPECT_EQ(s->stereo_ps, 1);
    EXPECT_TRUE(zero(&overlap.ps, sizeof overlap.ps));
    std::memset(&s->ps, 0x5A, sizeof s->ps);  // what PS would leave there
    std::memset(&overlap, 0x5A, sizeof overlap);
    ASSERT_EQ(sbr_begin_block(s, 22050, 2), 1);
    EXPECT_EQ(s->stereo_ps, 0);
    EXPECT_TRUE(zero(&s->ch1, sizeof s->ch1));
    EXPECT_TRUE(zero(&overlap, sizeof overlap));
}

// A stream with parametric stereo entered between two SBR headers: a block
// lost before the first header has no frame to conceal from and no
// frequency tables, and parametric stereo leaves every band to play (the
// empty tables cut both channels above the hybrid bands before).
TEST(SbrDecoder, ALostBlockBeforeTheFirstHeaderKeepsEveryStereoBand) {
    static SbrRecords r;
    SbrDecoder* s = r.init(SBR_SIGNALLED | SBR_SIGNALLED_PS);
    BitWriter w;
    w.put(0, 1).put(0, 32);  // SBR data without a header
    SbrPayload& p = r.scratch.payload;
    p = SbrPayload{};
    std::memcpy(p.bytes, w.data().data(), w.data().size());
    p.bits = static_cast<uint16_t>(w.bits());
    p.present = 1;
    ASSERT_EQ(sbr_begin_block(s, 22050, 1), 1);
    ASSERT_EQ(s->stereo_ps, 1);
    EXPECT_EQ(s->frameOk, 0);
    EXPECT_EQ(s->ps.top, 64);
    sbr_conceal_block(s, 1);
    EXPECT_EQ(s->ps.top, 64);
}

}  // namespace
