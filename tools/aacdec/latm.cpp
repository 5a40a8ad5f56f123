#include "latm.h"

#include <algorithm>

#include "dec/asc.h"

bool looks_like_loas(const uint8_t* head, size_t bytes) {
    if (bytes < 3 || head[0] != 0x56 || (head[1] & 0xE0) != 0xE0) return false;
    const size_t next = 3 + (static_cast<size_t>(head[1] & 0x1F) << 8 | head[2]);
    return next + 1 < bytes && head[next] == 0x56 && (head[next + 1] & 0xE0) == 0xE0;
}

// Bits of an element, most significant first; past its end they read as
// zeros and `over` is set.
struct LatmParser::Bits {
    const uint8_t* p;
    size_t size;  // in bits
    size_t pos = 0;
    bool over = false;
    uint32_t get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos) {
            uint32_t bit = 0;
            if (pos < size)
                bit = (p[pos >> 3] >> (7 - (pos & 7))) & 1u;
            else
                over = true;
            v = (v << 1) | bit;
        }
        return v;
    }
    size_t left() const { return pos < size ? size - pos : 0; }
    void skip(uint64_t n) {
        if (n > left()) over = true;
        pos = n > left() ? size : pos + static_cast<size_t>(n);
    }
    // `n` bits from here as bytes, the last one filled with zeros.
    void copy(size_t n, std::vector<uint8_t>& out) {
        out.assign((n + 7) / 8, 0);
        for (size_t i = 0; i < n; i += 8) {
            const int k = static_cast<int>(std::min<size_t>(8, n - i));
            out[i / 8] = static_cast<uint8_t>(get(k) << (8 - k));
        }
    }
    // PayloadLengthInfo: bytes of 255 and the rest.
    size_t payload_length() {
        size_t length = 0;
        uint32_t tmp;
        do {
            tmp = get(8);
            length += tmp;
        } while (tmp == 255 && !over);
        return length;
    }
    // LatmGetValue: a count of bytes, then the value in them.
    uint32_t value() {
        const uint32_t bytes = get(2) + 1;
        uint32_t v = 0;
        for (uint32_t i = 0; i < bytes; ++i) v = v << 8 | get(8);
        return v;
    }
};

namespace {

bool same_config(const AscInfo& a, const AscInfo& b) {
    return a.audio_object_type == b.audio_object_type && a.signalled_object_type == b.signalled_object_type &&
           a.sampling_frequency_index == b.sampling_frequency_index && a.sampling_rate == b.sampling_rate &&
           a.channel_configuration == b.channel_configuration && a.channels == b.channels &&
           a.frame_length_flag == b.frame_length_flag && a.extension_flag == b.extension_flag &&
           a.pce_present == b.pce_present && a.pce.comment_bytes == b.pce.comment_bytes &&
           a.sbr_present == b.sbr_present && a.ps_present == b.ps_present &&
           a.extension_object_type == b.extension_object_type && a.ext_sampling_rate == b.ext_sampling_rate;
}

}  // namespace

