// The morvane-uvc-stereo tool against its simulated camera: outputs, exit
// statuses and the camera state kept between runs.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using ::testing::HasSubstr;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    state_ = dir_ + "/camera.flash";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs the tool with the simulated camera (unless `simulate` is false),
  // feeding `input` to its standard input.
  // `stdout_redirect` replaces the redirection of standard output to a file.
  ToolRun run(const std::string& args, const std::string& input = "", bool simulate = true,
              const std::string& stdout_redirect = "") {
    const std::string in = dir_ + "/stdin", out = dir_ + "/stdout", err = dir_ + "/stderr";
    std::ofstream(in) << input;
    std::remove(out.c_str());
    // The tool's blob cache and kept copies live in the test's directory,
    // never the user's. Bounded: a tool that hangs fails its test instead of
    // stalling the suite.
    std::string command = "XDG_CACHE_HOME='" + dir_ + "/cache' XDG_STATE_HOME='" + dir_ + "/state' timeout 120 " +
                          std::string(MORVANE_TOOL_PATH) + (simulate ? " --simulate='" + state_ + "'" : "") + " " +
                          args + " <'" + in + "' " + (stdout_redirect.empty() ? ">'" + out + "'" : stdout_redirect) +
                          " 2>'" + err + "'";
    ToolRun r;
    int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string slurp(const std::string& file) {
    std::ifstream f(file, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  void write(const std::string& name, const std::string& text) { std::ofstream(path(name), std::ios::binary) << text; }

  std::string dir_;
  std::string state_;
};

TEST_F(CliTest, ListsTheSimulatedCameraAsJson) {
  ToolRun r = run("list --json");
  ASSERT_EQ(r.status, 0) << r.err;
  json list = json::parse(r.out);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["vid_pid"], "0c45:0643");
  EXPECT_EQ(list[0]["serial"], "SIM0001");
  EXPECT_EQ(list[0]["video_node"], "/dev/video0");
  EXPECT_EQ(list[0]["bus_number"], 1);
  EXPECT_EQ(list[0]["opencv_indices"]["CAP_V4L2"], 0);
  EXPECT_EQ(list[0]["opencv_indices"]["CAP_GSTREAMER"], 0);

  ToolRun table = run("list");
  ASSERT_EQ(table.status, 0);
  EXPECT_THAT(table.out, HasSubstr("0c45:0643"));
  EXPECT_THAT(table.out, HasSubstr("CAP_V4L2=0,CAP_GSTREAMER=0"));
}

TEST_F(CliTest, ConfigSetIsKeptForTheNextRunAndReadBackCompact) {
  ToolRun before = run("config get");
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_THAT(before.out, HasSubstr("\"format\":\"morvane-stereo-calibration\""));

  write("doc.json", "{ \"fx\" : 600.5,\n  \"name\": \"left cam\", \"d\": [1, 2.5e-3] }\n");
  ToolRun set = run("config set " + path("doc.json"));
  ASSERT_EQ(set.status, 0) << set.err;

  ToolRun after = run("config get");
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(after.out, "{\"fx\":600.5,\"name\":\"left cam\",\"d\":[1,2.5e-3]}\n");

  ToolRun pretty = run("config get --pretty -o " + path("pretty.json"));
  ASSERT_EQ(pretty.status, 0) << pretty.err;
  EXPECT_EQ(slurp(path("pretty.json")), "{\n  \"fx\": 600.5,\n  \"name\": \"left cam\",\n  \"d\": [1, 2.5e-3]\n}\n");

  // Standard input works too.
  ToolRun stdin_set = run("config set -", "[true]");
  ASSERT_EQ(stdin_set.status, 0) << stdin_set.err;
  EXPECT_EQ(run("config get").out, "[true]\n");
}

TEST_F(CliTest, BadDocumentIsRefusedBeforeTheFlashIsTouched) {
  ToolRun original = run("config get");
  ASSERT_EQ(original.status, 0);
  write("bad.json", "{\"a\": [1,]}");
  ToolRun set = run("config set " + path("bad.json"));
  EXPECT_EQ(set.status, 5);
  EXPECT_THAT(set.err, HasSubstr("invalid JSON value at offset 9 (code 12, invalid_json)"));
  EXPECT_EQ(run("config get").out, original.out);

  ToolRun missing = run("config set " + path("missing.json"));
  EXPECT_EQ(missing.status, 5);
  EXPECT_THAT(missing.err, HasSubstr("cannot read"));
}

TEST_F(CliTest, BackupAndRestoreAreByteForByteAndTruncatedBlobsAreRefused) {
  ASSERT_EQ(run("config backup " + path("blob.bin")).status, 0);
  std::string blob = slurp(path("blob.bin"));
  ASSERT_GT(blob.size(), 16u);
  EXPECT_EQ(blob.substr(0, 4), "VROM");  // magic "MORV", little-endian

  ToolRun original = run("config get");
  ASSERT_EQ(run("config set -", "{\"changed\":1}").status, 0);
  ASSERT_EQ(run("config restore " + path("blob.bin")).status, 0);
  EXPECT_EQ(run("config get").out, original.out);
  ASSERT_EQ(run("config backup " + path("again.bin")).status, 0);
  EXPECT_EQ(slurp(path("again.bin")), blob);

  write("short.bin", blob.substr(0, blob.size() - 1));
  ToolRun truncated = run("config restore " + path("short.bin"));
  EXPECT_EQ(truncated.status, 5);
  EXPECT_THAT(truncated.err, HasSubstr("raw buffer is shorter than header-declared length"));
  EXPECT_EQ(run("config get").out, original.out);
}

TEST_F(CliTest, CheckValidatesDocumentsAndBlobsOffline) {
  write("ok.json", "{ \"a\": 1 }");
  ToolRun ok = run("config check " + path("ok.json"), "", false);
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_THAT(ok.out, HasSubstr("7 bytes compact; stored blob would be 23 bytes"));

  write("bad.json", "{\"a\" 1}");
  ToolRun bad = run("config check " + path("bad.json"), "", false);
  EXPECT_EQ(bad.status, 5);
  EXPECT_THAT(bad.err, HasSubstr("invalid JSON value at offset 5"));

  ASSERT_EQ(run("config backup " + path("blob.bin")).status, 0);
  std::string blob = slurp(path("blob.bin"));
  blob[blob.size() - 2] ^= 0x01;
  write("corrupt.bin", blob);
  ToolRun corrupt = run("config check " + path("corrupt.bin"), "", false);
  EXPECT_EQ(corrupt.status, 5);
  EXPECT_THAT(corrupt.err, HasSubstr("crc32 mismatch (code 11, crc_mismatch)"));
}

TEST_F(CliTest, ImuSamplesAreConvertedAndSummarised) {
  ToolRun r = run("imu --count 600 --format json");
  ASSERT_EQ(r.status, 0) << r.err;
  json out = json::parse(r.out);
  ASSERT_EQ(out["samples"].size(), 600u);
  const json& summary = out["summary"];
  EXPECT_EQ(summary["count"], 600);
  // The simulated IMU: 200 Hz on a 1 MHz device clock running 80 ppm fast.
  EXPECT_NEAR(summary["rate_hz"].get<double>(), 200.0 * (1 + 80e-6), 0.05);
  EXPECT_NEAR(summary["drift_ppm"].get<double>(), 80.0, 10.0);
  EXPECT_NEAR(summary["tick_rate_hz"].get<double>(), 1e6 * (1 + 80e-6), 10.0);
  EXPECT_EQ(summary["rate_locked"], true);
  EXPECT_EQ(summary["samples_missed"], 0);
  EXPECT_EQ(summary["discontinuities"], 0);
  EXPECT_GT(summary["duplicates_dropped"].get<long>(), 0) << "the latest-sample IMU repeats between samples";
  EXPECT_GE(summary["reads"].get<long>(), 600 + summary["duplicates_dropped"].get<long>());
  const json* previous = nullptr;
  for (const auto& sample : out["samples"]) {
    EXPECT_NEAR(sample["accel_g"][0].get<double>(), 0.0, 0.05);
    EXPECT_NEAR(std::hypot(sample["accel_g"][1].get<double>(), sample["accel_g"][2].get<double>()), 1.0, 0.05);
    EXPECT_NEAR(sample["gyro_dps"][0].get<double>(), 25.0, 2.0);
    EXPECT_LE(sample["time_ns"].get<std::uint64_t>(), sample["host_ns"].get<std::uint64_t>());
    EXPECT_EQ(sample["discontinuity"], false);
    EXPECT_EQ(sample["device_counter"].get<std::uint64_t>() % 1048576,
              sample["device_counter_raw"].get<std::uint64_t>());
    if (previous != nullptr) {
      EXPECT_GE(sample["time_ns"].get<std::uint64_t>(), (*previous)["time_ns"].get<std::uint64_t>());
      // Unwrapped across the wraps of the 20-bit counter: one period apart.
      EXPECT_NEAR(static_cast<double>(sample["device_counter"].get<std::uint64_t>() -
                                      (*previous)["device_counter"].get<std::uint64_t>()),
                  5000.0, 1.0);
    }
    previous = &sample;
  }
  EXPECT_GT(out["samples"][599]["device_counter"].get<std::uint64_t>(), 1048576u * 2);

  ToolRun duration = run("imu --duration 0.1 --format csv --raw --rate 200");
  ASSERT_EQ(duration.status, 0) << duration.err;
  std::istringstream lines(duration.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "index,host_ns,device_counter,temperature,ax,ay,az,gx,gy,gz,time_ns,missed_before,discontinuity");
  int rows = 0;
  while (std::getline(lines, line)) ++rows;
  EXPECT_GE(rows, 21);
  EXPECT_LE(rows, 22);
  EXPECT_THAT(duration.err, HasSubstr("summary: " + std::to_string(rows) + " samples over 0.1"));
  EXPECT_THAT(duration.err, HasSubstr("0 samples missed"));

  EXPECT_EQ(run("imu --rate -5").status, 2);
  EXPECT_EQ(run("imu --rate 20000").status, 2);

  // The help says what the columns and the discontinuity mark mean.
  ToolRun help = run("imu --help", "", false);
  ASSERT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("table's note column says \"discontinuity\", csv 1, json true"));
  EXPECT_THAT(help.out, HasSubstr("Exit status (every command):"));
}

