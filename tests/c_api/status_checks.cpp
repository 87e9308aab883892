// The C functions' argument checks and their order, the reporting rules, the
// record conversions and the exception barrier, on a machine without camera.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "c_api/c_api_internal.hpp"
#include "c_api/no_camera_platform.hpp"
#include "morvane/uvc_stereo.h"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "platform/platform.hpp"

#include "c_api/failing_allocator.hpp"

namespace {

namespace uvc = morvane::uvc_stereo;
namespace c_api = morvane::uvc_stereo::c_api;
using morvane::c_api_test::NoCameraPlatform;

using morvane::c_api_test::AllocationsFail;

std::string thread_text() {
  const char* text = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(morvane_uvc_stereo_last_error_message(&text, &length), 0);
  if (text == nullptr) return "<null>";
  EXPECT_EQ(text[length], '\0');
  return std::string(text, length);
}

std::string context_text(morvane_uvc_stereo_ctx_t* ctx) {
  const char* text = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(morvane_uvc_stereo_ctx_last_error_message(ctx, &text, &length), 0);
  return text != nullptr ? std::string(text, length) : "<null>";
}

morvane_uvc_stereo_device_info_t record(std::uint16_t vid = 0x0c45, std::uint16_t pid = 0x0643) {
  morvane_uvc_stereo_device_info_t info;
  std::memset(&info, 0, sizeof info);
  info.vid = vid;
  info.pid = pid;
  return info;
}

void add_index(morvane_uvc_stereo_device_info_t& info, std::int32_t backend, std::int32_t index) {
  info.opencv_indices[info.opencv_index_count].backend = backend;
  info.opencv_indices[info.opencv_index_count].index = index;
  ++info.opencv_index_count;
}

struct DeviceCloser {
  void operator()(morvane_uvc_stereo_device_t* d) const { morvane_uvc_stereo_close_device(d); }
};
using DeviceHandle = std::unique_ptr<morvane_uvc_stereo_device_t, DeviceCloser>;
struct ContextDestroyer {
  void operator()(morvane_uvc_stereo_ctx_t* c) const { morvane_uvc_stereo_ctx_destroy(c); }
};
using ContextHandle = std::unique_ptr<morvane_uvc_stereo_ctx_t, ContextDestroyer>;

class CApiTest : public ::testing::Test {
 protected:
  // A handle opened without touching the device (no capability asked for).
  DeviceHandle open_untouched(const morvane_uvc_stereo_device_info_t& info = record()) {
    morvane_uvc_stereo_open_device_options_t options{0};
    morvane_uvc_stereo_device_t* device = nullptr;
    EXPECT_EQ(morvane_uvc_stereo_open_device(&info, &options, &device), 0) << thread_text();
    return DeviceHandle(device);
  }
  ContextHandle make_context() {
    morvane_uvc_stereo_ctx_t* ctx = nullptr;
    EXPECT_EQ(morvane_uvc_stereo_ctx_create(nullptr, &ctx), 0);
    return ContextHandle(ctx);
  }

