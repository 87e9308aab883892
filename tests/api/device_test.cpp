// open_device and Device: order of checks, state rules between flash and IMU,
// the moved-from state, and the road to the camera over the virtual camera.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

DeviceInfo supported_camera() {
  DeviceInfo info;
  info.vid = 0x0c45;
  info.pid = 0x0643;
  info.bus_number = 1;
  info.device_address = 4;
  info.serial = "SN0001";
  info.model = "Stereo Camera";
  info.video_node = "/dev/video0";
  info.usb_path = "platform-xhci-hcd.0-usb-0:1:1.0";
  info.opencv_indices[OpenCvBackend::v4l2] = 0;
  return info;
}

OpenDeviceOptions caps(std::uint32_t bits) {
  OpenDeviceOptions options;
  options.required_capabilities = bits;
  return options;
}

// ---- Checks that come before any device access.

TEST(OpenDeviceArguments, OptionsAreCheckedBeforeIdsAndIdsBeforeTheDevice) {
  DeviceInfo no_ids;  // vid and pid 0
  for (std::uint32_t bits : {8u, 9u, 0x80000000u, 0xFFFFFFFFu}) {
    Result<Device> opened = open_device(no_ids, caps(bits));
    EXPECT_EQ(opened.code, ErrorCode::invalid_argument) << bits;
    EXPECT_EQ(opened.message, "open_device required_capabilities contains unknown bits") << bits;
    EXPECT_FALSE(opened.value.has_value());
  }
  DeviceInfo no_vid = supported_camera();
  no_vid.vid = 0;
  DeviceInfo no_pid = supported_camera();
  no_pid.pid = 0;
  for (const DeviceInfo& info : {no_vid, no_pid}) {
    // The flash bits would need a camera; the id check must refuse first.
    Result<Device> opened = open_device(info, caps(0x7));
    EXPECT_EQ(opened.code, ErrorCode::invalid_argument);
    EXPECT_EQ(opened.message, "selected device has invalid vid/pid");
    EXPECT_FALSE(opened.value.has_value());
  }
}

TEST(OpenDeviceArguments, NoFlashBitsOpenWithoutTouchingAnyDevice) {
  for (std::uint32_t bits : {0u, DeviceCapability::imu}) {
    DeviceInfo info = supported_camera();
    info.video_node.clear();  // not required at open
    Result<Device> opened = open_device(info, caps(bits));
    ASSERT_TRUE(opened.ok()) << opened.message;
    EXPECT_TRUE(opened.message.empty());
    Device& device = *opened.value;
    EXPECT_FALSE(device.has_flash_transport());
    EXPECT_FALSE(device.has_imu_transport());
    EXPECT_EQ(device.info().serial, "SN0001");
    EXPECT_EQ(device.info().usb_path, info.usb_path);
    EXPECT_EQ(device.info().opencv_indices.at(OpenCvBackend::v4l2), 0);
  }
}

// ---- State rules that need no camera.

TEST(DeviceState, MovedFromDeviceRefusesEverythingButTheQueries) {
  Result<Device> opened = open_device(supported_camera(), caps(0));
  ASSERT_TRUE(opened.ok());
  Device device = std::move(*opened.value);
  Device& source = *opened.value;

  EXPECT_EQ(device.info().vid, 0x0c45);
  EXPECT_EQ(source.info().vid, 0);
  EXPECT_EQ(source.info().pid, 0);
  EXPECT_TRUE(source.info().serial.empty());
  EXPECT_TRUE(source.info().video_node.empty());
  EXPECT_TRUE(source.info().opencv_indices.empty());
  EXPECT_FALSE(source.has_flash_transport());
  EXPECT_FALSE(source.has_imu_transport());

  const std::string closed = "device is closed or moved-from";
  Result<ReadJsonResult> read = source.read_json();
  EXPECT_EQ(read.code, ErrorCode::invalid_argument);
  EXPECT_EQ(read.message, closed);
  EXPECT_FALSE(read.value.has_value());
  // Even an invalid document is refused for the state first.
  Result<void> write = source.write_json("");
  EXPECT_EQ(write.code, ErrorCode::invalid_argument);
  EXPECT_EQ(write.message, closed);
  EXPECT_EQ(source.open_imu().message, closed);
  EXPECT_EQ(source.read_imu().message, closed);
  EXPECT_EQ(source.close_imu().message, closed);
  EXPECT_EQ(source.close_imu().code, ErrorCode::invalid_argument);

  // Move assignment transfers the handle and empties the source again.
  Device target = std::move(device);
  EXPECT_EQ(target.info().vid, 0x0c45);
  EXPECT_EQ(device.info().vid, 0);
  device = std::move(target);
  EXPECT_EQ(device.info().vid, 0x0c45);
  EXPECT_EQ(target.read_imu().message, closed);
}

