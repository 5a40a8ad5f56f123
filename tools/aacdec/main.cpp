// aacdec: command-line host of the AAC decoder.
//
// Stream and frame modes decode through the library interface (zoraac.h,
// libzoraac): ADTS and ADIF input as a byte stream, in the host's pieces or
// frame by frame; the access units of a container track (MP4, Matroska,
// MPEG-TS through libavformat, av_input.cpp) one per call under the track's
// AudioSpecificConfig. Pull mode has no library entry: it drives the
// decoder's algorithm interface directly (linked in) and lets the decoder
// pull its input through the get-bits callback. Headerless raw data blocks
// go to the algorithm interface too, in byte pieces: nothing marks where one
// ends, so the library, which takes them one per call, cannot be given them.
// With --plugin, stream and frame modes load that plug-in with dlopen
// instead and drive AACInit / AACDecode / AACFinish as a media framework does.
//
// Damage never ends a run: what fails to decode is concealed or dropped,
// a piece the plug-in refuses and a stretch the library refuses are skipped,
// and the report counts them (--strict turns them into exit status 2).
// Streams spliced at another rate end the WAV file, or go on in files of
// their own with --split (Output, output.cpp), which also keeps only the
// samples asked for: a container's content without the encoder's priming
// and padding (Content), --skip/--trim, --start/--duration (Keep).
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aac_plugin.h"
#include "dec/fifo.h"
#include "dec/status.h"
#include "dsp/arithmetic.h"
#include "kvxd_instance.h"
#include "sbr/built.h"
#include "av_input.h"
#include "cli.h"
#include "options.h"
#include "output.h"
#include "probe.h"
#include "wav_writer.h"
#include "zoraac.h"

namespace {
// A plain array, so that the signal handler may read it: a path the system
// opened is shorter than PATH_MAX (4096 bytes with its end).
char partial_path[4096];

// A signal that ends the process takes the unfinished output with it, then
// ends it as the signal would have.
extern "C" void remove_partial_output(int sig) {
    if (partial_path[0]) unlink(partial_path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
}  // namespace

const char* partial_output() { return partial_path; }

void set_partial_output(const std::string& path) {
    if (path.size() >= sizeof partial_path) fail("cannot write %s: its name is too long", path.c_str());
    std::memcpy(partial_path, path.c_str(), path.size() + 1);
}

void fail(const char* fmt, const char* arg) {
    std::fprintf(stderr, "aacdec: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\n");
    if (*partial_output()) std::remove(partial_output());
    std::exit(1);
}

namespace {

class Progress {
public:
    Progress(bool on, uint64_t total) : on_(on && isatty(STDERR_FILENO)), total_(total) {}
    void update(uint64_t done) {
        if (!on_ || total_ == 0) return;
        const int pct = static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total_));
        if (pct != last_) std::fprintf(stderr, "\raacdec: %3d%%", pct), last_ = pct;
    }
    void done() {
        if (on_ && last_ >= 0) std::fprintf(stderr, "\r             \r");
    }

private:
    bool on_;
    uint64_t total_;
    int last_ = -1;
};

// ---- input ----

// Native output: the block's channels from the order of the stream's
// elements to the WAV file's (that of the channel mask's bits), for the
// layouts of channel configurations; a program's layout keeps its order,
// mask 0 (positions not given).
void native_layout(const zoraac_decoder* d, uint8_t* pcm, const zoraac_frame& f, Output& out, bool wide) {
    zoraac_info info{};
    info.size = sizeof info;
    zoraac_get_info(d, &info);
    struct Map {
        uint32_t mask;
        int from[8];  // WAV channel i is element-order channel from[i]
    };
    static const Map kMaps[8] = {
        {0, {}},
        {0x4, {0}},                                   // C
        {0x3, {0, 1}},                                // L R
        {0x7, {1, 2, 0}},                             // C L R -> FL FR FC
        {0x107, {1, 2, 0, 3}},                        // C L R Cs -> FL FR FC BC
        {0x37, {1, 2, 0, 3, 4}},                      // C L R Ls Rs -> FL FR FC BL BR
        {0x3F, {1, 2, 0, 5, 3, 4}},                   // + LFE -> FL FR FC LFE BL BR
        {0xFF, {3, 4, 0, 7, 5, 6, 1, 2}},             // C Lc Rc L R Ls Rs LFE -> FL FR FC LFE BL BR FLC FRC
    };
    // A mono core with parametric stereo plays left and right.
    const uint32_t n = f.channels, config = info.ps && n == 2 ? 2 : info.channel_configuration;
    const bool known = config >= 1 && config <= 7 && (config == 7 ? 8u : config) == n;
    out.set_layout(n, known ? kMaps[config].mask : 0);
    if (!known || n < 3) return;
    const size_t size = wide ? 4 : 2;
    uint8_t frame[8 * 4];
    for (uint32_t k = 0; k < f.samples; ++k, pcm += n * size) {
        for (uint32_t i = 0; i < n; ++i) std::memcpy(frame + i * size, pcm + kMaps[config].from[i] * size, size);
        std::memcpy(pcm, frame, n * size);
    }
}

// Channels of an ADTS/MP4 channel configuration.
uint32_t config_channels(uint32_t config) { return config == 7 ? 8 : config; }

// The input file and what is known of it: its transport and end padding,
// and how it is read: an ADTS, ADIF or raw stream through a window of
// bounded size, an MP4 file access unit by access unit.
struct Input {
    FILE* file = nullptr;
    uint64_t file_bytes = 0;  // size of a regular file, else 0 (progress)
    uint64_t read_bytes = 0;  // bytes read from the file through the window
    uint64_t unit_bytes = 0;  // bytes of the MP4 access units handed out
    std::unique_ptr<StreamWindow> window;
    std::unique_ptr<AvReader> av;
    Probe probe;
    std::string transport;
    std::vector<uint8_t> pad;  // what follows the stream (end_padding)
    uint32_t pad_limit = 0;    // the longest frame the decoder that takes the padding takes
    double first_seconds = 0;  // of the ADTS frames skipped to begin at --start

