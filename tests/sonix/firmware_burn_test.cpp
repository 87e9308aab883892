// Firmware images against the virtual camera: burn and export by the flash
// window and streaming paths, the held-back bytes, progress, failures in the
// middle of a burn (transfer errors and power cuts), and the in-place update
// of the USB parameter table.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "emulator/serial_flash_controller.hpp"
#include "emulator/spi_nor_flash.hpp"
#include "sonix/sonix_cam.h"
#include "support/virtual_camera_fixture.hpp"

namespace {

using morvane::emulator::CameraConfig;
using morvane::emulator::TransferRecord;
using morvane::emulator::TransferRequest;
using morvane::testing::default_camera_config;
using morvane::testing::VirtualCameraTest;
using Bytes = std::vector<std::uint8_t>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kStreamingRomRow = 15;  // a generation with the streaming request
constexpr int kRom216 = 8;            // "216R0": parameter table at 0x5800

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng() & 0xFF);
  // Keep the held-back header bytes distinct from erased flash.
  if (n > 0x164) std::memset(out.data() + 0x160, 0x5A, 4);
  return out;
}

struct Progress {
  std::vector<float> fractions;
  static void record(void* self, float fraction) { static_cast<Progress*>(self)->fractions.push_back(fraction); }
  ::testing::AssertionResult monotonic_from_0_to_1() const {
    if (fractions.empty()) return ::testing::AssertionFailure() << "no progress reported";
    if (fractions.front() != 0.0f) return ::testing::AssertionFailure() << "first " << fractions.front();
    if (fractions.back() != 1.0f) return ::testing::AssertionFailure() << "last " << fractions.back();
    for (std::size_t i = 1; i < fractions.size(); ++i) {
      if (fractions[i] < fractions[i - 1] || fractions[i] > 1.0f) {
        return ::testing::AssertionFailure() << "step " << i << ": " << fractions[i - 1] << " -> " << fractions[i];
      }
    }
    return ::testing::AssertionSuccess();
  }
  bool contains(float value) const {
    for (float f : fractions)
      if (f == value) return true;
    return false;
  }
};

bool is_window_write(const TransferRecord& r) {
  return r.request.request_type == 0x21 && r.request.value == 0x0300 && r.data.size() == 11 && (r.data[2] & 0x80) == 0;
}
std::uint32_t window_address(const TransferRecord& r) {
  return static_cast<std::uint32_t>(((r.data[2] >> 4) & 0x3) << 16 | r.data[1] << 8 | r.data[0]);
}
bool is_stream_set(const TransferRecord& r) { return r.request.request_type == 0x21 && r.request.value == 0x0600; }

CameraConfig config_with(int rom_row, std::uint8_t chip_id = 0x83) {
  auto config = default_camera_config();
  config.rom_row = rom_row;
  config.chip_id = chip_id;
  return config;
}

// In a child process: limits the address space to what is in use plus 4 MiB,
// burns `image` and exits 0 when the burn failed with code 14 before sending
// anything.
[[noreturn]] void burn_under_address_space_limit(morvane::emulator::VirtualCamera& camera, Bytes& image, int type) {
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
  rlimit rl{limit, limit};
  if (pages == 0 || setrlimit(RLIMIT_AS, &rl) != 0) _exit(2);
  const std::size_t before = camera.transfer_count();
  const int result =
      SonixCam_BurnerFW(image.data(), static_cast<std::int64_t>(image.size()), nullptr, nullptr, type, 0);
  _exit(result == 0 && gEC == SONIXCAM_EC_NO_MEMORY && camera.transfer_count() == before ? 0 : 1);
}

// One camera (configurable) opened through the library for each test.
class FirmwareTest : public VirtualCameraTest {
 protected:
  void SetUp() override {
    VirtualCameraTest::SetUp();
    open();
    ASSERT_EQ(SonixCam_GetSerialFlashType(&type_, 0), 1);
    ASSERT_NE(type_, 0);
    gEC = 0;
    camera().clear_logs();
  }
  void TearDown() override {
    SonixCam_UnInit();
    EXPECT_TRUE(rig().clean());
    VirtualCameraTest::TearDown();
  }
  void open() {
    char vidpid[] = "0c450643";
    ASSERT_EQ(SonixCam_Init(vidpid, camera().config().bus_number, camera().device_address()), 1);
  }
  Bytes flash(std::uint32_t address, std::size_t length) { return camera().flash_contents(address, length); }
  std::vector<TransferRecord> log() { return camera().transfer_log(); }

