// Fast reads of the stored blob and document over the virtual camera, on a
// controller with the streaming flash request and on one without. The
// property under test throughout: whatever path a fast read takes, it
// returns exactly what the byte-banging read returns for the same flash
// contents (the same blob, document, or error code and message), with fewer
// transfers where it can and never a stale or corrupted result.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "emulator/virtual_camera.hpp"
#include "flash/transport.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr std::uint32_t kBlobAddress = 0x51000;
constexpr int kStreamingRomRow = 15;  // a controller generation with the streaming request
constexpr std::uint16_t kStreamingControl = 0x0600;

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// A compact document of about `size` bytes; `seed` changes its digits, not
// its length.
std::string document_of_size(std::size_t size, int seed = 0) {
  std::string text = "{\"seed\":" + std::to_string(seed % 10) + ",\"rows\":[";
  for (int i = 0; text.size() + 40 < size; ++i) {
    text += "[" + std::to_string(100 + i % 900) + "," + std::to_string((seed + i) % 10) + ".25,-0.0412],";
  }
  text += "[0]]}";
  return text;
}

FlashBlob make_blob(const std::string& payload, std::uint16_t version = 0) {
  Result<FlashBlob> blob = build_blob(version, bytes_of(payload), FlashConfig{});
  EXPECT_TRUE(blob.ok()) << blob.message;
  return blob.ok() ? *blob.value : FlashBlob{};
}

// The camera under test: rom row 12 has no streaming request, 15 has it.
class FastReadTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    emulator::CameraConfig config = morvane::testing::default_camera_config();
    if (streaming()) config.rom_row = kStreamingRomRow;
    rig_ = std::make_unique<morvane::testing::VirtualCameraRig>(std::vector<emulator::CameraConfig>{config});
  }
  bool streaming() const { return GetParam(); }
  emulator::VirtualCamera& camera() { return rig_->camera(); }
  morvane::testing::VirtualCameraRig& rig() { return *rig_; }

  FlashConfig config() {
    FlashConfig config;
    char vidpid[9];
    std::snprintf(vidpid, sizeof vidpid, "%04x%04x", camera().config().vid, camera().config().pid);
    config.vidpid = vidpid;
    config.auto_select = false;
    config.bus_number = camera().config().bus_number;
    config.device_address = camera().device_address();
    return config;
  }

  // Puts `raw` at the blob address with erased flash after it.
  void store(const std::vector<std::uint8_t>& raw, std::size_t span = 0) {
    std::vector<std::uint8_t> image(std::max(span, raw.size() + 64), 0xFF);
    std::copy(raw.begin(), raw.end(), image.begin());
    camera().load_flash(kBlobAddress, image);
  }

  std::uint64_t transfers() { return camera().transfer_count(); }

  // The fast blob read must agree with the byte-banging one field for field.
  void expect_same_blob(const Result<FastBlobResult>& fast, const Result<FlashBlob>& specified) {
    ASSERT_EQ(fast.code, specified.code) << fast.message << " / " << specified.message;
    EXPECT_EQ(fast.message, specified.message);
    if (!specified.ok()) return;
    const FlashBlob& a = fast.value->blob;
    const FlashBlob& b = *specified.value;
    EXPECT_EQ(a.raw, b.raw);
    EXPECT_EQ(a.payload, b.payload);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.header_size, b.header_size);
    EXPECT_EQ(a.payload_length, b.payload_length);
    EXPECT_EQ(a.crc32, b.crc32);
    EXPECT_EQ(a.magic, b.magic);
  }
  void expect_same_json(const Result<FastJsonResult>& fast, const Result<ReadJsonResult>& specified) {
    ASSERT_EQ(fast.code, specified.code) << fast.message << " / " << specified.message;
    EXPECT_EQ(fast.message, specified.message);
    if (!specified.ok()) return;
    EXPECT_EQ(fast.value->json, specified.value->json);
    EXPECT_EQ(fast.value->version, specified.value->version);
  }

 private:
  std::unique_ptr<morvane::testing::VirtualCameraRig> rig_;
};

INSTANTIATE_TEST_SUITE_P(Controllers, FastReadTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Streaming" : "ByteBangingOnly";
                         });

// ---- What is stored, times what the caller holds.

struct StoredCase {
  const char* name;
  std::function<std::vector<std::uint8_t>()> raw;
};