TEST(DeviceState, ImuCallsWithoutAnOpenImu) {
  Result<Device> opened = open_device(supported_camera(), caps(0));
  ASSERT_TRUE(opened.ok());
  Device& device = *opened.value;
  Result<ReadImuResult> sample = device.read_imu();
  EXPECT_EQ(sample.code, ErrorCode::invalid_argument);
  EXPECT_EQ(sample.message, "IMU is not open");
  EXPECT_FALSE(sample.value.has_value());
  Result<void> closed = device.close_imu();
  EXPECT_TRUE(closed.ok()) << closed.message;
  EXPECT_FALSE(device.has_imu_transport());
}

TEST(DeviceState, BadDocumentsFailBeforeAnyDeviceAccess) {
  // vid/pid of no camera: any flash access would fail with device_unavailable.
  DeviceInfo info = supported_camera();
  info.pid = 0xfffe;
  Result<Device> opened = open_device(info, caps(0));
  ASSERT_TRUE(opened.ok());
  Device& device = *opened.value;
  Result<void> empty = device.write_json("");
  EXPECT_EQ(empty.code, ErrorCode::invalid_json);
  EXPECT_EQ(empty.message, "json text is empty");
  Result<void> broken = device.write_json("{\"a\": }");
  EXPECT_EQ(broken.code, ErrorCode::invalid_json);
  EXPECT_EQ(broken.message, "invalid JSON value at offset 6");
  Result<void> trailing = device.write_json("{} x");
  EXPECT_EQ(trailing.code, ErrorCode::invalid_json);
  EXPECT_EQ(trailing.message, "unexpected trailing characters at offset 3");
}

TEST(DeviceState, OpenImuWithEmptyVideoNodeIsRefusedAtOnce) {
  DeviceInfo info = supported_camera();
  info.video_node.clear();
  info.pid = 0xfffe;  // no camera answers this
  Result<Device> opened = open_device(info, caps(0));
  ASSERT_TRUE(opened.ok());
  Device& device = *opened.value;
  Result<void> imu = device.open_imu();
  EXPECT_EQ(imu.code, ErrorCode::invalid_argument);
  EXPECT_EQ(imu.message, "selected device has empty video_node");
  EXPECT_FALSE(device.has_imu_transport());
  EXPECT_EQ(device.read_imu().message, "IMU is not open");
}

// ---- Over the virtual camera.

// About 2 KiB of calibration data, indented the way people write it.
std::string calibration_document() {
  std::string text = "{\n  \"model\": \"stereo\",\n  \"baseline_m\": 0.0601,\n  \"rows\": [\n";
  int row = 0;
  while (text.size() < 2000) {
    text += "    { \"i\": " + std::to_string(row) + ", \"k\": [ 612.25, -0.0412, " + std::to_string(row * 3) +
            ".5 ], \"s\": \"row  " + std::to_string(row) + "\" },\n";
    ++row;
  }
  text += "    { \"i\": -1 }\n  ]\n}\n";
  return text;
}

std::string compact(const std::string& text) {
  Result<std::string> minified = minify_and_validate_json(text);
  return minified.ok() ? *minified.value : std::string();
}

class DeviceOnCameraTest : public morvane::testing::VirtualCameraTest {
 protected:
  static FlashConfig derived_config(const DeviceInfo& info) {
    FlashConfig config;
    char vidpid[9];
    std::snprintf(vidpid, sizeof vidpid, "%04x%04x", info.vid, info.pid);
    config.vidpid = vidpid;
    config.bus_number = info.bus_number;
    config.device_address = info.device_address;
    return config;
  }
  DeviceInfo scanned() {
    Result<std::vector<DeviceInfo>> devices = scan_devices();
    EXPECT_TRUE(devices.ok()) << devices.message;
    if (!devices.ok() || devices.value->empty()) {
      ADD_FAILURE() << "the scan found no camera";
      return {};
    }
    return devices.value->front();
  }

