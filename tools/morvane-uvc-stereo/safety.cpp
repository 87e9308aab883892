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
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tool.hpp"

namespace morvane::tool {

namespace {

// Device texts become file-name characters only.
std::string name_part(const std::string& text) {
  std::string name;
  for (char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    name += safe ? c : '_';
  }
  return name;
}

// Copies of one camera start with this: its serial, else its ids.
std::string camera_stem(const uvc_stereo::DeviceInfo& device) {
  return device.serial.empty() ? vidpid_text(device.vid, device.pid) : name_part(device.serial);
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
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/morvane-uvc-stereo";
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
  // Microseconds in the name: a later copy sorts after an earlier one.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[40];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ldZ", now.tv_nsec / 1000);
  const std::string stem =
      dir + "/" + kind + "-" + camera_stem(device) + "-" + stamp + "-" + std::to_string(::getpid());
  const std::string extension = kind == "calibration" ? ".blob" : ".bin";
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
  // A new name only: an existing copy is never replaced.
  std::string final_name = stem + extension;
  for (int attempt = 2; ok; ++attempt) {
    if (::link(temporary.c_str(), final_name.c_str()) == 0) break;
    if (errno != EEXIST || attempt > 100) {
      ok = false;
      error_number = errno;
      break;
    }
    final_name = stem + "-" + std::to_string(attempt) + extension;
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
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return {};
  const std::string prefix = "calibration-" + camera_stem(device) + "-";
  std::string best;
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < 5 ||
        name.compare(name.size() - 5, 5, ".blob") != 0) {
      continue;
    }
    // The time stamp follows the prefix: the greatest name is the newest.
    if (name > best) best = name;
  }
  ::closedir(d);
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
