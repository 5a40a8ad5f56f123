// PS data reader: ps_data() with its extension (IPD/OPD), the envelope
// borders, and the Huffman-coded parameters, differential in frequency
// (each band from the one below, the first from zero) or in time (each
// band from the previous envelope's, the first envelope from the previous
// frame's last).
//
// Readings worth knowing:
// - Variable borders must increase or stay (an envelope may be empty); a
//   frame whose last border ends before the frame's last slot, or that has
//   no envelope, gets one more envelope up to the last slot with the last
//   envelope's values (with no envelope: the previous frame's last).
// - IID indices outside +-7 (+-15 fine) and ICC indices outside 0..7 are
//   errors; IPD/OPD indices are taken modulo 8.
// - A parameter that is not enabled is zero in every band.
// - The configuration is 34 bands when the IID (or, without IID, the ICC)
//   comes in 34 bands, else 20; frames without either keep it.
#include "ps/ps_data.h"

#include <cstring>

#include "sbr/payload_bits.h"
#include "tables/ps_tables.h"

namespace {

constexpr int kSlots = 32;  // QMF slots of a 1024-sample frame

using BitReader = PayloadBits;

bool huff_decode(BitReader& br, PsHuffId id, int* value) { return huff_walk(br, ps_huff[id], kPsHuffLeafBias, value); }

enum Kind { IID, IID_FINE, ICC, IPD, OPD };

// One envelope's values of one parameter, n bands, into field f of cur;
// prev: the base of time-differential coding.
bool read_values(BitReader& br, Kind kind, PsField f, bool dt, int n, const uint8_t* prev, uint8_t* cur) {
    static constexpr PsHuffId kDf[] = {PS_HUFF_IID_DF, PS_HUFF_IID_FINE_DF, PS_HUFF_ICC_DF, PS_HUFF_IPD_DF,
                                       PS_HUFF_OPD_DF};
    static constexpr PsHuffId kDt[] = {PS_HUFF_IID_DT, PS_HUFF_IID_FINE_DT, PS_HUFF_ICC_DT, PS_HUFF_IPD_DT,
                                       PS_HUFF_OPD_DT};
    const PsHuffId id = dt ? kDt[kind] : kDf[kind];
    int value = 0;
    for (int b = 0; b < n; ++b) {
        int delta;
        if (!huff_decode(br, id, &delta)) return false;
        value = (dt ? ps_get(prev[b], f) : (b ? value : 0)) + delta;
        switch (kind) {
        case IID:
            if (value < -ps_iid_lav_normal || value > ps_iid_lav_normal) return false;
            break;
        case IID_FINE:
            if (value < -ps_iid_lav_fine || value > ps_iid_lav_fine) return false;
            break;
        case ICC:
            if (value < 0 || value > ps_icc_max) return false;
            break;
        default:
            value &= 7;
            break;
        }
        cur[b] = ps_put(cur[b], f, value);
    }
    return true;
}

// The envelopes of one parameter (two with the phases, interleaved by
// envelope): a dt flag and the values per envelope. ref_ok: the previous
// frame's last envelope is a base.
template <int N>
bool read_param(BitReader& br, Kind kind, PsField f, Kind kind2, PsField f2, bool two, int n, int num_env,
                int prev_last, bool ref_ok, uint8_t (*par)[N]) {
    for (int e = 0; e < num_env; ++e) {
        const uint8_t* prev = par[e ? e - 1 : prev_last];
        for (int i = 0; i < (two ? 2 : 1); ++i) {
            const bool dt = br.bit() != 0;
            if (dt && e == 0 && !ref_ok) return false;
            if (!read_values(br, i ? kind2 : kind, i ? f2 : f, dt, n, prev, par[e])) return false;
        }
    }
    return true;
}

// Sets field f of every envelope and band to x.
template <int N>
void fill(uint8_t (*par)[N], PsField f, int x) {
    for (int e = 0; e < kPsMaxEnvelopes; ++e)
        for (int b = 0; b < N; ++b) par[e][b] = ps_put(par[e][b], f, x);
}

}  // namespace

