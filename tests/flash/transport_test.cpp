// The flash transport over the virtual camera: device selection, blob read
// with its header preview, write with normalisation, erase and verification,
// the firmware version, and the stored JSON document. Also the fault sweeps:
// every control transfer of a read and of a write failed in turn, and the
// power cut at every SPI operation of a write.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "emulator/spi_nor_flash.hpp"
#include "flash/transport.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "sonix/sonix_cam.h"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

using morvane::testing::VirtualCameraTest;

// Firmware version fields of the default controller chip (0x83).
constexpr std::uint32_t kFwField1 = 0x2000;
constexpr std::uint32_t kFwField2 = 0x2012;
constexpr std::uint32_t kFwField3 = 0x201C;
constexpr std::uint32_t kFwField4 = 0x200A;

// A calibration document of about 2 KiB as a person would write it: indented,
// with blanks, tabs and line ends that the stored compact form drops.
std::string calibration_document(int seed = 0) {
  std::string text = "{\n  \"device\": \"stereo-cam\",\n  \"format\": 3,\n  \"seed\": " + std::to_string(seed) +
                     ",\n  \"cameras\": [\n";
  for (int cam = 0; cam < 2; ++cam) {
    text += "    {\n      \"name\": \"" + std::string(cam == 0 ? "left" : "right") + "\",\n";
    text += "      \"intrinsics\": [ 612.4" + std::to_string(cam) + ", 0.0, 320.5, 0.0, 611.98, 240.25, 0, 0, 1 ],\n";
    text += "      \"distortion\": [-0.0412, 0.0973, -0.00012, 0.00031, -0.0521],\n";
    text += "      \"rotation\":\t[1, 0, 0, 0, 1, 0, 0, 0, 1],\r\n";
    text += "      \"translation\": [" + std::string(cam == 0 ? "0" : "-0.0601") + ", 0, 0],\n";
    text += "      \"note\": \"text with  spaces\\tand \\\"escapes\\\" \\u00e9\"\n    }";
    text += cam == 0 ? ",\n" : "\n";
  }
  text += "  ],\n  \"imu\": {\n    \"accel_bias\": [0.0012, -0.0031, 0.0104],\n";
  text += "    \"gyro_bias\": [0.21, -0.11, 0.035],\n    \"table\": [\n";
  while (text.size() < 2000) {
    text += "      [" + std::to_string(text.size() % 97) + ", " + std::to_string(seed) + ".5, -" +
            std::to_string(text.size() % 13) + "e-3],\n";
  }
  text += "      [0, 0, 0]\n    ]\n  }\n}\n";
  return text;
}

// The compact form: whitespace outside strings removed.
std::string compact(const std::string& text) {
  std::string out;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      out += c;
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
      out += c;
    } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      out += c;
    }
  }
  return out;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

class FlashTransportTest : public VirtualCameraTest {
 protected:
  FlashConfig config_for(std::size_t index = 0) {
    FlashConfig config;
    char vidpid[9];
    std::snprintf(vidpid, sizeof vidpid, "%04x%04x", camera(index).config().vid, camera(index).config().pid);
    config.vidpid = vidpid;
    config.auto_select = false;
    config.bus_number = camera(index).config().bus_number;
    config.device_address = camera(index).device_address();
    return config;
  }

  // Puts a blob straight into the flash, as a factory would.
  void store(const std::vector<std::uint8_t>& raw, std::uint32_t address = 0x51000) {
    camera().load_flash(address, raw);
  }

  FlashBlob built(const std::string& payload, std::uint16_t version = 0, const FlashConfig& config = FlashConfig{}) {
    Result<FlashBlob> blob = build_blob(version, bytes_of(payload), config);
    EXPECT_TRUE(blob.ok()) << blob.message;
    return blob.ok() ? *blob.value : FlashBlob{};
  }

  std::uint64_t transfers() { return camera().transfer_count(); }
};

// ---- Choosing and opening the camera.

