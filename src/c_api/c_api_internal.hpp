// Shared pieces of the C library: the opaque handles, error reporting, the
// exception barrier and the record conversions.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "c_api_internal.hpp is internal to the SDK"
#endif

#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "morvane/uvc_stereo.h"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

// A context: its configuration and its own last error text, both guarded by
// `mutex`.
struct morvane_uvc_stereo_ctx {
  std::mutex mutex;
  morvane::uvc_stereo::FlashConfig flash_config;
  std::string last_error;
  bool last_error_out_of_memory = false;  // the text could not be stored: show "out of memory"
};

// A device handle: the opened Device and the mutex that serialises calls on it.
struct morvane_uvc_stereo_device {
  explicit morvane_uvc_stereo_device(morvane::uvc_stereo::Device&& opened) : device(std::move(opened)) {}
  std::mutex mutex;
  morvane::uvc_stereo::Device device;
};

namespace morvane::uvc_stereo::c_api {

// Status of a core error code: the code itself for 0..14, 13 otherwise.
int status_of(ErrorCode code) noexcept;

// Ends a call. Each sets the thread's text (and the context's, when `ctx` is
// not null, under its mutex) and returns the status. They never throw: when
// a text cannot be stored for lack of memory, "out of memory" is shown
// instead.
int report_success(morvane_uvc_stereo_ctx_t* ctx) noexcept;
int report_failure(morvane_uvc_stereo_ctx_t* ctx, int status, const char* message) noexcept;
int report_failure(morvane_uvc_stereo_ctx_t* ctx, int status, const std::string& message) noexcept;

// Reports a failed core result with its code (mapped by status_of) and message.
template <typename T>
int report_result_failure(morvane_uvc_stereo_ctx_t* ctx, const Result<T>& result) noexcept {
  return report_failure(ctx, status_of(result.code), result.message);
}

// The thread's text as a NUL-terminated pointer and its length.
void thread_error(const char** message, std::size_t* length) noexcept;
// The context's text; the caller holds ctx.mutex.
void context_error(const morvane_uvc_stereo_ctx_t& ctx, const char** message, std::size_t* length) noexcept;

// Which text a std::bad_alloc caught by the barrier gets.
enum class OnBadAlloc {
  what_text,      // the exception's what() text, like any std::exception
  out_of_memory,  // "out of memory" (functions that allocate the caller's handle)
};

// The exception barrier around every body that calls into the core. The
// body returns the status it reported; an exception escaping it is reported
// as status 13 (to the thread and to `ctx`, when not null).
template <typename Body>
int guarded(morvane_uvc_stereo_ctx_t* ctx, OnBadAlloc on_bad_alloc, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc& e) {
    return report_failure(ctx, 13, on_bad_alloc == OnBadAlloc::out_of_memory ? "out of memory" : e.what());
  } catch (const std::exception& e) {
    return report_failure(ctx, 13, e.what());
  } catch (...) {
    return report_failure(ctx, 13, "unknown exception");
  }
}

// Record conversions.
// Fills `out` from `info`: zeroed, numbers copied, texts cut to their field
// size minus one and NUL-terminated, index entries in ascending backend
// order. Returns false (texts already copied) when there are more than 8
// index entries.
bool to_c_record(const DeviceInfo& info, morvane_uvc_stereo_device_info_t& out) noexcept;
// Builds a DeviceInfo from an already validated C record. Texts are taken up
// to their first NUL, at most the field size.
DeviceInfo from_c_record(const morvane_uvc_stereo_device_info_t& record);
// The first failed check of a C record as open_device orders them, or null
// when the record is acceptable.
const char* validate_c_record(const morvane_uvc_stereo_device_info_t& record) noexcept;

// Bytes of an array of `count` elements of `size` bytes; false on overflow.
bool array_bytes(std::size_t count, std::size_t size, std::size_t& bytes) noexcept;

}  // namespace morvane::uvc_stereo::c_api
