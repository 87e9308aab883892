#include "emulator/firmware_image.hpp"

#include <algorithm>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {
namespace {

constexpr std::size_t kVersionFieldLength[4] = {10, 10, 10, 5};  // fields 1, 2, 3, 4
constexpr std::size_t kVersionTextMax = 35;
constexpr std::size_t kMaxStringChars = 31;
constexpr std::uint32_t kEntriesLength = 0x180;  // vid/pid and five string blocks
constexpr std::uint32_t kVidPidOffset = 6;
constexpr std::uint32_t kProductOffset = 0x40;
constexpr std::uint32_t kManufacturerOffset = 0x80;
constexpr std::uint32_t kSerialOffset = 0xC0;
constexpr std::uint32_t kString3Offset = 0x100;
constexpr std::uint32_t kInterfaceOffset = 0x140;
constexpr std::uint32_t kCheckHighOffset = 20;

bool fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

struct Region {
  std::uint32_t begin;
  std::uint32_t end;  // exclusive
  const char* what;
};

void put_be32(std::vector<std::uint8_t>& image, std::uint32_t at, std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * (3 - i)));
}

bool name_is(const std::string& name, const char* four) { return name.compare(0, 4, four) == 0; }

bool name_in(const std::string& name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return name_is(name, n); });
}

}  // namespace

std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ data[i]);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

