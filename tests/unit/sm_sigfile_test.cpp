// Library signature files, checked the way the service checks them (type 0
// with the hexadecimal public key, type 1 with the certificate), with the
// development signer.  The libraries are real shared libraries signed by
// vasquill-sign or by OpenSSL's command line.

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "base64/base64.h"
#include "sm/verify_file.h"
#include "tests/unit/sm_sigfile_support.h"
#include "tests/unit/sm_test_support.h"

namespace {

using namespace smtest;

// The keys of the adapter's form: the certificate for both types.
SigFileKeys AdapterKeys() {
  return SigFileKeys{BuiltinSigFileKeys().certificate, BuiltinSigFileKeys().certificate};
}

class SmSigFile : public LibraryFolder {};

TEST_F(SmSigFile, BuiltInKeysAreTheDevelopmentSigners) {
  const SigFileKeys& keys = BuiltinSigFileKeys();
  ASSERT_EQ(keys.type0Key.size(), 129u);
  EXPECT_EQ(keys.type0Key[64], '|');
  // The same text as the tool prints for the private key.
  const std::string out = Path("hexkey.txt");
  ASSERT_EQ(RunProgram({SM_SIGN_TOOL, "hexkey", Key("hexkey.pem")}, out), 0);
  EXPECT_EQ(Slurp(out), std::string(keys.type0Key) + "\n");
  EXPECT_EQ(keys.certificate, Slurp(Key("cert.crt")));
}

// Which key signs, in which form, and which checks accept the file.
struct SignedCase {
  const char* name;
  int type;             // the type signed
  const char* key;      // private key of keys/development
  bool raw;             // type 1: Base64 of the raw 64 bytes instead of DER
  bool serviceType0;    // verifies as type 0 with the service's keys
  bool serviceType1;    // verifies as type 1
  bool adapterType0;    // verifies as type 0 with the adapter's keys
};

class SmSigFileSigned : public LibraryFolder, public ::testing::WithParamInterface<SignedCase> {};

TEST_P(SmSigFileSigned, ChecksAcceptExactlyTheMatchingTypeAndKey) {
  const SignedCase& c = GetParam();
  ASSERT_EQ(ToolSign(c.type, c.key, library_, c.raw ? std::vector<std::string>{"--raw"}
                                                     : std::vector<std::string>{}),
            0);
  const std::string signature = Slurp(library_ + ".sig");
  if (c.type == 0) {
    EXPECT_EQ(signature.size(), 64u);
  } else {
    const size_t decoded = Base64::decode64(signature).size();
    if (c.raw) {
      EXPECT_EQ(decoded, 64u);
    } else {
      EXPECT_GE(decoded, 70u);
      EXPECT_LE(decoded, 72u);
    }
  }
  EXPECT_EQ(VerifyFileBySigFile(library_, 0), c.serviceType0);
  EXPECT_EQ(VerifyFileBySigFile(library_, 1), c.serviceType1);
  EXPECT_EQ(VerifyFileBySigFileWith(library_, 0, AdapterKeys()), c.adapterType0);
  EXPECT_EQ(VerifyFileBySigFileWith(library_, 1, AdapterKeys()), c.serviceType1);
  for (int type : {2, 3, -1, 100}) EXPECT_FALSE(VerifyFileBySigFile(library_, type)) << type;

  // One changed byte of the library breaks every signature.
  std::string bytes = Slurp(library_);
  bytes[bytes.size() / 2] ^= 0x01;
  Spit(library_, bytes);
  EXPECT_FALSE(VerifyFileBySigFile(library_, 0));
  EXPECT_FALSE(VerifyFileBySigFile(library_, 1));
  EXPECT_FALSE(VerifyFileBySigFileWith(library_, 0, AdapterKeys()));
}

INSTANTIATE_TEST_SUITE_P(
    SmTool, SmSigFileSigned,
    ::testing::Values(SignedCase{"type0_service_key", 0, "hexkey.pem", false, true, false, false},
                      SignedCase{"type0_certificate_key", 0, "cert.pem", false, false, false, true},
                      SignedCase{"type1_der", 1, "cert.pem", false, false, true, false},
                      SignedCase{"type1_raw", 1, "cert.pem", true, false, true, false},
                      SignedCase{"type1_wrong_key", 1, "hexkey.pem", false, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmSigFile, Type0IgnoresBytesAfterTheFirst64) {
  ASSERT_EQ(ToolSign(0, "hexkey.pem", library_), 0);
  Spit(library_ + ".sig", Slurp(library_ + ".sig") + "trailing bytes");
  EXPECT_TRUE(VerifyFileBySigFile(library_, 0));
}

TEST_F(SmSigFile, Type1AcceptsATrailingLineFeed) {
  ASSERT_EQ(ToolSign(1, "cert.pem", library_), 0);
  Spit(library_ + ".sig", Slurp(library_ + ".sig") + "\n");
  EXPECT_TRUE(VerifyFileBySigFile(library_, 1));
}

// Made without our code: OpenSSL's command line signs, with the standard's
// default identity for type 0 and over the digest itself for type 1.
TEST_F(SmSigFile, OpenSslCommandLineSignaturesVerify) {
  const std::string der = Path("sig.der");
  ASSERT_EQ(RunProgram({SM_OPENSSL, "dgst", "-sm3", "-sign", Key("hexkey.pem"), "-sigopt",
                 "distid:1234567812345678", "-out", der, library_}),
            0);
  // Type 0 holds r || s; OpenSSL's own ECDSA_SIG reshapes its DER output.
  const std::string derBytes = Slurp(der);
  const auto* p = reinterpret_cast<const unsigned char*>(derBytes.data());
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derBytes.size()));
  ASSERT_NE(sig, nullptr);
  unsigned char raw[64];
  ASSERT_EQ(BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw, 32), 32);
  ASSERT_EQ(BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw + 32, 32), 32);
  ECDSA_SIG_free(sig);
  Spit(library_ + ".sig", std::string(reinterpret_cast<const char*>(raw), 64));
  EXPECT_TRUE(VerifyFileBySigFile(library_, 0));

  // Type 1 entirely by the command line: digest, sign, Base64 on one line.
  const std::string digest = Path("digest.bin");
  ASSERT_EQ(RunProgram({SM_OPENSSL, "dgst", "-sm3", "-binary", "-out", digest, library_}), 0);
  ASSERT_EQ(RunProgram({SM_OPENSSL, "pkeyutl", "-sign", "-inkey", Key("cert.pem"), "-in", digest, "-out",
                 der}),
            0);
  ASSERT_EQ(RunProgram({SM_OPENSSL, "base64", "-A", "-in", der, "-out", library_ + ".sig"}), 0);
  EXPECT_TRUE(VerifyFileBySigFile(library_, 1));
  EXPECT_FALSE(VerifyFileBySigFile(library_, 0));
}

