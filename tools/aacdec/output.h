// Where aacdec's decoded blocks go: the part of them that is kept (gapless
// trimming, --skip/--trim, --start/--duration), to one WAV file or raw PCM,
// or to one file per rate with --split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "wav_writer.h"

// The part of the decoded PCM that is written: samples per channel at the
// output rate, counted from the first sample decoded, [lo, hi).
struct Keep {
    uint64_t lo = 0;
    uint64_t hi = UINT64_MAX;
    uint64_t last = UINT64_MAX;  // an end that does not move (--duration): nothing after it is needed
};
// Says it for the output `rate` and the decoder's `delay` (output samples;
// -1: not known). Asked at every block: hi may grow as the input is read.
using KeepFn = std::function<Keep(uint32_t rate, int64_t delay)>;

// OUTPUT with "-2", "-3" ... before its extension: the name of part `part`
// (counting from 1; the first part is OUTPUT itself).
std::string part_name(const std::string& output, int part);

// Where the decoded blocks go. A WAV file holds one rate (and, native, one
// channel count): where the stream changes to another, the file ends there
// (the rest is still decoded and counted, not written), or, with --split,
// the blocks from there on go to the next file. Raw PCM on standard
// output goes on at the new rate, with a warning. Only the samples in Keep
// are written, and with --trim the last N of them are held back and dropped
// at the end.
class Output {
public:
    // `size_hint`: the most PCM bytes the input can give (0: not known).
    Output(const Options& o, uint32_t rate, uint64_t size_hint);

    // `blocks` whole blocks of PCM at `rate` Hz, 32-bit words when `wide`,
    // else 16-bit samples; `channels` are the stream's from these blocks on,
    // for the message at a change (0: not known).
    void write(const uint8_t* pcm, size_t bytes, uint32_t rate, uint32_t channels, bool wide = false,
               uint64_t blocks = 1);
    void set_keep(KeepFn keep) { keep_ = std::move(keep); }
    // The decoder's delay in output samples, before the first block.
    void set_delay(int64_t delay) { delay_ = delay; }
    // Native output: blocks of `channels` channels from here on, and the
    // WAV file's channel mask.
    void set_layout(uint32_t channels, uint32_t mask);
    // A block the decoder gave no PCM for: the next block written comes
    // after its place, as long as that block.
    void skip_block() { ++skipped_; }
    // Rate of the last block written (before any, the probe's).
    uint32_t rate() const { return rate_; }
    // Blocks given to write().
    uint64_t blocks() const { return blocks_; }
    // Bytes of PCM written (not those after the end of a WAV file).
    uint64_t bytes() const { return written_; }
    // Samples per channel written.
    uint64_t samples() const { return samples_; }
    // Seconds of the samples written, at their rates.
    double seconds() const { return seconds_; }
    uint32_t channels() const { return out_channels_; }
    // Everything up to Keep's fixed end has been written: decoding may stop.
    bool complete() const { return pos_ >= last_; }
    // Closes the last part and gives it its name.
    void finish();

private:
    SinkFormat format() const;
    void emit(const uint8_t* pcm, size_t frames, size_t frame_bytes, bool wide);
    void put(const uint8_t* pcm, size_t frames, size_t frame_bytes, bool wide);
    void change(uint32_t rate, uint32_t channels);

    const Options& o_;
    uint64_t size_hint_;
    std::unique_ptr<Sink> sink_;
    uint32_t rate_;
    uint64_t blocks_ = 0;
    uint32_t out_channels_ = 2;
    uint32_t mask_ = 0;          // native output: the WAV file's channel mask
    bool relayout_ = false;      // native output: the next block has another channel count
    uint64_t written_ = 0, samples_ = 0;
    int part_ = 1;
    bool ended_ = false;  // the WAV file ended at a change
    KeepFn keep_;
    int64_t delay_ = -1;
    bool resolved_ = false;
    uint64_t lo_ = 0;            // the first sample kept
    uint64_t last_ = UINT64_MAX;  // Keep::last
    uint64_t pos_ = 0;           // samples per channel decoded so far
    std::vector<uint8_t> held_;  // the last --trim samples
    size_t held_frame_bytes_ = 4;
    bool held_wide_ = false;
    double seconds_ = 0;
    uint64_t skipped_ = 0;  // blocks given no PCM since the last write
};