LatmParser::Result LatmParser::mux_config(Bits& b) {
    const uint32_t version = b.get(1);
    if (version == 1 && b.get(1)) {
        error_ = "uses audioMuxVersionA 1 (a mux syntax of a later version), which aacdec does not read";
        return Unsupported;
    }
    if (version == 1) b.value();  // taraBufferFullness
    if (!b.get(1)) {
        error_ = "uses streams of different time framing (allStreamsSameTimeFraming 0), which aacdec does not read";
        return Unsupported;
    }
    const uint32_t sub_frames = b.get(6) + 1;
    const uint32_t programs = b.get(4) + 1;
    const uint32_t layers = b.get(3) + 1;
    if (b.over) return Damaged;
    if (programs != 1 || layers != 1) {
        error_ = "carries " + std::to_string(programs) + " program" + (programs == 1 ? "" : "s") + " of " +
                 std::to_string(layers) + " layer" + (layers == 1 ? "" : "s") + "; aacdec reads one program of one layer";
        return Unsupported;
    }
    // The AudioSpecificConfig: in version 1 its length in bits comes first;
    // in version 0 it ends where its own syntax does. It is looked for in
    // no more than kMaxAscBits: a damaged element (or a hostile file, a
    // syncword every few bytes) had every bit of the rest of it copied and
    // parsed again for each length tried.
    size_t asc_bits = b.left();
    if (version == 1) asc_bits = b.value();
    if (b.over || asc_bits > b.left()) return Damaged;
    const size_t look_bits = std::min(asc_bits, kMaxAscBits);
    std::vector<uint8_t> bytes;
    Bits look = b;
    look.copy(look_bits, bytes);
    AscInfo info;
    const int rc = asc_parse(bytes.data(), bytes.size(), &info);
    if (rc == ASC_ERR_UNSUPPORTED || rc == ASC_ERR_OBJECT_TYPE) {
        error_ = "carries an AudioSpecificConfig of audio object type " + std::to_string(info.signalled_object_type) +
                 " (" + asc_error_text(rc) + ")";
        return Unsupported;
    }
    if (rc != ASC_OK) return Damaged;
    // Its length: the fewest bits that read as the same config without
    // reading past their end (the parser's look for an extension after the
    // config may count bits that are not its own).
    // (The same bits as the last config's: its length, found once. Streams
    // repeat their config in every element.)
    size_t length = 0;
    if (known_bits_ && known_bits_ <= look_bits) {
        Bits prefix = b;
        prefix.copy(known_bits_, bytes);
        if (bytes == known_) length = known_bits_;
    }
    for (size_t n = 8; n <= look_bits && !length; ++n) {
        Bits prefix = b;
        prefix.copy(n, bytes);
        AscInfo p;
        if (asc_parse(bytes.data(), bytes.size(), &p) == ASC_OK && p.bits <= n && same_config(p, info)) length = n;
    }
    if (!length) return Damaged;
    if (length != known_bits_) {
        Bits prefix = b;
        prefix.copy(length, known_);
        known_bits_ = length;
    }
    b.copy(length, bytes);
    if (version == 1) b.skip(asc_bits - length);  // fill bits
    const uint32_t frame_length_type = b.get(3);
    if (frame_length_type != 0) {
        error_ = "uses frameLengthType " + std::to_string(frame_length_type) +
                 ", which aacdec does not read (payload lengths in bytes, type 0, are read)";
        return Unsupported;
    }
    b.get(8);  // latmBufferFullness
    const bool other_data = b.get(1);
    uint64_t other_bits = 0;
    if (other_data && version == 1) {
        other_bits = b.value();
    } else if (other_data) {
        uint32_t escape = 1;
        for (int i = 0; escape && i < 8 && !b.over; ++i) {
            escape = b.get(1);
            other_bits = other_bits << 8 | b.get(8);
        }
    }
    if (b.get(1)) b.get(8);  // crcCheckPresent, crcCheckSum
    if (b.over) return Damaged;
    const Mux mux{sub_frames, other_data, other_bits};
    if (configured_ && bytes != asc_) {
        if (bytes != suspect_) {
            // One config unlike the stream's is taken for damage until the
            // next config says it again.
            suspect_ = std::move(bytes);
            suspect_mux_ = mux;
            return Doubt;
        }
        if (!follow_) {
            auto hex = [](const std::vector<uint8_t>& v) {
                static const char digits[] = "0123456789abcdef";
                std::string s;
                for (uint8_t x : v) s += digits[x >> 4], s += digits[x & 15];
                return s;
            };
            error_ = "changes its AudioSpecificConfig mid-stream (" + hex(asc_) + " to " + hex(bytes) +
                     "), which aacdec does not follow";
            return Changed;
        }
        changed_ = true;
    }
    configured_ = true;
    suspect_.clear();
    mux_ = mux;
    asc_ = std::move(bytes);
    return Units;
}

LatmParser::Result LatmParser::payload(Bits& b, const Mux& m, std::vector<std::vector<uint8_t>>& units) {
    const size_t first = units.size();
    for (uint32_t i = 0; i < m.sub_frames; ++i) {
        const size_t length = b.payload_length();
        if (b.over || length == 0 || length * 8 > b.left()) {
            units.resize(first);
            return Damaged;
        }
        units.emplace_back();
        b.copy(length * 8, units.back());
    }
    // Other data and the byte alignment follow; nothing of them is needed.
    if (m.other_data && m.other_data_bits > b.left()) {
        units.resize(first);
        return Damaged;
    }
    filled_ = !m.other_data && b.left() < 8;
    return Units;
}

