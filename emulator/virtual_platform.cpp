// The operating system around the virtual cameras: libusb's device model,
// usbfs claim rules, /dev, udev, sysfs and the UVC driver's video nodes.
#include "emulator/virtual_platform.hpp"

#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emulator/imu_model.hpp"
#include "emulator/virtual_video_capture.hpp"

namespace morvane::emulator {
namespace {

constexpr std::uint16_t kRootHubVendor = 0x1d6b;
constexpr std::uint16_t kRootHubProduct = 0x0002;
constexpr int kInterfaceCount = 2;  // VideoControl 0, VideoStreaming 1
constexpr int kFirstVideoFd = 100;
constexpr std::uint32_t kKernelVersion = (6u << 16) | (1u << 8);

// Entries of /dev that are not camera nodes; the camera nodes come after
// them, highest number first, so callers cannot rely on listing order.
// How long the kernel's UVC driver waits for the answer to a control request
// (UVC_CTRL_CONTROL_TIMEOUT) before the ioctl fails with ETIMEDOUT.
constexpr std::chrono::milliseconds kUvcControlTimeout{5000};

// The host's wait for the answer to one request (see
// VirtualCamera::wait_for_answer): false when it timed out unanswered. The
// time spent waiting passes on the virtual clock too.
bool await_answer(VirtualCamera& cam, VirtualClock& clock, std::chrono::milliseconds timeout) {
  if (cam.answering()) return true;
  const auto begin = std::chrono::steady_clock::now();
  const bool answered = cam.wait_for_answer(timeout);
  const auto waited =
      answered ? std::chrono::steady_clock::now() - begin : std::chrono::steady_clock::duration(timeout);
  clock.advance_ns(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()));
  return answered;
}

const char* const kUnrelatedDevEntries[] = {"console", "null", "zero", "bus", "v4l", "media0", "v4l-subdev0", "vcs1"};

std::string hex4(std::uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", v);
  return buf;
}

std::string underscored(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == ' ' || c == '\t') c = '_';
  return out;
}

std::string encoded(const std::string& text) {
  std::string out;
  for (char c : text) out += c == ' ' ? std::string("\\x20") : std::string(1, c);
  return out;
}

std::string path_tag(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '-' || c == ':' || c == '.') c = '_';
  return out;
}

