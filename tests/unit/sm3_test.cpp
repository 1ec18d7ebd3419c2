// Both SM3 implementations: known answers, padding boundaries, streaming
// splits, agreement with each other and with OpenSSL, the file hasher, the
// hexadecimal text and the message-digest object.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sm/m_sm3.h"
#include "sm/sm2_binding.h"
#include "sm/sm3.h"
#include "sm/sm_internal.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Hex(const unsigned char* bytes, size_t length) {
  return CSM3::string2hex(std::string(reinterpret_cast<const char*>(bytes), length));
}

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

Bytes Random(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(rng());
  return bytes;
}

std::string Csm3(const Bytes& input) {
  unsigned char out[32];
  CSM3::sm3(input.data(), static_cast<int>(input.size()), out);
  return Hex(out, 32);
}

std::string ByteWise(const Bytes& input) {
  unsigned char out[32];
  EXPECT_EQ(SM3(input.data(), input.size(), out), out);
  return Hex(out, 32);
}

std::string OpenSsl(const Bytes& input) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(input.data(), input.size(), out, &length, EVP_sm3(), nullptr), 1);
  return Hex(out, length);
}

// Through the SM3 message-digest object of the binding.
std::string Object(const Bytes& input) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(input.data(), input.size(), out, &length, sm::EVP_sm3(), nullptr), 1);
  return Hex(out, length);
}

struct KnownAnswer {
  const char* name;
  Bytes input;
  const char* digest;
};

// GB/T 32905-2016 appendix A, and the digest of the empty message.
const KnownAnswer kKnownAnswers[] = {
    {"abc", FromText("abc"),
     "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"},
    {"abcd_x16", FromText(Repeat("abcd", 16)),
     "DEBE9FF92275B8A138604889C18E5A4D6FDB70E5387E5765293DCBA39C0C5732"},
    {"empty", Bytes{}, "1AB21D8355CFA17F8E61194831E81A8F22BEC8C728FEFB747ED035EB5082AA2B"},
};

class Sm3KnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(Sm3KnownAnswer, EveryImplementationGivesTheStandardDigest) {
  const KnownAnswer& answer = GetParam();
  EXPECT_EQ(Csm3(answer.input), answer.digest);
  EXPECT_EQ(ByteWise(answer.input), answer.digest);
  EXPECT_EQ(Object(answer.input), answer.digest);
  EXPECT_EQ(OpenSsl(answer.input), answer.digest);
}

