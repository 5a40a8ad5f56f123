// Damaged and random input through the whole decoder in every input mode:
// every call returns, nothing is read or written outside its buffer (the
// sanitizer build checks), and a damaged stream still yields most blocks.
#include <gtest/gtest.h>

#include <random>

#include "decode_util.h"

namespace {

enum class Damage { Flips, Cut, ZeroRuns, Junk, Truncate };

std::vector<uint8_t> damage(const std::vector<uint8_t>& clean, Damage kind, std::mt19937& rng) {
    std::vector<uint8_t> s = clean;
    auto pos = [&](size_t n) { return static_cast<long>(rng() % n); };
    switch (kind) {
    case Damage::Flips:
        for (int i = 0; i < 10; ++i) s[static_cast<size_t>(pos(s.size()))] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
    case Damage::Cut: {
        const long at = pos(s.size() - 600);
        s.erase(s.begin() + at, s.begin() + at + 1 + pos(500));
        break;
    }
    case Damage::ZeroRuns:
        for (int i = 0; i < 4; ++i) s.insert(s.begin() + pos(s.size()), static_cast<size_t>(1 + pos(300)), 0);
        break;
    case Damage::Junk:
        for (int i = 0; i < 3; ++i) {
            std::vector<uint8_t> junk(static_cast<size_t>(1 + pos(400)));
            for (auto& b : junk) b = static_cast<uint8_t>(rng());
            s.insert(s.begin() + pos(s.size()), junk.begin(), junk.end());
        }
        break;
    case Damage::Truncate:
        s.resize(s.size() - static_cast<size_t>(1 + pos(s.size() / 2)));
        break;
    }
    return s;
}

TEST(Robustness, DamagedStreamsInEveryMode) {
    const std::vector<uint8_t> clean = read_file(data_path("tests/data/p01_head.aac"));
    const size_t frames = adts_frames(clean).size();
    std::mt19937 rng(2024);
    size_t total = 0, runs = 0;
    for (int iter = 0; iter < 200; ++iter) {
        const Damage kind = static_cast<Damage>(iter % 5);
        const std::vector<uint8_t> s = damage(clean, kind, rng);
        const Decoded a = Decoder(Mode::Stream).stream(s, 1 + rng() % 300, clean.data());
        const Decoded b = Decoder(Mode::Frame).frames(adts_frames(s));
        const Decoded c = Decoder(Mode::Pull).pull(s);
        for (const Decoded* d : {&a, &b, &c}) {
            // Junk can hold a false syncword and bits that parse as a block,
            // but no frame is decoded twice.
            EXPECT_LE(d->blocks.size(), frames + 2) << iter;
            total += d->blocks.size();
            ++runs;
        }
    }
    // Most frames survive the damage.
    EXPECT_GT(total, runs * frames * 6 / 10);
}

TEST(Robustness, RandomInput) {
    std::mt19937 rng(77);
    for (int iter = 0; iter < 200; ++iter) {
        std::vector<uint8_t> s(4000 + rng() % 4000);
        for (auto& b : s) b = static_cast<uint8_t>(rng());
        if (iter % 4 == 0) {  // syncwords everywhere
            for (size_t i = 0; i + 1 < s.size(); i += 1 + rng() % 64) s[i] = 0xFF, s[i + 1] |= 0xF0;
        }
        if (iter % 4 == 1) {  // an ADIF stream of noise
            s[0] = 'A', s[1] = 'D', s[2] = 'I', s[3] = 'F';
        }
        kvxdec_current_program = -1;
        Decoder(Mode::Stream).stream(s, 1 + rng() % 500);
        Decoder(Mode::Pull).pull(s);
        Decoder raw(Mode::Stream, true, 1 + static_cast<int>(iter % 2), static_cast<int>(rng() % 16));
        raw.stream(s, 64);
        // Frame mode: whole buffers of random words up to the largest the
        // FIFO takes, and beyond.
        Decoder f(Mode::Frame);
        const std::vector<uint16_t> w = to_words(s);
        for (size_t at = 0; at + 900 < w.size(); at += 900) {
            const uint16_t n = static_cast<uint16_t>(1 + rng() % 900);
            uint16_t r = KVXD_process(f.h, w.data() + at, n);
            if (r) {
                uint16_t got;
                KVXD_getSamples(f.h, &got);
            }
        }
    }
    SUCCEED();
}

}  // namespace
