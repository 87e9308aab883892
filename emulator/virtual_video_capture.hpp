// The UVC driver's streaming side of one virtual camera: its capture node
// (YUYV frames, or Motion-JPEG ones, in mmap buffers) and its metadata node
// (V4L2_META_FMT_UVC), served from the camera's stereo test picture on the
// virtual clock. An MJPEG frame is the same picture encoded with
// libjpeg-turbo (baseline JFIF, 4:2:2, full-range samples, quality 90), sent
// with the same timing as the YUYV one.
//
// The camera's timing, as the model has it. Streaming starts at host instant
// t0 (VIDIOC_STREAMON of the capture node); frame n (the driver's sequence
// number, from 0) is exposed at E(n) = t0 + kFirstFrameDelayNs + n * interval,
// its true instant, and its PTS is the device clock's ticks at E(n) (the
// 1 MHz clock the IMU counter counts, low 32 bits). The sensor is read out
// from E(n) + kExposureNs over half the frame interval, in payloads of at most
// kPayloadBytes of picture; each payload's SCR holds the device ticks and
// the bus's 1 kHz frame number at the instant it is sent, and the payload
// reaches the host after a bus latency of kBusLatencyMinNs plus a
// long-tailed draw up to kBusLatencyMaxNs. The kernel's stamp of the frame
// (v4l2_buffer.timestamp) is the instant its last payload arrived.
//
// A frame takes the oldest queued capture buffer when its first payload
// arrives; with none queued it is lost (its sequence number is skipped, as
// the driver counts every frame the camera sends). The metadata node's
// oldest queued buffer goes with it when that node streams: one block per
// payload as the driver writes it (struct uvc_meta_buf's ns: the host's
// arrival instant, sof: the host's USB frame number then, and from its
// length field on the payload header's 12 bytes: 22 bytes), as many as fit,
// with the frame's sequence number and stamp.
//
// Each node's queue belongs to the descriptor that allocated its buffers
// (others get EBUSY) until that descriptor frees them or is closed. Mappings
// outlive everything but munmap: a buffer's memory stays valid while mapped,
// also after this object is destroyed.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {

inline constexpr std::uint64_t kFirstFrameDelayNs = 2'000'000;
inline constexpr std::uint64_t kExposureNs = 1'000'000;
inline constexpr std::size_t kPayloadBytes = 16384 - 12;
inline constexpr std::uint64_t kBusLatencyMinNs = 20'000;
inline constexpr std::uint64_t kBusLatencyMaxNs = 500'000;
inline constexpr std::uint32_t kMetadataBufferBytes = 10240;

// What the camera knows of one frame of the current (or last) stream.
struct VideoFrameTruth {
  std::uint64_t sequence = 0;
  std::uint64_t exposure_ns = 0;       // E(n): the instant the PTS denotes
  std::uint64_t device_ticks = 0;      // the device clock then, wraps included
  std::uint32_t pts = 0;               // its low 32 bits
  std::uint64_t first_arrival_ns = 0;  // the first payload reaches the host
  std::uint64_t completed_ns = 0;      // the last one: the kernel's stamp
};

class VirtualVideoCapture {
 public:
  VirtualVideoCapture(VirtualCamera& camera, VirtualClock& clock);
  ~VirtualVideoCapture();
  VirtualVideoCapture(const VirtualVideoCapture&) = delete;
  VirtualVideoCapture& operator=(const VirtualVideoCapture&) = delete;

  // One ioctl on descriptor `fd` of the capture node (`capture` true) or the
  // metadata node, opened with `flags` on device instance `instance` (a new
  // instance after every re-enumeration or driver rebind: the old one's
  // queues are gone). The ioctl(2) contract: 0, or -1 with errno (ENOTTY for
  // a request the node does not answer).
  int ioctl(int fd, bool capture, int flags, std::uint64_t instance, unsigned long request, void* arg);
  // mmap(2) of the buffer at `offset` of the node's queue: the buffer's
  // memory, or MAP_FAILED with errno (EINVAL: no such buffer, or longer
  // than it; EACCES: not a shared mapping).
  void* mmap(int fd, bool capture, std::uint64_t instance, std::size_t length, int flags, off_t offset);
  // munmap(2) of a mapping made here: 0, or -1 with errno EINVAL when `addr`
  // is not one (the platform then tries elsewhere).
  int munmap(void* addr, std::size_t length);
  bool owns_mapping(void* addr) const;
  // poll(2) events of the descriptor now (POLLIN | POLLRDNORM: a filled
  // buffer waits; POLLERR: the node does not stream or has no buffer queued
  // or filled, as older kernels' vb2 reports a streaming queue whose every
  // buffer the application holds; newer ones just wait), and the host
  // instant a buffer next becomes filled (none: never without the caller's
  // help).
  short poll_events(int fd, bool capture, std::uint64_t instance);
  std::optional<std::uint64_t> next_event_ns(int fd, bool capture, std::uint64_t instance);
  // The descriptor is closed: its queues stop and their buffers are freed.
  void close(int fd);

  // ---- For tests.
  // Frame `sequence` of the current or last stream; nothing before the
  // first STREAMON.
  std::optional<VideoFrameTruth> frame_truth(std::uint64_t sequence) const;
  std::size_t mapped_buffer_count() const;
  std::uint64_t frames_sent() const;  // frames the camera began sending in the current or last stream
  // The next `count` MJPEG frames arrive cut short (half their bytes), as
  // when payloads are lost on the bus.
  void damage_next_mjpeg_frames(std::size_t count);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace morvane::emulator
