// LATM/LOAS input: the access units and the AudioSpecificConfig of an AAC
// stream carried in LOAS frames (an AudioSyncStream: an 11-bit sync word
// 0x2B7, a 13-bit length and one AudioMuxElement with its StreamMuxConfig
// in band), as .loas/.latm files and MPEG-TS audio of stream type 0x11
// carry it.
//
// What encoders write is read: audioMuxVersion 0 and 1, every stream with
// the same time framing, one program of one layer, payload lengths in bytes
// (frameLengthType 0), configs repeated or left out (useSameStreamMux);
// other data and the checksum are read past. Anything else is refused by
// name. Every read stays inside the bytes given: a damaged frame is dropped
// and the search for the next one starts after its sync word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// True when the bytes begin with a LOAS sync word whose length leads to a
// second one.
bool looks_like_loas(const uint8_t* head, size_t bytes);

// The payloads of AudioMuxElements (muxConfigPresent = 1), one at a time.
class LatmParser {
public:
    enum Result {
        Units,        // access units were appended
        NoConfig,     // no StreamMuxConfig has come yet: the element cannot be read
        Damaged,      // the element does not read (cut short, lengths beyond its end)
        Unsupported,  // a feature named in error(), in two configs in a row: the stream cannot be played
        Changed,      // two configs in a row give an AudioSpecificConfig other than the stream's (error()),
                      // and changes are not followed
        Doubt         // a config unlike the stream's, the first: its element's units were read under it
    };
    // One AudioMuxElement in data[0..size); its access units go to `units`.
    // `chained`: it begins where the frame before it ended (a feature not
    // read ends the stream only when two such frames in a row name it: sync
    // words in junk lead to each other about once in 2048, and hardly ever
    // twice with the same complaint).
    Result element(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>& units, bool chained = false);
    // A config that changes, said by two configs in a row, is taken on
    // (Units, with changed()) instead of ending the stream.
    void follow_changes() { follow_ = true; }
    // The element read last took on a new config (once).
    bool take_change() {
        const bool c = changed_;
        changed_ = false;
        return c;
    }
    // The config in doubt reads its elements as the stream's does (the
    // units read under the stream's config while in doubt are its own).
    bool doubt_reads_alike() const { return suspect_mux_.sub_frames == mux_.sub_frames && !mux_.other_data && !suspect_mux_.other_data; }
    bool configured() const { return configured_; }
    // The AudioSpecificConfig of the stream's StreamMuxConfig, whole bytes
    // (the bits after its end are zero): the first one, or the last one
    // taken on.
    const std::vector<uint8_t>& asc() const { return asc_; }
    const std::string& error() const { return error_; }
    // Access units an element carries (0 before the first config).
    uint32_t units_per_element() const { return configured_ ? mux_.sub_frames : 0; }
    // A config unlike the stream's was read once: the next one says
    // whether the stream changed.
    bool doubting() const { return !suspect_.empty(); }
    const std::vector<uint8_t>& doubted() const { return suspect_; }
    // The last element that gave units ends in its last byte (no other
    // data, no checksum): its length agrees with its payload lengths.
    bool filled() const { return filled_; }
    // The bytes an element that begins with head[0 .. head_bytes) and
    // carries no config takes, from its payload lengths (all within the
    // head); 0 where the head cannot tell, or the stream's elements carry
    // other data.
    size_t element_bytes(const uint8_t* head, size_t head_bytes) const;

private:
    struct Bits;
    // How a config lays its elements out.
    struct Mux {
        uint32_t sub_frames = 0;
        bool other_data = false;
        uint64_t other_data_bits = 0;
    };
    Result mux_config(Bits& b);
    Result payload(Bits& b, const Mux& m, std::vector<std::vector<uint8_t>>& units);
    bool configured_ = false;
    bool follow_ = false, changed_ = false;
    Mux mux_, suspect_mux_;
    std::vector<uint8_t> asc_;
    std::vector<uint8_t> suspect_;  // a config unlike the stream's, seen once
    // The last config read and its length in bits (the search for its
    // length is not made again for the same bits).
    std::vector<uint8_t> known_;
    size_t known_bits_ = 0;
    // An AudioSpecificConfig takes fewer bits (a program config element
    // with a comment of 255 bytes, about 2,300).
    static constexpr size_t kMaxAscBits = 4096;
    int unsupported_ = 0;           // configs in a row not read
    std::string unsupported_error_; // what the last of them said
    bool filled_ = false;
    std::string error_;
};

