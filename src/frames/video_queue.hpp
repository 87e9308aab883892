// One V4L2 node streaming into mmap buffers through the OS boundary: open,
// buffers requested, mapped and queued, and torn down in the right order
// (stream off, unmap, free, close) when the last user lets go.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "video_queue.hpp is internal to the SDK"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/result.hpp"

struct v4l2_buffer;

namespace morvane::uvc_stereo::detail {

// "<call> <node> failed: <text>" as io_error, or device_unavailable
// "<node> is gone (<call>: <text>)" when errno says the device vanished.
Result<void> video_failure(const std::string& call, const std::string& node, int error);

class VideoQueue {
 public:
  struct Mapping {
    void* address = nullptr;
    std::size_t length = 0;
  };

  VideoQueue(std::string node, int fd, std::uint32_t type);
  ~VideoQueue();  // stream off, unmap, close
  VideoQueue(const VideoQueue&) = delete;
  VideoQueue& operator=(const VideoQueue&) = delete;

  // Requests `count` buffers, maps and queues each of them.
  Result<void> start_buffers(std::uint32_t count);
  Result<void> stream_on();
  // Takes the oldest filled buffer without waiting: true with `out` set,
  // false with EAGAIN as the outcome when none is filled.
  Result<bool> dequeue(v4l2_buffer& out);
  // Gives buffer `index` back to the driver (after a frame is released).
  // A failure is also kept for requeue_error().
  Result<void> requeue(std::uint32_t index);
  // Stops streaming (buffers come back from the driver); the mappings stay.
  void stream_off() noexcept;
  // The device is gone or the queue failed: nothing more is queued.
  void mark_dead() noexcept { dead_ = true; }
  bool dead() const noexcept { return dead_; }

  // Buffers with the driver (queued and not dequeued since): 0 while the
  // caller's frames hold every buffer, when the driver has none to fill.
  std::size_t queued() const noexcept { return queued_.load(); }
  // The errno of the last requeue that failed (0: none did).
  int requeue_error() const noexcept { return requeue_error_.load(); }

  int fd() const noexcept { return fd_; }
  const std::string& node() const noexcept { return node_; }
  const Mapping& mapping(std::uint32_t index) const { return mappings_[index]; }
  std::size_t buffer_count() const noexcept { return mappings_.size(); }

 private:
  std::string node_;
  int fd_;
  std::uint32_t type_;
  bool streaming_ = false;
  bool dead_ = false;
  bool requested_ = false;
  std::vector<Mapping> mappings_;
  // Atomic: a frame may be released (and its buffer requeued) on another
  // thread than the one that dequeues.
  std::atomic<std::size_t> queued_{0};
  std::atomic<int> requeue_error_{0};
};

}  // namespace morvane::uvc_stereo::detail
