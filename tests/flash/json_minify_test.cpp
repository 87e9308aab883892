// JSON minifier: output form, every failure offset, surrogate pairs, nesting
// bound, and agreement with nlohmann-json on generated documents.
#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>

#include "morvane/uvc_stereo/flash.hpp"

namespace morvane::uvc_stereo {
namespace {

std::string minified(std::string_view text) {
  const auto r = minify_and_validate_json(text);
  EXPECT_TRUE(r.ok()) << "input: " << text << "\nmessage: " << r.message;
  EXPECT_EQ(r.code, ErrorCode::ok);
  EXPECT_TRUE(r.message.empty());
  return r.value.value_or("<failed>");
}

// The exact failure message for `text`, checking code and absence of a value.
std::string failure_of(std::string_view text) {
  const auto r = minify_and_validate_json(text);
  EXPECT_EQ(r.code, ErrorCode::invalid_json) << "input: " << text;
  EXPECT_FALSE(r.value.has_value()) << "input: " << text;
  return r.message;
}

std::string invalid_at(std::size_t offset) { return "invalid JSON value at offset " + std::to_string(offset); }
std::string trailing_at(std::size_t offset) {
  return "unexpected trailing characters at offset " + std::to_string(offset);
}

TEST(JsonMinifyOutputTest, RemovesWhitespaceOutsideStringsOnly) {
  EXPECT_EQ(minified(" { \"a\" : [ 1 , 2.5e-3 , true , null ] } "), "{\"a\":[1,2.5e-3,true,null]}");
  EXPECT_EQ(minified(" \t\n\r[ \t\n\r1 \t\n\r, \"x y\\t\" \t\n\r] \t\n\r"), "[1,\"x y\\t\"]");
  EXPECT_EQ(minified("\"a b\""), "\"a b\"");
  EXPECT_EQ(minified("{\n  \"k\" : {\n    \"n\" : [ ]  ,\"o\":{ }\n  }\n}\n"), "{\"k\":{\"n\":[],\"o\":{}}}");
}

TEST(JsonMinifyOutputTest, CopiesScalarsAndEscapesByteForByte) {
  EXPECT_EQ(minified("\"\\u00e9\""), "\"\\u00e9\"");
  EXPECT_EQ(minified("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""), "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(minified("\"\\uABcd\""), "\"\\uABcd\"");
  EXPECT_EQ(minified("\"caf\xC3\xA9 \xF0\x9F\x98\x80\""), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
  // The read paths' variant copies bytes from 0x80 up unchecked; DEL is an
  // ordinary byte. The checked form refuses them (see InvalidUtf8InStrings).
  EXPECT_EQ(detail::minify_json_any_bytes("\"\xFF\xC0\x7F\"").value.value_or(""), "\"\xFF\xC0\x7F\"");
  EXPECT_EQ(minified("\"\x7F\""), "\"\x7F\"");
  EXPECT_EQ(minified("[-0,0.5,1E+10,-1.25e-300,123456789012345678901234567890,1e999]"),
            "[-0,0.5,1E+10,-1.25e-300,123456789012345678901234567890,1e999]");
  EXPECT_EQ(minified("{\"a\":1,\"a\":2}"), "{\"a\":1,\"a\":2}");  // duplicates are kept
}

TEST(JsonMinifyOutputTest, AnyValueMayStandAtTopLevel) {
  EXPECT_EQ(minified("42"), "42");
  EXPECT_EQ(minified("\"x\""), "\"x\"");
  EXPECT_EQ(minified(" null "), "null");
  EXPECT_EQ(minified("true"), "true");
  EXPECT_EQ(minified("false\n"), "false");
  EXPECT_EQ(minified("-0.5E+10"), "-0.5E+10");
  EXPECT_EQ(minified("[]"), "[]");
  EXPECT_EQ(minified("{}"), "{}");
}

TEST(JsonMinifyFailureTest, EmptyAndBlankInput) {
  EXPECT_EQ(failure_of(""), "json text is empty");
  EXPECT_EQ(failure_of("   "), invalid_at(3));
  EXPECT_EQ(failure_of("\n"), invalid_at(1));
}

TEST(JsonMinifyFailureTest, TrailingCharacters) {
  EXPECT_EQ(failure_of("01"), trailing_at(1));
  EXPECT_EQ(failure_of("1 x"), trailing_at(2));
  EXPECT_EQ(failure_of("truex"), trailing_at(4));
  EXPECT_EQ(failure_of("{} {}"), trailing_at(3));
  EXPECT_EQ(failure_of("[]]"), trailing_at(2));
  EXPECT_EQ(failure_of(std::string_view("1\0", 2)), trailing_at(1));
  EXPECT_EQ(failure_of("1\v"), trailing_at(1));  // vertical tab is not whitespace
}

TEST(JsonMinifyFailureTest, ValueStartAndOtherWhitespaceBytes) {
  EXPECT_EQ(failure_of("x"), invalid_at(0));
  EXPECT_EQ(failure_of("  +1"), invalid_at(2));
  EXPECT_EQ(failure_of("\f1"), invalid_at(0));  // form feed ends the skipping
  EXPECT_EQ(failure_of("[1,\v2]"), invalid_at(3));
  EXPECT_EQ(failure_of("'a'"), invalid_at(0));
  EXPECT_EQ(failure_of(".5"), invalid_at(0));
}

TEST(JsonMinifyFailureTest, Literals) {
  EXPECT_EQ(failure_of("nul"), invalid_at(3));
  EXPECT_EQ(failure_of("nxll"), invalid_at(1));
  EXPECT_EQ(failure_of("t"), invalid_at(1));
  EXPECT_EQ(failure_of("fals"), invalid_at(4));
  EXPECT_EQ(failure_of("falsy"), invalid_at(4));
  EXPECT_EQ(failure_of("[tru]"), invalid_at(4));
  EXPECT_EQ(failure_of("True"), invalid_at(0));
}

TEST(JsonMinifyFailureTest, Numbers) {
  EXPECT_EQ(failure_of("-"), invalid_at(1));
  EXPECT_EQ(failure_of("-a"), invalid_at(1));
  EXPECT_EQ(failure_of("- 1"), invalid_at(1));
  EXPECT_EQ(failure_of("1."), invalid_at(2));
  EXPECT_EQ(failure_of("1.e5"), invalid_at(2));
  EXPECT_EQ(failure_of("1e"), invalid_at(2));
  EXPECT_EQ(failure_of("1e+"), invalid_at(3));
  EXPECT_EQ(failure_of("1E-x"), invalid_at(3));
  EXPECT_EQ(failure_of("[0.1,2.]"), invalid_at(7));
  EXPECT_EQ(failure_of("-01"), trailing_at(2));
  EXPECT_EQ(failure_of("1.5.2"), trailing_at(3));
}

TEST(JsonMinifyFailureTest, Strings) {
  EXPECT_EQ(failure_of("\"abc"), invalid_at(4));     // runs out
  EXPECT_EQ(failure_of("\"abc\\"), invalid_at(5));   // backslash at the end
  EXPECT_EQ(failure_of("\"a\tb\""), invalid_at(3));  // just past the raw tab
  EXPECT_EQ(failure_of("\"a\x1f\""), invalid_at(3));
  EXPECT_EQ(failure_of(std::string_view("\"a\0\"", 4)), invalid_at(3));
  EXPECT_EQ(failure_of("\"\\x\""), invalid_at(3));  // after the unknown letter
  EXPECT_EQ(failure_of("\"\\U0041\""), invalid_at(3));
  EXPECT_EQ(failure_of("\"\\u12\""), invalid_at(3));    // fewer than four bytes: just after the u
  EXPECT_EQ(failure_of("\"\\u12G4\""), invalid_at(3));  // a non-hex digit: just after the u
  EXPECT_EQ(failure_of("\"\\u"), invalid_at(3));
}

// Texts are refused unless they are well-formed UTF-8 (RFC 3629), at the
// offset of the first byte of the first ill-formed sequence; the read paths'
// variant copies any bytes, so a document stored earlier still reads.
TEST(JsonMinifyFailureTest, InvalidUtf8InStrings) {
  const std::pair<std::string, std::size_t> refused[] = {
      {"\"\xff\"", 1},
      {"{\"a\":\"\xff\"}", 6},
      {"{\"\xc3\xa9\":\"ok \xe2\x82\"}", 10},  // truncated three-byte sequence
      {"\"\xc0\x80\"", 1},                     // overlong NUL
      {"\"\xe0\x80\x80\"", 1},                 // overlong
      {"\"\xed\xa0\x80\"", 1},                 // a surrogate
      {"\"\xf4\x90\x80\x80\"", 1},             // above U+10FFFF
      {"\"\xf5\x80\x80\x80\"", 1},
      {"\"a\x80\"", 2},  // a lone continuation byte
      {"[\"\xf0\x9f\x98\"]", 2},
  };
  for (const auto& [text, offset] : refused) {
    EXPECT_EQ(failure_of(text), "invalid UTF-8 at offset " + std::to_string(offset)) << text;
    const Result<std::string> read = detail::minify_json_any_bytes(text);
    EXPECT_TRUE(read.ok()) << text;
  }
  for (const char* text :
       {"\"\xc3\xa9\"", "\"\xf0\x9f\x98\x80\"", "\"\xed\x9f\xbf\"", "\"\xf4\x8f\xbf\xbf\"", "\"\xee\x80\x80\""})
    EXPECT_EQ(minified(text), text);
  // The grammar has the first word: a high byte outside a string is no value.
  EXPECT_EQ(failure_of("[\xff]"), invalid_at(1));
  EXPECT_EQ(failure_of("\"\xff\" x"), trailing_at(4));
}

TEST(JsonMinifyFailureTest, SurrogatePairs) {
  EXPECT_EQ(minified("\"\\ud83d\\ude00\""), "\"\\ud83d\\ude00\"");
  EXPECT_EQ(minified("\"\\uD83D\\uDE00x\""), "\"\\uD83D\\uDE00x\"");
  EXPECT_EQ(minified("\"\\udbff\\udfff\""), "\"\\udbff\\udfff\"");
  EXPECT_EQ(minified("\"\\ud7ff\\ue000\""), "\"\\ud7ff\\ue000\"");  // just outside both ranges

  EXPECT_EQ(failure_of("\"\\ud800\""), invalid_at(7));        // no partner, too few bytes left
  EXPECT_EQ(failure_of("\"\\ud800abcdef\""), invalid_at(7));  // enough bytes, not "\u"
  EXPECT_EQ(failure_of("\"\\ud800\\n0000\""), invalid_at(7));
  EXPECT_EQ(failure_of("\"\\ud800\\u0041\""), invalid_at(9));  // partner outside the low range
  EXPECT_EQ(failure_of("\"\\ud800\\udbff\""), invalid_at(9));  // two high surrogates
  EXPECT_EQ(failure_of("\"\\ud800\\ue000\""), invalid_at(9));
  EXPECT_EQ(failure_of("\"\\ud800\\udcxx\""), invalid_at(9));  // malformed digits
  EXPECT_EQ(failure_of("\"\\udc00\""), invalid_at(7));         // a low surrogate alone
  EXPECT_EQ(failure_of("\"\\udfff\\udc00\""), invalid_at(7));
}

TEST(JsonMinifyFailureTest, Arrays) {
  EXPECT_EQ(failure_of("["), invalid_at(1));
  EXPECT_EQ(failure_of("[ "), invalid_at(2));
  EXPECT_EQ(failure_of("[1"), invalid_at(2));
  EXPECT_EQ(failure_of("[1 "), invalid_at(3));
  EXPECT_EQ(failure_of("[1,"), invalid_at(3));
  EXPECT_EQ(failure_of("[1, "), invalid_at(4));
  EXPECT_EQ(failure_of("[1,]"), invalid_at(3));
  EXPECT_EQ(failure_of("[1 2]"), invalid_at(3));
  EXPECT_EQ(failure_of("[1}"), invalid_at(2));
  EXPECT_EQ(failure_of("[,1]"), invalid_at(1));
  EXPECT_EQ(failure_of("[[1],[2]"), invalid_at(8));
}

TEST(JsonMinifyFailureTest, Objects) {
  EXPECT_EQ(failure_of("{"), invalid_at(1));
  EXPECT_EQ(failure_of("{\"a\" 1}"), invalid_at(5));
  EXPECT_EQ(failure_of("{\"a\""), invalid_at(4));
  EXPECT_EQ(failure_of("{\"a\":"), invalid_at(5));
  EXPECT_EQ(failure_of("{\"a\":1"), invalid_at(6));
  EXPECT_EQ(failure_of("{\"a\":1,"), invalid_at(7));
  EXPECT_EQ(failure_of("{\"a\":1,}"), invalid_at(7));  // the key expected at the brace
  EXPECT_EQ(failure_of("{\"a\":1]"), invalid_at(6));
  EXPECT_EQ(failure_of("{1:2}"), invalid_at(1));
  EXPECT_EQ(failure_of("{a:1}"), invalid_at(1));
  EXPECT_EQ(failure_of("{,}"), invalid_at(1));
  EXPECT_EQ(failure_of("{\"a\":1 \"b\":2}"), invalid_at(7));
  EXPECT_EQ(failure_of("{\"a\"::1}"), invalid_at(5));
  EXPECT_EQ(failure_of("{\"a\":}"), invalid_at(5));
  EXPECT_EQ(failure_of("{\"a\\q\":1}"), invalid_at(5));  // a bad escape in a key
}

TEST(JsonMinifyNestingTest, AcceptsTheDeepestAllowedDocument) {
  const std::size_t depth = kMaxJsonNestingDepth;
  const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_EQ(minified(arrays), arrays);

  std::string objects;
  for (std::size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  objects += "1";
  objects += std::string(depth, '}');
  EXPECT_EQ(minified(objects), objects);

  // Closing brackets give their levels back: a sibling may reach the bound again.
  const std::string siblings = std::string(depth - 1, '[') + "[],[],{}" + std::string(depth - 1, ']');
  EXPECT_EQ(minified(siblings), siblings);
}

TEST(JsonMinifyNestingTest, RefusesTheBracketBeyondTheBound) {
  const std::size_t depth = kMaxJsonNestingDepth;
  const std::string arrays = std::string(depth + 1, '[') + std::string(depth + 1, ']');
  EXPECT_EQ(failure_of(arrays), invalid_at(depth));

  std::string objects;
  for (std::size_t i = 0; i <= depth; ++i) objects += "{\"a\":";
  EXPECT_EQ(failure_of(objects + "1"), invalid_at(5 * depth));

  // A million open brackets: a clean failure at the bound, without recursion.
  EXPECT_EQ(failure_of(std::string(1000000, '[')), invalid_at(depth));
  std::string mixed;
  for (std::size_t i = 0; i < 500000; ++i) mixed += "{\"k\":[";
  EXPECT_EQ(failure_of(mixed), invalid_at(6 * (depth / 2)));
}

// --- Agreement with nlohmann-json on generated documents -------------------

// Renders random JSON values twice: with random whitespace between tokens, and
// in the compact form the minifier must produce.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(std::uint32_t seed) : rng_(seed) {}

  void value(int depth, std::string& spaced, std::string& compact) {
    const int kind = pick(depth > 4 ? 6 : 8);
    switch (kind) {
      case 0:
        both("null", spaced, compact);
        break;
      case 1:
        both(pick(2) ? "true" : "false", spaced, compact);
        break;
      case 2:
      case 3:
        both(number(), spaced, compact);
        break;
      case 4:
      case 5:
        both(string(), spaced, compact);
        break;
      case 6: {
        both("[", spaced, compact);
        const int n = pick(5);
        for (int i = 0; i < n; ++i) {
          if (i) punct(",", spaced, compact);
          ws(spaced);
          value(depth + 1, spaced, compact);
        }
        punct("]", spaced, compact);
        break;
      }
      default: {
        both("{", spaced, compact);
        const int n = pick(5);
        for (int i = 0; i < n; ++i) {
          if (i) punct(",", spaced, compact);
          ws(spaced);
          both(string(), spaced, compact);
          punct(":", spaced, compact);
          ws(spaced);
          value(depth + 1, spaced, compact);
        }
        punct("}", spaced, compact);
        break;
      }
    }
  }

  std::uint32_t next() { return rng_(); }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }

  static void both(const std::string& token, std::string& spaced, std::string& compact) {
    spaced += token;
    compact += token;
  }
  void punct(const char* p, std::string& spaced, std::string& compact) {
    ws(spaced);
    both(p, spaced, compact);
  }
  void ws(std::string& s) {
    static const char* const kSpaces[] = {"", "", " ", "\n    ", "\t", "\r\n", "  \n\t\r "};
    s += kSpaces[pick(7)];
  }

  std::string digits(int min_count) {
    std::string d;
    const int n = min_count + pick(6);
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + pick(10));
    return d;
  }

  std::string number() {
    std::string n;
    if (pick(3) == 0) n += '-';
    if (pick(4) == 0) {
      n += '0';
    } else {
      n += static_cast<char>('1' + pick(9));
      n += digits(0);
    }
    if (pick(2)) n += "." + digits(1);
    if (pick(3) == 0) {
      n += pick(2) ? 'e' : 'E';
      const int sign = pick(3);
      if (sign == 1) n += '+';
      if (sign == 2) n += '-';
      n += std::to_string(pick(300));
    }
    return n;
  }

  std::string string() {
    static const char* const kPieces[] = {"a",
                                          "Z",
                                          " ",
                                          "  ",
                                          "\\n",
                                          "\\\"",
                                          "\\\\",
                                          "\\/",
                                          "\\t",
                                          "\\u00e9",
                                          "\\ud83d\\ude00",
                                          "\\uABCD",
                                          "\xC3\xA9",
                                          "\xE2\x82\xAC",
                                          "\xF0\x9F\x98\x80",
                                          "{",
                                          "]",
                                          ",",
                                          ":",
                                          "\\b"};
    std::string s = "\"";
    const int n = pick(8);
    for (int i = 0; i < n; ++i) s += kPieces[pick(20)];
    return s + "\"";
  }

  std::mt19937 rng_;
};

TEST(JsonMinifyPropertyTest, GeneratedDocumentsMinifyToTheirCompactForm) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    DocumentGenerator gen(seed);
    std::string spaced;
    std::string compact;
    gen.value(0, spaced, compact);
    const auto r = minify_and_validate_json(spaced);
    ASSERT_TRUE(r.ok()) << "seed " << seed << ": " << r.message << "\n" << spaced;
    ASSERT_EQ(*r, compact) << "seed " << seed;
    // Minifying again changes nothing.
    const auto again = minify_and_validate_json(*r);
    ASSERT_TRUE(again.ok()) << again.message;
    EXPECT_EQ(*again, *r);
    // The compact text denotes the same value as the original.
    EXPECT_EQ(nlohmann::json::parse(*r), nlohmann::json::parse(spaced)) << "seed " << seed;
  }
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
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
    if (i + n >= s.size()) return false;  // sequence cut off by the end
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

// True when nlohmann-json rejects `text` for a reason the minifier deliberately
// does not check: numbers outside the double range.
bool rejected_for_number_range(const std::string& text) {
  try {
    const nlohmann::json parsed = nlohmann::json::parse(text);
    static_cast<void>(parsed);
  } catch (const nlohmann::json::parse_error&) {
    return false;
  } catch (const nlohmann::json::out_of_range& e) {
    return std::string(e.what()).find("number overflow") != std::string::npos;
  }
  return false;
}

TEST(JsonMinifyPropertyTest, MutatedDocumentsAreAcceptedExactlyWhenNlohmannAcceptsThem) {
  static const char kAlphabet[] = "{}[],:\"\\ \n0123456789-+.eEtrufalsnu/bx";
  int accepted = 0;
  int rejected = 0;
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    DocumentGenerator gen(seed);
    std::string text;
    std::string compact;
    gen.value(0, text, compact);
    const int edits = 1 + static_cast<int>(gen.next() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = gen.next() % text.size();
      const char c = kAlphabet[gen.next() % (sizeof(kAlphabet) - 1)];
      switch (gen.next() % 3) {
        case 0:
          text.erase(at, 1);
          break;
        case 1:
          text.insert(at, 1, c);
          break;
        default:
          text[at] = c;
          break;
      }
    }
    // Cutting a multi-byte UTF-8 sequence apart makes nlohmann reject the
    // text for its encoding, as the minifier does: such texts are compared too.
    if (rejected_for_number_range(text)) continue;

    const bool ours = minify_and_validate_json(text).ok();
    const bool theirs = nlohmann::json::accept(text);
    if (detail::minify_json_any_bytes(text).ok()) {
      ASSERT_EQ(ours, is_valid_utf8(text)) << "seed " << seed;
    }
    ASSERT_EQ(ours, theirs) << "seed " << seed << " text: " << text;
    (ours ? accepted : rejected)++;
  }
  // Both outcomes must have been exercised for the comparison to mean anything.
  EXPECT_GT(accepted, 100);
  EXPECT_GT(rejected, 100);
}

}  // namespace
}  // namespace morvane::uvc_stereo