TEST_F(CliTest, FirmwareVersionParamsExportAndBurn) {
  ToolRun version = run("firmware version --json");
  ASSERT_EQ(version.status, 0) << version.err;
  json v = json::parse(version.out);
  EXPECT_THAT(v["raw"].get<std::string>(), HasSubstr("2606030001"));
  EXPECT_EQ(v["chip_id"], "0x83");

  ToolRun params = run("firmware params --json");
  ASSERT_EQ(params.status, 0) << params.err;
  json p = json::parse(params.out);
  EXPECT_EQ(p["vid_pid"], "0c45:0643");
  EXPECT_EQ(p["serial"], "SIM0001");

  ASSERT_EQ(run("firmware export " + path("fw.bin")).status, 0);
  std::string image = slurp(path("fw.bin"));
  ASSERT_EQ(image.size(), 0x20000u);

  ToolRun calibration = run("config get");
  // Without --yes the burn asks first, naming the boot-code risk of
  // rewriting sector 0; anything but yes leaves the flash as it was.
  for (const char* answer : {"n\n", "", "maybe\n"}) {
    ToolRun refused = run("firmware burn " + path("fw.bin"), answer);
    EXPECT_EQ(refused.status, 6) << answer;
    EXPECT_THAT(refused.err, HasSubstr("Sector 0 holds the controller's boot code"));
    EXPECT_THAT(refused.err, HasSubstr("will not boot"));
    EXPECT_THAT(refused.err, HasSubstr("aborted"));
  }
  ASSERT_EQ(run("firmware export " + path("untouched.bin")).status, 0);
  EXPECT_EQ(slurp(path("untouched.bin")), image);

  ToolRun burn = run("firmware burn --yes " + path("fw.bin"));
  ASSERT_EQ(burn.status, 0) << burn.err;
  EXPECT_THAT(burn.err, HasSubstr("calibration written back"));
  EXPECT_THAT(burn.err, ::testing::Not(HasSubstr("Continue?")));  // --yes asks nothing
  EXPECT_EQ(run("config get").out, calibration.out);
  ASSERT_EQ(run("firmware export " + path("fw2.bin")).status, 0);
  EXPECT_EQ(slurp(path("fw2.bin")), image);

  write("huge.bin", std::string(0x60000, 'x'));
  ToolRun huge = run("firmware burn --yes " + path("huge.bin"));
  EXPECT_EQ(huge.status, 5);
  EXPECT_THAT(huge.err, HasSubstr("calibration area"));

  write("foreign.bin", std::string(0x1000, '\0'));
  ToolRun foreign = run("firmware burn --yes " + path("foreign.bin"));
  EXPECT_EQ(foreign.status, 5);
  EXPECT_THAT(foreign.err, HasSubstr("not a firmware image for this camera"));
}

