// Opens the first supported camera with the C++ library and streams its IMU,
// printing converted samples.
//
//   stream_imu [COUNT]
#include <cstdio>
#include <cstdlib>
#include <morvane/uvc_stereo.hpp>

int main(int argc, char** argv) {
  namespace us = morvane::uvc_stereo;
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20;

  auto devices = us::scan_devices();
  if (!devices.ok()) {
    std::fprintf(stderr, "scan failed: %s\n", devices.message.c_str());
    return 1;
  }
  if (devices->empty()) {
    std::fprintf(stderr, "no supported camera attached\n");
    return 1;
  }
  us::OpenDeviceOptions options;
  options.required_capabilities = us::DeviceCapability::imu;
  auto device = us::open_device(devices->front(), options);
  if (!device.ok()) {
    std::fprintf(stderr, "open failed: %s\n", device.message.c_str());
    return 1;
  }
  if (auto opened = device->open_imu(); !opened.ok()) {
    std::fprintf(stderr, "IMU unavailable: %s\n", opened.message.c_str());
    return 1;
  }
  const us::ImuConversionOptions scale;
  for (long i = 0; i < count; ++i) {
    auto raw = device->read_imu();
    if (!raw.ok()) {
      std::fprintf(stderr, "read failed: %s\n", raw.message.c_str());
      return 1;
    }
    auto sample = us::convert_imu(*raw, scale);
    if (!sample.ok()) return 1;
    std::printf("%llu ns  %.2f C  accel [%.4f %.4f %.4f] g  gyro [%.3f %.3f %.3f] dps\n",
                static_cast<unsigned long long>(sample->timestamp_ns), sample->temperature_c, sample->accel_g[0],
                sample->accel_g[1], sample->accel_g[2], sample->gyro_dps[0], sample->gyro_dps[1], sample->gyro_dps[2]);
  }
  device->close_imu();
  return 0;
}
