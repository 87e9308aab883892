// The virtual platform's /dev, sysfs and udevadm, advisory locks, and the
// UVC driver's video nodes (capture and metadata).
#include "emulator/virtual_platform_state.hpp"

namespace morvane::emulator {
namespace {

using namespace platform_model;

constexpr std::uint32_t kKernelVersion = (6u << 16) | (1u << 8);

// Entries of /dev that are not camera nodes; the camera nodes come after
// them, highest number first, so callers cannot rely on listing order.
const char* const kUnrelatedDevEntries[] = {"console", "null", "zero", "bus", "v4l", "media0", "v4l-subdev0", "vcs1"};

class TextCommand : public uvc_stereo::platform::CommandStream {
 public:
  TextCommand(std::string output, int exit_status, std::shared_ptr<std::atomic<std::size_t>> unclosed)
      : output_(std::move(output)), status_(exit_status << 8), unclosed_(std::move(unclosed)) {}
  ~TextCommand() override {
    if (!closed_) unclosed_->fetch_add(1);
  }

  bool read_line(char* buffer, int size) override {
    if (buffer == nullptr || size <= 0 || pos_ >= output_.size()) return false;
    std::size_t n = 0;
    const std::size_t room = static_cast<std::size_t>(size - 1);
    while (n < room && pos_ < output_.size()) {
      const char c = output_[pos_++];
      buffer[n++] = c;
      if (c == '\n') break;
    }
    buffer[n] = '\0';
    return true;
  }

  int close() override {
    if (closed_) return -1;
    closed_ = true;
    return status_;
  }

 private:
  std::string output_;
  std::size_t pos_ = 0;
  int status_;
  bool closed_ = false;
  std::shared_ptr<std::atomic<std::size_t>> unclosed_;
};

}  // namespace

// ---- File system.

bool VirtualPlatform::path_exists(const std::string& raw) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  const std::string path = normalise(raw);
  if (s.file_overrides.count(path)) return true;
  if (path == "/run/udev/control") {
    if (s.udev_running) return true;
    errno = ENOENT;
    return false;
  }
  if (path == "/dev") {
    if (s.dev_missing) {
      errno = ENOENT;
      return false;
    }
    return true;
  }
  if (path.rfind("/dev/", 0) == 0 && !s.dev_missing) {
    const std::string name = path.substr(5);
    for (const char* entry : kUnrelatedDevEntries)
      if (name == entry) return true;
    State::Node node;
    if (s.find_node(path, node)) return true;
    for (const auto& cam : s.cameras) {  // the USB device nodes of attached cameras
      if (!cam->attached()) continue;
      char usb[32];
      std::snprintf(usb, sizeof usb, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(cam->config().bus_number),
                    static_cast<unsigned>(cam->device_address()));
      if (path == usb) return true;
    }
  }
  std::set<std::string> dirs;
  std::map<std::string, std::string> files;
  s.sysfs(dirs, files);
  if (dirs.count(path) || files.count(path)) return true;
  errno = ENOENT;
  return false;
}

bool VirtualPlatform::list_directory(const std::string& raw, std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  const std::string path = normalise(raw);
  if (path != "/dev" || s.dev_missing) {
    errno = ENOENT;
    return false;
  }
  if (s.dev_listing_fails) {
    errno = EIO;
    return false;
  }
  names.clear();
  for (const char* entry : kUnrelatedDevEntries) names.emplace_back(entry);
  std::vector<int> numbers;
  for (const auto& node : s.nodes()) numbers.push_back(node.number);
  std::sort(numbers.rbegin(), numbers.rend());
  for (int n : numbers) names.push_back("video" + std::to_string(n));
  return true;
}

bool VirtualPlatform::read_file_line(const std::string& raw, char* buffer, int size) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  const std::string path = normalise(raw);
  std::string contents;
  if (auto it = s.file_overrides.find(path); it != s.file_overrides.end()) {
    contents = it->second;
  } else {
    std::set<std::string> dirs;
    std::map<std::string, std::string> files;
    s.sysfs(dirs, files);
    auto f = files.find(path);
    if (f == files.end()) {
      errno = dirs.count(path) ? EISDIR : ENOENT;
      return false;
    }
    contents = f->second;
  }
  if (buffer == nullptr || size <= 0) return false;
  if (contents.empty()) return false;  // end of file before any byte
  std::size_t n = 0;
  while (n + 1 < static_cast<std::size_t>(size) && n < contents.size()) {
    buffer[n] = contents[n];
    if (contents[n++] == '\n') break;
  }
  buffer[n] = '\0';
  return true;
}

// ---- Commands.

std::string VirtualPlatform::udev_properties(const std::string& node) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State::Node n;
  if (!state_->find_node(node, n)) return {};
  return state_->udev(n);
}

