#include "service/authenticator.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "service/http_request.h"
#include "tools/client/envelope.h"

namespace {

using namespace std::string_literals;

// Rows print as their name in test output.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// --- The sender's side, written here from the envelope's rules -------------

std::string Hex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string B64(const std::string& bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(written));
  return text;
}

// AES-256-ECB under 32 key bytes, with or without PKCS#7 padding.
std::string Ecb(const std::string& data, const std::string& key, bool encrypting, bool padding) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::string out(data.size() + 32, '\0');
  int written = 0, last = 0;
  if (key.size() != 32 ||
      EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                        nullptr, encrypting ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0) != 1 ||
      EVP_CipherUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                       reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), reinterpret_cast<unsigned char*>(out.data()) + written, &last) != 1) {
    throw std::runtime_error("AES-256-ECB failed");
  }
  out.resize(static_cast<size_t>(written + last));
  return out;
}

// The second key text: rankey zero-extended to whole blocks, decrypted under
// the request key, its first 32 bytes in Base64, the first 32 characters of
// that.  Shorter texts (rankeys of 16 bytes or fewer) are zero-extended, as
// a careless sender might do.
std::string SecondKey(const std::string& rankey) {
  std::string blocks = rankey;
  blocks.resize((rankey.size() + 15) / 16 * 16, '\0');
  std::string decrypted = Ecb(blocks, kRequestKey, false, false);
  if (decrypted.size() > 32) decrypted.resize(32);
  std::string key = B64(decrypted).substr(0, 32);
  key.resize(32, '\0');
  return key;
}

// datab for a check text.
std::string CheckBlock(const std::string& rankey, const std::string& checkText) {
  return B64(Ecb(checkText, SecondKey(rankey), true, true));
}

std::string EnvelopeText(const Json::Value& envelope) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, envelope);
}

std::string Envelope(const std::string& rankey, const std::string& datab, const std::string& datac) {
  Json::Value envelope(Json::objectValue);
  envelope["rankey"] = rankey;
  envelope["datab"] = datab;
  envelope["datac"] = datac;
  return EnvelopeText(envelope);
}

std::string DecryptStr(std::string envelope) { return CHttpRequest().DecryptStr(envelope); }

int Check(const std::string& rankey, const std::string& datab, const std::string& datac, std::string& out) {
  CHttpRequestAuthenticaor authenticator;
  authenticator.InitAuthenticaor(rankey, datab, datac);
  return authenticator.Decrypt(out);
}

const std::string kRankey20 = "r4nd0m-rankey-20byte";  // 20 bytes

// --- Valid envelopes -----------------------------------------------------

TEST(Envelope, SenderHelperAgreesWithTheClientLibrary) {
  for (const std::string& rankey :
       std::vector<std::string>{"ABCDEFGHIJKLMNOPQ", kRankey20, std::string(32, 'k'), std::string(40, 'z')}) {
    EXPECT_EQ(Envelope(rankey, CheckBlock(rankey, rankey), B64("{\"pcode\":4}")),
              vasquill_client::BuildEnvelope("{\"pcode\":4}", rankey));
  }
}

struct ValidCase {
  const char* name;
  std::string rankey;
  std::string command;
};

const ValidCase kValid[] = {
    {"Rankey17", "0123456789abcdefg", "{\"pcode\":4}"},
    {"Rankey20ZeroExtended", kRankey20, "{\"pcode\":4}"},
    {"Rankey24", "ABCDEFGHIJKLMNOPQRSTUVWX", "{\"pcode\":8}"},
    {"Rankey32", std::string(32, 'Q'), "{\"pcode\":5,\"errcode\":-901}"},
    {"Rankey33", std::string(33, 'q'), "{\"pcode\":4}"},
    {"Rankey100", std::string(100, '7'), "{\"pcode\":4}"},
    {"RankeyUtf8", "随机密钥随机密钥随机密钥", "{\"pcode\":4}"},
    {"RankeyWithZeroBytes", "abc\0def\0ghi\0jkl\0mno\0"s, "{\"pcode\":4}"},
    {"CommandBytesExact", kRankey20, "\0\x01\xFF\x80 not JSON {"s},
    {"CommandUtf8", kRankey20, "{\"note\":\"中文\"}"},
    {"CommandLong", kRankey20, std::string(10000, 'c')},
    {"CommandEmpty", kRankey20, ""},
};