  int type_ = 0;
};

class StreamingFirmwareTest : public FirmwareTest {
 protected:
  std::vector<CameraConfig> make_configs() override { return {config_with(kStreamingRomRow)}; }
  void SetUp() override {
    FirmwareTest::SetUp();
    ASSERT_EQ(IsSupportXU6(), 1);
  }
};

class Chip16FirmwareTest : public FirmwareTest {
 protected:
  std::vector<CameraConfig> make_configs() override { return {config_with(kRom216, 0x16)}; }
};

class Rom216FirmwareTest : public FirmwareTest {
 protected:
  std::vector<CameraConfig> make_configs() override { return {config_with(kRom216)}; }
};

// ---- Pure helpers.

TEST(ParamBufferHelpers, StringDescriptorBlockForAB) {
  Bytes buffer(0x80, 0x11);
  ASSERT_EQ(SetParamToParamBuffer(buffer.data(), 0x10, "AB", 2), 1);
  const Bytes head = {0x06, 0x03, 'A', 0x00, 'B', 0x00};
  EXPECT_EQ(Bytes(buffer.begin() + 0x10, buffer.begin() + 0x16), head);
  for (int i = 0x16; i < 0x50; ++i) EXPECT_EQ(buffer[i], 0xFF) << i;
  for (int i = 0; i < 0x10; ++i) EXPECT_EQ(buffer[i], 0x11) << i;  // nothing outside the block
  for (int i = 0x50; i < 0x80; ++i) EXPECT_EQ(buffer[i], 0x11) << i;
}

TEST(ParamBufferHelpers, StringLongerThanTheBlockIsRefusedAndChangesNothing) {
  Bytes buffer(0x100, 0x22);
  const std::string longest(31, 'x');
  ASSERT_EQ(SetParamToParamBuffer(buffer.data(), 0, longest.c_str(), 31), 1);
  EXPECT_EQ(buffer[0], 64);
  EXPECT_EQ(buffer[63], 0);     // last code unit's high byte, still inside the block
  EXPECT_EQ(buffer[64], 0x22);  // the next block untouched
  const std::string too_long(32, 'y');
  Bytes before = buffer;
  EXPECT_EQ(SetParamToParamBuffer(buffer.data(), 0, too_long.c_str(), 32), 0);
  EXPECT_EQ(SetParamToParamBuffer(buffer.data(), 0, nullptr, 3), 0);
  EXPECT_EQ(SetParamToParamBuffer(nullptr, 0, "a", 1), 0);
  EXPECT_EQ(buffer, before);
}

TEST(ParamBufferHelpers, CheckValueIsCrc16ModbusStoredHighByteFirst) {
  Bytes buffer(40, 0);
  std::memcpy(buffer.data(), "abc", 3);
  ASSERT_EQ(CheckCRC(buffer.data(), 0, 3, 4), 1);
  EXPECT_EQ(buffer[24], 0x57);
  EXPECT_EQ(buffer[25], 0x49);

  Bytes check(64, 0);
  std::memcpy(check.data() + 8, "123456789", 9);
  ASSERT_EQ(CheckCRC(check.data(), 8, 9, 30), 1);
  EXPECT_EQ(check[50], 0x4B);  // the catalogue check value 0x4B37
  EXPECT_EQ(check[51], 0x37);
  ASSERT_EQ(CheckCRC(check.data(), 8, 0, 30), 1);  // nothing covered: the initial value
  EXPECT_EQ(check[50], 0xFF);
  EXPECT_EQ(check[51], 0xFF);
}

// ---- Refusals.

TEST_F(VirtualCameraTest, FirmwareCallsWithoutAnOpenCameraSendNothing) {
  Bytes image = random_bytes(4096, 1);
  Bytes out(4096, 0);
  ChangeParamInfo param{};
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 4096, nullptr, nullptr, 7, 1), 0);
  EXPECT_EQ(SonixCam_CustomBurnerFW(&param, image.data(), 4096, nullptr, nullptr, 7, 1), 0);
  EXPECT_EQ(SonixCam_WriteFwToFlash(image.data(), 4096, nullptr, nullptr, 1), 0);
  EXPECT_EQ(SonixCam_ExportFW(out.data(), 4096, nullptr, nullptr), 0);
  EXPECT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 4096, &param, nullptr, nullptr, 7, nullptr), 0);
  EXPECT_EQ(camera().transfer_count(), 0u);
  EXPECT_EQ(out, Bytes(4096, 0));
}

