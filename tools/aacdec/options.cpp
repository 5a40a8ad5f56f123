#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "av_input.h"
#include "cli.h"
#include "dsp/arithmetic.h"

namespace {

const char* kUsage =
    "usage: aacdec [options] INPUT OUTPUT\n"
    "       aacdec [options] -o DIR INPUT...\n"
    "       aacdec --info INPUT\n"
    "Decodes AAC-LC and HE-AAC (ADTS, ADIF, raw data blocks, or an AAC track of an\n"
    ".m4a/.mp4/3GP, Matroska/WebM or MPEG-TS file, or LOAS/LATM) to PCM.\n"
    "  INPUT             a file, or - for standard input\n"
    "  OUTPUT            a .wav file, or - for PCM on standard output (raw unless -f wav)\n"
    "  -o, --output-dir DIR  decode every INPUT to DIR/NAME.wav (.raw with -f raw),\n"
    "                    one summary line each; the exit status is the worst of them\n"
    "  -i, --info        print transport, rate, channels, object type, frames, exact\n"
    "                    duration, priming/padding/delay, bit rate and tags; no PCM\n"
    "  -b, --bits B      16 (default), 24, 32 or float: samples of the output; 24, 32\n"
    "                    and float carry the decoder's bits below the 16-bit LSB\n"
    "                    (exact arithmetic, library modes)\n"
    "  -f, --format F    wav (default for files) or raw (default for -)\n"
    "  --no-gapless      keep the encoder's priming and padding of an MP4 file\n"
    "                    (default: trimmed as its edit list or iTunSMPB says, and\n"
    "                    HE-AAC's decoder delay with them)\n"
    "  --skip N, --trim N  drop N samples per channel (at the output rate) at the\n"
    "                    start / at the end, e.g. an ADTS stream's encoder delay\n"
    "  --start TIME      begin at TIME (seconds, or [hh:]mm:ss.xxx)\n"
    "  --duration TIME   write at most TIME of PCM\n"
    "  --track N         the Nth AAC track of a container (default 1)\n"
    "  --mode M          stream (default): the input in byte pieces; frame: one ADTS\n"
    "                    frame per decoder call; pull: the decoder pulls its input\n"
    "                    through its get-bits callback. Container access units go\n"
    "                    one per call in stream and frame mode\n"
    "  --chunk BYTES     piece size in stream mode (default 4096)\n"
    "  --raw             headerless raw data blocks; needs --rate and --channels\n"
    "  --rate HZ         sampling rate of a raw stream\n"
    "  --channels N      channel count (1 or 2) of a raw stream; or stereo (the\n"
    "                    default: mono doubled, more channels as a stereo downmix) or\n"
    "                    native: the stream's own channels (mono stays mono; more\n"
    "                    than two in the exact arithmetic), a WAVE_FORMAT_EXTENSIBLE\n"
    "                    file with the channel mask of the channel configuration\n"
    "  --plugin PATH     stream and frame mode through this plug-in (libaacplugin.so,\n"
    "                    which needs the host library libcomzorc.so) instead of\n"
    "                    libzoraac; frame mode is the default for containers then\n"
    "  --sbr off|full|down[sampled]  HE-AAC: full (default) decodes the SBR band at twice the\n"
    "                    core rate (a build with SBR; a stream configured for\n"
    "                    downsampled SBR at its core rate); down plays every HE-AAC\n"
    "                    stream at its core rate, its SBR band up to the core's\n"
    "                    Nyquist frequency; off plays the AAC-LC core alone\n"
    "  --sbr-memory small|fast  HE-AAC: small takes the SBR scratch record that makes the\n"
    "                    high band a few slots at a time (9 KB less, 12 to 27 %\n"
    "                    more time, the same PCM; HE-AAC layouts of more than two\n"
    "                    channels then play their core); fast (default) the other\n"
"  --no-downmix      refuse streams of more than two front channels instead of\n"
    "                    playing them as a stereo downmix (the compact arithmetic\n"
    "                    always refuses them)\n"
    "  --split           where the stream changes to another rate, go on in a new\n"
    "                    WAV file: OUTPUT with -2, -3 ... before its extension\n"
    "                    (without it the WAV file ends at the change)\n"
    "  --strict          exit status 2 when anything was concealed, dropped or\n"
    "                    skipped (after writing what was decoded)\n"
    "  --cpu-mask MASK   CPU features the decoder's kernels may use (0 forces the\n"
    "                    portable reference; sets AAC_CPU_MASK for the decoder)\n"
    "  -q, --quiet       no report on standard error\n"
    "  -v, --verbose     libavformat's own messages too\n"
    "  -V, --version     print the version and exit\n"
    "  -h, --help        print this help and exit\n"
    "Arithmetic: " AAC_ARITHMETIC_NAME " (fixed when the decoder is built)\n";

// Seconds, or [hh:]mm:ss[.xxx]; negative when the text is none of them.
double parse_time(const char* s) {
    double total = 0;
    int parts = 0;
    const char* p = s;
    for (;;) {
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(p, &end);
        if (end == p || errno || v < 0 || !(v < 1e12)) return -1;
        total = total * 60 + v;
        // (No more than a time any stream lasts, 31 years: samples and
        // container ticks (up to 2^32 a second) counted from it stay
        // within 64 bits.)
        if (!(total < 1e9)) return -1;
        ++parts;
        if (*end == 0) break;
        if (*end != ':' || parts == 3) return -1;
        p = end + 1;
    }
    return total;
}


bool parse_number(const char* s, uint32_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (errno || !end || *end || v > 0xFFFFFFFFul) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

void print_version() {
    std::printf("aacdec %s\n", AAC_VERSION);
    const char* demuxer = mp4_demuxer_version();
    std::printf("container input (.m4a/.mp4, Matroska, MPEG-TS; LOAS files are read without it): %s\n", demuxer ? demuxer : "not built in (no libavformat)");
}

// A wrong command line: its message, the usage on request, and status 2.
[[noreturn]] void usage_error(const char* fmt, const char* arg = "", bool usage = false) {
    if (usage) std::fputs(kUsage, stderr);
    std::fprintf(stderr, "aacdec: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

}  // namespace

Options parse_args(int argc, char** argv) {
    enum {
        kMode = 256, kChunk, kRaw, kRate, kChannels, kPlugin, kCpuMask, kSplit, kStrict, kSbr, kSbrMemory, kNoDownmix,
        kNoGapless, kSkip, kTrim, kStart, kDuration, kTrack
    };
    static const option kLong[] = {
        {"mode", required_argument, nullptr, kMode},     {"chunk", required_argument, nullptr, kChunk},
        {"raw", no_argument, nullptr, kRaw},             {"rate", required_argument, nullptr, kRate},
        {"channels", required_argument, nullptr, kChannels}, {"plugin", required_argument, nullptr, kPlugin},
        {"cpu-mask", required_argument, nullptr, kCpuMask}, {"sbr", required_argument, nullptr, kSbr},
        {"sbr-memory", required_argument, nullptr, kSbrMemory},
        {"no-downmix", no_argument, nullptr, kNoDownmix},
        {"split", no_argument, nullptr, kSplit},         {"strict", no_argument, nullptr, kStrict},
        {"no-gapless", no_argument, nullptr, kNoGapless}, {"skip", required_argument, nullptr, kSkip},
        {"trim", required_argument, nullptr, kTrim},     {"start", required_argument, nullptr, kStart},
        {"duration", required_argument, nullptr, kDuration}, {"track", required_argument, nullptr, kTrack},
        {"bits", required_argument, nullptr, 'b'},       {"format", required_argument, nullptr, 'f'},
        {"output-dir", required_argument, nullptr, 'o'}, {"verbose", no_argument, nullptr, 'v'},
        {"info", no_argument, nullptr, 'i'},             {"quiet", no_argument, nullptr, 'q'},
        {"version", no_argument, nullptr, 'V'},          {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    Options o;
    uint32_t n = 0;
    opterr = 0;  // our own messages
    int c;
    while ((c = getopt_long(argc, argv, ":iqvVhb:f:o:", kLong, nullptr)) != -1) {
        switch (c) {
        case 'h':
            std::fputs(kUsage, stdout);
            std::exit(0);
        case 'V':
            print_version();
            std::exit(0);
        case 'i':
            o.info = true;
            break;
        case 'q':
            o.quiet = true;
            break;
        case 'v':
            o.verbose = true;
            break;
        case 'b':
            if (std::strcmp(optarg, "16") == 0) o.sample = SampleFormat::S16;
            else if (std::strcmp(optarg, "24") == 0) o.sample = SampleFormat::S24;
            else if (std::strcmp(optarg, "32") == 0) o.sample = SampleFormat::S32;
            else if (std::strcmp(optarg, "float") == 0) o.sample = SampleFormat::F32;
            else usage_error("--bits takes 16, 24, 32 or float");
            break;
        case 'f':
            o.format = optarg;
            if (o.format != "wav" && o.format != "raw") usage_error("--format takes wav or raw");
            break;
        case 'o':
            o.outdir = optarg;
            break;
        case kNoGapless:
            o.gapless = false;
            break;
        case kSkip:
        case kTrim: {
            char* end = nullptr;
            errno = 0;
            const unsigned long long v = std::strtoull(optarg, &end, 10);
            // (At most 2^40 samples, more than a year at 96 kHz: the sample
            // positions they shift stay far inside 64 bits.)
            if (errno || !*optarg || *end || *optarg == '-' || v > (1ull << 40))
                usage_error("%s needs a number of samples (up to 2^40)", c == kSkip ? "--skip" : "--trim");
            (c == kSkip ? o.skip : o.trim) = v;
            break;
        }
        case kStart:
            if ((o.start = parse_time(optarg)) < 0) usage_error("--start needs a time: seconds, or [hh:]mm:ss.xxx");
            break;
        case kDuration:
            if ((o.duration = parse_time(optarg)) < 0) usage_error("--duration needs a time: seconds, or [hh:]mm:ss.xxx");
            break;
        case kTrack:
            if (!parse_number(optarg, n) || n == 0) usage_error("--track needs a track number from 1");
            o.track = static_cast<int>(n);
            break;
        case kMode:
            o.mode = optarg;
            o.mode_given = true;
            if (o.mode != "stream" && o.mode != "frame" && o.mode != "pull") usage_error("unknown mode %s", o.mode.c_str());
            break;
        case kChunk:
            if (!parse_number(optarg, n) || n == 0) usage_error("--chunk needs a positive byte count");
            o.chunk = n;
            break;
        case kRate:
            if (!parse_number(optarg, o.rate)) usage_error("--rate needs a number of Hz");
            break;
        case kChannels:
            if (std::strcmp(optarg, "native") == 0) {
                o.native = true;
                o.downmix = false;
            } else if (std::strcmp(optarg, "stereo") != 0 &&
                       (!parse_number(optarg, o.channels) || o.channels < 1 || o.channels > 2)) {
                usage_error("--channels takes stereo, native, or 1 or 2 (raw streams)");
            }
            break;
        case kRaw:
            o.raw = true;
            break;
        case kPlugin:
            o.plugin = optarg;
            break;
        case kSplit:
            o.split = true;
            break;
        case kStrict:
            o.strict = true;
            break;
        case kSbr:
            if (std::strcmp(optarg, "off") == 0) o.sbr = ZORAAC_SBR_OFF;
            else if (std::strcmp(optarg, "full") == 0) o.sbr = ZORAAC_SBR_FULL;
            else if (std::strcmp(optarg, "down") == 0 || std::strcmp(optarg, "downsampled") == 0)
                o.sbr = ZORAAC_SBR_DOWNSAMPLED;
            else usage_error("--sbr takes off, full or down(sampled)");
            break;
        case kSbrMemory:
            if (std::strcmp(optarg, "small") == 0) o.sbr_small = true;
            else if (std::strcmp(optarg, "fast") == 0) o.sbr_small = false;
            else usage_error("--sbr-memory takes small or fast");
            break;
        case kNoDownmix:
            o.downmix = false;
            break;
        case kCpuMask: {
            char* end = nullptr;
            std::strtoul(optarg, &end, 0);
            if (!*optarg || *end) usage_error("--cpu-mask needs a number (0x... for hexadecimal)");
            // Read by the decoder when it first starts: in libzoraac, the plug-in or pull mode.
            setenv("AAC_CPU_MASK", optarg, 1);
            break;
        }
        case ':':
            usage_error("%s needs a value", argv[optind - 1]);
        default: {  // an unknown letter in optopt; a long option, unknown or given a value it does not take
            const std::string arg = argv[optind - 1];
            if (arg.compare(0, 2, "--") == 0)
                usage_error(optopt ? "%s takes no value" : "unknown option %s", arg.substr(0, arg.find('=')).c_str(), true);
            usage_error("unknown option %s", (std::string("-") + static_cast<char>(optopt)).c_str(), true);
        }
        }
    }
    const int positional = argc - optind;
    if (!o.outdir.empty() && !o.info) {
        if (positional < 1) {
            std::fputs(kUsage, stderr);
            std::exit(2);
        }
        o.inputs.assign(argv + optind, argv + argc);
        o.input = o.inputs[0];
    } else {
        if (positional != (o.info ? 1 : 2)) {
            std::fputs(kUsage, stderr);
            std::exit(2);
        }
        o.input = argv[optind];
        if (!o.info) o.output = argv[optind + 1];
    }
    if (o.raw && (!o.rate || !o.channels)) usage_error("--raw needs --rate and --channels");
    if (o.split && (o.output == "-" || !o.wav())) usage_error("--split writes WAV files; the output is raw PCM");
    if (o.native && (o.raw || !o.plugin.empty() || o.mode == "pull"))
        usage_error("--channels native decodes through the library: stream or frame mode, without --raw or --plugin");
    return o;
}
