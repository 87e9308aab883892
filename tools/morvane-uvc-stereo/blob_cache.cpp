// The last configuration blob read from each camera, kept between runs so
// that a read asked to (--reuse-cache) can be a reuse check (the camera's
// stored header and the payload's last bytes are read and compared; the
// document is read again only when they differ).
//
// The cache is untrusted input: the SDK validates whatever is handed to it,
// and the file itself is opened without following a symlink or blocking on
// a FIFO, taken only when it is a regular file of the user's own no larger
// than the largest blob the configuration allows, in a directory that is
// the user's own with mode 0700. Anything else is ignored (and replaced by
// the next store). Files are written through a unique temporary (mkstemp,
// mode 0600) and renamed into place, so a reader never sees half a file and
// a name planted in the directory is never written through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tool.hpp"

namespace morvane::tool {

namespace {

// Serial numbers come from the device: keep only characters that are safe
// in a file name.
std::string file_name_for(const std::string& serial) {
  std::string name;
  for (char c : serial) {
    const bool safe =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    name += safe ? c : '_';
  }
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  return name + ".blob";
}

// Closes a descriptor on every path.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// The cache directory is usable: a real directory (not a symlink), owned by
// this user, mode 0700 (tightened when it is ours but looser). With
// `create`, missing directories are made 0700 on the way.
bool directory_ok(const std::string& dir, bool create) {
  if (create) {
    for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
      const std::string partial = dir.substr(0, slash);
      if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  Fd d;
  d.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (d.fd < 0) return false;
  struct stat st {};
  if (::fstat(d.fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if ((st.st_mode & 07777) != 0700 && ::fchmod(d.fd, 0700) != 0) return false;
  return true;
}

}  // namespace

std::string blob_cache_directory() {
  const std::string cache = xdg_base_directory("XDG_CACHE_HOME");
  if (!cache.empty()) return cache + "/morvane-uvc-stereo";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/morvane-uvc-stereo";
  return {};
}

std::string blob_cache_path(const uvc_stereo::DeviceInfo& device) {
  // Without a serial two cameras could not be told apart.
  if (device.serial.empty()) return {};
  const std::string dir = blob_cache_directory();
  return dir.empty() ? std::string() : dir + "/" + file_name_for(device.serial);
}

std::optional<uvc_stereo::FlashBlob> load_cached_blob(const std::string& path, std::size_t max_bytes) {
  if (path.empty() || !directory_ok(path.substr(0, path.rfind('/')), false)) return std::nullopt;
  Fd f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (f.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return std::nullopt;
  if (st.st_size <= 0 || static_cast<std::uint64_t>(st.st_size) > max_bytes) return std::nullopt;
  // Read at most one byte past the limit: a file that grew meanwhile is
  // refused, never read without bound.
  uvc_stereo::FlashBlob blob;
  blob.raw.resize(max_bytes + 1);
  std::size_t have = 0;
  while (have < blob.raw.size()) {
    const ssize_t n = ::read(f.fd, blob.raw.data() + have, blob.raw.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have == 0 || have > max_bytes) return std::nullopt;
  blob.raw.resize(have);
  return blob;
}

void store_cached_blob(const std::string& path, const std::vector<std::uint8_t>& raw) {
  if (path.empty() || raw.empty()) return;
  const std::size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash);
  if (!directory_ok(dir, true)) return;
  // A unique temporary, created exclusively (mode 0600), renamed over
  // whatever the cache path holds (a symlink there is replaced, not
  // followed).
  std::string temporary = dir + "/." + path.substr(slash + 1) + ".XXXXXX";
  Fd out;
  out.fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out.fd < 0) return;
  bool ok = ::fchmod(out.fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < raw.size();) {
    const ssize_t n = ::write(out.fd, raw.data() + done, raw.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::close(out.fd) == 0;
  out.fd = -1;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
}

}  // namespace morvane::tool