class ValidEnvelope : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidEnvelope, YieldsExactlyTheDecodedDatac) {
  const std::string& rankey = GetParam().rankey;
  const std::string datab = CheckBlock(rankey, rankey);
  const std::string datac = B64(GetParam().command);
  EXPECT_EQ(DecryptStr(Envelope(rankey, datab, datac)), GetParam().command);
  std::string out = "left over";
  EXPECT_EQ(Check(rankey, datab, datac, out), 0);
  EXPECT_EQ(out, GetParam().command);
}

INSTANTIATE_TEST_SUITE_P(Cases, ValidEnvelope, ::testing::ValuesIn(kValid),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Envelope, ExtraMembersAndMemberOrderDoNotMatter) {
  const std::string datab = CheckBlock(kRankey20, kRankey20);
  const std::string text = "{ \"datac\" : \"" + B64("{\"pcode\":4}") + "\", \"extra\": [1, {}], \"datab\": \"" +
                           datab + "\", \"rankey\": \"" + kRankey20 + "\" }";
  EXPECT_EQ(DecryptStr(text), "{\"pcode\":4}");
}

// --- The check ---------------------------------------------------------------

struct CheckCase {
  const char* name;
  std::string datab;  // for rankey kRankey20
  int result;
};

std::vector<CheckCase> CheckCases() {
  const std::string& r = kRankey20;
  std::string wrongLast = r;
  wrongLast.back() ^= 1;
  std::string zeroExtended = r;
  zeroExtended.resize(48, '\0');
  std::string cipher = Ecb(r, SecondKey(r), true, true);
  return {
      {"RankeyAlone", CheckBlock(r, r), 0},
      {"RankeyAndMoreText", CheckBlock(r, r + " and more text"), 0},
      {"RankeyAndManyBlocks", CheckBlock(r, r + std::string(1000, 'x')), 0},
      {"PrefixedRankey", CheckBlock(r, "x" + r), 2},
      {"LastByteDiffers", CheckBlock(r, wrongLast), 2},
      {"RankeyCutShort", CheckBlock(r, r.substr(0, 19)), 2},
      {"EmptyCheckText", CheckBlock(r, ""), 2},
      {"WrongKey", B64(Ecb(r, kRequestKey, true, true)), 2},
      {"EmptyDatab", "", 2},
      {"InvalidBase64", "!!!!", 2},
      {"NotAMultipleOfFour", CheckBlock(r, r) + "A", 2},
      // A trailing part block is ignored; the whole blocks still carry rankey.
      {"TrailingPartBlockIgnored", B64(cipher + "12345"), 0},
      // Without valid padding the last block is dropped; rankey is then in
      // the blocks before it or not at all.
      {"BadPaddingRankeyInEarlierBlocks", B64(Ecb(zeroExtended, SecondKey(r), true, false)), 0},
      {"BadPaddingRankeyInLastBlock", B64(Ecb(zeroExtended.substr(0, 32), SecondKey(r), true, false)), 2},
  };
}

class EnvelopeCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(EnvelopeCheck, PassesOnlyWhenDatabDecryptsToRankeyFirst) {
  std::string out = "left over";
  EXPECT_EQ(Check(kRankey20, GetParam().datab, B64("{\"pcode\":4}"), out), GetParam().result);
  EXPECT_EQ(out, GetParam().result == 0 ? "{\"pcode\":4}" : "");
  EXPECT_EQ(DecryptStr(Envelope(kRankey20, GetParam().datab, B64("{\"pcode\":4}"))),
            GetParam().result == 0 ? "{\"pcode\":4}" : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, EnvelopeCheck, ::testing::ValuesIn(CheckCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EnvelopeCheck, EmptyRankeyGivesOne) {
  std::string out = "left over";
  EXPECT_EQ(Check("", CheckBlock(kRankey20, kRankey20), B64("{\"pcode\":4}"), out), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(DecryptStr(Envelope("", CheckBlock(kRankey20, kRankey20), B64("{\"pcode\":4}"))), "");
  EXPECT_EQ(DecryptStr("{\"datab\":\"" + CheckBlock(kRankey20, kRankey20) + "\",\"datac\":\"" +
                       B64("{\"pcode\":4}") + "\"}"),
            "");
}

TEST(EnvelopeCheck, RankeysOfSixteenBytesOrFewerFail) {
  for (size_t length = 1; length <= 16; ++length) {
    const std::string rankey(length, static_cast<char>('a' + length));
    std::string out = "left over";
    EXPECT_EQ(Check(rankey, CheckBlock(rankey, rankey), B64("{\"pcode\":4}"), out), 2) << length;
    EXPECT_EQ(out, "");
    EXPECT_EQ(DecryptStr(Envelope(rankey, CheckBlock(rankey, rankey), B64("{\"pcode\":4}"))), "") << length;
  }
  const std::string seventeen(17, 'r');
  std::string out;
  EXPECT_EQ(Check(seventeen, CheckBlock(seventeen, seventeen), B64("{\"pcode\":4}"), out), 0);
}

TEST(EnvelopeCheck, CheckBlockBeyondTheCheckBufferFails) {
  // 4,095 bytes of check text pad to a check block of exactly 4,096 bytes.
  const std::string fits = kRankey20 + std::string(4095 - kRankey20.size(), 'f');
  const std::string tooLong = fits + "g";
  ASSERT_EQ(Ecb(fits, SecondKey(kRankey20), true, true).size(), kCheckBufferSize);
  std::string out;
  EXPECT_EQ(Check(kRankey20, CheckBlock(kRankey20, fits), B64("{\"pcode\":4}"), out), 0);
  EXPECT_EQ(Check(kRankey20, CheckBlock(kRankey20, tooLong), B64("{\"pcode\":4}"), out), 2);
  EXPECT_EQ(Check(kRankey20, CheckBlock(kRankey20, kRankey20 + std::string(100000, 'h')), B64("x"), out), 2);
  EXPECT_EQ(out, "");
}

TEST(EnvelopeCheck, RankeyLongerThanTheCheckBufferFailsSafely) {
  const std::string rankey(5000, 'L');
  std::string out;
  EXPECT_EQ(Check(rankey, CheckBlock(rankey, rankey), B64("{\"pcode\":4}"), out), 2);
}

// Only decrypted bytes count: an unused, zero-filled check buffer must not
// match a rankey of zero bytes.
TEST(EnvelopeCheck, ZeroRankeyNeedsARealCheckBlock) {
  const std::string zeros(20, '\0');
  const std::string datac = B64("{\"pcode\":7,\"Log\":true}");
  struct Row {
    const char* name;
    std::string datab;
    int result;
  };
  const Row rows[] = {
      {"Empty", "", 2},
      {"InvalidBase64", "!!!!", 2},
      {"ShortOfABlock", B64(std::string(8, 'x')), 2},
      {"DecryptsToFifteenZeros", CheckBlock(zeros, std::string(15, '\0')), 2},
      {"DecryptsToNineteenZeros", CheckBlock(zeros, std::string(19, '\0')), 2},
      {"Proper", CheckBlock(zeros, zeros), 0},
  };
  for (const Row& row : rows) {
    std::string out;
    EXPECT_EQ(Check(zeros, row.datab, datac, out), row.result) << row.name;
    EXPECT_EQ(DecryptStr(Envelope(zeros, row.datab, datac)), row.result == 0 ? "{\"pcode\":7,\"Log\":true}" : "")
        << row.name;
  }
}

TEST(EnvelopeCheck, InvalidBase64InDatacGivesAnEmptyCommandEvenWhenTheCheckPasses) {
  const std::string datab = CheckBlock(kRankey20, kRankey20);
  for (const std::string datac : {"!!!!", "eyJwY29kZSI6NH0", "eyJw Y29k"}) {
    std::string out = "left over";
    EXPECT_EQ(Check(kRankey20, datab, datac, out), 0) << datac;
    EXPECT_EQ(out, "") << datac;
    EXPECT_EQ(DecryptStr(Envelope(kRankey20, datab, datac)), "") << datac;
  }
}

TEST(EnvelopeCheck, ResetForgetsTheEnvelope) {
  CHttpRequestAuthenticaor authenticator;
  authenticator.InitAuthenticaor(kRankey20, CheckBlock(kRankey20, kRankey20), B64("{\"pcode\":4}"));
  std::string out;
  ASSERT_EQ(authenticator.Decrypt(out), 0);
  authenticator.ResetAuthenticaor();
  EXPECT_EQ(authenticator.Decrypt(out), 1);
  EXPECT_EQ(out, "");
}

// --- Envelopes that are not sound JSON objects --------------------------------

TEST(EnvelopeShape, UnsoundEnvelopesYieldAnEmptyCommand) {
  const std::string datab = CheckBlock(kRankey20, kRankey20);
  const std::string datac = B64("{\"pcode\":4}");
  const std::string members = "\"datab\":\"" + datab + "\",\"datac\":\"" + datac + "\"";
  const std::string texts[] = {
      "",
      "not JSON",
      "\"" + kRankey20 + "\"",
      "[\"" + kRankey20 + "\",\"" + datab + "\",\"" + datac + "\"]",
      "[{\"rankey\":\"" + kRankey20 + "\"," + members + "}]",
      "{\"rankey\":12345678901234567890," + members + "}",
      "{\"rankey\":[\"" + kRankey20 + "\"]," + members + "}",
      "{\"rankey\":null," + members + "}",
      "{\"rankey\":\"" + kRankey20 + "\",\"datab\":{\"b\":\"" + datab + "\"},\"datac\":\"" + datac + "\"}",
      "{\"rankey\":\"" + kRankey20 + "\",\"datab\":\"" + datab + "\",\"datac\":true}",
      "{\"rankey\":\"" + kRankey20 + "\",\"datab\":\"" + datab + "\",\"datac\":7}",
      std::string(100000, '[') + std::string(100000, ']'),
      std::string(3000, '{'),
  };
  for (const std::string& text : texts) EXPECT_EQ(DecryptStr(text), "") << text.substr(0, 80);
}

// Members that would pass as their text form still do not count.
TEST(EnvelopeShape, NumberAndBooleanMembersAreNotReadAsText) {
  const std::string digits = "12345678901234567890";
  const std::string datac = B64("{\"pcode\":4}");
  ASSERT_EQ(DecryptStr(Envelope(digits, CheckBlock(digits, digits), datac)), "{\"pcode\":4}");
  EXPECT_EQ(DecryptStr("{\"rankey\":" + digits + ",\"datab\":\"" + CheckBlock(digits, digits) + "\",\"datac\":\"" +
                       datac + "\"}"),
            "");
  // "true" is valid Base64 text.
  EXPECT_EQ(DecryptStr("{\"rankey\":\"" + kRankey20 + "\",\"datab\":\"" + CheckBlock(kRankey20, kRankey20) +
                       "\",\"datac\":true}"),
            "");
}

TEST(EnvelopeShape, MissingDatacPassesTheCheckWithAnEmptyCommand) {
  std::string envelope = "{\"rankey\":\"" + kRankey20 + "\",\"datab\":\"" + CheckBlock(kRankey20, kRankey20) + "\"}";
  EXPECT_EQ(DecryptStr(envelope), "");
}

// --- AES helpers ---------------------------------------------------------------

TEST(AesDecrypt, DecryptsBlocksInEcbModeWithoutRemovingPadding) {
  // FIPS-197, appendix C.3 (AES-256) and C.1 (AES-128).
  const std::string key256 = Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const std::string plain = Hex("00112233445566778899aabbccddeeff");
  const std::string cipher256 = Hex("8ea2b7ca516745bfeafc49904b496089");
  EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt(cipher256, key256.data(), 256), plain);
  EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt(cipher256 + cipher256, key256.data(), 256), plain + plain);
  EXPECT_EQ(OpensslHelper::AesDecrypt(cipher256, key256.data(), 256), plain);
  EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt(Hex("69c4e0d86a7b0430d8cdb78070b4c55a"), key256.data(), 128),
            plain);