std::vector<std::uint8_t> with_header_size(const std::string& payload, std::uint16_t header_size) {
  FlashBlob blob = make_blob(payload, 3);
  std::vector<std::uint8_t> raw(blob.raw.begin(), blob.raw.begin() + 16);
  raw[6] = static_cast<std::uint8_t>(header_size);
  raw[7] = static_cast<std::uint8_t>(header_size >> 8);
  for (std::uint16_t i = 16; i < header_size; ++i) raw.push_back(static_cast<std::uint8_t>(0xA0 + i));
  raw.insert(raw.end(), blob.payload.begin(), blob.payload.end());
  return raw;
}

const std::vector<StoredCase>& stored_cases() {
  static const std::vector<StoredCase> cases = {
      {"document 2 KiB", [] { return make_blob(document_of_size(2048), 4).raw; }},
      {"document 100 B", [] { return make_blob(document_of_size(100), 1).raw; }},
      {"empty payload", [] { return make_blob("", 2).raw; }},
      {"header of 40 bytes with reserved bytes", [] { return with_header_size(document_of_size(300), 40); }},
      {"blank flash", [] { return std::vector<std::uint8_t>(64, 0xFF); }},
      {"payload not JSON", [] { return make_blob("{\"a\":1,}", 0).raw; }},
      {"corrupt payload byte",
       [] {
         auto raw = make_blob(document_of_size(700), 0).raw;
         raw[400] ^= 0x01;
         return raw;
       }},
      {"header size 15",
       [] {
         auto raw = make_blob(document_of_size(200), 0).raw;
         raw[6] = 15;
         return raw;
       }},
      {"declared total above the limit",
       [] {
         auto raw = make_blob(document_of_size(200), 0).raw;
         raw[10] = 0x01;  // payload length + 64 KiB
         return raw;
       }},
  };
  return cases;
}

// Held copies: nothing, exactly what is stored, and copies that differ in one
// respect only.
struct HeldCase {
  const char* name;
  std::function<void(const std::vector<std::uint8_t>& stored, FastReadOptions&)> set;
};

FlashBlob parsed_or_raw(const std::vector<std::uint8_t>& raw) {
  Result<FlashBlob> parsed = parse_and_validate_raw_blob(raw, FlashConfig{});
  if (parsed.ok()) return *parsed.value;
  FlashBlob blob;
  blob.raw = raw;
  return blob;
}

const std::vector<HeldCase>& held_cases() {
  static const std::vector<HeldCase> cases = {
      {"none", [](const auto&, FastReadOptions&) {}},
      {"streaming off", [](const auto&, FastReadOptions& o) { o.streaming = false; }},
      {"held blob equal, reuse not asked for",
       [](const auto& stored, FastReadOptions& o) { o.held_blob = parsed_or_raw(stored); }},
      {"held blob equal",
       [](const auto& stored, FastReadOptions& o) {
         o.held_blob = parsed_or_raw(stored);
         o.reuse_held_copy = true;
       }},
      {"held blob payload only",
       [](const auto& stored, FastReadOptions& o) {
         FlashBlob blob = parsed_or_raw(stored);
         blob.raw.clear();
         o.held_blob = blob;
         o.reuse_held_copy = true;
       }},
      {"held document equal",
       [](const auto& stored, FastReadOptions& o) {
         FlashBlob blob = parsed_or_raw(stored);
         o.held_document = ReadJsonResult{blob.version, std::string(blob.payload.begin(), blob.payload.end())};
         o.reuse_held_copy = true;
       }},
      {"held: same length and version, one byte differs",
       [](const auto& stored, FastReadOptions& o) {
         FlashBlob blob = parsed_or_raw(stored);
         if (!blob.payload.empty()) blob.payload[blob.payload.size() / 2] ^= 0x20;
         blob.raw.clear();
         o.held_blob = blob;
         o.reuse_held_copy = true;
       }},
      {"held: other version",
       [](const auto& stored, FastReadOptions& o) {
         FlashBlob blob = parsed_or_raw(stored);
         o.held_document = ReadJsonResult{static_cast<std::uint16_t>(blob.version + 1),
                                          std::string(blob.payload.begin(), blob.payload.end())};
         o.reuse_held_copy = true;
       }},
      {"held: one byte longer",
       [](const auto& stored, FastReadOptions& o) {
         FlashBlob blob = parsed_or_raw(stored);
         o.held_document = ReadJsonResult{blob.version, std::string(blob.payload.begin(), blob.payload.end()) + " "};
         o.reuse_held_copy = true;
       }},
      {"held: raw blob that does not validate",
       [](const auto& stored, FastReadOptions& o) {
         FlashBlob blob;
         blob.raw = stored;
         if (blob.raw.size() > 20) blob.raw[20] ^= 0x01;
         o.held_blob = blob;
         o.reuse_held_copy = true;
       }},
  };
  return cases;
}

