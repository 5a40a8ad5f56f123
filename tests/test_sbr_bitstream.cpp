// The SBR payload reader against frames written here: a bit writer that
// takes the Huffman codes from the table data file (not from the decoder's
// trees) and a model of the delta coding that gives the values the reader
// must return. Every frame class, both amplitude resolutions, mono,
// coupled and independent pairs, time and frequency deltas across frames
// and resolution changes, CRC, extended data; then errors, and random and
// damaged payloads.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sbr/bitstream.h"
#include "tables/sbr_tables.h"

namespace {

constexpr int32_t kFs = 44100;

// Codes by table name and value, from the data file.
const std::map<std::string, std::map<int, std::string>>& codes() {
    static const auto table = [] {
        std::map<std::string, std::map<int, std::string>> m;
        std::ifstream in(AAC_SOURCE_DIR "/tools/gen_tables/data/sbr/huffman.tsv");
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string name, hex, bits;
            int index, value, len;
            f >> name >> index >> value >> len >> hex >> bits;
            m[name][value] = bits;
        }
        return m;
    }();
    return table;
}

struct BitWriter {
    std::vector<uint8_t> bytes;
    uint32_t n = 0;
    void put(uint32_t v, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (n % 8 == 0) bytes.push_back(0);
            if ((v >> i) & 1) bytes.back() = static_cast<uint8_t>(bytes.back() | (0x80 >> (n % 8)));
            ++n;
        }
    }
    void code(const std::string& table, int value) {
        const std::string& c = codes().at(table).at(value);
        for (char ch : c) put(ch == '1', 1);
    }
};

struct Hdr {
    int amp_res = 0, start = 5, stop = 9, xover = 0;
    bool extra1 = false, extra2 = false;
    int freq_scale = 2, alter_scale = 1, noise_bands = 2, lim_bands = 2, lim_gains = 2, interpol = 1, smoothing = 1;
};

void write_header(BitWriter& w, const Hdr& h) {
    w.put(unsigned(h.amp_res), 1), w.put(unsigned(h.start), 4), w.put(unsigned(h.stop), 4), w.put(unsigned(h.xover), 3);
    w.put(0, 2), w.put(h.extra1, 1), w.put(h.extra2, 1);
    if (h.extra1) w.put(unsigned(h.freq_scale), 2), w.put(unsigned(h.alter_scale), 1), w.put(unsigned(h.noise_bands), 2);
    if (h.extra2)
        w.put(unsigned(h.lim_bands), 2), w.put(unsigned(h.lim_gains), 2), w.put(unsigned(h.interpol), 1),
            w.put(unsigned(h.smoothing), 1);
}

// A grid as coded (relative borders as lengths) and the borders it gives.
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
    w.put(unsigned(g.cls), 2);
    auto rels = [&](const std::vector<int>& r) { for (int v : r) w.put(unsigned(v - 2) / 2, 2); };
    switch (g.cls) {
    case SBR_FIXFIX: w.put(n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3, 2), w.put(unsigned(g.fr[0]), 1); return;
    case SBR_FIXVAR: w.put(unsigned(g.var1), 2), w.put(unsigned(g.rel1.size()), 2), rels(g.rel1); break;
    case SBR_VARFIX: w.put(unsigned(g.var0), 2), w.put(unsigned(g.rel0.size()), 2), rels(g.rel0); break;
    default:
        w.put(unsigned(g.var0), 2), w.put(unsigned(g.var1), 2), w.put(unsigned(g.rel0.size()), 2),
            w.put(unsigned(g.rel1.size()), 2), rels(g.rel0), rels(g.rel1);
    }
    w.put(unsigned(g.ptr), sbr_pointer_bits[n]);
    for (int l = 0; l < n; ++l) w.put(unsigned(g.fr[g.cls == SBR_FIXVAR ? n - 1 - l : l]), 1);
}

// What time-direction coding refers to, per channel, as the model sees it.
struct Hist {
    std::vector<int> env = std::vector<int>(kSbrMaxMasterBands), noise = std::vector<int>(kSbrMaxNoiseBands);
    int res = 0;
    bool valid = false;
};

