// Discovery through the real Linux implementation: each test builds a fixture
// /dev, /sys and a fake `udevadm`, then runs the scan in a forked child that
// has its own mount namespace with the fixture bound over /dev and /sys. The
// child reports its findings as text through a pipe and exits; the real /dev
// and /sys of the machine are never covered outside that child.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/video_nodes.hpp"
#include "morvane/uvc_stereo/discovery.hpp"

namespace morvane::uvc_stereo {
namespace {

namespace fs = std::filesystem;

int g_namespace_tests = 0;  // tests that ran at least one isolated scan
int g_namespace_runs = 0;   // isolated child processes that ran
int g_namespace_skips = 0;

class NamespaceCount : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf("[ namespace ] %d test(s) ran in private mount namespaces (%d isolated runs), %d skipped\n",
                g_namespace_tests, g_namespace_runs, g_namespace_skips);
  }
};
const auto* const kCountEnvironment = ::testing::AddGlobalTestEnvironment(new NamespaceCount);

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The fake udevadm reads, for node /dev/NAME, the files udev/NAME.out (printed
// as is), udev/NAME.delay (seconds to sleep first) and udev/NAME.rc (exit
// status; 0 when absent, 1 when there is no .out either). It appends its
// arguments to udev/calls.log.
constexpr char kFakeUdevadm[] = R"SH(#!/bin/sh
fixture="@FIXTURE@"
printf '%s\n' "$*" >> "$fixture/udev/calls.log"
name="${5##*/}"
base="$fixture/udev/$name"
if [ -f "$base.delay" ]; then sleep "$(cat "$base.delay")"; fi
if [ -f "$base.kill" ]; then kill -9 $$; fi
if [ ! -f "$base.out" ]; then echo "fake udevadm: no device $5" >&2; exit 1; fi
cat "$base.out"
if [ -f "$base.rc" ]; then exit "$(cat "$base.rc")"; fi
exit 0
)SH";

