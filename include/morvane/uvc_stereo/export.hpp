// Symbol visibility for the public C++ interface.
#pragma once

#if defined(MORVANE_UVC_STEREO_STATIC)
#define MORVANE_UVC_STEREO_API
#else
#define MORVANE_UVC_STEREO_API __attribute__((visibility("default")))
#endif
