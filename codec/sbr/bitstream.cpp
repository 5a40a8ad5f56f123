// SBR payload reader (ISO/IEC 14496-3, MPEG-4 SBR: sbr_extension_data(),
// sbr_header(), sbr_single_channel_element(), sbr_channel_pair_element(),
// sbr_grid(), sbr_dtdf(), sbr_invf(), sbr_envelope(), sbr_noise(),
// sbr_sinusoidal_coding(), the time/frequency grid and the delta decoding
// of envelope and noise floor scalefactors).
//
// Readings worth knowing:
// - The single-envelope FIXFIX rule (3 dB envelope steps are not used for
//   a FIXFIX frame of one envelope: amp_res 0) is applied per channel,
//   from that channel's own grid; in a coupled pair the second channel has
//   the first one's grid and so its amp_res.
// - The coupled second channel's values (envelope and noise floor, start
//   values and deltas alike) are in steps of 2: every coded value is
//   doubled before it is added.
// - middleBorder for VARFIX is 1 for bs_pointer 0, L_E - 1 for
//   bs_pointer 1, else bs_pointer - 1; for FIXVAR and VARVAR L_E - 1 for
//   bs_pointer 0 or 1, else L_E + 1 - bs_pointer. l_A is -1 for FIXFIX,
//   for VARFIX bs_pointer - 1 when bs_pointer > 1 (else -1), for FIXVAR
//   and VARVAR L_E + 1 - bs_pointer when bs_pointer > 0 (else -1).
// - A bs_pointer above L_E, more than five envelopes (FIXFIX with
//   bs_num_env 8, VARVAR with more than four relative borders) and borders
//   that do not increase are errors.
// - Decoded scalefactors must lie in 0..127 (every start value does; a
//   conforming stream's deltas keep them non-negative). Anything outside
//   is reported as a range error rather than clamped.
// - Time-direction coding after a coupling change refers to the channel's
//   previous values as they are (level or balance): the formulas make no
//   difference and a conforming encoder codes in frequency direction there.
// - Only the first parametric stereo extension's place is recorded; the
//   rest of that frame's extended data is skipped (its end is only known
//   to the PS reader).
#include "sbr/bitstream.h"

#include "sbr/payload_bits.h"
#include "tables/sbr_tables.h"

namespace {

constexpr int kNumTimeSlots = kSbrTimeSlots;  // 1024-sample frames
constexpr int kValueMax = 127;                // largest scalefactor kept (int8_t)
constexpr int kPsExtensionId = 2;

using BitReader = PayloadBits;

bool huff_decode(BitReader& br, SbrHuffId id, int* value) {
    return huff_walk(br, sbr_huff[id], kSbrHuffLeafBias, value);
}

// The header's fields that shape the frequency tables.
SbrFreqHeader freq_header(const SbrHeader& h) {
    return SbrFreqHeader{h.start_freq, h.stop_freq, h.freq_scale, h.alter_scale,
                         h.xover_band, h.noise_bands, h.limiter_bands};
}

void read_header(BitReader& br, SbrHeader* h) {
    h->amp_res = br.read8(1);
    h->start_freq = br.read8(4);
    h->stop_freq = br.read8(4);
    h->xover_band = br.read8(3);
    br.skip(2);  // bs_reserved
    const uint32_t extra_1 = br.bit();
    const uint32_t extra_2 = br.bit();
    if (extra_1) {
        h->freq_scale = br.read8(2);
        h->alter_scale = br.read8(1);
        h->noise_bands = br.read8(2);
    } else {
        h->freq_scale = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_FREQ_SCALE]);
        h->alter_scale = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_ALTER_SCALE]);
        h->noise_bands = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_NOISE_BANDS]);
    }
    if (extra_2) {
        h->limiter_bands = br.read8(2);
        h->limiter_gains = br.read8(2);
        h->interpol_freq = br.read8(1);
        h->smoothing_mode = br.read8(1);
    } else {
        h->limiter_bands = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_LIMITER_BANDS]);
        h->limiter_gains = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_LIMITER_GAINS]);
        h->interpol_freq = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_INTERPOL_FREQ]);
        h->smoothing_mode = static_cast<uint8_t>(sbr_header_defaults[SBR_DEFAULT_SMOOTHING_MODE]);
    }
}

