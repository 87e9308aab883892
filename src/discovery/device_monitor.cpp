// DeviceMonitor: udev's events folded into arrivals, removals and changes of
// supported cameras, with the scan's own per-node steps and folding rules.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "discovery/device_whitelist.hpp"
#include "discovery/scan_candidate.hpp"
#include "discovery/video_nodes.hpp"
#include "morvane/uvc_stereo/monitor.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

using discovery::NodeCandidate;
using discovery::ScanCandidate;

constexpr char kDevPrefix[] = "/dev/";
constexpr char kUdevControl[] = "/run/udev/control";  // udevd's control socket, there while it runs

bool same_record(const DeviceInfo& a, const DeviceInfo& b) {
  return a.vid == b.vid && a.pid == b.pid && a.bus_number == b.bus_number && a.device_address == b.device_address &&
         a.serial == b.serial && a.vendor == b.vendor && a.model == b.model && a.video_node == b.video_node &&
         a.usb_path == b.usb_path && a.opencv_indices == b.opencv_indices;
}

std::string system_error_text(int error) { return std::strerror(error); }

// A /dev/videoN node as the scan would list it, directly in /dev.
bool is_scanned_node(const std::string& devname) {
  if (devname.compare(0, sizeof(kDevPrefix) - 1, kDevPrefix) != 0) return false;
  const std::string name = devname.substr(sizeof(kDevPrefix) - 1);
  return name.find('/') == std::string::npos && discovery::is_video_node_name(name);
}

}  // namespace

// One camera the monitor follows: the nodes it has now, in the order they
// were seen (the order a scan folds them in), and what was last reported.
struct MonitoredCamera {
  std::string identity;
  std::vector<NodeCandidate> nodes;
  std::optional<DeviceInfo> reported;

  // The record a scan would give for the nodes present now.
  DeviceInfo record() const {
    ScanCandidate folded = nodes.front().candidate;
    for (std::size_t i = 1; i < nodes.size(); ++i) discovery::merge_candidate(folded, nodes[i].candidate);
    return discovery::finish_scan({std::move(folded)}).front();
  }
  // True when `node` is on this camera's USB device (same ids, bus and
  // address), whatever its identity text says.
  bool same_usb_device(const DeviceInfo& node) const {
    if (node.bus_number == 0 || node.device_address == 0) return false;
    if (reported && reported->vid == node.vid && reported->pid == node.pid && reported->bus_number == node.bus_number &&
        reported->device_address == node.device_address)
      return true;
    for (const NodeCandidate& n : nodes) {
      const DeviceInfo& r = n.candidate.record;
      if (r.vid == node.vid && r.pid == node.pid && r.bus_number == node.bus_number &&
          r.device_address == node.device_address)
        return true;
    }
    return false;
  }
  // True when the USB device that left (its bus number and address, or its
  // sysfs path) is this camera's.
  bool owns_usb_device(std::uint8_t bus, std::uint8_t address, const std::string& devpath) const {
    if (reported && bus != 0 && address != 0 && reported->bus_number == bus && reported->device_address == address)
      return true;
    for (const NodeCandidate& node : nodes) {
      if (bus != 0 && address != 0 && node.candidate.record.bus_number == bus &&
          node.candidate.record.device_address == address)
        return true;
    }
    return !devpath.empty() && !last_devpath.empty() && last_devpath.compare(0, devpath.size() + 1, devpath + "/") == 0;
  }
  std::string last_devpath;                 // sysfs path of the last node seen, kept after the nodes leave
  std::vector<std::string> reported_nodes;  // the node paths behind `reported`

