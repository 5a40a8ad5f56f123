#include "loas_reader.h"

#include <new>
#include <vector>

#include "latm.h"

struct ZorLoas {
    LoasUnits units;
    std::vector<uint8_t> unit;
};

ZorLoas* zor_loas_new(void) {
    ZorLoas* r = new (std::nothrow) ZorLoas;
    if (r) r->units.follow_changes();
    return r;
}

void zor_loas_free(ZorLoas* r) { delete r; }

void zor_loas_finish(ZorLoas* r) { r->units.finish(); }

void zor_loas_push_frames(ZorLoas* r, const uint8_t* data, size_t size) {
    r->units.push(data, size, LoasUnits::kNoTime, true);
}

void zor_loas_reset(ZorLoas* r) { r->units.reset(); }

int zor_loas_pop(ZorLoas* r, const uint8_t** data, size_t* size, uint32_t* config) {
    int64_t time;
    if (!r->units.pop(r->unit, time, config)) return 0;
    *data = r->unit.data();
    *size = r->unit.size();
    return 1;
}

const uint8_t* zor_loas_config(const ZorLoas* r, uint32_t n, size_t* size) {
    const std::vector<uint8_t>& c = r->units.config(n);
    *size = c.size();
    return c.data();
}

int zor_loas_holding(const ZorLoas* r) { return r->units.parser().doubting() ? 1 : 0; }

const char* zor_loas_error(const ZorLoas* r) { return r->units.error().empty() ? nullptr : r->units.error().c_str(); }
