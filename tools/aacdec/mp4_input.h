// .m4a/.mp4 input for the command-line host: the first AAC track of an MP4
// (ISO base media) file, read through libavformat, as raw data blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "probe.h"

struct Mp4Track {
    uint32_t object_type = 0;  // audio object type of the AudioSpecificConfig (2: AAC-LC)
    uint32_t rate = 0;
    uint32_t channels = 0;     // channel configuration (0: given by a program config element)
    std::vector<uint8_t> data;  // the access units, back to back
    std::vector<Span> units;    // each access unit within `data`
};

// True when the bytes begin like an MP4/QuickTime file (an "ftyp" box).
bool looks_like_mp4(const std::vector<uint8_t>& head);
// Reads the first AAC track; false with a message in `error` when the file
// cannot be read, holds no AAC track, or the demuxer is not built in.
bool read_mp4(const std::vector<uint8_t>& file, Mp4Track& track, std::string& error);
// The demuxer this host was built with, e.g. "libavformat 59.27.100", or null.
const char* mp4_demuxer_version();
