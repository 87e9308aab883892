// vm_probe: checks run inside the virtual machine that the command-line tool
// cannot make on its own. Each subcommand prints "key=value" facts and exits
// with 0 when every assertion held, 1 when one failed (the reason on stderr),
// 2 on bad arguments.
//
//   imu-guard SERIAL         the document cannot be read while the IMU is open
//   node-gap SERIAL ROUNDS   how long the video node is gone after a flash
//                            operation, and whether opening the IMU (whose
//                            firmware check waits 200 ms) survives it
//   unplug-read SERIAL N     the camera leaves the bus at its N-th extension-unit
//                            request from now, during a flash read: the read
//                            must fail cleanly and promptly; then it must work
//                            again once the camera is back
//   unplug-now SERIAL        the camera leaves the bus at once (and comes back
//                            after the camera process's replug time)
//   xfer SERIAL N            time per transfer: N IMU queries through the video
//                            node, N register reads over libusb
//   two-users SERIAL N USER  N rounds of write_json and read_json while another
//                            process does the same (USER a or b): each call
//                            succeeds or fails cleanly, every document read is
//                            one of those written
#include <fcntl.h>
#include <libusb-1.0/libusb.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"

namespace us = morvane::uvc_stereo;

namespace {

double now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void sleep_ms(double ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(static_cast<long long>(ms * 1e6) % 1000000000LL)};
  nanosleep(&ts, nullptr);
}

int failed(const std::string& why) {
  std::fprintf(stderr, "vm_probe: FAILED: %s\n", why.c_str());
  return 1;
}

// The camera with this serial, waiting up to `wait_ms` for it to appear.
bool find_camera(const std::string& serial, us::DeviceInfo& out, double wait_ms = 0) {
  const double deadline = now_ms() + wait_ms;
  for (;;) {
    auto scan = us::scan_devices();
    if (scan.ok()) {
      for (const auto& d : *scan.value) {
        if (d.serial == serial) {
          out = d;
          return true;
        }
      }
    }
    if (now_ms() >= deadline) return false;
    sleep_ms(50);
  }
}

us::FlashConfig flash_config(const us::DeviceInfo& d) {
  us::FlashConfig c;
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x%04x", d.vid, d.pid);
  c.vidpid = ids;
  c.auto_select = false;
  c.bus_number = d.bus_number;
  c.device_address = d.device_address;
  c.serial = d.serial;
  c.usb_path = d.usb_path;
  return c;
}

// One IMU query on the video node: true when the driver answered.
bool imu_query(int fd) {
  std::uint8_t sample[17] = {};
  uvc_xu_control_query q{};
  q.unit = 4;
  q.selector = 10;
  q.query = UVC_GET_CUR;
  q.size = sizeof sample;
  q.data = sample;
  return ioctl(fd, UVCIOC_CTRL_QUERY, &q) == 0;
}

// Whether the node can be opened and answers an IMU query now.
bool node_ready(const std::string& node) {
  const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  v4l2_capability cap{};
  const bool ok = ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && imu_query(fd);
  close(fd);
  return ok;
}

int imu_guard(const std::string& serial) {
  us::DeviceInfo info;
  if (!find_camera(serial, info, 5000)) return failed("camera " + serial + " not found");
  us::OpenDeviceOptions options;
  options.required_capabilities = us::DeviceCapability::flash | us::DeviceCapability::imu;
  auto device = us::open_device(info, options);
  if (!device.ok()) return failed("open_device: " + device.message);
  auto before = device.value->read_json();
  std::printf("read_before_code=%d\n", static_cast<int>(before.code));
  auto opened = device.value->open_imu();
  if (!opened.ok()) return failed("open_imu: " + opened.message);
  auto sample = device.value->read_imu();
  if (!sample.ok()) return failed("read_imu: " + sample.message);
  auto refused = device.value->read_json();
  std::printf("refused_code=%d\nrefused_message=%s\n", static_cast<int>(refused.code), refused.message.c_str());
  auto write_refused = device.value->write_json("{\"x\":1}");
  std::printf("write_refused_code=%d\n", static_cast<int>(write_refused.code));
  auto again = device.value->read_imu();
  if (!again.ok()) return failed("read_imu after the refusal: " + again.message);
  auto closed = device.value->close_imu();
  if (!closed.ok()) return failed("close_imu: " + closed.message);
  auto after = device.value->read_json();
  std::printf("read_after_code=%d\n", static_cast<int>(after.code));
  if (refused.ok()) return failed("read_json succeeded while the IMU was open");
  if (write_refused.ok()) return failed("write_json succeeded while the IMU was open");
  if (after.code != before.code) return failed("read_json after close_imu differs from before open_imu");
  return 0;
}