TEST_F(FlashTransportTest, NoCandidateFailsEveryOperationWithoutTouchingUsb) {
  FlashConfig config;  // vidpid empty
  config.auto_select = false;
  const std::string message = "no vidpid candidate available (check config.vidpid or auto_select filter)";
  Result<FlashBlob> read = read_blob_from_device(config);
  EXPECT_EQ(read.code, ErrorCode::device_unavailable);
  EXPECT_EQ(read.message, message);
  Result<void> write = write_blob_to_device(config, built("{}"));
  EXPECT_EQ(write.code, ErrorCode::device_unavailable);
  EXPECT_EQ(write.message, message);
  EXPECT_EQ(probe_flash_transport(config).message, message);
  Result<std::string> firmware = detail::read_firmware_version_from_device(config);
  EXPECT_EQ(firmware.code, ErrorCode::device_unavailable);
  EXPECT_EQ(firmware.message, message);
  EXPECT_EQ(read_flash_json(config).message, message);

  // A scan that finds nothing matching the filter leaves no candidate either.
  config.auto_select = true;
  config.auto_select_vid = 0x1234;
  EXPECT_EQ(probe_flash_transport(config).message, message);
  EXPECT_EQ(transfers(), 0u);
  EXPECT_EQ(platform().usb_context_refs(), 0);
  EXPECT_TRUE(rig().clean());
}

TEST_F(FlashTransportTest, ConfiguredCameraThatIsNotThereFailsInit) {
  FlashConfig config = config_for();
  config.vidpid = "0c45ffff";
  Result<void> probe = probe_flash_transport(config);
  EXPECT_EQ(probe.code, ErrorCode::device_unavailable);
  EXPECT_EQ(probe.message, "SonixCam_Init failed");
  config = config_for();
  config.device_address = static_cast<std::uint8_t>(camera().device_address() + 1);  // same ids, other address
  EXPECT_EQ(probe_flash_transport(config).message, "SonixCam_Init failed");
  EXPECT_TRUE(rig().clean());
  EXPECT_TRUE(probe_flash_transport(config_for()).ok()) << "the failures left the lock or the library held";
}

class TwoCameraTransportTest : public FlashTransportTest {
 protected:
  std::vector<emulator::CameraConfig> make_configs() override {
    return {morvane::testing::default_camera_config(0), morvane::testing::default_camera_config(1)};
  }
};

TEST_F(TwoCameraTransportTest, AutoSelectTriesScannedCamerasInOrder) {
  FlashConfig config;  // vidpid empty, auto_select on, any ids
  camera(0).load_flash(0x51000, built("{\"unit\":0}").raw);
  camera(1).load_flash(0x51000, built("{\"unit\":1}").raw);

  Result<ReadJsonResult> first = read_flash_json(config);
  ASSERT_TRUE(first.ok()) << first.message;
  EXPECT_EQ(first.value->json, "{\"unit\":0}");

  // The first camera refuses to open: the second one is used.
  camera(0).set_open_error(LIBUSB_ERROR_ACCESS);
  Result<ReadJsonResult> second = read_flash_json(config);
  ASSERT_TRUE(second.ok()) << second.message;
  EXPECT_EQ(second.value->json, "{\"unit\":1}");

  camera(1).set_open_error(LIBUSB_ERROR_ACCESS);
  Result<ReadJsonResult> neither = read_flash_json(config);
  EXPECT_EQ(neither.code, ErrorCode::device_unavailable);
  EXPECT_EQ(neither.message, "SonixCam_Init failed");
  EXPECT_TRUE(rig().clean());
}

