#include "mp4_input.h"

#include <algorithm>
#include <cstring>

#include "dec/bands.h"

#ifdef AAC_HAVE_LIBAVFORMAT
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}
#endif

bool looks_like_mp4(const std::vector<uint8_t>& head) {
    return head.size() >= 12 && std::memcmp(head.data() + 4, "ftyp", 4) == 0;
}

#ifdef AAC_HAVE_LIBAVFORMAT

namespace {

// AudioSpecificConfig: object type (5 bits, 31 escapes to 32 + 6 bits),
// sampling_frequency_index (4 bits, 15 escapes to a 24-bit rate), channel
// configuration (4 bits).
bool parse_asc(const uint8_t* p, size_t n, Mp4Track& t) {
    size_t pos = 0;
    auto get = [&](int bits) {
        uint32_t v = 0;
        for (int i = 0; i < bits; ++i, ++pos) v = (v << 1) | (pos / 8 < n ? (p[pos / 8] >> (7 - pos % 8)) & 1u : 0u);
        return v;
    };
    if (n < 2) return false;
    t.object_type = get(5);
    if (t.object_type == 31) t.object_type = 32 + get(6);
    const uint32_t index = get(4);
    t.rate = index == 15 ? get(24) : index < 12 ? static_cast<uint32_t>(samp_rate_kvxdec_info[index].sampling_rate) : 0;
    t.channels = get(4);
    return true;
}

struct MemoryFile {
    const std::vector<uint8_t>& bytes;
    size_t at = 0;
};

int read_packet(void* opaque, uint8_t* buf, int size) {
    MemoryFile& f = *static_cast<MemoryFile*>(opaque);
    const size_t n = std::min(static_cast<size_t>(size), f.bytes.size() - f.at);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buf, f.bytes.data() + f.at, n);
    f.at += n;
    return static_cast<int>(n);
}

int64_t seek(void* opaque, int64_t offset, int whence) {
    MemoryFile& f = *static_cast<MemoryFile*>(opaque);
    const int64_t size = static_cast<int64_t>(f.bytes.size());
    if (whence & AVSEEK_SIZE) return size;
    const int64_t base = (whence & 3) == SEEK_CUR ? static_cast<int64_t>(f.at) : (whence & 3) == SEEK_END ? size : 0;
    const int64_t to = base + offset;
    if (to < 0 || to > size) return -1;
    f.at = static_cast<size_t>(to);
    return to;
}

}  // namespace

bool read_mp4(const std::vector<uint8_t>& file, Mp4Track& t, std::string& error) {
    MemoryFile mem{file};
    const int buffer_size = 65536;
    uint8_t* buffer = static_cast<uint8_t*>(av_malloc(buffer_size));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, buffer_size, 0, &mem, read_packet, nullptr, seek) : nullptr;
    AVFormatContext* fmt = io ? avformat_alloc_context() : nullptr;
    bool ok = false;
    error = "cannot read it as an MP4 file";
    if (fmt) {
        fmt->pb = io;
        if (avformat_open_input(&fmt, nullptr, nullptr, nullptr) == 0) {
            int track = -1;
            if (avformat_find_stream_info(fmt, nullptr) >= 0)
                for (unsigned i = 0; i < fmt->nb_streams && track < 0; ++i)
                    if (fmt->streams[i]->codecpar->codec_id == AV_CODEC_ID_AAC) track = static_cast<int>(i);
            const AVCodecParameters* par = track >= 0 ? fmt->streams[track]->codecpar : nullptr;
            if (!par)
                error = "it holds no AAC audio track";
            else if (!parse_asc(par->extradata, static_cast<size_t>(par->extradata_size), t))
                error = "its AAC track has no AudioSpecificConfig";
            else
                ok = true;
            AVPacket* pkt = ok ? av_packet_alloc() : nullptr;
            while (pkt && av_read_frame(fmt, pkt) >= 0) {
                if (pkt->stream_index == track && pkt->size > 0) {
                    t.units.push_back({t.data.size(), static_cast<size_t>(pkt->size)});
                    t.data.insert(t.data.end(), pkt->data, pkt->data + pkt->size);
                }
                av_packet_unref(pkt);
            }
            av_packet_free(&pkt);
            avformat_close_input(&fmt);
        }
        avformat_free_context(fmt);
    }
    if (io) {
        av_freep(&io->buffer);  // the demuxer may have replaced the buffer
        avio_context_free(&io);
    } else {
        av_free(buffer);
    }
    if (ok && t.units.empty()) error = "its AAC track holds no access units", ok = false;
    return ok;
}

const char* mp4_demuxer_version() { return "libavformat " AV_STRINGIFY(LIBAVFORMAT_VERSION); }

#else

bool read_mp4(const std::vector<uint8_t>&, Mp4Track&, std::string& error) {
    error = "this aacdec was built without libavformat, which .m4a/.mp4 input needs "
            "(install libavformat-dev, e.g. with scripts/deps.sh, and rebuild)";
    return false;
}

const char* mp4_demuxer_version() { return nullptr; }

#endif
