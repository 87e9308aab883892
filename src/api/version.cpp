#include "morvane/uvc_stereo/version.hpp"

#ifndef MORVANE_UVC_STEREO_VERSION_TEXT
#error "the build defines MORVANE_UVC_STEREO_VERSION_TEXT"
#endif

namespace morvane::uvc_stereo {

const char* library_version() noexcept { return MORVANE_UVC_STEREO_VERSION_TEXT; }

}  // namespace morvane::uvc_stereo