// An application holds camera 0 through the access library itself: every
// library call for camera 1 fails naming both cameras and leaves camera 0's
// connection open and its flash untouched; a call for camera 0 uses that
// connection and leaves it open.
TEST_F(TwoCameraTransportTest, AConnectionAnApplicationHoldsIsUsedOnlyForItsOwnCamera) {
  camera(0).load_flash(0x51000, built("{\"unit\":0}").raw);
  camera(1).load_flash(0x51000, built("{\"unit\":1}").raw);
  const FlashConfig own_camera = config_for(0);
  std::vector<char> vidpid(own_camera.vidpid.begin(), own_camera.vidpid.end());
  vidpid.push_back('\0');
  ASSERT_EQ(SonixCam_Init(vidpid.data(), own_camera.bus_number, own_camera.device_address), 1);

  char expected[160];
  std::snprintf(expected, sizeof expected,
                "the access library is open to camera 0c45:0643 at %03u/%03u, not to the requested camera 0c45:0643 "
                "at %03u/%03u",
                config_for(0).bus_number, config_for(0).device_address, config_for(1).bus_number,
                config_for(1).device_address);
  const FlashConfig other = config_for(1);
  const std::vector<std::pair<const char*, std::function<Result<void>()>>> calls = {
      {"read", [&] { return Result<void>::forward(read_blob_from_device(other)); }},
      {"write", [&] { return write_blob_to_device(other, built("{\"unit\":9}")); }},
      {"probe", [&] { return probe_flash_transport(other); }},
      {"firmware", [&] { return Result<void>::forward(detail::read_firmware_version_from_device(other)); }},
      {"document", [&] { return Result<void>::forward(read_flash_json(other)); }},
      {"fast", [&] { return Result<void>::forward(read_blob_fast(other, FastReadOptions{})); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    const Result<void> r = call();
    EXPECT_EQ(r.code, ErrorCode::device_unavailable);
    EXPECT_EQ(r.message, expected);
    EXPECT_EQ(camera_init, 1) << "the application's connection was closed";
  }
  EXPECT_EQ(camera(0).flash_contents(0x51000, 16 + 10), built("{\"unit\":0}").raw);

  // Its own camera: served over the application's connection, left open.
  Result<ReadJsonResult> own = read_flash_json(config_for(0));
  ASSERT_TRUE(own.ok()) << own.message;
  EXPECT_EQ(own.value->json, "{\"unit\":0}");
  EXPECT_EQ(camera_init, 1);
  ASSERT_EQ(SonixCam_UnInit(), 1);

  // Once it is closed, camera 1 is reached.
  Result<ReadJsonResult> later = read_flash_json(other);
  ASSERT_TRUE(later.ok()) << later.message;
  EXPECT_EQ(later.value->json, "{\"unit\":1}");
  EXPECT_TRUE(rig().clean());
}

// ---- Reading.

TEST_F(FlashTransportTest, ReadRoundTripOfRealisticDocument) {
  const std::string document = calibration_document();
  ASSERT_GE(document.size(), 2000u);
  Result<void> written = write_blob_to_device(config_for(), built(compact(document), 7));
  ASSERT_TRUE(written.ok()) << written.message;

  Result<FlashBlob> read = read_blob_from_device(config_for());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.value->magic, 0x4D4F5256u);
  EXPECT_EQ(read.value->version, 7);
  EXPECT_EQ(read.value->header_size, 16);
  EXPECT_EQ(read.value->payload, bytes_of(compact(document)));
  EXPECT_EQ(read.value->raw.size(), 16 + compact(document).size());
  EXPECT_EQ(read.value->raw, camera().flash_contents(0x51000, read.value->raw.size()));

  Result<ReadJsonResult> json = read_flash_json(config_for());
  ASSERT_TRUE(json.ok()) << json.message;
  EXPECT_EQ(json.value->version, 7);
  EXPECT_EQ(json.value->json, compact(document));
  EXPECT_TRUE(rig().clean());
}

TEST_F(FlashTransportTest, HeaderPreviewDecidesWhetherASecondReadIsNeeded) {
  // Baseline: a bare 16-byte blob is read from the preview alone.
  store(built("").raw);
  std::uint64_t before = transfers();
  Result<FlashBlob> bare = read_blob_from_device(config_for());
  ASSERT_TRUE(bare.ok()) << bare.message;
  EXPECT_TRUE(bare.value->payload.empty());
  const std::uint64_t preview_only = transfers() - before;

  // A wrong magic is final after the preview: no second read.
  std::vector<std::uint8_t> wrong_magic = built("").raw;
  wrong_magic[0] ^= 0x01;
  store(wrong_magic);
  before = transfers();
  Result<FlashBlob> magic = read_blob_from_device(config_for());
  EXPECT_EQ(magic.code, ErrorCode::magic_mismatch);
  EXPECT_EQ(magic.message, "flash magic mismatch");
  EXPECT_EQ(transfers() - before, preview_only);

  // An out-of-range header size is final as well.
  std::vector<std::uint8_t> big_header = built("").raw;
  big_header[6] = 0x01;
  big_header[7] = 0x01;  // 257
  store(big_header);
  Result<FlashBlob> header = read_blob_from_device(config_for());
  EXPECT_EQ(header.code, ErrorCode::invalid_header);
  EXPECT_EQ(header.message, "header_size out of range");

  // A declared total above the limit stops before a second read.
  std::vector<std::uint8_t> too_long = built("").raw;
  too_long[10] = 0x01;  // payload_length 0x10000
  store(too_long);
  before = transfers();
  Result<FlashBlob> length = read_blob_from_device(config_for());
  EXPECT_EQ(length.code, ErrorCode::invalid_length);
  EXPECT_EQ(length.message, "flash header total length is invalid");
  EXPECT_EQ(transfers() - before, preview_only);

  // Erased flash reads as a magic mismatch.
  store(std::vector<std::uint8_t>(64, 0xFF));
  EXPECT_EQ(read_blob_from_device(config_for()).code, ErrorCode::magic_mismatch);

  // A blob with a payload needs exactly one more read, and costs more.
  FlashBlob small = built("{\"k\":[1,2,3]}", 2);
  std::vector<std::uint8_t> followed = small.raw;
  followed.insert(followed.end(), {0x12, 0x34, 0x56});  // not part of the blob
  store(followed);
  before = transfers();
  Result<FlashBlob> full = read_blob_from_device(config_for());
  ASSERT_TRUE(full.ok()) << full.message;
  EXPECT_GT(transfers() - before, preview_only);
  EXPECT_EQ(full.value->raw, small.raw);
  EXPECT_EQ(full.value->version, 2);
  EXPECT_TRUE(rig().clean());
}

TEST_F(FlashTransportTest, BlobEndingAtTheTopOfTheAddressSpaceIsReadExactly) {
  // The controller library refuses any read that runs past the last flash
  // address (0xFFFFFF), so a blob that ends there is only readable when the
  // preview and the second read cover no byte beyond header plus payload.
  // The 1 MiB chip answers every address modulo its size.
  for (const std::string& document : {std::string(), std::string("{\"top\":[1,2,3]}")}) {
    SCOPED_TRACE(document.size());
    const FlashBlob blob = built(document, 6);
    FlashConfig config = config_for();
    config.flash_address = static_cast<std::uint32_t>(0x1000000 - blob.raw.size());
    store(blob.raw, static_cast<std::uint32_t>(0x100000 - blob.raw.size()));
    Result<FlashBlob> read = read_blob_from_device(config);
    ASSERT_TRUE(read.ok()) << read.message;
    EXPECT_EQ(read.value->raw, blob.raw);
    EXPECT_EQ(read.value->version, 6);

    // Writing there reads back the same span for verification.
    Result<void> written = write_blob_to_device(config, built(document, 7));
    ASSERT_TRUE(written.ok()) << written.message;
    Result<FlashBlob> again = read_blob_from_device(config);
    ASSERT_TRUE(again.ok()) << again.message;
    EXPECT_EQ(again.value->version, 7);
  }
  EXPECT_TRUE(rig().clean());
}

TEST_F(FlashTransportTest, CorruptStoredBlobsAreReportedNotReturned) {
  std::vector<std::uint8_t> raw = built("{\"a\":1}").raw;
  raw[20] ^= 0x40;  // the colon becomes 'z'
  store(raw);
  Result<FlashBlob> crc = read_blob_from_device(config_for());
  EXPECT_EQ(crc.code, ErrorCode::crc_mismatch);
  EXPECT_EQ(crc.message, "crc32 mismatch");
  EXPECT_FALSE(crc.value.has_value());

  // With the CRC check off the blob is handed out with its stored CRC, and
  // the JSON check is what catches the damage.
  FlashConfig lax = config_for();
  lax.verify_crc = false;
  Result<FlashBlob> unchecked = read_blob_from_device(lax);
  ASSERT_TRUE(unchecked.ok()) << unchecked.message;
  EXPECT_EQ(unchecked.value->crc32, built("{\"a\":1}").crc32);
  Result<ReadJsonResult> json = read_flash_json(lax);
  EXPECT_EQ(json.code, ErrorCode::invalid_json);
  EXPECT_EQ(json.message, "invalid JSON value at offset 4");

  // A blob whose payload is valid CRC-wise but not JSON.
  store(built("xyz").raw);
  Result<ReadJsonResult> text = read_flash_json(config_for());
  EXPECT_EQ(text.code, ErrorCode::invalid_json);
  EXPECT_EQ(text.message, "invalid JSON value at offset 0");

  // A preview shorter than a header can never be parsed.
  FlashConfig short_preview = config_for();
  short_preview.min_header_size = 8;
  Result<FlashBlob> preview = read_blob_from_device(short_preview);
  EXPECT_EQ(preview.code, ErrorCode::invalid_header);
  EXPECT_EQ(preview.message, "header preview is too short");
  short_preview.min_header_size = 0;
  EXPECT_EQ(read_blob_from_device(short_preview).message, "header preview is too short");
  EXPECT_TRUE(rig().clean());
}

TEST_F(FlashTransportTest, JsonReadPausesOneHundredMillisecondsOnlyOnSuccess) {
  store(built("{ \"a\" : [ 1 , 2 ] }", 9).raw);
  std::uint64_t t = clock().now_ns();
  ASSERT_TRUE(read_blob_from_device(config_for()).ok());
  const std::uint64_t blob_only = clock().now_ns() - t;
  t = clock().now_ns();
  Result<ReadJsonResult> json = read_flash_json(config_for());
  ASSERT_TRUE(json.ok()) << json.message;
  EXPECT_EQ(json.value->json, "{\"a\":[1,2]}");
  EXPECT_EQ(json.value->version, 9);
  EXPECT_EQ(clock().now_ns() - t, blob_only + 100'000'000u);

  store(built("[1,").raw);
  t = clock().now_ns();
  EXPECT_EQ(read_flash_json(config_for()).code, ErrorCode::invalid_json);
  EXPECT_EQ(clock().now_ns() - t, blob_only) << "no pause after a failed read";
}

// ---- Writing.

TEST_F(FlashTransportTest, WriteNormalisesTheBlobBeforeTouchingTheDevice) {
  FlashBlob nothing;
  Result<void> empty = write_blob_to_device(config_for(), nothing);
  EXPECT_EQ(empty.code, ErrorCode::invalid_argument);
  EXPECT_EQ(empty.message, "blob is missing raw and payload for write");

  FlashBlob bad_raw = built("{}");
  bad_raw.raw[1] ^= 0xFF;
  Result<void> magic = write_blob_to_device(config_for(), bad_raw);
  EXPECT_EQ(magic.code, ErrorCode::magic_mismatch);

  FlashConfig small = config_for();
  small.max_total_length = 20;
  FlashBlob large;
  large.payload = bytes_of("{\"abcdef\":1}");
  Result<void> too_large = write_blob_to_device(small, large);
  EXPECT_EQ(too_large.code, ErrorCode::invalid_length);
  EXPECT_EQ(too_large.message, "payload is too large");

  // A configuration that could never read back what it stores, with a
  // payload-only and with a raw blob.
  FlashConfig inverted = config_for();
  inverted.min_header_size = 32;
  inverted.max_header_size = 24;
  for (const FlashBlob& blob : {large, built("{}")}) {
    Result<void> refused = write_blob_to_device(inverted, blob);
    EXPECT_EQ(refused.code, ErrorCode::invalid_argument);
    EXPECT_EQ(refused.message, "config.min_header_size must be <= config.max_header_size");
  }
  EXPECT_EQ(transfers(), 0u) << "refused blobs must not reach the camera";

  // Only a payload: built with the blob's own version and the configured magic.
  FlashBlob payload_only;
  payload_only.version = 0x0102;
  payload_only.payload = bytes_of("{\"v\":2}");
  payload_only.magic = 0x11111111;  // ignored: the configuration's magic is written
  ASSERT_TRUE(write_blob_to_device(config_for(), payload_only).ok());
  const std::vector<std::uint8_t> stored = camera().flash_contents(0x51000, 23);
  EXPECT_EQ(std::vector<std::uint8_t>(stored.begin(), stored.begin() + 8),
            (std::vector<std::uint8_t>{0x56, 0x52, 0x4F, 0x4D, 0x02, 0x01, 0x10, 0x00}));
  EXPECT_EQ(std::string(stored.begin() + 16, stored.end()), "{\"v\":2}");

  // Raw bytes beyond the declared length are not written.
  FlashBlob padded = built("[true]", 3);
  padded.raw.insert(padded.raw.end(), 40, 0x00);
  ASSERT_TRUE(write_blob_to_device(config_for(), padded).ok());
  const std::vector<std::uint8_t> after = camera().flash_contents(0x51000 + 22, 40);
  EXPECT_EQ(after, std::vector<std::uint8_t>(40, 0xFF));
  Result<FlashBlob> back = read_blob_from_device(config_for());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value->raw, built("[true]", 3).raw);
  EXPECT_TRUE(rig().clean());
}