  // A padded block comes back with its padding.
  const std::string padded = Ecb("abc", key256, true, true);
  EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt(padded, key256.data(), 256), "abc" + std::string(13, '\x0d'));
}

TEST(AesDecrypt, ZeroExtendsDataToWholeBlocks) {
  const char* key = kRequestKey;
  for (size_t length : {1u, 15u, 16u, 17u, 20u, 31u, 33u}) {
    std::string data(length, 'd');
    std::string extended = data;
    extended.resize((length + 15) / 16 * 16, '\0');
    std::string result = CHttpRequestAuthenticaor::aes_decrypt(data, key, 256);
    EXPECT_EQ(result.size(), extended.size()) << length;
    EXPECT_EQ(result, Ecb(extended, key, false, false)) << length;
  }
  EXPECT_EQ(CHttpRequestAuthenticaor::aes_decrypt("", key, 256), "");
}

// NIST SP 800-38A, F.2.5 and F.5.1 (AES-256).
const std::string kSpKey = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const std::string kSpIv = Hex("000102030405060708090a0b0c0d0e0f");
const std::string kSpPlain = Hex("6bc1bee22e409f96e93d7e117393172a");

std::string RunHelper(int (*helper)(unsigned char*, int, unsigned char*, unsigned char*, unsigned char*),
                std::string data, std::string key, std::string iv, int* written) {
  std::vector<unsigned char> out(data.size() + 32, 0);
  *written = helper(reinterpret_cast<unsigned char*>(data.data()), static_cast<int>(data.size()),
                    reinterpret_cast<unsigned char*>(key.data()), reinterpret_cast<unsigned char*>(iv.data()),
                    out.data());
  return std::string(out.begin(), out.begin() + std::max(*written, 0));
}

