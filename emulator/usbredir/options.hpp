// The command line of morvane-virtual-camera.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "emulator/usbredir/video_stream.hpp"
#include "emulator/virtual_camera.hpp"

namespace morvane::emulator::usbredir {

struct Options {
  std::string socket_path;
  bool connect = false;
  std::string flash_file;
  std::size_t flash_size = 1u << 20;
  std::string version_text =
      "23062"
      "2606030001"
      "STEREOCAM1"
      "2412150930";
  bool firmware = true;
  long replug_ms = 1000;
  long restart_ms = 500;
  bool verbose = false;
  std::uint32_t max_payload = kMaxPayloadTransferSize;  // dwMaxPayloadTransferSize of the video
  morvane::emulator::CameraConfig camera;
};

// Prints the options to `to`.
void usage(std::FILE* to);

// Fills `o` from the command line. 0 on success; 2 on a usage error, after
// printing it to standard error. --help prints the usage and exits with 0.
int parse_options(int argc, char** argv, Options& o);

}  // namespace morvane::emulator::usbredir