// LOAS frames out of bytes pushed in as they come (a file read in pieces,
// container packets), their access units out in order, each with the time
// of the push its frame begins in (the first unit of a push has it; later
// ones: none, the reader counts on from it). A frame lost to damage after
// the first config leaves its units' places as empty units: one that does
// not read, and one whose sync word was destroyed after a frame read whole
// (the bytes the search steps over to the next sync word are not fill
// alone, 0x00 and 0xFF, and either hold a third of the stream's average
// frame or more, or are shaped as frames: elements end to end, each
// beginning 3 bytes into its frame, whose payload lengths fill the stretch
// exactly, which other bytes match about once in 500; then each of them is
// a lost frame). The frame after such a one is read even when the sync
// word after it is destroyed as well, where its payload lengths fill it
// exactly and the next frame's lead to a sync word. Bytes after the last
// frame count only as such a chain.
class LoasUnits {
public:
    static constexpr int64_t kNoTime = INT64_MIN;
    // `whole`: the bytes end where a frame ends (a parser framed them): a
    // frame that ends with them is read without waiting for the next sync
    // word.
    void push(const uint8_t* data, size_t size, int64_t time = kNoTime, bool whole = false);
    // No more bytes: a last frame cut short is judged as it is.
    void finish();
    // The next access unit, false when none is ready (push more) or after
    // an error; `config`: the number of the config it is read under (0,
    // the first; each change followed, the next), config() its bytes.
    bool pop(std::vector<uint8_t>& unit, int64_t& time, uint32_t* config = nullptr);
    // A config that changes, said by two configs in a row, is taken on
    // instead of ending the stream: the frame that first said it and those
    // after it are read under it.
    void follow_changes() { parser_.follow_changes(); }
    const std::vector<uint8_t>& config(uint32_t n) const;
    // Bytes held are dropped (a seek); the config is kept.
    void reset();
    const LatmParser& parser() const { return parser_; }
    // A fault that ends the stream (unsupported, a changed config), or empty.
    const std::string& error() const { return error_; }
    uint64_t frames() const { return frames_; }            // LOAS frames read
    uint64_t damaged() const { return damaged_; }          // frames lost to damage (their units empty)
    uint64_t unconfigured() const { return unconfigured_; }  // frames before the first config, passed over
    uint64_t skipped_bytes() const { return skipped_; }    // bytes passed in search of a sync word

private:
    void split();
    void release_held();  // the units held go out, in order, before any read after them
    void take_change();   // the config in doubt is the stream's from its first frame on
    void lose();          // a frame lost: empty units in its place
    // A frame found after one read whole and a stretch stepped over.
    void found_after_stretch();
    int64_t time_at(size_t pos);
    std::vector<uint8_t> buf_;
    size_t base_ = 0;  // position in the stream of buf_[0]
    size_t at_ = 0;
    bool ended_ = false;
    bool whole_ = false;   // the bytes pushed last end with a frame
    bool synced_ = false;  // the frame at at_ follows one read whole
    std::deque<std::pair<size_t, int64_t>> marks_;  // where a push with a time began
    LatmParser parser_;
    struct Unit {
        std::vector<uint8_t> bytes;
        int64_t time;
        uint32_t config;
        bool first;  // the first of its frame's units
    };
    std::deque<Unit> ready_;
    // Units read under the stream's config while another config is in
    // doubt: they go out once a config confirms the stream's (or at the
    // stream's end), and as the new config's when the change is confirmed.
    std::deque<Unit> held_;
    // The frames that said configs unlike the stream's while in doubt:
    // their places in held_ (empty units: lost frames, unless the change
    // to their config is confirmed), their units and their configs.
    struct Suspect {
        size_t at, places;
        std::vector<Unit> units;
        std::vector<uint8_t> config;
    };
    std::vector<Suspect> suspects_;
    bool suspect_alike_ = false;  // the last one lays its elements out as the stream's config
    uint32_t config_ = 0;  // the number of the config units are read under
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> configs_;  // those read under, not yet popped past
    size_t chain_end_ = SIZE_MAX;  // where the frame read last ends, in the stream
    std::vector<std::vector<uint8_t>> units_;
    std::string error_;
    // Frames whose sync words alone were destroyed, end to end, that fill
    // the stretch: their count, or 0.
    size_t chained_frames(size_t from, int depth) const;
    int destroyed_then_sync(size_t end) const;
    uint64_t frames_ = 0, damaged_ = 0, skipped_ = 0, unconfigured_ = 0;
    // The average bytes of the frames read whole, and the stretch the
    // search stepped over from watch_from_ (in the stream), where the next
    // sync word should have stood after a frame read whole (watching; data:
    // not fill alone).
    size_t average_ = 0, stretch_ = 0, watch_from_ = 0;
    bool watching_ = false, stretch_data_ = false;
    std::vector<uint8_t> stretch_bytes_;  // the stretch, up to kStretchKept bytes
    static constexpr size_t kStretchKept = 4 * 8195;
};
