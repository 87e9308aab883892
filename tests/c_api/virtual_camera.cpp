// The whole road from C against the virtual camera: scan, open, the flash
// document, the IMU, close; and what the C layer adds on the way (cut texts,
// record checks before any device access, exceptions at the OS boundary).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/virtual_platform.hpp"
#include "morvane/uvc_stereo.h"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"
#include "support/virtual_camera_fixture.hpp"

namespace {

namespace uvc = morvane::uvc_stereo;
namespace emu = morvane::emulator;
using morvane::testing::VirtualCameraRig;
using morvane::testing::VirtualCameraTest;

std::string thread_text() {
  const char* text = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(morvane_uvc_stereo_last_error_message(&text, &length), 0);
  return text != nullptr ? std::string(text, length) : "<null>";
}

struct DeviceList {
  ~DeviceList() { morvane_uvc_stereo_free(items); }
  morvane_uvc_stereo_device_info_t* items = nullptr;
  std::size_t count = 0;
};

// Scans and expects exactly `expected` cameras.
void scan(DeviceList& list, std::size_t expected) {
  ASSERT_EQ(morvane_uvc_stereo_scan_devices(&list.items, &list.count), 0) << thread_text();
  ASSERT_EQ(list.count, expected);
  ASSERT_NE(list.items, nullptr);
}

TEST_F(VirtualCameraTest, CallerDrivesTheWholeRoadFromC) {
  const emu::CameraConfig& config = camera().config();
  DeviceList list;
  scan(list, 1);
  const morvane_uvc_stereo_device_info_t& found = list.items[0];
  EXPECT_EQ(found.vid, config.vid);
  EXPECT_EQ(found.pid, config.pid);
  EXPECT_EQ(found.bus_number, config.bus_number);
  EXPECT_EQ(found.device_address, camera().device_address());
  EXPECT_EQ(std::string(found.serial), config.serial);
  // The texts are udev's, as the C++ scan reports them.
  const auto core_scan = uvc::scan_devices();
  ASSERT_TRUE(core_scan.ok());
  ASSERT_EQ(core_scan->size(), 1u);
  EXPECT_EQ(std::string(found.vendor), core_scan->front().vendor);
  EXPECT_EQ(std::string(found.model), core_scan->front().model);
  EXPECT_EQ(std::string(found.video_node), "/dev/video" + std::to_string(config.capture_node));
  EXPECT_EQ(std::string(found.usb_path), config.usb_path);
  ASSERT_EQ(found.opencv_index_count, 2u);
  EXPECT_EQ(found.opencv_indices[0].backend, MORVANE_UVC_STEREO_BACKEND_V4L2);
  EXPECT_EQ(found.opencv_indices[0].index, config.capture_node);
  EXPECT_EQ(found.opencv_indices[1].backend, MORVANE_UVC_STEREO_BACKEND_GSTREAMER);

  // The context's scan describes the same first camera.
  morvane_uvc_stereo_ctx_t* ctx = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_ctx_create(nullptr, &ctx), 0);
  morvane_uvc_stereo_device_info_t first;
  EXPECT_EQ(morvane_uvc_stereo_ctx_scan(ctx, &first), 0);
  EXPECT_EQ(std::memcmp(&first, &found, sizeof first), 0);
  morvane_uvc_stereo_ctx_destroy(ctx);