std::optional<std::array<std::uint8_t, 64>> string_descriptor_block(const std::string& text) {
  if (text.size() > kMaxStringChars) return std::nullopt;
  std::array<std::uint8_t, 64> block;
  block.fill(0xFF);
  block[0] = static_cast<std::uint8_t>(text.size() * 2 + 2);
  block[1] = 3;  // USB string descriptor
  for (std::size_t i = 0; i < text.size(); ++i) {
    block[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    block[3 + 2 * i] = 0;
  }
  return block;
}

std::optional<std::array<std::uint32_t, 4>> version_field_addresses(std::uint8_t chip_id, std::uint8_t sub_version) {
  using Fields = std::array<std::uint32_t, 4>;
  switch (chip_id) {
    case 0x15:
    case 0x56:
      return Fields{0x3E00, 0x3E0A, 0x3E14, 0x01F3};
    case 0x16:
      return Fields{0x0FD0, 0x0FDA, 0x0FE4, 0x0153};
    case 0x25:
      return Fields{0x5E00, 0x5E0A, 0x5E14, 0x01F3};
    case 0x32:
      if (sub_version == 1) return Fields{0x0FD0, 0x0FDA, 0x0FE4, 0x0153};
      if (sub_version == 2) return Fields{0x0FD0, 0x0FE2, 0x0FEC, 0x0FDA};
      return std::nullopt;
    case 0x70:
    case 0x71:
      return Fields{0x3E05, 0x3E0F, 0x3E19, 0x3E00};
    case 0x75:
      if (sub_version == 1) return Fields{0x2000, 0x2012, 0x201C, 0x200A};
      return std::nullopt;
    case 0x76:
      if (sub_version == 1) return Fields{0x3FD0, 0x3FDA, 0x3FE4, 0x0153};
      return std::nullopt;
    case 0x83:
    case 0x85:
    case 0x86:
      return Fields{0x2000, 0x2012, 0x201C, 0x200A};
    case 0x89:
    case 0x90:
      return Fields{0x2000, 0x2012, 0x201D, 0x200A};
    case 0x92:
      return Fields{0x2000, 0x2013, 0x201C, 0x200B};
    default:
      return std::nullopt;
  }
}

ParamTableRule param_table_rule(const std::string& name, std::uint8_t sub, char variant) {
  if (name.size() < 4) return ParamTableRule::fixed_8000;
  if (name_is(name, "231R") && sub >= 2) return ParamTableRule::none;
  if ((name_is(name, "232R") && sub == 1) || (name_is(name, "275R") && sub == 1 && variant == '0') ||
      (name_is(name, "276R") && sub == 1)) {
    return ParamTableRule::fixed_c000;
  }
  if ((name_is(name, "232R") && sub == 2) || (name_in(name, {"288R", "270R", "271R", "280R", "281R"}) && sub == 1)) {
    return ParamTableRule::page_bytes;
  }
  if ((name_in(name, {"272R", "273R", "292R"}) && sub == 1) ||
      (name_in(name, {"275R", "283R", "285R", "286R", "289R", "290R", "287R", "267R"}) && sub == 1 && variant == 'F')) {
    return ParamTableRule::words_be32;
  }
  if (name_is(name, "216R")) return ParamTableRule::fixed_5800;
  return ParamTableRule::fixed_8000;
}

std::optional<FirmwareImage> build_firmware_image(const FirmwareImageOptions& options, std::string* error) {
  const RomGeneration* generation = rom_generation(options.rom_row);
  if (generation == nullptr) return fail(error, "unknown ROM row"), std::nullopt;
  if (options.size < 0x200 || options.size > (1u << 24)) return fail(error, "image size out of range"), std::nullopt;
  if (options.version_text.size() > kVersionTextMax) return fail(error, "version text over 35 bytes"), std::nullopt;

  const std::string rom_name = options.rom_name.empty() ? std::string(generation->name) : options.rom_name;
  const std::uint8_t sub_version = options.rom_sub_version.value_or(generation->sub_version);

  FirmwareImage result;
  FirmwareImageLayout& layout = result.layout;
  std::vector<Region> regions;

  // Version fields.
  if (const auto fields = version_field_addresses(options.chip_id, sub_version)) {
    layout.has_version_fields = true;
    layout.version_field_address = *fields;
    for (int i = 0; i < 4; ++i) {
      regions.push_back(
          {(*fields)[i], static_cast<std::uint32_t>((*fields)[i] + kVersionFieldLength[i]), "version field"});
    }
  }

  // Parameter table location.
  layout.rule = param_table_rule(rom_name, sub_version, options.rom_variant);
  switch (layout.rule) {
    case ParamTableRule::none:
      break;
    case ParamTableRule::fixed_c000:
      layout.param_table_start = 0xC000, layout.param_table_end = 0xCF00, layout.check_value_address = 0xCF00;
      break;
    case ParamTableRule::fixed_5800:
      layout.param_table_start = 0x5800, layout.param_table_end = 0x6700, layout.check_value_address = 0x6700;
      break;
    case ParamTableRule::fixed_8000:
      layout.param_table_start = 0x8000, layout.param_table_end = 0x8800, layout.check_value_address = 0;
      break;
    case ParamTableRule::page_bytes:
      if ((options.param_table_start & 0xFF) != 0 || (options.param_table_length & 0xFF) != 0 ||
          (options.check_value_address & 0xFF) != 0 || options.param_table_start > 0xFF00 ||
          options.param_table_length > 0xFF00 || options.check_value_address > 0xFF00) {
        return fail(error, "table place not expressible in page numbers"), std::nullopt;
      }
      regions.push_back({0x168, 0x16A, "table pointer"});
      regions.push_back({0x16E, 0x16F, "table pointer"});
      [[fallthrough]];
    case ParamTableRule::words_be32:
      if (layout.rule == ParamTableRule::words_be32) {
        regions.push_back({0x16F, 0x177, "table pointer"});
        regions.push_back({0x187, 0x18B, "table pointer"});
      }
      layout.param_table_start = options.param_table_start;
      layout.param_table_end = options.param_table_start + options.param_table_length;
      layout.check_value_address = options.check_value_address;
      break;
  }
  const bool has_table = layout.rule != ParamTableRule::none;
  if (has_table) {
    if (layout.param_table_end < layout.param_table_start + kEntriesLength) {
      return fail(error, "parameter table too short"), std::nullopt;
    }
    regions.push_back({layout.param_table_start, layout.param_table_start + kEntriesLength, "parameter entries"});
    const std::uint32_t check = layout.check_value_address + kCheckHighOffset;
    regions.push_back({check, check + 2, "check value"});
    if (check + 2 > layout.param_table_start && check < layout.param_table_end) {
      return fail(error, "check value inside the table it covers"), std::nullopt;
    }
    if (layout.param_table_end > options.size) return fail(error, "parameter table beyond the image"), std::nullopt;
  }

  // Every part inside the image and apart from every other.
  for (std::size_t i = 0; i < regions.size(); ++i) {
    if (regions[i].end > options.size) {
      return fail(error, std::string(regions[i].what) + " beyond the image"), std::nullopt;
    }
    for (std::size_t j = i + 1; j < regions.size(); ++j) {
      if (regions[i].begin < regions[j].end && regions[j].begin < regions[i].end) {
        return fail(error, std::string(regions[i].what) + " overlaps " + regions[j].what), std::nullopt;
      }
    }
  }

  std::array<std::array<std::uint8_t, 64>, 5> blocks;
  const std::string* texts[5] = {&options.product, &options.manufacturer, &options.serial_number, &options.string3,
                                 &options.interface_name};
  for (int i = 0; i < 5; ++i) {
    const auto block = string_descriptor_block(*texts[i]);
    if (!block) return fail(error, "string over 31 characters"), std::nullopt;
    blocks[i] = *block;
  }

  // Filler: pseudo-random code-like bytes, never 0xFF so that a blank check
  // can tell the image from erased flash.
  std::vector<std::uint8_t>& image = result.bytes;
  image.resize(options.size);
  std::uint32_t state = options.seed != 0 ? options.seed : 1;
  for (auto& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(state >> 24);
    if (byte == 0xFF) byte = 0x5A;
  }

  // Version fields: the raw version is field 4, field 2, field 1, field 3.
  if (layout.has_version_fields) {
    const int raw_order[4] = {3, 1, 0, 2};
    std::size_t consumed = 0;
    for (int field : raw_order) {
      const std::uint32_t at = layout.version_field_address[field];
      for (std::size_t i = 0; i < kVersionFieldLength[field]; ++i, ++consumed) {
        image[at + i] =
            consumed < options.version_text.size() ? static_cast<std::uint8_t>(options.version_text[consumed]) : 0;
      }
    }
  }

  if (has_table) {
    if (layout.rule == ParamTableRule::page_bytes) {
      image[0x168] = static_cast<std::uint8_t>(layout.param_table_start >> 8);
      image[0x169] = static_cast<std::uint8_t>(options.param_table_length >> 8);
      image[0x16E] = static_cast<std::uint8_t>(layout.check_value_address >> 8);
    } else if (layout.rule == ParamTableRule::words_be32) {
      put_be32(image, 0x16F, layout.param_table_start);
      put_be32(image, 0x173, options.param_table_length);
      put_be32(image, 0x187, layout.check_value_address);
    }
    const std::uint32_t start = layout.param_table_start;
    image[start + kVidPidOffset + 0] = static_cast<std::uint8_t>(options.vid);
    image[start + kVidPidOffset + 1] = static_cast<std::uint8_t>(options.vid >> 8);
    image[start + kVidPidOffset + 2] = static_cast<std::uint8_t>(options.pid);
    image[start + kVidPidOffset + 3] = static_cast<std::uint8_t>(options.pid >> 8);
    const std::uint32_t offsets[5] = {kProductOffset, kManufacturerOffset, kSerialOffset, kString3Offset,
                                      kInterfaceOffset};
    for (int i = 0; i < 5; ++i) std::copy(blocks[i].begin(), blocks[i].end(), image.begin() + start + offsets[i]);
    // The check value goes in last: version fields may lie inside the table.
    const std::uint16_t crc = crc16_modbus(image.data() + start, layout.param_table_end - start);
    image[layout.check_value_address + kCheckHighOffset] = static_cast<std::uint8_t>(crc >> 8);
    image[layout.check_value_address + kCheckHighOffset + 1] = static_cast<std::uint8_t>(crc);
  }
  return result;
}

}  // namespace morvane::emulator
