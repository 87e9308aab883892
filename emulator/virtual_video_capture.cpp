// The capture and metadata nodes of one virtual camera: the V4L2 streaming
// ioctls, mmap buffers and poll readiness, with frames made lazily from the
// virtual clock (each call first catches the stream up to the present).
#include "emulator/virtual_video_capture.hpp"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "emulator/mjpeg_encoder.hpp"
#include "emulator/stereo_pattern.hpp"

namespace morvane::emulator {
namespace {

constexpr std::size_t kHeaderLength = 12;
constexpr std::uint32_t kMinBuffers = 2;
constexpr std::uint32_t kMaxBuffers = 32;
constexpr std::size_t kPage = 4096;
constexpr std::uint8_t kDefaultSize = 0;  // 640x240, the USB device's first frame

void put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool known_format(std::uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_MJPEG; }

int fail(int error) {
  errno = error;
  return -1;
}

struct Memory {
  std::vector<std::uint8_t> bytes;
  int maps = 0;
};

struct Buffer {
  enum Where { user, queued, filling, done };
  std::shared_ptr<Memory> memory;
  Where where = user;
  std::uint32_t bytesused = 0;
  std::uint32_t sequence = 0;
  std::uint64_t stamp_ns = 0;
  bool error = false;  // handed out with V4L2_BUF_FLAG_ERROR
};

struct Queue {
  int owner = -1;
  std::uint64_t instance = 0;
  bool streaming = false;
  std::uint32_t buffer_bytes = 0;
  std::vector<Buffer> buffers;
  std::deque<std::size_t> queued, filling, done;  // filling: in frame order

  bool mapped() const {
    for (const Buffer& b : buffers)
      if (b.memory->maps > 0) return true;
    return false;
  }
  void stop() {
    streaming = false;
    queued.clear();
    filling.clear();
    done.clear();
    for (Buffer& b : buffers) b.where = Buffer::user;
  }
  void free() {
    stop();
    buffers.clear();
    owner = -1;
  }
};

}  // namespace

struct VirtualVideoCapture::State {
  State(VirtualCamera& c, VirtualClock& k) : camera(c), clock(k) {}

  VirtualCamera& camera;
  VirtualClock& clock;
  mutable std::mutex mutex;
  std::size_t size_index = kDefaultSize;
  std::uint32_t interval = all_frame_sizes()[kDefaultSize].intervals.front();  // 100 ns units
  Queue capture, meta;
  // The stream of the capture node (the camera sends while it streams).
  bool running = false;
  bool ever_started = false;
  std::uint64_t t0 = 0;
  std::uint64_t run_interval_ns = 0;
  std::uint16_t run_width = 0, run_height = 0;
  std::uint64_t next_frame = 0;
  std::uint64_t frames_sent = 0;
  std::map<void*, std::shared_ptr<Memory>> mappings;
  bool mjpeg = false;            // the node is set to Motion-JPEG (else YUYV)
  bool run_mjpeg = false;        // the current stream's format
  std::size_t damage_count = 0;  // frames still to send cut short
  MjpegEncoder encoder;
  std::vector<std::uint8_t> picture;  // an MJPEG frame's YUYV picture before encoding

  const FrameSize& size() const { return all_frame_sizes()[size_index]; }
  std::uint32_t frame_bytes() const {
    return mjpeg ? static_cast<std::uint32_t>(MjpegEncoder::max_bytes(size().width, size().height))
                 : static_cast<std::uint32_t>(size().width) * size().height * 2;
  }
  Queue& queue(bool is_capture) { return is_capture ? capture : meta; }

  // A descriptor of another device instance left its queues to the old one.
  void sync(std::uint64_t instance) {
    for (Queue* q : {&capture, &meta})
      if (q->owner >= 0 && q->instance != instance) {
        q->free();
        if (q == &capture) running = false;
      }
  }

