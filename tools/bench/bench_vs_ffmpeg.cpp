// bench_vs_ffmpeg: decode-only speed of this decoder against FFmpeg's
// libavcodec on the same ADTS stream, both decoding frames already in
// memory, neither writing anything.
//
//   ours    libzoraac (include/zoraac.h), 16-bit interleaved stereo out.
//           "au" (the default): each ADTS frame's payload as one access
//           unit under the AudioSpecificConfig its header gives, one
//           zoraac_decode call per frame; "stream": the whole stream as a
//           byte stream (AUTO transport), the calls until a block comes out
//           counting as that block's frame.
//   ffmpeg  libavcodec's float decoder "aac", one packet per ADTS frame
//           (header included, as its ADTS demuxer hands them over; packets
//           reference-counted, made before the clock starts), then its planar
//           float output converted to interleaved 16-bit by libswresample
//           (swr_convert at the same rate: the conversion the ffmpeg command
//           line makes for s16 output), counted on FFmpeg's side since our
//           decoder's output already is 16-bit.
//
// Each side decodes a frame in one function of its own, bench_ours_frame and
// bench_ffmpeg_frame, so that callgrind counts the decoding calls alone
// (--collect-atstart=no --toggle-collect=bench_ours_frame): with --count SIDE
// [PASSES] only that side decodes, PASSES times (default 1) with one
// decoder, the stream going on from its start again (a byte stream after a
// zoraac_flush). A counter of the whole process (qemu-arm's) takes the
// difference of two passes and one: the decoding calls, without set-up.
//
// --ffmpeg-no-simd: FFmpeg with its CPU flags forced to none (plain C), to
// see what its SIMD does.
//
// Without --count: a first pass of each side checks that they decode the same
// number of frames and prints the largest difference between their samples;
// then ROUNDS interleaved rounds (ours, FFmpeg, ours, FFmpeg, ...) each
// decode the whole stream with a fresh decoder, every frame timed. Printed
// per side, in microseconds per frame:
//   pass     a whole round's time over its frames, median over the rounds
//   median   the median frame: each frame's median over the rounds, the
//            median of those
//   fastest  each frame's fastest over the rounds, summed, over the frames
//   worst    the slowest of the frames' fastest times but the first, its
//            ratio to their median and its frame (the fastest of each frame,
//            so that a round preempted by another process does not show as a
//            slow frame)
//   first    the first frame's fastest: a fresh decoder's first frame, after
//            the other decoder's round had the caches
// and the ratio ours/FFmpeg of each.
//
// usage: bench_vs_ffmpeg [--ours au|stream] [--ffmpeg-no-simd] STREAM [ROUNDS]
//        bench_vs_ffmpeg [--ours au|stream] [--ffmpeg-no-simd] --count ours|ffmpeg STREAM [PASSES]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <zoraac.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace {

struct Frame {
    size_t offset, size;  // the whole ADTS frame
    size_t header;        // its header bytes (7, or 9 with a CRC word)
};

// ADTS frames in order; stops at the first byte that does not start one.
std::vector<Frame> split_frames(const std::vector<uint8_t>& s) {
    std::vector<Frame> frames;
    size_t at = 0;
    while (at + 7 <= s.size() && s[at] == 0xFF && (s[at + 1] & 0xF6) == 0xF0) {
        const size_t length = static_cast<size_t>(s[at + 3] & 3) << 11 | static_cast<size_t>(s[at + 4]) << 3 |
                              static_cast<size_t>(s[at + 5]) >> 5;
        const size_t header = (s[at + 1] & 1) ? 7 : 9;
        if (length <= header || at + length > s.size()) break;
        if ((s[at + 6] & 3) != 0) {
            std::fprintf(stderr, "bench_vs_ffmpeg: a frame of more than one block at byte %zu\n", at);
            return {};
        }
        frames.push_back({at, length, header});
        at += length;
    }
    return frames;
}

std::vector<uint8_t> read_file(const char* path) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path, "rb");
    if (!f) return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Our decoder through the library interface, in memory of its own.
