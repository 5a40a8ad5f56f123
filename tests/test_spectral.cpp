// Side information, sections, scale factors, Huffman decoding and inverse
// quantisation: the stated examples and every codeword of every book.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "bitstream_util.h"
#include "dec/bands.h"
#include "dec/huffman.h"
#include "dec/syntax.h"
#include "dsp/dequant.h"
#include "dsp/fixed.h"
#include "dsp/words.h"
#include "tables/dequant_tables.h"
#include "tables/huffman_tables.h"
#include "test_util.h"

namespace {

// A decoder whose FIFO holds the given bits followed by zero words.
class Bits : public ::testing::Test {
protected:
    void SetUp() override {
        obj = make_decoder(true);
        kvxdec_infoinit(obj, &samp_rate_kvxdec_info[4]);  // 44.1 kHz: 49 long, 14 short bands
    }
    void load(const BitWriter& w) {
        std::vector<uint8_t> b = w.data();
        b.resize(b.size() + 8, 0);
        aacdecode_flushFifo(obj);
        feed(obj, b);
        words = (b.size() + 1) / 2;
    }
    int used() const { return bits_consumed(obj, words); }
    MP4AACDEC_QUVA_Obj* obj = nullptr;
    size_t words = 0;
};

struct Codeword {
    int book;
    std::string bits;
    std::vector<int> values;
};

std::vector<Codeword> load_codebooks() {
    std::ifstream f(data_path("tools/gen_tables/data/spectrum_codebooks.tsv"));
    std::string line;
    std::getline(f, line);
    std::vector<Codeword> all;
    while (std::getline(f, line)) {
        std::istringstream row(line);
        std::string book, index, values, length, hex, bits;
        row >> book >> index >> values >> length >> hex >> bits;
        Codeword c{std::stoi(book), bits, {}};
        std::istringstream v(values);
        for (std::string x; std::getline(v, x, ',');) c.values.push_back(std::stoi(x));
        all.push_back(c);
    }
    return all;
}

// Every codeword with every combination of its sign bits: the tables hold
// one entry per combination for most codewords of the books of magnitudes
// and leave the sign bits of the others to be read after them.
TEST_F(Bits, EveryCodewordDecodesWithItsSignBits) {
    const std::vector<Codeword> all = load_codebooks();
    ASSERT_EQ(all.size(), 1241u);
    for (const Codeword& c : all) {
        const Huffbook& book = kvxdec_book[c.book];
        const int sign_bits =
            book.is_signed ? 0 : static_cast<int>(std::count_if(c.values.begin(), c.values.end(), [](int v) { return v; }));
        for (int signs = 0; signs < 1 << sign_bits; ++signs) {
            BitWriter w;
            for (char b : c.bits) w.put(b == '1', 1);
            std::vector<int> want = c.values;
            int k = sign_bits;
            for (int& v : want)
                if (sign_bits && v) {
                    const bool neg = (signs >> --k) & 1;
                    w.put(neg, 1);
                    if (neg) v = -v;
                }
            w.put(0x2D, 6);  // what follows
            // The FIFO's own decoder, then the table lookup on the bit
            // reservoir (an escape would read on into the bits that follow).
            const bool escape = std::find(c.values.begin(), c.values.end(), 16) != c.values.end();
            for (int lookup = 0; lookup < (escape ? 1 : 2); ++lookup) {
                load(w);
                int16_t out[4] = {};  // zeroed, as the decoder's lines arrive
                if (lookup) {
                    const int16_t tops[1] = {book.dimension};
                    const SectionEntry sec[1] = {{static_cast<uint8_t>(c.book), 1}};
                    kvxdec_DecodeHuff(1, tops, sec, out, &obj->fifo);
                } else {
                    kvxdec_new_decode_huff_cw(&obj->fifo, &book, out);
                }
                for (size_t i = 0; i < want.size(); ++i)
                    ASSERT_EQ(out[i], want[i])
                        << "book " << c.book << " " << c.bits << " signs " << signs << " lookup " << lookup;
                ASSERT_EQ(aacdec_getbits(obj, 6), 0x2D)
                    << "book " << c.book << " " << c.bits << " signs " << signs << " lookup " << lookup;
            }
        }
    }
}

// Random sections of every book, escapes included, decoded three ways: with
// plenty of buffered words after them, with the buffered words ending right
// after them (the last codewords go through the FIFO's own decoder), and
// with the words wrapping round the FIFO's end. Values and bits used agree
// with what was written every time.
TEST_F(Bits, SectionsDecodeAlikeWhereverTheBufferedWordsEnd) {
    const std::vector<Codeword> all = load_codebooks();
    std::vector<const Codeword*> by_book[12];
    for (const Codeword& c : all) by_book[c.book].push_back(&c);
    uint32_t seed = 12345;
    const auto rnd = [&](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    int16_t tops[48];
    for (int b = 0; b < 48; ++b) tops[b] = static_cast<int16_t>(4 * (b + 1));
    for (int trial = 0; trial < 150; ++trial) {
        BitWriter w;
        std::vector<int> want;
        SectionEntry sec[4];
        const int count = 1 + static_cast<int>(rnd(4));
        int band = 0;
        for (int s = 0; s < count; ++s) {
            const int cb = s == 0 && trial % 3 == 0 ? 11 : 1 + static_cast<int>(rnd(11));
            band += 1 + static_cast<int>(rnd(3));
            sec[s] = {static_cast<uint8_t>(cb), static_cast<uint8_t>(band)};
            const Huffbook& book = kvxdec_book[cb];
            while (static_cast<int>(want.size()) < tops[band - 1]) {
                const Codeword& c = *by_book[cb][rnd(static_cast<uint32_t>(by_book[cb].size()))];
                for (char b : c.bits) w.put(b == '1', 1);
                std::vector<int> v = c.values;
                if (!book.is_signed)
                    for (int& x : v)
                        if (x) {  // sign bits, then the escapes
                            const bool neg = rnd(2);
                            w.put(neg, 1);
                            if (neg) x = -x;
                        }
                for (int& x : v)
                    if (cb == 11 && (x == 16 || x == -16)) {
                        const int n = 4 + static_cast<int>(rnd(9));
                        const uint32_t e = rnd(1u << n);
                        w.put((1u << (n - 4)) - 1, n - 4).put(0, 1).put(e, n);
                        x = (x < 0 ? -1 : 1) * static_cast<int>(e + (1u << n));
                    }
                want.insert(want.end(), v.begin(), v.end());
            }
        }
        BitWriter marked = w;
        marked.put(0x2D, 6);
        for (int way = 0; way < 3; ++way) {
            std::vector<uint8_t> b = marked.data();
            b.resize(b.size() + (way == 0 ? 64 : 2), 0);
            aacdecode_flushFifo(obj);
            if (way == 2) {
                // Start half the data before the FIFO's end.
                const int skip = obj->fifo.size - 1 - static_cast<int>(b.size() / 4);
                std::vector<uint8_t> filler(static_cast<size_t>(2 * skip), 0);
                feed(obj, filler);
                for (int i = 0; i < skip; ++i) aacdec_getbits(obj, 16);
            }
            feed(obj, b);
            int16_t out[192] = {};  // zeroed, as the decoder's lines arrive
            ASSERT_TRUE(kvxdec_DecodeHuff(static_cast<uint16_t>(count), tops, sec, out, &obj->fifo));
            for (size_t i = 0; i < want.size(); ++i)
                ASSERT_EQ(out[i], want[i]) << "trial " << trial << " way " << way << " value " << i;
            ASSERT_EQ(aacdec_getbits(obj, 6), 0x2D) << "trial " << trial << " way " << way;
        }
    }
}

TEST_F(Bits, ScaleFactorCodeOrderAndEveryCodeword) {
    std::vector<long long> head;
    for (int i = 0; i < 7; ++i) head.insert(head.end(), {kvxdec_bookscl[i].index, kvxdec_bookscl[i].length});
    EXPECT_EQ(head, vals(60, 1, 59, 3, 61, 4, 58, 4, 62, 4, 57, 5, 63, 5));
    int longest = 0;
    for (const ScaleCode& s : kvxdec_bookscl) longest += s.length == 19;
    EXPECT_EQ(vals(kvxdec_bookscl[120].index, kvxdec_bookscl[120].codeword, longest), vals(13, 0x7FFFF, 46));
    for (const ScaleCode& s : kvxdec_bookscl) {
        BitWriter w;
        w.put(s.codeword, s.length).put(5, 3);
        load(w);
        ASSERT_EQ(kvxdec_decode_huff_sf_cw(obj, kvxdec_bookscl), s.index);
        ASSERT_EQ(aacdec_getbits(obj, 3), 5);
    }
}

TEST_F(Bits, GroupingAndMasks) {
    struct Case {
        uint32_t bits;
        std::vector<uint8_t> ends;
    } cases[] = {{0b1011001, {2, 5, 6, 8}}, {0b0000000, {1, 2, 3, 4, 5, 6, 7, 8}}, {0b1111111, {8}}};
    for (const Case& c : cases) {
        BitWriter w;
        w.put(c.bits, 7);
        load(w);
        uint8_t groups[8] = {};
        kvxdec_getgroup(obj, &obj->ctx->shortBands, groups);
        EXPECT_EQ(used(), 7);
        EXPECT_EQ(std::vector<uint8_t>(groups, groups + c.ends.size()), c.ends);
    }

    // Mask 3 is handled as 1: max_sfb bits per group, zeros up to the band count.
    const uint8_t groups[8] = {3, 8};
    uint8_t mask[128];
    std::memset(mask, 7, sizeof mask);
    BitWriter w;
    w.put(3, 2).put(0b101, 3).put(0b011, 3);
    load(w);
    EXPECT_EQ(kvxdec_getmask(obj, &obj->ctx->shortBands, groups, 3, mask), 1);
    EXPECT_EQ(used(), 8);
    // Two groups of 14 entries; nothing behind them.
    EXPECT_EQ(vals(mask[0], mask[1], mask[2], mask[3], mask[4], mask[5], mask[13], mask[14], mask[15], mask[28]),
              vals(1, 0, 1, 0, 0, 0, 0, 0, 1, 7));

    // Mask 2 sets every band of every group, not only max_sfb of them.
    BitWriter all;
    all.put(2, 2);
    load(all);
    EXPECT_EQ(kvxdec_getmask(obj, &obj->ctx->longBands, groups, 5, mask), 2);
    EXPECT_EQ(used(), 2);
    EXPECT_EQ(mask[48], 1);
}

TEST_F(Bits, PredictorDataIsConsumedAndDropped) {
    for (int max_sfb : {49, 10}) {
        BitWriter w;
        w.put(1, 1).put(1, 1).put(31, 5);
        for (int i = 0; i < 40; ++i) w.put(1, 1);
        load(w);
        aacdec_vel_lt_decode(obj, 0, static_cast<uint8_t>(max_sfb), 0);
        EXPECT_EQ(used(), 7 + (max_sfb < 40 ? max_sfb : 40));
    }
}

TEST_F(Bits, TnsData) {
    // Long window: one filter of length 10, order 2, coef_res 1 (4 bits),
    // compression 1 (3-bit values): 4 is -4, 3 stays 3; then a second filter
    // longer than the bands left above it.
    BitWriter w;
    w.put(2, 2).put(1, 1);
    w.put(10, 6).put(2, 5).put(1, 1).put(1, 1).put(4, 3).put(3, 3);
    w.put(63, 6).put(0, 5);
    w.put(0x5, 3);
    load(w);
    TnsInfo tns{};
    kvxdec_get_tns(obj, &obj->ctx->longBands, &tns);
    const TnsFilter& f = tns.win[0].filt[0];
    EXPECT_EQ(vals(tns.n_windows, tns.win[0].n_filt, tns.win[0].coef_res, f.start_band, f.stop_band, f.order,
                   f.direction, f.coef[0], f.coef[1], tns.win[0].filt[1].start_band, tns.win[0].filt[1].stop_band),
              vals(1, 2, 4, 39, 49, 2, 1, -4, 3, 39 - 63, 39));
    EXPECT_EQ(aacdec_getbits(obj, 3), 0x5);

    // Eight-short: 1-bit filter counts, 4-bit lengths, 3-bit orders.
    BitWriter s;
    s.put(1, 1).put(0, 1).put(5, 4).put(1, 3).put(0, 1).put(0, 1).put(7, 3);
    for (int i = 1; i < 8; ++i) s.put(0, 1);
    load(s);
    kvxdec_get_tns(obj, &obj->ctx->shortBands, &tns);
    EXPECT_EQ(vals(tns.n_windows, tns.win[0].coef_res, tns.win[0].filt[0].start_band, tns.win[0].filt[0].coef[0],
                   tns.win[7].n_filt),
              vals(8, 3, 9, -1, 0));
    EXPECT_EQ(used(), 1 + 1 + 4 + 3 + 1 + 1 + 3 + 7);
}

class Sections : public Bits {
protected:
    int parse(int max_sfb, const uint8_t* groups, const BandInfo& layout) {
        obj->maxSfb[0] = static_cast<uint8_t>(max_sfb);
        std::memcpy(obj->windowGroups[0], groups, 8);
        count = -1;
        return get_sections(obj, &layout, 0, 0, list, &count, &coded);
    }
    SectionEntry list[kMaxSections];
    int count = 0;
    int coded = -1;
};

TEST_F(Sections, LongWindowWithATrailingZeroSection) {
    const uint8_t groups[8] = {1};
    BitWriter w;
    w.put(1, 4).put(31, 5).put(9, 5);  // length 40: 11111 then 01001
    load(w);
    ASSERT_EQ(parse(40, groups, obj->ctx->longBands), 1);
    EXPECT_EQ(vals(used(), coded), vals(14, 40));
    ASSERT_EQ(count, 2);
    EXPECT_EQ(vals(list[0].codebook, list[0].end, list[1].codebook, list[1].end, obj->sectCodebook[0][39],
                   obj->sectCodebook[0][40]),
              vals(1, 40, 0, 49, 1, 0));

    // max_sfb equal to the band count: no zero section is added.
    BitWriter full;
    full.put(5, 4).put(31, 5).put(18, 5);
    load(full);
    ASSERT_EQ(parse(49, groups, obj->ctx->longBands), 1);
    EXPECT_EQ(vals(count, coded), vals(1, 49));

    // Sections that overshoot the bands are invalid.
    BitWriter over;
    over.put(1, 4).put(31, 5).put(10, 5);
    load(over);
    EXPECT_EQ(parse(40, groups, obj->ctx->longBands), 0);

    // max_sfb beyond the band count is refused; max_sfb 0 reads nothing.
    EXPECT_EQ(parse(50, groups, obj->ctx->longBands), 0);
    std::memset(obj->sectCodebook[0], 9, 128);
    load(BitWriter().put(0xFF, 8));
    EXPECT_EQ(parse(0, groups, obj->ctx->longBands), 1);
    EXPECT_EQ(vals(count, used(), obj->sectCodebook[0][127]), vals(0, 0, 0));
}

TEST_F(Sections, ShortWindowsOneSectionPerGroup) {
    const uint8_t groups[8] = {2, 5, 8};
    BitWriter w;
    for (int cb : {1, 2, 3}) w.put(static_cast<uint32_t>(cb), 4).put(7, 3).put(3, 3);
    load(w);
    ASSERT_EQ(parse(10, groups, obj->ctx->shortBands), 1);
    ASSERT_EQ(count, 6);
    EXPECT_EQ(vals(list[0].end, list[1].end, list[2].end, list[3].end, list[4].end, list[5].end),
              vals(10, 14, 24, 28, 38, 42));
    EXPECT_EQ(vals(list[2].codebook, list[3].codebook, obj->sectCodebook[0][30], obj->sectCodebook[0][41]),
              vals(2, 0, 3, 0));
    EXPECT_EQ(coded, 10);  // the scale factors stop at band 10 of each group

    // A section running on into the next group (damaged data the decoder
    // still takes) leaves no band of its first group to the zero sections.
    BitWriter across;
    across.put(1, 4).put(7, 3).put(7, 3).put(6, 3);  // bands 0..19: group 0 and 6 of group 1
    across.put(2, 4).put(4, 3).put(3, 4).put(7, 3).put(3, 3);
    load(across);
    ASSERT_EQ(parse(10, groups, obj->ctx->shortBands), 1);
    EXPECT_EQ(vals(count, coded), vals(5, 14));
}

class ScaleFactors : public Bits {
protected:
    // The sections' codebooks band by band, as get_sections writes them.
    int run(std::vector<SectionEntry> sections, uint16_t gain, const uint8_t* groups,
            const BandInfo& layout) {
        std::memset(obj->sectCodebook[0], ZERO_HCB, 128);
        int start = 0;
        for (const SectionEntry& s : sections) {
            std::memset(obj->sectCodebook[0] + start, s.codebook, static_cast<size_t>(s.end - start));
            start = s.end;
        }
        return kvxdec_hufffac(obj, &layout, groups, gain, obj->scaleFactors[0], 0, layout.num_swb[0]);
    }
    int16_t sf(int i) const { return obj->scaleFactors[0][i]; }
};

// Codeword of a scale factor difference.
void put_delta(BitWriter& w, int delta) {
    for (const ScaleCode& s : kvxdec_bookscl)
        if (s.index == delta + 60) w.put(s.codeword, s.length);
}

TEST_F(ScaleFactors, DifferencesNoiseAndIntensity) {
    const uint8_t groups[8] = {1};
    BitWriter w;
    put_delta(w, 0);
    put_delta(w, -2);
    w.put(256, 9);  // the first noise band: 9 bits, 256 meaning no change
    put_delta(w, 3);
    put_delta(w, 5);  // intensity, book 14
    put_delta(w, -1);  // intensity, book 15: the same accumulator
    put_delta(w, 7);  // noise again, Huffman coded
    load(w);
    ASSERT_EQ(run({{1, 1}, {11, 2}, {NOISE_HCB, 3}, {0, 4}, {ESC_HCB, 5}, {INTENSITY_HCB2, 6},
                   {INTENSITY_HCB, 7}, {NOISE_HCB, 8}, {0, 49}},
                  100, groups, obj->ctx->longBands),
              1);
    // Noise starts at global_gain - 90.
    EXPECT_EQ(vals(sf(0), sf(1), sf(2), sf(3), sf(4), sf(5), sf(6), sf(7), sf(8)),
              vals(100, 98, 10, 0, 101, 5, 4, 17, 0));
}

TEST_F(ScaleFactors, OutOfRangeScaleFactorsAndBook12Fail) {
    const uint8_t groups[8] = {1};
    BitWriter low;
    put_delta(low, -4);
    load(low);
    EXPECT_EQ(run({{1, 1}, {0, 49}}, 3, groups, obj->ctx->longBands), 0);
    BitWriter high;
    put_delta(high, 6);
    load(high);
    EXPECT_EQ(run({{1, 1}, {0, 49}}, 250, groups, obj->ctx->longBands), 0);
    load(BitWriter());
    EXPECT_EQ(run({{0, 3}, {RESERVED_HCB, 4}, {0, 49}}, 100, groups, obj->ctx->longBands), 0);
}

TEST_F(ScaleFactors, ShortGroupsRepeatTheirValuesInEveryWindow) {
    const uint8_t groups[8] = {3, 8};
    BitWriter w;
    put_delta(w, 1);   // group 0, band 0
    put_delta(w, -1);  // group 1, band 0
    load(w);
    ASSERT_EQ(run({{1, 1}, {0, 14}, {1, 15}, {0, 28}}, 50, groups, obj->ctx->shortBands), 1);
    for (int win = 0; win < 8; ++win) EXPECT_EQ(sf(win * 14), win < 3 ? 51 : 50) << win;
    EXPECT_EQ(sf(1), 0);
}

// Sections then scale factors as the decoder takes them: get_sections'
// `coded` bounds the walk, short of the band count where max_sfb is, the
// whole group where a section runs on into the next one. Each band's value
// in every window of its group, zero beyond the coded bands, and the walk
// ends on the last scale factor's bit (a marker follows).
class SectionsThenScaleFactors : public Sections {
protected:
    int decode(int max_sfb, const uint8_t* groups, uint16_t gain) {
        if (!parse(max_sfb, groups, obj->ctx->shortBands)) return 0;
        return kvxdec_hufffac(obj, &obj->ctx->shortBands, obj->windowGroups[0], gain, obj->scaleFactors[0], 0,
                              coded);
    }
    // The 14 bands of each of the eight windows, the groups' values repeated.
    void expect(const uint8_t* groups, const std::vector<std::vector<int>>& by_group) {
        int win = 0;
        for (size_t g = 0; g < by_group.size(); ++g)
            for (; win < groups[g]; ++win)
                for (int j = 0; j < 14; ++j) {
                    const int want = j < static_cast<int>(by_group[g].size()) ? by_group[g][static_cast<size_t>(j)] : 0;
                    EXPECT_EQ(obj->scaleFactors[0][win * 14 + j], want) << "window " << win << " band " << j;
                }
    }
};

TEST_F(SectionsThenScaleFactors, CodedBandsBoundTheWalk) {
    const uint8_t groups[8] = {2, 5, 8};
    BitWriter w;
    w.put(1, 4).put(7, 3).put(3, 3);                       // group 0: book 1, bands 0..9
    w.put(NOISE_HCB, 4).put(4, 3).put(2, 4).put(6, 3);     // group 1: noise 0..3, book 2 4..9
    w.put(INTENSITY_HCB, 4).put(2, 3).put(3, 4).put(7, 3).put(1, 3);  // group 2: intensity 0..1, book 3 2..9
    for (int j = 0; j < 10; ++j) put_delta(w, 1);
    w.put(256 + 5, 9);
    for (int j = 1; j < 4; ++j) put_delta(w, -1);
    for (int j = 4; j < 10; ++j) put_delta(w, 2);
    put_delta(w, 3);
    put_delta(w, -4);
    for (int j = 2; j < 10; ++j) put_delta(w, -3);
    w.put(0x2A, 6);
    load(w);
    ASSERT_EQ(decode(10, groups, 100), 1);
    EXPECT_EQ(coded, 10);
    expect(groups, {{101, 102, 103, 104, 105, 106, 107, 108, 109, 110},
                    {15, 14, 13, 12, 112, 114, 116, 118, 120, 122},
                    {3, -1, 119, 116, 113, 110, 107, 104, 101, 98}});
    EXPECT_EQ(aacdec_getbits(obj, 6), 0x2A);
}

TEST_F(SectionsThenScaleFactors, ASectionIntoTheNextGroupCodesWholeGroups) {
    const uint8_t groups[8] = {2, 5, 8};
    BitWriter w;
    w.put(1, 4).put(7, 3).put(7, 3).put(6, 3);  // bands 0..19: group 0 and 6 of group 1
    w.put(2, 4).put(4, 3).put(3, 4).put(7, 3).put(3, 3);
    for (int j = 0; j < 14; ++j) put_delta(w, 1);
    for (int j = 0; j < 10; ++j) put_delta(w, -2);
    for (int j = 0; j < 10; ++j) put_delta(w, 1);
    w.put(0x2A, 6);
    load(w);
    ASSERT_EQ(decode(10, groups, 100), 1);
    EXPECT_EQ(coded, 14);
    expect(groups, {{101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114},
                    {112, 110, 108, 106, 104, 102, 100, 98, 96, 94},
                    {95, 96, 97, 98, 99, 100, 101, 102, 103, 104}});
    EXPECT_EQ(aacdec_getbits(obj, 6), 0x2A);
}

TEST_F(Bits, EscapesOfBook11) {
    // (16, 3) with sign bits 1, 0; escape prefix 110 and word 000101.
    const int16_t tops[1] = {2};
    const std::vector<Codeword> all = load_codebooks();
    // Writes book 11's codeword of the pair.
    const auto put_pair = [&](BitWriter& w, int x, int y) -> BitWriter& {
        for (const Codeword& c : all)
            if (c.book == 11 && c.values == std::vector<int>{x, y})
                for (char b : c.bits) w.put(b == '1', 1);
        return w;
    };
    BitWriter w;
    put_pair(w, 16, 3).put(1, 1).put(0, 1).put(0b110, 3).put(0b000101, 6).put(0x3, 2);
    load(w);
    int16_t quant[4] = {};
    const SectionEntry sec[1] = {{ESC_HCB, 1}};
    kvxdec_DecodeHuff(1, tops, sec, quant, &obj->fifo);
    EXPECT_EQ(vals(quant[0], quant[1], aacdec_getbits(obj, 2)), vals(-69, 3, 3));

    // The longest prefix, eight ones (N = 12), gives up to 8191; a ninth one
    // fails the block.
    BitWriter l;
    put_pair(l, 16, 0).put(0, 1).put(0xFF, 8).put(0, 1).put(0xFFF, 12).put(0x2, 2);
    load(l);
    EXPECT_TRUE(kvxdec_DecodeHuff(1, tops, sec, quant, &obj->fifo));
    EXPECT_EQ(vals(quant[0], quant[1], aacdec_getbits(obj, 2)), vals(8191, 0, 2));
    BitWriter v;
    put_pair(v, 16, 0).put(0, 1).put(0x1FF, 9).put(0, 1).put(0xFFF, 13);
    load(v);
    EXPECT_FALSE(kvxdec_DecodeHuff(1, tops, sec, quant, &obj->fifo));
}

TEST_F(Bits, NoiseAndIntensitySectionsSkipTheirBands) {
    const int16_t tops[3] = {4, 8, 12};
    int16_t quant[12] = {};
    BitWriter w;
    w.put(0, 1).put(1, 1);  // book 1: code 0 is (0,0,0,0)
    load(w);
    const SectionEntry sec[3] = {{NOISE_HCB, 1}, {INTENSITY_HCB, 2}, {1, 3}};
    kvxdec_DecodeHuff(3, tops, sec, quant, &obj->fifo);
    EXPECT_EQ(used(), 1);  // only the last band was read: one bit
    for (int16_t q : quant) EXPECT_EQ(q, 0);
}

TEST_F(Bits, PulsesAndShortWindowOrder) {
    // All-zero long spectrum with pulses at 44.1 kHz: band 2 starts at line 8.
    BandInfo band = obj->ctx->longBands;
    obj->ctx->pulse = PulseInfo{1, 1, 2, {1, 3, 0, 0}, {2, 1, 0, 0}};
    for (int i = 0; i < 128; ++i) obj->scaleFactors[0][i] = 100;
    const SectionEntry zero[1] = {{0, 49}};
    load(BitWriter());
    kvxdec_huffspec(obj, &band, 1, zero, 0);
    for (int k = 0; k < 1024; ++k) {
        const int32_t want = k == 9 ? dequant_value(-2, 100) : (k == 12 ? dequant_value(-1, 100) : 0);
        ASSERT_EQ(obj->coef[0][k], want) << k;
    }
    obj->ctx->pulse.pulse_data_present = 0;

    // One group of eight windows: band 0 (4 lines) came window after window.
    BandInfo shrt = obj->ctx->shortBands;
    const uint8_t groups[8] = {8};
    group_layout(&shrt, groups);
    int16_t quant[1024], scratch[1024];
    for (int i = 0; i < 1024; ++i) quant[i] = static_cast<int16_t>(i);
    ungroup_short(&shrt, quant, scratch);
    for (int win = 0; win < 8; ++win)
        for (int l = 0; l < 4; ++l) EXPECT_EQ(quant[128 * win + l], 4 * win + l);
    EXPECT_EQ(quant[4], 32);  // band 1 of window 0 follows all of band 0
    EXPECT_EQ(quant[1023], 1023);
}

TEST(Dequant, WorkedValues) {
    if (kExactArithmetic) {
        // 32 * q^(4/3) * 2^((sf - 100) / 4), rounded, over the whole range of
        // escapes: within half a unit plus 2^-20 of the value; saturated above.
        for (int sf : {0, 60, 80, 99, 100, 101, 102, 103, 128, 150}) {
            for (int q = 1; q <= 8191; ++q) {
                const double want = 32 * std::pow(q, 4.0 / 3.0) * std::pow(2.0, (sf - 100) / 4.0);
                const int32_t got = dequant_value(static_cast<int16_t>(q), sf);
                if (want >= INT32_MAX) ASSERT_EQ(got, INT32_MAX) << q << " " << sf;
                else ASSERT_LE(std::fabs(got - want), 0.5 + want * 0x1p-20) << q << " " << sf;
            }
        }
        EXPECT_EQ(dequant_value(8191, 255), INT32_MAX);
    } else {
        struct V {
            int q, sf;
            int32_t want;
        } values[] = {{1, 100, 38},          {2, 100, 76},         {3, 100, 130},     {7, 90, 76},
                      {100, 100, 14855},     {2047, 100, 828141},  {2048, 100, 832486},
                      {8191, 100, 5258737},  {1, 128, 4877},       {-1, 128, -4877},
                      {8191, 128, 673118365}, {1, 60, 0}};
        for (const V& v : values)
            EXPECT_EQ(dequant_value(static_cast<int16_t>(v.q), v.sf), v.want) << v.q << " " << v.sf;
        for (int sf = 0; sf <= 59; ++sf) EXPECT_EQ(dequant_value(8191, sf), 0);
        for (int sf = 188; sf <= 255; ++sf) EXPECT_EQ(dequant_value(5, sf), dequant_value(5, 188));
    }
    EXPECT_EQ(dequant_value(-32768, 100), dequant_value(-32767, 100));
    int32_t prev = 0;
    for (int q = 1; q <= 8191; ++q) {
        const int32_t x = dequant_value(static_cast<int16_t>(q), 100);
        ASSERT_GE(x, prev) << q;
        ASSERT_EQ(dequant_value(static_cast<int16_t>(-q), 100), -x);
        prev = x;
    }
}

TEST(Dequant, ShortFramesTakeOneScaleFactorPerBandAndWindow) {
    MP4AACDEC_QUVA_Obj* dec = make_decoder(true);
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[4]);
    const BandInfo& b = dec->ctx->shortBands;
    int32_t buf[1024];
    int16_t* quant = reinterpret_cast<int16_t*>(buf) + 1024;
    for (int i = 0; i < 1024; ++i) quant[i] = 1;
    int16_t sf[128];
    for (int i = 0; i < 112; ++i) sf[i] = static_cast<int16_t>(i % 14 == 0 ? 128 : 100);
    kvxdec_DequantizeGains(b.num_windows, b.num_swb, buf, quant, sf, b.window_swb_top);
    // Band 0 of every window at sf 128, the rest at 100.
    for (int win = 0; win < 8; ++win)
        EXPECT_EQ(vals(buf[128 * win], buf[128 * win + 4], buf[128 * win + 127]),
                  vals(dequant_value(1, 128), dequant_value(1, 100), dequant_value(1, 100)));
}

// The fills and copies of word runs (zero bands, subband rows above a
// boundary, delay lines): exactly the n words from any word position, of
// every length a slot or window asks for, none for n <= 0; the words around
// them untouched (on armhf the blocks of four go through VSTM/VLDM, the odd
// words one by one).
TEST(WordRuns, FillAndCopyExactlyTheirWords) {
    constexpr int kGuard = 8, kMax = 132;
    int32_t src[kMax + 4];
    for (int i = 0; i < kMax + 4; ++i) src[i] = 0x1000 + i;
    for (int at = 0; at < 4; ++at) {
        for (int n = -3; n <= kMax; ++n) {
            int32_t fill[kGuard + kMax + 4 + kGuard], copy[kGuard + kMax + 4 + kGuard];
            for (int32_t& w : fill) w = -1;
            for (int32_t& w : copy) w = -1;
            words::zero_words(fill + kGuard + at, n);
            words::copy_words(copy + kGuard + at, src + at, n);
            for (int i = 0; i < kGuard + kMax + 4 + kGuard; ++i) {
                const int k = i - kGuard - at;
                const bool inside = k >= 0 && k < n;
                ASSERT_EQ(fill[i], inside ? 0 : -1) << "at " << at << " n " << n << " word " << k;
                ASSERT_EQ(copy[i], inside ? src[at + k] : -1) << "at " << at << " n " << n << " word " << k;
            }
        }
    }
}

// The rounded shift of a 64-bit value taken from its two words (ARM's
// rshr64, rshr64_neg and mul_q31 use it; here it runs on every target)
// against the 64-bit sum and shift: every s with values at the rounding
// boundaries, the extremes and random ones, results reduced modulo 2^32.
TEST(Fixed, RoundedShiftFromTheWords) {
    std::mt19937_64 rng(13);
    auto ref = [](int64_t a, int s) {
        return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s));
    };
    for (int s = 1; s <= 31; ++s) {
        const int64_t half = INT64_C(1) << (s - 1);
        for (int i = 0; i < 40000; ++i) {
            int64_t a = static_cast<int64_t>(rng()) >> (rng() % 64);
            if (i < 12) {
                const int64_t edges[] = {0, 1, -1, half, half - 1, -half, -half - 1, INT64_MAX, INT64_MIN,
                                         INT64_MAX - half, INT64_MIN + half, (INT64_C(1) << 62) - half};
                a = edges[i];
            } else if (i % 3 == 0) {
                a = (a & ~((INT64_C(2) << (s - 1)) - 1)) + half - (i % 2);  // just below or at a half
            }
            ASSERT_EQ(static_cast<uint32_t>(fx::rshr64_low(a, s)), ref(a, s)) << a << " " << s;
            ASSERT_EQ(static_cast<uint32_t>(fx::rshr64_low_neg(a, s)), 0u - ref(a, s)) << a << " " << s;
        }
    }
    // The negated shift by 32 (the high word and the low word's top bit on
    // 32-bit ARM).
    for (int i = 0; i < 40000; ++i) {
        int64_t a = static_cast<int64_t>(rng()) >> (rng() % 64);
        if (i % 3 == 0) a = (a & ~INT64_C(0xFFFFFFFF)) + INT64_C(0x80000000) - (i % 2);  // at or below a half
        ASSERT_EQ(static_cast<uint32_t>(fx::rshr64_neg(a, 32)), 0u - ref(a, 32)) << a;
    }
    for (int i = 0; i < 200000; ++i) {
        int32_t a = static_cast<int32_t>(rng()) >> (rng() % 32), b = static_cast<int32_t>(rng()) >> (rng() % 32);
        if (i < 4) a = i & 1 ? INT32_MIN : INT32_MAX, b = i & 2 ? INT32_MAX : -INT32_MAX;
        ASSERT_EQ(fx::mul_q31(a, b), static_cast<int32_t>((static_cast<int64_t>(a) * b + (INT64_C(1) << 30)) >> 31)) << a << " " << b;
    }
}

}  // namespace
