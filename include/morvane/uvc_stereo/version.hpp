// The version of the C++ library in use.
#pragma once

#include "morvane/uvc_stereo/export.hpp"

namespace morvane::uvc_stereo {

// "MAJOR.MINOR.PATCH" of the library the program runs with (which may be
// newer than the headers it was built against, within one SONAME).
MORVANE_UVC_STEREO_API const char* library_version() noexcept;

}  // namespace morvane::uvc_stereo