// Puts a newly read header in force: new tables when a field they depend on
// or the rate changed; *reset when the change is one that restarts the SBR
// tool (start, stop, frequency scale, alter scale, crossover, noise bands)
// or there was no header before.
SbrParseStatus apply_header(SbrParseState* st, const SbrHeader& h, int32_t fs_sbr, bool* reset) {
    const SbrHeader& o = st->header;
    const bool restart = !st->have_header || st->fs_sbr != fs_sbr || o.start_freq != h.start_freq ||
                         o.stop_freq != h.stop_freq || o.freq_scale != h.freq_scale ||
                         o.alter_scale != h.alter_scale || o.xover_band != h.xover_band ||
                         o.noise_bands != h.noise_bands;
    *reset = restart;
    if (restart || o.limiter_bands != h.limiter_bands) {
        if (sbr_derive_freq_tables(freq_header(h), fs_sbr, &st->tables) != SBR_FREQ_OK) {
            // The tables are spoilt: no frame read with the old ones may be
            // played again (concealment), and the next header starts afresh.
            st->have_header = 0;
            st->reset_pending = 1;
            return SBR_PARSE_ERR_TABLES;
        }
    }
    st->header = h;
    st->fs_sbr = fs_sbr;
    st->have_header = 1;
    return SBR_PARSE_OK;
}

// sbr_grid(): the frame class and borders, resolved into *g; *amp_res is
// the header's and becomes 0 for a FIXFIX frame of one envelope.
SbrParseStatus read_grid(BitReader& br, SbrGrid* g, uint8_t* amp_res) {
    const int frame_class = static_cast<int>(br.read(2));
    int num_env = 1, abs_lead = 0, abs_trail = kNumTimeSlots, n_rel_lead = 0, n_rel_trail = 0;
    int rel_lead[kSbrMaxEnvelopes] = {};
    int rel_trail[kSbrMaxEnvelopes] = {};
    int pointer = 0;
    *g = SbrGrid{};
    g->frame_class = static_cast<uint8_t>(frame_class);
    switch (frame_class) {
    case SBR_FIXFIX: {
        num_env = 1 << br.read(2);
        if (num_env > kSbrMaxEnvelopes) return SBR_PARSE_ERR_RANGE;
        if (num_env == 1) *amp_res = 0;
        const uint8_t res = br.read8(1);
        for (int l = 0; l < num_env; ++l) g->freq_res[l] = res;
        n_rel_lead = num_env - 1;
        for (int l = 0; l < n_rel_lead; ++l) rel_lead[l] = kNumTimeSlots / num_env;  // exact: 1, 2, 4
        break;
    }
    case SBR_FIXVAR: {
        abs_trail = kNumTimeSlots + static_cast<int>(br.read(2));
        n_rel_trail = static_cast<int>(br.read(2));
        num_env = n_rel_trail + 1;
        for (int r = 0; r < n_rel_trail; ++r) rel_trail[r] = 2 * static_cast<int>(br.read(2)) + 2;
        pointer = static_cast<int>(br.read(sbr_pointer_bits[num_env]));
        for (int l = 0; l < num_env; ++l) g->freq_res[num_env - 1 - l] = br.read8(1);
        break;
    }
    case SBR_VARFIX: {
        abs_lead = static_cast<int>(br.read(2));
        n_rel_lead = static_cast<int>(br.read(2));
        num_env = n_rel_lead + 1;
        for (int r = 0; r < n_rel_lead; ++r) rel_lead[r] = 2 * static_cast<int>(br.read(2)) + 2;
        pointer = static_cast<int>(br.read(sbr_pointer_bits[num_env]));
        for (int l = 0; l < num_env; ++l) g->freq_res[l] = br.read8(1);
        break;
    }
    default: {  // SBR_VARVAR
        abs_lead = static_cast<int>(br.read(2));
        abs_trail = kNumTimeSlots + static_cast<int>(br.read(2));
        n_rel_lead = static_cast<int>(br.read(2));
        n_rel_trail = static_cast<int>(br.read(2));
        num_env = n_rel_lead + n_rel_trail + 1;
        if (num_env > kSbrMaxEnvelopes) return SBR_PARSE_ERR_RANGE;
        for (int r = 0; r < n_rel_lead; ++r) rel_lead[r] = 2 * static_cast<int>(br.read(2)) + 2;
        for (int r = 0; r < n_rel_trail; ++r) rel_trail[r] = 2 * static_cast<int>(br.read(2)) + 2;
        pointer = static_cast<int>(br.read(sbr_pointer_bits[num_env]));
        for (int l = 0; l < num_env; ++l) g->freq_res[l] = br.read8(1);
        break;
    }
    }
    if (pointer > num_env) return SBR_PARSE_ERR_RANGE;

    // Envelope borders: the leading ones from the start, the trailing ones
    // back from the end; they must increase.
    int t[kSbrMaxEnvelopes + 1];
    t[0] = abs_lead;
    t[num_env] = abs_trail;
    for (int l = 1; l <= n_rel_lead && l < num_env; ++l) t[l] = t[l - 1] + rel_lead[l - 1];
    for (int l = n_rel_lead + 1; l < num_env; ++l) {
        int sum = 0;
        for (int i = 0; i < num_env - l; ++i) sum += rel_trail[i];
        t[l] = abs_trail - sum;
    }
    for (int l = 0; l < num_env; ++l)
        if (t[l + 1] <= t[l]) return SBR_PARSE_ERR_RANGE;
    for (int l = 0; l <= num_env; ++l) g->t_env[l] = static_cast<uint8_t>(t[l]);

    // The transient envelope and the border between the two noise floors.
    int l_a = -1, middle = num_env / 2;
    if (frame_class == SBR_VARFIX) {
        if (pointer > 1) l_a = pointer - 1;
        middle = pointer == 0 ? 1 : pointer == 1 ? num_env - 1 : pointer - 1;
    } else if (frame_class != SBR_FIXFIX) {
        if (pointer > 0) l_a = num_env + 1 - pointer;
        middle = pointer > 1 ? num_env + 1 - pointer : num_env - 1;
    }
    g->num_env = static_cast<uint8_t>(num_env);
    g->l_a = static_cast<int8_t>(l_a);
    g->num_noise = static_cast<uint8_t>(num_env > 1 ? 2 : 1);
    g->t_noise[0] = g->t_env[0];
    if (num_env > 1) {
        if (middle < 1 || middle >= num_env) return SBR_PARSE_ERR_RANGE;
        g->t_noise[1] = g->t_env[middle];
        g->t_noise[2] = g->t_env[num_env];
    } else {
        g->t_noise[1] = g->t_env[num_env];
    }
    return SBR_PARSE_OK;
}

