#include "probe.h"

#include <algorithm>

namespace uvccam {

namespace {

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, uint16_t(v));
    put16(b, at + 2, uint16_t(v >> 16));
}

uint32_t get(const uint8_t* data, size_t length, size_t at, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes && at + i < length; ++i) v |= uint32_t(data[at + i]) << (8 * i);
    return v;
}

}  // namespace

Bytes StreamingParameters::encode() const {
    Bytes b(kWireSize, 0);
    put16(b, 0, hint);
    b[2] = format_index;
    b[3] = frame_index;
    put32(b, 4, frame_interval);
    // wKeyFrameRate, wPFrameRate, wCompQuality, wCompWindowSize, wDelay: 0 for
    // uncompressed frames sent as soon as they are made.
    put32(b, 18, max_video_frame_size);
    put32(b, 22, max_payload_transfer_size);
    return b;
}

StreamingParameters StreamingParameters::decode(const uint8_t* data, size_t length) {
    StreamingParameters p;
    p.hint = uint16_t(get(data, length, 0, 2));
    p.format_index = uint8_t(get(data, length, 2, 1));
    p.frame_index = uint8_t(get(data, length, 3, 1));
    p.frame_interval = get(data, length, 4, 4);
    p.max_video_frame_size = get(data, length, 18, 4);
    p.max_payload_transfer_size = get(data, length, 22, 4);
    return p;
}

Negotiation::Negotiation(const std::vector<Format>& formats, uint32_t frame_interval,
                         uint32_t max_payload)
    : formats_(formats), frame_interval_(frame_interval), max_payload_(max_payload) {}

StreamingParameters Negotiation::defaults() const {
    return settle(StreamingParameters{});
}

StreamingParameters Negotiation::settle(StreamingParameters asked) const {
    StreamingParameters p = asked;
    p.format_index = uint8_t(std::clamp<unsigned>(asked.format_index, 1, formats_.size()));
    const Format& format = formats_[p.format_index - 1];
    p.frame_index = uint8_t(std::clamp<unsigned>(asked.frame_index, 1, format.sizes.size()));
    p.frame_interval = frame_interval_;
    p.max_video_frame_size = uint32_t(frame_bytes(*format.pixel, format.sizes[p.frame_index - 1]));
    p.max_payload_transfer_size = max_payload_;
    return p;
}

const PixelFormat& Negotiation::pixel(const StreamingParameters& p) const {
    return *formats_[p.format_index - 1].pixel;
}

FrameSize Negotiation::size(const StreamingParameters& p) const {
    return formats_[p.format_index - 1].sizes[p.frame_index - 1];
}

}  // namespace uvccam
