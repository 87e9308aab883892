// scan_devices over a scripted platform: candidates, identities, merging,
// order, OpenCV indices, filters and failures.
#include <gtest/gtest.h>

#include <algorithm>

#include "discovery/scan_candidate.hpp"
#include "discovery/scripted_platform.hpp"
#include "morvane/uvc_stereo/discovery.hpp"

namespace morvane::uvc_stereo {
namespace {

using discovery::NodeKind;
using testing::capture_node;
using testing::closed_node;
using testing::metadata_node;
using testing::ScriptedPlatform;

std::vector<std::string> camera(const std::string& path, const std::string& pid = "0643",
                                const std::vector<std::string>& extra = {}) {
  std::vector<std::string> lines = {"ID_VENDOR_ID=0c45", "ID_MODEL_ID=" + pid};
  if (!path.empty()) lines.push_back("ID_PATH=" + path);
  lines.insert(lines.end(), extra.begin(), extra.end());
  return lines;
}

std::vector<std::string> nodes_of(const std::vector<DeviceInfo>& devices) {
  std::vector<std::string> out;
  for (const DeviceInfo& d : devices) out.push_back(d.video_node);
  return out;
}

using Indices = std::map<OpenCvBackend, std::int32_t>;

class ScanTest : public ::testing::Test {
 protected:
  std::vector<DeviceInfo> scan(const DeviceScanFilter& filter = {}) {
    Result<std::vector<DeviceInfo>> result = scan_devices(filter);
    EXPECT_EQ(result.code, ErrorCode::ok);
    EXPECT_EQ(result.message, "");
    EXPECT_EQ(os.live_children, 0u);
    EXPECT_EQ(os.open_fds, 0);
    return result.value.value_or(std::vector<DeviceInfo>{});
  }

  ScriptedPlatform os;
  platform::ScopedPlatform scope{os};
};

TEST_F(ScanTest, DevFailuresReturnNoList) {
  os.add_node("video0", camera("p0"), capture_node());
  os.dev_exists = false;
  auto missing = scan_devices();
  EXPECT_EQ(missing.code, ErrorCode::io_error);
  EXPECT_EQ(missing.message, "/dev not found");
  EXPECT_FALSE(missing.value);

  os.dev_exists = true;
  os.dev_listable = false;
  auto unreadable = scan_devices(DeviceScanFilter{});
  EXPECT_EQ(unreadable.code, ErrorCode::io_error);
  EXPECT_EQ(unreadable.message, "failed to iterate /dev");
  EXPECT_FALSE(unreadable.value);
  EXPECT_TRUE(os.commands.empty());
}

TEST_F(ScanTest, OnlyVideoDigitNamesAreQueried) {
  for (const char* name : {"video2", "video10", "video", "video1a", "videoA1", "vbi0", "v4l-subdev0", "null"}) {
    os.add_node(name, camera(std::string("p-") + name), capture_node());
  }
  auto devices = scan();
  EXPECT_EQ(nodes_of(devices), (std::vector<std::string>{"/dev/video2", "/dev/video10"}));
  EXPECT_EQ(os.commands, (std::vector<std::string>{"udevadm info -q property -n '/dev/video2'",
                                                   "udevadm info -q property -n '/dev/video10'"}));
}

TEST_F(ScanTest, CaptureAndMetadataNodesFoldIntoOneRecord) {
  os.add_node("video1", camera("pci-0:1", "0645", {"ID_SERIAL_SHORT=SN1", "ID_MODEL=Stereo"}), metadata_node());
  os.add_node("video0", camera("pci-0:1", "0645", {"ID_SERIAL_SHORT=SN1", "ID_MODEL=Stereo"}), capture_node());
  auto devices = scan();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].video_node, "/dev/video0");
  EXPECT_EQ(devices[0].opencv_indices, (Indices{{OpenCvBackend::v4l2, 0}, {OpenCvBackend::gstreamer, 0}}));
  EXPECT_EQ(devices[0].vid, 0x0c45);
  EXPECT_EQ(devices[0].pid, 0x0645);
  EXPECT_EQ(devices[0].serial, "SN1");
  EXPECT_EQ(devices[0].model, "Stereo");
  EXPECT_EQ(devices[0].usb_path, "pci-0:1");
}

