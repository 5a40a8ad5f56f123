// Helpers shared by the tests.
#pragma once

#include <cmath>
#include <vector>

#include "alg/kvxd.h"
#include "alg/mp4aacdec.h"
#include "dec/instance.h"

// The decoder instance behind an outer handle.
inline MP4AACDEC_QUVA_Obj* inner_obj(IALG_Handle outer) {
    return reinterpret_cast<MP4AACDEC_QUVA_Obj*>(reinterpret_cast<KVXD_KELVARIS_Obj*>(outer)->inner);
}

// Creates the static instance with the given frame mode.
inline MP4AACDEC_QUVA_Obj* make_decoder(bool frameMode, IALG_Handle* outer = nullptr) {
    IKVXD_Params p = IKVXD_PARAMS;
    p.frameMode = frameMode ? 1 : 0;
    IALG_Handle h = KVXD_createStatic(&p, nullptr);
    if (outer) *outer = h;
    return inner_obj(h);
}

// The standard's inverse MDCT: N samples from N/2 spectral values.
inline std::vector<double> imdct(const double* X, int N) {
    std::vector<double> x(static_cast<size_t>(N));
    const double n0 = (N / 2.0 + 1.0) / 2.0;
    for (int n = 0; n < N; ++n) {
        double acc = 0;
        for (int k = 0; k < N / 2; ++k) acc += X[k] * std::cos(2 * M_PI / N * (n + n0) * (k + 0.5));
        x[static_cast<size_t>(n)] = acc * 2.0 / N;
    }
    return x;
}

// Integer fields of any types as one vector: many fields in one check, the
// failure message showing them side by side.
template <class... T>
std::vector<long long> vals(T... v) {
    return {static_cast<long long>(v)...};
}
