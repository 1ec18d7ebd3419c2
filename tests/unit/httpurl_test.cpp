#include "service/httpurl.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace {

using namespace std::string_literals;

// Rows print as their name in test output.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

struct Case {
  const char* name;
  std::string input;
  std::string output;
};

const Case kDecode[] = {
    {"PlusIsSpace", "a+b", "a b"},
    {"EscapedPlus", "%2B", "+"},
    {"LowerCaseHexIsNotAnEscape", "%2b", "2b"},
    {"ValidThenCutShort", "%41%4", "A4"},
    {"TrailingPercentKept", "abc%", "abc%"},
    {"LonePercentKept", "%", "%"},
    {"PercentBeforeNonHex", "%G1", "G1"},
    {"PercentBeforePercent", "%%41", "A"},
    {"PercentBeforePlus", "%+", " "},
    {"HalfEscapeBeforePlus", "%4+", "4 "},
    {"UpperCaseUtf8", "%E4%B8%AD%E6%96%87", "中文"},
    {"LowerCaseUtf8", "%e4%b8%ad", "e4b8ad"},
    {"MixedCaseEscape", "%4a%4A", "4aJ"},
    {"EscapedZeroByteIsKept", "a%00b", "a\0b"s},
    {"StopsAtZeroByte", "ab\0%41"s, "ab"},
    {"AmpersandAndEquals", "%26%3D", "&="},
    {"Empty", "", ""},
    {"PlainTextUnchanged", "jsoncallback=cb_1.x", "jsoncallback=cb_1.x"},
};

class DecodeUrlCase : public ::testing::TestWithParam<Case> {};

TEST_P(DecodeUrlCase, Decodes) { EXPECT_EQ(CHttpUrl().DecodeUrl(GetParam().input), GetParam().output); }

INSTANTIATE_TEST_SUITE_P(Cases, DecodeUrlCase, ::testing::ValuesIn(kDecode),
                         [](const auto& info) { return std::string(info.param.name); });

const Case kEncode[] = {
    {"SpaceIsPlus", "a b", "a+b"},
    {"PlusEscaped", "+", "%2B"},
    {"SafePunctuationKept", "*-._", "*-._"},
    {"OtherPunctuationEscaped", "~/?&=%", "%7E%2F%3F%26%3D%25"},
    {"Utf8UpperCaseHex", "中", "%E4%B8%AD"},
    {"HighAndLowBytes", "\x01\x7F\xFF", "%01%7F%FF"},
    {"StopsAtZeroByte", "ab\0cd"s, "ab"},
    {"Empty", "", ""},
};

class EncodeUrlCase : public ::testing::TestWithParam<Case> {};

TEST_P(EncodeUrlCase, Encodes) { EXPECT_EQ(CHttpUrl().EncodeUrl(GetParam().input), GetParam().output); }

INSTANTIATE_TEST_SUITE_P(Cases, EncodeUrlCase, ::testing::ValuesIn(kEncode),
                         [](const auto& info) { return std::string(info.param.name); });

bool ExpectedSafe(int byte) {
  return std::isalnum(byte) != 0 || byte == ' ' || byte == '*' || byte == '-' || byte == '.' || byte == '_';
}

TEST(EncodeUrl, WritesExactlySixtySevenByteValuesUnchanged) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  int safe = 0;
  for (int byte = 1; byte < 256; ++byte) {
    std::string encoded = CHttpUrl().EncodeUrl(std::string(1, static_cast<char>(byte)));
    if (ExpectedSafe(byte)) {
      ++safe;
      EXPECT_EQ(encoded, byte == ' ' ? "+" : std::string(1, static_cast<char>(byte))) << "byte " << byte;
    } else {
      const std::string escape = {'%', kHex[byte >> 4], kHex[byte & 15]};
      EXPECT_EQ(encoded, escape) << "byte " << byte;
    }
  }
  EXPECT_EQ(safe, 67);
}

TEST(EncodeUrl, DecodeUndoesItForEveryByteValue) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  CHttpUrl url;
  EXPECT_EQ(url.DecodeUrl(url.EncodeUrl(all)), all);
}

TEST(HttpUrl, ServesThroughTheAbstractBase) {
  CHttpUrl concrete;
  CUrl& url = concrete;
  EXPECT_EQ(url.EncodeUrl("a b+"), "a+b%2B");
  EXPECT_EQ(url.DecodeUrl("a+b%2B"), "a b+");
}

}  // namespace
