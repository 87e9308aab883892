// Opens arbitrary device records (texts without NUL included) through the C
// function on a machine without cameras, and checks that what the handle
// reports back is the record read within its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "c_api/c_api_internal.hpp"
#include "c_api/no_camera_platform.hpp"
#include "morvane/uvc_stereo.h"
#include "platform/platform.hpp"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The field's text up to its first NUL, at most the field, cut to size-1.
template <std::size_t N>
std::string expected_text(const char (&field)[N]) {
  const void* nul = std::memchr(field, '\0', N);
  std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : N;
  if (length > N - 1) length = N - 1;
  return std::string(field, length);
}

template <std::size_t N>
void check_text(const char (&copied)[N], const char (&original)[N]) {
  check(std::memchr(copied, '\0', N) != nullptr);
  check(std::string(copied) == expected_text(original));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static morvane::c_api_test::NoCameraPlatform no_camera;
  static morvane::uvc_stereo::platform::ScopedPlatform installed(no_camera);

  constexpr std::size_t kRecord = sizeof(morvane_uvc_stereo_device_info_t);
  constexpr std::size_t kOptions = sizeof(morvane_uvc_stereo_open_device_options_t);
  if (size < kRecord) return 0;

  // Exact-size copies, so that any read past a record is an over-read.
  auto* record = static_cast<morvane_uvc_stereo_device_info_t*>(std::malloc(kRecord));
  std::memcpy(record, data, kRecord);
  morvane_uvc_stereo_open_device_options_t* options = nullptr;
  if (size >= kRecord + kOptions) {
    options = static_cast<morvane_uvc_stereo_open_device_options_t*>(std::malloc(kOptions));
    std::memcpy(options, data + kRecord, kOptions);
  }

  // The core record never holds more than a field's bytes.
  if (morvane::uvc_stereo::c_api::validate_c_record(*record) == nullptr) {
    const morvane::uvc_stereo::DeviceInfo info = morvane::uvc_stereo::c_api::from_c_record(*record);
    check(info.serial.size() <= sizeof record->serial && info.usb_path.size() <= sizeof record->usb_path);
    check(info.opencv_indices.size() == record->opencv_index_count);
  }

  morvane_uvc_stereo_device_t* device = nullptr;
  const int rc = morvane_uvc_stereo_open_device(record, options, &device);
  const char* message = nullptr;
  std::size_t length = 0;
  check(morvane_uvc_stereo_last_error_message(&message, &length) == 0);
  check(rc >= 0 && rc <= 14 && rc != 8);
  check((rc == 0) == (device != nullptr));
  check((rc == 0) == (length == 0));

  if (device != nullptr) {
    morvane_uvc_stereo_device_info_t back;
    check(morvane_uvc_stereo_device_info(device, &back) == 0);
    check(back.vid == record->vid && back.pid == record->pid);
    check(back.bus_number == record->bus_number && back.device_address == record->device_address);
    check_text(back.serial, record->serial);
    check_text(back.vendor, record->vendor);
    check_text(back.model, record->model);
    check_text(back.video_node, record->video_node);
    check_text(back.usb_path, record->usb_path);
    check(back.opencv_index_count == record->opencv_index_count);
    for (std::size_t i = 1; i < back.opencv_index_count; ++i) {
      check(back.opencv_indices[i - 1].backend < back.opencv_indices[i].backend);
    }
    morvane_uvc_stereo_close_device(device);
  }
  std::free(options);
  std::free(record);
  return 0;
}