// sbr_dtdf(): 1 for time direction.
struct DtDf {
    uint8_t env[kSbrMaxEnvelopes];
    uint8_t noise[kSbrMaxNoiseEnvelopes];
};

void read_dtdf(BitReader& br, const SbrGrid& g, DtDf* d) {
    *d = DtDf{};
    for (int l = 0; l < g.num_env && l < kSbrMaxEnvelopes; ++l) d->env[l] = br.read8(1);
    for (int l = 0; l < g.num_noise && l < kSbrMaxNoiseEnvelopes; ++l) d->noise[l] = br.read8(1);
}

int bands_of(const SbrFreqTables& t, int freq_res) { return freq_res ? t.n_high : t.n_low; }

// Index of the band of resolution prev_res that time-direction coding of
// band k of resolution cur_res refers to, or -1.
int prev_band(const SbrFreqTables& t, int k, int cur_res, int prev_res) {
    if (cur_res == prev_res) return k;
    if (cur_res) {  // f_high band k from the f_low band holding its start
        const int f = t.f_high[k];
        for (int i = 0; i < t.n_low; ++i)
            if (t.f_low[i] <= f && f < t.f_low[i + 1]) return i;
    } else {  // f_low band k from the f_high band starting where it starts
        const int f = t.f_low[k];
        for (int i = 0; i < t.n_high; ++i)
            if (t.f_high[i] == f) return i;
    }
    return -1;
}

bool in_range(int v) { return v >= 0 && v <= kValueMax; }

// n values coded in frequency: a start value of start_bits, then deltas.
SbrParseStatus read_freq_deltas(BitReader& br, int start_bits, SbrHuffId id, int step, int n, int8_t* out) {
    int v = step * static_cast<int>(br.read(start_bits));
    out[0] = static_cast<int8_t>(v);  // start values are in range
    for (int k = 1; k < n; ++k) {
        int delta = 0;
        if (!huff_decode(br, id, &delta)) return SBR_PARSE_ERR_RANGE;
        v += step * delta;
        if (!in_range(v)) return SBR_PARSE_ERR_RANGE;
        out[k] = static_cast<int8_t>(v);
    }
    return SBR_PARSE_OK;
}

