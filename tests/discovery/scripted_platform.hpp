// A Platform whose /dev listing, udevadm output, sysfs files and video-node
// answers are set by each test; USB and the clock are those of a system
// without USB devices. It keeps count of children and descriptors so tests can
// see that nothing is left running or open.
#pragma once

#include <linux/videodev2.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "support/forwarding_platform.hpp"

namespace morvane::uvc_stereo::testing {

struct ScriptedUdev {
  std::string output;  // raw bytes the child prints
  int exit_status = 0;
};

struct ScriptedNode {
  bool opens = true;
  bool answers = true;  // VIDIOC_QUERYCAP succeeds
  std::uint32_t capabilities = 0;
  std::uint32_t device_caps = 0;
};

class ScriptedPlatform : public ForwardingPlatform {
 public:
  // No USB; the clock stands still and sleeps return at once.
  ScriptedPlatform() : ForwardingPlatform(no_usb_platform()) {}

  // ---- what the test sets
  bool dev_exists = true;
  bool dev_listable = true;
  std::vector<std::string> dev_names;
  std::map<std::string, ScriptedUdev> udev;   // by node path; missing: shell exit 127
  std::map<std::string, std::string> files;   // sysfs and other files by path
  std::map<std::string, ScriptedNode> nodes;  // by node path; missing: open fails
  std::size_t max_children = SIZE_MAX;        // run_command fails beyond this many live children
  std::set<std::string> unstartable;          // node paths whose command never starts

  // ---- what the test reads
  std::vector<std::string> commands;  // every command started, in order
  std::vector<std::string> opened;    // every node opened, in order
  std::size_t live_children = 0;
  std::size_t peak_children = 0;
  int open_fds = 0;

  static std::string udev_output(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
  }

  void add_node(const std::string& name, const std::vector<std::string>& udev_lines, ScriptedNode node = {},
                int exit_status = 0) {
    dev_names.push_back(name);
    udev["/dev/" + name] = ScriptedUdev{udev_output(udev_lines), exit_status};
    nodes["/dev/" + name] = node;
  }

  bool path_exists(const std::string& path) override {
    if (path == "/dev") return dev_exists;
    if (files.count(path)) return true;
    errno = ENOENT;
    return false;
  }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    if (path != "/dev" || !dev_listable) return false;
    names.insert(names.end(), dev_names.begin(), dev_names.end());
    return true;
  }
  bool read_file_line(const std::string& path, char* buffer, int size) override {
    auto it = files.find(path);
    if (it == files.end()) return false;
    return fgets_from(it->second, 0, buffer, size) > 0;
  }

  // fgets over `text` from `pos`: copies at most size-1 bytes, through the
  // first newline. Returns the bytes consumed (0 at the end).
  static std::size_t fgets_from(const std::string& text, std::size_t pos, char* buffer, int size) {
    if (pos >= text.size() || size < 2) return 0;
    std::size_t limit = std::min<std::size_t>(text.size() - pos, static_cast<std::size_t>(size - 1));
    std::size_t newline = text.find('\n', pos);
    std::size_t n = newline != std::string::npos && newline - pos < limit ? newline - pos + 1 : limit;
    std::memcpy(buffer, text.data() + pos, n);
    buffer[n] = '\0';
    return n;
  }

  class Stream final : public platform::CommandStream {
   public:
    Stream(ScriptedPlatform& owner, std::string output, int status)
        : owner_(owner), output_(std::move(output)), status_(status) {}
    ~Stream() override {
      if (!closed_) --owner_.live_children;
    }
    bool read_line(char* buffer, int size) override {
      std::size_t n = fgets_from(output_, pos_, buffer, size);
      pos_ += n;
      return n > 0;
    }
    int close() override {
      closed_ = true;
      --owner_.live_children;
      return status_;
    }

   private:
    ScriptedPlatform& owner_;
    std::string output_;
    int status_;
    std::size_t pos_ = 0;
    bool closed_ = false;
  };

  std::unique_ptr<platform::CommandStream> run_command(const std::string& command) override {
    const std::string prefix = "udevadm info -q property -n '";
    std::string node;
    if (command.compare(0, prefix.size(), prefix) == 0 && command.back() == '\'') {
      node = command.substr(prefix.size(), command.size() - prefix.size() - 1);
    }
    if (live_children >= max_children || unstartable.count(node)) return nullptr;
    commands.push_back(command);
    ++live_children;
    peak_children = std::max(peak_children, live_children);
    auto it = udev.find(node);
    if (it == udev.end()) return std::make_unique<Stream>(*this, "", exit_code(127));
    return std::make_unique<Stream>(*this, it->second.output, exit_code(it->second.exit_status));
  }

  static int exit_code(int code) { return (code & 0xff) << 8; }  // as wait(2) reports exit(code)

  int video_open(const std::string& path, int) override {
    opened.push_back(path);
    auto it = nodes.find(path);
    if (it == nodes.end() || !it->second.opens) {
      errno = EACCES;
      return -1;
    }
    int fd = 100 + static_cast<int>(opened.size());
    fd_nodes_[fd] = path;
    ++open_fds;
    return fd;
  }
  int video_ioctl(int fd, unsigned long request, void* arg) override {
    auto it = fd_nodes_.find(fd);
    if (it == fd_nodes_.end()) {
      errno = EBADF;
      return -1;
    }
    const ScriptedNode& node = nodes[it->second];
    if (request != VIDIOC_QUERYCAP || !node.answers) {
      errno = ENOTTY;
      return -1;
    }
    auto* caps = static_cast<v4l2_capability*>(arg);
    caps->capabilities = node.capabilities;
    caps->device_caps = node.device_caps;
    return 0;
  }
  int video_close(int fd) override {
    if (fd_nodes_.erase(fd) == 0) {
      errno = EBADF;
      return -1;
    }
    --open_fds;
    return 0;
  }

 private:
  std::map<int, std::string> fd_nodes_;
};

// Capture node (device_caps with VIDEO_CAPTURE), metadata node (META_CAPTURE only).
inline ScriptedNode capture_node() { return ScriptedNode{true, true, 0x84200001u, V4L2_CAP_VIDEO_CAPTURE}; }
inline ScriptedNode metadata_node() { return ScriptedNode{true, true, 0x84a00001u, V4L2_CAP_META_CAPTURE}; }
inline ScriptedNode closed_node() { return ScriptedNode{false, false, 0, 0}; }

}  // namespace morvane::uvc_stereo::testing
