// The simulated camera's state file: its whole serial flash, kept between
// runs the way a real chip keeps its cells. Shared by the simulated-camera
// library and the command-line tool's --simulate mode, so both read and
// write the same file the same way.
//
// - One run at a time: a lock on "<state>.lock" (flock) is held from
//   try_lock()/wait_for_lock() until the object is destroyed, so a run that
//   loaded the flash can never put back an older copy over a document
//   another run stored meanwhile.
// - No symlink is followed, not at the state file and not at the lock, and
//   anything but a regular file is refused.
// - A missing state file is created from the factory image through a unique
//   temporary (mkostemp) renamed into place: no run sees half a file.
// - Every program and erase the virtual chip executes is written through to
//   the file at once, in place, at its offset: a run killed mid-write leaves
//   what a camera unplugged at that moment would hold, and a run that
//   changes nothing writes nothing.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "state_file.hpp is internal to the simulated camera"
#endif

#include <mutex>
#include <string>

#include "emulator/virtual_camera.hpp"
#include "morvane/uvc_stereo/result.hpp"

namespace morvane::simulation {

class StateFile {
 public:
  explicit StateFile(std::string path);
  ~StateFile();  // closes the file and the lock (which releases it)
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  const std::string& path() const { return path_; }
  std::string lock_path() const { return path_ + ".lock"; }

  // Makes the missing parent directories (0700), refuses a state file that
  // is a symlink or not a regular file, opens (creating, 0600) the lock file
  // and tries to lock it without waiting. Returns true when the lock is
  // taken, false when another run holds it.
  // Fails: invalid_argument "<path> is a symbolic link (not followed)",
  //        "<path> is not a regular file" (the state file or the lock);
  //        io_error "<operation> <path> failed: <system text>".
  uvc_stereo::Result<bool> try_lock();

  // After try_lock() returned false: blocks until the lock is free and takes
  // it. A signal that interrupts the wait and returns is waited through.
  // Fails: io_error "lock <path>.lock failed: <system text>".
  uvc_stereo::Result<void> wait_for_lock();

  // With the lock held: puts the flash into `config` (contents and size),
  // from the state file, or from the factory image (which then becomes the
  // state file) when there is none yet.
  // Fails: invalid_argument "<path> is not a simulated camera's flash
  //        (expected 1048576 bytes)", the symlink and regular-file texts
  //        above; io_error "<operation> <path> failed: <system text>";
  //        internal_error with the firmware builder's text.
  uvc_stereo::Result<void> load(emulator::CameraConfig& config);

  // Writes every change of `flash` through to the file from now on. `flash`
  // must outlive this object or drop the observer first.
  void write_through(emulator::SpiNorFlash& flash);

  // Whether every change so far reached the file: when the flash changed
  // since the last call, the file's data are flushed to the disk
  // (fdatasync). Returns the first write that failed, if any.
  // Fails: io_error "write <path> failed: <system text>",
  //        "sync <path> failed: <system text>".
  uvc_stereo::Result<void> flush();

 private:
  std::string path_;
  int lock_fd_ = -1;
  int state_fd_ = -1;
  std::mutex mutex_;  // guards the two below (the observer runs on the bus's thread)
  bool changed_ = false;
  std::string write_error_;  // the first write-through that failed
};

}  // namespace morvane::simulation