// n values coded in time: deltas on prev[index(k)] (an index outside the
// previous values is a table error).
template <typename Index>
SbrParseStatus read_time_deltas(BitReader& br, SbrHuffId id, int step, int n, const int8_t* prev, int prev_count,
                                Index index, int8_t* out) {
    for (int k = 0; k < n; ++k) {
        const int i = index(k);
        if (i < 0 || i >= prev_count) return SBR_PARSE_ERR_TABLES;
        int delta = 0;
        if (!huff_decode(br, id, &delta)) return SBR_PARSE_ERR_RANGE;
        const int v = prev[i] + step * delta;
        if (!in_range(v)) return SBR_PARSE_ERR_RANGE;
        out[k] = static_cast<int8_t>(v);
    }
    return SBR_PARSE_OK;
}

// sbr_envelope(): the envelopes of one channel, absolute.
SbrParseStatus read_envelope(BitReader& br, const SbrFreqTables& t, const SbrChannelHistory& hist,
                             bool balance, const DtDf& d, SbrChannelFrame* cf) {
    const int amp_res = cf->amp_res ? 1 : 0;
    const int step = balance ? 2 : 1;
    const SbrHuffId t_id = amp_res ? (balance ? SBR_HUFF_T_ENV_BAL_3_0DB : SBR_HUFF_T_ENV_3_0DB)
                                   : (balance ? SBR_HUFF_T_ENV_BAL_1_5DB : SBR_HUFF_T_ENV_1_5DB);
    const SbrHuffId f_id = amp_res ? (balance ? SBR_HUFF_F_ENV_BAL_3_0DB : SBR_HUFF_F_ENV_3_0DB)
                                   : (balance ? SBR_HUFF_F_ENV_BAL_1_5DB : SBR_HUFF_F_ENV_1_5DB);
    const int start_bits = sbr_env_start_bits[2 * amp_res + (balance ? 1 : 0)];
    const SbrGrid& g = cf->grid;
    for (int l = 0; l < g.num_env && l < kSbrMaxEnvelopes; ++l) {
        const int res = g.freq_res[l] ? 1 : 0;
        const int n = bands_of(t, res);
        if (n < 1 || n > kSbrMaxMasterBands) return SBR_PARSE_ERR_TABLES;
        int8_t* e = cf->env[l];
        SbrParseStatus r;
        if (!d.env[l]) {
            r = read_freq_deltas(br, start_bits, f_id, step, n, e);
        } else {
            const int8_t* prev;
            int prev_res;
            if (l == 0) {
                if (!hist.valid) return SBR_PARSE_ERR_NO_PREV;
                prev = hist.env;
                prev_res = hist.env_freq_res ? 1 : 0;
            } else {
                prev = cf->env[l - 1];
                prev_res = g.freq_res[l - 1] ? 1 : 0;
            }
            r = read_time_deltas(br, t_id, step, n, prev, kSbrMaxMasterBands,
                                 [&](int k) { return prev_band(t, k, res, prev_res); }, e);
        }
        if (r != SBR_PARSE_OK) return r;
        if (br.overrun) return SBR_PARSE_ERR_OVERRUN;
    }
    return SBR_PARSE_OK;
}

// sbr_noise(): the noise floors of one channel, absolute.
SbrParseStatus read_noise(BitReader& br, const SbrFreqTables& t, const SbrChannelHistory& hist,
                          bool balance, const DtDf& d, SbrChannelFrame* cf) {
    const int step = balance ? 2 : 1;
    const SbrHuffId t_id = balance ? SBR_HUFF_T_NOISE_BAL_3_0DB : SBR_HUFF_T_NOISE_3_0DB;
    const SbrHuffId f_id = balance ? SBR_HUFF_F_ENV_BAL_3_0DB : SBR_HUFF_F_ENV_3_0DB;
    const int n = t.n_q;
    if (n < 1 || n > kSbrMaxNoiseBands) return SBR_PARSE_ERR_TABLES;
    for (int l = 0; l < cf->grid.num_noise && l < kSbrMaxNoiseEnvelopes; ++l) {
        int8_t* q = cf->noise[l];
        SbrParseStatus r;
        if (!d.noise[l]) {
            r = read_freq_deltas(br, sbr_noise_start_bits, f_id, step, n, q);
        } else {
            const int8_t* prev = cf->noise[0];
            if (l == 0) {
                if (!hist.valid) return SBR_PARSE_ERR_NO_PREV;
                prev = hist.noise;
            }
            r = read_time_deltas(br, t_id, step, n, prev, kSbrMaxNoiseBands, [](int k) { return k; }, q);
        }
        if (r != SBR_PARSE_OK) return r;
        if (br.overrun) return SBR_PARSE_ERR_OVERRUN;
    }
    return SBR_PARSE_OK;
}

