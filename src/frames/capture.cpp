// The stereo capture: negotiation of size, rate and format on the capture
// node, the metadata node beside it, and frames handed out with their
// buffers, their sequence gaps and their instants.
#include <fcntl.h>
#include <libyuv.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frames/capture_impl.hpp"
#include "frames/frame_clock.hpp"
#include "frames/video_queue.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

using detail::VideoQueue;
constexpr const char* kMsgClosed = "stereo capture is closed or moved-from";
constexpr double kRateTolerance = 0.005;
// A PTS mapped later than the kernel's stamp of its frame by more than this,
// or earlier by more than kPtsEarliestNs, is not on the camera's clock.
constexpr double kPtsLateNs = 1e6;
constexpr double kPtsEarliestNs = 1e9;
constexpr std::size_t kMetadataKept = 64;  // parsed metadata waiting for its frame
// While every buffer is held, the wait looks again this often (a frame
// released on another thread gives its buffer back meanwhile).
constexpr std::uint64_t kHeldStepNs = 10'000'000;

template <typename T>
Result<T> fail_as(const Result<void>& r) {
  return Result<T>::forward(r);
}

bool option_ok(double value, double low, double high) { return value >= low && value <= high; }

std::string size_text(std::uint32_t w, std::uint32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string rate_text(double fps) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", fps);
  return text;
}

std::uint64_t stamp_ns(const v4l2_buffer& b) {
  return static_cast<std::uint64_t>(b.timestamp.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(b.timestamp.tv_usec) * 1000ULL;
}

int open_node(const std::string& node) { return platform::current().video_open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC); }

bool query_caps(int fd, v4l2_capability& cap) {
  std::memset(&cap, 0, sizeof cap);
  return platform::current().video_ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
}

std::uint32_t node_caps(const v4l2_capability& cap) {
  return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
}

// The metadata node of the same camera: a node whose driver, card and bus
// match the capture node's and that captures V4L2_META_FMT_UVC. The UVC
// driver numbers it right after the capture node, so that one is tried
// first; then the other video nodes in /dev.
int open_metadata_node(const std::string& capture_node, const v4l2_capability& capture_caps, std::string& found) {
  platform::Platform& os = platform::current();
  std::vector<std::string> candidates;
  const std::size_t digits = capture_node.find_last_not_of("0123456789");
  if (digits != std::string::npos && digits + 1 < capture_node.size()) {
    const unsigned long n = std::strtoul(capture_node.c_str() + digits + 1, nullptr, 10);
    candidates.push_back(capture_node.substr(0, digits + 1) + std::to_string(n + 1));
  }
  std::vector<std::string> names;
  if (os.list_directory("/dev", names)) {
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name.rfind("video", 0) != 0 || name.size() == 5 ||
          name.find_first_not_of("0123456789", 5) != std::string::npos)
        continue;
      const std::string path = "/dev/" + name;
      if (path != capture_node && path != candidates.front()) candidates.push_back(path);
    }
  }
  for (const std::string& path : candidates) {
    const int fd = open_node(path);
    if (fd < 0) continue;
    v4l2_capability cap;
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_META_CAPTURE;
    const bool same = query_caps(fd, cap) && (node_caps(cap) & V4L2_CAP_META_CAPTURE) != 0 &&
                      std::memcmp(cap.bus_info, capture_caps.bus_info, sizeof cap.bus_info) == 0 &&
                      std::memcmp(cap.card, capture_caps.card, sizeof cap.card) == 0 &&
                      std::memcmp(cap.driver, capture_caps.driver, sizeof cap.driver) == 0 &&
                      os.video_ioctl(fd, VIDIOC_G_FMT, &f) == 0 && f.fmt.meta.dataformat == V4L2_META_FMT_UVC;
    if (same) {
      found = path;
      return fd;
    }
    os.video_close(fd);
  }
  return -1;
}

struct SizeChoice {
  std::uint32_t width = 0, height = 0;
};