  NoCameraPlatform os_;
  uvc::platform::ScopedPlatform installed_{os_};
};

// ---- open_device: which check wins.

TEST_F(CApiTest, OpenDeviceChecksRunInTheirOrder) {
  auto* const sentinel = reinterpret_cast<morvane_uvc_stereo_device_t*>(&os_);
  morvane_uvc_stereo_device_t* out = sentinel;

  EXPECT_EQ(morvane_uvc_stereo_open_device(nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(thread_text(), "out_device is null");

  EXPECT_EQ(morvane_uvc_stereo_open_device(nullptr, nullptr, &out), 1);
  EXPECT_EQ(thread_text(), "device is null");
  EXPECT_EQ(out, nullptr);

  // The ids are checked before the index entries, and both before the
  // options (unknown capability bits are the open's own check).
  morvane_uvc_stereo_open_device_options_t bad_options{8};
  auto info = record(0x0c45, 0);
  info.opencv_index_count = 9;
  out = sentinel;
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, &bad_options, &out), 1);
  EXPECT_EQ(thread_text(), "device vid/pid is invalid");
  EXPECT_EQ(out, nullptr);
  info = record(0, 0x0643);
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, nullptr, &out), 1);
  EXPECT_EQ(thread_text(), "device vid/pid is invalid");

  info = record();
  info.opencv_index_count = 9;
  info.opencv_indices[0] = {1500, -1};
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, &bad_options, &out), 1);
  EXPECT_EQ(thread_text(), "opencv backend index count is too large");
  info.opencv_index_count = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, nullptr, &out), 1);
  EXPECT_EQ(thread_text(), "opencv backend index count is too large");

  // Per entry: backend, then index, then duplicate; entries in order.
  struct Case {
    std::vector<std::pair<std::int32_t, std::int32_t>> entries;
    const char* message;
  };
  const Case cases[] = {
      {{{1500, -1}}, "unsupported opencv backend"},
      {{{200, -1}}, "opencv backend index is negative"},
      {{{200, 0}, {200, 1}}, "duplicated opencv backend entry"},
      {{{200, 0}, {200, -1}}, "opencv backend index is negative"},
      {{{200, 0}, {0, 0}, {200, 0}}, "unsupported opencv backend"},
      {{{700, 0}, {1400, 1}, {1800, 2}, {700, 3}}, "duplicated opencv backend entry"},
      {{{200, 0}, {200, 1}, {1500, 0}}, "duplicated opencv backend entry"},
  };
  for (const Case& c : cases) {
    info = record();
    for (const auto& [backend, index] : c.entries) add_index(info, backend, index);
    out = sentinel;
    EXPECT_EQ(morvane_uvc_stereo_open_device(&info, &bad_options, &out), 1) << c.message;
    EXPECT_EQ(thread_text(), c.message);
    EXPECT_EQ(out, nullptr);
  }

  // A valid record reaches the open, whose own check then speaks.
  info = record();
  add_index(info, 200, 0);
  add_index(info, 1800, 0);
  out = sentinel;
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, &bad_options, &out), 1);
  EXPECT_EQ(thread_text(), "open_device required_capabilities contains unknown bits");
  EXPECT_EQ(out, nullptr);
}

TEST_F(CApiTest, OpenDevicePassesFlashFailuresThroughUnchanged) {
  // Without options the flash is probed (capability 1); no camera answers.
  uvc::DeviceInfo core_info;
  core_info.vid = 0x0c45;
  core_info.pid = 0x0643;
  const auto expected = uvc::open_device(core_info, uvc::OpenDeviceOptions{});
  ASSERT_FALSE(expected.ok());

  auto info = record();
  morvane_uvc_stereo_device_t* out = nullptr;
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, nullptr, &out), c_api::status_of(expected.code));
  EXPECT_EQ(thread_text(), expected.message);
  EXPECT_EQ(out, nullptr);

  morvane_uvc_stereo_open_device_options_t json_options{MORVANE_UVC_STEREO_CAPABILITY_FLASH_JSON};
  const auto expected_json = uvc::open_device(core_info, uvc::OpenDeviceOptions{0x4});
  ASSERT_FALSE(expected_json.ok());
  EXPECT_EQ(morvane_uvc_stereo_open_device(&info, &json_options, &out), c_api::status_of(expected_json.code));
  EXPECT_EQ(thread_text(), expected_json.message);
  EXPECT_EQ(out, nullptr);
}

// ---- Device functions on an opened handle.