LatmParser::Result LatmParser::element(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>& units,
                                       bool chained) {
    Bits b{data, size * 8};
    if (!chained) unsupported_ = 0;
    if (!b.get(1)) {  // useSameStreamMux 0: a StreamMuxConfig follows
        Result r = mux_config(b);
        // A config not read counts when the frame after it, end to end,
        // names the same fault: one alone is taken for damage.
        if (r == Unsupported && !(unsupported_ && error_ == unsupported_error_)) {
            unsupported_ = 1;
            unsupported_error_ = error_;
            r = Damaged;
        }
        if (r == Units) unsupported_ = 0;
        if (r == Doubt) {
            // (Its units, where they read.)
            payload(b, suspect_mux_, units);
            return Doubt;
        }
        if (r != Units) return r;
    } else if (!configured_) {
        return NoConfig;
    }
    if (b.over) return Damaged;
    return payload(b, mux_, units);
}

size_t LatmParser::element_bytes(const uint8_t* head, size_t head_bytes) const {
    if (!configured_ || mux_.other_data) return 0;
    Bits b{head, head_bytes * 8};
    if (!b.get(1)) return 0;  // (a config: its length is not known here)
    size_t payload = 0;
    for (uint32_t i = 0; i < mux_.sub_frames && !b.over; ++i) payload += b.payload_length();
    return b.over ? 0 : (b.pos + 8 * payload + 7) / 8;
}

void LoasUnits::push(const uint8_t* data, size_t size, int64_t time, bool whole) {
    if (time != kNoTime) marks_.push_back({base_ + buf_.size(), time});
    buf_.insert(buf_.end(), data, data + size);
    whole_ = whole;
    split();
}

void LoasUnits::finish() {
    ended_ = true;
    split();
    if (!error_.empty()) return;
    // The stream's last frames, their sync words destroyed: bytes after the
    // last frame count only as frames end to end (a tag or junk there
    // about once in 500).
    if (watching_ && parser_.units_per_element())
        for (size_t lost = chained_frames(0, 0); lost; --lost) lose();
    watching_ = false;
    // The stream ended with a config in doubt: the change was never
    // confirmed, and what was read under the stream's config is its own.
    release_held();
}

void LoasUnits::lose() {
    ++damaged_;
    auto& to = parser_.doubting() ? held_ : ready_;
    for (uint32_t i = 0; i < parser_.units_per_element(); ++i)
        to.push_back({std::vector<uint8_t>(), kNoTime, config_, i == 0});
}

void LoasUnits::take_change() {
    ++config_;
    configs_.emplace_back(config_, parser_.asc());
    if (!suspects_.empty()) {
        // Every unit held came after a config unlike the stream's (configs
        // that said the change may have been damaged on the way): the new
        // config's. The frames that said it keep their units, read under
        // it; the others were read under the stream's config, and are lost
        // where the new one lays its elements out otherwise (each frame
        // then takes the new config's count of places).
        std::deque<Unit> held;
        const uint32_t per_frame = parser_.units_per_element();
        size_t next = 0;  // the suspect at or after i
        for (size_t i = 0; i < held_.size(); ++i) {
            Unit& u = held_[i];
            while (next < suspects_.size() && suspects_[next].at + suspects_[next].places <= i) ++next;
            Suspect* s = next < suspects_.size() && suspects_[next].at <= i ? &suspects_[next] : nullptr;
            if (s && !s->units.empty() && s->config == parser_.asc()) {
                if (i > s->at) continue;
                --damaged_;
                for (Unit& v : s->units) held.push_back({std::move(v.bytes), v.time, config_, v.first});
            } else if (suspect_alike_) {
                u.config = config_;
                held.push_back(std::move(u));
            } else if (u.first) {
                if (!u.bytes.empty()) ++damaged_;
                for (uint32_t k = 0; k < per_frame; ++k)
                    held.push_back({std::vector<uint8_t>(), k ? kNoTime : u.time, config_, k == 0});
            }
        }
        held_.swap(held);
    }
    suspects_.clear();
    release_held();
}

const std::vector<uint8_t>& LoasUnits::config(uint32_t n) const {
    for (const auto& c : configs_)
        if (c.first == n) return c.second;
    return parser_.asc();
}