// The sizes the node announces for the pixel format (empty when it does not
// enumerate).
std::vector<SizeChoice> format_sizes(int fd, std::uint32_t fourcc) {
  std::vector<SizeChoice> out;
  for (std::uint32_t i = 0; i < 256; ++i) {
    v4l2_frmsizeenum e{};
    e.index = i;
    e.pixel_format = fourcc;
    if (platform::current().video_ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &e) != 0) break;
    if (e.type == V4L2_FRMSIZE_TYPE_DISCRETE) out.push_back({e.discrete.width, e.discrete.height});
  }
  return out;
}

// The discrete frame rates the node announces for the size, fastest first.
std::vector<double> format_rates(int fd, std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
  std::vector<double> out;
  for (std::uint32_t i = 0; i < 256; ++i) {
    v4l2_frmivalenum e{};
    e.index = i;
    e.pixel_format = fourcc;
    e.width = width;
    e.height = height;
    if (platform::current().video_ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &e) != 0) break;
    if (e.type == V4L2_FRMIVAL_TYPE_DISCRETE && e.discrete.numerator != 0)
      out.push_back(static_cast<double>(e.discrete.denominator) / e.discrete.numerator);
  }
  std::sort(out.rbegin(), out.rend());
  return out;
}

}  // namespace

namespace detail {

struct FrameAccess {
  static void attach(StereoFrame& frame, std::shared_ptr<StereoFrame::Hold> hold) { frame.hold_ = std::move(hold); }
};

}  // namespace detail

// ---- StereoFrame.

StereoFrame::Hold::~Hold() {
  if (queue && index >= 0) queue->requeue(static_cast<std::uint32_t>(index));
  if (pool && pixels.capacity() != 0) pool->give(std::move(pixels));
}

std::vector<std::uint8_t> detail::PixelPool::take(std::size_t bytes) {
  std::vector<std::uint8_t> pixels;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = free_.begin(); it != free_.end(); ++it) {
      if (it->capacity() < bytes) continue;
      pixels = std::move(*it);
      free_.erase(it);
      break;
    }
  }
  pixels.resize(bytes);  // zero-fills only what a new or smaller picture adds
  return pixels;
}

void detail::PixelPool::give(std::vector<std::uint8_t> pixels) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.size() >= kKept) return;
  try {
    free_.push_back(std::move(pixels));
  } catch (...) {  // no memory for the list: the picture is simply freed
  }
}

StereoFrame::StereoFrame() noexcept = default;
StereoFrame::StereoFrame(StereoFrame&&) noexcept = default;
StereoFrame& StereoFrame::operator=(StereoFrame&&) noexcept = default;
StereoFrame::~StereoFrame() = default;

void StereoFrame::release() noexcept {
  hold_.reset();
  left = ImageView{};
  right = ImageView{};
}

bool StereoFrame::holds_buffer() const noexcept { return hold_ && hold_->index >= 0; }

// ---- Opening.