  Result<Device> open_scanned(std::uint32_t bits) { return open_device(scanned(), caps(bits)); }

  void store_document(const std::string& json, std::uint16_t version = 0) {
    Result<FlashBlob> blob = build_blob(version, std::vector<std::uint8_t>(json.begin(), json.end()), FlashConfig{});
    ASSERT_TRUE(blob.ok());
    camera().load_flash(0x51000, blob.value->raw);
  }
};

TEST_F(DeviceOnCameraTest, OpenWithEachCapabilitySet) {
  store_document("{\"stored\": [1, 2]}", 3);
  const DeviceInfo info = scanned();
  EXPECT_EQ(info.vid, 0x0c45);
  EXPECT_EQ(info.pid, 0x0643);
  EXPECT_EQ(info.video_node, "/dev/video0");

  struct Case {
    std::uint32_t bits;
    bool touches_flash;
    bool flash;
  };
  for (const Case& c : {Case{0x0, false, false}, Case{0x1, true, true}, Case{0x2, false, false}, Case{0x3, true, true},
                        Case{0x4, true, true}, Case{0x5, true, true}, Case{0x6, true, true}, Case{0x7, true, true}}) {
    SCOPED_TRACE(c.bits);
    const std::uint64_t before = camera().transfer_count();
    Result<Device> device = open_device(info, caps(c.bits));
    ASSERT_TRUE(device.ok()) << device.message;
    EXPECT_EQ(camera().transfer_count() > before, c.touches_flash);
    EXPECT_EQ(device.value->has_flash_transport(), c.flash);
    EXPECT_FALSE(device.value->has_imu_transport());
    EXPECT_EQ(device.value->info().serial, info.serial);
    EXPECT_EQ(device.value->info().opencv_indices, info.opencv_indices);
  }
  EXPECT_TRUE(rig().clean()) << "a device holds no USB connection between calls";
}

TEST_F(DeviceOnCameraTest, OpenForwardsFlashFailuresUnchanged) {
  const DeviceInfo info = scanned();
  // Erased flash: the document check fails, the probe does not.
  camera().load_flash(0x51000, std::vector<std::uint8_t>(64, 0xFF));
  Result<Device> json = open_device(info, caps(DeviceCapability::flash_json));
  EXPECT_EQ(json.code, ErrorCode::magic_mismatch);
  EXPECT_EQ(json.message, "flash magic mismatch");
  EXPECT_FALSE(json.value.has_value());
  EXPECT_TRUE(open_device(info, caps(DeviceCapability::flash)).ok());

  // A stored payload that is not JSON.
  store_document("{broken");
  Result<Device> broken = open_device(info, caps(DeviceCapability::flash_json | DeviceCapability::flash));
  EXPECT_EQ(broken.code, ErrorCode::invalid_json);
  EXPECT_EQ(broken.message, "invalid JSON value at offset 1");

  camera().unplug();
  Result<Device> gone = open_device(info, caps(DeviceCapability::flash));
  EXPECT_EQ(gone.code, ErrorCode::device_unavailable);
  EXPECT_EQ(gone.message, "SonixCam_Init failed");
  // Without flash bits the camera is not needed.
  EXPECT_TRUE(open_device(info, caps(DeviceCapability::imu)).ok());
  EXPECT_TRUE(rig().clean());
}

TEST_F(DeviceOnCameraTest, WriteThenReadRealisticDocument) {
  Result<Device> device_opened = open_scanned(DeviceCapability::flash);
  ASSERT_TRUE(device_opened.ok()) << device_opened.message;
  Device device = std::move(*device_opened.value);
  const std::string document = calibration_document();
  ASSERT_GE(document.size(), 2000u);
  store_document("{\"older\":1}", 5);

  std::uint64_t t = clock().now_ns();
  Result<void> written = device.write_json(document);
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_GE(clock().now_ns() - t, 100'000'000u);

  Result<ReadJsonResult> read = device.read_json();
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.value->version, 0) << "write_json always stores version 0";
  EXPECT_EQ(read.value->json, compact(document));
  EXPECT_LT(read.value->json.size(), document.size());
  EXPECT_EQ(read.value->json.find('\n'), std::string::npos);

  // A device opened without flash bits may still use the flash.
  Result<Device> bare_opened = open_scanned(0);
  ASSERT_TRUE(bare_opened.ok()) << bare_opened.message;
  Device bare = std::move(*bare_opened.value);
  Result<ReadJsonResult> again = bare.read_json();
  ASSERT_TRUE(again.ok()) << again.message;
  EXPECT_EQ(again.value->json, compact(document));
  EXPECT_TRUE(rig().clean());
}

