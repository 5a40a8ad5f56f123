// .m4a/.mp4 input for the command-line host: the first AAC track of an MP4
// (ISO base media) file, read through libavformat access unit by access unit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// True when the bytes begin like an MP4/QuickTime file (an "ftyp" box).
bool looks_like_mp4(const uint8_t* head, size_t bytes);

class Mp4Reader {
public:
    Mp4Reader();
    ~Mp4Reader();
    // Opens the first AAC track of `file`, whose first `head` bytes have been
    // read already. A file that can seek is read from its start as the
    // demuxer asks; a pipe is read whole first, since the index of an MP4
    // file may follow its media data. False with a message in `error` when
    // the file cannot be read, holds no AAC track or no access unit, or the
    // demuxer is not built in.
    bool open(FILE* file, const std::vector<uint8_t>& head, std::string& error);
    // The next access unit of the track; false after the last.
    bool next(std::vector<uint8_t>& unit);
    // Bytes of the file read so far.
    uint64_t position() const;

    // From the AudioSpecificConfig (codec/dec/asc.h).
    uint32_t object_type = 0;  // its first audio object type (2: AAC-LC; 5, 29: HE-AAC signalled explicitly)
    uint32_t rate = 0;         // of the AAC core, also when SBR is signalled behind AAC-LC
    uint32_t channels = 0;     // channel configuration (0: given by a program config element)
    int sbr_signalled = 0;           // SBR: 0 not signalled, 1 signalled, 2 downsampled (output at the core rate),
                                     // plus 4 with parametric stereo signalled
    std::vector<uint8_t> asc_bytes;  // the AudioSpecificConfig
    bool asc_whole = false;          // it reads to its end (not cut short behind the header fields)

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The demuxer this host was built with, e.g. "libavformat 59.27.100", or null.
const char* mp4_demuxer_version();
