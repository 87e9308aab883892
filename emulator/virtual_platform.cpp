// The operating system around the virtual cameras: libusb's device model,
// usbfs claim rules, /dev, udev, sysfs and the UVC driver's video nodes.
#include "emulator/virtual_platform_state.hpp"

namespace morvane::emulator {
namespace {

using namespace platform_model;

class VirtualUdevMonitor final : public uvc_stereo::platform::UdevMonitor {
 public:
  explicit VirtualUdevMonitor(std::shared_ptr<UdevQueue> queue) : queue_(std::move(queue)) {}
  int fd() const override { return queue_->efd; }
  int receive(uvc_stereo::platform::UdevEvent& event) override {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    if (queue_->fail_next != 0) {
      const int error = queue_->fail_next;
      queue_->fail_next = 0;
      if (error == ENOBUFS) {  // the queue overflowed: what waited in it is gone
        queue_->events.clear();
        std::uint64_t count = 0;
        if (::read(queue_->efd, &count, sizeof count) < 0) {
          // Already empty (EAGAIN): nothing to clear.
        }
      }
      errno = error;
      return -1;
    }
    if (queue_->events.empty()) return 0;
    event = std::move(queue_->events.front());
    queue_->events.pop_front();
    if (queue_->events.empty()) {
      std::uint64_t count = 0;
      if (::read(queue_->efd, &count, sizeof count) < 0) {
        // Already empty (EAGAIN): nothing to clear.
      }
    }
    return 1;
  }

 private:
  std::shared_ptr<UdevQueue> queue_;
};

}  // namespace

VirtualPlatform::VirtualPlatform() : state_(std::make_unique<State>()) {}

VirtualPlatform::~VirtualPlatform() {
  for (auto& [list, tokens] : state_->lists) delete[] list;
}

VirtualCamera& VirtualPlatform::add_camera(const CameraConfig& config) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->cameras.push_back(std::make_unique<VirtualCamera>(config, clock_));
  state_->video.push_back(std::make_unique<VirtualVideoCapture>(*state_->cameras.back(), clock_));
  state_->use.emplace_back();
  state_->open_handles.emplace_back();
  return *state_->cameras.back();
}

std::size_t VirtualPlatform::camera_count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->cameras.size();
}

VirtualCamera& VirtualPlatform::camera(std::size_t index) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return *state_->cameras.at(index);
}

VirtualVideoCapture& VirtualPlatform::video(std::size_t index) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return *state_->video.at(index);
}

std::size_t VirtualPlatform::mapped_video_buffer_count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::size_t n = 0;
  for (const auto& v : state_->video) n += v->mapped_buffer_count();
  return n;
}

std::vector<UsbOverlap> VirtualPlatform::overlaps() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->overlaps;
}

std::vector<std::string> VirtualPlatform::misuses() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->misuses;
}

std::size_t VirtualPlatform::open_handle_count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::size_t n = 0;
  for (const auto& list : state_->open_handles) n += list.size();
  return n;
}

std::size_t VirtualPlatform::outstanding_device_lists() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lists.size();
}

int VirtualPlatform::usb_context_refs() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->context_refs;
}

std::size_t VirtualPlatform::open_video_fd_count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->fds.size();
}

std::vector<std::string> VirtualPlatform::commands_run() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->commands;
}

std::size_t VirtualPlatform::unclosed_command_count() const { return state_->unclosed_commands->load(); }

void VirtualPlatform::set_usb_init_error(int error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->usb_init_error = error;
}

void VirtualPlatform::set_device_list_error(int error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->device_list_error = error;
}

void VirtualPlatform::set_dev_missing(bool missing) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->dev_missing = missing;
}

void VirtualPlatform::set_dev_listing_fails(bool fails) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->dev_listing_fails = fails;
}

void VirtualPlatform::set_udevadm_available(bool available) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->udevadm_available = available;
}

void VirtualPlatform::set_command_start_fails(bool fails) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->command_start_fails = fails;
}

void VirtualPlatform::deliver_udev_events() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->publish_udev_events();
}

void VirtualPlatform::set_udev_monitor_available(bool available) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->udev_monitor_available = available;
}

void VirtualPlatform::set_udev_running(bool running) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->udev_running = running;
}

void VirtualPlatform::fail_next_imu_queries(std::size_t camera, int error, int count, bool reply_lost) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State::CameraUse& use = state_->use.at(camera);
  for (int i = 0; i < count; ++i) use.imu_query_faults.push_back({error, reply_lost});
}

void VirtualPlatform::fail_next_udev_receive(int error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const auto& weak : state_->udev_monitors) {
    if (std::shared_ptr<UdevQueue> queue = weak.lock()) {
      std::lock_guard<std::mutex> queue_lock(queue->mutex);
      queue->fail_next = error;
    }
  }
}

std::unique_ptr<uvc_stereo::platform::UdevMonitor> VirtualPlatform::open_udev_monitor() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  if (!s.udev_monitor_available) {
    errno = EPROTONOSUPPORT;  // what socket(AF_NETLINK, ...) gives without netlink
    return nullptr;
  }
  auto queue = std::make_shared<UdevQueue>();
  queue->efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (queue->efd < 0) return nullptr;
  // What happened before this monitor existed goes to the older monitors only.
  s.publish_udev_events();
  s.udev_monitors.push_back(queue);
  return std::make_unique<VirtualUdevMonitor>(std::move(queue));
}

void VirtualPlatform::set_file_override(const std::string& path, const std::string& contents) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->file_overrides[normalise(path)] = contents;
}

// ---- Time.

int VirtualPlatform::monotonic_time(timespec* now) {
  if (now == nullptr) {
    errno = EFAULT;
    return -1;
  }
  const std::uint64_t ns = clock_.now_ns();
  now->tv_sec = static_cast<time_t>(ns / 1000000000ULL);
  now->tv_nsec = static_cast<long>(ns % 1000000000ULL);
  return 0;
}

int VirtualPlatform::sleep(const timespec* request, timespec* remaining) {
  if (request == nullptr) {
    errno = EFAULT;
    return -1;
  }
  if (request->tv_sec < 0 || request->tv_nsec < 0 || request->tv_nsec >= 1000000000L) {
    errno = EINVAL;
    return -1;
  }
  clock_.advance_ns(static_cast<std::uint64_t>(request->tv_sec) * 1000000000ULL +
                    static_cast<std::uint64_t>(request->tv_nsec));
  if (remaining != nullptr) *remaining = timespec{0, 0};
  return 0;
}

}  // namespace morvane::emulator
