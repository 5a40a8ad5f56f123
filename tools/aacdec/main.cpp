// aacdec: command-line host for the AAC decode plug-in.
//
// Stream and frame modes load the plug-in with dlopen and drive AACInit /
// AACDecode / AACFinish as a media framework does. Pull mode has no
// plug-in entry: it drives the decoder's algorithm interface directly (linked
// in) and lets the decoder pull its input through the get-bits callback.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aac_plugin.h"
#include "probe.h"

namespace {

const char* kUsage =
    "usage: aacdec [options] INPUT OUTPUT\n"
    "Decodes AAC-LC (ADTS, ADIF or raw data blocks) to 16-bit stereo PCM.\n"
    "  INPUT             a file, or - for standard input\n"
    "  OUTPUT            a .wav file, or - for raw little-endian PCM on standard output\n"
    "  --mode M          stream (default): the input in byte pieces through the plug-in;\n"
    "                    frame: one ADTS frame per plug-in call;\n"
    "                    pull: the decoder pulls its input through its get-bits callback\n"
    "  --chunk BYTES     piece size in stream mode (default 4096)\n"
    "  --raw             headerless raw data blocks; needs --rate and --channels\n"
    "  --rate HZ         sampling rate of a raw stream\n"
    "  --channels 1|2    channel count of a raw stream\n"
    "  --plugin PATH     the plug-in library (default: libaacplugin.so beside aacdec)\n"
    "  --quiet           no report on standard error\n";

struct Options {
    std::string input, output, plugin;
    std::string mode = "stream";
    size_t chunk = 4096;
    bool raw = false, quiet = false;
    uint32_t rate = 0, channels = 0;
};

[[noreturn]] void fail(const char* fmt, const char* arg = "") {
    std::fprintf(stderr, "aacdec: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\n");
    std::exit(1);
}

bool parse_number(const char* s, uint32_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (errno || !end || *end || v > 0xFFFFFFFFul) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

Options parse_args(int argc, char** argv) {
    Options o;
    std::vector<std::string> pos;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) {
            if (i + 1 >= argc) fail("%s needs a value", name);
            return argv[++i];
        };
        uint32_t n = 0;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--mode") {
            o.mode = value("--mode");
            if (o.mode != "stream" && o.mode != "frame" && o.mode != "pull") fail("unknown mode %s", o.mode.c_str());
        } else if (a == "--chunk") {
            if (!parse_number(value("--chunk"), n) || n == 0) fail("--chunk needs a positive byte count");
            o.chunk = n;
        } else if (a == "--rate") {
            if (!parse_number(value("--rate"), o.rate)) fail("--rate needs a number of Hz");
        } else if (a == "--channels") {
            if (!parse_number(value("--channels"), o.channels) || o.channels < 1 || o.channels > 2)
                fail("--channels takes 1 or 2");
        } else if (a == "--raw") {
            o.raw = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--plugin") {
            o.plugin = value("--plugin");
        } else if (a.size() > 1 && a[0] == '-') {
            std::fputs(kUsage, stderr);
            fail("unknown option %s", a.c_str());
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 2) {
        std::fputs(kUsage, stderr);
        std::exit(2);
    }
    o.input = pos[0];
    o.output = pos[1];
    if (o.raw && (!o.rate || !o.channels)) fail("--raw needs --rate and --channels");
    return o;
}

std::vector<uint8_t> read_input(const std::string& name) {
    FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!f) fail("cannot open %s", (name + ": " + std::strerror(errno)).c_str());
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    const bool bad = std::ferror(f);
    if (f != stdin) std::fclose(f);
    if (bad) fail("cannot read %s", name.c_str());
    return data;
}

std::string plugin_beside_self() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./aacdec");
    const size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/libaacplugin.so";
}