INSTANTIATE_TEST_SUITE_P(SmGbt32905, Sm3KnownAnswer, ::testing::ValuesIn(kKnownAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

// Lengths around the padding boundary (a second padding block from 56
// pending bytes on) and around whole blocks.
class Sm3Lengths : public ::testing::TestWithParam<size_t> {};

TEST_P(Sm3Lengths, ImplementationsAgreeWithOpenSsl) {
  const Bytes input = Random(GetParam(), static_cast<uint32_t>(GetParam()) + 7);
  const std::string expected = OpenSsl(input);
  EXPECT_EQ(Csm3(input), expected);
  EXPECT_EQ(ByteWise(input), expected);
  EXPECT_EQ(Object(input), expected);
}

INSTANTIATE_TEST_SUITE_P(SmBoundaries, Sm3Lengths,
                         ::testing::Values(1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129,
                                           1000, 4096 + 17));

// Every way of cutting the same bytes into two updates, and several ways
// into many, give the digest of one update.
TEST(Sm3Split, EveryTwoPartSplitGivesTheSameDigest) {
  const Bytes input = Random(200, 3);
  const std::string expected = OpenSsl(input);
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    CSM3::sm3_context ctx;
    CSM3::sm3_starts(&ctx);
    CSM3::sm3_update(&ctx, input.data(), static_cast<int>(cut));
    CSM3::sm3_update(&ctx, input.data() + cut, static_cast<int>(input.size() - cut));
    unsigned char out[32];
    CSM3::sm3_finish(&ctx, out);
    ASSERT_EQ(Hex(out, 32), expected) << "cut at " << cut;

    SM3_STATE state;
    ASSERT_EQ(SM3_Init(&state), 1);
    ASSERT_EQ(SM3_Update(&state, input.data(), cut), 1);
    ASSERT_EQ(SM3_Update(&state, input.data() + cut, input.size() - cut), 1);
    ASSERT_EQ(SM3_Final(&state, out), 1);
    ASSERT_EQ(Hex(out, 32), expected) << "cut at " << cut;
  }
}

TEST(Sm3Split, ChunkSizesFromOneByteUpGiveTheSameDigest) {
  const Bytes input = Random(1500, 4);
  const std::string expected = OpenSsl(input);
  for (size_t chunk : {1, 2, 3, 7, 31, 63, 64, 65, 100, 511}) {
    CSM3::sm3_context ctx;
    CSM3::sm3_starts(&ctx);
    SM3_STATE state;
    SM3_Init(&state);
    for (size_t offset = 0; offset < input.size(); offset += chunk) {
      const size_t n = std::min(chunk, input.size() - offset);
      CSM3::sm3_update(&ctx, input.data() + offset, static_cast<int>(n));
      SM3_Update(&state, input.data() + offset, n);
      // Empty updates in between change nothing.
      CSM3::sm3_update(&ctx, input.data(), 0);
      SM3_Update(&state, input.data(), 0);
    }
    unsigned char a[32], b[32];
    CSM3::sm3_finish(&ctx, a);
    SM3_Final(&state, b);
    EXPECT_EQ(Hex(a, 32), expected) << "chunks of " << chunk;
    EXPECT_EQ(Hex(b, 32), expected) << "chunks of " << chunk;
  }
}

TEST(Sm3Random, BothImplementationsAgreeWithOpenSslOnRandomInputs) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    const Bytes input = Random(rng() % 3000, static_cast<uint32_t>(round));
    const std::string expected = OpenSsl(input);
    ASSERT_EQ(Csm3(input), expected) << input.size() << " bytes";
    ASSERT_EQ(ByteWise(input), expected) << input.size() << " bytes";
  }
}

// The block function is chosen by what the processor offers; every variant
// it can run must give the same chaining values.
TEST(Sm3Random, EveryCompressionVariantAgrees) {
  const auto variants = CSM3::detail::CompressVariants();
  ASSERT_FALSE(variants.empty());
  for (size_t blocks : {1, 2, 3, 17}) {
    const Bytes input = Random(64 * blocks, static_cast<uint32_t>(blocks));
    uint32_t reference[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                             0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};
    variants[0].compress(reference, input.data(), blocks);
    for (const auto& variant : variants) {
      uint32_t state[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                           0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};
      variant.compress(state, input.data(), blocks);
      EXPECT_EQ(0, std::memcmp(state, reference, sizeof state))
          << variant.name << ", " << blocks << " blocks";
    }
  }
  // And the baseline matches the byte-wise implementation's compression.
  const Bytes block = Random(64, 99);
  uint32_t state[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                       0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};
  variants[0].compress(state, block.data(), 1);
  SM3_STATE byteWise;
  SM3_Init(&byteWise);
  for (int i = 0; i < 16; ++i) {
    byteWise.W[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) |
                    (uint32_t{block[4 * i + 2]} << 8) | block[4 * i + 3];
  }
  SM3_Transform(&byteWise);
  EXPECT_EQ(0, std::memcmp(state, byteWise.digest, sizeof state));
}

TEST(Sm3ByteWise, NullArgumentsAreRefusedAndChangeNothing) {
  EXPECT_EQ(SM3_Init(nullptr), 0);
  EXPECT_EQ(SM3_Update(nullptr, "x", 1), 0);
  unsigned char out[32];
  EXPECT_EQ(SM3_Final(nullptr, out), 0);

  SM3_STATE state;
  ASSERT_EQ(SM3_Init(&state), 1);
  ASSERT_EQ(SM3_Update(&state, "ab", 2), 1);
  EXPECT_EQ(SM3_Update(&state, nullptr, 5), 0);
  EXPECT_EQ(SM3_Update(&state, nullptr, 0), 1);
  EXPECT_EQ(SM3_Final(&state, nullptr), 0);
  ASSERT_EQ(SM3_Update(&state, "c", 1), 1);
  ASSERT_EQ(SM3_Final(&state, out), 1);
  EXPECT_EQ(Hex(out, 32), kKnownAnswers[0].digest);
}

