// The operating system around the virtual cameras, as libusb, the shell,
// sysfs and the UVC driver present it.
#include "emulator/virtual_platform.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/virtual_camera_fixture.hpp"

namespace morvane::emulator {
namespace {

using morvane::testing::default_camera_config;

// Everything a command prints, and its wait status.
std::pair<std::vector<std::string>, int> run(VirtualPlatform& p, const std::string& command) {
  auto stream = p.run_command(command);
  if (!stream) return {{}, -2};
  std::vector<std::string> lines;
  char buffer[1024];
  while (stream->read_line(buffer, sizeof buffer)) lines.emplace_back(buffer);
  return {lines, stream->close()};
}

std::map<std::string, std::string> properties(VirtualPlatform& p, const std::string& node) {
  std::map<std::string, std::string> out;
  for (const auto& line : run(p, "udevadm info -q property -n '" + node + "'").first) {
    const auto eq = line.find('=');
    out[line.substr(0, eq)] = line.substr(eq + 1, line.size() - eq - 2);  // drop the newline
  }
  return out;
}

std::string read_line(VirtualPlatform& p, const std::string& path) {
  char buffer[64];
  return p.read_file_line(path, buffer, sizeof buffer) ? std::string(buffer) : std::string("<none>");
}

// Opens the camera at `index` of a fresh device list.
libusb_device_handle* open_camera(VirtualPlatform& p, std::uint16_t pid = 0x0643, std::uint8_t bus = 0) {
  libusb_device** list = nullptr;
  const ssize_t n = p.usb_get_device_list(&list);
  libusb_device_handle* handle = nullptr;
  for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
    libusb_device_descriptor desc;
    if (p.usb_get_device_descriptor(list[i], &desc) != 0 || desc.idProduct != pid) continue;
    if (bus != 0 && p.usb_get_bus_number(list[i]) != bus) continue;
    if (p.usb_open(list[i], &handle) != 0) handle = nullptr;
  }
  p.usb_free_device_list(list, 1);
  return handle;
}

int read_chip_id(VirtualPlatform& p, libusb_device_handle* h, std::uint8_t* value) {
  unsigned char buf[4] = {0x1F, 0x10, 0x00, 0xFF};
  int r = p.usb_control_transfer(h, 0x21, 0x01, 0x0100, 0x0300, buf, 4, 1000);
  if (r < 0) return r;
  r = p.usb_control_transfer(h, 0xA1, 0x81, 0x0100, 0x0300, buf, 4, 1000);
  if (r >= 0) *value = buf[2];
  return r;
}

// ---- libusb.

TEST(VirtualPlatformUsb, DeviceListsDescriptorsAndLifetimes) {
  VirtualPlatform p;
  p.add_camera(default_camera_config(0));
  CameraConfig twin = default_camera_config(0);
  twin.bus_number = 3;
  twin.capture_node = 4;
  twin.metadata_node = 5;
  p.add_camera(twin);
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device** list = nullptr;
  const ssize_t n = p.usb_get_device_list(&list);
  ASSERT_EQ(n, 4);  // two root hubs and two cameras
  EXPECT_EQ(list[n], nullptr);
  int cameras = 0;
  std::vector<std::uint8_t> buses;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc;
    ASSERT_EQ(p.usb_get_device_descriptor(list[i], &desc), 0);
    EXPECT_EQ(desc.bLength, 18);
    if (desc.idVendor == 0x0c45 && desc.idProduct == 0x0643) {
      ++cameras;
      buses.push_back(p.usb_get_bus_number(list[i]));
      EXPECT_EQ(p.usb_get_device_address(list[i]), 4);
    } else {
      EXPECT_EQ(desc.idVendor, 0x1d6b);
      libusb_device_handle* h = nullptr;
      EXPECT_EQ(p.usb_open(list[i], &h), LIBUSB_ERROR_ACCESS);
    }
  }
  EXPECT_EQ(cameras, 2);
  EXPECT_EQ(buses, (std::vector<std::uint8_t>{1, 3}));
  // The same physical device is the same libusb_device in the next list.
  libusb_device** again = nullptr;
  ASSERT_EQ(p.usb_get_device_list(&again), n);
  EXPECT_EQ(again[2], list[2]);
  EXPECT_EQ(p.outstanding_device_lists(), 2u);
  p.usb_free_device_list(again, 1);
  p.usb_free_device_list(list, 1);
  p.usb_free_device_list(list, 1);  // a second free is a misuse
  EXPECT_EQ(p.misuses().size(), 1u);
  p.usb_exit();
  EXPECT_EQ(p.usb_context_refs(), 0);
  EXPECT_EQ(p.outstanding_device_lists(), 0u);

