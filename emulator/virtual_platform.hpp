// The operating system as the SDK sees it, with virtual cameras plugged in:
// libusb (device list, descriptors, handles, kernel-driver binding, interface
// claims, control transfers), the /dev listing, `udevadm info`, the sysfs
// busnum/devnum attributes, the video nodes with VIDIOC_QUERYCAP and
// UVCIOC_CTRL_QUERY, and a virtual monotonic clock on which sleeps return at
// once.
//
// Each operation keeps the contract of the system call or libusb function it
// stands for, including its failures. The platform also watches how it is
// used: leaked handles, lists, descriptors and libusb contexts, and
// overlapping USB connections to one camera (a second handle opened while
// one is open, or a transfer started while another thread's transfer is in
// progress) are counted and recorded so tests can assert there were none.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_clock.hpp"
#include "platform/platform.hpp"

namespace morvane::emulator {

// One misuse of the USB connection that a real camera would punish.
struct UsbOverlap {
  std::size_t camera = 0;   // index in the platform
  std::string description;  // what happened, for test output
};

class VirtualPlatform : public uvc_stereo::platform::Platform {
 public:
  VirtualPlatform();
  ~VirtualPlatform() override;
  VirtualPlatform(const VirtualPlatform&) = delete;
  VirtualPlatform& operator=(const VirtualPlatform&) = delete;

  // Plugs in a camera; returns it (owned by the platform, stable address).
  VirtualCamera& add_camera(const CameraConfig& config);
  std::size_t camera_count() const;
  VirtualCamera& camera(std::size_t index);
  VirtualClock& clock() { return clock_; }

  // ---- Usage checks.
  std::vector<UsbOverlap> overlaps() const;
  // Calls that libusb or the kernel would reject or crash on: unknown or
  // closed handles and devices, a list freed twice, usb_exit without
  // usb_init, and the like.
  std::vector<std::string> misuses() const;
  std::size_t open_handle_count() const;
  std::size_t outstanding_device_lists() const;  // lists not yet freed
  int usb_context_refs() const;                  // usb_init calls not matched by usb_exit
  std::size_t open_video_fd_count() const;
  std::size_t open_lock_count() const;            // lock descriptors not yet closed
  std::vector<std::string> commands_run() const;  // every run_command text, in order
  std::size_t unclosed_command_count() const;     // command streams destroyed without close()

  // ---- Faults of the system around the cameras.
  void set_usb_init_error(int error);          // usb_init fails with it (0: succeeds)
  void set_device_list_error(int error);       // usb_get_device_list fails with it
  void set_dev_missing(bool missing);          // "/dev" does not exist
  void set_dev_listing_fails(bool fails);      // "/dev" cannot be listed
  void set_udevadm_available(bool available);  // false: the shell reports status 127
  void set_command_start_fails(bool fails);    // run_command cannot start a child
  // udev's event monitor. The virtual udev sends its monitors what changed
  // in the devices (cameras unplugged, replugged or re-enumerated, the UVC
  // driver detached or attached) when deliver_udev_events() is called, and
  // at once when the change is a driver detach or attach made through this
  // platform. Events come in kernel order: a camera's video nodes leave
  // before its USB device, and arrive after it.
  void deliver_udev_events();
  void set_udev_monitor_available(bool available);  // false: open fails (EPROTONOSUPPORT)
  // Each open monitor's next receive fails with `error`. ENOBUFS is an
  // overflow of the receive queue: the events waiting in it are lost, as
  // the kernel drops what no longer fits.
  void fail_next_udev_receive(int error);
  // Whether udevd runs: its control socket /run/udev/control exists (true
  // unless set otherwise).
  void set_udev_running(bool running);
  // The UVC driver's next `count` extension-unit queries (UVCIOC_CTRL_QUERY)
  // on camera `camera`'s capture node fail with `error` and take their usual
  // time; calls add to the queries already set to fail. With reply_lost the
  // device answered and the reply was lost on the way back (the host
  // controller reports EPROTO for a CRC or bit-stuffing error, EIO for
  // other transfer errors): a queueing IMU has handed its sample out.
  // Otherwise the request never reached the device. A query the device
  // fails on its own (a camera off the bus) reports that instead.
  void fail_next_imu_queries(std::size_t camera, int error, int count = 1, bool reply_lost = false);
  // Replaces what a file reads (for example a sysfs busnum holding "300\n");
  // the file then exists whatever the cameras' state.
  void set_file_override(const std::string& path, const std::string& contents);

  // ---- Platform.
  int usb_init() override;
  void usb_exit() override;
  ssize_t usb_get_device_list(libusb_device*** list) override;
  void usb_free_device_list(libusb_device** list, int unref_devices) override;
  int usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) override;
  std::uint8_t usb_get_bus_number(libusb_device* dev) override;
  std::uint8_t usb_get_device_address(libusb_device* dev) override;
  int usb_open(libusb_device* dev, libusb_device_handle** handle) override;
  void usb_close(libusb_device_handle* handle) override;
  int usb_kernel_driver_active(libusb_device_handle* handle, int interface_number) override;
  int usb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) override;
  int usb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) override;
  int usb_claim_interface(libusb_device_handle* handle, int interface_number) override;
  int usb_release_interface(libusb_device_handle* handle, int interface_number) override;
  int usb_set_configuration(libusb_device_handle* handle, int configuration) override;
  int usb_control_transfer(libusb_device_handle* handle, std::uint8_t request_type, std::uint8_t request,
                           std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length,
                           unsigned int timeout_ms) override;
  const char* usb_error_name(int code) override;

  bool path_exists(const std::string& path) override;
  bool list_directory(const std::string& path, std::vector<std::string>& names) override;
  bool read_file_line(const std::string& path, char* buffer, int size) override;
  std::unique_ptr<uvc_stereo::platform::CommandStream> run_command(const std::string& command) override;

  std::unique_ptr<uvc_stereo::platform::UdevMonitor> open_udev_monitor() override;

  // Advisory locks on the USB device nodes of attached cameras
  // (/dev/bus/usb/BBB/DDD; any other path: ENOENT), with flock's rule that
  // each open descriptor is its own owner.
  int lock_open(const std::string& path) override;
  int lock_try(int fd) override;
  int lock_close(int fd) override;

  int video_open(const std::string& path, int flags) override;
  int video_ioctl(int fd, unsigned long request, void* arg) override;
  int video_close(int fd) override;

  int monotonic_time(timespec* now) override;
  int sleep(const timespec* request, timespec* remaining) override;

  // The udev properties of a video node as `udevadm info -q property` prints
  // them, one KEY=VALUE line each; empty when the node does not exist.
  std::string udev_properties(const std::string& node);

 private:
  struct State;
  VirtualClock clock_;
  std::unique_ptr<State> state_;
};

}  // namespace morvane::emulator