struct Ours {
    bool units = true;
    const std::vector<uint8_t>* stream = nullptr;
    const std::vector<Frame>* frames = nullptr;
    uint8_t asc[2] = {};
    zoraac_params params{};
    std::vector<std::unique_ptr<void, FreeDeleter>> memory;
    zoraac_decoder* dec = nullptr;
    size_t at = 0;  // stream mode: the next byte to hand over
    alignas(16) int16_t pcm[8192];

    bool open() {
        close();
        zoraac_params_init(&params);
        if (units) {
            params.transport = ZORAAC_TRANSPORT_ASC;
            params.asc = asc;
            params.asc_size = sizeof asc;
        }
        zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
        const int n = zoraac_query_memory(&params, rec);
        if (n < 0) return false;
        std::vector<void*> block(static_cast<size_t>(n));
        memory.clear();
        for (int i = 0; i < n; ++i) {
            const size_t align = std::max<size_t>(rec[i].alignment, 16);
            void* p = std::aligned_alloc(align, (rec[i].size + align - 1) / align * align);
            if (!p) return false;
            std::memset(p, 0, rec[i].size);
            memory.emplace_back(p);
            block[static_cast<size_t>(i)] = p;
        }
        dec = zoraac_open(&params, block.data());
        at = 0;
        return dec != nullptr && zoraac_frame_bytes(&params) <= sizeof pcm;
    }
    void close() {
        if (dec) zoraac_close(dec);
        dec = nullptr;
    }
    ~Ours() { close(); }
};

// FFmpeg's decoder and the conversion of its output.
struct Theirs {
    const AVCodec* codec = nullptr;
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    int rate = 0, channels = 0;
    std::vector<AVPacket*> packets;
    alignas(16) int16_t pcm[8192];

    bool open() {
        close();
        ctx = avcodec_alloc_context3(codec);
        if (!ctx) return false;
        ctx->thread_count = 1;
        if (avcodec_open2(ctx, codec, nullptr) < 0) return false;
        frame = av_frame_alloc();
        AVChannelLayout layout;
        av_channel_layout_default(&layout, channels);
        if (swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, rate, &layout, AV_SAMPLE_FMT_FLTP, rate, 0,
                                nullptr) < 0 ||
            swr_init(swr) < 0)
            return false;
        return frame != nullptr;
    }
    void close() {
        if (ctx) avcodec_free_context(&ctx);
        if (frame) av_frame_free(&frame);
        if (swr) swr_free(&swr);
    }
    ~Theirs() {
        close();
        for (AVPacket*& p : packets) av_packet_free(&p);
    }
};

}  // namespace

// One frame each; the number of blocks of PCM it gave (0 or 1). Out of line
// and unmangled: callgrind's --toggle-collect names them.
extern "C" __attribute__((noinline)) int bench_ours_frame(Ours* o, size_t i) {
    zoraac_frame f;
    size_t used = 0;
    if (o->units) {
        const Frame& fr = (*o->frames)[i];
        const int s = zoraac_decode(o->dec, o->stream->data() + fr.offset + fr.header, fr.size - fr.header, &used,
                                    o->pcm, sizeof o->pcm, &f);
        return s >= 0 && f.bytes ? 1 : 0;
    }
    // A byte stream: calls until a block comes out (the end of input when
    // all is taken).
    for (;;) {
        const size_t left = o->stream->size() - o->at;
        const int s = zoraac_decode(o->dec, o->stream->data() + o->at, left, &used, o->pcm, sizeof o->pcm, &f);
        o->at += used;
        if (s < 0) return 0;
        if (f.bytes) return 1;
        if (s == ZORAAC_NEED_MORE_INPUT && left == 0) return 0;
    }
}

extern "C" __attribute__((noinline)) int bench_ffmpeg_frame(Theirs* t, size_t i) {
    if (avcodec_send_packet(t->ctx, t->packets[i]) < 0) return 0;
    int blocks = 0;
    while (avcodec_receive_frame(t->ctx, t->frame) == 0) {
        uint8_t* out = reinterpret_cast<uint8_t*>(t->pcm);
        const int n = t->frame->nb_samples;
        if (n * t->channels > static_cast<int>(sizeof t->pcm / sizeof t->pcm[0])) return blocks;
        if (swr_convert(t->swr, &out, n, const_cast<const uint8_t**>(t->frame->extended_data), n) == n) ++blocks;
    }
    return blocks;
}