TEST(AesHelpers, CbcEncryptAndDecryptWithPadding) {
  int written = 0;
  std::string cipher = RunHelper(encrypt, kSpPlain, kSpKey, kSpIv, &written);
  EXPECT_EQ(written, 32);  // one block and a whole block of padding
  EXPECT_EQ(cipher.substr(0, 16), Hex("f58c4c04d6e5f1ba779eabfb5f7bfbd6"));
  EXPECT_EQ(RunHelper(decrypt, cipher, kSpKey, kSpIv, &written), kSpPlain);
  EXPECT_EQ(written, 16);

  std::string shortCipher = RunHelper(encrypt, "hello", kSpKey, kSpIv, &written);
  EXPECT_EQ(written, 16);
  EXPECT_EQ(RunHelper(decrypt, shortCipher, kSpKey, kSpIv, &written), "hello");
  EXPECT_EQ(written, 5);
}

TEST(AesHelpers, EcbDecryptIgnoresTheIvAndHandlesPadding) {
  std::string padded = Ecb(kSpPlain, kSpKey, true, true);
  ASSERT_EQ(padded.substr(0, 16), Hex("f3eed1bdb5d2a03c064b5a7e3db181f8"));
  int written = 0;
  EXPECT_EQ(RunHelper(decryptAesECB, padded, kSpKey, "ignored iv bytes", &written), kSpPlain);
  EXPECT_EQ(written, 16);
  // Invalid padding: the last block is not written.
  EXPECT_EQ(RunHelper(decryptAesECB, Hex("f3eed1bdb5d2a03c064b5a7e3db181f8"), kSpKey, kSpIv, &written), "");
  EXPECT_EQ(written, 0);
  // Not whole blocks: every whole block is written, the rest ignored.
  EXPECT_EQ(RunHelper(decryptAesECB, padded.substr(0, 16) + "xyz", kSpKey, kSpIv, &written), kSpPlain);
  EXPECT_EQ(written, 16);
}

// --- The crypto library's Base64 ------------------------------------------------

struct Base64Case {
  const char* name;
  std::string text;
  std::string bytes;
};

const Base64Case kBlockDecode[] = {
    {"Empty", "", ""},
    {"ThreeBytesPerGroup", "Zm9vYmFy", "foobar"},
    {"DoublePadding", "Zm9vYg==", "foob"},
    {"SinglePadding", "Zm9vYmE=", "fooba"},
    {"OnlyPaddedGroup", "Zg==", "f"},
    {"OneCharacterTooMany", "Zm9vYmFy=", ""},
    {"OneCharacterTooFew", "Zm9vYmF", ""},
    {"LeadingBlanksSkipped", "  \tZm9v", "foo"},
    {"TrailingBlanksAndLineEndIgnored", "Zm9v \r\n", "foo"},
    {"OutsideTheAlphabet", "Zm9v!A==", ""},
    {"ZeroBytes", "AAAA", "\0\0\0"s},
    {"UrlAlphabetRefused", "-_-_", ""},
};

class BlockBase64Decode : public ::testing::TestWithParam<Base64Case> {};

TEST_P(BlockBase64Decode, Decodes) { EXPECT_EQ(OpensslHelper::Base64Decode(GetParam().text), GetParam().bytes); }

INSTANTIATE_TEST_SUITE_P(Cases, BlockBase64Decode, ::testing::ValuesIn(kBlockDecode),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BlockBase64Encode, WritesStandardTextWithoutLineBreaks) {
  EXPECT_EQ(OpensslHelper::Base64Encode(""), "");
  EXPECT_EQ(OpensslHelper::Base64Encode("f"), "Zg==");
  EXPECT_EQ(OpensslHelper::Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(OpensslHelper::Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(OpensslHelper::Base64Encode("\xFB\xFF"s), "+/8=");
  std::string long_text = OpensslHelper::Base64Encode(std::string(1000, '\x01'));
  EXPECT_EQ(long_text.size(), 1336u);
  EXPECT_EQ(long_text.find('\n'), std::string::npos);
  EXPECT_EQ(OpensslHelper::Base64Decode(long_text), std::string(1000, '\x01'));
}

}  // namespace