  // ---- The stream's timing (see the header).
  std::size_t payload_count() const {
    const std::size_t bytes = static_cast<std::size_t>(run_width) * run_height * 2;
    return std::max<std::size_t>(1, (bytes + kPayloadBytes - 1) / kPayloadBytes);
  }
  std::uint64_t exposure_ns(std::uint64_t n) const { return t0 + kFirstFrameDelayNs + n * run_interval_ns; }
  std::uint64_t send_ns(std::uint64_t n, std::size_t p) const {
    return exposure_ns(n) + kExposureNs + (run_interval_ns / 2) * p / payload_count();
  }
  std::uint64_t latency_ns(std::uint64_t n, std::size_t p) const {
    const double u =
        mix32(mix32(static_cast<std::uint32_t>(n) * 0x9E3779B1U) ^ static_cast<std::uint32_t>(p)) / 4294967296.0;
    return kBusLatencyMinNs +
           static_cast<std::uint64_t>(static_cast<double>(kBusLatencyMaxNs - kBusLatencyMinNs) * u * u * u * u);
  }
  // Arrival of every payload of frame n, in bus order (never earlier than
  // the one before).
  std::vector<std::uint64_t> arrivals(std::uint64_t n) const {
    std::vector<std::uint64_t> out(payload_count());
    std::uint64_t last = 0;
    for (std::size_t p = 0; p < out.size(); ++p) {
      last = std::max(last, send_ns(n, p) + latency_ns(n, p));
      out[p] = last;
    }
    return out;
  }

  // The PTS the camera sends for an exposure at host instant `exposure`.
  std::uint32_t pts_at(std::uint64_t exposure) const {
    const CameraConfig& c = camera.config();
    return static_cast<std::uint32_t>(camera.device_ticks_at(exposure) + c.video_clock_offset_ticks +
                                      c.pts_offset_ticks);
  }

  VideoFrameTruth truth(std::uint64_t n) const {
    VideoFrameTruth t;
    t.sequence = n;
    t.exposure_ns = exposure_ns(n);
    t.device_ticks = camera.device_ticks_at(t.exposure_ns);
    t.pts = pts_at(t.exposure_ns);
    const std::vector<std::uint64_t> a = arrivals(n);
    t.first_arrival_ns = a.front();
    t.completed_ns = a.back();
    return t;
  }

  // One block per payload, as the UVC driver fills a V4L2_META_FMT_UVC
  // buffer: its stamp of the payload's arrival and the USB frame number,
  // then a copy of the payload header from its first byte (bHeaderLength,
  // bmHeaderInfo, PTS, SCR).
  void write_metadata(Buffer& b, std::uint64_t n, std::uint32_t pts, const std::vector<std::uint64_t>& arrival) {
    std::uint8_t* out = b.memory->bytes.data();
    const std::size_t room = b.memory->bytes.size();
    constexpr std::size_t kStamps = sizeof(std::uint64_t) + sizeof(std::uint16_t);
    const std::size_t block = kStamps + kHeaderLength;
    std::size_t used = 0;
    const bool fid = (n & 1) != 0;
    for (std::size_t p = 0; p < arrival.size() && used + block <= room; ++p) {
      const std::uint64_t sent = send_ns(n, p);
      std::uint8_t* h = out + used + kStamps;
      std::memcpy(out + used, &arrival[p], sizeof(std::uint64_t));
      const auto sof = static_cast<std::uint16_t>((arrival[p] / 1000000) & 0x7FF);
      std::memcpy(out + used + sizeof(std::uint64_t), &sof, sizeof sof);
      h[0] = static_cast<std::uint8_t>(kHeaderLength);
      h[1] = static_cast<std::uint8_t>(kHeaderEoh | kHeaderPts | kHeaderScr | (fid ? kHeaderFid : 0) |
                                       (p + 1 == arrival.size() ? kHeaderEof : 0));
      put32(h + 2, pts);
      put32(h + 6, static_cast<std::uint32_t>(camera.device_ticks_at(sent) + camera.config().video_clock_offset_ticks));
      put16(h + 10, static_cast<std::uint16_t>((sent / 1000000) & 0x7FF));
      used += block;
    }
    b.bytesused = static_cast<std::uint32_t>(used);
  }

