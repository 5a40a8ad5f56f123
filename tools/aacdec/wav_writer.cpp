#include "wav_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace {

// Data sizes above this make the file RF64 (AACDEC_RF64_LIMIT lowers it).
uint64_t rf64_limit() {
    static const uint64_t limit = [] {
        const char* s = std::getenv("AACDEC_RF64_LIMIT");
        const unsigned long long v = s ? std::strtoull(s, nullptr, 10) : 0;
        return v > 0 && v < 0xFFFFFFFFull ? static_cast<uint64_t>(v) : uint64_t{0xFFFFFFFFu};
    }();
    return limit;
}

void put16(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace

void convert_samples(const void* src, size_t samples, bool wide, SampleFormat f, unsigned char* dst) {
    const int16_t* s16 = static_cast<const int16_t*>(src);
    const int32_t* s32 = static_cast<const int32_t*>(src);
    // The sample as a 32-bit word, 16-bit samples shifted up.
    auto word = [&](size_t i) { return wide ? int64_t{s32[i]} : int64_t{s16[i]} * 65536; };
    switch (f) {
    case SampleFormat::S16:
        for (size_t i = 0; i < samples; ++i, dst += 2)
            put16(dst, static_cast<uint32_t>(wide ? std::min<int64_t>((word(i) + 32768) >> 16, 32767) : s16[i]));
        break;
    case SampleFormat::S24:
        // The word's top 24 bits, the rest dropped rather than rounded:
        // rounded once more to 16 bits the sample is then the 16-bit output
        // (rounding twice would move 1 sample in about 500 by one step).
        for (size_t i = 0; i < samples; ++i, dst += 3) {
            const int64_t v = word(i) >> 8;
            dst[0] = static_cast<unsigned char>(v), dst[1] = static_cast<unsigned char>(v >> 8);
            dst[2] = static_cast<unsigned char>(v >> 16);
        }
        break;
    case SampleFormat::S32:
        for (size_t i = 0; i < samples; ++i, dst += 4) put32(dst, static_cast<uint32_t>(word(i)));
        break;
    case SampleFormat::F32:
        for (size_t i = 0; i < samples; ++i, dst += 4) {
            const float v = static_cast<float>(static_cast<double>(word(i)) * (1.0 / 2147483648.0));
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            put32(dst, bits);
        }
        break;
    }
}

Sink::Sink(const std::string& name, uint32_t rate, const SinkFormat& format, uint64_t size_hint)
    : name_(name), format_(format), rate_(rate) {
    if (format_.wav)
        reserve_ = size_hint ? size_hint + 80 > rf64_limit() : format_.sample != SampleFormat::S16;
    if (name.empty()) {
        format_.wav = false;
    } else if (name == "-") {
        f_ = stdout;
    } else if (struct stat st; lstat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        f_ = std::fopen(name.c_str(), "wb");
        if (!f_) fail("cannot write %s", (name + ": " + std::strerror(errno)).c_str());
    } else {
        std::string tmp = name + ".XXXXXX";
        const int fd = mkstemp(tmp.data());
        if (fd >= 0) {
            const mode_t mask = umask(0);
            umask(mask);
            (void)fchmod(fd, 0666 & ~mask);
            set_partial_output(tmp);
            f_ = fdopen(fd, "wb");
        }
        if (!f_) fail("cannot write %s", (name + ": " + std::strerror(errno)).c_str());
    }
}

void Sink::start() {
    // The header goes out with the first samples, when the rate and the
    // layout are known: an output that cannot seek keeps it as it is.
    if (started_) return;
    started_ = true;
    if (f_ && format_.wav) header(0, false);
}

void Sink::write(const void* pcm, size_t samples, bool wide) {
    const size_t size = sample_bytes(format_.sample);
    bytes_ += samples * size;
    if (!f_) return;
    start();
    if (!wide && format_.sample == SampleFormat::S16) {
        write_raw(pcm, samples * 2);  // native byte order is little-endian on every target
        return;
    }
    const size_t step = sizeof buf_ / 4;
    const unsigned char* p = static_cast<const unsigned char*>(pcm);
    for (size_t at = 0; at < samples; at += step) {
        const size_t n = std::min(step, samples - at);
        convert_samples(p + at * (wide ? 4 : 2), n, wide, format_.sample, buf_);
        write_raw(buf_, n * size);
    }
}

void Sink::close() {
    if (!f_) return;
    start();
    if (format_.wav) {
        const bool in_place = !*partial_output();
        if (bytes_ % 2) write_raw("", 1);  // chunks take an even number of bytes
        if (std::fflush(f_) != 0) fail("cannot write the output: %s", std::strerror(errno));
        if (f_ != stdout && std::fseek(f_, 0, SEEK_SET) == 0) header(bytes_, true);
        else if (!in_place) fail("cannot finish the WAV header");
    }
    if (std::fflush(f_) != 0 || (f_ != stdout && std::fclose(f_) != 0)) fail("cannot write the output: %s", std::strerror(errno));
    f_ = nullptr;
}

void Sink::commit() {
    if (!*partial_output()) return;
    if (std::rename(partial_output(), name_.c_str()) != 0)
        fail("cannot write %s", (name_ + ": " + std::strerror(errno)).c_str());
    set_partial_output("");
}

// RIFF header, [JUNK or ds64], fmt, [fact], data. The fmt chunk: 16 bytes
// of PCM for 16-bit mono or stereo; 18 of WAVE_FORMAT_IEEE_FLOAT (with a
// fact chunk) for float mono or stereo; otherwise the 40 bytes of
// WAVE_FORMAT_EXTENSIBLE: valid bits, channel mask and the sub-format's GUID.
void Sink::header(uint64_t data_bytes, bool known) {
    const bool is_float = format_.sample == SampleFormat::F32;
    const uint32_t bytes = sample_bytes(format_.sample);
    const bool extensible = format_.extensible || channels_ > 2 || (!is_float && bytes > 2);
    const uint32_t fmt_size = extensible ? 40 : is_float ? 18 : 16;
    const bool fact = is_float && !extensible;
    unsigned char h[12 + 36 + 8 + 40 + 12 + 8];
    unsigned char* p = h;
    const uint32_t size = 12 + (reserve_ ? 36 : 0) + 8 + fmt_size + (fact ? 12 : 0) + 8;
    const uint64_t frames = data_bytes / (bytes * channels_);
    const uint64_t riff = size - 8 + data_bytes + data_bytes % 2;
    const bool rf64 = known && riff > rf64_limit() && reserve_;
    if (known && riff > rf64_limit() && !reserve_)
        std::fprintf(stderr, "aacdec: warning: the WAV data passes 4 GiB; its header says the sizes of a stream of unknown length\n");
    const bool fits = known && riff <= rf64_limit();
    std::memcpy(p, rf64 ? "RF64" : "RIFF", 4);
    put32(p + 4, fits ? static_cast<uint32_t>(riff) : 0xFFFFFFFFu);
    std::memcpy(p + 8, "WAVE", 4);
    p += 12;
    if (reserve_) {
        std::memset(p, 0, 36);
        std::memcpy(p, rf64 ? "ds64" : "JUNK", 4);
        put32(p + 4, 28);
        if (rf64) {
            put64(p + 8, riff);
            put64(p + 16, data_bytes);
            put64(p + 24, frames);  // the table after it is empty
        }
        p += 36;
    }
    std::memcpy(p, "fmt ", 4);
    put32(p + 4, fmt_size);
    put16(p + 8, extensible ? 0xFFFE : is_float ? 3 : 1);
    put16(p + 10, channels_);
    put32(p + 12, rate_);
    put32(p + 16, rate_ * bytes * channels_);
    put16(p + 20, bytes * channels_);
    put16(p + 22, bytes * 8);
    if (fmt_size > 16) put16(p + 24, extensible ? 22 : 0);
    if (extensible) {
        // KSDATAFORMAT_SUBTYPE_PCM or _IEEE_FLOAT: the format tag, then a fixed tail.
        static const unsigned char kGuidTail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        put16(p + 26, bytes * 8);
        // Native output says its mask; stereo and mono their own.
        put32(p + 28, format_.extensible ? mask_ : channels_ == 2 ? 0x3u : channels_ == 1 ? 0x4u : 0u);
        put16(p + 32, is_float ? 3 : 1);
        std::memcpy(p + 34, kGuidTail, sizeof kGuidTail);
    }
    p += 8 + fmt_size;
    if (fact) {
        std::memcpy(p, "fact", 4);
        put32(p + 4, 4);
        put32(p + 8, fits ? static_cast<uint32_t>(frames) : 0xFFFFFFFFu);
        p += 12;
    }
    std::memcpy(p, "data", 4);
    put32(p + 4, fits ? static_cast<uint32_t>(data_bytes) : rf64 ? 0xFFFFFFFFu : 0xFFFFFFFFu - (size - 8));
    write_raw(h, size);
}

void Sink::write_raw(const void* p, size_t n) {
    if (n && std::fwrite(p, 1, n, f_) != n) fail("cannot write the output: %s", std::strerror(errno));
}
