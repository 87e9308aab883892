// Free functions: discovery, the device-free flash helpers, IMU conversion
// and the flash transport.
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::python {
namespace {

us::FlashConfig config_or_default(const std::optional<us::FlashConfig>& config) {
  return config ? *config : us::FlashConfig{};
}

}  // namespace

void bind_functions(py::module_& m) {
  m.def(
      "opencv_backend_name",
      [](std::int32_t backend) {
        return std::string(us::opencv_backend_name(static_cast<us::OpenCvBackend>(backend)));
      },
      py::arg("backend"),
      "'CAP_V4L2', 'CAP_DSHOW', 'CAP_MSMF', 'CAP_GSTREAMER', or 'CAP_UNKNOWN' for any other value.");

  m.def(
      "scan_devices",
      [](std::optional<long long> vid, std::optional<long long> pid, bool require_serial) {
        us::DeviceScanFilter filter;
        if (vid) filter.vid = checked_u16(*vid, "vid");
        if (pid) filter.pid = checked_u16(*pid, "pid");
        filter.require_serial = require_serial;
        us::Result<std::vector<us::DeviceInfo>> found;
        {
          Unlocked unlocked;
          found = us::scan_devices(filter);
        }
        return take(std::move(found));
      },
      py::arg("vid") = py::none(), py::arg("pid") = py::none(), py::arg("require_serial") = false,
      "Lists the supported cameras, one DeviceInfo per camera, sorted by video node.\n\n"
      "vid / pid keep only cameras with that vendor / product id; require_serial keeps\n"
      "only cameras that report a serial number. Raises Error (IO_ERROR) when /dev\n"
      "cannot be listed. An empty list when no camera is attached.");

  m.def(
      "crc32_ieee", [](const py::handle& data) { return us::crc32_ieee(byte_vector_of(data, "data")); },
      py::arg("data"), "CRC-32 (IEEE 802.3) of a bytes-like object; crc32_ieee(b'123456789') == 0xCBF43926.");

  m.def(
      "build_blob",
      [](long long version, const py::handle& payload, const std::optional<us::FlashConfig>& config) {
        return take(us::build_blob(checked_u16(version, "version"), byte_vector_of(payload, "payload"),
                                   config_or_default(config)));
      },
      py::arg("version"), py::arg("payload"), py::arg("config") = py::none(),
      "Builds a FlashBlob: header (magic, version, header size, payload length, CRC-32)\n"
      "then the payload. Raises Error: INVALID_ARGUMENT 'config.min_header_size must be >= 16',\n"
      "INVALID_LENGTH 'payload is too large'.");

  m.def(
      "parse_and_validate_raw_blob",
      [](const py::handle& raw, const std::optional<us::FlashConfig>& config) {
        return take(us::parse_and_validate_raw_blob(byte_vector_of(raw, "raw"), config_or_default(config)));
      },
      py::arg("raw"), py::arg("config") = py::none(),
      "Parses and checks raw blob bytes (bytes past the declared length are dropped).\n"
      "Raises Error with INVALID_HEADER, MAGIC_MISMATCH, INVALID_LENGTH or CRC_MISMATCH.");

  m.def(
      "minify_and_validate_json",
      [](const py::handle& text) -> py::object {
        const bool is_bytes = !py::isinstance<py::str>(text);
        auto minified = take(us::minify_and_validate_json(encode_text(text)));
        if (is_bytes) return py::bytes(minified);
        return decode_text(minified);
      },
      py::arg("text"),
      "Checks that text (str or bytes) is one JSON value and returns it with the\n"
      "whitespace outside strings removed, as the same type. Raises Error (INVALID_JSON):\n"
      "'json text is empty', 'invalid JSON value at offset N', 'unexpected trailing\n"
      "characters at offset N'.");

  m.def(
      "convert_imu",
      [](const us::ReadImuResult& raw, const std::optional<us::ImuConversionOptions>& options) {
        return take(us::convert_imu(raw, options ? *options : us::ImuConversionOptions{}));
      },
      py::arg("raw"), py::arg("options") = py::none(),
      "Converts a ReadImuResult to an ImuSample in g, degrees per second and degrees\n"
      "Celsius. Raises Error (INVALID_ARGUMENT) 'temperature_lsb_per_c must not be zero'.");

  // ---- Flash transport: each call opens and closes its own connection.
  m.def(
      "read_blob_from_device",
      [](const us::FlashConfig& config) {
        return take(run_interruptibly(module_worker(), [config] { return us::read_blob_from_device(config); }));
      },
      py::arg("config"), "Reads and validates the stored blob of the camera the config selects.");
  m.def(
      "write_blob_to_device",
      [](const us::FlashConfig& config, const us::FlashBlob& blob) {
        run_to_end(module_worker(), [config, blob] { return us::write_blob_to_device(config, blob); });
      },
      py::arg("config"), py::arg("blob"),
      "Erases the blob's sectors and writes the blob (then verifies it).\n"
      "Never interrupted midway (a torn write would lose the stored blob): Ctrl-C\n"
      "while it waits behind another call cancels it before it touches the camera;\n"
      "once the erase began, the call waits for the end. Then a failure raises its\n"
      "Error with the KeyboardInterrupt as __context__, and a success lets the\n"
      "KeyboardInterrupt be raised.");
  m.def(
      "probe_flash_transport",
      [](const us::FlashConfig& config) {
        check(run_interruptibly(module_worker(), [config] { return us::probe_flash_transport(config); }));
      },
      py::arg("config"), "Checks that the camera's flash answers; raises Error otherwise.");
  m.def(
      "read_firmware_version",
      [](const us::FlashConfig& config) {
        return decode_text(take(run_interruptibly(
            module_worker(), [config] { return us::detail::read_firmware_version_from_device(config); })));
      },
      py::arg("config"), "The camera's firmware version text.");
}

}  // namespace morvane::python
