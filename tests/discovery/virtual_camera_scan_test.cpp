// scan_devices against virtual cameras: what udev, sysfs and V4L2 of a
// plugged-in camera look like, folded into records.
#include <gtest/gtest.h>

#include <algorithm>

#include "morvane/uvc_stereo/discovery.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

using Indices = std::map<OpenCvBackend, std::int32_t>;
using morvane::testing::default_camera_config;
using morvane::testing::VirtualCameraRig;

std::vector<DeviceInfo> scan_ok(const DeviceScanFilter& filter = {}) {
  Result<std::vector<DeviceInfo>> result = scan_devices(filter);
  EXPECT_EQ(result.code, ErrorCode::ok) << result.message;
  EXPECT_TRUE(result.message.empty());
  return result.value.value_or(std::vector<DeviceInfo>{});
}

TEST(VirtualCameraScan, CaptureAndMetadataNodesFoldIntoOneRecord) {
  VirtualCameraRig rig;
  std::vector<DeviceInfo> devices = scan_ok();
  ASSERT_EQ(devices.size(), 1u);
  const DeviceInfo& d = devices[0];
  EXPECT_EQ(d.vid, 0x0c45);
  EXPECT_EQ(d.pid, 0x0643);
  EXPECT_EQ(d.bus_number, 1);
  EXPECT_EQ(d.device_address, 4);
  EXPECT_EQ(d.serial, "SN0001");
  EXPECT_EQ(d.vendor, "Morvane");
  EXPECT_EQ(d.model, "Stereo_Camera");
  EXPECT_EQ(d.video_node, "/dev/video0");
  EXPECT_EQ(d.usb_path, "platform-xhci-hcd.0-usb-0:1:1.0");
  EXPECT_EQ(d.opencv_indices, (Indices{{OpenCvBackend::v4l2, 0}, {OpenCvBackend::gstreamer, 0}}));
  std::vector<std::string> commands = rig.platform().commands_run();
  std::sort(commands.begin(), commands.end());
  EXPECT_EQ(commands, (std::vector<std::string>{"udevadm info -q property -n '/dev/video0'",
                                                "udevadm info -q property -n '/dev/video1'"}));
  EXPECT_TRUE(rig.clean());
  EXPECT_EQ(rig.platform().unclosed_command_count(), 0u);
}

TEST(VirtualCameraScan, CaptureNodeWithHigherNumberStillNamesTheCamera) {
  auto config = default_camera_config();
  config.capture_node = 7;
  config.metadata_node = 6;
  VirtualCameraRig rig({config});
  std::vector<DeviceInfo> devices = scan_ok();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].video_node, "/dev/video7");
  EXPECT_EQ(devices[0].opencv_indices, (Indices{{OpenCvBackend::v4l2, 7}, {OpenCvBackend::gstreamer, 7}}));
}

TEST(VirtualCameraScan, IdenticalCamerasOnTwoBusesGiveTwoRecords) {
  // Same model and serial, no ID_PATH: only bus and address tell them apart.
  auto first = default_camera_config();
  first.usb_path.clear();
  auto second = first;
  second.bus_number = 2;
  second.capture_node = 2;
  second.metadata_node = 3;
  VirtualCameraRig rig({second, first});
  std::vector<DeviceInfo> devices = scan_ok();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].video_node, "/dev/video0");
  EXPECT_EQ(devices[0].bus_number, 1);
  EXPECT_EQ(devices[0].opencv_indices, (Indices{{OpenCvBackend::v4l2, 0}, {OpenCvBackend::gstreamer, 0}}));
  EXPECT_EQ(devices[1].video_node, "/dev/video2");
  EXPECT_EQ(devices[1].bus_number, 2);
  EXPECT_EQ(devices[1].opencv_indices, (Indices{{OpenCvBackend::v4l2, 2}, {OpenCvBackend::gstreamer, 2}}));
  EXPECT_EQ(devices[0].serial, devices[1].serial);

  DeviceScanFilter by_pid;
  by_pid.pid = 0x0645;
  EXPECT_TRUE(scan_ok(by_pid).empty());
  EXPECT_TRUE(rig.clean());
}

TEST(VirtualCameraScan, UnopenableNodesAreUndetermined) {
  auto config = default_camera_config();
  config.video_nodes_accessible = false;
  VirtualCameraRig rig({config});
  std::vector<DeviceInfo> devices = scan_ok();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].video_node, "/dev/video0");
  EXPECT_TRUE(devices[0].opencv_indices.empty());
  EXPECT_TRUE(rig.clean());
}

TEST(VirtualCameraScan, SystemFaults) {
  VirtualCameraRig rig;
  rig.platform().set_udevadm_available(false);
  EXPECT_TRUE(scan_ok().empty());
  rig.platform().set_udevadm_available(true);

  rig.platform().set_command_start_fails(true);
  EXPECT_TRUE(scan_ok().empty());
  rig.platform().set_command_start_fails(false);

  rig.platform().set_dev_listing_fails(true);
  auto listing = scan_devices();
  EXPECT_EQ(listing.code, ErrorCode::io_error);
  EXPECT_EQ(listing.message, "failed to iterate /dev");
  EXPECT_FALSE(listing.value);
  rig.platform().set_dev_listing_fails(false);

  rig.platform().set_dev_missing(true);
  auto missing = scan_devices();
  EXPECT_EQ(missing.code, ErrorCode::io_error);
  EXPECT_EQ(missing.message, "/dev not found");
  rig.platform().set_dev_missing(false);

  EXPECT_EQ(scan_ok().size(), 1u);
  EXPECT_TRUE(rig.clean());
  EXPECT_EQ(rig.platform().unclosed_command_count(), 0u);
}

TEST(VirtualCameraScan, OutOfRangeBusNumberReadsAsZero) {
  auto config = default_camera_config();
  VirtualCameraRig rig({config});
  std::vector<DeviceInfo> before = scan_ok();
  ASSERT_EQ(before.size(), 1u);
  // Find the camera's busnum through the DEVPATH udev reports.
  std::string props = rig.platform().udev_properties("/dev/video0");
  std::size_t at = props.find("DEVPATH=");
  ASSERT_NE(at, std::string::npos);
  std::string devpath = props.substr(at + 8, props.find('\n', at) - at - 8);
  std::string device_dir = "/sys" + devpath;
  for (int i = 0; i < 3; ++i) device_dir = device_dir.substr(0, device_dir.rfind('/'));  // video4linux, interface
  rig.platform().set_file_override(device_dir + "/busnum", "300\n");
  std::vector<DeviceInfo> after = scan_ok();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].bus_number, 0);
  EXPECT_EQ(after[0].device_address, 4);
}

}  // namespace
}  // namespace morvane::uvc_stereo
