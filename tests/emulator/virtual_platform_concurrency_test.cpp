// The virtual platform under several threads: it stays consistent (and
// ThreadSanitizer-clean), and it notices when two threads use one camera's
// USB connection at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uvcvideo.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/virtual_platform.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::emulator {
namespace {

using morvane::testing::default_camera_config;

libusb_device_handle* open_and_claim(VirtualPlatform& p, std::uint8_t bus) {
  libusb_device** list = nullptr;
  const ssize_t n = p.usb_get_device_list(&list);
  libusb_device_handle* handle = nullptr;
  for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
    libusb_device_descriptor desc;
    if (p.usb_get_device_descriptor(list[i], &desc) != 0 || desc.idVendor != 0x0c45) continue;
    if (p.usb_get_bus_number(list[i]) != bus || p.usb_open(list[i], &handle) != 0) handle = nullptr;
  }
  p.usb_free_device_list(list, 1);
  if (handle == nullptr) return nullptr;
  if (p.usb_kernel_driver_active(handle, 0) == 1) p.usb_detach_kernel_driver(handle, 0);
  if (p.usb_claim_interface(handle, 0) != 0) {
    p.usb_close(handle);
    return nullptr;
  }
  return handle;
}

void release_and_close(VirtualPlatform& p, libusb_device_handle* h) {
  p.usb_release_interface(h, 0);
  p.usb_attach_kernel_driver(h, 0);
  p.usb_close(h);
}

int chip_id(VirtualPlatform& p, libusb_device_handle* h) {
  unsigned char buf[4] = {0x1F, 0x10, 0x00, 0xFF};
  if (p.usb_control_transfer(h, 0x21, 0x01, 0x0100, 0x0300, buf, 4, 1000) != 4) return -1;
  if (p.usb_control_transfer(h, 0xA1, 0x81, 0x0100, 0x0300, buf, 4, 1000) != 4) return -1;
  return buf[2];
}

TEST(VirtualPlatformConcurrency, SerialisedSessionsAndParallelDiscoveryStayClean) {
  morvane::testing::VirtualCameraRig rig({default_camera_config(0), default_camera_config(1)});
  VirtualPlatform& p = rig.platform();
  ASSERT_EQ(p.usb_init(), 0);
  std::mutex session_lock;  // what the SDK's flash lock does
  std::atomic<int> good_reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        std::lock_guard<std::mutex> lock(session_lock);
        libusb_device_handle* h = open_and_claim(p, 1);
        if (h == nullptr) continue;
        if (chip_id(p, h) == 0x83) ++good_reads;
        release_and_close(p, h);
      }
    });
  }
  std::atomic<int> scans{0};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        std::vector<std::string> names;
        if (!p.list_directory("/dev", names)) continue;
        // The second camera's node: its driver stays bound throughout.
        auto stream = p.run_command("udevadm info -q property -n '/dev/video2'");
        if (!stream) continue;
        char line[1024];
        while (stream->read_line(line, sizeof line)) {
        }
        if (stream->close() == 0) ++scans;
        timespec pause{0, 1000000};
        p.sleep(&pause, nullptr);
      }
    });
  }
  for (auto& t : threads) t.join();
  p.usb_exit();
  EXPECT_EQ(good_reads.load(), 100);
  EXPECT_EQ(scans.load(), 50);
  EXPECT_TRUE(rig.clean());
}

TEST(VirtualPlatformConcurrency, TransferDuringAnotherThreadsTransferIsRecorded) {
  VirtualPlatform p;
  VirtualCamera& cam = p.add_camera(default_camera_config());
  cam.set_kernel_driver_bound(false);
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(p.usb_get_device_list(&list), 2);
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(p.usb_open(list[1], &h), 0);
  p.usb_free_device_list(list, 1);
  ASSERT_EQ(p.usb_claim_interface(h, 0), 0);

  // Thread A's transfer is held inside the device until thread B has begun
  // its own; the ordering is enforced by flags, not by timing.
  std::atomic<bool> a_inside{false};
  std::atomic<bool> hold{true};
  cam.fail_transfers_matching(
      [&](const TransferRequest& r) {
        if (r.value == 0x0400 && hold.exchange(false)) {
          a_inside = true;
          while (p.overlaps().empty()) std::this_thread::yield();
        }
        return false;
      },
      LIBUSB_ERROR_IO);
  std::thread a([&] {
    unsigned char rom[11] = {0xF8, 0xBF, 8};
    p.usb_control_transfer(h, 0x21, 0x01, 0x0400, 0x0300, rom, 11, 1000);
  });
  while (!a_inside) std::this_thread::yield();
  int b_result = 0;
  std::thread b([&] { b_result = chip_id(p, h); });
  a.join();
  b.join();
  EXPECT_EQ(b_result, 0x83);
  ASSERT_EQ(p.overlaps().size(), 1u);
  EXPECT_NE(p.overlaps()[0].description.find("in progress"), std::string::npos);
  p.usb_close(h);
  p.usb_exit();
}

