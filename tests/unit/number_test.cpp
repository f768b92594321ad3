#include "startup/number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "platform/errors.h"
#include "support.h"

namespace kestrel {
namespace {

using namespace std::string_literals;
using testing::convert_with_python;

double convert(std::string_view text) { return convert_with_python(text); }

// float() as a script of answers: "text" -> value, and counts of the calls.
struct ScriptedFloats : Floats {
  std::optional<double> parse(const std::string& text) override {
    asked.push_back(text);
    return text == "7" ? std::optional<double>(7.0) : std::nullopt;
  }
  std::vector<std::string> asked;
};

TEST(Number, AnUnderscoreFailsWithoutAskingTheInterpreter) {
  ScriptedFloats floats;
  for (const std::string& text : {"1_0"s, "_7"s, "7_"s, "1_000.5"s, "inf_"s}) {
    try {
      convert_number(text, floats);
      ADD_FAILURE() << "converted " << text;
    } catch (const ConversionError& error) {
      EXPECT_EQ(error.text, text);
    }
  }
  EXPECT_TRUE(floats.asked.empty());
  EXPECT_EQ(convert_number("7", floats), 7.0);
  EXPECT_THROW(convert_number("1,5", floats), ConversionError);
  EXPECT_EQ(floats.asked, (std::vector<std::string>{"7", "1,5"}));
}

TEST(Number, ConvertsDecimalTextsWithSurroundingWhiteSpace) {
  const std::pair<std::string, double> cases[] = {
      {"0.5\n", 0.5}, {"  3  ", 3.0},       {"1e1", 10.0},          {".5", 0.5},
      {"5.", 5.0},    {"-.5e-3", -0.0005},  {"+inf", INFINITY},     {"-Infinity", -INFINITY},
      {"0.57", 0.57}, {"\r\n 2 \x0c", 2.0}, {"\u00a07\u3000", 7.0}, {"\u20281\u0085", 1.0}};
  for (const auto& [text, value] : cases) EXPECT_EQ(convert(text), value) << text;
  EXPECT_TRUE(std::isnan(convert("nan")));
}

TEST(Number, RejectsEverythingElseKeepingTheText) {
  for (const std::string& text :
       {""s, " "s, "1,5"s, "1_0"s, "0x10"s, "1e"s, "e1"s, "."s, "+"s, "1 2"s, "inf1"s, "1\0"s,
        "--1"s, "\x1c 1"s, "1\x1f"s, "\xc2 1"s}) {
    try {
      convert(text);
      ADD_FAILURE() << "converted " << testing::hex_of(text);
    } catch (const ConversionError& error) {
      EXPECT_EQ(error.text, text);
    }
  }
}

TEST(Number, ReadsTheDecimalDigitsOfEveryScriptAsFloatDoes) {
  EXPECT_EQ(convert("\u0663.\u0665\n"), 3.5);  // Arabic-Indic
  EXPECT_EQ(convert("\uff11e\u0968"), 100.0);  // fullwidth, Devanagari
  EXPECT_EQ(convert("-\U0001d7d92"), -12.0);   // mathematical bold
  // a blank inside, a superscript (no decimal digit), overlong and surrogate
  // encodings, fullwidth letters
  for (const std::string& text :
       {"1\u00a02"s, "\u2070"s, "\xe0\x99\xa0"s, "\xed\xa0\x80"s, "\uff49\uff4e\uff46"s}) {
    EXPECT_THROW(convert(text), ConversionError) << testing::hex_of(text);
  }
}

// The value's bits, "nan" or "error": comparable with the interpreter's float()
// (whose underscores fail here).
std::string outcome(const std::string& text) {
  try {
    const double value = convert(text);
    if (std::isnan(value)) return "nan";
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return std::to_string(bits);
  } catch (const ConversionError&) {
    return "error";
  }
}

TEST(Number, AgreesWithTheInterpretersFloat) {
  std::vector<std::string> texts;
  std::vector<std::string> bodies = {"", "1 1", "1\xff", "\xed\xa0\x80"};
  std::istringstream words(
      "0 1 12.5 .5 5. 1e5 1E-3 1.5e+2 007 inf Infinity nAn iNf infinit e1 1e . ..5 1.2.3 0x1A 1,5 "
      "1e+ 0.1 1e400 4.9e-324 2.2250738585072011e-308 9007199254740993 a "
      "123456789012345678901234567890.5 1_0 1_000.5 _1 in_f");
  for (std::string word; words >> word;) bodies.push_back(word);
  const char* const signs[] = {"", "+", "-", "+-"};
  const char* const blanks[] = {"",         " ",           "\n",       "\t\r\n",
                                "\x0b",     "\x1c",        "\xc2\xa0", "\xe2\x80\xaf",
                                "\xc2\x85", "\xe2\x80\x8b"};  // the last is no white space
  for (const std::string& body : bodies) {
    for (const char* sign : signs) {
      for (const char* front : blanks) {
        for (const char* back : blanks) texts.push_back(std::string(front) + sign + body + back);
      }
    }
  }
  testing::expect_agrees_with_python(
      "import struct, sys\n"
      "for line in sys.stdin:\n"
      "    try:\n"
      "        text = bytes.fromhex(line).decode('utf-8')\n"
      "        if '_' in text:\n"
      "            raise ValueError('no digit grouping in a range file')\n"
      "        x = float(text)\n"
      "        print('nan' if x != x else struct.unpack('<Q', struct.pack('<d', x))[0])\n"
      "    except ValueError:\n"
      "        print('error')\n",
      texts, outcome);
}

}  // namespace
}  // namespace kestrel
