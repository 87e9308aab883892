// The capture and record commands against the tool's simulated camera: the
// pictures decode to the stereo test pattern, and a recorded dataset reads
// back whole in the layout visual-inertial odometry programs expect.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// What the simulated camera's picture encodes (its test pattern): rows 0 to
// 11 hold three bands of 32 bit cells (eye width / 40 pixels wide, 4 rows
// high), the frame number, the PTS and the frame number's complement; the
// right eye shows the left eye's picture 16 pixels further left.
constexpr int kDisparity = 16;
constexpr int kCellRows = 4;
constexpr int kCellsPerRow = 40;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

struct Picture {
  std::uint32_t width = 0, height = 0;
  bool color = false;
  std::vector<std::uint8_t> pixels;  // gray, or RGB
  int channels() const { return color ? 3 : 1; }
  std::uint8_t at(int x, int y, int channel = 0) const {
    return pixels[(static_cast<std::size_t>(y) * width + x) * channels() + channel];
  }
};

// Decodes a PNG with libpng, in the format it was stored in.
bool decode_png(const std::string& file, Picture& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, file.c_str())) return false;
  picture.color = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
  image.format = picture.color ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  picture.width = image.width;
  picture.height = image.height;
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  const bool ok = png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// The 32-bit value of a band, read at each cell's centre.
std::uint32_t read_band(const Picture& picture, int band, int channel) {
  const int cell = static_cast<int>(picture.width) / kCellsPerRow;
  std::uint32_t value = 0;
  for (int bit = 0; bit < 32; ++bit) {
    const bool one = picture.at(bit * cell + cell / 2, band * kCellRows + kCellRows / 2, channel) > 128;
    value = value << 1 | (one ? 1u : 0u);
  }
  return value;
}

std::string slurp(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> split(const std::string& line, char by) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, by);) fields.push_back(field);
  return fields;
}

std::vector<double> numbers_in(const std::string& list) {
  std::vector<double> values;
  const std::regex number(R"([-+]?[0-9.]+(e[-+]?[0-9]+)?)");
  for (std::sregex_iterator it(list.begin(), list.end(), number), end; it != end; ++it)
    values.push_back(std::stod(it->str()));
  return values;
}

// A sensor.yaml as key: value pairs: comments dropped, indented keys as
// "parent.key", a [ list ] continued over lines joined. Fails the test on a
// line that is none of these.
std::map<std::string, std::string> parse_yaml(const std::string& file) {
  std::map<std::string, std::string> keys;
  std::string parent, open_key;
  for (std::string line : lines_of(slurp(file))) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    if (!open_key.empty()) {  // inside a list spread over lines
      keys[open_key] += " " + line.substr(line.find_first_not_of(' '));
      if (line.find(']') != std::string::npos) open_key.clear();
      continue;
    }
    const bool nested = line[0] == ' ';
    const std::size_t colon = line.find(':');
    EXPECT_NE(colon, std::string::npos) << file << ": " << line;
    if (colon == std::string::npos) continue;
    std::string key = line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' '));
    std::string value = colon + 1 < line.size() ? line.substr(line.find_first_not_of(' ', colon + 1)) : "";
    while (!value.empty() && value.back() == ' ') value.pop_back();
    if (!nested) parent = key;
    const std::string name = nested ? parent + "." + key : key;
    EXPECT_EQ(keys.count(name), 0u) << file << ": " << name << " twice";
    keys[name] = value;
    if (value.find('[') != std::string::npos && value.find(']') == std::string::npos) open_key = name;
  }
  EXPECT_TRUE(open_key.empty()) << file << ": unterminated list";
  return keys;
}

class CaptureRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-capture-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // The tool's blob cache and kept copies live in the test's directory.
  std::string environment() const { return "XDG_CACHE_HOME='" + dir_ + "/cache' XDG_STATE_HOME='" + dir_ + "/state' "; }
  std::string tool() const { return std::string(MORVANE_TOOL_PATH) + " --simulate='" + dir_ + "/camera.flash' "; }
  ToolRun run(const std::string& args) {
    const std::string out = path("stdout"), err = path("stderr");
    const std::string command =
        environment() + "timeout 300 " + tool() + args + " </dev/null >'" + out + "' 2>'" + err + "'";
    ToolRun r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Reads a recorded dataset back and checks it whole; returns the frames'
  // stamps.
  std::vector<std::uint64_t> check_dataset(const std::string& root, const std::string& err);

  std::string dir_;
};