// Type-1 signatures by OpenSSL over SM3(library), until one has an r or an
// s below 2^248: its DER integer is shorter than 32 bytes.
TEST_F(SmSigFile, Type1WithAShortNumberVerifiesInBothForms) {
  const std::string keyText = Slurp(Key("cert.pem"));
  BIO* bio = BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size()));
  PKey key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  ASSERT_TRUE(key);
  OpenSslKey signer;
  signer.pkey = std::move(key);
  const std::string library = Slurp(library_);
  const Bytes e = Sm3(Bytes(library.begin(), library.end()));
  Bytes der;
  for (int attempt = 0; attempt < 20000; ++attempt) {
    der = OpenSslSignDigest(signer, e);
    if (der.size() < 70) break;  // 70 bytes: both numbers 32 bytes, no sign byte
    der.clear();
  }
  ASSERT_FALSE(der.empty()) << "no short signature drawn";
  Spit(library_ + ".sig", Base64::encode64(std::string(der.begin(), der.end())));
  EXPECT_TRUE(VerifyFileBySigFile(library_, 1));
  const Bytes raw = RawFromDer(der);
  EXPECT_TRUE(raw[0] == 0 || raw[32] == 0);
  Spit(library_ + ".sig", Base64::encode64(std::string(raw.begin(), raw.end())));
  EXPECT_TRUE(VerifyFileBySigFile(library_, 1));
}

// Signature files that must never verify, whatever the library.
struct BadSignature {
  const char* name;
  std::string (*make)(const std::string& goodType1);  // from a good type-1 file
};

std::string Reencoded(const std::string& goodType1, void (*change)(EC_SM2_SIG*)) {
  const std::string der = Base64::decode64(goodType1);
  Sig sig = SigFromDer(Bytes(der.begin(), der.end()));
  change(sig.get());
  const Bytes changed = DerFromSig(sig.get());
  return Base64::encode64(std::string(changed.begin(), changed.end()));
}

