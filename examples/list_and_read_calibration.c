/*
 * Lists the supported cameras through the C library and prints the first
 * camera's calibration document.
 *
 *   list_and_read_calibration
 */
#include <morvane/uvc_stereo.h>
#include <stdio.h>

static int fail(const char* what, int status) {
  const char* message = NULL;
  size_t length = 0;
  morvane_uvc_stereo_last_error_message(&message, &length);
  fprintf(stderr, "%s failed: status %d: %s\n", what, status, message);
  return 1;
}

int main(void) {
  morvane_uvc_stereo_device_info_t* devices = NULL;
  size_t count = 0;
  size_t i;
  morvane_uvc_stereo_open_device_options_t options;
  morvane_uvc_stereo_device_t* device = NULL;
  uint16_t version = 0;
  char* json = NULL;
  size_t json_length = 0;
  int status = morvane_uvc_stereo_scan_devices(&devices, &count);
  if (status != 0) return fail("scan", status); /* status 2 "no devices found" when nothing is attached */
  if (count == 0) return 1;

  for (i = 0; i < count; ++i) {
    printf("[%zu] %04x:%04x bus %u address %u serial '%s' node %s\n", i, devices[i].vid, devices[i].pid,
           devices[i].bus_number, devices[i].device_address, devices[i].serial, devices[i].video_node);
  }

  morvane_uvc_stereo_open_device_options_init_default(&options);
  status = morvane_uvc_stereo_open_device(&devices[0], &options, &device);
  morvane_uvc_stereo_free(devices);
  if (status != 0) return fail("open", status);

  status = morvane_uvc_stereo_device_read_json(device, &version, &json, &json_length);
  if (status != 0) {
    morvane_uvc_stereo_close_device(device);
    return fail("read calibration", status);
  }
  printf("calibration (document version %u, %zu bytes): %s\n", version, json_length, json);
  morvane_uvc_stereo_free(json);
  morvane_uvc_stereo_close_device(device);
  return 0;
}