// Whether the options hold the stored version and payload: a held document
// is its version and text, a held blob its validated raw bytes or, without
// raw bytes, its version and payload.
bool held_equals(const FastReadOptions& options, const FlashBlob& stored) {
  if (options.held_document) {
    return options.held_document->version == stored.version && bytes_of(options.held_document->json) == stored.payload;
  }
  if (!options.held_blob) return false;
  if (options.held_blob->raw.empty()) {
    return options.held_blob->version == stored.version && options.held_blob->payload == stored.payload;
  }
  Result<FlashBlob> held = parse_and_validate_raw_blob(options.held_blob->raw, FlashConfig{});
  return held.ok() && held.value->version == stored.version && held.value->payload == stored.payload;
}

TEST_P(FastReadTest, EveryStoredStateAndHeldCopyGivesWhatTheByteBangingReadGives) {
  for (const StoredCase& stored_case : stored_cases()) {
    const std::vector<std::uint8_t> stored = stored_case.raw();
    store(stored);
    const Result<FlashBlob> specified_blob = read_blob_from_device(config());
    const Result<ReadJsonResult> specified_json = read_flash_json(config());
    for (const HeldCase& held_case : held_cases()) {
      SCOPED_TRACE(std::string(stored_case.name) + ", " + held_case.name);
      FastReadOptions options;
      held_case.set(stored, options);

      const Result<FastBlobResult> blob = read_blob_fast(config(), options);
      expect_same_blob(blob, specified_blob);
      const Result<FastJsonResult> json = read_flash_json_fast(config(), options);
      expect_same_json(json, specified_json);
      ASSERT_TRUE(rig().clean());
      EXPECT_TRUE(camera().flash_contents(kBlobAddress, stored.size()) == stored) << "a read changed the flash";

      // The path: a held copy equal to what is stored is reused; otherwise
      // streaming where the controller has it and the caller allows it.
      if (!blob.ok()) continue;
      // A blob that the header preview holds whole is simply parsed.
      const bool streams = streaming() && options.streaming;
      if (!streams && options.reuse_held_copy && held_equals(options, *specified_blob.value) && stored.size() > 16) {
        EXPECT_EQ(blob.value->path, FlashReadPath::held_copy);
      } else if (streams) {
        EXPECT_EQ(blob.value->path, FlashReadPath::streaming);
      } else {
        EXPECT_EQ(blob.value->path, FlashReadPath::byte_banging);
      }
      EXPECT_EQ(blob.value->fast_path_error, "");
      if (json.ok()) {
        EXPECT_EQ(json.value->path, blob.value->path);
      }
    }
  }
}

// ---- Transfer counts: the point of the exercise, checked as counts.