  morvane_uvc_stereo_device_t* device = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_open_device(&found, nullptr, &device), 0) << thread_text();

  // Document: written from a NUL-terminated text, read back compact.
  ASSERT_EQ(morvane_uvc_stereo_device_write_json(device, "{ \"baseline_mm\" : [ 60.5, true ] }\n", 0), 0)
      << thread_text();
  std::uint16_t version = 9;
  char* json = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(morvane_uvc_stereo_device_read_json(device, &version, &json, &length), 0) << thread_text();
  EXPECT_EQ(version, 0);
  ASSERT_NE(json, nullptr);
  EXPECT_EQ(std::string(json, length), "{\"baseline_mm\":[60.5,true]}");
  EXPECT_EQ(json[length], '\0');
  morvane_uvc_stereo_free(json);

  // A rejected document leaves the stored one alone.
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(device, "{\"a\":", 0), MORVANE_UVC_STEREO_INVALID_JSON);
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(device, "{\"a\":\"\xff\"}", 0), MORVANE_UVC_STEREO_INVALID_JSON);
  EXPECT_EQ(thread_text(), "invalid UTF-8 at offset 6");
  ASSERT_EQ(morvane_uvc_stereo_device_read_json(device, &version, &json, &length), 0);
  EXPECT_EQ(std::string(json, length), "{\"baseline_mm\":[60.5,true]}");
  morvane_uvc_stereo_free(json);

  // IMU: open, read one sample, convert, close.
  ASSERT_EQ(morvane_uvc_stereo_device_open_imu(device), 0) << thread_text();
  EXPECT_EQ(morvane_uvc_stereo_device_read_json(device, &version, &json, &length), 1);
  EXPECT_EQ(thread_text(), "IMU must be closed before flash JSON access");
  EXPECT_EQ(json, nullptr);
  const emu::ImuSample expected = camera().next_imu_sample_preview();
  morvane_uvc_stereo_read_imu_result_t raw;
  ASSERT_EQ(morvane_uvc_stereo_device_read_imu(device, &raw), 0) << thread_text();
  EXPECT_EQ(thread_text(), "");
  EXPECT_EQ(raw.sensor_timestamp, expected.counter);
  EXPECT_EQ(raw.temperature_raw, expected.temperature);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(raw.accel_raw[i], expected.accel[i]) << i;
    EXPECT_EQ(raw.gyro_raw[i], expected.gyro[i]) << i;
  }
  morvane_uvc_stereo_imu_sample_t sample;
  ASSERT_EQ(morvane_uvc_stereo_convert_imu(&raw, nullptr, &sample), 0);
  uvc::ReadImuResult core_raw{raw.timestamp_ns,
                              raw.sensor_timestamp,
                              raw.temperature_raw,
                              {raw.accel_raw[0], raw.accel_raw[1], raw.accel_raw[2]},
                              {raw.gyro_raw[0], raw.gyro_raw[1], raw.gyro_raw[2]}};
  const auto converted = uvc::convert_imu(core_raw, uvc::ImuConversionOptions{});
  ASSERT_TRUE(converted.ok());
  EXPECT_EQ(sample.timestamp_ns, raw.timestamp_ns);
  EXPECT_EQ(sample.temperature_c, converted->temperature_c);
  EXPECT_EQ(sample.accel_g[2], converted->accel_g[2]);
  EXPECT_EQ(sample.gyro_dps[0], converted->gyro_dps[0]);

  EXPECT_EQ(morvane_uvc_stereo_device_close_imu(device), 0);
  EXPECT_EQ(platform().open_video_fd_count(), 0u);
  EXPECT_EQ(morvane_uvc_stereo_device_read_imu(device, &raw), 1);
  EXPECT_EQ(thread_text(), "IMU is not open");

  // Closing a handle with its IMU open closes the node too.
  ASSERT_EQ(morvane_uvc_stereo_device_open_imu(device), 0) << thread_text();
  EXPECT_EQ(platform().open_video_fd_count(), 1u);
  morvane_uvc_stereo_close_device(device);
  EXPECT_TRUE(rig().clean());
}

class LongSerialTest : public VirtualCameraTest {
 protected:
  std::vector<emu::CameraConfig> make_configs() override {
    auto config = morvane::testing::default_camera_config();
    config.serial = std::string(300, 'Q');
    return {config};
  }
};