TEST_F(FirmwareTest, BadArgumentsAndTypeZeroLeaveTheFlashAlone) {
  const Bytes before = flash(0, 0x2000);
  Bytes image = random_bytes(0x2000, 2);
  ChangeParamInfo param{};
  EXPECT_EQ(SonixCam_BurnerFW(nullptr, 0x2000, nullptr, nullptr, type_, 1), 0);
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 0, nullptr, nullptr, type_, 1), 0);
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), -8, nullptr, nullptr, type_, 1), 0);
  EXPECT_EQ(SonixCam_CustomBurnerFW(nullptr, image.data(), 0x2000, nullptr, nullptr, type_, 1), 0);
  EXPECT_EQ(SonixCam_ExportFW(nullptr, 16, nullptr, nullptr), 0);
  EXPECT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0x2000, nullptr, nullptr, nullptr, type_, nullptr), 0);
  EXPECT_EQ(gEC, 0);
  EXPECT_TRUE(log().empty());

  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 0x2000, nullptr, nullptr, 0, 1), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_FLASH_TYPE);
  gEC = 0;
  EXPECT_EQ(SonixCam_CustomBurnerFW(&param, image.data(), 0x2000, nullptr, nullptr, 0, 1), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_FLASH_TYPE);
  gEC = 0;
  EXPECT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0x2000, &param, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_FLASH_TYPE);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(flash(0, 0x2000), before);
}

TEST_F(FirmwareTest, WindowPathRefusesImagesPastItsReachBeforeTouchingTheFlash) {
  // The window's 2-bit bank cannot name 0x40000 and above.
  Bytes image = random_bytes(0x40001, 3);
  const Bytes before = flash(0, 0x1000);
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 0x40001, nullptr, nullptr, type_, 0), 0);
  EXPECT_EQ(SonixCam_WriteFwToFlash(image.data(), 0x40001, nullptr, nullptr, 0), 0);
  Bytes out(0x40001, 0);
  EXPECT_EQ(SonixCam_ExportFW(out.data(), 0x40001, nullptr, nullptr), 0);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(flash(0, 0x1000), before);

  // Exactly 256 KiB is reachable.
  ASSERT_EQ(SonixCam_BurnerFW(image.data(), 0x40000, nullptr, nullptr, type_, 0), 1);
  EXPECT_EQ(flash(0x3FFF0, 16), Bytes(image.begin() + 0x3FFF0, image.begin() + 0x40000));
  EXPECT_EQ(flash(0x30000, 16), Bytes(image.begin() + 0x30000, image.begin() + 0x30010));
}

// ---- Burn and export.

TEST_F(FirmwareTest, BurnThenExportReturnsTheImageByteForByte) {
  for (int verify = 0; verify <= 1; ++verify) {
    SCOPED_TRACE(verify ? "verify" : "spot check");
    const std::int64_t length = 20001;  // not a whole unit
    Bytes image = random_bytes(length, 10 + verify);
    Progress burn;
    ASSERT_EQ(SonixCam_BurnerFW(image.data(), length, Progress::record, &burn, type_, verify), 1);
    EXPECT_TRUE(burn.monotonic_from_0_to_1());
    EXPECT_EQ(burn.contains(0.5f), verify == 1);
    EXPECT_EQ(flash(length, 64), Bytes(64, 0xFF));  // the padding of the last unit stayed erased

    Bytes out(length, 0);
    Progress exported;
    ASSERT_EQ(SonixCam_ExportFW(out.data(), length, Progress::record, &exported), 1);
    EXPECT_EQ(out, image);
    EXPECT_TRUE(exported.monotonic_from_0_to_1());
  }
}