// The element of a frame whose sync word was destroyed begins 3 bytes into
// it, where the sync word and length end (not fewer, where bytes of them
// were lost: the length's bytes left in place read as elements too, and
// chains of them counted junk and one lost frame as several). At most four
// frames.
size_t LoasUnits::chained_frames(size_t from, int depth) const {
    if (depth == 4 || stretch_bytes_.size() < stretch_) return 0;
    const size_t at = from + 3;
    if (at >= stretch_) return 0;
    const size_t bytes = parser_.element_bytes(stretch_bytes_.data() + at, stretch_ - at);
    if (!bytes || bytes > stretch_ - at) return 0;
    if (at + bytes == stretch_) return 1;
    const size_t more = chained_frames(at + bytes, depth + 1);
    return more ? more + 1 : 0;
}

// Whether the bytes at `end` hold a frame whose sync word was destroyed and
// whose element's payload lengths lead to a sync word: 1, 0, or -1 where
// the bytes to tell have not all come.
int LoasUnits::destroyed_then_sync(size_t end) const {
    constexpr size_t kHead = 16;  // (room for the payload lengths)
    const size_t size = buf_.size(), head = end + 3;
    if (head + kHead > size && !ended_) return -1;
    if (head >= size) return 0;
    const size_t bytes = parser_.element_bytes(buf_.data() + head, std::min(kHead, size - head));
    if (!bytes) return 0;
    const size_t next = head + bytes;
    if (next + 2 > size) return ended_ ? 0 : -1;
    return buf_[next] == 0x56 && (buf_[next + 1] & 0xE0) == 0xE0 ? 1 : 0;
}

void LoasUnits::found_after_stretch() {
    if (watching_ && stretch_data_ && average_ && parser_.units_per_element()) {
        size_t lost = chained_frames(0, 0);
        if (!lost && 3 * stretch_ >= average_) lost = 1;
        for (; lost; --lost) lose();
    }
    watching_ = false;
}

void LoasUnits::release_held() {
    for (; !held_.empty(); held_.pop_front()) ready_.push_back(std::move(held_.front()));
    // (A frame that said a config which was not confirmed stays lost.)
    if (!parser_.doubting()) suspects_.clear();
}

void LoasUnits::reset() {
    base_ += buf_.size();
    buf_.clear();
    at_ = 0;
    ended_ = false;
    synced_ = false;
    watching_ = false;
    marks_.clear();
    ready_.clear();
    held_.clear();
    suspects_.clear();
    chain_end_ = SIZE_MAX;
}

bool LoasUnits::pop(std::vector<uint8_t>& unit, int64_t& time, uint32_t* config) {
    if (ready_.empty()) return false;
    Unit& u = ready_.front();
    unit.swap(u.bytes);
    time = u.time;
    if (config) *config = u.config;
    while (!configs_.empty() && configs_.front().first < u.config) configs_.pop_front();
    ready_.pop_front();
    return true;
}

// The time of the push that holds `pos`, once: the frames after the first
// one of a push count on from it.
int64_t LoasUnits::time_at(size_t pos) {
    int64_t t = kNoTime;
    while (!marks_.empty() && marks_.front().first <= pos) {
        t = marks_.front().second;
        marks_.pop_front();
    }
    return t;
}

