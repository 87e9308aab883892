// Reads a JSON file, minifies it, wraps it in a flash blob with the default
// configuration, and parses and validates that blob again - what the SDK does
// before writing a document to a camera, without touching a camera.
//
// Usage: blob_from_json FILE
// Exit status: 0 on success, otherwise the SDK's error code.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"

namespace mus = morvane::uvc_stereo;

namespace {

template <typename T>
int report_failure(const char* step, const mus::Result<T>& result) {
  std::fprintf(stderr, "%s failed: code %d: %s\n", step, static_cast<int>(result.code), result.message.c_str());
  return static_cast<int>(result.code);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argc > 0 ? argv[0] : "blob_from_json");
    return static_cast<int>(mus::ErrorCode::invalid_argument);
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return static_cast<int>(mus::ErrorCode::io_error);
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return static_cast<int>(mus::ErrorCode::io_error);
  }

  const auto compact = mus::minify_and_validate_json(text);
  if (!compact.ok()) return report_failure("minify_and_validate_json", compact);

  const mus::FlashConfig config;  // default address, magic and limits
  const std::vector<std::uint8_t> payload(compact.value->begin(), compact.value->end());
  const auto blob = mus::build_blob(0, payload, config);
  if (!blob.ok()) return report_failure("build_blob", blob);

  const auto parsed = mus::parse_and_validate_raw_blob(blob.value->raw, config);
  if (!parsed.ok()) return report_failure("parse_and_validate_raw_blob", parsed);

  std::printf("input: %zu bytes\n", text.size());
  std::printf("compact json: %zu bytes\n", compact.value->size());
  std::printf("blob: %zu bytes (header %u, payload %u)\n", parsed.value->raw.size(),
              static_cast<unsigned>(parsed.value->header_size), static_cast<unsigned>(parsed.value->payload_length));
  std::printf("crc32: 0x%08x\n", static_cast<unsigned>(parsed.value->crc32));
  return 0;
}