TEST_F(FlashTransportTest, WriteReplacesAnOlderLongerDocument) {
  ASSERT_TRUE(write_blob_to_device(config_for(), built(compact(calibration_document(1)))).ok());
  ASSERT_TRUE(write_blob_to_device(config_for(), built("{\"short\":true}", 4)).ok());
  Result<ReadJsonResult> json = read_flash_json(config_for());
  ASSERT_TRUE(json.ok()) << json.message;
  EXPECT_EQ(json.value->json, "{\"short\":true}");
  EXPECT_EQ(json.value->version, 4);
}

TEST_F(FlashTransportTest, VerificationReadsTheBlobBackAndCanBeSwitchedOff) {
  FlashConfig no_verify = config_for();
  no_verify.verify_after_write = false;
  const FlashBlob blob = built(compact(calibration_document(2)));
  std::uint64_t before = transfers();
  ASSERT_TRUE(write_blob_to_device(no_verify, blob).ok());
  const std::uint64_t unverified = transfers() - before;
  before = transfers();
  ASSERT_TRUE(write_blob_to_device(config_for(), blob).ok());
  EXPECT_GT(transfers() - before, unverified) << "verification reads the blob back";
  EXPECT_EQ(camera().flash_contents(0x51000, blob.raw.size()), blob.raw);
}

