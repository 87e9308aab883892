/* A C99 user of the C library: the header, the records and the functions
 * that need no camera, linked against the shared library. Returns non-zero
 * when a check fails. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "abi/layout_checks.h"
#include "morvane/uvc_stereo.h"

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

/* The thread's text equals `expected`, byte for byte, with its length. */
static int thread_text_is(const char* expected) {
  const char* text = NULL;
  size_t length = 99;
  if (morvane_uvc_stereo_last_error_message(&text, &length) != 0 || text == NULL) return 0;
  return length == strlen(expected) && strcmp(text, expected) == 0 && text[length] == '\0';
}

static int context_text_is(morvane_uvc_stereo_ctx_t* ctx, const char* expected) {
  const char* text = NULL;
  size_t length = 99;
  if (morvane_uvc_stereo_ctx_last_error_message(ctx, &text, &length) != 0 || text == NULL) return 0;
  return length == strlen(expected) && strcmp(text, expected) == 0;
}

static morvane_uvc_stereo_device_info_t record_with_ids(uint16_t vid, uint16_t pid) {
  morvane_uvc_stereo_device_info_t info;
  memset(&info, 0, sizeof info);
  info.vid = vid;
  info.pid = pid;
  return info;
}

/* Opening the record fails with `status` and `message`; *out stays null. */
static int open_fails(const morvane_uvc_stereo_device_info_t* info, int status, const char* message) {
  morvane_uvc_stereo_device_t* device = (morvane_uvc_stereo_device_t*)&failures; /* not null */
  int rc = morvane_uvc_stereo_open_device(info, NULL, &device);
  return rc == status && device == NULL && thread_text_is(message);
}

static void check_contexts(void) {
  morvane_uvc_stereo_ctx_config_t config;
  morvane_uvc_stereo_ctx_t* ctx = NULL;
  morvane_uvc_stereo_device_info_t info;
  const char* text = NULL;
  size_t length = 0;

  memset(&config, 0xAB, sizeof config);
  morvane_uvc_stereo_ctx_config_init_default(&config);
  CHECK(config.flash_address == 0x51000u);
  CHECK(config.sector_size == 0x1000u);
  CHECK(config.magic == 0x4D4F5256u);
  CHECK(config.max_total_length == 0x10000u);
  CHECK(config.min_header_size == 16);
  CHECK(config.max_header_size == 256);
  CHECK(config.verify_crc == 1);
  CHECK(config.verify_after_write == 1);
  morvane_uvc_stereo_ctx_config_init_default(NULL);

  CHECK(morvane_uvc_stereo_ctx_create(&config, NULL) == MORVANE_UVC_STEREO_INVALID_ARGUMENT);
  CHECK(morvane_uvc_stereo_last_error_message(&text, &length) == 0);
  CHECK(length == 18 && strcmp(text, "out_handle is null") == 0);

  CHECK(morvane_uvc_stereo_ctx_create(NULL, &ctx) == MORVANE_UVC_STEREO_OK);
  CHECK(ctx != NULL);
  CHECK(thread_text_is(""));
  CHECK(context_text_is(ctx, ""));

  /* A null output replaces the thread's text but leaves the context alone. */
  CHECK(morvane_uvc_stereo_last_error_message(NULL, &length) == 1);
  CHECK(thread_text_is("out_message/out_message_len is null"));
  CHECK(morvane_uvc_stereo_ctx_last_error_message(ctx, &text, NULL) == 1);
  CHECK(context_text_is(ctx, ""));

  CHECK(morvane_uvc_stereo_ctx_scan(NULL, &info) == 1);
  CHECK(thread_text_is("handle is null"));
  CHECK(context_text_is(ctx, ""));
  CHECK(morvane_uvc_stereo_ctx_scan(ctx, NULL) == 1);
  CHECK(thread_text_is("out_device is null"));
  CHECK(context_text_is(ctx, "out_device is null"));
  /* Without a context the message functions show the thread's text. */
  CHECK(morvane_uvc_stereo_ctx_last_error_message(NULL, &text, &length) == 0);
  CHECK(length == 18 && strcmp(text, "out_device is null") == 0);

  morvane_uvc_stereo_ctx_destroy(ctx);
  morvane_uvc_stereo_ctx_destroy(NULL);
  morvane_uvc_stereo_free(NULL);
}