TEST_F(ScanTest, UnopenableNodeBeatsMetadataNodeButGetsNoIndices) {
  os.add_node("video1", camera("pci-0:1"), metadata_node());
  os.add_node("video0", camera("pci-0:1"), closed_node());
  auto devices = scan();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].video_node, "/dev/video0");
  EXPECT_TRUE(devices[0].opencv_indices.empty());

  // The other way round the capture node wins despite its larger index.
  os.nodes["/dev/video1"] = capture_node();
  devices = scan();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].video_node, "/dev/video1");
  EXPECT_EQ(devices[0].opencv_indices, (Indices{{OpenCvBackend::v4l2, 1}, {OpenCvBackend::gstreamer, 1}}));
}

TEST_F(ScanTest, SmallerIndexNamesTheCameraWhileTextsComeFromListingOrder) {
  os.add_node("video4", camera("pci-0:2", "0643", {"ID_MODEL=FromFour", "ID_VENDOR=", "DEVPATH=/devices/d4"}),
              capture_node());
  os.add_node("video2",
              camera("pci-0:2", "0643",
                     {"ID_MODEL=FromTwo", "ID_VENDOR=VendorTwo", "ID_SERIAL=SerialTwo", "DEVPATH=/devices/d2"}),
              capture_node());
  os.files["/sys/devices/d2/busnum"] = "2";
  os.files["/sys/devices/d2/devnum"] = "5";
  auto devices = scan();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].video_node, "/dev/video2");
  EXPECT_EQ(devices[0].model, "FromFour");
  EXPECT_EQ(devices[0].vendor, "VendorTwo");
  EXPECT_EQ(devices[0].serial, "SerialTwo");
  EXPECT_EQ(devices[0].bus_number, 2);
  EXPECT_EQ(devices[0].device_address, 5);
  EXPECT_EQ(devices[0].opencv_indices, (Indices{{OpenCvBackend::v4l2, 2}, {OpenCvBackend::gstreamer, 2}}));
}

TEST_F(ScanTest, IdentityRules) {
  // No ID_PATH; bus/address differ: two cameras.
  os.add_node("video0", camera("", "0643", {"DEVPATH=/devices/a/video0"}), capture_node());
  os.add_node("video1", camera("", "0643", {"DEVPATH=/devices/b/video1"}), capture_node());
  os.files["/sys/devices/a/busnum"] = "1";
  os.files["/sys/devices/a/devnum"] = "10";
  os.files["/sys/devices/b/busnum"] = "1";
  os.files["/sys/devices/b/devnum"] = "11";
  // No path or bus/address: serials that differ only in case are one camera.
  os.add_node("video5", camera("", "0643", {"ID_SERIAL_SHORT=AbC1"}), capture_node());
  os.add_node("video6", camera("", "0643", {"ID_SERIAL_SHORT=aBc1", "ID_MODEL=M6"}), capture_node());
  // Nothing at all: each node is its own camera.
  os.add_node("video8", camera(""), capture_node());
  os.add_node("video9", camera(""), capture_node());
  // A bus number without an address does not make a busdev identity.
  os.add_node("video11", camera("", "0643", {"DEVPATH=/devices/c/video11", "ID_SERIAL=S"}), capture_node());
  os.add_node("video12", camera("", "0643", {"DEVPATH=/devices/c/video12", "ID_SERIAL=s"}), capture_node());
  os.files["/sys/devices/c/busnum"] = "4";
  os.files["/sys/devices/c/devnum"] = "0";

  auto devices = scan();
  EXPECT_EQ(nodes_of(devices), (std::vector<std::string>{"/dev/video0", "/dev/video1", "/dev/video5", "/dev/video8",
                                                         "/dev/video9", "/dev/video11"}));
  ASSERT_EQ(devices.size(), 6u);
  EXPECT_EQ(devices[0].device_address, 10);
  EXPECT_EQ(devices[1].device_address, 11);
  EXPECT_EQ(devices[2].serial, "AbC1");  // the field keeps its case
  EXPECT_EQ(devices[2].model, "M6");
  EXPECT_EQ(devices[5].serial, "S");
  EXPECT_EQ(devices[5].bus_number, 4);

  DeviceInfo info;
  info.bus_number = 1;
  info.device_address = 10;
  info.serial = "XY";
  info.video_node = "/dev/video0";
  EXPECT_EQ(discovery::device_identity(info), "busdev:01:0a");
  info.usb_path = "Pci-X";
  EXPECT_EQ(discovery::device_identity(info), "path:Pci-X");
  info.usb_path.clear();
  info.device_address = 0;
  EXPECT_EQ(discovery::device_identity(info), "serial:xy");
  info.serial.clear();
  EXPECT_EQ(discovery::device_identity(info), "node:/dev/video0");
}