const BadSignature kBadSignatures[] = {
    {"empty", [](const std::string&) { return std::string(); }},
    {"raw_63_bytes",
     [](const std::string&) { return Base64::encode64(std::string(63, '\x11')); }},
    {"not_der", [](const std::string&) { return Base64::encode64(std::string(80, '\x30')); }},
    {"s_zero",
     [](const std::string& good) {
       return Reencoded(good, [](EC_SM2_SIG* sig) { BN_zero(sig->s); });
     }},
    {"r_of_33_bytes",
     [](const std::string& good) {
       return Reencoded(good, [](EC_SM2_SIG* sig) { BN_set_bit(sig->r, 263); });
     }},
    {"r_plus_n",
     [](const std::string& good) {
       return Reencoded(good, [](EC_SM2_SIG* sig) {
         Bn n = BnFromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
         BN_add(sig->r, sig->r, n.get());
       });
     }},
    {"truncated_der",
     [](const std::string& good) {
       const std::string der = Base64::decode64(good);
       return Base64::encode64(der.substr(0, der.size() - 1));
     }},
};

class SmSigFileBad : public LibraryFolder, public ::testing::WithParamInterface<BadSignature> {};

TEST_P(SmSigFileBad, NeverVerifies) {
  ASSERT_EQ(ToolSign(1, "cert.pem", library_), 0);
  const std::string good = Slurp(library_ + ".sig");
  ASSERT_TRUE(VerifyFileBySigFile(library_, 1));
  const std::string bad = GetParam().make(good);
  Spit(library_ + ".sig", bad);
  EXPECT_FALSE(VerifyFileBySigFile(library_, 1));
  // The same bytes as a raw type-0 file.
  Spit(library_ + ".sig", Base64::decode64(bad));
  EXPECT_FALSE(VerifyFileBySigFile(library_, 0));
}