struct Model {
    SbrFreqTables t{};
    Hist hist[2];
    std::mt19937 rng{1};
    int rnd(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    int amp_res = 0;  // the header's
    // A small delta that keeps prev + step * delta inside 0..127.
    int delta(int prev, int step) {
        const int d = rnd(-3, 3);
        return prev + step * d < 0 || prev + step * d > 127 ? -d : d;
    }
    int prev_band(int k, int res, int prev_res) const {
        if (res == prev_res) return k;
        if (res) {
            int i = 0;
            while (i + 1 < t.n_low && t.f_low[i + 1] <= t.f_high[k]) ++i;
            return i;
        }
        for (int i = 0; i < t.n_high; ++i)
            if (t.f_high[i] == t.f_low[k]) return i;
        return -1;
    }
};

struct ChanSpec {
    GridCase grid;
    std::vector<int> df_env, df_noise;
    bool harmonics = false;
};

// Writes one channel's envelopes or noise floors and puts the values the
// reader must give into exp.
void write_values(BitWriter& w, Model& m, int ch, bool noise, bool balance, int amp_res, const ChanSpec& c,
                  SbrChannelFrame& exp) {
    const int step = balance ? 2 : 1;
    const std::string res_name = noise ? "3_0dB" : amp_res ? "3_0dB" : "1_5dB";
    const std::string bal = balance ? "bal_" : "";
    const std::string f_tab = "f_huffman_env_" + bal + res_name;
    const std::string t_tab = noise ? "t_huffman_noise_" + bal + res_name : "t_huffman_env_" + bal + res_name;
    const int start_bits = noise ? 5 : sbr_env_start_bits[2 * amp_res + balance];
    const int count = noise ? int(c.df_noise.size()) : int(c.grid.fr.size());
    Hist& h = m.hist[ch];
    std::vector<int> prev = noise ? h.noise : h.env;
    int prev_res = h.res;
    for (int l = 0; l < count; ++l) {
        const int res = noise ? 0 : c.grid.fr[size_t(l)];
        const int n = noise ? m.t.n_q : res ? m.t.n_high : m.t.n_low;
        std::vector<int> v(static_cast<size_t>(n));
        if (!(noise ? c.df_noise : c.df_env)[size_t(l)]) {
            const int s = m.rnd(0, std::min((1 << start_bits) - 1, noise ? 15 : 50));
            w.put(unsigned(s), start_bits);
            v[0] = step * s;
            for (int k = 1; k < n; ++k) {
                const int d = m.delta(v[size_t(k - 1)], step);
                w.code(f_tab, d);
                v[size_t(k)] = v[size_t(k - 1)] + step * d;
            }
        } else {
            for (int k = 0; k < n; ++k) {
                const int p = prev[size_t(noise ? k : m.prev_band(k, res, prev_res))];
                const int d = m.delta(p, step);
                w.code(t_tab, d);
                v[size_t(k)] = p + step * d;
            }
        }
        for (int k = 0; k < n; ++k) (noise ? exp.noise[l][k] : exp.env[l][k]) = int8_t(v[size_t(k)]);
        prev = v;
        prev_res = res;
    }
    (noise ? h.noise : h.env) = prev;
    if (!noise) h.res = prev_res;
}

struct Frame {
    bool crc = false, extra = false, coupling = false;
    const Hdr* hdr = nullptr;
    ChanSpec ch[2];
    int ext_id = -1, ext_bytes = 0;  // extended data
};

// Writes a frame for nch channels; exp gets what the reader must return.
std::vector<uint8_t> build(const Frame& f, int nch, Model& m, SbrFrameData& exp, uint32_t* bits) {
    BitWriter w;
    exp = SbrFrameData{};
    if (f.crc) w.put(0x2A5, 10);
    w.put(f.hdr != nullptr, 1);
    if (f.hdr) write_header(w, *f.hdr), m.amp_res = f.hdr->amp_res;
    const int amp_res = m.amp_res;
    w.put(f.extra, 1);
    if (f.extra) w.put(0xAB, nch == 1 ? 4 : 8);
    const bool coupled = nch == 2 && f.coupling;
    if (nch == 2) w.put(coupled, 1);
    const int grids = coupled ? 1 : nch;
    ChanSpec cs[2] = {f.ch[0], f.ch[1]};  // the coupled second channel has the first one's grid
    if (coupled) {
        cs[1].grid = cs[0].grid;
        cs[1].df_env.resize(cs[0].df_env.size());
        cs[1].df_noise.resize(cs[0].df_noise.size());
    }
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
        e.amp_res = uint8_t(g.cls == SBR_FIXFIX && g.fr.size() == 1 ? 0 : amp_res);
        if (c < grids) write_grid(w, g);
    }
    for (int c = 0; c < nch; ++c) {
        for (int d : cs[c].df_env) w.put(unsigned(d), 1);
        for (int d : cs[c].df_noise) w.put(unsigned(d), 1);
    }
    for (int c = 0; c < nch; ++c)
        for (int k = 0; k < m.t.n_q; ++k) {
            if (c < grids) w.put(unsigned((k + c + 1) % 4), 2);
            exp.ch[c].invf[k] = uint8_t((k + (c < grids ? c : 0) + 1) % 4);
        }
    auto env = [&](int c) { write_values(w, m, c, false, coupled && c == 1, exp.ch[c].amp_res, cs[c], exp.ch[c]); };
    auto noise = [&](int c) { write_values(w, m, c, true, coupled && c == 1, 0, cs[c], exp.ch[c]); };
    if (coupled) env(0), noise(0), env(1), noise(1);
    else if (nch == 2) env(0), env(1), noise(0), noise(1);
    else env(0), noise(0);
    for (int c = 0; c < nch; ++c) {
        w.put(cs[c].harmonics, 1);
        if (cs[c].harmonics)
            for (int k = 0; k < m.t.n_high; ++k) {
                w.put(k % 3 == c, 1);
                exp.ch[c].add_harmonic[k] = uint8_t(k % 3 == c);
            }
    }
    w.put(f.ext_id >= 0, 1);
    if (f.ext_id >= 0) {
        if (f.ext_bytes >= 15) w.put(15, 4), w.put(unsigned(f.ext_bytes - 15), 8);
        else w.put(unsigned(f.ext_bytes), 4);
        w.put(unsigned(f.ext_id), 2);
        if (f.ext_id == 2) exp.ps = {1, w.n, uint32_t(f.ext_bytes * 8 - 2)};
        for (int i = 0; i < f.ext_bytes * 8 - 2; ++i) w.put(unsigned(m.rnd(0, 1)), 1);
    }
    w.put(0, (8 - w.n % 8) % 8);  // byte alignment
    *bits = w.n;
    exp.num_channels = uint8_t(nch), exp.coupling = uint8_t(coupled), exp.header_present = f.hdr != nullptr;
    return w.bytes;
}