TEST_F(CApiTest, DeviceFunctionsCheckTheHandleFirst) {
  morvane_uvc_stereo_device_info_t info_out;
  morvane_uvc_stereo_read_imu_result_t raw;
  std::uint16_t version = 0;
  char* json = nullptr;
  std::size_t length = 0;

  EXPECT_EQ(morvane_uvc_stereo_device_info(nullptr, nullptr), 1);
  EXPECT_EQ(thread_text(), "device is null");
  EXPECT_EQ(morvane_uvc_stereo_device_read_json(nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(thread_text(), "device is null");
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(nullptr, nullptr, 0), 1);
  EXPECT_EQ(thread_text(), "device is null");
  EXPECT_EQ(morvane_uvc_stereo_device_open_imu(nullptr), 1);
  EXPECT_EQ(thread_text(), "device is null");
  EXPECT_EQ(morvane_uvc_stereo_device_read_imu(nullptr, nullptr), 1);
  EXPECT_EQ(thread_text(), "device is null");
  EXPECT_EQ(morvane_uvc_stereo_device_close_imu(nullptr), 1);
  EXPECT_EQ(thread_text(), "device is null");

  auto device = open_untouched();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(morvane_uvc_stereo_device_info(device.get(), nullptr), 1);
  EXPECT_EQ(thread_text(), "out_device_info is null");
  for (int missing = 0; missing < 3; ++missing) {
    EXPECT_EQ(morvane_uvc_stereo_device_read_json(device.get(), missing == 0 ? nullptr : &version,
                                                  missing == 1 ? nullptr : &json, missing == 2 ? nullptr : &length),
              1);
    EXPECT_EQ(thread_text(), "out_version/out_json_utf8/out_json_utf8_len is null");
  }
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(device.get(), nullptr, 5), 1);
  EXPECT_EQ(thread_text(), "json_utf8 is null");
  EXPECT_EQ(morvane_uvc_stereo_device_read_imu(device.get(), nullptr), 1);
  EXPECT_EQ(thread_text(), "out_result is null");

  // Outputs are reset before the core is asked; "IMU is not open" is the core's.
  std::memset(&raw, 0x6B, sizeof raw);
  EXPECT_EQ(morvane_uvc_stereo_device_read_imu(device.get(), &raw), 1);
  EXPECT_EQ(thread_text(), "IMU is not open");
  const morvane_uvc_stereo_read_imu_result_t zero{};
  EXPECT_EQ(std::memcmp(&raw, &zero, sizeof raw), 0);

  std::memset(&info_out, 0x6B, sizeof info_out);
  EXPECT_EQ(morvane_uvc_stereo_device_info(device.get(), &info_out), 0);
  EXPECT_EQ(thread_text(), "");
  EXPECT_EQ(info_out.vid, 0x0c45);
  EXPECT_EQ(info_out.serial[0], '\0');
  EXPECT_EQ(info_out.opencv_index_count, 0u);
  EXPECT_EQ(info_out.opencv_indices[7].backend, 0);
}

TEST_F(CApiTest, FlashFailuresReachTheCallerAndResetTheOutputs) {
  // The same record through the C++ interface gives the expected outcome.
  uvc::DeviceInfo core_info;
  core_info.vid = 0x0c45;
  core_info.pid = 0x0643;
  auto core_device = uvc::open_device(core_info, uvc::OpenDeviceOptions{0});
  ASSERT_TRUE(core_device.ok()) << core_device.message;
  const auto expected_read = core_device->read_json();
  ASSERT_FALSE(expected_read.ok());
  const auto expected_write = core_device->write_json("{\"a\":1}");
  ASSERT_FALSE(expected_write.ok());

  auto device = open_untouched();
  ASSERT_NE(device, nullptr);
  std::uint16_t version = 77;
  char* json = reinterpret_cast<char*>(&version);
  std::size_t length = 77;
  EXPECT_EQ(morvane_uvc_stereo_device_read_json(device.get(), &version, &json, &length),
            c_api::status_of(expected_read.code));
  EXPECT_EQ(thread_text(), expected_read.message);
  EXPECT_EQ(version, 0);
  EXPECT_EQ(json, nullptr);
  EXPECT_EQ(length, 0u);

  // Length 0: the text is taken up to its NUL, so the trailing "x" counts.
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(device.get(), "{\"a\":1} x", 0), MORVANE_UVC_STEREO_INVALID_JSON);
  EXPECT_EQ(thread_text(), "unexpected trailing characters at offset 8");
  // An explicit length cuts the text: what is left is valid and goes to the flash.
  EXPECT_EQ(morvane_uvc_stereo_device_write_json(device.get(), "{\"a\":1} x", 7),
            c_api::status_of(expected_write.code));
  EXPECT_EQ(thread_text(), expected_write.message);
}

