// The command line of aacdec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wav_writer.h"
#include "zoraac.h"

struct Options {
    std::string input, output, plugin;
    std::string mode = "stream";
    bool mode_given = false;
    size_t chunk = 4096;
    bool raw = false, quiet = false, info = false;
    bool split = false, strict = false;
    uint32_t sbr = ZORAAC_SBR_FULL;  // HE-AAC at its full rate (exact arithmetic)
    bool sbr_small = false;          // the small SBR scratch record (layouts of more channels play their core)
    uint32_t rate = 0, channels = 0;
    bool downmix = true;  // more than two front channels as a stereo downmix (exact arithmetic)
    bool native = false;  // every channel of the stream, as a WAVE_FORMAT_EXTENSIBLE file
    bool verbose = false;  // libavformat's messages
    SampleFormat sample = SampleFormat::S16;
    std::string format;    // "wav", "raw", or empty: wav for files, raw for -
    bool gapless = true;   // trim what the container says is priming and padding
    uint64_t skip = 0, trim = 0;  // samples per channel to drop at the start and the end
    double start = 0, duration = -1;  // seconds (duration < 0: to the end)
    int track = 1;         // the Nth AAC track of a container
    std::vector<std::string> inputs;  // with -o: every input
    std::string outdir;
    bool summary = false;  // one summary line (several inputs)
    // The output's samples and container.
    bool wav() const { return format.empty() ? output != "-" : format == "wav"; }
};

// The options of a run; prints the help or the version and exits where asked,
// fails with a message on a wrong command line.
Options parse_args(int argc, char** argv);
