#include "mp4_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "dec/asc.h"

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
    X(av_packet_free) X(av_malloc) X(av_free) X(av_freep)
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

int64_t seek(void* opaque, int64_t offset, int whence) {
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

struct Mp4Reader::Impl {
    Source source;
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
    AVPacket* pkt = nullptr;
    int track = -1;
    bool pending = false;  // the first unit, read by open, is in `first`
    std::vector<uint8_t> first;

    ~Impl() {
        av().av_packet_free(&pkt);
        if (fmt) av().avformat_close_input(&fmt);
        if (io) {
            av().av_freep(&io->buffer);  // the demuxer may have replaced the buffer
            av().avio_context_free(&io);
        }
    }
    bool read_unit(std::vector<uint8_t>& unit) {
        while (av().av_read_frame(fmt, pkt) >= 0) {
            const bool ours = pkt->stream_index == track && pkt->size > 0;
            if (ours) unit.assign(pkt->data, pkt->data + pkt->size);
            av().av_packet_unref(pkt);
            if (ours) return true;
        }
        return false;
    }
};

Mp4Reader::Mp4Reader() = default;
Mp4Reader::~Mp4Reader() = default;

bool Mp4Reader::open(FILE* file, const std::vector<uint8_t>& head, std::string& error) {
    if (!av().ok) {
        error = av().error;
        return false;
    }
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
    error = "cannot read it as an MP4 file";
    const int buffer_size = 65536;
    uint8_t* buffer = static_cast<uint8_t*>(av().av_malloc(buffer_size));
    if (!buffer) return false;
    m.io = av().avio_alloc_context(buffer, buffer_size, 0, &m.source, read_packet, nullptr, seek);
    if (!m.io) {
        av().av_free(buffer);
        return false;
    }
    m.fmt = av().avformat_alloc_context();
    if (!m.fmt) return false;
    m.fmt->pb = m.io;
    if (av().avformat_open_input(&m.fmt, nullptr, nullptr, nullptr) != 0) return false;  // frees fmt on failure
    if (av().avformat_find_stream_info(m.fmt, nullptr) >= 0)
        for (unsigned i = 0; i < m.fmt->nb_streams && m.track < 0; ++i)
            if (m.fmt->streams[i]->codecpar->codec_id == AV_CODEC_ID_AAC) m.track = static_cast<int>(i);
    const AVCodecParameters* par = m.track >= 0 ? m.fmt->streams[m.track]->codecpar : nullptr;
    if (!par) {
        error = "it holds no AAC audio track";
        return false;
    }
    AscInfo asc;
    const int rc = asc_parse(par->extradata, par->extradata_size > 0 ? static_cast<size_t>(par->extradata_size) : 0, &asc);
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
    asc_bytes.assign(par->extradata, par->extradata + par->extradata_size);
    asc_whole = rc == ASC_OK;
    if (rc != ASC_OK && rc != ASC_ERR_TRUNCATED && object_type == 2) {
        error = std::string("its AudioSpecificConfig is invalid (") + asc_error_text(rc) + ")";
        return false;
    }
    m.pkt = av().av_packet_alloc();
    if (!m.pkt) return false;
    if (!m.read_unit(m.first)) {
        error = "its AAC track holds no access units";
        return false;
    }
    m.pending = true;
    return true;
}

bool Mp4Reader::next(std::vector<uint8_t>& unit) {
    Impl& m = *impl_;
    if (m.pending) {
        m.pending = false;
        unit.swap(m.first);
        return true;
    }
    return m.read_unit(unit);
}

uint64_t Mp4Reader::position() const { return impl_ ? impl_->source.read : 0; }

const char* mp4_demuxer_version() { return "libavformat " AV_STRINGIFY(LIBAVFORMAT_VERSION); }

#else

struct Mp4Reader::Impl {};
Mp4Reader::Mp4Reader() = default;
Mp4Reader::~Mp4Reader() = default;

bool Mp4Reader::open(FILE*, const std::vector<uint8_t>&, std::string& error) {
    error = "this aacdec was built without libavformat, which .m4a/.mp4 input needs "
            "(install libavformat-dev, e.g. with scripts/deps.sh, and rebuild)";
    return false;
}

bool Mp4Reader::next(std::vector<uint8_t>&) { return false; }
uint64_t Mp4Reader::position() const { return 0; }

const char* mp4_demuxer_version() { return nullptr; }

#endif
