#include "emulator/simulated_camera.hpp"

namespace morvane::emulator {

ImuConfig realistic_imu_config() {
  ImuConfig imu;
  imu.timing = ImuTiming::clocked;
  imu.rate_hz = 200.0;
  imu.tick_rate_hz = 1e6;
  imu.drift_ppm = 80.0;
  imu.read_mode = ImuReadMode::latest;
  imu.read_latency.min_ns = 100'000;
  imu.read_latency.max_ns = 2'000'000;
  imu.read_latency.tail_exponent = 4.0;
  return imu;
}

CameraConfig simulated_camera_config() {
  CameraConfig config;
  config.serial = "SIM0001";
  config.model = "Stereo Camera (simulated)";
  config.imu = realistic_imu_config();
  config.imu.motion = ImuMotion::rotating;
  config.imu.noise_amplitude = 12;
  config.imu.gravity_raw = 2048;       // +-16 g range: 2048 counts per g
  config.imu.rotation_rate_raw = 410;  // 25 degrees per second at 16.4 counts per dps
  return config;
}

}  // namespace morvane::emulator