// Watches whether a device node exists, from another thread, while a flash
// operation runs on this one.
class NodeWatch {
 public:
  explicit NodeWatch(std::string node) : node_(std::move(node)), thread_([this] { run(); }) {}
  ~NodeWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  double absent_ms() const { return absent_ms_; }
  double last_back_ms() const { return last_back_; }

 private:
  void run() {
    double missing_since = -1;
    while (!stop_) {
      const bool exists = access(node_.c_str(), F_OK) == 0;
      const double t = now_ms();
      if (!exists && missing_since < 0) missing_since = t;
      if (exists && missing_since >= 0) {
        absent_ms_ += t - missing_since;
        last_back_ = t;
        missing_since = -1;
      }
      sleep_ms(0.2);
    }
    if (missing_since >= 0) absent_ms_ += now_ms() - missing_since;
  }
  std::string node_;
  std::atomic<bool> stop_{false};
  double absent_ms_ = 0;
  double last_back_ = -1;
  std::thread thread_;
};

int node_gap(const std::string& serial, int rounds) {
  us::DeviceInfo info;
  if (!find_camera(serial, info, 5000)) return failed("camera " + serial + " not found");
  double worst = 0;
  int absent_rounds = 0;
  for (int i = 0; i < rounds; ++i) {
    // The camera may still be settling after the previous operation (udev,
    // a late re-probe, a scan that caught only some of its nodes): scan
    // again until the node it names is ready, for the same 5 s as after an
    // operation.
    const double wait_start = now_ms();
    const std::string node_before = info.video_node;
    while (!node_ready(info.video_node) && now_ms() - wait_start < 5000) {
      sleep_ms(5);
      find_camera(serial, info, 0);
    }
    if (!node_ready(info.video_node))
      return failed("node " + info.video_node + " not ready before round " + std::to_string(i));
    if (now_ms() - wait_start > 1)
      std::printf("round=%d settled_ms=%.1f node=%s->%s\n", i, now_ms() - wait_start, node_before.c_str(),
                  info.video_node.c_str());
    NodeWatch watch(info.video_node);
    const double t0 = now_ms();
    auto version = us::detail::read_firmware_version_from_device(flash_config(info));
    const double t1 = now_ms();
    if (!version.ok()) return failed("firmware version read: " + version.message);
    double ready_at = -1;
    while (now_ms() - t1 < 5000) {
      if (node_ready(info.video_node)) {
        ready_at = now_ms();
        break;
      }
      sleep_ms(1);
    }
    watch.stop();
    if (ready_at < 0) return failed("video node did not come back within 5 s");
    // Ready: the node exists, opens and answers an IMU query, counted from
    // the end of the flash operation.
    const double ready_after = ready_at - t1;
    const double back_after = watch.last_back_ms() < 0 ? 0 : std::max(0.0, watch.last_back_ms() - t1);
    absent_rounds += watch.absent_ms() > 0 ? 1 : 0;
    worst = std::max(worst, ready_after);
    std::printf("round=%d op_ms=%.1f absent_ms=%.1f back_after_op_ms=%.1f ready_after_ms=%.1f\n", i, t1 - t0,
                watch.absent_ms(), back_after, ready_after);
    // A camera re-enumerated by the flash operation would have a new
    // address; keep the record current.
    if (!find_camera(serial, info, 5000)) return failed("camera vanished");
  }
  std::printf("absent_rounds=%d/%d\nworst_ready_after_ms=%.1f\n", absent_rounds, rounds, worst);

  // The path an application takes: open_device, then open_imu (firmware
  // check over a flash connection, 200 ms wait, open the node) and read.
  int imu_failures = 0;
  for (int i = 0; i < rounds; ++i) {
    us::OpenDeviceOptions options;
    options.required_capabilities = us::DeviceCapability::flash;
    auto device = us::open_device(info, options);
    if (!device.ok()) return failed("open_device: " + device.message);
    auto opened = device.value->open_imu();
    bool ok = opened.ok();
    if (ok) {
      auto sample = device.value->read_imu();
      ok = sample.ok();
      if (!ok) std::printf("imu_round=%d read_error=%s\n", i, sample.message.c_str());
    } else {
      std::printf("imu_round=%d open_error=%d %s\n", i, static_cast<int>(opened.code), opened.message.c_str());
    }
    imu_failures += ok ? 0 : 1;
    device.value->close_imu();
    // Let the node settle before the next round.
    const double start = now_ms();
    while (!node_ready(info.video_node) && now_ms() - start < 5000) sleep_ms(5);
  }
  std::printf("imu_open_failures=%d/%d\n", imu_failures, rounds);
  if (imu_failures != 0) return failed("opening the IMU right after its firmware check failed");
  return 0;
}

