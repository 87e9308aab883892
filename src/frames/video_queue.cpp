#include "frames/video_queue.hpp"

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.hpp"

namespace morvane::uvc_stereo::detail {

Result<void> video_failure(const std::string& call, const std::string& node, int error) {
  if (error == ENODEV || error == ENXIO || error == ENOENT)
    return Result<void>::failure(ErrorCode::device_unavailable,
                                 node + " is gone (" + call + ": " + std::strerror(error) + ")");
  return Result<void>::failure(ErrorCode::io_error, call + " " + node + " failed: " + std::strerror(error));
}

VideoQueue::VideoQueue(std::string node, int fd, std::uint32_t type) : node_(std::move(node)), fd_(fd), type_(type) {}

VideoQueue::~VideoQueue() {
  platform::Platform& os = platform::current();
  stream_off();
  for (const Mapping& m : mappings_)
    if (m.address != nullptr) os.video_munmap(m.address, m.length);
  if (requested_ && !dead_) {
    // Free the buffers while the descriptor is still open (closing would
    // too; this keeps the driver's state tidy for the next opener).
    v4l2_requestbuffers r{};
    r.count = 0;
    r.type = type_;
    r.memory = V4L2_MEMORY_MMAP;
    os.video_ioctl(fd_, VIDIOC_REQBUFS, &r);
  }
  if (fd_ >= 0) os.video_close(fd_);
}

Result<void> VideoQueue::start_buffers(std::uint32_t count) {
  platform::Platform& os = platform::current();
  v4l2_requestbuffers r{};
  r.count = count;
  r.type = type_;
  r.memory = V4L2_MEMORY_MMAP;
  if (os.video_ioctl(fd_, VIDIOC_REQBUFS, &r) != 0) return video_failure("VIDIOC_REQBUFS", node_, errno);
  requested_ = true;
  if (r.count == 0) return Result<void>::failure(ErrorCode::io_error, "VIDIOC_REQBUFS " + node_ + " gave no buffers");
  for (std::uint32_t i = 0; i < r.count; ++i) {
    v4l2_buffer b{};
    b.type = type_;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    if (os.video_ioctl(fd_, VIDIOC_QUERYBUF, &b) != 0) return video_failure("VIDIOC_QUERYBUF", node_, errno);
    void* address = os.video_mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
    if (address == MAP_FAILED) return video_failure("mmap", node_, errno);
    mappings_.push_back({address, b.length});
    if (os.video_ioctl(fd_, VIDIOC_QBUF, &b) != 0) return video_failure("VIDIOC_QBUF", node_, errno);
    ++queued_;
  }
  return Result<void>::success();
}

Result<void> VideoQueue::stream_on() {
  int type = static_cast<int>(type_);
  if (platform::current().video_ioctl(fd_, VIDIOC_STREAMON, &type) != 0)
    return video_failure("VIDIOC_STREAMON", node_, errno);
  streaming_ = true;
  return Result<void>::success();
}

void VideoQueue::stream_off() noexcept {
  if (!streaming_) return;
  streaming_ = false;
  queued_ = 0;  // stream off takes every buffer back from the driver
  if (dead_) return;
  int type = static_cast<int>(type_);
  platform::current().video_ioctl(fd_, VIDIOC_STREAMOFF, &type);
}

Result<bool> VideoQueue::dequeue(v4l2_buffer& out) {
  std::memset(&out, 0, sizeof out);
  out.type = type_;
  out.memory = V4L2_MEMORY_MMAP;
  if (platform::current().video_ioctl(fd_, VIDIOC_DQBUF, &out) == 0) {
    if (out.index >= mappings_.size())
      return Result<bool>::failure(ErrorCode::io_error, "VIDIOC_DQBUF " + node_ + " gave an unknown buffer");
    if (queued_ > 0) --queued_;
    return Result<bool>::success(true);
  }
  const int error = errno;
  if (error == EAGAIN) return Result<bool>::success(false);
  return Result<bool>::forward(video_failure("VIDIOC_DQBUF", node_, error));
}

Result<void> VideoQueue::requeue(std::uint32_t index) {
  if (dead_ || !streaming_) return Result<void>::success();
  v4l2_buffer b{};
  b.type = type_;
  b.memory = V4L2_MEMORY_MMAP;
  b.index = index;
  if (platform::current().video_ioctl(fd_, VIDIOC_QBUF, &b) != 0) {
    const int error = errno;
    requeue_error_ = error;
    return video_failure("VIDIOC_QBUF", node_, error);
  }
  ++queued_;
  return Result<void>::success();
}

}  // namespace morvane::uvc_stereo::detail