TEST_F(CliTest, DeviceSelectionErrorsAndUsage) {
  ToolRun none = run("--device 7 config get");
  EXPECT_EQ(none.status, 3);
  EXPECT_THAT(none.err, HasSubstr("no camera matches --device '7'"));

  ToolRun by_serial = run("--device SIM0001 info --json");
  EXPECT_EQ(by_serial.status, 0) << by_serial.err;
  EXPECT_EQ(json::parse(by_serial.out)["imu_supported"], true);

  ToolRun by_busdev = run("--device 1:4 config get");
  EXPECT_EQ(by_busdev.status, 0) << by_busdev.err;

  EXPECT_EQ(run("frobnicate").status, 2);
  EXPECT_EQ(run("imu --format xml").status, 2);

  ToolRun missing_sensor = run("sensor read --slave 0x7e --reg 0x10");
  EXPECT_EQ(missing_sensor.status, 4);
  EXPECT_EQ(run("sensor write --slave 0x20 --reg 0x3000 --value 0x12").status, 0);
}

TEST_F(CliTest, StoredDocumentReadsReuseTheCachedBlobOnlyWhileTheCameraAgrees) {
  const std::string cache = path("cache/morvane-uvc-stereo/SIM0001.blob");
  auto read_path = [&](const std::string& options) {
    ToolRun r = run(options + " info --json");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out).value("config_read_path", std::string("none")) : std::string("failed");
  };

  // --no-cache neither uses nor writes the cache; --no-fast reads by byte-banging.
  EXPECT_EQ(read_path("--no-cache"), "byte_banging");
  EXPECT_EQ(slurp(cache), "");
  EXPECT_EQ(read_path("--no-fast"), "byte_banging");
  ASSERT_EQ(run("config backup " + path("stored.bin")).status, 0);
  EXPECT_EQ(slurp(cache), slurp(path("stored.bin")));
  EXPECT_EQ(read_path(""), "byte_banging");  // reuse is opt-in
  EXPECT_EQ(read_path("--reuse-cache"), "held_copy");
  EXPECT_EQ(read_path("--no-fast --reuse-cache"), "byte_banging");

  // Whatever the cache holds, every read gives what the byte-banging read gives.
  ASSERT_EQ(run("config set -", "{\"k\":1}").status, 0);
  ASSERT_EQ(run("config backup " + path("k1.bin")).status, 0);
  ASSERT_EQ(run("config set -", "{\"k\":2}").status, 0);  // same length and version as k1
  const std::string k2 = run("--no-fast config get").out;
  ASSERT_EQ(k2, "{\"k\":2}\n");
  const std::string k1_blob = slurp(path("k1.bin"));
  const struct {
    const char* name;
    std::string cached;  // empty: no cache file
    std::string expected_path;
  } cases[] = {
      {"no cache file", "", "byte_banging"},
      {"stale: same length and version", k1_blob, "byte_banging"},
      {"an older, longer document", slurp(path("stored.bin")), "byte_banging"},
      {"garbage", "not a blob at all", "byte_banging"},
      {"truncated", k1_blob.substr(0, k1_blob.size() - 1), "byte_banging"},
      {"current", "", "held_copy"},  // left by the previous case's read
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) != "current") {
      std::remove(cache.c_str());
      if (!c.cached.empty()) std::ofstream(cache, std::ios::binary) << c.cached;
    }
    EXPECT_EQ(read_path("--reuse-cache"), c.expected_path);
    ToolRun get = run("--reuse-cache config get");
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, k2);
    ASSERT_EQ(run("config backup " + path("now.bin")).status, 0);
    EXPECT_EQ(slurp(path("now.bin")), slurp(cache)) << "the cache holds the stored blob after a read";
  }
}

