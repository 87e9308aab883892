// Minifying a realistic 60 KiB calibration document: ours against
// nlohmann-json parse + dump in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "morvane/uvc_stereo/flash.hpp"
#include "ratio_reporter.hpp"

namespace {

using nlohmann::ordered_json;

// Deterministic pseudo-measurements, so every run sees the same document.
double value_at(int i, double scale) { return scale * std::sin(0.37 * i + 0.11) + 0.001 * i; }

ordered_json matrix(int rows, int cols, int seed, double scale) {
  ordered_json m = ordered_json::array();
  for (int r = 0; r < rows; ++r) {
    ordered_json row = ordered_json::array();
    for (int c = 0; c < cols; ++c) row.push_back(value_at(seed + r * cols + c, scale));
    m.push_back(row);
  }
  return m;
}

ordered_json camera(const std::string& name, int seed, int width, int height) {
  ordered_json cam;
  cam["name"] = name;
  cam["resolution"] = {width, height};
  cam["intrinsics"] = {{"fx", 0.55 * width + value_at(seed, 2.0)},
                       {"fy", 0.55 * width + value_at(seed + 1, 2.0)},
                       {"cx", width / 2.0 + value_at(seed + 2, 3.0)},
                       {"cy", height / 2.0 + value_at(seed + 3, 3.0)},
                       {"skew", 0.0}};
  ordered_json coefficients = ordered_json::array();
  for (int k = 0; k < 8; ++k) coefficients.push_back(value_at(seed + 10 + k, 0.05));
  cam["distortion"] = {{"model", "rational_polynomial"}, {"coefficients", coefficients}};
  cam["rectification"] = matrix(3, 3, seed + 20, 1.0);
  cam["projection"] = matrix(3, 4, seed + 30, 500.0);
  cam["reprojection_error_px"] = std::fabs(value_at(seed + 40, 0.3));
  cam["notes"] = "calibrated at 25\u00b0C, board \"charuco 7x5\", path C:\\calib\\" + name;
  return cam;
}

ordered_json imu_sensor(int seed, double scale) {
  ordered_json s;
  s["bias"] = matrix(1, 3, seed, scale)[0];
  s["scale_misalignment"] = matrix(3, 3, seed + 3, 1.0);
  s["noise_density"] = std::fabs(value_at(seed + 12, 1e-3));
  s["random_walk"] = std::fabs(value_at(seed + 13, 1e-5));
  s["temperature_coefficients"] = matrix(1, 6, seed + 14, 1e-4)[0];
  return s;
}

// A pretty-printed document of about 60 KiB: device identity, one calibration
// per sensor mode (two cameras, stereo extrinsics, IMU calibration), and
// per-mode lookup tables.
std::string calibration_document() {
  ordered_json doc;
  doc["format"] = "morvane-stereo-calibration";
  doc["version"] = 3;
  doc["device"] = {{"serial", "MV-S2-000421"},
                   {"model", "Stereo UVC"},
                   {"firmware", "3.1.7"},
                   {"calibrated_utc", "2026-03-14T09:26:53Z"},
                   {"station", {{"id", 7}, {"operator", "line-2"}}}};
  ordered_json modes = ordered_json::array();
  const int sizes[][2] = {{640, 400}, {1280, 800}, {1280, 720}, {1920, 1080}, {2560, 1600}, {320, 200}};
  std::string text;
  for (int m = 0; text.size() < 60 * 1024; ++m) {
    const int w = sizes[m % 6][0];
    const int h = sizes[m % 6][1];
    ordered_json mode;
    mode["id"] = m;
    mode["fps"] = (m % 3 + 1) * 30;
    mode["cameras"] = {camera("left", 100 * m, w, h), camera("right", 100 * m + 50, w, h)};
    mode["extrinsics"] = {{"rotation", matrix(3, 3, 100 * m + 60, 1.0)},
                          {"translation_mm", {-60.02 + value_at(m, 0.1), value_at(m + 1, 0.2), value_at(m + 2, 0.2)}},
                          {"epipolar_error_px", std::fabs(value_at(m + 3, 0.2))}};
    mode["imu"] = {{"accelerometer", imu_sensor(100 * m + 70, 0.02)},
                   {"gyroscope", imu_sensor(100 * m + 90, 0.001)},
                   {"T_imu_left", matrix(4, 4, 100 * m + 95, 1.0)},
                   {"time_offset_s", value_at(m, 1e-3)},
                   {"enabled", m % 2 == 0},
                   {"comment", nullptr}};
    ordered_json table = ordered_json::array();
    for (int k = 0; k < 24; ++k) table.push_back(std::lround(value_at(m * 24 + k, 1000.0)));
    mode["depth_lut"] = table;
    modes.push_back(mode);
    doc["modes"] = modes;
    text = doc.dump(2);
  }
  return text;
}

const std::string& document() {
  static const std::string doc = calibration_document();
  return doc;
}

void BM_MinifyAndValidate(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    auto r = morvane::uvc_stereo::minify_and_validate_json(doc);
    if (!r.ok()) {
      state.SkipWithError(r.message.c_str());
      break;
    }
    benchmark::DoNotOptimize(r.value->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(doc.size()));
}
BENCHMARK(BM_MinifyAndValidate);

void BM_NlohmannParseDump(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    std::string compact = nlohmann::json::parse(doc).dump();
    benchmark::DoNotOptimize(compact.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(doc.size()));
}
BENCHMARK(BM_NlohmannParseDump);

}  // namespace

int main(int argc, char** argv) {
  const std::string& doc = document();
  const auto compact = morvane::uvc_stereo::minify_and_validate_json(doc);
  if (!compact.ok()) {
    std::fprintf(stderr, "generated document rejected: %s\n", compact.message.c_str());
    return 1;
  }
  std::printf("document: %zu bytes pretty-printed, %zu bytes compact\n", doc.size(), compact.value->size());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  morvane::uvc_stereo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio("BM_MinifyAndValidate", "BM_NlohmannParseDump");
  benchmark::Shutdown();
  return 0;
}
