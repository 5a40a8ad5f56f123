#include "av_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "dec/asc.h"
#include "dec/headers.h"
#include "latm.h"
#include "probe.h"

#ifdef AAC_HAVE_LIBAVFORMAT
#include <dlfcn.h>
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}
#endif

bool looks_like_mp4(const uint8_t* head, size_t bytes) {
    return bytes >= 12 && std::memcmp(head + 4, "ftyp", 4) == 0;
}

bool looks_like_container(const uint8_t* head, size_t bytes) {
    auto every = [&](size_t first, size_t step, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (first + i * step >= bytes || head[first + i * step] != 0x47) return false;
        return true;
    };
    if (every(0, 188, 3) || every(4, 192, 3)) return true;  // MPEG-TS
    // A transport stream cut inside a packet (its ADTS payload was taken
    // for the stream, and a frame of it decoded): eight packets' sync bytes
    // in a row from any of the first bytes.
    for (size_t first = 1; first < 192; ++first)
        if (every(first, 188, 8) || every(first, 192, 8)) return true;
    if (bytes >= 4 && std::memcmp(head, "\x1a\x45\xdf\xa3", 4) == 0) return true;  // EBML: Matroska, WebM
    // LOAS: an 11-bit sync 0x2B7 and a 13-bit length leading to the next one.
    return looks_like_loas(head, bytes);
}

// A LOAS file, read in pieces through the LATM reader: its units count
// 1024 samples each of their config's core rate from 0, in ticks of
// 1 / kLoasTicks s (a whole number of them in a sample at every AAC rate:
// a config that changes the rate keeps the count exact).
constexpr uint32_t kLoasTicks = 28224000;
struct AvReader::LoasFile {
    FILE* file = nullptr;
    LoasUnits units;
    std::vector<uint8_t> buf = std::vector<uint8_t>(65536);
    uint64_t read = 0;
    bool ended = false;
    bool pending = false;  // the unit read last (by open or seek) is in `first`
    bool started = false;
    std::vector<uint8_t> first;
    int64_t first_pts = 0;
    uint32_t config = 0;  // of the unit read last
    // A unit's length under config ticks_config.
    uint32_t ticks_config = UINT32_MAX;
    int64_t ticks = 0, next_pts = 0;

    bool next(std::vector<uint8_t>& unit, int64_t& pts, uint32_t& unit_config) {
        for (;;) {
            int64_t time;
            if (units.pop(unit, time, &unit_config)) {
                if (unit_config != ticks_config) {
                    ticks_config = unit_config;
                    const std::vector<uint8_t>& c = units.config(unit_config);
                    AscInfo asc;
                    asc_parse(c.data(), c.size(), &asc);
                    ticks = asc.sampling_rate > 0 ? int64_t{1024} * kLoasTicks / asc.sampling_rate : 0;
                }
                pts = next_pts;
                next_pts += ticks;
                return true;
            }
            if (!units.error().empty() || ended) return false;
            const size_t n = std::fread(buf.data(), 1, buf.size(), file);
            read += n;
            if (n == 0) {
                ended = true;
                units.finish();
            } else {
                units.push(buf.data(), n);
            }
        }
    }
};

namespace {

// Why a LATM stream gives no first unit.
std::string latm_open_error(const LoasUnits& u) {
    if (!u.error().empty()) return "its LATM stream " + u.error();
    if (!u.parser().configured())
        return "its LATM stream carries no StreamMuxConfig that reads" +
               (u.parser().error().empty() ? std::string(" (no AudioSpecificConfig)") : ": it " + u.parser().error());
    return "its LATM stream holds no access units";
}

}  // namespace

bool AvReader::open(FILE* file, const std::vector<uint8_t>& head, int track, bool verbose, std::string& error) {
    if (looks_like_loas(head.data(), head.size())) return open_loas(file, head, error);
    return open_av(file, head, track, verbose, error);
}

