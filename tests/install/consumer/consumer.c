/* Uses the installed C library without a camera; exits non-zero on a wrong result. */
#include <morvane/uvc_stereo.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  morvane_uvc_stereo_read_imu_result_t raw;
  morvane_uvc_stereo_imu_sample_t sample;
  memset(&raw, 0, sizeof raw);
  raw.accel_raw[2] = 2048;
  raw.temperature_raw = 128;
  if (morvane_uvc_stereo_convert_imu(&raw, NULL, &sample) != 0) return 1;
  if (sample.accel_g[2] != 1.0 || sample.temperature_c != 26.0) return 2;
  if (strcmp(morvane_uvc_stereo_opencv_backend_name(1800), "CAP_GSTREAMER") != 0) return 3;
  printf("c consumer ok\n");
  return 0;
}