bool ps_read_data(PsParams* p, const uint8_t* data, uint32_t bit_offset, uint32_t bit_count) {
    BitReader br{data, bit_offset + bit_count, bit_offset, false};
    if (br.bit()) {  // enable_ps_header
        // Taken only whole and valid: a reserved mode refuses the header
        // and leaves the modes in force as they were (a later header that
        // leaves the mode out keeps a valid one).
        const bool iid = br.bit() != 0;
        const uint32_t iid_mode = iid ? br.read(3) : p->iid_mode;
        const bool icc = br.bit() != 0;
        const uint32_t icc_mode = icc ? br.read(3) : p->icc_mode;
        const bool ext = br.bit() != 0;
        if (iid_mode > 5 || icc_mode > 5 || br.overrun) {
            p->have_header = 0;
            return false;
        }
        p->enable_iid = iid;
        p->iid_mode = static_cast<uint8_t>(iid_mode);
        p->enable_icc = icc;
        p->icc_mode = static_cast<uint8_t>(icc_mode);
        p->enable_ext = ext;
        p->have_header = 1;
    }
    if (!p->have_header) return false;
    const int frame_class = static_cast<int>(br.bit());
    int num_env = ps_num_env[4 * frame_class + static_cast<int>(br.read(2))];
    int8_t border[kPsMaxEnvelopes + 1];
    border[0] = -1;
    for (int e = 1; e <= num_env; ++e) {
        if (frame_class) {
            border[e] = static_cast<int8_t>(br.read(5));
            if (border[e] < border[e - 1]) return false;
        } else {
            border[e] = static_cast<int8_t>(e * kSlots / num_env - 1);
        }
    }
    // A frame that cannot be read leaves values half replaced: none of them
    // is a base for time-differential data any more.
    const bool ref_ok = p->ref_ok != 0;
    p->ref_ok = 0;
    const int prev_last = p->num_env ? p->num_env - 1 : 0;
    const int nr_iid = ps_nr_iid_icc_par[p->iid_mode];
    const int nr_icc = ps_nr_iid_icc_par[p->icc_mode];
    const int nr_pd = ps_nr_ipdopd_par[p->iid_mode];
    if (p->enable_iid) {
        if (!read_param(br, p->iid_mode > 2 ? IID_FINE : IID, kPsIid, IID, kPsIid, false, nr_iid, num_env,
                        prev_last, ref_ok, p->level))
            return false;
    } else {
        fill(p->level, kPsIid, 0);
    }
    if (p->enable_icc) {
        if (!read_param(br, ICC, kPsIcc, ICC, kPsIcc, false, nr_icc, num_env, prev_last, ref_ok, p->level))
            return false;
    } else {
        fill(p->level, kPsIcc, 0);
    }
    // The phases are this frame's alone: a frame without them (no
    // extension, or none of their kind) has none.
    bool ipdopd = false;
    if (p->enable_ext) {
        int32_t left = static_cast<int32_t>(br.read(4));
        if (left == 15) left += static_cast<int32_t>(br.read(8));
        left *= 8;
        while (left > 7 && !br.overrun) {
            const uint32_t id = br.read(2);
            left -= 2;
            if (id != 0) continue;
            const uint32_t start = br.pos;
            ipdopd = br.bit() != 0;
            if (ipdopd &&
                !read_param(br, IPD, kPsIpd, OPD, kPsOpd, true, nr_pd, num_env, prev_last, ref_ok, p->phase))
                return false;
            br.bit();  // reserved_ps
            left -= static_cast<int32_t>(br.pos - start);
        }
        if (left < 0) return false;
        br.pos = br.pos + static_cast<uint32_t>(left) > br.end ? br.end : br.pos + static_cast<uint32_t>(left);
    }
    if (br.overrun) return false;

    // The appended envelope.
    if (num_env == 0 || border[num_env] < kSlots - 1) {
        const int src = num_env ? num_env - 1 : (p->num_env ? p->num_env - 1 : -1);
        if (src >= 0 && src != num_env) {
            std::memcpy(p->level[num_env], p->level[src], sizeof p->level[0]);
            std::memcpy(p->phase[num_env], p->phase[src], sizeof p->phase[0]);
        }
        ++num_env;
        border[num_env] = kSlots - 1;
    }
    p->enable_ipdopd = ipdopd;
    if (!ipdopd) std::memset(p->phase, 0, sizeof p->phase);
    if (p->enable_iid || p->enable_icc)
        p->is34 = static_cast<uint8_t>(p->enable_iid ? nr_iid == 34 : nr_icc == 34);
    p->num_env = static_cast<uint8_t>(num_env);
    std::memcpy(p->border, border, sizeof border);
    p->ref_ok = 1;
    return true;
}