class Fixture {
 public:
  Fixture() {
    char templ[] = "/tmp/morvane_discovery_ns_XXXXXX";
    if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    fs::create_directories(root_ / "dev");
    fs::create_directories(root_ / "sys");
    fs::create_directories(root_ / "udev");
    fs::create_directories(root_ / "empty_bin");
    std::string script = kFakeUdevadm;
    script.replace(script.find("@FIXTURE@"), 9, root_.string());
    write_file(root_ / "bin" / "udevadm", script);
    fs::permissions(root_ / "bin" / "udevadm", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  ~Fixture() {
    std::error_code ignored;
    fs::permissions(root_ / "dev", fs::perms::owner_all, ignored);
    fs::remove_all(root_, ignored);
  }

  const fs::path& root() const { return root_; }

  // A /dev entry that is a regular file (opens, but answers no V4L2 query).
  void node(const std::string& name) { write_file(root_ / "dev" / name, ""); }
  void udev(const std::string& name, const std::string& output, int rc = 0, const char* delay = nullptr) {
    write_file(root_ / "udev" / (name + ".out"), output);
    if (rc != 0) write_file(root_ / "udev" / (name + ".rc"), std::to_string(rc) + "\n");
    if (delay) write_file(root_ / "udev" / (name + ".delay"), std::string(delay) + "\n");
  }
  // A node of a camera: the entry plus udev lines.
  void camera_node(const std::string& name, const std::vector<std::string>& lines, int rc = 0,
                   const char* delay = nullptr) {
    node(name);
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    udev(name, out, rc, delay);
  }
  void sys_file(const std::string& path, const std::string& text) { write_file(root_ / "sys" / path, text); }

  std::vector<std::string> calls() const {
    std::ifstream in(root_ / "udev" / "calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }

 private:
  fs::path root_;
};

enum class DevSetup { bind_fixture, chroot_without_dev, chroot_dev_is_file, unreadable_dev };

struct Isolation {
  DevSetup dev = DevSetup::bind_fixture;
  bool udevadm_on_path = true;
};

// Runs `body` in a forked child inside a private mount namespace. Returns the
// text the body produced, or sets `skip` to the reason the namespace could not
// be made.
std::string run_isolated(const Fixture& fixture, const Isolation& how, const std::function<std::string()>& body,
                         std::string& skip) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    skip = std::string("pipe failed: ") + std::strerror(errno);
    return {};
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    skip = std::string("fork failed: ") + std::strerror(errno);
    return {};
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    auto report = [&](const std::string& text) {
      std::size_t done = 0;
      while (done < text.size()) {
        ssize_t n = write(pipe_fds[1], text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      _exit(0);
    };
    auto fail = [&](const char* what) { report(std::string("SKIP:") + what + ": " + std::strerror(errno)); };
    if (unshare(CLONE_NEWNS) != 0) fail("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("making / private");
    const std::string root = fixture.root().string();
    switch (how.dev) {
      case DevSetup::bind_fixture:
      case DevSetup::unreadable_dev:
        if (mount((root + "/dev").c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0) fail("bind /dev");
        if (mount((root + "/sys").c_str(), "/sys", nullptr, MS_BIND, nullptr) != 0) fail("bind /sys");
        break;
      case DevSetup::chroot_without_dev:
        if (chroot((root + "/udev").c_str()) != 0 || chdir("/") != 0) fail("chroot");
        break;
      case DevSetup::chroot_dev_is_file:
        write_file(fixture.root() / "bin" / "dev", "");  // bin/ holds a regular file named dev
        if (chroot((root + "/bin").c_str()) != 0 || chdir("/") != 0) fail("chroot");
        break;
    }
    if (how.dev == DevSetup::unreadable_dev) {
      if (chmod("/dev", 0) != 0) fail("chmod /dev");
      if (setgid(65534) != 0 || setuid(65534) != 0) fail("dropping to an unprivileged user");
    }
    std::string path = how.udevadm_on_path ? root + "/bin" : root + "/empty_bin";
    if (how.udevadm_on_path) path += ":/usr/local/bin:/usr/bin:/bin";
    setenv("PATH", path.c_str(), 1);
    std::string text;
    try {
      text = body();
    } catch (const std::exception& e) {
      text = std::string("EXCEPTION:") + e.what();
    }
    report(text);
  }
  close(pipe_fds[1]);
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "isolated child ended abnormally, wait status " << status;
  }
  if (out.compare(0, 5, "SKIP:") == 0) {
    skip = out.substr(5);
    return {};
  }
  return out;
}

std::string describe(const DeviceInfo& d) {
  char ids[64];
  std::snprintf(ids, sizeof(ids), "%04x:%04x bus=%u addr=%u", d.vid, d.pid, d.bus_number, d.device_address);
  std::string text = d.video_node + " " + ids + " serial=" + d.serial + " vendor=" + d.vendor + " model=" + d.model +
                     " path=" + d.usb_path + " cv=";
  for (const auto& [backend, index] : d.opencv_indices) {
    text += std::to_string(static_cast<int>(backend)) + ":" + std::to_string(index) + ",";
  }
  return text;
}

int open_descriptor_count() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(dir)) count += e->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// Scans and writes the code, message and one line per record. Also reports
// descriptors or children left behind by the scan.
std::string scan_report(const DeviceScanFilter& filter = {}) {
  int fds_before = open_descriptor_count();
  Result<std::vector<DeviceInfo>> result = scan_devices(filter);
  std::string text = "code=" + std::to_string(static_cast<int>(result.code)) + " msg=" + result.message + "\n";
  if (result.value) {
    for (const DeviceInfo& d : *result.value) text += describe(d) + "\n";
  }
  if (open_descriptor_count() != fds_before) text += "LEAKED DESCRIPTORS\n";
  if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) text += "CHILD LEFT BEHIND\n";
  return text;
}

class LinuxNamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      ++g_namespace_skips;
      GTEST_SKIP() << "needs root to make a private mount namespace (euid " << geteuid() << ")";
    }
  }

  // Runs `body` isolated; skips the test when no namespace can be made.
  std::string isolated(const std::function<std::string()>& body, Isolation how = {}) {
    std::string skip;
    std::string out = run_isolated(fixture, how, body, skip);
    if (skip.empty()) {
      g_namespace_tests += counted_ ? 0 : 1;
      counted_ = true;
      ++g_namespace_runs;
    } else {
      ++g_namespace_skips;
    }
    skip_reason = skip;
    return out;
  }

  Fixture fixture;
  std::string skip_reason;

 private:
  bool counted_ = false;
};

