// Program config elements and the mapping of channel elements to the two
// channel slots, implicit (rebuilt per block) or from the selected program.
#include "dec/mcinfo.h"

#include "dec/bands.h"
#include "dec/downmix.h"
#include "dec/instance.h"

#include <initializer_list>

static int32_t kvxdec_enter_mc_kvxdec_info(MP4AACDEC_QUVA_Obj* dec, const ProgConfig* pc, bool doubt = false);

namespace {

void read_elements(MP4AACDEC_QUVA_Obj* dec, EleList& list, bool with_flag) {
    // Counts are at most 4 bits wide, so they always fit the 16 entries.
    for (int i = 0; i < list.num_elements; ++i) {
        list.is_cpe[i] = with_flag ? aacdec_getbits(dec, 1) : 0;
        list.tag_select[i] = aacdec_getbits(dec, 4);
    }
}

void read_mixdown(MP4AACDEC_QUVA_Obj* dec, Mixdown& m, uint16_t width) {
    m.present = aacdec_getbits(dec, 1);
    if (m.present) m.element_number = aacdec_getbits(dec, width);
}

}  // namespace

int32_t kvxdec_get_prog_config(MP4AACDEC_QUVA_Obj* dec, bool keep) {
    ProgConfig pc{};
    const int32_t tag = aacdec_getbits(dec, 4);
    pc.profile = aacdec_getbits(dec, 2);
    pc.sampling_rate_idx = aacdec_getbits(dec, 4);
    pc.front.num_elements = aacdec_getbits(dec, 4);
    pc.side.num_elements = aacdec_getbits(dec, 4);
    pc.back.num_elements = aacdec_getbits(dec, 4);
    pc.lfe.num_elements = aacdec_getbits(dec, 2);
    pc.assoc_data.num_elements = aacdec_getbits(dec, 3);
    pc.coupling.num_elements = aacdec_getbits(dec, 4);
    read_mixdown(dec, pc.mono_mixdown, 4);
    read_mixdown(dec, pc.stereo_mixdown, 4);
    pc.matrix_mixdown.present = aacdec_getbits(dec, 1);
    if (pc.matrix_mixdown.present) {
        pc.matrix_mixdown.element_number = aacdec_getbits(dec, 2);
        pc.matrix_mixdown.pseudo_surround_enable = aacdec_getbits(dec, 1);
    }
    read_elements(dec, pc.front, true);
    read_elements(dec, pc.side, true);
    read_elements(dec, pc.back, true);
    read_elements(dec, pc.lfe, false);
    read_elements(dec, pc.assoc_data, false);
    read_elements(dec, pc.coupling, true);  // is_cpe holds cc_e_is_ind_sw

    kvxdec_byte_align(&dec->fifo);
    const uint16_t comment_bytes = aacdec_getbits(dec, 8);  // at most 255: fits with its terminator
    for (uint16_t i = 0; i < comment_bytes; ++i) pc.comments[i] = static_cast<uint8_t>(aacdec_getbits(dec, 8));
    pc.comments[comment_bytes] = 0;

    if (!keep) return tag;
    DecoderContext& ctx = *dec->ctx;
    // (A stream's first program is believed whatever came before: another
    // stream spliced on starts with none.)
    const bool first = ctx.currentProgram < 0;
    if (first) ctx.currentProgram = static_cast<int8_t>(tag);
    if (tag != ctx.currentProgram) return tag;
    // (Read aside: another program's element leaves the one played and its
    // record, from which the downmix takes its layout, as they are.)
    if (kvxdec_enter_mc_kvxdec_info(dec, &pc, !first) != 1) return -1;
    ctx.defaultConfig = 0;
    return tag;
}

int32_t kvxdec_take_program(MP4AACDEC_QUVA_Obj* dec, const ProgConfig& pc, int32_t tag) {
    dec->ctx->currentProgram = static_cast<int8_t>(tag);
    if (kvxdec_enter_mc_kvxdec_info(dec, &pc) != 1) return -1;
    dec->ctx->defaultConfig = 0;
    return 1;
}