TEST_P(FastReadTest, TransferCountsMeetTheTargets) {
  const FlashBlob stored = make_blob(document_of_size(2048), 1);
  store(stored.raw);
  ASSERT_TRUE(probe_flash_transport(config()).ok());  // the first connection also detaches the kernel driver
  std::uint64_t before = transfers();
  ASSERT_TRUE(read_blob_from_device(config()).ok());
  const std::uint64_t specified = transfers() - before;

  FastReadOptions plain;
  before = transfers();
  Result<FastBlobResult> fast = read_blob_fast(config(), plain);
  const std::uint64_t fast_count = transfers() - before;
  ASSERT_TRUE(fast.ok()) << fast.message;

  FastReadOptions held;
  held.held_blob = stored;
  held.reuse_held_copy = true;
  before = transfers();
  Result<FastBlobResult> reused = read_blob_fast(config(), held);
  const std::uint64_t reused_count = transfers() - before;
  ASSERT_TRUE(reused.ok()) << reused.message;
  EXPECT_EQ(reused.value->path, streaming() ? FlashReadPath::streaming : FlashReadPath::held_copy);

  FlashBlob stale = make_blob(document_of_size(2048, 5), 1);
  held.held_blob = stale;
  before = transfers();
  Result<FastBlobResult> changed = read_blob_fast(config(), held);
  const std::uint64_t changed_count = transfers() - before;
  ASSERT_TRUE(changed.ok()) << changed.message;
  EXPECT_EQ(changed.value->blob.raw, stored.raw);

  // The header alone by byte-banging: a read of a bare 16-byte blob.
  store(make_blob("", 0).raw);
  before = transfers();
  ASSERT_TRUE(read_blob_from_device(config()).ok());
  const std::uint64_t header_only = transfers() - before;

  std::printf("2 KiB: specified %llu, fast %llu, reused %llu, changed %llu, header %llu transfers\n",
              static_cast<unsigned long long>(specified), static_cast<unsigned long long>(fast_count),
              static_cast<unsigned long long>(reused_count), static_cast<unsigned long long>(changed_count),
              static_cast<unsigned long long>(header_only));
  EXPECT_LE(reused_count * 50, specified);
  EXPECT_LE(changed_count, specified + header_only);
  if (streaming()) {
    EXPECT_LE(fast_count * 50, specified);
  } else {
    // The byte-banging read's steps, without reading the preview's bytes twice.
    EXPECT_LE(fast_count, specified);
    EXPECT_EQ(fast.value->path, FlashReadPath::byte_banging);
  }
}

// ---- Wrong bytes and failed requests on the streaming path.

bool is_stream_get(const emulator::TransferRequest& r) {
  return r.value == kStreamingControl && (r.request_type & 0x80) != 0;
}
bool is_stream_set(const emulator::TransferRequest& r) {
  return r.value == kStreamingControl && (r.request_type & 0x80) == 0;
}

struct StreamFault {
  const char* name;
  std::function<void(emulator::VirtualCamera&)> arm;
};

// `stale` is another valid blob of the same size and version as `stored`: a
// controller that answers from a stale buffer returns it, CRC-32 and all.
std::vector<StreamFault> stream_faults(const std::vector<std::uint8_t>& stored,
                                       const std::vector<std::uint8_t>& stale) {
  std::vector<StreamFault> faults;
  // Each unit's genuine bytes are found in the stored blob and replaced by
  // the stale blob's bytes at the same offset.
  faults.push_back({"stale blob with a valid CRC", [stored, stale](emulator::VirtualCamera& camera) {
                      camera.corrupt_replies_matching(is_stream_get, [stored, stale](std::vector<std::uint8_t>& b) {
                        const std::size_t probe = std::min<std::size_t>(b.size(), 48);
                        const auto at = std::search(stored.begin(), stored.end(), b.begin(), b.begin() + probe);
                        if (at == stored.end()) return;
                        const auto offset = static_cast<std::size_t>(at - stored.begin());
                        for (std::size_t i = 0; i < b.size() && offset + i < stale.size(); ++i)
                          b[i] = stale[offset + i];
                      });
                    }});
  auto corrupt_unit = [](int unit, std::function<void(std::vector<std::uint8_t>&)> change) {
    return [unit, change](emulator::VirtualCamera& camera) {
      auto seen = std::make_shared<int>(0);
      camera.corrupt_replies_matching(
          [seen, unit](const emulator::TransferRequest& r) { return is_stream_get(r) && (*seen)++ == unit; }, change,
          1);
    };
  };
  // One flipped bit in each unit of the blob in turn (the header's unit too).
  // Every unit of a 2 KiB blob carries at least 16 used bytes.
  for (int unit = 0; unit < 32; unit += 4) {
    faults.push_back({"bit flip", corrupt_unit(unit, [unit](std::vector<std::uint8_t>& b) {
                        b[static_cast<std::size_t>(unit * 7 % 16)] ^= 0x10;
                      })});
  }
  faults.push_back({"magic", corrupt_unit(0, [](std::vector<std::uint8_t>& b) { b[0] = 0x00; })});
  faults.push_back({"version", corrupt_unit(0, [](std::vector<std::uint8_t>& b) { b[4] ^= 0x01; })});
  faults.push_back({"header size 15", corrupt_unit(0, [](std::vector<std::uint8_t>& b) { b[6] = 15; })});
  faults.push_back({"payload length shorter", corrupt_unit(0, [](std::vector<std::uint8_t>& b) { b[8] -= 1; })});
  faults.push_back(
      {"payload length beyond the limit", corrupt_unit(0, [](std::vector<std::uint8_t>& b) { b[10] = 0x7F; })});
  faults.push_back({"crc field", corrupt_unit(0, [](std::vector<std::uint8_t>& b) { b[12] ^= 0xFF; })});
  faults.push_back({"unit of zeros", corrupt_unit(5, [](std::vector<std::uint8_t>& b) { b.assign(b.size(), 0); })});
  faults.push_back({"every reply", [](emulator::VirtualCamera& camera) {
                      camera.corrupt_replies_matching(is_stream_get,
                                                      [](std::vector<std::uint8_t>& b) { b[b.size() - 1] ^= 0x01; });
                    }});
  faults.push_back({"announce stalls", [](emulator::VirtualCamera& camera) {
                      camera.fail_transfers_matching(is_stream_set, LIBUSB_ERROR_PIPE, 1);
                    }});
  faults.push_back({"unit times out", [](emulator::VirtualCamera& camera) {
                      auto seen = std::make_shared<int>(0);
                      camera.fail_transfers_matching(
                          [seen](const emulator::TransferRequest& r) { return is_stream_get(r) && (*seen)++ == 9; },
                          LIBUSB_ERROR_TIMEOUT, 1);
                    }});
  faults.push_back({"every unit fails", [](emulator::VirtualCamera& camera) {
                      camera.fail_transfers_matching(is_stream_get, LIBUSB_ERROR_IO);
                    }});
  return faults;
}

