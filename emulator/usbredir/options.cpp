#include "emulator/usbredir/options.hpp"

#include <getopt.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace morvane::emulator::usbredir {

void usage(std::FILE* to) {
  std::fputs(
      "usage: morvane-virtual-camera (--socket PATH | --connect PATH) [options]\n"
      "  --socket PATH          listen on a UNIX socket for one usbredir connection\n"
      "  --connect PATH         connect to a usbredir server socket instead\n"
      "  --serial TEXT          USB serial number string (default SN0001)\n"
      "  --vendor TEXT          manufacturer string (default Morvane)\n"
      "  --model TEXT           product string (default Stereo Camera)\n"
      "  --vid HEX, --pid HEX   USB ids (default 0c45:0643)\n"
      "  --chip HEX             controller chip id (default 0x83)\n"
      "  --rom-row N            mask-ROM generation row 0..39 (default 12)\n"
      "  --units LIST           extension units answering vendor controls: 3, 4 or 3,4 (default 3)\n"
      "  --no-imu               unit 4 has no IMU sample control\n"
      "  --flash-file PATH      flash contents: loaded when the file exists, saved on exit and SIGUSR1\n"
      "  --flash-size BYTES     flash size (default 1048576)\n"
      "  --firmware-version T   raw version text of the firmware put into a new flash\n"
      "  --blank-flash          a new flash holds no firmware image\n"
      "  --replug-ms N          time off the bus after an unplug (default 1000)\n"
      "  --restart-ms N         time off the bus after a controller restart (default 500)\n"
      "  --payload-size BYTES   video payload size the streaming interface negotiates\n"
      "                         (dwMaxPayloadTransferSize, 512..4194304, default 16384: one\n"
      "                         payload per transfer of Linux's UVC driver); larger payloads\n"
      "                         run across transfer boundaries, as on bulk cameras that send\n"
      "                         a frame in few payloads\n"
      "  -v, --verbose          log protocol events to standard error\n",
      to);
}

namespace {

bool parse_number(const char* text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 0);
  return errno == 0 && end != text && *end == '\0' && value <= max;
}

}  // namespace

int parse_options(int argc, char** argv, Options& o) {
  enum {
    kSocket = 1000,
    kConnect,
    kSerial,
    kVendor,
    kModel,
    kVid,
    kPid,
    kChip,
    kRomRow,
    kUnits,
    kNoImu,
    kFlashFile,
    kFlashSize,
    kFirmwareVersion,
    kBlankFlash,
    kReplugMs,
    kRestartMs,
    kPayloadSize,
    kHelp
  };
  static const option long_options[] = {
      {"socket", required_argument, nullptr, kSocket},
      {"connect", required_argument, nullptr, kConnect},
      {"serial", required_argument, nullptr, kSerial},
      {"vendor", required_argument, nullptr, kVendor},
      {"model", required_argument, nullptr, kModel},
      {"vid", required_argument, nullptr, kVid},
      {"pid", required_argument, nullptr, kPid},
      {"chip", required_argument, nullptr, kChip},
      {"rom-row", required_argument, nullptr, kRomRow},
      {"units", required_argument, nullptr, kUnits},
      {"no-imu", no_argument, nullptr, kNoImu},
      {"flash-file", required_argument, nullptr, kFlashFile},
      {"flash-size", required_argument, nullptr, kFlashSize},
      {"firmware-version", required_argument, nullptr, kFirmwareVersion},
      {"blank-flash", no_argument, nullptr, kBlankFlash},
      {"replug-ms", required_argument, nullptr, kReplugMs},
      {"restart-ms", required_argument, nullptr, kRestartMs},
      {"payload-size", required_argument, nullptr, kPayloadSize},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  auto bad = [](const char* what, const char* text) {
    std::fprintf(stderr, "morvane-virtual-camera: bad %s: %s\n", what, text);
    return 2;
  };
  int c;
  unsigned long v = 0;
  while ((c = getopt_long(argc, argv, "v", long_options, nullptr)) != -1) {
    switch (c) {
      case kSocket:
      case kConnect:
        o.socket_path = optarg;
        o.connect = c == kConnect;
        break;
      case kSerial:
        o.camera.serial = optarg;
        break;
      case kVendor:
        o.camera.vendor = optarg;
        break;
      case kModel:
        o.camera.model = optarg;
        break;
      case kVid:
      case kPid:
        errno = 0;
        {
          char* end = nullptr;
          v = std::strtoul(optarg, &end, 16);
          if (errno != 0 || end == optarg || *end != '\0' || v > 0xFFFF) return bad("USB id", optarg);
        }
        (c == kVid ? o.camera.vid : o.camera.pid) = static_cast<std::uint16_t>(v);
        break;
      case kChip:
        if (!parse_number(optarg, 0xFF, v)) return bad("chip id", optarg);
        o.camera.chip_id = static_cast<std::uint8_t>(v);
        break;
      case kRomRow:
        if (!parse_number(optarg, 39, v)) return bad("ROM row", optarg);
        o.camera.rom_row = static_cast<int>(v);
        break;
      case kUnits: {
        const std::string text = optarg;
        if (text == "3") {
          o.camera.vendor_units = {3};
        } else if (text == "4") {
          o.camera.vendor_units = {4};
        } else if (text == "3,4" || text == "4,3") {
          o.camera.vendor_units = {3, 4};
        } else {
          return bad("unit list", optarg);
        }
        break;
      }
      case kNoImu:
        o.camera.imu.present = false;
        break;
      case kFlashFile:
        o.flash_file = optarg;
        break;
      case kFlashSize:
        if (!parse_number(optarg, 1u << 28, v) || v < (1u << 20) || (v & (v - 1)) != 0) {
          return bad("flash size (a power of two, at least 1 MiB)", optarg);
        }
        o.flash_size = v;
        break;
      case kFirmwareVersion:
        o.version_text = optarg;
        break;
      case kBlankFlash:
        o.firmware = false;
        break;
      case kReplugMs:
      case kRestartMs:
        if (!parse_number(optarg, 60000, v)) return bad("time", optarg);
        (c == kReplugMs ? o.replug_ms : o.restart_ms) = static_cast<long>(v);
        break;
      case 'v':
        o.verbose = true;
        break;
      case kPayloadSize:
        if (!parse_number(optarg, kMaxPayloadTransferSizeLimit, v) || v < kMinPayloadTransferSize) {
          return bad("payload size (512 to 4194304 bytes)", optarg);
        }
        o.max_payload = static_cast<std::uint32_t>(v);
        break;
      case kHelp:
        usage(stdout);
        std::exit(0);
      default:
        usage(stderr);
        return 2;
    }
  }
  if (optind != argc || o.socket_path.empty()) {
    usage(stderr);
    return 2;
  }
  if (o.socket_path.size() >= sizeof(sockaddr_un{}.sun_path))
    return bad("socket path (too long)", o.socket_path.c_str());
  return 0;
}

}  // namespace morvane::emulator::usbredir