// Collapses repeated slashes and drops a trailing one (but keeps "/").
std::string normalise(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

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

// The events udev has sent one monitor and it has not taken yet. The
// eventfd counts up while events wait and is emptied when the last is taken,
// so it polls readable exactly while something is pending.
struct UdevQueue {
  std::mutex mutex;
  std::deque<uvc_stereo::platform::UdevEvent> events;
  int efd = -1;
  int fail_next = 0;  // errno of an injected receive failure, 0: none
  ~UdevQueue() {
    if (efd >= 0) ::close(efd);
  }
  void push(const uvc_stereo::platform::UdevEvent& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    const std::uint64_t one = 1;
    if (::write(efd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
      // The counter cannot overflow in a test's lifetime; nothing to recover.
    }
  }
};

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

struct VirtualPlatform::State {
  struct DeviceToken {
    bool root_hub = false;
    std::size_t camera = 0;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    std::uint64_t generation = 0;
    int refs = 0;
  };
  struct HandleToken {
    DeviceToken* device = nullptr;
    bool open = true;
    bool claimed[kInterfaceCount] = {false, false};
  };
  struct CameraUse {
    std::uint64_t binding = 1;  // bumps when the UVC driver lets go of the device
    int in_flight = 0;
    std::thread::id transfer_owner;
    std::uint64_t imu_queries = 0;  // extension-unit queries so far: numbers their read latencies
    struct QueryFault {
      int error = 0;
      bool reply_lost = false;
    };
    std::deque<QueryFault> imu_query_faults;  // the next extension-unit queries' failures, in order
  };
  struct VideoFd {
    std::size_t camera = 0;
    bool capture = true;
    std::uint64_t generation = 0;
    std::uint64_t binding = 0;
    int flags = 0;
    // The device instance the descriptor belongs to: a re-enumeration or a
    // driver rebind makes a new one.
    std::uint64_t instance() const { return generation << 32 ^ binding; }
  };

  mutable std::mutex mutex;
  std::vector<std::unique_ptr<VirtualCamera>> cameras;
  std::vector<std::unique_ptr<VirtualVideoCapture>> video;  // the streaming side of each camera's nodes
  std::vector<CameraUse> use;
  std::deque<DeviceToken> devices;
  std::map<std::pair<std::size_t, std::uint64_t>, DeviceToken*> camera_tokens;
  std::map<std::uint8_t, DeviceToken*> root_hubs;
  std::deque<HandleToken> handles;
  // Every handle ever opened (closed ones stay, to recognise their reuse),
  // and the open ones of each camera.
  std::unordered_map<const void*, HandleToken*> handle_index;
  std::unordered_map<const void*, DeviceToken*> device_index;
  std::vector<std::vector<HandleToken*>> open_handles;
  std::map<libusb_device**, std::vector<DeviceToken*>> lists;
  std::map<int, VideoFd> fds;
  int next_fd = kFirstVideoFd;
  // Advisory locks: open lock descriptors and the path each names, and the
  // descriptor holding each path's lock. Lock descriptors share the video
  // descriptors' numbering, so one can never be mistaken for the other.
  std::map<int, std::string> lock_fds;
  std::map<std::string, int> lock_holders;
  int context_refs = 0;
  std::vector<UsbOverlap> overlaps;
  std::vector<std::string> misuses;
  std::vector<std::string> commands;
  std::map<std::string, std::string> file_overrides;
  std::shared_ptr<std::atomic<std::size_t>> unclosed_commands = std::make_shared<std::atomic<std::size_t>>(0);

  // udev's view as last sent to the monitors: device key -> the properties
  // of its "add" event, and the monitors still open.
  std::map<std::string, uvc_stereo::platform::UdevEvent> udev_view;
  std::vector<std::weak_ptr<UdevQueue>> udev_monitors;
  bool udev_monitor_available = true;
  bool udev_running = true;

  int usb_init_error = 0;
  int device_list_error = 0;
  bool dev_missing = false;
  bool dev_listing_fails = false;
  bool udevadm_available = true;
  bool command_start_fails = false;

  DeviceToken* find_device(libusb_device* dev, const char* call) {
    auto it = device_index.find(dev);
    if (it != device_index.end()) return it->second;
    misuses.push_back(std::string(call) + " on a device libusb never listed");
    return nullptr;
  }

  HandleToken* find_handle(libusb_device_handle* handle, const char* call) {
    auto it = handle_index.find(handle);
    if (it == handle_index.end()) {
      misuses.push_back(std::string(call) + " on a handle libusb never opened");
      return nullptr;
    }
    if (!it->second->open) {
      misuses.push_back(std::string(call) + " on a closed handle");
      return nullptr;
    }
    return it->second;
  }

  bool live(const HandleToken& h) const {
    const VirtualCamera& cam = *cameras[h.device->camera];
    return cam.attached() && cam.connection_generation() == h.device->generation;
  }

  bool claimed_by_other(const HandleToken& self, int interface_number) const {
    for (const HandleToken* h : open_handles[self.device->camera])
      if (h != &self && live(*h) && h->claimed[interface_number]) return true;
    return false;
  }

  bool any_claim(std::size_t camera) const {
    for (const HandleToken* h : open_handles[camera])
      if (live(*h) && (h->claimed[0] || h->claimed[1])) return true;
    return false;
  }

  DeviceToken* token_for(std::size_t index) {
    VirtualCamera& cam = *cameras[index];
    const auto key = std::make_pair(index, cam.connection_generation());
    auto it = camera_tokens.find(key);
    if (it != camera_tokens.end()) return it->second;
    DeviceToken token;
    token.camera = index;
    token.bus = cam.config().bus_number;
    token.address = cam.device_address();
    token.generation = key.second;
    devices.push_back(token);
    camera_tokens[key] = &devices.back();
    device_index[&devices.back()] = &devices.back();
    return &devices.back();
  }

  DeviceToken* root_hub(std::uint8_t bus) {
    auto it = root_hubs.find(bus);
    if (it != root_hubs.end()) return it->second;
    DeviceToken token;
    token.root_hub = true;
    token.bus = bus;
    token.address = 1;
    devices.push_back(token);
    root_hubs[bus] = &devices.back();
    device_index[&devices.back()] = &devices.back();
    return &devices.back();
  }

  // ---- The discovery view.
  struct Node {
    std::size_t camera;
    bool capture;
    int number;
  };

  // Video nodes exist while the camera is on the bus with the UVC driver bound.
  std::vector<Node> nodes() const {
    std::vector<Node> out;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      const VirtualCamera& cam = *cameras[i];
      if (!cam.attached() || !cam.kernel_driver_bound()) continue;
      out.push_back({i, true, cam.config().capture_node});
      if (cam.config().metadata_node >= 0) out.push_back({i, false, cam.config().metadata_node});
    }
    return out;
  }

  bool find_node(const std::string& path, Node& node) const {
    for (const Node& n : nodes()) {
      if (path == "/dev/video" + std::to_string(n.number)) {
        node = n;
        return true;
      }
    }
    return false;
  }

  std::string hcd(const CameraConfig& c) const { return "xhci-hcd." + std::to_string(c.bus_number - 1); }
  std::string root_hub_dir(const CameraConfig& c) const {
    return "/devices/platform/" + hcd(c) + "/usb" + std::to_string(c.bus_number);
  }
  std::string device_dir(const CameraConfig& c) const {
    return root_hub_dir(c) + "/" + std::to_string(c.bus_number) + "-" + c.usb_port;
  }
  std::string interface_dir(const CameraConfig& c) const {
    return device_dir(c) + "/" + std::to_string(c.bus_number) + "-" + c.usb_port + ":1.0";
  }
  std::string devpath(const Node& n) const {
    return interface_dir(cameras[n.camera]->config()) + "/video4linux/video" + std::to_string(n.number);
  }

  // sysfs as it stands: directories (empty content) and attribute files.
  void sysfs(std::set<std::string>& dirs, std::map<std::string, std::string>& files) const {
    dirs.insert("/");
    dirs.insert("/sys");
    dirs.insert("/sys/devices");
    dirs.insert("/sys/devices/platform");
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      const VirtualCamera& cam = *cameras[i];
      if (!cam.attached()) continue;
      const CameraConfig& c = cam.config();
      const std::string hub = "/sys" + root_hub_dir(c);
      dirs.insert("/sys/devices/platform/" + hcd(c));
      dirs.insert(hub);
      files[hub + "/busnum"] = std::to_string(c.bus_number) + "\n";
      files[hub + "/devnum"] = "1\n";
      const std::string dev = "/sys" + device_dir(c);
      dirs.insert(dev);
      files[dev + "/busnum"] = std::to_string(c.bus_number) + "\n";
      files[dev + "/devnum"] = std::to_string(cam.device_address()) + "\n";
      files[dev + "/idVendor"] = hex4(c.vid) + "\n";
      files[dev + "/idProduct"] = hex4(c.pid) + "\n";
      dirs.insert("/sys" + interface_dir(c));
    }
    for (const Node& n : nodes()) {
      const std::string dir = "/sys" + devpath(n);
      dirs.insert(dir.substr(0, dir.rfind('/')));
      dirs.insert(dir);
      files[dir + "/name"] = cameras[n.camera]->config().model + "\n";
      files[dir + "/dev"] = "81:" + std::to_string(n.number) + "\n";
    }
  }

  // The devices udev knows now, keyed so that a re-enumerated camera (new
  // connection generation) or a re-bound driver (new binding) is a new device.
  // Keys sort USB devices ("1usb") before their video nodes ("2video"), a
  // capture node before its metadata node.
  std::map<std::string, uvc_stereo::platform::UdevEvent> current_udev_view() const {
    std::map<std::string, uvc_stereo::platform::UdevEvent> view;
    char key[96];
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      const VirtualCamera& cam = *cameras[i];
      if (!cam.attached()) continue;
      const CameraConfig& c = cam.config();
      std::snprintf(key, sizeof key, "1usb:%04zu:%020llu", i,
                    static_cast<unsigned long long>(cam.connection_generation()));
      uvc_stereo::platform::UdevEvent& usb = view[key];
      char number[8];
      auto& p = usb.properties;
      p["SUBSYSTEM"] = "usb";
      p["DEVTYPE"] = "usb_device";
      p["DEVPATH"] = device_dir(c);
      std::snprintf(number, sizeof number, "%03u", static_cast<unsigned>(c.bus_number));
      p["BUSNUM"] = number;
      const std::string bus_text = number;
      std::snprintf(number, sizeof number, "%03u", static_cast<unsigned>(cam.device_address()));
      p["DEVNUM"] = number;
      p["DEVNAME"] = "/dev/bus/usb/" + bus_text + "/" + number;
      p["ID_VENDOR_ID"] = hex4(c.vid);
      p["ID_MODEL_ID"] = hex4(c.pid);
    }
    for (const Node& n : nodes()) {
      std::snprintf(key, sizeof key, "2video:%04zu:%020llu:%020llu:%d", n.camera,
                    static_cast<unsigned long long>(cameras[n.camera]->connection_generation()),
                    static_cast<unsigned long long>(use[n.camera].binding), n.capture ? 0 : 1);
      uvc_stereo::platform::UdevEvent& video = view[key];
      std::istringstream lines(udev(n));
      std::string line;
      while (std::getline(lines, line)) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) video.properties[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
    return view;
  }

  // Sends the monitors what changed since the last call: removals first
  // (video nodes before their USB device), then additions (USB devices before
  // their nodes), as the kernel orders its uevents.
  void publish_udev_events() {
    std::map<std::string, uvc_stereo::platform::UdevEvent> now = current_udev_view();
    std::vector<uvc_stereo::platform::UdevEvent> out;
    for (auto it = udev_view.rbegin(); it != udev_view.rend(); ++it) {
      if (now.count(it->first) != 0) continue;
      out.push_back(it->second);
      out.back().action = "remove";
    }
    for (const auto& [key, event] : now) {
      if (udev_view.count(key) != 0) continue;
      out.push_back(event);
      out.back().action = "add";
    }
    udev_view = std::move(now);
    udev_monitors.erase(std::remove_if(udev_monitors.begin(), udev_monitors.end(),
                                       [](const std::weak_ptr<UdevQueue>& q) { return q.expired(); }),
                        udev_monitors.end());
    for (const auto& weak : udev_monitors) {
      std::shared_ptr<UdevQueue> queue = weak.lock();
      if (!queue) continue;
      for (const auto& event : out) queue->push(event);
    }
  }

  std::string udev(const Node& n) const {
    const CameraConfig& c = cameras[n.camera]->config();
    const std::string vendor = c.vendor.empty() ? hex4(c.vid) : underscored(c.vendor);
    const std::string model = c.model.empty() ? hex4(c.pid) : underscored(c.model);
    const std::string serial = c.serial.empty() ? vendor + "_" + model : vendor + "_" + model + "_" + c.serial;
    const std::string index = n.capture ? "0" : "1";
    std::ostringstream out;
    out << "DEVPATH=" << devpath(n) << "\n";
    out << "DEVNAME=/dev/video" << n.number << "\n";
    out << "DEVLINKS=/dev/v4l/by-id/usb-" << serial << "-video-index" << index;
    if (!c.usb_path.empty()) out << " /dev/v4l/by-path/" << c.usb_path << "-video-index" << index;
    out << "\n";
    out << "MAJOR=81\n";
    out << "MINOR=" << n.number << "\n";
    out << "SUBSYSTEM=video4linux\n";
    out << "USEC_INITIALIZED=" << 5000000 + 1000 * n.number << "\n";
    out << "ID_V4L_VERSION=2\n";
    out << "ID_V4L_PRODUCT=" << c.model << "\n";
    out << "ID_V4L_CAPABILITIES=" << (n.capture ? ":capture:" : ":") << "\n";
    out << "ID_VENDOR=" << vendor << "\n";
    out << "ID_VENDOR_ENC=" << encoded(c.vendor.empty() ? vendor : c.vendor) << "\n";
    out << "ID_VENDOR_ID=" << hex4(c.vid) << "\n";
    if (c.vid == 0x0c45) out << "ID_VENDOR_FROM_DATABASE=Microdia\n";
    out << "ID_MODEL=" << model << "\n";
    out << "ID_MODEL_ENC=" << encoded(c.model.empty() ? model : c.model) << "\n";
    out << "ID_MODEL_ID=" << hex4(c.pid) << "\n";
    out << "ID_REVISION=0100\n";
    out << "ID_SERIAL=" << serial << "\n";
    if (!c.serial.empty()) out << "ID_SERIAL_SHORT=" << c.serial << "\n";
    out << "ID_TYPE=video\n";
    out << "ID_BUS=usb\n";
    out << "ID_USB_INTERFACES=:0e0100:0e0200:\n";
    out << "ID_USB_INTERFACE_NUM=00\n";
    out << "ID_USB_DRIVER=uvcvideo\n";
    if (!c.usb_path.empty()) {
      out << "ID_PATH=" << c.usb_path << "\n";
      out << "ID_PATH_TAG=" << path_tag(c.usb_path) << "\n";
      out << "ID_FOR_SEAT=video4linux-" << path_tag(c.usb_path) << "\n";
    }
    out << "TAGS=:seat:uaccess:\n";
    out << "CURRENT_TAGS=:seat:uaccess:\n";
    return out.str();
  }
};

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