// The flash changes behind the cache (here: the state file, which is the
// simulated camera's flash, edited between runs): only --reuse-cache may
// miss it, and a backup never does.
TEST_F(CliTest, AChangeBehindTheCacheIsSeenByDefaultAndByEveryBackup) {
  ASSERT_EQ(run("config set -", "{\"fx\":612.4,\"rows\":[1,2,3,4,5,6,7,8]}").status, 0);
  ASSERT_EQ(run("config get").status, 0);  // fills the cache
  std::vector<char> flash((std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(state_, std::ios::binary))),
                          std::istreambuf_iterator<char>());
  const std::size_t at = 0x51000 + 16 + 6;  // "612" inside the stored payload
  ASSERT_EQ(std::string(flash.data() + at, 3), "612");
  flash[at] = flash[at + 1] = flash[at + 2] = '9';
  std::ofstream(state_, std::ios::binary | std::ios::trunc)
      .write(flash.data(), static_cast<std::streamsize>(flash.size()));

  for (const char* options : {"", "--reuse-cache "}) {
    SCOPED_TRACE(options);
    ToolRun backup = run(std::string(options) + "config backup " + path("b.bin"));
    EXPECT_EQ(backup.status, 4) << backup.err;
    EXPECT_THAT(backup.err, HasSubstr("crc32 mismatch"));
  }
  ToolRun get = run("config get");
  EXPECT_EQ(get.status, 4);
  EXPECT_THAT(get.err, HasSubstr("crc32 mismatch"));
  // The opt-in reuse check reads the header and the last bytes only.
  EXPECT_EQ(run("--reuse-cache config get").status, 0);
}