    // ADTS streams and container tracks come in frames (access units).
    bool framed() const { return av || probe.kind == Probe::Adts; }
    // Bytes of the file read so far.
    uint64_t position() const { return av ? av->position() : read_bytes; }
    // Bytes of the stream, for the bit rate: the whole file, or the MP4 track.
    uint64_t stream_bytes() const { return av ? unit_bytes : read_bytes; }
};

// ---- library decoders the hosts share ----

// The host's blocks for the decoder's memory records, each at its alignment.
class Memory {
public:
    explicit Memory(const zoraac_memrec* rec, int n) {
        for (int i = 0; i < n; ++i) {
            const size_t align = std::max(rec[i].alignment, alignof(std::max_align_t));
            void* b = std::aligned_alloc(align, (rec[i].size + align - 1) / align * align);
            if (!b) fail("out of memory");
            blocks_.push_back(b);
        }
    }
    ~Memory() {
        for (void* b : blocks_) std::free(b);
    }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    void* const* blocks() const { return blocks_.data(); }

private:
    std::vector<void*> blocks_;
};

// The params of a library decoder for this input.
zoraac_params library_params(const Options& o, const Input& in) {
    zoraac_params params;
    zoraac_params_init(&params);
    params.sbr = o.sbr;
    params.downmix = o.downmix ? ZORAAC_DOWNMIX : ZORAAC_NO_DOWNMIX;
    // HE-AAC layouts of up to eight channels play with their SBR.
    params.sbr_channels = o.sbr_small ? 0 : 8;
    if (o.sbr_small) params.sbr_memory = ZORAAC_SBR_SMALL;
    if (o.native) params.output = ZORAAC_OUT_NATIVE;
    // The bits below the 16-bit LSB, where the output has room for them.
    if (o.sample != SampleFormat::S16 && kExactArithmetic) params.format = ZORAAC_S32;
    if (in.av && in.av->adts_units) return params;  // ADTS frames as a byte stream
    if (in.av) {
        // Access units under the track's AudioSpecificConfig; one cut short
        // behind its header fields still gives rate and channels, which play
        // the units as raw ones.
        const AvReader& t = *in.av;
        if (t.asc_whole || t.channels < 1 || t.channels > 2) {
            params.transport = ZORAAC_TRANSPORT_ASC;
            params.asc = t.asc_bytes.data();
            params.asc_size = static_cast<uint32_t>(t.asc_bytes.size());
        } else {
            params.transport = ZORAAC_TRANSPORT_RAW;
            params.sample_rate = t.rate;
            params.channels = t.channels;
        }
    }
    return params;
}

// --info: the output rate of an HE-AAC stream (0: it does not play SBR),
// from the first block a library decoder gives for its first frames.
class SbrProbe {
public:
    // `plugin`: as the plug-in plays the stream (layouts of more than two
    // channels at their core rate).
    SbrProbe(const Options& o, const Input& in, bool plugin = false) : params_(library_params(o, in)) {
        if (plugin) params_.sbr_channels = 0;
        zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
        const int n = o.sbr != ZORAAC_SBR_OFF ? zoraac_query_memory(&params_, rec) : -1;
        if (n < 0) return;
        memory_ = std::make_unique<Memory>(rec, n);
        d_ = zoraac_open(&params_, memory_->blocks());
        pcm_.resize(zoraac_frame_bytes(&params_));
    }
    ~SbrProbe() {
        if (d_) zoraac_close(d_);
    }
    SbrProbe(const SbrProbe&) = delete;
    SbrProbe& operator=(const SbrProbe&) = delete;
    // A frame or access unit; null at the end of the input.
    void feed(const uint8_t* data, size_t n) {
        if (!d_ || done_) return;
        const bool end = !data;
        for (;;) {
            size_t used = 0;
            zoraac_frame f{};
            const int s = zoraac_decode(d_, data, n, &used, pcm_.data(), pcm_.size(), &f);
            if (s < 0) break;
            data += used;
            n -= used;
            if (f.bytes) {
                zoraac_info info{};
                info.size = sizeof info;
                zoraac_get_info(d_, &info);
                if (info.sbr) rate_ = info.output_rate;
                clean_ = !f.concealed;
                delay_ = info.delay;
                ps_ = info.ps != 0;
                break;
            }
            if (!n && (!end || s == ZORAAC_NEED_MORE_INPUT)) {
                if (!end && ++frames_ < kFrames) return;
                break;
            }
        }
        done_ = true;
    }
    uint32_t rate() const { return rate_; }
    // Its first block decoded (not concealed).
    bool clean() const { return clean_; }
    uint32_t delay() const { return delay_; }
    bool ps() const { return ps_; }
    // It has what it looks for (or has given up).
    bool done() const { return done_ || !d_; }

private:
    static constexpr int kFrames = 16;  // a stream that gives no block by then is taken as it is
    bool ps_ = false;
    zoraac_params params_;
    std::unique_ptr<Memory> memory_;
    zoraac_decoder* d_ = nullptr;
    std::vector<uint8_t> pcm_;
    uint32_t delay_ = 0;
    int frames_ = 0;
    bool done_ = false;
    bool clean_ = false;
    uint32_t rate_ = 0;
};

// The stream's bytes in order (an MP4 track's access units back to back).
// The frames of an ADTS stream are counted on the way, as frame mode would
// send them.
class StreamBytes {
public:
    // `sbr`: the options of a decode at the full SBR rate, whose stretches
    // are each probed for SBR (null: not probed).
    explicit StreamBytes(Input& in, const Options* sbr = nullptr) : in_(in), sbr_(sbr), pos_(in.probe.start) {
        if (!in.av && in.probe.kind == Probe::Adts) splitter_ = std::make_unique<AdtsSplitter>(*in.window, false, pos_);
    }
    // Up to n bytes; fewer only at the end of the stream.
    size_t read(uint8_t* dst, size_t n) {
        size_t got = 0;
        if (in_.av) {
            while (got < n && !at_end()) {
                // (An empty unit, a block missing from the timeline, gives
                // nothing: its data() may be null.)
                const size_t k = std::min(n - got, unit_.size() - unit_at_);
                if (k) std::memcpy(dst + got, unit_.data() + unit_at_, k);
                unit_at_ += k;
                got += k;
            }
            return got;
        }
        StreamWindow& w = *in_.window;
        w.has(pos_ + n);
        got = std::min(n, w.end() - pos_);
        if (got) std::memcpy(dst, w.at(pos_), got);
        pos_ += got;
        count_frames(pos_);
        w.drop_before(pos_);
        return got;
    }
    bool at_end() {
        if (!in_.av) return !in_.window->has(pos_ + 1);
        if (unit_at_ < unit_.size()) return false;
        if (!in_.av->next(unit_)) return true;
        unit_at_ = 0;
        // Container units that are ADTS frames: the padding copies the
        // first header among them, as it copies a file's first header
        // (zeros alone confirmed no frame: a stream of one frame played
        // nothing in pull mode and through the plug-in).
        if (in_.probe.kind == Probe::Adts && in_.pad_limit && (in_.pad.empty() || in_.pad[0] != 0xFF) &&
            unit_.size() >= 7 && unit_[0] == 0xFF && (unit_[1] & 0xF0) == 0xF0) {
            Probe first = in_.probe;
            first.first_header = 0;
            in_.pad = end_padding(first, unit_.data(), unit_.size(), in_.pad_limit);
        }
        ++frames_;
        in_.unit_bytes += unit_.size();
        return false;
    }
    // Frames (access units) of the whole stream, once it has been read.
    uint64_t frames() {
        count_frames(SIZE_MAX);
        return frames_;
    }

    // A stretch of ADTS frames at one rate: the stream's blocks from its
    // start to the stretch's end, the rate and channel configuration, and
    // whether it plays SBR at twice that rate (-1: not known).
    struct Stretch {
        uint64_t end_block;
        uint32_t rate, channel_config;
        int sbr;
    };
    // The stretches of the frames read so far, from the one that holds block
    // `block` (counted from 0) on; those before it are forgotten.
    const std::deque<Stretch>& stretches_from(uint64_t block) {
        while (stretches_.size() > 1 && stretches_.front().end_block <= block) stretches_.pop_front();
        return stretches_;
    }

private:
    // Counts the frames that begin before `pos`.
    void count_frames(size_t pos) {
        Span f;
        while (splitter_ && splitter_->position() < pos) {
            if (!splitter_->next(f)) {
                splitter_.reset();
                break;
            }
            ++frames_;
            const AdtsFields& h = splitter_->header();
            const uint32_t rate = rate_of_index(h.sampling_frequency_index);
            if (stretches_.empty() || stretches_.back().rate != rate) {
                const uint64_t start = stretches_.empty() ? 0 : stretches_.back().end_block;
                stretches_.push_back({start, rate, h.channel_configuration, sbr_ ? -1 : 0});
                // Each stretch decides SBR afresh, as the decoder does after a
                // change of stream.
                if (sbr_) probe_ = std::make_unique<SbrProbe>(*sbr_, in_, true);
            }
            stretches_.back().end_block += h.number_of_raw_data_blocks_in_frame + 1u;
            if (probe_) {
                probe_->feed(in_.window->at(f.offset), f.size);
                if (probe_->done()) {
                    stretches_.back().sbr = probe_->rate() == 2 * rate;
                    probe_.reset();
                }
            }
        }
    }
    Input& in_;
    const Options* sbr_;
    std::unique_ptr<SbrProbe> probe_;
    std::deque<Stretch> stretches_;
    size_t pos_ = 0;
    std::unique_ptr<AdtsSplitter> splitter_;
    std::vector<uint8_t> unit_;
    size_t unit_at_ = 0;
    uint64_t frames_ = 0;
};

// The frames of an ADTS stream or the access units of an MP4 file, one at a
// time; each stays valid until the next call.
class Frames {
public:
    explicit Frames(Input& in) : in_(in) {
        if (!in.av) splitter_ = std::make_unique<AdtsSplitter>(*in.window, true, in.probe.start);
    }
    bool next(const uint8_t*& data, size_t& size) {
        if (in_.av) {
            if (!in_.av->next(unit_)) return false;
            in_.unit_bytes += unit_.size();
            data = unit_.data();
            size = unit_.size();
            return true;
        }
        in_.window->drop_before(splitter_->position());
        Span f;
        if (!splitter_->next(f)) return false;
        data = in_.window->at(f.offset);
        size = f.size;
        return true;
    }
    // Channels of the last ADTS frame (0: set by a program config element),
    // 0 for an MP4 file.
    uint32_t channels() const { return splitter_ ? config_channels(splitter_->header().channel_configuration) : 0; }
    // Rate of the last ADTS frame, 0 for an MP4 file.
    uint32_t rate() const { return splitter_ ? rate_of_index(splitter_->header().sampling_frequency_index) : 0; }
    // Blocks of the last ADTS frame (1 to 4), 1 for an access unit.
    uint32_t blocks() const { return splitter_ ? splitter_->header().number_of_raw_data_blocks_in_frame + 1u : 1u; }

private:
    Input& in_;
    std::unique_ptr<AdtsSplitter> splitter_;
    std::vector<uint8_t> unit_;
};

struct Result {
    uint64_t blocks = 0;
    uint64_t concealed = 0;   // of the blocks, those that stand in for a failed one
    bool knows_concealed = false;  // the decoder reported them (the plug-in does not)
    uint64_t dropped = 0;     // pieces of input that gave no block: refused, or failed with nothing to conceal
    uint64_t skipped = 0;     // stretches of input skipped because the decoder does not play them
    uint64_t frames = 0;  // frames of an ADTS stream or MP4 file
    uint32_t delay = 0;   // the decoder's delay in output samples (HE-AAC)
    bool ps = false;      // it plays parametric stereo
    bool sbr = false;     // it plays SBR (HE-AAC)
    bool coupling_skipped = false;  // blocks played without their coupling elements' signal
    bool sbr_core_only = false;     // an HE-AAC layout played its core (no room for its channels' SBR)
    bool have_status = false;
    KVXD_Status status{};
};

// ---- plug-in modes ----

Result run_plugin(const Options& o, Input& in, Output& out) {
    const Probe& p = in.probe;
    const std::string& path = o.plugin;
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) fail("cannot load the plug-in: %s", dlerror());
    auto get = reinterpret_cast<const AACPlugin* (*)(void)>(dlsym(lib, "GetZorAudioDecodePlugin"));
    if (!get) fail("%s is not an audio decode plug-in", path.c_str());
    const AACPlugin* plugin = get();

