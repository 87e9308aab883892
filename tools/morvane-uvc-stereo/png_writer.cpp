#include "png_writer.hpp"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace morvane::tool {

namespace us = uvc_stereo;

namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

std::string system_text(const std::string& what, const std::string& shown) {
  return what + " " + shown + " failed: " + std::strerror(errno);
}

// libpng reports through longjmp; its message is kept for the caller.
struct PngFailure {
  std::jmp_buf jump;
  char message[200] = "";
};

void on_png_error(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  std::longjmp(failure->jump, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// The encoding itself, apart from the function that owns the file, so that
// nothing with a destructor lives across the longjmp.
bool encode(std::FILE* file, const us::ImageView& view, int compression, PngFailure& failure) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, on_png_error, on_png_warning);
  if (png == nullptr) {
    std::snprintf(failure.message, sizeof failure.message, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(failure.jump) != 0) {
    png_destroy_write_struct(&png, &info);
    if (failure.message[0] == '\0') std::snprintf(failure.message, sizeof failure.message, "out of memory");
    return false;
  }
  png_init_io(png, file);
  png_set_compression_level(png, compression);
  const bool color = view.format == us::PixelFormat::bgr24;
  png_set_IHDR(png, info, view.width, view.height, 8, color ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (color) png_set_bgr(png);
  for (std::uint32_t y = 0; y < view.height; ++y) {
    // libpng reads the row only; its interface is not const-correct.
    png_write_row(png, const_cast<png_bytep>(view.data + static_cast<std::size_t>(y) * view.stride));
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool write_png_at(int dir_fd, const std::string& name, const std::string& shown, const us::ImageView& view,
                  int compression, std::string& error) {
  const std::uint32_t pixel = view.format == us::PixelFormat::bgr24 ? 3 : 1;
  if (view.data == nullptr || view.width == 0 || view.height == 0 ||
      (view.format != us::PixelFormat::gray8 && view.format != us::PixelFormat::bgr24) ||
      view.stride < view.width * pixel) {
    error = "cannot write " + shown + ": the picture is not gray8 or bgr24";
    return false;
  }
  if (compression < 0 || compression > 9) compression = 6;
  std::FILE* file = create_file_at(dir_fd, name, shown, error);
  if (file == nullptr) return false;
  PngFailure failure;
  bool ok = encode(file, view, compression, failure);
  if (!ok) error = "cannot encode " + shown + ": " + failure.message;
  // A write that failed shows in the stream's error flag or at the close.
  if (ok && (std::fflush(file) != 0 || std::ferror(file))) {
    error = system_text("write", shown);
    ok = false;
  }
  if (std::fclose(file) != 0 && ok) {
    error = system_text("close", shown);
    ok = false;
  }
  if (!ok) ::unlinkat(dir_fd, name.c_str(), 0);
  return ok;
}

int make_directory_at(int dir_fd, const std::string& name, const std::string& shown, std::string& error) {
  if (::mkdirat(dir_fd, name.c_str(), 0755) != 0) {
    error = system_text("create directory", shown);
    return -1;
  }
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) error = system_text("open directory", shown);
  return fd;
}

std::FILE* create_file_at(int dir_fd, const std::string& name, const std::string& shown, std::string& error) {
  const int fd = ::openat(dir_fd, name.c_str(), kCreateFlags, 0644);
  if (fd < 0) {
    error = system_text("create", shown);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    error = system_text("open", shown);
    ::close(fd);
    ::unlinkat(dir_fd, name.c_str(), 0);  // made just now, and empty
  }
  return file;
}

bool close_file(std::FILE* file, const std::string& shown, std::string& error) {
  if (file == nullptr) return true;
  bool ok = std::fflush(file) == 0 && !std::ferror(file);
  if (!ok) error = system_text("write", shown);
  if (std::fclose(file) != 0 && ok) {
    error = system_text("close", shown);
    ok = false;
  }
  return ok;
}

}  // namespace morvane::tool
