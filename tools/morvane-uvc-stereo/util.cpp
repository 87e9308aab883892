#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tool.hpp"

namespace morvane::tool {

using uvc_stereo::ErrorCode;

const char* error_code_name(ErrorCode code) {
  switch (code) {
    case ErrorCode::ok:
      return "ok";
    case ErrorCode::invalid_argument:
      return "invalid_argument";
    case ErrorCode::io_error:
      return "io_error";
    case ErrorCode::device_unavailable:
      return "device_unavailable";
    case ErrorCode::read_failed:
      return "read_failed";
    case ErrorCode::write_failed:
      return "write_failed";
    case ErrorCode::erase_failed:
      return "erase_failed";
    case ErrorCode::magic_mismatch:
      return "magic_mismatch";
    case ErrorCode::invalid_header:
      return "invalid_header";
    case ErrorCode::invalid_length:
      return "invalid_length";
    case ErrorCode::crc_mismatch:
      return "crc_mismatch";
    case ErrorCode::invalid_json:
      return "invalid_json";
    case ErrorCode::internal_error:
      return "internal_error";
    case ErrorCode::unsupported:
      return "unsupported";
  }
  return "unknown";
}

std::string describe(ErrorCode code, const std::string& message) {
  std::ostringstream out;
  out << message << " (code " << static_cast<int>(code) << ", " << error_code_name(code) << ")";
  return out.str();
}

int report(const ToolError& error) {
  std::cerr << "error: " << error.message << "\n";
  return error.exit_code;
}

std::string xdg_base_directory(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || value[0] != '/') return {};
  const std::string dir = value;
  if (dir.find_first_not_of('/') == std::string::npos) return {};
  return dir;
}

std::string vidpid_text(std::uint16_t vid, std::uint16_t pid) {
  char text[9];
  std::snprintf(text, sizeof text, "%04x%04x", vid, pid);
  return text;
}

uvc_stereo::FlashConfig flash_config_for(const uvc_stereo::DeviceInfo& device) {
  uvc_stereo::FlashConfig config;
  config.vidpid = vidpid_text(device.vid, device.pid);
  config.auto_select = false;
  config.bus_number = device.bus_number;
  config.device_address = device.device_address;
  config.serial = device.serial;
  config.usb_path = device.usb_path;
  return config;
}

std::string pretty_json(const std::string& compact) {
  std::string out;
  out.reserve(compact.size() * 2);
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  auto newline = [&](int level) {
    out += '\n';
    out.append(static_cast<std::size_t>(level) * 2, ' ');
  };
  for (std::size_t i = 0; i < compact.size(); ++i) {
    char c = compact[i];
    if (in_string) {
      out += c;
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        out += c;
        break;
      case '{':
      case '[': {
        char close = c == '{' ? '}' : ']';
        if (i + 1 < compact.size() && compact[i + 1] == close) {
          out += c;
          out += close;
          ++i;
          break;
        }
        if (c == '[') {
          // An array of scalars stays on one line.
          std::size_t j = i + 1;
          bool str = false, esc = false, flat = true;
          for (; j < compact.size(); ++j) {
            char d = compact[j];
            if (str) {
              if (esc)
                esc = false;
              else if (d == '\\')
                esc = true;
              else if (d == '"')
                str = false;
            } else if (d == '"') {
              str = true;
            } else if (d == '[' || d == '{') {
              flat = false;
              break;
            } else if (d == ']') {
              break;
            }
          }
          if (flat && j < compact.size()) {
            str = false;
            esc = false;
            for (std::size_t k = i; k <= j; ++k) {
              char d = compact[k];
              out += d;
              if (str) {
                if (esc)
                  esc = false;
                else if (d == '\\')
                  esc = true;
                else if (d == '"')
                  str = false;
              } else if (d == '"') {
                str = true;
              } else if (d == ',') {
                out += ' ';
              }
            }
            i = j;
            break;
          }
        }
        out += c;
        newline(++depth);
        break;
      }
      case '}':
      case ']':
        newline(--depth);
        out += c;
        break;
      case ',':
        out += c;
        newline(depth);
        break;
      case ':':
        out += ": ";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  if (path == "-") {
    std::ostringstream buffer;
    buffer << std::cin.rdbuf();
    std::string text = buffer.str();
    bytes.assign(text.begin(), text.end());
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
  if (path == "-") {
    std::cout.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
    return static_cast<bool>(std::cout);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (out) out.close();
  if (!out) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

Progress::Progress(std::string label, bool enabled)
    : label_(std::move(label)), enabled_(enabled), tty_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { finish(); }

void Progress::update(double fraction) {
  if (!enabled_ || finished_) return;
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  int percent = static_cast<int>(fraction * 100.0);
  if (tty_) {
    if (percent == last_) return;
    constexpr int kWidth = 40;
    int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, ' ').c_str(), percent);
    std::fflush(stderr);
  } else {
    int step = percent / 10 * 10;
    if (step == last_) return;
    percent = step;
    std::fprintf(stderr, "%s: %d%%\n", label_.c_str(), step);
  }
  last_ = percent;
}

void Progress::finish() {
  if (!enabled_ || finished_) return;
  update(1.0);
  if (tty_) std::fputc('\n', stderr);
  finished_ = true;
}

void Progress::callback(void* self, float fraction) { static_cast<Progress*>(self)->update(fraction); }

}  // namespace morvane::tool
