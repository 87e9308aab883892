// Fast reads and the camera lock under conditions the other suites leave
// out: a configuration without the CRC check on a streaming controller whose
// replies are wrong, and a reader of the camera's node who sets a read lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "emulator/virtual_camera.hpp"
#include "flash/transport.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "platform/platform.hpp"
#include "sonix/sonix_internal.h"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr std::uint32_t kBlobAddress = 0x51000;
constexpr int kStreamingRomRow = 15;
constexpr std::uint16_t kStreamingControl = 0x0600;

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

std::string document(int seed) {
  std::string text = "{\"seed\":" + std::to_string(seed) + ",\"rows\":[";
  for (int i = 0; i < 40; ++i) text += "[" + std::to_string(100 + i) + "," + std::to_string((seed + i) % 10) + ".25],";
  return text + "[0]]}";
}

class StreamingWithoutCrcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator::CameraConfig config = morvane::testing::default_camera_config();
    config.rom_row = kStreamingRomRow;
    rig_ = std::make_unique<morvane::testing::VirtualCameraRig>(std::vector<emulator::CameraConfig>{config});
  }
  emulator::VirtualCamera& camera() { return rig_->camera(); }
  FlashConfig config(bool verify_crc) {
    FlashConfig c;
    c.vidpid = morvane::testing::kDefaultVidPid;
    c.auto_select = false;
    c.bus_number = camera().config().bus_number;
    c.device_address = camera().device_address();
    c.verify_crc = verify_crc;
    return c;
  }
  std::unique_ptr<morvane::testing::VirtualCameraRig> rig_;
};

// A controller that answers streaming requests from a stale buffer (the
// fault the streaming suite models) returns an older document of the same
// length. With verify_crc off nothing checks the streamed bytes, so the
// default fast read returns the stale document while the byte-banging read
// returns the stored one.
TEST_F(StreamingWithoutCrcTest, AStaleStreamingReplyIsNotReturnedWhenTheCrcCheckIsOff) {
  const FlashBlob stored = *build_blob(1, bytes_of(document(3)), FlashConfig{}).value;
  const FlashBlob stale = *build_blob(1, bytes_of(document(4)), FlashConfig{}).value;
  ASSERT_EQ(stored.raw.size(), stale.raw.size());
  std::vector<std::uint8_t> image(stored.raw);
  image.resize(image.size() + 128, 0xFF);
  camera().load_flash(kBlobAddress, image);

  for (const bool verify_crc : {true, false}) {
    SCOPED_TRACE(verify_crc ? "verify_crc on" : "verify_crc off");
    const Result<FlashBlob> specified = read_blob_from_device(config(verify_crc));
    ASSERT_TRUE(specified.ok()) << specified.message;
    const std::vector<std::uint8_t> stored_raw = stored.raw;
    const std::vector<std::uint8_t> stale_raw = stale.raw;
    camera().corrupt_replies_matching(
        [](const emulator::TransferRequest& r) { return r.value == kStreamingControl && (r.request_type & 0x80); },
        [stored_raw, stale_raw](std::vector<std::uint8_t>& b) {
          const std::size_t probe = std::min<std::size_t>(b.size(), 48);
          const auto at = std::search(stored_raw.begin(), stored_raw.end(), b.begin(), b.begin() + probe);
          if (at == stored_raw.end()) return;
          const auto offset = static_cast<std::size_t>(at - stored_raw.begin());
          for (std::size_t i = 0; i < b.size() && offset + i < stale_raw.size(); ++i) b[i] = stale_raw[offset + i];
        });
    const Result<FastBlobResult> fast = read_blob_fast(config(verify_crc), FastReadOptions{});
    const Result<FastJsonResult> json = read_flash_json_fast(config(verify_crc), FastReadOptions{});
    camera().clear_faults();
    ASSERT_TRUE(fast.ok()) << fast.message;
    const auto head = [](const std::string& p) { return p.substr(0, 12) + "..."; };
    const std::string want(specified.value->payload.begin(), specified.value->payload.end());
    const std::string got(fast.value->blob.payload.begin(), fast.value->blob.payload.end());
    EXPECT_TRUE(got == want) << "blob by " << flash_read_path_name(fast.value->path) << ": " << head(got)
                             << ", the flash holds " << head(want);
    ASSERT_TRUE(json.ok()) << json.message;
    EXPECT_TRUE(json.value->json == want) << "document by " << flash_read_path_name(json.value->path) << ": "
                                          << head(json.value->json) << ", the flash holds " << head(want);
    EXPECT_TRUE(rig_->clean());
  }
}

// A scratch file standing in for the camera's node.
struct NodeFile {
  NodeFile() {
    const int made = mkstemp(path);
    EXPECT_GE(made, 0);
    if (made >= 0) close(made);
    chmod(path, 0644);  // the owner writes, everyone else may only read
  }
  ~NodeFile() { unlink(path); }
  char path[32] = "/tmp/morvane-node-XXXXXX";
};

