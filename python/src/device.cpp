// Device and open_device.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"

namespace morvane::python {

void bind_fast_read(py::module_& m, py::class_<PyDevice, std::unique_ptr<PyDevice>>& device);
void bind_imu_stream(py::module_& m, py::class_<PyDevice, std::unique_ptr<PyDevice>>& device);

void bind_device(py::module_& m) {
  py::class_<PyDevice, std::unique_ptr<PyDevice>> device(
      m, "Device",
      "An opened camera: its stored document and its IMU. A context manager:\n\n"
      "    with open_device(info) as dev:\n"
      "        doc = dev.read_json()\n\n"
      "Leaving the block closes the device (its IMU, and the capture of its frameset streams),\n"
      "also on an exception.\n"
      "After close() every operation raises Error (INVALID_ARGUMENT) 'device is closed\n"
      "or moved-from'. Calls on one Device from several threads are serialised; the\n"
      "interpreter lock is released while the camera is being talked to.");

  device.def_property_readonly(
      "info", [](PyDevice& d) { return d.peek([](const us::Device& dev) { return dev.info(); }); },
      "A copy of the DeviceInfo the device was opened with (an empty record once closed).");
  device.def_property_readonly(
      "closed",
      [](PyDevice& d) { return d.closing.load() || d.peek([](const us::Device& dev) { return dev.info().vid == 0; }); },
      "True once the device has been closed.");
  device.def(
      "is_connected",
      [](PyDevice& d) { return !d.closing.load() && d.peek([](const us::Device& dev) { return dev.is_connected(); }); },
      "True while the camera is attached (one stat() of its USB device node, cheap to\n"
      "poll). A camera that left stays False even once it is back: open it again from\n"
      "a new scan. A flash operation does not make it False. False once closed.");
  device.def(
      "read_blob", [](PyDevice& d) { return take(d.read([](us::Device& dev) { return dev.read_blob(); })); },
      "The stored blob (FlashBlob) byte for byte: header, document and CRC, checked as\n"
      "read_json() checks it. Raises Error like read_json().");
  device.def(
      "backup",
      [](PyDevice& d, const py::object& path) {
        us::FlashBlob blob = take(d.read([](us::Device& dev) { return dev.read_blob(); }));
        // Exclusive creation: an earlier backup (perhaps the only copy of the
        // factory calibration) is never overwritten.
        py::object file = py::module_::import("builtins").attr("open")(path, "xb");
        try {
          file.attr("write")(to_bytes(blob.raw));
          file.attr("flush")();
          py::module_::import("os").attr("fsync")(file.attr("fileno")());
        } catch (...) {
          file.attr("close")();
          throw;
        }
        file.attr("close")();
        return blob;
      },
      py::arg("path"),
      "Saves the stored blob to a new file at path (FileExistsError when it exists) and\n"
      "returns it (FlashBlob). Take one before write_json(); write_blob_to_device() or\n"
      "the tool's 'config restore' puts it back.");
  device.def(
      "has_flash_transport",
      [](PyDevice& d) { return d.call([](us::Device& dev) { return dev.has_flash_transport(); }); },
      "True when the flash was verified at open time.");
  device.def(
      "has_imu_transport", [](PyDevice& d) { return d.call([](us::Device& dev) { return dev.has_imu_transport(); }); },
      "True once an IMU reader has been opened on this device.");

  device.def(
      "write_json",
      [](PyDevice& d, const py::handle& text) {
        const std::string bytes = encode_text(text);
        d.change([bytes](us::Device& dev) { return dev.write_json(bytes); });
      },
      py::arg("text"),
      "Validates and minifies text (str or bytes), stores it as the document (version 0)\n"
      "and waits until the camera settles. Raises Error: INVALID_JSON before any device\n"
      "access, INVALID_ARGUMENT 'IMU must be closed before flash JSON access', or the\n"
      "flash layer's failure.\n"
      "Never interrupted midway (a torn write would lose the stored document): Ctrl-C\n"
      "while it waits behind another call on the device cancels it before it touches\n"
      "the camera; once the write began, the call waits for its end. Then a failed\n"
      "write raises its Error with the KeyboardInterrupt as __context__, and a write\n"
      "that succeeded lets the KeyboardInterrupt be raised.\n"
      "The flash holds one copy of the document: a camera that stops answering or\n"
      "leaves midway leaves it torn, and read_json() then fails the blob's checks rather\n"
      "than return it. Take a backup() first to put it back.");
  device.def(
      "open_imu", [](PyDevice& d) { check(d.call([](us::Device& dev) { return dev.open_imu(); })); },
      "Checks the firmware and opens the IMU (a no-op when already open). Raises Error:\n"
      "UNSUPPORTED 'IMU is not supported by this device', IO_ERROR, ...");
  device.def(
      "read_imu", [](PyDevice& d) { return take(d.read([](us::Device& dev) { return dev.read_imu(); })); },
      "One raw sample (ReadImuResult) by one request to the device. Raises Error\n"
      "(INVALID_ARGUMENT) 'IMU is not open' unless open_imu() succeeded.");
  device.def(
      "close_imu", [](PyDevice& d) { check(d.call([](us::Device& dev) { return dev.close_imu(); })); },
      "Closes the IMU (succeeds when it is not open).");
  device.def(
      "close", [](PyDevice& d) { d.close(); },
      "Closes the device and its IMU, and ends its frameset streams (their captures stop;\n"
      "frames still held keep their buffers). Safe to call twice, and from any thread: it never\n"
      "waits for a camera that does not answer. A call waiting for such a camera on\n"
      "another thread gives up at once with the closed error; the connection itself is\n"
      "closed once that camera's request ends (its timeout at the latest).");
  device.def("__enter__", [](py::object self) { return self; });
  device.def(
      "__exit__",
      [](PyDevice& d, const py::object&, const py::object&, const py::object&) {
        d.close();
        return false;
      },
      py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
  device.def("__repr__", [](PyDevice& d) {
    us::DeviceInfo info = d.peek([](const us::Device& dev) { return dev.info(); });
    if (d.closing.load() || (info.vid == 0 && info.pid == 0)) return std::string("<morvane_uvc_stereo.Device closed>");
    char ids[48];
    std::snprintf(ids, sizeof ids, "%04x:%04x", info.vid, info.pid);
    return "<morvane_uvc_stereo.Device " + std::string(ids) + " " +
           std::string(py::repr(decode_text(info.video_node))) +
           " serial=" + std::string(py::repr(decode_text(info.serial))) + ">";
  });

  m.def(
      "open_device",
      [](const std::optional<us::DeviceInfo>& info, const py::int_& required_capabilities,
         const std::optional<std::string>& serial) {
        us::OpenDeviceOptions options;
        // An int beyond 32 bits has unknown bits too: the SDK refuses it so.
        options.required_capabilities = static_cast<std::uint32_t>(
            uint_in_range(required_capabilities, 0xFFFFFFFFu, "required_capabilities").value_or(0xFFFFFFFFu));
        if (info && serial && info->serial != *serial)
          throw py::value_error("info is the camera with serial " + std::string(py::repr(decode_text(info->serial))) +
                                ", not " + std::string(py::repr(decode_text(*serial))));
        if (!info && !serial) throw py::type_error("open_device() needs info or serial");
        // A signal interrupts the wait; a camera opened meanwhile is closed
        // again on the worker. The object is made (and registered) on the
        // worker, inside the call's pass: a simulation switch that follows
        // finds it and closes it.
        using Opened = us::Result<std::unique_ptr<PyDevice>>;
        Opened opened = run_interruptibly(module_worker(), [info, serial, options]() -> Opened {
          const auto made = [](us::Result<us::Device> d) {
            if (!d.ok()) return Opened::forward(d);
            return Opened::success(std::make_unique<PyDevice>(std::move(*d.value)));
          };
          if (info) return made(us::open_device(*info, options));
          us::Result<std::vector<us::DeviceInfo>> scan = us::scan_devices();
          if (!scan.ok()) return Opened::forward(scan);
          for (const us::DeviceInfo& d : *scan.value)
            if (d.serial == *serial) return made(us::open_device(d, options));
          return Opened::failure(us::ErrorCode::device_unavailable,
                                 "no camera with serial '" + *serial + "' is attached");
        });
        return take(std::move(opened));
      },
      py::arg("info") = py::none(), py::arg("required_capabilities") = 0x1, py::kw_only(),
      py::arg("serial") = py::none(),
      "Opens the camera described by info (normally from scan_devices()), or with\n"
      "serial=... the attached camera of that serial (a fresh scan finds it).\n\n"
      "required_capabilities (DeviceCapability bits): FLASH (default) probes the flash,\n"
      "FLASH_JSON reads and checks the stored document, NONE touches nothing.\n"
      "A record the attached cameras contradict (another serial at its bus and address,\n"
      "its serial elsewhere, its video node another camera's) is refused: a stale copy\n"
      "would reach another camera.\n"
      "Raises Error: INVALID_ARGUMENT 'open_device required_capabilities contains\n"
      "unknown bits' or 'selected device has invalid vid/pid', DEVICE_UNAVAILABLE for a\n"
      "stale record or an unknown serial, or the flash layer's failure unchanged.");

  bind_fast_read(m, device);
  bind_imu_stream(m, device);
}

}  // namespace morvane::python
