// Names of the OpenCV capture backends.
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

std::string_view opencv_backend_name(OpenCvBackend backend) noexcept {
  // The enumeration is open: any 32-bit value may arrive here, so the switch
  // keeps a fallback for values outside the four named backends.
  switch (backend) {
    case OpenCvBackend::v4l2:
      return "CAP_V4L2";
    case OpenCvBackend::dshow:
      return "CAP_DSHOW";
    case OpenCvBackend::msmf:
      return "CAP_MSMF";
    case OpenCvBackend::gstreamer:
      return "CAP_GSTREAMER";
  }
  return "CAP_UNKNOWN";
}

}  // namespace morvane::uvc_stereo
