// One camera, several users: the per-camera lock that every process and both
// SDK libraries take around a flash connection. Against the virtual camera on
// the virtual clock (the wait, the busy failure, the hand-over, release on
// every path), and flock's own rules on a real file for the Linux platform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"
#include "platform/platform.hpp"
#include "sonix/fake_usb.hpp"
#include "sonix/sonix_cam.h"
#include "sonix/sonix_internal.h"
#include "support/forwarding_platform.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

using morvane::testing::VirtualCameraTest;

constexpr std::uint64_t kSecond = 1'000'000'000ULL;
constexpr const char* kBusy = "camera is busy: another user still holds it after 10 s";

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

class CameraLockTest : public VirtualCameraTest {
 protected:
  std::string node() {
    char text[32];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(camera().config().bus_number),
                  static_cast<unsigned>(camera().device_address()));
    return text;
  }
  FlashConfig config() {
    FlashConfig c;
    c.vidpid = morvane::testing::kDefaultVidPid;
    c.auto_select = false;
    c.bus_number = camera().config().bus_number;
    c.device_address = camera().device_address();
    return c;
  }
  // Takes the camera's lock as another process (or the other library) would.
  int hold() {
    const int fd = platform().lock_open(node());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(platform().lock_try(fd), 0);
    return fd;
  }
  FlashBlob blob(const std::string& json) {
    auto built = build_blob(0, bytes_of(json), FlashConfig{});
    EXPECT_TRUE(built.ok()) << built.message;
    return built.ok() ? *built.value : FlashBlob{};
  }
};

// Every flash operation waits the whole 10 s for a camera another user
// holds, then fails with device_unavailable and the busy text, having sent
// nothing and changed nothing; once the lock is free the same call works.
TEST_F(CameraLockTest, EveryFlashOperationWaitsTenSecondsForABusyCameraThenFailsCleanly) {
  ASSERT_TRUE(write_blob_to_device(config(), blob("{\"stored\":1}")).ok());
  struct Operation {
    const char* name;
    std::function<Result<void>()> run;
  };
  const std::vector<Operation> operations = {
      {"read", [&] { return Result<void>::forward(read_blob_from_device(config())); }},
      {"write", [&] { return write_blob_to_device(config(), blob("{\"stored\":2}")); }},
      {"probe", [&] { return probe_flash_transport(config()); }},
      {"firmware", [&] { return Result<void>::forward(detail::read_firmware_version_from_device(config())); }},
  };
  for (const Operation& op : operations) {
    SCOPED_TRACE(op.name);
    const std::vector<std::uint8_t> before = camera().flash_contents(0x51000, 64);
    const int holder = hold();
    const std::uint64_t transfers = camera().transfer_count();
    const std::uint64_t t0 = clock().now_ns();
    Result<void> busy = op.run();
    const std::uint64_t waited = clock().now_ns() - t0;
    EXPECT_EQ(busy.code, ErrorCode::device_unavailable);
    EXPECT_EQ(busy.message, kBusy);
    EXPECT_GE(waited, 10 * kSecond);
    EXPECT_LT(waited, 10 * kSecond + kSecond / 10);
    EXPECT_EQ(camera().transfer_count(), transfers) << "nothing may reach a camera another user holds";
    EXPECT_EQ(camera().flash_contents(0x51000, 64), before);
    EXPECT_EQ(platform().open_handle_count(), 0u);
    EXPECT_EQ(platform().open_lock_count(), 1u);  // the holder's only
    ASSERT_EQ(platform().lock_close(holder), 0);
    Result<void> free = op.run();
    EXPECT_TRUE(free.ok()) << free.message;
    EXPECT_TRUE(rig().clean());
  }
  auto stored = read_blob_from_device(config());
  ASSERT_TRUE(stored.ok());
  EXPECT_EQ(stored->payload, bytes_of("{\"stored\":2}"));
}

// The waiting user gets the camera as soon as the holder lets go: here the
// holder releases it 3 s into the wait.
class ReleasingPlatform final : public testing::ForwardingPlatform {
 public:
  ReleasingPlatform(emulator::VirtualPlatform& target, int holder, std::uint64_t release_at)
      : ForwardingPlatform(target), virtual_(target), holder_(holder), release_at_(release_at) {}
  int sleep(const timespec* request, timespec* remaining) override {
    const int r = ForwardingPlatform::sleep(request, remaining);
    if (holder_ >= 0 && virtual_.clock().now_ns() >= release_at_) {
      virtual_.lock_close(holder_);
      holder_ = -1;
    }
    return r;
  }

 private:
  emulator::VirtualPlatform& virtual_;
  int holder_;
  std::uint64_t release_at_;
};