TEST_F(ScanTest, MergeKeepsVidPidAndFillsOnlyEmptyFields) {
  discovery::ScanCandidate e;
  e.record.vid = 0x0c45;
  e.record.pid = 0x0643;
  e.record.video_node = "/dev/video3";
  e.record.model = "E";
  e.kind = NodeKind::no_capture;
  e.video_index = 3;
  discovery::ScanCandidate n;
  n.record.vid = 0x0c45;
  n.record.pid = 0x0645;
  n.record.video_node = "/dev/video7";
  n.record.model = "N";
  n.record.vendor = "NV";
  n.record.bus_number = 2;
  n.record.device_address = 9;
  n.kind = NodeKind::undetermined;
  n.video_index = 7;
  discovery::merge_candidate(e, n);
  EXPECT_EQ(e.record.video_node, "/dev/video7");
  EXPECT_EQ(e.kind, NodeKind::undetermined);
  EXPECT_EQ(e.video_index, 7);
  EXPECT_EQ(e.record.pid, 0x0643);
  EXPECT_EQ(e.record.model, "E");
  EXPECT_EQ(e.record.vendor, "NV");
  EXPECT_EQ(e.record.bus_number, 2);
  EXPECT_EQ(e.record.device_address, 9);

  // Same kind and index (two names for one number): the smaller path wins.
  discovery::ScanCandidate a, b;
  a.kind = b.kind = NodeKind::capture;
  a.video_index = b.video_index = 1;
  a.record.video_node = "/dev/video01";
  b.record.video_node = "/dev/video1";
  EXPECT_TRUE(discovery::node_preferred(a, b));
  EXPECT_FALSE(discovery::node_preferred(b, a));
  EXPECT_FALSE(discovery::node_preferred(a, a));
}

TEST_F(ScanTest, SortIsNumericThenByPath) {
  os.add_node("video10", camera("p10"), capture_node());
  os.add_node("video2", camera("p2"), metadata_node());
  os.add_node("video02", camera("p02"), capture_node());
  os.add_node("video99999999999", camera("pbig"), capture_node());
  os.add_node("video1", camera("p1"), closed_node());
  auto devices = scan();
  EXPECT_EQ(nodes_of(devices), (std::vector<std::string>{"/dev/video1", "/dev/video02", "/dev/video2", "/dev/video10",
                                                         "/dev/video99999999999"}));
  ASSERT_EQ(devices.size(), 5u);
  EXPECT_TRUE(devices[0].opencv_indices.empty());  // undetermined
  EXPECT_EQ(devices[1].opencv_indices, (Indices{{OpenCvBackend::v4l2, 2}, {OpenCvBackend::gstreamer, 2}}));
  EXPECT_TRUE(devices[2].opencv_indices.empty());  // metadata only
  EXPECT_EQ(devices[3].opencv_indices.at(OpenCvBackend::gstreamer), 10);
  EXPECT_TRUE(devices[4].opencv_indices.empty());  // no index
}