// Whatever sits at the cache path (a symlink to a device or to another
// file, a FIFO, a huge file, a directory), a read with --reuse-cache gives
// the stored document, exit 0, promptly; the path then holds the stored
// blob as a regular 0600 file in a 0700 directory, and a symlink's target
// is untouched.
TEST_F(CliTest, HostileCacheFilesAreIgnoredAndReplaced) {
  const std::string dir = path("cache/morvane-uvc-stereo");
  const std::string cache = dir + "/SIM0001.blob";
  ASSERT_EQ(run("config get").status, 0);
  ASSERT_EQ(run("--no-cache config backup " + path("stored.bin")).status, 0);
  const std::string document = run("--no-cache config get").out;
  write("victim", "precious");
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  const struct {
    const char* name;
    std::function<int()> plant;
    bool replaced;
  } cases[] = {
      {"symlink to /dev/zero", [&] { return ::symlink("/dev/zero", cache.c_str()); }, true},
      {"symlink to another file", [&] { return ::symlink(path("victim").c_str(), cache.c_str()); }, true},
      {"fifo", [&] { return ::mkfifo(cache.c_str(), 0600); }, true},
      {"huge file",
       [&] {
         std::ofstream(cache, std::ios::binary) << slurp(path("stored.bin")) << std::string(1 << 20, 'x');
         return 0;
       },
       true},
      {"directory", [&] { return ::mkdir(cache.c_str(), 0700); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cache);
    ASSERT_EQ(c.plant(), 0);
    ToolRun get = run("--reuse-cache config get");
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, document);
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    if (!c.replaced) continue;
    ASSERT_EQ(::lstat(cache.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(slurp(cache), slurp(path("stored.bin")));
    EXPECT_EQ(slurp(path("victim")), "precious");
  }
}

// One run at a time owns the simulated camera's state file: a run waiting
// at a prompt makes a second run wait (so it cannot put back an older flash
// over the document stored meanwhile); runs that change nothing write
// nothing; simultaneous runs all succeed; no symlink is followed.
TEST_F(CliTest, TheStateFileIsOneRunsAtATimeWrittenOnlyWhenTheFlashChanges) {
  ASSERT_EQ(run("firmware export " + path("fw.bin")).status, 0);
  // A burn waits at its prompt, its input a FIFO nobody writes yet.
  ASSERT_EQ(::mkfifo(path("answer").c_str(), 0600), 0);
  const std::string tool = "XDG_CACHE_HOME='" + dir_ + "/cache' timeout 60 " + std::string(MORVANE_TOOL_PATH) +
                           " --simulate='" + state_ + "' ";
  ASSERT_EQ(std::system(("(" + tool + "firmware burn '" + path("fw.bin") + "' <'" + path("answer") +
                         "' >/dev/null 2>&1; echo $? >'" + path("a.rc") + "') &")
                            .c_str()),
            0);
  const int answer = ::open(path("answer").c_str(), O_WRONLY);  // the burn has its input open
  ASSERT_GE(answer, 0);
  auto lock_is_held = [&] {
    const int fd = ::open((state_ + ".lock").c_str(), O_RDONLY);
    const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) ::close(fd);
    return held;
  };
  for (int i = 0; i < 200 && !lock_is_held(); ++i) ::usleep(10'000);
  EXPECT_TRUE(lock_is_held());
  write("doc.json", "{\"stored\":\"meanwhile\"}");
  ASSERT_EQ(std::system(("(" + tool + "config set '" + path("doc.json") + "' >/dev/null 2>'" + path("b.err") +
                         "'; echo $? >'" + path("b.rc") + "') &")
                            .c_str()),
            0);
  ::usleep(500'000);
  EXPECT_EQ(slurp(path("b.rc")), "") << "the second run did not wait";
  EXPECT_THAT(slurp(path("b.err")), HasSubstr("waiting for another run"));
  ASSERT_EQ(::write(answer, "n\n", 2), 2);
  ::close(answer);
  for (int i = 0; i < 3000 && (slurp(path("a.rc")).empty() || slurp(path("b.rc")).empty()); ++i) ::usleep(10'000);
  EXPECT_EQ(slurp(path("a.rc")), "6\n");
  EXPECT_EQ(slurp(path("b.rc")), "0\n");
  EXPECT_EQ(run("config get").out, "{\"stored\":\"meanwhile\"}\n");

  // Read-only runs leave the file alone.
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat(state_.c_str(), &before), 0);
  ::usleep(20'000);
  ASSERT_EQ(run("config get").status, 0);
  ASSERT_EQ(run("info").status, 0);
  ASSERT_EQ(::stat(state_.c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);

  // Two runs at once, round after round: both succeed.
  for (int round = 0; round < 8; ++round) {
    ASSERT_EQ(std::system(("(" + tool + "config get >/dev/null 2>&1; echo $? >'" + path("p.rc") + "') & " + tool +
                           "config get >/dev/null 2>&1; echo $? >'" + path("q.rc") + "'; wait")
                              .c_str()),
              0);
    EXPECT_EQ(slurp(path("p.rc")) + slurp(path("q.rc")), "0\n0\n") << "round " << round;
  }

  // Symlinks are refused, never written through.
  write("victim", "precious");
  const std::string flash = slurp(state_);
  ASSERT_EQ(::symlink(path("victim").c_str(), (state_ + ".partial").c_str()), 0);
  ASSERT_EQ(run("config set -", "{\"k\":3}").status, 0);
  EXPECT_TRUE(slurp(path("victim")) == "precious") << "the symlink's target was written";
  const std::string link = path("link.flash");
  ASSERT_EQ(::symlink(state_.c_str(), link.c_str()), 0);
  ToolRun through = run("--simulate='" + link + "' list", "", false);
  EXPECT_EQ(through.status, 5);
  EXPECT_THAT(through.err, HasSubstr("symbolic link"));
  EXPECT_NE(slurp(state_), flash) << "the document was not stored";
}

TEST_F(CliTest, ACorruptStateFileIsReportedNotUsed) {
  std::ofstream(state_) << "not a flash image";
  ToolRun r = run("list");
  EXPECT_EQ(r.status, 5);
  EXPECT_THAT(r.err, HasSubstr("is not a simulated camera's flash"));
}

TEST_F(CliTest, VersionNamesTheToolAndTheLibrary) {
  for (const char* args : {"--version", "--version list"}) {
    ToolRun r = run(args, "", false);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    EXPECT_THAT(r.out, ::testing::MatchesRegex("morvane-uvc-stereo [0-9]+\\.[0-9]+\\.[0-9]+\n"
                                               "libmorvane_uvc_stereo_sdk [0-9]+\\.[0-9]+\\.[0-9]+\n"))
        << args;
  }
}

TEST_F(CliTest, ListColumnsLineUpWithTheHeader) {
  ToolRun r = run("list");
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string header, row;
  ASSERT_TRUE(std::getline(lines, header));
  ASSERT_TRUE(std::getline(lines, row));
  const std::pair<const char*, const char*> columns[] = {
      {"VID:PID", "0c45:0643"}, {"SERIAL", "SIM0001"}, {"NODE", "/dev/video0"}, {"OPENCV", "CAP_V4L2=0"}};
  for (const auto& [title, value] : columns) {
    EXPECT_NE(header.find(title), std::string::npos) << title;
    EXPECT_EQ(header.find(title), row.find(value)) << title << "\n" << header << "\n" << row;
  }
}

// Runs `watch` until it says it is watching, stops it with `signal_number`
// and returns its exit status (-1 when it did not exit normally).
int watch_until_signal(const std::string& tool_args, const std::string& err_file, int signal_number) {
  std::remove(err_file.c_str());  // a previous run's text must not count
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", ("exec " + tool_args + " 2>'" + err_file + "' >/dev/null").c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 600; ++i) {  // up to a minute on a loaded machine
    std::ifstream err(err_file);
    std::string text((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    if (text.find("watching") != std::string::npos) break;
    usleep(100000);
  }
  kill(pid, signal_number);
  int raw = 0;
  waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST_F(CliTest, WatchEndsCleanlyOnInterruptAndTermination) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    for (const char* mode : {"", " --json"}) {
      const std::string args = std::string(MORVANE_TOOL_PATH) + " --simulate='" + state_ + "' watch" + mode;
      EXPECT_EQ(watch_until_signal(args, path("watch.err"), signal_number), 0) << signal_number << mode;
      EXPECT_THAT(slurp(path("watch.err")), HasSubstr("watching 1 camera(s)"));
    }
  }
  ToolRun bad = run("watch --bogus");
  EXPECT_EQ(bad.status, 2);
  // --device narrows what is watched; an index must name an attached camera.
  const std::string narrowed = std::string(MORVANE_TOOL_PATH) + " --simulate='" + state_ + "' -d NO-SUCH-SERIAL watch";
  EXPECT_EQ(watch_until_signal(narrowed, path("watch.err"), SIGINT), 0);
  EXPECT_THAT(slurp(path("watch.err")), HasSubstr("watching 0 camera(s)"));
  ToolRun beyond = run("-d 5 watch");
  EXPECT_EQ(beyond.status, 3);
  EXPECT_THAT(beyond.err, HasSubstr("no camera matches --device '5'"));
}

// Hostile inputs: refused with the one table's code and a message, before
// the camera is touched.
TEST_F(CliTest, HostileInputsAreRefusedBeforeTheFlashIsTouched) {
  ASSERT_EQ(run("firmware export " + path("fw.bin")).status, 0);
  const std::string image = slurp(path("fw.bin"));
  const std::string document = run("config get").out;
  write("readme.bin", std::string(0x9000, 'R'));  // printable text where the version fields are
  write("short.bin", image.substr(0, 0x2000));
  std::string table_broken = image;
  table_broken[0x8041] = 0;  // the product string descriptor's type byte
  write("table.bin", table_broken);
  // Over 64 KiB compact: too large for the calibration area.
  write("big.json", "[\"" + std::string(0x10000, 'a') + "\"]");
  ASSERT_EQ(std::system(("mkdir '" + path("dir") + "' && mkfifo '" + path("fifo") + "'").c_str()), 0);
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"firmware burn --yes " + path("readme.bin"), 5, "parameter table"},
      {"firmware burn --yes " + path("short.bin"), 5, "ends before its version field at 0x2000"},
      {"firmware burn --yes " + path("table.bin"), 5, "no product string descriptor"},
      {"firmware burn --yes /dev/zero", 5, "a character device, not a regular file"},
      {"firmware burn --yes " + path("dir"), 5, "a directory, not a regular file"},
      {"config set /dev/zero", 5, "not a regular file"},
      {"config check /dev/zero", 5, "not a regular file"},
      {"config restore /dev/zero", 5, "not a regular file"},
      {"config set " + path("fifo"), 5, "a FIFO, not a regular file"},
      {"config restore " + path("fw.bin"), 5, "more than the 65536 bytes this operation accepts"},
      {"config set " + path("big.json"), 5, "payload is too large (code 10, invalid_length)"},
      {"config check " + path("big.json"), 5, "payload is too large (code 10, invalid_length)"},
      {"firmware export " + path("x") + " --size -1", 2, "--size must be a whole number"},
      {"firmware export " + path("x") + " --size 0x100000001", 2, "--size must be a whole number"},
      {"firmware export " + path("x") + " --size 16junk", 2, "--size must be a whole number"},
      {"firmware burn --yes " + path("fw.bin") + " --flash-size 1M", 2, "--flash-size must be a whole number"},
      {"imu -t inf", 2, "--duration must be"},
      {"imu -t nan", 2, "--duration must be"},
      {"imu -n -1", 2, "--count must be"},
      {"--device '' config get", 2, "--device needs a selector"},
  };
  for (const auto& c : cases) {
    ToolRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.message)) << c.args;
  }
  EXPECT_FALSE(std::ifstream(path("x")).good());
  EXPECT_EQ(run("config get").out, document);
  ASSERT_EQ(run("firmware export " + path("after.bin")).status, 0);
  EXPECT_EQ(slurp(path("after.bin")), image);
}

TEST_F(CliTest, OutputThatNeverReachesStandardOutputFails) {
  write("ok.json", "{}");
  ASSERT_EQ(run("sensor write --slave 0x20 --reg 0x3000 --value 0x12").status, 0);
  for (const std::string& args : std::vector<std::string>{
           "list", "list --json", "info", "firmware version", "firmware params", "config check " + path("ok.json"),
           "sensor read --slave 0x20 --reg 0x3000", "imu -n 500 --format csv", "imu -n 5", "config get", "--version",
           "--help", "config get --help"}) {
    for (const char* redirect : {">/dev/full", ">&-"}) {
      ToolRun r = run(args, "", true, redirect);
      EXPECT_EQ(r.status, 5) << args << " " << redirect << "\n" << r.err;
      EXPECT_THAT(r.err, HasSubstr("error: cannot write to standard output")) << args << " " << redirect;
    }
  }
}

// A run waiting for another run's simulated camera holds nothing yet: a
// stop signal ends it at once.
TEST_F(CliTest, ARunWaitingForTheSimulatedCameraStopsOnASignal) {
  ASSERT_EQ(run("list").status, 0);  // makes the state file
  const int holder = ::open((state_ + ".lock").c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  for (int signal_number : {SIGINT, SIGTERM}) {
    const std::string err = path("wait.err");
    std::remove(err.c_str());
    pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c",
            ("exec " + std::string(MORVANE_TOOL_PATH) + " --simulate='" + state_ + "' config get 2>'" + err +
             "' >/dev/null")
                .c_str(),
            nullptr);
      _exit(127);
    }
    for (int i = 0; i < 600 && slurp(err).find("waiting for another run") == std::string::npos; ++i) usleep(100000);
    EXPECT_THAT(slurp(err), HasSubstr("waiting for another run"));
    kill(pid, signal_number);
    int raw = 0;
    pid_t ended = 0;
    for (int i = 0; i < 100 && (ended = waitpid(pid, &raw, WNOHANG)) == 0; ++i) usleep(100000);
    if (ended == 0) {  // still waiting: a failure, and no process left behind
      kill(pid, SIGKILL);
      waitpid(pid, &raw, 0);
      ADD_FAILURE() << "signal " << signal_number << " did not end a run waiting for the lock";
    } else {
      EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == signal_number) << signal_number;
    }
  }
  ::close(holder);
}