TEST_F(FirmwareTest, ImageOf1000BytesTakes125WindowWritesAndTheHeldBackWriteComesLast) {
  Bytes image = random_bytes(1000, 4);
  ASSERT_EQ(SonixCam_BurnerFW(image.data(), 1000, nullptr, nullptr, type_, 1), 1);
  std::vector<TransferRecord> writes;
  for (const auto& r : log())
    if (is_window_write(r)) writes.push_back(r);
  ASSERT_EQ(writes.size(), 126u);
  for (std::size_t i = 0; i < 125; ++i) EXPECT_EQ(window_address(writes[i]), i * 8) << i;
  // In the main pass the first 4 bytes at 0x160 are still erased...
  const auto& main_160 = writes[0x160 / 8];
  EXPECT_EQ(Bytes(main_160.data.begin() + 3, main_160.data.begin() + 7), Bytes(4, 0xFF));
  // ...and the whole 8 bytes follow after everything else.
  EXPECT_EQ(window_address(writes.back()), 0x160u);
  EXPECT_EQ(writes.back().data[2] & 0x0F, 8);
  EXPECT_EQ(Bytes(writes.back().data.begin() + 3, writes.back().data.end()),
            Bytes(image.begin() + 0x160, image.begin() + 0x168));
  Bytes out(1000, 0);
  ASSERT_EQ(SonixCam_ExportFW(out.data(), 1000, nullptr, nullptr), 1);
  EXPECT_EQ(out, image);
}

TEST_F(FirmwareTest, FailedWriteMidBurnFailsWithoutCodeAndLeavesHeldBackBytesErased) {
  Bytes image = random_bytes(0x3000, 5);
  int window_writes = 0;
  camera().fail_transfers_matching(
      [&window_writes](const TransferRequest& r) {
        return r.request_type == 0x21 && r.value == 0x0300 && ++window_writes == 200;
      },
      LIBUSB_ERROR_IO, 1);
  Progress progress;
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 0x3000, Progress::record, &progress, type_, 1), 0);
  EXPECT_EQ(gEC, 0);
  EXPECT_EQ(flash(0x160, 4), Bytes(4, 0xFF));
  // Everything before the failed unit was written, nothing after it.
  EXPECT_EQ(flash(0, 0x160), Bytes(image.begin(), image.begin() + 0x160));
  EXPECT_EQ(flash(199 * 8, 8), Bytes(8, 0xFF));
  EXPECT_LT(progress.fractions.back(), 0.5f);
}

TEST_F(FirmwareTest, WriteWithoutEraseOverDirtyFlashFailsVerificationSilently) {
  // The write itself removes no protection: do it first, so that only the
  // flash contents decide the outcome.
  ASSERT_EQ(SonixCam_DisableSerialFlashWriteProtect(type_), 1);
  camera().load_flash(0, Bytes(0x1000, 0x00));
  Bytes image = random_bytes(0x1000, 6);
  for (int verify = 0; verify <= 1; ++verify) {
    gEC = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SonixCam_WriteFwToFlash(image.data(), 0x1000, nullptr, nullptr, verify), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(gEC, SONIXCAM_EC_VERIFY);
  }
  // Over erased flash the same write verifies.
  camera().load_flash(0, Bytes(0x1000, 0xFF));
  ASSERT_EQ(SonixCam_WriteFwToFlash(image.data(), 0x1000, nullptr, nullptr, 1), 1);
  EXPECT_EQ(flash(0, 0x1000), image);
}

TEST_F(StreamingFirmwareTest, ImageOf1000BytesTakes16StreamingWritesPaddedWithErasedBytes) {
  Bytes image = random_bytes(1000, 7);
  ASSERT_EQ(SonixCam_BurnerFW(image.data(), 1000, nullptr, nullptr, type_, 0), 1);
  std::vector<TransferRecord> sets;
  for (const auto& r : log())
    if (is_stream_set(r)) sets.push_back(r);
  ASSERT_EQ(sets.size(), 17u);  // the announcement, then 16 units
  const auto& announce = sets[0].data;
  EXPECT_EQ(announce[4], 0x00);  // write
  EXPECT_EQ(announce[6] | announce[7] << 8, 1000);
  EXPECT_EQ(Bytes(sets[16].data.begin(), sets[16].data.begin() + 40), Bytes(image.begin() + 960, image.end()));
  EXPECT_EQ(Bytes(sets[16].data.begin() + 40, sets[16].data.end()), Bytes(24, 0xFF));
  Bytes out(1000, 0);
  ASSERT_EQ(SonixCam_ExportFW(out.data(), 1000, nullptr, nullptr), 1);
  EXPECT_EQ(out, image);
}

