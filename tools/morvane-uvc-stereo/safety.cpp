// What keeps a flash operation recoverable: copies of what an erase destroys,
// written to the user's private state directory before the erase, and the
// stop signals held while the flash is being rewritten.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tool.hpp"

namespace morvane::tool {

namespace {

// A serial as a file-name field that maps back to it: letters, digits, '_'
// and '.' stay, every other byte (the field separator '-' and the escape
// '%' among them) becomes %XX. Two serials never share a field, and the
// field never holds a '-'.
std::string encoded_serial(const std::string& serial) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (const char c : serial) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    if (plain) {
      name += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      name += '%';
      name += kHex[byte >> 4];
      name += kHex[byte & 15];
    }
  }
  return name;
}

// Copies of one camera carry this field: its encoded serial, else "ids="
// and its ids (a '=' never comes out of an encoded serial).
std::string camera_field(const uvc_stereo::DeviceInfo& device) {
  return device.serial.empty() ? "ids=" + vidpid_text(device.vid, device.pid) : encoded_serial(device.serial);
}

// The field of the names older versions of the tool gave: unsafe characters
// as '_', '-' kept, the bare ids without a serial. Empty where that field
// could also stand for another camera (a serial that loses characters, or
// one that reads as a camera's ids).
std::string legacy_camera_field(const uvc_stereo::DeviceInfo& device) {
  if (device.serial.empty()) return vidpid_text(device.vid, device.pid);
  const std::string& serial = device.serial;
  const bool lossless = std::all_of(serial.begin(), serial.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
  const bool reads_as_ids = serial.size() == 8 && std::all_of(serial.begin(), serial.end(), [](char c) {
                              return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                            });
  return lossless && !reads_as_ids ? serial : std::string();
}

bool all_digits(const std::string& text, std::size_t from, std::size_t count) {
  if (count == 0 || from + count > text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                     text.begin() + static_cast<std::ptrdiff_t>(from + count),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYYMMDDTHHMMSS.uuuuuuZ" at `at`: 23 characters.
constexpr std::size_t kStampSize = 23;
bool is_stamp(const std::string& text, std::size_t at) {
  return text.size() >= at + kStampSize && all_digits(text, at, 8) && text[at + 8] == 'T' &&
         all_digits(text, at + 9, 6) && text[at + 15] == '.' && all_digits(text, at + 16, 6) && text[at + 22] == 'Z';
}

// The sequence number of a copy named "<kind>-<field>-<sequence>-<stamp>
// <extension>": exactly that, and nothing else (0 is no such name).
std::uint64_t sequence_of(const std::string& name, const std::string& kind, const std::string& field,
                          const std::string& extension) {
  const std::string prefix = kind + "-" + field + "-";
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  const std::size_t digits = name.find('-', prefix.size());
  if (digits == std::string::npos || digits - prefix.size() > 18 ||
      !all_digits(name, prefix.size(), digits - prefix.size()))
    return 0;
  if (!is_stamp(name, digits + 1) || name.compare(digits + 1 + kStampSize, std::string::npos, extension) != 0) return 0;
  return std::strtoull(name.c_str() + prefix.size(), nullptr, 10);
}

// An older version's name "<kind>-<legacy field>-<stamp>-<pid>[-<n>]
// <extension>", matched exactly.
bool is_legacy_name(const std::string& name, const std::string& kind, const std::string& legacy_field,
                    const std::string& extension) {
  if (legacy_field.empty()) return false;
  const std::string prefix = kind + "-" + legacy_field + "-";
  if (name.compare(0, prefix.size(), prefix) != 0 || !is_stamp(name, prefix.size())) return false;
  std::size_t at = prefix.size() + kStampSize;
  if (name.size() < extension.size() || name.compare(name.size() - extension.size(), std::string::npos, extension) != 0)
    return false;
  const std::size_t end = name.size() - extension.size();
  if (at == end) return false;  // the pid field is always there
  for (int field = 0; field < 2 && at < end; ++field) {
    const std::size_t next = std::min(name.find('-', at + 1), end);
    if (name[at] != '-' || !all_digits(name, at + 1, next - at - 1)) return false;
    at = next;
  }
  return at == end;
}

// The names of the state directory's entries (empty when it cannot be read).
std::vector<std::string> entry_names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* entry = ::readdir(d)) names.emplace_back(entry->d_name);
  ::closedir(d);
  return names;
}

bool make_private_directory(const std::string& dir, std::string& error) {
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
    const std::string parent = dir.substr(0, slash);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "cannot create " + parent + ": " + std::strerror(errno);
      return false;
    }
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = dir + " belongs to another user; refusing to keep copies there";
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    error = "cannot make " + dir + " private: " + std::strerror(errno);
    return false;
  }
  return true;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&set, s);
  return set;
}