// ---- Conversion of IMU samples.

TEST_F(CApiTest, ConvertImuChecksAndZeroesItsOutput) {
  morvane_uvc_stereo_read_imu_result_t raw{};
  morvane_uvc_stereo_imu_sample_t sample;
  EXPECT_EQ(morvane_uvc_stereo_convert_imu(nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(thread_text(), "raw/out_result is null");
  EXPECT_EQ(morvane_uvc_stereo_convert_imu(nullptr, nullptr, &sample), 1);
  EXPECT_EQ(thread_text(), "raw/out_result is null");

  morvane_uvc_stereo_imu_conversion_options_t options;
  morvane_uvc_stereo_imu_conversion_options_init_default(&options);
  options.temperature_lsb_per_c = -0.0;
  std::memset(&sample, 0x6B, sizeof sample);
  raw.timestamp_ns = 5;
  EXPECT_EQ(morvane_uvc_stereo_convert_imu(&raw, &options, &sample), 1);
  EXPECT_EQ(thread_text(), "temperature_lsb_per_c must not be zero");
  EXPECT_EQ(sample.timestamp_ns, 0u);
  EXPECT_EQ(sample.gyro_dps[2], 0.0);

  // Every field reaches the core and comes back: compare with the C++ call.
  raw = {0x123456789ull, 0xABCDE, -1000, {1, -2, 3}, {-4, 5, -6}};
  options = {1.5, -64.0, 1000.0, 0.0};
  uvc::ReadImuResult core_raw{0x123456789ull, 0xABCDE, -1000, {1, -2, 3}, {-4, 5, -6}};
  const auto expected = uvc::convert_imu(core_raw, uvc::ImuConversionOptions{1.5, -64.0, 1000.0, 0.0});
  ASSERT_TRUE(expected.ok());
  ASSERT_EQ(morvane_uvc_stereo_convert_imu(&raw, &options, &sample), 0);
  EXPECT_EQ(thread_text(), "");
  EXPECT_EQ(sample.timestamp_ns, expected->timestamp_ns);
  EXPECT_EQ(sample.temperature_c, expected->temperature_c);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sample.accel_g[i], expected->accel_g[i]);
    EXPECT_EQ(sample.gyro_dps[i], expected->gyro_dps[i]);
  }
  EXPECT_EQ(sample.temperature_c, -1000.0 / -64.0 + 1.5);
  EXPECT_EQ(sample.accel_g[1], -0.002);
}

TEST_F(CApiTest, BackendNamesMatchTheCoreAndSetNoText) {
  EXPECT_EQ(morvane_uvc_stereo_ctx_create(nullptr, nullptr), 1);
  for (int backend : {0, -1, 199, 200, 201, 700, 1400, 1500, 1800, 1801, std::numeric_limits<int>::min()}) {
    EXPECT_EQ(std::string(morvane_uvc_stereo_opencv_backend_name(backend)),
              std::string(uvc::opencv_backend_name(static_cast<uvc::OpenCvBackend>(backend))))
        << backend;
  }
  EXPECT_EQ(thread_text(), "out_handle is null");
}

// ---- Scanning, contexts and the message functions.

class DevMissing : public NoCameraPlatform {
 public:
  bool path_exists(const std::string&) override {
    errno = ENOENT;
    return false;
  }
};