TEST_F(CameraLockTest, TheWaitingUserProceedsAsSoonAsTheHolderLetsGo) {
  ASSERT_TRUE(write_blob_to_device(config(), blob("[1,2,3]")).ok());
  const int holder = hold();
  const std::uint64_t t0 = clock().now_ns();
  ReleasingPlatform releasing(platform(), holder, t0 + 3 * kSecond);
  platform::ScopedPlatform installed(releasing);
  auto read = read_blob_from_device(config());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read->payload, bytes_of("[1,2,3]"));
  const std::uint64_t waited = clock().now_ns() - t0;
  EXPECT_GE(waited, 3 * kSecond);
  EXPECT_LT(waited, 4 * kSecond);  // the read itself (and its pauses) take well under a second here
  platform::install(&platform());
  EXPECT_TRUE(rig().clean());
}

// At the access-library level: the lock is held from SonixCam_Init to
// SonixCam_UnInit and released by every failed open; a busy camera gives
// gEC 16 and its diagnostic without touching libusb; a node that cannot be
// opened for locking leaves the open to libusb.
TEST_F(CameraLockTest, AccessLibraryHoldsTheLockExactlyWhileTheCameraIsOpen) {
  char vidpid[] = "0c450643";
  const std::uint8_t bus = camera().config().bus_number;
  const std::uint8_t address = camera().device_address();

  ASSERT_EQ(SonixCam_Init(vidpid, bus, address), 1);
  const int other = platform().lock_open(node());
  ASSERT_GE(other, 0);
  errno = 0;
  EXPECT_EQ(platform().lock_try(other), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  ASSERT_EQ(SonixCam_UnInit(), 1);
  EXPECT_EQ(platform().lock_try(other), 0);  // released by the close

  gEC = 0;
  const std::size_t transfers = camera().transfer_count();
  {
    sonix_test::CapturedOutput output;
    EXPECT_EQ(SonixCam_Init(vidpid, bus, address), 0);
    char expected[96];
    std::snprintf(expected, sizeof expected, "camera %03u/%03u is busy: another user still holds it after 10 s\n",
                  static_cast<unsigned>(bus), static_cast<unsigned>(address));
    EXPECT_EQ(output.err(), expected);
  }
  EXPECT_EQ(gEC, SONIXCAM_EC_BUSY);
  EXPECT_EQ(camera_init, 0);
  EXPECT_EQ(platform().usb_context_refs(), 0);
  EXPECT_EQ(camera().transfer_count(), transfers);
  ASSERT_EQ(platform().lock_close(other), 0);

  // Failed opens release it: a vid/pid of nobody on that bus and address.
  char nobody[] = "12345678";
  EXPECT_EQ(SonixCam_Init(nobody, bus, address), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
  EXPECT_EQ(platform().open_lock_count(), 0u);
  // No such node: nothing to lock, and libusb finds no camera either.
  EXPECT_EQ(SonixCam_Init(vidpid, bus, static_cast<std::uint8_t>(address + 1)), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
  EXPECT_TRUE(rig().clean());
}

// Another user takes and drops the lock over and over on a thread of its own
// while this one writes and reads documents: every operation either works or
// reports the busy camera, nothing overlaps on the wire, and every document
// read is one of those written, whole.
TEST_F(CameraLockTest, OperationsInterleavedWithAnotherUserSucceedOrReportBusy) {
  const std::vector<std::string> documents = {"{\"n\":1}", "{\"n\":22,\"pad\":\"xxxxxxxx\"}", "[3]"};
  ASSERT_TRUE(write_blob_to_device(config(), blob(documents[0])).ok());
  std::atomic<bool> stop{false};
  std::atomic<int> holds{0};
  const std::string path = node();
  std::thread other([&] {
    while (!stop.load()) {
      const int fd = platform().lock_open(path);
      if (fd < 0) continue;
      if (platform().lock_try(fd) == 0) holds.fetch_add(1);
      std::this_thread::yield();
      platform().lock_close(fd);
      std::this_thread::yield();
    }
  });
  int ok = 0;
  int busy = 0;
  for (int round = 0; round < 30; ++round) {
    // A real pause between operations gives the other user its chances.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    Result<void> written = write_blob_to_device(config(), blob(documents[round % documents.size()]));
    if (written.ok()) {
      ++ok;
    } else {
      EXPECT_EQ(written.code, ErrorCode::device_unavailable);
      EXPECT_EQ(written.message, kBusy);
      ++busy;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    auto read = read_blob_from_device(config());
    if (read.ok()) {
      ++ok;
      const std::string text(read->payload.begin(), read->payload.end());
      EXPECT_NE(std::find(documents.begin(), documents.end(), text), documents.end()) << text;
    } else {
      EXPECT_EQ(read.code, ErrorCode::device_unavailable);
      EXPECT_EQ(read.message, kBusy);
      ++busy;
    }
  }
  stop.store(true);
  other.join();
  EXPECT_EQ(ok + busy, 60) << ok << " " << busy;
  EXPECT_GT(holds.load(), 0);
  EXPECT_TRUE(platform().overlaps().empty());
  EXPECT_TRUE(rig().clean());
}

// The Linux platform's locks follow flock: each open of the node is its own
// owner, so the C and the C++ library in one process (each opening the node
// itself) exclude each other just as two processes do; closing releases.
TEST(LinuxCameraLock, EachOpenIsItsOwnOwnerInOneProcessAndAcrossProcesses) {
  platform::Platform& linux = platform::linux_platform();
  char path[] = "/tmp/morvane-lock-XXXXXX";
  const int made = mkstemp(path);
  ASSERT_GE(made, 0);
  close(made);

  const int first = linux.lock_open(path);
  const int second = linux.lock_open(path);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  EXPECT_NE(fcntl(first, F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_EQ(linux.lock_try(first), 0);
  errno = 0;
  EXPECT_EQ(linux.lock_try(second), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);

  // Another process sees it taken too, and gets it once it is released.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = platform::linux_platform().lock_open(path);
    const bool taken = platform::linux_platform().lock_try(fd) == 0;
    _exit(fd >= 0 && !taken && errno == EWOULDBLOCK ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  ASSERT_EQ(linux.lock_close(first), 0);
  EXPECT_EQ(linux.lock_try(second), 0);
  EXPECT_EQ(linux.lock_close(second), 0);

  errno = 0;
  EXPECT_EQ(linux.lock_open("/nonexistent/morvane/lock"), -1);
  EXPECT_EQ(errno, ENOENT);
  unlink(path);
}

// A scratch file standing in for a camera's node, removed at the end.
struct LockFile {
  LockFile() {
    const int made = mkstemp(path);
    EXPECT_GE(made, 0);
    if (made >= 0) close(made);
  }
  ~LockFile() { unlink(path); }
  char path[32] = "/tmp/morvane-lock-XXXXXX";
};

// Only a user who may write to the node can hold its lock: a reader's flock
// and a descriptor open only for reading take nothing from it, and without
// write access there is nothing to take.
TEST(LinuxCameraLock, OnlyAUserAllowedToWriteCanHoldIt) {
  platform::Platform& linux = platform::linux_platform();
  LockFile file;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    const int fd = open(file.path, O_RDONLY);
    const bool flocked = fd >= 0 && flock(fd, LOCK_EX) == 0;
    const bool write_locked = fd >= 0 && linux.lock_try(fd) == 0;  // EBADF: not open for writing
    const char verdict = flocked && !write_locked ? 'y' : 'n';
    (void)!write(ready[1], &verdict, 1);
    pause();
    _exit(0);
  }
  char verdict = 0;
  ASSERT_EQ(read(ready[0], &verdict, 1), 1);
  EXPECT_EQ(verdict, 'y');
  const int fd = sonix::take_node_lock(linux, file.path, 1000);
  EXPECT_GE(fd, 0) << "a reader's flock kept the lock";
  if (fd >= 0) linux.lock_close(fd);
  kill(reader, SIGKILL);
  waitpid(reader, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  if (geteuid() != 0) {  // root may write anything
    ASSERT_EQ(chmod(file.path, 0444), 0);
    errno = 0;
    EXPECT_EQ(sonix::take_node_lock(linux, file.path, 1000), -1);
    EXPECT_EQ(errno, EACCES);
  }
}

// A user who takes the lock again the moment it lets go (another process,
// 20 ms holds) cannot keep out a waiter: the waiter is in at the holder's
// first release, before the holder's next turn.
TEST(LinuxCameraLock, AWaiterIsServedBeforeABackToBackUserTakesItAgain) {
  platform::Platform& linux = platform::linux_platform();
  LockFile file;
  // Shared with the holder: its number of takes, and a stop flag.
  auto* shared = static_cast<std::atomic<int>*>(
      mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);
  new (&shared[0]) std::atomic<int>(0);
  new (&shared[1]) std::atomic<int>(0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    while (shared[1].load() == 0) {
      const int fd = sonix::take_node_lock(platform::linux_platform(), file.path, 10'000);
      if (fd < 0) _exit(1);
      shared[0].fetch_add(1);
      usleep(20'000);
      platform::linux_platform().lock_close(fd);
    }
    _exit(0);
  }
  while (shared[0].load() < 3) usleep(1000);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const int before = shared[0].load();
    const int fd = sonix::take_node_lock(linux, file.path, 10'000);
    const int after = shared[0].load();
    ASSERT_GE(fd, 0) << "the waiter never got the lock";
    // The holder's take in progress may finish; no further one may.
    EXPECT_LE(after - before, 1) << "the back-to-back user took the lock again first";
    usleep(5'000);
    linux.lock_close(fd);
    usleep(30'000);
  }
  shared[1].store(1);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  munmap(shared, 2 * sizeof(std::atomic<int>));
}

}  // namespace
}  // namespace morvane::uvc_stereo
