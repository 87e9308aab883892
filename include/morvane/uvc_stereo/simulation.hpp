// A simulated camera for testing applications without hardware.
//
// SimulatedCamera plugs one virtual stereo camera (the same one the
// command-line tool's --simulate mode uses: a Sonix controller with a
// firmware image, a factory calibration document in its serial flash and a
// moving IMU) into the operating-system layer of libmorvane_uvc_stereo_sdk.
// While it is active, every call of the C++ library in this process
// (scan_devices, open_device, Device, the flash functions) talks to that
// camera instead of the machine's USB devices and video nodes. Waits the SDK
// makes (the settle times after flash access, the IMU gate) run on the
// simulation's virtual clock and return at once.
//
// Link libmorvane_uvc_stereo_sim next to libmorvane_uvc_stereo_sdk
// (pkg-config morvane_uvc_stereo_sim, or the CMake target
// morvane::uvc_stereo_sim). The C library (libmorvane_uvc_stereo_sdk_c)
// carries its own copy of the core and is not affected.
//
//   auto sim = morvane::uvc_stereo::SimulatedCamera::start({"flash.bin"});
//   if (!sim.ok()) return fail(sim.message);
//   auto devices = morvane::uvc_stereo::scan_devices();   // the virtual camera
//   ...
//   // sim goes out of scope: flash.bin holds the flash (every change was
//   // written to it as it happened), its lock is released, the real
//   // system is back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "morvane/uvc_stereo/result.hpp"

#if defined(MORVANE_UVC_STEREO_STATIC)
#define MORVANE_UVC_STEREO_SIM_API
#else
#define MORVANE_UVC_STEREO_SIM_API __attribute__((visibility("default")))
#endif

namespace morvane::uvc_stereo {

struct SimulatedCameraOptions {
  // File that keeps the camera's whole serial flash (1 MiB) between runs; the
  // tool's --simulate state file is one, and the tool and this library may
  // use the same file in turn. Empty: the factory image, nothing kept, no
  // file touched.
  //
  // The file is the camera's flash as a real chip keeps its cells. start()
  // loads it, or, when it does not exist, writes the factory image as the
  // file (a unique temporary, 0600, renamed into place; missing directories
  // are made 0700). While the simulation runs, every program and erase the
  // virtual chip executes is written through to the file at once, in place:
  // a process that dies mid-write leaves what a camera unplugged at that
  // moment would hold, and a simulation that changes nothing writes nothing
  // (the file keeps its bytes and its modification time).
  //
  // One user at a time: from start() to stop() the simulation holds a lock
  // (flock) on "<state_file>.lock", which the tool's --simulate runs take
  // too, so no one can put back an older flash over a document stored
  // meanwhile. start() does not wait for it: while another process (a tool
  // run, or another program using this library) holds it, start() fails at
  // once with device_unavailable (see start()), and the caller may try
  // again. A tool run started meanwhile waits until stop(). Neither the
  // state file nor the lock file is followed when it is a symlink.
  std::string state_file;
};

// At most one simulated camera is active in a process at a time. Move-only;
// a moved-from object is inactive.
//
// Lifetime rule: destroy (or move out and drop) every Device opened while the
// simulation was active before it stops; a Device whose IMU is open keeps a
// descriptor that only the virtual camera knows. Do not start or stop a
// simulation while another thread is inside an SDK call.
class MORVANE_UVC_STEREO_SIM_API SimulatedCamera {
 public:
  // Starts the simulated camera and routes the C++ library to it.
  // Fails: invalid_argument "a simulated camera is already active";
  //        device_unavailable "the simulated camera <state_file> is in use
  //        by another run (<state_file>.lock is locked)";
  //        invalid_argument "<path> is a symbolic link (not followed)" or
  //        "<path> is not a regular file", for the state file or its lock;
  //        invalid_argument "<state_file> is not a simulated camera's flash
  //        (expected 1048576 bytes)";
  //        io_error "<operation> <path> failed: <system text>" (mkdir, stat,
  //        open, lock, create, write, read) when the file, its lock or its
  //        directory cannot be made or read;
  //        internal_error with the firmware builder's text when the factory
  //        image cannot be built.
  // Nothing is held after a failure.
  static Result<SimulatedCamera> start(const SimulatedCameraOptions& options = {});

  SimulatedCamera(SimulatedCamera&&) noexcept;
  SimulatedCamera& operator=(SimulatedCamera&&) noexcept;
  SimulatedCamera(const SimulatedCamera&) = delete;
  SimulatedCamera& operator=(const SimulatedCamera&) = delete;
  // Stops the simulation (see stop()); a failure to save is dropped here, so
  // call stop() first where it matters.
  ~SimulatedCamera();

  bool active() const noexcept;
  const std::string& state_file() const noexcept;

  // The flash's changes reach the state file as they happen; save() makes
  // sure they are on the disk: when the flash changed since the last save()
  // it flushes the file (fdatasync), and it reports the first write-through
  // that failed, if any (that failure stays reported). Succeeds without
  // doing anything when there is no state file or nothing changed.
  // Fails: invalid_argument "simulated camera is not active";
  //        io_error "write <state_file> failed: <system text>",
  //        "sync <state_file> failed: <system text>".
  Result<void> save();

  // Saves (as save()), gives the library back the real system, then
  // releases the state file's lock. The simulation is stopped even when
  // saving fails; that failure is returned. Stopping an inactive object
  // succeeds and does nothing.
  Result<void> stop();

  // The virtual clock, in nanoseconds of the SDK's monotonic clock while the
  // simulation is active. advance_time_ns moves it forward (the IMU produces
  // samples as it advances; the SDK's own sleeps advance it too).
  // Both do nothing / return 0 on an inactive object.
  std::uint64_t now_ns() const noexcept;
  void advance_time_ns(std::uint64_t delta_ns) noexcept;

  // Takes the camera off the bus (its video nodes and USB device vanish, an
  // open IMU fails its next read) or puts it back (a new device address, as
  // a real replug gives). Each tells the virtual udev at once, so a
  // DeviceMonitor sees "removed" and "arrived". No-ops on an inactive object
  // and when the camera is already in that state.
  void unplug() noexcept;
  void replug() noexcept;
  bool plugged_in() const noexcept;

  // Makes the camera stop answering, as a hung firmware does: every flash
  // or IMU request then waits, in real time, for an answer that does not
  // come, until its own timeout passes (1 s for the SDK's USB transfers,
  // 5 s for IMU queries, the kernel UVC driver's timeout) and it fails as
  // timed out (the time waited passes on the virtual clock too).
  // resume_answering() lets the waiting requests through at once, answered
  // normally; so do unplug() and stop(). waiting_requests() counts the
  // requests waiting now. No-ops / 0 on an inactive object.
  void stop_answering() noexcept;
  void resume_answering() noexcept;
  bool answering() const noexcept;
  std::size_t waiting_requests() const noexcept;

  // What the SDK holds open on the virtual system right now: video nodes
  // (an open IMU holds one) and USB device handles (only during a flash
  // operation). For tests that check an application releases the camera.
  // 0 on an inactive object.
  std::size_t open_video_nodes() const noexcept;
  std::size_t open_usb_handles() const noexcept;

  class Impl;

 private:
  explicit SimulatedCamera(std::unique_ptr<Impl> impl) noexcept;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvane::uvc_stereo