#define SKIP_IF_NO_NAMESPACE() \
  if (!skip_reason.empty()) GTEST_SKIP() << "no private mount namespace: " << skip_reason

const std::string kCam = "ID_VENDOR_ID=0c45";

TEST_F(LinuxNamespaceTest, CandidatesAndUdevLineRules) {
  // Only video2 and video10 are candidates; the directory video3 is one too
  // but its udev query fails.
  std::string long_head = "X_LONG=";
  long_head += std::string(1023 - long_head.size(), 'x');  // fills one 1024-byte read exactly
  fixture.udev("video2",
               "  ID_MODEL=Stereo Cam  \r\n"
               "\tID_VENDOR_ID=0c45\t\r\n"
               "ID_MODEL_ID=0643\n"
               "=ID_SERIAL=bad\n"
               "NO EQUALS SIGN\n"
               "   \r\n"
               "ID_SERIAL=first\n"
               "ID_SERIAL=second=part\n"
               "ID_VENDOR=\n"
               "ID_VENDOR_FROM_DATABASE=Sonix Technology Co., Ltd.\n"
               "ID_PATH=pci-0000:00:14.0-usb-0:2:1.0\n" +
                   long_head + "ID_SERIAL_SHORT=split-tail\n");
  fixture.node("video2");
  fixture.camera_node("video10", {kCam, "ID_MODEL_ID=0645", "ID_PATH=pci-b"});
  for (const char* name : {"video", "video1a", "videoA1", "vbi0"}) {
    fixture.camera_node(name, {kCam, "ID_MODEL_ID=0643", std::string("ID_PATH=") + name});
  }
  fs::create_directories(fixture.root() / "dev" / "video3");
  fixture.udev("video3", "");
  std::filesystem::remove(fixture.root() / "udev" / "video3.out");

  std::string out = isolated([] {
    std::string text = scan_report();
    auto props = discovery::query_udev_properties("/dev/video2");
    if (props) {
      for (const auto& [k, v] : *props) text += "[" + k + "]=[" + v + "]\n";
    }
    return text;
  });
  SKIP_IF_NO_NAMESPACE();
  EXPECT_EQ(out,
            "code=0 msg=\n"
            "/dev/video2 0c45:0643 bus=0 addr=0 serial=split-tail vendor=Sonix Technology Co., Ltd. "
            "model=Stereo Cam path=pci-0000:00:14.0-usb-0:2:1.0 cv=\n"
            "/dev/video10 0c45:0645 bus=0 addr=0 serial= vendor= model= path=pci-b cv=\n"
            "[ID_MODEL]=[Stereo Cam]\n"
            "[ID_MODEL_ID]=[0643]\n"
            "[ID_PATH]=[pci-0000:00:14.0-usb-0:2:1.0]\n"
            "[ID_SERIAL]=[second=part]\n"
            "[ID_SERIAL_SHORT]=[split-tail]\n"
            "[ID_VENDOR]=[]\n"
            "[ID_VENDOR_FROM_DATABASE]=[Sonix Technology Co., Ltd.]\n"
            "[ID_VENDOR_ID]=[0c45]\n"
            "[X_LONG]=[" +
                std::string(1016, 'x') + "]\n");
  // Only candidates were queried, with the exact arguments.
  EXPECT_EQ(fixture.calls(),
            (std::vector<std::string>{"info -q property -n /dev/video10", "info -q property -n /dev/video2",
                                      "info -q property -n /dev/video2", "info -q property -n /dev/video3"}));
}

TEST_F(LinuxNamespaceTest, FailedQueriesSkipNodes) {
  fixture.camera_node("video0", {kCam, "ID_MODEL_ID=0643", "ID_PATH=a"}, 3);  // lines, then exit 3
  fixture.camera_node("video1", {kCam, "ID_MODEL_ID=0643", "ID_PATH=b"});
  fixture.camera_node("video2", {kCam, "ID_MODEL_ID=0643", "ID_PATH=c"});
  write_file(fixture.root() / "udev" / "video2.kill", "");  // killed by a signal
  fixture.camera_node("video4", {kCam, "ID_MODEL_ID=0643", "ID_PATH=d"}, 0, "0.2");
  fixture.node("video5");  // udevadm knows nothing of it
  std::string out = isolated([] { return scan_report(); });
  SKIP_IF_NO_NAMESPACE();
  EXPECT_EQ(out,
            "code=0 msg=\n"
            "/dev/video1 0c45:0643 bus=0 addr=0 serial= vendor= model= path=b cv=\n"
            "/dev/video4 0c45:0643 bus=0 addr=0 serial= vendor= model= path=d cv=\n");
  EXPECT_EQ(fixture.calls().size(), 5u);
}