TEST_F(StreamingFirmwareTest, FailedReadEndsTheExportWithoutCode) {
  int stream_reads = 0;
  camera().fail_transfers_matching(
      [&stream_reads](const TransferRequest& r) {
        return r.request_type == 0xA1 && r.value == 0x0600 && ++stream_reads == 10;
      },
      LIBUSB_ERROR_TIMEOUT, 1);
  Bytes out(4096, 0x00);
  Progress progress;
  EXPECT_EQ(SonixCam_ExportFW(out.data(), 4096, Progress::record, &progress), 0);
  EXPECT_EQ(gEC, 0);
  EXPECT_EQ(progress.fractions.size(), 10u);  // one before each unit, no completion
  EXPECT_LT(progress.fractions.back(), 1.0f);
  EXPECT_EQ(Bytes(out.begin() + 9 * 64, out.end()), Bytes(4096 - 9 * 64, 0x00));
}

TEST_F(StreamingFirmwareTest, BurnThenExportByStreamingPastTheWindowReach) {
  for (int verify = 0; verify <= 1; ++verify) {
    SCOPED_TRACE(verify ? "verify" : "spot check");
    const std::int64_t length = 300 * 1024 + 13;
    Bytes image = random_bytes(length, 20 + verify);
    Progress burn;
    ASSERT_EQ(SonixCam_BurnerFW(image.data(), length, Progress::record, &burn, type_, verify), 1);
    EXPECT_TRUE(burn.monotonic_from_0_to_1());
    Bytes out(length, 0);
    Progress exported;
    ASSERT_EQ(SonixCam_ExportFW(out.data(), length, Progress::record, &exported), 1);
    EXPECT_EQ(out, image);
    EXPECT_TRUE(exported.monotonic_from_0_to_1());
  }
}

TEST_F(StreamingFirmwareTest, ImageLargerThanTheFlashIsNeverReportedAsBurnt) {
  const std::size_t flash_size = camera().config().flash.size_bytes;
  const auto length = static_cast<std::int64_t>(flash_size + 64 * 1024);
  Bytes image = random_bytes(static_cast<std::size_t>(length), 8);
  for (int verify = 0; verify <= 1; ++verify) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SonixCam_BurnerFW(image.data(), length, nullptr, nullptr, type_, verify), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (gEC == SONIXCAM_EC_VERIFY) {
      EXPECT_NE(out.find("data="), std::string::npos);
    }
  }
}

TEST_F(StreamingFirmwareTest, NoMemoryForTheCopySetsCode14AndSendsNothing) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit cannot be combined with a sanitizer's shadow memory";
  if (std::getenv("MORVANE_UNDER_QEMU_USER") != nullptr) {
    GTEST_SKIP() << "under QEMU user-mode emulation the program cannot re-execute itself for the death test, and an "
                    "address-space limit would bind the emulator's own memory";
  }
  // A child started afresh: memory freed by earlier tests could otherwise
  // serve the copy without asking the system for more.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // 16 MiB, the largest image the 24-bit flash addresses allow.
  Bytes image(0x1000000, 0xA5);
  EXPECT_EXIT(burn_under_address_space_limit(camera(), image, type_), ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

TEST_F(Chip16FirmwareTest, ChipRegionsAreHeldBackUntilEverythingElseIsWritten) {
  Bytes image = random_bytes(0x8000, 9);
  std::memset(image.data(), 0x3C, 2);
  std::memset(image.data() + 0x6700, 0x3C, 0x17);
  // Fail the last main-pass unit: none of the held-back bytes may be in the flash.
  int window_writes = 0;
  camera().fail_transfers_matching(
      [&window_writes](const TransferRequest& r) {
        return r.request_type == 0x21 && r.value == 0x0300 && ++window_writes == 0x8000 / 8;
      },
      LIBUSB_ERROR_IO, 1);
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 0x8000, nullptr, nullptr, type_, 0), 0);
  EXPECT_EQ(flash(0, 2), Bytes(2, 0xFF));
  EXPECT_EQ(flash(0x160, 4), Bytes(4, 0xFF));
  EXPECT_EQ(flash(0x6700, 0x17), Bytes(0x17, 0xFF));
  EXPECT_EQ(flash(0x6717, 8), Bytes(image.begin() + 0x6717, image.begin() + 0x671F));

  camera().clear_faults();
  camera().clear_logs();
  ASSERT_EQ(SonixCam_BurnerFW(image.data(), 0x8000, nullptr, nullptr, type_, 1), 1);
  using Write = std::pair<std::uint32_t, int>;
  std::vector<Write> tail;
  for (const auto& r : log())
    if (is_window_write(r)) tail.emplace_back(window_address(r), r.data[2] & 0x0F);
  ASSERT_GE(tail.size(), 6u);
  const std::vector<Write> expected = {{0x160, 8}, {0x6702, 8}, {0x670A, 8}, {0x6712, 5}, {0, 2}, {0x6700, 2}};
  const std::vector<Write> last_six(tail.end() - 6, tail.end());
  EXPECT_EQ(last_six, expected);
  Bytes out(0x8000, 0);
  ASSERT_EQ(SonixCam_ExportFW(out.data(), 0x8000, nullptr, nullptr), 1);
  EXPECT_EQ(out, image);
}

