// Result<T> accessors and the OpenCV backend names.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {
namespace {

TEST(ErrorCodeTest, NumbersAreTheInterfaceValues) {
  // The C interface passes these numbers through; a renumbering breaks callers.
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::ok), 0);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::invalid_argument), 1);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::io_error), 2);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::device_unavailable), 3);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::read_failed), 4);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::write_failed), 5);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::erase_failed), 6);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::magic_mismatch), 7);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::invalid_header), 9);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::invalid_length), 10);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::crc_mismatch), 11);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::invalid_json), 12);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::internal_error), 13);
  EXPECT_EQ(static_cast<std::int32_t>(ErrorCode::unsupported), 14);
  static_assert(sizeof(ErrorCode) == 4, "the code crosses the C interface as a 32-bit value");
}

TEST(ResultTest, SuccessHoldsValueAndEmptyMessage) {
  auto r = Result<std::string>::success("payload");
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(static_cast<bool>(r));
  EXPECT_EQ(r.code, ErrorCode::ok);
  EXPECT_TRUE(r.message.empty());
  ASSERT_TRUE(r.value.has_value());
  EXPECT_EQ(*r, "payload");
  EXPECT_EQ(r->size(), 7u);
  const auto& cr = r;
  EXPECT_EQ(*cr, "payload");
  EXPECT_EQ(cr->front(), 'p');
}

TEST(ResultTest, FailureHoldsCodeMessageAndNoValue) {
  auto r = Result<int>::failure(ErrorCode::crc_mismatch, "crc32 mismatch");
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(static_cast<bool>(r));
  EXPECT_EQ(r.code, ErrorCode::crc_mismatch);
  EXPECT_EQ(r.message, "crc32 mismatch");
  EXPECT_FALSE(r.value.has_value());
}

TEST(ResultTest, ValueAccessOnFailureThrowsWithTheMessage) {
  auto r = Result<int>::failure(ErrorCode::io_error, "/dev not found");
  try {
    (void)*r;
    FAIL() << "dereferencing a failed result must throw";
  } catch (const BadResultAccess& e) {
    EXPECT_STREQ(e.what(), "/dev not found");
  }
  const auto& cr = r;
  EXPECT_THROW((void)*cr, BadResultAccess);
  EXPECT_THROW((void)*std::move(r), BadResultAccess);

  // A default-constructed result has code ok but no value: access still
  // throws, with a text of its own rather than an empty one.
  Result<int> empty;
  try {
    (void)*empty;
    FAIL() << "a result without a value must throw on access";
  } catch (const BadResultAccess& e) {
    EXPECT_STRNE(e.what(), "");
  }
}

TEST(ResultTest, ForwardCopiesCodeAndMessageAndDropsTheValueType) {
  const auto inner = Result<std::string>::failure(ErrorCode::read_failed, "SonixCam_SerialFlashCustomRead failed");
  const auto outer = Result<int>::forward(inner);
  EXPECT_EQ(outer.code, ErrorCode::read_failed);
  EXPECT_EQ(outer.message, inner.message);
  EXPECT_FALSE(outer.value.has_value());

  const auto as_void = Result<void>::forward(inner);
  EXPECT_EQ(as_void.code, ErrorCode::read_failed);
  EXPECT_EQ(as_void.message, inner.message);
  EXPECT_FALSE(as_void.ok());
}

TEST(ResultTest, VoidResultHasCodeAndMessageOnly) {
  const auto ok = Result<void>::success();
  EXPECT_TRUE(ok.ok());
  EXPECT_TRUE(ok.message.empty());
  const auto bad = Result<void>::failure(ErrorCode::unsupported, "IMU is not supported by this device");
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.code, ErrorCode::unsupported);
  EXPECT_EQ(bad.message, "IMU is not supported by this device");
}

TEST(ResultTest, OwnsMoveOnlyValues) {
  auto r = Result<std::unique_ptr<int>>::success(std::make_unique<int>(7));
  ASSERT_TRUE(r.ok());
  std::unique_ptr<int> taken = *std::move(r);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 7);
  static_assert(std::is_move_constructible_v<Result<std::unique_ptr<int>>>);
}

TEST(OpenCvBackendNameTest, NamedBackends) {
  EXPECT_EQ(opencv_backend_name(OpenCvBackend::v4l2), "CAP_V4L2");
  EXPECT_EQ(opencv_backend_name(OpenCvBackend::dshow), "CAP_DSHOW");
  EXPECT_EQ(opencv_backend_name(OpenCvBackend::msmf), "CAP_MSMF");
  EXPECT_EQ(opencv_backend_name(OpenCvBackend::gstreamer), "CAP_GSTREAMER");
  EXPECT_EQ(static_cast<std::int32_t>(OpenCvBackend::v4l2), 200);
  EXPECT_EQ(static_cast<std::int32_t>(OpenCvBackend::dshow), 700);
  EXPECT_EQ(static_cast<std::int32_t>(OpenCvBackend::msmf), 1400);
  EXPECT_EQ(static_cast<std::int32_t>(OpenCvBackend::gstreamer), 1800);
}

TEST(OpenCvBackendNameTest, AnyOtherValueIsUnknown) {
  for (std::int32_t v : {0, 201, -1, 199, 1799, 1801, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(opencv_backend_name(static_cast<OpenCvBackend>(v)), "CAP_UNKNOWN") << v;
  }
}

}  // namespace
}  // namespace morvane::uvc_stereo