Result<void> StereoCapture::Impl::negotiate(int fd, const StereoCaptureOptions& o) {
  using R = Result<void>;
  platform::Platform& os = platform::current();
  const bool mjpeg = o.camera_format == PixelFormat::mjpeg;
  const std::uint32_t fourcc = mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
  const std::string name = mjpeg ? "MJPEG" : "YUYV";
  bool offered_format = false;
  for (std::uint32_t i = 0; i < 64 && !offered_format; ++i) {
    v4l2_fmtdesc d{};
    d.index = i;
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (os.video_ioctl(fd, VIDIOC_ENUM_FMT, &d) != 0) break;
    offered_format = d.pixelformat == fourcc;
  }
  if (!offered_format) return R::failure(ErrorCode::unsupported, node + " does not capture " + name);

  v4l2_format f{};
  f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (os.video_ioctl(fd, VIDIOC_G_FMT, &f) != 0) return detail::video_failure("VIDIOC_G_FMT", node, errno);
  std::uint32_t width = f.fmt.pix.width, height = f.fmt.pix.height;
  if (o.width != 0 || o.height != 0) {
    const std::vector<SizeChoice> sizes = format_sizes(fd, fourcc);
    bool offered = false;
    std::string list;
    for (const SizeChoice& s : sizes) {
      offered = offered || (s.width == o.width && s.height == o.height);
      list += (list.empty() ? "" : ", ") + size_text(s.width, s.height);
    }
    if (!offered)
      return R::failure(ErrorCode::unsupported,
                        node + " offers no " + size_text(o.width, o.height) + " picture (it offers " + list + ")");
    width = o.width;
    height = o.height;
  }
  std::memset(&f, 0, sizeof f);
  f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  f.fmt.pix.width = width;
  f.fmt.pix.height = height;
  f.fmt.pix.pixelformat = fourcc;
  f.fmt.pix.field = V4L2_FIELD_NONE;
  if (os.video_ioctl(fd, VIDIOC_S_FMT, &f) != 0) return detail::video_failure("VIDIOC_S_FMT", node, errno);
  if (f.fmt.pix.pixelformat != fourcc || f.fmt.pix.width != width || f.fmt.pix.height != height ||
      f.fmt.pix.width % 4 != 0 || (!mjpeg && f.fmt.pix.bytesperline < width * 2))
    return R::failure(ErrorCode::unsupported, node + " did not take " + name + " at " + size_text(width, height));
  format.width = width;
  format.height = height;
  format.stride = mjpeg ? 0 : f.fmt.pix.bytesperline;
  format.camera_format = o.camera_format;

  const std::vector<double> rates = format_rates(fd, fourcc, width, height);
  double rate = rates.empty() ? 0.0 : rates.front();
  if (o.frame_rate > 0) {
    std::string list;
    bool offered = false;
    for (double r : rates) {
      if (std::fabs(r / o.frame_rate - 1) <= kRateTolerance) offered = true, rate = r;
      list += (list.empty() ? "" : ", ") + rate_text(r);
    }
    if (!offered)
      return R::failure(ErrorCode::unsupported, node + " offers no " + rate_text(o.frame_rate) + " fps at " +
                                                    size_text(width, height) + " (it offers " + list + ")");
  }
  v4l2_streamparm p{};
  p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (rate > 0) {
    p.parm.capture.timeperframe.numerator = 1000000;
    p.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(std::llround(rate * 1000000));
    if (os.video_ioctl(fd, VIDIOC_S_PARM, &p) != 0) return detail::video_failure("VIDIOC_S_PARM", node, errno);
  } else if (os.video_ioctl(fd, VIDIOC_G_PARM, &p) != 0) {
    return detail::video_failure("VIDIOC_G_PARM", node, errno);
  }
  const v4l2_fract t = p.parm.capture.timeperframe;
  format.frame_rate = t.numerator != 0 ? static_cast<double>(t.denominator) / t.numerator : rate;
  return R::success();
}

Result<void> detail::check_capture_options(const StereoCaptureOptions& options) {
  using R = Result<void>;
  const auto bad = [](const char* name, const char* range) {
    return R::failure(ErrorCode::invalid_argument,
                      std::string("stereo capture option ") + name + " is out of range (valid: " + range + ")");
  };
  if ((options.width == 0) != (options.height == 0) || options.width > 16384 || options.height > 16384)
    return bad("width", "0 and 0, or a size up to 16384x16384");
  if (!(options.frame_rate == 0.0 || option_ok(options.frame_rate, 0.1, 1000.0)))
    return bad("frame_rate", "0, or 0.1 to 1000");
  if (options.output != FrameOutput::views && options.output != FrameOutput::gray && options.output != FrameOutput::bgr)
    return bad("output", "views, gray or bgr");
  if (options.camera_format != PixelFormat::yuyv && options.camera_format != PixelFormat::mjpeg)
    return bad("camera_format", "yuyv or mjpeg");
  if (options.camera_format == PixelFormat::mjpeg && options.output == FrameOutput::views)
    return bad("output", "gray or bgr for an MJPEG camera format");
  if (options.buffer_count < 2 || options.buffer_count > 32) return bad("buffer_count", "2 to 32");
  if (!option_ok(options.device_clock_hz, 1e3, 1e9)) return bad("device_clock_hz", "1000 to 1e9");
  if (!option_ok(options.clock_window_s, 2.0, 600.0)) return bad("clock_window_s", "2 to 600");
  return R::success();
}