TEST_F(FirmwareTest, PowerCutsAnywhereInABurnNeverLeaveAnImageThatLooksComplete) {
  const std::int64_t length = 0x2000;
  Bytes old_image = random_bytes(length, 30);
  Bytes image = random_bytes(length, 31);
  std::memset(image.data() + 0x160, 0x6B, 4);  // differs from the old image there
  ASSERT_EQ(SonixCam_BurnerFW(old_image.data(), length, nullptr, nullptr, type_, 0), 1);

  // How many SPI operations a whole burn takes.
  const auto ops = [this] { return camera().flash_controller().counters().spi_operations; };
  const auto start = ops();
  ASSERT_EQ(SonixCam_BurnerFW(old_image.data(), length, nullptr, nullptr, type_, 0), 1);
  const auto total = ops() - start;
  ASSERT_GT(total, 0u);

  for (int step = 1; step <= 8; ++step) {
    const std::uint64_t cut = total * static_cast<std::uint64_t>(step) / 9;
    SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(total) + " operations");
    camera().cut_power_after_spi_operations(cut);
    EXPECT_EQ(SonixCam_BurnerFW(image.data(), length, nullptr, nullptr, type_, 0), 0);
    const Bytes header = flash(0x160, 4);
    EXPECT_NE(header, Bytes(image.begin() + 0x160, image.begin() + 0x164));

    // Power back: the camera re-enumerates; close, reopen and burn again.
    SonixCam_UnInit();
    camera().clear_faults();
    camera().replug();
    open();
    ASSERT_EQ(SonixCam_BurnerFW(old_image.data(), length, nullptr, nullptr, type_, 0), 1);
  }
  ASSERT_EQ(SonixCam_BurnerFW(image.data(), length, nullptr, nullptr, type_, 1), 1);
  Bytes out(length, 0);
  ASSERT_EQ(SonixCam_ExportFW(out.data(), length, nullptr, nullptr), 1);
  EXPECT_EQ(out, image);
}

// ---- Parameter table.

// The default generation keeps its table at 0x8000..0x8800 with the check
// value in the first sector (bytes 20 and 21).
constexpr std::uint32_t kTable = 0x8000;
constexpr std::uint32_t kTableEnd = 0x8800;
constexpr std::uint32_t kCheck = 0;

Bytes expected_after(const Bytes& image, std::uint32_t table, std::uint32_t end, std::uint32_t check,
                     const ChangeParamInfo& p) {
  Bytes out = image;
  if (p.pVidPid) std::memcpy(out.data() + table + 6, p.pVidPid, 4);
  if (p.pProduct) SetParamToParamBuffer(out.data(), table + 0x40, p.pProduct, p.ProductLength);
  if (p.pManufacture) SetParamToParamBuffer(out.data(), table + 0x80, p.pManufacture, p.ManufactureLength);
  if (p.pSerialNumber) SetParamToParamBuffer(out.data(), table + 0xC0, p.pSerialNumber, p.SerialNumberLength);
  if (p.pString3) SetParamToParamBuffer(out.data(), table + 0x100, p.pString3, p.String3Length);
  if (p.pInterface) SetParamToParamBuffer(out.data(), table + 0x140, p.pInterface, p.InterfaceLength);
  CheckCRC(out.data(), table, end - table, check);
  return out;
}

