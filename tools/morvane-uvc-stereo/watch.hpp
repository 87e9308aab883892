// The `watch` command's loop: the hot-plug monitor's events, narrowed to the
// camera --device names, until a stop signal.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "morvane/uvc_stereo.hpp"

namespace morvane::tool {

// Which cameras' events are printed. Empty: every camera. Otherwise the
// selector names a camera as --device does (serial, video node, USB path,
// bus:address, or an index into the cameras attached when watching starts,
// which stands for that camera's serial, else USB path, else bus:address).
// An event matches when its record or, for a change, its previous record
// does; a camera that is not attached yet is printed when it arrives.
class WatchSelector {
 public:
  // Nothing, with `error` set, when an index is beyond the attached cameras.
  static std::optional<WatchSelector> make(const std::string& selector,
                                           const std::vector<uvc_stereo::DeviceInfo>& attached, std::string& error);
  bool matches(const uvc_stereo::DeviceInfo& device) const;
  bool matches(const uvc_stereo::DeviceEvent& event) const;

 private:
  std::string serial_, video_node_, usb_path_;
  unsigned long bus_ = 0, address_ = 0;
  bool any_ = true, busdev_ = false;
};

// Reads `monitor` whenever it is readable and hands each matching event to
// `print`, until `stop_fd` is readable (returns 0). A failed read_events()
// is written to `err` and tried again after `retry_ms` (the monitor keeps
// the removals it took for the next call, so none is lost); only a failed
// poll ends the loop (returns -1 with errno set).
int watch_events(uvc_stereo::DeviceMonitor& monitor, const WatchSelector& which, int stop_fd, int retry_ms,
                 std::ostream& err, const std::function<void(const uvc_stereo::DeviceEvent&)>& print);

}  // namespace morvane::tool
