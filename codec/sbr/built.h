// Whether this build of the decoder holds spectral band replication and
// parametric stereo (AAC_SBR in the exact arithmetic; codec/CMakeLists.txt).
// A build without them leaves out the SBR and PS code, the QMF and HF
// generator kernels and their tables. Its records keep their sizes and
// interfaces: an SBR record is never attached (KVXD_attachSbr refuses it),
// so HE-AAC streams play their core, and every call into SBR sits in an
// `if constexpr (kSbrBuilt)` branch, which refers to nothing when discarded.
#pragma once

#ifndef AAC_SBR_BUILT
#error "AAC_SBR_BUILT must be defined by the build"
#endif

inline constexpr bool kSbrBuilt = AAC_SBR_BUILT != 0;