  std::vector<std::string> node_paths() const {
    std::vector<std::string> paths;
    for (const NodeCandidate& node : nodes) paths.push_back(node.candidate.record.video_node);
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  // True while the camera has only lost nodes since the last report, as
  // while its driver is detached for a flash operation and re-attached: the
  // nodes leave and come back one by one, and a record folded from some of
  // them (the metadata node alone) would be a change that is not one.
  bool in_transition() const {
    if (!reported) return false;
    const std::vector<std::string> now = node_paths();
    return now.size() < reported_nodes.size() &&
           std::includes(reported_nodes.begin(), reported_nodes.end(), now.begin(), now.end());
  }
  void report(DeviceInfo record) {
    reported = std::move(record);
    reported_nodes = node_paths();
  }
};

struct DeviceMonitor::Impl {
  std::unique_ptr<platform::UdevMonitor> udev;
  DeviceScanFilter filter;
  std::unordered_set<std::string> supported = discovery::supported_pair_set();
  std::vector<MonitoredCamera> cameras;  // in order of first sight
  std::vector<DeviceEvent> pending;      // removals taken before a failed read
  bool resync = false;                   // udev dropped events: re-read the cameras

  MonitoredCamera* find(const std::string& identity) {
    for (MonitoredCamera& camera : cameras)
      if (camera.identity == identity) return &camera;
    return nullptr;
  }

