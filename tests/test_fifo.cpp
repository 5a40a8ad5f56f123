// Bit FIFO: reads, writes, wrap-around, overflow and underrun, refills,
// snapshots, distances and adjustment.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dec/fifo.h"
#include "test_util.h"

namespace {

// A FIFO over its own storage (small sizes make wrap-around easy to reach).
struct Fifo {
    explicit Fifo(uint16_t size = 892) : store(size, 0xDEAD) {
        std::memset(&f, 0, sizeof f);
        f.buffer = f.read_ptr = f.write_ptr = store.data();
        f.size = size;
    }
    void write(std::vector<uint16_t> w) { kvxdec_decfifoWriteShort(&f, w.data(), static_cast<uint16_t>(w.size())); }
    uint16_t read(uint16_t n) {
        uint16_t v = 0xFFFF;
        kvxdec_decfifoReadBits(&f, &v, n);
        return v;
    }
    void place(uint16_t pos) { f.read_ptr = f.write_ptr = f.buffer + pos; }
    std::vector<uint16_t> store;
    DecFifo f;
};

std::vector<uint16_t> seq(size_t n, uint16_t start = 1) {
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(start + i);
    return v;
}

TEST(Fifo, WholeWordReadsAndTheAlignmentRule) {
    Fifo q;
    q.write({0xABCD, 0x1234});
    EXPECT_EQ(q.read(16), 0xABCD);
    EXPECT_EQ(vals(q.f.cache, q.f.bits_left), vals(0, 0));
    EXPECT_EQ(q.read(3), 0);  // 0x1234 = 0001 0010 ...
    EXPECT_EQ(q.f.bits_left, 13);
    kvxdec_byte_align(&q.f);
    EXPECT_EQ(q.f.bits_left, 8);
    EXPECT_EQ(q.read(8), 0x34);
    EXPECT_EQ(q.read(0), 0);  // reading nothing changes nothing
    EXPECT_EQ(vals(q.f.words_read, q.f.status), vals(2, DECFIFO_OK));
}

TEST(Fifo, ReadsMatchABitByBitReferenceAndKeepTheCacheLeftAligned) {
    std::mt19937 rng(7);
    Fifo q(16);  // small, so the reads wrap many times
    std::vector<uint16_t> stream(4000);
    for (auto& w : stream) w = static_cast<uint16_t>(rng());
    size_t written = 0, bitpos = 0;
    while (bitpos + 16 <= stream.size() * 16) {
        // Keep a few words buffered.
        while (written < stream.size() && written * 16 < bitpos + 64) {
            std::vector<uint16_t> one(1, stream[written++]);
            q.write(one);
        }
        const uint16_t n = static_cast<uint16_t>(rng() % 17);
        uint32_t want = 0;
        for (uint16_t i = 0; i < n; ++i, ++bitpos)
            want = (want << 1) | ((stream[bitpos / 16] >> (15 - bitpos % 16)) & 1u);
        ASSERT_EQ(q.read(n), want) << "at bit " << bitpos;
        ASSERT_EQ(static_cast<uint16_t>(q.f.cache << q.f.bits_left), 0) << "bits below the valid ones";
        ASSERT_EQ(q.f.status, DECFIFO_OK);
    }
}

TEST(Fifo, FullFifoAndOverflow) {
    Fifo q;
    q.write(seq(891));
    q.read(5);  // word 1 is now in the cache
    EXPECT_EQ(kvxdec_decfifoGetBitCount(&q.f), 890 * 16 + 11);
    q.place(0);
    q.write(seq(891));
    EXPECT_EQ(kvxdec_decfifoGetBitCount(&q.f), 14256 + 11);  // plus what is cached
    q.write({0x7777});  // the slot that must stay free: everything unread goes
    EXPECT_EQ(vals(q.f.status, kvxdec_decfifoGetBitCount(&q.f)), vals(DECFIFO_OVERFLOW, 16));
    EXPECT_EQ(q.read(16), 0x7777);

    Fifo big(8);
    big.write(seq(3));
    big.write(seq(8, 100));  // at least the whole size: the new words are lost too
    EXPECT_EQ(vals(big.f.status, kvxdec_decfifoGetBitCount(&big.f)), vals(DECFIFO_OVERFLOW, 0));
}

TEST(Fifo, WritesSplitAtTheBufferEnd) {
    Fifo q(8);
    q.place(5);
    q.write(seq(3));  // ends exactly at the buffer end
    EXPECT_EQ(q.f.write_ptr, q.f.buffer);
    q.write(seq(4, 10));  // wraps: lands at the buffer start
    EXPECT_EQ(q.f.write_ptr, q.f.buffer + 4);
    EXPECT_EQ(vals(q.store[0], kvxdec_decfifoGetBitCount(&q.f)), vals(10, 7 * 16));
    std::vector<uint16_t> got;
    for (int i = 0; i < 7; ++i) got.push_back(q.read(16));
    EXPECT_EQ(got, (std::vector<uint16_t>{1, 2, 3, 10, 11, 12, 13}));
    EXPECT_EQ(q.f.read_ptr, q.f.buffer + 4);
}

TEST(Fifo, UnderrunWithoutCallbackReadsStaleWords) {
    Fifo q(8);
    q.write({0x1111});
    EXPECT_EQ(q.read(16), 0x1111);
    EXPECT_EQ(q.f.status, DECFIFO_OK);
    EXPECT_EQ(q.read(4), 0xD);  // the stale word after it
    EXPECT_EQ(q.f.status, DECFIFO_UNDERRUN);
    // The read position passed the write position: a restore puts it back.
    DecFifo saved{};
    saved.read_ptr = saved.write_ptr = q.f.buffer + 1;
    kvxdec_decfifo_ContextRestore(&q.f, &saved);
    EXPECT_EQ(vals(q.f.status, kvxdec_decfifoGetBitCount(&q.f)), vals(DECFIFO_OK, 0));
}

std::vector<uint16_t> g_source;
int g_source_calls;
int g_source_request;
uint16_t source(int request, const uint16_t** words) {
    ++g_source_calls;
    g_source_request = request;
    *words = g_source.data();
    return static_cast<uint16_t>(g_source.size());
}

TEST(Fifo, RefillsThroughTheCallbackOnlyWhenEmpty) {
    Fifo q(16);
    q.f.get_bits_callback = source;
    g_source = {0xA1A2, 0xB1B2};
    g_source_calls = 0;
    q.write({0x0102});
    EXPECT_EQ(q.read(8), 0x01);
    EXPECT_EQ(q.read(12), 0x02A);  // cache 8 bits, buffer empty: refill
    EXPECT_EQ(vals(g_source_calls, g_source_request), vals(1, 124));
    EXPECT_EQ(q.read(12), 0x1A2);
    EXPECT_EQ(q.read(16), 0xB1B2);
    EXPECT_EQ(vals(g_source_calls, q.f.status), vals(1, DECFIFO_OK));

    // A source with nothing left is an underrun.
    g_source.clear();
    q.read(1);
    EXPECT_EQ(q.f.status, DECFIFO_UNDERRUN);
}

TEST(Fifo, SeekWaitsForBytesAndNeverMoves) {
    Fifo q(64);
    q.f.get_bits_callback = source;
    g_source = seq(5);
    g_source_calls = 0;
    kvxdec_decfifoSeek(&q.f, 24);  // 192 bits: 3 calls of 5 words
    EXPECT_EQ(q.f.read_ptr, q.f.buffer);
    EXPECT_EQ(g_source_calls, 3);
    EXPECT_EQ(q.read(16), 1);

    Fifo none(64);
    none.write(seq(2));
    kvxdec_decfifoSeek(&none.f, 4);  // already held
    EXPECT_EQ(none.f.status, DECFIFO_OK);
    kvxdec_decfifoSeek(&none.f, 5);  // nothing to pull from: returns at once
    EXPECT_EQ(none.f.status, DECFIFO_UNDERRUN);
}

TEST(Fifo, PeekingByteReadsLeaveThePosition) {
    Fifo q(8);
    q.place(6);
    q.write({0x1234, 0x5678, 0x9ABC});
    q.read(4);
    uint8_t a[4], b[4];
    const uint16_t before = kvxdec_decfifoGetBitCount(&q.f);
    kvxdec_decfifoReadBytes(&q.f, a, 4, 0);
    kvxdec_decfifoReadBytes(&q.f, b, 4, 0);
    EXPECT_EQ(vals(a[0], a[1], a[2], a[3], kvxdec_decfifoGetBitCount(&q.f)), vals(b[0], b[1], b[2], b[3], before));
    EXPECT_EQ(vals(a[0], a[2]), vals(0x23, 0x67));
    kvxdec_decfifoReadBytes(&q.f, a, 2, 1);
    EXPECT_EQ(vals(a[1], kvxdec_decfifoGetBitCount(&q.f)), vals(0x45, before - 16));
}

TEST(Fifo, LongByteReadsAreCutToWhatIsHeld) {
    Fifo q(400);
    q.write(seq(100));
    std::vector<uint8_t> dst(200, 0);
    kvxdec_decfifoReadBytes(&q.f, dst.data(), 200, 1);  // more than 128 and than held
    // 100 bytes read.
    EXPECT_EQ(vals(q.f.status, kvxdec_decfifoGetBitCount(&q.f), dst[100]), vals(DECFIFO_UNDERRUN, 50 * 16, 0));
}

TEST(Fifo, DistanceCountsBitsReadAcrossTheBufferEnd) {
    Fifo q(8);
    q.place(6);
    q.write(seq(6));
    DecFifo start = q.f;
    EXPECT_EQ(kvxdec_decfifoDistant(&q.f, &start), 0);
    q.read(5);
    q.read(16);
    EXPECT_EQ(kvxdec_decfifoDistant(&q.f, &start), 21);
    q.read(16);
    q.read(11);
    EXPECT_EQ(q.f.read_ptr, q.f.buffer + 1);  // wrapped
    EXPECT_EQ(kvxdec_decfifoDistant(&q.f, &start), 48);
}

TEST(Fifo, AdjustSkipsWholeBytes) {
    Fifo q(8);
    q.write({0x1111, 0x2233, 0x4455, 0x6677});
    kvxdec_decfifoAdjust(&q.f, 3);  // from bits_left 0: one word, then the next word's low byte
    EXPECT_EQ(q.f.read_ptr, q.f.buffer + 2);
    EXPECT_EQ(vals(q.f.bits_left, q.f.cache, q.f.words_read), vals(8, 0x3300, 0));
    kvxdec_decfifoAdjust(&q.f, 2);  // drops the cached byte, keeps the next low byte
    EXPECT_EQ(vals(q.f.bits_left, q.f.cache), vals(8, 0x5500));
    EXPECT_EQ(q.read(8), 0x55);
    kvxdec_decfifoAdjust(&q.f, 0);
    kvxdec_decfifoAdjust(&q.f, -3);
    EXPECT_EQ(q.read(16), 0x6677);

    Fifo e(8);
    e.place(4);
    e.write(seq(6));
    kvxdec_decfifoAdjust(&e.f, 8);  // target exactly at the buffer end
    EXPECT_EQ(e.f.read_ptr, e.f.buffer);
    EXPECT_EQ(e.read(16), 5);
    kvxdec_decfifoAdjust(&e.f, 2);  // even count from an aligned cache-less position
    EXPECT_EQ(e.f.bits_left, 0);
    EXPECT_EQ(e.f.read_ptr, e.f.buffer + 2);
}

TEST(Fifo, SaveAndRestoreTheReadPosition) {
    Fifo q(8);
    q.write(seq(4));
    q.read(7);
    DecFifo ctx{};
    kvxdec_decfifo_ContextSave(&q.f, &ctx);
    q.read(16);
    q.write(seq(2, 50));
    q.f.status = DECFIFO_UNDERRUN;
    kvxdec_decfifo_ContextRestore(&q.f, &ctx);
    // The later words are gone.
    EXPECT_EQ(vals(q.f.status, q.f.bits_left, kvxdec_decfifoGetBitCount(&q.f)), vals(DECFIFO_OK, 9, 3 * 16 + 9));
    EXPECT_EQ(q.read(9), 1);
}

}  // namespace
