// Input and output files of the tool: inputs are regular files of bounded
// size, outputs are written aside and renamed over the target, and standard
// output is checked at exit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "tool.hpp"

namespace morvane::tool {

namespace {

std::string system_error(const std::string& what, const std::string& path, int error_number) {
  return what + " " + path + ": " + std::strerror(error_number);
}

const char* file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Reads at most `limit` + 1 bytes, so that an over-long input shows as such.
bool read_bounded(int fd, std::size_t limit, std::vector<std::uint8_t>& bytes, int& error_number) {
  bytes.clear();
  std::uint8_t chunk[65536];
  while (bytes.size() <= limit) {
    const std::size_t want = std::min(sizeof chunk, limit + 1 - bytes.size());
    const ssize_t n = ::read(fd, chunk, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_number = errno;
      return false;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return true;
}

bool write_all(int fd, const std::vector<std::uint8_t>& bytes, int& error_number) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_number = errno;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

mode_t creation_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool read_input(const std::string& path, std::size_t max_bytes, std::vector<std::uint8_t>& bytes, std::string& error) {
  const bool from_stdin = path == "-";
  const std::string name = from_stdin ? std::string("standard input") : path;
  int fd = STDIN_FILENO;
  if (!from_stdin) {
    // Non-blocking, so that a FIFO without a writer does not hang the open.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      error = system_error("cannot read", path, errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      error = path + " is " + (::fstat(fd, &st) == 0 ? file_kind(st.st_mode) : "unreadable") + ", not a regular file";
      ::close(fd);
      return false;
    }
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
      error = path + " holds " + std::to_string(st.st_size) + " bytes, more than the " + std::to_string(max_bytes) +
              " bytes this operation accepts";
      ::close(fd);
      return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  int error_number = 0;
  const bool ok = read_bounded(fd, max_bytes, bytes, error_number);
  if (!from_stdin) ::close(fd);
  if (!ok) {
    error = system_error("cannot read", name, error_number);
    return false;
  }
  if (bytes.size() > max_bytes) {
    error = name + " holds more than the " + std::to_string(max_bytes) + " bytes this operation accepts";
    return false;
  }
  return true;
}

bool write_atomically(const std::string& target, const std::vector<std::uint8_t>& bytes, mode_t mode,
                      std::string& error) {
  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = dir + "/." + base + ".XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    error = system_error("cannot write a temporary file in", dir, errno);
    return false;
  }
  temporary = name.data();
  int error_number = 0;
  bool ok = write_all(fd, bytes, error_number);
  if (ok && ::fchmod(fd, mode) != 0) ok = false, error_number = errno;
  if (ok && ::fsync(fd) != 0) ok = false, error_number = errno;
  if (::close(fd) != 0 && ok) ok = false, error_number = errno;
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) ok = false, error_number = errno;
  if (!ok) {
    ::unlink(temporary.c_str());
    error = system_error("cannot write", target, error_number) + " (the file is unchanged)";
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return true;
}

bool write_output(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
  if (path == "-") {
    std::cout.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return stdout_ok(error);
  }
  std::string target = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A link is kept: the file it names is replaced.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      target = resolved;
      std::free(resolved);
    }
  }
  mode_t mode = creation_mode();
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      // A device or FIFO cannot be replaced: written in place.
      const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      int error_number = fd < 0 ? errno : 0;
      bool ok = fd >= 0 && write_all(fd, bytes, error_number);
      if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, error_number = errno;
      if (!ok) error = system_error("cannot write", path, error_number);
      return ok;
    }
    mode = st.st_mode & 07777;
  }
  return write_atomically(target, bytes, mode, error);
}

bool stdout_ok(std::string& error) {
  std::cout.flush();
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error_number = errno;
  if (flushed && !std::ferror(stdout) && !std::cout.fail()) return true;
  error = "cannot write to standard output";
  if (error_number != 0) error += std::string(": ") + std::strerror(error_number);
  error += " (output lost)";
  return false;
}

bool parse_number(const std::string& text, std::uint64_t min, std::uint64_t max, std::uint64_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 16) return false;
  std::uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    const std::uint64_t base = hex ? 16 : 10;
    if (v > (UINT64_MAX - static_cast<std::uint64_t>(d)) / base) return false;
    v = v * base + static_cast<std::uint64_t>(d);
  }
  if (v < min || v > max) return false;
  value = v;
  return true;
}

std::string escape_text(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace morvane::tool