static void check_conversion(void) {
  morvane_uvc_stereo_read_imu_result_t raw;
  morvane_uvc_stereo_imu_conversion_options_t options;
  morvane_uvc_stereo_imu_sample_t sample;

  memset(&raw, 0, sizeof raw);
  raw.timestamp_ns = 0xFEDCBA9876543210ull;
  raw.sensor_timestamp = 0xFFFFF;
  raw.temperature_raw = -3200;
  raw.accel_raw[0] = 2048;
  raw.accel_raw[1] = 32767;
  raw.accel_raw[2] = -2048;
  raw.gyro_raw[0] = 164;
  raw.gyro_raw[1] = -164;
  raw.gyro_raw[2] = 0;
  CHECK(morvane_uvc_stereo_convert_imu(&raw, NULL, &sample) == 0);
  CHECK(thread_text_is(""));
  CHECK(sample.timestamp_ns == 0xFEDCBA9876543210ull);
  CHECK(sample.temperature_c == 0.0);
  CHECK(sample.accel_g[0] == 1.0 && sample.accel_g[1] == 15.99951171875 && sample.accel_g[2] == -1.0);
  CHECK(fabs(sample.gyro_dps[0] - 10.0) < 1e-12 && fabs(sample.gyro_dps[1] + 10.0) < 1e-12);
  CHECK(sample.gyro_dps[2] == 0.0);

  memset(&options, 0, sizeof options);
  morvane_uvc_stereo_imu_conversion_options_init_default(&options);
  CHECK(options.temperature_offset_c == 25.0 && options.temperature_lsb_per_c == 128.0);
  CHECK(options.accel_lsb_per_g == 2048.0 && options.gyro_lsb_per_dps == 16.4);
  morvane_uvc_stereo_imu_conversion_options_init_default(NULL);

  options.accel_lsb_per_g = 0.0;
  raw.temperature_raw = 128;
  CHECK(morvane_uvc_stereo_convert_imu(&raw, &options, &sample) == 0);
  CHECK(sample.temperature_c == 26.0 && sample.accel_g[0] == 0.0 && sample.accel_g[1] == 0.0);

  options.temperature_lsb_per_c = 0.0;
  sample.temperature_c = 1.0;
  CHECK(morvane_uvc_stereo_convert_imu(&raw, &options, &sample) == MORVANE_UVC_STEREO_INVALID_ARGUMENT);
  CHECK(thread_text_is("temperature_lsb_per_c must not be zero"));
  CHECK(sample.temperature_c == 0.0 && sample.timestamp_ns == 0); /* zeroed, not filled */

  CHECK(morvane_uvc_stereo_convert_imu(NULL, NULL, &sample) == 1);
  CHECK(thread_text_is("raw/out_result is null"));
  CHECK(morvane_uvc_stereo_convert_imu(&raw, NULL, NULL) == 1);
  CHECK(thread_text_is("raw/out_result is null"));
}

static void check_backend_names(void) {
  CHECK(morvane_uvc_stereo_convert_imu(NULL, NULL, NULL) == 1);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(200), "CAP_V4L2") == 0);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(700), "CAP_DSHOW") == 0);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(1400), "CAP_MSMF") == 0);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(1800), "CAP_GSTREAMER") == 0);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(0), "CAP_UNKNOWN") == 0);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(-1), "CAP_UNKNOWN") == 0);
  CHECK(strcmp(morvane_uvc_stereo_opencv_backend_name(201), "CAP_UNKNOWN") == 0);
  /* No text is set by the name lookup. */
  CHECK(thread_text_is("raw/out_result is null"));
}

