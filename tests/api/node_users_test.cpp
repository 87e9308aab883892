// Which processes hold a video node open, read from a scripted /proc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/node_users.hpp"
#include "platform/platform.hpp"
#include "support/forwarding_platform.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr std::uint64_t kNode = 0x5100;   // 81:0, /dev/video0
constexpr std::uint64_t kOther = 0x5101;  // 81:1

struct FakeProcess {
  std::map<std::string, std::uint64_t> fds;  // fd -> device number; 0: not a character device
  std::string comm = "";                     // empty: unreadable
  bool fds_readable = true;
};

class FakeProc : public testing::ForwardingPlatform {
 public:
  FakeProc() : ForwardingPlatform(none_) {}
  std::map<std::string, FakeProcess> processes;
  std::map<std::string, std::uint64_t> devices = {{"/dev/video0", kNode}, {"/dev/v4l/by-id/cam", kNode}};
  std::string self = "100";
  bool proc_listable = true;

  bool char_device_number(const std::string& path, std::uint64_t& number) override {
    if (auto it = devices.find(path); it != devices.end()) {
      number = it->second;
      return true;
    }
    for (const auto& [pid, p] : processes) {
      const std::string prefix = "/proc/" + pid + "/fd/";
      if (path.rfind(prefix, 0) != 0) continue;
      auto fd = p.fds.find(path.substr(prefix.size()));
      if (fd == p.fds.end()) break;
      if (fd->second == 0) {
        errno = ENOTTY;
        return false;
      }
      number = fd->second;
      return true;
    }
    errno = ENOENT;
    return false;
  }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    if (path == "/proc") {
      if (!proc_listable) return false;
      names = {"self", "sys", "1x"};
      for (const auto& [pid, p] : processes) names.push_back(pid);
      return true;
    }
    for (const auto& [pid, p] : processes) {
      if (path != "/proc/" + pid + "/fd") continue;
      if (!p.fds_readable) return false;
      for (const auto& [fd, n] : p.fds) names.push_back(fd);
      return true;
    }
    return false;
  }
  bool read_file_line(const std::string& path, char* buffer, int size) override {
    std::string text;
    if (path == "/proc/self/stat") text = self + " (test) R 1 1";
    for (const auto& [pid, p] : processes) {
      if (path == "/proc/" + pid + "/comm" && !p.comm.empty()) text = p.comm + "\n";
    }
    if (text.empty()) return false;
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s", text.c_str());
    return true;
  }

 private:
  testing::UnavailablePlatform none_{-1, "LIBUSB_ERROR_IO"};
};

TEST(VideoNodeUsers, FindsEveryOtherProcessHoldingTheNodeOnceEach) {
  FakeProc proc;
  proc.processes["100"] = {{{"3", kNode}}, "self", true};                               // this process: never listed
  proc.processes["2301"] = {{{"0", 0}, {"4", kNode}, {"5", kNode}}, "v4l2-ctl", true};  // twice: once
  proc.processes["77"] = {{{"9", kNode}}, "gst-launch-1.0", true};
  proc.processes["500"] = {{{"1", kOther}, {"2", 0}}, "other-camera", true};  // another node
  proc.processes["501"] = {{{"1", kNode}}, "", true};                         // comm unreadable
  proc.processes["502"] = {{{"1", kNode}}, "private", false};                 // fds not readable: unseen
  platform::ScopedPlatform scoped(proc);
  // Any path naming the device finds the same users.
  for (const char* path : {"/dev/video0", "/dev/v4l/by-id/cam"}) {
    SCOPED_TRACE(path);
    auto users = video_node_users(path);
    ASSERT_TRUE(users.ok()) << users.message;
    ASSERT_EQ(users->size(), 3u);
    EXPECT_EQ((*users)[0].pid, 77);
    EXPECT_EQ((*users)[0].command, "gst-launch-1.0");
    EXPECT_EQ((*users)[1].pid, 501);
    EXPECT_EQ((*users)[1].command, "?");
    EXPECT_EQ((*users)[2].pid, 2301);
    EXPECT_EQ((*users)[2].command, "v4l2-ctl");
  }
  proc.processes.erase("77");
  proc.processes.erase("501");
  proc.processes.erase("2301");
  auto none = video_node_users("/dev/video0");
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
}

TEST(VideoNodeUsers, BadPathsAndAMissingProcAreErrors) {
  FakeProc proc;
  platform::ScopedPlatform scoped(proc);
  struct Case {
    const char* path;
    bool proc_listable;
    ErrorCode code;
    const char* message;
  };
  const Case cases[] = {
      {"", true, ErrorCode::invalid_argument, "video node path is empty"},
      {"/dev/video9", true, ErrorCode::device_unavailable,
       "/dev/video9 is not a character device: No such file or directory"},
      {"/dev/video0", false, ErrorCode::io_error, "cannot list the processes (/proc)"},
  };
  for (const Case& c : cases) {
    proc.proc_listable = c.proc_listable;
    auto r = video_node_users(c.path);
    EXPECT_EQ(r.code, c.code) << c.path;
    EXPECT_EQ(r.message, c.message);
    EXPECT_FALSE(r.value);
  }
}

TEST(VideoNodeUsers, SeesAChildHoldingACharacterDeviceOnLinux) {
  // On the real platform: a child that holds /dev/null open is found by its
  // pid and command; this process, which holds it too, is not.
  const int own = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(own, 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool found = false;
  bool self_listed = false;
  for (int i = 0; i < 100 && !found; ++i) {
    auto users = video_node_users("/dev/null");
    ASSERT_TRUE(users.ok()) << users.message;
    for (const NodeUser& u : *users) {
      found = found || (u.pid == child && u.command == "sleep");
      self_listed = self_listed || u.pid == ::getpid();
    }
    if (!found) ::usleep(20000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(own);
  EXPECT_TRUE(found);
  EXPECT_FALSE(self_listed);
  EXPECT_EQ(video_node_users("/proc/self/stat").code, ErrorCode::device_unavailable);  // not a device
}

}  // namespace
}  // namespace morvane::uvc_stereo