// The program becomes the decoder's (dec->progConfig, the channel map), or,
// where an ADTS header gives a channel configuration and the program
// another channel count, is damage (a flipped element id read as a
// program) and is ignored: the program and map in force stay. (Exact: so
// is one of other than front channels under configuration 1 or 2, two
// low-frequency channels say: it failed every block after it.)
static int32_t kvxdec_enter_mc_kvxdec_info(MP4AACDEC_QUVA_Obj* dec, const ProgConfig* in, bool doubt) {
    int total = in->lfe.num_elements;
    for (const EleList* l : {&in->front, &in->side, &in->back})
        for (int i = 0; i < l->num_elements; ++i) total += l->is_cpe[i] ? 2 : 1;
    const bool more = total > 2 || in->side.num_elements || in->back.num_elements || in->lfe.num_elements;
    const uint32_t config = dec->state == STATE_FRAMES && !dec->rawStream ? static_cast<uint32_t>(dec->adts.channel_configuration) : 0u;
    if (config != 0 && (more || config > 2) && total != static_cast<int>(config == 7 ? 8 : config)) return -1;
    if (kExactArithmetic && config != 0 && config <= 2 && more) return -1;
    // (Exact: the same for raw blocks the host configured as one or two
    // channels, which have no header to change that by: a program of more
    // read from damage refused the rest of the stream in the plug-in.)
    if (kExactArithmetic && dec->rawStream && dec->mcInfo.mix_config == 0 && more) return -1;
    // (Exact: a program of channels not played, after the stream's first
    // program (`doubt`) and blocks that played, is more often damage than a
    // new stream: the program in force stays, and the block, read on by it,
    // is mostly lost. Another such program after that loss, with no good
    // block between, is believed. The same block read again, dry or once
    // more of it has come, stays in doubt, unless 255 blocks or more had
    // been lost in a row.)
    const uint32_t run = dec->concealRun + 1u;
    uint8_t& doubted = dec->ctx->programDoubted;
    if (kExactArithmetic && doubt && more && dec->goodChannels && !(doubted && run > doubted) &&
        !downmix_mixes_program(dec, *in)) {
        doubted = static_cast<uint8_t>(run < 255 ? run : 255);
        return -1;
    }
    dec->progConfig = *in;
    const ProgConfig* const pc = &dec->progConfig;
    MC_Info& mi = dec->mcInfo;
    mi.num_channels = mi.num_front_sce = mi.num_front_channels = 0;
    mi.num_side_channels = mi.num_back_channels = mi.num_lfe_channels = 0;
    mi.num_coupling_elements = 0;
    mi.profile = pc->profile;
    if (mi.sampling_rate_idx != pc->sampling_rate_idx) {
        // The rate is the transport's once it has one (an ADTS header, the
        // configured rate of raw blocks); only the ADIF header's programs,
        // or a program before any transport, set it. A program inside a
        // block that says otherwise is damage or a broken encoder: its
        // channels count, its rate does not.
        const bool from_header = dec->state == STATE_SEARCH || (dec->state == STATE_ADIF && dec->blockCount == 0);
        if (from_header) {
            mi.sampling_rate_idx = pc->sampling_rate_idx;  // 4 bits: always a table entry
            kvxdec_infoinit(dec, &samp_rate_kvxdec_info[mi.sampling_rate_idx & 15]);
        } else {
            dec->lastError = KVXD_NOTE_PCE_RATE;
        }
    }
    int sce = 0;
    while (sce < pc->front.num_elements && !pc->front.is_cpe[sce]) ++sce;
    mi.num_front_sce = sce;

    // More than two front channels: mapped element by element when the
    // program is mixed, else refused, its channels counted.
    mi.mix_program = more && downmix_mixes_program(dec, *pc);
    if (mi.mix_program) return 1;
    if (more) {
        mi.num_channels = total;
        mi.more_channels = static_cast<uint8_t>(total);
        dec->lastError = KVXD_ERR_CHANNELS;
        return -1;
    }

    const struct {
        const EleList* list;
        int8_t position;
    } lists[] = {{&pc->front, CHN_FRONT}, {&pc->side, CHN_SIDE}, {&pc->back, CHN_BACK}, {&pc->lfe, CHN_LFE}};
    for (const auto& l : lists)
        for (int i = 0; i < l.list->num_elements; ++i)
            if (kvxdec_enter_chn(l.list->is_cpe[i], l.list->tag_select[i], l.position, 0, &mi) == -1)
                return -1;

    for (int i = 0; i < pc->coupling.num_elements; ++i) mi.coupling_tags[i] = pc->coupling.tag_select[i];
    mi.num_coupling_elements = pc->coupling.num_elements;
    // (A program of one or two channels has nothing to mix down: the exact
    // arithmetic plays it whatever mixdown it names.)
    if (!kExactArithmetic && (pc->mono_mixdown.present || pc->stereo_mixdown.present || pc->matrix_mixdown.present))
        return -1;
    return 1;
}