  // Injected failures.
  p.camera(0).set_descriptor_error(LIBUSB_ERROR_IO);
  p.set_device_list_error(LIBUSB_ERROR_NO_MEM);
  EXPECT_EQ(p.usb_get_device_list(&list), LIBUSB_ERROR_NO_MEM);
  p.set_device_list_error(0);
  ASSERT_EQ(p.usb_get_device_list(&list), 4);
  libusb_device_descriptor desc;
  EXPECT_EQ(p.usb_get_device_descriptor(list[2], &desc), LIBUSB_ERROR_IO);
  p.usb_free_device_list(list, 1);
  p.set_usb_init_error(LIBUSB_ERROR_OTHER);
  EXPECT_EQ(p.usb_init(), LIBUSB_ERROR_OTHER);
  EXPECT_EQ(p.usb_context_refs(), 0);
  EXPECT_STREQ(p.usb_error_name(LIBUSB_ERROR_PIPE), "LIBUSB_ERROR_PIPE");
  EXPECT_STREQ(p.usb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
  EXPECT_STREQ(p.usb_error_name(-1234), "**UNKNOWN**");
}

TEST(VirtualPlatformUsb, KernelDriverAndClaimRules) {
  VirtualPlatform p;
  p.add_camera(default_camera_config());
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device_handle* h = open_camera(p);
  ASSERT_NE(h, nullptr);
  std::uint8_t chip = 0;
  // uvcvideo holds the interface: no claim, no transfer, no configuration change.
  EXPECT_EQ(p.usb_kernel_driver_active(h, 0), 1);
  EXPECT_EQ(p.usb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(read_chip_id(p, h, &chip), LIBUSB_ERROR_IO);
  EXPECT_EQ(p.usb_set_configuration(h, 1), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(p.usb_kernel_driver_active(h, 5), LIBUSB_ERROR_NOT_FOUND);

  ASSERT_EQ(p.usb_detach_kernel_driver(h, 0), 0);
  EXPECT_EQ(p.usb_detach_kernel_driver(h, 0), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(p.usb_kernel_driver_active(h, 0), 0);
  EXPECT_EQ(p.usb_set_configuration(h, 1), 0);
  ASSERT_EQ(p.usb_claim_interface(h, 0), 0);
  EXPECT_EQ(p.usb_set_configuration(h, 1), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(read_chip_id(p, h, &chip), 4);
  EXPECT_EQ(chip, 0x83);
  // The driver cannot come back while the interface is claimed.
  EXPECT_EQ(p.usb_attach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY);
  ASSERT_EQ(p.usb_release_interface(h, 0), 0);
  EXPECT_EQ(p.usb_release_interface(h, 0), LIBUSB_ERROR_NOT_FOUND);
  ASSERT_EQ(p.usb_attach_kernel_driver(h, 0), 0);
  EXPECT_EQ(p.usb_attach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY);
  p.usb_close(h);
  p.usb_close(h);  // double close
  EXPECT_EQ(p.misuses().size(), 1u);
  p.usb_exit();

  // Injected claim failures come before the kernel's own rules.
  p.camera(0).set_kernel_driver_bound(false);
  p.camera(0).fail_claims(2, LIBUSB_ERROR_TIMEOUT);
  ASSERT_EQ(p.usb_init(), 0);
  h = open_camera(p);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(p.usb_claim_interface(h, 0), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(p.usb_claim_interface(h, 0), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(p.usb_claim_interface(h, 0), 0);
  p.usb_close(h);
  p.usb_exit();
  EXPECT_EQ(p.open_handle_count(), 0u);
  EXPECT_TRUE(p.overlaps().empty());
}

TEST(VirtualPlatformUsb, ImplicitClaimWithoutTheKernelDriver) {
  VirtualPlatform p;
  CameraConfig config = default_camera_config();
  config.kernel_driver_bound = false;
  p.add_camera(config);
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device_handle* h = open_camera(p);
  ASSERT_NE(h, nullptr);
  std::uint8_t chip = 0;
  // usbfs claims the interface on first use; the driver then cannot return.
  EXPECT_EQ(read_chip_id(p, h, &chip), 4);
  EXPECT_EQ(p.usb_attach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY);
  p.usb_close(h);
  p.usb_exit();
  EXPECT_TRUE(p.misuses().empty());
}

TEST(VirtualPlatformUsb, ResetThroughTheControllerDropsHandles) {
  VirtualPlatform p;
  VirtualCamera& cam = p.add_camera(default_camera_config());
  cam.set_kernel_driver_bound(false);
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device_handle* h = open_camera(p);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(p.usb_claim_interface(h, 0), 0);
  unsigned char reset[4] = {0x73, 0x10, 0x00, 0x00};
  EXPECT_EQ(p.usb_control_transfer(h, 0x21, 0x01, 0x0100, 0x0300, reset, 4, 1000), 4);
  std::uint8_t chip = 0;
  EXPECT_EQ(read_chip_id(p, h, &chip), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(p.usb_kernel_driver_active(h, 0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(p.usb_release_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
  // A new list shows the device at its new address, and it answers again.
  libusb_device** list = nullptr;
  const ssize_t n = p.usb_get_device_list(&list);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(p.usb_get_device_address(list[1]), 5);
  libusb_device_handle* h2 = nullptr;
  ASSERT_EQ(p.usb_open(list[1], &h2), 0);
  p.usb_free_device_list(list, 1);
  EXPECT_TRUE(p.overlaps().empty());  // the dead handle does not count
  ASSERT_EQ(p.usb_detach_kernel_driver(h2, 0), 0);
  ASSERT_EQ(p.usb_claim_interface(h2, 0), 0);
  EXPECT_EQ(read_chip_id(p, h2, &chip), 4);
  p.usb_close(h);
  p.usb_close(h2);
  p.usb_exit();
}

TEST(VirtualPlatformUsb, SecondHandleIsAnOverlap) {
  VirtualPlatform p;
  p.add_camera(default_camera_config());
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device_handle* a = open_camera(p);
  libusb_device_handle* b = open_camera(p);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(p.overlaps().size(), 1u);
  EXPECT_EQ(p.overlaps()[0].camera, 0u);
  EXPECT_EQ(p.open_handle_count(), 2u);
  p.usb_close(a);
  p.usb_close(b);
  EXPECT_EQ(p.open_handle_count(), 0u);
}

TEST(VirtualPlatformUsb, UnpluggedCameraLeavesTheList) {
  VirtualPlatform p;
  VirtualCamera& cam = p.add_camera(default_camera_config());
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(p.usb_get_device_list(&list), 2);
  cam.unplug();
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(p.usb_open(list[1], &h), LIBUSB_ERROR_NO_DEVICE);
  p.usb_free_device_list(list, 1);
  ASSERT_EQ(p.usb_get_device_list(&list), 1);
  p.usb_free_device_list(list, 1);
  cam.set_open_error(LIBUSB_ERROR_ACCESS);
  cam.replug();
  EXPECT_EQ(open_camera(p), nullptr);
}

// ---- Discovery view.

TEST(VirtualPlatformDiscovery, DevListingAndUdevProperties) {
  VirtualPlatform p;
  p.add_camera(default_camera_config(0));
  p.add_camera(default_camera_config(1));
  std::vector<std::string> names;
  ASSERT_TRUE(p.list_directory("/dev", names));
  int video = 0;
  for (const auto& n : names) video += n.rfind("video", 0) == 0;
  EXPECT_EQ(video, 4);
  EXPECT_GT(names.size(), 4u);
  EXPECT_TRUE(p.path_exists("/dev"));
  EXPECT_TRUE(p.path_exists("/dev/video3"));
  EXPECT_FALSE(p.path_exists("/dev/video9"));

  const auto props = properties(p, "/dev/video2");
  EXPECT_EQ(props.at("DEVNAME"), "/dev/video2");
  EXPECT_EQ(props.at("SUBSYSTEM"), "video4linux");
  EXPECT_EQ(props.at("ID_VENDOR_ID"), "0c45");
  EXPECT_EQ(props.at("ID_MODEL_ID"), "0643");
  EXPECT_EQ(props.at("ID_SERIAL_SHORT"), "SN1002");
  EXPECT_EQ(props.at("ID_SERIAL"), "Morvane_Stereo_Camera_SN1002");
  EXPECT_EQ(props.at("ID_MODEL"), "Stereo_Camera");
  EXPECT_EQ(props.at("ID_PATH"), "platform-xhci-hcd.1-usb-0:1:1.0");
  EXPECT_EQ(props.at("ID_V4L_CAPABILITIES"), ":capture:");
  EXPECT_EQ(properties(p, "/dev/video3").at("ID_V4L_CAPABILITIES"), ":");
  EXPECT_EQ(run(p, "udevadm info -q property -n '/dev/video2'").second, 0);

  // Unknown node, other commands, no udevadm, no shell.
  const auto unknown = run(p, "udevadm info -q property -n '/dev/video7'");
  EXPECT_TRUE(unknown.first.empty());
  EXPECT_TRUE(WIFEXITED(unknown.second));
  EXPECT_EQ(WEXITSTATUS(unknown.second), 1);
  EXPECT_EQ(WEXITSTATUS(run(p, "udevadm info -n /dev/video2").second), 127);
  p.set_udevadm_available(false);
  EXPECT_EQ(WEXITSTATUS(run(p, "udevadm info -q property -n '/dev/video2'").second), 127);
  p.set_command_start_fails(true);
  EXPECT_EQ(p.run_command("udevadm info -q property -n '/dev/video2'"), nullptr);
  EXPECT_EQ(p.commands_run().size(), 7u);  // the property helper ran two

  // A stream destroyed without close is counted (pclose never called).
  p.set_command_start_fails(false);
  p.set_udevadm_available(true);
  { auto stream = p.run_command("udevadm info -q property -n '/dev/video0'"); }
  EXPECT_EQ(p.unclosed_command_count(), 1u);

  p.set_dev_listing_fails(true);
  EXPECT_FALSE(p.list_directory("/dev", names));
  p.set_dev_missing(true);
  EXPECT_FALSE(p.path_exists("/dev"));
  EXPECT_EQ(errno, ENOENT);
}

TEST(VirtualPlatformDiscovery, SysfsWalkFindsTheUsbDevice) {
  VirtualPlatform p;
  VirtualCamera& cam = p.add_camera(default_camera_config());
  const std::string devpath = properties(p, "/dev/video0").at("DEVPATH");
  ASSERT_EQ(devpath.front(), '/');
  // Walk up from the node as discovery does: the first directory holding both
  // busnum and devnum is the USB device, not the interface or the root hub.
  std::string dir = "/sys" + devpath;
  int steps = 0;
  while (dir != "/" && !(p.path_exists(dir + "/busnum") && p.path_exists(dir + "/devnum"))) {
    ASSERT_TRUE(p.path_exists(dir)) << dir;
    dir = dir.substr(0, dir.rfind('/'));
    ++steps;
  }
  EXPECT_EQ(steps, 3);  // node, video4linux, interface
  EXPECT_EQ(read_line(p, dir + "/busnum"), "1\n");
  EXPECT_EQ(read_line(p, dir + "/devnum"), "4\n");
  // The root hub above it has its own attributes.
  EXPECT_EQ(read_line(p, dir.substr(0, dir.rfind('/')) + "/devnum"), "1\n");
  // fgets semantics: at most size-1 bytes.
  char tiny[2];
  ASSERT_TRUE(p.read_file_line(dir + "/busnum", tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "1");
  EXPECT_EQ(read_line(p, dir + "/missing"), "<none>");
  p.set_file_override(dir + "/busnum", "300\n");
  EXPECT_EQ(read_line(p, dir + "/busnum"), "300\n");
  p.set_file_override("/sys/empty", "");
  EXPECT_EQ(read_line(p, "/sys/empty"), "<none>");
  // A detached driver takes the video4linux directories with it.
  cam.set_kernel_driver_bound(false);
  EXPECT_FALSE(p.path_exists("/sys" + devpath));
  EXPECT_TRUE(p.path_exists(dir + "/devnum"));
  cam.unplug();
  EXPECT_FALSE(p.path_exists(dir));
}

TEST(VirtualPlatformDiscovery, VideoNodesAnswerLikeUvcvideo) {
  VirtualPlatform p;
  VirtualCamera& cam = p.add_camera(default_camera_config());
  ASSERT_EQ(p.usb_init(), 0);
  const int capture = p.video_open("/dev/video0", O_RDONLY);
  const int meta = p.video_open("/dev/video1", O_RDONLY);
  ASSERT_GE(capture, 0);
  ASSERT_GE(meta, 0);
  v4l2_capability cap;
  ASSERT_EQ(p.video_ioctl(capture, VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(cap.driver), "uvcvideo");
  EXPECT_TRUE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE);
  ASSERT_EQ(p.video_ioctl(meta, VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_FALSE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE);
  EXPECT_TRUE(cap.device_caps & V4L2_CAP_META_CAPTURE);
  EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE);  // the device as a whole can capture

  std::uint8_t buffer[32] = {};
  uvc_xu_control_query q{4, 10, kGetCur, 17, buffer};
  ASSERT_EQ(p.video_ioctl(capture, UVCIOC_CTRL_QUERY, &q), 0);
  EXPECT_EQ(buffer[1], 25);
  EXPECT_EQ(p.video_ioctl(meta, UVCIOC_CTRL_QUERY, &q), -1);
  EXPECT_EQ(errno, ENOTTY);
  q.size = 32;
  EXPECT_EQ(p.video_ioctl(capture, UVCIOC_CTRL_QUERY, &q), -1);
  EXPECT_EQ(errno, ENOBUFS);
  q.size = 17;
  q.unit = 3;
  EXPECT_EQ(p.video_ioctl(capture, UVCIOC_CTRL_QUERY, &q), -1);
  EXPECT_EQ(errno, ENOENT);
  q.unit = 4;
  cam.fail_transfers_matching([](const TransferRequest& r) { return r.value == 0x0A00; }, LIBUSB_ERROR_PIPE, 1);
  EXPECT_EQ(p.video_ioctl(capture, UVCIOC_CTRL_QUERY, &q), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(p.video_ioctl(capture, 0x1234, &q), -1);
  EXPECT_EQ(errno, ENOTTY);

  // libusb detaching the driver ends the video device under open descriptors.
  libusb_device_handle* h = open_camera(p);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(p.usb_detach_kernel_driver(h, 0), 0);
  EXPECT_EQ(p.video_ioctl(capture, UVCIOC_CTRL_QUERY, &q), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(p.video_open("/dev/video0", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(p.usb_attach_kernel_driver(h, 0), 0);
  p.usb_close(h);
  EXPECT_EQ(p.video_ioctl(capture, UVCIOC_CTRL_QUERY, &q), -1);  // still the old device
  const int reopened = p.video_open("/dev/video0", O_RDONLY);
  ASSERT_GE(reopened, 0);
  EXPECT_EQ(p.video_ioctl(reopened, UVCIOC_CTRL_QUERY, &q), 0);

  EXPECT_EQ(p.video_close(capture), 0);
  EXPECT_EQ(p.video_close(meta), 0);
  EXPECT_EQ(p.video_close(reopened), 0);
  EXPECT_EQ(p.video_close(reopened), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(p.video_ioctl(reopened, VIDIOC_QUERYCAP, &cap), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(p.open_video_fd_count(), 0u);

  CameraConfig locked = default_camera_config(1);
  locked.video_nodes_accessible = false;
  p.add_camera(locked);
  EXPECT_EQ(p.video_open("/dev/video2", O_RDONLY), -1);
  EXPECT_EQ(errno, EACCES);
}

TEST(VirtualPlatformTime, SleepAdvancesTheVirtualClock) {
  VirtualPlatform p;
  timespec before{}, after{};
  ASSERT_EQ(p.monotonic_time(&before), 0);
  timespec request{1, 500000000};
  timespec remaining{9, 9};
  ASSERT_EQ(p.sleep(&request, &remaining), 0);
  EXPECT_EQ(remaining.tv_sec, 0);
  ASSERT_EQ(p.monotonic_time(&after), 0);
  EXPECT_EQ((after.tv_sec - before.tv_sec) * 1000000000L + (after.tv_nsec - before.tv_nsec), 1500000000L);
  timespec bad{0, 1000000000L};
  EXPECT_EQ(p.sleep(&bad, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(p.monotonic_time(nullptr), -1);
}

// ---- The fixture others build on.

TEST(VirtualCameraFixture, DefaultCameraCarriesFirmwareAndIsInstalled) {
  morvane::testing::VirtualCameraRig rig;
  EXPECT_EQ(&uvc_stereo::platform::current(), &rig.platform());
  const auto image = morvane::testing::default_firmware_image();
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(rig.camera().flash_contents(0, image.size()), image);
  // Chip 0x83 firmware keeps its version in four fields; read back to back
  // (0x200A, 0x2012, 0x2000, 0x201C) they spell the version text.
  std::string raw;
  for (const auto& [address, length] :
       std::vector<std::pair<std::size_t, std::size_t>>{{0x200A, 5}, {0x2012, 10}, {0x2000, 10}, {0x201C, 10}})
    raw.append(image.begin() + address, image.begin() + address + length);
  EXPECT_EQ(raw.rfind(morvane::testing::kDefaultFirmwareVersion, 0), 0u) << raw;
  EXPECT_TRUE(rig.clean());
  ASSERT_EQ(rig.platform().usb_init(), 0);
  libusb_device_handle* h = open_camera(rig.platform());
  ASSERT_NE(h, nullptr);
  const auto dirty = rig.clean();
  EXPECT_FALSE(dirty);
  EXPECT_NE(std::string(dirty.message()).find("USB handle"), std::string::npos);
  rig.platform().usb_close(h);
  rig.platform().usb_exit();
  EXPECT_TRUE(rig.clean());
}

}  // namespace
}  // namespace morvane::emulator