Result<StereoCapture> open_stereo_capture(const DeviceInfo& camera, const StereoCaptureOptions& options) {
  using R = Result<StereoCapture>;
  if (Result<void> checked = detail::check_capture_options(options); !checked.ok()) return R::forward(checked);
  if (camera.video_node.empty()) return R::failure(ErrorCode::invalid_argument, "camera record names no video node");

  auto impl = std::make_unique<StereoCapture::Impl>(options);
  impl->node = camera.video_node;
  impl->format.node = camera.video_node;
  const int fd = open_node(impl->node);
  if (fd < 0) {
    const int error = errno;
    return R::failure(ErrorCode::device_unavailable, "open " + impl->node + " failed: " + std::strerror(error));
  }
  impl->video = std::make_shared<VideoQueue>(impl->node, fd, V4L2_BUF_TYPE_VIDEO_CAPTURE);
  v4l2_capability cap;
  if (!query_caps(fd, cap)) return fail_as<StereoCapture>(detail::video_failure("VIDIOC_QUERYCAP", impl->node, errno));
  if ((node_caps(cap) & V4L2_CAP_VIDEO_CAPTURE) == 0 || (node_caps(cap) & V4L2_CAP_STREAMING) == 0)
    return R::failure(ErrorCode::unsupported, impl->node + " cannot stream video");
  if (Result<void> n = impl->negotiate(fd, options); !n.ok()) return R::forward(n);
  if (options.camera_format == PixelFormat::mjpeg) {
    impl->decoder = tjInitDecompress();
    if (impl->decoder == nullptr)
      return R::failure(ErrorCode::io_error, std::string("libjpeg-turbo: ") + tjGetErrorStr2(nullptr));
  }

  if (options.use_metadata) {
    std::string meta_node;
    const int meta_fd = open_metadata_node(impl->node, cap, meta_node);
    if (meta_fd >= 0) {
      impl->meta = std::make_shared<VideoQueue>(meta_node, meta_fd, V4L2_BUF_TYPE_META_CAPTURE);
      // More metadata buffers than frame buffers: a frame held by the
      // caller must not starve the next frames of their metadata.
      if (Result<void> r = impl->meta->start_buffers(options.buffer_count + 4); !r.ok()) return R::forward(r);
      if (Result<void> r = impl->meta->stream_on(); !r.ok()) return R::forward(r);
      impl->format.metadata = true;
    }
  }
  if (Result<void> r = impl->video->start_buffers(options.buffer_count); !r.ok()) return R::forward(r);
  if (Result<void> r = impl->video->stream_on(); !r.ok()) return R::forward(r);
  return R::success(StereoCapture(std::move(impl)));
}

// ---- Streaming.

StereoCapture::Impl::Impl(const StereoCaptureOptions& o) : options(o), clock(o.device_clock_hz, o.clock_window_s) {}

StereoCapture::Impl::~Impl() {
  if (decoder != nullptr) tjDestroy(decoder);
}

void StereoCapture::Impl::shut() {
  if (meta) meta->stream_off();
  if (video) video->stream_off();
  meta.reset();
  video.reset();
}

Result<StereoFrame> StereoCapture::Impl::end_with(const Result<void>& failure) {
  if (video) video->mark_dead();
  if (meta) meta->mark_dead();
  ended = failure;
  shut();
  return Result<StereoFrame>::forward(*ended);
}

