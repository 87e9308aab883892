#include "morvane/uvc_stereo/node_users.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

bool is_pid(const std::string& name) {
  return !name.empty() && name.size() < 10 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// This process's pid as /proc names it (the first field of /proc/self/stat).
int own_pid(platform::Platform& p) {
  char line[128] = {};
  if (!p.read_file_line("/proc/self/stat", line, sizeof line)) return -1;
  return std::atoi(line);
}

std::string command_of(platform::Platform& p, const std::string& pid) {
  char line[64] = {};
  if (!p.read_file_line("/proc/" + pid + "/comm", line, sizeof line)) return "?";
  std::string command(line);
  while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) command.pop_back();
  return command.empty() ? "?" : command;
}

}  // namespace

Result<std::vector<NodeUser>> video_node_users(const std::string& node) {
  using R = Result<std::vector<NodeUser>>;
  if (node.empty()) return R::failure(ErrorCode::invalid_argument, "video node path is empty");
  platform::Platform& p = platform::current();
  std::uint64_t wanted = 0;
  errno = 0;
  if (!p.char_device_number(node, wanted)) {
    const int e = errno;
    return R::failure(ErrorCode::device_unavailable, node + " is not a character device: " + std::strerror(e));
  }
  std::vector<std::string> processes;
  if (!p.list_directory("/proc", processes)) {
    return R::failure(ErrorCode::io_error, "cannot list the processes (/proc)");
  }
  const int self = own_pid(p);
  std::vector<NodeUser> users;
  for (const std::string& pid : processes) {
    if (!is_pid(pid) || std::atoi(pid.c_str()) == self) continue;
    std::vector<std::string> fds;
    // Gone since the listing, or another user's: not seen.
    if (!p.list_directory("/proc/" + pid + "/fd", fds)) continue;
    for (const std::string& fd : fds) {
      std::uint64_t number = 0;
      if (p.char_device_number("/proc/" + pid + "/fd/" + fd, number) && number == wanted) {
        users.push_back({std::atoi(pid.c_str()), command_of(p, pid)});
        break;
      }
    }
  }
  std::sort(users.begin(), users.end(), [](const NodeUser& a, const NodeUser& b) { return a.pid < b.pid; });
  return R::success(std::move(users));
}

}  // namespace morvane::uvc_stereo
