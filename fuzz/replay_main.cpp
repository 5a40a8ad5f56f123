// Runs the fuzz target once on each file named, as the fuzzer would (the
// mode from AAC_FUZZ_MODE): a finding the fuzzer made stays a test.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        FILE* f = std::fopen(argv[i], "rb");
        if (!f) {
            std::fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> bytes(1 << 20);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        std::printf("%s: ran\n", argv[i]);
    }
    return 0;
}