// ---- libusb.

int VirtualPlatform::usb_init() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->usb_init_error != 0) return state_->usb_init_error;
  ++state_->context_refs;
  return LIBUSB_SUCCESS;
}

void VirtualPlatform::usb_exit() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->context_refs == 0) {
    state_->misuses.push_back("usb_exit without a matching usb_init");
    return;
  }
  --state_->context_refs;
}

ssize_t VirtualPlatform::usb_get_device_list(libusb_device*** list) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (s.context_refs == 0) s.misuses.push_back("usb_get_device_list without usb_init");
  if (s.device_list_error != 0) return s.device_list_error;
  std::vector<State::DeviceToken*> tokens;
  std::set<std::uint8_t> buses;
  for (const auto& cam : s.cameras) buses.insert(cam->config().bus_number);
  for (std::uint8_t bus : buses) tokens.push_back(s.root_hub(bus));
  for (std::size_t i = 0; i < s.cameras.size(); ++i)
    if (s.cameras[i]->attached()) tokens.push_back(s.token_for(i));
  auto* array = new libusb_device*[tokens.size() + 1];
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    array[i] = reinterpret_cast<libusb_device*>(tokens[i]);
    ++tokens[i]->refs;
  }
  array[tokens.size()] = nullptr;
  s.lists[array] = tokens;
  *list = array;
  return static_cast<ssize_t>(tokens.size());
}