TEST_F(CaptureRecordTest, CapturedPicturesCarryTheFrameNumberAndTheStereoDisparity) {
  // Gray and colour from YUYV, and gray decoded from the camera's
  // Motion-JPEG (its pixels only near the YUYV ones).
  for (const auto& [color, mjpeg] : {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
    const std::string name = std::string(color ? "color" : "gray") + (mjpeg ? "-mjpeg" : "");
    SCOPED_TRACE(name);
    const std::string out = path(name);
    ToolRun r = run("capture -n 3 -o '" + out + "'" + (color ? " --color" : "") + (mjpeg ? " --mjpeg" : ""));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    const std::regex line_form(
        R"(sequence=(\d+) time_ns=(\d+) time_source=(kernel_stamp|device_clock) uncertainty_ns=\d+ )"
        R"(missed_before=0 host_ns=(\d+) pts=(\d+) left=(\S+) right=(\S+))");
    std::uint64_t previous_time = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[i], m, line_form)) << lines[i];
      const std::uint64_t sequence = std::stoull(m[1]), time_ns = std::stoull(m[2]);
      const std::uint64_t host_ns = std::stoull(m[4]), pts = std::stoull(m[5]);
      EXPECT_EQ(sequence, i);  // from the stream's start, none lost
      // The camera's clock places the frame before the kernel saw it.
      if (m[3] == "device_clock") {
        EXPECT_LT(time_ns, host_ns);
      }
      EXPECT_GT(time_ns, previous_time);
      previous_time = time_ns;
      // The names carry the sequence and the instant.
      EXPECT_EQ(fs::path(m[6].str()).filename().string(),
                "frame-00000" + std::to_string(i) + "-" + m[2].str() + "-left.png");
      Picture left, right;
      ASSERT_TRUE(decode_png(m[6], left)) << m[6];
      ASSERT_TRUE(decode_png(m[7], right)) << m[7];
      for (const Picture* eye : {&left, &right}) {
        EXPECT_EQ(eye->width, 320u);  // the node's 640x240, halved
        EXPECT_EQ(eye->height, 240u);
        EXPECT_EQ(eye->color, color);
      }
      // The pattern's frame number is the driver's sequence; its complement
      // tells a decode that happened to match from one that reads the bits.
      const std::uint32_t frame_number = read_band(left, 0, 0);
      EXPECT_EQ(frame_number, sequence);
      EXPECT_EQ(read_band(left, 2, 0), ~frame_number);
      EXPECT_EQ(read_band(left, 1, 0), pts);  // the PTS band: the stamp printed is the one the camera sent
      if (mjpeg) continue;                    // the pixel checks below are exact
      // Below the bands: right(x) == left(x + disparity) and the eyes differ
      // where they are compared unshifted.
      std::size_t shifted_mismatch = 0, unshifted_equal = 0, compared = 0;
      for (std::uint32_t y = 3 * kCellRows; y < left.height; ++y) {
        for (std::uint32_t x = 0; x + kDisparity < left.width; ++x) {
          for (int c = 0; c < left.channels(); ++c) {
            shifted_mismatch += std::abs(right.at(x, y, c) - left.at(x + kDisparity, y, c)) > 1 ? 1 : 0;
            unshifted_equal += right.at(x, y, c) == left.at(x, y, c) ? 1 : 0;
            ++compared;
          }
        }
      }
      EXPECT_EQ(shifted_mismatch, 0u);
      EXPECT_LT(unshifted_equal, compared / 20);
      if (color) {  // the camera's grey picture stays grey
        for (std::uint32_t x = 0; x < left.width; x += 7) {
          EXPECT_NEAR(left.at(x, 100, 0), left.at(x, 100, 1), 2);
          EXPECT_NEAR(left.at(x, 100, 2), left.at(x, 100, 1), 2);
        }
      }
    }
  }
  ToolRun bad = run("capture --size 640by240");
  EXPECT_EQ(bad.status, 2);
  EXPECT_THAT(bad.err, HasSubstr("--size must be WIDTHxHEIGHT"));
}

