#include "emulator/usbredir/video_stream.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace morvane::emulator::usbredir {
namespace {

void set16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t x) {
  v[at] = static_cast<std::uint8_t>(x & 0xFF);
  v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}
void set32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
}
std::uint32_t get32(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint32_t>(v[at]) | static_cast<std::uint32_t>(v[at + 1]) << 8 |
         static_cast<std::uint32_t>(v[at + 2]) << 16 | static_cast<std::uint32_t>(v[at + 3]) << 24;
}

// The header bit of a payload whose frame is in error.
constexpr std::uint8_t kHeaderErr = 0x40;

std::uint8_t known_format(std::uint8_t format_index) {
  return format_index >= 1 && format_index <= kFormatCount ? format_index : kFormatYuyv;
}
std::uint8_t known_frame(std::uint8_t frame_index) {
  return frame_index >= 1 && frame_index <= frame_sizes().size() ? frame_index : kDefaultFrameIndex;
}

std::vector<std::uint8_t> probe_for(std::uint8_t format_index, std::uint8_t frame_index, std::uint32_t interval,
                                    std::uint32_t max_payload) {
  const FrameSize& f = frame_sizes()[frame_index - 1];
  std::vector<std::uint8_t> p(kProbeLength, 0);
  p[2] = format_index;
  p[3] = frame_index;
  set32(p, 4, interval);
  set32(p, 18, max_frame_bytes(format_index, f));
  set32(p, 22, max_payload);
  return p;
}

}  // namespace

std::uint32_t max_frame_bytes(std::uint8_t format_index, const FrameSize& size) {
  if (format_index == kFormatMjpeg) return static_cast<std::uint32_t>(MjpegEncoder::max_bytes(size.width, size.height));
  return static_cast<std::uint32_t>(size.width) * size.height * 2;
}

std::vector<std::uint8_t> default_probe(std::uint32_t max_payload) {
  return probe_for(kFormatYuyv, kDefaultFrameIndex, frame_sizes()[kDefaultFrameIndex - 1].intervals.front(),
                   max_payload);
}

std::vector<std::uint8_t> probe_limit(std::uint8_t format_index, std::uint8_t frame_index, bool longest,
                                      std::uint32_t max_payload) {
  frame_index = known_frame(frame_index);
  const auto& intervals = frame_sizes()[frame_index - 1].intervals;
  return probe_for(known_format(format_index), frame_index, longest ? intervals.back() : intervals.front(),
                   max_payload);
}

std::vector<std::uint8_t> negotiate_probe(const std::vector<std::uint8_t>& asked, std::uint32_t max_payload) {
  if (asked.size() < kProbeLength) return default_probe(max_payload);
  const std::uint8_t format_index = known_format(asked[2]);
  const std::uint8_t frame_index = known_frame(asked[3]);
  const auto& intervals = frame_sizes()[frame_index - 1].intervals;
  const std::uint32_t want = get32(asked, 4);
  std::uint32_t interval = intervals.front();
  if (want != 0) {
    auto distance = [want](std::uint32_t i) { return want > i ? want - i : i - want; };
    for (std::uint32_t i : intervals) {
      if (distance(i) < distance(interval)) interval = i;
    }
  }
  std::vector<std::uint8_t> p = probe_for(format_index, frame_index, interval, max_payload);
  // The host's hint and the compression fields pass through unchanged.
  std::copy(asked.begin(), asked.begin() + 2, p.begin());
  std::copy(asked.begin() + 8, asked.begin() + 16, p.begin() + 8);
  set16(p, 16, 0);  // wDelay: the device adds no latency of its own
  return p;
}

StreamFormat format_of_probe(const std::vector<std::uint8_t>& probe) {
  // Settled again, keeping the payload size the device put there (within
  // the sizes a payload may have, so a payload always has room for data).
  const std::uint32_t payload = probe.size() >= kProbeLength ? get32(probe, 22) : kMaxPayloadTransferSize;
  const std::vector<std::uint8_t> p =
      negotiate_probe(probe, std::clamp(payload, kMinPayloadTransferSize, kMaxPayloadTransferSizeLimit));
  StreamFormat f;
  f.format_index = p[2];
  f.frame_index = p[3];
  f.width = frame_sizes()[f.frame_index - 1].width;
  f.height = frame_sizes()[f.frame_index - 1].height;
  f.interval = get32(p, 4);
  f.frame_bytes = get32(p, 18);
  f.max_payload = get32(p, 22);
  return f;
}

VideoStream::VideoStream(DeviceTicks ticks) : ticks_(std::move(ticks)) {}