std::unique_ptr<uvc_stereo::platform::CommandStream> VirtualPlatform::run_command(const std::string& command) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  s.commands.push_back(command);
  if (s.command_start_fails) return nullptr;
  static const std::string kPrefix = "udevadm info -q property -n '";
  const bool udevadm_query =
      command.size() > kPrefix.size() + 1 && command.rfind(kPrefix, 0) == 0 && command.back() == '\'';
  if (!s.udevadm_available || !udevadm_query) {
    // Not something this system can run: the shell reports "not found".
    return std::make_unique<TextCommand>("", 127, s.unclosed_commands);
  }
  const std::string node = command.substr(kPrefix.size(), command.size() - kPrefix.size() - 1);
  if (node.find('\'') != std::string::npos) {
    return std::make_unique<TextCommand>("", 2, s.unclosed_commands);  // unbalanced quotes: shell syntax error
  }
  State::Node n;
  if (!s.find_node(node, n)) {
    return std::make_unique<TextCommand>("", 1, s.unclosed_commands);  // udevadm: unknown device
  }
  return std::make_unique<TextCommand>(s.udev(n), 0, s.unclosed_commands);
}

// ---- Video nodes.

int VirtualPlatform::lock_open(const std::string& path) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  // Only the USB device nodes of attached cameras exist.
  bool found = false;
  for (const auto& cam : s.cameras) {
    if (!cam->attached()) continue;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(cam->config().bus_number),
                  static_cast<unsigned>(cam->device_address()));
    if (path == node) found = true;
  }
  if (!found) {
    errno = ENOENT;
    return -1;
  }
  const int fd = s.next_fd++;
  s.lock_fds[fd] = path;
  return fd;
}

int VirtualPlatform::lock_try(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto it = s.lock_fds.find(fd);
  if (it == s.lock_fds.end()) {
    errno = EBADF;
    return -1;
  }
  auto holder = s.lock_holders.find(it->second);
  if (holder != s.lock_holders.end() && holder->second != fd) {
    errno = EWOULDBLOCK;
    return -1;
  }
  s.lock_holders[it->second] = fd;
  return 0;
}

int VirtualPlatform::lock_close(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto it = s.lock_fds.find(fd);
  if (it == s.lock_fds.end()) {
    s.misuses.push_back("lock_close of an unknown descriptor " + std::to_string(fd));
    errno = EBADF;
    return -1;
  }
  auto holder = s.lock_holders.find(it->second);
  if (holder != s.lock_holders.end() && holder->second == fd) s.lock_holders.erase(holder);
  s.lock_fds.erase(it);
  return 0;
}

std::size_t VirtualPlatform::open_lock_count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lock_fds.size();
}

int VirtualPlatform::video_open(const std::string& path, int flags) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  State::Node node;
  if (!s.find_node(path, node)) {
    errno = ENOENT;
    return -1;
  }
  VirtualCamera& cam = *s.cameras[node.camera];
  if (!cam.config().video_nodes_accessible) {
    errno = EACCES;
    return -1;
  }
  const int fd = s.next_fd++;
  s.fds[fd] = {node.camera, node.capture, cam.connection_generation(), s.use[node.camera].binding, flags};
  return fd;
}

int VirtualPlatform::video_ioctl(int fd, unsigned long request, void* arg) {
  VirtualCamera* cam = nullptr;
  bool capture = false;
  std::uint64_t draw = 0;
  State::CameraUse::QueryFault fault;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& s = *state_;
    auto it = s.fds.find(fd);
    if (it == s.fds.end()) {
      errno = EBADF;
      return -1;
    }
    const State::VideoFd& v = it->second;
    cam = s.cameras[v.camera].get();
    capture = v.capture;
    if (!cam->attached() || !cam->kernel_driver_bound() || cam->connection_generation() != v.generation ||
        s.use[v.camera].binding != v.binding) {
      errno = ENODEV;  // the video device this descriptor belonged to is gone
      return -1;
    }
    if (request == VIDIOC_QUERYCAP) {
      if (arg == nullptr) {
        errno = EFAULT;
        return -1;
      }
      const CameraConfig& c = cam->config();
      auto* cap = static_cast<v4l2_capability*>(arg);
      std::memset(cap, 0, sizeof *cap);
      std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "uvcvideo");
      std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "%s", c.model.c_str());
      std::snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof cap->bus_info, "usb-%s-%s", s.hcd(c).c_str(),
                    c.usb_port.c_str());
      cap->version = kKernelVersion;
      const std::uint32_t common = V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
      // The physical device can capture either way; only device_caps tells
      // this node's own ability.
      cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | common | V4L2_CAP_DEVICE_CAPS;
      cap->device_caps = (capture ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) | common;
      return 0;
    }
    if (request != UVCIOC_CTRL_QUERY) {
      // The streaming side: formats, buffers, the stream.
      return s.video[v.camera]->ioctl(fd, capture, v.flags, v.instance(), request, arg);
    }
    if (!capture) {
      errno = ENOTTY;
      return -1;
    }
    if (arg == nullptr) {
      errno = EFAULT;
      return -1;
    }
    State::CameraUse& use = s.use[v.camera];
    draw = use.imu_queries++;
    if (!use.imu_query_faults.empty()) {
      fault = use.imu_query_faults.front();
      use.imu_query_faults.pop_front();
    }
  }
  auto* query = static_cast<uvc_xu_control_query*>(arg);
  if (!await_answer(*cam, clock_, kUvcControlTimeout)) {
    errno = ETIMEDOUT;
    return -1;
  }
  // The query spends part of its latency before the device sees it and the
  // rest before the answer is back, both on the virtual clock.
  const auto [before, after] = cam->imu_read_latency(draw);
  clock_.advance_ns(before);
  if (fault.error != 0 && !fault.reply_lost) {
    clock_.advance_ns(after);
    errno = fault.error;
    return -1;
  }
  // The caller's buffer is filled only by a reply that arrives.
  std::vector<std::uint8_t> reply(query->data != nullptr ? query->size : 0);
  const int r = cam->xu_query(query->unit, query->selector, query->query, query->size,
                              query->data != nullptr ? reply.data() : nullptr);
  if (r < 0) {
    clock_.advance_ns(after);
    errno = -r;
    return -1;
  }
  if (fault.error != 0) {
    clock_.advance_ns(after);
    errno = fault.error;
    return -1;
  }
  clock_.advance_ns(after + cam->imu_late_delivery());
  if (!reply.empty()) std::memcpy(query->data, reply.data(), reply.size());
  return 0;
}

