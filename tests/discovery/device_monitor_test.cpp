// DeviceMonitor against virtual cameras: the events udev sends when cameras
// are unplugged, replugged, re-enumerated or flashed, folded into arrivals,
// removals and changes that agree with scan_devices().
#include <dirent.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/monitor.hpp"
#include "support/forwarding_platform.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

using morvane::testing::default_camera_config;
using morvane::testing::VirtualCameraRig;

std::vector<emulator::CameraConfig> three_cameras() {
  return {default_camera_config(0), default_camera_config(1), default_camera_config(2)};
}

std::vector<DeviceInfo> scan_now() {
  Result<std::vector<DeviceInfo>> scan = scan_devices();
  EXPECT_TRUE(scan.ok()) << scan.message;
  return scan.value.value_or(std::vector<DeviceInfo>{});
}

bool same(const DeviceInfo& a, const DeviceInfo& b) {
  return a.vid == b.vid && a.pid == b.pid && a.bus_number == b.bus_number && a.device_address == b.device_address &&
         a.serial == b.serial && a.vendor == b.vendor && a.model == b.model && a.video_node == b.video_node &&
         a.usb_path == b.usb_path && a.opencv_indices == b.opencv_indices;
}

::testing::AssertionResult same_list(const std::vector<DeviceInfo>& a, const std::vector<DeviceInfo>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " records vs " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i]))
      return ::testing::AssertionFailure() << "record " << i << ": " << a[i].video_node << " bus " << +a[i].bus_number
                                           << " addr " << +a[i].device_address << " vs " << b[i].video_node << " bus "
                                           << +b[i].bus_number << " addr " << +b[i].device_address;
  return ::testing::AssertionSuccess();
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
  }
  return n;
}

DeviceMonitor open_ok(const DeviceScanFilter& filter = {}) {
  Result<DeviceMonitor> opened = open_device_monitor(filter);
  EXPECT_TRUE(opened.ok()) << opened.message;
  return opened.ok() ? std::move(*opened) : DeviceMonitor();
}

std::vector<DeviceEvent> events_ok(DeviceMonitor& monitor) {
  Result<std::vector<DeviceEvent>> events = monitor.read_events();
  EXPECT_TRUE(events.ok()) << events.message;
  return events.value.value_or(std::vector<DeviceEvent>{});
}

std::string kinds(const std::vector<DeviceEvent>& events) {
  std::string out;
  for (const DeviceEvent& e : events) {
    if (!out.empty()) out += ",";
    out += std::string(device_event_kind_name(e.kind)) + ":" + e.device.serial;
  }
  return out;
}

// One scripted change to the cameras, the events it must give, and after
// every step the monitor's view must equal a fresh scan.
struct Step {
  const char* what;
  std::function<void(VirtualCameraRig&)> act;
  const char* expected;  // kinds() of the events
};

