// Fast reads of the stored blob and document.
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "bindings.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/flash.hpp"

namespace morvane::python {
namespace {

py::object path_enum(us::FlashReadPath path) { return types_attr("FlashReadPath")(static_cast<int>(path)); }

// A held copy for the opt-in reuse check: a ReadJsonResult, a
// FastJsonResult or a FlashBlob; None for none. Without reuse_held the copy
// is not used: every byte of the blob is read from the flash.
void set_held(us::FastReadOptions& options, const py::object& held, bool reuse_held) {
  if (reuse_held && held.is_none()) throw py::value_error("reuse_held=True needs held (a copy read before)");
  options.reuse_held_copy = reuse_held;
  if (held.is_none()) return;
  if (py::isinstance<us::FastJsonResult>(held)) {
    const auto& doc = held.cast<const us::FastJsonResult&>();
    options.held_document = us::ReadJsonResult{doc.version, doc.json};
  } else if (py::isinstance<us::ReadJsonResult>(held)) {
    options.held_document = held.cast<us::ReadJsonResult>();
  } else if (py::isinstance<us::FlashBlob>(held)) {
    options.held_blob = held.cast<us::FlashBlob>();
  } else {
    throw py::type_error("held must be a ReadJsonResult, a FastJsonResult, a FlashBlob or None");
  }
}

}  // namespace

void bind_fast_read(py::module_& m, py::class_<PyDevice, std::unique_ptr<PyDevice>>& device) {
  py::class_<us::FastJsonResult>(m, "FastJsonResult",
                                 "The stored document as a read returned it, and which read served it.")
      .def_readonly("version", &us::FastJsonResult::version, "Document version stored in the blob header.")
      .def_property_readonly(
          "json", [](const us::FastJsonResult& r) { return decode_document(r.json); },
          "The document in compact form (str; JsonError when the stored bytes are not UTF-8).")
      .def_property_readonly(
          "json_bytes", [](const us::FastJsonResult& r) { return py::bytes(r.json); },
          "The document's bytes exactly as stored.")
      .def_property_readonly(
          "path", [](const us::FastJsonResult& r) { return path_enum(r.path); },
          "FlashReadPath: BYTE_BANGING, STREAMING or HELD_COPY.")
      .def_property_readonly(
          "fast_path_error", [](const us::FastJsonResult& r) { return decode_text(r.fast_path_error); },
          "Why a fast path gave way to the byte-banging read ('' when it did not).")
      .def("__repr__", [](const us::FastJsonResult& r) {
        return "FastJsonResult(version=" + std::to_string(r.version) +
               ", json=" + std::string(py::repr(decode_text(r.json))) +
               ", path=" + std::string(py::repr(path_enum(r.path))) +
               ", fast_path_error=" + std::string(py::repr(decode_text(r.fast_path_error))) + ")";
      });

  py::class_<us::FastBlobResult>(m, "FastBlobResult", "The stored blob as a fast read returned it.")
      .def_readonly("blob", &us::FastBlobResult::blob, "The FlashBlob.")
      .def_property_readonly(
          "path", [](const us::FastBlobResult& r) { return path_enum(r.path); }, "FlashReadPath that served it.")
      .def_property_readonly(
          "fast_path_error", [](const us::FastBlobResult& r) { return decode_text(r.fast_path_error); },
          "Why a fast path gave way to the byte-banging read ('' when it did not).");

  device.def(
      "read_json",
      [](PyDevice& d, bool fast, const py::object& held, bool reuse_held) -> py::object {
        if (!fast) {
          if (!held.is_none()) throw py::value_error("held needs fast=True (the specified read reads everything)");
          if (reuse_held) throw py::value_error("reuse_held needs fast=True (the specified read reads everything)");
          return py::cast(take(d.read([](us::Device& dev) { return dev.read_json(); })));
        }
        us::FastReadOptions options;
        set_held(options, held, reuse_held);
        return py::cast(take(d.read([options](us::Device& dev) { return dev.read_json(options); })));
      },
      py::arg("fast") = true, py::arg("held") = py::none(), py::arg("reuse_held") = false,
      "The stored document.\n\n"
      "By default the fast read: streaming flash requests where the controller has\n"
      "them, every byte of the blob read from the flash; any failure of a fast path\n"
      "falls back to the byte-banging read. Only with reuse_held=True and held (a\n"
      "document read before) is held returned when the stored header (version,\n"
      "lengths, CRC-32) and the payload's last 4 bytes match it; the rest of the\n"
      "payload is then not read, so a change there goes unseen.\n"
      "Returns a FastJsonResult (version, json, path, fast_path_error). fast=False is\n"
      "the plain register-by-register read and returns a ReadJsonResult.\n"
      "The result is validated the same way on every path. Raises Error:\n"
      "INVALID_ARGUMENT 'IMU must be closed before flash JSON access', the flash layer's\n"
      "failure (DEVICE_UNAVAILABLE, READ_FAILED), a blob failure (MAGIC_MISMATCH,\n"
      "INVALID_HEADER, INVALID_LENGTH, CRC_MISMATCH) or INVALID_JSON.\n"
      "Ctrl-C interrupts the wait within about 100 ms; the read runs on to its end in the\n"
      "background (see the package's help) and the next call on the device waits for it.");

  m.def(
      "read_blob_fast",
      [](const us::FlashConfig& config, bool streaming, const py::object& held, bool reuse_held) {
        us::FastReadOptions options;
        options.streaming = streaming;
        set_held(options, held, reuse_held);
        return take(
            run_interruptibly(module_worker(), [config, options] { return us::read_blob_fast(config, options); }));
      },
      py::arg("config"), py::arg("streaming") = true, py::arg("held") = py::none(), py::arg("reuse_held") = false,
      "The stored blob by the fastest path the controller allows (FastBlobResult).\n"
      "held is reused only with reuse_held=True (see Device.read_json).");
  m.def(
      "flash_read_path_name",
      [](int path) { return std::string(us::flash_read_path_name(static_cast<us::FlashReadPath>(path))); },
      py::arg("path"), "'byte_banging', 'streaming', 'held_copy' or 'unknown'.");
}

}  // namespace morvane::python