TEST(Sm3ByteWise, InitClearsCountersAndBlockButKeepsTheLayout) {
  SM3_STATE state;
  std::memset(&state, 0xAB, sizeof state);
  ASSERT_EQ(SM3_Init(&state), 1);
  EXPECT_EQ(state.digest[0], 0x7380166Fu);
  EXPECT_EQ(state.digest[7], 0xB0FB0E4Eu);
  EXPECT_EQ(state.bits_low, 0u);
  EXPECT_EQ(state.bits_high, 0u);
  for (uint32_t word : state.W) EXPECT_EQ(word, 0u);
  for (uint32_t word : state.W1) EXPECT_EQ(word, 0u);
  // Bytes fill the block big-endian within each word.
  ASSERT_EQ(SM3_Update(&state, "\x01\x02\x03\x04\x05", 5), 1);
  EXPECT_EQ(state.W[0], 0x01020304u);
  EXPECT_EQ(state.W[1] >> 24, 0x05u);
  EXPECT_EQ(state.bits_low, 40u);
}

TEST(Sm3ByteWise, BitCounterCarriesIntoTheHighWord) {
  // One block before bits_low wraps (512 MiB of input).
  SM3_STATE state;
  SM3_Init(&state);
  state.bits_low = 0xFFFFFE00u;
  const Bytes block = Random(64, 5);
  ASSERT_EQ(SM3_Update(&state, block.data(), 64), 1);
  EXPECT_EQ(state.bits_low, 0u);
  EXPECT_EQ(state.bits_high, 1u);
}

TEST(Sm3Csm3, LengthOfZeroOrLessChangesNothing) {
  CSM3::sm3_context a, b;
  CSM3::sm3_starts(&a);
  CSM3::sm3_update(&a, reinterpret_cast<const unsigned char*>("abc"), 3);
  b = a;
  CSM3::sm3_update(&a, reinterpret_cast<const unsigned char*>("xyz"), 0);
  CSM3::sm3_update(&a, reinterpret_cast<const unsigned char*>("xyz"), -5);
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
}

TEST(Sm3Csm3, TotalCountsOverflowIntoTheSecondWord) {
  CSM3::sm3_context ctx;
  CSM3::sm3_starts(&ctx);
  ctx.total[0] = 0xFFFFFFC0u;
  const Bytes block = Random(128, 6);
  CSM3::sm3_update(&ctx, block.data(), 128);
  EXPECT_EQ(ctx.total[0], 0x40u);
  EXPECT_EQ(ctx.total[1], 1u);
}

TEST(Sm3Hex, UpperCaseTwoCharactersPerByte) {
  EXPECT_EQ(CSM3::string2hex(""), "");
  EXPECT_EQ(CSM3::string2hex(std::string("\x00\xAB\xFF", 3)), "00ABFF");
  EXPECT_EQ(CSM3::string2hex("\x7F\x80"), "7F80");
}

class Sm3File : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("sm3_file_test." + std::to_string(getpid()) + "." +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(Sm3File, FilesOfManySizesHashLikeTheirBytes) {
  for (size_t size : {0, 1, 55, 56, 64, 1023, 1024, 1025, 5000, 70000}) {
    const Bytes bytes = Random(size, static_cast<uint32_t>(size));
    const std::string path = Write("f" + std::to_string(size), bytes);
    unsigned char out[32];
    ASSERT_EQ(CSM3::sm3_file(path.c_str(), out), 0) << size;
    EXPECT_EQ(Hex(out, 32), OpenSsl(bytes)) << size;
  }
}

TEST_F(Sm3File, UnopenableFileLeavesTheOutputAlone) {
  unsigned char out[32];
  std::memset(out, 0x5A, sizeof out);
  EXPECT_NE(CSM3::sm3_file((dir_ / "missing").c_str(), out), 0);
  for (unsigned char byte : out) EXPECT_EQ(byte, 0x5A);
}

TEST_F(Sm3File, ReadErrorIsReportedAsTwo) {
  // A directory opens for reading but every read fails.
  unsigned char out[32];
  EXPECT_EQ(CSM3::sm3_file(dir_.c_str(), out), 2);
}

}  // namespace
