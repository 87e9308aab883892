// The sensor.yaml files of a EuRoC-style dataset, with the intrinsics and
// extrinsics taken from the camera's stored calibration document when it has
// the layout the cameras ship (format "morvane-stereo-calibration").
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace morvane::tool {

using Transform = std::array<double, 16>;  // 4x4, row-major

struct EyeCalibration {
  double fu = 0, fv = 0, cu = 0, cv = 0;
  std::vector<double> distortion;  // k1, k2, p1, p2[, k3] as stored
};

struct DatasetCalibration {
  bool found = false;                               // the document has the layout; the eyes' intrinsics are known
  std::string reason;                               // why not, when not found
  std::uint32_t image_width = 0, image_height = 0;  // the size the eyes were calibrated at
  EyeCalibration eye[2];
  // The cameras' poses in the body (IMU) frame, when the document gives the
  // transforms that lead there; otherwise why not.
  bool has_extrinsics = false;
  std::string extrinsics_reason;
  Transform body_from_camera[2] = {};
};

// Reads the stored document's text (`document`, JSON). A document that does
// not parse or lacks a field of the layout gives found = false and the
// reason. The document's imu.imu_to_left_camera is taken to map IMU
// coordinates to the left camera's, and extrinsics rotation and
// translation_m to map the left camera's coordinates to the right's (as a
// stereo calibration gives them): a camera's pose in the IMU frame is then
// the inverse.
DatasetCalibration dataset_calibration(const std::string& document);

// cam<eye>/sensor.yaml for eyes of width x height at rate_hz.
std::string camera_sensor_yaml(int eye, const DatasetCalibration& calibration, double rate_hz, std::uint32_t width,
                               std::uint32_t height);
// imu0/sensor.yaml: the IMU is the body frame.
std::string imu_sensor_yaml(double rate_hz);

// Inverse of a rigid transform (rotation and translation).
Transform rigid_inverse(const Transform& t);
Transform compose(const Transform& a, const Transform& b);  // a * b

}  // namespace morvane::tool
