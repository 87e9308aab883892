#include "dataset_yaml.hpp"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace morvane::tool {

namespace {

using nlohmann::json;

constexpr const char* kLayout = "morvane-stereo-calibration";
constexpr const char* kEyeName[2] = {"left", "right"};

// rows x cols numbers at `value`, row-major into `out`.
bool read_matrix(const json& value, std::size_t rows, std::size_t cols, std::vector<double>& out) {
  if (!value.is_array() || value.size() != rows) return false;
  out.clear();
  for (const json& row : value) {
    if (!row.is_array() || row.size() != cols) return false;
    for (const json& v : row) {
      if (!v.is_number() || !std::isfinite(v.get<double>())) return false;
      out.push_back(v.get<double>());
    }
  }
  return true;
}

bool read_vector(const json& value, std::size_t min, std::size_t max, std::vector<double>& out) {
  if (!value.is_array() || value.size() < min || value.size() > max) return false;
  out.clear();
  for (const json& v : value) {
    if (!v.is_number() || !std::isfinite(v.get<double>())) return false;
    out.push_back(v.get<double>());
  }
  return true;
}

const json* member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

// A rotation whose rows are orthonormal to 1e-3 (stored to a few digits).
bool is_rotation(const Transform& t) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      double dot = 0;
      for (int k = 0; k < 3; ++k) dot += t[i * 4 + k] * t[j * 4 + k];
      if (std::fabs(dot - (i == j ? 1.0 : 0.0)) > 1e-3) return false;
    }
  }
  return t[12] == 0 && t[13] == 0 && t[14] == 0 && t[15] == 1;
}

std::string number(double v, int digits = 9) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*g", digits, v);
  return text;
}

std::string list(const std::vector<double>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + number(values[i]);
  return out + "]";
}

std::string transform_yaml(const Transform& t) {
  std::string out = "T_BS:\n  cols: 4\n  rows: 4\n  data: [";
  for (int i = 0; i < 16; ++i) {
    out += number(t[i]);
    if (i == 15) break;
    out += i % 4 == 3 ? ",\n         " : ", ";
  }
  return out + "]\n";
}

void extrinsics(const json& document, DatasetCalibration& c) {
  std::vector<double> imu_to_left, rotation, translation;
  const json* imu = member(document, "imu");
  if (imu == nullptr || !member(*imu, "imu_to_left_camera") ||
      !read_matrix(*member(*imu, "imu_to_left_camera"), 4, 4, imu_to_left)) {
    c.extrinsics_reason = "the document has no imu.imu_to_left_camera (4x4)";
    return;
  }
  const json* stereo = member(document, "extrinsics");
  if (stereo == nullptr || !member(*stereo, "rotation") || !member(*stereo, "translation_m") ||
      !read_matrix(*member(*stereo, "rotation"), 3, 3, rotation) ||
      !read_vector(*member(*stereo, "translation_m"), 3, 3, translation)) {
    c.extrinsics_reason = "the document has no extrinsics.rotation (3x3) and translation_m (3)";
    return;
  }
  Transform left_from_imu{}, right_from_left{};
  for (int i = 0; i < 16; ++i) left_from_imu[i] = imu_to_left[i];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) right_from_left[i * 4 + j] = rotation[i * 3 + j];
    right_from_left[i * 4 + 3] = translation[i];
  }
  right_from_left[15] = 1;
  if (!is_rotation(left_from_imu) || !is_rotation(right_from_left)) {
    c.extrinsics_reason = "the document's transforms are not rigid (rotation and translation)";
    return;
  }
  c.body_from_camera[0] = rigid_inverse(left_from_imu);
  c.body_from_camera[1] = compose(c.body_from_camera[0], rigid_inverse(right_from_left));
  c.has_extrinsics = true;
}

}  // namespace

Transform rigid_inverse(const Transform& t) {
  Transform out{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i * 4 + j] = t[j * 4 + i];
  }
  for (int i = 0; i < 3; ++i) {
    out[i * 4 + 3] = -(out[i * 4 + 0] * t[3] + out[i * 4 + 1] * t[7] + out[i * 4 + 2] * t[11]);
  }
  out[15] = 1;
  return out;
}

Transform compose(const Transform& a, const Transform& b) {
  Transform out{};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[i * 4 + k] * b[k * 4 + j];
      out[i * 4 + j] = sum;
    }
  }
  return out;
}