std::vector<std::size_t> differences(const Bytes& a, const Bytes& b) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (a[i] != b[i]) out.push_back(i);
  return out;
}

std::string read_string(int (*getter)(uint8_t*, int64_t)) {
  std::uint8_t buffer[65] = {};
  if (getter(buffer, 64) != 1) return "<failed>";
  return reinterpret_cast<const char*>(buffer);
}

TEST_F(FirmwareTest, ParamTableUpdateWithOnlyVidPidChangesFourBytesAndTheCheckValue) {
  Bytes image = random_bytes(0x10000, 40);
  camera().load_flash(0, image);
  std::uint32_t vidpid = 0;
  std::memcpy(&vidpid, image.data() + kTable + 6, 4);
  vidpid = ~vidpid;  // every byte differs
  ChangeParamInfo param{};
  param.pVidPid = &vidpid;
  const Bytes expected = expected_after(image, kTable, kTableEnd, kCheck, param);

  Progress progress;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(
      SonixCam_SetParamTableFormFWFile(image.data(), 0x10000, &param, Progress::record, &progress, type_, nullptr), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "dwParaTableStartAddr :8000, dwParaTableEndAddr : 8800, dwCRCStartAddr: 0");
  EXPECT_EQ(flash(0, 0x10000), expected);
  const auto changed = differences(image, flash(0, 0x10000));
  for (auto at : changed) {
    EXPECT_TRUE((at >= kTable + 6 && at < kTable + 10) || at == kCheck + 20 || at == kCheck + 21) << at;
  }
  EXPECT_GE(changed.size(), 4u);
  ASSERT_FALSE(progress.fractions.empty());
  EXPECT_EQ(progress.fractions.front(), 0.5f);
  EXPECT_EQ(progress.fractions.back(), 1.0f);
  for (std::size_t i = 1; i < progress.fractions.size(); ++i)
    EXPECT_LE(progress.fractions[i - 1], progress.fractions[i]);

  std::uint32_t read_back = 0;
  ASSERT_EQ(SonixCam_GetVidPid(&read_back), 1);
  EXPECT_EQ(read_back, vidpid);
}

TEST_F(FirmwareTest, ParamTableStringsReadBackThroughTheStringGetters) {
  Bytes image = random_bytes(0x10000, 41);
  camera().load_flash(0, image);
  char product[] = "Stereo X2";
  char maker[] = "Morvane Labs";
  char serial[] = "SN-000042";
  char s3[] = "Rev B";
  char iface[] = "Depth";
  ChangeParamInfo param{};
  param.pProduct = product;
  param.ProductLength = 9;
  param.pManufacture = maker;
  param.ManufactureLength = 12;
  param.pSerialNumber = serial;
  param.SerialNumberLength = 9;
  param.pString3 = s3;
  param.String3Length = 5;
  param.pInterface = iface;
  param.InterfaceLength = 5;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0x10000, &param, nullptr, nullptr, type_, nullptr), 1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(flash(0, 0x10000), expected_after(image, kTable, kTableEnd, kCheck, param));
  EXPECT_EQ(read_string(SonixCam_GetProduct), "Stereo X2");
  EXPECT_EQ(read_string(SonixCam_GetManufacturer), "Morvane Labs");
  EXPECT_EQ(read_string(SonixCam_GetSerialNumber), "SN-000042");
  EXPECT_EQ(read_string(SonixCam_GetString3), "Rev B");
  EXPECT_EQ(read_string(SonixCam_GetInterface), "Depth");
}

TEST_F(FirmwareTest, ParamTableUpdateRefusesImagesAndRecordsItCannotApplyWholly) {
  Bytes image = random_bytes(0x10000, 42);
  camera().load_flash(0, image);
  const auto erases = camera().flash().counters().erases;
  ChangeParamInfo param{};
  std::uint32_t vidpid = 0x11223344;
  param.pVidPid = &vidpid;
  ::testing::internal::CaptureStdout();
  // The image ends inside the 16 KiB update area.
  EXPECT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0xA000, &param, nullptr, nullptr, type_, nullptr), 0);
  // A text that does not fit its descriptor block.
  char long_name[] = "An exceedingly long product name";  // 32 characters
  param.pProduct = long_name;
  param.ProductLength = 32;
  EXPECT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0x10000, &param, nullptr, nullptr, type_, nullptr), 0);
  param.ProductLength = -1;
  EXPECT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0x10000, &param, nullptr, nullptr, type_, nullptr), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(camera().flash().counters().erases, erases);
  EXPECT_EQ(flash(0, 0x10000), image);
  EXPECT_EQ(gEC, 0);
}