// Writes refuse text that is not UTF-8 before touching the camera; a
// document stored that way earlier still reads, byte for byte.
TEST_F(DeviceOnCameraTest, WritesRefuseInvalidUtf8AndStoredBytesStillRead) {
  store_document("{\"a\": \"\xff\"}");
  Result<Device> device = open_scanned(0);
  ASSERT_TRUE(device.ok()) << device.message;
  Result<ReadJsonResult> stored = device.value->read_json();
  ASSERT_TRUE(stored.ok()) << stored.message;
  EXPECT_EQ(stored.value->json, "{\"a\":\"\xff\"}");
  const std::uint64_t before = camera().transfer_count();
  Result<void> written = device.value->write_json("{\"a\": \"\xc3\"}");
  EXPECT_EQ(written.code, ErrorCode::invalid_json);
  EXPECT_EQ(written.message, "invalid UTF-8 at offset 7");
  EXPECT_EQ(camera().transfer_count(), before);
}

// A backup taken before a write puts the factory document back byte for byte.
TEST_F(DeviceOnCameraTest, BlobBackupRestoresTheDocumentAWriteReplaced) {
  store_document("{\"fx\": 612.4, \"fy\": 611.9}", 7);
  Result<Device> device = open_scanned(0);
  ASSERT_TRUE(device.ok()) << device.message;
  Result<FlashBlob> backup = device.value->read_blob();
  ASSERT_TRUE(backup.ok()) << backup.message;
  EXPECT_EQ(backup.value->version, 7);
  ASSERT_TRUE(device.value->write_json("{\"fx\": 600}").ok());
  ASSERT_TRUE(write_blob_to_device(derived_config(device.value->info()), *backup.value).ok());
  Result<ReadJsonResult> back = device.value->read_json();
  ASSERT_TRUE(back.ok()) << back.message;
  EXPECT_EQ(back.value->version, 7);
  EXPECT_EQ(back.value->json, "{\"fx\":612.4,\"fy\":611.9}");
  ASSERT_TRUE(device.value->open_imu().ok());
  EXPECT_EQ(device.value->read_blob().message, "IMU must be closed before flash JSON access");
}

TEST_F(DeviceOnCameraTest, StoredSizeLimitAppliesToTheCompactDocument) {
  store_document("{\"kept\":1}", 2);
  Result<Device> device_opened = open_scanned(DeviceCapability::flash);
  ASSERT_TRUE(device_opened.ok()) << device_opened.message;
  Device device = std::move(*device_opened.value);

  // 65521 compact bytes do not fit the 64 KiB blob next to a 16-byte header:
  // refused before the camera is touched, without the pause, and the stored
  // document is left as it was.
  const std::string oversized = "\"" + std::string(65519, 'a') + "\"";
  std::uint64_t transfers = camera().transfer_count();
  std::uint64_t t = clock().now_ns();
  Result<void> refused = device.write_json(oversized);
  EXPECT_EQ(refused.code, ErrorCode::invalid_length);
  EXPECT_EQ(refused.message, "payload is too large");
  EXPECT_EQ(camera().transfer_count(), transfers);
  EXPECT_EQ(clock().now_ns(), t);
  Result<ReadJsonResult> kept = device.read_json();
  ASSERT_TRUE(kept.ok()) << kept.message;
  EXPECT_EQ(kept.value->json, "{\"kept\":1}");
  EXPECT_EQ(kept.value->version, 2);

  // A text far above the limit whose compact form is small is stored: the
  // limit is about what lands in the flash, not about the caller's layout.
  const std::string padded = "{ \"a\" :" + std::string(70000, ' ') + "[ 1 ,\n\t2 ] }";
  Result<void> written = device.write_json(padded);
  ASSERT_TRUE(written.ok()) << written.message;
  Result<ReadJsonResult> read = device.read_json();
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.value->json, "{\"a\":[1,2]}");
  EXPECT_EQ(read.value->version, 0);
  EXPECT_TRUE(rig().clean());
}