TEST_F(CliTest, DeviceTextsAreEscapedAndErasedVersionFieldsAreNoVersion) {
  ASSERT_EQ(run("list").status, 0);  // writes the state file
  auto patch = [&](std::uint32_t at, const std::string& bytes) {
    std::fstream f(state_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };
  // The product string descriptor of the parameter table: "A", ESC, "[2J".
  patch(0x8040, std::string("\x0c\x03"
                            "A\0\x1b\0[\0"
                            "2\0J\0",
                            12));
  ToolRun params = run("firmware params");
  ASSERT_EQ(params.status, 0) << params.err;
  EXPECT_THAT(params.out, HasSubstr("A\\x1b[2J"));
  EXPECT_EQ(params.out.find('\x1b'), std::string::npos);
  ToolRun params_json = run("firmware params --json");
  ASSERT_EQ(params_json.status, 0) << params_json.err;
  EXPECT_EQ(json::parse(params_json.out)["product"], "A\x1b[2J");

  patch(0x2012, "\x1b]0;owned\x07");  // version field 2
  for (const char* args : {"firmware version", "info"}) {
    ToolRun r = run(args);
    EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos) << args;
  }
  EXPECT_EQ(run("firmware version").status, 4);

  patch(0x2000, std::string(0x30, '\xff'));  // erased, as an interrupted burn leaves them
  ToolRun erased = run("firmware version");
  EXPECT_EQ(erased.status, 4);
  EXPECT_THAT(erased.err, HasSubstr("the flash holds no firmware version"));
  EXPECT_THAT(erased.err, HasSubstr("\\xff"));
}