void StereoCapture::Impl::drain_metadata() {
  if (!meta) return;
  for (;;) {
    v4l2_buffer b;
    Result<bool> got = meta->dequeue(b);
    if (!got.ok()) {
      // The metadata node failed on its own: frames go on with kernel stamps.
      meta->mark_dead();
      meta.reset();
      return;
    }
    if (!*got.value) return;
    const VideoQueue::Mapping& m = meta->mapping(b.index);
    const std::size_t length = std::min<std::size_t>(b.bytesused, m.length);
    metadata[b.sequence] = clock.add_metadata(static_cast<const std::uint8_t*>(m.address), length);
    while (metadata.size() > kMetadataKept) metadata.erase(metadata.begin());
    if (!meta->requeue(b.index).ok()) {
      meta->mark_dead();
      meta.reset();
      return;
    }
  }
}

void StereoCapture::Impl::stamp(StereoFrame& frame) {
  frame.time_ns = frame.host_ns;
  frame.time_source = FrameTimeSource::kernel_stamp;
  auto it = metadata.find(static_cast<std::uint32_t>(frame.sequence));
  if (it != metadata.end() && it->second.has_pts) {
    frame.has_pts = true;
    frame.pts = it->second.pts;
    double at = 0, band = 0;
    const double host = static_cast<double>(frame.host_ns);
    if (clock.map_pts(frame.pts, at, band) && at <= host + kPtsLateNs && at >= host - kPtsEarliestNs) {
      const std::uint64_t t = static_cast<std::uint64_t>(std::llround(std::min(at, host)));
      frame.time_ns = std::max(t, last_time);
      frame.time_source = FrameTimeSource::device_clock;
      frame.time_uncertainty_ns = band;
    }
  }
  if (it != metadata.end()) metadata.erase(metadata.begin(), std::next(it));
  if (format.metadata && frame.time_source == FrameTimeSource::kernel_stamp) ++stats.fallback;
  frame.time_ns = std::max(frame.time_ns, last_time);
  last_time = frame.time_ns;
}

bool StereoCapture::Impl::decode(const v4l2_buffer& b, StereoFrame& frame, StereoFrame::Hold& hold) const {
  const VideoQueue::Mapping& m = video->mapping(b.index);
  const unsigned long size = static_cast<unsigned long>(std::min<std::size_t>(b.bytesused, m.length));
  auto* jpeg = static_cast<unsigned char*>(m.address);
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (size == 0 || tjDecompressHeader3(decoder, jpeg, size, &width, &height, &subsampling, &colorspace) != 0 ||
      static_cast<std::uint32_t>(width) != format.width || static_cast<std::uint32_t>(height) != format.height)
    return false;
  const bool gray = options.output == FrameOutput::gray;
  const std::uint32_t row = format.width * (gray ? 1 : 3);
  hold.pixels = pixel_pool->take(static_cast<std::size_t>(row) * format.height);
  hold.pool = pixel_pool;
  // Any error, also one the library calls a warning (a truncated or damaged
  // picture it would still fill in), drops the frame: its pixels are not
  // the camera's.
  if (tjDecompress2(decoder, jpeg, size, hold.pixels.data(), width, static_cast<int>(row), height,
                    gray ? TJPF_GRAY : TJPF_BGR, 0) != 0)
    return false;
  const std::uint32_t eye = format.width / 2;
  const PixelFormat out = gray ? PixelFormat::gray8 : PixelFormat::bgr24;
  frame.left = {hold.pixels.data(), eye, format.height, row, out};
  frame.right = {hold.pixels.data() + eye * (gray ? 1 : 3), eye, format.height, row, out};
  return true;
}