  // Makes every frame whose first payload has arrived by `now`, and moves
  // the buffers whose last payload has to the done lists.
  void catch_up(std::uint64_t now) {
    while (running) {
      const std::uint64_t n = next_frame;
      if (send_ns(n, 0) + latency_ns(n, 0) > now) break;
      ++next_frame;
      ++frames_sent;
      if (capture.queued.empty()) continue;  // no buffer: the frame is lost
      const std::vector<std::uint64_t> a = arrivals(n);
      const std::uint32_t pts = pts_at(exposure_ns(n));
      const std::size_t i = capture.queued.front();
      capture.queued.pop_front();
      Buffer& b = capture.buffers[i];
      if (run_mjpeg) {
        // The same picture, compressed; with the same timing as YUYV.
        picture.resize(static_cast<std::size_t>(run_width) * run_height * 2);
        render_stereo_frame(picture.data(), run_width, run_height, static_cast<std::uint32_t>(n), pts);
        const std::size_t length = encoder.encode(picture.data(), run_width, run_height, b.memory->bytes.data());
        b.bytesused = static_cast<std::uint32_t>(length);
      } else {
        render_stereo_frame(b.memory->bytes.data(), run_width, run_height, static_cast<std::uint32_t>(n), pts);
        b.bytesused = static_cast<std::uint32_t>(run_width) * run_height * 2;
      }
      // Payloads lost on the bus: the frame ends early. The driver, handing
      // out damaged frames, flags an uncompressed one it sees short; it
      // cannot tell for Motion-JPEG.
      b.error = false;
      if (damage_count > 0) {
        --damage_count;
        b.bytesused /= 2;
        b.error = !run_mjpeg;
      }
      b.sequence = static_cast<std::uint32_t>(n);
      b.stamp_ns = a.back();
      b.where = Buffer::filling;
      capture.filling.push_back(i);
      if (meta.streaming && !meta.queued.empty()) {
        const std::size_t j = meta.queued.front();
        meta.queued.pop_front();
        Buffer& m = meta.buffers[j];
        write_metadata(m, n, pts, a);
        m.sequence = b.sequence;
        m.stamp_ns = b.stamp_ns;
        m.where = Buffer::filling;
        meta.filling.push_back(j);
      }
    }
    for (Queue* q : {&capture, &meta}) {
      while (!q->filling.empty() && q->buffers[q->filling.front()].stamp_ns <= now) {
        q->buffers[q->filling.front()].where = Buffer::done;
        q->done.push_back(q->filling.front());
        q->filling.pop_front();
      }
    }
  }

  // When a buffer of `q` next becomes done, if one will without the caller.
  std::optional<std::uint64_t> next_event(const Queue& q) const {
    if (!q.streaming) return std::nullopt;
    if (!q.filling.empty()) return q.buffers[q.filling.front()].stamp_ns;
    if (!running || q.queued.empty() || capture.queued.empty()) return std::nullopt;
    return arrivals(next_frame).back();
  }

  void fill_buffer(const Queue& q, bool is_capture, std::size_t i, v4l2_buffer& out) const {
    const Buffer& b = q.buffers[i];
    const std::uint32_t type = is_capture ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_META_CAPTURE;
    std::memset(&out, 0, sizeof out);
    out.index = static_cast<std::uint32_t>(i);
    out.type = type;
    out.memory = V4L2_MEMORY_MMAP;
    out.length = q.buffer_bytes;
    out.m.offset = static_cast<std::uint32_t>(i * ((q.buffer_bytes + kPage - 1) / kPage * kPage));
    out.field = V4L2_FIELD_NONE;
    out.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
    if (b.memory->maps > 0) out.flags |= V4L2_BUF_FLAG_MAPPED;
    if (b.where == Buffer::queued || b.where == Buffer::filling) out.flags |= V4L2_BUF_FLAG_QUEUED;
    if (b.where == Buffer::done) out.flags |= V4L2_BUF_FLAG_DONE;
    if (b.error && (b.where == Buffer::done || b.where == Buffer::user)) out.flags |= V4L2_BUF_FLAG_ERROR;
    if (b.where == Buffer::done || b.where == Buffer::user) {
      out.bytesused = b.bytesused;
      out.sequence = b.sequence;
      out.timestamp.tv_sec = static_cast<time_t>(b.stamp_ns / 1000000000ULL);
      out.timestamp.tv_usec = static_cast<suseconds_t>((b.stamp_ns % 1000000000ULL) / 1000);
    }
  }

