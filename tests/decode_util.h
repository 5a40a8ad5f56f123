// Driving the decoder through its algorithm interface in the three input
// modes, collecting every block it produces.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "bitstream_util.h"
#include "dsp/tools.h"
#include "test_util.h"

// The ADTS frames of a stream.
inline std::vector<std::vector<uint8_t>> adts_frames(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> frames;
    size_t pos = 0;
    while (pos + 7 <= s.size()) {
        const size_t len = adts_length(&s[pos]);
        if (len < 7 || pos + len > s.size()) break;
        frames.emplace_back(s.begin() + static_cast<long>(pos), s.begin() + static_cast<long>(pos + len));
        pos += len;
    }
    return frames;
}

// Takes every block now ready (`r`: the last process call's result).
inline void drain_blocks(IALG_Handle h, uint16_t r, std::vector<std::vector<int16_t>>& out) {
    for (; r; r = KVXD_process(h, nullptr, 0)) {
        uint16_t n = 0;
        const int16_t* p = KVXD_getSamples(h, &n);
        out.emplace_back(p, p + n);
    }
}

struct Decoded {
    std::vector<std::vector<int16_t>> blocks;  // 2048 samples each
    uint16_t errors = 0;                       // sum of errorCount over the run
    uint32_t lastError = 0;
};

enum class Mode { Stream, Frame, Pull };

struct Decoder {
    explicit Decoder(Mode m, bool raw = false, int channels = 2, int rate_index = 4) : mode(m) {
        obj = make_decoder(m == Mode::Frame, &h);
        KVXD_setOutputBuffer(h, pcm);
        if (raw) {
            KVXD_Status st{};
            st.numChannels = static_cast<uint16_t>(channels);
            st.sampleRateIndex = static_cast<uint32_t>(rate_index);
            st.rawStream = 1;
            KVXD_control(h, KVXD_SETPARAMS, &st);
        }
    }

    void drain(uint16_t r, Decoded& out) { drain_blocks(h, r, out.blocks); }

    // Streaming: the bytes in pieces of `piece` words, then the end padding.
    Decoded stream(std::vector<uint8_t> bytes, size_t piece, const uint8_t* header = nullptr) {
        pad_end(bytes, header);
        const std::vector<uint16_t> w = to_words(bytes);
        Decoded out;
        for (size_t i = 0; i < w.size(); i += piece) {
            const size_t n = std::min(piece, w.size() - i);
            drain(KVXD_process(h, w.data() + i, static_cast<uint16_t>(n)), out);
            out.errors = static_cast<uint16_t>(out.errors + take_errors());
        }
        out.lastError = last_error;
        return out;
    }

    // Frame mode: one ADTS frame per call.
    Decoded frames(const std::vector<std::vector<uint8_t>>& frames) {
        Decoded out;
        for (const auto& f : frames) {
            const std::vector<uint16_t> w = to_words(f);
            drain(KVXD_process(h, w.data(), static_cast<uint16_t>(w.size())), out);
            out.errors = static_cast<uint16_t>(out.errors + obj->errorCount);
        }
        out.lastError = obj->lastError;
        return out;
    }

    // Pull mode: the decoder fetches the words itself, 124 at a time.
    Decoded pull(std::vector<uint8_t> bytes, const uint8_t* header = nullptr) {
        pad_end(bytes, header);
        source = to_words(bytes);
        source_pos = 0;
        current = this;
        KVXD_KELVARIS_setGetBitsCallback(h, &Decoder::fetch);
        Decoded out;
        for (int guard = 0; guard < 100000; ++guard) {
            const uint16_t r = KVXD_process(h, nullptr, 0);
            drain(r, out);
            out.errors = static_cast<uint16_t>(out.errors + take_errors());
            if (r == 0 && source_pos == source.size()) break;
        }
        out.lastError = obj->lastError;
        return out;
    }

    // The loop decodes an ADTS frame once the next frame's header and 16 more
    // bits are held (a CRC word included). At the end of an ADTS stream a
    // copy of its first header and four zero bytes stand in for them: the
    // decoder then waits for a frame that never comes, without an error.
    // Other streams (ADIF, raw) have no frame length to wait for: every
    // attempt on an incomplete block counts an error and is retried. They get
    // 16 zero bytes, enough for a last block shorter than the loop's 128-bit
    // threshold. `header` names the header to copy when an ADTS stream does
    // not begin with one.
    static void pad_end(std::vector<uint8_t>& bytes, const uint8_t* header = nullptr) {
        if (!header && bytes.size() > 7 && bytes[0] == 0xFF && (bytes[1] & 0xF0) == 0xF0) header = bytes.data();
        if (header) {
            const std::vector<uint8_t> copy(header, header + 7);
            bytes.insert(bytes.end(), copy.begin(), copy.end());
        }
        bytes.resize(bytes.size() + (header ? 4 : 16), 0);
    }

    uint16_t take_errors() {
        const uint16_t e = obj->errorCount;
        if (obj->lastError) last_error = obj->lastError;
        KVXD_Status st{};
        KVXD_control(h, KVXD_RESETERRORS, &st);
        return e;
    }

    static uint16_t fetch(int request, const uint16_t** words) {
        Decoder* d = current;
        const size_t n = std::min(static_cast<size_t>(request), d->source.size() - d->source_pos);
        *words = d->source.data() + d->source_pos;
        d->source_pos += n;
        return static_cast<uint16_t>(n);
    }

    Mode mode;
    uint32_t last_error = 0;  // the last non-zero lastError seen
    IALG_Handle h = nullptr;
    MP4AACDEC_QUVA_Obj* obj = nullptr;
    int16_t pcm[4096] = {};
    std::vector<uint16_t> source;
    size_t source_pos = 0;
    static inline Decoder* current = nullptr;
};

inline std::vector<uint8_t> join(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