int32_t kvxdec_enter_chn(int32_t is_cpe, int32_t tag, int8_t position, int32_t common_window,
                         MC_Info* mi) {
    const int32_t n = is_cpe == 1 ? 2 : 1;
    int32_t i;
    switch (position) {
    case CHN_FRONT:
        if (mi->num_front_channels + n > 2) return -1;
        i = mi->num_front_channels;
        mi->num_front_channels += n;
        break;
    case CHN_LOOKUP:
        for (i = 0; i < mi->num_channels && i < 2; ++i) {
            const ChInfo& c = mi->channel[i];
            // A pair needs the slot after it, so it can only start at slot 0.
            if (c.present && c.is_cpe == is_cpe && c.tag == tag && i + n <= 2) break;
        }
        if (i >= mi->num_channels || i >= 2) return -1;
        mi->channel[i].window_channel = i;
        if (n == 2) mi->channel[i + 1].window_channel = common_window == 1 ? i : i + 1;
        return i;
    default:
        // Side, back and LFE channels are not decoded: their limits are 0.
        return -1;
    }

    mi->num_channels = i + n;
    ChInfo& a = mi->channel[i];
    a.present = 1;
    a.tag = tag;
    a.is_cpe = is_cpe;
    a.common_window = common_window;
    a.window_channel = i;
    if (n == 2) {
        a.is_left = 1;
        a.paired_channel = i + 1;
        ChInfo& b = mi->channel[i + 1];
        b.present = 1;
        b.tag = tag;
        b.is_cpe = 1;
        b.common_window = common_window;
        b.is_left = 0;
        b.paired_channel = i;
        b.window_channel = common_window == 1 ? i : i + 1;
    }
    return i;
}

int32_t kvxdec_chn_config(MP4AACDEC_QUVA_Obj* dec, int32_t id, int32_t tag, int32_t common_window, MC_Info* mi) {
    DecoderContext& ctx = *dec->ctx;
    if (mi->mix_block) return downmix_map(dec, id, tag, common_window);
    const int32_t is_cpe = id == 1 ? 1 : 0;
    if (!ctx.defaultConfig) return kvxdec_enter_chn(is_cpe, tag, CHN_LOOKUP, common_window, mi);
    // A third element gets slot 0; the block parser then refuses the block
    // because more channels were decoded than mapped. In the exact
    // arithmetic so does a pair after a single channel, at slots 0 and 1:
    // found nowhere, it failed its block as damage, and a stream of three
    // channels (a centre and a front pair, say) had every block lost, or
    // concealed as silence, instead of being refused.
    if (mi->num_channels >= 2) return 0;
    if (kExactArithmetic && is_cpe && mi->num_front_channels == 1) mi->num_front_channels = 0;
    if (is_cpe)
        ctx.cpeSeen = 1;
    else if (!ctx.cpeSeen && ctx.bno == 0)
        ++mi->num_front_sce;
    return kvxdec_enter_chn(is_cpe, tag, CHN_FRONT, common_window, mi);
}

void reset_mc_kvxdec_info(MP4AACDEC_QUVA_Obj* dec, MC_Info* mi) {
    if (!dec->ctx->defaultConfig) return;  // the program's map stays
    mi->num_channels = mi->num_front_channels = 0;
    mi->num_side_channels = mi->num_back_channels = mi->num_lfe_channels = 0;
    mi->num_coupling_elements = 0;
    if (dec->ctx->bno == 0) mi->num_front_sce = 0;
    for (ChInfo& c : mi->channel) {
        c.present = c.is_cpe = c.is_left = c.paired_channel = c.window_channel = 0;
    }
}

// Nothing in the decoder reads a record of the checked map, so none is kept.
void kvxdec_check_mc_kvxdec_info(MC_Info*, int32_t) {}
