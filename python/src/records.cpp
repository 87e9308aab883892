// The plain records: DeviceInfo, FlashConfig, FlashBlob, ReadJsonResult,
// ReadImuResult, ImuConversionOptions, ImuSample, DeviceWhitelistEntry.
#include <pybind11/stl.h>

#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::python {
namespace {

// ---- Field helpers: range-checked integers, surrogateescape texts, triples.

template <typename C, typename T>
void int_field(py::class_<C>& cls, const char* name, T C::*member, const char* doc) {
  cls.def_property(
      name, [member](const C& c) { return c.*member; },
      [member, name](C& c, long long value) {
        // Every field bound here fits in long long (uint64 fields use u64_field).
        static_assert(sizeof(T) < sizeof(long long) || std::is_signed_v<T>, "use u64_field");
        if (value < static_cast<long long>(std::numeric_limits<T>::min()) ||
            value > static_cast<long long>(std::numeric_limits<T>::max()))
          throw py::value_error(std::string(name) + " must be in " +
                                std::to_string(static_cast<long long>(std::numeric_limits<T>::min())) + ".." +
                                std::to_string(static_cast<unsigned long long>(std::numeric_limits<T>::max())));
        c.*member = static_cast<T>(value);
      },
      doc);
}

template <typename C>
void u64_field(py::class_<C>& cls, const char* name, std::uint64_t C::*member, const char* doc) {
  cls.def_property(
      name, [member](const C& c) { return c.*member; },
      [member, name](C& c, const py::int_& value) {
        const auto v = uint_in_range(value, std::numeric_limits<std::uint64_t>::max(), name);
        if (!v) throw py::value_error(std::string(name) + " must be in 0..18446744073709551615");
        c.*member = *v;
      },
      doc);
}

template <typename C>
void text_field(py::class_<C>& cls, const char* name, std::string C::*member, const char* doc) {
  cls.def_property(
      name, [member](const C& c) { return decode_text(c.*member); },
      [member](C& c, const py::handle& value) { c.*member = encode_text(value); }, doc);
}

template <typename C>
void bytes_field(py::class_<C>& cls, const char* name, std::vector<std::uint8_t> C::*member, const char* doc) {
  cls.def_property(
      name, [member](const C& c) { return to_bytes(c.*member); },
      [member, name](C& c, const py::handle& value) { c.*member = byte_vector_of(value, name); }, doc);
}

template <typename C, typename T>
void triple_field(py::class_<C>& cls, const char* name, T (C::*member)[3], const char* doc) {
  cls.def_property(
      name, [member](const C& c) { return py::make_tuple((c.*member)[0], (c.*member)[1], (c.*member)[2]); },
      [member, name](C& c, const py::sequence& values) {
        if (values.size() != 3) throw py::value_error(std::string(name) + " must have 3 elements (x, y, z)");
        T converted[3];
        for (std::size_t i = 0; i < 3; ++i) {
          if constexpr (std::is_integral_v<T>) {
            const long long v = values[i].cast<long long>();
            if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max())
              throw py::value_error(std::string(name) + " elements must be in " +
                                    std::to_string(std::numeric_limits<T>::min()) + ".." +
                                    std::to_string(std::numeric_limits<T>::max()));
            converted[i] = static_cast<T>(v);
          } else {
            converted[i] = values[i].cast<T>();
          }
        }
        for (std::size_t i = 0; i < 3; ++i) (c.*member)[i] = converted[i];
      },
      doc);
}

// Keyword construction, equality and a repr listing `fields`, for a record
// class whose fields are properties.
template <typename C>
void record_protocol(py::class_<C>& cls, std::vector<const char*> fields, bool generic_repr = true) {
  cls.def(py::init([](const py::kwargs& kwargs) {
            C value{};
            py::object view = py::cast(&value, py::return_value_policy::reference);
            py::object type = py::type::of<C>();
            for (auto item : kwargs) {
              const std::string key = py::str(item.first);
              if (key.empty() || key[0] == '_' || !py::hasattr(type, key.c_str()) ||
                  !py::isinstance(type.attr(key.c_str()), py::module_::import("builtins").attr("property")))
                throw py::type_error(std::string(py::str(type.attr("__name__"))) +
                                     "() got an unexpected keyword argument '" + key + "'");
              view.attr(key.c_str()) = item.second;
            }
            return value;
          }),
          "Every field may be given by keyword; the others keep their defaults.");
  if (generic_repr)
    cls.def("__repr__", [fields](const py::object& self) {
      std::string out = std::string(py::str(py::type::of(self).attr("__name__"))) + "(";
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ", ";
        out += fields[i];
        out += "=";
        out += std::string(py::repr(self.attr(fields[i])));
      }
      return out + ")";
    });
  cls.def("__eq__", [fields](const py::object& self, const py::object& other) -> py::object {
    if (!py::isinstance(other, py::type::of(self))) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    for (const char* f : fields)
      if (!self.attr(f).equal(other.attr(f))) return py::bool_(false);
    return py::bool_(true);
  });
  cls.attr("__hash__") = py::none();
  cls.def("__copy__", [](const C& self) { return C(self); });
  cls.def(
      "__deepcopy__", [](const C& self, const py::object&) { return C(self); }, py::arg("memo"));
  py::list names;
  for (const char* f : fields) names.append(f);
  cls.attr("_fields") = py::tuple(names);
}

}  // namespace