class StreamingFaultTest : public FastReadTest {};
INSTANTIATE_TEST_SUITE_P(Streaming, StreamingFaultTest, ::testing::Values(true));

TEST_P(StreamingFaultTest, WrongOrMissingStreamingRepliesGiveWayToTheByteBangingRead) {
  const std::string document = document_of_size(2048, 3);
  const FlashBlob stored = make_blob(document, 9);
  const FlashBlob older = make_blob(document_of_size(2048, 4), 9);  // what a stale cache holds
  store(stored.raw);
  const Result<FlashBlob> specified_blob = read_blob_from_device(config());
  const Result<ReadJsonResult> specified_json = read_flash_json(config());
  ASSERT_TRUE(specified_blob.ok() && specified_json.ok());

  for (const bool with_stale_copy : {false, true}) {
    for (const StreamFault& fault : stream_faults(stored.raw, older.raw)) {
      SCOPED_TRACE(std::string(fault.name) + (with_stale_copy ? ", stale held copy" : ""));
      FastReadOptions options;
      if (with_stale_copy) {
        options.held_blob = older;
        options.reuse_held_copy = true;
      }

      fault.arm(camera());
      const Result<FastBlobResult> blob = read_blob_fast(config(), options);
      camera().clear_faults();
      expect_same_blob(blob, specified_blob);
      if (blob.ok()) {
        EXPECT_EQ(blob.value->path, FlashReadPath::byte_banging);
        EXPECT_EQ(blob.value->fast_path_error.rfind("streaming: ", 0), 0u) << blob.value->fast_path_error;
      }

      fault.arm(camera());
      const Result<FastJsonResult> json = read_flash_json_fast(config(), options);
      camera().clear_faults();
      expect_same_json(json, specified_json);
      if (json.ok()) {
        EXPECT_EQ(json.value->path, FlashReadPath::byte_banging);
        EXPECT_FALSE(json.value->fast_path_error.empty());
      }
      ASSERT_TRUE(rig().clean());
    }
  }
}

// A held copy whose header matches but whose payload in flash is not valid
// JSON (stored that way): the document read reports what the byte-banging
// read reports, after checking with it.
TEST_P(FastReadTest, HeldCopyOfAnInvalidDocumentIsCheckedAgainstTheByteBangingRead) {
  const FlashBlob stored = make_blob(document_of_size(300) + "x", 2);
  store(stored.raw);
  const Result<ReadJsonResult> specified = read_flash_json(config());
  ASSERT_EQ(specified.code, ErrorCode::invalid_json);
  FastReadOptions options;
  options.held_blob = stored;
  options.reuse_held_copy = true;
  const std::uint64_t before_ns = rig().clock().now_ns();
  const Result<FastJsonResult> fast = read_flash_json_fast(config(), options);
  expect_same_json(fast, specified);
  // Only the byte-banging read's own pause on success is slept; none here.
  EXPECT_LT(rig().clock().now_ns() - before_ns, 100'000'000u);
}

