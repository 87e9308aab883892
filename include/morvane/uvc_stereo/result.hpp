// Result and error model shared by every public operation.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace morvane::uvc_stereo {

// The numbers are part of the interface (the C library returns them as its
// status codes). 8 is unassigned and never produced.
enum class ErrorCode : std::int32_t {
  ok = 0,
  invalid_argument = 1,
  io_error = 2,
  device_unavailable = 3,
  read_failed = 4,
  write_failed = 5,
  erase_failed = 6,
  magic_mismatch = 7,
  invalid_header = 9,
  invalid_length = 10,
  crc_mismatch = 11,
  invalid_json = 12,
  internal_error = 13,
  unsupported = 14,
};

// Thrown only by the convenience accessor Result<T>::operator* / value_or_throw
// style calls made on a failed result; the library itself never throws it.
class BadResultAccess : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Outcome of an operation producing a T. `value` is engaged exactly when
// `code` is ErrorCode::ok; `message` is empty on success and non-empty on
// failure.
template <typename T>
struct Result {
  ErrorCode code = ErrorCode::ok;
  std::string message;
  std::optional<T> value;

  static Result success(T v) {
    Result r;
    r.value.emplace(std::move(v));
    return r;
  }
  static Result failure(ErrorCode c, std::string msg) {
    Result r;
    r.code = c;
    r.message = std::move(msg);
    return r;
  }
  // Copies another result's failure (code and message), dropping any value.
  template <typename U>
  static Result forward(const Result<U>& other) {
    return failure(other.code, other.message);
  }

  // True when the operation succeeded.
  bool ok() const noexcept { return code == ErrorCode::ok; }
  explicit operator bool() const noexcept { return ok(); }

  // Value access. On a failed result these throw BadResultAccess carrying
  // the result's message; check ok() first to avoid that.
  T& operator*() & { return checked(); }
  const T& operator*() const& { return const_cast<Result*>(this)->checked(); }
  T&& operator*() && { return std::move(checked()); }
  T* operator->() { return &checked(); }
  const T* operator->() const { return &const_cast<Result*>(this)->checked(); }

 private:
  T& checked() {
    if (!value) throw BadResultAccess(message.empty() ? "result holds no value" : message);
    return *value;
  }
};

// Outcome of an operation that produces nothing.
template <>
struct Result<void> {
  ErrorCode code = ErrorCode::ok;
  std::string message;

  static Result success() { return Result{}; }
  static Result failure(ErrorCode c, std::string msg) {
    Result r;
    r.code = c;
    r.message = std::move(msg);
    return r;
  }
  template <typename U>
  static Result forward(const Result<U>& other) {
    return failure(other.code, other.message);
  }

  bool ok() const noexcept { return code == ErrorCode::ok; }
  explicit operator bool() const noexcept { return ok(); }
};

}  // namespace morvane::uvc_stereo