  // Forgets `node_path` wherever it is (a node number may pass to another camera).
  void drop_node(const std::string& node_path) {
    for (MonitoredCamera& camera : cameras) {
      auto& nodes = camera.nodes;
      nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                                 [&](const NodeCandidate& n) { return n.candidate.record.video_node == node_path; }),
                  nodes.end());
    }
  }

  void add_node(NodeCandidate node) {
    std::string identity = discovery::device_identity(node.candidate.record);
    MonitoredCamera* camera = find(identity);
    // A node whose udev record lacks what its siblings had (udev's path_id
    // can miss ID_PATH while the driver re-binds after a flash operation)
    // still belongs to the camera on the same USB device.
    for (auto it = cameras.begin(); camera == nullptr && it != cameras.end(); ++it)
      if (it->same_usb_device(node.candidate.record)) camera = &*it;
    if (camera == nullptr) {
      cameras.push_back(MonitoredCamera{identity, {}, std::nullopt, {}, {}});
      camera = &cameras.back();
    }
    if (!node.devpath.empty()) camera->last_devpath = node.devpath;
    camera->nodes.push_back(std::move(node));
  }

  // True when the camera's USB device is still on the bus: sysfs still shows
  // its last bus number and address above the sysfs path of its last node
  // (a device that left is gone from there; one re-enumerated at the same
  // port has a new address). Unknown numbers or path count as gone.
  bool usb_device_present(const MonitoredCamera& camera) const {
    if (!camera.reported || camera.last_devpath.empty()) return false;
    const DeviceInfo& r = *camera.reported;
    if (r.bus_number == 0 || r.device_address == 0) return false;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    discovery::read_usb_bus_address(camera.last_devpath, bus, address);
    return bus == r.bus_number && address == r.device_address;
  }

  // Reads the attached cameras as a scan does and folds them into the
  // cameras known so far by the rules events follow: a camera stays the same
  // while its USB device stays on the bus (same ids, bus number and address,
  // and serial when both records have one); one whose nodes are missing but
  // whose USB device is still there is in a flash operation and keeps its
  // record silently; anything else that left is removed, and a camera met
  // on the same port under a new USB device arrives anew. With `events`
  // null (the starting state) nothing is reported, but the same rules
  // decide which cameras are held as attached.
  Result<void> reread(std::vector<DeviceEvent>* events) {
    Result<std::vector<NodeCandidate>> nodes = discovery::node_candidates(filter);
    if (!nodes.ok()) return Result<void>::forward(nodes);
    std::vector<MonitoredCamera> before = std::move(cameras);
    cameras.clear();
    for (MonitoredCamera& old : before) {
      if (!old.reported) continue;  // never announced: judged afresh from the nodes found now
      old.nodes.clear();
      cameras.push_back(std::move(old));
    }
    for (NodeCandidate& node : *nodes.value) add_node(std::move(node));
    std::vector<DeviceEvent> removals;
    for (auto it = cameras.begin(); it != cameras.end();) {
      if (!it->reported) {
        ++it;
        continue;
      }
      const DeviceInfo& r = *it->reported;
      bool same = false;
      if (it->nodes.empty()) {
        same = usb_device_present(*it);
      } else {
        const DeviceInfo now = it->record();
        same = now.vid == r.vid && now.pid == r.pid && now.bus_number == r.bus_number &&
               now.device_address == r.device_address &&
               (now.serial.empty() || r.serial.empty() || now.serial == r.serial);
      }
      if (same) {
        ++it;
        continue;
      }
      removals.push_back({DeviceEventKind::removed, r, std::nullopt});
      if (it->nodes.empty()) {
        it = cameras.erase(it);
      } else {  // another USB device under the same identity: a new camera
        it->reported.reset();
        it->reported_nodes.clear();
        ++it;
      }
    }
    std::vector<DeviceEvent> folded = std::move(removals);
    reconcile(folded);
    if (events != nullptr) events->insert(events->end(), folded.begin(), folded.end());
    return Result<void>::success();
  }

  void apply(const platform::UdevEvent& event, std::vector<DeviceEvent>& removals) {
    auto property = [&](const char* key) -> std::string {
      auto it = event.properties.find(key);
      return it == event.properties.end() ? std::string() : it->second;
    };
    const std::string subsystem = property("SUBSYSTEM");
    if (subsystem == "video4linux") {
      const std::string devname = property("DEVNAME");
      if (!is_scanned_node(devname)) return;
      drop_node(devname);
      if (event.action == "remove") return;
      if (event.action != "add" && event.action != "change" && event.action != "bind" && event.action != "move") return;
      std::optional<NodeCandidate> node = discovery::node_candidate(devname, event.properties, filter, supported);
      if (node) add_node(std::move(*node));
    } else if (subsystem == "usb" && property("DEVTYPE") == "usb_device" && event.action == "remove") {
      std::uint8_t bus = 0;
      std::uint8_t address = 0;
      discovery::parse_dec_u8(property("BUSNUM"), bus);
      discovery::parse_dec_u8(property("DEVNUM"), address);
      const std::string devpath = property("DEVPATH");
      for (auto it = cameras.begin(); it != cameras.end();) {
        if (it->owns_usb_device(bus, address, devpath)) {
          if (it->reported) removals.push_back({DeviceEventKind::removed, *it->reported, std::nullopt});
          it = cameras.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  // What changed for the cameras that have nodes; a camera that has only
  // lost nodes (its driver detached for a flash operation) keeps its place
  // and its record silently.
  void reconcile(std::vector<DeviceEvent>& events) {
    for (MonitoredCamera& camera : cameras) {
      if (camera.nodes.empty() || camera.in_transition()) continue;
      // A camera is announced with the node it captures from: udev may
      // finish its metadata node first, and that alone would name it briefly.
      if (!camera.reported && std::none_of(camera.nodes.begin(), camera.nodes.end(), [](const NodeCandidate& n) {
            return n.candidate.kind != discovery::NodeKind::no_capture;
          }))
        continue;
      DeviceInfo now = camera.record();
      // Texts udev left out of a re-bound node's record (ID_PATH while the
      // driver re-binds) are kept from the last report of the same USB
      // device, as the scan keeps the first non-empty text of a camera.
      if (camera.reported) {
        const DeviceInfo& r = *camera.reported;
        if (r.vid == now.vid && r.pid == now.pid && r.bus_number == now.bus_number &&
            r.device_address == now.device_address) {
          if (now.usb_path.empty()) now.usb_path = r.usb_path;
          if (now.serial.empty()) now.serial = r.serial;
          if (now.vendor.empty()) now.vendor = r.vendor;
          if (now.model.empty()) now.model = r.model;
        }
      }
      // A node that could not be opened at its event (the driver detached
      // again by the next flash operation before udev's removal arrives) does
      // not take the capture indices away from a camera that had them under
      // the same node name.
      if (camera.reported && !camera.reported->opencv_indices.empty() && now.opencv_indices.empty()) {
        bool unprobed = false;
        for (const NodeCandidate& n : camera.nodes)
          if (n.candidate.record.video_node == now.video_node)
            unprobed = n.candidate.kind == discovery::NodeKind::undetermined &&
                       std::binary_search(camera.reported_nodes.begin(), camera.reported_nodes.end(), now.video_node);
        if (unprobed) continue;
      }
      if (!camera.reported) {
        events.push_back({DeviceEventKind::arrived, now, std::nullopt});
      } else if (!same_record(*camera.reported, now)) {
        events.push_back({DeviceEventKind::changed, now, *camera.reported});
      }
      camera.report(std::move(now));
    }
  }
};

const char* device_event_kind_name(DeviceEventKind kind) noexcept {
  switch (kind) {
    case DeviceEventKind::arrived:
      return "arrived";
    case DeviceEventKind::removed:
      return "removed";
    case DeviceEventKind::changed:
      return "changed";
  }
  return "unknown";
}

DeviceMonitor::DeviceMonitor() noexcept = default;
DeviceMonitor::DeviceMonitor(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
DeviceMonitor::DeviceMonitor(DeviceMonitor&&) noexcept = default;
DeviceMonitor& DeviceMonitor::operator=(DeviceMonitor&&) noexcept = default;
DeviceMonitor::~DeviceMonitor() = default;

bool DeviceMonitor::is_open() const noexcept { return impl_ != nullptr; }

int DeviceMonitor::fd() const noexcept { return impl_ ? impl_->udev->fd() : -1; }

void DeviceMonitor::close() noexcept { impl_.reset(); }

std::vector<DeviceInfo> DeviceMonitor::devices() const {
  std::vector<DeviceInfo> out;
  if (!impl_) return out;
  for (const MonitoredCamera& camera : impl_->cameras)
    if (camera.reported) out.push_back(*camera.reported);
  std::sort(out.begin(), out.end(), discovery::record_before);
  return out;
}

Result<std::vector<DeviceEvent>> DeviceMonitor::read_events() {
  using R = Result<std::vector<DeviceEvent>>;
  if (!impl_) return R::failure(ErrorCode::invalid_argument, "device monitor is closed");
  std::vector<DeviceEvent> removals = std::move(impl_->pending);
  impl_->pending.clear();
  for (;;) {
    platform::UdevEvent event;
    const int got = impl_->udev->receive(event);
    if (got == 0) break;
    if (got < 0) {
      if (errno == ENOBUFS) {  // the kernel dropped events: take what is pending, then re-read
        impl_->resync = true;
        continue;
      }
      // The removals taken so far are handed out by the next call; the
      // arrivals and changes are worked out then from the nodes kept.
      const int error = errno;
      impl_->pending.insert(impl_->pending.end(), removals.begin(), removals.end());
      return R::failure(ErrorCode::io_error, "failed to read udev events: " + system_error_text(error));
    }
    impl_->apply(event, removals);
  }
  std::vector<DeviceEvent> events = std::move(removals);
  if (impl_->resync) {
    Result<void> reloaded = impl_->reread(&events);
    if (!reloaded.ok()) {
      impl_->pending = std::move(events);  // tried again, with the re-read, next time
      return R::forward(reloaded);
    }
    impl_->resync = false;
  } else {
    impl_->reconcile(events);
  }
  return R::success(std::move(events));
}

Result<DeviceMonitor> open_device_monitor(const DeviceScanFilter& filter) {
  auto impl = std::make_unique<DeviceMonitor::Impl>();
  impl->filter = filter;
  errno = 0;
  impl->udev = platform::current().open_udev_monitor();
  if (!impl->udev) {
    const int error = errno != 0 ? errno : ENOSYS;
    return Result<DeviceMonitor>::failure(ErrorCode::io_error,
                                          "failed to start the udev monitor: " + system_error_text(error));
  }
  // libudev opens a monitor without udevd too, but it then never receives
  // anything (udevd sends the events it hears).
  if (!platform::current().path_exists(kUdevControl)) {
    return Result<DeviceMonitor>::failure(
        ErrorCode::io_error,
        "failed to start the udev monitor: udev is not running (" + std::string(kUdevControl) + " is missing)");
  }
  Result<void> loaded = impl->reread(nullptr);
  if (!loaded.ok()) return Result<DeviceMonitor>::forward(loaded);
  return Result<DeviceMonitor>::success(DeviceMonitor(std::move(impl)));
}

Result<DeviceMonitor> open_device_monitor() { return open_device_monitor(DeviceScanFilter{}); }

}  // namespace morvane::uvc_stereo
