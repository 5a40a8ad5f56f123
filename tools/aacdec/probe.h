// What the host learns of a stream before decoding it: transport, rate,
// channels; ADTS frame boundaries for frame mode; the padding that pushes
// the end of a stream through the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "dec/headers.h"

struct Probe {
    enum Kind { None, Adts, Adif, Raw } kind = None;
    uint32_t rate = 0;
    uint32_t channels = 0;  // ADIF: the program's front channels (what a decoder without the downmix plays)
    uint32_t profile = 0;
    size_t first_header = 0;  // offset of the first ADTS header
    size_t start = 0;         // bytes before the stream: ID3v2 tags (and frames skipped to start later)
    uint32_t program_channels = 0;  // ADIF: all of the program's channels, its LFEs too
    const char* name() const {
        return kind == Adts ? "ADTS" : kind == Adif ? "ADIF" : kind == Raw ? "raw data blocks" : "unknown";
    }
};

struct Span {
    size_t offset, size;
};

// The bytes of a stream, read on demand and held from a start that moves
// forward: what is held spans from the oldest position still wanted to the
// furthest one looked at, never the whole stream. Positions count from the
// stream's first byte.
class StreamWindow {
public:
    // Reads up to n bytes into dst; 0 at the end of the stream.
    using Reader = std::function<size_t(uint8_t* dst, size_t n)>;
    explicit StreamWindow(Reader read) : read_(std::move(read)) {}
    // Reads until the bytes before `end` are held or the stream ends; true
    // when they are held.
    bool has(size_t end);
    // Position of the first byte held, and the end of what is held (the end
    // of the stream once has() returned false).
    size_t start() const { return base_; }
    size_t end() const { return base_ + buf_.size(); }
    // Byte `pos`, which must be held; valid until the next has().
    const uint8_t* at(size_t pos) const { return buf_.data() + (pos - base_); }
    // The bytes before `pos` are no longer wanted.
    void drop_before(size_t pos);

private:
    Reader read_;
    std::vector<uint8_t> buf_;
    size_t base_ = 0;
    bool ended_ = false;
};

// The first ADTS or ADIF header of a stream, looked for in its first
// kProbeBytes after any ID3v2 tags, whatever their size (the window keeps
// what the search read).
constexpr size_t kProbeBytes = 1 << 20;
Probe probe(StreamWindow& in);
Probe probe(const std::vector<uint8_t>& in);

// ADTS frames in order, one at a time: junk between frames is skipped; a
// last frame cut short is included as it is; streams spliced one after the
// other (other rates or channels) are followed across the joins. The window
// holds each frame until the next call; the bytes before position() are no
// longer needed. With `drops`, the search for the first header forgets what
// it passed.
class AdtsSplitter {
public:
    // The search starts at `from` (the bytes before it are no part of the stream).
    explicit AdtsSplitter(StreamWindow& w, bool drops = false, size_t from = 0) : w_(w), drops_(drops), at_(from) {}
    bool next(Span& frame);
    size_t position() const { return at_; }
    // The header of the frame next() returned last.
    const AdtsFields& header() const { return last_; }

private:
    size_t search(size_t from);
    StreamWindow& w_;
    bool drops_;
    size_t at_ = 0;
    bool started_ = false;
    bool found_ = false;
    AdtsFields first_{};  // the first header of the stream being split: its fixed fields
    AdtsFields last_{};
};
std::vector<Span> split_adts(const std::vector<uint8_t>& in);

// What follows the input so the decoder delivers its last frame: for an
// ADTS stream a copy of its first header and zeros (adts_end_padding, for a
// decoder that takes frames up to `frame_limit` bytes); other streams get
// zero bytes. `head` holds the stream from its start at least to the end of
// its first header.
std::vector<uint8_t> end_padding(const Probe& p, const uint8_t* head, size_t head_bytes, uint32_t frame_limit);
// Bytes of the ID3v2 tags at the start of a stream (0: none).
size_t id3v2_bytes(StreamWindow& in);
// sampling_frequency_index of a rate, -1 if none.
int rate_index(uint32_t hz);
// Rate of a sampling_frequency_index, 0 for the unlisted ones.
uint32_t rate_of_index(uint32_t index);
// Stream bytes as 16-bit words, the earlier byte in the high half.
std::vector<uint16_t> to_words(const std::vector<uint8_t>& bytes);
// A whole file's bytes; empty when it cannot be read.
std::vector<uint8_t> read_all_bytes(const char* path);