void expect_frame(const SbrFrameData& got, const SbrFrameData& exp, const SbrFreqTables& t, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(got.coupling, exp.coupling);
    EXPECT_EQ(got.ps.present, exp.ps.present);
    EXPECT_EQ(got.ps.bit_offset, exp.ps.bit_offset);
    EXPECT_EQ(got.ps.bit_count, exp.ps.bit_count);
    for (int c = 0; c < exp.num_channels; ++c) {
        const SbrChannelFrame &a = got.ch[c], &b = exp.ch[c];
        ASSERT_EQ(a.grid.num_env, b.grid.num_env) << "channel " << c;
        EXPECT_EQ(a.grid.frame_class, b.grid.frame_class);
        EXPECT_EQ(a.grid.num_noise, b.grid.num_noise);
        EXPECT_EQ(a.grid.l_a, b.grid.l_a);
        EXPECT_EQ(a.amp_res, b.amp_res);
        for (int l = 0; l <= a.grid.num_env; ++l) EXPECT_EQ(a.grid.t_env[l], b.grid.t_env[l]) << "border " << l;
        for (int l = 0; l <= a.grid.num_noise; ++l) EXPECT_EQ(a.grid.t_noise[l], b.grid.t_noise[l]) << "noise border " << l;
        for (int l = 0; l < a.grid.num_env; ++l) {
            EXPECT_EQ(a.grid.freq_res[l], b.grid.freq_res[l]);
            for (int k = 0; k < (a.grid.freq_res[l] ? t.n_high : t.n_low); ++k)
                ASSERT_EQ(a.env[l][k], b.env[l][k]) << "channel " << c << " envelope " << l << " band " << k;
        }
        for (int l = 0; l < a.grid.num_noise; ++l)
            for (int k = 0; k < t.n_q; ++k) ASSERT_EQ(a.noise[l][k], b.noise[l][k]) << "noise " << l << " band " << k;
        for (int k = 0; k < t.n_q; ++k) EXPECT_EQ(a.invf[k], b.invf[k]);
        for (int k = 0; k < t.n_high; ++k) EXPECT_EQ(a.add_harmonic[k], b.add_harmonic[k]);
    }
}