    const bool frame = o.mode == "frame";
    uint32_t flags = frame ? 0u : static_cast<uint32_t>(ZOR_STREAM_STREAMING);
    if (p.kind == Probe::Raw) flags |= ZOR_STREAM_RAW;
    // HE-AAC at the rate asked for, as the library plays it (a plug-in
    // built without SBR ignores the flags and plays the core).
    // A track configured for downsampled SBR plays at its core rate, as
    // through the library.
    const bool down = o.sbr == ZORAAC_SBR_DOWNSAMPLED || (o.sbr == ZORAAC_SBR_FULL && in.av && (in.av->sbr_signalled & 3) == 2);
    if (o.sbr == ZORAAC_SBR_FULL && !down) flags |= ZOR_STREAM_SBR_FULL;
    if (down) flags |= ZOR_STREAM_SBR_DOWNSAMPLED;
    if (o.downmix) flags |= ZOR_STREAM_DOWNMIX;  // more than two channels as stereo, as the library plays them
    ZorStreamInfo info = {ZOR_STREAM_INFO_VERSION, config_channels(p.channels), p.rate, 0, flags};
    if (plugin->init(&info) != 0) fail("the plug-in refused the stream (%s)", (std::to_string(p.rate) + " Hz").c_str());

    Result r;
    Progress progress(!o.quiet, in.file_bytes);
    std::unique_ptr<StreamBytes> bytes;
    if (!frame) bytes = std::make_unique<StreamBytes>(in, o.sbr == ZORAAC_SBR_FULL && kSbrBuilt ? &o : nullptr);
    // The plug-in takes a piece whole only with room for every block it can complete.
    auto room_for = [frame, &o](size_t n) { return static_cast<size_t>(output_room(n, frame, o.sbr == ZORAAC_SBR_FULL)); };
    std::vector<uint8_t> pcm;
    // `channels`: the stream's channels in this piece, when the host knows
    // them; `core`: its rate in the transport (0: not known).
    auto decode = [&](const uint8_t* data, size_t n, uint32_t channels, uint32_t core) {
        pcm.resize(room_for(n));
        ZorBuffer ib{}, ob{};
        ib.data = const_cast<uint8_t*>(data);
        ib.size = static_cast<uint32_t>(n);
        ob.data = pcm.data();
        ob.size = static_cast<uint32_t>(pcm.size());
        const int got = plugin->decode(&ib, &ob);
        if (got < 0) {
            // A piece the plug-in refuses (a frame longer than it takes, two
            // frames in one): skipped; the next one is decoded.
            ++r.dropped;
            return;
        }
        // The plug-in says the rate of the last block of a call. In stream
        // mode a call can hold blocks from before a change of rate too: as
        // many as the frames of each stretch of the stream carry go at its
        // rate, in blocks of 8192 bytes where it plays SBR at twice its
        // rate, the rest at the rate the plug-in says.
        struct Part {
            size_t bytes;
            uint32_t rate, channels;
            uint64_t blocks;
        };
        std::vector<Part> parts;
        size_t left = static_cast<size_t>(got);
        auto plan = [&](bool probed) {
            parts.clear();
            left = static_cast<size_t>(got);
            const auto& s = bytes->stretches_from(out.blocks());
            uint64_t block_at = out.blocks();
            for (size_t i = 0; i < s.size() && left; ++i) {
                if (s[i].end_block <= block_at) continue;
                const bool sbr = s[i].sbr < 0 || !probed ? o.sbr == ZORAAC_SBR_FULL && ob.sampleRate == 2 * s[i].rate
                                                         : s[i].sbr;
                const size_t block = sbr ? 2 * ZORAAC_BLOCK_BYTES : ZORAAC_BLOCK_BYTES;
                // (At most the call's output: a count of size_t.)
                const size_t k = static_cast<size_t>(
                    i + 1 == s.size() ? left / block : std::min<uint64_t>(s[i].end_block - block_at, left / block));
                if (!k) break;
                parts.push_back({k * block, sbr ? 2 * s[i].rate : s[i].rate, config_channels(s[i].channel_config), k});
                block_at += k;
                left -= k * block;
            }
        };
        if (bytes) {
            plan(true);
            // A plug-in built without SBR plays the core where the probe
            // found SBR: its last block says so.
            if (!parts.empty() && parts.back().rate != ob.sampleRate) plan(false);
        }
        size_t at = 0;
        for (const Part& part : parts) {
            out.write(pcm.data() + at, part.bytes, part.rate, part.channels, false, part.blocks);
            r.blocks += part.blocks;
            at += part.bytes;
        }
        if (!left) return;
        // Blocks of a frame, an access unit, or beyond the stretches known.
        if (!core && bytes && !bytes->stretches_from(out.blocks()).empty())
            core = bytes->stretches_from(out.blocks()).back().rate;
        if (!core) core = p.rate;
        const bool sbr = o.sbr == ZORAAC_SBR_FULL && left % (2 * ZORAAC_BLOCK_BYTES) == 0 && ob.sampleRate == 2 * core;
        const uint64_t blocks = left / (sbr ? 2 * ZORAAC_BLOCK_BYTES : ZORAAC_BLOCK_BYTES);
        r.blocks += blocks;
        out.write(pcm.data() + at, left, ob.sampleRate, channels, false, blocks);
    };

    if (frame) {
        Frames frames(in);
        const uint8_t* data;
        size_t n;
        while (frames.next(data, n)) {
            decode(data, n, frames.channels(), frames.rate());
            ++r.frames;
            progress.update(in.position());
        }
    } else {
        std::vector<uint8_t> piece(o.chunk);
        while (const size_t n = bytes->read(piece.data(), o.chunk)) {
            decode(piece.data(), n, 0, 0);
            progress.update(in.position());
        }
        r.frames = bytes->frames();
        // The plug-in stages input in 256-byte pieces and the decoder takes a
        // frame only once what follows it is buffered: push the tail through,
        // with up to a piece of zeros more, so that the whole padding reaches
        // the decoder whatever the staged remainder (an ADIF stream's damaged
        // last block, stepped over into the padding, was lost without).
        std::vector<uint8_t> tail = in.pad;
        tail.resize(tail.size() + 255, 0);
        decode(tail.data(), tail.size(), 0, 0);
    }
    progress.done();
    plugin->finish();
    dlclose(lib);
    return r;
}

// ---- the library ----

std::string object_type_name(uint32_t object_type, bool sbr, bool ps);