std::vector<std::uint64_t> CaptureRecordTest::check_dataset(const std::string& root, const std::string& err) {
  const std::string mav = root + "/mav0";
  // The frames: the same rows for both eyes, each naming a whole picture.
  const std::string cam0_csv = slurp(mav + "/cam0/data.csv");
  EXPECT_EQ(slurp(mav + "/cam1/data.csv"), cam0_csv);
  std::vector<std::string> rows = lines_of(cam0_csv);
  EXPECT_FALSE(rows.empty());
  if (rows.empty()) return {};
  EXPECT_EQ(rows[0], "#timestamp [ns],filename");
  rows.erase(rows.begin());
  std::vector<std::uint64_t> frames;
  for (const std::string& row : rows) {
    const std::vector<std::string> fields = split(row, ',');
    EXPECT_EQ(fields.size(), 2u) << row;
    if (fields.size() != 2) continue;
    EXPECT_EQ(fields[1], fields[0] + ".png");
    frames.push_back(std::stoull(fields[0]));
    if (frames.size() > 1) {
      EXPECT_GT(frames.back(), frames[frames.size() - 2]) << row;
    }
  }
  for (const char* cam : {"cam0", "cam1"}) {
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(mav + "/" + cam + "/data")) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, frames.size()) << cam;
  }
  // Every picture decodes; a sample of them checked fully.
  for (std::size_t i = 0; i < frames.size(); i += std::max<std::size_t>(1, frames.size() / 5)) {
    for (const char* cam : {"cam0", "cam1"}) {
      Picture picture;
      EXPECT_TRUE(decode_png(mav + "/" + cam + "/data/" + std::to_string(frames[i]) + ".png", picture));
      EXPECT_EQ(picture.width, 320u);
      EXPECT_EQ(picture.height, 240u);
      EXPECT_FALSE(picture.color);
    }
  }
  // No frame lost: the sequence numbers cover the rows exactly, and no
  // interval is far from the others.
  std::smatch m;
  EXPECT_TRUE(std::regex_search(
      err, m,
      std::regex(R"(recorded (\d+) frames \(sequence (\d+) to (\d+), 0 missed, \d+ left out for a stamp )"
                 R"(not after the previous, (\d+) stamped on the IMU's clock\))")))
      << err;
  if (!m.empty()) {
    EXPECT_EQ(std::stoull(m[1]), frames.size());
    EXPECT_EQ(std::stoull(m[3]) - std::stoull(m[2]) + 1, frames.size());
    EXPECT_EQ(std::stoull(m[4]), frames.size());  // every frame on the IMU's clock
  }
  if (frames.size() < 3) {
    ADD_FAILURE() << "only " << frames.size() << " frames";
    return frames;
  }
  std::vector<double> intervals;
  for (std::size_t i = 1; i < frames.size(); ++i) intervals.push_back(static_cast<double>(frames[i] - frames[i - 1]));
  std::vector<double> sorted = intervals;
  std::sort(sorted.begin(), sorted.end());
  const double period = sorted[sorted.size() / 2];
  EXPECT_NEAR(period, 1e8, 2e6);  // the simulated node's 10 frames per second
  for (double interval : intervals) EXPECT_NEAR(interval, period, period / 2);

  // The IMU: each sample once, in order, the rows between the frames.
  std::vector<std::string> imu_rows = lines_of(slurp(mav + "/imu0/data.csv"));
  EXPECT_FALSE(imu_rows.empty());
  if (imu_rows.empty()) return frames;
  EXPECT_EQ(imu_rows[0],
            "#timestamp [ns],w_RS_S_x [rad s^-1],w_RS_S_y [rad s^-1],w_RS_S_z [rad s^-1],"
            "a_RS_S_x [m s^-2],a_RS_S_y [m s^-2],a_RS_S_z [m s^-2]");
  imu_rows.erase(imu_rows.begin());
  std::vector<std::uint64_t> imu;
  double gyro_sum = 0;
  for (const std::string& row : imu_rows) {
    const std::vector<std::string> fields = split(row, ',');
    EXPECT_EQ(fields.size(), 7u) << row;
    if (fields.size() != 7) continue;
    imu.push_back(std::stoull(fields[0]));
    if (imu.size() > 1) {
      EXPECT_GT(imu.back(), imu[imu.size() - 2]) << row;
    }
    const double w = std::hypot(std::stod(fields[1]), std::stod(fields[2]), std::stod(fields[3]));
    const double a = std::hypot(std::stod(fields[4]), std::stod(fields[5]), std::stod(fields[6]));
    EXPECT_NEAR(a, 9.80665, 0.6) << row;  // gravity in m/s^2, not in g
    EXPECT_LT(w, 1.0) << row;             // rad/s: the camera turns at 25 deg/s
    gyro_sum += w;
  }
  if (imu.empty()) return frames;
  EXPECT_NEAR(gyro_sum / static_cast<double>(imu.size()), 25.0 * M_PI / 180.0, 0.08);
  // The first frameset holds the samples since the stream opened, the last
  // ends at its frame: the IMU spans the recording and nothing beyond it.
  EXPECT_LE(imu.back(), frames.back());
  EXPECT_LT(imu.front(), frames.front() + 10'000'000);
  EXPECT_GT(imu.front() + 500'000'000, frames.front());
  for (std::size_t i = 1; i < imu.size(); ++i) EXPECT_LT(imu[i] - imu[i - 1], 15'000'000u) << "IMU gap at " << i;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const auto between =
        std::count_if(imu.begin(), imu.end(), [&](std::uint64_t t) { return t > frames[i - 1] && t <= frames[i]; });
    EXPECT_NEAR(static_cast<double>(between), 20.0, 2.0) << "frame " << i;  // 200 Hz at 10 frames per second
  }

  // The sensor files: key: value, the rates and sizes recorded, the
  // calibration's intrinsics and a 5 cm baseline between the eyes' poses.
  std::vector<double> origin[2];
  for (int eye = 0; eye < 2; ++eye) {
    auto yaml = parse_yaml(mav + "/cam" + std::to_string(eye) + "/sensor.yaml");
    EXPECT_EQ(yaml["sensor_type"], "camera");
    EXPECT_NEAR(std::stod(yaml["rate_hz"]), 10.0, 0.01);
    EXPECT_EQ(numbers_in(yaml["resolution"]), (std::vector<double>{320, 240}));
    EXPECT_EQ(yaml["camera_model"], "pinhole");
    EXPECT_EQ(numbers_in(yaml["intrinsics"]), eye == 0 ? (std::vector<double>{612.4, 612.9, 641.2, 398.7})
                                                       : (std::vector<double>{611.8, 612.2, 638.9, 401.3}));
    EXPECT_EQ(numbers_in(yaml["distortion_coefficients"]).size(), 4u);
    EXPECT_EQ(yaml["T_BS.rows"], "4");
    const std::vector<double> t = numbers_in(yaml["T_BS.data"]);
    EXPECT_EQ(t.size(), 16u);
    if (t.size() == 16) {
      EXPECT_EQ(std::vector<double>(t.begin() + 12, t.end()), (std::vector<double>{0, 0, 0, 1}));
      origin[eye] = {t[3], t[7], t[11]};
    }
  }
  if (origin[0].size() == 3 && origin[1].size() == 3) {
    const double baseline =
        std::hypot(origin[0][0] - origin[1][0], origin[0][1] - origin[1][1], origin[0][2] - origin[1][2]);
    EXPECT_NEAR(baseline, 0.05002, 0.0005);
  }
  auto imu_yaml = parse_yaml(mav + "/imu0/sensor.yaml");
  EXPECT_EQ(imu_yaml["sensor_type"], "imu");
  EXPECT_NEAR(std::stod(imu_yaml["rate_hz"]), 200.0, 0.5);
  EXPECT_EQ(numbers_in(imu_yaml["T_BS.data"]), (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
  return frames;
}

TEST_F(CaptureRecordTest, RecordedDatasetReadsBackWhole) {
  ToolRun r = run("record '" + path("ds") + "' -t 2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("recording: "));
  const std::vector<std::uint64_t> frames = check_dataset(path("ds"), r.err);
  ASSERT_FALSE(frames.empty());
  // Two seconds on the frames' clock, and not a frame more.
  EXPECT_GE(frames.back() - frames.front(), 2'000'000'000u);
  EXPECT_LT(frames.back() - frames.front(), 2'100'000'000u);
}

TEST_F(CaptureRecordTest, InterruptedRecordingLeavesACompleteDataset) {
  const std::string err = path("record.err"), frames_dir = path("ds/mav0/cam0/data");
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c",
          (environment() + "exec " + tool() + "record '" + path("ds") + "' -t 600 2>'" + err + "' >/dev/null").c_str(),
          nullptr);
    _exit(127);
  }
  // Interrupted once some frames are written (up to a minute on a loaded
  // machine).
  for (int i = 0; i < 600; ++i) {
    std::error_code ignored;
    std::size_t files = 0;
    if (fs::is_directory(frames_dir, ignored)) {
      for (auto it = fs::directory_iterator(frames_dir, ignored); it != fs::directory_iterator(); ++it) ++files;
    }
    if (files >= 5) break;
    usleep(100000);
  }
  kill(pid, SIGINT);
  int raw = 0;
  waitpid(pid, &raw, 0);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 0);
  const std::string text = slurp(err);
  EXPECT_THAT(text, HasSubstr("(stopped by a signal)"));
  EXPECT_GE(check_dataset(path("ds"), text).size(), 5u);
}

TEST_F(CaptureRecordTest, RecordRefusesADirectoryItCannotOwnAndWritesNothing) {
  fs::create_directory(path("full"));
  std::ofstream(path("full/keep")) << "mine";
  fs::create_directory(path("empty"));
  fs::create_directory_symlink(path("empty"), path("link"));
  std::ofstream(path("file")) << "mine";
  const struct {
    const char* name;
    const char* message;
  } cases[] = {
      {"full", "is not empty"},
      {"link", "is a symbolic link"},
      {"file", "is not a directory"},
  };
  for (const auto& c : cases) {
    ToolRun r = run(std::string("record '") + path(c.name) + "' -t 1");
    EXPECT_EQ(r.status, 5) << c.name;
    EXPECT_THAT(r.err, HasSubstr(c.message)) << c.name;
  }
  EXPECT_EQ(slurp(path("full/keep")), "mine");
  EXPECT_EQ(std::distance(fs::directory_iterator(path("full")), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_empty(path("empty")));
  EXPECT_EQ(slurp(path("file")), "mine");
}

TEST_F(CaptureRecordTest, RecordWithoutTheShippedCalibrationLayoutSaysSo) {
  std::ofstream(path("other.json")) << R"({"format": "something-else", "left": {"camera_matrix": 1}})";
  ASSERT_EQ(run("config set '" + path("other.json") + "'").status, 0);
  ToolRun r = run("record '" + path("ds") + "' -t 0.3");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("no calibration found"));
  for (const char* cam : {"cam0", "cam1"}) {
    const std::string file = path("ds/mav0/") + cam + "/sensor.yaml";
    EXPECT_THAT(slurp(file), HasSubstr("No calibration found in the camera"));
    auto yaml = parse_yaml(file);
    EXPECT_EQ(yaml.count("intrinsics"), 0u) << cam;
    EXPECT_EQ(yaml.count("T_BS"), 0u) << cam;
    EXPECT_EQ(numbers_in(yaml["resolution"]), (std::vector<double>{320, 240}));
    EXPECT_NEAR(std::stod(yaml["rate_hz"]), 10.0, 0.01);
  }
}

}  // namespace