TEST_F(LinuxNamespaceTest, MissingUdevadmGivesAnEmptyList) {
  fixture.camera_node("video0", {kCam, "ID_MODEL_ID=0643", "ID_PATH=a"});
  fixture.camera_node("video1", {kCam, "ID_MODEL_ID=0645", "ID_PATH=b"});
  Isolation how;
  how.udevadm_on_path = false;
  std::string out = isolated([] { return scan_report(); }, how);
  SKIP_IF_NO_NAMESPACE();
  EXPECT_EQ(out, "code=0 msg=\n");
  EXPECT_TRUE(fixture.calls().empty());
}

TEST_F(LinuxNamespaceTest, SysfsWalkUpFindsBusAndAddress) {
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb3";
  fixture.sys_file(usb + "/busnum", "3\n");  // the root hub, above the camera
  fixture.sys_file(usb + "/devnum", "1\n");
  fixture.sys_file(usb + "/3-1/busnum", " 3\n");
  fixture.sys_file(usb + "/3-1/devnum", "7\n");
  fixture.sys_file(usb + "/3-1/3-1:1.0/busnum", "9\n");  // interface: only one of the two
  fs::create_directories(fixture.root() / "sys" / usb / "3-1/3-1:1.0/video4linux/video2");
  fixture.sys_file(usb + "/3-2/busnum", "300\n");
  fixture.sys_file(usb + "/3-2/devnum", "5\n");
  fixture.camera_node("video2", {kCam, "ID_MODEL_ID=0643", "DEVPATH=/" + usb + "/3-1/3-1:1.0/video4linux/video2"});
  fixture.camera_node("video4", {kCam, "ID_MODEL_ID=0643", "DEVPATH=/" + usb + "/3-2/3-2:1.0/video4linux/video4"});
  fixture.camera_node("video6", {kCam, "ID_MODEL_ID=0643", "DEVPATH=/devices/virtual/video4linux/video6"});
  std::string out = isolated([] { return scan_report(); });
  SKIP_IF_NO_NAMESPACE();
  EXPECT_EQ(out,
            "code=0 msg=\n"
            "/dev/video2 0c45:0643 bus=3 addr=7 serial= vendor= model= path= cv=\n"
            "/dev/video4 0c45:0643 bus=0 addr=5 serial= vendor= model= path= cv=\n"
            "/dev/video6 0c45:0643 bus=0 addr=0 serial= vendor= model= path= cv=\n");
}