TEST_F(CApiTest, ScanReportsNoCameraWithEmptyOutputs) {
  morvane_uvc_stereo_device_info_t* devices = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(morvane_uvc_stereo_scan_devices(nullptr, &count), 1);
  EXPECT_EQ(thread_text(), "out_devices/out_count is null");
  EXPECT_EQ(morvane_uvc_stereo_scan_devices(&devices, nullptr), 1);
  EXPECT_EQ(thread_text(), "out_devices/out_count is null");

  devices = reinterpret_cast<morvane_uvc_stereo_device_info_t*>(&count);
  count = 3;
  EXPECT_EQ(morvane_uvc_stereo_scan_devices(&devices, &count), 2);
  EXPECT_EQ(thread_text(), "no devices found");
  EXPECT_EQ(devices, nullptr);
  EXPECT_EQ(count, 0u);

  DevMissing no_dev;
  uvc::platform::ScopedPlatform installed(no_dev);
  count = 3;
  EXPECT_EQ(morvane_uvc_stereo_scan_devices(&devices, &count), 2);
  EXPECT_EQ(thread_text(), "/dev not found");
  EXPECT_EQ(devices, nullptr);
  EXPECT_EQ(count, 0u);

  auto ctx = make_context();
  morvane_uvc_stereo_device_info_t info;
  std::memset(&info, 0x6B, sizeof info);
  EXPECT_EQ(morvane_uvc_stereo_ctx_scan(ctx.get(), &info), 2);
  EXPECT_EQ(thread_text(), "/dev not found");
  EXPECT_EQ(context_text(ctx.get()), "/dev not found");
  EXPECT_EQ(info.vid, 0);
  EXPECT_EQ(info.opencv_indices[7].index, 0);
}

TEST_F(CApiTest, ContextTextFollowsOnlyItsOwnCalls) {
  auto ctx = make_context();
  auto other = make_context();
  morvane_uvc_stereo_device_info_t info;

  EXPECT_EQ(morvane_uvc_stereo_ctx_scan(ctx.get(), &info), 2);
  EXPECT_EQ(thread_text(), "no devices found");
  EXPECT_EQ(context_text(ctx.get()), "no devices found");
  EXPECT_EQ(context_text(other.get()), "");

  // Thread-only failures leave every context alone.
  EXPECT_EQ(morvane_uvc_stereo_ctx_scan(nullptr, &info), 1);
  EXPECT_EQ(thread_text(), "handle is null");
  EXPECT_EQ(context_text(ctx.get()), "no devices found");
  const char* text = nullptr;
  EXPECT_EQ(morvane_uvc_stereo_ctx_last_error_message(ctx.get(), nullptr, nullptr), 1);
  EXPECT_EQ(thread_text(), "out_message/out_message_len is null");
  EXPECT_EQ(context_text(ctx.get()), "no devices found");

  EXPECT_EQ(morvane_uvc_stereo_ctx_scan(other.get(), nullptr), 1);
  EXPECT_EQ(context_text(other.get()), "out_device is null");
  EXPECT_EQ(context_text(ctx.get()), "no devices found");

  // Reading a text changes none; a successful call empties the thread's only.
  std::size_t length = 0;
  EXPECT_EQ(morvane_uvc_stereo_last_error_message(&text, &length), 0);
  EXPECT_EQ(morvane_uvc_stereo_last_error_message(&text, &length), 0);
  EXPECT_EQ(std::string(text, length), "out_device is null");
  morvane_uvc_stereo_imu_sample_t sample;
  morvane_uvc_stereo_read_imu_result_t raw{};
  EXPECT_EQ(morvane_uvc_stereo_convert_imu(&raw, nullptr, &sample), 0);
  EXPECT_EQ(morvane_uvc_stereo_last_error_message(&text, &length), 0);
  EXPECT_EQ(length, 0u);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(*text, '\0');
  EXPECT_EQ(context_text(other.get()), "out_device is null");
}