py::dict opencv_indices_to_python(const std::map<us::OpenCvBackend, std::int32_t>& indices) {
  py::dict out;
  py::object key = types_attr("_backend_key");
  for (const auto& [backend, index] : indices) out[key(static_cast<std::int32_t>(backend))] = index;
  return out;
}

void bind_records(py::module_& m) {
  // ---- DeviceInfo.
  py::class_<us::DeviceInfo> info(m, "DeviceInfo",
                                  "One discovered camera, as scan_devices() reports it.\n\n"
                                  "opencv_indices maps each OpenCV capture backend (OpenCvBackend) to the index\n"
                                  "under which that backend opens this camera, e.g.\n"
                                  "cv2.VideoCapture(info.opencv_indices[OpenCvBackend.V4L2], cv2.CAP_V4L2).");
  int_field(info, "vid", &us::DeviceInfo::vid, "USB vendor id.");
  int_field(info, "pid", &us::DeviceInfo::pid, "USB product id.");
  int_field(info, "bus_number", &us::DeviceInfo::bus_number, "USB bus number.");
  int_field(info, "device_address", &us::DeviceInfo::device_address, "USB device address on that bus.");
  text_field(info, "serial", &us::DeviceInfo::serial,
             "Serial number (udev ID_SERIAL_SHORT or ID_SERIAL); may be empty.");
  text_field(info, "vendor", &us::DeviceInfo::vendor, "Vendor name (udev ID_VENDOR).");
  text_field(info, "model", &us::DeviceInfo::model, "Model name (udev ID_MODEL).");
  text_field(info, "video_node", &us::DeviceInfo::video_node, "Video device node, e.g. /dev/video0.");
  text_field(info, "usb_path", &us::DeviceInfo::usb_path, "USB topology path (udev ID_PATH).");
  info.def_property(
      "opencv_indices", [](const us::DeviceInfo& d) { return opencv_indices_to_python(d.opencv_indices); },
      [](us::DeviceInfo& d, const py::dict& indices) {
        std::map<us::OpenCvBackend, std::int32_t> converted;
        for (auto item : indices)
          converted[static_cast<us::OpenCvBackend>(item.first.cast<std::int32_t>())] = item.second.cast<std::int32_t>();
        d.opencv_indices = std::move(converted);
      },
      "dict: OpenCvBackend (or int) -> capture index. A copy: assign a new dict to change it.");
  record_protocol(info,
                  {"vid", "pid", "bus_number", "device_address", "serial", "vendor", "model", "video_node", "usb_path",
                   "opencv_indices"},
                  /*generic_repr=*/false);
  info.def("__repr__", [](const us::DeviceInfo& d) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid=0x%04x, pid=0x%04x", d.vid, d.pid);
    return "DeviceInfo(" + std::string(ids) + ", bus_number=" + std::to_string(d.bus_number) +
           ", device_address=" + std::to_string(d.device_address) +
           ", serial=" + std::string(py::repr(decode_text(d.serial))) +
           ", vendor=" + std::string(py::repr(decode_text(d.vendor))) +
           ", model=" + std::string(py::repr(decode_text(d.model))) +
           ", video_node=" + std::string(py::repr(decode_text(d.video_node))) +
           ", usb_path=" + std::string(py::repr(decode_text(d.usb_path))) +
           ", opencv_indices=" + std::string(py::repr(opencv_indices_to_python(d.opencv_indices))) + ")";
  });

  // ---- FlashConfig.
  py::class_<us::FlashConfig> config(m, "FlashConfig",
                                     "Where the configuration blob lives in flash, how it is checked and which\n"
                                     "camera holds it. The defaults are the SDK's (blob at 0x51000, magic 'MORV').");
  text_field(config, "vidpid", &us::FlashConfig::vidpid,
             "'%04x%04x' of vid then pid; selects the camera when not empty.");
  config.def_readwrite("auto_select", &us::FlashConfig::auto_select, "Scan for a camera when vidpid is empty.");
  int_field(config, "auto_select_vid", &us::FlashConfig::auto_select_vid, "Vendor id the scan looks for (0: any).");
  int_field(config, "auto_select_pid", &us::FlashConfig::auto_select_pid, "Product id the scan looks for (0: any).");
  int_field(config, "bus_number", &us::FlashConfig::bus_number, "USB bus number of the camera (0: any).");
  int_field(config, "device_address", &us::FlashConfig::device_address, "USB device address (0: any).");
  text_field(config, "serial", &us::FlashConfig::serial, "Carried along; not read by the flash code.");
  text_field(config, "usb_path", &us::FlashConfig::usb_path, "Carried along; not read by the flash code.");
  int_field(config, "flash_address", &us::FlashConfig::flash_address, "Flash address of the blob.");
  int_field(config, "sector_size", &us::FlashConfig::sector_size, "Erase sector size (0 is treated as 1).");
  int_field(config, "magic", &us::FlashConfig::magic, "Magic number the blob starts with (little-endian).");
  int_field(config, "max_total_length", &us::FlashConfig::max_total_length, "Largest header + payload accepted.");
  int_field(config, "min_header_size", &us::FlashConfig::min_header_size, "Smallest header size (must be >= 16).");
  int_field(config, "max_header_size", &us::FlashConfig::max_header_size, "Largest header size accepted.");
  config.def_readwrite("verify_crc", &us::FlashConfig::verify_crc, "Check the payload's CRC-32 when parsing.");
  config.def_readwrite("verify_after_write", &us::FlashConfig::verify_after_write,
                       "Read back and compare after writing.");
  record_protocol(
      config, {"vidpid", "auto_select", "auto_select_vid", "auto_select_pid", "bus_number", "device_address", "serial",
               "usb_path", "flash_address", "sector_size", "magic", "max_total_length", "min_header_size",
               "max_header_size", "verify_crc", "verify_after_write"});

  // ---- FlashBlob.
  py::class_<us::FlashBlob> blob(m, "FlashBlob", "One configuration blob: its header fields, payload and raw bytes.");
  int_field(blob, "magic", &us::FlashBlob::magic, "Magic number from the header.");
  int_field(blob, "version", &us::FlashBlob::version, "Document version from the header.");
  int_field(blob, "header_size", &us::FlashBlob::header_size, "Header size in bytes.");
  int_field(blob, "payload_length", &us::FlashBlob::payload_length, "Payload length in bytes.");
  int_field(blob, "crc32", &us::FlashBlob::crc32, "CRC-32 stored in the header.");
  bytes_field(blob, "payload", &us::FlashBlob::payload, "The payload bytes (bytes).");
  bytes_field(blob, "raw", &us::FlashBlob::raw, "The blob exactly as it lies in flash (bytes).");
  record_protocol(blob, {"magic", "version", "header_size", "payload_length", "crc32", "payload", "raw"});

  // ---- ReadJsonResult.
  py::class_<us::ReadJsonResult> json(m, "ReadJsonResult", "The stored document: its version and compact text.");
  int_field(json, "version", &us::ReadJsonResult::version, "Document version stored in the blob header.");
  json.def_property(
      "json", [](const us::ReadJsonResult& r) { return decode_document(r.json); },
      [](us::ReadJsonResult& r, const py::handle& value) { r.json = encode_text(value); },
      "The document in compact form (str). Raises JsonError naming the offset when the\n"
      "stored bytes are not UTF-8 (json_bytes has them).");
  json.def_property_readonly(
      "json_bytes", [](const us::ReadJsonResult& r) { return py::bytes(r.json); },
      "The document's bytes exactly as stored.");
  record_protocol(json, {"version", "json"}, /*generic_repr=*/false);
  // Shown and compared by the stored bytes, so a document that is not UTF-8
  // still has a repr and an equality.
  json.def("__repr__", [](const us::ReadJsonResult& r) {
    return "ReadJsonResult(version=" + std::to_string(r.version) +
           ", json=" + std::string(py::repr(decode_text(r.json))) + ")";
  });
  json.def("__eq__", [](const py::object& self, const py::object& other) -> py::object {
    if (!py::isinstance<us::ReadJsonResult>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    const auto& a = self.cast<const us::ReadJsonResult&>();
    const auto& b = other.cast<const us::ReadJsonResult&>();
    return py::bool_(a.version == b.version && a.json == b.json);
  });

  // ---- ReadImuResult.
  py::class_<us::ReadImuResult> raw(m, "ReadImuResult", "One raw IMU sample as the device delivers it.");
  u64_field(raw, "timestamp_ns", &us::ReadImuResult::timestamp_ns,
            "Host monotonic time of the query's midpoint, in nanoseconds.");
  int_field(raw, "sensor_timestamp", &us::ReadImuResult::sensor_timestamp, "The device's 20-bit counter.");
  int_field(raw, "temperature_raw", &us::ReadImuResult::temperature_raw, "Raw temperature counts.");
  triple_field(raw, "accel_raw", &us::ReadImuResult::accel_raw, "Raw accelerometer counts (x, y, z).");
  triple_field(raw, "gyro_raw", &us::ReadImuResult::gyro_raw, "Raw gyroscope counts (x, y, z).");
  record_protocol(raw, {"timestamp_ns", "sensor_timestamp", "temperature_raw", "accel_raw", "gyro_raw"});

  // ---- ImuConversionOptions.
  py::class_<us::ImuConversionOptions> options(m, "ImuConversionOptions", "Scale factors for convert_imu().");
  options.def_readwrite("temperature_offset_c", &us::ImuConversionOptions::temperature_offset_c,
                        "Added to the scaled temperature (degrees Celsius).");
  options.def_readwrite("temperature_lsb_per_c", &us::ImuConversionOptions::temperature_lsb_per_c,
                        "Temperature counts per degree Celsius (must not be zero).");
  options.def_readwrite("accel_lsb_per_g", &us::ImuConversionOptions::accel_lsb_per_g,
                        "Accelerometer counts per g (zero yields zero).");
  options.def_readwrite("gyro_lsb_per_dps", &us::ImuConversionOptions::gyro_lsb_per_dps,
                        "Gyroscope counts per degree per second (zero yields zero).");
  record_protocol(options, {"temperature_offset_c", "temperature_lsb_per_c", "accel_lsb_per_g", "gyro_lsb_per_dps"});

  // ---- ImuSample.
  py::class_<us::ImuSample> sample(m, "ImuSample", "One IMU sample in physical units.");
  u64_field(sample, "timestamp_ns", &us::ImuSample::timestamp_ns, "Copied from the raw sample.");
  sample.def_readwrite("temperature_c", &us::ImuSample::temperature_c, "Degrees Celsius.");
  triple_field(sample, "accel_g", &us::ImuSample::accel_g, "Acceleration in g (x, y, z).");
  triple_field(sample, "gyro_dps", &us::ImuSample::gyro_dps, "Rotation rate in degrees per second (x, y, z).");
  record_protocol(sample, {"timestamp_ns", "temperature_c", "accel_g", "gyro_dps"});

  // ---- The supported-device table.
  py::class_<us::DeviceWhitelistEntry> entry(m, "DeviceWhitelistEntry",
                                             "One row of the supported-device table (read-only).");
  entry.def_readonly("vid", &us::DeviceWhitelistEntry::vid)
      .def_readonly("pid", &us::DeviceWhitelistEntry::pid)
      .def_property_readonly("model_filter",
                             [](const us::DeviceWhitelistEntry& e) { return std::string(e.model_filter); })
      .def_property_readonly("firmware_pattern",
                             [](const us::DeviceWhitelistEntry& e) { return std::string(e.firmware_pattern); })
      .def_property_readonly("firmware_match",
                             [](const us::DeviceWhitelistEntry& e) {
                               return types_attr("FirmwareMatch")(static_cast<int>(e.firmware_match));
                             })
      .def("__repr__", [](const us::DeviceWhitelistEntry& e) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "vid=0x%04x, pid=0x%04x", e.vid, e.pid);
        return "DeviceWhitelistEntry(" + std::string(ids) +
               ", model_filter=" + std::string(py::repr(py::str(std::string(e.model_filter)))) +
               ", firmware_pattern=" + std::string(py::repr(py::str(std::string(e.firmware_pattern)))) +
               ", firmware_match=" +
               std::string(py::repr(types_attr("FirmwareMatch")(static_cast<int>(e.firmware_match)))) + ")";
      });
  py::list table;
  for (const auto& e : us::kDeviceWhitelist) table.append(py::cast(e, py::return_value_policy::copy));
  m.attr("DEVICE_WHITELIST") = py::tuple(table);
}

}  // namespace morvane::python