namespace {

using Clock = std::chrono::steady_clock;

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// One side's frame times, round by round.
struct Timings {
    std::vector<std::vector<double>> rounds;  // [round][frame] us
    std::vector<double> pass_us;              // each round's whole time over its frames
};

// One timed round: the frame times of a whole pass, and the blocks it gave.
template <typename Side, typename Fn>
size_t timed_round(Side& side, size_t frames, Fn fn, Timings& t) {
    std::vector<double> us(frames);
    size_t blocks = 0;
    const auto t0 = Clock::now();
    auto prev = t0;
    for (size_t i = 0; i < frames; ++i) {
        blocks += static_cast<size_t>(fn(&side, i));
        const auto now = Clock::now();
        us[i] = std::chrono::duration<double, std::micro>(now - prev).count();
        prev = now;
    }
    t.pass_us.push_back(std::chrono::duration<double, std::micro>(prev - t0).count() / static_cast<double>(frames));
    t.rounds.push_back(std::move(us));
    return blocks;
}

struct Summary {
    double pass, median, fastest, worst, worst_ratio, first;
    size_t worst_frame;
};

Summary summarise(const Timings& t) {
    const size_t frames = t.rounds.front().size();
    std::vector<double> med(frames), best(frames);
    double sum = 0;
    for (size_t i = 0; i < frames; ++i) {
        std::vector<double> v;
        for (const auto& r : t.rounds) v.push_back(r[i]);
        med[i] = median_of(v);
        best[i] = *std::min_element(v.begin(), v.end());
        sum += best[i];
    }
    Summary s{};
    s.pass = median_of(t.pass_us);
    s.median = median_of(med);
    s.fastest = sum / static_cast<double>(frames);
    const size_t from = frames > 1 ? 1 : 0;
    s.worst_frame = static_cast<size_t>(std::max_element(best.begin() + static_cast<long>(from), best.end()) -
                                        best.begin());
    s.worst = best[s.worst_frame];
    s.worst_ratio = s.worst / median_of(best);
    s.first = best[0];
    return s;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_vs_ffmpeg [--ours au|stream] [--ffmpeg-no-simd] STREAM [ROUNDS]\n"
                 "       bench_vs_ffmpeg [--ours au|stream] [--ffmpeg-no-simd] --count ours|ffmpeg STREAM "
                 "[PASSES]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool units = true;
    std::string count;
    for (size_t k = 0; k + 1 < args.size();) {
        if (args[k] == "--ffmpeg-no-simd") {
            av_force_cpu_flags(0);
            args.erase(args.begin() + static_cast<long>(k));
            continue;
        }
        if (args[k] == "--ours") {
            if (args[k + 1] != "au" && args[k + 1] != "stream") return usage();
            units = args[k + 1] == "au";
        } else if (args[k] == "--count") {
            if (args[k + 1] != "ours" && args[k + 1] != "ffmpeg") return usage();
            count = args[k + 1];
        } else {
            break;
        }
        args.erase(args.begin() + static_cast<long>(k), args.begin() + static_cast<long>(k) + 2);
    }
    if (args.empty() || args.size() > 2) return usage();
    const std::vector<uint8_t> stream = read_file(args[0].c_str());
    const std::vector<Frame> frames = split_frames(stream);
    if (frames.empty()) {
        std::fprintf(stderr, "bench_vs_ffmpeg: no ADTS frames in %s\n", args[0].c_str());
        return 1;
    }
    const int repeat = args.size() > 1 ? std::atoi(args[1].c_str()) : count.empty() ? 11 : 1;
    if (repeat < 1) return usage();
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    const uint8_t* h = stream.data() + frames[0].offset;
    const unsigned object = (h[2] >> 6) + 1u, rate_index = (h[2] >> 2) & 15u,
                   channels = (h[2] & 1u) << 2 | h[3] >> 6;
    if (rate_index >= 12 || channels < 1 || channels > 2) {
        std::fprintf(stderr, "bench_vs_ffmpeg: %s is not mono or stereo at a listed rate\n", args[0].c_str());
        return 1;
    }

    Ours ours;
    ours.units = units;
    ours.stream = &stream;
    ours.frames = &frames;
    // AudioSpecificConfig: object type, rate index, channel configuration,
    // then three zero flags (1024-sample frames, no core coder, no extension).
    ours.asc[0] = static_cast<uint8_t>(object << 3 | rate_index >> 1);
    ours.asc[1] = static_cast<uint8_t>((rate_index & 1u) << 7 | channels << 3);

    Theirs theirs;
    theirs.codec = avcodec_find_decoder_by_name("aac");
    theirs.rate = kRates[rate_index];
    theirs.channels = static_cast<int>(channels);
    if (!theirs.codec) {
        std::fprintf(stderr, "bench_vs_ffmpeg: libavcodec has no \"aac\" decoder\n");
        return 1;
    }
    for (const Frame& f : frames) {
        AVPacket* p = av_packet_alloc();
        if (!p || av_new_packet(p, static_cast<int>(f.size)) < 0) return 1;
        std::memcpy(p->data, stream.data() + f.offset, f.size);
        theirs.packets.push_back(p);
    }
    const size_t n = frames.size();

    if (!count.empty()) {
        size_t blocks = 0;
        if (count == "ours" ? !ours.open() : !theirs.open()) return 1;
        for (int r = 0; r < repeat; ++r) {
            if (count == "ours") {
                if (r > 0 && !units) {
                    zoraac_flush(ours.dec);
                    ours.at = 0;
                }
                for (size_t i = 0; i < n; ++i) blocks += static_cast<size_t>(bench_ours_frame(&ours, i));
            } else {
                for (size_t i = 0; i < n; ++i) blocks += static_cast<size_t>(bench_ffmpeg_frame(&theirs, i));
            }
        }
        std::printf("%s: %s, %zu frames x %d passes: %zu blocks\n", args[0].c_str(), count.c_str(), n, repeat,
                    blocks);
        return 0;
    }

    // A first pass of each: the same frames decoded, and how far apart the
    // samples are (the float decoder rounds its own way).
    if (!ours.open() || !theirs.open()) {
        std::fprintf(stderr, "bench_vs_ffmpeg: a decoder did not open\n");
        return 1;
    }
    size_t ours_blocks = 0, their_blocks = 0, samples = 0;
    int max_diff = 0;
    for (size_t i = 0; i < n; ++i) {
        const int a = bench_ours_frame(&ours, i), b = bench_ffmpeg_frame(&theirs, i);
        ours_blocks += static_cast<size_t>(a);
        their_blocks += static_cast<size_t>(b);
        if (a && b) {
            for (size_t k = 0; k < 2048; ++k) max_diff = std::max(max_diff, std::abs(ours.pcm[k] - theirs.pcm[k]));
            samples += 2048;
        }
    }
    std::printf("%s: %zu frames; blocks: ours %zu, ffmpeg %zu; largest sample difference %d (%zu compared)\n",
                args[0].c_str(), n, ours_blocks, their_blocks, max_diff, samples);
    if (ours_blocks != n || their_blocks != n) {
        std::fprintf(stderr, "bench_vs_ffmpeg: a decoder gave no block for some frames\n");
        return 1;
    }

    Timings to, tt;
    for (int r = 0; r < repeat; ++r) {
        if (!ours.open() || !theirs.open()) return 1;
        timed_round(ours, n, bench_ours_frame, to);
        timed_round(theirs, n, bench_ffmpeg_frame, tt);
    }
    const Summary so = summarise(to), st = summarise(tt);
    std::printf("us per frame, %d interleaved rounds (ours %s)\n", repeat, units ? "access units" : "byte stream");
    std::printf("%-8s %8s %8s %8s %8s %8s %6s %8s\n", "", "pass", "median", "fastest", "worst", "w/med", "frame",
                "first");
    for (const auto& [name, x] : {std::pair{"ours", so}, std::pair{"ffmpeg", st}})
        std::printf("%-8s %8.2f %8.2f %8.2f %8.2f %8.2f %6zu %8.2f\n", name, x.pass, x.median, x.fastest, x.worst,
                    x.worst_ratio, x.worst_frame, x.first);
    std::printf("%-8s %8.3f %8.3f %8.3f %8.3f %8s %6s %8.3f\n", "ratio", so.pass / st.pass, so.median / st.median,
                so.fastest / st.fastest, so.worst / st.worst, "", "", so.first / st.first);
    return 0;
}