// ---- The document changes behind the cache's back.

TEST_P(FastReadTest, ADocumentRewrittenBehindTheCachesBackIsReadAfresh) {
  struct Rewrite {
    const char* name;
    std::string before;
    std::string after;
    std::uint16_t version_before;
    std::uint16_t version_after;
  };
  const std::string base = document_of_size(2048, 1);
  std::string same_length = base;
  same_length[same_length.size() / 2] = same_length[same_length.size() / 2] == '1' ? '2' : '1';
  std::string one_shorter = base;
  one_shorter.replace(one_shorter.find("[100,"), 5, "[10,");
  const std::vector<Rewrite> rewrites = {
      {"same length and version, one byte differs", base, same_length, 0, 0},
      {"same bytes, other version", base, base, 0, 1},
      {"one byte shorter", base, one_shorter, 0, 0},
      {"much longer", base, document_of_size(8192, 1), 0, 0},
      {"much shorter", base, "{\"a\":1}", 0, 0},
  };
  for (const Rewrite& rewrite : rewrites) {
    SCOPED_TRACE(rewrite.name);
    ASSERT_TRUE(write_blob_to_device(config(), make_blob(rewrite.before, rewrite.version_before)).ok());
    Result<FastJsonResult> cached = read_flash_json_fast(config(), FastReadOptions{});
    ASSERT_TRUE(cached.ok()) << cached.message;

    // Another program rewrites the document.
    ASSERT_TRUE(write_blob_to_device(config(), make_blob(rewrite.after, rewrite.version_after)).ok());

    FastReadOptions options;
    options.held_document = ReadJsonResult{cached.value->version, cached.value->json};
    options.reuse_held_copy = true;
    const Result<FastJsonResult> fast = read_flash_json_fast(config(), options);
    expect_same_json(fast, read_flash_json(config()));
    ASSERT_TRUE(fast.ok());
    EXPECT_EQ(fast.value->json, rewrite.after);
    EXPECT_EQ(fast.value->version, rewrite.version_after);
    EXPECT_NE(fast.value->path, FlashReadPath::held_copy);
  }
}