Result<StereoFrame> StereoCapture::Impl::take(const v4l2_buffer& b, bool& dropped) {
  dropped = false;
  StereoFrame frame;
  const std::uint64_t sequence = b.sequence;
  frame.sequence = sequence;
  frame.missed_before = have_sequence ? (sequence > last_sequence ? sequence - last_sequence - 1 : 0) : sequence;
  have_sequence = true;
  last_sequence = sequence;
  frame.host_ns = stamp_ns(b);
  drain_metadata();
  stamp(frame);

  // A damaged frame (payloads lost on the bus) is dropped and counted with
  // the lost ones: one the driver flagged, an uncompressed one shorter than
  // its picture, a Motion-JPEG one that does not decode.
  const auto drop = [&]() {
    ++stats.undecodable;
    unreported_missed += frame.missed_before + 1;
    dropped = true;
    return Result<StereoFrame>::failure(ErrorCode::read_failed, "damaged frame");
  };
  const std::uint32_t h = format.height;
  const bool damaged = (b.flags & V4L2_BUF_FLAG_ERROR) != 0 ||
                       (decoder == nullptr && b.bytesused < static_cast<std::uint64_t>(format.stride) * h);
  auto hold = std::make_shared<StereoFrame::Hold>();
  hold->queue = video;
  hold->index = static_cast<int>(b.index);
  if (decoder != nullptr || damaged) {
    const bool decoded = !damaged && decode(b, frame, *hold);
    // The picture is decoded (or dropped): the buffer goes back to the driver now.
    hold->index = -1;
    if (Result<void> r = video->requeue(b.index); !r.ok()) return end_with(r);
    if (!decoded) return drop();
    frame.missed_before += unreported_missed;
    unreported_missed = 0;
    detail::FrameAccess::attach(frame, std::move(hold));
    ++stats.frames;
    stats.missed += frame.missed_before;
    return Result<StereoFrame>::success(std::move(frame));
  }
  frame.missed_before += unreported_missed;
  unreported_missed = 0;
  const auto* base = static_cast<const std::uint8_t*>(video->mapping(b.index).address);
  const std::uint32_t eye = format.width / 2;
  const int stride = static_cast<int>(format.stride);
  if (options.output == FrameOutput::views) {
    frame.left = {base, eye, h, format.stride, PixelFormat::yuyv};
    frame.right = {base + eye * 2, eye, h, format.stride, PixelFormat::yuyv};
  } else {
    const bool gray = options.output == FrameOutput::gray;
    const std::uint32_t out_stride = eye * (gray ? 1 : 3);
    hold->pixels = pixel_pool->take(static_cast<std::size_t>(out_stride) * h * 2);
    hold->pool = pixel_pool;
    if (!gray) argb.resize(static_cast<std::size_t>(eye) * 4 * h);
    for (int side = 0; side < 2; ++side) {
      const std::uint8_t* src = base + side * eye * 2;
      std::uint8_t* dst = hold->pixels.data() + static_cast<std::size_t>(side) * out_stride * h;
      if (gray) {
        libyuv::YUY2ToY(src, stride, dst, static_cast<int>(out_stride), static_cast<int>(eye), static_cast<int>(h));
      } else {
        libyuv::YUY2ToARGB(src, stride, argb.data(), static_cast<int>(eye * 4), static_cast<int>(eye),
                           static_cast<int>(h));
        libyuv::ARGBToRGB24(argb.data(), static_cast<int>(eye * 4), dst, static_cast<int>(out_stride),
                            static_cast<int>(eye), static_cast<int>(h));
      }
      (side == 0 ? frame.left : frame.right) = {dst, eye, h, out_stride,
                                                gray ? PixelFormat::gray8 : PixelFormat::bgr24};
    }
    // The pictures are copied out: the buffer goes back to the driver now.
    if (Result<void> r = video->requeue(b.index); !r.ok()) {
      hold->index = -1;
      return end_with(r);
    }
    hold->index = -1;
  }
  detail::FrameAccess::attach(frame, std::move(hold));
  ++stats.frames;
  stats.missed += frame.missed_before;
  return Result<StereoFrame>::success(std::move(frame));
}

