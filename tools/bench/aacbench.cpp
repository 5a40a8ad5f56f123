// aacbench: decoding speed. Decodes an ADTS stream through the algorithm
// interface (frame mode, no file or PCM I/O in the timed part) a number of
// times and reports the time per second of audio, the real-time factor and
// the median, 99th percentile and maximum time per frame. Each frame counts
// with its fastest decode over the passes, so that a pass preempted by
// another process does not show as a slow frame; the real-time factor is that
// of the fastest whole pass.
//
// With SLOWEST > 0 it also lists that many of the slowest frames, by index,
// to find which frames set the maximum.
//
// With --sbr an HE-AAC stream plays with SBR (and parametric stereo) at
// its full output rate; seconds of audio are the same either way. A layout
// of more channels then plays mixed with each element's SBR (the instance in
// memory of the bench's own, with room for eight channels' SBR).
//
// usage: aacbench [--sbr] STREAM [REPEATS [SLOWEST]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "alg/kvxd.h"
#include "dec/instance.h"
#include "probe.h"

int main(int argc, char** argv) {
    // --sbr-small: HE-AAC with the small SBR scratch record.
    const bool small = argc > 1 && std::strcmp(argv[1], "--sbr-small") == 0;
    const bool sbr = small || (argc > 1 && std::strcmp(argv[1], "--sbr") == 0);
    if (sbr) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: aacbench [--sbr|--sbr-small] STREAM [REPEATS [SLOWEST]]\n");
        return 2;
    }
    const std::vector<uint8_t> s = read_all_bytes(argv[1]);
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    // Frames as 16-bit words, split once up front.
    const Probe p = probe(s);
    std::vector<std::vector<uint16_t>> frames;
    if (p.kind == Probe::Adts)
        for (const Span& f : split_adts(s))
            frames.push_back(to_words(std::vector<uint8_t>(s.begin() + static_cast<long>(f.offset),
                                                           s.begin() + static_cast<long>(f.offset + f.size))));
    const uint32_t rate = p.rate;
    if (frames.empty()) {
        std::fprintf(stderr, "aacbench: no ADTS frames in %s\n", argv[1]);
        return 1;
    }
    static int16_t pcm[8192];
    // The SBR records (8-byte aligned), when asked for.
    std::vector<uint64_t> sbr_persistent(sbr ? (KVXD_sbrBytes(0, 0) + 7) / 8 : 0);
    std::vector<uint64_t> sbr_scratch(sbr ? (KVXD_sbrBytes(small ? 2 : 1, 0) + 7) / 8 : 0);
    // Layouts of more channels with SBR: the instance's records of its own,
    // the concealment store holding every channel's core overlap.
    const bool mix = sbr && !small && p.channels > 2;
    std::vector<uint64_t> mix_persistent(mix ? (KVXD_sbrMixBytes(0, 8) + 7) / 8 : 0);
    std::vector<uint64_t> mix_scratch(mix ? (KVXD_sbrMixBytes(1, 8) + 7) / 8 : 0);
    IKVXD_Params params = IKVXD_PARAMS;
    params.frameMode = 1;
    IALG_MemRec rec[kStaticBlocks];
    std::vector<std::vector<uint64_t>> memory(kStaticBlocks);
    if (mix) {
        KVXD_alloc(&params, rec);
        rec[kOuterRecords].size = KVXD_sbrMixStoreBytes(8);
        for (int i = 0; i < kStaticBlocks; ++i) {
            memory[static_cast<size_t>(i)].resize(rec[i].size / 8 + 1);
            rec[i].base = memory[static_cast<size_t>(i)].data();
        }
    }
    using Clock = std::chrono::steady_clock;
    double best = 1e30;
    uint64_t blocks = 0;
    std::vector<double> frame_us(frames.size(), 1e30);
    for (int r = 0; r < repeats; ++r) {
        IALG_Handle h = mix ? KVXD_create(&params, rec, nullptr) : KVXD_createStatic(nullptr, nullptr);
        KVXD_setOutputBuffer(h, pcm);
        KVXD_setDownmix(h, 1);  // multichannel streams as stereo (exact arithmetic)
        if (sbr && KVXD_attachSbr(h, sbr_persistent.data(), sbr_scratch.data(), 0, 0) != 0) {
            std::fprintf(stderr, "aacbench: this build plays no SBR\n");
            return 1;
        }
        if (small) KVXD_setSbrSmallScratch(h, 1);
        if (mix) KVXD_attachSbrMix(h, mix_persistent.data(), mix_scratch.data(), 8);
        blocks = 0;
        const auto t0 = Clock::now();
        auto t = t0;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (KVXD_process(h, frames[i].data(), static_cast<uint16_t>(frames[i].size()))) {
                uint16_t n;
                KVXD_getSamples(h, &n);
                ++blocks;
            }
            const auto t1 = Clock::now();
            frame_us[i] = std::min(frame_us[i], std::chrono::duration<double, std::micro>(t1 - t).count());
            t = t1;
        }
        const double secs = std::chrono::duration<double>(t - t0).count();
        if (secs < best) best = secs;
    }
    const int slowest = argc > 3 ? std::atoi(argv[3]) : 0;
    if (slowest > 0) {
        std::vector<size_t> order(frames.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        const size_t n = std::min(order.size(), static_cast<size_t>(slowest));
        std::partial_sort(order.begin(), order.begin() + static_cast<long>(n), order.end(),
                          [&](size_t a, size_t b) { return frame_us[a] > frame_us[b]; });
        for (size_t i = 0; i < n; ++i) std::printf("frame %zu: %.1f us\n", order[i], frame_us[order[i]]);
    }
    std::sort(frame_us.begin(), frame_us.end());
    const auto at = [&](double q) { return frame_us[static_cast<size_t>(q * static_cast<double>(frame_us.size() - 1))]; };
    const double audio = static_cast<double>(blocks) * 1024.0 / rate;
    std::printf("%s: %llu blocks, %.2f s of audio; best of %d: %.1f ms, %.2f ms per audio second, %.0fx real time; "
                "us per frame: median %.1f, p99 %.1f, max %.1f\n",
                argv[1], static_cast<unsigned long long>(blocks), audio, repeats, best * 1e3, best * 1e3 / audio,
                audio / best, at(0.5), at(0.99), frame_us.back());
    return 0;
}