// Vendor request 0xF0 to the virtual camera's harness: wValue 2 leaves the
// bus at the wIndex-th extension-unit request from now, 3 at once.
bool harness_request(const us::DeviceInfo& info, std::uint16_t command, std::uint16_t index) {
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return false;
  bool sent = false;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    if (libusb_get_bus_number(list[i]) != info.bus_number || libusb_get_device_address(list[i]) != info.device_address)
      continue;
    libusb_device_handle* h = nullptr;
    if (libusb_open(list[i], &h) == 0) {
      // Vendor request to the device itself: no interface claim needed.
      sent = libusb_control_transfer(h, 0x40, 0xF0, command, index, nullptr, 0, 1000) == 0;
      libusb_close(h);
    }
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  return sent;
}

bool harness_unplug_after(const us::DeviceInfo& info, int requests) {
  return harness_request(info, 2, static_cast<std::uint16_t>(requests));
}

// The camera leaves the bus now and comes back after its replug time.
int unplug_now(const std::string& serial) {
  us::DeviceInfo info;
  if (!find_camera(serial, info, 5000)) return failed("camera " + serial + " not found");
  if (!harness_request(info, 3, 0)) return failed("harness request not accepted");
  std::printf("unplug_sent_ms=%.1f\n", now_ms());
  return 0;
}

int unplug_read(const std::string& serial, int requests) {
  us::DeviceInfo info;
  if (!find_camera(serial, info, 5000)) return failed("camera " + serial + " not found");
  const auto before = us::read_blob_from_device(flash_config(info));
  if (!before.ok()) return failed("read before the unplug: " + before.message);
  if (!harness_unplug_after(info, requests)) return failed("harness request not accepted");
  const double t0 = now_ms();
  const auto during = us::read_blob_from_device(flash_config(info));
  const double elapsed = now_ms() - t0;
  std::printf("unplug_read_code=%d\nunplug_read_message=%s\nunplug_read_ms=%.1f\n", static_cast<int>(during.code),
              during.message.c_str(), elapsed);
  if (during.ok()) return failed("the read succeeded although the camera left the bus");
  // Back on the bus (new address): the same read works and gives the same blob.
  us::DeviceInfo back;
  if (!find_camera(serial, back, 15000)) return failed("camera did not come back");
  std::printf("address_before=%u\naddress_after=%u\n", info.device_address, back.device_address);
  const double ready_start = now_ms();
  while (!node_ready(back.video_node) && now_ms() - ready_start < 5000) sleep_ms(10);
  const auto after = us::read_blob_from_device(flash_config(back));
  if (!after.ok()) return failed("read after the replug: " + after.message);
  if (after.value->raw != before.value->raw) return failed("blob differs after the replug");
  return 0;
}