ChanSpec spec(const GridCase& g, int df_env, int df_noise) {
    ChanSpec c{g, {}, {}, false};
    c.df_env.assign(g.fr.size(), df_env);
    c.df_noise.assign(g.fr.size() > 1 ? 2 : 1, df_noise);
    return c;
}

bool tables_of(const Hdr& h, SbrFreqTables* t) {
    const SbrFreqHeader fh{uint8_t(h.start), uint8_t(h.stop), uint8_t(h.freq_scale), uint8_t(h.alter_scale),
                           uint8_t(h.xover), uint8_t(h.noise_bands), uint8_t(h.lim_bands)};
    return sbr_derive_freq_tables(fh, kFs, t) == SBR_FREQ_OK;
}

struct Fixture {
    SbrParseState st;
    Model m;
    Fixture() { sbr_parse_init(&st); }
    // Builds, parses and checks one frame.
    void run(const Frame& f, int nch, const std::string& what, SbrParseStatus want = SBR_PARSE_OK) {
        if (f.hdr) {
            ASSERT_TRUE(tables_of(*f.hdr, &m.t));
        }
        SbrFrameData exp;
        uint32_t bits = 0;
        const std::vector<uint8_t> p = build(f, nch, m, exp, &bits);
        ASSERT_EQ(sbr_parse_frame(&st, p.data(), bits, f.crc, nch, kFs, &got), want) << what;
        if (want == SBR_PARSE_OK) expect_frame(got, exp, st.tables, what);
    }
    SbrFrameData got;
};

TEST(SbrBitstream, StateIsSmall) { EXPECT_LE(sizeof(SbrParseState), 352u); }

// Every grid, both amplitude resolutions: frequency deltas, then the same
// grid in time deltas from the previous frame (every resolution change).
TEST(SbrBitstream, GridsAndDeltasMono) {
    for (int amp : {0, 1})
        for (size_t gi = 0; gi < kGrids.size(); ++gi)
            for (size_t gj = 0; gj < kGrids.size(); gj += 3) {
                Fixture fx;
                Hdr h;
                h.amp_res = amp;
                const std::string what = "amp " + std::to_string(amp) + " grid " + std::to_string(gi) + "/" +
                                         std::to_string(gj);
                Frame f;
                f.hdr = &h;
                f.ch[0] = spec(kGrids[gi], 0, 0);
                fx.run(f, 1, what + " freq");
                f.hdr = nullptr;
                f.ch[0] = spec(kGrids[gj], 1, 1);
                fx.run(f, 1, what + " time");
                f.ch[0] = spec(kGrids[gi], 1, 0);
                f.ch[0].df_env[0] = 0;
                fx.run(f, 1, what + " mixed");
            }
}

