// Uses the installed C++ library without a camera; exits non-zero on a wrong result.
#include <morvane/uvc_stereo.hpp>

#include <cstdio>

int main() {
  namespace us = morvane::uvc_stereo;
  auto json = us::minify_and_validate_json(" { \"fx\" : 1 } ");
  if (!json.ok() || *json != "{\"fx\":1}") return 1;
  auto blob = us::build_blob(0, std::vector<std::uint8_t>(json->begin(), json->end()), us::FlashConfig{});
  if (!blob.ok()) return 2;
  auto parsed = us::parse_and_validate_raw_blob(blob->raw, us::FlashConfig{});
  if (!parsed.ok() || parsed->payload != blob->payload) return 3;
  if (us::opencv_backend_name(us::OpenCvBackend::v4l2) != "CAP_V4L2") return 4;
  std::printf("c++ consumer ok: blob of %zu bytes\n", blob->raw.size());
  return 0;
}