Result run_library(const Options& o, Input& in, Output& out) {
    zoraac_params params = library_params(o, in);
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int records = zoraac_query_memory(&params, rec);
    if (records < 0) fail("%s", (o.input + ": the decoder refused the stream: " + zoraac_status_string(records)).c_str());
    auto memory = std::make_unique<Memory>(rec, records);
    zoraac_decoder* d = zoraac_open(&params, memory->blocks());
    if (!d) fail("cannot create the decoder");

    Result r;
    Progress progress(!o.quiet, in.file_bytes);
    std::vector<uint8_t> pcm(zoraac_frame_bytes(&params));
    const bool wide = params.format == ZORAAC_S32;
    // What the decoder found that it does not play, said as the checks
    // before decoding say it.
    auto refusal = [&](int status) {
        zoraac_info info{};
        info.size = sizeof info;
        zoraac_get_info(d, &info);
        std::string why = zoraac_status_string(status);
        if (status == ZORAAC_ERR_UNSUPPORTED && info.object_type != 2)
            why = "the decoder plays AAC-LC (audio object type 2); the stream has object type " +
                  std::to_string(info.object_type) +
                  (info.object_type >= 1 && info.object_type <= 4
                       ? " (" + object_type_name(info.object_type, false, false) + ")"
                       : "");
        else if (status == ZORAAC_ERR_UNSUPPORTED && info.channels > 8 && kExactArithmetic && (o.downmix || o.native))
            why = "the decoder plays layouts of up to 8 channels; the stream has " + std::to_string(info.channels);
        else if (status == ZORAAC_ERR_UNSUPPORTED && info.channels > 2 && kExactArithmetic && (o.downmix || o.native) &&
                 info.channel_configuration == 0)
            why = "the stream has " + std::to_string(info.channels) +
                  " channels, laid out by neither a channel configuration nor a program config element the decoder mixes";
        else if (status == ZORAAC_ERR_UNSUPPORTED && info.channels > 2)
            why = "the decoder plays one or two front channels; the stream has " + std::to_string(info.channels);
        return o.input + ": " + why;
    };
    // A stretch the decoder refuses (another stream spliced on, in a profile
    // or with channels it does not play) is skipped: a new decoder in the
    // same memory takes the input up after what the refusing one took. It is
    // reported once the decoder plays on; if it never does, the run fails
    // with the reason.
    std::string refused;       // the reason, while a stretch is being skipped
    bool refused_told = true;  // the stretch has been reported
    // A stretch refused for `why`: reported now if blocks came before it,
    // else once the decoder plays on.
    auto skip_stretch = [&](const std::string& why) {
        if (!refused.empty()) return;
        refused = why;
        refused_told = false;
        ++r.skipped;
        if (r.blocks) {
            std::fprintf(stderr, "aacdec: warning: %s after block %llu: that stretch is skipped\n", refused.c_str(),
                         static_cast<unsigned long long>(r.blocks));
            refused_told = true;
        }
    };
    auto play_on = [&] {
        if (refused.empty()) return;
        if (!refused_told)
            std::fprintf(stderr, "aacdec: warning: %s at its start: that stretch is skipped\n", refused.c_str());
        refused.clear();
    };
    // A call's outcome: its block written, or its place kept.
    auto take = [&](int s, const zoraac_frame& f) {
        if (s == ZORAAC_DROPPED) {
            // (An access unit lost before the stream said its rate: its
            // place is kept, so a container's trimming stays on the samples.)
            ++r.dropped;
            out.skip_block();
        }
        if (f.bytes) {
            play_on();
            uint32_t channels = 0;
            if (!r.blocks || f.sample_rate != out.rate()) {
                zoraac_info info{};
                info.size = sizeof info;
                zoraac_get_info(d, &info);
                channels = info.channels;
                r.delay = info.delay;
                r.ps = info.ps != 0;
                r.sbr = info.sbr != 0;
                if (!r.blocks) out.set_delay(info.delay);
            }
            ++r.blocks;
            if (f.concealed) ++r.concealed;
            if (o.native) native_layout(d, pcm.data(), f, out, wide);
            out.write(pcm.data(), f.bytes, f.sample_rate, channels, wide);
        }
    };
    // One call gives at most one block: a piece (an access unit, a frame)
    // is handed on until all of it is taken, and blocks still buffered come
    // out on the next call, before its input. in_size 0 only at the end: it
    // pushes the last frames of a byte stream out.
    auto call = [&](const uint8_t* data, size_t n) {
        size_t used = 0;
        zoraac_frame f;
        int s = zoraac_decode(d, data, n, &used, pcm.data(), pcm.size(), &f);
        if (s == ZORAAC_ERR_UNSUPPORTED) {
            skip_stretch(refusal(s));
            zoraac_close(d);
            d = zoraac_open(&params, memory->blocks());
            if (!d) fail("cannot create the decoder");
            s = zoraac_decode(d, data, n, &used, pcm.data(), pcm.size(), &f);
        }
        if (s < 0) fail("%s", refusal(s).c_str());
        take(s, f);
        return std::pair<int, size_t>(s, used);
    };
    // The input given so far pushed through (calls without input until
    // the decoder needs more): the frames it holds come out.
    auto push_through = [&] {
        while (!out.complete() && call(nullptr, 0).first != ZORAAC_NEED_MORE_INPUT) {
        }
    };
    auto feed = [&](const uint8_t* data, size_t n) {
        while (n) {
            const size_t used = call(data, n).second;
            data += used;
            n -= used;
        }
        progress.update(in.position());
    };

    if (in.av || o.mode == "frame") {
        Frames frames(in);
        bool skip_config = false;  // a LATM config the decoder refuses: its units are skipped
        const uint8_t* data;
        size_t n;
        // --duration: no need to decode past its end.
        while (!out.complete() && frames.next(data, n)) {
            if (in.av && in.av->config_changed) {
                // A LATM stream took on another config (a broadcast that
                // turns from stereo to 5.1): a decoder for it, from this
                // unit on. (A new rate is the output's to deal with, as in
                // an ADTS stream.)
                in.av->config_changed = false;
                zoraac_params next = library_params(o, in);
                const int n_rec = zoraac_query_memory(&next, rec);
                skip_config = n_rec < 0;
                if (skip_config) {
                    // A config the decoder does not play (a layout it
                    // refuses, say): its units are skipped up to the next
                    // change, as a refused stretch of an ADTS stream is.
                    skip_stretch(o.input + ": its LATM stream changes to a config the decoder refuses (" +
                                 std::to_string(in.av->channels) + " channels, audio object type " +
                                 std::to_string(in.av->object_type) + ": " + zoraac_status_string(n_rec) + ")");
                } else {
                    zoraac_close(d);
                    params = next;
                    memory = std::make_unique<Memory>(rec, n_rec);
                    d = zoraac_open(&params, memory->blocks());
                    if (!d) fail("cannot create the decoder");
                    pcm.resize(zoraac_frame_bytes(&params));
                }
            }
            if (skip_config) {
                ++r.frames;
                continue;
            }
            if (n) {
                feed(data, n);
            } else if (in.av) {
                // A unit the input lost (a LOAS frame lost to damage, a gap in
                // a track's timeline): its block concealed. A byte stream
                // (ADTS units) first gives out the frames it holds.
                zoraac_frame f;
                if (in.av->adts_units) push_through();
                // (Nothing where the stream is refused.)
                const int s = zoraac_conceal(d, pcm.data(), pcm.size(), &f);
                if (s >= 0) take(s, f);
            }
            ++r.frames;
        }
    } else {
        StreamBytes bytes(in);
        std::vector<uint8_t> piece(o.chunk);
        while (!out.complete()) {
            const size_t n = bytes.read(piece.data(), o.chunk);
            if (!n) break;
            feed(piece.data(), n);
        }
        // Stopped at --duration's end: the frames from there on are not counted.
        r.frames = out.complete() ? 0 : bytes.frames();
    }
    // The end of the input pushes the last frames out (not where the decode
    // stopped early: a frame cut short there would be concealed).
    push_through();
    progress.done();
    if (!r.blocks && !refused.empty()) fail("%s", refused.c_str());
    r.knows_concealed = true;
    {
        zoraac_info info{};
        info.size = sizeof info;
        zoraac_get_info(d, &info);
        r.coupling_skipped = info.coupling_skipped != 0;
        r.sbr_core_only = info.last_error == KVXD_NOTE_SBR_CHANNELS;
    }
    zoraac_close(d);
    return r;
}

// ---- pull mode ----

// The stream then its end padding, as 16-bit words on request.
struct PullSource {
    StreamBytes* bytes = nullptr;
    const std::vector<uint8_t>* pad = nullptr;
    size_t pad_at = 0;
    std::vector<uint8_t> staged;
    std::vector<uint16_t> words;

    bool at_end() { return bytes->at_end() && pad_at == pad->size(); }
};
PullSource g_source;

uint16_t pull_words(int request, const uint16_t** words) {
    PullSource& s = g_source;
    const size_t want = 2 * static_cast<size_t>(request);
    s.staged.resize(want);
    size_t got = s.bytes->read(s.staged.data(), want);
    while (got < want && s.pad_at < s.pad->size()) s.staged[got++] = (*s.pad)[s.pad_at++];
    s.staged.resize(got);
    s.words = to_words(s.staged);
    *words = s.words.data();
    return static_cast<uint16_t>(s.words.size());
}

// A streaming-mode instance of the algorithm interface for the probed stream.
// sbr: ZORAAC_SBR_*; native: the stream's own channels are written (a mono
// one in one); signalled: what an .m4a track's configuration says of
// SBR (Mp4Reader::sbr_signalled).
IALG_Handle open_instance(const Probe& p, uint32_t sbr, bool downmix, bool native, bool small, int signalled = 0) {
    int index = rate_index(p.rate);
    if (index < 0) fail("unsupported sample rate %s", (std::to_string(p.rate) + " Hz").c_str());
    // In memory of its own, with a FIFO that takes ADTS frames of any legal
    // length (the static layout's takes up to 1536 bytes).
    KvxdHostInstance want;
    want.sbr = sbr != ZORAAC_SBR_OFF && kSbrBuilt;
    want.downsampled = sbr == ZORAAC_SBR_DOWNSAMPLED;
    want.signalled = signalled;
    want.stereo_host = !native;
    want.sbr_mix = want.sbr && downmix && !small;
    want.small_scratch = want.sbr && small;
    IALG_Handle h = kvxd_host_instance(want);
    if (!h) fail("cannot create the decoder");
    KVXD_setDownmix(h, downmix && kExactArithmetic);
    KVXD_Status st{};
    // Raw blocks of more channels: their count gives the layout to mix.
    st.numChannels = static_cast<uint16_t>(p.channels == 1 ? 1 : (p.channels > 2 ? config_channels(p.channels) : 0));
    st.sampleRateIndex = static_cast<uint32_t>(index);
    st.rawStream = p.kind == Probe::Raw;
    KVXD_control(h, KVXD_SETPARAMS, &st);
    static int16_t pcm[4096];
    KVXD_setOutputBuffer(h, pcm);
    return h;
}

// The block the instance just decoded, to the output.
void take_block(IALG_Handle h, Output& out, Result& r) {
    uint16_t n = 0;
    const int16_t* samples = KVXD_getSamples(h, &n);
    ++r.blocks;
    KVXD_control(h, KVXD_GETSTATUS, &r.status);
    out.write(reinterpret_cast<const uint8_t*>(samples), n * 2u, r.status.sampleRate, r.status.numChannels);
}

