/* Compile-time layout of the C records: offsets and sizes on a 64-bit
 * target (LP64, natural alignment). A field moved by accident breaks the
 * build of every file that includes this. */
#ifndef MORVANE_C_API_LAYOUT_CHECKS_H
#define MORVANE_C_API_LAYOUT_CHECKS_H

#include <stddef.h>

#include "morvane/uvc_stereo.h"

/* C99 has no _Static_assert: a negative array size fails instead. */
#define LAYOUT_CHECK(name, condition) typedef char layout_check_##name[(condition) ? 1 : -1]

LAYOUT_CHECK(size_t_is_64_bit, sizeof(size_t) == 8);

LAYOUT_CHECK(cfg_flash_address, offsetof(morvane_uvc_stereo_ctx_config_t, flash_address) == 0);
LAYOUT_CHECK(cfg_sector_size, offsetof(morvane_uvc_stereo_ctx_config_t, sector_size) == 4);
LAYOUT_CHECK(cfg_magic, offsetof(morvane_uvc_stereo_ctx_config_t, magic) == 8);
LAYOUT_CHECK(cfg_max_total_length, offsetof(morvane_uvc_stereo_ctx_config_t, max_total_length) == 12);
LAYOUT_CHECK(cfg_min_header_size, offsetof(morvane_uvc_stereo_ctx_config_t, min_header_size) == 16);
LAYOUT_CHECK(cfg_max_header_size, offsetof(morvane_uvc_stereo_ctx_config_t, max_header_size) == 18);
LAYOUT_CHECK(cfg_verify_crc, offsetof(morvane_uvc_stereo_ctx_config_t, verify_crc) == 20);
LAYOUT_CHECK(cfg_verify_after_write, offsetof(morvane_uvc_stereo_ctx_config_t, verify_after_write) == 24);
LAYOUT_CHECK(cfg_size, sizeof(morvane_uvc_stereo_ctx_config_t) == 28);

LAYOUT_CHECK(idx_backend, offsetof(morvane_uvc_stereo_opencv_index_t, backend) == 0);
LAYOUT_CHECK(idx_index, offsetof(morvane_uvc_stereo_opencv_index_t, index) == 4);
LAYOUT_CHECK(idx_size, sizeof(morvane_uvc_stereo_opencv_index_t) == 8);

LAYOUT_CHECK(info_vid, offsetof(morvane_uvc_stereo_device_info_t, vid) == 0);
LAYOUT_CHECK(info_pid, offsetof(morvane_uvc_stereo_device_info_t, pid) == 2);
LAYOUT_CHECK(info_bus_number, offsetof(morvane_uvc_stereo_device_info_t, bus_number) == 4);
LAYOUT_CHECK(info_device_address, offsetof(morvane_uvc_stereo_device_info_t, device_address) == 5);
LAYOUT_CHECK(info_serial, offsetof(morvane_uvc_stereo_device_info_t, serial) == 6);
LAYOUT_CHECK(info_vendor, offsetof(morvane_uvc_stereo_device_info_t, vendor) == 262);
LAYOUT_CHECK(info_model, offsetof(morvane_uvc_stereo_device_info_t, model) == 518);
LAYOUT_CHECK(info_video_node, offsetof(morvane_uvc_stereo_device_info_t, video_node) == 774);
LAYOUT_CHECK(info_usb_path, offsetof(morvane_uvc_stereo_device_info_t, usb_path) == 1286);
LAYOUT_CHECK(info_opencv_index_count, offsetof(morvane_uvc_stereo_device_info_t, opencv_index_count) == 1800);
LAYOUT_CHECK(info_opencv_indices, offsetof(morvane_uvc_stereo_device_info_t, opencv_indices) == 1808);
LAYOUT_CHECK(info_size, sizeof(morvane_uvc_stereo_device_info_t) == 1872);
LAYOUT_CHECK(info_serial_size, sizeof(((morvane_uvc_stereo_device_info_t*)0)->serial) == 256);
LAYOUT_CHECK(info_vendor_size, sizeof(((morvane_uvc_stereo_device_info_t*)0)->vendor) == 256);
LAYOUT_CHECK(info_model_size, sizeof(((morvane_uvc_stereo_device_info_t*)0)->model) == 256);
LAYOUT_CHECK(info_video_node_size, sizeof(((morvane_uvc_stereo_device_info_t*)0)->video_node) == 512);
LAYOUT_CHECK(info_usb_path_size, sizeof(((morvane_uvc_stereo_device_info_t*)0)->usb_path) == 512);

LAYOUT_CHECK(opts_required_capabilities,
             offsetof(morvane_uvc_stereo_open_device_options_t, required_capabilities) == 0);
LAYOUT_CHECK(opts_size, sizeof(morvane_uvc_stereo_open_device_options_t) == 4);

LAYOUT_CHECK(raw_timestamp_ns, offsetof(morvane_uvc_stereo_read_imu_result_t, timestamp_ns) == 0);
LAYOUT_CHECK(raw_sensor_timestamp, offsetof(morvane_uvc_stereo_read_imu_result_t, sensor_timestamp) == 8);
LAYOUT_CHECK(raw_temperature_raw, offsetof(morvane_uvc_stereo_read_imu_result_t, temperature_raw) == 12);
LAYOUT_CHECK(raw_accel_raw, offsetof(morvane_uvc_stereo_read_imu_result_t, accel_raw) == 14);
LAYOUT_CHECK(raw_gyro_raw, offsetof(morvane_uvc_stereo_read_imu_result_t, gyro_raw) == 20);
LAYOUT_CHECK(raw_size, sizeof(morvane_uvc_stereo_read_imu_result_t) == 32);

LAYOUT_CHECK(conv_temperature_offset_c,
             offsetof(morvane_uvc_stereo_imu_conversion_options_t, temperature_offset_c) == 0);
LAYOUT_CHECK(conv_temperature_lsb_per_c,
             offsetof(morvane_uvc_stereo_imu_conversion_options_t, temperature_lsb_per_c) == 8);
LAYOUT_CHECK(conv_accel_lsb_per_g, offsetof(morvane_uvc_stereo_imu_conversion_options_t, accel_lsb_per_g) == 16);
LAYOUT_CHECK(conv_gyro_lsb_per_dps, offsetof(morvane_uvc_stereo_imu_conversion_options_t, gyro_lsb_per_dps) == 24);
LAYOUT_CHECK(conv_size, sizeof(morvane_uvc_stereo_imu_conversion_options_t) == 32);

LAYOUT_CHECK(sample_timestamp_ns, offsetof(morvane_uvc_stereo_imu_sample_t, timestamp_ns) == 0);
LAYOUT_CHECK(sample_temperature_c, offsetof(morvane_uvc_stereo_imu_sample_t, temperature_c) == 8);
LAYOUT_CHECK(sample_accel_g, offsetof(morvane_uvc_stereo_imu_sample_t, accel_g) == 16);
LAYOUT_CHECK(sample_gyro_dps, offsetof(morvane_uvc_stereo_imu_sample_t, gyro_dps) == 40);
LAYOUT_CHECK(sample_size, sizeof(morvane_uvc_stereo_imu_sample_t) == 64);

#endif
