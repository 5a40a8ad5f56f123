#include "dec/huffman.h"

#include "dec/bands.h"

void kvxdec_huffbookinit(MC_Info* mi) {
    kvxdec_infoinit(&samp_rate_kvxdec_info[mi->sampling_rate_idx & 15]);
}