TEST_F(FlashTransportTest, UnalignedAddressErasesEverySectorTheBlobTouches) {
  FlashConfig config = config_for();
  config.flash_address = 0x51F00;  // a 2 KiB blob crosses into the next sector
  const FlashBlob first = built(compact(calibration_document(4)));
  ASSERT_GT(first.raw.size(), 0x100u);
  ASSERT_TRUE(write_blob_to_device(config, first).ok());
  // Rewriting needs the second sector erased too, or old bits stay cleared.
  const FlashBlob second = built(compact(calibration_document(5)));
  Result<void> rewritten = write_blob_to_device(config, second);
  ASSERT_TRUE(rewritten.ok()) << rewritten.message;
  Result<ReadJsonResult> json = read_flash_json(config);
  ASSERT_TRUE(json.ok()) << json.message;
  EXPECT_EQ(json.value->json, compact(calibration_document(5)));
}

TEST_F(FlashTransportTest, SectorSizeZeroErasesOncePerByte) {
  // Opcode 0x20 is the sector erase of flash type 1; the controller library's
  // program call adds one erase of its own at the blob address.
  const FlashBlob blob = built("{\"k\":1}");  // 23 bytes
  const std::uint64_t before = camera().flash().counters().opcodes[0x20];
  ASSERT_TRUE(write_blob_to_device(config_for(), blob).ok());
  const std::uint64_t per_sector = camera().flash().counters().opcodes[0x20] - before;
  EXPECT_EQ(per_sector, 2u);

  FlashConfig bytewise = config_for();
  bytewise.sector_size = 0;
  const std::uint64_t start = camera().flash().counters().opcodes[0x20];
  Result<void> written = write_blob_to_device(bytewise, blob);
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(camera().flash().counters().opcodes[0x20] - start, blob.raw.size() + 1);
  EXPECT_EQ(camera().flash_contents(0x51000, blob.raw.size()), blob.raw);
}