Result run_pull(const Options& o, Input& in, Output& out) {
    IALG_Handle h = open_instance(in.probe, o.sbr, o.downmix, o.native, o.sbr_small, in.av ? in.av->sbr_signalled : 0);
    StreamBytes bytes(in);
    g_source.bytes = &bytes;
    g_source.pad = &in.pad;
    g_source.pad_at = 0;
    KVXD_KELVARIS_setGetBitsCallback(h, pull_words);

    Result r;
    Progress progress(!o.quiet, in.file_bytes);
    // Every call decodes at most one block; once the source is dry a call
    // that yields nothing ends the run.
    for (;;) {
        if (KVXD_process(h, nullptr, 0)) {
            take_block(h, out, r);
        } else if (g_source.at_end()) {
            break;
        }
        progress.update(in.position());
    }
    progress.done();
    r.frames = bytes.frames();
    // The status as of the last block: what the end padding stirs up after it
    // (a header that promises a frame never sent, or zero bytes taken for a
    // block) is no part of the stream.
    if (!r.blocks) KVXD_control(h, KVXD_GETSTATUS, &r.status);
    r.have_status = true;
    r.concealed = r.status.concealedCount;
    r.knows_concealed = true;
    return r;
}

// ---- raw data blocks ----

// Headerless raw data blocks carry nothing that says where a block ends: the
// library, which takes them one per call, cannot be given them. They go to a
// streaming instance of the algorithm interface in the --chunk pieces, handed
// on as the plug-in does it (256 bytes at a time, every block then ready
// fetched), and the end padding pushes the last block through.
Result run_raw_stream(const Options& o, Input& in, Output& out) {
    IALG_Handle h = open_instance(in.probe, o.sbr, o.downmix, o.native, o.sbr_small);
    Result r;
    Progress progress(!o.quiet, in.file_bytes);
    constexpr size_t kPieceBytes = 256;
    std::vector<uint8_t> staged;
    auto push = [&](const uint8_t* data, size_t n) {
        staged.insert(staged.end(), data, data + n);
        size_t at = 0;
        for (; staged.size() - at >= kPieceBytes; at += kPieceBytes) {
            const std::vector<uint16_t> words =
                to_words(std::vector<uint8_t>(staged.begin() + static_cast<std::ptrdiff_t>(at),
                                              staged.begin() + static_cast<std::ptrdiff_t>(at + kPieceBytes)));
            for (uint16_t got = KVXD_process(h, words.data(), kPieceBytes / 2); got; got = KVXD_process(h, nullptr, 0))
                take_block(h, out, r);
        }
        staged.erase(staged.begin(), staged.begin() + static_cast<std::ptrdiff_t>(at));
    };
    StreamBytes bytes(in);
    std::vector<uint8_t> piece(o.chunk);
    while (const size_t n = bytes.read(piece.data(), o.chunk)) {
        push(piece.data(), n);
        progress.update(in.position());
    }
    push(in.pad.data(), in.pad.size());
    progress.done();
    // Only the concealed count is reported: a streaming instance counts
    // each wait for the rest of a raw block as an error.
    r.concealed = r.status.concealedCount;
    r.knows_concealed = true;
    return r;
}

// Frames decoded before the one --start falls in, and dropped: one gives
// the overlap of an AAC-LC block; where SBR may play (core rates up to
// 24 kHz) its envelopes and filter banks take a few more to settle.
int64_t preroll_frames(const Options& o, uint32_t core_rate) { return o.sbr != ZORAAC_SBR_OFF && core_rate <= 24000 ? 3 : 1; }

// A track without a config (AvReader::config_made): the first unit is
// decoded under the layouts it may have, the smallest first (one that
// begins with a single channel element: mono, or a mono core with
// parametric stereo, then 3.0 to 7.1; with a pair: stereo; with another
// element, such as an encoder's data element: any), and the first layout
// under which it decodes cleanly is the track's. An entry
// rate above 24 kHz, at which no HE-AAC core runs, is tried first at half
// that rate, and kept there where the unit then carries SBR data: such an
// entry gives the output rate. (An entry of 24 kHz or less is the core's
// rate: an HE-AAC track's SBR doubles it.) Where no layout decodes, the one
// AvReader took stays, and the decode reports its blocks.
void take_made_config(const Options& o, Input& in) {
    AvReader& t = *in.av;
    const std::vector<uint8_t>* unit = t.waiting_unit();
    if (!unit) return;
    const uint32_t first = t.channels;
    const uint32_t half = t.entry_rate / 2;
    const bool either = t.entry_rate > 24000 && t.entry_rate <= 48000 && 2 * half == t.entry_rate && rate_index(half) >= 0;
    // The library's view of the unit under a config: a clean block, and
    // with SBR data (whatever the options ask, the downmix on).
    Options trial = o;
    trial.sbr = ZORAAC_SBR_FULL;
    trial.downmix = true;
    trial.native = false;
    const auto decodes = [&](uint32_t rate, uint32_t config, bool sbr) {
        t.make_config(rate, config);
        SbrProbe probe(trial, in);
        probe.feed(unit->data(), unit->size());
        return probe.clean() && (!sbr || probe.rate());
    };
    const int id = unit->empty() ? -1 : (*unit)[0] >> 5;  // the first element (a data element may lead)
    const std::vector<uint32_t> layouts = id == 0   ? std::vector<uint32_t>{1, 3, 4, 5, 6, 7}
                                          : id == 1 ? std::vector<uint32_t>{2}
                                                    : std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7};
    const bool found = std::any_of(layouts.begin(), layouts.end(), [&](uint32_t config) {
        return (either && kSbrBuilt && decodes(half, config, true)) || decodes(t.entry_rate, config, false);
    });
    if (!found) t.make_config(t.entry_rate, first);
    if (!o.quiet)
        std::fprintf(stderr,
                     "aacdec: warning: %s: its AAC track has no AudioSpecificConfig; it is taken for AAC-LC at %u Hz%s, "
                     "channel configuration %u, from its sample entry (%u Hz, %d channels) and first unit%s\n",
                     o.input.c_str(), t.rate, t.rate != t.entry_rate ? " with SBR data (HE-AAC)" : "", t.channels,
                     t.entry_rate, t.entry_channels,
                     !found       ? ", under which that unit does not decode"
                     : either && !kSbrBuilt ? " (this build, without SBR, cannot tell whether the entry gives the output "
                                              "rate of HE-AAC, whose core would run at half of it)"
                                            : "");
}

