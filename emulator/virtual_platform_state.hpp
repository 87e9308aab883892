// The virtual platform's state, shared by the files that implement its
// libusb, udev, file-system, command and video-node calls. Internal to the
// virtual camera library.
#pragma once

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
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include <chrono>
#include <deque>
#include <mutex>
#include "emulator/imu_model.hpp"
#include "emulator/virtual_video_capture.hpp"

namespace morvane::emulator {
namespace platform_model {

inline constexpr int kInterfaceCount = 2;  // VideoControl 0, VideoStreaming 1
inline constexpr int kFirstVideoFd = 100;

// How long the kernel's UVC driver waits for the answer to a control request
// (UVC_CTRL_CONTROL_TIMEOUT) before the ioctl fails with ETIMEDOUT.
inline constexpr std::chrono::milliseconds kUvcControlTimeout{5000};

// The host's wait for the answer to one request (see
// VirtualCamera::wait_for_answer): false when it timed out unanswered. The
// time spent waiting passes on the virtual clock too.
inline bool await_answer(VirtualCamera& cam, VirtualClock& clock, std::chrono::milliseconds timeout) {
  if (cam.answering()) return true;
  const auto begin = std::chrono::steady_clock::now();
  const bool answered = cam.wait_for_answer(timeout);
  const auto waited =
      answered ? std::chrono::steady_clock::now() - begin : std::chrono::steady_clock::duration(timeout);
  clock.advance_ns(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()));
  return answered;
}

inline std::string hex4(std::uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", v);
  return buf;
}

inline std::string underscored(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == ' ' || c == '\t') c = '_';
  return out;
}

inline std::string encoded(const std::string& text) {
  std::string out;
  for (char c : text) out += c == ' ' ? std::string("\\x20") : std::string(1, c);
  return out;
}

inline std::string path_tag(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '-' || c == ':' || c == '.') c = '_';
  return out;
}

// Collapses repeated slashes and drops a trailing one (but keeps "/").
inline std::string normalise(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

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

}  // namespace platform_model

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
    bool claimed[platform_model::kInterfaceCount] = {false, false};
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
  int next_fd = platform_model::kFirstVideoFd;
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
  std::vector<std::weak_ptr<platform_model::UdevQueue>> udev_monitors;
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
      files[dev + "/idVendor"] = platform_model::hex4(c.vid) + "\n";
      files[dev + "/idProduct"] = platform_model::hex4(c.pid) + "\n";
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
      p["ID_VENDOR_ID"] = platform_model::hex4(c.vid);
      p["ID_MODEL_ID"] = platform_model::hex4(c.pid);
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
                                       [](const std::weak_ptr<platform_model::UdevQueue>& q) { return q.expired(); }),
                        udev_monitors.end());
    for (const auto& weak : udev_monitors) {
      std::shared_ptr<platform_model::UdevQueue> queue = weak.lock();
      if (!queue) continue;
      for (const auto& event : out) queue->push(event);
    }
  }

  std::string udev(const Node& n) const {
    const CameraConfig& c = cameras[n.camera]->config();
    const std::string vendor = c.vendor.empty() ? platform_model::hex4(c.vid) : platform_model::underscored(c.vendor);
    const std::string model = c.model.empty() ? platform_model::hex4(c.pid) : platform_model::underscored(c.model);
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
    out << "ID_VENDOR_ENC=" << platform_model::encoded(c.vendor.empty() ? vendor : c.vendor) << "\n";
    out << "ID_VENDOR_ID=" << platform_model::hex4(c.vid) << "\n";
    if (c.vid == 0x0c45) out << "ID_VENDOR_FROM_DATABASE=Microdia\n";
    out << "ID_MODEL=" << model << "\n";
    out << "ID_MODEL_ENC=" << platform_model::encoded(c.model.empty() ? model : c.model) << "\n";
    out << "ID_MODEL_ID=" << platform_model::hex4(c.pid) << "\n";
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
      out << "ID_PATH_TAG=" << platform_model::path_tag(c.usb_path) << "\n";
      out << "ID_FOR_SEAT=video4linux-" << platform_model::path_tag(c.usb_path) << "\n";
    }
    out << "TAGS=:seat:uaccess:\n";
    out << "CURRENT_TAGS=:seat:uaccess:\n";
    return out.str();
  }
};

}  // namespace morvane::emulator