void VirtualPlatform::usb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == nullptr) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto it = s.lists.find(list);
  if (it == s.lists.end()) {
    s.misuses.push_back("usb_free_device_list on a list that is not outstanding");
    return;
  }
  if (unref_devices)
    for (auto* token : it->second) --token->refs;
  delete[] it->first;
  s.lists.erase(it);
}

int VirtualPlatform::usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* token = s.find_device(dev, "usb_get_device_descriptor");
  if (token == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  std::memset(desc, 0, sizeof *desc);
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bNumConfigurations = 1;
  if (token->root_hub) {
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = LIBUSB_CLASS_HUB;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = kRootHubVendor;
    desc->idProduct = kRootHubProduct;
    desc->bcdDevice = 0x0601;
    desc->iManufacturer = 3;
    desc->iProduct = 2;
    desc->iSerialNumber = 1;
    return LIBUSB_SUCCESS;
  }
  VirtualCamera& cam = *s.cameras[token->camera];
  if (const int error = cam.descriptor_error(); error != 0) return error;
  desc->bcdUSB = 0x0200;
  desc->bDeviceClass = LIBUSB_CLASS_MISCELLANEOUS;  // interface association
  desc->bDeviceSubClass = 0x02;
  desc->bDeviceProtocol = 0x01;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = cam.config().vid;
  desc->idProduct = cam.config().pid;
  desc->bcdDevice = 0x0100;
  desc->iManufacturer = 1;
  desc->iProduct = 2;
  desc->iSerialNumber = cam.config().serial.empty() ? 0 : 3;
  return LIBUSB_SUCCESS;
}