void open_input(const Options& o, Input& in) {
    const std::string& name = o.input;
    in.file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!in.file) fail("cannot open %s", (name + ": " + std::strerror(errno)).c_str());
    struct stat st;
    if (fstat(fileno(in.file), &st) == 0 && S_ISREG(st.st_mode)) in.file_bytes = static_cast<uint64_t>(st.st_size);
    in.window = std::make_unique<StreamWindow>([&in, name](uint8_t* dst, size_t n) {
        const size_t got = std::fread(dst, 1, n, in.file);
        if (got == 0 && std::ferror(in.file)) fail("cannot read %s", name.c_str());
        in.read_bytes += got;
        return got;
    });
    StreamWindow& w = *in.window;
    w.has(1024);
    const bool mp4 = !o.raw && looks_like_mp4(w.at(0), w.end());
    // Containers whose payload could pass for ADTS go to libavformat first.
    const bool container = mp4 || (!o.raw && looks_like_container(w.at(0), w.end()));
    if (!container) {
        // The probe reads a bounded prefix, which the window keeps for the decoding.
        in.probe = o.raw ? Probe{Probe::Raw, o.rate, o.channels, 1, 0} : probe(w);
        if (o.raw) {
            const Probe adts = probe(w);
            if (adts.kind == Probe::Adts && adts.first_header == 0) {
                std::fprintf(stderr, "aacdec: warning: %s starts with an ADTS header; decoding it as ADTS, not as raw data blocks\n", name.c_str());
                in.probe = adts;
            }
        }
        in.transport = in.probe.name();
    }
    if (container || in.probe.kind == Probe::None) {
        // Not ADTS or ADIF: a container libavformat reads, if it is one.
        in.av = std::make_unique<AvReader>();
        AvReader& t = *in.av;
        // (The library's decoders are reopened where a LATM config changes;
        // pull mode and the plug-in keep theirs.)
        t.follow_configs = o.mode != "pull" && o.plugin.empty();
        std::string why;
        if (!t.open(in.file, std::vector<uint8_t>(w.at(0), w.at(0) + w.end()), o.track, o.verbose, why)) {
            if (mp4) fail("%s", (name + ": cannot decode this .m4a/.mp4 file: " + why).c_str());
            // The hint to --raw only where the input may be raw blocks: not
            // for a container recognised by its first bytes.
            if (t.container.empty() && container) fail("%s", (name + ": cannot decode this file: " + why).c_str());
            if (t.container.empty())
                fail("%s: no ADTS or ADIF stream found, nor a container libavformat reads (use --raw for raw data blocks)",
                     name.c_str());
            fail("%s", (name + ": cannot decode this " + t.container + " file: " + why).c_str());
        }
        in.window.reset();
        if (t.config_made) take_made_config(o, in);
        // HE-AAC signalled explicitly (5, 29) has an AAC-LC core, which the
        // library checks in the track's config.
        if (t.object_type != 2 && t.object_type != 5 && t.object_type != 29)
            fail("%s", (name + ": the decoder plays AAC-LC (audio object type 2) and HE-AAC over it; the track has object type " +
                        std::to_string(t.object_type))
                           .c_str());
        // Pull mode and the plug-in take the units as raw data blocks, with
        // the channel count alone: a program config element in the track's
        // config never reaches the decoder (its blocks were mapped onto no
        // layout, most of them concealed; the plug-in played none, and said
        // no more than that).
        if ((o.mode == "pull" || !o.plugin.empty()) && t.channels == 0 && !t.adts_units)
            fail("%s", (name + ": the track's channels are laid out by a program config element in its "
                               "AudioSpecificConfig, which " +
                        (o.plugin.empty() ? "pull mode cannot hand to the decoder; stream and frame mode play it"
                                          : "the plug-in cannot be handed; aacdec plays it without --plugin"))
                           .c_str());
        in.probe = Probe{Probe::Raw, t.rate, t.channels, t.object_type - 1, 0};
        if (t.adts_units) in.probe.kind = Probe::Adts;
        const std::string blocks = t.config_made ? " (raw data blocks, no AudioSpecificConfig)" : " (raw data blocks)";
        in.transport = t.is_mp4 ? "MP4" + blocks
                       : t.latm ? (t.container == "LOAS" ? std::string("LOAS/LATM") : t.container + " (LOAS/LATM)")
                                : t.container + (t.adts_units ? " (ADTS frames)" : blocks);
        // --start: back to a unit before it, as many before as the decoder
        // needs to settle (one for the overlap; more where SBR may play).
        if (o.start > 0 && t.rate) {
            const int64_t frame = static_cast<int64_t>(1024.0 * t.tb_den / (static_cast<double>(t.tb_num) * t.rate));
            const int64_t target = static_cast<int64_t>(o.start * t.tb_den / t.tb_num) + (t.first_pts > 0 ? t.first_pts : 0) -
                                   preroll_frames(o, t.rate) * frame;
            if (target > t.first_pts) t.seek(target);
        }
    }
    // Pull mode's instance takes frames of every legal length, the plug-in's
    // static one frames up to 1536 bytes.
    const uint32_t frame_limit = o.mode == "pull" ? kAdtsLengthLimit : kShortFifoFrameBytes;
    in.pad = end_padding(in.probe, in.window ? in.window->at(0) : nullptr, in.window ? in.window->end() : 0, frame_limit);
    in.pad_limit = frame_limit;
    if (o.start > 0 && !in.av && in.probe.kind == Probe::Adts) {
        // --start: blocks counted from the first (a frame holds one to
        // four), the decode begins at the frame that holds the block as
        // many before the one with --start as the decoder needs to settle;
        // the window forgets the frames passed. A stream that ends before
        // it gives nothing. A layout set by a program config element is
        // decoded from the start: the element may come in the first frame
        // only.
        // (Seconds, each frame at its own rate: a stream that changes rate
        // on the way is entered at the time asked for.)
        if (in.probe.channels != 0) {
            AdtsSplitter frames(w, false, in.probe.start);
            Span f{};
            double seconds = 0;
            size_t end = in.probe.start;
            bool found = false;
            while (frames.next(f)) {
                const uint32_t rate = rate_of_index(frames.header().sampling_frequency_index);
                const double block = 1024.0 / rate;
                const double length = (frames.header().number_of_raw_data_blocks_in_frame + 1) * block;
                if (seconds + length > o.start - static_cast<double>(preroll_frames(o, rate)) * block) {
                    found = true;
                    break;
                }
                seconds += length;
                end = f.offset + f.size;
                w.drop_before(end);
            }
            in.probe.start = found ? f.offset : end;
            in.first_seconds = seconds;
        }
    }
    const Probe& p = in.probe;
    if (rate_index(p.rate) < 0) fail("unsupported sample rate %s", (std::to_string(p.rate) + " Hz").c_str());
    const uint32_t channels = p.kind == Probe::Adif ? p.channels : config_channels(p.channels);
    // More channels play as a stereo downmix in the exact arithmetic.
    if (channels > 2 && (!kExactArithmetic || !(o.downmix || o.native)))
        fail("%s", (name + ": the decoder plays one or two front channels; the stream has " + std::to_string(channels) +
                    (p.kind == Probe::Adif ? " front channels" : " channels (channel configuration " + std::to_string(p.channels) + ")"))
                       .c_str());
}

Result run(const Options& o, Input& in, Output& out) {
    if (o.mode == "pull") return run_pull(o, in, out);
    if (!o.plugin.empty()) return run_plugin(o, in, out);
    if (!in.av && in.probe.kind == Probe::Raw) return run_raw_stream(o, in, out);
    return run_library(o, in, out);
}

// The object type by name: AAC-LC, HE-AAC (SBR), HE-AAC v2 (SBR and PS).
std::string object_type_name(uint32_t object_type, bool sbr, bool ps) {
    if (sbr || object_type == 5 || object_type == 29) return ps || object_type == 29 ? "HE-AAC v2" : "HE-AAC";
    switch (object_type) {
    case 1: return "AAC Main";
    case 2: return "AAC-LC";
    case 3: return "AAC SSR";
    case 4: return "AAC LTP";
    default: return "audio object type " + std::to_string(object_type);
    }
}

// The channels a stream's layout has, as --info and the run's header say
// them: an ADIF program's all (its LFEs too), or a channel configuration's.
uint32_t layout_channels(const Probe& p) {
    return p.kind == Probe::Adif ? p.program_channels : config_channels(p.channels);
}

// Where the content lies in the decoded PCM, in samples per channel at the
// output rate counted from the first sample decoded: after the encoder's
// priming (and the decoder's delay), up to where its padding begins.
// No end known (the end of the decoded PCM). (Not -1: after a seek the
// content's end may lie before the first sample decoded.)
constexpr int64_t kNoEnd = INT64_MIN;

struct Content {
    int64_t lo = 0;
    int64_t hi = kNoEnd;
    int64_t priming = 0;           // what the container says, without the decoder's delay
    int64_t delay = 0;             // the decoder's delay, counted in lo and hi
    const char* source = nullptr;  // where the figures come from (null: nowhere)
};

Content content(const Options& o, const Input& in, uint32_t rate, int64_t delay) {
    Content c;
    const uint32_t core = in.probe.rate ? in.probe.rate : rate;
    if (!in.av) {
        // The blocks of the ADTS frames skipped to begin at --start.
        c.lo = -std::llround(in.first_seconds * rate);
        return c;
    }
    const AvReader& t = *in.av;
    // Time base units to output samples, rounded to nearest.
    // (Whole periods of the denominator first: no product overflows for any
    // time base, and 32-bit targets have no 128-bit integers.)
    auto samples = [&](int64_t ts) {
        const uint64_t num = uint64_t{rate} * t.tb_num, den = t.tb_den ? t.tb_den : 1;
        const uint64_t a = ts < 0 ? 0 - static_cast<uint64_t>(ts) : static_cast<uint64_t>(ts);
        const uint64_t v = a / den * num + (a % den * num + den / 2) / den;
        return ts < 0 ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    };
    int64_t first = samples(t.first_pts - t.start_pts);  // the file's first unit
    if (uint64_t{rate} * t.tb_num > t.tb_den) {
        // Times coarser than a sample (Matroska's milliseconds): the units
        // lie whole blocks apart.
        const int64_t block = 1024 * static_cast<int64_t>(rate) / core;
        first = (first + (first < 0 ? -block : block) / 2) / block * block;
    }
    // (Without the library's figure: its figures for SBR at twice the core
    // rate, and at the core rate where the track's configuration says SBR
    // and it plays downsampled, as asked or as the configuration says.)
    const bool down = t.sbr_signalled && o.sbr != ZORAAC_SBR_OFF &&
                      (o.sbr == ZORAAC_SBR_DOWNSAMPLED || (t.sbr_signalled & 3) == 2);
    if (delay < 0) delay = rate == 2 * core ? 962 : down && rate == core ? 481 : 0;
    c.lo = first;
    if (!o.gapless) return c;
    if (t.has_skip || t.first_pts < 0) {
        c.priming = t.has_skip ? t.skip * rate / (t.track_rate ? t.track_rate : rate) : samples(-t.first_pts);
        c.lo = first + c.priming;
        c.source = t.is_mp4 ? "edit list" : "skip samples";
        if (t.is_mp4 || t.discards) c.hi = samples(t.end_pts - t.start_pts);
    } else if (t.smpb) {
        c.priming = static_cast<int64_t>(t.smpb_priming);
        c.lo = first + c.priming;
        c.hi = c.lo + static_cast<int64_t>(t.smpb_length);
        c.source = "iTunSMPB";
    }
    if (c.source) {
        // The figures count the encoder's delay; the decoder's (SBR) comes on top.
        c.delay = delay;
        c.lo += delay;
        if (c.hi != kNoEnd) c.hi += delay;
    }
    return c;
}