TEST_F(CApiTest, ContextConfigurationBecomesTheFlashSettings) {
  morvane_uvc_stereo_ctx_config_t config;
  morvane_uvc_stereo_ctx_config_init_default(&config);
  morvane_uvc_stereo_ctx_t* raw_ctx = reinterpret_cast<morvane_uvc_stereo_ctx_t*>(&config);
  ASSERT_EQ(morvane_uvc_stereo_ctx_create(&config, &raw_ctx), 0);
  ContextHandle ctx(raw_ctx);
  const uvc::FlashConfig defaults;
  const uvc::FlashConfig& made = ctx->flash_config;
  EXPECT_EQ(made.flash_address, defaults.flash_address);
  EXPECT_EQ(made.sector_size, defaults.sector_size);
  EXPECT_EQ(made.magic, defaults.magic);
  EXPECT_EQ(made.max_total_length, defaults.max_total_length);
  EXPECT_EQ(made.min_header_size, defaults.min_header_size);
  EXPECT_EQ(made.max_header_size, defaults.max_header_size);
  EXPECT_EQ(made.verify_crc, defaults.verify_crc);
  EXPECT_EQ(made.verify_after_write, defaults.verify_after_write);
  EXPECT_TRUE(made.auto_select);
  EXPECT_TRUE(made.vidpid.empty());

  config = {0x1000, 0x200, 0x11223344, 0x2000, 32, 64, -7, 0};
  ASSERT_EQ(morvane_uvc_stereo_ctx_create(&config, &raw_ctx), 0);
  ContextHandle custom(raw_ctx);
  EXPECT_EQ(custom->flash_config.flash_address, 0x1000u);
  EXPECT_EQ(custom->flash_config.sector_size, 0x200u);
  EXPECT_EQ(custom->flash_config.magic, 0x11223344u);
  EXPECT_EQ(custom->flash_config.max_total_length, 0x2000u);
  EXPECT_EQ(custom->flash_config.min_header_size, 32);
  EXPECT_EQ(custom->flash_config.max_header_size, 64);
  EXPECT_TRUE(custom->flash_config.verify_crc);
  EXPECT_FALSE(custom->flash_config.verify_after_write);
  EXPECT_EQ(context_text(custom.get()), "");

  ASSERT_EQ(morvane_uvc_stereo_ctx_create(nullptr, &raw_ctx), 0);
  ContextHandle from_null(raw_ctx);
  EXPECT_EQ(from_null->flash_config.flash_address, defaults.flash_address);
  EXPECT_EQ(from_null->flash_config.verify_after_write, defaults.verify_after_write);
}

// ---- Record conversions and helpers.

TEST(CApiRecords, CoreRecordIsCutToTheFieldsAndSorted) {
  uvc::DeviceInfo info;
  info.vid = 0x0c45;
  info.pid = 0x0643;
  info.bus_number = 2;
  info.device_address = 200;
  info.serial = std::string(300, 's');
  info.vendor = std::string(255, 'v');
  info.model = std::string(256, 'm');
  info.video_node = std::string(600, 'n');
  info.usb_path = "pci-0000:00:14.0-usb-0:1:1.0";
  info.opencv_indices = {
      {uvc::OpenCvBackend::gstreamer, 3}, {uvc::OpenCvBackend::v4l2, 3}, {uvc::OpenCvBackend::msmf, 9}};
  morvane_uvc_stereo_device_info_t out;
  std::memset(&out, 0x6B, sizeof out);
  ASSERT_TRUE(c_api::to_c_record(info, out));
  EXPECT_EQ(out.vid, 0x0c45);
  EXPECT_EQ(out.pid, 0x0643);
  EXPECT_EQ(out.bus_number, 2);
  EXPECT_EQ(out.device_address, 200);
  EXPECT_EQ(std::string(out.serial), std::string(255, 's'));
  EXPECT_EQ(std::string(out.vendor), std::string(255, 'v'));
  EXPECT_EQ(std::string(out.model), std::string(255, 'm'));
  EXPECT_EQ(std::string(out.video_node), std::string(511, 'n'));
  EXPECT_EQ(std::string(out.usb_path), info.usb_path);
  EXPECT_EQ(out.usb_path[511], '\0');  // zeroed, not left over
  ASSERT_EQ(out.opencv_index_count, 3u);
  EXPECT_EQ(out.opencv_indices[0].backend, 200);
  EXPECT_EQ(out.opencv_indices[1].backend, 1400);
  EXPECT_EQ(out.opencv_indices[1].index, 9);
  EXPECT_EQ(out.opencv_indices[2].backend, 1800);
  EXPECT_EQ(out.opencv_indices[3].backend, 0);

  // A ninth entry does not fit: the texts are already there, no entry is.
  for (int b = 1; b <= 6; ++b) info.opencv_indices[static_cast<uvc::OpenCvBackend>(b)] = b;
  ASSERT_EQ(info.opencv_indices.size(), 9u);
  EXPECT_FALSE(c_api::to_c_record(info, out));
  EXPECT_EQ(std::string(out.serial), std::string(255, 's'));
  EXPECT_EQ(out.opencv_index_count, 0u);
  info.opencv_indices.erase(static_cast<uvc::OpenCvBackend>(1));
  EXPECT_TRUE(c_api::to_c_record(info, out));
  EXPECT_EQ(out.opencv_index_count, 8u);
  EXPECT_EQ(out.opencv_indices[0].backend, 2);
}

