// Several threads at once: thread texts stay apart, a shared context's text
// is only touched under its lock, and calls on one device handle never
// overlap. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "c_api/no_camera_platform.hpp"
#include "morvane/uvc_stereo.h"
#include "platform/platform.hpp"

namespace {

namespace uvc = morvane::uvc_stereo;
using morvane::c_api_test::NoCameraPlatform;

constexpr int kRounds = 300;

std::string thread_text() {
  const char* text = nullptr;
  std::size_t length = 0;
  if (morvane_uvc_stereo_last_error_message(&text, &length) != 0 || text == nullptr) return "<failed>";
  return std::string(text, length);
}

// Starts all threads' loops together so that their calls overlap.
class StartLine {
 public:
  explicit StartLine(int threads) : waiting_(threads) {}
  void arrive_and_wait() {
    waiting_.fetch_sub(1);
    while (waiting_.load() > 0) std::this_thread::yield();
  }

 private:
  std::atomic<int> waiting_;
};

class CApiConcurrencyTest : public ::testing::Test {
 protected:
  NoCameraPlatform os_;
  uvc::platform::ScopedPlatform installed_{os_};
};

TEST_F(CApiConcurrencyTest, EachThreadKeepsItsOwnText) {
  // Thread i makes the call of row i again and again and must always read
  // back that call's text, whatever the others do meanwhile.
  struct Row {
    int (*call)();
    int status;
    const char* text;
  };
  const Row rows[] = {
      {[] { return morvane_uvc_stereo_ctx_create(nullptr, nullptr); }, 1, "out_handle is null"},
      {[] { return morvane_uvc_stereo_convert_imu(nullptr, nullptr, nullptr); }, 1, "raw/out_result is null"},
      {[] {
         morvane_uvc_stereo_read_imu_result_t raw{};
         morvane_uvc_stereo_imu_conversion_options_t options{};
         morvane_uvc_stereo_imu_sample_t out;
         return morvane_uvc_stereo_convert_imu(&raw, &options, &out);
       },
       1, "temperature_lsb_per_c must not be zero"},
      {[] {
         morvane_uvc_stereo_read_imu_result_t raw{};
         morvane_uvc_stereo_imu_sample_t out;
         return morvane_uvc_stereo_convert_imu(&raw, nullptr, &out);
       },
       0, ""},
      {[] {
         morvane_uvc_stereo_device_info_t* list = nullptr;
         std::size_t count = 0;
         return morvane_uvc_stereo_scan_devices(&list, &count);
       },
       2, "no devices found"},
  };
  constexpr int kThreads = sizeof rows / sizeof rows[0];
  StartLine start(kThreads);
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        if (rows[i].call() != rows[i].status || thread_text() != rows[i].text) ++mismatches[i];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(mismatches[i], 0) << rows[i].text;
}

TEST_F(CApiConcurrencyTest, SharedContextTextIsGuarded) {
  morvane_uvc_stereo_ctx_t* shared = nullptr;
  morvane_uvc_stereo_ctx_t* own = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_ctx_create(nullptr, &shared), 0);
  ASSERT_EQ(morvane_uvc_stereo_ctx_create(nullptr, &own), 0);

  constexpr int kThreads = 5;
  StartLine start(kThreads);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  // Two writers set the shared text to one of two failures.
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      start.arrive_and_wait();
      morvane_uvc_stereo_device_info_t info;
      for (int round = 0; round < kRounds; ++round) {
        if ((round + w) % 2 == 0) {
          if (morvane_uvc_stereo_ctx_scan(shared, nullptr) != 1 || thread_text() != "out_device is null") ++bad;
        } else {
          if (morvane_uvc_stereo_ctx_scan(shared, &info) != 2 || thread_text() != "no devices found") ++bad;
        }
      }
    });
  }
  // Two readers take the shared text's pointer and length under its lock.
  // They must not read the bytes while writers may replace them; the length
  // tells which text was current.
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        const char* text = nullptr;
        std::size_t length = 0;
        if (morvane_uvc_stereo_ctx_last_error_message(shared, &text, &length) != 0 || text == nullptr) ++bad;
        if (length != 0 && length != std::strlen("out_device is null") && length != std::strlen("no devices found")) {
          ++bad;
        }
      }
    });
  }
  // One thread has a context of its own: nothing the others do reaches it.
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int round = 0; round < kRounds; ++round) {
      morvane_uvc_stereo_ctx_scan(own, nullptr);
      const char* text = nullptr;
      std::size_t length = 0;
      morvane_uvc_stereo_ctx_last_error_message(own, &text, &length);
      if (std::string(text, length) != "out_device is null") ++bad;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);

  const char* text = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(morvane_uvc_stereo_ctx_last_error_message(shared, &text, &length), 0);
  const std::string last(text, length);
  EXPECT_TRUE(last == "out_device is null" || last == "no devices found") << last;
  morvane_uvc_stereo_ctx_destroy(shared);
  morvane_uvc_stereo_ctx_destroy(own);
}

TEST_F(CApiConcurrencyTest, CallsOnOneHandleDoNotOverlap) {
  morvane_uvc_stereo_device_info_t record;
  std::memset(&record, 0, sizeof record);
  record.vid = 0x0c45;
  record.pid = 0x0643;
  std::strcpy(record.serial, "SN-shared");
  morvane_uvc_stereo_open_device_options_t options{0};
  morvane_uvc_stereo_device_t* device = nullptr;
  ASSERT_EQ(morvane_uvc_stereo_open_device(&record, &options, &device), 0);

  // close_imu resets the device's reader while read_imu and device_info read
  // it; only the handle's lock keeps them apart (ThreadSanitizer checks).
  constexpr int kThreads = 3;
  StartLine start(kThreads);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int round = 0; round < kRounds; ++round) {
      if (morvane_uvc_stereo_device_close_imu(device) != 0 || !thread_text().empty()) ++bad;
    }
  });
  threads.emplace_back([&] {
    start.arrive_and_wait();
    morvane_uvc_stereo_read_imu_result_t raw;
    for (int round = 0; round < kRounds; ++round) {
      if (morvane_uvc_stereo_device_read_imu(device, &raw) != 1 || thread_text() != "IMU is not open") ++bad;
    }
  });
  threads.emplace_back([&] {
    start.arrive_and_wait();
    morvane_uvc_stereo_device_info_t info;
    for (int round = 0; round < kRounds; ++round) {
      if (morvane_uvc_stereo_device_info(device, &info) != 0 || std::strcmp(info.serial, "SN-shared") != 0) ++bad;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  morvane_uvc_stereo_close_device(device);
}

}  // namespace
