// JSON validation and minification in one forward pass.
//
// The parser walks the text once, copying every byte outside whitespace to the
// output as it is validated; nothing is decoded and no tree is built. Nesting
// is tracked on an explicit, fixed-size stack of container kinds (one bit per
// level), so deep documents cost neither thread stack nor heap beyond the
// output buffer.
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "morvane/uvc_stereo/flash.hpp"

namespace morvane::uvc_stereo {
namespace {

// Byte classes used by the hot loops.
enum : std::uint8_t {
  kPlain = 0,       // copied as is inside a string
  kStringStop = 1,  // '"', '\\' or a control byte: ends a run of plain string bytes
};

struct ByteTables {
  std::uint8_t string_class[256];
  std::int8_t hex_value[256];  // -1 when not a hexadecimal digit
};

constexpr ByteTables make_tables() {
  ByteTables t{};
  for (int c = 0; c < 256; ++c) {
    t.string_class[c] = (c < 0x20 || c == '"' || c == '\\') ? kStringStop : kPlain;
    t.hex_value[c] = -1;
  }
  for (int c = '0'; c <= '9'; ++c) t.hex_value[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t.hex_value[c] = static_cast<std::int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t.hex_value[c] = static_cast<std::int8_t>(c - 'A' + 10);
  return t;
}

constexpr ByteTables kTables = make_tables();

inline bool is_whitespace(unsigned char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

// One call's cursor over the input and the output written so far. `out` points
// into a buffer of the input's length, which the output can never exceed.
class JsonParser {
 public:
  JsonParser(const unsigned char* begin, const unsigned char* end, char* out) noexcept
      : begin_(begin), cur_(begin), end_(end), out_(out) {}

  std::size_t offset() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
  bool at_end() const noexcept { return cur_ == end_; }
  char* out() const noexcept { return out_; }

  void skip_whitespace() noexcept {
    while (cur_ != end_ && is_whitespace(*cur_)) ++cur_;
  }

  // Parses one value. On failure the cursor is where the parser gave up.
  bool parse_value() noexcept {
    enum class Step { value, key, after_value };
    Step step = Step::value;
    std::size_t depth = 0;
    for (;;) {
      switch (step) {
        case Step::value: {
          if (cur_ == end_) return false;
          const unsigned char c = *cur_;
          if (c == '[' || c == '{') {
            if (depth == kMaxJsonNestingDepth) return false;  // cursor stays on the bracket
            push(depth++, c == '{');
            *out_++ = static_cast<char>(c);
            ++cur_;
            if (cur_ == end_) return false;
            skip_whitespace();
            const unsigned char close = c == '{' ? '}' : ']';
            if (cur_ != end_ && *cur_ == close) {
              *out_++ = static_cast<char>(close);
              ++cur_;
              --depth;
              step = Step::after_value;
            } else {
              step = c == '{' ? Step::key : Step::value;
            }
            break;
          }
          if (!parse_scalar(c)) return false;
          step = Step::after_value;
          break;
        }
        case Step::key: {
          if (cur_ == end_ || *cur_ != '"') return false;
          if (!parse_string()) return false;
          skip_whitespace();
          if (cur_ == end_ || *cur_ != ':') return false;
          *out_++ = ':';
          ++cur_;
          skip_whitespace();
          step = Step::value;
          break;
        }
        case Step::after_value: {
          if (depth == 0) return true;
          skip_whitespace();
          if (cur_ == end_) return false;
          const bool in_object = top(depth - 1);
          const unsigned char c = *cur_;
          if (c == (in_object ? '}' : ']')) {
            *out_++ = static_cast<char>(c);
            ++cur_;
            --depth;
            break;  // still after a value, one level up
          }
          if (c != ',') return false;
          *out_++ = ',';
          ++cur_;
          skip_whitespace();
          if (cur_ == end_) return false;
          step = in_object ? Step::key : Step::value;
          break;
        }
      }
    }
  }

 private:
  // One bit per open container: set for an object, clear for an array.
  void push(std::size_t level, bool is_object) noexcept {
    const std::uint64_t mask = std::uint64_t{1} << (level % 64);
    if (is_object) {
      kinds_[level / 64] |= mask;
    } else {
      kinds_[level / 64] &= ~mask;
    }
  }
  bool top(std::size_t level) const noexcept { return (kinds_[level / 64] >> (level % 64)) & 1u; }

  bool parse_scalar(unsigned char c) noexcept {
    switch (c) {
      case '"':
        return parse_string();
      case 'n':
        return parse_literal("null", 4);
      case 't':
        return parse_literal("true", 4);
      case 'f':
        return parse_literal("false", 5);
      default:
        if (c == '-' || is_digit(c)) return parse_number();
        return false;  // cursor unmoved
    }
  }

  bool parse_literal(const char* word, std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
      if (cur_ == end_ || *cur_ != static_cast<unsigned char>(word[i])) return false;
      *out_++ = word[i];
      ++cur_;
    }
    return true;
  }

  void copy_digits() noexcept {
    while (cur_ != end_ && is_digit(*cur_)) *out_++ = static_cast<char>(*cur_++);
  }

  bool parse_number() noexcept {
    if (*cur_ == '-') {
      *out_++ = '-';
      ++cur_;
      if (cur_ == end_ || !is_digit(*cur_)) return false;
    }
    if (*cur_ == '0') {
      *out_++ = '0';
      ++cur_;  // a leading zero ends the integer part
    } else {
      copy_digits();
    }
    if (cur_ != end_ && *cur_ == '.') {
      *out_++ = '.';
      ++cur_;
      if (cur_ == end_ || !is_digit(*cur_)) return false;
      copy_digits();
    }
    if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
      *out_++ = static_cast<char>(*cur_++);
      if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) *out_++ = static_cast<char>(*cur_++);
      if (cur_ == end_ || !is_digit(*cur_)) return false;
      copy_digits();
    }
    return true;
  }