TEST(DeviceMonitor, PlugSequencesGiveTheScansRecords) {
  VirtualCameraRig rig(three_cameras());
  DeviceMonitor monitor = open_ok();
  ASSERT_TRUE(monitor.is_open());
  ASSERT_TRUE(same_list(monitor.devices(), scan_now()));
  ASSERT_EQ(monitor.devices().size(), 3u);
  EXPECT_FALSE(readable(monitor.fd()));
  EXPECT_EQ(kinds(events_ok(monitor)), "");

  const std::vector<Step> steps = {
      {"unplug camera 1", [](VirtualCameraRig& r) { r.camera(1).unplug(); }, "removed:SN1002"},
      {"replug camera 1", [](VirtualCameraRig& r) { r.camera(1).replug(); }, "arrived:SN1002"},
      {"unplug and replug camera 2 before reading",
       [](VirtualCameraRig& r) {
         r.camera(2).unplug();
         r.camera(2).replug();
       },
       "removed:SN1003,arrived:SN1003"},
      {"re-enumeration of camera 0 (controller reset)", [](VirtualCameraRig& r) { r.camera(0).replug(); },
       "removed:SN0001,arrived:SN0001"},
      {"unplug two cameras",
       [](VirtualCameraRig& r) {
         r.camera(0).unplug();
         r.camera(2).unplug();
       },
       "removed:SN1003,removed:SN0001"},  // in the order udev sent them
      {"nothing happened", [](VirtualCameraRig&) {}, ""},
      {"the last one goes too", [](VirtualCameraRig& r) { r.camera(1).unplug(); }, "removed:SN1002"},
      {"all come back",
       [](VirtualCameraRig& r) {
         for (std::size_t i = 0; i < 3; ++i) r.camera(i).replug();
       },
       "arrived:SN0001,arrived:SN1002,arrived:SN1003"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const std::vector<DeviceInfo> before = monitor.devices();
    step.act(rig);
    rig.platform().deliver_udev_events();
    EXPECT_EQ(readable(monitor.fd()), std::string(step.expected) != "");
    std::vector<DeviceEvent> events = events_ok(monitor);
    EXPECT_EQ(kinds(events), step.expected);
    EXPECT_FALSE(readable(monitor.fd())) << "events left after read_events";
    const std::vector<DeviceInfo> now = scan_now();
    EXPECT_TRUE(same_list(monitor.devices(), now));
    // Each event carries the record a scan gives (arrivals) or gave (removals).
    for (const DeviceEvent& e : events) {
      const std::vector<DeviceInfo>& where = e.kind == DeviceEventKind::removed ? before : now;
      bool found = false;
      for (const DeviceInfo& d : where) found = found || same(d, e.device);
      EXPECT_TRUE(found) << device_event_kind_name(e.kind) << " " << e.device.serial;
    }
  }
  EXPECT_TRUE(rig.clean());
}

TEST(DeviceMonitor, FlashOperationsAreNotReportedAsUnplugs) {
  VirtualCameraRig rig(three_cameras());
  DeviceMonitor monitor = open_ok();
  // A second subscriber straight on the platform sees what udev really sent,
  // so the test knows the nodes did vanish and come back.
  std::unique_ptr<platform::UdevMonitor> raw = rig.platform().open_udev_monitor();
  ASSERT_NE(raw, nullptr);

  const std::vector<DeviceInfo> devices = monitor.devices();
  ASSERT_EQ(devices.size(), 3u);
  FlashConfig config;
  config.vidpid = "0c450643";
  config.bus_number = devices[1].bus_number;
  config.device_address = devices[1].device_address;
  Result<std::string> version = detail::read_firmware_version_from_device(config);
  ASSERT_TRUE(version.ok()) << version.message;
  ASSERT_TRUE(probe_flash_transport(config).ok());

  std::vector<std::string> raw_events;
  platform::UdevEvent event;
  while (raw->receive(event) == 1)
    raw_events.push_back(event.action + " " + event.properties["SUBSYSTEM"] + " " + event.properties["DEVNAME"]);
  ASSERT_EQ(raw_events.size(), 8u) << "two flash operations: each removes and adds two video nodes";
  EXPECT_EQ(raw_events[0], "remove video4linux /dev/video3");
  EXPECT_EQ(raw_events[3], "add video4linux /dev/video3");

  EXPECT_TRUE(readable(monitor.fd()));
  EXPECT_EQ(kinds(events_ok(monitor)), "");
  EXPECT_TRUE(same_list(monitor.devices(), scan_now()));

  // Reading in the middle of an operation (nodes gone, USB device still
  // there) reports nothing either, and an unplug right after is still seen.
  rig.camera(1).set_kernel_driver_bound(false);
  rig.platform().deliver_udev_events();
  EXPECT_EQ(kinds(events_ok(monitor)), "");
  EXPECT_EQ(monitor.devices().size(), 3u);
  rig.camera(1).unplug();
  rig.platform().deliver_udev_events();
  EXPECT_EQ(kinds(events_ok(monitor)), "removed:SN1002");
  rig.camera(1).replug();  // the driver binds again on a new enumeration
  rig.camera(1).set_kernel_driver_bound(true);
  rig.platform().deliver_udev_events();
  EXPECT_EQ(kinds(events_ok(monitor)), "arrived:SN1002");
  EXPECT_TRUE(same_list(monitor.devices(), scan_now()));
  EXPECT_TRUE(rig.clean());
}

// After an overflow (the events in the queue are lost) the re-read must come
// to what the events would have said.
TEST(DeviceMonitor, OverflowRereadFollowsTheEventRules) {
  VirtualCameraRig rig(three_cameras());
  DeviceMonitor monitor = open_ok();
  ASSERT_EQ(monitor.devices().size(), 3u);
  std::unique_ptr<platform::UdevMonitor> raw = rig.platform().open_udev_monitor();  // sees what the monitor lost
  ASSERT_NE(raw, nullptr);
  auto same_port_other_camera = [](VirtualCameraRig& r) {
    r.camera(1).unplug();
    emulator::CameraConfig other = default_camera_config(3);
    other.bus_number = default_camera_config(1).bus_number;
    other.usb_path = default_camera_config(1).usb_path;
    other.device_address = 9;
    r.platform().add_camera(other);
  };
  struct Case {
    const char* what;
    std::function<void(VirtualCameraRig&)> act;
    const char* expected;
    bool as_scan;  // the monitor's view equals a fresh scan afterwards
  };
  const std::vector<Case> cases = {
      {"replug: the camera re-enumerated", [](VirtualCameraRig& r) { r.camera(1).replug(); },
       "removed:SN1002,arrived:SN1002", true},
      {"another camera on the same port", same_port_other_camera, "removed:SN1002,arrived:SN1004", true},
      {"a flash operation under way: nodes gone, USB device there",
       [](VirtualCameraRig& r) { r.camera(0).set_kernel_driver_bound(false); }, "", false},
      {"... and done", [](VirtualCameraRig& r) { r.camera(0).set_kernel_driver_bound(true); }, "", true},
      {"unplugged during a flash operation",
       [](VirtualCameraRig& r) {
         r.camera(2).set_kernel_driver_bound(false);
         r.camera(2).unplug();
       },
       "removed:SN1003", true},
      {"nothing happened", [](VirtualCameraRig&) {}, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<DeviceInfo> before = monitor.devices();
    c.act(rig);
    rig.platform().deliver_udev_events();
    rig.platform().fail_next_udev_receive(ENOBUFS);
    std::vector<DeviceEvent> events = events_ok(monitor);
    EXPECT_EQ(kinds(events), c.expected);
    EXPECT_FALSE(readable(monitor.fd()));
    platform::UdevEvent lost;
    EXPECT_EQ(raw->receive(lost), -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(raw->receive(lost), 0) << "the overflow left events to read: " << lost.action << " "
                                     << lost.properties["DEVNAME"];
    EXPECT_TRUE(same_list(monitor.devices(), c.as_scan ? scan_now() : before));
  }
  EXPECT_TRUE(rig.clean());
}

// udev's events scripted by hand over the virtual camera's system, for
// orders the virtual udev does not produce.
class ScriptedEvents final : public platform::UdevMonitor {
 public:
  ScriptedEvents(std::vector<platform::UdevEvent>* queue, int* fail_next) : queue_(queue), fail_next_(fail_next) {}
  int fd() const override { return 0; }
  int receive(platform::UdevEvent& event) override {
    if (*fail_next_ != 0) {
      errno = *fail_next_;
      *fail_next_ = 0;
      if (errno == ENOBUFS) queue_->clear();
      return -1;
    }
    if (queue_->empty()) return 0;
    event = queue_->front();
    queue_->erase(queue_->begin());
    return 1;
  }

 private:
  std::vector<platform::UdevEvent>* queue_;
  int* fail_next_;
};

class ScriptedUdev final : public morvane::uvc_stereo::testing::ForwardingPlatform {
 public:
  explicit ScriptedUdev(platform::Platform& target) : ForwardingPlatform(target) {}
  std::unique_ptr<platform::UdevMonitor> open_udev_monitor() override {
    return std::make_unique<ScriptedEvents>(&queue, &fail_next);
  }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    if (!ForwardingPlatform::list_directory(path, names)) return false;
    names.erase(std::remove_if(names.begin(), names.end(), [&](const std::string& n) { return hidden.count(n) != 0; }),
                names.end());
    return true;
  }
  int video_open(const std::string& path, int flags) override {
    if (path == unopenable) {
      errno = EACCES;
      return -1;
    }
    return ForwardingPlatform::video_open(path, flags);
  }
  std::vector<platform::UdevEvent> queue;
  std::string unopenable;        // a node whose open fails
  std::set<std::string> hidden;  // /dev entries left out of the listing
  int fail_next = 0;             // errno of the next receive, 0: none
};

TEST(DeviceMonitor, ScriptedEventOrders) {
  VirtualCameraRig rig;
  const std::string video0 = rig.platform().udev_properties("/dev/video0");
  const std::string video1 = rig.platform().udev_properties("/dev/video1");
  // video0's properties under another node name (the node itself does not
  // exist, so its probe finds it undetermined).
  std::string without_path;
  {
    std::istringstream lines(video1);
    std::string line;
    while (std::getline(lines, line))
      if (line.rfind("ID_PATH=", 0) != 0) without_path += line + "\n";
  }
  std::string capture_without_path;
  {
    std::istringstream lines(video0);
    std::string line;
    while (std::getline(lines, line))
      if (line.rfind("ID_PATH=", 0) != 0) capture_without_path += line + "\n";
  }
  std::string renamed_text = video0;
  for (std::size_t at; (at = renamed_text.find("/dev/video0")) != std::string::npos;)
    renamed_text.replace(at, 11, "/dev/video7");
  ScriptedUdev udev(rig.platform());
  platform::ScopedPlatform installed(udev);
  auto node = [](const char* action, const std::string& properties) {
    platform::UdevEvent e;
    e.action = action;
    std::istringstream lines(properties);
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t eq = line.find('=');
      if (eq != std::string::npos) e.properties[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return e;
  };
  auto usb_removed = [](const char* busnum, const char* devnum, const char* devpath) {
    platform::UdevEvent e;
    e.action = "remove";
    e.properties = {
        {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"BUSNUM", busnum}, {"DEVNUM", devnum}, {"DEVPATH", devpath}};
    return e;
  };
  platform::UdevEvent interface_unbind;
  interface_unbind.action = "unbind";
  interface_unbind.properties = {
      {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"BUSNUM", "001"}, {"DEVNUM", "004"}};

  struct Case {
    const char* what;
    std::vector<platform::UdevEvent> events;
    const char* expected;  // kinds(), with the node of each record
  };
  const std::vector<Case> cases = {
      {"driver detached: the capture node leaves first, then the metadata node; the USB device stays",
       {node("remove", video0)},
       ""},
      {"... then the metadata node", {node("remove", video1), interface_unbind}, ""},
      {"re-attached: the metadata node back first", {node("add", video1)}, ""},
      {"... then the capture node", {node("add", video0)}, ""},
      {"detached again; the metadata node comes back without ID_PATH (udev's path_id missed it)",
       {node("remove", video0), node("remove", video1), node("add", without_path)},
       ""},
      {"... and the capture node with it", {node("add", video0)}, ""},
      {"detached again; both nodes come back without ID_PATH",
       {node("remove", video0), node("remove", video1), node("add", capture_without_path), node("add", without_path)},
       ""},
      {"detached and back under another name: a change",
       {node("remove", video0), node("remove", video1), node("add", renamed_text)},
       "changed:/dev/video7<-/dev/video0"},
      {"back under the old names",
       {node("add", video0), node("add", video1), node("remove", renamed_text)},
       "changed:/dev/video0<-/dev/video7"},
      {"a USB device of another address leaves", {usb_removed("001", "005", "/devices/platform/x/usb1/1-2")}, ""},
      {"a node outside /dev's top level is not a scanned node",
       {node("remove", std::string("DEVNAME=/dev/v4l/video0\nSUBSYSTEM=video4linux\n"))},
       ""},
      {"the USB device leaves, matched by its sysfs path (no numbers)",
       {node("remove", video1), node("remove", video0), usb_removed("", "", "/devices/platform/xhci-hcd.0/usb1/1-1")},
       "removed:/dev/video0"},
      {"back, metadata node first: not announced by it", {node("add", video1)}, ""},
      {"... but with the capture node", {node("add", video0)}, "arrived:/dev/video0"},
      {"gone again",
       {node("remove", video0), node("remove", video1), usb_removed("001", "004", "")},
       "removed:/dev/video0"},
      {"back, capture node first", {node("add", video0), node("add", video1)}, "arrived:/dev/video0"},
      {"the USB device leaves, matched by bus and address",
       {node("remove", video0), node("remove", video1), usb_removed("001", "004", "")},
       "removed:/dev/video0"},
  };
  DeviceMonitor monitor = open_ok();
  ASSERT_EQ(monitor.devices().size(), 1u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    udev.queue = c.events;
    Result<std::vector<DeviceEvent>> events = monitor.read_events();
    ASSERT_TRUE(events.ok()) << events.message;
    std::string got;
    for (const DeviceEvent& e : *events) {
      if (!got.empty()) got += ",";
      got += std::string(device_event_kind_name(e.kind)) + ":" + e.device.video_node;
      EXPECT_EQ(e.previous.has_value(), e.kind == DeviceEventKind::changed);
      if (e.previous) got += "<-" + e.previous->video_node;
      EXPECT_EQ(e.device.serial, "SN0001");
    }
    EXPECT_EQ(got, c.expected);
  }
}

TEST(DeviceMonitor, ANodeThatCannotBeProbedKeepsTheCaptureIndices) {
  VirtualCameraRig rig;
  auto node = [&](const char* action, const char* path) {
    platform::UdevEvent e;
    e.action = action;
    std::istringstream lines(rig.platform().udev_properties(path));
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t eq = line.find('=');
      if (eq != std::string::npos) e.properties[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return e;
  };
  const auto v0_add = node("add", "/dev/video0"), v1_add = node("add", "/dev/video1");
  const auto v0_remove = node("remove", "/dev/video0"), v1_remove = node("remove", "/dev/video1");
  ScriptedUdev udev(rig.platform());
  platform::ScopedPlatform installed(udev);
  DeviceMonitor monitor = open_ok();
  // The driver re-attaches, and is detached again by the next flash
  // operation before udev's removal arrives: the capture node's probe fails.
  udev.unopenable = "/dev/video0";
  udev.queue = {v0_remove, v1_remove, v1_add, v0_add};
  EXPECT_EQ(kinds(events_ok(monitor)), "");
  ASSERT_EQ(monitor.devices().size(), 1u);
  EXPECT_FALSE(monitor.devices()[0].opencv_indices.empty());
  udev.unopenable.clear();
  udev.queue = {v0_remove, v0_add};
  EXPECT_EQ(kinds(events_ok(monitor)), "");
  EXPECT_TRUE(same_list(monitor.devices(), scan_now()));
}

// A camera that shows its metadata node only is held nowhere: not by the
// scan made at open, not by a re-read after an overflow, not by an event.
TEST(DeviceMonitor, AMetadataOnlyCameraIsNotHeldUntilItsCaptureNodeComes) {
  VirtualCameraRig rig;
  ScriptedUdev udev(rig.platform());
  platform::ScopedPlatform installed(udev);
  auto node = [&](const char* action, const char* path) {
    platform::UdevEvent e;
    e.action = action;
    std::istringstream lines(rig.platform().udev_properties(path));
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t eq = line.find('=');
      if (eq != std::string::npos) e.properties[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return e;
  };
  const auto v0_add = node("add", "/dev/video0"), v1_add = node("add", "/dev/video1");
  udev.hidden = {"video0"};
  DeviceMonitor monitor = open_ok();
  EXPECT_TRUE(monitor.devices().empty()) << "held from the scan at open";
  udev.queue = {v1_add};
  udev.fail_next = ENOBUFS;
  EXPECT_EQ(kinds(events_ok(monitor)), "") << "announced by the re-read";
  EXPECT_TRUE(monitor.devices().empty());
  udev.queue = {v1_add};
  EXPECT_EQ(kinds(events_ok(monitor)), "") << "announced by an event";
  udev.hidden.clear();
  udev.queue = {v0_add};
  EXPECT_EQ(kinds(events_ok(monitor)), "arrived:SN0001");
  EXPECT_TRUE(same_list(monitor.devices(), scan_now()));
}

TEST(DeviceMonitor, FilterAndArrivalOfNewCameras) {
  auto cameras = three_cameras();
  cameras[2].pid = 0x0645;
  VirtualCameraRig rig(cameras);
  DeviceScanFilter only_0645;
  only_0645.pid = 0x0645;
  DeviceMonitor filtered = open_ok(only_0645);
  DeviceMonitor all = open_ok();
  ASSERT_EQ(filtered.devices().size(), 1u);
  EXPECT_EQ(filtered.devices()[0].pid, 0x0645);
  for (std::size_t i = 0; i < 3; ++i) rig.camera(i).unplug();
  rig.platform().deliver_udev_events();
  EXPECT_EQ(kinds(events_ok(filtered)), "removed:SN1003");
  EXPECT_EQ(kinds(events_ok(all)), "removed:SN1003,removed:SN1002,removed:SN0001");
  rig.platform().add_camera(default_camera_config(3));  // a camera that was never there
  rig.platform().deliver_udev_events();
  EXPECT_EQ(kinds(events_ok(filtered)), "");
  std::vector<DeviceEvent> arrived = events_ok(all);
  ASSERT_EQ(kinds(arrived), "arrived:SN1004");
  EXPECT_TRUE(same_list({arrived[0].device}, scan_now()));
}

TEST(DeviceMonitor, FailuresLoseNothingAndLeaveNothingOpen) {
  VirtualCameraRig rig(three_cameras());
  const std::size_t descriptors = open_descriptors();

  rig.platform().set_udev_monitor_available(false);
  Result<DeviceMonitor> no_udev = open_device_monitor();
  EXPECT_EQ(no_udev.code, ErrorCode::io_error);
  EXPECT_EQ(no_udev.message, "failed to start the udev monitor: Protocol not supported");
  EXPECT_FALSE(no_udev.value.has_value());
  rig.platform().set_udev_monitor_available(true);
  // libudev opens a monitor without udevd, which then never hears a thing.
  rig.platform().set_udev_running(false);
  no_udev = open_device_monitor();
  EXPECT_EQ(no_udev.code, ErrorCode::io_error);
  EXPECT_EQ(no_udev.message, "failed to start the udev monitor: udev is not running (/run/udev/control is missing)");
  EXPECT_FALSE(no_udev.value.has_value());
  rig.platform().set_udev_running(true);

  for (auto [missing, listing, message] :
       {std::make_tuple(true, false, "/dev not found"), std::make_tuple(false, true, "failed to iterate /dev")}) {
    rig.platform().set_dev_missing(missing);
    rig.platform().set_dev_listing_fails(listing);
    Result<DeviceMonitor> failed = open_device_monitor();
    EXPECT_EQ(failed.code, ErrorCode::io_error);
    EXPECT_EQ(failed.message, message);
    EXPECT_FALSE(failed.value.has_value());
  }
  rig.platform().set_dev_missing(false);
  rig.platform().set_dev_listing_fails(false);
  EXPECT_EQ(open_descriptors(), descriptors) << "a failed open left a descriptor behind";

  DeviceMonitor monitor = open_ok();
  // A receive failure: reported, and the removal already taken is handed out
  // by the next call.
  rig.camera(0).unplug();
  rig.platform().deliver_udev_events();
  platform::UdevEvent first;
  rig.platform().fail_next_udev_receive(EIO);
  Result<std::vector<DeviceEvent>> failed = monitor.read_events();
  EXPECT_EQ(failed.code, ErrorCode::io_error);
  EXPECT_EQ(failed.message, "failed to read udev events: Input/output error");
  EXPECT_EQ(kinds(events_ok(monitor)), "removed:SN0001");

  // An overflow drops the queued events; the monitor re-reads the cameras.
  rig.camera(2).unplug();
  rig.camera(0).replug();
  rig.platform().deliver_udev_events();
  rig.platform().fail_next_udev_receive(ENOBUFS);
  EXPECT_EQ(kinds(events_ok(monitor)), "removed:SN1003,arrived:SN0001");
  EXPECT_TRUE(same_list(monitor.devices(), scan_now()));

  // Closed and moved-from monitors refuse the same way.
  DeviceMonitor moved = std::move(monitor);
  EXPECT_TRUE(moved.is_open());
  DeviceMonitor closed;
  for (DeviceMonitor* m : {&monitor, &closed, &moved}) {
    if (m == &moved) m->close();
    m->close();  // twice is harmless
    EXPECT_FALSE(m->is_open());
    EXPECT_EQ(m->fd(), -1);
    EXPECT_TRUE(m->devices().empty());
    Result<std::vector<DeviceEvent>> refused = m->read_events();
    EXPECT_EQ(refused.code, ErrorCode::invalid_argument);
    EXPECT_EQ(refused.message, "device monitor is closed");
  }
  EXPECT_EQ(open_descriptors(), descriptors) << "closing left a descriptor behind";
  EXPECT_TRUE(rig.clean());
}

TEST(DeviceMonitor, KindNames) {
  const std::pair<DeviceEventKind, const char*> table[] = {{DeviceEventKind::arrived, "arrived"},
                                                           {DeviceEventKind::removed, "removed"},
                                                           {DeviceEventKind::changed, "changed"},
                                                           {static_cast<DeviceEventKind>(3), "unknown"},
                                                           {static_cast<DeviceEventKind>(-1), "unknown"}};
  for (const auto& [kind, name] : table) EXPECT_STREQ(device_event_kind_name(kind), name);
}

}  // namespace
}  // namespace morvane::uvc_stereo
