#include "json/json_text.h"

#include <gtest/gtest.h>

#include <cstdint>
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

Json::Value Parse(const std::string& text) {
  Json::Value root;
  EXPECT_TRUE(ParseStrictJson(text, root)) << text;
  return root;
}

// --- WriteCompactJson -----------------------------------------------------

TEST(WriteCompactJson, WritesUtf8AsItIs) {
  Json::Value reply(Json::objectValue);
  reply["ecode"] = 0;
  reply["message"] = "成功";
  reply["version"] = "1.0.0.0";
  EXPECT_EQ(WriteCompactJson(reply), "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n");
}

struct StringCase {
  const char* name;
  std::string value;
  std::string written;
};

const StringCase kStrings[] = {
    {"Quote", "a\"b", "\"a\\\"b\""},
    {"Backslash", "a\\b", "\"a\\\\b\""},
    {"SlashNotEscaped", "a/b", "\"a/b\""},
    {"NamedControls", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
    {"OtherControls", "\x01\x1f", "\"\\u0001\\u001f\""},
    {"ZeroByte", "a\0b"s, "\"a\\u0000b\""},
    {"Delete", "\x7f", "\"\x7f\""},
    {"FullWidthBrackets", "（）", "\"（）\""},
    {"FourByteUtf8", "\xF0\x9F\x94\x91", "\"\xF0\x9F\x94\x91\""},
    {"Empty", "", "\"\""},
};

class CompactString : public ::testing::TestWithParam<StringCase> {};

TEST_P(CompactString, EscapesOnlyQuoteBackslashAndControls) {
  Json::Value value(Json::objectValue);
  value["s"] = GetParam().value;
  EXPECT_EQ(WriteCompactJson(value), "{\"s\":" + GetParam().written + "}\n");
}

INSTANTIATE_TEST_SUITE_P(Strings, CompactString, ::testing::ValuesIn(kStrings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WriteCompactJson, MembersComeInByteOrderOfTheirNames) {
  Json::Value value(Json::objectValue);
  value["message"] = "m";
  value["ecode"] = 1;
  value["Log"] = true;
  value["ab"] = 2;
  value["a"] = 3;
  value["B"] = 4;
  value["中"] = 5;
  value["_"] = 6;
  EXPECT_EQ(WriteCompactJson(value), "{\"B\":4,\"Log\":true,\"_\":6,\"a\":3,\"ab\":2,\"ecode\":1,\"message\":\"m\",\"中\":5}\n");
}

TEST(WriteCompactJson, LongArraysAndNestingStayOnOneLine) {
  Json::Value value(Json::objectValue);
  Json::Value numbers(Json::arrayValue);
  std::string expected = "[";
  for (int i = 0; i < 40; ++i) {
    numbers.append(i * 1000);
    expected += (i ? "," : "") + std::to_string(i * 1000);
  }
  expected += "]";
  Json::Value words(Json::arrayValue);
  for (int i = 0; i < 30; ++i) words.append("word number " + std::to_string(i));
  value["numbers"] = numbers;
  value["words"] = words;
  value["nested"]["inner"]["list"].append(Json::Value(Json::objectValue));
  value["nested"]["empty"] = Json::Value(Json::arrayValue);
  const std::string text = WriteCompactJson(value);
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_EQ(text.find(' '), text.find("word number 0") + 4);  // blanks only inside strings
  EXPECT_NE(text.find("\"numbers\":" + expected + ","), std::string::npos);
  EXPECT_NE(text.find("\"nested\":{\"empty\":[],\"inner\":{\"list\":[{}]}}"), std::string::npos);
}

TEST(WriteCompactJson, ScalarsAndEmptyContainers) {
  struct Row {
    Json::Value value;
    std::string written;
  };
  const Row rows[] = {
      {Json::Value(Json::objectValue), "{}\n"},
      {Json::Value(Json::arrayValue), "[]\n"},
      {Json::Value(-913), "-913\n"},
      {Json::Value(static_cast<Json::UInt64>(3000000000u)), "3000000000\n"},
      {Json::Value(true), "true\n"},
      {Json::Value(), "null\n"},
      {Json::Value(1.5), "1.5\n"},
  };
  for (const Row& row : rows) EXPECT_EQ(WriteCompactJson(row.value), row.written);
}

TEST(WriteCompactJson, RoundTripsThroughTheStrictReader) {
  const std::string text = "{\"a\":[1,-2,{\"b\":\"中\\n\\\"\"}],\"c\":null,\"d\":false}\n";
  EXPECT_EQ(WriteCompactJson(Parse(text)), text);
}

// --- ParseStrictJson -------------------------------------------------------

struct ParseCase {
  const char* name;
  std::string text;
  bool parses;
};

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

const ParseCase kParse[] = {
    {"Object", "{\"pcode\":4}", true},
    {"Array", "[1,2]", true},
    {"BlanksAround", " \r\n\t{ \"a\" : 1 }\n", true},
    {"TextAfterTheRootIsNotExamined", "{\"pcode\":4} trailing text", true},
    {"RootString", "\"splice\"", false},
    {"RootNumber", "4", false},
    {"RootBoolean", "true", false},
    {"RootNull", "null", false},
    {"Empty", "", false},
    {"Blank", "   ", false},
    {"Word", "splice", false},
    {"CutShort", "{\"pcode\":", false},
    {"TrailingComma", "{\"a\":1,}", false},
    {"SingleQuotes", "{'a':1}", false},
    {"ThousandLevels", Nested(1000), true},
    {"DeeperThanAThousandLevels", Nested(1001), false},
    {"FarTooDeep", Nested(200000), false},
    {"DeepObjects", std::string(5000, '{'), false},
};

class StrictParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(StrictParse, AcceptsOnlyObjectAndArrayRoots) {
  Json::Value root(Json::objectValue);
  root["kept"] = 1;
  const bool parsed = ParseStrictJson(GetParam().text, root);
  EXPECT_EQ(parsed, GetParam().parses);
  if (parsed) {
    EXPECT_TRUE(root.isObject() || root.isArray());
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, StrictParse, ::testing::ValuesIn(kParse),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseStrictJson, KeepsZeroBytesAndUtf8InStrings) {
  Json::Value root = Parse("{\"k\":\"a\\u0000b\",\"u\":\"\\u4e2d\",\"raw\":\"中\"}");
  EXPECT_EQ(root["k"].asString(), "a\0b"s);
  EXPECT_EQ(root["u"].asString(), "中");
  EXPECT_EQ(root["raw"].asString(), "中");
}

// --- IsInt32 ------------------------------------------------------------------

struct IntCase {
  const char* name;
  std::string member;  // JSON text of the value
  bool isInt32;
};

const IntCase kInts[] = {
    {"Small", "4", true},
    {"Negative", "-905", true},
    {"Zero", "0", true},
    {"NegativeZero", "-0", true},
    {"Largest", "2147483647", true},
    {"Smallest", "-2147483648", true},
    {"TooLarge", "2147483648", false},
    {"TooSmall", "-2147483649", false},
    {"Huge", "3000000000", false},
    {"HugerThan64Bits", "99999999999999999999", false},
    {"Fraction", "4.5", false},
    {"WholeFraction", "4.0", false},
    {"Exponent", "4e0", false},
    {"String", "\"4\"", false},
    {"Boolean", "true", false},
    {"Null", "null", false},
    {"Array", "[4]", false},
    {"Object", "{\"v\":4}", false},
};

class Int32Check : public ::testing::TestWithParam<IntCase> {};

TEST_P(Int32Check, AcceptsOnlyIntegersThatFit) {
  Json::Value root = Parse("{\"v\":" + GetParam().member + "}");
  EXPECT_EQ(IsInt32(root["v"]), GetParam().isInt32);
}

INSTANTIATE_TEST_SUITE_P(Values, Int32Check, ::testing::ValuesIn(kInts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IsInt32, MissingMemberIsNotAnInteger) {
  const Json::Value root = Parse("{}");
  EXPECT_FALSE(IsInt32(root["v"]));
}

// --- ReadStringMember ----------------------------------------------------------

TEST(ReadStringMember, ReadsStringsAndRefusesOtherValues) {
  const Json::Value root = Parse("{\"s\":\"a\\u0000b\",\"e\":\"\",\"n\":1,\"b\":true,\"z\":null,\"a\":[\"x\"],\"o\":{}}");
  struct Row {
    const char* name;
    bool ok;
    std::string text;
  };
  const Row rows[] = {
      {"s", true, "a\0b"s}, {"e", true, ""},   {"missing", true, ""}, {"n", false, ""},
      {"b", false, ""},     {"z", false, ""}, {"a", false, ""},       {"o", false, ""},
  };
  for (const Row& row : rows) {
    std::string text = "left over";
    EXPECT_EQ(ReadStringMember(root, row.name, text), row.ok) << row.name;
    EXPECT_EQ(text, row.text) << row.name;
  }
}

TEST(ReadStringMember, RefusesValuesThatAreNotObjects) {
  const Json::Value values[] = {Parse("[\"rankey\"]"), Json::Value("rankey"), Json::Value(4), Json::Value()};
  for (const Json::Value& value : values) {
    std::string text = "left over";
    EXPECT_FALSE(ReadStringMember(value, "rankey", text));
    EXPECT_EQ(text, "");
  }
}

}  // namespace