DatasetCalibration dataset_calibration(const std::string& document) {
  DatasetCalibration c;
  const json parsed = json::parse(document, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    c.reason = "the stored document is not a JSON object";
    return c;
  }
  const json* format = member(parsed, "format");
  if (format == nullptr || !format->is_string() || format->get<std::string>() != kLayout) {
    c.reason = std::string("the stored document's format is not \"") + kLayout + "\"";
    return c;
  }
  std::vector<double> size;
  if (!member(parsed, "image_size") || !read_vector(*member(parsed, "image_size"), 2, 2, size) || size[0] < 1 ||
      size[1] < 1 || size[0] > 65535 || size[1] > 65535) {
    c.reason = "the stored document has no image_size [width, height]";
    return c;
  }
  c.image_width = static_cast<std::uint32_t>(size[0]);
  c.image_height = static_cast<std::uint32_t>(size[1]);
  for (int e = 0; e < 2; ++e) {
    const json* eye = member(parsed, kEyeName[e]);
    std::vector<double> k;
    if (eye == nullptr || !member(*eye, "camera_matrix") || !read_matrix(*member(*eye, "camera_matrix"), 3, 3, k) ||
        !member(*eye, "distortion") || !read_vector(*member(*eye, "distortion"), 4, 5, c.eye[e].distortion)) {
      c.reason = std::string("the stored document has no ") + kEyeName[e] +
                 ".camera_matrix (3x3) and distortion (4 or 5 coefficients)";
      return c;
    }
    c.eye[e].fu = k[0];
    c.eye[e].fv = k[4];
    c.eye[e].cu = k[2];
    c.eye[e].cv = k[5];
  }
  c.found = true;
  extrinsics(parsed, c);
  return c;
}

std::string camera_sensor_yaml(int eye, const DatasetCalibration& c, double rate_hz, std::uint32_t width,
                               std::uint32_t height) {
  std::string out = "# General sensor definitions.\nsensor_type: camera\ncomment: morvane-uvc-stereo cam" +
                    std::to_string(eye) + " (" + kEyeName[eye] + " eye)\n";
  if (!c.found) {
    out += "# No calibration found in the camera (" + c.reason + "): no intrinsics or extrinsics.\n";
  } else if (!c.has_extrinsics) {
    out += "# No extrinsics found in the camera's calibration (" + c.extrinsics_reason + "): no T_BS.\n";
  } else {
    out += "\n# Sensor extrinsics wrt. the body-frame (the IMU), from the camera's calibration.\n" +
           transform_yaml(c.body_from_camera[eye]);
  }
  out += "\n# Camera specific definitions.\nrate_hz: " + number(rate_hz, 6) + "\nresolution: [" +
         std::to_string(width) + ", " + std::to_string(height) + "]\n";
  if (!c.found) return out;
  const EyeCalibration& e = c.eye[eye];
  if (c.image_width != width || c.image_height != height) {
    out += "# The calibration is for " + std::to_string(c.image_width) + "x" + std::to_string(c.image_height) +
           " pictures, not the recorded " + std::to_string(width) + "x" + std::to_string(height) +
           ": the intrinsics below are as stored and do not apply to these pictures unscaled.\n";
  }
  out += "calibration_resolution: [" + std::to_string(c.image_width) + ", " + std::to_string(c.image_height) + "]\n";
  out += "camera_model: pinhole\nintrinsics: " + list({e.fu, e.fv, e.cu, e.cv}) + " # fu, fv, cu, cv\n";
  out += "distortion_model: radial-tangential\ndistortion_coefficients: " +
         list({e.distortion[0], e.distortion[1], e.distortion[2], e.distortion[3]}) + " # k1, k2, p1, p2\n";
  if (e.distortion.size() > 4)
    out += "# The calibration's fifth coefficient (k3 = " + number(e.distortion[4]) +
           ") has no place in the radial-tangential model and is left out.\n";
  return out;
}

std::string imu_sensor_yaml(double rate_hz) {
  std::string out =
      "# General sensor definitions.\nsensor_type: imu\ncomment: morvane-uvc-stereo IMU\n\n"
      "# Sensor extrinsics wrt. the body-frame: the IMU is the body frame.\n";
  Transform identity{};
  for (int i = 0; i < 4; ++i) identity[i * 5] = 1;
  out += transform_yaml(identity);
  out += "rate_hz: " + number(rate_hz, 6) + "\n";
  out += "# The IMU's noise densities and random walks are not known to the camera: none are given.\n";
  return out;
}

}  // namespace morvane::tool