// PCM sink: a WAV file (sizes patched at the end) or raw PCM on stdout.
class Sink {
public:
    Sink(const std::string& name, uint32_t rate) : rate_(rate) {
        if (name == "-") {
            f_ = stdout;
            wav_ = false;
        } else {
            f_ = std::fopen(name.c_str(), "wb");
            if (!f_) fail("cannot write %s", (name + ": " + std::strerror(errno)).c_str());
            header(0);
        }
    }
    void write(const uint8_t* pcm, size_t bytes) {
        if (bytes && std::fwrite(pcm, 1, bytes, f_) != bytes) fail("cannot write the output: %s", std::strerror(errno));
        bytes_ += bytes;
    }
    void close() {
        if (wav_) {
            if (std::fseek(f_, 0, SEEK_SET) != 0) fail("cannot finish the WAV header");
            header(static_cast<uint32_t>(bytes_));
        }
        if (std::fflush(f_) != 0 || (f_ != stdout && std::fclose(f_) != 0)) fail("cannot write the output: %s", std::strerror(errno));
    }
    uint64_t bytes() const { return bytes_; }
    // The rate the header gets when the output is closed.
    void set_rate(uint32_t rate) { rate_ = rate; }

private:
    void header(uint32_t data_bytes) {
        uint8_t h[44];
        auto put32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i)); };
        auto put16 = [&](int at, uint16_t v) { h[at] = static_cast<uint8_t>(v); h[at + 1] = static_cast<uint8_t>(v >> 8); };
        std::memcpy(h, "RIFF", 4);
        put32(4, 36 + data_bytes);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put32(16, 16);
        put16(20, 1);  // PCM
        put16(22, 2);
        put32(24, rate_);
        put32(28, rate_ * 4);
        put16(32, 4);
        put16(34, 16);
        std::memcpy(h + 36, "data", 4);
        put32(40, data_bytes);
        write_raw(h, sizeof h);
    }
    void write_raw(const uint8_t* p, size_t n) {
        if (std::fwrite(p, 1, n, f_) != n) fail("cannot write the output: %s", std::strerror(errno));
    }
    FILE* f_ = nullptr;
    bool wav_ = true;
    uint32_t rate_;
    uint64_t bytes_ = 0;
};

class Progress {
public:
    Progress(bool on, size_t total) : on_(on && isatty(STDERR_FILENO)), total_(total) {}
    void update(size_t done) {
        if (!on_ || total_ == 0) return;
        const int pct = static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total_));
        if (pct != last_) std::fprintf(stderr, "\raacdec: %3d%%", pct), last_ = pct;
    }
    void done() {
        if (on_ && last_ >= 0) std::fprintf(stderr, "\r             \r");
    }

private:
    bool on_;
    size_t total_;
    int last_ = -1;
};

struct Result {
    uint64_t blocks = 0;
    uint32_t sample_rate = 0;
    bool have_status = false;
    KVXD_Status status{};
};

// ---- plug-in modes ----

Result run_plugin(const Options& o, const Probe& p, const std::vector<uint8_t>& in, Sink& sink) {
    const std::string path = o.plugin.empty() ? plugin_beside_self() : o.plugin;
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) fail("cannot load the plug-in: %s", dlerror());
    auto get = reinterpret_cast<const AACPlugin* (*)(void)>(dlsym(lib, "GetZorAudioDecodePlugin"));
    if (!get) fail("%s is not an audio decode plug-in", path.c_str());
    const AACPlugin* plugin = get();

    const bool frame = o.mode == "frame";
    uint32_t flags = frame ? 0u : static_cast<uint32_t>(ZOR_STREAM_STREAMING);
    if (p.kind == Probe::Raw) flags |= ZOR_STREAM_RAW;
    ZorStreamInfo info = {ZOR_STREAM_INFO_VERSION, p.channels, p.rate, 0, flags};
    if (plugin->init(&info) != 0) fail("the plug-in refused the stream (%s)", (std::to_string(p.rate) + " Hz").c_str());

    Result r;
    Progress progress(!o.quiet, in.size());
    // The plug-in takes a piece whole only with room for every block it can complete.
    auto room_for = [frame](size_t bytes) { return aac_output_room(static_cast<uint32_t>(bytes), frame); };
    std::vector<uint8_t> pcm;
    auto decode = [&](const uint8_t* data, size_t n) {
        pcm.resize(room_for(n));
        ZorBuffer ib{}, ob{};
        ib.data = const_cast<uint8_t*>(data);
        ib.size = static_cast<uint32_t>(n);
        ob.data = pcm.data();
        ob.size = static_cast<uint32_t>(pcm.size());
        const int got = plugin->decode(&ib, &ob);
        if (got < 0) fail("the plug-in refused a piece of the input");
        sink.write(pcm.data(), static_cast<size_t>(got));
        r.blocks += static_cast<uint64_t>(got) / 4096;
        if (got > 0 && !r.sample_rate) r.sample_rate = ob.sampleRate;
    };

    if (frame) {
        for (const Span& f : split_adts(in)) {
            decode(in.data() + f.offset, f.size);
            progress.update(f.offset + f.size);
        }
    } else {
        for (size_t at = 0; at < in.size(); at += o.chunk) {
            decode(in.data() + at, std::min(o.chunk, in.size() - at));
            progress.update(std::min(at + o.chunk, in.size()));
        }
        // The plug-in stages input in 256-byte pieces and the decoder takes a
        // frame only once what follows it is buffered: push the tail through.
        const std::vector<uint8_t> pad = end_padding(p, in);
        decode(pad.data(), pad.size());
    }
    progress.done();
    plugin->finish();
    dlclose(lib);
    return r;
}

// ---- pull mode ----

struct PullSource {
    std::vector<uint16_t> words;
    size_t at = 0;
};
PullSource g_source;