bool AvReader::open_loas(FILE* file, const std::vector<uint8_t>& head, std::string& error) {
    loas_ = std::make_unique<LoasFile>();
    LoasFile& f = *loas_;
    f.file = file;
    f.read = head.size();
    container = "LOAS";
    latm = true;
    if (follow_configs) f.units.follow_changes();
    f.units.push(head.data(), head.size());
    if (!f.next(f.first, f.first_pts, f.config)) {
        error = latm_open_error(f.units);
        return false;
    }
    f.pending = true;
    config_ = f.config;
    const std::vector<uint8_t>& asc = f.units.config(f.config);
    if (!take_asc(asc.data(), asc.size(), error)) return false;
    if (!rate) {
        error = "its AudioSpecificConfig gives no sampling rate the decoder plays";
        return false;
    }
    tb_num = 1;
    tb_den = kLoasTicks;
    track_rate = rate;
    return true;
}

bool AvReader::take_asc(const uint8_t* data, size_t size, std::string& error) {
    AscInfo asc;
    const int rc = asc_parse(data, size, &asc);
    if (asc.channel_configuration < 0) {
        error = "its AAC track has no AudioSpecificConfig";
        return false;
    }
    // The host takes the header fields alone, and a config cut short behind
    // them plays as it always did; any other fault of an AAC-LC config is
    // refused here (other object types are refused by name later).
    object_type = static_cast<uint32_t>(asc.signalled_object_type);
    rate = asc.sampling_rate;
    channels = static_cast<uint32_t>(asc.channel_configuration);
    sbr_signalled = asc.sbr_present != 1 ? 0 : (asc.ext_sampling_rate == asc.sampling_rate ? 2 : 1);
    if (sbr_signalled && asc.ps_present == 1) sbr_signalled |= 4;
    asc_bytes.assign(data, data + size);
    asc_whole = rc == ASC_OK;
    if (rc != ASC_OK && rc != ASC_ERR_TRUNCATED && object_type == 2) {
        error = std::string("its AudioSpecificConfig is invalid (") + asc_error_text(rc) + ")";
        return false;
    }
    return true;
}

bool AvReader::loas_next(std::vector<uint8_t>& unit) {
    LoasFile& f = *loas_;
    int64_t pts = f.first_pts;
    if (f.pending) {
        f.pending = false;
        unit.swap(f.first);
    } else if (!f.next(unit, pts, f.config)) {
        if (!f.units.error().empty()) stop_error = "its LATM stream " + f.units.error();
        return false;
    }
    take_config(f.units, f.config);
    if (!f.started) start_pts = pts, f.started = true;
    end_pts = std::max(end_pts, pts + f.ticks);
    return true;
}

// Forward only, right after open: the units before the one that holds
// `ts` are read and dropped.
bool AvReader::loas_seek(int64_t ts) {
    LoasFile& f = *loas_;
    f.started = false;
    end_pts = 0;
    if (!f.pending || f.first_pts > ts) return false;
    while (f.first_pts + f.ticks <= ts)
        if (!f.next(f.first, f.first_pts, f.config)) return f.pending = false;
    return true;
}

void AvReader::take_config(const LoasUnits& units, uint32_t n) {
    if (n == config_) return;
    config_ = n;
    const std::vector<uint8_t>& asc = units.config(n);
    std::string error;  // (the LATM reader took it: it reads)
    take_asc(asc.data(), asc.size(), error);
    config_changed = true;
    ++config_changes;
}

uint64_t AvReader::latm_damaged() const {
    if (loas_) return loas_->units.damaged();
    return latm_units() ? latm_units()->damaged() : 0;
}

uint64_t AvReader::latm_unconfigured() const {
    if (loas_) return loas_->units.unconfigured();
    return latm_units() ? latm_units()->unconfigured() : 0;
}

uint64_t AvReader::latm_skipped_bytes() const {
    if (loas_) return loas_->units.skipped_bytes();
    return latm_units() ? latm_units()->skipped_bytes() : 0;
}

#ifdef AAC_HAVE_LIBAVFORMAT