TEST_F(DeviceOnCameraTest, FailedWriteIsForwardedWithoutThePause) {
  Result<Device> device_opened = open_scanned(DeviceCapability::flash);
  ASSERT_TRUE(device_opened.ok()) << device_opened.message;
  Device device = std::move(*device_opened.value);
  camera().unplug();

  // The same failed connection through the flash layer alone sets the cost
  // of the attempt; the device adds nothing to it.
  FlashConfig config;
  char vidpid[9];
  std::snprintf(vidpid, sizeof vidpid, "%04x%04x", device.info().vid, device.info().pid);
  config.vidpid = vidpid;
  config.auto_select = false;
  config.bus_number = device.info().bus_number;
  config.device_address = device.info().device_address;
  std::uint64_t t = clock().now_ns();
  ASSERT_EQ(probe_flash_transport(config).message, "SonixCam_Init failed");
  const std::uint64_t attempt = clock().now_ns() - t;

  t = clock().now_ns();
  Result<void> written = device.write_json("{\"a\":1}");
  EXPECT_EQ(written.code, ErrorCode::device_unavailable);
  EXPECT_EQ(written.message, "SonixCam_Init failed");
  EXPECT_EQ(clock().now_ns() - t, attempt) << "no pause after a failed write";
  EXPECT_TRUE(rig().clean());
}

TEST_F(DeviceOnCameraTest, ImuOpenBlocksFlashDocumentAccessUntilClosed) {
  store_document("{\"a\":1}");
  Result<Device> device_opened = open_scanned(DeviceCapability::flash);
  ASSERT_TRUE(device_opened.ok()) << device_opened.message;
  Device device = std::move(*device_opened.value);
  ASSERT_TRUE(device.open_imu().ok());
  EXPECT_TRUE(device.has_imu_transport());
  EXPECT_EQ(platform().open_video_fd_count(), 1u);

  const std::uint64_t before = camera().transfer_count();
  Result<ReadJsonResult> read = device.read_json();
  EXPECT_EQ(read.code, ErrorCode::invalid_argument);
  EXPECT_EQ(read.message, "IMU must be closed before flash JSON access");
  Result<void> write = device.write_json("{\"b\":2}");
  EXPECT_EQ(write.code, ErrorCode::invalid_argument);
  EXPECT_EQ(write.message, "IMU must be closed before flash JSON access");
  // Even an invalid document gets the state refusal first.
  EXPECT_EQ(device.write_json("").message, "IMU must be closed before flash JSON access");
  EXPECT_EQ(camera().transfer_count(), before);

  // A second open is a no-op: no gate, no second node.
  const std::uint64_t t = clock().now_ns();
  EXPECT_TRUE(device.open_imu().ok());
  EXPECT_EQ(clock().now_ns(), t);
  EXPECT_EQ(camera().transfer_count(), before);
  EXPECT_EQ(platform().open_video_fd_count(), 1u);

  ASSERT_TRUE(device.close_imu().ok());
  EXPECT_EQ(platform().open_video_fd_count(), 0u);
  EXPECT_TRUE(device.has_imu_transport()) << "the IMU bit stays once opened";
  EXPECT_EQ(device.read_imu().message, "IMU is not open");
  Result<ReadJsonResult> after = device.read_json();
  ASSERT_TRUE(after.ok()) << after.message;
  EXPECT_EQ(after.value->json, "{\"a\":1}");
  EXPECT_TRUE(device.close_imu().ok());
  EXPECT_TRUE(rig().clean());
}