TEST_F(LongSerialTest, SerialIsCutTo255BytesOnTheWayOut) {
  DeviceList list;
  scan(list, 1);
  EXPECT_EQ(std::string(list.items[0].serial), std::string(255, 'Q'));

  // The C++ device keeps the whole serial; the C record can hold 255 bytes.
  uvc::DeviceInfo core_info;
  core_info.vid = list.items[0].vid;
  core_info.pid = list.items[0].pid;
  core_info.serial = std::string(300, 'Q');
  auto core_device = uvc::open_device(core_info, uvc::OpenDeviceOptions{0});
  ASSERT_TRUE(core_device.ok());
  ASSERT_EQ(core_device->info().serial.size(), 300u);

  morvane_uvc_stereo_device_t* device = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_open_device(&list.items[0], nullptr, &device), 0) << thread_text();
  morvane_uvc_stereo_device_info_t info;
  std::memset(&info, 0x51, sizeof info);
  ASSERT_EQ(morvane_uvc_stereo_device_info(device, &info), 0);
  EXPECT_EQ(std::string(info.serial), std::string(255, 'Q'));
  EXPECT_EQ(info.serial[255], '\0');
  morvane_uvc_stereo_close_device(device);
}

TEST_F(VirtualCameraTest, BadIndexRecordsAreRefusedBeforeAnyDeviceAccess) {
  DeviceList list;
  scan(list, 1);
  const std::size_t transfers = camera().transfer_count();

  struct Case {
    const char* message;
    void (*spoil)(morvane_uvc_stereo_device_info_t&);
  };
  const Case cases[] = {
      {"opencv backend index count is too large",
       [](morvane_uvc_stereo_device_info_t& r) { r.opencv_index_count = 9; }},
      {"duplicated opencv backend entry",
       [](morvane_uvc_stereo_device_info_t& r) {
         r.opencv_index_count = 2;
         r.opencv_indices[0] = {200, 0};
         r.opencv_indices[1] = {200, 1};
       }},
      {"opencv backend index is negative",
       [](morvane_uvc_stereo_device_info_t& r) {
         r.opencv_indices[0] = {200, -1};
       }},
      {"unsupported opencv backend",
       [](morvane_uvc_stereo_device_info_t& r) {
         r.opencv_indices[1] = {1500, 0};
       }},
      {"device vid/pid is invalid", [](morvane_uvc_stereo_device_info_t& r) { r.pid = 0; }},
  };
  for (const Case& c : cases) {
    morvane_uvc_stereo_device_info_t spoiled = list.items[0];
    c.spoil(spoiled);
    morvane_uvc_stereo_device_t* device = nullptr;
    EXPECT_EQ(morvane_uvc_stereo_open_device(&spoiled, nullptr, &device), 1);
    EXPECT_EQ(thread_text(), c.message);
    EXPECT_EQ(device, nullptr);
  }
  EXPECT_EQ(camera().transfer_count(), transfers);
  EXPECT_TRUE(rig().clean());
}

TEST_F(VirtualCameraTest, VanishedCameraFailsCleanly) {
  DeviceList list;
  scan(list, 1);
  morvane_uvc_stereo_device_t* device = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_open_device(&list.items[0], nullptr, &device), 0) << thread_text();
  camera().unplug();

  // The same request through the C++ device gives the expected outcome.
  uvc::DeviceInfo core_info;
  core_info.vid = list.items[0].vid;
  core_info.pid = list.items[0].pid;
  core_info.bus_number = list.items[0].bus_number;
  core_info.device_address = list.items[0].device_address;
  auto core_device = uvc::open_device(core_info, uvc::OpenDeviceOptions{0});
  ASSERT_TRUE(core_device.ok());
  const auto expected = core_device->read_json();
  ASSERT_FALSE(expected.ok());

  std::uint16_t version = 3;
  char* json = reinterpret_cast<char*>(&version);
  std::size_t length = 3;
  EXPECT_EQ(morvane_uvc_stereo_device_read_json(device, &version, &json, &length), static_cast<int>(expected.code));
  EXPECT_EQ(thread_text(), expected.message);
  EXPECT_EQ(json, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_NE(morvane_uvc_stereo_device_write_json(device, "{}", 2), 0);
  morvane_uvc_stereo_close_device(device);

  // Opening a camera that is gone passes the probe's failure through.
  EXPECT_NE(morvane_uvc_stereo_open_device(&list.items[0], nullptr, &device), 0);
  EXPECT_EQ(device, nullptr);
  EXPECT_FALSE(thread_text().empty());
  EXPECT_TRUE(rig().clean());
}

