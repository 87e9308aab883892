// Opens the first supported camera with the C++ library and streams its IMU:
// every sample once, stamped on the host's monotonic clock, with the samples
// the camera lost counted.
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
  auto stream = us::open_imu_stream(*device);  // opens the IMU (firmware check, video node)
  if (!stream.ok()) {
    std::fprintf(stderr, "IMU unavailable: %s\n", stream.message.c_str());
    return 1;
  }
  for (long i = 0; i < count; ++i) {
    auto sample = stream->next();  // sleeps until the next sample is due
    if (!sample.ok()) {
      std::fprintf(stderr, "read failed: %s\n", sample.message.c_str());
      return 1;
    }
    const us::ImuSample& v = sample->value;
    std::printf("%llu ns  %.2f C  accel [%.4f %.4f %.4f] g  gyro [%.3f %.3f %.3f] dps%s\n",
                static_cast<unsigned long long>(sample->time_ns), v.temperature_c, v.accel_g[0], v.accel_g[1],
                v.accel_g[2], v.gyro_dps[0], v.gyro_dps[1], v.gyro_dps[2],
                sample->missed_before > 0 ? "  (after missed samples)" : "");
  }
  const us::ImuClockEstimate clock = stream->clock_estimate();
  std::fprintf(stderr, "device clock %.1f Hz (%+.1f ppm), %.1f samples/s\n", clock.tick_rate_hz, clock.drift_ppm,
               clock.sample_rate_hz);
  device->close_imu();
  return 0;
}