void read_invf(BitReader& br, const SbrFreqTables& t, SbrChannelFrame* cf) {
    for (int k = 0; k < t.n_q && k < kSbrMaxNoiseBands; ++k) cf->invf[k] = br.read8(2);
}

// bs_add_harmonic_flag and sbr_sinusoidal_coding().
void read_harmonics(BitReader& br, const SbrFreqTables& t, SbrChannelFrame* cf) {
    if (!br.bit()) return;
    for (int k = 0; k < t.n_high && k < kSbrMaxMasterBands; ++k) cf->add_harmonic[k] = br.read8(1);
}

// bs_extended_data: the extensions, the first PS one recorded.
void read_extended(BitReader& br, SbrPsLocation* ps) {
    if (!br.bit()) return;
    uint32_t count = br.read(4);
    if (count == 15) count += br.read(8);
    uint32_t bits_left = 8 * count;
    while (bits_left > 7 && !br.overrun) {
        const int id = static_cast<int>(br.read(2));
        bits_left -= 2;
        if (id == kPsExtensionId && !ps->present) {
            ps->present = 1;
            ps->bit_offset = br.pos;
            const uint32_t avail = br.end - br.pos;
            ps->bit_count = bits_left < avail ? bits_left : avail;
        }
        br.skip(bits_left);  // the other extensions, and what follows PS data, are skipped
        bits_left = 0;
    }
    br.skip(bits_left);  // bs_fill_bits
}

// sbr_single_channel_element() / sbr_channel_pair_element().
SbrParseStatus read_data(BitReader& br, const SbrParseState& st, int num_channels, SbrFrameData* out) {
    const SbrFreqTables& t = st.tables;
    DtDf dtdf[2];
    SbrParseStatus s = SBR_PARSE_OK;
    SbrChannelFrame* c0 = &out->ch[0];
    SbrChannelFrame* c1 = &out->ch[1];
    c0->amp_res = c1->amp_res = st.header.amp_res;
    if (br.bit()) br.skip(num_channels == 1 ? 4 : 8);  // bs_data_extra: bs_reserved
    if (num_channels == 1) {
        if ((s = read_grid(br, &c0->grid, &c0->amp_res)) != SBR_PARSE_OK) return s;
        read_dtdf(br, c0->grid, &dtdf[0]);
        read_invf(br, t, c0);
        if (br.overrun) return SBR_PARSE_ERR_OVERRUN;
        if ((s = read_envelope(br, t, st.hist[0], false, dtdf[0], c0)) != SBR_PARSE_OK) return s;
        if ((s = read_noise(br, t, st.hist[0], false, dtdf[0], c0)) != SBR_PARSE_OK) return s;
        read_harmonics(br, t, c0);
    } else {
        out->coupling = br.read8(1);
        if (out->coupling) {
            if ((s = read_grid(br, &c0->grid, &c0->amp_res)) != SBR_PARSE_OK) return s;
            c1->grid = c0->grid;
            c1->amp_res = c0->amp_res;
            read_dtdf(br, c0->grid, &dtdf[0]);
            read_dtdf(br, c1->grid, &dtdf[1]);
            read_invf(br, t, c0);
            for (int k = 0; k < kSbrMaxNoiseBands; ++k) c1->invf[k] = c0->invf[k];
            if (br.overrun) return SBR_PARSE_ERR_OVERRUN;
            if ((s = read_envelope(br, t, st.hist[0], false, dtdf[0], c0)) != SBR_PARSE_OK) return s;
            if ((s = read_noise(br, t, st.hist[0], false, dtdf[0], c0)) != SBR_PARSE_OK) return s;
            if ((s = read_envelope(br, t, st.hist[1], true, dtdf[1], c1)) != SBR_PARSE_OK) return s;
            if ((s = read_noise(br, t, st.hist[1], true, dtdf[1], c1)) != SBR_PARSE_OK) return s;
        } else {
            if ((s = read_grid(br, &c0->grid, &c0->amp_res)) != SBR_PARSE_OK) return s;
            if ((s = read_grid(br, &c1->grid, &c1->amp_res)) != SBR_PARSE_OK) return s;
            read_dtdf(br, c0->grid, &dtdf[0]);
            read_dtdf(br, c1->grid, &dtdf[1]);
            read_invf(br, t, c0);
            read_invf(br, t, c1);
            if (br.overrun) return SBR_PARSE_ERR_OVERRUN;
            if ((s = read_envelope(br, t, st.hist[0], false, dtdf[0], c0)) != SBR_PARSE_OK) return s;
            if ((s = read_envelope(br, t, st.hist[1], false, dtdf[1], c1)) != SBR_PARSE_OK) return s;
            if ((s = read_noise(br, t, st.hist[0], false, dtdf[0], c0)) != SBR_PARSE_OK) return s;
            if ((s = read_noise(br, t, st.hist[1], false, dtdf[1], c1)) != SBR_PARSE_OK) return s;
        }
        read_harmonics(br, t, c0);
        read_harmonics(br, t, c1);
    }
    read_extended(br, &out->ps);
    return br.overrun ? SBR_PARSE_ERR_OVERRUN : SBR_PARSE_OK;
}