class TwoCameraTest : public VirtualCameraTest {
 protected:
  std::vector<emu::CameraConfig> make_configs() override {
    return {morvane::testing::default_camera_config(0), morvane::testing::default_camera_config(1)};
  }
};

// An application holds camera 0 through the access library itself: every C
// call that reaches camera 1's flash fails with 3, naming both cameras, and
// leaves the application's connection open and camera 0's flash alone (the
// IMU gate turns its failed firmware read into its own 14, as for any
// unreachable flash, rather than granting camera 1's IMU on camera 0's
// firmware); a call for camera 0 is served over that connection.
TEST_F(TwoCameraTest, AConnectionTheApplicationHoldsServesOnlyItsOwnCamera) {
  DeviceList list;
  scan(list, 2);
  auto record_of = [&](std::size_t index) {
    for (std::size_t i = 0; i < list.count; ++i)
      if (list.items[i].device_address == camera(index).device_address() &&
          list.items[i].bus_number == camera(index).config().bus_number)
        return list.items[i];
    ADD_FAILURE() << "camera " << index << " not scanned";
    return morvane_uvc_stereo_device_info_t{};
  };
  const morvane_uvc_stereo_device_info_t own = record_of(0);
  const morvane_uvc_stereo_device_info_t other = record_of(1);
  char vidpid[9];
  std::snprintf(vidpid, sizeof vidpid, "%04x%04x", own.vid, own.pid);
  const std::string own_document = "{\"unit\":0}";
  auto blob = uvc::build_blob(0, std::vector<std::uint8_t>(own_document.begin(), own_document.end()), {});
  ASSERT_TRUE(blob.ok());
  camera(0).load_flash(0x51000, blob.value->raw);
  ASSERT_EQ(SonixCam_Init(vidpid, own.bus_number, own.device_address), 1);
  const std::vector<std::uint8_t> own_flash = camera(0).flash_contents(0x51000, 4096);

  char expected[160];
  std::snprintf(expected, sizeof expected,
                "the access library is open to camera %04x:%04x at %03u/%03u, not to the requested camera %04x:%04x "
                "at %03u/%03u",
                own.vid, own.pid, own.bus_number, own.device_address, other.vid, other.pid, other.bus_number,
                other.device_address);
  morvane_uvc_stereo_device_t* handle = nullptr;
  morvane_uvc_stereo_open_device_options_t no_access{0};
  ASSERT_EQ(morvane_uvc_stereo_open_device(&other, &no_access, &handle), 0) << thread_text();
  auto open_with = [&](std::uint32_t capabilities) {
    morvane_uvc_stereo_open_device_options_t options{capabilities};
    morvane_uvc_stereo_device_t* opened = reinterpret_cast<morvane_uvc_stereo_device_t*>(&options);
    const int status = morvane_uvc_stereo_open_device(&other, &options, &opened);
    EXPECT_EQ(opened, nullptr);
    if (status == 0) morvane_uvc_stereo_close_device(opened);
    return status;
  };
  struct Call {
    const char* name;
    std::function<int()> run;
    int status = MORVANE_UVC_STEREO_DEVICE_UNAVAILABLE;
    std::string text{};  // empty: the text naming both cameras
  };
  const Call calls[] = {
      {"open, flash probe", [&] { return open_with(MORVANE_UVC_STEREO_CAPABILITY_FLASH); }},
      {"open, document", [&] { return open_with(MORVANE_UVC_STEREO_CAPABILITY_FLASH_JSON); }},
      {"read_json",
       [&] {
         std::uint16_t version = 0;
         char* json = nullptr;
         std::size_t length = 0;
         const int status = morvane_uvc_stereo_device_read_json(handle, &version, &json, &length);
         EXPECT_EQ(json, nullptr);
         return status;
       }},
      {"write_json", [&] { return morvane_uvc_stereo_device_write_json(handle, "{\"unit\":9}", 0); }},
      {"open_imu", [&] { return morvane_uvc_stereo_device_open_imu(handle); }, MORVANE_UVC_STEREO_UNSUPPORTED,
       "IMU is not supported by this device"},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.run(), c.status);
    EXPECT_EQ(thread_text(), c.text.empty() ? std::string(expected) : c.text);
    EXPECT_EQ(camera_init, 1) << "the application's connection was closed";
  }
  EXPECT_EQ(camera(0).flash_contents(0x51000, 4096), own_flash);
  EXPECT_EQ(platform().open_video_fd_count(), 0u);

  // Its own camera: served over the application's connection, left open.
  morvane_uvc_stereo_device_t* own_handle = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_open_device(&own, &no_access, &own_handle), 0) << thread_text();
  std::uint16_t version = 0;
  char* json = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(morvane_uvc_stereo_device_read_json(own_handle, &version, &json, &length), 0) << thread_text();
  EXPECT_EQ(std::string(json, length), own_document);
  morvane_uvc_stereo_free(json);
  EXPECT_EQ(camera_init, 1);
  ASSERT_EQ(SonixCam_UnInit(), 1);

  // Once it is closed, camera 1 is reached.
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(handle, "{\"unit\":1}", 0), 0) << thread_text();
  morvane_uvc_stereo_close_device(own_handle);
  morvane_uvc_stereo_close_device(handle);
  EXPECT_TRUE(rig().clean());
}