TEST_F(ScanTest, FiltersAndSupportedPairs) {
  os.add_node("video0", camera("a", "0643", {"ID_SERIAL=FullSerial"}), capture_node());
  os.add_node("video2", camera("b", "0645", {"ID_SERIAL_SHORT=Short", "ID_SERIAL=Full"}), capture_node());
  os.add_node("video4", camera("c", "2502"), capture_node());
  os.add_node("video6", {"ID_VENDOR_ID=0C45", "ID_MODEL_ID=0X0234", "ID_PATH=d"}, capture_node());
  os.add_node("video8", {"ID_VENDOR_ID=046d", "ID_MODEL_ID=0825", "ID_PATH=e"}, capture_node());
  os.add_node("video10", {"ID_VENDOR_ID=0c45", "ID_MODEL_ID=zz", "ID_PATH=f"}, capture_node());
  os.add_node("video12", {"ID_MODEL_ID=0643", "ID_PATH=g"}, capture_node());
  os.add_node("video14", {"ID_VENDOR_ID=10c45", "ID_MODEL_ID=0643", "ID_PATH=h"}, capture_node());

  auto all = scan();
  EXPECT_EQ(nodes_of(all), (std::vector<std::string>{"/dev/video0", "/dev/video2", "/dev/video4", "/dev/video6"}));
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].serial, "FullSerial");
  EXPECT_EQ(all[1].serial, "Short");
  EXPECT_EQ(all[3].pid, 0x0234);
  // Nodes that fail a test are never opened.
  EXPECT_EQ(os.opened, (std::vector<std::string>{"/dev/video0", "/dev/video2", "/dev/video4", "/dev/video6"}));

  DeviceScanFilter by_pid;
  by_pid.pid = 0x0645;
  EXPECT_EQ(nodes_of(scan(by_pid)), (std::vector<std::string>{"/dev/video2"}));

  DeviceScanFilter other_vendor;
  other_vendor.vid = 0x046d;
  EXPECT_TRUE(scan(other_vendor).empty());

  DeviceScanFilter serial_needed;
  serial_needed.require_serial = true;
  serial_needed.vid = 0x0c45;
  EXPECT_EQ(nodes_of(scan(serial_needed)), (std::vector<std::string>{"/dev/video0", "/dev/video2"}));
}

TEST_F(ScanTest, FailedQueriesSkipNodesAndEmptyIsOk) {
  os.add_node("video0", camera("a"), capture_node(), 1);  // printed lines, then failed
  os.dev_names.push_back("video1");                       // no udevadm answer at all
  os.add_node("video2", camera("b"), capture_node());
  os.unstartable.insert("/dev/video2");
  EXPECT_TRUE(scan().empty());
  EXPECT_TRUE(os.opened.empty());
}

TEST_F(ScanTest, QueriesRunAheadWithoutChangingTheOutcome) {
  for (int i = 0; i < 12; ++i) {
    std::string name = "video" + std::to_string(11 - i);
    os.add_node(name, camera("cam" + std::to_string(i / 2), "0643", {"ID_MODEL=M" + std::to_string(i)}),
                i % 3 == 0 ? metadata_node() : capture_node());
  }
  os.udev["/dev/video5"].exit_status = 2;
  auto unlimited = scan();
  EXPECT_GT(os.peak_children, 1u);  // children overlap
  EXPECT_EQ(os.commands.size(), 12u);

  // Out of processes beyond three children: every query still runs exactly once
  // to completion and the result is the same.
  for (std::size_t limit : {1u, 2u, 3u}) {
    SCOPED_TRACE(limit);
    os.commands.clear();
    os.peak_children = 0;
    os.max_children = limit;
    auto limited = scan();
    EXPECT_LE(os.peak_children, limit);
    EXPECT_EQ(os.commands.size(), 12u);
    ASSERT_EQ(limited.size(), unlimited.size());
    for (std::size_t i = 0; i < limited.size(); ++i) {
      EXPECT_EQ(limited[i].video_node, unlimited[i].video_node);
      EXPECT_EQ(limited[i].model, unlimited[i].model);
      EXPECT_EQ(limited[i].usb_path, unlimited[i].usb_path);
      EXPECT_EQ(limited[i].opencv_indices, unlimited[i].opencv_indices);
    }
  }
  // Six cameras of two listed nodes each; video5 failed its query, so cam3 is
  // video4 alone; metadata nodes lose to their camera's capture node.
  EXPECT_EQ(nodes_of(unlimited), (std::vector<std::string>{"/dev/video0", "/dev/video3", "/dev/video4", "/dev/video6",
                                                           "/dev/video9", "/dev/video10"}));
  ASSERT_EQ(unlimited.size(), 6u);
  EXPECT_EQ(unlimited[0].model, "M10");  // first listed node of cam5 is video1
  EXPECT_EQ(unlimited[2].model, "M7");
  EXPECT_EQ(unlimited[5].model, "M0");  // video11 (metadata) was listed first
}

}  // namespace
}  // namespace morvane::uvc_stereo
