// Writing one eye's picture as a PNG file, and the files and directories the
// capture and record commands create: always new, never through a symbolic
// link.
#pragma once

#include <cstdint>
#include <string>

#include "morvane/uvc_stereo/frames.hpp"

namespace morvane::tool {

// Creates `name` in the directory `dir_fd` (O_CREAT | O_EXCL | O_NOFOLLOW,
// mode 0644 before the umask) and writes `view` to it as an 8-bit PNG: gray
// for gray8, RGB for bgr24 (the bytes reordered). `compression` is zlib's
// level, 0 to 9. On failure the file is removed again and `error` says why
// (`shown` names the file in it).
bool write_png_at(int dir_fd, const std::string& name, const std::string& shown, const uvc_stereo::ImageView& view,
                  int compression, std::string& error);

// A new directory `name` in `dir_fd` (mode 0755 before the umask), opened
// without following a symbolic link: its descriptor, or -1 with `error`.
int make_directory_at(int dir_fd, const std::string& name, const std::string& shown, std::string& error);

// A new file `name` in `dir_fd`, opened for writing through stdio; nullptr
// with `error` when it exists already, is a symbolic link or cannot be made.
std::FILE* create_file_at(int dir_fd, const std::string& name, const std::string& shown, std::string& error);

// Flushes and closes `file`, reporting a lost write; null is fine.
bool close_file(std::FILE* file, const std::string& shown, std::string& error);

}  // namespace morvane::tool