TEST_F(FlashTransportTest, ProbeReadsOneByteAndNeedsNoBlob) {
  store(std::vector<std::uint8_t>(32, 0xFF));
  Result<void> probe = probe_flash_transport(config_for());
  EXPECT_TRUE(probe.ok()) << probe.message;
  EXPECT_TRUE(probe.message.empty());
  EXPECT_TRUE(rig().clean());
}

// ---- Firmware version.

TEST_F(FlashTransportTest, FirmwareVersionTextIsTrimmedAtTheEnd) {
  Result<std::string> factory = detail::read_firmware_version_from_device(config_for());
  ASSERT_TRUE(factory.ok()) << factory.message;
  EXPECT_NE(factory.value->find(morvane::testing::kDefaultFirmwareVersion), std::string::npos) << *factory.value;

  // Raw form: field 4, field 2, field 1, field 3, each up to the first NUL.
  camera().load_flash(kFwField4, bytes_of("V2606"));
  camera().load_flash(kFwField2, {'0', '3', '0', '0', '0', '1', '\r', '\n', ' ', '\t'});
  camera().load_flash(kFwField1, std::vector<std::uint8_t>(10, 0));
  camera().load_flash(kFwField3, std::vector<std::uint8_t>(10, 0));
  Result<std::string> trimmed = detail::read_firmware_version_from_device(config_for());
  ASSERT_TRUE(trimmed.ok()) << trimmed.message;
  EXPECT_EQ(*trimmed.value, "V2606030001");

  camera().load_flash(kFwField4, {' ', '\r', '\n', 0, 0});
  camera().load_flash(kFwField2, std::vector<std::uint8_t>(10, 0));
  Result<std::string> blank = detail::read_firmware_version_from_device(config_for());
  EXPECT_EQ(blank.code, ErrorCode::read_failed);
  EXPECT_EQ(blank.message, "SonixCam_GetFwVersion returned empty firmware version");
  EXPECT_TRUE(rig().clean());
}

class UnknownFlashChipTest : public FlashTransportTest {
 protected:
  std::vector<emulator::CameraConfig> make_configs() override {
    emulator::CameraConfig config = morvane::testing::default_camera_config();
    config.flash.id_row = 0;  // identification matches no table row
    return {config};
  }
};