  int ioctl(int fd, bool is_capture, int flags, unsigned long request, void* arg);
  int set_format(bool is_capture, v4l2_format& f, bool apply);
};

int VirtualVideoCapture::State::set_format(bool is_capture, v4l2_format& f, bool apply) {
  if (!is_capture) {
    if (f.type != V4L2_BUF_TYPE_META_CAPTURE) return fail(EINVAL);
    std::memset(&f.fmt, 0, sizeof f.fmt);
    f.fmt.meta.dataformat = V4L2_META_FMT_UVC;
    f.fmt.meta.buffersize = kMetadataBufferBytes;
    return 0;
  }
  if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
  // The nearest size the camera has; any pixel format asked becomes its one.
  const auto& sizes = all_frame_sizes();
  std::size_t best = 0;
  long best_d = -1;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const long d = std::labs(static_cast<long>(sizes[i].width) - static_cast<long>(f.fmt.pix.width)) +
                   std::labs(static_cast<long>(sizes[i].height) - static_cast<long>(f.fmt.pix.height));
    if (best_d < 0 || d < best_d) best = i, best_d = d;
  }
  // Motion-JPEG when asked for, YUYV for anything else.
  const bool jpeg = f.fmt.pix.pixelformat == V4L2_PIX_FMT_MJPEG;
  if (apply) {
    if (!capture.buffers.empty()) return fail(EBUSY);
    size_index = best;
    interval = sizes[best].intervals.front();
    mjpeg = jpeg;
  }
  v4l2_pix_format& p = f.fmt.pix;
  std::memset(&f.fmt, 0, sizeof f.fmt);
  p.width = sizes[best].width;
  p.height = sizes[best].height;
  p.pixelformat = jpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
  p.field = V4L2_FIELD_NONE;
  p.bytesperline = jpeg ? 0 : p.width * 2;
  p.sizeimage = jpeg ? static_cast<std::uint32_t>(MjpegEncoder::max_bytes(sizes[best].width, sizes[best].height))
                     : p.bytesperline * p.height;
  p.colorspace = jpeg ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
  return 0;
}