TEST_F(Rom216FirmwareTest, ParamTableUpdateWritesEachErasedSectorOnce) {
  // Table 0x5800..0x6700, check value 0x6700: the table's sector 0x5000 and
  // the check value's sector 0x6000 are erased; 0x4000 and 0x7000 keep theirs.
  Bytes image = random_bytes(0x10000, 43);
  camera().load_flash(0, image);
  char product[] = "Sixteen";
  std::uint32_t vidpid = 0x0C45ABCD;
  ChangeParamInfo param{};
  param.pProduct = product;
  param.ProductLength = 7;
  param.pVidPid = &vidpid;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(SonixCam_SetParamTableFormFWFile(image.data(), 0x10000, &param, nullptr, nullptr, type_, nullptr), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "dwParaTableStartAddr :5800, dwParaTableEndAddr : 6700, dwCRCStartAddr: 6700");
  EXPECT_EQ(flash(0, 0x10000), expected_after(image, 0x5800, 0x6700, 0x6700, param));
  std::map<std::uint32_t, int> writes;
  for (const auto& r : log())
    if (is_window_write(r)) ++writes[window_address(r)];
  EXPECT_EQ(writes.size(), 2u * 4096 / 8);
  for (const auto& [address, count] : writes) {
    EXPECT_TRUE(address >= 0x5000 && address < 0x7000) << std::hex << address;
    EXPECT_EQ(count, 1) << std::hex << address;
  }
  EXPECT_EQ(read_string(SonixCam_GetProduct), "Sixteen");
}

TEST_F(Chip16FirmwareTest, CustomBurnAppliesTheRecordAndCheckValueToTheBurntImage) {
  Bytes image = random_bytes(0x8000, 44);
  char product[] = "Custom";
  char serial[] = "0007";
  std::uint32_t vidpid = 0x06430C45;
  ChangeParamInfo param{};
  param.pProduct = product;
  param.ProductLength = 6;
  param.pSerialNumber = serial;
  param.SerialNumberLength = 4;
  param.pVidPid = &vidpid;
  Progress progress;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(SonixCam_CustomBurnerFW(&param, image.data(), 0x8000, Progress::record, &progress, type_, 1), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(progress.monotonic_from_0_to_1());
  Bytes out(0x8000, 0);
  ASSERT_EQ(SonixCam_ExportFW(out.data(), 0x8000, nullptr, nullptr), 1);
  const Bytes expected = expected_after(image, 0x5800, 0x6700, 0x6700, param);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(read_string(SonixCam_GetProduct), "Custom");
  EXPECT_EQ(read_string(SonixCam_GetSerialNumber), "0007");
  std::uint32_t read_back = 0;
  ASSERT_EQ(SonixCam_GetVidPid(&read_back), 1);
  EXPECT_EQ(read_back, vidpid);
  // The caller's image is not modified.
  EXPECT_EQ(image, random_bytes(0x8000, 44));
}

TEST_F(Chip16FirmwareTest, CustomBurnRefusesARecordThatDoesNotFitBeforeAnyTransfer) {
  Bytes image = random_bytes(0x8000, 45);
  const Bytes before = flash(0, 0x8000);
  char name[] = "0123456789012345678901234567890123";
  ChangeParamInfo param{};
  param.pManufacture = name;
  param.ManufactureLength = 34;
  EXPECT_EQ(SonixCam_CustomBurnerFW(&param, image.data(), 0x8000, nullptr, nullptr, type_, 1), 0);
  // An image too short to hold the table it names.
  param.ManufactureLength = 4;
  EXPECT_EQ(SonixCam_CustomBurnerFW(&param, image.data(), 0x6000, nullptr, nullptr, type_, 1), 0);
  EXPECT_EQ(gEC, 0);
  EXPECT_EQ(flash(0, 0x8000), before);
}

}  // namespace
