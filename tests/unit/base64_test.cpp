#include "base64/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

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

// The crypto library's block encoder, as an independent reference.
std::string ReferenceEncode(const std::string& bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(written));
  return text;
}

struct Vector {
  std::string bytes;
  std::string text;
};

// RFC 4648, section 10.
const Vector kRfc4648[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

class Base64Rfc4648 : public ::testing::TestWithParam<Vector> {};

TEST_P(Base64Rfc4648, EncodesToTheStandardText) {
  EXPECT_EQ(Base64::encode64(GetParam().bytes), GetParam().text);
}

TEST_P(Base64Rfc4648, DecodesTheStandardText) {
  EXPECT_EQ(Base64::decode64(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Vectors, Base64Rfc4648, ::testing::ValuesIn(kRfc4648));

TEST(Base64Encode, MatchesTheCryptoLibraryForEveryByteValueAndLength) {
  std::string all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  for (size_t length = 0; length <= all.size(); ++length) {
    std::string bytes = all.substr(all.size() - length);
    ASSERT_EQ(Base64::encode64(bytes), ReferenceEncode(bytes)) << "length " << length;
  }
}

TEST(Base64Encode, WritesNoLineBreaksInLongTexts) {
  std::string bytes(3000, '\xA5');
  std::string text = Base64::encode64(bytes);
  EXPECT_EQ(text.size(), 4000u);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64Decode, RoundTripsEveryByteValueAndLength) {
  std::string all;
  for (int value = 255; value >= 0; --value) all += static_cast<char>(value);
  for (size_t length = 0; length <= all.size(); ++length) {
    std::string bytes = all.substr(0, length);
    ASSERT_EQ(Base64::decode64(Base64::encode64(bytes)), bytes) << "length " << length;
  }
}

// The decoder does no validation; each row follows its byte arithmetic.
struct Lenient {
  const char* name;
  std::string text;
  std::string bytes;
};

const Lenient kLenient[] = {
    // The first "=" in the third or fourth place of a group ends the decoding.
    {"StopsAtPaddingInThirdPlace", "Zg==Zm9v", "f"},
    {"StopsAtPaddingInFourthPlace", "Zm8=Zm9v", "fo"},
    {"StopsAtSinglePaddingInThirdPlace", "Zg=xZm9v", "f"},
    {"StopsInALaterGroup", "Zm9vYg==Zm9v", "foob"},
    // A last group of two or three characters yields what it has.
    {"LastGroupOfTwo", "Zm9vZg", "foof"},
    {"LastGroupOfThree", "Zm9vZm8", "foofo"},
    // A last group of one character: the missing second one counts as -1,
    // so "Z" (25) gives 25 * 4 + ((-1 / 16) mod 4) = 100, "d".
    {"LastGroupOfOne", "Zm9vZ", "food"},
    // Bytes outside the alphabet count as -1 (all bits set).
    {"AllOutsideTheAlphabet", "!!!!", "\xFC\xF0\xFF"s},
    {"OutsideInFourthPlace", "Zm9!", "fo\xFF"s},
    // "=" in the first or second place does not stop anything: it is -1.
    {"PaddingInFirstPlace", "=Zm9", "\xFD\x99\xBD"s},
    // Line ends are not skipped either: "\n" is -1 in the third place.
    {"LineEndInsideAGroup", "Zm\n9", "f`\xFD"s},
};

class Base64Lenient : public ::testing::TestWithParam<Lenient> {};

TEST_P(Base64Lenient, FollowsTheByteArithmetic) {
  EXPECT_EQ(Base64::decode64(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, Base64Lenient, ::testing::ValuesIn(kLenient),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Base64Decode, EmptyTextGivesNoBytes) { EXPECT_EQ(Base64::decode64(""), ""); }

}  // namespace
