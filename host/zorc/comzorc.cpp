// Stand-in for the host media framework library: the description converter
// the decode plug-in links against.
#include <cstring>

#include "zor_host.h"

extern "C" __attribute__((visibility("default"))) int audio_desc_zor_2_dm320(const void* hostDesc,
                                                                             ZorHostDesc* desc) {
    if (!hostDesc || !desc) return -1;
    ZorStreamInfo info;
    std::memcpy(&info, hostDesc, sizeof info);
    if (info.version != ZOR_STREAM_INFO_VERSION) return -1;
    desc->codec = ZOR_CODEC_AAC;
    desc->version = ZOR_HOST_DESC_VERSION;
    desc->channels = info.channels;
    desc->sampleRate = info.sampleRate;
    desc->bitRate = info.bitRate;
    desc->rawStream = (info.flags & ZOR_STREAM_RAW) ? 1 : 0;
    desc->streaming = (info.flags & ZOR_STREAM_STREAMING) ? 1 : 0;
    desc->noConcealment = (info.flags & ZOR_STREAM_NO_CONCEALMENT) ? 1 : 0;
    desc->sbr = (info.flags & ZOR_STREAM_SBR_FULL) ? 1 : (info.flags & ZOR_STREAM_SBR_DOWNSAMPLED) ? 2 : 0;
    return 0;
}