// A virtual machine whose video-node queries throw, once armed.
class ThrowingVideoPlatform : public emu::VirtualPlatform {
 public:
  int video_ioctl(int fd, unsigned long request, void* arg) override {
    if (throw_on_ioctl) throw std::runtime_error("video ioctl exploded");
    return emu::VirtualPlatform::video_ioctl(fd, request, arg);
  }
  int video_open(const std::string& path, int flags) override {
    if (throw_on_open) throw std::bad_alloc();
    return emu::VirtualPlatform::video_open(path, flags);
  }
  bool throw_on_ioctl = false;
  bool throw_on_open = false;
};

TEST(CApiBarrierOnTheDevice, ExceptionsBecomeStatus13AndReleaseTheHandle) {
  ThrowingVideoPlatform os;
  os.add_camera(morvane::testing::default_camera_config());
  uvc::platform::ScopedPlatform installed(os);

  DeviceList list;
  scan(list, 1);
  morvane_uvc_stereo_device_t* device = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_open_device(&list.items[0], nullptr, &device), 0) << thread_text();

  // std::bad_alloc outside create/open reports its own what() text.
  os.throw_on_open = true;
  EXPECT_EQ(morvane_uvc_stereo_device_open_imu(device), 13);
  EXPECT_EQ(thread_text(), std::bad_alloc().what());
  os.throw_on_open = false;

  ASSERT_EQ(morvane_uvc_stereo_device_open_imu(device), 0) << thread_text();
  os.throw_on_ioctl = true;
  morvane_uvc_stereo_read_imu_result_t raw;
  std::memset(&raw, 0x3C, sizeof raw);
  EXPECT_EQ(morvane_uvc_stereo_device_read_imu(device, &raw), 13);
  EXPECT_EQ(thread_text(), "video ioctl exploded");
  EXPECT_EQ(raw.timestamp_ns, 0u);
  os.throw_on_ioctl = false;

  // The handle's lock was released on the way out: the handle still works.
  EXPECT_EQ(morvane_uvc_stereo_device_read_imu(device, &raw), 0) << thread_text();
  EXPECT_EQ(morvane_uvc_stereo_device_close_imu(device), 0);
  morvane_uvc_stereo_close_device(device);
  EXPECT_EQ(os.open_video_fd_count(), 0u);
  EXPECT_EQ(os.open_handle_count(), 0u);
}

}  // namespace