TEST_F(DeviceOnCameraTest, ImuSamplesAreDecodedAndConverted) {
  Result<Device> device_opened = open_scanned(DeviceCapability::imu);
  ASSERT_TRUE(device_opened.ok()) << device_opened.message;
  Device device = std::move(*device_opened.value);
  ASSERT_TRUE(device.open_imu().ok());
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const emulator::ImuSample expected = camera().next_imu_sample_preview();
    const std::uint64_t t = clock().now_ns();
    Result<ReadImuResult> raw = device.read_imu();
    ASSERT_TRUE(raw.ok()) << raw.message;
    EXPECT_EQ(raw.value->temperature_raw, expected.temperature);
    for (int axis = 0; axis < 3; ++axis) {
      EXPECT_EQ(raw.value->accel_raw[axis], expected.accel[axis]);
      EXPECT_EQ(raw.value->gyro_raw[axis], expected.gyro[axis]);
    }
    EXPECT_EQ(raw.value->sensor_timestamp, expected.counter & 0xFFFFFu);
    EXPECT_GE(raw.value->timestamp_ns, t);
    EXPECT_LE(raw.value->timestamp_ns, clock().now_ns());

    Result<ImuSample> sample = convert_imu(*raw.value, ImuConversionOptions{});
    ASSERT_TRUE(sample.ok()) << sample.message;
    EXPECT_DOUBLE_EQ(sample.value->temperature_c, expected.temperature / 128.0 + 25.0);
    EXPECT_DOUBLE_EQ(sample.value->accel_g[2], expected.accel[2] / 2048.0);
    EXPECT_DOUBLE_EQ(sample.value->gyro_dps[0], expected.gyro[0] / 16.4);
    EXPECT_EQ(sample.value->timestamp_ns, raw.value->timestamp_ns);
  }
  EXPECT_EQ(camera().imu_samples_served(), 3u);

  camera().fail_next_imu_samples(1, emulator::ImuStatus::init_failure);
  Result<ReadImuResult> init = device.read_imu();
  EXPECT_EQ(init.code, ErrorCode::device_unavailable);
  EXPECT_EQ(init.message, "IMU device reported initialization failure");
  camera().fail_next_imu_samples(1, emulator::ImuStatus::read_failure);
  Result<ReadImuResult> failed = device.read_imu();
  EXPECT_EQ(failed.code, ErrorCode::read_failed);
  EXPECT_EQ(failed.message, "IMU device reported read failure");
  EXPECT_TRUE(device.read_imu().ok()) << "a failed sample leaves the IMU usable";
}

TEST_F(DeviceOnCameraTest, FailedImuOpenLeavesTheDeviceAsItWas) {
  Result<Device> device_opened = open_scanned(DeviceCapability::flash);
  ASSERT_TRUE(device_opened.ok()) << device_opened.message;
  Device device = std::move(*device_opened.value);
  // Firmware without the pattern: field 4 of chip 0x83 starts the text.
  camera().load_flash(0x200A, std::vector<std::uint8_t>(5, 0));
  Result<void> refused = device.open_imu();
  EXPECT_EQ(refused.code, ErrorCode::unsupported);
  EXPECT_EQ(refused.message, "IMU is not supported by this device");
  EXPECT_FALSE(device.has_imu_transport());
  EXPECT_TRUE(device.has_flash_transport());
  EXPECT_EQ(device.read_imu().message, "IMU is not open");
  EXPECT_EQ(platform().open_video_fd_count(), 0u);
  EXPECT_TRUE(rig().clean());
}

class LockedNodeDeviceTest : public DeviceOnCameraTest {
 protected:
  std::vector<emulator::CameraConfig> make_configs() override {
    emulator::CameraConfig config = morvane::testing::default_camera_config();
    config.video_nodes_accessible = false;
    return {config};
  }
};

TEST_F(LockedNodeDeviceTest, NodeThatCannotBeOpenedGivesTheSystemError) {
  DeviceInfo info = supported_camera();
  info.bus_number = camera().config().bus_number;
  info.device_address = camera().device_address();
  Result<Device> device = open_device(info, caps(0));
  ASSERT_TRUE(device.ok());
  Result<void> imu = device.value->open_imu();
  EXPECT_EQ(imu.code, ErrorCode::io_error);
  EXPECT_EQ(imu.message, std::string("open /dev/video0 failed: ") + std::strerror(EACCES));
  EXPECT_FALSE(device.value->has_imu_transport());
  EXPECT_TRUE(rig().clean());
}

// Two cameras: a flash connection re-binds the camera's video driver, which
// ends the IMU reader of any other device object on that same camera.
class TwoCameraDeviceTest : public DeviceOnCameraTest {
 protected:
  std::vector<emulator::CameraConfig> make_configs() override {
    return {morvane::testing::default_camera_config(0), morvane::testing::default_camera_config(1)};
  }
  Result<Device> open_index(std::size_t index) {
    Result<std::vector<DeviceInfo>> devices = scan_devices();
    if (!devices.ok() || devices.value->size() <= index) return Result<Device>::failure(ErrorCode::io_error, "scan");
    return open_device((*devices.value)[index], caps(DeviceCapability::imu));
  }
};

