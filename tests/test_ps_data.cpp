// The parametric stereo reader across frames, against frames written here
// with the data file's Huffman codes: what a header and an extension leave
// for the frames after them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bitstream_util.h"
#include "ps/ps_data.h"
#include "sbr_test_util.h"

namespace {

void put_code(BitWriter& w, const std::string& table, int value) {
    static const auto codes = [] {
        std::map<std::string, std::map<int, std::string>> m;
        for (const auto& r : table_data("ps", "huffman.tsv")) m[r[0]][std::stoi(r[2])] = r[5];
        return m;
    }();
    for (char ch : codes.at(table).at(value)) w.put(ch == '1', 1);
}

// One envelope of n bands coded in frequency, the first band v, the others
// equal to it.
void put_envelope(BitWriter& w, const std::string& table, int n, int v) {
    w.put(0, 1);  // in frequency
    for (int b = 0; b < n; ++b) put_code(w, table, b ? 0 : v);
}

struct Frame {
    bool header = true;
    bool iid = true;
    int iid_mode = 0;
    bool icc = true;
    bool ext = false;
    int ipd = -1;  // the extension's IPD/OPD index of its first band (-1: none in it)
};

// A frame of one envelope with fixed borders, IID 1 and ICC 1 where they
// are enabled (10 bands, as modes 0 and 3 have; the 34-band modes are not
// written here).
std::vector<uint8_t> frame(const Frame& f, uint32_t* bits) {
    BitWriter w;
    w.put(f.header, 1);
    if (f.header) {
        w.put(f.iid, 1);
        if (f.iid) w.put(static_cast<uint32_t>(f.iid_mode), 3);
        w.put(f.icc, 1);
        if (f.icc) w.put(0, 3);
        w.put(f.ext, 1);
    }
    w.put(0, 1).put(1, 2);  // fixed borders, one envelope
    if (f.iid) put_envelope(w, "iid_df", 10, 1);
    if (f.icc) put_envelope(w, "icc_df", 10, 1);
    if (f.ext) {
        BitWriter e;
        if (f.ipd >= 0) {
            e.put(0, 2).put(1, 1);  // extension 0: IPD/OPD
            put_envelope(e, "ipd_df", 5, f.ipd);
            put_envelope(e, "opd_df", 5, 0);
            e.put(0, 1);  // reserved
        } else {
            e.put(1, 2);  // an extension of another kind
        }
        e.align();
        w.put(static_cast<uint32_t>(e.bits() / 8), 4).bytes(e.data());
    }
    *bits = static_cast<uint32_t>(w.bits());
    return w.data();
}

bool read(PsParams* p, const Frame& f) {
    uint32_t bits = 0;
    const std::vector<uint8_t> bytes = frame(f, &bits);
    return ps_read_data(p, bytes.data(), 0, bits);
}

bool no_phases(const PsParams& p) {
    const auto* b = &p.phase[0][0];
    return std::all_of(b, b + sizeof p.phase, [](uint8_t x) { return x == 0; });
}

// IPD/OPD belong to the frame whose extension carries them: a new header
// without the extension, or an extension of another kind, ends them. (They
// were kept, and the stereo image stayed turned, until a frame with phases
// came.)
TEST(PsData, PhasesEndWithTheirExtension) {
    PsParams p{};
    ASSERT_TRUE(read(&p, {.ext = true, .ipd = 2}));
    EXPECT_EQ(p.enable_ipdopd, 1);
    EXPECT_FALSE(no_phases(p));
    ASSERT_TRUE(read(&p, {.ext = false}));
    EXPECT_EQ(p.enable_ipdopd, 0);
    EXPECT_TRUE(no_phases(p));

    ASSERT_TRUE(read(&p, {.ext = true, .ipd = 2}));
    EXPECT_EQ(p.enable_ipdopd, 1);
    ASSERT_TRUE(read(&p, {.ext = true, .ipd = -1}));
    EXPECT_EQ(p.enable_ipdopd, 0);
    EXPECT_TRUE(no_phases(p));
}

// A header with a reserved mode is refused with the frames after it, and
// the next valid header plays again, also one that leaves IID out (it was
// refused for the mode the damaged header had left behind).
TEST(PsData, AReservedModeIsRefusedUntilTheNextHeader) {
    PsParams p{};
    ASSERT_TRUE(read(&p, {}));
    EXPECT_FALSE(read(&p, {.iid_mode = 6}));
    EXPECT_FALSE(read(&p, {.header = false}));
    EXPECT_EQ(p.iid_mode, 0);
    EXPECT_TRUE(read(&p, {.iid = false}));
    EXPECT_EQ(p.enable_iid, 0);
    EXPECT_TRUE(read(&p, {.header = false, .iid = false}));
}

}  // namespace