INSTANTIATE_TEST_SUITE_P(SmFiles, SmSigFileBad, ::testing::ValuesIn(kBadSignatures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmSigFile, MissingSignatureFileNeverVerifies) {
  for (int type : {0, 1, 2}) EXPECT_FALSE(VerifyFileBySigFile(library_, type)) << type;
  EXPECT_FALSE(VerifyFileBySigFile(Path("missing.so"), 0));
  EXPECT_FALSE(VerifyFileBySigFile(Path("missing.so"), 1));
}

// A library of 2 GiB or more answers false at once for both types, without
// being read; a sparse file keeps the test small.
TEST_F(SmSigFile, LibrariesOfTwoGibibytesOrMoreNeverVerify) {
  const std::string big = Path("big.so");
  ASSERT_EQ(ToolSign(0, "hexkey.pem", library_), 0);
  const std::string type0 = Slurp(library_ + ".sig");
  for (const off_t size : {off_t{0x80000000LL}, off_t{0x100000040LL}}) {
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    Spit(big + ".sig", type0);
    EXPECT_FALSE(VerifyFileBySigFile(big, 0)) << size;
    EXPECT_TRUE(ReadFile(big, "rb").empty()) << size;
    Spit(big + ".sig", Base64::encode64(type0));
    EXPECT_FALSE(VerifyFileBySigFile(big, 1)) << size;
  }
  // The tool refuses to sign it.
  EXPECT_EQ(ToolSign(1, "cert.pem", big), 2);
}

TEST_F(SmSigFile, FilesThatCannotBeReadNeverVerify) {
  // A folder opens but cannot be read.
  const std::string folder = Path("folder.so");
  std::filesystem::create_directory(folder);
  ASSERT_EQ(ToolSign(0, "hexkey.pem", library_), 0);
  std::filesystem::copy_file(library_ + ".sig", folder + ".sig");
  EXPECT_FALSE(VerifyFileBySigFile(folder, 0));
  EXPECT_FALSE(VerifyFileBySigFile(folder, 1));
  EXPECT_TRUE(ReadFile(folder, "rb").empty());
  // A signature "file" that is a folder.
  std::filesystem::remove(library_ + ".sig");
  std::filesystem::create_directory(library_ + ".sig");
  EXPECT_FALSE(VerifyFileBySigFile(library_, 0));
  EXPECT_FALSE(VerifyFileBySigFile(library_, 1));
}

TEST_F(SmSigFile, ConcurrentChecksAgree) {
  ASSERT_EQ(ToolSign(1, "cert.pem", library_), 0);
  const std::string other = Path("other.so");
  std::filesystem::copy_file(library_, other);
  ASSERT_EQ(ToolSign(0, "hexkey.pem", other), 0);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (!VerifyFileBySigFile(library_, 1) || VerifyFileBySigFile(library_, 0) ||
            !VerifyFileBySigFile(other, 0) || VerifyFileBySigFile(other, 1)) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// SM2Verify and its key texts.
class SmSm2Verify : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string keyText = Slurp(std::string(SM_KEYS_DIR) + "/cert.pem");
    BIO* bio = BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size()));
    signer_.pkey.reset(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    ASSERT_TRUE(signer_.pkey);
    BIGNUM *x = nullptr, *y = nullptr;
    EVP_PKEY_get_bn_param(signer_.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x);
    EVP_PKEY_get_bn_param(signer_.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    signer_.x.reset(x);
    signer_.y.reset(y);
    message_ = "a message";
    const Bytes raw = RawFromDer(OpenSslSign(signer_, FromText(message_), kDefaultId));
    signature_.assign(raw.begin(), raw.end());
    pem_ = Slurp(std::string(SM_KEYS_DIR) + "/cert.crt");
  }

  std::string Der() const {
    BIO* bio = BIO_new_mem_buf(pem_.data(), static_cast<int>(pem_.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    X509_free(cert);
    return out;
  }

  OpenSslKey signer_;
  std::string message_, signature_, pem_;
};

TEST_F(SmSm2Verify, EveryKeyTextFormGivesTheSameKey) {
  const std::string coordinates = HexCoordinates(signer_);
  std::string lower = coordinates;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string comma = coordinates;
  comma[64] = ',';
  std::string crlf;
  for (char c : pem_) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  for (const std::string& key : {pem_, crlf, Der(), coordinates, lower, comma,
                                 "a line before\n" + pem_}) {
    EXPECT_EQ(SM2Verify(message_, signature_, key, 0), 1) << key.substr(0, 20);
    EXPECT_EQ(SM2Verify(message_ + "!", signature_, key, 0), 0) << key.substr(0, 20);
  }
}

TEST_F(SmSm2Verify, TextsThatYieldNoKeyAndShortInputsGiveZero) {
  const std::string coordinates = HexCoordinates(signer_);
  std::string twoBars = coordinates;
  twoBars[10] = '|';
  const std::string evenLength = coordinates + "0";
  const std::string offCentre = coordinates.substr(1) + "0";  // bar not in the middle
  std::string offCurve = coordinates;
  offCurve[128] = offCurve[128] == '0' ? '1' : '0';
  for (const std::string& key : {twoBars, evenLength, offCentre, offCurve, std::string("x|y"),
                                 std::string("|"), pem_.substr(0, 200), std::string("garbage")}) {
    EXPECT_EQ(SM2Verify(message_, signature_, key, 0), 0) << key;
  }
  EXPECT_EQ(SM2Verify(message_, signature_, "", 0), 0);
  EXPECT_EQ(SM2Verify("", signature_, pem_, 0), 0);
  EXPECT_EQ(SM2Verify(message_, signature_.substr(0, 63), pem_, 0), 0);
  EXPECT_EQ(SM2Verify(message_, signature_ + "extra", pem_, 0), 1);
  EXPECT_EQ(SM2Verify(message_, signature_, pem_, 1), 0);
  EXPECT_EQ(SM2Verify(message_, signature_, pem_, 2), 0);
}

TEST_F(SmSm2Verify, LeavesTheThreadsErrorQueueAsItWas) {
  ERR_clear_error();
  EXPECT_EQ(SM2Verify(message_, signature_, pem_.substr(0, 300), 0), 0);
  EXPECT_EQ(SM2Verify(message_, signature_, std::string(200, 'A'), 0), 0);
  EXPECT_EQ(SM2Verify(message_, signature_, pem_, 0), 1);
  EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(SmFindcout, CountsNonOverlappingOccurrencesFromTheLeft) {
  const std::string coordinates = std::string(64, 'A') + "|" + std::string(64, 'B');
  struct Case {
    std::string text, needle;
    size_t count;
  };
  for (const Case& c : {Case{coordinates, "|", 1}, Case{"aaaa", "aa", 2}, Case{"aaa", "aa", 1},
                        Case{"ababa", "aba", 1}, Case{"abc", "", 4}, Case{"", "", 1},
                        Case{"abc", "x", 0}, Case{"", "x", 0}, Case{"a,b,c", ",", 2}}) {
    EXPECT_EQ(findcout(c.text, c.needle), c.count) << c.text << " / " << c.needle;
  }
}

TEST_F(SmSigFile, ReadFileGivesTheWholeFileOrNothing) {
  EXPECT_EQ(ReadFile(library_, "rb"), Slurp(library_));
  EXPECT_EQ(ReadFile(Path("missing"), "rb"), "");
  Spit(Path("empty"), "");
  EXPECT_EQ(ReadFile(Path("empty"), "rb"), "");
  const std::string binary("a\0b\r\n\xFF", 6);
  Spit(Path("binary"), binary);
  EXPECT_EQ(ReadFile(Path("binary"), "rb"), binary);
}

// The signing tool's own check is the service's routine with the keys the
// build embeds; with the development keys it must agree with the checks
// above.
class SmSignTool : public LibraryFolder {
 protected:
  void SetUp() override {
    LibraryFolder::SetUp();
    if (!SM_TOOL_HAS_DEVELOPMENT_KEYS) GTEST_SKIP() << "the build embeds a deployment's keys";
  }
  int Verify(int type, const std::string& library) {
    return RunProgram({SM_SIGN_TOOL, "verify", "--type", std::to_string(type), library});
  }
};

TEST_F(SmSignTool, VerifyExitsZeroWhenTheFileVerifiesAndOneWhenNot) {
  EXPECT_EQ(Verify(0, library_), 1);  // no signature file yet
  ASSERT_EQ(ToolSign(0, "hexkey.pem", library_), 0);
  EXPECT_EQ(Verify(0, library_), 0);
  EXPECT_EQ(Verify(1, library_), 1);
  ASSERT_EQ(ToolSign(1, "cert.pem", library_), 0);
  EXPECT_EQ(Verify(1, library_), 0);
  EXPECT_EQ(Verify(0, library_), 1);
  EXPECT_EQ(Verify(2, library_), 1);
}

TEST_F(SmSignTool, KeysAndCertificatesItMakesSignAndCheck) {
  const std::string key = Path("signer.pem");
  const std::string cert = Path("signer.crt");
  ASSERT_EQ(RunProgram({SM_SIGN_TOOL, "genkey", key}), 0);
  EXPECT_EQ(std::filesystem::status(key).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  ASSERT_EQ(RunProgram({SM_SIGN_TOOL, "certificate", "--key", key, "--subject", "/O=Test/CN=Signer",
                 "--days", "30", cert}),
            0);
  // OpenSSL accepts the self-signed certificate.
  EXPECT_EQ(RunProgram({SM_OPENSSL, "verify", "-CAfile", cert, cert}), 0);
  // A signature by the new key verifies with its certificate and its
  // hexadecimal key, not with the built-in ones.
  ASSERT_EQ(RunProgram({SM_SIGN_TOOL, "sign", "--type", "1", "--key", key, library_}), 0);
  const std::string certificate = Slurp(cert);
  EXPECT_TRUE(VerifyFileBySigFileWith(library_, 1, SigFileKeys{"", certificate}));
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "verify", "--type", "1", library_}), 1);
  ASSERT_EQ(RunProgram({SM_SIGN_TOOL, "sign", "--type", "0", "--key", key, library_}), 0);
  const std::string hex = Path("hex.txt");
  ASSERT_EQ(RunProgram({SM_SIGN_TOOL, "hexkey", cert}, hex), 0);
  std::string hexKey = Slurp(hex);
  ASSERT_FALSE(hexKey.empty());
  hexKey.pop_back();
  EXPECT_TRUE(VerifyFileBySigFileWith(library_, 0, SigFileKeys{hexKey, ""}));
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "verify", "--type", "0", library_}), 1);
}

TEST_F(SmSigFile, SignToolUsageErrorsExitTwo) {
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL}), 2);
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "frobnicate"}), 2);
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "verify", library_}), 2);
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "verify", "--type", "x", library_}), 2);
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "sign", "--type", "2", "--key", Key("cert.pem"), library_}), 2);
  EXPECT_EQ(RunProgram({SM_SIGN_TOOL, "sign", "--type", "0", "--key", Key("cert.crt"), library_}), 2);
  EXPECT_FALSE(std::filesystem::exists(library_ + ".sig"));
}

}  // namespace
