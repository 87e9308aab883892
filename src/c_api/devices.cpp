// Device functions: scan, open and close, the flash document and the IMU.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "c_api/c_api_internal.hpp"
#include "morvane/uvc_stereo/discovery.hpp"

namespace uvc = morvane::uvc_stereo;
namespace c_api = morvane::uvc_stereo::c_api;

namespace {

constexpr char kDeviceIsNull[] = "device is null";

// Runs `body` with the handle's mutex held, inside the exception barrier.
template <typename Body>
int locked(morvane_uvc_stereo_device_t* device, Body&& body) noexcept {
  return c_api::guarded(nullptr, c_api::OnBadAlloc::what_text, [&] {
    std::lock_guard<std::mutex> lock(device->mutex);
    return body(device->device);
  });
}

// Reports a Result<void> of the core.
int report(const uvc::Result<void>& result) noexcept {
  return result.ok() ? c_api::report_success(nullptr) : c_api::report_result_failure(nullptr, result);
}

}  // namespace

extern "C" {

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_scan_devices(morvane_uvc_stereo_device_info_t** out_devices,
                                                             size_t* out_count) {
  if (out_devices == nullptr || out_count == nullptr) {
    return c_api::report_failure(nullptr, 1, "out_devices/out_count is null");
  }
  *out_devices = nullptr;
  *out_count = 0;
  return c_api::guarded(nullptr, c_api::OnBadAlloc::what_text, [&] {
    uvc::Result<std::vector<uvc::DeviceInfo>> scanned = uvc::scan_devices();
    if (!scanned.ok()) return c_api::report_result_failure(nullptr, scanned);
    const std::vector<uvc::DeviceInfo>& devices = *scanned;
    if (devices.empty()) return c_api::report_failure(nullptr, 2, "no devices found");
    std::size_t bytes = 0;
    if (!c_api::array_bytes(devices.size(), sizeof(morvane_uvc_stereo_device_info_t), bytes)) {
      return c_api::report_failure(nullptr, 13, "device list too large");
    }
    auto* array = static_cast<morvane_uvc_stereo_device_info_t*>(
        std::calloc(devices.size(), sizeof(morvane_uvc_stereo_device_info_t)));
    if (array == nullptr) return c_api::report_failure(nullptr, 13, "memory allocation failed");
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (!c_api::to_c_record(devices[i], array[i])) {
        std::free(array);
        return c_api::report_failure(nullptr, 13, "opencv backend index map is too large");
      }
    }
    *out_devices = array;
    *out_count = devices.size();
    return c_api::report_success(nullptr);
  });
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_open_device(const morvane_uvc_stereo_device_info_t* device,
                                                            const morvane_uvc_stereo_open_device_options_t* options,
                                                            morvane_uvc_stereo_device_t** out_device) {
  if (out_device == nullptr) return c_api::report_failure(nullptr, 1, "out_device is null");
  *out_device = nullptr;
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  if (const char* invalid = c_api::validate_c_record(*device)) return c_api::report_failure(nullptr, 1, invalid);
  return c_api::guarded(nullptr, c_api::OnBadAlloc::out_of_memory, [&] {
    const uvc::DeviceInfo info = c_api::from_c_record(*device);
    uvc::OpenDeviceOptions core_options;
    core_options.required_capabilities = options != nullptr ? options->required_capabilities : 1u;
    uvc::Result<uvc::Device> opened = uvc::open_device(info, core_options);
    if (!opened.ok()) return c_api::report_result_failure(nullptr, opened);
    // Should the handle not be allocated, the opened Device is destroyed here
    // with `opened`: nothing stays open.
    auto handle = std::make_unique<morvane_uvc_stereo_device_t>(std::move(*opened));
    *out_device = handle.release();
    return c_api::report_success(nullptr);
  });
}

MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_close_device(morvane_uvc_stereo_device_t* device) {
  // Destroying the Device closes an open IMU node; it does no flash or USB work.
  delete device;
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_info(morvane_uvc_stereo_device_t* device,
                                                            morvane_uvc_stereo_device_info_t* out_device_info) {
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  if (out_device_info == nullptr) return c_api::report_failure(nullptr, 1, "out_device_info is null");
  return locked(device, [&](uvc::Device& dev) {
    if (!c_api::to_c_record(dev.info(), *out_device_info)) {
      return c_api::report_failure(nullptr, 13, "opencv backend index map is too large");
    }
    return c_api::report_success(nullptr);
  });
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_read_json(morvane_uvc_stereo_device_t* device,
                                                                 uint16_t* out_version, char** out_json_utf8,
                                                                 size_t* out_json_utf8_len) {
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  if (out_version == nullptr || out_json_utf8 == nullptr || out_json_utf8_len == nullptr) {
    return c_api::report_failure(nullptr, 1, "out_version/out_json_utf8/out_json_utf8_len is null");
  }
  *out_version = 0;
  *out_json_utf8 = nullptr;
  *out_json_utf8_len = 0;
  return locked(device, [&](uvc::Device& dev) {
    uvc::Result<uvc::ReadJsonResult> read = dev.read_json();
    if (!read.ok()) return c_api::report_result_failure(nullptr, read);
    const uvc::ReadJsonResult& document = *read;
    const std::size_t length = document.json.size();
    auto* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr) return c_api::report_failure(nullptr, 13, "memory allocation failed");
    std::memcpy(text, document.json.data(), length);
    text[length] = '\0';
    *out_version = document.version;
    *out_json_utf8 = text;
    *out_json_utf8_len = length;
    return c_api::report_success(nullptr);
  });
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_write_json(morvane_uvc_stereo_device_t* device,
                                                                  const char* json_utf8, size_t json_utf8_len) {
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  if (json_utf8 == nullptr) return c_api::report_failure(nullptr, 1, "json_utf8 is null");
  const std::size_t length = json_utf8_len != 0 ? json_utf8_len : std::strlen(json_utf8);
  return locked(device, [&](uvc::Device& dev) { return report(dev.write_json(std::string_view(json_utf8, length))); });
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_open_imu(morvane_uvc_stereo_device_t* device) {
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  return locked(device, [&](uvc::Device& dev) { return report(dev.open_imu()); });
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_close_imu(morvane_uvc_stereo_device_t* device) {
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  return locked(device, [&](uvc::Device& dev) { return report(dev.close_imu()); });
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_read_imu(morvane_uvc_stereo_device_t* device,
                                                                morvane_uvc_stereo_read_imu_result_t* out_result) {
  if (device == nullptr) return c_api::report_failure(nullptr, 1, kDeviceIsNull);
  if (out_result == nullptr) return c_api::report_failure(nullptr, 1, "out_result is null");
  std::memset(out_result, 0, sizeof *out_result);
  return locked(device, [&](uvc::Device& dev) {
    uvc::Result<uvc::ReadImuResult> read = dev.read_imu();
    if (!read.ok()) return c_api::report_result_failure(nullptr, read);
    const uvc::ReadImuResult& sample = *read;
    out_result->timestamp_ns = sample.timestamp_ns;
    out_result->sensor_timestamp = sample.sensor_timestamp;
    out_result->temperature_raw = sample.temperature_raw;
    for (int i = 0; i < 3; ++i) {
      out_result->accel_raw[i] = sample.accel_raw[i];
      out_result->gyro_raw[i] = sample.gyro_raw[i];
    }
    return c_api::report_success(nullptr);
  });
}

}  // extern "C"
