// Observation points on calls that cross object files (linked with --wrap).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "alg/ialg.h"

struct ProcessCall {
    uint32_t count;
    std::vector<uint16_t> words;
};

struct Wraps {
    // Every KVXD_process call, with a copy of its words.
    std::vector<ProcessCall> calls;
    // When set, replaces the decoder's process entry.
    std::function<uint16_t(IALG_Handle, const uint16_t*, uint32_t)> fake_process;
    // Added to the size the inner algorithm requests for record 1.
    uint32_t extra_record1_bytes = 0;

    void reset() { *this = Wraps(); }
};

extern Wraps g_wraps;
