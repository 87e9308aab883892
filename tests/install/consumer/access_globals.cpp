// The access library's exported error code as a program reads it through the
// installed header.
#include <morvane/sonix/sonix_cam.h>

int access_library_error_after_failed_init() {
  char no_such_camera[] = "ffffffff";
  if (SonixCam_Init(no_such_camera, 0, 0)) return -1;
  return gEC;
}
