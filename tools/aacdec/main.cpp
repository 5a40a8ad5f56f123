// aacdec: command-line host that loads the AAC decode plug-in the way a media
// framework does and feeds it a file.
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

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: aacdec [--plugin PATH] [--rate HZ] [--channels 1|2] [--raw] INPUT\n"
                 "Loads the plug-in, initialises it for the stream and feeds it INPUT.\n");
}

std::string default_plugin(const char* argv0) {
    std::string self = argv0;
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
        buf[n] = 0;
        self = buf;
    }
    size_t slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    return dir + "/libaacplugin.so";
}

}  // namespace

int main(int argc, char** argv) {
    std::string plugin;
    uint32_t rate = 44100, channels = 2, flags = ZOR_STREAM_STREAMING;
    const char* input = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--plugin" && i + 1 < argc) plugin = argv[++i];
        else if (a == "--rate" && i + 1 < argc) rate = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--channels" && i + 1 < argc) channels = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--raw") flags |= ZOR_STREAM_RAW;
        else if (a == "-h" || a == "--help") { usage(); return 0; }
        else if (!input && (a == "-" || a[0] != '-')) input = argv[i];
        else { usage(); return 2; }
    }
    if (!input) { usage(); return 2; }
    if (plugin.empty()) plugin = default_plugin(argv[0]);

    void* lib = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) { std::fprintf(stderr, "aacdec: cannot load plug-in: %s\n", dlerror()); return 1; }
    auto get = reinterpret_cast<const AACPlugin* (*)(void)>(dlsym(lib, "GetZorAudioDecodePlugin"));
    if (!get) { std::fprintf(stderr, "aacdec: %s is not an audio decode plug-in\n", plugin.c_str()); return 1; }
    const AACPlugin* p = get();
    std::fprintf(stderr, "aacdec: plug-in \"%s\" version %s\n", p->name, p->version);

    FILE* f = std::strcmp(input, "-") == 0 ? stdin : std::fopen(input, "rb");
    if (!f) { std::fprintf(stderr, "aacdec: cannot open %s: %s\n", input, std::strerror(errno)); return 1; }

    ZorStreamInfo info = {ZOR_STREAM_INFO_VERSION, channels, rate, 0, flags};
    if (p->init(&info) != 0) {
        std::fprintf(stderr, "aacdec: the plug-in refused the stream (%u Hz)\n", rate);
        return 1;
    }
    std::vector<uint8_t> in(4096), pcm(16384);
    uint64_t fed = 0, produced = 0;
    uint32_t sampleRate = 0;
    size_t n;
    while ((n = std::fread(in.data(), 1, in.size(), f)) > 0) {
        ZorBuffer ib{}, ob{};
        ib.data = in.data();
        ib.size = static_cast<uint32_t>(n);
        ob.data = pcm.data();
        ob.size = static_cast<uint32_t>(pcm.size());
        int r = p->decode(&ib, &ob);
        if (r < 0) { std::fprintf(stderr, "aacdec: output overflow\n"); break; }
        fed += n;
        produced += static_cast<uint64_t>(r);
        sampleRate = ob.sampleRate;
    }
    if (f != stdin) std::fclose(f);
    p->finish();
    std::fprintf(stderr, "aacdec: fed %llu bytes, %llu PCM bytes out, sample rate %u Hz\n",
                 static_cast<unsigned long long>(fed), static_cast<unsigned long long>(produced),
                 sampleRate);
    dlclose(lib);
    return 0;
}