TEST(CApiRecords, CRecordTextsStopAtNulOrFieldEnd) {
  auto c = record(0x1234, 0x5678);
  c.bus_number = 7;
  c.device_address = 8;
  std::memset(c.serial, 'x', sizeof c.serial);  // no NUL at all
  std::memcpy(c.vendor, "ab\0cd", 5);
  std::memset(c.usb_path, 'p', sizeof c.usb_path);
  add_index(c, 1800, 4);
  add_index(c, 200, 5);
  const uvc::DeviceInfo info = c_api::from_c_record(c);
  EXPECT_EQ(info.vid, 0x1234);
  EXPECT_EQ(info.pid, 0x5678);
  EXPECT_EQ(info.bus_number, 7);
  EXPECT_EQ(info.device_address, 8);
  EXPECT_EQ(info.serial, std::string(256, 'x'));
  EXPECT_EQ(info.vendor, "ab");
  EXPECT_EQ(info.model, "");
  EXPECT_EQ(info.usb_path, std::string(512, 'p'));
  ASSERT_EQ(info.opencv_indices.size(), 2u);
  EXPECT_EQ(info.opencv_indices.at(uvc::OpenCvBackend::v4l2), 5);
  EXPECT_EQ(info.opencv_indices.at(uvc::OpenCvBackend::gstreamer), 4);
}

TEST(CApiRecords, StatusCodesAndArraySizes) {
  for (int code = 0; code <= 14; ++code) EXPECT_EQ(c_api::status_of(static_cast<uvc::ErrorCode>(code)), code);
  EXPECT_EQ(c_api::status_of(static_cast<uvc::ErrorCode>(15)), 13);
  EXPECT_EQ(c_api::status_of(static_cast<uvc::ErrorCode>(-1)), 13);
  EXPECT_EQ(c_api::status_of(static_cast<uvc::ErrorCode>(std::numeric_limits<std::int32_t>::min())), 13);

  std::size_t bytes = 1;
  const std::size_t size = sizeof(morvane_uvc_stereo_device_info_t);
  EXPECT_TRUE(c_api::array_bytes(3, size, bytes));
  EXPECT_EQ(bytes, 3 * size);
  const std::size_t limit = std::numeric_limits<std::size_t>::max() / size;
  EXPECT_TRUE(c_api::array_bytes(limit, size, bytes));
  EXPECT_FALSE(c_api::array_bytes(limit + 1, size, bytes));
  EXPECT_FALSE(c_api::array_bytes(std::numeric_limits<std::size_t>::max(), 2, bytes));
}

// ---- The exception barrier.

// /dev listing throws what the test chose.
class ThrowingPlatform : public NoCameraPlatform {
 public:
  enum class Throw { bad_alloc, runtime_error, integer };
  explicit ThrowingPlatform(Throw what) : what_(what) {}
  bool list_directory(const std::string&, std::vector<std::string>&) override {
    switch (what_) {
      case Throw::bad_alloc:
        throw std::bad_alloc();
      case Throw::runtime_error:
        throw std::runtime_error("directory listing exploded");
      case Throw::integer:
        throw 42;
    }
    return false;
  }

 private:
  Throw what_;
};

