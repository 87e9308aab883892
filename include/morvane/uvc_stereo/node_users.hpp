// Which other processes have a camera's video node open.
//
// A flash or firmware operation detaches the kernel's video driver from the
// camera for its duration, which ends every capture and IMU read running on
// the video node in another process. An application (the command-line tool
// does) asks here first and can refuse, naming the processes.
#pragma once

#include <string>
#include <vector>

#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/result.hpp"

namespace morvane::uvc_stereo {

struct NodeUser {
  int pid = 0;
  std::string command;  // the process's command name (at most 15 characters), "?" when unreadable
};

// The processes other than this one holding the character device `node`
// open (through any path that names it), each once, sorted by pid.
// Processes whose open files this user may not inspect are not seen.
// Fails with invalid_argument "video node path is empty",
// device_unavailable "<node> is not a character device: <reason>", or
// io_error "cannot list the processes (/proc)".
MORVANE_UVC_STEREO_API Result<std::vector<NodeUser>> video_node_users(const std::string& node);

}  // namespace morvane::uvc_stereo