Result<StereoFrame> StereoCapture::Impl::next(int timeout_ms) {
  using R = Result<StereoFrame>;
  if (ended) return R::forward(*ended);
  if (!video) return R::failure(ErrorCode::invalid_argument, kMsgClosed);
  const std::uint64_t start = platform::monotonic_ns();
  for (;;) {
    v4l2_buffer b;
    Result<bool> got = video->dequeue(b);
    if (!got.ok()) return end_with(Result<void>::forward(got));
    if (*got.value) {
      bool dropped = false;
      Result<StereoFrame> frame = take(b, dropped);
      if (!dropped) return frame;
      continue;
    }
    if (video->queued() == 0) {
      // The caller's frames hold every buffer: the driver has none to fill
      // and drops the camera's frames until one is released. The node's
      // poll cannot be waited on now (older kernels report POLLERR at once
      // for a queue with nothing queued, newer ones wait for nothing), so
      // the wait runs on the clock.
      if (const int error = video->requeue_error(); error != 0)
        return end_with(detail::video_failure("VIDIOC_QBUF", node, error));  // a buffer never came back
      if (timeout_ms < 0)
        return R::failure(ErrorCode::read_failed, "no frame from " + node + ": every buffer is held by the caller");
      const std::uint64_t spent = platform::monotonic_ns() - start;
      const std::uint64_t limit = static_cast<std::uint64_t>(timeout_ms) * 1000000ULL;
      if (spent >= limit)
        return R::failure(ErrorCode::read_failed,
                          "no frame from " + node + " within " + std::to_string(timeout_ms) + " ms");
      platform::sleep_for(0, static_cast<long>(std::min(limit - spent, kHeldStepNs)));
      continue;
    }
    int wait = -1;
    if (timeout_ms >= 0) {
      const std::uint64_t spent = (platform::monotonic_ns() - start) / 1000000ULL;
      if (spent >= static_cast<std::uint64_t>(timeout_ms))
        return R::failure(ErrorCode::read_failed,
                          "no frame from " + node + " within " + std::to_string(timeout_ms) + " ms");
      wait = static_cast<int>(static_cast<std::uint64_t>(timeout_ms) - spent);
    }
    pollfd p{video->fd(), POLLIN, 0};
    const int ready = platform::current().video_poll(&p, 1, wait);
    if (ready < 0 && errno != EINTR) return end_with(detail::video_failure("poll", node, errno));
    if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
      // The driver says why on the next dequeue.
      got = video->dequeue(b);
      if (!got.ok()) return end_with(Result<void>::forward(got));
      if (*got.value) {
        bool dropped = false;
        Result<StereoFrame> frame = take(b, dropped);
        if (!dropped) return frame;
        continue;
      }
      return end_with(
          Result<void>::failure(ErrorCode::io_error, "poll " + node + " failed: the node stopped streaming"));
    }
  }
}

// ---- StereoCapture.

StereoCapture::StereoCapture() noexcept = default;
StereoCapture::StereoCapture(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
StereoCapture::StereoCapture(StereoCapture&&) noexcept = default;
StereoCapture& StereoCapture::operator=(StereoCapture&&) noexcept = default;
StereoCapture::~StereoCapture() {
  if (impl_) impl_->shut();
}

Result<StereoFrame> StereoCapture::next(int timeout_ms) {
  if (!impl_) return Result<StereoFrame>::failure(ErrorCode::invalid_argument, kMsgClosed);
  return impl_->next(timeout_ms);
}

int StereoCapture::fd() const noexcept { return impl_ && impl_->video ? impl_->video->fd() : -1; }

const StereoCaptureFormat& StereoCapture::format() const noexcept {
  static const StereoCaptureFormat kNone;
  return impl_ ? impl_->format : kNone;
}

StereoCaptureStats StereoCapture::stats() const noexcept { return impl_ ? impl_->stats : StereoCaptureStats{}; }

void StereoCapture::close() noexcept {
  if (impl_) impl_->shut();
  impl_.reset();
}

bool StereoCapture::is_open() const noexcept { return impl_ && impl_->video; }

}  // namespace morvane::uvc_stereo