TEST_F(UnknownFlashChipTest, UnidentifiedFlashIsWrittenAsTypeOne) {
  // The controller library refuses type 0 for erase and program, so a write
  // that gets through shows the type was replaced.
  const FlashBlob blob = built("{\"type\":\"unknown\"}", 1);
  Result<void> written = write_blob_to_device(config_for(), blob);
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(camera().flash_contents(0x51000, blob.raw.size()), blob.raw);
  EXPECT_TRUE(rig().clean());
}

// ---- Faults: every control transfer failed in turn.

const std::set<std::string> kReadFailureTexts = {
    "SonixCam_Init failed",    "SonixCam_SerialFlashCustomRead failed",
    "flash magic mismatch",    "header_size out of range",
    "total length is invalid", "raw buffer is shorter than header-declared length",
    "crc32 mismatch",          "flash header total length is invalid",
};

bool is_specified_read_failure(ErrorCode code, const std::string& message) {
  if (code == ErrorCode::invalid_json) {
    return message.rfind("invalid JSON value at offset ", 0) == 0 ||
           message.rfind("unexpected trailing characters at offset ", 0) == 0;
  }
  return kReadFailureTexts.count(message) != 0;
}

const std::set<std::pair<ErrorCode, std::string>> kWriteFailures = {
    {ErrorCode::device_unavailable, "SonixCam_Init failed"},
    {ErrorCode::erase_failed, "SonixCam_EraseSectorFlash failed"},
    {ErrorCode::write_failed, "SonixCam_SerialFlashSectorCustomWrite failed"},
    {ErrorCode::write_failed, "verify_after_write failed: readback mismatch"},
    {ErrorCode::read_failed, "SonixCam_SerialFlashCustomRead failed"},
};

// Positions to fail. Each position costs a whole operation, and a 2 KiB read
// is some 12 000 transfers, a small write some 2 200, most of them the same
// per-byte loops. By default every position of the first `head` transfers
// (connection, identification, header preview, write protection, erase) and
// of the last `tail` ones is failed, and every `stride`-th one in between;
// MORVANE_EXHAUSTIVE_FAULTS=1 fails every position (takes minutes).
std::vector<std::uint64_t> sweep_positions(std::uint64_t total, std::uint64_t head, std::uint64_t tail,
                                           std::uint64_t stride) {
  const char* exhaustive = std::getenv("MORVANE_EXHAUSTIVE_FAULTS");
  const bool all = exhaustive != nullptr && std::string(exhaustive) == "1";
  std::vector<std::uint64_t> positions;
  for (std::uint64_t k = 1; k <= total; ++k) {
    if (all || k <= head || k + tail > total || k % stride == 0) positions.push_back(k);
  }
  return positions;
}

// Puts `raw` at the blob address directly and erases `span` bytes after it,
// as if the camera had been left with that document.
void restore(emulator::VirtualCamera& camera, const std::vector<std::uint8_t>& raw, std::size_t span) {
  std::vector<std::uint8_t> image(std::max(span, raw.size()), 0xFF);
  std::copy(raw.begin(), raw.end(), image.begin());
  camera.load_flash(0x51000, image);
}

TEST_F(FlashTransportTest, EveryFailedTransferOfAReadIsReportedAndCleanedUp) {
  for (const std::string& document :
       {std::string("{\"cal\":[1.5,-2.25,3],\"id\":\"L\"}"), compact(calibration_document(6))}) {
    SCOPED_TRACE(document.size());
    store(built(document, 1).raw);
    std::uint64_t before = transfers();
    ASSERT_TRUE(read_flash_json(config_for()).ok());
    const std::uint64_t total = transfers() - before;
    ASSERT_GT(total, 0u);

    int failures = 0;
    // Every position for the small document; the 2 KiB one repeats the same
    // connection and preview, then runs the per-byte loop some 2 000 times.
    const std::uint64_t head = document.size() < 200 ? total : 100;
    for (std::uint64_t k : sweep_positions(total, head, 20, 2999)) {
      SCOPED_TRACE(k);
      camera().clear_logs();  // the logs would grow by a whole read per position
      camera().fail_transfer(transfers() + k, LIBUSB_ERROR_IO);
      Result<ReadJsonResult> read = read_flash_json(config_for());
      camera().clear_faults();
      if (read.ok()) {
        EXPECT_EQ(read.value->json, document) << "a read that succeeds must return the stored document";
      } else {
        ++failures;
        EXPECT_TRUE(is_specified_read_failure(read.code, read.message)) << read.message;
        EXPECT_FALSE(read.value.has_value());
      }
      ASSERT_TRUE(rig().clean());
      // The lock was released and the library closed: the next operation works.
      Result<void> next = probe_flash_transport(config_for());
      ASSERT_TRUE(next.ok()) << next.message;
    }
    EXPECT_GT(failures, 0) << "no injected fault was ever noticed";
    Result<ReadJsonResult> intact = read_flash_json(config_for());
    ASSERT_TRUE(intact.ok()) << intact.message;
    EXPECT_EQ(intact.value->json, document);
  }
}

