// Fuzzes the JSON minifier: accepted output is a fixed point, and acceptance
// agrees with nlohmann-json wherever both check the same rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "morvane/uvc_stereo/flash.hpp"

using morvane::uvc_stereo::ErrorCode;
using morvane::uvc_stereo::kMaxJsonNestingDepth;
using morvane::uvc_stereo::minify_and_validate_json;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF), as
// nlohmann-json requires inside strings. The minifier refuses other bytes
// only after the grammar, so inputs that are not UTF-8 are left out of the
// cross-check.
bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      cp = c & 0x07u;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0u) != 0x80u) return false;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

// Brackets anywhere in the text bound the nesting depth from above.
bool may_exceed_nesting_bound(std::string_view s) {
  std::size_t brackets = 0;
  for (char c : s) brackets += (c == '[' || c == '{');
  return brackets >= kMaxJsonNestingDepth;
}

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exact-size copy, so an over-read is seen by the sanitizer.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto result = minify_and_validate_json(text);
  check(result.ok() == result.value.has_value());
  check(result.ok() == result.message.empty());

  if (result.ok()) {
    const std::string& compact = *result;
    check(!compact.empty() && compact.size() <= text.size());
    check(!is_json_whitespace(compact.front()) && !is_json_whitespace(compact.back()));
    // The compact text is accepted again and is a fixed point.
    const auto again = minify_and_validate_json(compact);
    check(again.ok() && *again == compact);
  } else {
    check(result.code == ErrorCode::invalid_json);
    const std::string& m = result.message;
    check(m == "json text is empty" || m.rfind("invalid JSON value at offset ", 0) == 0 ||
          m.rfind("unexpected trailing characters at offset ", 0) == 0 || m.rfind("invalid UTF-8 at offset ", 0) == 0);
    // Only text that is not UTF-8 is refused for its encoding.
    if (m.rfind("invalid UTF-8 at offset ", 0) == 0) check(!is_valid_utf8(text));
    check((m == "json text is empty") == text.empty());
    const std::size_t at = m.find(" at offset ");
    if (at != std::string::npos) {
      check(std::stoull(m.substr(at + 11)) <= text.size());
    }
  }

  // Cross-check with nlohmann-json, leaving out where the two deliberately
  // differ: the two report ill-formed UTF-8 differently, nlohmann does not bound the
  // depth, and nlohmann takes a NUL byte for the end of the input.
  // nlohmann also skips a leading UTF-8 byte-order mark, which the minifier
  // (whitespace is space, tab, CR and LF only) rejects.
  const bool starts_with_bom = text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
                               static_cast<unsigned char>(text[1]) == 0xBB &&
                               static_cast<unsigned char>(text[2]) == 0xBF;
  if (!is_valid_utf8(text) || may_exceed_nesting_bound(text) || text.find('\0') != std::string::npos || starts_with_bom)
    return 0;
  bool theirs = false;
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(text);
    theirs = true;
  } catch (const nlohmann::json::parse_error&) {
    theirs = false;
  } catch (const nlohmann::json::out_of_range&) {
    return 0;  // a number beyond the double range: valid grammar, refused by nlohmann only
  }
  check(result.ok() == theirs);
  if (theirs) check(nlohmann::json::parse(*result) == value);  // same value, whitespace aside
  return 0;
}
