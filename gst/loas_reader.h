/* The LOAS reader of the command-line host (tools/aacdec/latm.h) for the
 * element, in C: LOAS frames in, access units out under the config of
 * their StreamMuxConfig, a frame lost to damage as an empty unit in its
 * place, a config that changes mid-stream (said by two configs in a row)
 * followed: its units come under the next config number. */
#ifndef ZOR_LOAS_READER_H
#define ZOR_LOAS_READER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZorLoas ZorLoas;

ZorLoas* zor_loas_new(void);
void zor_loas_free(ZorLoas* r);
/* Bytes that end where a LOAS frame ends (a parser framed them): the frame
 * is read without waiting for the next one's sync word. */
void zor_loas_push_frames(ZorLoas* r, const uint8_t* data, size_t size);
/* No more bytes: a last frame held is read as it is. */
void zor_loas_finish(ZorLoas* r);
/* Bytes held are dropped (a seek); the config is kept. */
void zor_loas_reset(ZorLoas* r);
/* The next unit: 1 with its bytes (size 0: a frame lost to damage) and the
 * number of its config, 0 when none is ready. The bytes stay valid until
 * the next call. */
int zor_loas_pop(ZorLoas* r, const uint8_t** data, size_t* size, uint32_t* config);
/* The AudioSpecificConfig of config number n. */
const uint8_t* zor_loas_config(const ZorLoas* r, uint32_t n, size_t* size);
/* Units are held: a config unlike the stream's came, and the next one
 * says whether the stream changed. */
int zor_loas_holding(const ZorLoas* r);
/* Why the stream cannot be read on (a form of LATM not read), or NULL. */
const char* zor_loas_error(const ZorLoas* r);

#ifdef __cplusplus
}
#endif

#endif