// The samples written: the content, from --skip and --start on, for
// --duration (--trim is held back at the end by the output).
KeepFn keep_fn(const Options& o, const Input& in) {
    return [&o, &in](uint32_t rate, int64_t delay) {
        const Content c = content(o, in, rate, delay);
        const int64_t lo = c.lo + static_cast<int64_t>(o.skip) + std::llround(o.start * rate);
        Keep k;
        k.lo = lo > 0 ? static_cast<uint64_t>(lo) : 0;
        if (c.hi != kNoEnd) k.hi = static_cast<uint64_t>(std::max<int64_t>(c.hi, 0));
        if (o.duration >= 0) {
            // With --trim the samples held back come after the duration.
            k.last = k.lo + static_cast<uint64_t>(std::llround(o.duration * rate)) + o.trim;
            k.hi = std::min(k.hi, k.last);
        }
        return k;
    };
}

// `frames`, `blocks`: the frames (access units) and the blocks they hold;
// `seconds`: the duration when the frames say it (streams spliced at other
// rates), else 0; `changes`: where the rate changes, said after the first.
// `sbr_rate`: the output rate of an HE-AAC stream played with SBR (0: none);
// `ps`: it plays parametric stereo (HE-AAC v2); `delay`: the decoder's delay
// in output samples.
void print_info(const Options& o, const Input& in, uint64_t frames, uint64_t blocks, uint32_t sbr_rate, bool ps,
                uint32_t delay, double seconds = 0, const std::string& changes = "") {
    const Probe& p = in.probe;
    if (seconds <= 0) seconds = static_cast<double>(blocks) * 1024.0 / p.rate;
    std::printf("transport: %s\n", in.transport.c_str());
    if (sbr_rate)
        std::printf("rate:      %u Hz core, %u Hz output (%s)%s\n", p.rate, sbr_rate,
                    ps ? "HE-AAC v2, SBR and PS" : "HE-AAC, SBR", changes.c_str());
    else
        std::printf("rate:      %u Hz%s\n", p.rate, changes.c_str());
    if (p.channels && sbr_rate && ps)
        std::printf("channels:  %u (parametric stereo: 2 out)\n", layout_channels(p));
    else if (p.channels)
        std::printf("channels:  %u\n", layout_channels(p));
    else
        std::printf("channels:  set by a program config element in the stream\n");
    std::printf("profile:   %s\n", object_type_name(p.profile + 1, sbr_rate != 0, ps).c_str());
    std::printf("frames:    %llu", static_cast<unsigned long long>(frames));
    if (blocks != frames) std::printf(" (%llu blocks)", static_cast<unsigned long long>(blocks));
    std::printf("\n");
    // The samples a decode writes: the content after what the container
    // says of priming and padding, --skip, --trim, --start, --duration.
    const uint32_t rate = sbr_rate ? sbr_rate : p.rate;
    const int64_t total = changes.empty() ? static_cast<int64_t>(blocks * 1024 * rate / p.rate) : -1;
    if (total >= 0) {
        // The container's figures, also where --no-gapless keeps what they trim.
        Options gapless = o;
        gapless.gapless = true;
        const Content c = content(gapless, in, rate, delay);
        const Keep k = keep_fn(o, in)(rate, delay);
        const int64_t end = std::min<int64_t>(total, k.hi > static_cast<uint64_t>(total) ? total : static_cast<int64_t>(k.hi));
        const int64_t kept = std::max<int64_t>(end - static_cast<int64_t>(k.lo) - static_cast<int64_t>(o.trim), 0);
        std::printf("duration:  %.3f s (%lld samples at %u Hz)\n", static_cast<double>(kept) / rate,
                    static_cast<long long>(kept), rate);
        if (c.source) {
            std::printf("priming:   %lld samples (%s%s)\n", static_cast<long long>(c.priming), c.source,
                        o.gapless ? "" : "; kept with --no-gapless");
            // (Figures past the stream's end, an edit list beyond it say:
            // no padding, rather than a negative count of it.)
            const int64_t padding = c.hi != kNoEnd ? total - c.priming - (c.hi - c.lo) : -1;
            if (padding >= 0)
                std::printf("padding:   %lld samples\n", static_cast<long long>(padding));
            else if (c.hi != kNoEnd)
                std::printf("padding:   none\n");
        } else if (in.av) {
            std::printf("priming:   none given by the container (every sample decoded is written)\n");
        }
        if (o.gapless && c.source && c.hi > total && c.hi - total <= c.delay)
            std::printf("note:      the last %lld samples are lost to the decoder's delay\n",
                        static_cast<long long>(c.hi - total));
        else if (o.gapless && c.source && c.hi > total)
            std::printf("note:      the container's figures run %lld samples past the decoded PCM\n",
                        static_cast<long long>(c.hi - total));
    } else {
        std::printf("duration:  %.3f s\n", seconds);
    }
    if (delay)
        std::printf("delay:     %u samples%s\n", delay,
                    in.av && o.gapless && content(o, in, sbr_rate ? sbr_rate : p.rate, delay).source ? " (trimmed with the priming)" : "");
    std::printf("bit rate:  %.1f kbit/s\n",
                seconds > 0 ? static_cast<double>(in.stream_bytes()) * 8.0 / seconds / 1000.0 : 0.0);
    if (in.av)
        for (const auto& [key, value] : in.av->tags) std::printf("%-10s %s\n", (key + ":").c_str(), value.c_str());
}

// The most PCM bytes the input can give, for the WAV header's room for a
// size past 4 GiB: a block of 2048 samples per 8 input bytes at most (the
// shortest frames of silence take about that), so a 16-bit stereo file
// gets the room from 4 MiB of input on.
uint64_t output_bound(const Options& o, const Input& in) {
    if (!in.file_bytes) return 0;
    const uint64_t channels = o.native ? 8 : 2;
    return in.file_bytes / 8 * 2048 * channels * sample_bytes(o.sample);
}