// A different payload of the same length whose CRC-32 and last 4 bytes are
// those of `payload`: `edit` is applied, then the 4 bytes at `window` are
// solved for (CRC-32 is affine in the message bits) so the CRC comes back.
// Retries with other edits until the 4 bytes are fit for a JSON string.
std::string crc_twin(const std::string& payload, std::size_t window, const std::string& from) {
  const std::uint32_t target = crc32_ieee(bytes_of(payload));
  const std::size_t at = payload.find(from);
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::vector<std::uint8_t> twin = bytes_of(payload);
    const std::string to = std::to_string(900 + attempt).substr(0, from.size());
    std::copy(to.begin(), to.end(), twin.begin() + static_cast<std::ptrdiff_t>(at));
    // Column i: how flipping bit i of the window changes the CRC.
    const std::uint32_t base = crc32_ieee(twin);
    std::uint32_t rows[32];
    for (int bit = 0; bit < 32; ++bit) {
      std::vector<std::uint8_t> flipped = twin;
      flipped[window + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      rows[bit] = crc32_ieee(flipped) ^ base;
    }
    // Gauss-Jordan elimination over GF(2): reduce the columns to unit
    // vectors, each keeping the combination of window bits it stands for,
    // then pick the combinations that make up base ^ target.
    const std::uint32_t want = base ^ target;
    std::uint32_t combo[32];
    int pivot_of[32];
    for (int bit = 0; bit < 32; ++bit) combo[bit] = 1u << bit;
    int row = 0;
    for (int col = 0; col < 32 && row < 32; ++col) {
      int pivot = -1;
      for (int r = row; r < 32 && pivot < 0; ++r) {
        if ((rows[r] >> col) & 1u) pivot = r;
      }
      if (pivot < 0) continue;
      std::swap(rows[pivot], rows[row]);
      std::swap(combo[pivot], combo[row]);
      for (int r = 0; r < 32; ++r) {
        if (r != row && ((rows[r] >> col) & 1u)) {
          rows[r] ^= rows[row];
          combo[r] ^= combo[row];
        }
      }
      pivot_of[row++] = col;
    }
    std::uint32_t pick = 0;
    for (int r = 0; r < row; ++r) {
      if ((want >> pivot_of[r]) & 1u) pick ^= combo[r];
    }
    for (int bit = 0; bit < 32; ++bit) {
      if ((pick >> bit) & 1u) twin[window + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    const bool fit = std::all_of(twin.begin() + static_cast<std::ptrdiff_t>(window),
                                 twin.begin() + static_cast<std::ptrdiff_t>(window + 4),
                                 [](std::uint8_t b) { return b >= 0x20 && b < 0x7F && b != '"' && b != '\\'; });
    if (fit && crc32_ieee(twin) == target) return std::string(twin.begin(), twin.end());
  }
  ADD_FAILURE() << "no CRC twin found";
  return payload;
}

// The stored blob changes without its header and last bytes changing: the
// default fast read still returns what the byte-banging read returns (the
// held copy is only reused on request, and then exactly as documented:
// header and last 4 bytes only).
TEST_P(FastReadTest, ChangesBehindTheCacheAreSeenByTheDefaultRead) {
  const std::string prefix = "{\"fx\":612.4,\"pad\":\"abcd\",\"rows\":";
  const std::string small = prefix + document_of_size(1500) + "}";
  const std::string large = prefix + document_of_size(3 * 4096 - 200) + "}";  // three sectors with the header
  const std::size_t window = prefix.find("abcd");
  struct Case {
    const char* name;
    std::string held;  // what the caller (the cache) holds
    std::string stored_document;
    std::function<void(std::vector<std::uint8_t>&)> damage;  // applied to the stored blob's bytes
  };
  const std::vector<Case> cases = {
      {"three bytes changed in place", small, small,
       [](std::vector<std::uint8_t>& raw) {
         const char* edit = "999";
         std::copy(edit, edit + 3, raw.begin() + 16 + 6);
       }},
      {"middle sector erased", large, large,
       [](std::vector<std::uint8_t>& raw) {
         std::fill(raw.begin() + 4096, raw.begin() + 8192, static_cast<std::uint8_t>(0xFF));
       }},
      {"a CRC twin stored", small, crc_twin(small, window, "612"), nullptr},
      {"a CRC twin held (forged cache file)", crc_twin(small, window, "612"), small, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> raw = make_blob(c.stored_document, 5).raw;
    if (c.damage) c.damage(raw);
    store(raw);
    const FlashBlob held = make_blob(c.held, 5);
    // The precondition of every case: the stored header and last 4 bytes are
    // the held copy's, the bytes between are not.
    ASSERT_NE(held.raw, raw);
    ASSERT_TRUE(std::equal(held.raw.begin(), held.raw.begin() + 16, raw.begin()));
    ASSERT_TRUE(std::equal(held.raw.end() - 4, held.raw.end(), raw.end() - 4));
    for (const bool as_document : {false, true}) {
      FastReadOptions options;
      if (as_document) {
        options.held_document = ReadJsonResult{5, c.held};
      } else {
        options.held_blob = held;
      }
      expect_same_blob(read_blob_fast(config(), options), read_blob_from_device(config()));
      expect_same_json(read_flash_json_fast(config(), options), read_flash_json(config()));
      // The opt-in reuse check reads the header and the last 4 bytes only,
      // as documented: each of these changes passes it. Where streaming
      // requests serve the read, it is not used at all.
      options.reuse_held_copy = true;
      if (streaming()) {
        expect_same_blob(read_blob_fast(config(), options), read_blob_from_device(config()));
        continue;
      }
      const Result<FastBlobResult> reused = read_blob_fast(config(), options);
      ASSERT_TRUE(reused.ok()) << reused.message;
      EXPECT_EQ(reused.value->path, FlashReadPath::held_copy);
      EXPECT_EQ(reused.value->blob.payload, bytes_of(c.held));
    }
    ASSERT_TRUE(rig().clean());
  }
}

TEST_P(FastReadTest, WithoutCrcChecksTheHeldCopyIsNeverTrusted) {
  const FlashBlob stored = make_blob(document_of_size(1000), 0);
  std::vector<std::uint8_t> rotted = stored.raw;
  rotted[500] ^= 0x02;  // the header still describes the original payload
  store(rotted);
  FlashConfig no_crc = config();
  no_crc.verify_crc = false;
  FastReadOptions options;
  options.held_blob = stored;
  options.reuse_held_copy = true;
  const Result<FastBlobResult> fast = read_blob_fast(no_crc, options);
  expect_same_blob(fast, read_blob_from_device(no_crc));
  ASSERT_TRUE(fast.ok());
  EXPECT_EQ(fast.value->blob.raw, rotted);
  EXPECT_NE(fast.value->path, FlashReadPath::held_copy);
}

// ---- A write cut short by a power loss.

TEST_P(FastReadTest, AWriteCutShortIsNeverTakenForTheHeldCopy) {
  // The held copy is the very document being written: its header is the
  // first thing programmed, so after most cuts the stored header matches it
  // while the payload behind it is incomplete.
  const std::string old_document = document_of_size(300, 1);
  const std::string new_document = document_of_size(400, 2);
  const FlashBlob old_blob = make_blob(old_document, 1);
  const FlashBlob new_blob = make_blob(new_document, 2);
  const ReadJsonResult held_new{2, new_document};
  const ReadJsonResult held_old{1, old_document};
  int cuts = 0;
  int torn = 0;
  bool completed = false;
  for (std::uint64_t ops = 0; ops < 20000 && !completed; ops += 3) {
    SCOPED_TRACE(ops);
    store(old_blob.raw, new_blob.raw.size());
    camera().cut_power_after_spi_operations(ops);
    const Result<void> write = write_blob_to_device(config(), new_blob);
    camera().clear_faults();
    if (!camera().attached()) {
      ++cuts;
      camera().replug();
    } else if (write.ok()) {
      completed = true;
    }
    const Result<ReadJsonResult> specified = read_flash_json(config());
    if (!specified.ok()) ++torn;
    for (const ReadJsonResult* held : {&held_new, &held_old}) {
      FastReadOptions options;
      options.held_document = *held;
      options.reuse_held_copy = true;
      expect_same_json(read_flash_json_fast(config(), options), specified);
    }
    expect_same_json(read_flash_json_fast(config(), FastReadOptions{}), specified);
    ASSERT_TRUE(rig().clean());
  }
  EXPECT_TRUE(completed) << "the write never got through";
  EXPECT_GT(cuts, 0);
  EXPECT_GT(torn, 0) << "no cut left a torn blob: the sweep tests nothing";
}

// ---- The device object.

TEST(FastReadDeviceTest, DeviceReadJsonWithOptionsFollowsTheDeviceRules) {
  emulator::CameraConfig camera_config = morvane::testing::default_camera_config();
  camera_config.rom_row = kStreamingRomRow;
  morvane::testing::VirtualCameraRig rig({camera_config});
  DeviceInfo info;
  info.vid = camera_config.vid;
  info.pid = camera_config.pid;
  info.bus_number = camera_config.bus_number;
  info.device_address = rig.camera().device_address();
  info.video_node = "/dev/video0";
  OpenDeviceOptions open_options;
  open_options.required_capabilities = 0;
  Result<Device> opened = open_device(info, open_options);
  ASSERT_TRUE(opened.ok()) << opened.message;
  Device& device = *opened.value;
  ASSERT_TRUE(device.write_json("{ \"k\": [1, 2] }").ok());

  Result<FastJsonResult> first = device.read_json(FastReadOptions{});
  ASSERT_TRUE(first.ok()) << first.message;
  EXPECT_EQ(first.value->json, "{\"k\":[1,2]}");
  EXPECT_EQ(first.value->path, FlashReadPath::streaming);

  ASSERT_TRUE(device.open_imu().ok());
  Result<FastJsonResult> refused = device.read_json(FastReadOptions{});
  EXPECT_EQ(refused.code, ErrorCode::invalid_argument);
  EXPECT_EQ(refused.message, "IMU must be closed before flash JSON access");
  ASSERT_TRUE(device.close_imu().ok());

  Device moved = std::move(device);
  Result<FastJsonResult> closed = device.read_json(FastReadOptions{});  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(closed.code, ErrorCode::invalid_argument);
  EXPECT_EQ(closed.message, "device is closed or moved-from");
  EXPECT_TRUE(moved.read_json(FastReadOptions{}).ok());
  EXPECT_TRUE(rig.clean());
}

}  // namespace
}  // namespace morvane::uvc_stereo