TEST_F(FlashTransportTest, EveryFailedTransferOfAWriteIsReportedAndCleanedUp) {
  const std::string old_document = "{\"old\":true}";
  const std::string new_document = "{\"cal\":[0.5,-1.25],\"id\":\"R\"}";
  const FlashBlob old_blob = built(old_document);
  const FlashBlob new_blob = built(new_document);
  restore(camera(), old_blob.raw, new_blob.raw.size());
  std::uint64_t before = transfers();
  ASSERT_TRUE(write_blob_to_device(config_for(), new_blob).ok());
  const std::uint64_t total = transfers() - before;

  int failures = 0;
  // Every position: for a document this small the whole sweep takes seconds.
  for (std::uint64_t k : sweep_positions(total, total, 0, 1)) {
    SCOPED_TRACE(k);
    camera().clear_logs();
    restore(camera(), old_blob.raw, new_blob.raw.size());
    camera().fail_transfer(transfers() + k, LIBUSB_ERROR_IO);
    Result<void> write = write_blob_to_device(config_for(), new_blob);
    camera().clear_faults();
    ASSERT_TRUE(rig().clean());
    Result<ReadJsonResult> after = read_flash_json(config_for());
    if (write.ok()) {
      // Success is only reported when the new document is really there.
      ASSERT_TRUE(after.ok()) << after.message;
      EXPECT_EQ(after.value->json, new_document);
    } else {
      ++failures;
      EXPECT_EQ(kWriteFailures.count({write.code, write.message}), 1u) << write.message;
      if (after.ok()) {
        EXPECT_TRUE(after.value->json == old_document || after.value->json == new_document) << after.value->json;
      } else {
        EXPECT_TRUE(is_specified_read_failure(after.code, after.message)) << after.message;
      }
    }
  }
  EXPECT_GT(failures, 0);
  // The camera still takes a document through the SDK after all that.
  ASSERT_TRUE(write_blob_to_device(config_for(), new_blob).ok());
  Result<ReadJsonResult> final_read = read_flash_json(config_for());
  ASSERT_TRUE(final_read.ok()) << final_read.message;
  EXPECT_EQ(final_read.value->json, new_document);
}

TEST_F(FlashTransportTest, PowerCutAtEverySpiOperationOfAWriteNeverYieldsGarbage) {
  const std::string old_document = "{\"old\":[1,2,3]}";
  const std::string new_document = "{\"new\":[4,5,6],\"more\":\"text\"}";
  const FlashBlob old_blob = built(old_document);
  const FlashBlob new_blob = built(new_document);
  bool completed = false;
  int cuts = 0;
  for (std::uint64_t ops = 0; ops < 20000 && !completed; ++ops) {
    SCOPED_TRACE(ops);
    camera().clear_logs();
    restore(camera(), old_blob.raw, new_blob.raw.size());
    camera().cut_power_after_spi_operations(ops);
    Result<void> write = write_blob_to_device(config_for(), new_blob);
    camera().clear_faults();
    if (!camera().attached()) {
      ++cuts;
      camera().replug();  // power back; the camera comes back with a new address
      EXPECT_FALSE(write.ok()) << "a write cut short must not report success";
      if (!write.ok()) {
        EXPECT_EQ(kWriteFailures.count({write.code, write.message}), 1u) << write.message;
      }
    } else if (write.ok()) {
      completed = true;  // the cut would have come after the write's last SPI operation
    }
    ASSERT_TRUE(rig().clean());
    Result<ReadJsonResult> after = read_flash_json(config_for());  // config_for follows the new address
    if (after.ok()) {
      EXPECT_TRUE(after.value->json == old_document || after.value->json == new_document) << after.value->json;
      if (write.ok()) {
        EXPECT_EQ(after.value->json, new_document);
      }
    } else {
      EXPECT_TRUE(is_specified_read_failure(after.code, after.message)) << after.message;
    }
  }
  EXPECT_TRUE(completed) << "the write never got through";
  EXPECT_GT(cuts, 0);
}

}  // namespace
}  // namespace morvane::uvc_stereo