namespace {

// libavformat and the libraries it needs (over a hundred on a desktop
// system) are loaded only when an MP4 file comes: linked in, their start-up
// relocations cost more CPU time than decoding a minute of ADTS audio. The
// library of the major version the host was compiled against is opened, and
// the functions used are looked up in it and its dependencies.
struct Av {
    bool ok = false;
    std::string error;
#define AV_FUNCTIONS(X)                                                                                  \
    X(avformat_alloc_context) X(avformat_open_input) X(avformat_find_stream_info) X(avformat_close_input) \
    X(av_read_frame) X(avio_alloc_context) X(avio_context_free) X(av_packet_alloc) X(av_packet_unref)    \
    X(av_packet_free) X(av_malloc) X(av_free) X(av_freep) X(av_packet_get_side_data) X(av_seek_frame)      \
    X(av_dict_get) X(av_log_set_level)
#define AV_POINTER(name) decltype(&::name) name = nullptr;
    AV_FUNCTIONS(AV_POINTER)
#undef AV_POINTER
};

const Av& av() {
    static const Av loaded = [] {
        Av a;
        const char* soname = "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);
        void* lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            const char* why = dlerror();
            a.error = std::string("cannot load ") + soname + (why ? std::string(": ") + why : std::string());
            return a;
        }
#define AV_LOOKUP(name)                                                       \
        a.name = reinterpret_cast<decltype(a.name)>(dlsym(lib, #name));       \
        if (!a.name) {                                                        \
            a.error = std::string(soname) + " has no " #name;                 \
            return a;                                                         \
        }
        AV_FUNCTIONS(AV_LOOKUP)
#undef AV_LOOKUP
        a.ok = true;
        return a;
    }();
    return loaded;
}

// The file as the demuxer reads it: through stdio when it can seek, else
// from memory.
struct Source {
    FILE* file = nullptr;
    std::vector<uint8_t> bytes;  // the whole file when it cannot seek
    size_t at = 0;
    uint64_t read = 0;  // bytes handed to the demuxer
};

int read_packet(void* opaque, uint8_t* buf, int size) {
    Source& s = *static_cast<Source*>(opaque);
    size_t n;
    if (s.file) {
        n = std::fread(buf, 1, static_cast<size_t>(size), s.file);
    } else {
        n = std::min(static_cast<size_t>(size), s.bytes.size() - s.at);
        std::memcpy(buf, s.bytes.data() + s.at, n);
        s.at += n;
    }
    s.read += n;
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int64_t seek_source(void* opaque, int64_t offset, int whence) {
    Source& s = *static_cast<Source*>(opaque);
    if (s.file) {
        if (whence & AVSEEK_SIZE) {
            struct stat st;
            return fstat(fileno(s.file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
        }
        if (fseeko(s.file, static_cast<off_t>(offset), whence & 3) != 0) return -1;
        return static_cast<int64_t>(ftello(s.file));
    }
    const int64_t size = static_cast<int64_t>(s.bytes.size());
    if (whence & AVSEEK_SIZE) return size;
    const int64_t base = (whence & 3) == SEEK_CUR ? static_cast<int64_t>(s.at) : (whence & 3) == SEEK_END ? size : 0;
    const int64_t to = base + offset;
    if (to < 0 || to > size) return -1;
    s.at = static_cast<size_t>(to);
    return to;
}

}  // namespace

struct AvReader::Impl {
    Source source;
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
    AVPacket* pkt = nullptr;
    int track = -1;
    bool pending = false;  // the first unit, read by open, is in `first`
    bool started = false;  // a unit has been handed out since open or seek
    std::vector<uint8_t> first;
    // Timing of the unit read last.
    int64_t pts = 0, duration = 0, skip = 0, discard = 0;
    bool has_skip = false;
    int64_t next_pts = 0;  // where the unit after it starts, for units without times
    // A LATM track: its packets' bytes go through the LOAS reader.
    std::unique_ptr<LoasUnits> latm;
    bool latm_ended = false;
    uint32_t config = 0;  // the LATM config of the unit read last
    int64_t frame_ticks = 0;  // time base units of an access unit
    // Raw units: where the last one handed out ends, and empty units still
    // to hand out before the one in `first` (a gap in the timeline).
    // (Times in the track's time base units; a block's is its 1024 samples
    // at the core's rate, not the container's durations, which Matroska
    // and FLV round to milliseconds and an MP4 muxer stretches over a gap.)
    double last_end = 0, block_ticks = 0;
    bool pos_known = false;  // the demuxer read the unit's time (MPEG-TS guesses those within a PES packet)
    int64_t gap_left = 0;

    ~Impl() {
        av().av_packet_free(&pkt);
        if (fmt) av().avformat_close_input(&fmt);
        if (io) {
            av().av_freep(&io->buffer);  // the demuxer may have replaced the buffer
            av().avio_context_free(&io);
        }
    }
    bool read_unit(std::vector<uint8_t>& unit) {
        if (latm) return read_latm_unit(unit);
        while (av().av_read_frame(fmt, pkt) >= 0) {
            const bool ours = pkt->stream_index == track && pkt->size > 0;
            if (ours) {
                unit.assign(pkt->data, pkt->data + pkt->size);
                pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts != AV_NOPTS_VALUE ? pkt->dts : next_pts;
                duration = pkt->duration;
                size_t size = 0;
                const uint8_t* side = av().av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
                has_skip = side && size >= 8;
                skip = discard = 0;
                if (has_skip) {
                    skip = static_cast<int64_t>(side[0] | side[1] << 8 | side[2] << 16 | static_cast<uint32_t>(side[3]) << 24);
                    discard = static_cast<int64_t>(side[4] | side[5] << 8 | side[6] << 16 | static_cast<uint32_t>(side[7]) << 24);
                }
                next_pts = pts + duration;
                pos_known = pkt->pos >= 0;
            }
            av().av_packet_unref(pkt);
            if (ours) return true;
        }
        return false;
    }
    bool read_latm_unit(std::vector<uint8_t>& unit) {
        for (;;) {
            int64_t time;
            if (latm->pop(unit, time, &config)) {
                pts = time != LoasUnits::kNoTime ? time : next_pts;
                duration = frame_ticks;
                has_skip = false;
                skip = discard = 0;
                next_pts = pts + duration;
                return true;
            }
            if (!latm->error().empty() || latm_ended) return false;
            if (av().av_read_frame(fmt, pkt) < 0) {
                latm_ended = true;
                latm->finish();
                continue;
            }
            if (pkt->stream_index == track && pkt->size > 0)
                latm->push(pkt->data, static_cast<size_t>(pkt->size),
                           pkt->pts != AV_NOPTS_VALUE   ? pkt->pts
                           : pkt->dts != AV_NOPTS_VALUE ? pkt->dts
                                                        : LoasUnits::kNoTime);
            av().av_packet_unref(pkt);
        }
    }
};

const LoasUnits* AvReader::latm_units() const { return impl_ ? impl_->latm.get() : nullptr; }

AvReader::AvReader() = default;
AvReader::~AvReader() = default;

namespace {

// "title" and the like, from a dictionary of the file or the track.
void collect_tags(const AVDictionary* d, std::vector<std::pair<std::string, std::string>>& tags) {
    const AVDictionaryEntry* e = nullptr;
    while ((e = av().av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        const std::string key = e->key;
        if (key == "iTunSMPB" || key == "major_brand" || key == "minor_version" || key == "compatible_brands" ||
            key == "handler_name" || key == "vendor_id" || key == "language" || key == "creation_time")
            continue;
        bool seen = false;
        for (const auto& t : tags) seen = seen || t.first == key;
        if (!seen) tags.emplace_back(key, e->value);
    }
}

// iTunSMPB: " 00000000 PRIMING PADDING LENGTH ..." in hexadecimal.
bool parse_smpb(const char* s, uint64_t& priming, uint64_t& padding, uint64_t& length) {
    uint64_t v[4];
    char* end = nullptr;
    for (uint64_t& x : v) {
        x = std::strtoull(s, &end, 16);
        if (end == s) return false;
        s = end;
    }
    priming = v[1], padding = v[2], length = v[3];
    // (Figures no stream has are no figures: sums of them stay in 64 bits.)
    constexpr uint64_t kMost = uint64_t{1} << 48;
    return length > 0 && priming < kMost && padding < kMost && length < kMost;
}

}  // namespace

namespace {

int channel_count(const AVCodecParameters* par) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 24, 100)
    return par->ch_layout.nb_channels;
#else
    return par->channels;
#endif
}

// The channel configuration first taken for a track without a config:
// one or two channels as the first unit's first element is a single
// channel element or a pair, else the sample entry's count. -1: none.
int made_channel_config(int entry_channels, const std::vector<uint8_t>& unit) {
    if (!unit.empty() && unit[0] >> 5 <= 1) return (unit[0] >> 5) + 1;
    if (entry_channels >= 1 && entry_channels <= 6) return entry_channels;
    return entry_channels == 8 ? 7 : -1;
}

}  // namespace

bool AvReader::open_av(FILE* file, const std::vector<uint8_t>& head, int track, bool verbose, std::string& error) {
    if (!av().ok) {
        error = av().error;
        return false;
    }
    av().av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);
    impl_ = std::make_unique<Impl>();
    Impl& m = *impl_;
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && fseeko(file, 0, SEEK_SET) == 0) {
        m.source.file = file;
    } else {
        m.source.bytes = head;
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) m.source.bytes.insert(m.source.bytes.end(), buf, buf + n);
    }
    error = "libavformat cannot read it";
    const int buffer_size = 65536;
    uint8_t* buffer = static_cast<uint8_t*>(av().av_malloc(buffer_size));
    if (!buffer) return false;
    m.io = av().avio_alloc_context(buffer, buffer_size, 0, &m.source, read_packet, nullptr, seek_source);
    if (!m.io) {
        av().av_free(buffer);
        return false;
    }
    m.fmt = av().avformat_alloc_context();
    if (!m.fmt) return false;
    m.fmt->pb = m.io;
    if (av().avformat_open_input(&m.fmt, nullptr, nullptr, nullptr) != 0) return false;  // frees fmt on failure
    container = m.fmt->iformat && m.fmt->iformat->name ? m.fmt->iformat->name : "";
    is_mp4 = container.rfind("mov,", 0) == 0;
    // The streams' rates and channel counts as the container gives them
    // (the stream-info pass may put its own decoder's view in their place:
    // for an HE-AAC track without a config, twice the rate the entry gives).
    std::vector<std::pair<int, int>> entries;
    for (unsigned i = 0; i < m.fmt->nb_streams; ++i)
        entries.emplace_back(m.fmt->streams[i]->codecpar->sample_rate, channel_count(m.fmt->streams[i]->codecpar));
    // AAC tracks count in order, LATM ones (MPEG-TS) among them.
    int aac_tracks = 0;
    if (av().avformat_find_stream_info(m.fmt, nullptr) >= 0)
        for (unsigned i = 0; i < m.fmt->nb_streams && m.track < 0; ++i) {
            const AVCodecID id = m.fmt->streams[i]->codecpar->codec_id;
            if ((id == AV_CODEC_ID_AAC || id == AV_CODEC_ID_AAC_LATM) && ++aac_tracks == track) {
                m.track = static_cast<int>(i);
                latm = id == AV_CODEC_ID_AAC_LATM;
            }
        }
    const AVStream* stream = m.track >= 0 ? m.fmt->streams[m.track] : nullptr;
    if (!stream) {
        if (aac_tracks)
            error = "it holds " + std::to_string(aac_tracks) + " AAC track" + (aac_tracks == 1 ? "" : "s") +
                    ", not a track " + std::to_string(track);
        else
            error = "it holds no AAC audio track";
        return false;
    }
    const AVCodecParameters* par = stream->codecpar;
    tb_num = static_cast<uint32_t>(stream->time_base.num);
    tb_den = static_cast<uint32_t>(stream->time_base.den);
    track_rate = par->sample_rate > 0 ? static_cast<uint32_t>(par->sample_rate) : 0;
    collect_tags(m.fmt->metadata, tags);
    collect_tags(stream->metadata, tags);
    for (const AVDictionary* d : {static_cast<const AVDictionary*>(m.fmt->metadata), static_cast<const AVDictionary*>(stream->metadata)})
        if (const AVDictionaryEntry* e = av().av_dict_get(d, "iTunSMPB", nullptr, 0); e && !smpb)
            smpb = parse_smpb(e->value, smpb_priming, smpb_padding, smpb_length);

