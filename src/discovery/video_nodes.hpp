// Video nodes in /dev, their udev properties, sysfs USB numbers and V4L2 kind.
//
// Everything here goes through platform::current(). Per-node problems never
// fail loudly: a failed udev query is a false flag, a missing attribute leaves
// its output untouched, a node that cannot be probed is `undetermined`.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "video_nodes.hpp is internal to the SDK"
#endif

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace morvane::uvc_stereo::discovery {

// Key/value pairs reported by one `udevadm info -q property` run.
using UdevProperties = std::map<std::string, std::string>;

// Returns the value stored under `key`, empty when it was not reported.
const std::string& udev_property(const UdevProperties& properties, const std::string& key);

// The index of a node whose name gives none; sorts after every real index.
inline constexpr std::int32_t kNoVideoIndex = 0x40000000;

// What a node can do, as VIDIOC_QUERYCAP tells. The numbers are fixed.
enum class NodeKind : std::int32_t {
  no_capture = 0,    // answered the query, cannot capture (e.g. a UVC metadata node)
  undetermined = 1,  // could not be opened or did not answer
  capture = 2,       // captures video (single- or multi-planar)
};

// True for a /dev entry name "video" followed by one or more ASCII digits.
bool is_video_node_name(std::string_view name) noexcept;

// Removes trailing TAB/LF/CR/space, then leading space/TAB. Leading CR/LF stay.
std::string trim_line(std::string_view text);

// First line of a file (at most 63 bytes, up to the first newline), trimmed;
// empty when the file cannot be read or yields nothing.
std::string read_first_line(const std::string& path);

// std::stoul(text, nullptr, 16) without exceptions: no value for empty text,
// no digits, an out-of-range number or a value above 0xFFFF.
std::optional<std::uint16_t> parse_hex_u16(const std::string& text);

// std::stoul(text, nullptr, 10) without exceptions; sets `out` only when the
// conversion succeeds with a value of at most 255.
void parse_dec_u8(const std::string& text, std::uint8_t& out);

// The number in the node name after the last '/', or kNoVideoIndex when the
// name is not "video" plus digits or the number does not fit in 32 bits.
std::int32_t parse_video_index(const std::string& node_path);

// Opens the node read-only, asks VIDIOC_QUERYCAP and closes it again.
NodeKind probe_node_kind(const std::string& node_path);

// Walks up from /sys + DEVPATH to the first directory that holds both busnum
// and devnum and sets both outputs from them (each only when it parses as a
// number of at most 255). Leaves both untouched when no directory has both.
void read_usb_bus_address(const std::string& devpath, std::uint8_t& bus_number, std::uint8_t& device_address);

// One udev query in flight. Starting and finishing are split so a caller can
// have several `udevadm` children running at once; the outcome is the same as
// querying one node after the other.
class UdevQuery {
 public:
  // Starts `udevadm info -q property -n '<node_path>'` through the shell.
  // started() is false when the child could not be started (or the path
  // holds a quote, which the shell would read as the end of the argument).
  explicit UdevQuery(const std::string& node_path);
  bool started() const noexcept { return stream_ != nullptr; }
  // Reads all output and waits for the child. Returns the properties when the
  // child exited with status 0, nothing otherwise (including when never started).
  std::optional<UdevProperties> finish();

 private:
  std::unique_ptr<platform::CommandStream> stream_;
};

// Starts the query and finishes it at once.
std::optional<UdevProperties> query_udev_properties(const std::string& node_path);

// Exposed for tests: the command text for a node.
std::string udev_command(const std::string& node_path);

// Applies one trimmed output line to `properties` ("KEY=VALUE"; lines that are
// empty, hold no '=' or start with '=' are ignored; a repeated key is replaced).
void apply_udev_line(std::string_view line, UdevProperties& properties);

}  // namespace morvane::uvc_stereo::discovery
