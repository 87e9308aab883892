// Conversions between the C records and the core's records.
#include <cstring>
#include <limits>
#include <string>

#include "c_api/c_api_internal.hpp"
#include "morvane/uvc_stereo/imu.hpp"

namespace morvane::uvc_stereo::c_api {
namespace {

// Copies at most N-1 bytes of `text` into `field` and NUL-terminates it.
template <std::size_t N>
void copy_text(const std::string& text, char (&field)[N]) noexcept {
  const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

// The text of a field up to its first NUL; a field without NUL is taken whole.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  const void* nul = std::memchr(field, '\0', N);
  const std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : N;
  return std::string(field, length);
}

bool is_known_backend(std::int32_t backend) noexcept {
  switch (static_cast<OpenCvBackend>(backend)) {
    case OpenCvBackend::v4l2:
    case OpenCvBackend::dshow:
    case OpenCvBackend::msmf:
    case OpenCvBackend::gstreamer:
      return true;
  }
  return false;
}

}  // namespace

bool to_c_record(const DeviceInfo& info, morvane_uvc_stereo_device_info_t& out) noexcept {
  std::memset(&out, 0, sizeof out);
  out.vid = info.vid;
  out.pid = info.pid;
  out.bus_number = info.bus_number;
  out.device_address = info.device_address;
  copy_text(info.serial, out.serial);
  copy_text(info.vendor, out.vendor);
  copy_text(info.model, out.model);
  copy_text(info.video_node, out.video_node);
  copy_text(info.usb_path, out.usb_path);
  if (info.opencv_indices.size() > MORVANE_UVC_STEREO_MAX_OPENCV_INDICES) return false;
  std::size_t n = 0;
  for (const auto& [backend, index] : info.opencv_indices) {  // std::map: ascending backend order
    out.opencv_indices[n].backend = static_cast<std::int32_t>(backend);
    out.opencv_indices[n].index = index;
    ++n;
  }
  out.opencv_index_count = n;
  return true;
}

const char* validate_c_record(const morvane_uvc_stereo_device_info_t& record) noexcept {
  if (record.vid == 0 || record.pid == 0) return "device vid/pid is invalid";
  if (record.opencv_index_count > MORVANE_UVC_STEREO_MAX_OPENCV_INDICES) {
    return "opencv backend index count is too large";
  }
  for (std::size_t i = 0; i < record.opencv_index_count; ++i) {
    const morvane_uvc_stereo_opencv_index_t& entry = record.opencv_indices[i];
    if (!is_known_backend(entry.backend)) return "unsupported opencv backend";
    if (entry.index < 0) return "opencv backend index is negative";
    for (std::size_t j = 0; j < i; ++j) {
      if (record.opencv_indices[j].backend == entry.backend) return "duplicated opencv backend entry";
    }
  }
  return nullptr;
}

DeviceInfo from_c_record(const morvane_uvc_stereo_device_info_t& record) {
  DeviceInfo info;
  info.vid = record.vid;
  info.pid = record.pid;
  info.bus_number = record.bus_number;
  info.device_address = record.device_address;
  info.serial = field_text(record.serial);
  info.vendor = field_text(record.vendor);
  info.model = field_text(record.model);
  info.video_node = field_text(record.video_node);
  info.usb_path = field_text(record.usb_path);
  const std::size_t count = record.opencv_index_count < MORVANE_UVC_STEREO_MAX_OPENCV_INDICES
                                ? record.opencv_index_count
                                : MORVANE_UVC_STEREO_MAX_OPENCV_INDICES;
  for (std::size_t i = 0; i < count; ++i) {
    info.opencv_indices.emplace(static_cast<OpenCvBackend>(record.opencv_indices[i].backend),
                                record.opencv_indices[i].index);
  }
  return info;
}

bool array_bytes(std::size_t count, std::size_t size, std::size_t& bytes) noexcept {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return false;
  bytes = count * size;
  return true;
}

}  // namespace morvane::uvc_stereo::c_api

namespace uvc = morvane::uvc_stereo;
namespace c_api = morvane::uvc_stereo::c_api;

extern "C" {

MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_open_device_options_init_default(
    morvane_uvc_stereo_open_device_options_t* options) {
  if (options == nullptr) return;
  options->required_capabilities = uvc::OpenDeviceOptions{}.required_capabilities;
}

MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_imu_conversion_options_init_default(
    morvane_uvc_stereo_imu_conversion_options_t* options) {
  if (options == nullptr) return;
  const uvc::ImuConversionOptions defaults;
  options->temperature_offset_c = defaults.temperature_offset_c;
  options->temperature_lsb_per_c = defaults.temperature_lsb_per_c;
  options->accel_lsb_per_g = defaults.accel_lsb_per_g;
  options->gyro_lsb_per_dps = defaults.gyro_lsb_per_dps;
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_convert_imu(const morvane_uvc_stereo_read_imu_result_t* raw,
                                                            const morvane_uvc_stereo_imu_conversion_options_t* options,
                                                            morvane_uvc_stereo_imu_sample_t* out_result) {
  if (raw == nullptr || out_result == nullptr) {
    return c_api::report_failure(nullptr, 1, "raw/out_result is null");
  }
  return c_api::guarded(nullptr, c_api::OnBadAlloc::what_text, [&] {
    // Inputs are read before the output is zeroed, so an output that
    // overlaps an input still converts the caller's values.
    uvc::ReadImuResult core_raw;
    core_raw.timestamp_ns = raw->timestamp_ns;
    core_raw.sensor_timestamp = raw->sensor_timestamp;
    core_raw.temperature_raw = raw->temperature_raw;
    uvc::ImuConversionOptions core_options;
    if (options != nullptr) {
      core_options.temperature_offset_c = options->temperature_offset_c;
      core_options.temperature_lsb_per_c = options->temperature_lsb_per_c;
      core_options.accel_lsb_per_g = options->accel_lsb_per_g;
      core_options.gyro_lsb_per_dps = options->gyro_lsb_per_dps;
    }
    for (int i = 0; i < 3; ++i) {
      core_raw.accel_raw[i] = raw->accel_raw[i];
      core_raw.gyro_raw[i] = raw->gyro_raw[i];
    }
    std::memset(out_result, 0, sizeof *out_result);
    uvc::Result<uvc::ImuSample> converted = uvc::convert_imu(core_raw, core_options);
    if (!converted.ok()) return c_api::report_result_failure(nullptr, converted);
    const uvc::ImuSample& sample = *converted;
    out_result->timestamp_ns = sample.timestamp_ns;
    out_result->temperature_c = sample.temperature_c;
    for (int i = 0; i < 3; ++i) {
      out_result->accel_g[i] = sample.accel_g[i];
      out_result->gyro_dps[i] = sample.gyro_dps[i];
    }
    return c_api::report_success(nullptr);
  });
}

MORVANE_UVC_STEREO_C_API const char* morvane_uvc_stereo_opencv_backend_name(int backend) {
  // Own literals so the pointer is always NUL-terminated static text.
  switch (backend) {
    case MORVANE_UVC_STEREO_BACKEND_V4L2:
      return "CAP_V4L2";
    case MORVANE_UVC_STEREO_BACKEND_DSHOW:
      return "CAP_DSHOW";
    case MORVANE_UVC_STEREO_BACKEND_MSMF:
      return "CAP_MSMF";
    case MORVANE_UVC_STEREO_BACKEND_GSTREAMER:
      return "CAP_GSTREAMER";
    default:
      return "CAP_UNKNOWN";
  }
}

}  // extern "C"
