#include "discovery/video_nodes.hpp"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace morvane::uvc_stereo::discovery {
namespace {

constexpr std::string_view kVideoPrefix = "video";
constexpr int kUdevLineBufferSize = 1024;
constexpr int kAttributeBufferSize = 64;

bool is_trailing_blank(char c) noexcept { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool is_leading_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// std::stoul semantics (strtoul plus its two failure cases), without throwing.
std::optional<unsigned long> to_unsigned_long(const std::string& text, int base) noexcept {
  const char* begin = text.c_str();
  char* end = nullptr;
  int saved_errno = errno;
  errno = 0;
  unsigned long value = std::strtoul(begin, &end, base);
  bool out_of_range = errno == ERANGE;
  errno = saved_errno;
  if (end == begin || out_of_range) return std::nullopt;
  return value;
}

std::string_view last_component(std::string_view path) noexcept {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Lexical parent of an absolute directory path; "/" stays "/".
std::string parent_directory(const std::string& dir) {
  std::size_t end = dir.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  std::size_t slash = dir.rfind('/', end);
  if (slash == std::string::npos) return "/";
  std::size_t keep = dir.find_last_not_of('/', slash);
  return keep == std::string::npos ? std::string("/") : dir.substr(0, keep + 1);
}

}  // namespace

const std::string& udev_property(const UdevProperties& properties, const std::string& key) {
  static const std::string kEmpty;
  auto it = properties.find(key);
  return it == properties.end() ? kEmpty : it->second;
}

bool is_video_node_name(std::string_view name) noexcept {
  if (name.size() <= kVideoPrefix.size() || name.substr(0, kVideoPrefix.size()) != kVideoPrefix) return false;
  for (char c : name.substr(kVideoPrefix.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string trim_line(std::string_view text) {
  while (!text.empty() && is_trailing_blank(text.back())) text.remove_suffix(1);
  while (!text.empty() && is_leading_blank(text.front())) text.remove_prefix(1);
  return std::string(text);
}

std::string read_first_line(const std::string& path) {
  char buffer[kAttributeBufferSize] = {};
  if (!platform::current().read_file_line(path, buffer, kAttributeBufferSize)) return {};
  buffer[kAttributeBufferSize - 1] = '\0';
  return trim_line(buffer);
}

std::optional<std::uint16_t> parse_hex_u16(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::optional<unsigned long> value = to_unsigned_long(text, 16);
  if (!value || *value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

void parse_dec_u8(const std::string& text, std::uint8_t& out) {
  std::optional<unsigned long> value = to_unsigned_long(text, 10);
  if (value && *value <= 255) out = static_cast<std::uint8_t>(*value);
}

std::int32_t parse_video_index(const std::string& node_path) {
  std::string_view name = last_component(node_path);
  if (!is_video_node_name(name)) return kNoVideoIndex;
  std::string digits(name.substr(kVideoPrefix.size()));
  int saved_errno = errno;
  errno = 0;
  long value = std::strtol(digits.c_str(), nullptr, 10);
  bool out_of_range = errno == ERANGE || value > INT32_MAX || value < INT32_MIN;
  errno = saved_errno;
  return out_of_range ? kNoVideoIndex : static_cast<std::int32_t>(value);
}

NodeKind probe_node_kind(const std::string& node_path) {
  platform::Platform& os = platform::current();
  int fd = os.video_open(node_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return NodeKind::undetermined;
  v4l2_capability caps;
  std::memset(&caps, 0, sizeof(caps));
  int rc = os.video_ioctl(fd, VIDIOC_QUERYCAP, &caps);
  os.video_close(fd);
  if (rc < 0) return NodeKind::undetermined;
  std::uint32_t bits = caps.device_caps != 0 ? caps.device_caps : caps.capabilities;
  return (bits & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0 ? NodeKind::capture
                                                                                : NodeKind::no_capture;
}

void read_usb_bus_address(const std::string& devpath, std::uint8_t& bus_number, std::uint8_t& device_address) {
  platform::Platform& os = platform::current();
  // DEVPATH is absolute below /sys; its leading '/' must not replace "/sys".
  std::size_t skip = devpath.find_first_not_of('/');
  std::string dir = "/sys/" + (skip == std::string::npos ? std::string() : devpath.substr(skip));
  dir = parent_directory(dir + "/x");  // drops trailing slashes
  while (dir != "/") {
    std::string busnum = dir + "/busnum";
    std::string devnum = dir + "/devnum";
    if (os.path_exists(busnum) && os.path_exists(devnum)) {
      parse_dec_u8(read_first_line(busnum), bus_number);
      parse_dec_u8(read_first_line(devnum), device_address);
      return;
    }
    dir = parent_directory(dir);
  }
}

std::string udev_command(const std::string& node_path) { return "udevadm info -q property -n '" + node_path + "'"; }

void apply_udev_line(std::string_view line, UdevProperties& properties) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return;
  properties[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
}

UdevQuery::UdevQuery(const std::string& node_path) {
  // The path goes between single quotes unescaped; one holding a quote would
  // let the shell run part of it, so such a query is never started.
  if (node_path.find('\'') != std::string::npos) return;
  stream_ = platform::current().run_command(udev_command(node_path));
}

std::optional<UdevProperties> UdevQuery::finish() {
  if (!stream_) return std::nullopt;
  UdevProperties properties;
  char buffer[kUdevLineBufferSize];
  while (stream_->read_line(buffer, kUdevLineBufferSize)) {
    buffer[kUdevLineBufferSize - 1] = '\0';
    apply_udev_line(trim_line(buffer), properties);
  }
  int status = stream_->close();
  stream_.reset();
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return properties;
}

std::optional<UdevProperties> query_udev_properties(const std::string& node_path) {
  return UdevQuery(node_path).finish();
}

}  // namespace morvane::uvc_stereo::discovery