TEST(VirtualPlatformConcurrency, SecondHandleFromAnotherThreadIsRecorded) {
  VirtualPlatform p;
  p.add_camera(default_camera_config());
  ASSERT_EQ(p.usb_init(), 0);
  libusb_device_handle* first = open_and_claim(p, 1);
  ASSERT_NE(first, nullptr);
  libusb_device_handle* second = nullptr;
  int claim = 0;
  std::thread other([&] {
    libusb_device** list = nullptr;
    const ssize_t n = p.usb_get_device_list(&list);
    if (n == 2 && p.usb_open(list[1], &second) == 0) claim = p.usb_claim_interface(second, 0);
    p.usb_free_device_list(list, 1);
  });
  other.join();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(claim, LIBUSB_ERROR_BUSY);  // the first handle holds the interface
  EXPECT_EQ(p.overlaps().size(), 1u);
  p.usb_close(second);
  release_and_close(p, first);
  p.usb_exit();
  EXPECT_EQ(p.open_handle_count(), 0u);
}

// Waits (in real time, as the platform does) until `count` requests wait for
// the camera's answer.
bool until_waiting(VirtualCamera& cam, std::size_t count) {
  for (int i = 0; i < 5000 && cam.requests_waiting() != count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return cam.requests_waiting() == count;
}

// A camera that stops answering holds each request until the request's own
// timeout, or until it answers again or leaves the bus; the device sees
// nothing of a request that timed out.
TEST(VirtualPlatformConcurrency, CameraThatStopsAnsweringHoldsRequestsUntilTimeoutAnswerOrUnplug) {
  VirtualPlatform p;
  VirtualCamera& cam = p.add_camera(default_camera_config());
  ASSERT_EQ(p.usb_init(), 0);
  const int node = p.video_open("/dev/video0", O_RDONLY);
  ASSERT_GE(node, 0);
  cam.set_answering(false);

  std::uint8_t sample[17] = {};
  uvc_xu_control_query q{4, 10, kGetCur, 17, sample};
  auto query = std::async(std::launch::async, [&] {
    const int r = p.video_ioctl(node, UVCIOC_CTRL_QUERY, &q);
    return r == 0 ? 0 : errno;
  });
  ASSERT_TRUE(until_waiting(cam, 1));
  cam.set_answering(true);
  EXPECT_EQ(query.get(), 0);  // answered once the camera answers again
  EXPECT_EQ(sample[1], 25);
  p.video_close(node);

  libusb_device_handle* h = open_and_claim(p, 1);
  ASSERT_NE(h, nullptr);
  cam.set_answering(false);
  const std::size_t seen = cam.transfer_count();
  const std::uint64_t before = p.clock().now_ns();
  unsigned char buf[4] = {0x1F, 0x10, 0x00, 0xFF};
  EXPECT_EQ(p.usb_control_transfer(h, 0x21, 0x01, 0x0100, 0x0300, buf, 4, 30), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(p.clock().now_ns() - before, 30000000u);  // the timeout passed on the virtual clock too
  EXPECT_EQ(cam.transfer_count(), seen);

  auto transfer = std::async(std::launch::async, [&] {
    return p.usb_control_transfer(h, 0xA1, 0x81, 0x0100, 0x0300, buf, 4, 0);  // 0: no time limit
  });
  ASSERT_TRUE(until_waiting(cam, 1));
  cam.unplug();
  EXPECT_EQ(transfer.get(), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(cam.requests_waiting(), 0u);
  EXPECT_TRUE(p.overlaps().empty());
  p.usb_close(h);
  p.usb_exit();
}

}  // namespace
}  // namespace morvane::emulator