TEST_F(CliTest, EveryCommandsHelpEndsWithTheOneExitStatusTable) {
  for (const char* args : {"--help", "config set --help", "firmware burn --help", "imu --help", "sensor read --help"}) {
    ToolRun r = run(args, "", false);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_THAT(r.out, HasSubstr("Exit status (every command):")) << args;
    EXPECT_THAT(r.out, HasSubstr("7  data read back from the flash differs")) << args;
  }
}

// A stop signal during a burn waits until the calibration is back: the tool
// says so, keeps the flash consistent, then ends by the signal.
TEST_F(CliTest, AStopSignalDuringABurnTakesEffectOnceTheFlashIsConsistent) {
  ASSERT_EQ(run("firmware export " + path("fw.bin")).status, 0);
  const std::string document = run("config get").out;
  int interrupted = 0;
  for (int attempt = 0; attempt < 10 && interrupted < 2; ++attempt) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
      int err_pipe[2];
      ASSERT_EQ(pipe(err_pipe), 0);
      pid_t pid = fork();
      if (pid == 0) {
        dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        close(err_pipe[1]);
        const std::string command = "XDG_CACHE_HOME='" + dir_ + "/cache' XDG_STATE_HOME='" + dir_ + "/state' exec " +
                                    MORVANE_TOOL_PATH + " --simulate='" + state_ + "' firmware burn --yes '" +
                                    path("fw.bin") + "' </dev/null >/dev/null";
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
      }
      close(err_pipe[1]);
      std::string err;
      char buffer[4096];
      bool sent = false;
      for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof buffer)) > 0;) {
        err.append(buffer, static_cast<std::size_t>(n));
        // The first progress line comes after the chip erase.
        if (!sent && err.find("burn: ") != std::string::npos) {
          kill(pid, signal_number);
          sent = true;
        }
      }
      close(err_pipe[0]);
      int raw = 0;
      waitpid(pid, &raw, 0);
      ASSERT_TRUE(sent) << err;
      if (!WIFSIGNALED(raw)) continue;  // the burn was over before the signal came
      ++interrupted;
      EXPECT_EQ(WTERMSIG(raw), signal_number);
      EXPECT_THAT(err, HasSubstr("firmware burned and verified; calibration written back"));
      EXPECT_THAT(err, HasSubstr("stopped by signal " + std::to_string(signal_number)));
      EXPECT_EQ(run("config get").out, document);
    }
  }
  EXPECT_GE(interrupted, 2);
}

