/* The public C header compiled as C11 with -pedantic, together with the
 * record layout checks and a few C11 static assertions. */
#include "abi/layout_checks.h"

_Static_assert(sizeof(morvane_uvc_stereo_device_info_t) == 1872, "device record size");
_Static_assert(MORVANE_UVC_STEREO_MAX_OPENCV_INDICES == 8, "index array size");
_Static_assert(MORVANE_UVC_STEREO_INTERNAL_ERROR == 13, "internal error status");
_Static_assert(MORVANE_UVC_STEREO_UNSUPPORTED == 14, "unsupported status");

/* Every function has the declared type. */
typedef int (*scan_fn)(morvane_uvc_stereo_device_info_t**, size_t*);
typedef const char* (*name_fn)(int);
static const scan_fn scan_check = morvane_uvc_stereo_scan_devices;
static const name_fn name_check = morvane_uvc_stereo_opencv_backend_name;

int morvane_c_api_header_c11_anchor(void);
int morvane_c_api_header_c11_anchor(void) { return scan_check != 0 && name_check != 0; }
