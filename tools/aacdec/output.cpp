#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string part_name(const std::string& output, int part) {
    if (part <= 1) return output;
    const size_t slash = output.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = output.rfind('.');
    if (dot == std::string::npos || dot <= base) dot = output.size();
    return output.substr(0, dot) + "-" + std::to_string(part) + output.substr(dot);
}

Output::Output(const Options& o, uint32_t rate, uint64_t size_hint)
    : o_(o), size_hint_(size_hint),
      sink_(std::make_unique<Sink>(o.info ? std::string() : o.output, rate, format(), size_hint)), rate_(rate) {}

void Output::write(const uint8_t* pcm, size_t bytes, uint32_t rate, uint32_t channels, bool wide, uint64_t blocks) {
    if (!bytes) return;
    if (!blocks_) {
        // The first block says the rate (the probe only guessed it).
        if (rate) rate_ = rate;
        sink_->set_rate(rate_);
    } else if ((rate && rate != rate_) || relayout_) {
        change(rate ? rate : rate_, relayout_ ? out_channels_ : channels);
    }
    relayout_ = false;
    const size_t frame_bytes = out_channels_ * (wide ? 4u : 2u);
    blocks_ += blocks;
    const uint64_t n = bytes / frame_bytes;
    // Blocks the decoder gave nothing for keep their places: as long as
    // these.
    pos_ += skipped_ * (n / blocks);
    skipped_ = 0;
    Keep k;
    if (keep_) k = keep_(rate_, delay_);
    if (!resolved_) lo_ = k.lo, resolved_ = true;
    // (--duration from the first sample kept, taken to this rate: the
    // figure Keep gives counts --skip at this rate.)
    last_ = o_.duration >= 0 ? lo_ + static_cast<uint64_t>(std::llround(o_.duration * rate_)) + o_.trim : k.last;
    const uint64_t from = std::max(pos_, lo_), to = std::min({pos_ + n, k.hi, last_});
    if (from < to) emit(pcm + (from - pos_) * frame_bytes, static_cast<size_t>(to - from), frame_bytes, wide);
    pos_ += n;
}

void Output::set_layout(uint32_t channels, uint32_t mask) {
    // Blocks of another channel count than those before: a change, as one
    // of rate is (the file written so far keeps its layout).
    if (blocks_ && channels != out_channels_) relayout_ = true;
    out_channels_ = channels;
    mask_ = mask;
    if (!blocks_) sink_->set_layout(static_cast<uint16_t>(channels), mask);
}

void Output::finish() {
    sink_->close();
    sink_->commit();
}

SinkFormat Output::format() const {
    SinkFormat f;
    f.sample = o_.sample;
    f.wav = o_.wav();
    f.extensible = o_.native;
    return f;
}

// Samples to the file, all but the last --trim ones.
void Output::emit(const uint8_t* pcm, size_t frames, size_t frame_bytes, bool wide) {
    if (o_.trim) {
        held_frame_bytes_ = frame_bytes;
        held_wide_ = wide;
        held_.insert(held_.end(), pcm, pcm + frames * frame_bytes);
        const uint64_t have = held_.size() / frame_bytes;
        if (have <= o_.trim) return;
        frames = static_cast<size_t>(have - o_.trim);
        put(held_.data(), frames, frame_bytes, wide);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(frames * frame_bytes));
        return;
    }
    put(pcm, frames, frame_bytes, wide);
}

void Output::put(const uint8_t* pcm, size_t frames, size_t frame_bytes, bool wide) {
    if (ended_) return;
    const size_t values = frames * frame_bytes / (wide ? 4 : 2);
    sink_->write(pcm, values, wide);
    written_ += values * sample_bytes(o_.sample);
    samples_ += frames;
    seconds_ += static_cast<double>(frames) / rate_;
}

// Positions are samples at the rate of the blocks: at a change of rate,
// those counted so far are taken to the new rate, so that --skip, --start,
// --duration and the container's trimming keep to the same instants.
void Output::change(uint32_t rate, uint32_t channels) {
    const bool new_rate = rate != rate_;
    const bool wav = !ended_ && sink_->is_wav();
    // Samples held back for --trim are not the end of the stream: they end
    // the file or part they belong to (raw PCM goes on with them), unless
    // what is written ended before the change (--duration): then they are
    // the ones trimmed.
    if (wav && !held_.empty() && !complete())
        put(held_.data(), held_.size() / held_frame_bytes_, held_frame_bytes_, held_wide_);
    if (wav) held_.clear();
    if (new_rate) {
        auto to_new = [&](uint64_t v) {
            return v == UINT64_MAX ? v : static_cast<uint64_t>(std::llround(static_cast<double>(v) * rate / rate_));
        };
        pos_ = to_new(pos_);
        lo_ = to_new(lo_);
        last_ = to_new(last_);
    }
    rate_ = rate;
    if (ended_ || (!wav && !sink_->is_stdout())) return;
    if (complete()) {
        // Nothing more is written: no part is begun for it.
        ended_ = true;
        return;
    }
    if (wav && sink_->bytes() == 0) {
        // Nothing written at the rate before (--start, --skip): the file
        // takes the new one.
        sink_->set_rate(rate);
        sink_->set_layout(static_cast<uint16_t>(out_channels_), mask_);
        return;
    }
    std::string what = std::to_string(rate) + " Hz";
    if (channels) what += ", " + std::to_string(channels) + (channels == 1 ? " channel" : " channels");
    what += " at block " + std::to_string(blocks_ + 1);
    if (!wav) {
        std::fprintf(stderr, "aacdec: warning: the stream changes to %s; the raw PCM goes on at the new %s\n",
                     what.c_str(), new_rate ? "rate" : "layout");
        return;
    }
    if (!o_.split) {
        std::fprintf(stderr, "aacdec: the stream changes to %s; the WAV file ends there (--split writes each part "
                     "to its own file)\n", what.c_str());
        ended_ = true;
        return;
    }
    finish();
    const std::string name = part_name(o_.output, ++part_);
    sink_ = std::make_unique<Sink>(name, rate, format(), size_hint_);
    sink_->set_layout(static_cast<uint16_t>(out_channels_), mask_);
    if (!o_.quiet)
        std::fprintf(stderr, "aacdec: the stream changes to %s; %s begins there\n", what.c_str(), name.c_str());
}