int VirtualVideoCapture::State::ioctl(int fd, bool is_capture, int flags, unsigned long request, void* arg) {
  if (arg == nullptr) return fail(EFAULT);
  const std::uint32_t type = is_capture ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_META_CAPTURE;
  Queue& q = queue(is_capture);
  catch_up(clock.now_ns());
  switch (request) {
    case VIDIOC_ENUM_FMT: {
      auto& d = *static_cast<v4l2_fmtdesc*>(arg);
      if (d.type != type || d.index > (is_capture ? 1u : 0u)) return fail(EINVAL);
      const std::uint32_t index = d.index;
      std::memset(&d, 0, sizeof d);
      d.index = index;
      d.type = type;
      const bool jpeg = is_capture && index == 1;
      d.pixelformat = !is_capture ? V4L2_META_FMT_UVC : jpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
      d.flags = jpeg ? V4L2_FMT_FLAG_COMPRESSED : 0;
      std::snprintf(reinterpret_cast<char*>(d.description), sizeof d.description, "%s",
                    !is_capture ? "UVC Payload Header Metadata"
                    : jpeg      ? "Motion-JPEG"
                                : "YUYV 4:2:2");
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      if (!is_capture) return fail(ENOTTY);
      auto& e = *static_cast<v4l2_frmsizeenum*>(arg);
      const auto& sizes = all_frame_sizes();
      if (!known_format(e.pixel_format) || e.index >= sizes.size()) return fail(EINVAL);
      e.type = V4L2_FRMSIZE_TYPE_DISCRETE;
      e.discrete.width = sizes[e.index].width;
      e.discrete.height = sizes[e.index].height;
      return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      if (!is_capture) return fail(ENOTTY);
      auto& e = *static_cast<v4l2_frmivalenum*>(arg);
      if (!known_format(e.pixel_format)) return fail(EINVAL);
      for (const FrameSize& s : all_frame_sizes()) {
        if (s.width != e.width || s.height != e.height) continue;
        if (e.index >= s.intervals.size()) return fail(EINVAL);
        e.type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e.discrete.numerator = s.intervals[e.index];
        e.discrete.denominator = 10000000;
        return 0;
      }
      return fail(EINVAL);
    }
    case VIDIOC_G_FMT: {
      auto& f = *static_cast<v4l2_format*>(arg);
      if (f.type != type) return fail(EINVAL);
      if (is_capture) {
        f.fmt.pix.width = size().width;
        f.fmt.pix.height = size().height;
        f.fmt.pix.pixelformat = mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
      }
      return set_format(is_capture, f, false);
    }
    case VIDIOC_TRY_FMT:
      return set_format(is_capture, *static_cast<v4l2_format*>(arg), false);
    case VIDIOC_S_FMT:
      if (q.owner >= 0 && q.owner != fd) return fail(EBUSY);
      return set_format(is_capture, *static_cast<v4l2_format*>(arg), true);
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      if (!is_capture) return fail(ENOTTY);
      auto& p = *static_cast<v4l2_streamparm*>(arg);
      if (p.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
      if (request == VIDIOC_S_PARM) {
        if (running) return fail(EBUSY);
        const v4l2_fract want = p.parm.capture.timeperframe;
        const auto& intervals = size().intervals;
        std::uint32_t pick = intervals.front();
        if (want.numerator != 0 && want.denominator != 0) {
          const double asked = 1e7 * want.numerator / want.denominator;
          for (std::uint32_t i : intervals)
            if (std::abs(i - asked) < std::abs(pick - asked)) pick = i;
        }
        interval = pick;
      }
      std::memset(&p.parm, 0, sizeof p.parm);
      p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      p.parm.capture.timeperframe.numerator = interval;
      p.parm.capture.timeperframe.denominator = 10000000;
      p.parm.capture.readbuffers = 0;
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto& r = *static_cast<v4l2_requestbuffers*>(arg);
      if (r.type != type || r.memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
      if (q.owner >= 0 && q.owner != fd) return fail(EBUSY);
      if (q.streaming) return fail(EBUSY);
      if (q.mapped()) return fail(EBUSY);
      q.free();
      if (r.count == 0) {
        r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        return 0;
      }
      r.count = std::clamp<std::uint32_t>(r.count, kMinBuffers, kMaxBuffers);
      q.buffer_bytes = is_capture ? frame_bytes() : kMetadataBufferBytes;
      for (std::uint32_t i = 0; i < r.count; ++i) {
        Buffer b;
        b.memory = std::make_shared<Memory>();
        // Whole pages, as a mapping has them; never resized, so a mapping's
        // address stays valid.
        b.memory->bytes.assign((q.buffer_bytes + kPage - 1) / kPage * kPage, 0);
        q.buffers.push_back(std::move(b));
      }
      q.owner = fd;
      r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
      return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto& b = *static_cast<v4l2_buffer*>(arg);
      if (b.type != type) return fail(EINVAL);
      if (request != VIDIOC_QUERYBUF && q.owner != fd) return fail(EBUSY);
      if (b.memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
      if (request == VIDIOC_DQBUF) {
        if (!q.streaming) return fail(EINVAL);
        while (q.done.empty()) {
          // A blocking dequeue waits on the virtual clock for the next
          // buffer; with none to come it reports EAGAIN rather than hang.
          const std::optional<std::uint64_t> at = next_event(q);
          if ((flags & O_NONBLOCK) != 0 || !at) return fail(EAGAIN);
          const std::uint64_t now = clock.now_ns();
          if (*at > now) clock.advance_ns(*at - now);
          catch_up(clock.now_ns());
        }
        const std::size_t i = q.done.front();
        q.done.pop_front();
        q.buffers[i].where = Buffer::user;
        fill_buffer(q, is_capture, i, b);
        return 0;
      }
      if (b.index >= q.buffers.size()) return fail(EINVAL);
      if (request == VIDIOC_QBUF) {
        Buffer& buffer = q.buffers[b.index];
        if (buffer.where != Buffer::user) return fail(EINVAL);
        buffer.where = Buffer::queued;
        q.queued.push_back(b.index);
      }
      fill_buffer(q, is_capture, b.index, b);
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      const int t = *static_cast<int*>(arg);
      if (static_cast<std::uint32_t>(t) != type) return fail(EINVAL);
      if (q.owner != fd) return q.owner < 0 && request == VIDIOC_STREAMOFF ? 0 : fail(q.owner < 0 ? EINVAL : EBUSY);
      if (request == VIDIOC_STREAMOFF) {
        q.stop();
        if (is_capture) running = false;
        return 0;
      }
      if (q.streaming) return 0;
      q.streaming = true;
      if (is_capture) {
        running = ever_started = true;
        t0 = clock.now_ns();
        run_interval_ns = static_cast<std::uint64_t>(interval) * 100;
        run_width = size().width;
        run_height = size().height;
        run_mjpeg = mjpeg;
        next_frame = 0;
        frames_sent = 0;
      }
      return 0;
    }
    default:
      return fail(ENOTTY);
  }
}

VirtualVideoCapture::VirtualVideoCapture(VirtualCamera& camera, VirtualClock& clock)
    : state_(std::make_unique<State>(camera, clock)) {}

VirtualVideoCapture::~VirtualVideoCapture() {
  // A mapping outlives its device, as a process's mapping of a buffer stays
  // valid after the node and the driver are gone: the memory of buffers
  // still mapped is left allocated (a program that never unmaps leaks it,
  // as it would leak the kernel's pages), never freed under the mapping.
  if (state_->mappings.empty()) return;
  static std::mutex kept_mutex;
  static auto* kept = new std::vector<std::shared_ptr<Memory>>();  // reachable: not reported as a leak
  std::lock_guard<std::mutex> lock(kept_mutex);
  for (auto& mapping : state_->mappings) kept->push_back(std::move(mapping.second));
}

void VirtualVideoCapture::damage_next_frames(std::size_t count) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->damage_count = count;
}

int VirtualVideoCapture::ioctl(int fd, bool capture, int flags, std::uint64_t instance, unsigned long request,
                               void* arg) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->sync(instance);
  const int r = state_->ioctl(fd, capture, flags, request, arg);
  if (state_->queue(capture).owner == fd) state_->queue(capture).instance = instance;
  return r;
}