// The last envelope and noise floor of each channel, for the next frame.
void keep_history(SbrParseState* st, const SbrFrameData& f) {
    for (int c = 0; c < f.num_channels && c < 2; ++c) {
        const SbrChannelFrame& cf = f.ch[c];
        SbrChannelHistory& h = st->hist[c];
        const int le = cf.grid.num_env - 1, lq = cf.grid.num_noise - 1;
        if (le < 0 || le >= kSbrMaxEnvelopes || lq < 0 || lq >= kSbrMaxNoiseEnvelopes) {
            h.valid = 0;
            continue;
        }
        for (int k = 0; k < kSbrMaxMasterBands; ++k) h.env[k] = cf.env[le][k];
        for (int k = 0; k < kSbrMaxNoiseBands; ++k) h.noise[k] = cf.noise[lq][k];
        h.env_freq_res = cf.grid.freq_res[le];
        h.valid = 1;
    }
}

}  // namespace

void sbr_parse_forget_history(SbrParseState* st) {
    st->hist[0].valid = 0;
    st->hist[1].valid = 0;
}

void sbr_parse_init(SbrParseState* st) {
    if (st) *st = SbrParseState{};
}

SbrParseStatus sbr_parse_frame(SbrParseState* st, const uint8_t* data, uint32_t num_bits, bool crc,
                               int num_channels, int32_t fs_sbr, SbrFrameData* out) {
    if (!st || !out || (!data && num_bits) || (num_channels != 1 && num_channels != 2))
        return SBR_PARSE_ERR_ARGS;
    *out = SbrFrameData{};
    out->num_channels = static_cast<uint8_t>(num_channels);
    BitReader br{data, num_bits, 0, false};
    if (crc) br.skip(10);  // bs_sbr_crc_bits
    out->header_present = br.read8(1);
    if (br.overrun) {
        sbr_parse_forget_history(st);
        return SBR_PARSE_ERR_OVERRUN;
    }
    bool reset = false;
    SbrParseStatus s = SBR_PARSE_OK;
    if (out->header_present) {
        SbrHeader h{};
        read_header(br, &h);
        if (br.overrun) {
            sbr_parse_forget_history(st);
            return SBR_PARSE_ERR_OVERRUN;
        }
        s = apply_header(st, h, fs_sbr, &reset);
    } else if (st->have_header && st->fs_sbr != fs_sbr) {
        s = apply_header(st, st->header, fs_sbr, &reset);
    }
    if (s != SBR_PARSE_OK) {
        sbr_parse_forget_history(st);
        return s;
    }
    if (!st->have_header) return SBR_PARSE_NO_HEADER;
    if (reset) {
        sbr_parse_forget_history(st);
        st->reset_pending = 1;
    }
    s = read_data(br, *st, num_channels, out);
    if (s != SBR_PARSE_OK) {
        sbr_parse_forget_history(st);
        return s;
    }
    keep_history(st, *out);
    out->reset = st->reset_pending;
    st->reset_pending = 0;
    return SBR_PARSE_OK;
}