// Random sequences: mono, coupled and independent pairs, switching coupling,
// headers repeated and changed, CRC, extra bits, harmonics, extended data.
TEST(SbrBitstream, RandomSequences) {
    Hdr headers[3];
    headers[1].amp_res = 1, headers[1].extra1 = true, headers[1].extra2 = true, headers[1].lim_bands = 3;
    headers[2].start = 7, headers[2].extra1 = true, headers[2].freq_scale = 1, headers[2].noise_bands = 3;
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
            f.coupling = seed % 3 == 1 ? true : seed % 3 == 2 ? bool(fx.m.rnd(0, 1)) : false;
            for (auto& c : f.ch) {
                c = spec(kGrids[size_t(fx.m.rnd(0, int(kGrids.size()) - 1))], 0, 0);
                for (auto& d : c.df_env) d = fx.m.rnd(0, 1);
                for (auto& d : c.df_noise) d = fx.m.rnd(0, 1);
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
    Hdr h;
    h.extra2 = true, h.lim_bands = 1, h.lim_gains = 3, h.interpol = 0, h.smoothing = 0;
    Frame f;
    f.hdr = &h;
    f.ch[0] = spec(kGrids[0], 0, 0);
    fx.run(f, 1, "first");
    EXPECT_EQ(fx.st.header.freq_scale, 2);
    EXPECT_EQ(fx.st.header.alter_scale, 1);
    EXPECT_EQ(fx.st.header.noise_bands, 2);
    EXPECT_EQ(fx.st.header.limiter_bands, 1);
    EXPECT_EQ(fx.st.header.limiter_gains, 3);
    EXPECT_EQ(fx.st.header.interpol_freq, 0);
    EXPECT_EQ(fx.st.header.smoothing_mode, 0);
    EXPECT_EQ(fx.got.reset, 1);
    // Repeated, or with other limiter bands only: no reset, time deltas go on.
    const Hdr plain;
    const Hdr* const repeats[] = {&h, &plain};
    for (const Hdr* hdr : repeats) {
        f.hdr = hdr;
        f.ch[0] = spec(kGrids[3], 1, 1);
        fx.run(f, 1, "repeat");
        EXPECT_EQ(fx.got.reset, 0);
    }
    // A new start frequency resets: time deltas have nothing to refer to.
    Hdr other;
    other.start = 7;
    f.hdr = &other;
    f.ch[0] = spec(kGrids[2], 1, 0);
    fx.run(f, 1, "reset", SBR_PARSE_ERR_NO_PREV);
    f.ch[0] = spec(kGrids[2], 0, 0);
    fx.run(f, 1, "after reset");
    EXPECT_EQ(fx.got.reset, 1);  // the failed frame's reset comes with the first good one
    fx.run(f, 1, "later");
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
    // A header whose tables do not exist (start above stop), and a bad rate.
    BitWriter w;
    Hdr wrong;
    wrong.start = 15, wrong.stop = 0;
    w.put(1, 1), write_header(w, wrong);
    EXPECT_EQ(sbr_parse_frame(&st, w.bytes.data(), w.n, false, 1, kFs, &out), SBR_PARSE_ERR_TABLES);
    EXPECT_EQ(st.have_header, 0);
    // Time deltas in the first frame; truncation at every length.
    Fixture fx;
    Hdr h;
    Frame f;
    f.hdr = &h;
    f.ch[0] = spec(kGrids[4], 1, 0);
    fx.run(f, 1, "time first", SBR_PARSE_ERR_NO_PREV);
    f.ch[0] = spec(kGrids[4], 0, 0);
    f.ext_id = 2, f.ext_bytes = 3;
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
        b.put(1, 1), write_header(b, h), b.put(0, 1);
        for (auto [v, n] : bad[i]) b.put(v, n);
        b.put(0, 32);
        sbr_parse_init(&st);
        EXPECT_EQ(sbr_parse_frame(&st, b.bytes.data(), b.n, false, 1, kFs, &out), SBR_PARSE_ERR_RANGE) << i;
    }
}

// Random and damaged payloads: any status, but a clean run, and an OK frame
// that keeps to its ranges.
TEST(SbrBitstream, RobustnessSweep) {
    std::mt19937 rng(7);
    Fixture fx;
    std::vector<std::vector<uint8_t>> valid;
    std::vector<uint32_t> valid_bits;
    Hdr h;
    ASSERT_TRUE(tables_of(h, &fx.m.t));
    for (size_t g = 0; g < kGrids.size(); ++g) {
        Frame f;
        f.hdr = g % 2 ? &h : nullptr;
        f.ch[0] = f.ch[1] = spec(kGrids[g], int(g % 2), 0);
        f.coupling = g % 3 == 0;
        f.ext_id = int(g % 4), f.ext_bytes = int(g * 2 + 1);
        SbrFrameData exp;
        uint32_t bits = 0;
        valid.push_back(build(f, 2, fx.m, exp, &bits));
        valid_bits.push_back(bits);
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
            p = valid[v];
            bits = valid_bits[v];
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

}  // namespace
