/*
 * C interface of libmorvane_uvc_stereo_sdk_c: scan for cameras, open one,
 * read and write the JSON document kept in its serial flash, read and convert
 * IMU samples.
 *
 * Plain C (C99 and later). Every function that can fail returns an int status
 * equal to one of the morvane_uvc_stereo_status values below (0 is success)
 * and sets the calling thread's last error text: empty on success, the
 * failure's message otherwise (read it with
 * morvane_uvc_stereo_last_error_message). No C++ exception ever leaves a
 * function: an exception inside the library becomes status 13 (internal
 * error) with its what() text, or "unknown exception".
 *
 * Ownership: memory handed out by the library (the device array of
 * morvane_uvc_stereo_scan_devices, the text of
 * morvane_uvc_stereo_device_read_json) is released by the caller with
 * morvane_uvc_stereo_free. Error texts and backend names are owned by the
 * library and never freed by the caller. Contexts and device handles are
 * released with morvane_uvc_stereo_ctx_destroy and
 * morvane_uvc_stereo_close_device.
 *
 * Flash access: each call that reaches a camera's flash (open_device with
 * the flash capabilities, device_read_json, device_write_json, the firmware
 * read of device_open_imu) opens its own connection to that camera and
 * closes it before returning. This library's copy of the controller access
 * library is its own and not exported, so no connection of the
 * application's can be open in it; should one be (a program linking the
 * core with these functions), a call uses it only when it is to the camera
 * asked for and leaves it open, and otherwise fails with 3 "the access
 * library is open to camera VVVV:PPPP at BBB/DDD, not to the requested
 * camera VVVV:PPPP at BBB/DDD" without touching it (device_open_imu reports
 * its gate's 14 "IMU is not supported by this device" instead, as for any
 * flash it cannot reach).
 *
 * Threads: any thread may call any function. Calls on one device handle are
 * serialised by the handle; a context may be shared by several threads. A
 * handle or context must not be closed or destroyed while another thread still
 * uses it.
 */
#ifndef MORVANE_UVC_STEREO_H
#define MORVANE_UVC_STEREO_H

#include <stddef.h>
#include <stdint.h>

#if defined(MORVANE_UVC_STEREO_C_STATIC)
#define MORVANE_UVC_STEREO_C_API
#else
#define MORVANE_UVC_STEREO_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes (the returned int). 8 is never returned. */
enum morvane_uvc_stereo_status {
  MORVANE_UVC_STEREO_OK = 0,
  MORVANE_UVC_STEREO_INVALID_ARGUMENT = 1,
  MORVANE_UVC_STEREO_IO_ERROR = 2,
  MORVANE_UVC_STEREO_DEVICE_UNAVAILABLE = 3,
  MORVANE_UVC_STEREO_READ_FAILED = 4,
  MORVANE_UVC_STEREO_WRITE_FAILED = 5,
  MORVANE_UVC_STEREO_ERASE_FAILED = 6,
  MORVANE_UVC_STEREO_MAGIC_MISMATCH = 7,
  MORVANE_UVC_STEREO_INVALID_HEADER = 9,
  MORVANE_UVC_STEREO_INVALID_LENGTH = 10,
  MORVANE_UVC_STEREO_CRC_MISMATCH = 11,
  MORVANE_UVC_STEREO_INVALID_JSON = 12,
  MORVANE_UVC_STEREO_INTERNAL_ERROR = 13,
  MORVANE_UVC_STEREO_UNSUPPORTED = 14
};

/* Bits of morvane_uvc_stereo_open_device_options_t.required_capabilities. */
#define MORVANE_UVC_STEREO_CAPABILITY_FLASH 0x1u      /* probe the serial flash at open */
#define MORVANE_UVC_STEREO_CAPABILITY_IMU 0x2u        /* accepted; the IMU is checked when opened */
#define MORVANE_UVC_STEREO_CAPABILITY_FLASH_JSON 0x4u /* read and validate the stored JSON at open */

