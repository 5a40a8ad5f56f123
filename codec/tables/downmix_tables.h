// Weights of the stereo downmix (generated, see downmix_tables.cpp).
//
// matrix_mixdown_weight_q30[i] = round(2^30 * a_i): the surround weight of
//   matrix-mixdown index i, a = 1/sqrt(2), 1/2, 1/(2 sqrt(2)), 0. Entry 0
//   (-3 dB) also weighs centre channels, and surround channels when no
//   index is given.
#pragma once

#include <cstdint>

extern const int32_t matrix_mixdown_weight_q30[4];