int xfer(const std::string& serial, int count) {
  us::DeviceInfo info;
  if (!find_camera(serial, info, 5000)) return failed("camera " + serial + " not found");
  // IMU queries through the kernel driver.
  const int fd = open(info.video_node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return failed("open " + info.video_node + ": " + std::strerror(errno));
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const double t = now_ms();
    if (!imu_query(fd)) {
      close(fd);
      return failed(std::string("UVCIOC_CTRL_QUERY: ") + std::strerror(errno));
    }
    times.push_back(now_ms() - t);
  }
  close(fd);
  std::sort(times.begin(), times.end());
  double sum = 0;
  for (double t : times) sum += t;
  std::printf("uvcioc_mean_ms=%.3f uvcioc_median_ms=%.3f uvcioc_max_ms=%.3f\n", sum / count, times[times.size() / 2],
              times.back());

  // Register reads over libusb: SET_CUR posts the read, GET_CUR returns it.
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return failed("libusb_init");
  libusb_device_handle* h = nullptr;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  for (ssize_t i = 0; i < n && h == nullptr; ++i) {
    if (libusb_get_bus_number(list[i]) == info.bus_number && libusb_get_device_address(list[i]) == info.device_address)
      libusb_open(list[i], &h);
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  int status = 0;
  if (h == nullptr) {
    status = failed("libusb_open");
  } else {
    const bool detached = libusb_kernel_driver_active(h, 0) == 1 && libusb_detach_kernel_driver(h, 0) == 0;
    if (libusb_claim_interface(h, 0) != 0) {
      status = failed("claim interface 0");
    } else {
      times.clear();
      for (int i = 0; i < count && status == 0; ++i) {
        unsigned char request[4] = {0x1F, 0x10, 0x00, 0xFF};  // read the chip id register
        unsigned char reply[4] = {};
        const double t = now_ms();
        const int a = libusb_control_transfer(h, 0x21, 0x01, 0x0100, 0x0300, request, 4, 1000);
        const int b = libusb_control_transfer(h, 0xA1, 0x81, 0x0100, 0x0300, reply, 4, 1000);
        times.push_back((now_ms() - t) / 2);
        if (a != 4 || b != 4)
          status = failed("register read transfer failed");
        else if (reply[2] != 0x83)
          status = failed("chip id register read back wrong");
      }
      libusb_release_interface(h, 0);
    }
    if (detached) libusb_attach_kernel_driver(h, 0);
    libusb_close(h);
    if (status == 0) {
      std::sort(times.begin(), times.end());
      sum = 0;
      for (double t : times) sum += t;
      std::printf("libusb_mean_ms=%.3f libusb_median_ms=%.3f libusb_max_ms=%.3f\n", sum / count,
                  times[times.size() / 2], times.back());
    }
  }
  libusb_exit(ctx);
  return status;
}

// The document user `user` (a or b) writes in round `round`, and every
// document any user writes: {"user":"a1","pad":"aaa..."} with pads of 40,
// 100, 70 and 130 characters, so no mix of two can pass for one.
std::string user_document(const std::string& name) {
  const std::size_t pad = name == "a1" ? 40 : name == "a2" ? 100 : name == "b1" ? 70 : 130;
  return "{\"user\":\"" + name + "\",\"pad\":\"" + std::string(pad, name[0]) + "\"}";
}

// ROUNDS rounds of write_json (the user's two documents in turn) and
// read_json on one camera, while another process does the same: every call
// must succeed or fail with an SDK code and message, and every document read
// must be one of the four written. Counts the calls that waited (took more
// than twice the fastest call of their kind) and lists each distinct failure.
int two_users(const std::string& serial, int rounds, const std::string& user) {
  if (user != "a" && user != "b") return failed("user must be a or b");
  us::DeviceInfo info;
  if (!find_camera(serial, info, 5000)) return failed("camera " + serial + " not found");
  us::OpenDeviceOptions options;
  options.required_capabilities = us::DeviceCapability::flash;
  auto device = us::open_device(info, options);
  if (!device.ok()) return failed("open_device: " + device.message);
  const std::vector<std::string> known = {user_document("a1"), user_document("a2"), user_document("b1"),
                                          user_document("b2")};
  struct Kind {
    int ok = 0, failed = 0;
    std::vector<double> ms;
  } set, get;
  int corrupt = 0, unclean = 0;
  std::vector<std::string> failures;
  auto note_failure = [&](Kind& kind, int code, const std::string& message) {
    ++kind.failed;
    if (code <= 0 || code > 14 || message.empty()) ++unclean;
    const std::string text = std::to_string(code) + " " + message;
    if (std::find(failures.begin(), failures.end(), text) == failures.end()) failures.push_back(text);
  };
  for (int round = 0; round < rounds; ++round) {
    double t = now_ms();
    auto written = device.value->write_json(user_document(user + (round % 2 == 0 ? "1" : "2")));
    set.ms.push_back(now_ms() - t);
    if (written.ok())
      ++set.ok;
    else
      note_failure(set, static_cast<int>(written.code), written.message);
    t = now_ms();
    auto read = device.value->read_json();
    get.ms.push_back(now_ms() - t);
    if (read.ok()) {
      ++get.ok;
      if (std::find(known.begin(), known.end(), read.value->json) == known.end()) {
        ++corrupt;
        std::fprintf(stderr, "round %d: unknown document %.120s\n", round, read.value->json.c_str());
      }
    } else {
      note_failure(get, static_cast<int>(read.code), read.message);
    }
  }
  auto summary = [](const char* name, Kind& k) {
    std::vector<double> sorted = k.ms;
    std::sort(sorted.begin(), sorted.end());
    int waited = 0;
    for (double ms : k.ms) waited += ms > 2 * sorted.front();
    std::printf("%s_ok=%d %s_fail=%d %s_waited=%d %s_fastest_ms=%.0f %s_median_ms=%.0f %s_max_ms=%.0f\n", name, k.ok,
                name, k.failed, name, waited, name, sorted.front(), name, sorted[sorted.size() / 2], name,
                sorted.back());
  };
  std::printf("user=%s rounds=%d corrupt=%d unclean=%d\n", user.c_str(), rounds, corrupt, unclean);
  summary("set", set);
  summary("get", get);
  for (const auto& f : failures) std::printf("failure=%s\n", f.c_str());
  if (corrupt != 0) return failed("documents read that nobody wrote");
  if (unclean != 0) return failed("failures without an SDK code and message");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vm_probe imu-guard|node-gap|unplug-read|xfer SERIAL [N]\n");
    return 2;
  }
  const std::string command = argv[1];
  const std::string serial = argv[2];
  const int n = argc > 3 ? std::atoi(argv[3]) : 0;
  if (command == "imu-guard") return imu_guard(serial);
  if (command == "node-gap" && n > 0) return node_gap(serial, n);
  if (command == "unplug-read" && n > 0) return unplug_read(serial, n);
  if (command == "unplug-now") return unplug_now(serial);
  if (command == "xfer" && n > 0) return xfer(serial, n);
  if (command == "two-users" && n > 0 && argc > 4) return two_users(serial, n, argv[4]);
  std::fprintf(stderr, "vm_probe: unknown command or missing count\n");
  return 2;
}
