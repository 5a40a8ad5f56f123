#include "probe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dec/bands.h"
#include "dec/headers.h"

namespace {

// Rate of a listed sampling_frequency_index (0..11).
uint32_t rate_of(uint32_t index) { return static_cast<uint32_t>(samp_rate_kvxdec_info[index].sampling_rate); }

// Kept bytes of a window with absolute positions; `end` is the end of the
// stream when the window could not hold more.
struct View {
    const uint8_t* p;
    size_t base, end;
    uint8_t operator[](size_t pos) const { return p[pos - base]; }
    const uint8_t* ptr(size_t pos) const { return p + (pos - base); }
};

// A header and the one its length leads to are at most this far apart.
constexpr size_t kLookahead = 8192 + kAdtsFixedBytes + 1;

// The window from `pos` to kLookahead beyond it, or to the stream's end.
View view(StreamWindow& w, size_t pos) {
    w.has(pos + kLookahead);
    return View{w.at(w.start()), w.start(), w.end()};
}

struct Bits {
    const View& d;
    size_t pos;  // bit position
    uint32_t get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos) {
            const size_t byte = pos / 8;
            const uint32_t bit = byte < d.end ? (d[byte] >> (7 - pos % 8)) & 1u : 0u;
            v = (v << 1) | bit;
        }
        return v;
    }
};

// The ADTS header fields at `at`, when seven bytes are there.
bool fields_at(const View& d, size_t at, AdtsFields* h) {
    if (at + kAdtsFixedBytes > d.end) return false;
    adts_fields(d.ptr(at), h);
    return true;
}

// A header of the stream that began with `first` at `at` (its length not judged).
bool continues_at(const View& d, size_t at, const AdtsFields& first) {
    AdtsFields h;
    return fields_at(d, at, &h) && adts_fixed_valid(&h) && adts_same_stream(&first, &h);
}

// A header of that stream a bit or two away at `at`, whose length leads to
// a header of the stream or to the input's end: the stream's, damaged.
bool damaged_header_at(const View& d, size_t at, const AdtsFields& first) {
    AdtsFields h;
    if (!fields_at(d, at, &h) || !adts_near(&first, &h) || h.aac_frame_length < kAdtsFixedBytes) return false;
    const size_t end = at + h.aac_frame_length;
    return end == d.end || continues_at(d, end, first);
}

// The decoder's rule for a header found by search: valid, and followed where
// its length says by a header of the same stream or by the end of the input,
// or by one a bit or two away whose own length leads to a header of the
// stream (the second header damaged).
bool adts_at(const View& d, size_t at, size_t* length) {
    AdtsFields h;
    if (at + 1 >= d.end || d[at] != 0xFF || (d[at + 1] & 0xF0) != 0xF0) return false;
    if (!fields_at(d, at, &h) || !adts_valid(&h)) return false;
    const size_t end = at + h.aac_frame_length;
    if (end != d.end && !continues_at(d, end, h) && !damaged_header_at(d, end, h)) return false;
    *length = h.aac_frame_length;
    return true;
}

// A window over bytes already in memory.
StreamWindow::Reader memory_reader(const std::vector<uint8_t>& in) {
    return [&in, at = size_t{0}](uint8_t* dst, size_t n) mutable {
        n = std::min(n, in.size() - at);
        std::memcpy(dst, in.data() + at, n);
        at += n;
        return n;
    };
}

}  // namespace

int rate_index(uint32_t hz) {
    for (uint32_t i = 0; i < 12; ++i)
        if (rate_of(i) == hz) return static_cast<int>(i);
    return -1;
}

uint32_t rate_of_index(uint32_t index) { return index < 12 ? rate_of(index) : 0; }

