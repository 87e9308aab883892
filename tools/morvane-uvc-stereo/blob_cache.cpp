// The last configuration blob read from each camera, kept between runs so
// that the next read can be a reuse check (the camera's stored header is
// read and compared; the document is read again only when it changed).
//
// The cache is a hint, never a source of truth: the SDK validates whatever
// is handed to it and reads the camera's header every time, so a missing,
// truncated, foreign or stale file costs at most one full read.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

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

bool make_directories(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
    const std::string partial = dir.substr(0, slash);
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string blob_cache_directory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/morvane-uvc-stereo";
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

std::optional<uvc_stereo::FlashBlob> load_cached_blob(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  uvc_stereo::FlashBlob blob;
  blob.raw.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || blob.raw.empty()) return std::nullopt;
  return blob;
}

void store_cached_blob(const std::string& path, const std::vector<std::uint8_t>& raw) {
  if (path.empty() || raw.empty()) return;
  const std::string dir = path.substr(0, path.rfind('/'));
  if (!make_directories(dir)) return;
  // Written aside and renamed, so a reader never sees half a file.
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    out.close();
    if (!out) {
      ::unlink(temporary.c_str());
      return;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
}

}  // namespace morvane::tool
