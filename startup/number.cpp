#include "startup/number.h"

#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

#include "platform/errors.h"

namespace kestrel {
namespace {

// Non-ASCII characters the interpreter reads in a number: the Unicode white
// space, and the decimal digits of every script (Unicode 14.0: each block of
// ten starts at one of these zeros).
constexpr char32_t unicode_spaces[] = {0x85,   0xa0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
                                       0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200a,
                                       0x2028, 0x2029, 0x202f, 0x205f, 0x3000};
constexpr char32_t unicode_zeros[] = {
    0x660,   0x6f0,   0x7c0,   0x966,   0x9e6,   0xa66,   0xae6,   0xb66,   0xbe6,   0xc66,
    0xce6,   0xd66,   0xde6,   0xe50,   0xed0,   0xf20,   0x1040,  0x1090,  0x17e0,  0x1810,
    0x1946,  0x19d0,  0x1a80,  0x1a90,  0x1b50,  0x1bb0,  0x1c40,  0x1c50,  0xa620,  0xa8d0,
    0xa900,  0xa9d0,  0xa9f0,  0xaa50,  0xabf0,  0xff10,  0x104a0, 0x10d30, 0x11066, 0x110f0,
    0x11136, 0x111d0, 0x112f0, 0x11450, 0x114d0, 0x11650, 0x116c0, 0x11730, 0x118e0, 0x11950,
    0x11c50, 0x11d50, 0x11da0, 0x16a60, 0x16ac0, 0x16b50, 0x1d7ce, 0x1d7d8, 0x1d7e2, 0x1d7ec,
    0x1d7f6, 0x1e140, 0x1e2f0, 0x1e950, 0x1fbf0};

// The code point of the UTF-8 sequence at text[pos], advancing pos past it;
// nothing for a malformed sequence.
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos++]);
  const int length = lead < 0xc0 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : lead < 0xf8 ? 4 : 0;
  if (length == 0 || pos + length - 1 > text.size()) return std::nullopt;
  char32_t point = lead & (0x7f >> length);
  for (int k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(text[pos++]);
    if ((byte & 0xc0) != 0x80) return std::nullopt;
    point = point << 6 | (byte & 0x3f);
  }
  constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < smallest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
    return std::nullopt;
  }
  return point;
}

// The text as the interpreter parses a number from it: each non-ASCII white
// space becomes a blank and each non-ASCII decimal digit its ASCII digit; any
// other non-ASCII character (or malformed UTF-8) makes it no number.
std::optional<std::string> to_ascii(std::string_view text) {
  std::string ascii;
  for (std::size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ascii += text[pos++];
      continue;
    }
    const std::optional<char32_t> point = next_code_point(text, pos);
    if (!point) return std::nullopt;
    if (std::find(std::begin(unicode_spaces), std::end(unicode_spaces), *point) !=
        std::end(unicode_spaces)) {
      ascii += ' ';
      continue;
    }
    const auto zero = std::upper_bound(std::begin(unicode_zeros), std::end(unicode_zeros), *point);
    if (zero == std::begin(unicode_zeros) || *point - zero[-1] > 9) return std::nullopt;
    ascii += static_cast<char>('0' + (*point - zero[-1]));
  }
  return ascii;
}

// White space around a number: the ASCII blanks 0x09-0x0D and 0x20 (not the
// separators 0x1C-0x1F).
bool is_space(char c) { return (c >= 0x09 && c <= 0x0d) || c == ' '; }

std::string_view strip(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

std::size_t digits_at(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return end - pos;
}

// digits ["." digits] or "." digits, then an optional exponent, and nothing else.
bool is_decimal(std::string_view text) {
  std::size_t pos = 0;
  const std::size_t whole = digits_at(text, pos);
  pos += whole;
  std::size_t fraction = 0;
  if (pos < text.size() && text[pos] == '.') {
    fraction = digits_at(text, ++pos);
    pos += fraction;
  }
  if (whole + fraction == 0) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    const std::size_t exponent = digits_at(text, pos);
    if (exponent == 0) return false;
    pos += exponent;
  }
  return pos == text.size();
}

bool equals_ignoring_case(std::string_view text, std::string_view word) {
  return text.size() == word.size() &&
         std::equal(text.begin(), text.end(), word.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

// strtod in the "C" locale, whatever locale the host process has set.
double parse_decimal(const std::string& text) {
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return ::strtod_l(text.c_str(), nullptr, c_locale);
}

}  // namespace

double convert_number(std::string_view text) {
  const std::optional<std::string> ascii = to_ascii(text);
  if (!ascii) throw ConversionError(std::string(text));
  std::string_view number = strip(*ascii);
  bool negative = false;
  if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  double magnitude = 0;
  if (equals_ignoring_case(number, "inf") || equals_ignoring_case(number, "infinity")) {
    magnitude = std::numeric_limits<double>::infinity();
  } else if (equals_ignoring_case(number, "nan")) {
    magnitude = std::numeric_limits<double>::quiet_NaN();
  } else if (is_decimal(number)) {
    magnitude = parse_decimal(std::string(number));
  } else {
    throw ConversionError(std::string(text));
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace kestrel
