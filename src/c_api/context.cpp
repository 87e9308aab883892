// Contexts: creation from a C configuration, destruction and the first-camera scan.
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "c_api/c_api_internal.hpp"
#include "morvane/uvc_stereo/discovery.hpp"

namespace uvc = morvane::uvc_stereo;
namespace c_api = morvane::uvc_stereo::c_api;

extern "C" {

MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_ctx_config_init_default(morvane_uvc_stereo_ctx_config_t* config) {
  if (config == nullptr) return;
  const uvc::FlashConfig defaults;
  config->flash_address = defaults.flash_address;
  config->sector_size = defaults.sector_size;
  config->magic = defaults.magic;
  config->max_total_length = defaults.max_total_length;
  config->min_header_size = defaults.min_header_size;
  config->max_header_size = defaults.max_header_size;
  config->verify_crc = defaults.verify_crc ? 1 : 0;
  config->verify_after_write = defaults.verify_after_write ? 1 : 0;
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_ctx_create(const morvane_uvc_stereo_ctx_config_t* config,
                                                           morvane_uvc_stereo_ctx_t** out_handle) {
  if (out_handle == nullptr) return c_api::report_failure(nullptr, 1, "out_handle is null");
  *out_handle = nullptr;
  return c_api::guarded(nullptr, c_api::OnBadAlloc::out_of_memory, [&] {
    morvane_uvc_stereo_ctx_config_t settings;
    morvane_uvc_stereo_ctx_config_init_default(&settings);
    if (config != nullptr) settings = *config;
    auto ctx = std::make_unique<morvane_uvc_stereo_ctx_t>();
    uvc::FlashConfig& fc = ctx->flash_config;  // device selection keeps its defaults
    fc.flash_address = settings.flash_address;
    fc.sector_size = settings.sector_size;
    fc.magic = settings.magic;
    fc.max_total_length = settings.max_total_length;
    fc.min_header_size = settings.min_header_size;
    fc.max_header_size = settings.max_header_size;
    fc.verify_crc = settings.verify_crc != 0;
    fc.verify_after_write = settings.verify_after_write != 0;
    *out_handle = ctx.release();
    return c_api::report_success(nullptr);
  });
}

MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_ctx_destroy(morvane_uvc_stereo_ctx_t* handle) { delete handle; }

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_ctx_scan(morvane_uvc_stereo_ctx_t* handle,
                                                         morvane_uvc_stereo_device_info_t* out_device) {
  if (handle == nullptr) return c_api::report_failure(nullptr, 1, "handle is null");
  if (out_device == nullptr) return c_api::report_failure(handle, 1, "out_device is null");
  std::memset(out_device, 0, sizeof *out_device);
  return c_api::guarded(handle, c_api::OnBadAlloc::what_text, [&] {
    uvc::Result<std::vector<uvc::DeviceInfo>> scanned = uvc::scan_devices();
    if (!scanned.ok()) return c_api::report_result_failure(handle, scanned);
    const std::vector<uvc::DeviceInfo>& devices = *scanned;
    if (devices.empty()) return c_api::report_failure(handle, 2, "no devices found");
    if (!c_api::to_c_record(devices.front(), *out_device)) {
      return c_api::report_failure(handle, 13, "opencv backend index map is too large");
    }
    return c_api::report_success(handle);
  });
}

}  // extern "C"