TEST_F(LinuxNamespaceTest, IdentitiesMergeAndSort) {
  const std::string usb = "devices/usb1";
  fixture.sys_file(usb + "/1-1/busnum", "1\n");
  fixture.sys_file(usb + "/1-1/devnum", "10\n");
  fixture.sys_file(usb + "/1-2/busnum", "1\n");
  fixture.sys_file(usb + "/1-2/devnum", "11\n");
  // One camera by ID_PATH: video12 listed... the listing order of a tmpfs is
  // its own, so the merge result must not depend on it.
  fixture.camera_node("video12", {kCam, "ID_MODEL_ID=0643", "ID_PATH=pci-x", "ID_MODEL=Twelve"}, 0, "0.3");
  fixture.camera_node("video11", {kCam, "ID_MODEL_ID=0643", "ID_PATH=pci-x"}, 0, "0.1");
  // Two cameras told apart by bus/address, same model, no ID_PATH.
  fixture.camera_node("video2", {kCam, "ID_MODEL_ID=0645", "DEVPATH=/" + usb + "/1-1/v/video2"});
  fixture.camera_node("video3", {kCam, "ID_MODEL_ID=0645", "DEVPATH=/" + usb + "/1-2/v/video3"});
  // One camera by serial, letter case aside; upper-case hex ids.
  fixture.camera_node("video20", {"ID_VENDOR_ID=0C45", "ID_MODEL_ID=2502", "ID_SERIAL_SHORT=SN-AB"});
  fixture.camera_node("video21", {"ID_VENDOR_ID=0x0C45", "ID_MODEL_ID=2502", "ID_SERIAL_SHORT=sn-ab"});
  // Each on its own: only the node tells them apart.
  fixture.camera_node("video30", {kCam, "ID_MODEL_ID=0234"});
  fixture.camera_node("video31", {kCam, "ID_MODEL_ID=0234"});
  // Unsupported or unusable ids.
  fixture.camera_node("video40", {"ID_VENDOR_ID=046d", "ID_MODEL_ID=0825", "ID_PATH=other"});
  fixture.camera_node("video41", {kCam, "ID_MODEL_ID=", "ID_PATH=noid"});
  fixture.camera_node("video42", {kCam, "ID_MODEL_ID=fffff", "ID_PATH=big"});

  std::string out = isolated([] { return scan_report(); });
  SKIP_IF_NO_NAMESPACE();
  // The serial text is the first met in listing order.
  std::string first_serial;
  for (const auto& entry : fs::directory_iterator(fixture.root() / "dev")) {
    std::string name = entry.path().filename().string();
    if (first_serial.empty() && (name == "video20" || name == "video21")) {
      first_serial = name == "video20" ? "SN-AB" : "sn-ab";
    }
  }
  EXPECT_EQ(out,
            "code=0 msg=\n"
            "/dev/video2 0c45:0645 bus=1 addr=10 serial= vendor= model= path= cv=\n"
            "/dev/video3 0c45:0645 bus=1 addr=11 serial= vendor= model= path= cv=\n"
            "/dev/video11 0c45:0643 bus=0 addr=0 serial= vendor= model=Twelve path=pci-x cv=\n"
            "/dev/video20 0c45:2502 bus=0 addr=0 serial=" +
                first_serial +
                " vendor= model= path= cv=\n"
                "/dev/video30 0c45:0234 bus=0 addr=0 serial= vendor= model= path= cv=\n"
                "/dev/video31 0c45:0234 bus=0 addr=0 serial= vendor= model= path= cv=\n");
}

TEST_F(LinuxNamespaceTest, FiltersSelectByIdsAndSerial) {
  fixture.camera_node("video0", {kCam, "ID_MODEL_ID=0643", "ID_PATH=a", "ID_SERIAL=Full_Serial"});
  fixture.camera_node("video2", {kCam, "ID_MODEL_ID=0645", "ID_PATH=b"});
  std::string out = isolated([] {
    DeviceScanFilter by_pid;
    by_pid.pid = 0x0645;
    DeviceScanFilter other_vid;
    other_vid.vid = 0x1234;
    DeviceScanFilter serial;
    serial.require_serial = true;
    return scan_report(by_pid) + scan_report(other_vid) + scan_report(serial);
  });
  SKIP_IF_NO_NAMESPACE();
  EXPECT_EQ(out,
            "code=0 msg=\n"
            "/dev/video2 0c45:0645 bus=0 addr=0 serial= vendor= model= path=b cv=\n"
            "code=0 msg=\n"
            "code=0 msg=\n"
            "/dev/video0 0c45:0643 bus=0 addr=0 serial=Full_Serial vendor= model= path=a cv=\n");
}

TEST_F(LinuxNamespaceTest, DevMissingOrUnreadable) {
  fixture.camera_node("video0", {kCam, "ID_MODEL_ID=0643", "ID_PATH=a"});
  struct Case {
    DevSetup setup;
    const char* expected;
  };
  const Case cases[] = {{DevSetup::chroot_without_dev, "code=2 msg=/dev not found\n"},
                        {DevSetup::chroot_dev_is_file, "code=2 msg=failed to iterate /dev\n"},
                        {DevSetup::unreadable_dev, "code=2 msg=failed to iterate /dev\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.setup));
    Isolation how;
    how.dev = c.setup;
    std::string out = isolated([] { return scan_report(); }, how);
    SKIP_IF_NO_NAMESPACE();
    EXPECT_EQ(out, c.expected);
  }
  EXPECT_TRUE(fixture.calls().empty());
}

}  // namespace
}  // namespace morvane::uvc_stereo