  // Reads four hexadecimal digits at the cursor into `unit` without moving.
  bool peek_hex4(unsigned& unit) const noexcept {
    if (end_ - cur_ < 4) return false;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = kTables.hex_value[cur_[i]];
      if (digit < 0) return false;
      value = (value << 4) | static_cast<unsigned>(digit);
    }
    unit = value;
    return true;
  }

  void copy_bytes(std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) *out_++ = static_cast<char>(*cur_++);
  }

  // The cursor is on the opening quote.
  bool parse_string() noexcept {
    *out_++ = '"';
    ++cur_;
    for (;;) {
      // Copy the run of ordinary bytes in one go.
      const unsigned char* run = cur_;
      while (run != end_ && kTables.string_class[*run] == kPlain) ++run;
      const std::size_t n = static_cast<std::size_t>(run - cur_);
      std::char_traits<char>::copy(out_, reinterpret_cast<const char*>(cur_), n);
      out_ += n;
      cur_ = run;

      if (cur_ == end_) return false;
      const unsigned char c = *cur_++;
      if (c == '"') {
        *out_++ = '"';
        return true;
      }
      if (c < 0x20) return false;  // raw control byte; the cursor is past it
      // c is a backslash.
      if (cur_ == end_) return false;
      *out_++ = '\\';
      const unsigned char letter = *cur_++;
      switch (letter) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          *out_++ = static_cast<char>(letter);
          break;
        case 'u':
          *out_++ = 'u';
          if (!parse_unicode_escape()) return false;
          break;
        default:
          return false;  // unknown escape; the cursor is past the letter
      }
    }
  }

  // The cursor is just after "\u".
  bool parse_unicode_escape() noexcept {
    unsigned unit = 0;
    if (!peek_hex4(unit)) return false;
    copy_bytes(4);
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // low surrogate without a high one
    if (unit < 0xD800 || unit > 0xDBFF) return true;
    // A high surrogate must be followed at once by an escaped low surrogate.
    if (end_ - cur_ < 6 || cur_[0] != '\\' || cur_[1] != 'u') return false;
    copy_bytes(2);
    unsigned low = 0;
    if (!peek_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
    copy_bytes(4);
    return true;
  }

  const unsigned char* const begin_;
  const unsigned char* cur_;
  const unsigned char* const end_;
  char* out_;
  std::uint64_t kinds_[(kMaxJsonNestingDepth + 63) / 64] = {};
};

Result<std::string> json_failure(const char* base, std::size_t offset) {
  std::string message(base);
  message += " at offset ";
  message += std::to_string(offset);
  return Result<std::string>::failure(ErrorCode::invalid_json, std::move(message));
}

// The offset of the first byte that does not begin a well-formed UTF-8
// sequence (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF), or the text's length when it is all well-formed.
std::size_t first_invalid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // overlong below U+0800
      if (c == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;   // overlong below U+10000
      if (c == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return i;  // a continuation byte, an overlong lead (C0, C1) or F5..FF
    }
    if (n - i < length || p[i + 1] < low || p[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return i;
    i += length;
  }
  return n;
}

}  // namespace

namespace detail {

Result<std::string> minify_json_any_bytes(std::string_view text) noexcept {
  try {
    if (text.empty()) return Result<std::string>::failure(ErrorCode::invalid_json, "json text is empty");

    // The output is never longer than the input: size it once, trim at the end.
    std::string output(text.size(), '\0');
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    JsonParser parser(begin, begin + text.size(), output.data());

    parser.skip_whitespace();
    if (!parser.parse_value()) return json_failure("invalid JSON value", parser.offset());
    parser.skip_whitespace();
    if (!parser.at_end()) return json_failure("unexpected trailing characters", parser.offset());

    output.resize(static_cast<std::size_t>(parser.out() - output.data()));
    return Result<std::string>::success(std::move(output));
  } catch (const std::bad_alloc&) {
    // "out of memory" fits the string's inline buffer, so this cannot throw.
    return Result<std::string>::failure(ErrorCode::internal_error, "out of memory");
  }
}

}  // namespace detail

Result<std::string> minify_and_validate_json(std::string_view text) noexcept {
  Result<std::string> compact = detail::minify_json_any_bytes(text);
  if (!compact.ok()) return compact;
  // Bytes from 0x80 up survive only inside strings, copied as they are: the
  // text is UTF-8 exactly when the input is.
  const std::size_t bad = first_invalid_utf8(text);
  if (bad == text.size()) return compact;
  try {
    return json_failure("invalid UTF-8", bad);
  } catch (const std::bad_alloc&) {
    return Result<std::string>::failure(ErrorCode::internal_error, "out of memory");
  }
}

}  // namespace morvane::uvc_stereo