    m.pkt = av().av_packet_alloc();
    if (!m.pkt) return false;
    if (latm) {
        m.latm = std::make_unique<LoasUnits>();
        if (follow_configs) m.latm->follow_changes();
    }
    if (!m.read_unit(m.first)) {
        error = latm ? latm_open_error(*m.latm) : "its AAC track holds no access units";
        return false;
    }
    m.pending = true;
    first_pts = m.pts;
    has_skip = m.has_skip && m.skip > 0;
    skip = m.skip;
    // (Set below once the core's rate is known; LATM tracks: none.)
    m.block_ticks = 0;

    if (latm) {
        // The config of the LOAS frames, not the demuxer's.
        config_ = m.config;
        const std::vector<uint8_t>& asc = m.latm->config(m.config);
        if (!take_asc(asc.data(), asc.size(), error)) return false;
        if (!rate || !tb_num) {
            error = "its LATM track gives no sampling rate or time base";
            return false;
        }
        m.frame_ticks = static_cast<int64_t>(1024) * tb_den / (static_cast<int64_t>(tb_num) * rate);
        m.next_pts = m.pts + m.frame_ticks;
        return true;
    }
    if (par->extradata_size <= 0 && m.first.size() >= kAdtsFixedBytes && m.first[0] == 0xFF && (m.first[1] & 0xF6) == 0xF0) {
        // ADTS frames as units (MPEG-TS): the header says what a config would.
        AdtsFields h;
        adts_fields(m.first.data(), &h);
        adts_units = true;
        object_type = h.profile + 1;
        rate = rate_of_index(h.sampling_frequency_index);
        channels = h.channel_configuration;
        set_block_ticks();
        return true;
    }
    if (par->extradata_size <= 0 && static_cast<size_t>(m.track) < entries.size()) {
        // No config: one made from the sample entry (see config_made).
        const auto [hz, count] = entries[static_cast<size_t>(m.track)];
        const int config = made_channel_config(count, m.first);
        if (hz <= 0 || rate_index(static_cast<uint32_t>(hz)) < 0 || config < 0) {
            error = "its AAC track has no AudioSpecificConfig, and its sample entry gives " + std::to_string(hz) +
                    " Hz and " + std::to_string(count) + " channels, no AAC layout to play it as";
            return false;
        }
        config_made = true;
        entry_rate = static_cast<uint32_t>(hz);
        entry_channels = count;
        make_config(entry_rate, static_cast<uint32_t>(config));
        return true;
    }
    if (!take_asc(par->extradata, par->extradata_size > 0 ? static_cast<size_t>(par->extradata_size) : 0, error))
        return false;
    set_block_ticks();
    return true;
}