void* VirtualVideoCapture::mmap(int fd, bool capture, std::uint64_t instance, std::size_t length, int flags,
                                off_t offset) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  s.sync(instance);
  (void)fd;  // any descriptor of the node may map its buffers
  Queue& q = s.queue(capture);
  if ((flags & MAP_SHARED) == 0) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  const std::size_t stride = (q.buffer_bytes + kPage - 1) / kPage * kPage;
  if (stride == 0 || offset < 0 || static_cast<std::size_t>(offset) % stride != 0 ||
      static_cast<std::size_t>(offset) / stride >= q.buffers.size() || length == 0 || length > stride) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  const std::shared_ptr<Memory>& memory = q.buffers[static_cast<std::size_t>(offset) / stride].memory;
  ++memory->maps;
  void* address = memory->bytes.data();
  if (s.mappings.count(address) != 0) {
    --memory->maps;
    errno = EBUSY;  // a second mapping of one buffer: the SDK never makes one
    return MAP_FAILED;
  }
  s.mappings[address] = memory;
  return address;
}

int VirtualVideoCapture::munmap(void* addr, std::size_t length) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->mappings.find(addr);
  if (it == state_->mappings.end() || length == 0) return fail(EINVAL);
  --it->second->maps;
  state_->mappings.erase(it);
  return 0;
}

bool VirtualVideoCapture::owns_mapping(void* addr) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mappings.count(addr) != 0;
}

short VirtualVideoCapture::poll_events(int fd, bool capture, std::uint64_t instance) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  s.sync(instance);
  s.catch_up(s.clock.now_ns());
  const Queue& q = s.queue(capture);
  if (q.owner != fd || !q.streaming) return POLLERR;
  if (!q.done.empty()) return POLLIN | POLLRDNORM;
  if (q.queued.empty() && q.filling.empty()) return POLLERR;
  return 0;
}

std::optional<std::uint64_t> VirtualVideoCapture::next_event_ns(int fd, bool capture, std::uint64_t instance) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  s.sync(instance);
  const Queue& q = s.queue(capture);
  if (q.owner != fd) return std::nullopt;
  return s.next_event(q);
}

void VirtualVideoCapture::close(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  if (s.capture.owner == fd) {
    s.capture.free();
    s.running = false;
  }
  if (s.meta.owner == fd) s.meta.free();
}

std::optional<VideoFrameTruth> VirtualVideoCapture::frame_truth(std::uint64_t sequence) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->ever_started) return std::nullopt;
  return state_->truth(sequence);
}

std::size_t VirtualVideoCapture::mapped_buffer_count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mappings.size();
}

std::uint64_t VirtualVideoCapture::frames_sent() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->frames_sent;
}

}  // namespace morvane::emulator