uint16_t pull_words(int request, const uint16_t** words) {
    const size_t n = std::min(static_cast<size_t>(request), g_source.words.size() - g_source.at);
    *words = g_source.words.data() + g_source.at;
    g_source.at += n;
    return static_cast<uint16_t>(n);
}

Result run_pull(const Options& o, const Probe& p, const std::vector<uint8_t>& in, Sink& sink) {
    int index = rate_index(p.rate);
    if (index < 0) fail("unsupported sample rate %s", (std::to_string(p.rate) + " Hz").c_str());
    IKVXD_Params params = IKVXD_PARAMS;
    params.frameMode = 0;
    KVXD_ModuleInfo module;
    KVXD_init(&module);
    IALG_Handle h = KVXD_createStatic(&params, nullptr);
    if (!h) fail("cannot create the decoder");
    KVXD_Status st{};
    st.numChannels = static_cast<uint16_t>(p.channels == 1 ? 1 : 0);
    st.sampleRateIndex = static_cast<uint32_t>(index);
    st.rawStream = p.kind == Probe::Raw;
    KVXD_control(h, KVXD_SETPARAMS, &st);
    static int16_t pcm[4096];
    KVXD_setOutputBuffer(h, pcm);

    std::vector<uint8_t> bytes = in;
    const std::vector<uint8_t> pad = end_padding(p, in);
    bytes.insert(bytes.end(), pad.begin(), pad.end());
    g_source.words = to_words(bytes);
    g_source.at = 0;
    KVXD_KELVARIS_setGetBitsCallback(h, pull_words);

    Result r;
    Progress progress(!o.quiet, g_source.words.size());
    // Every call decodes at most one block; once the source is dry a call
    // that yields nothing ends the run.
    for (;;) {
        const uint16_t got = KVXD_process(h, nullptr, 0);
        if (got) {
            uint16_t n = 0;
            const int16_t* samples = KVXD_getSamples(h, &n);
            sink.write(reinterpret_cast<const uint8_t*>(samples), n * 2u);
            ++r.blocks;
            KVXD_control(h, KVXD_GETSTATUS, &r.status);
            if (!r.sample_rate) r.sample_rate = r.status.sampleRate;
        } else if (g_source.at >= g_source.words.size()) {
            break;
        }
        progress.update(g_source.at);
    }
    progress.done();
    // The status as of the last block: what the end padding stirs up after it
    // (a header that promises a frame never sent, or zero bytes taken for a
    // block) is no part of the stream.
    if (!r.blocks) KVXD_control(h, KVXD_GETSTATUS, &r.status);
    r.have_status = true;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_args(argc, argv);
    const std::vector<uint8_t> in = read_input(o.input);
    Probe p = o.raw ? Probe{Probe::Raw, o.rate, o.channels, 1, 0} : probe(in);
    if (p.kind == Probe::None) fail("%s: no ADTS or ADIF stream found (use --raw for raw data blocks)", o.input.c_str());
    if (rate_index(p.rate) < 0) fail("unsupported sample rate %s", (std::to_string(p.rate) + " Hz").c_str());
    if (o.mode == "frame" && p.kind != Probe::Adts) fail("frame mode needs an ADTS stream");

    Sink sink(o.output, p.rate);
    const Result r = o.mode == "pull" ? run_pull(o, p, in, sink) : run_plugin(o, p, in, sink);
    // The WAV header takes the rate the decoder reported for its first block.
    if (r.sample_rate) sink.set_rate(r.sample_rate);
    sink.close();

    const uint64_t expected = p.kind == Probe::Adts ? split_adts(in).size() : 0;
    if (!o.quiet) {
        std::fprintf(stderr, "aacdec: %s, %s, %u Hz, %u channel%s, profile %u\n", o.input.c_str(), p.name(), p.rate,
                     p.channels, p.channels == 1 ? "" : "s", p.profile);
        std::fprintf(stderr, "aacdec: %llu blocks decoded", static_cast<unsigned long long>(r.blocks));
        if (expected) std::fprintf(stderr, " of %llu frames", static_cast<unsigned long long>(expected));
        std::fprintf(stderr, ", %llu bytes of PCM\n", static_cast<unsigned long long>(sink.bytes()));
        if (r.have_status)
            std::fprintf(stderr, "aacdec: status: %u Hz, %u channels, bit rate %u, profile %u, errors %u, last error %u, "
                         "%u blocks concealed\n",
                         r.status.sampleRate, r.status.numChannels, r.status.bitRate, r.status.profile,
                         r.status.errorCount, r.status.lastError, r.status.concealedCount);
        else if (expected && r.blocks < expected)
            std::fprintf(stderr, "aacdec: %llu frames could not be decoded\n",
                         static_cast<unsigned long long>(expected - r.blocks));
    }
    if (r.blocks == 0) fail("no audio block could be decoded from %s", o.input.c_str());
    return 0;
}