// A user who may only read the node (another uid, the file 0644, as the
// udev rule's 0664 gives "other") opens it read-only and sets a read lock
// on byte 0 (or 1): a writer's wait then runs out (here 1 s). No lock
// object a reader cannot block is at hand (see the platform's lock
// interface), so the writer must at least be told that a read lock, which
// no user of the camera takes, kept it out, not that another user is busy
// with the camera; and a read lock on a queue slot byte stalls nobody.
TEST(LinuxCameraLockHostile, AReadersReadLockIsNamedAsWhatKeptTheWriterOut) {
  platform::Platform& linux = platform::linux_platform();
  struct Case {
    off_t byte;
    int want;  // what take_node_lock returns
  };
  for (const Case c : {Case{0, -3}, Case{1, -3}, Case{2, 0}, Case{3, 0}}) {
    const off_t byte = c.byte;
    SCOPED_TRACE("read lock on byte " + std::to_string(byte));
    NodeFile node;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
      if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
      const bool cannot_write = open(node.path, O_WRONLY) < 0;
      const int fd = open(node.path, O_RDONLY);
      struct flock lock {};
      lock.l_type = F_RDLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = byte;
      lock.l_len = 1;
      const bool locked = fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0;
      const char verdict = cannot_write && locked ? 'y' : 'n';
      (void)!write(ready[1], &verdict, 1);
      pause();
      _exit(0);
    }
    char verdict = 0;
    ASSERT_EQ(read(ready[0], &verdict, 1), 1);
    ASSERT_EQ(verdict, 'y') << "the reader could write, or could not set its read lock";
    const int fd = sonix::take_node_lock(linux, node.path, 1000);
    if (c.want == 0) {
      EXPECT_GE(fd, 0) << "a reader's read lock on a slot byte kept the writer out (" << fd << ")";
    } else {
      EXPECT_EQ(fd, c.want) << "a reader's read lock kept the writer out, reported as " << fd;
    }
    if (fd >= 0) linux.lock_close(fd);
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
  }
}

// Two users taking the camera back to back (100 ms holds, or $HOLD_MS) and
// one waiter: a fair lock serves the waiter within the turns already queued
// (the holder's and the other user's), never after more of theirs: a user
// who releases and comes straight back lines up behind the waiter, instead
// of racing it for the lock turn after turn until its 10 s wait runs out.
TEST(LinuxCameraLockHostile, AWaiterIsNotOvertakenByTwoBackToBackUsers) {
  platform::Platform& linux = platform::linux_platform();
  NodeFile node;
  const char* hold_ms = std::getenv("HOLD_MS");
  const useconds_t hold_us = hold_ms ? static_cast<useconds_t>(std::atoi(hold_ms)) * 1000 : 100'000;
  const char* rounds_text = std::getenv("ROUNDS");
  const int rounds = rounds_text ? std::atoi(rounds_text) : 10;
  int busy = 0;
  auto* takes = static_cast<std::atomic<int>*>(
      mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(takes, MAP_FAILED);
  new (&takes[0]) std::atomic<int>(0);
  new (&takes[1]) std::atomic<int>(0);
  std::vector<pid_t> users;
  for (int u = 0; u < 2; ++u) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      while (takes[1].load() == 0) {
        const int fd = sonix::take_node_lock(platform::linux_platform(), node.path, 10'000);
        if (fd < 0) _exit(1);
        takes[0].fetch_add(1);
        usleep(hold_us);
        platform::linux_platform().lock_close(fd);
      }
      _exit(0);
    }
    users.push_back(pid);
  }
  while (takes[0].load() < 4) usleep(1000);
  int worst = 0;
  for (int round = 0; round < rounds; ++round) {
    const int before = takes[0].load();
    const int fd = sonix::take_node_lock(linux, node.path, 10'000);
    const int overtaken = takes[0].load() - before;
    if (fd < 0) ++busy;
    EXPECT_GE(fd, 0) << "round " << round << ": busy after 10 s, the users took it " << overtaken << " times";
    worst = std::max(worst, overtaken);
    if (fd >= 0) linux.lock_close(fd);
    usleep(150'000);
  }
  takes[1].store(1);
  for (const pid_t pid : users) waitpid(pid, nullptr, 0);
  EXPECT_LE(worst, 2) << "the waiter was overtaken " << worst << " times in one wait";
  std::printf("most takes by the back-to-back users during one wait: %d; busy %d of %d\n", worst, busy, rounds);
  munmap(takes, 2 * sizeof(std::atomic<int>));
}

}  // namespace
}  // namespace morvane::uvc_stereo
