// Container input for the command-line host: an AAC track of a file
// libavformat reads (MP4/.m4a/3GP, Matroska/WebM, MPEG-TS ...), access unit
// by access unit, with the timing the container gives (edit list, skip
// samples, iTunSMPB) for gapless output and the container's tags.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class LoasUnits;

// True when the bytes begin like an MP4/QuickTime file (an "ftyp" box).
bool looks_like_mp4(const uint8_t* head, size_t bytes);
// True when they begin like a container whose payload may hold what looks
// like ADTS frames: MPEG-TS (and its 192-byte form), Matroska/WebM, LOAS.
bool looks_like_container(const uint8_t* head, size_t bytes);

class AvReader {
public:
    AvReader();
    ~AvReader();
    // Opens AAC track `track` (1: the first) of `file`, whose first `head`
    // bytes have been read already. A file that can seek is read from its
    // start as the demuxer asks; a pipe is read whole first, since the index
    // of an MP4 file may follow its media data. `verbose`: libavformat's own
    // messages go to standard error (else they are silenced). False with a
    // message in `error` when the file cannot be read, holds no such AAC
    // track or no access unit, or the demuxer is not built in. A LOAS file
    // (.loas/.latm) is read here without libavformat; LATM tracks (MPEG-TS)
    // give their LOAS frames to the same reader (latm.h).
    bool open(FILE* file, const std::vector<uint8_t>& head, int track, bool verbose, std::string& error);
    // The next access unit of the track; false after the last.
    bool next(std::vector<uint8_t>& unit);
    // Goes back to the unit that holds time `ts` (time base units) or one
    // before it; the next unit read is there. False when the demuxer cannot
    // land there (the input is then read from its start).
    bool seek(int64_t ts);
    // Bytes of the file read so far.
    uint64_t position() const;

    // From the AudioSpecificConfig (codec/dec/asc.h), or from the ADTS
    // header of the first unit when the units carry them (adts_units).
    uint32_t object_type = 0;  // its first audio object type (2: AAC-LC; 5, 29: HE-AAC signalled explicitly)
    uint32_t rate = 0;         // of the AAC core, also when SBR is signalled behind AAC-LC
    uint32_t channels = 0;     // channel configuration (0: given by a program config element)
    int sbr_signalled = 0;           // SBR: 0 not signalled, 1 signalled, 2 downsampled (output at the core rate),
                                     // plus 4 with parametric stereo signalled
    std::vector<uint8_t> asc_bytes;  // the AudioSpecificConfig
    bool asc_whole = false;          // it reads to its end (not cut short behind the header fields)
    bool adts_units = false;         // the units are ADTS frames (MPEG-TS carries them so)
    bool is_mp4 = false;             // an MP4/QuickTime/3GP file (its end is exact: edit list, index)
    std::string container;           // the demuxer's name for it, e.g. "matroska"
    bool latm = false;               // the units come out of LOAS frames (a LOAS file, a LATM track)
    // The track carries no AudioSpecificConfig (an MP4 file written before
    // its first unit was known: ffmpeg's fragmented MP4 from ADTS, say).
    // Its config is then made here: AAC-LC at the rate its sample entry
    // gives, with one or two channels where the first unit begins with a
    // single channel element or a pair, else the entry's count (an MP4
    // entry's count is a template that muxers leave at 2). make_config()
    // takes another (the host tries layouts and rates on the first unit).
    bool config_made = false;
    uint32_t entry_rate = 0;  // the sample entry's rate and channel count (config_made)
    int entry_channels = 0;
    void make_config(uint32_t hz, uint32_t channel_configuration);
    // The first unit while it waits to be read (else null).
    const std::vector<uint8_t>* waiting_unit() const;
    // Why the units ended before the input did (a LATM stream whose config
    // changes and is not followed, or that turns to a form not read), or
    // empty.
    std::string stop_error;
    // A LATM stream whose config changes (said by two configs in a row)
    // is followed: set before open by a user that reopens its decoder when
    // next() sets config_changed (the fields above are then the new
    // config's); else the units end there (stop_error).
    bool follow_configs = false;
    bool config_changed = false;
    uint64_t config_changes = 0;
    // LOAS frames dropped as damaged, and bytes passed in search of one.
    uint64_t latm_damaged() const;
    // LOAS frames before the stream's first config (a stream entered
    // between two), whose units could not be read.
    uint64_t latm_unconfigured() const;
    uint64_t latm_skipped_bytes() const;
    // Blocks missing from the track's timeline: a unit (an access unit, or
    // an ADTS frame) that starts a block or more after the one before it
    // ends (a recording that lost packets; up to three quarters of a block
    // is jitter) is preceded by an empty unit for each block missing (up to
    // kMaxGapUnits in one gap; a longer jump is taken for a discontinuity
    // and left as it is, counted in timeline_jumps).
    uint64_t missing_units = 0;
    uint64_t timeline_jumps = 0;
    static constexpr int64_t kMaxGapUnits = 1000;

    // Timing, in the track's time base tb_num / tb_den seconds.
    uint32_t tb_num = 1, tb_den = 1;
    uint32_t track_rate = 0;   // the rate the container gives the track (skip samples count at it)
    int64_t first_pts = 0;     // of the track's first unit
    bool has_skip = false;     // the first unit says how many samples to skip (edit list, codec delay)
    int64_t skip = 0;          // ... samples at track_rate
    int64_t start_pts = 0;     // of the first unit handed out by next() since open or seek
    int64_t end_pts = 0;       // the end of the units handed out so far, less the padding they say to discard
    bool discards = false;     // a unit said how many samples at its end to discard
    // iTunSMPB tag: priming, padding and length in samples at the output rate.
    bool smpb = false;
    uint64_t smpb_priming = 0, smpb_padding = 0, smpb_length = 0;
    // Tags of the file and the track: title, artist, album, ...
    std::vector<std::pair<std::string, std::string>> tags;

private:
    bool open_av(FILE* file, const std::vector<uint8_t>& head, int track, bool verbose, std::string& error);
    bool open_loas(FILE* file, const std::vector<uint8_t>& head, std::string& error);
    bool loas_next(std::vector<uint8_t>& unit);
    bool loas_seek(int64_t ts);
    const LoasUnits* latm_units() const;
    // A unit read under config number `n` of `units`: the fields above
    // become that config's where it is another than the last unit's.
    void take_config(const LoasUnits& units, uint32_t n);
    uint32_t config_ = 0;
    // The fields above from an AudioSpecificConfig; false with a message.
    bool take_asc(const uint8_t* asc, size_t size, std::string& error);
    // The length of a block in time base units, for the gaps in the times.
    void set_block_ticks();
    struct Impl;
    std::unique_ptr<Impl> impl_;
    struct LoasFile;
    std::unique_ptr<LoasFile> loas_;
};

// The demuxer this host was built with, e.g. "libavformat 59.27.100", or null.
const char* mp4_demuxer_version();