std::uint8_t VirtualPlatform::usb_get_bus_number(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto* token = state_->find_device(dev, "usb_get_bus_number");
  return token == nullptr ? 0 : token->bus;
}

std::uint8_t VirtualPlatform::usb_get_device_address(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto* token = state_->find_device(dev, "usb_get_device_address");
  return token == nullptr ? 0 : token->address;
}

int VirtualPlatform::usb_open(libusb_device* dev, libusb_device_handle** handle) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* token = s.find_device(dev, "usb_open");
  if (token == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (token->root_hub) return LIBUSB_ERROR_ACCESS;  // hubs are root's
  VirtualCamera& cam = *s.cameras[token->camera];
  if (!cam.attached() || cam.connection_generation() != token->generation) return LIBUSB_ERROR_NO_DEVICE;
  if (const int error = cam.open_error(); error != 0) return error;
  for (const State::HandleToken* h : s.open_handles[token->camera]) {
    if (s.live(*h)) {
      s.overlaps.push_back({token->camera, "a second USB handle was opened while another was open"});
      break;
    }
  }
  s.handles.emplace_back();
  State::HandleToken* h = &s.handles.back();
  h->device = token;
  s.handle_index[h] = h;
  s.open_handles[token->camera].push_back(h);
  ++token->refs;
  *handle = reinterpret_cast<libusb_device_handle*>(h);
  return LIBUSB_SUCCESS;
}