int decode_file(Options o) {
    // An output that is the input itself (the same name, or a link to it)
    // would be written over while it is read.
    if (struct stat a, b; o.input != "-" && stat(o.input.c_str(), &a) == 0 && stat(o.output.c_str(), &b) == 0 &&
                          a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        fail("%s is the input", o.output.c_str());
    Input input;
    open_input(o, input);
    const Probe& p = input.probe;
    // Container access units go to the plug-in one per call unless a mode is asked for.
    if (!o.mode_given && input.av && !o.plugin.empty()) o.mode = "frame";
    if (o.mode == "frame" && !input.framed()) fail("frame mode needs an ADTS stream or a container's access units");
    // The decoder's bits below the 16-bit LSB come through the library alone.
    const bool library = o.mode != "pull" && o.plugin.empty() && (input.av || p.kind != Probe::Raw);
    if (o.sample != SampleFormat::S16 && !o.info && (!kExactArithmetic || !library))
        std::fprintf(stderr, "aacdec: warning: %s; the %s output carries no bits below the 16-bit LSB\n",
                     !kExactArithmetic ? "the compact arithmetic computes 16-bit samples"
                                       : "this mode gives 16-bit samples",
                     o.sample == SampleFormat::F32 ? "float" : o.sample == SampleFormat::S24 ? "24-bit" : "32-bit");

    // Frame counts come from the transport; ADIF and raw streams are decoded
    // (into nothing) to count their blocks.
    Output out(o, p.rate, output_bound(o, input));
    out.set_keep(keep_fn(o, input));
    if (o.info && input.framed()) {
        Frames frames(input);
        const uint8_t* data;
        size_t n;
        uint64_t count = 0, blocks = 0;
        double seconds = 0;
        uint32_t rate = p.rate;
        std::string changes;
        int listed = 0;  // the first eight changes are listed
        SbrProbe sbr(o, input);
        while (frames.next(data, n)) {
            sbr.feed(data, n);
            ++count;
            // (A LOAS stream's config changes give it new rates too.)
            const uint32_t r = frames.rate() ? frames.rate() : input.av && input.av->rate ? input.av->rate : p.rate;
            if (r != rate && ++listed <= 8)
                changes += (changes.empty() ? " (" : ", ") + std::to_string(r) + " Hz from frame " +
                           std::to_string(count);
            else if (r != rate && listed == 9)
                changes += ", ...";
            rate = r;
            seconds += 1024.0 * frames.blocks() / r;
            blocks += frames.blocks();
        }
        if (!changes.empty()) changes += ")";
        // The whole file has been read: its size is what the bit rate counts.
        sbr.feed(nullptr, 0);
        print_info(o, input, count, blocks, sbr.rate(), sbr.rate() && sbr.ps(), sbr.delay(), seconds, changes);
        return 0;
    }
    if (o.info) o.quiet = true;
    const Result r = run(o, input, out);
    if (o.info) {
        print_info(o, input, r.blocks, r.blocks, o.sbr == ZORAAC_SBR_FULL && out.rate() == 2 * p.rate ? out.rate() : 0, r.ps,
                   r.delay);
        return 0;
    }
    if (r.blocks == 0 && input.av && !input.av->stop_error.empty())
        fail("%s", (o.input + ": " + input.av->stop_error).c_str());
    if (r.blocks == 0) fail("no audio block could be decoded from %s", o.input.c_str());
    // A start past the end of a container's content: nothing to write,
    // refused as a stream whose frames all lie before it is (an empty file
    // came of it, exit status 0).
    if (o.start > 0 && o.duration != 0 && o.trim == 0 && out.samples() == 0 && input.av)
        fail("%s", (o.input + ": --start lies past the end of the stream; nothing to write").c_str());
    out.finish();
    // LOAS frames lost to damage (concealed where the library had a block
    // to conceal from, counted as dropped before it and through the
    // plug-in); a stream that turned to a form not read ends the decode
    // there.
    const uint64_t latm_damaged = input.av ? input.av->latm_damaged() : 0;
    if (latm_damaged && !o.quiet)
        std::fprintf(stderr, "aacdec: %s: %llu LOAS frame%s lost to damage\n", o.input.c_str(),
                     static_cast<unsigned long long>(latm_damaged), latm_damaged == 1 ? "" : "s");
    // Access units missing from a container's timeline (concealed as the
    // LOAS frames are), and jumps in it too long to fill.
    const uint64_t missing = input.av ? input.av->missing_units : 0;
    if (missing && !o.quiet)
        std::fprintf(stderr, "aacdec: %s: %llu access unit%s missing from the track's timeline\n", o.input.c_str(),
                     static_cast<unsigned long long>(missing), missing == 1 ? "" : "s");
    const uint64_t jumps = input.av ? input.av->timeline_jumps : 0;
    if (jumps && !o.quiet)
        std::fprintf(stderr, "aacdec: %s: the track's timeline jumps ahead %llu time%s by more than %lld units, "
                     "left as it is\n", o.input.c_str(), static_cast<unsigned long long>(jumps), jumps == 1 ? "" : "s",
                     static_cast<long long>(AvReader::kMaxGapUnits));
    // (Said, not counted as damage: a broadcast's programme turning from
    // stereo to 5.1 is no fault.)
    const uint64_t changes = input.av ? input.av->config_changes : 0;
    if (changes && !o.quiet)
        std::fprintf(stderr, "aacdec: %s: the LATM stream's AudioSpecificConfig changes %llu time%s; the decode follows it\n",
                     o.input.c_str(), static_cast<unsigned long long>(changes), changes == 1 ? "" : "s");
    // (Said, not counted as damage: a stream entered between two configs
    // starts at the next, as a radio tuned in does.)
    const uint64_t latm_unconfigured = input.av ? input.av->latm_unconfigured() : 0;
    if (latm_unconfigured && !o.quiet)
        std::fprintf(stderr, "aacdec: %s: %llu LOAS frame%s before the first StreamMuxConfig passed over\n",
                     o.input.c_str(), static_cast<unsigned long long>(latm_unconfigured),
                     latm_unconfigured == 1 ? "" : "s");
    if (input.av && !input.av->stop_error.empty()) {
        std::fprintf(stderr, "aacdec: %s: the decode stops after %llu blocks: %s\n", o.input.c_str(),
                     static_cast<unsigned long long>(r.blocks), input.av->stop_error.c_str());
        return 1;
    }

    const uint64_t expected = r.frames;
    // Blocks that stand in for failed ones, input that gave nothing, frames
    // without a block: with --strict the run says so in its exit status.
    const bool damaged =
        r.concealed || r.dropped || r.skipped || latm_damaged || missing || jumps || (expected && r.blocks < expected);
    const bool sbr = r.sbr || (o.sbr == ZORAAC_SBR_FULL && out.rate() == 2 * p.rate);
    const std::string type = object_type_name(p.profile + 1, sbr, r.ps);
    std::string losses;
    auto count = [&](bool known, uint64_t n, const char* what) {
        if (!known) return;
        losses += (losses.empty() ? " (" : ", ") + std::to_string(n) + what;
    };
    count(r.knows_concealed, r.concealed, " concealed");
    count(r.dropped > 0, r.dropped, " dropped");
    count(r.skipped > 0, r.skipped, r.skipped == 1 ? " stretch skipped" : " stretches skipped");
    if (!losses.empty()) losses += ")";
    if (o.summary) {
        // One line per input.
        std::fprintf(stderr, "aacdec: %s -> %s: %s, %s, %u Hz, %u channel%s, %.3f s, %llu blocks%s%s\n", o.input.c_str(),
                     o.output.c_str(), input.transport.c_str(), type.c_str(), out.rate(), out.channels(),
                     out.channels() == 1 ? "" : "s", out.seconds(),
                     static_cast<unsigned long long>(r.blocks), losses.c_str(),
                     expected && r.blocks < expected ? (", of " + std::to_string(expected) + " frames").c_str() : "");
    } else if (!o.quiet) {
        const uint32_t n = layout_channels(p);
        const std::string layout = !n ? "channels by program config element"
                                      : std::to_string(n) + (n == 1 ? " channel" : " channels");
        std::fprintf(stderr, "aacdec: %s, %s, %u Hz, %s, %s, %s arithmetic\n", o.input.c_str(),
                     input.transport.c_str(), p.rate, layout.c_str(), type.c_str(), AAC_ARITHMETIC_NAME);
        std::fprintf(stderr, "aacdec: %llu blocks decoded%s", static_cast<unsigned long long>(r.blocks), losses.c_str());
        if (expected) std::fprintf(stderr, " of %llu frames", static_cast<unsigned long long>(expected));
        std::fprintf(stderr, ", %llu samples per channel (%.3f s), %llu bytes of PCM\n",
                     static_cast<unsigned long long>(out.samples()), out.seconds(),
                     static_cast<unsigned long long>(out.bytes()));
        if (r.coupling_skipped)
            std::fprintf(stderr, "aacdec: coupling channel elements read and not played: their signal is missing\n");
        if (r.sbr_core_only)
            std::fprintf(stderr, "aacdec: the HE-AAC layout played its AAC-LC core: no SBR room for its channels\n");
        if (r.have_status)
            std::fprintf(stderr, "aacdec: status: %u Hz, %u channels, bit rate %u, profile %u, errors %u, last error %u, "
                         "%u blocks concealed\n",
                         r.status.sampleRate, r.status.numChannels, r.status.bitRate, r.status.profile,
                         r.status.errorCount, r.status.lastError, r.status.concealedCount);
        else if (expected && r.blocks < expected)
            std::fprintf(stderr, "aacdec: %llu frames could not be decoded\n",
                         static_cast<unsigned long long>(expected - r.blocks));
    }
    return o.strict && damaged ? 2 : 0;
}

// -o DIR: DIR/NAME.wav for every input (its name without directory and
// extension), each decoded in a process of its own so that one input's
// failure ends only its own decode. The exit status is the worst: 1 (a
// failure) over 2 (damage with --strict) over 0.
// Two inputs of one name (from two directories) are refused before anything
// is written: the second would write over the first's output.
int decode_all(const Options& o) {
    std::vector<Options> runs;
    for (const std::string& input : o.inputs) {
        Options one = o;
        one.input = input;
        one.summary = !o.quiet;
        one.quiet = true;
        std::string base = input == "-" ? "stdin" : input.substr(input.rfind('/') + 1);
        const size_t dot = base.rfind('.');
        if (dot != std::string::npos && dot > 0) base.resize(dot);
        one.format = o.format.empty() ? "wav" : o.format;
        one.output = o.outdir + "/" + base + (one.format == "wav" ? ".wav" : ".raw");
        // (With --split an input's parts take NAME-2, NAME-3, ...: another
        // input of such a name collides with them.)
        auto part_of = [&o](const std::string& a, const std::string& b) {
            const size_t at = a.rfind('.');
            if (at == std::string::npos) return false;
            const std::string stem = a.substr(0, at), ext = a.substr(at);
            if (!o.split || b.size() <= a.size() + 1 || b.compare(0, stem.size() + 1, stem + "-") != 0 ||
                b.compare(b.size() - ext.size(), ext.size(), ext) != 0)
                return false;
            const std::string n = b.substr(stem.size() + 1, b.size() - stem.size() - 1 - ext.size());
            return !n.empty() && n.find_first_not_of("0123456789") == std::string::npos;
        };
        for (const Options& other : runs) {
            if (other.output != one.output && !part_of(other.output, one.output) && !part_of(one.output, other.output))
                continue;
            std::fprintf(stderr, "aacdec: %s and %s would both be written to %s%s\n", other.input.c_str(),
                         input.c_str(), other.output == one.output ? "" : "parts of ", one.output.c_str());
            return 2;
        }
        runs.push_back(one);
    }
    int worst = 0;
    for (const Options& one : runs) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid < 0) fail("cannot start a decode: %s", std::strerror(errno));
        if (pid == 0) std::exit(decode_file(one));
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        if (code == 1 || (code == 2 && worst == 0)) worst = code;
    }
    return worst;
}

}  // namespace

int main(int argc, char** argv) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, remove_partial_output);
    const Options o = parse_args(argc, argv);
    if (!o.outdir.empty() && !o.info) {
        struct stat st;
        if (stat(o.outdir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail("%s is not a directory", o.outdir.c_str());
        return decode_all(o);
    }
    return decode_file(o);
}
