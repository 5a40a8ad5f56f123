// PCM output of the command-line host: a WAV file (PCM, IEEE float or
// WAVE_FORMAT_EXTENSIBLE, RF64 past 4 GiB), raw PCM, or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

enum class SampleFormat { S16, S24, S32, F32 };

// Bytes a sample takes in the output.
inline uint32_t sample_bytes(SampleFormat f) { return f == SampleFormat::S16 ? 2 : f == SampleFormat::S24 ? 3 : 4; }

struct SinkFormat {
    SampleFormat sample = SampleFormat::S16;
    bool wav = true;          // a WAV file; false: raw little-endian samples
    bool extensible = false;  // WAVE_FORMAT_EXTENSIBLE with a channel mask (set_layout)
};

// A WAV file (sizes patched at the end), raw PCM on stdout or in a file, or
// nothing (an empty name: the PCM is only counted). A new file, or one that
// replaces a regular file, is written under a temporary name beside it and
// takes its name only in commit(); any other OUTPUT (a device, a FIFO, a
// symbolic link) is written in place, through the link, so that it stays
// what it is. Where the sizes cannot be patched (a FIFO, standard output),
// the header says the largest sizes, as a WAV stream of unknown length does.
//
// A WAV file whose data may pass 4 GiB (`size_hint`, the most PCM bytes the
// input can give; 0: not known) gets a 36-byte JUNK chunk after its RIFF
// header, which becomes the ds64 chunk of an RF64 file when the data does
// pass the limit. The limit is 4 GiB; AACDEC_RF64_LIMIT (bytes) lowers it,
// for tests.
class Sink {
public:
    Sink(const std::string& name, uint32_t rate, const SinkFormat& format, uint64_t size_hint = 0);
    // `samples` interleaved samples: 32-bit words (the library's S32 output:
    // the 16-bit sample times 65536 plus the bits below it) when `wide`,
    // else 16-bit ones.
    void write(const void* pcm, size_t samples, bool wide);
    void close();
    void commit();
    // Bytes of samples written.
    uint64_t bytes() const { return bytes_; }
    void set_rate(uint32_t rate) { rate_ = rate; }
    void set_layout(uint16_t channels, uint32_t mask) { channels_ = channels, mask_ = mask; }
    bool is_wav() const { return f_ && format_.wav; }
    bool is_stdout() const { return f_ == stdout; }

private:
    void start();
    void header(uint64_t data_bytes, bool known);
    void write_raw(const void* p, size_t n);
    std::string name_;
    FILE* f_ = nullptr;
    SinkFormat format_;
    bool reserve_ = false;  // the JUNK chunk that can become ds64
    bool started_ = false;  // the header is written
    uint16_t channels_ = 2;
    uint32_t mask_ = 0;
    uint32_t rate_;
    uint64_t bytes_ = 0;
    unsigned char buf_[8192 * 4];
};

// Samples converted to the output format, little-endian, into `dst`
// (sample_bytes(f) each). From 16-bit samples: shifted up (no bits below the
// 16-bit LSB). From 32-bit words: 24 bits rounded to nearest ((s + 128) >> 8,
// saturated), 32 as they are, float s / 2^31.
void convert_samples(const void* src, size_t samples, bool wide, SampleFormat f, unsigned char* dst);