void VirtualPlatform::usb_close(libusb_device_handle* handle) {
  if (handle == nullptr) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto* h = state_->find_handle(handle, "usb_close");
  if (h == nullptr) return;
  // Closing the file releases whatever it had claimed.
  h->open = false;
  h->claimed[0] = h->claimed[1] = false;
  --h->device->refs;
  auto& open = state_->open_handles[h->device->camera];
  open.erase(std::find(open.begin(), open.end(), h));
}

int VirtualPlatform::usb_kernel_driver_active(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_kernel_driver_active");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  return s.cameras[h->device->camera]->kernel_driver_bound() ? 1 : 0;
}

int VirtualPlatform::usb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_detach_kernel_driver");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  VirtualCamera& cam = *s.cameras[h->device->camera];
  if (!cam.kernel_driver_bound()) return LIBUSB_ERROR_NOT_FOUND;
  // The UVC driver lets go of the whole function: its video nodes disappear
  // and descriptors opened on them stop working.
  cam.set_kernel_driver_bound(false);
  ++s.use[h->device->camera].binding;
  s.publish_udev_events();
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_attach_kernel_driver");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  VirtualCamera& cam = *s.cameras[h->device->camera];
  if (cam.kernel_driver_bound()) return LIBUSB_ERROR_BUSY;
  if (s.any_claim(h->device->camera)) return LIBUSB_ERROR_BUSY;  // the driver cannot take a claimed interface
  cam.set_kernel_driver_bound(true);
  s.publish_udev_events();
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_claim_interface(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_claim_interface");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  VirtualCamera& cam = *s.cameras[h->device->camera];
  if (const int error = cam.take_claim_failure(); error != 0) return error;
  if (h->claimed[interface_number]) return LIBUSB_SUCCESS;
  if (cam.kernel_driver_bound() || s.claimed_by_other(*h, interface_number)) return LIBUSB_ERROR_BUSY;
  h->claimed[interface_number] = true;
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_release_interface(libusb_device_handle* handle, int interface_number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_release_interface");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (interface_number < 0 || interface_number >= kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
  if (!h->claimed[interface_number]) return LIBUSB_ERROR_NOT_FOUND;
  h->claimed[interface_number] = false;
  return s.live(*h) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int VirtualPlatform::usb_set_configuration(libusb_device_handle* handle, int configuration) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  auto* h = s.find_handle(handle, "usb_set_configuration");
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
  if (configuration != 1 && configuration != 0 && configuration != -1) return LIBUSB_ERROR_NOT_FOUND;
  // The kernel refuses while any interface is claimed, by a driver or a process.
  if (s.cameras[h->device->camera]->kernel_driver_bound() || s.any_claim(h->device->camera)) return LIBUSB_ERROR_BUSY;
  return LIBUSB_SUCCESS;
}

int VirtualPlatform::usb_control_transfer(libusb_device_handle* handle, std::uint8_t request_type, std::uint8_t request,
                                          std::uint16_t value, std::uint16_t index, unsigned char* data,
                                          std::uint16_t length, unsigned int timeout_ms) {
  VirtualCamera* cam = nullptr;
  std::size_t camera_index = 0;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& s = *state_;
    auto* h = s.find_handle(handle, "usb_control_transfer");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!s.live(*h)) return LIBUSB_ERROR_NO_DEVICE;
    camera_index = h->device->camera;
    cam = s.cameras[camera_index].get();
    if ((request_type & 0x1F) == LIBUSB_RECIPIENT_INTERFACE) {
      // usbfs claims an unclaimed interface on first use, which fails while
      // the UVC driver or another process holds it.
      const int interface_number = index & 0xFF;
      if (interface_number >= kInterfaceCount) return LIBUSB_ERROR_IO;
      if (!h->claimed[interface_number]) {
        if (cam->kernel_driver_bound() || s.claimed_by_other(*h, interface_number)) return LIBUSB_ERROR_IO;
        h->claimed[interface_number] = true;
      }
    }
    State::CameraUse& use = s.use[camera_index];
    if (use.in_flight > 0 && use.transfer_owner != std::this_thread::get_id())
      s.overlaps.push_back({camera_index, "a control transfer started while another thread's was in progress"});
    ++use.in_flight;
    use.transfer_owner = std::this_thread::get_id();
  }
  // libusb's timeout 0 waits without limit.
  const int result = await_answer(*cam, clock_, std::chrono::milliseconds(timeout_ms))
                         ? cam->control_transfer(request_type, request, value, index, data, length)
                         : LIBUSB_ERROR_TIMEOUT;
  std::lock_guard<std::mutex> lock(state_->mutex);
  --state_->use[camera_index].in_flight;
  return result;
}

const char* VirtualPlatform::usb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
      return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
      return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
      return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
      return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
      return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
      return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
      return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
      return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
      return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
      return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
      return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR:
      return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
      return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
      return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
      return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
      return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
      return "LIBUSB_TRANSFER_OVERFLOW";
    default:
      return "**UNKNOWN**";
  }
}

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