void AvReader::make_config(uint32_t hz, uint32_t channel_configuration) {
    const uint32_t bits = 2u << 11 | static_cast<uint32_t>(rate_index(hz)) << 7 | channel_configuration << 3;
    const uint8_t asc[2] = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
    std::string error;  // (AAC-LC at a rate and layout it has: it reads)
    take_asc(asc, sizeof asc, error);
    set_block_ticks();
}

const std::vector<uint8_t>* AvReader::waiting_unit() const {
    return impl_ && impl_->pending ? &impl_->first : nullptr;
}

void AvReader::set_block_ticks() {
    if (impl_ && rate && tb_num && tb_den)
        impl_->block_ticks = 1024.0 * tb_den / (static_cast<double>(tb_num) * rate);
}

bool AvReader::next(std::vector<uint8_t>& unit) {
    if (loas_) return loas_next(unit);
    Impl& m = *impl_;
    if (m.gap_left) {
        // (The unit after the gap waits in `first`.)
        --m.gap_left;
        unit.clear();
        return true;
    }
    if (m.pending) {
        m.pending = false;
        unit.swap(m.first);
    } else if (!m.read_unit(unit)) {
        if (m.latm && !m.latm->error().empty()) stop_error = "its LATM stream " + m.latm->error();
        return false;
    }
    if (m.latm && m.config != config_) {
        take_config(*m.latm, m.config);
        if (rate) m.frame_ticks = static_cast<int64_t>(1024) * tb_den / (static_cast<int64_t>(tb_num) * rate);
    }
    if (m.block_ticks > 0) {
        // Units that start a block or more after the last one ends lost the
        // units between (a recording that lost packets, an MPEG-TS PES
        // packet gone): an empty unit for each block, so that they are
        // concealed in place and the timeline keeps its length. A unit up
        // to three quarters of a block late is jitter. Times the demuxer
        // guessed (the frames of a PES packet after its first) are not
        // judged: the count goes on from the frames before. LATM tracks go
        // through the LOAS reader, which finds its own losses.
        const double pts = static_cast<double>(m.pts);
        double base = pts;  // where this unit is taken to start
        if (m.started && !m.pos_known) {
            base = m.last_end;
        } else if (m.started) {
            const double blocks = std::floor((pts - m.last_end) / m.block_ticks + 0.25);
            if (blocks >= 1 && blocks <= kMaxGapUnits) {
                const int64_t n = static_cast<int64_t>(blocks);
                missing_units += static_cast<uint64_t>(n);
                m.gap_left = n - 1;
                m.first.swap(unit);
                m.pending = true;
                m.last_end = pts;  // (the next call hands the unit out, finding no gap)
                unit.clear();
                return true;
            }
            if (blocks > kMaxGapUnits) ++timeline_jumps;
        }
        const int frame_blocks = adts_units && unit.size() >= kAdtsFixedBytes ? (unit[6] & 3) + 1 : 1;
        m.last_end = base + frame_blocks * m.block_ticks;
    }
    if (!m.started) start_pts = m.pts, m.started = true;
    // The samples a unit says to discard at its end, in time base units.
    int64_t discard = 0;
    if (m.discard > 0 && track_rate) {
        discard = m.discard * tb_den / (static_cast<int64_t>(tb_num) * track_rate);
        discards = true;
    }
    end_pts = std::max(end_pts, m.pts + m.duration - discard);
    return true;
}