void LoasUnits::split() {
    while (error_.empty()) {
        const size_t size = buf_.size();
        const auto step = [&] {
            const uint8_t byte = buf_[at_];
            synced_ = false;
            if (watching_ && base_ + at_ >= watch_from_) {
                if (stretch_ < kStretchKept) stretch_bytes_.push_back(byte);
                ++stretch_;
                stretch_data_ = stretch_data_ || (byte != 0 && byte != 0xFF);
            }
            ++at_, ++skipped_;
        };
        if (size - at_ < 3) {
            if (ended_)
                while (at_ < size) step();
            break;
        }
        const uint8_t* p = buf_.data() + at_;
        if (p[0] != 0x56 || (p[1] & 0xE0) != 0xE0) {
            step();
            continue;
        }
        const size_t length = static_cast<size_t>(p[1] & 0x1F) << 8 | p[2];
        size_t end = at_ + 3 + length;
        if (end > size && !ended_) break;  // more bytes to come
        const bool cut = end > size;
        if (cut) end = size;  // the last frame, cut short
        // Found by search, a sync word counts where its length leads to the
        // next one (or to the end of the stream, not past it: a sync word
        // in a frame's data with a length beyond the end swallowed the
        // frames after it). After a frame read whole the frame counts
        // anyway; a length that leads nowhere sends the search on from its
        // sync word.
        if (end + 2 > size && !ended_ && !(whole_ && end == size)) break;
        const bool leads =
            end + 2 > size ? !cut : buf_[end] == 0x56 && (buf_[end + 1] & 0xE0) == 0xE0;
        const size_t first = units_.size();
        LatmParser::Result r = LatmParser::Damaged;
        // A frame that stands alone: found past where the last frame read
        // whole led (the frame there destroyed), leading nowhere (the next
        // one destroyed too), on the stream's config (so reading it changes
        // nothing), whose payload lengths fill its length exactly, which a
        // sync word in other bytes matches about once in 256, and the next
        // one's, read 3 bytes into it, lead to a sync word. (Without the
        // last test, sync words in megabytes of junk read as frames.)
        bool alone = false;
        if (!synced_ && !leads) {
            if (watching_ && base_ + at_ > watch_from_ && !cut && end - at_ > 3 && (buf_[at_ + 3] & 0x80) &&
                parser_.configured()) {
                const int next = destroyed_then_sync(end);
                if (next < 0) break;  // more bytes to come
                if (next) {
                    r = parser_.element(buf_.data() + at_ + 3, end - at_ - 3, units_);
                    alone = r == LatmParser::Units && parser_.filled();
                    if (!alone) units_.resize(first);
                }
            }
            if (!alone) {
                step();
                continue;
            }
        } else {
            r = parser_.element(buf_.data() + at_ + 3, end - at_ - 3, units_, base_ + at_ == chain_end_);
        }
        chain_end_ = base_ + end;
        ++frames_;
        if (r == LatmParser::Unsupported || r == LatmParser::Changed) {
            error_ = parser_.error();
            break;
        }
        if (r == LatmParser::NoConfig) ++unconfigured_;
        found_after_stretch();
        if (r == LatmParser::Damaged) {
            // A frame where the last one led, or between two sync words, was
            // lost; one the search found only at the stream's end is as
            // likely junk. The search for the next frame starts after its
            // sync word (what it steps over is this frame's).
            if (synced_ || end + 2 <= size) lose();
            synced_ = false;
            at_ += 2;
            continue;
        }
        if (leads) average_ = average_ ? (7 * average_ + (end - at_) + 4) / 8 : end - at_;
        int64_t t = time_at(base_ + at_);
        if (r == LatmParser::Doubt) {
            // A config unlike the stream's: the frame is lost (its places
            // kept empty) unless the change to it is confirmed; its units,
            // read under it, are kept aside till then.
            suspect_alike_ = parser_.doubt_reads_alike();
            Suspect s{held_.size(), 0, {}, parser_.doubted()};
            lose();
            s.places = held_.size() - s.at;
            for (size_t i = first; i < units_.size(); ++i, t = kNoTime)
                s.units.push_back({std::move(units_[i]), t, config_, i == first});
            suspects_.push_back(std::move(s));
        } else {
            if (parser_.take_change()) {
                take_change();
            } else if (configs_.empty() && parser_.configured()) {
                // (The first config; pop() never drops the last one.)
                configs_.emplace_back(0, parser_.asc());
            }
            if (!parser_.doubting()) release_held();
            auto& to = parser_.doubting() ? held_ : ready_;
            for (size_t i = first; i < units_.size(); ++i, t = kNoTime)
                to.push_back({std::move(units_[i]), t, config_, i == first});
        }
        units_.clear();
        synced_ = leads;
        if (!leads && end < size) {
            // No sync word where this frame's length leads: what the search
            // steps over from there on may be the next frame, destroyed.
            watching_ = true;
            watch_from_ = base_ + end;
            stretch_ = 0;
            stretch_data_ = false;
            stretch_bytes_.clear();
        }
        at_ = leads || alone ? end : at_ + 2;
    }
    if (at_ >= 65536 || at_ == buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(at_));
        base_ += at_;
        at_ = 0;
    }
}