static void check_open_and_info(void) {
  morvane_uvc_stereo_device_info_t info = record_with_ids(0x0c45, 0x0643);
  morvane_uvc_stereo_device_info_t back;
  morvane_uvc_stereo_open_device_options_t options;
  morvane_uvc_stereo_device_t* device = NULL;
  morvane_uvc_stereo_read_imu_result_t raw;
  size_t i;

  CHECK(morvane_uvc_stereo_open_device(NULL, NULL, NULL) == 1);
  CHECK(thread_text_is("out_device is null"));
  CHECK(open_fails(NULL, 1, "device is null"));
  {
    morvane_uvc_stereo_device_info_t no_pid = record_with_ids(0x0c45, 0);
    CHECK(open_fails(&no_pid, 1, "device vid/pid is invalid"));
  }
  info.opencv_index_count = 9;
  CHECK(open_fails(&info, 1, "opencv backend index count is too large"));
  info.opencv_index_count = 2;
  info.opencv_indices[0].backend = 200;
  info.opencv_indices[0].index = 0;
  info.opencv_indices[1].backend = 200;
  info.opencv_indices[1].index = 1;
  CHECK(open_fails(&info, 1, "duplicated opencv backend entry"));
  info.opencv_indices[1].backend = 1500;
  CHECK(open_fails(&info, 1, "unsupported opencv backend"));
  info.opencv_indices[1].backend = 1800;
  info.opencv_indices[1].index = -1;
  CHECK(open_fails(&info, 1, "opencv backend index is negative"));
  info.opencv_indices[1].index = 7;

  memset(&options, 0xFF, sizeof options);
  morvane_uvc_stereo_open_device_options_init_default(&options);
  CHECK(options.required_capabilities == MORVANE_UVC_STEREO_CAPABILITY_FLASH);
  morvane_uvc_stereo_open_device_options_init_default(NULL);

  options.required_capabilities = 8;
  CHECK(morvane_uvc_stereo_open_device(&info, &options, &device) == 1 && device == NULL);
  CHECK(thread_text_is("open_device required_capabilities contains unknown bits"));

  /* With no capability asked for, nothing is touched: no camera is needed.
   * The texts have no NUL within their fields: the copy stops at the field. */
  memset(info.serial, 'S', sizeof info.serial);
  memset(info.usb_path, 'P', sizeof info.usb_path);
  strcpy(info.model, "stereo");
  info.bus_number = 3;
  info.device_address = 9;
  options.required_capabilities = 0;
  CHECK(morvane_uvc_stereo_open_device(&info, &options, &device) == 0 && device != NULL);
  CHECK(thread_text_is(""));

  memset(&back, 0x5A, sizeof back);
  CHECK(morvane_uvc_stereo_device_info(device, &back) == 0);
  CHECK(back.vid == 0x0c45 && back.pid == 0x0643 && back.bus_number == 3 && back.device_address == 9);
  CHECK(strlen(back.serial) == 255 && back.serial[0] == 'S');
  CHECK(strlen(back.usb_path) == 511 && back.usb_path[510] == 'P');
  CHECK(strcmp(back.model, "stereo") == 0 && back.vendor[0] == '\0' && back.video_node[0] == '\0');
  CHECK(back.opencv_index_count == 2);
  CHECK(back.opencv_indices[0].backend == 200 && back.opencv_indices[0].index == 0);
  CHECK(back.opencv_indices[1].backend == 1800 && back.opencv_indices[1].index == 7);
  for (i = 2; i < MORVANE_UVC_STEREO_MAX_OPENCV_INDICES; ++i) {
    CHECK(back.opencv_indices[i].backend == 0 && back.opencv_indices[i].index == 0);
  }
  CHECK(morvane_uvc_stereo_device_info(device, NULL) == 1);
  CHECK(thread_text_is("out_device_info is null"));
  CHECK(morvane_uvc_stereo_device_info(NULL, &back) == 1);
  CHECK(thread_text_is("device is null"));

  memset(&raw, 0x77, sizeof raw);
  CHECK(morvane_uvc_stereo_device_read_imu(device, &raw) == 1);
  CHECK(thread_text_is("IMU is not open"));
  CHECK(raw.timestamp_ns == 0 && raw.gyro_raw[2] == 0);
  CHECK(morvane_uvc_stereo_device_close_imu(device) == 0);
  CHECK(thread_text_is(""));

  CHECK(morvane_uvc_stereo_device_write_json(device, NULL, 0) == 1);
  CHECK(thread_text_is("json_utf8 is null"));
  CHECK(morvane_uvc_stereo_device_write_json(device, "", 0) == MORVANE_UVC_STEREO_INVALID_JSON);
  CHECK(thread_text_is("json text is empty"));

  morvane_uvc_stereo_close_device(device);
  morvane_uvc_stereo_close_device(NULL);
}

static void check_scan(void) {
  /* Whatever is plugged in here: the outcome is either a list or no camera. */
  morvane_uvc_stereo_device_info_t* devices = (morvane_uvc_stereo_device_info_t*)&failures;
  size_t count = 77;
  int rc = morvane_uvc_stereo_scan_devices(&devices, &count);
  if (rc == 0) {
    CHECK(devices != NULL && count > 0);
    CHECK(thread_text_is(""));
    CHECK(devices[0].vid != 0 && devices[0].opencv_index_count <= 8);
    morvane_uvc_stereo_free(devices);
  } else {
    CHECK(rc == MORVANE_UVC_STEREO_IO_ERROR);
    CHECK(devices == NULL && count == 0);
    CHECK(morvane_uvc_stereo_last_error_message(NULL, NULL) == 1); /* replaces the scan's text */
  }
  CHECK(morvane_uvc_stereo_scan_devices(NULL, &count) == 1);
  CHECK(thread_text_is("out_devices/out_count is null"));
}

int main(void) {
  check_contexts();
  check_conversion();
  check_backend_names();
  check_open_and_info();
  check_scan();
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("all C checks passed\n");
  return 0;
}