/* OpenCV capture-API identifiers used in morvane_uvc_stereo_opencv_index_t. */
#define MORVANE_UVC_STEREO_BACKEND_V4L2 200
#define MORVANE_UVC_STEREO_BACKEND_DSHOW 700
#define MORVANE_UVC_STEREO_BACKEND_MSMF 1400
#define MORVANE_UVC_STEREO_BACKEND_GSTREAMER 1800

/* Sizes of the text fields of morvane_uvc_stereo_device_info_t (including
 * the terminating NUL) and of its index array. */
#define MORVANE_UVC_STEREO_SHORT_TEXT_SIZE 256 /* serial, vendor, model */
#define MORVANE_UVC_STEREO_PATH_TEXT_SIZE 512  /* video_node, usb_path */
#define MORVANE_UVC_STEREO_MAX_OPENCV_INDICES 8

/* ---- Records. Plain structs, natural alignment, fields in this order. ---- */

/* Configuration of a context. Defaults from
 * morvane_uvc_stereo_ctx_config_init_default in brackets. */
typedef struct morvane_uvc_stereo_ctx_config {
  uint32_t flash_address;     /* [0x51000] flash address of the configuration blob */
  uint32_t sector_size;       /* [0x1000] */
  uint32_t magic;             /* [0x4D4F5256] */
  uint32_t max_total_length;  /* [0x10000] */
  uint16_t min_header_size;   /* [16] */
  uint16_t max_header_size;   /* [256] */
  int32_t verify_crc;         /* [1] any non-zero value is true */
  int32_t verify_after_write; /* [1] any non-zero value is true */
} morvane_uvc_stereo_ctx_config_t;

/* Capture index of a camera under one OpenCV backend. */
typedef struct morvane_uvc_stereo_opencv_index {
  int32_t backend; /* 200, 700, 1400 or 1800 */
  int32_t index;   /* capture index to pass to OpenCV with that backend */
} morvane_uvc_stereo_opencv_index_t;

/* One camera. Texts are NUL-terminated UTF-8, cut to their field size minus
 * one byte when the library fills them. */
typedef struct morvane_uvc_stereo_device_info {
  uint16_t vid;
  uint16_t pid;
  uint8_t bus_number;
  uint8_t device_address;
  char serial[MORVANE_UVC_STEREO_SHORT_TEXT_SIZE];
  char vendor[MORVANE_UVC_STEREO_SHORT_TEXT_SIZE];
  char model[MORVANE_UVC_STEREO_SHORT_TEXT_SIZE];
  char video_node[MORVANE_UVC_STEREO_PATH_TEXT_SIZE];
  char usb_path[MORVANE_UVC_STEREO_PATH_TEXT_SIZE];
  size_t opencv_index_count; /* valid entries in opencv_indices, at most 8 */
  morvane_uvc_stereo_opencv_index_t opencv_indices[MORVANE_UVC_STEREO_MAX_OPENCV_INDICES];
} morvane_uvc_stereo_device_info_t;

typedef struct morvane_uvc_stereo_open_device_options {
  uint32_t required_capabilities; /* MORVANE_UVC_STEREO_CAPABILITY_* bits; default 1 */
} morvane_uvc_stereo_open_device_options_t;

/* One raw IMU sample. */
typedef struct morvane_uvc_stereo_read_imu_result {
  uint64_t timestamp_ns;     /* host monotonic time of the sample */
  uint32_t sensor_timestamp; /* 20-bit device counter */
  int16_t temperature_raw;
  int16_t accel_raw[3]; /* x, y, z */
  int16_t gyro_raw[3];  /* x, y, z */
} morvane_uvc_stereo_read_imu_result_t;

/* Scale factors of morvane_uvc_stereo_convert_imu; defaults in brackets. */
typedef struct morvane_uvc_stereo_imu_conversion_options {
  double temperature_offset_c;  /* [25.0] */
  double temperature_lsb_per_c; /* [128.0] must not be zero */
  double accel_lsb_per_g;       /* [2048.0] zero yields zero acceleration */
  double gyro_lsb_per_dps;      /* [16.4] zero yields zero rates */
} morvane_uvc_stereo_imu_conversion_options_t;