TEST_F(TwoCameraDeviceTest, MovingAndDestroyingCloseTheImuNode) {
  Result<Device> first_opened = open_index(0);
  ASSERT_TRUE(first_opened.ok()) << first_opened.message;
  Device first = std::move(*first_opened.value);
  ASSERT_TRUE(first.open_imu().ok());
  Result<Device> second_opened = open_index(1);
  ASSERT_TRUE(second_opened.ok()) << second_opened.message;
  Device second = std::move(*second_opened.value);
  ASSERT_TRUE(second.open_imu().ok());
  EXPECT_EQ(platform().open_video_fd_count(), 2u);

  // The target's old IMU node is closed; the moved reader keeps working.
  second = std::move(first);
  EXPECT_EQ(platform().open_video_fd_count(), 1u);
  Result<ReadImuResult> moved_sample = second.read_imu();
  EXPECT_TRUE(moved_sample.ok()) << moved_sample.message;
  EXPECT_EQ(camera(0).imu_samples_served(), 1u);
  EXPECT_EQ(second.info().video_node, "/dev/video0");
  EXPECT_EQ(first.read_imu().message, "device is closed or moved-from");
  {
    Device third = std::move(second);
    EXPECT_EQ(platform().open_video_fd_count(), 1u);
  }
  EXPECT_EQ(platform().open_video_fd_count(), 0u);
  EXPECT_TRUE(rig().clean());
}

}  // namespace
}  // namespace morvane::uvc_stereo

namespace morvane::uvc_stereo {
namespace {

// A copy of a record that the attached cameras contradict would reach
// another camera's flash or IMU: refused before anything is touched.
TEST_F(TwoCameraDeviceTest, StaleRecordsAreRefusedAndLeftCamerasAreNotConnected) {
  Result<std::vector<DeviceInfo>> scan = scan_devices();
  ASSERT_TRUE(scan.ok());
  ASSERT_EQ(scan.value->size(), 2u);
  const DeviceInfo first = (*scan.value)[0], second = (*scan.value)[1];
  DeviceInfo other_serial = first;
  other_serial.serial = second.serial;
  DeviceInfo other_address = first;
  other_address.bus_number = second.bus_number;
  other_address.device_address = second.device_address;
  DeviceInfo other_node = first;
  other_node.video_node = second.video_node;
  struct Case {
    const char* what;
    DeviceInfo record;
    const char* message;  // empty: opens
  };
  const std::vector<Case> cases = {
      {"as scanned", first, ""},
      {"another camera's serial", other_serial,
       "the camera at bus 1 address 4 has serial 'SN0001', not the record's 'SN1002': the record is stale, scan again"},
      {"another camera's bus and address", other_address,
       "the camera at bus 2 address 4 has serial 'SN1002', not the record's 'SN0001': the record is stale, scan again"},
      {"another camera's video node", other_node,
       "video node /dev/video2 belongs to another camera (serial 'SN1002', bus 2 address 4): the record is stale, "
       "scan again"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint64_t before = camera(0).transfer_count() + camera(1).transfer_count();
    Result<Device> opened = open_device(c.record, caps(DeviceCapability::flash | DeviceCapability::imu));
    EXPECT_EQ(opened.message, c.message);
    EXPECT_EQ(opened.code, *c.message ? ErrorCode::device_unavailable : ErrorCode::ok);
    if (*c.message) {
      EXPECT_EQ(camera(0).transfer_count() + camera(1).transfer_count(), before);
    }
  }

  Result<Device> opened = open_device(first, caps(0));
  ASSERT_TRUE(opened.ok()) << opened.message;
  EXPECT_TRUE(opened.value->is_connected());
  camera(0).set_kernel_driver_bound(false);  // as during a flash operation
  EXPECT_TRUE(opened.value->is_connected());
  camera(0).set_kernel_driver_bound(true);
  camera(0).replug();  // a new address: the old record is stale now
  EXPECT_FALSE(opened.value->is_connected());
  Result<Device> moved = open_device(first, caps(0));
  EXPECT_EQ(moved.code, ErrorCode::device_unavailable);
  EXPECT_EQ(moved.message,
            "the camera with serial 'SN0001' is now at bus 1 address 5, not at the record's bus 1 address 4: the "
            "record is stale, scan again");
  camera(0).unplug();
  EXPECT_FALSE(opened.value->is_connected());
  EXPECT_TRUE(open_device(first, caps(0)).ok()) << "a camera that is not attached opens without flash bits";
  Device gone = std::move(*opened.value);
  EXPECT_FALSE(opened.value->is_connected()) << "moved-from";
  EXPECT_TRUE(rig().clean());
}

}  // namespace
}  // namespace morvane::uvc_stereo