void VideoStream::start(const StreamFormat& format, std::uint64_t bus_ns) {
  format_ = format;
  running_ = true;
  start_ns_ = bus_ns;
  frame_ = 0;
  frame_offset_ = 0;
  payload_.clear();
  payload_sent_ = 0;
  zero_length_due_ = false;
  frame_error_ = false;
  picture_.assign(format.frame_bytes, 0);
  yuyv_.assign(format.format_index == kFormatMjpeg ? static_cast<std::size_t>(format.width) * format.height * 2 : 0, 0);
}

void VideoStream::stop() {
  running_ = false;
  payload_.clear();
  payload_sent_ = 0;
  zero_length_due_ = false;
  frame_offset_ = 0;
}

std::uint64_t VideoStream::capture_ns(std::uint64_t frame) const {
  return start_ns_ + frame * static_cast<std::uint64_t>(format_.interval) * 100;
}

std::optional<std::uint64_t> VideoStream::next_due_ns() const {
  if (!running_) return std::nullopt;
  if (zero_length_due_ || payload_sent_ < payload_.size() || frame_offset_ != 0) return start_ns_;
  return capture_ns(frame_);
}

void VideoStream::begin_payload(std::uint64_t bus_ns) {
  if (frame_offset_ == 0) {
    const std::uint64_t interval_ns = static_cast<std::uint64_t>(format_.interval) * 100;
    if (bus_ns > capture_ns(frame_) + kFifoFrames * interval_ns) {
      const std::uint64_t newest = (bus_ns - start_ns_) / interval_ns;
      frames_dropped_ += newest - frame_;
      frame_ = newest;
    }
    pts_ = static_cast<std::uint32_t>(ticks_(capture_ns(frame_)));
    if (format_.format_index == kFormatMjpeg) {
      render_stereo_frame(yuyv_.data(), format_.width, format_.height, static_cast<std::uint32_t>(frame_), pts_);
      picture_.resize(format_.frame_bytes);
      picture_.resize(encoder_.encode(yuyv_.data(), format_.width, format_.height, picture_.data()));
      frame_error_ = picture_.empty();
    } else {
      render_stereo_frame(picture_.data(), format_.width, format_.height, static_cast<std::uint32_t>(frame_), pts_);
    }
    fid_ = !fid_;
    ++frames_begun_;
  }
  const std::size_t room = format_.max_payload - kPayloadHeaderLength;
  const std::size_t chunk = std::min(room, picture_.size() - frame_offset_);
  const bool last = frame_offset_ + chunk == picture_.size();
  payload_.assign(kPayloadHeaderLength + chunk, 0);
  payload_[0] = static_cast<std::uint8_t>(kPayloadHeaderLength);
  payload_[1] = static_cast<std::uint8_t>(kHeaderEoh | kHeaderPts | kHeaderScr | (fid_ ? kHeaderFid : 0) |
                                          (last ? kHeaderEof : 0) | (frame_error_ ? kHeaderErr : 0));
  set32(payload_, 2, pts_);
  // Both SCR halves at the SOF that began this bus millisecond: the clock
  // latched there and that SOF's number.
  const std::uint64_t sof = bus_ns / 1000000;
  set32(payload_, 6, static_cast<std::uint32_t>(ticks_(sof * 1000000)));
  set16(payload_, 10, static_cast<std::uint16_t>(sof & 0x7FF));
  std::copy(picture_.begin() + static_cast<long>(frame_offset_),
            picture_.begin() + static_cast<long>(frame_offset_ + chunk), payload_.begin() + kPayloadHeaderLength);
  payload_sent_ = 0;
  frame_offset_ += chunk;
  if (last) {
    frame_offset_ = 0;
    ++frame_;
  }
}

std::optional<std::vector<std::uint8_t>> VideoStream::transfer(std::size_t length, std::uint64_t bus_ns) {
  if (!running_) return std::nullopt;
  // A transfer of no bytes is full at once: the device's next packet is not
  // its business, and the stream keeps every byte for the next transfer.
  if (length == 0) return std::vector<std::uint8_t>{};
  if (zero_length_due_) {
    zero_length_due_ = false;
    return std::vector<std::uint8_t>{};
  }
  if (payload_sent_ == payload_.size()) {
    if (frame_offset_ == 0 && bus_ns < capture_ns(frame_)) return std::nullopt;
    begin_payload(bus_ns);
  }
  const std::size_t n = std::min(length, payload_.size() - payload_sent_);
  std::vector<std::uint8_t> out(payload_.begin() + static_cast<long>(payload_sent_),
                                payload_.begin() + static_cast<long>(payload_sent_ + n));
  payload_sent_ += n;
  // A payload shorter than the negotiated maximum that ends exactly at the
  // end of a transfer needs a zero-length packet, or the host would take
  // the next payload's header for data.
  if (payload_sent_ == payload_.size() && n == length && payload_.size() < format_.max_payload) {
    zero_length_due_ = true;
  }
  return out;
}

}  // namespace morvane::emulator::usbredir