/* One converted IMU sample. */
typedef struct morvane_uvc_stereo_imu_sample {
  uint64_t timestamp_ns;
  double temperature_c; /* degrees Celsius */
  double accel_g[3];    /* x, y, z in g */
  double gyro_dps[3];   /* x, y, z in degrees per second */
} morvane_uvc_stereo_imu_sample_t;

/* Opaque handles. */
typedef struct morvane_uvc_stereo_ctx morvane_uvc_stereo_ctx_t;
typedef struct morvane_uvc_stereo_device morvane_uvc_stereo_device_t;

/* ---- Errors and memory. ---- */

/* The calling thread's last error text: *out_message points to a
 * NUL-terminated text owned by the library, valid until the next call on this
 * thread that sets the text; *out_message_len is its length in bytes. Changes
 * no text on success.
 * Returns 0, or 1 "out_message/out_message_len is null" (which then becomes
 * the thread's text). */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_last_error_message(const char** out_message, size_t* out_message_len);

/* Releases memory handed out by this library. Null is ignored. */
MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_free(void* ptr);

/* ---- Context. ---- */

/* Fills the defaults. Does nothing for null. */
MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_ctx_config_init_default(morvane_uvc_stereo_ctx_config_t* config);

/* Creates a context from `config` (null: the defaults). On success
 * *out_handle owns the context until morvane_uvc_stereo_ctx_destroy.
 * Returns 0; 1 "out_handle is null"; 13 "out of memory", or 13 with an
 * exception text. *out_handle is null on every failure after the first check. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_ctx_create(const morvane_uvc_stereo_ctx_config_t* config,
                                                           morvane_uvc_stereo_ctx_t** out_handle);

/* Releases a context and its texts. Null is ignored. */
MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_ctx_destroy(morvane_uvc_stereo_ctx_t* handle);

/* Describes the first camera a scan finds. The outcome's text is stored both
 * as the thread's and as the context's text.
 * Returns 0; 1 "handle is null" (thread text only); 1 "out_device is null";
 * 2 "no devices found"; the scan's own failure (2 "/dev not found",
 * 2 "failed to iterate /dev"); 13 "opencv backend index map is too large";
 * 13 with an exception text. *out_device is zeroed after the checks. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_ctx_scan(morvane_uvc_stereo_ctx_t* handle,
                                                         morvane_uvc_stereo_device_info_t* out_device);

/* The context's last error text (with a null handle: the thread's), under the
 * context's lock. The pointer is owned by the context and valid until the next
 * call that sets that context's text, or its destruction. Changes no text on
 * success. Returns 0, or 1 "out_message/out_message_len is null" (thread text
 * only). */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_ctx_last_error_message(morvane_uvc_stereo_ctx_t* handle,
                                                                       const char** out_message,
                                                                       size_t* out_message_len);

/* ---- Devices. ---- */

/* Lists every supported camera. On success *out_devices is an array of
 * *out_count records that the caller frees with morvane_uvc_stereo_free.
 * Returns 0; 1 "out_devices/out_count is null"; 2 "no devices found"; the
 * scan's own failure; 13 "device list too large"; 13 "memory allocation
 * failed"; 13 "opencv backend index map is too large"; 13 with an exception
 * text. On every failure after the first check the outputs are null and 0. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_scan_devices(morvane_uvc_stereo_device_info_t** out_devices,
                                                             size_t* out_count);

/* Sets required_capabilities to 1 (flash). Does nothing for null. */
MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_open_device_options_init_default(
    morvane_uvc_stereo_open_device_options_t* options);

/* Opens the camera described by `device` (normally a scanned record; its
 * texts are read up to the first NUL, at most the field size). `options` null
 * means required_capabilities 1. On success *out_device owns the handle until
 * morvane_uvc_stereo_close_device.
 * Checks, in this order: 1 "out_device is null" (then *out_device is set to
 * null); 1 "device is null"; 1 "device vid/pid is invalid"; 1 "opencv backend
 * index count is too large"; for each index entry 1 "unsupported opencv
 * backend", 1 "opencv backend index is negative", 1 "duplicated opencv backend
 * entry". Then the open's own failures, for example 1 "open_device
 * required_capabilities contains unknown bits" or the flash layer's code and
 * text; 13 "out of memory"; 13 with an exception text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_open_device(const morvane_uvc_stereo_device_info_t* device,
                                                            const morvane_uvc_stereo_open_device_options_t* options,
                                                            morvane_uvc_stereo_device_t** out_device);

/* Closes the handle (and its IMU, if open) and frees it. Null is ignored.
 * Takes no lock: no other thread may be using the handle. */
MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_close_device(morvane_uvc_stereo_device_t* device);

/* Copies the opened camera's record into *out_device_info.
 * Returns 0; 1 "device is null"; 1 "out_device_info is null";
 * 13 "opencv backend index map is too large"; 13 with an exception text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_info(morvane_uvc_stereo_device_t* device,
                                                            morvane_uvc_stereo_device_info_t* out_device_info);

/* Reads the stored JSON document in compact form. On success *out_json_utf8
 * is a NUL-terminated buffer that the caller frees with
 * morvane_uvc_stereo_free, *out_json_utf8_len its length without the NUL and
 * *out_version the document version.
 * Returns 0; 1 "device is null"; 1 "out_version/out_json_utf8/out_json_utf8_len
 * is null"; the device's failures (for example 1 "IMU must be closed before
 * flash JSON access", flash and blob errors 3 to 12); 13 "memory allocation
 * failed"; 13 with an exception text. After the checks the outputs are 0,
 * null and 0 on every failure. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_read_json(morvane_uvc_stereo_device_t* device,
                                                                 uint16_t* out_version, char** out_json_utf8,
                                                                 size_t* out_json_utf8_len);

/* Validates, minifies and stores `json_utf8` (json_utf8_len bytes; 0 means
 * NUL-terminated). The text stays owned by the caller.
 * Returns 0; 1 "device is null"; 1 "json_utf8 is null"; 12 for invalid JSON;
 * the device's and flash layer's failures; 13 with an exception text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_write_json(morvane_uvc_stereo_device_t* device,
                                                                  const char* json_utf8, size_t json_utf8_len);

/* Opens the camera's IMU (a no-op when already open).
 * Returns 0; 1 "device is null"; 14 "IMU is not supported by this device";
 * the firmware read's and the video node's failures; 13 with an exception
 * text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_open_imu(morvane_uvc_stereo_device_t* device);

/* Reads one raw IMU sample into *out_result (zeroed after the checks).
 * Returns 0; 1 "device is null"; 1 "out_result is null"; 1 "IMU is not open";
 * the reader's failures; 13 with an exception text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_read_imu(morvane_uvc_stereo_device_t* device,
                                                                morvane_uvc_stereo_read_imu_result_t* out_result);

/* Closes the IMU (success also when it was not open).
 * Returns 0; 1 "device is null"; 13 with an exception text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_device_close_imu(morvane_uvc_stereo_device_t* device);

/* ---- IMU conversion. ---- */

/* Fills the default scale factors. Does nothing for null. */
MORVANE_UVC_STEREO_C_API void morvane_uvc_stereo_imu_conversion_options_init_default(
    morvane_uvc_stereo_imu_conversion_options_t* options);

/* Converts a raw sample (options null: the defaults) into *out_result
 * (zeroed after the checks). Returns 0; 1 "raw/out_result is null";
 * 1 "temperature_lsb_per_c must not be zero"; 13 with an exception text. */
MORVANE_UVC_STEREO_C_API int morvane_uvc_stereo_convert_imu(const morvane_uvc_stereo_read_imu_result_t* raw,
                                                            const morvane_uvc_stereo_imu_conversion_options_t* options,
                                                            morvane_uvc_stereo_imu_sample_t* out_result);

/* "CAP_V4L2" (200), "CAP_DSHOW" (700), "CAP_MSMF" (1400), "CAP_GSTREAMER"
 * (1800) or "CAP_UNKNOWN". Static text, never freed. Sets no error text. */
MORVANE_UVC_STEREO_C_API const char* morvane_uvc_stereo_opencv_backend_name(int backend);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MORVANE_UVC_STEREO_H */