// An output file is replaced whole or not at all: with writes failing part
// way (a file-size limit standing in for a full disk) the old backup stays.
TEST_F(CliTest, AFailedOutputWriteLeavesTheOldFileWhole) {
  ASSERT_EQ(run("list").status, 0);  // the state file exists before the limit applies
  for (const char* args : {"firmware export", "config backup"}) {
    write("kept.bin", "the good backup");
    // Standard error goes to a pipe, which the limit does not bind.
    const std::string command = "trap '' XFSZ; ulimit -f 0; XDG_CACHE_HOME='" + dir_ + "/cache' XDG_STATE_HOME='" +
                                dir_ + "/state' " + MORVANE_TOOL_PATH + " --simulate='" + state_ + "' " + args + " '" +
                                path("kept.bin") + "' 2>&1 >/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string err;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) err.append(buffer, n);
    const int raw = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 5) << args << ": " << err;
    EXPECT_THAT(err, HasSubstr("(the file is unchanged)")) << args;
    EXPECT_EQ(slurp(path("kept.bin")), "the good backup") << args;
    EXPECT_EQ(std::system(("ls -A '" + dir_ + "' | grep -q '^\\.kept'").c_str()), 256) << "a temporary was left";
  }
  ASSERT_EQ(run("firmware export " + path("kept.bin") + " --size 0x100").status, 0);
  EXPECT_EQ(slurp(path("kept.bin")).size(), 0x100u);
}

// The kept copies go only to a private directory of the user's: a state
// directory that is a link elsewhere is refused before anything is erased,
// and one with looser modes is made private.
TEST_F(CliTest, KeptCopiesGoToAPrivateStateDirectoryOnly) {
  const std::string document = run("config get").out;
  ASSERT_EQ(std::system(("mkdir -p '" + path("elsewhere") + "' '" + path("state") + "' && ln -s '" + path("elsewhere") +
                         "' '" + path("state/morvane-uvc-stereo") + "'")
                            .c_str()),
            0);
  ToolRun linked = run("config set -", "{\"x\":1}");
  EXPECT_EQ(linked.status, 5) << linked.err;
  EXPECT_THAT(linked.err, HasSubstr("is not a directory"));
  EXPECT_THAT(linked.err, HasSubstr("nothing on the camera was changed"));
  EXPECT_EQ(run("config get").out, document);

  ASSERT_EQ(std::system(("rm '" + path("state/morvane-uvc-stereo") + "' && mkdir -m 0777 '" +
                         path("state/morvane-uvc-stereo") + "'")
                            .c_str()),
            0);
  ToolRun set = run("config set -", "{\"x\":1}");
  ASSERT_EQ(set.status, 0) << set.err;
  const std::string kept =
      set.err.substr(set.err.find("kept in ") + 8, set.err.find('\n') - set.err.find("kept in ") - 8);
  EXPECT_EQ(slurp(kept).substr(0, 4), "VROM");
  struct stat dir_st {
  }, file_st{};
  ASSERT_EQ(stat(path("state/morvane-uvc-stereo").c_str(), &dir_st), 0);
  ASSERT_EQ(stat(kept.c_str(), &file_st), 0);
  EXPECT_EQ(dir_st.st_mode & 0777, 0700u);
  EXPECT_EQ(file_st.st_mode & 0777, 0600u);
}

}  // namespace