bool AvReader::seek(int64_t ts) {
    if (loas_) return loas_seek(ts);
    Impl& m = *impl_;
    // A demuxer that lands after `ts` (or nowhere) goes back to the start:
    // the samples before the one asked for are dropped, never missed.
    auto land = [&](int64_t at) {
        if (av().av_seek_frame(m.fmt, m.track, at, AVSEEK_FLAG_BACKWARD) < 0) return false;
        if (m.latm) m.latm->reset(), m.latm_ended = false;
        m.next_pts = at;
        m.pending = m.read_unit(m.first);
        return m.pending && m.pts <= ts;
    };
    m.started = false;
    end_pts = 0;
    if (land(ts)) return true;
    if (!land(first_pts)) {
        // The last resort: the first unit of the file as open() read it.
        av().av_seek_frame(m.fmt, m.track, first_pts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
        if (m.latm) m.latm->reset(), m.latm_ended = false;
        m.pending = m.read_unit(m.first);
    }
    return false;
}

uint64_t AvReader::position() const { return loas_ ? loas_->read : impl_ ? impl_->source.read : 0; }

const char* mp4_demuxer_version() { return "libavformat " AV_STRINGIFY(LIBAVFORMAT_VERSION); }

#else

struct AvReader::Impl {};
AvReader::AvReader() = default;
AvReader::~AvReader() = default;

void AvReader::make_config(uint32_t, uint32_t) {}
const std::vector<uint8_t>* AvReader::waiting_unit() const { return nullptr; }

bool AvReader::open_av(FILE*, const std::vector<uint8_t>&, int, bool, std::string& error) {
    error = "this aacdec was built without libavformat, which container input needs "
            "(install libavformat-dev, e.g. with scripts/deps.sh, and rebuild)";
    return false;
}

bool AvReader::next(std::vector<uint8_t>& unit) { return loas_ && loas_next(unit); }
bool AvReader::seek(int64_t ts) { return loas_ && loas_seek(ts); }
uint64_t AvReader::position() const { return loas_ ? loas_->read : 0; }
const LoasUnits* AvReader::latm_units() const { return nullptr; }

const char* mp4_demuxer_version() { return nullptr; }

#endif
