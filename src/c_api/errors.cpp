// Status codes, the thread's and the contexts' error texts, and the
// functions that hand them out.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "c_api/c_api_internal.hpp"

namespace morvane::uvc_stereo::c_api {
namespace {

constexpr char kOutOfMemory[] = "out of memory";

// One per thread, created empty on first use and destroyed with the thread.
struct ThreadText {
  std::string text;
  bool out_of_memory = false;  // the last text could not be stored
};

ThreadText& thread_text() noexcept {
  thread_local ThreadText t;
  return t;
}

// Stores `message` in `text`; when memory runs out the text is emptied and
// `out_of_memory` is set so that "out of memory" is shown in its place.
void store(std::string& text, bool& out_of_memory, const char* message, std::size_t length) noexcept {
  try {
    text.assign(message, length);
    out_of_memory = false;
  } catch (...) {
    text.clear();
    out_of_memory = true;
  }
}

int report(morvane_uvc_stereo_ctx_t* ctx, int status, const char* message, std::size_t length) noexcept {
  ThreadText& t = thread_text();
  store(t.text, t.out_of_memory, message, length);
  if (ctx != nullptr) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    store(ctx->last_error, ctx->last_error_out_of_memory, message, length);
  }
  return status;
}

void hand_out(const std::string& text, bool out_of_memory, const char** message, std::size_t* length) noexcept {
  if (out_of_memory) {
    *message = kOutOfMemory;
    *length = sizeof(kOutOfMemory) - 1;
  } else {
    *message = text.c_str();
    *length = text.size();
  }
}

}  // namespace

int status_of(ErrorCode code) noexcept {
  const auto value = static_cast<std::int32_t>(code);
  return (value >= 0 && value <= 14) ? static_cast<int>(value) : 13;
}

int report_success(morvane_uvc_stereo_ctx_t* ctx) noexcept { return report(ctx, 0, "", 0); }

int report_failure(morvane_uvc_stereo_ctx_t* ctx, int status, const char* message) noexcept {
  return report(ctx, status, message, std::strlen(message));
}

int report_failure(morvane_uvc_stereo_ctx_t* ctx, int status, const std::string& message) noexcept {
  return report(ctx, status, message.data(), message.size());
}

void thread_error(const char** message, std::size_t* length) noexcept {
  const ThreadText& t = thread_text();
  hand_out(t.text, t.out_of_memory, message, length);
}

// The caller holds ctx.mutex.
void context_error(const morvane_uvc_stereo_ctx_t& ctx, const char** message, std::size_t* length) noexcept {
  hand_out(ctx.last_error, ctx.last_error_out_of_memory, message, length);
}

}  // namespace morvane::uvc_stereo::c_api

namespace c_api = morvane::uvc_stereo::c_api;

extern "C" {

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_last_error_message(const char** out_message, size_t* out_message_len) {
  return morvane_uvc_stereo_ctx_last_error_message(nullptr, out_message, out_message_len);
}

MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_ctx_last_error_message(morvane_uvc_stereo_ctx_t* handle,
                                                                       const char** out_message,
                                                                       size_t* out_message_len) {
  if (out_message == nullptr || out_message_len == nullptr) {
    // The context is left alone: only the thread learns of this mistake.
    return c_api::report_failure(nullptr, 1, "out_message/out_message_len is null");
  }
  if (handle == nullptr) {
    c_api::thread_error(out_message, out_message_len);
    return 0;
  }
  std::lock_guard<std::mutex> lock(handle->mutex);
  c_api::context_error(*handle, out_message, out_message_len);
  return 0;
}

MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_free(void* ptr) { std::free(ptr); }

}  // extern "C"
