// The virtual camera's video: the formats (uncompressed YUYV and
// Motion-JPEG, each with the same frame sizes) its streaming interface
// announces, probe/commit negotiation over them, the stereo test picture and
// the stream of UVC payloads (header with frame id, end of frame, PTS and
// SCR) a bulk streaming endpoint sends.
//
// The picture and the frame sizes are the shared ones of
// emulator/stereo_pattern.hpp; an MJPEG frame is that picture encoded by
// emulator/mjpeg_encoder.hpp, so its length changes from frame to frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "emulator/mjpeg_encoder.hpp"
#include "emulator/stereo_pattern.hpp"

namespace morvane::emulator::usbredir {

// The formats' indices (bFormatIndex), in the order the descriptors give them.
inline constexpr std::uint8_t kFormatYuyv = 1;
inline constexpr std::uint8_t kFormatMjpeg = 2;
inline constexpr std::uint8_t kFormatCount = 2;
inline constexpr std::uint8_t kDefaultFrameIndex = 2;
// The payload size the streaming interface negotiates by default: the
// transfer size Linux's UVC driver uses on a high-speed bulk endpoint (32
// packets of 512 bytes), so that each of its transfers carries one payload.
inline constexpr std::uint32_t kMaxPayloadTransferSize = 16384;
// The payload sizes a device may be given instead; above the host's transfer
// size a payload runs across transfer boundaries. The largest holds the
// largest frame and its header.
inline constexpr std::uint32_t kMinPayloadTransferSize = 512;
inline constexpr std::uint32_t kMaxPayloadTransferSizeLimit = 4u << 20;
inline constexpr std::size_t kPayloadHeaderLength = 12;
inline constexpr std::size_t kProbeLength = 26;  // UVC 1.00 probe/commit structure

// What a committed probe asks of the stream.
struct StreamFormat {
  std::uint8_t format_index = kFormatYuyv;
  std::uint8_t frame_index = kDefaultFrameIndex;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t interval = 0;     // 100 ns units
  std::uint32_t frame_bytes = 0;  // the longest frame (dwMaxVideoFrameSize)
  std::uint32_t max_payload = kMaxPayloadTransferSize;
};

// The longest frame of a format at a frame size: the YUYV picture's size,
// or the encoder's worst case for MJPEG (dwMaxVideoFrameBufferSize and
// dwMaxVideoFrameSize).
std::uint32_t max_frame_bytes(std::uint8_t format_index, const FrameSize& size);

// The device's answer to a probe the host proposes (at least kProbeLength
// bytes; the rest is ignored): the format asked for when the device has it
// (YUYV otherwise), the frame asked for when the device has it (the default
// frame otherwise), the supported interval nearest to the one asked (the
// frame's shortest when 0), the longest frame that follows and
// `max_payload` as dwMaxPayloadTransferSize. kProbeLength bytes.
std::vector<std::uint8_t> negotiate_probe(const std::vector<std::uint8_t>& asked,
                                          std::uint32_t max_payload = kMaxPayloadTransferSize);
// The probe the device starts with: YUYV, the default frame at its shortest
// interval.
std::vector<std::uint8_t> default_probe(std::uint32_t max_payload = kMaxPayloadTransferSize);
// The probe of `format_index` and `frame_index` (each the default when the
// device has no such one) with the frame's shortest (`longest` false) or
// longest interval.
std::vector<std::uint8_t> probe_limit(std::uint8_t format_index, std::uint8_t frame_index, bool longest,
                                      std::uint32_t max_payload = kMaxPayloadTransferSize);
// The stream a probe the device negotiated describes (its payload size
// included).
StreamFormat format_of_probe(const std::vector<std::uint8_t>& probe);

// The payload stream of one committed format. A frame that cannot be encoded is
// sent as a header alone with EOF and the error bit, which a host drops. Time
// is the bus's (the host's USB frame clock, nanoseconds; the SOF number in the
// SCR counts its milliseconds); PTS and SCR count ticks of the camera's own
// clock, read through `ticks`. The SCR's two halves name one instant: the start
// of the bus millisecond (its SOF) in which the payload's first byte is sent,
// with the camera clock latched at that SOF and that SOF's 11-bit number, as a
// host recovering the clock through the SOF counter expects. Each payload ends
// its transfer (with a short or zero-length packet unless it fills the
// negotiated maximum exactly at the transfer's end); a payload longer than the
// host's transfers runs across them. Frame n is captured at start + n *
// interval and is ready to send from then on. A host that reads too slowly
// loses frames the way a camera's FIFO overflows: a frame not begun within
// kFifoFrames intervals of its capture is skipped, and its number is missing
// from the picture (a FIFO of a second at 10 frames per second rides out the
// stalls of an emulated guest on a busy host).
class VideoStream {
 public:
  using DeviceTicks = std::function<std::uint64_t(std::uint64_t bus_ns)>;
  static constexpr std::uint64_t kFifoFrames = 10;

  explicit VideoStream(DeviceTicks ticks);

  void start(const StreamFormat& format, std::uint64_t bus_ns);
  void stop();
  bool running() const { return running_; }
  const StreamFormat& format() const { return format_; }

  // The answer to one bulk IN transfer of at most `length` bytes at
  // `bus_ns`: payload bytes (empty: a zero-length packet ending a payload
  // that filled the previous transfer exactly, or the answer to a transfer
  // of length 0, which takes nothing from the stream), or nothing when no
  // data is due (the device NAKs).
  std::optional<std::vector<std::uint8_t>> transfer(std::size_t length, std::uint64_t bus_ns);
  // Bus time from which transfer() has data; nothing when not running.
  std::optional<std::uint64_t> next_due_ns() const;

  std::uint64_t frames_begun() const { return frames_begun_; }
  std::uint64_t frames_dropped() const { return frames_dropped_; }

 private:
  std::uint64_t capture_ns(std::uint64_t frame) const;
  void begin_payload(std::uint64_t bus_ns);

  DeviceTicks ticks_;
  bool running_ = false;
  StreamFormat format_;
  std::uint64_t start_ns_ = 0;
  std::uint64_t frame_ = 0;       // the frame being sent, or the next one
  std::size_t frame_offset_ = 0;  // its bytes already in payloads
  std::uint32_t pts_ = 0;
  bool fid_ = false;
  std::vector<std::uint8_t> picture_;  // the frame being sent: YUYV, or the JPEG
  std::vector<std::uint8_t> yuyv_;     // an MJPEG frame's picture before encoding
  MjpegEncoder encoder_;
  bool frame_error_ = false;
  std::vector<std::uint8_t> payload_;
  std::size_t payload_sent_ = 0;
  bool zero_length_due_ = false;
  std::uint64_t frames_begun_ = 0;
  std::uint64_t frames_dropped_ = 0;
};

}  // namespace morvane::emulator::usbredir
