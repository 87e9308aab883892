// The `watch` loop: a failed read is tried again without losing the removals
// the monitor took, and --device narrows the events to one camera.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/virtual_camera_fixture.hpp"
#include "tools/morvane-uvc-stereo/watch.hpp"

namespace morvane::tool {
namespace {

namespace us = uvc_stereo;
using morvane::testing::default_camera_config;

struct Stop {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ~Stop() { ::close(fd); }
  void now() const {
    const std::uint64_t one = 1;
    EXPECT_EQ(::write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }
};

TEST(WatchLoop, AFailedReadIsRetriedAndTheSelectorNarrowsTheEvents) {
  struct Case {
    const char* selector;
    int receive_error;  // injected into the first read, 0: none
    const char* printed;
  };
  const std::vector<Case> cases = {
      {"", EIO, "removed:SN1002,removed:SN0001"},
      {"SN1002", EIO, "removed:SN1002"},
      {"/dev/video0", 0, "removed:SN0001"},
      {"1", 0, "removed:SN1002"},  // an index into the cameras attached at the start
      {"2:4", 0, "removed:SN1002"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    morvane::testing::VirtualCameraRig rig({default_camera_config(0), default_camera_config(1)});
    us::Result<us::DeviceMonitor> monitor = us::open_device_monitor();
    ASSERT_TRUE(monitor.ok()) << monitor.message;
    std::string error;
    std::optional<WatchSelector> which = WatchSelector::make(c.selector, monitor.value->devices(), error);
    ASSERT_TRUE(which) << error;
    rig.camera(0).unplug();
    rig.camera(1).unplug();
    rig.platform().deliver_udev_events();
    if (c.receive_error != 0) rig.platform().fail_next_udev_receive(c.receive_error);
    Stop stop;
    std::string printed;
    std::ostringstream err;
    // The loop stops once it printed what is expected; the guard only
    // bounds a run that never gets there.
    std::future<int> loop = std::async(std::launch::async, [&] {
      return watch_events(*monitor.value, *which, stop.fd, 1, err, [&](const us::DeviceEvent& event) {
        if (!printed.empty()) printed += ",";
        printed += std::string(us::device_event_kind_name(event.kind)) + ":" + event.device.serial;
        if (printed == c.printed) stop.now();
      });
    });
    if (loop.wait_for(std::chrono::seconds(20)) != std::future_status::ready) stop.now();
    const int ended = loop.get();
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(printed, c.printed);
    EXPECT_EQ(err.str().find("failed to read udev events") != std::string::npos, c.receive_error != 0) << err.str();
  }
}

TEST(WatchLoop, AnIndexBeyondTheAttachedCamerasIsRefused) {
  std::string error;
  EXPECT_FALSE(WatchSelector::make("1", {us::DeviceInfo{}}, error));
  EXPECT_NE(error.find("no camera matches --device '1'"), std::string::npos) << error;
}

}  // namespace
}  // namespace morvane::tool
