// Helpers shared by the tests.
#pragma once

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

// Integer fields of any types as one vector: many fields in one check, the
// failure message showing them side by side.
template <class... T>
std::vector<long long> vals(T... v) {
    return {static_cast<long long>(v)...};
}
