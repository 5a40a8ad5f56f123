// Runs the fuzz target once on each file named, as the fuzzer would (the
// mode from AAC_FUZZ_MODE): a finding the fuzzer made stays a test. Prints
// each file's name and a hash of all PCM the run produced, so runs with
// different kernels (AAC_CPU_MASK) or on different CPUs can be compared.
// Options, before the files:
//   --fork     each file in a child process, which may stop (a range-checking
//              build aborts on the first value out of range) without
//              ending the replay: "stopped" in place of the hash;
//   --kernels  each file with every kernel variant the CPU has, with SSE4.1
//              alone (x86) and with the portable references, in one
//              process; a difference in the PCM's hashes fails the run.
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dsp/kernels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// FNV-1a over every byte of PCM of one run.
uint64_t g_hash;

uint64_t run(const std::vector<uint8_t>& bytes) {
    g_hash = 14695981039346656037u;
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return g_hash;
}

}  // namespace

void fuzz_pcm_sink(const void* pcm, size_t bytes) {
    const auto* p = static_cast<const uint8_t*>(pcm);
    for (size_t i = 0; i < bytes; ++i) g_hash = (g_hash ^ p[i]) * 1099511628211u;
}

int main(int argc, char** argv) {
    bool fork_each = false, compare_kernels = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (!std::strcmp(argv[i], "--fork")) {
            fork_each = true;
        } else if (!std::strcmp(argv[i], "--kernels")) {
            compare_kernels = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (fork_each && compare_kernels) {
        std::fprintf(stderr, "--fork and --kernels do not go together\n");
        return 2;
    }
    int failed = 0;
    for (; i < argc; ++i) {
        FILE* f = std::fopen(argv[i], "rb");
        if (!f) {
            std::fprintf(stderr, "cannot open %s\n", argv[i]);
            failed = 1;
            continue;
        }
        std::vector<uint8_t> bytes(1 << 20);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
        if (compare_kernels) {
            // Every variant the CPU has, SSE4.1 alone, the portable
            // references (on ARM the middle one is the portable set too).
            const uint32_t masks[3] = {~0u, CPU_X86_SSE41, 0};
            uint64_t h[3];
            for (int m = 0; m < 3; ++m) {
                select_kernels(masks[m]);
                h[m] = run(bytes);
            }
            const bool same = h[0] == h[2] && h[1] == h[2];
            std::printf("%s: %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "%s\n", argv[i], h[0], h[1], h[2],
                        same ? "" : " DIFFER");
            if (!same) failed = 1;
            continue;
        }
        if (!fork_each) {
            std::printf("%s: %016" PRIx64 "\n", argv[i], run(bytes));
            continue;
        }
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            std::printf("%s: %016" PRIx64 "\n", argv[i], run(bytes));
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("%s: stopped\n", argv[i]);
            failed = 1;
        }
    }
    std::fflush(stdout);
    return failed;
}