TEST_F(CApiTest, BarrierTurnsExceptionsIntoInternalError) {
  const struct {
    ThrowingPlatform::Throw what;
    std::string message;
  } cases[] = {
      {ThrowingPlatform::Throw::bad_alloc, std::bad_alloc().what()},  // not "out of memory" here
      {ThrowingPlatform::Throw::runtime_error, "directory listing exploded"},
      {ThrowingPlatform::Throw::integer, "unknown exception"},
  };
  auto ctx = make_context();
  for (const auto& c : cases) {
    ThrowingPlatform throwing(c.what);
    uvc::platform::ScopedPlatform installed(throwing);
    morvane_uvc_stereo_device_info_t* devices = reinterpret_cast<morvane_uvc_stereo_device_info_t*>(&throwing);
    std::size_t count = 5;
    EXPECT_EQ(morvane_uvc_stereo_scan_devices(&devices, &count), 13);
    EXPECT_EQ(thread_text(), c.message);
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0u);

    morvane_uvc_stereo_device_info_t info;
    EXPECT_EQ(morvane_uvc_stereo_ctx_scan(ctx.get(), &info), 13);
    EXPECT_EQ(thread_text(), c.message);
    EXPECT_EQ(context_text(ctx.get()), c.message);
  }
}

TEST_F(CApiTest, OutOfMemoryInCreateAndOpen) {
  morvane_uvc_stereo_ctx_t* ctx = reinterpret_cast<morvane_uvc_stereo_ctx_t*>(&os_);
  int rc = 0;
  {
    AllocationsFail fail;
    rc = morvane_uvc_stereo_ctx_create(nullptr, &ctx);
  }
  EXPECT_EQ(rc, 13);
  EXPECT_EQ(thread_text(), "out of memory");
  EXPECT_EQ(ctx, nullptr);

  // The record's long texts need memory before anything is opened; then
  // the handle itself: every step fails cleanly.
  auto info = record();
  std::memset(info.serial, 's', sizeof info.serial - 1);
  std::memset(info.usb_path, 'u', sizeof info.usb_path - 1);
  morvane_uvc_stereo_open_device_options_t options{0};
  bool opened = false;
  for (long budget = 0; budget < 64 && !opened; ++budget) {
    morvane_uvc_stereo_device_t* device = reinterpret_cast<morvane_uvc_stereo_device_t*>(&os_);
    {
      AllocationsFail fail(budget);
      rc = morvane_uvc_stereo_open_device(&info, &options, &device);
    }
    if (rc == 0) {
      opened = true;
      EXPECT_NE(device, nullptr);
      morvane_uvc_stereo_close_device(device);
    } else {
      EXPECT_EQ(rc, 13) << "budget " << budget;
      EXPECT_EQ(thread_text(), "out of memory") << "budget " << budget;
      EXPECT_EQ(device, nullptr);
    }
  }
  EXPECT_TRUE(opened) << "open_device never got the memory it needed";
}

TEST_F(CApiTest, TextThatCannotBeStoredReadsOutOfMemory) {
  // A fresh thread has room only for short texts. The listing throws a long
  // text and, from then on, every allocation of the thread fails: the
  // barrier cannot store the text, and must neither throw nor show garbage.
  const std::string long_text(200, 'e');
  struct LongThrow : NoCameraPlatform {
    explicit LongThrow(const std::string& t) : error(t) {}
    bool list_directory(const std::string&, std::vector<std::string>&) override {
      if (starve) morvane::c_api_test::set_allocation_budget(0);
      throw error;
    }
    std::runtime_error error;
    bool starve = true;
  } throwing(long_text);
  uvc::platform::ScopedPlatform installed(throwing);
  auto ctx = make_context();

  int rc = -1;
  std::string seen_thread;
  std::thread worker([&] {
    morvane_uvc_stereo_device_info_t info;
    rc = morvane_uvc_stereo_ctx_scan(ctx.get(), &info);
    morvane::c_api_test::set_allocation_budget(-1);
    seen_thread = thread_text();
  });
  worker.join();
  EXPECT_EQ(rc, 13);
  EXPECT_EQ(seen_thread, "out of memory");
  EXPECT_EQ(context_text(ctx.get()), "out of memory");

  // With memory back, the same failure is stored in full.
  throwing.starve = false;
  morvane_uvc_stereo_device_info_t info;
  EXPECT_EQ(morvane_uvc_stereo_ctx_scan(ctx.get(), &info), 13);
  EXPECT_EQ(thread_text(), long_text);
  EXPECT_EQ(context_text(ctx.get()), long_text);
}

}  // namespace