std::vector<uint16_t> to_words(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> w((bytes.size() + 1) / 2, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        w[i / 2] = static_cast<uint16_t>(w[i / 2] | (i % 2 ? bytes[i] : bytes[i] << 8));
    return w;
}

size_t id3v2_bytes(StreamWindow& w) {
    size_t at = 0;
    // "ID3", version, flags, then the tag's size in four 7-bit bytes; a
    // footer (flag 0x10) adds ten bytes. Tags may follow one another.
    while (w.has(at + 10)) {
        const uint8_t* h = w.at(at);
        if (std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF || ((h[6] | h[7] | h[8] | h[9]) & 0x80)) break;
        const size_t size = (size_t{h[6]} << 21) | (size_t{h[7]} << 14) | (size_t{h[8]} << 7) | h[9];
        at += 10 + size + ((h[5] & 0x10) ? 10 : 0);
    }
    return at;
}

Probe probe(StreamWindow& w) {
    Probe p;
    p.start = id3v2_bytes(w);
    const View head = view(w, p.start);
    if (head.end >= p.start + 4 && std::memcmp(head.ptr(p.start), "ADIF", 4) == 0) {
        Bits b{head, 8 * p.start + 32};
        if (b.get(1)) b.get(32), b.get(32), b.get(8);  // copyright_id
        b.get(2);                                      // original_copy, home
        const uint32_t bitstream_type = b.get(1);
        b.get(23);
        b.get(4);  // programs - 1: the first one describes the stream
        if (bitstream_type == 0) b.get(20);
        b.get(4);
        p.profile = b.get(2);
        const uint32_t sf = b.get(4);
        const uint32_t front = b.get(4), side = b.get(4), back = b.get(4), lfe = b.get(2);
        b.get(3 + 4);
        if (b.get(1)) b.get(4);
        if (b.get(1)) b.get(4);
        if (b.get(1)) b.get(3);
        for (uint32_t i = 0; i < front + side + back; ++i) {
            const uint32_t n = b.get(1) ? 2 : 1;
            b.get(4);
            if (i < front) p.channels += n;
            p.program_channels += n;
        }
        p.program_channels += lfe;
        p.kind = Probe::Adif;
        p.rate = sf < 12 ? rate_of(sf) : 0;
        return p;
    }
    for (size_t at = p.start; at < p.start + kProbeBytes; ++at) {
        const View in = view(w, at);
        if (at + 7 > in.end) break;
        size_t len;
        if (!adts_at(in, at, &len)) continue;
        p.kind = Probe::Adts;
        p.first_header = at;
        p.profile = in[at + 2] >> 6;
        p.rate = rate_of((in[at + 2] >> 2) & 0xF);
        p.channels = ((in[at + 2] & 1u) << 2) | (in[at + 3] >> 6);
        return p;
    }
    return p;
}

Probe probe(const std::vector<uint8_t>& in) {
    StreamWindow w(memory_reader(in));
    return probe(w);
}

// From a header found by search, frame follows frame. Where a frame's length
// does not lead to the next header, the frame runs to the next header of the
// stream: the decoder judges the block, not the length field. Another stream
// spliced on (another rate, channel configuration or profile) starts where a
// header is found as the first one is: its length leads to a header of its
// own stream.
size_t AdtsSplitter::search(size_t from) {
    AdtsFields h;
    size_t len;
    for (size_t i = from;; ++i) {
        const View in = view(w_, i);
        if (i + kAdtsFixedBytes > in.end) return in.end;
        if (continues_at(in, i, first_) && fields_at(in, i, &h) && adts_valid(&h)) return i;
        if (adts_at(in, i, &len)) return i;
    }
}

bool AdtsSplitter::next(Span& frame) {
    if (!started_) {
        started_ = true;
        size_t len;
        for (;; ++at_) {
            const View in = view(w_, at_);
            if (at_ + kAdtsFixedBytes > in.end) return false;
            if (adts_at(in, at_, &len)) break;
            if (drops_) w_.drop_before(at_);
        }
        found_ = fields_at(view(w_, at_), at_, &first_);
    }
    if (!found_) return false;
    View in = view(w_, at_);
    if (at_ + kAdtsFixedBytes > in.end) return false;
    AdtsFields h;
    adts_fields(in.ptr(at_), &h);
    // The first frame of a stream spliced on: the frames after it are its own.
    if (!adts_same_stream(&first_, &h)) first_ = h;
    last_ = h;
    // The window reaches kLookahead beyond at_ unless the stream ends first.
    size_t end = at_ + h.aac_frame_length;
    // A length past the input's end: a last frame cut short, as it is, or a
    // damaged length, the next frame's header then found by the search
    // (which gave the rest of the stream as one frame, and a plug-in lost
    // all of it).
    const bool past = end > in.end;
    if (past) end = in.end;
    // (A damaged header there starts the next frame all the same.)
    auto next_at = [&](size_t k) { return continues_at(in, k, first_) || damaged_header_at(in, k, first_); };
    if (past || (end != in.end && (h.aac_frame_length < kAdtsFixedBytes || !next_at(end)))) end = search(at_ + 1);
    frame = {at_, end - at_};
    at_ = end;
    in = view(w_, at_);
    if (at_ < in.end && !next_at(at_)) at_ = search(at_);
    return true;
}

std::vector<Span> split_adts(const std::vector<uint8_t>& in) {
    StreamWindow w(memory_reader(in));
    AdtsSplitter s(w);
    std::vector<Span> frames;
    Span f;
    while (s.next(f)) frames.push_back(f);
    return frames;
}

bool StreamWindow::has(size_t end) {
    while (!ended_ && this->end() < end) {
        const size_t held = buf_.size();
        // (At most a megabyte a read: the buffer grows with what the stream
        // holds, not with what a damaged size field asks for, e.g. an ID3v2
        // tag of 256 MB in front of a small file.)
        const size_t want = std::min<size_t>(std::max<size_t>(end - this->end(), 65536), 1 << 20);
        buf_.resize(held + want);
        const size_t got = read_(buf_.data() + held, want);
        buf_.resize(held + got);
        ended_ = got == 0;
    }
    return this->end() >= end;
}

void StreamWindow::drop_before(size_t pos) {
    const size_t n = std::min(pos > base_ ? pos - base_ : 0, buf_.size());
    // Dropped in batches, so the bytes kept are moved only now and then.
    if (n < 65536 && 2 * n < buf_.size()) return;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
    base_ += n;
}

std::vector<uint8_t> end_padding(const Probe& p, const uint8_t* head, size_t head_bytes, uint32_t frame_limit) {
    // (ADIF and raw blocks: zeros, as many as the library's byte stream
    // pushes through.)
    if (p.kind != Probe::Adts || p.first_header + 7 > head_bytes)
        return std::vector<uint8_t>(kUnframedEndPaddingBytes, 0);
    std::vector<uint8_t> pad(adts_end_padding(frame_limit), 0);
    std::copy_n(head + p.first_header, 7, pad.begin());
    adts_end_header(pad.data(), frame_limit);
    return pad;
}

std::vector<uint8_t> read_all_bytes(const char* path) {
    std::vector<uint8_t> d;
    FILE* f = std::fopen(path, "rb");
    if (!f) return d;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
    std::fclose(f);
    return d;
}