int VirtualPlatform::video_close(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->fds.find(fd);
  if (it == state_->fds.end()) {
    errno = EBADF;
    return -1;
  }
  state_->video[it->second.camera]->close(fd);
  state_->fds.erase(it);
  return 0;
}

void* VirtualPlatform::video_mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
  (void)addr;  // a hint only, as mmap takes it without MAP_FIXED
  (void)prot;
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto it = s.fds.find(fd);
  if (it == s.fds.end()) {
    errno = EBADF;
    return MAP_FAILED;
  }
  const State::VideoFd& v = it->second;
  const VirtualCamera& cam = *s.cameras[v.camera];
  if (!cam.attached() || !cam.kernel_driver_bound() || cam.connection_generation() != v.generation ||
      s.use[v.camera].binding != v.binding) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return s.video[v.camera]->mmap(fd, v.capture, v.instance(), length, flags, offset);
}

int VirtualPlatform::video_munmap(void* addr, std::size_t length) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const auto& video : state_->video)
    if (video->owns_mapping(addr)) return video->munmap(addr, length);
  state_->misuses.push_back("video_munmap of memory no video node mapped");
  errno = EINVAL;
  return -1;
}

int VirtualPlatform::video_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  if (fds == nullptr && count > 0) {
    errno = EFAULT;
    return -1;
  }
  const std::uint64_t deadline =
      timeout_ms < 0 ? 0 : clock_.now_ns() + static_cast<std::uint64_t>(timeout_ms) * 1000000ULL;
  for (;;) {
    int ready = 0;
    std::optional<std::uint64_t> next;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      State& s = *state_;
      for (nfds_t i = 0; i < count; ++i) {
        pollfd& p = fds[i];
        p.revents = 0;
        if (p.fd < 0) continue;
        auto it = s.fds.find(p.fd);
        if (it == s.fds.end()) {
          p.revents = POLLNVAL;
        } else {
          const State::VideoFd& v = it->second;
          const VirtualCamera& cam = *s.cameras[v.camera];
          if (!cam.attached() || !cam.kernel_driver_bound() || cam.connection_generation() != v.generation ||
              s.use[v.camera].binding != v.binding) {
            p.revents = POLLERR | POLLHUP;  // the device is gone
          } else {
            VirtualVideoCapture& video = *s.video[v.camera];
            p.revents = static_cast<short>(video.poll_events(p.fd, v.capture, v.instance()) &
                                           (p.events | POLLERR | POLLHUP | POLLNVAL));
            const std::optional<std::uint64_t> at = video.next_event_ns(p.fd, v.capture, v.instance());
            if (at && (!next || *at < *next)) next = at;
          }
        }
        if (p.revents != 0) ++ready;
      }
    }
    if (ready > 0) return ready;
    // Nothing ready: wait on the virtual clock for the next buffer, or until
    // the timeout. A wait without limit for nothing that will come returns 0
    // at once instead of hanging the test.
    const std::uint64_t now = clock_.now_ns();
    if (next && (timeout_ms < 0 || *next <= deadline)) {
      if (*next > now) clock_.advance_ns(*next - now);
      continue;
    }
    if (timeout_ms >= 0 && deadline > now) clock_.advance_ns(deadline - now);
    return 0;
  }
}

}  // namespace morvane::emulator