int g_held_signal = 0;

}  // namespace

std::string state_directory() {
  const std::string state = xdg_base_directory("XDG_STATE_HOME");
  if (!state.empty()) return state + "/morvane-uvc-stereo";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/morvane-uvc-stereo";
  // Without HOME (a service, an initramfs): the user's home directory.
  const passwd* user = ::getpwuid(::geteuid());
  if (user != nullptr && user->pw_dir != nullptr && user->pw_dir[0] == '/')
    return std::string(user->pw_dir) + "/.local/state/morvane-uvc-stereo";
  return {};
}

bool save_safety_copy(const uvc_stereo::DeviceInfo& device, const std::string& kind,
                      const std::vector<std::uint8_t>& bytes, std::string& path, std::string& error) {
  const std::string dir = state_directory();
  if (dir.empty()) {
    error = "neither XDG_STATE_HOME, HOME nor the user database names a directory to keep a copy in";
    return false;
  }
  if (!make_private_directory(dir, error)) return false;
  // Copies are ordered by a sequence number, one more than the highest of
  // this camera's copies of this kind: a wall clock stepped back cannot
  // make an older copy look newer. The UTC time is for people reading the
  // names only.
  const std::string extension = kind == "calibration" ? ".blob" : ".bin";
  const std::string field = camera_field(device);
  std::uint64_t sequence = 1;
  for (const std::string& name : entry_names(dir))
    sequence = std::max(sequence, sequence_of(name, kind, field, extension) + 1);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[40];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ldZ", now.tv_nsec / 1000);
  const auto name_for = [&](std::uint64_t number) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(number));
    return dir + "/" + kind + "-" + field + "-" + digits + "-" + stamp + extension;
  };
  std::string temporary = dir + "/.partial-XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) {
    error = "cannot create a file in " + dir + ": " + std::strerror(errno);
    return false;
  }
  temporary = name.data();
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  int error_number = ok ? 0 : errno;
  if (ok && ::fsync(fd) != 0) ok = false, error_number = errno;
  if (::close(fd) != 0 && ok) ok = false, error_number = errno;
  // A new name only: an existing copy is never replaced. A name taken
  // meanwhile (another tool keeping a copy of this camera) moves on to the
  // next number.
  std::string final_name = name_for(sequence);
  for (int attempt = 2; ok; ++attempt) {
    if (::link(temporary.c_str(), final_name.c_str()) == 0) break;
    if (errno != EEXIST || attempt > 100) {
      ok = false;
      error_number = errno;
      break;
    }
    final_name = name_for(++sequence);
  }
  ::unlink(temporary.c_str());
  if (!ok) {
    error = "cannot write " + final_name + ": " + std::strerror(error_number);
    return false;
  }
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  path = final_name;
  return true;
}

std::string latest_calibration_copy(const uvc_stereo::DeviceInfo& device) {
  const std::string dir = state_directory();
  if (dir.empty()) return {};
  const std::string field = camera_field(device);
  const std::string legacy_field = legacy_camera_field(device);
  // The highest sequence number is the newest; copies an older version
  // kept (no number) come before every numbered one, newest time last.
  std::uint64_t best_sequence = 0;
  std::string best;
  for (const std::string& name : entry_names(dir)) {
    const std::uint64_t sequence = sequence_of(name, "calibration", field, ".blob");
    if (sequence == 0 && !is_legacy_name(name, "calibration", legacy_field, ".blob")) continue;
    if (best.empty() || sequence > best_sequence || (sequence == best_sequence && name > best)) {
      best_sequence = sequence;
      best = name;
    }
  }
  return best.empty() ? std::string() : dir + "/" + best;
}

std::string shell_quote(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789-_./=:+,@%") == std::string::npos;
  if (plain) return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void block_stop_signals_for_all_threads() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_stop_signals() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

HeldSignals::HeldSignals() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

HeldSignals::~HeldSignals() {
  // A signal that arrived meanwhile is taken off and acted on at exit, once
  // the caller has said what the flash holds.
  const sigset_t set = stop_set();
  const timespec zero{0, 0};
  for (;;) {
    const int s = sigtimedwait(&set, nullptr, &zero);
    if (s <= 0) break;
    if (g_held_signal == 0 || s != SIGPIPE) g_held_signal = s;
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int held_signal() { return g_held_signal; }

void act_on_held_signal() {
  if (g_held_signal == 0) return;
  std::signal(g_held_signal, SIG_DFL);
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(g_held_signal);
}

}  // namespace morvane::tool
