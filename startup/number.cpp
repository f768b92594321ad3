#include "startup/number.h"

#include <locale.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/errors.h"

namespace kestrel {
namespace {

// White space as the interpreter strips it around a number: the ASCII blanks
// 0x09-0x0D and 0x20 (not the separators 0x1C-0x1F), and the Unicode spaces
// in UTF-8.
constexpr std::array<std::string_view, 19> unicode_spaces = {
    "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81",
    "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86",
    "\xe2\x80\x87", "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8",
    "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};

bool is_ascii_space(char c) { return (c >= 0x09 && c <= 0x0d) || c == ' '; }

// Length of the white space at the front of text (0 when there is none).
std::size_t space_at_front(std::string_view text) {
  if (text.empty()) return 0;
  if (is_ascii_space(text.front())) return 1;
  for (std::string_view space : unicode_spaces) {
    if (text.substr(0, space.size()) == space) return space.size();
  }
  return 0;
}

std::size_t space_at_back(std::string_view text) {
  if (text.empty()) return 0;
  if (is_ascii_space(text.back())) return 1;
  for (std::size_t width : {2, 3}) {
    if (text.size() >= width && space_at_front(text.substr(text.size() - width)) == width) {
      return width;
    }
  }
  return 0;
}

std::string_view strip(std::string_view text) {
  while (std::size_t n = space_at_front(text)) text.remove_prefix(n);
  while (std::size_t n = space_at_back(text)) text.remove_suffix(n);
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
  std::string_view number = strip(text);
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
